/*
 * Failed-node threads: one per failed local node, started by the pipe reader
 * with the node's slot. The thread ships, on the failed node's behalf, the
 * logged changes that node mastered, from its last-ship times to its failure
 * time, to every datacenter of their namespaces; a datacenter that goes down
 * meanwhile gets the rest as a window on its list.
 *
 * The pipe reader starts a thread as soon as a report arrives, which can be
 * long before start-up has made the cluster connections: a thread first
 * waits for them, since everything it does reads or ships through them.
 *
 * The slot (ferry_shared.h) is shared with the pipe reader, which refreshes
 * its times on a repeated report: the thread reads the end and the starts
 * live and lets the slot go only as its very last step, taking it back when
 * the end moved meanwhile. Each run holds the failed-node last-ship time of
 * every datacenter at its own position (the slot's lst_hold); the minimum
 * over the runs is what the reclaim and the reports see, so one run ending
 * never lets go of what another still has to read. A hold moves when a write
 * is handed to the engine; the writes still awaiting their replies count in
 * the slot's ring (ferry_refetch_send), which holds the local minimum past
 * the run's end until they are answered.
 *
 * Locks: none of its own; the window list's lock inside add_window.
 */
#include "tamberlin/ferry.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ferry_clusters.h"
#include "ferry_failnode.h"
#include "ferry_seek.h"
#include "ferry_ship.h"
#include "ferry_windows.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ka_request.h"
#include "tamberlin/ox_clock.h"
#include "tamberlin/rbuffer.h"

/* One run over the digest log, on the failed-node thread. */
typedef struct ferry_failnode_run_s {
	failednode_info *slot;
	int slotnumber;
	ox_node node;
	thread_data *td;
	counters *cntr;
	uint64_t start;
	uint64_t current;              /* digest time of the last record read */
	bool windowed[DC_MAX_NUM];     /* a window took this datacenter's rest */
	uint64_t window_end[DC_MAX_NUM]; /* up to this end */
} ferry_failnode_run;

static bool
ferry_failnode_shipping_on(void)
{
	return __atomic_load_n(&g_xcfg.ferry_shipping_enabled, __ATOMIC_RELAXED);
}

static void
ferry_failnode_hold_all(ferry_failnode_run *r, uint64_t t)
{
	for (int dc = 0; dc < DC_MAX_NUM; dc++) {
		ferry_failednode_hold(r->slotnumber, dc, t);
	}
}

/* A send that found the datacenter down: the run hands what is left of it to
 * the datacenter's window list, up to the run's end as it stands now. Any
 * other state means the datacenter came back (or never went): send again. */
static bool
ferry_failnode_down(ferry_failnode_run *r, int dc)
{
	cluster_cfg *rcfg = &g_rcfg[dc];
	if (__atomic_load_n(&rcfg->cluster_health, __ATOMIC_ACQUIRE) != CLUSTER_DOWN) {
		return false;
	}
	uint64_t end = r->slot->failtime.load();
	// The log is only nearly sorted (a relog may follow stamped a little
	// earlier): the window starts a margin before the record, as a window
	// manager resumes one, so its seek cannot land after that record.
	uint64_t start = ferry_sub_sat(r->current, ferry_time_adjust());
	ox_info(QM_FERRY, "Windowshipper: Cluster went down while doing failed node processing.");
	ox_info(QM_FERRY, "Adding window for node %lu from %lu to %lu.", (unsigned long)r->node,
			(unsigned long)start, (unsigned long)end);
	if (add_window(rcfg, r->node, start, end) != 0) {
		// Nothing holds the rest for the datacenter yet: try again shortly,
		// through the send, which also sees it come back.
		ferry_sleep_ms(1000);
		return false;
	}
	r->windowed[dc] = true;
	r->window_end[dc] = end;
	return true;
}

/* A repeated report moved the run's end past what the windows of the
 * datacenters that went down were given: each gets the stretch between. */
