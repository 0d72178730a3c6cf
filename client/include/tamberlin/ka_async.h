// The asynchronous write engine: writes and deletes sent on a node's
// connection by the caller, their replies read by a pool of receiver threads
// that call the user's success or failure callback once per accepted write.
//
// Contract with the caller:
// - A write call that returns 0 has been accepted: exactly one callback (success
//   or failure) follows, on a receiver thread, with the caller's user data. Any
//   other result means nothing is in flight and no callback will come; the
//   user data stays the caller's.
// - Calls made before the engine is fully started (both queues made and the
//   receivers running), after its stop, or in a process other than the one that
//   started it, return -1 and send nothing.
// - The success callback gets the reply's server result code, or 1 for a reply
//   body that cannot be parsed (its connection is then closed). The failure
//   callback gets -2 when the deadline passed, a socket code when the
//   connection failed, and -1 for a reply that breaks the framing or answers
//   another transaction, no memory for the reply, or an engine stopped with the
//   write still in flight.
// - Callbacks run on the receivers, several at once (those of writes that a
//   stop finds in flight, on the thread that stops the engine). A callback may
//   send new writes; it must not start or stop the engine (the stop joins the
//   receivers).
//
// Threads and locks: any number of threads send at once. Each work item is
// held by one thread at a time: the sender until it queues it, then one
// receiver per pop. The engine's start, reconfiguration and stop serialise on
// one internal lock, which the senders and the receivers' normal path never
// take.
#pragma once

#include <atomic>
#include <cstdint>

#include "tamberlin/ka_cluster.h"
#include "tamberlin/ox_queue.h"
#include "tamberlin/ox_shash.h"
#include "tamberlin/tamberlin.h"

typedef void (*ka_async_success_cb)(void *udata, int rv, uint64_t starttime);
typedef void (*ka_async_fail_cb)(void *udata, int rv, uint64_t starttime);

// Most receiver threads the engine keeps.
#define KA_ASYNC_MAX_THREADS 32
// Attempt time of a write without a timeout, until changed.
#define KA_ASYNC_NW_TIMEOUT_DEFAULT 1000
// Length of one poll of a pending reply.
#define KA_ASYNC_POLL_MS 50
// How long an idle receiver waits for an item before it looks at the exit
// rule again.
#define KA_ASYNC_IDLE_CHECK_MS 100
// Reply failures in a row (deadlines passed, connections lost) after which a
// node counts as unreachable; two do when no reply came between them for a
// whole deadline of the later write, and one does when the node answered
// nothing since that write went out while it has other writes in flight.
#define KA_ASYNC_FAILURES_UNREACHABLE 3

// One write in flight.
typedef struct ka_async_work_s {
    uint64_t trid;      // transaction id sent, 0 when none
    uint64_t deadline;  // ox_getms() by which the reply must have come; 0 for none
    uint64_t starttime; // ox_getms() at submission, given to the callback
    ka_cluster_node *node; // one reference, owned by the item until it is finished
    int fd;                // -1: closed; an item popped with -1 stops a receiver
    void *udata;
    // The reply head as far as it has come, in wire order: a poll that ends
    // part-way through the head leaves the bytes here for the next poll.
    uint32_t head_got;
    uint8_t head[30];
    ka_async_share *share; // the cluster's count this write is in; one reference
} ka_async_work;

typedef struct async_stats_s {
    std::atomic<uint64_t> retries;  // polls that found the reply not yet complete
    std::atomic<uint64_t> dropouts; // writes that ended on the failure callback
} async_stats;

// The writes in flight (work-item pointers, the stop items included) and the
// finished items kept for reuse. Set while the engine runs, NULL otherwise;
// statistics read the queues' sizes through them.
extern std::atomic<ox_queue *> g_ka_async_q;
extern std::atomic<ox_queue *> g_ka_workitems_freepool_q;
extern async_stats g_async_stats;
// A table of the work items in flight, of which a node that ends would drop
// its own. The engine keeps its items in g_ka_async_q instead, so the table
// is never made and stays NULL.
extern shash *g_ka_async_hashtab;

// Reduce callback for g_ka_async_hashtab (shash_reduce_delete): value holds a
// ka_async_work pointer; 1 (delete) when that item's node is udata, else 0.
int ka_del_node_asyncworkitems(const void *key, void *value, void *udata);

// --- Start, settings and stop ---

