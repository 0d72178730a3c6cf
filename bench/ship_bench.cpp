// Records shipped per second per datacenter by the real `ferry` daemon on
// loopback, 100-byte records, with 1 and 3 datacenters, against the capacity
// of the same stand-in datacenters measured in the same run.
//
// The stand-in local server runs inside this program (a one-node local
// cluster holding the sample records, and the writer of the named pipe); the
// datacenters are fake_node programs, one process each; ferry is started
// from its binary with --noresume on a configuration in a temporary
// directory.
//
// drain:    the backlog. ferry starts while its datacenters are not there
//           yet, so it waits for them with its pipe reader running: the
//           whole backlog of digests goes through the pipe into the digest
//           log. Then the datacenters start; from the moment every one of
//           them holds the warm-up (the first 2%, at most 20,000 records:
//           connections opened, the stand-ins' threads started) until every
//           one holds every record is the drain.
// capacity: the baseline. A load generator here writes the same records
//           (same digests, set, bin, time to live, transaction ids) with the
//           client's asynchronous engine at ferry's default in-flight limit
//           and receiver count, each record to every datacenter in turn from
//           one thread, waiting 1 ms when the engine is full, as ferry's
//           shipping does, straight to freshly started stand-ins; timed
//           from the end of the same warm-up.
// Both run as repetitions in random interleaved order; the ratio printed is
// the median of the per-repetition ratios (bench_ratio.h).
//
// steady:   the highest pipe feed rate that ferry ships with no drop and no
//           lag: the rate is raised step by step (a bounded search); a step
//           feeds for a few seconds at its rate while the lag (digests fed
//           less records every datacenter has) is sampled, and holds when the
//           pipe took the rate, the lag never exceeded 5 seconds' worth of
//           records, and every record arrived within 5 seconds after the feed
//           ended. A dropped digest never arrives, so it fails its step too.
//           (The reader sleeps a second before each pass and then ships what
//           was logged when the pass began, so the lag swings by about
//           rate x (1 s + the pass) even when ferry keeps up; a bound in
//           seconds tells that swing from a lag that grows.)
//
//   ship_bench [--quick] [--records N] [--reps R] [--dcs 1,3]
//              [--steady-secs T] [--ferry=PATH] [--fake-node=PATH]
// The default run (1,000,000 records, one repetition, 5-second steps) takes
// five to seven minutes here; a single pair swings a lot on a loaded machine,
// so --reps 3 gives the steadier ratio in three times the time. --quick
// (100,000 records, three repetitions, 4-second steps) takes about three.
// Not part of `make check`.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench_ratio.h"

#include "tamberlin/ka_async.h"
#include "tamberlin/ka_cluster.h"
#include "tamberlin/ox_log.h"
#include "tamberlin/tamberlin.h"
#include "testkit/fake_local_server.h"

#ifndef FERRY_BIN
#define FERRY_BIN "ferry"
#endif
#ifndef FAKE_NODE_BIN
#define FAKE_NODE_BIN "fake_node"
#endif

namespace {

// ferry's defaults, which the load generator copies.
const int kInflight = 500;
const int kReceivers = 3;
const int kShipTimeoutMs = 30000;
const size_t kRecordBytes = 100;

struct settings {
    uint64_t records = 1000000;
    int reps = 1; // a drain of the full backlog takes a minute: --reps for more
    std::vector<int> dcs = {1, 3};
    int steady_secs = 5;
    int steady_steps = 5;
    std::string ferry = FERRY_BIN;
    std::string fake_node = FAKE_NODE_BIN;
} g_set;

std::string g_dir;

// Records of the warm-up, left out of the drain's and the capacity's time.
uint64_t warm_up_records()
{
    return std::min<uint64_t>(20000, g_set.records / 50);
}
fake_local_server *g_fls = nullptr;

double now_s()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void sleep_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sa);
    int port = 0;
    if (fd >= 0 && bind(fd, (sockaddr *)&sa, sizeof(sa)) == 0 && getsockname(fd, (sockaddr *)&sa, &len) == 0)
        port = ntohs(sa.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}

// A program of ours: its pid, and its standard output read line by line.
struct child {
    pid_t pid = -1;
    int out = -1;
    std::string pending;

