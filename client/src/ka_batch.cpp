// Batch reads. Threads: the callers of the batch calls (any thread; each
// blocks until its parts are done) and the batch workers (up to six, started
// by the first call), which serve the parts in queue order and run the
// caller's callback per record.
//
// A call keeps everything it owns on its own stack while its digests fit the
// stack tables, and takes its completion queue from a pool of idle ones; a
// worker builds the request, reads the reply bodies, inflates compressed ones
// and decodes up to 100 bins in buffers of its own stack. So a call whose
// requests and replies stay under 16 KiB touches the heap only for the bin
// values that pass to the callback; larger requests, bodies, inflated
// messages and records with more bins take the heap for that message.
//
// Every size in a reply is checked against the bytes really received before
// anything behind it is read, and a part that receives nothing for the
// silence limit gives up: a malformed or stalled reply costs one part (-1,
// connection closed), never the worker or the process.
#include "tamberlin/ka_batch.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include "tamberlin/ox_log.h"
#include "tamberlin/ox_socket.h"

using ka::ox_digest;

uint32_t batch_initialized = 0;
pthread_mutex_t batch_init_lock = PTHREAD_MUTEX_INITIALIZER;
ox_queue *g_batch_q = nullptr;
pthread_t g_batch_th[KA_BATCH_MAX_THREADS];
int ka::g_batch_thread_count = 0;
using ka::g_batch_thread_count;

