// Tending against a stand-in cluster on 127.0.0.1: discovery from one seed,
// routing, map changes, aging, health, seeds, and every malformed answer a
// node can give. Tends are driven by the test (the tend thread never reaches
// these clusters), except where the tend thread itself is under test.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <set>
#include <unistd.h>

#include "ka_cluster_fixture.h"
#include "testkit/fake_cluster.h"

using namespace cluster_test;

namespace {

constexpr uint32_t NP = 4096;

ka::ox_digest digest_of(uint32_t pid)
{
    ka::ox_digest d = {};
    d.digest[0] = (uint8_t)(pid & 0xFF);
    d.digest[1] = (uint8_t)(pid >> 8);
    d.digest[2] = 0x5A;
    return d;
}

class Tend : public fake_cluster_test {
protected:
    void SetUp() override
    {
        cfg.n_nodes = 3;
        cfg.n_partitions = NP;
    }
    void start(std::function<void()> before_seed = nullptr)
    {
        start_fake(true);
        if (before_seed) {
            before_seed();
        }
    }
    void tend(int n = 1)
    {
        for (int i = 0; i < n; i++) {
            cluster_tend(asc);
        }
    }
    ka_cluster_node *node(int i)
    {
        std::string name = fake_cluster_node_name(fc, i);
        return ka_cluster_node_get_byname(asc, &name[0]);
    }
    int fake_index(ka_cluster_node *cn)
    {
        for (int i = 0; i < fake_cluster_size(fc); i++) {
            if (fake_cluster_node_name(fc, i) == cn->name) {
                return i;
            }
        }
        return -1;
    }
    // The fake index of the node a digest of partition pid goes to.
    int route(uint32_t pid, bool write)
    {
        ka::ox_digest d = digest_of(pid);
        ka_cluster_node *cn = ka_cluster_node_get(asc, "test", &d, write);
        if (!cn) {
            return -2;
        }
        int i = fake_index(cn);
        ka_cluster_node_put(cn);
        return i;
    }
    ka_cluster_node *slot_master(uint32_t pid)
    {
        ka_cluster_node *cn = ka_partition_table_get(asc, "test", (ka_partition_id)pid, true);
        if (cn) {
            ka_cluster_node_put(cn);
        }
        return cn;
    }
    // References a node should hold: creation plus one per slot.
    uint32_t slot_refs(ka_cluster_node *cn)
    {
        uint32_t n = 1;
        for (ka_partition_table *t = asc->partition_table_head.load(); t; t = t->next) {
            for (uint32_t p = 0; p < asc->n_partitions.load(); p++) {
                n += (t->partitions[p].master == cn) + (t->partitions[p].prole == cn);
            }
        }
        return n;
    }
};

TEST_F(Tend, DiscoveryFromOneSeedRoutesToMasters)
{
    start();
    ASSERT_EQ(0, add_seed());
    EXPECT_EQ(3, tamberlin_cluster_get_nodecount(asc));
    EXPECT_TRUE(tamberlin_cluster_settled(asc));
    EXPECT_EQ(NP, asc->n_partitions.load());
    for (uint32_t pid = 0; pid < NP; pid += 97) {
        int m = fake_cluster_master(fc, pid);
        int r = fake_cluster_prole(fc, pid);
        EXPECT_EQ(m, route(pid, true)) << pid;
        std::set<int> reads = {route(pid, false), route(pid, false)};
        EXPECT_EQ((std::set<int>{m, r}), reads) << pid;
    }
    for (int i = 0; i < 3; i++) {
        ka_cluster_node *cn = node(i);
        ASSERT_NE(nullptr, cn);
        EXPECT_EQ(slot_refs(cn), refs(cn));
        EXPECT_EQ(fake_cluster_generation(fc, i), cn->partition_generation);
        EXPECT_EQ(0u, cn->intervals_unreachable.load());
    }
    // An unchanged generation fetches no maps.
    fake_node *n0 = fake_cluster_node(fc, 0);
    size_t before = fake_node_request_count(n0);
    tend();
    EXPECT_EQ(before + 1, fake_node_request_count(n0));
}

TEST_F(Tend, MapChangesMoveRequestsWithinTwoTends)
{
    start();
    ASSERT_EQ(0, add_seed());
    struct {
        uint32_t pid;
        int master, prole;
    } moves[] = {{0, 1, 2}, {564, 2, -1}, {4095, 0, 1}, {1000, 1, 0}};
    for (auto &mv : moves) {
        fake_cluster_assign(fc, mv.pid, mv.master, mv.prole);
    }
    tend(2);
    for (auto &mv : moves) {
        EXPECT_EQ(mv.master, route(mv.pid, true)) << mv.pid;
        if (mv.prole < 0) {
            EXPECT_EQ(mv.master, route(mv.pid, false));
            EXPECT_EQ(mv.master, route(mv.pid, false));
        }
    }
    // Everything to node 2: the others give up every slot.
    fake_cluster_assign_all(fc, 2, -1);
    tend(2);
    for (uint32_t pid = 0; pid < NP; pid += 101) {
        EXPECT_EQ(2, route(pid, true)) << pid;
    }
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(slot_refs(node(i)), refs(node(i)));
    }
}

