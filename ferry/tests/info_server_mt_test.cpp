// The info port's transport against its real listening socket on 127.0.0.1:
// replies to every kind of request (info, the fixed database-message reply,
// dropped versions and types), several requests on one connection in one
// write or followed by a half-close, requests in pieces, service in queue
// order, and each bound: the connection cap, the limit of an incomplete
// request, oversize and budget refusals, the per-connection queue, and the
// pending buffer freed whatever its header claims.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <thread>

#include "../src/ferry_info_server.h"
#include "info_client_fixture.h"
#include "tamberlin/tamberlin.h"

using namespace info_test;

namespace {

class InfoServer : public ::testing::Test {
protected:
	int port = 0;
	void SetUp() override
	{
		port = start_server();
		ASSERT_GT(port, 0);
		// Every earlier case's connections are gone and their bytes given back.
		ASSERT_TRUE(ferry_test_wait_until([] { return stats().conns == 0 && stats().pending_bytes == 0; },
				kDeadlineMs));
	}
};

std::string
fixed_reply(uint8_t result)
{
	std::string r(1024, '\0');
	const uint8_t head[14] = {2, 3, 0, 0, 0, 0, 0x03, 0xF8, 22, 0, 0, 0, 0, result};
	memcpy(&r[0], head, sizeof(head));
	return r;
}

TEST_F(InfoServer, RepliesByKindOfRequest)
{
	const std::string build = std::string("build\t") + tamberlin_build_string + "\n";
	struct Case {
		const char *what;
		std::string req;
		bool dropped;     // no reply: the next request's reply comes first
		std::string want; // the whole reply (header and body) when not empty
		std::string body; // else the body
	};
	const Case cases[] = {
		{"one name", request("build\n"), false, "", build},
		{"several items in order", request("build\nnosuch\nbuild\n"), false, "", build + build},
		{"unknown name", request("nosuch\n"), false, "", ""},
		{"no final newline", request("build"), false, "", ""},
		{"type 0", request("x", 2, 0), false, fixed_reply(0), ""},
		{"type 2", request("", 2, 2), false, fixed_reply(0), ""},
		{"type 3", request("abc", 2, 3), false, fixed_reply(0), ""},
		{"version 1", request("build\n", 1, 1), true, "", ""},
		{"type 4", request("build\n", 2, 4), true, "", ""},
	};
	for (const Case &c : cases) {
		int fd = connect_to(port);
		ASSERT_GE(fd, 0);
		// A follow-up on the same connection shows it stayed open.
		ASSERT_TRUE(send_all(fd, c.req + request("build\n"))) << c.what;
		reply r;
		if (!c.dropped) {
			ASSERT_TRUE(read_reply(fd, &r)) << c.what;
			std::string whole = std::string((char *)r.hdr, 8) + r.body;
			if (!c.want.empty()) {
				EXPECT_EQ(whole, c.want) << c.what;
			} else {
				EXPECT_EQ(r.hdr[0], 2) << c.what;
				EXPECT_EQ(r.hdr[1], 1) << c.what;
				EXPECT_EQ(r.body, c.body) << c.what;
			}
		}
		ASSERT_TRUE(read_reply(fd, &r)) << c.what;
		EXPECT_EQ(r.body, build) << c.what;
		close(fd);
	}
	EXPECT_TRUE(log_has("can't process message: wrong version 1 expecting 2 or invalid type 1 should be 4 or less"));
	EXPECT_TRUE(log_has("can't process message: wrong version 2 expecting 2 or invalid type 4 should be 4 or less"));
}

TEST_F(InfoServer, EmptyBodyListsEveryName)
{
	// Names are listed newest registration first.
	std::string all = ask(port, "");
	size_t d = all.find("dcs\t"), s = all.find("\nstatistics\t"), b = all.find("\nbuild\t");
	EXPECT_EQ(d, 0u) << all.substr(0, 200);
	EXPECT_NE(s, std::string::npos);
	EXPECT_NE(b, std::string::npos);
	EXPECT_LT(s, b);
	EXPECT_EQ(all.back(), '\n');
}

TEST_F(InfoServer, SizeFieldHoldsTheWholeBodyLength)
{
	for (uint64_t n : {0ull, 1000ull, 70000ull, 3000000ull}) {
		std::string body = ask(port, "blob:sz=" + std::to_string(n) + "\n");
		std::string head = "blob:sz=" + std::to_string(n) + "\t";
		ASSERT_EQ(body.size(), head.size() + n + 1) << n;
		EXPECT_EQ(body.compare(0, head.size(), head), 0) << n;
	}
}

TEST_F(InfoServer, FramingOnOneConnection)
{
	const std::string build = std::string("build\t") + tamberlin_build_string + "\n";
	// Two requests in one write, then a half-close: both are answered, then
	// the server closes.
	int fd = connect_to(port);
	ASSERT_GE(fd, 0);
	ASSERT_TRUE(send_all(fd, request("build\n") + request("seq:id=1\n")));
	ASSERT_EQ(shutdown(fd, SHUT_WR), 0);
	reply r;
	ASSERT_TRUE(read_reply(fd, &r));
	EXPECT_EQ(r.body, build);
	ASSERT_TRUE(read_reply(fd, &r));
	EXPECT_EQ(r.body, "seq:id=1\tok\n");
	EXPECT_TRUE(wait_closed(fd));
	close(fd);

	// A request in pieces: each piece is taken by the server (waited for)
	// before the next is written; the reply comes after the last.
	fd = connect_to(port);
	ASSERT_GE(fd, 0);
	std::string req = request("build\ndcs\n");
	const size_t cuts[] = {1, 3, 8, 9, 14, req.size()};
	size_t at = 0;
	for (size_t cut : cuts) {
		uint64_t before = stats().rx_bytes;
		ASSERT_TRUE(send_all(fd, req.substr(at, cut - at)));
		ASSERT_TRUE(ferry_test_wait_until([&] { return stats().rx_bytes >= before + (cut - at); }, kDeadlineMs))
				<< cut;
		at = cut;
	}
	ASSERT_TRUE(read_reply(fd, &r));
	EXPECT_EQ(r.body.compare(0, build.size(), build), 0);
	EXPECT_NE(r.body.find("\ndcs\t"), std::string::npos);
	close(fd);
}

TEST_F(InfoServer, ServedOneAtATimeInQueueOrder)
{
	gate_close();
	int holder = connect_to(port);
	ASSERT_TRUE(send_all(holder, request("gate:id=0\n")));
	ASSERT_TRUE(gate_wait_held());
	uint64_t queued = stats().requests;

	// Connections queue their requests while the worker is held; the order
	// of the queue is the order the server took them in.
	const int kClients = 6;
	std::vector<int> fds;
	for (int i = 0; i < kClients; i++) {
		int fd = connect_to(port);
		ASSERT_GE(fd, 0);
		ASSERT_TRUE(send_all(fd, request("seq:id=" + std::to_string(i) + "\n")));
		ASSERT_TRUE(ferry_test_wait_until([&] { return stats().requests >= queued + i + 1; }, kDeadlineMs));
		fds.push_back(fd);
	}
	std::vector<int> before = served();
	gate_open();
	reply r;
	ASSERT_TRUE(read_reply(holder, &r));
	EXPECT_EQ(r.body, "gate:id=0\topened\n");
	for (int i = 0; i < kClients; i++) {
		ASSERT_TRUE(read_reply(fds[i], &r));
		EXPECT_EQ(r.body, "seq:id=" + std::to_string(i) + "\tok\n");
		close(fds[i]);
	}
	std::vector<int> after = served();
	std::vector<int> order(after.begin() + (long)before.size(), after.end());
	EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5}));
	close(holder);
}

