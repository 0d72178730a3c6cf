// The asynchronous write engine against a stand-in node: one callback per
// accepted write with its user data, none for a refused one; the in-flight
// limit; the time rules of sends and replies; reply heads in pieces; replies
// that break the framing, do not parse or answer another transaction; a start
// that fails whole; a stop that calls back what is still in flight.
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>

#include "ka_async_fixture.h"

using namespace async_test;

namespace {

fake_record record_of(const std::string &ns, uint32_t key, fake_node *n)
{
    fake_record r;
    ka::ox_digest d = digest_of(key);
    EXPECT_TRUE(fake_node_get_record(n, ns, d.digest, &r)) << "key " << key;
    return r;
}

// The header bytes of the n-th request the node recorded.
fake_request request_at(fake_node *n, size_t i)
{
    fake_request r;
    EXPECT_TRUE(fake_node_request(n, i, &r));
    return r;
}

TEST_F(AsyncTest, EachCallKindIsSentAndCalledBackOnceWithItsUserData)
{
    fake_node *fn = node();
    size_t base = fake_node_request_count(fn);
    int conns = fake_node_connections(fn);
    int tokens[6];
    ka_bin b = int_bin("b", 7);
    ka_write_parameters wp = params(2000);
    ka::ox_digest d1 = digest_of(1), d2 = digest_of(2), d3 = digest_of(3);
    char key_text[] = "k4";
    ka_object key;
    tamberlin_object_init_str(&key, key_text);

    ASSERT_EQ(0, tamberlin_async_put_digest_relay(asc, "test", &d1, "s", &b, 1, &wp, 42, &tokens[0]));
    ASSERT_TRUE(g_rec.wait_count(1));
    ASSERT_EQ(0, tamberlin_async_delete_digest_relay(asc, "test", &d1, &wp, &tokens[1]));
    ASSERT_TRUE(g_rec.wait_count(2));
    // Each call waits for the one before: writes in flight together go out on
    // connections of their own, which the stand-in may serve in any order.
    ASSERT_EQ(0, tamberlin_async_delete_digest_relay(asc, "test", &d1, &wp, &tokens[2])); // gone now
    ASSERT_TRUE(g_rec.wait_count(3));
    ASSERT_EQ(0, tamberlin_async_put_digest(asc, "test", &d2, nullptr, &b, 1, &wp, 43, &tokens[3]));
    ASSERT_TRUE(g_rec.wait_count(4));
    ASSERT_EQ(0, tamberlin_async_put(asc, "test", "s", &key, &b, 1, &wp, 44, &tokens[4]));
    ASSERT_TRUE(g_rec.wait_count(5));
    ASSERT_EQ(0, tamberlin_async_put_digest_forget(asc, "test", &d3, "s", &b, 1, &wp));
    ASSERT_TRUE(g_rec.wait_count(6));
    ASSERT_EQ(0, tamberlin_async_put_forget(asc, "test", "s", &key, &b, 1, &wp));
    ASSERT_TRUE(g_rec.wait_count(7));

    struct {
        void *udata;
        int rv;
    } want[] = {{&tokens[0], 0}, {&tokens[1], 0}, {&tokens[2], KA_PROTO_RESULT_FAIL_NOTFOUND},
                {&tokens[3], 0}, {&tokens[4], 0}};
    for (const auto &w : want) {
        auto calls = g_rec.of(w.udata);
        ASSERT_EQ(1u, calls.size());
        EXPECT_TRUE(calls[0].success);
        EXPECT_EQ(w.rv, calls[0].rv);
    }
    EXPECT_EQ(2u, g_rec.of(nullptr).size()); // the two forget calls
    EXPECT_EQ(7u, g_rec.count());

    // What went out: the replication bit only on the relay calls, the delete
    // bits on deletes, a set field where a set was given.
    struct {
        uint8_t info1, info2;
    } bits[] = {{0x10, 0x01}, {0x10, 0x03}, {0x10, 0x03}, {0x00, 0x01}, {0x00, 0x01}, {0x00, 0x01}, {0x00, 0x01}};
    ASSERT_EQ(base + 7, fake_node_request_count(fn));
    for (size_t i = 0; i < 7; i++) {
        fake_request r = request_at(fn, base + i);
        EXPECT_EQ(bits[i].info1, (uint8_t)r.message[9]) << "request " << i;
        EXPECT_EQ(bits[i].info2, (uint8_t)r.message[10]) << "request " << i;
    }
    fake_record gone;
    EXPECT_FALSE(fake_node_get_record(fn, "test", d1.digest, &gone));
    fake_record r2 = record_of("test", 2, fn);
    EXPECT_EQ("", r2.set);
    ASSERT_EQ(1u, r2.bins.size());
    EXPECT_EQ(std::string("\0\0\0\0\0\0\0\x07", 8), r2.bins[0].value);
    fake_record r3 = record_of("test", 3, fn);
    EXPECT_EQ("s", r3.set);

    // Every connection they opened is back in the pool.
    EXPECT_EQ(fake_node_connections(fn) - conns, pooled());
    EXPECT_GE(pooled(), 1);
    EXPECT_EQ(0, inflight());
    EXPECT_EQ(0u, dropouts());
}

TEST_F(AsyncTest, ServerResultCodesReachTheSuccessCallback)
{
    int codes[] = {KA_PROTO_RESULT_FAIL_GENERATION, KA_PROTO_RESULT_FAIL_KEY_BUSY, KA_PROTO_RESULT_FAIL_BIN_NOT_FOUND,
                   KA_PROTO_RESULT_FAIL_UNKNOWN};
    int tokens[4];
    for (int i = 0; i < 4; i++) {
        fake_fault f;
        f.kind = FAKE_FAULT_RESULT_CODE;
        f.result_code = codes[i];
        f.on = FAKE_REQ_WRITE;
        fake_node_set_fault(node(), f);
        ASSERT_EQ(0, put(10 + i, &tokens[i], 2000, 0));
        ASSERT_TRUE(g_rec.wait_count((size_t)i + 1));
        auto calls = g_rec.of(&tokens[i]);
        ASSERT_EQ(1u, calls.size());
        EXPECT_TRUE(calls[0].success);
        EXPECT_EQ(codes[i], calls[0].rv);
    }
}

TEST_F(AsyncTest, CompressedRepliesAndLargeRequestsGoThrough)
{
    fake_node_set_compress_replies(node(), true);
    int token;
    ASSERT_EQ(0, put(20, &token, 2000));
    ASSERT_TRUE(g_rec.wait_count(1));
    EXPECT_TRUE(g_rec.of(&token)[0].success);
    EXPECT_EQ(0, g_rec.of(&token)[0].rv);
    fake_node_set_compress_replies(node(), false);

    // A request above the cluster's threshold travels compressed and counts
    // in the cluster's totals; one of 40,000 bytes takes the heap path.
    pthread_mutex_lock(&asc->LOCK);
    asc->compression_stat.compression_threshold = 1000;
    pthread_mutex_unlock(&asc->LOCK);
    std::string big(2000, 'x'), huge(40000, 'y');
    ka_bin bins[2];
    memset(bins, 0, sizeof(bins));
    strcpy(bins[0].bin_name, "big");
    tamberlin_object_init_blob(&bins[0].object, big.data(), big.size());
    strcpy(bins[1].bin_name, "huge");
    tamberlin_object_init_blob(&bins[1].object, huge.data(), huge.size());
    ka_write_parameters wp = params(2000);
    size_t base = fake_node_request_count(node());
    ka::ox_digest d = digest_of(21);
    int t2, t3;
    ASSERT_EQ(0, tamberlin_async_put_digest_relay(asc, "test", &d, "s", &bins[0], 1, &wp, 9, &t2));
    ASSERT_TRUE(g_rec.wait_count(2));
    pthread_mutex_lock(&asc->LOCK);
    asc->compression_stat.compression_threshold = 0;
    pthread_mutex_unlock(&asc->LOCK);
    ka::ox_digest d2 = digest_of(22);
    ASSERT_EQ(0, tamberlin_async_put_digest_relay(asc, "test", &d2, "s", &bins[1], 1, &wp, 10, &t3));
    ASSERT_TRUE(g_rec.wait_count(3));
    EXPECT_EQ(0, g_rec.of(&t2)[0].rv);
    EXPECT_EQ(0, g_rec.of(&t3)[0].rv);
    EXPECT_EQ(KA_PROTO_TYPE_KA_MSG_COMPRESSED, request_at(node(), base).proto_type);
    EXPECT_EQ(KA_PROTO_TYPE_KA_MSG, request_at(node(), base + 1).proto_type);
    uint64_t actual = 0, compressed = 0;
    tamberlin_cluster_get_compression_stat(asc, &actual, &compressed);
    EXPECT_GT(actual, 2000u);
    EXPECT_LT(compressed, actual);
    EXPECT_EQ(huge, record_of("test", 22, node()).bins[0].value);
}

// Every refused call returns at once with nothing sent and no callback, and
// leaves the caller's user data alone.
TEST_F(AsyncTest, RefusedWritesSendNothingAndCallNothingBack)
{
    fake_node *fn = node();
    size_t base = fake_node_request_count(fn);
    ka::ox_digest d = digest_of(30);
    ka_bin b = int_bin("b", 1);
    ka_bin bad;
    memset(&bad, 0, sizeof(bad));
    strcpy(bad.bin_name, "f");
    bad.object.type = KA_FLOAT;
    ka_write_parameters ok = params(1000), negative = params(-1);
    int token;
    struct {
        const char *what;
        ka_cluster *asc;
        const char *ns;
        const ka::ox_digest *d;
        const ka_bin *bins;
        int n;
        const ka_write_parameters *wp;
    } cases[] = {
        {"no cluster", nullptr, "test", &d, &b, 1, &ok},
        {"no namespace", asc, nullptr, &d, &b, 1, &ok},
        {"no digest", asc, "test", nullptr, &b, 1, &ok},
        {"bins missing", asc, "test", &d, nullptr, 1, &ok},
        {"negative count", asc, "test", &d, &b, -1, &ok},
        {"negative timeout", asc, "test", &d, &b, 1, &negative},
        {"value that cannot be sent", asc, "test", &d, &bad, 1, &ok},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(-1, tamberlin_async_put_digest_relay(c.asc, c.ns, c.d, "s", c.bins, c.n, c.wp, 1, &token)) << c.what;
    }
    EXPECT_EQ(-1, tamberlin_async_delete_digest_relay(asc, "test", &d, &negative, &token));

    // Not started (the flag alone, so the test's cluster stays), and started
    // but the engine stopped.
    ka::g_initialized = false;
    EXPECT_EQ(-1, put(31, &token));
    ka::g_initialized = true;
    tamberlin_async_shutdown();
    EXPECT_EQ(-1, put(32, &token));
    ASSERT_EQ(0, tamberlin_async_init(limit, threads, on_fail, on_success));

    EXPECT_EQ(base, fake_node_request_count(fn));
    EXPECT_EQ(0, inflight());
    // A write that does go through shows the engine took nothing above.
    ASSERT_EQ(0, put(33, &token, 2000));
    ASSERT_TRUE(g_rec.wait_count(1));
    EXPECT_EQ(1u, g_rec.count());
}

TEST_F(AsyncTest, AtTheInFlightLimitAWriteIsRefusedAndNothingSent)
{
    ASSERT_EQ(0, tamberlin_async_reinit(3, 2));
    fake_node *fn = node();
    fake_node_hold(fn, FAKE_REQ_DATABASE);
    int tokens[4];
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(0, put(40 + i, &tokens[i]));
    }
    ASSERT_TRUE(fake_node_wait_held(fn, 3, 30000));
    size_t sent = fake_node_request_count(fn);
    // Held replies stay in flight whether queued or in a receiver's poll.
    for (int k = 0; k < 20; k++) {
        EXPECT_EQ(TAMBERLIN_FAIL_ASYNCQ_FULL, put(43, &tokens[3]));
    }
    EXPECT_EQ(3, inflight());
    EXPECT_EQ(sent, fake_node_request_count(fn));
    EXPECT_EQ(0u, g_rec.count());
    fake_node_release(fn);
    ASSERT_TRUE(g_rec.wait_count(3));
    EXPECT_EQ(0, inflight());
    ASSERT_EQ(0, put(43, &tokens[3]));
    ASSERT_TRUE(g_rec.wait_count(4));
    for (int i = 0; i < 4; i++) {
        ASSERT_EQ(1u, g_rec.of(&tokens[i]).size());
        EXPECT_EQ(0, g_rec.of(&tokens[i])[0].rv);
    }
}

