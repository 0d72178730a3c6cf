// The local-server link against the stand-in local server on 127.0.0.1: the
// exact request texts, the wait for the server, the pipe-feed request with
// its attempts, the last-ship report with its 3-second rule (and previous
// values kept until a report gets through), and the strict reading of the
// cluster-wide minimum that bounds the reclaim.
#include <gtest/gtest.h>

#ifdef FERRY_HAVE_KA

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "testkit/fake_local_server.h"
#include "ferry_fixture.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ferry.h"
#include "tamberlin/ferry_info.h"
#include "tamberlin/rbuffer.h"

namespace {

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
		g_lastshiptime[0].lst_localmin = 8000;
		g_lastshiptime[1].lst_localmin = 9000;
	}
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
		{"5000", 5000},
		{"12000", 8000},              // never past this node's own smallest time
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
		EXPECT_EQ(ferry_digestlog_reclaim(), c.expect);
	}
	EXPECT_EQ(fls_requests(server, FERRY_INFO_MIN_LASTSHIP_REQUEST), (int)(sizeof(cases) / sizeof(cases[0])));
	// An answer far longer than one line is refused whole.
	fls_set_min_lastship_text(server, (std::string(400, '1')).c_str());
	EXPECT_EQ(ferry_digestlog_reclaim(), 0u);
}

TEST_F(Reclaim, BadRepliesReclaimNothing)
{
	fls_set_min_lastship_text(server, "5000");
	for (fls_reply_mode mode : {FLS_EMPTY, FLS_GARBAGE, FLS_CLOSE}) {
		SCOPED_TRACE(mode);
		fls_set_reply(server, "relay-min", mode, 0);
		EXPECT_EQ(ferry_digestlog_reclaim(), 0u);
	}
	fls_set_reply(server, "relay-min", FLS_ANSWER, 0);
	EXPECT_EQ(ferry_digestlog_reclaim(), 5000u);
	// Nothing of this node's log is shipped yet: nothing to reclaim.
	g_lastshiptime[0].lst_localmin = 0;
	EXPECT_EQ(ferry_digestlog_reclaim(), 0u);
}

} // namespace

#endif // FERRY_HAVE_KA