// At the cap a newcomer takes the place of the connection longest without
// traffic that has nothing queued, answered or waiting, so peers holding or
// reopening connections cannot keep an administrator out; only when every
// connection has a request in hand is the newcomer closed instead.
TEST_F(InfoServer, ConnectionCapMakesRoomForANewcomer)
{
	const uint32_t kCap = 8;
	ferry_info_set_conn_max(kCap);
	std::vector<int> held;
	auto served = [](int fd, const std::string &body) {
		reply r;
		return send_all(fd, request(body)) && read_reply(fd, &r) ? r.body : std::string("<none>");
	};
	// Each held connection has had a request answered, so none is closed
	// for an incomplete one while the cap is tried.
	for (uint32_t i = 0; i < kCap; i++) {
		held.push_back(connect_to(port));
		ASSERT_GE(held.back(), 0);
		ASSERT_EQ(served(held.back(), "seq:id=50\n"), "seq:id=50\tok\n");
	}
	ASSERT_TRUE(ferry_test_wait_until([&] { return stats().conns == kCap; }, kDeadlineMs));
	// The first speaks again: the second is now the longest without traffic.
	ASSERT_EQ(served(held[0], "seq:id=51\n"), "seq:id=51\tok\n");
	uint64_t made_room = stats().closed_for_new;
	uint64_t refused = stats().refused_cap;
	int extra = connect_to(port);
	ASSERT_GE(extra, 0);
	EXPECT_EQ(served(extra, "seq:id=7\n"), "seq:id=7\tok\n");
	EXPECT_TRUE(wait_closed(held[1]));
	EXPECT_EQ(stats().closed_for_new, made_room + 1);
	EXPECT_EQ(stats().refused_cap, refused);
	EXPECT_TRUE(log_has("closing the one longest without traffic"));
	EXPECT_EQ(served(held[0], "seq:id=52\n"), "seq:id=52\tok\n");
	close(held[1]);
	held[1] = extra;
	ASSERT_EQ(stats().conns, kCap);

	// Every connection with a request in hand: one held by the worker, the
	// others queued behind it. The newcomer is the one closed.
	gate_close();
	ASSERT_TRUE(send_all(held[0], request("gate:id=1\n")));
	ASSERT_TRUE(gate_wait_held());
	uint64_t queued = stats().requests;
	for (size_t i = 1; i < held.size(); i++)
		ASSERT_TRUE(send_all(held[i], request("seq:id=" + std::to_string(60 + i) + "\n")));
	ASSERT_TRUE(ferry_test_wait_until([&] { return stats().requests == queued + held.size() - 1; }, kDeadlineMs));
	int late = connect_to(port);
	ASSERT_GE(late, 0);
	EXPECT_TRUE(wait_closed(late));
	EXPECT_EQ(stats().refused_cap, refused + 1);
	EXPECT_EQ(stats().closed_for_new, made_room + 1);
	EXPECT_TRUE(log_has("connections open, closing new ones"));
	close(late);
	gate_open();
	reply r;
	EXPECT_TRUE(read_reply(held[0], &r));
	EXPECT_EQ(r.body, "gate:id=1\topened\n");
	for (size_t i = 1; i < held.size(); i++) {
		ASSERT_TRUE(read_reply(held[i], &r));
		EXPECT_EQ(r.body, "seq:id=" + std::to_string(60 + i) + "\tok\n");
	}
	for (int fd : held)
		close(fd);
	ferry_info_set_conn_max(0);
}

