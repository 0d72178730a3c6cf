// The window manager against stand-in datacenters that go away and come
// back: its walk from down through window shipping to up with its log lines,
// a second outage while it ships, failed-node windows appended while it
// ships or after it has gone, a down stored while it finishes, the digest
// log overwritten under a window's reader, and a failed node's window that
// waits for its end.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "../src/ferry_ship.h"
#include "../src/ferry_windows.h"
#include "windows_fixture.h"

namespace {

using namespace windows_test;

constexpr ox_node kFailed = 0xF1;

class Windows : public WindowsTest {
protected:
	void SetUp() override
	{
		WindowsTest::SetUp();
		if (HasFatalFailure()) {
			return;
		}
		// The failed node was there at boot: this node's windows leave its
		// records to its own windows.
		g_bootnodes[0] = kFailed;
		g_bootnodecount = 1;
		g_failover = true;
		g_lastshiptime[0].lst_main = t0 + 50;
	}

	uint64_t main_start() { return t0 + 50 - ferry_time_adjust(); }

	// The datacenter goes away, a ship finds it down and its manager opens
	// the first window.
	void outage()
	{
		tend_fast();
		stop_remote();
		ship_into_outage(1000);
		ASSERT_TRUE(log_has("Created a new window and put start time in the Ship List"));
	}

	// It comes back; the manager's first fetch from the local cluster waits
	// at the stand-in, so the test sees it in window shipping.
	void back_held()
	{
		fake_node_hold(local(), FAKE_REQ_READ);
		restart_remote();
		ASSERT_TRUE(fake_node_wait_held(local(), 1, 60000));
		EXPECT_EQ(CLUSTER_WINDOW_SHIP, health());
	}

	bool all_done()
	{
		return ferry_test_wait_until([&] { return managers_done() && health() == CLUSTER_UP; });
	}