    // out_file: standard output and error go there instead of a pipe.
    bool start(const std::vector<std::string> &argv, const std::string &out_file = "")
    {
        int fds[2] = {-1, -1};
        if (out_file.empty() && pipe(fds) != 0)
            return false;
        pid = fork();
        if (pid == 0) {
            int o = out_file.empty() ? fds[1] : open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(o, 1);
            if (!out_file.empty())
                dup2(o, 2);
            std::vector<char *> args;
            for (const std::string &a : argv)
                args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        if (fds[1] >= 0)
            close(fds[1]);
        out = fds[0];
        return pid > 0;
    }
    bool line(std::string *l, int timeout_ms = 10000)
    {
        double end = now_s() + timeout_ms / 1000.0;
        for (;;) {
            size_t nl = pending.find('\n');
            if (nl != std::string::npos) {
                *l = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                return true;
            }
            int left = (int)((end - now_s()) * 1000);
            struct pollfd p = {out, POLLIN, 0};
            if (out < 0 || left <= 0 || poll(&p, 1, left) <= 0)
                return false;
            char buf[4096];
            ssize_t n = read(out, buf, sizeof(buf));
            if (n <= 0)
                return false;
            pending.append(buf, (size_t)n);
        }
    }
    bool signal(int sig)
    {
        return pid > 0 && kill(pid, sig) == 0;
    }
    // SIGTERM, then SIGKILL after 5 s; reaped either way.
    void stop()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            int status;
            double end = now_s() + 5;
            while (waitpid(pid, &status, WNOHANG) == 0) {
                if (now_s() > end) {
                    kill(pid, SIGKILL);
                    waitpid(pid, &status, 0);
                    break;
                }
                sleep_ms(10);
            }
        }
        pid = -1;
        if (out >= 0)
            close(out);
        out = -1;
    }
    bool alive()
    {
        return pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0;
    }
    ~child()
    {
        stop();
    }
};

// One stand-in datacenter program.
struct datacenter {
    child prog;
    int port = 0;
    bool start(int want_port)
    {
        if (!prog.start({g_set.fake_node, "--port", std::to_string(want_port), "--ns", "test"}))
            return false;
        std::string l;
        return prog.line(&l) && sscanf(l.c_str(), "port %d", &port) == 1;
    }
};

// The writes each datacenter has received: asked all at once, then read.
bool writes_of(std::vector<datacenter> &dcs, std::vector<uint64_t> *w)
{
    w->assign(dcs.size(), 0);
    for (auto &d : dcs)
        if (!d.prog.signal(SIGUSR1))
            return false;
    for (size_t i = 0; i < dcs.size(); i++) {
        std::string l;
        do {
            if (!dcs[i].prog.line(&l, 5000))
                return false;
        } while (l.compare(0, 7, "writes ") != 0);
        unsigned long long n = 0;
        sscanf(l.c_str(), "writes %llu", &n);
        (*w)[i] = n;
    }
    return true;
}

uint64_t min_of(const std::vector<uint64_t> &v)
{
    return v.empty() ? 0 : *std::min_element(v.begin(), v.end());
}

// ferry with its configuration: the datacenters at ports, a fresh digest log.
struct shipper {
    child prog;
    int feeds_before = 0;
    bool start(const std::vector<int> &dc_ports)
    {
        std::string conf = g_dir + "/ferry.conf";
        std::string dlog = g_dir + "/digest.log";
        unlink(dlog.c_str());
        FILE *f = fopen(conf.c_str(), "w");
        if (!f)
            return false;
        fprintf(f, "namespace test {\n    enable-relay true\n");
        for (size_t i = 0; i < dc_ports.size(); i++)
            fprintf(f, "    relay-remote-datacenter DC%zu\n", i + 1);
        fprintf(f, "}\nrelay {\n    enable-relay true\n    namedpipe-path %s/digest.pipe\n", g_dir.c_str());
        fprintf(f, "    digestlog-path %s 256M\n    errorlog-path %s/ferry.log\n", dlog.c_str(), g_dir.c_str());
        fprintf(f, "    local-node-port %d\n    info-port %d\n", fls_port(g_fls), free_port());
        for (size_t i = 0; i < dc_ports.size(); i++)
            fprintf(f, "    datacenter DC%zu {\n        dc-node-address-port 127.0.0.1 %d\n    }\n", i + 1,
                    dc_ports[i]);
        fprintf(f, "}\n");
        fclose(f);
        feeds_before = fls_requests(g_fls, FLS_FEED_REQUEST);
        if (!prog.start({g_set.ferry, "--noresume", "--config-file", conf}, g_dir + "/ferry.out"))
            return false;
        // Its feed request: the pipe is (re)opened for it, and this opening's
        // script is the namespace list and the (empty) boot-node list.
        double end = now_s() + 60;
        while (fls_requests(g_fls, FLS_FEED_REQUEST) == feeds_before) {
            if (now_s() > end || !prog.alive())
                return false;
            sleep_ms(10);
        }
        ferry_msg m;
        fls_make_ns(&m, 1, "test");
        fls_pipe_msg(g_fls, &m);
        fls_make_ns(&m, -1, nullptr);
        fls_pipe_msg(g_fls, &m);
        fls_make_boot(&m, 0);
        fls_pipe_msg(g_fls, &m);
        return true;
    }
};

