/*
 * The info port's grammar and commands: the three registries (names that
 * answer a value, commands that take parameters, trees that take a sub-name),
 * the line grammar of a request body, the "k=v;k=v" parameter lookup, and the
 * handler behind every item.
 *
 * Threads: registration runs on the start-up thread before the network thread
 * exists; everything else runs on the info worker thread only, so the
 * registries are read without a lock. The handlers read counters and settings
 * that other threads change while they run (atomic loads, no snapshot).
 *
 * Bounds: a reply stops growing at FERRY_INFO_REPLY_MAX (the items past it are
 * left out, one WARNING per request); a parameter value is never copied past
 * the caller's buffer; set-config parses its integers in 64 bits with digits
 * required and refuses the values that would wedge a thread (a timeout, thread
 * count or in-flight limit below 1, a batch size outside 1 to 1,000,000, read
 * threads outside 1 to 64, a delay below 0). Statistics that subtract clamp at
 * 0 and at the digest log's size, so a counter read out of step with another
 * never shows a wrapped value.
 *
 * Cluster settings (compression threshold, info timeout) changed before the
 * clusters exist are only stored: ferry_clusters.cpp applies g_xcfg's value
 * when it makes each cluster. The two sides publish in opposite order with
 * sequentially consistent atomics (here the setting, then read the cluster;
 * there the cluster, then read the setting), so every cluster gets the last
 * value from one side or the other.
 */
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <strings.h>

#include "ferry_info_server.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/fault.h"
#include "tamberlin/ferry_info.h"
#include "tamberlin/ka_async.h"
#include "tamberlin/ka_cluster.h"
#include "tamberlin/ox_clock.h"
#include "tamberlin/ox_log.h"
#include "tamberlin/ox_str.h"
#include "tamberlin/rbuffer.h"
#include "tamberlin/tamberlin.h"

#define SEP '\t'
#define EOL '\n'
#define TREE_SEP '/'

/* Value buffers of the commands' parameter lookups. */
#define FERRY_SET_CONFIG_VALUE_SZ 100
#define FERRY_LOG_SET_VALUE_SZ 50

/* ---- Registries --------------------------------------------------------- */

typedef struct ferry_info_s {
	struct ferry_info_s *next;
	char *name;
	ferry_info_get_value_fn value_fn;
} ferry_info;

typedef struct ferry_tree_s {
	struct ferry_tree_s *next;
	char *name;
	ferry_info_get_tree_fn tree_fn;
} ferry_tree;

static ferry_info *ferry_info_head;
static ferry_info *ferry_info_cmd_head;
static ferry_tree *ferry_tree_head;
static pthread_mutex_t g_ferry_info_lock = PTHREAD_MUTEX_INITIALIZER;

/* The entry of name in a list; both entry kinds share their first fields. */
template <typename T>
static T *
ferry_info_find(T *head, const char *name)
{
	// The first byte first: a request of many unknown lines costs a
	// comparison a line, not a call per entry.
	for (T *e = head; e; e = e->next) {
		if (e->name[0] == name[0] && strcmp(e->name, name) == 0) {
			return e;
		}
	}
	return nullptr;
}

/* Replaces the handler of name, or puts a new entry at the head. */
template <typename T, typename F>
static int
ferry_info_register(T **head, const char *name, F fn, F T::*field)
{
	if (!name) {
		return -1;
	}
	T *e = ferry_info_find(*head, name);
	if (e) {
		e->*field = fn;
		return 0;
	}
	e = (T *)ox_malloc(sizeof(T));
	if (!e) {
		return -1;
	}
	e->name = ox_strdup(name);
	if (!e->name) {
		ox_free(e);
		return -1;
	}
	e->*field = fn;
	e->next = *head;
	*head = e;
	return 0;
}

int
ferry_info_set(const char *name, ferry_info_get_value_fn gv_fn)
{
	return ferry_info_register(&ferry_info_head, name, gv_fn, &ferry_info::value_fn);
}

int
ferry_info_cmd_set(const char *name, ferry_info_get_value_fn gv_fn)
{
	return ferry_info_register(&ferry_info_cmd_head, name, gv_fn, &ferry_info::value_fn);
}

int
ferry_info_set_tree(const char *name, ferry_info_get_tree_fn gv_fn)
{
	pthread_mutex_lock(&g_ferry_info_lock);
	int rv = ferry_info_register(&ferry_tree_head, name, gv_fn, &ferry_tree::tree_fn);
	pthread_mutex_unlock(&g_ferry_info_lock);
	return rv;
}

/* ---- Grammar ------------------------------------------------------------ */

/* The INFO lines the commands of one request log: the first few go out, the
 * rest are counted and told in one line at the request's end, so a body of
 * many command lines cannot become as many log lines. Worker thread (a
 * handler called outside a request logs every line). */
#define FERRY_INFO_REQUEST_LOG_LINES 16
static bool s_in_request;
static uint32_t s_request_lines;
static uint64_t s_request_lines_left;

static bool
ferry_info_line_allowed(void)
{
	if (!s_in_request || s_request_lines < FERRY_INFO_REQUEST_LOG_LINES) {
		s_request_lines++;
		return true;
	}
	s_request_lines_left++;
	return false;
}

#define ferry_request_info(ctx, ...) \
	do { \
		if (ferry_info_line_allowed()) { \
			ox_info(ctx, __VA_ARGS__); \
		} \
	} while (0)

/* False when the line just appended from mark took the reply past its cap:
 * the line is taken back, so a reply never holds half an item. */
static bool
ferry_info_fits(ox_dyn_buf *db, size_t mark)
{
	if (db->used_sz <= FERRY_INFO_REPLY_MAX) {
		return true;
	}
	db->used_sz = mark;
	return false;
}

/* Whether the echo of a request's name and text (a separator each) leaves
 * room under the cap: a long text is never copied into the reply only to be
 * taken back. */
