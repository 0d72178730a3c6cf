/*
 * Datacenter windows: the window manager of a datacenter that went down, the
 * shipping of one window from the digest log, and the window list's
 * appends and destructor.
 *
 * Threads: one window manager per outage of a datacenter (started by the
 * shipper that moved its health from up to down); failed-node threads append
 * windows with add_window at any time. Only the manager removes windows.
 *
 * Whoever moves a datacenter from up to down appends the open window first,
 * from the main reader's time as it is at that change, and only then makes
 * the manager's thread: a thread that cannot be made leaves the datacenter
 * down with its windows, and the housekeeper tries again each tick. At most
 * one manager runs per datacenter (a flag it claims and gives back).
 *
 * Locks: each datacenter's window list has its own lock (the list's LOCK).
 * Every read or change of a window, the datacenter's window last-ship time
 * (lst_windowship) and the two steps that decide whether a manager still
 * looks after the list are made under it:
 *   - the manager's last step: the list is empty, and the health moves from
 *     CLUSTER_WINDOW_SHIP to CLUSTER_UP by compare-and-set;
 *   - add_window's append, and its test whether the health is CLUSTER_UP
 *     (the manager has gone; a new one is started).
 * So a window is never appended to a list that no manager will ship, and a
 * shipper that stores CLUSTER_DOWN meanwhile makes the manager's move fail,
 * which sends it back to waiting rather than leaving the datacenter marked up
 * while what the shipper could not send is in no window.
 *
 * lst_windowship holds the smallest digest time that window shipping still
 * needs: the record the head window reached, or the start of any window after
 * it, whichever is older. The reclaim keeps the digest log from there on.
 * It moves when a write is handed to the engine: the writes still awaiting
 * their replies count in the datacenter's window ring (ferry_refetch_send),
 * whose floor the local minimum also goes by, so a manager that moved on or
 * ended never lets go of a write that may yet fail.
 */
#include <pthread.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "ferry_dlogreader.h"
#include "ferry_seek.h"
#include "ferry_ship.h"
#include "ferry_windows.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ferry.h"
#include "tamberlin/ka_cluster.h"
#include "tamberlin/ka_request.h"
#include "tamberlin/ox_clock.h"
#include "tamberlin/rbuffer.h"

std::atomic<uint64_t> g_window_managers_started{0};
std::atomic<uint64_t> g_window_managers_ended{0};
std::atomic<bool> g_window_managers_quit{false};
ferry_thread_start_fn g_ferry_window_manager_spawn = pthread_create;

/* One window manager per datacenter at most: whoever starts one claims the
 * datacenter's flag (false to true), and the manager gives it back as it
 * ends, then looks once more for windows left to it. */
static std::atomic<bool> s_manager_on[DC_MAX_NUM];

/* Tries of a thread that cannot be made now (EAGAIN), 100 ms apart. */
#define FERRY_WINDOW_MANAGER_START_TRIES 10

/* ---- The window list ----------------------------------------------------- */

/* The list's own lock, held over a step that takes several list operations
 * (the list calls take it only inside one call each). */
struct ship_list_hold {
	ox_ll *ll;
	explicit ship_list_hold(ox_ll *l) : ll(l) { pthread_mutex_lock(&ll->LOCK); }
	~ship_list_hold() { pthread_mutex_unlock(&ll->LOCK); }
	ship_list_hold(const ship_list_hold &) = delete;
	ship_list_hold &operator=(const ship_list_hold &) = delete;
};

static ship_times_elem *
ship_elem(ox_ll_element *e)
{
	return (ship_times_elem *)e;
}

int
ferry_dc_index(const cluster_cfg *rcfg)
{
	for (int i = 0; i < ferry_dc_configured(); i++) {
		if (&g_rcfg[i] == rcfg) {
			return i;
		}
	}
	return -1;
}

static const char *
ferry_dc_name(int dc)
{
	return dc >= 0 && g_dc_xcfg_opt[dc].dc_name ? g_dc_xcfg_opt[dc].dc_name : "";
}

static uint64_t
ferry_lst_window_get(int dc)
{
	return dc >= 0 ? __atomic_load_n(&g_lastshiptime[dc].lst_windowship, __ATOMIC_SEQ_CST) : FERRY_LST_NONE;
}

