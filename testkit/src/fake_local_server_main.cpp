// The stand-in local server as a program, for demos and benchmarks:
//   fake_local_server --pipe PATH [--port N] [--ns NAME]... [--boot NODE]...
//                     [--digests COUNT]
// After each feed request it sends the namespace list (the NAMEs numbered
// from 1, default "test", then the end mark), the boot-node list (each NODE,
// hexadecimal, then the end mark) and COUNT digest messages of namespace 1,
// and keeps the pipe open. Prints "port N" once it listens and serves until
// SIGINT or SIGTERM.
#include "testkit/fake_local_server.h"

#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

static void
usage(void)
{
	fprintf(stderr, "usage: fake_local_server --pipe PATH [--port N] [--ns NAME]... [--boot NODE]... "
			"[--digests COUNT]\n");
}

// One feed's script: the lists with their end marks, then the digests.
static void
script_feed(fake_local_server *s, const std::vector<std::string> &names, const std::vector<ox_node> &boot,
		uint64_t digests)
{
	ferry_msg m;
	for (size_t i = 0; i < names.size(); i++) {
		fls_make_ns(&m, (int32_t)i + 1, names[i].c_str());
		fls_pipe_msg(s, &m);
	}
	fls_make_ns(&m, -1, nullptr);
	fls_pipe_msg(s, &m);
	for (ox_node n : boot) {
		fls_make_boot(&m, n);
		fls_pipe_msg(s, &m);
	}
	fls_make_boot(&m, 0);
	fls_pipe_msg(s, &m);
	if (digests) {
		fls_pipe_flood(s, 1, 0, digests);
	}
}

int
main(int argc, char **argv)
{
	const char *pipe = nullptr;
	std::vector<std::string> names;
	std::vector<ox_node> boot;
	int port = 0;
	uint64_t digests = 0;
	for (int i = 1; i < argc; i++) {
		std::string opt = argv[i];
		if (i + 1 >= argc) {
			usage();
			return 2;
		}
		const char *val = argv[++i];
		char *end = nullptr;
		if (opt == "--pipe") {
			pipe = val;
		} else if (opt == "--port") {
			port = (int)strtol(val, &end, 10);
		} else if (opt == "--ns" && strlen(val) > 0 && strlen(val) < NAMESPACE_MAX_SZ && names.size() < 31) {
			names.push_back(val);
		} else if (opt == "--boot") {
			boot.push_back((ox_node)strtoull(val, &end, 16));
		} else if (opt == "--digests") {
			digests = strtoull(val, &end, 10);
		} else {
			usage();
			return 2;
		}
		if (end && (*end != '\0' || end == val)) {
			fprintf(stderr, "fake_local_server: %s wants a number, got '%s'\n", opt.c_str(), val);
			return 2;
		}
	}
	if (!pipe) {
		usage();
		return 2;
	}
	if (names.empty()) {
		names.push_back("test");
	}
	sigset_t set;
	sigemptyset(&set);
	sigaddset(&set, SIGINT);
	sigaddset(&set, SIGTERM);
	pthread_sigmask(SIG_BLOCK, &set, nullptr); // threads started below inherit the mask
	fake_local_server *s = fls_start(pipe, port);
	if (!s) {
		fprintf(stderr, "fake_local_server: cannot listen on 127.0.0.1:%d or make the pipe %s\n", port, pipe);
		return 1;
	}
	printf("port %d\n", fls_port(s));
	fflush(stdout);
	int feeds_seen = 0;
	const struct timespec tick = {0, 100 * 1000 * 1000};
	while (sigtimedwait(&set, nullptr, &tick) < 0) {
		int feeds = fls_requests(s, FLS_FEED_REQUEST);
		for (; feeds_seen < feeds; feeds_seen++) {
			script_feed(s, names, boot, digests);
		}
	}
	fls_stop(s);
	return 0;
}
