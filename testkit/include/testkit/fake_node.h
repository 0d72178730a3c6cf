// fake_node: a stand-in database node on 127.0.0.1, used in-process by tests
// and as the standalone program `fake_node`.
//
// It speaks the info protocol (items and values set by the test, plus an
// optional handler for computed items) and the database message protocol
// (type 3, and type 4 compressed requests, which it inflates and checks) over
// an in-memory store keyed by namespace and digest. Every request is recorded
// with its raw bytes. Faults are armed from the test and apply to the next
// `count` requests. The framing parser here is written on its own, from the
// wire layout, so that a fault in the client's codec cannot hide behind it.
//
// Threads: one accept thread and one thread per connection; every call below
// may be made from any thread (one mutex guards the node's state). A cluster is
// several nodes, each with its own store, items and faults.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct fake_node;

enum fake_fault_kind {
    FAKE_FAULT_NONE = 0,
    FAKE_FAULT_DELAY,               // reply after delay_ms
    FAKE_FAULT_SILENT,              // never reply; the connection stays open
    FAKE_FAULT_CLOSE_AFTER_REQUEST, // close without replying
    FAKE_FAULT_CLOSE_MID_REPLY,     // send the first half of the reply, then close
    FAKE_FAULT_RESET,               // reset the connection (RST) instead of replying
    FAKE_FAULT_RESULT_CODE,         // reply with result_code and no bins
    FAKE_FAULT_SPLIT,               // send the reply in `pieces` parts, pause_ms apart
    FAKE_FAULT_MALFORMED,           // send the malformed reply `bad`; wait for the client to close
                                    // (FAKE_BAD_SIZE_PAST_END: close at once)
    FAKE_FAULT_TRID_MISMATCH,       // echo a transaction id other than the request's (1 when it sent none)
    FAKE_FAULT_SPLIT_HEAD,          // send the 30-byte reply head in `pieces` parts, pause_ms apart,
                                    // the rest of the reply with the last part
    FAKE_FAULT_RAW_REPLY,           // send the bytes `raw` as the reply, then serve on
    // Batch replies (aim them with on = FAKE_REQ_BATCH); `batch_record` is the
    // index of the record they hit, in the order of the request's digests.
    FAKE_FAULT_BATCH_MID_RESULT,      // that record carries result_code and no LAST; the rest follows
    FAKE_FAULT_BATCH_NO_DIGEST,       // that record without its digest field
    FAKE_FAULT_BATCH_NO_NAMESPACE,    // that record without its namespace field
    FAKE_FAULT_BATCH_OTHER_NAMESPACE, // that record with the namespace "other"
    FAKE_FAULT_BATCH_NO_SET,          // that record without its set field
    FAKE_FAULT_BATCH_EXTRA_RECORD,    // that record is sent twice
    FAKE_FAULT_BATCH_SILENT_AFTER,    // the records before it are sent, then nothing
    FAKE_FAULT_BATCH_MALFORMED,       // the reply broken at that record by `bad_batch`
};

enum fake_bad_reply {
    FAKE_BAD_SIZE_PAST_END = 0,   // protocol size 100 bytes past what is sent
    FAKE_BAD_HEADER_SZ,           // message header size 30 instead of 22
    FAKE_BAD_PROTO_BELOW_HEADER,  // protocol size 10, smaller than the header
    FAKE_BAD_HUGE_SIZE,           // protocol size 2^48 - 1
    FAKE_BAD_FIELD_PAST_BODY,     // a field size that runs past the body
    FAKE_BAD_FIELD_COUNT,         // 1000 fields announced, none sent
    FAKE_BAD_OP_PAST_BODY,        // an op size that runs past the body
    FAKE_BAD_OP_COUNT,            // 65535 ops announced, one sent
    FAKE_BAD_NEGATIVE_VALUE_LEN,  // op size smaller than its header and name
    FAKE_BAD_BIN_NAME_32,         // a bin name of 32 bytes
    FAKE_BAD_PARTICLE_TYPE,       // particle type 99
    FAKE_BAD_INT_TOO_LONG,        // an integer value of 9 bytes
    FAKE_BAD_SHORT_COMPRESSED,    // type 4 with its zlib stream cut short
    FAKE_BAD_COMPRESSED_HUGE_ORG, // type 4 claiming a 2^40-byte original
    FAKE_BAD_COMPRESSED_ORG_SZ,   // type 4 whose original size is 10 too large
    FAKE_BAD_COUNT_
};

