// The local-server link against the stand-in local server on 127.0.0.1: the
// exact request texts, the wait for the server, the pipe-feed request with
// its attempts, the last-ship report with its 3-second rule (and previous
// values kept until a report gets through), the strict reading of the
// cluster-wide minimum that bounds the reclaim, the digest-log time seek and
// the reclaim of a real digest log.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "../src/ferry_local.h"
#include "../src/ferry_seek.h"
#include "ferry_fixture.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ferry.h"
#include "tamberlin/ox_clock.h"
#include "tamberlin/ox_log.h"
#include "tamberlin/rbuffer.h"
#include "testkit/fake_local_server.h"

namespace {

// The client library's log lines, caught instead of printed.
std::string g_client_log;

void
capture_client_log(ka::ox_log_level, const char *fmt, ...)
{
	char line[2048];
	va_list ap;
	va_start(ap, fmt);
	vsnprintf(line, sizeof(line), fmt, ap);
	va_end(ap);
	g_client_log += line;
	g_client_log += "\n";
}

class Link : public ::testing::Test {
protected:
	void SetUp() override
	{
		g_ferry_time_divisor.store(1000); // a 60-second wait lasts 60 ms
		ferry_test_reset_config();
		pipe = ferry_test_path("link_fifo");
		server = fls_start(pipe.c_str(), 0);
		ASSERT_NE(server, nullptr);
		ferry_test_local_addr(fls_port(server));
		memset(g_lastshiptime, 0, sizeof(g_lastshiptime));
		memset(g_prevlastshiptime, 0, sizeof(g_prevlastshiptime));
		g_isnamedpipe_open.store(false);
	}
	void TearDown() override
	{
		fls_stop(server);
		unlink(pipe.c_str());
		if (g_sockaddr_in_v) {
			ox_vector_destroy(g_sockaddr_in_v);
			g_sockaddr_in_v = nullptr;
		}
		g_ferry_time_divisor.store(1);
		ferry_test_reset_config();
	}
	std::string pipe;
	fake_local_server *server = nullptr;
};

TEST_F(Link, SendsRequestsAsTheyAre)
{
	char req[] = "build\n";
	char *reply = nullptr;
	ASSERT_EQ(ferry_send_infomsg(req, &reply, 1000), 0);
	EXPECT_STREQ(reply, "build\t9.9.9-fake\n");
	free(reply);
	EXPECT_EQ(fls_requests(server, "build\n"), 1);
	// No address to send to.
	ox_vector_destroy(g_sockaddr_in_v);
	g_sockaddr_in_v = ox_vector_create(sizeof(struct sockaddr_in), 5, 0);
	reply = (char *)"untouched";
	EXPECT_EQ(ferry_send_infomsg(req, &reply, 1000), -1);
	EXPECT_EQ(reply, nullptr);
}

TEST_F(Link, WaitForServer)
{
	EXPECT_EQ(ferry_wait_for_server(-1), 0);
	EXPECT_TRUE(g_server_up.load());
	// A server that does not answer: two 60-second waits reach a 120-second limit.
	fls_set_reply(server, "build", FLS_CLOSE, 0);
	EXPECT_EQ(ferry_wait_for_server(120), -1);
	EXPECT_FALSE(g_server_up.load());
	EXPECT_EQ(fls_requests(server, "build\n"), 1 + 2);
}

TEST_F(Link, PipeFeedRequest)
{
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	ferry_invoke_serverferry(nullptr);
	EXPECT_EQ(fls_requests(server, FERRY_INFO_FEED_REQUEST), 1);
	EXPECT_STREQ(FERRY_INFO_FEED_REQUEST, "set-config:context=relay;enable-relay=true;freshstart=1\n");
	// Failing while the pipe is open already: one attempt, no end.
	fls_set_reply(server, "set-config:context=relay;enable", FLS_CLOSE, 0);
	g_isnamedpipe_open.store(true);
	ferry_invoke_serverferry(nullptr);
	EXPECT_EQ(fls_requests(server, FERRY_INFO_FEED_REQUEST), 2);
	// Failing three times with the pipe closed ends the process.
	g_isnamedpipe_open.store(false);
	EXPECT_DEATH(ferry_invoke_serverferry(nullptr),
			"CRITICAL GLOBAL \\(relay\\): .*Failed to inform the server to sync FERRY shipping... Aborting");
}

TEST_F(Link, OpenCycleOpensTheFedPipe)
{
	g_xcfg.ferry_digestpipe_path = ox_strdup(pipe.c_str());
	ferry_msg m;
	fls_make_ns(&m, -1, nullptr);
	fls_pipe_msg(server, &m);
	ferry_namedpipe_open_cycle();
	EXPECT_TRUE(g_server_up.load());
	EXPECT_TRUE(g_isnamedpipe_open.load());
	// The stand-in opened its end for the feed request, which it recorded
	// first; waiting for the count still holds should the order ever change.
	EXPECT_TRUE(ferry_test_wait_until([this] { return fls_requests(server, FERRY_INFO_FEED_REQUEST) >= 1; }));
	EXPECT_EQ(fls_requests(server, FERRY_INFO_FEED_REQUEST), 1);
	ferry_msg got;
	ASSERT_EQ(ferry_namedpipe_readmsg(g_xcfg.ferry_digestpipe_fd, &got), (ssize_t)sizeof(got));
	EXPECT_EQ(got.data.nsinfo.ns_id, -1);
	close(g_xcfg.ferry_digestpipe_fd);
	g_xcfg.ferry_digestpipe_fd = -1;
}

class LastShip : public Link {
protected:
	void SetUp() override
	{
		Link::SetUp();
		g_dc_count = 2;
		g_rcfg[0].dc_inuse = true;
		g_rcfg[1].dc_inuse = true;
		set(0, 1000);
		set(1, 9000000);
		g_prevlastshiptime[1] = 9000000;
	}
	static void set(int dc, uint64_t t) { g_lastshiptime[dc] = {t, FERRY_LST_NONE, FERRY_LST_NONE, 0}; }
	int reports() { return fls_lastship_reports(server, nullptr, nullptr); }
};

TEST_F(LastShip, ThreeSecondRuleAndTheReportText)
{
	ferry_send_lastshipinfo(); // 1000 - 0 < 3000: nothing sent
	EXPECT_EQ(reports(), 0);
	set(0, 3500);
	ferry_send_lastshipinfo();
	ASSERT_EQ(reports(), 1);
	uint64_t v[DC_MAX_NUM];
	fls_lastship_reports(server, v, nullptr);
	EXPECT_EQ(v[0], 3500u);
	EXPECT_EQ(v[1], 9000000u);
	for (int i = 2; i < DC_MAX_NUM; i++) {
		EXPECT_EQ(v[i], 0u);
	}
	EXPECT_EQ(g_prevlastshiptime[0], 3500u);
	set(0, 5000); // moved up by less than 3 seconds
	ferry_send_lastshipinfo();
	EXPECT_EQ(reports(), 1);
	set(0, 3400); // moved back
	ferry_send_lastshipinfo();
	EXPECT_EQ(reports(), 2);
	// The exact text: the prefix, 32 numbers joined by commas, a newline.
	std::string expect = std::string(FERRY_INFO_LASTSHIP_PREFIX) + "3400,9000000";
	for (int i = 2; i < DC_MAX_NUM; i++) {
		expect += ",0";
	}
	expect += "\n";
	EXPECT_EQ(fls_requests(server, expect.c_str()), 1);
}

TEST_F(LastShip, FailedReportKeepsThePreviousValues)
{
	set(0, 50000);
	ferry_send_lastshipinfo();
	ASSERT_EQ(reports(), 1);
	// The minimum moves back while the server cannot be told.
	fls_set_reply(server, FERRY_INFO_LASTSHIP_PREFIX, FLS_CLOSE, 0);
	set(0, 20000);
	ferry_send_lastshipinfo();
	EXPECT_EQ(fls_requests(server, FERRY_INFO_LASTSHIP_PREFIX), 1 + 3);
	EXPECT_EQ(g_prevlastshiptime[0], 50000u);
	// Once the server answers again the backward move is reported.
	fls_set_reply(server, FERRY_INFO_LASTSHIP_PREFIX, FLS_ANSWER, 0);
	ferry_send_lastshipinfo();
	ASSERT_EQ(reports(), 2);
	uint64_t v[DC_MAX_NUM];
	fls_lastship_reports(server, v, nullptr);
	EXPECT_EQ(v[0], 20000u);
	EXPECT_EQ(g_prevlastshiptime[0], 20000u);
}

TEST_F(LastShip, FirstStartReportsTheWriterStartLessFiveMinutes)
{
	memset(g_lastshiptime, 0, sizeof(g_lastshiptime));
	memset(g_prevlastshiptime, 0, sizeof(g_prevlastshiptime));
	uint64_t words[DC_MAX_NUM] = {0}; // a new digest log
	ferry_restore_lst_from_words(words);
	ferry_init_unset_lst(50000000);
	ferry_send_lastshipinfo();
	uint64_t v[DC_MAX_NUM];
	ASSERT_EQ(fls_lastship_reports(server, v, nullptr), 1);
	EXPECT_EQ(v[0], 50000000u - FERRY_TIME_ADJUST);
	EXPECT_EQ(v[1], 50000000u - FERRY_TIME_ADJUST);
	for (int i = 2; i < DC_MAX_NUM; i++) {
		EXPECT_EQ(v[i], 0u) << i;
	}
	EXPECT_EQ(fls_bad_lastship_reports(server), 0);
}

TEST_F(LastShip, UnusedDatacenterReportsTheLastWrite)
{
	g_rcfg[1].dc_inuse = false;
	g_last_logwrite_time.store(7777777);
	set(0, 3000);
	ferry_send_lastshipinfo();
	uint64_t v[DC_MAX_NUM];
	ASSERT_EQ(fls_lastship_reports(server, v, nullptr), 1);
	EXPECT_EQ(v[1], 7777777u);
	g_last_logwrite_time.store(0);
}

class Reclaim : public Link {
protected:
	void SetUp() override
	{
		Link::SetUp();
		g_rbuf_des = ferry_test_open_dlog("reclaim", 1 << 20, true);
		ASSERT_NE(g_rbuf_des, nullptr);
		g_dc_count = 2;
		g_lastshiptime[0].lst_localmin = kAdj + 8000;
		g_lastshiptime[1].lst_localmin = kAdj + 9000;
	}
	static constexpr uint64_t kAdj = FERRY_TIME_ADJUST;
	void TearDown() override
	{
		ox_rbuffer_close(g_rbuf_des);
		g_rbuf_des = nullptr;
		Link::TearDown();
	}
};

TEST_F(Reclaim, ServerMinimumIsReadStrictlyAndBounded)
{
	struct {
		const char *answer;
		uint64_t expect;
	} cases[] = {
		{nullptr, 0},                 // no report yet: the stand-in answers -1
		{"-1", 0},
		// Writes handed to the engine in the last 5 minutes may still fail:
		// the time stays that far behind the minimum.
		{"305000", 5000},
		{"300001", 1},
		{"300000", 0},
		{"5000", 0},                  // saturates instead of wrapping
		{"312000", 8000},             // never past this node's own smallest time
		{"0", 0},
		{"-5", 0},
		{"", 0},
		{"abc", 0},
		{"12x", 0},
		{" 12", 0},
		{"+12", 0},
		{"99999999999999999999", 0},  // does not fit
		{"1K", 0},
		{"7000\tmore", 0},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.answer ? c.answer : "(none)");
		fls_set_min_lastship_text(server, c.answer);
		EXPECT_EQ(ferry_digestlog_reclaim_time(), c.expect);
	}
	EXPECT_EQ(fls_requests(server, FERRY_INFO_MIN_LASTSHIP_REQUEST), (int)(sizeof(cases) / sizeof(cases[0])));
	// An answer far longer than one line is refused whole, and the client
	// says why.
	fls_set_min_lastship_text(server, (std::string(400, '1')).c_str());
	ka::ox_log_callback saved = ka::g_log_callback;
	g_client_log.clear();
	ka::g_log_callback = capture_client_log;
	EXPECT_EQ(ferry_digestlog_reclaim_time(), 0u);
	ka::g_log_callback = saved;
	EXPECT_NE(g_client_log.find("Response buffer length 425 is excessive"), std::string::npos) << g_client_log;
}

