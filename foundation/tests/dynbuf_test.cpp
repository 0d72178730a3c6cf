// Text buffers: the stack start, the exact capacities that growth gives,
// number texts, and requests too large to size, which must fail cleanly.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "tamberlin/dynbuf.h"
#include "tamberlin/enhanced_alloc.h"

namespace {

std::string text(const ox_dyn_buf &db)
{
    return std::string((const char *)db.buf, db.used_sz);
}

// A heap buffer of alloc bytes already holding used bytes of 'u'.
ox_dyn_buf heap_buf(size_t alloc, size_t used)
{
    ox_dyn_buf db = {(uint8_t *)ox_malloc(alloc), false, alloc, used};
    memset(db.buf, 'u', used);
    return db;
}

TEST(DynBuf, GrowthRuleGivesTheNextGranuleAboveTheRequest)
{
    struct size_case {
        size_t alloc, used, sz, want;
    };
    const size_case cases[] = {
        {1024, 1020, 10, 2048},       // granule 1024
        {2048, 0, 8000, 12288},       // granule 4096
        {32768, 32768, 10000, 65536}, // granule 32768
        {100000, 100000, 50000, 262144}, // granule 262144
        {1024, 1000, 1008, 3072},     // m = 2048 exactly: a whole further granule
        {1024, 1024, 7151, 8192},     // m = 8191, the last with granule 1024
        {1024, 1024, 7152, 12288},    // m = 8192
        {1024, 1024, 31727, 32768},   // m = 32767, the last with granule 4096
        {1024, 1024, 31728, 65536},   // m = 32768
        {1024, 1024, 130031, 131072}, // m = 131071, the last with granule 32768
        {1024, 1024, 130032, 262144}, // m = 131072
        {1024, 1000, 23, 1024},       // fits: the size stays
        {1024, 1000, 24, 2048},       // exactly the free room is not "less than" it
        {1024, 0, 0x7ffffff0, 2147745792ull}, // beyond 2 GiB the sum does not wrap
        {1024, 0, SIZE_MAX - 1039, 0},        // alloc + sz + 16 overflows
        {1024, 0, SIZE_MAX - 1040, 0},        // m fits, its rounding does not
        {0, 0, SIZE_MAX, 0},
    };
    for (const size_case &c : cases) {
        EXPECT_EQ(ox_dyn_buf_get_newsize(c.alloc, c.used, c.sz), c.want)
            << c.alloc << "/" << c.used << " + " << c.sz;
    }
}

TEST(DynBuf, AppendsGrowToTheExactCapacities)
{
    struct grow_case {
        size_t alloc, used; // 1024 with used <= 1024 starts on the stack
        bool reserve;       // ox_dyn_buf_reserve instead of an append
        size_t n, want;
    };
    const grow_case cases[] = {
        {1024, 1020, false, 10, 2048},
        {1024, 1000, false, 24, 1024},  // an append grows only when the room is short
        {1024, 1000, true, 24, 2048},   // a reserve of exactly the room grows
        {1024, 1000, false, 1008, 3072},
        {2048, 100, false, 8000, 12288},
        {32768, 1, false, 32768, 98304},
        {100000, 100000, false, 50000, 262144},
        {2048, 2048, false, 1, 3072},
    };
    for (const grow_case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.alloc << "/" << c.used << " + " << c.n);
        ox_dyn_buf_define(stack);
        ox_dyn_buf db = stack;
        bool on_stack = c.alloc == 1024;
        if (on_stack) {
            memset(db.buf, 'u', c.used);
            db.used_sz = c.used;
        } else {
            db = heap_buf(c.alloc, c.used);
        }
        std::string add(c.n, 'a');
        if (c.reserve) {
            ASSERT_EQ(ox_dyn_buf_reserve(&db, c.n), 0);
        } else {
            ASSERT_EQ(ox_dyn_buf_append_buf(&db, add.data(), add.size()), 0);
        }
        EXPECT_EQ(db.alloc_sz, c.want);
        EXPECT_EQ(db.is_stack, on_stack && c.want == 1024);
        if (!c.reserve) {
            EXPECT_EQ(text(db), std::string(c.used, 'u') + add);
        }
        ox_dyn_buf_free(&db);
    }
}

TEST(DynBuf, SingleCharactersLeaveTheStackAtThe1025th)
{
    ox_dyn_buf_define(db);
    uint8_t *stack = db.buf;
    for (int i = 0; i < 1024; i++) {
        ASSERT_EQ(ox_dyn_buf_append_char(&db, (char)('a' + i % 26)), 0);
    }
    EXPECT_EQ(db.buf, stack);
    EXPECT_TRUE(db.is_stack);
    EXPECT_EQ(db.alloc_sz, 1024u);

    ASSERT_EQ(ox_dyn_buf_append_char(&db, '!'), 0);
    EXPECT_NE(db.buf, stack);
    EXPECT_FALSE(db.is_stack);
    EXPECT_EQ(db.alloc_sz, 2048u);
    ASSERT_EQ(db.used_sz, 1025u);
    for (int i = 0; i < 1024; i++) {
        ASSERT_EQ(db.buf[i], 'a' + i % 26) << i;
    }
    EXPECT_EQ(db.buf[1024], '!');
    ox_dyn_buf_free(&db);
}

