/*
 * ferry_shared: the records the shipper's threads share, and the two byte
 * formats that cross thread boundaries.
 *
 * No lock guards these records. Counters change only by atomic additions
 * (the housekeeper alone stores two of them whole); last-ship times are
 * 64-bit values stored and read whole; flags are written by one thread and
 * polled by others. The pipe message (280 bytes) and the digest-log record
 * (its first 80 bytes) are fixed layouts with static_asserts on every offset,
 * because the local server writes the one and the digest log keeps the other.
 *
 * Fixed waits of the shipper (1-second retries, the 60-second server wait,
 * the 2-second pipe delay, the writer's 1-second batch limit) all go through
 * ferry_sleep_ms / ferry_scaled_ms, so test programs can shorten them with one
 * hook, g_ferry_time_divisor; nothing in the product or the configuration
 * changes it.
 */
#pragma once

#include <atomic>
#include <mutex>
#include <cstddef>
#include <cstdint>

#include "tamberlin/ox_queue.h"
#include "tamberlin/utils.h"

struct ka_cluster_s;
struct ox_ll_s;
struct shash_s;
struct ox_rbuffer;

#define CLUSTER_MAX_SZ 128
#define FERRY_TIME_ADJUST 300000ULL     /* 5 minutes, ms */
#define FERRY_SEND_LSTINFO_GAP 3000ULL  /* ms a minimum must move before a report */
#define FERRY_LST_NONE UINT64_MAX       /* "no such shipping under way" */
#define HIVED_INFINITE_TTL_VALUE ((uint32_t)-1)

/* ---- Counters --------------------------------------------------------- */

typedef struct per_dc_counters_s {
	uint64_t timediff_lastship_cur;
	uint64_t record_ship_attempts;
	uint64_t delete_ship_attempts;
} per_dc_counters;

typedef struct counters_s {
	uint64_t dlog_pkts_logged;
	uint64_t dlog_pkts_processed;
	uint64_t dlog_pkts_really_processed;
	uint64_t dlog_pkts_resume_replprocessed;
	uint64_t remote_ship_total;
	uint64_t dlog_pkts_replprocessed;
	uint64_t dlog_pkts_relogged;
	uint64_t dlog_pkts_unlogged;
	uint64_t dlog_pkts_dropped;
	uint64_t dlog_pkts_writelatency;
	uint64_t dlog_pkts_readlatency;
	uint64_t remote_ship_skipped_genmismatch;
	uint64_t remote_ship_skipped_expired;
	uint64_t remote_ship_skipped_notmaster;
	uint64_t remote_ship_skipped_unknown_namespace;
	uint64_t remote_ship_latency;
	uint64_t remote_ship_fail_latency;
	uint64_t remote_ship_clientfail;
	uint64_t remote_ship_serverfail;
	uint64_t dlog_pkts_reclaimed;
	uint64_t remote_ship_throughput;
	uint64_t remote_ship_total_bytes;
	uint64_t local_recs_fetched;
	uint64_t local_recs_notfound;
	uint64_t local_recs_fetch_latency;
	uint64_t num_batch_calls;
	uint64_t num_single_get_calls;
	uint64_t local_recs_fetch_retry;
	uint64_t local_recs_migration_retry;
	uint64_t remote_ship_delete_total;
	uint64_t dlog_deletes_relogged;
	uint64_t dlog_deletes_canceled;
	uint64_t pipe_reads_diginfo;
	struct per_dc_counters_s per_dc_counters[DC_MAX_NUM];
} counters;
/* The statistics command walks the counters in this order. */
static_assert(offsetof(counters, remote_ship_total) == 4 * 8, "counter order");
static_assert(offsetof(counters, dlog_pkts_dropped) == 8 * 8, "counter order");
static_assert(offsetof(counters, remote_ship_skipped_unknown_namespace) == 14 * 8, "counter order");
static_assert(offsetof(counters, dlog_pkts_reclaimed) == 19 * 8, "counter order");
static_assert(offsetof(counters, remote_ship_throughput) == 20 * 8, "counter order");
static_assert(offsetof(counters, local_recs_migration_retry) == 28 * 8, "counter order");
static_assert(offsetof(counters, pipe_reads_diginfo) == 32 * 8, "33 counters in order");
static_assert(offsetof(counters, per_dc_counters[1].delete_ship_attempts) == 33 * 8 + 24 + 16,
		"per-datacenter counters follow");
static_assert(sizeof(counters) == 33 * 8 + DC_MAX_NUM * 24, "counters layout");