TEST_F(Reclaim, BadRepliesReclaimNothing)
{
	fls_set_min_lastship_text(server, "5000");
	for (fls_reply_mode mode : {FLS_EMPTY, FLS_GARBAGE, FLS_CLOSE}) {
		SCOPED_TRACE(mode);
		fls_set_reply(server, "relay-min", mode, 0);
		EXPECT_EQ(ferry_digestlog_reclaim_time(), 0u);
	}
	fls_set_reply(server, "relay-min", FLS_ANSWER, 0);
	fls_set_min_lastship_text(server, "305000");
	EXPECT_EQ(ferry_digestlog_reclaim_time(), 5000u);
	// Nothing of this node's log is shipped yet: nothing to reclaim.
	g_lastshiptime[0].lst_localmin = 0;
	EXPECT_EQ(ferry_digestlog_reclaim_time(), 0u);
	// Nor was it shipped more than 5 minutes ago.
	g_lastshiptime[0].lst_localmin = kAdj;
	EXPECT_EQ(ferry_digestlog_reclaim_time(), 0u);
}

// Test digest logs hold record i at digest time kT0 + 10 i.
constexpr uint64_t kT0 = 1000000;

uint64_t
time_of(int i)
{
	return kT0 + 10 * (uint64_t)i;
}

