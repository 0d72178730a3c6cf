// The stand-in database node. One accept thread hands each connection to a
// thread of its own, which serves requests in sequence until the peer closes,
// a fault ends the connection, or the node stops. A stop is signalled through
// an eventfd that every wait polls beside its socket, so no thread sleeps
// through it.
#include "testkit/fake_node.h"
#include "fake_node_batch.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <zlib.h>

namespace {

const uint64_t kMaxMessage = 64u * 1024 * 1024;
const uint32_t kEpoch2010 = 1262304000;

uint64_t be_get(const uint8_t *p, int n)
{
    uint64_t v = 0;
    for (int i = 0; i < n; i++)
        v = (v << 8) | p[i];
    return v;
}

void be_append(std::string *s, uint64_t v, int n)
{
    for (int i = n - 1; i >= 0; i--)
        s->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void be_set(std::string *s, size_t off, uint64_t v, int n)
{
    for (int i = n - 1; i >= 0; i--, v >>= 8)
        (*s)[off + static_cast<size_t>(i)] = static_cast<char>(v & 0xFF);
}

struct parsed_field {
    uint8_t type;
    std::string data;
};

struct parsed_op {
    uint8_t op;
    uint8_t particle_type;
    std::string name;
    std::string value;
};

struct parsed_msg {
    uint8_t info1 = 0, info2 = 0, info3 = 0;
    uint32_t generation = 0, record_ttl = 0, transaction_ttl = 0;
    std::vector<parsed_field> fields;
    std::vector<parsed_op> ops;
};

// Walks a whole database message (protocol header included) with every size
// checked against the bytes present.
bool parse_message(const std::string &m, parsed_msg *out)
{
    const uint8_t *b = reinterpret_cast<const uint8_t *>(m.data());
    if (m.size() < 30 || b[1] != 3 || be_get(b + 2, 6) != m.size() - 8 || b[8] != 22)
        return false;
    out->info1 = b[9];
    out->info2 = b[10];
    out->info3 = b[11];
    out->generation = static_cast<uint32_t>(be_get(b + 14, 4));
    out->record_ttl = static_cast<uint32_t>(be_get(b + 18, 4));
    out->transaction_ttl = static_cast<uint32_t>(be_get(b + 22, 4));
    size_t n_fields = be_get(b + 26, 2), n_ops = be_get(b + 28, 2);
    size_t p = 30;
    for (size_t i = 0; i < n_fields; i++) {
        if (m.size() - p < 5)
            return false;
        uint64_t fsz = be_get(b + p, 4);
        if (fsz < 1 || fsz > m.size() - p - 4)
            return false;
        out->fields.push_back({b[p + 4], m.substr(p + 5, fsz - 1)});
        p += 4 + fsz;
    }
    for (size_t i = 0; i < n_ops; i++) {
        if (m.size() - p < 8)
            return false;
        uint64_t osz = be_get(b + p, 4);
        uint8_t name_sz = b[p + 7];
        if (osz < 4u + name_sz || osz > m.size() - p - 4)
            return false;
        out->ops.push_back({b[p + 4], b[p + 5], m.substr(p + 8, name_sz), m.substr(p + 8 + name_sz, osz - 4 - name_sz)});
        p += 4 + osz;
    }
    // Only zero bytes may follow (a digest field's size counts one more byte).
    for (; p < m.size(); p++)
        if (b[p] != 0)
            return false;
    return true;
}

std::string ripemd160(const std::string &data)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), md, &len, EVP_ripemd160(), nullptr);
    return std::string(reinterpret_cast<char *>(md), len);
}

std::string build_reply(int result, uint32_t generation, uint32_t void_time, const std::string *set,
                        const std::vector<fake_bin_value> &bins)
{
    std::string r;
    r.push_back(2);
    r.push_back(3);
    be_append(&r, 0, 6); // size, set below
    r.push_back(22);
    r.append(4, '\0'); // info1..3, unused
    r.push_back(static_cast<char>(result));
    be_append(&r, generation, 4);
    be_append(&r, void_time, 4);
    be_append(&r, 0, 4);
    be_append(&r, set ? 1 : 0, 2);
    be_append(&r, bins.size(), 2);
    if (set) {
        be_append(&r, set->size() + 1, 4);
        r.push_back(1);
        r += *set;
    }
    for (const auto &bv : bins) {
        be_append(&r, 4 + bv.name.size() + bv.value.size(), 4);
        r.push_back(1);
        r.push_back(static_cast<char>(bv.type));
        r.push_back(0);
        r.push_back(static_cast<char>(bv.name.size()));
        r += bv.name;
        r += bv.value;
    }
    be_set(&r, 2, r.size() - 8, 6);
    return r;
}

