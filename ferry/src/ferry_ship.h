/*
 * ferry_ship: shipping one record (or delete) to one datacenter, the reply
 * callbacks, the relog, and the re-fetch that windows and failed-node runs
 * ship through.
 *
 * Threads: ferry_queue_digest runs on the batch threads, the fetch workers,
 * the main thread, window managers and failed-node threads at once; the
 * callbacks on the engine's receiver threads. Counters change by atomic
 * addition, health by compare-and-set.
 */
#pragma once

#include <cstdint>

#include "tamberlin/ferry_shared.h"
#include "tamberlin/ox_digest.h"
#include "tamberlin/tamberlin.h"

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
/* A datacenter's health, read and changed only through these: every change
 * is one compare-and-set from the state the caller saw; true when it was
 * made. */
int32_t ferry_health_get(cluster_cfg *rcfg);
bool ferry_health_cas(cluster_cfg *rcfg, int32_t from, int32_t to);