// A reply that does not come by the deadline ends on the failure callback
// with -2, not before the deadline; each poll before it counts as a retry.
TEST_F(AsyncTest, NoReplyByTheDeadlineFailsWithMinusTwo)
{
    fake_fault f;
    f.kind = FAKE_FAULT_SILENT;
    f.on = FAKE_REQ_WRITE;
    fake_node_set_fault(node(), f);
    int token;
    ASSERT_EQ(0, put(50, &token, 1000));
    ASSERT_TRUE(g_rec.wait_count(1));
    auto c = g_rec.of(&token);
    ASSERT_EQ(1u, c.size());
    EXPECT_FALSE(c[0].success);
    EXPECT_EQ(TAMBERLIN_FAIL_TIMEOUT, c[0].rv);
    EXPECT_GE(c[0].at, c[0].starttime + 1000);
    EXPECT_EQ(1u, dropouts());
    EXPECT_GE(retries(), 1u);
    EXPECT_LE(retries(), 1000u / KA_ASYNC_POLL_MS + 1);
    EXPECT_EQ(0, pooled()); // the connection was closed
}

// Without a timeout a reply is awaited as long as it takes.
TEST_F(AsyncTest, WithoutATimeoutTheReplyIsAwaitedWithoutEnd)
{
    fake_node_hold(node(), FAKE_REQ_WRITE);
    int token;
    ASSERT_EQ(0, put(51, &token, 0));
    ASSERT_TRUE(wait_until([&] { return retries() >= 30; })); // 1.5 s of polls at least
    EXPECT_EQ(0u, g_rec.count());
    fake_node_release(node());
    ASSERT_TRUE(g_rec.wait_count(1));
    EXPECT_TRUE(g_rec.of(&token)[0].success);
    EXPECT_EQ(0, g_rec.of(&token)[0].rv);
    EXPECT_EQ(0u, dropouts());
}

