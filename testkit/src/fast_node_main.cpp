// The throughput stand-in as a program, a remote datacenter for benchmarks:
//   fast_node [--port N] [--ns NAME]... [--threads T] [--node NAME] [--keep-records]
// It is the only node of its cluster, masters every partition of each NAME
// (default "test") and answers every write and delete at once (fast_node.h).
//
// Prints "port N" once it listens; on SIGUSR1, and once more when it ends on
// SIGINT or SIGTERM, "writes W deletes D records R" as fake_node does: the
// writes and deletes answered so far and the digests written and not deleted.
#include "testkit/fast_node.h"

#include "program_args.h"

#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int usage()
{
    fprintf(stderr, "usage: fast_node [--port N] [--ns NAME]... [--threads T] [--node NAME] [--keep-records]\n");
    return 2;
}

void print_counts(fast_node *n)
{
    printf("writes %llu deletes %llu records %zu\n", (unsigned long long)fast_node_writes(n),
           (unsigned long long)fast_node_deletes(n), fast_node_records(n));
    fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    fast_node_cfg cfg;
    bool ns_given = false;
    for (int i = 1; i < argc; i++) {
        const char *opt = argv[i];
        if (!strcmp(opt, "--keep-records")) {
            cfg.keep_records = true;
            continue;
        }
        if (i + 1 >= argc)
            return usage();
        const char *val = argv[++i];
        bool ok = true;
        if (!strcmp(opt, "--port")) {
            long v = testkit_parse_count(val, 0, 65535);
            ok = v >= 0;
            cfg.port = static_cast<int>(v);
        } else if (!strcmp(opt, "--threads")) {
            long v = testkit_parse_count(val, 1, 64);
            ok = v >= 0;
            cfg.threads = static_cast<int>(v);
        } else if (!strcmp(opt, "--ns")) {
            if (!ns_given)
                cfg.namespaces.clear();
            ns_given = true;
            size_t len = strlen(val);
            ok = len > 0 && len < 32 && !strpbrk(val, ":;\t\n");
            cfg.namespaces.push_back(val);
        } else if (!strcmp(opt, "--node")) {
            ok = *val && strlen(val) < 20 && !strpbrk(val, "\t\n");
            cfg.name = val;
        } else {
            return usage();
        }
        if (!ok) {
            fprintf(stderr, "fast_node: bad value '%s' for %s\n", val, opt);
            return 2;
        }
    }
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set, nullptr); // the serving threads inherit the mask
    signal(SIGPIPE, SIG_IGN);
    fast_node *n = fast_node_start(cfg);
    if (!n) {
        fprintf(stderr, "fast_node: cannot listen on 127.0.0.1:%d\n", cfg.port);
        return 1;
    }
    printf("port %d\n", fast_node_port(n));
    fflush(stdout);
    for (;;) {
        int sig = 0;
        sigwait(&set, &sig);
        if (sig != SIGUSR1)
            break;
        print_counts(n);
    }
    print_counts(n);
    fast_node_stop(n);
    return 0;
}
