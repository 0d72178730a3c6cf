// The synchronous engine and the record calls against a stand-in cluster of
// one node: what each call sends, what it gives back, its time rules and
// retries, and how it ends on every kind of bad reply.
#include <gtest/gtest.h>

#include <poll.h>
#include <time.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ka_cluster_fixture.h"
#include "tamberlin/ka_request.h"
#include "testkit/fake_cluster.h"
#include "testkit/digest.h"

namespace {

const uint32_t kEpoch2010 = 1262304000;

std::string be64(uint64_t v)
{
    std::string s(8, '\0');
    for (int i = 7; i >= 0; i--, v >>= 8) {
        s[(size_t)i] = (char)(v & 0xFF);
    }
    return s;
}

uint32_t now_since_2010()
{
    return (uint32_t)(time(nullptr) - kEpoch2010);
}

fake_record two_bins(const std::string &set, uint32_t gen, uint32_t void_time)
{
    fake_record r;
    r.set = set;
    r.generation = gen;
    r.void_time = void_time;
    r.bins = {{"a", KA_INT, be64(5)}, {"b", KA_STR, "hi"}};
    return r;
}

// Database requests only (the tend's info requests are not counted).
std::vector<fake_request> db_requests(fake_node *n)
{
    std::vector<fake_request> out;
    fake_request r;
    for (size_t i = 0; fake_node_request(n, i, &r); i++) {
        if (r.proto_type != KA_PROTO_TYPE_INFO) {
            out.push_back(r);
        }
    }
    return out;
}

const uint8_t *msg_bytes(const fake_request &r)
{
    return (const uint8_t *)r.message.data();
}

// An array a get-all returned, freed as its receiver must.
struct all_bins {
    ka_bin *bins = nullptr;
    int n = 0;
    ~all_bins() { clear(); }
    void clear()
    {
        if (bins) {
            tamberlin_bins_free(bins, n);
            free(bins);
        }
        bins = nullptr;
        n = 0;
    }
    const ka_bin *find(const char *name) const
    {
        for (int i = 0; i < n; i++) {
            if (strcmp(bins[i].bin_name, name) == 0) {
                return &bins[i];
            }
        }
        return nullptr;
    }
};

ka_write_parameters params(int timeout_ms, ka_write_policy pol = KA_WRITE_RETRY, uint32_t ttl = 0)
{
    ka_write_parameters wp;
    ka_write_parameters_set_default(&wp);
    wp.generation = 0;
    wp.timeout_ms = timeout_ms;
    wp.w_pol = pol;
    wp.record_ttl = ttl;
    return wp;
}

class Sync : public ::testing::Test {
protected:
    fake_cluster *fc = nullptr;
    ka_cluster *asc = nullptr;
    fake_node *node = nullptr;

