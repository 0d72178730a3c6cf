// Requests and replies over a socket against the stand-in node: writes,
// reads, deletes, compressed requests and replies, split replies, faults, and
// the table of malformed replies (each must fail with a code and a closed
// connection, and nothing else, under the sanitizers too).
#include "tamberlin/ox_packet_compression.h"
#include "ka_wire_fixture.h"
#include "testkit/digest.h"

#include <string>
#include <vector>

namespace {

struct Request {
    uint8_t stack[KA_MSG_STACK_BUF_SZ];
    uint8_t *buf = stack;
    size_t sz = sizeof(stack);
    ~Request()
    {
        if (buf != stack)
            free(buf);
    }
};

void compile_write(Request *r, const ka::ox_digest &d, std::vector<ka_bin> &bins, const ka_write_parameters *wp,
                   const char *set = "s1")
{
    ASSERT_EQ(ka_compile(KA_MSG_INFO1_FERRY, KA_MSG_INFO2_WRITE, 0, "ns", set, nullptr, &d, bins.data(), KA_OP_WRITE,
                         nullptr, static_cast<int>(bins.size()), &r->buf, &r->sz, wp, nullptr, 0, nullptr),
              0);
}

void compile_read_all(Request *r, const ka::ox_digest &d, int extra_info1 = 0)
{
    ASSERT_EQ(ka_compile(KA_MSG_INFO1_READ | KA_MSG_INFO1_GET_ALL | extra_info1, 0, 0, "ns", nullptr, nullptr, &d,
                         nullptr, KA_OP_READ, nullptr, 0, &r->buf, &r->sz, nullptr, nullptr, 0, nullptr),
              0);
}

std::vector<ka_bin> two_bins(char *text)
{
    std::vector<ka_bin> bins(2);
    strcpy(bins[0].bin_name, "i");
    tamberlin_object_init_int(&bins[0].object, -5);
    strcpy(bins[1].bin_name, "s");
    tamberlin_object_init_str(&bins[1].object, text);
    return bins;
}

} // namespace

TEST_F(NodeTest, WriteReadDeleteOnOneConnection)
{
    char text[] = "hello";
    std::vector<ka_bin> bins = two_bins(text);
    ka::ox_digest d = testkit_digest(1, 0x5A);
    sockaddr_in sa = addr();
    int fd = ka::ox_socket_create_and_connect_nb(&sa);
    ASSERT_GE(fd, 0);

    Request w;
    compile_write(&w, d, bins, nullptr);
    Exchange e1;
    exchange(fd, w.buf, w.sz, &e1);
    ASSERT_EQ(e1.rc, 0);
    EXPECT_EQ(e1.result, 0);
    EXPECT_EQ(uint32_t(e1.head.m.generation), 1u);

    // The node stored exactly what the message carried.
    fake_record rec;
    ASSERT_TRUE(fake_node_get_record(node, "ns", d.digest, &rec));
    EXPECT_EQ(rec.set, "s1");
    ASSERT_EQ(rec.bins.size(), 2u);
    EXPECT_EQ(rec.bins[0].value, std::string("\xff\xff\xff\xff\xff\xff\xff\xfb", 8));
    EXPECT_EQ(rec.bins[1].value, "hello");

    Request r;
    compile_read_all(&r, d, KA_MSG_INFO1_FERRY);
    Exchange e2;
    exchange(fd, r.buf, r.sz, &e2);
    ASSERT_EQ(e2.rc, 0);
    ASSERT_EQ(e2.n_bins, 2);
    EXPECT_EQ(e2.bins[0].object.u.i64, -5);
    EXPECT_STREQ(e2.bins[1].object.u.str, "hello");
    EXPECT_STREQ(e2.set, "s1") << "the set name comes back when asked for";

    Request del;
    ASSERT_EQ(ka_compile(0, KA_MSG_INFO2_WRITE | KA_MSG_INFO2_DELETE, 0, "ns", nullptr, nullptr, &d, nullptr,
                         KA_OP_WRITE, nullptr, 0, &del.buf, &del.sz, nullptr, nullptr, 0, nullptr),
              0);
    Exchange e3, e4;
    exchange(fd, del.buf, del.sz, &e3);
    EXPECT_EQ(e3.result, 0);
    exchange(fd, del.buf, del.sz, &e4);
    EXPECT_EQ(e4.result, KA_PROTO_RESULT_FAIL_NOTFOUND);
    EXPECT_EQ(fake_node_connections(node), 1) << "several requests in sequence on one connection";

    // Every request was recorded with its raw bytes.
    fake_request fr;
    ASSERT_TRUE(fake_node_request(node, 0, &fr));
    EXPECT_EQ(fr.raw, std::string(reinterpret_cast<char *>(w.buf), w.sz));
    close(fd);
}

