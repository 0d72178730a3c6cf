// Cluster and node objects: creation, references, node selection, names,
// setters, and the connection pools with their liveness probe.
#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "../src/ka_cluster_internal.h"
#include "ka_cluster_fixture.h"
#include "tamberlin/ka_async.h"
#include "tamberlin/ox_shash.h"

using namespace cluster_test;

namespace {

// Runs first in this binary: nothing has started cluster support yet.
TEST(Cluster, CreateBeforeInitIsRefused)
{
    EXPECT_EQ(nullptr, tamberlin_cluster_create());
    char host[] = "127.0.0.1";
    EXPECT_EQ(nullptr, tamberlin_cluster_get_or_create(host, 3000, 0));
}

TEST(Cluster, FreshClusterAndSetters)
{
    ka_cluster *asc = quiet_cluster();
    ASSERT_NE(nullptr, asc);
    EXPECT_TRUE(asc->follow);
    EXPECT_EQ(1u, asc->ref_count);
    EXPECT_EQ(500, asc->info_timeout.load());
    EXPECT_EQ(0, tamberlin_cluster_get_nodecount(asc));
    EXPECT_FALSE(tamberlin_cluster_settled(asc));
    {
        log_capture log;
        tamberlin_cluster_change_info_timeout(asc, 0);
        EXPECT_TRUE(log.has("can't use info timeout of 0 - leaving 500 ms"));
        EXPECT_EQ(500, asc->info_timeout.load());
    }
    tamberlin_cluster_change_info_timeout(asc, 250);
    EXPECT_EQ(250, asc->info_timeout.load());
    tamberlin_cluster_follow(asc, false);
    EXPECT_FALSE(asc->follow);
    tamberlin_cluster_use_nbconnect(asc);
    EXPECT_TRUE(asc->nbconnect);

    // Periods below 1 would divide by zero or never come round.
    struct {
        int set;
        uint32_t stored;
    } own[] = {{0, 0}, {-3, 1}, {60, 60}, {1, 1}};
    for (auto &c : own) {
        tamberlin_cluster_change_tend_speed(asc, c.set);
        EXPECT_EQ(c.stored, asc->tend_speed.load()) << c.set;
    }
    struct {
        int set;
        uint32_t stored;
    } global[] = {{0, 1}, {-5, 1}, {60, 60}, {1, 1}};
    tamberlin_cluster_change_tend_speed(asc, 0);
    for (auto &c : global) {
        tamberlin_change_tend_speed(c.set);
        EXPECT_EQ(c.stored, ka_cluster_period(asc)) << c.set;
    }

    uint64_t actual = 9, compressed = 9;
    tamberlin_cluster_get_compression_stat(nullptr, &actual, &compressed);
    EXPECT_EQ(0u, actual);
    EXPECT_EQ(0u, compressed);
    tamberlin_cluster_put_compression_stat(asc, 100, 40);
    tamberlin_cluster_put_compression_stat(asc, 10, 10);
    tamberlin_cluster_get_compression_stat(asc, &actual, &compressed);
    EXPECT_EQ(110u, actual);
    EXPECT_EQ(50u, compressed);
    tamberlin_cluster_destroy(asc);
}

TEST(Cluster, ReleaseOrDestroyCountsHolders)
{
    ka_cluster *asc = quiet_cluster();
    ASSERT_NE(nullptr, asc);
    asc->ref_count = 2;
    ka_cluster *p = asc;
    tamberlin_cluster_release_or_destroy(&p);
    EXPECT_EQ(asc, p);
    EXPECT_EQ(1u, asc->ref_count);
    tamberlin_cluster_release_or_destroy(&p);
    EXPECT_EQ(nullptr, p);
    tamberlin_cluster_release_or_destroy(&p);
    tamberlin_cluster_release_or_destroy(nullptr);
}

TEST(Node, NamesMustFitTheField)
{
    struct {
        std::string name;
        bool made;
    } cases[] = {{"", false}, {"A", true}, {std::string(19, 'n'), true}, {std::string(20, 'n'), false},
                 {std::string(40, 'n'), false}};
    for (auto &c : cases) {
        ka_cluster_node *cn = make_node(c.name.c_str(), 3000);
        EXPECT_EQ(c.made, cn != nullptr) << c.name.size();
        if (cn) {
            EXPECT_EQ(c.name, cn->name);
            EXPECT_EQ(KA_PARTITION_GENERATION_UNKNOWN, cn->partition_generation);
            EXPECT_EQ(-1, cn->info_fd);
            EXPECT_EQ(1u, refs(cn));
            ka_cluster_node_release(cn);
        }
    }
    EXPECT_EQ(nullptr, ka_cluster_node_create((char *)"A", nullptr));
}

TEST(Node, SelectionByRoundRobinNameAndAddress)
{
    ka_cluster *asc = quiet_cluster();
    ASSERT_NE(nullptr, asc);
    EXPECT_EQ(nullptr, ka_cluster_node_get_random(asc));
    int n = 7;
    char *names = (char *)&n;
    ka_cluster_get_node_names(asc, &n, &names);
    EXPECT_EQ(0, n);
    EXPECT_EQ(nullptr, names);

    ka_cluster_node *nodes[3] = {make_node("N0", 4000), make_node("N1", 4001), make_node("N2", 4002)};
    for (auto *cn : nodes) {
        append_node(asc, cn);
    }
    ka_cluster_node *want[] = {nodes[1], nodes[2], nodes[0], nodes[1]};
    for (auto *w : want) {
        ka_cluster_node *cn = ka_cluster_node_get_random(asc);
        EXPECT_EQ(w, cn);
        EXPECT_EQ(2u, refs(cn));
        ka_cluster_node_put(cn);
    }
    char n1[] = "N1", nx[] = "N", nlong[] = "N10";
    EXPECT_EQ(nodes[1], ka_cluster_node_get_byname(asc, n1));
    EXPECT_EQ(nullptr, ka_cluster_node_get_byname(asc, nx));
    EXPECT_EQ(nullptr, ka_cluster_node_get_byname(asc, nlong));
    struct sockaddr_in sa = loopback(4002);
    EXPECT_EQ(nodes[2], ka_cluster_node_get_byaddr(asc, &sa));
    sa = loopback(4003);
    EXPECT_EQ(nullptr, ka_cluster_node_get_byaddr(asc, &sa));

    ka_cluster_get_node_names(asc, &n, &names);
    ASSERT_EQ(3, n);
    ASSERT_NE(nullptr, names);
    EXPECT_STREQ("N0", names);
    EXPECT_STREQ("N2", names + 40);
    free(names);
    for (auto *cn : nodes) {
        EXPECT_EQ(1u, refs(cn));
    }
    tamberlin_cluster_destroy(asc);
}

// A TCP listener on 127.0.0.1 that keeps the server ends of its connections,
// so a test can close them or write bytes nobody asked for.
struct listener {
    int fd = -1;
    int port = 0;
    std::mutex m;
    std::vector<int> conns;
    std::atomic<bool> stop{false};
    std::thread thr;