TEST(Aging, SequencesOfPresence)
{
    // What the aging step sees at each tend: 'M' the node masters a partition,
    // 'N' it masters nothing. A new node's first tend only marks it seen.
    struct {
        const char *sequence;
        int removed_at; // tend number, 0: kept through the sequence
    } cases[] = {{"NNN", 3}, {"MNN", 3}, {"NMNN", 4}, {"NNMN", 0}, {"MMMM", 0}, {"NNNNN", 3}, {"MMNMNN", 6}};
    bool all[16], none[16];
    for (int i = 0; i < 16; i++) {
        all[i] = true;
        none[i] = false;
    }
    for (auto &c : cases) {
        SCOPED_TRACE(c.sequence);
        ka_cluster *asc = quiet_cluster();
        ASSERT_NE(nullptr, asc);
        asc->n_partitions = 16;
        tamberlin_cluster_follow(asc, false);
        // Port 1 refuses at once, so each check fails without waiting.
        ka_cluster_node *x = make_node("X", 1);
        append_node(asc, x);
        ka_cluster_node_reserve(x);
        int removed_at = 0;
        for (int k = 1; c.sequence[k - 1] && !removed_at; k++) {
            ka_partition_table_update(asc, x, "test", c.sequence[k - 1] == 'M' ? all : none, nullptr);
            cluster_tend(asc);
            if (tamberlin_cluster_get_nodecount(asc) == 0) {
                removed_at = k;
            }
        }
        EXPECT_EQ(c.removed_at, removed_at);
        ka_partition_table_destroy_all(asc);
        EXPECT_EQ(removed_at ? 1u : 2u, refs(x));
        ka_cluster_node_release(x);
        tamberlin_cluster_destroy(asc);
    }
}

TEST_F(Tend, RetiredNodeLivesForItsHolders)
{
    start();
    ASSERT_EQ(0, add_seed());
    ka_cluster_node *x = node(2);
    ASSERT_NE(nullptr, x);
    ka_cluster_node_reserve(x); // as a request in flight would
    int fd = ka_cluster_node_fd_get(x, false, false);
    ASSERT_GE(fd, 0);
    ka_cluster_node_fd_put(x, fd, false);
    fake_cluster_stop_node(fc, 2);
    fake_cluster_rebalance(fc);
    int removed_at = 0;
    for (int k = 1; k <= 4 && !removed_at; k++) {
        tend();
        if (!node(2)) {
            removed_at = k;
        }
    }
    EXPECT_EQ(2, removed_at);
    EXPECT_EQ(2, tamberlin_cluster_get_nodecount(asc));
    EXPECT_EQ(1u, refs(x));
    EXPECT_NE(-1, fcntl(fd, F_GETFD));
    for (uint32_t pid = 0; pid < NP; pid += 89) {
        EXPECT_NE(2, route(pid, true));
        EXPECT_NE(2, route(pid, false));
    }
    ka_cluster_node_put(x);
    EXPECT_EQ(-1, fcntl(fd, F_GETFD));
}

