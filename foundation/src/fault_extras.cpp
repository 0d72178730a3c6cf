/*
 * fault_extras: the fault log's periphery. The text forms of binary dumps,
 * the sink listings and descriptor list, the start-up call that prepares a
 * restart vector, and per-thread recovery stacks.
 *
 * Generators never write past the buffer they are given: they first work out
 * how many whole input bytes fit and show only those, so a dump is cut at a
 * byte boundary rather than in the middle of one byte's text. Listings read
 * the sink table without a lock, like every log call.
 */
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "tamberlin/dynbuf.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/fault.h"

char **ox_fault_restart_argv = NULL;
int32_t ox_fault_restart_argc = 0;
pthread_key_t ox_fault_recovery_key;

/* ---- binary dumps ---- */

/* The largest n <= len whose text (need(n) bytes with its NUL) fits out_sz,
 * or -1 when not even the empty text fits. need is increasing in n. */
template <typename Need>
static int64_t
bytes_that_fit(uint32_t len, size_t out_sz, Need need)
{
	if (need(0) > out_sz)
		return -1;
	/* Every form takes more than one character a byte. */
	uint64_t lo = 0, hi = std::min<uint64_t>(len, out_sz);
	while (lo < hi) {
		uint64_t mid = lo + (hi - lo + 1) / 2;
		if (need(mid) <= out_sz)
			lo = mid;
		else
			hi = mid - 1;
	}
	return (int64_t)lo;
}

static const char hex_digits[] = "0123456789abcdef";

static char *
put_hex(char *p, uint8_t b)
{
	*p++ = hex_digits[b >> 4];
	*p++ = hex_digits[b & 0xf];
	return p;
}

/* "dddd dddd " of one byte, high bit first. */
static char *
put_bits(char *p, uint8_t b)
{
	for (int bit = 7; bit >= 0; bit--) {
		*p++ = (b >> bit) & 1 ? '1' : '0';
		if (bit % 4 == 0)
			*p++ = ' ';
	}
	return p;
}

/* The frame of every generator: the whole bytes whose text fits, written by
 * body (which gives the end of its text), then the NUL; the bytes written. */
template <typename Need, typename Body>
static int
generate(const void *mem, uint32_t len, char *out, size_t out_sz, Need need, Body body)
{
	int64_t n = bytes_that_fit(len, out_sz, need);
	if (n < 0)
		return 0;
	char *p = body((const uint8_t *)mem, n, out);
	*p++ = '\0';
	return (int)(p - out);
}

int
generate_packed_hex_string(const void *mem, uint32_t len, char *out, size_t out_sz)
{
	return generate(mem, len, out, out_sz, [](uint64_t k) { return 2 * k + 3; },
			[](const uint8_t *b, int64_t n, char *p) {
				*p++ = '0';
				*p++ = 'x';
				for (int64_t i = 0; i < n; i++)
					p = put_hex(p, b[i]);
				return p;
			});
}

int
generate_spaced_hex_string(const void *mem, uint32_t len, char *out, size_t out_sz)
{
	return generate(mem, len, out, out_sz, [](uint64_t k) { return 3 * k + 1; },
			[](const uint8_t *b, int64_t n, char *p) {
				for (int64_t i = 0; i < n; i++) {
					p = put_hex(p, b[i]);
					*p++ = ' ';
				}
				return p;
			});
}

int
generate_column_hex_string(const void *mem, uint32_t len, char *out, size_t out_sz)
{
	return generate(mem, len, out, out_sz, [](uint64_t k) { return 3 * k + k / 8 + 3; },
			[](const uint8_t *b, int64_t n, char *p) {
				*p++ = '\n';
				for (int64_t i = 0; i < n; i++) {
					p = put_hex(p, b[i]);
					*p++ = ' ';
					if ((i + 1) % 8 == 0)
						*p++ = '\n';
				}
				*p++ = '\n';
				return p;
			});
}

int
generate_base64_string(const void *mem, uint32_t len, char *out, size_t out_sz)
{
	return generate(mem, len, out, out_sz, [](uint64_t k) { return 4 * ((k + 2) / 3) + 1; },
			[](const uint8_t *b, int64_t n, char *p) {
				static const char alphabet[] =
						"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
				for (int64_t i = 0; i < n; i += 3) {
					int64_t left = n - i;
					uint32_t v = (uint32_t)b[i] << 16;
					if (left > 1)
						v |= (uint32_t)b[i + 1] << 8;
					if (left > 2)
						v |= b[i + 2];
					*p++ = alphabet[(v >> 18) & 63];
					*p++ = alphabet[(v >> 12) & 63];
					*p++ = left > 1 ? alphabet[(v >> 6) & 63] : '=';
					*p++ = left > 2 ? alphabet[v & 63] : '=';
				}
				return p;
			});
}

