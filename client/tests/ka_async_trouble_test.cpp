// A node whose writes go unanswered or cannot be sent: when the engine counts
// it unreachable (so that the health check finds its cluster down), and how
// little of the in-flight limit a cluster in that state can take from the
// others.
#include <gtest/gtest.h>

#include <fcntl.h>

#include "ka_async_fixture.h"

using namespace async_test;

namespace {

// The cluster's health as the first failure callback found it.
std::atomic<ka_cluster *> g_watched{nullptr};
std::atomic<int> g_health_at_first_fail{0};

void note_health(void *udata)
{
    (void)udata;
    ka_cluster *asc = g_watched.load();
    if (asc && g_rec.count() == 0) {
        g_health_at_first_fail = (int)tamberlin_check_cluster_health(asc);
    }
}

TEST_F(AsyncTest, UnansweredWritesCountTheirNodeUnreachable)
{
    struct Case {
        const char *name;
        int writes; // in flight together, none answered
        bool unreachable;
    };
    const Case cases[] = {
        {"one lost reply with nothing else in flight", 1, false},
        {"writes in flight, none answered for a whole deadline", 4, true},
    };
    g_watched = asc;
    g_on_callback = note_health;
    int tokens[8];
    uint32_t key = 500;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        g_rec.clear();
        g_health_at_first_fail = 0;
        fake_node_set_silent(node(), true, FAKE_REQ_WRITE);
        for (int i = 0; i < c.writes; i++) {
            ASSERT_EQ(0, put(key++, &tokens[i], 300));
        }
        ASSERT_TRUE(g_rec.wait_count((size_t)c.writes));
        for (int i = 0; i < c.writes; i++) {
            EXPECT_EQ(TAMBERLIN_FAIL_TIMEOUT, g_rec.of(&tokens[i])[0].rv);
        }
        EXPECT_EQ(c.unreachable, ka_cluster_node_unreachable(cnode()));
        // Counted before the first callback, so that it finds the cluster
        // down rather than putting the write back for another try.
        EXPECT_EQ(c.unreachable ? TAMBERLIN_FAIL_DC_DOWN : TAMBERLIN_FAIL_DC_UP, g_health_at_first_fail.load());

        // One reply makes the node alive again.
        fake_node_set_silent(node(), false, FAKE_REQ_WRITE);
        g_rec.clear();
        ASSERT_EQ(0, put(key++, &tokens[0], 2000));
        ASSERT_TRUE(g_rec.wait_count(1));
        EXPECT_TRUE(g_rec.of(&tokens[0])[0].success);
        EXPECT_FALSE(ka_cluster_node_unreachable(cnode()));
        EXPECT_EQ(TAMBERLIN_FAIL_DC_UP, tamberlin_check_cluster_health(asc));
    }
    g_on_callback = nullptr;
    g_watched = nullptr;
}

// Lost replies one at a time still add up: three in a row, with no reply
// between them, count the node unreachable.
TEST_F(AsyncTest, SeveralLostRepliesInARowCountTheNodeUnreachable)
{
    int tokens[3];
    fake_fault f;
    f.kind = FAKE_FAULT_CLOSE_AFTER_REQUEST;
    f.on = FAKE_REQ_WRITE;
    f.count = -1;
    fake_node_set_fault(node(), f);
    for (int i = 0; i < 3; i++) {
        EXPECT_FALSE(ka_cluster_node_unreachable(cnode())) << "after " << i << " lost replies";
        ASSERT_EQ(0, put(600 + (uint32_t)i, &tokens[i], 2000));
        ASSERT_TRUE(g_rec.wait_count((size_t)i + 1));
        EXPECT_FALSE(g_rec.of(&tokens[i])[0].success);
    }
    EXPECT_TRUE(ka_cluster_node_unreachable(cnode()));
    EXPECT_EQ(TAMBERLIN_FAIL_DC_DOWN, tamberlin_check_cluster_health(asc));
}

