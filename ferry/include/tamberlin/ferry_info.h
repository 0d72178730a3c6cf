/*
 * ferry_info: the shipper's side of the info protocol with its local server.
 *
 * Every request is one text line sent unchanged to 127.0.0.1 at the local
 * port (the addresses in g_sockaddr_in_v, tried in order) through the client
 * library's info call; every reply is freed by the sender after each attempt.
 * The pipe reader's open cycle lives here too, since opening the pipe is a
 * conversation: wait until the server answers, ask it to feed the pipe, then
 * open and lock the pipe it writes.
 *
 * Threads: ferry_send_infomsg has no state and may be called from any thread
 * (start-up, pipe reader, pipe-feed request thread, housekeeper), each with
 * its own reply. g_prevlastshiptime and lst_localmin are written only by the
 * housekeeper's last-ship step.
 */
#pragma once

#include <cstdint>

#include "tamberlin/ferry_shared.h"

#define FERRY_INFO_BUILD_REQUEST "build\n"
#define FERRY_INFO_FEED_REQUEST "set-config:context=relay;enable-relay=true;freshstart=1\n"
#define FERRY_INFO_LASTSHIP_PREFIX "set-config:context=relay;lastshiptime="
#define FERRY_INFO_MIN_LASTSHIP_REQUEST "relay-min-lastshipinfo:\n"
#define FERRY_SERVER_WAIT_SECS 60
#define FERRY_FEED_ATTEMPTS 3
#define FERRY_LASTSHIP_ATTEMPTS 3
#define FERRY_DIGESTLOG_RECLAIM_SECS 60
/* The answer to the minimum request is one short line; anything longer is
 * refused by the info call. */
#define FERRY_MIN_LASTSHIP_REPLY_MAX 256
/* The time seek's stride in records: the default, and the estimate below
 * which the default is used instead. */
#define FERRY_DEFAULT_SEARCH_STRIDE 100000
#define FERRY_MIN_SEARCH_STRIDE (FERRY_DEFAULT_SEARCH_STRIDE / 10)
/* Reads of one position while narrowing before an approximate answer. */
#define FERRY_SEEK_READ_TRIES 4
/* Seeks of one reclaim step, a second apart, while the log cannot be read. */
#define FERRY_RECLAIM_SEEK_TRIES 2

/* One request to the local server: 0 with the reply in *values (the caller
 * frees it with free(); NULL for an empty reply), or -1. */
int ferry_send_infomsg(char *infomsg, char **values, int timeout_ms);
/* Blocks until the local server answers "build" (g_server_up true then);
 * timeout in seconds, -1 for no limit; 0, or -1 when the limit passed. */
int ferry_wait_for_server(int timeout);
/* Thread entry of one pipe-feed request (up to three attempts); a request
 * that never gets through while the pipe stays closed ends the process. */
void *ferry_invoke_serverferry(void *udata);
/* One last-ship step (housekeeper, every tick): the 32 local minima are sent
 * when one moved up by 3 seconds or more, or back. The previous values are
 * replaced only by a report that got through. */
void ferry_send_lastshipinfo(void);
/* The time up to which the digest log may be reclaimed: asks the local server
 * for the cluster-wide minimum last-ship time and takes it only when the
 * reply is short and its value a whole positive decimal number; the smaller
 * of it and this node's own smallest lst_localmin, less FERRY_TIME_ADJUST
 * (saturated), and never past ferry_dlogreader_batch_floor(); 0 when there is
 * nothing to reclaim. The reply is freed on every path. Housekeeper thread. */
uint64_t ferry_digestlog_reclaim_time(void);
/* One reclaim step (housekeeper, every 60th tick): the digest log's start
 * moves up to the record at ferry_digestlog_reclaim_time, or at
 * ferry_failednode_reclaim_bound when that is earlier as the start moves
 * (never past the main reader); the records given up, also added to
 * dlog_pkts_reclaimed. */
uint64_t ferry_digestlog_reclaim(void);

/* A new reader context of g_rbuf_des whose next read returns the first
 * record whose digesttime is not below seektime (wall-clock ms): a record at
 * or after seektime whose predecessor is older, or the oldest record kept
 * (in queue order, which the times follow closely but not strictly); when
 * segments keep failing to read, or the writer keeps overwriting the records
 * under the search, an earlier place (never a later one). NULL when the
 * newest record is older or the log cannot be read, and *reason (when
 * given) says which on every path. The caller owns the context and
 * closes it with ox_rbuffer_closectx; xmsg_single receives each record read
 * on the way, and is cleared (digest time 0) when the place returned is an
 * earlier one, whose record is not known. Any thread: the context is its
 * own. */
/* Why a seek gave no context (its reason argument); callers drop their work
 * only on NOTHING_NEWER and try again later otherwise. */
typedef enum {
	FERRY_SEEK_FOUND = 0,         /* a context is returned */
	FERRY_SEEK_NOTHING_NEWER = 1, /* the log is empty or its newest record is older */
	FERRY_SEEK_NO_CONTEXT = 2,    /* no reader context could be made */
	FERRY_SEEK_READ_FAILED = 3    /* the log could not be read */
} ferry_seek_result;
struct ox_rbuffer_ctx *ferry_digestlog_seektime(uint64_t seektime, ferry_msg_ondisk *xmsg_single,
		int *reason = nullptr);

/* Reads of RBUFFER_SEG_BAD_MAGIC in a row after which a reader moves on one
 * segment. */
#define FERRY_READ_BAD_MAGIC_TRIES 4
/* The next record of g_rbuf_des through ctx, for the readers that take one
 * record at a time (window and failed-node shipping). A bad magic is the
 * writer's segment not readable yet: the step sleeps a second before the
 * caller reads again, and after FERRY_READ_BAD_MAGIC_TRIES of them in a row
 * warns (naming who) and moves ctx on with ferry_read_skip_segment.
 * *bad_magic counts them (0 at the reader's start; a record resets it). The
 * read's result. The context's owning thread. */
int ferry_read_next_record(struct ox_rbuffer_ctx *ctx, ferry_msg_ondisk *rec, int *bad_magic, const char *who);
/* Moves ctx to the end of its segment, so that its next read starts the next
 * segment at its first record: what follows the unreadable segment is never
 * passed over. False when the move was impossible (ctx stays). */
bool ferry_read_skip_segment(struct ox_rbuffer_ctx *ctx);

/* Wait for the server, start a feed request, give the server its head
 * start, open and lock the pipe (pipe reader thread). */
void ferry_namedpipe_open_cycle(void);
/* Thread entry of the pipe reader; arg is the main thread's thread_data.
 * Never returns. */
void *read_namedpipe(void *arg);
