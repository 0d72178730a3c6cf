// The stand-in database node as a program, for demos and benchmarks: a
// cluster of one node (a remote datacenter for the shipper):
//   fake_node [--port N] [--ns NAME]... [--node NAME] [--build TEXT]
//             [--info ITEM=VALUE]... [--delay-ms D] [--silent]
//             [--fail-nth N --fail-code C [--fail-count M]]
// The node answers the tend's items as the only node of its cluster: it
// masters every one of 4096 partitions of each NAME (default "test"), names
// itself NAME of --node (default "BB9" and the port) and answers "build" with
// TEXT (default 3.2.9); --info answers ITEM with VALUE instead of anything
// computed. It stores every write and applies every delete.
//
// --delay-ms delays every database reply by D ms; --silent answers no
// database request at all, and SIGUSR2 switches that silence on and off while
// running (info requests are answered either way, so a client's tend goes
// on). --fail-nth answers the Nth write received (and the M - 1 after it,
// default M 1) with result code C and no bins. --port N with a fixed N starts
// again on the same port after a stop (the listener reuses the address).
//
// Prints "port N" once it listens; "silent on" or "silent off" once SIGUSR2
// has switched; on SIGUSR1, and once more when it ends on SIGINT or SIGTERM,
// "writes W deletes D records R": the writes and deletes received so far and
// the records in its store (a write that went unanswered is stored too).
#include "testkit/fake_cluster.h"

#include "program_args.h"

#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

int usage()
{
    fprintf(stderr, "usage: fake_node [--port N] [--ns NAME]... [--node NAME] [--build TEXT] [--info ITEM=VALUE]...\n"
                    "                 [--delay-ms D] [--silent] [--fail-nth N --fail-code C [--fail-count M]]\n");
    return 2;
}

struct options {
    int port = 0;
    int delay_ms = 0;
    bool silent = false;
    long fail_nth = 0;
    long fail_code = -1;
    long fail_count = 1;
    std::string node;
    fake_cluster_cfg cfg;
    std::vector<std::pair<std::string, std::string>> items;
};

// 0, or 2 after a complaint.
int parse_options(int argc, char **argv, options *o)
{
    bool ns_given = false;
    for (int i = 1; i < argc; i++) {
        const char *opt = argv[i];
        if (!strcmp(opt, "--silent")) {
            o->silent = true;
            continue;
        }
        if (i + 1 >= argc)
            return usage();
        const char *val = argv[++i];
        long v = 0;
        const char *want = nullptr;
        if (!strcmp(opt, "--port")) {
            v = testkit_parse_count(val, 0, 65535);
            o->port = static_cast<int>(v);
            want = "0 to 65535";
        } else if (!strcmp(opt, "--info")) {
            std::string kv = val;
            size_t eq = kv.find('=');
            if (eq == std::string::npos)
                v = -1;
            else
                o->items.push_back({kv.substr(0, eq), kv.substr(eq + 1)});
            want = "ITEM=VALUE";
        } else if (!strcmp(opt, "--ns")) {
            if (!ns_given)
                o->cfg.namespaces.clear();
            ns_given = true;
            size_t len = strlen(val);
            v = len > 0 && len < 32 && !strpbrk(val, ":;\t\n") ? 0 : -1;
            o->cfg.namespaces.push_back(val);
            want = "a namespace name of 1 to 31 characters";
        } else if (!strcmp(opt, "--node")) {
            v = *val && strlen(val) < 20 && !strpbrk(val, "\t\n") ? 0 : -1;
            o->node = val;
            want = "a node name of 1 to 19 characters";
        } else if (!strcmp(opt, "--build")) {
            o->cfg.build = val;
        } else if (!strcmp(opt, "--delay-ms")) {
            v = testkit_parse_count(val, 0, 3600 * 1000);
            o->delay_ms = static_cast<int>(v);
            want = "milliseconds";
        } else if (!strcmp(opt, "--fail-nth")) {
            v = o->fail_nth = testkit_parse_count(val, 1, 1000000000);
            want = "a write's number from 1";
        } else if (!strcmp(opt, "--fail-code")) {
            v = o->fail_code = testkit_parse_count(val, 1, 255);
            want = "a result code of 1 to 255";
        } else if (!strcmp(opt, "--fail-count")) {
            v = o->fail_count = testkit_parse_count(val, 1, 1000000000);
            want = "a count from 1";
        } else {
            return usage();
        }
        if (v < 0) {
            fprintf(stderr, "fake_node: %s wants %s, got '%s'\n", opt, want, val);
            return 2;
        }
    }
    if ((o->fail_nth > 0) != (o->fail_code > 0)) {
        fprintf(stderr, "fake_node: --fail-nth and --fail-code go together\n");
        return 2;
    }
    // One fault is armed at a time: the delay of every reply is one.
    if (o->fail_nth > 0 && o->delay_ms > 0) {
        fprintf(stderr, "fake_node: --fail-nth cannot be combined with --delay-ms\n");
        return 2;
    }
    return 0;
}

void print_counts(fake_node *n)
{
    printf("writes %zu deletes %zu records %zu\n", fake_node_write_count(n), fake_node_delete_count(n),
           fake_node_record_count(n));
    fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    options o;
    int rv = parse_options(argc, argv, &o);
    if (rv != 0)
        return rv;
    o.cfg.n_nodes = 1;
    o.cfg.ports = {o.port};

    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &set, nullptr); // threads started below inherit the mask
    fake_cluster *fc = fake_cluster_create(o.cfg);
    if (!fc) {
        fprintf(stderr, "fake_node: cannot listen on 127.0.0.1:%d\n", o.port);
        return 1;
    }
    fake_node *n = fake_cluster_node(fc, 0);
    // Nobody reads the program's record of requests: it would only grow.
    fake_node_set_recording(n, false);
    int port = fake_cluster_port(fc, 0);
    fake_cluster_set_item(fc, 0, "node", o.node.empty() ? "BB9" + std::to_string(port) : o.node);
    for (const auto &[item, value] : o.items)
        fake_cluster_set_item(fc, 0, item, value);
    if (o.delay_ms > 0 || o.fail_nth > 0) {
        fake_fault f;
        if (o.delay_ms > 0) {
            f.kind = FAKE_FAULT_DELAY;
            f.count = -1;
            f.on = FAKE_REQ_DATABASE;
            f.delay_ms = o.delay_ms;
        } else {
            f.kind = FAKE_FAULT_RESULT_CODE;
            f.on = FAKE_REQ_WRITE;
            f.skip = static_cast<int>(o.fail_nth - 1);
            f.count = static_cast<int>(o.fail_count);
            f.result_code = static_cast<int>(o.fail_code);
        }
        fake_node_set_fault(n, f);
    }
    bool silent = o.silent;
    fake_cluster_silence_node(fc, 0, silent, FAKE_REQ_DATABASE);
    printf("port %d\n", port);
    fflush(stdout);
    for (;;) {
        int sig = 0;
        sigwait(&set, &sig);
        if (sig == SIGUSR1) {
            print_counts(n);
        } else if (sig == SIGUSR2) {
            silent = !silent;
            fake_cluster_silence_node(fc, 0, silent, FAKE_REQ_DATABASE);
            printf("silent %s\n", silent ? "on" : "off");
            fflush(stdout);
        } else {
            break;
        }
    }
    print_counts(n);
    fake_cluster_destroy(fc);
    return 0;
}
