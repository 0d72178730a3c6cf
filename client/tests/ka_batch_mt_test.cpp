// Batch reads from many threads at once: the callers share six workers, each
// call gets exactly its own records, callbacks run only on the workers,
// node references and connections come back; calls made while nodes fail or
// while the workers are stopped return instead of hanging.
#include "ka_batch_fixture.h"

#include <atomic>
#include <set>
#include <thread>

using namespace batch_test;

namespace {

// Records of one caller thread: its own digests, its own collector.
struct caller {
    std::vector<ka::ox_digest> ds;
    uint32_t first = 0;
    int ok = 0, failed = 0, other = 0;
    bool records_right = true;
    std::set<pthread_t> cb_threads;
};

TEST_F(BatchTest, ManyCallersShareTheWorkersAndGetTheirOwnRecords)
{
    const int n_threads = 8, calls = 15;
    std::vector<caller> callers(n_threads);
    for (int t = 0; t < n_threads; t++) {
        callers[(size_t)t].first = (uint32_t)t * 100;
        callers[(size_t)t].ds = digests_any(40, callers[(size_t)t].first);
        store(callers[(size_t)t].ds, callers[(size_t)t].first, [](uint32_t n) { return n % 10 == 9; });
    }
    std::vector<uint32_t> refs_before = node_refs();
    int conns_before[3];
    for (int m = 0; m < 3; m++)
        conns_before[m] = fake_node_connections(node(m));
    std::vector<pthread_t> caller_threads(n_threads);
    std::atomic<int> ready{0};
    std::vector<std::thread> th;
    for (int t = 0; t < n_threads; t++) {
        th.emplace_back([&, t] {
            caller &me = callers[(size_t)t];
            caller_threads[(size_t)t] = pthread_self();
            ready++;
            for (int k = 0; k < calls; k++) {
                collector c;
                int rv = get(me.ds, &c);
                me.ok += rv == 0;
                me.other += rv != 0;
                std::map<std::string, got> seen = c.by_digest();
                bool right = c.count() == 36 && seen.size() == 36;
                for (uint32_t i = 0; right && i < me.ds.size(); i++) {
                    auto it = seen.find(key(me.ds[i]));
                    uint32_t n = me.first + i;
                    right = (n % 10 == 9) == (it == seen.end());
                    if (right && it != seen.end())
                        right = it->second.generation == record_of(n).generation &&
                                it->second.bins["s"] == "s:v" + std::to_string(n);
                }
                me.records_right = me.records_right && right;
                for (auto &g : c.recs)
                    me.cb_threads.insert(g.thread);
            }
        });
    }
    for (auto &t : th)
        t.join();
    std::set<pthread_t> workers;
    for (auto &me : callers) {
        EXPECT_EQ(calls, me.ok);
        EXPECT_TRUE(me.records_right);
        workers.insert(me.cb_threads.begin(), me.cb_threads.end());
    }
    for (pthread_t ct : caller_threads)
        EXPECT_EQ(0u, workers.count(ct)); // callbacks never ran on a caller
    EXPECT_LE(workers.size(), (size_t)KA_BATCH_MAX_THREADS);
    EXPECT_GE(workers.size(), 1u);
    EXPECT_EQ(refs_before, node_refs());
    // At most one connection per worker per node was ever needed, and all of
    // them came back.
    for (int m = 0; m < 3; m++) {
        EXPECT_LE(pooled(m), KA_BATCH_MAX_THREADS);
        EXPECT_EQ(pooled(m), fake_node_connections(node(m)) - conns_before[m]);
        EXPECT_EQ(0, closes(m));
    }
}

TEST_F(BatchTest, CallsWhileANodeGoesAndComesBackAlwaysReturn)
{
    std::vector<ka::ox_digest> ds = digests_any(30);
    store(ds);
    std::vector<uint32_t> refs_before = node_refs();
    std::atomic<bool> stop{false};
    std::atomic<int> done{0}, ok{0}, bad_rv{0};
    std::vector<std::thread> th;
    for (int t = 0; t < 4; t++) {
        th.emplace_back([&] {
            uint64_t end = ka::ox_getms() + 120000;
            for (int k = 0; k < 100000 && !stop.load() && ka::ox_getms() < end; k++) {
                collector c;
                int rv = get(ds, &c);
                ok += rv == 0;
                bad_rv += rv != 0 && rv != -1;
                done++;
            }
        });
    }
    // Node 1 goes away hard and comes back on its port, a few times, each
    // change once some calls have run across it.
    for (int round = 0; round < 3; round++) {
        int seen = done.load();
        uint64_t end = ka::ox_getms() + 20000;
        while (done.load() < seen + 4 && ka::ox_getms() < end)
            std::this_thread::yield();
        fake_cluster_stop_node(fc, 1);
        seen = done.load();
        end = ka::ox_getms() + 20000;
        while (done.load() < seen + 4 && ka::ox_getms() < end)
            std::this_thread::yield();
        ASSERT_EQ(0, fake_cluster_restart_node(fc, 1));
        // The restarted node has an empty store.
        for (uint32_t i = 0; i < ds.size(); i++)
            if (master_of(ds[i]) == 1)
                fake_node_put_record(node(1), "test", ds[i].digest, record_of(i));
    }
    stop = true;
    for (auto &t : th)
        t.join();
    EXPECT_EQ(0, bad_rv.load());
    EXPECT_GT(ok.load(), 0);
    collector c;
    EXPECT_EQ(0, get(ds, &c));
    EXPECT_EQ(30u, c.count());
    EXPECT_EQ(refs_before, node_refs());
}

TEST_F(BatchTest, StopWaitsForCallsUnderWayAndTheNextCallStartsAgain)
{
    std::vector<ka::ox_digest> ds = digests_any(24);
    store(ds);
    std::atomic<bool> stop{false};
    std::atomic<int> ok{0}, wrong{0};
    std::vector<std::thread> th;
    for (int t = 0; t < 4; t++) {
        th.emplace_back([&] {
            // Refused calls return at once: only calls that ran count
            // against the bound, and a refused one gives way.
            uint64_t end = ka::ox_getms() + 120000;
            for (int k = 0; k < 100000 && !stop.load() && ka::ox_getms() < end;) {
                collector c;
                int rv = get(ds, &c);
                if (rv == 0) {
                    ok++;
                    k++;
                    wrong += c.count() != 24;
                } else {
                    wrong += rv != -1;
                    std::this_thread::yield();
                }
            }
        });
    }
    // Each stop comes once a call succeeded after the one before, so stops
    // meet calls that are starting the workers again.
    bool progressed = true;
    for (int round = 0; round < 40 && progressed; round++) {
        int seen = ok.load();
        uint64_t end = ka::ox_getms() + 20000;
        while (ok.load() < seen + 1 && ka::ox_getms() < end)
            std::this_thread::yield();
        progressed = ok.load() >= seen + 1;
        tamberlin_batch_shutdown();
    }
    stop = true;
    for (auto &t : th)
        t.join();
    EXPECT_TRUE(progressed);
    EXPECT_EQ(0, wrong.load());
    collector c;
    EXPECT_EQ(0, get(ds, &c));
    EXPECT_EQ(24u, c.count());
    EXPECT_EQ(KA_BATCH_MAX_THREADS, ka::g_batch_thread_count);
}

} // namespace
