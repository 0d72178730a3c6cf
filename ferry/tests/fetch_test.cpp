// The record fetch: records read from a one-node stand-in local cluster by
// the client's batch and single reads, the generation rule of the callback,
// the datacenters of a namespace with their last-ship times, replies that
// carry a digest twice or none, and the failures of single reads.
#include <gtest/gtest.h>

#include "../src/ferry_fetch.h"
#include "../src/ferry_ship.h"
#include "road_fixture.h"

namespace {

using namespace road_test;

class Fetch : public RoadTest {
protected:
	callback_data cb;

	void SetUp() override
	{
		RoadTest::SetUp();
		cb.cntr = &cntr;
		cb.nsid = kNs;
		cb.starttime = 0;
		// Records enough for every write these tests have in flight at once:
		// none is allocated, and all callbacks are done when all are back.
		for (int i = 0; i < kPool; i++) {
			digestinfo *di = (digestinfo *)ox_malloc(sizeof(digestinfo));
			ASSERT_EQ(OX_QUEUE_OK, ox_queue_push(g_diginfo_freepool_q, &di));
		}
	}
	static constexpr int kPool = 16;
	// A new batch: no slots, an empty map.
	void clear_batch()
	{
		ns_digest_bucket *b = &g_ns_dbuckets[kNs];
		b->ns_digest_slots_inuse = 0;
		shash_deleteall_lockfree(b->digest_to_idx_hash);
	}
	// The namespace's slots fetched on this thread, as the reader does when
	// it fetches itself.
	int fetch_all()
	{
		ns_digest_bucket *b = &g_ns_dbuckets[kNs];
		cb.starttime = ox_getms();
		batch_get_req req = {g_local_cluster, (ka::ox_digest *)b->ns_digests, b->ns_digest_slots_inuse, nullptr,
			&cb};
		return ferry_fetch_part(&req);
	}
	bool callbacks_done() { return ferry_test_wait_until([] { return pool_size() == kPool; }); }
	// Digests 1 and 2 stored locally and in the batch at generation 3, and the
	// local node's next batch reply spoilt at record batch_record.
	void two_records_batch_fault(fake_fault_kind kind, int batch_record)
	{
		for (uint32_t n = 1; n <= 2; n++) {
			local_record(n, 3);
			add_slot(digest_of(n), 3, 100 + n);
		}
		fake_fault f;
		f.kind = kind;
		f.on = FAKE_REQ_BATCH;
		f.batch_record = batch_record;
		fake_node_set_fault(local(), f);
	}
};

TEST_F(Fetch, GenerationRule)
{
	struct Case {
		const char *name;
		uint32_t logged, current;
		bool must_ship;
		bool fwd;
		bool shipped;
		bool gencheck_sent;
	};
	const Case cases[] = {
		{"same generation: shipped with the check", 5, 5, false, true, true, true},
		{"same generation, forwarding without the check", 5, 5, false, false, true, false},
		{"logged newer than the record: shipped without the check", 7, 5, false, true, true, false},
		{"record written again since: not shipped", 6, 7, false, true, false, false},
		{"hot key that must ship: shipped with the check", 5, 7, true, true, true, true},
		{"hot key without forwarding the check", 5, 7, true, false, true, false},
	};
	uint32_t n = 1000;
	uint64_t t = 5000000;
	for (const Case &c : cases) {
		SCOPED_TRACE(c.name);
		clear_batch();
		n++;
		t += 1000;
		g_xcfg.ferry_fwd_with_gencheck = c.fwd;
		local_record(n, c.current);
		add_slot(digest_of(n), c.logged, t, c.must_ship ? DSTATUS_MUST_SHIP : 0, 0x42);
		counters was = cntr;
		uint64_t lst = g_lastshiptime[0].lst_main;
		size_t sent = writes_of(remote()).size();

		ASSERT_EQ(0, fetch_all());
		EXPECT_EQ(0u, batch_left());
		EXPECT_EQ(0u, cb.starttime.load()); // the first record took the fetch latency
		EXPECT_EQ(was.local_recs_fetched + 1, get(cntr.local_recs_fetched));
		EXPECT_EQ(was.num_batch_calls + 1, get(cntr.num_batch_calls));
		if (!c.shipped) {
			EXPECT_EQ(was.remote_ship_skipped_genmismatch + 1, get(cntr.remote_ship_skipped_genmismatch));
			EXPECT_EQ(was.remote_ship_total_bytes, get(cntr.remote_ship_total_bytes));
			EXPECT_EQ(lst, g_lastshiptime[0].lst_main);
			EXPECT_EQ(was.per_dc_counters[0].record_ship_attempts, get(cntr.per_dc_counters[0].record_ship_attempts));
			continue;
		}
		EXPECT_EQ(was.remote_ship_skipped_genmismatch, get(cntr.remote_ship_skipped_genmismatch));
		EXPECT_EQ(t, g_lastshiptime[0].lst_main);
		EXPECT_EQ(was.per_dc_counters[0].record_ship_attempts + 1, get(cntr.per_dc_counters[0].record_ship_attempts));
		ASSERT_TRUE(callbacks_done());
		std::vector<remote_write> w = writes_of(remote());
		ASSERT_EQ(sent + 1, w.size());
		EXPECT_EQ(key(digest_of(n)), w.back().digest);
		EXPECT_EQ("s1", w.back().set);
		ASSERT_EQ(2u, w.back().bins.size());
		EXPECT_EQ(be8(n), w.back().bins[0].second);
		EXPECT_EQ(c.gencheck_sent, (w.back().info2 & KA_MSG_INFO2_GENERATION_GT) != 0);
		if (c.gencheck_sent) {
			EXPECT_EQ(c.current, w.back().generation); // the record's own generation
		}
	}
}

class FetchThreeDcs : public Fetch {
protected:
	FetchThreeDcs() { n_dcs = 3; }
};

// Every datacenter of the namespace gets the record unless it is down; only
// one that is up counts the attempt and moves its last-ship time.
TEST_F(FetchThreeDcs, EachDatacenterOfTheNamespace)
{
	g_rcfg[1].cluster_health = CLUSTER_DOWN;
	g_rcfg[2].cluster_health = CLUSTER_WINDOW_SHIP;
	for (uint32_t n = 1; n <= 3; n++) {
		local_record(n, 2);
		add_slot(digest_of(n), 2, 9000000 + n);
	}
	ASSERT_EQ(0, fetch_all());
	ASSERT_TRUE(ferry_test_wait_until([&] { return get(cntr.remote_ship_total) == 6; }));
	ASSERT_TRUE(callbacks_done());
	EXPECT_EQ(3u, writes_of(remote(0)).size());
	EXPECT_EQ(0u, writes_of(remote(1)).size());
	EXPECT_EQ(3u, writes_of(remote(2)).size());
	EXPECT_EQ(3u, get(cntr.per_dc_counters[0].record_ship_attempts));
	EXPECT_EQ(0u, get(cntr.per_dc_counters[1].record_ship_attempts));
	EXPECT_EQ(0u, get(cntr.per_dc_counters[2].record_ship_attempts));
	EXPECT_GT(g_lastshiptime[0].lst_main, 9000000u);
	EXPECT_EQ(1000u, g_lastshiptime[1].lst_main);
	EXPECT_EQ(1000u, g_lastshiptime[2].lst_main);
	EXPECT_EQ(CLUSTER_DOWN, g_rcfg[1].cluster_health);
}

// A reply that carries a record twice ships it once; the second callback
// finds the digest already handled.
TEST_F(Fetch, RecordReturnedTwiceIsShippedOnce)
{
	two_records_batch_fault(FAKE_FAULT_BATCH_EXTRA_RECORD, 0);
	ASSERT_EQ(0, fetch_all());
	EXPECT_EQ(3u, get(cntr.local_recs_fetched));
	EXPECT_EQ(0u, batch_left());
	ASSERT_TRUE(ferry_test_wait_until([&] { return get(cntr.remote_ship_total) == 2; }));
	std::vector<remote_write> w = writes_of(remote());
	ASSERT_EQ(2u, w.size());
	EXPECT_NE(w[0].digest, w[1].digest);

	// Fetched again in a later attempt: not shipped again.
	ASSERT_EQ(0, fetch_all());
	EXPECT_EQ(5u, get(cntr.local_recs_fetched));
	EXPECT_EQ(2u, get(cntr.per_dc_counters[0].record_ship_attempts));
	ASSERT_TRUE(callbacks_done());
	EXPECT_EQ(2u, writes_of(remote()).size());
}

// A record without a digest is left out and its digest stays in the batch
// (the reader reads it singly); a record without a namespace ships under the
// namespace the request named.
TEST_F(Fetch, RecordWithoutDigestOrNamespace)
{
	two_records_batch_fault(FAKE_FAULT_BATCH_NO_DIGEST, 1);
	EXPECT_EQ(0, fetch_all()); // the part reads on past it
	EXPECT_TRUE(in_batch(digest_of(2)));
	EXPECT_FALSE(in_batch(digest_of(1)));

	// The callback itself, as any caller might hand it such a record; its
	// values are owned and must be freed all the same.
	ka_bin src = str_bin("s", "owned value");
	ka_bin *owned = nullptr;
	ASSERT_EQ(0, tamberlin_copy_bins(&owned, &src, 1));
	EXPECT_EQ(0, dlogreader_cb((char *)kNsName, nullptr, nullptr, 3, 0, owned, 1, false, &cb));
	free(owned);
	EXPECT_TRUE(in_batch(digest_of(2)));

	ka::ox_digest d2 = digest_of(2);
	ASSERT_EQ(0, tamberlin_copy_bins(&owned, &src, 1));
	EXPECT_EQ(0, dlogreader_cb((char *)"", &d2, (char *)"s1", 3, 0, owned, 1, false, &cb));
	free(owned);
	EXPECT_EQ(0u, batch_left());
	ASSERT_TRUE(ferry_test_wait_until([&] { return get(cntr.remote_ship_total) == 2; }));
	ASSERT_TRUE(callbacks_done());
	// Writes on different connections are recorded in either order.
	std::vector<remote_write> w = writes_of(remote());
	ASSERT_EQ(2u, w.size());
	const remote_write &second = w[0].digest == key(d2) ? w[0] : w[1];
	EXPECT_EQ(key(d2), second.digest);
	EXPECT_EQ(kNsName, second.ns);
}

TEST_F(Fetch, SingleReads)
{
	struct Case {
		const char *name;
		fake_fault_kind fault;
		int rc;
		bool shipped;
		bool relogged;
		bool notfound;
	};
	const Case cases[] = {
		{"a record: shipped", FAKE_FAULT_NONE, 0, true, false, false},
		{"time-out: relogged", FAKE_FAULT_SILENT, 0, false, true, false},
		{"unknown: relogged", FAKE_FAULT_RESULT_CODE, 1, false, true, false},
		{"cluster key mismatch: relogged", FAKE_FAULT_RESULT_CODE, 7, false, true, false},
		{"server time-out: relogged", FAKE_FAULT_RESULT_CODE, 9, false, true, false},
		{"unavailable: relogged", FAKE_FAULT_RESULT_CODE, 11, false, true, false},
		{"key busy: relogged", FAKE_FAULT_RESULT_CODE, 14, false, true, false},
		{"not found: counted", FAKE_FAULT_RESULT_CODE, 2, false, false, true},
		// Every other failure may pass: only "not found" drops the digest.
		{"bad parameter: relogged", FAKE_FAULT_RESULT_CODE, 4, false, true, false},
		{"out of space: relogged", FAKE_FAULT_RESULT_CODE, 8, false, true, false},
		{"too big: relogged", FAKE_FAULT_RESULT_CODE, 13, false, true, false},
		{"a reply that does not parse: relogged", FAKE_FAULT_MALFORMED, 0, false, true, false},
	};
	g_xcfg.ferry_read_mode = FERRY_MODE_SINGLE_RECORD_GET;
	uint32_t n = 2000;
	for (const Case &c : cases) {
		SCOPED_TRACE(c.name);
		clear_batch();
		n++;
		uint32_t void_time = (uint32_t)ox_secs_since_kaepoch() + 1000;
		local_record(n, 8, void_time);
		add_slot(digest_of(n), 8, 4000 + n, 0, 0x42);
		fake_fault f;
		f.kind = c.fault;
		f.on = FAKE_REQ_READ;
		f.result_code = c.rc;
		f.bad = FAKE_BAD_PARTICLE_TYPE;
		fake_node_set_fault(local(), f);
		counters was = cntr;
		size_t sent = writes_of(remote()).size();

		EXPECT_EQ(0, fetch_all());
		EXPECT_EQ(0u, batch_left());
		EXPECT_EQ(was.num_single_get_calls + 1, get(cntr.num_single_get_calls));
		EXPECT_EQ(was.local_recs_notfound + (c.notfound ? 1 : 0), get(cntr.local_recs_notfound));
		std::vector<ferry_msg> q = take_dlog_q();
		if (c.relogged) {
			ASSERT_EQ(1u, q.size());
			EXPECT_EQ(0, memcmp(q[0].data.diginfo.digest, digest_of(n).digest, 20));
			EXPECT_EQ(0u, q[0].data.diginfo.delete_flag);
			EXPECT_EQ(0u, q[0].data.diginfo.masternode);
			if (c.fault == FAKE_FAULT_SILENT) {
				EXPECT_EQ(0u, q[0].data.diginfo.generation); // no reply: must-ship when read again
			}
		} else {
			EXPECT_TRUE(q.empty());
		}
		if (c.shipped) {
			ASSERT_TRUE(callbacks_done());
			std::vector<remote_write> w = writes_of(remote());
			ASSERT_EQ(sent + 1, w.size());
			EXPECT_EQ("s1", w.back().set);
			EXPECT_GE(w.back().ttl, 997u);
			EXPECT_LE(w.back().ttl, 1000u);
			EXPECT_EQ(2u, w.back().bins.size());
			EXPECT_EQ(4000u + n, g_lastshiptime[0].lst_main);
		} else {
			EXPECT_EQ(was.remote_ship_total_bytes, get(cntr.remote_ship_total_bytes));
		}
		fake_node_set_fault(local(), fake_fault{});
	}
}

} // namespace