    void SetUp() override
    {
        // A call without a timeout gives up an attempt after 50 ms of
        // silence; on a loaded machine the stand-in can be that late, and a
        // test that counts attempts would see one more. The tests that are
        // about that silence set their own.
        ka_request_test_set_idle_attempt_ms(5000);
        ASSERT_EQ(0, tamberlin_init());
        fake_cluster_cfg cfg;
        cfg.n_nodes = 1;
        fc = fake_cluster_create(cfg);
        ASSERT_NE(nullptr, fc);
        asc = tamberlin_cluster_create();
        ASSERT_NE(nullptr, asc);
        // Tended once by the seed registration, never again by the thread.
        tamberlin_cluster_change_tend_speed(asc, 1000000);
        ASSERT_EQ(0, tamberlin_cluster_add_host(asc, "127.0.0.1", (short)fake_cluster_port(fc, 0), 5000));
        node = fake_cluster_node(fc, 0);
        ASSERT_NE(nullptr, node);
    }
    void TearDown() override
    {
        ka_request_test_after_send = nullptr;
        ka_request_test_set_idle_attempt_ms(0);
        tamberlin_shutdown(); // closes the client's connections before the stand-in goes
        if (fc) {
            fake_cluster_destroy(fc);
        }
    }
    void put(int i, const fake_record &r)
    {
        ka::ox_digest d = testkit_digest(i, 0xA5);
        fake_node_put_record(node, "test", d.digest, r);
    }
    void arm(fake_fault f) { fake_node_set_fault(node, f); }
    int get_all(int i, all_bins *out, int timeout_ms, char *set = nullptr, uint32_t *ttl = nullptr,
                uint32_t *gen = nullptr)
    {
        ka::ox_digest d = testkit_digest(i, 0xA5);
        uint32_t g = 0;
        return tamberlin_get_all_digest_getsetname(asc, "test", &d, &out->bins, &out->n, timeout_ms, gen ? gen : &g,
                                                   set, ttl);
    }
};


fake_fault fault(fake_fault_kind kind, fake_req_kind on, int count = 1)
{
    fake_fault f;
    f.kind = kind;
    f.on = on;
    f.count = count;
    return f;
}

// ---- what the calls send and give back -------------------------------------------

TEST_F(Sync, GetAllByDigestGivesBinsSetNameGenerationAndTimeToLive)
{
    put(1, two_bins("s1", 7, now_since_2010() + 3600));
    all_bins b;
    char set[KA_SET_NAME_SZ] = "stale";
    uint32_t ttl = 0, gen = 0;
    ASSERT_EQ(TAMBERLIN_OK, get_all(1, &b, 0, set, &ttl, &gen));
    ASSERT_EQ(2, b.n);
    ASSERT_NE(nullptr, b.find("a"));
    EXPECT_EQ(KA_INT, b.find("a")->object.type);
    EXPECT_EQ(5, b.find("a")->object.u.i64);
    ASSERT_NE(nullptr, b.find("b"));
    EXPECT_EQ(std::string("hi"), std::string(b.find("b")->object.u.str, b.find("b")->object.sz));
    EXPECT_STREQ("s1", set);
    EXPECT_EQ(7u, gen);
    EXPECT_LE(ttl, 3600u);
    EXPECT_GE(ttl, 3540u); // a minute of slack for a loaded machine
    std::vector<fake_request> rq = db_requests(node);
    ASSERT_EQ(1u, rq.size());
    EXPECT_EQ(0x13, msg_bytes(rq[0])[9]); // read, all bins, set name

    // Without a set-name buffer the set name is not asked for.
    all_bins b2;
    ka::ox_digest d = testkit_digest(1, 0xA5);
    uint32_t g2 = 0;
    ASSERT_EQ(TAMBERLIN_OK, tamberlin_get_all_digest(asc, "test", &d, &b2.bins, &b2.n, 0, &g2));
    EXPECT_EQ(2, b2.n);
    rq = db_requests(node);
    ASSERT_EQ(2u, rq.size());
    EXPECT_EQ(0x03, msg_bytes(rq[1])[9]);
}

TEST_F(Sync, TimeToLiveOfTheReplyVoidTime)
{
    struct row {
        const char *what;
        uint32_t void_time;
        uint32_t lo, hi;
    } rows[] = {
        {"never expires", 0, 0xFFFFFFFFu, 0xFFFFFFFFu},
        {"already past", 1, 1, 1},
        {"one hour ahead", now_since_2010() + 3600, 3540, 3600},
    };
    int i = 10;
    for (const row &r : rows) {
        put(i, two_bins("", 1, r.void_time));
        all_bins b;
        uint32_t ttl = 12345;
        ASSERT_EQ(TAMBERLIN_OK, get_all(i, &b, 0, nullptr, &ttl)) << r.what;
        EXPECT_GE(ttl, r.lo) << r.what;
        EXPECT_LE(ttl, r.hi) << r.what;
        i++;
    }
}

TEST_F(Sync, ExistenceChecksSendNoBinDataAndTellPresentFromAbsent)
{
    put(2, two_bins("s", 3, 0));
    ka::ox_digest present = testkit_digest(2, 0xA5), absent = testkit_digest(3, 0xA5);
    uint32_t gen = 0;
    EXPECT_EQ(TAMBERLIN_OK, tamberlin_exists_digest(asc, "test", &present, nullptr, 0, 200, &gen));
    EXPECT_EQ(3u, gen);
    EXPECT_EQ(TAMBERLIN_FAIL_NOTFOUND, tamberlin_exists_digest(asc, "test", &absent, nullptr, 0, 200, &gen));
    std::vector<fake_request> rq = db_requests(node);
    ASSERT_EQ(2u, rq.size());
    EXPECT_EQ(KA_MSG_INFO1_READ | KA_MSG_INFO1_NOBINDATA, msg_bytes(rq[0])[9]);
}

TEST_F(Sync, NamedReadFillsOnlyTheBinsItNames)
{
    put(4, two_bins("s", 1, 0));
    ka::ox_digest d = testkit_digest(4, 0xA5);
    ka_bin want[2];
    strcpy(want[0].bin_name, "b");
    strcpy(want[1].bin_name, "zz");
    tamberlin_object_init(&want[0].object);
    tamberlin_object_init(&want[1].object);
    ASSERT_EQ(TAMBERLIN_OK, tamberlin_get_digest(asc, "test", &d, want, 2, 0, nullptr));
    EXPECT_EQ(KA_STR, want[0].object.type);
    EXPECT_EQ(std::string("hi"), std::string(want[0].object.u.str, want[0].object.sz));
    EXPECT_EQ(KA_NULL, want[1].object.type);
    tamberlin_bins_free(want, 2);

    // A reply with more values than the caller's bins: the named ones are
    // filled, the rest freed (the sanitizer build checks that part).
    fake_record twice;
    twice.bins = {{"a", KA_INT, be64(5)}, {"a", KA_INT, be64(6)}, {"b", KA_STR, "hi"}};
    put(4, twice);
    ka_bin one;
    strcpy(one.bin_name, "a");
    tamberlin_object_init(&one.object);
    ASSERT_EQ(TAMBERLIN_OK, tamberlin_get_digest(asc, "test", &d, &one, 1, 0, nullptr));
    EXPECT_EQ(KA_INT, one.object.type);
    EXPECT_EQ(5, one.object.u.i64);
}

TEST_F(Sync, WritesDeletesAndKeysRoundTrip)
{
    ka_bin bin;
    strcpy(bin.bin_name, "v");
    tamberlin_object_init_int(&bin.object, 42);
    ka::ox_digest d = testkit_digest(5, 0xA5);

    // "Never expires" is kept as never expiring and comes back as such.
    ka_write_parameters wp = params(0, KA_WRITE_RETRY, 0xFFFFFFFFu);
    ASSERT_EQ(TAMBERLIN_OK, tamberlin_put_digest(asc, "test", &d, &bin, 1, &wp));
    fake_record stored;
    ASSERT_TRUE(fake_node_get_record(node, "test", d.digest, &stored));
    EXPECT_EQ(0u, stored.void_time);
    all_bins b;
    uint32_t ttl = 0;
    ASSERT_EQ(TAMBERLIN_OK, get_all(5, &b, 0, nullptr, &ttl));
    EXPECT_EQ(0xFFFFFFFFu, ttl);
    ASSERT_NE(nullptr, b.find("v"));
    EXPECT_EQ(42, b.find("v")->object.u.i64);

    // A restore carries the set name with the digest.
    ka::ox_digest d6 = testkit_digest(6, 0xA5);
    ASSERT_EQ(TAMBERLIN_OK, tamberlin_restore(asc, "test", &d6, "rs", &bin, 1, nullptr));
    ASSERT_TRUE(fake_node_get_record(node, "test", d6.digest, &stored));
    EXPECT_EQ("rs", stored.set);

    // By set and key: the client's digest is the one the node computes.
    char keytext[] = "key-1";
    ka_object key;
    tamberlin_object_init_str(&key, keytext);
    ASSERT_EQ(TAMBERLIN_OK, tamberlin_put(asc, "test", "ks", &key, &bin, 1, nullptr));
    all_bins kb;
    uint32_t gen = 0;
    ASSERT_EQ(TAMBERLIN_OK, tamberlin_get_all(asc, "test", "ks", &key, &kb.bins, &kb.n, 0, &gen));
    EXPECT_EQ(1, kb.n);
    EXPECT_EQ(TAMBERLIN_OK, tamberlin_exists_key(asc, "test", "ks", &key, nullptr, 0, 0, &gen));

    // Deletes, and the verify bit that a delete never sends.
    EXPECT_EQ(TAMBERLIN_OK, tamberlin_delete(asc, "test", "ks", &key, nullptr));
    EXPECT_EQ(TAMBERLIN_FAIL_NOTFOUND, tamberlin_delete_verify(asc, "test", "ks", &key, nullptr));
    EXPECT_EQ(TAMBERLIN_OK, tamberlin_delete_digest(asc, "test", &d, nullptr));
    EXPECT_EQ(TAMBERLIN_FAIL_NOTFOUND, tamberlin_delete_digest(asc, "test", &d, nullptr));
    std::vector<fake_request> rq = db_requests(node);
    ASSERT_GE(rq.size(), 4u);
    const fake_request &del = rq[rq.size() - 4], &delv = rq[rq.size() - 3];
    EXPECT_EQ(msg_bytes(del)[9], msg_bytes(delv)[9]);
    EXPECT_EQ(0, msg_bytes(delv)[9]);
    EXPECT_EQ(KA_MSG_INFO2_WRITE | KA_MSG_INFO2_DELETE, msg_bytes(delv)[10]);
}

TEST_F(Sync, OperateSetsHeaderBitsFromItsOperationsAndRefusesReplace)
{
    put(7, two_bins("s", 1, 0));
    ka::ox_digest d = testkit_digest(7, 0xA5);
    ka_operation ops[2];
    strcpy(ops[0].bin.bin_name, "a");
    tamberlin_object_init(&ops[0].bin.object);
    ops[0].op = KA_OP_READ;
    strcpy(ops[1].bin.bin_name, "c");
    tamberlin_object_init_int(&ops[1].bin.object, 9);
    ops[1].op = KA_OP_WRITE;
    uint32_t gen = 0;
    ASSERT_EQ(TAMBERLIN_OK, tamberlin_operate_digest(asc, "test", &d, ops, 2, nullptr, 0, &gen));
    std::vector<fake_request> rq = db_requests(node);
    ASSERT_EQ(1u, rq.size());
    EXPECT_EQ(KA_MSG_INFO1_READ, msg_bytes(rq[0])[9]);
    EXPECT_EQ(KA_MSG_INFO2_WRITE, msg_bytes(rq[0])[10]);
    tamberlin_bins_free(&ops[0].bin, 1);

    cluster_test::log_capture log;
    EXPECT_EQ(TAMBERLIN_FAIL_CLIENT, tamberlin_operate_digest(asc, "test", &d, ops, 2, nullptr, 1, &gen));
    EXPECT_TRUE(log.has("parameter 'replace' is deprecated"));
    EXPECT_EQ(1u, db_requests(node).size());
}

TEST_F(Sync, BadArgumentsFailBeforeAnythingIsSent)
{
    ka::ox_digest d = testkit_digest(8, 0xA5);
    all_bins b;
    uint32_t gen = 0;
    cluster_test::log_capture log;
    ka_bin bad;
    strcpy(bad.bin_name, "f");
    bad.object.type = KA_FLOAT; // no wire form
    bad.object.sz = 8;
    bad.object.free = nullptr;
    ka_write_parameters negative = params(-1);
    struct row {
        const char *what;
        int rv;
    } rows[] = {
        {"negative read timeout", tamberlin_get_all_digest(asc, "test", &d, &b.bins, &b.n, -5, &gen)},
        {"negative write timeout", tamberlin_delete_digest(asc, "test", &d, &negative)},
        {"no bins out", tamberlin_get_all_digest(asc, "test", &d, nullptr, &b.n, 0, &gen)},
        {"no count out", tamberlin_get_all_digest(asc, "test", &d, &b.bins, nullptr, 0, &gen)},
        {"no cluster", tamberlin_get_all_digest(nullptr, "test", &d, &b.bins, &b.n, 0, &gen)},
        {"no digest", tamberlin_exists_digest(asc, "test", nullptr, nullptr, 0, 0, &gen)},
        {"no namespace", tamberlin_exists_digest(asc, nullptr, &d, nullptr, 0, 0, &gen)},
        {"negative bin count", tamberlin_get_digest(asc, "test", &d, &bad, -1, 0, &gen)},
        {"uncompilable bin", tamberlin_put_digest(asc, "test", &d, &bad, 1, nullptr)},
    };
    for (const row &r : rows) {
        EXPECT_EQ(TAMBERLIN_FAIL_CLIENT, r.rv) << r.what;
    }
    EXPECT_TRUE(log.has("tamberlin_get_all: illegal parameters passed"));
    EXPECT_EQ(nullptr, b.bins);
    EXPECT_EQ(0u, db_requests(node).size());
}

// ---- times and retries ----------------------------------------------------------------

TEST(SyncTimes, AttemptTimeAndDeadlineOfATimeout)
{
    struct row {
        bool with_params;
        int timeout_ms;
        int rv, attempt_ms;
        uint64_t deadline; // after now = 1000
    } rows[] = {
        {false, 0, 0, 50, 0},     {true, 0, 0, 50, 0},          {true, 1, 0, 1, 1001},
        {true, 700, 0, 700, 1700}, {true, 701, 0, 350, 1701},   {true, 1000, 0, 500, 2000},
        {true, 60001, 0, 30000, 61001}, {true, -1, -1, -7, 7},
    };
    for (const row &r : rows) {
        ka_write_parameters wp = params(r.timeout_ms);
        int attempt = -7;
        uint64_t deadline = 7;
        EXPECT_EQ(r.rv, ka_request_times(r.with_params ? &wp : nullptr, 1000, &attempt, &deadline)) << r.timeout_ms;
        EXPECT_EQ(r.attempt_ms, attempt) << r.timeout_ms;
        EXPECT_EQ(r.deadline, deadline) << r.timeout_ms;
    }
}

// A node that never answers: the attempts that fit into the deadline, and
// the result when it passes or the policy allows no second attempt.
TEST_F(Sync, SilentNodeEndsTheCallByDeadlineOrPolicy)
{
    put(9, two_bins("s", 1, 0));
    struct row {
        int timeout_ms;
        ka_write_policy pol;
        int rv;
        size_t attempts;
    } rows[] = {
        {1000, KA_WRITE_RETRY, TAMBERLIN_FAIL_TIMEOUT, 2},   // two attempts of 500 ms
        {700, KA_WRITE_RETRY, TAMBERLIN_FAIL_TIMEOUT, 1},    // one attempt up to the deadline
        {1000, KA_WRITE_ONESHOT, ETIMEDOUT, 1},  // a failed attempt, deadline not yet passed: its socket code
        {300, KA_WRITE_ONESHOT, TAMBERLIN_FAIL_TIMEOUT, 1},
    };
    for (const row &r : rows) {
        arm(fault(FAKE_FAULT_SILENT, FAKE_REQ_READ, -1));
        size_t before = db_requests(node).size();
        int conns = fake_node_connections(node);
        int fds = cluster_test::open_fds();
        ka_write_parameters wp = params(r.timeout_ms, r.pol);
        uint64_t trid = 0;
        ka::ox_digest d = testkit_digest(9, 0xA5);
        ka_bin *bins = nullptr;
        int n = 0;
        int rv = do_the_full_monte(asc, KA_MSG_INFO1_READ | KA_MSG_INFO1_GET_ALL, 0, "test", nullptr, nullptr, &d,
                                   &bins, KA_OP_READ, nullptr, &n, nullptr, &wp, &trid, nullptr, nullptr);
        EXPECT_EQ(r.rv, rv) << r.timeout_ms << " " << r.pol;
        EXPECT_EQ(r.attempts, db_requests(node).size() - before) << r.timeout_ms << " " << r.pol;
        EXPECT_EQ(nullptr, bins);
        arm(fake_fault());
        // Each attempt had a connection of its own, and each was closed: the
        // stand-in closes its end once it sees the client's close, so the
        // process gets back to the descriptors it had.
        EXPECT_EQ((int)r.attempts, fake_node_connections(node) - conns);
        EXPECT_TRUE(cluster_test::wait_until([&] { return cluster_test::open_fds() == fds; }, 20000));
    }
}

TEST_F(Sync, WithoutTimeoutAReadIsRetriedUntilTheNodeAnswers)
{
    put(11, two_bins("s", 1, 0));
    ka_request_test_set_idle_attempt_ms(500);
    arm(fault(FAKE_FAULT_SILENT, FAKE_REQ_READ, 3));
    all_bins b;
    ASSERT_EQ(TAMBERLIN_OK, get_all(11, &b, 0));
    EXPECT_EQ(2, b.n);
    EXPECT_EQ(4u, db_requests(node).size());
}

struct late_wake {
    std::atomic<int> calls{0};
    std::atomic<bool> reply_waited{false};
    std::atomic<bool> past_deadline{false};
};
late_wake g_late;

// Wakes "late": only once the reply is waiting and the deadline has passed.
void wake_late(int fd, uint64_t deadline)
{
    g_late.calls++;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 30000) != 1) {
        return;
    }
    g_late.reply_waited = true;
    while (ka::ox_getms() <= deadline) {
        struct timespec ts = {0, 1000000};
        nanosleep(&ts, nullptr);
    }
    g_late.past_deadline = true;
}

