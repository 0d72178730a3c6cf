// The synchronous engine from many threads at once: reads and writes while a
// node restarts under them, and a library stop while calls are running (some
// of them waiting on a node that never answers).
#include <gtest/gtest.h>

#include <time.h>

#include <atomic>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "ka_cluster_fixture.h"
#include "tamberlin/ka_request.h"
#include "testkit/fake_cluster.h"

namespace {

ka::ox_digest digest_of(int thread, int i)
{
    ka::ox_digest d;
    memset(d.digest, 0, sizeof(d.digest));
    // Spread over the partitions, so every node gets its share.
    d.digest[0] = (uint8_t)(thread * 37 + i * 11);
    d.digest[1] = (uint8_t)i;
    d.digest[2] = (uint8_t)thread;
    d.digest[19] = 0x77;
    return d;
}


struct bins_holder {
    ka_bin *bins = nullptr;
    int n = 0;
    ~bins_holder()
    {
        if (bins) {
            tamberlin_bins_free(bins, n);
            free(bins);
        }
    }
};

class SyncThreads : public ::testing::Test {
protected:
    fake_cluster *fc = nullptr;
    ka_cluster *asc = nullptr;
    void start(int n_nodes)
    {
        ASSERT_EQ(0, tamberlin_init());
        fake_cluster_cfg cfg;
        cfg.n_nodes = n_nodes;
        fc = fake_cluster_create(cfg);
        ASSERT_NE(nullptr, fc);
        asc = tamberlin_cluster_create();
        ASSERT_NE(nullptr, asc);
        tamberlin_cluster_change_tend_speed(asc, 1000000);
        ASSERT_EQ(0, tamberlin_cluster_add_host(asc, "127.0.0.1", (short)fake_cluster_port(fc, 0), 5000));
        ASSERT_EQ(n_nodes, tamberlin_cluster_get_nodecount(asc));
    }
    void TearDown() override
    {
        tamberlin_shutdown();
        if (fc) {
            fake_cluster_destroy(fc);
        }
    }
};

// Each thread writes its own records and reads them back. A record may be
// gone after the node that held it restarted (the stand-in's store does not
// survive), but a record that is read has the value last written.
TEST_F(SyncThreads, ReadsAndWritesFromManyThreadsWhileANodeRestarts)
{
    start(3);
    std::vector<ka_cluster_node *> nodes;
    std::vector<uint32_t> refs_before;
    for (int i = 0; i < 3; i++) {
        std::string name = fake_cluster_node_name(fc, i);
        nodes.push_back(ka_cluster_node_get_byname(asc, &name[0]));
        ASSERT_NE(nullptr, nodes.back());
        refs_before.push_back(cluster_test::refs(nodes.back()));
    }

    const int kThreads = 6, kRounds = 100, kKeys = 8;
    std::atomic<int> done_calls{0}, bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            std::map<int, int64_t> last;
            for (int i = 0; i < kRounds; i++) {
                int k = i % kKeys;
                ka::ox_digest d = digest_of(t, k);
                ka_bin bin;
                strcpy(bin.bin_name, "v");
                tamberlin_object_init_int(&bin.object, (int64_t)t << 32 | i);
                if (tamberlin_put_digest(asc, "test", &d, &bin, 1, nullptr) != TAMBERLIN_OK) {
                    bad++;
                    continue;
                }
                last[k] = (int64_t)t << 32 | i;
                bins_holder b;
                uint32_t gen = 0, ttl = 0;
                char set[KA_SET_NAME_SZ];
                int rv = tamberlin_get_all_digest_getsetname(asc, "test", &d, &b.bins, &b.n, 0, &gen, set, &ttl);
                if (rv == TAMBERLIN_OK) {
                    if (b.n != 1 || b.bins[0].object.type != KA_INT || b.bins[0].object.u.i64 != last[k] ||
                        ttl != 0xFFFFFFFFu) {
                        bad++;
                    }
                } else if (rv != TAMBERLIN_FAIL_NOTFOUND) {
                    bad++;
                }
                rv = tamberlin_exists_digest(asc, "test", &d, nullptr, 0, 0, &gen);
                if (rv != TAMBERLIN_OK && rv != TAMBERLIN_FAIL_NOTFOUND) {
                    bad++;
                }
                done_calls += 3;
            }
        });
    }
    ASSERT_TRUE(cluster_test::wait_until([&] { return done_calls.load() >= 150; }, 60000));
    fake_cluster_stop_node(fc, 1); // every open connection reset
    ASSERT_EQ(0, fake_cluster_restart_node(fc, 1));
    for (auto &th : threads) {
        th.join();
    }
    EXPECT_EQ(0, bad.load());
    EXPECT_EQ(kThreads * kRounds * 3, done_calls.load());
    // Every call gave its node reference back.
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(refs_before[(size_t)i], cluster_test::refs(nodes[(size_t)i])) << i;
    }
}

