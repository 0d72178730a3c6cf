/*
 * Digest-log reader: the main thread's loop after start-up. It reads the
 * digest log in batches through the main reader, drops what this node need
 * not ship, ships deletes at once, collects the other digests per namespace
 * in the slot tables and has them fetched (and thereby shipped), then applies
 * the run-time changes of its settings. It owns the read buffer, the main
 * reader context, the slot tables between fetches and bits 0x02 to 0x20 of
 * the configuration's change block.
 *
 * A namespace's fetch is done when its digest-to-slot map is empty: the
 * callback removes each digest it handles, so the map says exactly what did
 * not come back, whatever other fetches (window and failed-node shipping)
 * add to the process-wide counters meanwhile, and whatever a reply repeats.
 *
 * The reclaim (housekeeper) must not give up records of the batch that is
 * being fetched: the reader publishes the smallest digest time of that batch
 * for it (ferry_dlogreader_batch_floor). The same floor keeps lst_main from
 * passing digests of the batch not yet handed over (deletes ship first, and
 * parts finish in any order), and the batch's writes are counted until their
 * replies come (ferry_inflight_batch_begin).
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ferry_dlogreader.h"
#include "ferry_fetch.h"
#include "ferry_ship.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ka_async.h"
#include "tamberlin/ka_batch.h"
#include "tamberlin/ox_clock.h"
#include "tamberlin/ox_shash.h"
#include "tamberlin/rbuffer.h"

static std::atomic<uint64_t> s_batch_floor{FERRY_LST_NONE};

uint64_t
ferry_dlogreader_batch_floor(void)
{
	return s_batch_floor.load();
}

static size_t
ferry_read_bytes(size_t recs)
{
	return recs * FERRY_MSG_ONDISK_SIZE;
}

static int32_t
ferry_load(const int32_t *v)
{
	return __atomic_load_n(v, __ATOMIC_RELAXED);
}

/* Sleeps as many seconds as a run-time setting says, one second at a time,
 * reading it again after each: a pause of hours set by mistake ends as soon
 * as set-config lowers it. */
static void
ferry_sleep_setting_secs(const int32_t *secs)
{
	for (int32_t done = 0; done < ferry_load(secs); done++) {
		ferry_sleep_ms(1000);
	}
}

/* ---- Start -------------------------------------------------------------- */

void
ferry_dlogreader_init(ferry_dlogreader *r, thread_data *td)
{
	while (!g_ns_sync_complete.load() || !g_bootnode_sync_complete.load()) {
		ferry_sleep_ms(1000);
		ox_detail(QM_FERRY, "Waiting for the namespace and node info to be synched");
	}
	if (!g_batch_get_q) {
		g_batch_get_q = ox_queue_create(sizeof(batch_get_req), true);
	}
	if (!g_batch_get_response_q) {
		g_batch_get_response_q = ox_queue_create(sizeof(int32_t), true);
	}
	if (!g_batch_get_q || !g_batch_get_response_q) {
		ox_crash(QM_FERRY, OX_GLOBAL, "Unable to create the record-fetch queues for dlog reader... Aborting");
		return;
	}
	r->td = td;
	r->workers_started = relay_record_get_threads_init();
	r->alloc_recs = (size_t)g_xcfg.ferry_read_batch_size;
	r->buf = (char *)ox_calloc(r->alloc_recs, FERRY_MSG_ONDISK_SIZE);
	if (!r->buf) {
		ox_crash(QM_FERRY, OX_GLOBAL, "Unable to allocate memory for dlog reader... Aborting");
		return;
	}
	ox_info(QM_FERRY, "replication service ready: and now you have icing!");
	r->last_read_ms = ox_getms();
	r->parts = g_xcfg.ferry_read_threads;
	r->total_read = 0;
	r->floor_hint = 0;
	r->cbdata.cntr = td->cntr;
	r->cbdata.nsid = 0;
	r->cbdata.starttime.store(0);
	memset(&r->batch, 0, sizeof(r->batch));
}

/* ---- Slot filling ------------------------------------------------------- */

/* A digest that finds no room in its slot table goes back to the digest log
 * rather than being lost. */
static void
ferry_slot_relog(int nsid, const ferry_msg_digestinfo *x)
{
	ferry_relog_digest(nsid, x->generation, x->masternode, (const ka::ox_digest *)x->digest, g_ferry_cntr, false);
}

