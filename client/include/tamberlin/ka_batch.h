// Batch reads: the digests of one call split by node, one request per node
// served by the batch worker threads, the user's callback run once per record.
//
// A call groups its digests by the node that masters each one (in first-seen
// order), queues one digest_work per node on g_batch_q and blocks until every
// part has pushed its result onto the call's completion queue. A part builds
// one request listing its node's digests in the caller's order, sends it on a
// pooled connection of the node and reads the reply: protocol messages (plain
// or compressed) that carry record messages back to back, the last one marked
// LAST. Each record found is handed to the callback on the worker thread that
// read it, so one call's callback may run on up to six threads at once.
//
// A connection goes back to its pool only after a part read the LAST mark and
// succeeded; anything else (a server result code, a malformed reply, a network
// failure, a node that falls silent) closes it, so no pooled connection ever
// holds the rest of an old reply.
//
// A record whose framing holds but whose contents cannot be handed on (a set
// name of KA_SET_NAME_SZ bytes or more, a bin name too long, a bin value the
// decoder does not know, bins without a digest) is left out alone and logged;
// the part goes on, so the caller sees that digest as not called back, like
// a record not found. Only a reply whose sizes do not hold fails the part.
//
// Ownership: the texts, the digest and the bins array handed to the callback
// are valid during the call only; the bin values (the buffers the bins own)
// pass to the callback, which frees them (tamberlin_bins_free). Values of a
// record that is not handed over are freed here.
//
// Locks: batch_init_lock makes the start and the stop of the workers happen
// once; a call holds no lock while it waits for its parts.
#pragma once

#include <cstdint>
#include <pthread.h>

#include "tamberlin/ka_cluster.h"
#include "tamberlin/ox_digest.h"
#include "tamberlin/ox_queue.h"
#include "tamberlin/tamberlin.h"

// Workers started by the first call (or by tamberlin_batch_init) at most.
#define KA_BATCH_MAX_THREADS 6
// Bins of one record decoded into the worker's own array; more go to the heap.
#define KA_BATCH_STACK_BINS 100
// A part that receives no byte (or cannot send one) for this long fails.
#define KA_BATCH_SILENCE_MS 30000
// Longest namespace name of a batch call, terminator included. A set name in a
// reply may be as long as a single read takes (KA_SET_NAME_SZ).
#define KA_BATCH_NAME_SZ 32

// One record of a batch reply. ns is the namespace of the request; keyd the
// record's digest; set its set name or NULL; record_voidtime seconds since
// 2010-01-01 (0: never expires); is_last is always false. The return value is
// not used. Runs on a batch worker thread, several at once.
typedef int (*tamberlin_get_many_cb)(char *ns, ka::ox_digest *keyd, char *set, uint32_t generation,
                                     uint32_t record_voidtime, ka_bin *bins, int n_bins, bool is_last,
                                     void *udata);

// One node's part of a batch call, copied by value through g_batch_q. The
// pointers belong to the call, which waits until the part's result is back.
typedef struct digest_work_s {
    ka_cluster *asc;
    int info1;
    int info2;
    char *ns;
    const ka::ox_digest *digests; // the caller's whole array; NULL ends a worker
    ka_cluster_node **nodes;      // the node of each digest
    int n_digests;
    bool get_key; // carried, not used
    ka_bin *bins; // bins to read by name, or NULL for all
    ka_operator op;
    ka_operation *operations;
    int n_ops;
    tamberlin_get_many_cb cb;
    void *udata;
    ox_queue *complete_q; // int32_t results
    ka_cluster_node *my_node;
    int my_node_digest_count;
    int index;
} digest_work;

// One record of the direct variant; the bins and their values are owned.
typedef struct ka_rec_s {
    ka::ox_digest digest;
    uint32_t generation;
    uint32_t record_voidtime;
    ka_bin *bins;
    int n_bins;
} ka_rec;

typedef struct ka_batchresult_s {
    pthread_mutex_t lock;
    int numrecs;
    ka_rec *records;
    int maxrecs; // slots in records: a record beyond them is not kept
} ka_batchresult;

// Set (atomically) once the workers run; the synchronous engine clears it in a
// forked child so that the child starts workers of its own.
extern uint32_t batch_initialized;
extern pthread_mutex_t batch_init_lock;
extern ox_queue *g_batch_q; // digest_work items, callers to workers
extern pthread_t g_batch_th[KA_BATCH_MAX_THREADS];
// The shipper has a worker count of its own under the same name, so the
// library's lives in its namespace.
namespace ka {
extern int g_batch_thread_count;
}

// --- Calls (any thread) ---