// A stop while calls run: calls in progress end (those on a silent node at
// the end of their attempt), every later call is refused, and the library
// starts again afterwards.
TEST_F(SyncThreads, StopWhileCallsRunEndsThemAndRefusesTheRest)
{
    start(1);
    fake_node *node = fake_cluster_node(fc, 0);
    for (int i = 0; i < 8; i++) {
        ka::ox_digest d = digest_of(0, i);
        fake_record r;
        r.bins = {{"v", KA_INT, std::string(8, '\1')}};
        fake_node_put_record(node, "test", d.digest, r);
    }
    fake_fault silent;
    silent.kind = FAKE_FAULT_SILENT;
    silent.on = FAKE_REQ_READ;
    silent.ns = "quiet";
    silent.count = -1;
    fake_node_set_fault(node, silent);

    const int kServed = 4, kSilent = 2;
    std::vector<std::atomic<int>> calls(kServed + kSilent);
    std::atomic<int> unexpected{0}, refused{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kServed + kSilent; t++) {
        threads.emplace_back([&, t] {
            const char *ns = t < kServed ? "test" : "quiet";
            for (int i = 0;; i++) {
                ka::ox_digest d = digest_of(0, i % 8);
                bins_holder b;
                uint32_t gen = 0;
                int rv = tamberlin_get_all_digest(asc, ns, &d, &b.bins, &b.n, 0, &gen);
                if (rv == TAMBERLIN_FAIL_CLIENT) {
                    refused++;
                    // Refused for good: the library is stopped.
                    if (tamberlin_get_all_digest(asc, ns, &d, &b.bins, &b.n, 0, &gen) != TAMBERLIN_FAIL_CLIENT) {
                        unexpected++;
                    }
                    return;
                }
                if (rv != TAMBERLIN_OK || b.n != 1) {
                    unexpected++;
                }
                calls[(size_t)t]++;
            }
        });
    }
    // Both silent threads are waiting on the node. The requests are counted
    // as they come, each once: the served threads add thousands meanwhile.
    int quiet = 0;
    size_t scanned = 0;
    ASSERT_TRUE(cluster_test::wait_until([&] {
        fake_request r;
        for (; fake_node_request(node, scanned, &r); scanned++) {
            quiet += r.message.find("quiet") != std::string::npos;
        }
        for (int t = 0; t < kServed; t++) {
            if (calls[(size_t)t].load() < 20) {
                return false;
            }
        }
        return quiet >= kSilent;
    }, 60000)) << "quiet requests " << quiet << ", requests " << scanned;
    tamberlin_shutdown();
    size_t sent = fake_node_request_count(node);
    for (auto &th : threads) {
        th.join();
    }
    EXPECT_EQ(0, unexpected.load());
    EXPECT_EQ(kServed + kSilent, refused.load());
    for (int t = kServed; t < kServed + kSilent; t++) {
        EXPECT_EQ(0, calls[(size_t)t].load());
    }
    // Calls refused after the stop sent nothing.
    EXPECT_EQ(sent, fake_node_request_count(node));

    fake_node_set_fault(node, fake_fault());
    ASSERT_EQ(0, tamberlin_init());
    asc = tamberlin_cluster_create();
    ASSERT_NE(nullptr, asc);
    ASSERT_EQ(0, tamberlin_cluster_add_host(asc, "127.0.0.1", (short)fake_cluster_port(fc, 0), 5000));
    ka::ox_digest d = digest_of(0, 1);
    bins_holder b;
    uint32_t gen = 0;
    EXPECT_EQ(TAMBERLIN_OK, tamberlin_get_all_digest(asc, "test", &d, &b.bins, &b.n, 0, &gen));
}

} // namespace
