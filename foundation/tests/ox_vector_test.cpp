// Growth, storage moves off the caller's buffer, bounds of reads and writes,
// deletes and the lock being released on every path.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "tamberlin/ox_vector.h"

namespace {

struct elem16 {
    uint64_t a, b;
};

std::vector<int> contents(ox_vector *v)
{
    std::vector<int> out;
    for (uint32_t i = 0; i < ox_vector_size(v); i++) {
        out.push_back(ox_vector_integer_get(v, i));
    }
    return out;
}

// Capacities seen after each append that grew the vector.
std::vector<uint32_t> growth_steps(uint32_t init_sz, uint32_t flags, int appends)
{
    ox_vector *v = ox_vector_create(sizeof(int), init_sz, flags);
    EXPECT_NE(v, nullptr);
    std::vector<uint32_t> caps;
    uint32_t last = v->alloc_len;
    for (int i = 0; i < appends; i++) {
        EXPECT_EQ(ox_vector_integer_append(v, i), 0);
        if (v->alloc_len != last) {
            caps.push_back(v->alloc_len);
            last = v->alloc_len;
        }
    }
    for (int i = 0; i < appends; i++) {
        EXPECT_EQ(ox_vector_integer_get(v, (uint32_t)i), i);
    }
    ox_vector_destroy(v);
    return caps;
}

TEST(OxVector, GrowthDoublesFromTwoOrFifty)
{
    using C = std::vector<uint32_t>;
    EXPECT_EQ(growth_steps(0, 0, 9), (C{2, 4, 8, 16}));
    EXPECT_EQ(growth_steps(0, VECTOR_FLAG_BIGRESIZE, 51), (C{50, 100}));
    EXPECT_EQ(growth_steps(30, VECTOR_FLAG_BIGRESIZE, 31), (C{60}));
    EXPECT_EQ(growth_steps(3, 0, 4), (C{6}));
    EXPECT_EQ(growth_steps(0, VECTOR_FLAG_INITZERO | VECTOR_FLAG_BIGLOCK, 3), (C{2, 4}));
}

TEST(OxVector, StackBufferHoldsUntilOutgrownThenIsLeftAlone)
{
    alignas(16) uint8_t sbuf[1024];
    ox_vector v;
    ox_vector_init_smalloc(&v, sizeof(elem16), sbuf, sizeof(sbuf), 0);
    ASSERT_EQ(v.alloc_len, 64u);
    for (uint64_t i = 0; i < 64; i++) {
        elem16 e = {i, ~i};
        ASSERT_EQ(ox_vector_append(&v, &e), 0);
    }
    EXPECT_EQ(v.vector, sbuf);
    EXPECT_TRUE(v.stack_vector);

    elem16 e = {64, ~64ull};
    ASSERT_EQ(ox_vector_append(&v, &e), 0);
    EXPECT_NE(v.vector, sbuf);
    EXPECT_FALSE(v.stack_vector);
    EXPECT_EQ(v.alloc_len, 128u);
    EXPECT_EQ(ox_vector_size(&v), 65u);

    // Scribbling over the old buffer must not show through.
    memset(sbuf, 0xee, sizeof(sbuf));
    for (uint64_t i = 0; i < 65; i++) {
        elem16 got;
        ASSERT_EQ(ox_vector_get(&v, (uint32_t)i, &got), 0);
        EXPECT_EQ(got.a, i);
        EXPECT_EQ(got.b, ~i);
    }
    ox_vector_destroy(&v);
}

TEST(OxVector, DefineMacroStartsOnTheStack)
{
    ox_vector_define(v, sizeof(int), VECTOR_FLAG_INITZERO);
    EXPECT_EQ(v.alloc_len, 256u);
    EXPECT_TRUE(v.stack_struct);
    EXPECT_TRUE(v.stack_vector);
    for (int i = 0; i < 300; i++) {
        ASSERT_EQ(ox_vector_integer_append(&v, i * 3), 0);
    }
    EXPECT_EQ(v.alloc_len, 512u);
    // INITZERO: the part added by the growth is zero.
    int raw;
    memcpy(&raw, v.vector + 400 * sizeof(int), sizeof(int));
    EXPECT_EQ(raw, 0);
    EXPECT_EQ(ox_vector_integer_get(&v, 299), 897);
    ox_vector_destroy(&v);
}

TEST(OxVector, ReadsStopAtTheLengthNotTheCapacity)
{
    for (uint32_t flags : {0u, (uint32_t)VECTOR_FLAG_BIGLOCK}) {
        SCOPED_TRACE(flags);
        ox_vector v;
        ASSERT_EQ(ox_vector_integer_init(&v, 10, flags), 0);
        ASSERT_EQ(ox_vector_integer_append(&v, 7), 0);
        int out = -99;
        EXPECT_EQ(ox_vector_get(&v, 0, &out), 0);
        EXPECT_EQ(out, 7);
        out = -99;
        EXPECT_EQ(ox_vector_get(&v, 1, &out), -1); // slot exists but was never written
        EXPECT_EQ(out, -99);
        EXPECT_EQ(ox_vector_get(&v, 10, &out), -1);
        EXPECT_EQ(ox_vector_getp(&v, 1), nullptr);
        EXPECT_NE(ox_vector_getp(&v, 0), nullptr);
        pthread_mutex_t *held = nullptr;
        EXPECT_EQ(ox_vector_getp_vlock(&v, 1, &held), nullptr);
        EXPECT_EQ(held, nullptr);
        // Every failed path released the lock: a locked append still works.
        EXPECT_EQ(ox_vector_integer_append(&v, 8), 0);
        EXPECT_EQ(contents(&v), (std::vector<int>{7, 8}));
        ox_vector_destroy(&v);
    }
}

TEST(OxVector, GetpVlockReturnsWithTheLockHeld)
{
    ox_vector *v = ox_vector_create(sizeof(int), 4, VECTOR_FLAG_BIGLOCK);
    ASSERT_NE(v, nullptr);
    ASSERT_EQ(ox_vector_integer_append(v, 41), 0);
    pthread_mutex_t *held = nullptr;
    int *p = (int *)ox_vector_getp_vlock(v, 0, &held);
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(held, &v->LOCK);
    EXPECT_EQ(pthread_mutex_trylock(held), EBUSY);
    (*p)++;
    pthread_mutex_unlock(held);
    EXPECT_EQ(ox_vector_integer_get(v, 0), 42);
    ox_vector_destroy(v);

    // Without the flag there is no lock to hand out.
    ox_vector plain;
    ASSERT_EQ(ox_vector_integer_init(&plain, 4, 0), 0);
    ASSERT_EQ(ox_vector_integer_append(&plain, 1), 0);
    held = nullptr;
    EXPECT_EQ(ox_vector_getp_vlock(&plain, 0, &held), nullptr);
    EXPECT_EQ(held, nullptr);
    ox_vector_destroy(&plain);
}

TEST(OxVector, SetPastTheLengthZeroFillsTheGap)
{
    // The caller's buffer holds junk and INITZERO is off: the gap must still be zero.
    alignas(16) uint8_t sbuf[40];
    memset(sbuf, 0xab, sizeof(sbuf));
    ox_vector v;
    ox_vector_init_smalloc(&v, sizeof(int), sbuf, sizeof(sbuf), 0);
    ASSERT_EQ(v.alloc_len, 10u);
    int five = 5;
    ASSERT_EQ(ox_vector_set(&v, 5, &five), 0);
    EXPECT_EQ(ox_vector_size(&v), 6u);
    EXPECT_EQ(contents(&v), (std::vector<int>{0, 0, 0, 0, 0, 5}));
    // Setting inside the length replaces, and leaves the length.
    int two = 2;
    ASSERT_EQ(ox_vector_set(&v, 1, &two), 0);
    EXPECT_EQ(contents(&v), (std::vector<int>{0, 2, 0, 0, 0, 5}));
    // Directly after the last element: no gap.
    ASSERT_EQ(ox_vector_set(&v, 6, &two), 0);
    EXPECT_EQ(ox_vector_size(&v), 7u);
    EXPECT_EQ(ox_vector_set(&v, 10, &two), -1);
    EXPECT_EQ(ox_vector_size(&v), 7u);
    EXPECT_EQ(sbuf[7 * sizeof(int)], 0xab); // nothing past the set slot was touched
    ox_vector_destroy(&v);
}

TEST(OxVector, DeleteAndDeleteRange)
{
    struct del_case {
        int start, end; // end < 0: single delete of start
        int rc;
        std::vector<int> left;
    };
    const del_case cases[] = {
        {0, -1, 0, {1, 2, 3, 4, 5}},
        {5, -1, 0, {0, 1, 2, 3, 4}},
        {2, -1, 0, {0, 1, 3, 4, 5}},
        {6, -1, -1, {0, 1, 2, 3, 4, 5}},
        {1, 3, 0, {0, 4, 5}},
        {0, 5, 0, {}},
        {3, 5, 0, {0, 1, 2}},
        {2, 2, -1, {0, 1, 2, 3, 4, 5}},  // a range of one is refused
        {3, 1, -1, {0, 1, 2, 3, 4, 5}},
        {4, 6, -1, {0, 1, 2, 3, 4, 5}},
    };
    for (const del_case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.start << ".." << c.end);
        ox_vector_define(v, sizeof(int), VECTOR_FLAG_BIGLOCK);
        for (int i = 0; i < 6; i++) {
            ASSERT_EQ(ox_vector_integer_append(&v, i), 0);
        }
        int rc = c.end < 0 ? ox_vector_delete(&v, (uint32_t)c.start)
                           : ox_vector_delete_range(&v, (uint32_t)c.start, (uint32_t)c.end);
        EXPECT_EQ(rc, c.rc);
        EXPECT_EQ(contents(&v), c.left);
        EXPECT_EQ(ox_vector_integer_append(&v, 9), 0); // lock released
        ox_vector_destroy(&v);
    }
}