void
write_times(ox_rbuffer *rb, int n)
{
	std::vector<ferry_msg_ondisk> recs((size_t)n);
	for (int i = 0; i < n; i++) {
		memset(&recs[(size_t)i], 0, sizeof(ferry_msg_ondisk));
		recs[(size_t)i].xm_type = FERRY_MSG_TYPE_DIGESTINFO;
		recs[(size_t)i].diginfo.digesttime = time_of(i);
	}
	ASSERT_EQ(ox_rbuffer_write(rb, (const char *)recs.data(), n), n);
	ASSERT_TRUE(ox_rbuffer_fflush(rb));
}

// The number of the record that ctx reads next, -1 when it reads none.
int
next_index(ox_rbuffer_ctx *ctx)
{
	ferry_msg_ondisk m;
	if (ox_rbuffer_read(g_rbuf_des, ctx, (char *)&m, 1) != 1) {
		return -1;
	}
	return (int)((m.diginfo.digesttime - kT0) / 10);
}

class Seek : public ::testing::Test {
protected:
	void SetUp() override
	{
		memset(&cntr, 0, sizeof(cntr));
		g_ferry_cntr = &cntr;
		g_rbuf_des = ferry_test_open_dlog("seek", 1 << 20, true);
		ASSERT_NE(g_rbuf_des, nullptr);
	}
	void TearDown() override
	{
		ox_rbuffer_close(g_rbuf_des);
		g_rbuf_des = nullptr;
		g_ferry_cntr = nullptr;
	}
	// The record the search places a context at, -1 for no context.
	int seek(uint64_t t)
	{
		ferry_msg_ondisk m;
		memset(&m, 0, sizeof(m));
		ox_rbuffer_ctx *ctx = ferry_digestlog_seektime(t, &m);
		if (!ctx) {
			return -1;
		}
		int got = next_index(ctx);
		ox_rbuffer_closectx(ctx);
		return got;
	}
	counters cntr;
};

