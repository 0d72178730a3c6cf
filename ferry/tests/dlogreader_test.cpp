// The digest-log reader's rules that need no cluster: how a batch fills the
// slot tables, how the slots are split among the record-fetch workers, and
// how the run-time changes of the reader's settings are applied.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../src/ferry_dlogreader.h"
#include "ferry_fixture.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ox_shash.h"
#include "testkit/digest.h"

namespace {

// A digest that names the test's nth record.
ferry_msg_digestinfo
record(int n, uint32_t gen, ox_node master, uint64_t time)
{
	ferry_msg_digestinfo x;
	memset(&x, 0, sizeof(x));
	x.ns_id = 1;
	x.generation = gen;
	x.masternode = master;
	x.digesttime = time;
	memcpy(x.digest, testkit_digest((uint64_t)n, 0x5A).digest, sizeof(x.digest));
	return x;
}

class Slots : public ::testing::Test {
protected:
	void SetUp() override
	{
		ferry_test_reset_config();
		for (int i = 0; i < NAMESPACE_MAX_NUM; i++) {
			ferry_ns_bucket_free(i);
		}
		g_xcfg.ferry_read_batch_size = 8;
		ASSERT_EQ(ferry_ns_bucket_setup(1, "test", 8), 0);
	}
	void TearDown() override
	{
		for (int i = 0; i < NAMESPACE_MAX_NUM; i++) {
			ferry_ns_bucket_free(i);
		}
		ferry_test_reset_config();
	}
	ns_digest_bucket *b = &g_ns_dbuckets[1];
	void clear()
	{
		b->ns_digest_slots_inuse = 0;
		shash_deleteall_lockfree(b->digest_to_idx_hash);
	}
	// The slot the map gives the nth record's digest, -1 when none.
	int slot_of(int n)
	{
		uint8_t d[20];
		memcpy(d, testkit_digest((uint64_t)n, 0x5A).digest, sizeof(d));
		int32_t s = -1;
		return shash_get(b->digest_to_idx_hash, d, &s) == SHASH_OK ? s : -1;
	}
};

TEST_F(Slots, OneSlotPerDigestWithTheNewestGenerationAndTheFirstMaster)
{
	struct want {
		int n;
		uint32_t gen;
		uint64_t time;
		ox_node master;
		bool must_ship;
	};
	struct {
		const char *what;
		int32_t maxskip;
		std::vector<ferry_msg_digestinfo> recs;
		std::vector<want> slots;
	} cases[] = {
		{"a hot key three times", 5,
		 {record(1, 7, 0, 100), record(1, 8, 11, 200), record(1, 9, 12, 300)},
		 {{1, 9, 300, 0, false}}},
		{"the first record's must-ship status stays", 5,
		 {record(1, 5, 0, 100), record(1, 6, 0, 200), record(1, 7, 0, 300)},
		 {{1, 7, 300, 0, true}}},
		{"generations divisible by the hot-key skip", 5,
		 {record(1, 10, 0, 1), record(2, 11, 0, 2), record(3, 0, 0, 3), record(4, 4, 0, 4)},
		 {{1, 10, 1, 0, true}, {2, 11, 2, 0, false}, {3, 0, 3, 0, true}, {4, 4, 4, 0, false}}},
		{"a skip of 1 ships every generation", 1,
		 {record(1, 7, 0, 1), record(2, 11, 0, 2)},
		 {{1, 7, 1, 0, true}, {2, 11, 2, 0, true}}},
		// An older generation after a newer one (a relog of what was shipped,
		// or of 0 after a failed read) keeps the newer one; the time is the
		// later record's.
		{"an older generation after a newer one", 5,
		 {record(1, 6, 0, 100), record(1, 4, 0, 200), record(2, 8, 0, 300), record(2, 0, 0, 400)},
		 {{1, 6, 200, 0, false}, {2, 8, 400, 0, false}}},
		{"interleaved digests keep their slots", 5,
		 {record(1, 1, 3, 10), record(2, 2, 0, 20), record(1, 3, 0, 30), record(3, 4, 0, 40), record(2, 6, 0, 50)},
		 {{1, 3, 30, 3, false}, {2, 6, 50, 0, false}, {3, 4, 40, 0, false}}},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.what);
		clear();
		g_xcfg.ferry_hotkey_maxskip = c.maxskip;
		for (auto &x : c.recs) {
			ferry_add_digest_in_slot(1, &x);
		}
		ASSERT_EQ(b->ns_digest_slots_inuse, (int)c.slots.size());
		EXPECT_EQ(shash_get_size(b->digest_to_idx_hash), c.slots.size());
		for (size_t i = 0; i < c.slots.size(); i++) {
			const want &w = c.slots[i];
			SCOPED_TRACE(i);
			EXPECT_EQ(slot_of(w.n), (int)i);
			uint8_t d[20];
			memcpy(d, testkit_digest((uint64_t)w.n, 0x5A).digest, sizeof(d));
			EXPECT_EQ(memcmp(b->ns_digests[i], d, 20), 0);
			EXPECT_EQ(b->generations[i], w.gen);
			EXPECT_EQ(b->digesttimes[i], w.time);
			EXPECT_EQ(b->masternodes[i], w.master);
			EXPECT_EQ((b->digest_status[i] & DSTATUS_MUST_SHIP) != 0, w.must_ship);
		}
	}
}

