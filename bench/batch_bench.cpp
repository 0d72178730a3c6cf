// One batch read of 1000 digests against 1000 single reads of the same
// records, both from the same stand-in node on loopback, both decoding every
// record's bins. The single reads are a bare blocking loop on one kept
// connection (compile, write, read the reply, parse), the floor of what a
// record-at-a-time fetch costs; the batch read goes through the library's
// call, its workers and a pooled connection.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "bench_ratio.h"

#include "tamberlin/ka_batch.h"
#include "tamberlin/ka_cluster.h"
#include "tamberlin/ox_log.h"
#include "tamberlin/ox_socket.h"
#include "tamberlin/tamberlin.h"
#include "testkit/fake_cluster.h"

namespace {

constexpr int kDigests = 1000;

std::string be8(int64_t v)
{
    std::string s(8, '\0');
    for (int i = 7; i >= 0; i--, v >>= 8)
        s[(size_t)i] = (char)(v & 0xFF);
    return s;
}

// One stand-in node holding kDigests records of two bins, and a client
// cluster that knows it.
struct bench_node {
    fake_cluster *fc = nullptr;
    ka_cluster *asc = nullptr;
    std::vector<ka::ox_digest> ds;
    bool ok = false;
    bench_node()
    {
        ka::g_log_level = ka::OX_ERROR;
        fake_cluster_cfg cfg;
        cfg.n_nodes = 1;
        fc = fake_cluster_create(cfg);
        ka::g_init_pid = getpid();
        tamberlin_cluster_init();
        ka::g_initialized = true;
        asc = tamberlin_cluster_create();
        tamberlin_cluster_change_tend_speed(asc, 1000000); // tended here only
        ok = fc && asc && tamberlin_cluster_add_host(asc, "127.0.0.1", (short)fake_cluster_port(fc, 0), 5000) == 0;
        for (int i = 0; ok && i < kDigests; i++) {
            ka::ox_digest d = {};
            for (int b = 0; b < 4; b++)
                d.digest[b] = (uint8_t)(i >> (8 * b));
            d.digest[19] = 0x42;
            ds.push_back(d);
            fake_record r;
            r.set = "set";
            r.generation = 1;
            r.bins = {{"i", 1, be8(i)}, {"s", 3, "value-" + std::to_string(i)}};
            fake_node_put_record(fake_cluster_node(fc, 0), "test", d.digest, r);
        }
    }
    ~bench_node()
    {
        if (asc)
            tamberlin_cluster_destroy(asc);
        if (fc)
            fake_cluster_destroy(fc);
    }
};

bench_node &node()
{
    static bench_node *b = new bench_node; // lives for the whole run
    return *b;
}

int count_cb(char *, ka::ox_digest *, char *, uint32_t, uint32_t, ka_bin *bins, int n_bins, bool, void *udata)
{
    tamberlin_bins_free(bins, n_bins);
    static_cast<std::atomic<int> *>(udata)->fetch_add(1, std::memory_order_relaxed);
    return 0;
}

void BM_BatchRead1000(benchmark::State &state)
{
    bench_node &b = node();
    if (!b.ok) {
        state.SkipWithError("stand-in cluster not discovered");
        return;
    }
    char ns[] = "test";
    std::atomic<int> records{0};
    for (auto _ : state) {
        if (tamberlin_get_many_digest(b.asc, ns, b.ds.data(), kDigests, nullptr, 0, true, count_cb, &records) != 0) {
            state.SkipWithError("batch read failed");
            return;
        }
    }
    // Records delivered per call: 1000 when every record came back.
    state.counters["records"] = benchmark::Counter((double)records.load(), benchmark::Counter::kAvgIterations);
}
// The work runs on the batch workers, so the figure is wall-clock time.
BENCHMARK(BM_BatchRead1000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SingleReads1000(benchmark::State &state)
{
    bench_node &b = node();
    if (!b.ok) {
        state.SkipWithError("stand-in cluster not discovered");
        return;
    }
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)fake_cluster_port(b.fc, 0));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int fd = ka::ox_socket_create_and_connect_nb(&sa);
    if (fd < 0) {
        state.SkipWithError("no connection");
        return;
    }
    int64_t records = 0;
    for (auto _ : state) {
        for (int i = 0; i < kDigests; i++) {
            uint8_t stack[KA_MSG_STACK_BUF_SZ];
            uint8_t *req = stack;
            size_t sz = sizeof(stack);
            ka_compile(KA_MSG_INFO1_READ | KA_MSG_INFO1_GET_ALL, 0, 0, "test", nullptr, nullptr, &b.ds[(size_t)i],
                       nullptr, KA_OP_READ, nullptr, 0, &req, &sz, nullptr, nullptr, 0, nullptr);
            qm_msg head;
            uint8_t body_stack[KA_MSG_STACK_BUF_SZ];
            uint8_t *body = nullptr, *heap = nullptr;
            size_t body_len = 0;
            if (ka::ox_socket_write_timeout(fd, req, sz, 0, 1000) != 0 ||
                ka_read_reply(fd, 0, 1000, &head, body_stack, sizeof(body_stack), &body, &body_len, &heap) != 0) {
                state.SkipWithError("single read failed");
                close(fd);
                return;
            }
            ka_bin *bins = nullptr;
            int n_bins = 0;
            if (ka_parse(&head.m, body, body_len, &bins, nullptr, &n_bins, nullptr, nullptr) == 0 && bins) {
                tamberlin_bins_free(bins, n_bins);
                free(bins);
                records++;
            }
            free(heap);
        }
    }
    close(fd);
    state.counters["records"] = benchmark::Counter((double)records, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_SingleReads1000)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    return run_benchmarks_with_ratios(argc, argv, {{"BM_BatchRead1000", "BM_SingleReads1000"}});
}
