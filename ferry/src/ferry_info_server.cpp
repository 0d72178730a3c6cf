/*
 * The info port's transport. Threads:
 * - the network thread (ferry_demarshal_th) owns the listening socket, the
 *   epoll set and every connection's reading state; it assembles requests
 *   (8-byte header, then the body) and queues each complete one;
 * - the worker (ferry_info_th) is the only thread that runs the grammar and
 *   the handlers; it answers the queued requests one at a time in queue
 *   order and writes the replies. What a socket cannot take at once waits on
 *   the worker's list, written as the client reads, so one client that does
 *   not read holds up nobody.
 *
 * The port stays up whatever clients send, so every resource a client can
 * make it hold is bounded (ferry_info_server.h): connections (at the cap a
 * new one takes the place of the one longest without traffic that has
 * nothing queued, being answered or waiting, so peers that hold or keep
 * reopening connections cannot lock an administrator out; the listener
 * paused while descriptors run out),
 * request bytes (a buffer grows only as bytes arrive, and all requests read
 * or queued share one budget), queued requests (per connection and in
 * total), replies waiting for their clients (in bytes, and each for a time
 * limit, after which the client is given up), and the time a request may
 * stay incomplete or a connection idle.
 *
 * A connection is a reference-counted block: one reference for the network
 * thread while the socket is registered, one per queued or running request
 * and one while a reply waits for the client.
 * Whoever drops the last one closes the socket, so the worker can still
 * answer a client that has half-closed its side after its last request.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <vector>

#include "ferry_info_server.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/fault.h"
#include "tamberlin/ferry_info.h"
#include "tamberlin/ferry_shared.h"
#include "tamberlin/ox_clock.h"
#include "tamberlin/ox_queue.h"
#include "tamberlin/socket.h"
#include "tamberlin/utils.h"

#define KA_PROTO_VERSION 2
#define KA_PROTO_TYPE_INFO 1
#define KA_PROTO_TYPE_KA_MSG 3
#define PROTO_HDR_SZ 8
#define MSG_HDR_SZ 22
#define ERROR_REPLY_SZ 1024
#define BODY_FIRST_ALLOC 4096 /* first body buffer; doubles as bytes arrive */

/* A connection: the contract's handle first, so the handle pointer is the
 * block's. The fields after it belong to the network thread, except
 * n_queued (both threads). */
typedef struct info_conn_s {
	ferry_file_handle h;
	uint8_t hdr[PROTO_HDR_SZ]; /* header bytes while fewer than 8 have come */
	uint32_t hdr_len;
	uint64_t cap;              /* bytes allocated at h.proto (budgeted) */
	uint64_t filled;           /* bytes of h.proto written, header included */
	uint64_t deadline_ms;      /* the request must be complete by then; 0: none */
	size_t slot;               /* index in s_conns */
	uint64_t active_seq;       /* s_active_seq at its last bytes (or accept) */
	bool closed;               /* unregistered; kept only for this epoll batch */
	std::atomic<uint32_t> n_queued;
} info_conn;

counters *g_cntr;

static ox_queue *s_info_q;
static std::atomic<int> s_bound_port{0};
static const char *s_listen_addr = "0.0.0.0";
static int s_listen_port = -1; /* -1: the configured info port */
static std::atomic<uint32_t> s_conn_max_hook{0};
static std::atomic<uint64_t> s_pending_max_hook{0};
static uint32_t s_conn_max_fds = FERRY_INFO_CONN_MAX;
static uint64_t s_active_seq; /* network thread */
/* Network thread: connections closed for a new one while the events of one
 * epoll batch are handled; a later event of the batch may still name them,
 * so each keeps a reference until the batch is done. */
static std::vector<info_conn *> &s_closed_in_batch = *new std::vector<info_conn *>;
/* Network thread; never destroyed, since that thread outlives exit(). */
static std::vector<info_conn *> &s_conns = *new std::vector<info_conn *>;

static struct {
	std::atomic<uint64_t> conns, accepted, refused_cap, closed_for_new, accept_backoffs, closed_incomplete, closed_oversize,
			closed_queue_full, pending_bytes, pending_peak, rx_bytes, requests, replies, replies_given_up,
			replies_waiting, replies_waited;
} s_st;

static inline void
st_incr(std::atomic<uint64_t> &c, uint64_t n = 1)
{
	c.fetch_add(n, std::memory_order_relaxed);
}

void
ferry_info_server_stats_get(ferry_info_server_stats *st)
{
	st->conns = s_st.conns.load();
	st->accepted = s_st.accepted.load();
	st->refused_cap = s_st.refused_cap.load();
	st->closed_for_new = s_st.closed_for_new.load();
	st->accept_backoffs = s_st.accept_backoffs.load();
	st->closed_incomplete = s_st.closed_incomplete.load();
	st->closed_oversize = s_st.closed_oversize.load();
	st->closed_queue_full = s_st.closed_queue_full.load();
	st->pending_bytes = s_st.pending_bytes.load();
	st->pending_peak = s_st.pending_peak.load();
	st->rx_bytes = s_st.rx_bytes.load();
	st->requests = s_st.requests.load();
	st->replies = s_st.replies.load();
	st->replies_given_up = s_st.replies_given_up.load();
	st->replies_waiting = s_st.replies_waiting.load();
	st->replies_waited = s_st.replies_waited.load();
}