static void
ferry_lst_window_set(int dc, uint64_t t)
{
	if (dc >= 0) {
		__atomic_store_n(&g_lastshiptime[dc].lst_windowship, t, __ATOMIC_SEQ_CST);
	}
}

/* A window from t on is wanted: the reclaim must keep its records. The list
 * lock held. */
static void
ferry_lst_window_lower(int dc, uint64_t t)
{
	if (t < ferry_lst_window_get(dc)) {
		ferry_lst_window_set(dc, t);
	}
}

/* The head window has reached t: lst_windowship becomes the older of t and
 * the starts of the windows behind it. The list lock held. */
static void
ferry_lst_window_reached(ox_ll *ll, int dc, uint64_t t)
{
	uint64_t min = t;
	for (ox_ll_element *e = ll->head ? ll->head->next : nullptr; e; e = e->next) {
		if (ship_elem(e)->cluster_start_marker < min) {
			min = ship_elem(e)->cluster_start_marker;
		}
	}
	ferry_lst_window_set(dc, min);
}

static ship_times_elem *
ship_elem_new(uint64_t start, uint64_t end, ox_node node)
{
	auto *w = (ship_times_elem *)ox_malloc(sizeof(ship_times_elem));
	if (w) {
		memset(w, 0, sizeof(*w));
		w->cluster_start_marker = start;
		w->cluster_end_marker = end;
		w->node_id = node;
	}
	return w;
}

void
destroy_ship_list_elem(void *element)
{
	ox_free(element);
}

int
add_window(cluster_cfg *rcfg, ox_node node_id, uint64_t starttime, uint64_t endtime)
{
	ox_ll *ll = rcfg ? rcfg->ship_times : nullptr;
	if (!ll) {
		ox_warning(QM_FERRY, "Windowshipper: No window list for the datacenter. Window from %lu to %lu for node id %lu is lost.",
				(unsigned long)starttime, (unsigned long)endtime, (unsigned long)node_id);
		return -1;
	}
	uint64_t end = endtime + ferry_time_adjust();
	if (end < endtime) {
		end = UINT64_MAX;
	}
	ship_times_elem *w = ship_elem_new(starttime, end, node_id);
	if (!w) {
		ox_warning(QM_FERRY, "Windowshipper: Out of memory. Window from %lu to %lu for node id %lu is lost.",
				(unsigned long)starttime, (unsigned long)endtime, (unsigned long)node_id);
		return -1;
	}
	int dc = ferry_dc_index(rcfg);
	uint32_t size;
	bool orphan = false;
	{
		ship_list_hold h(ll);
		ox_ll_append_lockfree(ll, &w->ele);
		size = ll->sz;
		ferry_lst_window_lower(dc, starttime);
		// Up means no manager looks after the list any more (it left after
		// finding the list empty under this lock): start one for the window.
		orphan = ferry_health_get(rcfg) == CLUSTER_UP && ferry_health_cas(rcfg, CLUSTER_UP, CLUSTER_DOWN);
	}
	ox_info(QM_FERRY, "Windowshipper: Added a new window from %lu to %lu for node id %lu.", (unsigned long)starttime,
			(unsigned long)endtime, (unsigned long)node_id);
	ox_info(QM_FERRY, "Windowshipper: For node id %lu Number of windows on list %d", (unsigned long)node_id, (int)size);
	if (orphan) {
		ox_info(QM_FERRY, "Windowshipper: Datacenter %s has no window manager for the new window. Changing Cluster State to CLUSTER_DOWN",
				ferry_dc_name(dc));
		ferry_start_window_manager(rcfg, rcfg->cntr ? rcfg->cntr : g_ferry_cntr, node_id);
	}
	return 0;
}

/* ---- Shipping one window --------------------------------------------------- */

static bool
ferry_windows_quitting(void)
{
	return g_window_managers_quit.load(std::memory_order_relaxed);
}

