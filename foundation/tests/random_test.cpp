// The random pool: one seed, one RAND_bytes call per 8192 bytes handed out,
// the size limit of a buffer draw, and recovery after a failed fill. The
// steps share the pool, so they run in order within one test.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "rand_bytes_spy.h"
#include "tamberlin/ox_random.h"

namespace {

TEST(RandomPool, RefillsOncePer8192Bytes)
{
	ASSERT_NE(dlsym(RTLD_NEXT, "RAND_bytes"), nullptr);

	// First draw seeds and fills: 8184 left, so 1023 more draws use the rest.
	ox_get_rand64();
	EXPECT_EQ(g_rand_bytes_calls, 1);
	for (int i = 0; i < 1023; i++)
		ox_get_rand64();
	EXPECT_EQ(g_rand_bytes_calls, 1);
	ox_get_rand32(); // the 1025th 8-byte draw refills
	EXPECT_EQ(g_rand_bytes_calls, 2);

	// Too long: refused without touching the pool (still 8184 left).
	std::vector<uint8_t> buf(8192);
	EXPECT_EQ(ox_get_rand_buf(buf.data(), 8192), -1);
	EXPECT_EQ(ox_get_rand_buf(buf.data(), -1), -1);
	for (int i = 0; i < 1023; i++)
		ox_get_rand64();
	EXPECT_EQ(g_rand_bytes_calls, 2);

	// 8191 from an empty pool refills and leaves 1 byte; an 8-byte draw then
	// refills again.
	EXPECT_EQ(ox_get_rand_buf(buf.data(), 8191), 0);
	EXPECT_EQ(g_rand_bytes_calls, 3);
	std::vector<uint8_t> buf2(8191);
	EXPECT_EQ(ox_get_rand_buf(buf2.data(), 1), 0);
	EXPECT_EQ(g_rand_bytes_calls, 3);
	ox_get_rand64();
	EXPECT_EQ(g_rand_bytes_calls, 4);
	EXPECT_EQ(ox_get_rand_buf(buf2.data(), 8191), 0);
	EXPECT_NE(memcmp(buf.data(), buf2.data(), 8191), 0);
}

TEST(RandomPool, FailedFillReportsAndLeavesThePoolUsable)
{
	uint8_t big[8191];
	ASSERT_EQ(ox_get_rand_buf(big, 8191), 0); // at most 1 byte left now
	g_rand_bytes_fail = true;
	::testing::internal::CaptureStderr();
	EXPECT_EQ(ox_get_rand64(), 0u);
	EXPECT_EQ(ox_get_rand32(), 0u);
	EXPECT_EQ(ox_get_rand_buf(big, 100), -1);
	EXPECT_EQ(::testing::internal::GetCapturedStderr(),
			"RAND_bytes not so happy.\nRAND_bytes not so happy.\nRAND_bytes not so happy.\n");
	g_rand_bytes_fail = false;
	// The lock was released on the failure paths: this would hang otherwise.
	int calls = g_rand_bytes_calls;
	EXPECT_EQ(ox_get_rand_buf(big, 100), 0);
	EXPECT_EQ(g_rand_bytes_calls, calls + 1);
}

} // namespace