std::string compress_message(const std::string &m, uint64_t org_sz)
{
    uLongf cap = compressBound(static_cast<uLong>(m.size()));
    std::string z(cap, '\0');
    compress2(reinterpret_cast<Bytef *>(&z[0]), &cap, reinterpret_cast<const Bytef *>(m.data()),
              static_cast<uLong>(m.size()), Z_DEFAULT_COMPRESSION);
    z.resize(cap);
    std::string r;
    r.push_back(2);
    r.push_back(4);
    be_append(&r, z.size() + 8, 6);
    r.append(reinterpret_cast<const char *>(&org_sz), 8);
    r += z;
    return r;
}

// A reply that breaks one rule of the framing; the good reply is its base.
std::string malformed_reply(fake_bad_reply bad, const std::string &good)
{
    std::string r = good;
    std::vector<fake_bin_value> one = {{"b", 1, std::string("\0\0\0\0\0\0\0\x07", 8)}};
    switch (bad) {
    case FAKE_BAD_SIZE_PAST_END:
        be_set(&r, 2, be_get(reinterpret_cast<const uint8_t *>(r.data()) + 2, 6) + 100, 6);
        return r;
    case FAKE_BAD_HEADER_SZ:
        r[8] = 30;
        return r;
    case FAKE_BAD_PROTO_BELOW_HEADER:
        be_set(&r, 2, 10, 6);
        return r.substr(0, 18);
    case FAKE_BAD_HUGE_SIZE:
        be_set(&r, 2, 0xFFFFFFFFFFFFull, 6);
        return r;
    case FAKE_BAD_FIELD_PAST_BODY: {
        std::string set = "s";
        r = build_reply(0, 1, 0, &set, one);
        be_set(&r, 30, 1000, 4);
        return r;
    }
    case FAKE_BAD_FIELD_COUNT:
        r = build_reply(0, 1, 0, nullptr, {});
        be_set(&r, 26, 1000, 2);
        return r;
    case FAKE_BAD_OP_PAST_BODY:
        r = build_reply(0, 1, 0, nullptr, one);
        be_set(&r, 30, 1000, 4);
        return r;
    case FAKE_BAD_OP_COUNT:
        r = build_reply(0, 1, 0, nullptr, one);
        be_set(&r, 28, 65535, 2);
        return r;
    case FAKE_BAD_NEGATIVE_VALUE_LEN:
        r = build_reply(0, 1, 0, nullptr, one);
        be_set(&r, 30, 2, 4);
        return r;
    case FAKE_BAD_BIN_NAME_32:
        return build_reply(0, 1, 0, nullptr, {{std::string(32, 'n'), 1, std::string(8, '\0')}});
    case FAKE_BAD_PARTICLE_TYPE:
        return build_reply(0, 1, 0, nullptr, {{"b", 99, "xyz"}});
    case FAKE_BAD_INT_TOO_LONG:
        return build_reply(0, 1, 0, nullptr, {{"b", 1, std::string(9, '\1')}});
    case FAKE_BAD_SHORT_COMPRESSED: {
        std::string c = compress_message(good, good.size());
        c.resize(16 + (c.size() - 16) / 2);
        be_set(&c, 2, c.size() - 8, 6);
        return c;
    }
    case FAKE_BAD_COMPRESSED_HUGE_ORG:
        return compress_message(good, uint64_t(1) << 40);
    case FAKE_BAD_COMPRESSED_ORG_SZ:
        return compress_message(good, good.size() + 10);
    case FAKE_BAD_COUNT_:
        break;
    }
    return r;
}

} // namespace

struct fake_node {
    int listen_fd = -1;
    int stop_fd = -1;
    int port = 0;
    std::thread acceptor;

    std::mutex lock; // guards everything below
    std::condition_variable changed;
    int live_conns = 0; // connection threads (detached) not yet ended
    std::vector<int> conn_fds;
    std::map<std::string, std::string> info;
    fake_info_fn info_fn = nullptr;
    void *info_udata = nullptr;
    fake_info_raw_fn info_raw_fn = nullptr;
    void *info_raw_udata = nullptr;
    fake_fault fault;
    bool compress_replies = false;
    fake_batch_opts batch_opts;
    std::map<std::string, fake_record> store; // key: namespace, NUL, digest
    std::vector<fake_request> requests;
    int connections = 0;
    int peer_closes = 0;
    bool holding = false;            // the reply gate
    fake_req_kind hold_on = FAKE_REQ_ANY;
    int held = 0;
    // Read without the lock on every request, so that a node under load
    // (the program in a benchmark) takes no lock for what nobody asked.
    std::atomic<bool> gate_armed{false};
    std::atomic<bool> recording{true};
    std::atomic<size_t> replies_sent{0};
    std::atomic<int> reply_waiters{0};
    std::atomic<int> silent_on{-1}; // the fake_req_kind left unanswered, -1: none
    std::atomic<size_t> writes{0};
    std::atomic<size_t> deletes{0};
};

