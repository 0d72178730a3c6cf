/*
 * ferry_road: the back half of the shipper's data path: the digest-log
 * reader, the record fetch, shipping with its reply callbacks, the cluster
 * connections and the process entry.
 *
 * One digest's road from the digest log: the reader (main thread) reads a
 * batch, drops what this node need not ship, ships deletes at once and puts
 * the other digests in the per-namespace slot tables; the record fetch reads
 * each namespace's slots from the local cluster (the reader itself, or the
 * record-fetch workers for a large namespace), and the per-record callback
 * hands every fetched record to ferry_queue_digest once per datacenter of its
 * namespace; the engine's receiver threads call the reply callbacks, which
 * put transient failures back on the digest-log queue.
 *
 * Threads: see each section. The client's handles are created once at
 * start-up and never destroyed.
 */
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "tamberlin/ferry_shared.h"
#include "tamberlin/ox_ll.h"
#include "tamberlin/ox_digest.h"
#include "tamberlin/tamberlin.h"

/* ---- Shipping (ferry_ship.cpp) --------------------------------------------
 * ferry_queue_digest runs on the batch threads, the fetch workers, the main
 * thread, window managers and failed-node threads at once; the callbacks on
 * the engine's receiver threads. Counters change by atomic addition, health
 * by compare-and-set. */

#define FERRY_MAX_MAX_TTL 315360000u /* 10 years, seconds */
/* A send that cannot even be built is tried this many times, then relogged. */
#define FERRY_SEND_BUILD_ATTEMPTS 3

typedef struct digestinfo_s {
	counters *cntr;
	ox_node masternode;
	ka::ox_digest digest;
	uint32_t generation;
	int32_t ns_id;
	bool is_delete;
	/* Counted as awaiting its reply there until it is dealt with: in the
	 * ring of the road that re-shipped it (NULL: the main reader's). */
	int16_t inflight_group;
	int16_t inflight_dc;
	ferry_inflight_ring *inflight_ring;
	/* The datacenter written to; its lst_main when the write went out from
	 * normal shipping to a datacenter that was up (FERRY_LST_NONE otherwise),
	 * and its count of outages then: a write that fails because the
	 * datacenter went down since lies in the window opened for the outage,
	 * so it is not relogged. */
	cluster_cfg *rcfg;
	uint64_t window_from;
	uint32_t outages;
} digestinfo;

/* Ships one record (or delete) to one datacenter: 1 when the datacenter is
 * down or went down during the call (nothing sent); 0 otherwise (sent, or
 * skipped as expired, or relogged). */
int ferry_queue_digest(cluster_cfg *rcfg, char *nsname, const ka::ox_digest *keyd, char *setname,
		uint32_t record_void_time, ka_bin *bin, int n_bins, int nsid, uint32_t gen, ox_node mnode,
		counters *cntr, bool gencheck, ox_node node_id, bool is_delete);
void ferry_sendsuccess_cb_fn(void *udata, int rv, uint64_t starttime);
void ferry_sendfail_cb_fn(void *udata, int rv, uint64_t starttime);
/* Puts a digest back on g_dlog_q as a new message of this node. */
void ferry_relog_digest(int nsid, uint32_t generation, ox_node masternode, const ka::ox_digest *keyd,
		counters *cntr, bool is_delete);
/* Ships the delete of one digest-log record to every datacenter of its
 * namespace; false when the delete was cancelled (the record exists again,
 * or the existence check could not tell and the digest was relogged). */
bool ship_delete(ferry_msg_digestinfo *xmdinfo);
/* The local existence check before a delete is shipped: 1 when the record is
 * gone locally (ship it), 0 when it exists again (cancel it; counted in
 * dlog_deletes_canceled), -1 when the check could not tell. Any thread. */
int ferry_delete_check_local(const char *ns_name, const ka::ox_digest *d);
/* The local check of a re-shipped delete (windows, failed-node runs): true
 * to ship it, the record being gone here; false when it exists again, or when
 * the check could not tell and the delete went back through the digest log,
 * where the reader checks again. who prefixes the log line. */
bool ferry_reship_delete_gone(const char *ns_name, const ferry_msg_digestinfo *x, const ka::ox_digest *d,
		counters *cntr, const char *who);

/* A set name read back with a record: the client's full size. */
#define FERRY_SET_NAME_BUF_SIZE 1024

