/*
 * ferry_shared: the process-wide records of the shipper, the last-ship time
 * rules and the per-namespace slot tables.
 *
 * Last-ship times are digest times in wall-clock milliseconds. Every
 * subtraction of the 5-minute adjustment saturates at 0: a time near 0 (a
 * fresh header word, a report of a node that never shipped) must mean "from
 * the start", never a time far in the future.
 */
#include "tamberlin/ferry_shared.h"

#include <pthread.h>
#include <unistd.h>

#include <cstring>

#include "ferry_clusters.h"
#include "ferry_dlogreader.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ox_clock.h"
#include "tamberlin/ox_shash.h"
#include "tamberlin/tamberlin.h"

cluster_cfg g_rcfg[DC_MAX_NUM];
g_lastshiptime_struct g_lastshiptime[DC_MAX_NUM];
uint64_t g_prevlastshiptime[DC_MAX_NUM];
counters *g_ferry_cntr;
uint64_t g_boottime;
std::atomic<uint64_t> g_last_logwrite_time;
int32_t g_isresume = -1;
bool g_failover = true;
std::atomic<bool> g_server_up;
std::atomic<bool> g_isnamedpipe_open;
std::atomic<bool> g_ns_sync_complete;
std::atomic<bool> g_bootnode_sync_complete;
ns_digest_bucket g_ns_dbuckets[NAMESPACE_MAX_NUM];
failednode_info g_failednodeinfo[CLUSTER_MAX_SZ];
int g_maxfailedever;
ox_node g_bootnodes[CLUSTER_MAX_SZ];
int g_bootnodecount;
struct ox_rbuffer *g_rbuf_des;
uint64_t g_ferry_search_stride = 10000;
ox_vector *g_sockaddr_in_v;
struct ka_cluster_s *g_local_cluster;
ox_queue *g_dlog_q;
ox_queue *g_diginfo_freepool_q;
ox_queue *g_batch_get_q;
ox_queue *g_batch_get_response_q;

const char *cluster_states[3] = {"CLUSTER_DOWN", "CLUSTER_UP", "CLUSTER_WINDOW_SHIP"};

std::atomic<uint32_t> g_ferry_time_divisor{1};

/* Set by start-up once the clusters exist (ferry_clusters.cpp); kept here so
 * that the threads waiting for it need no part of the cluster code. */
std::atomic<bool> g_clusters_created{false};

void
ferry_wait_clusters_created(void)
{
	if (g_clusters_created.load()) {
		return;
	}
	ox_info(QM_FERRY, "Waiting for the cluster connections to be made");
	while (!g_clusters_created.load()) {
		ferry_sleep_ms(100);
	}
}

uint32_t
ferry_scaled_ms(uint32_t ms)
{
	uint32_t div = g_ferry_time_divisor.load(std::memory_order_relaxed);
	uint32_t scaled = div > 1 ? ms / div : ms;
	return scaled ? scaled : 1;
}

void
ferry_sleep_ms(uint32_t ms)
{
	usleep((useconds_t)ferry_scaled_ms(ms) * 1000);
}

int
ferry_start_detached(void *(*fn)(void *), void *arg, bool warn)
{
	pthread_t tid;
	int rv = pthread_create(&tid, nullptr, fn, arg);
	if (rv != 0) {
		if (warn) {
			ox_warning(QM_FERRY, "pthread_create failed with error %s", ox_strerror(rv));
		}
		return rv;
	}
	pthread_detach(tid);
	return 0;
}

/* ---- The stamp clock ------------------------------------------------------ */

std::atomic<uint64_t (*)(void)> g_ferry_wallclock{nullptr};
static std::atomic<uint64_t> s_last_stamp{0};

uint64_t
ferry_stamp_clock(void)
{
	uint64_t (*wall)(void) = g_ferry_wallclock.load(std::memory_order_relaxed);
	uint64_t now = wall ? wall() : ox_clock_getabsolute();
	uint64_t last = s_last_stamp.load();
	while (now > last) {
		if (s_last_stamp.compare_exchange_weak(last, now)) {
			return now;
		}
	}
	return last;
}

void
ferry_stamp_clock_seed(uint64_t t)
{
	uint64_t last = s_last_stamp.load();
	while (t > last && !s_last_stamp.compare_exchange_weak(last, t)) {
	}
}

/* ---- Last-ship times ---------------------------------------------------- */

