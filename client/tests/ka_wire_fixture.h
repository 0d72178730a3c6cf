// Helpers for tests that talk to a fake_node over loopback.
#pragma once

#include "tamberlin/ox_socket.h"
#include "tamberlin/tamberlin.h"
#include "testkit/fake_node.h"

#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <unistd.h>

inline sockaddr_in loopback(int port)
{
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

// A started node on 127.0.0.1, port 0, stopped at the end of the test.
struct NodeTest : ::testing::Test {
    fake_node *node = nullptr;
    void SetUp() override
    {
        node = fake_node_create();
        ASSERT_EQ(fake_node_start(node, 0), 0);
    }
    void TearDown() override { fake_node_destroy(node); }
    sockaddr_in addr() const { return loopback(fake_node_port(node)); }
};

// What one request/reply exchange yields, as an engine would see it: send,
// read the reply (inflating type 4), parse. On any failure the connection is
// closed, since the stream is out of step.
struct Exchange {
    int rc = 0;        // 0, a socket code, KA_REPLY_MALFORMED
    int result = -1;   // the reply's result code when rc is 0
    qm_msg head = {};
    ka_bin *bins = nullptr;
    int n_bins = 0;
    char set[KA_SET_NAME_SZ] = "";
    bool closed = false;
    ~Exchange()
    {
        if (bins) {
            tamberlin_bins_free(bins, n_bins);
            free(bins);
        }
    }
};

inline void exchange(int &fd, const uint8_t *req, size_t len, Exchange *ex, int attempt_ms = 2000)
{
    ex->rc = ka::ox_socket_write_timeout(fd, req, len, 0, attempt_ms);
    uint8_t stack[KA_MSG_STACK_BUF_SZ];
    uint8_t *body = nullptr, *heap = nullptr;
    size_t body_len = 0;
    if (ex->rc == 0)
        ex->rc = ka_read_reply(fd, 0, attempt_ms, &ex->head, stack, sizeof(stack), &body, &body_len, &heap);
    if (ex->rc == 0) {
        if (ka_parse(&ex->head.m, body, body_len, &ex->bins, nullptr, &ex->n_bins, nullptr, ex->set) != 0)
            ex->rc = KA_REPLY_MALFORMED;
        else
            ex->result = ex->head.m.result_code;
    }
    free(heap);
    if (ex->rc != 0) {
        close(fd);
        fd = -1;
        ex->closed = true;
    }
}