static void
ferry_failnode_extend_windows(ferry_failnode_run *r, uint64_t end)
{
	for (int dc = 0; dc < DC_MAX_NUM; dc++) {
		if (!r->windowed[dc] || r->window_end[dc] >= end) {
			continue;
		}
		ox_info(QM_FERRY, "Adding window for node %lu from %lu to %lu.", (unsigned long)r->node,
				(unsigned long)r->window_end[dc], (unsigned long)end);
		if (add_window(&g_rcfg[dc], r->node, r->window_end[dc], end) == 0) {
			r->window_end[dc] = end;
		}
	}
}

/* Whether datacenter dc still takes this record from the run: a datacenter
 * the failed node had already shipped it to, or whose rest a window took,
 * does not. */
static bool
ferry_failnode_wants(ferry_failnode_run *r, ns_config_opt *ns, int dc)
{
	if (r->current < r->slot->ferrylastship[dc].load()) {
		return false;
	}
	if (!g_rcfg[dc].asc) {
		ox_warning(QM_FERRY, "Got a record of namespace '%s' whose destination cluster '%s' is uninitialized. Skipping it.",
				ns->ns_name, g_dc_xcfg_opt[dc].dc_name);
		return false;
	}
	return !r->windowed[dc];
}

/* The datacenter ids of the namespace, -1 for an entry that names none. */
static int
ferry_failnode_dc_at(ns_config_opt *ns, uint32_t i)
{
	int dc = ns->ns_dc_ids[i];
	if (dc < 0 || dc >= DC_MAX_NUM) {
		ox_warning(QM_FERRY, "Encountered a null dcid in the list of dcs to replicate to");
		return -1;
	}
	ox_detail(QM_FERRY, "Namespace '%s' is being shipped to '%s' datacenter", ns->ns_name,
			g_dc_xcfg_opt[dc].dc_name);
	return dc;
}

static uint32_t
ferry_failnode_dc_count(ns_config_opt *ns)
{
	uint32_t n = ns->ns_dclist_v ? ox_vector_size(ns->ns_dclist_v) : 0;
	return n < DC_MAX_NUM ? n : DC_MAX_NUM;
}

/* Sends a record (f) or a delete (f NULL) to dc until it is on its way, or
 * until dc is found down, when the rest of the run goes to dc's window list.
 * A send that found dc down while its state has moved on since goes again. */
static void
ferry_failnode_send(ferry_failnode_run *r, int dc, ferry_msg_digestinfo *x, ferry_refetch *f)
{
	for (;;) {
		if (ferry_refetch_send(&g_rcfg[dc], x, f, r->cntr, r->node, ferry_inflight_failednode_ring(r->slotnumber)) == 0) {
			ferry_failednode_hold(r->slotnumber, dc, r->current);
			per_dc_counters *c = &r->cntr->per_dc_counters[dc];
			ox_atomic64_add(f ? &c->record_ship_attempts : &c->delete_ship_attempts, 1);
			return;
		}
		if (ferry_failnode_down(r, dc)) {
			return;
		}
	}
}

/* To each datacenter of the record's namespace that still takes it. */
static void
ferry_failnode_send_all(ferry_failnode_run *r, ferry_msg_digestinfo *x, ferry_refetch *f)
{
	ns_config_opt *ns = &g_ns_xcfg_opt[x->ns_id];
	uint32_t n = ferry_failnode_dc_count(ns);
	for (uint32_t i = 0; i < n; i++) {
		int dc = ferry_failnode_dc_at(ns, i);
		if (dc >= 0 && ferry_failnode_wants(r, ns, dc)) {
			ferry_failnode_send(r, dc, x, f);
		}
	}
}

/* A delete of the failed node's: shipped only when the record is gone
 * locally, since it may have been written again since, and to each
 * datacenter as a record would be. */
static void
ferry_failnode_delete(ferry_failnode_run *r, ferry_msg_digestinfo *x)
{
	ka::ox_digest d;
	memcpy(d.digest, x->digest, sizeof(d.digest));
	if (ferry_reship_delete_gone(g_ns_xcfg_opt[x->ns_id].ns_name, x, &d, r->cntr, "Failed node processing: ")) {
		ferry_failnode_send_all(r, x, nullptr);
	}
}

/* A record of the failed node's: fetched again from the local cluster and
 * shipped to each datacenter of its namespace that still takes it. */