uint64_t
ferry_lst_minus_adjust(uint64_t t)
{
	return t > FERRY_TIME_ADJUST ? t - FERRY_TIME_ADJUST : 0;
}

uint64_t
ferry_time_adjust(void)
{
	return ferry_scaled_ms((uint32_t)FERRY_TIME_ADJUST);
}

int
ferry_dc_configured(void)
{
	return g_dc_count < DC_MAX_NUM ? g_dc_count : DC_MAX_NUM;
}

static bool
ferry_dc_valid(int dc)
{
	return dc >= 0 && dc < DC_MAX_NUM;
}

void
ferry_get_min_lst_for_dcid(int dc)
{
	if (!ferry_dc_valid(dc)) {
		return;
	}
	g_lastshiptime_struct *l = &g_lastshiptime[dc];
	if (g_rcfg[dc].dc_inuse) {
		// Read in the reverse order of the hand-overs: a failed-node run hands
		// a datacenter that went down to a window (lowering lst_windowship)
		// before it lets go of its hold, and a window starts from lst_main,
		// which stays put until the window manager is done. So a time
		// released by one kind is seen held by the next. The failed-node
		// time comes straight from the runs' holds: the field itself is only
		// what the last run to store it saw.
		// The main reader's digests go the same way: from the batch (its
		// floor) to the engine (the floor of the writes awaiting replies) to
		// acknowledged; the batch floor is read first. So do the digests of
		// a run and of a window: a hold or lst_windowship moves past a write
		// only once it is counted in its road's ring, read after them.
		uint64_t f = ferry_failednode_lst_min(dc);
		ox_atomic64_set(&l->lst_failednode, f);
		uint64_t fi = ferry_failednode_inflight_floor(dc);
		uint64_t w = __atomic_load_n(&l->lst_windowship, __ATOMIC_SEQ_CST);
		uint64_t wi = ferry_inflight_road_floor(ferry_inflight_window_ring(dc), dc);
		uint64_t b = ferry_dlogreader_batch_floor();
		uint64_t i = ferry_inflight_floor(dc);
		uint64_t m = __atomic_load_n(&l->lst_main, __ATOMIC_SEQ_CST);
		uint64_t min = m < w ? m : w;
		min = min < f ? min : f;
		min = min < fi ? min : fi;
		min = min < wi ? min : wi;
		min = min < b ? min : b;
		ox_atomic64_set(&l->lst_localmin, min < i ? min : i);
		return;
	}
	// A datacenter nobody ships to must never hold back the reclaim.
	uint64_t t = g_last_logwrite_time.load(std::memory_order_relaxed);
	if (t == 0) {
		t = g_boottime;
	}
	ox_atomic64_set(&l->lst_main, t);
	ox_atomic64_set(&l->lst_localmin, t);
}

void
ferry_update_lst_for_this_node(uint64_t time, int caller, int dc)
{
	if (!ferry_dc_valid(dc)) {
		return;
	}
	g_lastshiptime_struct *l = &g_lastshiptime[dc];
	switch (caller) {
	case MAIN_THREAD: {
		uint64_t floor = ferry_dlogreader_batch_floor();
		ox_atomic64_set(&l->lst_main, time < floor ? time : floor);
		break;
	}
	case WINDOWSHIPPER:
		ox_atomic64_set(&l->lst_windowship, time);
		break;
	case FAILED_NODE:
		ox_atomic64_set(&l->lst_failednode, time);
		break;
	default:
		break;
	}
}

uint64_t
ferry_lst_main_floor(int dc)
{
	if (!ferry_dc_valid(dc)) {
		return 0;
	}
	// lst_main stays at or below the floor while a batch is in progress, so
	// whichever of the two is read after the batch ends is still below every
	// digest of the batch that a datacenter found down has refused.
	uint64_t m = __atomic_load_n(&g_lastshiptime[dc].lst_main, __ATOMIC_SEQ_CST);
	uint64_t b = ferry_dlogreader_batch_floor();
	return m < b ? m : b;
}

/* ---- Writes awaiting their reply ----------------------------------------- */

struct ferry_inflight_group {
	std::atomic<uint64_t> floor{FERRY_LST_NONE};
	std::atomic<int32_t> outstanding[DC_MAX_NUM];
};

struct ferry_inflight_ring_s {
	ferry_inflight_group *groups;
	int n;
	/* The newest group and the writes it has taken (its owner's alone). */
	int newest;
	int taken;
};

