/*
 * rbuffer: opening, persistence, segment access, writing, reading, seeking,
 * start-up modes and reclaim of the file-backed ring buffer.
 *
 * Every segment access is one positioned read or write of a whole 8004-byte
 * segment, so contexts share descriptors without stream positions. The
 * records need not pass through a cached segment: a segment that a write
 * call fills goes to the file from the caller's records, gathered with the
 * cached head and the trailer (pwritev), and a read that wants the rest of a
 * segment scatters it into the caller's buffer and the cached trailer
 * (preadv, or one pread when the buffer has room for the trailer too). The
 * bytes on disk are those of the cached segment all the same.
 *
 * Readers take the buffer lock for each step of their loop, including the
 * copy out of their cached segment: the writer may then push the main
 * reader (position and cache) under the buffer lock alone, and a record is
 * never delivered twice or skipped unseen.
 *
 * A context carries the generation its segment must hold. Positions are
 * compared as (generation, ring position) pairs in 16-bit serial arithmetic,
 * which tells a context inside the kept region from one whose segments were
 * reclaimed or overwritten.
 */
#include "tamberlin/rbuffer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ox_random.h"

uint64_t runtime_reclaim;
ox_rbuffer_hook_fn ox__rbuffer_test_hook;

namespace {

struct hold {
	pthread_mutex_t *m;
	explicit hold(pthread_mutex_t *mu) : m(mu) { pthread_mutex_lock(m); }
	~hold() { pthread_mutex_unlock(m); }
	hold(const hold &) = delete;
	hold &operator=(const hold &) = delete;
};

/* Buffers open in this process, so that no file gets a second writer. */
pthread_mutex_t g_open_lock = PTHREAD_MUTEX_INITIALIZER;
ox_rbuffer *g_open_list;

/* What a segment read found. */
enum seg_state { SEG_OK, SEG_STALE, SEG_NEWER, SEG_IOERR, SEG_SHORT, SEG_BADMAGIC };

const char *seg_state_name[] = {"ok", "an older generation", "a newer generation", "a read error",
		"a short read", "a bad magic"};

} // namespace

static inline uint8_t
flags_of(const ox_rbuffer *r)
{
	return __atomic_load_n(&r->flags, __ATOMIC_RELAXED);
}

static inline bool
tracing(const ox_rbuffer *r)
{
	return (flags_of(r) & RBUFFER_FLAG_TRACE) != 0;
}

#define RB_TRACE(r, macro, ...) \
	do { \
		if (tracing(r)) \
			macro(OX_RBUFFER, __VA_ARGS__); \
	} while (0)

static inline void
stat_add(uint64_t *s, uint64_t n)
{
	ox_atomic64_add(s, (int64_t)n);
}

static inline int16_t
gen_add(int16_t v, int d)
{
	return (int16_t)(uint16_t)((uint16_t)v + (uint16_t)d);
}

/* Serial comparison: negative when a is older than b. */
static inline int
gen_cmp(int16_t a, int16_t b)
{
	return (int16_t)(uint16_t)((uint16_t)a - (uint16_t)b);
}

static inline bool
same_seg(const ox_rbuffer_ptr &a, const ox_rbuffer_ptr &b)
{
	return a.fidx == b.fidx && a.seg_id == b.seg_id;
}

static inline bool
at_origin(const ox_rbuffer_ptr &p)
{
	return p.fidx == 0 && p.seg_id == 0;
}

static inline uint64_t
ring_pos(const ox_rbuffer *r, const ox_rbuffer_ptr &p)
{
	return r->seg_base[p.fidx] + p.seg_id;
}

static inline int64_t
seg_offset(uint64_t seg)
{
	return RBUFFER_FILE_HEADER_SIZE + (int64_t)seg * RBUFFER_SEG_SIZE;
}

static inline ox_rbuffer_ptr
make_ptr(uint8_t fidx, uint64_t seg, uint64_t rec)
{
	ox_rbuffer_ptr p;
	memset(&p, 0, sizeof(p));
	p.fidx = fidx;
	p.seg_id = seg;
	p.rec_id = rec;
	return p;
}

static inline void
invalidate(ox_rbuffer_ctx *c)
{
	c->buf.magic = 0;
	c->buf.num_recs = 0;
}

static void
next_seg(const ox_rbuffer *r, ox_rbuffer_ptr *p)
{
	const ox_rbuffer_hdr &h = r->hdr[p->fidx];
	uint64_t n = (p->seg_id + 1) % r->nsegs[p->fidx];
	if (n == h.sseg.seg_id) {
		p->fidx = h.nseg.fidx;
		p->seg_id = h.nseg.seg_id;
	} else {
		p->seg_id = n;
	}
}

static void
prev_seg(const ox_rbuffer *r, ox_rbuffer_ptr *p)
{
	const ox_rbuffer_hdr &h = r->hdr[p->fidx];
	if (p->seg_id == h.sseg.seg_id) {
		p->fidx = h.pseg.fidx;
		p->seg_id = h.pseg.seg_id - 1;
	} else {
		uint64_t n = r->nsegs[p->fidx];
		p->seg_id = (p->seg_id + n - 1) % n;
	}
}

/* Generation that a segment of the kept region carries: the current one at or
 * behind the writer, the previous one ahead of it. Buffer lock held. */
static int16_t
turn_of(const ox_rbuffer *r, const ox_rbuffer_ptr &p)
{
	return ring_pos(r, p) <= ring_pos(r, r->wctx.ptr) ? r->chdr.version : gen_add(r->chdr.version, -1);
}

/* True when a context at (v, p) lies before the start: its records were
 * reclaimed or overwritten. Buffer lock held. */
static bool
behind_start(const ox_rbuffer *r, int16_t v, const ox_rbuffer_ptr &p)
{
	int d = gen_cmp(v, turn_of(r, r->chdr.sptr));
	if (d != 0)
		return d < 0;
	return ring_pos(r, p) < ring_pos(r, r->chdr.sptr);
}

/* Positioned gather or scatter of a whole vector; the bytes moved, short
 * only at the end of the file (reads) or on an error. The vector is used up. */
static ssize_t
piov_full(int fd, struct iovec *iov, int cnt, int64_t off, bool write)
{
	size_t done = 0;
	while (cnt > 0) {
		// One buffer goes through the plain call: the vector form costs the
		// kernel a copy of the vector on every record batch.
		int64_t at = off + (int64_t)done;
		ssize_t k = cnt == 1 ? (write ? pwrite(fd, iov->iov_base, iov->iov_len, at) : pread(fd, iov->iov_base, iov->iov_len, at))
				     : (write ? pwritev(fd, iov, cnt, at) : preadv(fd, iov, cnt, at));
		if (k < 0) {
			if (errno == EINTR)
				continue;
			return -1;
		}
		if (k == 0)
			break;
		done += (size_t)k;
		size_t left = (size_t)k;
		while (cnt > 0 && left >= iov->iov_len) {
			left -= iov->iov_len;
			iov++;
			cnt--;
		}
		if (cnt > 0) {
			iov->iov_base = (char *)iov->iov_base + left;
			iov->iov_len -= left;
		}
	}
	return (ssize_t)done;
}

/* The one-buffer cases: short only at the end of the file (reads) or on an
 * error. */
static ssize_t
pread_full(int fd, void *buf, size_t n, int64_t off)
{
	struct iovec iov = {buf, n};
	return piov_full(fd, &iov, 1, off, false);
}

static ssize_t
pwrite_full(int fd, const void *buf, size_t n, int64_t off)
{
	struct iovec iov = {const_cast<void *>(buf), n};
	return piov_full(fd, &iov, 1, off, true);
}

/* ---- diagnostics ----------------------------------------------------------- */

static bool
ox__rbuffer_sanity(const ox_rbuffer *r)
{
	/* Its findings are only ever traced: without the trace it need not look
	 * (it runs at every segment move of every reader). */
	if (!tracing(r))
		return true;
	bool ok = true;
	uint8_t n = r->chdr.nfiles;
	if (n == 1) {
		const ox_rbuffer_hdr &h = r->hdr[0];
		if (memcmp(&h.nseg, &h.sseg, sizeof(h.sseg)) != 0) {
			ok = false;
			ox_warning(OX_RBUFFER, "Ring Buffer Sanity Check - 2: Failed");
		} else if (h.pseg.fidx != h.nseg.fidx || h.pseg.seg_id != r->nsegs[0] || h.pseg.rec_id != 0) {
			ok = false;
			ox_warning(OX_RBUFFER, "Ring Buffer Sanity Check - 3: Failed");
		}
		return ok;
	}
	const ox_rbuffer_ptr &s = r->chdr.sptr;
	const ox_rbuffer_hdr &hs = r->hdr[s.fidx];
	if (s.fidx != hs.sseg.fidx || s.rec_id != hs.sseg.rec_id) {
		ok = false;
		ox_warning(OX_RBUFFER, "Ring Buffer Sanity Check - 4: Failed");
		ox_warning(OX_RBUFFER, "%d!=%d || %ld != %ld || %ld != %ld", s.fidx, hs.sseg.fidx, (long)s.seg_id,
				(long)hs.sseg.seg_id, (long)s.rec_id, (long)hs.sseg.rec_id);
	}
	for (uint8_t i = 0; i < n; i++) {
		const ox_rbuffer_hdr &h = r->hdr[i];
		if (h.fidx != h.sseg.fidx || h.nseg.fidx != r->hdr[(i + 1) % n].sseg.fidx) {
			ok = false;
			ox_warning(OX_RBUFFER, "Ring Buffer Sanity Check - 5: Failed");
		}
	}
	return ok;
}

