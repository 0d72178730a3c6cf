/*
 * Shipping: one record (or delete) to one datacenter through the client's
 * asynchronous write engine, the engine's reply callbacks, and the relog that
 * puts a digest back on the digest-log queue to be read, fetched and shipped
 * again from scratch.
 *
 * ferry_queue_digest runs on the client's batch threads, the record-fetch
 * workers, the main thread (deletes), window managers and failed-node threads
 * at once, several of them for the same datacenter; the callbacks run on the
 * engine's receiver threads. Nothing here takes a lock of its own: counters
 * are atomic additions, a datacenter's health changes by compare-and-set, and
 * the free pool and the digest-log queue are thread-safe queues.
 *
 * A shipping record (digestinfo) goes to the engine as the write's user data
 * and comes back to the free pool in the callback. Every path that ends
 * without handing it to the engine puts it back itself, once: the engine
 * calls back only for a send that returned 0.
 */
#include <pthread.h>

#include <cerrno>
#include <cstring>

#include "ferry_fetch.h"
#include "ferry_ship.h"
#include "ferry_windows.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ferry.h"
#include "tamberlin/ka_async.h"
#include "tamberlin/ka_cluster.h"
#include "tamberlin/ka_request.h"
#include "tamberlin/ox_clock.h"
#include "tamberlin/ox_random.h"

/* Used when the configured timeout is not usable: a send without a deadline
 * would never report a datacenter that went away. */
#define FERRY_SHIP_DEFAULT_TIMEOUT 30000

/* ---- Health and the free pool ----------------------------------------- */

int32_t
ferry_health_get(cluster_cfg *rcfg)
{
	return __atomic_load_n(&rcfg->cluster_health, __ATOMIC_ACQUIRE);
}

bool
ferry_health_cas(cluster_cfg *rcfg, int32_t from, int32_t to)
{
	return __atomic_compare_exchange_n(&rcfg->cluster_health, &from, to, false, __ATOMIC_ACQ_REL,
			__ATOMIC_ACQUIRE);
}

static digestinfo *
ferry_diginfo_take(void)
{
	digestinfo *di = nullptr;
	if (g_diginfo_freepool_q && ox_queue_pop(g_diginfo_freepool_q, &di, OX_QUEUE_NOWAIT) == OX_QUEUE_OK &&
			di) {
		return di;
	}
	return (digestinfo *)ox_malloc(sizeof(digestinfo));
}

/* The road of the re-ship this thread is sending (ferry_refetch_send): its
 * ring, and the digest time of the record. No ring: the main reader's. */
struct ferry_reship_road {
	ferry_inflight_ring *ring;
	uint64_t time;
};
static thread_local ferry_reship_road t_reship_road = {nullptr, 0};

/* A write handed over now awaits its reply at the datacenter of rcfg. */
static void
ferry_diginfo_count(digestinfo *di, const cluster_cfg *rcfg)
{
	int dc = rcfg >= g_rcfg && rcfg < g_rcfg + DC_MAX_NUM ? (int)(rcfg - g_rcfg) : -1;
	di->inflight_dc = (int16_t)dc;
	di->inflight_ring = t_reship_road.ring;
	di->inflight_group = (int16_t)(di->inflight_ring
					? ferry_inflight_road_take(di->inflight_ring, dc, t_reship_road.time)
					: ferry_inflight_take(dc));
}

/* Every record taken for a send comes back here once it is dealt with: sent
 * and called back, or not sent at all. */
static void
ferry_diginfo_release(digestinfo *di)
{
	if (!di) {
		return;
	}
	if (di->inflight_ring) {
		ferry_inflight_road_done(di->inflight_ring, di->inflight_group, di->inflight_dc);
	} else {
		ferry_inflight_done(di->inflight_group, di->inflight_dc);
	}
	if (g_diginfo_freepool_q && ox_queue_push(g_diginfo_freepool_q, &di) == OX_QUEUE_OK) {
		return;
	}
	ox_free(di);
}

static uint64_t
ferry_since(uint64_t starttime)
{
	uint64_t now = ox_getms();
	return now > starttime ? now - starttime : 0;
}

/* ---- Datacenter found down -------------------------------------------- */

