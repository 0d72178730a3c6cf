/*
 * ferry_local: the shipper's side of the info protocol with its local server.
 *
 * Every request is one text line sent unchanged to 127.0.0.1 at the local
 * port (the addresses in g_sockaddr_in_v, tried in order) through the client
 * library's info call; every reply is freed by the sender after each attempt.
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