// A reply that was already in the socket when its deadline passed (its
// receiver was busy in another callback) is a reply, not a time-out.
TEST_F(AsyncTest, AReplyWaitingWhenTheDeadlinePassedIsNoTimeout)
{
    ASSERT_EQ(0, tamberlin_async_reinit(limit, 1));
    static std::atomic<bool> entered{false}, release{false};
    static int first;
    entered = false;
    release = false;
    g_on_callback = [](void *udata) {
        if (udata == &first) {
            entered = true;
            wait_until([] { return release.load(); });
        }
    };
    // With surplus receivers from before the reinit gone, one receiver runs.
    ASSERT_TRUE(wait_until([&] {
        int t;
        if (put(60, &t, 2000) != 0 || !g_rec.wait_count(g_rec.count() + 1)) {
            return false;
        }
        return tamberlin_async_receivers() == 1;
    }));
    size_t replies = fake_node_replies_sent(node());
    size_t calls = g_rec.count();
    ASSERT_EQ(0, put(61, &first, 0));
    ASSERT_TRUE(wait_until([] { return entered.load(); }));
    int second;
    ASSERT_EQ(0, put(62, &second, 300));
    uint64_t sent_by = ka::ox_getms();
    ASSERT_TRUE(fake_node_wait_replies_sent(node(), replies + 2, 30000));
    ASSERT_TRUE(wait_until([&] { return ka::ox_getms() > sent_by + 300; }));
    release = true;
    ASSERT_TRUE(g_rec.wait_count(calls + 2));
    auto c = g_rec.of(&second);
    ASSERT_EQ(1u, c.size());
    EXPECT_TRUE(c[0].success);
    EXPECT_EQ(0, c[0].rv);
}