// Feeds count digests from first at per_sec (0: as fast as the pipe takes
// them) and waits until the pipe has them all; the seconds it took, or -1.
double feed(uint64_t first, uint64_t count, uint64_t per_sec, double limit_s)
{
    uint64_t fed0 = fls_pipe_fed(g_fls);
    double t0 = now_s();
    fls_pipe_feed(g_fls, 1, first, count, per_sec);
    while (fls_pipe_fed(g_fls) - fed0 < count) {
        if (now_s() - t0 > limit_s)
            return -1;
        sleep_ms(5);
    }
    return now_s() - t0;
}

// ---- drain -----------------------------------------------------------------

// Records a second per datacenter, or -1 with a reason.
double run_drain(int n_dcs, std::string *why)
{
    std::vector<int> ports;
    for (int i = 0; i < n_dcs; i++)
        ports.push_back(free_port());
    shipper sh;
    if (!sh.start(ports)) {
        *why = "ferry did not start";
        return -1;
    }
    uint64_t n = g_set.records;
    fls_pipe_wait_read(g_fls); // after the lists: they are read first
    if (feed(0, n, 0, 600) < 0) {
        *why = "the pipe did not take the backlog";
        return -1;
    }
    fls_pipe_wait_read(g_fls);
    double end = now_s() + 600;
    while (!fls_pipe_idle(g_fls)) {
        if (now_s() > end) {
            *why = "ferry did not read the pipe";
            return -1;
        }
        sleep_ms(5);
    }
    // The backlog is in ferry (queue and digest log); now the datacenters.
    std::vector<datacenter> dcs(n_dcs);
    for (int i = 0; i < n_dcs; i++) {
        if (!dcs[i].start(ports[i])) {
            *why = "a datacenter did not start on its port";
            return -1;
        }
    }
    double t_first = 0, deadline = now_s() + 900;
    uint64_t w_first = 0;
    std::vector<uint64_t> w;
    for (;;) {
        if (!writes_of(dcs, &w) || now_s() > deadline || !sh.prog.alive()) {
            *why = "the datacenters did not get every record";
            return -1;
        }
        double t = now_s();
        if (t_first == 0 && min_of(w) >= warm_up_records()) {
            t_first = t;
            w_first = min_of(w);
        }
        if (min_of(w) >= n)
            return (double)(n - w_first) / (t - t_first);
        sleep_ms(20);
    }
}

// ---- capacity: the load generator ----------------------------------------

struct loadgen_state {
    std::atomic<uint64_t> done{0};
    std::atomic<uint64_t> failed{0};
} g_lg;

void lg_success(void *, int rv, uint64_t)
{
    if (rv != 0)
        g_lg.failed++;
    g_lg.done++;
}

void lg_fail(void *, int, uint64_t)
{
    g_lg.failed++;
    g_lg.done++;
}

