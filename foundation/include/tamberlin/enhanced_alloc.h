/*
 * alloc: allocation wrappers tagged with the caller's source location,
 * reference-counted blocks, and the atomic counters every subsystem uses.
 *
 * The wrappers take file and line so that memory accounting can charge each
 * allocation to its site; while accounting is off (the state of this system
 * for its whole life) each one is the plain allocator call. Memory from any
 * wrapper may be released by ox_free or free(), and the reverse, while
 * accounting is off.
 *
 * A reference-counted block carries a hidden ox_rc_hdr just below the
 * caller's address: an atomic count (1 at birth) and the requested size. Every
 * further holder reserves before it keeps the address and releases when done;
 * the holder whose release gives 0 frees it. All calls here are thread-safe.
 */
#pragma once

#include <cstddef>
#include <cstdint>

/*
 * Atomic counters. add/sub/incr/decr are one locked exchange-and-add and give
 * the new value; get/set are plain (relaxed) reads and stores with no locked
 * instruction, so a reader sees some recent value.
 */
static inline int64_t
ox_atomic64_add(uint64_t *a, int64_t b)
{
	return (int64_t)__atomic_add_fetch(a, (uint64_t)b, __ATOMIC_SEQ_CST);
}

static inline int32_t
ox_atomic32_add(uint32_t *a, int32_t b)
{
	return (int32_t)__atomic_add_fetch(a, (uint32_t)b, __ATOMIC_SEQ_CST);
}

static inline uint64_t
ox_atomic64_get(const uint64_t *a)
{
	return __atomic_load_n(a, __ATOMIC_RELAXED);
}

static inline void
ox_atomic64_set(uint64_t *a, uint64_t b)
{
	__atomic_store_n(a, b, __ATOMIC_RELAXED);
}

static inline uint32_t
ox_atomic32_get(const uint32_t *a)
{
	return __atomic_load_n(a, __ATOMIC_RELAXED);
}

static inline void
ox_atomic32_set(uint32_t *a, uint32_t b)
{
	__atomic_store_n(a, b, __ATOMIC_RELAXED);
}

#define ox_atomic64_sub(a, b) ox_atomic64_add((a), 0 - (int64_t)(b))
#define ox_atomic64_incr(a) ox_atomic64_add((a), 1)
#define ox_atomic64_decr(a) ox_atomic64_add((a), -1)
#define ox_atomic32_sub(a, b) ox_atomic32_add((a), 0 - (int32_t)(b))
#define ox_atomic32_incr(a) ox_atomic32_add((a), 1)
#define ox_atomic32_decr(a) ox_atomic32_add((a), -1)

/* The 64-bit forms under other names. */
#define ox_atomic_int_get(a) ox_atomic64_get(a)
#define ox_atomic_int_set(a, b) ox_atomic64_set((a), (b))
#define ox_atomic_int_add(a, b) ox_atomic64_add((a), (b))
#define ox_atomic_int_sub(a, b) ox_atomic64_sub((a), (b))
#define ox_atomic_p_get(a) ox_atomic64_get(a)
#define ox_atomic_p_set(a, b) ox_atomic64_set((a), (b))
#define ox_atomic_p_add(a, b) ox_atomic64_add((a), (b))
#define ox_atomic_p_incr(a) ox_atomic64_incr(a)
#define ox_atomic_p_decr(a) ox_atomic64_decr(a)

/*
 * The accounting switch that every wrapper tests (a relaxed atomic read);
 * set only by mem_count_init and mem_count_shutdown (mem_count.h), which this
 * system never calls.
 */
extern bool g_memory_accounting_enabled;

/* Allocator entry points that alloc_function_init may load; the wrappers do
 * not call through them. */
extern void *(*g_malloc_fn)(size_t);
extern int (*g_posix_memalign_fn)(void **, size_t, size_t);
extern void (*g_free_fn)(void *);
extern void *(*g_calloc_fn)(size_t, size_t);
extern void *(*g_realloc_fn)(void *, size_t);
extern char *(*g_strdup_fn)(const char *);
extern char *(*g_strndup_fn)(const char *, size_t);

/* Wrappers: the caller owns the result (NULL when the allocator fails) and
 * releases it with ox_free. Any thread. While accounting is on, every call
 * takes the accounting's lock, and a free of a block the accounting never saw
 * leaves it allocated (see mem_count.h). */
void *ox_malloc_at(size_t sz, const char *file, int line);
void *ox_calloc_at(size_t nmemb, size_t sz, const char *file, int line);
void *ox_realloc_at(void *ptr, size_t sz, const char *file, int line);
void *ox_valloc_at(size_t sz, const char *file, int line); /* 4096-aligned */
char *ox_strdup_at(const char *s, const char *file, int line);
char *ox_strndup_at(const char *s, size_t n, const char *file, int line);
void ox_free_at(void *p, const char *file, int line); /* NULL is ignored */

#define ox_malloc(sz) ox_malloc_at((sz), __FILE_NAME__, __LINE__)
#define ox_calloc(nmemb, sz) ox_calloc_at((nmemb), (sz), __FILE_NAME__, __LINE__)
#define ox_realloc(ptr, sz) ox_realloc_at((ptr), (sz), __FILE_NAME__, __LINE__)
#define ox_valloc(sz) ox_valloc_at((sz), __FILE_NAME__, __LINE__)
#define ox_strdup(s) ox_strdup_at((s), __FILE_NAME__, __LINE__)
#define ox_strndup(s, n) ox_strndup_at((s), (n), __FILE_NAME__, __LINE__)
#define ox_free(p) ox_free_at((p), __FILE_NAME__, __LINE__)

/* Stored immediately below the address a reference-counted block's holder
 * receives. */
typedef struct {
	uint32_t count; /* atomic read-modify-write only; 1 when made */
	uint32_t sz;    /* low 32 bits of the requested size */
} ox_rc_hdr;

/*
 * Reference-counted blocks; addr is always the caller's address.
 * ox_rc_alloc_at: header + sz bytes in one allocation, count 1; NULL when the
 *   allocator fails or header + sz does not fit in a size_t.
 * ox_rc_reserve / ox_rc_release: +1 / -1, give the new count; the holder that
 *   gets 0 from ox_rc_release frees the block with ox_rc_free.
 * ox_rc_releaseandfree: -1 and frees the block itself when that gives 0.
 * ox_rc_free_at: frees whatever the count (for the holder of the last
 *   reference); NULL is a CRITICAL event that aborts the process.
 * ox_rc_count: a plain snapshot of the count.
 */
void *ox_rc_alloc_at(size_t sz, const char *file, int line);
int ox_rc_reserve(void *addr);
int ox_rc_release(void *addr);
int ox_rc_releaseandfree(void *addr);
void ox_rc_free_at(void *addr, const char *file, int line);
uint32_t ox_rc_count(void *addr);

#define ox_rc_alloc(sz) ox_rc_alloc_at((sz), __FILE_NAME__, __LINE__)
#define ox_rc_free(addr) ox_rc_free_at((addr), __FILE_NAME__, __LINE__)

/*
 * Loads another allocator's seven entry points into the g_*_fn pointers
 * (so_name NULL: the process's own functions). 0, or -1 when the library
 * cannot be loaded. Call before threads start.
 */
int alloc_function_init(const char *so_name);
void ox_rc_init(const char *clib_path);