TEST_F(Sync, AReplyWaitingWhenTheDeadlinePassedIsNoTimeout)
{
    put(12, two_bins("s", 1, 0));
    ka_request_test_after_send = wake_late;
    all_bins b;
    EXPECT_EQ(TAMBERLIN_OK, get_all(12, &b, 100));
    EXPECT_EQ(2, b.n);
    EXPECT_EQ(1, g_late.calls.load());
    EXPECT_TRUE(g_late.reply_waited.load());
    EXPECT_TRUE(g_late.past_deadline.load());
    EXPECT_EQ(1u, db_requests(node).size());
}

// A large reply that arrives in pieces over longer than one attempt: without
// a timeout the attempt measures silence and the reply is read to its end;
// with a timeout the attempt time bounds the read.
TEST_F(Sync, AReplyThatKeepsComingIsReadToItsEndWithoutTimeout)
{
    fake_record big;
    big.bins = {{"blob", KA_BLOB, std::string(20000, 'x')}};
    put(13, big);
    ka_request_test_set_idle_attempt_ms(1000);
    struct row {
        int timeout_ms;
        int rv;
    } rows[] = {{0, TAMBERLIN_OK}, {250, TAMBERLIN_FAIL_TIMEOUT}};
    for (const row &r : rows) {
        fake_fault f = fault(FAKE_FAULT_SPLIT, FAKE_REQ_READ);
        f.pieces = 30;
        f.pause_ms = 40; // 1160 ms in all, never 1000 ms without a byte
        arm(f);
        size_t before = db_requests(node).size();
        all_bins b;
        EXPECT_EQ(r.rv, get_all(13, &b, r.timeout_ms)) << r.timeout_ms;
        EXPECT_EQ(1u, db_requests(node).size() - before) << r.timeout_ms;
        if (r.rv == TAMBERLIN_OK) {
            ASSERT_EQ(1, b.n);
            EXPECT_EQ(std::string(20000, 'x'), std::string((char *)b.bins[0].object.u.blob, b.bins[0].object.sz));
        } else {
            EXPECT_EQ(nullptr, b.bins);
        }
    }
}