TEST_F(Tend, HealthFollowsFailedChecks)
{
    start();
    EXPECT_EQ(TAMBERLIN_FAIL_DC_DOWN, tamberlin_check_cluster_health(asc)); // no node
    ASSERT_EQ(0, add_seed());
    EXPECT_EQ(TAMBERLIN_FAIL_DC_UP, tamberlin_check_cluster_health(asc));
    for (int i = 0; i < 3; i++) {
        fake_cluster_stop_node(fc, i);
    }
    int down_at = 0;
    for (int k = 1; k <= 4 && !down_at; k++) {
        tend();
        if (tamberlin_check_cluster_health(asc) == TAMBERLIN_FAIL_DC_DOWN) {
            down_at = k;
        }
    }
    EXPECT_EQ(3, down_at);
    EXPECT_EQ(3, tamberlin_cluster_get_nodecount(asc)); // unreachable masters are kept
    ASSERT_EQ(0, fake_cluster_restart_node(fc, 1));
    tend();
    EXPECT_EQ(TAMBERLIN_FAIL_DC_UP, tamberlin_check_cluster_health(asc));
    EXPECT_EQ(0u, node(1)->intervals_unreachable.load());
    EXPECT_EQ(4u, node(0)->intervals_unreachable.load());
}

TEST_F(Tend, SilentNodeCountsAsFailedAndComesBack)
{
    start();
    ASSERT_EQ(0, add_seed());
    // Each check of the silent node waits out the whole limit; a second is
    // far more than the answering nodes need, even on a loaded machine.
    tamberlin_cluster_change_info_timeout(asc, 1000);
    fake_cluster_silence_node(fc, 2, true);
    tend(3);
    EXPECT_EQ(3u, node(2)->intervals_unreachable.load());
    EXPECT_EQ(TAMBERLIN_FAIL_DC_UP, tamberlin_check_cluster_health(asc));
    fake_cluster_silence_node(fc, 2, false);
    tend();
    EXPECT_EQ(0u, node(2)->intervals_unreachable.load());
}

TEST_F(Tend, RenamedNodeKeepsItsName)
{
    start();
    ASSERT_EQ(0, add_seed());
    std::string old_name = fake_cluster_node_name(fc, 1);
    fake_cluster_stop_node(fc, 1);
    ASSERT_EQ(0, fake_cluster_restart_node(fc, 1, "RENAMED"));
    log_capture log;
    tend(2);
    EXPECT_TRUE(log.has(("node name changed from " + old_name + " to RENAMED").c_str()));
    EXPECT_EQ(3, tamberlin_cluster_get_nodecount(asc));
    char renamed[] = "RENAMED";
    EXPECT_EQ(nullptr, ka_cluster_node_get_byname(asc, renamed));
}

TEST_F(Tend, CountLearnedLateStillAppliesMaps)
{
    start([&] {
        for (int i = 0; i < 3; i++) {
            fake_cluster_drop_item(fc, i, "partitions");
        }
    });
    ASSERT_EQ(0, add_seed());
    EXPECT_EQ(0u, asc->n_partitions.load());
    EXPECT_EQ(nullptr, asc->partition_table_head.load());
    EXPECT_EQ(KA_PARTITION_GENERATION_UNKNOWN, node(0)->partition_generation);
    for (int i = 0; i < 3; i++) {
        fake_cluster_clear_items(fc, i);
    }
    // Nodes 1 and 2 answered their maps before the count was known; their
    // generation must not count as seen. (Node 0, the seed, mastered nothing
    // for so long that it was retired and found again meanwhile.)
    tend();
    EXPECT_EQ(NP, asc->n_partitions.load());
    for (uint32_t pid = 0; pid < NP; pid += 211) {
        if (fake_cluster_master(fc, pid) != 0) {
            EXPECT_EQ(fake_cluster_master(fc, pid), route(pid, true)) << pid;
        }
    }
    tend();
    for (uint32_t pid = 0; pid < NP; pid += 211) {
        EXPECT_EQ(fake_cluster_master(fc, pid), route(pid, true)) << pid;
    }
}

TEST_F(Tend, UnknownGenerationAlwaysFetchesMaps)
{
    // Nodes that report the very number that stands for "unknown", or no
    // generation at all, still have their maps read.
    for (bool dropped : {false, true}) {
        SCOPED_TRACE(dropped ? "no generation" : "generation 4294967295");
        start([&] {
            for (int i = 0; i < 3; i++) {
                if (dropped) {
                    fake_cluster_drop_item(fc, i, "partition-generation");
                } else {
                    fake_cluster_set_item(fc, i, "partition-generation", "4294967295");
                }
            }
        });
        ASSERT_EQ(0, add_seed());
        for (uint32_t pid = 0; pid < NP; pid += 151) {
            EXPECT_EQ(fake_cluster_master(fc, pid), route(pid, true)) << pid;
        }
        reset();
    }
}