TEST_F(Seek, EmptyLogHasNothing)
{
	EXPECT_EQ(seek(kT0), -1);
}

TEST_F(Seek, EdgesAndTheStride)
{
	const int n = 1234;
	write_times(g_rbuf_des, n);
	struct {
		uint64_t throughput, time;
		int expect;          // exact record, or -1 for none
		uint64_t stride;     // 0: the search does not estimate one
	} cases[] = {
		{0, time_of(n - 1) + 1, -1, 0}, // later than the newest record
		// The newest record itself: the search still looks for earlier
		// records of the same time.
		{0, time_of(n - 1), n - 1, 100000},
		{0, kT0 - 5, 0, 100000},        // before the oldest: a short log's start
		{100, kT0 - 5, 0, 100000},      // 100/s over 12 s is below the minimum stride
		{5000, kT0 - 5, 0, 60000},      // 5000/s over 12 s
		{1ULL << 40, kT0 - 5, 0, INT32_MAX}, // an estimate beyond a 32-bit move saturates
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.time);
		cntr.remote_ship_throughput = c.throughput;
		g_ferry_search_stride = 0;
		EXPECT_EQ(seek(c.time), c.expect);
		EXPECT_EQ(g_ferry_search_stride, c.stride);
	}
}

TEST_F(Seek, LandsOnTheFirstRecordAtTheTime)
{
	const int n = 1234;
	write_times(g_rbuf_des, n);
	for (uint64_t throughput : {0, 100, 5000}) {
		cntr.remote_ship_throughput = throughput;
		for (int j = 1; j < n; j += 7) {
			for (uint64_t before : {0, 5}) { // at record j, or between j - 1 and j
				SCOPED_TRACE(std::to_string(throughput) + " " + std::to_string(j) + " -" +
						std::to_string(before));
				int got = seek(time_of(j) - before);
				EXPECT_EQ(got, j);
			}
		}
	}
}