static bool
ferry_ns_ships_to(const ns_config_opt *ns, int dc)
{
	uint32_t n = ns->ns_dclist_v ? ox_vector_size(ns->ns_dclist_v) : 0;
	for (uint32_t i = 0; i < n && i < DC_MAX_NUM; i++) {
		if (ns->ns_dc_ids[i] == -1) {
			ox_warning(QM_FERRY, "Windowshipper: Encountered a null dcid in the list of dcs to replicate to");
		} else if (ns->ns_dc_ids[i] == dc) {
			return true;
		}
	}
	return false;
}

/* Whether a window of node ships this record: its own records for a failed
 * node's window; for this node's windows what the main reader would ship. */
static bool
ferry_window_covers(const ferry_msg_digestinfo *x, ox_node node)
{
	if (node != 0) {
		return x->masternode == node;
	}
	return x->masternode == 0 || ferry_dlogreader_takes_over(x);
}

typedef struct ferry_window_s {
	cluster_cfg *rcfg;
	int dc;
	ox_node node;
	counters *cntr;
} ferry_window;

/* The record was handed to the window's datacenter. */
static void
ferry_window_handed(ferry_window *w, uint64_t current)
{
	if (ferry_health_get(w->rcfg) == CLUSTER_WINDOW_SHIP && w->rcfg->ship_times) {
		ship_list_hold h(w->rcfg->ship_times);
		ferry_lst_window_reached(w->rcfg->ship_times, w->dc, current);
	}
}

/* A delete of the window: to the window's datacenter only (the others have
 * had it, and may hold the record written again since), and only when the
 * record is gone here too. 1 when the datacenter was found down. */
static int
ferry_window_delete(ferry_window *w, ferry_msg_digestinfo *x)
{
	ns_config_opt *ns = &g_ns_xcfg_opt[x->ns_id];
	if (!ferry_ns_ships_to(ns, w->dc)) {
		return 0;
	}
	ka::ox_digest d;
	memcpy(d.digest, x->digest, sizeof(d.digest));
	if (!ferry_reship_delete_gone(ns->ns_name, x, &d, w->cntr, "Windowshipper: ")) {
		return 0;
	}
	ox_detail(QM_FERRY, "Windowshipper: Namespace '%s' is being shipped to '%s' datacenter", ns->ns_name,
			ferry_dc_name(w->dc));
	int rv = ferry_refetch_send(w->rcfg, x, nullptr, w->cntr, w->node, ferry_inflight_window_ring(w->dc));
	if (rv == 0) {
		ferry_window_handed(w, x->digesttime);
		ox_atomic64_add(&w->cntr->per_dc_counters[w->dc].delete_ship_attempts, 1);
	}
	return rv;
}

/* A write of the window: the record as it is now, when it has not been
 * written again since it was logged. 1 when the datacenter was found down. */
static int
ferry_window_record(ferry_window *w, ferry_msg_digestinfo *x)
{
	ns_config_opt *ns = &g_ns_xcfg_opt[x->ns_id];
	if (!ferry_ns_ships_to(ns, w->dc)) {
		return 0;
	}
	ferry_refetch f;
	if (!ferry_refetch_record(g_local_cluster, x, w->cntr, "Windowshipper: ", &f)) {
		return 0;
	}
	ox_detail(QM_FERRY, "Windowshipper: Namespace '%s' is being shipped to '%s' datacenter", ns->ns_name,
			ferry_dc_name(w->dc));
	int result = ferry_refetch_send(w->rcfg, x, &f, w->cntr, w->node, ferry_inflight_window_ring(w->dc));
	if (result == 0) {
		ferry_window_handed(w, x->digesttime);
		ox_atomic64_add(&w->cntr->dlog_pkts_replprocessed, 1);
		ox_atomic64_add(&w->cntr->per_dc_counters[w->dc].record_ship_attempts, 1);
	}
	ferry_refetch_release(&f);
	return result;
}

/* One record read back: 1 when its ship found the datacenter down. */
static int
ferry_window_handle(ferry_window *w, ferry_msg_digestinfo *x)
{
	// The number indexes the namespace tables: one that is not configured
	// here has nothing to ship.
	if (!ferry_ns_known(x->ns_id) || !g_ns_xcfg_opt[x->ns_id].ns_name) {
		ox_debug(QM_FERRY, "Windowshipper: Skipping a digest of an unknown namespace with id %d", x->ns_id);
		return 0;
	}
	if (!ferry_window_covers(x, w->node)) {
		return 0;
	}
	if (x->delete_flag & RELAY_DELETE_FLAG) {
		return ferry_window_delete(w, x);
	}
	return ferry_window_record(w, x);
}