// Starts n_threads workers (clamped to 1..6, with a warning above 6) when they
// do not run yet; 0, or -1 when no worker could be started (nothing is left
// half made). A call made while they run does nothing.
int tamberlin_batch_init(int n_threads);

// Reads the records named by digests (all of namespace ns). bins/n_bins name
// the bins to read (NULL, 0: all). Returns 0 when every node's part ended
// well, otherwise the last non-zero part result (a server code, or -1); -1
// also when the library is not started, the arguments are bad, a digest has
// no node, or the parts cannot be queued. 0 digests: 0, nothing sent.
int tamberlin_get_many_digest(ka_cluster *asc, char *ns, const ka::ox_digest *digests, int n_digests, ka_bin *bins,
                              int n_bins, bool get_key, tamberlin_get_many_cb cb, void *udata);
// The same as an existence check: only records that exist are called back,
// without bin data.
int tamberlin_exists_many_digest(ka_cluster *asc, char *ns, const ka::ox_digest *digests, int n_digests,
                                 ka_bin *bins, int n_bins, bool get_key, tamberlin_get_many_cb cb, void *udata);
// Reads every bin of each record into a result the caller frees with
// tamberlin_free_batchresult; at most n_digests records are kept. 0 with *br
// set (also when a part ended with a server code), or -1.
int tamberlin_get_many_digest_direct(ka_cluster *asc, char *ns, const ka::ox_digest *digests, int n_digests,
                                     ka_batchresult **br);
void tamberlin_free_batchresult(ka_batchresult *br);

// Stops the workers (the library's stop calls it): new calls are refused while
// it runs, calls under way finish first, then every worker is stopped (joined
// in the process that started them) and the module is reset, so a later call
// starts workers again.
void tamberlin_batch_shutdown(void);

// --- Internals, exposed for the tests and the fuzz target ---

int do_get_exists_many_digest(ka_cluster *asc, char *ns, const ka::ox_digest *digests, int n_digests,
                              ka_bin *bins, int n_bins, bool get_key, tamberlin_get_many_cb cb, void *udata,
                              int info1);
void *batch_worker_fn(void *arg);
// One node part on one connection: its result (0, a server code, or -1).
int do_batch_monte(const digest_work *w);
int direct_batchget_cb(char *ns, ka::ox_digest *keyd, char *set, uint32_t generation, uint32_t record_voidtime,
                       ka_bin *bins, int n_bins, bool is_last, void *udata);

// The state of one part's reply while its protocol messages are read.
typedef struct ka_batch_reply_s {
    char *ns;         // the request's namespace: what the callback gets
    bool exists_only; // an existence check: records come without bin data
    tamberlin_get_many_cb cb;
    void *udata;
    ka_bin *bins; // the reader's own bin array of bins_cap entries
    int bins_cap;
    uint8_t *scratch; // inflates compressed messages of up to scratch_cap bytes
    size_t scratch_cap;
    int result;         // the first non-zero result of the part
    bool last;          // the LAST mark was read
    uint32_t n_records; // records handed to the callback
    uint32_t n_refused; // records left out alone (their digests not called back)
} ka_batch_reply;

// Checks a protocol header (wire order, 8 bytes): 0 with *type and *sz, or -1
// (logged) for a version other than 2, a type other than 3 or 4, or a size
// above KA_MSG_MAX_BODY.
int ka_batch_check_proto(const uint8_t *hdr, uint8_t *type, uint64_t *sz);
// Walks the record messages of one protocol message body of the given type
// (4: inflated first, in either framing), calling back each record found.
// Sizes are turned to host order in place. 1 when the reply is complete
// (LAST read or a result code), 0 when more messages follow, -1 for a
// malformed body; st->result then is -1 unless an earlier result was kept.
int ka_batch_parse_message(ka_batch_reply *st, uint8_t type, uint8_t *body, size_t len);
// A whole batch reply as bytes (protocol headers included), as one part would
// read it; the entry point of the fuzz target. Sizes are turned in place.
// 0 when it ends with LAST and no error, a server code, or -1 for a malformed
// or unfinished reply.
int ka_batch_parse_reply(char *ns, bool exists_only, uint8_t *buf, size_t len, tamberlin_get_many_cb cb,
                         void *udata);

// Test binaries only: the silence limit of a part in ms (KA_BATCH_SILENCE_MS
// in the product), and failures to inject: the push of the nth part of a call
// (from 0; -1 none), making a completion queue, starting any worker.
void ka_batch_test_set_silence_ms(uint32_t ms);
void ka_batch_test_fail_push_at(int nth);
void ka_batch_test_fail_complete_q(bool on);
void ka_batch_test_fail_thread_start(bool on);
