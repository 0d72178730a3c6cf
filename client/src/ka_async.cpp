// The asynchronous write engine.
//
// Threads: any caller sends (ka_do_async_monte); up to 32 receiver threads
// (async_receiver_fn) read the replies and run the callbacks; the control
// calls (init, reinit, shutdown) run on whichever thread calls them.
//
// A sender compiles the request on its stack, sends it whole on a connection
// of the node's asynchronous pool and queues the work item; it never waits for
// the reply. A receiver pops an item and polls its connection for at most
// 50 ms; an item whose reply has not come is queued again at the tail, so a
// few receivers serve many pending writes in turn. The part of a reply head
// that a poll has read stays in the item, so a head that arrives in pieces is
// resumed rather than lost. The head is checked against the codec's reply
// rules before its sizes are trusted, and a connection goes back to the pool
// only after a whole reply that parsed and answered this item's transaction.
//
// The in-flight limit is a counter taken by the sender before it sends and
// given back when the item is finished, so it bounds writes held by receivers
// as well as queued ones. Each cluster has a count of its own, bounded to its
// share of the limit, so that a cluster that never answers cannot take the
// room of the others. Failed replies and sends that pass their deadline count
// a node unreachable for the health check (see note_reply_failure), so that
// the caller finds its cluster down after one deadline, not one per write.
// An item is finished (connection pooled or closed, node released, item back
// in the free pool, counter given back) before its callback runs, so a
// callback may send the next write at once.
//
// Start and stop serialise on g_lock. The senders announce themselves in
// g_senders before they look at the state, and the stop marks the state
// before it waits for g_senders to drain, so no sender can queue an item once
// the stop has pushed the receivers' stop items. Receivers take g_lock only
// when they find themselves surplus after a reinit (the exit rule).
#include "tamberlin/ka_async.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "tamberlin/ka_partition.h"
#include "tamberlin/ox_log.h"
#include "tamberlin/ox_packet_compression.h"
#include "tamberlin/ox_socket.h"

#include "ka_cluster_internal.h"

std::atomic<ox_queue *> g_ka_async_q{nullptr};
std::atomic<ox_queue *> g_ka_workitems_freepool_q{nullptr};
async_stats g_async_stats;
shash *g_ka_async_hashtab = nullptr;

int ka_del_node_asyncworkitems(const void *key, void *value, void *udata)
{
    (void)key;
    const ka_async_work *w;
    memcpy(&w, value, sizeof(w)); // a table's values need not be aligned
    return w && w->node == (ka_cluster_node *)udata ? SHASH_REDUCE_DELETE : 0;
}