/* Places a reader at start: the context, or NULL when nothing was logged from
 * start on. A seek that failed for another reason is tried again every
 * second. */
static ox_rbuffer_ctx *
ferry_window_seek(uint64_t start, ferry_msg_ondisk *rec)
{
	for (int tries = 0;; tries++) {
		int reason = FERRY_SEEK_NOTHING_NEWER;
		memset(rec, 0, sizeof(*rec));
		ox_rbuffer_ctx *ctx = ferry_digestlog_seektime(start, rec, &reason);
		if (ctx || reason == FERRY_SEEK_NOTHING_NEWER || ferry_windows_quitting()) {
			return ctx;
		}
		if (tries == 0) {
			ox_warning(QM_FERRY, "Windowshipper: Could not place a reader at %lu (reason %d). Retrying every second",
					(unsigned long)start, reason);
		}
		ferry_sleep_ms(1000);
	}
}

int
ferry_do_windowship(cluster_cfg *rcfg, uint64_t starttime, uint64_t endtime, uint64_t *current_window_ship_time,
		ox_node node_id)
{
	ferry_msg_ondisk rec;
	memset(&rec, 0, sizeof(rec));
	if (starttime > endtime) {
		ox_warning(QM_FERRY,
				"Windowshipper:FERRY last ship time greater than failed time. Not doing any processing.");
		return 0;
	}
	ox_rbuffer_ctx *ctx = ferry_window_seek(starttime, &rec);
	if (!ctx) {
		ox_info(QM_FERRY, "Windowshipper: Got NULL read buffer ctx. Nothing to ship.");
		*current_window_ship_time = 0;
		return 0;
	}
	uint64_t current = rec.diginfo.digesttime;
	ox_info(QM_FERRY, "Windowshipper: Start digest timestamp %lu", (unsigned long)current);
	if (endtime <= current) {
		ox_rbuffer_closectx(ctx);
		*current_window_ship_time = current;
		return 0;
	}
	ferry_window w = {rcfg, ferry_dc_index(rcfg), node_id, rcfg->cntr ? rcfg->cntr : g_ferry_cntr};
	int result = 0;
	int bad_magic = 0;
	while (!ferry_windows_quitting()) {
		int rv = ferry_read_next_record(ctx, &rec, &bad_magic, "Windowshipper");
		if (rv == RBUFFER_READ_HITS_WRITE) {
			// A failed node's records keep coming (as replicas) until its
			// window's end: wait for them rather than end early. This node's
			// own later records are the main reader's.
			if (node_id != 0 && endtime > ferry_stamp_clock()) {
				if (ferry_health_get(rcfg) == CLUSTER_DOWN) {
					result = 1;
					break;
				}
				ferry_sleep_ms(1000);
				continue;
			}
			ox_info(QM_FERRY, "Windowshipper: Did not get anything from digestlog. Timestamp of lastshipped digest = %lu ",
					(unsigned long)rec.diginfo.digesttime);
			break;
		}
		if (rv == RBUFFER_SEG_VERSION_MISMATCH) {
			// The log was full and the writer took the oldest segments: what
			// the window still had to read there is lost to the datacenter.
			uint64_t lost = ox_rbuffer_ctx_tostart(g_rbuf_des, ctx);
			ox_info(QM_FERRY, "Windowshipper: Digest log got wrapped. Continuing from the current start marker");
			if (lost > 0) {
				ox_warning(QM_FERRY, "Windowshipper: DC %s: the digest log was overwritten under the window's reader: %lu records given up",
						ferry_dc_name(w.dc), (unsigned long)lost);
			}
		} else if (rv == RBUFFER_FILE_SYSTEM_ERROR) {
			ox_warning(QM_FERRY, "Windowshipper: Encountered file system error.");
			break;
		} else if (rv == RBUFFER_SEG_BAD_MAGIC) {
			ox_debug(QM_FERRY, "Windowshipper: Encountered bad magic..retrying");
		} else if (rv > 0) {
			current = rec.diginfo.digesttime;
			if (ferry_window_handle(&w, &rec.diginfo) == 1) {
				result = 1;
				break;
			}
		} else {
			ox_warning(QM_FERRY, "Windowshipper: Unhandled return code %d while reading. Retrying", rv);
			ferry_sleep_ms(1000);
		}
		if (endtime <= current) {
			break;
		}
	}
	ox_rbuffer_closectx(ctx);
	*current_window_ship_time = current;
	return result;
}