TEST_F(Sync, LargeBodiesOnTheHeapAfterAndBeforeSmallOnes)
{
    fake_record big;
    big.bins = {{"blob", KA_BLOB, std::string(20000, 'y')}};
    put(14, big);
    put(15, two_bins("s", 1, 0));
    // A large body whose read fails half-way, then the same read again.
    arm(fault(FAKE_FAULT_CLOSE_MID_REPLY, FAKE_REQ_READ));
    all_bins b;
    ASSERT_EQ(TAMBERLIN_OK, get_all(14, &b, 0));
    ASSERT_EQ(1, b.n);
    EXPECT_EQ(20000u, b.bins[0].object.sz);
    all_bins small;
    ASSERT_EQ(TAMBERLIN_OK, get_all(15, &small, 0));
    EXPECT_EQ(2, small.n);
    EXPECT_EQ(3u, db_requests(node).size());
}

// A delete whose reply was lost and whose retry then finds no record deleted
// it: 0. The same "not found" on the first attempt stands.
TEST_F(Sync, DeleteRetriedAfterALostReplyThatFindsNothingSucceeded)
{
    put(16, two_bins("s", 1, 0));
    arm(fault(FAKE_FAULT_CLOSE_AFTER_REQUEST, FAKE_REQ_DELETE));
    ka::ox_digest d = testkit_digest(16, 0xA5);
    EXPECT_EQ(TAMBERLIN_OK, tamberlin_delete_digest(asc, "test", &d, nullptr));
    EXPECT_EQ(2u, db_requests(node).size());
    EXPECT_EQ(TAMBERLIN_FAIL_NOTFOUND, tamberlin_delete_digest(asc, "test", &d, nullptr));
}