void
ferry_info_listen_at(const char *addr, int port)
{
	s_listen_addr = addr;
	s_listen_port = port;
}

int
ferry_info_bound_port(void)
{
	return s_bound_port.load();
}

void
ferry_info_set_conn_max(uint32_t n)
{
	s_conn_max_hook.store(n);
}

void
ferry_info_set_pending_max(uint64_t n)
{
	s_pending_max_hook.store(n);
}

static uint64_t
pending_max(void)
{
	uint64_t hook = s_pending_max_hook.load(std::memory_order_relaxed);
	return hook != 0 ? hook : FERRY_INFO_PENDING_MAX;
}

static uint32_t
conn_max(void)
{
	uint32_t hook = s_conn_max_hook.load(std::memory_order_relaxed);
	return hook != 0 && hook < s_conn_max_fds ? hook : s_conn_max_fds;
}

/* ---- Allocation and the request budget ---------------------------------- */

void
ferry_ox_free(void *ptr)
{
	ox_free_at(ptr, __FILE_NAME__, __LINE__);
}

static void *
info_malloc(size_t sz)
{
	return ox_malloc_at(sz, __FILE_NAME__, __LINE__);
}

/* The part of the budget that only first buffers may take: a few clients
 * growing large bodies never leave the others without room for a header and
 * a small request. */
static uint64_t
budget_reserve(void)
{
	uint64_t r = pending_max() / 16;
	return r < (1u << 20) ? r : (1u << 20);
}

/* Takes n bytes of the budget, leaving `keep` of it untaken; false (nothing
 * taken) when that is spent. */
static bool
budget_take(uint64_t n, uint64_t keep = 0)
{
	uint64_t cur = s_st.pending_bytes.load();
	uint64_t max = pending_max();
	max = max > keep ? max - keep : 0;
	do {
		if (cur + n > max)
			return false;
	} while (!s_st.pending_bytes.compare_exchange_weak(cur, cur + n));
	uint64_t peak = s_st.pending_peak.load();
	while (cur + n > peak && !s_st.pending_peak.compare_exchange_weak(peak, cur + n)) {
	}
	return true;
}

static void
budget_give(uint64_t n)
{
	s_st.pending_bytes.fetch_sub(n);
}

static uint64_t
hdr_size(const uint8_t *hdr)
{
	uint64_t sz = 0;
	for (int i = 2; i < PROTO_HDR_SZ; i++)
		sz = sz << 8 | hdr[i];
	return sz;
}

/* A complete request's header as the transaction holds it: version, type,
 * then the 48-bit size in host order. */
typedef struct info_hdr_s {
	uint8_t version;
	uint8_t type;
	uint64_t sz : 48;
} __attribute__((packed)) info_hdr;
static_assert(sizeof(info_hdr) == PROTO_HDR_SZ);

static info_hdr
read_hdr(const uint8_t *p)
{
	info_hdr h;
	memcpy(&h, p, sizeof(h));
	return h;
}

/* Frees a queued request and gives its bytes back: the buffer of a complete
 * request holds exactly its header and body. */
static void
request_free(uint8_t *msgp)
{
	if (!msgp)
		return;
	budget_give(PROTO_HDR_SZ + read_hdr(msgp).sz);
	ferry_ox_free(msgp);
}

/* ---- Connections ---------------------------------------------------------- */

static info_conn *
conn_of(ferry_file_handle *h)
{
	return (info_conn *)h;
}

void
ferry_release_file_handle(ferry_file_handle *h)
{
	info_conn *c = conn_of(h);
	if (h->fd >= 0) {
		close(h->fd);
		h->fd = -1;
	}
	if (h->proto) {
		if (c->filled >= PROTO_HDR_SZ) {
			info_hdr ph = read_hdr(h->proto);
			if (ph.version != KA_PROTO_VERSION || ph.type >= PROTO_TYPE_MAX)
				ox_info(QM_FERRY, "release file handle: bad proto buf, corruption");
		}
		/* Whatever the header claims, the buffer is ours to free. */
		budget_give(c->cap);
		ferry_ox_free(h->proto);
		h->proto = nullptr;
		c->cap = 0;
	}
}

static void
handle_release(ferry_file_handle *h)
{
	if (ox_rc_release(h) == 0) {
		ferry_release_file_handle(h);
		ox_rc_free_at(h, __FILE_NAME__, __LINE__);
	}
}

/* Network thread: unregisters the connection and drops its reference. */
static void
conn_close(int epfd, info_conn *c)
{
	c->closed = true;
	epoll_ctl(epfd, EPOLL_CTL_DEL, c->h.fd, nullptr);
	info_conn *last = s_conns.back();
	s_conns[c->slot] = last;
	last->slot = c->slot;
	s_conns.pop_back();
	st_incr(s_st.conns, (uint64_t)-1);
	handle_release(&c->h);
}

