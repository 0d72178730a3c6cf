/*
 * Digest-log writer thread: moves the pipe reader's queued messages into the
 * digest log in batches. It owns its batch buffer and bit 0x01 of the
 * configuration's change block.
 *
 * A batch is written when it is full or when its oldest record has waited one
 * second, whichever comes first, so a slow trickle is still written promptly;
 * a ring-buffer write that stores nothing is retried after a second, never in
 * a tight loop.
 */
#include "tamberlin/ferry.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ox_clock.h"
#include "tamberlin/rbuffer.h"

static size_t
ferry_batch_bytes(size_t recs)
{
	return recs * FERRY_MSG_ONDISK_SIZE;
}

void
ferry_dlogwriter_init(ferry_dlogwriter *w)
{
	w->cap = g_xcfg.ferry_write_batch_size;
	w->count = 0;
	w->oldest_ms = 0;
	w->last_digesttime = 0;
	w->retries = 0;
	w->write_calls.store(0);
	if (!g_dlog_q) {
		ox_crash(QM_FERRY, OX_GLOBAL, "Digest log queue not initialized .. Aborting !!!");
		return;
	}
	ferry_init_unset_lst(ox_clock_getabsolute());
	w->alloc_recs = (size_t)g_xcfg.ferry_write_batch_size;
	w->batch = (char *)ox_calloc(w->alloc_recs, FERRY_MSG_ONDISK_SIZE);
	if (!w->batch) {
		ox_crash(QM_FERRY, OX_GLOBAL, "Unable to allocate memory for dlog writer... Aborting");
	}
}

/* Writes the whole batch, retrying every second while the ring buffer stores
 * nothing. */
static void
ferry_dlogwriter_write(ferry_dlogwriter *w)
{
	uint64_t done = 0;
	while (done < w->count) {
		w->write_calls.fetch_add(1, std::memory_order_relaxed);
		int n = ox_rbuffer_write(g_rbuf_des, w->batch + ferry_batch_bytes(done), (int)(w->count - done));
		if (n > 0) {
			done += (uint64_t)n;
			w->retries = 0;
			continue;
		}
		// A write that stored nothing (-1, or 0 records) is a refusal.
		w->retries++;
		ferry_sleep_ms(1000);
		if (w->retries % FERRY_DLOG_WRITE_WARN_EVERY == 0) {
			ox_warning(QM_FERRY, "Digest Log Write Failed !!! ... Critical error");
			ox_rbuffer_log(g_rbuf_des, OX_WARNING);
		}
	}
}

/* A pending write batch size, applied between batches. A value the writer
 * cannot use is refused with a WARNING and stays pending; the writer goes on
 * with its old size. */
static void
ferry_dlogwriter_apply_change(ferry_dlogwriter *w)
{
	ferry_config *c = &g_xcfg;
	if (!(c->ferry_flag.load() & FERRY_WRITE_BATCH_SIZE_CHANGE)) {
		return;
	}
	int32_t cur = c->ferry_write_batch_size;
	int32_t pending = __atomic_load_n(&c->ferry_new_cfg.ferry_write_batch_size, __ATOMIC_RELAXED);
	if (pending == cur) {
		return;
	}
	if (pending < 1) {
		ox_warning(QM_FERRY, "Cannot change Write batch size below one from %d to %d", cur, pending);
		return;
	}
	if (pending > FERRY_MAX_BATCH_SIZE) {
		ox_warning(QM_FERRY, "Cannot change Write batch size above %d from %d to %d", FERRY_MAX_BATCH_SIZE,
				cur, pending);
		return;
	}
	size_t recs = (size_t)pending;
	auto *nb = (char *)ox_realloc(w->batch, ferry_batch_bytes(recs));
	if (!nb) {
		ox_warning(QM_FERRY, "dlog writer : realloc failed for change in relay-write-batch-size from %d to %d ",
				cur, pending);
		return;
	}
	memset(nb, 0, ferry_batch_bytes(recs));
	w->batch = nb;
	w->alloc_recs = recs;
	ox_info(QM_FERRY, "Changed Write batch size from %d to %d", cur, pending);
	w->cap = pending;
	// The info server reads the setting while the writer changes it.
	__atomic_store_n(&c->ferry_write_batch_size, pending, __ATOMIC_RELAXED);
	c->ferry_flag.fetch_and(~FERRY_WRITE_BATCH_SIZE_CHANGE);
	// set-config may have stored a newer size while this one was applied, and
	// its bit went with the clearing: raise it again for the next batch.
	if (__atomic_load_n(&c->ferry_new_cfg.ferry_write_batch_size, __ATOMIC_RELAXED) != pending) {
		c->ferry_flag.fetch_or(FERRY_WRITE_BATCH_SIZE_CHANGE);
	}
}

static void
ferry_dlogwriter_flush(ferry_dlogwriter *w)
{
	uint64_t start = ox_getms();
	ferry_dlogwriter_write(w);
	if (w->count == (uint64_t)w->cap) {
		w->cap = g_xcfg.ferry_write_batch_size;
	} else {
		w->cap -= (int)w->count;
	}
	ox_debug(QM_FERRY, "Digest log write with the batch %d", (int)w->count);
	ox_atomic64_add(&g_ferry_cntr->dlog_pkts_logged, (int64_t)w->count);
	ox_atomic64_sub(&g_ferry_cntr->dlog_pkts_unlogged, (int64_t)w->count);
	ox_atomic64_add(&g_ferry_cntr->dlog_pkts_writelatency, (int64_t)(ox_getms() - start));
	g_last_logwrite_time.store(w->last_digesttime);
	ferry_dlogwriter_apply_change(w);
	w->count = 0;
}

void
ferry_dlogwriter_step(ferry_dlogwriter *w)
{
	uint32_t limit = ferry_scaled_ms(FERRY_DLOG_Q_TIMEOUT);
	int wait = (int)limit;
	if (w->count > 0) {
		uint64_t age = ox_getms() - w->oldest_ms;
		wait = age >= limit ? 0 : (int)(limit - age);
	}
	ferry_msg msg;
	int rv = ox_queue_pop(g_dlog_q, &msg, wait);
	if (rv == OX_QUEUE_OK) {
		if (w->count == 0) {
			w->oldest_ms = ox_getms();
		}
		memcpy(w->batch + ferry_batch_bytes(w->count), &msg, FERRY_MSG_ONDISK_SIZE);
		w->count++;
		w->last_digesttime = msg.data.diginfo.digesttime;
		if (!ferry_ns_known(msg.data.diginfo.ns_id)) {
			ox_warning(QM_FERRY,
					"Got digest packet for an unknown namespace with id %d from the queue ... Still log",
					msg.data.diginfo.ns_id);
		}
	}
	if (w->count == 0) {
		return;
	}
	bool full = w->count >= (uint64_t)w->cap;
	bool due = rv != OX_QUEUE_OK || ox_getms() - w->oldest_ms >= limit;
	if (full || due) {
		ferry_dlogwriter_flush(w);
	}
}

void *
dlogwriter(void *arg)
{
	(void)arg;
	static ferry_dlogwriter w;
	ferry_dlogwriter_init(&w);
	for (;;) {
		ferry_dlogwriter_step(&w);
	}
	return nullptr;
}
