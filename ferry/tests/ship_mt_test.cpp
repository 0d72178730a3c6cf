// Shipping from several threads at once: two threads that both find an up
// datacenter gone start one window manager between them, and a thread at the
// engine's in-flight limit waits until a write comes back, then sends.
#include <gtest/gtest.h>

#include <pthread.h>

#include <set>
#include <thread>

#include "../src/ferry_ship.h"
#include "../src/ferry_windows.h"
#include "road_fixture.h"

namespace {

using namespace road_test;

int
ship_record(uint32_t n, counters *c)
{
	ka::ox_digest d = digest_of(n);
	ka_bin b = int_bin("i", n);
	return ferry_queue_digest(&g_rcfg[0], (char *)kNsName, &d, nullptr, 0, &b, 1, kNs, 2, 0, c, false, 0, false);
}

class ShipMt : public RoadTest {};

TEST_F(ShipMt, TwoThreadsFindingTheDatacenterDownStartOneManager)
{
	ka_cluster_test_set_tick_ms(10);
	tamberlin_cluster_change_tend_speed(g_rcfg[0].asc, 1);
	fake_cluster_stop_node(remote_fc[0], 0);
	ASSERT_TRUE(ferry_test_wait_until([] { return tamberlin_check_cluster_health(g_rcfg[0].asc) == TAMBERLIN_FAIL_DC_DOWN; }));
	g_xcfg.ferry_timeout = 200;

	for (int round = 0; round < 4; round++) {
		SCOPED_TRACE(round);
		// Health leaves down only through its manager: the round before's
		// manager ends before the datacenter is marked up again.
		g_window_managers_quit = true;
		ASSERT_TRUE(ferry_test_wait_until(
				[] { return g_window_managers_ended.load() == g_window_managers_started.load(); }));
		g_window_managers_quit = false;
		__atomic_store_n(&g_rcfg[0].cluster_health, (int32_t)CLUSTER_UP, __ATOMIC_RELEASE);
		uint64_t started = g_window_managers_started.load();
		int rv[2] = {-9, -9};
		std::thread a([&] { rv[0] = ship_record(1, &cntr); });
		std::thread b([&] { rv[1] = ship_record(2, &cntr); });
		a.join();
		b.join();
		EXPECT_EQ(1, rv[0]);
		EXPECT_EQ(1, rv[1]);
		EXPECT_EQ(started + 1, g_window_managers_started.load());
		EXPECT_EQ(CLUSTER_DOWN, __atomic_load_n(&g_rcfg[0].cluster_health, __ATOMIC_ACQUIRE));
		EXPECT_EQ(&cntr, g_rcfg[0].cntr);
		EXPECT_EQ(2, pool_size()); // both records back, once each
		// Found down, a datacenter takes nothing more.
		EXPECT_EQ(1, ship_record(3, &cntr));
	}
	EXPECT_EQ(0u, get(cntr.remote_ship_total));
	EXPECT_EQ(0u, get(cntr.remote_ship_clientfail));
	ka_cluster_test_set_tick_ms(1000);
}

// A send that cannot reach the datacenter until its deadline checks the
// health at once, not after a tend period (60 seconds here), and finds it
// down: the node it could not reach counts unreachable already.
TEST_F(ShipMt, AFailedSendChecksTheHealthAtOnce)
{
	tamberlin_cluster_change_tend_speed(g_rcfg[0].asc, 60);
	fake_cluster_stop_node(remote_fc[0], 0);
	g_xcfg.ferry_timeout = 200;
	std::atomic<bool> done{false};
	int rv = -9;
	std::thread t([&] {
		rv = ship_record(1, &cntr);
		done = true;
	});
	EXPECT_TRUE(ferry_test_wait_until([&] { return done.load(); }, 10000));
	t.join();
	EXPECT_EQ(1, rv);
	EXPECT_EQ(CLUSTER_DOWN, ferry_health_get(&g_rcfg[0]));
	EXPECT_EQ(1, pool_size());
}

// Writes that the datacenter never answers: their failures find it down
// (as a failed send does) and start its window manager, and since the window
// opened for the outage holds them, none is put back on the digest-log queue
// (from where it would go to every datacenter again).
TEST_F(ShipMt, UnansweredWritesFindTheDatacenterDownAndAreLeftToItsWindow)
{
	g_xcfg.ferry_timeout = 300;
	fake_node_set_silent(remote(), true, FAKE_REQ_WRITE);
	uint64_t started = g_window_managers_started.load();
	for (uint32_t n = 1; n <= 3; n++) {
		ASSERT_EQ(0, ship_record(n, &cntr));
	}
	// Every callback has run: the three records are back in the pool.
	ASSERT_TRUE(ferry_test_wait_until([] { return pool_size() == 3; }));
	EXPECT_EQ(3u, get(cntr.remote_ship_clientfail));
	EXPECT_EQ(started + 1, g_window_managers_started.load());
	EXPECT_EQ(CLUSTER_DOWN, ferry_health_get(&g_rcfg[0]));
	EXPECT_EQ(0u, take_dlog_q().size());
	EXPECT_EQ(0u, get(cntr.dlog_pkts_relogged));
	// Found down, it takes nothing more.
	EXPECT_EQ(1, ship_record(4, &cntr));
}

// A write that a window manager or a failed-node run sent again is far older
// than where the window opened for an outage starts: when its failure finds
// the datacenter down, it goes back through the digest log all the same, and
// its road holds the local minimum until then.
TEST_F(ShipMt, AReshippedWriteThatFindsTheDatacenterDownIsRelogged)
{
	uint64_t main = ox_clock_getabsolute();
	g_lastshiptime[0].lst_main = main;
	uint64_t old = main - 10 * FERRY_TIME_ADJUST;
	g_xcfg.ferry_timeout = 300;
	fake_node_set_silent(remote(), true, FAKE_REQ_WRITE);
	uint64_t started = g_window_managers_started.load();
	// Three unanswered writes count the node unreachable.
	for (uint32_t n = 1; n <= 3; n++) {
		ka::ox_digest d = digest_of(n);
		ferry_msg_ondisk x = ferry_test_digestinfo(kNs, d.digest, 1, old + n, 0, 0);
		ferry_refetch f{};
		ka_bin b = int_bin("i", n);
		f.bins = &b;
		f.n_bins = 1;
		f.generation = 1;
		ASSERT_EQ(0, ferry_refetch_send(&g_rcfg[0], &x.diginfo, &f, &cntr, 0, ferry_inflight_window_ring(0)));
	}
	ferry_get_min_lst_for_dcid(0);
	EXPECT_EQ(old + 1, g_lastshiptime[0].lst_localmin);

	ASSERT_TRUE(ferry_test_wait_until([] { return pool_size() == 3; }));
	EXPECT_EQ(started + 1, g_window_managers_started.load());
	EXPECT_EQ(CLUSTER_DOWN, ferry_health_get(&g_rcfg[0]));
	std::vector<ferry_msg> q = take_dlog_q();
	std::set<uint32_t> relogged;
	for (const ferry_msg &m : q) {
		uint32_t v;
		memcpy(&v, m.data.diginfo.digest, sizeof(v));
		relogged.insert(v);
	}
	EXPECT_EQ((std::set<uint32_t>{1, 2, 3}), relogged);
	// Dealt with, they hold nothing: what holds now is the window opened for
	// the outage.
	ferry_get_min_lst_for_dcid(0);
	EXPECT_EQ(ferry_sub_sat(main, ferry_time_adjust()), g_lastshiptime[0].lst_localmin);
}

class ShipAtTheLimit : public RoadTest {
protected:
	ShipAtTheLimit() { inflight_limit = 1; }
};

TEST_F(ShipAtTheLimit, WaitsForAWriteToComeBack)
{
	for (int i = 0; i < 2; i++) {
		digestinfo *di = (digestinfo *)ox_malloc(sizeof(digestinfo));
		ASSERT_EQ(OX_QUEUE_OK, ox_queue_push(g_diginfo_freepool_q, &di));
	}
	fake_node_hold(remote(), FAKE_REQ_WRITE);
	ASSERT_EQ(0, ship_record(1, &cntr));
	ASSERT_TRUE(fake_node_wait_held(remote(), 1, 30000));
	uint64_t one = get(cntr.remote_ship_total_bytes);

	std::atomic<bool> done{false};
	int rv = -9;
	std::thread t([&] {
		rv = ship_record(2, &cntr);
		done = true;
	});
	// The second record is taken: its thread is in the send loop, which the
	// limit holds while the first write waits at the stand-in.
	ASSERT_TRUE(ferry_test_wait_until([] { return pool_size() == 0; }));
	EXPECT_FALSE(done.load());
	EXPECT_EQ(one, get(cntr.remote_ship_total_bytes));
	fake_node_release(remote());
	t.join();
	EXPECT_EQ(0, rv);
	ASSERT_TRUE(ferry_test_wait_until([&] { return get(cntr.remote_ship_total) == 2 && pool_size() == 2; }));
	EXPECT_EQ(2 * one, get(cntr.remote_ship_total_bytes)); // the waits counted nothing
	std::vector<remote_write> w = writes_of(remote());
	ASSERT_EQ(2u, w.size());
	EXPECT_NE(w[0].digest, w[1].digest);
}

// A thread that waits for room in a datacenter's share gives up its record
// once the datacenter is found down: its window ships it later.
TEST_F(ShipAtTheLimit, StopsWaitingForADatacenterFoundDown)
{
	for (int i = 0; i < 2; i++) {
		digestinfo *di = (digestinfo *)ox_malloc(sizeof(digestinfo));
		ASSERT_EQ(OX_QUEUE_OK, ox_queue_push(g_diginfo_freepool_q, &di));
	}
	fake_node_hold(remote(), FAKE_REQ_WRITE);
	ASSERT_EQ(0, ship_record(1, &cntr));
	ASSERT_TRUE(fake_node_wait_held(remote(), 1, 30000));
	std::atomic<bool> done{false};
	int rv = -9;
	std::thread t([&] {
		rv = ship_record(2, &cntr);
		done = true;
	});
	ASSERT_TRUE(ferry_test_wait_until([] { return pool_size() == 0; }));
	EXPECT_FALSE(done.load());
	ASSERT_TRUE(ferry_health_cas(&g_rcfg[0], CLUSTER_UP, CLUSTER_DOWN));
	ASSERT_TRUE(ferry_test_wait_until([&] { return done.load(); }));
	t.join();
	EXPECT_EQ(1, rv);
	fake_node_release(remote());
	ASSERT_TRUE(ferry_test_wait_until([&] { return get(cntr.remote_ship_total) == 1 && pool_size() == 2; }));
	EXPECT_EQ(1u, writes_of(remote()).size());
}

} // namespace
