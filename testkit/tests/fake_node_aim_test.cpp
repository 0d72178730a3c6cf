// The stand-in node's faults hit only the requests they are aimed at: by
// kind, namespace, digest and position among the matching requests, while
// every other request (info included) is served as usual.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tamberlin/ka_info.h"
#include "tamberlin/ox_socket.h"
#include "tamberlin/tamberlin.h"
#include "testkit/fake_node.h"
#include "testkit/digest.h"

namespace {

enum req { INFO, READ_A, WRITE_A, WRITE_B, DELETE_A, WRITE_A2 };

sockaddr_in addr_of(fake_node *n)
{
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)fake_node_port(n));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

// The result code of one request on a new connection; -1 when no good reply.
int send_one(fake_node *n, req r)
{
    sockaddr_in sa = addr_of(n);
    if (r == INFO) {
        char names[] = "node\n";
        char *values = nullptr;
        int rv = tamberlin_info_host(&sa, names, &values, 2000, true);
        bool ok = rv == 0 && values && strstr(values, "node");
        free(values);
        return ok ? 0 : -1;
    }
    const char *ns = r == WRITE_B ? "b" : "a";
    ka::ox_digest d = testkit_digest(r == WRITE_A2 ? 2 : 1, 0x5a);
    int info1 = r == READ_A ? KA_MSG_INFO1_READ | KA_MSG_INFO1_GET_ALL : 0;
    int info2 = r == READ_A ? 0 : r == DELETE_A ? KA_MSG_INFO2_WRITE | KA_MSG_INFO2_DELETE : KA_MSG_INFO2_WRITE;
    ka_bin bin;
    strcpy(bin.bin_name, "v");
    tamberlin_object_init_int(&bin.object, 7);
    int nbins = (r == READ_A || r == DELETE_A) ? 0 : 1;
    ka_write_parameters wp;
    ka_write_parameters_set_default(&wp);
    uint8_t stack[KA_MSG_STACK_BUF_SZ];
    uint8_t *buf = stack;
    size_t sz = sizeof(stack);
    if (ka_compile(info1, info2, 0, ns, nullptr, nullptr, &d, nbins ? &bin : nullptr,
                   r == READ_A ? KA_OP_READ : KA_OP_WRITE, nullptr, nbins, &buf, &sz, &wp, nullptr, 0, nullptr) != 0)
        return -1;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int result = -1;
    if (connect(fd, (sockaddr *)&sa, sizeof(sa)) == 0 && ka::ox_socket_write_timeout(fd, buf, sz, 0, 2000) == 0) {
        qm_msg head;
        uint8_t body_stack[KA_MSG_STACK_BUF_SZ];
        uint8_t *body = nullptr, *heap = nullptr;
        size_t body_len = 0;
        if (ka_read_reply(fd, 0, 1000, &head, body_stack, sizeof(body_stack), &body, &body_len, &heap) == 0)
            result = head.m.result_code;
        free(heap);
    }
    close(fd);
    if (buf != stack)
        free(buf);
    return result;
}