/* A digest already in the batch: the later record's time, and the newest
 * generation seen. An older generation can follow a newer one (a relog
 * carries the generation that was shipped, or 0 from a failed read, while
 * the key was written again meanwhile): taking it would skip the newer write
 * as written since, and no entry would be left to ship it. A record deleted
 * and made anew is still shipped: its log is then newer than the record. */
static void
ferry_slot_update(ns_digest_bucket *b, const ferry_msg_digestinfo *x)
{
	int32_t i = -1;
	if (shash_get(b->digest_to_idx_hash, x->digest, &i) != SHASH_OK) {
		ox_warning(QM_FERRY, "Could not find the digest in the hash when it is expected. Can continue...");
		return;
	}
	if (i < 0 || i >= b->ns_digest_slots_inuse) {
		ox_warning(QM_FERRY, "Hash lookup succeeded but couldnt get the slot information. Can continue...");
		return;
	}
	if (x->generation > b->generations[i]) {
		b->generations[i] = x->generation;
	}
	b->digesttimes[i] = x->digesttime;
}

void
ferry_add_digest_in_slot(int nsid, ferry_msg_digestinfo *xmdinfo)
{
	ns_digest_bucket *b = &g_ns_dbuckets[nsid];
	int s = b->ns_digest_slots_inuse;
	if (s >= b->capacity) {
		// The table was made for a smaller batch than this one.
		int32_t i;
		if (shash_get(b->digest_to_idx_hash, xmdinfo->digest, &i) == SHASH_OK) {
			ferry_slot_update(b, xmdinfo);
			return;
		}
		int want = g_xcfg.ferry_read_batch_size > s ? g_xcfg.ferry_read_batch_size : s + 1;
		if (ferry_ns_bucket_resize(nsid, want) != 0) {
			ox_warning(QM_FERRY, "No room for slot %d of namespace %s: the digest is logged again", s, b->ns_name);
			ferry_slot_relog(nsid, xmdinfo);
			return;
		}
	}
	memcpy(b->ns_digests[s], xmdinfo->digest, sizeof(b->ns_digests[s]));
	b->masternodes[s] = xmdinfo->masternode;
	b->generations[s] = xmdinfo->generation;
	b->digesttimes[s] = xmdinfo->digesttime;
	b->digest_status[s] = 0;
	// At least 1 by the configuration's checks; a 0 would divide by zero.
	int32_t skip = ferry_load(&g_xcfg.ferry_hotkey_maxskip);
	uint32_t maxskip = skip > 0 ? (uint32_t)skip : 1;
	if (xmdinfo->generation % maxskip == 0) {
		b->digest_status[s] |= DSTATUS_MUST_SHIP;
	}
	int32_t slot = s;
	int rv = shash_put_unique(b->digest_to_idx_hash, xmdinfo->digest, &slot);
	if (rv == SHASH_OK) {
		b->ns_digest_slots_inuse = s + 1;
		return;
	}
	if (rv == SHASH_ERR_FOUND) {
		// Slot s stays free for the next digest; the first record's master
		// and status stay with the digest's slot.
		ferry_slot_update(b, xmdinfo);
		return;
	}
	ox_warning(QM_FERRY, "Could not add a digest to the slot map of namespace %s (err=%d): the digest is logged again",
			b->ns_name, rv);
	ferry_slot_relog(nsid, xmdinfo);
}

/* ---- Fetch -------------------------------------------------------------- */

void
ferry_dlogreader_part(int slots, int parts, int j, int *first, int *count)
{
	int size = slots / parts;
	*first = j * size;
	*count = j == parts - 1 ? slots - (parts - 1) * size : size;
}

/* The slots fetched in parts: handed to the record-fetch workers, one part
 * each, or served one after the other on this thread when no worker is there
 * to serve them (a request pushed then would wait for ever). The last
 * non-zero result, 0 when every part succeeded. */