/* ---- The window manager ---------------------------------------------------- */

/* The head window's fields, read under the list lock; false when the list is
 * empty. */
static bool
ferry_window_head(ox_ll *ll, ship_times_elem *out, uint32_t *size)
{
	ship_list_hold h(ll);
	*size = ll->sz;
	if (!ll->head) {
		return false;
	}
	*out = *ship_elem(ll->head);
	return true;
}

static int
ferry_window_close_cb(ox_ll_element *e, void *udata)
{
	(void)udata;
	ship_times_elem *w = ship_elem(e);
	if (w->cluster_end_marker == 0) {
		w->cluster_end_marker = ferry_stamp_clock() + ferry_time_adjust();
	}
	return 0;
}

/* Where a window opened now starts: the main reader's time less the margin.
 * lst_main stays put while the datacenter is not up, so it covers everything
 * since the first outage; the batch floor covers the digests of the batch in
 * progress that were not handed over yet. */
static uint64_t
ferry_window_start(int dc)
{
	return dc >= 0 ? ferry_sub_sat(ferry_lst_main_floor(dc), ferry_time_adjust()) : 0;
}

/* Opens a window of node from start. */
static void
ferry_window_open(ox_ll *ll, int dc, ox_node node, uint64_t start)
{
	ship_times_elem *w = nullptr;
	// The window is the only record of what the datacenter misses: wait for
	// memory rather than go on without it.
	while (!(w = ship_elem_new(start, 0, node))) {
		ox_warning(QM_FERRY, "Windowshipper: Out of memory for a new window. Retrying");
		ferry_sleep_ms(1000);
	}
	uint32_t size;
	{
		ship_list_hold h(ll);
		ox_ll_append_lockfree(ll, &w->ele);
		ferry_lst_window_lower(dc, start);
		size = ll->sz;
	}
	ox_info(QM_FERRY, "Windowshipper: For node id %lu. Created a new window and put start time in the Ship List",
			(unsigned long)node);
	ox_info(QM_FERRY, "Windowshipper: For node id %lu. Number of windows on list %d", (unsigned long)node, (int)size);
}

static bool
ferry_manager_claim(int dc)
{
	bool expected = false;
	return dc < 0 || s_manager_on[dc].compare_exchange_strong(expected, true);
}

static void
ferry_manager_leave(int dc)
{
	if (dc >= 0) {
		s_manager_on[dc].store(false);
	}
}

/* Starts a window manager for the datacenter unless one is there: false when
 * no thread could be made (the datacenter stays down with its windows). */
static bool
ferry_window_spawn(cluster_cfg *rcfg, int dc)
{
	if (!ferry_manager_claim(dc)) {
		return true; // one that is leaving looks at the list once more
	}
	auto *td = (windowshipper_td *)ox_malloc(sizeof(windowshipper_td));
	int rv = ENOMEM;
	if (td) {
		td->rcfg = rcfg;
		td->node_id = 0;
		// Nobody waits for a window manager: it owns its argument and ends on
		// its own, so its resources go back when it ends.
		pthread_attr_t attr;
		pthread_attr_init(&attr);
		pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
		pthread_t th;
		for (int tries = 0; tries < FERRY_WINDOW_MANAGER_START_TRIES; tries++) {
			if (tries > 0) {
				ferry_sleep_ms(100);
			}
			rv = g_ferry_window_manager_spawn(&th, &attr, ferry_window_manager, td);
			if (rv == 0) {
				break;
			}
		}
		pthread_attr_destroy(&attr);
		if (rv == 0) {
			g_window_managers_started.fetch_add(1);
			return true;
		}
		ox_free(td);
	}
	ferry_manager_leave(dc);
	ox_warning(QM_FERRY, "pthread_create failed with error %s", ox_strerror(rv));
	ox_warning(QM_FERRY, "Windowshipper: No window manager could be started for DC %s: it stays %s with its windows until one can",
			ferry_dc_name(dc), cluster_states[CLUSTER_DOWN]);
	return false;
}

