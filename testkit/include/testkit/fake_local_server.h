/*
 * fake_local_server: the local database server as the shipper sees it, used
 * in-process by tests and as the standalone program `fake_local_server`.
 *
 * The shipper reaches its local server on one port, 127.0.0.1 and the local
 * server's port, for its info requests and for the local cluster's database
 * messages alike. So the stand-in is one hosted fake_node (port 0 unless
 * asked): its item table answers "build", and its info handler computes the
 * shipper's items: the pipe-feed request, the last-ship report (recording
 * its 32 values and when they came) and the cluster-wide minimum last-ship
 * time. Its store, items and database faults serve as the local cluster's
 * node through fls_node.
 *
 * The hosted node is also the whole local cluster: it answers the tend's
 * items as one node (FLS_NODE_NAME, no services) that masters every one of
 * FLS_PARTITIONS partitions of each namespace of fls_set_namespaces, and it
 * serves single reads, existence checks and batch reads from its store,
 * which a test fills with fls_put_record or fls_preload.
 *
 * Beside it, the writer end of the named pipe: after each feed request it
 * opens the pipe (again when it was open, since a feed request comes with
 * each opening by the shipper) and plays what the test has scripted: whole
 * messages, raw bytes (short, split, malformed), pauses, waits until the
 * reader has read what was written, a close of the pipe, or a flood of
 * digest messages.
 *
 * Info faults per request (matched by the request's first characters) are
 * the hosted node's faults, armed for the one request being served: silence,
 * a late answer, closing the connection; an empty or garbage answer is a
 * body of its own. Tests that inject info faults drive the link from one
 * thread, since a fault armed for one request could be taken by a request
 * arriving at the same moment on another connection.
 *
 * Threads: every call may be made from any thread; fls_stop ends the node's
 * threads and the pipe thread, and must not race with other calls.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tamberlin/ferry_shared.h"
#include "testkit/fake_node.h"

typedef struct fake_local_server_s fake_local_server;

typedef enum {
	FLS_ANSWER = 0,  /* answer normally */
	FLS_SILENT = 1,  /* read the request and never answer */
	FLS_EMPTY = 2,   /* answer with size 0 */
	FLS_GARBAGE = 3, /* answer with text that has no tab and no newline */
	FLS_CLOSE = 4    /* close the connection without answering */
} fls_reply_mode;

#define FLS_BUILD "9.9.9-fake"
#define FLS_FEED_REQUEST "set-config:context=relay;enable-relay=true;freshstart=1\n"
#define FLS_LASTSHIP_PREFIX "set-config:context=relay;lastshiptime="
#define FLS_MIN_LASTSHIP_REQUEST "relay-min-lastshipinfo:\n"
#define FLS_NODE_NAME "BB9F15000000001"
#define FLS_PARTITIONS 4096u
#define FLS_SAMPLE_SET "sample"
#define FLS_SAMPLE_BIN "value"

/* Starts the hosted node on 127.0.0.1:port (0 = any) and the pipe writer for
 * pipe_path, which is made a FIFO when it does not exist. NULL on failure.
 * The caller owns the result and ends it with fls_stop. */
fake_local_server *fls_start(const char *pipe_path, int port);
void fls_stop(fake_local_server *s);
int fls_port(fake_local_server *s);
/* The hosted node of the local cluster (owned by s): records, items, faults
 * of database messages, request records. */
fake_node *fls_node(fake_local_server *s);

/* Info requests beginning with prefix ("" = every request) get this mode; an
 * answer (normal, empty or garbage) is sent only after delay_ms. The latest
 * matching rule wins. */
void fls_set_reply(fake_local_server *s, const char *prefix, fls_reply_mode mode, int delay_ms);
/* The value answered for the minimum last-ship time: set by the test as text
 * (any bytes), or, when NULL, the smallest non-zero value of the last report
 * (0 stands for a datacenter not configured), -1 before any. */
void fls_set_min_lastship_text(fake_local_server *s, const char *value);