namespace {

ferry_inflight_group s_inflight[FERRY_INFLIGHT_GROUPS];
ferry_inflight_ring s_main_ring = {s_inflight, FERRY_INFLIGHT_GROUPS, FERRY_INFLIGHT_GROUPS - 1, 0};
/* The group of the batch in progress, FERRY_INFLIGHT_NONE between batches. */
std::atomic<int> s_inflight_now{FERRY_INFLIGHT_NONE};

ferry_inflight_group s_window_groups[DC_MAX_NUM][FERRY_INFLIGHT_ROAD_GROUPS];
ferry_inflight_group s_failednode_groups[CLUSTER_MAX_SZ][FERRY_INFLIGHT_ROAD_GROUPS];
ferry_inflight_ring s_window_rings[DC_MAX_NUM];
ferry_inflight_ring s_failednode_rings[CLUSTER_MAX_SZ];

// The first write of a road starts a group of its own.
[[maybe_unused]] const bool s_road_rings_ready = [] {
	for (int i = 0; i < DC_MAX_NUM; i++) {
		s_window_rings[i] = {s_window_groups[i], FERRY_INFLIGHT_ROAD_GROUPS, FERRY_INFLIGHT_ROAD_GROUPS - 1,
				FERRY_INFLIGHT_ROAD_GROUP_WRITES};
	}
	for (int i = 0; i < CLUSTER_MAX_SZ; i++) {
		s_failednode_rings[i] = {s_failednode_groups[i], FERRY_INFLIGHT_ROAD_GROUPS,
				FERRY_INFLIGHT_ROAD_GROUPS - 1, FERRY_INFLIGHT_ROAD_GROUP_WRITES};
	}
	return true;
}();

bool
ferry_inflight_busy(const ferry_inflight_group *g)
{
	for (int dc = 0; dc < DC_MAX_NUM; dc++) {
		if (g->outstanding[dc].load() != 0) {
			return true;
		}
	}
	return false;
}

void
ferry_ring_done(ferry_inflight_ring *r, int group, int dc)
{
	if (group >= 0 && group < r->n && ferry_dc_valid(dc)) {
		r->groups[group].outstanding[dc].fetch_sub(1);
	}
}

uint64_t
ferry_ring_floor(const ferry_inflight_ring *r, int dc, uint64_t min)
{
	for (int g = 0; g < r->n; g++) {
		// The count first: a group is given a new floor only once nothing
		// is outstanding in it.
		if (r->groups[g].outstanding[dc].load() <= 0) {
			continue;
		}
		uint64_t f = r->groups[g].floor.load();
		if (f < min) {
			min = f;
		}
	}
	return min;
}

} // namespace

void
ferry_inflight_batch_begin(uint64_t floor)
{
	ferry_inflight_ring *r = &s_main_ring;
	int next = (r->newest + 1) % r->n;
	if (!ferry_inflight_busy(&r->groups[next])) {
		// Stored before the group is published: a write counted in it is
		// never seen with an older batch's floor.
		r->groups[next].floor.store(floor);
		r->newest = next;
	} else if (floor < r->groups[r->newest].floor.load()) {
		r->groups[r->newest].floor.store(floor);
	}
	s_inflight_now.store(r->newest);
}

void
ferry_inflight_batch_end(void)
{
	s_inflight_now.store(FERRY_INFLIGHT_NONE);
}

int
ferry_inflight_take(int dc)
{
	int g = s_inflight_now.load();
	if (g == FERRY_INFLIGHT_NONE || !ferry_dc_valid(dc)) {
		return FERRY_INFLIGHT_NONE;
	}
	s_inflight[g].outstanding[dc].fetch_add(1);
	return g;
}

void
ferry_inflight_done(int group, int dc)
{
	ferry_ring_done(&s_main_ring, group, dc);
}

uint64_t
ferry_inflight_floor(int dc)
{
	return ferry_dc_valid(dc) ? ferry_ring_floor(&s_main_ring, dc, FERRY_LST_NONE) : FERRY_LST_NONE;
}

ferry_inflight_ring *
ferry_inflight_window_ring(int dc)
{
	return ferry_dc_valid(dc) ? &s_window_rings[dc] : nullptr;
}

ferry_inflight_ring *
ferry_inflight_failednode_ring(int slot)
{
	return slot >= 0 && slot < CLUSTER_MAX_SZ ? &s_failednode_rings[slot] : nullptr;
}