namespace {

// Digests of one call whose node table lives on the caller's stack.
constexpr int kStackDigests = 2048;
// Distinct nodes of one call held in the caller's stack table.
constexpr int kStackParts = 32;
// First heap buffer of a body beyond the worker's own; doubled as bytes come.
constexpr size_t kFirstHeapBody = 64 * 1024;
// Deflate cannot do better than about 1032 to 1: an original announced
// beyond that is not what the compressed bytes hold.
constexpr uint64_t kMaxInflateRatio = 1040;

// Idle completion queues (ox_queue *), so that a call makes none in the steady state.
ox_queue *g_batch_cq_pool = nullptr;
pid_t g_batch_pid = 0; // the process that started the workers

// Calls under way, and the stop that waits for them to end.
std::atomic<int> g_batch_calls{0};
std::atomic<bool> g_batch_stopping{false};
pthread_mutex_t g_batch_idle_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_batch_idle_cv = PTHREAD_COND_INITIALIZER;

std::atomic<uint32_t> g_silence_ms{KA_BATCH_SILENCE_MS};
std::atomic<int> g_fail_push_at{-1};
std::atomic<bool> g_fail_complete_q{false};
std::atomic<bool> g_fail_thread_start{false};

// A forked child has none of the parent's workers and none of its calls:
// it forgets them all, so that its first call starts workers of its own
// instead of queueing parts that nobody serves. Locks another thread held
// at the fork are made anew.
void batch_atfork_child()
{
    __atomic_store_n(&batch_initialized, 0u, __ATOMIC_RELAXED);
    g_batch_q = nullptr;
    g_batch_cq_pool = nullptr;
    g_batch_thread_count = 0;
    g_batch_calls = 0;
    g_batch_stopping = false;
    pthread_mutex_init(&batch_init_lock, nullptr);
    pthread_mutex_init(&g_batch_idle_lock, nullptr);
    pthread_cond_init(&g_batch_idle_cv, nullptr);
}

bool batch_started()
{
    return __atomic_load_n(&batch_initialized, __ATOMIC_ACQUIRE) != 0;
}

void sleep_ms(int ms)
{
    struct timespec ts = {0, ms * 1000000L};
    nanosleep(&ts, nullptr);
}

uint32_t be32(const uint8_t *p)
{
    return static_cast<uint32_t>(ka_be_get(p, 4));
}

// --- Calls under way against the stop ---

bool batch_enter()
{
    // A stop under way is not held up by calls that arrive after it began:
    // they are not counted at all.
    if (g_batch_stopping.load())
        return false;
    g_batch_calls.fetch_add(1);
    if (!g_batch_stopping.load())
        return true;
    g_batch_calls.fetch_sub(1);
    pthread_mutex_lock(&g_batch_idle_lock);
    pthread_cond_broadcast(&g_batch_idle_cv);
    pthread_mutex_unlock(&g_batch_idle_lock);
    return false;
}

void batch_leave()
{
    if (g_batch_calls.fetch_sub(1) == 1 && g_batch_stopping.load()) {
        pthread_mutex_lock(&g_batch_idle_lock);
        pthread_cond_broadcast(&g_batch_idle_cv);
        pthread_mutex_unlock(&g_batch_idle_lock);
    }
}

// --- Transfers bounded by silence: the limit starts again with every byte ---

// 0, a socket code (9 the peer closed, 110 silence), or an errno value.
int batch_transfer(int fd, uint8_t *buf, size_t len, bool out, uint32_t silence_ms)
{
    size_t done = 0;
    uint64_t end = ka::ox_getms() + silence_ms;
    while (done < len) {
        ssize_t r = out ? send(fd, buf + done, len - done, MSG_NOSIGNAL | MSG_DONTWAIT)
                        : recv(fd, buf + done, len - done, MSG_DONTWAIT);
        if (r > 0) {
            done += static_cast<size_t>(r);
            end = ka::ox_getms() + silence_ms;
            continue;
        }
        if (r == 0 && !out)
            return 9;
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return errno;
        uint64_t now = ka::ox_getms();
        if (now >= end)
            return 110;
        struct pollfd p = {fd, static_cast<short>(out ? POLLOUT : POLLIN), 0};
        if (poll(&p, 1, static_cast<int>(end - now)) < 0 && errno != EINTR)
            return errno;
    }
    return 0;
}

// Reads a body of sz bytes: into the caller's stack buffer when it fits,
// else into a heap buffer that grows as the bytes arrive, so a size that the
// node never sends costs at most twice what it did send. 0, a socket code,
// or -1 when memory is short; *heap is the buffer to free (NULL for none).
int read_body(int fd, uint64_t sz, uint8_t *stack, size_t stack_cap, uint8_t **body, uint8_t **heap,
              uint32_t silence_ms)
{
    *heap = nullptr;
    *body = stack;
    if (sz <= stack_cap)
        return sz ? batch_transfer(fd, stack, sz, false, silence_ms) : 0;
    uint8_t *buf = nullptr;
    size_t cap = 0;
    while (cap < sz) {
        size_t next = static_cast<size_t>(std::min<uint64_t>(sz, cap ? 2 * cap : kFirstHeapBody));
        uint8_t *grown = static_cast<uint8_t *>(realloc(buf, next));
        if (!grown) {
            free(buf);
            return -1;
        }
        buf = grown;
        int rc = batch_transfer(fd, buf + cap, next - cap, false, silence_ms);
        cap = next;
        if (rc != 0) {
            free(buf);
            return rc;
        }
    }
    *body = *heap = buf;
    return 0;
}

// --- Reply parsing ---

int parse_fail(ka_batch_reply *st)
{
    if (st->result == 0)
        st->result = -1;
    return -1;
}

// A record whose framing holds but whose contents cannot be handed on (a set
// name too long, a bin the decoder does not know, bins that no digest names,
// no memory for its bins) is left out alone: the caller finds its digest not
// called back, as for a record not found, and the rest of the reply goes on.
void refuse_record(ka_batch_reply *st, const char *why)
{
    KA_LOG_ERROR("batch reply: a record left out: %s", why);
    st->n_refused++;
}

// Walks the record messages of one body. 1 complete, 0 more to come, -1 malformed.
int walk_records(ka_batch_reply *st, uint8_t *p, size_t len)
{
    bool complete = false;
    size_t off = 0;
    while (off < len) {
        const uint8_t *m = p + off;
        if (len - off < KA_MSG_HEADER_SZ) {
            KA_LOG_ERROR("batch reply: record message cut short at %zu bytes", len - off);
            return parse_fail(st);
        }
        if (m[0] != KA_MSG_HEADER_SZ) {
            KA_LOG_ERROR("received cl msg of unexpected size: expecting %zd found %d, internal error",
                         static_cast<ssize_t>(KA_MSG_HEADER_SZ), m[0]);
            return parse_fail(st);
        }
        const uint8_t info1 = m[1], info3 = m[3], rc = m[5];
        const uint32_t generation = be32(m + 6), void_time = be32(m + 10);
        const int n_fields = static_cast<int>(ka_be_get(m + 18, 2));
        const int n_ops = static_cast<int>(ka_be_get(m + 20, 2));
        size_t q = off + KA_MSG_HEADER_SZ;

        // Digest and set are found anew in every record; the set is pointed
        // at and copied only when the record is handed on.
        const uint8_t *digest = nullptr;
        const uint8_t *set_data = nullptr;
        size_t set_len = 0;
        const char *refused = nullptr;
        for (int i = 0; i < n_fields; i++) {
            if (len - q < sizeof(ka_msg_field)) {
                KA_LOG_ERROR("batch reply: field %d cut short", i);
                return parse_fail(st);
            }
            uint32_t fsz = be32(p + q);
            uint8_t type = p[q + 4];
            if (fsz < 1 || fsz > len - q - 4) {
                KA_LOG_ERROR("batch reply: field size %u beyond the message", fsz);
                return parse_fail(st);
            }
            const uint8_t *data = p + q + 5;
            size_t dlen = fsz - 1;
            if (type == KA_MSG_FIELD_TYPE_DIGEST_RIPE) {
                if (dlen != OX_DIGEST_SZ) {
                    KA_LOG_ERROR("batch reply: digest field of %zu bytes", dlen);
                    return parse_fail(st);
                }
                digest = data;
            } else if (type == KA_MSG_FIELD_TYPE_SET) {
                // As long as a single read takes.
                if (dlen >= KA_SET_NAME_SZ)
                    refused = "set name too long";
                set_data = data;
                set_len = dlen;
            } else if (type == KA_MSG_FIELD_TYPE_KEY) {
                KA_LOG_ERROR("read: found a key - unexpected");
            }
            // The namespace field is not used: the callback gets the request's.
            q += 4 + fsz;
        }

        ka_bin *bins = st->bins;
        if (n_ops > st->bins_cap) {
            // Every op takes its 8-byte header: a count the bytes cannot hold
            // is refused before anything is allocated for it.
            if (static_cast<size_t>(n_ops) * sizeof(ka_msg_op) > len - q) {
                KA_LOG_ERROR("batch reply: %d ops in %zu bytes", n_ops, len - q);
                return parse_fail(st);
            }
            bins = static_cast<ka_bin *>(malloc(static_cast<size_t>(n_ops) * sizeof(ka_bin)));
            if (!bins) {
                bins = st->bins;
                if (!refused)
                    refused = "no memory for its bins";
            }
        }
        // Once the record is refused its ops are only stepped over.
        int decoded = 0;
        bool bad = false;
        for (int i = 0; i < n_ops; i++) {
            if (len - q < sizeof(ka_msg_op)) {
                KA_LOG_ERROR("batch reply: op %d cut short", i);
                bad = true;
                break;
            }
            ka_msg_op *op = reinterpret_cast<ka_msg_op *>(p + q);
            uint32_t osz = be32(p + q);
            if (osz < 4u + op->name_sz || osz > len - q - 4) {
                KA_LOG_ERROR("batch reply: op %d of size %u with a name of %d bytes", i, osz, op->name_sz);
                bad = true;
                break;
            }
            q += 4 + osz;
            if (refused)
                continue;
            if (op->name_sz >= KA_BIN_NAME_SZ) {
                refused = "bin name too long";
                continue;
            }
            op->op_sz = osz; // host order in place, for the value reader
            tamberlin_object_init(&bins[i].object);
            bins[i].bin_name[0] = '\0';
            if (ka_set_value_particular(op, &bins[i]) != 0) {
                tamberlin_object_free(&bins[i].object);
                refused = "a bin that could not be decoded";
                continue;
            }
            decoded++;
        }

        bool deliver = false;
        if (!bad && rc == KA_PROTO_RESULT_OK) {
            if (!digest && n_ops > 0 && !refused) {
                // Values that no digest names cannot be given to anyone.
                refused = "bins without a digest";
            }
            if (refused)
                refuse_record(st, refused);
            else
                deliver = digest && (n_ops > 0 || (info1 & KA_MSG_INFO1_NOBINDATA) || st->exists_only);
        } else if (!bad && rc != KA_PROTO_RESULT_FAIL_NOTFOUND) {
            if (st->result == 0)
                st->result = rc;
            complete = true;
        }
        if (!bad && (info3 & KA_MSG_INFO3_LAST)) {
            st->last = true;
            complete = true;
        }
        if (deliver && st->cb) {
            ox_digest d;
            memcpy(d.digest, digest, OX_DIGEST_SZ);
            char set[KA_SET_NAME_SZ];
            if (set_data) {
                memcpy(set, set_data, set_len);
                set[set_len] = '\0';
            }
            st->cb(st->ns, &d, set_data ? set : nullptr, generation, void_time, bins, n_ops, false, st->udata);
            st->n_records++;
        } else {
            tamberlin_bins_free(bins, decoded);
        }
        if (bins != st->bins)
            free(bins);
        if (bad)
            return parse_fail(st);
        off = q;
    }
    return complete ? 1 : 0;
}

// An inflated message: record messages, or one protocol message (type 3,
// its size the rest) that holds them.
int walk_inflated(ka_batch_reply *st, uint8_t *p, size_t len)
{
    if (len > 0 && p[0] == KA_PROTO_VERSION) {
        if (len < sizeof(ka_proto) || p[1] != KA_PROTO_TYPE_KA_MSG || ka_be_get(p + 2, 6) != len - 8) {
            KA_LOG_ERROR("batch reply: inflated message with a bad protocol header");
            return parse_fail(st);
        }
        return walk_records(st, p + 8, len - 8);
    }
    return walk_records(st, p, len);
}

int inflate_and_walk(ka_batch_reply *st, uint8_t *body, size_t len)
{
    uint64_t org_sz = 0;
    if (len >= 8)
        memcpy(&org_sz, body, 8); // the sender's host order
    if (len <= 8 || org_sz == 0 || org_sz > KA_MSG_MAX_BODY || org_sz > (len - 8) * kMaxInflateRatio + 64) {
        KA_LOG_ERROR("could not decompress compressed message: error %d", -1);
        return parse_fail(st);
    }
    uint8_t *out = org_sz <= st->scratch_cap ? st->scratch : static_cast<uint8_t *>(malloc(org_sz));
    if (!out) {
        KA_LOG_ERROR("batch_decompress: could not malloc %lu bytes", static_cast<unsigned long>(org_sz));
        KA_LOG_ERROR("could not decompress compressed message: error %d", -1);
        return parse_fail(st);
    }
    z_stream zs;
    memset(&zs, 0, sizeof(zs));
    int zr = inflateInit(&zs);
    bool ok = false;
    if (zr == Z_OK) {
        zs.next_in = body + 8;
        zs.avail_in = static_cast<uInt>(len - 8);
        zs.next_out = out;
        zs.avail_out = static_cast<uInt>(org_sz);
        zr = inflate(&zs, Z_FINISH);
        // Exactly one stream of exactly the announced length: anything else
        // would leave bytes unread or zeroes posing as data.
        ok = zr == Z_STREAM_END && zs.avail_out == 0 && zs.avail_in == 0;
        if (zr != Z_STREAM_END)
            KA_LOG_ERROR("could not deflate data: zlib error %d (check zlib.h)", zr);
        else if (!ok)
            KA_LOG_ERROR("batch reply: compressed message of %lu bytes inflates to %lu, %u bytes left over",
                         static_cast<unsigned long>(org_sz), static_cast<unsigned long>(zs.total_out),
                         zs.avail_in);
        inflateEnd(&zs);
    }
    int rv;
    if (!ok) {
        KA_LOG_ERROR("could not decompress compressed message: error %d", -1);
        rv = parse_fail(st);
    } else {
        rv = walk_inflated(st, out, org_sz);
    }
    if (out != st->scratch)
        free(out);
    return rv;
}

// --- Completion queues ---

ox_queue *take_complete_q()
{
    if (g_fail_complete_q.load())
        return nullptr;
    ox_queue *cq = nullptr;
    if (ox_queue_pop(g_batch_cq_pool, &cq, OX_QUEUE_NOWAIT) == OX_QUEUE_OK)
        return cq;
    return ox_queue_create(sizeof(int32_t), true);
}

void give_complete_q(ox_queue *cq)
{
    if (ox_queue_push(g_batch_cq_pool, &cq) != OX_QUEUE_OK)
        ox_queue_destroy(cq);
}

struct part {
    ka_cluster_node *node;
    int count;
};

// The body of a call once it is counted as under way, the workers running.
int batch_call(ka_cluster *asc, char *ns, const ox_digest *digests, int n_digests, ka_bin *bins, int n_bins,
               bool get_key, tamberlin_get_many_cb cb, void *udata, int info1)
{
    ka_cluster_node *stack_nodes[kStackDigests];
    ka_cluster_node **nodes = stack_nodes;
    if (n_digests > kStackDigests) {
        nodes = static_cast<ka_cluster_node **>(malloc(static_cast<size_t>(n_digests) * sizeof(*nodes)));
        if (!nodes) {
            KA_LOG_ERROR("allocation failed");
            return -1;
        }
    }
    part stack_parts[kStackParts];
    part *parts = stack_parts;
    int n_parts = 0, n_held = 0, rv = 0;
    ox_queue *cq = nullptr;

    for (int i = 0; i < n_digests; i++) {
        ka_cluster_node *cn = ka_cluster_node_get(asc, ns, &digests[i], true);
        if (!cn) {
            KA_LOG_ERROR("index %d: no specific node, getting random", i);
            cn = ka_cluster_node_get_random(asc);
        }
        if (!cn) {
            KA_LOG_ERROR("index %d: can't get any node", i);
            rv = -1;
            goto done;
        }
        nodes[n_held++] = cn;
    }

    // Distinct nodes in first-seen order; a cluster of more nodes than the
    // stack table holds gets a table as large as the call.
    for (int i = 0; i < n_digests; i++) {
        int j = 0;
        while (j < n_parts && parts[j].node != nodes[i])
            j++;
        if (j == n_parts) {
            if (n_parts == kStackParts && parts == stack_parts) {
                parts = static_cast<part *>(malloc(static_cast<size_t>(n_digests) * sizeof(part)));
                if (!parts) {
                    parts = stack_parts;
                    KA_LOG_ERROR("allocation failed");
                    rv = -1;
                    goto done;
                }
                memcpy(parts, stack_parts, sizeof(stack_parts));
            }
            parts[n_parts++] = {nodes[i], 0};
        }
        parts[j].count++;
    }

    cq = take_complete_q();
    if (!cq) {
        KA_LOG_ERROR("batch: could not make a completion queue");
        rv = -1;
        goto done;
    }
    {
        int pushed = 0, part_rv = 0;
        for (int p = 0; p < n_parts; p++) {
            digest_work w;
            memset(&w, 0, sizeof(w));
            w.asc = asc;
            w.info1 = info1;
            w.info2 = 0;
            w.ns = ns;
            w.digests = digests;
            w.nodes = nodes;
            w.n_digests = n_digests;
            w.get_key = get_key;
            w.bins = bins;
            w.op = KA_OP_READ;
            w.operations = nullptr;
            w.n_ops = n_bins;
            w.cb = cb;
            w.udata = udata;
            w.complete_q = cq;
            w.my_node = parts[p].node;
            w.my_node_digest_count = parts[p].count;
            w.index = p;
            if (g_fail_push_at.load() == p || ox_queue_push(g_batch_q, &w) != OX_QUEUE_OK) {
                KA_LOG_ERROR("batch: could not queue part %d of %d", p, n_parts);
                rv = -1;
                break;
            }
            pushed++;
        }
        // Exactly the parts that were queued answer; each holds this call's
        // tables until it has.
        for (int k = 0; k < pushed; k++) {
            int32_t r = 0;
            while (ox_queue_pop(cq, &r, OX_QUEUE_FOREVER) != OX_QUEUE_OK) {
                KA_LOG_ERROR("queue pop failed");
                sleep_ms(1);
            }
            if (r != 0) {
                KA_LOG_ERROR("Node %d retcode error: %d", k, r);
                part_rv = r;
            }
        }
        if (rv == 0)
            rv = part_rv;
    }
    give_complete_q(cq);

done:
    for (int i = 0; i < n_held; i++)
        ka_cluster_node_put(nodes[i]);
    if (nodes != stack_nodes)
        free(nodes);
    if (parts != stack_parts)
        free(parts);
    return rv;
}

} // namespace

