// FIFO queue over one growing block of slots addressed by free-running offsets.
//
// Every size product is checked before it reaches the allocator, and the
// capacity stops doubling at 2^31 slots, so neither the byte count nor the
// 32-bit offsets can wrap into a block smaller than the queue believes it has.
// Deletes in the middle move the shorter side of the queue by one slot; the
// delete-every-match walk re-examines a position whose successors moved down
// into it, so adjacent matches are all removed.
#include "tamberlin/ox_queue.h"

#include <string.h>

#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ox_clock.h"

namespace {

// Doubling past this would wrap the 32-bit capacity and the offsets.
constexpr uint32_t OX_QUEUE_MAX_ALLOCSZ = 1u << 31;

// Offsets are lowered once the write offset reaches 2^30.
constexpr uint32_t OX_QUEUE_REBASE_MASK = 0xC0000000u;

// allocsz and the offsets are read without the lock by statistics (OX_Q_*), so
// every change of them under the lock is a relaxed atomic store.
void q_store(uint32_t &field, uint32_t v)
{
    __atomic_store_n(&field, v, __ATOMIC_RELAXED);
}

bool slot_bytes(uint32_t n, size_t elementsz, size_t *bytes)
{
    return !__builtin_mul_overflow(static_cast<size_t>(n), elementsz, bytes);
}

bool q_lock(ox_queue *q)
{
    return !q->threadsafe || pthread_mutex_lock(&q->LOCK) == 0;
}

// Ends a call: signals one waiting pop after a successful push, then unlocks.
// A failed unlock turns the result into OX_QUEUE_ERR; the work stands.
int q_finish(ox_queue *q, int rv, bool pushed)
{
    if (!q->threadsafe) {
        return rv;
    }
    if (pushed && rv == OX_QUEUE_OK) {
        pthread_cond_signal(&q->CV);
    }
    return pthread_mutex_unlock(&q->LOCK) == 0 ? rv : OX_QUEUE_ERR;
}

// Grows a full queue to new_sz slots and leaves it unwrapped: the oldest element
// in slot 0, read_offset 0, write_offset the old capacity. On failure the queue
// keeps its storage, contents and offsets.
int ox_queue_resize(ox_queue *q, uint32_t new_sz)
{
    if (OX_Q_SZ(q) != q->allocsz || new_sz <= q->allocsz || new_sz > OX_QUEUE_MAX_ALLOCSZ) {
        return OX_QUEUE_ERR;
    }
    size_t bytes;
    if (!slot_bytes(new_sz, q->elementsz, &bytes)) {
        return OX_QUEUE_ERR;
    }
    size_t old_bytes = static_cast<size_t>(q->allocsz) * q->elementsz;
    size_t split = static_cast<size_t>(q->read_offset % q->allocsz) * q->elementsz;

    if (split == 0) {
        auto *grown = static_cast<uint8_t *>(ox_realloc(q->queue, bytes));
        if (!grown) {
            return OX_QUEUE_ERR;
        }
        q->queue = grown;
    } else {
        // ox_queue_unwrap: the part from the read slot to the end goes first.
        auto *fresh = static_cast<uint8_t *>(ox_malloc(bytes));
        if (!fresh) {
            return OX_QUEUE_ERR;
        }
        memcpy(fresh, q->queue + split, old_bytes - split);
        memcpy(fresh + (old_bytes - split), q->queue, split);
        ox_free(q->queue);
        q->queue = fresh;
    }
    q_store(q->read_offset, 0);
    q_store(q->write_offset, q->allocsz);
    q_store(q->allocsz, new_sz);
    return OX_QUEUE_OK;
}

int grow_if_full(ox_queue *q)
{
    if (OX_Q_SZ(q) < q->allocsz) {
        return OX_QUEUE_OK;
    }
    // At the largest capacity the doubled value wraps to 0, which resize refuses.
    return ox_queue_resize(q, q->allocsz * 2);
}

// Lowering both offsets by a multiple of the capacity keeps every slot in place.
void rebase(ox_queue *q)
{
    if (q->write_offset & OX_QUEUE_REBASE_MASK) {
        uint32_t shift = q->read_offset - (q->read_offset % q->allocsz);
        q_store(q->read_offset, q->read_offset - shift);
        q_store(q->write_offset, q->write_offset - shift);
    }
}

int push_tail_locked(ox_queue *q, const void *ptr)
{
    if (grow_if_full(q) != OX_QUEUE_OK) {
        return OX_QUEUE_ERR;
    }
    memcpy(OX_Q_ELEM_PTR(q, q->write_offset), ptr, q->elementsz);
    q_store(q->write_offset, q->write_offset + 1);
    rebase(q);
    return OX_QUEUE_OK;
}

bool contains_locked(ox_queue *q, const void *ptr)
{
    for (uint32_t p = q->read_offset; p < q->write_offset; p++) {
        if (memcmp(OX_Q_ELEM_PTR(q, p), ptr, q->elementsz) == 0) {
            return true;
        }
    }
    return false;
}

enum delete_outcome { DELETE_NOTHING, DELETE_KEPT_SUCCESSORS, DELETE_MOVED_SUCCESSORS };

// Removes the element at logical position p; the caller holds the lock. Tells
// whether the elements behind p moved down one position (p then holds the next
// element to examine).
delete_outcome ox_queue_delete_offset(ox_queue *q, uint32_t p)
{
    uint32_t i = p % q->allocsz;
    uint32_t r = q->read_offset % q->allocsz;
    uint32_t w = q->write_offset % q->allocsz;
    size_t esz = q->elementsz;

    if (i == r) {
        q_store(q->read_offset, q->read_offset + 1);
        return DELETE_KEPT_SUCCESSORS;
    }
    if (w != 0 && i == w - 1) {
        q_store(q->write_offset, q->write_offset - 1);
        return DELETE_MOVED_SUCCESSORS;
    }
    if (i > r) {
        memmove(&q->queue[(r + 1) * esz], &q->queue[r * esz], (i - r) * esz);
        q_store(q->read_offset, q->read_offset + 1);
        return DELETE_KEPT_SUCCESSORS;
    }
    if (i < w) {
        memmove(&q->queue[i * esz], &q->queue[(i + 1) * esz], (w - 1 - i) * esz);
        q_store(q->write_offset, q->write_offset - 1);
        return DELETE_MOVED_SUCCESSORS;
    }
    return DELETE_NOTHING;
}

// The walk of both reduces. Backwards it counts down from one past the newest,
// so a read offset of 0 cannot make it wrap.
int reduce_walk(ox_queue *q, ox_queue_reduce_fn cb, void *udata, bool reverse)
{
    if (!q || !cb || !q_lock(q)) {
        return OX_QUEUE_ERR;
    }
    uint32_t p = reverse ? q->write_offset : q->read_offset;
    while (reverse ? p > q->read_offset : p < q->write_offset) {
        uint32_t at = reverse ? --p : p++;
        int rv = cb(OX_Q_ELEM_PTR(q, at), udata);
        if (rv == -1) {
            break;
        }
        if (rv == -2) {
            ox_queue_delete_offset(q, at);
            break;
        }
    }
    return q_finish(q, OX_QUEUE_OK, false);
}

}  // namespace

