/*
 * ox_ll: an intrusive doubly linked list. Members are the caller's own
 * objects, each beginning with an ox_ll_element; the list never allocates or
 * copies them (only iterators are allocated). A delete unlinks the member and
 * hands it to the list's destructor, when one is set, which disposes of it.
 *
 * With uselock every operation without _lockfree holds LOCK until it
 * returns, including the destructor calls of a delete and every callback of
 * search, reduce and insert-reduce: those callbacks must not call locked
 * operations of the same list. ox_ll_index, the iterator and the two header
 * inlines take no lock; the caller keeps the list unchanged meanwhile.
 */
#pragma once

#include <pthread.h>

#include <cstdint>

typedef struct ox_ll_element_s {
    struct ox_ll_element_s *next; // NULL at the tail
    struct ox_ll_element_s *prev; // NULL at the head
} ox_ll_element;

// Called with each member that a delete removes, under the list's lock.
typedef void (*ox_ll_destructor)(ox_ll_element *e);
// Called with a member (or NULL, see insert-reduce) and the caller's data.
typedef int (*ox_ll_reduce_fn)(ox_ll_element *e, void *udata);

// Callback results; 0 means go on to the next member.
#define OX_LL_REDUCE_DELETE      1 // reduce: delete this member and go on
#define OX_LL_REDUCE_INSERT      2 // insert-reduce: insert the new element here
#define OX_LL_REDUCE_MATCHED     3 // search: this member is the one sought
#define OX_LL_REDUCE_NOT_MATCHED 4 // search: not this one, go on

typedef struct ox_ll_s {
    ox_ll_element *head;         // NULL when empty
    ox_ll_element *tail;         // NULL when empty
    ox_ll_destructor destroy_fn; // or NULL
    uint32_t sz;                 // number of members
    bool uselock;
    pthread_mutex_t LOCK;        // initialised only with uselock
} ox_ll;

typedef struct ox_ll_iterator_s {
    ox_ll_element *next; // member to return next, or NULL
    bool forward;        // true: along next from the head; false: along prev from the tail
} ox_ll_iterator;

// The list object is the caller's; there is no destroy: the owner deletes the
// members it wants disposed of and drops the object. Gives 0.
int ox_ll_init(ox_ll *ll, ox_ll_destructor destroy_fn, bool uselock);

/* Linking: the element must not be a member of any list. */
void ox_ll_prepend(ox_ll *ll, ox_ll_element *e);
void ox_ll_prepend_lockfree(ox_ll *ll, ox_ll_element *e);
void ox_ll_append(ox_ll *ll, ox_ll_element *e);
void ox_ll_append_lockfree(ox_ll *ll, ox_ll_element *e);
void ox_ll_insert_after(ox_ll *ll, ox_ll_element *member, ox_ll_element *e);
void ox_ll_insert_after_lockfree(ox_ll *ll, ox_ll_element *member, ox_ll_element *e);
void ox_ll_insert_before(ox_ll *ll, ox_ll_element *member, ox_ll_element *e);
void ox_ll_insert_before_lockfree(ox_ll *ll, ox_ll_element *member, ox_ll_element *e);

// Unlinks member e (which must belong to ll) and passes it to the destructor;
// e's own links are left as they were. Nothing happens on an empty list.
void ox_ll_delete(ox_ll *ll, ox_ll_element *e);
void ox_ll_delete_lockfree(ox_ll *ll, ox_ll_element *e);

/* Walks. */

// cb(member, key) for each member from the head (forward) or the tail:
// OX_LL_REDUCE_MATCHED gives that member, OX_LL_REDUCE_NOT_MATCHED goes on,
// anything else ends the search with NULL.
ox_ll_element *ox_ll_search(ox_ll *ll, ox_ll_element *key, bool forward, ox_ll_reduce_fn cb);
ox_ll_element *ox_ll_search_lockfree(ox_ll *ll, ox_ll_element *key, bool forward,
    ox_ll_reduce_fn cb);
// cb(member, udata) for each member: 0 goes on, OX_LL_REDUCE_DELETE deletes it
// (destructor included) and goes on, anything else stops. Gives the last
// callback result (0 for an empty list).
int ox_ll_reduce(ox_ll *ll, bool forward, ox_ll_reduce_fn cb, void *udata);
// Ordered insertion of e: OX_LL_REDUCE_INSERT at a member puts e before it
// (forward) or after it (backward) and gives 0; another non-zero value gives
// that value and e is not inserted. At the end cb(NULL, udata) decides once
// more: OX_LL_REDUCE_INSERT appends (forward) or prepends (backward), any
// other value (0 included) is returned and e is not inserted.
int ox_ll_insert_reduce(ox_ll *ll, ox_ll_element *e, bool forward, ox_ll_reduce_fn cb, void *udata);

// 0 is the head, -1 the tail, -2 the member before it; NULL beyond the list. No lock.
ox_ll_element *ox_ll_index(ox_ll *ll, int index);
// sz, read under the lock.
uint32_t ox_ll_size(ox_ll *ll);

/* Iterators: no lock. The caller owns the iterator and releases it. */
ox_ll_iterator *ox_ll_getIterator(ox_ll *ll, bool forward); // NULL when out of memory
ox_ll_element *ox_ll_getNext(ox_ll_iterator *iter);         // NULL at the end or for NULL
void ox_ll_releaseIterator(ox_ll_iterator *iter);           // NULL is ignored

// Lock-free reads of the links, for a walker that serialises changes itself.
static inline ox_ll_element *ox_ll_get_head(ox_ll *ll)
{
    return ll->head;
}

static inline ox_ll_element *ox_ll_get_next(ox_ll_element *e)
{
    return e->next;
}