// A head sent in pieces with pauses longer than a poll is put together
// across polls, and the connection stays in step (it serves the next write).
TEST_F(AsyncTest, AReplyHeadInPiecesIsResumedAcrossPolls)
{
    int warm;
    ASSERT_EQ(0, put(70, &warm, 2000));
    ASSERT_TRUE(g_rec.wait_count(1));
    int conns = fake_node_connections(node());
    int closes = fake_node_peer_closes(node());
    fake_fault f;
    f.kind = FAKE_FAULT_SPLIT_HEAD;
    f.on = FAKE_REQ_WRITE;
    f.pieces = 5; // 6 bytes each: the first ends inside the protocol header
    f.pause_ms = 3 * KA_ASYNC_POLL_MS;
    fake_node_set_fault(node(), f);
    int token;
    uint64_t r0 = retries();
    ASSERT_EQ(0, put(71, &token, 0));
    ASSERT_TRUE(g_rec.wait_count(2));
    auto c = g_rec.of(&token);
    ASSERT_EQ(1u, c.size());
    EXPECT_TRUE(c[0].success);
    EXPECT_EQ(0, c[0].rv);
    EXPECT_GE(retries() - r0, 4u);
    int after;
    ASSERT_EQ(0, put(72, &after, 2000));
    ASSERT_TRUE(g_rec.wait_count(3));
    EXPECT_EQ(0, g_rec.of(&after)[0].rv);
    EXPECT_EQ(conns, fake_node_connections(node()));
    EXPECT_EQ(closes, fake_node_peer_closes(node()));
    EXPECT_EQ(1, pooled());
}

// Every reply that breaks the framing, fails to parse or answers another
// transaction gives its callback and closes its connection; nothing leaks
// and the next write gets a fresh connection and a good reply.
TEST_F(AsyncTest, BadRepliesGiveTheirCallbackAndCloseTheConnection)
{
    // A well-framed reply of another protocol type, and one whose
    // transaction-id field is 5 bytes long.
    std::string info_reply("\x02\x01\x00\x00\x00\x00\x00\x16", 8);
    info_reply += std::string(22, '\0');
    info_reply[8] = 22;
    std::string short_trid = std::string("\x02\x03\x00\x00\x00\x00\x00\x20", 8) + std::string(1, 22) +
                             std::string(17, '\0') + std::string("\x00\x01\x00\x00", 4) +
                             std::string("\x00\x00\x00\x06\x07", 5) + std::string(5, '\x11');
    std::string good_then_more = std::string("\x02\x03\x00\x00\x00\x00\x00\x16", 8) + std::string(1, 22) +
                                 std::string(21, '\0') + "stray";
    struct {
        const char *what;
        fake_fault_kind kind;
        fake_bad_reply bad;
        std::string raw;
        bool success;
        int rv;
    } cases[] = {
        {"size past end", FAKE_FAULT_MALFORMED, FAKE_BAD_SIZE_PAST_END, "", false, EBADF},
        {"header size 30", FAKE_FAULT_MALFORMED, FAKE_BAD_HEADER_SZ, "", false, -1},
        {"size below header", FAKE_FAULT_MALFORMED, FAKE_BAD_PROTO_BELOW_HEADER, "", false, -1},
        {"huge size", FAKE_FAULT_MALFORMED, FAKE_BAD_HUGE_SIZE, "", false, -1},
        {"field past body", FAKE_FAULT_MALFORMED, FAKE_BAD_FIELD_PAST_BODY, "", true, 1},
        {"field count", FAKE_FAULT_MALFORMED, FAKE_BAD_FIELD_COUNT, "", true, 1},
        {"op past body", FAKE_FAULT_MALFORMED, FAKE_BAD_OP_PAST_BODY, "", true, 1},
        {"op count", FAKE_FAULT_MALFORMED, FAKE_BAD_OP_COUNT, "", true, 1},
        {"negative value length", FAKE_FAULT_MALFORMED, FAKE_BAD_NEGATIVE_VALUE_LEN, "", true, 1},
        {"bin name of 32", FAKE_FAULT_MALFORMED, FAKE_BAD_BIN_NAME_32, "", true, 1},
        {"particle type", FAKE_FAULT_MALFORMED, FAKE_BAD_PARTICLE_TYPE, "", true, 1},
        {"integer too long", FAKE_FAULT_MALFORMED, FAKE_BAD_INT_TOO_LONG, "", true, 1},
        {"short compressed", FAKE_FAULT_MALFORMED, FAKE_BAD_SHORT_COMPRESSED, "", false, -1},
        {"compressed huge original", FAKE_FAULT_MALFORMED, FAKE_BAD_COMPRESSED_HUGE_ORG, "", false, -1},
        {"compressed original size", FAKE_FAULT_MALFORMED, FAKE_BAD_COMPRESSED_ORG_SZ, "", false, -1},
        {"info type", FAKE_FAULT_RAW_REPLY, FAKE_BAD_SIZE_PAST_END, info_reply, false, -1},
        {"transaction id of 5 bytes", FAKE_FAULT_RAW_REPLY, FAKE_BAD_SIZE_PAST_END, short_trid, true, 1},
        {"another transaction", FAKE_FAULT_TRID_MISMATCH, FAKE_BAD_SIZE_PAST_END, "", false, -1},
        // A good reply, but bytes that no request asked for came with it:
        // its result stands, and the connection is out of step.
        {"bytes beyond the reply", FAKE_FAULT_RAW_REPLY, FAKE_BAD_SIZE_PAST_END, good_then_more, true, 0},
    };
    fake_node *fn = node();
    ka_cluster_node *cn = cnode();
    uint32_t node_refs = refs(cn);
    int conns = fake_node_connections(fn);
    int tokens[sizeof(cases) / sizeof(cases[0])];
    size_t i = 0;
    for (const auto &c : cases) {
        fake_fault f;
        f.kind = c.kind;
        f.bad = c.bad;
        f.raw = c.raw;
        f.on = FAKE_REQ_WRITE;
        fake_node_set_fault(fn, f);
        ASSERT_EQ(0, put(80 + (uint32_t)i, &tokens[i], 5000)) << c.what;
        ASSERT_TRUE(g_rec.wait_count(i + 1)) << c.what;
        auto calls = g_rec.of(&tokens[i]);
        ASSERT_EQ(1u, calls.size()) << c.what;
        EXPECT_EQ(c.success, calls[0].success) << c.what;
        EXPECT_EQ(c.rv, calls[0].rv) << c.what;
        // Closed, not pooled: each case had to open a connection of its own.
        EXPECT_EQ(0, pooled()) << c.what;
        EXPECT_EQ(conns + (int)i + 1, fake_node_connections(fn)) << c.what;
        EXPECT_EQ(0, inflight()) << c.what;
        EXPECT_EQ(node_refs, refs(cn)) << c.what;
        i++;
    }
    int good;
    ASSERT_EQ(0, put(99, &good, 5000));
    ASSERT_TRUE(g_rec.wait_count(i + 1));
    EXPECT_TRUE(g_rec.of(&good)[0].success);
    EXPECT_EQ(0, g_rec.of(&good)[0].rv);
    EXPECT_EQ(conns + (int)i + 1, fake_node_connections(fn));
    EXPECT_EQ(1, pooled());
}