/* Per datacenter: the changes from up to down that started a window
 * manager, lst_main at the last of them (where the window opened for it
 * starts, less the margin), and the callers between their try of the change
 * and its end, whose outcome a failed write waits for. */
static std::atomic<uint32_t> g_dc_outages[DC_MAX_NUM];
static std::atomic<uint64_t> g_dc_outage_lst[DC_MAX_NUM];
static std::atomic<int> g_dc_outage_changing[DC_MAX_NUM];

/* A send timed out and the health check says down: 1 for the caller, and
 * exactly one window manager per change from up to down. */
static int
ferry_dc_found_down(cluster_cfg *rcfg, counters *cntr, ox_node node_id)
{
	for (;;) {
		int32_t h = ferry_health_get(rcfg);
		if (h == CLUSTER_WINDOW_SHIP) {
			if (ferry_health_cas(rcfg, CLUSTER_WINDOW_SHIP, CLUSTER_DOWN)) {
				ox_info(QM_FERRY, "Cluster is down again when window shipping is going on. For node id %d",
						(int)node_id);
				return 1;
			}
			continue; // the window manager moved it meanwhile: look again
		}
		if (h == CLUSTER_UP) {
			int dc = ferry_dc_index(rcfg);
			if (dc >= 0) {
				g_dc_outage_changing[dc].fetch_add(1);
			}
			if (ferry_health_cas(rcfg, CLUSTER_UP, CLUSTER_DOWN)) {
				uint64_t lst = dc >= 0 ? ox_atomic64_get(&g_lastshiptime[dc].lst_main) : 0;
				// Counted only when the window for the outage was opened:
				// without one nothing holds what the datacenter misses.
				if (ferry_start_window_manager(rcfg, cntr, node_id) && dc >= 0) {
					g_dc_outage_lst[dc].store(lst);
					g_dc_outages[dc].fetch_add(1);
				}
			}
			if (dc >= 0) {
				g_dc_outage_changing[dc].fetch_sub(1);
			}
			return 1;
		}
		return 1;
	}
}

/* A write to rcfg went without its reply (receiver thread): the datacenter's
 * health is checked now, as after a failed send, since repeated unanswered
 * writes count its node unreachable; found down, it goes to its window
 * manager. True when a window opened for an outage holds the write, which
 * therefore needs no relog: it went out from normal shipping while the
 * datacenter was up (window_from), the datacenter has gone down since, and
 * lst_main at that change (where the window starts, less the margin) was not
 * far past the write. The window ships the record again even when it came
 * before this callback. */
static bool
ferry_window_holds(const digestinfo *di)
{
	cluster_cfg *rcfg = di->rcfg;
	int dc = rcfg ? ferry_dc_index(rcfg) : -1;
	if (dc < 0 || !rcfg->asc) {
		return false;
	}
	if (ferry_health_get(rcfg) != CLUSTER_DOWN &&
			tamberlin_check_cluster_health(rcfg->asc) == TAMBERLIN_FAIL_DC_DOWN) {
		ferry_dc_found_down(rcfg, di->cntr, 0);
	}
	// A change to down under way (a manager being started) decides
	// whether a window holds the write.
	while (g_dc_outage_changing[dc].load() != 0) {
		ferry_sleep_ms(1);
	}
	if (di->window_from == FERRY_LST_NONE || g_dc_outages[dc].load() == di->outages) {
		return false;
	}
	// Half the margin is kept for the spread of digest times among the
	// writes of one batch, which go out in no strict order.
	return di->window_from + ferry_time_adjust() / 2 >= g_dc_outage_lst[dc].load();
}

/* ---- Sending -------------------------------------------------------------- */

static uint32_t
ferry_remote_ttl(uint32_t void_time, uint32_t now, uint64_t max_ttl, cluster_cfg *rcfg, counters *cntr,
		bool *skip)
{
	*skip = false;
	if (void_time == 0) {
		return rcfg->infinite_ttl_value;
	}
	if (void_time <= now) {
		ox_debug(QM_FERRY, "Got an expired record. Skipping it");
		ox_atomic64_add(&cntr->remote_ship_skipped_expired, 1);
		*skip = true;
		return 0;
	}
	uint64_t ttl = void_time - now;
	if (max_ttl != 0 && ttl > max_ttl) {
		ox_debug(QM_FERRY, "Flooring Record TTL to Max TTL");
		ttl = max_ttl;
	} else if (max_ttl == 0 && ttl > FERRY_MAX_MAX_TTL) {
		ox_info(QM_FERRY, "TTL > 10 years and Max TTL not set. Resetting it to default");
		ttl = 0;
	}
	return ttl > UINT32_MAX ? UINT32_MAX : (uint32_t)ttl;
}