/* A logged record fetched again from the local cluster for a re-ship. */
typedef struct ferry_refetch_s {
	ka_bin *bins;
	int n_bins;
	uint32_t generation; /* the local record's */
	uint32_t void_time;
	char setname[FERRY_SET_NAME_BUF_SIZE];
} ferry_refetch;
/* Fetches the record of x from asc: true when it is to be shipped (f holds
 * it until ferry_refetch_release). False when it is gone, or was written
 * again since it was logged (its later entry ships it), or when the read
 * failed otherwise: then the digest went back through the digest log, since
 * a passing read failure must not cost a datacenter the record. */
bool ferry_refetch_record(ka_cluster *asc, const ferry_msg_digestinfo *x, counters *cntr, const char *who,
		ferry_refetch *f);
void ferry_refetch_release(ferry_refetch *f);
/* Sends a fetched record (f), or the delete of x (f NULL), to one datacenter
 * as ferry_queue_digest does, through g_ferry_reship_send, on the thread of
 * the road whose ring is road: the write counts there, at x's digest time,
 * until its reply is dealt with, and a failure relogs it (no window holds a
 * write that a window or a failed-node run sent). */
int ferry_refetch_send(cluster_cfg *rcfg, const ferry_msg_digestinfo *x, ferry_refetch *f, counters *cntr,
		ox_node node_id, ferry_inflight_ring *road);
typedef int (*ferry_send_fn)(cluster_cfg *rcfg, char *nsname, const ka::ox_digest *keyd, char *setname,
		uint32_t record_void_time, ka_bin *bin, int n_bins, int nsid, uint32_t gen, ox_node mnode,
		counters *cntr, bool gencheck, ox_node node_id, bool is_delete);
/* Test hook only: the send of re-shipped records (ferry_queue_digest in the
 * product), so a test can order a datacenter's state against a send. */
extern ferry_send_fn g_ferry_reship_send;

/* Transaction ids: 64 random bits, 0 on failure. Any thread. */
uint64_t rand_64(void);
/* Window managers started since the process began, and those that have
 * ended (statistics and tests). */
extern std::atomic<uint64_t> g_window_managers_started;
extern std::atomic<uint64_t> g_window_managers_ended;
/* A datacenter's health, read and changed only through these: every change
 * is one compare-and-set from the state the caller saw; true when it was
 * made. */
int32_t ferry_health_get(cluster_cfg *rcfg);
bool ferry_health_cas(cluster_cfg *rcfg, int32_t from, int32_t to);
/* The caller has just moved the datacenter's health from CLUSTER_UP to
 * CLUSTER_DOWN (its change, so this runs once per outage): appends the open
 * window of what the datacenter refuses from now on, starting 5 minutes
 * before the smaller of lst_main and the batch floor as they are now, then
 * starts the window manager (ferry_windows.cpp). A manager that cannot be
 * started leaves the datacenter down with its windows for the housekeeper's
 * next try (ferry_windows_tend). True when the window was opened (false only
 * for a datacenter without a window list). */
bool ferry_start_window_manager(cluster_cfg *rcfg, counters *cntr, ox_node node_id);
/* The number of a datacenter's cluster_cfg in g_rcfg, -1 when it is none of
 * the configured ones. */
int ferry_dc_index(const cluster_cfg *rcfg);

/* ---- Datacenter windows (ferry_windows.cpp) ------------------------------- */

typedef struct windowshipper_td_s {
	cluster_cfg *rcfg;
	ox_node node_id;
} windowshipper_td;

/* One window of a datacenter's list (cluster_cfg.ship_times): the digest
 * times [cluster_start_marker, cluster_end_marker] of node_id's records still
 * to ship there; an end of 0 is open. node_id 0 is this node. */
typedef struct ship_times_elem_s {
	ox_ll_element ele; /* next, prev */
	uint64_t cluster_start_marker;
	uint64_t cluster_end_marker;
	ox_node node_id;
} ship_times_elem;
typedef ship_times_elem ship_time_element;

/* Thread of one datacenter that went down; owns arg (copied, then freed). */
void *ferry_window_manager(void *arg);
/* Appends a closed window [starttime, endtime + the margin] of node_id
 * (failed-node processing), and lowers the datacenter's window last-ship
 * time to starttime so that the reclaim keeps its records. A datacenter
 * whose manager has already ended (health CLUSTER_UP) is moved to
 * CLUSTER_DOWN and gets a new manager, so no window is left without one.
 * 0, or -1 (nothing appended) when the datacenter has no window list or
 * memory is short. Takes the list lock. Any thread. */
