/*
 * ferry_seek: placing a reader of the digest log at a digest time, and the
 * one-record step of the readers that take one record at a time.
 */
#pragma once

#include <cstdint>

#include "tamberlin/ferry_shared.h"

/* The time seek's stride in records: the default, and the estimate below
 * which the default is used instead. */
#define FERRY_DEFAULT_SEARCH_STRIDE 100000
#define FERRY_MIN_SEARCH_STRIDE (FERRY_DEFAULT_SEARCH_STRIDE / 10)
/* Reads of one position while narrowing before an approximate answer. */
#define FERRY_SEEK_READ_TRIES 4

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