// The whole reclaim step against a real digest log.
class ReclaimLog : public Link {
protected:
	void SetUp() override
	{
		Link::SetUp();
		memset(&cntr, 0, sizeof(cntr));
		g_ferry_cntr = &cntr;
		g_dc_count = 2;
	}
	void TearDown() override
	{
		close_log();
		g_ferry_cntr = nullptr;
		Link::TearDown();
	}
	// A new log of `written` records whose main reader has read `read`.
	void open_log(int written, int read)
	{
		close_log();
		g_rbuf_des = ferry_test_open_dlog("reclaimlog", 1 << 20, true);
		ASSERT_NE(g_rbuf_des, nullptr);
		write_times(g_rbuf_des, written);
		std::vector<char> buf((size_t)read * FERRY_MSG_ONDISK_SIZE + 1);
		ASSERT_EQ(ferry_test_read_dlog(g_rbuf_des, buf.data(), read), read);
	}
	void close_log()
	{
		if (g_rbuf_des) {
			ox_rbuffer_close(g_rbuf_des);
			g_rbuf_des = nullptr;
		}
	}
	// The first record still kept.
	int first_kept()
	{
		ox_rbuffer_ctx *ctx = ox_rbuffer_getsetctx(g_rbuf_des, nullptr, 0);
		int got = next_index(ctx);
		ox_rbuffer_closectx(ctx);
		return got;
	}
	bool traced() { return (__atomic_load_n(&g_rbuf_des->flags, __ATOMIC_RELAXED) & RBUFFER_FLAG_TRACE) != 0; }
	counters cntr;
};