namespace {

enum engine_state : int { ENGINE_STOPPED, ENGINE_STARTING, ENGINE_RUNNING, ENGINE_STOPPING };
enum slot_state : int { SLOT_EMPTY, SLOT_RUNNING, SLOT_EXITED };

struct receiver_slot {
    slot_state state = SLOT_EMPTY;
    pthread_t tid;
};

// g_lock guards the slot table and the start results; g_cv announces the end
// of a start or a stop, and wakes senders paused after a network error.
std::mutex g_lock;
std::condition_variable g_cv;
receiver_slot g_slots[KA_ASYNC_MAX_THREADS];
uint64_t g_start_gen = 0; // starts finished; a waiter returns the result of the one it waited for
int g_start_result = 0;

std::atomic<int> g_state{ENGINE_STOPPED};
std::atomic<pid_t> g_async_pid{0};
// Set in a forked child (which has none of the receivers): the child's
// writes are refused until it starts an engine of its own.
std::atomic<bool> g_forked{false};
std::once_flag g_atfork_once;
std::atomic<int> g_senders{0};
std::atomic<int> g_inflight{0};
std::atomic<int> g_receivers_alive{0};
// Clusters that have written through the engine (and still exist): the limit
// is shared among them.
std::atomic<int> g_writing_clusters{0};

// Settings read by the senders and the receivers while the control calls
// change them.
std::atomic<int> g_async_q_szlimit{0};
std::atomic<int> g_async_nw_progress_timeout{KA_ASYNC_NW_TIMEOUT_DEFAULT};
std::atomic<unsigned> g_async_num_threads{0};
std::atomic<ka_async_fail_cb> g_fail_cb_fn{nullptr};
std::atomic<ka_async_success_cb> g_success_cb_fn{nullptr};

// Popped by a receiver, it ends the receiver. Never freed.
ka_async_work g_stop_item = {0, 0, 0, nullptr, -1, nullptr, 0, {}, nullptr};

// Internal result of the reply readers: the bytes break the framing.
constexpr int REPLY_MALFORMED = INT_MIN;
// A reply head not complete yet within its poll (read_head).
constexpr int REPLY_PENDING = INT_MIN + 1;
// Items a receiver waits on at once.
constexpr int WAIT_SET_MAX = 64;
// How long a receiver that holds items waits before it takes more.
constexpr uint64_t TAKE_MORE_MS = 2;

struct test_fault {
    std::atomic<int> after{0};
    std::atomic<int> n{0};
};
test_fault g_test_faults[KA_ASYNC_TEST_STEPS_];
std::atomic<void (*)(void)> g_test_start_hook{nullptr};
std::atomic<int> g_start_waiters{0};

bool take_one(std::atomic<int> &c)
{
    int v = c.load();
    while (v > 0) {
        if (c.compare_exchange_weak(v, v - 1)) {
            return true;
        }
    }
    return false;
}

bool test_fails(ka_async_test_step step)
{
    test_fault &f = g_test_faults[step];
    if (f.n.load(std::memory_order_relaxed) == 0) {
        return false;
    }
    if (take_one(f.after)) {
        return false;
    }
    return take_one(f.n);
}

uint64_t attempt_end(uint64_t deadline, int attempt_ms)
{
    uint64_t end = ka::ox_getms() + (uint64_t)attempt_ms;
    return deadline != 0 && deadline < end ? deadline : end;
}

// Reads into buf until *got reaches want or the clock reaches end. What is
// already waiting is read before the clock is looked at, so a reply that came
// in time is taken even when the poll starts late. 0, 110 when end came
// first, 9 when the peer closed, else the errno of the failure.
int read_until(int fd, uint8_t *buf, size_t want, uint32_t *got, uint64_t end)
{
    while (*got < want) {
        ssize_t r = recv(fd, buf + *got, want - *got, MSG_DONTWAIT);
        if (r > 0) {
            *got += (uint32_t)r;
            continue;
        }
        if (r == 0) {
            return EBADF;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return errno;
        }
        uint64_t now = ka::ox_getms();
        if (now >= end) {
            return ETIMEDOUT;
        }
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, (int)(end - now)) < 0 && errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

// Brings the item's reply head on with what has come, without waiting. On 0
// the head is complete and follows the codec's reply rules: the 8-byte
// protocol header of a compressed reply (its size bounded), or the 30-byte
// head of a plain one (size bounded, message header size 22). Not complete
// yet (the bytes read stay): REPLY_PENDING before `end`, the end of the
// item's 50-ms poll, and 110 from then on.
// Each receive also takes, in the same call, what has come of the body into
// spill (the receiver's buffer, spill_cap bytes): *spilled says how much.
// The bytes of a compressed reply beyond its 8-byte header may lie in the
// head too; read_body takes them from both.
int read_head(ka_async_work *w, uint64_t end, uint8_t *spill, size_t spill_cap, size_t *spilled)
{
    *spilled = 0;
    for (;;) {
        if (w->head_got >= sizeof(ka_proto)) {
            uint8_t type = w->head[1];
            uint64_t sz = ka_be_get(w->head + 2, 6);
            if (type == KA_PROTO_TYPE_KA_MSG_COMPRESSED) {
                return sz > 8 && sz <= KA_MSG_MAX_BODY ? 0 : REPLY_MALFORMED;
            }
            if (type != KA_PROTO_TYPE_KA_MSG || sz < KA_MSG_HEADER_SZ || sz > KA_MSG_MAX_BODY + KA_MSG_HEADER_SZ) {
                return REPLY_MALFORMED;
            }
            if (w->head_got == sizeof(qm_msg)) {
                return w->head[8] == KA_MSG_HEADER_SZ ? 0 : REPLY_MALFORMED;
            }
        }
        const size_t room = sizeof(qm_msg) - w->head_got;
        struct iovec iov[2] = {{w->head + w->head_got, room}, {spill, spill_cap}};
        struct msghdr mh = {};
        mh.msg_iov = iov;
        mh.msg_iovlen = 2;
        ssize_t r = recvmsg(w->fd, &mh, MSG_DONTWAIT);
        if (r > 0) {
            if ((size_t)r > room) {
                *spilled = (size_t)r - room;
                w->head_got = (uint32_t)sizeof(qm_msg);
            } else {
                w->head_got += (uint32_t)r;
            }
            continue;
        }
        if (r == 0) {
            return EBADF;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return errno;
        }
        // The receiver waits for the readiness of all its items at once.
        return ka::ox_getms() >= end ? ETIMEDOUT : REPLY_PENDING;
    }
}

// Reads the rest of a reply whose head is complete; the first `spilled` bytes
// after the head are in stack_body already. On 0 *head is the message head in
// host order and *body/*body_len the rest, in stack_body or in *heap (which
// the caller frees), and *stray tells that bytes beyond the reply came with
// it (the connection is then out of step). A compressed reply is inflated
// and held to the same rules as a plain one. -1: no memory.
int read_body(ka_async_work *w, qm_msg *head, uint8_t *stack_body, size_t spilled, uint8_t **body, size_t *body_len,
              uint8_t **heap, bool *stray)
{
    *heap = nullptr;
    *body = stack_body;
    *body_len = 0;
    const bool compressed = w->head[1] == KA_PROTO_TYPE_KA_MSG_COMPRESSED;
    const uint64_t sz = ka_be_get(w->head + 2, 6);
    // A compressed reply is read whole, protocol header included, since the
    // inflater wants it so; a plain one from behind its 30-byte head.
    const size_t len = compressed ? sizeof(ka_proto) + sz : sz - KA_MSG_HEADER_SZ;
    const size_t in_head = compressed ? w->head_got : 0; // reply bytes held in the head
    *stray = in_head + spilled > len;
    if (!compressed) {
        memcpy(head, w->head, sizeof(qm_msg));
        ka_proto_swap(&head->proto);
        ka_msg_swap_header(&head->m);
        if (len == 0) {
            return 0;
        }
    }
    uint8_t *dst = stack_body;
    if (len > KA_MSG_STACK_BUF_SZ) {
        dst = static_cast<uint8_t *>(malloc(len));
        if (!dst) {
            KA_LOG_ERROR("malloc fail: trying %zu", len);
            return -1;
        }
    }
    // What came already: the head's share first, then the spill behind it.
    size_t have = std::min(in_head + spilled, len);
    size_t from_spill = have > in_head ? have - std::min(in_head, len) : 0;
    if (from_spill > 0 && (dst != stack_body || in_head > 0)) {
        memmove(dst + std::min(in_head, len), stack_body, from_spill);
    }
    if (in_head > 0) {
        memcpy(dst, w->head, std::min(in_head, len));
    }
    uint32_t got = (uint32_t)have;
    int rv = read_until(w->fd, dst, len, &got, attempt_end(w->deadline, KA_ASYNC_POLL_MS));
    if (rv != 0) {
        KA_LOG_ERROR("Timeout after reading the header but before reading the body");
        if (dst != stack_body) {
            free(dst);
        }
        return rv;
    }
    if (!compressed) {
        if (dst != stack_body) {
            *heap = dst;
        }
        *body = dst;
        *body_len = len;
        return 0;
    }
    ka_comp_proto *cp = reinterpret_cast<ka_comp_proto *>(dst);
    ka_proto_swap(&cp->proto);
    const uint64_t org_sz = cp->org_sz;
    uint8_t *plain = nullptr;
    int zr = org_sz >= sizeof(qm_msg) && org_sz <= KA_MSG_MAX_BODY + sizeof(qm_msg)
                 ? ka::ox_packet_decompression(dst, &plain)
                 : -1;
    if (dst != stack_body) {
        free(dst);
    }
    if (zr != 0) {
        return REPLY_MALFORMED;
    }
    memcpy(head, plain, sizeof(qm_msg));
    ka_proto_swap(&head->proto);
    if (head->proto.type != KA_PROTO_TYPE_KA_MSG || head->proto.sz + sizeof(ka_proto) != org_sz ||
        head->m.header_sz != KA_MSG_HEADER_SZ) {
        free(plain);
        return REPLY_MALFORMED;
    }
    ka_msg_swap_header(&head->m);
    *heap = plain;
    *body = plain + sizeof(qm_msg);
    *body_len = org_sz - sizeof(qm_msg);
    return 0;
}

ka_async_work *take_item()
{
    ka_async_work *w = nullptr;
    ox_queue *pool = g_ka_workitems_freepool_q.load();
    if (pool && ox_queue_pop(pool, &w, OX_QUEUE_NOWAIT) == OX_QUEUE_OK && w) {
        return w;
    }
    return static_cast<ka_async_work *>(calloc(1, sizeof(ka_async_work)));
}

void release_item(ka_async_work *w)
{
    memset(w, 0, sizeof(*w));
    w->fd = -1;
    ox_queue *pool = g_ka_workitems_freepool_q.load();
    if (!pool || ox_queue_push(pool, &w) != OX_QUEUE_OK) {
        free(w);
    }
}

bool push_inflight(ka_async_work *w)
{
    if (test_fails(KA_ASYNC_TEST_PUSH)) {
        return false;
    }
    return ox_queue_push(g_ka_async_q.load(), &w) == OX_QUEUE_OK;
}

void share_put(ka_async_share *sh)
{
    if (sh) {
        sh->inflight--;
        ka_async_share_release(sh, false);
    }
}

// A node's replies tell whether it still answers writes. Any reply clears the
// failures and makes the node alive again, as a successful request does.
void note_reply(ka_cluster_node *cn)
{
    cn->async_last_reply = ka::ox_getms();
    if (cn->async_failures.load() != 0) {
        cn->async_failures = 0;
    }
    if (cn->intervals_unreachable.load() != 0) {
        cn->intervals_unreachable = 0;
    }
}

// A write ended without its reply: a passed deadline or a lost connection.
// The node counts unreachable, so that the health check finds its cluster
// down rather than every later write waiting out its own deadline, when
// - a deadline passed without one reply from the node since the write went
//   out, while other writes to it wait too (none of its replies for a while);
// - several failures came in a row;
// - two did, and their run has lasted a whole deadline without one reply.
// One lost reply of a node that has nothing else in flight does not.
void note_reply_failure(ka_async_work *w, bool deadline_passed)
{
    ka_cluster_node *cn = w->node;
    const uint64_t now = ka::ox_getms();
    uint32_t in_row = cn->async_failures.fetch_add(1) + 1;
    if (in_row == 1) {
        cn->async_fail_since = now;
    }
    const uint64_t span = w->deadline > w->starttime ? w->deadline - w->starttime : 0;
    if (deadline_passed && cn->async_last_reply.load() <= w->starttime && cn->async_inflight.load() > 1) {
        ka_cluster_node_set_unreachable(cn, "answered none of its writes for a whole deadline");
    } else if (in_row >= KA_ASYNC_FAILURES_UNREACHABLE) {
        ka_cluster_node_set_unreachable(cn, "failed several writes in a row");
    } else if (in_row >= 2 && span != 0 && now - cn->async_fail_since.load() >= span) {
        ka_cluster_node_set_unreachable(cn, "failed writes for a whole deadline");
    }
}

// Finishes an item and then runs its one callback: the connection goes back
// to the pool (keep_fd) or is closed, the node is released, the item returns
// to the free pool and its in-flight count is given back.
void finish(ka_async_work *w, bool success, int code, bool keep_fd)
{
    if (keep_fd) {
        ka_cluster_node_fd_put_answered(w->node, w->fd);
    } else {
        close(w->fd);
    }
    if (!success) {
        g_async_stats.dropouts++;
    }
    w->node->async_inflight--;
    ka_cluster_node_put(w->node);
    void *udata = w->udata;
    uint64_t starttime = w->starttime;
    ka_async_share *sh = w->share;
    release_item(w);
    share_put(sh);
    g_inflight--;
    if (success) {
        ka_async_success_cb cb = g_success_cb_fn.load();
        if (cb) {
            cb(udata, code, starttime);
        }
    } else {
        ka_async_fail_cb cb = g_fail_cb_fn.load();
        if (cb) {
            cb(udata, code, starttime);
        }
    }
}

void fail(ka_async_work *w, int code)
{
    KA_LOG_ERROR("async receiver: Closing the fd %d because of error", w->fd);
    finish(w, false, code, false);
}

// An item whose poll is over: rv is what read_head gave (receiver thread).
void serve_reply(ka_async_work *w, uint8_t *stack_body, int rv, size_t spilled)
{
    if (rv == ETIMEDOUT) {
        uint64_t now = ka::ox_getms();
        if (w->deadline == 0 || now < w->deadline) {
            g_async_stats.retries++;
            if (push_inflight(w)) {
                return;
            }
            KA_LOG_ERROR("async receiver: cannot queue the write on fd %d again", w->fd);
            fail(w, -1);
            return;
        }
        KA_LOG_ERROR("async receiver: out of time : node %s: deadline %lu now %lu", w->node->name,
                     (unsigned long)w->deadline, (unsigned long)now);
        note_reply_failure(w, true);
        fail(w, TAMBERLIN_FAIL_TIMEOUT);
        return;
    }
    if (rv == REPLY_MALFORMED) {
        KA_LOG_ERROR("async receiver: malformed reply head on fd %d", w->fd);
        fail(w, -1);
        return;
    }
    if (rv != 0) {
        KA_LOG_ERROR("Tamberlin: error when reading header from server - rv %d fd %d", rv, w->fd);
        note_reply_failure(w, false);
        fail(w, rv);
        return;
    }
    note_reply(w->node);

    qm_msg head;
    uint8_t *body, *heap;
    size_t body_len;
    bool stray = false;
    rv = read_body(w, &head, stack_body, spilled, &body, &body_len, &heap, &stray);
    if (rv != 0) {
        if (rv == REPLY_MALFORMED) {
            KA_LOG_ERROR("async receiver: malformed compressed reply on fd %d", w->fd);
        }
        fail(w, rv == REPLY_MALFORMED ? -1 : rv);
        return;
    }
    // The whole body goes through the codec (ops included), so that a reply
    // that breaks its own sizes is never taken for a good one.
    ka_bin *bins = nullptr;
    int n_bins = 0;
    uint64_t reply_trid = w->trid; // a reply without the field answers for this item
    int prv = ka_parse(&head.m, body, body_len, &bins, nullptr, &n_bins, &reply_trid, nullptr);
    if (bins) {
        tamberlin_bins_free(bins, n_bins);
        free(bins);
    }
    free(heap);
    if (prv != 0) {
        KA_LOG_ERROR("async receiver: reply on fd %d cannot be parsed, closing it", w->fd);
        finish(w, true, TAMBERLIN_FAIL_UNKNOWN, false);
        return;
    }
    if (w->trid != 0 && reply_trid != w->trid) {
        KA_LOG_ERROR("async receiver: reply on fd %d answers transaction %lu, not %lu", w->fd,
                     (unsigned long)reply_trid, (unsigned long)w->trid);
        fail(w, -1);
        return;
    }
    if (stray) {
        KA_LOG_ERROR("async receiver: bytes beyond the reply on fd %d, closing it", w->fd);
    }
    finish(w, true, head.m.result_code, !stray);
}

// One poll of one item (receiver thread), whose poll ends at `end`: false
// while its reply has not come and the poll goes on (the receiver keeps the
// item), true once the item is served or queued again.
bool serve_item(ka_async_work *w, uint8_t *stack_body, uint64_t end)
{
    size_t spilled = 0;
    int rv = read_head(w, end, stack_body, KA_MSG_STACK_BUF_SZ, &spilled);
    if (rv == REPLY_PENDING) {
        return false;
    }
    serve_reply(w, stack_body, rv, spilled);
    return true;
}

// Exit rule: a receiver whose slot is beyond the asked count ends.
bool surplus_exit(unsigned slot)
{
    std::lock_guard<std::mutex> g(g_lock);
    if (slot < g_async_num_threads.load()) {
        return false;
    }
    g_slots[slot].state = SLOT_EXITED;
    return true;
}

// Each receiver holds the items it took, up to WAIT_SET_MAX, and waits for
// the readiness of all their connections at once: one poll serves every
// reply that has come, in the order the items were taken. Each item's poll
// ends 50 ms after it was taken (or at its deadline); an item whose reply is
// not complete by then goes through serve_reply as a time-out, so it is
// queued again at the tail (one retry) or fails past its deadline, as when
// every pending reply is polled in turn. A receiver that is stopped or
// surplus takes no more items and serves out those it holds first.
void *async_receiver_fn(void *arg)
{
    const unsigned slot = (unsigned)(uintptr_t)arg;
    g_receivers_alive++;
    uint8_t stack_body[KA_MSG_STACK_BUF_SZ];
    ox_queue *q = g_ka_async_q.load(); // fixed while any receiver runs
    ka_async_work *held[WAIT_SET_MAX];
    uint64_t ends[WAIT_SET_MAX];
    struct pollfd pf[WAIT_SET_MAX];
    int n = 0;
    bool stopped = false;
    for (;;) {
        // A surplus receiver may never be the one woken for an item: it
        // also looks at the exit rule each time it has waited in vain.
        bool surplus = slot >= g_async_num_threads.load();
        while (!stopped && !surplus && n < WAIT_SET_MAX) {
            // Holding items, look at the queue without its lock first: a pop
            // that finds it empty would only contend with the senders. An
            // item missed so is taken at the next look, within TAKE_MORE_MS.
            if (n > 0 && OX_Q_EMPTY(q)) {
                break;
            }
            ka_async_work *w = nullptr;
            int rv = ox_queue_pop(q, &w, n == 0 ? KA_ASYNC_IDLE_CHECK_MS : OX_QUEUE_NOWAIT);
            if (rv == OX_QUEUE_EMPTY) {
                break;
            }
            if (rv != OX_QUEUE_OK || !w) {
                if (n == 0) {
                    usleep(1000);
                }
                break;
            }
            if (w == &g_stop_item) {
                stopped = true;
                break;
            }
            held[n] = w;
            ends[n] = attempt_end(w->deadline, KA_ASYNC_POLL_MS);
            n++;
        }
        if (n == 0) {
            if (stopped || (slot >= g_async_num_threads.load() && surplus_exit(slot))) {
                break;
            }
            continue;
        }
        uint64_t first_end = ends[0];
        for (int i = 0; i < n; i++) {
            pf[i] = {held[i]->fd, POLLIN, 0};
            first_end = std::min(first_end, ends[i]);
        }
        // Waits a little at a time, so that items queued meanwhile join the
        // wait soon rather than after the held ones' polls.
        uint64_t now = ka::ox_getms();
        int wait_ms = first_end > now ? (int)std::min<uint64_t>(first_end - now, TAKE_MORE_MS) : 0;
        if (poll(pf, (nfds_t)n, wait_ms) < 0 && errno != EINTR) {
            usleep(1000);
        }
        now = ka::ox_getms();
        int kept = 0;
        for (int i = 0; i < n; i++) {
            if ((pf[i].revents != 0 || now >= ends[i]) && serve_item(held[i], stack_body, ends[i])) {
                continue;
            }
            held[kept] = held[i];
            ends[kept] = ends[i];
            kept++;
        }
        n = kept;
    }
    g_receivers_alive--;
    return nullptr;
}

bool start_receiver(unsigned slot)
{
    pthread_t tid;
    if (test_fails(KA_ASYNC_TEST_THREAD_START) ||
        pthread_create(&tid, nullptr, async_receiver_fn, (void *)(uintptr_t)slot) != 0) {
        KA_LOG_ERROR("Failed to start async receiver thread %u", slot);
        return false;
    }
    g_slots[slot].state = SLOT_RUNNING;
    g_slots[slot].tid = tid;
    return true;
}

// Stops and joins the receivers of the given slots: one stop item per
// receiver that still waits for items. The caller owns the slots.
void stop_receivers(const pthread_t *tids, size_t n_tids, size_t n_running)
{
    ox_queue *q = g_ka_async_q.load();
    ka_async_work *stop = &g_stop_item;
    for (size_t i = 0; i < n_running; i++) {
        while (ox_queue_push(q, &stop) != OX_QUEUE_OK) {
            usleep(1000);
        }
    }
    for (size_t i = 0; i < n_tids; i++) {
        pthread_join(tids[i], nullptr);
    }
}

void destroy_queues()
{
    ox_queue *pool = g_ka_workitems_freepool_q.exchange(nullptr);
    ox_queue *q = g_ka_async_q.exchange(nullptr);
    if (q) {
        ox_queue_destroy(q);
    }
    if (pool) {
        ka_async_work *w;
        while (ox_queue_pop(pool, &w, OX_QUEUE_NOWAIT) == OX_QUEUE_OK) {
            free(w);
        }
        ox_queue_destroy(pool);
    }
}

// The work of a start, made while the state says STARTING: no other control
// call touches the slots meanwhile, and no sender or receiver of an earlier
// engine is left.
int start_engine(int limit, int threads, ka_async_fail_cb fail_cb, ka_async_success_cb success_cb)
{
    if (auto hook = g_test_start_hook.load()) {
        hook();
    }
    ox_queue *pool = test_fails(KA_ASYNC_TEST_QUEUE_CREATE) ? nullptr : ox_queue_create(sizeof(void *), true);
    if (!pool) {
        KA_LOG_ERROR("Failed to create memory pool for workitems");
        return -1;
    }
    ox_queue *q = test_fails(KA_ASYNC_TEST_QUEUE_CREATE) ? nullptr : ox_queue_create(sizeof(void *), true);
    if (!q) {
        KA_LOG_ERROR("Failed to initialize the async work queue");
        ox_queue_destroy(pool);
        return -1;
    }
    g_ka_workitems_freepool_q = pool;
    g_ka_async_q = q;
    g_async_q_szlimit = limit;
    g_fail_cb_fn = fail_cb;
    g_success_cb_fn = success_cb;
    g_async_stats.retries = 0;
    g_async_stats.dropouts = 0;
    g_inflight = 0;
    const unsigned n = threads < KA_ASYNC_MAX_THREADS ? (unsigned)threads : KA_ASYNC_MAX_THREADS;
    g_async_num_threads = n;
    for (unsigned s = 0; s < n; s++) {
        if (!start_receiver(s)) {
            pthread_t tids[KA_ASYNC_MAX_THREADS];
            for (unsigned k = 0; k < s; k++) {
                tids[k] = g_slots[k].tid;
                g_slots[k].state = SLOT_EMPTY;
            }
            stop_receivers(tids, s, s);
            destroy_queues();
            return -1;
        }
    }
    g_async_pid = getpid();
    return 0;
}

// A forked child holds the parent's engine without its threads: it lets go
// of it (the memory stays, since other threads' locks may be in it).
void forget_engine()
{
    g_ka_async_q = nullptr;
    g_ka_workitems_freepool_q = nullptr;
    for (auto &s : g_slots) {
        s.state = SLOT_EMPTY;
    }
    g_senders = 0;
    g_inflight = 0;
    g_receivers_alive = 0;
    g_state = ENGINE_STOPPED;
}

void mark_forked()
{
    g_forked = true;
}

// A sender's announcement, held for the whole send.
struct sender_guard {
    bool running;
    sender_guard()
    {
        g_senders++;
        running = g_state.load() == ENGINE_RUNNING && !g_forked.load();
    }
    ~sender_guard() { g_senders--; }
};

// The pause after a network error; a stop cuts it short.
void pause_sender(int ms)
{
    std::unique_lock<std::mutex> g(g_lock);
    g_cv.wait_for(g, std::chrono::milliseconds(ms), [] { return g_state.load() != ENGINE_RUNNING; });
}

// The whole request: straight out when the socket takes it (the usual case),
// else through the timed write, which waits for a connect in progress or for
// room, within the attempt time and the deadline.
int send_request(int fd, const uint8_t *buf, size_t len, uint64_t deadline, int attempt_ms)
{
    ssize_t n = send(fd, buf, len, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n == (ssize_t)len) {
        return 0;
    }
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ENOTCONN) {
            return errno;
        }
        n = 0;
    }
    return ka::ox_socket_write_timeout(fd, buf + n, len - (size_t)n, deadline, attempt_ms);
}