double run_capacity(int n_dcs, std::string *why)
{
    std::vector<datacenter> dcs(n_dcs);
    std::vector<ka_cluster *> asc;
    auto cleanup = [&] {
        tamberlin_async_shutdown();
        for (ka_cluster *c : asc)
            tamberlin_cluster_destroy(c);
    };
    for (auto &d : dcs) {
        ka_cluster *c = tamberlin_cluster_create();
        if (!d.start(0) || !c) {
            *why = "a datacenter did not start";
            return -1;
        }
        asc.push_back(c);
        tamberlin_cluster_change_tend_speed(c, 60);
        if (tamberlin_cluster_add_host(c, "127.0.0.1", (short)d.port, 5000) != 0) {
            *why = "a datacenter was not discovered";
            cleanup();
            return -1;
        }
    }
    g_lg.done = 0;
    g_lg.failed = 0;
    if (tamberlin_async_init(kInflight, kReceivers, lg_fail, lg_success) != 0) {
        *why = "the engine did not start";
        cleanup();
        return -1;
    }
    uint64_t n = g_set.records;
    uint64_t sent = 0, warm = warm_up_records() * asc.size(), done0 = 0;
    double t0 = 0;
    for (uint64_t seq = 0; seq < n; seq++) {
        if (t0 == 0 && g_lg.done.load() >= warm) {
            t0 = now_s();
            done0 = g_lg.done.load();
        }
        fake_record r = fls_sample_record(seq, kRecordBytes);
        ka::ox_digest d;
        fls_digest_of(seq, d.digest);
        ka_bin bin;
        memset(&bin, 0, sizeof(bin));
        strcpy(bin.bin_name, FLS_SAMPLE_BIN);
        tamberlin_object_init_str2(&bin.object, &r.bins[0].value[0], r.bins[0].value.size());
        ka_write_parameters wp;
        ka_write_parameters_set_default(&wp);
        wp.record_ttl = 0xFFFFFFFFu; // never expires, as ferry sends it
        wp.timeout_ms = kShipTimeoutMs;
        wp.generation = 1;
        for (ka_cluster *c : asc) {
            uint64_t trid = 0x9E3779B97F4A7C15ull * (sent + 1);
            int rv;
            while ((rv = tamberlin_async_put_digest_relay(c, "test", &d, FLS_SAMPLE_SET, &bin, 1, &wp, trid,
                                                          nullptr)) == TAMBERLIN_FAIL_ASYNCQ_FULL)
                sleep_ms(1);
            if (rv != 0) {
                *why = "a write was refused (" + std::to_string(rv) + ")";
                cleanup();
                return -1;
            }
            sent++;
        }
    }
    double end = now_s() + 300;
    while (g_lg.done.load() < sent) {
        if (now_s() > end) {
            *why = "callbacks missing";
            cleanup();
            return -1;
        }
        sleep_ms(1);
    }
    double t = now_s() - t0;
    cleanup();
    if (g_lg.failed.load() > 0) {
        *why = std::to_string(g_lg.failed.load()) + " writes failed";
        return -1;
    }
    if (t0 == 0) {
        *why = "the warm-up took every record";
        return -1;
    }
    return (double)(sent - done0) / (double)asc.size() / t;
}

// ---- the benchmarks of the interleaved repetitions ------------------------

std::string drain_name(int d)
{
    return "drain/dcs:" + std::to_string(d);
}

std::string capacity_name(int d)
{
    return "capacity/dcs:" + std::to_string(d);
}

void BM_Ship(benchmark::State &state, int n_dcs, bool drain)
{
    for (auto _ : state) {
        std::string why;
        double rate = drain ? run_drain(n_dcs, &why) : run_capacity(n_dcs, &why);
        if (rate <= 0) {
            state.SkipWithError(why.c_str());
            return;
        }
        state.SetIterationTime(1.0 / rate); // seconds per record and datacenter
        state.counters["records_per_s_per_dc"] = rate;
    }
}

// ---- steady feed rate -----------------------------------------------------

struct step {
    uint64_t rate;
    bool held;
    double feed_s;         // how long the pipe took for the step's digests
    uint64_t lag;          // the highest lag during the feed
    double catch_up_s;     // from the feed's end until every record arrived
};

const double kLagLimitS = 5.0;