/* ---- Per-datacenter state --------------------------------------------- */

typedef enum {
	CLUSTER_DOWN = 0,
	CLUSTER_UP = 1,
	CLUSTER_WINDOW_SHIP = 2
} cluster_health_t;
extern const char *cluster_states[3];

typedef struct cluster_cfg_s {
	struct ka_cluster_s *asc;
	int32_t cluster_health;
	struct ox_ll_s *ship_times;
	counters *cntr;
	uint32_t infinite_ttl_value;
	bool dc_inuse; /* some namespace ships here (configuration checks) */
} cluster_cfg;

/* Digest times in wall-clock ms; FERRY_LST_NONE in the two optional ones
 * means no such shipping is under way (it never wins an unsigned minimum). */
typedef struct g_lastshiptime_struct_s {
	uint64_t lst_main;
	uint64_t lst_windowship;
	uint64_t lst_failednode;
	uint64_t lst_localmin;
} g_lastshiptime_struct;

typedef enum {
	MAIN_THREAD = 0,
	WINDOWSHIPPER = 1,
	FAILED_NODE = 2
} ferry_lst_caller;

typedef struct thread_data_s {
	counters *cntr;
	cluster_cfg *mcfg;
	cluster_cfg *rcfg;
} thread_data;

/* ---- Pipe message and digest-log record -------------------------------- */

#define FERRY_MSG_TYPE_NSINFO 1
#define FERRY_MSG_TYPE_DIGESTINFO 2
#define FERRY_MSG_TYPE_CLUST_STATE_CHANGE 3

#define FERRY_MSG_CLSTCHG_ADD 1
#define FERRY_MSG_CLSTCHG_REMOVE 2
#define FERRY_MSG_CLSTCHG_INIT 3

#define RELAY_DELETE_FLAG 2
#define RELAY_DELETE_RELOG_FLAG 4

#define FERRY_MSG_SIZE 280
#define FERRY_MSG_ONDISK_SIZE 80

typedef uint64_t ox_node;

typedef struct ferry_msg_nsinfo_s {
	int32_t ns_id; /* 1..31; -1 ends the list */
	char ns_name[NAMESPACE_MAX_SZ]; /* NUL-terminated within the 32 bytes, if at all */
} ferry_msg_nsinfo;

typedef struct ferry_msg_digestinfo_s {
	int32_t ns_id;
	uint32_t generation;
	uint64_t digesttime; /* replaced by the time of receipt */
	ox_node masternode;  /* 0: this node masters the record */
	uint8_t digest[20];  /* the record's ox_digest */
	uint32_t delete_flag;
	uint64_t spare2;
	uint64_t spare3;
	uint64_t spare4;
} ferry_msg_digestinfo;

typedef struct ferry_msg_clust_state_change_s {
	int8_t change;
	uint8_t pad[7];
	ox_node node;
	uint64_t lastshiptime[DC_MAX_NUM];
} ferry_msg_clust_state_change;

typedef struct ferry_msg_s {
	uint8_t xm_type;
	uint8_t pad[7];
	union {
		ferry_msg_nsinfo nsinfo;
		ferry_msg_digestinfo diginfo;
		ferry_msg_clust_state_change clchg;
		uint8_t raw[272];
	} data;
} ferry_msg;

typedef struct ferry_msg_ondisk_s {
	uint8_t xm_type; /* always 2 */
	uint8_t pad[7];
	ferry_msg_digestinfo diginfo;
} ferry_msg_ondisk;

static_assert(sizeof(ferry_msg) == FERRY_MSG_SIZE, "pipe message is 280 bytes");
static_assert(sizeof(ferry_msg_ondisk) == FERRY_MSG_ONDISK_SIZE, "digest record is 80 bytes");
static_assert(offsetof(ferry_msg, data) == 8, "bodies start at 8");
static_assert(offsetof(ferry_msg, data.nsinfo.ns_name) == 12, "ns_name at 12");
static_assert(offsetof(ferry_msg, data.diginfo.generation) == 12, "generation at 12");
static_assert(offsetof(ferry_msg, data.diginfo.digesttime) == 16, "digesttime at 16");
static_assert(offsetof(ferry_msg, data.diginfo.masternode) == 24, "masternode at 24");
static_assert(offsetof(ferry_msg, data.diginfo.digest) == 32, "digest at 32");
static_assert(offsetof(ferry_msg, data.diginfo.delete_flag) == 52, "delete_flag at 52");
static_assert(offsetof(ferry_msg, data.diginfo.spare2) == 56, "spare2 at 56");
static_assert(offsetof(ferry_msg, data.diginfo.spare4) == 72, "spare4 at 72");
static_assert(offsetof(ferry_msg, data.clchg.node) == 16, "node at 16");
static_assert(offsetof(ferry_msg, data.clchg.lastshiptime) == 24, "lastshiptime at 24");
static_assert(offsetof(ferry_msg_ondisk, diginfo.digest) == 32, "record digest at 32");

