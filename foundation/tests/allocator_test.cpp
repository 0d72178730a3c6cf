// The process allocator must be jemalloc in every executable we build; the
// sanitizer builds bring their own allocator and skip this check.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

extern "C" int mallctl(const char *name, void *oldp, size_t *oldlenp, void *newp, size_t newlen)
    __attribute__((weak));

TEST(Allocator, MallocIsJemalloc)
{
#ifndef OX_WITH_JEMALLOC
    GTEST_SKIP() << "sanitizer build: the sanitizer's allocator serves malloc";
#else
    ASSERT_NE(mallctl, nullptr) << "jemalloc is not linked";
    const char *version = nullptr;
    size_t len = sizeof(version);
    ASSERT_EQ(mallctl("version", &version, &len, nullptr, 0), 0);
    ASSERT_NE(version, nullptr);

    // A block from malloc must be one that jemalloc knows: its arena lookup
    // succeeds only for jemalloc's own pointers.
    void *p = malloc(100);
    ASSERT_NE(p, nullptr);
    unsigned arena = ~0u;
    size_t alen = sizeof(arena);
    void *ptr = p;
    EXPECT_EQ(mallctl("arenas.lookup", &arena, &alen, &ptr, sizeof(ptr)), 0);
    EXPECT_NE(arena, ~0u);
    free(p);
#endif
}
