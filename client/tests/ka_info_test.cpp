// Info client against the stand-in node: request rewriting and framing, the
// name limit, empty, oversize and malformed replies, time limits, parsing.
#include "ka_quiet_log.h"
#include "tamberlin/ka_info.h"
#include "tamberlin/ox_log.h"
#include "ka_wire_fixture.h"

#include <cstdarg>
#include <string>
#include <vector>

namespace {

std::vector<std::string> g_warnings;
void capture(ka::ox_log_level level, const char *fmt, ...)
{
    char buf[2048];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    if (level == ka::OX_WARN)
        g_warnings.push_back(buf);
}

struct InfoTest : NodeTest {
    void SetUp() override
    {
        NodeTest::SetUp();
        g_warnings.clear();
        ka::g_log_callback = capture;
    }
    void TearDown() override
    {
        ka::g_log_callback = ka_test_log_callback;
        NodeTest::TearDown();
    }
    // The text of request i as the node received it (after the 8-byte header).
    std::string sent(size_t i)
    {
        fake_request r;
        EXPECT_TRUE(fake_node_request(node, i, &r));
        EXPECT_EQ(r.proto_type, KA_PROTO_TYPE_INFO);
        EXPECT_EQ(ka_be_get(reinterpret_cast<const uint8_t *>(r.raw.data()) + 2, 6), r.raw.size() - 8);
        return r.raw.substr(8);
    }
};

} // namespace

TEST_F(InfoTest, RequestsAreRewrittenAndFramed)
{
    fake_node_set_info(node, "build", "3.2.9");
    fake_node_set_info(node, "a", "1");
    fake_node_set_info(node, "c", "3");
    sockaddr_in sa = addr();
    char *reply = nullptr;

    char build[] = "build";
    ASSERT_EQ(tamberlin_info_host(&sa, build, &reply, 1000, true), 0);
    EXPECT_EQ(sent(0), "build\n");
    ASSERT_NE(reply, nullptr);
    EXPECT_STREQ(reply, "build\t3.2.9\n");
    char *value = nullptr;
    EXPECT_EQ(tamberlin_info_parse_single(reply, &value), 0);
    EXPECT_STREQ(value, "3.2.9");
    free(reply);

    char three[] = "a:b,c";
    ASSERT_EQ(tamberlin_info_host(&sa, three, &reply, 1000, false), 0);
    EXPECT_EQ(sent(1), "a\nb\nc\n");
    EXPECT_STREQ(three, "a\nb\nc") << "the caller's text is changed in place";
    EXPECT_STREQ(reply, "a\t1\nc\t3\n");
    free(reply);

    char semi[] = "a;c";
    ASSERT_EQ(tamberlin_info_host(&sa, semi, &reply, 0, false), 0); // no time limit
    EXPECT_EQ(sent(2), "a\nc\n");
    free(reply);

    char as_is[] = "set-config:context=x;a=1";
    ASSERT_EQ(tamberlin_info_host(&sa, as_is, &reply, 1000, true), 0);
    EXPECT_EQ(sent(3), "set-config:context=x;a=1\n");
    EXPECT_EQ(reply, nullptr) << "an item the node does not answer: size-0 reply";

    char empty[] = "";
    ASSERT_EQ(tamberlin_info_host(&sa, empty, &reply, 1000, false), 0);
    EXPECT_EQ(sent(4), "\n");
    ASSERT_EQ(tamberlin_info_host(&sa, nullptr, &reply, 1000, false), 0);
    EXPECT_EQ(sent(5), "");
    EXPECT_EQ(reply, nullptr);
}

TEST_F(InfoTest, NameLengthLimit)
{
    sockaddr_in sa = addr();
    char *reply = reinterpret_cast<char *>(0x1);
    std::string n1024(1024, 'x');
    EXPECT_EQ(tamberlin_info_host(&sa, &n1024[0], &reply, 1000, true), -1);
    EXPECT_EQ(reply, nullptr);
    EXPECT_EQ(fake_node_connections(node), 0) << "refused before connecting";

    std::string n1023(1023, 'y');
    EXPECT_EQ(tamberlin_info_host(&sa, &n1023[0], &reply, 1000, true), 0);
    fake_request r;
    ASSERT_TRUE(fake_node_request(node, 0, &r));
    EXPECT_EQ(r.raw.size(), 1032u);
    EXPECT_EQ(r.raw.substr(8), n1023 + "\n");

    std::string n2000(1999, 'z');
    n2000 += '\n';
    EXPECT_EQ(tamberlin_info_host(&sa, &n2000[0], &reply, 1000, true), 0);
    ASSERT_TRUE(fake_node_request(node, 1, &r));
    EXPECT_EQ(r.raw.substr(8), n2000) << "names that end with a newline go as they are";
}