    listener()
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in sa = loopback(0);
        socklen_t len = sizeof(sa);
        if (bind(fd, (struct sockaddr *)&sa, sizeof(sa)) != 0 || listen(fd, 512) != 0 ||
            getsockname(fd, (struct sockaddr *)&sa, &len) != 0) {
            return;
        }
        port = ntohs(sa.sin_port);
        thr = std::thread([this] {
            while (!stop) {
                struct pollfd p = {fd, POLLIN, 0};
                if (poll(&p, 1, 10) > 0) {
                    int c = accept(fd, nullptr, nullptr);
                    if (c >= 0) {
                        std::lock_guard<std::mutex> g(m);
                        conns.push_back(c);
                    }
                }
            }
        });
    }
    ~listener()
    {
        stop = true;
        thr.join();
        close_all();
        close(fd);
    }
    // Waits until n connections were accepted; false after a minute.
    bool wait_conns(size_t n)
    {
        return wait_until([&] {
            std::lock_guard<std::mutex> g(m);
            return conns.size() >= n;
        }, 60000);
    }
    void close_all()
    {
        std::lock_guard<std::mutex> g(m);
        for (int c : conns) {
            close(c);
        }
        conns.clear();
    }
    void write_all(const char *bytes)
    {
        std::lock_guard<std::mutex> g(m);
        for (int c : conns) {
            EXPECT_EQ((ssize_t)strlen(bytes), write(c, bytes, strlen(bytes)));
        }
    }
};