void
ox_rbuffer_log(ox_rbuffer *r, ox_fault_severity severity)
{
	if (!r)
		return;
	hold bl(&r->mlock);
	ox_fault_event(OX_RBUFFER, OX_THR, severity, OX_FAULT_FILE, __func__, __LINE__,
			"Stats [%ld:%ld:%ld:%ld:%ld]", (long)ox_atomic64_get(&r->read_stat),
			(long)ox_atomic64_get(&r->write_stat), (long)ox_atomic64_get(&r->fwrite_stat),
			(long)ox_atomic64_get(&r->fread_stat), (long)ox_atomic64_get(&r->fseek_stat));
	ox_fault_event(OX_RBUFFER, OX_THR, severity, OX_FAULT_FILE, __func__, __LINE__,
			"Current sptr [%ld:%ld] rptr [%ld:%ld] | rctx [%ld:%ld] | wptr [%ld:%ld] | wctx [%ld:%ld]",
			(long)r->chdr.sptr.seg_id, (long)r->chdr.sptr.rec_id, (long)r->chdr.rptr.seg_id,
			(long)r->chdr.rptr.rec_id, (long)r->rctx.ptr.seg_id, (long)r->rctx.ptr.rec_id,
			(long)r->chdr.wptr.seg_id, (long)r->chdr.wptr.rec_id, (long)r->wctx.ptr.seg_id,
			(long)r->wdisk.rec_id);
	ox_fault_event(OX_RBUFFER, OX_THR, severity, OX_FAULT_FILE, __func__, __LINE__, " Max Seg = %ld",
			(long)r->nsegs[0]);
}

void
ox_rbuffer_trace(ox_rbuffer *r, bool val)
{
	if (val)
		__atomic_fetch_or(&r->flags, (uint8_t)RBUFFER_FLAG_TRACE, __ATOMIC_RELAXED);
	else
		__atomic_fetch_and(&r->flags, (uint8_t)~RBUFFER_FLAG_TRACE, __ATOMIC_RELAXED);
}

/* ---- segment access ---------------------------------------------------------- */

/* Offset of ctx's segment. For the writer, a write anywhere but right after
 * its previous one counts as a repositioning. The reads and writes take the
 * offset with them, so there is no seek that could fail. */
static int64_t
ox__rbuffer_fseek(ox_rbuffer *r, ox_rbuffer_ctx *ctx)
{
	int64_t off = seg_offset(ctx->ptr.seg_id);
	if (ctx == &r->wctx && off != r->wnext_off[ctx->ptr.fidx]) {
		RB_TRACE(r, ox_debug, "Offset did not match cur=%d, to=%d", (int)r->wnext_off[ctx->ptr.fidx], (int)off);
		stat_add(&r->fseek_stat, 1);
	}
	return off;
}

/* Reads the segment at p and checks it against the generation it must carry.
 * With `direct`, which has room for `room` bytes, only records p.rec_id on
 * are read, into direct, and the rest of the segment after the records
 * (unused bytes and trailer) into out: out's data is then not the segment's.
 * One plain read serves when direct has room for that rest too. */
static seg_state
read_seg(const ox_rbuffer *r, int fd, const ox_rbuffer_ptr &p, int16_t expect, ox_rbuffer_seg *out,
		char *direct = NULL, uint64_t room = 0)
{
	ssize_t n, want = (ssize_t)sizeof(*out);
	if (!direct) {
		n = pread_full(fd, out, sizeof(*out), seg_offset(p.seg_id));
	} else {
		const uint64_t rs = r->chdr.rec_size, used = r->max_recs * rs, recs = used - p.rec_id * rs;
		const size_t tail = sizeof(*out) - (size_t)used;
		const int64_t off = seg_offset(p.seg_id) + (int64_t)(p.rec_id * rs);
		want = (ssize_t)(recs + tail);
		if (room >= recs + tail) {
			n = pread_full(fd, direct, recs + tail, off);
			if (n == want)
				memcpy(out->data + used, direct + recs, tail);
		} else {
			struct iovec iov[2] = {{direct, (size_t)recs}, {out->data + used, tail}};
			n = piov_full(fd, iov, 2, off, false);
		}
	}
	seg_state s = SEG_OK;
	if (n < 0)
		s = SEG_IOERR;
	else if (n != want)
		s = SEG_SHORT;
	else if (out->magic != RBUFFER_SEG_MAGIC || out->num_recs > r->max_recs)
		s = SEG_BADMAGIC;
	else if (gen_cmp(out->version, expect) < 0)
		s = SEG_STALE;
	else if (gen_cmp(out->version, expect) > 0)
		s = SEG_NEWER;
	if (s != SEG_OK) {
		out->magic = 0;
		out->num_recs = 0;
	}
	return s;
}

/* Reads ctx's segment into its cache; with `direct` (room bytes), its
 * records from ctx's index on go there instead, and the cache keeps only the
 * trailer: its magic is cleared once the caller has taken the count. Buffer
 * lock taken (recursively). */
static seg_state
ox__rbuffer_fread(ox_rbuffer *r, ox_rbuffer_ctx *ctx, char *direct = NULL, uint64_t room = 0)
{
	hold bl(&r->mlock);
	int64_t off = ox__rbuffer_fseek(r, ctx);
	int err = 0;
	seg_state s = read_seg(r, ctx->fd[ctx->ptr.fidx], ctx->ptr, ctx->version, &ctx->buf, direct, room);
	if (s == SEG_IOERR)
		err = errno;
	/* In the writer's segment only what the writer has on disk counts: the
	 * file may still hold an older log's records of the same generation.
	 * Reads and seeks both count from here. */
	if (s == SEG_OK && ctx != &r->wctx && same_seg(ctx->ptr, r->wctx.ptr) && ctx->buf.num_recs > r->wdisk.rec_id)
		ctx->buf.num_recs = (uint8_t)r->wdisk.rec_id;
	switch (s) {
	case SEG_OK:
		RB_TRACE(r, ox_detail,
				"Read [file:%d offset:%d seg_id:%ld max_recs:%d num_recs:%d rec_id:%ld size:%d] %d",
				ctx->ptr.fidx, (int)off, (long)ctx->ptr.seg_id, (int)r->max_recs, ctx->buf.num_recs,
				(long)ctx->ptr.rec_id, RBUFFER_SEG_SIZE, ctx->buf.magic);
		stat_add(&r->fread_stat, 1);
		break;
	case SEG_IOERR:
	case SEG_SHORT:
		RB_TRACE(r, ox_warning, "Fread failed with error %d %d", err, s == SEG_SHORT);
		break;
	case SEG_BADMAGIC:
		RB_TRACE(r, ox_debug, "Read Buffer with Bad Magic %d", ctx->buf.magic);
		ox_rbuffer_log(r, OX_DEBUG);
		break;
	case SEG_STALE:
	case SEG_NEWER:
		RB_TRACE(r, ox_debug, "Read context at the invalid version");
		break;
	}
	return s;
}

/* Moves p (generation v) n segments forward; never past the writer, never
 * onto the start. Buffer lock held. */
static bool
step_fwd(const ox_rbuffer *r, ox_rbuffer_ptr *p, int16_t *v, uint64_t n)
{
	if (n == 0 || n > r->total_segs || same_seg(*p, r->wctx.ptr))
		return false;
	ox_rbuffer_ptr q = *p;
	int16_t qv = *v;
	for (uint64_t i = 1; i <= n; i++) {
		next_seg(r, &q);
		if (at_origin(q))
			qv = gen_add(qv, 1);
		if (same_seg(q, r->chdr.sptr))
			return false;
		if (same_seg(q, r->wctx.ptr) && i != n)
			return false;
	}
	*p = make_ptr(q.fidx, q.seg_id, 0);
	*v = qv;
	return true;
}

