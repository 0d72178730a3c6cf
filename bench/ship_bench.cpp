// Where the time of shipping goes, on loopback with 100-byte records, for 1
// and 3 datacenters, each figure the median of interleaved repetitions
// (bench_ratio.h):
//
// drain:    records/s per datacenter of the real `ferry` daemon draining a
//           backlog. ferry starts while its datacenters are not there yet,
//           so the whole backlog of digests goes through the pipe into the
//           digest log first. Then the datacenters start; from the moment
//           every one of them holds the warm-up (the first 2%, at most
//           20,000 records) until every one holds every record is the drain.
//           Beside it: ferry's CPU (utime + stime of the process, from
//           /proc) per write shipped over the same span.
// engine:   the client's asynchronous engine alone with the shipper's
//           settings (in-flight limit, receivers, timeout) against the same
//           stand-ins: a load generator here writes the same records (same
//           digests, set, bin, time to live) to every datacenter in turn from
//           one thread, waiting 1 ms when the engine is full, as ferry's
//           shipping does; timed from the end of the same warm-up. The ratio
//           drain / engine says how close ferry comes to its wire.
// stand-in: what one datacenter stand-in (fast_node) answers with a bare
//           load generator: plain sockets, 64 connections with 16 requests
//           pipelined on each, 4 threads, the same write requests. It must
//           be at least 5 times the drain, so that it never sets the figure.
// local:    the local stand-in's batch reads alone: batches of the read
//           batch size from as many threads as the reader fetches with, over
//           the backlog's digests; at least 5 times the drain too.
// syscalls: per write shipped, counted by `perf stat` (tracepoint
//           raw_syscalls:sys_enter and the busiest calls, every thread of
//           ferry) over the drain of a shorter run outside the repetitions,
//           so the counting costs no repetition its time.
//
// Every configuration runs the defaults and the settings a user with a
// backlog turns; --config adds one.
//
// steady (with --steady): the highest pipe feed rate that ferry ships with no
//           drop and no lag, at the defaults: the rate is raised step by step
//           (a bounded search); a step feeds for a few seconds at its rate
//           while the lag (digests fed less records every datacenter has) is
//           sampled, and holds when the pipe took the rate, the lag never
//           exceeded 5 seconds' worth of records, and every record arrived
//           within 5 seconds after the feed ended.
//
//   ship_bench [--quick] [--records N] [--reps R] [--dcs 1,3] [--steady]
//              [--steady-secs T] [--config NAME:key=value,...]... [--no-syscalls]
//              [--ferry=PATH] [--fast-node=PATH]
// --quick: 100,000 records, three repetitions. Not part of `make check`.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
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
#include "tamberlin/ka_batch.h"
#include "tamberlin/ka_cluster.h"
#include "tamberlin/ox_log.h"
#include "tamberlin/proto.h"
#include "tamberlin/tamberlin.h"
#include "testkit/fake_local_server.h"

#ifndef FERRY_BIN
#define FERRY_BIN "ferry"
#endif
#ifndef FAST_NODE_BIN
#define FAST_NODE_BIN "fast_node"
#endif

