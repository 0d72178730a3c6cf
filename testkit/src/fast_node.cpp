// The throughput stand-in. Each serving thread waits on an epoll set of its
// own that holds the shared listener (exclusive wake-ups, so one thread takes
// a new connection), the stop eventfd and the connections it accepted. A
// readable connection is read once into its buffer; every whole request in it
// is answered into one output buffer, written with one call. Output that the
// socket does not take at once waits for EPOLLOUT, and reading goes on.
#include "testkit/fast_node.h"
#include "fake_items.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <zlib.h>

namespace {

const uint64_t kMaxMessage = 64u * 1024 * 1024;
const size_t kReadChunk = 16 * 1024;
const int kShards = 64; // shard_of takes 6 bits of the digest's hash

uint64_t be_get(const uint8_t *p, int n)
{
    uint64_t v = 0;
    for (int i = 0; i < n; i++)
        v = (v << 8) | p[i];
    return v;
}

void be_put(uint8_t *p, uint64_t v, int n)
{
    for (int i = n - 1; i >= 0; i--, v >>= 8)
        p[i] = static_cast<uint8_t>(v & 0xFF);
}

struct digest_key {
    uint8_t b[20];
    bool operator==(const digest_key &o) const { return memcmp(b, o.b, 20) == 0; }
};

// Every byte counts: a test's or a bench's digests may differ in a few
// bytes only, anywhere in the 20.
uint64_t digest_mix(const uint8_t *d)
{
    uint64_t a, b;
    uint32_t c;
    memcpy(&a, d, 8);
    memcpy(&b, d + 8, 8);
    memcpy(&c, d + 16, 4);
    uint64_t h = a * 0x9E3779B97F4A7C15ull ^ b * 0xC2B2AE3D27D4EB4Full ^ c * 0x165667B19E3779F9ull;
    return h ^ (h >> 29);
}

struct digest_hash {
    size_t operator()(const digest_key &k) const { return static_cast<size_t>(digest_mix(k.b)); }
};

struct shard {
    std::mutex lock;
    std::unordered_map<digest_key, fast_node_counts, digest_hash> counts;
    size_t live = 0;
};

struct conn {
    int fd = -1;
    std::vector<uint8_t> in;
    size_t have = 0;
    std::string out;
    size_t out_off = 0;
    bool want_out = false;
};

} // namespace

struct fast_node {
    fast_node_cfg cfg;
    int listen_fd = -1;
    int stop_fd = -1;
    int port = 0;
    std::vector<std::thread> threads;
    std::vector<std::string> info_names, info_values;
    shard shards[kShards];
    std::atomic<uint64_t> writes{0}, deletes{0}, malformed{0}, connections{0};
};

namespace {

shard &shard_of(fast_node *n, const uint8_t *digest)
{
    return n->shards[digest_mix(digest) >> 58]; // the top 6 bits: kShards is 64
}

void info_reply(fast_node *n, const uint8_t *body, size_t len, std::string *out)
{
    std::string text(reinterpret_cast<const char *>(body), len), r;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        std::string item = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        start = nl == std::string::npos ? text.size() : nl + 1;
        for (size_t i = 0; i < n->info_names.size(); i++)
            if (n->info_names[i] == item)
                r += item + "\t" + n->info_values[i] + "\n";
    }
    uint8_t head[8] = {2, 1};
    be_put(head + 2, r.size(), 6);
    out->append(reinterpret_cast<char *>(head), 8);
    *out += r;
}

// A reply of result code `result` with the transaction-id field when trid.
void db_reply(int result, uint32_t generation, const uint8_t *trid, std::string *out)
{
    uint8_t r[43] = {2, 3};
    size_t len = trid ? 43 : 30;
    be_put(r + 2, len - 8, 6);
    r[8] = 22;
    r[13] = static_cast<uint8_t>(result);
    be_put(r + 14, generation, 4);
    if (trid) {
        be_put(r + 26, 1, 2);
        be_put(r + 30, 9, 4);
        r[34] = 7;
        memcpy(r + 35, trid, 8);
    }
    out->append(reinterpret_cast<char *>(r), len);
}