// A reply is read in one receive into the receiver's buffer as far as it
// goes: replies of every size around that buffer, whole in the socket
// before they are read, come back intact, and their connection is pooled.
TEST_F(AsyncTest, RepliesAroundTheReceiveBufferSizeAreReadWhole)
{
    const size_t sizes[] = {1, KA_MSG_STACK_BUF_SZ - 30, KA_MSG_STACK_BUF_SZ - 12, KA_MSG_STACK_BUF_SZ,
                            KA_MSG_STACK_BUF_SZ + 1, 3 * KA_MSG_STACK_BUF_SZ};
    int tokens[sizeof(sizes) / sizeof(sizes[0])];
    size_t i = 0;
    for (size_t value_len : sizes) {
        // One string bin "v" of value_len bytes; the body is its op alone.
        std::string op;
        uint32_t op_sz = (uint32_t)(4 + 1 + value_len);
        for (int b = 3; b >= 0; b--)
            op.push_back((char)(op_sz >> (8 * b)));
        op += std::string("\x01\x03\x00\x01v", 5) + std::string(value_len, 'x');
        uint64_t sz = 22 + op.size();
        std::string reply("\x02\x03", 2);
        for (int b = 5; b >= 0; b--)
            reply.push_back((char)(sz >> (8 * b)));
        reply += std::string(1, 22) + std::string(19, '\0') + std::string("\x00\x01", 2) + op;
        fake_fault f;
        f.kind = FAKE_FAULT_RAW_REPLY;
        f.on = FAKE_REQ_WRITE;
        f.raw = reply;
        fake_node_set_fault(node(), f);
        ASSERT_EQ(0, put(400 + (uint32_t)i, &tokens[i], 5000)) << value_len;
        ASSERT_TRUE(g_rec.wait_count(i + 1)) << value_len;
        auto calls = g_rec.of(&tokens[i]);
        ASSERT_EQ(1u, calls.size()) << value_len;
        EXPECT_TRUE(calls[0].success) << value_len;
        EXPECT_EQ(0, calls[0].rv) << value_len;
        EXPECT_EQ(1, pooled()) << value_len;
        i++;
    }
    EXPECT_EQ(0u, dropouts());
}

class AsyncOneReceiverTest : public AsyncTest {
protected:
    AsyncOneReceiverTest() { threads = 1; }
};