static void
ferry_failnode_record(ferry_failnode_run *r, ferry_msg_digestinfo *x)
{
	ka_cluster *asc = r->td && r->td->mcfg && r->td->mcfg->asc ? r->td->mcfg->asc : g_local_cluster;
	ferry_refetch f;
	if (!ferry_refetch_record(asc, x, r->cntr, "Failed node processing: ", &f)) {
		return;
	}
	ferry_failnode_send_all(r, x, &f);
	ox_atomic64_add(&r->cntr->dlog_pkts_replprocessed, 1);
	ferry_refetch_release(&f);
}

/* The run's reader: a context from the seek, retried each second while the
 * log has nothing for it yet and the end has not passed; NULL when there is
 * nothing to do. */
static ox_rbuffer_ctx *
ferry_failnode_seek(ferry_failnode_run *r, ferry_msg_ondisk *rec)
{
	for (;;) {
		if (!g_rbuf_des) {
			return nullptr;
		}
		memset(rec, 0, sizeof(*rec));
		int reason = FERRY_SEEK_NOTHING_NEWER;
		ox_rbuffer_ctx *ctx = ferry_digestlog_seektime(r->start, rec, &reason);
		if (ctx) {
			return ctx;
		}
		// Nothing newer yet: the node's last records may still be on their
		// way through the pipe, as when a run catches up with the writer.
		if (ferry_stamp_clock() >= r->slot->failtime.load()) {
			return nullptr;
		}
		ferry_sleep_ms(1000);
	}
}

/* Reads the failed node's records from the run's start until its end (the
 * slot's, read on every pass) and ships them. The end is a wall-clock time
 * five minutes after the report: a run that catches up with the writer
 * earlier waits and reads again until it has passed, since records of the
 * node can still arrive until then. The end the run last saw. */
static uint64_t
ferry_failnode_read(ferry_failnode_run *r, ox_rbuffer_ctx *ctx, ferry_msg_ondisk *rec)
{
	int bad_magic = 0;
	bool end_passed = false;
	char who[64];
	snprintf(who, sizeof(who), "Failed node processing of node %lu", (unsigned long)r->node);
	for (;;) {
		uint64_t end = r->slot->failtime.load();
		ferry_failnode_extend_windows(r, end);
		if (r->current >= end) {
			return end;
		}
		while (!ferry_failnode_shipping_on()) {
			ferry_sleep_ms(1000);
		}
		int rv = ferry_read_next_record(ctx, rec, &bad_magic, who);
		if (rv == RBUFFER_READ_HITS_WRITE) {
			// One more read after the end has passed takes what the writer
			// still held stamped before it.
			if (ferry_stamp_clock() >= end) {
				if (end_passed) {
					return end;
				}
				end_passed = true;
			}
			ferry_sleep_ms(1000);
			continue;
		}
		end_passed = false;
		if (rv == RBUFFER_SEG_VERSION_MISMATCH) {
			// The log was full and the writer took the oldest segments: what
			// the run still had to read there no datacenter gets from it.
			uint64_t lost = ox_rbuffer_ctx_tostart(g_rbuf_des, ctx);
			if (lost > 0) {
				ox_warning(QM_FERRY, "Failed node processing of node %lu: the digest log was overwritten under its reader: %lu records given up",
						(unsigned long)r->node, (unsigned long)lost);
			}
			continue;
		}
		if (rv == RBUFFER_FILE_SYSTEM_ERROR) {
			ox_warning(QM_FERRY, "Encountered file system error.");
			return end;
		}
		if (rv == RBUFFER_SEG_BAD_MAGIC) {
			ox_debug(QM_FERRY, "Encountered bad magic..retrying");
			continue;
		}
		ferry_msg_digestinfo *x = &rec->diginfo;
		r->current = x->digesttime;
		if (x->masternode != r->node) {
			continue;
		}
		if (!ferry_ns_known(x->ns_id) || !g_ns_xcfg_opt[x->ns_id].ns_name) {
			ox_warning(QM_FERRY, "Failed node processing: a record of an unknown namespace with id %d. Skipping it",
					x->ns_id);
			continue;
		}
		if (x->delete_flag & RELAY_DELETE_FLAG) {
			ferry_failnode_delete(r, x);
		} else {
			ferry_failnode_record(r, x);
		}
	}
}

