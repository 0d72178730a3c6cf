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

/* A line is built in a buffer of this size; the text before its newline is
 * cut to three characters less, so the newline and a NUL always fit. */
static const size_t FAULT_LINE_BUF = 1024;
/* The line of a dump event, which carries up to BIN_LIMIT bytes of dump. */
static const size_t FAULT_LINE_BUF_BINARY = 2048;

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

/* A line under construction in its caller's buffer. The text before the
 * newline never passes size - 3 characters, which leaves room for the newline
 * and a NUL. */
struct fault_line {
	char *buf;
	size_t size;
	size_t pos;
};

static void
line_vappend(fault_line *l, const char *fmt, va_list ap)
{
	size_t max = l->size - 3;
	if (l->pos >= max)
		return;
	int n = vsnprintf(l->buf + l->pos, l->size - l->pos, fmt, ap);
	if (n > 0)
		l->pos = std::min(l->pos + (size_t)n, max);
}

static void
line_append(fault_line *l, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

static void
line_append(fault_line *l, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	line_vappend(l, fmt, ap);
	va_end(ap);
}

static void
line_start(fault_line *l, ox_fault_context context, ox_fault_scope scope, ox_fault_severity severity)
{
	time_t now = time(NULL);
	struct tm tm;
	gmtime_r(&now, &tm);
	/* The process never changes its locale, so this is the POSIX one. */
	l->pos = strftime(l->buf, l->size, "%b %d %Y %T %Z: ", &tm);

	if (severity == OX_CRITICAL)
		line_append(l, "%s %s (%s): ", ox_fault_severity_strings[OX_CRITICAL],
				(unsigned)scope < 3 ? ox_fault_scope_strings[scope] : "",
				ox_fault_context_strings[context]);
	else
		line_append(l, "%s (%s): ", ox_fault_severity_strings[severity],
				ox_fault_context_strings[context]);
}

static void
sink_write(int fd, const void *p, size_t len)
{
	ssize_t rv = write(fd, p, len);
	if (rv <= 0)
		fprintf(stderr, "internal failure in fault message write: %s\n", ox_strerror(errno));
}

/* A new sink is filled before the count that publishes it is stored with
 * release order, so a reader that acquires the count sees the whole slot. */
static inline int
sinks_active(void)
{
	return std::atomic_ref<int>(ox_fault_sinks_inuse).load(std::memory_order_acquire);
}

/* The line to every admitting sink, or, with no sink active, to standard
 * error when the severity is at most no_sinks_limit. Gives false when a line
 * with no sink was dropped. */
static bool
line_send(fault_line *l, ox_fault_context context, ox_fault_severity severity,
		ox_fault_severity no_sinks_limit)
{
	l->buf[l->pos++] = '\n';

	int inuse = sinks_active();
	if (inuse == 0) {
		if (severity > no_sinks_limit)
			return false;
		fwrite(l->buf, 1, l->pos, stderr);
		return true;
	}
	for (int i = 0; i < inuse; i++) {
		ox_fault_sink *s = &ox_fault_sinks[i];
		if (relaxed_load(s->limit[context]) >= severity)
			sink_write(relaxed_load(s->fd), l->buf, l->pos);
	}
	return true;
}

static void
backtrace_to_sinks(void)
{
	void *frames[OX_FAULT_BACKTRACE_DEPTH];
	int n = backtrace(frames, OX_FAULT_BACKTRACE_DEPTH);
	char **symbols = backtrace_symbols(frames, n);
	int inuse = sinks_active();

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

/* The end of a CRITICAL event that was sent, with its back trace. A scope
 * value that is none of the three returns, as in the short form. */
static void
end_by_scope_with_backtrace(ox_fault_scope scope)
{
	backtrace_to_sinks();
	if (scope == OX_THR)
		end_calling_thread();
	if (scope == OX_GLOBAL || scope == OX_PROCESS)
		abort();
}

/* What a line carries besides its message. */
struct fault_line_form {
	bool with_function;       /* the location names the function */
	const char *dump_label;   /* non-NULL: "<label>:text" follows the message */
	const char *dump_text;
	ox_fault_severity no_sinks_limit;
};

/* Builds the line in l (the location with the function when the form says
 * so) and sends it. Gives true when the event is CRITICAL and was sent, so
 * the caller goes on to end by scope. */
static bool
fault_emit(fault_line *l, const fault_line_form *form, ox_fault_context context,
		ox_fault_scope scope, ox_fault_severity severity, const char *file_name,
		const char *function_name, int line, const char *msg, va_list ap)
{
	line_start(l, context, scope, severity);
	if (file_name != NULL && form->with_function)
		line_append(l, "(%s:%s:%d) ", file_name, function_name != NULL ? function_name : "", line);
	else if (file_name != NULL)
		line_append(l, "(%s:%d) ", file_name, line);
	line_vappend(l, msg, ap);
	if (form->dump_label != NULL)
		line_append(l, "<%s>:%s", form->dump_label, form->dump_text);

	if (!line_send(l, context, severity, form->no_sinks_limit) || severity != OX_CRITICAL)
		return false;
	fflush(NULL);
	return true;
}

/* An event with a back trace: the line built in line_size bytes of a stack
 * buffer, then, for a CRITICAL one, the end by scope. */
static void
fault_vevent(const fault_line_form *form, size_t line_size, ox_fault_context context,
		ox_fault_scope scope, ox_fault_severity severity, const char *file_name,
		const char *function_name, int line, const char *msg, va_list ap)
{
	char buf[FAULT_LINE_BUF_BINARY];
	fault_line l = {buf, std::min(line_size, sizeof(buf)), 0};
	if (fault_emit(&l, form, context, scope, severity, file_name, function_name, line, msg, ap))
		end_by_scope_with_backtrace(scope);
}

void
ox_fault_event(ox_fault_context context, ox_fault_scope scope, ox_fault_severity severity,
		const char *file_name, const char *function_name, int line, const char *msg, ...)
{
	if (!ox_context_at_severity(context, severity))
		return;

	static const fault_line_form form = {true, NULL, NULL, NO_SINKS_LIMIT};
	va_list ap;
	va_start(ap, msg);
	fault_vevent(&form, FAULT_LINE_BUF, context, scope, severity, file_name, function_name, line, msg, ap);
	va_end(ap);
}

void
ox_fault_event_nostack(ox_fault_context context, ox_fault_scope scope, ox_fault_severity severity,
		const char *file_name, int line, const char *msg, ...)
{
	if (!ox_context_at_severity(context, severity))
		return;

	static const fault_line_form form = {false, NULL, NULL, NO_SINKS_LIMIT};
	char buf[FAULT_LINE_BUF];
	fault_line l = {buf, sizeof(buf), 0};
	va_list ap;
	va_start(ap, msg);
	bool critical = fault_emit(&l, &form, context, scope, severity, file_name, NULL, line, msg, ap);
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

/* The display label of a dump form and the text of its generator, by form. */
static const struct {
	const char *label;
	int (*generate)(const void *, uint32_t, char *, size_t);
} dump_forms[] = {
	{"Digest", generate_packed_hex_string},
	{"HexSpaced", generate_spaced_hex_string},
	{"HexPacked", generate_packed_hex_string},
	{"HexColumns", generate_column_hex_string},
	{"Base64", generate_base64_string},
	{"BitsSpaced", generate_4spaced_bits_string},
	{"BitsColumns", generate_column_bits_string},
};

static const char *
dump_generate(const void *mem_ptr, size_t len, ox_display_type dt, char *out, size_t out_sz)
{
	out[0] = '\0';
	if ((unsigned)dt >= sizeof(dump_forms) / sizeof(dump_forms[0]))
		return "Unknown Format";
	dump_forms[dt].generate(mem_ptr, (uint32_t)std::min(len, (size_t)UINT32_MAX), out, out_sz);
	return dump_forms[dt].label;
}

void
ox_fault_event2(ox_fault_context context, ox_fault_scope scope, ox_fault_severity severity,
		const char *file_name, const char *function_name, int line, const void *mem_ptr, size_t len,
		ox_display_type dt, const char *msg, ...)
{
	if (!ox_context_at_severity(context, severity))
		return;

	char dump[BIN_LIMIT];
	/* With no sink, a dump line is too long for a terminal to be worth more
	 * than a CRITICAL one. */
	fault_line_form form = {true, NULL, NULL, OX_CRITICAL};
	if (mem_ptr != NULL) {
		form.dump_label = dump_generate(mem_ptr, len, dt, dump, sizeof(dump));
		form.dump_text = dump;
	}
	va_list ap;
	va_start(ap, msg);
	fault_vevent(&form, FAULT_LINE_BUF_BINARY, context, scope, severity, file_name, function_name,
			line, msg, ap);
	va_end(ap);
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

/* Opens a sink's log file the one way every sink opens it. */
static int
sink_file_open(const char *path)
{
	return open(path, O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK, 0600);
}

static bool
path_is_stderr(const char *path)
{
	return strncmp(path, "stderr", 6) == 0;
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
		if (path_is_stderr(s->path))
			fd = 2;
		else
			fd = sink_file_open(s->path);
		if (fd < 0) {
			int err = errno;
			relaxed_store(ox_fault_sinks_inuse, 0);
			ox_warning(OX_MISC, "can't open %s: %s", s->path, ox_strerror(err));
			return -1;
		}
		relaxed_store(s->fd, fd);
		std::atomic_ref<int>(ox_fault_sinks_inuse).store(i + 1, std::memory_order_release);
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

/* Opens the path anew (after removing the file there when remove is set) and
 * puts the new file in place with dup2 onto the sink's own descriptor: a
 * write racing with this lands in one file or the other, never in a
 * descriptor that was closed and handed to someone else. */
static int
sink_file_replace(ox_fault_sink *sink, int old, bool remove)
{
	if (remove)
		(void)unlink(sink->path);
	int fd = sink_file_open(sink->path);
	if (fd < 0)
		return -1;
	int rv = 0;
	if (dup2(fd, old) < 0)
		rv = -1;
	close(fd);
	return rv;
}

int
ox_fault_sink_reopen(ox_fault_sink *sink)
{
	if (!sink || !sink->path || path_is_stderr(sink->path))
		return 0;
	int old = relaxed_load(sink->fd);
	if (old <= 2)
		return 0;
	return sink_file_replace(sink, old, true);
}

ox_fault_sink *
ox_fault_sink_get_id(int id)
{
	if (id < 0 || id >= sinks_active() || id >= OX_FAULT_SINKS_MAX)
		return NULL;
	return &ox_fault_sinks[id];
}

ox_fault_sink *
ox_fault_sink_add(const char *path)
{
	int slot = ox_fault_sinks_inuse;
	/* A held sink waiting for activation owns the next slot. */
	if (slot >= OX_FAULT_SINKS_MAX - 1 || num_held_fault_sinks > slot)
		return NULL;

	ox_fault_sink *s = &ox_fault_sinks[slot];
	int fd = path_is_stderr(path) ? 2 : sink_file_open(path);
	if (fd < 0)
		return NULL;
	char *copy = ox_strdup(path);
	if (copy == NULL) {
		if (fd > 2)
			close(fd);
		return NULL;
	}
	s->path = copy;
	relaxed_store(s->fd, fd);
	for (int c = 0; c < OX_FAULT_CONTEXT_UNDEF; c++)
		relaxed_store(s->limit[c], OX_INFO);
	num_held_fault_sinks = slot + 1;
	std::atomic_ref<int>(ox_fault_sinks_inuse).store(slot + 1, std::memory_order_release);
	return s;
}

void
ox_fault_sink_logroll(void)
{
	static const char note[] = "ox_fault: rolling log files\n";
	(void)!write(2, note, sizeof(note) - 1);

	int inuse = sinks_active();
	for (int i = 0; i < inuse; i++) {
		ox_fault_sink *s = &ox_fault_sinks[i];
		if (s->path == NULL || path_is_stderr(s->path))
			continue;
		int fd = relaxed_load(s->fd);
		if (fd > 2)
			(void)ox_fault_sink_reopen(s);
		else if (fd >= 0)
			/* A log file that took a standard descriptor keeps it: the
			 * path is opened again in place, nothing removed. */
			(void)sink_file_replace(s, fd, false);
	}
}
