// The standalone fake_node program as a remote datacenter: a client cluster
// seeded with its port finds it as the one node of a cluster, it keeps and
// counts what it is sent, fails the write it is told to, falls silent for
// database requests on a signal while the tend goes on, starts again on the
// same port, and refuses bad arguments.
#include "stand_program_fixture.h"

#include "tamberlin/ka_cluster.h"
#include "tamberlin/ka_info.h"
#include "tamberlin/ka_partition.h"
#include "tamberlin/ka_request.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using stand_test::program;

sockaddr_in addr_of(int port)
{
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

std::string ask(int port, const char *names_in)
{
    sockaddr_in sa = addr_of(port);
    std::string names = names_in;
    char *reply = nullptr;
    std::string out = "(failed)";
    if (tamberlin_info_host(&sa, &names[0], &reply, 5000, false) == 0)
        out = reply ? reply : "";
    free(reply);
    return out;
}

ka::ox_digest digest_of(int i)
{
    ka::ox_digest d;
    memset(d.digest, 0, sizeof(d.digest));
    d.digest[0] = static_cast<uint8_t>(i);
    d.digest[1] = static_cast<uint8_t>(i * 7);
    d.digest[19] = 0x3c;
    return d;
}

int write_one(ka_cluster *asc, const char *ns, int i, int timeout_ms = 5000)
{
    ka::ox_digest d = digest_of(i);
    ka_bin b;
    memset(&b, 0, sizeof(b));
    strcpy(b.bin_name, "n");
    tamberlin_object_init_int(&b.object, i);
    ka_write_parameters wp;
    ka_write_parameters_set_default(&wp);
    wp.generation = 0;
    wp.timeout_ms = timeout_ms;
    return tamberlin_put_digest(asc, ns, &d, &b, 1, &wp);
}

// A started library and a client cluster, seeded by the test.
struct RemoteProgram : ::testing::Test {
    ka_cluster *asc = nullptr;
    void SetUp() override
    {
        ASSERT_EQ(0, tamberlin_init());
        asc = tamberlin_cluster_create();
        ASSERT_NE(asc, nullptr);
    }
    void TearDown() override
    {
        tamberlin_shutdown();
    }
    std::string counts(program &p)
    {
        std::string line;
        if (!p.signal(SIGUSR1))
            return "(not running)";
        return p.line_with("writes ", &line) ? line : "(no line)";
    }
};

TEST(FakeNodeProgram, ServesInfoItemsUntilTerminated)
{
    program p(FAKE_NODE_BIN, {"--port", "0", "--info", "build=9.9.1", "--info", "node=BB1"});
    ASSERT_GT(p.port, 0);
    EXPECT_EQ("build\t9.9.1\nnode\tBB1\n", ask(p.port, "build;node"));
    EXPECT_EQ(0, p.stop(SIGTERM));
    std::string line;
    ASSERT_TRUE(p.next_line(&line));
    EXPECT_EQ("writes 0 deletes 0 records 0", line);
}

TEST_F(RemoteProgram, IsTheOneNodeOfAClusterAndCountsWhatItIsSent)
{
    program p(FAKE_NODE_BIN, {"--ns", "test", "--ns", "bar", "--node", "BBREMOTE1"});
    ASSERT_GT(p.port, 0);
    ASSERT_EQ(0, tamberlin_cluster_add_host(asc, "127.0.0.1", static_cast<short>(p.port), 5000));
    EXPECT_EQ(1, tamberlin_cluster_get_nodecount(asc));
    EXPECT_TRUE(tamberlin_cluster_settled(asc));
    EXPECT_NE(nullptr, ka_partition_table_get_by_ns(asc, "test"));
    EXPECT_NE(nullptr, ka_partition_table_get_by_ns(asc, "bar"));
    int *ver = tamberlin_cluster_get_version(asc);
    ASSERT_NE(nullptr, ver);
    EXPECT_EQ(3, ver[0]);
    EXPECT_EQ(2, ver[1]);
    EXPECT_EQ(9, ver[2]);
    free(ver);
    EXPECT_EQ("node\tBBREMOTE1\nservices\t\n", ask(p.port, "node;services"));

    for (int i = 1; i <= 3; i++)
        ASSERT_EQ(0, write_one(asc, i == 3 ? "bar" : "test", i));
    ka::ox_digest d = digest_of(1);
    ASSERT_EQ(0, tamberlin_delete_digest(asc, "test", &d, nullptr));
    EXPECT_EQ("writes 3 deletes 1 records 2", counts(p));

    d = digest_of(3);
    ka_bin *bins = nullptr;
    int n_bins = 0;
    uint32_t gen = 0;
    ASSERT_EQ(0, tamberlin_get_all_digest(asc, "bar", &d, &bins, &n_bins, 5000, &gen));
    ASSERT_EQ(1, n_bins);
    EXPECT_EQ(3, bins[0].object.u.i64);
    tamberlin_bins_free(bins, n_bins);
    free(bins);
    EXPECT_EQ(0, p.stop(SIGINT));
    std::string line;
    ASSERT_TRUE(p.next_line(&line));
    EXPECT_EQ("writes 3 deletes 1 records 2", line);
}

TEST_F(RemoteProgram, TheChosenWritesGetTheChosenCode)
{
    program p(FAKE_NODE_BIN, {"--fail-nth", "2", "--fail-code", "14", "--fail-count", "2"});
    ASSERT_GT(p.port, 0);
    ASSERT_EQ(0, tamberlin_cluster_add_host(asc, "127.0.0.1", static_cast<short>(p.port), 5000));
    int want[] = {0, 14, 14, 0, 0};
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(want[i], write_one(asc, "test", i + 1)) << "write " << i + 1;
    EXPECT_EQ("writes 5 deletes 0 records 5", counts(p));
}

TEST_F(RemoteProgram, SilenceSwitchesAtRunTimeWhileTheTendGoesOn)
{
    program p(FAKE_NODE_BIN, {});
    ASSERT_GT(p.port, 0);
    ASSERT_EQ(0, tamberlin_cluster_add_host(asc, "127.0.0.1", static_cast<short>(p.port), 5000));
    ASSERT_EQ(0, write_one(asc, "test", 1));
    std::string line;
    ASSERT_TRUE(p.signal(SIGUSR2));
    ASSERT_TRUE(p.next_line(&line));
    ASSERT_EQ("silent on", line);
    EXPECT_NE(0, write_one(asc, "test", 2, 300));
    EXPECT_EQ(0u, ask(p.port, "partition-generation").rfind("partition-generation\t", 0));
    ASSERT_TRUE(p.signal(SIGUSR2));
    ASSERT_TRUE(p.next_line(&line));
    ASSERT_EQ("silent off", line);
    EXPECT_EQ(0, write_one(asc, "test", 3));
    EXPECT_EQ("writes 3 deletes 0 records 3", counts(p));
}

TEST_F(RemoteProgram, StartsAgainOnTheSamePort)
{
    program first(FAKE_NODE_BIN, {});
    ASSERT_GT(first.port, 0);
    int port = first.port;
    ASSERT_EQ(0, tamberlin_cluster_add_host(asc, "127.0.0.1", static_cast<short>(port), 5000));
    ASSERT_EQ(0, write_one(asc, "test", 1));
    ASSERT_EQ(0, first.stop(SIGTERM));
    std::string line;
    ASSERT_TRUE(first.next_line(&line));
    EXPECT_EQ("writes 1 deletes 0 records 1", line);

    program again(FAKE_NODE_BIN, {"--port", std::to_string(port)});
    ASSERT_EQ(port, again.port);
    EXPECT_EQ("node\tBB9" + std::to_string(port) + "\n", ask(port, "node"));
    // The client's pooled connection died with the first program; the write
    // is tried again on a new one.
    EXPECT_EQ(0, write_one(asc, "test", 2));
    EXPECT_EQ("writes 1 deletes 0 records 1", counts(again));
}

TEST(FakeNodeProgram, BadArgumentsAreRefused)
{
    const std::vector<std::vector<std::string>> bad = {
        {"--fail-nth", "2"},
        {"--fail-code", "14"},
        {"--fail-nth", "0", "--fail-code", "14"},
        {"--fail-nth", "2", "--fail-code", "0"},
        {"--fail-nth", "2", "--fail-code", "14", "--fail-count", "0"},
        {"--fail-nth", "2", "--fail-code", "14", "--delay-ms", "5"},
        {"--ns", ""},
        {"--ns", "a:b"},
        {"--ns", std::string(32, 'n')},
        {"--node", ""},
        {"--port"},
        {"--what"},
    };
    for (const auto &args : bad) {
        std::string shown;
        for (auto &a : args)
            shown += a + " ";
        program p(FAKE_NODE_BIN, args);
        EXPECT_EQ(0, p.port) << shown;
        EXPECT_EQ(2, p.stop(0)) << shown;
    }
}

} // namespace