// Answers one database message (protocol header included); false when it
// does not parse.
bool db_serve(fast_node *n, const uint8_t *m, size_t len, std::string *out)
{
    if (len < 30 || m[8] != 22)
        return false;
    uint8_t info2 = m[10];
    size_t n_fields = be_get(m + 26, 2), n_ops = be_get(m + 28, 2);
    size_t p = 30;
    const uint8_t *digest = nullptr, *trid = nullptr;
    for (size_t i = 0; i < n_fields; i++) {
        if (len - p < 5)
            return false;
        uint64_t fsz = be_get(m + p, 4);
        if (fsz < 1 || fsz > len - p - 4)
            return false;
        uint8_t type = m[p + 4];
        if (type == 4 && fsz == 21)
            digest = m + p + 5;
        else if (type == 7 && fsz == 9)
            trid = m + p + 5;
        p += 4 + fsz;
    }
    size_t ops_start = p;
    for (size_t i = 0; i < n_ops; i++) {
        if (len - p < 8)
            return false;
        uint64_t osz = be_get(m + p, 4);
        if (osz < 4u + m[p + 7] || osz > len - p - 4)
            return false;
        p += 4 + osz;
    }
    if (!(info2 & 0x01)) {
        db_reply(2, 0, nullptr, out); // reads: nothing is kept to read
        return true;
    }
    if (!digest)
        return false;
    bool del = info2 & 0x02;
    uint32_t generation;
    {
        shard &s = shard_of(n, digest);
        digest_key k;
        memcpy(k.b, digest, 20);
        std::lock_guard<std::mutex> g(s.lock);
        fast_node_counts &c = s.counts[k];
        if (del) {
            c.deletes++;
            if (c.live)
                s.live--;
            c.live = false;
            c.ops.clear();
        } else {
            c.writes++;
            if (!c.live)
                s.live++;
            c.live = true;
            if (n->cfg.keep_records)
                c.ops.assign(reinterpret_cast<const char *>(m + ops_start), p - ops_start);
        }
        generation = static_cast<uint32_t>(c.writes);
    }
    (del ? n->deletes : n->writes).fetch_add(1, std::memory_order_relaxed);
    db_reply(0, del ? 0 : generation, trid, out);
    return true;
}

// Answers every whole request in the buffer; false ends the connection.
bool serve_buffer(fast_node *n, conn *c)
{
    size_t off = 0;
    bool ok = true;
    while (c->have - off >= 8) {
        const uint8_t *h = c->in.data() + off;
        uint64_t sz = be_get(h + 2, 6);
        if (h[0] != 2 || sz > kMaxMessage) {
            ok = false;
            break;
        }
        if (c->have - off < 8 + sz) {
            if (c->in.size() < 8 + sz) { // room for the whole message
                memmove(c->in.data(), h, c->have - off);
                c->have -= off;
                off = 0;
                c->in.resize(8 + sz);
            }
            break;
        }
        bool served;
        if (h[1] == 1) {
            info_reply(n, h + 8, sz, &c->out);
            served = true;
        } else if (h[1] == 3) {
            served = db_serve(n, h, 8 + sz, &c->out);
        } else if (h[1] == 4 && sz > 8) {
            uint64_t org = 0;
            memcpy(&org, h + 8, 8);
            served = false;
            if (org >= 30 && org <= kMaxMessage) {
                std::vector<uint8_t> m(org);
                uLongf olen = static_cast<uLongf>(org);
                served = uncompress(m.data(), &olen, h + 16, static_cast<uLong>(sz - 8)) == Z_OK && olen == org &&
                         db_serve(n, m.data(), org, &c->out);
            }
        } else {
            served = false;
        }
        off += 8 + sz;
        if (!served) {
            n->malformed.fetch_add(1, std::memory_order_relaxed);
            db_reply(4, 0, nullptr, &c->out);
            ok = false;
            break;
        }
    }
    if (off) {
        memmove(c->in.data(), c->in.data() + off, c->have - off);
        c->have -= off;
    }
    return ok;
}

// Writes what the socket takes; false on an error.
bool flush_out(conn *c)
{
    while (c->out_off < c->out.size()) {
        ssize_t w = send(c->fd, c->out.data() + c->out_off, c->out.size() - c->out_off, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno == EAGAIN)
            return true;
        if (w <= 0)
            return false;
        c->out_off += static_cast<size_t>(w);
    }
    c->out.clear();
    c->out_off = 0;
    return true;
}

void set_interest(int ep, conn *c)
{
    bool want = c->out_off < c->out.size();
    if (want == c->want_out)
        return;
    c->want_out = want;
    epoll_event ev = {};
    ev.events = want ? (EPOLLIN | EPOLLOUT) : EPOLLIN;
    ev.data.ptr = c;
    epoll_ctl(ep, EPOLL_CTL_MOD, c->fd, &ev);
}

void close_conn(int ep, conn *c, std::vector<conn *> *mine)
{
    epoll_ctl(ep, EPOLL_CTL_DEL, c->fd, nullptr);
    close(c->fd);
    for (auto &x : *mine)
        if (x == c) {
            x = mine->back();
            mine->pop_back();
            break;
        }
    delete c;
}