bool fd_open(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

// Waits (bounded) until the client side of fd sees what the peer did.
void settle(int fd)
{
    struct pollfd p = {fd, POLLIN, 0};
    poll(&p, 1, 30000);
}

class Pool : public ::testing::Test {
protected:
    listener srv;
    ka_cluster_node *cn = nullptr;
    void SetUp() override
    {
        ASSERT_NE(0, srv.port);
        cn = make_node("P", srv.port);
        ASSERT_NE(nullptr, cn);
    }
    void TearDown() override
    {
        if (cn) {
            ka_cluster_node_release(cn);
        }
    }
};

TEST_F(Pool, ReuseAndEveryDescriptorIsNonBlocking)
{
    int fd = ka_cluster_node_fd_get(cn, false, false);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    ASSERT_TRUE(srv.wait_conns(1));
    ka_cluster_node_fd_put(cn, fd, false);
    EXPECT_EQ(fd, ka_cluster_node_fd_get(cn, false, false));
    ka_cluster_node_fd_put(cn, fd, false);

    int afd = ka_cluster_node_fd_get(cn, true, false); // own pool, non-blocking connect
    ASSERT_GE(afd, 0);
    EXPECT_NE(fd, afd);
    EXPECT_TRUE(fcntl(afd, F_GETFL) & O_NONBLOCK);
    ka_cluster_node_fd_put(cn, afd, true);
    ASSERT_TRUE(srv.wait_conns(2)); // no descriptor of the listener comes later
    EXPECT_EQ(1, ox_queue_sz(cn->conn_q));
    EXPECT_EQ(1, ox_queue_sz(cn->conn_q_asyncfd));

    // The node's end closes what its pools hold.
    ka_cluster_node_release(cn);
    cn = nullptr;
    EXPECT_FALSE(fd_open(fd));
    EXPECT_FALSE(fd_open(afd));
}

TEST_F(Pool, ConnectionsTheServerClosedAreReplaced)
{
    int fds[3];
    for (int &fd : fds) {
        fd = ka_cluster_node_fd_get(cn, false, false);
        ASSERT_GE(fd, 0);
    }
    ASSERT_TRUE(srv.wait_conns(3));
    for (int fd : fds) {
        ka_cluster_node_fd_put(cn, fd, false);
    }
    srv.close_all();
    for (int fd : fds) {
        settle(fd);
        EXPECT_EQ(KA_CONN_CLOSED, is_connected(fd));
    }
    int fresh = ka_cluster_node_fd_get(cn, false, false);
    ASSERT_GE(fresh, 0);
    EXPECT_EQ(0, ox_queue_sz(cn->conn_q)); // all three were taken out and closed
    ASSERT_TRUE(srv.wait_conns(1));
    EXPECT_EQ(KA_CONN_ALIVE, is_connected(fresh));
    close(fresh);
}

TEST_F(Pool, StrayBytesMakeAConnectionUnusable)
{
    int fd = ka_cluster_node_fd_get(cn, false, false);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(srv.wait_conns(1));
    ka_cluster_node_fd_put(cn, fd, false);
    srv.write_all("late reply");
    settle(fd);
    log_capture log;
    EXPECT_EQ(KA_CONN_STRAY_DATA, is_connected(fd));
    int next = ka_cluster_node_fd_get(cn, false, false);
    ASSERT_GE(next, 0);
    EXPECT_TRUE(log.has("peek got data"));
    // Closed, so its number may come back for the new connection, but the
    // new one has nothing waiting.
    EXPECT_EQ(KA_CONN_ALIVE, is_connected(next));
    char c;
    EXPECT_EQ(-1, recv(next, &c, 1, MSG_DONTWAIT));
    close(next);
}

TEST_F(Pool, InvalidDescriptorIsDroppedWithoutClose)
{
    int fd = ka_cluster_node_fd_get(cn, false, false);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(srv.wait_conns(1)); // the listener takes no descriptor number after this
    ka_cluster_node_fd_put(cn, fd, false);
    close(fd); // now invalid while pooled
    EXPECT_EQ(KA_CONN_BADFD, is_connected(fd));
    log_capture log;
    int next = ka_cluster_node_fd_get(cn, false, false);
    EXPECT_GE(next, 0);
    EXPECT_TRUE(log.has("found bad file descriptor in queue"));
    close(next);
}

TEST_F(Pool, SynchronousPoolKeepsAtMost300)
{
    std::vector<int> fds;
    for (int i = 0; i < KA_NODE_FD_POOL_MAX + 1; i++) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        fds.push_back(fd);
    }
    for (int fd : fds) {
        ka_cluster_node_fd_put(cn, fd, false);
    }
    EXPECT_EQ(KA_NODE_FD_POOL_MAX, ox_queue_sz(cn->conn_q));
    EXPECT_FALSE(fd_open(fds.back()));
    EXPECT_TRUE(fd_open(fds.front()));

    std::vector<int> async_fds;
    for (int i = 0; i < KA_NODE_FD_POOL_MAX + 10; i++) {
        async_fds.push_back(dup(fds.front()));
        ka_cluster_node_fd_put(cn, async_fds.back(), true);
    }
    EXPECT_EQ(KA_NODE_FD_POOL_MAX + 10, ox_queue_sz(cn->conn_q_asyncfd));
    ka_cluster_node_release(cn);
    cn = nullptr;
    EXPECT_FALSE(fd_open(fds.front()));
    EXPECT_FALSE(fd_open(async_fds.back()));
}

