/*
 * ferry_dlogreader: the digest-log reader (main thread).
 *
 * One digest's road from the digest log: the reader reads a batch, drops
 * what this node need not ship, ships deletes at once and puts the other
 * digests in the per-namespace slot tables; the record fetch reads each
 * namespace's slots from the local cluster (the reader itself, or the
 * record-fetch workers for a large namespace), and the per-record callback
 * hands every fetched record to ferry_queue_digest once per datacenter of its
 * namespace; the engine's receiver threads call the reply callbacks, which
 * put transient failures back on the digest-log queue.
 */
#pragma once

#include <cstddef>
#include <cstdint>

#include "ferry_fetch.h"
#include "tamberlin/ferry_shared.h"

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
