// The housekeeper's tick, driven directly with the time given, against the
// stand-in local server on 127.0.0.1 and a real digest log: which ticks do
// what and in which order, no tick while the local server is down, the time
// lags (0 for an up datacenter when everything written was read, never a
// wrapped one), the throughput (never divided by 0), the statistics lines and
// the last-ship times persisted into the header.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "../src/ferry_housekeeper.h"
#include "ferry_fixture.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/fault.h"
#include "tamberlin/ka_async.h"
#include "tamberlin/rbuffer.h"
#include "testkit/fake_local_server.h"

namespace {

// Test digest logs hold record i at digest time kT0 + 10 i.
constexpr uint64_t kT0 = 1000000;
constexpr uint64_t kNow = 5000000; // monotonic ms of the first statistics' start

uint64_t
time_of(int i)
{
	return kT0 + 10 * (uint64_t)i;
}

class Housekeeper : public ::testing::Test {
protected:
	void SetUp() override
	{
		log_path = ferry_test_log_once("housekeeper_log", "detail");
		ASSERT_FALSE(log_path.empty());
		log_start = ferry_test_read_file(log_path).size();
		ferry_test_reset_config();
		pipe = ferry_test_path("hk_fifo");
		server = fls_start(pipe.c_str(), 0);
		ASSERT_NE(server, nullptr);
		ferry_test_local_addr(fls_port(server));
		memset(&cntr, 0, sizeof(cntr));
		g_ferry_cntr = &cntr;
		memset(g_lastshiptime, 0, sizeof(g_lastshiptime));
		memset(g_prevlastshiptime, 0, sizeof(g_prevlastshiptime));
		g_dc_count = 2;
		for (int dc = 0; dc < 2; dc++) {
			g_dc_xcfg_opt[dc].dc_name = ox_strdup(dc == 0 ? "DC1" : "DC2");
			g_rcfg[dc].dc_inuse = true;
			g_rcfg[dc].cluster_health = CLUSTER_UP;
			g_lastshiptime[dc].lst_windowship = FERRY_LST_NONE;
			g_lastshiptime[dc].lst_failednode = FERRY_LST_NONE;
		}
		g_boottime = kT0;
		g_last_logwrite_time.store(0);
		g_dlog_q = ox_queue_create(sizeof(ferry_msg), true);
		g_diginfo_freepool_q = ox_queue_create(sizeof(void *), true);
		g_async_stats.retries.store(0);
		g_server_up.store(true);
		ferry_hk_init(&st, &cntr, kNow);
	}
	void TearDown() override
	{
		if (g_rbuf_des) {
			ox_rbuffer_close(g_rbuf_des);
			g_rbuf_des = nullptr;
		}
		ox_queue_destroy(g_dlog_q);
		ox_queue_destroy(g_diginfo_freepool_q);
		g_dlog_q = nullptr;
		g_diginfo_freepool_q = nullptr;
		fls_stop(server);
		unlink(pipe.c_str());
		if (g_sockaddr_in_v) {
			ox_vector_destroy(g_sockaddr_in_v);
			g_sockaddr_in_v = nullptr;
		}
		for (int dc = 0; dc < 2; dc++) {
			g_rcfg[dc] = cluster_cfg{};
		}
		g_ferry_cntr = nullptr;
		g_server_up.store(false);
		ferry_test_reset_config();
		if (!dlog_path.empty()) {
			unlink(dlog_path.c_str());
		}
	}
	std::string log_since() { return ferry_test_read_file(log_path).substr(log_start); }
	// A digest log of 1000 records, all read by the main reader.
	void open_dlog()
	{
		dlog_path = ferry_test_path("hk_dlog");
		g_rbuf_des = ferry_test_open_dlog_at(dlog_path, 1 << 20, true);
		ASSERT_NE(g_rbuf_des, nullptr);
		std::vector<ferry_msg_ondisk> recs(1000);
		for (int i = 0; i < 1000; i++) {
			memset(&recs[(size_t)i], 0, sizeof(ferry_msg_ondisk));
			recs[(size_t)i].xm_type = FERRY_MSG_TYPE_DIGESTINFO;
			recs[(size_t)i].diginfo.digesttime = time_of(i);
		}
		ASSERT_EQ(ox_rbuffer_write(g_rbuf_des, (const char *)recs.data(), 1000), 1000);
		ASSERT_TRUE(ox_rbuffer_fflush(g_rbuf_des));
		std::vector<char> buf(1000 * FERRY_MSG_ONDISK_SIZE + 1);
		ASSERT_EQ(ferry_test_read_dlog(g_rbuf_des, buf.data(), 1000), 1000);
	}
	// Ticks until the tick count reaches `to`, one second apart.
	void tick_to(int to)
	{
		while (st.tick < to) {
			ASSERT_TRUE(ferry_housekeeper_tick(&st, kNow + (uint64_t)(st.tick + 1) * 1000));
		}
	}
	// The 32 user words of the digest log's first file header on disk.
	std::vector<uint64_t> words_on_disk()
	{
		std::vector<uint64_t> w(DC_MAX_NUM);
		int fd = open(dlog_path.c_str(), O_RDONLY);
		EXPECT_GE(fd, 0);
		off_t at = (off_t)sizeof(ox_rbuffer_chdr) + (off_t)offsetof(ox_rbuffer_hdr, udata);
		EXPECT_EQ(pread(fd, w.data(), w.size() * 8, at), (ssize_t)(w.size() * 8));
		close(fd);
		return w;
	}

