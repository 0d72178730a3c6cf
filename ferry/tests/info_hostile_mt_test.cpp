// Hostile clients of the info port, one table: thousands of idle
// connections, huge claimed sizes with short bodies, clients that never read
// a large reply, requests dribbled in pieces. In each case the server stays
// up, its memory and descriptors stay bounded, and a well-behaved client is
// answered within a few seconds (generous bounds, not timings). The measured
// figures are printed.
#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <functional>
#include <thread>

#include "../src/ferry_info_server.h"
#include "info_client_fixture.h"
#include "tamberlin/tamberlin.h"

using namespace info_test;

namespace {

// 30 s for an incomplete request becomes 2 s, 5 s for a reply 333 ms.
constexpr uint32_t kHostileDivisor = 15;

int
soft_fd_limit()
{
	struct rlimit rl;
	getrlimit(RLIMIT_NOFILE, &rl);
	return rl.rlim_cur == RLIM_INFINITY ? 1 << 20 : (int)rl.rlim_cur;
}

int
nb_connect(int port)
{
	int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return -1;
	struct sockaddr_in sa {};
	sa.sin_family = AF_INET;
	sa.sin_port = htons((uint16_t)port);
	sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	if (connect(fd, (struct sockaddr *)&sa, sizeof(sa)) != 0 && errno != EINPROGRESS) {
		close(fd);
		return -1;
	}
	return fd;
}

// The well-behaved client: asks until answered (a connection closed at the
// cap is tried again); the milliseconds it took, or -1.
long
good_client_ms(int port)
{
	const std::string want = std::string("build\t") + tamberlin_build_string + "\n";
	uint64_t start = ox_getms();
	bool ok = ferry_test_wait_until([&] { return ask(port, "build\n") == want; }, kDeadlineMs);
	return ok ? (long)(ox_getms() - start) : -1;
}

struct load {
	std::vector<int> fds;
	std::thread feeder;
	std::atomic<bool> stop{false};
	int port = 0;
};

// Holds n connections open and opens a new one for each the server closes,
// until told to stop (or a bounded number of reopenings).
void
reopen_closed(int port, int n, load *l)
{
	std::vector<struct pollfd> fds;
	for (int i = 0; i < n; i++)
		fds.push_back({nb_connect(port), POLLIN | POLLRDHUP, 0});
	for (int round = 0; !l->stop.load() && round < 1000000; round++) {
		if (poll(fds.data(), fds.size(), 50) <= 0)
			continue;
		for (struct pollfd &p : fds) {
			char b[64];
			if (p.revents == 0 || recv(p.fd, b, sizeof(b), MSG_DONTWAIT) > 0 || errno == EAGAIN)
				continue;
			close(p.fd);
			p.fd = nb_connect(port);
		}
	}
	for (struct pollfd &p : fds)
		close(p.fd);
}

struct Case {
	const char *name;
	std::function<void(int port, load &)> start;
	std::function<void(load &)> check; // after the good client was answered
};

TEST(InfoHostile, ServerStaysUpBoundedAndAnswers)
{
	int port = start_server(kHostileDivisor);
	ASSERT_GT(port, 0);
	const int limit = soft_fd_limit();
	ferry_info_server_stats st0 = stats();
	(void)st0;

	const Case cases[] = {
		{"3000 idle connections",
			[&](int p, load &l) {
				// Both ends live in this process: leave room for the server's.
				int n = std::min(3000, limit - FERRY_INFO_CONN_MAX - 200);
				ASSERT_GT(n, 100) << "descriptor limit " << limit;
				// In batches the listen backlog holds, each taken by the server
				// before the next: a connection dropped from a full backlog
				// would only come back after the client's SYN retries.
				uint64_t seen = stats().accepted + stats().refused_cap;
				for (int i = 0; i < n; i += 256) {
					int batch = std::min(256, n - i);
					for (int k = 0; k < batch; k++) {
						int fd = nb_connect(p);
						ASSERT_GE(fd, 0) << i + k;
						l.fds.push_back(fd);
					}
					seen += (uint64_t)batch;
					ASSERT_TRUE(ferry_test_wait_until(
							[&] { return stats().accepted + stats().refused_cap >= seen; }, kDeadlineMs))
							<< i;
				}
				EXPECT_LE(stats().conns, (uint64_t)FERRY_INFO_CONN_MAX);
			},
			[](load &) {
				EXPECT_GT(stats().refused_cap + stats().closed_for_new + stats().closed_incomplete, 0u);
			}},
		{"a peer that reopens every connection closed at the cap",
			[](int p, load &l) {
				const int kCap = 64;
				ferry_info_set_conn_max(kCap);
				l.feeder = std::thread(reopen_closed, p, kCap, &l);
				ASSERT_TRUE(ferry_test_wait_until([] { return stats().conns == kCap; }, kDeadlineMs));
			},
			[](load &l) {
				// Each attempt answered at once: no retry while the peer
				// keeps the cap full.
				const std::string want = std::string("build\t") + tamberlin_build_string + "\n";
				for (int i = 0; i < 5; i++)
					EXPECT_EQ(ask(l.port, "build\n"), want) << i;
				EXPECT_GT(stats().closed_for_new, 0u);
				l.stop.store(true);
				l.feeder.join();
				ferry_info_set_conn_max(0);
			}},
		{"64 MiB claimed with a short body",
			[](int p, load &l) {
				uint64_t rx = stats().rx_bytes;
				for (int i = 0; i < 64; i++) {
					int fd = connect_to(p);
					ASSERT_GE(fd, 0);
					ASSERT_TRUE(send_all(fd, request(std::string(1000, 'a'), 2, 1, 64ll << 20)));
					l.fds.push_back(fd);
				}
				ASSERT_TRUE(ferry_test_wait_until([&] { return stats().rx_bytes >= rx + 64 * 1008; }, kDeadlineMs));
				// Buffers hold what came, not what was claimed.
				EXPECT_LE(stats().pending_bytes, 64u * (8 + 4096));
			},
			nullptr},
		{"clients that never read a large reply",
			[](int p, load &l) {
				uint64_t q = stats().requests;
				// More than the server's largest send buffer (4 MiB here)
				// beyond what a 4 KiB receive buffer holds.
				for (int i = 0; i < 3; i++) {
					int fd = connect_to(p, 4096);
					ASSERT_GE(fd, 0);
					ASSERT_TRUE(send_all(fd, request("blob:sz=6000000\n")));
					l.fds.push_back(fd);
				}
				ASSERT_TRUE(ferry_test_wait_until([&] { return stats().requests >= q + 3; }, kDeadlineMs));
			},
			[](load &) {
				EXPECT_TRUE(ferry_test_wait_until([] { return stats().replies_given_up >= 3; }, kDeadlineMs));
			}},
		{"requests in slow pieces",
			[](int p, load &l) {
				for (int i = 0; i < 32; i++) {
					l.fds.push_back(connect_to(p));
					ASSERT_GE(l.fds.back(), 0);
				}
				// One byte to each in turn, each taken by the server before
				// the next is written: a bounded number of rounds.
				l.feeder = std::thread([fds = l.fds] {
					std::string req = request("build\n");
					for (size_t b = 0; b < req.size(); b++) {
						for (int fd : fds) {
							uint64_t rx = stats().rx_bytes;
							if (!send_all(fd, req.substr(b, 1)))
								return;
							ferry_test_wait_until([&] { return stats().rx_bytes > rx; }, kDeadlineMs);
						}
					}
				});
			},
			[](load &l) {
				l.feeder.join();
				// Every dribbled request was answered too.
				for (int fd : l.fds) {
					reply r;
					EXPECT_TRUE(read_reply(fd, &r));
					EXPECT_EQ(r.body, std::string("build\t") + tamberlin_build_string + "\n");
				}
			}},
	};

	for (const Case &c : cases) {
		SCOPED_TRACE(c.name);
		ASSERT_TRUE(ferry_test_wait_until([] { return stats().conns == 0 && stats().pending_bytes == 0; },
				kDeadlineMs));
		int fds0 = testkit_open_fds();
		long rss0 = rss_kib();
		uint64_t peak0 = stats().pending_peak;
		load l;
		l.port = port;
		c.start(port, l);
		uint64_t conns_loaded = stats().conns;
		int server_fds_loaded = testkit_open_fds() - fds0 - (int)l.fds.size();
		long answer_ms = good_client_ms(port);
		int server_fds = testkit_open_fds() - fds0 - (int)l.fds.size();
		long rss_growth = rss_kib() - rss0;
		if (c.check)
			c.check(l);
		printf("hostile case \"%s\": well-behaved client answered in %ld ms; server connections %lu "
			   "under load, %lu when answered; server descriptors %d under load, %d when answered; "
			   "resident memory %+ld KiB; request bytes held at most %lu "
			   "(refused at the cap %lu, closed for a new one %lu, closed incomplete %lu, replies given up %lu)\n",
				c.name, answer_ms, (unsigned long)conns_loaded, (unsigned long)stats().conns, server_fds_loaded,
				server_fds, rss_growth,
				(unsigned long)std::max(stats().pending_peak, peak0), (unsigned long)stats().refused_cap,
				(unsigned long)stats().closed_for_new, (unsigned long)stats().closed_incomplete, (unsigned long)stats().replies_given_up);
		EXPECT_GE(answer_ms, 0);
		EXPECT_LT(answer_ms, 15000);
		EXPECT_LE(server_fds, FERRY_INFO_CONN_MAX + 64);
		EXPECT_LE(server_fds_loaded, FERRY_INFO_CONN_MAX + 64);
		EXPECT_LE(conns_loaded, (uint64_t)FERRY_INFO_CONN_MAX);
		EXPECT_LT(rss_growth, 256 * 1024);
		if (l.feeder.joinable())
			l.feeder.join();
		for (int fd : l.fds)
			close(fd);
	}
	// Still up after all of it.
	EXPECT_NE(ask(port, "statistics\n").find("statistics\t"), std::string::npos);
	ASSERT_TRUE(ferry_test_wait_until([] { return stats().conns == 0; }, kDeadlineMs));
}

} // namespace
