/*
 * Record fetch: the record-fetch workers that read parts of a namespace's
 * slots from the local cluster, the per-record callback that applies the
 * generation rule and hands each record to shipping, and the handling of
 * failed single reads.
 *
 * Threads: the workers (1 to 64) each serve one request of g_batch_get_q at
 * a time and push its result on g_batch_get_response_q. dlogreader_cb runs
 * on the client's batch threads, on a worker in single mode, or on the
 * reader itself, several at once for one namespace. They only read the slot
 * arrays, which the reader leaves alone until every part is back, and claim
 * each digest by removing it from the slot map under the map's lock: a
 * digest that a reply carries twice, or that two attempts both bring back,
 * is handled by whichever callback removes it first, and only by that one.
 */
#include <pthread.h>

#include <cstdlib>
#include <cstring>

#include "ferry_dlogreader.h"
#include "ferry_fetch.h"
#include "ferry_ship.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ferry.h"
#include "tamberlin/ka_batch.h"
#include "tamberlin/ka_request.h"
#include "tamberlin/ox_clock.h"
#include "tamberlin/ox_shash.h"

pthread_t g_batch_get_th[FERRY_MAX_BATCH_THREAD_CNT];
std::atomic<int> g_batch_thread_count{0};

/* ---- Workers -------------------------------------------------------------- */

static int
ferry_start_fetch_worker(int entry)
{
	// Workers are never joined: they end by themselves when the count is
	// lowered, so they must not stay behind as joinable zombies.
	pthread_attr_t attr;
	pthread_attr_init(&attr);
	pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
	int rv = pthread_create(&g_batch_get_th[entry], &attr, relay_batch_get_th, nullptr);
	pthread_attr_destroy(&attr);
	return rv;
}

int
relay_record_get_threads_init(void)
{
	int n = g_xcfg.ferry_read_threads;
	if (n > FERRY_MAX_BATCH_THREAD_CNT) {
		n = FERRY_MAX_BATCH_THREAD_CNT;
	}
	int started = 0;
	for (int i = 1; i <= n; i++) {
		if (ferry_start_fetch_worker(i - 1) != 0) {
			ox_warning(QM_FERRY, " Thread %d : creation failure in dlogreader", i);
			continue;
		}
		started++;
	}
	return started;
}

int
relay_record_get_threads_reinit(int n)
{
	if (n > FERRY_MAX_BATCH_THREAD_CNT) {
		ox_warning(QM_FERRY, "Cannot increase query threads more than %d", FERRY_MAX_BATCH_THREAD_CNT);
		n = FERRY_MAX_BATCH_THREAD_CNT;
	}
	int from = g_xcfg.ferry_read_threads;
	if (n <= from) {
		return 0;
	}
	for (int i = from < 0 ? 0 : from; i < n; i++) {
		if (ferry_start_fetch_worker(i) != 0) {
			ox_warning(QM_FERRY, " Thread %d : creation failure in dlogreader", i + 1);
			return i;
		}
	}
	return n;
}

int
ferry_fetch_part(const batch_get_req *req)
{
	if (__atomic_load_n(&g_xcfg.ferry_read_mode, __ATOMIC_RELAXED) == FERRY_MODE_SINGLE_RECORD_GET) {
		ferry_fetch_singly(req);
		return 0;
	}
	callback_data *cbdata = req->cbdata;
	int nsid = cbdata->nsid;
	if (!ferry_ns_known(nsid)) {
		ox_warning(QM_FERRY, "Fetch request for an unknown namespace with id %d. Skipping it", nsid);
		return 0;
	}
	int rv = tamberlin_get_many_digest(req->asc, g_ns_dbuckets[nsid].ns_name, req->digest, req->n_digest, nullptr,
			0, true, dlogreader_cb, cbdata);
	ox_atomic64_add(&cbdata->cntr->num_batch_calls, 1);
	return rv;
}