static bool
ferry_info_echo_fits(const ox_dyn_buf *db, const char *name, const char *text)
{
	size_t need = strlen(name) + (text ? strlen(text) + 1 : 0) + 2;
	return db->used_sz <= FERRY_INFO_REPLY_MAX && need <= FERRY_INFO_REPLY_MAX - db->used_sz;
}

static void
ferry_info_cap_warning(ox_dyn_buf *db)
{
	ox_warning(QM_INFO, "info reply reached its limit of %d bytes at %zu bytes: the items after it are left out",
			FERRY_INFO_REPLY_MAX, db->used_sz);
}

/* name, a tab, the value, a newline. */
static bool
ferry_info_answer(ferry_info *e, char *params, ox_dyn_buf *db)
{
	if (!ferry_info_echo_fits(db, e->name, params)) {
		return false;
	}
	size_t mark = db->used_sz;
	ox_dyn_buf_append_string(db, e->name);
	if (params) {
		ox_dyn_buf_append_char(db, ':');
		ox_dyn_buf_append_string(db, params);
	}
	ox_dyn_buf_append_char(db, SEP);
	e->value_fn(e->name, params, db);
	ox_dyn_buf_append_char(db, EOL);
	return ferry_info_fits(db, mark);
}

/* A line without a colon: a name, a command without parameters, and (either
 * way) a tree item when it holds a slash. False when the reply is full. */
static bool
ferry_info_plain_line(char *item, ox_dyn_buf *db)
{
	ferry_info *e = ferry_info_find(ferry_info_head, item);
	if (!e) {
		e = ferry_info_find(ferry_info_cmd_head, item);
	}
	if (e && !ferry_info_answer(e, nullptr, db)) {
		return false;
	}
	char *slash = strchr(item, TREE_SEP);
	if (!slash) {
		return true;
	}
	*slash = '\0';
	char *subtree = slash + 1;
	ferry_tree *t = ferry_info_find(ferry_tree_head, item);
	if (!t) {
		return true;
	}
	if (!ferry_info_echo_fits(db, t->name, subtree)) {
		return false;
	}
	size_t mark = db->used_sz;
	ox_dyn_buf_append_string(db, t->name);
	ox_dyn_buf_append_char(db, TREE_SEP);
	ox_dyn_buf_append_string(db, subtree);
	ox_dyn_buf_append_char(db, SEP);
	t->tree_fn(t->name, subtree, db);
	ox_dyn_buf_append_char(db, EOL);
	return ferry_info_fits(db, mark);
}

int
ferry_info_some(char *buf, char *buf_lim, ox_dyn_buf *db)
{
	if (!buf || !buf_lim || buf_lim < buf) {
		return 0;
	}
	char *item = buf;
	char *c = buf;
	bool fits = true;
	// One line for all the unregistered commands of a request: a body of
	// nothing else would otherwise write a log line for every 3 bytes.
	const char *unregistered = nullptr;
	uint64_t n_unregistered = 0;
	s_in_request = true;
	s_request_lines = 0;
	s_request_lines_left = 0;
	while (fits && c < buf_lim) {
		if (db->used_sz >= FERRY_INFO_REPLY_MAX) {
			fits = false;
			break;
		}
		if (*c == EOL) {
			*c = '\0';
			fits = ferry_info_plain_line(item, db);
			item = c = c + 1;
			continue;
		}
		if (*c == ':') {
			*c = '\0';
			char *params = c + 1;
			auto *eol = (char *)memchr(params, EOL, (size_t)(buf_lim - params));
			if (!eol) {
				break; // an incomplete command line ends the body
			}
			*eol = '\0';
			ferry_info *e = ferry_info_find(ferry_info_cmd_head, item);
			if (e) {
				fits = ferry_info_answer(e, params, db);
			} else if (n_unregistered++ == 0) {
				unregistered = item;
			}
			item = c = eol + 1;
			continue;
		}
		c++;
	}
	if (n_unregistered == 1) {
		ox_info(QM_INFO, "received command %s, not registered", unregistered);
	} else if (n_unregistered > 1) {
		ox_info(QM_INFO, "received command %s, not registered (and %lu more unregistered commands in the request)",
				unregistered, (unsigned long)(n_unregistered - 1));
	}
	s_in_request = false;
	if (s_request_lines_left > 0) {
		ox_info(QM_INFO, "%lu more lines that the commands of the request would have logged were left out",
				(unsigned long)s_request_lines_left);
	}
	if (!fits) {
		ferry_info_cap_warning(db);
	}
	return 0;
}

int
ferry_info_all(ox_dyn_buf *db)
{
	for (ferry_info *e = ferry_info_head; e; e = e->next) {
		if (db->used_sz >= FERRY_INFO_REPLY_MAX || !ferry_info_answer(e, nullptr, db)) {
			ferry_info_cap_warning(db);
			break;
		}
	}
	return 0;
}

int
ferry_info_parameter_get(char *param_str, const char *param, char *value, int *value_len)
{
	if (!param_str || !param || !value || !value_len) {
		return -1;
	}
	ox_detail(QM_INFO, "parameter get: paramstr %s seeking param %s", param_str, param);
	size_t plen = strlen(param);
	const char *key = param_str;
	for (const char *c = param_str; *c; c++) {
		if (*c == ';') {
			key = c + 1;
		} else if (*c == '=' && (size_t)(c - key) == plen && memcmp(key, param, plen) == 0) {
			const char *v = c + 1;
			size_t vlen = strcspn(v, ";");
			if (*value_len <= 0 || vlen >= (size_t)*value_len) {
				return -1;
			}
			memcpy(value, v, vlen);
			value[vlen] = '\0';
			*value_len = (int)vlen;
			return 0;
		}
	}
	return -1;
}

/* ---- Shared readers ----------------------------------------------------- */