TEST(OxVector, AppendUniqueComparesBytes)
{
    ox_vector *v = ox_vector_create(sizeof(elem16), 0, VECTOR_FLAG_BIGLOCK);
    ASSERT_NE(v, nullptr);
    elem16 a = {1, 2}, b = {1, 3};
    EXPECT_EQ(ox_vector_append_unique(v, &a), 0);
    EXPECT_EQ(ox_vector_append_unique(v, &b), 0);
    EXPECT_EQ(ox_vector_append_unique(v, &a), 0);
    EXPECT_EQ(ox_vector_append_unique(v, &b), 0);
    EXPECT_EQ(ox_vector_size(v), 2u);
    ox_vector_destroy(v);
}

TEST(OxVector, CompactShrinksHeapStorageAndFreesItWhenEmpty)
{
    ox_vector *v = ox_vector_create(sizeof(int), 16, 0);
    ASSERT_NE(v, nullptr);
    for (int i = 0; i < 5; i++) {
        ASSERT_EQ(ox_vector_integer_append(v, i), 0);
    }
    ox_vector_compact(v);
    EXPECT_EQ(v->alloc_len, 5u);
    EXPECT_EQ(contents(v), (std::vector<int>{0, 1, 2, 3, 4}));

    ASSERT_EQ(ox_vector_delete_range(v, 0, 4), 0);
    ox_vector_compact(v);
    EXPECT_EQ(v->alloc_len, 0u);
    EXPECT_EQ(v->vector, nullptr);
    // The vector is usable again (and ASan would catch use of a freed block).
    ASSERT_EQ(ox_vector_integer_append(v, 7), 0);
    EXPECT_EQ(v->alloc_len, 2u);
    EXPECT_EQ(contents(v), (std::vector<int>{7}));
    ox_vector_destroy(v);

    // A caller's buffer is never resized.
    ox_vector_define(s, sizeof(int), 0);
    ASSERT_EQ(ox_vector_integer_append(&s, 1), 0);
    uint8_t *storage = s.vector;
    ox_vector_compact(&s);
    EXPECT_EQ(s.vector, storage);
    EXPECT_EQ(s.alloc_len, 256u);
    ox_vector_destroy(&s);
}