/* Moves p n segments back; never before the start, never onto the writer. */
static bool
step_back(const ox_rbuffer *r, ox_rbuffer_ptr *p, int16_t *v, uint64_t n)
{
	if (n == 0 || n > r->total_segs || same_seg(*p, r->chdr.sptr))
		return false;
	ox_rbuffer_ptr q = *p;
	int16_t qv = *v;
	for (uint64_t i = 1; i <= n; i++) {
		if (at_origin(q))
			qv = gen_add(qv, -1);
		prev_seg(r, &q);
		if (same_seg(q, r->wctx.ptr))
			return false;
		if (same_seg(q, r->chdr.sptr) && i != n)
			return false;
	}
	*p = make_ptr(q.fidx, q.seg_id, 0);
	*v = qv;
	return true;
}

/* Moves a reader context by whole segments. Buffer lock held. */
static uint64_t
ox__rbuffer_rseek(ox_rbuffer *r, ox_rbuffer_ctx *ctx, uint64_t num_seg, bool forward)
{
	ox_rbuffer_ptr old = ctx->ptr;
	bool ok = forward ? step_fwd(r, &ctx->ptr, &ctx->version, num_seg)
			  : step_back(r, &ctx->ptr, &ctx->version, num_seg);
	ox__rbuffer_sanity(r);
	if (!ok)
		return 0;
	RB_TRACE(r, ox_debug, "Read seek from [%d:%ld] to [%d:%ld] sptr [%d:%ld] wctx [%d:%ld]", old.fidx,
			(long)old.seg_id, ctx->ptr.fidx, (long)ctx->ptr.seg_id, r->chdr.sptr.fidx,
			(long)r->chdr.sptr.seg_id, r->wctx.ptr.fidx, (long)r->wctx.ptr.seg_id);
	return num_seg;
}

/* ---- persistence -------------------------------------------------------------- */

int
ox_rbuffer_persist(ox_rbuffer *r)
{
	if (tracing(r))
		ox_debug(OX_RBUFFER, "Stats [%ld:%ld:%ld:%ld:%ld]", (long)ox_atomic64_get(&r->read_stat),
				(long)ox_atomic64_get(&r->write_stat), (long)ox_atomic64_get(&r->fwrite_stat),
				(long)ox_atomic64_get(&r->fread_stat), (long)ox_atomic64_get(&r->fseek_stat));
	hold bl(&r->mlock);
	/* Only what is on disk: the writer's records count once its segment write
	 * has returned. */
	r->chdr.rptr = r->rctx.ptr;
	r->chdr.wptr = r->wdisk;
	r->chdr.flag = flags_of(r);
	if (!(flags_of(r) & RBUFFER_FLAG_PERSIST))
		return 0;
	unsigned char img[RBUFFER_META_SIZE];
	memcpy(img, &r->chdr, sizeof(r->chdr));
	for (uint8_t i = 0; i < r->chdr.nfiles; i++) {
		unsigned char *h = img + RBUFFER_HDR_OFFSET;
		memcpy(h, &r->hdr[i], offsetof(ox_rbuffer_hdr, udata));
		for (int w = 0; w < RBUFFER_NUM_UDATA; w++) {
			uint64_t v = ox_atomic64_get(&r->hdr[i].udata[w]);
			memcpy(h + offsetof(ox_rbuffer_hdr, udata) + (size_t)w * sizeof(v), &v, sizeof(v));
		}
		ssize_t n = pwrite_full(r->mfd[i], img, sizeof(img), 0);
		if (n != (ssize_t)sizeof(img)) {
			ox_warning(OX_RBUFFER, n < RBUFFER_HDR_OFFSET ? "Ring buffer Common Header Persist failed"
								     : "Ring buffer File Header Persist failed");
			ox_rbuffer_log(r, OX_WARNING);
			return -1;
		}
		stat_add(&r->fwmeta_stat, 2);
	}
	return 0;
}

/* ---- writing ----------------------------------------------------------------------- */

/* Writes the writer's segment with its trailer. With `src`, the records from
 * index `from` up to the writer's index are src's, not the cache's: the
 * bytes written are those the cache would hold after copying them. Writer
 * lock held. */
static bool
ox__rbuffer_fwrite(ox_rbuffer *r, const char *src = NULL, uint64_t from = 0, bool flush = false)
{
	hold bl(&r->mlock);
	ox_rbuffer_ctx *w = &r->wctx;
	w->buf.num_recs = (uint8_t)w->ptr.rec_id;
	w->buf.version = r->chdr.version;
	w->buf.magic = RBUFFER_SEG_MAGIC;
	int64_t off = ox__rbuffer_fseek(r, w);
	ssize_t n;
	if (!src) {
		n = pwrite_full(r->wfd[w->ptr.fidx], &w->buf, sizeof(w->buf), off);
	} else {
		const uint64_t rs = r->chdr.rec_size, end = w->ptr.rec_id * rs;
		struct iovec iov[3] = {{w->buf.data, (size_t)(from * rs)}, {(void *)src, (size_t)(end - from * rs)},
				{w->buf.data + end, sizeof(w->buf) - (size_t)end}};
		int skip = from == 0 ? 1 : 0; /* no cached head */
		n = piov_full(r->wfd[w->ptr.fidx], iov + skip, 3 - skip, off, true);
	}
	if (n != (ssize_t)sizeof(w->buf)) {
		RB_TRACE(r, ox_warning, "Segment write failed at [%d:%ld]: %s", w->ptr.fidx, (long)w->ptr.seg_id,
				n < 0 ? ox_strerror(errno) : "short write");
		r->wnext_off[w->ptr.fidx] = -1;
		return false;
	}
	if (flush)
		RB_TRACE(r, ox_debug, "Write [file:%d offset:%d seg_id:%ld rec_id:%d size:%d:version:%d] %d",
				w->ptr.fidx, (int)off, (long)w->ptr.seg_id, w->buf.num_recs, RBUFFER_SEG_SIZE,
				w->buf.version, w->buf.magic);
	else
		RB_TRACE(r, ox_debug,
				"Write [file:%d offset:%d seg_id:%ld max_recs:%d, num_recs:%d, rec_id:%ld size:%d:version:%d] %d",
				w->ptr.fidx, (int)off, (long)w->ptr.seg_id, (int)r->max_recs, w->buf.num_recs,
				(long)w->ptr.rec_id, RBUFFER_SEG_SIZE, w->buf.version, w->buf.magic);
	r->wnext_off[w->ptr.fidx] = off + RBUFFER_SEG_SIZE;
	stat_add(&r->fwrite_stat, 1);
	r->batch_pos = 0;
	r->wdisk = make_ptr(w->ptr.fidx, w->ptr.seg_id, w->ptr.rec_id);
	return true;
}

/* Moves the start 5 segments on, for the writer that reached it. With
 * overwrite a main reader standing on a dropped segment is pushed to the new
 * start and its unread records are counted as lost. Buffer lock held. */
static bool
ox__rbuffer_startseek(ox_rbuffer *r, int mode)
{
	bool ow = (flags_of(r) & RBUFFER_FLAG_OVERWRITE) != 0;
	ox_rbuffer_ctx *rc = &r->rctx;
	ox_rbuffer_ptr &s = r->chdr.sptr;
	if (mode == RBUFFER_FLAG_OVERWRITE_READ && !ow)
		return false;
	if (!ow && same_seg(s, rc->ptr)) {
		ox__rbuffer_sanity(r);
		return false;
	}
	ox__rbuffer_sanity(r);
	ox_rbuffer_ptr q = s;
	int dropped_at = -1;
	for (int i = 0; i < RBUFFER_FLAG_OVERWRITE_CHUNK; i++) {
		if (same_seg(q, rc->ptr))
			dropped_at = i;
		next_seg(r, &q);
		if ((!ow && same_seg(q, rc->ptr)) || same_seg(q, s) || same_seg(q, r->wctx.ptr)) {
			ox__rbuffer_sanity(r);
			return false;
		}
	}
	RB_TRACE(r, ox_debug, "Moved [sptr::rptr] from [%d:%ld::%d:%ld] to ", s.fidx, (long)s.seg_id,
			r->chdr.rptr.fidx, (long)r->chdr.rptr.seg_id);
	s.fidx = q.fidx;
	s.seg_id = q.seg_id;
	if (dropped_at >= 0) {
		uint64_t rec = rc->ptr.rec_id < r->max_recs ? rc->ptr.rec_id : r->max_recs;
		uint64_t lost = (uint64_t)(RBUFFER_FLAG_OVERWRITE_CHUNK - dropped_at) * r->max_recs - rec;
		ox_warning(OX_RBUFFER, "Overwrite moved the start past the main reader at [%d:%ld:%ld]: %lu records not read",
				rc->ptr.fidx, (long)rc->ptr.seg_id, (long)rc->ptr.rec_id, (unsigned long)lost);
		rc->ptr = make_ptr(q.fidx, q.seg_id, 0);
		rc->version = turn_of(r, q);
		rc->flag &= (uint8_t)~RBUFFER_CTX_FLAG_NEEDSEEK;
		invalidate(rc);
		stat_add(&r->lost_stat, lost);
	}
	/* The writer persists right after its advance, before it writes into the
	 * segments freed here. */
	RB_TRACE(r, ox_debug, "[%d:%ld] rptr [%d:%ld] wctx [%d:%ld] rctx [%d:%ld] mode:%d ", s.fidx, (long)s.seg_id,
			r->chdr.rptr.fidx, (long)r->chdr.rptr.seg_id, r->wctx.ptr.fidx, (long)r->wctx.ptr.seg_id,
			rc->ptr.fidx, (long)rc->ptr.seg_id, mode);
	ox__rbuffer_sanity(r);
	ox_atomic64_add(&runtime_reclaim, (int64_t)(RBUFFER_FLAG_OVERWRITE_CHUNK * r->max_recs));
	return true;
}

