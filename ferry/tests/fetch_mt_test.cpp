// The record-fetch workers: parts of a namespace's slots served by the
// workers at once, each record shipped once, and the workers following a
// lowered and a raised count.
#include <gtest/gtest.h>

#include <set>

#include "../src/ferry_fetch.h"
#include "../src/ferry_ship.h"
#include "road_fixture.h"

namespace {

using namespace road_test;

class FetchWorkers : public RoadTest {
protected:
	callback_data cb;
	static constexpr int kPool = 32;

	void SetUp() override
	{
		RoadTest::SetUp();
		cb.cntr = &cntr;
		cb.nsid = kNs;
		cb.starttime = 0;
		for (int i = 0; i < kPool; i++) {
			digestinfo *di = (digestinfo *)ox_malloc(sizeof(digestinfo));
			ASSERT_EQ(OX_QUEUE_OK, ox_queue_push(g_diginfo_freepool_q, &di));
		}
		g_batch_get_q = ox_queue_create(sizeof(batch_get_req), true);
		g_batch_get_response_q = ox_queue_create(sizeof(int32_t), true);
		ASSERT_NE(nullptr, g_batch_get_q);
		ASSERT_NE(nullptr, g_batch_get_response_q);
	}
	void TearDown() override
	{
		// No worker may outlive the queues and the configuration.
		set_count(0);
		EXPECT_TRUE(serve_until(0));
		ox_queue_destroy(g_batch_get_q);
		ox_queue_destroy(g_batch_get_response_q);
		g_batch_get_q = nullptr;
		g_batch_get_response_q = nullptr;
		RoadTest::TearDown();
	}
	void set_count(int n)
	{
		__atomic_store_n(&g_xcfg.ferry_new_cfg.ferry_read_threads, n, __ATOMIC_RELAXED);
	}
	int alive() { return g_batch_thread_count.load(); }
	// Pushes parts and takes their results: the results, or fewer on a pop
	// that found nothing within its deadline.
	std::vector<int32_t> serve(const std::vector<batch_get_req> &parts)
	{
		for (const batch_get_req &r : parts) {
			EXPECT_EQ(OX_QUEUE_OK, ox_queue_push(g_batch_get_q, &r));
		}
		std::vector<int32_t> out;
		for (size_t i = 0; i < parts.size(); i++) {
			int32_t rv;
			if (ox_queue_pop(g_batch_get_response_q, &rv, 30000) != OX_QUEUE_OK) {
				break;
			}
			out.push_back(rv);
		}
		return out;
	}
	// Empty requests, one at a time, until n workers are left: a worker
	// notices a lowered count only after its next request. With none left,
	// a request that no worker took any more is dropped with the queue.
	bool serve_until(int n)
	{
		batch_get_req empty = {g_local_cluster, nullptr, 0, nullptr, &cb};
		for (int round = 0; round < 2000 && alive() > n; round++) {
			EXPECT_EQ(OX_QUEUE_OK, ox_queue_push(g_batch_get_q, &empty));
			int32_t rv;
			bool served = ferry_test_wait_until([&] {
				return ox_queue_pop(g_batch_get_response_q, &rv, OX_QUEUE_NOWAIT) == OX_QUEUE_OK ||
					(n == 0 && alive() == 0);
			});
			if (!served) {
				return false;
			}
		}
		bool reached = ferry_test_wait_until([&] { return alive() == n; });
		if (n == 0) {
			ox_queue_delete_all(g_batch_get_q);
			ox_queue_delete_all(g_batch_get_response_q);
		}
		return reached;
	}
};

TEST_F(FetchWorkers, ServeThePartsAndFollowTheCount)
{
	g_xcfg.ferry_read_threads = 4;
	set_count(4);
	ASSERT_EQ(4, relay_record_get_threads_init());
	ASSERT_TRUE(ferry_test_wait_until([&] { return alive() == 4; }));

	// Twelve slots in parts of 3, 3, 3 and 3, served at once.
	for (uint32_t n = 1; n <= 12; n++) {
		local_record(n, 1);
		add_slot(digest_of(n), 1, 100 + n);
	}
	auto *digests = (ka::ox_digest *)g_ns_dbuckets[kNs].ns_digests;
	std::vector<batch_get_req> parts;
	for (int p = 0; p < 4; p++) {
		parts.push_back({g_local_cluster, digests + 3 * p, 3, nullptr, &cb});
	}
	cb.starttime = ox_getms();
	EXPECT_EQ(std::vector<int32_t>(4, 0), serve(parts));
	EXPECT_EQ(0u, batch_left());
	EXPECT_EQ(12u, get(cntr.local_recs_fetched));
	EXPECT_EQ(4u, get(cntr.num_batch_calls));
	ASSERT_TRUE(ferry_test_wait_until([&] { return get(cntr.remote_ship_total) == 12 && pool_size() == kPool; }));
	std::set<std::string> shipped;
	for (const remote_write &w : writes_of(remote())) {
		shipped.insert(w.digest);
	}
	EXPECT_EQ(12u, shipped.size());
	EXPECT_EQ(12u, writes_of(remote()).size());

	// Lowered to 2: workers 3 and 4 end after a request each.
	set_count(2);
	g_xcfg.ferry_read_threads = 2;
	ASSERT_TRUE(serve_until(2));
	batch_get_req empty = {g_local_cluster, nullptr, 0, nullptr, &cb};
	EXPECT_EQ(std::vector<int32_t>(6, 0), serve(std::vector<batch_get_req>(6, empty)));
	EXPECT_EQ(2, alive());

	// A count not above the current one starts nothing.
	EXPECT_EQ(0, relay_record_get_threads_reinit(2));
	EXPECT_EQ(0, relay_record_get_threads_reinit(1));

	// Raised back to 4: two workers start again.
	set_count(4);
	EXPECT_EQ(4, relay_record_get_threads_reinit(4));
	g_xcfg.ferry_read_threads = 4;
	ASSERT_TRUE(ferry_test_wait_until([&] { return alive() == 4; }));
	EXPECT_EQ(std::vector<int32_t>(8, 0), serve(std::vector<batch_get_req>(8, empty)));
	EXPECT_EQ(4, alive());
}

} // namespace