/* ---- Replies (worker) ----------------------------------------------------- */

/* A reply given up: the socket is shut down so the network thread sees the
 * hang-up and closes the connection, even while the client stays silent. */
static void
give_up(int fd)
{
	st_incr(s_st.replies_given_up);
	shutdown(fd, SHUT_RDWR);
}

/* Writes what the socket takes now: 0 when all of buf went, EAGAIN when some
 * is left, else the error that ended it (a 0-byte send as EPIPE). */
static int
send_some(int fd, const uint8_t *buf, size_t len, size_t *pos)
{
	while (*pos < len) {
		ssize_t n = send(fd, buf + *pos, len - *pos, MSG_NOSIGNAL);
		if (n > 0) {
			*pos += (size_t)n;
			continue;
		}
		if (n == 0)
			return EPIPE;
		if (errno == EINTR)
			continue;
		return errno == EWOULDBLOCK ? EAGAIN : errno;
	}
	return 0;
}

/* ---- Replies waiting for their client (worker) ------------------------------
 * What the socket cannot take at once waits here, and the worker writes it
 * as the client reads, between the requests it serves: a client that does
 * not read costs the others nothing. Later replies of the connection go
 * behind it, in order. Each waits at most the reply limit from its last
 * reply on. */
typedef struct info_waiting_s {
	ferry_file_handle *h; /* a reference of its own */
	uint8_t *buf;
	size_t len, pos;
	uint32_t replies;     /* whole replies in buf */
	uint64_t limit_ms;
} info_waiting;
/* Worker only; never destroyed, since the worker outlives exit(). */
static std::vector<info_waiting> &s_waiting = *new std::vector<info_waiting>;
static uint64_t s_waiting_bytes;

#define FERRY_INFO_WAITING_STEP_MS 10 /* the worker's look at waiting replies */

static void
waiting_gauge(void)
{
	s_st.replies_waiting.store(s_waiting.size());
}

/* Ends waiting reply i: sent (err 0) or given up. */
static void
waiting_end(size_t i, int err)
{
	info_waiting *w = &s_waiting[i];
	if (err == 0) {
		st_incr(s_st.replies, w->replies);
	} else {
		if (err == EPIPE || err == ECONNRESET)
			ox_debug(QM_FERRY, "thr_info: client request gave up while I was processing: fd %d", w->h->fd);
		else
			ox_info(QM_FERRY, "thr_info: can't write all bytes, fd %d error %d", w->h->fd, err);
		give_up(w->h->fd);
	}
	s_waiting_bytes -= w->len - w->pos;
	ferry_ox_free(w->buf);
	handle_release(w->h);
	s_waiting[i] = s_waiting.back();
	s_waiting.pop_back();
	waiting_gauge();
}

/* Writes what the waiting replies' sockets take now; ends those sent, failed
 * or past their limit. */
static void
waiting_step(void)
{
	if (s_waiting.empty())
		return;
	std::vector<struct pollfd> p(s_waiting.size());
	for (size_t i = 0; i < s_waiting.size(); i++)
		p[i] = {s_waiting[i].h->fd, POLLOUT, 0};
	if (poll(p.data(), (nfds_t)p.size(), 0) < 0)
		return;
	uint64_t now = ox_getms();
	for (size_t i = p.size(); i-- > 0;) {
		info_waiting *w = &s_waiting[i];
		int err = EAGAIN;
		if (p[i].revents != 0) {
			size_t before = w->pos;
			err = send_some(w->h->fd, w->buf, w->len, &w->pos);
			s_waiting_bytes -= w->pos - before;
		}
		if (err == EAGAIN && now >= w->limit_ms)
			err = ETIMEDOUT;
		if (err != EAGAIN)
			waiting_end(i, err);
	}
}

/* Sends one reply on h, or leaves what the socket cannot take now to wait
 * for the client. 0 when it went or waits; else the error of the send, for
 * the caller to give the reply up. */
