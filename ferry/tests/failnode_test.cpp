// Failed-node processing, one run on the test's thread: what reaches each
// datacenter, what is left out and why, the windows of a datacenter that is
// down, and what the run leaves behind (a free slot, no last-ship hold).
#include "../src/ferry_ship.h"
#include "failnode_fixture.h"

#include <thread>

namespace {

using namespace failnode_test;

constexpr ox_node kFailed = 0xF1;
constexpr ox_node kOther = 0xB2;

// Runs that have nothing to read end at once, free their slot and hold
// nothing; the same node's next failure is processed as usual.
TEST_F(FailNode, RunsWithNothingToProcessEndAtOnceAndFreeTheSlot)
{
	struct {
		const char *what;
		int dcs;                       // datacenters configured
		std::vector<uint64_t> starts;  // the slot's start times
		int64_t end_from_now_ms;       // the slot's end
	} cases[] = {
		{"every reported last-ship time 0 (saturated)", 2, {0, 0}, 300},
		{"no datacenter configured", 0, {t0, t0}, 300},
		{"an end before the start", 2, {t0 + 5000, t0 + 5000}, -200000},
	};
	log_recs({{1, t0 + 10000, kFailed}});
	local_in(kNsName, 1, 1);
	for (auto &c : cases) {
		SCOPED_TRACE(c.what);
		g_dc_count = c.dcs;
		uint64_t end = (uint64_t)((int64_t)ox_clock_getabsolute() + c.end_from_now_ms);
		int s = report(kFailed, c.starts, end);
		run(s);
		EXPECT_FALSE(g_failednodeinfo[s].slotinuse.load());
		EXPECT_TRUE(all_lst_none());
		EXPECT_EQ(fake_node_write_count(remote(0)) + fake_node_write_count(remote(1)), 0u);
	}
	g_dc_count = 2;
	int s = report(kFailed, {t0, t0}, end_now());
	run(s);
	ASSERT_TRUE(ferry_test_wait_until([&] { return replies() >= 2; }));
	EXPECT_EQ(got(0, FAKE_REQ_WRITE), std::vector<std::string>{key(digest_of(1))});
	EXPECT_EQ(got(1, FAKE_REQ_WRITE), std::vector<std::string>{key(digest_of(1))});
}

// The failed node's records from each datacenter's start go to every
// datacenter of their namespace; the rest of the log is left alone.
TEST_F(FailNode, ShipsTheNodesRecordsFromEachDatacentersStart)
{
	const uint64_t dc1_start = t0 + 1000, dc2_start = t0 + 5000;
	struct {
		const char *what;
		rec r;
		int local_generation;   // 0: no local record
		bool to_dc1, to_dc2;    // a write (or delete) arrives there
		bool counted;           // a record handled (fetched and not stale)
	} cases[] = {
		{"another node's record", {10, t0 + 2000, kOther}, 1, false, false, false},
		{"before the second datacenter's start", {11, t0 + 3000, kFailed}, 1, true, false, true},
		{"a delete before the second's start, gone locally", {12, t0 + 3500, kFailed, 2, kNs, RELAY_DELETE_FLAG}, 0,
			true, false, false},
		{"this node's own record", {13, t0 + 6000, 0}, 1, false, false, false},
		{"after both starts", {14, t0 + 7000, kFailed}, 1, true, true, true},
		{"changed since it was logged", {15, t0 + 7100, kFailed}, 2, false, false, false},
		{"no longer in the local cluster", {16, t0 + 7200, kFailed}, 0, false, false, false},
		{"a delete after both starts, gone locally", {17, t0 + 7300, kFailed, 2, kNs, RELAY_DELETE_FLAG}, 0, true,
			true, false},
		{"a delete of a record written again since", {18, t0 + 7400, kFailed, 2, kNs, RELAY_DELETE_FLAG}, 1,
			false, false, false},
		{"the second namespace, second datacenter only", {19, t0 + 7500, kFailed, 1, kNs2}, 1, false, true, true},
		{"the last record, after both starts", {20, t0 + 9000, kFailed}, 1, true, true, true},
	};
	std::vector<rec> recs;
	uint64_t sends = 0, counted = 0;
	std::vector<std::string> want_w[2], want_d[2];
	for (auto &c : cases) {
		recs.push_back(c.r);
		if (c.local_generation) {
			local_in(c.r.nsid == kNs ? kNsName : kNs2Name, c.r.n, (uint32_t)c.local_generation);
		}
		bool del = c.r.delete_flag != 0;
		for (int dc = 0; dc < 2; dc++) {
			if (dc == 0 ? c.to_dc1 : c.to_dc2) {
				(del ? want_d : want_w)[dc].push_back(key(digest_of(c.r.n)));
				sends++;
			}
		}
		counted += c.counted;
	}
	log_recs(recs);
	int s = report(kFailed, {dc1_start, dc2_start}, end_now());
	run(s);

	ASSERT_TRUE(ferry_test_wait_until([&] { return replies() >= sends; })) << replies() << " of " << sends;
	for (int dc = 0; dc < 2; dc++) {
		SCOPED_TRACE("DC" + std::to_string(dc + 1));
		std::sort(want_w[dc].begin(), want_w[dc].end());
		std::sort(want_d[dc].begin(), want_d[dc].end());
		EXPECT_EQ(got_sorted(dc, FAKE_REQ_WRITE), want_w[dc]);
		EXPECT_EQ(got_sorted(dc, FAKE_REQ_DELETE), want_d[dc]);
		EXPECT_TRUE(windows(dc).empty());
	}
	EXPECT_EQ(replies(), sends);
	EXPECT_EQ(get(cntr.dlog_pkts_replprocessed), counted);
	EXPECT_EQ(get(cntr.per_dc_counters[0].record_ship_attempts), want_w[0].size());
	EXPECT_EQ(get(cntr.per_dc_counters[1].record_ship_attempts), want_w[1].size());
	EXPECT_EQ(get(cntr.per_dc_counters[0].delete_ship_attempts), want_d[0].size());
	EXPECT_EQ(get(cntr.per_dc_counters[1].delete_ship_attempts), want_d[1].size());
	EXPECT_EQ(get(cntr.dlog_deletes_canceled), 1u);
	// Records of both namespaces went out; no datacenter is held any more.
	EXPECT_FALSE(g_failednodeinfo[s].slotinuse.load());
	EXPECT_TRUE(all_lst_none());
	for (int dc = 0; dc < 2; dc++) {
		ferry_get_min_lst_for_dcid(dc);
		EXPECT_EQ(ox_atomic64_get(&g_lastshiptime[dc].lst_failednode), FERRY_LST_NONE);
	}
}

// A datacenter that is down takes exactly one window of the run, from a
// margin before the first record that would have gone there to the run's
// end; the other datacenter still gets every record.
TEST_F(FailNode, ADatacenterDownGetsOneWindowFromTheRecordThatFoundItDown)
{
	const uint64_t dc2_start = t0 + 2000;
	std::vector<rec> recs = {
		{30, t0 + 1000, kFailed}, // before the second datacenter's start
		{31, t0 + 2500, kOther},
		{32, t0 + 3000, kFailed}, // the first one for the second datacenter
		{33, t0 + 4000, kFailed},
		{34, t0 + 5000, kFailed},
	};
	for (const rec &r : recs) {
		local_in(kNsName, r.n, 1);
	}
	log_recs(recs);
	__atomic_store_n(&g_rcfg[1].cluster_health, CLUSTER_DOWN, __ATOMIC_RELEASE);
	uint64_t end = end_now();
	int s = report(kFailed, {t0, dc2_start}, end);
	run(s);

	ASSERT_TRUE(ferry_test_wait_until([&] { return replies() >= 4; }));
	std::vector<std::string> all = {key(digest_of(30)), key(digest_of(32)), key(digest_of(33)), key(digest_of(34))};
	std::sort(all.begin(), all.end());
	EXPECT_EQ(got_sorted(0, FAKE_REQ_WRITE), all);
	EXPECT_TRUE(got(1, FAKE_REQ_WRITE).empty());
	EXPECT_TRUE(windows(0).empty());
	std::vector<window> w = windows(1);
	ASSERT_EQ(w.size(), 1u);
	// A margin before that record: a seek of a nearly sorted log may not
	// land after it.
	EXPECT_EQ(w[0].start, t0 + 3000 - ferry_time_adjust());
	EXPECT_EQ(w[0].node, kFailed);
	EXPECT_GE(w[0].end, end);
	EXPECT_EQ(get(cntr.per_dc_counters[1].record_ship_attempts), 0u);
	EXPECT_TRUE(all_lst_none());
}

// A local read that fails for another reason than "not found" proves
// nothing: the record (or the delete) goes back through the digest log as
// this node's to ship, and the run sends nothing of it.
TEST_F(FailNode, ALocalReadThatFailsSendsTheDigestBackThroughTheLog)
{
	struct {
		const char *what;
		rec r;
		uint32_t delete_flag; // of the relogged digest
	} cases[] = {
		{"a record whose read fails", {40, t0 + 1000, kFailed}, 0},
		{"a delete whose existence check fails", {41, t0 + 2000, kFailed, 2, kNs, RELAY_DELETE_FLAG},
			RELAY_DELETE_FLAG | RELAY_DELETE_RELOG_FLAG},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.what);
		local_in(kNsName, c.r.n, 1);
		log_recs({c.r});
		fake_fault f;
		f.kind = FAKE_FAULT_RESULT_CODE;
		f.result_code = 11;
		f.count = -1;
		f.on = FAKE_REQ_READ;
		f.digest = key(digest_of(c.r.n));
		fake_node_set_fault(local(), f);
		run(report(kFailed, {c.r.time, c.r.time}, end_now()));
		std::vector<ferry_msg> relogged = take_dlog_q();
		ASSERT_EQ(relogged.size(), 1u);
		const ferry_msg_digestinfo &x = relogged[0].data.diginfo;
		EXPECT_EQ(0, memcmp(x.digest, digest_of(c.r.n).digest, sizeof(x.digest)));
		EXPECT_EQ(x.masternode, 0u);
		EXPECT_EQ(x.delete_flag, c.delete_flag);
	}
	EXPECT_EQ(get(cntr.dlog_pkts_relogged), 2u);
	EXPECT_EQ(replies(), 0u);
	EXPECT_TRUE(all_lst_none());
}

