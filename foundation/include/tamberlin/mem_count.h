/*
 * mem_count: optional accounting of heap use by allocation site.
 *
 * Once switched on, every allocation wrapper (enhanced_alloc.h) records the
 * pointer, the site ("file:line") that made it and the allocator's usable size
 * of the block, and keeps per-site totals that can be logged sorted by space,
 * change, counts or time. A free is charged to the site that allocated the
 * block, not to the caller of the free.
 *
 * While it is on, one process-wide lock serialises every wrapper call,
 * allocator call included, so it is a diagnostic tool, not something to leave
 * on in production. The counters are also changed atomically so that
 * mem_count_stats reads them without the lock. Its own tables use the plain
 * allocator, never the wrappers.
 *
 * Every line is logged under OX_ALLOC (CRITICAL with OX_PROCESS, the others
 * OX_THR). The ox_dyn_buf arguments are accepted and not written.
 */
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "tamberlin/dynbuf.h"

typedef enum {
	MEM_COUNT_DISABLE = 0,
	MEM_COUNT_ENABLE = 1,
	/* On, and frees of pointers the accounting never saw are counted in
	 * suppressed_free_warnings instead of warned about. */
	MEM_COUNT_ENABLE_DYNAMIC = 2
} mem_count_mode_t;

typedef enum {
	OX_ALLOC_TYPE_CALLOC = 0,
	OX_ALLOC_TYPE_MALLOC = 1,
	OX_ALLOC_TYPE_REALLOC = 2,
	OX_ALLOC_TYPE_VALLOC = 3,
	OX_ALLOC_TYPE_FREE = 4,
	OX_ALLOC_TYPE_STRDUP = 5,
	OX_ALLOC_TYPE_STRNDUP = 6
} alloc_type;

/* The report's sort field; its printed name follows each value. Any other
 * value is accepted (the int base keeps it defined) and prints "???". */
typedef enum : int {
	OX_ALLOC_SORT_NET_SZ = 0,            /* "space" */
	OX_ALLOC_SORT_DELTA_SZ = 1,          /* "change": the absolute value */
	OX_ALLOC_SORT_NET_ALLOC_COUNT = 2,   /* "net_count" */
	OX_ALLOC_SORT_TOTAL_ALLOC_COUNT = 3, /* "total_count" */
	OX_ALLOC_SORT_TIME_LAST_MODIFIED = 4 /* "time" */
} sort_field_t;

/* "file:line", zero-filled, cut to fit; the whole array is a table key. */
#define MAX_LOCATION_LEN 100
typedef char location_t[MAX_LOCATION_LEN];

/* What a live pointer came from. */
typedef struct {
	location_t loc;
	alloc_type type;
	size_t sz; /* the allocator's usable size of the block */
} alloc_loc_t;

/* The totals of one site. */
typedef struct {
	size_t net_sz;            /* usable bytes allocated at the site less those freed */
	ssize_t delta_sz;         /* the latest operation's change: + allocation, - free */
	size_t net_alloc_count;   /* allocations less frees */
	size_t total_alloc_count; /* operations, allocations and frees */
	time_t time_last_modified;
	location_t loc;           /* "(unused):0": the site is the table key */
} alloc_info_t;

/* The largest top_n a report accepts: its lists live on the caller's stack. */
#define MEM_COUNT_REPORT_TOP_N_MAX 1000

/* Reduce state of one report list: the top_n entries with the largest keys,
 * in descending order. */
typedef struct {
	sort_field_t sort_field;
	int top_n;
	int num_records;
	union {
		alloc_loc_t *p2l;
		alloc_info_t *l2a;
	} array;
} mem_count_report_t;

/* Counters: atomic 64-bit, reset by a mem_count_init that sets up the tables. */
extern uint64_t mem_count; /* net usable bytes */
extern uint64_t mem_count_mallocs, mem_count_frees, mem_count_callocs, mem_count_reallocs;
extern uint64_t mem_count_strdups, mem_count_strndups, mem_count_vallocs;
extern uint64_t suppressed_free_warnings;
/* Printed beside the counters; no operation adds to them, so they read 0. */
extern uint64_t mem_count_malloc_total, mem_count_free_total, mem_count_calloc_total;
extern uint64_t mem_count_realloc_plus_total, mem_count_realloc_minus_total;
extern uint64_t mem_count_strdup_total, mem_count_strndup_total, mem_count_valloc_total;

/*
 * Switches accounting on (mode 1 or 2) or off (mode 0). 0 when it set up the
 * tables; -1 otherwise: mode 0, or tables already there (the mode still takes
 * effect, and what was gathered is kept). Any thread.
 */
int mem_count_init(mem_count_mode_t mode);
/* Switches accounting off under its lock, then destroys the tables; a later
 * mem_count_init starts afresh. Does nothing (a DEBUG line) while off. */
void mem_count_shutdown(void);
/* Logs the counters (INFO), or a DEBUG line while accounting is off. */
void mem_count_stats(void);
/*
 * Logs the top_n largest live blocks and the top_n sites by sort_field.
 * 0; -1 before any set-up, or when top_n is not within 1 to
 * MEM_COUNT_REPORT_TOP_N_MAX. Holds the accounting lock while it walks.
 */
int mem_count_report(sort_field_t sort_field, int top_n, ox_dyn_buf *db);
/* Logs the totals of the site file:line. 0, or -1 (no set-up, no such site). */
int mem_count_alloc_info(const char *file, int line, ox_dyn_buf *db);

/* The tables' hash functions: the pointer value's low 32 bits; the sum of the
 * location's 100 bytes each as a signed 8-bit value. */
uint32_t ptr_hash_fn(const void *key);
uint32_t location_hash_fn(const void *key);

/* The report's reduce callbacks (udata: a mem_count_report_t). The l2a one
 * gives -1, ending the walk, for an unknown sort field. */
int mem_count_report_p2l_reduce_fn(const void *key, void *value, void *udata);
int mem_count_report_l2a_reduce_fn(const void *key, void *value, void *udata);