// A table the pipe reader made for a smaller read batch than the reader's
// now: it is made larger before its capacity is passed, and what it held
// stays.
TEST_F(Slots, SmallTableIsRemadeBeforeItOverflows)
{
	ferry_ns_bucket_free(1);
	ASSERT_EQ(ferry_ns_bucket_setup(1, "test", 2), 0);
	EXPECT_EQ(b->capacity, 2);
	g_xcfg.ferry_read_batch_size = 6;
	auto r1 = record(1, 1, 0, 1);
	auto r2 = record(2, 2, 0, 2);
	ferry_add_digest_in_slot(1, &r1);
	ferry_add_digest_in_slot(1, &r2);
	// Full, but a digest already there needs no room.
	auto again = record(1, 3, 0, 3);
	ferry_add_digest_in_slot(1, &again);
	EXPECT_EQ(b->capacity, 2);
	EXPECT_EQ(b->generations[0], 3u);
	for (int n = 3; n <= 6; n++) {
		auto x = record(n, (uint32_t)n, 0, (uint64_t)n);
		ferry_add_digest_in_slot(1, &x);
	}
	ASSERT_EQ(b->ns_digest_slots_inuse, 6);
	EXPECT_GE(b->capacity, 6);
	for (int n = 1; n <= 6; n++) {
		SCOPED_TRACE(n);
		ASSERT_EQ(slot_of(n), n - 1);
		EXPECT_EQ(b->generations[n - 1], n == 1 ? 3u : (uint32_t)n);
	}
}

TEST_F(Slots, ResizeKeepsTheBatchAndSizesTheMap)
{
	for (int n = 1; n <= 5; n++) {
		auto x = record(n, (uint32_t)n, 0, (uint64_t)n);
		ferry_add_digest_in_slot(1, &x);
	}
	shash *map = b->digest_to_idx_hash;
	// Fewer slots than those in use would lose digests of the batch.
	EXPECT_EQ(ferry_ns_bucket_resize(1, 4), -1);
	EXPECT_EQ(b->capacity, 8);
	// A map that holds the batch is kept as it is.
	ASSERT_EQ(ferry_ns_bucket_resize(1, 9000), 0);
	EXPECT_EQ(b->capacity, 9000);
	EXPECT_EQ(b->digest_to_idx_hash, map);
	for (int n = 1; n <= 5; n++) {
		EXPECT_EQ(slot_of(n), n - 1);
		EXPECT_EQ(b->generations[n - 1], (uint32_t)n);
	}
	// An empty one is made again for the new size: a bucket per 8 slots
	// above 8199, else 1024.
	clear();
	ASSERT_EQ(ferry_ns_bucket_resize(1, 16400), 0);
	EXPECT_EQ(b->digest_to_idx_hash->table_len, 2050u);
	ASSERT_EQ(ferry_ns_bucket_resize(1, 100), 0);
	EXPECT_EQ(b->digest_to_idx_hash->table_len, 1024u);
	EXPECT_EQ(b->capacity, 100);
	// Tables that are not set up are left alone.
	EXPECT_EQ(ferry_ns_bucket_resize(2, 100), -1);
	EXPECT_EQ(ferry_ns_bucket_resize(0, 100), -1);
	EXPECT_EQ(ferry_ns_bucket_resize(NAMESPACE_MAX_NUM, 100), -1);
}

