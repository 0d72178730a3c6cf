// The stand-in local server as a program, for demos and benchmarks:
//   fake_local_server --pipe PATH [--port N] [--ns NAME]... [--boot NODE]...
//                     [--records N] [--record-bytes B] [--digests COUNT]
//                     [--rate PER_SEC] [--deletes K] [--deletes-on-usr1]
//                     [--failed NODE]
// It is also the local cluster: one node that masters every partition of the
// NAMEs (default "test"), holding N sample records of namespace 1 (B bytes
// each, default 100) under the digests of sequence numbers 0 to N - 1.
//
// After every feed request it sends the namespace list (the NAMEs numbered
// from 1, then the end mark) and the boot-node list (each NODE, hexadecimal,
// then the end mark). After the first one only, it goes on with COUNT digest
// messages of namespace 1 (default N), PER_SEC a second (0, the default: as
// fast as the pipe takes them); then the deletes of the first K records, each
// record taken out of the store as its message goes (with --deletes-on-usr1,
// only once SIGUSR1 comes, after everything else); then a failed-node report
// for NODE whose last-ship times are the time of sending. The pipe stays open.
//
// Prints "port N" once it listens, then "fed N" (digest and delete messages
// written so far) at most once a second while the count moves and once when
// the script is played out; serves until SIGINT or SIGTERM.
#include "testkit/fake_local_server.h"

#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

struct options {
	const char *pipe = nullptr;
	std::vector<std::string> names;
	std::vector<ox_node> boot;
	int port = 0;
	uint64_t records = 0;
	uint64_t record_bytes = 100;
	bool digests_set = false;
	uint64_t digests = 0;
	uint64_t rate = 0;
	uint64_t deletes = 0;
	bool deletes_on_usr1 = false;
	bool failed_set = false;
	ox_node failed = 0;
};

void
usage(void)
{
	fprintf(stderr, "usage: fake_local_server --pipe PATH [--port N] [--ns NAME]... [--boot NODE]...\n"
			"                         [--records N] [--record-bytes B] [--digests COUNT] [--rate PER_SEC]\n"
			"                         [--deletes K] [--deletes-on-usr1] [--failed NODE]\n");
}

// A whole unsigned number in base 10 or 16 up to max; false otherwise.
bool
parse_number(const char *val, int base, uint64_t max, uint64_t *out)
{
	if (!*val || *val == '-' || *val == '+') {
		return false;
	}
	char *end = nullptr;
	errno = 0;
	unsigned long long v = strtoull(val, &end, base);
	if (errno != 0 || *end != '\0' || v > max) {
		return false;
	}
	*out = v;
	return true;
}

// 0, or 2 after a complaint.
int
parse_options(int argc, char **argv, options *o)
{
	for (int i = 1; i < argc; i++) {
		std::string opt = argv[i];
		if (opt == "--deletes-on-usr1") {
			o->deletes_on_usr1 = true;
			continue;
		}
		if (i + 1 >= argc) {
			usage();
			return 2;
		}
		const char *val = argv[++i];
		uint64_t v = 0;
		bool ok = true;
		if (opt == "--pipe") {
			o->pipe = val;
		} else if (opt == "--port") {
			ok = parse_number(val, 10, 65535, &v);
			o->port = (int)v;
		} else if (opt == "--ns") {
			ok = strlen(val) > 0 && strlen(val) < NAMESPACE_MAX_SZ && o->names.size() < 31;
			o->names.push_back(val);
		} else if (opt == "--boot") {
			ok = parse_number(val, 16, UINT64_MAX, &v);
			o->boot.push_back(v);
		} else if (opt == "--failed") {
			ok = parse_number(val, 16, UINT64_MAX, &v) && v != 0;
			o->failed_set = true;
			o->failed = v;
		} else if (opt == "--records") {
			ok = parse_number(val, 10, 100000000, &o->records);
		} else if (opt == "--record-bytes") {
			ok = parse_number(val, 10, 1024 * 1024, &o->record_bytes) && o->record_bytes > 0;
		} else if (opt == "--digests") {
			ok = parse_number(val, 10, UINT64_MAX, &o->digests);
			o->digests_set = true;
		} else if (opt == "--rate") {
			ok = parse_number(val, 10, 100000000, &o->rate);
		} else if (opt == "--deletes") {
			ok = parse_number(val, 10, UINT64_MAX, &o->deletes);
		} else {
			usage();
			return 2;
		}
		if (!ok) {
			fprintf(stderr, "fake_local_server: bad value '%s' for %s\n", val, opt.c_str());
			return 2;
		}
	}
	if (!o->pipe) {
		usage();
		return 2;
	}
	if (o->names.empty()) {
		o->names.push_back("test");
	}
	if (!o->digests_set) {
		o->digests = o->records;
	}
	if (o->deletes > o->records) {
		fprintf(stderr, "fake_local_server: --deletes %lu is more than the %lu records\n",
				(unsigned long)o->deletes, (unsigned long)o->records);
		return 2;
	}
	return 0;
}

