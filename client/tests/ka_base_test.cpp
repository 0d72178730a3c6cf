// Client base: log filtering, the default sink, reference counts, digest text.
#include "ka_quiet_log.h"
#include "tamberlin/ox_alloc.h"
#include "tamberlin/ox_digest.h"
#include "tamberlin/ox_log.h"

#include <cstdarg>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::vector<std::pair<int, std::string>> g_lines;

void capture(ka::ox_log_level level, const char *fmt, ...)
{
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    g_lines.emplace_back(level, buf);
}

struct LogCapture : ::testing::Test {
    void SetUp() override
    {
        g_lines.clear();
        ka::g_log_callback = capture;
    }
    void TearDown() override
    {
        ka::g_log_callback = ka_test_log_callback;
        ka::g_log_level = ka::OX_INFO;
    }
};

int g_formatted = 0;
int counted(int v)
{
    g_formatted++;
    return v;
}

} // namespace

TEST_F(LogCapture, LevelFiltersBeforeFormatting)
{
    struct {
        int level;
        int lines_at_error_warn_info_debug;
    } cases[] = {{ka::OX_NO_LOGGING, 0}, {ka::OX_ERROR, 1}, {ka::OX_WARN, 2}, {ka::OX_INFO, 3}, {ka::OX_DEBUG, 4}};
    for (const auto &c : cases) {
        g_lines.clear();
        g_formatted = 0;
        ka::g_log_level = c.level;
        KA_LOG_ERROR("e %d", counted(1));
        KA_LOG_WARN("w %d", counted(2));
        KA_LOG_INFO("i %d", counted(3));
        KA_LOG_DEBUG("d %d", counted(4));
        EXPECT_EQ(static_cast<int>(g_lines.size()), c.lines_at_error_warn_info_debug) << "level " << c.level;
        // A filtered site does not even evaluate its arguments.
        EXPECT_EQ(g_formatted, c.lines_at_error_warn_info_debug);
        for (size_t i = 0; i < g_lines.size(); i++)
            EXPECT_EQ(g_lines[i].first, static_cast<int>(i)) << "callback gets the line's own level";
    }
}

TEST_F(LogCapture, SetDebugSwitchesBetweenDebugAndInfo)
{
    tamberlin_set_debug(true);
    EXPECT_EQ(ka::g_log_level, ka::OX_DEBUG);
    tamberlin_set_debug(false);
    EXPECT_EQ(ka::g_log_level, ka::OX_INFO);
}

TEST(DefaultLog, WritesTheTextAndOneNewline)
{
    ::testing::internal::CaptureStderr();
    ka::ox_default_log(ka::OX_ERROR, "value %d here", 42);
    std::string long_fmt(3000, 'x');
    ka::ox_default_log(ka::OX_WARN, long_fmt.c_str());
    std::string out = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "value 42 here\n" + long_fmt + "\n");
}

TEST(ClientRc, CountsLiveBelowTheUserBytes)
{
    char *p = static_cast<char *>(ka::ox_client_rc_alloc(10));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(ka::ox_client_rc_count(p), 1u);
    uint32_t raw;
    memcpy(&raw, p - 4, 4);
    EXPECT_EQ(raw, 1u);
    memset(p, 0xAB, 10); // the user's bytes are all usable
    EXPECT_EQ(ka::ox_client_rc_reserve(p), 2);
    EXPECT_EQ(ka::ox_client_rc_release_x(p, true), 1);
    // Without autofree nothing is freed, even at 0: the block stays readable.
    EXPECT_EQ(ka::ox_client_rc_release_x(p, false), 0);
    EXPECT_EQ(ka::ox_client_rc_count(p), 0u);
    EXPECT_EQ(static_cast<unsigned char>(p[9]), 0xABu);
    ka::ox_client_rc_free(p);

    char *q = static_cast<char *>(ka::ox_client_rc_alloc(1));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(ka::ox_client_rc_release_x(q, true), 0); // freed here; ASan would flag a leak otherwise
}

TEST(Digest, StringIsHexInByteOrder)
{
    ka::ox_digest d;
    for (int i = 0; i < 20; i++)
        d.digest[i] = static_cast<uint8_t>(i * 13);
    char out[43];
    memset(out, 'Z', sizeof(out));
    ka::ox_digest_string(&d, out);
    EXPECT_STREQ(out, "0x000d1a2734414e5b6875828f9ca9b6c3d0ddeaf7");
}

TEST_F(LogCapture, DigestDumpIsTwoDebugLines)
{
    ka::g_log_level = ka::OX_DEBUG;
    ka::ox_digest d;
    for (int i = 0; i < 20; i++)
        d.digest[i] = static_cast<uint8_t>(i);
    ka::ox_digest_dump(&d);
    ASSERT_EQ(g_lines.size(), 2u);
    EXPECT_EQ(g_lines[0].second, "00 01 02 03 : 04 05 06 07 : 08 09");
    EXPECT_EQ(g_lines[1].second, "0a 0b 0c 0d : 0e 0f 10 11 : 12 13");
    EXPECT_EQ(g_lines[0].first, ka::OX_DEBUG);
}