namespace {

// Waits until fd is ready for `events` or the node stops. False on stop.
bool wait_fd(fake_node *n, int fd, short events, int timeout_ms)
{
    struct pollfd p[2] = {{fd, events, 0}, {n->stop_fd, POLLIN, 0}};
    for (;;) {
        int r = poll(p, 2, timeout_ms);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 || (p[1].revents & POLLIN))
            return false;
        return true;
    }
}

// Sleeps ms, or less when the node stops. False on stop.
bool pause_ms(fake_node *n, int ms)
{
    struct pollfd p = {n->stop_fd, POLLIN, 0};
    return poll(&p, 1, ms) == 0;
}

// 1: all read; 0: the peer closed before the first byte; -1: stop, error or short.
int read_full(fake_node *n, int fd, uint8_t *buf, size_t len)
{
    size_t done = 0;
    while (done < len) {
        if (!wait_fd(n, fd, POLLIN, -1))
            return -1;
        ssize_t r = recv(fd, buf + done, len - done, 0);
        if (r == 0)
            return done == 0 ? 0 : -1;
        if (r < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return -1;
        }
        done += static_cast<size_t>(r);
    }
    return 1;
}

bool send_all(int fd, const char *p, size_t len)
{
    while (len) {
        ssize_t w = send(fd, p, len, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        len -= static_cast<size_t>(w);
    }
    return true;
}

std::string store_key(const std::string &ns, const std::string &digest)
{
    return ns + std::string(1, '\0') + digest;
}

uint32_t now_since_2010()
{
    return static_cast<uint32_t>(time(nullptr) - kEpoch2010);
}

// Serves one database message; returns the reply. Called with no lock held.
std::string serve_message(fake_node *n, const parsed_msg &m)
{
    std::string ns, set, key, digest;
    bool has_set = false, has_key = false;
    for (const auto &f : m.fields) {
        if (f.type == 0)
            ns = f.data;
        else if (f.type == 1) {
            set = f.data;
            has_set = true;
        } else if (f.type == 2) {
            key = f.data;
            has_key = true;
        } else if (f.type == 4)
            digest = f.data;
    }
    if (digest.empty() && has_key)
        digest = ripemd160(set + key);
    if (digest.size() != 20)
        return build_reply(4, 0, 0, nullptr, {});

    std::lock_guard<std::mutex> g(n->lock);
    auto it = n->store.find(store_key(ns, digest));
    if (m.info2 & 0x01) { // write
        if (m.info2 & 0x02) {
            if (it == n->store.end())
                return build_reply(2, 0, 0, nullptr, {});
            n->store.erase(it);
            return build_reply(0, 0, 0, nullptr, {});
        }
        bool exists = it != n->store.end();
        if (exists && (m.info2 & 0x20))
            return build_reply(5, it->second.generation, 0, nullptr, {});
        if (exists && (m.info2 & 0x04) && m.generation != it->second.generation)
            return build_reply(3, it->second.generation, 0, nullptr, {});
        if (exists && (m.info2 & 0x08) && m.generation <= it->second.generation)
            return build_reply(3, it->second.generation, 0, nullptr, {});
        fake_record &r = n->store[store_key(ns, digest)];
        if (has_set)
            r.set = set;
        r.generation++;
        // 0xFFFFFFFF is "never expires", not a time far enough ahead to wrap.
        r.void_time = m.record_ttl && m.record_ttl != 0xFFFFFFFFu ? now_since_2010() + m.record_ttl : 0;
        for (const auto &op : m.ops) {
            if (op.op != 2)
                continue;
            auto b = r.bins.begin();
            while (b != r.bins.end() && b->name != op.name)
                ++b;
            if (op.particle_type == 0) {
                if (b != r.bins.end())
                    r.bins.erase(b);
            } else if (b != r.bins.end()) {
                b->type = op.particle_type;
                b->value = op.value;
            } else {
                r.bins.push_back({op.name, op.particle_type, op.value});
            }
        }
        return build_reply(0, r.generation, r.void_time, nullptr, {});
    }
    if (it == n->store.end())
        return build_reply(2, 0, 0, nullptr, {});
    const fake_record &r = it->second;
    std::vector<fake_bin_value> out;
    if (!(m.info1 & 0x20)) { // bin data asked for
        if (m.info1 & 0x02) {
            out = r.bins;
        } else {
            for (const auto &op : m.ops)
                for (const auto &b : r.bins)
                    if (b.name == op.name)
                        out.push_back(b);
        }
    }
    return build_reply(0, r.generation, r.void_time, (m.info1 & 0x10) ? &r.set : nullptr, out);
}

std::string serve_info(fake_node *n, const std::string &text)
{
    std::string body;
    fake_info_raw_fn raw_fn;
    void *raw_ud;
    {
        std::lock_guard<std::mutex> g(n->lock);
        raw_fn = n->info_raw_fn;
        raw_ud = n->info_raw_udata;
    }
    bool raw = raw_fn && raw_fn(raw_ud, text, &body);
    size_t start = raw ? text.size() : 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        std::string item = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        start = nl == std::string::npos ? text.size() : nl + 1;
        if (item.empty())
            continue;
        std::string value;
        bool found = false;
        fake_info_fn fn;
        void *ud;
        {
            std::lock_guard<std::mutex> g(n->lock);
            auto it = n->info.find(item);
            if (it != n->info.end()) {
                value = it->second;
                found = true;
            }
            fn = n->info_fn;
            ud = n->info_udata;
        }
        if (!found && fn)
            found = fn(ud, item, &value);
        if (found)
            body += item + "\t" + value + "\n";
    }
    std::string r;
    r.push_back(2);
    r.push_back(1);
    be_append(&r, body.size(), 6);
    return r + body;
}

