/*
 * fault: the one process-wide log of the foundation, the ring buffer and the
 * daemon.
 *
 * Every event names a context, a severity, a source location and a printf
 * message. A global per-context filter (the most permissive level of any active
 * sink) is read first, so an event nobody wants costs one array read and
 * formats nothing. Up to OX_FAULT_SINKS_MAX sinks each keep their own level per
 * context. Lines are built in a stack buffer and written to each sink with one
 * write(2), so the log takes no lock and allocates nothing; threads and signal
 * handlers may log at any time. A CRITICAL event writes a back trace to every
 * active sink and ends the process or the calling thread, by its scope.
 *
 * Sinks are registered in two steps: hold (record path and levels, e.g. while
 * the configuration is parsed), then activate all held sinks at once. Until a
 * sink is active only CRITICAL and WARNING lines can reach standard error, and
 * only CRITICAL passes the filter at process start.
 *
 * Sinks are never closed or freed; they live as long as the process.
 */
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "tamberlin/dynbuf.h"

typedef enum {
	OX_CRITICAL = 0,
	OX_WARNING = 1,
	OX_INFO = 2,
	OX_DEBUG = 3,
	OX_DETAIL = 4,
	OX_FAULT_SEVERITY_UNDEF = 5
} ox_fault_severity;

/* How far a CRITICAL failure reaches; ignored for other severities. */
typedef enum {
	OX_GLOBAL = 0,
	OX_PROCESS = 1,
	OX_THR = 2
} ox_fault_scope;

typedef enum {
	OX_MISC = 0,
	OX_ALLOC,
	OX_HASH,
	OX_RCHASH,
	OX_SHASH,
	OX_QUEUE,
	OX_MSG,
	OX_RB,
	OX_SOCKET,
	OX_TIMER,
	OX_LL,
	OX_ARENAH,
	OX_ARENA,
	QM_CFG,
	QM_NAMESPACE,
	QM_QM,
	QM_BIN,
	QM_RECORD,
	QM_PROTO,
	QM_PARTICLE,
	QM_DEMARSHAL,
	QM_WRITE,
	QM_RW,
	QM_TSVC,
	QM_TEST,
	QM_NSUP,
	QM_PROXY,
	QM_HB,
	QM_FABRIC,
	QM_PARTITION,
	QM_PAXOS,
	QM_MIGRATE,
	QM_INFO,
	QM_INFO_PORT,
	QM_STORAGE,
	QM_DRV_MEM,
	QM_DRV_FS,
	QM_DRV_FILES,
	QM_DRV_SSD,
	QM_DRV_KV,
	QM_SCAN,
	QM_INDEX,
	QM_BATCH,
	QM_TRIAL,
	QM_FERRY,
	OX_RBUFFER,
	QM_FB_HEALTH,
	OX_ARENAX,
	OX_COMPRESSION,
	QM_SINDEX,
	QM_UDF,
	QM_QUERY,
	QM_SMD,
	QM_MON,
	QM_LDT,
	OX_JEM,
	OX_FAULT_CONTEXT_UNDEF /* 56: the number of contexts */
} ox_fault_context;

#define OX_FAULT_SINKS_MAX 8
#define OX_FAULT_BACKTRACE_DEPTH 16
/* The gravest-but-one severity that still reaches standard error when no sink
 * is active. */
#define NO_SINKS_LIMIT OX_WARNING

typedef struct {
	int fd;     /* 2 for standard error; -1 while the log file is replaced */
	char *path; /* the sink's own heap copy of the registered path; never freed */
	ox_fault_severity limit[OX_FAULT_CONTEXT_UNDEF]; /* level per context */
} ox_fault_sink;

/*
 * Process-wide state. Written before worker threads start (hold, addcontext,
 * activation) and at run time only by ox_fault_sink_setcontext (one thread)
 * and by a SIGHUP handler replacing a sink's fd. Events read it without a
 * lock; run-time writers store `fd`, `limit` and the filter with relaxed
 * atomic stores (std::atomic_ref), which compile to plain moves.
 */