template <typename T>
static T
ferry_ld(const T &field)
{
	return __atomic_load_n(&field, __ATOMIC_RELAXED);
}

template <typename T>
static void
ferry_st(T &field, T v)
{
	__atomic_store_n(&field, v, __ATOMIC_SEQ_CST);
}

static const counters *
ferry_info_counters(void)
{
	static const counters none = {};
	counters *c = __atomic_load_n(&g_cntr, __ATOMIC_ACQUIRE);
	return c ? c : &none;
}

static uint64_t
ferry_cnt(const uint64_t &v)
{
	return ox_atomic64_get(&v);
}

/* A signed setting printed as the unsigned 64-bit value of its sign-widened
 * self, as every number of these lists is. */
static void
ferry_append_i32(ox_dyn_buf *db, int32_t v)
{
	ox_dyn_buf_append_uint64(db, (uint64_t)(int64_t)v);
}

static void
ferry_append_bool(ox_dyn_buf *db, bool v)
{
	ox_dyn_buf_append_string(db, v ? "true" : "false");
}

static uint64_t
ferry_avg(uint64_t sum, uint64_t n)
{
	return n ? sum / n : 0;
}

/* One row of the statistics reply: its name, and its value as a number or,
 * when text is set, as that text. */
typedef struct ferry_stat_row_s {
	const char *name;
	uint64_t value;
	const char *text;
} ferry_stat_row;

/* Appends the rows as "name=value" joined by ';'. */
static void
ferry_stat_rows_append(ox_dyn_buf *db, const ferry_stat_row *rows, size_t n)
{
	for (size_t i = 0; i < n; i++) {
		if (i > 0) {
			ox_dyn_buf_append_char(db, ';');
		}
		ox_dyn_buf_append_string(db, rows[i].name);
		ox_dyn_buf_append_char(db, '=');
		if (rows[i].text) {
			ox_dyn_buf_append_string(db, rows[i].text);
		} else {
			ox_dyn_buf_append_uint64(db, rows[i].value);
		}
	}
}

static ka_cluster *
ferry_dc_cluster(int dc)
{
	return __atomic_load_n(&g_rcfg[dc].asc, __ATOMIC_SEQ_CST);
}

/* The saved share of the bytes: (uncompressed - compressed) / uncompressed,
 * in per cent, never below 0 when compression grew the bytes. */
static void
ferry_ratio_text(uint64_t uncompressed, uint64_t compressed, char *out, size_t sz)
{
	if (uncompressed == 0) {
		snprintf(out, sz, "0.00%%");
		return;
	}
	double saved = (double)ferry_sub_sat(uncompressed, compressed) / (double)uncompressed * 100.0;
	snprintf(out, sz, "%2.2f%%", saved);
}

/* ---- Handlers: build, dcs, statistics ------------------------------------ */

int
ferry_get_build(char *name, char *params, ox_dyn_buf *db)
{
	(void)name;
	(void)params;
	ox_dyn_buf_append_string(db, tamberlin_build_string);
	return 0;
}

int
ferry_get_dcs(char *name, char *params, ox_dyn_buf *db)
{
	(void)name;
	(void)params;
	bool added = false;
	int ndc = ferry_dc_configured();
	for (int dc = 0; dc < ndc; dc++) {
		if (g_dc_xcfg_opt[dc].dc_name) {
			ox_dyn_buf_append_string(db, g_dc_xcfg_opt[dc].dc_name);
			ox_dyn_buf_append_char(db, ';');
			added = true;
		}
	}
	if (added) {
		ox_dyn_buf_chomp(db);
	}
	return 0;
}

