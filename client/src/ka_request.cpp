// The synchronous engine and the record calls (any thread).
//
// One call: compile into a stack buffer, then attempts until one gets a whole
// reply, the deadline passes or the write policy allows no other: node of the
// digest, pooled connection, send, read the reply through the codec's reply
// rules, take it apart. The connection is pooled again only after a whole,
// well-formed reply; after anything else it is closed, since the stream is out
// of step. A reply that breaks the rules ends the call with 1 at once:
// sending the same request again would most likely meet the same reply.
//
// The engine reads replies through its own wait rather than the socket
// layer's timed read, for two reasons: bytes already waiting are taken before
// the clock is looked at (a reply that arrived in time is not lost because
// this thread woke late), and without a deadline the attempt's 50 ms measure
// silence, not the whole transfer, so a large reply that keeps coming is read
// to its end instead of being asked for again and again.
#include "tamberlin/ka_request.h"

#include "ka_init_internal.h"
#include "tamberlin/ka_partition.h"
#include "tamberlin/ox_log.h"
#include "tamberlin/ox_socket.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using ka::ox_digest;

#ifndef TAMBERLIN_EPOCH
#define TAMBERLIN_EPOCH 1262304000
#endif

#define KA_REQUEST_IDLE_ATTEMPT_MS 50
#define KA_REQUEST_SPLIT_MS 700
#define KA_TTL_NEVER 0xFFFFFFFFu

static std::atomic<int> g_idle_attempt_ms{KA_REQUEST_IDLE_ATTEMPT_MS};
std::atomic<ka_request_sent_fn> ka_request_test_after_send{nullptr};

void ka_request_test_set_idle_attempt_ms(int ms)
{
    g_idle_attempt_ms = ms > 0 ? ms : KA_REQUEST_IDLE_ATTEMPT_MS;
}

int ka_request_times(const ka_write_parameters *wp, uint64_t now, int *attempt_ms, uint64_t *deadline)
{
    int t = wp ? wp->timeout_ms : 0;
    if (t < 0) {
        return -1;
    }
    if (t == 0) {
        *attempt_ms = g_idle_attempt_ms.load();
        *deadline = 0;
        return 0;
    }
    *attempt_ms = t <= KA_REQUEST_SPLIT_MS ? t : t / 2;
    *deadline = now + static_cast<uint64_t>(t);
    return 0;
}

