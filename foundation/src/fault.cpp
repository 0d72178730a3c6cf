/*
 * fault: the process-wide log.
 *
 * The hot path is the filter read in ox_fault_event; everything after it
 * formats into one stack buffer and writes each sink's line with a single
 * write(2), which keeps lines of concurrent threads whole on append-mode files
 * without a lock, and keeps the path free of heap use (signal handlers log
 * too). Run-time changes of levels and descriptors are relaxed atomic stores
 * so that readers need no lock either.
 */
#include "tamberlin/fault.h"

#include <execinfo.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "tamberlin/enhanced_alloc.h"

ox_fault_sink ox_fault_sinks[OX_FAULT_SINKS_MAX];
int num_held_fault_sinks = 0;
int ox_fault_sinks_inuse = 0;
ox_fault_severity ox_fault_filter[OX_FAULT_CONTEXT_UNDEF]; /* zero: OX_CRITICAL */

const char *ox_fault_severity_strings[OX_FAULT_SEVERITY_UNDEF + 1] = {
	"CRITICAL", "WARNING", "INFO", "DEBUG", "DETAIL", NULL};

const char *ox_fault_scope_strings[3] = {"GLOBAL", "PROCESS", "THREAD"};

const char *ox_fault_context_strings[OX_FAULT_CONTEXT_UNDEF + 1] = {
	"ox:misc", "ox:alloc", "ox:hash", "ox:rchash", "ox:shash", "ox:queue", "ox:msg",
	"ox:redblack", "ox:socket", "ox:timer", "ox:ll", "ox:arenah", "ox:arena", "config",
	"namespace", "qm", "bin", "record", "proto", "particle", "demarshal", "write", "rw",
	"tsvc", "test", "nsup", "proxy", "hb", "fabric", "partition", "paxos", "migrate",
	"info", "info-port", "storage", "drv_mem", "drv_fs", "drv_files", "drv_ssd", "drv_kv",
	"scan", "index", "batch", "trial", "relay", "ox:rbuffer", "fb_health", "ox:arenax",
	"ox:compression", "sindex", "udf", "query", "smd", "mon", "ldt", "ox:jem", NULL};

static_assert(sizeof(ox_fault_context_strings) / sizeof(ox_fault_context_strings[0]) == 57);

/* The text of a line before its newline is cut to this many characters. */
static const size_t FAULT_LINE_TEXT_MAX = 1021;
static const size_t FAULT_LINE_BUF = 1024;

template <typename T>
static inline T
relaxed_load(T &v)
{
	return std::atomic_ref<T>(v).load(std::memory_order_relaxed);
}

template <typename T>
static inline void
relaxed_store(T &v, T x)
{
	std::atomic_ref<T>(v).store(x, std::memory_order_relaxed);
}

const char *
ox_strerror(int err)
{
	const char *text = err >= 0 ? strerrordesc_np(err) : NULL;

	if (text == NULL) {
		errno = EINVAL;
		return "Unknown error";
	}
	return text;
}

/* Appends a formatted piece at *pos; *pos never passes the kept text. */
static void
line_vappend(char *buf, size_t *pos, const char *fmt, va_list ap)
{
	if (*pos >= FAULT_LINE_TEXT_MAX)
		return;
	int n = vsnprintf(buf + *pos, FAULT_LINE_BUF - *pos, fmt, ap);
	if (n > 0)
		*pos = std::min(*pos + (size_t)n, FAULT_LINE_TEXT_MAX);
}

