// The last-ship times against what is really done: a datacenter found down
// while a batch is half handed over opens its window before every digest of
// the batch it refused; writes awaiting their replies hold the reported,
// persisted and reclaimed times back; a window manager that cannot be
// started leaves the datacenter down with its windows until the housekeeper
// starts one. The reader runs its batches on a thread of the test's, without
// record-fetch workers (the parts are fetched in turn), over the window
// tests' stand-ins and digest log.
#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "../src/ferry_dlogreader.h"
#include "../src/ferry_housekeeper.h"
#include "../src/ferry_local.h"
#include "../src/ferry_ship.h"
#include "../src/ferry_windows.h"
#include "testkit/fake_local_server.h"
#include "windows_fixture.h"

namespace {

using namespace windows_test;

constexpr int kNs2 = 2;
constexpr const char *kNs2Name = "two";
constexpr uint64_t kMinute = 60000;

class LastShip : public WindowsTest {
protected:
	LastShip() { cluster_namespaces = {kNsName, kNs2Name}; }

	cluster_cfg mcfg{};
	thread_data td{};
	ferry_dlogreader r{};
	std::vector<ferry_msg_ondisk> batch;
	uint64_t base = 0; // log times count from here, 40 minutes back

	void SetUp() override
	{
		WindowsTest::SetUp();
		if (HasFatalFailure()) {
			return;
		}
		// A second namespace, to the same datacenter.
		ns_config_opt *ns = &g_ns_xcfg_opt[kNs2];
		ns->ns_name = ox_strdup(kNs2Name);
		ns->ns_id = kNs2;
		ns->ferry_enabled = true;
		ns->ns_dclist_v = ox_vector_create(sizeof(void *), 10, 0);
		ox_vector_pointer_append(ns->ns_dclist_v, ox_strdup("DC1"));
		ns->ns_dc_ids[0] = 0;
		g_ns_count = kNs2;
		ASSERT_EQ(0, ferry_ns_bucket_setup(kNs2, kNs2Name, kSlots));

		mcfg.asc = g_local_cluster;
		mcfg.cluster_health = CLUSTER_UP;
		td.cntr = &cntr;
		td.mcfg = &mcfg;
		td.rcfg = g_rcfg;
		r.td = &td;
		r.parts = 3;
		r.cbdata.cntr = &cntr;
		base = ox_clock_getabsolute() - 40 * kMinute;
		g_lastshiptime[0] = {base - kMinute, FERRY_LST_NONE, FERRY_LST_NONE, 0};
	}

	void TearDown() override
	{
		g_ferry_window_manager_spawn = pthread_create;
		WindowsTest::TearDown();
		ferry_ns_bucket_free(kNs2);
		g_xcfg.ferry_read_mode = FERRY_MODE_BATCH_GET;
	}

	// A record of namespace nsid, stored locally (a write) and logged.
	void add(std::vector<ferry_msg_ondisk> &v, int32_t nsid, uint32_t n, uint64_t time, bool del = false)
	{
		ka::ox_digest d = digest_of(n);
		if (!del) {
			fake_record fr;
			fr.set = "s1";
			fr.generation = 1;
			fr.bins = {{"i", 1, be8(n)}};
			fake_node_put_record(local(), nsid == kNs ? kNsName : kNs2Name, d.digest, fr);
		}
		v.push_back(ferry_test_digestinfo(nsid, d.digest, 1, time, 0, del ? RELAY_DELETE_FLAG : 0));
	}

	// The records as one batch of the reader, also written into the digest
	// log that windows are shipped from.
	void process(std::vector<ferry_msg_ondisk> recs)
	{
		ASSERT_TRUE(ferry_test_write_dlog(g_rbuf_des, recs.data(), recs.size()));
		batch = std::move(recs);
		r.buf = (char *)batch.data();
		r.alloc_recs = batch.size();
		ferry_dlogreader_process(&r, (int)batch.size());
		r.buf = nullptr;
	}

	bool remote_has(uint32_t first, uint32_t count, fake_req_kind kind = FAKE_REQ_WRITE)
	{
		std::multiset<uint32_t> g = got(remote(), kind);
		for (uint32_t i = first; i < first + count; i++) {
			if (!g.count(i)) {
				return false;
			}
		}
		return true;
	}