int add_window(cluster_cfg *rcfg, ox_node node_id, uint64_t starttime, uint64_t endtime);
/* Ships one window of one node to one datacenter: 0 done (or nothing to
 * ship), 1 a ship found the datacenter down; the digest time reached goes to
 * *current_window_ship_time. */
int ferry_do_windowship(cluster_cfg *rcfg, uint64_t starttime, uint64_t endtime,
		uint64_t *current_window_ship_time, ox_node node_id);
/* The window list's element destructor. */
void destroy_ship_list_elem(void *element);
/* Test hook only: window managers end at their next wait or read when it is
 * set (the product never sets it; test teardown does, then waits for
 * g_window_managers_ended to reach g_window_managers_started). */
extern std::atomic<bool> g_window_managers_quit;
/* Housekeeper, each tick: starts the window manager of every datacenter that
 * is down with windows and has none (its start failed, or its mover found
 * the last one leaving). */
void ferry_windows_tend(void);
typedef int (*ferry_thread_start_fn)(pthread_t *thread, const pthread_attr_t *attr, void *(*fn)(void *),
		void *arg);
/* Test hook only: how a window manager's thread is made (pthread_create in
 * the product), so a test can refuse it. */
extern ferry_thread_start_fn g_ferry_window_manager_spawn;

/* ---- Record fetch (ferry_fetch.cpp) ----------------------------------------
 * Workers take requests from g_batch_get_q and push one result each on
 * g_batch_get_response_q. The callback runs on the client's batch threads or
 * on a worker, several at once for one namespace. */

#define FERRY_GET_ALL_TIMEOUT 100 /* ms, one single read */

typedef struct callback_data_s {
	counters *cntr;
	int nsid;
	std::atomic<uint64_t> starttime; /* taken by the attempt's first record */
} callback_data;

typedef struct batch_get_req_s {
	struct ka_cluster_s *asc;
	ka::ox_digest *digest;
	int n_digest;
	char *ns_name; /* not used: the slot table names the namespace */
	callback_data *cbdata;
} batch_get_req;
static_assert(sizeof(batch_get_req) == 40, "fetch request is 40 bytes");

extern pthread_t g_batch_get_th[FERRY_MAX_BATCH_THREAD_CNT];
extern std::atomic<int> g_batch_thread_count;

/* Starts ferry_read_threads workers; the number started. */
int relay_record_get_threads_init(void);
/* Starts workers up to n: the count reached, or 0 when n is not above
 * ferry_read_threads. */
int relay_record_get_threads_reinit(int n);
void *relay_batch_get_th(void *arg);
/* Serves one fetch request on the calling thread in the current read mode:
 * the batch read's result, or 0 in single mode. The workers call it for each
 * request; the reader calls it itself when no worker is alive
 * (g_batch_thread_count 0), since a request pushed then would wait for ever. */
int ferry_fetch_part(const batch_get_req *req);
/* Reads the request's digests one at a time and hands each to dlogreader_cb,
 * or its failure to ferry_get_process_ret: every digest leaves the slot map.
 * Single mode, and the reader for what a batch read did not bring back. */
void ferry_fetch_singly(const batch_get_req *req);
/* True when a read of a logged record that failed with rv puts the digest
 * back through the digest log: every failure but "not found" (the record may
 * exist, and a passing failure must not cost a datacenter the record). The
 * rule of every path that reads a record to ship it. */
bool ferry_read_failure_relogs(int rv);
int dlogreader_cb(char *ns, ka::ox_digest *digest, char *set, uint32_t generation, uint32_t record_void_time,
		ka_bin *bins, int n_bins, bool is_last, void *udata);
int ferry_get_process_ret(int rv, ka::ox_digest *digest, uint32_t generation, callback_data *cbdata);

/* ---- Digest-log reader (ferry_dlogreader.cpp, main thread) ---------------- */

#define FERRY_BATCH_MAXWAIT 1000 /* ms */