// Puts the product's re-ship send back at the end of a test that hooked it.
struct reship_send_hook {
	~reship_send_hook() { g_ferry_reship_send = ferry_queue_digest; }
};

// The send to the second datacenter finds it down; what the run does next
// depends on where its state is by the time it looks again.
struct found_down {
	int32_t then;  // the second datacenter's state when the send returns
	int calls = 0; // sends to it
};
found_down *g_found_down;

int
send_finding_down(cluster_cfg *rcfg, char *nsname, const ka::ox_digest *keyd, char *setname, uint32_t void_time,
		ka_bin *bin, int n_bins, int nsid, uint32_t gen, ox_node mnode, counters *cntr, bool gencheck,
		ox_node node_id, bool is_delete)
{
	if (rcfg == &g_rcfg[1] && g_found_down->calls++ == 0) {
		__atomic_store_n(&rcfg->cluster_health, g_found_down->then, __ATOMIC_RELEASE);
		return 1;
	}
	return ferry_queue_digest(rcfg, nsname, keyd, setname, void_time, bin, n_bins, nsid, gen, mnode, cntr,
			gencheck, node_id, is_delete);
}

TEST_F(FailNode, ASendThatFoundTheDatacenterDownGoesAgainUnlessItIsStillDown)
{
	struct {
		const char *what;
		int32_t then;
		bool sent_again; // else a window takes the rest
	} cases[] = {
		{"up again: its window manager ended meanwhile", CLUSTER_UP, true},
		{"window shipping: its manager took over meanwhile", CLUSTER_WINDOW_SHIP, true},
		{"still down", CLUSTER_DOWN, false},
	};
	reship_send_hook guard;
	g_ferry_reship_send = send_finding_down;
	uint32_t n = 50;
	uint64_t at = t0 + 1000;
	uint64_t want_replies = 0;
	for (auto &c : cases) {
		SCOPED_TRACE(c.what);
		found_down fd{c.then};
		g_found_down = &fd;
		local_in(kNsName, n, 1);
		log_recs({{n, at, kFailed}});
		run(report(kFailed, {at, at}, end_now()));
		want_replies += c.sent_again ? 2 : 1;
		ASSERT_TRUE(ferry_test_wait_until([&] { return replies() >= want_replies; }));
		EXPECT_EQ(fd.calls, c.sent_again ? 2 : 1);
		EXPECT_EQ(got(0, FAKE_REQ_WRITE).back(), key(digest_of(n)));
		std::vector<std::string> dc2 = got(1, FAKE_REQ_WRITE);
		std::vector<window> w = windows(1);
		if (c.sent_again) {
			ASSERT_FALSE(dc2.empty());
			EXPECT_EQ(dc2.back(), key(digest_of(n)));
			EXPECT_TRUE(w.empty());
		} else {
			EXPECT_TRUE(dc2.empty() || dc2.back() != key(digest_of(n)));
			ASSERT_EQ(w.size(), 1u);
			EXPECT_EQ(w[0].start, at - ferry_time_adjust());
			EXPECT_EQ(w[0].node, kFailed);
		}
		__atomic_store_n(&g_rcfg[1].cluster_health, (int32_t)CLUSTER_UP, __ATOMIC_RELEASE);
		n++;
		at += 1000;
	}
	EXPECT_EQ(replies(), want_replies);
}