TEST_F(InfoServer, IncompleteRequestIsClosedAfterItsLimit)
{
	struct Case {
		const char *what;
		std::string sent;
	};
	const Case cases[] = {
		{"nothing since the connect", ""},
		{"part of a header", request("build\n").substr(0, 3)},
		{"part of a body", request("build\n").substr(0, 10)},
		{"after an answered request", request("build\n") + request("build\n").substr(0, 5)},
		{"idle after an answered request", request("build\n")},
	};
	// All at once: the limit runs for each of them side by side.
	uint64_t closed = stats().closed_incomplete;
	std::vector<int> fds;
	for (const Case &c : cases) {
		fds.push_back(connect_to(port));
		ASSERT_GE(fds.back(), 0);
		ASSERT_TRUE(send_all(fds.back(), c.sent));
	}
	for (size_t i = 0; i < fds.size(); i++) {
		EXPECT_TRUE(wait_closed(fds[i])) << cases[i].what;
		close(fds[i]);
	}
	EXPECT_EQ(stats().closed_incomplete, closed + fds.size());
	EXPECT_TRUE(log_has("request incomplete for 6000 ms"));
}

TEST_F(InfoServer, OversizeAndBudgetRefusalsCloseTheOffender)
{
	// One byte over the largest body: refused at its header.
	int fd = connect_to(port);
	ASSERT_TRUE(send_all(fd, request("", 2, 1, (int64_t)PROTO_SIZE_MAX + 1)));
	EXPECT_TRUE(wait_closed(fd));
	close(fd);
	EXPECT_TRUE(log_has("proto input msg greater than 134217728, likely request from some Quillmere client , "
						"rejecting: sz 134217729"));
	// The transport logs under the shipper's own context.
	EXPECT_TRUE(log_has("WARNING (relay): (ferry_info_server.cpp:"));

	// The largest body itself is taken: its buffer grows only with what came.
	fd = connect_to(port);
	uint64_t rx = stats().rx_bytes;
	ASSERT_TRUE(send_all(fd, request(std::string(100000, '\n'), 2, 1, PROTO_SIZE_MAX)));
	ASSERT_TRUE(ferry_test_wait_until([&] { return stats().rx_bytes >= rx + 100008; }, kDeadlineMs));
	EXPECT_GE(stats().pending_bytes, 100008u);
	EXPECT_LE(stats().pending_bytes, 2u * 100008 + 4096);
	close(fd);
	ASSERT_TRUE(ferry_test_wait_until([] { return stats().pending_bytes == 0; }, kDeadlineMs));

	// Bodies that together pass the budget: the one that passes it is closed.
	ferry_info_set_pending_max(1 << 20);
	uint64_t closed = stats().closed_oversize;
	std::vector<int> fds;
	for (int i = 0; i < 4; i++) {
		fds.push_back(connect_to(port));
		ASSERT_TRUE(send_all(fds.back(), request(std::string(400000, '\n'), 2, 1, 1000000)));
	}
	EXPECT_TRUE(ferry_test_wait_until([&] { return stats().closed_oversize > closed; }, kDeadlineMs));
	EXPECT_LE(stats().pending_peak, 1u << 20);
	EXPECT_TRUE(log_has("bytes already pending"));
	for (int f : fds)
		close(f);

	// One body that would take the whole budget: growth never takes the
	// part kept for first buffers, so a small request is still answered.
	ferry_info_set_pending_max(64 << 10);
	ASSERT_TRUE(ferry_test_wait_until([] { return stats().pending_bytes == 0; }, kDeadlineMs));
	closed = stats().closed_oversize;
	rx = stats().rx_bytes;
	const int64_t claim = (64 << 10) - 8;
	int hog = connect_to(port);
	send_all(hog, request(std::string((size_t)claim - 1, '\n'), 2, 1, claim)); // one byte short
	ASSERT_TRUE(ferry_test_wait_until(
			[&] { return stats().closed_oversize > closed || stats().rx_bytes >= rx + (uint64_t)claim + 7; },
			kDeadlineMs));
	EXPECT_EQ(ask(port, "seq:id=4\n"), "seq:id=4\tok\n");
	close(hog);
	ferry_info_set_pending_max(0);
}