std::atomic<void *> g_watched{nullptr};
std::atomic<uint64_t> g_retries_at_watched{UINT64_MAX};

void note_retries(void *udata)
{
    if (udata == g_watched.load()) {
        uint64_t r, d;
        int w;
        tamberlin_async_getstats(&r, &d, &w);
        g_retries_at_watched = r;
    }
}

// One receiver waits for all its pending replies at once: a reply that has
// come is served while an earlier write's reply is still awaited, without
// that write's 50-ms poll being waited out first (no retry counted by then).
// A stall of the machine can push a try past the poll, so up to three tries.
TEST_F(AsyncOneReceiverTest, AReplyThatCameIsServedWhileAnEarlierOneIsAwaited)
{
    g_on_callback = note_retries;
    int silent[3], answered[3];
    bool served_first = false;
    for (int t = 0; t < 3 && !served_first; t++) {
        fake_fault f;
        f.kind = FAKE_FAULT_SILENT;
        f.on = FAKE_REQ_WRITE;
        ka::ox_digest d = digest_of(200 + (uint32_t)t);
        f.digest.assign((const char *)d.digest, 20);
        fake_node_set_fault(node(), f);
        size_t writes = fake_node_write_count(node());
        ASSERT_EQ(0, put(200 + (uint32_t)t, &silent[t], 20000));
        ASSERT_TRUE(wait_until([&] { return fake_node_write_count(node()) > writes; }, 10000));
        uint64_t r0 = retries();
        g_watched = &answered[t];
        g_retries_at_watched = UINT64_MAX;
        ASSERT_EQ(0, put(300 + (uint32_t)t, &answered[t], 20000));
        ASSERT_TRUE(wait_until([&] { return !g_rec.of(&answered[t]).empty(); }, 10000));
        EXPECT_TRUE(g_rec.of(&answered[t])[0].success);
        EXPECT_EQ(0, g_rec.of(&answered[t])[0].rv);
        EXPECT_TRUE(g_rec.of(&silent[t]).empty()) << "the silent write is still awaited";
        served_first = g_retries_at_watched.load() == r0;
    }
    EXPECT_TRUE(served_first) << "the answered write waited for the silent one's poll to end";
    g_on_callback = nullptr;
}

// A delete sends no transaction id: whatever id its reply echoes, it is
// taken; so is a write reply without the field.
TEST_F(AsyncTest, DeletesAndRepliesWithoutAnIdAreNotMismatches)
{
    int t1, t2;
    int closes = fake_node_peer_closes(node());
    fake_fault f;
    f.kind = FAKE_FAULT_TRID_MISMATCH;
    f.on = FAKE_REQ_DELETE;
    fake_node_set_fault(node(), f);
    ka::ox_digest d = digest_of(100);
    ka_write_parameters wp = params(2000);
    ASSERT_EQ(0, tamberlin_async_delete_digest_relay(asc, "test", &d, &wp, &t1));
    ASSERT_TRUE(g_rec.wait_count(1));
    EXPECT_TRUE(g_rec.of(&t1)[0].success);
    EXPECT_EQ(KA_PROTO_RESULT_FAIL_NOTFOUND, g_rec.of(&t1)[0].rv);

    std::string no_field = std::string("\x02\x03\x00\x00\x00\x00\x00\x16", 8) + std::string(1, 22) +
                           std::string(21, '\0');
    f.kind = FAKE_FAULT_RAW_REPLY;
    f.on = FAKE_REQ_WRITE;
    f.raw = no_field;
    fake_node_set_fault(node(), f);
    ASSERT_EQ(0, put(101, &t2, 2000, 77));
    ASSERT_TRUE(g_rec.wait_count(2));
    EXPECT_TRUE(g_rec.of(&t2)[0].success);
    EXPECT_EQ(0, g_rec.of(&t2)[0].rv);
    EXPECT_EQ(closes, fake_node_peer_closes(node()));
    EXPECT_EQ(1, pooled());
}

// A send that succeeded but could not be queued closes its connection,
// releases its node, calls nothing back and returns -1.
TEST_F(AsyncTest, AFailedQueuePushAfterTheSendClosesAndReturnsMinusOne)
{
    ka_cluster_node *cn = cnode();
    uint32_t node_refs = refs(cn);
    size_t sent = fake_node_request_count(node());
    int conns = fake_node_connections(node());
    ka_async_test_fail(KA_ASYNC_TEST_PUSH, 0, 1);
    int token;
    EXPECT_EQ(-1, put(110, &token, 2000));
    EXPECT_TRUE(fake_node_wait_requests(node(), sent + 1, 30000)); // it was sent
    EXPECT_EQ(0, pooled());
    EXPECT_EQ(conns + 1, fake_node_connections(node()));
    EXPECT_EQ(node_refs, refs(cn));
    EXPECT_EQ(0, inflight());
    // The poll's own push failing ends the write on its failure callback.
    fake_node_hold(node(), FAKE_REQ_WRITE);
    ka_async_test_fail(KA_ASYNC_TEST_PUSH, 1, 1);
    ASSERT_EQ(0, put(111, &token, 0));
    ASSERT_TRUE(g_rec.wait_count(1));
    fake_node_release(node());
    EXPECT_FALSE(g_rec.of(&token)[0].success);
    EXPECT_EQ(-1, g_rec.of(&token)[0].rv);
    EXPECT_EQ(node_refs, refs(cn));
    EXPECT_EQ(1u, g_rec.count());
}

