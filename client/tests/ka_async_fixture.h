// Helpers shared by the asynchronous engine's tests: the library's start for
// the engine, a recorder of every callback, a stand-in cluster with a client
// cluster over it, and a listener that never reads (sends block on it).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "ka_cluster_fixture.h"
#include "tamberlin/ka_async.h"
#include "tamberlin/ox_log.h"
#include "tamberlin/ox_socket.h"
#include "tamberlin/tamberlin.h"
#include "testkit/fake_cluster.h"

namespace async_test {

using cluster_test::open_fds;
using cluster_test::refs;
using cluster_test::wait_until;

// What the engine needs of the library's start: cluster support and the
// started flag. One place to switch to the library's own start and stop.
inline void library_start()
{
    ASSERT_EQ(0, tamberlin_init());
}

// Stops the whole library: the engines, then the clusters and the tend.
inline void library_stop()
{
    tamberlin_shutdown();
}

struct callback_record {
    void *udata;
    int rv;
    bool success;
    uint64_t starttime;
    uint64_t at; // ox_getms() when the callback ran
};

// Every callback of the engine, in the order they ran.
struct recorder {
    std::mutex lock;
    std::condition_variable cv;
    std::vector<callback_record> calls;

    void add(void *udata, int rv, bool success, uint64_t starttime)
    {
        std::lock_guard<std::mutex> g(lock);
        calls.push_back({udata, rv, success, starttime, ka::ox_getms()});
        cv.notify_all();
    }
    size_t count()
    {
        std::lock_guard<std::mutex> g(lock);
        return calls.size();
    }
    // Waits (seconds, not a timing) until n callbacks have run.
    bool wait_count(size_t n, int timeout_ms = 30000)
    {
        std::unique_lock<std::mutex> g(lock);
        return cv.wait_for(g, std::chrono::milliseconds(timeout_ms), [&] { return calls.size() >= n; });
    }
    std::vector<callback_record> snapshot()
    {
        std::lock_guard<std::mutex> g(lock);
        return calls;
    }
    void clear()
    {
        std::lock_guard<std::mutex> g(lock);
        calls.clear();
    }
    // The callbacks that carried this user data.
    std::vector<callback_record> of(const void *udata)
    {
        std::lock_guard<std::mutex> g(lock);
        std::vector<callback_record> out;
        for (const auto &c : calls) {
            if (c.udata == udata) {
                out.push_back(c);
            }
        }
        return out;
    }
};

inline recorder g_rec;
// Run at the start of every callback when set (a test can hold a receiver).
inline std::atomic<void (*)(void *)> g_on_callback{nullptr};

inline void on_success(void *udata, int rv, uint64_t starttime)
{
    if (auto fn = g_on_callback.load()) {
        fn(udata);
    }
    g_rec.add(udata, rv, true, starttime);
}

inline void on_fail(void *udata, int rv, uint64_t starttime)
{
    if (auto fn = g_on_callback.load()) {
        fn(udata);
    }
    g_rec.add(udata, rv, false, starttime);
}

inline ka::ox_digest digest_of(uint32_t i)
{
    ka::ox_digest d;
    memset(d.digest, 0x5a, sizeof(d.digest));
    memcpy(d.digest, &i, sizeof(i));
    return d;
}

inline ka_write_parameters params(int timeout_ms, ka_write_policy pol = KA_WRITE_RETRY)
{
    ka_write_parameters wp;
    ka_write_parameters_set_default(&wp);
    wp.generation = 0;
    wp.timeout_ms = timeout_ms;
    wp.w_pol = pol;
    return wp;
}

inline ka_bin int_bin(const char *name, int64_t v)
{
    ka_bin b;
    memset(&b, 0, sizeof(b));
    strncpy(b.bin_name, name, sizeof(b.bin_name) - 1);
    tamberlin_object_init_int(&b.object, v);
    return b;
}


// A stand-in cluster of one node (or more) and a client cluster over it that
// no tend touches after discovery, with the engine started.
class AsyncTest : public ::testing::Test {
protected:
    fake_cluster *fc = nullptr;
    ka_cluster *asc = nullptr;
    int fds_before = 0;
    int limit = 100;
    int threads = 2;

