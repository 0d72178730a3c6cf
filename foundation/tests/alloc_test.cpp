// Allocation wrappers, reference-counted blocks, atomic counters and the
// allocator loader.
#include <gtest/gtest.h>

#include <malloc.h>
#include <signal.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tamberlin/enhanced_alloc.h"

namespace {

TEST(Alloc, WrappersBehaveAsTheAllocator)
{
	char *m = (char *)ox_malloc(16);
	ASSERT_NE(m, nullptr);
	memcpy(m, "0123456789abcde", 16);
	m = (char *)ox_realloc(m, 4096);
	ASSERT_NE(m, nullptr);
	EXPECT_STREQ(m, "0123456789abcde");
	ox_free(m);

	unsigned char *c = (unsigned char *)ox_calloc(100, 3);
	ASSERT_NE(c, nullptr);
	for (int i = 0; i < 300; i++)
		ASSERT_EQ(c[i], 0);
	free(c); // wrapper memory may go back to the allocator directly

	for (size_t sz : {1, 100, 4096, 10000}) {
		void *v = ox_valloc(sz);
		ASSERT_NE(v, nullptr);
		EXPECT_EQ((uintptr_t)v % 4096, 0u) << sz;
		ox_free(v);
	}

	char *d = ox_strdup("relay");
	EXPECT_STREQ(d, "relay");
	ox_free(d);
	char *nd = ox_strndup("relay", 3);
	EXPECT_STREQ(nd, "rel");
	ox_free(nd);
	ox_free(strdup("from the allocator")); // and the reverse

	ox_free(NULL);
}

TEST(Alloc, AllocatorFailureGivesNull)
{
#ifdef OX_SANITIZED
	GTEST_SKIP() << "the sanitizer's allocator stops the process on an impossible size";
#endif
	EXPECT_EQ(ox_malloc(SIZE_MAX), nullptr);
	EXPECT_EQ(ox_calloc(SIZE_MAX / 2, 4), nullptr);
	EXPECT_EQ(ox_valloc(SIZE_MAX - 4096), nullptr);
}

TEST(RcBlock, CountsReserveAndRelease)
{
	void *b = ox_rc_alloc(0);
	ASSERT_NE(b, nullptr);
	EXPECT_EQ(ox_rc_count(b), 1u);
	EXPECT_EQ(ox_rc_reserve(b), 2);
	EXPECT_EQ(ox_rc_release(b), 1);
	EXPECT_EQ(ox_rc_release(b), 0);
	EXPECT_EQ(ox_rc_count(b), 0u);
	ox_rc_free(b);
}

TEST(RcBlock, HeaderSitsJustBelowTheCallersBytes)
{
	static_assert(sizeof(ox_rc_hdr) == 8);
	char *b = (char *)ox_rc_alloc(200);
	ASSERT_NE(b, nullptr);
	memset(b, 0xab, 200); // the whole requested size is the caller's
	auto *hdr = (ox_rc_hdr *)(b - sizeof(ox_rc_hdr));
	EXPECT_EQ(hdr->count, 1u);
	EXPECT_EQ(hdr->sz, 200u);
#ifdef OX_WITH_JEMALLOC
	EXPECT_GE(malloc_usable_size(hdr), 208u);
#endif
	ox_rc_free(b);
}

TEST(RcBlock, ReleaseAndFreeFreesOnlyAtZero)
{
	void *b = ox_rc_alloc(32);
	ASSERT_NE(b, nullptr);
	ox_rc_reserve(b);
	EXPECT_EQ(ox_rc_releaseandfree(b), 1);
	EXPECT_EQ(ox_rc_count(b), 1u) << "the block is still alive";
	EXPECT_EQ(ox_rc_releaseandfree(b), 0); // freed here; ASan checks no leak
}

TEST(RcBlock, SizeNearTheMaximumIsRefused)
{
	// header + size would wrap to a few bytes; the block must not be made.
	for (size_t back : {0, 1, 7})
		EXPECT_EQ(ox_rc_alloc(SIZE_MAX - back), nullptr) << back;
}

using RcBlockDeathTest = ::testing::Test;

TEST(RcBlockDeathTest, FreeOfNullAborts)
{
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	EXPECT_EXIT(ox_rc_free(NULL), ::testing::KilledBySignal(SIGABRT),
			"CRITICAL PROCESS \\(ox:alloc\\): \\(alloc.cpp:ox_rc_free_at:[0-9]+\\) null address\n$");
}

TEST(Atomic, CountersGiveTheNewValue)
{
	uint64_t a = 10;
	EXPECT_EQ(ox_atomic64_add(&a, 5), 15);
	EXPECT_EQ(ox_atomic64_sub(&a, 20), -5);
	EXPECT_EQ(a, (uint64_t)-5);
	EXPECT_EQ(ox_atomic64_incr(&a), -4);
	EXPECT_EQ(ox_atomic64_decr(&a), -5);
	ox_atomic64_set(&a, 1ull << 40);
	EXPECT_EQ(ox_atomic64_get(&a), 1ull << 40);
	EXPECT_EQ(ox_atomic_int_add(&a, 1), (int64_t)(1ull << 40) + 1);
	EXPECT_EQ(ox_atomic_p_decr(&a), (int64_t)(1ull << 40));

	uint32_t b = 0;
	EXPECT_EQ(ox_atomic32_decr(&b), -1);
	EXPECT_EQ(b, 0xffffffffu);
	EXPECT_EQ(ox_atomic32_incr(&b), 0);
	EXPECT_EQ(ox_atomic32_add(&b, 7), 7);
	EXPECT_EQ(ox_atomic32_sub(&b, 3), 4);
	ox_atomic32_set(&b, 9);
	EXPECT_EQ(ox_atomic32_get(&b), 9u);
}

TEST(AllocLoader, ProcessFunctionsOrALibrary)
{
	ASSERT_EQ(alloc_function_init(NULL), 0);
	EXPECT_EQ(g_malloc_fn, &malloc);
	EXPECT_EQ(g_free_fn, &free);
	EXPECT_EQ(g_strndup_fn, &strndup);

	ASSERT_EQ(alloc_function_init("libc.so.6"), 0);
	EXPECT_NE(g_malloc_fn, nullptr);
	EXPECT_NE(g_posix_memalign_fn, nullptr);
	EXPECT_NE(g_strdup_fn, nullptr);

	::testing::internal::CaptureStderr();
	EXPECT_EQ(alloc_function_init("libno-such-allocator.so"), -1);
	EXPECT_EQ(::testing::internal::GetCapturedStderr(),
			" WARNING: could not initialize memory subsystem, allocator libno-such-allocator.so not found\n");
}

} // namespace
