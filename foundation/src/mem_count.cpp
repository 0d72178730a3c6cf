/*
 * mem_count: heap accounting by allocation site, behind the allocation
 * wrappers.
 *
 * Three tables: pointer -> recorded size (the accounting's own view of which
 * blocks it saw), pointer -> where and how big (to charge a free to the
 * allocating site), site -> totals. All three are touched only under
 * mem_count_lock, which every wrapper takes while accounting is on, so a
 * pointer's entries and the allocator's view of it never disagree. The
 * switch is read without the lock by the wrappers (the cheap test) and again
 * under it before any table is touched, which is what lets accounting be
 * switched off, and its tables destroyed, while other threads allocate.
 *
 * Block sizes come from the allocator's usable-size call, read only while
 * the block is known to be live: a free's size is the one recorded when the
 * block was made, never asked of a block a reallocation may have released.
 */
#include "tamberlin/mem_count.h"

#include <malloc.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "mem_count_hooks.h"
#include "ox_mutex_guard.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/fault.h"
#include "tamberlin/ox_shash.h"

uint64_t mem_count;
uint64_t mem_count_mallocs, mem_count_frees, mem_count_callocs, mem_count_reallocs;
uint64_t mem_count_strdups, mem_count_strndups, mem_count_vallocs;
uint64_t suppressed_free_warnings;
uint64_t mem_count_malloc_total, mem_count_free_total, mem_count_calloc_total;
uint64_t mem_count_realloc_plus_total, mem_count_realloc_minus_total;
uint64_t mem_count_strdup_total, mem_count_strndup_total, mem_count_valloc_total;

/* True in every mode but MEM_COUNT_ENABLE. Written under the lock; read
 * without it by mem_count_stats. */
bool g_suppress_free_warnings;

static pthread_mutex_t mem_count_lock = PTHREAD_MUTEX_INITIALIZER;
/* NULL before set-up and after shutdown; under mem_count_lock. */
static shash *mem_count_shash;
static shash *ptr2loc_shash;
static shash *loc2alloc_shash;

static const char SEPARATOR[] = "=============================================";

static void
set_enabled(bool on)
{
	std::atomic_ref<bool>(g_memory_accounting_enabled).store(on, std::memory_order_relaxed);
}

bool
mem_count_enabled(void)
{
	return std::atomic_ref<bool>(g_memory_accounting_enabled).load(std::memory_order_relaxed);
}

/* Under mem_count_lock: may the tables be used? */
static bool
suppress_free_warnings(void)
{
	return std::atomic_ref<bool>(g_suppress_free_warnings).load(std::memory_order_relaxed);
}

static bool
accounting_on(void)
{
	return mem_count_enabled() && mem_count_shash != NULL;
}

static void
counter_add(uint64_t *c, int64_t d)
{
	ox_atomic64_add(c, d);
}

uint32_t
ptr_hash_fn(const void *key)
{
	uintptr_t v;
	memcpy(&v, key, sizeof(v));
	return (uint32_t)v;
}

uint32_t
location_hash_fn(const void *key)
{
	const int8_t *b = (const int8_t *)key;
	uint32_t sum = 0;
	for (int i = 0; i < MAX_LOCATION_LEN; i++)
		sum += (uint32_t)(int32_t)b[i];
	return sum;
}

static void
make_location(location_t loc, const char *file, int line)
{
	memset(loc, 0, MAX_LOCATION_LEN);
	snprintf(loc, MAX_LOCATION_LEN, "%s:%d", file, line);
}

/* ---- start and stop ---- */

