// Asynchronous replication writes per second against the bound that the
// in-flight limit sets (limit / round trip), with the stand-in node program
// delaying every database reply by d ms. The round trip is measured in the
// same run by a bare blocking client that sends the same writes one at a time
// on the same pooled connections (compile, take a connection, send, read the
// reply, parse, give it back), which is also the baseline of the engine at
// limit 1.
//
// Printed per point: writes/s, the ratio to limit / round trip, p50 and p99 of
// the latency from a write's acceptance to its callback, the engine's retries
// (polls that found no reply yet) and dropouts (writes that ended on the
// failure callback). The default run measures d in {0, 1, 20} ms with (limit,
// receivers) in {(1, 1), (64, 3), (500, 32)}; --full measures every d in
// {0, 1, 5, 20}, limit in {1, 64, 500} and receivers in {1, 3, 32}.
//
// The async points submit from the benchmark's thread, which at the limit
// waits for a callback to make room: one thread hand-off per write that the
// blocking client does not have. Each d also has an async-chained point at
// limit 1 whose callback sends the next write itself, so that its ratio to the
// blocking client is the engine's own cost; both ratios are printed.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "bench_ratio.h"

#include "tamberlin/ka_async.h"
#include "tamberlin/ka_cluster.h"
#include "tamberlin/ka_partition.h"
#include "tamberlin/ox_log.h"
#include "tamberlin/ox_socket.h"
#include "tamberlin/tamberlin.h"

#ifndef FAKE_NODE_BIN
#define FAKE_NODE_BIN "fake_node"
#endif