TEST_F(Tend, CheckRepliesAroundTheStackBuffer)
{
    // Replies of 16383 bytes fit the tend's 16384-byte buffer with their
    // terminator; from 16384 on they go to the heap. Either way the check
    // reads them whole.
    for (size_t body : {16382u, 16383u, 16384u, 16385u}) {
        SCOPED_TRACE(body);
        start([&] {
            for (int i = 0; i < 3; i++) {
                fake_cluster_set_item(fc, i, "partition-generation", "7");
            }
        });
        ASSERT_EQ(0, add_seed());
        std::string services = "127.0.0.1:" + std::to_string(fake_cluster_port(fc, 0)) + ";127.0.0.1:" +
                               std::to_string(fake_cluster_port(fc, 2));
        std::string rest = "node\t" + fake_cluster_node_name(fc, 1) + "\npartition-generation\t7\nservices\t" +
                           services + "\n";
        ASSERT_LT(rest.size(), body);
        services += std::string(body - rest.size(), ';');
        fake_cluster_set_item(fc, 1, "services", services);
        tend(2);
        EXPECT_EQ(0u, node(1)->intervals_unreachable.load());
        EXPECT_NE(-1, node(1)->info_fd); // the exchange went well: the socket stays open
        EXPECT_EQ(3, tamberlin_cluster_get_nodecount(asc));
        reset();
    }
}

// Every malformed answer a node can give: the node's answer is refused, the
// cluster goes on with the others, nothing crashes.
TEST_F(Tend, MalformedAnswersAreRefused)
{
    std::string bad_bitmap(684, 'A');
    bad_bitmap[100] = '#';
    enum expect { TWO_NODES, CHECK_FAILS, NO_COUNT, NO_SLOTS, ONE_NODE };
    struct {
        const char *what;
        int node; // -1: every node
        const char *item;
        std::string value;
        bool raw;           // value is the whole reply body of the node
        bool after_seed;    // applied once the cluster has settled
        expect want;
    } cases[] = {
        {"name of 20 characters", 1, "node", std::string(20, 'n'), false, false, TWO_NODES},
        {"name of 20000 characters", 1, "node", std::string(20000, 'n'), false, false, TWO_NODES},
        {"empty name", 1, "node", "", false, false, TWO_NODES},
        {"no tab", 1, nullptr, "node\n", true, false, TWO_NODES},
        {"empty name after tab", 1, nullptr, "node\t\n", true, false, TWO_NODES},
        {"reply of size 0", 1, nullptr, "", true, false, TWO_NODES},
        {"check reply of size 0", 1, nullptr, "", true, true, CHECK_FAILS},
        {"check reply over 512 KiB", 1, "services", std::string(600 * 1024, 'x'), false, true, CHECK_FAILS},
        {"non-numeric generation", 1, "partition-generation", "12x", false, true, CHECK_FAILS},
        {"empty generation", 1, "partition-generation", "", false, true, CHECK_FAILS},
        {"name too long in check", 1, "node", std::string(25, 'n'), false, true, CHECK_FAILS},
        {"partition count not a power of two", -1, "partitions", "4000", false, false, NO_COUNT},
        {"partition count 0", -1, "partitions", "0", false, false, NO_COUNT},
        {"partition count too large", -1, "partitions", "131072", false, false, NO_COUNT},
        {"partition count not a number", -1, "partitions", "4096x", false, false, NO_COUNT},
        {"bitmap of the wrong length", 1, "replicas-master", "test:" + std::string(683, 'A'), false, false, NO_SLOTS},
        {"bitmap outside the alphabet", 1, "replicas-master", "test:" + bad_bitmap, false, false, NO_SLOTS},
        {"namespace of 32 characters", 1, "replicas-master", std::string(32, 'n') + ":" + std::string(684, '/'),
         false, false, NO_SLOTS},
        {"list without bitmap", 1, "replicas-master", "test", false, false, NO_SLOTS},
        {"services with bad ports", -1, "services", "127.0.0.1:0;127.0.0.1:70000;127.0.0.1:x;127.0.0.1;:;;", false,
         false, ONE_NODE},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        start();
        tamberlin_cluster_change_info_timeout(asc, 5000); // no case waits for a silent node
        auto apply = [&] {
            for (int i = 0; i < 3; i++) {
                if (c.node != -1 && c.node != i) {
                    continue;
                }
                if (c.raw) {
                    fake_cluster_set_raw_reply(fc, i, c.value);
                } else {
                    fake_cluster_set_item(fc, i, c.item, c.value);
                }
            }
        };
        if (!c.after_seed) {
            apply();
        }
        int rv = add_seed(0, 300);
        if (c.want != NO_COUNT) {
            ASSERT_EQ(0, rv);
        }
        ka_cluster_node *n1 = node(1);
        if (c.after_seed) {
            ASSERT_NE(nullptr, n1);
            apply();
            tend(3);
        } else {
            tend(2);
        }
        switch (c.want) {
        case TWO_NODES: {
            EXPECT_EQ(2, tamberlin_cluster_get_nodecount(asc));
            EXPECT_EQ(nullptr, node(1));
            char empty[] = "";
            EXPECT_EQ(nullptr, ka_cluster_node_get_byname(asc, empty));
            EXPECT_FALSE(tamberlin_cluster_settled(asc)); // the address is still unknown
            break;
        }
        case CHECK_FAILS:
            EXPECT_EQ(3u, n1->intervals_unreachable.load());
            EXPECT_EQ(0u, node(0)->intervals_unreachable.load());
            EXPECT_EQ(TAMBERLIN_FAIL_DC_UP, tamberlin_check_cluster_health(asc));
            break;
        case NO_COUNT:
            EXPECT_EQ(0u, asc->n_partitions.load());
            EXPECT_EQ(nullptr, asc->partition_table_head.load());
            EXPECT_GE(route(564, true), 0); // round robin still serves
            break;
        case NO_SLOTS:
            ASSERT_NE(nullptr, n1);
            for (uint32_t pid = 0; pid < NP; pid++) {
                if (fake_cluster_master(fc, pid) == 1) {
                    EXPECT_EQ(nullptr, slot_master(pid)) << pid;
                    break;
                }
            }
            EXPECT_EQ(fake_cluster_master(fc, 0) == 1 ? 2 : fake_cluster_master(fc, 0) == 0 ? 0 : 2,
                      fake_index(slot_master(0) ? slot_master(0) : node(2)));
            break;
        case ONE_NODE:
            EXPECT_EQ(1, tamberlin_cluster_get_nodecount(asc));
            EXPECT_TRUE(tamberlin_cluster_settled(asc));
            break;
        }
        reset();
    }
}

