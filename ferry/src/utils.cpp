/*
 * utils: reading the shipper's part of the database server's configuration
 * file, and the checks that start-up runs on the result.
 *
 * The reader works piece by piece (512-byte buffer, so at most 511
 * characters; every piece is a numbered line of its own) and keeps a small
 * stack of contexts. Only five contexts are tracked; the blocks of other
 * top-level keywords are walked in GLOBAL, where unknown names and "}" mean
 * nothing. Every table entry that indexes a fixed array (digest-log paths,
 * namespaces, datacenters, datacenter names of a namespace) is bounded here,
 * with a CRITICAL naming the line, so that no later stage writes past one.
 */
#include "tamberlin/utils.h"

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ferry_shared.h"
#include "tamberlin/ox_log.h"
#include "tamberlin/ox_str.h"
#include "tamberlin/rbuffer.h"

// The parse refuses a digest log that the ring buffer would refuse later,
// when the log sinks are open and the daemon has half started.
static_assert(FERRY_MIN_DIGESTLOG_SEGMENTS == RBUFFER_MIN_SEGS);
static_assert(FERRY_DIGESTLOG_SEGMENT_BYTES == RBUFFER_SEG_SIZE);

ferry_config g_xcfg;
ns_config_opt g_ns_xcfg_opt[NAMESPACE_MAX_NUM];
dc_config_opt g_dc_xcfg_opt[DC_MAX_NUM];
int g_ns_count;
int g_dc_count;
ox_fault_sink *g_faultsink;

const char *RELAY_PARSER_STATES[PARSER_STATE_MAX_PLUS_1] = {
	"GLOBAL", "SERVICE", "NAMESPACE", "RELAY", "RELAY_DATACENTER"};

const relay_cfg_opt RELAY_GLOBAL_OPTS[NUM_RELAY_GLOBAL_OPTS] = {
	{"service", RELAY_CASE_SERVICE_BEGIN},
	{"namespace", RELAY_CASE_NAMESPACE_BEGIN},
	{"relay", RELAY_CASE_RELAY_BEGIN},
};

const relay_cfg_opt RELAY_SERVICE_OPTS[NUM_RELAY_SERVICE_OPTS] = {
	{"{", RELAY_CASE_CONTEXT_BEGIN},
	{"user", RELAY_CASE_SERVICE_USER},
	{"group", RELAY_CASE_SERVICE_GROUP},
	{"}", RELAY_CASE_CONTEXT_END},
};

const relay_cfg_opt RELAY_NS_OPTS[NUM_RELAY_NS_OPTS] = {
	{"enable-relay", RELAY_CASE_NS_ENABLE_RELAY},
	{"relay-remote-datacenter", RELAY_CASE_NS_RELAY_REMOTE_DATACENTER},
	{"default-ttl", RELAY_CASE_NS_DEFAULT_TTL},
	{"max-ttl", RELAY_CASE_NS_MAX_TTL},
	{"}", RELAY_CASE_CONTEXT_END},
};

const relay_cfg_opt RELAY_OPTS[NUM_RELAY_OPTS] = {
	{"{", RELAY_CASE_CONTEXT_BEGIN},
	{"enable-relay", RELAY_CASE_ENABLE_RELAY},
	{"namedpipe-path", RELAY_CASE_NAMEDPIPE_PATH},
	{"relay-namedpipe-path", RELAY_CASE_NAMEDPIPE_PATH},
	{"digestlog-path", RELAY_CASE_DIGESTLOG_PATH},
	{"relay-digestlog-path", RELAY_CASE_DIGESTLOG_PATH},
	{"errorlog-path", RELAY_CASE_ERRORLOG_PATH},
	{"relay-errorlog-path", RELAY_CASE_ERRORLOG_PATH},
	{"local-node-port", RELAY_CASE_LOCAL_NODE_PORT},
	{"info-port", RELAY_CASE_INFO_PORT},
	{"relay-info-port", RELAY_CASE_INFO_PORT},
	{"datacenter", RELAY_CASE_DATACENTER_BEGIN},
	{"batch-size", RELAY_CASE_MAX_RECS_INFLIGHT},
	{"relay-max-recs-inflight", RELAY_CASE_MAX_RECS_INFLIGHT},
	{"digestlog-overwrite", RELAY_CASE_DIGESTLOG_OVERWRITE},
	{"digestlog-persist", RELAY_CASE_DIGESTLOG_PERSIST},
	{"forward-relay-writes", RELAY_CASE_FORWARD_RELAY_WRITES},
	{"threads", RELAY_CASE_THREADS},
	{"relay-threads", RELAY_CASE_THREADS},
	{"timeout", RELAY_CASE_TIMEOUT},
	{"stop-writes-norelay", RELAY_CASE_STOP_WRITES_NORELAY},
	{"relay-batch-num-retry", RELAY_CASE_RELAY_BATCH_NUM_RETRY},
	{"relay-batch-retry-sleep", RELAY_CASE_RELAY_BATCH_RETRY_SLEEP},
	{"relay-delete-shipping-enabled", RELAY_CASE_RELAY_DELETE_SHIPPING_ENABLED},
	{"relay-forward-with-gencheck", RELAY_CASE_RELAY_FORWARD_WITH_GENCHECK},
	{"relay-hotkey-maxskip", RELAY_CASE_RELAY_HOTKEY_MAXSKIP},
	{"relay-nsup-deletes-enabled", RELAY_CASE_RELAY_NSUP_DELETES_ENABLED},
	{"relay-shipping-enabled", RELAY_CASE_RELAY_SHIPPING_ENABLED},
	{"relay-info-timeout", RELAY_CASE_RELAY_INFO_TIMEOUT},
	{"relay-compression-threshold", RELAY_CASE_RELAY_COMPRESSION_THRESHOLD},
	{"relay-write-batch-size", RELAY_CASE_RELAY_WRITE_BATCH_SIZE},
	{"relay-read-batch-size", RELAY_CASE_RELAY_READ_BATCH_SIZE},
	{"relay-ship-delay", RELAY_CASE_RELAY_SHIP_DELAY},
	{"relay-check-data-before-delete", RELAY_CASE_RELAY_CHECK_DATA_BEFORE_DELETE},
	{"relay-pidfile", RELAY_CASE_RELAY_PIDFILE},
	{"relay-read-threads", RELAY_CASE_RELAY_READ_THREAD_COUNT},
	{"relay-read-mode", RELAY_CASE_RELAY_READ_MODE},
	{"relay-do-version-check", RELAY_CASE_RELAY_DO_VERSION_CHECK},
	{"}", RELAY_CASE_CONTEXT_END},
};