// Changed only by a configuration change, and stored atomically under LOCK,
// so each write reads it without taking the cluster's mutex.
int32_t compression_threshold(ka_cluster *asc)
{
    return std::atomic_ref<int32_t>(asc->compression_stat.compression_threshold).load(std::memory_order_relaxed);
}

// The send of one accepted write (its in-flight count is taken): 0 once the
// item is queued, else the result for the caller and no item left.
int send_write(ka_cluster *asc, int info1, int info2, const char *ns, const char *set, const ka_object *key,
               const ka::ox_digest *digest, const ka_bin *bins, ka_operator op, const ka_operation *operations,
               int n_values, const ka_write_parameters *wp, uint64_t trid, void *udata)
{
    // The node of the last failed attempt, held so that it can be counted
    // unreachable when the deadline passes without the request sent.
    ka_cluster_node *failed = nullptr;
    auto failed_on = [&failed](ka_cluster_node *node) {
        if (failed) {
            ka_cluster_node_put(failed);
        }
        failed = node;
    };
    ka_async_work *w = take_item();
    if (!w) {
        return -1;
    }
    uint8_t stack_req[KA_MSG_STACK_BUF_SZ];
    uint8_t *buf = stack_req;
    size_t len = sizeof(stack_req);
    ka::ox_digest d;
    if (ka_compile(info1, info2, 0, ns, set, key, digest, bins, op, operations, n_values, &buf, &len, wp, &d, trid,
                   nullptr) != 0) {
        release_item(w);
        return -1;
    }
    uint64_t deadline = 0;
    int attempt_ms;
    const uint64_t now = ka::ox_getms();
    if (wp && wp->timeout_ms != 0) {
        deadline = now + (uint64_t)wp->timeout_ms;
        attempt_ms = wp->timeout_ms <= 700 ? wp->timeout_ms : wp->timeout_ms / 2;
    } else {
        attempt_ms = g_async_nw_progress_timeout.load();
    }
    w->trid = trid;
    w->deadline = deadline;
    w->starttime = now;
    w->udata = udata;
    w->head_got = 0;
    if ((info2 & KA_MSG_INFO2_DELETE) && (info1 & KA_MSG_INFO1_VERIFY)) {
        buf[9] &= (uint8_t)~KA_MSG_INFO1_VERIFY;
    }

    const uint8_t *send_buf = buf;
    size_t send_len = len;
    uint8_t *comp = nullptr;
    int32_t threshold = compression_threshold(asc);
    if (threshold > 0 && (size_t)threshold < len) {
        size_t comp_len = 0;
        uint64_t actual_sz, compressed_sz;
        if (ka::ox_compress_for_send((uint32_t)threshold, buf, len, &comp, &comp_len, &actual_sz, &compressed_sz) ==
            1) {
            send_buf = comp;
            send_len = comp_len;
        }
        tamberlin_cluster_put_compression_stat(asc, actual_sz, compressed_sz);
    }

    const bool write = (info2 & KA_MSG_INFO2_WRITE) != 0;
    int rv = -1;
    for (;;) {
        if (g_state.load() != ENGINE_RUNNING) {
            rv = -1;
            break;
        }
        ka_cluster_node *node = ka_cluster_node_get(asc, ns, &d, write);
        if (!node) {
            usleep(10000);
        } else {
            uint64_t t0 = ka::ox_getms();
            bool unprobed = false;
            int fd = ka_cluster_node_fd_get_unprobed(node, true, asc->nbconnect.load(), &unprobed);
            uint64_t t1 = ka::ox_getms();
            if (t1 - t0 > 10) {
                KA_LOG_DEBUG("Time to get FD for a node (>10ms)=%lu", (unsigned long)(t1 - t0));
            }
            if (fd < 0) {
                usleep(1000);
                failed_on(node);
            } else {
                int c = send_request(fd, send_buf, send_len, deadline, attempt_ms);
                int err = errno;
                uint64_t t2 = ka::ox_getms();
                if (t2 - t1 > 10) {
                    KA_LOG_DEBUG("Time to write to the socket (>10ms)=%lu", (unsigned long)(t2 - t1));
                }
                if (c == 0) {
                    w->node = node;
                    w->fd = fd;
                    w->share = asc->async_share;
                    w->share->refs++;
                    node->async_inflight++;
                    if (push_inflight(w)) {
                        w = nullptr; // a receiver owns it now
                        rv = 0;
                        break;
                    }
                    KA_LOG_ERROR("async sender: cannot queue the write, closing the fd %d", fd);
                    close(fd);
                    node->async_inflight--;
                    ka_cluster_node_put(node);
                    ka_async_share_release(w->share, false);
                    w->share = nullptr;
                    w->node = nullptr;
                    w->fd = -1;
                    rv = -1;
                    break;
                }
                if (unprobed && c != ETIMEDOUT) {
                    // What the skipped probe would have found: not an attempt.
                    close(fd);
                    ka_cluster_node_put(node);
                    continue;
                }
                KA_LOG_DEBUG("Tamberlin: write timeout or error when writing header to server - %d fd %d errno %d "
                             "(tid %zu)",
                             c, fd, err, (size_t)pthread_self());
                if (c != ETIMEDOUT) {
                    KA_LOG_ERROR("async sender: Closing the fd %d because of network error", fd);
                } else {
                    KA_LOG_ERROR("async sender: Closing the fd %d because of retry", fd);
                }
                close(fd);
                failed_on(node);
                rv = c;
                if (c != ETIMEDOUT && !ka_cluster_node_unreachable(node)) {
                    pause_sender(1000);
                }
            }
        }
        if (deadline != 0 && ka::ox_getms() > deadline) {
            rv = TAMBERLIN_FAIL_TIMEOUT;
            if (failed) {
                ka_cluster_node_set_unreachable(failed, "took no write until the deadline");
            }
            break;
        }
        if (wp && wp->w_pol != KA_WRITE_RETRY) {
            break;
        }
        // Another write found the node unreachable already: this one ends as
        // if its deadline had passed, so that its caller checks the health
        // now instead of trying the node until its own deadline.
        if (failed && ka_cluster_node_unreachable(failed)) {
            rv = TAMBERLIN_FAIL_TIMEOUT;
            break;
        }
    }
    if (w) {
        release_item(w);
    }
    if (failed) {
        ka_cluster_node_put(failed);
    }
    if (buf != stack_req) {
        free(buf);
    }
    free(comp);
    return rv;
}

} // namespace