/* Moves the writer to its next segment, freeing room first. Writer lock held. */
static bool
ox__rbuffer_wseek(ox_rbuffer *r)
{
	hold bl(&r->mlock);
	ox_rbuffer_ctx *w = &r->wctx;
	for (;;) {
		ox_rbuffer_ptr nxt = w->ptr;
		next_seg(r, &nxt);
		if (same_seg(nxt, r->rctx.ptr)) {
			if (!ox__rbuffer_startseek(r, RBUFFER_FLAG_OVERWRITE_READ))
				return false;
			continue;
		}
		if (same_seg(nxt, r->chdr.sptr)) {
			if (!ox__rbuffer_startseek(r, RBUFFER_FLAG_OVERWRITE_BUFHEAD))
				return false;
			continue;
		}
		RB_TRACE(r, ox_debug, "Write seek from [%d:%ld]", w->ptr.fidx, (long)w->ptr.seg_id);
		w->ptr = make_ptr(nxt.fidx, nxt.seg_id, 0);
		/* The new segment starts all zero: only bytes that may be set are cleared. */
		const uint64_t used = r->max_recs * r->chdr.rec_size;
		memset(w->buf.data, 0, r->wdirty);
		memset(w->buf.data + used, 0, sizeof(w->buf) - used);
		r->wdirty = 0;
		r->wdisk = w->ptr;
		RB_TRACE(r, ox_debug, " to [%d:%ld] @ sptr [%d:%ld] rctx [%d:%ld:%ld]", w->ptr.fidx, (long)w->ptr.seg_id,
				r->chdr.sptr.fidx, (long)r->chdr.sptr.seg_id, r->rctx.ptr.fidx, (long)r->rctx.ptr.seg_id,
				(long)r->rctx.ptr.rec_id);
		ox__rbuffer_sanity(r);
		if (at_origin(w->ptr)) {
			r->chdr.version = gen_add(r->chdr.version, 1);
			w->version = r->chdr.version;
			RB_TRACE(r, ox_debug, "Increment version %ld %ld to %d", 0L, (long)r->hdr[0].sseg.seg_id,
					r->chdr.version);
		}
		return true;
	}
}

static inline void
run_hook(ox_rbuffer *r, int point)
{
	ox_rbuffer_hook_fn fn = ox__rbuffer_test_hook;
	if (fn)
		fn(r, point);
}

int
ox_rbuffer_write(ox_rbuffer *r, const char *buf, int numrecs)
{
	ox_rbuffer_ctx *w = &r->wctx;
	hold wl(&w->lock);
	if (w->flag & RBUFFER_CTX_FLAG_NEEDSEEK) {
		if (!ox__rbuffer_wseek(r))
			return -1;
		w->flag &= (uint8_t)~RBUFFER_CTX_FLAG_NEEDSEEK;
		run_hook(r, RBUFFER_HOOK_AFTER_ADVANCE);
		ox_rbuffer_persist(r);
	}
	const uint64_t M = r->max_recs;
	const uint64_t rs = r->chdr.rec_size;
	const uint64_t batch = ox_atomic64_get(&r->batch_size);
	int done = 0, stored = 0;
	bool failed = false;
	while (done < numrecs) {
		uint64_t n = (uint64_t)(numrecs - done);
		const uint64_t from = w->ptr.rec_id;
		if (n > M - from)
			n = M - from;
		const char *src = buf + (uint64_t)done * rs;
		RB_TRACE(r, ox_debug, "Wrote %d:%ld:%ld", w->ptr.fidx, (long)w->ptr.seg_id, (long)from);
		/* A segment that this call fills is left for the next one at once:
		 * its records go to the file from the caller's buffer. Others are
		 * kept in the cache for the calls that fill them further. */
		bool full = from + n == M;
		if (!full) {
			memcpy(w->buf.data + from * rs, src, n * rs);
			if (r->wdirty < (from + n) * rs)
				r->wdirty = (from + n) * rs;
		}
		w->ptr.rec_id += n;
		r->batch_pos += n;
		done += (int)n;
		if (!full && r->batch_pos != batch && done < numrecs)
			continue;
		/* The segment write, the advance and the persist take the buffer
		 * lock each; held across them, their takings are only counted. */
		hold bl(&r->mlock);
		run_hook(r, RBUFFER_HOOK_BEFORE_SEGWRITE);
		if (!ox__rbuffer_fwrite(r, full ? src : NULL, from)) {
			/* What is not on disk is not in the buffer: the caller writes it
			 * again, and the cache holds nothing after what is on disk. */
			w->ptr.rec_id = r->wdisk.rec_id;
			uint64_t kept = r->wdisk.rec_id * rs;
			if (r->wdirty > kept) {
				memset(w->buf.data + kept, 0, r->wdirty - kept);
				r->wdirty = kept;
			}
			r->batch_pos = 0;
			failed = true;
			break;
		}
		stored = done;
		run_hook(r, RBUFFER_HOOK_AFTER_SEGWRITE);
		if (full && !ox__rbuffer_wseek(r)) {
			/* Stuck on the full segment: the cache takes its records, for
			 * a flush that writes it again. */
			memcpy(w->buf.data + from * rs, src, n * rs);
			r->wdirty = M * rs;
			w->flag |= RBUFFER_CTX_FLAG_NEEDSEEK;
			ox_rbuffer_persist(r);
			break;
		}
		if (full)
			run_hook(r, RBUFFER_HOOK_AFTER_ADVANCE);
		ox_rbuffer_persist(r);
	}
	RB_TRACE(r, ox_debug, "Wrote upto %d:%ld:%ld total %ld", w->ptr.fidx, (long)w->ptr.seg_id,
			(long)w->ptr.rec_id, (long)stored);
	stat_add(&r->write_stat, (uint64_t)stored);
	if (failed && stored == 0)
		return -1;
	return stored;
}

bool
ox_rbuffer_fflush(ox_rbuffer *r)
{
	hold wl(&r->wctx.lock);
	if (r->wctx.ptr.rec_id == 0)
		return true;
	return ox__rbuffer_fwrite(r, NULL, 0, true);
}

/* ---- reading ------------------------------------------------------------------------ */