const relay_cfg_opt RELAY_DC_OPTS[NUM_RELAY_DC_OPTS] = {
	{"{", RELAY_CASE_CONTEXT_BEGIN},
	{"dc-node-address-port", RELAY_CASE_DC_NODE_ADDRESS_PORT},
	{"dc-int-ext-ipmap", RELAY_CASE_DC_INT_EXT_IPMAP},
	{"}", RELAY_CASE_CONTEXT_END},
};

/*
 * A short-form CRITICAL raises SIGINT, whose default action ends the process.
 * Should the signal return (a handler or a test that ignores it), the parse
 * still stops at this first error.
 */
static bool s_parse_failed;
/* A "group" line was read: the user's primary group no longer applies. */
static bool s_group_given;

#define relay_cfg_crash(ctx, ...)                                \
	do {                                                     \
		ox_crash_nostack((ctx), OX_GLOBAL, __VA_ARGS__); \
		s_parse_failed = true;                           \
	} while (0)

void
ferry_config_defaults(ferry_config *c)
{
	c->ferry_global_enabled = false;
	c->uid = 0;
	c->gid = 0;
	c->ferry_info_port = 0;
	c->ferry_digestlog_overwrite = true;
	c->ferry_digestlog_persist = true;
	c->ferry_num_digestlog_paths = 0;
	c->ferry_digestpipe_fd = -1;
	c->ferry_local_port = 0;
	c->ferry_write_batch_size = 100;
	c->ferry_max_recs_inflight = 500;
	c->ferry_read_batch_size = 500;
	c->ferry_timeout = 30000;
	c->ferry_threads = 3;
	c->ferry_forward_ferrywrites = 0;
	c->ferry_stop_writes_noferry = 0;
	c->ferry_internal_shipping_delay = 0;
	c->ferry_flag.store(0);
	c->ferry_new_cfg.ferry_write_batch_size = 100;
	c->ferry_new_cfg.ferry_max_recs_inflight = 500;
	c->ferry_new_cfg.ferry_read_batch_size = 500;
	c->ferry_new_cfg.ferry_threads = 3;
	c->ferry_new_cfg.ferry_read_mode = FERRY_MODE_BATCH_GET;
	c->ferry_new_cfg.ferry_read_threads = 1;
	c->ferry_shipping_enabled = true;
	c->ferry_delete_shipping_enabled = true;
	c->ferry_nsup_deletes_enabled = false;
	c->ferry_hotkey_maxskip = 5;
	c->ferry_batch_retry_sleep = 0;
	c->ferry_batch_num_retry = 0;
	c->ferry_fwd_with_gencheck = false;
	c->ferry_check_data_before_delete = false;
	c->ferry_info_request_timeout_ms = 500;
	c->ferry_compression_threshold = 0;
	c->ferry_read_threads = 1;
	c->ferry_read_mode = FERRY_MODE_BATCH_GET;
	c->ferry_do_version_check = false;
}

static void
free_text_vector(ox_vector **vp, bool node_pairs, bool map_pairs)
{
	ox_vector *v = *vp;
	if (!v) {
		return;
	}
	for (uint32_t i = 0; i < ox_vector_size(v); i++) {
		void *p = ox_vector_pointer_get(v, i);
		if (node_pairs) {
			ox_free(((node_addr_port *)p)->node_addr);
		} else if (map_pairs) {
			ox_free(((ka_addrmap *)p)->orig);
			ox_free(((ka_addrmap *)p)->alt);
		}
		ox_free(p);
	}
	ox_vector_destroy(v);
	*vp = nullptr;
}

void
ferry_config_clear_tables(void)
{
	for (int i = 0; i < NAMESPACE_MAX_NUM; i++) {
		ns_config_opt *ns = &g_ns_xcfg_opt[i];
		ox_free(ns->ns_name);
		ns->ns_name = nullptr;
		ns->ns_id = 0;
		ns->ferry_enabled = false;
		ns->default_ttl = 0;
		ns->max_ttl = 0;
		free_text_vector(&ns->ns_dclist_v, false, false);
		for (int d = 0; d < DC_MAX_NUM; d++) {
			ns->ns_dc_ids[d] = -1;
		}
	}
	for (int i = 0; i < DC_MAX_NUM; i++) {
		dc_config_opt *dc = &g_dc_xcfg_opt[i];
		ox_free(dc->dc_name);
		dc->dc_name = nullptr;
		free_text_vector(&dc->dc_node_v, true, false);
		free_text_vector(&dc->dc_addr_map_v, false, true);
		g_rcfg[i].asc = nullptr;
		g_rcfg[i].dc_inuse = false;
	}
	g_ns_count = 0;
	g_dc_count = 0;
}