TEST(DynBuf, NumberTextsAndSmallAppends)
{
    ox_dyn_buf_define(db);
    EXPECT_EQ(ox_dyn_buf_append_string(&db, ""), 0);
    EXPECT_EQ(db.used_sz, 0u);
    EXPECT_EQ(ox_dyn_buf_append_uint64(&db, UINT64_MAX), 0);
    EXPECT_EQ(ox_dyn_buf_append_char(&db, ' '), 0);
    EXPECT_EQ(ox_dyn_buf_append_int(&db, -1), 0);
    EXPECT_EQ(ox_dyn_buf_append_char(&db, ' '), 0);
    EXPECT_EQ(ox_dyn_buf_append_uint64_x(&db, 255), 0);
    EXPECT_EQ(ox_dyn_buf_append_char(&db, ' '), 0);
    EXPECT_EQ(ox_dyn_buf_append_uint32(&db, UINT32_MAX), 0);
    EXPECT_EQ(ox_dyn_buf_append_char(&db, ' '), 0);
    EXPECT_EQ(ox_dyn_buf_append_int(&db, INT32_MIN), 0);
    EXPECT_EQ(ox_dyn_buf_append_string(&db, ";ok"), 0);
    EXPECT_EQ(text(db), "18446744073709551615 -1 FF 4294967295 -2147483648;ok");
    ox_dyn_buf_free(&db);
}

TEST(DynBuf, NumberRoomIncludesTheTerminatorOnly)
{
    // 12 bytes hold the longest int text and its NUL: no growth, and ASan
    // sees no write past the array.
    ox_dyn_buf_define_size(exact, 12);
    ASSERT_EQ(ox_dyn_buf_append_int(&exact, INT32_MIN), 0);
    EXPECT_TRUE(exact.is_stack);
    EXPECT_EQ(text(exact), "-2147483648");

    // One byte short of the room: growth first (m = 11 + 12 + 16).
    ox_dyn_buf_define_size(short_by_one, 11);
    ASSERT_EQ(ox_dyn_buf_append_int(&short_by_one, 7), 0);
    EXPECT_FALSE(short_by_one.is_stack);
    EXPECT_EQ(short_by_one.alloc_sz, 1024u);
    EXPECT_EQ(text(short_by_one), "7");
    ox_dyn_buf_free(&short_by_one);

    ox_dyn_buf_define_size(hex, 18);
    ASSERT_EQ(ox_dyn_buf_append_uint64_x(&hex, UINT64_MAX), 0);
    EXPECT_TRUE(hex.is_stack);
    EXPECT_EQ(text(hex), "FFFFFFFFFFFFFFFF");

    ox_dyn_buf_define_size(dec, 22);
    ASSERT_EQ(ox_dyn_buf_append_uint64(&dec, UINT64_MAX), 0);
    EXPECT_TRUE(dec.is_stack);
}

TEST(DynBuf, RequestsThatCannotBeSizedFailAndChangeNothing)
{
    const char small[] = "abc";
    for (bool on_heap : {false, true}) {
        SCOPED_TRACE(on_heap ? "heap" : "stack");
        ox_dyn_buf_define(stack);
        ox_dyn_buf db = on_heap ? heap_buf(4096, 10) : stack;
        if (!on_heap) {
            ASSERT_EQ(ox_dyn_buf_append_string(&db, "0123456789"), 0);
        }
        const ox_dyn_buf before = db;
        EXPECT_EQ(ox_dyn_buf_reserve(&db, SIZE_MAX), -1);
        EXPECT_EQ(ox_dyn_buf_reserve(&db, SIZE_MAX - 1040), -1);
        // The append must fail before it copies a byte of its (short) source.
        EXPECT_EQ(ox_dyn_buf_append_buf(&db, small, SIZE_MAX - 100), -1);
        EXPECT_EQ(db.buf, before.buf);
        EXPECT_EQ(db.alloc_sz, before.alloc_sz);
        EXPECT_EQ(db.used_sz, before.used_sz);
        EXPECT_EQ(db.is_stack, before.is_stack);
        // Still usable.
        EXPECT_EQ(ox_dyn_buf_append_string(&db, small), 0);
        EXPECT_EQ(db.used_sz, 13u);
        ox_dyn_buf_free(&db);
    }
}