// How FAKE_FAULT_BATCH_MALFORMED breaks a batch reply. The record it hits
// travels in a protocol message of its own, after the good records before it,
// and nothing follows it; a record whose contents only are damaged (the names
// and values marked "contents" below: its sizes hold) goes out in the reply
// as usual, the records after it too.
enum fake_bad_batch {
    FAKE_BAD_BATCH_VERSION = 0,        // protocol version 1
    FAKE_BAD_BATCH_TYPE,               // protocol type 1
    FAKE_BAD_BATCH_SIZE_PAST_END,      // protocol size 100 past what is sent; then the node stops sending
    FAKE_BAD_BATCH_HUGE_SIZE,          // protocol size 2^48 - 1
    FAKE_BAD_BATCH_RECORD_CUT,         // a body that ends 10 bytes into the record header
    FAKE_BAD_BATCH_HEADER_SZ,          // record header size 30
    FAKE_BAD_BATCH_FIELD_PAST_BODY,    // the first field's size runs past the body
    FAKE_BAD_BATCH_FIELD_ZERO,         // the first field's size is 0
    FAKE_BAD_BATCH_FIELD_COUNT,        // 1000 fields announced
    FAKE_BAD_BATCH_DIGEST_SHORT,       // a digest field of 19 bytes
    FAKE_BAD_BATCH_DIGEST_LONG,        // a digest field of 21 bytes
    FAKE_BAD_BATCH_NS_32,              // contents: a namespace name of 32 bytes
    FAKE_BAD_BATCH_SET_32,             // contents: a set name of 32 bytes
    FAKE_BAD_BATCH_OP_PAST_BODY,       // the last op's size runs past the body
    FAKE_BAD_BATCH_OP_COUNT,           // 65535 ops announced
    FAKE_BAD_BATCH_OP_COUNT_ONE_MORE,  // one op more announced than sent
    FAKE_BAD_BATCH_NEGATIVE_VALUE_LEN, // the last op's size is below its header and name
    FAKE_BAD_BATCH_BIN_NAME_32,        // contents: a last op named by 32 bytes
    FAKE_BAD_BATCH_PARTICLE_TYPE,      // contents: a last op of particle type 99
    FAKE_BAD_BATCH_INT_TOO_LONG,       // contents: a last op holding an integer of 9 bytes
    FAKE_BAD_BATCH_Z_SHORT,            // compressed, the zlib stream cut short
    FAKE_BAD_BATCH_Z_NO_LENGTH,        // compressed, a body of 5 bytes
    FAKE_BAD_BATCH_Z_HUGE_ORG,         // compressed, announcing 2^40 bytes
    FAKE_BAD_BATCH_Z_ORG_SZ,           // compressed, announcing 10 bytes more than it holds
    FAKE_BAD_BATCH_Z_INNER_SIZE,       // compressed, its inner protocol size one too large
    FAKE_BAD_BATCH_Z_INNER_TYPE,       // compressed, its inner protocol type 4
    FAKE_BAD_BATCH_Z_TRAILING,         // compressed, bytes after the zlib stream
    FAKE_BAD_BATCH_SIZE_FAR_PAST_END,  // protocol size 100 MiB past what is sent; then the node stops sending
    FAKE_BAD_BATCH_COUNT_
};

// The kinds of request a fault can be aimed at. A database message is a batch
// when it has a digest-array field, a delete or a write by its write bits, and
// a read otherwise.
enum fake_req_kind {
    FAKE_REQ_ANY = 0,
    FAKE_REQ_INFO,
    FAKE_REQ_DATABASE, // any database message
    FAKE_REQ_READ,
    FAKE_REQ_BATCH,
    FAKE_REQ_WRITE,
    FAKE_REQ_DELETE,
};

// A fault applies to the requests that match its aim: the kind, and when set
// the namespace and the 20-byte digest (a batch matches when it asks for the
// digest). The first `skip` matching requests are let through, so a test can
// aim at the Nth; `count` matching requests after those get the fault.
struct fake_fault {
    fake_fault_kind kind = FAKE_FAULT_NONE;
    int count = 1; // requests it applies to; -1 for every request
    fake_req_kind on = FAKE_REQ_ANY;
    std::string ns;     // empty: any namespace
    std::string digest; // empty: any digest
    int skip = 0;
    int delay_ms = 0;
    int result_code = 0;
    int pieces = 2;
    int pause_ms = 0;
    fake_bad_reply bad = FAKE_BAD_SIZE_PAST_END;
    std::string raw; // FAKE_FAULT_RAW_REPLY
    int batch_record = 0;
    fake_bad_batch bad_batch = FAKE_BAD_BATCH_VERSION;
};

struct fake_bin_value {
    std::string name;
    uint8_t type; // particle type
    std::string value; // value bytes as on the wire (an integer: 8 bytes big-endian)
};

struct fake_record {
    std::string set;
    uint32_t generation = 0;
    uint32_t void_time = 0; // seconds since 2010-01-01, 0 = never expires
    std::vector<fake_bin_value> bins;
};

struct fake_request {
    uint8_t proto_type = 0;
    fake_req_kind kind = FAKE_REQ_ANY; // ANY for a database message that did not parse
    std::string raw;      // every byte received, protocol header included
    std::string message;  // the database message (inflated for type 4)
    bool malformed = false; // could not be inflated or parsed; answered with code 4
    int conn_id = 0;
};