namespace {

void sleep_ms(long ms)
{
    struct timespec ts = {0, ms * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// ---- reading a reply ------------------------------------------------------------

struct wait_ctx {
    int fd;
    uint64_t deadline; // 0: none
    int attempt_ms;
    bool restart_on_progress; // the attempt time measures silence
};

uint64_t attempt_end(const wait_ctx *c)
{
    uint64_t end = ka::ox_getms() + static_cast<uint64_t>(c->attempt_ms);
    if (c->deadline != 0 && c->deadline < end) {
        end = c->deadline;
    }
    return end;
}

// Fills len bytes: 0, 9 when the peer closed, 110 when the attempt ended, or
// the error of recv/poll. Never KA_REPLY_MALFORMED nor -1, which the reply
// reader gives a meaning of its own.
int wait_read(void *ctx, uint8_t *buf, size_t len)
{
    const wait_ctx *c = static_cast<const wait_ctx *>(ctx);
    uint64_t end = attempt_end(c);
    size_t done = 0;
    while (done < len) {
        ssize_t r = recv(c->fd, buf + done, len - done, MSG_DONTWAIT);
        if (r > 0) {
            done += static_cast<size_t>(r);
            if (c->restart_on_progress) {
                end = attempt_end(c);
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
            return errno == KA_REPLY_MALFORMED ? ECONNABORTED : errno;
        }
        uint64_t now = ka::ox_getms();
        if (now > end) {
            return ETIMEDOUT;
        }
        struct pollfd p = {c->fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(end - now)) < 0 && errno != EINTR) {
            return errno == KA_REPLY_MALFORMED ? ECONNABORTED : errno;
        }
    }
    return 0;
}

struct mem_ctx {
    const uint8_t *p;
    size_t left;
};

int mem_read(void *ctx, uint8_t *buf, size_t len)
{
    mem_ctx *c = static_cast<mem_ctx *>(ctx);
    if (len > c->left) {
        return EBADF; // as a peer that closed before the reply was whole
    }
    memcpy(buf, c->p, len);
    c->p += len;
    c->left -= len;
    return 0;
}

// Where a reply's values go; NULL pointers take nothing.
struct call_out {
    ka_bin **bins;
    ka_operation **operations;
    int *n_bins;
    uint32_t *generation;
    uint64_t *trid;
    char *setname;
    uint32_t *record_ttl;
};

uint32_t ttl_of(uint32_t void_time)
{
    if (void_time == 0) {
        return KA_TTL_NEVER;
    }
    int64_t now = static_cast<int64_t>(time(nullptr)) - TAMBERLIN_EPOCH;
    return static_cast<int64_t>(void_time) > now ? static_cast<uint32_t>(static_cast<int64_t>(void_time) - now) : 1;
}

// The parser freed whatever it had filled; what is left to empty is what the
// head gave and a new array's place.
void empty_outputs(const call_out &out)
{
    if (out.n_bins && *out.n_bins == 0) {
        if (out.bins) {
            *out.bins = nullptr;
        }
        if (out.operations) {
            *out.operations = nullptr;
        }
    }
    if (out.generation) {
        *out.generation = 0;
    }
    if (out.record_ttl) {
        *out.record_ttl = 0;
    }
    if (out.setname) {
        out.setname[0] = '\0';
    }
}

// 0 with *code: a whole reply taken apart into out. KA_REPLY_MALFORMED: it
// broke the codec's rules or did not parse (outputs emptied). -1: no memory.
// Otherwise the reader's code.
int take_reply(ka_reply_read_fn rd, void *ctx, uint8_t *stack_body, const call_out &out, int *code)
{
    qm_msg head = {};
    uint8_t *body = nullptr, *heap = nullptr;
    size_t body_len = 0;
    int rv = ka_read_reply_from(rd, ctx, &head, stack_body, KA_MSG_STACK_BUF_SZ, &body, &body_len, &heap);
    if (rv == -1) {
        uint64_t sz = head.proto.sz;
        size_t want = head.proto.type == KA_PROTO_TYPE_KA_MSG_COMPRESSED ? 8 + sz : sz - KA_MSG_HEADER_SZ;
        KA_LOG_ERROR("malloc fail: trying %zu", want);
        return -1;
    }
    if (rv != 0) {
        return rv;
    }
    if (out.generation) {
        *out.generation = head.m.generation;
    }
    if (out.record_ttl) {
        *out.record_ttl = ttl_of(head.m.record_ttl);
    }
    int prv = ka_parse(&head.m, body, body_len, out.bins, out.operations, out.n_bins, out.trid, out.setname);
    free(heap);
    if (prv != 0) {
        empty_outputs(out);
        return KA_REPLY_MALFORMED;
    }
    *code = head.m.result_code;
    return 0;
}

ka_bin *bin_at(ka_bin *bins, ka_operation *ops, int i)
{
    return bins ? &bins[i] : &ops[i].bin;
}

// A reply with more ops than the caller's array has entries made the parser
// return a new array: the values of the bins that the caller named move into
// its entries (the first entry of that name not yet filled), the others are
// freed with the new array.
void fold_values(ka_bin *dst_bins, ka_operation *dst_ops, int n_dst, ka_bin *src_bins, ka_operation *src_ops,
                 int n_src)
{
    std::vector<bool> filled(static_cast<size_t>(n_dst), false);
    for (int i = 0; i < n_src; i++) {
        ka_bin *s = bin_at(src_bins, src_ops, i);
        int k = 0;
        for (; k < n_dst; k++) {
            if (!filled[static_cast<size_t>(k)] &&
                strncmp(bin_at(dst_bins, dst_ops, k)->bin_name, s->bin_name, KA_BIN_NAME_SZ) == 0) {
                break;
            }
        }
        if (k < n_dst) {
            bin_at(dst_bins, dst_ops, k)->object = s->object;
            filled[static_cast<size_t>(k)] = true;
        } else {
            tamberlin_object_free(&s->object);
        }
    }
    free(src_bins);
    free(src_ops);
}

int full_monte(ka_cluster *asc, int info1, int info2, const char *ns, const char *set, const ka_object *key,
               const ox_digest *digest, ka_bin **bins, ka_operator op, ka_operation **operations, int *n_bins,
               uint32_t *generation, const ka_write_parameters *wp, uint64_t *trid, char *setname,
               uint32_t *record_ttl)
{
    if (!asc || !ns || !trid || (!key && !digest) || (wp && wp->timeout_ms < 0)) {
        return TAMBERLIN_FAIL_CLIENT;
    }
    const int n_given = n_bins ? *n_bins : 0;
    ka_bin *const given_bins = bins ? *bins : nullptr;
    ka_operation *const given_ops = operations ? *operations : nullptr;

    uint8_t req_stack[KA_MSG_STACK_BUF_SZ];
    uint8_t *req = req_stack;
    size_t req_sz = sizeof(req_stack);
    ox_digest d;
    if (ka_compile(info1, info2, 0, ns, set, key, digest, given_bins, op, given_ops, n_given, &req, &req_sz, wp, &d,
                   *trid, nullptr) != 0) {
        return TAMBERLIN_FAIL_CLIENT;
    }
    // The verify bit of a delete never reaches the server.
    if ((info2 & KA_MSG_INFO2_DELETE) && (info1 & KA_MSG_INFO1_VERIFY)) {
        req[9] = static_cast<uint8_t>(req[9] & ~KA_MSG_INFO1_VERIFY);
    }
    int attempt_ms = 0;
    uint64_t deadline = 0;
    ka_request_times(wp, ka::ox_getms(), &attempt_ms, &deadline);

    const bool retry = !wp || wp->w_pol == KA_WRITE_RETRY;
    const bool write = (info2 & KA_MSG_INFO2_WRITE) != 0;
    // A write's reply carries no values for the bins it sent (they are the
    // caller's, and may not be written to).
    const bool takes_values = (info1 & KA_MSG_INFO1_READ) != 0;
    const call_out out = {takes_values ? bins : nullptr,
                          takes_values ? operations : nullptr,
                          takes_values ? n_bins : nullptr,
                          generation,
                          trid,
                          setname,
                          record_ttl};
    uint8_t body_stack[KA_MSG_STACK_BUF_SZ];

    int result = TAMBERLIN_FAIL_CLIENT;
    bool parsed = false;
    for (int attempt = 1;; attempt++) {
        ka_cluster_node *cn = ka_cluster_node_get(asc, ns, &d, write);
        if (!cn) {
            sleep_ms(10);
        } else {
            int fd = ka_cluster_node_fd_get(cn, false, asc->nbconnect);
            if (fd < 0) {
                sleep_ms(1);
                ka_cluster_node_put(cn);
            } else {
                int code = 0;
                int rv = ka::ox_socket_write_timeout(fd, req, req_sz, deadline, attempt_ms);
                bool taken = false;
                if (rv == 0) {
                    ka_request_sent_fn hook = ka_request_test_after_send.load();
                    if (hook) {
                        hook(fd, deadline);
                    }
                    wait_ctx c = {fd, deadline, attempt_ms, deadline == 0};
                    rv = take_reply(wait_read, &c, body_stack, out, &code);
                    taken = true;
                }
                if (taken && rv == 0) {
                    parsed = true;
                    cn->intervals_unreachable = 0;
                    ka_cluster_node_fd_put(cn, fd, false);
                    ka_cluster_node_put(cn);
                    // A lost attempt may have deleted the record already.
                    bool redeleted = (info2 & KA_MSG_INFO2_DELETE) && attempt > 1 &&
                                     code == KA_PROTO_RESULT_FAIL_NOTFOUND;
                    result = redeleted ? TAMBERLIN_OK : code;
                    break;
                }
                close(fd);
                ka_cluster_node_put(cn);
                result = rv;
                if (taken && (rv == KA_REPLY_MALFORMED || rv == -1)) {
                    break;
                }
            }
        }
        // A failed attempt.
        if (deadline != 0 && ka::ox_getms() > deadline) {
            result = TAMBERLIN_FAIL_TIMEOUT;
            break;
        }
        if (!ka::g_initialized) {
            result = TAMBERLIN_FAIL_CLIENT;
            break;
        }
        if (!retry) {
            break; // with the socket code of the last attempt
        }
    }
    if (req != req_stack) {
        free(req);
    }
    // What the outputs hold comes from one parsed reply or from none.
    if (!parsed) {
        empty_outputs(out);
    }
    if (parsed && takes_values && n_given > 0) {
        if (given_bins && *bins != given_bins) {
            fold_values(given_bins, nullptr, n_given, *bins, nullptr, *n_bins);
            *bins = given_bins;
            *n_bins = n_given;
        } else if (!given_bins && given_ops && *operations != given_ops) {
            fold_values(nullptr, given_ops, n_given, nullptr, *operations, *n_bins);
            *operations = given_ops;
            *n_bins = n_given;
        }
    }
    return result;
}

} // namespace

int do_the_full_monte(ka_cluster *asc, int info1, int info2, const char *ns, const char *set, const ka_object *key,
                      const ox_digest *digest, ka_bin **bins, ka_operator op, ka_operation **operations,
                      int *n_bins, uint32_t *generation, const ka_write_parameters *wp, uint64_t *trid,
                      char *setname, uint32_t *record_ttl)
{
    if (!ka_sync_call_enter()) {
        return TAMBERLIN_FAIL_CLIENT;
    }
    int rv = full_monte(asc, info1, info2, ns, set, key, digest, bins, op, operations, n_bins, generation, wp, trid,
                        setname, record_ttl);
    ka_sync_call_leave();
    return rv;
}

int ka_request_parse_reply(const uint8_t *buf, size_t len, ka_bin **bins, int *n_bins, uint32_t *generation,
                           char *setname, uint32_t *record_ttl)
{
    if (!bins || !n_bins || *bins || *n_bins != 0) {
        return TAMBERLIN_FAIL_CLIENT;
    }
    mem_ctx c = {buf, len};
    uint8_t body_stack[KA_MSG_STACK_BUF_SZ];
    uint64_t trid = 0;
    const call_out out = {bins, nullptr, n_bins, generation, &trid, setname, record_ttl};
    int code = 0;
    int rv = take_reply(mem_read, &c, body_stack, out, &code);
    if (rv == 0) {
        return code;
    }
    if (rv == -1) {
        return TAMBERLIN_FAIL_CLIENT;
    }
    empty_outputs(out);
    return KA_REPLY_MALFORMED;
}

// ---- record calls -------------------------------------------------------------------

namespace {

// A read with the default parameters and the caller's timeout.
int read_call(ka_cluster *asc, int info1, const char *ns, const char *set, const ka_object *key,
              const ox_digest *digest, ka_bin **bins, int *n, int timeout_ms, uint32_t *generation, char *setname,
              uint32_t *record_ttl)
{
    ka_write_parameters wp;
    ka_write_parameters_set_default(&wp);
    wp.generation = 0;
    wp.timeout_ms = timeout_ms;
    uint64_t trid = 0;
    return do_the_full_monte(asc, info1, 0, ns, set, key, digest, bins, KA_OP_READ, nullptr, n, generation, &wp,
                             &trid, setname, record_ttl);
}

// Without bins nothing is read into the caller's (absent) array; a reply
// that carries values anyway leaves nothing behind.
int named_read(ka_cluster *asc, int info1, const char *ns, const char *set, const ka_object *key,
               const ox_digest *digest, ka_bin *bins, int n, int timeout_ms, uint32_t *generation)
{
    if (n < 0) {
        return TAMBERLIN_FAIL_CLIENT;
    }
    bool none = !bins || n == 0;
    return read_call(asc, info1, ns, set, key, digest, none ? nullptr : &bins, none ? nullptr : &n, timeout_ms,
                     generation, nullptr, nullptr);
}

int read_all(ka_cluster *asc, int info1, const char *ns, const char *set, const ka_object *key,
             const ox_digest *digest, ka_bin **bins, int *n_bins, int timeout_ms, uint32_t *generation,
             char *setname, uint32_t *record_ttl)
{
    if (!bins || !n_bins) {
        KA_LOG_ERROR("tamberlin_get_all: illegal parameters passed");
        return TAMBERLIN_FAIL_CLIENT;
    }
    if (!ka::g_initialized) {
        return TAMBERLIN_FAIL_CLIENT;
    }
    *bins = nullptr;
    *n_bins = 0;
    return read_call(asc, info1, ns, set, key, digest, bins, n_bins, timeout_ms, generation, setname, record_ttl);
}

// Writes send the caller's bins and take no values back, so the engine never
// writes through the pointer it is given here.
int write_call(ka_cluster *asc, int info1, int info2, const char *ns, const char *set, const ka_object *key,
               const ox_digest *digest, const ka_bin *bins, int n, const ka_write_parameters *wp)
{
    ka_bin *b = const_cast<ka_bin *>(bins);
    uint64_t trid = 0;
    return do_the_full_monte(asc, info1, info2, ns, set, key, digest, bins ? &b : nullptr, KA_OP_WRITE, nullptr,
                             bins ? &n : nullptr, nullptr, wp, &trid, nullptr, nullptr);
}

int operate_call(ka_cluster *asc, const char *ns, const char *set, const ka_object *key, const ox_digest *digest,
                 ka_operation *ops, int n, const ka_write_parameters *wp, int replace, uint32_t *generation)
{
    if (!ka::g_initialized) {
        return TAMBERLIN_FAIL_CLIENT;
    }
    if (replace != 0) {
        KA_LOG_ERROR("parameter 'replace' is deprecated");
        return TAMBERLIN_FAIL_CLIENT;
    }
    if (n < 0 || (n > 0 && !ops)) {
        return TAMBERLIN_FAIL_CLIENT;
    }
    int info1 = 0, info2 = 0;
    for (int i = 0; i < n; i++) {
        if (ops[i].op == KA_OP_READ) {
            info1 |= KA_MSG_INFO1_READ;
        } else if (ops[i].op == KA_OP_WRITE || (ops[i].op >= KA_OP_INCR && ops[i].op <= KA_OP_MC_TOUCH)) {
            info2 |= KA_MSG_INFO2_WRITE;
        }
    }
    uint64_t trid = 0;
    return do_the_full_monte(asc, info1, info2, ns, set, key, digest, nullptr, KA_OP_READ, &ops, &n, generation, wp,
                             &trid, nullptr, nullptr);
}

} // namespace

int tamberlin_get(ka_cluster *asc, const char *ns, const char *set, const ka_object *key, ka_bin *bins, int n,
                  int timeout_ms, uint32_t *generation)
{
    return named_read(asc, KA_MSG_INFO1_READ, ns, set, key, nullptr, bins, n, timeout_ms, generation);
}

int tamberlin_get_digest(ka_cluster *asc, const char *ns, const ox_digest *digest, ka_bin *bins, int n,
                         int timeout_ms, uint32_t *generation)
{
    return named_read(asc, KA_MSG_INFO1_READ, ns, nullptr, nullptr, digest, bins, n, timeout_ms, generation);
}

int tamberlin_exists_key(ka_cluster *asc, const char *ns, const char *set, const ka_object *key, ka_bin *bins,
                         int n, int timeout_ms, uint32_t *generation)
{
    return named_read(asc, KA_MSG_INFO1_READ | KA_MSG_INFO1_NOBINDATA, ns, set, key, nullptr, bins, n, timeout_ms,
                      generation);
}

int tamberlin_exists_digest(ka_cluster *asc, const char *ns, const ox_digest *digest, ka_bin *bins, int n,
                            int timeout_ms, uint32_t *generation)
{
    return named_read(asc, KA_MSG_INFO1_READ | KA_MSG_INFO1_NOBINDATA, ns, nullptr, nullptr, digest, bins, n,
                      timeout_ms, generation);
}

int tamberlin_verify(ka_cluster *asc, const char *ns, const char *set, const ka_object *key, ka_bin *bins, int n,
                     int timeout_ms, uint32_t *generation)
{
    return named_read(asc, KA_MSG_INFO1_READ | KA_MSG_INFO1_VERIFY, ns, set, key, nullptr, bins, n, timeout_ms,
                      generation);
}

int tamberlin_get_all(ka_cluster *asc, const char *ns, const char *set, const ka_object *key, ka_bin **bins,
                      int *n_bins, int timeout_ms, uint32_t *generation)
{
    return read_all(asc, KA_MSG_INFO1_READ | KA_MSG_INFO1_GET_ALL, ns, set, key, nullptr, bins, n_bins, timeout_ms,
                    generation, nullptr, nullptr);
}

int tamberlin_get_all_digest_getsetname(ka_cluster *asc, const char *ns, const ox_digest *digest, ka_bin **bins,
                                        int *n_bins, int timeout_ms, uint32_t *generation, char *setname,
                                        uint32_t *record_ttl)
{
    int info1 = KA_MSG_INFO1_READ | KA_MSG_INFO1_GET_ALL | (setname ? KA_MSG_INFO1_FERRY : 0);
    return read_all(asc, info1, ns, nullptr, nullptr, digest, bins, n_bins, timeout_ms, generation, setname,
                    record_ttl);
}

int tamberlin_get_all_digest(ka_cluster *asc, const char *ns, const ox_digest *digest, ka_bin **bins, int *n_bins,
                             int timeout_ms, uint32_t *generation)
{
    return tamberlin_get_all_digest_getsetname(asc, ns, digest, bins, n_bins, timeout_ms, generation, nullptr,
                                               nullptr);
}

int tamberlin_put(ka_cluster *asc, const char *ns, const char *set, const ka_object *key, const ka_bin *bins, int n,
                  const ka_write_parameters *wp)
{
    return write_call(asc, 0, KA_MSG_INFO2_WRITE, ns, set, key, nullptr, bins, n, wp);
}

int tamberlin_put_digest(ka_cluster *asc, const char *ns, const ox_digest *digest, const ka_bin *bins, int n,
                         const ka_write_parameters *wp)
{
    return write_call(asc, 0, KA_MSG_INFO2_WRITE, ns, nullptr, nullptr, digest, bins, n, wp);
}

int tamberlin_restore(ka_cluster *asc, const char *ns, const ox_digest *digest, const char *set,
                      const ka_bin *bins, int n, const ka_write_parameters *wp)
{
    return write_call(asc, 0, KA_MSG_INFO2_WRITE, ns, set, nullptr, digest, bins, n, wp);
}

int tamberlin_delete(ka_cluster *asc, const char *ns, const char *set, const ka_object *key,
                     const ka_write_parameters *wp)
{
    return write_call(asc, 0, KA_MSG_INFO2_WRITE | KA_MSG_INFO2_DELETE, ns, set, key, nullptr, nullptr, 0, wp);
}

int tamberlin_delete_digest(ka_cluster *asc, const char *ns, const ox_digest *digest, const ka_write_parameters *wp)
{
    return write_call(asc, 0, KA_MSG_INFO2_WRITE | KA_MSG_INFO2_DELETE, ns, nullptr, nullptr, digest, nullptr, 0,
                      wp);
}

int tamberlin_delete_verify(ka_cluster *asc, const char *ns, const char *set, const ka_object *key,
                            const ka_write_parameters *wp)
{
    return write_call(asc, KA_MSG_INFO1_VERIFY, KA_MSG_INFO2_WRITE | KA_MSG_INFO2_DELETE, ns, set, key, nullptr,
                      nullptr, 0, wp);
}

int tamberlin_operate(ka_cluster *asc, const char *ns, const char *set, const ka_object *key, ka_operation *ops,
                      int n, const ka_write_parameters *wp, int replace, uint32_t *generation)
{
    return operate_call(asc, ns, set, key, nullptr, ops, n, wp, replace, generation);
}

int tamberlin_operate_digest(ka_cluster *asc, const char *ns, const ox_digest *digest, ka_operation *ops, int n,
                             const ka_write_parameters *wp, int replace, uint32_t *generation)
{
    return operate_call(asc, ns, nullptr, nullptr, digest, ops, n, wp, replace, generation);
}