TEST(OxVector, GrowthThatCannotBeCountedFails)
{
    // A vector claiming 2^31 elements cannot double within 32 bits: the
    // append must fail before it touches storage, not wrap to a tiny block.
    uint8_t sbuf[16] = {0};
    ox_vector v;
    ox_vector_init_smalloc(&v, 1, sbuf, sizeof(sbuf), 0);
    v.len = v.alloc_len = 0x80000001u;
    uint8_t byte = 1;
    EXPECT_EQ(ox_vector_append(&v, &byte), -1);
    EXPECT_EQ(v.vector, sbuf);
    EXPECT_EQ(v.len, 0x80000001u);
    EXPECT_TRUE(v.stack_vector);
}

TEST(OxVector, CloneStackCopiesTheElementsInUse)
{
    ox_vector *src = ox_vector_create(sizeof(int), 8, VECTOR_FLAG_BIGLOCK);
    ASSERT_NE(src, nullptr);
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(ox_vector_integer_append(src, 10 + i), 0);
    }
    alignas(16) uint8_t buf[3 * sizeof(int)];
    ox_vector dst;
    ox_vector_clone_stack(src, &dst, buf);
    EXPECT_EQ(dst.alloc_len, 3u);
    EXPECT_TRUE(dst.stack_struct);
    EXPECT_TRUE(dst.stack_vector);
    EXPECT_EQ(dst.vector, buf);
    EXPECT_EQ(contents(&dst), (std::vector<int>{10, 11, 12}));
    // The clone has its own lock and grows off the caller's buffer.
    ASSERT_EQ(ox_vector_integer_append(&dst, 13), 0);
    EXPECT_EQ(contents(&dst), (std::vector<int>{10, 11, 12, 13}));
    EXPECT_EQ(contents(src), (std::vector<int>{10, 11, 12}));
    ox_vector_destroy(&dst);
    ox_vector_destroy(src);
}

TEST(OxVector, ResetAndPointerHelpers)
{
    ox_vector v;
    ASSERT_EQ(ox_vector_pointer_init(&v, 2, VECTOR_FLAG_INITZERO), 0);
    int x, y;
    ASSERT_EQ(ox_vector_pointer_append(&v, &x), 0);
    ASSERT_EQ(ox_vector_pointer_append(&v, &y), 0);
    ASSERT_EQ(ox_vector_pointer_append(&v, nullptr), 0);
    EXPECT_EQ(ox_vector_pointer_get(&v, 0), &x);
    EXPECT_EQ(ox_vector_pointer_get(&v, 1), &y);
    EXPECT_EQ(ox_vector_pointer_get(&v, 2), nullptr);
    EXPECT_EQ(ox_vector_pointer_get(&v, 3), nullptr);
    ox_vector_reset(&v);
    EXPECT_EQ(ox_vector_size(&v), 0u);
    for (uint32_t i = 0; i < v.alloc_len * v.value_len; i++) {
        ASSERT_EQ(v.vector[i], 0) << i;
    }
    ox_vector_destroy(&v);
}

} // namespace