int tamberlin_async_init(int limit, int threads, ka_async_fail_cb fail_cb, ka_async_success_cb success_cb)
{
    if (limit < 1 || threads < 1) {
        KA_LOG_ERROR("async init: in-flight limit %d and thread count %d must be at least 1", limit, threads);
        return -1;
    }
    std::unique_lock<std::mutex> g(g_lock);
    for (;;) {
        int st = g_state.load();
        if (st == ENGINE_STARTING) {
            // Another start is under way: its result is ours.
            uint64_t gen = g_start_gen;
            g_start_waiters++;
            g_cv.wait(g, [gen] { return g_start_gen != gen; });
            g_start_waiters--;
            return g_start_result;
        }
        if (st == ENGINE_STOPPING) {
            g_cv.wait(g, [] { return g_state.load() != ENGINE_STOPPING; });
            continue;
        }
        if (st == ENGINE_RUNNING) {
            if (!g_forked.load()) {
                return 0;
            }
            forget_engine();
        }
        break;
    }
    std::call_once(g_atfork_once, [] { pthread_atfork(nullptr, nullptr, mark_forked); });
    g_forked = false;
    g_state = ENGINE_STARTING;
    g.unlock();
    int rv = start_engine(limit, threads, fail_cb, success_cb);
    g.lock();
    g_state = rv == 0 ? ENGINE_RUNNING : ENGINE_STOPPED;
    g_start_result = rv;
    g_start_gen++;
    g_cv.notify_all();
    return rv;
}

