// The stand-in local server's info side: its computed items and their
// effects, and each per-request rule (answered late, silent, empty, garbage,
// closed), which must keep the effect of the request from happening and
// leave requests of other prefixes alone.
#include "testkit/fake_local_server.h"

#include "tamberlin/ka_info.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

struct Server {
    std::string pipe;
    fake_local_server *s = nullptr;
    Server()
    {
        const char *dir = getenv("FERRY_TEST_TMP");
        static int seq = 0;
        pipe = std::string(dir && *dir ? dir : "/tmp") + "/fls_" + std::to_string(getpid()) + "_" +
               std::to_string(seq++);
        s = fls_start(pipe.c_str(), 0);
    }
    ~Server()
    {
        fls_stop(s);
        unlink(pipe.c_str());
    }
    // 0 with the reply text ("(null)" for an empty reply), or -1.
    int ask(const std::string &request, std::string *reply, int timeout_ms = 5000)
    {
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(fls_port(s)));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::string names = request;
        char *values = nullptr;
        int rv = tamberlin_info_host(&sa, &names[0], &values, timeout_ms, true);
        *reply = values ? values : "(null)";
        free(values);
        return rv;
    }
};

// 7000, 3000, then 30 datacenters that are not configured.
const std::string kReport = std::string(FLS_LASTSHIP_PREFIX) + "7000,3000,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0\n";

TEST(FakeLocalServer, ComputedItems)
{
    Server srv;
    ASSERT_NE(srv.s, nullptr);
    std::string r;
    ASSERT_EQ(srv.ask("build\n", &r), 0);
    EXPECT_EQ(r, "build\t" FLS_BUILD "\n");
    ASSERT_EQ(srv.ask(FLS_MIN_LASTSHIP_REQUEST, &r), 0);
    EXPECT_EQ(r, "relay-min-lastshipinfo:\t-1\n"); // no report yet
    ASSERT_EQ(srv.ask(kReport, &r), 0);
    EXPECT_EQ(r, kReport.substr(0, kReport.size() - 1) + "\tok\n");
    uint64_t v[DC_MAX_NUM];
    uint64_t when = 0;
    ASSERT_EQ(fls_lastship_reports(srv.s, v, &when), 1);
    EXPECT_EQ(v[0], 7000u);
    EXPECT_EQ(v[1], 3000u);
    EXPECT_EQ(v[2], 0u);
    EXPECT_GT(when, 0u);
    ASSERT_EQ(srv.ask(FLS_MIN_LASTSHIP_REQUEST, &r), 0);
    EXPECT_EQ(r, "relay-min-lastshipinfo:\t3000\n"); // the smallest time reported, zeros left out
    fls_set_min_lastship_text(srv.s, "12x");
    ASSERT_EQ(srv.ask(FLS_MIN_LASTSHIP_REQUEST, &r), 0);
    EXPECT_EQ(r, "relay-min-lastshipinfo:\t12x\n");
    ASSERT_EQ(srv.ask("no-such-item\n", &r), 0);
    EXPECT_EQ(r, "(null)");
    EXPECT_EQ(fls_requests(srv.s, FLS_MIN_LASTSHIP_REQUEST), 3);
    EXPECT_EQ(fls_requests(srv.s, ""), 6);
}

// The report as the shipper must send it: 32 values, 31 commas.
std::string report_of(const std::string &values)
{
    return std::string(FLS_LASTSHIP_PREFIX) + values + "\n";
}

std::string values_of(uint64_t first, int count)
{
    std::string v = std::to_string(first);
    for (int i = 1; i < count; i++)
        v += "," + std::to_string(first + (uint64_t)i);
    return v;
}

TEST(FakeLocalServer, OnlyWellFormedReportsAreRecorded)
{
    Server srv;
    ASSERT_NE(srv.s, nullptr);
    std::string r;
    ASSERT_EQ(srv.ask(report_of(values_of(5000, DC_MAX_NUM)), &r), 0);
    ASSERT_EQ(fls_lastship_reports(srv.s, nullptr, nullptr), 1);
    const std::string bad[] = {
        values_of(1, DC_MAX_NUM - 1),        // one value short
        values_of(1, DC_MAX_NUM + 1),        // one too many
        values_of(1, DC_MAX_NUM) + ",",      // the last comma kept
        "," + values_of(1, DC_MAX_NUM - 1),  // an empty value
        "-1," + values_of(1, DC_MAX_NUM - 1),
        "1x," + values_of(1, DC_MAX_NUM - 1),
        "99999999999999999999," + values_of(1, DC_MAX_NUM - 1), // does not fit
        "",
    };
    for (const std::string &b : bad) {
        SCOPED_TRACE(b);
        ASSERT_EQ(srv.ask(report_of(b), &r), 0);
        EXPECT_NE(r.find("\terror\n"), std::string::npos);
    }
    uint64_t v[DC_MAX_NUM];
    EXPECT_EQ(fls_lastship_reports(srv.s, v, nullptr), 1);
    EXPECT_EQ(fls_bad_lastship_reports(srv.s), (int)(sizeof(bad) / sizeof(bad[0])));
    EXPECT_EQ(v[0], 5000u);
    EXPECT_EQ(v[DC_MAX_NUM - 1], 5000u + DC_MAX_NUM - 1);
    // The minimum still comes from the last good report.
    ASSERT_EQ(srv.ask(FLS_MIN_LASTSHIP_REQUEST, &r), 0);
    EXPECT_EQ(r, "relay-min-lastshipinfo:\t5000\n");
}

TEST(FakeLocalServer, RulesPerRequest)
{
    struct {
        const char *name;
        fls_reply_mode mode;
        int delay_ms;
        int timeout_ms;
        int rv;
        const char *reply; // nullptr: the normal answer
        int reports;
    } cases[] = {
        {"answer", FLS_ANSWER, 0, 5000, 0, nullptr, 1},
        {"late answer", FLS_ANSWER, 100, 5000, 0, nullptr, 1},
        {"silent", FLS_SILENT, 0, 300, -1, "(null)", 0},
        {"empty", FLS_EMPTY, 0, 5000, 0, "(null)", 0},
        {"late empty", FLS_EMPTY, 100, 5000, 0, "(null)", 0},
        {"garbage", FLS_GARBAGE, 0, 5000, 0, "\x01\x02 no value here", 0},
        {"close", FLS_CLOSE, 0, 5000, -1, "(null)", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Server srv;
        ASSERT_NE(srv.s, nullptr);
        fls_set_reply(srv.s, FLS_LASTSHIP_PREFIX, c.mode, c.delay_ms);
        std::string r;
        EXPECT_EQ(srv.ask(kReport, &r, c.timeout_ms), c.rv);
        EXPECT_EQ(r, c.reply ? c.reply : kReport.substr(0, kReport.size() - 1) + "\tok\n");
        EXPECT_EQ(fls_lastship_reports(srv.s, nullptr, nullptr), c.reports);
        EXPECT_EQ(fls_requests(srv.s, FLS_LASTSHIP_PREFIX), 1);
        // Other requests, and the same one once the rule is lifted, are answered.
        ASSERT_EQ(srv.ask("build\n", &r), 0);
        EXPECT_EQ(r, "build\t" FLS_BUILD "\n");
        fls_set_reply(srv.s, FLS_LASTSHIP_PREFIX, FLS_ANSWER, 0);
        ASSERT_EQ(srv.ask(kReport, &r), 0);
        EXPECT_EQ(fls_lastship_reports(srv.s, nullptr, nullptr), c.reports + 1);
    }
}

} // namespace
