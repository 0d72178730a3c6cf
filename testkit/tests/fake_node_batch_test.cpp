// The stand-in node's batch replies as bytes on the wire: a fault aimed at a
// digest hits a batch that asks for it wherever it stands in the digest
// array, and the records come in the request's order, LAST on the last.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "tamberlin/ox_socket.h"
#include "tamberlin/proto.h"
#include "testkit/fake_node.h"

namespace {

std::string digest(int i)
{
    std::string d(20, '\0');
    d[0] = (char)i;
    d[19] = 0x33;
    return d;
}

std::string be(uint64_t v, int n)
{
    std::string s((size_t)n, '\0');
    for (int i = n - 1; i >= 0; i--, v >>= 8)
        s[(size_t)i] = (char)(v & 0xFF);
    return s;
}

// A batch request for digests 1..n of namespace "ns", built by hand.
std::string batch_request(int n)
{
    std::string body = std::string("\x16\x01\0\0\0\0", 6) + std::string(12, '\0') + be(2, 2) + be(0, 2);
    body += be(3, 4) + std::string(1, '\0') + "ns";
    std::string arr;
    for (int i = 1; i <= n; i++)
        arr += digest(i);
    body += be(1 + arr.size(), 4) + std::string(1, '\x06') + arr + std::string(1, '\0');
    return std::string("\x02\x03", 2) + be(body.size(), 6) + body;
}

struct record {
    uint8_t result, info3;
    std::string digest;
};

// Reads protocol messages until a record carries LAST (plain replies only).
std::vector<record> read_reply(int fd)
{
    std::vector<record> out;
    for (int msgs = 0; msgs < 100; msgs++) {
        uint8_t h[8];
        if (ka::ox_socket_read_timeout(fd, h, 8, 0, 5000) != 0)
            return out;
        std::string body(ka_be_get(h + 2, 6), '\0');
        if (!body.empty() && ka::ox_socket_read_timeout(fd, (uint8_t *)&body[0], body.size(), 0, 5000) != 0)
            return out;
        const uint8_t *b = (const uint8_t *)body.data();
        bool last = false;
        for (size_t p = 0; p + 22 <= body.size();) {
            record r = {b[p + 5], b[p + 3], ""};
            size_t q = p + 22;
            for (uint64_t f = 0; f < ka_be_get(b + p + 18, 2); f++) {
                uint64_t sz = ka_be_get(b + q, 4);
                if (b[q + 4] == 4)
                    r.digest = body.substr(q + 5, sz - 1);
                q += 4 + sz;
            }
            for (uint64_t o = 0; o < ka_be_get(b + p + 20, 2); o++)
                q += 4 + ka_be_get(b + q, 4);
            last |= (r.info3 & 1) != 0;
            out.push_back(r);
            p = q;
        }
        if (last)
            return out;
    }
    return out;
}

TEST(FakeNodeBatch, AFaultAimedAtADigestHitsEveryBatchThatAsksForIt)
{
    struct {
        const char *name;
        int aim; // digest number the fault is aimed at; 0: none
        bool hit;
    } cases[] = {{"first digest", 1, true}, {"third digest", 3, true}, {"digest not asked for", 9, false}};
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        fake_node *n = fake_node_create();
        ASSERT_EQ(0, fake_node_start(n, 0));
        fake_record rec;
        rec.bins = {{"b", 1, be(7, 8)}};
        fake_node_put_record(n, "ns", (const uint8_t *)digest(2).data(), rec);
        fake_fault f;
        f.kind = FAKE_FAULT_RESULT_CODE;
        f.result_code = 14;
        f.on = FAKE_REQ_BATCH;
        f.digest = digest(c.aim);
        fake_node_set_fault(n, f);

        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_port = htons((uint16_t)fake_node_port(n));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(0, connect(fd, (sockaddr *)&sa, sizeof(sa)));
        std::string rq = batch_request(3);
        ASSERT_EQ(0, ka::ox_socket_write_timeout(fd, (const uint8_t *)rq.data(), rq.size(), 0, 5000));
        std::vector<record> got = read_reply(fd);
        close(fd);
        if (c.hit) {
            ASSERT_EQ(1u, got.size());
            EXPECT_EQ(14, got[0].result);
        } else {
            ASSERT_EQ(3u, got.size());
            for (int i = 0; i < 3; i++) {
                EXPECT_EQ(digest(i + 1), got[(size_t)i].digest);
                EXPECT_EQ(i == 1 ? 0 : 2, got[(size_t)i].result);
                EXPECT_EQ(i == 2 ? 1 : 0, got[(size_t)i].info3 & 1);
            }
        }
        fake_request r;
        ASSERT_TRUE(fake_node_request(n, 0, &r));
        EXPECT_EQ(FAKE_REQ_BATCH, r.kind);
        fake_node_destroy(n);
    }
}

} // namespace