// A network failure is retried under the retry policy and otherwise ends the
// call with the socket code of its attempt (9 for a peer that closed, the
// error number of a reset), as the asynchronous calls do.
TEST_F(Sync, NetworkFailureIsRetriedOrEndsWithItsSocketCode)
{
    ka_bin bin;
    strcpy(bin.bin_name, "v");
    tamberlin_object_init_int(&bin.object, 1);
    struct row {
        fake_fault_kind kind;
        ka_write_policy pol;
        int timeout_ms;
        int rv;
        size_t attempts;
    } rows[] = {
        {FAKE_FAULT_CLOSE_AFTER_REQUEST, KA_WRITE_ONESHOT, 0, EBADF, 1},
        {FAKE_FAULT_RESET, KA_WRITE_ONESHOT, 0, ECONNRESET, 1},
        {FAKE_FAULT_CLOSE_MID_REPLY, KA_WRITE_ONESHOT, 5000, EBADF, 1},
        {FAKE_FAULT_CLOSE_AFTER_REQUEST, KA_WRITE_RETRY, 0, TAMBERLIN_OK, 2},
        {FAKE_FAULT_RESET, KA_WRITE_RETRY, 5000, TAMBERLIN_OK, 2},
        {FAKE_FAULT_CLOSE_MID_REPLY, KA_WRITE_RETRY, 0, TAMBERLIN_OK, 2},
    };
    int i = 100;
    for (const row &r : rows) {
        arm(fault(r.kind, FAKE_REQ_WRITE));
        size_t before = db_requests(node).size();
        ka::ox_digest d = testkit_digest(i++, 0xA5);
        ka_write_parameters wp = params(r.timeout_ms, r.pol);
        EXPECT_EQ(r.rv, tamberlin_put_digest(asc, "test", &d, &bin, 1, &wp)) << r.kind << " " << r.pol;
        EXPECT_EQ(r.attempts, db_requests(node).size() - before) << r.kind << " " << r.pol;
    }
}