/* ---- Slot tables and failed-node slots --------------------------------- */

#define DSTATUS_MUST_SHIP 0x00000001

/* One namespace's slots of the current read batch; set up by the pipe reader,
 * filled by the digest-log reader, read by the record fetch. Each array has
 * room for capacity entries: the read batch size when the table was made,
 * which a run-time change of that size may have left behind, so the reader
 * re-makes a table before it fills it past its capacity. */
typedef struct ns_digest_bucket_s {
	bool initialized;
	char ns_name[NAMESPACE_MAX_SZ];
	int32_t ns_id;
	int ns_digest_slots_inuse;
	int capacity;
	uint8_t (*ns_digests)[20];
	ox_node *masternodes;
	uint32_t *generations;
	uint32_t *digest_status;
	uint64_t *digesttimes;
	struct shash_s *digest_to_idx_hash; /* digest -> int32 slot, one lock */
} ns_digest_bucket;

/* One failed node's slot. The pipe reader claims a free slot and refreshes
 * the times of a claimed one while its failed-node thread reads them, and the
 * thread releases the slot while the pipe reader scans: the shared fields are
 * atomics, and both sides claim a free slot by compare-and-set (false to
 * true), so a report that lands while a thread finishes is never lost.
 * node is written only by the pipe reader, before the slot's thread starts. */
typedef struct failednode_info_s {
	ox_node node;
	std::atomic<uint64_t> ferrylastship[DC_MAX_NUM]; /* window start per datacenter */
	std::atomic<uint64_t> failtime;                  /* window end */
	std::atomic<bool> slotinuse;
	/* The run's hold on each datacenter's failed-node last-ship time: the
	 * digest time it last handed there, FERRY_LST_NONE when it holds nothing
	 * (its thread alone stores it; read by anyone). */
	std::atomic<uint64_t> lst_hold[DC_MAX_NUM];
} failednode_info;

/* Every slot free, holding nothing, its times 0 (start-up, tests). */
void ferry_failednode_slots_reset(void);
/* Claims slot i if it is free: true when this caller now owns it. */
bool ferry_failednode_claim(int i);
/* Stores the hold of slot i's run on datacenter dc (FERRY_LST_NONE: none)
 * and refreshes that datacenter's lst_failednode. A hold that moves earlier
 * takes g_failednode_hold_lock. The slot's owner (the pipe reader that has
 * just claimed it, then its thread). */
void ferry_failednode_hold(int i, int dc, uint64_t time);
/* The smallest hold on datacenter dc over the slots in use, FERRY_LST_NONE
 * when no run holds it. Any thread. */
uint64_t ferry_failednode_lst_min(int dc);
/* Where a run of slot f starts: its smallest non-zero start time over the
 * configured datacenters, FERRY_LST_NONE when there is none. */
uint64_t ferry_failednode_start_time(failednode_info *f);
/* Slot i's run holds every datacenter at its start (none when it has no
 * start): from the claim on, before its thread can read. The slot's owner. */
void ferry_failednode_hold_start(int i);
/* The digest time below which the reclaim may give up records for the runs
 * in use: their smallest hold on a configured datacenter, less the margin
 * (FERRY_LST_NONE less it when none holds). Read under
 * g_failednode_hold_lock, it stays valid until the lock is let go: no hold
 * moves earlier meanwhile. */
uint64_t ferry_failednode_reclaim_bound(void);
extern std::mutex g_failednode_hold_lock;

/* Argument of a failed-node thread; allocated by the pipe reader, owned and
 * freed by the thread. */
typedef struct failover_info_s {
	int slotnumber;
	thread_data *td;
} failover_info;

/* ---- Process-wide state ------------------------------------------------- */