// A repeated report moves the run's end while a datacenter's rest is on a
// window: the window list gets the stretch from the old end to the new one,
// so the records after the first end reach that datacenter too.
struct end_mover {
	failednode_info *slot;
	std::string at;  // the digest whose send to the first datacenter moves the end
	uint64_t to;
};
end_mover *g_end_mover;

int
send_moving_the_end(cluster_cfg *rcfg, char *nsname, const ka::ox_digest *keyd, char *setname, uint32_t void_time,
		ka_bin *bin, int n_bins, int nsid, uint32_t gen, ox_node mnode, counters *cntr, bool gencheck,
		ox_node node_id, bool is_delete)
{
	if (rcfg == &g_rcfg[0] && key(*keyd) == g_end_mover->at) {
		g_end_mover->slot->failtime.store(g_end_mover->to);
	}
	return ferry_queue_digest(rcfg, nsname, keyd, setname, void_time, bin, n_bins, nsid, gen, mnode, cntr,
			gencheck, node_id, is_delete);
}

TEST_F(FailNode, ARepeatedReportExtendsTheWindowsOfADatacenterThatWentDown)
{
	reship_send_hook guard;
	uint64_t first_end = end_now();
	uint64_t later_end = first_end + 4000;
	std::vector<rec> recs = {
		{70, t0 + 1000, kFailed},        // finds the second datacenter down
		{71, first_end + 500, kFailed},  // its send moves the end
		{72, first_end + 1500, kFailed}, // after the first end
	};
	for (const rec &r : recs) {
		local_in(kNsName, r.n, 1);
	}
	log_recs(recs);
	__atomic_store_n(&g_rcfg[1].cluster_health, CLUSTER_DOWN, __ATOMIC_RELEASE);
	int s = report(kFailed, {t0, t0}, first_end);
	end_mover m{&g_failednodeinfo[s], key(digest_of(71)), later_end};
	g_end_mover = &m;
	g_ferry_reship_send = send_moving_the_end;
	run(s);

	ASSERT_TRUE(ferry_test_wait_until([&] { return replies() >= 3; }));
	EXPECT_EQ(got(0, FAKE_REQ_WRITE).size(), 3u);
	EXPECT_TRUE(got(1, FAKE_REQ_WRITE).empty());
	// Every record of the run lies inside a window of the second datacenter.
	std::vector<window> w = windows(1);
	for (const rec &r : recs) {
		bool covered = false;
		for (const window &x : w) {
			covered |= x.node == kFailed && x.start <= r.time && r.time <= x.end;
		}
		EXPECT_TRUE(covered) << "record " << r.n << " at +" << r.time - t0;
	}
}