static int
reply_send(ferry_file_handle *h, const uint8_t *buf, size_t len)
{
	size_t i = 0;
	while (i < s_waiting.size() && s_waiting[i].h != h)
		i++;
	size_t pos = 0;
	if (i == s_waiting.size()) {
		int err = send_some(h->fd, buf, len, &pos);
		if (err == 0) {
			st_incr(s_st.replies);
			return 0;
		}
		if (err != EAGAIN)
			return err;
	}
	size_t left = len - pos;
	if (left > FERRY_INFO_WAITING_MAX - s_waiting_bytes) {
		ox_warning(QM_FERRY, "replies waiting for their clients reached %u bytes: giving up the reply on fd %d",
				FERRY_INFO_WAITING_MAX, h->fd);
		if (i < s_waiting.size()) {
			waiting_end(i, ENOBUFS);
			return 0;
		}
		return ENOBUFS;
	}
	uint64_t limit = ox_getms() + ferry_scaled_ms(FERRY_INFO_SEND_LIMIT_MS);
	if (i < s_waiting.size()) {
		info_waiting *w = &s_waiting[i];
		size_t kept = w->len - w->pos;
		uint8_t *nb = (uint8_t *)info_malloc(kept + left);
		if (!nb) {
			waiting_end(i, ENOMEM);
			return 0;
		}
		memcpy(nb, w->buf + w->pos, kept);
		memcpy(nb + kept, buf + pos, left);
		ferry_ox_free(w->buf);
		w->buf = nb;
		w->len = kept + left;
		w->pos = 0;
		w->replies++;
		w->limit_ms = limit;
		st_incr(s_st.replies_waited);
	} else {
		uint8_t *nb = (uint8_t *)info_malloc(left);
		if (!nb)
			return ENOMEM;
		memcpy(nb, buf + pos, left);
		ox_rc_reserve(h);
		s_waiting.push_back({h, nb, left, 0, 1, limit});
		waiting_gauge();
		st_incr(s_st.replies_waited);
	}
	s_waiting_bytes += left;
	return 0;
}

uint8_t *
ferry_make_msg(size_t msg_sz, int result_code)
{
	if (msg_sz < PROTO_HDR_SZ + MSG_HDR_SZ)
		return nullptr;
	uint8_t *m = (uint8_t *)ox_calloc_at(1, msg_sz, __FILE_NAME__, __LINE__);
	if (!m)
		return nullptr;
	uint64_t sz = msg_sz - PROTO_HDR_SZ;
	m[0] = KA_PROTO_VERSION;
	m[1] = KA_PROTO_TYPE_KA_MSG;
	for (int i = 0; i < 6; i++)
		m[2 + i] = (uint8_t)(sz >> (8 * (5 - i)));
	m[8] = MSG_HDR_SZ;
	m[13] = (uint8_t)result_code;
	return m;
}

int
ferry_msg_send_error(ferry_file_handle *fd_h, int result_code)
{
	uint8_t *m = ferry_make_msg(ERROR_REPLY_SZ, result_code);
	if (!m)
		return -1;
	int err = reply_send(fd_h, m, ERROR_REPLY_SZ);
	if (err == EPIPE) {
		ox_info(QM_FERRY, "protocol write fail zero return: fd %d sz %d pos %d ", fd_h->fd, ERROR_REPLY_SZ, 0);
		give_up(fd_h->fd);
	} else if (err != 0) {
		ox_info(QM_FERRY, "protocol write fail: fd %d sz %d pos %d rv %d errno %d", fd_h->fd, ERROR_REPLY_SZ, 0,
				-1, err);
		give_up(fd_h->fd);
	}
	ferry_ox_free(m);
	handle_release(fd_h);
	return 0;
}

int
ferry_info_reply(uint8_t *msgp, ox_dyn_buf *db)
{
	static const uint8_t zeros[PROTO_HDR_SZ] = {0};
	size_t start = db->used_sz;
	if (ox_dyn_buf_append_buf(db, zeros, sizeof(zeros)) != 0)
		return -1;
	info_hdr ph = read_hdr(msgp);
	if (ph.sz > 0) {
		char *body = (char *)msgp + PROTO_HDR_SZ;
		ferry_info_some(body, body + ph.sz, db);
	} else {
		ferry_info_all(db);
	}
	/* The whole 48-bit size field, whatever the body's length. */
	uint64_t body_sz = db->used_sz - start - PROTO_HDR_SZ;
	uint8_t *h = db->buf + start;
	h[0] = KA_PROTO_VERSION;
	h[1] = KA_PROTO_TYPE_INFO;
	for (int i = 0; i < 6; i++)
		h[2 + i] = (uint8_t)(body_sz >> (8 * (5 - i)));
	return 0;
}

int
ferry_info_request_kind(const uint8_t *msgp)
{
	info_hdr ph = read_hdr(msgp);
	if (ph.version != KA_PROTO_VERSION || ph.type >= PROTO_TYPE_MAX)
		return FERRY_INFO_REQ_DROP;
	return ph.type == KA_PROTO_TYPE_INFO ? FERRY_INFO_REQ_INFO : FERRY_INFO_REQ_FIXED;
}

int64_t
ferry_info_header_convert(const uint8_t *wire, uint8_t *out)
{
	uint64_t sz = hdr_size(wire);
	if (sz > PROTO_SIZE_MAX)
		return -1;
	info_hdr ph;
	ph.version = wire[0];
	ph.type = wire[1];
	ph.sz = sz;
	memcpy(out, &ph, sizeof(ph));
	return (int64_t)sz;
}