/* What one batch did, added to the counters at its end. */
typedef struct ferry_dlogreader_batch_s {
	uint64_t unknown_ns;   /* records of namespaces without a slot table */
	uint64_t notmaster;    /* replica records skipped */
	uint64_t takenover;    /* replica records shipped on behalf of their master */
	uint64_t slots;        /* distinct digests fetched */
	uint64_t fetch_retry;  /* records fetched in attempts that failed */
	uint64_t short_retry;  /* records fetched in attempts that came back short */
} ferry_dlogreader_batch;

/* The reader's state (main thread only). The loop is split so that a test
 * can drive it on a thread of its own. */
typedef struct ferry_dlogreader_s {
	thread_data *td;
	char *buf;             /* alloc_recs records of FERRY_MSG_ONDISK_SIZE bytes */
	size_t alloc_recs;
	uint64_t total_read;   /* records read since the start */
	uint64_t last_read_ms; /* monotonic start of the last read */
	int parts;             /* P: ferry_read_threads at the start, for good */
	int workers_started;
	uint64_t floor_hint;   /* smallest digest time of the last batch */
	callback_data cbdata;
	ferry_dlogreader_batch batch;
} ferry_dlogreader;

/* The main loop: never returns. */
void dlogreader(thread_data *td);
void ferry_add_digest_in_slot(int nsid, ferry_msg_digestinfo *xmdinfo);
/* True when the reader ships this replica record on its master's behalf:
 * failover on, logged before this shipper booted, by a master that was not
 * a boot node. Any thread. */
bool ferry_dlogreader_takes_over(const ferry_msg_digestinfo *x);
/* The start: waits for the namespace and boot-node lists, makes the fetch
 * queues, starts the record-fetch workers and the read buffer (CRITICAL when
 * it cannot be had). */
void ferry_dlogreader_init(ferry_dlogreader *r, thread_data *td);
/* One pass without its leading sleep: nothing while shipping is disabled;
 * else batches while the read test holds, then the change bits. The records
 * read. */
uint64_t ferry_dlogreader_pass(ferry_dlogreader *r);
/* Filters, fills the slot tables with, fetches and counts the k records in
 * r->buf (k > 0). */
void ferry_dlogreader_process(ferry_dlogreader *r, int k);
/* Fetches the slots of namespace nsid: batch attempts until every digest came
 * back (its map is empty) or the retries are used up, each attempt after the
 * first asking only for the digests still in the map; then what is left is
 * read one at a time (ferry_fetch_singly), so every digest leaves the map. */
void ferry_dlogreader_fetch_ns(ferry_dlogreader *r, int nsid);
/* Part j of slots split into parts parts (parts > 0): its first slot and its
 * count; the last part takes the rest. */
void ferry_dlogreader_part(int slots, int parts, int j, int *first, int *count);
/* Applies the reader's change bits in their order. */
void ferry_dlogreader_apply_changes(ferry_dlogreader *r);
/* The digest time of the first record of the batch being read, fetched and
 * shipped now (its smallest; while the batch is being read, the last batch's),
 * or FERRY_LST_NONE between batches: the reclaim never gives up records from
 * it on. Any thread. */
uint64_t ferry_dlogreader_batch_floor(void);

/* ---- Cluster connections (ferry_clusters.cpp, main thread at start-up) ---- */

#define FERRY_REMOTE_ADD_TIMEOUT_MS 10000
#define FERRY_LOCAL_ADD_TIMEOUT_MS 1000
/* A cluster that has nodes but has not settled after this long is named in
 * one WARNING and start-up goes on. */
#define FERRY_CLUSTER_SETTLE_WARN_SECS 60

/* True once the local cluster and every datacenter's cluster exist (threads
 * that ship wait for it). */
extern std::atomic<bool> g_clusters_created;

void create_master(cluster_cfg *mcfg);
int create_cluster(char *cluster_name, cluster_cfg *cfg, ox_vector *node_v, int timeout, ox_vector *addrmap_v);
void create_remote(char *cluster_name, cluster_cfg *rcfg, ox_vector *node_v, ox_vector *addrmap_v);
/* Creates every cluster, waits for their nodes, decides each datacenter's
 * never-expires time to live and sets the tend periods. */
void ferry_clusters_start(thread_data *td);
/* Blocks until g_clusters_created (failed-node threads). */
void ferry_wait_clusters_created(void);
/* The time to live sent for a record that never expires to a remote server of
 * version ver (major, minor, patch): HIVED_INFINITE_TTL_VALUE from 2.7.5 on
 * within major version 2 and from 3.1.5 on after it, 0 for older servers. */
