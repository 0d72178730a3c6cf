/*
 * ferry_test_daemon: the shipper's start-up for end-to-end tests that need
 * short fixed periods. Not the product: the `ferry` binary has no such knob.
 *
 *   ferry_test_daemon DIVISOR [ferry options...]
 *
 * Every fixed wait of the shipper (and the client's one-second tick) is
 * divided by DIVISOR; then the daemon runs as `ferry` would with the rest of
 * the command line.
 *
 * With FERRY_TEST_NO_CORE set in the environment the process cannot dump
 * core, whatever core limit it sets itself and wherever the machine sends
 * cores: tests of the fatal-signal path leave nothing behind.
 */
#include <sys/prctl.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "../../src/ferry_start.h"
#include "tamberlin/ferry_shared.h"
#include "tamberlin/ka_cluster.h"

int
main(int argc, char **argv)
{
	if (argc < 2) {
		fprintf(stderr, "usage: ferry_test_daemon DIVISOR [ferry options...]\n");
		return 2;
	}
	long div = strtol(argv[1], nullptr, 10);
	if (div < 1 || div > 1000) {
		fprintf(stderr, "ferry_test_daemon: DIVISOR must be 1 to 1000\n");
		return 2;
	}
	if (getenv("FERRY_TEST_NO_CORE")) {
		prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
	}
	g_ferry_time_divisor.store((uint32_t)div);
	ka_cluster_test_set_tick_ms((uint32_t)(1000 / div));
	std::vector<char *> args;
	args.push_back(argv[0]);
	for (int i = 2; i < argc; i++) {
		args.push_back(argv[i]);
	}
	args.push_back(nullptr);
	return ferry_main((int)args.size() - 1, args.data());
}