void
ferry_config_release(ferry_config *c)
{
	char **texts[] = {&c->ferry_digestpipe_path, &c->ferry_digestlog_path[0], &c->ferry_errorlog_path,
		&c->ferry_pidfile, &c->ferry_read_mode_string};
	for (char **t : texts) {
		ox_free(*t);
		*t = nullptr;
	}
	c->ferry_digestlog_file_size[0] = 0;
	ferry_config_clear_tables();
	ferry_config_defaults(c);
}

/* ---- Value readers ------------------------------------------------------ */

bool
relay_cfg_bool(relay_cfg_line *l)
{
	const char *v = l->val_tok_1;
	if (*v == '\0') {
		relay_cfg_crash(QM_FERRY, "line %d :: %s must be true or false or yes or no", l->num,
				l->name_tok);
		return false;
	}
	if (strcasecmp(v, "true") == 0 || strcasecmp(v, "yes") == 0) {
		return true;
	}
	if (strcasecmp(v, "false") == 0 || strcasecmp(v, "no") == 0) {
		return false;
	}
	relay_cfg_crash(QM_FERRY, "line %d :: %s must be true or false or yes or no, not %s", l->num,
			l->name_tok, v);
	return false;
}

int64_t
relay_cfg_i64_anyval_no_checks(relay_cfg_line *l, char *val_tok)
{
	if (*val_tok == '\0') {
		relay_cfg_crash(QM_FERRY, "line %d :: %s must specify an integer value", l->num,
				l->name_tok);
		return 0;
	}
	int64_t value = 0;
	int rv = ox_str_atoi_64_checked(val_tok, &value);
	if (rv == ATOI_OVERFLOW) {
		relay_cfg_crash(QM_FERRY, "line %d :: %s %s overflows", l->num, l->name_tok, val_tok);
		return 0;
	}
	if (rv != 0) {
		relay_cfg_crash(QM_FERRY, "line %d :: %s must be a number, not %s", l->num, l->name_tok,
				val_tok);
		return 0;
	}
	return value;
}

static int32_t
relay_cfg_int_anyval(relay_cfg_line *l, char *val_tok, bool checked, int32_t min, int32_t max)
{
	int64_t value = relay_cfg_i64_anyval_no_checks(l, val_tok);
	if (s_parse_failed) {
		return 0;
	}
	if (value < INT32_MIN || value > INT32_MAX) {
		relay_cfg_crash(QM_FERRY, "line %d :: %s %ld overflows int", l->num, l->name_tok,
				(long)value);
		return 0;
	}
	if (checked && (value < min || value > max)) {
		relay_cfg_crash(QM_FERRY, "line %d :: %s must be >= %d and <= %d, not %d", l->num,
				l->name_tok, min, max, (int32_t)value);
		return 0;
	}
	return (int32_t)value;
}

int32_t
relay_cfg_int(relay_cfg_line *l, int32_t min, int32_t max)
{
	return relay_cfg_int_anyval(l, l->val_tok_1, true, min, max);
}

int32_t
relay_cfg_int_val2(relay_cfg_line *l, int32_t min, int32_t max)
{
	return relay_cfg_int_anyval(l, l->val_tok_2, true, min, max);
}

int32_t
relay_cfg_int_no_checks(relay_cfg_line *l)
{
	return relay_cfg_int_anyval(l, l->val_tok_1, false, 0, 0);
}

int32_t
relay_cfg_int_val2_no_checks(relay_cfg_line *l)
{
	return relay_cfg_int_anyval(l, l->val_tok_2, false, 0, 0);
}

uint64_t
relay_cfg_u64_anyval_no_checks(relay_cfg_line *l, char *val_tok)
{
	if (*val_tok == '\0') {
		relay_cfg_crash(QM_FERRY, "line %d :: %s must specify an unsigned integer value", l->num,
				l->name_tok);
		return 0;
	}
	uint64_t value = 0;
	int rv = ox_str_atoi_u64_checked(val_tok, &value);
	if (rv == ATOI_OVERFLOW) {
		relay_cfg_crash(QM_FERRY, "line %d :: %s %s overflows", l->num, l->name_tok, val_tok);
		return 0;
	}
	if (rv != 0) {
		relay_cfg_crash(QM_FERRY, "line %d :: %s must be an unsigned number, not %s", l->num,
				l->name_tok, val_tok);
		return 0;
	}
	return value;
}

uint64_t
relay_cfg_u64_no_checks(relay_cfg_line *l)
{
	return relay_cfg_u64_anyval_no_checks(l, l->val_tok_1);
}

uint64_t
relay_cfg_u64_val2_no_checks(relay_cfg_line *l)
{
	return relay_cfg_u64_anyval_no_checks(l, l->val_tok_2);
}

uint64_t
relay_cfg_seconds(relay_cfg_line *l)
{
	if (*l->val_tok_1 == '\0') {
		relay_cfg_crash(QM_FERRY,
				"line %d :: %s must specify an unsigned integer value with time unit (s, m, h, or d)",
				l->num, l->name_tok);
		return 0;
	}
	uint64_t value = 0;
	int rv = ox_str_atoi_seconds_checked(l->val_tok_1, &value);
	if (rv == ATOI_OVERFLOW) {
		relay_cfg_crash(QM_FERRY, "line %d :: %s %s overflows", l->num, l->name_tok, l->val_tok_1);
		return 0;
	}
	if (rv != 0) {
		relay_cfg_crash(QM_FERRY,
				"line %d :: %s must be an unsigned number with time unit (s, m, h, or d), not %s",
				l->num, l->name_tok, l->val_tok_1);
		return 0;
	}
	return value;
}

char *
relay_cfg_strdup_anyval(relay_cfg_line *l, const char *val_tok)
{
	char *s = ox_strdup(val_tok);
	if (!s) {
		relay_cfg_crash(QM_FERRY, "line %d :: failed alloc for %s: %s", l->num, l->name_tok,
				val_tok);
	}
	return s;
}