// The search of one configuration: the highest rate that held, 0 when none.
uint64_t steady_search(int n_dcs, uint64_t start_rate, std::vector<step> *steps, std::string *why)
{
    std::vector<datacenter> dcs(n_dcs);
    std::vector<int> ports;
    for (auto &d : dcs) {
        if (!d.start(0)) {
            *why = "a datacenter did not start";
            return 0;
        }
        ports.push_back(d.port);
    }
    shipper sh;
    if (!sh.start(ports)) {
        *why = "ferry did not start";
        return 0;
    }
    const uint64_t n = g_set.records;
    std::vector<uint64_t> w;
    // Warm-up: ferry up and shipping.
    uint64_t expected = std::min<uint64_t>(2000, n);
    uint64_t cursor = expected;
    if (feed(0, expected, 0, 60) < 0) {
        *why = "the pipe did not take the warm-up";
        return 0;
    }
    double end = now_s() + 120;
    while (writes_of(dcs, &w) && min_of(w) < expected && now_s() < end)
        sleep_ms(50);
    if (min_of(w) < expected) {
        *why = "the warm-up was not shipped";
        return 0;
    }
    uint64_t best = 0, fail = 0, rate = start_rate;
    for (int i = 0; i < g_set.steady_steps && rate > 0; i++) {
        uint64_t count = rate * (uint64_t)g_set.steady_secs;
        uint64_t fed0 = fls_pipe_fed(g_fls);
        double t0 = now_s(), limit = g_set.steady_secs * 3 + 10;
        // The records again from the first when the step runs past the
        // last: a digest comes back only after all the others, far beyond
        // one read batch, so each one is a write of its own.
        for (uint64_t left = count; left > 0;) {
            uint64_t take = std::min(left, n - cursor);
            fls_pipe_feed(g_fls, 1, cursor, take, rate);
            cursor = (cursor + take) % n;
            left -= take;
        }
        step st = {rate, false, -1, 0, -1};
        bool sampled = true;
        for (;;) {
            uint64_t fed = fls_pipe_fed(g_fls) - fed0;
            if (!(sampled = writes_of(dcs, &w)))
                break;
            uint64_t got = min_of(w);
            uint64_t lag = expected + fed > got ? expected + fed - got : 0;
            st.lag = std::max(st.lag, lag);
            if (fed >= count) {
                st.feed_s = now_s() - t0;
                break;
            }
            if (now_s() - t0 > limit)
                break;
            sleep_ms(50);
        }
        expected += count;
        double t_fed = now_s();
        bool arrived = false;
        while (sampled && writes_of(dcs, &w) && now_s() - t_fed < kLagLimitS) {
            if (min_of(w) >= expected) {
                arrived = true;
                st.catch_up_s = now_s() - t_fed;
                break;
            }
            sleep_ms(20);
        }
        bool rate_taken = st.feed_s > 0 && st.feed_s <= g_set.steady_secs * 1.05 + 0.1;
        bool lag_ok = (double)st.lag <= (double)rate * kLagLimitS;
        st.held = arrived && rate_taken && lag_ok;
        steps->push_back(st);
        if (st.held) {
            best = std::max(best, rate);
        } else {
            fail = fail ? std::min(fail, rate) : rate;
            // What did not arrive in time must arrive before the next step.
            end = now_s() + 60;
            while (writes_of(dcs, &w) && min_of(w) < expected && now_s() < end)
                sleep_ms(50);
            if (min_of(w) < expected) {
                *why = "records lost: the datacenters never got every record of the step";
                break;
            }
        }
        if (!sh.prog.alive()) {
            *why = "ferry ended";
            break;
        }
        // Up by 20% until a step fails, then halve the gap.
        if (fail && best && fail - best <= std::max<uint64_t>(best / 20, 1))
            break;
        rate = !fail ? rate + rate / 5 : best ? (best + fail) / 2 : rate / 2;
    }
    if (!fail && why->empty())
        *why = "no step lagged within the step bound: the rate is a lower bound";
    return best;
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    remove(path);
    return 0;
}

bool parse_u64(const char *s, uint64_t *v)
{
    char *end = nullptr;
    unsigned long long x = strtoull(s, &end, 10);
    if (!*s || *end || *s == '-')
        return false;
    *v = x;
    return true;
}