int
generate_4spaced_bits_string(const void *mem, uint32_t len, char *out, size_t out_sz)
{
	return generate(mem, len, out, out_sz, [](uint64_t k) { return 10 * k + 1; },
			[](const uint8_t *b, int64_t n, char *p) {
				for (int64_t i = 0; i < n; i++)
					p = put_bits(p, b[i]);
				return p;
			});
}

int
generate_column_bits_string(const void *mem, uint32_t len, char *out, size_t out_sz)
{
	return generate(mem, len, out, out_sz, [](uint64_t k) { return 10 * k + k / 4 + 2; },
			[](const uint8_t *b, int64_t n, char *p) {
				*p++ = '\n';
				for (int64_t i = 0; i < n; i++) {
					p = put_bits(p, b[i]);
					if ((i + 1) % 4 == 0)
						*p++ = '\n';
				}
				return p;
			});
}

/* ---- listings ---- */

static ox_fault_severity
sink_level(const ox_fault_sink *s, int context)
{
	return std::atomic_ref<const ox_fault_severity>(s->limit[context]).load(std::memory_order_relaxed);
}

static void
append_context_level(ox_dyn_buf *db, const ox_fault_sink *s, int context)
{
	ox_dyn_buf_append_string(db, ox_fault_context_strings[context]);
	ox_dyn_buf_append_char(db, ':');
	ox_dyn_buf_append_string(db, ox_fault_severity_strings[sink_level(s, context)]);
}

int
ox_fault_sink_strlist(ox_dyn_buf *db)
{
	int inuse = std::atomic_ref<int>(ox_fault_sinks_inuse).load(std::memory_order_acquire);
	for (int i = 0; i < inuse; i++) {
		ox_dyn_buf_append_int(db, i);
		ox_dyn_buf_append_char(db, ':');
		ox_dyn_buf_append_string(db, ox_fault_sinks[i].path);
		ox_dyn_buf_append_char(db, ';');
	}
	if (inuse > 0)
		ox_dyn_buf_chomp(db);
	return 0;
}

int
ox_fault_sink_context_all_strlist(int sink_id, ox_dyn_buf *db)
{
	ox_fault_sink *s = ox_fault_sink_get_id(sink_id);
	if (s == NULL)
		return -1;
	for (int c = 0; c < OX_FAULT_CONTEXT_UNDEF; c++) {
		append_context_level(db, s, c);
		ox_dyn_buf_append_char(db, ';');
	}
	ox_dyn_buf_chomp(db);
	return 0;
}

int
ox_fault_sink_context_strlist(int sink_id, const char *context, ox_dyn_buf *db)
{
	ox_fault_sink *s = ox_fault_sink_get_id(sink_id);
	if (s == NULL)
		return -1;
	for (int c = 0; c < OX_FAULT_CONTEXT_UNDEF; c++) {
		if (strcmp(context, ox_fault_context_strings[c]) == 0) {
			append_context_level(db, s, c);
			return 0;
		}
	}
	ox_dyn_buf_append_string(db, context);
	ox_dyn_buf_append_string(db, ":unknown");
	return 0;
}

int
ox_fault_sink_get_fd_list(int *fds)
{
	int inuse = std::atomic_ref<int>(ox_fault_sinks_inuse).load(std::memory_order_acquire);
	int n = 0;
	for (int i = 0; i < inuse; i++) {
		const ox_fault_sink *s = &ox_fault_sinks[i];
		int fd = std::atomic_ref<const int>(s->fd).load(std::memory_order_relaxed);
		if (fd > 2 && strncmp(s->path, "stderr", 6) != 0)
			fds[n++] = fd;
	}
	return n;
}

/* ---- start-up ---- */

/* True when some entry of exclude begins with arg; the empty argument always
 * counts as excluded. */
static bool
excluded(const char *arg, int excludec, char **exclude)
{
	size_t n = strlen(arg);
	if (n == 0)
		return true;
	for (int j = 0; j < excludec; j++)
		if (exclude[j] != NULL && strncmp(exclude[j], arg, n) == 0)
			return true;
	return false;
}