TEST_F(InfoServer, PendingBufferIsFreedWhateverItsHeaderClaims)
{
	for (uint8_t version : {2, 1, 9}) {
		for (uint8_t type : {1, 3, 7}) {
			int fd = connect_to(port);
			uint64_t rx = stats().rx_bytes;
			ASSERT_TRUE(send_all(fd, request(std::string(50, 'a'), version, type, 100)));
			ASSERT_TRUE(ferry_test_wait_until([&] { return stats().rx_bytes >= rx + 58; }, kDeadlineMs));
			EXPECT_GT(stats().pending_bytes, 0u);
			close(fd);
			EXPECT_TRUE(ferry_test_wait_until([] { return stats().pending_bytes == 0 && stats().conns == 0; },
					kDeadlineMs))
					<< (int)version << " " << (int)type;
		}
	}
}

TEST_F(InfoServer, QueueFullPerConnectionClosesAfterTheQueuedReplies)
{
	gate_close();
	int holder = connect_to(port);
	ASSERT_TRUE(send_all(holder, request("gate:id=0\n")));
	ASSERT_TRUE(gate_wait_held());
	uint64_t full = stats().closed_queue_full;

	int fd = connect_to(port);
	std::string burst;
	for (int i = 0; i < FERRY_INFO_CONN_QUEUE_MAX + 1; i++)
		burst += request("seq:id=" + std::to_string(100 + i) + "\n");
	ASSERT_TRUE(send_all(fd, burst));
	ASSERT_TRUE(ferry_test_wait_until([&] { return stats().closed_queue_full == full + 1; }, kDeadlineMs));
	EXPECT_TRUE(log_has("Info Queue Full ... won't service request"));
	gate_open();
	reply r;
	ASSERT_TRUE(read_reply(holder, &r));
	// What was queued is answered, then the connection ends.
	for (int i = 0; i < FERRY_INFO_CONN_QUEUE_MAX; i++) {
		ASSERT_TRUE(read_reply(fd, &r)) << i;
		EXPECT_EQ(r.body, "seq:id=" + std::to_string(100 + i) + "\tok\n");
	}
	EXPECT_TRUE(wait_closed(fd));
	close(fd);
	close(holder);
}