// What every opening of the pipe gets: the lists with their end marks.
void
script_lists(fake_local_server *s, const options &o)
{
	ferry_msg m;
	for (size_t i = 0; i < o.names.size(); i++) {
		fls_make_ns(&m, (int32_t)i + 1, o.names[i].c_str());
		fls_pipe_msg(s, &m);
	}
	fls_make_ns(&m, -1, nullptr);
	fls_pipe_msg(s, &m);
	for (ox_node n : o.boot) {
		fls_make_boot(&m, n);
		fls_pipe_msg(s, &m);
	}
	fls_make_boot(&m, 0);
	fls_pipe_msg(s, &m);
}

uint64_t
wall_ms()
{
	return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(
			std::chrono::system_clock::now().time_since_epoch())
		.count();
}

void
script_failed(fake_local_server *s, const options &o)
{
	uint64_t lastship[DC_MAX_NUM];
	uint64_t now = wall_ms();
	for (uint64_t &t : lastship) {
		t = now;
	}
	ferry_msg m;
	fls_make_failed(&m, o.failed, lastship);
	fls_pipe_msg(s, &m);
}

uint64_t
mono_ms()
{
	return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(
			std::chrono::steady_clock::now().time_since_epoch())
		.count();
}

} // namespace

int
main(int argc, char **argv)
{
	options o;
	int rv = parse_options(argc, argv, &o);
	if (rv != 0) {
		return rv;
	}
	sigset_t set;
	sigemptyset(&set);
	sigaddset(&set, SIGINT);
	sigaddset(&set, SIGTERM);
	sigaddset(&set, SIGUSR1);
	pthread_sigmask(SIG_BLOCK, &set, nullptr); // threads started below inherit the mask
	fake_local_server *s = fls_start(o.pipe, o.port);
	if (!s) {
		fprintf(stderr, "fake_local_server: cannot listen on 127.0.0.1:%d or make the pipe %s\n", o.port, o.pipe);
		return 1;
	}
	fls_set_namespaces(s, o.names);
	fls_preload(s, o.names[0].c_str(), 0, o.records, (size_t)o.record_bytes);
	printf("port %d\n", fls_port(s));
	fflush(stdout);

	int feeds_seen = 0;
	bool deletes_sent = o.deletes == 0;
	bool usr1 = false;
	uint64_t fed_printed = 0;
	uint64_t printed_at = 0;
	const struct timespec tick = {0, 100 * 1000 * 1000};
	for (;;) {
		int sig = sigtimedwait(&set, nullptr, &tick);
		if (sig == SIGINT || sig == SIGTERM) {
			break;
		}
		int feeds = fls_requests(s, FLS_FEED_REQUEST);
		for (; feeds_seen < feeds; feeds_seen++) {
			script_lists(s, o);
			if (feeds_seen > 0) {
				continue;
			}
			if (o.digests) {
				fls_pipe_feed(s, 1, 0, o.digests, o.rate);
			}
			if (!deletes_sent && !o.deletes_on_usr1) {
				fls_pipe_deletes(s, o.names[0].c_str(), 1, 0, o.deletes);
				deletes_sent = true;
			}
			if (o.failed_set) {
				script_failed(s, o);
			}
		}
		// A SIGUSR1 before the first feed waits for it: the deletes follow the digests.
		usr1 |= sig == SIGUSR1;
		if (usr1 && !deletes_sent && feeds_seen > 0) {
			fls_pipe_deletes(s, o.names[0].c_str(), 1, 0, o.deletes);
			deletes_sent = true;
		}
		uint64_t fed = fls_pipe_fed(s);
		if (fed != fed_printed && (mono_ms() - printed_at >= 1000 || fls_pipe_idle(s))) {
			printf("fed %lu\n", (unsigned long)fed);
			fflush(stdout);
			fed_printed = fed;
			printed_at = mono_ms();
		}
	}
	// The last count, for a driver that compares it with what the shipper kept.
	printf("fed %lu\n", (unsigned long)fls_pipe_fed(s));
	fflush(stdout);
	fls_stop(s);
	return 0;
}