void serve_thread(fast_node *n)
{
    int ep = epoll_create1(EPOLL_CLOEXEC);
    std::vector<conn *> mine;
    epoll_event ev = {};
    ev.events = EPOLLIN | EPOLLEXCLUSIVE;
    ev.data.ptr = &n->listen_fd;
    epoll_ctl(ep, EPOLL_CTL_ADD, n->listen_fd, &ev);
    ev.events = EPOLLIN;
    ev.data.ptr = &n->stop_fd;
    epoll_ctl(ep, EPOLL_CTL_ADD, n->stop_fd, &ev);
    epoll_event evs[64];
    bool running = ep >= 0;
    while (running) {
        int k = epoll_wait(ep, evs, 64, -1);
        if (k < 0 && errno == EINTR)
            continue;
        if (k < 0)
            break;
        for (int i = 0; i < k; i++) {
            void *p = evs[i].data.ptr;
            if (p == &n->stop_fd) {
                running = false;
                continue;
            }
            if (p == &n->listen_fd) {
                int fd;
                while ((fd = accept4(n->listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
                    int one = 1;
                    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
                    conn *c = new conn;
                    c->fd = fd;
                    c->in.resize(kReadChunk);
                    epoll_event cev = {};
                    cev.events = EPOLLIN;
                    cev.data.ptr = c;
                    epoll_ctl(ep, EPOLL_CTL_ADD, fd, &cev);
                    mine.push_back(c);
                    n->connections.fetch_add(1, std::memory_order_relaxed);
                }
                continue;
            }
            conn *c = static_cast<conn *>(p);
            bool ok = true;
            if (evs[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                ssize_t r = recv(c->fd, c->in.data() + c->have, c->in.size() - c->have, 0);
                if (r > 0) {
                    c->have += static_cast<size_t>(r);
                    ok = serve_buffer(n, c);
                } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
                    ok = false;
                }
            }
            // Replies of a connection that ends are still sent, as a node
            // that answers a bad request and closes does.
            bool sent = flush_out(c);
            if (!ok || !sent) {
                close_conn(ep, c, &mine);
                continue;
            }
            set_interest(ep, c);
        }
    }
    for (conn *c : mine) {
        close(c->fd);
        delete c;
    }
    if (ep >= 0)
        close(ep);
}

} // namespace

fast_node *fast_node_start(const fast_node_cfg &cfg)
{
    if (cfg.threads < 1 || cfg.threads > 64 || cfg.namespaces.empty())
        return nullptr;
    fast_node *n = new fast_node;
    n->cfg = cfg;
    n->listen_fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    n->stop_fd = eventfd(0, EFD_CLOEXEC);
    int one = 1;
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(cfg.port));
    socklen_t sl = sizeof(sa);
    if (n->listen_fd < 0 || n->stop_fd < 0 ||
        setsockopt(n->listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
        bind(n->listen_fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0 || listen(n->listen_fd, 1024) != 0 ||
        getsockname(n->listen_fd, reinterpret_cast<sockaddr *>(&sa), &sl) != 0) {
        if (n->listen_fd >= 0)
            close(n->listen_fd);
        if (n->stop_fd >= 0)
            close(n->stop_fd);
        delete n;
        return nullptr;
    }
    n->port = ntohs(sa.sin_port);
    std::string name = cfg.name.empty() ? "BB9" + std::to_string(n->port) : cfg.name;
    const std::pair<const char *, std::string> items[] = {
        {"node", name},
        {"partitions", "4096"},
        {"partition-generation", "1"},
        {"services", ""},
        {"replicas-master", fake_replicas_value(cfg.namespaces, fake_bitmap(4096, true))},
        {"replicas-prole", fake_replicas_value(cfg.namespaces, fake_bitmap(4096, false))},
        {"build", cfg.build},
    };
    for (const auto &[item, value] : items) {
        n->info_names.push_back(item);
        n->info_values.push_back(value);
    }
    for (int i = 0; i < cfg.threads; i++)
        n->threads.emplace_back(serve_thread, n);
    return n;
}

int fast_node_port(const fast_node *n)
{
    return n->port;
}

void fast_node_stop(fast_node *n)
{
    if (!n)
        return;
    uint64_t v = 1;
    if (write(n->stop_fd, &v, sizeof(v)) != sizeof(v)) {
        // an eventfd takes a write of 8 bytes unless its counter is full,
        // and a full counter has woken every thread already
    }
    for (auto &t : n->threads)
        t.join();
    close(n->listen_fd);
    close(n->stop_fd);
    delete n;
}

uint64_t fast_node_writes(fast_node *n)
{
    return n->writes.load();
}

uint64_t fast_node_deletes(fast_node *n)
{
    return n->deletes.load();
}

uint64_t fast_node_malformed(fast_node *n)
{
    return n->malformed.load();
}

uint64_t fast_node_connections(fast_node *n)
{
    return n->connections.load();
}

size_t fast_node_records(fast_node *n)
{
    size_t live = 0;
    for (shard &s : n->shards) {
        std::lock_guard<std::mutex> g(s.lock);
        live += s.live;
    }
    return live;
}

bool fast_node_digest(fast_node *n, const uint8_t digest[20], fast_node_counts *out)
{
    shard &s = shard_of(n, digest);
    digest_key k;
    memcpy(k.b, digest, 20);
    std::lock_guard<std::mutex> g(s.lock);
    auto it = s.counts.find(k);
    if (it == s.counts.end())
        return false;
    *out = it->second;
    return true;
}