char *
relay_cfg_strdup(relay_cfg_line *l)
{
	return relay_cfg_strdup_anyval(l, l->val_tok_1);
}

char *
relay_cfg_strdup_val2(relay_cfg_line *l)
{
	return relay_cfg_strdup_anyval(l, l->val_tok_2);
}

/* A key given twice keeps its last value; the earlier copy is released. */
static void
relay_cfg_set_text(char **field, char *copy)
{
	if (copy) {
		ox_free(*field);
		*field = copy;
	}
}

/* ---- Parser steps ------------------------------------------------------- */

void
relay_cfg_parser_state_init(relay_cfg_parser_state *p)
{
	p->current = GLOBAL;
	for (auto &s : p->stack) {
		s = GLOBAL;
	}
	p->depth = 0;
}

relay_cfg_case_id
relay_cfg_find_tok(const char *tok, const relay_cfg_opt opts[], int num_opts)
{
	for (int i = 0; i < num_opts; i++) {
		if (strcmp(tok, opts[i].tok) == 0) {
			return opts[i].case_id;
		}
	}
	return RELAY_CASE_NOT_FOUND;
}

void
relay_cfg_begin_context(relay_cfg_parser_state *p, relay_parser_state context)
{
	if (p->depth + 1 >= (int32_t)(sizeof(p->stack) / sizeof(p->stack[0]))) {
		relay_cfg_crash(QM_FERRY, "parsing - context too deep");
		return;
	}
	if (context < GLOBAL || context >= PARSER_STATE_MAX_PLUS_1) {
		relay_cfg_crash(QM_FERRY, "parsing - unknown context");
		return;
	}
	relay_parser_state prev = p->current;
	p->stack[++p->depth] = context;
	p->current = context;
	ox_detail(QM_FERRY, "begin context: %s -> %s", RELAY_PARSER_STATES[prev],
			RELAY_PARSER_STATES[context]);
}

void
relay_cfg_end_context(relay_cfg_parser_state *p)
{
	if (p->depth - 1 < 0) {
		relay_cfg_crash(QM_FERRY, "parsing - can't end context depth 0");
		return;
	}
	relay_parser_state closed = p->current;
	p->current = p->stack[--p->depth];
	ox_detail(QM_FERRY, "end context: %s -> %s", RELAY_PARSER_STATES[closed],
			RELAY_PARSER_STATES[p->current]);
}

void
relay_cfg_unknown_name_tok(const relay_cfg_line *l)
{
	relay_cfg_crash(QM_FERRY, "line %d :: unknown config parameter name '%s'", l->num, l->name_tok);
}

/* Appends p to *vp, making the vector on first use; false on failure, after
 * the CRITICAL with the given text. */
static bool
relay_cfg_append(ox_vector **vp, void *p, const char *vector_fail)
{
	if (!*vp) {
		*vp = ox_vector_create(sizeof(void *), 10, 0);
		if (!*vp) {
			ox_crash(QM_FERRY, OX_GLOBAL, "%s", vector_fail);
			s_parse_failed = true;
			return false;
		}
	}
	if (ox_vector_pointer_append(*vp, p) != 0) {
		ox_crash(QM_FERRY, OX_GLOBAL, "%s", vector_fail);
		s_parse_failed = true;
		return false;
	}
	return true;
}

void
relay_cfg_add_datacenter(relay_cfg_line *l, char *name)
{
	ns_config_opt *ns = &g_ns_xcfg_opt[g_ns_count];
	// Each list position needs its slot in ns_dc_ids.
	if (ns->ns_dclist_v && ox_vector_size(ns->ns_dclist_v) >= DC_MAX_NUM) {
		relay_cfg_crash(QM_FERRY, "line %d :: too many datacenters for namespace %s, at most %d are allowed",
				l->num, ns->ns_name ? ns->ns_name : "", DC_MAX_NUM);
		ox_free(name);
		return;
	}
	if (!relay_cfg_append(&ns->ns_dclist_v, name,
			"unable to allocate vector for datacenter list for namespace")) {
		ox_free(name);
	}
}

void
relay_cfg_add_node_addr_port(char *addr, int32_t port)
{
	dc_config_opt *dc = &g_dc_xcfg_opt[g_dc_count];
	auto *nap = (node_addr_port *)ox_malloc(sizeof(node_addr_port));
	if (!nap) {
		ox_free(addr);
		ox_crash(QM_FERRY, OX_GLOBAL, "unable to allocate memory for node details");
		s_parse_failed = true;
		return;
	}
	nap->node_addr = addr;
	nap->node_port = port;
	if (!relay_cfg_append(&dc->dc_node_v, nap, "unable to allocate vector for node list")) {
		ox_free(addr);
		ox_free(nap);
	}
}

void
relay_cfg_add_addr_map(char *orig, char *alt)
{
	dc_config_opt *dc = &g_dc_xcfg_opt[g_dc_count];
	auto *pair = (ka_addrmap *)ox_malloc(sizeof(ka_addrmap));
	if (!pair) {
		ox_free(orig);
		ox_free(alt);
		ox_crash(QM_FERRY, OX_GLOBAL, "unable to allocate memory for IP mapping");
		s_parse_failed = true;
		return;
	}
	pair->orig = orig;
	pair->alt = alt;
	if (!relay_cfg_append(&dc->dc_addr_map_v, pair, "unable to allocate vector for IP map list")) {
		ox_free(orig);
		ox_free(alt);
		ox_free(pair);
	}
}

/* ---- The parse ---------------------------------------------------------- */

