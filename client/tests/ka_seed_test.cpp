// Questions to a cluster's seeds (minimum build, the compression switch) and
// clusters found again by seed, host and port, or URL.
#include <gtest/gtest.h>

#include <climits>

#include "ka_cluster_fixture.h"
#include "testkit/fake_cluster.h"

using namespace cluster_test;

namespace {

// Requests for "build" that node i of fc received.
int build_requests(fake_cluster *fc, int i)
{
    fake_node *n = fake_cluster_node(fc, i);
    int count = 0;
    for (size_t k = 0; k < fake_node_request_count(n); k++) {
        fake_request r;
        if (fake_node_request(n, k, &r) && r.raw.find("build") != std::string::npos) {
            count++;
        }
    }
    return count;
}

class Seeds : public fake_cluster_test {
protected:
    void SetUp() override { cfg.n_partitions = 16; }
    // One cluster whose every node is a seed, each answering its own build.
    void start(const std::vector<std::string> &builds)
    {
        cfg.n_nodes = (int)builds.size();
        start_fake(true);
        for (int i = 0; i < cfg.n_nodes; i++) {
            fake_cluster_set_item(fc, i, "build", builds[(size_t)i]);
            ASSERT_EQ(0, add_seed(i, -1));
        }
    }
};

TEST_F(Seeds, MinimumVersion)
{
    struct {
        std::vector<std::string> builds;
        bool found;
        int want[3];
        const char *log;
    } cases[] = {
        {{"3.2.9", "2.6.8-1", "3.0.1"}, true, {2, 6, 8}, ""},
        {{"3.2.9"}, true, {3, 2, 9}, ""},
        {{"10.0.0", "9.10.2"}, true, {9, 10, 2}, ""},
        {{"3.2.9", "3"}, false, {}, "returned wrong info from Server 127.0.0.1"},
        {{"3.2"}, false, {}, "wrong info"},
        {{"3.x.1"}, false, {}, "wrong info"},
        {{""}, false, {}, "wrong info"},
        {{"3.2.-"}, false, {}, "wrong info"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.builds.back());
        start(c.builds);
        log_capture log;
        int *v = tamberlin_cluster_get_version(asc);
        EXPECT_EQ(c.found, v != nullptr);
        if (v) {
            EXPECT_EQ(c.want[0], v[0]);
            EXPECT_EQ(c.want[1], v[1]);
            EXPECT_EQ(c.want[2], v[2]);
            free(v);
            for (int i = 0; i < fake_cluster_size(fc); i++) {
                EXPECT_EQ(1, build_requests(fc, i));
            }
        }
        if (*c.log) {
            EXPECT_TRUE(log.has(c.log));
        }
        reset();
    }
}

TEST_F(Seeds, VersionWithoutSeedsOrAnswers)
{
    asc = quiet_cluster();
    int *v = tamberlin_cluster_get_version(asc);
    ASSERT_NE(nullptr, v);
    EXPECT_EQ(INT_MAX, v[0]);
    EXPECT_EQ(INT_MAX, v[1]);
    EXPECT_EQ(INT_MAX, v[2]);
    free(v);
    reset();

    start({"3.2.9", "3.2.9"});
    fake_cluster_stop_node(fc, 1);
    {
        log_capture log;
        EXPECT_EQ(nullptr, tamberlin_cluster_get_version(asc));
        EXPECT_TRUE(log.has("Info call failed to Server 127.0.0.1 while trying to get minimum version"));
    }
    // An empty reply has no version in it.
    fake_cluster_set_raw_reply(fc, 0, "");
    log_capture log;
    EXPECT_EQ(nullptr, tamberlin_cluster_get_version(asc));
    EXPECT_TRUE(log.has("wrong info"));
}

TEST_F(Seeds, CompressionNeedsEverySeedAtTheVersion)
{
    struct {
        std::vector<std::string> builds;
        int ask;
        int want;
    } cases[] = {
        {{"2.6.8", "2.6.7"}, 100, 0},     {{"2.6.8", "3.0.0"}, 100, 100}, {{"2.6.8-5", "2.7.0"}, 64, 64},
        {{"2.5.9", "3.0.0"}, 100, 0},     {{"2.6.8", "2.6"}, 100, 0},     {{"1.9.9"}, 0, 0},
        {{"3.0.0", "garbage"}, 100, 0},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.builds.back());
        start(c.builds);
        log_capture log;
        EXPECT_EQ(c.want, tamberlin_cluster_change_compression_threshold(asc, c.ask));
        EXPECT_EQ(c.want, asc->compression_stat.compression_threshold);
        if (c.ask != 0 && c.want == 0) {
            EXPECT_TRUE(log.has("does not support compression. Disable it."));
        }
        if (c.ask == 0) {
            EXPECT_EQ(0, build_requests(fc, 0)); // stored without asking
        }
        reset();
    }
    // A seed that is down cannot show that it supports compression.
    start({"3.0.0", "3.0.0"});
    fake_cluster_stop_node(fc, 1);
    EXPECT_EQ(0, tamberlin_cluster_change_compression_threshold(asc, 100));
    reset();
    // Before any seed the value is taken as it is.
    asc = quiet_cluster();
    EXPECT_EQ(200, tamberlin_cluster_change_compression_threshold(asc, 200));
    EXPECT_EQ(200, asc->compression_stat.compression_threshold);
}

