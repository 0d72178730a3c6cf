/*
 * The housekeeper: its own thread, started last by start-up. Once a second
 * while the local server is up it makes one last-ship step; every tenth tick
 * it computes each datacenter's time lag and the shipping throughput, logs
 * the two statistics lines and stores each datacenter's local minimum
 * last-ship time in the digest log's first header (persisted, so a restart
 * resumes from there); every sixtieth tick it also logs the fill of four
 * queues, reclaims digest-log space below the cluster-wide minimum and logs
 * one time-lag line per datacenter. It is the only writer of
 * remote_ship_throughput, of the per-datacenter timediff_lastship_cur and of
 * the header's user words.
 *
 * The reported, persisted and reclaimed times are the local minima, which
 * the floors of the batch in progress and of the writes awaiting replies
 * hold back (ferry_get_min_lst_for_dcid). Each tick also starts the window
 * manager of a datacenter left down with windows and none to ship them.
 *
 * Ticks count only while the local server is up; the tick count never resets.
 * One tick is ferry_housekeeper_tick, given the time, so tests drive it
 * directly; the thread adds the second's sleep.
 *
 * No lock of its own: counters, last-ship times, health values and queue
 * offsets are read whole without locks (the queue lines are informational);
 * the persist takes the ring buffer's lock.
 */
#include "ferry_housekeeper.h"
#include "ferry_local.h"
#include "ferry_windows.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/fault.h"
#include "tamberlin/ka_async.h"
#include "tamberlin/ox_clock.h"
#include "tamberlin/rbuffer.h"

static void
ferry_hk_queue_line(const char *name, ox_queue *q)
{
	if (!q) {
		return;
	}
	uint32_t rd = OX_Q_LOAD(q->read_offset);
	uint32_t wr = OX_Q_LOAD(q->write_offset);
	ox_info(QM_FERRY, "%s : AllocSize=%d Elements=%d ReadOffset=%d WriteOffset=%d", name,
			(int)OX_Q_LOAD(q->allocsz), (int)(wr - rd), (int)rd, (int)wr);
}

static void
ferry_hk_queue_lines(void)
{
	ferry_hk_queue_line("LogQ", g_dlog_q);
	ferry_hk_queue_line("AsyncQ", g_ka_async_q.load());
	ferry_hk_queue_line("DigInfoQ", g_diginfo_freepool_q);
	ferry_hk_queue_line("WorkitemsQ", g_ka_workitems_freepool_q.load());
}

static const char *
ferry_hk_health_name(int32_t h)
{
	return h >= CLUSTER_DOWN && h <= CLUSTER_WINDOW_SHIP ? cluster_states[h] : "UNKNOWN";
}

/* The lags of every configured datacenter; all_read: the main reader has
 * read everything written. */
static void
ferry_hk_timelags(counters *c, bool all_read, bool print)
{
	uint64_t newest = g_last_logwrite_time.load();
	if (newest == 0) {
		newest = g_boottime;
	}
	int dcs = ferry_dc_configured();
	for (int dc = 0; dc < dcs; dc++) {
		int32_t health = __atomic_load_n(&g_rcfg[dc].cluster_health, __ATOMIC_RELAXED);
		// A last-ship time ahead of the newest write (clocks, a restored
		// header) is no lag, never a wrapped one.
		uint64_t lag = ferry_sub_sat(newest, ox_atomic64_get(&g_lastshiptime[dc].lst_localmin));
		if (all_read && health == CLUSTER_UP) {
			lag = 0;
		}
		ox_atomic64_set(&c->per_dc_counters[dc].timediff_lastship_cur, lag);
		if (print) {
			ox_info(QM_FERRY, "DC %s : Timelag = %ld secs, State= %s",
					g_dc_xcfg_opt[dc].dc_name ? g_dc_xcfg_opt[dc].dc_name : "", (long)(lag / 1000),
					ferry_hk_health_name(health));
		}
	}
}

