/*
 * Digest-log writer thread: moves the pipe reader's queued messages into the
 * digest log in batches. It owns its batch buffer and bit 0x01 of the
 * configuration's change block.
 *
 * A batch is written when it is full or when its oldest record has waited one
 * second, whichever comes first, so a slow trickle is still written promptly;
 * a ring-buffer write that stores nothing is retried after a second, never in
 * a tight loop.
 *
 * The queue is drained in bulk, many messages per lock. An empty batch waits
 * on the queue for its first record; a started one does not, since every push
 * would wake it again for one message (a futex wake and a context switch per
 * message). It sleeps instead until the queue should hold the batch's room,
 * judged by the rate at which the batch has filled so far, and never past the
 * batch's deadline.
 */
#include "tamberlin/ferry.h"

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ox_clock.h"
#include "tamberlin/rbuffer.h"

/* Messages copied out of the queue per lock: bounds the time the pipe reader
 * may find the queue locked, and the copy buffer on the writer's stack. */
#define FERRY_DLOG_POP_CHUNK 128
/* The shortest sleep of a started batch, in microseconds. */
#define FERRY_DLOG_PAUSE_MIN_US 1000

static size_t
ferry_batch_bytes(size_t recs)
{
	return recs * FERRY_MSG_ONDISK_SIZE;
}

int
ferry_dlog_q_push(const ferry_msg *msg, counters *proc)
{
	ox_atomic64_add(&proc->dlog_pkts_unlogged, 1);
	if (g_dlog_q && ox_queue_push_limit(g_dlog_q, msg, FERRY_DLOG_Q_MAXSIZE + 1)) {
		return FERRY_DLOG_Q_QUEUED;
	}
	ox_atomic64_sub(&proc->dlog_pkts_unlogged, 1);
	// A refusal is a full queue unless the queue is in fact below its limit,
	// when the push itself failed.
	if (g_dlog_q && ox_queue_sz(g_dlog_q) > FERRY_DLOG_Q_MAXSIZE) {
		ox_atomic64_add(&proc->dlog_pkts_dropped, 1);
		return FERRY_DLOG_Q_FULL;
	}
	ox_warning(QM_FERRY, "Ran Out Of queue Space... FERRY cannot keep up with write .. some records may be lost!!! ");
	return FERRY_DLOG_Q_FAILED;
}

void
ferry_dlogwriter_init(ferry_dlogwriter *w)
{
	w->cap = g_xcfg.ferry_write_batch_size;
	w->count = 0;
	w->oldest_us = 0;
	w->last_digesttime = 0;
	w->retries.store(0);
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
			w->retries.store(0, std::memory_order_relaxed);
			continue;
		}
		// A write that stored nothing (-1, or 0 records) is a refusal.
		int retries = w->retries.fetch_add(1, std::memory_order_relaxed) + 1;
		ferry_sleep_ms(1000);
		if (retries % FERRY_DLOG_WRITE_WARN_EVERY == 0) {
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
	// set-config may have stored a newer size while this one was applied.
	ferry_change_bit_done(FERRY_WRITE_BATCH_SIZE_CHANGE, &c->ferry_new_cfg.ferry_write_batch_size, pending);
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

/* Moves queued messages into the batch, up to its room, a chunk per lock;
 * wait_ms applies to the first chunk as ox_queue_pop's wait. The number
 * taken. */
static uint64_t
ferry_dlogwriter_take(ferry_dlogwriter *w, int wait_ms)
{
	ferry_msg chunk[FERRY_DLOG_POP_CHUNK];
	uint64_t taken = 0;
	while (w->count < (uint64_t)w->cap) {
		uint64_t room = (uint64_t)w->cap - w->count;
		uint32_t want = room < FERRY_DLOG_POP_CHUNK ? (uint32_t)room : FERRY_DLOG_POP_CHUNK;
		int n = ox_queue_pop_many(g_dlog_q, chunk, want, taken == 0 ? wait_ms : OX_QUEUE_NOWAIT);
		if (n <= 0) {
			break;
		}
		for (int i = 0; i < n; i++) {
			const ferry_msg *m = &chunk[i];
			memcpy(w->batch + ferry_batch_bytes(w->count), m, FERRY_MSG_ONDISK_SIZE);
			w->count++;
			w->last_digesttime = m->data.diginfo.digesttime;
			if (!ferry_ns_known(m->data.diginfo.ns_id)) {
				ox_warning(QM_FERRY,
						"Got digest packet for an unknown namespace with id %d from the queue ... Still log",
						m->data.diginfo.ns_id);
			}
		}
		taken += (uint64_t)n;
		if ((uint32_t)n < want) {
			break; // the queue is drained
		}
	}
	return taken;
}

/* A started batch waits for its room to be queued: a sleep as long as the
 * room took to come at this batch's rate so far (at least
 * FERRY_DLOG_PAUSE_MIN_US), cut at the batch's deadline. The queue's size is
 * read without its lock; the writer alone pops, so it is never more than the
 * queue holds. */
static void
ferry_dlogwriter_pause(ferry_dlogwriter *w, uint64_t limit_us)
{
	uint64_t room = (uint64_t)w->cap - w->count;
	if ((uint64_t)OX_Q_SZ(g_dlog_q) >= room) {
		return;
	}
	uint64_t age = ox_getus() - w->oldest_us;
	if (age >= limit_us) {
		return;
	}
	uint64_t us = age * room / w->count;
	if (us < FERRY_DLOG_PAUSE_MIN_US) {
		us = FERRY_DLOG_PAUSE_MIN_US;
	}
	if (us > limit_us - age) {
		us = limit_us - age;
	}
	struct timespec ts = {(time_t)(us / 1000000), (long)(us % 1000000) * 1000};
	nanosleep(&ts, nullptr);
}

void
ferry_dlogwriter_step(ferry_dlogwriter *w)
{
	uint32_t limit_ms = ferry_scaled_ms(FERRY_DLOG_Q_TIMEOUT);
	uint64_t limit_us = (uint64_t)limit_ms * 1000;
	if (w->count == 0) {
		if (ferry_dlogwriter_take(w, (int)limit_ms) == 0) {
			return; // an empty batch is never written
		}
		w->oldest_us = ox_getus();
	} else {
		ferry_dlogwriter_pause(w, limit_us);
		ferry_dlogwriter_take(w, OX_QUEUE_NOWAIT);
	}
	bool full = w->count >= (uint64_t)w->cap;
	bool due = ox_getus() - w->oldest_us >= limit_us;
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