ox_queue *ox_queue_create(size_t elementsz, bool threadsafe)
{
    size_t bytes;
    if (elementsz == 0 || !slot_bytes(OX_QUEUE_ALLOCSZ, elementsz, &bytes)) {
        return nullptr;
    }
    auto *q = static_cast<ox_queue *>(ox_malloc(sizeof(ox_queue)));
    if (!q) {
        return nullptr;
    }
    memset(static_cast<void *>(q), 0, sizeof(*q));
    q->queue = static_cast<uint8_t *>(ox_malloc(bytes));
    if (!q->queue) {
        ox_free(q);
        return nullptr;
    }
    q->allocsz = OX_QUEUE_ALLOCSZ;
    q->elementsz = elementsz;
    q->threadsafe = threadsafe;
    if (threadsafe) {
        if (pthread_mutex_init(&q->LOCK, nullptr) != 0) {
            ox_free(q->queue);
            ox_free(q);
            return nullptr;
        }
        if (pthread_cond_init(&q->CV, nullptr) != 0) {
            pthread_mutex_destroy(&q->LOCK);
            ox_free(q->queue);
            ox_free(q);
            return nullptr;
        }
    }
    return q;
}

void ox_queue_destroy(ox_queue *q)
{
    if (!q) {
        return;
    }
    if (q->threadsafe) {
        pthread_cond_destroy(&q->CV);
        pthread_mutex_destroy(&q->LOCK);
    }
    ox_free(q->queue);
    ox_free(q);
}