static void
relay_cfg_global_line(relay_cfg_parser_state *p, relay_cfg_line *l)
{
	switch (relay_cfg_find_tok(l->name_tok, RELAY_GLOBAL_OPTS, NUM_RELAY_GLOBAL_OPTS)) {
	case RELAY_CASE_SERVICE_BEGIN:
		relay_cfg_begin_context(p, SERVICE);
		break;
	case RELAY_CASE_RELAY_BEGIN:
		relay_cfg_begin_context(p, RELAY);
		break;
	case RELAY_CASE_NAMESPACE_BEGIN: {
		if (g_ns_count >= NAMESPACE_MAX_NUM - 1) {
			relay_cfg_crash(QM_FERRY, "line %d :: too many namespaces, at most %d are allowed",
					l->num, NAMESPACE_MAX_NUM - 1);
			return;
		}
		char *name = relay_cfg_strdup(l);
		if (!name) {
			return;
		}
		g_ns_count++;
		g_ns_xcfg_opt[g_ns_count].ns_id = g_ns_count;
		relay_cfg_set_text(&g_ns_xcfg_opt[g_ns_count].ns_name, name);
		relay_cfg_begin_context(p, NAMESPACE);
		break;
	}
	default:
		break; // the server's own keys
	}
}

static void
relay_cfg_service_line(relay_cfg_parser_state *p, ferry_config *c, relay_cfg_line *l)
{
	switch (relay_cfg_find_tok(l->name_tok, RELAY_SERVICE_OPTS, NUM_RELAY_SERVICE_OPTS)) {
	case RELAY_CASE_SERVICE_USER: {
		struct passwd *pw = getpwnam(l->val_tok_1);
		if (!pw) {
			endpwent();
			relay_cfg_crash(QM_CFG, "line %d :: user not found: %s", l->num, l->val_tok_1);
			return;
		}
		c->uid = pw->pw_uid;
		// A user without a group of its own runs in its primary group, not
		// in root's; a "group" line, before or after, decides instead.
		if (!s_group_given) {
			c->gid = pw->pw_gid;
		}
		endpwent();
		break;
	}
	case RELAY_CASE_SERVICE_GROUP: {
		struct group *gr = getgrnam(l->val_tok_1);
		if (!gr) {
			endgrent();
			relay_cfg_crash(QM_CFG, "line %d :: group not found: %s", l->num, l->val_tok_1);
			return;
		}
		c->gid = gr->gr_gid;
		s_group_given = true;
		endgrent();
		break;
	}
	case RELAY_CASE_CONTEXT_END:
		relay_cfg_end_context(p);
		break;
	default:
		break;
	}
}

static void
relay_cfg_namespace_line(relay_cfg_parser_state *p, relay_cfg_line *l)
{
	ns_config_opt *ns = &g_ns_xcfg_opt[g_ns_count];
	switch (relay_cfg_find_tok(l->name_tok, RELAY_NS_OPTS, NUM_RELAY_NS_OPTS)) {
	case RELAY_CASE_NS_ENABLE_RELAY:
		ns->ferry_enabled = relay_cfg_bool(l);
		break;
	case RELAY_CASE_NS_RELAY_REMOTE_DATACENTER: {
		char *name = relay_cfg_strdup(l);
		if (name) {
			relay_cfg_add_datacenter(l, name);
		}
		break;
	}
	case RELAY_CASE_NS_DEFAULT_TTL:
		ns->default_ttl = relay_cfg_seconds(l);
		break;
	case RELAY_CASE_NS_MAX_TTL:
		ns->max_ttl = relay_cfg_seconds(l);
		break;
	case RELAY_CASE_CONTEXT_END:
		relay_cfg_end_context(p);
		break;
	default:
		break;
	}
}

static void
relay_cfg_errorlog(ferry_config *c, relay_cfg_line *l)
{
	char *path = relay_cfg_strdup(l);
	if (!path) {
		return;
	}
	relay_cfg_set_text(&c->ferry_errorlog_path, path);
	ox_fault_sink *sink = ox_fault_sink_hold(path);
	if (!sink) {
		relay_cfg_crash(QM_FERRY, "can't add file %s as errorlog", path);
		return;
	}
	g_faultsink = sink;
	const char *level = l->val_tok_2;
	if (*level != '\0') {
		if (ox_fault_sink_addcontext(sink, "any", level) != 0) {
			relay_cfg_crash(QM_FERRY, "can't set log level %s", level);
			return;
		}
		if (strncasecmp(level, "debug", 5) == 0) {
			tamberlin_set_debug(true);
		}
	}
}

static void
relay_cfg_digestlog(ferry_config *c, relay_cfg_line *l)
{
	if (c->ferry_num_digestlog_paths >= FERRY_MAX_DGLOG_FILES) {
		relay_cfg_crash(QM_FERRY, "line %d :: %s given more than once, only %d digest log is supported",
				l->num, l->name_tok, FERRY_MAX_DGLOG_FILES);
		return;
	}
	uint64_t size = relay_cfg_u64_val2_no_checks(l);
	if (s_parse_failed) {
		return;
	}
	if (size < FERRY_MIN_DIGESTLOG_SIZE || size > (uint64_t)INT64_MAX) {
		relay_cfg_crash(QM_FERRY, "line %d :: %s must be >= %lu and <= %lu, not %lu", l->num,
				l->name_tok, (unsigned long)FERRY_MIN_DIGESTLOG_SIZE, (unsigned long)INT64_MAX,
				(unsigned long)size);
		return;
	}
	char *path = relay_cfg_strdup(l);
	if (!path) {
		return;
	}
	int i = c->ferry_num_digestlog_paths;
	relay_cfg_set_text(&c->ferry_digestlog_path[i], path);
	c->ferry_digestlog_file_size[i] = size;
	c->ferry_num_digestlog_paths++;
}

