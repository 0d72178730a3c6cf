/*
 * ox_vector: one block of alloc_len fixed-size slots, len of them in use.
 * Growth doubles the capacity; the first growth off a caller's buffer copies
 * the elements to a heap block and the buffer is never touched again. Byte
 * counts are formed in size_t and capacities checked against 32 bits, so a
 * huge vector fails its growth instead of wrapping into a small block.
 */
#include "tamberlin/ox_vector.h"

#include <cstring>

#include "ox_mutex_guard.h"
#include "tamberlin/enhanced_alloc.h"

namespace {

// The vector's lock for one operation, when it has one.
struct vector_guard : ox_mutex_guard {
    explicit vector_guard(ox_vector *v)
        : ox_mutex_guard(v->flags & VECTOR_FLAG_BIGLOCK ? &v->LOCK : nullptr)
    {
    }
};

inline uint8_t *slot(const ox_vector *v, uint32_t index)
{
    return v->vector + (size_t)index * v->value_len;
}

// Sets up everything but the storage.
void vector_setup(ox_vector *v, uint32_t value_len, uint32_t flags, bool stack_struct)
{
    v->value_len = value_len;
    v->flags = flags;
    v->alloc_len = 0;
    v->len = 0;
    v->vector = nullptr;
    v->stack_struct = stack_struct;
    v->stack_vector = false;
}

// Heap storage for init_sz elements; false when it cannot be had.
bool vector_alloc_storage(ox_vector *v, uint32_t init_sz)
{
    if (init_sz == 0) {
        return true;
    }
    size_t bytes = (size_t)init_sz * v->value_len;
    v->vector = (uint8_t *)(v->flags & VECTOR_FLAG_INITZERO ? ox_calloc(1, bytes) : ox_malloc(bytes));
    if (!v->vector) {
        return false;
    }
    v->alloc_len = init_sz;
    return true;
}

int ox_vector_resize(ox_vector *v)
{
    if (v->len > UINT32_MAX / 2) {
        return -1;
    }
    uint32_t n = 2 * v->len;
    if (v->flags & VECTOR_FLAG_BIGRESIZE) {
        if (n < 50) {
            n = 50;
        }
    } else if (n == 0) {
        n = 2;
    }
    size_t bytes = (size_t)n * v->value_len;
    uint8_t *block;
    if (v->stack_vector || !v->vector) {
        block = (uint8_t *)ox_malloc(bytes);
        if (!block) {
            return -1;
        }
        if (v->stack_vector) {
            memcpy(block, v->vector, (size_t)v->alloc_len * v->value_len);
            v->stack_vector = false;
        }
    } else {
        block = (uint8_t *)ox_realloc(v->vector, bytes);
        if (!block) {
            return -1;
        }
    }
    v->vector = block;
    if (v->flags & VECTOR_FLAG_INITZERO) {
        memset(slot(v, v->alloc_len), 0, (size_t)(n - v->alloc_len) * v->value_len);
    }
    v->alloc_len = n;
    return 0;
}

} // namespace

ox_vector *ox_vector_create(uint32_t value_len, uint32_t init_sz, uint32_t flags)
{
    ox_vector *v = (ox_vector *)ox_malloc(sizeof(ox_vector));
    if (!v) {
        return nullptr;
    }
    vector_setup(v, value_len, flags, false);
    if (!vector_alloc_storage(v, init_sz)) {
        ox_free(v);
        return nullptr;
    }
    if (flags & VECTOR_FLAG_BIGLOCK) {
        pthread_mutex_init(&v->LOCK, nullptr);
    }
    return v;
}

int ox_vector_init(ox_vector *v, uint32_t value_len, uint32_t init_sz, uint32_t flags)
{
    vector_setup(v, value_len, flags, true);
    if (!vector_alloc_storage(v, init_sz)) {
        return -1;
    }
    if (flags & VECTOR_FLAG_BIGLOCK) {
        pthread_mutex_init(&v->LOCK, nullptr);
    }
    return 0;
}

void ox_vector_init_smalloc(ox_vector *v, uint32_t value_len, uint8_t *sbuf, int sbuf_sz, uint32_t flags)
{
    vector_setup(v, value_len, flags, true);
    v->stack_vector = true;
    v->vector = sbuf;
    v->alloc_len = (sbuf && sbuf_sz > 0 && value_len > 0) ? (uint32_t)sbuf_sz / value_len : 0;
    if ((flags & VECTOR_FLAG_INITZERO) && sbuf && sbuf_sz > 0) {
        memset(sbuf, 0, (size_t)sbuf_sz);
    }
    if (flags & VECTOR_FLAG_BIGLOCK) {
        pthread_mutex_init(&v->LOCK, nullptr);
    }
}