int
ferry_get_stats(char *name, char *params, ox_dyn_buf *db)
{
	(void)name;
	(void)params;
	ox_debug(QM_FERRY, "statistics");
	const counters *c = ferry_info_counters();
	ox_rbuffer *rb = g_rbuf_des;
	uint64_t max_slots = rb ? ferry_cnt(rb->max_slots) : 0;
	uint64_t logged = ferry_cnt(c->dlog_pkts_logged);
	uint64_t processed = ferry_cnt(c->dlog_pkts_processed);
	uint64_t resume = ferry_cnt(c->dlog_pkts_resume_replprocessed);
	uint64_t shipped = ferry_cnt(c->remote_ship_total);
	uint64_t clientfail = ferry_cnt(c->remote_ship_clientfail);
	uint64_t fetched = ferry_cnt(c->local_recs_fetched);
	uint64_t genmismatch = ferry_cnt(c->remote_ship_skipped_genmismatch);
	uint64_t expired = ferry_cnt(c->remote_ship_skipped_expired);
	int ndc = ferry_dc_configured();
	uint64_t d = ndc > 0 ? (uint64_t)ndc : 1;

	// Counters are read one by one while others move them: a difference may
	// briefly run below 0 or past the log, and shows the bound instead.
	uint64_t used = ferry_sub_sat(ferry_sub_sat(logged, ferry_cnt(c->dlog_pkts_reclaimed)),
			ox_atomic64_get(&runtime_reclaim));
	uint64_t outstanding = ferry_sub_sat(logged, processed);
	if (used > max_slots) {
		used = max_slots;
	}
	if (max_slots && outstanding > max_slots) {
		outstanding = max_slots;
	}
	uint64_t free_pct = max_slots ? 100 - (uint64_t)((unsigned __int128)used * 100 / max_slots) : 0;

	uint64_t lag_max = 0;
	char lags[DC_MAX_NUM * 21 + 1];
	size_t lags_len = 0;
	lags[0] = '\0';
	for (int dc = 0; dc < ndc; dc++) {
		uint64_t lag = ferry_cnt(c->per_dc_counters[dc].timediff_lastship_cur) / 1000;
		lags_len += (size_t)snprintf(lags + lags_len, sizeof(lags) - lags_len, "%s%" PRIu64, dc > 0 ? "," : "",
				lag);
		if (lag > lag_max) {
			lag_max = lag;
		}
	}
	uint64_t all_unc = 0, all_comp = 0;
	for (int dc = 0; dc < ndc; dc++) {
		uint64_t unc, comp;
		tamberlin_cluster_get_compression_stat(ferry_dc_cluster(dc), &unc, &comp);
		all_unc += unc;
		all_comp += comp;
	}
	char ratio[64];
	ferry_ratio_text(all_unc, all_comp, ratio, sizeof(ratio));
	char free_text[24];
	snprintf(free_text, sizeof(free_text), "%" PRIu64 "%%", free_pct);

	uint64_t shipping = ferry_sub_sat(ferry_sub_sat(ferry_sub_sat(fetched, genmismatch), expired),
			(shipped + clientfail) / d);

	const ferry_stat_row rows[] = {
		{"used-recs-dlog", used, nullptr},
		{"total-recs-dlog", max_slots, nullptr},
		{"free-dlog-pct", 0, free_text},
		{"stat_dlog_read", rb ? ferry_cnt(rb->read_stat) : 0, nullptr},
		{"stat_dlog_write", rb ? ferry_cnt(rb->write_stat) : 0, nullptr},
		{"stat_dlog_fwrite", rb ? ferry_cnt(rb->fwrite_stat) : 0, nullptr},
		{"stat_dlog_fread", rb ? ferry_cnt(rb->fread_stat) : 0, nullptr},
		{"stat_dlog_fseek", rb ? ferry_cnt(rb->fseek_stat) : 0, nullptr},
		{"stat_recs_logged", logged, nullptr},
		{"stat_recs_relogged", ferry_cnt(c->dlog_pkts_relogged), nullptr},
		{"stat_recs_dropped", ferry_cnt(c->dlog_pkts_dropped), nullptr},
		{"stat_pipe_reads_diginfo", ferry_cnt(c->pipe_reads_diginfo), nullptr},
		{"stat_recs_localprocessed", ferry_sub_sat(processed, resume), nullptr},
		{"stat_recs_replprocessed", ferry_cnt(c->dlog_pkts_replprocessed) + resume, nullptr},
		{"stat_recs_shipped", shipped, nullptr},
		{"relay_deletes_shipped", ferry_cnt(c->remote_ship_delete_total), nullptr},
		{"relay_deletes_relogged", ferry_cnt(c->dlog_deletes_relogged), nullptr},
		{"relay_deletes_canceled", ferry_cnt(c->dlog_deletes_canceled), nullptr},
		{"stat_recs_shipping", shipping, nullptr},
		{"stat_recs_outstanding", outstanding, nullptr},
		{"local_recs_fetched", fetched, nullptr},
		{"local_recs_fetch_avg_latency",
				ferry_avg(ferry_cnt(c->local_recs_fetch_latency), ferry_cnt(c->num_batch_calls)), nullptr},
		{"local_recs_migration_retry", ferry_cnt(c->local_recs_migration_retry), nullptr},
		{"local_recs_notfound", ferry_cnt(c->local_recs_notfound), nullptr},
		{"noship_recs_genmismatch", genmismatch, nullptr},
		{"noship_recs_expired", expired, nullptr},
		{"noship_recs_notmaster", ferry_cnt(c->remote_ship_skipped_notmaster), nullptr},
		{"noship_recs_unknown_namespace", ferry_cnt(c->remote_ship_skipped_unknown_namespace), nullptr},
		{"err_ship_client", clientfail, nullptr},
		{"err_ship_server", ferry_cnt(c->remote_ship_serverfail), nullptr},
		{"perdc_timediff_lastship_cur_secs", 0, lags},
		{"timediff_lastship_cur_secs", lag_max, nullptr},
		{"cur_throughput", ferry_cnt(c->remote_ship_throughput), nullptr},
		{"latency_avg_ship", ferry_avg(ferry_cnt(c->remote_ship_latency), shipped), nullptr},
		{"latency_avg_dlogwrite", ferry_avg(ferry_cnt(c->dlog_pkts_writelatency), logged), nullptr},
		{"latency_avg_dlogread", ferry_avg(ferry_cnt(c->dlog_pkts_readlatency), processed), nullptr},
		{"esmt-bytes-shipped", ferry_cnt(c->remote_ship_total_bytes), nullptr},
		{"esmt-bytes-shipped-compression", all_comp, nullptr},
		{"esmt-ship-compression", 0, ratio},
		{"relay-uptime", ferry_sub_sat(ox_clock_getabsolute(), g_boottime) / 1000, nullptr},
	};
	ferry_stat_rows_append(db, rows, sizeof(rows) / sizeof(rows[0]));
	return 0;
}

/* ---- Handlers: configuration lists ---------------------------------------- */