int
ox_rbuffer_read(ox_rbuffer *r, ox_rbuffer_ctx *ctx, char *buf, int numrecs)
{
	bool main_reader = ctx == NULL || ctx == &r->rctx;
	if (!ctx)
		ctx = &r->rctx;
	if (numrecs <= 0)
		return 0;
	const uint64_t M = r->max_recs;
	const uint64_t rs = r->chdr.rec_size;
	const char *label = main_reader ? "Internal" : "Contextual";
	hold cl(&ctx->lock);
	int got = 0;
	int stop = RBUFFER_READ_HITS_WRITE;
	while (got < numrecs) {
		hold bl(&r->mlock);
		if (!main_reader && behind_start(r, ctx->version, ctx->ptr)) {
			RB_TRACE(r, ox_debug, "Version Mismatch %d:%d:%ld", ctx->version, ctx->buf.version,
					(long)ctx->ptr.seg_id);
			invalidate(ctx);
			stop = RBUFFER_SEG_VERSION_MISMATCH;
			break;
		}
		if (ctx->ptr.rec_id >= M || (ctx->flag & RBUFFER_CTX_FLAG_NEEDSEEK)) {
			if (!ox__rbuffer_rseek(r, ctx, 1, true)) {
				ctx->flag |= RBUFFER_CTX_FLAG_NEEDSEEK;
				stop = RBUFFER_READ_HITS_WRITE;
				break;
			}
			ctx->flag &= (uint8_t)~RBUFFER_CTX_FLAG_NEEDSEEK;
			invalidate(ctx);
		}
		bool at_writer = same_seg(ctx->ptr, r->wctx.ptr);
		if (at_writer && ctx->ptr.rec_id >= r->wdisk.rec_id) {
			/* Caught up: whatever the file holds there (never written, an
			 * older turn) is not the writer's yet. */
			stop = RBUFFER_READ_HITS_WRITE;
			break;
		}
		bool in_place = false;
		if (ctx->buf.magic != RBUFFER_SEG_MAGIC || ctx->ptr.rec_id >= ctx->buf.num_recs) {
			/* The rest of the segment is wanted: it goes straight into the
			 * caller's buffer, and the cache keeps nothing. */
			const uint64_t room = (uint64_t)(numrecs - got) * rs;
			char *direct = room >= (M - ctx->ptr.rec_id) * rs ? buf + (uint64_t)got * rs : NULL;
			seg_state s = ox__rbuffer_fread(r, ctx, direct, room);
			if (direct)
				ctx->buf.magic = 0; /* only the count and the trailer are the segment's */
			if (s == SEG_OK && ctx->ptr.rec_id < ctx->buf.num_recs) {
				in_place = direct != NULL; /* else the records to copy are cached */
			} else if (at_writer || s == SEG_IOERR) {
				if (s == SEG_OK || s == SEG_STALE)
					stop = RBUFFER_READ_HITS_WRITE; /* the writer has not written more yet */
				else if (s == SEG_BADMAGIC)
					stop = RBUFFER_SEG_BAD_MAGIC;
				else if (s == SEG_NEWER)
					stop = RBUFFER_SEG_VERSION_MISMATCH;
				else
					stop = RBUFFER_FILE_SYSTEM_ERROR;
				break;
			} else {
				/* A segment behind the writer that cannot be read (or ends
				 * early) would stop the reader for good: pass over it. */
				uint64_t from = ctx->ptr.rec_id > ctx->buf.num_recs ? ctx->ptr.rec_id : ctx->buf.num_recs;
				uint64_t lost = from < M ? M - from : 0;
				ox_warning(OX_RBUFFER, "Digest log segment [%d:%ld] has %s: %s read passes over %lu records",
						ctx->ptr.fidx, (long)ctx->ptr.seg_id,
						s == SEG_OK ? "fewer records than it should" : seg_state_name[s], label,
						(unsigned long)lost);
				if (main_reader)
					stat_add(&r->lost_stat, lost);
				ctx->ptr.rec_id = M;
				invalidate(ctx);
				continue;
			}
		}
		uint64_t k = (uint64_t)(numrecs - got);
		if (k > ctx->buf.num_recs - ctx->ptr.rec_id)
			k = ctx->buf.num_recs - ctx->ptr.rec_id;
		if (!in_place)
			memcpy(buf + (uint64_t)got * rs, ctx->buf.data + ctx->ptr.rec_id * rs, k * rs);
		RB_TRACE(r, ox_debug, "%s Read [%d:%ld:%ld] max_recs:%d total:%d count:%d", label, ctx->ptr.fidx,
				(long)ctx->ptr.seg_id, (long)ctx->ptr.rec_id, (int)M, (int)(numrecs - got - (int)k), (int)k);
		ctx->ptr.rec_id += k;
		got += (int)k;
	}
	stat_add(&r->read_stat, (uint64_t)got);
	if (got > 0)
		return got;
	if (stop == RBUFFER_FILE_SYSTEM_ERROR || stop == RBUFFER_SEG_BAD_MAGIC)
		ox_rbuffer_log(r, OX_WARNING);
	return stop;
}

/* Places ctx at the writer (whence 2) or the start. Both locks held. */
static void
place_ctx(ox_rbuffer *r, ox_rbuffer_ctx *c, int whence)
{
	/* The version is the position's turn of the ring, not 0: so the context
	 * sees when the writer overwrites the records under it, not reads them. */
	if (whence == 2) {
		c->ptr = r->wdisk;
		c->version = r->chdr.version;
	} else {
		c->ptr = r->chdr.sptr;
		c->version = turn_of(r, r->chdr.sptr);
	}
	memset(&c->buf, 0, sizeof(c->buf));
	c->flag &= (uint8_t)~RBUFFER_CTX_FLAG_NEEDSEEK;
}

void
ox_rbuffer_closectx(ox_rbuffer_ctx *ctx)
{
	if (!ctx)
		return;
	pthread_mutex_destroy(&ctx->lock);
	for (int i = 0; i < RBUFFER_MAX_FILES; i++)
		if (ctx->fd[i] >= 0)
			close(ctx->fd[i]);
	ox_free(ctx);
}

ox_rbuffer_ctx *
ox_rbuffer_getsetctx(ox_rbuffer *r, ox_rbuffer_ctx *ctx, int whence)
{
	if (ctx) {
		if (whence == 1)
			return ctx;
		hold cl(&ctx->lock);
		hold bl(&r->mlock);
		place_ctx(r, ctx, whence);
		return ctx;
	}
	ctx = (ox_rbuffer_ctx *)ox_malloc(sizeof(*ctx));
	if (!ctx)
		return NULL;
	memset(ctx, 0, sizeof(*ctx));
	for (int i = 0; i < RBUFFER_MAX_FILES; i++)
		ctx->fd[i] = -1;
	pthread_mutex_init(&ctx->lock, NULL);
	hold bl(&r->mlock);
	for (uint8_t i = 0; i < r->chdr.nfiles; i++) {
		ctx->fd[i] = open(r->hdr[i].fname, O_RDONLY | O_CLOEXEC);
		if (ctx->fd[i] < 0) {
			ox_warning(OX_RBUFFER, "Failed to open the digest log file %s for caching context: %s",
					r->hdr[i].fname, ox_strerror(errno));
			ox_rbuffer_closectx(ctx);
			return NULL;
		}
	}
	place_ctx(r, ctx, whence);
	ctx->flag = RBUFFER_CTX_FLAG_SEARCH;
	return ctx;
}

uint64_t
ox_rbuffer_ctx_tostart(ox_rbuffer *r, ox_rbuffer_ctx *ctx)
{
	hold cl(&ctx->lock);
	hold bl(&r->mlock);
	uint64_t passed = 0;
	if (behind_start(r, ctx->version, ctx->ptr)) {
		/* Each turn of the ring raises the generation: a position's place in
		 * the whole stream is its turn times the ring plus its place in it. */
		const ox_rbuffer_ptr &s = r->chdr.sptr;
		int64_t turns = gen_cmp(turn_of(r, s), ctx->version);
		int64_t segs = turns * (int64_t)r->total_segs + (int64_t)ring_pos(r, s) - (int64_t)ring_pos(r, ctx->ptr);
		int64_t recs = segs * (int64_t)r->max_recs + (int64_t)s.rec_id - (int64_t)ctx->ptr.rec_id;
		passed = recs > 0 ? (uint64_t)recs : 0;
	}
	place_ctx(r, ctx, 0);
	return passed;
}

void
ox_rbuffer_prctx(ox_rbuffer_ctx *ctx)
{
	if (!ctx)
		return;
	hold cl(&ctx->lock);
	ox_detail(OX_RBUFFER, "%d %d [%d %ld %ld] ", ctx->flag, ctx->version, ctx->ptr.fidx, (long)ctx->ptr.seg_id,
			(long)ctx->ptr.rec_id);
}

