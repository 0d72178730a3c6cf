// Chained hash table of fixed-size keys and values, both copied by value.
//
// The bucket count is fixed at creation and the bucket heads live inline in one
// block, so keys that fall in distinct buckets cost no allocation; only
// collisions chain extra elements behind the head. A table has no lock, one lock
// for the whole table (SHASH_CR_MT_BIGLOCK) or one lock per bucket
// (SHASH_CR_MT_MANYLOCK). The caller's hash function runs on the calling thread
// before any lock is taken.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

// Result codes.
#define SHASH_OK 0
#define SHASH_ERR -1           // bad arguments or flags, no memory
#define SHASH_ERR_BUFSZ -2
#define SHASH_ERR_NOTFOUND -3
#define SHASH_ERR_FOUND -4

// Reduce callback result that makes shash_reduce_delete delete the element.
#define SHASH_REDUCE_DELETE 1

// Creation flags.
#define SHASH_CR_RESIZE 0x01       // accepted, no effect: tables never resize
#define SHASH_CR_GRAB 0x02         // accepted, no effect
#define SHASH_CR_MT_BIGLOCK 0x04   // one mutex for the table
#define SHASH_CR_MT_MANYLOCK 0x08  // one mutex per bucket
#define SHASH_CR_UNTRACKED 0x10    // plain allocator instead of the tagged wrappers

// Must be safe to call from every thread that uses the table.
typedef uint32_t (*shash_hash_fn)(const void *key);
// key and value point into the table. Runs with the lock held: must not call
// into the same table.
typedef int (*shash_reduce_fn)(const void *key, void *value, void *udata);
// value_old is NULL when the key is absent or no old-value buffer was given; the
// function may rewrite value_new before it is stored. Runs with the lock held:
// must not call into the same table.
typedef void (*shash_update_fn)(const void *key, void *value_old, void *value_new, void *udata);

typedef struct shash_elem_s {
    struct shash_elem_s *next;  // next element of the bucket's chain, NULL at the end
    bool in_use;                // false only in an empty bucket head
    uint8_t data[];             // key_len key bytes, then value_len value bytes
} shash_elem;

typedef struct shash_s {
    uint32_t elements;              // stored elements
    uint32_t key_len;
    uint32_t value_len;
    uint32_t flags;                 // creation flags as passed
    shash_hash_fn h_fn;
    uint32_t table_len;             // bucket count
    void *table;                    // table_len heads of SHASH_ELEM_SZ bytes each
    pthread_mutex_t biglock;        // SHASH_CR_MT_BIGLOCK; otherwise zeroed
    pthread_mutex_t *lock_table;    // SHASH_CR_MT_MANYLOCK; otherwise NULL
} shash;

#define SHASH_ELEM_KEY_PTR(__h, __e) ((void *)(__e)->data)
#define SHASH_ELEM_VALUE_PTR(__h, __e) ((void *)((__e)->data + (__h)->key_len))
// Rounded up to the element header's alignment so that every inline head (and
// its next pointer) stays aligned whatever the key and value sizes.
#define SHASH_ELEM_SZ(__h)                                                               \
    ((sizeof(shash_elem) + (size_t)(__h)->key_len + (size_t)(__h)->value_len +          \
      alignof(shash_elem) - 1) & ~(alignof(shash_elem) - 1))

// Creation and end. create stores the new table in *h_r, or NULL with SHASH_ERR
// when the hash function is NULL, the bucket count is 0, both lock flags are
// given, the sizes overflow, or memory or a mutex cannot be had (nothing made is
// left behind). destroy frees everything; no other thread may use the table.
int shash_create(shash **h_r, shash_hash_fn h_fn, uint32_t key_len, uint32_t value_len,
                 uint32_t sz, uint32_t flags);
void shash_destroy(shash *h);

// Keyed operations: hash outside the lock, then the table or bucket lock for the
// rest of the call. Keys are compared byte for byte; key and value are copied,
// the caller keeps them.
int shash_put(shash *h, const void *key, const void *value);            // insert or overwrite
int shash_put_unique(shash *h, const void *key, const void *value);     // SHASH_ERR_FOUND if present
int shash_put_duplicate(shash *h, const void *key, const void *value);  // always inserts
int shash_update(shash *h, const void *key, void *value_old, void *value_new,
                 shash_update_fn cb, void *udata);
// value may be NULL to test presence only.
int shash_get(shash *h, const void *key, void *value);
// On SHASH_OK *value points into the table and *vlock (when given) receives the
// still-held lock, which the caller releases before it uses the table again;
// otherwise *vlock is NULL. A table without locks always gives NULL.
int shash_get_vlock(shash *h, const void *key, void **value, pthread_mutex_t **vlock);
int shash_delete(shash *h, const void *key);
int shash_get_and_delete(shash *h, const void *key, void *value);

// No lock taken: the caller makes sure no other thread uses the table meanwhile.
int shash_delete_lockfree(shash *h, const void *key);
// Empties the table (count 0); it stays ready for reuse.
void shash_deleteall_lockfree(shash *h);

// Walks every element with the table lock held for the whole walk, or each
// bucket lock in turn. Returns 0, or the first non-zero callback result.
int shash_reduce(shash *h, shash_reduce_fn cb, void *udata);
// As reduce; SHASH_REDUCE_DELETE deletes the visited element and goes on.
int shash_reduce_delete(shash *h, shash_reduce_fn cb, void *udata);

uint32_t shash_get_size(shash *h);
