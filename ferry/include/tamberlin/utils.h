/*
 * utils: the shipper's configuration.
 *
 * The shipper has no file of its own: it reads the database server's
 * configuration file and keeps only the "service", "namespace" and "relay"
 * (with "datacenter") contexts; everything else belongs to the server and is
 * skipped. The parse is a small state machine over whitespace-split pieces of
 * at most 511 characters; each context has a table of the names it knows.
 * Parse errors are CRITICAL lines in the short form (SIGINT, no handler is
 * installed yet), errors of the checks that follow are CRITICAL in the full
 * form (abort). Both stop at the first error: nothing of a bad configuration
 * survives.
 *
 * Threads: the parse and the checks run on the main thread before any other
 * thread exists. Afterwards the configuration is read-only except for the
 * fields named next to `ferry_config`; the change bits in `ferry_flag` are
 * set by the info server's worker and each cleared by its owner alone, with
 * atomic OR / AND-NOT so no bit is lost.
 */
#pragma once

#include <atomic>
#include <cstdint>

#include "tamberlin/fault.h"
#include "tamberlin/ka_lookup.h"
#include "tamberlin/ox_vector.h"

#define FERRY_MAX_DGLOG_FILES 1
#define NAMESPACE_MAX_NUM 32 /* slot 0 unused: namespaces 1..31 */
#define NAMESPACE_MAX_SZ 32
#define DC_MAX_NUM 32
#define FERRY_MAX_BATCH_THREAD_CNT 64
#define RELAY_CFG_MIN_PORT 1024
#define RELAY_CFG_MAX_PORT 65535
#define RELAY_CFG_WHITESPACE " \t\n\r\f\v"

/* Largest write or read batch: a batch larger than the digest-log queue can
 * never fill, and its buffer must stay allocatable. */
#define FERRY_MAX_BATCH_SIZE 1000000
/* Shipping threads: the client runs at most this many receivers. */
#define FERRY_MAX_SHIP_THREADS 32

/* The ranges (min, max) an integer setting is held to, in the configuration
 * file and by set-config alike: 0 or a negative value would divide by zero,
 * allocate nothing, wait or sleep for ever. */
#define FERRY_RANGE_TIMEOUT 1, INT32_MAX
#define FERRY_RANGE_THREADS 1, FERRY_MAX_SHIP_THREADS
#define FERRY_RANGE_INFLIGHT 1, INT32_MAX
#define FERRY_RANGE_BATCH_SIZE 1, FERRY_MAX_BATCH_SIZE
#define FERRY_RANGE_READ_THREADS 1, FERRY_MAX_BATCH_THREAD_CNT
#define FERRY_RANGE_PORT RELAY_CFG_MIN_PORT, RELAY_CFG_MAX_PORT
#define FERRY_RANGE_SHIP_DELAY 0, INT32_MAX
#define FERRY_RANGE_HOTKEY_MAXSKIP 1, INT32_MAX
#define FERRY_RANGE_RETRY 0, INT32_MAX
#define FERRY_RANGE_INFO_TIMEOUT 1, INT32_MAX
#define FERRY_RANGE_COMPRESSION 0, INT32_MAX

/* Smallest digest log: the ring buffer needs a few segments of 8004 bytes to
 * keep the reader, the writer and the overwrite margin apart. */
#define FERRY_MIN_DIGESTLOG_SEGMENTS 7
#define FERRY_DIGESTLOG_SEGMENT_BYTES 8004
#define FERRY_MIN_DIGESTLOG_SIZE (FERRY_MIN_DIGESTLOG_SEGMENTS * FERRY_DIGESTLOG_SEGMENT_BYTES)

typedef enum {
	FERRY_MODE_BATCH_GET = 0,
	FERRY_MODE_SINGLE_RECORD_GET = 1
} ferry_mode;

