// fast_node: a stand-in datacenter node for throughput, on 127.0.0.1.
//
// It is the one node of its cluster (it masters every partition of its
// namespaces and answers the tend's info items) and answers every write and
// delete at once with result 0, the request's transaction id echoed, as
// fake_node does. It keeps no records unless asked: per digest it counts the
// writes and deletes it answered, and with keep_records also the ops bytes of
// the last write. Reads (single or batch) are answered "not found".
//
// Unlike fake_node it arms no faults and records no requests, so that it is
// never the limit of what it serves: a few threads, each with an epoll set
// of its own, share one listener; a connection is served by the thread that
// accepted it, every request that one read brought is answered, and the
// replies go out with one write.
//
// Threads: the calls below may be made from any thread; the counts are read
// under the locks of the digest shards, which the serving threads take once
// per read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct fast_node;

struct fast_node_cfg {
    int port = 0;    // 0: any free port
    int threads = 4; // serving threads, 1 to 64
    std::vector<std::string> namespaces = {"test"};
    std::string name; // empty: "BB9" and the port
    std::string build = "3.2.9";
    bool keep_records = false;
};

struct fast_node_counts {
    uint64_t writes = 0;
    uint64_t deletes = 0;
    bool live = false; // the last request was a write
    std::string ops;   // keep_records: the ops bytes of the last write
};

// Listening and serving; NULL when it cannot listen or start its threads.
fast_node *fast_node_start(const fast_node_cfg &cfg);
int fast_node_port(const fast_node *n);
// Stops every thread, closes every connection, frees the node.
void fast_node_stop(fast_node *n);

// Writes and deletes answered, database requests that were not parsed (each
// answered with code 4 and its connection closed), and connections accepted.
uint64_t fast_node_writes(fast_node *n);
uint64_t fast_node_deletes(fast_node *n);
uint64_t fast_node_malformed(fast_node *n);
uint64_t fast_node_connections(fast_node *n);
// Digests that were written and not deleted since.
size_t fast_node_records(fast_node *n);
// The counts of one digest of any namespace; false when it was never seen.
bool fast_node_digest(fast_node *n, const uint8_t digest[20], fast_node_counts *out);
