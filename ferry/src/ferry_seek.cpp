/*
 * Placing a reader context of the digest log at a digest time. Called by the
 * reclaim (housekeeper), the window managers and the failed-node threads;
 * each caller gets a context of its own and closes it, and the search shares
 * nothing with other searches but the last stride (an atomic store).
 *
 * The log can be moved through by record counts only, and every read moves
 * the context one record on. The search therefore keeps its own record
 * positions, relative to where it stands (the newest record, or the oldest
 * kept after it had to start there), and moves by the difference:
 *  1. from the newest record it steps back a stride estimated from the
 *     shipping throughput until it reads a record older than the time, or
 *     the next stride would pass the log's start;
 *  2. from that older record (or the start) it bisects forward over the
 *     stride: the lower end is always a record read and seen to be older;
 *  3. it settles on the record after that lower end: walking back while the
 *     record before the one it stands on is at or after the time (bounded by
 *     the stride and the log's start), and on while the one it stands on is
 *     older (bounded by the stride).
 *
 * What "the first record at or after the time" means here: the log is in
 * queue order, which follows the digest times closely but not strictly. The
 * context comes back at a record R whose time is at or after the time sought
 * and whose predecessor is older than it, or R is the oldest record kept. In a
 * log sorted by time that is exactly the first record at or after the time,
 * and runs of equal times are entered at their first record. Where queueing
 * put records a little out of order, a few records just before R may be at
 * or after the time too: the callers start their times five minutes early
 * for that (and for writes still in flight).
 */
#include "ferry_seek.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ferry.h"
#include "tamberlin/rbuffer.h"

