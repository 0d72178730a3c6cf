// Between the stand-in node's dispatcher and its batch replies: what the
// batch server needs from the node (its store, its socket, its stop).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "testkit/fake_node.h"

struct fake_batch_request {
    uint8_t info1 = 0;
    std::string ns;
    std::string digest_array;           // the data of the digest-array field
    std::vector<std::string> bin_names; // the request's ops: bins to send (none: all)
};

struct fake_batch_io {
    fake_batch_opts opts;
    // Copies the stored record; false when there is none.
    std::function<bool(const std::string &ns, const std::string &digest, fake_record *out)> lookup;
    std::function<bool(const std::string &bytes)> send; // false: the connection failed
    std::function<bool(int ms)> pause;                  // false: the node stops
    std::function<void()> reset;                        // the connection ends with RST
    std::function<void()> half_close;                   // nothing more is sent
    std::function<void()> hold_until_close;             // until the client closes (counted) or the node stops
};

// The digests of a digest-array field: whole 20-byte digests, in order.
std::vector<std::string> fake_batch_digests(const std::string &digest_array);

// Serves one batch request under fault f (FAKE_FAULT_NONE: a good reply).
// False when the connection must end.
bool fake_batch_serve(const fake_batch_io &io, const fake_batch_request &rq, const fake_fault &f);