// The stop: every write still in flight gets one failure callback with its
// user data, its connection closed and its node released; the engine can be
// started again afterwards.
TEST_F(AsyncTest, ShutdownCallsBackWhatIsInFlightAndCanStartAgain)
{
    ka_cluster_node *cn = cnode();
    uint32_t node_refs = refs(cn);
    fake_node_hold(node(), FAKE_REQ_WRITE);
    int tokens[5];
    for (int i = 0; i < 5; i++) {
        ASSERT_EQ(0, put(120 + i, &tokens[i], 0));
    }
    ASSERT_TRUE(fake_node_wait_held(node(), 5, 30000));
    tamberlin_async_shutdown();
    EXPECT_EQ(0, tamberlin_async_receivers());
    ASSERT_EQ(5u, g_rec.count());
    for (int i = 0; i < 5; i++) {
        auto c = g_rec.of(&tokens[i]);
        ASSERT_EQ(1u, c.size());
        EXPECT_FALSE(c[0].success);
        EXPECT_EQ(-1, c[0].rv);
    }
    EXPECT_EQ(node_refs, refs(cn));
    EXPECT_EQ(0, pooled());
    fake_node_release(node());
    EXPECT_EQ(nullptr, g_ka_async_q.load());
    tamberlin_async_shutdown(); // a second stop does nothing

    ASSERT_EQ(0, tamberlin_async_init(4, 3, on_fail, on_success));
    EXPECT_TRUE(wait_until([] { return tamberlin_async_receivers() == 3; }));
    int again;
    ASSERT_EQ(0, put(130, &again, 2000));
    ASSERT_TRUE(g_rec.wait_count(6));
    EXPECT_EQ(0, g_rec.of(&again)[0].rv);
    // Receivers made surplus by a lower count end while nothing is sent.
    ASSERT_EQ(0, tamberlin_async_reinit(4, 1));
    EXPECT_TRUE(wait_until([] { return tamberlin_async_receivers() == 1; }));
}

TEST_F(AsyncTest, StartAndReinitRefuseBadSettings)
{
    cluster_test::log_capture log;
    tamberlin_async_shutdown();
    EXPECT_EQ(-1, tamberlin_async_reinit(10, 2));
    EXPECT_TRUE(log.has("Async client not initialized cannot reinit"));
    int bad[][2] = {{0, 1}, {1, 0}, {-5, 2}, {3, -1}};
    for (auto &b : bad) {
        EXPECT_EQ(-1, tamberlin_async_init(b[0], b[1], on_fail, on_success)) << b[0] << " " << b[1];
        EXPECT_EQ(0, tamberlin_async_receivers());
        EXPECT_EQ(nullptr, g_ka_async_q.load());
    }
    ASSERT_EQ(0, tamberlin_async_init(40, 40, on_fail, on_success));
    EXPECT_TRUE(wait_until([] { return tamberlin_async_receivers() == KA_ASYNC_MAX_THREADS; }));
    EXPECT_EQ(0, tamberlin_async_init(1, 1, nullptr, nullptr)); // running: nothing changes
    EXPECT_EQ(-1, tamberlin_async_reinit(0, 4));
    EXPECT_EQ(-1, tamberlin_async_reinit(4, 0));
    EXPECT_EQ(KA_ASYNC_MAX_THREADS, tamberlin_async_receivers());
    int token;
    ASSERT_EQ(0, put(140, &token, 2000)); // the first start's callbacks are kept
    ASSERT_TRUE(g_rec.wait_count(1));
}

TEST_F(AsyncTest, ReinitStartsMissingReceiversAndSurplusOnesEnd)
{
    ASSERT_EQ(0, tamberlin_async_reinit(limit, 8));
    EXPECT_TRUE(wait_until([] { return tamberlin_async_receivers() == 8; }));
    ASSERT_EQ(0, tamberlin_async_reinit(limit, 4));
    // Surplus receivers end after their next item, so writes wear them down.
    size_t n = 0;
    EXPECT_TRUE(wait_until([&] {
        int t;
        if (put(150, &t, 2000) == 0) {
            n++;
            g_rec.wait_count(n);
        }
        return tamberlin_async_receivers() == 4;
    }));
    ASSERT_EQ(0, tamberlin_async_reinit(limit, 6));
    EXPECT_TRUE(wait_until([] { return tamberlin_async_receivers() == 6; }));
}

