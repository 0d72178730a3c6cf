/*
 * Placing a reader context of the digest log at a digest time: a linear phase
 * in strides of the measured throughput, then halving. Called by the reclaim
 * (housekeeper) and, later, by the window managers and failed-node threads;
 * each caller gets a context of its own and closes it.
 */
#include "tamberlin/ferry_info.h"

#include <cstdlib>
#include <cstring>

#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ferry.h"
#include "tamberlin/rbuffer.h"

/* One record through ctx into rec: 1, or the ring buffer's result. */
static int
ferry_seek_read(ox_rbuffer_ctx *ctx, ferry_msg_ondisk *rec)
{
	return ox_rbuffer_read(g_rbuf_des, ctx, (char *)rec, 1);
}

/* Places ctx so that its next read returns the record just read. */
static ox_rbuffer_ctx *
ferry_seek_found(ox_rbuffer_ctx *ctx)
{
	ox_rbuffer_seek(g_rbuf_des, ctx, -1, 1);
	return ctx;
}

static ox_rbuffer_ctx *
ferry_seek_fail(ox_rbuffer_ctx *ctx)
{
	ox_rbuffer_closectx(ctx);
	return nullptr;
}

/* Halving phase: narrows the position from where the linear phase left ctx. */
static ox_rbuffer_ctx *
ferry_seek_halve(ox_rbuffer_ctx *ctx, uint64_t seektime, ferry_msg_ondisk *rec, int32_t stride)
{
	ferry_seek_read(ctx, rec);
	uint64_t t = rec->diginfo.digesttime;
	if (seektime < t) {
		return ferry_seek_found(ctx);
	}
	int32_t k = stride;
	int dir = 1;
	int restarts = 0;
	for (;;) {
		k /= 2;
		if (k == 0) {
			return ferry_seek_found(ctx);
		}
		for (;;) {
			ox_detail(QM_FERRY, "curstride=%d direction=%d curts=%lu looking for seektime=%lu", k, dir,
					(unsigned long)t, (unsigned long)seektime);
			if (ox_rbuffer_seek(g_rbuf_des, ctx, k * dir, 1) == k) {
				break;
			}
			if (dir == -1) {
				ox_detail(QM_FERRY, "Hit beginning-of-file performing binary seek. Weird ... .");
				ox_rbuffer_log(g_rbuf_des, OX_DETAIL);
				ox_rbuffer_prctx(ctx);
				ox_rbuffer_getsetctx(g_rbuf_des, ctx, 0);
				dir = 0;
				break;
			}
			ox_detail(QM_FERRY,
					"Hit End-of-file performing binary seek. Try with Using it as one end of search window.");
			k /= 2;
			if (k == 0) {
				return ferry_seek_found(ctx);
			}
		}
		int failed = 0;
		for (;;) {
			int rv = ferry_seek_read(ctx, rec);
			if (rv == RBUFFER_READ_HITS_WRITE) {
				ox_detail(QM_FERRY, "Hit exactly the write marker. Continuting the search in reverse direction.");
				dir = -1;
				break;
			}
			if (rv == RBUFFER_SEG_VERSION_MISMATCH) {
				ox_detail(QM_FERRY, "Read invalid version while seeking back ... retry..");
				// The writer can overwrite the oldest records faster than the
				// search restarts from them: after a few restarts stop rather than
				// spin; the oldest retained record is the safe answer.
				ox_rbuffer_getsetctx(g_rbuf_des, ctx, 0);
				if (++restarts > FERRY_SEEK_READ_TRIES) {
					return ctx;
				}
				dir = 0;
				failed = 0;
				continue;
			}
			if (rv < 0) {
				if (rv == RBUFFER_FILE_SYSTEM_ERROR) {
					ox_warning(QM_FERRY, "Encountered file system error..");
				} else {
					ox_debug(QM_FERRY, "Encountered bad magic..");
				}
				if (++failed >= FERRY_SEEK_READ_TRIES) {
					ox_warning(QM_FERRY, "Could not find the exact location but returning an approximate location");
					return ferry_seek_found(ctx);
				}
				ferry_sleep_ms(1000);
				continue;
			}
			t = rec->diginfo.digesttime;
			if (t > seektime) {
				if (dir == 0) {
					return ferry_seek_found(ctx);
				}
				dir = -1;
				break;
			}
			if (t == seektime) {
				return ferry_seek_found(ctx);
			}
			dir = 1;
			break;
		}
	}
}

