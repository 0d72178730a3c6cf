// One tend of a 10-node cluster on loopback: the steady tend (one check per
// node over its persistent info socket) and the tend after a map change
// (every node's replica lists fetched and applied to 4096 partitions).
// The comparison figure is the floor of the steady tend: the same check
// request and reply with each node over one kept connection per node, through
// the same socket calls, without parsing anything. A round trip that opens a
// new connection each time is shown as well, but only for scale: it pays a
// connect and a close that the tend never pays.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "bench_ratio.h"

#include "tamberlin/ka_cluster.h"
#include "tamberlin/ka_info.h"
#include "tamberlin/ox_log.h"
#include "tamberlin/ox_socket.h"
#include "testkit/fake_cluster.h"

namespace {

struct bench_cluster {
    fake_cluster *fc = nullptr;
    ka_cluster *asc = nullptr;
    bench_cluster()
    {
        ka::g_log_level = ka::OX_ERROR;
        fake_cluster_cfg cfg;
        cfg.n_nodes = 10;
        cfg.n_partitions = 4096;
        fc = fake_cluster_create(cfg);
        tamberlin_cluster_init();
        asc = tamberlin_cluster_create();
        tamberlin_cluster_change_tend_speed(asc, 1000000); // tended here only
        tamberlin_cluster_add_host(asc, "127.0.0.1", (short)fake_cluster_port(fc, 0), 5000);
    }
    ~bench_cluster()
    {
        tamberlin_cluster_destroy(asc);
        fake_cluster_destroy(fc);
    }
};

void BM_TendSteady(benchmark::State &state)
{
    bench_cluster b;
    if (tamberlin_cluster_get_nodecount(b.asc) != 10) {
        state.SkipWithError("cluster not discovered");
        return;
    }
    for (auto _ : state) {
        cluster_tend(b.asc);
    }
    state.counters["nodes"] = tamberlin_cluster_get_nodecount(b.asc);
}
BENCHMARK(BM_TendSteady)->Unit(benchmark::kMicrosecond);

void BM_TendAfterMapChange(benchmark::State &state)
{
    bench_cluster b;
    int k = 0;
    for (auto _ : state) {
        state.PauseTiming();
        fake_cluster_assign_all(b.fc, k % 10, (k + 1) % 10);
        k++;
        state.ResumeTiming();
        cluster_tend(b.asc);
    }
}
BENCHMARK(BM_TendAfterMapChange)->Unit(benchmark::kMicrosecond);

struct sockaddr_in node_addr(bench_cluster &b, int i)
{
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)fake_cluster_port(b.fc, i));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

// One info request and its whole reply on a kept connection; false on any failure.
bool info_round_trip(int fd, const std::vector<uint8_t> &req, std::vector<uint8_t> *body)
{
    uint8_t head[8];
    if (ka::ox_socket_write_timeout(fd, req.data(), req.size(), 0, 1000) != 0 ||
        ka::ox_socket_read_timeout(fd, head, sizeof(head), 0, 1000) != 0) {
        return false;
    }
    uint64_t size = 0;
    for (int i = 2; i < 8; i++) {
        size = (size << 8) | head[i];
    }
    if (size == 0 || size > body->size()) {
        return false;
    }
    return ka::ox_socket_read_timeout(fd, body->data(), size, 0, 1000) == 0;
}

void BM_CheckOnKeptConnections(benchmark::State &state)
{
    bench_cluster b;
    static const char names[] = "node\npartition-generation\nservices\n";
    std::vector<uint8_t> req(8 + sizeof(names) - 1);
    req[0] = 2; // protocol version
    req[1] = 1; // info
    for (int i = 0; i < 6; i++) {
        req[2 + i] = (uint8_t)((uint64_t)(sizeof(names) - 1) >> (8 * (5 - i)));
    }
    memcpy(&req[8], names, sizeof(names) - 1);
    std::vector<uint8_t> body(1 << 16);
    std::vector<int> fds;
    for (int i = 0; i < fake_cluster_size(b.fc); i++) {
        struct sockaddr_in sa = node_addr(b, i);
        fds.push_back(ka::ox_socket_create_and_connect_nb(&sa));
    }
    for (auto _ : state) {
        for (int fd : fds) {
            if (fd < 0 || !info_round_trip(fd, req, &body)) {
                state.SkipWithError("check round trip failed");
                break;
            }
        }
    }
    for (int fd : fds) {
        if (fd >= 0) {
            close(fd);
        }
    }
    state.counters["nodes"] = (double)fds.size();
}
BENCHMARK(BM_CheckOnKeptConnections)->Unit(benchmark::kMicrosecond);

void BM_InfoRoundTripNewConnection(benchmark::State &state)
{
    bench_cluster b;
    struct sockaddr_in sa = node_addr(b, 0);
    for (auto _ : state) {
        char names[] = "node";
        char *values = nullptr;
        tamberlin_info_host(&sa, names, &values, 1000, false);
        free(values);
    }
}
BENCHMARK(BM_InfoRoundTripNewConnection)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv)
{
    return run_benchmarks_with_ratios(argc, argv, {{"BM_TendSteady", "BM_CheckOnKeptConnections"}});
}
