// Reading the named pipe: an interrupted open, whole 280-byte messages from
// short, split and interrupted reads, partial messages thrown away at end of
// file, the stand-in's split, short and malformed writes through the read
// loop, and the loop that reopens after ten reads in a row bring nothing.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

#include "testkit/fake_local_server.h"
#include "ferry_fixture.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ferry.h"

namespace {

counters g_test_counters;

void
on_usr1(int)
{
}

class Pipe : public ::testing::Test {
protected:
	void SetUp() override
	{
		g_ferry_time_divisor.store(20);
		ferry_test_reset_intake(&g_test_counters);
		path = ferry_test_path("fifo");
		ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
	}
	void TearDown() override
	{
		unlink(path.c_str());
		g_ferry_time_divisor.store(1);
		ferry_test_reset_config();
	}
	// Opens both ends; the read end blocking, as the shipper has it.
	void open_both(int *rfd, int *wfd)
	{
		*rfd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
		*wfd = open(path.c_str(), O_WRONLY);
		fcntl(*rfd, F_SETFL, 0);
	}
	std::string path;
};

TEST_F(Pipe, MessagesAreAssembledWhole)
{
	int rfd, wfd;
	open_both(&rfd, &wfd);
	ferry_msg sent[3];
	for (int i = 0; i < 3; i++) {
		fls_make_digest(&sent[i], 1, (uint32_t)i + 1, (uint64_t)i, 0, 0);
	}
	// The first message in three pieces, written apart; then two at once.
	std::thread writer([&] {
		const char *p = (const char *)&sent[0];
		ASSERT_EQ(write(wfd, p, 1), 1);
		usleep(20000);
		ASSERT_EQ(write(wfd, p + 1, 150), 150);
		usleep(20000);
		ASSERT_EQ(write(wfd, p + 151, 129), 129);
		ASSERT_EQ(write(wfd, &sent[1], 2 * sizeof(ferry_msg)), (ssize_t)(2 * sizeof(ferry_msg)));
	});
	for (int i = 0; i < 3; i++) {
		ferry_msg got;
		ASSERT_EQ(ferry_namedpipe_readmsg(rfd, &got), (ssize_t)sizeof(ferry_msg));
		EXPECT_EQ(memcmp(&got, &sent[i], sizeof(got)), 0) << i;
	}
	writer.join();
	close(wfd);
	close(rfd);
}

TEST_F(Pipe, InterruptedReadIsResumed)
{
	struct sigaction sa = {};
	sa.sa_handler = on_usr1; // no SA_RESTART: the read fails with EINTR
	struct sigaction old;
	sigaction(SIGUSR1, &sa, &old);
	int rfd, wfd;
	open_both(&rfd, &wfd);
	ferry_msg sent;
	fls_make_digest(&sent, 1, 5, 5, 0, 0);
	std::atomic<bool> reading{false};
	ferry_msg got;
	ssize_t r = 0;
	std::thread reader([&] {
		reading.store(true);
		r = ferry_namedpipe_readmsg(rfd, &got);
	});
	while (!reading.load()) {
		usleep(1000);
	}
	ASSERT_EQ(write(wfd, &sent, 100), 100);
	usleep(20000);
	pthread_kill(reader.native_handle(), SIGUSR1);
	usleep(20000);
	ASSERT_EQ(write(wfd, (char *)&sent + 100, 180), 180);
	reader.join();
	EXPECT_EQ(r, (ssize_t)sizeof(ferry_msg));
	EXPECT_EQ(memcmp(&got, &sent, sizeof(got)), 0);
	sigaction(SIGUSR1, &old, nullptr);
	close(wfd);
	close(rfd);
}

TEST_F(Pipe, InterruptedOpenIsResumed)
{
	struct sigaction sa = {};
	sa.sa_handler = on_usr1; // no SA_RESTART: the blocked open fails with EINTR
	struct sigaction old;
	sigaction(SIGUSR1, &sa, &old);
	g_xcfg.ferry_digestpipe_path = ox_strdup(path.c_str());
	g_isnamedpipe_open.store(false);
	std::atomic<bool> opening{false};
	std::thread reader([&] {
		opening.store(true);
		ferry_namedpipe_open(); // blocks until a writer comes
	});
	while (!opening.load()) {
		usleep(1000);
	}
	usleep(20000);
	pthread_kill(reader.native_handle(), SIGUSR1);
	usleep(20000);
	int wfd = open(path.c_str(), O_WRONLY);
	ASSERT_GE(wfd, 0);
	reader.join();
	EXPECT_TRUE(g_isnamedpipe_open.load());
	int rfd = g_xcfg.ferry_digestpipe_fd;
	ASSERT_GE(rfd, 0);
	ferry_msg sent, got;
	fls_make_digest(&sent, 1, 5, 5, 0, 0);
	ASSERT_EQ(write(wfd, &sent, sizeof(sent)), (ssize_t)sizeof(sent));
	EXPECT_EQ(ferry_namedpipe_readmsg(rfd, &got), (ssize_t)sizeof(ferry_msg));
	sigaction(SIGUSR1, &old, nullptr);
	close(wfd);
	close(rfd);
	g_xcfg.ferry_digestpipe_fd = -1;
	g_isnamedpipe_open.store(false);
}

TEST_F(Pipe, PartialMessageAtEndIsDiscarded)
{
	int rfd, wfd;
	open_both(&rfd, &wfd);
	ferry_msg stale, fresh, got;
	fls_make_digest(&stale, 1, 1, 1, 0, 0);
	fls_make_digest(&fresh, 1, 2, 2, 0, 0);
	ASSERT_EQ(write(wfd, &stale, 100), 100);
	close(wfd);
	EXPECT_EQ(ferry_namedpipe_readmsg(rfd, &got), 0);
	// The next writer's message is read whole, with none of the stale bytes.
	wfd = open(path.c_str(), O_WRONLY);
	ASSERT_EQ(write(wfd, &fresh, sizeof(fresh)), (ssize_t)sizeof(fresh));
	EXPECT_EQ(ferry_namedpipe_readmsg(rfd, &got), (ssize_t)sizeof(ferry_msg));
	EXPECT_EQ(memcmp(&got, &fresh, sizeof(got)), 0);
	close(wfd);
	EXPECT_EQ(ferry_namedpipe_readmsg(rfd, &got), 0);
	close(rfd);
}

// The read loop on the stand-in's pipe; returns when the loop asked for a
// reopen.
class ReadLoop : public Pipe {
protected:
	void SetUp() override
	{
		Pipe::SetUp();
		unlink(path.c_str());
		server = fls_start(path.c_str(), 0);
		ASSERT_NE(server, nullptr);
		g_xcfg.ferry_digestpipe_path = ox_strdup(path.c_str());
		g_ns_count = 1;
		g_ns_xcfg_opt[1].ns_name = ox_strdup("test");
	}
	void TearDown() override
	{
		fls_stop(server);
		ferry_ns_bucket_free(1);
		Pipe::TearDown();
	}
	void start_loop()
	{
		fls_start_feed(server);
		ferry_namedpipe_open();
		loop = std::thread([this] {
			ferry_namedpipe_read_loop(nullptr);
			returned.store(true);
		});
	}
	bool wait_for(const std::function<bool()> &cond, int limit_ms = 10000)
	{
		for (int waited = 0; waited < limit_ms && !cond(); waited += 2) {
			usleep(2000);
		}
		return cond();
	}
	fake_local_server *server = nullptr;
	std::thread loop;
	std::atomic<bool> returned{false};
};

TEST_F(ReadLoop, TenEmptyReadsReopen)
{
	ferry_msg m;
	fls_make_ns(&m, 1, "test");
	fls_pipe_msg(server, &m);
	fls_pipe_close(server);
	start_loop();
	EXPECT_TRUE(g_isnamedpipe_open.load());
	ASSERT_TRUE(wait_for([] { return ferry_ns_known(1); }));
	ASSERT_TRUE(wait_for([this] { return returned.load(); }));
	loop.join();
	EXPECT_EQ(g_xcfg.ferry_digestpipe_fd, -1);
}

TEST_F(ReadLoop, AMessageRestartsTheCount)
{
	// Six empty reads, a message, six more, a message: never ten in a row.
	// Reads a quarter of a second apart leave a second of slack for a test
	// thread that a loaded machine wakes late.
	g_ferry_time_divisor.store(4);
	ferry_msg a, b, c;
	fls_make_digest(&a, 1, 1, 1, 0, 0);
	fls_make_digest(&b, 1, 2, 2, 0, 0);
	fls_make_digest(&c, 1, 3, 3, 0, 0);
	fls_pipe_msg(server, &a);
	fls_pipe_close(server);
	start_loop();
	ASSERT_TRUE(wait_for([] { return ox_queue_sz(g_dlog_q) == 1; }));
	for (const ferry_msg *next : {&b, &c}) {
		usleep(ferry_scaled_ms(6000) * 1000);
		ASSERT_FALSE(returned.load());
		fls_pipe_msg(server, next);
		fls_pipe_close(server);
		fls_start_feed(server);
	}
	ASSERT_TRUE(wait_for([] { return ox_queue_sz(g_dlog_q) == 3; }));
	EXPECT_FALSE(returned.load());
	ASSERT_TRUE(wait_for([this] { return returned.load(); }));
	loop.join();
	EXPECT_EQ(g_test_counters.pipe_reads_diginfo, 3u);
}

TEST_F(ReadLoop, StandInSplitShortAndMalformedMessages)
{
	// Ten empty reads take two seconds here: room for the second feed.
	g_ferry_time_divisor.store(5);
	g_bootnodecount = 0;
	g_maxfailedever = 0;
	ferry_msg ns, bad, add, a, b, c, d;
	fls_make_ns(&ns, 1, "test");
	memset(&bad, 0x5a, sizeof(bad)); // no such type
	fls_make_boot(&add, 9);
	add.data.clchg.change = FERRY_MSG_CLSTCHG_ADD;
	fls_make_digest(&a, 1, 11, 1, 0, 0);
	fls_make_digest(&b, 1, 12, 2, 0x77, RELAY_DELETE_FLAG);
	fls_make_digest(&c, 1, 13, 3, 0, 0);
	fls_make_digest(&d, 1, 14, 4, 0, 0);
	auto piece = [this](const ferry_msg *m, size_t from, size_t to) {
		fls_pipe_bytes(server, (const char *)m + from, to - from);
		fls_pipe_pause_ms(server, 20);
	};
	piece(&ns, 0, 100); // a namespace message in two writes
	piece(&ns, 100, sizeof(ns));
	fls_pipe_msg(server, &bad);
	fls_pipe_msg(server, &add);
	fls_pipe_msg(server, &a);
	piece(&b, 0, 1); // a digest in three writes
	piece(&b, 1, 200);
	piece(&b, 200, sizeof(b));
	piece(&c, 0, 100); // and one cut short by the close
	fls_pipe_close(server);
	start_loop();
	ASSERT_TRUE(wait_for([this] { return fls_pipe_idle(server); }));
	// Give the loop its end of file (half an empty-read period) before the
	// server's next opening, whose first message must be read whole.
	usleep(ferry_scaled_ms(500) * 1000);
	fls_pipe_msg(server, &d);
	fls_pipe_close(server);
	fls_start_feed(server);
	ASSERT_TRUE(wait_for([] { return ox_queue_sz(g_dlog_q) >= 3; }));
	ASSERT_TRUE(wait_for([this] { return returned.load(); }));
	loop.join();

	EXPECT_TRUE(ferry_ns_known(1));
	EXPECT_EQ(g_bootnodecount, 0);
	EXPECT_EQ(g_maxfailedever, 0);
	EXPECT_EQ(g_test_counters.pipe_reads_diginfo, 3u);
	ASSERT_EQ(ox_queue_sz(g_dlog_q), 3);
	for (const ferry_msg *want : {&a, &b, &d}) {
		ferry_msg got;
		ASSERT_EQ(ox_queue_pop(g_dlog_q, &got, 0), OX_QUEUE_OK);
		// All but the digest time, which is the time of receipt.
		got.data.diginfo.digesttime = want->data.diginfo.digesttime;
		EXPECT_EQ(memcmp(&got, want, sizeof(got)), 0) << want->data.diginfo.generation;
	}
}

} // namespace
