/*
 * The local-server link: info requests to the local server (the wait for it,
 * the pipe-feed request, the last-ship report) and the digest-log reclaim
 * below the cluster-wide minimum it answers. Called from the pipe reader, its
 * pipe-feed thread, start-up and the housekeeper.
 *
 * The server's answers are trusted only as far as they are checked: the
 * minimum last-ship time must be a whole positive decimal number in a short
 * reply, and even then the digest log is never given up beyond this node's
 * own smallest last-ship time, nor within 5 minutes of either (writes handed
 * to the engine may still fail), nor from the first record of the batch the
 * reader is fetching. The last values reported are kept until a
 * report gets through, so a minimum that moved back is reported again rather
 * than forgotten.
 */
#include "ferry_dlogreader.h"
#include "ferry_local.h"
#include "ferry_seek.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ferry.h"
#include "tamberlin/ka_info.h"
#include "tamberlin/rbuffer.h"

/* Sends to each local address in turn; max_reply 0 means the client's own
 * limit. */
static int
ferry_send_infomsg_limit(char *infomsg, char **values, int timeout_ms, uint64_t max_reply)
{
	*values = nullptr;
	uint32_t n = g_sockaddr_in_v ? ox_vector_size(g_sockaddr_in_v) : 0;
	if (n == 0) {
		ox_warning(QM_FERRY, "No localhost information to send the info messages");
		return -1;
	}
	for (uint32_t i = 0; i < n; i++) {
		auto *sa = (struct sockaddr_in *)ox_vector_getp(g_sockaddr_in_v, i);
		if (tamberlin_info_host_limit(sa, infomsg, values, timeout_ms, true, max_reply) == 0) {
			ox_detail(QM_FERRY, "Info command return value is :%s", *values ? *values : "");
			return 0;
		}
		char addr[INET_ADDRSTRLEN] = "";
		inet_ntop(AF_INET, &sa->sin_addr, addr, sizeof(addr));
		ox_info(QM_FERRY, "Could not get host-information from host %s: port %d ", addr, ntohs(sa->sin_port));
	}
	return -1;
}

int
ferry_send_infomsg(char *infomsg, char **values, int timeout_ms)
{
	return ferry_send_infomsg_limit(infomsg, values, timeout_ms, 0);
}

int
ferry_wait_for_server(int timeout)
{
	g_server_up.store(false);
	char req[] = FERRY_INFO_BUILD_REQUEST;
	char *reply = nullptr;
	int slept = 0;
	while (ferry_send_infomsg(req, &reply, 1000) != 0) {
		ox_info(QM_FERRY, "Trying to connect to local host. Sleeping %d secs.", FERRY_SERVER_WAIT_SECS);
		ferry_sleep_ms(FERRY_SERVER_WAIT_SECS * 1000);
		if (timeout >= 0) {
			slept += FERRY_SERVER_WAIT_SECS;
			if (slept >= timeout) {
				free(reply);
				return -1;
			}
		}
	}
	free(reply);
	g_server_up.store(true);
	return 0;
}

void *
ferry_invoke_serverferry(void *udata)
{
	(void)udata;
	for (int attempt = 0; attempt < FERRY_FEED_ATTEMPTS; attempt++) {
		ox_debug(QM_FERRY, "Trying to invoke FERRY on server side...");
		char req[] = FERRY_INFO_FEED_REQUEST;
		char *reply = nullptr;
		int rv = ferry_send_infomsg(req, &reply, 4000);
		free(reply);
		if (rv == 0) {
			return nullptr;
		}
		if (g_isnamedpipe_open.load()) {
			ox_info(QM_FERRY, "The pipe is opened but the return value is non zero. Weird. Can continue...");
			return nullptr;
		}
		ox_debug(QM_FERRY, "Tried to invoke FERRY and failed. Return value=%d, Attempt=%d", rv, attempt);
		ferry_sleep_ms(1000);
	}
	ox_crash(QM_FERRY, OX_GLOBAL, "Failed to inform the server to sync FERRY shipping... Aborting");
	return nullptr;
}

void
ferry_send_lastshipinfo(void)
{
	if (g_dc_count == 0) {
		return;
	}
	uint64_t reported[DC_MAX_NUM];
	memcpy(reported, g_prevlastshiptime, sizeof(reported));
	bool changed = false;
	int dcs = ferry_dc_configured();
	for (int i = 0; i < dcs; i++) {
		ferry_get_min_lst_for_dcid(i);
		uint64_t min = ox_atomic64_get(&g_lastshiptime[i].lst_localmin);
		// Unsigned on purpose: a minimum that moved back counts as a change.
		if (min - g_prevlastshiptime[i] >= FERRY_SEND_LSTINFO_GAP) {
			reported[i] = min;
			changed = true;
		}
	}
	if (!changed) {
		return;
	}
	char req[1024] = {0};
	size_t len = (size_t)snprintf(req, sizeof(req), "%s", FERRY_INFO_LASTSHIP_PREFIX);
	for (int i = 0; i < DC_MAX_NUM; i++) {
		uint64_t v = i < dcs ? ox_atomic64_get(&g_lastshiptime[i].lst_localmin) : 0;
		len += (size_t)snprintf(req + len, sizeof(req) - len, "%lu,", (unsigned long)v);
	}
	req[len - 1] = '\n';
	for (int attempt = 0; attempt < FERRY_LASTSHIP_ATTEMPTS; attempt++) {
		char *reply = nullptr;
		int rv = ferry_send_infomsg(req, &reply, 1000);
		free(reply);
		if (rv == 0) {
			memcpy(g_prevlastshiptime, reported, sizeof(reported));
			return;
		}
	}
	ox_warning(QM_FERRY, "Couldn't update the server about the FERRY last ship time");
}