int
mem_count_init(mem_count_mode_t mode)
{
	ox_mutex_guard guard(&mem_count_lock);
	set_enabled(mode != MEM_COUNT_DISABLE);
	std::atomic_ref<bool>(g_suppress_free_warnings).store(mode != MEM_COUNT_ENABLE, std::memory_order_relaxed);

	if (mode == MEM_COUNT_DISABLE || mem_count_shash != NULL) {
		ox_debug(OX_ALLOC, "memory accounting %sabled", mode != MEM_COUNT_DISABLE ? "en" : "dis");
		return -1;
	}

	if (shash_create(&mem_count_shash, ptr_hash_fn, sizeof(void *), sizeof(size_t), 100000,
				SHASH_CR_MT_MANYLOCK | SHASH_CR_UNTRACKED) != SHASH_OK) {
		set_enabled(false);
		ox_crash(OX_ALLOC, OX_PROCESS, "Failed to allocate mem_count_shash");
		return -1;
	}
	if (shash_create(&ptr2loc_shash, ptr_hash_fn, sizeof(void *), sizeof(alloc_loc_t), 100000,
				SHASH_CR_MT_MANYLOCK | SHASH_CR_UNTRACKED) != SHASH_OK) {
		set_enabled(false);
		ox_crash(OX_ALLOC, OX_PROCESS, "Failed to allocate ptr2loc_shash");
		return -1;
	}
	if (shash_create(&loc2alloc_shash, location_hash_fn, sizeof(location_t), sizeof(alloc_info_t),
				10000, SHASH_CR_MT_MANYLOCK | SHASH_CR_UNTRACKED) != SHASH_OK) {
		set_enabled(false);
		ox_crash(OX_ALLOC, OX_PROCESS, "Failed to allocate loc2alloc_shash");
		return -1;
	}

	uint64_t *counters[] = {&mem_count, &mem_count_mallocs, &mem_count_frees, &mem_count_callocs,
		&mem_count_reallocs, &mem_count_strdups, &mem_count_strndups, &mem_count_vallocs,
		&suppressed_free_warnings, &mem_count_malloc_total, &mem_count_free_total,
		&mem_count_calloc_total, &mem_count_realloc_plus_total, &mem_count_realloc_minus_total,
		&mem_count_strdup_total, &mem_count_strndup_total, &mem_count_valloc_total};
	for (uint64_t *c : counters)
		ox_atomic64_set(c, 0);
	return 0;
}

void
mem_count_shutdown(void)
{
	ox_mutex_guard guard(&mem_count_lock);
	if (!accounting_on()) {
		ox_debug(OX_ALLOC, "memory accounting not enabled");
		return;
	}
	/* Off first: a wrapper that read the switch before this takes the lock
	 * after it, sees it off and leaves the tables alone. */
	set_enabled(false);
	shash_destroy(mem_count_shash);
	shash_destroy(ptr2loc_shash);
	shash_destroy(loc2alloc_shash);
	mem_count_shash = ptr2loc_shash = loc2alloc_shash = NULL;
}

/* ---- site bookkeeping (under mem_count_lock) ---- */

static void
update_alloc_info(const void *, void *value_old, void *value_new, void *)
{
	alloc_info_t *nv = (alloc_info_t *)value_new;
	if (value_old != NULL) {
		const alloc_info_t *ov = (const alloc_info_t *)value_old;
		nv->net_sz += ov->net_sz;
		nv->net_alloc_count += ov->net_alloc_count;
		nv->total_alloc_count += ov->total_alloc_count;
	}
	nv->time_last_modified = time(NULL);
}

/* Charges one operation on ptr, whose usable size is u, to its site: the
 * caller's for an allocation, the allocating one for a free. */
