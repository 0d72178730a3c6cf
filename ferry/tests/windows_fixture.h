// Helpers of the window tests: the road's stand-ins (road_fixture.h) with a
// digest log of their own, records written into it as the writer would,
// the local records they name, the shipper's log as text, and views of a
// datacenter's window list.
#pragma once

#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "../src/ferry_ship.h"
#include "../src/ferry_windows.h"
#include "road_fixture.h"
#include "tamberlin/fault.h"
#include "tamberlin/rbuffer.h"

namespace windows_test {

using namespace road_test;

// One record of the digest log.
struct logrec {
	uint32_t n;            // digest_of(n)
	uint64_t time;         // digest time, wall-clock ms
	ox_node master = 0;
	uint32_t generation = 1;
	bool del = false;
	int32_t nsid = kNs;
};

// A window as the list holds it.
struct window_view {
	uint64_t start, end;
	ox_node node;
};

class WindowsTest : public RoadTest {
protected:
	int64_t dlog_size = 64 * 8004 + 2048;
	bool dlog_overwrite = false;
	std::string dlog_file;
	std::string log_path;
	size_t log_from = 0;
	uint64_t t0 = 0; // a time well in the past that the records count from

	void SetUp() override
	{
		RoadTest::SetUp();
		if (HasFatalFailure()) {
			return;
		}
		log_path = ferry_test_log_once("windows_log", "debug");
		ASSERT_FALSE(log_path.empty());
		log_from = ferry_test_read_file(log_path).size();
		g_rbuf_des = ferry_test_open_dlog("windows_dlog", dlog_size, dlog_overwrite);
		ASSERT_NE(g_rbuf_des, nullptr);
		dlog_file = g_rbuf_des->hdr[0].fname;
		t0 = ox_clock_getabsolute() - 100000;
		g_boottime = ox_clock_getabsolute();
	}

	void TearDown() override
	{
		// Managers first: they read the digest log.
		g_window_managers_quit = true;
		EXPECT_TRUE(ferry_test_wait_until(
				[] { return g_window_managers_ended.load() == g_window_managers_started.load(); }));
		if (g_rbuf_des) {
			ox_rbuffer_close(g_rbuf_des);
			g_rbuf_des = nullptr;
			unlink(dlog_file.c_str());
		}
		ka_cluster_test_set_tick_ms(1000);
		g_bootnodecount = 0;
		g_boottime = 0;
		RoadTest::TearDown();
	}

	// The shipper's log since the test began.
	std::string log_text() { return ferry_test_read_file(log_path).substr(log_from); }
	bool log_has(const std::string &text)
	{
		return ferry_test_wait_until([&] { return log_text().find(text) != std::string::npos; });
	}
	// The lines hold each text in turn, each after the one before.
	::testing::AssertionResult log_in_order(const std::vector<std::string> &texts)
	{
		std::string log = log_text();
		size_t at = 0;
		for (const std::string &t : texts) {
			size_t f = log.find(t, at);
			if (f == std::string::npos) {
				return ::testing::AssertionFailure() << "missing in order: " << t;
			}
			at = f + t.size();
		}
		return ::testing::AssertionSuccess();
	}

	void write_log(const std::vector<logrec> &recs)
	{
		std::vector<ferry_msg_ondisk> buf;
		for (const logrec &r : recs) {
			buf.push_back(ferry_test_digestinfo(r.nsid, digest_of(r.n).digest, r.generation, r.time, r.master,
					r.del ? RELAY_DELETE_FLAG : 0));
		}
		ASSERT_TRUE(ferry_test_write_dlog(g_rbuf_des, buf.data(), buf.size()));
	}

	// Records first .. first + count - 1, 10 ms apart from time `from`, each
	// stored locally with generation 1.
	std::vector<logrec> run(uint32_t first, uint32_t count, uint64_t from, ox_node master = 0)
	{
		std::vector<logrec> v;
		for (uint32_t i = 0; i < count; i++) {
			v.push_back({first + i, from + 10 * i, master});
			local_record(first + i, 1);
		}
		return v;
	}

	// The digests (as numbers) of the writes, or deletes, a remote received.
	std::multiset<uint32_t> got(fake_node *n, fake_req_kind kind = FAKE_REQ_WRITE)
	{
		std::multiset<uint32_t> out;
		if (!n) {
			return out;
		}
		for (const remote_write &w : writes_of(n)) {
			if (w.kind == kind && w.digest.size() == 20) {
				uint32_t v;
				memcpy(&v, w.digest.data(), sizeof(v));
				out.insert(v);
			}
		}
		return out;
	}
	bool got_all(fake_node *n, uint32_t first, uint32_t count)
	{
		std::multiset<uint32_t> g = got(n);
		for (uint32_t i = first; i < first + count; i++) {
			if (!g.count(i)) {
				return false;
			}
		}
		return true;
	}

	// Waits for them: the engine delivers after the window has moved on.
	bool wait_got_all(int dc, uint32_t first, uint32_t count)
	{
		return ferry_test_wait_until([&] { return got_all(remote(dc), first, count); });
	}

	static std::vector<window_view> windows(int dc = 0)
	{
		std::vector<window_view> out;
		ox_ll_reduce(g_rcfg[dc].ship_times, true,
				[](ox_ll_element *e, void *u) {
					auto *w = (ship_times_elem *)e;
					((std::vector<window_view> *)u)->push_back({w->cluster_start_marker, w->cluster_end_marker, w->node_id});
					return 0;
				},
				&out);
		return out;
	}
	static int32_t health(int dc = 0) { return ferry_health_get(&g_rcfg[dc]); }
	static uint64_t lst_window(int dc = 0)
	{
		return __atomic_load_n(&g_lastshiptime[dc].lst_windowship, __ATOMIC_SEQ_CST);
	}

	// The remote as the tend sees it: ticks of 10 ms, a tend every tick.
	void tend_fast(int dc = 0)
	{
		ka_cluster_test_set_tick_ms(10);
		tamberlin_cluster_change_tend_speed(g_rcfg[dc].asc, 1);
		g_xcfg.ferry_timeout = 200;
	}
	void stop_remote(int dc = 0)
	{
		fake_cluster_stop_node(remote_fc[(size_t)dc], 0);
		ASSERT_TRUE(ferry_test_wait_until(
				[&] { return tamberlin_check_cluster_health(g_rcfg[dc].asc) == TAMBERLIN_FAIL_DC_DOWN; }));
	}
	void restart_remote(int dc = 0) { ASSERT_EQ(0, fake_cluster_restart_node(remote_fc[(size_t)dc], 0)); }

	// A ship that finds the datacenter gone: it goes down and its manager
	// starts, as the main reader's ships would do it.
	void ship_into_outage(uint32_t n, int dc = 0)
	{
		uint64_t started = g_window_managers_started.load();
		ka::ox_digest d = digest_of(n);
		ka_bin b = int_bin("i", n);
		ASSERT_EQ(1, ferry_queue_digest(&g_rcfg[dc], (char *)kNsName, &d, nullptr, 0, &b, 1, kNs, 1, 0, &cntr,
								false, 0, false));
		ASSERT_EQ(started + 1, g_window_managers_started.load());
		ASSERT_EQ(CLUSTER_DOWN, health(dc));
	}

	// Every manager has ended (without the quit hook).
	bool managers_done()
	{
		return g_window_managers_ended.load() == g_window_managers_started.load();
	}
};

} // namespace windows_test