/* A whole decimal number, optionally negative, that fits 64 bits. */
static bool
ferry_parse_time(const char *text, int64_t *out)
{
	if (*text == '\0') {
		return false;
	}
	char *end = nullptr;
	errno = 0;
	long long v = strtoll(text, &end, 10);
	if (errno != 0 || *end != '\0' || !(text[0] == '-' || (text[0] >= '0' && text[0] <= '9'))) {
		return false;
	}
	*out = (int64_t)v;
	return true;
}

uint64_t
ferry_digestlog_reclaim_time(void)
{
	char req[] = FERRY_INFO_MIN_LASTSHIP_REQUEST;
	char *reply = nullptr;
	if (ferry_send_infomsg_limit(req, &reply, 1000, FERRY_MIN_LASTSHIP_REPLY_MAX) != 0) {
		return 0;
	}
	char *value = nullptr;
	if (!reply || tamberlin_info_parse_single(reply, &value) != 0) {
		free(reply);
		return 0;
	}
	int64_t server_min = 0;
	if (!ferry_parse_time(value, &server_min)) {
		ox_warning(QM_FERRY, "Ignoring the cluster minimum last-ship time '%.64s': not a number", value);
		free(reply);
		return 0;
	}
	free(reply);
	if (server_min == -1) {
		return 0;
	}
	if (server_min <= 0) {
		ox_warning(QM_FERRY, "Ignoring the cluster minimum last-ship time %ld: not a positive time",
				(long)server_min);
		return 0;
	}
	// Never give up records that this node has not handed to every datacenter.
	uint64_t target = (uint64_t)server_min;
	for (int i = 0; i < ferry_dc_configured(); i++) {
		uint64_t own = ox_atomic64_get(&g_lastshiptime[i].lst_localmin);
		if (own < target) {
			target = own;
		}
	}
	// A last-ship time moves when a write is handed to the engine, not when
	// its reply comes: writes up to 5 minutes older may still fail and need
	// their digest again.
	target = ferry_lst_minus_adjust(target);
	// Read after the times: a batch that starts later holds only records
	// newer than the last-ship times read above.
	uint64_t floor = ferry_dlogreader_batch_floor();
	if (floor < target) {
		target = floor;
	}
	return target;
}

/* Takes g_failednode_hold_lock over the move of the log's start (then the
 * ring buffer's lock inside ox_rbuffer_setstart). */
uint64_t
ferry_digestlog_reclaim(void)
{
	uint64_t target = ferry_digestlog_reclaim_time();
	if (target == 0 || !g_rbuf_des) {
		return 0;
	}
	ox_rbuffer_trace(g_rbuf_des, true);
	ferry_msg_ondisk rec;
	memset(&rec, 0, sizeof(rec));
	// A failed-node run may have started since the minima were taken: its
	// holds bound the target, looked at once more, under their lock, right
	// before the start moves. A hold that moved earlier after the seek sends
	// the step back to seek again.
	for (int round = 0; round < FERRY_RECLAIM_SEEK_TRIES; round++) {
		uint64_t held = ferry_failednode_reclaim_bound();
		if (held < target) {
			target = held;
		}
		if (target == 0) {
			return 0;
		}
		// A log that cannot be read now may be readable in a second; only a
		// log with nothing at or after the time ends the step at once.
		ox_rbuffer_ctx *ctx = nullptr;
		for (int attempt = 1; !ctx; attempt++) {
			int reason = FERRY_SEEK_FOUND;
			ctx = ferry_digestlog_seektime(target, &rec, &reason);
			if (ctx) {
				break;
			}
			if (reason == FERRY_SEEK_NOTHING_NEWER || attempt >= FERRY_RECLAIM_SEEK_TRIES) {
				return 0;
			}
			ferry_sleep_ms(1000);
		}
		bool moved = false;
		uint64_t n = 0;
		{
			std::lock_guard<std::mutex> g(g_failednode_hold_lock);
			if (ferry_failednode_reclaim_bound() >= target) {
				n = ox_rbuffer_setstart(g_rbuf_des, ctx);
				moved = true;
			}
		}
		ox_rbuffer_closectx(ctx);
		if (moved) {
			ox_info(QM_FERRY, "Reclaimed %d records space in digest log... ", (int)n);
			if (g_ferry_cntr) {
				ox_atomic64_add(&g_ferry_cntr->dlog_pkts_reclaimed, n);
			}
			return n;
		}
	}
	return 0;
}
