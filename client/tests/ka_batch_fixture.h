// Helpers of the batch read tests: a started library, a stand-in cluster of
// three nodes discovered by the client, records stored on the node that
// masters each digest, and a callback that keeps what each record brought.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <pthread.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "ka_cluster_fixture.h"
#include "tamberlin/ka_batch.h"
#include "tamberlin/ox_log.h"
#include "testkit/fake_cluster.h"

namespace batch_test {

// The library's start for these tests. The library-start call is not on this
// branch yet: this sets what it sets (the started flag, the process, cluster
// support), and becomes one call of it when it lands.
inline void start_library()
{
    ASSERT_EQ(0, tamberlin_init());
}

inline ka::ox_digest digest_of(uint32_t pid, uint32_t n)
{
    ka::ox_digest d = {};
    d.digest[0] = (uint8_t)(pid & 0xFF);
    d.digest[1] = (uint8_t)(pid >> 8);
    for (int i = 0; i < 4; i++)
        d.digest[2 + i] = (uint8_t)(n >> (8 * i));
    d.digest[19] = 0xB7;
    return d;
}

inline std::string key(const ka::ox_digest &d)
{
    return std::string((const char *)d.digest, OX_DIGEST_SZ);
}

inline std::string be8(int64_t v)
{
    std::string s(8, '\0');
    for (int i = 7; i >= 0; i--, v >>= 8)
        s[(size_t)i] = (char)(v & 0xFF);
    return s;
}

// The record stored for the nth digest: a set (none for every fourth), an
// integer and a string bin.
inline fake_record record_of(uint32_t n)
{
    fake_record r;
    r.set = n % 4 == 3 ? "" : "set" + std::to_string(n % 3);
    r.generation = n + 1;
    r.void_time = 5000 + n;
    r.bins = {{"i", 1, be8(n)}, {"s", 3, "v" + std::to_string(n)}};
    return r;
}

// What one callback saw.
struct got {
    std::string ns;
    std::string digest;
    bool has_set = false;
    std::string set;
    uint32_t generation = 0, void_time = 0;
    std::map<std::string, std::string> bins; // name -> "i:<n>", "s:<text>", "b:<len>"
    int n_bins = 0;
    pthread_t thread;
    char *ns_ptr = nullptr;
};

struct collector {
    std::mutex lock;
    std::vector<got> recs;
    size_t count()
    {
        std::lock_guard<std::mutex> g(lock);
        return recs.size();
    }
    std::map<std::string, got> by_digest()
    {
        std::lock_guard<std::mutex> g(lock);
        std::map<std::string, got> m;
        for (auto &r : recs)
            m[r.digest] = r;
        return m;
    }
};

inline int collect_cb(char *ns, ka::ox_digest *keyd, char *set, uint32_t generation, uint32_t void_time, ka_bin *bins,
                      int n_bins, bool, void *udata)
{
    collector *c = (collector *)udata;
    got g;
    g.ns = ns ? ns : "(null)";
    g.ns_ptr = ns;
    g.digest = keyd ? key(*keyd) : "";
    g.has_set = set != nullptr;
    g.set = set ? set : "";
    g.generation = generation;
    g.void_time = void_time;
    g.n_bins = n_bins;
    g.thread = pthread_self();
    for (int i = 0; i < n_bins; i++) {
        const ka_object &o = bins[i].object;
        std::string v;
        if (o.type == KA_INT)
            v = "i:" + std::to_string(o.u.i64);
        else if (o.type == KA_STR)
            v = "s:" + std::string(o.u.str, o.sz);
        else
            v = "b:" + std::to_string(o.sz);
        g.bins[bins[i].bin_name] = v;
    }
    tamberlin_bins_free(bins, n_bins);
    std::lock_guard<std::mutex> l(c->lock);
    c->recs.push_back(g);
    return 0;
}

// What the collector should hold for the nth stored record.
inline void expect_record(got g, uint32_t n, const char *ns = "test")
{
    fake_record r = record_of(n);
    EXPECT_EQ(ns, g.ns);
    EXPECT_EQ(!r.set.empty(), g.has_set) << n;
    EXPECT_EQ(r.set, g.set) << n;
    EXPECT_EQ(r.generation, g.generation) << n;
    EXPECT_EQ(r.void_time, g.void_time) << n;
    EXPECT_EQ(2, g.n_bins) << n;
    EXPECT_EQ("i:" + std::to_string(n), g.bins["i"]) << n;
    EXPECT_EQ("s:v" + std::to_string(n), g.bins["s"]) << n;
}

// The digests of a batch request as the stand-in recorded it, in order, and
// its head.
struct batch_request {
    bool ok = false;
    uint8_t info1 = 0, info2 = 0, info3 = 0;
    uint32_t n_fields = 0, n_ops = 0, ttl = 0;
    std::string ns;
    std::vector<std::string> digests;
    std::vector<std::string> op_names;
    size_t size = 0;
    uint8_t last_byte = 0xFF;
};

inline batch_request parse_batch_request(const std::string &m)
{
    batch_request r;
    const uint8_t *b = (const uint8_t *)m.data();
    if (m.size() < 30)
        return r;
    r.size = m.size();
    r.info1 = b[9];
    r.info2 = b[10];
    r.info3 = b[11];
    r.ttl = (uint32_t)ka_be_get(b + 22, 4);
    r.n_fields = (uint32_t)ka_be_get(b + 26, 2);
    r.n_ops = (uint32_t)ka_be_get(b + 28, 2);
    size_t p = 30;
    for (uint32_t i = 0; i < r.n_fields; i++) {
        if (m.size() - p < 5)
            return r;
        size_t sz = ka_be_get(b + p, 4);
        if (sz < 1 || sz > m.size() - p - 4)
            return r;
        std::string data = m.substr(p + 5, sz - 1);
        if (b[p + 4] == KA_MSG_FIELD_TYPE_NAMESPACE)
            r.ns = data;
        else if (b[p + 4] == KA_MSG_FIELD_TYPE_DIGEST_RIPE_ARRAY)
            for (size_t q = 0; q + 20 <= data.size(); q += 20)
                r.digests.push_back(data.substr(q, 20));
        p += 4 + sz;
    }
    for (uint32_t i = 0; i < r.n_ops; i++) {
        if (m.size() - p < 8)
            return r;
        size_t sz = ka_be_get(b + p, 4);
        r.op_names.push_back(m.substr(p + 8, b[p + 7]));
        p += 4 + sz;
    }
    r.last_byte = b[m.size() - 1];
    r.ok = true;
    return r;
}

// The batch requests a stand-in node received, in order.
inline std::vector<batch_request> batch_requests(fake_node *n)
{
    std::vector<batch_request> out;
    for (size_t i = 0; i < fake_node_request_count(n); i++) {
        fake_request rq;
        if (fake_node_request(n, i, &rq) && rq.kind == FAKE_REQ_BATCH)
            out.push_back(parse_batch_request(rq.message));
    }
    return out;
}

// A started library and a client cluster over three stand-in nodes.
class BatchTest : public cluster_test::fake_cluster_test {
protected:
    static constexpr uint32_t NP = 4096;
    char ns[8] = "test";