    void SetUp() override
    {
        fds_before = open_fds();
        g_rec.clear();
        g_on_callback = nullptr;
        library_start();
        fake_cluster_cfg cfg;
        cfg.n_nodes = 1;
        cfg.n_partitions = 16;
        fc = fake_cluster_create(cfg);
        ASSERT_NE(nullptr, fc);
        asc = tamberlin_cluster_create();
        ASSERT_NE(nullptr, asc);
        tamberlin_cluster_change_tend_speed(asc, 1000000);
        ASSERT_EQ(0, tamberlin_cluster_add_host(asc, "127.0.0.1", (short)fake_cluster_port(fc, 0), 5000));
        ASSERT_EQ(1, tamberlin_cluster_get_nodecount(asc));
        // Discovery's seed connections close on their own time: tests that
        // count the node's closes start once only the tend's info connection
        // (and the pools, empty yet) is left open.
        ASSERT_TRUE(wait_until([&] {
            ka_cluster_node *cn = cnode();
            int held = (cn && cn->info_fd >= 0 ? 1 : 0) + (cn ? ox_queue_sz(cn->conn_q) : 0);
            return fake_node_connections(node()) - fake_node_peer_closes(node()) == held;
        }));
        ASSERT_EQ(0, tamberlin_async_init(limit, threads, on_fail, on_success));
    }
    void TearDown() override
    {
        tamberlin_async_shutdown();
        EXPECT_EQ(0, tamberlin_async_receivers());
        g_on_callback = nullptr;
        if (asc) {
            tamberlin_cluster_destroy(asc);
        }
        if (fc) {
            fake_cluster_destroy(fc);
        }
        library_stop();
        EXPECT_EQ(fds_before, open_fds());
    }
    fake_node *node(int i = 0) { return fake_cluster_node(fc, i); }
    ka_cluster_node *cnode(int i = 0)
    {
        pthread_mutex_lock(&asc->LOCK);
        auto *cn = (ka_cluster_node *)ox_vector_pointer_get(&asc->node_v, (uint32_t)i);
        pthread_mutex_unlock(&asc->LOCK);
        return cn;
    }
    // Idle connections in the node's asynchronous pool.
    int pooled(int i = 0) { return ox_queue_sz(cnode(i)->conn_q_asyncfd); }
    int inflight()
    {
        uint64_t r, d;
        int w;
        tamberlin_async_getstats(&r, &d, &w);
        return w;
    }
    uint64_t retries()
    {
        uint64_t r, d;
        int w;
        tamberlin_async_getstats(&r, &d, &w);
        return r;
    }
    uint64_t dropouts()
    {
        uint64_t r, d;
        int w;
        tamberlin_async_getstats(&r, &d, &w);
        return d;
    }
    // One replication write of a bin "b" = v.
    int put(uint32_t key, void *udata, int timeout_ms = 0, uint64_t trid = 0x1122334455667788ull)
    {
        ka::ox_digest d = digest_of(key);
        ka_bin b = int_bin("b", 7);
        ka_write_parameters wp = params(timeout_ms);
        return tamberlin_async_put_digest_relay(asc, "test", &d, "s", &b, 1, &wp, trid, udata);
    }
};

// A listener that accepts nothing and whose connections take almost nothing:
// a large send to it blocks, so send-side attempt times show.
struct blackhole {
    int fd = -1;
    int port = 0;
    blackhole()
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        int small = 2048;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
        struct sockaddr_in sa = cluster_test::loopback(0);
        socklen_t len = sizeof(sa);
        if (bind(fd, (struct sockaddr *)&sa, sizeof(sa)) == 0 && listen(fd, 64) == 0 &&
            getsockname(fd, (struct sockaddr *)&sa, &len) == 0) {
            port = ntohs(sa.sin_port);
        }
    }
    ~blackhole() { close(fd); }
};

} // namespace async_test