static void
update_alloc_at_location(void *ptr, alloc_type type, const char *file, int line, size_t u)
{
	location_t loc;
	make_location(loc, file, line);
	alloc_info_t delta = {};

	if (type != OX_ALLOC_TYPE_FREE) {
		counter_add(&mem_count, (int64_t)u);
		alloc_loc_t al = {};
		memcpy(al.loc, loc, sizeof(loc));
		al.type = type;
		al.sz = u;
		int rv = shash_put_unique(ptr2loc_shash, &ptr, &al);
		if (rv != SHASH_OK) {
			ox_warning(OX_ALLOC, "Could not put %p into ptr2loc_shash with sz: %zu loc: \"%s\" (rv: %d) [IGNORED]",
					ptr, u, loc, rv);
			if (rv == SHASH_ERR_FOUND) {
				alloc_loc_t old;
				int grv = shash_get(ptr2loc_shash, &ptr, &old);
				if (grv == SHASH_OK)
					ox_warning(OX_ALLOC, "Found existing {loc: \"%s\"; type: %d; sz: %d} @ ptr %p in ptr2loc_shash",
							old.loc, (int)old.type, (int)old.sz, ptr);
				else
					ox_warning(OX_ALLOC, "Could not find existing allocation @ %p in ptr2loc_shash (rv: %d)",
							ptr, grv);
			}
			return;
		}
		delta.net_sz = u;
		delta.delta_sz = (ssize_t)u;
		delta.net_alloc_count = 1;
	} else {
		alloc_loc_t al;
		if (shash_get_and_delete(ptr2loc_shash, &ptr, &al) != SHASH_OK) {
			counter_add(&mem_count, -(int64_t)u);
			ox_warning(OX_ALLOC, "Could not get %p from ptr2loc_shash with sz: %zu loc: \"%s\" [IGNORED]",
					ptr, u, loc);
			return;
		}
		/* The size charged when the block was made, so the site's net comes
		 * back exactly. */
		counter_add(&mem_count, -(int64_t)al.sz);
		memcpy(loc, al.loc, sizeof(loc));
		delta.net_sz = 0 - al.sz;
		delta.delta_sz = -(ssize_t)al.sz;
		delta.net_alloc_count = (size_t)-1;
		u = al.sz;
	}
	delta.total_alloc_count = 1;
	snprintf(delta.loc, sizeof(delta.loc), "%s:%d", "(unused)", 0);

	alloc_info_t old;
	if (shash_update(loc2alloc_shash, loc, &old, &delta, update_alloc_info, NULL) != SHASH_OK)
		ox_warning(OX_ALLOC, "Could not update loc2alloc_shash with sz: %zu loc: \"%s\" [IGNORED]", u, loc);
}

/* How a refused record is reported. */
typedef enum {
	RECORD_WARN,                 /* the common warning */
	RECORD_WARN_MALLOC,          /* with the table's result and the entry found */
	RECORD_DEBUG_AFTER_UNKNOWN   /* a reallocation of a block never seen */
} record_report;

/* Records a new block of requested size sz and charges it to the site.
 * Gives true when it was recorded. */
static bool
record_alloc(void *p, size_t sz, alloc_type type, const char *file, int line, record_report how)
{
	int rv = shash_put_unique(mem_count_shash, &p, &sz);
	if (rv != SHASH_OK) {
		switch (how) {
		case RECORD_WARN:
			ox_warning(OX_ALLOC, "Could not add ptr: %p sz: %zu to mem_count_shash @ %s:%d [IGNORED]",
					p, sz, file, line);
			break;
		case RECORD_WARN_MALLOC:
			ox_warning(OX_ALLOC, "Could not add ptr: %p sz: %zu to mem_count_shash @ %s:%d (rv: %d) [IGNORED]",
					p, sz, file, line, rv);
			if (rv == SHASH_ERR_FOUND) {
				size_t old;
				int grv = shash_get(mem_count_shash, &p, &old);
				if (grv == SHASH_OK)
					ox_warning(OX_ALLOC, "Found existing allocation with sz: %d @ ptr %p in mem_count_shash",
							(int)old, p);
				else
					ox_warning(OX_ALLOC, "Could not find existing allocation @ %p in mem_count_shash (rv: %d)",
							p, grv);
			}
			break;
		case RECORD_DEBUG_AFTER_UNKNOWN:
			ox_debug(OX_ALLOC, "Could not put realloc'd pointer %p in mem_count_shash @ %s:%d", p, file, line);
			break;
		}
		return false;
	}
	update_alloc_at_location(p, type, file, line, malloc_usable_size(p));
	return true;
}