namespace {

/* What one probe of a position found. */
enum seek_probe {
	PROBE_REC,    /* a record, in the caller's buffer */
	PROBE_NONE,   /* no record there: before the start, or at or past the writer */
	PROBE_GONE,   /* the context's records were reclaimed or overwritten */
	PROBE_FAILED, /* the segment could not be read, FERRY_SEEK_READ_TRIES times */
};

/* Where the search goes next. */
enum seek_step {
	STEP_FROM_START, /* go to the oldest record kept and bisect from there */
	STEP_BISECT,     /* bisect forward from `lo` over the stride */
	STEP_SETTLE,     /* settle on `answer` */
	STEP_DONE,       /* the context reads `answer` next */
	STEP_APPROX,     /* give `answer` as an approximate place */
	STEP_OLDEST,     /* give the oldest record kept */
	STEP_FAILED,     /* no context: the log could not be read */
};

struct seek_search {
	ox_rbuffer_ctx *ctx;
	ferry_msg_ondisk *rec;
	uint64_t seektime;
	uint64_t stride;
	int64_t cur;     /* position of the record the context reads next */
	int64_t floor;   /* nothing below this position is kept (the start), when known */
	int64_t lo;      /* a record read and older than seektime, or the start */
	int64_t answer;  /* the record to hand back */
	int restarts;
};

constexpr int64_t kNoFloor = INT64_MIN;

/* Moves the context to pos: PROBE_REC once it stands there (nothing read
 * yet); a failed move leaves it where it was. Moves larger than one signed
 * 32-bit count go in pieces. */
seek_probe
seek_move(seek_search *s, int64_t pos)
{
	while (s->cur != pos) {
		int64_t d = pos - s->cur;
		if (d > INT32_MAX) {
			d = INT32_MAX;
		} else if (d < -(int64_t)INT32_MAX) {
			d = -(int64_t)INT32_MAX;
		}
		int moved = ox_rbuffer_seek(g_rbuf_des, s->ctx, (int)d, 1);
		if (moved < 0) {
			return PROBE_GONE;
		}
		if ((int64_t)moved != (d < 0 ? -d : d)) {
			return PROBE_NONE;
		}
		s->cur += d;
	}
	return PROBE_REC;
}

/* Reads the record the context stands on, trying a failing segment again
 * after a second. */
seek_probe
seek_read(seek_search *s)
{
	for (int tries = 1;; tries++) {
		int rv = ox_rbuffer_read(g_rbuf_des, s->ctx, (char *)s->rec, 1);
		if (rv == 1) {
			s->cur++;
			return PROBE_REC;
		}
		if (rv == RBUFFER_READ_HITS_WRITE) {
			return PROBE_NONE;
		}
		if (rv == RBUFFER_SEG_VERSION_MISMATCH) {
			return PROBE_GONE;
		}
		if (rv == RBUFFER_FILE_SYSTEM_ERROR) {
			ox_warning(QM_FERRY, "Encountered file system error..");
		} else {
			ox_debug(QM_FERRY, "Encountered bad magic..");
		}
		if (tries >= FERRY_SEEK_READ_TRIES) {
			return PROBE_FAILED;
		}
		ferry_sleep_ms(1000);
	}
}

/* The record at pos. */
seek_probe
seek_probe_at(seek_search *s, int64_t pos)
{
	if (s->floor != kNoFloor && pos < s->floor) {
		return PROBE_NONE;
	}
	seek_probe p = seek_move(s, pos);
	return p == PROBE_REC ? seek_read(s) : p;
}

uint64_t
seek_time(const seek_search *s)
{
	return s->rec->diginfo.digesttime;
}

/* The records under the search went (reclaim, or overwrite by the writer):
 * start again from the oldest record kept, a bounded number of times, since
 * a writer that overwrites faster than the search moves would keep it going
 * for ever; the oldest record kept is then a safe answer. */
seek_step
seek_gone(seek_search *s)
{
	ox_detail(QM_FERRY, "Read invalid version while seeking back ... retry..");
	return ++s->restarts > FERRY_SEEK_READ_TRIES ? STEP_OLDEST : STEP_FROM_START;
}

/* Steps back from the newest record (already read) in strides. */
seek_step
seek_linear(seek_search *s)
{
	int64_t hi = s->cur - 1;
	for (;;) {
		// One stride back from the context, as the stride estimates the
		// records logged since the time sought.
		int64_t p = hi + 1 - (int64_t)s->stride;
		seek_probe r = seek_move(s, p);
		if (r == PROBE_NONE) {
			ox_detail(QM_FERRY, "Hit beginning-of-file performing linear seek . Using it as starting point.");
			return STEP_FROM_START;
		}
		if (r == PROBE_REC) {
			r = seek_read(s);
		}
		switch (r) {
		case PROBE_REC:
			break;
		case PROBE_NONE:
			ox_detail(QM_FERRY, "Read 0 bytes from digest file");
			ox_rbuffer_log(g_rbuf_des, OX_DETAIL);
			ox_rbuffer_prctx(s->ctx);
			return STEP_FAILED;
		case PROBE_GONE:
			ox_detail(QM_FERRY, "Invalid version read from disk...");
			ox_rbuffer_log(g_rbuf_des, OX_DETAIL);
			return seek_gone(s);
		case PROBE_FAILED:
			ox_rbuffer_log(g_rbuf_des, OX_WARNING);
			ox_rbuffer_prctx(s->ctx);
			return STEP_FAILED;
		}
		uint64_t t = seek_time(s);
		ox_detail(QM_FERRY, "curts=%lu looking for seektime=%lu with stride %lu ", (unsigned long)t,
				(unsigned long)s->seektime, (unsigned long)s->stride);
		if (t < s->seektime) {
			s->lo = p;
			return STEP_BISECT;
		}
		hi = p;
	}
}

/* From the oldest record kept, which becomes position 0. */
seek_step
seek_from_start(seek_search *s)
{
	ox_rbuffer_getsetctx(g_rbuf_des, s->ctx, 0);
	s->cur = 0;
	s->floor = 0;
	s->lo = 0;
	s->answer = 0;
	switch (seek_read(s)) {
	case PROBE_REC:
		if (seek_time(s) >= s->seektime) {
			return STEP_SETTLE;
		}
		return STEP_BISECT;
	case PROBE_NONE:
		// Everything kept went meanwhile: what comes next is newer.
		return STEP_DONE;
	case PROBE_GONE:
		return seek_gone(s);
	case PROBE_FAILED:
		return STEP_APPROX;
	}
	return STEP_APPROX;
}

/*
 * Bisects forward from lo, a record older than the time sought, over the
 * stride: the first record at or after the time lies at most a stride
 * beyond lo. Each step tries lo + k and moves lo there when that record is
 * still older; past the writer counts as not older.
 */
seek_step
seek_bisect(seek_search *s)
{
	int64_t k = 1;
	while (2 * k < (int64_t)s->stride) {
		k *= 2;
	}
	for (; k >= 1; k /= 2) {
		switch (seek_probe_at(s, s->lo + k)) {
		case PROBE_REC: {
			uint64_t t = seek_time(s);
			bool older = t < s->seektime;
			ox_detail(QM_FERRY, "curstride=%d direction=%d curts=%lu looking for seektime=%lu", (int)k,
					older ? 1 : -1, (unsigned long)t, (unsigned long)s->seektime);
			if (older) {
				s->lo += k;
			}
			break;
		}
		case PROBE_NONE:
			// The context stands there when the move went and only the read
			// found the writer. No probe lies below lo, a record read, so the
			// search never hits the log's beginning here.
			if (s->cur == s->lo + k) {
				ox_detail(QM_FERRY, "Hit exactly the write marker. Continuting the search in reverse direction.");
			} else {
				ox_detail(QM_FERRY,
						"Hit End-of-file performing binary seek. Try with Using it as one end of search window.");
			}
			break;
		case PROBE_GONE:
			return seek_gone(s);
		case PROBE_FAILED:
			s->answer = s->lo + 1;
			return STEP_APPROX;
		}
	}
	s->answer = s->lo + 1;
	return STEP_SETTLE;
}

/* Makes `answer` a record at or after the time whose predecessor is older
 * (or the oldest kept), and leaves the context reading it next. */
seek_step
seek_settle(seek_search *s)
{
	int64_t a = s->answer;
	for (uint64_t i = 0; i < s->stride; i++) {
		seek_probe r = seek_probe_at(s, a - 1);
		if (r == PROBE_GONE) {
			return seek_gone(s);
		}
		if (r != PROBE_REC || seek_time(s) < s->seektime) {
			break; // the log's start, or an older record
		}
		a--;
	}
	for (uint64_t i = 0;; i++) {
		if (i >= s->stride) {
			s->answer = a;
			return STEP_APPROX;
		}
		seek_probe r = seek_probe_at(s, a);
		if (r == PROBE_GONE) {
			return seek_gone(s);
		}
		if (r == PROBE_FAILED) {
			s->answer = a;
			return STEP_APPROX;
		}
		if (r == PROBE_NONE) {
			// At the writer: the records that come next are the newer ones.
			s->answer = a;
			seek_probe m = seek_move(s, a);
			if (m == PROBE_GONE) {
				return seek_gone(s);
			}
			return m == PROBE_REC ? STEP_DONE : STEP_APPROX;
		}
		if (seek_time(s) >= s->seektime) {
			break;
		}
		a++;
	}
	// Stepping back over the record just read leaves the context on it, and
	// at the start of its segment rather than the end of the one before.
	s->answer = a;
	seek_probe r = seek_move(s, a);
	if (r == PROBE_GONE) {
		return seek_gone(s);
	}
	return r == PROBE_REC ? STEP_DONE : STEP_APPROX;
}

ox_rbuffer_ctx *
seek_close(ox_rbuffer_ctx *ctx, int *why, int result)
{
	ox_rbuffer_closectx(ctx);
	*why = result;
	return nullptr;
}

/* The stride: the records shipped since the time sought at the measured
 * throughput, saturated to one signed 32-bit move; small estimates are not
 * trusted. */
uint64_t
seek_stride(uint64_t newest, uint64_t seektime)
{
	uint64_t throughput = g_ferry_cntr ? ox_atomic64_get(&g_ferry_cntr->remote_ship_throughput) : 0;
	uint64_t secs = (newest - seektime) / 1000;
	uint64_t stride = secs != 0 && throughput > (uint64_t)INT32_MAX / secs ? (uint64_t)INT32_MAX
									 : throughput * secs;
	if (stride <= FERRY_MIN_SEARCH_STRIDE) {
		stride = FERRY_DEFAULT_SEARCH_STRIDE;
	}
	return stride;
}

} // namespace