extern ox_fault_sink ox_fault_sinks[OX_FAULT_SINKS_MAX];
extern int num_held_fault_sinks;  /* slots registered, from slot 0 */
extern int ox_fault_sinks_inuse;  /* active sinks: always the first slots */
extern ox_fault_severity ox_fault_filter[OX_FAULT_CONTEXT_UNDEF];

/* Printed names; each table ends with NULL where the Part's sizes say so. */
extern const char *ox_fault_severity_strings[OX_FAULT_SEVERITY_UNDEF + 1];
extern const char *ox_fault_scope_strings[3];
extern const char *ox_fault_context_strings[OX_FAULT_CONTEXT_UNDEF + 1];

/*
 * Log one event (any thread, signal handlers included). file_name and
 * function_name may be NULL. Does not return for CRITICAL with scope
 * OX_GLOBAL or OX_PROCESS (abort); ends the calling thread for CRITICAL with
 * scope OX_THR.
 */
void ox_fault_event(ox_fault_context context, ox_fault_scope scope, ox_fault_severity severity,
		const char *file_name, const char *function_name, int line, const char *msg, ...)
		__attribute__((format(printf, 7, 8)));

/*
 * The short form: location without function, no back trace. CRITICAL with
 * OX_GLOBAL or OX_PROCESS raises SIGINT in the calling thread; should the
 * signal return (SIGINT ignored, or a handler that returns), the process is
 * aborted all the same. CRITICAL with OX_THR ends the calling thread.
 */
void ox_fault_event_nostack(ox_fault_context context, ox_fault_scope scope, ox_fault_severity severity,
		const char *file_name, int line, const char *msg, ...)
		__attribute__((format(printf, 6, 7)));

/* True when the global filter of the context admits the severity; lets a
 * caller skip preparing costly log arguments. Any thread. */
static inline bool
ox_context_at_severity(ox_fault_context context, ox_fault_severity severity)
{
	return std::atomic_ref<ox_fault_severity>(ox_fault_filter[context]).load(std::memory_order_relaxed) >=
			severity;
}

/*
 * Registration; call before worker threads start.
 * ox_fault_sink_hold: copies path into the next slot, every level OX_INFO;
 *   opens nothing. Gives the slot (owned by the log) or NULL.
 * ox_fault_sink_activate_all_held: opens every held, not yet active sink
 *   (a path starting "stderr" is fd 2; others are opened append, created 0600)
 *   and raises the filter to their levels. 0, or -1 with no sink left active.
 * ox_fault_sink_addcontext: sets the sink's level (severity text, any case,
 *   a prefix of a level name) for one context (a text that begins with a
 *   context name) or for all ("any..."); NULL sink = every active sink. The
 *   filter follows the most permissive active sink. 0 or -1 (no match).
 */
ox_fault_sink *ox_fault_sink_hold(const char *path);
int ox_fault_sink_activate_all_held(void);
int ox_fault_sink_addcontext(ox_fault_sink *sink, const char *context, const char *severity);

/* Run-time level change (the info server's worker thread): the sink's level
 * and the global filter of the context both take the level directly; "any"
 * only works with a NULL sink (then as addcontext). 0 or -1. */
int ox_fault_sink_setcontext(ox_fault_sink *sink, const char *context, const char *severity);

/* Starts the sink's log file afresh under its path: the file there is removed
 * (a file an outside rotation moved away keeps its lines), a new one is
 * created (append, mode 0600) and put in place with dup2 on the sink's own
 * descriptor, so a thread writing at that moment lands in the old file or the
 * new one, never in a descriptor reused by someone else. A sink on standard
 * error, or without a file yet, is left alone. 0, or -1 when the new file
 * cannot be opened (the sink keeps writing where it wrote). Any thread; not
 * async-signal-safe. */
int ox_fault_sink_reopen(ox_fault_sink *sink);

/* The active sink in slot id (0 <= id < ox_fault_sinks_inuse), else NULL. */
ox_fault_sink *ox_fault_sink_get_id(int id);

/*
 * Adds and opens a sink at once (a path starting "stderr" is fd 2; others are
 * opened append, created 0600), every level OX_INFO; the filter is left as it
 * is, so the sink gets what other sinks already let through until a level
 * call raises it. The slot is filled before it is counted active. NULL when 7
 * sinks are active, a held sink still waits for the slot, or the open fails.
 * Call from one thread at a time.
 */