/* A free of a pointer the accounting never saw: the block is left alone, as
 * it may not be the allocator's at all. */
static void
unrecorded_free(void *p, const char *file, int line)
{
	if (suppress_free_warnings())
		counter_add(&suppressed_free_warnings, 1);
	else
		ox_warning(OX_ALLOC, "Could not find pointer %p in mem_count_shash @ %s:%d [IGNORED]", p, file, line);
}

/* The free of p: charged and released when it was recorded. */
static void
free_recorded(void *p, const char *file, int line)
{
	if (shash_get(mem_count_shash, &p, NULL) != SHASH_OK) {
		unrecorded_free(p, file, line);
		return;
	}
	/* Recorded, so live: its usable size may be asked before it goes. */
	size_t u = malloc_usable_size(p);
	shash_delete(mem_count_shash, &p);
	counter_add(&mem_count_frees, 1);
	update_alloc_at_location(p, OX_ALLOC_TYPE_FREE, file, line, u);
	free(p);
}

/* ---- the wrappers' paths while accounting is on ---- */

/* One allocation wrapper: the allocator call under the lock, then the
 * bookkeeping when accounting is still on. */
template <typename Alloc>
static void *
counted_alloc(uint64_t *counter, alloc_type type, record_report how, const char *file, int line,
		Alloc alloc)
{
	ox_mutex_guard guard(&mem_count_lock);
	size_t sz = 0;
	void *p = alloc(&sz);
	if (!accounting_on())
		return p;
	counter_add(counter, 1);
	if (p != NULL)
		(void)record_alloc(p, sz, type, file, line, how);
	return p;
}

void *
mem_count_malloc_at(size_t sz, const char *file, int line)
{
	return counted_alloc(&mem_count_mallocs, OX_ALLOC_TYPE_MALLOC, RECORD_WARN_MALLOC, file, line,
			[sz](size_t *rec) { *rec = sz; return malloc(sz); });
}

void *
mem_count_calloc_at(size_t nmemb, size_t sz, const char *file, int line)
{
	/* The requested bytes: a successful calloc means the product did not wrap. */
	return counted_alloc(&mem_count_callocs, OX_ALLOC_TYPE_CALLOC, RECORD_WARN, file, line,
			[nmemb, sz](size_t *rec) { *rec = nmemb * sz; return calloc(nmemb, sz); });
}

void *
mem_count_valloc_at(size_t sz, const char *file, int line)
{
	return counted_alloc(&mem_count_vallocs, OX_ALLOC_TYPE_VALLOC, RECORD_WARN, file, line,
			[sz, file, line](size_t *rec) -> void * {
				*rec = sz;
				void *p = NULL;
				if (posix_memalign(&p, 4096, sz) != 0) {
					ox_warning(OX_ALLOC, "posix_memalign() failed to allocate sz: %zu @ %s:%d [IGNORED]",
							sz, file, line);
					return NULL;
				}
				return p;
			});
}

char *
mem_count_strdup_at(const char *s, const char *file, int line)
{
	return (char *)counted_alloc(&mem_count_strdups, OX_ALLOC_TYPE_STRDUP, RECORD_WARN, file, line,
			[s](size_t *rec) { *rec = strlen(s) + 1; return (void *)strdup(s); });
}

char *
mem_count_strndup_at(const char *s, size_t n, const char *file, int line)
{
	return (char *)counted_alloc(&mem_count_strndups, OX_ALLOC_TYPE_STRNDUP, RECORD_WARN, file, line,
			[s, n](size_t *rec) { *rec = strnlen(s, n) + 1; return (void *)strndup(s, n); });
}

void
mem_count_free_at(void *p, const char *file, int line)
{
	if (p == NULL) {
		ox_info(OX_ALLOC, "[Ignoring ox_free(0) @ %s:%d!]", file, line);
		return;
	}
	ox_mutex_guard guard(&mem_count_lock);
	if (!accounting_on()) {
		free(p);
		return;
	}
	free_recorded(p, file, line);
}