static int
ferry_fetch_parts(ferry_dlogreader *r, ka::ox_digest *digests, int slots, bool by_workers)
{
	int pushed = 0;
	int result = 0;
	for (int j = 0; j < r->parts; j++) {
		batch_get_req req;
		memset(&req, 0, sizeof(req));
		int first, count;
		ferry_dlogreader_part(slots, r->parts, j, &first, &count);
		req.asc = r->td->mcfg->asc;
		req.digest = digests + first;
		req.n_digest = count;
		req.cbdata = &r->cbdata;
		if (by_workers && ox_queue_push(g_batch_get_q, &req) == OX_QUEUE_OK) {
			pushed++;
			continue;
		}
		if (by_workers) {
			// Left unfetched, a part's records would read as gone: this
			// thread fetches it itself.
			ox_warning(QM_FERRY, "Could not queue part %d of a batch for the record-fetch threads", j + 1);
		}
		int res = ferry_fetch_part(&req);
		if (res != 0) {
			result = res;
		}
	}
	for (int i = 1; i <= pushed; i++) {
		int32_t res = 0;
		if (ox_queue_pop(g_batch_get_response_q, &res, OX_QUEUE_FOREVER) != OX_QUEUE_OK) {
			ox_warning(QM_FERRY, " Batch-get-response queue pop failure for batch-thread : %d", i);
			continue;
		}
		if (res != 0) {
			result = res;
		}
	}
	return result;
}

/* The digests of the namespace's slots still in its map, in slot order, into
 * a new array (*out, freed by the caller); their number, or -1 when memory
 * is short. */
static int
ferry_digests_left(ns_digest_bucket *b, int slots, ka::ox_digest **out)
{
	auto *left = (ka::ox_digest *)ox_malloc(sizeof(ka::ox_digest) * (size_t)(slots > 0 ? slots : 1));
	if (!left) {
		return -1;
	}
	int n = 0;
	for (int s = 0; s < slots; s++) {
		if (shash_get(b->digest_to_idx_hash, b->ns_digests[s], nullptr) == SHASH_OK) {
			memcpy(left[n++].digest, b->ns_digests[s], sizeof(left[0].digest));
		}
	}
	*out = left;
	return n;
}

void
ferry_dlogreader_fetch_ns(ferry_dlogreader *r, int nsid)
{
	ns_digest_bucket *b = &g_ns_dbuckets[nsid];
	int slots = b->ns_digest_slots_inuse;
	counters *cntr = r->cbdata.cntr;
	r->cbdata.nsid = nsid;
	int retries = ferry_load(&g_xcfg.ferry_batch_num_retry);
	// Each attempt after the first asks only for the digests still in the
	// map: those handled already are not fetched (nor logged as unknown)
	// again.
	auto *digests = (ka::ox_digest *)b->ns_digests;
	ka::ox_digest *left_buf = nullptr;
	int n = slots;
	for (;;) {
		int mode = (int)__atomic_load_n(&g_xcfg.ferry_read_mode, __ATOMIC_RELAXED);
		uint64_t start = ox_getms();
		r->cbdata.starttime.store(start);
		uint32_t before = shash_get_size(b->digest_to_idx_hash);
		bool by_batch = true;
		int rv;
		if (n <= r->parts) {
			ox_atomic64_add(&cntr->num_batch_calls, 1);
			rv = tamberlin_get_many_digest(r->td->mcfg->asc, b->ns_name, digests, n, nullptr, 0, true,
					dlogreader_cb, &r->cbdata);
		} else {
			// Workers that were started but have not counted themselves yet
			// will serve the parts.
			bool by_workers = g_batch_thread_count.load() > 0 || r->workers_started > 0;
			rv = ferry_fetch_parts(r, digests, n, by_workers);
			by_batch = mode == FERRY_MODE_BATCH_GET;
		}
		uint64_t took = ox_getms() - start;
		int32_t threshold = g_xcfg.ferry_read_batch_size;
		if (took > (uint64_t)threshold) {
			fprintf(stderr, "Time for doing record-gets(>%dms)=%lums\n", threshold, (unsigned long)took);
		}
		if (!by_batch) {
			break; // the workers dealt with each failed single read
		}
		uint32_t left = shash_get_size(b->digest_to_idx_hash);
		uint64_t got = before > left ? before - left : 0;
		if (left == 0) {
			break; // every record came back, even if a part then failed
		}
		bool retry = rv != 0 || retries > 0;
		if (rv != 0) {
			ox_info(QM_FERRY, "Error %d when trying to read a batch of records using digests. Retrying...", rv);
			r->batch.fetch_retry += got;
			ferry_sleep_ms(1000);
		} else if (retries > 0) {
			ox_debug(QM_FERRY, "Could not get all %ld records..Only got %ld records..retrying", (long)slots,
					(long)(slots - (int)left));
			ferry_sleep_setting_secs(&g_xcfg.ferry_batch_retry_sleep);
			r->batch.short_retry += got;
			retries--;
		} else {
			ox_debug(QM_FERRY, "Could not batch get records ... dropping %d records rv: %d", (int)left, 0);
		}
		ox_free(left_buf);
		left_buf = nullptr;
		int k = ferry_digests_left(b, slots, &left_buf);
		if (k < 0) {
			// Without room for the list the whole namespace is asked again.
			ox_warning(QM_FERRY, "Could not list the %u records of namespace %s still to fetch", left, b->ns_name);
			digests = (ka::ox_digest *)b->ns_digests;
			n = slots;
		} else {
			digests = left_buf;
			n = k;
		}
		if (retry) {
			continue;
		}
		// What the batch reads did not bring back is read one at a time: a
		// record gone is counted as not found, one that the batch reply left
		// out (its contents refused) is shipped, and a read that fails puts
		// the digest back through the digest log.
		batch_get_req req;
		memset(&req, 0, sizeof(req));
		req.asc = r->td->mcfg->asc;
		req.digest = digests;
		req.n_digest = n;
		req.cbdata = &r->cbdata;
		ferry_fetch_singly(&req);
		break;
	}
	ox_free(left_buf);
}