void
ferry_fetch_singly(const batch_get_req *req)
{
	callback_data *cbdata = req->cbdata;
	int nsid = cbdata->nsid;
	if (!ferry_ns_known(nsid)) {
		ox_warning(QM_FERRY, "Fetch request for an unknown namespace with id %d. Skipping it", nsid);
		return;
	}
	char *ns = g_ns_dbuckets[nsid].ns_name;
	counters *cntr = cbdata->cntr;
	char setname[FERRY_SET_NAME_BUF_SIZE];
	for (int i = 0; i < req->n_digest; i++) {
		ka::ox_digest *d = &req->digest[i];
		ka_bin *bins = nullptr;
		int n_bins = 0;
		uint32_t generation = 0;
		uint32_t ttl = 0;
		setname[0] = '\0';
		int rv = tamberlin_get_all_digest_getsetname(req->asc, ns, d, &bins, &n_bins, FERRY_GET_ALL_TIMEOUT,
				&generation, setname, &ttl);
		uint32_t void_time = ttl == HIVED_INFINITE_TTL_VALUE ? 0 : (uint32_t)ox_secs_since_kaepoch() + ttl;
		ox_atomic64_add(&cntr->num_single_get_calls, 1);
		if (rv != 0) {
			if (bins) {
				tamberlin_bins_free(bins, n_bins);
				free(bins);
			}
			ferry_get_process_ret(rv, d, generation, cbdata);
			continue;
		}
		setname[sizeof(setname) - 1] = '\0';
		int cb = dlogreader_cb(ns, d, setname[0] ? setname : nullptr, generation, void_time, bins, n_bins, false,
				cbdata);
		if (cb != 0) {
			ox_warning(QM_FERRY, "cb_ = %d", cb);
		}
		free(bins); // the callback freed the values
	}
}

void *
relay_batch_get_th(void *arg)
{
	(void)arg;
	int me = g_batch_thread_count.fetch_add(1) + 1;
	for (;;) {
		if (__atomic_load_n(&g_xcfg.ferry_new_cfg.ferry_read_threads, __ATOMIC_RELAXED) < me) {
			g_batch_thread_count.fetch_sub(1);
			return nullptr;
		}
		batch_get_req req;
		if (ox_queue_pop(g_batch_get_q, &req, OX_QUEUE_FOREVER) != OX_QUEUE_OK) {
			ox_debug(QM_FERRY, "Something Wrong with batch queue .. ignoring");
			ferry_sleep_ms(1000); // never a tight loop over a queue that fails
			continue;
		}
		int32_t rv = ferry_fetch_part(&req);
		// The reader waits for one result per part it queued: a result that
		// cannot be handed back now is handed back a second later.
		while (ox_queue_push(g_batch_get_response_q, &rv) != OX_QUEUE_OK) {
			ox_warning(QM_FERRY, "Could not push the result of a fetch request");
			ferry_sleep_ms(1000);
		}
	}
}

/* ---- Per-record callback --------------------------------------------------- */

/* Claims the digest's slot: its index, or -1 when the digest is not (or no
 * longer) in the batch or its slot is out of range. The entry leaves the map
 * as it is found, so two replies of one digest cannot both ship it, and no
 * removal is left to fail after the record is shipped. */
static int
ferry_claim_slot(ns_digest_bucket *b, const ka::ox_digest *digest)
{
	int32_t slot = -1;
	if (shash_get_and_delete(b->digest_to_idx_hash, digest->digest, &slot) != SHASH_OK) {
		ox_warning(QM_FERRY, "Did not find the digest in the current batch for which the callback function is called");
		return -1;
	}
	if (slot < 0 || slot >= b->ns_digest_slots_inuse) {
		ox_debug(QM_FERRY, "Slot from hash out of range");
		return -1;
	}
	return slot;
}