void *
mem_count_realloc_at(void *old, size_t sz, const char *file, int line)
{
	ox_mutex_guard guard(&mem_count_lock);
	if (!accounting_on())
		return realloc(old, sz);
	counter_add(&mem_count_reallocs, 1);

	if (old == NULL) {
		void *p = realloc(NULL, sz);
		if (p != NULL && record_alloc(p, sz, OX_ALLOC_TYPE_MALLOC, file, line, RECORD_WARN))
			counter_add(&mem_count_mallocs, 1);
		return p;
	}
	if (sz == 0) {
		/* A resize to nothing is a free, whatever the allocator would make
		 * of it. */
		free_recorded(old, file, line);
		return NULL;
	}

	/* The old block's size is read while it is certainly live: the resize
	 * may release it. */
	bool recorded = shash_get(mem_count_shash, &old, NULL) == SHASH_OK;
	size_t old_u = recorded ? malloc_usable_size(old) : 0;
	void *p = realloc(old, sz);
	if (p == NULL)
		return NULL;
	counter_add(&mem_count_frees, 1);
	counter_add(&mem_count_mallocs, 1);
	if (recorded) {
		shash_delete(mem_count_shash, &old);
		update_alloc_at_location(old, OX_ALLOC_TYPE_FREE, file, line, old_u);
	} else {
		unrecorded_free(old, file, line);
	}
	(void)record_alloc(p, sz, OX_ALLOC_TYPE_REALLOC, file, line,
			recorded ? RECORD_WARN : RECORD_DEBUG_AFTER_UNKNOWN);
	return p;
}

/* ---- statistics and reports ---- */

/* The value in GB, MB, KB or B by its absolute size. */
static double
human(int64_t v, const char **unit)
{
	uint64_t a = v < 0 ? 0 - (uint64_t)v : (uint64_t)v;
	if (a >= (1ull << 30)) {
		*unit = "GB";
		return (double)v / (double)(1ull << 30);
	}
	if (a >= (1ull << 20)) {
		*unit = "MB";
		return (double)v / (double)(1ull << 20);
	}
	if (a >= 1024) {
		*unit = "KB";
		return (double)v / 1024.0;
	}
	*unit = "B";
	return (double)v;
}

static long
get(uint64_t *c)
{
	return (long)ox_atomic64_get(c);
}

void
mem_count_stats(void)
{
	if (!mem_count_enabled()) {
		ox_debug(OX_ALLOC, "memory accounting not enabled");
		return;
	}
	const char *unit;
	double h = human(get(&mem_count), &unit);
	ox_info(OX_ALLOC, "Mem Count Stats:");
	ox_info(OX_ALLOC, "%s", SEPARATOR);
	ox_info(OX_ALLOC, "mem_count: %ld (%.3f %s)", get(&mem_count), h, unit);
	ox_info(OX_ALLOC, "%s", SEPARATOR);
	ox_info(OX_ALLOC, "net mallocs: %ld",
			get(&mem_count_mallocs) + get(&mem_count_callocs) + get(&mem_count_strdups) +
					get(&mem_count_strndups) + get(&mem_count_vallocs) - get(&mem_count_frees));
	ox_info(OX_ALLOC, "%s", SEPARATOR);
	ox_info(OX_ALLOC, "mem_count_mallocs: %ld (%ld)", get(&mem_count_mallocs), get(&mem_count_malloc_total));
	if (suppress_free_warnings())
		ox_info(OX_ALLOC, "mem_count_frees: %ld (+%ld)", get(&mem_count_frees), get(&suppressed_free_warnings));
	else
		ox_info(OX_ALLOC, "mem_count_frees: %ld (%ld)", get(&mem_count_frees), get(&mem_count_free_total));
	ox_info(OX_ALLOC, "mem_count_callocs: %ld (%ld)", get(&mem_count_callocs), get(&mem_count_calloc_total));
	ox_info(OX_ALLOC, "mem_count_reallocs: %ld (%ld / %ld)", get(&mem_count_reallocs),
			get(&mem_count_realloc_plus_total), get(&mem_count_realloc_minus_total));
	ox_info(OX_ALLOC, "mem_count_strdups: %ld (%ld)", get(&mem_count_strdups), get(&mem_count_strdup_total));
	ox_info(OX_ALLOC, "mem_count_strndups: %ld (%ld)", get(&mem_count_strndups), get(&mem_count_strndup_total));
	ox_info(OX_ALLOC, "mem_count_vallocs: %ld (%ld)", get(&mem_count_vallocs), get(&mem_count_valloc_total));
	ox_info(OX_ALLOC, "%s", SEPARATOR);
}