bool
ferry_start_window_manager(cluster_cfg *rcfg, counters *cntr, ox_node node_id)
{
	// Recorded now: from this change on the datacenter refuses every ship,
	// and the window must hold each record refused.
	int dc = ferry_dc_index(rcfg);
	uint64_t start = ferry_window_start(dc);
	rcfg->cntr = cntr;
	ox_info(QM_FERRY, "Cluster is down! Spawning a thread. For node id %d", (int)node_id);
	ox_info(QM_FERRY, "Windowshipper: Changing Cluster State of DC %s to CLUSTER_DOWN", ferry_dc_name(dc));
	// The window goes in before the thread is made: a manager that cannot
	// be started must leave nothing outside a window.
	bool opened = rcfg->ship_times != nullptr;
	if (opened) {
		ferry_window_open(rcfg->ship_times, dc, 0, start);
	}
	ferry_window_spawn(rcfg, dc);
	return opened;
}

void
ferry_windows_tend(void)
{
	for (int dc = 0; dc < ferry_dc_configured(); dc++) {
		cluster_cfg *rcfg = &g_rcfg[dc];
		if (!rcfg->ship_times || ferry_health_get(rcfg) != CLUSTER_DOWN || s_manager_on[dc].load() ||
				ox_ll_size(rcfg->ship_times) == 0) {
			continue;
		}
		ox_info(QM_FERRY, "Windowshipper: DC %s is down with windows and no window manager. Starting one",
				ferry_dc_name(dc));
		ferry_window_spawn(rcfg, dc);
	}
}

/* Waits until the datacenter answers again; false when told to quit. */
static bool
ferry_window_wait_up(cluster_cfg *rcfg)
{
	while (tamberlin_check_cluster_health(rcfg->asc) != TAMBERLIN_FAIL_DC_UP) {
		if (ferry_windows_quitting()) {
			return false;
		}
		ferry_sleep_ms(1000);
	}
	return !ferry_windows_quitting();
}

typedef enum {
	WINDOWS_DONE = 0,  /* every window shipped, the datacenter is up */
	WINDOWS_DOWN = 1,  /* down again: open a window and wait */
	WINDOWS_QUIT = 2
} ferry_windows_outcome;

/* Ships the windows head first until the list is empty and the datacenter
 * could be moved to CLUSTER_UP. */