int
ox_rbuffer_seek(ox_rbuffer *r, ox_rbuffer_ctx *ctx, int num_recs, int whence)
{
	ox_rbuffer_ctx *c = ctx ? ctx : &r->rctx;
	hold cl(&c->lock);
	hold bl(&r->mlock);
	if (ctx) {
		if (whence != 1)
			place_ctx(r, c, whence);
		seg_state s = ox__rbuffer_fread(r, c);
		if (behind_start(r, c->version, c->ptr) || s == SEG_NEWER)
			return -1;
	}
	const uint64_t M = r->max_recs;
	bool forward = num_recs > 0;
	uint64_t mag = num_recs < 0 ? (uint64_t)(-(int64_t)num_recs) : (uint64_t)num_recs;
	uint64_t b = c->ptr.rec_id;
	uint64_t moved = 0;
	bool ok = true;
	bool lead = false; /* the failed forward move traces with a leading space */
	RB_TRACE(r, ox_debug, "%d move %d with max(%d) from %ld:%ld ", forward ? 1 : 0, (int)mag, (int)M,
			(long)c->ptr.seg_id, (long)b);
	auto count = [&]() -> uint64_t { return c->buf.magic == RBUFFER_SEG_MAGIC ? c->buf.num_recs : 0; };
	if (forward && b + mag <= M) {
		uint64_t t = b + mag;
		if (t > count())
			ox__rbuffer_fread(r, c);
		if (t > count())
			ok = false;
		else
			c->ptr.rec_id = t;
	} else if (forward) {
		uint64_t k = (b + mag) / M, rr = (b + mag) % M;
		moved = k;
		if (ox__rbuffer_rseek(r, c, k, true) == 0) {
			ok = false;
			lead = true;
		} else {
			ox__rbuffer_fread(r, c);
			if (rr > count()) {
				ox__rbuffer_rseek(r, c, k, false);
				c->ptr.rec_id = b;
				ok = false;
			} else {
				c->ptr.rec_id = rr;
			}
		}
	} else if (b >= mag) {
		c->ptr.rec_id = b - mag;
	} else {
		/* An exact multiple of the segment size lands on record 0, not on
		 * the end of the segment before it: that one step further back would
		 * fail a move onto the first record of the start's segment. */
		uint64_t d = mag - b;
		uint64_t k = d / M, rr = d % M;
		if (rr != 0) {
			k += 1;
			rr = M - rr;
		}
		moved = k;
		if (ox__rbuffer_rseek(r, c, k, false) == 0)
			ok = false;
		else
			c->ptr.rec_id = rr;
	}
	invalidate(c);
	if (!ok) {
		RB_TRACE(r, ox_debug, lead ? " gives %ld and reaches nowhere" : "gives %ld and reaches nowhere",
				(long)moved);
		return 0;
	}
	c->flag &= (uint8_t)~RBUFFER_CTX_FLAG_NEEDSEEK;
	RB_TRACE(r, ox_debug, "gives %ld and reaches %ld:%ld", (long)moved, (long)c->ptr.seg_id, (long)c->ptr.rec_id);
	return (int)mag;
}

uint64_t
ox_rbuffer_outstanding(ox_rbuffer *r)
{
	hold bl(&r->mlock);
	ox_rbuffer_ptr p = r->rctx.ptr;
	int16_t v = r->rctx.version;
	uint64_t k = 0;
	while (k < r->total_segs && step_fwd(r, &p, &v, 1))
		k++;
	uint64_t ahead = k * r->max_recs + r->wdisk.rec_id;
	return ahead > r->rctx.ptr.rec_id ? ahead - r->rctx.ptr.rec_id : 0;
}

/* ---- start-up modes and reclaim ------------------------------------------------------ */

void
ox_rbuffer_setfailover(ox_rbuffer *r)
{
	hold bl(&r->mlock);
	r->chdr.sptr.rec_id = 0;
	r->rctx.ptr = make_ptr(r->chdr.sptr.fidx, r->chdr.sptr.seg_id, 0);
	r->rctx.version = turn_of(r, r->chdr.sptr);
	r->rctx.flag &= (uint8_t)~RBUFFER_CTX_FLAG_NEEDSEEK;
	invalidate(&r->rctx);
}

void
ox_rbuffer_setnofailover(ox_rbuffer *r)
{
	hold bl(&r->mlock);
	r->chdr.sptr = make_ptr(r->rctx.ptr.fidx, r->rctx.ptr.seg_id, 0);
	r->rctx.ptr.rec_id = 0;
	r->rctx.flag &= (uint8_t)~RBUFFER_CTX_FLAG_NEEDSEEK;
	invalidate(&r->rctx);
}

void
ox_rbuffer_setnoresume(ox_rbuffer *r)
{
	hold bl(&r->mlock);
	r->rctx.ptr = r->wdisk;
	r->chdr.sptr = r->wdisk;
	r->rctx.version = r->chdr.version;
	r->rctx.flag &= (uint8_t)~RBUFFER_CTX_FLAG_NEEDSEEK;
	invalidate(&r->rctx);
}

uint64_t
ox_rbuffer_setstart(ox_rbuffer *r, ox_rbuffer_ctx *ctx)
{
	hold bl(&r->mlock);
	ox_rbuffer_ptr &s = r->chdr.sptr;
	const ox_rbuffer_ptr &rd = r->rctx.ptr;
	const ox_rbuffer_ptr &w = r->wctx.ptr;
	if (!ctx || same_seg(s, ctx->ptr) || same_seg(s, rd) || same_seg(s, w))
		return 0;
	/* A context already before the start asks for nothing more. */
	if (behind_start(r, ctx->version, ctx->ptr))
		return 0;
	RB_TRACE(r, ox_debug, "Start: Start Reclaimed from [%d:%ld] to [%d:%ld]", s.fidx, (long)s.seg_id,
			ctx->ptr.fidx, (long)ctx->ptr.seg_id);
	ox__rbuffer_sanity(r);
	ox_rbuffer_ptr p = s;
	uint64_t steps = 0;
	for (;;) {
		next_seg(r, &p);
		steps++;
		if (same_seg(p, rd))
			break;
		if (same_seg(p, s) || same_seg(p, w) || steps > r->total_segs)
			return 0;
		if (same_seg(p, ctx->ptr))
			break;
	}
	RB_TRACE(r, ox_debug, "End: Start Reclaimed from [%d:%ld] to [%d:%ld]", s.fidx, (long)s.seg_id,
			ctx->ptr.fidx, (long)ctx->ptr.seg_id);
	s = make_ptr(p.fidx, p.seg_id, 0);
	return steps * r->max_recs;
}

/* ---- opening and close ------------------------------------------------------------------ */

static void
unregister_open(ox_rbuffer *r)
{
	hold g(&g_open_lock);
	for (ox_rbuffer **pp = &g_open_list; *pp; pp = &(*pp)->open_next) {
		if (*pp == r) {
			*pp = r->open_next;
			break;
		}
	}
}

/* Links r into the list of open buffers unless one of its files is open in
 * another buffer already; *clash is then the index of r's file. A buffer on
 * the list may still be reading its headers: only the identities and the
 * file count written before it joined are looked at. */
static bool
register_open(ox_rbuffer *r, uint8_t nfiles, int *clash)
{
	hold g(&g_open_lock);
	for (ox_rbuffer *o = g_open_list; o; o = o->open_next)
		for (uint8_t i = 0; i < nfiles; i++)
			for (uint8_t j = 0; j < o->open_nfiles; j++)
				if (o->dev[j] == r->dev[i] && o->ino[j] == r->ino[i]) {
					*clash = i;
					return false;
				}
	r->open_nfiles = nfiles;
	r->open_next = g_open_list;
	g_open_list = r;
	return true;
}

static void
ox__rbuffer_free(ox_rbuffer *r)
{
	unregister_open(r);
	for (int i = 0; i < RBUFFER_MAX_FILES; i++)
		if (r->wfd[i] >= 0)
			close(r->wfd[i]);
	pthread_mutex_destroy(&r->wctx.lock);
	pthread_mutex_destroy(&r->rctx.lock);
	pthread_mutex_destroy(&r->mlock);
	memset((void *)r, 0, sizeof(*r));
	r->~ox_rbuffer();
	ox_free(r);
}

static bool
init_recursive(pthread_mutex_t *m)
{
	pthread_mutexattr_t a;
	pthread_mutexattr_init(&a);
	pthread_mutexattr_settype(&a, PTHREAD_MUTEX_RECURSIVE);
	int rc = pthread_mutex_init(m, &a);
	pthread_mutexattr_destroy(&a);
	return rc == 0;
}

static bool
ox__rbuffer_bootstrap(ox_rbuffer *r, const ox_rbuffer_config *rcfg)
{
	uint64_t sig = ox_get_rand64();
	memset(&r->chdr, 0, sizeof(r->chdr));
	r->chdr.magic = RBUFFER_FILE_MAGIC;
	r->chdr.signature = sig;
	r->chdr.seg_size = RBUFFER_SEG_DATASIZE;
	r->chdr.version = 1;
	r->chdr.rec_size = (uint16_t)rcfg->rec_size;
	r->chdr.nfiles = rcfg->nfiles;
	r->wctx.flag &= (uint8_t)~RBUFFER_CTX_FLAG_NEEDSEEK;
	for (uint8_t i = 0; i < rcfg->nfiles; i++) {
		memset(&r->hdr[i], 0, sizeof(r->hdr[i]));
		r->hdr[i].fidx = i;
		r->hdr[i].fsize = rcfg->fsize[i];
		if (rcfg->fsize[i] <= 2 * RBUFFER_SEG_DATASIZE) {
			ox_warning(OX_RBUFFER, "Too small file size %s cannot init ring buffer\n", rcfg->fname[i]);
			return false;
		}
	}
	return true;
}