/* Puts e, whose key is k, into the report's descending list, or passes it
 * over when its key is not above the last slot's (zero while not full). */
template <typename T, typename Key>
static void
report_insert(T *arr, mem_count_report_t *r, const T &e, Key key)
{
	uint64_t k = key(e);
	if (k <= key(arr[r->top_n - 1]))
		return;
	int i = 0;
	while (i < r->num_records && key(arr[i]) >= k)
		i++;
	int last = r->num_records < r->top_n ? r->num_records : r->top_n - 1;
	memmove(&arr[i + 1], &arr[i], (size_t)(last - i) * sizeof(T));
	arr[i] = e;
	if (r->num_records < r->top_n)
		r->num_records++;
}

int
mem_count_report_p2l_reduce_fn(const void *, void *value, void *udata)
{
	mem_count_report_t *r = (mem_count_report_t *)udata;
	/* Values in the table are not aligned for their type. */
	alloc_loc_t e;
	memcpy(&e, value, sizeof(e));
	report_insert(r->array.p2l, r, e, [](const alloc_loc_t &a) { return (uint64_t)a.sz; });
	return 0;
}

static int64_t
abs64(int64_t v)
{
	return v < 0 ? -v : v;
}

int
mem_count_report_l2a_reduce_fn(const void *key, void *value, void *udata)
{
	mem_count_report_t *r = (mem_count_report_t *)udata;
	alloc_info_t e;
	memcpy(&e, value, sizeof(e));
	memcpy(e.loc, key, sizeof(e.loc));

	uint64_t (*k)(const alloc_info_t &);
	switch (r->sort_field) {
	case OX_ALLOC_SORT_NET_SZ:
		k = [](const alloc_info_t &a) { return (uint64_t)a.net_sz; };
		break;
	case OX_ALLOC_SORT_DELTA_SZ:
		k = [](const alloc_info_t &a) { return (uint64_t)abs64(a.delta_sz); };
		break;
	case OX_ALLOC_SORT_NET_ALLOC_COUNT:
		k = [](const alloc_info_t &a) { return (uint64_t)a.net_alloc_count; };
		break;
	case OX_ALLOC_SORT_TOTAL_ALLOC_COUNT:
		k = [](const alloc_info_t &a) { return (uint64_t)a.total_alloc_count; };
		break;
	case OX_ALLOC_SORT_TIME_LAST_MODIFIED:
		k = [](const alloc_info_t &a) { return (uint64_t)a.time_last_modified; };
		break;
	default:
		ox_warning(OX_ALLOC, "Unknown mem count report sort field: %d", (int)r->sort_field);
		return -1;
	}
	report_insert(r->array.l2a, r, e, k);
	return 0;
}

static const char *
sort_field_name(sort_field_t f)
{
	static const char *names[] = {"space", "change", "net_count", "total_count", "time"};
	return (unsigned)f < sizeof(names) / sizeof(names[0]) ? names[f] : "???";
}