TEST_F(InfoTest, OversizeRepliesAreRefused)
{
    fake_node_set_info(node, "big", std::string(5000, 'B'));
    fake_node_set_info(node, "small", "0123456789012345678901234567890123456789");
    sockaddr_in sa = addr();
    char *reply = nullptr;

    char big[] = "big";
    EXPECT_EQ(tamberlin_info_host_limit(&sa, big, &reply, 1000, false, 100), -1);
    EXPECT_EQ(reply, nullptr);
    ASSERT_EQ(g_warnings.size(), 1u);
    EXPECT_EQ(g_warnings[0], "Info request 'big\n' failed. Response buffer length 5005 is excessive. Buffer: big\t" +
                                 std::string(96, 'B'));

    // A reply over the maximum but shorter than the head: only its own bytes
    // are read, so the call fails at once instead of waiting for bytes that
    // never come.
    g_warnings.clear();
    char small[] = "small";
    EXPECT_EQ(tamberlin_info_host_limit(&sa, small, &reply, 60000, false, 10), -1);
    ASSERT_EQ(g_warnings.size(), 1u);
    EXPECT_NE(g_warnings[0].find("Response buffer length 47 is excessive"), std::string::npos);

    char again[] = "big";
    EXPECT_EQ(tamberlin_info_host_limit(&sa, again, &reply, 1000, false, 5005), 0) << "at the maximum is fine";
    EXPECT_EQ(strlen(reply), 5005u);
    free(reply);
}

TEST_F(InfoTest, BadRepliesAndTimeLimits)
{
    fake_node_set_info(node, "build", "1.0");
    sockaddr_in sa = addr();
    // warns: a failed read of the reply's text other than a time-out is
    // logged; a time-out, and any failure before the text, only gives -1.
    struct {
        fake_fault_kind kind;
        fake_bad_reply bad;
        int timeout_ms;
        bool warns;
    } cases[] = {
        {FAKE_FAULT_SILENT, FAKE_BAD_SIZE_PAST_END, 100, false},
        {FAKE_FAULT_DELAY, FAKE_BAD_SIZE_PAST_END, 100, false},
        {FAKE_FAULT_SPLIT, FAKE_BAD_SIZE_PAST_END, 100, false}, // the text stops coming: time-out
        {FAKE_FAULT_CLOSE_AFTER_REQUEST, FAKE_BAD_SIZE_PAST_END, 1000, false},
        {FAKE_FAULT_CLOSE_MID_REPLY, FAKE_BAD_SIZE_PAST_END, 1000, true},
        {FAKE_FAULT_RESET, FAKE_BAD_SIZE_PAST_END, 1000, false},
        {FAKE_FAULT_MALFORMED, FAKE_BAD_SIZE_PAST_END, 1000, true},
        {FAKE_FAULT_MALFORMED, FAKE_BAD_HUGE_SIZE, 100, false}, // 2^48 - 1: only its head is read, and times out
        {FAKE_FAULT_CLOSE_MID_REPLY, FAKE_BAD_SIZE_PAST_END, 0, true},
    };
    for (const auto &c : cases) {
        fake_fault f;
        f.kind = c.kind;
        f.bad = c.bad;
        // Far beyond each time limit, so that a loaded machine cannot let
        // the reply in first; a stopping node cuts the pause short.
        f.delay_ms = 60000;
        f.pause_ms = 60000;
        fake_node_set_fault(node, f);
        g_warnings.clear();
        char names[] = "build";
        char *reply = reinterpret_cast<char *>(0x1);
        EXPECT_EQ(tamberlin_info_host(&sa, names, &reply, c.timeout_ms, false), -1) << c.kind << "/" << c.bad;
        EXPECT_EQ(reply, nullptr);
        if (c.warns) {
            ASSERT_EQ(g_warnings.size(), 1u) << c.kind;
            EXPECT_EQ(g_warnings[0].find("Info request 'build\n' failed. Failed to read "), 0u) << g_warnings[0];
            EXPECT_NE(g_warnings[0].find(". Return code 9"), std::string::npos) << g_warnings[0];
        } else {
            EXPECT_EQ(g_warnings.size(), 0u) << c.kind << ": " << (g_warnings.empty() ? "" : g_warnings[0]);
        }
    }
    // A time-out is silent; the other read failures warn.
    char names[] = "build";
    char *reply = nullptr;
    ASSERT_EQ(tamberlin_info_host(&sa, names, &reply, 1000, false), 0);
    EXPECT_STREQ(reply, "build\t1.0\n");
    free(reply);
}

TEST(InfoParse, SingleValue)
{
    struct {
        const char *text;
        int rv;
        const char *value;
    } cases[] = {
        {"build\t3.2.9\n", 0, "3.2.9"},
        {"build\t3.2.9\nother\tx\n", 0, "3.2.9"},
        {"build\t3.2.9", -1, nullptr},
        {"no tab here\n", -1, nullptr},
        {"k\t\n", 0, ""},
    };
    for (const auto &c : cases) {
        std::string t = c.text;
        char *v = nullptr;
        EXPECT_EQ(tamberlin_info_parse_single(&t[0], &v), c.rv) << c.text;
        if (c.value) {
            EXPECT_STREQ(v, c.value);
        }
    }
}

TEST_F(InfoTest, ByHostName)
{
    fake_node_set_info(node, "node", "BB9");
    char host[] = "127.0.0.1";
    char names[] = "node";
    char *reply = nullptr;
    ASSERT_EQ(tamberlin_info(host, static_cast<short>(fake_node_port(node)), names, &reply, 1000), 0);
    EXPECT_STREQ(reply, "node\tBB9\n");
    free(reply);
    char nohost[] = "no-such-host.invalid";
    EXPECT_EQ(tamberlin_info(nohost, 3000, names, &reply, 1000), -1);
    EXPECT_EQ(reply, nullptr);
}