	static std::string num(uint64_t v) { return std::to_string(v); }
};

TEST_F(Windows, WalksFromDownThroughWindowShippingToUp)
{
	write_log(run(1, 20, t0));
	outage();
	EXPECT_EQ(CLUSTER_DOWN, health());
	std::vector<window_view> w = windows();
	ASSERT_EQ(1u, w.size());
	EXPECT_EQ(main_start(), w[0].start);
	EXPECT_EQ(0u, w[0].end);
	EXPECT_EQ(0u, w[0].node);
	EXPECT_EQ(main_start(), lst_window()); // the reclaim keeps the window's records

	uint64_t before = ox_clock_getabsolute();
	back_held();
	w = windows();
	ASSERT_EQ(1u, w.size());
	EXPECT_GE(w[0].end, before + ferry_time_adjust()); // closed five minutes ahead
	fake_node_release(local());

	ASSERT_TRUE(all_done());
	EXPECT_TRUE(wait_got_all(0, 1, 20));
	EXPECT_TRUE(windows().empty());
	EXPECT_EQ(FERRY_LST_NONE, lst_window());
	EXPECT_EQ(t0 + 50, g_lastshiptime[0].lst_main); // only the main reader moves it
	EXPECT_TRUE(log_in_order({
			"Windowshipper: Changing Cluster State of DC DC1 to CLUSTER_DOWN",
			"Windowshipper: For node id 0. Created a new window and put start time in the Ship List",
			"Windowshipper: For node id 0. Number of windows on list 1",
			"Windowshipper: For node id 0. Cluster has come Up 0",
			"Windowshipper: For node id 0. Changing Cluster State to CLUSTER_WINDOW_SHIP",
			"Windowshipper: For node id 0. Start window shipping between " + num(main_start()) + " and ",
			"Windowshipper: Start digest timestamp " + num(t0),
			"Windowshipper: For node id 0. Done window shipping between " + num(main_start()) + " and ",
			"Windowshipper: For node id 0. Number of windows on list 0",
			"Windowshipper: For node id 0. Done with shipping of all windows",
			"Windowshipper: For node id 0. Changing Cluster State to CLUSTER_UP",
	}));
}

// The wall clock steps back, by more than the margin, while the datacenter
// is away: the window still closes after every record stamped before, and
// ships them all.
std::atomic<int64_t> g_wall_offset{0};
uint64_t
stepped_wall(void)
{
	return (uint64_t)((int64_t)ox_clock_getabsolute() + g_wall_offset.load());
}

TEST_F(Windows, AWallClockSteppingBackNeitherDropsNorCutsAWindow)
{
	write_log(run(1, 20, t0));
	const uint64_t last_stamp = ferry_stamp_clock(); // as the pipe reader stamped them
	outage();
	struct wall_guard {
		wall_guard()
		{
			g_wall_offset.store(-200000);
			g_ferry_wallclock.store(stepped_wall);
		}
		~wall_guard() { g_ferry_wallclock.store(nullptr); }
	} guard;
	back_held();
	std::vector<window_view> w = windows();
	ASSERT_EQ(1u, w.size());
	EXPECT_GE(w[0].end, last_stamp + ferry_time_adjust());
	EXPECT_LE(w[0].start, w[0].end);
	fake_node_release(local());
	ASSERT_TRUE(all_done());
	EXPECT_TRUE(wait_got_all(0, 1, 20));
}

TEST_F(Windows, ASecondOutageResumesTheWindowAndOpensAnother)
{
	write_log(run(1, 10, t0));
	outage();
	back_held();
	stop_remote();
	fake_node_release(local());
	// The first record's ship finds the datacenter gone again.
	ASSERT_TRUE(log_has("Windowshipper: For node id 0. Cluster down while window shipping at " + num(t0) +
			"..trying again"));
	ASSERT_TRUE(ferry_test_wait_until([&] { return windows().size() == 2; }));
	std::vector<window_view> w = windows();
	EXPECT_EQ(ferry_sub_sat(t0, ferry_time_adjust()), w[0].start);
	EXPECT_NE(0u, w[0].end);
	EXPECT_EQ(main_start(), w[1].start);
	EXPECT_EQ(0u, w[1].end);
	EXPECT_EQ(CLUSTER_DOWN, health());
	EXPECT_LE(lst_window(), w[0].start);
	EXPECT_TRUE(log_text().find("Cluster is down again when window shipping is going on. For node id 0") !=
			std::string::npos);

	restart_remote();
	ASSERT_TRUE(all_done());
	EXPECT_TRUE(wait_got_all(0, 1, 10));
	EXPECT_TRUE(windows().empty());
	EXPECT_TRUE(log_in_order({
			"Start window shipping between " + num(main_start()),
			"Cluster down while window shipping at",
			"Created a new window",
			"Changing Cluster State to CLUSTER_WINDOW_SHIP",
			"Start window shipping between " + num(w[0].start),
			"Done window shipping between " + num(w[0].start),
			"Start window shipping between " + num(w[1].start),
			"Done window shipping between " + num(w[1].start),
			"Changing Cluster State to CLUSTER_UP",
	}));
}

TEST_F(Windows, AFailedNodeWindowAppendedWhileShippingComesAfterTheOthers)
{
	std::vector<logrec> log = run(1, 10, t0);
	for (const logrec &r : run(50, 5, t0 + 200, kFailed)) {
		log.push_back(r);
	}
	write_log(log);
	outage();
	back_held();
	uint64_t fstart = t0 - 400, fend = t0 + 250;
	ASSERT_EQ(0, add_window(&g_rcfg[0], kFailed, fstart, fend));
	// Older than the window being shipped: the reclaim keeps it.
	EXPECT_EQ(fstart, lst_window());
	ferry_get_min_lst_for_dcid(0);
	EXPECT_EQ(fstart, g_lastshiptime[0].lst_localmin);
	std::vector<window_view> w = windows();
	ASSERT_EQ(2u, w.size());
	EXPECT_EQ(kFailed, w[1].node);
	EXPECT_EQ(fstart, w[1].start);
	EXPECT_EQ(fend + ferry_time_adjust(), w[1].end);
	fake_node_release(local());

	ASSERT_TRUE(all_done());
	EXPECT_TRUE(wait_got_all(0, 1, 10));
	EXPECT_TRUE(wait_got_all(0, 50, 5));
	EXPECT_TRUE(windows().empty());
	EXPECT_TRUE(log_in_order({
			"Windowshipper: Added a new window from " + num(fstart) + " to " + num(fend) + " for node id 241.",
			"Windowshipper: For node id 241 Number of windows on list 2",
			"Windowshipper: For node id 0. Done window shipping between " + num(main_start()),
			"Windowshipper: For node id 241. Start window shipping between " + num(fstart) + " and " +
					num(fend + ferry_time_adjust()),
			"Windowshipper: For node id 241. Done window shipping between " + num(fstart),
			"Windowshipper: For node id 0. Done with shipping of all windows",
	}));
}

TEST_F(Windows, ADownStoredWhileTheManagerFinishesSendsItBackToWaiting)
{
	// The one record of the window was written again since: nothing is sent,
	// so the manager goes straight from its window to its last step.
	write_log({{1, t0}});
	local_record(1, 2);
	outage();
	back_held();
	// A shipper meets a time-out and the health check says down.
	ASSERT_TRUE(ferry_health_cas(&g_rcfg[0], CLUSTER_WINDOW_SHIP, CLUSTER_DOWN));
	fake_node_release(local());

	ASSERT_TRUE(log_has("Cluster went down again before it could be set up"));
	ASSERT_TRUE(all_done());
	EXPECT_TRUE(windows().empty());
	EXPECT_TRUE(log_in_order({
			"Done window shipping between " + num(main_start()),
			"Cluster went down again before it could be set up",
			"Created a new window",
			"Changing Cluster State to CLUSTER_WINDOW_SHIP",
			"Done window shipping between " + num(main_start()),
			"Changing Cluster State to CLUSTER_UP",
	}));
}

TEST_F(Windows, AWindowAppendedAfterTheManagerLeftGetsAManager)
{
	write_log(run(50, 5, t0, kFailed));
	uint64_t started = g_window_managers_started.load();
	ASSERT_EQ(0, add_window(&g_rcfg[0], kFailed, t0 - 1, t0 + 100));
	EXPECT_EQ(started + 1, g_window_managers_started.load());
	ASSERT_TRUE(all_done());
	EXPECT_TRUE(wait_got_all(0, 50, 5));
	EXPECT_TRUE(windows().empty());
}

TEST_F(Windows, WindowsAppendedWhileManagersFinishAreAllShipped)
{
	write_log(run(50, 5, t0, kFailed));
	constexpr int kThreads = 2, kEach = 15;
	std::vector<std::thread> th;
	for (int t = 0; t < kThreads; t++) {
		th.emplace_back([&] {
			for (int i = 0; i < kEach; i++) {
				EXPECT_EQ(0, add_window(&g_rcfg[0], kFailed, t0 - 1, t0 + 100));
				// Let a manager that found its list empty get there.
				ferry_test_wait_until([] { return ox_ll_size(g_rcfg[0].ship_times) == 0; }, 50);
			}
		});
	}
	for (std::thread &t : th) {
		t.join();
	}
	ASSERT_TRUE(all_done());
	EXPECT_TRUE(windows().empty());
	EXPECT_TRUE(wait_got_all(0, 50, 5));
	std::string log = log_text();
	int done = 0;
	const std::string line = "For node id 241. Done window shipping between";
	for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) {
		done++;
	}
	EXPECT_EQ(kThreads * kEach, done); // every window once, none left behind
}