int tamberlin_async_reinit(int limit, unsigned threads)
{
    std::unique_lock<std::mutex> g(g_lock);
    g_cv.wait(g, [] { return g_state.load() != ENGINE_STARTING; });
    if (g_state.load() != ENGINE_RUNNING || g_forked.load()) {
        KA_LOG_ERROR("Async client not initialized cannot reinit");
        return -1;
    }
    if (limit < 1 || threads < 1) {
        KA_LOG_ERROR("async reinit: in-flight limit %d and thread count %u must be at least 1", limit, threads);
        return -1;
    }
    unsigned n = threads < KA_ASYNC_MAX_THREADS ? threads : KA_ASYNC_MAX_THREADS;
    g_async_num_threads = n;
    int rv = 0;
    for (unsigned s = 0; s < n; s++) {
        if (g_slots[s].state == SLOT_EXITED) {
            pthread_join(g_slots[s].tid, nullptr); // it has left the loop already
            g_slots[s].state = SLOT_EMPTY;
        }
        // Slot 0 is never surplus, so at least one receiver always runs.
        if (g_slots[s].state == SLOT_EMPTY && !start_receiver(s)) {
            g_async_num_threads = s;
            rv = -1;
            break;
        }
    }
    g_async_q_szlimit = limit;
    return rv;
}