// Clients that do not read their large replies: each reply waits for its
// client beside the others, so a client queued behind them is answered at
// once, not after each of them has used up its time limit.
TEST_F(InfoServer, RepliesNotReadWaitWhileTheNextClientIsServed)
{
	gate_close();
	int holder = connect_to(port);
	ASSERT_TRUE(send_all(holder, request("gate:id=0\n")));
	ASSERT_TRUE(gate_wait_held());
	uint64_t q = stats().requests;
	uint64_t waited = stats().replies_waited, given_up = stats().replies_given_up;
	std::vector<int> silent;
	for (int i = 0; i < 3; i++) {
		// More than the server's largest send buffer (4 MiB here) beyond
		// what a 4 KiB receive buffer holds.
		silent.push_back(connect_to(port, 4096));
		ASSERT_TRUE(send_all(silent.back(), request("blob:sz=6000000\n")));
	}
	int good = connect_to(port);
	ASSERT_TRUE(send_all(good, request("seq:id=6\n")));
	ASSERT_TRUE(ferry_test_wait_until([&] { return stats().requests == q + 4; }, kDeadlineMs));
	gate_open();
	reply r;
	ASSERT_TRUE(read_reply(holder, &r));
	ASSERT_TRUE(read_reply(good, &r));
	EXPECT_EQ(r.body, "seq:id=6\tok\n");
	EXPECT_EQ(stats().replies_waited, waited + 3);
	// Each is given up at its limit, and nothing waits any more.
	EXPECT_TRUE(ferry_test_wait_until(
			[&] { return stats().replies_given_up == given_up + 3 && stats().replies_waiting == 0; },
			kDeadlineMs));
	for (int fd : silent)
		close(fd);
	close(good);
	close(holder);
}

// A reply that had to wait and was then read to its end leaves the worker
// waiting for the next request as before, with no warning about the queue.
TEST_F(InfoServer, AWaitingReplyReadToItsEndLeavesNoWarning)
{
	uint64_t waited = stats().replies_waited;
	int slow = connect_to(port, 4096);
	ASSERT_TRUE(send_all(slow, request("blob:sz=6000000\n")));
	ASSERT_TRUE(ferry_test_wait_until([&] { return stats().replies_waited == waited + 1; }, kDeadlineMs));
	reply r;
	ASSERT_TRUE(read_reply(slow, &r));
	EXPECT_EQ(r.body.size(), std::string("blob:sz=6000000\t\n").size() + 6000000);
	ASSERT_TRUE(ferry_test_wait_until([&] { return stats().replies_waiting == 0; }, kDeadlineMs));
	// Answered after the worker's look that found nothing waiting any more.
	EXPECT_EQ(ask(port, "seq:id=9\n"), "seq:id=9\tok\n");
	EXPECT_EQ(ferry_test_read_file(log_path()).find("unable to pop from transaction queue"), std::string::npos);
	close(slow);
}