ox_rbuffer_ctx *
ferry_digestlog_seektime(uint64_t seektime, ferry_msg_ondisk *xmsg_single, int *reason)
{
	(void)reason;
	if (!g_rbuf_des) {
		return nullptr;
	}
	ox_rbuffer_ctx *ctx = ox_rbuffer_getsetctx(g_rbuf_des, nullptr, 2);
	if (!ctx) {
		ox_warning(QM_FERRY, "Read context could not be setup ... ");
		return nullptr;
	}
	if (ox_rbuffer_seek(g_rbuf_des, ctx, -1, 1) != 1) {
		ox_detail(QM_FERRY, "Seek failed nothing to do ... ");
		ox_rbuffer_log(g_rbuf_des, OX_DETAIL);
		return ferry_seek_fail(ctx);
	}
	int rv = ferry_seek_read(ctx, xmsg_single);
	if (rv == RBUFFER_READ_HITS_WRITE) {
		ox_info(QM_FERRY, "Seek reads 0 bytes ... nothing to do...");
		return ferry_seek_fail(ctx);
	}
	if (rv == RBUFFER_FILE_SYSTEM_ERROR) {
		ox_warning(QM_FERRY, "Encountered file system error..");
		return ferry_seek_fail(ctx);
	}
	if (rv == RBUFFER_SEG_BAD_MAGIC) {
		ox_debug(QM_FERRY, "Encountered bad magic..");
		return ferry_seek_fail(ctx);
	}
	uint64_t t = xmsg_single->diginfo.digesttime;
	if (t < seektime) {
		ox_info(QM_FERRY,
				"Seek time %lu greater than the timestamp of last record %lu in digest log. Nothing to process for this node",
				(unsigned long)seektime, (unsigned long)t);
		return ferry_seek_fail(ctx);
	}
	if (t == seektime) {
		return ferry_seek_found(ctx);
	}

	uint64_t throughput = g_ferry_cntr ? ox_atomic64_get(&g_ferry_cntr->remote_ship_throughput) : 0;
	uint64_t secs = (t - seektime) / 1000;
	// Saturating product: the stride is moved as a signed 32-bit count.
	uint64_t stride = secs != 0 && throughput > (uint64_t)INT32_MAX / secs ? (uint64_t)INT32_MAX
										 : throughput * secs;
	if (stride <= FERRY_MIN_SEARCH_STRIDE) {
		stride = FERRY_DEFAULT_SEARCH_STRIDE;
	}
	__atomic_store_n(&g_ferry_search_stride, stride, __ATOMIC_RELAXED);
	int32_t s = (int32_t)stride;

	for (;;) {
		if (ox_rbuffer_seek(g_rbuf_des, ctx, -s, 1) != s) {
			ox_detail(QM_FERRY, "Hit beginning-of-file performing linear seek . Using it as starting point.");
			ox_rbuffer_getsetctx(g_rbuf_des, ctx, 0);
			break;
		}
		rv = ferry_seek_read(ctx, xmsg_single);
		if (rv == RBUFFER_READ_HITS_WRITE) {
			ox_detail(QM_FERRY, "Read 0 bytes from digest file");
			ox_rbuffer_log(g_rbuf_des, OX_DETAIL);
			ox_rbuffer_prctx(ctx);
			return ferry_seek_fail(ctx);
		}
		if (rv == RBUFFER_SEG_VERSION_MISMATCH) {
			ox_detail(QM_FERRY, "Invalid version read from disk...");
			ox_rbuffer_log(g_rbuf_des, OX_DETAIL);
			ox_rbuffer_getsetctx(g_rbuf_des, ctx, 0);
			break;
		}
		if (rv == RBUFFER_FILE_SYSTEM_ERROR) {
			ox_warning(QM_FERRY, "Encountered file system error..");
			ox_rbuffer_log(g_rbuf_des, OX_WARNING);
			ox_rbuffer_prctx(ctx);
			return ferry_seek_fail(ctx);
		}
		if (rv == RBUFFER_SEG_BAD_MAGIC) {
			ox_debug(QM_FERRY, "Encountered bad magic..");
		} else {
			t = xmsg_single->diginfo.digesttime;
			ox_detail(QM_FERRY, "curts=%lu looking for seektime=%lu with stride %lu ", (unsigned long)t,
					(unsigned long)seektime, (unsigned long)stride);
		}
		if (t <= seektime) {
			break;
		}
	}
	return ferry_seek_halve(ctx, seektime, xmsg_single, s);
}