extern cluster_cfg g_rcfg[DC_MAX_NUM];
extern g_lastshiptime_struct g_lastshiptime[DC_MAX_NUM];
extern uint64_t g_prevlastshiptime[DC_MAX_NUM]; /* housekeeper only */
extern counters *g_ferry_cntr;
extern uint64_t g_boottime;
extern std::atomic<uint64_t> g_last_logwrite_time;
extern int32_t g_isresume;
extern bool g_failover;
extern std::atomic<bool> g_server_up;
extern std::atomic<bool> g_isnamedpipe_open;
extern std::atomic<bool> g_ns_sync_complete;
extern std::atomic<bool> g_bootnode_sync_complete;
extern ns_digest_bucket g_ns_dbuckets[NAMESPACE_MAX_NUM];
extern failednode_info g_failednodeinfo[CLUSTER_MAX_SZ];
extern int g_maxfailedever;
extern ox_node g_bootnodes[CLUSTER_MAX_SZ];
extern int g_bootnodecount;
extern struct ox_rbuffer *g_rbuf_des;
extern uint64_t g_ferry_search_stride;
extern ox_vector *g_sockaddr_in_v;
extern struct ka_cluster_s *g_local_cluster;
extern ox_queue *g_dlog_q;
extern ox_queue *g_diginfo_freepool_q;
extern ox_queue *g_batch_get_q;
extern ox_queue *g_batch_get_response_q;

/* Test hook only: every fixed wait is divided by it (1 in the product). */
extern std::atomic<uint32_t> g_ferry_time_divisor;
uint32_t ferry_scaled_ms(uint32_t ms); /* ms / divisor, at least 1 */
void ferry_sleep_ms(uint32_t ms);      /* sleeps ferry_scaled_ms(ms) */

/* Starts fn(arg) on a thread nobody joins. pthread_create's result (0 when it
 * started); a failure is warned of unless warn is false, for callers that
 * say it in their own words. Any thread. */
int ferry_start_detached(void *(*fn)(void *), void *arg, bool warn);

/* The stamp clock: the larger of the wall clock and the last time it gave,
 * so digest times never go back when the wall clock does. It stamps digests
 * (received and relogged) and gives window ends and failure times, which are
 * compared with those stamps. Any thread. */
uint64_t ferry_stamp_clock(void);
/* Raises the stamp clock's last time to t (the newest record of the log at
 * start-up). */
void ferry_stamp_clock_seed(uint64_t t);
/* Test hook only: the wall clock the stamp clock follows (NULL in the
 * product: ox_clock_getabsolute). */
extern std::atomic<uint64_t (*)(void)> g_ferry_wallclock;

/* ---- Last-ship times ---------------------------------------------------- */

/* Local minimum of datacenter dc into lst_localmin (in use: unsigned minimum
 * of the three, of the floor of the batch in progress and of the oldest write
 * still awaiting its reply there, from the main reader, the window manager or
 * a failed-node run; not in use: lst_main = lst_localmin = the
 * last write time, or the boot time before any). Housekeeper thread. */
void ferry_get_min_lst_for_dcid(int dc);
/* Stores time into the field the caller kind names; other caller kinds and
 * datacenter numbers outside 0..31 change nothing (so does the minimum).
 * MAIN_THREAD stores at most the floor of the batch in progress: digests of
 * the batch not yet handed over may be older than the one handed now. */
void ferry_update_lst_for_this_node(uint64_t time, int caller, int dc);

/* ---- Writes awaiting their reply ----------------------------------------
 * The writes of each read batch are counted per datacenter from the moment
 * they are handed to the engine until their reply (or failure) has been
 * dealt with; the batch's floor (its oldest digest time) holds the
 * datacenter's reported, persisted and reclaimed times back while any is
 * outstanding. A small ring of groups: when every group still awaits
 * replies, a new batch joins the newest group, lowering its floor. Any
 * thread, atomics only. */

#define FERRY_INFLIGHT_GROUPS 64
#define FERRY_INFLIGHT_NONE (-1)

/* Digest-log reader: the batch whose oldest digest time is floor begins;
 * writes handed over from now on count in its group. */
void ferry_inflight_batch_begin(uint64_t floor);
/* Digest-log reader: every digest of the batch has been handed over. */
void ferry_inflight_batch_end(void);
/* The group a write handed over now counts in (FERRY_INFLIGHT_NONE between
 * batches), counted as outstanding to datacenter dc; ferry_inflight_done
 * with the same two once it is dealt with. */
int ferry_inflight_take(int dc);
void ferry_inflight_done(int group, int dc);
/* The oldest floor of the groups with writes outstanding to dc,
 * FERRY_LST_NONE when none is. */
uint64_t ferry_inflight_floor(int dc);

/* The same count-and-floor for the roads that ship again from the digest
 * log: each window manager's (one ring per datacenter) and each failed-node
 * run's (one ring per slot). A road's writes go out from one thread at a
 * time (the datacenter's manager, the slot's run), in log order, so its own
 * groups follow the writes: a new group every
 * FERRY_INFLIGHT_ROAD_GROUP_WRITES writes once the next is done with, the
 * newest taking more meanwhile. */