static void
relay_cfg_relay_line(relay_cfg_parser_state *p, ferry_config *c, relay_cfg_line *l)
{
	switch (relay_cfg_find_tok(l->name_tok, RELAY_OPTS, NUM_RELAY_OPTS)) {
	case RELAY_CASE_CONTEXT_BEGIN:
	case RELAY_CASE_FORWARD_RELAY_WRITES:
	case RELAY_CASE_STOP_WRITES_NORELAY:
	case RELAY_CASE_RELAY_DELETE_SHIPPING_ENABLED:
	case RELAY_CASE_RELAY_NSUP_DELETES_ENABLED:
		break; // accepted for the server's sake; the value is not read
	case RELAY_CASE_ENABLE_RELAY:
		c->ferry_global_enabled = relay_cfg_bool(l);
		break;
	case RELAY_CASE_NAMEDPIPE_PATH:
		relay_cfg_set_text(&c->ferry_digestpipe_path, relay_cfg_strdup(l));
		break;
	case RELAY_CASE_DIGESTLOG_PATH:
		relay_cfg_digestlog(c, l);
		break;
	case RELAY_CASE_ERRORLOG_PATH:
		relay_cfg_errorlog(c, l);
		break;
	case RELAY_CASE_LOCAL_NODE_PORT:
		c->ferry_local_port = relay_cfg_int(l, FERRY_RANGE_PORT);
		break;
	case RELAY_CASE_INFO_PORT:
		c->ferry_info_port = relay_cfg_int(l, FERRY_RANGE_PORT);
		break;
	case RELAY_CASE_DATACENTER_BEGIN: {
		if (g_dc_count >= DC_MAX_NUM) {
			relay_cfg_crash(QM_FERRY, "line %d :: too many datacenters, at most %d are allowed",
					l->num, DC_MAX_NUM);
			return;
		}
		char *name = relay_cfg_strdup(l);
		if (!name) {
			return;
		}
		relay_cfg_set_text(&g_dc_xcfg_opt[g_dc_count].dc_name, name);
		relay_cfg_begin_context(p, RELAY_DATACENTER);
		break;
	}
	// Zero or negative values here would later divide by zero, allocate
	// nothing or sleep for ever: they are refused with the range message.
	case RELAY_CASE_MAX_RECS_INFLIGHT:
		c->ferry_max_recs_inflight = relay_cfg_int(l, FERRY_RANGE_INFLIGHT);
		break;
	case RELAY_CASE_DIGESTLOG_OVERWRITE:
		c->ferry_digestlog_overwrite = relay_cfg_bool(l);
		break;
	case RELAY_CASE_DIGESTLOG_PERSIST:
		c->ferry_digestlog_persist = relay_cfg_bool(l);
		break;
	case RELAY_CASE_THREADS:
		c->ferry_threads = relay_cfg_int(l, FERRY_RANGE_THREADS);
		break;
	case RELAY_CASE_TIMEOUT:
		// A timeout of 0 would let a send to a datacenter that went away
		// wait for ever.
		c->ferry_timeout = relay_cfg_int(l, FERRY_RANGE_TIMEOUT);
		break;
	// Retries and their sleep count from 0; a negative sleep would become an
	// unsigned sleep of decades.
	case RELAY_CASE_RELAY_BATCH_NUM_RETRY:
		c->ferry_batch_num_retry = relay_cfg_int(l, FERRY_RANGE_RETRY);
		break;
	case RELAY_CASE_RELAY_BATCH_RETRY_SLEEP:
		c->ferry_batch_retry_sleep = relay_cfg_int(l, FERRY_RANGE_RETRY);
		break;
	case RELAY_CASE_RELAY_FORWARD_WITH_GENCHECK:
		c->ferry_fwd_with_gencheck = relay_cfg_bool(l);
		break;
	case RELAY_CASE_RELAY_HOTKEY_MAXSKIP:
		c->ferry_hotkey_maxskip = relay_cfg_int(l, FERRY_RANGE_HOTKEY_MAXSKIP);
		break;
	case RELAY_CASE_RELAY_SHIPPING_ENABLED:
		c->ferry_shipping_enabled = relay_cfg_bool(l);
		break;
	case RELAY_CASE_RELAY_INFO_TIMEOUT:
		c->ferry_info_request_timeout_ms = relay_cfg_int(l, FERRY_RANGE_INFO_TIMEOUT);
		break;
	case RELAY_CASE_RELAY_COMPRESSION_THRESHOLD:
		c->ferry_compression_threshold = relay_cfg_int(l, FERRY_RANGE_COMPRESSION);
		break;
	case RELAY_CASE_RELAY_WRITE_BATCH_SIZE:
		c->ferry_write_batch_size = relay_cfg_int(l, FERRY_RANGE_BATCH_SIZE);
		break;
	case RELAY_CASE_RELAY_READ_BATCH_SIZE:
		c->ferry_read_batch_size = relay_cfg_int(l, FERRY_RANGE_BATCH_SIZE);
		break;
	case RELAY_CASE_RELAY_SHIP_DELAY:
		c->ferry_internal_shipping_delay = relay_cfg_int(l, FERRY_RANGE_SHIP_DELAY);
		break;
	case RELAY_CASE_RELAY_CHECK_DATA_BEFORE_DELETE:
		c->ferry_check_data_before_delete = relay_cfg_bool(l);
		break;
	case RELAY_CASE_RELAY_PIDFILE:
		relay_cfg_set_text(&c->ferry_pidfile, relay_cfg_strdup(l));
		break;
	case RELAY_CASE_RELAY_READ_THREAD_COUNT:
		c->ferry_read_threads = relay_cfg_int_no_checks(l);
		c->ferry_new_cfg.ferry_read_threads = c->ferry_read_threads;
		break;
	case RELAY_CASE_RELAY_READ_MODE:
		relay_cfg_set_text(&c->ferry_read_mode_string, relay_cfg_strdup(l));
		break;
	case RELAY_CASE_RELAY_DO_VERSION_CHECK:
		c->ferry_do_version_check = relay_cfg_bool(l);
		break;
	case RELAY_CASE_CONTEXT_END:
		relay_cfg_end_context(p);
		break;
	default:
		relay_cfg_unknown_name_tok(l);
		break;
	}
}

