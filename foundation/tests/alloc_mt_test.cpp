// Reference counts and atomic counters under several threads: every result
// must be exact under any interleaving.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "tamberlin/enhanced_alloc.h"

namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 20000;

TEST(RcBlockMt, ReserveAndReleaseFromSeveralThreads)
{
	void *b = ox_rc_alloc(64);
	ASSERT_NE(b, nullptr);
	std::vector<std::thread> th;
	for (int t = 0; t < kThreads; t++)
		th.emplace_back([b] {
			for (int i = 0; i < kRounds; i++) {
				ox_rc_reserve(b);
				ox_rc_release(b);
			}
		});
	for (auto &t : th)
		t.join();
	EXPECT_EQ(ox_rc_count(b), 1u);
	ox_rc_free(b);
}

TEST(RcBlockMt, ExactlyOneLastHolderFrees)
{
	for (int round = 0; round < 200; round++) {
		void *b = ox_rc_alloc(16);
		ASSERT_NE(b, nullptr);
		for (int t = 1; t < kThreads; t++)
			ox_rc_reserve(b);
		std::atomic<int> zeros{0};
		std::vector<std::thread> th;
		for (int t = 0; t < kThreads; t++)
			th.emplace_back([b, &zeros] {
				if (ox_rc_releaseandfree(b) == 0)
					zeros++;
			});
		for (auto &t : th)
			t.join();
		ASSERT_EQ(zeros.load(), 1);
	}
}

TEST(AtomicMt, CountersAddUpExactly)
{
	uint64_t c64 = 0;
	uint32_t c32 = 0;
	std::vector<std::thread> th;
	for (int t = 0; t < kThreads; t++)
		th.emplace_back([&] {
			for (int i = 0; i < kRounds; i++) {
				ox_atomic64_add(&c64, 3);
				ox_atomic64_decr(&c64);
				ox_atomic32_incr(&c32);
				(void)ox_atomic64_get(&c64);
			}
		});
	for (auto &t : th)
		t.join();
	EXPECT_EQ(c64, 2ull * kThreads * kRounds);
	EXPECT_EQ(c32, (uint32_t)kThreads * kRounds);
}

} // namespace