static void
ferry_append_config(ox_dyn_buf *db)
{
	const ferry_config *c = &g_xcfg;
	ox_dyn_buf_append_string(db, "relay-timeout=");
	ferry_append_i32(db, ferry_ld(c->ferry_timeout));
	ox_dyn_buf_append_string(db, ";relay-threads=");
	ferry_append_i32(db, ferry_ld(c->ferry_threads));
	int32_t inflight = ferry_ld(c->ferry_max_recs_inflight);
	ox_dyn_buf_append_string(db, ";relay-ship-batch-size=");
	ferry_append_i32(db, inflight);
	ox_dyn_buf_append_string(db, ";relay-max-recs-inflight=");
	ferry_append_i32(db, inflight);
	ox_dyn_buf_append_string(db, ";relay-read-batch-size=");
	ferry_append_i32(db, ferry_ld(c->ferry_read_batch_size));
	ox_dyn_buf_append_string(db, ";relay-write-batch-size=");
	ferry_append_i32(db, ferry_ld(c->ferry_write_batch_size));
	ox_dyn_buf_append_string(db, ";relay-read-mode=");
	ox_dyn_buf_append_string(db, ferry_ld(c->ferry_read_mode) == FERRY_MODE_SINGLE_RECORD_GET ? "single" : "batch");
	ox_dyn_buf_append_string(db, ";relay-read-threads=");
	ferry_append_i32(db, ferry_ld(c->ferry_read_threads));
	ox_dyn_buf_append_string(db, ";relay-local-port=");
	ferry_append_i32(db, ferry_ld(c->ferry_local_port));
	ox_dyn_buf_append_string(db, ";relay-digestlog-size=");
	ox_dyn_buf_append_uint64(db, c->ferry_digestlog_file_size[0]);
	ox_dyn_buf_append_string(db, ";relay-ship-delay=");
	ferry_append_i32(db, ferry_ld(c->ferry_internal_shipping_delay));
	ox_dyn_buf_append_string(db, ";relay-shipping-enabled=");
	ferry_append_bool(db, ferry_ld(c->ferry_shipping_enabled));
	ox_dyn_buf_append_string(db, ";relay-check-data-before-delete=");
	ferry_append_bool(db, ferry_ld(c->ferry_check_data_before_delete));
	ox_dyn_buf_append_string(db, ";relay-nw-timeout=");
	ferry_append_i32(db, ferry_ld(c->ferry_nw_timeout));
	ox_dyn_buf_append_string(db, ";relay-hotkey-maxskip=");
	ferry_append_i32(db, ferry_ld(c->ferry_hotkey_maxskip));
	ox_dyn_buf_append_string(db, ";relay-batch-retry-sleep=");
	ferry_append_i32(db, ferry_ld(c->ferry_batch_retry_sleep));
	ox_dyn_buf_append_string(db, ";relay-batch-num-retry=");
	ferry_append_i32(db, ferry_ld(c->ferry_batch_num_retry));
	ox_dyn_buf_append_string(db, ";relay-info-timeout=");
	ferry_append_i32(db, ferry_ld(c->ferry_info_request_timeout_ms));
	ox_dyn_buf_append_string(db, ";relay-forward-with-gencheck=");
	ox_dyn_buf_append_uint64(db, ferry_ld(c->ferry_fwd_with_gencheck) ? 1 : 0);
	ox_dyn_buf_append_string(db, ";relay-compression-threshold=");
	ferry_append_i32(db, ferry_ld(c->ferry_compression_threshold));
}

int
ferry_get_config(char *name, char *params, ox_dyn_buf *db)
{
	(void)name;
	ox_debug(QM_FERRY, "config-get command received: params %s", params ? params : "");
	ferry_append_config(db);
	return 0;
}

int
ferry_get_config_extended(char *name, char *params, ox_dyn_buf *db)
{
	(void)name;
	ox_debug(QM_FERRY, "config-get command received: params %s", params ? params : "");
	ferry_append_config(db);
	ox_dyn_buf_append_string(db, ";enable-relay=");
	ferry_append_bool(db, g_xcfg.ferry_global_enabled);
	ox_dyn_buf_append_string(db, ";relay-read-threads=");
	ferry_append_i32(db, ferry_ld(g_xcfg.ferry_read_threads));
	ox_dyn_buf_append_string(db, ";forward-relay-writes=");
	ferry_append_i32(db, g_xcfg.ferry_forward_ferrywrites);
	int ndc = ferry_dc_configured();
	for (int dc = 0; dc < ndc; dc++) {
		const dc_config_opt *o = &g_dc_xcfg_opt[dc];
		ox_dyn_buf_append_string(db, ";DC=");
		ox_dyn_buf_append_string(db, "DC_Name=");
		ox_dyn_buf_append_string(db, o->dc_name ? o->dc_name : "");
		ox_dyn_buf_append_string(db, ":Nodes=");
		// A datacenter may have no seed list or no address map at all.
		uint32_t nseeds = o->dc_node_v ? ox_vector_size(o->dc_node_v) : 0;
		for (uint32_t i = 0; i < nseeds; i++) {
			auto *s = (node_addr_port *)ox_vector_pointer_get(o->dc_node_v, i);
			if (i > 0) {
				ox_dyn_buf_append_char(db, ',');
			}
			if (s) {
				ox_dyn_buf_append_string(db, s->node_addr ? s->node_addr : "");
				ox_dyn_buf_append_char(db, '+');
				ox_dyn_buf_append_int(db, s->node_port);
			}
		}
		ox_dyn_buf_append_string(db, ":int-ext-ipmap=");
		uint32_t nmap = o->dc_addr_map_v ? ox_vector_size(o->dc_addr_map_v) : 0;
		for (uint32_t i = 0; i < nmap; i++) {
			auto *m = (ka_addrmap *)ox_vector_pointer_get(o->dc_addr_map_v, i);
			if (i > 0) {
				ox_dyn_buf_append_char(db, ',');
			}
			if (m) {
				ox_dyn_buf_append_string(db, m->orig ? m->orig : "");
				ox_dyn_buf_append_char(db, '+');
				ox_dyn_buf_append_string(db, m->alt ? m->alt : "");
			}
		}
	}
	return 0;
}

/* ---- Handler: one datacenter --------------------------------------------- */

