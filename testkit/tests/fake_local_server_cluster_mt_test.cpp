// The stand-in local server as the local cluster the shipper's client sees:
// a real client cluster seeded with its port finds exactly one node that
// masters every partition of the stand-in's namespaces, and reads the
// records a test stored (batch reads, single reads, existence checks) under
// the digests that the pipe's messages carry.
#include "testkit/fake_local_server.h"
#include "testkit/wait.h"

#include "tamberlin/ka_batch.h"
#include "tamberlin/ka_cluster.h"
#include "tamberlin/ka_info.h"
#include "tamberlin/ka_partition.h"
#include "tamberlin/ka_request.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct LocalCluster : ::testing::Test {
    std::string pipe;
    fake_local_server *s = nullptr;
    ka_cluster *asc = nullptr;

    void SetUp() override
    {
        const char *dir = getenv("FERRY_TEST_TMP");
        pipe = std::string(dir && *dir ? dir : "/tmp") + "/fls_cluster_" + std::to_string(getpid());
        s = fls_start(pipe.c_str(), 0);
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(0, tamberlin_init());
        asc = tamberlin_cluster_create();
        ASSERT_NE(asc, nullptr);
        ASSERT_EQ(0, tamberlin_cluster_add_host(asc, "127.0.0.1", (short)fls_port(s), 5000));
    }
    void TearDown() override
    {
        tamberlin_shutdown(); // destroys the cluster
        fls_stop(s);
        unlink(pipe.c_str());
    }
    std::string info(const char *item)
    {
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_port = htons((uint16_t)fls_port(s));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::string names = std::string(item) + "\n";
        char *values = nullptr;
        std::string out;
        if (tamberlin_info_host(&sa, &names[0], &values, 5000, true) == 0 && values)
            out = values;
        free(values);
        return out;
    }
};

ka::ox_digest digest_of(uint64_t seq)
{
    ka::ox_digest d;
    fls_digest_of(seq, d.digest);
    return d;
}

struct seen {
    std::string ns, set, value;
    uint32_t generation = 0, void_time = 0;
    int n_bins = 0;
};

struct collector {
    std::mutex lock;
    std::map<std::string, seen> by_digest;
    int calls = 0;
};

int collect(char *ns, ka::ox_digest *keyd, char *set, uint32_t generation, uint32_t void_time, ka_bin *bins,
            int n_bins, bool, void *udata)
{
    collector *c = (collector *)udata;
    seen r;
    r.ns = ns ? ns : "";
    r.set = set ? set : "";
    r.generation = generation;
    r.void_time = void_time;
    r.n_bins = n_bins;
    if (n_bins == 1 && bins[0].object.type == KA_STR && strcmp(bins[0].bin_name, FLS_SAMPLE_BIN) == 0)
        r.value.assign(bins[0].object.u.str, bins[0].object.sz);
    tamberlin_bins_free(bins, n_bins);
    std::lock_guard<std::mutex> g(c->lock);
    c->calls++;
    c->by_digest[std::string((const char *)keyd->digest, 20)] = r;
    return 0;
}

// The replica lists, checked against text built here from the format: 4096
// partitions are 512 bitmap bytes, 170 whole base64 groups and one of two
// bytes.
TEST_F(LocalCluster, OneNodeMastersEveryPartitionOfEveryNamespace)
{
    EXPECT_EQ(1, tamberlin_cluster_get_nodecount(asc));
    EXPECT_TRUE(tamberlin_cluster_settled(asc));
    const std::string all = std::string(680, '/') + "//8=";
    const std::string none = std::string(680, 'A') + "AAA=";
    EXPECT_EQ("node\t" FLS_NODE_NAME "\n", info("node"));
    EXPECT_EQ("partitions\t4096\n", info("partitions"));
    EXPECT_EQ("services\t\n", info("services"));
    EXPECT_EQ("replicas-master\ttest:" + all + "\n", info("replicas-master"));
    EXPECT_EQ("replicas-prole\ttest:" + none + "\n", info("replicas-prole"));
    std::string gen = info("partition-generation");

    std::vector<std::string> names = {"test", "bar"};
    fls_set_namespaces(s, names);
    EXPECT_NE(gen, info("partition-generation"));
    EXPECT_EQ("replicas-master\ttest:" + all + ";bar:" + all + "\n", info("replicas-master"));
    // The client's own tend sees the new generation and maps the new namespace.
    ASSERT_TRUE(testkit_wait_until([&] { return ka_partition_table_get_by_ns(asc, "bar") != nullptr; }, 30000));
    for (const char *ns : {"test", "bar"}) {
        for (uint64_t seq : {0u, 1u, 4095u, 4096u + 77u}) {
            ka::ox_digest d = digest_of(seq);
            ka_cluster_node *master = ka_cluster_node_get(asc, ns, &d, true);
            ASSERT_NE(master, nullptr) << ns << " " << seq;
            EXPECT_STREQ(FLS_NODE_NAME, master->name);
            ka_cluster_node_put(master);
        }
    }
}

