// Chained hash table with inline bucket heads.
//
// New elements go directly behind the head, so an insert is constant time after
// the search. Deleting a head copies its first chained element into it rather
// than relinking, which keeps the inline head in use. All arguments are checked
// before anything is allocated, every byte count is computed in size_t with an
// overflow check, and a failed create undoes what it made. Under per-bucket
// locks threads in different buckets change the element count at once, so that
// count is then changed atomically.
#include "tamberlin/ox_shash.h"

#include <atomic>
#include <stdlib.h>
#include <string.h>

#include "ox_mutex_guard.h"
#include "tamberlin/enhanced_alloc.h"

namespace {

void *sh_alloc(uint32_t flags, size_t sz)
{
    return (flags & SHASH_CR_UNTRACKED) ? malloc(sz) : ox_malloc(sz);
}

void *sh_calloc(uint32_t flags, size_t n, size_t sz)
{
    return (flags & SHASH_CR_UNTRACKED) ? calloc(n, sz) : ox_calloc(n, sz);
}

void sh_free(uint32_t flags, void *p)
{
    if (flags & SHASH_CR_UNTRACKED) {
        free(p);
    } else {
        ox_free(p);
    }
}

shash_elem *bucket_head(shash *h, uint32_t bucket)
{
    return reinterpret_cast<shash_elem *>(static_cast<uint8_t *>(h->table) + bucket * SHASH_ELEM_SZ(h));
}

void count_add(shash *h, int32_t delta)
{
    if (h->flags & SHASH_CR_MT_MANYLOCK) {
        std::atomic_ref<uint32_t>(h->elements).fetch_add(static_cast<uint32_t>(delta), std::memory_order_relaxed);
    } else {
        h->elements += static_cast<uint32_t>(delta);
    }
}

pthread_mutex_t *lock_of(shash *h, uint32_t bucket)
{
    if (h->flags & SHASH_CR_MT_BIGLOCK) {
        return &h->biglock;
    }
    if (h->flags & SHASH_CR_MT_MANYLOCK) {
        return &h->lock_table[bucket];
    }
    return nullptr;
}

// The hash runs before any lock is taken.
uint32_t bucket_of(shash *h, const void *key)
{
    return h->h_fn(key) % h->table_len;
}

// First element of the bucket with an equal key; *prev gets its predecessor in
// the chain (NULL for the head).
shash_elem *find(shash *h, shash_elem *head, const void *key, shash_elem **prev)
{
    *prev = nullptr;
    if (!head->in_use) {
        return nullptr;
    }
    for (shash_elem *e = head; e; e = e->next) {
        if (memcmp(SHASH_ELEM_KEY_PTR(h, e), key, h->key_len) == 0) {
            return e;
        }
        *prev = e;
    }
    return nullptr;
}

// Stores key and value in the free head or in a new element right behind it.
int insert(shash *h, shash_elem *head, const void *key, const void *value)
{
    shash_elem *e = head;
    if (head->in_use) {
        e = static_cast<shash_elem *>(sh_alloc(h->flags, SHASH_ELEM_SZ(h)));
        if (!e) {
            return SHASH_ERR;
        }
        e->next = head->next;
        head->next = e;
    }
    memcpy(SHASH_ELEM_KEY_PTR(h, e), key, h->key_len);
    memcpy(SHASH_ELEM_VALUE_PTR(h, e), value, h->value_len);
    e->in_use = true;
    count_add(h, 1);
    return SHASH_OK;
}

// Removes e, found behind prev (NULL when e is the head). A head with a chain
// takes in its first chained element whole, so e then holds the next element.
void unlink_elem(shash *h, shash_elem *head, shash_elem *prev, shash_elem *e)
{
    if (prev) {
        prev->next = e->next;
        sh_free(h->flags, e);
    } else if (head->next) {
        shash_elem *n = head->next;
        memcpy(static_cast<void *>(head), n, SHASH_ELEM_SZ(h));
        sh_free(h->flags, n);
    } else {
        head->in_use = false;
    }
    count_add(h, -1);
}

// Shared by delete, get_and_delete and delete_lockfree; the caller holds the lock.
int delete_locked(shash *h, uint32_t bucket, const void *key, void *value)
{
    shash_elem *head = bucket_head(h, bucket);
    shash_elem *prev;
    shash_elem *e = find(h, head, key, &prev);
    if (!e) {
        return SHASH_ERR_NOTFOUND;
    }
    if (value) {
        memcpy(value, SHASH_ELEM_VALUE_PTR(h, e), h->value_len);
    }
    unlink_elem(h, head, prev, e);
    return SHASH_OK;
}

enum put_mode { PUT_OVERWRITE, PUT_UNIQUE, PUT_DUPLICATE };

int put(shash *h, const void *key, const void *value, put_mode mode)
{
    if (!h || !key || !value) {
        return SHASH_ERR;
    }
    uint32_t bucket = bucket_of(h, key);
    ox_mutex_guard guard(lock_of(h, bucket));
    shash_elem *head = bucket_head(h, bucket);
    if (mode != PUT_DUPLICATE) {
        shash_elem *prev;
        shash_elem *e = find(h, head, key, &prev);
        if (e) {
            if (mode == PUT_UNIQUE) {
                return SHASH_ERR_FOUND;
            }
            memcpy(SHASH_ELEM_VALUE_PTR(h, e), value, h->value_len);
            return SHASH_OK;
        }
    }
    return insert(h, head, key, value);
}

// The walk of reduce and reduce_delete. With the table lock it is held for the
// whole walk; with bucket locks each bucket's lock is held for that bucket only.
int walk(shash *h, shash_reduce_fn cb, void *udata, bool deleting)
{
    if (!h || !cb) {
        return SHASH_ERR;
    }
    ox_mutex_guard table_guard((h->flags & SHASH_CR_MT_BIGLOCK) ? &h->biglock : nullptr);
    for (uint32_t i = 0; i < h->table_len; i++) {
        ox_mutex_guard guard((h->flags & SHASH_CR_MT_MANYLOCK) ? &h->lock_table[i] : nullptr);
        shash_elem *head = bucket_head(h, i);
        shash_elem *prev = nullptr;
        shash_elem *e = head;
        while (e && e->in_use) {
            int rv = cb(SHASH_ELEM_KEY_PTR(h, e), SHASH_ELEM_VALUE_PTR(h, e), udata);
            if (deleting && rv == SHASH_REDUCE_DELETE) {
                shash_elem *next = e->next;
                unlink_elem(h, head, prev, e);
                if (prev) {
                    e = next;  // the successor is next
                } else if (!next) {
                    e = nullptr;  // the bucket is empty now
                }
                // else the head now holds its former successor: visit it again
                continue;
            }
            if (rv != 0) {
                return rv;
            }
            prev = e;
            e = e->next;
        }
    }
    return 0;
}

void free_chains(shash *h)
{
    for (uint32_t i = 0; i < h->table_len; i++) {
        shash_elem *head = bucket_head(h, i);
        shash_elem *e = head->next;
        while (e) {
            shash_elem *next = e->next;
            sh_free(h->flags, e);
            e = next;
        }
        head->next = nullptr;
        head->in_use = false;
    }
}

void destroy_mutexes(pthread_mutex_t *locks, uint32_t n)
{
    for (uint32_t i = 0; i < n; i++) {
        pthread_mutex_destroy(&locks[i]);
    }
}

}  // namespace