int
ferry_get_tree_dc(char *name, char *subtree, ox_dyn_buf *db)
{
	(void)name;
	if (!subtree) {
		return 0;
	}
	int ndc = ferry_dc_configured();
	int dc = 0;
	while (dc < ndc && !(g_dc_xcfg_opt[dc].dc_name && strcmp(g_dc_xcfg_opt[dc].dc_name, subtree) == 0)) {
		dc++;
	}
	if (dc == ndc) {
		return 0;
	}
	const per_dc_counters *p = &ferry_info_counters()->per_dc_counters[dc];
	int32_t health = __atomic_load_n(&g_rcfg[dc].cluster_health, __ATOMIC_SEQ_CST);
	uint64_t unc, comp;
	tamberlin_cluster_get_compression_stat(ferry_dc_cluster(dc), &unc, &comp);
	char ratio[64];
	ferry_ratio_text(unc, comp, ratio, sizeof(ratio));
	ox_dyn_buf_append_string(db, "relay-dc-state=");
	ox_dyn_buf_append_string(db, health >= CLUSTER_DOWN && health <= CLUSTER_WINDOW_SHIP ? cluster_states[health] : "");
	ox_dyn_buf_append_string(db, ";relay-dc-timelag=");
	ox_dyn_buf_append_uint64(db, ferry_cnt(p->timediff_lastship_cur) / 1000);
	ox_dyn_buf_append_string(db, ";relay-dc-rec-ship-attempts=");
	ox_dyn_buf_append_uint64(db, ferry_cnt(p->record_ship_attempts));
	ox_dyn_buf_append_string(db, ";relay-dc-delete-ship-attempts=");
	ox_dyn_buf_append_uint64(db, ferry_cnt(p->delete_ship_attempts));
	ox_dyn_buf_append_string(db, ";esmt-bytes-shipped-compression=");
	ox_dyn_buf_append_uint64(db, comp);
	ox_dyn_buf_append_string(db, ";esmt-ship-compression=");
	ox_dyn_buf_append_string(db, ratio);
	return 0;
}

/* ---- Handler: set-config ---------------------------------------------------- */

/* The number syntax of the configuration file (an optional "-", digits, at
 * most one size suffix), held to a setting's range with every overflow
 * refused. At least one digit: an empty value would read as 0, which no
 * setting takes as meant. */
static int
ferry_info_parse_int(const char *s, int64_t min, int64_t max, int32_t *out)
{
	int64_t v;
	if (ox_str_atoi_64_checked(s, &v) != 0 || v < min || v > max) {
		return -1;
	}
	*out = (int32_t)v;
	return 0;
}

/* 1 on, 0 off, -1 neither. */
static int
ferry_info_parse_bool(const char *v)
{
	if (strncmp(v, "true", 4) == 0 || strncmp(v, "yes", 3) == 0) {
		return 1;
	}
	if (strncmp(v, "false", 5) == 0 || strncmp(v, "no", 2) == 0) {
		return 0;
	}
	return -1;
}

/* A value for the thread that owns bit: the pending value first, then the
 * bit, so the owner never sees the bit without its value. */
static void
ferry_set_pending(int32_t *pending, int32_t v, int32_t bit)
{
	ferry_st(*pending, v);
	g_xcfg.ferry_flag.fetch_or(bit);
}

static int
ferry_set_timeout(int32_t v)
{
	ferry_st(g_xcfg.ferry_timeout, v);
	return 0;
}

static int
ferry_set_threads(int32_t v)
{
	ferry_set_pending(&g_xcfg.ferry_new_cfg.ferry_threads, v, FERRY_NUM_THREADS_CHANGE);
	return 0;
}

static int
ferry_set_nw_timeout(int32_t v)
{
	ferry_st(g_xcfg.ferry_nw_timeout, v);
	tamberlin_async_set_nw_timeout(v);
	return 0;
}

static int
ferry_set_inflight(int32_t v)
{
	ferry_set_pending(&g_xcfg.ferry_new_cfg.ferry_max_recs_inflight, v, FERRY_MAX_RECS_INFLIGHT_CHANGE);
	return 0;
}

static int
ferry_set_read_batch(int32_t v)
{
	ferry_set_pending(&g_xcfg.ferry_new_cfg.ferry_read_batch_size, v, FERRY_READ_BATCH_SIZE_CHANGE);
	return 0;
}

static int
ferry_set_write_batch(int32_t v)
{
	ferry_set_pending(&g_xcfg.ferry_new_cfg.ferry_write_batch_size, v, FERRY_WRITE_BATCH_SIZE_CHANGE);
	return 0;
}

static int
ferry_set_read_threads(int32_t v)
{
	ferry_set_pending(&g_xcfg.ferry_new_cfg.ferry_read_threads, v, FERRY_RECORD_GET_THREADS_CHANGE);
	return 0;
}

static int
ferry_set_local_port(int32_t v)
{
	ferry_st(g_xcfg.ferry_local_port, v);
	return 0;
}

static int
ferry_set_ship_delay(int32_t v)
{
	ferry_request_info(QM_FERRY, "FERRY shipping delay changed from %d to %d", ferry_ld(g_xcfg.ferry_internal_shipping_delay), v);
	ferry_st(g_xcfg.ferry_internal_shipping_delay, v);
	return 0;
}

static int
ferry_set_hotkey_maxskip(int32_t v)
{
	ferry_request_info(QM_FERRY, "FERRY hot key ship interval changed from %d to %d", ferry_ld(g_xcfg.ferry_hotkey_maxskip), v);
	ferry_st(g_xcfg.ferry_hotkey_maxskip, v);
	return 0;
}

static int
ferry_set_batch_num_retry(int32_t v)
{
	ferry_request_info(QM_FERRY, "FERRY batch retry count changed from %d to %d", ferry_ld(g_xcfg.ferry_batch_num_retry), v);
	ferry_st(g_xcfg.ferry_batch_num_retry, v);
	return 0;
}

static int
ferry_set_batch_retry_sleep(int32_t v)
{
	ferry_request_info(QM_FERRY, "FERRY batch retry sleep interval changed from %d to %d",
			ferry_ld(g_xcfg.ferry_batch_retry_sleep), v);
	ferry_st(g_xcfg.ferry_batch_retry_sleep, v);
	return 0;
}

