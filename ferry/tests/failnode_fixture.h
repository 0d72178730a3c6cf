// Helpers of the failed-node tests: the shipping fixture with two
// datacenters and a second namespace, a digest log the test writes as the
// pipe reader would, and failed-node slots filled as a report would fill
// them.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../src/ferry_failnode.h"
#include "../src/ferry_windows.h"
#include "road_fixture.h"
#include "tamberlin/ox_ll.h"
#include "tamberlin/rbuffer.h"

namespace failnode_test {

using namespace road_test;

// The second namespace: it replicates to the second datacenter only.
constexpr int kNs2 = 2;
constexpr const char *kNs2Name = "other";

// One digest-log record.
struct rec {
	uint32_t n;          // the record digest_of(n)
	uint64_t time;       // its digest time
	ox_node master;
	uint32_t generation = 1;
	int32_t nsid = kNs;
	uint32_t delete_flag = 0;
};

// A window as the list held it.
struct window {
	uint64_t start, end;
	ox_node node;
};

class FailNode : public RoadTest {
protected:
	std::string dlog_path;
	cluster_cfg mcfg;
	thread_data td;
	uint64_t t0 = 0; // a time well before every record of a case

	FailNode()
	{
		n_dcs = 2;
		cluster_namespaces = {kNsName, kNs2Name};
	}

	void SetUp() override
	{
		RoadTest::SetUp();
		if (HasFatalFailure()) {
			return;
		}
		dlog_path = ferry_test_path("failnode");
		g_rbuf_des = ferry_test_open_dlog_at(dlog_path, 1 << 20, true);
		ASSERT_NE(g_rbuf_des, nullptr);
		g_ns_xcfg_opt[kNs2].ns_name = ox_strdup(kNs2Name);
		g_ns_xcfg_opt[kNs2].ns_id = kNs2;
		g_ns_xcfg_opt[kNs2].ferry_enabled = true;
		g_ns_xcfg_opt[kNs2].ns_dclist_v = ox_vector_create(sizeof(void *), 10, 0);
		ox_vector_pointer_append(g_ns_xcfg_opt[kNs2].ns_dclist_v, ox_strdup("DC2"));
		g_ns_xcfg_opt[kNs2].ns_dc_ids[0] = 1;
		g_ns_count = kNs2;
		ASSERT_EQ(0, ferry_ns_bucket_setup(kNs2, kNs2Name, kSlots));
		g_xcfg.ferry_shipping_enabled = true;
		ferry_failednode_slots_reset();
		g_maxfailedever = 0;
		memset(&mcfg, 0, sizeof(mcfg));
		mcfg.asc = g_local_cluster;
		td = {&cntr, &mcfg, g_rcfg};
		t0 = ox_clock_getabsolute() - 100000;
	}

	void TearDown() override
	{
		// Every run of a case has ended: its slot is free.
		EXPECT_TRUE(ferry_test_wait_until([] {
			for (int i = 0; i < CLUSTER_MAX_SZ; i++) {
				if (g_failednodeinfo[i].slotinuse.load()) {
					return false;
				}
			}
			return true;
		}));
		if (g_rbuf_des) {
			ox_rbuffer_close(g_rbuf_des);
			g_rbuf_des = nullptr;
		}
		unlink(dlog_path.c_str());
		ferry_ns_bucket_free(kNs2);
		ferry_failednode_slots_reset();
		RoadTest::TearDown();
	}

	void log_recs(const std::vector<rec> &recs)
	{
		std::vector<ferry_msg_ondisk> buf;
		for (const rec &r : recs) {
			buf.push_back(ferry_test_digestinfo(r.nsid, digest_of(r.n).digest, r.generation, r.time, r.master,
					r.delete_flag));
		}
		ASSERT_TRUE(ferry_test_write_dlog(g_rbuf_des, buf.data(), buf.size()));
	}

	// A local record of namespace ns stored under digest_of(n).
	void local_in(const char *ns, uint32_t n, uint32_t generation)
	{
		fake_record r;
		r.set = "s1";
		r.generation = generation;
		r.bins = {{"i", 1, be8(n)}};
		fake_node_put_record(local(), ns, digest_of(n).digest, r);
	}

	// A claimed slot filled as a failure report fills it.
	int report(ox_node node, const std::vector<uint64_t> &starts, uint64_t failtime)
	{
		int s = g_maxfailedever++;
		EXPECT_TRUE(ferry_failednode_claim(s));
		failednode_info *f = &g_failednodeinfo[s];
		f->node = node;
		for (int d = 0; d < DC_MAX_NUM; d++) {
			f->ferrylastship[d].store(d < (int)starts.size() ? starts[(size_t)d] : 0);
		}
		f->failtime.store(failtime);
		return s;
	}

	void run(int s)
	{
		failednode_info *f = &g_failednodeinfo[s];
		ferry_process_failednode(f->node, f->ferrylastship, f->failtime.load(), &td, s);
	}

	// The end of a run reported now: the margin, shortened by the divisor.
	static uint64_t end_now() { return ox_clock_getabsolute() + ferry_time_adjust(); }

	static std::vector<window> windows(int dc)
	{
		std::vector<window> out;
		ox_ll *ll = g_rcfg[dc].ship_times;
		for (ox_ll_element *e = ox_ll_get_head(ll); e; e = ox_ll_get_next(e)) {
			auto *w = (ship_times_elem *)e;
			out.push_back({w->cluster_start_marker, w->cluster_end_marker, w->node_id});
		}
		return out;
	}

	// The digests a datacenter received, in order, of one kind.
	std::vector<std::string> got(int dc, fake_req_kind kind)
	{
		std::vector<std::string> out;
		for (const remote_write &w : writes_of(remote(dc))) {
			if (w.kind == kind) {
				out.push_back(w.digest);
			}
		}
		return out;
	}

	// No failed-node last-ship time on any datacenter (the stored one of the
	// configured ones, and the minimum over every slot).
	bool all_lst_none()
	{
		for (int dc = 0; dc < DC_MAX_NUM; dc++) {
			if ((dc < n_dcs && ox_atomic64_get(&g_lastshiptime[dc].lst_failednode) != FERRY_LST_NONE) ||
					ferry_failednode_lst_min(dc) != FERRY_LST_NONE) {
				return false;
			}
		}
		return true;
	}

	// The digests a datacenter received of one kind, sorted (the engine's
	// connections deliver in any order).
	std::vector<std::string> got_sorted(int dc, fake_req_kind kind)
	{
		std::vector<std::string> v = got(dc, kind);
		std::sort(v.begin(), v.end());
		return v;
	}
};

} // namespace failnode_test
