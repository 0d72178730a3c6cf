/*
 * Internal to the foundation: the allocation wrappers' paths while memory
 * accounting is on (mem_count.cpp). A wrapper tests mem_count_enabled()
 * first; the path takes the accounting lock and tests again.
 */
#pragma once

#include <cstddef>

bool mem_count_enabled(void);

void *mem_count_malloc_at(size_t sz, const char *file, int line);
void *mem_count_calloc_at(size_t nmemb, size_t sz, const char *file, int line);
void *mem_count_realloc_at(void *ptr, size_t sz, const char *file, int line);
void *mem_count_valloc_at(size_t sz, const char *file, int line);
char *mem_count_strdup_at(const char *s, const char *file, int line);
char *mem_count_strndup_at(const char *s, size_t n, const char *file, int line);
void mem_count_free_at(void *p, const char *file, int line);