TEST_F(NodeTest, ReadKinds)
{
    ka::ox_digest d = testkit_digest(7, 0x5A);
    fake_record rec;
    rec.set = "theset";
    rec.generation = 3;
    rec.bins = {{"i", KA_INT, std::string("\0\0\0\0\0\0\0\x09", 8)}, {"s", KA_STR, "text"}, {"t", KA_STR, "more"}};
    fake_node_put_record(node, "ns", d.digest, rec);
    sockaddr_in sa = addr();
    int fd = ka::ox_socket_create_and_connect_nb(&sa);

    std::vector<ka_bin> named(2);
    strcpy(named[0].bin_name, "t");
    strcpy(named[1].bin_name, "i");
    for (auto &b : named)
        tamberlin_object_init_null(&b.object);
    struct {
        const char *what;
        int info1;
        bool by_name;
        std::vector<std::string> names; // bins in the reply, in order
        const char *set;
    } cases[] = {
        {"all bins", KA_MSG_INFO1_READ | KA_MSG_INFO1_GET_ALL, false, {"i", "s", "t"}, ""},
        {"named bins", KA_MSG_INFO1_READ, true, {"t", "i"}, ""},
        {"no bin data", KA_MSG_INFO1_READ | KA_MSG_INFO1_GET_ALL | KA_MSG_INFO1_NOBINDATA, false, {}, ""},
        {"with the set name", KA_MSG_INFO1_READ | KA_MSG_INFO1_NOBINDATA | KA_MSG_INFO1_FERRY, false, {}, "theset"},
    };
    for (const auto &c : cases) {
        Request r;
        ASSERT_EQ(ka_compile(c.info1, 0, 0, "ns", nullptr, nullptr, &d, c.by_name ? named.data() : nullptr,
                             KA_OP_READ, nullptr, c.by_name ? 2 : 0, &r.buf, &r.sz, nullptr, nullptr, 0, nullptr),
                  0);
        Exchange e;
        exchange(fd, r.buf, r.sz, &e);
        ASSERT_EQ(e.rc, 0) << c.what;
        EXPECT_EQ(e.result, 0) << c.what;
        EXPECT_EQ(uint32_t(e.head.m.generation), 3u) << c.what;
        EXPECT_STREQ(e.set, c.set) << c.what;
        ASSERT_EQ(e.n_bins, static_cast<int>(c.names.size())) << c.what;
        for (size_t i = 0; i < c.names.size(); i++)
            EXPECT_EQ(e.bins[i].bin_name, c.names[i]) << c.what;
    }
    close(fd);
}

TEST_F(NodeTest, GenerationChecksAndCreateOnly)
{
    char text[] = "x";
    std::vector<ka_bin> bins = two_bins(text);
    ka::ox_digest d = testkit_digest(2, 0x5A);
    fake_record seed;
    seed.generation = 4;
    fake_node_put_record(node, "ns", d.digest, seed);
    sockaddr_in sa = addr();
    int fd = ka::ox_socket_create_and_connect_nb(&sa);

    struct {
        const char *what;
        bool unique, gen, gen_gt;
        uint32_t generation;
        int result;
    } cases[] = {
        {"create only on an existing record", true, false, false, 0, KA_PROTO_RESULT_FAIL_KEY_EXISTS},
        {"generation equal, wrong", false, true, false, 3, KA_PROTO_RESULT_FAIL_GENERATION},
        {"generation equal, right", false, true, false, 4, 0},
        {"generation greater, not greater", false, false, true, 5, KA_PROTO_RESULT_FAIL_GENERATION},
        {"generation greater, greater", false, false, true, 9, 0},
        {"unique wins over generation", true, true, false, 6, KA_PROTO_RESULT_FAIL_KEY_EXISTS},
    };
    for (const auto &c : cases) {
        ka_write_parameters wp;
        ka_write_parameters_set_default(&wp);
        wp.timeout_ms = 100;
        wp.unique = c.unique;
        wp.use_generation = c.gen;
        wp.use_generation_gt = c.gen_gt;
        wp.generation = c.generation;
        Request w;
        compile_write(&w, d, bins, &wp);
        Exchange e;
        exchange(fd, w.buf, w.sz, &e);
        ASSERT_EQ(e.rc, 0) << c.what;
        EXPECT_EQ(e.result, c.result) << c.what;
    }
    close(fd);
}

