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

#include <atomic>
#include <cstdint>

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

/* The sink in slot id when 0 <= id <= ox_fault_sinks_inuse and id < 8, else NULL. */
ox_fault_sink *ox_fault_sink_get_id(int id);

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