// --- Test hooks ---

void ka_batch_test_set_silence_ms(uint32_t ms)
{
    g_silence_ms = ms == 0 ? 1 : ms;
}

void ka_batch_test_fail_push_at(int nth)
{
    g_fail_push_at = nth;
}

void ka_batch_test_fail_complete_q(bool on)
{
    g_fail_complete_q = on;
}

void ka_batch_test_fail_thread_start(bool on)
{
    g_fail_thread_start = on;
}

// --- Workers ---

int tamberlin_batch_init(int n_threads)
{
    if (batch_started())
        return 0;
    pthread_mutex_lock(&batch_init_lock);
    if (batch_started()) {
        pthread_mutex_unlock(&batch_init_lock);
        return 0;
    }
    static bool fork_handler = false;
    if (!fork_handler)
        fork_handler = pthread_atfork(nullptr, nullptr, batch_atfork_child) == 0;
    if (n_threads < 1)
        n_threads = 1;
    if (n_threads > KA_BATCH_MAX_THREADS) {
        KA_LOG_WARN("Batch threads are limited to %d", KA_BATCH_MAX_THREADS);
        n_threads = KA_BATCH_MAX_THREADS;
    }
    ox_queue *q = ox_queue_create(sizeof(digest_work), true);
    ox_queue *pool = ox_queue_create(sizeof(ox_queue *), true);
    int started = 0;
    for (int i = 0; q && pool && i < n_threads; i++) {
        if (g_fail_thread_start.load() || pthread_create(&g_batch_th[started], nullptr, batch_worker_fn, q) != 0) {
            KA_LOG_ERROR("could not start batch worker %d", i);
            continue;
        }
        started++;
    }
    if (started == 0) {
        KA_LOG_ERROR("batch: no worker started");
        if (q)
            ox_queue_destroy(q);
        if (pool)
            ox_queue_destroy(pool);
        pthread_mutex_unlock(&batch_init_lock);
        return -1;
    }
    g_batch_q = q;
    g_batch_cq_pool = pool;
    g_batch_thread_count = started;
    g_batch_pid = getpid();
    __atomic_store_n(&batch_initialized, 1u, __ATOMIC_RELEASE);
    pthread_mutex_unlock(&batch_init_lock);
    return 0;
}