	std::string pipe, dlog_path;
	fake_local_server *server = nullptr;
	counters cntr;
	ferry_hk_state st;
	std::string log_path;
	size_t log_start = 0;
};

// What each tick does, and at tick 60 in which order: queue lines (only of
// the queues that exist: the engine's are not made yet), the reclaim, the
// time-lag lines, the statistics lines, the persistence.
TEST_F(Housekeeper, TicksTenAndSixtyInOrder)
{
	open_dlog();
	cntr.dlog_pkts_logged = 1000;
	cntr.dlog_pkts_processed = 1000;
	// DC1 has handed over everything; DC2, down, trails the newest write by
	// 5 seconds. The reclaim may go 5 minutes behind the smallest of the
	// server's and this node's minima: to record 550.
	g_lastshiptime[0].lst_main = time_of(5000) + FERRY_TIME_ADJUST;
	g_lastshiptime[1].lst_main = time_of(600) + FERRY_TIME_ADJUST;
	g_last_logwrite_time.store(time_of(600) + FERRY_TIME_ADJUST + 5000);
	g_rcfg[1].cluster_health = CLUSTER_DOWN;
	fls_set_min_lastship_text(server, std::to_string(time_of(550) + FERRY_TIME_ADJUST).c_str());

	struct step {
		int tick;
		int stats;       // statistics lines (and persists) since the start
		bool queues;     // queue lines and reclaim at this tick
	};
	std::string at60;
	for (step s : {step{9, 0, false}, step{10, 1, false}, step{59, 5, false}, step{60, 6, true}}) {
		SCOPED_TRACE("tick " + std::to_string(s.tick));
		size_t before = ferry_test_read_file(log_path).size();
		tick_to(s.tick);
		std::string all = log_since(), now = ferry_test_read_file(log_path).substr(before);
		EXPECT_EQ(ferry_test_count_of(all, "Throughput="), s.stats);
		EXPECT_EQ(ferry_test_count_of(all, "Outstanding=[Remote Response=0 UnLogged=0]"), s.stats);
		EXPECT_EQ(ferry_test_count_of(all, "lastship logging successfull....."), s.stats);
		EXPECT_EQ(ferry_test_count_of(now, "LogQ : AllocSize="), s.queues ? 1 : 0);
		EXPECT_EQ(ferry_test_count_of(now, "Timelag = "), s.queues ? 2 : 0);
		EXPECT_EQ(fls_requests(server, FLS_MIN_LASTSHIP_REQUEST), s.queues ? 1 : 0);
		if (s.queues) {
			at60 = now;
		}
	}
	std::vector<std::string> order = {
		"LogQ : AllocSize=",
		"DigInfoQ : AllocSize=",
		"Reclaimed 500 records space in digest log... ",
		"DC DC1 : Timelag = 0 secs, State= CLUSTER_UP",
		"DC DC2 : Timelag = 5 secs, State= CLUSTER_DOWN",
		"Throughput=",
		"Outstanding=",
		"DC 0 lastship=",
		"lastship logging successfull.....",
	};
	size_t at = 0;
	for (const std::string &line : order) {
		size_t found = at60.find(line, at);
		ASSERT_NE(found, std::string::npos) << line << " after offset " << at << " in\n" << at60;
		at = found + line.size();
	}
	EXPECT_EQ(at60.find("AsyncQ :"), std::string::npos);
	EXPECT_EQ(at60.find("WorkitemsQ :"), std::string::npos);
	EXPECT_EQ(cntr.dlog_pkts_reclaimed, 500u);
}

// While the local server is down no tick passes: no report, no line, no
// count; the count goes on from where it was once it is up.
TEST_F(Housekeeper, ServerDownNoTick)
{
	g_lastshiptime[0].lst_main = time_of(5000);
	g_server_up.store(false);
	for (int i = 1; i <= 15; i++) {
		EXPECT_FALSE(ferry_housekeeper_tick(&st, kNow + (uint64_t)i * 1000));
	}
	EXPECT_EQ(st.tick, 0);
	EXPECT_EQ(fls_requests(server, ""), 0);
	EXPECT_EQ(log_since(), "");
	g_server_up.store(true);
	EXPECT_TRUE(ferry_housekeeper_tick(&st, kNow + 16000));
	EXPECT_EQ(st.tick, 1);
	uint64_t values[DC_MAX_NUM];
	EXPECT_EQ(fls_lastship_reports(server, values, nullptr), 1);
	EXPECT_EQ(values[0], time_of(5000));
}

// The lag of each datacenter at a statistics tick.
TEST_F(Housekeeper, TimeLags)
{
	struct lcase {
		const char *what;
		int32_t health;
		uint64_t written;   // g_last_logwrite_time; 0: nothing written yet
		uint64_t localmin;
		uint64_t processed; // of 100 logged
		uint64_t lag;
	};
	const uint64_t t = 1800000000000ULL;
	std::vector<lcase> cases = {
		{"up, all read, old last-ship time", CLUSTER_UP, t, t - 3600000, 100, 0},
		{"up, not all read", CLUSTER_UP, t, t - 3600000, 99, 3600000},
		{"down, all read", CLUSTER_DOWN, t, t - 7000, 100, 7000},
		{"window shipping, all read", CLUSTER_WINDOW_SHIP, t, t - 7000, 100, 7000},
		{"last-ship time ahead of the newest write", CLUSTER_DOWN, t, t + 5000, 100, 0},
		{"last-ship time ahead, not all read", CLUSTER_UP, t, t + 5000, 50, 0},
		{"nothing written: from the boot time", CLUSTER_DOWN, 0, kT0 - 2000, 100, 2000},
	};
	for (const lcase &c : cases) {
		SCOPED_TRACE(c.what);
		g_rcfg[0].cluster_health = c.health;
		g_last_logwrite_time.store(c.written);
		g_lastshiptime[0].lst_main = c.localmin;
		cntr.dlog_pkts_logged = 100;
		cntr.dlog_pkts_processed = c.processed;
		int next = (st.tick / 10 + 1) * 10;
		tick_to(next);
		EXPECT_EQ(cntr.per_dc_counters[0].timediff_lastship_cur, c.lag);
	}
}

// Replies per second since the previous statistics, the retries since then,
// the line with the 64-bit counts; two statistics in the same millisecond
// divide by 1, not 0.
TEST_F(Housekeeper, ThroughputAndStatisticsLines)
{
	cntr.remote_ship_total = 2000;
	cntr.dlog_pkts_logged = 5000000000ULL; // beyond 32 bits
	cntr.dlog_pkts_relogged = 3;
	cntr.dlog_pkts_processed = 4000;
	cntr.dlog_pkts_replprocessed = 5;
	cntr.dlog_pkts_resume_replprocessed = 6;
	cntr.dlog_pkts_really_processed = 3900;
	cntr.dlog_pkts_unlogged = 12;
	g_async_stats.retries.store(7);
	tick_to(10); // 10.0 seconds after the start
	EXPECT_EQ(cntr.remote_ship_throughput, 200u);
	std::string log = log_since();
	EXPECT_NE(log.find("Throughput=200      Total=[Shipped=2000 Logged[+resumed]=5000000000 Relogged=3 "
			   "LocalProcessed=4000 ReplicaProcessed=11 Retries=7] Unique=[3900]"),
			std::string::npos)
			<< log;
	EXPECT_NE(log.find("Outstanding=[Remote Response=0 UnLogged=12]"), std::string::npos);

	cntr.remote_ship_total = 2050;
	g_async_stats.retries.store(10);
	st.tick = 19;
	ASSERT_TRUE(ferry_housekeeper_tick(&st, kNow + 10000)); // no time passed
	EXPECT_EQ(cntr.remote_ship_throughput, 50000u);
	EXPECT_NE(log_since().find("Retries=3]"), std::string::npos);
	g_async_stats.retries.store(0);
}

// Every tenth tick the local minima go into the header's user words (0 for a
// datacenter not configured) and the headers are persisted.
TEST_F(Housekeeper, LastShipTimesPersisted)
{
	open_dlog();
	g_lastshiptime[0].lst_main = time_of(10);
	g_lastshiptime[1].lst_main = time_of(20);
	g_lastshiptime[1].lst_windowship = time_of(15);
	g_rbuf_des->hdr[0].udata[5] = 77; // not configured: cleared
	tick_to(9);
	EXPECT_EQ(words_on_disk()[0], 0u);
	tick_to(10);
	std::vector<uint64_t> w = words_on_disk();
	EXPECT_EQ(w[0], time_of(10));
	EXPECT_EQ(w[1], time_of(15));
	EXPECT_EQ(w[5], 0u);
	std::string log = log_since();
	EXPECT_NE(log.find("DC 0 lastship=" + std::to_string(time_of(10)) + ","), std::string::npos);
	EXPECT_NE(log.find("DC 1 lastship=" + std::to_string(time_of(15)) + ","), std::string::npos);
	EXPECT_EQ(log.find("DC 5 lastship="), std::string::npos);
}

} // namespace