TEST_F(Sync, ClusterWithoutNodesWaitsForTheDeadlineOrGivesUpAtOnce)
{
    ka_cluster *empty = tamberlin_cluster_create();
    ASSERT_NE(nullptr, empty);
    ka::ox_digest d = testkit_digest(1, 0xA5);
    all_bins b;
    uint32_t gen = 0;
    EXPECT_EQ(TAMBERLIN_FAIL_TIMEOUT, tamberlin_get_all_digest(empty, "test", &d, &b.bins, &b.n, 100, &gen));
    ka_write_parameters once = params(100, KA_WRITE_ONESHOT);
    EXPECT_EQ(TAMBERLIN_FAIL_CLIENT, tamberlin_delete_digest(empty, "test", &d, &once));
    tamberlin_cluster_destroy(empty);
}

// ---- bad replies ------------------------------------------------------------------------

// Every malformed reply ends the call with 1 on its first attempt, even with
// the retry policy and no deadline; the outputs are empty, the connection is
// closed, and nothing leaks (the sanitizer build checks the last part). A
// reply whose promised bytes never come is a network failure, retried.
TEST_F(Sync, MalformedRepliesEndTheCallWithOneAndCloseTheConnection)
{
    put(20, two_bins("s", 1, 0));
    for (int k = 0; k < FAKE_BAD_COUNT_; k++) {
        fake_bad_reply bad = (fake_bad_reply)k;
        bool retried = bad == FAKE_BAD_SIZE_PAST_END;
        fake_fault f = fault(FAKE_FAULT_MALFORMED, FAKE_REQ_READ);
        f.bad = bad;
        arm(f);
        size_t before = db_requests(node).size();
        int closes = fake_node_peer_closes(node);
        all_bins b;
        char set[KA_SET_NAME_SZ] = "stale";
        uint32_t ttl = 77, gen = 77;
        int rv = get_all(20, &b, 0, set, &ttl, &gen);
        if (retried) {
            EXPECT_EQ(TAMBERLIN_OK, rv) << bad;
            EXPECT_EQ(2u, db_requests(node).size() - before) << bad;
            EXPECT_EQ(2, b.n) << bad;
            continue;
        }
        EXPECT_EQ(TAMBERLIN_FAIL_UNKNOWN, rv) << bad;
        EXPECT_EQ(1u, db_requests(node).size() - before) << bad;
        EXPECT_EQ(nullptr, b.bins) << bad;
        EXPECT_EQ(0, b.n) << bad;
        EXPECT_STREQ("", set) << bad;
        EXPECT_EQ(0u, gen) << bad;
        EXPECT_EQ(0u, ttl) << bad;
        EXPECT_TRUE(fake_node_wait_peer_closes(node, closes + 1, 10000)) << bad;
    }
    // The node is still served well afterwards.
    all_bins b;
    EXPECT_EQ(TAMBERLIN_OK, get_all(20, &b, 0));
}