    void SetUp() override
    {
        cfg.n_nodes = 3;
        cfg.n_partitions = NP;
        start_library();
        start_fake(true);
        ASSERT_EQ(0, add_seed());
        ASSERT_EQ(3, tamberlin_cluster_get_nodecount(asc));
        // The discovery's own info connections are closed by now, all but
        // the tend's persistent one: count the closes of the test from here.
        for (int m = 0; m < 3; m++) {
            uint64_t end = ka::ox_getms() + 10000;
            while (fake_node_peer_closes(node(m)) != fake_node_connections(node(m)) - 1 && ka::ox_getms() < end)
                fake_node_wait_peer_closes(node(m), fake_node_peer_closes(node(m)) + 1, 100);
            ASSERT_EQ(fake_node_connections(node(m)) - 1, fake_node_peer_closes(node(m)));
            closes0[m] = fake_node_peer_closes(node(m));
        }
    }
    void TearDown() override
    {
        ka_batch_test_set_silence_ms(KA_BATCH_SILENCE_MS);
        ka_batch_test_fail_push_at(-1);
        ka_batch_test_fail_complete_q(false);
        ka_batch_test_fail_thread_start(false);
        ka::g_initialized = true;
        fake_cluster_test::TearDown();
    }
    int closes0[3] = {0, 0, 0};

    fake_node *node(int i) { return fake_cluster_node(fc, i); }
    // Connections the client closed on node m since the test began.
    int closes(int m) { return fake_node_peer_closes(node(m)) - closes0[m]; }
    bool wait_closes(int m, int n) { return fake_node_wait_peer_closes(node(m), closes0[m] + n, 10000); }
    ka_cluster_node *client_node(int i)
    {
        std::string name = fake_cluster_node_name(fc, i);
        return ka_cluster_node_get_byname(asc, &name[0]);
    }
    int pooled(int i) { return ox_queue_sz(client_node(i)->conn_q); }
    // The stand-in node that masters a digest.
    int master_of(const ka::ox_digest &d) { return fake_cluster_master(fc, ka_partition_getid(d.digest, NP)); }
    // n digests whose partitions spread over the nodes, numbered from first.
    std::vector<ka::ox_digest> digests_any(uint32_t n, uint32_t first = 0)
    {
        std::vector<ka::ox_digest> v;
        for (uint32_t i = 0; i < n; i++)
            v.push_back(digest_of(((first + i) * 37) % NP, first + i));
        return v;
    }
    // n digests all mastered by stand-in node m, numbered from first.
    std::vector<ka::ox_digest> digests_on(int m, uint32_t n, uint32_t first = 0)
    {
        std::vector<ka::ox_digest> v;
        for (uint32_t pid = 0, i = first; v.size() < n; pid = (pid + 1) % NP) {
            if (fake_cluster_master(fc, pid) == m)
                v.push_back(digest_of(pid, i++));
        }
        return v;
    }
    // Stores record_of(first + i) for every digest but those skip() names.
    template <typename F>
    void store(const std::vector<ka::ox_digest> &ds, uint32_t first, F skip)
    {
        for (uint32_t i = 0; i < ds.size(); i++)
            if (!skip(first + i))
                fake_node_put_record(node(master_of(ds[i])), "test", ds[i].digest, record_of(first + i));
    }
    void store(const std::vector<ka::ox_digest> &ds, uint32_t first = 0)
    {
        store(ds, first, [](uint32_t) { return false; });
    }
    int get(const std::vector<ka::ox_digest> &ds, collector *c, ka_bin *bins = nullptr, int n_bins = 0)
    {
        return tamberlin_get_many_digest(asc, ns, ds.data(), (int)ds.size(), bins, n_bins, true, collect_cb, c);
    }
    std::vector<uint32_t> node_refs()
    {
        std::vector<uint32_t> v;
        for (int i = 0; i < 3; i++)
            v.push_back(cluster_test::refs(client_node(i)));
        return v;
    }
    int batch_count(int i) { return (int)batch_requests(node(i)).size(); }
};

} // namespace batch_test