static uint64_t
ferry_ship_bytes(const char *nsname, const ka_bin *bin, int n_bins)
{
	uint64_t e = strlen(nsname) + 5 + 26 + 13;
	for (int i = 0; bin && i < n_bins; i++) {
		size_t vsz = 0;
		ka_value_to_op_get_size(&bin[i], &vsz);
		e += strnlen(bin[i].bin_name, sizeof(bin[i].bin_name)) + 8 + vsz;
	}
	return e;
}

int
ferry_queue_digest(cluster_cfg *rcfg, char *nsname, const ka::ox_digest *keyd, char *setname,
		uint32_t record_void_time, ka_bin *bin, int n_bins, int nsid, uint32_t gen, ox_node mnode,
		counters *cntr, bool gencheck, ox_node node_id, bool is_delete)
{
	uint64_t max_ttl = nsid >= 0 && nsid < NAMESPACE_MAX_NUM ? g_ns_xcfg_opt[nsid].max_ttl : 0;
	uint32_t now = (uint32_t)ox_secs_since_kaepoch();

	if (ferry_health_get(rcfg) == CLUSTER_DOWN) {
		return 1;
	}
	uint32_t ttl = 0;
	if (!is_delete) {
		bool skip;
		ttl = ferry_remote_ttl(record_void_time, now, max_ttl, rcfg, cntr, &skip);
		if (skip) {
			return 0;
		}
	}
	if (!nsname || !*nsname) {
		ox_warning(QM_FERRY, "Got a record with an empty namespace. Skipping it");
		return 0;
	}

	digestinfo *di = ferry_diginfo_take();
	if (!di) {
		// Nothing is in flight that could bring the record back later.
		ox_warning(QM_FERRY, "Out of memory. Could not allocate memory to maintain digest info");
		ferry_relog_digest(nsid, gen, mnode, keyd, cntr, is_delete);
		return 0;
	}
	di->ns_id = nsid;
	di->generation = gen;
	di->masternode = mnode;
	di->digest = *keyd;
	di->cntr = cntr;
	di->is_delete = is_delete;
	ferry_diginfo_count(di, rcfg);
	di->rcfg = rcfg;
	di->window_from = FERRY_LST_NONE;
	di->outages = 0;
	int dc = ferry_dc_index(rcfg);
	// Only normal shipping's writes may be left to a window: a re-shipped
	// one can be far older than where the window opened for an outage.
	if (node_id == 0 && dc >= 0 && !di->inflight_ring) {
		di->outages = g_dc_outages[dc].load();
		if (ferry_health_get(rcfg) == CLUSTER_UP) {
			di->window_from = ox_atomic64_get(&g_lastshiptime[dc].lst_main);
		}
	}

	ka_write_parameters wp;
	ka_write_parameters_set_default(&wp);
	wp.record_ttl = ttl;
	int32_t timeout = __atomic_load_n(&g_xcfg.ferry_timeout, __ATOMIC_RELAXED); // set-config may change it
	wp.timeout_ms = timeout > 0 ? timeout : FERRY_SHIP_DEFAULT_TIMEOUT;
	wp.generation = gen;
	wp.use_generation_gt = __atomic_load_n(&g_xcfg.ferry_fwd_with_gencheck, __ATOMIC_RELAXED) ? gencheck : false;
	uint64_t trid = rand_64();
	uint64_t bytes = ferry_ship_bytes(nsname, bin, n_bins);

	int build_failures = 0;
	for (;;) {
		int rv = is_delete ? tamberlin_async_delete_digest_relay(rcfg->asc, nsname, keyd, &wp, di)
						   : tamberlin_async_put_digest_relay(rcfg->asc, nsname, keyd, setname, bin, n_bins,
									 &wp, trid, di);
		if (rv == TAMBERLIN_FAIL_ASYNCQ_FULL) {
			// The datacenter's share is full of writes that may never be
			// answered: once it is found down, its records go to its window.
			if (ferry_health_get(rcfg) == CLUSTER_DOWN) {
				ferry_diginfo_release(di);
				return 1;
			}
			ferry_sleep_ms(1);
			continue;
		}
		ox_atomic64_add(&cntr->remote_ship_total_bytes, (int64_t)bytes);
		if (rv == TAMBERLIN_OK) {
			return 0; // the callback owns di now
		}
		if (rv == TAMBERLIN_FAIL_TIMEOUT) {
			// At once: the send has waited out its deadline already, and the
			// node it could not reach counts unreachable now.
			if (tamberlin_check_cluster_health(rcfg->asc) == TAMBERLIN_FAIL_DC_UP) {
				continue;
			}
			ferry_diginfo_release(di);
			return ferry_dc_found_down(rcfg, cntr, node_id);
		}
		ox_info(QM_FERRY, "Async put failed with error %d", rv);
		if (rv == TAMBERLIN_FAIL_CLIENT && ++build_failures >= FERRY_SEND_BUILD_ATTEMPTS) {
			// A request that cannot be built will not build the next time
			// either: the digest comes back through the log instead of
			// holding this thread.
			ox_warning(QM_FERRY, "Could not send a record to the datacenter after %d attempts. Relogging digest",
					build_failures);
			ox_atomic64_add(&cntr->remote_ship_clientfail, 1);
			ferry_relog_digest(nsid, gen, mnode, keyd, cntr, is_delete);
			ferry_diginfo_release(di);
			return 0;
		}
		ferry_sleep_ms(1000);
		if (ferry_health_get(rcfg) == CLUSTER_DOWN) {
			ferry_diginfo_release(di);
			return 1;
		}
	}
}