int ox_queue_sz(ox_queue *q)
{
    if (!q || !q_lock(q)) {
        return OX_QUEUE_ERR;
    }
    int sz = static_cast<int>(OX_Q_SZ(q));
    return q_finish(q, OX_QUEUE_OK, false) == OX_QUEUE_OK ? sz : OX_QUEUE_ERR;
}

int ox_queue_push(ox_queue *q, const void *ptr)
{
    if (!q || !ptr || !q_lock(q)) {
        return OX_QUEUE_ERR;
    }
    return q_finish(q, push_tail_locked(q, ptr), true);
}

int ox_queue_push_head(ox_queue *q, const void *ptr)
{
    if (!q || !ptr || !q_lock(q)) {
        return OX_QUEUE_ERR;
    }
    if (grow_if_full(q) != OX_QUEUE_OK) {
        return q_finish(q, OX_QUEUE_ERR, true);
    }
    if (OX_Q_EMPTY(q)) {
        memcpy(OX_Q_ELEM_PTR(q, q->write_offset), ptr, q->elementsz);
        q_store(q->write_offset, q->write_offset + 1);
    } else if (q->read_offset > 0) {
        q_store(q->read_offset, q->read_offset - 1);
        memcpy(OX_Q_ELEM_PTR(q, q->read_offset), ptr, q->elementsz);
    } else {
        // read_offset 0: the elements fill slots 0 .. write_offset - 1 and the
        // queue is not full, so all of them can move up by one.
        memmove(&q->queue[q->elementsz], q->queue, static_cast<size_t>(q->write_offset) * q->elementsz);
        memcpy(q->queue, ptr, q->elementsz);
        q_store(q->write_offset, q->write_offset + 1);
    }
    rebase(q);
    return q_finish(q, OX_QUEUE_OK, true);
}

int ox_queue_push_unique(ox_queue *q, const void *ptr)
{
    if (!q || !ptr || !q_lock(q)) {
        return OX_QUEUE_ERR;
    }
    if (contains_locked(q, ptr)) {
        return q_finish(q, OX_QUEUE_EMPTY, false);
    }
    return q_finish(q, push_tail_locked(q, ptr), true);
}

bool ox_queue_push_limit(ox_queue *q, const void *ptr, uint32_t limit)
{
    if (!q || !ptr || !q_lock(q)) {
        return false;
    }
    if (OX_Q_SZ(q) >= limit) {
        q_finish(q, OX_QUEUE_OK, false);
        return false;
    }
    return q_finish(q, push_tail_locked(q, ptr), true) == OX_QUEUE_OK;
}

namespace {

// The wait of both pops on an empty queue, with the lock held.
void wait_while_empty(ox_queue *q, int ms_wait)
{
    if (!q->threadsafe) {
        return;
    }
    if (ms_wait == OX_QUEUE_FOREVER) {
        while (OX_Q_EMPTY(q)) {
            pthread_cond_wait(&q->CV, &q->LOCK);
        }
    } else if (ms_wait > 0 && OX_Q_EMPTY(q)) {
        // The deadline counts from the moment the lock was had; one wait only.
        struct timespec deadline;
        ox_set_wait_timespec(&deadline, ms_wait);
        pthread_cond_timedwait(&q->CV, &q->LOCK, &deadline);
    }
}

// Removes the n oldest elements (n at most the queue's size); a queue that
// drains starts again at offset 0.
void drop_oldest(ox_queue *q, uint32_t n)
{
    q_store(q->read_offset, q->read_offset + n);
    if (OX_Q_EMPTY(q)) {
        q_store(q->read_offset, 0);
        q_store(q->write_offset, 0);
    }
}

}  // namespace

