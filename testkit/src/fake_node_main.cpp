// The stand-in database node as a program, for demos and benchmarks:
//   fake_node [--port N] [--info ITEM=VALUE]... [--delay-ms D] [--silent]
// --delay-ms delays every database reply by D ms; --silent answers no
// database request at all (info requests are answered either way, so a
// client's tend goes on). Prints "port N" once it listens and serves until
// SIGINT or SIGTERM.
#include "testkit/fake_node.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

// A whole decimal number from 0 to max, or -1.
static int parse_count(const char *s, int max)
{
    char *end = nullptr;
    long v = strtol(s, &end, 10);
    if (!*s || *end || v < 0 || v > max)
        return -1;
    return static_cast<int>(v);
}

static int usage()
{
    fprintf(stderr, "usage: fake_node [--port N] [--info ITEM=VALUE]... [--delay-ms D] [--silent]\n");
    return 2;
}

int main(int argc, char **argv)
{
    int port = 0;
    int delay_ms = 0;
    bool silent = false;
    std::vector<std::pair<std::string, std::string>> items;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--port") && i + 1 < argc) {
            port = parse_count(argv[++i], 65535);
            if (port < 0) {
                fprintf(stderr, "fake_node: --port wants 0 to 65535, got '%s'\n", argv[i]);
                return 2;
            }
        } else if (!strcmp(argv[i], "--info") && i + 1 < argc) {
            std::string kv = argv[++i];
            size_t eq = kv.find('=');
            if (eq == std::string::npos) {
                fprintf(stderr, "fake_node: --info wants ITEM=VALUE, got '%s'\n", kv.c_str());
                return 2;
            }
            items.push_back({kv.substr(0, eq), kv.substr(eq + 1)});
        } else if (!strcmp(argv[i], "--delay-ms") && i + 1 < argc) {
            delay_ms = parse_count(argv[++i], 3600 * 1000);
            if (delay_ms < 0) {
                fprintf(stderr, "fake_node: --delay-ms wants milliseconds, got '%s'\n", argv[i]);
                return 2;
            }
        } else if (!strcmp(argv[i], "--silent")) {
            silent = true;
        } else {
            return usage();
        }
    }
    fake_node *n = fake_node_create();
    for (const auto &[item, value] : items) {
        fake_node_set_info(n, item, value);
    }
    // Nobody reads the program's record of requests: it would only grow.
    fake_node_set_recording(n, false);
    if (silent || delay_ms > 0) {
        fake_fault f;
        f.kind = silent ? FAKE_FAULT_SILENT : FAKE_FAULT_DELAY;
        f.count = -1;
        f.on = FAKE_REQ_DATABASE;
        f.delay_ms = delay_ms;
        fake_node_set_fault(n, f);
    }
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr); // threads started below inherit the mask
    if (fake_node_start(n, port) != 0) {
        fprintf(stderr, "fake_node: cannot listen on 127.0.0.1:%d\n", port);
        fake_node_destroy(n);
        return 1;
    }
    printf("port %d\n", fake_node_port(n));
    fflush(stdout);
    int sig = 0;
    sigwait(&set, &sig);
    fake_node_destroy(n);
    return 0;
}