	bool all_done()
	{
		return ferry_test_wait_until([&] { return managers_done() && health() == CLUSTER_UP; });
	}
};

// A batch is half handed over when the datacenter is found down: what it
// refused from then on is older than the digests handed before, and the
// window still starts before all of it. The datacenter comes back and gets
// every write.
TEST_F(LastShip, AWindowOpenedInABatchHoldsWhatTheBatchHasNotHandedOver)
{
	struct Case {
		const char *name;
		int32_t mode;           // the read mode
		fake_req_kind held;     // the local reads held until the datacenter is gone
		uint32_t writes;        // digests of the writes refused
		uint32_t before;        // digests of what is handed over first
		bool before_is_delete;
		int32_t before_ns, writes_ns;
	};
	const Case cases[] = {
		// Deletes go out at once, before the batch's writes are fetched.
		{"a delete logged ten minutes after the writes", FERRY_MODE_BATCH_GET, FAKE_REQ_BATCH, 1, 20, true, kNs,
				kNs},
		// Namespaces are fetched in number order, whatever the log order:
		// the first namespace's reads are batch reads (no more slots than
		// parts), the second's single reads, which are held.
		{"a namespace fetched first with newer writes", FERRY_MODE_SINGLE_RECORD_GET, FAKE_REQ_READ, 31, 50, false,
				kNs, kNs2},
	};
	tend_fast();
	uint64_t from = base;
	for (const Case &c : cases) {
		SCOPED_TRACE(c.name);
		g_xcfg.ferry_read_mode = (ferry_mode)c.mode;
		std::vector<ferry_msg_ondisk> recs;
		for (uint32_t i = 0; i < 10; i++) {
			add(recs, c.writes_ns, c.writes + i, from + 10 * i);
		}
		uint32_t n_before = c.before_is_delete ? 1 : 3;
		for (uint32_t i = 0; i < n_before; i++) {
			add(recs, c.before_ns, c.before + i, from + 10 * kMinute + i, c.before_is_delete);
		}
		fake_node_hold(local(), c.held);
		std::thread reader([&] { process(recs); });
		ASSERT_TRUE(fake_node_wait_held(local(), 1, 60000));
		ASSERT_TRUE(ferry_test_wait_until(
				[&] { return remote_has(c.before, n_before, c.before_is_delete ? FAKE_REQ_DELETE : FAKE_REQ_WRITE); }));
		stop_remote();
		fake_node_release(local());
		reader.join();

		// The writes found the datacenter gone: neither sent nor relogged.
		EXPECT_EQ(CLUSTER_DOWN, health());
		EXPECT_FALSE(remote_has(c.writes, 1));
		std::vector<window_view> w = windows();
		ASSERT_FALSE(w.empty());
		EXPECT_LE(w.back().start, from);
		ferry_get_min_lst_for_dcid(0);
		EXPECT_LE(g_lastshiptime[0].lst_localmin, from);

		restart_remote();
		ASSERT_TRUE(all_done());
		EXPECT_TRUE(ferry_test_wait_until([&] { return remote_has(c.writes, 10); }));
		from += 15 * kMinute;
	}
}

// Writes whose replies have not come hold every time that leaves this node
// at or below their oldest digest, however far the reader has gone on.
TEST_F(LastShip, WritesAwaitingRepliesHoldTheReportedTimeBack)
{
	std::string pipe = ferry_test_path("lastship_fifo");
	fake_local_server *server = fls_start(pipe.c_str(), 0);
	ASSERT_NE(server, nullptr);
	ferry_test_local_addr(fls_port(server));
	fls_set_min_lastship_text(server, std::to_string(base + 60 * kMinute).c_str());
	memset(g_prevlastshiptime, 0, sizeof(g_prevlastshiptime));
	g_xcfg.ferry_timeout = 60000; // no write gives up while its reply is held

	// A backlog of three batches, a minute of log time between records.
	fake_node_hold(remote(), FAKE_REQ_WRITE);
	for (uint32_t b = 0; b < 3; b++) {
		std::vector<ferry_msg_ondisk> recs;
		for (uint32_t i = 0; i < 10; i++) {
			add(recs, kNs, 100 + 10 * b + i, base + (10 * b + i) * kMinute);
		}
		process(recs);
	}
	ASSERT_TRUE(fake_node_wait_held(remote(), 1, 60000));
	EXPECT_EQ(0u, get(cntr.remote_ship_total));

	ferry_send_lastshipinfo();
	uint64_t reported[DC_MAX_NUM] = {};
	ASSERT_EQ(1, fls_lastship_reports(server, reported, nullptr));
	EXPECT_LE(reported[0], base);
	uint64_t words[DC_MAX_NUM] = {};
	ferry_store_lst_to_words(words);
	EXPECT_LE(words[0], base);
	EXPECT_LE(ferry_digestlog_reclaim_time(), ferry_sub_sat(base, FERRY_TIME_ADJUST));

	// Once every reply has come, the time moves on to the last batch.
	fake_node_release(remote());
	ASSERT_TRUE(ferry_test_wait_until([&] { return get(cntr.remote_ship_total) == 30 && pool_size() == 30; }));
	ferry_get_min_lst_for_dcid(0);
	EXPECT_EQ(base + 20 * kMinute, g_lastshiptime[0].lst_localmin);
	EXPECT_EQ(base + 20 * kMinute, g_lastshiptime[0].lst_main);

	fls_stop(server);
	unlink(pipe.c_str());
	ox_vector_destroy(g_sockaddr_in_v);
	g_sockaddr_in_v = nullptr;
}

// A window manager hands writes over and moves its last-ship time on, and
// ends once its window is done, while the replies are still to come: those
// writes hold the local minimum (reported and persisted) at or below their
// oldest until they are answered.
TEST_F(LastShip, WindowWritesAwaitingRepliesHoldTheLocalMinimum)
{
	uint64_t main = base + 30 * kMinute;
	g_lastshiptime[0].lst_main = main;
	// What the window ships again, all of it within its margin before
	// lst_main.
	uint64_t oldest = main - ferry_time_adjust() + 100;
	write_log(run(400, 10, oldest));
	g_xcfg.ferry_timeout = 60000; // no write gives up while its reply is held
	fake_node_hold(remote(), FAKE_REQ_WRITE);
	// Found down by a send, the datacenter answers again at once.
	ASSERT_TRUE(ferry_health_cas(&g_rcfg[0], CLUSTER_UP, CLUSTER_DOWN));
	ASSERT_TRUE(ferry_start_window_manager(&g_rcfg[0], &cntr, 0));
	ASSERT_TRUE(all_done());
	ASSERT_TRUE(fake_node_wait_held(remote(), 1, 60000));
	EXPECT_EQ(FERRY_LST_NONE, lst_window());

	ferry_get_min_lst_for_dcid(0);
	EXPECT_LE(g_lastshiptime[0].lst_localmin, oldest);
	uint64_t words[DC_MAX_NUM] = {};
	ferry_store_lst_to_words(words);
	EXPECT_LE(words[0], oldest);

	fake_node_release(remote());
	EXPECT_TRUE(ferry_test_wait_until([&] { return got_all(remote(), 400, 10); }));
	EXPECT_TRUE(ferry_test_wait_until([&] {
		ferry_get_min_lst_for_dcid(0);
		return g_lastshiptime[0].lst_localmin == main;
	}));
}

std::atomic<int> g_refused{0};

int
refuse_thread(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *)
{
	g_refused.fetch_add(1);
	return EAGAIN;
}

// No thread for the window manager: the datacenter stays down, the window of
// what it refuses is there, and so is a failed node's window appended while
// nobody ships them; the housekeeper's tick starts the manager once it can.
TEST_F(LastShip, AWindowManagerThatCannotStartIsStartedByTheHousekeeper)
{
	tend_fast();
	stop_remote();
	g_ferry_window_manager_spawn = refuse_thread;
	g_refused = 0;
	uint64_t started = g_window_managers_started.load();
	std::vector<ferry_msg_ondisk> recs;
	for (uint32_t i = 0; i < 5; i++) {
		add(recs, kNs, 200 + i, base + i * kMinute);
	}
	process(recs);
	EXPECT_GE(g_refused.load(), 1);
	EXPECT_EQ(started, g_window_managers_started.load());
	EXPECT_EQ(CLUSTER_DOWN, health());
	std::vector<window_view> w = windows();
	ASSERT_EQ(1u, w.size());
	EXPECT_LE(w[0].start, base);
	EXPECT_EQ(0u, w[0].end);

	// A failed node's records, appended while no manager is there.
	constexpr ox_node kFailed = 0xF2;
	std::vector<ferry_msg_ondisk> failed;
	for (uint32_t i = 0; i < 3; i++) {
		ka::ox_digest d = digest_of(300 + i);
		local_record(300 + i, 1);
		failed.push_back(ferry_test_digestinfo(kNs, d.digest, 1, base + 6 * kMinute + i, kFailed, 0));
	}
	ASSERT_TRUE(ferry_test_write_dlog(g_rbuf_des, failed.data(), failed.size()));
	ASSERT_EQ(0, add_window(&g_rcfg[0], kFailed, base + 6 * kMinute - 1, base + 6 * kMinute + 10));
	EXPECT_EQ(2u, windows().size());
	EXPECT_EQ(started, g_window_managers_started.load());

	// Still no thread: the tick tries and the datacenter stays down.
	ferry_hk_state st;
	ferry_hk_init(&st, &cntr, ox_getms());
	g_server_up = true;
	int refused = g_refused.load();
	ferry_housekeeper_tick(&st, ox_getms());
	EXPECT_GT(g_refused.load(), refused);
	EXPECT_EQ(CLUSTER_DOWN, health());

	g_ferry_window_manager_spawn = pthread_create;
	restart_remote();
	ferry_housekeeper_tick(&st, ox_getms());
	g_server_up = false;
	EXPECT_EQ(started + 1, g_window_managers_started.load());
	ASSERT_TRUE(all_done());
	EXPECT_TRUE(ferry_test_wait_until([&] { return remote_has(200, 5) && remote_has(300, 3); }));
	EXPECT_TRUE(windows().empty());
}

} // namespace
