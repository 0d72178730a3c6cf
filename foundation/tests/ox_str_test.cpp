// Number syntax of the configuration: every parser over one table, so each
// edge (wrap-around, empty text, suffix rules, trailing junk) is checked
// against every width it concerns.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tamberlin/ox_str.h"

namespace {

enum parser { ATOI, ATOI_U32, ATOI_64, ATOI_U64, SECONDS, HEX, RADIX36, CHECKED_64, CHECKED_U64, CHECKED_SECONDS };

const char *parser_name(parser p)
{
    static const char *names[] = {"ox_str_atoi", "ox_str_atoi_u32", "ox_str_atoi_64",
        "ox_str_atoi_u64", "ox_str_atoi_seconds", "ox_str_atoi_u64_x/16", "ox_str_atoi_u64_x/36",
        "ox_str_atoi_64_checked", "ox_str_atoi_u64_checked", "ox_str_atoi_seconds_checked"};
    return names[p];
}

struct parse_case {
    parser fn;
    const char *text;
    int rc;
    int64_t value; // the value as the output's own type, widened; ignored on -1
};

constexpr int64_t K = 1024;

const parse_case parse_cases[] = {
    // 32-bit signed
    {ATOI, "-12", 0, -12},
    {ATOI, "64K", 0, 65536},
    {ATOI, "64k", 0, 65536},
    {ATOI, "3m", 0, 3 * K * K},
    {ATOI, "2g", 0, INT32_MIN},          // 2^31 wraps to the most negative value
    {ATOI, "4G", 0, 0},                  // the shift wraps in 32 bits
    {ATOI, "2147483647", 0, INT32_MAX},
    {ATOI, "2147483648", 0, INT32_MIN},  // no overflow check
    {ATOI, "4294967297", 0, 1},
    {ATOI, "-2147483648", 0, INT32_MIN},
    {ATOI, "12 ", ATOI_ILLEGAL, 0},
    {ATOI, " 12", ATOI_ILLEGAL, 0},
    {ATOI, "1KB", ATOI_ILLEGAL, 0},
    {ATOI, "1T", ATOI_ILLEGAL, 0},       // not a 32-bit suffix
    {ATOI, "1-", ATOI_ILLEGAL, 0},
    {ATOI, "--1", ATOI_ILLEGAL, 0},
    {ATOI, "+1", ATOI_ILLEGAL, 0},
    {ATOI, "", 0, 0},
    {ATOI, "-", 0, 0},
    {ATOI, "K", 0, 0},
    {ATOI, "-1K", 0, -1024},
    // 32-bit unsigned
    {ATOI_U32, "4294967295", 0, 4294967295LL},
    {ATOI_U32, "4294967296", 0, 0},
    {ATOI_U32, "3G", 0, 3 * K * K * K},
    {ATOI_U32, "-1", ATOI_ILLEGAL, 0},
    {ATOI_U32, "1P", ATOI_ILLEGAL, 0},
    {ATOI_U32, "", 0, 0},
    // 64-bit signed
    {ATOI_64, "-3M", 0, -3 * K * K},
    {ATOI_64, "1P", 0, 1LL << 50},
    {ATOI_64, "2t", 0, 2LL << 40},
    {ATOI_64, "1E", ATOI_ILLEGAL, 0},
    {ATOI_64, "9223372036854775808", 0, INT64_MIN},
    {ATOI_64, "8192P", 0, INT64_MIN},    // 2^63 wraps
    {ATOI_64, "", 0, 0},
    {ATOI_64, "1 ", ATOI_ILLEGAL, 0},
    // 64-bit unsigned (the value column holds the bit pattern)
    {ATOI_U64, "-1", ATOI_ILLEGAL, 0},
    {ATOI_U64, "10t", 0, 10LL << 40},
    {ATOI_U64, "18446744073709551615", 0, -1},
    {ATOI_U64, "18446744073709551616", 0, 0},
    {ATOI_U64, "16384P", 0, 0},          // 2^64 wraps
    {ATOI_U64, "1KK", ATOI_ILLEGAL, 0},
    {ATOI_U64, "", 0, 0},
    // seconds
    {SECONDS, "2d", 0, 2 * 86400},
    {SECONDS, "3H", 0, 3 * 3600},
    {SECONDS, "90m", 0, 5400},
    {SECONDS, "45", 0, 45},
    {SECONDS, "45s", 0, 45},
    {SECONDS, "-1", 0, 0},
    {SECONDS, "-10", 0, 0},
    {SECONDS, "-1x", 0, 0},
    {SECONDS, "-5", ATOI_ILLEGAL, 0},
    {SECONDS, "-", ATOI_ILLEGAL, 0},
    {SECONDS, "1w", ATOI_ILLEGAL, 0},
    {SECONDS, "1K", ATOI_ILLEGAL, 0},
    {SECONDS, "1ds", ATOI_ILLEGAL, 0},
    {SECONDS, "5 ", ATOI_ILLEGAL, 0},
    {SECONDS, "", 0, 0},
    // radix
    {HEX, "ff", 0, 255},
    {HEX, "FF", 0, 255},
    {HEX, "fg", ATOI_ILLEGAL, 0},
    {HEX, "", 0, 0},
    {HEX, "0x1", ATOI_ILLEGAL, 0},
    {HEX, "-1", ATOI_ILLEGAL, 0},
    {HEX, "ffffffffffffffff", 0, -1},
    {HEX, "10000000000000000", 0, 0},    // wraps
    {HEX, "\xc6", ATOI_ILLEGAL, 0},      // bytes of 128 and above are no digits
    {RADIX36, "zZ", 0, 35 * 36 + 35},
    {RADIX36, "[", ATOI_ILLEGAL, 0},     // digit value 36 is not below the radix
    // Checked forms: a digit is needed, and what does not fit is refused.
    {CHECKED_64, "-3M", 0, -3 * K * K},
    {CHECKED_64, "9223372036854775807", 0, INT64_MAX},
    {CHECKED_64, "-9223372036854775808", 0, INT64_MIN},
    {CHECKED_64, "9223372036854775808", ATOI_OVERFLOW, 0},
    {CHECKED_64, "-9223372036854775809", ATOI_OVERFLOW, 0},
    {CHECKED_64, "18446744073709554616", ATOI_OVERFLOW, 0}, // wraps to 3000 unchecked
    {CHECKED_64, "8191P", 0, 8191 * K * K * K * K * K},
    {CHECKED_64, "8192P", ATOI_OVERFLOW, 0},                 // 2^63 by its suffix
    {CHECKED_64, "", ATOI_ILLEGAL, 0},
    {CHECKED_64, "-", ATOI_ILLEGAL, 0},
    {CHECKED_64, "K", ATOI_ILLEGAL, 0},
    {CHECKED_64, "-K", ATOI_ILLEGAL, 0},
    {CHECKED_64, "1KB", ATOI_ILLEGAL, 0},
    {CHECKED_64, "99999999999999999999x", ATOI_ILLEGAL, 0}, // bad syntax before overflow
    {CHECKED_U64, "18446744073709551615", 0, -1},
    {CHECKED_U64, "18446744073709551616", ATOI_OVERFLOW, 0},
    {CHECKED_U64, "18446744073709551617", ATOI_OVERFLOW, 0},
    {CHECKED_U64, "16383P", 0, (int64_t)(16383ULL << 50)},
    {CHECKED_U64, "16384P", ATOI_OVERFLOW, 0},
    {CHECKED_U64, "-1", ATOI_ILLEGAL, 0},
    {CHECKED_U64, "", ATOI_ILLEGAL, 0},
    {CHECKED_U64, "G", ATOI_ILLEGAL, 0},
    {CHECKED_SECONDS, "2d", 0, 2 * 86400},
    {CHECKED_SECONDS, "-1", 0, 0},
    {CHECKED_SECONDS, "-5", ATOI_ILLEGAL, 0},
    {CHECKED_SECONDS, "", ATOI_ILLEGAL, 0},
    {CHECKED_SECONDS, "d", ATOI_ILLEGAL, 0},
    {CHECKED_SECONDS, "18446744073709551615s", 0, -1},
    {CHECKED_SECONDS, "18446744073709551616", ATOI_OVERFLOW, 0},
    {CHECKED_SECONDS, "213503982334602d", ATOI_OVERFLOW, 0}, // above 2^64 seconds
};

TEST(OxStr, ParsersFollowTheNumberSyntax)
{
    for (const parse_case &c : parse_cases) {
        SCOPED_TRACE(std::string(parser_name(c.fn)) + "(\"" + c.text + "\")");
        // A sentinel shows that a failing parser leaves its output alone.
        const int64_t sentinel = 0x5a5a5a5a5a5a5a5aLL;
        int64_t got;
        int rc;
        switch (c.fn) {
        case ATOI: {
            int32_t v = (int32_t)sentinel;
            rc = ox_str_atoi(c.text, &v);
            got = v;
            if (rc != 0) {
                EXPECT_EQ(v, (int32_t)sentinel);
            }
            break;
        }
        case ATOI_U32: {
            uint32_t v = (uint32_t)sentinel;
            rc = ox_str_atoi_u32(c.text, &v);
            got = v;
            if (rc != 0) {
                EXPECT_EQ(v, (uint32_t)sentinel);
            }
            break;
        }
        case ATOI_64:
        case CHECKED_64: {
            int64_t v = sentinel;
            rc = c.fn == ATOI_64 ? ox_str_atoi_64(c.text, &v) : ox_str_atoi_64_checked(c.text, &v);
            got = v;
            if (rc != 0) {
                EXPECT_EQ(v, sentinel);
            }
            break;
        }
        default: {
            uint64_t v = (uint64_t)sentinel;
            if (c.fn == ATOI_U64) {
                rc = ox_str_atoi_u64(c.text, &v);
            } else if (c.fn == SECONDS) {
                rc = ox_str_atoi_seconds(c.text, &v);
            } else if (c.fn == CHECKED_U64) {
                rc = ox_str_atoi_u64_checked(c.text, &v);
            } else if (c.fn == CHECKED_SECONDS) {
                rc = ox_str_atoi_seconds_checked(c.text, &v);
            } else {
                rc = ox_str_atoi_u64_x(c.text, &v, c.fn == HEX ? 16 : 36);
            }
            got = (int64_t)v;
            if (rc != 0) {
                EXPECT_EQ(v, (uint64_t)sentinel);
            }
            break;
        }
        }
        EXPECT_EQ(rc, c.rc);
        if (c.rc == 0) {
            EXPECT_EQ(got, c.value);
        }
    }
}

TEST(OxStr, DigitTables)
{
    EXPECT_EQ(std::string(itoa_table, sizeof(itoa_table)), "0123456789ABCDEFGHIJKLMN");
    for (int c = 0; c < 128; c++) {
        int want = -1;
        if (c >= '0' && c <= '9') {
            want = c - '0';
        } else if (c >= 'A' && c <= 'Z') {
            want = c - 'A' + 10;
        } else if (c >= 'a' && c <= 'z') {
            want = c - 'a' + 10;
        } else if (c == '[' || c == '{') {
            want = 36;
        }
        EXPECT_EQ(atoi_table[c], want) << "character " << c;
    }
}

TEST(OxStr, FormattersWriteDigitsAndGiveTheLength)
{
    struct fmt_case {
        int kind; // 0 itoa, 1 itoa_u32, 2 itoa_u64
        int64_t value;
        int radix;
        const char *text;
    };
    const fmt_case cases[] = {
        {0, -255, 16, "-FF"},
        {0, 0, 10, "0"},
        {0, 7, 2, "111"},
        {0, INT32_MAX, 10, "2147483647"},
        {0, INT32_MIN, 10, "-2147483648"},
        {0, INT32_MIN, 16, "-80000000"},
        {0, -1, 24, "-1"},
        {0, 23, 24, "N"},
        {1, UINT32_MAX, 10, "4294967295"},
        {1, 0, 16, "0"},
        {2, 0, 10, "0"},
        {2, -1, 10, "18446744073709551615"},  // UINT64_MAX
        {2, -1, 16, "FFFFFFFFFFFFFFFF"},
        {2, -1, 2, "1111111111111111111111111111111111111111111111111111111111111111"},
        {2, 1000, 10, "1000"},
    };
    for (const fmt_case &c : cases) {
        char buf[80];
        memset(buf, 'x', sizeof(buf));
        uint32_t n;
        if (c.kind == 0) {
            n = ox_str_itoa((int32_t)c.value, buf, c.radix);
        } else if (c.kind == 1) {
            n = ox_str_itoa_u32((uint32_t)c.value, buf, c.radix);
        } else {
            n = ox_str_itoa_u64((uint64_t)c.value, buf, c.radix);
        }
        SCOPED_TRACE(c.text);
        EXPECT_STREQ(buf, c.text);
        EXPECT_EQ(n, strlen(c.text));
    }
}

TEST(OxStr, FormatterRejectsRadixOutsideItsTable)
{
    char buf[80];
    memset(buf, 'x', sizeof(buf));
    EXPECT_EQ(ox_str_itoa_u64(99, buf, 25), 0u);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(ox_str_itoa(-5, buf, 1), 0u);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(ox_str_itoa_u32(5, buf, 0), 0u);
    EXPECT_STREQ(buf, "");
}

std::vector<std::string> split(const char *fmt, const char *text)
{
    char buf[128];
    strcpy(buf, text);
    ox_vector_define(v, sizeof(char *), 0);
    ox_str_split(fmt, buf, &v);
    std::vector<std::string> out;
    for (uint32_t i = 0; i < ox_vector_size(&v); i++) {
        char *p = (char *)ox_vector_pointer_get(&v, i);
        // Every piece points into the caller's text.
        EXPECT_TRUE(p >= buf && p < buf + sizeof(buf));
        out.push_back(p);
    }
    ox_vector_destroy(&v);
    return out;
}

TEST(OxStr, SplitKeepsInnerEmptyPiecesButNoEmptyLastOne)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(split(",", ""), V{});
    EXPECT_EQ(split(",", "abc"), V{"abc"});
    EXPECT_EQ(split(",", "a,,b"), (V{"a", "", "b"}));
    EXPECT_EQ(split(",", ",a"), (V{"", "a"}));
    EXPECT_EQ(split(",", "a,"), V{"a"});
    EXPECT_EQ(split(",", ","), V{""});
    EXPECT_EQ(split(":;", "a:b;c"), (V{"a", "b", "c"}));
    EXPECT_EQ(split(" \t", "x\ty z"), (V{"x", "y", "z"}));
}

TEST(OxStr, SplitGrowsOffTheStackBuffer)
{
    // 200 pieces outgrow the 128 pointers of a 1024-byte stack vector.
    std::string text;
    for (int i = 0; i < 200; i++) {
        text += std::to_string(i) + ",";
    }
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    ox_vector_define(v, sizeof(char *), 0);
    ox_str_split(",", buf.data(), &v);
    ASSERT_EQ(ox_vector_size(&v), 200u);
    EXPECT_FALSE(v.stack_vector);
    for (uint32_t i = 0; i < 200; i++) {
        EXPECT_STREQ((char *)ox_vector_pointer_get(&v, i), std::to_string(i).c_str());
    }
    ox_vector_destroy(&v);
}

} // namespace