int
dlogreader_cb(char *ns, ka::ox_digest *digest, char *set, uint32_t generation, uint32_t record_void_time,
		ka_bin *bins, int n_bins, bool is_last, void *udata)
{
	(void)is_last;
	auto *cbdata = (callback_data *)udata;
	if (!cbdata) {
		tamberlin_bins_free(bins, n_bins);
		return 0;
	}
	counters *cntr = cbdata->cntr;
	uint64_t start = cbdata->starttime.exchange(0);
	if (start != 0) {
		uint64_t now = ox_getms();
		ox_atomic64_add(&cntr->local_recs_fetch_latency, (int64_t)(now > start ? now - start : 0));
	}
	if (!digest) {
		// Its digest stays in the map and is counted as not found.
		ox_warning(QM_FERRY, "Got a record without a digest in a batch reply. Skipping it");
		tamberlin_bins_free(bins, n_bins);
		return 0;
	}
	ox_atomic64_add(&cntr->local_recs_fetched, 1);

	int nsid = cbdata->nsid;
	if (!ferry_ns_known(nsid)) {
		ox_warning(QM_FERRY, "Got a record of an unknown namespace with id %d. Skipping it", nsid);
		tamberlin_bins_free(bins, n_bins);
		return 0;
	}
	ns_digest_bucket *b = &g_ns_dbuckets[nsid];
	if (!ns || !*ns) {
		ns = b->ns_name; // the namespace the request asked for
	}
	int slot = ferry_claim_slot(b, digest);
	if (slot < 0) {
		tamberlin_bins_free(bins, n_bins);
		return 0;
	}

	uint32_t g_log = b->generations[slot];
	bool gencheck = true;
	bool ship = true;
	if (g_log > generation) {
		ox_detail(QM_FERRY,
				"Generation in the digest log is greater than the one on-record. Still shipping. %d[%ld] vs %ld",
				slot, (long)g_log, (long)generation);
		gencheck = false;
	} else if (g_log < generation) {
		if (b->digest_status[slot] & DSTATUS_MUST_SHIP) {
			ox_detail(QM_FERRY,
					"Generation in the digest log and on-record did not match. Not shipping anything.%d[%ld] vs %ld",
					slot, (long)g_log, (long)generation);
		} else {
			ox_atomic64_add(&cntr->remote_ship_skipped_genmismatch, 1);
			ox_detail(QM_FERRY,
					"Generation in the digest log and on-record did not match. Not shipping anything. %d[%ld] vs %ld",
					slot, (long)g_log, (long)generation);
			ship = false;
		}
	}

	ns_config_opt *nscfg = &g_ns_xcfg_opt[nsid];
	uint32_t n_dcs = ship && nscfg->ns_dclist_v ? ox_vector_size(nscfg->ns_dclist_v) : 0;
	for (uint32_t i = 0; i < n_dcs && i < DC_MAX_NUM; i++) {
		int dc = nscfg->ns_dc_ids[i];
		if (dc < 0 || dc >= DC_MAX_NUM) {
			ox_warning(QM_FERRY, "Encountered a null dcid in the list of dcs to replicate to");
			continue;
		}
		cluster_cfg *rcfg = &g_rcfg[dc];
		ox_detail(QM_FERRY, "Namespace '%s' is being shipped to '%s' datacenter", nscfg->ns_name,
				g_dc_xcfg_opt[dc].dc_name);
		if (!rcfg->asc) {
			ox_warning(QM_FERRY,
					"Got a record of namespace '%s' whose destination cluster '%s' is uninitialized. Skipping it.",
					nscfg->ns_name, g_dc_xcfg_opt[dc].dc_name);
			continue;
		}
		int rv = ferry_queue_digest(rcfg, ns, digest, set, record_void_time, bins, n_bins, nsid, generation,
				b->masternodes[slot], cntr, gencheck, 0, false);
		// Only a record really handed over moves the datacenter's last-ship
		// time; a datacenter down or in window shipping keeps it, so that its
		// window starts early enough.
		if (rv == 0 && ferry_health_get(rcfg) == CLUSTER_UP) {
			ferry_update_lst_for_this_node(b->digesttimes[slot], MAIN_THREAD, dc);
			ox_atomic64_add(&cntr->per_dc_counters[dc].record_ship_attempts, 1);
		}
	}
	tamberlin_bins_free(bins, n_bins);
	return 0;
}

/* ---- Failed single reads ----------------------------------------------------- */

bool
ferry_read_failure_relogs(int rv)
{
	// Only "not found" proves there is nothing to ship; any other failure
	// (a time-out, a server's refusal, a reply too large for memory or one
	// that did not parse) may pass, and the record may well exist.
	return rv != TAMBERLIN_OK && rv != TAMBERLIN_FAIL_NOTFOUND;
}

int
ferry_get_process_ret(int rv, ka::ox_digest *digest, uint32_t generation, callback_data *cbdata)
{
	bool relog = ferry_read_failure_relogs(rv);
	if (rv == TAMBERLIN_FAIL_NOTFOUND) {
		ox_atomic64_add(&cbdata->cntr->local_recs_notfound, 1);
	}
	int nsid = cbdata->nsid;
	if (!ferry_ns_known(nsid)) {
		return 0;
	}
	ns_digest_bucket *b = &g_ns_dbuckets[nsid];
	int slot = ferry_claim_slot(b, digest);
	if (slot >= 0 && relog) {
		// A generation of 0 (no reply) makes the digest must-ship next time.
		ferry_relog_digest(nsid, generation, b->masternodes[slot], digest, cbdata->cntr, false);
	}
	return 0;
}
