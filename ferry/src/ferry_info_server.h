/*
 * ferry_info_server: the info port's transport (threads, transactions), its bounds, its gauges, and
 * the one way tests choose where it listens.
 *
 * Whatever clients send, the transport holds at most FERRY_INFO_CONN_MAX
 * connections (fewer when the descriptor limit is low), at most
 * FERRY_INFO_PENDING_MAX bytes of requests read or queued, at most
 * FERRY_INFO_QUEUE_MAX queued requests (FERRY_INFO_CONN_QUEUE_MAX of one
 * connection), and gives a client at most FERRY_INFO_SEND_LIMIT_MS to take
 * one reply. A reply the socket cannot take at once waits (at most
 * FERRY_INFO_WAITING_MAX bytes of such replies in all) while the worker
 * serves the others.
 * A connection whose first request, or a later request once begun, is still
 * incomplete after FERRY_INFO_INCOMPLETE_MS is closed.
 */
#pragma once

#include <cstddef>
#include <cstdint>

#include "tamberlin/dynbuf.h"
#include "tamberlin/ferry_info.h"
#include "tamberlin/ferry_shared.h"

#define PROTO_SIZE_MAX 134217728 /* largest request body accepted */
#define EPOLL_SZ 1024
#define FERRY_MAX_INFO_THREADS 1
#define PROTO_TYPE_MAX 4 /* types 0 to 3 are answered */

/* One accepted connection; a reference-counted block (ox_rc_alloc): one
 * reference for the connection while it is registered with epoll, one per
 * queued or running transaction. */
typedef struct ferry_file_handle_s {
	int fd;                /* -1 once closed */
	uint8_t *proto;        /* the request being read (header, then body), or NULL */
	uint64_t proto_unread; /* body bytes of proto still to read */
} ferry_file_handle;

/* An element of the transaction queue, copied by value. */
typedef struct ferry_transaction_s {
	ferry_file_handle *proto_fd_h; /* with one reference taken for this transaction */
	uint8_t *msgp;                 /* header (size in host order) and body; owned */
	int result_code;
} ferry_transaction;

/* The counters record the statistics read; set by ferry_info_init. */
extern counters *g_cntr;

void *ferry_demarshal_th(void *q);
void *ferry_info_th(void *q);
/* Answers one request and disposes of the transaction. 0. */
int ferry_info_worker(ferry_transaction *tr);
/* The fixed 1024-byte database-message reply with result_code; releases one
 * reference of fd_h. 0, or -1 when it cannot be allocated. */
int ferry_msg_send_error(ferry_file_handle *fd_h, int result_code);
uint8_t *ferry_make_msg(size_t msg_sz, int result_code);
void ferry_ox_free(void *ptr);
/* Drops one reference; the last one closes the socket and frees the block. */
void ferry_release_file_handle(ferry_file_handle *h);

#define FERRY_INFO_CONN_MAX 1024
#define FERRY_INFO_PENDING_MAX ((uint64_t)PROTO_SIZE_MAX + 8 + (1u << 20))
#define FERRY_INFO_QUEUE_MAX 1024
#define FERRY_INFO_CONN_QUEUE_MAX 16
#define FERRY_INFO_INCOMPLETE_MS 30000  /* through ferry_scaled_ms */
#define FERRY_INFO_SEND_LIMIT_MS 5000   /* through ferry_scaled_ms */
#define FERRY_INFO_ACCEPT_BACKOFF_MS 100 /* listener paused on EMFILE/ENFILE */
#define FERRY_INFO_WAITING_MAX (64u << 20)

/* Counts since start (monotonic) and present levels, read from any thread. */
typedef struct ferry_info_server_stats_s {
	uint64_t conns;            /* connections open now */
	uint64_t accepted;         /* connections accepted */
	uint64_t refused_cap;      /* accepted and closed at the cap */
	uint64_t closed_for_new;   /* idle ones closed at the cap to let a new one in */
	uint64_t accept_backoffs;  /* EMFILE/ENFILE pauses */
	uint64_t closed_incomplete; /* closed with a request incomplete too long */
	uint64_t closed_oversize;  /* closed for a size or the pending-bytes cap */
	uint64_t closed_queue_full; /* closed on the "queue full" path */
	uint64_t pending_bytes;    /* request bytes held now, read and queued */
	uint64_t pending_peak;     /* the most ever held at once */
	uint64_t rx_bytes;         /* bytes received */
	uint64_t requests;         /* requests queued */
	uint64_t replies;          /* replies sent whole */
	uint64_t replies_given_up; /* replies abandoned (time limit, error) */
	uint64_t replies_waiting;  /* replies waiting now for their client to read */
	uint64_t replies_waited;   /* replies that had to wait for their client */
} ferry_info_server_stats;

void ferry_info_server_stats_get(ferry_info_server_stats *st);

/* Tests only, before ferry_info_init: listen on addr (dotted IPv4) and port
 * (0: any free port) instead of "0.0.0.0" and the configured info port. */
void ferry_info_listen_at(const char *addr, int port);
/* The port being served; 0 until the listening socket is ready. */
int ferry_info_bound_port(void);
/* Tests only: lowers (or restores, 0) the connection cap at run time. */
void ferry_info_set_conn_max(uint32_t n);
/* Tests only: lowers (or restores, 0) the request-bytes budget at run time. */
void ferry_info_set_pending_max(uint64_t n);


/* The request path without sockets, as the worker runs it (worker thread, or
 * a single-threaded caller such as the fuzz target). */
/* Converts the 8 wire bytes of a request header into the header a complete
 * request carries (size in host order) at out; the body size, or -1 when it
 * is above PROTO_SIZE_MAX. */
int64_t ferry_info_header_convert(const uint8_t *wire, uint8_t *out);
#define FERRY_INFO_REQ_DROP -1 /* wrong version or type: dropped */
#define FERRY_INFO_REQ_FIXED 0 /* types 0, 2, 3: the fixed 1024-byte reply */
#define FERRY_INFO_REQ_INFO 1  /* an info request: the grammar answers */
int ferry_info_request_kind(const uint8_t *msgp);
/* Appends the whole reply to the info request at msgp (header, then the
 * body, which is parsed in place) to db: the reply's header with the body's
 * length in all 48 bits of its size field, then the answers. 0, or -1. */
int ferry_info_reply(uint8_t *msgp, ox_dyn_buf *db);

/* Creates the queue, starts the worker, registers every item and starts the
 * network thread (start-up). */
int ferry_info_init(counters *cntr);
