// Batch reads against a stand-in cluster of three nodes: routing and order of
// the digests, the request bytes, every shape of reply, bins by name, large
// records and batches, record faults, records left out alone for their
// contents, malformed replies (each fails its part with -1 and closes its
// connection, with nothing leaked under the sanitizers), silence, the direct variant, the workers' start and stop, and
// calls that must fail instead of waiting.
#include "ka_batch_fixture.h"

#include <csignal>
#include <set>
#include <sys/wait.h>
#include <thread>

using namespace batch_test;

namespace {

// The place of a digest in ds (ds.size() when it is not there).
uint32_t number_of(const std::vector<ka::ox_digest> &ds, const std::string &digest)
{
    uint32_t n = 0;
    while (n < ds.size() && key(ds[n]) != digest)
        n++;
    return n;
}

TEST_F(BatchTest, EachNodeGetsOneRequestWithItsDigestsInTheCallersOrder)
{
    std::vector<ka::ox_digest> ds = digests_any(60);
    store(ds, 0, [](uint32_t n) { return n % 7 == 5; }); // some are missing
    std::vector<uint32_t> refs_before = node_refs();

    collector c;
    ASSERT_EQ(0, get(ds, &c));

    // Exactly the stored records, once each, on worker threads.
    std::map<std::string, got> seen = c.by_digest();
    EXPECT_EQ(c.count(), seen.size());
    size_t stored = 0;
    for (uint32_t i = 0; i < ds.size(); i++) {
        auto it = seen.find(key(ds[i]));
        if (i % 7 == 5) {
            EXPECT_EQ(seen.end(), it) << i;
            continue;
        }
        stored++;
        ASSERT_NE(seen.end(), it) << i;
        expect_record(it->second, i);
        EXPECT_EQ(ns, it->second.ns_ptr); // the request's namespace itself
        EXPECT_FALSE(pthread_equal(pthread_self(), it->second.thread));
    }
    EXPECT_EQ(stored, seen.size());

    // One request per node listing its digests in the caller's order.
    for (int m = 0; m < 3; m++) {
        std::vector<batch_request> rqs = batch_requests(node(m));
        ASSERT_EQ(1u, rqs.size()) << m;
        const batch_request &r = rqs[0];
        ASSERT_TRUE(r.ok);
        std::vector<std::string> want;
        for (auto &d : ds)
            if (master_of(d) == m)
                want.push_back(key(d));
        EXPECT_EQ(want, r.digests) << m;
        EXPECT_EQ(KA_MSG_INFO1_READ, r.info1);
        EXPECT_EQ(0, r.info2);
        EXPECT_EQ(0, r.info3);
        EXPECT_EQ(2u, r.n_fields);
        EXPECT_EQ(0u, r.n_ops);
        EXPECT_EQ(0u, r.ttl);
        EXPECT_EQ("test", r.ns);
        EXPECT_EQ(30 + 5 + 4 + 5 + 20 * want.size() + 1, r.size);
        EXPECT_EQ(0, r.last_byte);
        // The connection went back to the pool; the node answered.
        EXPECT_EQ(1, pooled(m));
        EXPECT_EQ(0u, client_node(m)->intervals_unreachable.load());
    }
    EXPECT_EQ(refs_before, node_refs());

    // A second call reuses the pooled connections.
    int conns[3];
    for (int m = 0; m < 3; m++)
        conns[m] = fake_node_connections(node(m));
    collector c2;
    ASSERT_EQ(0, get(ds, &c2));
    EXPECT_EQ(stored, c2.count());
    for (int m = 0; m < 3; m++) {
        EXPECT_EQ(conns[m], fake_node_connections(node(m)));
        EXPECT_EQ(0, closes(m));
    }
}

TEST_F(BatchTest, CallsThatCannotRunReturnAtOnceAndSendNothing)
{
    std::vector<ka::ox_digest> ds = digests_any(5);
    store(ds);
    collector c;
    char long_ns[40];
    memset(long_ns, 'n', 32);
    long_ns[32] = '\0';
    EXPECT_EQ(0, tamberlin_get_many_digest(asc, ns, ds.data(), 0, nullptr, 0, true, collect_cb, &c));
    EXPECT_EQ(-1, tamberlin_get_many_digest(nullptr, ns, ds.data(), 5, nullptr, 0, true, collect_cb, &c));
    EXPECT_EQ(-1, tamberlin_get_many_digest(asc, nullptr, ds.data(), 5, nullptr, 0, true, collect_cb, &c));
    EXPECT_EQ(-1, tamberlin_get_many_digest(asc, ns, nullptr, 5, nullptr, 0, true, collect_cb, &c));
    EXPECT_EQ(-1, tamberlin_get_many_digest(asc, ns, ds.data(), -1, nullptr, 0, true, collect_cb, &c));
    EXPECT_EQ(-1, tamberlin_get_many_digest(asc, ns, ds.data(), 5, nullptr, 2, true, collect_cb, &c));
    EXPECT_EQ(-1, tamberlin_get_many_digest(asc, long_ns, ds.data(), 5, nullptr, 0, true, collect_cb, &c));
    ka::g_initialized = false;
    EXPECT_EQ(-1, tamberlin_get_many_digest(asc, ns, ds.data(), 5, nullptr, 0, true, collect_cb, &c));
    EXPECT_EQ(-1, tamberlin_exists_many_digest(asc, ns, ds.data(), 5, nullptr, 0, true, collect_cb, &c));
    ka_batchresult *br = nullptr;
    EXPECT_EQ(-1, tamberlin_get_many_digest_direct(asc, ns, ds.data(), 5, &br));
    EXPECT_EQ(nullptr, br);
    ka::g_initialized = true;
    EXPECT_EQ(0u, c.count());
    for (int m = 0; m < 3; m++)
        EXPECT_EQ(0, batch_count(m));
}

TEST_F(BatchTest, ExistenceCheckCallsBackOnlyTheRecordsThatExist)
{
    std::vector<ka::ox_digest> ds = digests_any(30);
    store(ds, 0, [](uint32_t n) { return n % 3 == 0; });
    struct {
        const char *name;
        bool exists;
    } cases[] = {{"read", false}, {"existence check", true}};
    for (auto &cs : cases) {
        SCOPED_TRACE(cs.name);
        collector c;
        int rv = cs.exists ? tamberlin_exists_many_digest(asc, ns, ds.data(), (int)ds.size(), nullptr, 0, true,
                                                          collect_cb, &c)
                           : get(ds, &c);
        ASSERT_EQ(0, rv);
        std::map<std::string, got> seen = c.by_digest();
        EXPECT_EQ(20u, c.count());
        for (uint32_t i = 0; i < ds.size(); i++) {
            auto it = seen.find(key(ds[i]));
            ASSERT_EQ(i % 3 != 0, it != seen.end()) << i;
            if (it == seen.end())
                continue;
            EXPECT_EQ(record_of(i).generation, it->second.generation);
            EXPECT_EQ(cs.exists ? 0 : 2, it->second.n_bins);
        }
        std::vector<batch_request> rqs = batch_requests(node(0));
        ASSERT_FALSE(rqs.empty());
        EXPECT_EQ(cs.exists ? 0x21 : 0x01, rqs.back().info1);
        for (int m = 0; m < 3; m++)
            EXPECT_EQ(1, pooled(m));
    }
}

TEST_F(BatchTest, EveryShapeOfReplyBringsTheSameRecords)
{
    std::vector<ka::ox_digest> ds = digests_any(40);
    store(ds, 0, [](uint32_t n) { return n % 5 == 1; });
    struct {
        const char *name;
        int per_message;
        bool separate_last;
        fake_batch_compress compress;
    } cases[] = {
        {"one record per message", 1, false, FAKE_BATCH_PLAIN},
        {"three per message", 3, false, FAKE_BATCH_PLAIN},
        {"all in one message", 1000, false, FAKE_BATCH_PLAIN},
        {"LAST on a message of its own", 3, true, FAKE_BATCH_PLAIN},
        {"LAST alone after single records", 1, true, FAKE_BATCH_PLAIN},
        {"compressed with the inner header", 3, false, FAKE_BATCH_COMPRESSED_WITH_HEADER},
        {"compressed without the inner header", 3, false, FAKE_BATCH_COMPRESSED_BARE},
        {"compressed, LAST alone", 2, true, FAKE_BATCH_COMPRESSED_BARE},
        {"compressed in one message", 1000, false, FAKE_BATCH_COMPRESSED_WITH_HEADER},
    };
    for (auto &cs : cases) {
        SCOPED_TRACE(cs.name);
        fake_batch_opts o;
        o.per_message = cs.per_message;
        o.separate_last = cs.separate_last;
        o.compress = cs.compress;
        for (int m = 0; m < 3; m++)
            fake_node_set_batch_opts(node(m), o);
        collector c;
        ASSERT_EQ(0, get(ds, &c));
        std::map<std::string, got> seen = c.by_digest();
        EXPECT_EQ(32u, c.count());
        for (uint32_t i = 0; i < ds.size(); i++) {
            auto it = seen.find(key(ds[i]));
            ASSERT_EQ(i % 5 != 1, it != seen.end()) << i;
            if (it != seen.end())
                expect_record(it->second, i);
        }
        for (int m = 0; m < 3; m++) {
            EXPECT_EQ(1, pooled(m)) << m;
            EXPECT_EQ(0, closes(m)) << m;
        }
    }
}

TEST_F(BatchTest, NamedBinsAreAskedForByName)
{
    std::vector<ka::ox_digest> ds = digests_any(9);
    store(ds);
    ka_bin want[1];
    strcpy(want[0].bin_name, "s");
    tamberlin_object_init(&want[0].object);
    collector c;
    ASSERT_EQ(0, get(ds, &c, want, 1));
    ASSERT_EQ(9u, c.count());
    for (auto &[d, g] : c.by_digest()) {
        EXPECT_EQ(1, g.n_bins);
        EXPECT_EQ(1u, g.bins.count("s"));
    }
    for (int m = 0; m < 3; m++) {
        std::vector<batch_request> rqs = batch_requests(node(m));
        ASSERT_EQ(1u, rqs.size());
        EXPECT_EQ(1u, rqs[0].n_ops);
        EXPECT_EQ(std::vector<std::string>{"s"}, rqs[0].op_names);
    }
    // A bin whose value cannot be sent fails the parts before anything is sent.
    ka_bin bad[1];
    strcpy(bad[0].bin_name, "f");
    bad[0].object.type = KA_FLOAT;
    bad[0].object.sz = 8;
    bad[0].object.free = nullptr;
    collector c2;
    EXPECT_EQ(-1, get(ds, &c2, bad, 1));
    for (int m = 0; m < 3; m++)
        EXPECT_EQ(1, batch_count(m));
}

TEST_F(BatchTest, LargeRecordsAndLargeBatchesTakeTheHeap)
{
    // Records of 100 bins (the worker's own array), 150 bins and one of a
    // 40000-byte value (a body beyond the worker's buffer).
    std::vector<ka::ox_digest> ds = digests_on(0, 3);
    const size_t sizes[] = {100, 150, 1};
    for (int i = 0; i < 3; i++) {
        fake_record r;
        r.generation = 1;
        for (size_t b = 0; b < sizes[i]; b++)
            r.bins.push_back({"b" + std::to_string(b), 3, i == 2 ? std::string(40000, 'x') : "v" + std::to_string(b)});
        fake_node_put_record(node(0), "test", ds[(size_t)i].digest, r);
    }
    collector c;
    ASSERT_EQ(0, get(ds, &c));
    std::map<std::string, got> seen = c.by_digest();
    ASSERT_EQ(3u, seen.size());
    EXPECT_EQ(100, seen[key(ds[0])].n_bins);
    EXPECT_EQ("s:v99", seen[key(ds[0])].bins["b99"]);
    EXPECT_EQ(150, seen[key(ds[1])].n_bins);
    EXPECT_EQ("s:v149", seen[key(ds[1])].bins["b149"]);
    EXPECT_EQ("s:" + std::string(40000, 'x'), seen[key(ds[2])].bins["b0"]);
    EXPECT_EQ(1, pooled(0));

    // 1000 digests of one node: a request of 20045 bytes and reply bodies
    // beyond 16 KiB, plain and compressed.
    std::vector<ka::ox_digest> many = digests_on(1, 1000, 100);
    store(many, 100);
    for (fake_batch_compress z : {FAKE_BATCH_PLAIN, FAKE_BATCH_COMPRESSED_WITH_HEADER}) {
        fake_batch_opts o;
        o.per_message = 1000;
        o.compress = z;
        fake_node_set_batch_opts(node(1), o);
        collector big;
        ASSERT_EQ(0, get(many, &big));
        std::map<std::string, got> s2 = big.by_digest();
        ASSERT_EQ(1000u, s2.size());
        for (uint32_t i = 0; i < 1000; i += 97)
            expect_record(s2[key(many[i])], 100 + i);
        std::vector<batch_request> rqs = batch_requests(node(1));
        ASSERT_FALSE(rqs.empty());
        EXPECT_EQ(20045u, rqs.back().size);
        EXPECT_EQ(1000u, rqs.back().digests.size());
        EXPECT_EQ(1, pooled(1));
    }
}

// Faults in the records of a reply; all digests on node 0, the fault at
// record 1 of 5, three records per protocol message.
TEST_F(BatchTest, RecordFaultsKeepTheFirstErrorAndThePoolClean)
{
    std::vector<ka::ox_digest> ds = digests_on(0, 5);
    store(ds);
    struct {
        const char *name;
        fake_fault_kind kind;
        int expect_rv;
        std::set<uint32_t> delivered; // record numbers called back
        bool closed;
    } cases[] = {
        // The error of record 1 stays, although record 2 of the same message
        // carries bins; the messages after it are never read.
        {"result code mid-batch", FAKE_FAULT_BATCH_MID_RESULT, 9, {0, 2}, true},
        // Bins that no digest names are left out alone; the part reads on.
        {"record without a digest", FAKE_FAULT_BATCH_NO_DIGEST, 0, {0, 2, 3, 4}, false},
        {"record without a namespace", FAKE_FAULT_BATCH_NO_NAMESPACE, 0, {0, 1, 2, 3, 4}, false},
        {"record of another namespace", FAKE_FAULT_BATCH_OTHER_NAMESPACE, 0, {0, 1, 2, 3, 4}, false},
        {"record without a set after one with a set", FAKE_FAULT_BATCH_NO_SET, 0, {0, 1, 2, 3, 4}, false},
        {"a record sent twice", FAKE_FAULT_BATCH_EXTRA_RECORD, 0, {0, 1, 2, 3, 4}, false},
    };
    int closes = 0;
    for (auto &cs : cases) {
        SCOPED_TRACE(cs.name);
        std::vector<uint32_t> refs_before = node_refs();
        fake_batch_opts o;
        o.per_message = 3;
        fake_node_set_batch_opts(node(0), o);
        fake_fault f;
        f.kind = cs.kind;
        f.on = FAKE_REQ_BATCH;
        f.batch_record = 1;
        f.result_code = 9;
        fake_node_set_fault(node(0), f);
        collector c;
        EXPECT_EQ(cs.expect_rv, get(ds, &c));
        std::multiset<uint32_t> got_n;
        for (auto &g : c.recs) {
            uint32_t n = number_of(ds, g.digest);
            ASSERT_LT(n, ds.size());
            got_n.insert(n);
            EXPECT_EQ("test", g.ns); // the request's, whatever the record said
            if (cs.kind == FAKE_FAULT_BATCH_NO_SET && n == 1) {
                EXPECT_FALSE(g.has_set);
                EXPECT_EQ(2, g.n_bins);
            } else {
                expect_record(g, n);
            }
        }
        std::multiset<uint32_t> want(cs.delivered.begin(), cs.delivered.end());
        if (cs.kind == FAKE_FAULT_BATCH_EXTRA_RECORD)
            want.insert(1); // one callback per record message
        EXPECT_EQ(want, got_n);
        if (cs.closed) {
            closes++;
            EXPECT_TRUE(wait_closes(0, closes));
            EXPECT_EQ(0, pooled(0));
        } else {
            EXPECT_EQ(1, pooled(0));
        }
        EXPECT_EQ(refs_before, node_refs());
        // Whatever happened, the next call reads a reply of its own.
        collector next;
        EXPECT_EQ(0, get(ds, &next));
        EXPECT_EQ(5u, next.count());
        EXPECT_EQ(1, pooled(0));
    }
}

// A record whose sizes hold but whose contents cannot be handed on is left
// out alone: the records before and after it come, the part succeeds and its
// connection goes back to the pool. Names the callback does not use (the
// namespace) or that a single read takes too (a set name of 32 bytes) come.
constexpr size_t kContentsFaults = 5;
TEST_F(BatchTest, RecordsWhoseContentsCannotBeHandedOnAreLeftOutAlone)
{
    std::vector<ka::ox_digest> ds = digests_on(0, 3);
    store(ds);
    struct {
        fake_bad_batch bad;
        std::set<uint32_t> delivered;
    } cases[] = {
        {FAKE_BAD_BATCH_NS_32, {0, 1, 2}},
        {FAKE_BAD_BATCH_SET_32, {0, 1, 2}},
        {FAKE_BAD_BATCH_BIN_NAME_32, {0, 2}},
        {FAKE_BAD_BATCH_PARTICLE_TYPE, {0, 2}},
        {FAKE_BAD_BATCH_INT_TOO_LONG, {0, 2}},
    };
    static_assert(sizeof(cases) / sizeof(cases[0]) == kContentsFaults, "the count the other table adds");
    for (int per : {1, 3}) {
        fake_batch_opts o;
        o.per_message = per;
        fake_node_set_batch_opts(node(0), o);
        for (auto &cs : cases) {
            SCOPED_TRACE(testing::Message() << "bad batch reply " << (int)cs.bad << ", records per message " << per);
            std::vector<uint32_t> refs_before = node_refs();
            fake_fault f;
            f.kind = FAKE_FAULT_BATCH_MALFORMED;
            f.on = FAKE_REQ_BATCH;
            f.batch_record = 1;
            f.bad_batch = cs.bad;
            fake_node_set_fault(node(0), f);
            collector c;
            EXPECT_EQ(0, get(ds, &c));
            std::set<uint32_t> got_n;
            for (auto &g : c.recs) {
                uint32_t n = number_of(ds, g.digest);
                ASSERT_LT(n, ds.size());
                got_n.insert(n);
                if (n != 1) {
                    expect_record(g, n);
                } else if (cs.bad == FAKE_BAD_BATCH_SET_32) {
                    EXPECT_EQ(std::string(32, 's'), g.set);
                }
            }
            EXPECT_EQ(cs.delivered, got_n);
            EXPECT_EQ(1, pooled(0));
            EXPECT_EQ(refs_before, node_refs());
        }
    }

    // Set names as long as a single read takes them; a longer one is left out.
    fake_node_set_fault(node(0), fake_fault{});
    std::vector<ka::ox_digest> named = digests_on(0, 5, 100);
    const size_t lens[] = {31, 32, 40, KA_SET_NAME_SZ - 1, KA_SET_NAME_SZ};
    for (uint32_t i = 0; i < 5; i++) {
        fake_record r = record_of(100 + i);
        r.set = std::string(lens[i], (char)('a' + i));
        fake_node_put_record(node(0), "test", named[i].digest, r);
    }
    collector c;
    EXPECT_EQ(0, get(named, &c));
    std::map<std::string, got> by = c.by_digest();
    for (uint32_t i = 0; i < 5; i++) {
        SCOPED_TRACE(testing::Message() << "set name of " << lens[i] << " bytes");
        if (lens[i] >= KA_SET_NAME_SZ) {
            EXPECT_EQ(0u, by.count(key(named[i])));
            continue;
        }
        ASSERT_EQ(1u, by.count(key(named[i])));
        EXPECT_EQ(std::string(lens[i], (char)('a' + i)), by[key(named[i])].set);
        EXPECT_EQ(2, by[key(named[i])].n_bins);
    }
    EXPECT_EQ(1, pooled(0));
}

// Each malformed reply fails its part with -1, closes the connection, keeps
// the records delivered before it, and leaks nothing (the sanitizer builds
// check the last). Record 1 of 3 is broken; records carry string bins, and
// a broken op comes after good ones, so partly decoded values must be freed.
TEST_F(BatchTest, MalformedRepliesFailThePartAndCloseItsConnection)
{
    std::vector<ka::ox_digest> ds = digests_on(0, 3);
    store(ds);
    const fake_bad_batch cases[] = {
        FAKE_BAD_BATCH_VERSION,        FAKE_BAD_BATCH_TYPE,
        FAKE_BAD_BATCH_SIZE_PAST_END,  FAKE_BAD_BATCH_HUGE_SIZE,
        FAKE_BAD_BATCH_RECORD_CUT,     FAKE_BAD_BATCH_HEADER_SZ,
        FAKE_BAD_BATCH_FIELD_PAST_BODY, FAKE_BAD_BATCH_FIELD_ZERO,
        FAKE_BAD_BATCH_FIELD_COUNT,    FAKE_BAD_BATCH_DIGEST_SHORT,
        FAKE_BAD_BATCH_DIGEST_LONG,    FAKE_BAD_BATCH_OP_PAST_BODY,
        FAKE_BAD_BATCH_OP_COUNT,       FAKE_BAD_BATCH_OP_COUNT_ONE_MORE,
        FAKE_BAD_BATCH_NEGATIVE_VALUE_LEN,
        FAKE_BAD_BATCH_Z_SHORT,        FAKE_BAD_BATCH_Z_NO_LENGTH,
        FAKE_BAD_BATCH_Z_HUGE_ORG,     FAKE_BAD_BATCH_Z_ORG_SZ,
        FAKE_BAD_BATCH_Z_INNER_SIZE,   FAKE_BAD_BATCH_Z_INNER_TYPE,
        FAKE_BAD_BATCH_Z_TRAILING,     FAKE_BAD_BATCH_SIZE_FAR_PAST_END,
    };
    static_assert(sizeof(cases) / sizeof(cases[0]) + kContentsFaults == FAKE_BAD_BATCH_COUNT_,
                  "every malformed reply is in this table or in the one of records left out alone");
    fake_batch_opts o;
    o.per_message = 3; // the broken record still travels alone
    fake_node_set_batch_opts(node(0), o);
    std::vector<uint32_t> refs_before = node_refs();
    int closes = 0;
    for (fake_bad_batch bad : cases) {
        SCOPED_TRACE(testing::Message() << "bad batch reply " << (int)bad);
        fake_fault f;
        f.kind = FAKE_FAULT_BATCH_MALFORMED;
        f.on = FAKE_REQ_BATCH;
        f.batch_record = 1;
        f.bad_batch = bad;
        fake_node_set_fault(node(0), f);
        collector c;
        EXPECT_EQ(-1, get(ds, &c));
        ASSERT_EQ(1u, c.count());
        EXPECT_EQ(key(ds[0]), c.recs[0].digest);
        expect_record(c.recs[0], 0);
        closes++;
        EXPECT_TRUE(wait_closes(0, closes));
        EXPECT_EQ(0, pooled(0));
        EXPECT_EQ(refs_before, node_refs());
    }
    collector c;
    EXPECT_EQ(0, get(ds, &c));
    EXPECT_EQ(3u, c.count());
}

// The same bytes fed to the parser directly: the fuzz target's entry point
// agrees with the network path.
TEST(BatchParse, ReplyBytesParseAsOnTheWire)
{
    // Two records (the second with LAST) in one protocol message.
    auto record = [](uint8_t d0, bool last, uint8_t rc) {
        std::string r;
        r += (char)22;
        r += std::string("\0\0", 2);
        r += (char)(last ? 1 : 0);
        r += (char)0;
        r += (char)rc;
        r += be8(7).substr(4);    // generation 7
        r += be8(100).substr(4);  // void time 100
        r += std::string(4, '\0');
        r += std::string("\0\x02\0\x01", 4);
        r += std::string("\0\0\0\x05\0test", 9);
        r += std::string("\0\0\0\x15\x04", 5) + std::string(1, (char)d0) + std::string(19, 'd');
        r += std::string("\0\0\0\x0d\x01\x01\0\x01", 8) + "i" + be8(d0);
        return r;
    };
    auto message = [](const std::string &body) {
        std::string m = "\x02\x03";
        m += be8((int64_t)body.size()).substr(2);
        return m + body;
    };
    struct {
        const char *name;
        std::string bytes;
        int rv;
        size_t records;
    } cases[] = {
        {"two records, LAST", message(record(1, false, 0) + record(2, true, 0)), 0, 2},
        {"two messages", message(record(1, false, 0)) + message(record(2, true, 0)), 0, 2},
        {"not found is silent", message(record(1, false, 2) + record(2, true, 0)), 0, 1},
        {"ends without LAST", message(record(1, false, 0)), -1, 1},
        {"first error kept", message(record(1, false, 9) + record(2, false, 0) + record(3, true, 11)), 9, 1},
        {"cut inside a message", message(record(1, true, 0)).substr(0, 40), -1, 0},
        {"header only", std::string("\x02\x03\0\0\0\0\0", 7), -1, 0},
    };
    for (auto &cs : cases) {
        SCOPED_TRACE(cs.name);
        collector c;
        char ns[] = "test";
        std::string bytes = cs.bytes;
        EXPECT_EQ(cs.rv, ka_batch_parse_reply(ns, false, (uint8_t *)&bytes[0], bytes.size(), collect_cb, &c));
        EXPECT_EQ(cs.records, c.count());
        for (auto &g : c.recs) {
            EXPECT_EQ(7u, g.generation);
            EXPECT_EQ(100u, g.void_time);
            EXPECT_EQ("i:" + std::to_string((uint8_t)g.digest[0]), g.bins["i"]);
        }
    }
}

TEST_F(BatchTest, APartThatFallsSilentFailsAndClosesItsConnection)
{
    ka_batch_test_set_silence_ms(300);
    std::vector<ka::ox_digest> ds = digests_on(0, 4);
    store(ds);
    struct {
        const char *name;
        fake_fault_kind kind;
        size_t delivered;
    } cases[] = {
        {"silent after two records", FAKE_FAULT_BATCH_SILENT_AFTER, 2},
        {"no reply at all", FAKE_FAULT_SILENT, 0},
    };
    int closes = 0;
    for (auto &cs : cases) {
        SCOPED_TRACE(cs.name);
        fake_batch_opts o;
        o.per_message = 1;
        fake_node_set_batch_opts(node(0), o);
        fake_fault f;
        f.kind = cs.kind;
        f.on = FAKE_REQ_BATCH;
        f.batch_record = 2;
        fake_node_set_fault(node(0), f);
        collector c;
        EXPECT_EQ(-1, get(ds, &c));
        EXPECT_EQ(cs.delivered, c.count());
        closes++;
        EXPECT_TRUE(wait_closes(0, closes));
        EXPECT_EQ(0, pooled(0));
    }
}

// The limit measures the node's silence, not the caller's callback: a
// callback that takes longer than the limit on the first record does not
// fail the part, whose later messages were waiting all along.
TEST_F(BatchTest, TimeInTheCallbackIsNotSilence)
{
    const uint32_t limit = 1000;
    ka_batch_test_set_silence_ms(limit);
    std::vector<ka::ox_digest> ds = digests_on(0, 3);
    store(ds);
    fake_batch_opts o;
    o.per_message = 1;
    fake_node_set_batch_opts(node(0), o);
    struct slow {
        collector c;
        std::atomic<int> calls{0};
        fake_node *node;
        size_t sent_before;
    } s;
    s.node = node(0);
    s.sent_before = fake_node_replies_sent(s.node);
    auto cb = [](char *ns_, ka::ox_digest *d, char *set, uint32_t g, uint32_t v, ka_bin *b, int n, bool l,
                 void *u) -> int {
        slow *sl = (slow *)u;
        if (sl->calls++ == 0) {
            // The later messages wait in the socket all along: the node has
            // sent the whole reply. Then the callback's own work outlasts the
            // limit (a length of time, which orders nothing).
            EXPECT_TRUE(fake_node_wait_replies_sent(sl->node, sl->sent_before + 1, 30000));
            std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        }
        return collect_cb(ns_, d, set, g, v, b, n, l, &sl->c);
    };
    EXPECT_EQ(0, tamberlin_get_many_digest(asc, ns, ds.data(), 3, nullptr, 0, true, cb, &s));
    EXPECT_EQ(3u, s.c.count());
    EXPECT_EQ(1, pooled(0));
}

TEST_F(BatchTest, ADigestWithoutAnyNodeFailsTheCall)
{
    // A cluster without nodes: nothing to route to, nothing left held.
    ka_cluster *empty = tamberlin_cluster_create();
    ASSERT_NE(nullptr, empty);
    std::vector<ka::ox_digest> ds = digests_any(4);
    collector c;
    cluster_test::log_capture log;
    EXPECT_EQ(-1, tamberlin_get_many_digest(empty, ns, ds.data(), 4, nullptr, 0, true, collect_cb, &c));
    EXPECT_TRUE(log.has("index 0: can't get any node"));
    tamberlin_cluster_destroy(empty);
}

// More distinct nodes than the call's stack table holds: 40 client nodes
// (all at one stand-in) chosen round robin, one part each.
TEST(BatchManyNodes, ACallOverFortyNodesSendsFortyParts)
{
    start_library();
    fake_node *fn = fake_node_create();
    ASSERT_EQ(0, fake_node_start(fn, 0));
    ka_cluster *asc = cluster_test::quiet_cluster();
    ASSERT_NE(nullptr, asc);
    for (int i = 0; i < 40; i++) {
        std::string name = "N" + std::to_string(i);
        cluster_test::append_node(asc, cluster_test::make_node(name.c_str(), fake_node_port(fn)));
    }
    std::vector<ka::ox_digest> ds;
    for (uint32_t i = 0; i < 80; i++) {
        ds.push_back(digest_of(i, i));
        fake_node_put_record(fn, "test", ds.back().digest, record_of(i));
    }
    collector c;
    char ns[] = "test";
    EXPECT_EQ(0, tamberlin_get_many_digest(asc, ns, ds.data(), 80, nullptr, 0, true, collect_cb, &c));
    EXPECT_EQ(80u, c.count());
    std::vector<batch_request> rqs = batch_requests(fn);
    EXPECT_EQ(40u, rqs.size());
    for (auto &r : rqs)
        EXPECT_EQ(2u, r.digests.size());
    tamberlin_cluster_destroy(asc);
    fake_node_destroy(fn);
}

TEST_F(BatchTest, DirectVariantKeepsAtMostOneRecordPerDigest)
{
    std::vector<ka::ox_digest> ds = digests_on(2, 6);
    store(ds, 0, [](uint32_t n) { return n == 4; });
    ka_batchresult *br = nullptr;
    ASSERT_EQ(0, tamberlin_get_many_digest_direct(asc, ns, ds.data(), 6, &br));
    ASSERT_NE(nullptr, br);
    EXPECT_EQ(5, br->numrecs);
    std::set<std::string> keys;
    for (int i = 0; i < br->numrecs; i++) {
        ka_rec &r = br->records[i];
        keys.insert(key(r.digest));
        ASSERT_EQ(2, r.n_bins);
        uint32_t n = r.generation - 1;
        EXPECT_EQ(record_of(n).void_time, r.record_voidtime);
        EXPECT_EQ(KA_STR, r.bins[1].object.type);
        EXPECT_EQ("v" + std::to_string(n), std::string(r.bins[1].object.u.str));
    }
    EXPECT_EQ(5u, keys.size());
    tamberlin_free_batchresult(br);
    tamberlin_free_batchresult(nullptr);

    // More records than digests: the extra one is not kept (nor leaked).
    std::vector<ka::ox_digest> two(ds.begin(), ds.begin() + 2);
    fake_fault f;
    f.kind = FAKE_FAULT_BATCH_EXTRA_RECORD;
    f.on = FAKE_REQ_BATCH;
    f.batch_record = 0;
    fake_node_set_fault(node(2), f);
    br = nullptr;
    ASSERT_EQ(0, tamberlin_get_many_digest_direct(asc, ns, two.data(), 2, &br));
    ASSERT_NE(nullptr, br);
    EXPECT_EQ(2, br->numrecs);
    tamberlin_free_batchresult(br);

    // A part that fails with -1 gives no result.
    f.kind = FAKE_FAULT_BATCH_MALFORMED;
    f.bad_batch = FAKE_BAD_BATCH_HEADER_SZ;
    f.batch_record = 1;
    fake_node_set_fault(node(2), f);
    br = nullptr;
    EXPECT_EQ(-1, tamberlin_get_many_digest_direct(asc, ns, ds.data(), 6, &br));
    EXPECT_EQ(nullptr, br);
}

TEST_F(BatchTest, WorkersStartOnceClampedAndStartAgainAfterStop)
{
    tamberlin_batch_shutdown();
    EXPECT_EQ(0u, batch_initialized);
    tamberlin_batch_shutdown(); // nothing to stop

    ASSERT_EQ(0, tamberlin_batch_init(0));
    EXPECT_EQ(1, ka::g_batch_thread_count);
    tamberlin_batch_shutdown();
    {
        cluster_test::log_capture log;
        ASSERT_EQ(0, tamberlin_batch_init(9));
        EXPECT_TRUE(log.has("Batch threads are limited to 6"));
    }
    EXPECT_EQ(6, ka::g_batch_thread_count);
    ASSERT_EQ(0, tamberlin_batch_init(3));
    EXPECT_EQ(6, ka::g_batch_thread_count);

    // Stopped, a later call starts six workers again by itself.
    tamberlin_batch_shutdown();
    std::vector<ka::ox_digest> ds = digests_any(6);
    store(ds);
    collector c;
    EXPECT_EQ(0, get(ds, &c));
    EXPECT_EQ(6u, c.count());
    EXPECT_EQ(6, ka::g_batch_thread_count);
}

TEST_F(BatchTest, CallsThatCannotBeQueuedReturnInsteadOfWaiting)
{
    std::vector<ka::ox_digest> ds = digests_any(9);
    store(ds);
    std::vector<uint32_t> refs_before = node_refs();
    struct {
        const char *name;
        int fail_push_at;
        bool fail_cq;
        bool fail_threads;
        int parts_sent; // batch requests that reach the nodes
    } cases[] = {
        {"no worker starts", -1, false, true, 0},
        {"no completion queue", -1, true, false, 0},
        {"the second part cannot be queued", 1, false, false, 1},
        {"the first part cannot be queued", 0, false, false, 0},
    };
    for (auto &cs : cases) {
        SCOPED_TRACE(cs.name);
        int before = batch_count(0) + batch_count(1) + batch_count(2);
        if (cs.fail_threads)
            tamberlin_batch_shutdown();
        ka_batch_test_fail_thread_start(cs.fail_threads);
        ka_batch_test_fail_complete_q(cs.fail_cq);
        ka_batch_test_fail_push_at(cs.fail_push_at);
        collector c;
        EXPECT_EQ(-1, get(ds, &c));
        ka_batch_test_fail_thread_start(false);
        ka_batch_test_fail_complete_q(false);
        ka_batch_test_fail_push_at(-1);
        EXPECT_EQ(before + cs.parts_sent, batch_count(0) + batch_count(1) + batch_count(2));
        EXPECT_EQ(refs_before, node_refs());
        if (cs.fail_threads) {
            EXPECT_EQ(0u, batch_initialized);
        }
        collector ok;
        EXPECT_EQ(0, get(ds, &ok));
        EXPECT_EQ(9u, ok.count());
    }
}

// The child of a fork has none of its parent's workers: its first call
// starts workers of its own instead of queueing parts nobody serves.
TEST_F(BatchTest, AForkedChildStartsWorkersOfItsOwn)
{
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "threads started after a fork of a threaded process are not supported under TSan";
#else
    std::vector<ka::ox_digest> ds = digests_any(12);
    store(ds);
    collector parent;
    ASSERT_EQ(0, get(ds, &parent));
    ASSERT_EQ(6, ka::g_batch_thread_count);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ka::g_init_pid = getpid();
        collector c;
        int rv = get(ds, &c);
        _exit(rv == 0 && c.count() == 12 && ka::g_batch_thread_count == 6 ? 0 : 1);
    }
    // 0 only when the child's call returned with every record, on workers of
    // its own; a call that never returns is killed after a minute.
    EXPECT_EQ(0, cluster_test::wait_child(pid));
    // The parent's workers went on serving it.
    collector after;
    EXPECT_EQ(0, get(ds, &after));
    EXPECT_EQ(12u, after.count());
#endif
}

