// Partition rule, bitmap lengths, base64, replica lists and the tables that
// route digests to nodes, with the node references the slots hold.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <openssl/evp.h>

#include "ka_cluster_fixture.h"
#include "tamberlin/ka_partition.h"

using namespace cluster_test;

namespace {

TEST(PartitionRule, FirstTwoBytesLittleEndianMasked)
{
    struct {
        uint8_t b0, b1;
        uint32_t n;
        ka_partition_id want;
    } cases[] = {
        {0x34, 0x12, 4096, 564}, {0xFF, 0xFF, 4096, 4095}, {0x00, 0x00, 4096, 0},  {0xFF, 0xFF, 1, 0},
        {0x01, 0x00, 2, 1},      {0x00, 0x01, 2, 0},       {0xFF, 0xFF, 65536, 65535}, {0x34, 0x12, 256, 0x34},
    };
    for (auto &c : cases) {
        uint8_t d[20] = {c.b0, c.b1, 0xAA};
        EXPECT_EQ(c.want, ka_partition_getid(d, c.n)) << int(c.b0) << " " << int(c.b1) << " n " << c.n;
    }
}

TEST(PartitionRule, BitmapLengthAndCountValidity)
{
    struct {
        uint32_t n;
        int len;
    } lens[] = {{1, 4}, {8, 4}, {24, 4}, {25, 8}, {4096, 684}, {65536, 10924}};
    for (auto &c : lens) {
        EXPECT_EQ(c.len, ka_partition_bitmap_len(c.n)) << c.n;
    }
    struct {
        uint64_t n;
        bool valid;
    } counts[] = {{0, false},   {1, true},     {2, true},      {3, false},     {4095, false},
                  {4096, true}, {65536, true}, {65537, false}, {131072, false}, {1ull << 32, false}};
    for (auto &c : counts) {
        EXPECT_EQ(c.valid, ka_partition_count_valid(c.n)) << c.n;
    }
}

TEST(Base64, DecodesBoundedAndRejectsBadCharacters)
{
    struct {
        const char *in;
        int rv;
        std::vector<uint8_t> want;
    } cases[] = {
        {"AAAA", 3, {0, 0, 0}},
        {"//8A", 3, {0xFF, 0xFF, 0x00}},
        {"QUJD", 3, {'A', 'B', 'C'}},
        {"QUI=", 3, {'A', 'B', 0}},
        {"QQ==", 3, {'A', 0, 0}},
        {"QUJDRA==", 6, {'A', 'B', 'C', 'D', 0, 0}},
        {"QUJ", 3, {'A', 'B', 0x40}}, // short last group: read as if padded, nothing past the end
        {"", 0, {}},
        {"AA*A", -1, {}},
        {"AA A", -1, {}},
        {"=AAA", -1, {}},  // padding only at the end
        {"AA=A", -1, {}},  // nothing after padding
        {"QUJD\xc3", -1, {}},
    };
    for (auto &c : cases) {
        size_t len = strlen(c.in);
        // The input lives in a block of exactly its length, so a read past it
        // is seen by the address sanitizer.
        std::unique_ptr<uint8_t[]> in(new uint8_t[len ? len : 1]);
        memcpy(in.get(), c.in, len);
        uint8_t out[16] = {};
        int rv = b64_decode(in.get(), (int)len, out);
        EXPECT_EQ(c.rv, rv) << c.in;
        if (c.rv > 0) {
            EXPECT_EQ(0, memcmp(out, c.want.data(), c.want.size())) << c.in;
        }
    }
}

std::string encode(const std::vector<uint8_t> &bytes)
{
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock((unsigned char *)&out[0], bytes.data(), (int)bytes.size());
    out.resize((size_t)n);
    return out;
}

// A bitmap of n partitions with the given partitions set.
std::string bitmap(uint32_t n, std::initializer_list<uint32_t> set)
{
    std::vector<uint8_t> bytes((n + 7) / 8, 0);
    for (uint32_t p : set) {
        bytes[p / 8] |= (uint8_t)(0x80 >> (p % 8));
    }
    return encode(bytes);
}

struct maps {
    ox_vector v;
    maps() { ox_vector_pointer_init(&v, 4, 0); }
    ~maps()
    {
        ns_partition_map_destroy(&v);
        ox_vector_destroy(&v);
    }
    ns_partition_map *get(const char *ns)
    {
        for (uint32_t i = 0; i < ox_vector_size(&v); i++) {
            ns_partition_map *m = (ns_partition_map *)ox_vector_pointer_get(&v, i);
            if (strcmp(m->ns, ns) == 0) {
                return m;
            }
        }
        return nullptr;
    }
};

TEST(ReplicaList, EntriesAreCheckedOneByOne)
{
    const uint32_t n = 4096;
    std::string good = bitmap(n, {0, 7, 564, 4095});
    ASSERT_EQ(684u, good.size());
    log_capture log;
    struct {
        std::string list;
        std::vector<std::string> namespaces; // maps expected
        const char *warning;                 // expected log text, or ""
    } cases[] = {
        {"test:" + good + ";bar:" + good.substr(1), {"test"}, "invalid partition bitmap"},
        {"test:" + good + ";nocolon;later:" + good, {"test"}, "has no encoded bitmap"},
        {"  spaced\t :" + good, {"spaced"}, ""},
        {std::string(32, 'n') + ":" + good, {}, "invalid partition namespace"},
        {std::string(31, 'n') + ":" + good, {std::string(31, 'n')}, ""},
        {" :" + good, {}, "invalid partition namespace"},
        {"test:" + good.substr(0, 683) + "*", {}, "invalid partition bitmap"},
        {"test:" + good + "A", {}, "invalid partition bitmap"},
        {"", {}, ""},
    };
    for (auto &c : cases) {
        maps m;
        std::string text = c.list;
        parse_replicas_map(&text[0], (int)n, &m.v);
        EXPECT_EQ(c.namespaces.size(), ox_vector_size(&m.v)) << c.list.substr(0, 40);
        for (auto &ns : c.namespaces) {
            ns_partition_map *pm = m.get(ns.c_str());
            ASSERT_NE(nullptr, pm) << ns;
            EXPECT_TRUE(pm->owns[0] && pm->owns[7] && pm->owns[564] && pm->owns[4095]);
            EXPECT_FALSE(pm->owns[1] || pm->owns[563] || pm->owns[4094]);
        }
        if (*c.warning) {
            EXPECT_TRUE(log.has(c.warning)) << c.warning;
        }
    }
}

TEST(ReplicaList, UnionOfRepeatsAndNoReadingWithoutCount)
{
    maps m;
    std::string text = "test:" + bitmap(16, {1}) + ";test:" + bitmap(16, {9});
    std::string copy = text;
    parse_replicas_map(&text[0], 16, &m.v);
    ASSERT_EQ(1u, ox_vector_size(&m.v));
    EXPECT_TRUE(m.get("test")->owns[1] && m.get("test")->owns[9]);
    EXPECT_FALSE(m.get("test")->owns[0]);

    for (int bad : {0, 3, 100000}) {
        maps none;
        std::string t = copy;
        parse_replicas_map(&t[0], bad, &none.v);
        EXPECT_EQ(0u, ox_vector_size(&none.v)) << bad;
    }
    parse_replicas_map(nullptr, 16, &m.v);
}

TEST(ReplicaList, MapSetRefusesWrongLengthAndKeepsFlags)
{
    maps m;
    ns_partition_map *pm = ns_partition_map_get(&m.v, "test", 16);
    ASSERT_NE(nullptr, pm);
    EXPECT_EQ(pm, ns_partition_map_get(&m.v, "test", 16));
    std::string b = bitmap(16, {3});
    EXPECT_EQ(0, ns_partition_map_set(pm, b.c_str(), (int)b.size(), 16));
    EXPECT_EQ(-1, ns_partition_map_set(pm, "AAA", 3, 16));
    EXPECT_EQ(-1, ns_partition_map_set(pm, "AA!A", 4, 16));
    EXPECT_TRUE(pm->owns[3]);
}

class PartitionTable : public ::testing::Test {
protected:
    ka_cluster *asc = nullptr;
    ka_cluster_node *a = nullptr, *b = nullptr;
    static constexpr uint32_t N = 16;
    bool all[N], none[N];