/* ---- Batch -------------------------------------------------------------- */

static bool
ferry_is_bootnode(ox_node n)
{
	int count = g_bootnodecount < CLUSTER_MAX_SZ ? g_bootnodecount : CLUSTER_MAX_SZ;
	for (int i = 0; i < count; i++) {
		if (g_bootnodes[i] == n) {
			return true;
		}
	}
	return false;
}

bool
ferry_dlogreader_takes_over(const ferry_msg_digestinfo *x)
{
	return g_failover && x->digesttime < g_boottime && !ferry_is_bootnode(x->masternode);
}

/* Every slot table empty for the new batch, and big enough for its k
 * records. */
static void
ferry_slots_clear(int k, counters *cntr)
{
	for (int nsid = 0; nsid < NAMESPACE_MAX_NUM; nsid++) {
		if (!ferry_ns_known(nsid)) {
			continue;
		}
		ns_digest_bucket *b = &g_ns_dbuckets[nsid];
		b->ns_digest_slots_inuse = 0;
		uint32_t left = shash_get_size(b->digest_to_idx_hash);
		if (left > 0) {
			ox_debug(QM_FERRY, "Hash Map is not empty at start of the batch");
			ox_atomic64_add(&cntr->local_recs_notfound, left);
			shash_deleteall_lockfree(b->digest_to_idx_hash);
		}
		if (b->capacity < k && ferry_ns_bucket_resize(nsid, g_xcfg.ferry_read_batch_size) != 0) {
			ox_warning(QM_FERRY, "Could not make room for %d slots in namespace %s; digests beyond %d are logged again",
					k, b->ns_name, b->capacity);
		}
	}
}

void
ferry_dlogreader_process(ferry_dlogreader *r, int k)
{
	ferry_dlogreader_batch *bt = &r->batch;
	memset(bt, 0, sizeof(*bt));
	counters *cntr = r->cbdata.cntr;
	auto *recs = (ferry_msg_ondisk *)r->buf;

	uint64_t floor = recs[0].diginfo.digesttime;
	for (int i = 1; i < k; i++) {
		if (recs[i].diginfo.digesttime < floor) {
			floor = recs[i].diginfo.digesttime;
		}
	}
	s_batch_floor.store(floor);
	ferry_inflight_batch_begin(floor);
	r->floor_hint = floor;

	ferry_slots_clear(k, cntr);
	ferry_init_unset_lst(recs[0].diginfo.digesttime);

	for (int i = 0; i < k; i++) {
		ferry_msg_digestinfo *x = &recs[i].diginfo;
		if (!ferry_ns_known(x->ns_id)) {
			bt->unknown_ns++;
			ox_warning(QM_FERRY, "Got a digest packet for an unknown namespace with id %d", x->ns_id);
			continue;
		}
		if (x->masternode != 0) {
			// A replica's record is shipped here only when its master left the
			// cluster before this shipper booted and nobody else ships it.
			if (!ferry_dlogreader_takes_over(x)) {
				bt->notmaster++;
				continue;
			}
			bt->takenover++;
		}
		if (x->delete_flag & RELAY_DELETE_FLAG) {
			ship_delete(x);
			continue;
		}
		ferry_add_digest_in_slot(x->ns_id, x);
	}

	for (int nsid = 0; nsid < NAMESPACE_MAX_NUM; nsid++) {
		if (!ferry_ns_known(nsid) || g_ns_dbuckets[nsid].ns_digest_slots_inuse == 0) {
			continue;
		}
		bt->slots += (uint64_t)g_ns_dbuckets[nsid].ns_digest_slots_inuse;
		ferry_dlogreader_fetch_ns(r, nsid);
	}

	ox_atomic64_add(&cntr->dlog_pkts_processed, k);
	ox_atomic64_add(&cntr->dlog_pkts_really_processed, (int64_t)bt->slots);
	ox_atomic64_add(&cntr->dlog_pkts_resume_replprocessed, (int64_t)bt->takenover);
	ox_atomic64_add(&cntr->remote_ship_skipped_notmaster, (int64_t)bt->notmaster);
	ox_atomic64_add(&cntr->remote_ship_skipped_unknown_namespace, (int64_t)bt->unknown_ns);
	ox_atomic64_add(&cntr->local_recs_fetch_retry, (int64_t)bt->fetch_retry);
	ox_atomic64_add(&cntr->local_recs_migration_retry, (int64_t)bt->short_retry);
	// Every digest has been handed over: what is still unacknowledged is
	// held by its group from here on.
	ferry_inflight_batch_end();
	s_batch_floor.store(FERRY_LST_NONE);
}