int
ferry_info_worker(ferry_transaction *tr)
{
	ox_dyn_buf_define(db);
	ferry_info_reply(tr->msgp, &db);

	ferry_file_handle *h = tr->proto_fd_h;
	int err = reply_send(h, db.buf, db.used_sz);
	if (err != 0) {
		if (err == EPIPE || err == ECONNRESET)
			ox_debug(QM_FERRY, "thr_info: client request gave up while I was processing: fd %d", h->fd);
		else
			ox_info(QM_FERRY, "thr_info: can't write all bytes, fd %d error %d", h->fd, err);
		give_up(h->fd);
	}
	ox_dyn_buf_free(&db);
	request_free(tr->msgp);
	tr->msgp = nullptr;
	handle_release(h);
	tr->proto_fd_h = nullptr;
	return 0;
}

void *
ferry_info_th(void *q)
{
	ox_queue *tq = (ox_queue *)q;
	for (;;) {
		ferry_transaction tr;
		// Whether this pop may time out is decided before it: the step
		// below may end the last waiting reply.
		bool timed = !s_waiting.empty();
		int rv = ox_queue_pop(tq, &tr, timed ? FERRY_INFO_WAITING_STEP_MS : OX_QUEUE_FOREVER);
		waiting_step();
		if (rv == OX_QUEUE_EMPTY && timed)
			continue;
		if (rv != OX_QUEUE_OK) {
			ox_warning(QM_FERRY, "unable to pop from transaction queue... continuing");
			continue;
		}
		if (!tr.msgp)
			continue;
		int kind = ferry_info_request_kind(tr.msgp);
		if (kind == FERRY_INFO_REQ_DROP) {
			info_hdr ph = read_hdr(tr.msgp);
			ox_info(QM_FERRY,
					"can't process message: wrong version %d expecting %d or invalid type %d should be %d or less ",
					ph.version, KA_PROTO_VERSION, ph.type, PROTO_TYPE_MAX);
			request_free(tr.msgp);
			conn_of(tr.proto_fd_h)->n_queued.fetch_sub(1);
			handle_release(tr.proto_fd_h);
			continue;
		}
		if (kind == FERRY_INFO_REQ_INFO) {
			conn_of(tr.proto_fd_h)->n_queued.fetch_sub(1);
			ferry_info_worker(&tr);
			continue;
		}
		request_free(tr.msgp);
		conn_of(tr.proto_fd_h)->n_queued.fetch_sub(1);
		if (ferry_msg_send_error(tr.proto_fd_h, 0) != 0)
			handle_release(tr.proto_fd_h);
	}
	return nullptr;
}

/* ---- Reading (network thread) --------------------------------------------- */

enum read_end { READ_WAIT, READ_EOF, READ_CLOSE };

/* When a request begun (or due) now must be complete. */
static uint64_t
request_deadline(uint64_t now)
{
	return now + ferry_scaled_ms(FERRY_INFO_INCOMPLETE_MS);
}

static void
start_deadline(info_conn *c)
{
	if (c->deadline_ms == 0)
		c->deadline_ms = request_deadline(ox_getms());
}

/* Queues the complete request at c->h.proto; false when the queue is full
 * (the request is then freed and the connection must close). */
static bool
queue_request(info_conn *c)
{
	ferry_transaction tr = {&c->h, c->h.proto, 0};
	c->h.proto = nullptr;
	c->h.proto_unread = 0;
	c->cap = 0;
	c->filled = 0;
	c->hdr_len = 0;
	/* The next request is due within the limit too: a connection left idle
	 * after its requests would otherwise hold its place for good. */
	c->deadline_ms = request_deadline(ox_getms());
	bool queued = false;
	if (c->n_queued.load() < FERRY_INFO_CONN_QUEUE_MAX) {
		/* Counted before the push: whoever sees the request served sees
		 * it counted. */
		c->n_queued.fetch_add(1);
		st_incr(s_st.requests);
		ox_rc_reserve(&c->h);
		queued = ox_queue_push_limit(s_info_q, &tr, FERRY_INFO_QUEUE_MAX);
		if (!queued) {
			/* The network thread's own reference is still held: never 0. */
			ox_rc_release(&c->h);
			c->n_queued.fetch_sub(1);
			st_incr(s_st.requests, (uint64_t)-1);
		}
	}
	if (!queued) {
		ox_warning(QM_FERRY, "Info Queue Full ... won't service request");
		request_free(tr.msgp);
		st_incr(s_st.closed_queue_full);
		return false;
	}
	return true;
}

/* One receive into buf: the bytes read, or 0 with *end set to how the
 * reading of this event ends (the socket is empty, the peer closed, or an
 * error that closes the connection). */
static int
conn_recv(info_conn *c, void *buf, size_t len, read_end *end)
{
	int n = ox_socket_recv(c->h.fd, buf, len, 0);
	if (n > 0) {
		c->active_seq = ++s_active_seq;
		st_incr(s_st.rx_bytes, (uint64_t)n);
		return n;
	}
	int err = errno;
	if (n == 0 && err == EAGAIN) {
		*end = READ_WAIT;
	} else if (n == 0) {
		ox_detail(QM_FERRY, "proto socket: read header fail: error: rv %d sz was %d errno %d", n,
				(int)c->hdr_len, err);
		*end = READ_EOF;
	} else {
		ox_info(QM_FERRY, "receive socket: fail? n %d errno %d %s closing connection.", n, err,
				ox_strerror(err));
		*end = READ_CLOSE;
	}
	return 0;
}