void *batch_worker_fn(void *arg)
{
    ox_queue *q = static_cast<ox_queue *>(arg);
    for (;;) {
        digest_work w;
        if (ox_queue_pop(q, &w, OX_QUEUE_FOREVER) != OX_QUEUE_OK) {
            KA_LOG_ERROR("queue pop failed");
            sleep_ms(1);
            continue;
        }
        if (!w.digests)
            break;
        int32_t rv = do_batch_monte(&w);
        // The caller waits for exactly this result, so it must get there.
        while (ox_queue_push(w.complete_q, &rv) != OX_QUEUE_OK)
            sleep_ms(1);
    }
    return nullptr;
}

void tamberlin_batch_shutdown(void)
{
    pthread_mutex_lock(&batch_init_lock);
    if (!batch_started()) {
        pthread_mutex_unlock(&batch_init_lock);
        return;
    }
    g_batch_stopping = true;
    pthread_mutex_lock(&g_batch_idle_lock);
    while (g_batch_calls.load() != 0)
        pthread_cond_wait(&g_batch_idle_cv, &g_batch_idle_lock);
    pthread_mutex_unlock(&g_batch_idle_lock);

    // A forked child has none of the parent's workers to stop; it only
    // forgets them.
    if (getpid() == g_batch_pid) {
        digest_work stop;
        memset(&stop, 0, sizeof(stop));
        for (int i = 0; i < g_batch_thread_count; i++) {
            while (ox_queue_push(g_batch_q, &stop) != OX_QUEUE_OK)
                sleep_ms(1);
        }
        for (int i = 0; i < g_batch_thread_count; i++)
            pthread_join(g_batch_th[i], nullptr);
        ox_queue_destroy(g_batch_q);
        ox_queue *cq = nullptr;
        while (ox_queue_pop(g_batch_cq_pool, &cq, OX_QUEUE_NOWAIT) == OX_QUEUE_OK)
            ox_queue_destroy(cq);
        ox_queue_destroy(g_batch_cq_pool);
    }
    g_batch_q = nullptr;
    g_batch_cq_pool = nullptr;
    g_batch_thread_count = 0;
    __atomic_store_n(&batch_initialized, 0u, __ATOMIC_RELEASE);
    g_batch_stopping = false;
    pthread_mutex_unlock(&batch_init_lock);
}