void ox_vector_clone_stack(ox_vector *source, ox_vector *target, uint8_t *buf)
{
    vector_guard g(source);
    target->value_len = source->value_len;
    target->flags = source->flags;
    target->alloc_len = source->len;
    target->len = source->len;
    target->vector = buf;
    target->stack_struct = true;
    target->stack_vector = true;
    if (source->len) {
        memcpy(buf, source->vector, (size_t)source->len * source->value_len);
    }
    if (target->flags & VECTOR_FLAG_BIGLOCK) {
        pthread_mutex_init(&target->LOCK, nullptr);
    }
}

void ox_vector_destroy(ox_vector *v)
{
    if (v->flags & VECTOR_FLAG_BIGLOCK) {
        pthread_mutex_destroy(&v->LOCK);
    }
    if (v->vector && !v->stack_vector) {
        ox_free(v->vector);
    }
    if (!v->stack_struct) {
        ox_free(v);
    }
}

void ox_vector_reset(ox_vector *v)
{
    v->len = 0;
    if ((v->flags & VECTOR_FLAG_INITZERO) && v->vector) {
        memset(v->vector, 0, (size_t)v->alloc_len * v->value_len);
    }
}

int ox_vector_append_lockfree(ox_vector *v, const void *value)
{
    if (v->len >= v->alloc_len && ox_vector_resize(v) != 0) {
        return -1;
    }
    memcpy(slot(v, v->len), value, v->value_len);
    v->len++;
    return 0;
}

int ox_vector_append(ox_vector *v, const void *value)
{
    vector_guard g(v);
    return ox_vector_append_lockfree(v, value);
}

int ox_vector_append_unique(ox_vector *v, const void *value)
{
    vector_guard g(v);
    for (uint32_t i = 0; i < v->len; i++) {
        if (memcmp(slot(v, i), value, v->value_len) == 0) {
            return 0;
        }
    }
    return ox_vector_append_lockfree(v, value);
}

int ox_vector_get(ox_vector *v, uint32_t index, void *value)
{
    vector_guard g(v);
    // Against len, not the capacity: a slot past len holds no element, only
    // bytes never written or left by a delete.
    if (index >= v->len) {
        return -1;
    }
    memcpy(value, slot(v, index), v->value_len);
    return 0;
}

void *ox_vector_getp(ox_vector *v, uint32_t index)
{
    vector_guard g(v);
    if (index >= v->len) { // as in get
        return nullptr;
    }
    return slot(v, index);
}

void *ox_vector_getp_vlock(ox_vector *v, uint32_t index, pthread_mutex_t **vlock)
{
    if (!(v->flags & VECTOR_FLAG_BIGLOCK)) {
        return nullptr;
    }
    pthread_mutex_lock(&v->LOCK);
    if (index >= v->len) { // as in get
        pthread_mutex_unlock(&v->LOCK);
        return nullptr;
    }
    *vlock = &v->LOCK;
    return slot(v, index);
}

int ox_vector_set(ox_vector *v, uint32_t index, const void *value)
{
    vector_guard g(v);
    if (index >= v->alloc_len) {
        return -1;
    }
    if (index > v->len) {
        // The skipped slots become elements: give them a defined value, not
        // bytes never written or left by a delete.
        memset(slot(v, v->len), 0, (size_t)(index - v->len) * v->value_len);
    }
    memcpy(slot(v, index), value, v->value_len);
    if (index >= v->len) {
        v->len = index + 1;
    }
    return 0;
}

int ox_vector_delete(ox_vector *v, uint32_t index)
{
    vector_guard g(v);
    if (index >= v->len) {
        return -1;
    }
    if (index != v->len - 1) {
        memmove(slot(v, index), slot(v, index + 1), (size_t)(v->len - index - 1) * v->value_len);
    }
    v->len--;
    return 0;
}

int ox_vector_delete_range(ox_vector *v, uint32_t start, uint32_t end)
{
    vector_guard g(v);
    if (start >= end || end >= v->len) {
        return -1;
    }
    memmove(slot(v, start), slot(v, end + 1), (size_t)(v->len - end - 1) * v->value_len);
    v->len -= end - start + 1;
    return 0;
}

void ox_vector_compact(ox_vector *v)
{
    vector_guard g(v);
    // A caller's buffer cannot be resized; it stays as it is.
    if (v->stack_vector || v->alloc_len == 0 || v->alloc_len == v->len) {
        return;
    }
    if (v->len == 0) {
        // realloc to 0 bytes may free the block and give NULL: free it
        // ourselves so the vector never keeps a block that is gone.
        ox_free(v->vector);
        v->vector = nullptr;
        v->alloc_len = 0;
        return;
    }
    uint8_t *block = (uint8_t *)ox_realloc(v->vector, (size_t)v->len * v->value_len);
    if (block) {
        v->vector = block;
        v->alloc_len = v->len;
    }
}