static bool
valid_ptr(const ox_rbuffer *r, const ox_rbuffer_ptr &p, uint8_t nfiles)
{
	return p.fidx < nfiles && p.seg_id < r->nsegs[p.fidx] && p.rec_id <= r->max_recs;
}

/* Checks every stored field that the buffer will index or divide by. */
static bool
ox__rbuffer_check_headers(const ox_rbuffer *r, const ox_rbuffer_config *rcfg, const char *path)
{
	const ox_rbuffer_chdr &c = r->chdr;
	const char *why = NULL;
	char detail[160];
	if (c.seg_size != RBUFFER_SEG_DATASIZE) {
		snprintf(detail, sizeof(detail), "segment size %u, expected %u", c.seg_size, RBUFFER_SEG_DATASIZE);
		why = detail;
	} else if (c.rec_size != rcfg->rec_size) {
		snprintf(detail, sizeof(detail), "made for %u-byte records, not %lu", c.rec_size,
				(unsigned long)rcfg->rec_size);
		why = detail;
	} else if (c.nfiles < 1 || c.nfiles > RBUFFER_MAX_FILES) {
		snprintf(detail, sizeof(detail), "file count %u", c.nfiles);
		why = detail;
	}
	for (uint8_t i = 0; !why && i < rcfg->nfiles; i++) {
		const ox_rbuffer_hdr &h = r->hdr[i];
		if (memchr(h.fname, 0, sizeof(h.fname)) == NULL) {
			snprintf(detail, sizeof(detail), "file %u name is not terminated", i);
			why = detail;
		} else if (h.fidx != i) {
			snprintf(detail, sizeof(detail), "file %u header carries index %u", i, h.fidx);
			why = detail;
		}
	}
	if (!why) {
		const ox_rbuffer_ptr *ps[] = {&c.sptr, &c.rptr, &c.wptr};
		const char *names[] = {"start", "read", "write"};
		for (int k = 0; !why && k < 3; k++)
			if (!valid_ptr(r, *ps[k], rcfg->nfiles)) {
				snprintf(detail, sizeof(detail), "%s position [%u:%lu:%lu] is outside the ring", names[k],
						ps[k]->fidx, (unsigned long)ps[k]->seg_id, (unsigned long)ps[k]->rec_id);
				why = detail;
			}
	}
	if (!why) {
		uint64_t T = r->total_segs;
		uint64_t s = ring_pos(r, c.sptr);
		uint64_t dr = (ring_pos(r, c.rptr) + T - s) % T;
		uint64_t dw = (ring_pos(r, c.wptr) + T - s) % T;
		if (dr > dw || (dr == dw && c.rptr.rec_id > c.wptr.rec_id))
			why = "the read position lies outside the kept region";
	}
	if (why) {
		ox_warning(OX_RBUFFER, "Digest log file %s has a damaged header (%s): remove it or restore it", path, why);
		return false;
	}
	return true;
}

/* Sets the writer on its segment: its records are those on disk in the
 * current turn, taken from the trailers (never from a stale or damaged
 * segment, whose bytes would be handed out as records). */
static void
recover_writer(ox_rbuffer *r, bool loaded)
{
	ox_rbuffer_ctx *w = &r->wctx;
	const uint64_t M = r->max_recs;
	w->ptr = r->chdr.wptr;
	w->version = r->chdr.version;
	for (int i = 0; i < RBUFFER_MAX_FILES; i++)
		r->wnext_off[i] = RBUFFER_FILE_HEADER_SIZE;
	/* A new header starts an empty log, whatever an older one left. */
	r->wdirty = M * r->chdr.rec_size; /* whatever the file held */
	if (loaded && read_seg(r, r->wfd[w->ptr.fidx], w->ptr, w->version, &w->buf) == SEG_OK) {
		w->ptr.rec_id = w->buf.num_recs;
	} else {
		RB_TRACE(r, ox_debug, "Setting up write buffer failed");
		memset(&w->buf, 0, sizeof(w->buf));
		r->wdirty = 0;
		w->ptr.rec_id = 0;
	}
	/* A segment written after the last persist counts when it carries the
	 * generation it must carry. */
	while (w->ptr.rec_id == M) {
		ox_rbuffer_ptr nxt = w->ptr;
		next_seg(r, &nxt);
		if (same_seg(nxt, r->chdr.sptr) || same_seg(nxt, r->rctx.ptr))
			break;
		int16_t nv = at_origin(nxt) ? gen_add(r->chdr.version, 1) : r->chdr.version;
		ox_rbuffer_seg *tmp = (ox_rbuffer_seg *)ox_malloc(sizeof(ox_rbuffer_seg));
		if (!tmp)
			break;
		bool taken = read_seg(r, r->wfd[nxt.fidx], nxt, nv, tmp) == SEG_OK && tmp->num_recs > 0;
		if (taken) {
			memcpy(&w->buf, tmp, sizeof(*tmp));
			r->wdirty = M * r->chdr.rec_size;
			w->ptr = make_ptr(nxt.fidx, nxt.seg_id, tmp->num_recs);
			r->chdr.version = nv;
			w->version = nv;
		}
		ox_free(tmp);
		if (!taken)
			break;
	}
	r->wdisk = w->ptr;
}

static bool
ox__rbuffer_setup(ox_rbuffer *r, const ox_rbuffer_config *rcfg, bool loaded)
{
	uint8_t n = rcfg->nfiles;
	if (r->chdr.nfiles != n) {
		ox_info(OX_RBUFFER, "Number of log file changed from %d to %d", r->chdr.nfiles, n);
		r->chdr.nfiles = n;
	}
	for (uint8_t i = 0; i < n; i++) {
		ox_rbuffer_hdr &h = r->hdr[i];
		memset(h.fname, 0, sizeof(h.fname));
		memcpy(h.fname, rcfg->fname[i], strlen(rcfg->fname[i]));
		h.sseg = make_ptr(i, 0, 0);
		h.nseg = make_ptr((uint8_t)((i + 1) % n), 0, 0);
		uint8_t p = (uint8_t)((i + n - 1) % n);
		h.pseg = make_ptr(p, r->nsegs[p], 0);
	}
	uint8_t fl = 0;
	if (rcfg->overwrite)
		fl |= RBUFFER_FLAG_OVERWRITE;
	if (rcfg->persist)
		fl |= RBUFFER_FLAG_PERSIST;
	if (rcfg->trace)
		fl |= RBUFFER_FLAG_TRACE;
	__atomic_store_n(&r->flags, fl, __ATOMIC_RELAXED);
	for (int i = 0; i < RBUFFER_MAX_FILES; i++) {
		r->wctx.fd[i] = r->wfd[i];
		r->rctx.fd[i] = r->rfd[i];
	}
	r->wctx.flag = 0;
	r->rctx.flag = 0;
	r->rctx.ptr = r->chdr.rptr;
	recover_writer(r, loaded);
	/* The reader may not stand beyond what the writer really holds. */
	if (same_seg(r->rctx.ptr, r->wctx.ptr) && r->rctx.ptr.rec_id > r->wctx.ptr.rec_id)
		r->rctx.ptr.rec_id = r->wctx.ptr.rec_id;
	r->rctx.version = turn_of(r, r->rctx.ptr);
	memset(&r->rctx.buf, 0, sizeof(r->rctx.buf));
	r->max_slots = r->nsegs[0] * r->max_recs;
	r->batch_size = rcfg->batch_size;
	r->batch_pos = 0;
	return true;
}

/* Refuses what the buffer could not hold safely, before touching any file. */
static bool
config_ok(const ox_rbuffer_config *rcfg)
{
	if (rcfg->nfiles > RBUFFER_MAX_FILES) {
		ox_warning(OX_RBUFFER, "rbuffer: files: init: %d files configured, at most %d", rcfg->nfiles,
				RBUFFER_MAX_FILES);
		return false;
	}
	if (rcfg->rec_size < RBUFFER_SEG_DATASIZE / 250 || rcfg->rec_size > RBUFFER_SEG_DATASIZE) {
		ox_warning(OX_RBUFFER, "rbuffer: init: record size %lu outside 32 to 8000 bytes",
				(unsigned long)rcfg->rec_size);
		return false;
	}
	for (uint8_t i = 0; i < rcfg->nfiles; i++) {
		if (!rcfg->fname[i] || rcfg->fname[i][0] == 0) {
			ox_warning(OX_RBUFFER, "rbuffer: files: init: NULL file name specified, bad config");
			return false;
		}
		if (strlen(rcfg->fname[i]) >= RBUFFER_MAX_FILENAME) {
			ox_warning(OX_RBUFFER, "rbuffer: init: digest log path %s is longer than 255 bytes", rcfg->fname[i]);
			return false;
		}
		if (rcfg->fsize[i] < 0 || RBUFFER_MAX_SEG(rcfg->fsize[i]) < RBUFFER_MIN_SEGS) {
			ox_warning(OX_RBUFFER, "Too small file size %s cannot init ring buffer", rcfg->fname[i]);
			ox_warning(OX_RBUFFER, "digest log file %s: %ld bytes give %lu segments, at least %d are needed (%ld bytes)",
					rcfg->fname[i], (long)rcfg->fsize[i], (unsigned long)RBUFFER_MAX_SEG(rcfg->fsize[i]),
					RBUFFER_MIN_SEGS, (long)RBUFFER_MIN_SEGS * RBUFFER_SEG_SIZE);
			return false;
		}
	}
	return true;
}