TEST(DynBuf, ChompStrdupAndFree)
{
    ox_dyn_buf_define(db);
    EXPECT_EQ(ox_dyn_buf_chomp(&db), 0);
    EXPECT_EQ(db.used_sz, 0u);
    EXPECT_EQ(ox_dyn_buf_strdup(&db), nullptr);

    ASSERT_EQ(ox_dyn_buf_append_string(&db, "ab;"), 0);
    EXPECT_EQ(ox_dyn_buf_chomp(&db), 0);
    char *s = ox_dyn_buf_strdup(&db);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "ab");
    ox_free(s);
    ox_dyn_buf_free(&db); // still on the stack: nothing to free
    EXPECT_EQ(db.used_sz, 2u);
}

std::string bytes(ox_buf_builder *bb)
{
    return std::string((const char *)bb->buf, bb->used_sz);
}

TEST(BufBuilder, AppendsInNetworkOrderAndGrowsByTheSameRule)
{
    ox_buf_builder *bb = ox_buf_builder_create();
    ASSERT_NE(bb, nullptr);
    EXPECT_EQ(bb->alloc_sz, 1008u);
    EXPECT_EQ(ox_buf_builder_size(bb), 1024u);

    ASSERT_EQ(ox_buf_builder_append_uint8(&bb, 0x01), 0);
    ASSERT_EQ(ox_buf_builder_append_uint16(&bb, 0x0203), 0);
    ASSERT_EQ(ox_buf_builder_append_uint32(&bb, 0x04050607), 0);
    ASSERT_EQ(ox_buf_builder_append_uint64(&bb, 0x08090a0b0c0d0e0full), 0);
    EXPECT_EQ(bytes(bb), std::string("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f", 15));

    bb->used_sz = 0;
    ASSERT_EQ(ox_buf_builder_append_ascii_int(&bb, -12), 0);
    ASSERT_EQ(ox_buf_builder_append_char(&bb, ','), 0);
    ASSERT_EQ(ox_buf_builder_append_ascii_uint32(&bb, 34), 0);
    ASSERT_EQ(ox_buf_builder_append_string(&bb, ","), 0);
    ASSERT_EQ(ox_buf_builder_append_ascii_uint64(&bb, UINT64_MAX), 0);
    ASSERT_EQ(ox_buf_builder_append_buf(&bb, ",", 1), 0);
    ASSERT_EQ(ox_buf_builder_append_ascii_uint64_x(&bb, 0xabc), 0);
    EXPECT_EQ(bytes(bb), "-12,34,18446744073709551615,ABC");
    ASSERT_EQ(ox_buf_builder_chomp(bb), 0);
    char *s = ox_buf_builder_strdup(bb);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "-12,34,18446744073709551615,AB");
    ox_free(s);

    // Fill the capacity, then one more byte: capacity 1008 + 1 + 16 rounds to a 2048-byte block.
    bb->used_sz = 0;
    std::string fill(1008, 'f');
    ASSERT_EQ(ox_buf_builder_append_buf(&bb, fill.data(), fill.size()), 0);
    EXPECT_EQ(ox_buf_builder_size(bb), 1024u);
    ASSERT_EQ(ox_buf_builder_append_char(&bb, 'g'), 0);
    EXPECT_EQ(ox_buf_builder_size(bb), 2048u);
    EXPECT_EQ(bb->alloc_sz, 2032u);
    EXPECT_EQ(bytes(bb), fill + "g");

    ox_buf_builder_free(bb);
}

TEST(BufBuilder, ReserveHandsBackRoomAndCountsIt)
{
    ox_buf_builder *bb = ox_buf_builder_create();
    ASSERT_NE(bb, nullptr);
    uint8_t *p = nullptr;
    ASSERT_EQ(ox_buf_builder_reserve(&bb, 4, &p), 0);
    EXPECT_EQ(p, bb->buf);
    memcpy(p, "wxyz", 4);
    EXPECT_EQ(bb->used_sz, 4u);

    // Absolute growth: exactly the room asked for, no granule.
    ASSERT_EQ(ox_buf_builder_reserve_absolute(&bb, 5000, &p), 0);
    EXPECT_EQ(bb->alloc_sz, 5004u);
    EXPECT_EQ(p, bb->buf + 4);
    EXPECT_EQ(bb->used_sz, 5004u);
    memset(p, 'q', 5000);
    EXPECT_EQ(bytes(bb).substr(0, 5), "wxyzq");

    ox_buf_builder *before = bb;
    EXPECT_EQ(ox_buf_builder_reserve(&bb, SIZE_MAX, &p), -1);
    EXPECT_EQ(ox_buf_builder_reserve_absolute(&bb, SIZE_MAX - 8, &p), -1);
    EXPECT_EQ(ox_buf_builder_append_buf(&bb, "x", SIZE_MAX - 3), -1);
    EXPECT_EQ(bb, before);
    EXPECT_EQ(bb->used_sz, 5004u);
    ox_buf_builder_free(bb);
}

} // namespace
