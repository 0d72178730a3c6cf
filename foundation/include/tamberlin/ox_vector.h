/*
 * ox_vector: a growable array of fixed-size elements, copied in and out by
 * value. The object and its storage may each be the caller's (a structure
 * inside another, a buffer on the stack) or the heap's, so a short list costs
 * no allocation until it outgrows its buffer; the first growth moves it to the
 * heap for good. Growth doubles the capacity.
 *
 * Reads (get, getp, getp_vlock) see only the elements in use (index < len);
 * a set past len fills the skipped slots with zeroes, so no slot that was
 * never written can be read back.
 *
 * With VECTOR_FLAG_BIGLOCK the operations marked "locked" below hold LOCK for
 * their whole work and release it on every path; without it a vector belongs
 * to one thread at a time (that is how every vector of this system is used).
 */
#pragma once

#include <pthread.h>

#include <cstdint>

#define VECTOR_FLAG_BIGLOCK   0x01
#define VECTOR_FLAG_INITZERO  0x02 // storage zeroed when made and when it grows
#define VECTOR_FLAG_BIGRESIZE 0x04 // a growth gives at least 50 elements

#define VECTOR_REDUCE_DELETE 1

typedef struct ox_vector_s {
    uint32_t value_len; // element size in bytes
    uint32_t flags;     // VECTOR_FLAG_* bits
    uint32_t alloc_len; // capacity in elements
    uint32_t len;       // elements in use, never above alloc_len
    uint8_t *vector;    // alloc_len * value_len bytes; NULL while the capacity is 0
    bool stack_struct;  // the object is the caller's: destroy does not free it
    bool stack_vector;  // the storage is the caller's buffer: never reallocated or freed
    pthread_mutex_t LOCK; // initialised only with VECTOR_FLAG_BIGLOCK
} ox_vector;

/* Making and ending. The caller owns a vector from create/init until destroy;
 * destroy frees only what the vector itself allocated. */

// A heap object; NULL when memory is short.
ox_vector *ox_vector_create(uint32_t value_len, uint32_t init_sz, uint32_t flags);
// On the caller's object; -1 when the storage cannot be allocated (the vector
// is then not to be used and needs no destroy).
int ox_vector_init(ox_vector *v, uint32_t value_len, uint32_t init_sz, uint32_t flags);
// On the caller's object and the caller's buffer of sbuf_sz bytes; the buffer
// must outlive the vector or its first growth.
void ox_vector_init_smalloc(ox_vector *v, uint32_t value_len, uint8_t *sbuf, int sbuf_sz,
    uint32_t flags);
// Copies the elements in use of source (under its lock) onto target, whose
// storage is the caller's buffer of at least len * value_len bytes.
void ox_vector_clone_stack(ox_vector *source, ox_vector *target, uint8_t *buf);
void ox_vector_destroy(ox_vector *v);

/* Elements. All locked except the _lockfree twin. */

// 0, or -1 when the storage cannot grow (the vector is then unchanged).
int ox_vector_append(ox_vector *v, const void *value);
int ox_vector_append_lockfree(ox_vector *v, const void *value);
// Appends unless a byte-equal element is present; 0 either way, -1 when growth fails.
int ox_vector_append_unique(ox_vector *v, const void *value);
// Copies element index into value; -1 for an index at or above len.
int ox_vector_get(ox_vector *v, uint32_t index, void *value);
// Address of element index inside the storage, or NULL for an index at or
// above len. It stays valid until the next growth or compact; the lock is not
// held when the caller uses it.
void *ox_vector_getp(ox_vector *v, uint32_t index);
// As getp, but returns with LOCK held and stored in *vlock; the caller unlocks
// it. A vector without VECTOR_FLAG_BIGLOCK, or a bad index, gives NULL and
// takes no lock.
void *ox_vector_getp_vlock(ox_vector *v, uint32_t index, pthread_mutex_t **vlock);
// Stores value at index (below the capacity); a set past len zero-fills the
// slots skipped over and makes len index + 1. -1 for an index at or above the capacity.
int ox_vector_set(ox_vector *v, uint32_t index, const void *value);
// -1 for an index at or above len; later elements move down one slot.
int ox_vector_delete(ox_vector *v, uint32_t index);
// Deletes elements start..end, both included; -1 unless start < end < len.
int ox_vector_delete_range(ox_vector *v, uint32_t start, uint32_t end);
// Shrinks heap storage to len elements (an empty vector frees it); storage on
// the caller's buffer is left as it is.
void ox_vector_compact(ox_vector *v);

/* Header operations: no lock. */

// A 1024-byte stack buffer and a vector x on it.
#define ox_vector_define(__x, __value_len, __flags)                                            \
    alignas(16) uint8_t ox_vector_sbuf_##__x[1024];                                            \
    ox_vector __x;                                                                             \
    ox_vector_init_smalloc(&__x, __value_len, ox_vector_sbuf_##__x, (int)sizeof(ox_vector_sbuf_##__x), \
        __flags)

void ox_vector_reset(ox_vector *v); // len 0; with INITZERO the whole storage zeroed

static inline uint32_t ox_vector_size(const ox_vector *v)
{
    return v->len;
}

static inline int ox_vector_pointer_init(ox_vector *v, uint32_t init_sz, uint32_t flags)
{
    return ox_vector_init(v, sizeof(void *), init_sz, flags);
}

static inline int ox_vector_pointer_append(ox_vector *v, const void *p)
{
    return ox_vector_append(v, &p);
}

// The pointer stored at index, or NULL for a bad index.
static inline void *ox_vector_pointer_get(ox_vector *v, uint32_t index)
{
    void *p = nullptr;
    if (ox_vector_get(v, index, &p) != 0) {
        return nullptr;
    }
    return p;
}

static inline int ox_vector_integer_init(ox_vector *v, uint32_t init_sz, uint32_t flags)
{
    return ox_vector_init(v, sizeof(int), init_sz, flags);
}

static inline int ox_vector_integer_append(ox_vector *v, int i)
{
    return ox_vector_append(v, &i);
}

// The integer stored at index, or 0 for a bad index.
static inline int ox_vector_integer_get(ox_vector *v, uint32_t index)
{
    int i = 0;
    ox_vector_get(v, index, &i);
    return i;
}
