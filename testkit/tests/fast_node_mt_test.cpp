// The throughput stand-in's counts: every write and delete sent on several
// connections, pipelined and cut into pieces, is answered once in order with
// its transaction id, and counted against its own digest.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tamberlin/ox_socket.h"
#include "tamberlin/proto.h"
#include "tamberlin/tamberlin.h"
#include "testkit/fast_node.h"

namespace {

int connect_to(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons((uint16_t)port);
    if (connect(fd, (sockaddr *)&sa, sizeof(sa)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

ka::ox_digest digest_of(int i)
{
    ka::ox_digest d;
    memset(d.digest, 0, 20);
    memcpy(d.digest, &i, sizeof(i));
    d.digest[19] = (uint8_t)(i * 7); // spreads the digests over the shards
    return d;
}

// A replicated write (value "v<i>-<seq>") or delete of digest i, as the
// shipper's engine compiles it.
std::string request(int i, bool del, int seq, uint64_t trid)
{
    ka::ox_digest d = digest_of(i);
    ka_bin bin;
    memset(&bin, 0, sizeof(bin));
    strcpy(bin.bin_name, "b");
    std::string v = "v" + std::to_string(i) + "-" + std::to_string(seq);
    tamberlin_object_init_str2(&bin.object, v.data(), v.size());
    ka_write_parameters wp;
    ka_write_parameters_set_default(&wp);
    uint8_t stack[4096], *buf = stack;
    size_t sz = sizeof(stack);
    int info2 = KA_MSG_INFO2_WRITE | (del ? KA_MSG_INFO2_DELETE : 0);
    int rv = ka_compile(KA_MSG_INFO1_FERRY, info2, 0, "test", del ? nullptr : "set", nullptr, &d, del ? nullptr : &bin,
                        KA_OP_WRITE, nullptr, del ? 0 : 1, &buf, &sz, &wp, nullptr, trid, nullptr);
    EXPECT_EQ(rv, 0);
    std::string out((char *)buf, sz);
    if (buf != stack)
        free(buf);
    return out;
}

bool send_all(int fd, const std::string &s)
{
    return ka::ox_socket_write_timeout(fd, (const uint8_t *)s.data(), s.size(), 0, 5000) == 0;
}

// One reply: its result code and transaction id (0 when it carried none).
bool read_one(int fd, int *result, uint64_t *trid)
{
    qm_msg head;
    uint8_t stack[1024], *body = nullptr, *heap = nullptr;
    size_t body_len = 0;
    if (ka_read_reply(fd, 0, 5000, &head, stack, sizeof(stack), &body, &body_len, &heap) != 0)
        return false;
    *trid = 0;
    int n_bins = 0;
    ka_bin *bins = nullptr;
    int rv = ka_parse(&head.m, body, body_len, &bins, nullptr, &n_bins, trid, nullptr);
    free(heap);
    *result = head.m.result_code;
    return rv == 0;
}

struct op_case {
    const char *name;
    const char *ops; // W write, D delete, in order, all of one digest
    uint64_t writes, deletes;
    bool live;
};

} // namespace

TEST(FastNode, CountsEveryWriteAndDeleteAgainstItsDigest)
{
    const op_case cases[] = {
        {"one write", "W", 1, 0, true},
        {"rewritten", "WWW", 3, 0, true},
        {"written then deleted", "WD", 1, 1, false},
        {"deleted unseen", "D", 0, 1, false},
        {"written again after a delete", "WDW", 2, 1, true},
        {"deleted twice", "WDD", 1, 2, false},
    };
    const int n_cases = (int)(sizeof(cases) / sizeof(cases[0]));
    const int kConns = 3, kRounds = 40; // each case on every connection, for distinct digests
    fast_node_cfg cfg;
    cfg.threads = 2;
    cfg.keep_records = true;
    fast_node *n = fast_node_start(cfg);
    ASSERT_NE(n, nullptr);
    int fds[kConns];
    for (int &fd : fds) {
        fd = connect_to(fast_node_port(n));
        ASSERT_GE(fd, 0);
    }
    // Everything is sent before any reply is read: requests pipeline, and
    // connection c sends its bytes in pieces of c * 7 + 1 bytes so that
    // requests straddle reads.
    std::vector<std::vector<uint64_t>> trids(kConns);
    uint64_t want_w = 0, want_d = 0;
    size_t want_live = 0;
    for (int c = 0; c < kConns; c++) {
        std::string all;
        for (int r = 0; r < kRounds; r++) {
            for (int k = 0; k < n_cases; k++) {
                int dig = (c * kRounds + r) * n_cases + k + 1;
                int seq = 0;
                for (const char *o = cases[k].ops; *o; o++, seq++) {
                    uint64_t trid = ((uint64_t)dig << 16) | (uint64_t)seq;
                    trids[c].push_back(trid);
                    all += request(dig, *o == 'D', seq, trid);
                }
                want_w += cases[k].writes;
                want_d += cases[k].deletes;
                want_live += cases[k].live;
            }
        }
        size_t piece = (size_t)c * 7 + 1;
        for (size_t off = 0; off < all.size(); off += piece)
            ASSERT_TRUE(send_all(fds[c], all.substr(off, piece)));
    }
    for (int c = 0; c < kConns; c++) {
        for (uint64_t want : trids[c]) {
            int result = -1;
            uint64_t trid = 0;
            ASSERT_TRUE(read_one(fds[c], &result, &trid)) << "connection " << c;
            EXPECT_EQ(result, 0);
            ASSERT_EQ(trid, want) << "replies in request order, each with its own id";
        }
    }
    EXPECT_EQ(fast_node_writes(n), want_w);
    EXPECT_EQ(fast_node_deletes(n), want_d);
    EXPECT_EQ(fast_node_records(n), want_live);
    EXPECT_EQ(fast_node_malformed(n), 0u);
    for (int c = 0; c < kConns; c++) {
        for (int r = 0; r < kRounds; r++) {
            for (int k = 0; k < n_cases; k++) {
                int dig = (c * kRounds + r) * n_cases + k + 1;
                ka::ox_digest d = digest_of(dig);
                fast_node_counts got;
                ASSERT_TRUE(fast_node_digest(n, d.digest, &got)) << cases[k].name;
                EXPECT_EQ(got.writes, cases[k].writes) << cases[k].name;
                EXPECT_EQ(got.deletes, cases[k].deletes) << cases[k].name;
                EXPECT_EQ(got.live, cases[k].live) << cases[k].name;
                // The last write's value is kept while the record lives.
                std::string last = "v" + std::to_string(dig) + "-" + std::to_string(strlen(cases[k].ops) - 1);
                EXPECT_EQ(got.ops.find(last) != std::string::npos, cases[k].live) << cases[k].name;
            }
        }
    }
    ka::ox_digest unseen = digest_of(0);
    fast_node_counts none;
    EXPECT_FALSE(fast_node_digest(n, unseen.digest, &none));
    for (int fd : fds)
        close(fd);
    fast_node_stop(n);
}

TEST(FastNode, AnswersTheTendAndRefusesWhatDoesNotParse)
{
    fast_node_cfg cfg;
    cfg.threads = 1;
    cfg.namespaces = {"a", "b"};
    fast_node *n = fast_node_start(cfg);
    ASSERT_NE(n, nullptr);
    int fd = connect_to(fast_node_port(n));
    ASSERT_GE(fd, 0);
    std::string ask = "node\npartitions\nno-such-item\nreplicas-prole\n";
    std::string req = std::string("\x02\x01\0\0\0\0\0", 7) + (char)ask.size() + ask;
    ASSERT_TRUE(send_all(fd, req));
    uint8_t h[8];
    ASSERT_EQ(ka::ox_socket_read_timeout(fd, h, 8, 0, 5000), 0);
    ASSERT_EQ(h[1], 1);
    std::string body(h[7] | (size_t)h[6] << 8, '\0');
    ASSERT_EQ(ka::ox_socket_read_timeout(fd, (uint8_t *)body.data(), body.size(), 0, 5000), 0);
    std::string prole = std::string(683, 'A') + "="; // 512 zero bytes in base64
    EXPECT_EQ(body, "node\tBB9" + std::to_string(fast_node_port(n)) + "\npartitions\t4096\nreplicas-prole\ta:" + prole +
                        ";b:" + prole + "\n");

    // A message whose field runs past its end: code 4, then the close.
    std::string bad = request(1, false, 0, 5);
    bad[30 + 3] = (char)0x7F;
    ASSERT_TRUE(send_all(fd, bad));
    int result = -1;
    uint64_t trid = 0;
    ASSERT_TRUE(read_one(fd, &result, &trid));
    EXPECT_EQ(result, 4);
    uint8_t c;
    EXPECT_EQ(ka::ox_socket_read_timeout(fd, &c, 1, 0, 5000), EBADF) << "the node closes";
    EXPECT_EQ(fast_node_malformed(n), 1u);
    EXPECT_EQ(fast_node_writes(n), 0u);
    close(fd);
    fast_node_stop(n);
}