#ifdef OX_WITH_JEMALLOC
extern "C" int mallctl(const char *name, void *oldp, size_t *oldlenp, void *newp, size_t newlen)
    __attribute__((weak));

uint64_t *thread_allocated()
{
    uint64_t *p = nullptr;
    size_t len = sizeof(p);
    return mallctl && mallctl("thread.allocatedp", &p, &len, nullptr, 0) == 0 ? p : nullptr;
}

// The one worker's byte counter, taken from inside the callback; the
// callback itself allocates nothing.
struct alloc_probe {
    std::atomic<uint64_t *> worker{nullptr};
    std::atomic<int> calls{0};
};

int probe_cb(char *, ka::ox_digest *, char *, uint32_t, uint32_t, ka_bin *bins, int n_bins, bool, void *udata)
{
    alloc_probe *p = (alloc_probe *)udata;
    if (!p->worker.load())
        p->worker = thread_allocated();
    p->calls++;
    tamberlin_bins_free(bins, n_bins);
    return 0;
}
#endif

// A call whose requests and replies stay under 16 KiB allocates nothing, on
// the caller's thread or on the worker's, once the pools are warm: measured
// with the allocator's per-thread byte counters (one worker, so its counter
// is the only one). Larger ones do take the heap.
TEST_F(BatchTest, SmallCallsAllocateNothingOnceThePoolsAreWarm)
{
#ifndef OX_WITH_JEMALLOC
    GTEST_SKIP() << "sanitizer build: the allocator's thread counters are not there";
#else
    ASSERT_NE(nullptr, thread_allocated());
    tamberlin_batch_shutdown();
    ASSERT_EQ(0, tamberlin_batch_init(1));
    std::vector<ka::ox_digest> ds = digests_any(60);
    // Integer bins and sets only: a string value would be the callback's own
    // allocation.
    for (uint32_t i = 0; i < ds.size(); i++) {
        fake_record r = record_of(i);
        r.bins = {{"i", 1, be8(i)}, {"j", 1, be8(2 * i)}};
        fake_node_put_record(node(master_of(ds[i])), "test", ds[i].digest, r);
    }
    alloc_probe p;
    for (int warm = 0; warm < 2; warm++)
        ASSERT_EQ(0, tamberlin_get_many_digest(asc, ns, ds.data(), 60, nullptr, 0, true, probe_cb, &p));
    ASSERT_NE(nullptr, p.worker.load());
    uint64_t *mine = thread_allocated();
    uint64_t caller0 = *mine, worker0 = *p.worker.load();
    ASSERT_EQ(0, tamberlin_get_many_digest(asc, ns, ds.data(), 60, nullptr, 0, true, probe_cb, &p));
    uint64_t caller1 = *mine, worker1 = *p.worker.load();
    EXPECT_EQ(180, p.calls.load());
    EXPECT_EQ(caller0, caller1);
    EXPECT_EQ(worker0, worker1);

    // A record of 150 bins, and a request of 1000 digests, take the heap.
    std::vector<ka::ox_digest> one = digests_on(0, 1, 5000);
    fake_record wide;
    for (int b = 0; b < 150; b++)
        wide.bins.push_back({"b" + std::to_string(b), 1, be8(b)});
    fake_node_put_record(node(0), "test", one[0].digest, wide);
    worker0 = *p.worker.load();
    ASSERT_EQ(0, tamberlin_get_many_digest(asc, ns, one.data(), 1, nullptr, 0, true, probe_cb, &p));
    EXPECT_GE(*p.worker.load() - worker0, 150 * sizeof(ka_bin));
    std::vector<ka::ox_digest> many = digests_on(0, 1000, 6000);
    worker0 = *p.worker.load();
    ASSERT_EQ(0, tamberlin_get_many_digest(asc, ns, many.data(), 1000, nullptr, 0, true, probe_cb, &p));
    EXPECT_GE(*p.worker.load() - worker0, 20045u);
    tamberlin_batch_shutdown();
#endif
}

} // namespace
