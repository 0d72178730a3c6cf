// The shared cluster map within one process, with its updater thread: tends
// that read nodes and partitions from the map while the nodes are silent, a
// segment with corrupt counts and unterminated texts, an updater that waits
// for a lock another holder keeps and is stopped and joined, a replica list
// too long for its slot, a changed address, and the map switched off while
// tends and lookups run.
#include <thread>

#include "ka_shm_fixture.h"

using namespace shm_test;
using cluster_test::wait_until;

namespace {

class ShmMt : public shm_fixture {};

ka_cluster_node *node_named(ka_cluster *c, const std::string &name)
{
    return ka_cluster_node_get_byname(c, (char *)name.c_str());
}

// The map is filled from one cluster; a second cluster, made while every node
// is silent, learns its nodes, the partition count and the partition tables
// from the map alone.
TEST_F(ShmMt, TendsReadNodesAndPartitionsFromTheMap)
{
    cluster_test::numeric_lookups resolver;
    ka_cluster_test_set_tick_ms(20);
    start_fake(true);
    ASSERT_EQ(0, tamberlin_use_shm(8, key));
    ASSERT_EQ(0, add_seed());
    ASSERT_TRUE(wait_until([&] { return map_complete(fc); }));

    for (int i = 0; i < fake_cluster_size(fc); i++) {
        fake_cluster_silence_node(fc, i, true);
    }
    ka_cluster *other = cluster_test::quiet_cluster();
    ASSERT_NE(nullptr, other);
    EXPECT_EQ(0, tamberlin_cluster_add_host(other, "127.0.0.1", (short)fake_cluster_port(fc, 0), 5000));
    cluster_tend(other); // checks the nodes that the last tend found
    EXPECT_EQ(fake_cluster_size(fc), tamberlin_cluster_get_nodecount(other));
    EXPECT_EQ(4096u, other->n_partitions.load());
    int wrong = 0;
    for (uint32_t p = 0; p < 4096; p += 97) {
        ka_cluster_node *m = ka_partition_table_get(other, "test", (ka_partition_id)p, true);
        std::string want = fake_cluster_node_name(fc, fake_cluster_master(fc, p));
        wrong += !m || want != m->name;
        if (m) {
            ka_cluster_node_put(m);
        }
    }
    EXPECT_EQ(0, wrong);
    for (int i = 0; i < fake_cluster_size(fc); i++) {
        ka_cluster_node *cn = node_named(other, fake_cluster_node_name(fc, i));
        ASSERT_NE(nullptr, cn);
        EXPECT_EQ(0u, cn->intervals_unreachable.load());
        EXPECT_EQ(fake_cluster_generation(fc, i), cn->partition_generation);
    }
    tamberlin_cluster_destroy(other);
    EXPECT_EQ(0, tamberlin_shm_free());
    for (int i = 0; i < fake_cluster_size(fc); i++) {
        fake_cluster_silence_node(fc, i, false);
    }
}

// The segment's lock is held by another holder for the whole test (here this
// thread, through a view of its own), so this process's updater only waits;
// the switch-off still stops it and joins it. Nothing the segment says is
// trusted: each case corrupts it and looks up through the map.
class ShmCorrupt : public ShmMt {
protected:
    hand_segment seg;
    void SetUp() override
    {
        ASSERT_TRUE(seg.make(key, 2, true));
        ASSERT_EQ(0, pthread_mutex_lock(&seg.shm->shm_lock));
        // Asked for 64 slots, the process uses the two the segment has.
        ASSERT_EQ(0, tamberlin_use_shm(0, key));
        ASSERT_EQ(2, ka_shm_slot_count());
    }
    void TearDown() override
    {
        EXPECT_FALSE(ka_shm_is_updater());
        EXPECT_EQ(0, tamberlin_shm_free());
        EXPECT_FALSE(ka_shm_attached(nullptr));
        // No thread of this process took the lock meanwhile, nor died with it.
        EXPECT_EQ(0u, seg.shm->updater_id);
        pthread_mutex_unlock(&seg.shm->shm_lock);
        EXPECT_EQ(0, pthread_mutex_lock(&seg.shm->shm_lock));
        pthread_mutex_unlock(&seg.shm->shm_lock);
        ShmMt::TearDown();
    }
    void put_slot(int i, const char *name, int port)
    {
        ka_shm_ninfo *s = seg.slot(i);
        memset(s->node_name, 0, sizeof(s->node_name));
        snprintf(s->node_name, sizeof(s->node_name), "%s", name);
        s->address_array[0] = cluster_test::loopback(port);
        s->address_count = 1;
    }
};

TEST_F(ShmCorrupt, CountsAndTextsAreReadWithinTheSegment)
{
    cluster_test::numeric_lookups resolver;
    start_fake(true);
    put_slot(0, "A0", 4000);
    put_slot(1, "A1", 4001);
    struct sockaddr_in a1 = cluster_test::loopback(4001);
    char name[KA_NODE_NAME_SIZE];

    struct count_case {
        int node_count;
        bool finds_a1;
    } counts[] = {{2, true}, {1000, true}, {INT32_MAX, true}, {1, false}, {0, false}, {-5, false}};
    for (auto &c : counts) {
        SCOPED_TRACE(c.node_count);
        seg.shm->node_count = c.node_count;
        ASSERT_TRUE(ka_shm_hold());
        EXPECT_EQ(c.finds_a1, ka_shm_find_node_from_name("A1") != nullptr);
        EXPECT_EQ(nullptr, ka_shm_find_node_from_name("none"));
        EXPECT_EQ(c.finds_a1, ka_shm_find_node_from_address(&a1) != nullptr);
        ka_shm_release();
        EXPECT_EQ(c.finds_a1 ? 0 : -1, ka_shm_get_node_name(&a1, name));
    }
    seg.shm->node_count = 2;

    struct partition_case {
        int stored;
        int read;
    } partitions[] = {{4096, 4096}, {1, 1}, {65536, 65536}, {0, 0}, {12345, 0}, {131072, 0}, {-4096, 0}};
    for (auto &c : partitions) {
        SCOPED_TRACE(c.stored);
        seg.shm->partition_count = c.stored;
        ASSERT_TRUE(ka_shm_hold());
        EXPECT_EQ(c.read, ka_shm_get_partition_count());
        ka_shm_release();
    }

    // Address counts beyond the slot's four addresses are clamped, negative
    // ones mean none. A count believed would also read the slot's name field
    // as its eighth address, where these bytes make one.
    struct sockaddr_in stray = cluster_test::loopback(4999);
    memcpy(seg.slot(1)->node_name, &stray, sizeof(stray));
    struct address_case {
        int count;
        bool found;
    } addresses[] = {{1, true}, {99, true}, {8, true}, {0, false}, {-1, false}};
    for (auto &c : addresses) {
        SCOPED_TRACE(c.count);
        seg.slot(1)->address_count = c.count;
        ASSERT_TRUE(ka_shm_hold());
        EXPECT_EQ(c.found, ka_shm_find_node_from_address(&a1) != nullptr);
        EXPECT_EQ(nullptr, ka_shm_find_node_from_address(&stray));
        ka_shm_release();
    }
    put_slot(1, "A1", 4001);

    // An unterminated name is no node's name.
    memset(seg.slot(1)->node_name, 'x', KA_NODE_NAME_SIZE);
    EXPECT_EQ(-1, ka_shm_get_node_name(&a1, name));
    ASSERT_TRUE(ka_shm_hold());
    EXPECT_EQ(nullptr, ka_shm_find_node_from_name(std::string(KA_NODE_NAME_SIZE - 1, 'x').c_str()));
    ka_shm_release();
    put_slot(1, "A1", 4001);

    // Unterminated services run into the replicas field: only the field's
    // own 4064 characters count, so the last entry keeps port 123 and does not
    // become 12345.
    ka_shm_ninfo *s = seg.slot(1);
    std::string services(KA_SHM_SERVICES_SIZE - 15, 'a');
    services += ";127.0.0.1:1234";
    ASSERT_EQ((size_t)KA_SHM_SERVICES_SIZE, services.size());
    memcpy(s->services, services.data(), KA_SHM_SERVICES_SIZE);
    // An unterminated replica list, whose generation line comes first.
    std::string replicas = "5\npartition-generation\t7\n";
    replicas += std::string(KA_SHM_REPLICAS_SIZE - replicas.size(), 'z');
    memcpy(s->replicas, replicas.data(), KA_SHM_REPLICAS_SIZE);
    s->partition_generation = 7;
    seg.shm->partition_count = 4096;
    asc->n_partitions = 4096;

    ka_cluster_node *cn = cluster_test::make_node("A1", 4001);
    ASSERT_NE(nullptr, cn);
    ox_vector_define(addr_v, sizeof(struct sockaddr_in), 0);
    ASSERT_TRUE(ka_shm_hold());
    ka_shm_ninfo *found = ka_shm_find_node_from_name("A1");
    ASSERT_EQ(s - seg.slot(0), found - ka_shm_slot(ka_shm_segment(), 0));
    EXPECT_TRUE(ka_cluster_node_shm_gen_check(asc, cn, found, &addr_v));
    ka_shm_release();
    ASSERT_EQ(1u, ox_vector_size(&addr_v));
    struct sockaddr_in want = cluster_test::loopback(123);
    EXPECT_EQ(0, memcmp(&want, ox_vector_getp(&addr_v, 0), sizeof(want)));
    ox_vector_destroy(&addr_v);
    ka_cluster_node_release(cn);
}

// A replica list longer than its slot is not stored under the node's new
// generation: the slot keeps its old one (none here), so no tend takes the cut
// list for current, and every round tries again.
TEST_F(ShmMt, ACutReplicaListKeepsTheOldGeneration)
{
    cluster_test::log_capture log;
    ka_cluster_test_set_tick_ms(20);
    cfg.n_nodes = 1;
    start_fake(true);
    std::string big = fake_cluster_replicas(fc, 0, true);
    while (big.size() < KA_SHM_REPLICAS_SIZE) {
        big += ";" + big;
    }
    ASSERT_EQ(0, add_seed());
    fake_cluster_set_item(fc, 0, "replicas-master", big);
    ASSERT_EQ(0, tamberlin_use_shm(2, key));
    ASSERT_TRUE(wait_until([&] { return log.count("Shared memory replicas buffer full: size=15096") >= 2; }));
    std::vector<slot_view> v = map_slots();
    ASSERT_EQ(1u, v.size());
    EXPECT_EQ(fake_cluster_node_name(fc, 0), v[0].name);
    EXPECT_EQ(KA_PARTITION_GENERATION_UNKNOWN, v[0].gen);
    EXPECT_EQ(0u, v[0].replicas_len);

    // Once the list fits it is stored with the generation.
    fake_cluster_clear_items(fc, 0);
    EXPECT_TRUE(wait_until([&] { return map_complete(fc); }));
}

// The slot's addresses follow the node's when they change, though their
// count stays the same; the slot limit is reported for a node beyond it.
TEST_F(ShmMt, ChangedAddressesAreStoredAndTheSlotLimitHolds)
{
    cluster_test::log_capture log;
    ka_cluster_test_set_tick_ms(20);
    cfg.n_nodes = 2;
    start_fake(true);
    ASSERT_EQ(0, add_seed());
    ASSERT_EQ(2, tamberlin_cluster_get_nodecount(asc));
    ASSERT_EQ(0, tamberlin_use_shm(1, key));
    ASSERT_TRUE(wait_until([&] { return log.has("Shared memory node limit breached: 1"); }));
    std::vector<slot_view> v = map_slots();
    ASSERT_EQ(1u, v.size());
    std::string stored = v[0].name;

    // A second stand-in answers under the stored node's name at another port,
    // and the client's node moves there: one address before and after.
    fake_cluster_cfg other_cfg;
    other_cfg.n_nodes = 1;
    fake_cluster *other = fake_cluster_create(other_cfg);
    ASSERT_NE(nullptr, other);
    fake_cluster_stop_node(other, 0);
    ASSERT_EQ(0, fake_cluster_restart_node(other, 0, stored));
    struct sockaddr_in moved = cluster_test::loopback(fake_cluster_port(other, 0));
    ka_cluster_node *cn = node_named(asc, stored);
    ASSERT_NE(nullptr, cn);
    pthread_mutex_lock(&cn->addr_lock);
    ASSERT_EQ(1u, ox_vector_size(&cn->sockaddr_in_v));
    memcpy(ox_vector_getp(&cn->sockaddr_in_v, 0), &moved, sizeof(moved));
    pthread_mutex_unlock(&cn->addr_lock);
    EXPECT_TRUE(wait_until([&] {
        if (!ka_shm_hold()) {
            return false;
        }
        bool at_new = ka_shm_find_node_from_address(&moved) != nullptr;
        ka_shm_release();
        return at_new;
    }));
    v = map_slots();
    ASSERT_EQ(1u, v.size());
    EXPECT_EQ(1, v[0].address_count);
    EXPECT_EQ(0, tamberlin_shm_free());
    fake_cluster_destroy(other);
}

// The map is switched off while the tend thread tends a cluster from it every
// tick and another thread looks names and counts up in it: the updater is
// stopped and joined and the segment detached only when no lookup holds it;
// the lookups then ask the nodes.
TEST_F(ShmMt, SwitchedOffWhileTendsAndLookupsRun)
{
    ka_cluster_test_set_tick_ms(20);
    start_fake(true);
    ASSERT_EQ(0, tamberlin_use_shm(8, key));
    ASSERT_EQ(0, add_seed());
    tamberlin_cluster_change_tend_speed(asc, 1);
    ASSERT_TRUE(wait_until([&] { return map_complete(fc); }));
    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};
    std::atomic<int> failures{0};
    struct sockaddr_in a0 = cluster_test::loopback(fake_cluster_port(fc, 0));
    std::thread looker([&] {
        for (int i = 0; i < 100000 && !stop.load(); i++) {
            char name[KA_NODE_NAME_SIZE];
            int n = 0;
            failures += ka_get_node_name(&a0, name, 1000) != 0 || name != fake_cluster_node_name(fc, 0);
            failures += ka_get_n_partitions(&a0, &n, 1000) != 0 || n != 4096;
            rounds++;
        }
    });
    EXPECT_TRUE(wait_until([&] { return rounds.load() >= 50; }));
    EXPECT_EQ(0, tamberlin_shm_free());
    int after = rounds.load();
    EXPECT_TRUE(wait_until([&] { return rounds.load() >= after + 5; }));
    stop = true;
    looker.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_FALSE(ka_shm_is_updater());
    EXPECT_EQ(TAMBERLIN_FAIL_DC_UP, tamberlin_check_cluster_health(asc));
}

} // namespace
