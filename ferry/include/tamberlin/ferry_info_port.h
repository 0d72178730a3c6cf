/*
 * ferry_info_port: the shipper's own info port, where an administrator asks
 * for statistics, configuration and state, and changes settings and log
 * levels at run time.
 *
 * Two halves:
 * - the transport (ferry_info_server.cpp): a network thread that accepts
 *   connections and assembles each request (8-byte protocol header, then the
 *   body) with epoll, and one worker thread that answers complete requests
 *   from a queue in arrival order;
 * - the grammar and commands (ferry_info.cpp): three registries (names,
 *   commands, trees), the line grammar of a request body, the parameter
 *   lookup, and the handlers behind each item.
 *
 * Threads: registration runs on the start-up thread before the network
 * thread starts; the grammar and the handlers run on the worker thread only.
 */
#pragma once

#include <cstddef>
#include <cstdint>

#include "tamberlin/dynbuf.h"
#include "tamberlin/ferry_shared.h"

/* ---- Transport (ferry_info_server.cpp) ------------------------------------ */

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

/* ferry_info_init (declared with the road) creates the queue, starts the
 * worker, registers every item and starts the network thread. */
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

/* ---- Grammar and registries (ferry_info.cpp) ------------------------------ */

/* The largest reply body the grammar builds: items past it are left out
 * (WARNING once per request). */
#define FERRY_INFO_REPLY_MAX (8 * 1024 * 1024)

typedef int (*ferry_info_get_value_fn)(char *name, char *params, ox_dyn_buf *db);
typedef int (*ferry_info_get_tree_fn)(char *name, char *subtree, ox_dyn_buf *db);

int ferry_info_set(const char *name, ferry_info_get_value_fn gv_fn);
int ferry_info_cmd_set(const char *name, ferry_info_get_value_fn gv_fn);
int ferry_info_set_tree(const char *name, ferry_info_get_tree_fn gv_fn);
/* Parses the body [buf, buf_lim) in place and appends the answers. 0. */
int ferry_info_some(char *buf, char *buf_lim, ox_dyn_buf *db);
/* Every name with its value: the answer to an empty body. 0. */
int ferry_info_all(ox_dyn_buf *db);
/* The value of key param in "k=v;k=v"; *value_len is the buffer's size on
 * entry and the value's length on success. 0, or -1 when absent. */
int ferry_info_parameter_get(char *param_str, const char *param, char *value, int *value_len);

/* ---- Handlers (ferry_info.cpp) -------------------------------------------- */

int ferry_get_build(char *name, char *params, ox_dyn_buf *db);
int ferry_get_dcs(char *name, char *params, ox_dyn_buf *db);
int ferry_get_stats(char *name, char *params, ox_dyn_buf *db);
int ferry_get_config(char *name, char *params, ox_dyn_buf *db);
int ferry_get_config_extended(char *name, char *params, ox_dyn_buf *db);
int ferry_set_config(char *name, char *params, ox_dyn_buf *db);
int ferry_log_set(char *name, char *params, ox_dyn_buf *db);
int ferry_get_tree_dc(char *name, char *subtree, ox_dyn_buf *db);