// A cluster whose writes are never answered fills its share of the limit and
// no more: another cluster still has room.
TEST_F(AsyncTest, AClusterInFlightStaysWithinItsShareOfTheLimit)
{
    fake_cluster_cfg cfg;
    cfg.n_nodes = 1;
    cfg.n_partitions = 16;
    fake_cluster *fc2 = fake_cluster_create(cfg);
    ASSERT_NE(nullptr, fc2);
    ka_cluster *hung = tamberlin_cluster_create();
    ASSERT_NE(nullptr, hung);
    tamberlin_cluster_change_tend_speed(hung, 1000000);
    ASSERT_EQ(0, tamberlin_cluster_add_host(hung, "127.0.0.1", (short)fake_cluster_port(fc2, 0), 5000));
    ka_bin b = int_bin("b", 7);
    ka_write_parameters wp = params(60000);
    int token;
    // Both clusters have written: the limit is shared by two.
    ASSERT_EQ(0, put(700, &token));
    ka::ox_digest d = digest_of(701);
    ASSERT_EQ(0, tamberlin_async_put_digest_relay(hung, "test", &d, "s", &b, 1, &wp, 1, &token));
    ASSERT_TRUE(g_rec.wait_count(2));
    const int share = tamberlin_async_cluster_share();
    EXPECT_EQ(limit / 2, share);

    fake_cluster_silence_node(fc2, 0, true, FAKE_REQ_WRITE);
    int accepted = 0, rv = 0;
    while (accepted < limit) {
        d = digest_of(800 + (uint32_t)accepted);
        rv = tamberlin_async_put_digest_relay(hung, "test", &d, "s", &b, 1, &wp, 1, &token);
        if (rv != 0) {
            break;
        }
        accepted++;
    }
    EXPECT_EQ(TAMBERLIN_FAIL_ASYNCQ_FULL, rv);
    EXPECT_EQ(share, accepted);
    // The other cluster's writes still go out and are answered.
    int others[5];
    for (int i = 0; i < 5; i++) {
        ASSERT_EQ(0, put(900 + (uint32_t)i, &others[i], 2000)) << i;
    }
    ASSERT_TRUE(g_rec.wait_count(7));
    for (int i = 0; i < 5; i++) {
        EXPECT_TRUE(g_rec.of(&others[i])[0].success);
    }
    EXPECT_EQ(share, inflight());
    // The stop calls back what the hung cluster holds.
    tamberlin_async_shutdown();
    EXPECT_EQ((size_t)(7 + share), g_rec.count());
    tamberlin_cluster_destroy(hung);
    fake_cluster_destroy(fc2);
}

// A send that cannot reach its node until its deadline counts the node
// unreachable; the next send to that node ends after its first failed
// attempt instead of trying until its own deadline.
TEST_F(AsyncTest, ANodeThatTookNoWriteUntilTheDeadlineIsNotTriedOnAndOn)
{
    blackhole bh;
    ASSERT_GT(bh.port, 0);
    ka_cluster *quiet = cluster_test::quiet_cluster();
    ASSERT_NE(nullptr, quiet);
    ka_cluster_node *bh_node = cluster_test::make_node("BH", bh.port);
    cluster_test::append_node(quiet, bh_node);
    std::string blob(16 << 20, 'z');
    ka_bin b;
    memset(&b, 0, sizeof(b));
    strcpy(b.bin_name, "z");
    tamberlin_object_init_blob(&b.object, blob.data(), blob.size());
    ka::ox_digest d = digest_of(950);
    auto drain = [&] {
        int n = 0;
        fcntl(bh.fd, F_SETFL, O_NONBLOCK);
        for (int fd; (fd = accept(bh.fd, nullptr, nullptr)) >= 0; n++) {
            close(fd);
        }
        return n;
    };
    int token;
    ka_write_parameters first = params(600);
    EXPECT_EQ(TAMBERLIN_FAIL_DC_UP, tamberlin_check_cluster_health(quiet));
    EXPECT_EQ(TAMBERLIN_FAIL_TIMEOUT, tamberlin_async_put_digest_relay(quiet, "test", &d, "s", &b, 1, &first, 5, &token));
    EXPECT_TRUE(ka_cluster_node_unreachable(bh_node));
    EXPECT_EQ(TAMBERLIN_FAIL_DC_DOWN, tamberlin_check_cluster_health(quiet));
    drain();
    // Its deadline allows two attempts of 700 ms.
    ka_write_parameters later = params(1400);
    EXPECT_EQ(TAMBERLIN_FAIL_TIMEOUT, tamberlin_async_put_digest_relay(quiet, "test", &d, "s", &b, 1, &later, 5, &token));
    EXPECT_EQ(1, drain());
    EXPECT_EQ(0u, g_rec.count());
    EXPECT_EQ(0, inflight());
    tamberlin_cluster_destroy(quiet);
}

} // namespace