ox_fault_sink *ox_fault_sink_add(const char *path);

/* Writes "ox_fault: rolling log files" to standard error and starts every
 * active sink's file afresh (ox_fault_sink_reopen); a file sink that sits on
 * descriptor 0, 1 or 2 is opened again in place without removing its file.
 * Sinks on standard error are left alone. Any thread. */
void ox_fault_sink_logroll(void);

/*
 * Listings appended to db (no lock, like every log call):
 * ox_fault_sink_strlist: "id:path" of every active sink, ';' between them.
 * ox_fault_sink_context_all_strlist: "context:LEVEL" for all 56 contexts of
 *   the sink, ';' between them.
 * ox_fault_sink_context_strlist: "context:LEVEL" for the context named
 *   exactly (case counts), or "<context>:unknown".
 * 0, or -1 when sink_id is not an active sink (nothing appended).
 */
int ox_fault_sink_strlist(ox_dyn_buf *db);
int ox_fault_sink_context_all_strlist(int sink_id, ox_dyn_buf *db);
int ox_fault_sink_context_strlist(int sink_id, const char *context, ox_dyn_buf *db);

/* Writes the descriptors of the active file sinks (above 2, path not
 * "stderr") in slot order into fds (room for OX_FAULT_SINKS_MAX); gives how
 * many. */
int ox_fault_sink_get_fd_list(int *fds);

/*
 * Start-up: copies argv (less every argument that begins some entry of
 * exclude, and every empty one) to the heap, followed by "--process-fault"
 * and NULL, into ox_fault_restart_argv / ox_fault_restart_argc, and sets the
 * global filter of every context to OX_WARNING. A NULL argv, a NULL exclude
 * with excludec > 0, or a negative count is a CRITICAL "invalid argument"
 * (OX_MISC, OX_GLOBAL). Call before threads start.
 */
void ox_fault_init(int argc, char **argv, int excludec, char **exclude);
extern char **ox_fault_restart_argv;
extern int32_t ox_fault_restart_argc;

/*
 * Binary dumps. A dump event carries a memory area shown in one of these
 * forms after the message, as "<label>:text". Any other value is accepted
 * (the int base keeps it defined) and shows the label "Unknown Format".
 */
typedef enum : int {
	OX_DISPLAY_HEX_DIGEST = 0,   /* "Digest": "0x" and two lower-case digits a byte */
	OX_DISPLAY_HEX_SPACED = 1,   /* "HexSpaced": "%02x " a byte */
	OX_DISPLAY_HEX_PACKED = 2,   /* "HexPacked": as the digest */
	OX_DISPLAY_HEX_COLUMNS = 3,  /* "HexColumns": '\n', "%02x " a byte, '\n' after every 8th, '\n' */
	OX_DISPLAY_BASE64 = 4,       /* "Base64": standard alphabet, '=' padded */
	OX_DISPLAY_BITS_SPACED = 5,  /* "BitsSpaced": "dddd dddd " a byte, high bit first */
	OX_DISPLAY_BITS_COLUMNS = 6  /* "BitsColumns": '\n', as spaced, '\n' after every 4th byte */
} ox_display_type;

/* The dump of one event, NUL included; a longer dump shows only its leading
 * bytes that fit. The line of a dump event is built in 2048 bytes. */
#define BIN_LIMIT 1024
/* The length the digest macros show: one record digest. */
#define OX_FAULT_DIGEST_LEN 20

/*
 * Generators: write the text of len bytes at mem and a NUL into out (out_sz
 * bytes) and give the bytes written, NUL included. For n bytes the text needs
 * 2n + 3 (packed hex), 3n + 1 (spaced hex), 3n + n/8 + 3 (column hex),
 * 4 * ceil(n/3) + 1 (base64), 10n + 1 (spaced bits), 10n + n/4 + 2 (column
 * bits); when that exceeds out_sz only the leading bytes that fit are shown
 * (0 when out_sz cannot hold even the empty form).
 */