// --- One node part ---

int do_batch_monte(const digest_work *w)
{
    const size_t ns_len = strlen(w->ns);
    const size_t count = static_cast<size_t>(w->my_node_digest_count);
    size_t ops_sz = 0;
    for (int i = 0; i < w->n_ops; i++) {
        size_t name_len = strnlen(w->bins[i].bin_name, KA_BIN_NAME_SZ);
        ops_sz += sizeof(ka_msg_op) + name_len;
        if (name_len == KA_BIN_NAME_SZ || ka_value_to_op_get_size(&w->bins[i], &ops_sz) != 0) {
            KA_LOG_ERROR("illegal parameter: bad type %d write op %d", static_cast<int>(w->bins[i].object.type), i);
            KA_LOG_ERROR("do batch monte: batch compile failed: some kind of intermediate error");
            return -1;
        }
    }
    const size_t msg_sz = sizeof(qm_msg) + sizeof(ka_msg_field) + ns_len + sizeof(ka_msg_field) +
                          OX_DIGEST_SZ * count + ops_sz + 1;
    uint8_t stack_req[KA_MSG_STACK_BUF_SZ];
    uint8_t *req = stack_req;
    if (msg_sz > sizeof(stack_req)) {
        req = OX_DIGEST_SZ * count + 1 <= 0xFFFFFFFFu ? static_cast<uint8_t *>(malloc(msg_sz)) : nullptr;
        if (!req) {
            KA_LOG_ERROR("do batch monte: batch compile failed: some kind of intermediate error");
            return -1;
        }
    }
    uint8_t *p = ka_write_header(req, msg_sz, w->info1, w->info2, 0, 0, 0, 0, 2, static_cast<uint32_t>(w->n_ops));
    ka_be_put(p, 1 + ns_len, 4);
    p[4] = KA_MSG_FIELD_TYPE_NAMESPACE;
    memcpy(p + 5, w->ns, ns_len);
    p += 5 + ns_len;
    ka_be_put(p, 1 + OX_DIGEST_SZ * count, 4);
    p[4] = KA_MSG_FIELD_TYPE_DIGEST_RIPE_ARRAY;
    p += 5;
    for (int i = 0; i < w->n_digests; i++) {
        if (w->nodes[i] == w->my_node) {
            memcpy(p, w->digests[i].digest, OX_DIGEST_SZ);
            p += OX_DIGEST_SZ;
        }
    }
    for (int i = 0; i < w->n_ops; i++) {
        ka_msg_op *op = reinterpret_cast<ka_msg_op *>(p);
        if (ka_value_to_op(&w->bins[i], w->op, nullptr, op) != 0) {
            KA_LOG_ERROR("do batch monte: batch compile failed: some kind of intermediate error");
            if (req != stack_req)
                free(req);
            return -1;
        }
        p += 4 + op->op_sz;
        ka_msg_swap_op(op);
    }
    *p = 0;

    int fd = ka_cluster_node_fd_get(w->my_node, false, w->asc->nbconnect.load());
    if (fd < 0) {
        if (req != stack_req)
            free(req);
        return -1;
    }
    const uint32_t silence = g_silence_ms.load();
    int rc = batch_transfer(fd, req, msg_sz, true, silence);
    if (req != stack_req)
        free(req);
    if (rc != 0) {
        KA_LOG_ERROR("network error: errno %d fd %d", rc, fd);
        close(fd);
        return -1;
    }

    ka_bin bins[KA_BATCH_STACK_BINS];
    uint8_t scratch[KA_MSG_STACK_BUF_SZ];
    uint8_t body_stack[KA_MSG_STACK_BUF_SZ];
    ka_batch_reply st;
    memset(&st, 0, sizeof(st));
    st.ns = w->ns;
    st.exists_only = (w->info1 & KA_MSG_INFO1_NOBINDATA) != 0;
    st.cb = w->cb;
    st.udata = w->udata;
    st.bins = bins;
    st.bins_cap = KA_BATCH_STACK_BINS;
    st.scratch = scratch;
    st.scratch_cap = sizeof(scratch);
    for (;;) {
        uint8_t hdr[sizeof(ka_proto)];
        rc = batch_transfer(fd, hdr, sizeof(hdr), false, silence);
        if (rc != 0) {
            KA_LOG_ERROR("network error: errno %d fd %d", rc, fd);
            close(fd);
            return -1;
        }
        uint8_t type = 0;
        uint64_t sz = 0;
        if (ka_batch_check_proto(hdr, &type, &sz) != 0) {
            close(fd);
            return -1;
        }
        uint8_t *body = nullptr, *heap = nullptr;
        rc = read_body(fd, sz, body_stack, sizeof(body_stack), &body, &heap, silence);
        int pr = -1;
        if (rc == -1)
            KA_LOG_ERROR("batch reply: could not allocate %zu bytes", static_cast<size_t>(sz));
        else if (rc != 0)
            KA_LOG_ERROR("network error: errno %d fd %d", rc, fd);
        else
            pr = ka_batch_parse_message(&st, type, body, sz);
        free(heap);
        if (rc != 0) {
            close(fd);
            return -1;
        }
        if (pr < 0) {
            close(fd);
            return st.result;
        }
        if (pr == 1)
            break;
    }
    if (st.result != 0 || !st.last) {
        close(fd);
        return st.result != 0 ? st.result : -1;
    }
    w->my_node->intervals_unreachable = 0;
    ka_cluster_node_fd_put(w->my_node, fd, false);
    return 0;
}

