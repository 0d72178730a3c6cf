/*
 * ferry_fetch: the record-fetch workers and the per-record callback.
 *
 * Threads: workers take requests from g_batch_get_q and push one result each
 * on g_batch_get_response_q. The callback runs on the client's batch threads
 * or on a worker, several at once for one namespace.
 */
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "tamberlin/ferry_shared.h"
#include "tamberlin/ox_digest.h"
#include "tamberlin/tamberlin.h"

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