static void
ferry_hk_persist_lastship(void)
{
	if (!g_rbuf_des) {
		return;
	}
	uint64_t *words = g_rbuf_des->hdr[0].udata;
	ferry_store_lst_to_words(words);
	for (int dc = 0; dc < DC_MAX_NUM; dc++) {
		uint64_t v = ox_atomic64_get(&words[dc]);
		if (v != 0) {
			ox_detail(QM_FERRY, "DC %d lastship=%lu,", dc, (unsigned long)v);
		}
	}
	if (ox_rbuffer_persist(g_rbuf_des) != 0) {
		ox_warning(QM_FERRY, "Failed to persist the per-DC lastship times in the log file");
	} else {
		ox_detail(QM_FERRY, "lastship logging successfull.....");
	}
}

void
ferry_hk_init(ferry_hk_state *st, counters *cntr, uint64_t now_ms)
{
	st->cntr = cntr;
	st->tick = 0;
	st->prev_stat_ms = now_ms;
	st->prev_ship_total = 0;
	st->prev_retries = 0;
}

bool
ferry_housekeeper_tick(ferry_hk_state *st, uint64_t now_ms)
{
	if (!g_server_up.load()) {
		return false;
	}
	st->tick++;
	ferry_windows_tend();
	ferry_send_lastshipinfo();
	if (st->tick % FERRY_QSTATS_PRINT_SECS == 0) {
		ferry_hk_queue_lines();
	}
	if (st->tick % FERRY_DIGESTLOG_RECLAIM_SECS == 0) {
		ferry_digestlog_reclaim();
	}
	if (st->tick % FERRY_THROUGHPUT_PRINT_INTERVAL != 0) {
		return true;
	}
	counters *c = st->cntr;
	uint64_t logged = ox_atomic64_get(&c->dlog_pkts_logged);
	uint64_t relogged = ox_atomic64_get(&c->dlog_pkts_relogged);
	uint64_t unlogged = ox_atomic64_get(&c->dlog_pkts_unlogged);
	uint64_t processed = ox_atomic64_get(&c->dlog_pkts_processed);
	uint64_t replprocessed = ox_atomic64_get(&c->dlog_pkts_replprocessed);
	uint64_t resume_replprocessed = ox_atomic64_get(&c->dlog_pkts_resume_replprocessed);
	uint64_t shipped = ox_atomic64_get(&c->remote_ship_total);

	ferry_hk_timelags(c, processed == logged, st->tick % FERRY_DC_TIMELAG_PRINT_INTERVAL == 0);

	// Two statistics in one millisecond (a test, a clock step) count as one.
	uint64_t elapsed = now_ms > st->prev_stat_ms ? now_ms - st->prev_stat_ms : 1;
	uint64_t throughput = ferry_sub_sat(shipped, st->prev_ship_total) * 1000 / elapsed;
	ox_atomic64_set(&c->remote_ship_throughput, throughput);

	uint64_t retries = 0, dropouts = 0;
	int workitems = 0;
	tamberlin_async_getstats(&retries, &dropouts, &workitems);
	ox_info(QM_FERRY,
			"Throughput=%-8lu Total=[Shipped=%lu Logged[+resumed]=%lu Relogged=%lu LocalProcessed=%lu "
			"ReplicaProcessed=%lu Retries=%lu] Unique=[%lu]",
			(unsigned long)throughput, (unsigned long)shipped, (unsigned long)logged,
			(unsigned long)relogged, (unsigned long)processed,
			(unsigned long)(resume_replprocessed + replprocessed),
			(unsigned long)ferry_sub_sat(retries, st->prev_retries),
			(unsigned long)ox_atomic64_get(&c->dlog_pkts_really_processed));
	ox_info(QM_FERRY, "Outstanding=[Remote Response=%d UnLogged=%d]", workitems, (int)unlogged);

	ferry_hk_persist_lastship();

	st->prev_retries = retries;
	st->prev_stat_ms = now_ms;
	st->prev_ship_total = shipped;
	return true;
}

void *
housekeeper(void *arg)
{
	static ferry_hk_state st;
	ferry_hk_init(&st, (counters *)arg, ox_getms());
	for (;;) {
		ferry_sleep_ms(FERRY_LASTSHIP_UPDINTERVAL_SECS * 1000);
		ferry_housekeeper_tick(&st, ox_getms());
	}
	return nullptr;
}