/* ---- Pass --------------------------------------------------------------- */

static bool
ferry_shipping_on(void)
{
	return __atomic_load_n(&g_xcfg.ferry_shipping_enabled, __ATOMIC_RELAXED);
}

uint64_t
ferry_dlogreader_pass(ferry_dlogreader *r)
{
	if (!ferry_shipping_on()) {
		return 0;
	}
	uint64_t now = ox_getms();
	uint64_t logged = ox_atomic64_get(&g_ferry_cntr->dlog_pkts_logged);
	bool empty_read = false;
	bool tried = false;
	uint64_t read = 0;
	for (;;) {
		uint64_t batch = (uint64_t)g_xcfg.ferry_read_batch_size;
		if (logged <= r->total_read) {
			break;
		}
		// A short batch waits a second since the last read, unless this pass
		// has read already: then it goes on while the records counted at its
		// start remain (a read in the same millisecond as the pass's start
		// must not end it).
		bool due = logged - r->total_read >= batch || tried || now - r->last_read_ms > FERRY_BATCH_MAXWAIT;
		if (!due) {
			break;
		}
		tried = true;
		r->last_read_ms = ox_getms();
		uint64_t want = logged - r->total_read;
		if (want > batch) {
			want = batch;
		}
		if (want > r->alloc_recs) {
			want = r->alloc_recs;
		}
		int n = (int)want;
		// The batch's own times are not known before the read: the last
		// batch's smallest time holds the reclaim back meanwhile.
		s_batch_floor.store(r->floor_hint);
		int k = ox_rbuffer_read(g_rbuf_des, nullptr, r->buf, n);
		uint64_t end = ox_getms();
		if (k <= 0) {
			s_batch_floor.store(FERRY_LST_NONE);
		}
		if (k == 0) {
			if (empty_read) {
				// Counted as logged but not there to read: passed over.
				ox_debug(QM_FERRY, "Nothing to read skip reads ... ");
				r->total_read = logged;
				break;
			}
			ox_debug(QM_FERRY, "Sleep & Retry: Not able to read written packets...");
			ferry_sleep_ms(1000);
			empty_read = true;
			continue;
		}
		if (k < 0) {
			switch (k) {
			case RBUFFER_SEG_VERSION_MISMATCH:
				ox_debug(QM_FERRY, "Sleep & Retry: Segment Version mismatch... ");
				break;
			case RBUFFER_FILE_SYSTEM_ERROR:
				ox_warning(QM_FERRY, "Sleep & Retry: Filesystem error...");
				break;
			case RBUFFER_SEG_BAD_MAGIC:
				ox_warning(QM_FERRY, "Sleep & Retry: Encountered a block with bad magic...");
				break;
			default:
				ox_warning(QM_FERRY, "Sleep & Retry: Unhandled return code...");
				break;
			}
			ferry_sleep_ms(1000);
			continue;
		}
		if (k < n) {
			ox_debug(QM_FERRY, "Not able to read full batch of digest packets");
		}
		r->total_read += (uint64_t)k;
		read += (uint64_t)k;
		ox_debug(QM_FERRY, "Batch read=%d. Total read=%lu. Counter val=%lu", k, (unsigned long)r->total_read,
				(unsigned long)logged);
		ox_atomic64_add(&r->cbdata.cntr->dlog_pkts_readlatency, (int64_t)(end - r->last_read_ms));
		ferry_dlogreader_process(r, k);
		ferry_sleep_setting_secs(&g_xcfg.ferry_internal_shipping_delay);
		int32_t urgent = FERRY_MAX_RECS_INFLIGHT_CHANGE | FERRY_NUM_THREADS_CHANGE | FERRY_READ_BATCH_SIZE_CHANGE;
		if (!ferry_shipping_on() || (g_xcfg.ferry_flag.load() & urgent)) {
			break;
		}
	}
	ferry_dlogreader_apply_changes(r);
	return read;
}

