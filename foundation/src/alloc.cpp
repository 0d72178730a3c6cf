/*
 * alloc: the allocation wrappers and reference-counted blocks.
 *
 * With accounting off (the state of this system for its whole life) each
 * wrapper is the process allocator's call after one relaxed read of the
 * switch; file and line are there for the accounting (mem_count.cpp), which
 * charges each site while it is on. A reference-counted block is one
 * allocation of ox_rc_hdr followed by the caller's bytes; the count is changed
 * only by locked exchange-and-add, so the results of reserve and release are
 * exact under any interleaving.
 */
#include "tamberlin/enhanced_alloc.h"

#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

#include <cstdint>
#include <cstdio>

#include "mem_count_hooks.h"
#include "tamberlin/fault.h"

bool g_memory_accounting_enabled = false;

void *(*g_malloc_fn)(size_t);
int (*g_posix_memalign_fn)(void **, size_t, size_t);
void (*g_free_fn)(void *);
void *(*g_calloc_fn)(size_t, size_t);
void *(*g_realloc_fn)(void *, size_t);
char *(*g_strdup_fn)(const char *);
char *(*g_strndup_fn)(const char *, size_t);

void *
ox_malloc_at(size_t sz, const char *file, int line)
{
	if (mem_count_enabled())
		return mem_count_malloc_at(sz, file, line);
	return malloc(sz);
}

void *
ox_calloc_at(size_t nmemb, size_t sz, const char *file, int line)
{
	if (mem_count_enabled())
		return mem_count_calloc_at(nmemb, sz, file, line);
	return calloc(nmemb, sz);
}

void *
ox_realloc_at(void *ptr, size_t sz, const char *file, int line)
{
	if (mem_count_enabled())
		return mem_count_realloc_at(ptr, sz, file, line);
	return realloc(ptr, sz);
}

void *
ox_valloc_at(size_t sz, const char *file, int line)
{
	if (mem_count_enabled())
		return mem_count_valloc_at(sz, file, line);
	void *p = NULL;
	if (posix_memalign(&p, 4096, sz) != 0)
		return NULL;
	return p;
}

char *
ox_strdup_at(const char *s, const char *file, int line)
{
	if (mem_count_enabled())
		return mem_count_strdup_at(s, file, line);
	return strdup(s);
}

char *
ox_strndup_at(const char *s, size_t n, const char *file, int line)
{
	if (mem_count_enabled())
		return mem_count_strndup_at(s, n, file, line);
	return strndup(s, n);
}

void
ox_free_at(void *p, const char *file, int line)
{
	if (mem_count_enabled()) {
		mem_count_free_at(p, file, line);
		return;
	}
	free(p);
}

static inline ox_rc_hdr *
rc_hdr(void *addr)
{
	return (ox_rc_hdr *)addr - 1;
}

void *
ox_rc_alloc_at(size_t sz, const char *file, int line)
{
	/* A size near SIZE_MAX would wrap the header arithmetic into a tiny block
	 * that the caller then overruns. */
	if (sz > SIZE_MAX - sizeof(ox_rc_hdr))
		return NULL;
	ox_rc_hdr *hdr = (ox_rc_hdr *)ox_malloc_at(sizeof(ox_rc_hdr) + sz, file, line);
	if (hdr == NULL)
		return NULL;
	hdr->count = 1;
	hdr->sz = (uint32_t)sz;
	return hdr + 1;
}

int
ox_rc_reserve(void *addr)
{
	return ox_atomic32_add(&rc_hdr(addr)->count, 1);
}

int
ox_rc_release(void *addr)
{
	return ox_atomic32_add(&rc_hdr(addr)->count, -1);
}

int
ox_rc_releaseandfree(void *addr)
{
	int rv = ox_atomic32_add(&rc_hdr(addr)->count, -1);
	if (rv == 0)
		ox_free_at(rc_hdr(addr), __FILE_NAME__, __LINE__);
	return rv;
}

void
ox_rc_free_at(void *addr, const char *file, int line)
{
	if (addr == NULL) {
		ox_crash(OX_ALLOC, OX_PROCESS, "null address");
		return;
	}
	ox_free_at(rc_hdr(addr), file, line);
}

uint32_t
ox_rc_count(void *addr)
{
	return ox_atomic32_get(&rc_hdr(addr)->count);
}

int
alloc_function_init(const char *so_name)
{
	if (so_name == NULL) {
		g_malloc_fn = malloc;
		g_posix_memalign_fn = posix_memalign;
		g_free_fn = free;
		g_calloc_fn = calloc;
		g_realloc_fn = realloc;
		g_strdup_fn = strdup;
		g_strndup_fn = strndup;
		return 0;
	}

	void *h = dlopen(so_name, RTLD_NOW | RTLD_GLOBAL);
	if (h == NULL) {
		ox_warning(QM_QM, " WARNING: could not initialize memory subsystem, allocator %s not found",
				so_name);
		fprintf(stderr, " WARNING: could not initialize memory subsystem, allocator %s not found\n",
				so_name);
		return -1;
	}
	g_malloc_fn = (void *(*)(size_t))dlsym(h, "malloc");
	g_posix_memalign_fn = (int (*)(void **, size_t, size_t))dlsym(h, "posix_memalign");
	g_free_fn = (void (*)(void *))dlsym(h, "free");
	g_calloc_fn = (void *(*)(size_t, size_t))dlsym(h, "calloc");
	g_realloc_fn = (void *(*)(void *, size_t))dlsym(h, "realloc");
	g_strdup_fn = (char *(*)(const char *))dlsym(h, "strdup");
	g_strndup_fn = (char *(*)(const char *, size_t))dlsym(h, "strndup");
	return 0;
}

void
ox_rc_init(const char *clib_path)
{
	(void)alloc_function_init(clib_path);
}