int shash_create(shash **h_r, shash_hash_fn h_fn, uint32_t key_len, uint32_t value_len,
                 uint32_t sz, uint32_t flags)
{
    if (!h_r) {
        return SHASH_ERR;
    }
    *h_r = nullptr;
    if (!h_fn || sz == 0 || ((flags & SHASH_CR_MT_BIGLOCK) && (flags & SHASH_CR_MT_MANYLOCK))) {
        return SHASH_ERR;
    }
    // Element size in size_t (the macro's arithmetic) cannot overflow for 32-bit
    // lengths; the heads block and the lock array can.
    shash probe{};
    probe.key_len = key_len;
    probe.value_len = value_len;
    size_t elem_sz = SHASH_ELEM_SZ(&probe);
    size_t heads_bytes;
    size_t locks_bytes = 0;
    if (__builtin_mul_overflow(static_cast<size_t>(sz), elem_sz, &heads_bytes) ||
        ((flags & SHASH_CR_MT_MANYLOCK) &&
         __builtin_mul_overflow(static_cast<size_t>(sz), sizeof(pthread_mutex_t), &locks_bytes))) {
        return SHASH_ERR;
    }

    auto *h = static_cast<shash *>(sh_alloc(flags, sizeof(shash)));
    if (!h) {
        return SHASH_ERR;
    }
    memset(static_cast<void *>(h), 0, sizeof(*h));
    h->key_len = key_len;
    h->value_len = value_len;
    h->flags = flags;
    h->h_fn = h_fn;
    h->table_len = sz;

    // Zeroed heads are free heads: in_use false, next NULL.
    h->table = sh_calloc(flags, sz, elem_sz);
    if (!h->table) {
        sh_free(flags, h);
        return SHASH_ERR;
    }
    if ((flags & SHASH_CR_MT_BIGLOCK) && pthread_mutex_init(&h->biglock, nullptr) != 0) {
        sh_free(flags, h->table);
        sh_free(flags, h);
        return SHASH_ERR;
    }
    if (flags & SHASH_CR_MT_MANYLOCK) {
        h->lock_table = static_cast<pthread_mutex_t *>(sh_alloc(flags, locks_bytes));
        if (!h->lock_table) {
            sh_free(flags, h->table);
            sh_free(flags, h);
            return SHASH_ERR;
        }
        for (uint32_t i = 0; i < sz; i++) {
            if (pthread_mutex_init(&h->lock_table[i], nullptr) != 0) {
                destroy_mutexes(h->lock_table, i);
                sh_free(flags, h->lock_table);
                sh_free(flags, h->table);
                sh_free(flags, h);
                return SHASH_ERR;
            }
        }
    }
    *h_r = h;
    return SHASH_OK;
}