static void
line_append(char *buf, size_t *pos, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

static void
line_append(char *buf, size_t *pos, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	line_vappend(buf, pos, fmt, ap);
	va_end(ap);
}

static size_t
line_start(char *buf, ox_fault_context context, ox_fault_scope scope, ox_fault_severity severity)
{
	time_t now = time(NULL);
	struct tm tm;
	gmtime_r(&now, &tm);
	/* The process never changes its locale, so this is the POSIX one. */
	size_t pos = strftime(buf, FAULT_LINE_BUF, "%b %d %Y %T %Z: ", &tm);

	if (severity == OX_CRITICAL)
		line_append(buf, &pos, "%s %s (%s): ", ox_fault_severity_strings[OX_CRITICAL],
				(unsigned)scope < 3 ? ox_fault_scope_strings[scope] : "",
				ox_fault_context_strings[context]);
	else
		line_append(buf, &pos, "%s (%s): ", ox_fault_severity_strings[severity],
				ox_fault_context_strings[context]);
	return pos;
}

static void
sink_write(int fd, const void *p, size_t len)
{
	ssize_t rv = write(fd, p, len);
	if (rv <= 0)
		fprintf(stderr, "internal failure in fault message write: %s\n", ox_strerror(errno));
}

/* Step 3 of an event: the line to every admitting sink, or the stderr
 * fallback. Gives false when a line with no sink was dropped. */
static bool
line_send(char *buf, size_t pos, ox_fault_context context, ox_fault_severity severity)
{
	buf[pos++] = '\n';

	int inuse = relaxed_load(ox_fault_sinks_inuse);
	if (inuse == 0) {
		if (severity > NO_SINKS_LIMIT)
			return false;
		fwrite(buf, 1, pos, stderr);
		return true;
	}
	for (int i = 0; i < inuse; i++) {
		ox_fault_sink *s = &ox_fault_sinks[i];
		if (relaxed_load(s->limit[context]) >= severity)
			sink_write(relaxed_load(s->fd), buf, pos);
	}
	return true;
}

static void
backtrace_to_sinks(void)
{
	void *frames[OX_FAULT_BACKTRACE_DEPTH];
	int n = backtrace(frames, OX_FAULT_BACKTRACE_DEPTH);
	char **symbols = backtrace_symbols(frames, n);
	int inuse = relaxed_load(ox_fault_sinks_inuse);

	for (int i = 0; i < inuse; i++) {
		int fd = relaxed_load(ox_fault_sinks[i].fd);
		if (symbols == NULL) {
			static const char none[] = " --- NO BACKTRACE AVAILABLE --- \n";
			sink_write(fd, none, sizeof(none) - 1);
			continue;
		}
		for (int j = 0; j < n; j++) {
			char head[64];
			int hl = snprintf(head, sizeof(head), "critical error: backtrace: frame %d ", j);
			sink_write(fd, head, (size_t)hl);
			sink_write(fd, symbols[j], strlen(symbols[j]));
			sink_write(fd, "\n", 1);
		}
	}
	free(symbols);
}

/* Ends the calling thread inside the call. Cancellation may be disabled or
 * deferred past this point by the thread; exiting covers that case, so a
 * thread-scope failure never returns to its caller. */
[[noreturn]] static void
end_calling_thread(void)
{
	pthread_cancel(pthread_self());
	pthread_testcancel();
	pthread_exit(NULL);
}

/* Steps 2 and 3 of both forms: builds the line (the location with the
 * function when with_function) and sends it. Gives true when the event is
 * CRITICAL and was sent, so the caller goes on to end by scope. */
static bool
fault_emit(ox_fault_context context, ox_fault_scope scope, ox_fault_severity severity,
		const char *file_name, bool with_function, const char *function_name, int line,
		const char *msg, va_list ap)
{
	char buf[FAULT_LINE_BUF];
	size_t pos = line_start(buf, context, scope, severity);
	if (file_name != NULL && with_function)
		line_append(buf, &pos, "(%s:%s:%d) ", file_name,
				function_name != NULL ? function_name : "", line);
	else if (file_name != NULL)
		line_append(buf, &pos, "(%s:%d) ", file_name, line);
	line_vappend(buf, &pos, msg, ap);

	if (!line_send(buf, pos, context, severity) || severity != OX_CRITICAL)
		return false;
	fflush(NULL);
	return true;
}

void
ox_fault_event(ox_fault_context context, ox_fault_scope scope, ox_fault_severity severity,
		const char *file_name, const char *function_name, int line, const char *msg, ...)
{
	if (!ox_context_at_severity(context, severity))
		return;

	va_list ap;
	va_start(ap, msg);
	bool critical = fault_emit(context, scope, severity, file_name, true, function_name, line, msg, ap);
	va_end(ap);
	if (!critical)
		return;

	backtrace_to_sinks();
	switch (scope) {
	case OX_GLOBAL:
	case OX_PROCESS:
		abort();
	case OX_THR:
		end_calling_thread();
	}
}

void
ox_fault_event_nostack(ox_fault_context context, ox_fault_scope scope, ox_fault_severity severity,
		const char *file_name, int line, const char *msg, ...)
{
	if (!ox_context_at_severity(context, severity))
		return;

	va_list ap;
	va_start(ap, msg);
	bool critical = fault_emit(context, scope, severity, file_name, false, NULL, line, msg, ap);
	va_end(ap);
	if (!critical)
		return;

	switch (scope) {
	case OX_GLOBAL:
	case OX_PROCESS:
		raise(SIGINT);
		/* SIGINT was ignored or its handler returned: a fatal error must not
		 * let the process run on. */
		abort();
	case OX_THR:
		end_calling_thread();
	}
}

/* The filter rule for one sink and one context. */
static void
fault_filter_adjust(ox_fault_sink *sink, int context)
{
	ox_fault_severity level = relaxed_load(sink->limit[context]);
	ox_fault_severity filter = relaxed_load(ox_fault_filter[context]);

	if (level > filter) {
		relaxed_store(ox_fault_filter[context], level);
	} else if (level < filter) {
		ox_fault_severity most = OX_CRITICAL;
		for (int i = 0; i < ox_fault_sinks_inuse; i++)
			most = std::max(most, relaxed_load(ox_fault_sinks[i].limit[context]));
		relaxed_store(ox_fault_filter[context], most);
	}
}

/* A prefix of a level name, any case; the last match wins. */
static int
severity_from_name(const char *severity)
{
	size_t n = strlen(severity);
	int found = -1;
	for (int i = OX_CRITICAL; i < OX_FAULT_SEVERITY_UNDEF; i++)
		if (strncasecmp(severity, ox_fault_severity_strings[i], n) == 0)
			found = i;
	return found;
}

/* A text that begins with a context name, any case; the last match wins. */
static int
context_from_name(const char *context)
{
	int found = -1;
	for (int i = 0; i < OX_FAULT_CONTEXT_UNDEF; i++) {
		const char *name = ox_fault_context_strings[i];
		if (strncasecmp(name, context, strlen(name)) == 0)
			found = i;
	}
	return found;
}

ox_fault_sink *
ox_fault_sink_hold(const char *path)
{
	if (num_held_fault_sinks >= OX_FAULT_SINKS_MAX) {
		ox_warning(OX_MISC, "too many fault sinks");
		return NULL;
	}
	ox_fault_sink *s = &ox_fault_sinks[num_held_fault_sinks];
	s->path = ox_strdup(path);
	if (s->path == NULL) {
		ox_warning(OX_MISC, "failed allocation for sink path");
		return NULL;
	}
	s->fd = -1;
	for (int i = 0; i < OX_FAULT_CONTEXT_UNDEF; i++)
		s->limit[i] = OX_INFO;
	num_held_fault_sinks++;
	return s;
}

int
ox_fault_sink_activate_all_held(void)
{
	if (num_held_fault_sinks == 0)
		return 0;
	if (ox_fault_sinks_inuse >= OX_FAULT_SINKS_MAX) {
		relaxed_store(ox_fault_sinks_inuse, 0);
		ox_warning(OX_MISC, "too many fault sinks");
		return -1;
	}
	/* Slots already active stay as they are, so a second call only opens what
	 * was held since and never counts a slot twice. */
	for (int i = ox_fault_sinks_inuse; i < num_held_fault_sinks; i++) {
		ox_fault_sink *s = &ox_fault_sinks[i];
		int fd;
		if (strncmp(s->path, "stderr", 6) == 0)
			fd = 2;
		else
			fd = open(s->path, O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK, 0600);
		if (fd < 0) {
			int err = errno;
			relaxed_store(ox_fault_sinks_inuse, 0);
			ox_warning(OX_MISC, "can't open %s: %s", s->path, ox_strerror(err));
			return -1;
		}
		relaxed_store(s->fd, fd);
		relaxed_store(ox_fault_sinks_inuse, ox_fault_sinks_inuse + 1);
		for (int c = 0; c < OX_FAULT_CONTEXT_UNDEF; c++)
			fault_filter_adjust(s, c);
	}
	return 0;
}

int
ox_fault_sink_addcontext(ox_fault_sink *sink, const char *context, const char *severity)
{
	if (sink == NULL) {
		int rv = 0;
		for (int i = 0; i < ox_fault_sinks_inuse; i++) {
			rv = ox_fault_sink_addcontext(&ox_fault_sinks[i], context, severity);
			if (rv < 0)
				break;
		}
		return rv;
	}

	int level = severity_from_name(severity);
	if (level < 0)
		return -1;

	int first = 0;
	int end = OX_FAULT_CONTEXT_UNDEF;
	if (strncasecmp(context, "any", 3) != 0) {
		first = context_from_name(context);
		if (first < 0)
			return -1;
		end = first + 1;
	}
	for (int c = first; c < end; c++) {
		relaxed_store(sink->limit[c], (ox_fault_severity)level);
		if (ox_fault_sinks_inuse > 0)
			fault_filter_adjust(sink, c);
	}
	return 0;
}

int
ox_fault_sink_setcontext(ox_fault_sink *sink, const char *context, const char *severity)
{
	if (sink == NULL)
		return ox_fault_sink_addcontext(NULL, context, severity);

	int level = severity_from_name(severity);
	if (level < 0)
		return -1;
	int c = context_from_name(context);
	if (c < 0)
		return -1;
	relaxed_store(sink->limit[c], (ox_fault_severity)level);
	relaxed_store(ox_fault_filter[c], (ox_fault_severity)level);
	return 0;
}

int
ox_fault_sink_reopen(ox_fault_sink *sink)
{
	if (!sink || !sink->path || strncmp(sink->path, "stderr", 6) == 0)
		return 0;
	int old = std::atomic_ref<int>(sink->fd).load(std::memory_order_relaxed);
	if (old <= 2)
		return 0;
	(void)unlink(sink->path);
	int fd = open(sink->path, O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0600);
	if (fd < 0)
		return -1;
	int rv = 0;
	if (dup2(fd, old) < 0)
		rv = -1;
	close(fd);
	return rv;
}

ox_fault_sink *
ox_fault_sink_get_id(int id)
{
	if (id < 0 || id > ox_fault_sinks_inuse || id >= OX_FAULT_SINKS_MAX)
		return NULL;
	return &ox_fault_sinks[id];
}