// --- Reply parsing on bytes ---

int ka_batch_check_proto(const uint8_t *hdr, uint8_t *type, uint64_t *sz)
{
    if (hdr[0] != KA_PROTO_VERSION) {
        KA_LOG_ERROR("network error: received protocol message of wrong version %d", hdr[0]);
        return -1;
    }
    if (hdr[1] != KA_PROTO_TYPE_KA_MSG && hdr[1] != KA_PROTO_TYPE_KA_MSG_COMPRESSED) {
        KA_LOG_ERROR("network error: received incorrect message version %d", hdr[1]);
        return -1;
    }
    *type = hdr[1];
    *sz = ka_be_get(hdr + 2, 6);
    if (*sz > KA_MSG_MAX_BODY) {
        KA_LOG_ERROR("batch reply: protocol size %llu beyond %u", static_cast<unsigned long long>(*sz),
                     KA_MSG_MAX_BODY);
        return -1;
    }
    return 0;
}

int ka_batch_parse_message(ka_batch_reply *st, uint8_t type, uint8_t *body, size_t len)
{
    if (type == KA_PROTO_TYPE_KA_MSG_COMPRESSED)
        return inflate_and_walk(st, body, len);
    return walk_records(st, body, len);
}

int ka_batch_parse_reply(char *ns, bool exists_only, uint8_t *buf, size_t len, tamberlin_get_many_cb cb,
                         void *udata)
{
    ka_bin bins[KA_BATCH_STACK_BINS];
    uint8_t scratch[KA_MSG_STACK_BUF_SZ];
    ka_batch_reply st;
    memset(&st, 0, sizeof(st));
    st.ns = ns;
    st.exists_only = exists_only;
    st.cb = cb;
    st.udata = udata;
    st.bins = bins;
    st.bins_cap = KA_BATCH_STACK_BINS;
    st.scratch = scratch;
    st.scratch_cap = sizeof(scratch);
    size_t off = 0;
    for (;;) {
        if (len - off < sizeof(ka_proto))
            return -1; // ended before the reply was complete
        uint8_t type = 0;
        uint64_t sz = 0;
        if (ka_batch_check_proto(buf + off, &type, &sz) != 0 || sz > len - off - sizeof(ka_proto))
            return -1;
        int pr = ka_batch_parse_message(&st, type, buf + off + sizeof(ka_proto), sz);
        off += sizeof(ka_proto) + sz;
        if (pr < 0)
            return st.result;
        if (pr == 1)
            return st.result;
    }
}

