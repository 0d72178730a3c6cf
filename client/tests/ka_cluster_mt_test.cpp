// Threads against one cluster: requests routed while the map flips and a
// node restarts under a running tend thread; clusters found, released and
// destroyed by several threads at once. Bounded in count and time.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>
#include <unistd.h>

#include "../src/ka_cluster_internal.h"
#include "ka_cluster_fixture.h"
#include "tamberlin/ox_socket.h"
#include "testkit/fake_cluster.h"

using namespace cluster_test;

namespace {

constexpr uint32_t NP = 256;

// One info request for "node" on a pooled connection: true when a whole
// reply came back, so the connection may go back to the pool.
bool ask_node(int fd)
{
    uint8_t req[13] = {2, 1, 0, 0, 0, 0, 0, 5, 'n', 'o', 'd', 'e', '\n'};
    uint8_t head[8];
    if (ka::ox_socket_write_timeout(fd, req, sizeof(req), 0, 2000) != 0 ||
        ka::ox_socket_read_timeout(fd, head, sizeof(head), 0, 2000) != 0) {
        return false;
    }
    uint64_t size = 0;
    for (int i = 2; i < 8; i++) {
        size = (size << 8) | head[i];
    }
    if (size == 0 || size > 64) {
        return false;
    }
    uint8_t body[64];
    return ka::ox_socket_read_timeout(fd, body, size, 0, 2000) == 0;
}

// Counts the tend's checks that a stand-in node has recorded (the workers'
// own info requests ask for "node" alone), reading only the new requests.
struct check_counter {
    fake_node *node;
    size_t scanned = 0;
    int checks = 0;
    int count()
    {
        fake_request r;
        for (size_t n = fake_node_request_count(node); scanned < n; scanned++) {
            if (fake_node_request(node, scanned, &r) &&
                r.raw.find("partition-generation\nservices\n") != std::string::npos) {
                checks++;
            }
        }
        return checks;
    }
};

TEST(ClusterThreads, RoutingWhileTheMapFlipsAndANodeRestarts)
{
    numeric_lookups lookups;
    int fds_before = open_fds();
    ka_cluster_test_set_tick_ms(2);
    fake_cluster_cfg cfg;
    cfg.n_partitions = NP;
    fake_cluster *fc = fake_cluster_create(cfg);
    ASSERT_NE(nullptr, fc);
    tamberlin_cluster_init();
    ka_cluster *asc = tamberlin_cluster_create();
    ASSERT_NE(nullptr, asc);
    tamberlin_cluster_change_info_timeout(asc, 2000); // stopped nodes refuse at once
    tamberlin_cluster_change_tend_speed(asc, 1); // every tick of the tend thread
    ASSERT_EQ(0, tamberlin_cluster_add_host(asc, "127.0.0.1", (short)fake_cluster_port(fc, 0), 2000));

    std::atomic<bool> stop{false};
    std::atomic<int> calls{0}, answered{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; w++) {
        workers.emplace_back([&, w] {
            uint32_t seed = 12345u + (uint32_t)w;
            uint64_t end = ka::ox_getms() + 120000;
            for (int i = 0; i < 200000 && !stop && ka::ox_getms() < end; i++) {
                seed = seed * 1103515245u + 12345u;
                ka::ox_digest d = {};
                d.digest[0] = (uint8_t)(seed >> 8);
                d.digest[1] = (uint8_t)(seed >> 16);
                ka_cluster_node *cn = ka_cluster_node_get(asc, "test", &d, (i & 1) == 0);
                calls++;
                if (!cn) {
                    continue;
                }
                int fd = ka_cluster_node_fd_get(cn, (i % 3) == 0, false);
                if (fd >= 0) {
                    if (ask_node(fd)) {
                        answered++;
                        ka_cluster_node_fd_put(cn, fd, (i % 3) == 0);
                    } else {
                        close(fd);
                    }
                }
                ka_cluster_node_put(cn);
            }
        });
    }
    // After each change the tend has checked node 0 twice (so one whole tend
    // saw the change; node 0 is never stopped) and the workers have routed.
    check_counter node0{fake_cluster_node(fc, 0)};
    ASSERT_NE(nullptr, node0.node);
    int tends_seen = 0, routed_between = 0;
    auto tend_and_route = [&] {
        int checks = node0.count(), routed = calls.load();
        wait_until([&] { return node0.count() >= checks + 2 && calls.load() > routed; }, 60000);
        tends_seen += node0.count() >= checks + 2;
        routed_between += calls.load() > routed;
    };
    int changes = 0;
    for (int k = 0; k < 24; k++) {
        if (k % 3 == 0) {
            fake_cluster_assign_all(fc, k % 2, (k % 2) ^ 1);
        } else {
            fake_cluster_rebalance(fc);
        }
        if (k % 8 == 4) {
            fake_cluster_stop_node(fc, 2);
            fake_cluster_rebalance(fc);
            tend_and_route();
            changes++;
            ASSERT_EQ(0, fake_cluster_restart_node(fc, 2));
            fake_cluster_rebalance(fc);
        }
        tend_and_route();
        changes++;
    }
    EXPECT_EQ(changes, tends_seen);
    EXPECT_EQ(changes, routed_between);
    stop = true;
    for (auto &t : workers) {
        t.join();
    }
    EXPECT_GT(calls.load(), 0);
    EXPECT_GT(answered.load(), 0);

    // The test takes the tend for itself (as a running tend would hold it), so
    // no tend can change a slot while the references are counted; then every
    // node holds exactly the references of its creation and its slots.
    expect_only_slot_refs(asc);
    tamberlin_cluster_destroy(asc);
    fake_cluster_destroy(fc);
    ka_cluster_test_set_tick_ms(1000);
    EXPECT_EQ(fds_before, open_fds());
}

TEST(ClusterThreads, FindReleaseAndDestroyRaceTheTendThread)
{
    numeric_lookups lookups;
    ka_cluster_test_set_tick_ms(1);
    fake_cluster_cfg cfg;
    cfg.n_nodes = 2;
    cfg.n_partitions = 16;
    fake_cluster *fc = fake_cluster_create(cfg);
    ASSERT_NE(nullptr, fc);
    tamberlin_cluster_init();
    short port = (short)fake_cluster_port(fc, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++) {
        threads.emplace_back([&, t] {
            char host[] = "127.0.0.1";
            uint64_t end = ka::ox_getms() + 3000;
            for (int i = 0; i < 400 && ka::ox_getms() < end; i++) {
                if (t == 7) {
                    // Clusters of their own, tended by the thread, destroyed at
                    // once; their seed text differs ("127.1" is 127.0.0.1 too),
                    // so no search finds them.
                    ka_cluster *own = tamberlin_cluster_create();
                    ASSERT_NE(nullptr, own);
                    tamberlin_cluster_change_tend_speed(own, 1);
                    // -2 when the tend thread held the tend at that moment.
                    EXPECT_NE(-1, tamberlin_cluster_add_host(own, "127.1", port, -1));
                    tamberlin_cluster_destroy(own);
                    continue;
                }
                // Holders come and go, so the count often falls to 0 while
                // other threads search for the same seed.
                ka_cluster *c = tamberlin_cluster_get_or_create(host, port, -1);
                if (c) {
                    pthread_mutex_lock(&c->LOCK);
                    EXPECT_GT(c->ref_count, 0u);
                    pthread_mutex_unlock(&c->LOCK);
                    tamberlin_cluster_release_or_destroy(&c);
                }
            }
        });
    }
    for (auto &t : threads) {
        t.join();
    }
    pthread_mutex_lock(&cluster_ll_LOCK);
    EXPECT_EQ(0u, ox_ll_size(&cluster_ll)); // every holder released its cluster
    pthread_mutex_unlock(&cluster_ll_LOCK);
    tamberlin_cluster_shutdown();
    fake_cluster_destroy(fc);
    ka_cluster_test_set_tick_ms(1000);
}

// True when the first cluster of the list has a seed.
bool seed_registered()
{
    pthread_mutex_lock(&cluster_ll_LOCK);
    ka_cluster *asc = (ka_cluster *)ox_ll_get_head(&cluster_ll);
    bool seeded = false;
    if (asc) {
        pthread_mutex_lock(&asc->LOCK);
        seeded = ox_vector_size(&asc->host_str_v) > 0;
        pthread_mutex_unlock(&asc->LOCK);
    }
    pthread_mutex_unlock(&cluster_ll_LOCK);
    return seeded;
}

// A cluster made for a URL whose seed answers nothing is given up, while
// another thread may have found it by that seed meanwhile and hold it: the
// finder's count keeps it alive until the finder releases it.
TEST(ClusterThreads, UrlClusterGivenUpWhileAnotherHolds)
{
    numeric_lookups lookups;
    tamberlin_cluster_init();
    int dead = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sa = loopback(0);
    socklen_t len = sizeof(sa);
    ASSERT_EQ(0, bind(dead, (struct sockaddr *)&sa, sizeof(sa)));
    ASSERT_EQ(0, getsockname(dead, (struct sockaddr *)&sa, &len));
    int port = ntohs(sa.sin_port);
    close(dead); // nothing listens there now: every "node" request is refused
    std::string url = "tamberlin://127.0.0.1:" + std::to_string(port);
    char host[] = "127.0.0.1";
    int found = 0;
    for (int round = 0; round < 20 && found < 3; round++) {
        std::atomic<bool> maker_done{false};
        std::thread maker([&] {
            EXPECT_EQ(nullptr, tamberlin_cluster_get(url.c_str()));
            maker_done = true;
        });
        // While the maker waits for nodes, its cluster can be found by seed.
        // The search starts only once the maker's seed is registered, so it
        // never makes a cluster that the maker's own search could find.
        ka_cluster *c = nullptr;
        while (!c && !maker_done) {
            if (seed_registered()) {
                c = tamberlin_cluster_get_or_create(host, (short)port, -1);
            }
        }
        maker.join();
        if (c) {
            found++;
            pthread_mutex_lock(&c->LOCK);
            EXPECT_EQ(1u, c->ref_count); // the maker's count is gone, ours is left
            pthread_mutex_unlock(&c->LOCK);
            EXPECT_EQ(0, tamberlin_cluster_get_nodecount(c));
            tamberlin_cluster_release_or_destroy(&c);
            EXPECT_EQ(nullptr, c);
        }
    }
    EXPECT_GT(found, 0);
    pthread_mutex_lock(&cluster_ll_LOCK);
    EXPECT_EQ(0u, ox_ll_size(&cluster_ll));
    pthread_mutex_unlock(&cluster_ll_LOCK);
}

} // namespace