namespace {

const char *g_fake_node_bin = FAKE_NODE_BIN;

// The stand-in program for one reply delay, and a client cluster over it.
struct stand_in {
    pid_t pid = -1;
    int port = 0;
    ka_cluster *asc = nullptr;
};
std::map<int, stand_in> g_stand_ins;

int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The same replication write on both sides: one integer bin, a set, a
// transaction id, the digest of one of 1024 records.
struct write_args {
    ka::ox_digest d;
    ka_bin bin;
    ka_write_parameters wp;
    uint64_t trid;
    explicit write_args(uint64_t i)
    {
        memset(&d, 0, sizeof(d));
        d.digest[0] = (uint8_t)(i & 0xFF);
        d.digest[1] = (uint8_t)((i >> 8) & 0x3);
        d.digest[19] = 0xA5;
        memset(&bin, 0, sizeof(bin));
        strcpy(bin.bin_name, "b");
        tamberlin_object_init_int(&bin.object, (int64_t)i);
        ka_write_parameters_set_default(&wp);
        wp.generation = 0;
        wp.timeout_ms = 30000;
        wp.record_ttl = 3600;
        trid = 0x9E3779B97F4A7C15ull * (i + 1);
    }
};

// One write of a run: its acceptance time and, from its callback, the latency.
struct slot {
    int64_t t0;
    int64_t lat;
};

struct run_state {
    std::vector<slot> slots;
    // Set for a chained run: each callback sends the next write itself.
    ka_cluster *chain = nullptr;
    std::atomic<uint64_t> next{0};
    std::atomic<int64_t> done{0};
    std::atomic<int64_t> failed{0};
    std::atomic<bool> waiting{false};
    std::mutex lock;
    std::condition_variable cv;
};
std::atomic<run_state *> g_run{nullptr};

bool send_one(run_state &r, ka_cluster *asc, uint64_t i);

void called_back(void *udata, int rv, bool failure)
{
    slot *sl = static_cast<slot *>(udata);
    sl->lat = now_ns() - sl->t0;
    run_state *r = g_run.load();
    if (failure || rv != 0) {
        r->failed++;
    }
    if (r->chain) {
        uint64_t i = r->next++;
        if (i < r->slots.size() && !send_one(*r, r->chain, i)) {
            // The chain is broken: the drain must not wait for the rest.
            r->failed += (int64_t)(r->slots.size() - i);
            r->done += (int64_t)(r->slots.size() - i);
        }
    }
    r->done++;
    if (r->waiting.load()) {
        // Taking the lock orders this wake after the waiter's check; the
        // wake itself comes after the unlock, so the waiter does not wake
        // into a held lock.
        { std::lock_guard<std::mutex> g(r->lock); }
        r->cv.notify_all();
    }
}

void on_success(void *udata, int rv, uint64_t)
{
    called_back(udata, rv, false);
}

void on_fail(void *udata, int rv, uint64_t)
{
    called_back(udata, rv, true);
}

int engine_inflight()
{
    uint64_t r, d;
    int n;
    tamberlin_async_getstats(&r, &d, &n);
    return n;
}

// Sends write i once; false when the engine refuses it.
bool send_one(run_state &r, ka_cluster *asc, uint64_t i)
{
    write_args w(i);
    slot *sl = &r.slots[i];
    sl->t0 = now_ns();
    return tamberlin_async_put_digest_relay(asc, "test", &w.d, "s", &w.bin, 1, &w.wp, w.trid, sl) == 0;
}

// Submits write i, waiting for room while the engine is at its limit; false
// when the write is refused otherwise.
bool submit(run_state &r, ka_cluster *asc, uint64_t i, int limit)
{
    write_args w(i);
    slot *sl = &r.slots[i];
    for (;;) {
        sl->t0 = now_ns();
        int rv = tamberlin_async_put_digest_relay(asc, "test", &w.d, "s", &w.bin, 1, &w.wp, w.trid, sl);
        if (rv == 0) {
            return true;
        }
        if (rv != TAMBERLIN_FAIL_ASYNCQ_FULL) {
            sl->lat = 0;
            r.done++;
            return false;
        }
        // Wait for a callback to free a place (the flag tells callbacks to
        // wake us; the timed wait only covers a wake-up that crossed it).
        std::unique_lock<std::mutex> g(r.lock);
        r.waiting = true;
        r.cv.wait_for(g, std::chrono::milliseconds(5), [&] { return engine_inflight() < limit; });
        r.waiting = false;
    }
}

// Waits for the callbacks of the first n writes.
void drain(run_state &r, uint64_t n)
{
    std::unique_lock<std::mutex> g(r.lock);
    r.waiting = true;
    r.cv.wait_for(g, std::chrono::seconds(60), [&] { return r.done.load() >= (int64_t)n; });
    r.waiting = false;
}

bool start_stand_in(int d, stand_in *s)
{
    int out[2];
    if (pipe(out) != 0) {
        return false;
    }
    std::string delay = std::to_string(d);
    std::string name = "node=BENCH" + delay;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        // One partition, mastered by this node, so the tend keeps it.
        execl(g_fake_node_bin, g_fake_node_bin, "--delay-ms", delay.c_str(), "--info", name.c_str(), "--info",
              "partitions=1", "--info", "partition-generation=1", "--info", "services=", "--info",
              "replicas-master=test:gA==", "--info", "replicas-prole=test:AA==", "--info", "build=3.2.9",
              (char *)nullptr);
        _exit(127);
    }
    close(out[1]);
    if (pid < 0) {
        close(out[0]);
        return false;
    }
    s->pid = pid;
    FILE *f = fdopen(out[0], "r");
    bool ok = f && fscanf(f, "port %d", &s->port) == 1;
    if (f) {
        fclose(f);
    }
    if (!ok) {
        fprintf(stderr, "async_bench: %s did not start\n", g_fake_node_bin);
        return false;
    }
    s->asc = tamberlin_cluster_create();
    if (!s->asc) {
        return false;
    }
    tamberlin_cluster_change_tend_speed(s->asc, 1000000); // no tend while measuring
    if (tamberlin_cluster_add_host(s->asc, "127.0.0.1", (short)s->port, 5000) != 0 ||
        tamberlin_cluster_get_nodecount(s->asc) != 1) {
        fprintf(stderr, "async_bench: the stand-in on port %d was not discovered\n", s->port);
        return false;
    }
    // Warm-up: the largest point's connections are opened (and the node's
    // threads for them started) before anything is measured.
    run_state r;
    r.slots.resize(2000);
    g_run = &r;
    bool warm = tamberlin_async_init(500, 32, on_fail, on_success) == 0;
    for (uint64_t i = 0; warm && i < r.slots.size(); i++) {
        warm = submit(r, s->asc, i, 500);
    }
    drain(r, r.slots.size());
    tamberlin_async_shutdown();
    g_run = nullptr;
    return warm;
}

stand_in *stand_in_for(int d)
{
    auto it = g_stand_ins.find(d);
    if (it != g_stand_ins.end()) {
        return it->second.asc ? &it->second : nullptr;
    }
    stand_in &s = g_stand_ins[d];
    return start_stand_in(d, &s) ? &s : nullptr;
}

void stop_stand_ins()
{
    for (auto &[d, s] : g_stand_ins) {
        if (s.asc) {
            tamberlin_cluster_destroy(s.asc);
        }
        if (s.pid > 0) {
            kill(s.pid, SIGTERM);
            waitpid(s.pid, nullptr, 0);
        }
    }
    g_stand_ins.clear();
}