/* ---- Change bits -------------------------------------------------------- */

/* 0x20. False when the pending size is refused: the bits after it wait. */
static bool
ferry_change_read_batch_size(ferry_dlogreader *r)
{
	ferry_config *c = &g_xcfg;
	int32_t cur = c->ferry_read_batch_size;
	int32_t pending = ferry_load(&c->ferry_new_cfg.ferry_read_batch_size);
	if (pending == cur) {
		ferry_change_bit_done(FERRY_READ_BATCH_SIZE_CHANGE, &c->ferry_new_cfg.ferry_read_batch_size, cur);
		return true;
	}
	if (pending < 1) {
		ox_warning(QM_FERRY, "Cannot change read batch size below one from %d to %d", cur, pending);
		return false;
	}
	if (pending > FERRY_MAX_BATCH_SIZE) {
		ox_warning(QM_FERRY, "Cannot change read batch size above %d from %d to %d", FERRY_MAX_BATCH_SIZE, cur,
				pending);
		return false;
	}
	size_t recs = (size_t)pending;
	if (recs > r->alloc_recs) {
		auto *nb = (char *)ox_realloc(r->buf, ferry_read_bytes(recs));
		if (!nb) {
			// The old size goes on; the change is tried again next pass.
			ox_warning(QM_FERRY, "dlog reader : realloc failed for change in relay-read-batch-size from %d to %d ",
					cur, pending);
			return true;
		}
		memset(nb + ferry_read_bytes(r->alloc_recs), 0, ferry_read_bytes(recs - r->alloc_recs));
		r->buf = nb;
		r->alloc_recs = recs;
	}
	bool all = true;
	for (int nsid = 0; nsid < NAMESPACE_MAX_NUM; nsid++) {
		// Changes are applied between batches: the slots the last batch
		// filled are done with, and must not hold a smaller size back.
		if (ferry_ns_known(nsid)) {
			g_ns_dbuckets[nsid].ns_digest_slots_inuse = 0;
		}
		// A table that cannot be resized keeps its size and is tried again:
		// dropping it would stop shipping the namespace for good.
		if (ferry_ns_known(nsid) && ferry_ns_bucket_resize(nsid, pending) != 0) {
			ox_warning(QM_FERRY, "Could not resize the slots of namespace %s from %d to %d; tried again next pass",
					g_ns_dbuckets[nsid].ns_name, g_ns_dbuckets[nsid].capacity, pending);
			all = false;
		}
	}
	if (!all) {
		return true;
	}
	if (recs < r->alloc_recs) {
		auto *nb = (char *)ox_realloc(r->buf, ferry_read_bytes(recs));
		if (nb) { // else the larger buffer serves on
			r->buf = nb;
			r->alloc_recs = recs;
		}
	}
	ox_info(QM_FERRY, "Changed read batch size from %d to %d", cur, pending);
	// The pipe reader sizes new slot tables by it.
	__atomic_store_n(&c->ferry_read_batch_size, pending, __ATOMIC_RELAXED);
	ferry_change_bit_done(FERRY_READ_BATCH_SIZE_CHANGE, &c->ferry_new_cfg.ferry_read_batch_size, pending);
	return true;
}