int
ferry_inflight_road_take(ferry_inflight_ring *r, int dc, uint64_t t)
{
	if (!r || !ferry_dc_valid(dc)) {
		return FERRY_INFLIGHT_NONE;
	}
	if (r->taken >= FERRY_INFLIGHT_ROAD_GROUP_WRITES) {
		// The next group once all of its writes are done; until then the
		// newest takes more, which only keeps its floor longer.
		int next = (r->newest + 1) % r->n;
		if (!ferry_inflight_busy(&r->groups[next])) {
			r->groups[next].floor.store(t);
			r->newest = next;
			r->taken = 0;
		}
	}
	ferry_inflight_group *g = &r->groups[r->newest];
	// The floor before the count: whoever sees the write counted sees a
	// floor at or below it.
	if (t < g->floor.load()) {
		g->floor.store(t);
	}
	g->outstanding[dc].fetch_add(1);
	r->taken++;
	return r->newest;
}

void
ferry_inflight_road_done(ferry_inflight_ring *r, int group, int dc)
{
	if (r) {
		ferry_ring_done(r, group, dc);
	}
}

uint64_t
ferry_inflight_road_floor(const ferry_inflight_ring *r, int dc)
{
	return r && ferry_dc_valid(dc) ? ferry_ring_floor(r, dc, FERRY_LST_NONE) : FERRY_LST_NONE;
}

uint64_t
ferry_failednode_inflight_floor(int dc)
{
	if (!ferry_dc_valid(dc)) {
		return FERRY_LST_NONE;
	}
	uint64_t min = FERRY_LST_NONE;
	for (int i = 0; i < CLUSTER_MAX_SZ; i++) {
		min = ferry_ring_floor(&s_failednode_rings[i], dc, min);
	}
	return min;
}

/* ---- Failed-node slots -------------------------------------------------- */

void
ferry_failednode_slots_reset(void)
{
	for (int i = 0; i < CLUSTER_MAX_SZ; i++) {
		failednode_info *f = &g_failednodeinfo[i];
		f->node = 0;
		f->failtime.store(0);
		for (int d = 0; d < DC_MAX_NUM; d++) {
			f->ferrylastship[d].store(0);
			f->lst_hold[d].store(FERRY_LST_NONE);
		}
		f->slotinuse.store(false);
	}
}

// A slot never used must hold nothing from the first claim on.
[[maybe_unused]] static const bool s_failednode_slots_ready = [] {
	ferry_failednode_slots_reset();
	return true;
}();

bool
ferry_failednode_claim(int i)
{
	if (i < 0 || i >= CLUSTER_MAX_SZ) {
		return false;
	}
	bool expected = false;
	return g_failednodeinfo[i].slotinuse.compare_exchange_strong(expected, true);
}

uint64_t
ferry_failednode_lst_min(int dc)
{
	if (!ferry_dc_valid(dc)) {
		return FERRY_LST_NONE;
	}
	uint64_t min = FERRY_LST_NONE;
	for (int i = 0; i < CLUSTER_MAX_SZ; i++) {
		failednode_info *f = &g_failednodeinfo[i];
		if (!f->slotinuse.load()) {
			continue;
		}
		uint64_t h = f->lst_hold[dc].load();
		if (h < min) {
			min = h;
		}
	}
	return min;
}

std::mutex g_failednode_hold_lock;

void
ferry_failednode_hold(int i, int dc, uint64_t time)
{
	if (i < 0 || i >= CLUSTER_MAX_SZ || !ferry_dc_valid(dc)) {
		return;
	}
	std::atomic<uint64_t> *h = &g_failednodeinfo[i].lst_hold[dc];
	if (time < h->load()) {
		// Never between the reclaim's last look at the holds and its move of
		// the log's start.
		std::lock_guard<std::mutex> g(g_failednode_hold_lock);
		h->store(time);
	} else {
		h->store(time);
	}
	ox_atomic64_set(&g_lastshiptime[dc].lst_failednode, ferry_failednode_lst_min(dc));
}

uint64_t
ferry_failednode_start_time(failednode_info *f)
{
	uint64_t start = FERRY_LST_NONE;
	for (int dc = 0; dc < ferry_dc_configured(); dc++) {
		uint64_t t = f->ferrylastship[dc].load();
		if (t != 0 && t < start) {
			start = t;
		}
	}
	return start;
}

