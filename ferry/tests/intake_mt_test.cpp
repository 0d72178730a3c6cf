// Reading the named pipe: one message per read (a short piece is a message
// of its own, zero behind its bytes, and never glued onto the next), reads
// and opens interrupted by a signal made again, the stand-in's short, split
// and malformed writes through the read loop with every whole digest queued
// once and in order, and the loop that reopens after ten reads in a row
// bring nothing.
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
#include <vector>

#include "testkit/fake_local_server.h"
#include "ferry_fixture.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ferry.h"
#include "tamberlin/ox_clock.h"

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

// Signals thread t until a call of the intake was interrupted before it did
// anything and made again; false when none was within 30 seconds. The thread
// is blocked in that call or on its way to it, so a signal that lands
// before the call is followed by another.
bool
interrupt_until_made_again(std::thread &t, uint64_t before)
{
	uint64_t end = ox_getms() + 30000;
	while (ox_getms() < end) {
		pthread_kill(t.native_handle(), SIGUSR1);
		if (ferry_test_wait_until([before] { return ferry_intake_interrupted_calls() > before; }, 20)) {
			return true;
		}
	}
	return false;
}

TEST_F(Pipe, EachReadIsOneMessage)
{
	int rfd, wfd;
	open_both(&rfd, &wfd);
	ferry_msg a, b, got;
	fls_make_digest(&a, 1, 1, 1, 0, 0);
	fls_make_digest(&b, 1, 2, 2, 0, 0);
	// Whole messages written together come out one per read.
	ferry_msg two[2] = {a, b};
	ASSERT_EQ(write(wfd, two, sizeof(two)), (ssize_t)sizeof(two));
	ASSERT_EQ(ferry_namedpipe_readmsg(rfd, &got), (ssize_t)sizeof(ferry_msg));
	EXPECT_EQ(memcmp(&got, &a, sizeof(got)), 0);
	ASSERT_EQ(ferry_namedpipe_readmsg(rfd, &got), (ssize_t)sizeof(ferry_msg));
	EXPECT_EQ(memcmp(&got, &b, sizeof(got)), 0);
	// A short piece is a message of its own: nothing of the buffer's last
	// message shows behind it, and the message after it is read whole.
	ferry_msg piece;
	memset(&piece, 0xa5, sizeof(piece));
	for (size_t len : {(size_t)1, (size_t)40, (size_t)100, sizeof(ferry_msg) - 1}) {
		SCOPED_TRACE(len);
		memset(&got, 0xff, sizeof(got));
		ASSERT_EQ(write(wfd, &piece, len), (ssize_t)len);
		ASSERT_EQ(ferry_namedpipe_readmsg(rfd, &got), (ssize_t)len);
		EXPECT_EQ(memcmp(&got, &piece, len), 0);
		std::vector<uint8_t> zeros(sizeof(ferry_msg) - len, 0);
		EXPECT_EQ(memcmp((uint8_t *)&got + len, zeros.data(), zeros.size()), 0);
		ASSERT_EQ(write(wfd, &a, sizeof(a)), (ssize_t)sizeof(a));
		ASSERT_EQ(ferry_namedpipe_readmsg(rfd, &got), (ssize_t)sizeof(ferry_msg));
		EXPECT_EQ(memcmp(&got, &a, sizeof(got)), 0);
	}
	// A piece left when the writer goes away is a short message too; end of
	// file follows, and the next writer's message is read whole.
	ASSERT_EQ(write(wfd, &b, 100), 100);
	close(wfd);
	EXPECT_EQ(ferry_namedpipe_readmsg(rfd, &got), 100);
	EXPECT_EQ(ferry_namedpipe_readmsg(rfd, &got), 0);
	wfd = open(path.c_str(), O_WRONLY);
	ASSERT_EQ(write(wfd, &a, sizeof(a)), (ssize_t)sizeof(a));
	EXPECT_EQ(ferry_namedpipe_readmsg(rfd, &got), (ssize_t)sizeof(ferry_msg));
	EXPECT_EQ(memcmp(&got, &a, sizeof(got)), 0);
	close(wfd);
	EXPECT_EQ(ferry_namedpipe_readmsg(rfd, &got), 0);
	close(rfd);
}