void tamberlin_async_set_nw_timeout(int ms)
{
    if (ms < 1) {
        KA_LOG_WARN("async network timeout of %d ms ignored, keeping %d", ms, g_async_nw_progress_timeout.load());
        return;
    }
    g_async_nw_progress_timeout = ms;
}

void tamberlin_async_getstats(uint64_t *retries, uint64_t *dropouts, int *workitems)
{
    *retries = g_async_stats.retries.load();
    *dropouts = g_async_stats.dropouts.load();
    *workitems = g_inflight.load();
}

int tamberlin_async_receivers(void)
{
    return g_receivers_alive.load();
}

ka_async_share *ka_async_share_create(void)
{
    void *mem = calloc(1, sizeof(ka_async_share));
    if (!mem) {
        return nullptr;
    }
    ka_async_share *sh = new (mem) ka_async_share;
    sh->inflight = 0;
    sh->refs = 1;
    sh->writing = false;
    return sh;
}

void ka_async_share_release(ka_async_share *sh, bool cluster_gone)
{
    if (!sh) {
        return;
    }
    if (cluster_gone && sh->writing.exchange(false)) {
        g_writing_clusters--;
    }
    if (sh->refs.fetch_sub(1) == 1) {
        sh->~ka_async_share();
        free(sh);
    }
}