/* ---- Reply callbacks (receiver threads) ------------------------------------ */

void
ferry_sendsuccess_cb_fn(void *udata, int rv, uint64_t starttime)
{
	auto *di = (digestinfo *)udata;
	if (!di) {
		return;
	}
	counters *cntr = di->cntr;
	ox_atomic64_add(&cntr->remote_ship_total, 1);
	ox_atomic64_add(&cntr->remote_ship_latency, (int64_t)ferry_since(starttime));
	if (di->is_delete) {
		ox_atomic64_add(&cntr->remote_ship_delete_total, 1);
	}
	bool relog = false;
	switch (rv) {
	case TAMBERLIN_OK:
	case TAMBERLIN_FAIL_GENERATION:
		break;
	case TAMBERLIN_FAIL_NOTFOUND:
		if (!di->is_delete) {
			ox_warning(QM_FERRY, "Error: Record not found.");
			ox_atomic64_add(&cntr->remote_ship_serverfail, 1);
		}
		break;
	case TAMBERLIN_FAIL_PARAMETER:
		ox_warning(QM_FERRY,
				"Error: It looks bad parameters are passed for write of destination DC. Maybe namespace config is not correct. Please check.");
		ox_atomic64_add(&cntr->remote_ship_serverfail, 1);
		break;
	case TAMBERLIN_FAIL_KEY_EXISTS:
		ox_warning(QM_FERRY, "Error: The key exists on destination DC.");
		ox_atomic64_add(&cntr->remote_ship_serverfail, 1);
		break;
	case TAMBERLIN_FAIL_BIN_EXISTS:
		ox_warning(QM_FERRY, "Error: The bin exists on destination DC.");
		ox_atomic64_add(&cntr->remote_ship_serverfail, 1);
		break;
	case TAMBERLIN_FAIL_INCOMPATIBLE_TYPE:
		ox_warning(QM_FERRY, "Error: Can not write to destination DC because of bin incompatible type.");
		ox_atomic64_add(&cntr->remote_ship_serverfail, 1);
		break;
	case TAMBERLIN_FAIL_RECORD_TOO_BIG:
		ox_warning(QM_FERRY, "Error: It seems record size is bigger than destination DC write block size.");
		ox_atomic64_add(&cntr->remote_ship_serverfail, 1);
		break;
	case TAMBERLIN_FAIL_NOFERRY:
		ox_debug(QM_FERRY, "No RELAY running on remote cluster causing write rejection. Relogging digest...");
		relog = true;
		break;
	case TAMBERLIN_FAIL_KEY_BUSY:
		ox_debug(QM_FERRY,
				"Busy Key causing write rejection. Consider increasing transaction pending queue limit. Relogging digest...");
		relog = true;
		break;
	case TAMBERLIN_FAIL_UNKNOWN:
	case TAMBERLIN_FAIL_CLUSTER_KEY_MISMATCH:
	case TAMBERLIN_FAIL_PARTITION_OUT_OF_SPACE:
	case TAMBERLIN_FAIL_SERVERSIDE_TIMEOUT:
	case TAMBERLIN_FAIL_UNAVAILABLE:
		relog = true;
		break;
	default:
		ox_atomic64_add(&cntr->remote_ship_serverfail, 1);
		break;
	}
	if (relog) {
		ox_debug(QM_FERRY, "Got return code %d in the success callback function. Relogging digest.", rv);
		ox_atomic64_add(&cntr->remote_ship_serverfail, 1);
		ferry_relog_digest(di->ns_id, di->generation, di->masternode, &di->digest, cntr, di->is_delete);
	}
	ferry_diginfo_release(di);
}