static void
ferry_change_inflight(void)
{
	ferry_config *c = &g_xcfg;
	int32_t cur = c->ferry_max_recs_inflight;
	int32_t pending = ferry_load(&c->ferry_new_cfg.ferry_max_recs_inflight);
	if (pending != cur) {
		if (tamberlin_async_reinit(pending, (unsigned)c->ferry_threads) != 0) {
			ox_warning(QM_FERRY, "Failed to update max inflight records... old configuration used ");
			return;
		}
		ox_info(QM_FERRY, "Changed max inflight records from %d to %d", cur, pending);
		__atomic_store_n(&c->ferry_max_recs_inflight, pending, __ATOMIC_RELAXED);
	}
	ferry_change_bit_done(FERRY_MAX_RECS_INFLIGHT_CHANGE, &c->ferry_new_cfg.ferry_max_recs_inflight, pending);
}

static void
ferry_change_threads(void)
{
	ferry_config *c = &g_xcfg;
	int32_t cur = c->ferry_threads;
	int32_t pending = ferry_load(&c->ferry_new_cfg.ferry_threads);
	if (tamberlin_async_reinit(c->ferry_max_recs_inflight, (unsigned)pending) != 0) {
		ox_warning(QM_FERRY, "Failed to update number of thread... old configuration used ");
	} else {
		ox_info(QM_FERRY, "Changed number of Shipping client thread from %d to %d", cur, pending);
		__atomic_store_n(&c->ferry_threads, pending, __ATOMIC_RELAXED);
	}
	ferry_change_bit_done(FERRY_NUM_THREADS_CHANGE, &c->ferry_new_cfg.ferry_threads, pending);
}

static const char *
ferry_mode_name(int32_t mode)
{
	return mode == FERRY_MODE_SINGLE_RECORD_GET ? "single" : "batch";
}

static void
ferry_change_read_mode(void)
{
	ferry_config *c = &g_xcfg;
	int32_t cur = (int32_t)__atomic_load_n(&c->ferry_read_mode, __ATOMIC_RELAXED);
	int32_t pending = ferry_load(&c->ferry_new_cfg.ferry_read_mode);
	if (pending == FERRY_MODE_BATCH_GET || pending == FERRY_MODE_SINGLE_RECORD_GET) {
		ox_info(QM_FERRY, "Changed the relay record get mode from %s to %s", ferry_mode_name(cur),
				ferry_mode_name(pending));
		__atomic_store_n(&c->ferry_read_mode, (ferry_mode)pending, __ATOMIC_RELAXED);
	} else {
		ox_warning(QM_FERRY, "Ignoring the unknown relay record get mode %d", pending);
	}
	ferry_change_bit_done(FERRY_RECORD_GET_MODE_CHANGE, &c->ferry_new_cfg.ferry_read_mode, pending);
}

static void
ferry_change_read_threads(void)
{
	ferry_config *c = &g_xcfg;
	int32_t cur = c->ferry_read_threads;
	int32_t pending = ferry_load(&c->ferry_new_cfg.ferry_read_threads);
	int32_t now = pending;
	int reached = relay_record_get_threads_reinit(pending);
	if (pending > cur) {
		now = reached;
	}
	ox_info(QM_FERRY, "Changed number of Shipping client thread from %d to %d", cur, now);
	__atomic_store_n(&c->ferry_read_threads, now, __ATOMIC_RELAXED);
	// Compared with the value asked for: a count cut short by a failed start
	// is not asked again.
	ferry_change_bit_done(FERRY_RECORD_GET_THREADS_CHANGE, &c->ferry_new_cfg.ferry_read_threads, pending);
}

void
ferry_dlogreader_apply_changes(ferry_dlogreader *r)
{
	int32_t flag = g_xcfg.ferry_flag.load();
	if ((flag & FERRY_READ_BATCH_SIZE_CHANGE) && !ferry_change_read_batch_size(r)) {
		return;
	}
	if (flag & FERRY_MAX_RECS_INFLIGHT_CHANGE) {
		ferry_change_inflight();
	}
	if (flag & FERRY_NUM_THREADS_CHANGE) {
		ferry_change_threads();
	}
	if (flag & FERRY_RECORD_GET_MODE_CHANGE) {
		ferry_change_read_mode();
	}
	if (flag & FERRY_RECORD_GET_THREADS_CHANGE) {
		ferry_change_read_threads();
	}
}

/* ---- Main loop ---------------------------------------------------------- */

void
dlogreader(thread_data *td)
{
	static ferry_dlogreader r;
	ferry_dlogreader_init(&r, td);
	for (;;) {
		ferry_sleep_ms(1000);
		ferry_dlogreader_pass(&r);
	}
}