uint32_t ferry_infinite_ttl_for_version(const int ver[3]);

/* ---- Failed-node processing (ferry_failnode.cpp) -------------------------- */

/* Ships, on behalf of a failed local node, its logged changes from its
 * last-ship times to its failure time: starttimes and endtime are those of
 * slot slotnumber when the thread starts, and both are read live from the
 * slot, since a repeated report moves them. Releases the slot as its last
 * step (taking it back and running again when the end moved meanwhile). The
 * failed-node thread's body. */
void ferry_process_failednode(ox_node node, std::atomic<uint64_t> *starttimes, uint64_t endtime,
		thread_data *td, int slotnumber);

/* ---- Later stages, started by start-up (their own files) ------------------ */

int ferry_info_init(counters *cntr);         /* ferry_info_server.cpp */

/* ---- Signals and shutdown (ferry_signals.cpp) ------------------------------
 * The handlers only record a signal in a self-pipe (and park a thread that
 * cannot go on from its signal); the signal thread runs the two functions
 * below. */

#define FERRY_FLUSH_WAIT_SECS 5          /* the shutdown's wait for the writer */
#define FERRY_SHUTDOWN_WATCHDOG_SECS 60  /* then the watchdog aborts */
#define FERRY_CRASH_DIR "/var/crash/kard"

/* Ignores SIGPIPE, starts the signal thread and the watchdog, installs the
 * handlers of SIGINT, SIGTERM, SIGFPE, SIGSEGV, SIGABRT, SIGBUS and SIGHUP.
 * Once per process; start-up's thread, before the pipe reader starts. When
 * a thread cannot be made, the signals keep their default actions. */
void ferry_setup_sighandlers(void);
/* SIGHUP: starts the relay log file (g_faultsink) afresh in place; a file
 * moved away keeps its lines, a sink on standard error is left alone. */
void ferry_sig_hup_logroll(int signum);
/* The shutdown, once: persist and flush the digest log, the counters line,
 * close the named pipe, wait up to FERRY_FLUSH_WAIT_SECS for the writer, the
 * back trace of the thread that got the signal; then _exit(255) for SIGINT
 * and SIGTERM, or the core limit raised and abort() for the others. Returns
 * only for SIGPIPE (nothing done) or when a shutdown is already under way.
 * The signal thread. */
void ferry_sig_handler(int signum);

/* ---- Housekeeping (ferry_housekeeper.cpp) ----------------------------------
 * The housekeeper thread's state between ticks; only that thread (or a test
 * driving the step) touches it. */

#define FERRY_LASTSHIP_UPDINTERVAL_SECS 1
#define FERRY_THROUGHPUT_PRINT_INTERVAL 10
#define FERRY_QSTATS_PRINT_SECS 60
#define FERRY_DC_TIMELAG_PRINT_INTERVAL 60

typedef struct ferry_hk_state_s {
	counters *cntr;
	int32_t tick;             /* ticks passed while the local server was up */
	uint64_t prev_stat_ms;    /* monotonic ms of the previous statistics */
	uint64_t prev_ship_total; /* remote_ship_total then */
	uint64_t prev_retries;    /* the engine's retries then */
} ferry_hk_state;

/* A state whose first statistics measure from now_ms. */
void ferry_hk_init(ferry_hk_state *st, counters *cntr, uint64_t now_ms);
/* One tick, the second's sleep excluded, at monotonic time now_ms: nothing
 * (false) while the local server is down; else the last-ship step, every
 * 60th tick the queue lines and the reclaim, every 10th the time lags, the
 * throughput, the statistics lines and the last-ship times persisted, every
 * 60th with the time-lag lines (true). */
bool ferry_housekeeper_tick(ferry_hk_state *st, uint64_t now_ms);
/* Thread entry: arg is the counters; a tick every second; never returns. */
void *housekeeper(void *arg);

/* ---- Process entry (ferry_start.cpp; ferry_main.cpp is main) -------------- */

#define FERRY_DEFAULT_CONFIG_PATH "/etc/quillmere/quillmere.conf"

/* The whole process: returns only on an early end (its status). */
int ferry_main(int argc, char **argv);
int ferry_get_digestlog_flock(char *dlogpath);
