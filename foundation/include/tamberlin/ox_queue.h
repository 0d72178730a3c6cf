// First-in-first-out queue of fixed-size elements, copied in and out by value.
//
// The slots form one heap block that doubles when a push finds it full and never
// shrinks. Positions are free-running 32-bit offsets: the element at logical
// position p lives in slot p % allocsz, so push and pop touch one slot and one
// counter. The offsets are lowered by a multiple of the capacity before they can
// overflow, and both return to 0 when a pop drains the queue.
//
// A thread-safe queue holds its one mutex for the whole of every call (element
// copies and reduce callbacks included) and signals its condition variable once
// per successful push. A queue made without the flag must be used by one thread
// at a time.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#define OX_QUEUE_ALLOCSZ 64

// Result codes.
#define OX_QUEUE_OK 0
#define OX_QUEUE_ERR -1      // null queue or element, mutex failure, no memory to grow
#define OX_QUEUE_EMPTY -2    // nothing popped, unique push found an equal element, delete found nothing
#define OX_QUEUE_NOMATCH -3

// Wait argument of ox_queue_pop: a positive value is a number of milliseconds.
#define OX_QUEUE_FOREVER -1
#define OX_QUEUE_NOWAIT 0

typedef struct ox_queue_s {
    bool threadsafe;          // fixed at creation
    uint32_t allocsz;         // capacity in elements; stored atomically (OX_Q_LOAD)
    uint32_t write_offset;    // one past the newest element; stored atomically
    uint32_t read_offset;     // the oldest element; stored atomically
    size_t elementsz;         // bytes per element
    pthread_mutex_t LOCK;     // thread-safe queue only
    pthread_cond_t CV;        // thread-safe queue only; waits use the real-time clock
    uint8_t *queue;           // allocsz * elementsz bytes
} ox_queue;

// Unlocked views, which statistics read from other threads: the queue stores
// allocsz and the offsets with relaxed atomic stores, so these relaxed loads are
// no data race, but the value may be stale (and OX_Q_SZ, two loads, inexact).
#define OX_Q_LOAD(__f) __atomic_load_n(&(__f), __ATOMIC_RELAXED)
#define OX_Q_SZ(__q) (OX_Q_LOAD((__q)->write_offset) - OX_Q_LOAD((__q)->read_offset))
#define OX_Q_EMPTY(__q) (OX_Q_LOAD((__q)->write_offset) == OX_Q_LOAD((__q)->read_offset))
#define OX_Q_ELEM_PTR(__q, __i) \
    (&(__q)->queue[(size_t)((uint32_t)(__i) % OX_Q_LOAD((__q)->allocsz)) * (__q)->elementsz])

// Called with a pointer to an element inside the storage; returns -1 to stop the
// walk, -2 to delete this element and stop, anything else to go on. Runs with the
// queue's lock held: it must not call any operation on the same queue.
typedef int (*ox_queue_reduce_fn)(void *buf, void *udata);

// Creation and end. create gives NULL when the element size is 0 or too large for
// the first 64 slots, or when memory, the mutex or the condition variable cannot
// be had. destroy: no other thread may be using or waiting on the queue.
ox_queue *ox_queue_create(size_t elementsz, bool threadsafe);
void ox_queue_destroy(ox_queue *q);

// Number of queued elements, read under the lock; OX_QUEUE_ERR for a null queue
// or a lock failure.
int ox_queue_sz(ox_queue *q);

// Pushes copy elementsz bytes from ptr; the caller keeps ptr. Each takes the lock
// (thread-safe queue), grows a full queue by doubling and signals one waiting pop.
// OX_QUEUE_ERR when the queue cannot grow; the queue is then unchanged.
int ox_queue_push(ox_queue *q, const void *ptr);
// The element becomes the next one popped.
int ox_queue_push_head(ox_queue *q, const void *ptr);
// OX_QUEUE_EMPTY, with nothing pushed, when a byte-equal element is queued.
int ox_queue_push_unique(ox_queue *q, const void *ptr);
// false when the queue already holds limit or more elements, or the push failed.
bool ox_queue_push_limit(ox_queue *q, const void *ptr, uint32_t limit);

// Copies the oldest element into buf (elementsz bytes) and removes it.
// ms_wait: OX_QUEUE_FOREVER waits until an element is there, OX_QUEUE_NOWAIT (or
// any other non-positive value) does not wait, a positive value waits once, up
// to that many milliseconds; a caller that wants the whole period loops itself.
// A queue made without the thread-safe flag never waits.
int ox_queue_pop(ox_queue *q, void *buf, int ms_wait);
// Copies up to max of the oldest elements, oldest first, into buf (room for max
// * elementsz bytes) and removes them, all under one lock: the number popped
// (0 when none came), or OX_QUEUE_ERR for a null queue or buffer or a lock
// failure. When the queue is empty it waits as ox_queue_pop does (ms_wait
// alike), and then takes whatever is there; it never waits for more than one
// element. max 0 pops nothing and does not wait.
int ox_queue_pop_many(ox_queue *q, void *buf, uint32_t max, int ms_wait);

// Walks oldest to newest (reduce) or newest to oldest (reduce_reverse) under the
// lock; OX_QUEUE_OK, or OX_QUEUE_ERR for a null queue or callback or a lock failure.
int ox_queue_reduce(ox_queue *q, ox_queue_reduce_fn cb, void *udata);
int ox_queue_reduce_reverse(ox_queue *q, ox_queue_reduce_fn cb, void *udata);

// Deletes under the lock. ptr NULL: the oldest element (only_one) or all of them;
// ptr given: the first byte-equal element (only_one) or every one of them.
// OX_QUEUE_OK when something was deleted, OX_QUEUE_EMPTY when nothing was.
int ox_queue_delete(ox_queue *q, const void *ptr, bool only_one);
int ox_queue_delete_all(ox_queue *q);