/* Reads file i's headers; false with a warning on a read error or a
 * truncated header. *magic gets the first 8 bytes (0 for an empty file). */
static bool
read_meta(ox_rbuffer *r, uint8_t i, const char *path, unsigned char *img, uint64_t *magic)
{
	memset(img, 0, RBUFFER_META_SIZE);
	ssize_t n = pread_full(r->wfd[i], img, RBUFFER_META_SIZE, 0);
	*magic = 0;
	if (n < 0) {
		ox_warning(OX_RBUFFER, "Failed to read digest log file %s", path);
		return false;
	}
	memcpy(magic, img, sizeof(*magic));
	if ((*magic != 0 && n < (ssize_t)RBUFFER_META_SIZE) || (*magic == 0 && n > 0 && n < 8)) {
		ox_warning(OX_RBUFFER, "Failed to read digest log file %s", path);
		ox_warning(OX_RBUFFER, "digest log file %s is truncated inside its header (%ld bytes)", path, (long)n);
		return false;
	}
	return true;
}

ox_rbuffer *
ox_rbuffer_init(ox_rbuffer_config *rcfg)
{
	if (!rcfg)
		return NULL;
	if (rcfg->nfiles == 0 || !rcfg->fname[0]) {
		ox_warning(OX_RBUFFER, "rbuffer: files: init: NULL file name specified, bad config");
		return NULL;
	}
	if (!config_ok(rcfg))
		return NULL;
	void *mem = ox_malloc(sizeof(ox_rbuffer));
	if (!mem)
		return NULL;
	memset(mem, 0, sizeof(ox_rbuffer));
	ox_rbuffer *r = new (mem) ox_rbuffer();
	for (int i = 0; i < RBUFFER_MAX_FILES; i++)
		r->rfd[i] = r->wfd[i] = r->mfd[i] = -1;
	if (!init_recursive(&r->wctx.lock) || !init_recursive(&r->rctx.lock) || !init_recursive(&r->mlock)) {
		ox_warning(OX_RBUFFER, "Ring buffer Could not init mutex.. aborting \n");
		ox_free(mem);
		return NULL;
	}
	const uint8_t nf = rcfg->nfiles;
	r->max_recs = RBUFFER_SEG_DATASIZE / rcfg->rec_size;
	for (uint8_t i = 0; i < nf; i++) {
		r->nsegs[i] = RBUFFER_MAX_SEG(rcfg->fsize[i]);
		r->seg_base[i] = r->total_segs;
		r->total_segs += r->nsegs[i];
	}
	r->chdr.nfiles = 0;
	for (uint8_t i = 0; i < nf; i++) {
		/* One descriptor serves the header, the main reader and the writer:
		 * this is the only open of the file that can fail. */
		int fd = open(rcfg->fname[i], O_RDWR | O_CREAT | O_CLOEXEC, 0600);
		if (fd < 0) {
			ox_warning(OX_RBUFFER, "unable to open digest log file %s: %s", rcfg->fname[i], ox_strerror(errno));
			ox__rbuffer_free(r);
			return NULL;
		}
		r->wfd[i] = r->rfd[i] = fd;
		r->mfd[i] = rcfg->persist ? fd : -1;
		struct stat st;
		fstat(fd, &st);
		r->dev[i] = st.st_dev;
		r->ino[i] = st.st_ino;
	}
	int clash = 0;
	if (!register_open(r, nf, &clash)) {
		ox_warning(OX_RBUFFER, "digest log file %s is already open as a ring buffer in this process",
				rcfg->fname[clash]);
		ox__rbuffer_free(r);
		return NULL;
	}

	int stamped = -1;
	unsigned char img[RBUFFER_META_SIZE];
	if (rcfg->persist) {
		for (uint8_t i = 0; i < nf && stamped < 0; i++) {
			uint64_t magic;
			if (!read_meta(r, i, rcfg->fname[i], img, &magic)) {
				ox__rbuffer_free(r);
				return NULL;
			}
			if (magic == 0)
				continue;
			if (magic != RBUFFER_FILE_MAGIC) {
				ox_warning(OX_RBUFFER, "Log version does not match. Remove digest log file and restart RELAY.");
				ox_warning(OX_RBUFFER, "Current magic is 0x%016llX, expected magic is 0x%016llX.",
						(unsigned long long)magic, (unsigned long long)RBUFFER_FILE_MAGIC);
				ox_crash(OX_RBUFFER, OX_GLOBAL, "Aborting...");
			}
			memcpy(&r->chdr, img, sizeof(r->chdr));
			memcpy(&r->hdr[i], img + RBUFFER_HDR_OFFSET, sizeof(r->hdr[i]));
			stamped = i;
		}
	}
	if (stamped < 0) {
		if (!ox__rbuffer_bootstrap(r, rcfg)) {
			ox_warning(OX_RBUFFER, "Boot strap failed for digest log file %s", rcfg->fname[nf - 1]);
			ox__rbuffer_free(r);
			return NULL;
		}
	} else {
		for (uint8_t i = 0; i < nf; i++) {
			if ((int)i != stamped) {
				uint64_t magic;
				if (!read_meta(r, i, rcfg->fname[i], img, &magic)) {
					ox__rbuffer_free(r);
					return NULL;
				}
				memcpy(&r->hdr[i], img + RBUFFER_HDR_OFFSET, sizeof(r->hdr[i]));
			}
			if (r->hdr[i].fsize == 0) {
				memset(&r->hdr[i], 0, sizeof(r->hdr[i]));
				r->hdr[i].fidx = i;
				r->hdr[i].fsize = rcfg->fsize[i];
			}
			if (r->hdr[i].fsize != rcfg->fsize[i]) {
				ox_warning(OX_RBUFFER, "Passed in file size does not match already stamped file size %s",
						rcfg->fname[i]);
				ox__rbuffer_free(r);
				return NULL;
			}
		}
		if (!ox__rbuffer_check_headers(r, rcfg, rcfg->fname[stamped])) {
			ox__rbuffer_free(r);
			return NULL;
		}
	}
	/* Sized only once accepted, and never so short that the last segment's
	 * trailer falls off the end. A persisted log is only grown: a size
	 * mistyped in the configuration must not cut off what the file holds.
	 * A new header starts an empty file: segments of an unstamped run carry
	 * the generation a new header starts at, and the writer's recovery
	 * would take them for its own. */
	for (uint8_t i = 0; i < nf; i++) {
		int64_t need = seg_offset(r->nsegs[i]);
		int64_t target = rcfg->fsize[i] > need ? rcfg->fsize[i] : need;
		struct stat st;
		int rc = 0;
		if (!rcfg->persist || stamped < 0)
			rc = ftruncate(r->wfd[i], 0);
		if (rc == 0 && rcfg->persist && fstat(r->wfd[i], &st) == 0 && st.st_size < target)
			rc = ftruncate(r->wfd[i], target);
		if (rc != 0) {
			ox_info(OX_RBUFFER, "unable to truncate file: errno %d", errno);
			ox__rbuffer_free(r);
			return NULL;
		}
	}
	if (!ox__rbuffer_setup(r, rcfg, stamped >= 0)) {
		ox__rbuffer_free(r);
		return NULL;
	}
	ox_rbuffer_persist(r);
	r->strapped = true;
	return r;
}

bool
ox_rbuffer_close(ox_rbuffer *r)
{
	if (!r)
		return false;
	if (r->strapped)
		ox_rbuffer_persist(r);
	ox__rbuffer_free(r);
	return false;
}

bool
ox_rbuffer_reinit(ox_rbuffer *rbuf_des, ox_rbuffer_config *rcfg)
{
	(void)rbuf_des;
	ox_rbuffer *b = ox_rbuffer_init(rcfg);
	if (!b)
		return false;
	ox_rbuffer_close(b);
	return true;
}