// A full log whose writer takes the oldest segments from under the run: the
// run goes on from the start, and the operator learns how many of the
// records it still had to read it gave up.
TEST_F(FailNode, AReaderOverrunByTheWriterSaysHowManyRecordsItGaveUp)
{
	ox_rbuffer_close(g_rbuf_des);
	unlink(dlog_path.c_str());
	g_rbuf_des = ferry_test_open_dlog_at(dlog_path, 10 * 8004 + 2048, true); // 1000 records
	ASSERT_NE(g_rbuf_des, nullptr);
	std::string log_path = ferry_test_log_once("failnode_log", "info");
	ASSERT_FALSE(log_path.empty());
	size_t log_from = ferry_test_read_file(log_path).size();
	std::vector<rec> first, more;
	for (uint32_t i = 1; i <= 1400; i++) {
		(i <= 150 ? first : more).push_back({i, t0 + 10 * i, kFailed});
	}
	local_in(kNsName, 1, 1);
	log_recs(first);
	fake_node_hold(local(), FAKE_REQ_READ);
	int s = report(kFailed, {t0, t0}, end_now());
	std::thread t([&] { run(s); });
	ASSERT_TRUE(fake_node_wait_held(local(), 1, 60000)); // the run fetches record 1
	log_recs(more); // the start moves to record 501
	fake_node_release(local());
	t.join();
	std::string log = ferry_test_read_file(log_path).substr(log_from);
	EXPECT_NE(log.find("Failed node processing of node 241: the digest log was overwritten under its reader: 499 records given up"),
			std::string::npos) << log;
}