namespace {

// ferry's defaults, which the load generators copy unless a configuration
// changes them.
const int kInflight = 500;
const int kReceivers = 3;
const int kReadBatch = 500;
const int kReadThreads = 1;
const int kShipTimeoutMs = 30000;
const size_t kRecordBytes = 100;

struct settings {
    uint64_t records = 1000000;
    int reps = 1; // a drain of the full backlog takes a minute: --reps for more
    std::vector<int> dcs = {1, 3};
    bool steady = false;
    bool syscalls = true;
    int steady_secs = 5;
    int steady_steps = 5;
    std::string ferry = FERRY_BIN;
    std::string fast_node = FAST_NODE_BIN;
} g_set;

// A set of relay settings, written into ferry's configuration and copied by
// the load generators.
struct config {
    std::string name;
    std::vector<std::pair<std::string, std::string>> relay; // key, value
    int get(const char *key, int dflt) const
    {
        for (const auto &[k, v] : relay)
            if (k == key)
                return atoi(v.c_str());
        return dflt;
    }
};
std::vector<config> g_configs;

std::string g_dir;

// Records of the warm-up, left out of the drain's and the engine's time.
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
        if (!prog.start({g_set.fast_node, "--port", std::to_string(want_port), "--ns", "test"}))
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
    bool start(const std::vector<int> &dc_ports, const config &cfg)
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
        for (const auto &[k, v] : cfg.relay)
            fprintf(f, "    %s %s\n", k.c_str(), v.c_str());
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

// utime + stime of a process, in seconds; -1 when it cannot be read.
double cpu_seconds(pid_t pid)
{
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE *f = fopen(path.c_str(), "r");
    if (!f)
        return -1;
    char buf[2048];
    size_t n = fread(buf, 1, sizeof(buf) - 1, f);
    fclose(f);
    buf[n] = 0;
    const char *p = strrchr(buf, ')'); // the command name may hold spaces
    unsigned long long ut = 0, st = 0;
    if (!p || sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &ut, &st) != 2)
        return -1;
    return (double)(ut + st) / (double)sysconf(_SC_CLK_TCK);
}

// The system calls perf counts, the first being all of them.
const char *const kSyscallEvents[] = {"raw_syscalls:sys_enter",       "syscalls:sys_enter_sendto",
                                      "syscalls:sys_enter_recvfrom",   "syscalls:sys_enter_read",
                                      "syscalls:sys_enter_write",      "syscalls:sys_enter_poll",
                                      "syscalls:sys_enter_ppoll",      "syscalls:sys_enter_epoll_wait",
                                      "syscalls:sys_enter_futex",      "syscalls:sys_enter_nanosleep",
                                      "syscalls:sys_enter_clock_nanosleep", "syscalls:sys_enter_pread64",
                                      "syscalls:sys_enter_sendmsg",    "syscalls:sys_enter_recvmsg"};

struct drain_result {
    double rate = -1;           // records/s per datacenter
    double cpu_us_per_write = -1;
    std::vector<std::pair<std::string, double>> calls; // per write, when counted
};

// perf stat attached to every thread of pid; stopped with SIGINT.
struct syscall_counter {
    child perf;
    std::string out;
    bool start(pid_t pid)
    {
        out = g_dir + "/perf.out";
        std::string events;
        for (const char *e : kSyscallEvents)
            events += std::string(events.empty() ? "" : ",") + e;
        return perf.start({"/usr/bin/perf", "stat", "-x", ",", "-e", events, "-p", std::to_string(pid), "-o", out},
                          g_dir + "/perf.log");
    }
    void finish(uint64_t writes, drain_result *r)
    {
        perf.signal(SIGINT);
        int status;
        double end = now_s() + 10;
        while (perf.pid > 0 && waitpid(perf.pid, &status, WNOHANG) == 0 && now_s() < end)
            sleep_ms(10);
        perf.stop();
        FILE *f = fopen(out.c_str(), "r");
        char line[512];
        while (f && fgets(line, sizeof(line), f)) {
            // value,unit,event,...
            char *c1 = strchr(line, ',');
            char *c2 = c1 ? strchr(c1 + 1, ',') : nullptr;
            if (!c2 || !isdigit((unsigned char)line[0]))
                continue;
            char *c3 = strchr(c2 + 1, ',');
            if (c3)
                *c3 = 0;
            double v = atof(line);
            std::string ev = c2 + 1;
            size_t colon = ev.rfind("sys_enter");
            std::string name = ev == kSyscallEvents[0] ? "all" : colon != std::string::npos ? ev.substr(colon + 10) : ev;
            if (v > 0 && writes > 0)
                r->calls.push_back({name, v / (double)writes});
        }
        if (f)
            fclose(f);
    }
};