/* One run from the slot's times as they are now. The end it last saw. */
static uint64_t
ferry_failnode_run_once(ferry_failnode_run *r)
{
	failednode_info *f = r->slot;
	uint64_t end = f->failtime.load();
	r->start = ferry_failednode_start_time(f);
	if (r->start == FERRY_LST_NONE) {
		ox_info(QM_FERRY, "FERRY last ship time of failed node %lu is 0 (nothing to process).",
				(unsigned long)r->node);
		return end;
	}
	if (end < r->start) {
		ox_warning(QM_FERRY, "FERRY last ship time greater than failed time. Not doing any processing.");
		return end;
	}
	// Held before the first read, so the reclaim keeps what the run has
	// still to read.
	ferry_failnode_hold_all(r, r->start);
	ox_detail(QM_FERRY, "Requesting: Failed node processing in window [%lu:%lu] of node %lu",
			(unsigned long)r->start, (unsigned long)end, (unsigned long)r->node);
	ferry_msg_ondisk rec;
	ox_rbuffer_ctx *ctx = ferry_failnode_seek(r, &rec);
	if (ctx) {
		r->current = rec.diginfo.digesttime;
		ox_info(QM_FERRY, "Performing: Failed node processing in window [%lu:%lu] of node %lu",
				(unsigned long)r->current, (unsigned long)f->failtime.load(), (unsigned long)r->node);
		memset(r->windowed, 0, sizeof(r->windowed));
		end = ferry_failnode_read(r, ctx, &rec);
		ox_rbuffer_closectx(ctx);
	} else {
		end = f->failtime.load();
	}
	ferry_failnode_hold_all(r, FERRY_LST_NONE);
	ox_info(QM_FERRY, "Finished: Failed node processing in window [%lu:%lu] of node %lu",
			(unsigned long)r->start, (unsigned long)end, (unsigned long)r->node);
	return end;
}

void
ferry_process_failednode(ox_node node, std::atomic<uint64_t> *starttimes, uint64_t endtime, thread_data *td,
		int slotnumber)
{
	(void)starttimes; // the slot's own, read live through it
	(void)endtime;    // likewise: a repeated report moves it
	if (slotnumber < 0 || slotnumber >= CLUSTER_MAX_SZ) {
		return;
	}
	ferry_failnode_run r;
	memset(&r, 0, sizeof(r));
	r.slot = &g_failednodeinfo[slotnumber];
	r.slotnumber = slotnumber;
	r.node = node;
	r.td = td;
	r.cntr = td && td->cntr ? td->cntr : g_ferry_cntr;
	static counters s_uncounted;
	if (!r.cntr) {
		r.cntr = &s_uncounted; // shipping needs a record to add to
	}
	for (;;) {
		uint64_t seen = ferry_failnode_run_once(&r);
		// The slot goes last. A repeated report stores its end before it
		// looks at the slot, and this thread looks at the end after letting
		// the slot go: one of the two sees the other, so a report that lands
		// now either finds the slot free and starts a run, or is taken here.
		r.slot->slotinuse.store(false);
		if (r.slot->failtime.load() == seen || !ferry_failednode_claim(slotnumber)) {
			return;
		}
		// Reported again meanwhile. (Or, should another node's run have had
		// the slot meanwhile and ended too, that node's report: the slot
		// says whose.)
		r.node = r.slot->node;
		ox_info(QM_FERRY, "Failed node %lu was reported again meanwhile: processing again",
				(unsigned long)r.node);
	}
}

void *
ferry_handle_failover(void *arg)
{
	auto *fi = (failover_info *)arg;
	int slot = fi ? fi->slotnumber : -1;
	thread_data *td = fi ? fi->td : nullptr;
	ox_free(arg);
	if (slot < 0 || slot >= CLUSTER_MAX_SZ) {
		return nullptr;
	}
	ferry_wait_clusters_created();
	failednode_info *f = &g_failednodeinfo[slot];
	ferry_process_failednode(f->node, f->ferrylastship, f->failtime.load(), td, slot);
	return nullptr;
}