TEST_F(NodeTest, CompressedRequestInflatesToTheExactBytes)
{
    std::string big(3000, 'q');
    std::vector<ka_bin> bins(1);
    strcpy(bins[0].bin_name, "big");
    tamberlin_object_init_str2(&bins[0].object, &big[0], big.size());
    ka::ox_digest d = testkit_digest(3, 0x5A);
    Request w;
    compile_write(&w, d, bins, nullptr);
    uint8_t *c = nullptr;
    size_t clen = 0;
    uint64_t in_stat, out_stat;
    ASSERT_EQ(ka::ox_compress_for_send(1000, w.buf, w.sz, &c, &clen, &in_stat, &out_stat), 1);
    sockaddr_in sa = addr();
    int fd = ka::ox_socket_create_and_connect_nb(&sa);
    Exchange e;
    exchange(fd, c, clen, &e);
    EXPECT_EQ(e.rc, 0);
    EXPECT_EQ(e.result, 0);
    fake_request fr;
    ASSERT_TRUE(fake_node_request(node, 0, &fr));
    EXPECT_EQ(fr.proto_type, KA_PROTO_TYPE_KA_MSG_COMPRESSED);
    EXPECT_FALSE(fr.malformed);
    EXPECT_EQ(fr.message, std::string(reinterpret_cast<char *>(w.buf), w.sz));
    EXPECT_EQ(fr.raw, std::string(reinterpret_cast<char *>(c), clen));
    fake_record rec;
    ASSERT_TRUE(fake_node_get_record(node, "ns", d.digest, &rec));
    EXPECT_EQ(rec.bins[0].value, big);

    // A compressed request whose original size lies is refused by the node.
    uint64_t lie = w.sz + 1;
    memcpy(c + 8, &lie, 8);
    Exchange bad;
    exchange(fd, c, clen, &bad);
    EXPECT_EQ(bad.result, KA_PROTO_RESULT_FAIL_PARAMETER);
    ASSERT_TRUE(fake_node_request(node, 1, &fr));
    EXPECT_TRUE(fr.malformed);
    free(c);
    if (fd >= 0)
        close(fd);
}

TEST_F(NodeTest, CompressedAndSplitRepliesAreRead)
{
    char text[] = "payload";
    std::vector<ka_bin> bins = two_bins(text);
    ka::ox_digest d = testkit_digest(4, 0x5A);
    fake_record rec;
    rec.generation = 7;
    rec.bins = {{"s", KA_STR, std::string(5000, 'z')}};
    fake_node_put_record(node, "ns", d.digest, rec);
    Request r;
    compile_read_all(&r, d);
    sockaddr_in sa = addr();
    int fd = ka::ox_socket_create_and_connect_nb(&sa);

    fake_node_set_compress_replies(node, true);
    Exchange e1;
    exchange(fd, r.buf, r.sz, &e1);
    ASSERT_EQ(e1.rc, 0);
    EXPECT_EQ(uint32_t(e1.head.m.generation), 7u);
    ASSERT_EQ(e1.n_bins, 1);
    EXPECT_EQ(std::string(e1.bins[0].object.u.str), std::string(5000, 'z'));
    fake_node_set_compress_replies(node, false);

    fake_fault split;
    split.kind = FAKE_FAULT_SPLIT;
    split.pieces = 7;
    split.pause_ms = 5;
    fake_node_set_fault(node, split);
    Exchange e2;
    exchange(fd, r.buf, r.sz, &e2);
    ASSERT_EQ(e2.rc, 0);
    ASSERT_EQ(e2.n_bins, 1);
    EXPECT_EQ(e2.bins[0].object.sz, 5000u);

    fake_fault code;
    code.kind = FAKE_FAULT_RESULT_CODE;
    code.result_code = KA_PROTO_RESULT_FAIL_KEY_BUSY;
    fake_node_set_fault(node, code);
    Exchange e3;
    exchange(fd, r.buf, r.sz, &e3);
    EXPECT_EQ(e3.result, KA_PROTO_RESULT_FAIL_KEY_BUSY);
    close(fd);
}