// The drain of a backlog at cfg; rate -1 with a reason when it failed.
drain_result run_drain(int n_dcs, const config &cfg, bool count_calls, uint64_t n, std::string *why)
{
    drain_result res;
    std::vector<int> ports;
    for (int i = 0; i < n_dcs; i++)
        ports.push_back(free_port());
    shipper sh;
    if (!sh.start(ports, cfg)) {
        *why = "ferry did not start";
        return res;
    }
    fls_pipe_wait_read(g_fls); // after the lists: they are read first
    if (feed(0, n, 0, 600) < 0) {
        *why = "the pipe did not take the backlog";
        return res;
    }
    fls_pipe_wait_read(g_fls);
    double end = now_s() + 600;
    while (!fls_pipe_idle(g_fls)) {
        if (now_s() > end) {
            *why = "ferry did not read the pipe";
            return res;
        }
        sleep_ms(5);
    }
    // The backlog is in ferry (queue and digest log); now the datacenters.
    std::vector<datacenter> dcs(n_dcs);
    for (int i = 0; i < n_dcs; i++) {
        if (!dcs[i].start(ports[i])) {
            *why = "a datacenter did not start on its port";
            return res;
        }
    }
    uint64_t warm = std::min<uint64_t>(20000, n / 50);
    double t_first = 0, deadline = now_s() + 900, cpu_first = 0;
    uint64_t w_first = 0, sum_first = 0;
    std::vector<uint64_t> w;
    syscall_counter counter;
    for (;;) {
        if (!writes_of(dcs, &w) || now_s() > deadline || !sh.prog.alive()) {
            *why = "the datacenters did not get every record";
            return res;
        }
        double t = now_s();
        uint64_t sum = 0;
        for (uint64_t x : w)
            sum += x;
        if (t_first == 0 && min_of(w) >= warm) {
            t_first = t;
            w_first = min_of(w);
            sum_first = sum;
            cpu_first = cpu_seconds(sh.prog.pid);
            if (count_calls && !counter.start(sh.prog.pid)) {
                *why = "perf did not start";
                return res;
            }
        }
        if (min_of(w) >= n) {
            double cpu = cpu_seconds(sh.prog.pid);
            if (count_calls)
                counter.finish(sum - sum_first, &res);
            res.rate = (double)(n - w_first) / (t - t_first);
            if (cpu >= 0 && cpu_first >= 0 && sum > sum_first)
                res.cpu_us_per_write = (cpu - cpu_first) * 1e6 / (double)(sum - sum_first);
            return res;
        }
        sleep_ms(20);
    }
}

// ---- engine: the client's asynchronous engine alone -------------------------

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