void
ferry_sendfail_cb_fn(void *udata, int rv, uint64_t starttime)
{
	auto *di = (digestinfo *)udata;
	if (!di) {
		return;
	}
	counters *cntr = di->cntr;
	ox_atomic64_add(&cntr->remote_ship_clientfail, 1);
	ox_atomic64_add(&cntr->remote_ship_fail_latency, (int64_t)ferry_since(starttime));
	if (ferry_window_holds(di)) {
		ox_debug(QM_FERRY,
				"Failed to get response for a sent record. Return value=%d. The datacenter is down: its window ships it again.",
				rv);
	} else {
		ox_debug(QM_FERRY, "Failed to get response for a sent record. Return value=%d. Requeuing to digest log.", rv);
		ferry_relog_digest(di->ns_id, di->generation, di->masternode, &di->digest, cntr, di->is_delete);
	}
	ferry_diginfo_release(di);
}

/* ---- Relog ----------------------------------------------------------------- */

void
ferry_relog_digest(int nsid, uint32_t generation, ox_node masternode, const ka::ox_digest *keyd,
		counters *cntr, bool is_delete)
{
	(void)masternode; // a relogged digest is this node's to ship, whoever mastered it
	ferry_msg msg;
	memset(&msg, 0, sizeof(msg));
	msg.xm_type = FERRY_MSG_TYPE_DIGESTINFO;
	msg.data.diginfo.ns_id = nsid;
	msg.data.diginfo.generation = generation;
	msg.data.diginfo.digesttime = ferry_stamp_clock();
	msg.data.diginfo.masternode = 0;
	memcpy(msg.data.diginfo.digest, keyd->digest, sizeof(msg.data.diginfo.digest));
	msg.data.diginfo.delete_flag = is_delete ? (RELAY_DELETE_FLAG | RELAY_DELETE_RELOG_FLAG) : 0;

	if (!ferry_ns_known(nsid)) {
		ox_warning(QM_FERRY,
				"Got digest packet for an unknown namespace with id %d while relogging... Skipping it", nsid);
		return;
	}
	if (ferry_dlog_q_push(&msg, g_ferry_cntr ? g_ferry_cntr : cntr) != FERRY_DLOG_Q_QUEUED) {
		return;
	}
	ox_atomic64_add(&cntr->dlog_pkts_relogged, 1);
	if (is_delete) {
		ox_atomic64_add(&cntr->dlog_deletes_relogged, 1);
	}
	uint64_t head;
	memcpy(&head, keyd->digest, sizeof(head));
	ox_detail(QM_FERRY, "Relogged the digest %lx to be considered again", (unsigned long)head);
}

/* ---- Deletes (main thread, window managers) --------------------------------- */