TEST_F(InfoServer, ClientGoneBeforeItsReplyIsGivenUp)
{
	// Closes with its request queued behind a held worker: the reply finds
	// the peer gone and the connection is freed by the last release.
	gate_close();
	int holder = connect_to(port);
	ASSERT_TRUE(send_all(holder, request("gate:id=0\n")));
	ASSERT_TRUE(gate_wait_held());
	uint64_t q = stats().requests;
	int fd = connect_to(port);
	ASSERT_TRUE(send_all(fd, request("blob:sz=4000000\n")));
	ASSERT_TRUE(ferry_test_wait_until([&] { return stats().requests == q + 1; }, kDeadlineMs));
	struct linger lg = {1, 0};
	setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
	close(fd);
	ASSERT_TRUE(ferry_test_wait_until([] { return stats().conns == 1; }, kDeadlineMs));
	uint64_t given_up = stats().replies_given_up;
	gate_open();
	reply r;
	ASSERT_TRUE(read_reply(holder, &r));
	EXPECT_TRUE(ferry_test_wait_until([&] { return stats().replies_given_up == given_up + 1; }, kDeadlineMs));
	close(holder);
	EXPECT_EQ(ask(port, "seq:id=9\n"), "seq:id=9\tok\n");
}

} // namespace

namespace {

TEST_F(InfoServer, QueueFullInTotalClosesTheConnectionThatFoundItFull)
{
	gate_close();
	int holder = connect_to(port);
	ASSERT_TRUE(send_all(holder, request("gate:id=0\n")));
	ASSERT_TRUE(gate_wait_held());
	uint64_t full = stats().closed_queue_full;

	// Each connection stays within its own share; together they pass the
	// total, and the one whose request found the queue full is closed.
	const int kConns = FERRY_INFO_QUEUE_MAX / FERRY_INFO_CONN_QUEUE_MAX + 1;
	std::string burst;
	for (int i = 0; i < FERRY_INFO_CONN_QUEUE_MAX; i++)
		burst += request("seq:id=200\n");
	std::vector<int> fds;
	for (int c = 0; c < kConns; c++) {
		fds.push_back(connect_to(port));
		ASSERT_GE(fds.back(), 0);
		ASSERT_TRUE(send_all(fds.back(), burst));
	}
	ASSERT_TRUE(ferry_test_wait_until([&] { return stats().closed_queue_full > full; }, kDeadlineMs));
	gate_open();
	reply r;
	ASSERT_TRUE(read_reply(holder, &r));
	// Every connection gets the replies of what was queued; the others stay.
	int ended = 0;
	for (int fd : fds) {
		int n = 0;
		while (n < FERRY_INFO_CONN_QUEUE_MAX && read_reply(fd, &r))
			n++;
		if (n < FERRY_INFO_CONN_QUEUE_MAX) {
			ended++;
		}
		close(fd);
	}
	EXPECT_GE(ended, 1);
	close(holder);
	EXPECT_EQ(ask(port, "seq:id=9\n"), "seq:id=9\tok\n");
}

TEST_F(InfoServer, AcceptBacksOffWhileDescriptorsRunOut)
{
	struct rlimit saved;
	ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
	uint64_t backoffs = stats().accept_backoffs;
	// The clients' ends are made first; then the limit is put at the lowest
	// free descriptor, so the server's accept finds none left whatever this
	// process has open, and wherever its holes are.
	std::vector<int> fds;
	for (int i = 0; i < 3; i++) {
		fds.push_back(client_socket());
		ASSERT_GE(fds.back(), 0);
	}
	int lowest_free = open("/dev/null", O_RDONLY | O_CLOEXEC);
	ASSERT_GE(lowest_free, 0);
	close(lowest_free);
	struct rlimit tight = saved;
	tight.rlim_cur = (rlim_t)lowest_free;
	ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
	for (int &fd : fds) {
		fd = client_connect(fd, port);
		if (fd < 0)
			break;
	}
	bool backed_off = ferry_test_wait_until([&] { return stats().accept_backoffs > backoffs; }, kDeadlineMs);
	ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
	EXPECT_TRUE(backed_off);
	EXPECT_TRUE(log_has("pausing new connections"));
	// Descriptors back: the waiting clients are accepted and answered.
	for (int fd : fds) {
		ASSERT_GE(fd, 0);
		reply r;
		ASSERT_TRUE(send_all(fd, request("seq:id=3\n")));
		ASSERT_TRUE(read_reply(fd, &r));
		EXPECT_EQ(r.body, "seq:id=3\tok\n");
		close(fd);
	}
}

} // namespace