static void
relay_cfg_datacenter_line(relay_cfg_parser_state *p, relay_cfg_line *l)
{
	switch (relay_cfg_find_tok(l->name_tok, RELAY_DC_OPTS, NUM_RELAY_DC_OPTS)) {
	case RELAY_CASE_CONTEXT_BEGIN:
		break;
	case RELAY_CASE_DC_NODE_ADDRESS_PORT: {
		int32_t port = relay_cfg_int_val2(l, FERRY_RANGE_PORT);
		if (s_parse_failed) {
			return;
		}
		char *addr = relay_cfg_strdup(l);
		if (addr) {
			relay_cfg_add_node_addr_port(addr, port);
		}
		break;
	}
	case RELAY_CASE_DC_INT_EXT_IPMAP: {
		char *alt = relay_cfg_strdup_val2(l);
		if (!alt) {
			return;
		}
		char *orig = relay_cfg_strdup(l);
		if (!orig) {
			ox_free(alt);
			return;
		}
		relay_cfg_add_addr_map(orig, alt);
		break;
	}
	case RELAY_CASE_CONTEXT_END:
		g_dc_count++;
		relay_cfg_end_context(p);
		break;
	default:
		relay_cfg_unknown_name_tok(l);
		break;
	}
}

/* Opens the configuration file, or ends the process. */
static FILE *
relay_cfg_open(const char *config_file)
{
	FILE *f = fopen(config_file, "r");
	if (!f) {
		relay_cfg_crash(QM_FERRY, "couldn't open configuration file %s: %s ... aborting", config_file,
				ox_strerror(errno));
	}
	return f;
}

void
read_configfile_ferrysection(ferry_config *c, const char *config_file)
{
	ferry_config_defaults(c);
	s_parse_failed = false;
	s_group_given = false;
	FILE *f = relay_cfg_open(config_file);
	if (!f) {
		return;
	}

	relay_cfg_parser_state p;
	relay_cfg_parser_state_init(&p);
	char buf[512];
	int32_t line_num = 0;
	bool comment_tail = false; // the rest of a physical line whose comment began earlier

	for (;;) {
		// Zeroed first, so that a newline anywhere in the buffer is the one
		// fgets stopped at, even when a NUL byte in the line hides it from
		// strlen.
		memset(buf, 0, sizeof(buf));
		if (s_parse_failed || !fgets(buf, sizeof(buf), f)) {
			break;
		}
		line_num++;
		bool ends_line = memchr(buf, '\n', sizeof(buf)) != nullptr;
		if (comment_tail) {
			comment_tail = !ends_line;
			continue;
		}
		char *hash = strchr(buf, '#');
		if (hash) {
			*hash = '\0';
			comment_tail = !ends_line;
		}

		char *save = nullptr;
		char empty[1] = {'\0'};
		char *name = strtok_r(buf, RELAY_CFG_WHITESPACE, &save);
		if (!name) {
			continue;
		}
		char *v1 = strtok_r(nullptr, RELAY_CFG_WHITESPACE, &save);
		char *v2 = v1 ? strtok_r(nullptr, RELAY_CFG_WHITESPACE, &save) : nullptr;
		relay_cfg_line l = {line_num, name, v1 ? v1 : empty, v2 ? v2 : empty};
		ox_detail(QM_FERRY, "line %d :: %s %s %s", l.num, l.name_tok, l.val_tok_1, l.val_tok_2);

		switch (p.current) {
		case GLOBAL:
			relay_cfg_global_line(&p, &l);
			break;
		case SERVICE:
			relay_cfg_service_line(&p, c, &l);
			break;
		case NAMESPACE:
			relay_cfg_namespace_line(&p, &l);
			break;
		case RELAY:
			relay_cfg_relay_line(&p, c, &l);
			break;
		case RELAY_DATACENTER:
			relay_cfg_datacenter_line(&p, &l);
			break;
		default:
			relay_cfg_crash(QM_FERRY, "line %d :: invalid parser top-level state %d", l.num,
					(int)p.current);
			break;
		}
	}
	fclose(f);
}

void
ferry_dump_configfile(const char *config_file)
{
	FILE *f = relay_cfg_open(config_file);
	if (!f) {
		return;
	}
	char buf[512];
	while (fgets(buf, sizeof(buf), f)) {
		size_t len = strlen(buf);
		if (len > 0 && buf[len - 1] == '\n') {
			buf[--len] = '\0';
		}
		if (len > 0 && buf[len - 1] == '\r') {
			buf[--len] = '\0';
		}
		ox_info(QM_FERRY, "%s", buf);
	}
	fclose(f);
}

/* ---- Checks ------------------------------------------------------------- */