// What a request is, for the aim of a fault.
struct request_aim {
    fake_req_kind kind = FAKE_REQ_ANY;
    std::string ns;
    std::vector<std::string> digests;
};

request_aim aim_of(const parsed_msg &m)
{
    request_aim a;
    bool batch = false;
    for (const auto &f : m.fields) {
        if (f.type == 0)
            a.ns = f.data;
        else if (f.type == 4)
            a.digests.push_back(f.data);
        else if (f.type == 6) {
            // A digest array: the digests back to back, nothing before them.
            batch = true;
            for (const std::string &d : fake_batch_digests(f.data))
                a.digests.push_back(d);
        }
    }
    if (batch)
        a.kind = FAKE_REQ_BATCH;
    else if (m.info2 & 0x02)
        a.kind = FAKE_REQ_DELETE;
    else if (m.info2 & 0x01)
        a.kind = FAKE_REQ_WRITE;
    else
        a.kind = FAKE_REQ_READ;
    return a;
}

bool aim_matches(const fake_fault &f, const request_aim &a)
{
    if (f.on == FAKE_REQ_DATABASE) {
        if (a.kind == FAKE_REQ_INFO)
            return false;
    } else if (f.on != FAKE_REQ_ANY && f.on != a.kind) {
        return false;
    }
    if (!f.ns.empty() && f.ns != a.ns)
        return false;
    if (!f.digest.empty()) {
        bool found = false;
        for (const auto &d : a.digests)
            found |= d == f.digest;
        if (!found)
            return false;
    }
    return true;
}

// Holds the connection without a word until the peer or the node goes.
void hold_silent(fake_node *n, int fd)
{
    while (wait_fd(n, fd, POLLIN, -1)) {
        char c;
        if (recv(fd, &c, 1, 0) <= 0)
            break;
    }
}

bool silenced(fake_node *n, const request_aim &a)
{
    int on = n->silent_on.load();
    if (on < 0)
        return false;
    fake_fault aim;
    aim.on = static_cast<fake_req_kind>(on);
    return aim_matches(aim, a);
}

// Takes one fault use for this request, if one is armed and aimed at it.
fake_fault take_fault(fake_node *n, const request_aim &a)
{
    std::lock_guard<std::mutex> g(n->lock);
    fake_fault f = n->fault;
    if (f.kind == FAKE_FAULT_NONE || f.count == 0 || !aim_matches(f, a))
        return fake_fault();
    if (n->fault.skip > 0) {
        n->fault.skip--;
        return fake_fault();
    }
    if (f.count > 0 && --n->fault.count == 0)
        n->fault.kind = FAKE_FAULT_NONE;
    return f;
}

void hard_reset(int fd)
{
    struct linger lg = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
}

// A write or delete reply carries the request's transaction-id field back,
// as a server does; mismatch echoes another id (1 for a request without one).
std::string echo_trid(const parsed_msg &m, const std::string &reply, bool mismatch)
{
    if (!(m.info2 & 0x01) || reply.size() < 30)
        return reply;
    const parsed_field *trid = nullptr;
    for (const auto &f : m.fields)
        if (f.type == 7 && f.data.size() == 8)
            trid = &f;
    if (!trid && !mismatch)
        return reply;
    uint64_t id = trid ? be_get(reinterpret_cast<const uint8_t *>(trid->data.data()), 8) : 0;
    if (mismatch)
        id = trid ? id ^ 1 : 1;
    std::string field;
    be_append(&field, 9, 4);
    field.push_back(7);
    be_append(&field, id, 8);
    std::string r = reply.substr(0, 30) + field + reply.substr(30);
    be_set(&r, 2, r.size() - 8, 6);
    be_set(&r, 26, be_get(reinterpret_cast<const uint8_t *>(r.data()) + 26, 2) + 1, 2);
    return r;
}

