// Shipper state: last-ship minima with the "none" value, their storage in and
// restore from the digest log's user words (saturating the 5-minute
// adjustment), the first times given by the writer, the digest hash and the
// slot tables.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "ferry_fixture.h"
#include "tamberlin/ferry.h"
#include "tamberlin/ferry_shared.h"
#include "tamberlin/ox_shash.h"
#include "tamberlin/rbuffer.h"

namespace {

class State : public ::testing::Test {
protected:
	void SetUp() override
	{
		ferry_test_reset_config();
		memset(g_rcfg, 0, sizeof(g_rcfg));
		memset(g_lastshiptime, 0, sizeof(g_lastshiptime));
		g_last_logwrite_time.store(0);
		g_boottime = 0;
	}
};

TEST_F(State, LocalMinimumOfDatacenterInUse)
{
	g_dc_count = 2;
	g_rcfg[0].dc_inuse = true;
	struct {
		uint64_t main, window, failed, expect;
	} cases[] = {
		{1000, FERRY_LST_NONE, FERRY_LST_NONE, 1000}, // "none" never wins
		{5000, 4000, FERRY_LST_NONE, 4000},
		{5000, FERRY_LST_NONE, 3000, 3000},
		{5000, 7000, 6000, 5000},
		{0, FERRY_LST_NONE, FERRY_LST_NONE, 0},
	};
	// The failed-node time is a running failed-node run's hold.
	ferry_failednode_slots_reset();
	ASSERT_TRUE(ferry_failednode_claim(0));
	for (auto &c : cases) {
		g_lastshiptime[0] = {c.main, c.window, FERRY_LST_NONE, 0};
		ferry_failednode_hold(0, 0, c.failed);
		ferry_get_min_lst_for_dcid(0);
		EXPECT_EQ(g_lastshiptime[0].lst_localmin, c.expect);
		EXPECT_EQ(g_lastshiptime[0].lst_failednode, c.failed);
	}
	ferry_failednode_slots_reset();
}

TEST_F(State, DatacenterNotInUseFollowsTheLastWrite)
{
	g_dc_count = 2;
	g_rcfg[1].dc_inuse = false;
	g_boottime = 777;
	g_lastshiptime[1] = {5, 6, 7, 8};
	ferry_get_min_lst_for_dcid(1);
	EXPECT_EQ(g_lastshiptime[1].lst_main, 777u);
	EXPECT_EQ(g_lastshiptime[1].lst_localmin, 777u);
	g_last_logwrite_time.store(9000);
	ferry_get_min_lst_for_dcid(1);
	EXPECT_EQ(g_lastshiptime[1].lst_main, 9000u);
	EXPECT_EQ(g_lastshiptime[1].lst_localmin, 9000u);
}

TEST_F(State, UpdateByCallerKind)
{
	ferry_update_lst_for_this_node(11, MAIN_THREAD, 3);
	ferry_update_lst_for_this_node(22, WINDOWSHIPPER, 3);
	ferry_update_lst_for_this_node(33, FAILED_NODE, 3);
	ferry_update_lst_for_this_node(44, 7, 3);
	EXPECT_EQ(g_lastshiptime[3].lst_main, 11u);
	EXPECT_EQ(g_lastshiptime[3].lst_windowship, 22u);
	EXPECT_EQ(g_lastshiptime[3].lst_failednode, 33u);
	EXPECT_EQ(g_lastshiptime[3].lst_localmin, 0u);
}

// Writes awaiting replies hold their batch's floor per datacenter, whatever
// came after them, until the last of them is done; when every group awaits
// replies a new batch joins the newest one, and its older floor with it.
TEST_F(State, WritesAwaitingRepliesHoldTheirBatchFloor)
{
	g_dc_count = 2;
	g_rcfg[0].dc_inuse = true;
	g_rcfg[1].dc_inuse = true;
	ferry_inflight_batch_end();
	EXPECT_EQ(FERRY_INFLIGHT_NONE, ferry_inflight_take(0)); // between batches nothing counts
	EXPECT_EQ(FERRY_LST_NONE, ferry_inflight_floor(0));

	std::vector<int> groups;
	const int batches = FERRY_INFLIGHT_GROUPS + 2;
	for (int b = 0; b < batches; b++) {
		ferry_inflight_batch_begin(1000 + (uint64_t)b);
		groups.push_back(ferry_inflight_take(0));
		ASSERT_NE(FERRY_INFLIGHT_NONE, groups.back());
		ferry_inflight_batch_end();
	}
	EXPECT_EQ(groups[FERRY_INFLIGHT_GROUPS - 1], groups.back()); // the ring was full: joined
	EXPECT_EQ(1000u, ferry_inflight_floor(0));
	EXPECT_EQ(FERRY_LST_NONE, ferry_inflight_floor(1)); // another datacenter is not held
	g_lastshiptime[0] = {5000, FERRY_LST_NONE, FERRY_LST_NONE, 0};
	ferry_get_min_lst_for_dcid(0);
	EXPECT_EQ(1000u, g_lastshiptime[0].lst_localmin);

	// A batch older than all of them, while the ring is still full.
	ferry_inflight_batch_begin(500);
	int late = ferry_inflight_take(1);
	ferry_inflight_batch_end();
	EXPECT_EQ(groups.back(), late);
	EXPECT_EQ(500u, ferry_inflight_floor(1));
	EXPECT_EQ(500u, ferry_inflight_floor(0)); // the newest group holds dc 0 as well

	for (size_t i = 0; i < groups.size(); i++) {
		ferry_inflight_done(groups[i], 0);
		if (i == 0) {
			EXPECT_EQ(500u, ferry_inflight_floor(0));
		}
	}
	EXPECT_EQ(500u, ferry_inflight_floor(1));
	EXPECT_EQ(FERRY_LST_NONE, ferry_inflight_floor(0));
	ferry_inflight_done(late, 1);
	EXPECT_EQ(FERRY_LST_NONE, ferry_inflight_floor(1));
	// Groups with nothing outstanding are taken again, with their own floor.
	ferry_inflight_batch_begin(7000);
	int again = ferry_inflight_take(0);
	ferry_inflight_batch_end();
	EXPECT_EQ(7000u, ferry_inflight_floor(0));
	ferry_inflight_done(again, 0);
	ferry_get_min_lst_for_dcid(0);
	EXPECT_EQ(5000u, g_lastshiptime[0].lst_localmin);
}

// A road's writes (one thread's, in log order) fill a group at a time; the
// road's floor is the oldest group's with writes outstanding, moving on as
// the groups drain, and stays put when every group awaits replies (the newest takes
// the rest). The local minimum goes no further than a window's or a
// failed-node run's floor, run ended or not.
TEST_F(State, RoadWritesAwaitingRepliesHoldTheirOldestTime)
{
	constexpr int K = FERRY_INFLIGHT_ROAD_GROUP_WRITES;
	constexpr int G = FERRY_INFLIGHT_ROAD_GROUPS;
	ferry_inflight_ring *r = ferry_inflight_window_ring(0);
	ASSERT_NE(nullptr, r);
	EXPECT_EQ(nullptr, ferry_inflight_window_ring(DC_MAX_NUM));
	EXPECT_EQ(nullptr, ferry_inflight_failednode_ring(CLUSTER_MAX_SZ));
	EXPECT_EQ(FERRY_INFLIGHT_NONE, ferry_inflight_road_take(r, DC_MAX_NUM, 1));
	EXPECT_EQ(FERRY_LST_NONE, ferry_inflight_road_floor(r, 0));

	// Every group busy, a write per group time 1000 * (g + 1) onwards, then
	// an older one (a relog stamped a little earlier) joins the newest.
	std::vector<std::vector<int>> taken(G + 1);
	for (int g = 0; g < G; g++) {
		for (int i = 0; i < K; i++) {
			taken[(size_t)g].push_back(ferry_inflight_road_take(r, 0, 1000 * (uint64_t)(g + 1) + (uint64_t)i));
		}
	}
	taken[G].push_back(ferry_inflight_road_take(r, 0, 999));
	EXPECT_EQ(taken[G - 1][0], taken[G][0]);
	EXPECT_EQ(999u, ferry_inflight_road_floor(r, 0));
	EXPECT_EQ(FERRY_LST_NONE, ferry_inflight_road_floor(r, 1));
	for (int g = 0; g < G - 1; g++) {
		EXPECT_NE(taken[(size_t)g][0], taken[(size_t)g + 1][0]) << g;
	}

	// The newest group keeps the older floor until all of it is done.
	ferry_inflight_road_done(r, taken[G][0], 0);
	EXPECT_EQ(999u, ferry_inflight_road_floor(r, 0));
	for (int v : taken[G - 1]) {
		ferry_inflight_road_done(r, v, 0);
	}
	EXPECT_EQ(1000u, ferry_inflight_road_floor(r, 0));
	// A group holds its floor while any of its writes is outstanding.
	for (int i = 0; i < K - 1; i++) {
		ferry_inflight_road_done(r, taken[0][(size_t)i], 0);
	}
	EXPECT_EQ(1000u, ferry_inflight_road_floor(r, 0));
	ferry_inflight_road_done(r, taken[0][K - 1], 0);
	EXPECT_EQ(2000u, ferry_inflight_road_floor(r, 0));
	// The next writes go to the drained group, with their own floor.
	int next = ferry_inflight_road_take(r, 0, 90000);
	EXPECT_EQ(taken[0][0], next);
	for (int g = 1; g < G - 1; g++) {
		for (int v : taken[(size_t)g]) {
			ferry_inflight_road_done(r, v, 0);
		}
	}
	EXPECT_EQ(90000u, ferry_inflight_road_floor(r, 0));
	ferry_inflight_road_done(r, next, 0);
	EXPECT_EQ(FERRY_LST_NONE, ferry_inflight_road_floor(r, 0));

	// The local minimum, for a window's writes and for a run's (its slot
	// free: the run has ended).
	g_dc_count = 2;
	g_rcfg[1].dc_inuse = true;
	g_lastshiptime[1] = {5000, FERRY_LST_NONE, FERRY_LST_NONE, 0};
	ferry_failednode_slots_reset();
	struct {
		ferry_inflight_ring *ring;
	} roads[] = {{ferry_inflight_window_ring(1)}, {ferry_inflight_failednode_ring(CLUSTER_MAX_SZ - 1)}};
	for (auto &c : roads) {
		int g = ferry_inflight_road_take(c.ring, 1, 4000);
		ferry_get_min_lst_for_dcid(1);
		EXPECT_EQ(4000u, g_lastshiptime[1].lst_localmin);
		ferry_inflight_road_done(c.ring, g, 1);
		ferry_get_min_lst_for_dcid(1);
		EXPECT_EQ(5000u, g_lastshiptime[1].lst_localmin);
	}
}

TEST_F(State, UserWordsRoundTrip)
{
	g_dc_count = 3;
	uint64_t words[DC_MAX_NUM] = {0};
	words[0] = 1000000;
	words[1] = 0;        // never stored: the datacenter keeps 0
	words[2] = 100000;   // less than 5 minutes: saturates at 0, never wraps
	words[5] = 123456789; // not configured: ignored
	ferry_restore_lst_from_words(words);
	EXPECT_EQ(g_lastshiptime[0].lst_main, 1000000u - FERRY_TIME_ADJUST);
	EXPECT_EQ(g_lastshiptime[0].lst_windowship, FERRY_LST_NONE);
	EXPECT_EQ(g_lastshiptime[0].lst_failednode, FERRY_LST_NONE);
	EXPECT_EQ(g_lastshiptime[1].lst_main, 0u);
	EXPECT_EQ(g_lastshiptime[1].lst_windowship, 0u);
	EXPECT_EQ(g_lastshiptime[2].lst_main, 0u);
	EXPECT_EQ(g_lastshiptime[2].lst_windowship, FERRY_LST_NONE);
	EXPECT_EQ(g_lastshiptime[5].lst_main, 0u);

	for (int i = 0; i < DC_MAX_NUM; i++) {
		g_lastshiptime[i].lst_localmin = 1000 + (uint64_t)i;
	}
	uint64_t out[DC_MAX_NUM];
	memset(out, 0xff, sizeof(out));
	ferry_store_lst_to_words(out);
	EXPECT_EQ(out[0], 1000u);
	EXPECT_EQ(out[2], 1002u);
	for (int i = 3; i < DC_MAX_NUM; i++) {
		EXPECT_EQ(out[i], 0u) << i;
	}
}

TEST_F(State, FiveMinuteAdjustmentSaturates)
{
	struct {
		uint64_t t, expect;
	} cases[] = {
		{0, 0}, // a node that never shipped reports 0: from the start, not the far future
		{1, 0},
		{FERRY_TIME_ADJUST, 0},
		{FERRY_TIME_ADJUST + 1, 1},
		{1700000000000ULL, 1700000000000ULL - FERRY_TIME_ADJUST},
		{UINT64_MAX, UINT64_MAX - FERRY_TIME_ADJUST},
	};
	for (auto &c : cases) {
		EXPECT_EQ(ferry_lst_minus_adjust(c.t), c.expect) << c.t;
	}
}

TEST_F(State, DatacenterNumbersOutOfRangeChangeNothing)
{
	g_dc_count = DC_MAX_NUM;
	for (int i = 0; i < DC_MAX_NUM; i++) {
		g_rcfg[i].dc_inuse = true;
		g_lastshiptime[i] = {100, 200, 300, 400};
	}
	for (int dc : {-1, DC_MAX_NUM, 1000, INT32_MIN}) {
		ferry_update_lst_for_this_node(7, MAIN_THREAD, dc);
		ferry_update_lst_for_this_node(7, FAILED_NODE, dc);
		ferry_get_min_lst_for_dcid(dc);
	}
	for (int i = 0; i < DC_MAX_NUM; i++) {
		EXPECT_EQ(g_lastshiptime[i].lst_main, 100u) << i;
		EXPECT_EQ(g_lastshiptime[i].lst_failednode, 300u) << i;
		EXPECT_EQ(g_lastshiptime[i].lst_localmin, 400u) << i;
	}
}

TEST_F(State, LastShipTimesSurviveARestartInTheLogHeader)
{
	std::string path = ferry_test_path("lstwords");
	ox_rbuffer *rb = ferry_test_open_dlog_at(path, 1 << 20, true);
	ASSERT_NE(rb, nullptr);
	for (int i = 0; i < DC_MAX_NUM; i++) {
		EXPECT_EQ(rb->hdr[0].udata[i], 0u) << i; // a new log
	}
	g_dc_count = 3;
	g_lastshiptime[0].lst_localmin = 1700000000000ULL;
	g_lastshiptime[1].lst_localmin = 0;          // nothing shipped yet
	g_lastshiptime[2].lst_localmin = 120000;     // under five minutes
	g_lastshiptime[3].lst_localmin = 99999999;   // not configured: stored as 0
	ferry_store_lst_to_words(rb->hdr[0].udata);
	ASSERT_EQ(ox_rbuffer_persist(rb), 0);
	ox_rbuffer_close(rb);

	memset(g_lastshiptime, 0, sizeof(g_lastshiptime));
	rb = ferry_test_open_dlog_at(path, 1 << 20, true);
	ASSERT_NE(rb, nullptr);
	EXPECT_EQ(rb->hdr[0].udata[3], 0u);
	ferry_restore_lst_from_words(rb->hdr[0].udata);
	ox_rbuffer_close(rb);
	unlink(path.c_str());

	EXPECT_EQ(g_lastshiptime[0].lst_main, 1700000000000ULL - FERRY_TIME_ADJUST);
	EXPECT_EQ(g_lastshiptime[0].lst_windowship, FERRY_LST_NONE);
	EXPECT_EQ(g_lastshiptime[0].lst_failednode, FERRY_LST_NONE);
	EXPECT_EQ(g_lastshiptime[1].lst_main, 0u);
	EXPECT_EQ(g_lastshiptime[1].lst_windowship, 0u);
	EXPECT_EQ(g_lastshiptime[2].lst_main, 0u); // saturated, never wrapped
	EXPECT_EQ(g_lastshiptime[2].lst_windowship, FERRY_LST_NONE);
	EXPECT_EQ(g_lastshiptime[3].lst_main, 0u);
}

TEST_F(State, FirstTimesForDatacentersWithoutOne)
{
	g_dc_count = 2;
	g_lastshiptime[0].lst_main = 42;
	ferry_init_unset_lst(10000000);
	EXPECT_EQ(g_lastshiptime[0].lst_main, 42u); // restored times are kept
	EXPECT_EQ(g_lastshiptime[1].lst_main, 10000000u - FERRY_TIME_ADJUST);
	EXPECT_EQ(g_lastshiptime[1].lst_windowship, FERRY_LST_NONE);
	EXPECT_EQ(g_lastshiptime[1].lst_failednode, FERRY_LST_NONE);
	EXPECT_EQ(g_lastshiptime[2].lst_main, 0u); // not configured
	EXPECT_EQ(ferry_lst_minus_adjust(FERRY_TIME_ADJUST), 0u);
	EXPECT_EQ(ferry_lst_minus_adjust(1), 0u);
}

TEST_F(State, DigestHashIsFnv1aOf20Bytes)
{
	// 64-bit FNV-1a of 20 zero bytes is 0xee85fafd354b0935: the slot hash is
	// its low 32 bits.
	constexpr uint32_t kZeroDigestHash = 0x354b0935u;
	uint8_t zero[20] = {0};
	EXPECT_EQ(hash_fn(zero), kZeroDigestHash);
	uint8_t a[20] = {0}, b[20] = {0};
	a[19] = 1;
	b[0] = 1;
	EXPECT_NE(hash_fn(a), hash_fn(b));
	// Only the 20 digest bytes count.
	uint8_t longer[24] = {0};
	longer[21] = 9;
	EXPECT_EQ(hash_fn(longer), hash_fn(zero));
}

TEST_F(State, SlotTableSetUpForTheReadBatch)
{
	struct {
		int batch;
		uint32_t buckets;
	} cases[] = {{500, 1024}, {8199, 1024}, {8200, 1025}, {80000, 10000}};
	for (auto &c : cases) {
		ASSERT_EQ(ferry_ns_bucket_setup(7, "seven", c.batch), 0);
		ns_digest_bucket *b = &g_ns_dbuckets[7];
		EXPECT_TRUE(b->initialized);
		EXPECT_STREQ(b->ns_name, "seven");
		EXPECT_EQ(b->ns_id, 7);
		EXPECT_EQ(b->digest_to_idx_hash->table_len, c.buckets) << c.batch;
		// Every array holds a whole batch.
		memset(b->ns_digests, 1, (size_t)c.batch * 20);
		memset(b->digest_status, 1, (size_t)c.batch * sizeof(uint32_t));
		memset(b->digesttimes, 1, (size_t)c.batch * sizeof(uint64_t));
		EXPECT_TRUE(ferry_ns_known(7));
		ferry_ns_bucket_free(7);
		EXPECT_FALSE(ferry_ns_known(7));
	}
	EXPECT_FALSE(ferry_ns_known(0));
	EXPECT_FALSE(ferry_ns_known(32));
	EXPECT_FALSE(ferry_ns_known(-1));
}

TEST_F(State, SlotTableRefusesBadNumbersAndASecondSetUp)
{
	for (int nsid : {0, -1, NAMESPACE_MAX_NUM, 1000}) {
		EXPECT_EQ(ferry_ns_bucket_setup(nsid, "x", 100), -1) << nsid;
	}
	EXPECT_EQ(ferry_ns_bucket_setup(5, "five", 0), -1);
	EXPECT_FALSE(ferry_ns_known(5));
	ASSERT_EQ(ferry_ns_bucket_setup(5, "five", 100), 0);
	uint8_t (*digests)[20] = g_ns_dbuckets[5].ns_digests;
	// A second set-up would leak the first table: refused, the first kept.
	EXPECT_EQ(ferry_ns_bucket_setup(5, "other", 200), -1);
	EXPECT_EQ(g_ns_dbuckets[5].ns_digests, digests);
	EXPECT_STREQ(g_ns_dbuckets[5].ns_name, "five");
	ferry_ns_bucket_free(5);
}

// The stamp clock against a wall clock that steps back: it never gives a
// time before one it gave, and follows the wall clock again once that has
// caught up. Seeded from a log, it starts after the log's newest record.
std::atomic<uint64_t> g_wall{0};
uint64_t
test_wall(void)
{
	return g_wall.load();
}

struct wallclock_hook {
	wallclock_hook() { g_ferry_wallclock.store(test_wall); }
	~wallclock_hook() { g_ferry_wallclock.store(nullptr); }
};

TEST_F(State, TheStampClockNeverGoesBack)
{
	const uint64_t base = ferry_stamp_clock() + 50;
	wallclock_hook hook;
	struct {
		const char *what;
		int64_t wall; // from base
		int64_t want;
	} cases[] = {
		{"the wall clock", 0, 0},
		{"a step back of a minute", -60000, 0},
		{"a step back beyond the margin", -10 * (int64_t)FERRY_TIME_ADJUST, 0},
		{"caught up again", 20, 20},
		{"a small step back", 15, 20},
		{"on", 30, 30},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.what);
		g_wall.store((uint64_t)((int64_t)base + c.wall));
		EXPECT_EQ(ferry_stamp_clock(), (uint64_t)((int64_t)base + c.want));
	}

	// A log whose newest record lies ahead of the wall clock: one past it.
	ox_rbuffer *rb = ferry_test_open_dlog("stamplog", 1 << 20, true);
	ASSERT_NE(rb, nullptr);
	std::string path = rb->hdr[0].fname;
	uint8_t d[20] = {1};
	ferry_msg_ondisk recs[] = {ferry_test_digestinfo(1, d, 1, base + 500, 0, 0),
			ferry_test_digestinfo(1, d, 1, base + 900, 0, 0)};
	ASSERT_TRUE(ferry_test_write_dlog(rb, recs, 2));
	ferry_stamp_clock_seed_from_log(rb);
	EXPECT_EQ(ferry_stamp_clock(), base + 901);
	// An empty log leaves it where it was.
	ox_rbuffer_close(rb);
	unlink(path.c_str());
	rb = ferry_test_open_dlog("stamplog", 1 << 20, true);
	ASSERT_NE(rb, nullptr);
	path = rb->hdr[0].fname;
	ferry_stamp_clock_seed_from_log(rb);
	EXPECT_EQ(ferry_stamp_clock(), base + 901);
	ox_rbuffer_close(rb);
	unlink(path.c_str());
}

} // namespace