int
ferry_delete_check_local(const char *ns_name, const ka::ox_digest *d)
{
	int rv = g_local_cluster
			? tamberlin_exists_digest(g_local_cluster, ns_name, d, nullptr, 0, 200, nullptr)
			: TAMBERLIN_FAIL_CLIENT;
	if (rv == TAMBERLIN_OK) {
		ox_debug(QM_FERRY, "Record found for delete. Will not ship delete");
		if (g_ferry_cntr) {
			ox_atomic64_add(&g_ferry_cntr->dlog_deletes_canceled, 1);
		}
		return 0;
	}
	if (rv != TAMBERLIN_FAIL_NOTFOUND) {
		// Only "not found" proves the record is gone: a delete shipped on a
		// time-out could remove a record written again since.
		ox_debug(QM_FERRY, "Could not check the record of a delete (error %d).", rv);
		return -1;
	}
	ox_detail(QM_FERRY, "Record not found for delete. Expected");
	return 1;
}

bool
ferry_reship_delete_gone(const char *ns_name, const ferry_msg_digestinfo *x, const ka::ox_digest *d,
		counters *cntr, const char *who)
{
	int gone = ferry_delete_check_local(ns_name, d);
	if (gone < 0) {
		// Not known to be gone: the delete goes back through the digest log,
		// where the reader checks again before it ships it.
		ox_debug(QM_FERRY, "%sRelogging the delete.", who);
		ferry_relog_digest(x->ns_id, x->generation, x->masternode, d, cntr, true);
	}
	return gone > 0;
}

/* ---- Records fetched again (window managers, failed-node threads) -------- */

bool
ferry_refetch_record(ka_cluster *asc, const ferry_msg_digestinfo *x, counters *cntr, const char *who,
		ferry_refetch *f)
{
	memset(f, 0, sizeof(*f));
	ka::ox_digest d;
	memcpy(d.digest, x->digest, sizeof(d.digest));
	uint32_t ttl = 0;
	int rv = asc ? tamberlin_get_all_digest_getsetname(asc, g_ns_dbuckets[x->ns_id].ns_name, &d, &f->bins,
						   &f->n_bins, 0, &f->generation, f->setname, &ttl)
				 : TAMBERLIN_FAIL_CLIENT;
	if (rv != TAMBERLIN_OK || !f->bins || f->n_bins <= 0) {
		uint64_t head;
		memcpy(&head, x->digest, sizeof(head));
		ox_debug(QM_FERRY, "%sNo bins. rv = %d, Digest is %lx ", who, rv, (unsigned long)head);
		ferry_refetch_release(f);
		if (ferry_read_failure_relogs(rv)) {
			ox_info(QM_FERRY, "%sCould not read a record (error %d). Relogging the digest %lx", who, rv,
					(unsigned long)head);
			ferry_relog_digest(x->ns_id, x->generation, x->masternode, &d, cntr, false);
		}
		return false;
	}
	f->setname[sizeof(f->setname) - 1] = '\0';
	if (x->generation < f->generation) {
		// Written again since it was logged: its later entry ships it.
		ferry_refetch_release(f);
		return false;
	}
	f->void_time = ttl == HIVED_INFINITE_TTL_VALUE ? 0 : (uint32_t)ox_secs_since_kaepoch() + ttl;
	return true;
}

void
ferry_refetch_release(ferry_refetch *f)
{
	if (f->bins) {
		tamberlin_bins_free(f->bins, f->n_bins);
		free(f->bins);
	}
	f->bins = nullptr;
	f->n_bins = 0;
}

int
ferry_refetch_send(cluster_cfg *rcfg, const ferry_msg_digestinfo *x, ferry_refetch *f, counters *cntr,
		ox_node node_id, ferry_inflight_ring *road)
{
	ka::ox_digest d;
	memcpy(d.digest, x->digest, sizeof(d.digest));
	char *nsname = g_ns_xcfg_opt[x->ns_id].ns_name;
	struct road_guard {
		explicit road_guard(ferry_reship_road r) { t_reship_road = r; }
		~road_guard() { t_reship_road = {nullptr, 0}; }
	} g({road, x->digesttime});
	if (!f) {
		return g_ferry_reship_send(rcfg, nsname, &d, nullptr, 0, nullptr, 0, x->ns_id, x->generation,
				x->masternode, cntr, false, node_id, true);
	}
	return g_ferry_reship_send(rcfg, nsname, &d, f->setname[0] ? f->setname : nullptr, f->void_time, f->bins,
			f->n_bins, x->ns_id, x->generation, x->masternode, cntr, x->generation == f->generation, node_id,
			false);
}