// Holds the reply at the gate while it is armed for this request. False when
// the node stops meanwhile.
bool pass_gate(fake_node *n, const request_aim &a)
{
    if (!n->gate_armed.load())
        return true;
    std::unique_lock<std::mutex> g(n->lock);
    fake_fault aim;
    aim.on = n->hold_on;
    if (!n->holding || a.kind == FAKE_REQ_ANY || !aim_matches(aim, a))
        return true;
    n->held++;
    n->changed.notify_all();
    bool live = true;
    while (n->holding && (live = pause_ms(n, 0)))
        n->changed.wait_for(g, std::chrono::milliseconds(10));
    n->held--;
    n->changed.notify_all();
    return live;
}

void count_reply(fake_node *n)
{
    n->replies_sent++;
    if (n->reply_waiters.load()) {
        std::lock_guard<std::mutex> g(n->lock);
        n->changed.notify_all();
    }
}

// A batch request is answered by fake_node_batch.cpp, through the node's
// store and this connection. Called with no lock held.
bool serve_batch(fake_node *n, int fd, const parsed_msg &m, const fake_fault &f)
{
    fake_batch_request rq;
    rq.info1 = m.info1;
    for (const auto &fl : m.fields) {
        if (fl.type == 0)
            rq.ns = fl.data;
        else if (fl.type == 6)
            rq.digest_array = fl.data;
    }
    for (const auto &op : m.ops)
        rq.bin_names.push_back(op.name);
    fake_batch_io io;
    {
        std::lock_guard<std::mutex> g(n->lock);
        io.opts = n->batch_opts;
        if (n->compress_replies && io.opts.compress == FAKE_BATCH_PLAIN)
            io.opts.compress = FAKE_BATCH_COMPRESSED_WITH_HEADER;
    }
    // The records of the whole batch are taken in one hold of the node's
    // lock, so that batch reads served on several connections at once do not
    // queue on it record by record; the reply shows the store as it was when
    // the request came.
    auto held = std::make_shared<std::unordered_map<std::string, fake_record>>();
    {
        std::lock_guard<std::mutex> g(n->lock);
        for (size_t off = 0; off + 20 <= rq.digest_array.size(); off += 20) {
            std::string d = rq.digest_array.substr(off, 20);
            auto it = n->store.find(store_key(rq.ns, d));
            if (it != n->store.end())
                held->emplace(std::move(d), it->second);
        }
    }
    io.lookup = [held, ns = rq.ns](const std::string &want_ns, const std::string &digest, fake_record *out) {
        if (want_ns != ns)
            return false;
        auto it = held->find(digest);
        if (it == held->end())
            return false;
        *out = it->second;
        return true;
    };
    io.send = [fd](const std::string &bytes) { return send_all(fd, bytes.data(), bytes.size()); };
    io.pause = [n](int ms) { return pause_ms(n, ms); };
    io.reset = [fd] { hard_reset(fd); };
    io.half_close = [fd] { shutdown(fd, SHUT_WR); };
    io.hold_until_close = [n, fd] {
        while (wait_fd(n, fd, POLLIN, -1)) {
            char c;
            if (recv(fd, &c, 1, 0) <= 0) {
                std::lock_guard<std::mutex> g(n->lock);
                n->peer_closes++;
                n->changed.notify_all();
                break;
            }
        }
    };
    // A batch reply without a fault is sent whole, like any other reply.
    bool served = fake_batch_serve(io, rq, f);
    if (served && f.kind == FAKE_FAULT_NONE)
        count_reply(n);
    return served;
}