int tamberlin_async_cluster_share(void)
{
    int n = g_writing_clusters.load();
    int share = g_async_q_szlimit.load() / (n > 1 ? n : 1);
    return share > 1 ? share : 1;
}

void tamberlin_async_shutdown(void)
{
    std::unique_lock<std::mutex> g(g_lock);
    g_cv.wait(g, [] {
        int st = g_state.load();
        return st != ENGINE_STARTING && st != ENGINE_STOPPING;
    });
    if (g_state.load() != ENGINE_RUNNING) {
        return;
    }
    if (g_forked.load() || g_async_pid.load() != getpid()) {
        forget_engine();
        return;
    }
    g_state = ENGINE_STOPPING;
    // From here no receiver is surplus: each waits for its stop item.
    g_async_num_threads = KA_ASYNC_MAX_THREADS;
    g_cv.notify_all();
    pthread_t tids[KA_ASYNC_MAX_THREADS];
    size_t n_tids = 0, n_running = 0;
    for (auto &s : g_slots) {
        if (s.state != SLOT_EMPTY) {
            n_running += s.state == SLOT_RUNNING;
            tids[n_tids++] = s.tid;
            s.state = SLOT_EMPTY;
        }
    }
    g.unlock();

    while (g_senders.load() != 0) {
        usleep(1000);
    }
    stop_receivers(tids, n_tids, n_running);

    // What is still queued gets its one failure callback.
    ox_queue *q = g_ka_async_q.load();
    ka_async_work *w;
    while (ox_queue_pop(q, &w, OX_QUEUE_NOWAIT) == OX_QUEUE_OK) {
        if (w != &g_stop_item) {
            finish(w, false, -1, false);
        }
    }
    destroy_queues();
    g_fail_cb_fn = nullptr;
    g_success_cb_fn = nullptr;

    g.lock();
    g_state = ENGINE_STOPPED;
    g_cv.notify_all();
}