double run_engine(int n_dcs, const config &cfg, std::string *why)
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
    if (tamberlin_async_init(cfg.get("relay-max-recs-inflight", kInflight), cfg.get("relay-threads", kReceivers),
                             lg_fail, lg_success) != 0) {
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
        wp.timeout_ms = cfg.get("timeout", kShipTimeoutMs);
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

// ---- stand-in: a bare load generator --------------------------------------

// The write of record seq as ferry's engine compiles it.
std::string write_request(uint64_t seq, uint64_t trid)
{
    fake_record r = fls_sample_record(seq, kRecordBytes);
    ka::ox_digest d;
    fls_digest_of(seq, d.digest);
    ka_bin bin;
    memset(&bin, 0, sizeof(bin));
    strcpy(bin.bin_name, FLS_SAMPLE_BIN);
    tamberlin_object_init_str2(&bin.object, &r.bins[0].value[0], r.bins[0].value.size());
    ka_write_parameters wp;
    ka_write_parameters_set_default(&wp);
    wp.record_ttl = 0xFFFFFFFFu;
    wp.timeout_ms = kShipTimeoutMs;
    wp.generation = 1;
    uint8_t stack[4096], *buf = stack;
    size_t sz = sizeof(stack);
    if (ka_compile(KA_MSG_INFO1_FERRY, KA_MSG_INFO2_WRITE, 0, "test", FLS_SAMPLE_SET, nullptr, &d, &bin, KA_OP_WRITE,
                   nullptr, 1, &buf, &sz, &wp, nullptr, trid, nullptr) != 0)
        return "";
    std::string out((char *)buf, sz);
    if (buf != stack)
        free(buf);
    return out;
}

const int kBareConns = 64, kBarePipelined = 16, kBareThreads = 4;

int connect_port(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons((uint16_t)port);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (connect(fd, (sockaddr *)&sa, sizeof(sa)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One thread's connections: keeps kBarePipelined requests pending on each
// until `quota` replies came; false on a network error.
bool bare_thread(int port, const std::vector<std::string> *reqs, uint64_t quota, std::atomic<uint64_t> *replies)
{
    const int n = kBareConns / kBareThreads;
    std::vector<int> fds;
    std::vector<pollfd> pf;
    std::vector<std::string> in(n);
    uint64_t sent = 0, got = 0, next = 0;
    auto send_some = [&](int i, int k) {
        std::string out;
        for (; k > 0 && sent < quota; k--, sent++)
            out += (*reqs)[next++ % reqs->size()];
        return out.empty() || send(fds[i], out.data(), out.size(), MSG_NOSIGNAL) == (ssize_t)out.size();
    };
    bool ok = true;
    for (int i = 0; i < n && ok; i++) {
        int fd = connect_port(port);
        ok = fd >= 0;
        fds.push_back(fd);
        pf.push_back({fd, POLLIN, 0});
        ok = ok && send_some(i, kBarePipelined);
    }
    char buf[65536];
    while (ok && got < quota) {
        if (poll(pf.data(), pf.size(), 10000) <= 0) {
            ok = false;
            break;
        }
        for (int i = 0; i < n && ok; i++) {
            if (!pf[i].revents)
                continue;
            ssize_t r = recv(fds[i], buf, sizeof(buf), 0);
            if (r <= 0) {
                ok = false;
                break;
            }
            in[i].append(buf, (size_t)r);
            size_t off = 0;
            int done = 0;
            while (in[i].size() - off >= 8) {
                const uint8_t *h = (const uint8_t *)in[i].data() + off;
                uint64_t sz = 0;
                for (int b = 2; b < 8; b++)
                    sz = sz << 8 | h[b];
                if (in[i].size() - off < 8 + sz)
                    break;
                if (h[8 + 5] != 0) // result code
                    ok = false;
                off += 8 + sz;
                done++;
            }
            in[i].erase(0, off);
            got += (uint64_t)done;
            replies->fetch_add((uint64_t)done);
            ok = ok && send_some(i, done);
        }
    }
    for (int fd : fds)
        if (fd >= 0)
            close(fd);
    return ok;
}

// Replies a second of one stand-in datacenter, or -1.
double run_standin(std::string *why)
{
    datacenter dc;
    if (!dc.start(0)) {
        *why = "the stand-in did not start";
        return -1;
    }
    uint64_t distinct = std::min<uint64_t>(g_set.records, 100000);
    std::vector<std::string> reqs;
    for (uint64_t i = 0; i < distinct; i++)
        reqs.push_back(write_request(i, 0x9E3779B97F4A7C15ull * (i + 1)));
    uint64_t total = std::max<uint64_t>(4 * g_set.records, 400000);
    std::atomic<uint64_t> replies{0};
    std::atomic<int> failed{0};
    double t0 = now_s();
    std::vector<std::thread> th;
    for (int t = 0; t < kBareThreads; t++)
        th.emplace_back([&] {
            if (!bare_thread(dc.port, &reqs, total / kBareThreads, &replies))
                failed++;
        });
    for (auto &t : th)
        t.join();
    double dt = now_s() - t0;
    if (failed.load()) {
        *why = "a connection of the load generator failed";
        return -1;
    }
    return (double)replies.load() / dt;
}

// ---- local: the local stand-in's batch reads --------------------------------

std::atomic<uint64_t> g_local_got{0};

int local_cb(char *, ka::ox_digest *, char *, uint32_t, uint32_t, ka_bin *bins, int n_bins, bool, void *)
{
    tamberlin_bins_free(bins, n_bins);
    g_local_got.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

// Records a second that batch reads of the backlog's digests bring from the
// local stand-in, with cfg's batch size and reader threads; -1 on a failure.
double run_local(const config &cfg, std::string *why)
{
    int batch = cfg.get("relay-read-batch-size", kReadBatch);
    int threads = std::max(1, cfg.get("relay-read-threads", kReadThreads));
    ka_cluster *c = tamberlin_cluster_create();
    if (!c || tamberlin_cluster_add_host(c, "127.0.0.1", (short)fls_port(g_fls), 5000) != 0) {
        *why = "the local cluster was not discovered";
        if (c)
            tamberlin_cluster_destroy(c);
        return -1;
    }
    tamberlin_cluster_change_tend_speed(c, 60);
    uint64_t n = g_set.records;
    std::vector<ka::ox_digest> digests(n);
    for (uint64_t i = 0; i < n; i++)
        fls_digest_of(i, digests[i].digest);
    g_local_got = 0;
    std::atomic<uint64_t> next{0};
    std::atomic<int> failed{0};
    double t0 = now_s();
    std::vector<std::thread> th;
    for (int t = 0; t < threads; t++)
        th.emplace_back([&] {
            for (;;) {
                uint64_t first = next.fetch_add((uint64_t)batch);
                if (first >= n)
                    return;
                int k = (int)std::min<uint64_t>((uint64_t)batch, n - first);
                if (tamberlin_get_many_digest(c, (char *)"test", &digests[first], k, nullptr, 0, true, local_cb,
                                              nullptr) != 0)
                    failed++;
            }
        });
    for (auto &t : th)
        t.join();
    double dt = now_s() - t0;
    tamberlin_cluster_destroy(c);
    if (failed.load() || g_local_got.load() != n) {
        *why = "a batch read failed";
        return -1;
    }
    return (double)n / dt;
}

// ---- the benchmarks of the interleaved repetitions ------------------------

enum bench_kind { BENCH_DRAIN, BENCH_ENGINE, BENCH_STANDIN, BENCH_LOCAL };

std::string bench_name(bench_kind k, const config &cfg, int d)
{
    switch (k) {
    case BENCH_DRAIN:
        return "drain/" + cfg.name + "/dcs:" + std::to_string(d);
    case BENCH_ENGINE:
        return "engine/" + cfg.name + "/dcs:" + std::to_string(d);
    case BENCH_STANDIN:
        return "stand-in";
    case BENCH_LOCAL:
        return "local/" + cfg.name;
    }
    return "";
}

// CPU per write of each drain, by name: the median over repetitions.
std::map<std::string, std::vector<double>> g_cpu;

void BM_Ship(benchmark::State &state, bench_kind kind, const config *cfg, int n_dcs)
{
    for (auto _ : state) {
        std::string why;
        double rate = -1;
        if (kind == BENCH_DRAIN) {
            drain_result r = run_drain(n_dcs, *cfg, false, g_set.records, &why);
            rate = r.rate;
            if (r.cpu_us_per_write > 0)
                g_cpu[bench_name(kind, *cfg, n_dcs)].push_back(r.cpu_us_per_write);
        } else if (kind == BENCH_ENGINE) {
            rate = run_engine(n_dcs, *cfg, &why);
        } else if (kind == BENCH_STANDIN) {
            rate = run_standin(&why);
        } else {
            rate = run_local(*cfg, &why);
        }
        if (rate <= 0) {
            state.SkipWithError(why.c_str());
            return;
        }
        state.SetIterationTime(1.0 / rate); // seconds per record (and datacenter)
        state.counters["records_per_s"] = rate;
    }
}

double median(std::vector<double> v)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
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
    if (!sh.start(ports, g_configs[0])) {
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
    fprintf(stderr, "usage: ship_bench [--quick] [--records N] [--reps R] [--dcs 1,3] [--steady] [--steady-secs T]\n"
                    "                  [--config NAME:key=value,...]... [--no-syscalls] [--ferry=PATH] "
                    "[--fast-node=PATH] [benchmark options]\n");
    return 2;
}

// "NAME:key=value,key=value" into a configuration; false when malformed.
bool parse_config(const std::string &text, config *c)
{
    size_t colon = text.find(':');
    if (colon == 0 || colon == std::string::npos)
        return false;
    c->name = text.substr(0, colon);
    std::string rest = text.substr(colon + 1);
    for (size_t p = 0; p < rest.size();) {
        size_t comma = rest.find(',', p);
        std::string kv = rest.substr(p, comma == std::string::npos ? std::string::npos : comma - p);
        size_t eq = kv.find('=');
        if (eq == 0 || eq == std::string::npos || eq + 1 == kv.size())
            return false;
        c->relay.push_back({kv.substr(0, eq), kv.substr(eq + 1)});
        p = comma == std::string::npos ? rest.size() : comma + 1;
    }
    return true;
}

std::string describe(const config &c)
{
    std::string out;
    for (const auto &[k, v] : c.relay)
        out += (out.empty() ? "" : ", ") + k + " " + v;
    return out.empty() ? "the defaults" : out;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<char *> args = {argv[0]};
    std::vector<config> extra;
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
        } else if (a == "--steady") {
            g_set.steady = true;
        } else if (a == "--no-syscalls") {
            g_set.syscalls = false;
        } else if (a == "--steady-secs" && i + 1 < argc && parse_u64(argv[i + 1], &v) && v >= 1 && v <= 60) {
            g_set.steady_secs = (int)v;
            i++;
        } else if (a == "--config" && i + 1 < argc) {
            config c;
            if (!parse_config(argv[++i], &c))
                return usage();
            extra.push_back(c);
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
        } else if (a.rfind("--fast-node=", 0) == 0) {
            g_set.fast_node = a.substr(12);
        } else if (a.rfind("--benchmark_", 0) == 0) {
            args.push_back(argv[i]);
        } else {
            return usage();
        }
    }
    // The defaults, and what a user with a backlog turns: more fetch
    // threads, more writes in flight, larger read batches.
    g_configs.push_back({"defaults", {}});
    g_configs.push_back({"backlog",
                         {{"relay-read-threads", "4"},
                          {"relay-max-recs-inflight", "2000"},
                          {"relay-read-batch-size", "2000"}}});
    for (const config &c : extra)
        g_configs.push_back(c);
    for (const std::string &bin : {g_set.ferry, g_set.fast_node}) {
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
    // A batch reply packs its records into a few large messages, as a
    // server's does, not three to a message, which would cost the shipper
    // two reads per three records.
    fake_batch_opts bo;
    bo.per_message = 100;
    fake_node_set_batch_opts(fls_node(g_fls), bo);
    printf("ship_bench: %lu records of %zu bytes, %d interleaved repetitions, ferry %s\n",
           (unsigned long)g_set.records, kRecordBytes, g_set.reps, g_set.ferry.c_str());
    for (const config &c : g_configs)
        printf("  configuration %s: %s\n", c.name.c_str(), describe(c).c_str());
    fflush(stdout);

    auto reg = [](bench_kind k, const config *c, int d) {
        benchmark::RegisterBenchmark(bench_name(k, *c, d).c_str(), BM_Ship, k, c, d)
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kNanosecond);
    };
    reg(BENCH_STANDIN, &g_configs[0], 0);
    for (const config &c : g_configs) {
        reg(BENCH_LOCAL, &c, 0);
        for (int d : g_set.dcs) {
            reg(BENCH_DRAIN, &c, d);
            reg(BENCH_ENGINE, &c, d);
        }
    }
    int n_args = (int)args.size();
    args.push_back(nullptr);
    if (!init_interleaved(&n_args, args.data(), g_set.reps, 0.0))
        return usage();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    auto rate_of = [&](const std::string &name) {
        double t = 0;
        return reporter.median_time(name, &t) && t > 0 ? 1e9 / t : -1.0;
    };
    double standin = rate_of(bench_name(BENCH_STANDIN, g_configs[0], 0));
    printf("\nstand-in alone (bare load generator, %d connections x %d pipelined, %d threads): %.0f replies/s\n",
           kBareConns, kBarePipelined, kBareThreads, standin);
    printf("\n%-10s %-4s %12s %12s %12s %8s %10s %10s %10s %8s\n", "config", "DCs", "drain/s/DC", "engine/s/DC",
           "drain/engine", "cpu us/w", "local/s", "local/drain", "stand/drain", "calls/w");
    std::vector<std::string> call_lines;
    for (const config &c : g_configs) {
        double local = rate_of(bench_name(BENCH_LOCAL, c, 0));
        for (int d : g_set.dcs) {
            std::string dn = bench_name(BENCH_DRAIN, c, d), en = bench_name(BENCH_ENGINE, c, d);
            double drain = rate_of(dn), engine = rate_of(en), ratio = -1;
            size_t reps = 0;
            if (!reporter.median_ratio(en, dn, &ratio, &reps))
                ratio = -1;
            double cpu = median(g_cpu[dn]);
            double calls = -1;
            if (g_set.syscalls && drain > 0) {
                std::string why;
                drain_result r = run_drain(d, c, true, std::min<uint64_t>(g_set.records, 200000), &why);
                std::string line = c.name + " dcs " + std::to_string(d) + ":";
                for (const auto &[name, per] : r.calls) {
                    if (name == "all")
                        calls = per;
                    char b[64];
                    snprintf(b, sizeof(b), " %s %.2f", name.c_str(), per);
                    line += b;
                }
                if (r.calls.empty())
                    line += " not counted (" + why + ")";
                call_lines.push_back(line);
            }
            printf("%-10s %-4d %12.0f %12.0f %12.3f %8.1f %10.0f %10.1f %10.1f %8.2f\n", c.name.c_str(), d, drain,
                   engine, ratio, cpu, local, drain > 0 ? local / drain : -1, drain > 0 ? standin / drain : -1,
                   calls);
            fflush(stdout);
        }
    }
    printf("(medians of %d interleaved repetitions; drain/engine the median of per-repetition ratios; cpu us/w: "
           "ferry's utime+stime per write shipped during the drain; local/drain and stand/drain: the local stand-in's "
           "batch-read rate and one stand-in datacenter's capacity over the drain per datacenter, each at least 5 "
           "wanted)\n",
           g_set.reps);
    if (!call_lines.empty()) {
        printf("system calls per write shipped (perf stat, every thread of ferry, drain of %lu records):\n",
               (unsigned long)std::min<uint64_t>(g_set.records, 200000));
        for (const std::string &l : call_lines)
            printf("  %s\n", l.c_str());
    }
    if (g_set.steady) {
        for (int d : g_set.dcs) {
            double engine = rate_of(bench_name(BENCH_ENGINE, g_configs[0], d));
            std::vector<step> steps;
            std::string why;
            uint64_t steady = steady_search(d, (uint64_t)(std::max(engine, 1000.0) * 0.7), &steps, &why);
            printf("steady at the defaults, %d datacenters: %lu rec/s/DC (%.3f of the engine)\n", d,
                   (unsigned long)steady, engine > 0 ? steady / engine : -1);
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
    }
    printf("(total %.0f s)\n", now_s() - t_start);
    benchmark::Shutdown();
    fls_stop(g_fls);
    tamberlin_shutdown();
    nftw(g_dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    return 0;
}