int
mem_count_report(sort_field_t sort_field, int top_n, ox_dyn_buf *)
{
	ox_mutex_guard guard(&mem_count_lock);
	if (mem_count_shash == NULL) {
		ox_info(OX_ALLOC, "memory accounting never enabled ~~ no data collected yet");
		return -1;
	}
	if (top_n < 1 || top_n > MEM_COUNT_REPORT_TOP_N_MAX) {
		ox_warning(OX_ALLOC, "mem count report top_n %d is not within 1 to %d", top_n,
				MEM_COUNT_REPORT_TOP_N_MAX);
		return -1;
	}
	ox_debug(OX_ALLOC, "Size of mem count shashes: p2l: %u ; l2a: %u", shash_get_size(ptr2loc_shash),
			shash_get_size(loc2alloc_shash));

	union {
		alloc_loc_t p2l[MEM_COUNT_REPORT_TOP_N_MAX];
		alloc_info_t l2a[MEM_COUNT_REPORT_TOP_N_MAX];
	} out;

	memset(&out, 0, sizeof(out));
	mem_count_report_t r = {sort_field, top_n, 0, {}};
	r.array.p2l = out.p2l;
	shash_reduce(ptr2loc_shash, mem_count_report_p2l_reduce_fn, &r);
	ox_info(OX_ALLOC, "Mem Ptr Size Report:");
	ox_info(OX_ALLOC, "--------------------");
	for (int i = 0; i < r.num_records; i++)
		ox_info(OX_ALLOC, "Top %2d:  Location: %-25s sz: %zu", i, out.p2l[i].loc, out.p2l[i].sz);
	ox_info(OX_ALLOC, "--------------------");

	memset(&out, 0, sizeof(out));
	r.num_records = 0;
	r.array.l2a = out.l2a;
	shash_reduce(loc2alloc_shash, mem_count_report_l2a_reduce_fn, &r);
	ox_info(OX_ALLOC, "Mem Loc Count Report: (sorted by %s):", sort_field_name(sort_field));
	ox_info(OX_ALLOC, "---------------------");
	for (int i = 0; i < r.num_records; i++) {
		const alloc_info_t &a = out.l2a[i];
		ox_info(OX_ALLOC, " Top %2d: Location: %-25s sz: %10zu  dsz: %10ld  na: %6zu  ta: %6zu  tlm: %ld",
				i, a.loc, a.net_sz, (long)a.delta_sz, a.net_alloc_count, a.total_alloc_count,
				(long)a.time_last_modified);
	}
	ox_info(OX_ALLOC, "---------------------");
	return 0;
}

int
mem_count_alloc_info(const char *file, int line, ox_dyn_buf *)
{
	ox_mutex_guard guard(&mem_count_lock);
	if (mem_count_shash == NULL) {
		ox_info(OX_ALLOC, "memory accounting never enabled ~~ no data collected yet");
		return -1;
	}
	location_t loc;
	make_location(loc, file, line);
	alloc_info_t a;
	if (shash_get(loc2alloc_shash, loc, &a) != SHASH_OK) {
		ox_warning(OX_ALLOC, "Cannot find allocation at location: \"%s\".", loc);
		return -1;
	}
	const char *unit;
	double h;
	ox_info(OX_ALLOC, "Allocation @ location \"%s\":", loc);
	h = human((int64_t)a.net_sz, &unit);
	ox_info(OX_ALLOC, "\tnet_sz: %zu (%.3f %s)", a.net_sz, h, unit);
	h = human(a.delta_sz, &unit);
	ox_info(OX_ALLOC, "\tdelta_sz: %ld (%.3f %s)", (long)a.delta_sz, h, unit);
	ox_info(OX_ALLOC, "\tnet_alloc_count: %zu", a.net_alloc_count);
	ox_info(OX_ALLOC, "\ttotal_alloc_count: %zu", a.total_alloc_count);
	struct tm tm;
	char when[64];
	gmtime_r(&a.time_last_modified, &tm);
	strftime(when, sizeof(when), "%b %d %Y %T %Z", &tm);
	ox_info(OX_ALLOC, "\ttime_last_modified: %ld (%s)", (long)a.time_last_modified, when);
	return 0;
}