static int
ferry_set_info_timeout(int32_t v)
{
	ferry_request_info(QM_FERRY, "FERRY info request timeout changed from %dms to %dms",
			ferry_ld(g_xcfg.ferry_info_request_timeout_ms), v);
	ferry_st(g_xcfg.ferry_info_request_timeout_ms, v);
	int ndc = ferry_dc_configured();
	for (int dc = 0; dc < ndc; dc++) {
		ka_cluster *asc = ferry_dc_cluster(dc);
		if (asc) { // else the cluster takes the stored value when it is made
			tamberlin_cluster_change_info_timeout(asc, v);
		}
	}
	return 0;
}

static int
ferry_set_compression_threshold(int32_t v)
{
	int32_t old = ferry_ld(g_xcfg.ferry_compression_threshold);
	ferry_st(g_xcfg.ferry_compression_threshold, v);
	int ndc = ferry_dc_configured();
	for (int dc = 0; dc < ndc; dc++) {
		ka_cluster *asc = ferry_dc_cluster(dc);
		if (asc) { // else the cluster takes the stored value when it is made
			int now = tamberlin_cluster_change_compression_threshold(asc, v);
			ferry_request_info(QM_FERRY, "FERRY compression threshold for DC %d changed from %d to %d", dc, old, now);
		}
	}
	return 0;
}

static int
ferry_set_read_mode(const char *v)
{
	int32_t mode;
	if (strncmp(v, "single", 6) == 0) {
		mode = FERRY_MODE_SINGLE_RECORD_GET;
	} else if (strncmp(v, "batch", 5) == 0) {
		mode = FERRY_MODE_BATCH_GET;
	} else {
		return -1;
	}
	ferry_set_pending(&g_xcfg.ferry_new_cfg.ferry_read_mode, mode, FERRY_RECORD_GET_MODE_CHANGE);
	return 0;
}

static int
ferry_set_dlog_logging(bool on)
{
	if (!g_rbuf_des) {
		return -1;
	}
	ox_rbuffer_trace(g_rbuf_des, on);
	ferry_request_info(QM_FERRY, on ? "FERRY Digestlog trace on" : "FERRY Digestlog trace off");
	return 0;
}

static int
ferry_set_shipping_enabled(bool on)
{
	ferry_st(g_xcfg.ferry_shipping_enabled, on);
	ferry_request_info(QM_FERRY, on ? "FERRY Shipping Enabled" : "FERRY Shipping Disabled");
	return 0;
}

static int
ferry_set_check_data_before_delete(bool on)
{
	ferry_st(g_xcfg.ferry_check_data_before_delete, on);
	ferry_request_info(QM_FERRY, on ? "FERRY Check Data Before Delete Enabled" : "FERRY Check Data Before Delete Disabled");
	return 0;
}

static int
ferry_set_fwd_with_gencheck(bool on)
{
	ferry_st(g_xcfg.ferry_fwd_with_gencheck, on);
	ferry_request_info(QM_FERRY, on ? "FERRY Forward With Generation Check Enabled"
	                     : "FERRY Forward With Generation Check Disabled");
	return 0;
}

/* One settable key: exactly one of the three setters. Integers are checked
 * against [min, max] before their setter runs. */
typedef struct ferry_setting_s {
	const char *key;
	int64_t min;
	int64_t max;
	int (*set_int)(int32_t v);
	int (*set_bool)(bool on);
	int (*set_text)(const char *v);
} ferry_setting;

/* range: a FERRY_RANGE_ pair of utils.h, which the file holds a setting to too. */
#define FERRY_SET_INT(key, fn, ...) {key, __VA_ARGS__, fn, nullptr, nullptr}
#define FERRY_SET_BOOL(key, fn) {key, 0, 0, nullptr, fn, nullptr}
#define FERRY_SET_TEXT(key, fn) {key, 0, 0, nullptr, nullptr, fn}

/* In lookup order: the first key present in a request decides it. */
static const ferry_setting ferry_settings[] = {
	FERRY_SET_INT("relay-timeout", ferry_set_timeout, FERRY_RANGE_TIMEOUT),
	FERRY_SET_INT("relay-threads", ferry_set_threads, FERRY_RANGE_THREADS),
	FERRY_SET_INT("relay-nw-timeout", ferry_set_nw_timeout, FERRY_RANGE_TIMEOUT),
	FERRY_SET_INT("relay-ship-batch-size", ferry_set_inflight, FERRY_RANGE_INFLIGHT),
	FERRY_SET_INT("relay-max-recs-inflight", ferry_set_inflight, FERRY_RANGE_INFLIGHT),
	FERRY_SET_INT("relay-read-batch-size", ferry_set_read_batch, FERRY_RANGE_BATCH_SIZE),
	FERRY_SET_INT("relay-write-batch-size", ferry_set_write_batch, FERRY_RANGE_BATCH_SIZE),
	FERRY_SET_TEXT("relay-read-mode", ferry_set_read_mode),
	FERRY_SET_INT("relay-read-threads", ferry_set_read_threads, FERRY_RANGE_READ_THREADS),
	FERRY_SET_INT("local-port", ferry_set_local_port, FERRY_RANGE_PORT),
	FERRY_SET_INT("relay-ship-delay", ferry_set_ship_delay, FERRY_RANGE_SHIP_DELAY),
	FERRY_SET_INT("relay-hotkey-maxskip", ferry_set_hotkey_maxskip, FERRY_RANGE_HOTKEY_MAXSKIP),
	FERRY_SET_INT("relay-batch-num-retry", ferry_set_batch_num_retry, FERRY_RANGE_RETRY),
	FERRY_SET_INT("relay-batch-retry-sleep", ferry_set_batch_retry_sleep, FERRY_RANGE_RETRY),
	FERRY_SET_BOOL("relay-dlog-logging", ferry_set_dlog_logging),
	FERRY_SET_BOOL("relay-shipping-enabled", ferry_set_shipping_enabled),
	FERRY_SET_BOOL("relay-check-data-before-delete", ferry_set_check_data_before_delete),
	FERRY_SET_INT("relay-info-timeout", ferry_set_info_timeout, FERRY_RANGE_INFO_TIMEOUT),
	FERRY_SET_BOOL("relay-forward-with-gencheck", ferry_set_fwd_with_gencheck),
	// Kept at 0 or more: a negative threshold compresses nothing, as 0 does,
	// yet config-get would print it as 18446744073709551615.
	FERRY_SET_INT("relay-compression-threshold", ferry_set_compression_threshold, FERRY_RANGE_COMPRESSION),
};