TEST_F(Seeds, GetOrCreateCountsHolders)
{
    start_fake(false);
    char host[] = "127.0.0.1";
    short port = (short)fake_cluster_port(fc, 0);
    ka_cluster *a = tamberlin_cluster_get_or_create(host, port, 1000);
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(3, tamberlin_cluster_get_nodecount(a));
    ka_cluster *b = tamberlin_cluster_get_or_create(host, port, 1000);
    EXPECT_EQ(a, b);
    EXPECT_EQ(2u, a->ref_count);
    tamberlin_cluster_release_or_destroy(&b);
    EXPECT_EQ(a, b);
    EXPECT_EQ(1u, a->ref_count);
    tamberlin_cluster_release_or_destroy(&b);
    EXPECT_EQ(nullptr, b);
    // Gone from the list: the next search makes a new cluster.
    a = tamberlin_cluster_get_or_create(host, port, 1000);
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(1u, a->ref_count);
    tamberlin_cluster_release_or_destroy(&a);

    // Nothing answers at the seed: the new cluster is given up.
    int dead = fake_cluster_port(fc, 0);
    reset();
    log_capture log;
    EXPECT_EQ(nullptr, tamberlin_cluster_get_or_create(host, (short)dead, 20));
    EXPECT_TRUE(log.has("get_or_create - add_host failed with error -2"));
}

TEST_F(Seeds, ClusterByUrl)
{
    start_fake(false);
    std::string port = std::to_string(fake_cluster_port(fc, 0));
    std::string url = "tamberlin://127.0.0.1:" + port;
    ka_cluster *a = tamberlin_cluster_get(url.c_str());
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(3, tamberlin_cluster_get_nodecount(a));
    EXPECT_EQ(1u, a->ref_count);
    // Found again, with a count for the new holder.
    ka_cluster *b = tamberlin_cluster_get((url + "/ignored").c_str());
    EXPECT_EQ(a, b);
    EXPECT_EQ(2u, a->ref_count);
    tamberlin_cluster_release_or_destroy(&b);
    tamberlin_cluster_release_or_destroy(&a);
    EXPECT_EQ(nullptr, a);

    log_capture log;
    const char *refused[] = {"nocolon", "t:", "t:/", "tamberlin://", "tamberlin://:4000", "tamberlin://h:99999"};
    for (const char *u : refused) {
        EXPECT_EQ(nullptr, tamberlin_cluster_get(u)) << u;
        EXPECT_TRUE(log.has(std::string("url ") + u + " illegal")) << u;
    }
    EXPECT_EQ(nullptr, tamberlin_cluster_get(nullptr));
}

TEST_F(Seeds, NodeNamesOfAHostList)
{
    cfg.n_nodes = 2;
    start_fake(false);
    std::string p0 = std::to_string(fake_cluster_port(fc, 0));
    std::string p1 = std::to_string(fake_cluster_port(fc, 1));
    struct {
        std::string list;
        int rv;
        int n;
    } cases[] = {
        {"127.0.0.1:" + p0 + ";127.0.0.1:" + p1, 0, 2},
        {"127.0.0.1:" + p0 + ";127.0.0.1", -1, 2},
        {"127.0.0.1:0", -1, 1},
        {"127.0.0.1:" + p0 + ":1", -1, 1},
    };
    for (auto &c : cases) {
        std::string list = c.list;
        int n = -1;
        char *names = nullptr;
        EXPECT_EQ(c.rv, ka_cluster_get_node_names_byhostportlist(nullptr, &list[0], &n, &names)) << c.list;
        EXPECT_EQ(c.n, n) << c.list;
        if (c.rv == 0) {
            EXPECT_EQ(fake_cluster_node_name(fc, 0), names);
            EXPECT_EQ(fake_cluster_node_name(fc, 1), names + KA_NODE_NAME_SIZE);
        }
        free(names);
    }
    fake_cluster_stop_node(fc, 1);
    std::string list = "127.0.0.1:" + p0 + ";127.0.0.1:" + p1;
    int n = 0;
    char *names = nullptr;
    EXPECT_EQ(-2, ka_cluster_get_node_names_byhostportlist(nullptr, &list[0], &n, &names));
    free(names);
}

} // namespace