/* Change bits in ferry_flag: a pending value waits in ferry_new_cfg. */
#define FERRY_WRITE_BATCH_SIZE_CHANGE 0x01   /* digest-log writer */
#define FERRY_MAX_RECS_INFLIGHT_CHANGE 0x02  /* digest-log reader */
#define FERRY_NUM_THREADS_CHANGE 0x04        /* digest-log reader */
#define FERRY_RECORD_GET_MODE_CHANGE 0x08    /* digest-log reader */
#define FERRY_RECORD_GET_THREADS_CHANGE 0x10 /* digest-log reader */
#define FERRY_READ_BATCH_SIZE_CHANGE 0x20    /* digest-log reader */

typedef struct ferry_new_config_s {
	int32_t ferry_write_batch_size;
	int32_t ferry_max_recs_inflight;
	int32_t ferry_read_batch_size;
	int32_t ferry_threads;
	int32_t ferry_read_mode;
	int32_t ferry_read_threads;
} ferry_new_config;

/*
 * The one process-wide configuration, g_xcfg. Texts are heap copies owned for
 * the life of the process. Written at run time: ferry_digestpipe_fd (pipe
 * reader, signal handler), ferry_read_mode and the live fields taken over from
 * ferry_new_cfg (writer, reader), ferry_flag, and the scalars of the info
 * server's set-config.
 */
typedef struct ferry_config_s {
	bool ferry_global_enabled;
	char *ferry_digestpipe_path;
	uint32_t uid;
	uint32_t gid;
	int32_t ferry_info_port;
	char *ferry_digestlog_path[FERRY_MAX_DGLOG_FILES];
	uint64_t ferry_digestlog_file_size[FERRY_MAX_DGLOG_FILES];
	bool ferry_digestlog_overwrite;
	bool ferry_digestlog_persist;
	uint8_t ferry_num_digestlog_paths;
	char *ferry_errorlog_path;
	int32_t ferry_digestpipe_fd;
	int32_t ferry_local_port;
	int32_t ferry_write_batch_size;
	int32_t ferry_max_recs_inflight;
	int32_t ferry_read_batch_size;
	int32_t ferry_timeout;
	int32_t ferry_nw_timeout;
	int32_t ferry_threads;
	int32_t ferry_forward_ferrywrites;
	int32_t ferry_stop_writes_noferry;
	int32_t ferry_internal_shipping_delay;
	std::atomic<int32_t> ferry_flag;
	ferry_new_config ferry_new_cfg;
	bool ferry_shipping_enabled;
	bool ferry_delete_shipping_enabled;
	bool ferry_nsup_deletes_enabled;
	int32_t ferry_hotkey_maxskip;
	int32_t ferry_batch_retry_sleep;
	int32_t ferry_batch_num_retry;
	bool ferry_fwd_with_gencheck;
	bool ferry_check_data_before_delete;
	int32_t ferry_info_request_timeout_ms;
	int32_t ferry_compression_threshold;
	char *ferry_pidfile;
	int32_t ferry_read_threads;
	ferry_mode ferry_read_mode;
	char *ferry_read_mode_string;
	bool ferry_do_version_check;
} ferry_config;

/* One namespace, g_ns_xcfg_opt[ns_id]. */
typedef struct ns_config_opt_s {
	char *ns_name;
	int32_t ns_id;
	bool ferry_enabled;
	uint64_t default_ttl;
	uint64_t max_ttl;
	ox_vector *ns_dclist_v;      /* char * datacenter names in file order; NULL until first */
	int32_t ns_dc_ids[DC_MAX_NUM]; /* datacenter number of each list position, -1 none */
} ns_config_opt;

typedef struct node_addr_port_s {
	char *node_addr;
	int32_t node_port;
} node_addr_port;

/* One datacenter, g_dc_xcfg_opt[number]. */
typedef struct dc_config_opt_s {
	char *dc_name;
	ox_vector *dc_node_v;     /* node_addr_port * seeds; NULL until first */
	ox_vector *dc_addr_map_v; /* ka_addrmap * pairs (orig -> alt), owned here; NULL until first */
} dc_config_opt;