/* A request the pending budget has no room for: its connection closes. */
static bool
refuse_for_budget(const ferry_file_handle *h, uint64_t sz)
{
	ox_warning(QM_FERRY, "info request of %lu bytes refused: %lu bytes already pending, closing fd %d",
			(unsigned long)sz, (unsigned long)s_st.pending_bytes.load(), h->fd);
	st_incr(s_st.closed_oversize);
	return false;
}

/* The header is whole: checks its size and starts the request's buffer.
 * false when the connection must close. */
static bool
conn_start_request(info_conn *c)
{
	ferry_file_handle *h = &c->h;
	uint8_t host_hdr[PROTO_HDR_SZ];
	int64_t sz = ferry_info_header_convert(c->hdr, host_hdr);
	if (sz < 0) {
		ox_warning(QM_FERRY,
				"proto input msg greater than %d, likely request from some Quillmere client , rejecting: sz %ld",
				PROTO_SIZE_MAX, (long)hdr_size(c->hdr));
		st_incr(s_st.closed_oversize);
		return false;
	}
	/* The claimed size is only a limit: the buffer grows as bytes come. */
	uint64_t first = PROTO_HDR_SZ + ((uint64_t)sz < BODY_FIRST_ALLOC ? (uint64_t)sz : BODY_FIRST_ALLOC);
	bool took = budget_take(first);
	/* No memory for one request closes its connection, not the process. */
	uint8_t *buf = took ? (uint8_t *)info_malloc(first) : nullptr;
	if (!buf) {
		if (took)
			budget_give(first);
		return refuse_for_budget(h, (uint64_t)sz);
	}
	memcpy(buf, host_hdr, PROTO_HDR_SZ);
	h->proto = buf;
	h->proto_unread = (uint64_t)sz;
	c->cap = first;
	c->filled = PROTO_HDR_SZ;
	return true;
}

/* Room for more of the body: doubles the buffer up to the request's size
 * within the budget. false when the connection must close. */
static bool
conn_grow(info_conn *c)
{
	ferry_file_handle *h = &c->h;
	uint64_t want = PROTO_HDR_SZ + read_hdr(h->proto).sz;
	uint64_t grown = c->cap * 2 < want ? c->cap * 2 : want;
	uint8_t *nb = nullptr;
	if (budget_take(grown - c->cap, budget_reserve())) {
		nb = (uint8_t *)ox_realloc_at(h->proto, grown, __FILE_NAME__, __LINE__);
		if (!nb)
			budget_give(grown - c->cap);
	}
	if (!nb)
		return refuse_for_budget(h, want - PROTO_HDR_SZ);
	h->proto = nb;
	c->cap = grown;
	return true;
}

/* Reads whatever the socket holds into the connection's requests and queues
 * each complete one; edge-triggered, so it reads until the socket is empty.
 * An event with nothing to read just waits for the next. */
static read_end
conn_read(info_conn *c)
{
	ferry_file_handle *h = &c->h;
	read_end end = READ_WAIT;
	for (;;) {
		/* The header is read as its bytes come, so no count of readable
		 * bytes is asked for first, and none can fail. */
		if (!h->proto) {
			int n = conn_recv(c, c->hdr + c->hdr_len, PROTO_HDR_SZ - c->hdr_len, &end);
			if (n == 0)
				return end;
			start_deadline(c);
			c->hdr_len += (uint32_t)n;
			if (c->hdr_len < PROTO_HDR_SZ)
				continue;
			if (!conn_start_request(c))
				return READ_CLOSE;
		}
		if (h->proto_unread > 0) {
			if (c->filled == c->cap && !conn_grow(c))
				return READ_CLOSE;
			uint64_t room = c->cap - c->filled;
			size_t len = (size_t)(room < h->proto_unread ? room : h->proto_unread);
			int n = conn_recv(c, h->proto + c->filled, len, &end);
			if (n == 0)
				return end;
			ox_detail(QM_FERRY, "read fd %d (%d %lu)", h->fd, n, (unsigned long)h->proto_unread);
			c->filled += (uint64_t)n;
			h->proto_unread -= (uint64_t)n;
		}
		if (h->proto_unread == 0 && !queue_request(c))
			return READ_CLOSE;
	}
}

/* ---- Accepting (network thread) ------------------------------------------- */

static bool
accept_error_transient(int err)
{
	switch (err) {
	case EBADF:
	case EINVAL:
	case ENOTSOCK:
	case EFAULT:
	case EOPNOTSUPP:
		return false;
	default:
		return true;
	}
}

/* At the cap: the connection to close for a new one, or NULL when every one
 * has something queued, being answered or waiting for its client. The one
 * longest without traffic among those with nothing at all; failing that,
 * among those with only a request still arriving. */
