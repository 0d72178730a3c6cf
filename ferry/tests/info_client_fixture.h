// A client of the info port for tests: requests built byte by byte, replies
// read with a deadline, and the in-process server started once per test
// program on 127.0.0.1 (any free port) with test-only items registered
// beside the product's.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "../src/ferry_info_server.h"
#include "ferry_fixture.h"
#include "tamberlin/dynbuf.h"
#include "tamberlin/fault.h"
#include "tamberlin/ferry_info.h"
#include "tamberlin/ferry_shared.h"
#include "tamberlin/ox_clock.h"
#include "testkit/proc.h"

namespace info_test {

constexpr int kDeadlineMs = 20000;

// A request: the 8-byte header (version, type, 48-bit big-endian size) and body.
inline std::string
request(const std::string &body, uint8_t version = 2, uint8_t type = 1, int64_t claimed = -1)
{
	uint64_t sz = claimed >= 0 ? (uint64_t)claimed : body.size();
	std::string r(8, '\0');
	r[0] = (char)version;
	r[1] = (char)type;
	for (int i = 0; i < 6; i++)
		r[2 + i] = (char)(uint8_t)(sz >> (8 * (5 - i)));
	return r + body;
}

inline uint64_t
size_of(const uint8_t *hdr)
{
	uint64_t sz = 0;
	for (int i = 2; i < 8; i++)
		sz = sz << 8 | hdr[i];
	return sz;
}

// A blocking client socket, not yet connected, whose reads and writes give
// up after the deadline.
inline int
client_socket(int rcvbuf = 0)
{
	int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return -1;
	if (rcvbuf > 0)
		setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
	struct timeval tv = {kDeadlineMs / 1000, 0};
	setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
	setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
	return fd;
}

// Connects a client socket; closes it and gives -1 on failure.
inline int
client_connect(int fd, int port)
{
	struct sockaddr_in sa {};
	sa.sin_family = AF_INET;
	sa.sin_port = htons((uint16_t)port);
	sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	if (connect(fd, (struct sockaddr *)&sa, sizeof(sa)) != 0) {
		close(fd);
		return -1;
	}
	return fd;
}

// A blocking connection whose reads give up after the deadline.
inline int
connect_to(int port, int rcvbuf = 0)
{
	int fd = client_socket(rcvbuf);
	return fd < 0 ? -1 : client_connect(fd, port);
}

inline bool
send_all(int fd, const std::string &bytes)
{
	size_t pos = 0;
	while (pos < bytes.size()) {
		ssize_t n = send(fd, bytes.data() + pos, bytes.size() - pos, MSG_NOSIGNAL);
		if (n <= 0)
			return false;
		pos += (size_t)n;
	}
	return true;
}

inline bool
recv_exact(int fd, void *buf, size_t len)
{
	size_t pos = 0;
	while (pos < len) {
		ssize_t n = recv(fd, (char *)buf + pos, len - pos, 0);
		if (n <= 0)
			return false;
		pos += (size_t)n;
	}
	return true;
}

struct reply {
	uint8_t hdr[8] = {0};
	std::string body;
};

// One whole reply, or false when the connection ended or the deadline passed.
inline bool
read_reply(int fd, reply *r)
{
	if (!recv_exact(fd, r->hdr, 8))
		return false;
	uint64_t sz = size_of(r->hdr);
	if (sz > (64u << 20))
		return false;
	r->body.assign(sz, '\0');
	return sz == 0 || recv_exact(fd, &r->body[0], sz);
}

// True once the server has closed the connection (end of stream or reset),
// whatever it still sent before.
inline bool
wait_closed(int fd)
{
	char buf[4096];
	uint64_t end = ox_getms() + kDeadlineMs;
	while (ox_getms() < end) {
		ssize_t n = recv(fd, buf, sizeof(buf), 0);
		if (n == 0 || (n < 0 && errno == ECONNRESET))
			return true;
		if (n < 0 && errno != EAGAIN && errno != EINTR)
			return false;
	}
	return false;
}

// Asks one request on a new connection; the reply body, or "<none>".
inline std::string
ask(int port, const std::string &body)
{
	int fd = connect_to(port);
	if (fd < 0)
		return "<none>";
	reply r;
	bool ok = send_all(fd, request(body)) && read_reply(fd, &r);
	close(fd);
	return ok ? r.body : "<none>";
}

inline ferry_info_server_stats
stats()
{
	ferry_info_server_stats s;
	ferry_info_server_stats_get(&s);
	return s;
}

// Resident memory of this process, in KiB.
inline long
rss_kib()
{
	long pages = 0, resident = 0;
	FILE *f = fopen("/proc/self/statm", "r");
	if (!f)
		return -1;
	if (fscanf(f, "%ld %ld", &pages, &resident) != 2)
		resident = -1;
	fclose(f);
	return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// ---- Test-only items ------------------------------------------------------

// "blob:sz=N": N bytes of 'x', for replies larger than the sockets hold.
inline int
blob_fn(char *, char *params, ox_dyn_buf *db)
{
	char v[32];
	int len = sizeof(v);
	if (ferry_info_parameter_get(params, "sz", v, &len) != 0)
		return 0;
	uint64_t n = strtoull(v, nullptr, 10);
	ox_dyn_buf_reserve(db, (size_t)n);
	std::string chunk(65536, 'x');
	while (n > 0) {
		size_t k = n < chunk.size() ? (size_t)n : chunk.size();
		ox_dyn_buf_append_buf(db, chunk.data(), k);
		n -= k;
	}
	return 0;
}

// "gate:id=N": holds the worker until the test opens the gate, so requests
// pile up in the queue behind it; "seq:id=N" records the order served.
struct gate_state {
	std::mutex m;
	std::condition_variable cv;
	bool open = true;
	bool held = false;
	std::vector<int> served;
};

inline gate_state &
gate()
{
	static gate_state g;
	return g;
}

inline int
gate_fn(char *, char *, ox_dyn_buf *db)
{
	gate_state &g = gate();
	std::unique_lock<std::mutex> lk(g.m);
	g.held = true;
	g.cv.notify_all();
	g.cv.wait_for(lk, std::chrono::milliseconds(kDeadlineMs), [&] { return g.open; });
	g.held = false;
	ox_dyn_buf_append_string(db, "opened");
	return 0;
}

inline void
gate_close()
{
	std::lock_guard<std::mutex> lk(gate().m);
	gate().open = false;
}

inline bool
gate_wait_held()
{
	gate_state &g = gate();
	std::unique_lock<std::mutex> lk(g.m);
	return g.cv.wait_for(lk, std::chrono::milliseconds(kDeadlineMs), [&] { return g.held; });
}

inline void
gate_open()
{
	{
		std::lock_guard<std::mutex> lk(gate().m);
		gate().open = true;
	}
	gate().cv.notify_all();
}

inline int
seq_fn(char *, char *params, ox_dyn_buf *db)
{
	char v[32];
	int len = sizeof(v);
	if (ferry_info_parameter_get(params, "id", v, &len) == 0) {
		std::lock_guard<std::mutex> lk(gate().m);
		gate().served.push_back(atoi(v));
	}
	ox_dyn_buf_append_string(db, "ok");
	return 0;
}

inline std::vector<int>
served()
{
	std::lock_guard<std::mutex> lk(gate().m);
	return gate().served;
}

// The divisor the transport tests run with: the 30-second limit of an
// incomplete request becomes 6 s, a reply's 5 s becomes 1 s.
constexpr uint32_t kDivisor = 5;

inline std::string &
log_path()
{
	static std::string p;
	return p;
}

inline bool
log_has(const std::string &text)
{
	return ferry_test_wait_until([&] {
		FILE *f = fopen(log_path().c_str(), "r");
		if (!f)
			return false;
		std::string all;
		char buf[65536];
		size_t n;
		while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
			all.append(buf, n);
		fclose(f);
		return all.find(text) != std::string::npos;
	}, kDeadlineMs);
}

// Starts the server once per program; its port. The server's log lines go
// to a file of the test directory, removed when the program ends.
inline int
start_server(uint32_t divisor = kDivisor)
{
	static int port = [divisor] {
		// Room for thousands of test connections on both ends.
		struct rlimit rl;
		if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
			rlim_t want = rl.rlim_max == RLIM_INFINITY || rl.rlim_max > 16384 ? 16384 : rl.rlim_max;
			if (rl.rlim_cur < want) {
				rl.rlim_cur = want;
				setrlimit(RLIMIT_NOFILE, &rl);
			}
		}
		g_ferry_time_divisor.store(divisor);
		log_path() = ferry_test_path("info_server_log");
		ox_fault_sink *sink = ox_fault_sink_hold(log_path().c_str());
		ox_fault_sink_addcontext(sink, "relay", "info");
		ox_fault_sink_addcontext(sink, "info", "info");
		ox_fault_sink_activate_all_held();
		atexit([] { unlink(log_path().c_str()); });
		static counters cntr;
		memset((void *)&cntr, 0, sizeof(cntr));
		ferry_info_listen_at("127.0.0.1", 0);
		ferry_info_init(&cntr);
		ferry_info_cmd_set("blob", blob_fn);
		ferry_info_cmd_set("gate", gate_fn);
		ferry_info_cmd_set("seq", seq_fn);
		ferry_test_wait_until([] { return ferry_info_bound_port() != 0; }, kDeadlineMs);
		return ferry_info_bound_port();
	}();
	return port;
}

} // namespace info_test