void shash_destroy(shash *h)
{
    if (!h) {
        return;
    }
    free_chains(h);
    if (h->flags & SHASH_CR_MT_BIGLOCK) {
        pthread_mutex_destroy(&h->biglock);
    }
    if (h->flags & SHASH_CR_MT_MANYLOCK) {
        destroy_mutexes(h->lock_table, h->table_len);
        sh_free(h->flags, h->lock_table);
    }
    sh_free(h->flags, h->table);
    sh_free(h->flags, h);
}

int shash_put(shash *h, const void *key, const void *value)
{
    return put(h, key, value, PUT_OVERWRITE);
}

int shash_put_unique(shash *h, const void *key, const void *value)
{
    return put(h, key, value, PUT_UNIQUE);
}

int shash_put_duplicate(shash *h, const void *key, const void *value)
{
    return put(h, key, value, PUT_DUPLICATE);
}

int shash_update(shash *h, const void *key, void *value_old, void *value_new,
                 shash_update_fn cb, void *udata)
{
    if (!h || !key || !value_new || !cb) {
        return SHASH_ERR;
    }
    uint32_t bucket = bucket_of(h, key);
    ox_mutex_guard guard(lock_of(h, bucket));
    shash_elem *head = bucket_head(h, bucket);
    shash_elem *prev;
    shash_elem *e = find(h, head, key, &prev);
    if (!e) {
        cb(key, nullptr, value_new, udata);
        return insert(h, head, key, value_new);
    }
    if (value_old) {
        memcpy(value_old, SHASH_ELEM_VALUE_PTR(h, e), h->value_len);
    }
    cb(key, value_old, value_new, udata);
    memcpy(SHASH_ELEM_VALUE_PTR(h, e), value_new, h->value_len);
    return SHASH_OK;
}

int shash_get(shash *h, const void *key, void *value)
{
    if (!h || !key) {
        return SHASH_ERR;
    }
    uint32_t bucket = bucket_of(h, key);
    ox_mutex_guard guard(lock_of(h, bucket));
    shash_elem *prev;
    shash_elem *e = find(h, bucket_head(h, bucket), key, &prev);
    if (!e) {
        return SHASH_ERR_NOTFOUND;
    }
    if (value) {
        memcpy(value, SHASH_ELEM_VALUE_PTR(h, e), h->value_len);
    }
    return SHASH_OK;
}

int shash_get_vlock(shash *h, const void *key, void **value, pthread_mutex_t **vlock)
{
    if (vlock) {
        *vlock = nullptr;
    }
    if (!h || !key || !value) {
        return SHASH_ERR;
    }
    uint32_t bucket = bucket_of(h, key);
    pthread_mutex_t *lock = lock_of(h, bucket);
    if (lock) {
        pthread_mutex_lock(lock);
    }
    shash_elem *prev;
    shash_elem *e = find(h, bucket_head(h, bucket), key, &prev);
    if (e) {
        *value = SHASH_ELEM_VALUE_PTR(h, e);
    }
    // Without an out pointer for it the lock could never be released.
    if (e && vlock) {
        *vlock = lock;
    } else if (lock) {
        pthread_mutex_unlock(lock);
    }
    return e ? SHASH_OK : SHASH_ERR_NOTFOUND;
}

int shash_delete(shash *h, const void *key)
{
    return shash_get_and_delete(h, key, nullptr);
}

int shash_get_and_delete(shash *h, const void *key, void *value)
{
    if (!h || !key) {
        return SHASH_ERR;
    }
    uint32_t bucket = bucket_of(h, key);
    ox_mutex_guard guard(lock_of(h, bucket));
    return delete_locked(h, bucket, key, value);
}

int shash_delete_lockfree(shash *h, const void *key)
{
    if (!h || !key) {
        return SHASH_ERR;
    }
    return delete_locked(h, bucket_of(h, key), key, nullptr);
}

void shash_deleteall_lockfree(shash *h)
{
    if (!h) {
        return;
    }
    free_chains(h);
    h->elements = 0;
}

int shash_reduce(shash *h, shash_reduce_fn cb, void *udata)
{
    return walk(h, cb, udata, false);
}

int shash_reduce_delete(shash *h, shash_reduce_fn cb, void *udata)
{
    return walk(h, cb, udata, true);
}

uint32_t shash_get_size(shash *h)
{
    if (!h) {
        return 0;
    }
    if (h->flags & SHASH_CR_MT_MANYLOCK) {
        uint32_t n = 0;
        for (uint32_t i = 0; i < h->table_len; i++) {
            ox_mutex_guard guard(&h->lock_table[i]);
            for (shash_elem *e = bucket_head(h, i); e && e->in_use; e = e->next) {
                n++;
            }
        }
        return n;
    }
    ox_mutex_guard guard((h->flags & SHASH_CR_MT_BIGLOCK) ? &h->biglock : nullptr);
    return h->elements;
}