TEST_F(Windows, AFailedNodeWindowWaitsForRecordsUntilItsEnd)
{
	uint64_t now = ox_clock_getabsolute();
	write_log(run(50, 3, now - 1000, kFailed));
	uint64_t end = now + 3000;
	int rv = -9;
	uint64_t reached = 0, returned_at = 0;
	std::thread t([&] {
		rv = ferry_do_windowship(&g_rcfg[0], now - 2000, end, &reached, kFailed);
		returned_at = ox_clock_getabsolute();
	});
	ASSERT_TRUE(wait_got_all(0, 50, 3));
	// Later replica records of the node, still before the window's end.
	write_log(run(53, 2, ox_clock_getabsolute(), kFailed));
	EXPECT_TRUE(wait_got_all(0, 53, 2));
	t.join();
	EXPECT_EQ(0, rv);
	EXPECT_GE(returned_at, end);
}

class WindowsOverwritten : public Windows {
protected:
	WindowsOverwritten()
	{
		dlog_overwrite = true;
		dlog_size = 10 * 8004 + 2048; // 1000 records
	}
};

TEST_F(WindowsOverwritten, TheReaderResumesAtTheStartAndReachesTheEnd)
{
	write_log(run(1, 150, t0));
	uint64_t end = t0 + 1500 + 10 * 1249; // record 1400
	fake_node_hold(local(), FAKE_REQ_READ);
	int rv = -9;
	uint64_t reached = 0;
	std::thread t([&] { rv = ferry_do_windowship(&g_rcfg[0], t0 - 1, end, &reached, 0); });
	ASSERT_TRUE(fake_node_wait_held(local(), 1, 60000)); // at record 1, in the oldest segment
	write_log(run(151, 1250, t0 + 1500));                 // the oldest segments go
	fake_node_release(local());
	t.join();
	EXPECT_EQ(0, rv);
	EXPECT_EQ(end, reached);
	EXPECT_TRUE(log_text().find("Windowshipper: Digest log got wrapped. Continuing from the current start marker") !=
			std::string::npos);
	// The operator learns what the datacenter lost: records 2 to 500 (the
	// reader had taken record 1; the start moved to record 501).
	EXPECT_TRUE(log_text().find("Windowshipper: DC DC1: the digest log was overwritten under the window's reader: 499 records given up") !=
			std::string::npos) << log_text();
	// Everything still kept after the wrap reaches the datacenter.
	EXPECT_TRUE(wait_got_all(0, 901, 500));
}

} // namespace