TEST_F(ReclaimLog, StartMovesUpToTheSegmentOfTheTime)
{
	struct rcase {
		std::string what;
		uint64_t server, own;
		int read;
		uint64_t reclaimed;
	};
	const uint64_t late = time_of(5000);
	std::vector<rcase> cases = {
		{"inside a segment", time_of(550), late, 1000, 500},
		{"between two records", time_of(600) - 5, late, 1000, 600},
		{"own time is smaller", time_of(900), time_of(300), 1000, 300},
		{"main reader behind", time_of(900), late, 250, 200},
		{"before the oldest", kT0 - 5, late, 1000, 0},
		{"after the newest", time_of(999) + 5, late, 1000, 0},
	};
	// Around a segment's end the search may stop past the record at the time;
	// nothing at or after that time may be given up.
	for (int j = 385; j <= 515; j += j == 415 ? 70 : 1) { // the ends of segments 3 and 4
		cases.push_back({"record " + std::to_string(j), time_of(j), late, 1000, (uint64_t)(j / 100 * 100)});
	}
	uint64_t total = 0;
	for (auto &c : cases) {
		SCOPED_TRACE(c.what);
		open_log(1000, c.read);
		// The times of the cases are where the reclaim may go: 5 minutes
		// behind both minima.
		g_lastshiptime[0].lst_localmin = late + FERRY_TIME_ADJUST;
		g_lastshiptime[1].lst_localmin = c.own + FERRY_TIME_ADJUST;
		fls_set_min_lastship_text(server, std::to_string(c.server + FERRY_TIME_ADJUST).c_str());
		EXPECT_EQ(ferry_digestlog_reclaim(), c.reclaimed);
		EXPECT_EQ(first_kept(), (int)c.reclaimed);
		EXPECT_TRUE(traced());
		total += c.reclaimed;
		EXPECT_EQ(cntr.dlog_pkts_reclaimed, total);
	}
}

// A failed-node run that starts after the minima were taken (its slot
// claimed and held, the last-ship times not yet looked at again) keeps its
// records: the reclaim looks at the holds once more before it moves the
// start. Once the run has ended, the next reclaim goes on to the minima.
TEST_F(ReclaimLog, ARunStartedSinceTheMinimaWereTakenKeepsItsRecords)
{
	open_log(1000, 1000);
	const uint64_t late = time_of(5000) + FERRY_TIME_ADJUST;
	g_lastshiptime[0].lst_localmin = late;
	g_lastshiptime[1].lst_localmin = late;
	fls_set_min_lastship_text(server, std::to_string(time_of(900) + FERRY_TIME_ADJUST).c_str());
	ferry_failednode_slots_reset();
	ASSERT_TRUE(ferry_failednode_claim(0));
	for (int dc = 0; dc < DC_MAX_NUM; dc++) {
		g_failednodeinfo[0].ferrylastship[dc].store(dc < 2 ? time_of(300) + FERRY_TIME_ADJUST : 0);
	}
	ferry_failednode_hold_start(0);
	EXPECT_EQ(ferry_digestlog_reclaim(), 300u);
	EXPECT_EQ(first_kept(), 300);
	for (int dc = 0; dc < DC_MAX_NUM; dc++) {
		ferry_failednode_hold(0, dc, FERRY_LST_NONE);
	}
	g_failednodeinfo[0].slotinuse.store(false);
	EXPECT_EQ(ferry_digestlog_reclaim(), 600u);
	EXPECT_EQ(first_kept(), 900);
	ferry_failednode_slots_reset();
}