int usage()
{
    fprintf(stderr, "usage: ship_bench [--quick] [--records N] [--reps R] [--dcs 1,3] [--steady-secs T] "
                    "[--ferry=PATH] [--fake-node=PATH] [benchmark options]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<char *> args = {argv[0]};
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        uint64_t v = 0;
        if (a == "--quick") {
            g_set.records = 100000;
            g_set.reps = 3;
            g_set.steady_secs = 4;
            g_set.steady_steps = 5;
        } else if (a == "--records" && i + 1 < argc && parse_u64(argv[i + 1], &v) && v >= 10000) {
            g_set.records = v;
            i++;
        } else if (a == "--reps" && i + 1 < argc && parse_u64(argv[i + 1], &v) && v >= 1 && v <= 15) {
            g_set.reps = (int)v;
            i++;
        } else if (a == "--steady-secs" && i + 1 < argc && parse_u64(argv[i + 1], &v) && v >= 1 && v <= 60) {
            g_set.steady_secs = (int)v;
            i++;
        } else if (a == "--dcs" && i + 1 < argc) {
            g_set.dcs.clear();
            for (char *p = strtok(argv[++i], ","); p; p = strtok(nullptr, ",")) {
                if (!parse_u64(p, &v) || v < 1 || v > 8)
                    return usage();
                g_set.dcs.push_back((int)v);
            }
            if (g_set.dcs.empty())
                return usage();
        } else if (a.rfind("--ferry=", 0) == 0) {
            g_set.ferry = a.substr(8);
        } else if (a.rfind("--fake-node=", 0) == 0) {
            g_set.fake_node = a.substr(12);
        } else if (a.rfind("--benchmark_", 0) == 0) {
            args.push_back(argv[i]);
        } else {
            return usage();
        }
    }
    for (const std::string &bin : {g_set.ferry, g_set.fake_node}) {
        if (access(bin.c_str(), X_OK) != 0) {
            fprintf(stderr, "ship_bench: %s is not built\n", bin.c_str());
            return 1;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/ship_bench.XXXXXX";
    if (!mkdtemp(tmpl.data())) {
        perror("ship_bench: mkdtemp");
        return 1;
    }
    g_dir = tmpl;
    // The engine's connection lines would fill the output; failures show in
    // the counts.
    ka::g_log_level = ka::OX_NO_LOGGING;
    if (tamberlin_init() != 0) {
        fprintf(stderr, "ship_bench: the client library did not start\n");
        return 1;
    }
    double t_start = now_s();
    g_fls = fls_start((g_dir + "/digest.pipe").c_str(), 0);
    if (!g_fls) {
        fprintf(stderr, "ship_bench: the stand-in local server did not start\n");
        return 1;
    }
    fls_set_namespaces(g_fls, {"test"});
    fls_preload(g_fls, "test", 0, g_set.records, kRecordBytes);
    // Nobody reads the local server's record of requests in a benchmark.
    fake_node_set_recording(fls_node(g_fls), false);
    printf("ship_bench: %lu records of %zu bytes, %d interleaved repetitions, ferry %s\n",
           (unsigned long)g_set.records, kRecordBytes, g_set.reps, g_set.ferry.c_str());
    fflush(stdout);

    std::vector<std::pair<std::string, std::string>> pairs;
    for (int d : g_set.dcs) {
        benchmark::RegisterBenchmark(drain_name(d).c_str(), BM_Ship, d, true)
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kNanosecond);
        benchmark::RegisterBenchmark(capacity_name(d).c_str(), BM_Ship, d, false)
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kNanosecond);
        pairs.push_back({capacity_name(d), drain_name(d)});
    }
    int n_args = (int)args.size();
    args.push_back(nullptr);
    if (!init_interleaved(&n_args, args.data(), g_set.reps, 0.0))
        return usage();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    printf("\n%-12s %16s %16s %14s %16s %15s\n", "datacenters", "drain rec/s/DC", "capacity rec/s", "drain/capacity",
           "steady rec/s/DC", "steady/capacity");
    for (int d : g_set.dcs) {
        double t_drain = 0, t_cap = 0, ratio = 0;
        size_t reps = 0;
        bool have = reporter.median_time(drain_name(d), &t_drain) && reporter.median_time(capacity_name(d), &t_cap) &&
                    reporter.median_ratio(capacity_name(d), drain_name(d), &ratio, &reps);
        if (!have) {
            printf("%-12d (no figures: a run failed, see above)\n", d);
            continue;
        }
        // Times are seconds per record: the ratio of the capacity's time to
        // the drain's is the drain's rate over the capacity.
        double cap = 1e9 / t_cap;
        std::vector<step> steps;
        std::string why;
        uint64_t steady = steady_search(d, (uint64_t)(cap * 0.7), &steps, &why);
        printf("%-12d %16.0f %16.0f %14.3f %16lu %15.3f\n", d, 1e9 / t_drain, cap, ratio, (unsigned long)steady,
               steady / cap);
        for (const step &s : steps) {
            char after[64] = "not all shipped within 5 s of its end";
            if (s.catch_up_s >= 0)
                snprintf(after, sizeof(after), "all shipped %.2f s after its end", s.catch_up_s);
            printf("%12s steady step %7lu/s: %-4s fed in %5.2f s, highest lag %7lu records (%.2f s), %s\n", "",
                   (unsigned long)s.rate, s.held ? "held" : "lag", s.feed_s, (unsigned long)s.lag,
                   (double)s.lag / (double)s.rate, after);
        }
        if (!why.empty())
            printf("%12s steady search: %s\n", "", why.c_str());
        fflush(stdout);
    }
    printf("(per datacenter; drain and capacity are medians of %d interleaved repetitions, drain/capacity the median "
           "of their per-repetition ratios; steady/capacity against the capacity's median; total %.0f s)\n",
           g_set.reps, now_s() - t_start);
    benchmark::Shutdown();
    fls_stop(g_fls);
    tamberlin_shutdown();
    nftw(g_dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    return 0;
}