ferry_send_fn g_ferry_reship_send = ferry_queue_digest;

bool
ship_delete(ferry_msg_digestinfo *xmdinfo)
{
	int nsid = xmdinfo->ns_id;
	if (nsid < 1 || nsid >= NAMESPACE_MAX_NUM || !g_ns_xcfg_opt[nsid].ns_name) {
		ox_warning(QM_FERRY, "Got a delete of an unknown namespace with id %d. Skipping it", nsid);
		return false;
	}
	ns_config_opt *ns = &g_ns_xcfg_opt[nsid];
	ka::ox_digest d;
	memcpy(d.digest, xmdinfo->digest, sizeof(d.digest));

	// A delete read again on a resume was logged before the restart, and the
	// record may have been written again since: like a relogged one, it goes
	// out only when the record is gone here.
	if (__atomic_load_n(&g_xcfg.ferry_check_data_before_delete, __ATOMIC_RELAXED) ||
			(xmdinfo->delete_flag & RELAY_DELETE_RELOG_FLAG) || xmdinfo->digesttime < g_boottime) {
		int gone = ferry_delete_check_local(ns->ns_name, &d);
		if (gone == 0) {
			return false;
		}
		if (gone < 0) {
			ox_debug(QM_FERRY, "Relogging the delete.");
			ferry_relog_digest(nsid, xmdinfo->generation, xmdinfo->masternode, &d, g_ferry_cntr, true);
			return false;
		}
	}

	uint32_t n_dcs = ns->ns_dclist_v ? ox_vector_size(ns->ns_dclist_v) : 0;
	for (uint32_t i = 0; i < n_dcs && i < DC_MAX_NUM; i++) {
		int dc = ns->ns_dc_ids[i];
		if (dc < 0 || dc >= DC_MAX_NUM) {
			ox_warning(QM_FERRY, "Encountered a null dcid in the list of dcs to replicate to");
			continue;
		}
		cluster_cfg *rcfg = &g_rcfg[dc];
		ox_detail(QM_FERRY, "Namespace '%s' is being shipped to '%s' datacenter", ns->ns_name,
				g_dc_xcfg_opt[dc].dc_name);
		if (!rcfg->asc) {
			ox_warning(QM_FERRY, "Got a delete of ns '%s' whose remote cluster '%s' is uninitialized.Skipping it.",
					ns->ns_name, g_dc_xcfg_opt[dc].dc_name);
			continue;
		}
		int rv = ferry_queue_digest(rcfg, ns->ns_name, &d, nullptr, 0, nullptr, 0, nsid, xmdinfo->generation,
				xmdinfo->masternode, g_ferry_cntr, false, 0, true);
		if (rv == 0 && ferry_health_get(rcfg) == CLUSTER_UP) {
			ferry_update_lst_for_this_node(xmdinfo->digesttime, MAIN_THREAD, dc);
			ox_atomic64_add(&g_ferry_cntr->per_dc_counters[dc].delete_ship_attempts, 1);
		}
	}
	return true;
}

/* ---- Transaction ids --------------------------------------------------------- */

/* The shipper's own pool, apart from the foundation's: ids are drawn from
 * its end towards its start, and it is seeded once. */
static uint8_t rand_buf[8192];
static uint32_t rand_buf_off = 0;
static int seeded = 0;
static pthread_mutex_t rand_buf_lock = PTHREAD_MUTEX_INITIALIZER;

uint64_t
rand_64(void)
{
	pthread_mutex_lock(&rand_buf_lock);
	if (rand_buf_off <= 7) {
		if (ox_rand_fill(rand_buf, sizeof(rand_buf), &seeded) != 0) {
			pthread_mutex_unlock(&rand_buf_lock);
			return 0;
		}
		rand_buf_off = sizeof(rand_buf);
	}
	rand_buf_off -= 8;
	uint64_t v;
	memcpy(&v, rand_buf + rand_buf_off, sizeof(v));
	pthread_mutex_unlock(&rand_buf_lock);
	return v;
}