void
ferry_failednode_hold_start(int i)
{
	if (i < 0 || i >= CLUSTER_MAX_SZ) {
		return;
	}
	uint64_t start = ferry_failednode_start_time(&g_failednodeinfo[i]);
	for (int dc = 0; dc < DC_MAX_NUM; dc++) {
		ferry_failednode_hold(i, dc, start);
	}
}

uint64_t
ferry_failednode_reclaim_bound(void)
{
	uint64_t min = FERRY_LST_NONE;
	for (int dc = 0; dc < ferry_dc_configured(); dc++) {
		uint64_t h = ferry_failednode_lst_min(dc);
		if (h < min) {
			min = h;
		}
	}
	return ferry_lst_minus_adjust(min);
}

void
ferry_restore_lst_from_words(const uint64_t words[DC_MAX_NUM])
{
	for (int i = 0; i < ferry_dc_configured(); i++) {
		uint64_t word = ox_atomic64_get(&words[i]);
		if (word == 0) {
			continue;
		}
		uint64_t t = ferry_lst_minus_adjust(word);
		ox_atomic64_set(&g_lastshiptime[i].lst_main, t);
		ox_atomic64_set(&g_lastshiptime[i].lst_windowship, FERRY_LST_NONE);
		ox_atomic64_set(&g_lastshiptime[i].lst_failednode, FERRY_LST_NONE);
		ox_detail(QM_FERRY, "Initializing lastshiptime for DC %d to %lu", i, (unsigned long)t);
	}
}

void
ferry_store_lst_to_words(uint64_t words[DC_MAX_NUM])
{
	// The words are the digest log's header, which the writer thread may be
	// persisting right now: whole atomic stores, as the ring buffer reads them.
	for (int i = 0; i < DC_MAX_NUM; i++) {
		ox_atomic64_set(&words[i], i < g_dc_count ? ox_atomic64_get(&g_lastshiptime[i].lst_localmin) : 0);
	}
}

void
ferry_init_unset_lst(uint64_t base)
{
	for (int i = 0; i < ferry_dc_configured(); i++) {
		g_lastshiptime_struct *l = &g_lastshiptime[i];
		if (ox_atomic64_get(&l->lst_main) != 0) {
			continue;
		}
		ox_atomic64_set(&l->lst_main, ferry_lst_minus_adjust(base));
		ox_atomic64_set(&l->lst_windowship, FERRY_LST_NONE);
		ox_atomic64_set(&l->lst_failednode, FERRY_LST_NONE);
	}
}

/* ---- Change bits ------------------------------------------------------- */

void
ferry_change_bit_done(int32_t bit, const int32_t *pending, int32_t applied)
{
	g_xcfg.ferry_flag.fetch_and(~bit);
	if (__atomic_load_n(pending, __ATOMIC_RELAXED) != applied) {
		g_xcfg.ferry_flag.fetch_or(bit);
	}
}

/* ---- Slot tables -------------------------------------------------------- */

uint32_t
hash_fn(const void *key)
{
	const auto *b = (const uint8_t *)key;
	uint64_t h = 0xcbf29ce484222325ULL;
	for (int i = 0; i < 20; i++) {
		h ^= b[i];
		h *= 0x100000001b3ULL;
	}
	return (uint32_t)h;
}

bool
ferry_ns_known(int32_t nsid)
{
	// The writer asks while the pipe reader sets tables up.
	return nsid >= 1 && nsid < NAMESPACE_MAX_NUM &&
		__atomic_load_n(&g_ns_dbuckets[nsid].initialized, __ATOMIC_ACQUIRE);
}

/* The digest-to-slot map of a table of n slots: one bucket per 8 slots for
 * large batches. */
static int
ns_bucket_make_map(shash **map, int n)
{
	uint32_t buckets = n > 8199 ? (uint32_t)n / 8 : 1024;
	return shash_create(map, hash_fn, 20, sizeof(int32_t), buckets, SHASH_CR_MT_BIGLOCK);
}

static void
ns_bucket_release_arrays(ns_digest_bucket *b)
{
	ox_free(b->ns_digests);
	ox_free(b->masternodes);
	ox_free(b->generations);
	ox_free(b->digesttimes);
	ox_free(b->digest_status);
	b->ns_digests = nullptr;
	b->masternodes = nullptr;
	b->generations = nullptr;
	b->digesttimes = nullptr;
	b->digest_status = nullptr;
}