// The blocking baseline: the same write, sent and answered one at a time on
// a connection of the node's asynchronous pool, taken and given back per
// write as the engine does, so both turn over the same pooled connections
// (and the same threads of the stand-in behind them).
void BM_Blocking(benchmark::State &state, int d)
{
    stand_in *s = stand_in_for(d);
    if (!s) {
        state.SkipWithError("no stand-in");
        return;
    }
    uint64_t i = 0;
    for (auto _ : state) {
        write_args w(i++);
        uint8_t stack_req[KA_MSG_STACK_BUF_SZ], stack_body[KA_MSG_STACK_BUF_SZ];
        uint8_t *buf = stack_req;
        size_t len = sizeof(stack_req);
        ka::ox_digest out;
        qm_msg head;
        uint8_t *body = nullptr, *heap = nullptr;
        size_t body_len = 0;
        if (ka_compile(KA_MSG_INFO1_FERRY, KA_MSG_INFO2_WRITE, 0, "test", "s", nullptr, &w.d, &w.bin, KA_OP_WRITE,
                       nullptr, 1, &buf, &len, &w.wp, &out, w.trid, nullptr) != 0) {
            state.SkipWithError("compile failed");
            return;
        }
        ka_cluster_node *node = ka_cluster_node_get(s->asc, "test", &out, true);
        int fd = node ? ka_cluster_node_fd_get(node, true, s->asc->nbconnect.load()) : -1;
        if (fd < 0 || ka::ox_socket_write_timeout(fd, buf, len, 0, 5000) != 0 ||
            ka_read_reply(fd, 0, 5000, &head, stack_body, sizeof(stack_body), &body, &body_len, &heap) != 0) {
            state.SkipWithError("blocking write failed");
            if (fd >= 0) {
                close(fd);
            }
            if (node) {
                ka_cluster_node_put(node);
            }
            return;
        }
        ka_bin *bins = nullptr;
        int n_bins = 0;
        uint64_t trid = w.trid;
        ka_parse(&head.m, body, body_len, &bins, nullptr, &n_bins, &trid, nullptr);
        free(bins);
        free(heap);
        ka_cluster_node_fd_put(node, fd, true);
        ka_cluster_node_put(node);
    }
    state.SetItemsProcessed((int64_t)state.iterations());
}

void BM_Async(benchmark::State &state, int d, int limit, int receivers, bool chained)
{
    stand_in *s = stand_in_for(d);
    if (!s) {
        state.SkipWithError("no stand-in");
        return;
    }
    run_state r;
    r.slots.resize((size_t)state.max_iterations);
    g_run = &r;
    if (tamberlin_async_init(limit, receivers, on_fail, on_success) != 0) {
        state.SkipWithError("engine did not start");
        return;
    }
    uint64_t i = 0, refused = 0;
    for (auto _ : state) {
        if (!chained) {
            refused += !submit(r, s->asc, i, limit);
        } else if (i == 0) {
            // The callbacks send the rest, so no thread of ours waits for
            // room between two writes.
            r.chain = s->asc;
            r.next = 1;
            refused += !submit(r, s->asc, 0, limit);
        }
        // The timed run ends with the last write's callback.
        if (++i == (uint64_t)state.max_iterations) {
            drain(r, refused && chained ? 0 : i);
        }
    }
    uint64_t retries, dropouts;
    int inflight;
    tamberlin_async_getstats(&retries, &dropouts, &inflight);
    tamberlin_async_shutdown();
    g_run = nullptr;
    std::vector<int64_t> lat;
    lat.reserve(i);
    for (uint64_t k = 0; k < i; k++) {
        lat.push_back(r.slots[k].lat);
    }
    std::sort(lat.begin(), lat.end());
    auto pct = [&](double p) { return lat.empty() ? 0.0 : (double)lat[(size_t)(p * (double)(lat.size() - 1))] / 1e3; };
    state.SetItemsProcessed((int64_t)state.iterations());
    state.counters["p50_us"] = pct(0.50);
    state.counters["p99_us"] = pct(0.99);
    state.counters["retries"] = (double)retries;
    state.counters["dropouts"] = (double)dropouts;
    state.counters["failed"] = (double)(r.failed.load() + (int64_t)refused);
}