// The reply reader on bytes held in memory (the entry a fuzzer drives).
std::string reply_bytes(int result, uint32_t gen, uint32_t void_time, const std::string &set,
                        const std::vector<fake_bin_value> &bins)
{
    std::string r(8, '\0');
    r += (char)22;
    r.append(4, '\0');
    r += (char)result;
    auto put_be = [&r](uint64_t v, int n) {
        for (int i = n - 1; i >= 0; i--) {
            r += (char)((v >> (8 * i)) & 0xFF);
        }
    };
    put_be(gen, 4);
    put_be(void_time, 4);
    put_be(0, 4);
    put_be(1, 2);
    put_be(bins.size(), 2);
    put_be(set.size() + 1, 4);
    r += (char)KA_MSG_FIELD_TYPE_SET;
    r += set;
    for (const auto &b : bins) {
        put_be(4 + b.name.size() + b.value.size(), 4);
        r += (char)KA_MSG_OP_READ;
        r += (char)b.type;
        r += '\0';
        r += (char)b.name.size();
        r += b.name + b.value;
    }
    uint64_t sz = r.size() - 8;
    r[0] = 2;
    r[1] = 3;
    for (int i = 0; i < 6; i++) {
        r[(size_t)(7 - i)] = (char)((sz >> (8 * i)) & 0xFF);
    }
    return r;
}