int ox_queue_pop(ox_queue *q, void *buf, int ms_wait)
{
    if (!q || !buf || !q_lock(q)) {
        return OX_QUEUE_ERR;
    }
    wait_while_empty(q, ms_wait);
    if (OX_Q_EMPTY(q)) {
        return q_finish(q, OX_QUEUE_EMPTY, false);
    }
    memcpy(buf, OX_Q_ELEM_PTR(q, q->read_offset), q->elementsz);
    drop_oldest(q, 1);
    return q_finish(q, OX_QUEUE_OK, false);
}

int ox_queue_pop_many(ox_queue *q, void *buf, uint32_t max, int ms_wait)
{
    if (!q || !buf || !q_lock(q)) {
        return OX_QUEUE_ERR;
    }
    if (max > 0) {
        wait_while_empty(q, ms_wait);
    }
    // The count popped is returned as an int, apart from the negative codes.
    if (max > static_cast<uint32_t>(INT32_MAX)) {
        max = static_cast<uint32_t>(INT32_MAX);
    }
    uint32_t n = OX_Q_SZ(q) < max ? OX_Q_SZ(q) : max;
    // The oldest n elements lie in at most two runs: from the read slot up to
    // the end of the storage, then from its start.
    uint32_t slot = q->read_offset % q->allocsz;
    uint32_t first = q->allocsz - slot < n ? q->allocsz - slot : n;
    auto *out = static_cast<uint8_t *>(buf);
    memcpy(out, &q->queue[static_cast<size_t>(slot) * q->elementsz], static_cast<size_t>(first) * q->elementsz);
    memcpy(out + static_cast<size_t>(first) * q->elementsz, q->queue,
           static_cast<size_t>(n - first) * q->elementsz);
    drop_oldest(q, n);
    return q_finish(q, OX_QUEUE_OK, false) == OX_QUEUE_OK ? static_cast<int>(n) : OX_QUEUE_ERR;
}

int ox_queue_reduce(ox_queue *q, ox_queue_reduce_fn cb, void *udata)
{
    return reduce_walk(q, cb, udata, false);
}

int ox_queue_reduce_reverse(ox_queue *q, ox_queue_reduce_fn cb, void *udata)
{
    return reduce_walk(q, cb, udata, true);
}

int ox_queue_delete(ox_queue *q, const void *ptr, bool only_one)
{
    if (!q || !q_lock(q)) {
        return OX_QUEUE_ERR;
    }
    if (OX_Q_EMPTY(q)) {
        return q_finish(q, OX_QUEUE_EMPTY, false);
    }
    bool found = false;
    if (!ptr) {
        found = true;
        if (only_one) {
            ox_queue_delete_offset(q, q->read_offset);
        } else {
            q_store(q->read_offset, q->write_offset);
        }
    } else {
        uint32_t p = q->read_offset;
        while (p < q->write_offset) {
            if (memcmp(OX_Q_ELEM_PTR(q, p), ptr, q->elementsz) != 0) {
                p++;
                continue;
            }
            delete_outcome out = ox_queue_delete_offset(q, p);
            found = found || out != DELETE_NOTHING;
            if (only_one || out == DELETE_NOTHING) {
                break;
            }
            if (out == DELETE_KEPT_SUCCESSORS) {
                p++;
            }
        }
    }
    return q_finish(q, found ? OX_QUEUE_OK : OX_QUEUE_EMPTY, false);
}

int ox_queue_delete_all(ox_queue *q)
{
    return ox_queue_delete(q, nullptr, false);
}
