/*
 * ferry: the front half of the shipper's data path, the named-pipe intake and
 * the digest-log writer.
 *
 * The pipe reader takes each read of the pipe as one message (a short read
 * is a short message, never completed by the next read), stamps digests
 * with their time of receipt and queues them on g_dlog_q (at most
 * FERRY_DLOG_Q_MAXSIZE; beyond that new digests are dropped and counted);
 * namespace, boot-node and failed-node messages fill the shared tables. The
 * writer moves queued messages into the digest log in batches of the write
 * batch size, and writes a short batch at the latest one second after its
 * oldest record arrived. Its ring-buffer writes are retried every second for
 * as long as they fail, so nothing that reached the writer is lost.
 *
 * Threads: the read loop and the dispatch run on the pipe reader thread only
 * (they own the drop count and the failed-node and boot-node tables'
 * writes); the writer step runs on the writer thread only. Both touch the
 * counters by atomic addition.
 */
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "tamberlin/ferry_shared.h"

#define FERRY_DLOG_Q_MAXSIZE 1000000
#define FERRY_DLOG_Q_TIMEOUT 1000          /* ms; also the longest a record waits in a batch */
#define FERRY_NAMEDPIPE_NODATA_MAXCNT 10
#define FERRY_NAMEDPIPEOPEN_DELAY_SECS 2
#define FERRY_DLOG_DROP_WARN_EVERY 3000
#define FERRY_DLOG_WRITE_WARN_EVERY 20

/* ---- Pipe intake (pipe reader thread) ------------------------------------ */

/* Thread start of the pipe reader: makes g_dlog_q (CRITICAL on failure),
 * starts the writer thread and marks the 32 slot tables not set up. */
void ferry_intake_start(void);
/* Opens the configured pipe read-only and locks it: the descriptor goes to
 * g_xcfg.ferry_digestpipe_fd and g_isnamedpipe_open becomes true. An open
 * interrupted by a signal is made again; any other open failure is CRITICAL;
 * a lock held elsewhere ends the process with status 1. */
void ferry_namedpipe_open(void);
/* One read of up to FERRY_MSG_SIZE bytes is one message: the bytes read
 * (1 to FERRY_MSG_SIZE; behind a short read the rest of msg is zero), 0 when
 * the pipe brought nothing (end of file), -1 on a read error (errno set). A
 * read interrupted by a signal before any byte came is made again. */
ssize_t ferry_namedpipe_readmsg(int fd, ferry_msg *msg);
/* Waits for the server, starts a feed request, gives the server its head
 * start, then opens and locks the pipe. Opening the pipe is a conversation:
 * the server must answer and be asked to feed the pipe before it writes. */
void ferry_namedpipe_open_cycle(void);
/* Thread entry of the pipe reader; arg is the main thread's thread_data.
 * Never returns. */
void *read_namedpipe(void *arg);
/* Raises the stamp clock to the newest record of the digest log, so that
 * what this run stamps never lies before what an earlier run logged, though
 * the wall clock went back between them. Start-up, once the log is open. */
void ferry_stamp_clock_seed_from_log(struct ox_rbuffer *rb);
/* Acts on one message by its type. The message may be changed (its digest
 * time). td is passed on to failed-node threads. */
void ferry_namedpipe_dispatch(ferry_msg *msg, thread_data *td);
/* Acts on one read of len bytes (1 to FERRY_MSG_SIZE): a short read is warned
 * about, and one that does not hold its type's whole body is a corrupt
 * message (the unknown-type WARNING, nothing else done); any other goes to
 * ferry_namedpipe_dispatch. */
void ferry_namedpipe_dispatch_read(ferry_msg *msg, size_t len, thread_data *td);
/* Reads and dispatches until FERRY_NAMEDPIPE_NODATA_MAXCNT reads in a row
 * brought nothing on an open pipe: then closes it, sets the descriptor to -1
 * and returns, for the caller to run the open cycle again. */
void ferry_namedpipe_read_loop(thread_data *td);
/* The shutdown's close of the pipe: the descriptor is taken at once and
 * closed by the pipe reader itself, which may be inside a read of it, once it
 * has read it empty and queued what it held (for at most
 * FERRY_NAMEDPIPE_DRAIN_MS, through ferry_scaled_ms, while the server keeps
 * writing); no pipe is opened for reading after it. Signal thread. */
void ferry_namedpipe_shutdown_close(void);
#define FERRY_NAMEDPIPE_DRAIN_MS 2000
/* Waits up to limit_ms for the pipe reader to close what the shutdown took,
 * which it does before its next read, so every message it read is counted by
 * then; true when it did (or nothing was handed over). Signal thread. */
bool ferry_namedpipe_wait_taken(int limit_ms);
/* Messages dropped since the thread started (the pipe reader's own count,
 * which paces the queue-space warning). */
uint64_t ferry_intake_drop_count(void);
/* Pipe opens and reads that a signal interrupted before they did anything,
 * and that were made again, since the process started (any thread may read
 * it). */
uint64_t ferry_intake_interrupted_calls(void);
/* The read loop's current count of reads in a row that brought nothing (any
 * thread may read it; 0 when a loop starts). */
int ferry_intake_nodata_count(void);

/* Thread of one failed local node: owns arg (a failover_info). The shipping
 * of the node's changes comes with failed-node processing; until then the
 * thread releases its argument and ends, and its slot stays taken. */
void *ferry_handle_failover(void *arg);

/* ---- Digest-log writer (writer thread) ----------------------------------- */

typedef struct ferry_dlogwriter_s {
	char *batch;            /* alloc_recs records of FERRY_MSG_ONDISK_SIZE bytes */
	size_t alloc_recs;
	int cap;                /* records at which the current batch is full */
	uint64_t count;         /* records in the current batch */
	uint64_t oldest_us;     /* monotonic arrival of the batch's first record */
	uint64_t last_digesttime;
	std::atomic<int> retries; /* consecutive refused writes; other threads may read it */
	std::atomic<uint64_t> write_calls; /* ring-buffer write calls made, for statistics */
} ferry_dlogwriter;

/* Thread start: cap, queue check, first last-ship times, batch buffer
 * (CRITICAL when either is missing). */
void ferry_dlogwriter_init(ferry_dlogwriter *w);
/* One filling of the batch and, when it is full or due, its flush with
 * counters, last write time and a pending change of the write batch size.
 * An empty batch waits on the queue for its first messages (at most the
 * one-second queue timeout); a started one sleeps until its room should be
 * queued or it is due, then takes what is queued. Messages leave the queue
 * in bulk, many per lock. */
void ferry_dlogwriter_step(ferry_dlogwriter *w);
/* Thread entry: init, then steps for ever. Started by the pipe reader. */
void *dlogwriter(void *arg);

/* What ferry_dlog_q_push did with a message. */
#define FERRY_DLOG_Q_QUEUED 0  /* on the queue, counted unlogged */
#define FERRY_DLOG_Q_FULL 1    /* the queue is at its limit: counted dropped */
#define FERRY_DLOG_Q_FAILED -1 /* the push itself failed (or there is no queue): warned of */
/* Puts a copy of msg on g_dlog_q for the writer, counted in proc's unlogged
 * packets before the push, so that a shutdown never sees it queued and not
 * counted. The size test and the push are one lock. Any thread. */
int ferry_dlog_q_push(const ferry_msg *msg, counters *proc);