static int
ferry_apply_setting(const ferry_setting *s, const char *value)
{
	if (s->set_text) {
		return s->set_text(value);
	}
	if (s->set_bool) {
		int on = ferry_info_parse_bool(value);
		return on < 0 ? -1 : s->set_bool(on == 1);
	}
	int32_t v;
	if (ferry_info_parse_int(value, s->min, s->max, &v) != 0) {
		return -1;
	}
	return s->set_int(v);
}

int
ferry_set_config(char *name, char *params, ox_dyn_buf *db)
{
	(void)name;
	if (!params) {
		return -1;
	}
	ox_debug(QM_FERRY, "config-set command received: params %s", params);
	char value[FERRY_SET_CONFIG_VALUE_SZ];
	int len = (int)sizeof(value);
	if (ferry_info_parameter_get(params, "context", value, &len) != 0 || strcmp(value, "relay") != 0) {
		ox_dyn_buf_append_string(db, "error");
		return 0;
	}
	for (const ferry_setting &s : ferry_settings) {
		len = (int)sizeof(value);
		if (ferry_info_parameter_get(params, s.key, value, &len) != 0) {
			continue;
		}
		ox_dyn_buf_append_string(db, ferry_apply_setting(&s, value) == 0 ? "ok" : "error");
		return 0;
	}
	ox_dyn_buf_append_string(db, "error");
	return 0;
}

/* ---- Handler: log-set --------------------------------------------------------- */

/* Whether every name=level pair of params names a context exactly and gives
 * it a level by its whole name (any case). An empty or a partial level name
 * would otherwise pass as the last level it begins, an unknown context as
 * nothing at all, each answered "ok". Logs the first pair that fails. */
static bool
ferry_log_set_pairs_valid(const char *params)
{
	for (const char *p = params; *p;) {
		size_t len = strcspn(p, ";");
		const char *eq = (const char *)memchr(p, '=', len);
		size_t klen = eq ? (size_t)(eq - p) : len;
		size_t vlen = eq ? len - klen - 1 : 0;
		bool known = false;
		for (int ctx = 0; ctx < OX_FAULT_CONTEXT_UNDEF && !known; ctx++) {
			const char *cname = ox_fault_context_strings[ctx];
			known = strlen(cname) == klen && memcmp(cname, p, klen) == 0;
		}
		bool level = false;
		for (int sev = OX_CRITICAL; sev < OX_FAULT_SEVERITY_UNDEF && eq && !level; sev++) {
			const char *sname = ox_fault_severity_strings[sev];
			level = strlen(sname) == vlen && strncasecmp(sname, eq + 1, vlen) == 0;
		}
		if (len > 0 && (!known || !level)) {
			char value[FERRY_LOG_SET_VALUE_SZ];
			size_t n = vlen < sizeof(value) - 1 ? vlen : sizeof(value) - 1;
			for (size_t i = 0; i < n; i++) {
				value[i] = (char)toupper((unsigned char)eq[1 + i]);
			}
			value[n] = '\0';
			ferry_request_info(QM_INFO, "log set command: addcontext failed: context %.*s level %s", (int)klen, p, value);
			return false;
		}
		p += len + (p[len] == ';');
	}
	return true;
}

int
ferry_log_set(char *name, char *params, ox_dyn_buf *db)
{
	(void)name;
	if (!params) {
		return 0;
	}
	ox_debug(QM_INFO, "log-set command received: params %s", params);
	// Every pair is checked before any is applied: an "error" changes nothing.
	if (!ferry_log_set_pairs_valid(params)) {
		ox_dyn_buf_append_string(db, "error-invalid-context-or-level");
		return 0;
	}
	for (int ctx = 0; ctx < OX_FAULT_CONTEXT_UNDEF; ctx++) {
		const char *cname = ox_fault_context_strings[ctx];
		char level[FERRY_LOG_SET_VALUE_SZ];
		int len = (int)sizeof(level);
		if (ferry_info_parameter_get(params, cname, level, &len) != 0) {
			continue;
		}
		for (char *p = level; *p; p++) {
			if (*p >= 'a' && *p <= 'z') {
				*p = (char)(*p - 'a' + 'A');
			}
		}
		if (ox_fault_sink_setcontext(g_faultsink, cname, level) != 0) {
			ferry_request_info(QM_INFO, "log set command: addcontext failed: context %s level %s", cname, level);
			ox_dyn_buf_append_string(db, "error-invalid-context-or-level");
			return 0;
		}
		if (ctx == QM_FERRY) {
			tamberlin_set_debug(strncasecmp(level, "debug", 5) == 0);
		}
	}
	ox_dyn_buf_append_string(db, "ok");
	return 0;
}

/* ---- The item table ----------------------------------------------------- */

void
ferry_info_register_all(void)
{
	ferry_info_set("build", ferry_get_build);
	ferry_info_set("statistics", ferry_get_stats);
	ferry_info_set("dcs", ferry_get_dcs);
	ferry_info_cmd_set("set-config", ferry_set_config);
	ferry_info_cmd_set("config-set", ferry_set_config);
	ferry_info_cmd_set("config-get", ferry_get_config);
	ferry_info_cmd_set("get-config", ferry_get_config);
	ferry_info_cmd_set("get-config-extended", ferry_get_config_extended);
	ferry_info_cmd_set("log-set", ferry_log_set);
	ferry_info_set_tree("dc", ferry_get_tree_dc);
}
