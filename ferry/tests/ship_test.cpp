// Shipping one record or delete to a stand-in datacenter through the real
// client library: the time to live sent, the write as the remote received
// it, every reply code of the success callback, the failure callback, the
// send that cannot be built, a datacenter that is down, and the deletes with
// their local existence check. After every path the shipping record must be
// back in the free pool exactly once.
#include <gtest/gtest.h>

#include <set>

#include "../src/ferry_ship.h"
#include "road_fixture.h"
#include "tamberlin/ox_random.h"
#include "tamberlin/proto.h"

namespace {

using namespace road_test;

class Ship : public RoadTest {
protected:
	// Ships record n (bins i = n, s = "v<n>", set "s1") to datacenter dc.
	int ship(uint32_t n, uint32_t void_time, uint32_t gen = 7, bool gencheck = true, int dc = 0)
	{
		ka::ox_digest d = digest_of(n);
		ka_bin bins[2] = {int_bin("i", n), str_bin("s", "value")};
		return ferry_queue_digest(&g_rcfg[dc], (char *)kNsName, &d, (char *)"s1", void_time, bins, 2, kNs, gen,
				0x55, &cntr, gencheck, 0, false);
	}
	int ship_delete_of(uint32_t n, uint32_t gen = 7)
	{
		ka::ox_digest d = digest_of(n);
		return ferry_queue_digest(&g_rcfg[0], (char *)kNsName, &d, nullptr, 0, nullptr, 0, kNs, gen, 0x55, &cntr,
				false, 0, true);
	}
	uint32_t now() { return (uint32_t)ox_secs_since_kaepoch(); }
	// The callback of the one write in flight has run to its end: its record
	// is back in the pool, the last thing a callback does.
	bool callback_done() { return ferry_test_wait_until([] { return pool_size() == 1; }); }
};

TEST_F(Ship, TimeToLiveOfTheRemoteWrite)
{
	struct Case {
		const char *name;
		int64_t void_in; // seconds from now; 0 = never expires
		uint64_t max_ttl;
		bool sent;
		uint32_t ttl_lo, ttl_hi;
	};
	const uint32_t ten_years = FERRY_MAX_MAX_TTL;
	const Case cases[] = {
		{"never expires: the datacenter's value", 0, 0, true, HIVED_INFINITE_TTL_VALUE, HIVED_INFINITE_TTL_VALUE},
		{"a future void time", 1000, 0, true, 998, 1000},
		{"already expired", -1, 0, false, 0, 0},
		{"expired long ago", -86400, 0, false, 0, 0},
		{"floored to max-ttl", 5000, 600, true, 600, 600},
		{"below max-ttl unchanged", 1000, 5000, true, 998, 1000},
		{"just under ten years without max-ttl", ten_years - 100, 0, true, ten_years - 102, ten_years - 100},
		{"over ten years without max-ttl: the remote's default", (int64_t)ten_years + 1000, 0, true, 0, 0},
		{"over ten years with max-ttl", (int64_t)ten_years + 1000, 86400, true, 86400, 86400},
	};
	uint32_t n = 0;
	for (const Case &c : cases) {
		SCOPED_TRACE(c.name);
		n++;
		g_ns_xcfg_opt[kNs].max_ttl = c.max_ttl;
		uint64_t expired = get(cntr.remote_ship_skipped_expired);
		uint64_t total = get(cntr.remote_ship_total);
		uint64_t bytes = get(cntr.remote_ship_total_bytes);
		size_t before = writes_of(remote()).size();
		uint32_t void_time = c.void_in == 0 ? 0 : (uint32_t)((int64_t)now() + c.void_in);
		EXPECT_EQ(0, ship(n, void_time));
		if (!c.sent) {
			EXPECT_EQ(expired + 1, get(cntr.remote_ship_skipped_expired));
			EXPECT_EQ(bytes, get(cntr.remote_ship_total_bytes));
			EXPECT_EQ(before, writes_of(remote()).size());
			continue;
		}
		ASSERT_TRUE(callback_done());
		EXPECT_EQ(total + 1, get(cntr.remote_ship_total));
		std::vector<remote_write> w = writes_of(remote());
		ASSERT_EQ(before + 1, w.size());
		EXPECT_GE(w.back().ttl, c.ttl_lo);
		EXPECT_LE(w.back().ttl, c.ttl_hi);
		EXPECT_EQ(expired, get(cntr.remote_ship_skipped_expired));
	}
	EXPECT_EQ(1, pool_size()); // one record, reused by every write
}

// What the remote gets: namespace, digest, set, bins, the generation and the
// generation-check flag only when forwarding with the check is on and the
// caller asks for it.
TEST_F(Ship, TheWriteTheRemoteReceives)
{
	struct Case {
		bool fwd;
		bool gencheck;
		bool flag;
	};
	const Case cases[] = {{false, false, false}, {false, true, false}, {true, false, false}, {true, true, true}};
	uint32_t n = 100;
	for (const Case &c : cases) {
		SCOPED_TRACE(testing::Message() << "forward-with-gencheck " << c.fwd << ", gencheck " << c.gencheck);
		g_xcfg.ferry_fwd_with_gencheck = c.fwd;
		uint64_t total = get(cntr.remote_ship_total);
		ASSERT_EQ(0, ship(++n, 0, 41, c.gencheck));
		ASSERT_TRUE(callback_done());
		EXPECT_EQ(total + 1, get(cntr.remote_ship_total));
		remote_write w = writes_of(remote()).back();
		ASSERT_TRUE(w.ok);
		EXPECT_EQ(FAKE_REQ_WRITE, w.kind);
		EXPECT_EQ(kNsName, w.ns);
		EXPECT_EQ(key(digest_of(n)), w.digest);
		EXPECT_TRUE(w.has_set);
		EXPECT_EQ("s1", w.set);
		EXPECT_EQ(c.flag ? 41u : 0u, w.generation); // sent only with a generation flag
		EXPECT_EQ(c.flag, (w.info2 & KA_MSG_INFO2_GENERATION_GT) != 0);
		EXPECT_EQ(0, w.info2 & KA_MSG_INFO2_GENERATION);
		ASSERT_EQ(2u, w.bins.size());
		EXPECT_EQ("i", w.bins[0].first);
		EXPECT_EQ(be8(n), w.bins[0].second);
		EXPECT_EQ("s", w.bins[1].first);
		EXPECT_EQ("value", w.bins[1].second);
		fake_record stored;
		ASSERT_TRUE(fake_node_get_record(remote(), kNsName, digest_of(n).digest, &stored));
		EXPECT_EQ("s1", stored.set);
		EXPECT_EQ(0u, stored.void_time); // never expires there either
	}
	// A delete: no bins, no set, time to live 0.
	uint64_t deletes = get(cntr.remote_ship_delete_total);
	ASSERT_EQ(0, ship_delete_of(n));
	ASSERT_TRUE(callback_done());
	EXPECT_EQ(deletes + 1, get(cntr.remote_ship_delete_total));
	remote_write w = writes_of(remote()).back();
	EXPECT_EQ(FAKE_REQ_DELETE, w.kind);
	EXPECT_EQ(key(digest_of(n)), w.digest);
	EXPECT_EQ(0u, w.ttl);
	EXPECT_TRUE(w.bins.empty());
	EXPECT_FALSE(fake_node_get_record(remote(), kNsName, digest_of(n).digest, nullptr));
	EXPECT_EQ(0u, get(cntr.remote_ship_serverfail));
	EXPECT_EQ(1, pool_size());
}

TEST_F(Ship, EveryReplyCodeOfTheSuccessCallback)
{
	struct Case {
		int rc;
		bool is_delete;
		bool relog;
		bool serverfail;
	};
	constexpr int kUnnamedCode = 22; // a code the protocol gives no name
	const Case cases[] = {
		{KA_PROTO_RESULT_OK, false, false, false},
		{KA_PROTO_RESULT_FAIL_GENERATION, false, false, false},
		{KA_PROTO_RESULT_FAIL_NOTFOUND, true, false, false},
		{KA_PROTO_RESULT_FAIL_NOTFOUND, false, false, true},
		{KA_PROTO_RESULT_FAIL_PARAMETER, false, false, true},
		{KA_PROTO_RESULT_FAIL_KEY_EXISTS, false, false, true},
		{KA_PROTO_RESULT_FAIL_BIN_EXISTS, false, false, true},
		{KA_PROTO_RESULT_FAIL_INCOMPATIBLE_TYPE, false, false, true},
		{KA_PROTO_RESULT_FAIL_RECORD_TOO_BIG, false, false, true},
		{KA_PROTO_RESULT_FAIL_NOFERRY, false, true, true},
		{KA_PROTO_RESULT_FAIL_KEY_BUSY, false, true, true},
		{KA_PROTO_RESULT_FAIL_KEY_BUSY, true, true, true},
		{KA_PROTO_RESULT_FAIL_UNKNOWN, false, true, true},
		{KA_PROTO_RESULT_FAIL_CLUSTER_KEY_MISMATCH, false, true, true},
		{KA_PROTO_RESULT_FAIL_PARTITION_OUT_OF_SPACE, false, true, true},
		{KA_PROTO_RESULT_FAIL_TIMEOUT, true, true, true},
		{KA_PROTO_RESULT_FAIL_UNAVAILABLE, false, true, true},
		{KA_PROTO_RESULT_FAIL_BIN_NOT_FOUND, false, false, true},
		{kUnnamedCode, false, false, true},
	};
	uint32_t n = 200;
	for (const Case &c : cases) {
		SCOPED_TRACE(testing::Message() << "reply " << c.rc << (c.is_delete ? " to a delete" : " to a write"));
		fake_fault f;
		f.kind = FAKE_FAULT_RESULT_CODE;
		f.on = c.is_delete ? FAKE_REQ_DELETE : FAKE_REQ_WRITE;
		f.result_code = c.rc;
		fake_node_set_fault(remote(), f);
		counters was = cntr;
		n++;
		ASSERT_EQ(0, c.is_delete ? ship_delete_of(n, 33) : ship(n, 0, 33));
		ASSERT_TRUE(callback_done());
		EXPECT_EQ(was.remote_ship_total + 1, get(cntr.remote_ship_total));
		EXPECT_EQ(was.remote_ship_delete_total + (c.is_delete ? 1 : 0), get(cntr.remote_ship_delete_total));
		EXPECT_EQ(was.remote_ship_serverfail + (c.serverfail ? 1 : 0), get(cntr.remote_ship_serverfail));
		EXPECT_EQ(was.remote_ship_clientfail, get(cntr.remote_ship_clientfail));
		std::vector<ferry_msg> q = take_dlog_q();
		if (!c.relog) {
			EXPECT_TRUE(q.empty());
			EXPECT_EQ(was.dlog_pkts_relogged, get(cntr.dlog_pkts_relogged));
		} else {
			ASSERT_EQ(1u, q.size());
			const ferry_msg_digestinfo &m = q[0].data.diginfo;
			EXPECT_EQ(FERRY_MSG_TYPE_DIGESTINFO, q[0].xm_type);
			EXPECT_EQ(kNs, m.ns_id);
			EXPECT_EQ(33u, m.generation);
			EXPECT_EQ(0u, m.masternode); // the shipper's own record now, whoever mastered it
			EXPECT_EQ(0, memcmp(m.digest, digest_of(n).digest, 20));
			EXPECT_EQ(c.is_delete ? 6u : 0u, m.delete_flag);
			EXPECT_NE(0u, m.digesttime);
			EXPECT_EQ(was.dlog_pkts_relogged + 1, get(cntr.dlog_pkts_relogged));
			EXPECT_EQ(was.dlog_deletes_relogged + (c.is_delete ? 1 : 0), get(cntr.dlog_deletes_relogged));
			EXPECT_EQ(was.dlog_pkts_unlogged + 1, get(cntr.dlog_pkts_unlogged));
		}
		EXPECT_EQ(1, pool_size());
	}
	// Nothing was sent twice.
	EXPECT_EQ(sizeof(cases) / sizeof(cases[0]), writes_of(remote()).size());
}

TEST_F(Ship, NoReplyIsRelogged)
{
	struct Case {
		const char *name;
		fake_fault_kind kind;
	};
	const Case cases[] = {
		{"deadline passed", FAKE_FAULT_SILENT},
		{"connection closed", FAKE_FAULT_CLOSE_AFTER_REQUEST},
		{"connection reset", FAKE_FAULT_RESET},
	};
	g_xcfg.ferry_timeout = 300;
	uint32_t n = 300;
	uint64_t answered = 0;
	for (const Case &c : cases) {
		SCOPED_TRACE(c.name);
		if (n > 300) {
			// One lost reply at a time: failures in a row would count the
			// node unreachable and send the datacenter to its window.
			fake_node_set_fault(remote(), fake_fault());
			ASSERT_EQ(0, ship(++n, 0, 9));
			ASSERT_TRUE(callback_done());
			answered++;
		}
		fake_fault f;
		f.kind = c.kind;
		f.on = FAKE_REQ_WRITE;
		fake_node_set_fault(remote(), f);
		uint64_t fails = get(cntr.remote_ship_clientfail);
		ASSERT_EQ(0, ship(++n, 0, 9));
		ASSERT_TRUE(callback_done());
		EXPECT_EQ(fails + 1, get(cntr.remote_ship_clientfail));
		std::vector<ferry_msg> q = take_dlog_q();
		ASSERT_EQ(1u, q.size());
		EXPECT_EQ(0, memcmp(q[0].data.diginfo.digest, digest_of(n).digest, 20));
		EXPECT_EQ(9u, q[0].data.diginfo.generation);
		EXPECT_EQ(0u, q[0].data.diginfo.delete_flag);
		EXPECT_EQ(0u, q[0].data.diginfo.masternode);
		EXPECT_EQ(1, pool_size());
	}
	EXPECT_EQ(answered, get(cntr.remote_ship_total));
	EXPECT_EQ(CLUSTER_UP, ferry_health_get(&g_rcfg[0]));
}

// A request that cannot be built is tried three times, then the digest goes
// back through the log and the shipping thread goes on.
TEST_F(Ship, RequestThatCannotBeBuiltIsRelogged)
{
	ka::ox_digest d = digest_of(400);
	ka_bin bad;
	memset(&bad, 0, sizeof(bad));
	strcpy(bad.bin_name, "x");
	bad.object.type = KA_UNKNOWN;
	ka_bin good = int_bin("i", 1);
	ASSERT_EQ(0, ferry_queue_digest(&g_rcfg[0], (char *)kNsName, &d, nullptr, 0, &good, 1, kNs, 3, 0, &cntr, false,
			0, false));
	ASSERT_TRUE(callback_done());
	uint64_t one_send = get(cntr.remote_ship_total_bytes);

	ASSERT_EQ(0, ferry_queue_digest(&g_rcfg[0], (char *)kNsName, &d, nullptr, 0, &bad, 1, kNs, 3, 0x77, &cntr,
			false, 0, false));
	EXPECT_EQ(1u, get(cntr.remote_ship_clientfail));
	// Each attempt counts its estimate once: namespace + 5, digest 26, 13,
	// and the bin's name + 8 (a type without a wire form has no value size).
	uint64_t attempt = strlen(kNsName) + 5 + 26 + 13 + 1 + 8;
	EXPECT_EQ(FERRY_SEND_BUILD_ATTEMPTS * attempt, get(cntr.remote_ship_total_bytes) - one_send);
	std::vector<ferry_msg> q = take_dlog_q();
	ASSERT_EQ(1u, q.size());
	EXPECT_EQ(0, memcmp(q[0].data.diginfo.digest, d.digest, 20));
	EXPECT_EQ(0u, q[0].data.diginfo.masternode);
	EXPECT_EQ(1u, writes_of(remote()).size());
	EXPECT_EQ(1, pool_size());
	EXPECT_EQ(1u, get(cntr.remote_ship_total));
}

TEST_F(Ship, DatacenterDownTakesNothing)
{
	digestinfo *spare = (digestinfo *)ox_malloc(sizeof(digestinfo));
	ASSERT_EQ(OX_QUEUE_OK, ox_queue_push(g_diginfo_freepool_q, &spare));
	g_rcfg[0].cluster_health = CLUSTER_DOWN;
	EXPECT_EQ(1, ship(500, 0));
	EXPECT_EQ(1, ship_delete_of(501));
	EXPECT_EQ(1, ship(502, 5)); // even an expired record is not looked at
	EXPECT_EQ(1, pool_size());
	EXPECT_EQ(0u, get(cntr.remote_ship_total_bytes));
	EXPECT_EQ(0u, get(cntr.remote_ship_skipped_expired));
	EXPECT_EQ(0u, writes_of(remote()).size());
	EXPECT_EQ(CLUSTER_DOWN, g_rcfg[0].cluster_health);

	// Window shipping still ships.
	g_rcfg[0].cluster_health = CLUSTER_WINDOW_SHIP;
	EXPECT_EQ(0, ship(503, 0));
	ASSERT_TRUE(callback_done());
	EXPECT_EQ(1u, get(cntr.remote_ship_total));
}

// Deletes of the digest log: shipped on "not found" only, cancelled when the
// record exists again, relogged when the check cannot tell.
TEST_F(Ship, ShipDeleteChecksTheLocalRecord)
{
	struct Case {
		const char *name;
		bool check_config;
		uint32_t flag;
		bool record_exists;
		fake_fault_kind fault;
		int fault_rc;
		bool shipped;
		bool cancelled;
		bool relogged;
		bool asked;
	};
	constexpr uint32_t kRelogDelete = RELAY_DELETE_FLAG | RELAY_DELETE_RELOG_FLAG;
	const Case cases[] = {
		{"no check: shipped without asking", false, RELAY_DELETE_FLAG, true, FAKE_FAULT_NONE, 0, true, false, false,
			false},
		{"relogged delete, not found: shipped", false, kRelogDelete, false, FAKE_FAULT_NONE, 0, true, false, false, true},
		{"check on, not found: shipped", true, RELAY_DELETE_FLAG, false, FAKE_FAULT_NONE, 0, true, false, false, true},
		{"exists again: cancelled", true, RELAY_DELETE_FLAG, true, FAKE_FAULT_NONE, 0, false, true, false, true},
		{"relogged delete exists: cancelled", false, kRelogDelete, true, FAKE_FAULT_NONE, 0, false, true, false, true},
		{"check timed out: relogged", true, RELAY_DELETE_FLAG, false, FAKE_FAULT_SILENT, 0, false, false, true, true},
		{"server time-out: relogged", false, kRelogDelete, false, FAKE_FAULT_RESULT_CODE, KA_PROTO_RESULT_FAIL_TIMEOUT,
			false, false, true, true},
		{"unavailable: relogged", true, RELAY_DELETE_FLAG, true, FAKE_FAULT_RESULT_CODE, KA_PROTO_RESULT_FAIL_UNAVAILABLE,
			false, false, true, true},
	};
	uint32_t n = 600;
	for (const Case &c : cases) {
		SCOPED_TRACE(c.name);
		n++;
		g_xcfg.ferry_check_data_before_delete = c.check_config;
		if (c.record_exists) {
			local_record(n, 4);
		}
		fake_fault f;
		f.kind = c.fault;
		f.on = FAKE_REQ_READ;
		f.result_code = c.fault_rc;
		fake_node_set_fault(local(), f);
		size_t reads = count_kind(local(), FAKE_REQ_READ);
		counters was = cntr;
		g_lastshiptime[0].lst_main = 1000;
		ferry_msg_digestinfo rec = {};
		rec.ns_id = kNs;
		rec.generation = 12;
		rec.digesttime = 777000 + n;
		rec.masternode = 0;
		memcpy(rec.digest, digest_of(n).digest, 20);
		rec.delete_flag = c.flag;

		EXPECT_EQ(c.shipped, ship_delete(&rec));
		EXPECT_EQ(c.asked ? reads + 1 : reads, count_kind(local(), FAKE_REQ_READ));
		EXPECT_EQ(was.dlog_deletes_canceled + (c.cancelled ? 1 : 0), get(cntr.dlog_deletes_canceled));
		std::vector<ferry_msg> q = take_dlog_q();
		if (c.relogged) {
			ASSERT_EQ(1u, q.size());
			EXPECT_EQ(kRelogDelete, q[0].data.diginfo.delete_flag);
			EXPECT_EQ(12u, q[0].data.diginfo.generation);
			EXPECT_EQ(0, memcmp(q[0].data.diginfo.digest, rec.digest, 20));
			EXPECT_EQ(was.dlog_deletes_relogged + 1, get(cntr.dlog_deletes_relogged));
		} else {
			EXPECT_TRUE(q.empty());
		}
		if (c.shipped) {
			ASSERT_TRUE(callback_done());
			EXPECT_EQ(was.remote_ship_delete_total + 1, get(cntr.remote_ship_delete_total));
			remote_write w = writes_of(remote()).back();
			EXPECT_EQ(FAKE_REQ_DELETE, w.kind);
			EXPECT_EQ(key(digest_of(n)), w.digest);
			EXPECT_EQ(rec.digesttime, g_lastshiptime[0].lst_main);
			EXPECT_EQ(was.per_dc_counters[0].delete_ship_attempts + 1, get(cntr.per_dc_counters[0].delete_ship_attempts));
		} else {
			EXPECT_EQ(was.remote_ship_total_bytes, get(cntr.remote_ship_total_bytes)); // nothing sent
			EXPECT_EQ(1000u, g_lastshiptime[0].lst_main);
			EXPECT_EQ(was.per_dc_counters[0].delete_ship_attempts, get(cntr.per_dc_counters[0].delete_ship_attempts));
		}
		fake_node_set_fault(local(), fake_fault{});
	}
	EXPECT_LE(pool_size(), 1);
}

// Transaction ids come from a pool of the shipper's own, refilled every
// 1024 ids: across three refills, and with the foundation's pool drawn from
// in between, no id is 0 and none comes twice.
TEST(TransactionIds, DistinctAcrossRefillsOfTheirPool)
{
	std::set<uint64_t> seen;
	for (int i = 0; i < 3 * 1024 + 5; i++) {
		uint64_t id = rand_64();
		EXPECT_NE(0u, id);
		EXPECT_TRUE(seen.insert(id).second) << "id " << i << " came before";
		EXPECT_TRUE(seen.insert(ox_get_rand64()).second);
	}
}

TEST_F(Ship, RelogRefusesAnUnknownNamespace)
{
	ka::ox_digest d = digest_of(700);
	ferry_relog_digest(9, 1, 0, &d, &cntr, false); // no slot table for 9
	EXPECT_TRUE(take_dlog_q().empty());
	EXPECT_EQ(0u, get(cntr.dlog_pkts_relogged));

	ferry_relog_digest(kNs, 1, 0x99, &d, &cntr, true);
	std::vector<ferry_msg> q = take_dlog_q();
	ASSERT_EQ(1u, q.size());
	EXPECT_EQ(6u, q[0].data.diginfo.delete_flag);
	EXPECT_EQ(0u, q[0].data.diginfo.masternode);
	uint64_t now_ms = ox_clock_getabsolute();
	EXPECT_LE(q[0].data.diginfo.digesttime, now_ms);
	EXPECT_GT(q[0].data.diginfo.digesttime + 60000, now_ms);
}

} // namespace