// Computes an info item the table does not hold; true when *value was set.
typedef bool (*fake_info_fn)(void *udata, const std::string &item, std::string *value);

fake_node *fake_node_create();
// Listens on 127.0.0.1:port (0: any free port). 0, or -1 when it cannot listen.
int fake_node_start(fake_node *n, int port);
int fake_node_port(const fake_node *n);
// Stops every thread, closes every connection, frees the node.
void fake_node_destroy(fake_node *n);
// The same, but every open connection is reset (RST) rather than closed.
void fake_node_destroy_hard(fake_node *n);

void fake_node_set_info(fake_node *n, const std::string &item, const std::string &value);
void fake_node_set_info_handler(fake_node *n, fake_info_fn fn, void *udata);
// Answers a whole info request (its text as sent) with a body of its own when
// it returns true: for replies that no table of items can give (no tab,
// empty). Called before the table and the handler.
typedef bool (*fake_info_raw_fn)(void *udata, const std::string &request, std::string *body);
void fake_node_set_info_raw(fake_node *n, fake_info_raw_fn fn, void *udata);

// Arms f in place of the fault armed before.
void fake_node_set_fault(fake_node *n, const fake_fault &f);
// A switch beside the faults, so that it leaves an armed fault alone: while
// on, requests of `kind` (FAKE_REQ_DATABASE: every database message, so
// tending goes on; FAKE_REQ_ANY: every request) are read and never answered,
// and their connection is held until the client closes it. Requests waiting
// so stay silent after the switch goes off.
void fake_node_set_silent(fake_node *n, bool on, fake_req_kind kind = FAKE_REQ_DATABASE);
// Send good database replies compressed (type 4).
void fake_node_set_compress_replies(fake_node *n, bool on);

void fake_node_put_record(fake_node *n, const std::string &ns, const uint8_t digest[20], const fake_record &r);
bool fake_node_get_record(fake_node *n, const std::string &ns, const uint8_t digest[20], fake_record *out);
// False when there was no such record.
bool fake_node_remove_record(fake_node *n, const std::string &ns, const uint8_t digest[20]);
size_t fake_node_record_count(fake_node *n);
// Writes and deletes received whole and served (a fault may still change the
// reply), counted before the reply goes out and whether or not requests are
// recorded.
size_t fake_node_write_count(fake_node *n);
size_t fake_node_delete_count(fake_node *n);

size_t fake_node_request_count(fake_node *n);
bool fake_node_request(fake_node *n, size_t i, fake_request *out);
// Waits up to timeout_ms for the count of requests to reach want.
bool fake_node_wait_requests(fake_node *n, size_t want, int timeout_ms);
// Connections accepted, and connections that the client closed (EOF seen).
int fake_node_connections(fake_node *n);
int fake_node_peer_closes(fake_node *n);
bool fake_node_wait_peer_closes(fake_node *n, int want, int timeout_ms);

// Write and delete replies carry back the request's transaction-id field,
// as a server's do (FAKE_FAULT_TRID_MISMATCH changes the id).
//
// A gate for replies: once armed, the reply to every request of kind `on`
// (FAKE_REQ_DATABASE: every database message, so tending goes on) waits,
// after the request is recorded, until the gate is released. Faults apply
// after the gate.
void fake_node_hold(fake_node *n, fake_req_kind on);
void fake_node_release(fake_node *n);
// Replies waiting at the gate now.
int fake_node_held(fake_node *n);
bool fake_node_wait_held(fake_node *n, int want, int timeout_ms);
// Database replies sent whole (after gate and faults), so a test knows that a
// reply is in the client's socket.
size_t fake_node_replies_sent(fake_node *n);
bool fake_node_wait_replies_sent(fake_node *n, size_t want, int timeout_ms);
// Requests are recorded by default; a node that serves a benchmark for long
// turns it off (the store and the counts above go on).
void fake_node_set_recording(fake_node *n, bool on);
// Batch reads: a request with a digest-array field gets one record message per
// digest, in the request's order (result 2 and no bins for a missing one; no
// bin data when the request's info1 has 0x20; only the bins named by its ops
// when it has ops), packed per_message to a protocol message, the last record
// marked LAST, or a record-less LAST message of its own after them.
// Compressed replies come in either framing: the inflated bytes begin with a
// protocol header of their own, or are the record messages alone.
enum fake_batch_compress {
    FAKE_BATCH_PLAIN = 0,
    FAKE_BATCH_COMPRESSED_WITH_HEADER,
    FAKE_BATCH_COMPRESSED_BARE,
};

struct fake_batch_opts {
    int per_message = 3;
    bool separate_last = false;
    fake_batch_compress compress = FAKE_BATCH_PLAIN; // set_compress_replies(true) means WITH_HEADER
};

void fake_node_set_batch_opts(fake_node *n, const fake_batch_opts &o);