static uint32_t trid_hash(const void *key)
{
    return (uint32_t)*(const uint64_t *)key;
}

// The engine makes no in-flight table; where one exists, a node that ends
// drops the items that name it and keeps the others'.
TEST(NodeEnd, DropsItsItemsFromTheInFlightTable)
{
    ASSERT_EQ(nullptr, g_ka_async_hashtab);
    ka_cluster_node *a = make_node("A", 1);
    ka_cluster_node *b = make_node("B", 2);
    ka_async_work wa{}, wb{};
    wa.node = a;
    wb.node = b;
    struct {
        ka_async_work *w;
        ka_cluster_node *node;
        int want;
    } rows[] = {{&wa, a, 1}, {&wa, b, 0}, {&wb, a, 0}, {nullptr, a, 0}};
    for (auto &r : rows) {
        EXPECT_EQ(r.want, ka_del_node_asyncworkitems(nullptr, &r.w, r.node));
    }
    shash *t = nullptr;
    ASSERT_EQ(SHASH_OK, shash_create(&t, trid_hash, sizeof(uint64_t), sizeof(ka_async_work *), 16,
                                     SHASH_CR_MT_BIGLOCK));
    ka_async_work *items[] = {&wa, &wb, &wa};
    for (uint64_t k = 0; k < 3; k++) {
        ASSERT_EQ(SHASH_OK, shash_put(t, &k, &items[k]));
    }
    g_ka_async_hashtab = t;
    ka_cluster_node_release(a);
    g_ka_async_hashtab = nullptr;
    EXPECT_EQ(1u, shash_get_size(t));
    uint64_t kept = 1;
    ka_async_work *w = nullptr;
    EXPECT_EQ(SHASH_OK, shash_get(t, &kept, &w));
    EXPECT_EQ(&wb, w);
    shash_destroy(t);
    ka_cluster_node_release(b);
}

