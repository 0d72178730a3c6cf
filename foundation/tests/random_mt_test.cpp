// The random pool under several threads: no byte is handed out twice and the
// pool is refilled exactly once per 1024 8-byte draws.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "rand_bytes_spy.h"
#include "tamberlin/ox_random.h"

namespace {

TEST(RandomPoolMt, ConcurrentDrawsShareOnePool)
{
	constexpr int kThreads = 6;
	constexpr int kDraws = 4096;
	std::vector<std::vector<uint64_t>> got(kThreads);
	std::vector<std::thread> th;
	for (int t = 0; t < kThreads; t++)
		th.emplace_back([&got, t] {
			got[t].reserve(kDraws);
			for (int i = 0; i < kDraws; i++)
				got[t].push_back(ox_get_rand64());
		});
	for (auto &t : th)
		t.join();

	std::vector<uint64_t> all;
	for (auto &g : got)
		all.insert(all.end(), g.begin(), g.end());
	std::sort(all.begin(), all.end());
	EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "a value was handed out twice";
	EXPECT_EQ(g_rand_bytes_calls, kThreads * kDraws / 1024);
}

} // namespace