int
ferry_basic_checks(ferry_config *c)
{
	if (c->ferry_read_threads < 1 || c->ferry_read_threads > FERRY_MAX_BATCH_THREAD_CNT) {
		ox_crash(QM_CFG, OX_GLOBAL, "Invalid Batch Thread Count %d. It should be >=1 and <=%d... Aborting",
				c->ferry_read_threads, FERRY_MAX_BATCH_THREAD_CNT);
		return -1;
	}
	if (c->ferry_read_mode_string) {
		if (strncmp(c->ferry_read_mode_string, "single", 6) == 0) {
			c->ferry_read_mode = FERRY_MODE_SINGLE_RECORD_GET;
		} else if (strncmp(c->ferry_read_mode_string, "batch", 5) == 0) {
			c->ferry_read_mode = FERRY_MODE_BATCH_GET;
		} else {
			ox_crash(QM_CFG, OX_GLOBAL,
					"relay-read-mode option invalid, must be 'single' or 'batch' instead of %s... Aborting",
					c->ferry_read_mode_string);
			return -1;
		}
	}
	return 0;
}

static int
ferry_check_datacenters(void)
{
	if (g_dc_count == 0) {
		ox_crash(QM_FERRY, OX_GLOBAL, "No datacenters are configured");
		return -1;
	}
	ox_info(QM_FERRY, "Found total %d datacenters", g_dc_count);
	for (int i = 0; i < g_dc_count; i++) {
		dc_config_opt *dc = &g_dc_xcfg_opt[i];
		if (!dc->dc_name || dc->dc_name[0] == '\0') {
			ox_crash(QM_FERRY, OX_GLOBAL, "Name of datacenter is missing");
			return -1;
		}
		if (strcmp(dc->dc_name, "{") == 0) {
			ox_crash(QM_FERRY, OX_GLOBAL, "Name of datacenter is illegal - '{'");
			return -1;
		}
		// Without a seed the start-up would wait for this cluster for ever.
		uint32_t nseeds = dc->dc_node_v ? ox_vector_size(dc->dc_node_v) : 0;
		if (nseeds == 0) {
			ox_crash(QM_FERRY, OX_GLOBAL,
					"In datacenter '%s', address is missing in the config option 'dc-node-address-port'",
					dc->dc_name);
			return -1;
		}
		for (uint32_t s = 0; s < nseeds; s++) {
			auto *nap = (node_addr_port *)ox_vector_pointer_get(dc->dc_node_v, s);
			if (!nap->node_addr || nap->node_addr[0] == '\0') {
				ox_crash(QM_FERRY, OX_GLOBAL,
						"In datacenter '%s', address is missing in the config option 'dc-node-address-port'",
						dc->dc_name);
				return -1;
			}
			if (nap->node_port == 0) {
				ox_crash(QM_FERRY, OX_GLOBAL,
						"In datacenter '%s', port is missing in the config option 'dc-node-address-port'",
						dc->dc_name);
				return -1;
			}
		}
	}
	return 0;
}

static int
ferry_check_namespaces(void)
{
	ox_info(QM_FERRY, "Found total %d namespaces", g_ns_count);
	for (int n = 1; n <= g_ns_count; n++) {
		ns_config_opt *ns = &g_ns_xcfg_opt[n];
		// The parse always stores a name; a table filled otherwise must not
		// reach printf with a null text.
		const char *ns_name = ns->ns_name ? ns->ns_name : "";
		uint32_t nlist = ns->ns_dclist_v ? ox_vector_size(ns->ns_dclist_v) : 0;
		ox_info(QM_FERRY, "Namespace %s is set to replicated to...", ns_name);
		for (uint32_t i = 0; i < nlist; i++) {
			ox_info(QM_FERRY, "DC: %s", (char *)ox_vector_pointer_get(ns->ns_dclist_v, i));
		}
		if (!ns->ferry_enabled) {
			ox_info(QM_FERRY, "RELAY is not enabled for the namespace %s's", ns_name);
		} else if (nlist == 0) {
			ox_crash(QM_FERRY, OX_GLOBAL,
					"RELAY is enabled but no datacenter is specified for the namespace '%s'",
					ns_name);
			return -1;
		}
		for (uint32_t i = 0; i < nlist; i++) {
			auto *name = (char *)ox_vector_pointer_get(ns->ns_dclist_v, i);
			int found = -1;
			for (int d = 0; d < g_dc_count && found < 0; d++) {
				if (strcmp(name, g_dc_xcfg_opt[d].dc_name) == 0) {
					found = d;
				}
			}
			if (found < 0) {
				ox_crash(QM_FERRY, OX_GLOBAL, "Namespace '%s' has illegal datacenter setting '%s'",
						ns_name, name);
				return -1;
			}
			ns->ns_dc_ids[i] = found;
			g_rcfg[found].dc_inuse = true;
		}
	}
	return 0;
}

int
ferry_config_checks(ferry_config *c)
{
	if (ferry_basic_checks(c) != 0 || ferry_check_datacenters() != 0 || ferry_check_namespaces() != 0) {
		return -1;
	}
	if (!c->ferry_global_enabled) {
		ox_info(QM_FERRY, "FERRY is not enabled");
		fprintf(stderr, "FERRY is not enabled\n");
		exit(0);
	}
	const char *missing = nullptr;
	if (!c->ferry_digestpipe_path || c->ferry_digestpipe_path[0] == '\0') {
		missing = "FERRY is enabled but 'namedpipe-path' config option is not set";
	} else if (c->ferry_num_digestlog_paths == 0 || !c->ferry_digestlog_path[0]) {
		missing = "FERRY is enabled but 'digestlog-path' config option is not set";
	} else if (c->ferry_local_port == 0) {
		missing = "FERRY is enabled but 'local-node-port' config option is not set";
	} else if (c->ferry_digestlog_file_size[0] == 0) {
		missing = "Ring buffer file size is not mentioned";
	} else if (c->ferry_info_port == 0) {
		missing = "FERRY is enabled but 'info-port' config option is not set";
	}
	if (missing) {
		ox_crash(QM_FERRY, OX_GLOBAL, "%s", missing);
		return -1;
	}
	return 0;
}