TEST_F(Tend, AddHostResults)
{
    start();
    ASSERT_EQ(0, add_seed());
    uint32_t seeds = ox_vector_size(&asc->host_str_v);
    EXPECT_EQ(0, add_seed(0, -1)); // known already: no new seed
    EXPECT_EQ(seeds, ox_vector_size(&asc->host_str_v));
    EXPECT_EQ(-1, tamberlin_cluster_add_host(asc, "", 3000, 10));
    EXPECT_EQ(-1, tamberlin_cluster_add_host(asc, "127.0.0.1", 0, 10));
    EXPECT_EQ(seeds, ox_vector_size(&asc->host_str_v));
    reset();

    // A seed where nothing answers: no node, and with nothing else to follow
    // the cluster counts as settled.
    start();
    int port = fake_cluster_port(fc, 0);
    for (int i = 0; i < 3; i++) {
        fake_cluster_stop_node(fc, i);
    }
    EXPECT_EQ(-2, tamberlin_cluster_add_host(asc, "127.0.0.1", (short)port, 20));
    EXPECT_EQ(0, tamberlin_cluster_get_nodecount(asc));
    EXPECT_TRUE(tamberlin_cluster_settled(asc));
}

TEST_F(Tend, TendThreadTendsByPeriod)
{
    ka_cluster_test_set_tick_ms(2);
    start();
    tamberlin_cluster_change_tend_speed(asc, 1);
    EXPECT_EQ(0, add_seed(0, -1)); // one tend here, the rest by the thread
    wait_until([&] { return tamberlin_cluster_settled(asc) && tamberlin_cluster_get_nodecount(asc) == 3; }, 60000);
    EXPECT_EQ(3, tamberlin_cluster_get_nodecount(asc));
    EXPECT_TRUE(tamberlin_cluster_settled(asc));
    ka_cluster_test_set_tick_ms(1000);
}

} // namespace