// --- Calls ---

int do_get_exists_many_digest(ka_cluster *asc, char *ns, const ox_digest *digests, int n_digests, ka_bin *bins,
                              int n_bins, bool get_key, tamberlin_get_many_cb cb, void *udata, int info1)
{
    if (!ka::g_initialized)
        return -1;
    if (!asc || !ns || n_digests < 0 || (n_digests > 0 && !digests) || n_bins < 0 || n_bins > 0xFFFF ||
        (n_bins > 0 && !bins))
        return -1;
    if (strlen(ns) >= KA_BATCH_NAME_SZ) {
        KA_LOG_ERROR("batch: namespace name of %zu characters", strlen(ns));
        return -1;
    }
    if (n_digests == 0)
        return 0;
    // The workers are started before the call counts as under way: a stop
    // holds batch_init_lock while it waits for the calls under way, so a
    // counted call must never wait for that lock. A stop that comes between
    // the start and the count is seen after the count, and the start is
    // made again.
    for (int tries = 0;; tries++) {
        if (tries == 3 || (!batch_started() && tamberlin_batch_init(KA_BATCH_MAX_THREADS) != 0))
            return -1;
        if (!batch_enter())
            return -1;
        if (batch_started())
            break;
        batch_leave();
    }
    int rv = batch_call(asc, ns, digests, n_digests, bins, n_bins, get_key, cb, udata, info1);
    batch_leave();
    return rv;
}