int generate_packed_hex_string(const void *mem, uint32_t len, char *out, size_t out_sz);
int generate_spaced_hex_string(const void *mem, uint32_t len, char *out, size_t out_sz);
int generate_column_hex_string(const void *mem, uint32_t len, char *out, size_t out_sz);
int generate_base64_string(const void *mem, uint32_t len, char *out, size_t out_sz);
int generate_4spaced_bits_string(const void *mem, uint32_t len, char *out, size_t out_sz);
int generate_column_bits_string(const void *mem, uint32_t len, char *out, size_t out_sz);

/*
 * As ox_fault_event, followed by the dump of len bytes at mem_ptr in form dt
 * (mem_ptr NULL: no dump; an unknown form: label "Unknown Format", no text).
 * The text before the newline is cut to 2045 characters. With no active sink
 * only a CRITICAL line reaches standard error.
 */
void ox_fault_event2(ox_fault_context context, ox_fault_scope scope, ox_fault_severity severity,
		const char *file_name, const char *function_name, int line, const void *mem_ptr, size_t len,
		ox_display_type dt, const char *msg, ...) __attribute__((format(printf, 10, 11)));

/*
 * Per-thread recovery stacks: callbacks a thread registers to run, newest
 * first, when it has to give up. The caller owns each stack; the key binds
 * each thread to its own. CRITICAL events here are OX_MISC, OX_PROCESS.
 */
#define OX_FAULT_RECOVERY_STACK_MAXDEPTH 32
typedef void (*ox_fault_recovery_fn)(void *arg);
typedef struct {
	int8_t sz; /* index of the top entry; -1 when empty */
	ox_fault_recovery_fn fn[OX_FAULT_RECOVERY_STACK_MAXDEPTH];
	void *arg[OX_FAULT_RECOVERY_STACK_MAXDEPTH];
} ox_fault_recovery_stack;

extern pthread_key_t ox_fault_recovery_key;

/* Creates the key (no destructor); gives pthread_key_create's result. NULL:
 * CRITICAL "null rkey". */
int ox_fault_recovery_globalinit(pthread_key_t *rkey);
/* Empties stack and binds it to the calling thread. 0; -1 when the binding
 * fails or one of the two is NULL; both NULL: CRITICAL "invalid argument". */
int ox_fault_recovery_localinit(pthread_key_t *rkey, ox_fault_recovery_stack *stack);
/* fn(arg) becomes the top entry. 0; -1 when the thread has no stack, it is
 * full (32 entries, left as they were), or one of the two is NULL; both NULL:
 * CRITICAL "invalid argument". */
int ox_fault_recovery_push(pthread_key_t *rkey, ox_fault_recovery_fn fn, void *arg);
/* Removes the top entry, first calling it when exec is non-zero. 0; -1 when
 * the thread has no stack or it is empty. NULL key: CRITICAL "invalid argument". */
int ox_fault_recovery_pop(pthread_key_t *rkey, int exec);
/* Calls and removes every entry from the top down; nothing without a stack.
 * NULL key: CRITICAL "invalid argument". */
void ox_fault_recovery(pthread_key_t *rkey);

/* The system's text for an error number (static storage); "Unknown error"
 * with errno set to EINVAL when err has no text. Any thread. */
const char *ox_strerror(int err);

/*
 * Log macros. Each passes its call site's bare source file name and line.
 */
#define OX_FAULT_FILE __FILE_NAME__

#define ox_crash(context, scope, msg, ...) \
	ox_fault_event((context), (scope), OX_CRITICAL, OX_FAULT_FILE, __func__, __LINE__, \
			(msg) __VA_OPT__(,) __VA_ARGS__)
#define ox_warning(context, msg, ...) \
	ox_fault_event((context), OX_THR, OX_WARNING, OX_FAULT_FILE, NULL, __LINE__, \
			(msg) __VA_OPT__(,) __VA_ARGS__)
#define ox_info(context, msg, ...) \
	ox_fault_event((context), OX_THR, OX_INFO, OX_FAULT_FILE, NULL, __LINE__, \
			(msg) __VA_OPT__(,) __VA_ARGS__)
#define ox_debug(context, msg, ...) \
	ox_fault_event((context), OX_THR, OX_DEBUG, OX_FAULT_FILE, __func__, __LINE__, \
			(msg) __VA_OPT__(,) __VA_ARGS__)