TEST_F(ReclaimLog, UnusableAnswersLeaveTheLogAlone)
{
	open_log(1000, 1000);
	g_lastshiptime[0].lst_localmin = time_of(5000);
	g_lastshiptime[1].lst_localmin = time_of(5000);
	for (const char *answer : {"-1", "0", "-7", "abc", "550x", ""}) {
		SCOPED_TRACE(answer);
		fls_set_min_lastship_text(server, answer);
		EXPECT_EQ(ferry_digestlog_reclaim(), 0u);
		EXPECT_FALSE(traced());
	}
	fls_set_reply(server, "relay-min", FLS_CLOSE, 0);
	fls_set_min_lastship_text(server, std::to_string(time_of(550)).c_str());
	EXPECT_EQ(ferry_digestlog_reclaim(), 0u);
	EXPECT_EQ(first_kept(), 0);
	EXPECT_EQ(cntr.dlog_pkts_reclaimed, 0u);
	// No log open: asked, nothing done.
	fls_set_reply(server, "relay-min", FLS_ANSWER, 0);
	close_log();
	EXPECT_EQ(ferry_digestlog_reclaim(), 0u);
}

// A log whose newest records cannot be read is tried again, and while it
// stays unreadable nothing is given up.
TEST_F(ReclaimLog, UnreadableLogGivesUpNothing)
{
	open_log(150, 150);
	g_lastshiptime[0].lst_localmin = time_of(5000) + FERRY_TIME_ADJUST;
	g_lastshiptime[1].lst_localmin = time_of(5000) + FERRY_TIME_ADJUST;
	fls_set_min_lastship_text(server, std::to_string(time_of(120) + FERRY_TIME_ADJUST).c_str());
	// Records 100 to 149 are in the writer's segment: cut it short.
	ASSERT_EQ(truncate(g_rbuf_des->hdr[0].fname, RBUFFER_FILE_HEADER_SIZE + RBUFFER_SEG_SIZE + 100), 0);
	EXPECT_EQ(ferry_digestlog_reclaim(), 0u);
	EXPECT_EQ(first_kept(), 0);
	EXPECT_EQ(cntr.dlog_pkts_reclaimed, 0u);
}

// The housekeeper stores the last-ship times into the header words while the
// writer thread persists the headers after every segment it writes. Both go
// on until each has seen the other at work: the writer until the words were
// stored kStores times, the storing until the writer has written kPersists
// segments and stopped.
TEST(LogHeader, WordsStoredWhileTheWriterPersists)
{
	const int kStores = 1000;
	const int kPersists = 50;
	ferry_test_reset_config();
	g_dc_count = 2;
	ox_rbuffer *rb = ferry_test_open_dlog("words", 1 << 20, true);
	ASSERT_NE(rb, nullptr);
	std::atomic<int> stores{0};
	std::atomic<int> persists{0};
	std::atomic<bool> done{false};
	uint64_t deadline = ox_getms() + 60000;
	std::thread writer([&] {
		std::vector<ferry_msg_ondisk> recs(100);
		memset(recs.data(), 0, recs.size() * sizeof(ferry_msg_ondisk));
		while (stores.load() == 0 && ox_getms() < deadline) {
			usleep(100);
		}
		// A segment of 100 records per write: each write persists the headers.
		for (int i = 0; i < 100000 && (i < kPersists || stores.load() < kStores) && ox_getms() < deadline; i++) {
			if (ox_rbuffer_write(rb, (const char *)recs.data(), 100) == 100) {
				persists++;
			}
		}
		done.store(true);
	});
	uint64_t t = 1000;
	while (!done.load() || stores.load() == 0) {
		t++;
		g_lastshiptime[0].lst_localmin = t;
		g_lastshiptime[1].lst_localmin = t + 1;
		ferry_store_lst_to_words(rb->hdr[0].udata);
		stores++;
	}
	writer.join();
	EXPECT_GE(stores.load(), kStores);
	EXPECT_GE(persists.load(), kPersists);
	EXPECT_EQ(rb->hdr[0].udata[0], t);
	EXPECT_EQ(rb->hdr[0].udata[1], t + 1);
	EXPECT_EQ(rb->hdr[0].udata[2], 0u);
	ox_rbuffer_close(rb);
	memset(g_lastshiptime, 0, sizeof(g_lastshiptime));
	ferry_test_reset_config();
}

} // namespace