int tamberlin_get_many_digest(ka_cluster *asc, char *ns, const ox_digest *digests, int n_digests, ka_bin *bins,
                              int n_bins, bool get_key, tamberlin_get_many_cb cb, void *udata)
{
    return do_get_exists_many_digest(asc, ns, digests, n_digests, bins, n_bins, get_key, cb, udata,
                                     KA_MSG_INFO1_READ);
}

int tamberlin_exists_many_digest(ka_cluster *asc, char *ns, const ox_digest *digests, int n_digests,
                                 ka_bin *bins, int n_bins, bool get_key, tamberlin_get_many_cb cb, void *udata)
{
    return do_get_exists_many_digest(asc, ns, digests, n_digests, bins, n_bins, get_key, cb, udata,
                                     KA_MSG_INFO1_READ | KA_MSG_INFO1_NOBINDATA);
}

// --- Direct variant ---

int direct_batchget_cb(char *, ox_digest *keyd, char *, uint32_t generation, uint32_t record_voidtime,
                       ka_bin *bins, int n_bins, bool, void *udata)
{
    ka_batchresult *br = static_cast<ka_batchresult *>(udata);
    pthread_mutex_lock(&br->lock);
    int slot = br->numrecs < br->maxrecs ? br->numrecs++ : -1;
    pthread_mutex_unlock(&br->lock);
    if (slot >= 0) {
        ka_rec *r = &br->records[slot];
        r->digest = *keyd;
        r->generation = generation;
        r->record_voidtime = record_voidtime;
        r->bins = nullptr;
        r->n_bins = 0;
        if (tamberlin_copy_bins(&r->bins, bins, n_bins) == 0) {
            r->n_bins = n_bins;
        } else {
            char text[2 * OX_DIGEST_SZ + 3];
            ka::ox_digest_string(keyd, text);
            KA_LOG_WARN("Failed to copy bin(s) for record digest %s", text);
        }
    }
    tamberlin_bins_free(bins, n_bins);
    return 0;
}

int tamberlin_get_many_digest_direct(ka_cluster *asc, char *ns, const ox_digest *digests, int n_digests,
                                     ka_batchresult **br)
{
    if (!br || n_digests < 0)
        return -1;
    ka_batchresult *res = static_cast<ka_batchresult *>(calloc(1, sizeof(ka_batchresult)));
    if (!res)
        return -1;
    res->records = static_cast<ka_rec *>(calloc(n_digests > 0 ? static_cast<size_t>(n_digests) : 1, sizeof(ka_rec)));
    if (!res->records) {
        free(res);
        return -1;
    }
    res->maxrecs = n_digests;
    pthread_mutex_init(&res->lock, nullptr);
    int rv = tamberlin_get_many_digest(asc, ns, digests, n_digests, nullptr, 0, true, direct_batchget_cb, res);
    pthread_mutex_destroy(&res->lock);
    if (rv == -1) {
        tamberlin_free_batchresult(res);
        return -1;
    }
    *br = res;
    return 0;
}

void tamberlin_free_batchresult(ka_batchresult *br)
{
    if (!br)
        return;
    if (br->records) {
        for (int i = 0; i < br->numrecs; i++) {
            tamberlin_bins_free(br->records[i].bins, br->records[i].n_bins);
            free(br->records[i].bins);
        }
        free(br->records);
    }
    free(br);
}