static ferry_windows_outcome
ferry_window_ship_all(cluster_cfg *rcfg, int dc, ox_node node)
{
	ox_ll *ll = rcfg->ship_times;
	for (;;) {
		ship_times_elem head;
		uint32_t size;
		if (ferry_window_head(ll, &head, &size)) {
			ox_info(QM_FERRY, "Windowshipper: For node id %lu. Start window shipping between %lu and %lu",
					(unsigned long)head.node_id, (unsigned long)head.cluster_start_marker,
					(unsigned long)head.cluster_end_marker);
			ox_info(QM_FERRY, "Windowshipper: For node id %lu. Number of windows on list %d",
					(unsigned long)head.node_id, (int)size);
			uint64_t reached = 0;
			int rv = ferry_do_windowship(rcfg, head.cluster_start_marker, head.cluster_end_marker, &reached,
					head.node_id);
			if (ferry_windows_quitting()) {
				return WINDOWS_QUIT;
			}
			if (rv == 1) {
				uint64_t resume = ferry_sub_sat(reached, ferry_time_adjust());
				{
					ship_list_hold h(ll);
					ship_elem(ll->head)->cluster_start_marker = resume;
					ferry_lst_window_lower(dc, resume);
				}
				ox_info(QM_FERRY, "Windowshipper: For node id %lu. Cluster down while window shipping at %lu..trying again",
						(unsigned long)head.node_id, (unsigned long)reached);
				return WINDOWS_DOWN;
			}
			{
				ship_list_hold h(ll);
				ox_ll_delete_lockfree(ll, ll->head);
				size = ll->sz;
			}
			ox_info(QM_FERRY, "Windowshipper: For node id %lu. Done window shipping between %lu and %lu removing this window",
					(unsigned long)head.node_id, (unsigned long)head.cluster_start_marker,
					(unsigned long)head.cluster_end_marker);
			ox_info(QM_FERRY, "Windowshipper: For node id %lu. Number of windows on list %d",
					(unsigned long)head.node_id, (int)size);
			if (size != 0) {
				continue;
			}
		}
		// The last step, whole under the list lock: a window appended after
		// it finds the datacenter up and starts a manager of its own.
		bool empty, up = false;
		{
			ship_list_hold h(ll);
			empty = ll->head == nullptr;
			if (empty && ferry_health_cas(rcfg, CLUSTER_WINDOW_SHIP, CLUSTER_UP)) {
				up = true;
				ferry_lst_window_set(dc, FERRY_LST_NONE);
			}
		}
		if (!empty) {
			continue; // a failed-node window came meanwhile
		}
		if (!up) {
			ox_info(QM_FERRY, "Windowshipper: For node id %lu. Cluster went down again before it could be set up",
					(unsigned long)node);
			return WINDOWS_DOWN;
		}
		ox_info(QM_FERRY, "Windowshipper: For node id %lu. Done with shipping of all windows", (unsigned long)node);
		ox_info(QM_FERRY, "Windowshipper: For node id %lu. Changing Cluster State to CLUSTER_UP", (unsigned long)node);
		return WINDOWS_DONE;
	}
}

void *
ferry_window_manager(void *arg)
{
	// The argument is copied before anything else and freed last.
	windowshipper_td td = *(windowshipper_td *)arg;
	cluster_cfg *rcfg = td.rcfg;
	ox_node node = td.node_id;
	int dc = ferry_dc_index(rcfg);
	ox_ll *ll = rcfg->ship_times;

	// Whoever started this thread set the health to down and opened the
	// first window.
	if (!ll) {
		ox_warning(QM_FERRY, "Windowshipper: DC %s has no window list. Nothing can be shipped again.",
				ferry_dc_name(dc));
		ferry_manager_leave(dc);
		ox_free(arg);
		g_window_managers_ended.fetch_add(1);
		return nullptr;
	}
	bool reopen = false;
	for (;;) {
		if (reopen) {
			ferry_window_open(ll, dc, node, ferry_window_start(dc));
		}
		reopen = true;
		if (!ferry_window_wait_up(rcfg)) {
			break;
		}
		ox_info(QM_FERRY, "Windowshipper: For node id %lu. Cluster has come Up %d", (unsigned long)node,
				ferry_health_get(rcfg));
		ox_info(QM_FERRY, "Windowshipper: For node id %lu. Changing Cluster State to CLUSTER_WINDOW_SHIP",
				(unsigned long)node);
		// Only the manager moves the health out of down.
		if (!ferry_health_cas(rcfg, CLUSTER_DOWN, CLUSTER_WINDOW_SHIP)) {
			ox_warning(QM_FERRY, "Windowshipper: DC %s was not down (%d) when it came up", ferry_dc_name(dc),
					ferry_health_get(rcfg));
		}
		ox_ll_reduce(ll, false, ferry_window_close_cb, nullptr);
		ferry_windows_outcome o = ferry_window_ship_all(rcfg, dc, node);
		if (o == WINDOWS_DOWN) {
			continue;
		}
		ferry_manager_leave(dc);
		// A datacenter moved down while this manager was leaving found it
		// still there and started none: its windows are this one's again.
		if (o == WINDOWS_DONE && !ferry_windows_quitting() && ferry_health_get(rcfg) == CLUSTER_DOWN &&
				ox_ll_size(ll) != 0 && ferry_manager_claim(dc)) {
			reopen = false;
			continue;
		}
		ox_free(arg);
		g_window_managers_ended.fetch_add(1);
		return nullptr;
	}
	ferry_manager_leave(dc);
	ox_free(arg);
	g_window_managers_ended.fetch_add(1);
	return nullptr;
}