TEST_F(Pipe, ReadInterruptedBeforeAnyByteIsMadeAgain)
{
	struct sigaction sa = {};
	sa.sa_handler = on_usr1; // no SA_RESTART: the read fails with EINTR
	struct sigaction old;
	sigaction(SIGUSR1, &sa, &old);
	int rfd, wfd;
	open_both(&rfd, &wfd);
	ferry_msg sent;
	fls_make_digest(&sent, 1, 5, 5, 0, 0);
	ferry_msg got;
	std::atomic<ssize_t> r{-2};
	uint64_t before = ferry_intake_interrupted_calls();
	std::thread reader([&] { r.store(ferry_namedpipe_readmsg(rfd, &got)); });
	// The pipe is empty: the reader can only wait in its read.
	bool interrupted = interrupt_until_made_again(reader, before);
	EXPECT_TRUE(interrupted);
	EXPECT_EQ(r.load(), -2); // still reading, not failed
	ASSERT_EQ(write(wfd, &sent, sizeof(sent)), (ssize_t)sizeof(sent));
	reader.join();
	EXPECT_EQ(r.load(), (ssize_t)sizeof(ferry_msg));
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
	uint64_t before = ferry_intake_interrupted_calls();
	std::thread reader([] {
		ferry_namedpipe_open(); // blocks until a writer comes
	});
	// No writer yet: the open can only wait.
	EXPECT_TRUE(interrupt_until_made_again(reader, before));
	EXPECT_FALSE(g_isnamedpipe_open.load());
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
	bool wait_for(const std::function<bool()> &cond, int limit_ms = 10000) { return ferry_test_wait_until(cond, limit_ms); }
	static bool nodata_at_least(int n)
	{
		return ferry_test_wait_until([n] { return ferry_intake_nodata_count() >= n; });
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
	// Empty reads a second apart at half speed: after three of them the loop
	// is seven reads (3.5 s) from a reopen when the next message is sent.
	g_ferry_time_divisor.store(2);
	ferry_msg a, b, c;
	fls_make_digest(&a, 1, 1, 1, 0, 0);
	fls_make_digest(&b, 1, 2, 2, 0, 0);
	fls_make_digest(&c, 1, 3, 3, 0, 0);
	fls_pipe_msg(server, &a);
	fls_pipe_close(server);
	start_loop();
	ASSERT_TRUE(wait_for([] { return ox_queue_sz(g_dlog_q) == 1; }));
	int queued = 1;
	for (const ferry_msg *next : {&b, &c}) {
		ASSERT_TRUE(nodata_at_least(3));
		ASSERT_FALSE(returned.load());
		// The pipe stays open after the message: the loop waits in its next
		// read, with its count back at 0.
		fls_pipe_msg(server, next);
		fls_start_feed(server);
		queued++;
		ASSERT_TRUE(wait_for([queued] { return ox_queue_sz(g_dlog_q) == queued; }));
		EXPECT_EQ(ferry_intake_nodata_count(), 0);
		fls_pipe_close(server);
	}
	ASSERT_TRUE(wait_for([this] { return returned.load(); }));
	loop.join();
	EXPECT_EQ(ferry_intake_nodata_count(), FERRY_NAMEDPIPE_NODATA_MAXCNT);
	EXPECT_EQ(g_test_counters.pipe_reads_diginfo, 3u);
}

TEST_F(ReadLoop, ShortPiecesNeverPutTheStreamOutOfStep)
{
	// Ten empty reads take two seconds here: room for the second feed.
	g_ferry_time_divisor.store(5);
	g_bootnodecount = 0;
	g_bootnode_sync_complete.store(false);
	g_maxfailedever = 0;
	ferry_msg ns, bad, add, failed, boot;
	fls_make_ns(&ns, 1, "test");
	memset(&bad, 0x5a, sizeof(bad)); // no such type
	fls_make_boot(&add, 9);
	add.data.clchg.change = FERRY_MSG_CLSTCHG_ADD;
	uint64_t lst[DC_MAX_NUM] = {5000000};
	fls_make_failed(&failed, 0xF1, lst);
	fls_make_boot(&boot, 9);
	std::vector<ferry_msg> digests(17); // two before the pieces, one after each, two at the end
	for (size_t i = 0; i < digests.size(); i++) {
		fls_make_digest(&digests[i], 1, 10 + (uint32_t)i, i, i == 1 ? 0x77 : 0, i == 1 ? RELAY_DELETE_FLAG : 0);
	}
	// Pieces of messages, each read on its own, with a whole digest after
	// each: only a piece that holds its type's whole body is acted on.
	struct {
		const char *what;
		const ferry_msg *m;
		size_t from, to;
		bool queued; // a digest record the piece holds whole
	} pieces[] = {
		{"the first byte of a digest", &digests[2], 0, 1, false},
		{"40 bytes of a digest", &digests[3], 0, 40, false},
		{"100 bytes of a digest: its whole record", &digests[4], 0, 100, true},
		{"a digest in three writes: its first byte", &digests[5], 0, 1, false},
		{"... the middle, from its padding", &digests[5], 1, 200, false},
		{"... the unused tail", &digests[5], 200, sizeof(ferry_msg), false},
		{"a failed-node report without its last-ship times", &failed, 0, 100, false},
		{"a boot node cut after its node", &boot, 0, 24, false},
		{"20 bytes of a namespace message", &ns, 0, 20, false},
	};
	fls_pipe_msg(server, &ns);
	fls_pipe_msg(server, &bad);
	fls_pipe_msg(server, &add);
	fls_pipe_msg(server, &digests[0]);
	fls_pipe_msg(server, &digests[1]);
	std::vector<const ferry_msg *> expect = {&digests[0], &digests[1]};
	std::vector<size_t> expect_len = {sizeof(ferry_msg), sizeof(ferry_msg)};
	size_t next_good = 6;
	for (auto &p : pieces) {
		fls_pipe_bytes(server, (const char *)p.m + p.from, p.to - p.from);
		fls_pipe_wait_read(server);
		if (p.queued) {
			expect.push_back(p.m);
			expect_len.push_back(p.to);
		}
		fls_pipe_msg(server, &digests[next_good]);
		expect.push_back(&digests[next_good]);
		expect_len.push_back(sizeof(ferry_msg));
		next_good++;
	}
	// And one cut short by the close.
	ASSERT_EQ(next_good + 2, digests.size());
	fls_pipe_bytes(server, &digests[next_good++], 60);
	fls_pipe_close(server);
	start_loop();
	ASSERT_TRUE(wait_for([this] { return fls_pipe_idle(server); }));
	// The loop has had its end of file before the server's next opening,
	// whose first message must be read whole.
	ASSERT_TRUE(nodata_at_least(1));
	fls_pipe_msg(server, &digests[next_good]);
	expect.push_back(&digests[next_good]);
	expect_len.push_back(sizeof(ferry_msg));
	fls_pipe_close(server);
	fls_start_feed(server);
	ASSERT_TRUE(wait_for([&] { return ox_queue_sz(g_dlog_q) >= (int)expect.size(); }));
	ASSERT_TRUE(wait_for([this] { return returned.load(); }));
	loop.join();

	EXPECT_TRUE(ferry_ns_known(1));
	EXPECT_EQ(g_bootnodecount, 0);
	EXPECT_FALSE(g_bootnode_sync_complete.load());
	EXPECT_EQ(g_maxfailedever, 0);
	EXPECT_EQ(g_test_counters.pipe_reads_diginfo, (uint64_t)expect.size());
	ASSERT_EQ(ox_queue_sz(g_dlog_q), (int)expect.size());
	for (size_t i = 0; i < expect.size(); i++) {
		SCOPED_TRACE(i);
		ferry_msg want = *expect[i];
		memset((char *)&want + expect_len[i], 0, sizeof(want) - expect_len[i]);
		ferry_msg got;
		ASSERT_EQ(ox_queue_pop(g_dlog_q, &got, 0), OX_QUEUE_OK);
		// All but the digest time, which is the time of receipt.
		got.data.diginfo.digesttime = want.data.diginfo.digesttime;
		EXPECT_EQ(memcmp(&got, &want, sizeof(got)), 0) << want.data.diginfo.generation;
	}
}

} // namespace