int ka_do_async_monte(ka_cluster *asc, int info1, int info2, const char *ns, const char *set, const ka_object *key,
                      const ka::ox_digest *digest, const ka_bin *bins, ka_operator op,
                      const ka_operation *operations, int n_values, uint32_t generation,
                      const ka_write_parameters *wp, uint64_t trid, void *udata)
{
    (void)generation;
    if (!ka::g_initialized) {
        return -1;
    }
    if (!asc || !ns || (!digest && !key) || n_values < 0 || (n_values > 0 && !bins && !operations)) {
        KA_LOG_ERROR("async write: illegal parameters passed");
        return -1;
    }
    if (wp && wp->timeout_ms < 0) {
        KA_LOG_ERROR("async write: negative timeout %d refused", wp->timeout_ms);
        return -1;
    }
    sender_guard guard;
    if (!guard.running) {
        return -1;
    }
    if (g_inflight.fetch_add(1) >= g_async_q_szlimit.load()) {
        g_inflight--;
        return TAMBERLIN_FAIL_ASYNCQ_FULL;
    }
    ka_async_share *sh = asc->async_share;
    if (!sh->writing.load() && !sh->writing.exchange(true)) {
        g_writing_clusters++;
    }
    if (sh->inflight.fetch_add(1) >= tamberlin_async_cluster_share()) {
        sh->inflight--;
        g_inflight--;
        return TAMBERLIN_FAIL_ASYNCQ_FULL;
    }
    int rv = send_write(asc, info1, info2, ns, set, key, digest, bins, op, operations, n_values, wp, trid, udata);
    if (rv != 0) {
        sh->inflight--;
        g_inflight--;
    }
    return rv;
}

int tamberlin_async_put_digest_relay(ka_cluster *asc, const char *ns, const ka::ox_digest *digest, const char *set,
                                     const ka_bin *bins, int n_bins, const ka_write_parameters *wp, uint64_t trid,
                                     void *udata)
{
    if (!digest) {
        return -1;
    }
    return ka_do_async_monte(asc, KA_MSG_INFO1_FERRY, KA_MSG_INFO2_WRITE, ns, set, nullptr, digest, bins, KA_OP_WRITE,
                             nullptr, n_bins, 0, wp, trid, udata);
}

int tamberlin_async_delete_digest_relay(ka_cluster *asc, const char *ns, const ka::ox_digest *digest,
                                        const ka_write_parameters *wp, void *udata)
{
    if (!digest) {
        return -1;
    }
    return ka_do_async_monte(asc, KA_MSG_INFO1_FERRY, KA_MSG_INFO2_WRITE | KA_MSG_INFO2_DELETE, ns, nullptr, nullptr,
                             digest, nullptr, KA_OP_WRITE, nullptr, 0, 0, wp, 0, udata);
}

int tamberlin_async_put_digest(ka_cluster *asc, const char *ns, const ka::ox_digest *digest, const char *set,
                               const ka_bin *bins, int n_bins, const ka_write_parameters *wp, uint64_t trid,
                               void *udata)
{
    if (!digest) {
        return -1;
    }
    return ka_do_async_monte(asc, 0, KA_MSG_INFO2_WRITE, ns, set, nullptr, digest, bins, KA_OP_WRITE, nullptr, n_bins,
                             0, wp, trid, udata);
}

int tamberlin_async_put(ka_cluster *asc, const char *ns, const char *set, const ka_object *key, const ka_bin *bins,
                        int n_bins, const ka_write_parameters *wp, uint64_t trid, void *udata)
{
    if (!key) {
        return -1;
    }
    return ka_do_async_monte(asc, 0, KA_MSG_INFO2_WRITE, ns, set, key, nullptr, bins, KA_OP_WRITE, nullptr, n_bins, 0,
                             wp, trid, udata);
}

int tamberlin_async_put_digest_forget(ka_cluster *asc, const char *ns, const ka::ox_digest *digest, const char *set,
                                      const ka_bin *bins, int n_bins, const ka_write_parameters *wp)
{
    return tamberlin_async_put_digest(asc, ns, digest, set, bins, n_bins, wp, 0, nullptr);
}

int tamberlin_async_put_forget(ka_cluster *asc, const char *ns, const char *set, const ka_object *key,
                               const ka_bin *bins, int n_bins, const ka_write_parameters *wp)
{
    return tamberlin_async_put(asc, ns, set, key, bins, n_bins, wp, 0, nullptr);
}

void ka_async_test_fail(ka_async_test_step step, int after, int n)
{
    if (step < 0 || step >= KA_ASYNC_TEST_STEPS_) {
        return;
    }
    g_test_faults[step].after = after < 0 ? 0 : after;
    g_test_faults[step].n = n < 0 ? 0 : n;
}

void ka_async_test_set_start_hook(void (*fn)(void))
{
    g_test_start_hook = fn;
}

int ka_async_test_start_waiters(void)
{
    return g_start_waiters.load();
}