void
ox_fault_init(int argc, char **argv, int excludec, char **exclude)
{
	if (argc < 0 || excludec < 0 || argv == NULL || (exclude == NULL && excludec > 0)) {
		ox_crash(OX_MISC, OX_GLOBAL, "invalid argument");
		return;
	}

	char **v = (char **)ox_malloc(((size_t)argc + 2) * sizeof(char *));
	if (v == NULL) {
		ox_crash(OX_MISC, OX_GLOBAL, "alloc: %s", ox_strerror(errno));
		return;
	}
	int n = 0;
	for (int i = 0; i < argc; i++) {
		if (argv[i] == NULL || excluded(argv[i], excludec, exclude))
			continue;
		v[n] = ox_strdup(argv[i]);
		if (v[n] == NULL) {
			ox_crash(OX_MISC, OX_GLOBAL, "alloc: %s", ox_strerror(errno));
			return;
		}
		n++;
	}
	v[n] = ox_strdup("--process-fault");
	if (v[n] == NULL) {
		ox_crash(OX_MISC, OX_GLOBAL, "alloc: %s", ox_strerror(errno));
		return;
	}
	v[n + 1] = NULL;

	/* A second call replaces the vector of the first. */
	if (ox_fault_restart_argv != NULL) {
		for (char **p = ox_fault_restart_argv; *p != NULL; p++)
			ox_free(*p);
		ox_free(ox_fault_restart_argv);
	}
	ox_fault_restart_argv = v;
	ox_fault_restart_argc = n + 1;

	for (int c = 0; c < OX_FAULT_CONTEXT_UNDEF; c++)
		std::atomic_ref<ox_fault_severity>(ox_fault_filter[c]).store(OX_WARNING,
				std::memory_order_relaxed);
}

/* ---- recovery stacks ---- */

static ox_fault_recovery_stack *
thread_stack(pthread_key_t *rkey)
{
	return (ox_fault_recovery_stack *)pthread_getspecific(*rkey);
}

int
ox_fault_recovery_globalinit(pthread_key_t *rkey)
{
	if (rkey == NULL) {
		ox_crash(OX_MISC, OX_PROCESS, "null rkey");
		return -1;
	}
	return pthread_key_create(rkey, NULL);
}

int
ox_fault_recovery_localinit(pthread_key_t *rkey, ox_fault_recovery_stack *stack)
{
	if (rkey == NULL && stack == NULL) {
		ox_crash(OX_MISC, OX_PROCESS, "invalid argument");
		return -1;
	}
	if (rkey == NULL || stack == NULL)
		return -1;
	stack->sz = -1;
	return pthread_setspecific(*rkey, stack) == 0 ? 0 : -1;
}

int
ox_fault_recovery_push(pthread_key_t *rkey, ox_fault_recovery_fn fn, void *arg)
{
	if (rkey == NULL && fn == NULL) {
		ox_crash(OX_MISC, OX_PROCESS, "invalid argument");
		return -1;
	}
	if (rkey == NULL || fn == NULL)
		return -1;
	ox_fault_recovery_stack *s = thread_stack(rkey);
	if (s == NULL || s->sz >= OX_FAULT_RECOVERY_STACK_MAXDEPTH - 1)
		return -1;
	s->sz++;
	s->fn[s->sz] = fn;
	s->arg[s->sz] = arg;
	return 0;
}

int
ox_fault_recovery_pop(pthread_key_t *rkey, int exec)
{
	if (rkey == NULL) {
		ox_crash(OX_MISC, OX_PROCESS, "invalid argument");
		return -1;
	}
	ox_fault_recovery_stack *s = thread_stack(rkey);
	if (s == NULL || s->sz < 0)
		return -1;
	if (exec)
		s->fn[s->sz](s->arg[s->sz]);
	s->sz--;
	return 0;
}

void
ox_fault_recovery(pthread_key_t *rkey)
{
	if (rkey == NULL) {
		ox_crash(OX_MISC, OX_PROCESS, "invalid argument");
		return;
	}
	ox_fault_recovery_stack *s = thread_stack(rkey);
	if (s == NULL)
		return;
	while (s->sz >= 0) {
		s->fn[s->sz](s->arg[s->sz]);
		s->sz--;
	}
}
