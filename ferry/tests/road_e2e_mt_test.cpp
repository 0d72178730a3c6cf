// Shipping end to end: what reaches the datacenters, with which time to
// live, and what is kept out of shipping or shipped again.
#include "road_e2e_fixture.h"

namespace {

using namespace road_e2e;

// N records written locally and reported on the pipe reach both datacenters
// exactly once each, with the local bins and set name. A reply slower than
// the engine's one-second network time-out (a loaded machine) has its digest
// relogged and shipped again: a few repeats are allowed, no loss.
TEST_F(RoadE2E, EveryRecordReachesBothDatacentersOnce)
{
	const uint64_t kRecords = 3000;
	start_shipping(2, kRecords, 100);
	for (remote &r : dcs) {
		ASSERT_TRUE(ferry_test_wait_until([&] {
			return r.writes() >= kRecords && r.got_all(FAKE_REQ_WRITE, 0, kRecords);
		})) << r.name << " got " << r.writes();
	}
	for (remote &r : dcs) {
		auto got = r.received(FAKE_REQ_WRITE);
		EXPECT_EQ(got.size(), kRecords) << r.name;
		size_t twice = 0;
		for (auto &kv : got) {
			twice += kv.second.size() > 1;
		}
		EXPECT_LE(twice, kRecords / 100) << r.name;
		if (twice) {
			printf("%s: %zu records shipped again after a slow reply\n", r.name.c_str(), twice);
		}
		for (uint64_t seq : {(uint64_t)0, (uint64_t)1234, kRecords - 1}) {
			fake_record local = fls_sample_record(seq, 100), there;
			ASSERT_TRUE(r.has("test", seq, &there)) << r.name << " seq " << seq;
			EXPECT_EQ(there.set, local.set);
			ASSERT_EQ(there.bins.size(), 1u);
			EXPECT_EQ(there.bins[0].name, local.bins[0].name);
			EXPECT_EQ(there.bins[0].value, local.bins[0].value);
			EXPECT_EQ(there.void_time, 0u) << "never expires there too";
		}
	}
}

// The time to live sent for each kind of local record, and the expired one
// that is not sent at all.
TEST_F(RoadE2E, TimeToLiveOfEachRecordKind)
{
	start_world(1);
	const uint32_t now = now_2010();
	struct ttl_case {
		const char *what;
		const char *ns;
		int32_t nsid;
		uint64_t seq;
		uint32_t void_time;
		bool shipped;
		uint32_t lo, hi; // range of the ttl sent
	} cases[] = {
		{"never expires", "test", 1, 10, 0, true, 0xFFFFFFFFu, 0xFFFFFFFFu},
		{"an hour left", "test", 1, 11, now + 3600, true, 3500, 3600},
		{"expired", "test", 1, 12, now - 10, false, 0, 0},
		{"over ten years, no max-ttl", "test", 1, 13, now + 20 * 31536000u, true, 0, 0},
		{"an hour left, max-ttl 100", "capped", 2, 14, now + 3600, true, 100, 100},
		{"50 s left, max-ttl 100", "capped", 2, 15, now + 50, true, 1, 50},
	};
	std::vector<logged> recs;
	for (const ttl_case &c : cases) {
		fake_record r = fls_sample_record(c.seq, 50);
		r.void_time = c.void_time;
		fls_put_record(fls, c.ns, c.seq, r);
		recs.push_back({c.nsid, c.seq, 1});
	}
	// A record after the table, shipped once the table's have been handed on.
	fls_put_record(fls, "test", 99, fls_sample_record(99, 50));
	recs.push_back({1, 99, 1});
	prefill(recs);
	script_lists();
	write_conf();
	start_daemon("--resume");
	remote &dc = dcs[0];
	ASSERT_TRUE(ferry_test_wait_until([&] {
		for (const ttl_case &c : cases) {
			if (c.shipped && !dc.written(c.seq)) {
				return false;
			}
		}
		return dc.written(99);
	}));
	auto got = dc.received(FAKE_REQ_WRITE);
	for (const ttl_case &c : cases) {
		SCOPED_TRACE(c.what);
		auto it = got.find(digest_of(c.seq));
		if (!c.shipped) {
			EXPECT_TRUE(it == got.end());
			continue;
		}
		ASSERT_TRUE(it != got.end());
		EXPECT_GE(it->second[0].ttl, c.lo);
		EXPECT_LE(it->second[0].ttl, c.hi);
	}
}

// What the reader keeps out of shipping and what it takes over, and a digest
// logged three times in one batch, shipped once with the latest generation.
TEST_F(RoadE2E, FilteredTakenOverAndRepeatedDigests)
{
	start_world(1);
	for (uint64_t seq = 20; seq < 30; seq++) {
		fls_put_record(fls, "test", seq, fls_sample_record(seq, 40));
	}
	fls_put_record(fls, "nodc", 30, fls_sample_record(30, 40));
	fake_record hot = fls_sample_record(25, 40);
	hot.generation = 9;
	fls_put_record(fls, "test", 25, hot);
	std::vector<logged> recs = {
		{1, 20, 1},                      // this node's: shipped
		{1, 21, 1, 0xA1},                // a replica, logged before boot by a node not booted: taken over
		{1, 22, 1, 0xB0},                // a replica of a boot node: skipped
		{7, 23, 1},                      // a namespace the local server never named: skipped
		{3, 30, 1},                      // a namespace no datacenter takes: not shipped
		{1, 25, 7}, {1, 25, 8}, {1, 25, 9}, // one digest three times
		{1, 29, 1},                      // the last: shipped after the others were handed on
	};
	prefill(recs);
	script_lists();
	write_conf();
	start_daemon("--resume");
	remote &dc = dcs[0];
	// 25 arrives only when its slot holds the latest logged generation: the
	// first (7) is older than the local record's and would be skipped.
	ASSERT_TRUE(ferry_test_wait_until([&] {
		return dc.written(20) && dc.written(21) && dc.written(25) && dc.written(29);
	}));
	auto got = dc.received(FAKE_REQ_WRITE);
	EXPECT_EQ(got.count(digest_of(22)), 0u);
	EXPECT_EQ(got.count(digest_of(23)), 0u);
	EXPECT_EQ(got.count(digest_of(30)), 0u);
	EXPECT_EQ(got[digest_of(25)].size(), 1u);
}

// With --nofailover a replica record is never taken over.
TEST_F(RoadE2E, NoFailoverLeavesReplicaRecords)
{
	start_world(1);
	for (uint64_t seq = 40; seq < 43; seq++) {
		fls_put_record(fls, "test", seq, fls_sample_record(seq, 40));
	}
	prefill({{1, 40, 1}, {1, 41, 1, 0xA1}, {1, 42, 1}});
	script_lists();
	write_conf();
	start_daemon("--nofailover");
	remote &dc = dcs[0];
	ASSERT_TRUE(ferry_test_wait_until([&] { return dc.written(40) && dc.written(42); }));
	EXPECT_FALSE(dc.has("test", 41));
}

// Deletes reported on the pipe arrive at every datacenter as deletes of
// records that no longer exist locally.
TEST_F(RoadE2E, DeletesArriveAsDeletes)
{
	const uint64_t kRecords = 200, kDeletes = 50;
	start_shipping(2, kRecords, 60);
	for (remote &r : dcs) {
		ASSERT_TRUE(ferry_test_wait_until([&] { return r.got_all(FAKE_REQ_WRITE, 0, kRecords); })) << r.name;
	}
	fls_pipe_deletes(fls, "test", 1, 0, kDeletes);
	for (remote &r : dcs) {
		ASSERT_TRUE(ferry_test_wait_until([&] { return r.got_all(FAKE_REQ_DELETE, 0, kDeletes); }))
				<< r.name << " " << r.deletes();
		auto del = r.received(FAKE_REQ_DELETE);
		for (uint64_t seq = 0; seq < kDeletes; seq++) {
			EXPECT_EQ(del.count(digest_of(seq)), 1u) << r.name << " seq " << seq;
		}
		EXPECT_TRUE(r.has("test", kDeletes));
	}
}

// A datacenter's transient refusals come back through the digest log and are
// shipped again; refusals that no retry mends are not resent.
TEST_F(RoadE2E, RelogCodesAreShippedAgainOthersAreNot)
{
	start_world(1);
	for (uint64_t seq = 50; seq < 60; seq++) {
		fls_put_record(fls, "test", seq, fls_sample_record(seq, 40));
	}
	remote &dc = dcs[0];
	// Busy key for seq 50's first write; then a bad-parameter answer for 51.
	fake_fault busy;
	busy.kind = FAKE_FAULT_RESULT_CODE;
	busy.on = FAKE_REQ_WRITE;
	busy.digest = digest_of(50);
	busy.result_code = 14;
	fake_node_set_fault(dc.node(), busy);
	prefill({{1, 50, 1}});
	script_lists();
	write_conf();
	start_daemon("--resume");
	auto writes_of = [&](uint64_t seq) {
		auto got = dc.received(FAKE_REQ_WRITE);
		auto it = got.find(digest_of(seq));
		return it == got.end() ? (size_t)0 : it->second.size();
	};
	ASSERT_TRUE(ferry_test_wait_until([&] { return writes_of(50) >= 2; })) << writes_of(50);
	EXPECT_TRUE(dc.has("test", 50));

	fake_fault param;
	param.kind = FAKE_FAULT_RESULT_CODE;
	param.on = FAKE_REQ_WRITE;
	param.digest = digest_of(51);
	param.result_code = 4;
	fake_node_set_fault(dc.node(), param);
	ferry_msg m;
	fls_make_digest(&m, 1, 1, 51, 0, 0);
	fls_pipe_msg(fls, &m);
	ASSERT_TRUE(ferry_test_wait_until([&] { return writes_of(51) >= 1; }));
	// Records fed after the refusal was answered travel the same road; once
	// they have arrived, a relogged 51 would have arrived too.
	for (uint64_t seq = 52; seq < 60; seq++) {
		fls_make_digest(&m, 1, 1, seq, 0, 0);
		fls_pipe_msg(fls, &m);
	}
	ASSERT_TRUE(ferry_test_wait_until([&] { return dc.written(59); }));
	EXPECT_EQ(writes_of(51), 1u);
}

} // namespace