/* Info requests received so far whose text begins with prefix. Each request
 * is counted before the stand-in acts on it (answers, feeds the pipe). */
int fls_requests(fake_local_server *s, const char *prefix);
/* The last report's 32 values and the monotonic ms it came at; the number of
 * well-formed reports received (exactly 32 unsigned decimals joined by
 * commas; any other report is answered "error" and only counted by
 * fls_bad_lastship_reports). */
int fls_lastship_reports(fake_local_server *s, uint64_t values[DC_MAX_NUM], uint64_t *when_ms);
int fls_bad_lastship_reports(fake_local_server *s);

/* The local cluster's namespaces (default {"test"}): its replica lists name
 * each; a change moves the partition generation, so a tend fetches them. */
void fls_set_namespaces(fake_local_server *s, const std::vector<std::string> &names);
/* The store of the local cluster, keyed as the pipe's digests are: record seq
 * is stored under fls_digest_of(seq). */
void fls_put_record(fake_local_server *s, const char *ns, uint64_t seq, const fake_record &r);
/* The sample record of seq: set FLS_SAMPLE_SET, generation 1, never expires,
 * one string bin FLS_SAMPLE_BIN of exactly `bytes` bytes ("record <seq>:"
 * and then letters that depend on seq, cut to the size). */
fake_record fls_sample_record(uint64_t seq, size_t bytes);
/* Stores the sample records of first .. first + count - 1. */
void fls_preload(fake_local_server *s, const char *ns, uint64_t first, uint64_t count, size_t bytes);

/* The pipe script, played in order while the pipe is open. */
void fls_pipe_msg(fake_local_server *s, const ferry_msg *m);
/* The bytes as they are, in one write when they fit PIPE_BUF. A piece
 * followed by fls_pipe_wait_read reaches a read of its own. */
void fls_pipe_bytes(fake_local_server *s, const void *bytes, size_t len);
void fls_pipe_pause_ms(fake_local_server *s, int ms);
/* Waits until the reader has taken every byte written so far (or the stop):
 * what is written next reaches a read of its own. */
void fls_pipe_wait_read(fake_local_server *s);
void fls_pipe_close(fake_local_server *s); /* the next feed request reopens */
/* count digest messages of namespace nsid, digests numbered from first,
 * written as fast as the pipe takes them, in writes of as many whole messages
 * as fit PIPE_BUF (each reaches the reader whole). */
void fls_pipe_flood(fake_local_server *s, int32_t nsid, uint64_t first, uint64_t count);
/* The same at per_sec messages a second on average (0: as fast as the pipe
 * takes them); generation 1, this node the master. */
void fls_pipe_feed(fake_local_server *s, int32_t nsid, uint64_t first, uint64_t count, uint64_t per_sec);
/* count delete messages (generation 2), digests numbered from first: each
 * record is taken out of the store of namespace ns just before its message
 * is written, so an existence check after the message finds it gone. */
void fls_pipe_deletes(fake_local_server *s, const char *ns, int32_t nsid, uint64_t first, uint64_t count);
/* Digest messages that floods, feeds and deletes have written so far. */
uint64_t fls_pipe_fed(fake_local_server *s);
/* Opens the pipe and plays the script as if a feed request had come (for
 * programs that drive the pipe without the info protocol). */
void fls_start_feed(fake_local_server *s);
/* True when every scripted item has been played. */
bool fls_pipe_idle(fake_local_server *s);

/* Message builders. */
void fls_make_ns(ferry_msg *m, int32_t id, const char *name);
/* A digest message for the digest of sequence number seq (fls_digest_of). */
void fls_make_digest(ferry_msg *m, int32_t nsid, uint32_t generation, uint64_t seq, ox_node master,
		uint32_t delete_flag);
void fls_make_boot(ferry_msg *m, ox_node node);
void fls_make_failed(ferry_msg *m, ox_node node, const uint64_t lastship[DC_MAX_NUM]);
/* The digest that fls_make_digest gives sequence number seq. */
void fls_digest_of(uint64_t seq, uint8_t digest[20]);