// Serves one request. False ends the connection.
bool serve_one(fake_node *n, int fd, int conn_id)
{
    uint8_t head[8];
    int r = read_full(n, fd, head, 8);
    if (r <= 0) {
        if (r == 0) {
            std::lock_guard<std::mutex> g(n->lock);
            n->peer_closes++;
            n->changed.notify_all();
        }
        return false;
    }
    uint64_t sz = be_get(head + 2, 6);
    if (sz > kMaxMessage)
        return false;
    fake_request req;
    req.proto_type = head[1];
    req.conn_id = conn_id;
    req.raw.assign(reinterpret_cast<char *>(head), 8);
    req.raw.resize(8 + sz);
    if (sz && read_full(n, fd, reinterpret_cast<uint8_t *>(&req.raw[8]), sz) != 1)
        return false;

    // The store is changed before the request is recorded, and the request
    // recorded before any reply goes out: a test that saw the request finds
    // the store up to date, and a client that saw the reply finds it recorded.
    bool is_info = req.proto_type == 1;
    parsed_msg m;
    request_aim aim;
    if (is_info) {
        req.message = req.raw;
        aim.kind = FAKE_REQ_INFO;
    } else {
        req.message = req.raw;
        if (req.proto_type == 4) {
            // Inflate exactly org_sz bytes; a stream that yields another length is refused.
            uint64_t org_sz = 0;
            req.malformed = true;
            if (sz > 8) {
                memcpy(&org_sz, &req.raw[8], 8);
                if (org_sz >= 30 && org_sz <= kMaxMessage) {
                    std::string out(org_sz, '\0');
                    uLongf olen = static_cast<uLongf>(org_sz);
                    if (uncompress(reinterpret_cast<Bytef *>(&out[0]), &olen,
                                   reinterpret_cast<const Bytef *>(req.raw.data() + 16),
                                   static_cast<uLong>(sz - 8)) == Z_OK &&
                        olen == org_sz) {
                        req.message = out;
                        req.malformed = false;
                    }
                }
            }
        }
        if (!req.malformed && (req.proto_type == 3 || req.proto_type == 4) && parse_message(req.message, &m))
            aim = aim_of(m);
        else
            req.malformed = true;
    }
    std::string reply, served;
    if (is_info) {
        reply = serve_info(n, req.raw.substr(8));
    } else if (!req.malformed) {
        served = serve_message(n, m);
        reply = echo_trid(m, served, false);
        if (aim.kind == FAKE_REQ_WRITE)
            n->writes++;
        else if (aim.kind == FAKE_REQ_DELETE)
            n->deletes++;
    } else {
        reply = build_reply(4, 0, 0, nullptr, {});
    }
    req.kind = aim.kind;
    if (n->recording.load()) {
        std::lock_guard<std::mutex> g(n->lock);
        n->requests.push_back(req);
        n->changed.notify_all();
    }

    if (!is_info && !pass_gate(n, aim))
        return false;
    if (silenced(n, aim)) {
        hold_silent(n, fd);
        return false;
    }
    fake_fault f = take_fault(n, aim);
    if (!is_info && !req.malformed && aim.kind == FAKE_REQ_BATCH)
        return serve_batch(n, fd, m, f);
    switch (f.kind) {
    case FAKE_FAULT_NONE:
        break;
    case FAKE_FAULT_DELAY:
        if (!pause_ms(n, f.delay_ms))
            return false;
        break;
    case FAKE_FAULT_SILENT:
        hold_silent(n, fd);
        return false;
    case FAKE_FAULT_CLOSE_AFTER_REQUEST:
        return false;
    case FAKE_FAULT_CLOSE_MID_REPLY:
        send_all(fd, reply.data(), reply.size() / 2);
        return false;
    case FAKE_FAULT_RESET:
        hard_reset(fd);
        return false;
    case FAKE_FAULT_RESULT_CODE:
        if (!is_info)
            reply = build_reply(f.result_code, 0, 0, nullptr, {});
        break;
    case FAKE_FAULT_SPLIT: {
        size_t pieces = f.pieces > 0 ? static_cast<size_t>(f.pieces) : 1;
        size_t step = (reply.size() + pieces - 1) / pieces;
        for (size_t off = 0; off < reply.size(); off += step) {
            if (off && !pause_ms(n, f.pause_ms))
                return false;
            if (!send_all(fd, reply.data() + off, std::min(step, reply.size() - off)))
                return false;
        }
        return true;
    }
    case FAKE_FAULT_MALFORMED: {
        std::string bad = malformed_reply(f.bad, reply);
        send_all(fd, bad.data(), bad.size());
        if (f.bad == FAKE_BAD_SIZE_PAST_END)
            return false; // the promised bytes never come: the client sees the close
        // Wait for the client to give up on this connection, then count it.
        while (wait_fd(n, fd, POLLIN, -1)) {
            char c;
            if (recv(fd, &c, 1, 0) <= 0) {
                std::lock_guard<std::mutex> g(n->lock);
                n->peer_closes++;
                n->changed.notify_all();
                break;
            }
        }
        return false;
    }
    case FAKE_FAULT_TRID_MISMATCH:
        if (!is_info && !req.malformed)
            reply = echo_trid(m, served, true);
        break;
    case FAKE_FAULT_SPLIT_HEAD: {
        size_t pieces = f.pieces > 0 ? static_cast<size_t>(f.pieces) : 1;
        size_t head = std::min<size_t>(30, reply.size());
        size_t step = (head + pieces - 1) / pieces;
        for (size_t off = 0; off < reply.size(); off += step) {
            if (off && !pause_ms(n, f.pause_ms))
                return false;
            size_t len = off + step >= head ? reply.size() - off : step;
            if (!send_all(fd, reply.data() + off, len))
                return false;
            if (off + step >= head)
                break;
        }
        if (!is_info)
            count_reply(n);
        return true;
    }
    case FAKE_FAULT_RAW_REPLY:
        return send_all(fd, f.raw.data(), f.raw.size());
    case FAKE_FAULT_BATCH_MID_RESULT:
    case FAKE_FAULT_BATCH_NO_DIGEST:
    case FAKE_FAULT_BATCH_NO_NAMESPACE:
    case FAKE_FAULT_BATCH_OTHER_NAMESPACE:
    case FAKE_FAULT_BATCH_NO_SET:
    case FAKE_FAULT_BATCH_EXTRA_RECORD:
    case FAKE_FAULT_BATCH_SILENT_AFTER:
    case FAKE_FAULT_BATCH_MALFORMED:
        break; // batch requests only, served by serve_batch
    }
    bool compress;
    {
        std::lock_guard<std::mutex> g(n->lock);
        compress = n->compress_replies && !is_info;
    }
    if (compress)
        reply = compress_message(reply, reply.size());
    if (!send_all(fd, reply.data(), reply.size()))
        return false;
    if (!is_info)
        count_reply(n);
    return true;
}