// Starts the engine with an in-flight limit and min(threads, 32) receivers.
// 0, or -1 for a limit or a thread count below 1, or when a queue or a
// receiver cannot be made (then nothing of the engine is left). When the
// engine runs already, 0 and nothing changes; a call made while another start
// is under way waits for it and returns its result.
int tamberlin_async_init(int limit, int threads, ka_async_fail_cb fail_cb, ka_async_success_cb success_cb);
// New limit and receiver count (at most 32) of a running engine: missing
// receivers start at once, surplus ones end after their next item. -1 when
// the engine does not run, for a limit or a count below 1, or when a receiver
// cannot be started (those running stay, and the count becomes theirs).
int tamberlin_async_reinit(int limit, unsigned threads);
// Attempt time of writes without a timeout; a value below 1 is ignored.
void tamberlin_async_set_nw_timeout(int ms);
// Retries, dropouts and the writes in flight (accepted and not yet called back).
void tamberlin_async_getstats(uint64_t *retries, uint64_t *dropouts, int *workitems);
// Refuses new writes, waits for the senders under way, stops and joins every
// receiver, gives each write still in flight one failure callback (-1, its
// connection closed and its node released), and frees the engine, so that a
// later tamberlin_async_init starts afresh. In a process other than the one
// that started the engine, it only forgets the engine. Not from a callback.
void tamberlin_async_shutdown(void);
// Receiver threads alive now.
int tamberlin_async_receivers(void);

// --- Shares of the in-flight limit ---
//
// Each cluster's writes in flight are bounded to limit / (clusters that have
// written so far), at least 1, so that a cluster whose writes are not
// answered leaves the others room; the limit stays the bound of the total.
// A new count, with one reference for the cluster (NULL when memory is short).
ka_async_share *ka_async_share_create(void);
// Drops one reference (cluster_gone: the cluster's own, which also takes it
// out of the clusters that share the limit); the last frees it.
void ka_async_share_release(ka_async_share *s, bool cluster_gone);
// The share of the limit that one cluster may have in flight now.
int tamberlin_async_cluster_share(void);

// --- Sending ---

// Compiles one request, sends it to the node of the digest and queues it for
// the receivers. 0 when sent (a callback follows), -3 at the in-flight limit
// or at the cluster's share of it, -2 when the deadline passed (the node that
// took nothing until then counts unreachable) or when an attempt failed on a
// node that counts unreachable already, -1 for a client-side failure (not started, bad
// arguments, a request that does not compile, a negative timeout, a failed
// queue push), else the socket code of the last attempt. The generation
// argument is not used (write parameters carry it).
int ka_do_async_monte(ka_cluster *asc, int info1, int info2, const char *ns, const char *set, const ka_object *key,
                      const ka::ox_digest *digest, const ka_bin *bins, ka_operator op,
                      const ka_operation *operations, int n_values, uint32_t generation,
                      const ka_write_parameters *wp, uint64_t trid, void *udata);

// The write calls: replication writes and deletes (what the shipper sends),
// and plain writes by digest or by set and key. The *_forget calls send no
// transaction id and no user data; their callback gets NULL.
int tamberlin_async_put_digest_relay(ka_cluster *asc, const char *ns, const ka::ox_digest *digest, const char *set,
                                     const ka_bin *bins, int n_bins, const ka_write_parameters *wp, uint64_t trid,
                                     void *udata);
int tamberlin_async_delete_digest_relay(ka_cluster *asc, const char *ns, const ka::ox_digest *digest,
                                        const ka_write_parameters *wp, void *udata);
int tamberlin_async_put_digest(ka_cluster *asc, const char *ns, const ka::ox_digest *digest, const char *set,
                               const ka_bin *bins, int n_bins, const ka_write_parameters *wp, uint64_t trid,
                               void *udata);
int tamberlin_async_put(ka_cluster *asc, const char *ns, const char *set, const ka_object *key, const ka_bin *bins,
                        int n_bins, const ka_write_parameters *wp, uint64_t trid, void *udata);
int tamberlin_async_put_digest_forget(ka_cluster *asc, const char *ns, const ka::ox_digest *digest, const char *set,
                                      const ka_bin *bins, int n_bins, const ka_write_parameters *wp);
int tamberlin_async_put_forget(ka_cluster *asc, const char *ns, const char *set, const ka_object *key,
                               const ka_bin *bins, int n_bins, const ka_write_parameters *wp);

// --- Test binaries only ---

// Makes steps of the engine fail as if memory or threads ran out: after
// `after` more such steps succeed, the next `n` fail.
enum ka_async_test_step {
    KA_ASYNC_TEST_QUEUE_CREATE = 0, // the engine's queues
    KA_ASYNC_TEST_THREAD_START,     // receiver threads
    KA_ASYNC_TEST_PUSH,             // pushes onto the in-flight queue
    KA_ASYNC_TEST_STEPS_
};
void ka_async_test_fail(ka_async_test_step step, int after, int n);
// Called at the beginning of every start's work, while the engine is marked
// as starting (NULL: none).
void ka_async_test_set_start_hook(void (*fn)(void));
// Starts that wait for another one under way.
int ka_async_test_start_waiters(void);