TEST(Parts, SlotsSplitAmongTheWorkers)
{
	struct part {
		int j, first, count;
	};
	struct {
		int slots, parts;
		std::vector<part> want;
	} cases[] = {
		{10, 3, {{0, 0, 3}, {1, 3, 3}, {2, 6, 4}}},
		{4, 3, {{0, 0, 1}, {1, 1, 1}, {2, 2, 2}}},
		{12, 3, {{0, 0, 4}, {1, 4, 4}, {2, 8, 4}}},
		{7, 1, {{0, 0, 7}}},
		{65, 64, {{0, 0, 1}, {62, 62, 1}, {63, 63, 2}}},
		{500, 64, {{0, 0, 7}, {63, 441, 59}}},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(std::to_string(c.slots) + "/" + std::to_string(c.parts));
		int covered = 0;
		for (int j = 0; j < c.parts; j++) {
			int first, count;
			ferry_dlogreader_part(c.slots, c.parts, j, &first, &count);
			EXPECT_EQ(first, covered) << j; // parts follow each other
			covered += count;
			for (auto &w : c.want) {
				if (w.j == j) {
					EXPECT_EQ(first, w.first) << j;
					EXPECT_EQ(count, w.count) << j;
				}
			}
		}
		EXPECT_EQ(covered, c.slots);
	}
}

// The owner's end of a change bit: cleared, and raised again when set-config
// stored another value while it was being applied.
TEST(ChangeBits, DoneClearsOnlyItsBitAndKeepsANewerValue)
{
	ferry_test_reset_config();
	ferry_config *c = &g_xcfg;
	struct {
		int32_t pending, applied;
		bool raised;
	} cases[] = {{7, 7, false}, {8, 7, true}};
	for (auto &k : cases) {
		c->ferry_flag.store(FERRY_READ_BATCH_SIZE_CHANGE | FERRY_WRITE_BATCH_SIZE_CHANGE);
		c->ferry_new_cfg.ferry_read_batch_size = k.pending;
		ferry_change_bit_done(FERRY_READ_BATCH_SIZE_CHANGE, &c->ferry_new_cfg.ferry_read_batch_size, k.applied);
		EXPECT_EQ(c->ferry_flag.load(),
				FERRY_WRITE_BATCH_SIZE_CHANGE | (k.raised ? FERRY_READ_BATCH_SIZE_CHANGE : 0));
	}
	ferry_test_reset_config();
}

class Changes : public Slots {
protected:
	void SetUp() override
	{
		Slots::SetUp();
		r.alloc_recs = 8;
		r.buf = (char *)ox_calloc(r.alloc_recs, FERRY_MSG_ONDISK_SIZE);
		g_xcfg.ferry_read_threads = 4;
		g_xcfg.ferry_new_cfg.ferry_read_threads = 4;
		g_xcfg.ferry_new_cfg.ferry_read_batch_size = 8;
	}
	void TearDown() override
	{
		ox_free(r.buf);
		Slots::TearDown();
	}
	ferry_dlogreader r{};
};