/* Parser. */
typedef struct relay_cfg_line_s {
	int32_t num;
	char *name_tok;
	char *val_tok_1; /* "" when missing, never NULL */
	char *val_tok_2;
} relay_cfg_line;

typedef enum {
	GLOBAL = 0,
	SERVICE = 1,
	NAMESPACE = 2,
	RELAY = 3,
	RELAY_DATACENTER = 4,
	PARSER_STATE_MAX_PLUS_1 = 5
} relay_parser_state;

extern const char *RELAY_PARSER_STATES[PARSER_STATE_MAX_PLUS_1];

typedef struct relay_cfg_parser_state_s {
	relay_parser_state current;
	relay_parser_state stack[8];
	int32_t depth;
} relay_cfg_parser_state;

typedef enum {
	RELAY_CASE_NOT_FOUND,
	RELAY_CASE_CONTEXT_BEGIN,
	RELAY_CASE_CONTEXT_END,
	RELAY_CASE_SERVICE_BEGIN,
	RELAY_CASE_NAMESPACE_BEGIN,
	RELAY_CASE_RELAY_BEGIN,
	RELAY_CASE_SERVICE_USER,
	RELAY_CASE_SERVICE_GROUP,
	RELAY_CASE_NS_ENABLE_RELAY,
	RELAY_CASE_NS_RELAY_REMOTE_DATACENTER,
	RELAY_CASE_NS_DEFAULT_TTL,
	RELAY_CASE_NS_MAX_TTL,
	RELAY_CASE_ENABLE_RELAY,
	RELAY_CASE_NAMEDPIPE_PATH,
	RELAY_CASE_DIGESTLOG_PATH,
	RELAY_CASE_ERRORLOG_PATH,
	RELAY_CASE_LOCAL_NODE_PORT,
	RELAY_CASE_INFO_PORT,
	RELAY_CASE_DATACENTER_BEGIN,
	RELAY_CASE_MAX_RECS_INFLIGHT,
	RELAY_CASE_DIGESTLOG_OVERWRITE,
	RELAY_CASE_DIGESTLOG_PERSIST,
	RELAY_CASE_FORWARD_RELAY_WRITES,
	RELAY_CASE_THREADS,
	RELAY_CASE_TIMEOUT,
	RELAY_CASE_STOP_WRITES_NORELAY,
	RELAY_CASE_RELAY_BATCH_NUM_RETRY,
	RELAY_CASE_RELAY_BATCH_RETRY_SLEEP,
	RELAY_CASE_RELAY_DELETE_SHIPPING_ENABLED,
	RELAY_CASE_RELAY_CHECK_DATA_BEFORE_DELETE,
	RELAY_CASE_RELAY_NSUP_DELETES_ENABLED,
	RELAY_CASE_RELAY_FORWARD_WITH_GENCHECK,
	RELAY_CASE_RELAY_HOTKEY_MAXSKIP,
	RELAY_CASE_RELAY_SHIPPING_ENABLED,
	RELAY_CASE_RELAY_PIDFILE,
	RELAY_CASE_RELAY_WRITE_BATCH_SIZE,
	RELAY_CASE_RELAY_READ_BATCH_SIZE,
	RELAY_CASE_RELAY_READ_THREAD_COUNT,
	RELAY_CASE_RELAY_READ_MODE,
	RELAY_CASE_RELAY_DO_VERSION_CHECK,
	RELAY_CASE_DC_NODE_ADDRESS_PORT,
	RELAY_CASE_DC_INT_EXT_IPMAP,
	RELAY_CASE_RELAY_INFO_TIMEOUT,
	RELAY_CASE_RELAY_COMPRESSION_THRESHOLD,
	RELAY_CASE_RELAY_SHIP_DELAY
} relay_cfg_case_id;

typedef struct relay_cfg_opt_s {
	const char *tok;
	relay_cfg_case_id case_id;
} relay_cfg_opt;

