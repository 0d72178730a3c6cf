// Failed-node runs on threads of their own, as the pipe reader starts them:
// repeated reports that move a running node's end, reports that land while
// a run finishes, and two runs at once, each holding its own last-ship time.
#include <thread>

#include "failnode_fixture.h"
#include "tamberlin/ferry.h"
#include "testkit/fake_local_server.h"

namespace {

using namespace failnode_test;

constexpr ox_node kFailed = 0xF1;
constexpr ox_node kSecond = 0xC3;

class FailNodeThreads : public FailNode {
protected:
	// A failure report of node through the pipe reader's dispatch, whose
	// start times are t0 at every datacenter.
	void report_on_pipe(ox_node node)
	{
		uint64_t lst[DC_MAX_NUM] = {0};
		for (int d = 0; d < n_dcs; d++) {
			lst[d] = t0 + ferry_time_adjust();
		}
		ferry_msg m;
		fls_make_failed(&m, node, lst);
		ferry_namedpipe_dispatch(&m, &td);
	}
	int slot_of(ox_node node)
	{
		for (int i = 0; i < g_maxfailedever; i++) {
			if (g_failednodeinfo[i].node == node) {
				return i;
			}
		}
		return -1;
	}
	bool at_both(uint32_t n)
	{
		std::string k = key(digest_of(n));
		for (int dc = 0; dc < 2; dc++) {
			std::vector<std::string> v = got(dc, FAKE_REQ_WRITE);
			if (std::find(v.begin(), v.end(), k) == v.end()) {
				return false;
			}
		}
		return true;
	}
	static bool clock_past(uint64_t t)
	{
		return ferry_test_wait_until([t] { return ox_clock_getabsolute() > t; });
	}
};

// A repeated report while the node's run waits for late records moves the
// run's end: a record logged after the first report's end still goes out.
TEST_F(FailNodeThreads, ARepeatedReportMovesTheEndOfTheRun)
{
	g_ferry_time_divisor = 200; // a margin of 1.5 s
	local_in(kNsName, 40, 1);
	local_in(kNsName, 41, 1);
	log_recs({{40, t0 + 1000, kFailed}});
	report_on_pipe(kFailed);
	int s = slot_of(kFailed);
	ASSERT_GE(s, 0);
	ASSERT_TRUE(ferry_test_wait_until([&] { return at_both(40); }));
	uint64_t end1 = g_failednodeinfo[s].failtime.load();
	ASSERT_TRUE(clock_past(end1 - ferry_time_adjust()));
	report_on_pipe(kFailed);
	uint64_t end2 = g_failednodeinfo[s].failtime.load();
	EXPECT_GT(end2, end1);
	ASSERT_TRUE(clock_past(end1));
	log_recs({{41, ox_clock_getabsolute(), kFailed}});
	EXPECT_TRUE(ferry_test_wait_until([&] { return at_both(41); }));
	EXPECT_EQ(g_maxfailedever, 1) << "the same node's slot serves both reports";
}

// Reports of a node that land around the end of its run, before, during or
// after its last steps, are never lost: each one's record reaches both
// datacenters, whether the run took the new end, ran again, or a new run
// started.
TEST_F(FailNodeThreads, AReportAsTheRunEndsIsNeverLost)
{
	constexpr uint32_t kReports = 8;
	for (uint32_t i = 0; i < kReports; i++) {
		local_in(kNsName, 50 + i, 1);
	}
	uint64_t prev_end = 0;
	for (uint32_t i = 0; i < kReports; i++) {
		SCOPED_TRACE(i);
		if (prev_end) {
			// Just before, at, or just after the last end.
			ASSERT_TRUE(clock_past(prev_end + i % 3 - 2));
		}
		log_recs({{50 + i, ox_clock_getabsolute(), kFailed}});
		report_on_pipe(kFailed);
		ASSERT_TRUE(ferry_test_wait_until([&] { return at_both(50 + i); }));
		int s = slot_of(kFailed);
		ASSERT_GE(s, 0);
		prev_end = g_failednodeinfo[s].failtime.load();
	}
}

// Two runs at once: each holds the datacenters at what it last shipped, the
// smaller hold is the reported time, and the run that ends first gives up
// only its own.
TEST_F(FailNodeThreads, TwoRunsEachHoldTheirOwnTimeAndReleaseOnlyIt)
{
	for (uint32_t n : {60, 61, 62}) {
		local_in(kNsName, n, 1);
	}
	log_recs({{60, t0 + 1000, kFailed}, {61, t0 + 3000, kSecond}, {62, t0 + 5000, kFailed}});
	uint64_t far = ox_clock_getabsolute() + 600000;
	int a = report(kFailed, {t0, t0}, far);
	int b = report(kSecond, {t0, t0}, far);
	std::thread ra([&] { run(a); });
	std::thread rb([&] { run(b); });
	auto holds = [&](int s, uint64_t t) {
		return g_failednodeinfo[s].lst_hold[0].load() == t && g_failednodeinfo[s].lst_hold[1].load() == t;
	};
	EXPECT_TRUE(ferry_test_wait_until([&] { return holds(a, t0 + 5000) && holds(b, t0 + 3000); }));
	for (int dc = 0; dc < 2; dc++) {
		EXPECT_EQ(ferry_failednode_lst_min(dc), t0 + 3000);
		ferry_get_min_lst_for_dcid(dc);
		EXPECT_EQ(ox_atomic64_get(&g_lastshiptime[dc].lst_failednode), t0 + 3000);
	}

	// The second run ends (its end moved to now): the first still holds.
	g_failednodeinfo[b].failtime.store(ox_clock_getabsolute());
	rb.join();
	EXPECT_FALSE(g_failednodeinfo[b].slotinuse.load());
	for (int dc = 0; dc < 2; dc++) {
		EXPECT_EQ(ferry_failednode_lst_min(dc), t0 + 5000);
		EXPECT_EQ(ox_atomic64_get(&g_lastshiptime[dc].lst_failednode), t0 + 5000);
	}

	g_failednodeinfo[a].failtime.store(ox_clock_getabsolute());
	ra.join();
	EXPECT_TRUE(all_lst_none());
	EXPECT_TRUE(ferry_test_wait_until([&] { return at_both(60) && at_both(61) && at_both(62); }));
}

// A run hands its writes over and lets go of its holds as it ends, while one
// datacenter's replies are still to come: those writes hold that
// datacenter's local minimum (reported and persisted) at or below their
// oldest until they are answered; the other datacenter's moves on with its
// replies.
TEST_F(FailNodeThreads, RunWritesAwaitingRepliesHoldTheLocalMinimum)
{
	uint64_t main = ox_clock_getabsolute();
	for (int dc = 0; dc < 2; dc++) {
		g_lastshiptime[dc].lst_main = main;
	}
	std::vector<rec> recs;
	for (uint32_t i = 0; i < 5; i++) {
		local_in(kNsName, 70 + i, 1);
		recs.push_back({70 + i, t0 + 1000 + 1000 * i, kFailed});
	}
	log_recs(recs);
	g_xcfg.ferry_timeout = 60000; // no write gives up while its reply is held
	fake_node_hold(remote(0), FAKE_REQ_WRITE);
	int s = report(kFailed, {t0, t0}, t0 + 10000);
	run(s);
	EXPECT_FALSE(g_failednodeinfo[s].slotinuse.load());
	EXPECT_TRUE(all_lst_none());
	ASSERT_TRUE(fake_node_wait_held(remote(0), 1, 60000));

	uint64_t oldest = t0 + 1000;
	ferry_get_min_lst_for_dcid(0);
	EXPECT_LE(g_lastshiptime[0].lst_localmin, oldest);
	uint64_t words[DC_MAX_NUM] = {};
	ferry_store_lst_to_words(words);
	EXPECT_LE(words[0], oldest);
	EXPECT_TRUE(ferry_test_wait_until([&] {
		ferry_get_min_lst_for_dcid(1);
		return g_lastshiptime[1].lst_localmin == main;
	}));

	fake_node_release(remote(0));
	EXPECT_TRUE(ferry_test_wait_until([&] { return at_both(70) && at_both(74); }));
	EXPECT_TRUE(ferry_test_wait_until([&] {
		ferry_get_min_lst_for_dcid(0);
		return g_lastshiptime[0].lst_localmin == main;
	}));
}

} // namespace