TEST(SyncReplyBytes, WholeRepliesParseAndEveryShortOrBentOneIsRefused)
{
    std::string good = reply_bytes(0, 9, 0, "set9", {{"a", KA_INT, be64(3)}, {"s", KA_STR, "text"}});
    {
        ka_bin *bins = nullptr;
        int n = 0;
        uint32_t gen = 0, ttl = 0;
        char set[KA_SET_NAME_SZ];
        ASSERT_EQ(0, ka_request_parse_reply((const uint8_t *)good.data(), good.size(), &bins, &n, &gen, set, &ttl));
        EXPECT_EQ(2, n);
        EXPECT_EQ(9u, gen);
        EXPECT_EQ(0xFFFFFFFFu, ttl);
        EXPECT_STREQ("set9", set);
        tamberlin_bins_free(bins, n);
        free(bins);
    }
    std::vector<std::string> bad;
    for (size_t cut = 0; cut < good.size(); cut++) {
        bad.push_back(good.substr(0, cut)); // every truncation
    }
    std::string b = good;
    b[1] = 1; // an info reply
    bad.push_back(b);
    b = good;
    b[8] = 30; // header size
    bad.push_back(b);
    b = good;
    b[31] = 100; // set field past the body
    bad.push_back(b);
    for (const std::string &r : bad) {
        ka_bin *bins = nullptr;
        int n = 0;
        uint32_t gen = 5, ttl = 5;
        char set[KA_SET_NAME_SZ] = "x";
        EXPECT_EQ(1, ka_request_parse_reply((const uint8_t *)r.data(), r.size(), &bins, &n, &gen, set, &ttl))
            << r.size();
        EXPECT_EQ(nullptr, bins);
        EXPECT_EQ(0, n);
    }
    // A server code passes through.
    std::string nf = reply_bytes(2, 0, 0, "", {});
    ka_bin *bins = nullptr;
    int n = 0;
    EXPECT_EQ(2, ka_request_parse_reply((const uint8_t *)nf.data(), nf.size(), &bins, &n, nullptr, nullptr, nullptr));
    EXPECT_EQ(nullptr, bins);
}

} // namespace