void serve_connection(fake_node *n, int fd, int conn_id)
{
    while (serve_one(n, fd, conn_id)) {
    }
    // Connection threads are detached, so a node that a test leaves up keeps
    // no finished threads; destroy waits for the count to reach 0 instead.
    std::lock_guard<std::mutex> g(n->lock);
    for (auto &c : n->conn_fds)
        if (c == fd)
            c = -1;
    close(fd);
    n->live_conns--;
    n->changed.notify_all();
}

void accept_loop(fake_node *n)
{
    while (wait_fd(n, n->listen_fd, POLLIN, -1)) {
        int fd = accept(n->listen_fd, nullptr, nullptr);
        if (fd < 0)
            continue;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        std::lock_guard<std::mutex> g(n->lock);
        int id = ++n->connections;
        for (size_t i = 0; i < n->conn_fds.size();)
            if (n->conn_fds[i] == -1)
                n->conn_fds.erase(n->conn_fds.begin() + (long)i);
            else
                i++;
        n->conn_fds.push_back(fd);
        n->live_conns++;
        std::thread(serve_connection, n, fd, id).detach();
    }
}

} // namespace

fake_node *fake_node_create()
{
    return new fake_node();
}

int fake_node_start(fake_node *n, int port)
{
    n->stop_fd = eventfd(0, EFD_CLOEXEC);
    n->listen_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (n->stop_fd < 0 || n->listen_fd < 0)
        return -1;
    int one = 1;
    setsockopt(n->listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sa);
    if (bind(n->listen_fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa)) != 0 ||
        listen(n->listen_fd, 128) != 0 ||
        getsockname(n->listen_fd, reinterpret_cast<struct sockaddr *>(&sa), &len) != 0)
        return -1;
    n->port = ntohs(sa.sin_port);
    n->acceptor = std::thread(accept_loop, n);
    return 0;
}

int fake_node_port(const fake_node *n)
{
    return n->port;
}

void fake_node_destroy(fake_node *n)
{
    if (n->stop_fd >= 0) {
        uint64_t one = 1;
        (void)!write(n->stop_fd, &one, sizeof(one));
    }
    if (n->acceptor.joinable())
        n->acceptor.join();
    {
        std::unique_lock<std::mutex> g(n->lock);
        n->changed.wait(g, [n] { return n->live_conns == 0; });
    }
    if (n->listen_fd >= 0)
        close(n->listen_fd);
    if (n->stop_fd >= 0)
        close(n->stop_fd);
    delete n;
}

void fake_node_destroy_hard(fake_node *n)
{
    {
        std::lock_guard<std::mutex> g(n->lock);
        for (int fd : n->conn_fds)
            if (fd >= 0)
                hard_reset(fd);
    }
    fake_node_destroy(n);
}

void fake_node_set_info(fake_node *n, const std::string &item, const std::string &value)
{
    std::lock_guard<std::mutex> g(n->lock);
    n->info[item] = value;
}

void fake_node_set_info_handler(fake_node *n, fake_info_fn fn, void *udata)
{
    std::lock_guard<std::mutex> g(n->lock);
    n->info_fn = fn;
    n->info_udata = udata;
}

