// The digest-log writer, stepped by the test: batches of the write batch size
// taken from the queue in bulk, short batches at the latest one second after
// their oldest record (also for a trickle that never lets the queue stay
// empty for a second), the cap rule,
// run-time changes of the batch size through its change bit, refused
// ring-buffer writes retried without spinning, and the counters.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include "testkit/fake_local_server.h"
#include "ferry_fixture.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ferry.h"
#include "tamberlin/ox_clock.h"
#include "tamberlin/rbuffer.h"

namespace {

counters g_test_counters;

constexpr uint32_t kDivisor = 20; // a second of the writer lasts 50 ms here

class Writer : public ::testing::Test {
protected:
	void SetUp() override
	{
		g_ferry_time_divisor.store(kDivisor);
		ferry_test_reset_intake(&g_test_counters);
		g_dc_count = 1;
		memset(g_lastshiptime, 0, sizeof(g_lastshiptime));
		g_last_logwrite_time.store(0);
		g_rbuf_des = ferry_test_open_dlog("writer", 4 << 20, true);
		ASSERT_NE(g_rbuf_des, nullptr);
		ferry_dlogwriter_init(&w);
	}
	void TearDown() override
	{
		ox_free(w.batch);
		ox_rbuffer_close(g_rbuf_des);
		g_rbuf_des = nullptr;
		g_ferry_time_divisor.store(1);
	}
	void push(uint64_t first, int n)
	{
		ferry_msg m;
		for (int i = 0; i < n; i++) {
			fls_make_digest(&m, 1, 1, first + (uint64_t)i, 0, 0);
			m.data.diginfo.digesttime = 1000000 + first + (uint64_t)i;
			ASSERT_EQ(ox_queue_push(g_dlog_q, &m), OX_QUEUE_OK);
			ox_atomic64_add(&g_test_counters.dlog_pkts_unlogged, 1);
		}
	}
	// Steps until `logged` records are in the log (bounded).
	void step_until_logged(uint64_t logged)
	{
		for (int i = 0; i < 100000 && ox_atomic64_get(&g_test_counters.dlog_pkts_logged) < logged; i++) {
			ferry_dlogwriter_step(&w);
		}
		ASSERT_EQ(ox_atomic64_get(&g_test_counters.dlog_pkts_logged), logged);
	}
	void expect_log_holds(uint64_t first, int n)
	{
		std::vector<ferry_msg_ondisk> recs((size_t)n);
		ASSERT_EQ(ferry_test_read_dlog(g_rbuf_des, (char *)recs.data(), n), n);
		for (int i = 0; i < n; i++) {
			uint8_t d[20];
			fls_digest_of(first + (uint64_t)i, d);
			ASSERT_EQ(memcmp(recs[(size_t)i].diginfo.digest, d, 20), 0) << i;
			ASSERT_EQ(recs[(size_t)i].xm_type, FERRY_MSG_TYPE_DIGESTINFO);
			ASSERT_EQ(recs[(size_t)i].diginfo.digesttime, 1000000 + first + (uint64_t)i);
		}
	}
	ferry_dlogwriter w;
};

TEST_F(Writer, FirstLastShipTimesAtStart)
{
	EXPECT_GT(g_lastshiptime[0].lst_main, 0u);
	EXPECT_EQ(g_lastshiptime[0].lst_windowship, FERRY_LST_NONE);
	EXPECT_EQ(g_lastshiptime[1].lst_main, 0u); // not configured
	EXPECT_EQ(w.cap, 100);
}

TEST_F(Writer, FullBatchesAndTheCapRule)
{
	push(0, 30);
	step_until_logged(30); // written when its first record is a second old
	EXPECT_EQ(w.cap, 70);
	push(30, 70);
	step_until_logged(100); // full at 70: one write batch size since the last full batch
	EXPECT_EQ(w.cap, 100);
	push(100, 250);
	step_until_logged(300);
	step_until_logged(350); // the last 50 wait for their second
	EXPECT_EQ(g_test_counters.dlog_pkts_unlogged, 0u);
	EXPECT_EQ(g_last_logwrite_time.load(), 1000000u + 349);
	expect_log_holds(0, 350);
}

TEST_F(Writer, EmptyBatchIsNeverWritten)
{
	for (int i = 0; i < 3; i++) {
		ferry_dlogwriter_step(&w);
	}
	EXPECT_EQ(w.write_calls.load(), 0u);
	EXPECT_EQ(g_last_logwrite_time.load(), 0u);
}

TEST_F(Writer, OneStepMovesAWholeBatch)
{
	// Drained in bulk: a full batch takes one step, not one per record.
	push(0, 250);
	ferry_dlogwriter_step(&w);
	EXPECT_EQ(ox_atomic64_get(&g_test_counters.dlog_pkts_logged), 100u);
	EXPECT_EQ(w.write_calls.load(), 1u);
	ferry_dlogwriter_step(&w);
	EXPECT_EQ(ox_atomic64_get(&g_test_counters.dlog_pkts_logged), 200u);
	EXPECT_EQ(ox_queue_sz(g_dlog_q), 50);
	step_until_logged(250); // the last 50 wait for their second
	EXPECT_EQ(w.write_calls.load(), 3u);
	EXPECT_EQ(w.cap, 50);
	expect_log_holds(0, 250);
}

TEST_F(Writer, TrickleIsWrittenWithinASecond)
{
	// A record comes before every step: the queue is never empty when the
	// writer looks and the batch never fills, yet it is written once its first
	// record is a second old. A writer that neither waited nor slept would take
	// all 90 steps at once and write nothing.
	push(0, 1);
	uint64_t pushed = 1;
	for (int i = 0; i < 90 && ox_atomic64_get(&g_test_counters.dlog_pkts_logged) == 0; i++) {
		ferry_dlogwriter_step(&w);
		push(pushed++, 1);
	}
	uint64_t logged = ox_atomic64_get(&g_test_counters.dlog_pkts_logged);
	EXPECT_GT(logged, 0u);
	EXPECT_LT(logged, 90u);
	EXPECT_EQ(w.cap, 100 - (int)logged);
	expect_log_holds(0, (int)logged);
}

TEST_F(Writer, RunTimeBatchSizeChange)
{
	ferry_config *c = &g_xcfg;
	c->ferry_new_cfg.ferry_write_batch_size = 50;
	c->ferry_flag.fetch_or(FERRY_WRITE_BATCH_SIZE_CHANGE | FERRY_READ_BATCH_SIZE_CHANGE);
	push(0, 100);
	step_until_logged(100);
	EXPECT_EQ(c->ferry_write_batch_size, 50);
	EXPECT_EQ(w.cap, 50);
	// Only the writer's own bit is cleared.
	EXPECT_EQ(c->ferry_flag.load(), FERRY_READ_BATCH_SIZE_CHANGE);
	push(100, 60);
	step_until_logged(150); // full at 50, not at 100
	step_until_logged(160);

	// Values the writer cannot use are refused and stay pending.
	for (int32_t bad : {0, -5, FERRY_MAX_BATCH_SIZE + 1, INT32_MAX}) {
		SCOPED_TRACE(bad);
		c->ferry_new_cfg.ferry_write_batch_size = bad;
		c->ferry_flag.fetch_or(FERRY_WRITE_BATCH_SIZE_CHANGE);
		uint64_t logged = ox_atomic64_get(&g_test_counters.dlog_pkts_logged);
		push(logged, 50);
		step_until_logged(logged + 50);
		EXPECT_EQ(c->ferry_write_batch_size, 50);
		EXPECT_TRUE(c->ferry_flag.load() & FERRY_WRITE_BATCH_SIZE_CHANGE);
	}
	// A pending size equal to the current one changes nothing.
	c->ferry_new_cfg.ferry_write_batch_size = 50;
	push(360, 50);
	step_until_logged(410);
	EXPECT_TRUE(c->ferry_flag.load() & FERRY_WRITE_BATCH_SIZE_CHANGE);
	expect_log_holds(0, 410);
}

TEST_F(Writer, SizeSetWhileAnotherIsAppliedIsNotLost)
{
	// set-config (the info worker) stores a size and raises the change bit at
	// any time. One that lands while the writer is still applying the previous
	// change must be applied at a later batch, not cleared away with its bit.
	ferry_config *c = &g_xcfg;
	std::atomic<bool> stop{false};
	std::thread writer([&] {
		while (!stop.load()) {
			ferry_dlogwriter_step(&w);
		}
	});
	// Large sizes: resizing and zeroing the batch buffer takes a while, so
	// the second size lands while the first one is being applied.
	const int32_t kBig = 200000;
	uint64_t next = 0;
	bool ok = true;
	for (int round = 0; round < 10 && ok; round++) {
		SCOPED_TRACE(round);
		int32_t first = kBig + 2 * round;
		int32_t second = first + 1;
		__atomic_store_n(&c->ferry_new_cfg.ferry_write_batch_size, first, __ATOMIC_RELAXED);
		c->ferry_flag.fetch_or(FERRY_WRITE_BATCH_SIZE_CHANGE);
		push(next++, 1);
		// The batch is counted just before the pending change is applied;
		// a few yields let the writer take the first size up.
		ok = ferry_test_wait_counter(&g_test_counters.dlog_pkts_logged, next, 10000);
		EXPECT_TRUE(ok);
		for (int i = 0; i < 100; i++) {
			sched_yield();
		}
		__atomic_store_n(&c->ferry_new_cfg.ferry_write_batch_size, second, __ATOMIC_RELAXED);
		c->ferry_flag.fetch_or(FERRY_WRITE_BATCH_SIZE_CHANGE);
		push(next++, 1); // the batch after which it is due
		int32_t in_use = 0;
		ferry_test_wait_until([&] {
			in_use = __atomic_load_n(&c->ferry_write_batch_size, __ATOMIC_RELAXED);
			return in_use == second;
		}, 10000);
		ok = ok && in_use == second;
		EXPECT_EQ(in_use, second) << "the size set while " << first << " was applied is lost";
	}
	stop.store(true);
	writer.join();
	expect_log_holds(0, (int)next);
}

#ifndef OX_SANITIZED // the sanitizers' shadow memory does not live with an address-space limit
TEST_F(Writer, UnallocatableBatchSizeIsRefusedWithAWarning)
{
	// In a child whose address space can grow by 32 MB only, a change to the
	// largest batch size (80 MB of buffer) cannot be allocated: the writer must
	// warn, keep its size and the pending change, and go on writing.
	std::string logpath = ferry_test_path("log");
	const int kNoLimit = 2;
	// Earlier cases ran writer threads of their own: fork once they are gone.
	ASSERT_TRUE(ferry_test_wait_single_thread(30000));
	pid_t pid = fork();
	ASSERT_GE(pid, 0);
	if (pid == 0) {
		ox_fault_sink_hold(logpath.c_str());
		ox_fault_sink_activate_all_held();
		long pages = 0;
		std::ifstream("/proc/self/statm") >> pages;
		rlim_t limit = (rlim_t)pages * (rlim_t)sysconf(_SC_PAGESIZE) + (32 << 20);
		struct rlimit rl = {limit, limit};
		size_t big = (size_t)FERRY_MAX_BATCH_SIZE * FERRY_MSG_ONDISK_SIZE;
		if (setrlimit(RLIMIT_AS, &rl) != 0 || mmap(nullptr, big, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) != MAP_FAILED) {
			_exit(kNoLimit);
		}
		ferry_config *c = &g_xcfg;
		c->ferry_new_cfg.ferry_write_batch_size = FERRY_MAX_BATCH_SIZE;
		c->ferry_flag.fetch_or(FERRY_WRITE_BATCH_SIZE_CHANGE);
		push(0, 100);
		step_until_logged(100);
		bool refused = c->ferry_write_batch_size == 100 && w.cap == 100 &&
			(c->ferry_flag.load() & FERRY_WRITE_BATCH_SIZE_CHANGE);
		push(100, 100);
		step_until_logged(200);
		bool writing = ox_atomic64_get(&g_test_counters.dlog_pkts_logged) == 200;
		_exit(refused && writing ? 0 : 1);
	}
	int status = 0;
	ASSERT_EQ(waitpid(pid, &status, 0), pid);
	ASSERT_TRUE(WIFEXITED(status)) << status;
	if (WEXITSTATUS(status) == kNoLimit) {
		unlink(logpath.c_str());
		GTEST_SKIP() << "the address-space limit does not hold here";
	}
	EXPECT_EQ(WEXITSTATUS(status), 0);
	std::string log = ferry_test_read_file(logpath);
	unlink(logpath.c_str());
	EXPECT_NE(log.find("WARNING (relay): (ferry_dlogwriter.cpp::"), std::string::npos) << log;
	EXPECT_NE(log.find(") dlog writer : realloc failed for change in relay-write-batch-size from 100 to 1000000 \n"),
			std::string::npos)
		<< log;
	EXPECT_EQ(log.find("CRITICAL"), std::string::npos) << log;
}
#endif

TEST_F(Writer, RefusedWritesAreRetriedWithoutSpinning)
{
	// A log of 7 segments that may not overwrite: 700 records fit until the
	// reader moves on.
	ox_rbuffer_close(g_rbuf_des);
	g_rbuf_des = ferry_test_open_dlog("full", FERRY_MIN_DIGESTLOG_SIZE, false);
	ASSERT_NE(g_rbuf_des, nullptr);
	push(0, 1000);
	std::atomic<bool> stop{false};
	std::thread writer([&] {
		while (!stop.load() && ox_atomic64_get(&g_test_counters.dlog_pkts_logged) < 1000) {
			ferry_dlogwriter_step(&w);
		}
	});
	// While the log is full, each refused write is followed by a one-second
	// sleep: three more refusals after the one seen span at least two sleeps.
	EXPECT_TRUE(ferry_test_wait_until([this] { return w.retries.load() >= 1; }, 60000));
	uint64_t t0 = ox_getms();
	int seen = w.retries.load();
	EXPECT_TRUE(ferry_test_wait_until([this, seen] { return w.retries.load() >= seen + 3; }, 60000));
	EXPECT_GE(ox_getms() - t0, 2u * ferry_scaled_ms(1000));
	EXPECT_LT(ox_atomic64_get(&g_test_counters.dlog_pkts_logged), 1000u);
	// The reader frees space; nothing that reached the writer is lost.
	std::vector<ferry_msg_ondisk> recs(1000);
	int got = ferry_test_read_dlog(g_rbuf_des, (char *)recs.data(), 1000);
	stop.store(!ferry_test_wait_counter(&g_test_counters.dlog_pkts_logged, 1000, 20000));
	writer.join();
	EXPECT_EQ(ox_atomic64_get(&g_test_counters.dlog_pkts_logged), 1000u);
	EXPECT_EQ(got, 1000);
	for (int i = 0; i < got; i++) {
		uint8_t d[20];
		fls_digest_of((uint64_t)i, d);
		ASSERT_EQ(memcmp(recs[(size_t)i].diginfo.digest, d, 20), 0) << i;
	}
}

} // namespace