TEST_F(Changes, BitsAreAppliedInOrderAndClearedWhenDone)
{
	ferry_config *c = &g_xcfg;
	const int32_t all = FERRY_READ_BATCH_SIZE_CHANGE | FERRY_MAX_RECS_INFLIGHT_CHANGE | FERRY_NUM_THREADS_CHANGE |
		FERRY_RECORD_GET_MODE_CHANGE | FERRY_RECORD_GET_THREADS_CHANGE;
	struct {
		const char *what;
		int32_t flag;
		int32_t batch, inflight, threads, mode, read_threads; // pending values
		int32_t want_flag, want_batch, want_inflight, want_threads, want_mode, want_read_threads;
		int inuse = 0; // slots the batch before filled
	} cases[] = {
		// Pending values equal to the current ones: every bit goes.
		{"nothing new", all, 8, 500, 3, 0, 4, 0, 8, 500, 3, 0, 4},
		// A batch size the reader cannot use holds every later bit back.
		{"batch size 0", all, 0, 500, 3, 1, 2, all, 8, 500, 3, 0, 4},
		{"batch size -3", FERRY_READ_BATCH_SIZE_CHANGE | FERRY_RECORD_GET_MODE_CHANGE, -3, 500, 3, 1, 4,
		 FERRY_READ_BATCH_SIZE_CHANGE | FERRY_RECORD_GET_MODE_CHANGE, 8, 500, 3, 0, 4},
		{"batch size above the limit", all, FERRY_MAX_BATCH_SIZE + 1, 500, 3, 1, 2, all, 8, 500, 3, 0, 4},
		{"batch size at most", FERRY_READ_BATCH_SIZE_CHANGE, INT32_MAX, 500, 3, 0, 4,
		 FERRY_READ_BATCH_SIZE_CHANGE, 8, 500, 3, 0, 4},
		{"larger batch", FERRY_READ_BATCH_SIZE_CHANGE, 20, 500, 3, 0, 4, 0, 20, 500, 3, 0, 4},
		{"smaller batch", FERRY_READ_BATCH_SIZE_CHANGE, 3, 500, 3, 0, 4, 0, 3, 500, 3, 0, 4},
		{"smaller batch after a batch that filled more slots", FERRY_READ_BATCH_SIZE_CHANGE, 3, 500, 3, 0, 4, 0, 3,
		 500, 3, 0, 4, 6},
		// No engine runs here: its changes fail; the in-flight limit is tried
		// again, the thread count is not.
		{"in-flight limit", FERRY_MAX_RECS_INFLIGHT_CHANGE, 8, 900, 3, 0, 4, FERRY_MAX_RECS_INFLIGHT_CHANGE, 8, 500,
		 3, 0, 4},
		{"shipping threads", FERRY_NUM_THREADS_CHANGE, 8, 500, 5, 0, 4, 0, 8, 500, 3, 0, 4},
		{"single mode", FERRY_RECORD_GET_MODE_CHANGE, 8, 500, 3, 1, 4, 0, 8, 500, 3, 1, 4},
		{"unknown mode", FERRY_RECORD_GET_MODE_CHANGE, 8, 500, 3, 7, 4, 0, 8, 500, 3, 0, 4},
		// Fewer fetch threads start none; the extra ones end by themselves.
		{"fewer fetch threads", FERRY_RECORD_GET_THREADS_CHANGE, 8, 500, 3, 0, 2, 0, 8, 500, 3, 0, 2},
		// Bits of the writer are not the reader's.
		{"writer's bit", FERRY_WRITE_BATCH_SIZE_CHANGE, 9, 500, 3, 0, 4, FERRY_WRITE_BATCH_SIZE_CHANGE, 8, 500, 3, 0,
		 4},
	};
	for (auto &k : cases) {
		SCOPED_TRACE(k.what);
		c->ferry_read_batch_size = 8;
		c->ferry_max_recs_inflight = 500;
		c->ferry_threads = 3;
		c->ferry_read_mode = FERRY_MODE_BATCH_GET;
		c->ferry_read_threads = 4;
		ASSERT_EQ(ferry_ns_bucket_resize(1, 8), 0);
		r.buf = (char *)ox_realloc(r.buf, 8 * FERRY_MSG_ONDISK_SIZE);
		ASSERT_NE(r.buf, nullptr);
		r.alloc_recs = 8;
		c->ferry_new_cfg.ferry_read_batch_size = k.batch;
		c->ferry_new_cfg.ferry_write_batch_size = k.flag & FERRY_WRITE_BATCH_SIZE_CHANGE ? 9 : 100;
		c->ferry_new_cfg.ferry_max_recs_inflight = k.inflight;
		c->ferry_new_cfg.ferry_threads = k.threads;
		c->ferry_new_cfg.ferry_read_mode = k.mode;
		c->ferry_new_cfg.ferry_read_threads = k.read_threads;
		c->ferry_flag.store(k.flag);
		b->ns_digest_slots_inuse = k.inuse;
		ferry_dlogreader_apply_changes(&r);
		EXPECT_EQ(c->ferry_flag.load(), k.want_flag);
		EXPECT_EQ(c->ferry_read_batch_size, k.want_batch);
		EXPECT_EQ(c->ferry_max_recs_inflight, k.want_inflight);
		EXPECT_EQ(c->ferry_threads, k.want_threads);
		EXPECT_EQ((int32_t)c->ferry_read_mode, k.want_mode);
		EXPECT_EQ(c->ferry_read_threads, k.want_read_threads);
		// The read buffer and the slot tables hold a batch of the size in use.
		EXPECT_GE(r.alloc_recs, (size_t)c->ferry_read_batch_size);
		EXPECT_GE(b->capacity, c->ferry_read_batch_size);
	}
}

} // namespace