// Each slot in use holds its datacenters at its own time; the reported time
// is the smallest hold, and a slot's hold ends with its run alone.
TEST_F(FailNode, TheReportedTimeIsTheSmallestHoldOfTheSlotsInUse)
{
	int a = report(kFailed, {t0}, end_now());
	int b = report(kOther, {t0}, end_now());
	struct {
		const char *what;
		uint64_t hold_a, hold_b;
		bool b_in_use;
		uint64_t want;
	} cases[] = {
		{"nothing held", FERRY_LST_NONE, FERRY_LST_NONE, true, FERRY_LST_NONE},
		{"one run holds", 500, FERRY_LST_NONE, true, 500},
		{"the smaller of two", 500, 300, true, 300},
		{"the other run moved past", 500, 900, true, 500},
		{"the first run ended", FERRY_LST_NONE, 900, true, 900},
		{"a slot not in use holds nothing", 700, 100, false, 700},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.what);
		g_failednodeinfo[b].slotinuse.store(c.b_in_use);
		ferry_failednode_hold(a, 0, c.hold_a);
		ferry_failednode_hold(b, 0, c.hold_b);
		EXPECT_EQ(ferry_failednode_lst_min(0), c.want);
		EXPECT_EQ(ox_atomic64_get(&g_lastshiptime[0].lst_failednode), c.want);
		ferry_get_min_lst_for_dcid(0);
		uint64_t main_lst = ox_atomic64_get(&g_lastshiptime[0].lst_main);
		EXPECT_EQ(ox_atomic64_get(&g_lastshiptime[0].lst_localmin), std::min(main_lst, c.want));
		EXPECT_EQ(ferry_failednode_lst_min(1), FERRY_LST_NONE);
	}
	for (int s : {a, b}) {
		ferry_failednode_hold(s, 0, FERRY_LST_NONE);
		g_failednodeinfo[s].slotinuse.store(false);
	}
}

} // namespace