ox_rbuffer_ctx *
ferry_digestlog_seektime(uint64_t seektime, ferry_msg_ondisk *xmsg_single, int *reason)
{
	int unused;
	int *why = reason ? reason : &unused;
	*why = FERRY_SEEK_NO_CONTEXT;
	if (!g_rbuf_des) {
		return nullptr;
	}
	ox_rbuffer_ctx *ctx = ox_rbuffer_getsetctx(g_rbuf_des, nullptr, 2);
	if (!ctx) {
		ox_warning(QM_FERRY, "Read context could not be setup ... ");
		return nullptr;
	}
	int moved = ox_rbuffer_seek(g_rbuf_des, ctx, -1, 1);
	if (moved != 1) {
		ox_detail(QM_FERRY, "Seek failed nothing to do ... ");
		ox_rbuffer_log(g_rbuf_des, OX_DETAIL);
		// No record behind the writer's place: the log is empty, unless
		// the writer went on and overwrote its way round to that place
		// meanwhile (then there is something to read there).
		bool empty = moved == 0 &&
				ox_rbuffer_read(g_rbuf_des, ctx, (char *)xmsg_single, 1) == RBUFFER_READ_HITS_WRITE;
		return seek_close(ctx, why, empty ? FERRY_SEEK_NOTHING_NEWER : FERRY_SEEK_READ_FAILED);
	}
	int rv = ox_rbuffer_read(g_rbuf_des, ctx, (char *)xmsg_single, 1);
	if (rv != 1) {
		// The newest record is there but could not be read: worth another
		// try later, never a reason to drop the caller's work.
		if (rv == RBUFFER_READ_HITS_WRITE) {
			ox_info(QM_FERRY, "Seek reads 0 bytes ... nothing to do...");
		} else if (rv == RBUFFER_FILE_SYSTEM_ERROR) {
			ox_warning(QM_FERRY, "Encountered file system error..");
		} else if (rv == RBUFFER_SEG_BAD_MAGIC) {
			ox_debug(QM_FERRY, "Encountered bad magic..");
		} else {
			ox_detail(QM_FERRY, "Invalid version read from disk...");
		}
		return seek_close(ctx, why, FERRY_SEEK_READ_FAILED);
	}
	uint64_t t = xmsg_single->diginfo.digesttime;
	if (t < seektime) {
		ox_info(QM_FERRY,
				"Seek time %lu greater than the timestamp of last record %lu in digest log. Nothing to process for this node",
				(unsigned long)seektime, (unsigned long)t);
		return seek_close(ctx, why, FERRY_SEEK_NOTHING_NEWER);
	}

	seek_search s;
	memset(&s, 0, sizeof(s));
	s.ctx = ctx;
	s.rec = xmsg_single;
	s.seektime = seektime;
	s.stride = seek_stride(t, seektime);
	__atomic_store_n(&g_ferry_search_stride, s.stride, __ATOMIC_RELAXED);
	s.cur = 1; // the newest record is position 0
	s.floor = kNoFloor;

	seek_step step = seek_linear(&s);
	for (;;) {
		switch (step) {
		case STEP_FROM_START:
			step = seek_from_start(&s);
			break;
		case STEP_BISECT:
			step = seek_bisect(&s);
			break;
		case STEP_SETTLE:
			step = seek_settle(&s);
			break;
		case STEP_DONE:
			*why = FERRY_SEEK_FOUND;
			return ctx;
		case STEP_APPROX:
			// Every record at or after the time lies at or after the lower
			// end of the bisection, so an early place loses nothing.
			ox_warning(QM_FERRY, "Could not find the exact location but returning an approximate location");
			if (seek_move(&s, s.answer) != PROBE_REC) {
				ox_rbuffer_getsetctx(g_rbuf_des, ctx, 0);
			}
			// The last record read may lie well after this place: a caller
			// that took its time for the place's would skip what lies between.
			memset(s.rec, 0, sizeof(*s.rec));
			*why = FERRY_SEEK_FOUND;
			return ctx;
		case STEP_OLDEST:
			ox_rbuffer_getsetctx(g_rbuf_des, ctx, 0);
			memset(s.rec, 0, sizeof(*s.rec));
			*why = FERRY_SEEK_FOUND;
			return ctx;
		case STEP_FAILED:
			return seek_close(ctx, why, FERRY_SEEK_READ_FAILED);
		}
	}
}