    void SetUp() override
    {
        asc = quiet_cluster();
        ASSERT_NE(nullptr, asc);
        asc->n_partitions = N;
        a = make_node("A", 1);
        b = make_node("B", 2);
        for (uint32_t i = 0; i < N; i++) {
            all[i] = true;
            none[i] = false;
        }
    }
    void TearDown() override
    {
        ka_partition_table_destroy_all(asc);
        EXPECT_EQ(1u, refs(a));
        EXPECT_EQ(1u, refs(b));
        ka_cluster_node_release(a);
        ka_cluster_node_release(b);
        tamberlin_cluster_destroy(asc);
    }
    ka_cluster_node *get(uint32_t pid, bool write)
    {
        ka_cluster_node *cn = ka_partition_table_get(asc, "test", (ka_partition_id)pid, write);
        if (cn) {
            ka_cluster_node_put(cn);
        }
        return cn;
    }
};

TEST_F(PartitionTable, WritesGoToMasterReadsAlternate)
{
    ka_partition_table_update(asc, a, "test", all, nullptr);
    ka_partition_table_update(asc, b, "test", none, all);
    EXPECT_EQ(1u + N, refs(a));
    EXPECT_EQ(1u + N, refs(b));
    EXPECT_EQ(a, get(5, true));
    ka_cluster_node *r1 = get(5, false);
    ka_cluster_node *r2 = get(5, false);
    EXPECT_NE(r1, r2);
    EXPECT_TRUE((r1 == a && r2 == b) || (r1 == b && r2 == a));

    // The digest route takes the same path and a reference for the caller.
    ka::ox_digest d = {};
    d.digest[0] = 5;
    ka_cluster_node *cn = ka_cluster_node_get(asc, "test", &d, true);
    EXPECT_EQ(a, cn);
    EXPECT_EQ(2u + N, refs(a));
    ka_cluster_node_put(cn);

    EXPECT_EQ(nullptr, ka_partition_table_get(asc, "other", 5, true));
    EXPECT_EQ(nullptr, ka_cluster_node_get(asc, "other", &d, true)); // no node for round robin
}

TEST_F(PartitionTable, TakingASlotMakesThePreviousMasterRefresh)
{
    ka_partition_table_update(asc, a, "test", all, nullptr);
    a->partition_generation = 7;
    bool one[N] = {};
    one[3] = true;
    ka_partition_table_update(asc, b, "test", one, nullptr);
    EXPECT_EQ(KA_PARTITION_GENERATION_UNKNOWN, a->partition_generation);
    EXPECT_EQ(b, get(3, true));
    EXPECT_EQ(a, get(4, true));
    EXPECT_EQ(N, refs(a)); // N - 1 slots and creation

    // A node's reply rewrites all of its own slots.
    ka_partition_table_update(asc, a, "test", none, nullptr);
    EXPECT_EQ(nullptr, get(4, true));
    EXPECT_EQ(1u, refs(a));
}

TEST_F(PartitionTable, ProleOnlyNodeIsNotPresentAndLosesItsSlots)
{
    ka_partition_table_update(asc, a, "test", all, nullptr);
    ka_partition_table_update(asc, b, "test", none, all);
    EXPECT_TRUE(ka_partition_table_is_node_present(asc, a));
    EXPECT_FALSE(ka_partition_table_is_node_present(asc, b));
    EXPECT_EQ(1u, refs(b));
    EXPECT_EQ(a, get(9, false));
}

TEST_F(PartitionTable, TablesNeedAKnownCountAndArePublishedWhole)
{
    EXPECT_EQ(nullptr, ka_partition_table_get_by_ns(asc, "test"));
    ka_partition_table *t = ka_partition_table_create(asc, "test");
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(t, ka_partition_table_get_by_ns(asc, "test"));
    ka_partition_table *t2 = ka_partition_table_create(asc, "second");
    EXPECT_EQ(t2, asc->partition_table_head.load());
    EXPECT_EQ(t, t2->next);

    ka_cluster *fresh = quiet_cluster();
    EXPECT_EQ(nullptr, ka_partition_table_create(fresh, "test")); // count not known
    tamberlin_cluster_destroy(fresh);
}

} // namespace