#define FERRY_INFLIGHT_ROAD_GROUPS 16
#define FERRY_INFLIGHT_ROAD_GROUP_WRITES 32
typedef struct ferry_inflight_ring_s ferry_inflight_ring;
/* The ring of datacenter dc's window manager, of failed-node slot slot's
 * runs; NULL for a number out of range. */
ferry_inflight_ring *ferry_inflight_window_ring(int dc);
ferry_inflight_ring *ferry_inflight_failednode_ring(int slot);
/* The road's thread: a write of digest time t handed over now to dc; the
 * group it counts in (FERRY_INFLIGHT_NONE for no ring or datacenter), given
 * back with ferry_inflight_road_done once it is dealt with (any thread). */
int ferry_inflight_road_take(ferry_inflight_ring *r, int dc, uint64_t t);
void ferry_inflight_road_done(ferry_inflight_ring *r, int group, int dc);
/* The oldest digest time of the road's writes outstanding to dc,
 * FERRY_LST_NONE when none is; over every failed-node slot's ring (whether
 * or not the slot is in use: a run may end before its replies come). */
uint64_t ferry_inflight_road_floor(const ferry_inflight_ring *r, int dc);
uint64_t ferry_failednode_inflight_floor(int dc);
/* The main reader's time of dc for a window opened now: the smaller of
 * lst_main and the floor of the batch in progress. */
uint64_t ferry_lst_main_floor(int dc);
/* t - FERRY_TIME_ADJUST, saturating at 0 instead of wrapping. */
uint64_t ferry_lst_minus_adjust(uint64_t t);
/* The margin of window and failed-node boundaries: FERRY_TIME_ADJUST, shortened
 * by the test hook like every fixed wait. */
uint64_t ferry_time_adjust(void);
/* t - d, saturating at 0. */
static inline uint64_t
ferry_sub_sat(uint64_t t, uint64_t d)
{
	return t > d ? t - d : 0;
}
/* The datacenters configured, as a bound for loops over the per-datacenter
 * arrays: g_dc_count, never above DC_MAX_NUM. */
int ferry_dc_configured(void);
/* Start-up: lst_main of every configured datacenter from its user word less
 * 5 minutes (saturated), the optional two to none, each logged at DETAIL; a 0
 * word leaves all 0. */
void ferry_restore_lst_from_words(const uint64_t words[DC_MAX_NUM]);
/* Housekeeper: word i = lst_localmin of datacenter i, 0 when not configured;
 * atomic stores, so words may be the open digest log's hdr[0].udata. */
void ferry_store_lst_to_words(uint64_t words[DC_MAX_NUM]);
/* Any datacenter still without a time gets base - 5 minutes (saturated) and
 * no optional shipping; the writer and the reader call it. */
void ferry_init_unset_lst(uint64_t base);

/* ---- Change bits ------------------------------------------------------- */

/* The owner of a change bit is done with it, having applied (or found) the
 * value `applied`: clears the bit with one atomic and-not, then reads the
 * pending value again and sets the bit again when set-config stored another
 * value meanwhile, whose bit went with the clearing. */
void ferry_change_bit_done(int32_t bit, const int32_t *pending, int32_t applied);

/* ---- Slot tables -------------------------------------------------------- */

/* FNV-1a 64 over the 20 digest bytes, low 32 bits. */
uint32_t hash_fn(const void *key);
/* Sets up slot table nsid (1..31) for read_batch_size slots: 0, or -1 with
 * the table left not set up when memory is short (map failure is CRITICAL);
 * -1 and nothing changed for a number out of range, a batch size below 1 or
 * a table already set up. */
int ferry_ns_bucket_setup(int nsid, const char *name, int read_batch_size);
/* Re-makes the arrays of set-up table nsid for n slots, keeping the slots in
 * use, and, when its map is empty, the map with the bucket count for n (the
 * old map stays when a new one cannot be made). 0 with capacity n; -1 when an
 * array cannot be resized: the table stays usable with the smaller of its old
 * capacity and n.
 * Digest-log reader only, between fetches. */
int ferry_ns_bucket_resize(int nsid, int n);
/* Frees a table's arrays and map and marks it not set up (tests, shutdown). */
void ferry_ns_bucket_free(int nsid);
/* True when nsid is 1..31 and its table is set up. */
bool ferry_ns_known(int32_t nsid);