/* ---- One record at a time (window and failed-node shippers) --------------- */

bool
ferry_read_skip_segment(ox_rbuffer_ctx *ctx)
{
	uint64_t max = g_rbuf_des->max_recs;
	uint64_t left = max > ctx->ptr.rec_id ? max - ctx->ptr.rec_id : 1;
	return ox_rbuffer_seek(g_rbuf_des, ctx, (int)left, 1) == (int)left;
}

int
ferry_read_next_record(ox_rbuffer_ctx *ctx, ferry_msg_ondisk *rec, int *bad_magic, const char *who)
{
	int rv = ox_rbuffer_read(g_rbuf_des, ctx, (char *)rec, 1);
	if (rv > 0) {
		*bad_magic = 0;
		return rv;
	}
	if (rv != RBUFFER_SEG_BAD_MAGIC) {
		return rv;
	}
	if (++*bad_magic < FERRY_READ_BAD_MAGIC_TRIES) {
		ferry_sleep_ms(1000);
		return rv;
	}
	ox_warning(QM_FERRY, "%s: segment unreadable after %d tries, moving on one segment", who, *bad_magic);
	*bad_magic = 0;
	if (!ferry_read_skip_segment(ctx)) {
		ferry_sleep_ms(1000);
	}
	return rv;
}
