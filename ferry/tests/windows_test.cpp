// Shipping one window from the digest log to one datacenter: which records a
// window takes (its node's, this node's with those the reader takes over),
// what it leaves (other nodes', unknown namespaces, records written again),
// deletes only to the window's datacenter and only when the record is gone
// here, and the windows that ship nothing.
#include <gtest/gtest.h>

#include "../src/ferry_windows.h"
#include "windows_fixture.h"

namespace {

using namespace windows_test;

constexpr ox_node kFailed = 0xF1;
constexpr ox_node kGone = 0xC1; // left the cluster before this shipper booted
constexpr ox_node kBoot = 0xB0; // a boot node: ships its own records

struct window_case {
	const char *name;
	ox_node node;
	int64_t start, end; // from the log's first digest time
	std::multiset<uint32_t> writes, deletes;
	int64_t reached; // from the first digest time; kUntouched: not written
	uint64_t cancelled;
};
constexpr int64_t kUntouched = -999999;
constexpr int64_t kZero = -888888; // reached reported as 0

class Window : public WindowsTest {
protected:
	Window() { n_dcs = 2; }
	uint64_t base = 0;

	void SetUp() override
	{
		WindowsTest::SetUp();
		if (HasFatalFailure()) {
			return;
		}
		g_bootnodes[0] = kBoot;
		g_bootnodes[1] = kFailed; // failed after this shipper booted
		g_bootnodecount = 2;
		g_failover = true;
		base = t0;
		std::vector<logrec> log = run(1, 5, base);                 // 1..5 at +0..+40
		for (const logrec &r : run(11, 3, base + 50, kFailed)) { // 11..13 at +50..+70
			log.push_back(r);
		}
		log.push_back({20, base + 80, 0, 1, false, 7}); // a namespace not configured here
		log.push_back({21, base + 90});                 // written again since
		local_record(21, 2);
		log.push_back({22, base + 100, 0, 2, true}); // a delete of a record gone here
		log.push_back({23, base + 110, 0, 2, true}); // a delete of a record written again
		local_record(23, 3);
		log.push_back({24, base + 120, kGone});
		local_record(24, 1);
		log.push_back({25, base + 130, kBoot});
		local_record(25, 1);
		for (const logrec &r : run(26, 2, base + 140)) {
			log.push_back(r);
		}
		write_log(log);
	}
};

TEST_F(Window, ShipsWhatItCoversToItsDatacenterOnly)
{
	const window_case cases[] = {
		{"this node, the whole log", 0, -1, 150, {1, 2, 3, 4, 5, 24, 26, 27}, {22}, 150, 1},
		{"a failed node", kFailed, -1, 70, {11, 12, 13}, {}, 70, 0},
		{"a node without records", 0xAB, -1, 150, {}, {}, 150, 0},
		{"ends before the first record", 0, -100, -50, {}, {}, 0, 0},
		{"starts after it ends", 0, 10, 0, {}, {}, kUntouched, 0},
		{"starts after the newest record", 0, 1000, 2000, {}, {}, kZero, 0},
	};
	size_t from_writes = 0;
	uint64_t from_replies = 0;
	for (const window_case &c : cases) {
		SCOPED_TRACE(c.name);
		uint64_t cancelled = get(g_ferry_cntr->dlog_deletes_canceled);
		uint64_t reached = 12345;
		int rv = ferry_do_windowship(&g_rcfg[0], base + c.start, base + c.end, &reached, c.node);
		EXPECT_EQ(0, rv);
		if (c.reached == kUntouched) {
			EXPECT_EQ(12345u, reached);
		} else if (c.reached == kZero) {
			EXPECT_EQ(0u, reached);
		} else {
			EXPECT_EQ(base + c.reached, reached);
		}
		uint64_t want = from_replies + c.writes.size() + c.deletes.size();
		ASSERT_TRUE(ferry_test_wait_until([&] { return replies() >= want; }));
		EXPECT_EQ(want, replies());
		from_replies = want;

		std::vector<remote_write> w = writes_of(remote(0));
		std::multiset<uint32_t> writes, deletes;
		for (size_t i = from_writes; i < w.size(); i++) {
			uint32_t n;
			memcpy(&n, w[i].digest.data(), sizeof(n));
			(w[i].kind == FAKE_REQ_DELETE ? deletes : writes).insert(n);
		}
		from_writes = w.size();
		EXPECT_EQ(c.writes, writes);
		EXPECT_EQ(c.deletes, deletes);
		EXPECT_EQ(c.cancelled, get(g_ferry_cntr->dlog_deletes_canceled) - cancelled);
		// The other datacenter of the namespace has had all this already.
		EXPECT_EQ(0u, writes_of(remote(1)).size());
	}
	// The window's ships neither move the main last-ship times nor, outside
	// window shipping, the window one.
	EXPECT_EQ(1000u, g_lastshiptime[0].lst_main);
	EXPECT_EQ(FERRY_LST_NONE, lst_window(0));
	EXPECT_EQ(0u, g_rcfg[1].ship_times->sz);
}

// A datacenter id of -1 in the namespace's list is named and passed over;
// the datacenters after it are still shipped to.
TEST_F(Window, ANullDatacenterIdIsWarnedOfAndPassedOver)
{
	g_ns_xcfg_opt[kNs].ns_dc_ids[0] = -1;
	uint64_t reached = 0;
	EXPECT_EQ(0, ferry_do_windowship(&g_rcfg[1], base - 1, base + 40, &reached, 0));
	g_ns_xcfg_opt[kNs].ns_dc_ids[0] = 0;
	ASSERT_TRUE(ferry_test_wait_until([&] { return replies() >= 5; }));
	EXPECT_EQ(5u, writes_of(remote(1)).size());
	EXPECT_EQ(0u, writes_of(remote(0)).size());
	EXPECT_TRUE(log_has("Windowshipper: Encountered a null dcid in the list of dcs to replicate to"));
}

// A local read that fails for another reason than "not found" proves
// nothing: the record (or the delete) goes back through the digest log as
// this node's, and nothing of it reaches the datacenter from the window.
TEST_F(Window, ALocalReadThatFailsSendsTheDigestBackThroughTheLog)
{
	struct {
		const char *what;
		uint32_t n;
		int64_t at;           // its digest time, from the first
		uint32_t delete_flag; // of the relogged digest
		uint32_t next;        // the record after it, shipped as usual
	} cases[] = {
		{"a record whose read fails", 3, 20, 0, 4},
		{"a delete whose existence check fails", 22, 100, RELAY_DELETE_FLAG | RELAY_DELETE_RELOG_FLAG, 24},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.what);
		fake_fault f;
		f.kind = FAKE_FAULT_RESULT_CODE;
		f.result_code = 11;
		f.count = -1;
		f.on = FAKE_REQ_READ;
		f.digest = key(digest_of(c.n));
		fake_node_set_fault(local(), f);
		uint64_t relogged_before = get(cntr.dlog_pkts_relogged);
		uint64_t reached = 0;
		EXPECT_EQ(0, ferry_do_windowship(&g_rcfg[0], base + c.at, base + c.at + 20, &reached, 0));
		std::vector<ferry_msg> relogged = take_dlog_q();
		ASSERT_EQ(relogged.size(), 1u);
		const ferry_msg_digestinfo &x = relogged[0].data.diginfo;
		EXPECT_EQ(0, memcmp(x.digest, digest_of(c.n).digest, sizeof(x.digest)));
		EXPECT_EQ(x.masternode, 0u);
		EXPECT_EQ(x.delete_flag, c.delete_flag);
		EXPECT_EQ(relogged_before + 1, get(cntr.dlog_pkts_relogged));
		ASSERT_TRUE(ferry_test_wait_until([&] { return got(remote(0)).count(c.next) == 1; }));
		EXPECT_EQ(got(remote(0)).count(c.n) + got(remote(0), FAKE_REQ_DELETE).count(c.n), 0u);
	}
}

TEST_F(Window, ADatacenterDownShipsNothingAndReportsWhereItStopped)
{
	__atomic_store_n(&g_rcfg[0].cluster_health, (int32_t)CLUSTER_DOWN, __ATOMIC_RELEASE);
	uint64_t reached = 0;
	EXPECT_EQ(1, ferry_do_windowship(&g_rcfg[0], base - 1, base + 150, &reached, 0));
	EXPECT_EQ(base, reached); // the first record's ship found it down
	EXPECT_EQ(0u, get(cntr.remote_ship_total_bytes));
	EXPECT_EQ(0u, writes_of(remote(0)).size());
}

} // namespace