// Keeps every repetition's counters beside the times of the ratio reporter.
class AsyncReporter : public RatioReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &r : runs) {
            if (r.run_type == Run::RT_Iteration && !r.error_occurred) {
                auto &m = counters_[r.run_name.function_name];
                for (const auto &[k, c] : r.counters) {
                    m[k].push_back(c.value);
                }
            }
        }
        RatioReporter::ReportRuns(runs);
    }
    bool median_counter(const std::string &bench, const std::string &name, double *v) const
    {
        auto a = counters_.find(bench);
        if (a == counters_.end()) {
            return false;
        }
        auto b = a->second.find(name);
        if (b == a->second.end() || b->second.empty()) {
            return false;
        }
        std::vector<double> x = b->second;
        std::sort(x.begin(), x.end());
        size_t n = x.size();
        *v = n % 2 ? x[n / 2] : (x[n / 2 - 1] + x[n / 2]) / 2;
        return true;
    }

private:
    std::map<std::string, std::map<std::string, std::vector<double>>> counters_;
};

struct point {
    int d, limit, receivers;
    std::string name;
};

std::string blocking_name(int d)
{
    return "blocking/d:" + std::to_string(d) + "ms";
}

} // namespace

int main(int argc, char **argv)
{
    bool full = false;
    std::vector<char *> args;
    for (int i = 0; i < argc; i++) {
        if (!strcmp(argv[i], "--full")) {
            full = true;
        } else if (!strncmp(argv[i], "--fake-node=", 12)) {
            g_fake_node_bin = argv[i] + 12;
        } else {
            args.push_back(argv[i]);
        }
    }
    args.push_back(nullptr);
    int n_args = (int)args.size() - 1;

    ka::g_log_level = ka::OX_ERROR;
    tamberlin_cluster_init();
    ka::g_init_pid = getpid();
    ka::g_initialized = true;

    std::vector<int> ds = full ? std::vector<int>{0, 1, 5, 20} : std::vector<int>{0, 1, 20};
    std::vector<std::pair<int, int>> configs;
    if (full) {
        for (int l : {1, 64, 500}) {
            for (int r : {1, 3, 32}) {
                configs.push_back({l, r});
            }
        }
    } else {
        configs = {{1, 1}, {64, 3}, {500, 32}};
    }
    std::vector<point> points;
    std::vector<std::pair<std::string, std::string>> pairs;
    for (int d : ds) {
        benchmark::RegisterBenchmark(blocking_name(d).c_str(), BM_Blocking, d)->UseRealTime()->Unit(
            benchmark::kMicrosecond);
        for (auto [l, r] : configs) {
            point p = {d, l, r,
                       "async/d:" + std::to_string(d) + "ms/limit:" + std::to_string(l) + "/receivers:" +
                           std::to_string(r)};
            benchmark::RegisterBenchmark(p.name.c_str(), BM_Async, d, l, r, false)->UseRealTime()->Unit(
                benchmark::kMicrosecond);
            if (l == 1) {
                pairs.push_back({p.name, blocking_name(d)});
            }
            points.push_back(p);
        }
        // Limit 1 with the next write sent from the callback: the engine's
        // own round trip, without the hand-off to a waiting submitter that
        // the blocking client does not have.
        point c = {d, 1, 1, "async-chained/d:" + std::to_string(d) + "ms/limit:1/receivers:1"};
        benchmark::RegisterBenchmark(c.name.c_str(), BM_Async, d, 1, 1, true)->UseRealTime()->Unit(
            benchmark::kMicrosecond);
        pairs.push_back({c.name, blocking_name(d)});
        points.push_back(c);
    }
    if (!init_interleaved(&n_args, args.data(), 5, 0.5)) {
        return 1;
    }
    AsyncReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    print_ratios(reporter, pairs);

    printf("\n%-36s %10s %10s %8s %10s %10s %8s %8s\n", "point", "writes/s", "bound/s", "ratio", "p50_us",
           "p99_us", "retries", "dropouts");
    for (const point &p : points) {
        double t_block, wps, p50, p99, retries, dropouts;
        if (!reporter.median_time(blocking_name(p.d), &t_block) ||
            !reporter.median_counter(p.name, "items_per_second", &wps)) {
            continue;
        }
        reporter.median_counter(p.name, "p50_us", &p50);
        reporter.median_counter(p.name, "p99_us", &p99);
        reporter.median_counter(p.name, "retries", &retries);
        reporter.median_counter(p.name, "dropouts", &dropouts);
        double rtt_s = t_block / 1e6; // the blocking time per write, in microseconds
        double bound = p.limit / rtt_s;
        printf("%-36s %10.0f %10.0f %8.3f %10.1f %10.1f %8.0f %8.0f\n", p.name.c_str(), wps, bound, wps / bound, p50,
               p99, retries, dropouts);
    }
    printf("(bound = limit / round trip of the blocking client at the same d; retries and dropouts per repetition)\n");
    benchmark::Shutdown();
    tamberlin_async_shutdown();
    stop_stand_ins();
    return 0;
}