// A start that fails leaves nothing behind: no receiver, no queue, writes
// refused; a later start works.
TEST_F(AsyncTest, AFailedStartLeavesNothingHalfMade)
{
    tamberlin_async_shutdown();
    struct {
        ka_async_test_step step;
        int after;
    } cases[] = {{KA_ASYNC_TEST_QUEUE_CREATE, 0}, {KA_ASYNC_TEST_QUEUE_CREATE, 1}, {KA_ASYNC_TEST_THREAD_START, 0},
                 {KA_ASYNC_TEST_THREAD_START, 2}};
    int token;
    for (const auto &c : cases) {
        ka_async_test_fail(c.step, c.after, 1);
        EXPECT_EQ(-1, tamberlin_async_init(10, 4, on_fail, on_success));
        ka_async_test_fail(c.step, 0, 0);
        EXPECT_EQ(0, tamberlin_async_receivers());
        EXPECT_EQ(nullptr, g_ka_async_q.load());
        EXPECT_EQ(nullptr, g_ka_workitems_freepool_q.load());
        EXPECT_EQ(-1, put(160, &token, 2000));
    }
    ASSERT_EQ(0, tamberlin_async_init(10, 4, on_fail, on_success));
    ASSERT_EQ(0, put(161, &token, 2000));
    ASSERT_TRUE(g_rec.wait_count(1));
    EXPECT_EQ(1u, g_rec.count());
    // A reinit that cannot start a receiver keeps those that run.
    ka_async_test_fail(KA_ASYNC_TEST_THREAD_START, 1, 1);
    EXPECT_EQ(-1, tamberlin_async_reinit(10, 8));
    ka_async_test_fail(KA_ASYNC_TEST_THREAD_START, 0, 0);
    EXPECT_TRUE(wait_until([] { return tamberlin_async_receivers() == 5; }));
}

// Send-side times: an attempt lasts the timeout up to 700 ms and half of it
// above; without a timeout, the network timeout (a value below 1 ignored).
// The listener never reads, so each attempt ends on its time, and every
// attempt opens a connection of its own.
TEST_F(AsyncTest, SendAttemptsFollowTheTimeoutRules)
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
    ka::ox_digest d = digest_of(170);
    auto drain = [&] {
        // Connections that attempts made, all still queued at the listener.
        int n = 0;
        fcntl(bh.fd, F_SETFL, O_NONBLOCK);
        for (int fd; (fd = accept(bh.fd, nullptr, nullptr)) >= 0; n++) {
            close(fd);
        }
        return n;
    };
    struct {
        int timeout_ms;
        ka_write_policy pol;
        int attempts;
        int rv;
    } cases[] = {
        {600, KA_WRITE_RETRY, 1, TAMBERLIN_FAIL_TIMEOUT},
        {700, KA_WRITE_RETRY, 1, TAMBERLIN_FAIL_TIMEOUT},
        {1000, KA_WRITE_RETRY, 2, TAMBERLIN_FAIL_TIMEOUT},
        {1000, KA_WRITE_ONESHOT, 1, ETIMEDOUT},
        {1400, KA_WRITE_RETRY, 2, TAMBERLIN_FAIL_TIMEOUT},
    };
    int token;
    for (const auto &c : cases) {
        // A send that passes its deadline counts the node unreachable, which
        // would end the next case's send after its first attempt.
        bh_node->intervals_unreachable = 0;
        ka_write_parameters wp = params(c.timeout_ms, c.pol);
        uint64_t t0 = ka::ox_getms();
        EXPECT_EQ(c.rv, tamberlin_async_put_digest_relay(quiet, "test", &d, "s", &b, 1, &wp, 5, &token))
            << c.timeout_ms;
        EXPECT_GE(ka::ox_getms() - t0, (uint64_t)(c.pol == KA_WRITE_ONESHOT ? c.timeout_ms / 2 : c.timeout_ms));
        EXPECT_EQ(c.attempts, drain()) << c.timeout_ms;
    }
    tamberlin_async_set_nw_timeout(300);
    tamberlin_async_set_nw_timeout(0);
    tamberlin_async_set_nw_timeout(-4);
    ka_write_parameters wp = params(0, KA_WRITE_ONESHOT);
    uint64_t t0 = ka::ox_getms();
    EXPECT_EQ(ETIMEDOUT, tamberlin_async_put_digest_relay(quiet, "test", &d, "s", &b, 1, &wp, 5, &token));
    EXPECT_GE(ka::ox_getms() - t0, 300u);
    EXPECT_EQ(1, drain());
    tamberlin_async_set_nw_timeout(KA_ASYNC_NW_TIMEOUT_DEFAULT);
    EXPECT_EQ(0u, g_rec.count());
    EXPECT_EQ(0, inflight());
    tamberlin_cluster_destroy(quiet);
}

} // namespace

namespace {

// A forked child has the engine's state but none of its receivers: its
// writes are refused (no callback could come), its stop lets go without
// joining, and it can start an engine of its own.
TEST_F(AsyncTest, AForkedChildRefusesWritesUntilItStartsItsOwnEngine)
{
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int token;
        int code = 0;
        code |= put(180, &token, 2000) == -1 ? 0 : 1;
        code |= tamberlin_async_reinit(10, 2) == -1 ? 0 : 2;
        code |= tamberlin_async_init(10, 2, on_fail, on_success) == 0 ? 0 : 4;
        code |= wait_until([] { return tamberlin_async_receivers() == 2; }) ? 0 : 8;
        tamberlin_async_shutdown();
        code |= tamberlin_async_receivers() == 0 ? 0 : 16;
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    // The parent's engine is untouched.
    int token;
    ASSERT_EQ(0, put(181, &token, 2000));
    ASSERT_TRUE(g_rec.wait_count(1));
    EXPECT_EQ(0, g_rec.of(&token)[0].rv);
}

} // namespace
