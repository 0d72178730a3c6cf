/*
 * Info replies as the client receives them: a stand-in node on 127.0.0.1
 * (port 0, one thread of this target) reads each request whole and answers
 * with the input, and one of the client's info calls reads the answer: the
 * plain request (with and without a reply limit), the node name, the
 * partition count, the node check and the replicas request, and the
 * shipper's own questions to its local server: the cluster-wide minimum
 * last-ship time that the digest-log reclaim reads, and the build request of
 * its wait for the server. The reply text is also given to
 * tamberlin_info_parse_single directly.
 *
 * Framed (the default), the stand-in puts a correct 8-byte header before
 * the text, so mutations reach the readers of the text; raw, the input is the
 * whole answer, header included, for the frame itself.
 *
 * Input: byte 0 bits 0-2 the call, bit 3 raw; then the answer.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "fuzz_common.h"
#include "tamberlin/ka_cluster.h"
#include "../ferry/src/ferry_local.h"
#include "tamberlin/ferry_shared.h"
#include "tamberlin/ka_info.h"
#include "tamberlin/proto.h"

static int s_listen = -1;
static struct sockaddr_in s_addr;
static std::thread s_server;
static std::atomic<bool> s_stop{false};
static std::mutex s_lock;
static std::vector<uint8_t> s_answer; /* s_lock */

static bool
read_full(int fd, uint8_t *buf, size_t n)
{
	while (n > 0) {
		ssize_t r = read(fd, buf, n);
		if (r <= 0)
			return false;
		buf += r;
		n -= (size_t)r;
	}
	return true;
}

/* The stand-in: one request and one answer per connection, then close. */
static void
serve(void)
{
	for (;;) {
		int c = accept(s_listen, nullptr, nullptr);
		if (s_stop.load()) {
			if (c >= 0)
				close(c);
			return;
		}
		if (c < 0)
			continue;
		struct timeval tv = {10, 0};
		setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
		setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
		// The request is read whole first: closing with unread bytes would
		// reset the connection and throw the answer away.
		uint8_t head[8];
		std::vector<uint8_t> names;
		bool ok = read_full(c, head, sizeof(head));
		if (ok) {
			uint64_t sz = ka_be_get(head + 2, 6);
			ok = sz <= 65536;
			names.resize(sz);
			ok = ok && read_full(c, names.data(), sz);
		}
		if (ok) {
			std::vector<uint8_t> answer;
			{
				std::lock_guard<std::mutex> g(s_lock);
				answer = s_answer;
			}
			size_t done = 0;
			while (done < answer.size()) {
				ssize_t n = send(c, answer.data() + done, answer.size() - done, MSG_NOSIGNAL);
				if (n <= 0)
					break;
				done += (size_t)n;
			}
		}
		shutdown(c, SHUT_WR);
		close(c);
	}
}

static void
stop_server(void)
{
	s_stop.store(true);
	int fd = socket(AF_INET, SOCK_STREAM, 0);
	if (fd >= 0) {
		connect(fd, (struct sockaddr *)&s_addr, sizeof(s_addr));
		close(fd);
	}
	if (s_server.joinable())
		s_server.join();
	close(s_listen);
}

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
	fuzz_logs_quiet();
	s_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	memset(&s_addr, 0, sizeof(s_addr));
	s_addr.sin_family = AF_INET;
	s_addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t alen = sizeof(s_addr);
	if (s_listen < 0 || bind(s_listen, (struct sockaddr *)&s_addr, sizeof(s_addr)) != 0 ||
			listen(s_listen, 16) != 0 || getsockname(s_listen, (struct sockaddr *)&s_addr, &alen) != 0) {
		perror("info_reply: stand-in node");
		abort();
	}
	s_server = std::thread(serve);
	atexit(stop_server);
	// The shipper asks its local server at the addresses of g_sockaddr_in_v;
	// two datacenters with their own last-ship times bound the reclaim.
	g_sockaddr_in_v = ox_vector_create(sizeof(struct sockaddr_in), 1, 0);
	if (!g_sockaddr_in_v || ox_vector_append(g_sockaddr_in_v, &s_addr) != 0)
		abort();
	g_dc_count = 2;
	g_lastshiptime[0].lst_localmin = 1700000000000ULL;
	g_lastshiptime[1].lst_localmin = 1600000000000ULL;
	return 0;
}

static void
ask(int call, const struct sockaddr_in *sa_const)
{
	struct sockaddr_in sa = *sa_const;
	const int timeout_ms = 5000;
	switch (call) {
	case 0:
	case 1: {
		char names[] = "node;partitions,services:build";
		char *values = nullptr;
		if (tamberlin_info_host_limit(&sa, names, &values, timeout_ms, false, call == 1 ? 64 : 0) == 0 &&
				values) {
			char *value = nullptr;
			tamberlin_info_parse_single(values, &value);
		}
		free(values);
		break;
	}
	case 2: {
		char name[KA_NODE_NAME_SIZE + 8];
		ka_request_node_name(&sa, name, timeout_ms);
		break;
	}
	case 3: {
		int n = 0;
		ka_request_n_partitions(&sa, &n, timeout_ms);
		break;
	}
	case 4: {
		ka_node_info info;
		if (ka_request_node_info(&sa, &info, timeout_ms) == 0)
			ka_node_info_free(&info);
		break;
	}
	case 5: {
		ka_replicas replicas;
		if (ka_request_replicas(&sa, &replicas, timeout_ms) == 0)
			ka_replicas_free(&replicas);
		break;
	}
	case 6: {
		uint64_t t = ferry_digestlog_reclaim_time();
		if (t > g_lastshiptime[1].lst_localmin) {
			fprintf(stderr, "info_reply: reclaim up to %lu, past this node's own minimum\n", (unsigned long)t);
			abort();
		}
		break;
	}
	default: {
		char req[] = FERRY_INFO_BUILD_REQUEST;
		char *values = nullptr;
		if (ferry_send_infomsg(req, &values, timeout_ms) == 0 && values) {
			char *value = nullptr;
			tamberlin_info_parse_single(values, &value);
		}
		free(values);
		break;
	}
	}
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (s_listen < 0)
		LLVMFuzzerInitialize(nullptr, nullptr);
	if (size < 1)
		return 0;
	const int call = data[0] & 7;
	const bool raw = (data[0] & 8) != 0;
	const uint8_t *text = data + 1;
	const size_t len = size - 1;
	{
		std::lock_guard<std::mutex> g(s_lock);
		s_answer.clear();
		if (!raw) {
			uint8_t head[8] = {KA_PROTO_VERSION, KA_PROTO_TYPE_INFO};
			ka_be_put(head + 2, len, 6);
			s_answer.assign(head, head + 8);
		}
		s_answer.insert(s_answer.end(), text, text + len);
	}
	ask(call, &s_addr);

	char *copy = fuzz_text(text, len);
	fuzz_owned own(copy);
	char *value = nullptr;
	tamberlin_info_parse_single(copy, &value);
	fuzz_logs_reset();
	return 0;
}