static info_conn *
conn_to_close_for_new(void)
{
	info_conn *idle = nullptr, *arriving = nullptr;
	for (info_conn *c : s_conns) {
		// The network thread's own reference alone: no request of it is
		// queued or with the worker, and no reply waits.
		if (c->n_queued.load() != 0 || ox_rc_count(&c->h) != 1)
			continue;
		info_conn *&best = c->h.proto || c->hdr_len > 0 ? arriving : idle;
		if (!best || c->active_seq < best->active_seq)
			best = c;
	}
	return idle ? idle : arriving;
}

/* Accepts what the backlog holds. Returns the time until which the listener
 * must stay paused (descriptors or memory ran out), or 0. */
static uint64_t
accept_all(int epfd, int lfd)
{
	for (int i = 0; i < 256; i++) {
		struct sockaddr_in sa;
		socklen_t salen = sizeof(sa);
		int fd = accept4(lfd, (struct sockaddr *)&sa, &salen, SOCK_CLOEXEC);
		if (fd < 0) {
			int err = errno;
			if (err == EAGAIN || err == EWOULDBLOCK)
				return 0;
			if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
				st_incr(s_st.accept_backoffs);
				ox_warning(QM_FERRY, "accept: %s (errno %d), pausing new connections", ox_strerror(err), err);
				return ox_getms() + FERRY_INFO_ACCEPT_BACKOFF_MS;
			}
			if (accept_error_transient(err)) {
				ox_debug(QM_FERRY, "accept: %s (errno %d)", ox_strerror(err), err);
				continue;
			}
			ox_crash(QM_FERRY, OX_THR, "accept: %s (errno %d)", ox_strerror(err), err);
		}
		if (s_conns.size() >= conn_max()) {
			// Each kind of line at most every 10 seconds.
			static uint64_t s_warned_ms[2];
			info_conn *old = conn_to_close_for_new();
			uint64_t &warned = s_warned_ms[old ? 1 : 0];
			uint64_t now = ox_getms();
			bool warn = warned == 0 || now - warned >= 10000;
			if (warn)
				warned = now;
			if (!old) {
				if (warn)
					ox_warning(QM_FERRY, "info port: %zu connections open, closing new ones", s_conns.size());
				st_incr(s_st.refused_cap);
				close(fd);
				continue;
			}
			if (warn)
				ox_warning(QM_FERRY,
						"info port: %zu connections open, closing the one longest without traffic (fd %d) for a new one",
						s_conns.size(), old->h.fd);
			st_incr(s_st.closed_for_new);
			ox_rc_reserve(&old->h);
			shutdown(old->h.fd, SHUT_RDWR);
			conn_close(epfd, old);
			s_closed_in_batch.push_back(old);
		}
		char text[INET_ADDRSTRLEN];
		/* An IPv4 address always fits this buffer; the text serves nothing
		 * that a failure should end the network thread for. */
		if (!inet_ntop(AF_INET, &sa.sin_addr, text, sizeof(text)))
			text[0] = 0;
		ox_socket_set_nonblocking(fd);

		info_conn *c = (info_conn *)ox_rc_alloc_at(sizeof(info_conn), __FILE_NAME__, __LINE__);
		if (!c) {
			ox_warning(QM_FERRY, "malloc");
			close(fd);
			return ox_getms() + FERRY_INFO_ACCEPT_BACKOFF_MS;
		}
		new (c) info_conn{};
		c->h.fd = fd;
		c->active_seq = ++s_active_seq;
		start_deadline(c); /* the first request is due from the connect on */
		struct epoll_event ev;
		memset(&ev, 0, sizeof(ev));
		ev.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
		ev.data.ptr = c;
		if (epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev) < 0) {
			ox_info(QM_FERRY, "unable to add socket to event queue");
			shutdown(fd, SHUT_RDWR);
			handle_release(&c->h);
			continue;
		}
		c->slot = s_conns.size();
		s_conns.push_back(c);
		st_incr(s_st.conns);
		st_incr(s_st.accepted);
	}
	return 0;
}

/* Closes the connections whose request is overdue. */
static void
close_overdue(int epfd, uint64_t now)
{
	for (size_t i = 0; i < s_conns.size();) {
		info_conn *c = s_conns[i];
		if (c->deadline_ms != 0 && now >= c->deadline_ms && c->n_queued.load() > 0) {
			/* Its replies are still to come: the limit runs from them. */
			c->deadline_ms = request_deadline(now);
		}
		if (c->deadline_ms != 0 && now >= c->deadline_ms) {
			ox_info(QM_FERRY, "closing fd %d: request incomplete for %u ms", c->h.fd,
					ferry_scaled_ms(FERRY_INFO_INCOMPLETE_MS));
			st_incr(s_st.closed_incomplete);
			conn_close(epfd, c); /* moves the last one into slot i */
			continue;
		}
		i++;
	}
}