#define ox_detail(context, msg, ...) \
	ox_fault_event((context), OX_THR, OX_DETAIL, OX_FAULT_FILE, __func__, __LINE__, \
			(msg) __VA_OPT__(,) __VA_ARGS__)
#define ox_crash_nostack(context, scope, msg, ...) \
	ox_fault_event_nostack((context), (scope), OX_CRITICAL, OX_FAULT_FILE, __LINE__, \
			(msg) __VA_OPT__(,) __VA_ARGS__)
#define ox_assert(cond, context, scope, severity, msg, ...) \
	do { \
		if (!(cond)) \
			ox_fault_event((context), (scope), (severity), OX_FAULT_FILE, __func__, __LINE__, \
					(msg) __VA_OPT__(,) __VA_ARGS__); \
	} while (0)
#define ox_assert_nostack(cond, context, scope, severity, msg, ...) \
	do { \
		if (!(cond)) \
			ox_fault_event_nostack((context), (scope), (severity), OX_FAULT_FILE, __LINE__, \
					(msg) __VA_OPT__(,) __VA_ARGS__); \
	} while (0)

/* Dump macros: the binary forms take a length and display form; the digest
 * forms show OX_FAULT_DIGEST_LEN bytes as OX_DISPLAY_HEX_DIGEST. */
#define ox_crash_binary(context, scope, ptr, len, dt, msg, ...) \
	ox_fault_event2((context), (scope), OX_CRITICAL, OX_FAULT_FILE, __func__, __LINE__, (ptr), \
			(len), (dt), (msg) __VA_OPT__(,) __VA_ARGS__)
#define ox_warning_binary(context, ptr, len, dt, msg, ...) \
	ox_fault_event2((context), OX_THR, OX_WARNING, OX_FAULT_FILE, NULL, __LINE__, (ptr), (len), \
			(dt), (msg) __VA_OPT__(,) __VA_ARGS__)
#define ox_info_binary(context, ptr, len, dt, msg, ...) \
	ox_fault_event2((context), OX_THR, OX_INFO, OX_FAULT_FILE, NULL, __LINE__, (ptr), (len), \
			(dt), (msg) __VA_OPT__(,) __VA_ARGS__)
#define ox_debug_binary(context, ptr, len, dt, msg, ...) \
	ox_fault_event2((context), OX_THR, OX_DEBUG, OX_FAULT_FILE, __func__, __LINE__, (ptr), (len), \
			(dt), (msg) __VA_OPT__(,) __VA_ARGS__)
#define ox_detail_binary(context, ptr, len, dt, msg, ...) \
	ox_fault_event2((context), OX_THR, OX_DETAIL, OX_FAULT_FILE, __func__, __LINE__, (ptr), (len), \
			(dt), (msg) __VA_OPT__(,) __VA_ARGS__)
#define ox_crash_digest(context, scope, ptr, msg, ...) \
	ox_crash_binary((context), (scope), (ptr), OX_FAULT_DIGEST_LEN, OX_DISPLAY_HEX_DIGEST, \
			(msg) __VA_OPT__(,) __VA_ARGS__)
#define ox_warning_digest(context, ptr, msg, ...) \
	ox_warning_binary((context), (ptr), OX_FAULT_DIGEST_LEN, OX_DISPLAY_HEX_DIGEST, \
			(msg) __VA_OPT__(,) __VA_ARGS__)
#define ox_info_digest(context, ptr, msg, ...) \
	ox_info_binary((context), (ptr), OX_FAULT_DIGEST_LEN, OX_DISPLAY_HEX_DIGEST, \
			(msg) __VA_OPT__(,) __VA_ARGS__)
#define ox_debug_digest(context, ptr, msg, ...) \
	ox_debug_binary((context), (ptr), OX_FAULT_DIGEST_LEN, OX_DISPLAY_HEX_DIGEST, \
			(msg) __VA_OPT__(,) __VA_ARGS__)
#define ox_detail_digest(context, ptr, msg, ...) \
	ox_detail_binary((context), (ptr), OX_FAULT_DIGEST_LEN, OX_DISPLAY_HEX_DIGEST, \
			(msg) __VA_OPT__(,) __VA_ARGS__)
