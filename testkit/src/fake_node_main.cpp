// The stand-in database node as a program, for demos and benchmarks:
//   fake_node [--port N] [--info ITEM=VALUE]...
// Prints "port N" once it listens and serves until SIGINT or SIGTERM.
#include "testkit/fake_node.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char **argv)
{
    int port = 0;
    fake_node *n = fake_node_create();
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--port") && i + 1 < argc) {
            port = atoi(argv[++i]);
        } else if (!strcmp(argv[i], "--info") && i + 1 < argc) {
            std::string kv = argv[++i];
            size_t eq = kv.find('=');
            if (eq == std::string::npos) {
                fprintf(stderr, "fake_node: --info wants ITEM=VALUE, got '%s'\n", kv.c_str());
                return 2;
            }
            fake_node_set_info(n, kv.substr(0, eq), kv.substr(eq + 1));
        } else {
            fprintf(stderr, "usage: fake_node [--port N] [--info ITEM=VALUE]...\n");
            return 2;
        }
    }
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr); // threads started below inherit the mask
    if (fake_node_start(n, port) != 0) {
        fprintf(stderr, "fake_node: cannot listen on 127.0.0.1:%d\n", port);
        return 1;
    }
    printf("port %d\n", fake_node_port(n));
    fflush(stdout);
    int sig = 0;
    sigwait(&set, &sig);
    fake_node_destroy(n);
    return 0;
}