TEST_F(NodeTest, ConnectionFaultsGiveSocketCodes)
{
    ka::ox_digest d = testkit_digest(5, 0x5A);
    Request r;
    compile_read_all(&r, d);
    struct {
        fake_fault_kind kind;
        int want_a, want_b; // the codes that may show (a reset can look like a close)
    } cases[] = {
        {FAKE_FAULT_SILENT, 110, 110},
        {FAKE_FAULT_DELAY, 110, 110},
        {FAKE_FAULT_CLOSE_AFTER_REQUEST, 9, 9},
        {FAKE_FAULT_CLOSE_MID_REPLY, 9, 9},
        {FAKE_FAULT_RESET, ECONNRESET, 9},
    };
    for (const auto &c : cases) {
        fake_fault f;
        f.kind = c.kind;
        f.delay_ms = 60000; // far beyond the exchange's 200 ms; a stopping node cuts it short
        fake_node_set_fault(node, f);
        sockaddr_in sa = addr();
        int fd = ka::ox_socket_create_and_connect_nb(&sa);
        Exchange e;
        exchange(fd, r.buf, r.sz, &e, 200);
        EXPECT_TRUE(e.rc == c.want_a || e.rc == c.want_b) << c.kind << ": " << e.rc;
        EXPECT_TRUE(e.closed);
    }
}

TEST_F(NodeTest, MalformedRepliesFailAndClose)
{
    ka::ox_digest d = testkit_digest(6, 0x5A);
    fake_record rec;
    rec.generation = 1;
    rec.bins = {{"b", KA_INT, std::string("\0\0\0\0\0\0\0\x07", 8)}};
    fake_node_put_record(node, "ns", d.digest, rec);
    Request r;
    compile_read_all(&r, d);
    struct {
        fake_bad_reply bad;
        int rc; // what the exchange must end with
    } cases[] = {
        {FAKE_BAD_SIZE_PAST_END, 9},                       // the node closes before the promised bytes
        {FAKE_BAD_HEADER_SZ, KA_REPLY_MALFORMED},
        {FAKE_BAD_PROTO_BELOW_HEADER, KA_REPLY_MALFORMED},
        {FAKE_BAD_HUGE_SIZE, KA_REPLY_MALFORMED},
        {FAKE_BAD_FIELD_PAST_BODY, KA_REPLY_MALFORMED},
        {FAKE_BAD_FIELD_COUNT, KA_REPLY_MALFORMED},
        {FAKE_BAD_OP_PAST_BODY, KA_REPLY_MALFORMED},
        {FAKE_BAD_OP_COUNT, KA_REPLY_MALFORMED},
        {FAKE_BAD_NEGATIVE_VALUE_LEN, KA_REPLY_MALFORMED},
        {FAKE_BAD_BIN_NAME_32, KA_REPLY_MALFORMED},
        {FAKE_BAD_PARTICLE_TYPE, KA_REPLY_MALFORMED},
        {FAKE_BAD_INT_TOO_LONG, KA_REPLY_MALFORMED},
        {FAKE_BAD_SHORT_COMPRESSED, KA_REPLY_MALFORMED},
        {FAKE_BAD_COMPRESSED_HUGE_ORG, KA_REPLY_MALFORMED},
        {FAKE_BAD_COMPRESSED_ORG_SZ, KA_REPLY_MALFORMED},
    };
    static_assert(sizeof(cases) / sizeof(cases[0]) == FAKE_BAD_COUNT_, "every malformed reply is in the table");
    int closes = fake_node_peer_closes(node);
    for (const auto &c : cases) {
        fake_fault f;
        f.kind = FAKE_FAULT_MALFORMED;
        f.bad = c.bad;
        fake_node_set_fault(node, f);
        sockaddr_in sa = addr();
        int fd = ka::ox_socket_create_and_connect_nb(&sa);
        Exchange e;
        exchange(fd, r.buf, r.sz, &e, 500);
        EXPECT_EQ(e.rc, c.rc) << "bad reply " << c.bad;
        EXPECT_EQ(e.bins, nullptr) << "bad reply " << c.bad;
        EXPECT_EQ(e.n_bins, 0) << "bad reply " << c.bad;
        EXPECT_TRUE(e.closed);
        if (c.bad != FAKE_BAD_SIZE_PAST_END) {
            // The node saw the client hang up on the connection.
            EXPECT_TRUE(fake_node_wait_peer_closes(node, ++closes, 5000)) << "bad reply " << c.bad;
        } else {
            closes = fake_node_peer_closes(node);
        }
    }
    // The node serves normally afterwards.
    sockaddr_in sa = addr();
    int fd = ka::ox_socket_create_and_connect_nb(&sa);
    Exchange ok;
    exchange(fd, r.buf, r.sz, &ok);
    EXPECT_EQ(ok.rc, 0);
    EXPECT_EQ(ok.n_bins, 1);
    close(fd);
}