int
ferry_ns_bucket_setup(int nsid, const char *name, int read_batch_size)
{
	// A table set up twice would leak the first one's arrays and map.
	if (nsid < 1 || nsid >= NAMESPACE_MAX_NUM || read_batch_size <= 0 || ferry_ns_known(nsid)) {
		return -1;
	}
	ns_digest_bucket *b = &g_ns_dbuckets[nsid];
	memset(b->ns_name, 0, sizeof(b->ns_name));
	memcpy(b->ns_name, name, strnlen(name, NAMESPACE_MAX_SZ - 1));
	b->ns_id = nsid;
	b->ns_digest_slots_inuse = 0;

	int rv = ns_bucket_make_map(&b->digest_to_idx_hash, read_batch_size);
	if (rv != SHASH_OK) {
		ox_crash(QM_FERRY, OX_GLOBAL, "Hash Map creation failed with err=%d", rv);
		return -1;
	}
	size_t n = (size_t)read_batch_size;
	b->ns_digests = (uint8_t(*)[20])ox_malloc(n * 20);
	b->masternodes = (ox_node *)ox_malloc(n * sizeof(ox_node));
	b->generations = (uint32_t *)ox_malloc(n * sizeof(uint32_t));
	b->digesttimes = (uint64_t *)ox_malloc(n * sizeof(uint64_t));
	b->digest_status = (uint32_t *)ox_malloc(n * 8);
	if (!b->ns_digests || !b->masternodes || !b->generations || !b->digesttimes ||
			!b->digest_status) {
		ns_bucket_release_arrays(b);
		shash_destroy(b->digest_to_idx_hash);
		b->digest_to_idx_hash = nullptr;
		ox_warning(QM_FERRY,
				"Failed to allocate memory to initialize namespace %s. Records of this namespace will not be shipped.",
				b->ns_name);
		return -1;
	}
	b->capacity = read_batch_size;
	__atomic_store_n(&b->initialized, true, __ATOMIC_RELEASE);
	return 0;
}

/* One array of a table to n entries of size bytes; false (the old array
 * kept) when it cannot be resized. */
template <typename T>
static bool
ns_bucket_resize_array(T **arr, size_t n, size_t size)
{
	auto *p = (T *)ox_realloc(*arr, n * size);
	if (!p) {
		return false;
	}
	*arr = p;
	return true;
}

int
ferry_ns_bucket_resize(int nsid, int n)
{
	if (!ferry_ns_known(nsid) || n <= 0) {
		return -1;
	}
	ns_digest_bucket *b = &g_ns_dbuckets[nsid];
	if (n < b->ns_digest_slots_inuse) {
		return -1; // would drop slots of the batch being filled
	}
	size_t recs = (size_t)n;
	// Each array that grew is kept even when a later one cannot: the
	// capacity names what all five hold.
	bool ok = ns_bucket_resize_array(&b->ns_digests, recs, 20) &&
		ns_bucket_resize_array(&b->masternodes, recs, sizeof(ox_node)) &&
		ns_bucket_resize_array(&b->generations, recs, sizeof(uint32_t)) &&
		ns_bucket_resize_array(&b->digesttimes, recs, sizeof(uint64_t)) &&
		ns_bucket_resize_array(&b->digest_status, recs, 8);
	if (!ok) {
		// Grown arrays hold the old capacity still, shrunk ones only n.
		if (n < b->capacity) {
			b->capacity = n;
		}
		return -1;
	}
	b->capacity = n;
	// The bucket count only tunes the lookups: a map that holds entries, or
	// that cannot be replaced, serves on as it is.
	shash *map = nullptr;
	if (shash_get_size(b->digest_to_idx_hash) == 0 && ns_bucket_make_map(&map, n) == SHASH_OK) {
		shash_destroy(b->digest_to_idx_hash);
		b->digest_to_idx_hash = map;
	}
	return 0;
}

void
ferry_ns_bucket_free(int nsid)
{
	ns_digest_bucket *b = &g_ns_dbuckets[nsid];
	ns_bucket_release_arrays(b);
	if (b->digest_to_idx_hash) {
		shash_destroy(b->digest_to_idx_hash);
		b->digest_to_idx_hash = nullptr;
	}
	b->capacity = 0;
	__atomic_store_n(&b->initialized, false, __ATOMIC_RELEASE);
}