#define NUM_RELAY_GLOBAL_OPTS 3
#define NUM_RELAY_SERVICE_OPTS 4
#define NUM_RELAY_NS_OPTS 5
#define NUM_RELAY_OPTS 39
#define NUM_RELAY_DC_OPTS 4

extern const relay_cfg_opt RELAY_GLOBAL_OPTS[NUM_RELAY_GLOBAL_OPTS];
extern const relay_cfg_opt RELAY_SERVICE_OPTS[NUM_RELAY_SERVICE_OPTS];
extern const relay_cfg_opt RELAY_NS_OPTS[NUM_RELAY_NS_OPTS];
extern const relay_cfg_opt RELAY_OPTS[NUM_RELAY_OPTS];
extern const relay_cfg_opt RELAY_DC_OPTS[NUM_RELAY_DC_OPTS];

/* The configuration and its tables (main thread until start-up is done). */
extern ferry_config g_xcfg;
extern ns_config_opt g_ns_xcfg_opt[NAMESPACE_MAX_NUM];
extern dc_config_opt g_dc_xcfg_opt[DC_MAX_NUM];
extern int g_ns_count; /* highest namespace number in use */
extern int g_dc_count; /* datacenter blocks closed so far */
extern ox_fault_sink *g_faultsink;

/* Writes every default of ferry_config. */
void ferry_config_defaults(ferry_config *c);
/* Empties both tables (names, lists, all ns_dc_ids -1) and the datacenter
 * in-use flags and handles; start-up calls it before the parse. */
void ferry_config_clear_tables(void);
/* Frees every text a parse stored in c, empties the tables and writes the
 * defaults again: the state before any parse. */
void ferry_config_release(ferry_config *c);
/* Defaults, then the parse into c and the tables; ends the process (SIGINT)
 * on the first error. */
void read_configfile_ferrysection(ferry_config *c, const char *config_file);
/* Copies the file into the log at INFO, piece by piece. */
void ferry_dump_configfile(const char *config_file);
/* Checks 1 (read threads) and 2 (read mode): 0, or ends the process. */
int ferry_basic_checks(ferry_config *c);
/* All checks in their order (1 to 11); a disabled shipper exits with 0. */
int ferry_config_checks(ferry_config *c);

/* Value readers; each ends the process on a bad value. */
bool relay_cfg_bool(relay_cfg_line *l);
int32_t relay_cfg_int(relay_cfg_line *l, int32_t min, int32_t max);
int32_t relay_cfg_int_val2(relay_cfg_line *l, int32_t min, int32_t max);
int32_t relay_cfg_int_no_checks(relay_cfg_line *l);
int32_t relay_cfg_int_val2_no_checks(relay_cfg_line *l);
uint64_t relay_cfg_u64_no_checks(relay_cfg_line *l);
uint64_t relay_cfg_u64_val2_no_checks(relay_cfg_line *l);
uint64_t relay_cfg_u64_anyval_no_checks(relay_cfg_line *l, char *val_tok);
int64_t relay_cfg_i64_anyval_no_checks(relay_cfg_line *l, char *val_tok);
uint64_t relay_cfg_seconds(relay_cfg_line *l);
char *relay_cfg_strdup(relay_cfg_line *l);
char *relay_cfg_strdup_val2(relay_cfg_line *l);
char *relay_cfg_strdup_anyval(relay_cfg_line *l, const char *val_tok);

/* Parser steps. */
void relay_cfg_parser_state_init(relay_cfg_parser_state *p);
relay_cfg_case_id relay_cfg_find_tok(const char *tok, const relay_cfg_opt opts[], int num_opts);
void relay_cfg_begin_context(relay_cfg_parser_state *p, relay_parser_state context);
void relay_cfg_end_context(relay_cfg_parser_state *p);
void relay_cfg_unknown_name_tok(const relay_cfg_line *l);
void relay_cfg_add_datacenter(relay_cfg_line *l, char *name);
void relay_cfg_add_node_addr_port(char *addr, int32_t port);
void relay_cfg_add_addr_map(char *orig, char *alt);