void fake_node_set_info_raw(fake_node *n, fake_info_raw_fn fn, void *udata)
{
    std::lock_guard<std::mutex> g(n->lock);
    n->info_raw_fn = fn;
    n->info_raw_udata = udata;
}

void fake_node_set_fault(fake_node *n, const fake_fault &f)
{
    std::lock_guard<std::mutex> g(n->lock);
    n->fault = f;
}

void fake_node_set_compress_replies(fake_node *n, bool on)
{
    std::lock_guard<std::mutex> g(n->lock);
    n->compress_replies = on;
}

void fake_node_set_batch_opts(fake_node *n, const fake_batch_opts &o)
{
    std::lock_guard<std::mutex> g(n->lock);
    n->batch_opts = o;
}

void fake_node_put_record(fake_node *n, const std::string &ns, const uint8_t digest[20], const fake_record &r)
{
    std::lock_guard<std::mutex> g(n->lock);
    n->store[store_key(ns, std::string(reinterpret_cast<const char *>(digest), 20))] = r;
}

bool fake_node_get_record(fake_node *n, const std::string &ns, const uint8_t digest[20], fake_record *out)
{
    std::lock_guard<std::mutex> g(n->lock);
    auto it = n->store.find(store_key(ns, std::string(reinterpret_cast<const char *>(digest), 20)));
    if (it == n->store.end())
        return false;
    *out = it->second;
    return true;
}

bool fake_node_remove_record(fake_node *n, const std::string &ns, const uint8_t digest[20])
{
    std::lock_guard<std::mutex> g(n->lock);
    return n->store.erase(store_key(ns, std::string(reinterpret_cast<const char *>(digest), 20))) == 1;
}

size_t fake_node_record_count(fake_node *n)
{
    std::lock_guard<std::mutex> g(n->lock);
    return n->store.size();
}

size_t fake_node_request_count(fake_node *n)
{
    std::lock_guard<std::mutex> g(n->lock);
    return n->requests.size();
}

bool fake_node_request(fake_node *n, size_t i, fake_request *out)
{
    std::lock_guard<std::mutex> g(n->lock);
    if (i >= n->requests.size())
        return false;
    *out = n->requests[i];
    return true;
}

bool fake_node_wait_requests(fake_node *n, size_t want, int timeout_ms)
{
    std::unique_lock<std::mutex> g(n->lock);
    return n->changed.wait_for(g, std::chrono::milliseconds(timeout_ms), [&] { return n->requests.size() >= want; });
}

int fake_node_connections(fake_node *n)
{
    std::lock_guard<std::mutex> g(n->lock);
    return n->connections;
}

int fake_node_peer_closes(fake_node *n)
{
    std::lock_guard<std::mutex> g(n->lock);
    return n->peer_closes;
}

bool fake_node_wait_peer_closes(fake_node *n, int want, int timeout_ms)
{
    std::unique_lock<std::mutex> g(n->lock);
    return n->changed.wait_for(g, std::chrono::milliseconds(timeout_ms), [&] { return n->peer_closes >= want; });
}

void fake_node_hold(fake_node *n, fake_req_kind on)
{
    std::lock_guard<std::mutex> g(n->lock);
    n->holding = true;
    n->hold_on = on;
    n->gate_armed = true;
}

void fake_node_release(fake_node *n)
{
    std::lock_guard<std::mutex> g(n->lock);
    n->holding = false;
    n->gate_armed = false;
    n->changed.notify_all();
}

int fake_node_held(fake_node *n)
{
    std::lock_guard<std::mutex> g(n->lock);
    return n->held;
}

bool fake_node_wait_held(fake_node *n, int want, int timeout_ms)
{
    std::unique_lock<std::mutex> g(n->lock);
    return n->changed.wait_for(g, std::chrono::milliseconds(timeout_ms), [&] { return n->held >= want; });
}

size_t fake_node_replies_sent(fake_node *n)
{
    return n->replies_sent.load();
}

bool fake_node_wait_replies_sent(fake_node *n, size_t want, int timeout_ms)
{
    std::unique_lock<std::mutex> g(n->lock);
    n->reply_waiters++;
    bool ok = n->changed.wait_for(g, std::chrono::milliseconds(timeout_ms),
                                  [&] { return n->replies_sent.load() >= want; });
    n->reply_waiters--;
    return ok;
}

void fake_node_set_recording(fake_node *n, bool on)
{
    n->recording = on;
}

void fake_node_set_silent(fake_node *n, bool on, fake_req_kind kind)
{
    n->silent_on = on ? static_cast<int>(kind) : -1;
}

size_t fake_node_write_count(fake_node *n)
{
    return n->writes.load();
}

size_t fake_node_delete_count(fake_node *n)
{
    return n->deletes.load();
}