static int
listen_socket(void)
{
	ox_socket_cfg cfg;
	memset(&cfg, 0, sizeof(cfg));
	cfg.addr = s_listen_addr;
	cfg.port = s_listen_port >= 0 ? s_listen_port : g_xcfg.ferry_info_port;
	cfg.reuse_addr = true;
	cfg.proto = SOCK_STREAM;
	int rv = s_listen_port == 0 ? ox_socket_init_svc_anyport(&cfg) : ox_socket_init_svc(&cfg);
	if (rv != 0)
		ox_crash(QM_FERRY, OX_PROCESS, "couldn't initialize service socket: %s", ox_strerror(rv > 0 ? rv : EINVAL));
	ox_socket_set_nonblocking(cfg.sock);
	s_bound_port.store(cfg.port);
	return cfg.sock;
}

void *
ferry_demarshal_th(void *q)
{
	(void)q;
	int lfd = listen_socket();
	int epfd = epoll_create(EPOLL_SZ);
	if (epfd < 0)
		ox_crash(QM_FERRY, OX_PROCESS, "epoll_create(): %s", ox_strerror(errno));
	struct epoll_event lev;
	memset(&lev, 0, sizeof(lev));
	lev.events = EPOLLIN | EPOLLERR | EPOLLHUP;
	lev.data.ptr = nullptr;
	if (epoll_ctl(epfd, EPOLL_CTL_ADD, lfd, &lev) < 0)
		ox_crash_nostack(QM_FERRY, OX_PROCESS, "epoll_ctl(): %s", ox_strerror(errno));

	uint64_t paused_until = 0;
	uint64_t next_scan = 0;
	static struct epoll_event events[EPOLL_SZ];
	for (;;) {
		uint64_t now = ox_getms();
		uint32_t scan_every = ferry_scaled_ms(1000);
		if (now >= next_scan) {
			close_overdue(epfd, now);
			next_scan = now + scan_every;
		}
		if (paused_until != 0 && now >= paused_until) {
			if (epoll_ctl(epfd, EPOLL_CTL_ADD, lfd, &lev) < 0)
				ox_crash_nostack(QM_FERRY, OX_PROCESS, "epoll_ctl(): %s", ox_strerror(errno));
			paused_until = 0;
		}
		uint64_t wake = next_scan;
		if (paused_until != 0 && paused_until < wake)
			wake = paused_until;
		int timeout = wake > now ? (int)(wake - now) : 0;

		ox_detail(QM_FERRY, "calling epoll");
		int nev = epoll_wait(epfd, events, EPOLL_SZ, timeout);
		if (nev < 0) {
			if (errno != EINTR)
				ox_warning(QM_FERRY, "epoll_wait(): %s", ox_strerror(errno));
			continue;
		}
		ox_detail(QM_FERRY, "epoll event received: nevents %d", nev);
		for (int i = 0; i < nev; i++) {
			info_conn *c = (info_conn *)events[i].data.ptr;
			if (c && c->closed)
				continue;
			/* Only the listener is registered without a handle. */
			if (!c) {
				uint64_t until = accept_all(epfd, lfd);
				if (until != 0 && paused_until == 0) {
					epoll_ctl(epfd, EPOLL_CTL_DEL, lfd, nullptr);
					paused_until = until;
				}
				continue;
			}
			/* Read first: a request followed by a half-close, or by a reset,
			 * is still queued and answered while the worker holds its
			 * reference. */
			read_end end = conn_read(c);
			uint32_t bits = events[i].events;
			if (end != READ_WAIT || (bits & (EPOLLHUP | EPOLLERR))) {
				ox_detail(QM_FERRY, "proto socket: remote close: fd %d event %x", c->h.fd, bits);
				conn_close(epfd, c);
			}
		}
		for (info_conn *c : s_closed_in_batch)
			handle_release(&c->h);
		s_closed_in_batch.clear();
	}
	return nullptr;
}

/* ---- Start ---------------------------------------------------------------- */

int
ferry_info_init(counters *cntr)
{
	s_info_q = ox_queue_create(sizeof(ferry_transaction), true);
	if (!s_info_q)
		ox_crash(QM_FERRY, OX_PROCESS, "could not create the info transaction queue");
	__atomic_store_n(&g_cntr, cntr, __ATOMIC_RELEASE);

	/* Room for the connections beside everything else the daemon opens. */
	struct rlimit rl;
	if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY) {
		uint64_t room = rl.rlim_cur / 2 > 64 ? rl.rlim_cur / 2 - 32 : 16;
		if (room < s_conn_max_fds)
			s_conn_max_fds = (uint32_t)room;
	}

	pthread_attr_t attr;
	int rv = pthread_attr_init(&attr);
	if (rv != 0)
		ox_crash(QM_FERRY, OX_PROCESS, "pthread_attr_init: %s", ox_strerror(rv));
	pthread_t th;
	for (int i = 0; i < FERRY_MAX_INFO_THREADS; i++) {
		rv = pthread_create(&th, &attr, ferry_info_th, s_info_q);
		if (rv != 0)
			ox_crash(QM_FERRY, OX_PROCESS, "pthread_create: %s", ox_strerror(rv));
	}
	pthread_attr_destroy(&attr);

	ferry_info_register_all();

	ferry_start_detached(ferry_demarshal_th, s_info_q, true);
	return 0;
}