TEST_F(LocalCluster, BatchReadByDigestReturnsThePreloadedRecords)
{
    const uint64_t n = 300;
    const size_t bytes = 100;
    char ns[] = "test";
    fls_preload(s, ns, 0, n, bytes);
    ASSERT_EQ(n, fake_node_record_count(fls_node(s)));

    std::vector<ka::ox_digest> digests;
    for (uint64_t seq = 0; seq < n; seq++)
        digests.push_back(digest_of(seq));
    digests.push_back(digest_of(n + 5)); // never stored
    collector c;
    EXPECT_EQ(0, tamberlin_get_many_digest(asc, ns, digests.data(), (int)digests.size(), nullptr, 0, false, collect,
                                           &c));
    ASSERT_EQ((size_t)n, c.by_digest.size());
    for (uint64_t seq = 0; seq < n; seq++) {
        SCOPED_TRACE(seq);
        ka::ox_digest d = digest_of(seq);
        const seen &r = c.by_digest[std::string((const char *)d.digest, 20)];
        fake_record want = fls_sample_record(seq, bytes);
        EXPECT_EQ("test", r.ns);
        EXPECT_EQ(FLS_SAMPLE_SET, r.set);
        EXPECT_EQ(1u, r.generation);
        EXPECT_EQ(0u, r.void_time);
        ASSERT_EQ(1, r.n_bins);
        EXPECT_EQ(bytes, r.value.size());
        EXPECT_EQ(want.bins[0].value, r.value);
        EXPECT_EQ(0u, r.value.rfind("record " + std::to_string(seq) + ":", 0));
    }
    // No two records alike: the shipper's copies can be told apart.
    EXPECT_NE(fls_sample_record(1, bytes).bins[0].value, fls_sample_record(2, bytes).bins[0].value);
}

TEST_F(LocalCluster, ExistenceChecksAndSingleReadsSeeTheStore)
{
    char ns[] = "test";
    fake_record r = fls_sample_record(9, 40);
    r.generation = 7;
    fls_put_record(s, ns, 9, r);
    ka::ox_digest here = digest_of(9), gone = digest_of(10);
    uint32_t gen = 0;
    EXPECT_EQ(0, tamberlin_exists_digest(asc, ns, &here, nullptr, 0, 5000, &gen));
    EXPECT_EQ(7u, gen);
    EXPECT_EQ(2, tamberlin_exists_digest(asc, ns, &gone, nullptr, 0, 5000, &gen));

    ka_bin *bins = nullptr;
    int n_bins = 0;
    char set[KA_SET_NAME_SZ] = "";
    uint32_t ttl = 0;
    ASSERT_EQ(0, tamberlin_get_all_digest_getsetname(asc, ns, &here, &bins, &n_bins, 5000, &gen, set, &ttl));
    ASSERT_EQ(1, n_bins);
    EXPECT_STREQ(FLS_SAMPLE_SET, set);
    EXPECT_EQ(r.bins[0].value, std::string(bins[0].object.u.str, bins[0].object.sz));
    tamberlin_bins_free(bins, n_bins);
    free(bins);

    ka::ox_digest both[2] = {here, gone};
    collector c;
    EXPECT_EQ(0, tamberlin_exists_many_digest(asc, ns, both, 2, nullptr, 0, false, collect, &c));
    EXPECT_EQ(1, c.calls);
    EXPECT_EQ(1u, c.by_digest.count(std::string((const char *)here.digest, 20)));
}

} // namespace
