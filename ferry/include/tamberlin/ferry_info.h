/*
 * ferry_info: the shipper's own info port, where an administrator asks
 * for statistics, configuration and state, and changes settings and log
 * levels at run time.
 *
 * Two halves:
 * - the transport (ferry_info_server.cpp, declared in its header beside
 *   it): a network thread that accepts connections and assembles each
 *   request (8-byte protocol header, then the body) with epoll, and one
 *   worker thread that answers complete requests from a queue in arrival
 *   order;
 * - the grammar and commands (ferry_info.cpp, declared here): three
 *   registries (names, commands, trees), the line grammar of a request body,
 *   the parameter lookup, and the handlers behind each item.
 *
 * Threads: registration runs on the start-up thread before the network
 * thread starts; the grammar and the handlers run on the worker thread only.
 */
#pragma once

#include <cstddef>
#include <cstdint>

#include "tamberlin/dynbuf.h"
#include "tamberlin/ferry_shared.h"

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

/* Registers every item of the port, in its order (ferry_info_init does;
 * a program that answers requests without the transport calls it once). */
void ferry_info_register_all(void);

/* ---- Handlers (ferry_info.cpp) -------------------------------------------- */

int ferry_get_build(char *name, char *params, ox_dyn_buf *db);
int ferry_get_dcs(char *name, char *params, ox_dyn_buf *db);
int ferry_get_stats(char *name, char *params, ox_dyn_buf *db);
int ferry_get_config(char *name, char *params, ox_dyn_buf *db);
int ferry_get_config_extended(char *name, char *params, ox_dyn_buf *db);
int ferry_set_config(char *name, char *params, ox_dyn_buf *db);
int ferry_log_set(char *name, char *params, ox_dyn_buf *db);
int ferry_get_tree_dc(char *name, char *subtree, ox_dyn_buf *db);
