// The asynchronous engine under threads: many writers while nodes restart,
// the partition map flips and the engine is reconfigured; concurrent starts;
// a stop while writers send. Every accepted write is called back exactly
// once, refused ones never; no descriptor leaks; node references return to
// what their cluster and its partition slots hold. Bounded in count and time.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <memory>
#include <thread>
#include <vector>

#include "ka_async_fixture.h"
#include "tamberlin/ka_lookup.h"

using namespace async_test;
using cluster_test::numeric_lookups;
using cluster_test::slot_refs;

namespace {

// One callback counter per write; a write's user data is its counter.
struct tally {
    std::vector<std::atomic<int>> hits;
    std::vector<std::atomic<bool>> accepted;
    std::atomic<int> n_accepted{0}, n_called{0}, n_failed{0};
    explicit tally(size_t n) : hits(n), accepted(n) {}
    bool all_called(int timeout_ms = 60000)
    {
        return wait_until([this] { return n_called.load() >= n_accepted.load(); }, timeout_ms);
    }
    // At the in-flight limit: room comes with the next callback (every write
    // counted in flight gets one), so wait for it rather than for a time.
    bool wait_for_room(int seen) const
    {
        return wait_until([this, seen] { return n_called.load() != seen; }, 30000);
    }
    void expect_once_each()
    {
        for (size_t i = 0; i < hits.size(); i++) {
            EXPECT_EQ(accepted[i].load() ? 1 : 0, hits[i].load()) << "write " << i;
        }
    }
};

std::atomic<tally *> g_tally{nullptr};

void count_call(void *udata, bool failed)
{
    tally *t = g_tally.load();
    auto *hit = static_cast<std::atomic<int> *>(udata);
    hit->fetch_add(1);
    if (failed) {
        t->n_failed++;
    }
    t->n_called++;
}

void mt_success(void *udata, int, uint64_t)
{
    count_call(udata, false);
}

void mt_fail(void *udata, int, uint64_t)
{
    count_call(udata, true);
}

// Sends write i of the tally (a delete for every fifth); records acceptance.
int send_one(ka_cluster *asc, tally *t, size_t i, uint32_t seed, int timeout_ms)
{
    ka::ox_digest d = digest_of(seed);
    ka_bin b = int_bin("b", (int64_t)i);
    ka_write_parameters wp = params(timeout_ms);
    void *udata = &t->hits[i];
    // The in-flight mark goes up before the send: a callback may come before
    // the call returns.
    t->accepted[i] = true;
    t->n_accepted++;
    int rv = i % 5 == 4 ? tamberlin_async_delete_digest_relay(asc, "test", &d, &wp, udata)
                        : tamberlin_async_put_digest_relay(asc, "test", &d, "s", &b, 1, &wp, seed | 1, udata);
    if (rv != 0) {
        t->accepted[i] = false;
        t->n_accepted--;
    }
    return rv;
}

TEST(AsyncThreads, ManyWritersWhileNodesRestartAndTheMapFlips)
{
    numeric_lookups lookups;
    int fds_before = open_fds();
    ka_cluster_test_set_tick_ms(2);
    library_start();
    fake_cluster_cfg cfg;
    cfg.n_nodes = 3;
    cfg.n_partitions = 64;
    fake_cluster *fc = fake_cluster_create(cfg);
    ASSERT_NE(nullptr, fc);
    ka_cluster *asc = tamberlin_cluster_create();
    ASSERT_NE(nullptr, asc);
    tamberlin_cluster_change_info_timeout(asc, 2000);
    tamberlin_cluster_change_tend_speed(asc, 1);
    ASSERT_EQ(0, tamberlin_cluster_add_host(asc, "127.0.0.1", (short)fake_cluster_port(fc, 0), 5000));

    constexpr int WRITERS = 6, PER = 20000;
    auto t = std::make_unique<tally>(WRITERS * PER);
    g_tally = t.get();
    ASSERT_EQ(0, tamberlin_async_init(64, 3, mt_fail, mt_success));

    std::atomic<bool> stop{false}, flips_done{false};
    std::atomic<int> full{0}, refused{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < WRITERS; w++) {
        threads.emplace_back([&, w] {
            uint32_t seed = 777u + (uint32_t)w * 7919u;
            // The writers go on until the flips are done (the gate below needs
            // writes to node 2), bounded by their count and a generous time.
            uint64_t end = ka::ox_getms() + 120000;
            for (int k = 0; k < PER && !flips_done && ka::ox_getms() < end;) {
                seed = seed * 1103515245u + 12345u;
                size_t i = (size_t)w * PER + (size_t)k;
                int seen = t->n_called.load();
                int rv = send_one(asc, t.get(), i, seed, 1500);
                if (rv == TAMBERLIN_FAIL_ASYNCQ_FULL) {
                    full++;
                    EXPECT_TRUE(t->wait_for_room(seen));
                    continue;
                }
                refused += rv != 0;
                k++;
            }
        });
    }
    // Settings change under the writers and receivers, each setting in force
    // for some callbacks.
    threads.emplace_back([&] {
        int limits[] = {16, 64, 200}, counts[] = {1, 3, 8, 2};
        for (int k = 0; !stop && k < 400; k++) {
            EXPECT_EQ(0, tamberlin_async_reinit(limits[k % 3], (unsigned)counts[k % 4]));
            tamberlin_async_set_nw_timeout(500 + k % 3);
            uint64_t r, d;
            int n;
            tamberlin_async_getstats(&r, &d, &n);
            int called = t->n_called.load();
            wait_until([&] { return stop || t->n_called.load() >= called + 20; }, 60000);
        }
    });
    for (int k = 0; k < 24; k++) {
        if (k % 3 == 0) {
            fake_cluster_assign_all(fc, k % 2, (k % 2) ^ 1);
        } else {
            fake_cluster_rebalance(fc);
        }
        if (k % 8 == 4) {
            // Node 2 masters a share, and its replies wait at its gate, so
            // writes are in flight to it when it goes.
            fake_cluster_rebalance(fc);
            fake_node_hold(fake_cluster_node(fc, 2), FAKE_REQ_DATABASE);
            EXPECT_TRUE(fake_node_wait_held(fake_cluster_node(fc, 2), 1, 30000)) << "step " << k;
            int failed = t->n_failed.load();
            fake_cluster_stop_node(fc, 2);
            fake_cluster_rebalance(fc);
            // The writes held at its gate are cut and called back as failures.
            EXPECT_TRUE(wait_until([&] { return t->n_failed.load() > failed; })) << "step " << k;
            ASSERT_EQ(0, fake_cluster_restart_node(fc, 2));
            fake_cluster_rebalance(fc);
        }
        // Writes are called back under each map before it flips again.
        int called = t->n_called.load();
        EXPECT_TRUE(wait_until([&] { return t->n_called.load() >= called + 50; })) << "step " << k;
    }
    flips_done = true;
    for (int w = 0; w < WRITERS; w++) {
        threads[(size_t)w].join();
    }
    stop = true;
    threads.back().join();

    ASSERT_TRUE(t->all_called());
    EXPECT_GT(t->n_accepted.load(), 0);
    EXPECT_GT(t->n_failed.load(), 0); // the restarts cut writes in flight
    EXPECT_EQ(t->n_accepted.load(), t->n_called.load());
    t->expect_once_each();
    EXPECT_TRUE(wait_until([] {
        uint64_t r, d;
        int n;
        tamberlin_async_getstats(&r, &d, &n);
        return n == 0;
    }));

    // With every write called back, the only node references left are those
    // of the cluster's list and its partition slots.
    cluster_test::expect_only_slot_refs(asc);

    tamberlin_async_shutdown();
    EXPECT_EQ(0, tamberlin_async_receivers());
    EXPECT_EQ(t->n_accepted.load(), t->n_called.load()); // the stop found nothing left
    g_tally = nullptr;
    tamberlin_cluster_destroy(asc);
    fake_cluster_destroy(fc);
    ka_cluster_test_set_tick_ms(1000);
    tamberlin_async_set_nw_timeout(KA_ASYNC_NW_TIMEOUT_DEFAULT);
    library_stop();
    EXPECT_EQ(fds_before, open_fds());
}

// A start that overlaps another one returns that one's result and starts
// nothing of its own, whether the first fails or succeeds.
TEST(AsyncThreads, AConcurrentStartGetsTheFirstOnesResult)
{
    library_start();
    static std::atomic<bool> entered{false};
    ka_async_test_set_start_hook([] {
        entered = true;
        wait_until([] { return ka_async_test_start_waiters() >= 1; });
    });
    for (int fails = 1; fails >= 0; fails--) {
        entered = false;
        ka_async_test_fail(KA_ASYNC_TEST_THREAD_START, 1, fails);
        int first = 99, second = 99;
        std::thread a([&] { first = tamberlin_async_init(10, 4, on_fail, on_success); });
        ASSERT_TRUE(wait_until([] { return entered.load(); }));
        entered = false;
        std::thread b([&] { second = tamberlin_async_init(10, 2, on_fail, on_success); });
        a.join();
        b.join();
        ka_async_test_fail(KA_ASYNC_TEST_THREAD_START, 0, 0);
        EXPECT_FALSE(entered.load()); // the second did not start anything
        EXPECT_EQ(fails ? -1 : 0, first);
        EXPECT_EQ(first, second);
        EXPECT_TRUE(wait_until([&] { return tamberlin_async_receivers() == (fails ? 0 : 4); }));
    }
    ka_async_test_set_start_hook(nullptr);
    tamberlin_async_shutdown();
    EXPECT_EQ(0, tamberlin_async_receivers());
    library_stop();
}

// A stop while writers keep sending: every write accepted before it is
// called back by the time it returns, later ones are refused.
TEST(AsyncThreads, AStopWhileWritersSendCallsBackEveryAcceptedWrite)
{
    numeric_lookups lookups;
    int fds_before = open_fds();
    library_start();
    fake_cluster_cfg cfg;
    cfg.n_nodes = 2;
    cfg.n_partitions = 16;
    fake_cluster *fc = fake_cluster_create(cfg);
    ASSERT_NE(nullptr, fc);
    ka_cluster *asc = tamberlin_cluster_create();
    ASSERT_NE(nullptr, asc);
    tamberlin_cluster_change_tend_speed(asc, 1000000);
    ASSERT_EQ(0, tamberlin_cluster_add_host(asc, "127.0.0.1", (short)fake_cluster_port(fc, 0), 5000));
    // Replies take a while, so writes are in flight when the stop comes.
    for (int i = 0; i < 2; i++) {
        fake_fault f;
        f.kind = FAKE_FAULT_DELAY;
        f.count = -1;
        f.on = FAKE_REQ_DATABASE;
        f.delay_ms = 20;
        fake_node_set_fault(fake_cluster_node(fc, i), f);
    }
    constexpr int WRITERS = 4, PER = 400;
    auto t = std::make_unique<tally>(WRITERS * PER);
    g_tally = t.get();
    ASSERT_EQ(0, tamberlin_async_init(32, 2, mt_fail, mt_success));
    std::atomic<bool> stopped{false};
    std::atomic<int> refused_after{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < WRITERS; w++) {
        writers.emplace_back([&, w] {
            uint64_t end = ka::ox_getms() + 20000;
            // An index is used up only by an accepted write; after the stop
            // a few more calls must all be refused.
            for (int k = 0, late = 0; k < PER && late < 10 && ka::ox_getms() < end;) {
                bool after = stopped.load();
                int seen = t->n_called.load();
                int rv = send_one(asc, t.get(), (size_t)w * PER + (size_t)k, 9000u + (uint32_t)(w * PER + k), 0);
                if (rv == TAMBERLIN_FAIL_ASYNCQ_FULL) {
                    EXPECT_TRUE(t->wait_for_room(seen));
                    continue;
                }
                if (after) {
                    EXPECT_EQ(-1, rv);
                    refused_after++;
                    late++;
                }
                k += rv == 0;
            }
        });
    }
    ASSERT_TRUE(wait_until([&] { return t->n_called.load() >= 50; }));
    tamberlin_async_shutdown();
    stopped = true;
    int called_at_stop = t->n_called.load();
    for (auto &th : writers) {
        th.join();
    }
    // Every write accepted had its callback by the time the stop returned:
    // the stop drained what was left; none came later.
    EXPECT_EQ(t->n_accepted.load(), called_at_stop);
    EXPECT_EQ(called_at_stop, t->n_called.load());
    EXPECT_EQ(WRITERS * 10, refused_after.load());
    t->expect_once_each();
    EXPECT_EQ(0, tamberlin_async_receivers());

    // And it starts again.
    ASSERT_EQ(0, tamberlin_async_init(8, 1, mt_fail, mt_success));
    ASSERT_EQ(0, send_one(asc, t.get(), 0, 1, 2000));
    ASSERT_TRUE(t->all_called());
    tamberlin_async_shutdown();
    g_tally = nullptr;
    tamberlin_cluster_destroy(asc);
    fake_cluster_destroy(fc);
    library_stop();
    EXPECT_EQ(fds_before, open_fds());
}

} // namespace