TEST(FakeNodeAim, FaultsHitOnlyTheirAim)
{
    const std::vector<req> sequence = {INFO, READ_A, WRITE_B, WRITE_A, DELETE_A, WRITE_A2, WRITE_A, INFO};
    struct {
        const char *name;
        fake_req_kind on;
        const char *ns;
        int digest; // 0: any
        int skip;
        std::vector<int> expect; // per request of the sequence; 0 ok, 2 not found, 14 the fault
    } cases[] = {
        {"any request", FAKE_REQ_ANY, "", 0, 0, {-1, 2, 0, 0, 0, 0, 0, 0}},
        {"database only", FAKE_REQ_DATABASE, "", 0, 0, {0, 14, 0, 0, 0, 0, 0, 0}},
        {"writes", FAKE_REQ_WRITE, "", 0, 0, {0, 2, 14, 0, 0, 0, 0, 0}},
        {"writes of namespace a", FAKE_REQ_WRITE, "a", 0, 0, {0, 2, 0, 14, 0, 0, 0, 0}},
        {"second write of namespace a", FAKE_REQ_WRITE, "a", 0, 1, {0, 2, 0, 0, 0, 14, 0, 0}},
        {"writes of digest 2", FAKE_REQ_WRITE, "", 2, 0, {0, 2, 0, 0, 0, 14, 0, 0}},
        {"deletes", FAKE_REQ_DELETE, "", 0, 0, {0, 2, 0, 0, 14, 0, 0, 0}},
        {"reads", FAKE_REQ_READ, "", 0, 0, {0, 14, 0, 0, 0, 0, 0, 0}},
        {"info", FAKE_REQ_INFO, "", 0, 1, {0, 2, 0, 0, 0, 0, 0, -1}},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        fake_node *n = fake_node_create();
        ASSERT_EQ(fake_node_start(n, 0), 0);
        fake_node_set_info(n, "node", "BB9");
        fake_fault f;
        f.on = c.on;
        f.ns = c.ns;
        if (c.digest)
            f.digest.assign((const char *)testkit_digest(c.digest, 0x5a).digest, 20);
        f.skip = c.skip;
        // The first case silences an info request, which has no result code.
        f.kind = c.on == FAKE_REQ_ANY || c.on == FAKE_REQ_INFO ? FAKE_FAULT_CLOSE_AFTER_REQUEST : FAKE_FAULT_RESULT_CODE;
        f.result_code = 14;
        f.count = 1;
        fake_node_set_fault(n, f);
        std::vector<int> got;
        for (req r : sequence)
            got.push_back(send_one(n, r));
        EXPECT_EQ(got, c.expect);
        // Every request was recorded, with its kind.
        ASSERT_EQ(fake_node_request_count(n), sequence.size());
        fake_request rq;
        ASSERT_TRUE(fake_node_request(n, 4, &rq));
        EXPECT_EQ(rq.kind, FAKE_REQ_DELETE);
        ASSERT_TRUE(fake_node_request(n, 1, &rq));
        EXPECT_EQ(rq.kind, FAKE_REQ_READ);
        fake_node_destroy(n);
    }
}

// Silence is a switch beside the faults: it hides the requests of its kind
// (-1: no reply within the wait), leaves an armed fault for the requests
// after it, and the write and delete counts see every request served.
TEST(FakeNodeAim, SilenceHidesItsKindAndLeavesTheArmedFault)
{
    struct {
        const char *name;
        fake_req_kind on;
        std::vector<int> silent; // INFO, READ_A, WRITE_A while silent
    } cases[] = {
        {"every request", FAKE_REQ_ANY, {-1, -1, -1}},
        {"database requests", FAKE_REQ_DATABASE, {0, -1, -1}},
        {"writes", FAKE_REQ_WRITE, {0, 2, -1}},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        fake_node *n = fake_node_create();
        ASSERT_EQ(fake_node_start(n, 0), 0);
        fake_node_set_info(n, "node", "BB9");
        fake_fault f;
        f.kind = FAKE_FAULT_RESULT_CODE;
        f.on = FAKE_REQ_WRITE;
        f.result_code = 14;
        fake_node_set_fault(n, f);
        fake_node_set_silent(n, true, c.on);
        std::vector<int> got = {send_one(n, INFO), send_one(n, READ_A), send_one(n, WRITE_A)};
        EXPECT_EQ(c.silent, got);
        fake_node_set_silent(n, false);
        got = {send_one(n, INFO), send_one(n, WRITE_A), send_one(n, WRITE_B), send_one(n, DELETE_A)};
        EXPECT_EQ((std::vector<int>{0, 14, 0, 0}), got);
        EXPECT_EQ(3u, fake_node_write_count(n));
        EXPECT_EQ(1u, fake_node_delete_count(n));
        fake_node_destroy(n);
    }
}

} // namespace