// A non-blocking connect still in progress names the address it goes to,
// after the prefix with its trailing space.
TEST(NodeConnect, ConnectInProgressLogsTheAddress)
{
    listener srv;
    ASSERT_NE(0, srv.port);
    ka_cluster_node *cn = make_node("N", srv.port);
    log_capture log;
    int fd = ka_cluster_node_fd_create(cn, true);
    ASSERT_GE(fd, 0);
    close(fd);
    // Loopback connects of a non-blocking socket are in progress when connect returns.
    ASSERT_TRUE(log.has("Non-blocking connect returned EINPROGRESS as expected"));
    EXPECT_EQ(1, log.count("Connecting to  127.0.0.1:" + std::to_string(srv.port)));
    ka_cluster_node_release(cn);
}

TEST(NodeConnect, EachAddressGetsItsOwnSocket)
{
    listener srv;
    ASSERT_NE(0, srv.port);
    // A port with nothing behind it refuses; the next address must still
    // connect, on a socket that never saw the refusal.
    int dead = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sa = loopback(0);
    socklen_t len = sizeof(sa);
    ASSERT_EQ(0, bind(dead, (struct sockaddr *)&sa, sizeof(sa)));
    ASSERT_EQ(0, getsockname(dead, (struct sockaddr *)&sa, &len));
    close(dead);
    ka_cluster_node *cn = ka_cluster_node_create((char *)"C", &sa);
    ASSERT_NE(nullptr, cn);
    struct sockaddr_in good = loopback(srv.port);
    ox_vector_append(&cn->sockaddr_in_v, &good);
    log_capture log;
    // Blocking connects learn of the refusal at once (a non-blocking one may
    // only learn of it at its first transfer).
    {
        int before = open_fds();
        int fd = ka_cluster_node_fd_create(cn, false);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(srv.wait_conns(1));
        EXPECT_EQ(before + 2, open_fds()); // ours and the listener's end; the refused socket is gone
        char c = 'x';
        struct pollfd p = {fd, POLLOUT, 0};
        ASSERT_EQ(1, poll(&p, 1, 1000));
        int err = -1;
        socklen_t elen = sizeof(err);
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &elen);
        EXPECT_EQ(0, err);
        EXPECT_EQ(1, send(fd, &c, 1, MSG_NOSIGNAL));
        close(fd);
    }
    EXPECT_TRUE(log.has("a host is refusing connections"));

    // No address at all: nothing is left open.
    ka_cluster_node *lonely = make_node("L", 1);
    ox_vector_reset(&lonely->sockaddr_in_v);
    int before = open_fds();
    EXPECT_EQ(-1, ka_cluster_node_fd_create(lonely, false));
    EXPECT_FALSE(ka_cluster_node_prep_info_fd(lonely));
    EXPECT_EQ(before, open_fds());
    ka_cluster_node_release(lonely);
    ka_cluster_node_release(cn);
}

TEST(Cluster, ShutdownStopsTheTendThreadThenDestroys)
{
    ka_cluster_test_set_tick_ms(2);
    tamberlin_cluster_init();
    ka_cluster *a = tamberlin_cluster_create();
    ka_cluster *b = tamberlin_cluster_create();
    ASSERT_NE(nullptr, a);
    ASSERT_NE(nullptr, b);
    ka_cluster_node *cn = make_node("S", 1);
    ka_cluster_node_reserve(cn);
    append_node(b, cn);
    // The tend thread has been over both: the empty cluster found there is
    // nothing to follow, and the node (nothing listens on its port) failed
    // two checks. A third tend may drop it from b before the shutdown.
    wait_until([&] { return tamberlin_cluster_settled(a) && cn->intervals_unreachable.load() >= 2; }, 60000);
    EXPECT_TRUE(tamberlin_cluster_settled(a));
    EXPECT_GE(cn->intervals_unreachable.load(), 2u);
    tamberlin_cluster_shutdown();
    EXPECT_EQ(1u, refs(cn)); // the cluster's reference went with it
    ka_cluster_node_release(cn);
    EXPECT_EQ(nullptr, tamberlin_cluster_create()); // stopped
    tamberlin_cluster_init();                       // and startable again
    ka_cluster *c = tamberlin_cluster_create();
    EXPECT_NE(nullptr, c);
    tamberlin_cluster_shutdown();
    ka_cluster_test_set_tick_ms(1000);
}

} // namespace
