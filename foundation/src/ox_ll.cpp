/*
 * ox_ll: intrusive doubly linked list. Every change relinks at most two
 * neighbours; the walking operations run their callbacks under the list's
 * lock, so a reduce can delete as it goes: it notes the successor before the
 * member (and the destructor that may free it) is gone. Each locked call is
 * its _lockfree twin inside a guard.
 */
#include "tamberlin/ox_ll.h"

#include "ox_mutex_guard.h"
#include "tamberlin/enhanced_alloc.h"

namespace {

// The list's lock for one call, when it has one.
struct ll_guard : ox_mutex_guard {
    explicit ll_guard(ox_ll *ll) : ox_mutex_guard(ll->uselock ? &ll->LOCK : nullptr) {}
};

inline ox_ll_element *step(ox_ll_element *e, bool forward)
{
    return forward ? e->next : e->prev;
}

} // namespace

int ox_ll_init(ox_ll *ll, ox_ll_destructor destroy_fn, bool uselock)
{
    ll->head = nullptr;
    ll->tail = nullptr;
    ll->destroy_fn = destroy_fn;
    ll->sz = 0;
    ll->uselock = uselock;
    if (uselock) {
        pthread_mutex_init(&ll->LOCK, nullptr);
    }
    return 0;
}

void ox_ll_prepend_lockfree(ox_ll *ll, ox_ll_element *e)
{
    e->prev = nullptr;
    e->next = ll->head;
    if (ll->head) {
        ll->head->prev = e;
    } else {
        ll->tail = e;
    }
    ll->head = e;
    ll->sz++;
}

void ox_ll_append_lockfree(ox_ll *ll, ox_ll_element *e)
{
    e->next = nullptr;
    e->prev = ll->tail;
    if (ll->tail) {
        ll->tail->next = e;
    } else {
        ll->head = e;
    }
    ll->tail = e;
    ll->sz++;
}

void ox_ll_insert_after_lockfree(ox_ll *ll, ox_ll_element *member, ox_ll_element *e)
{
    e->next = member->next;
    e->prev = member;
    if (member->next) {
        member->next->prev = e;
    } else {
        ll->tail = e;
    }
    member->next = e;
    ll->sz++;
}

void ox_ll_insert_before_lockfree(ox_ll *ll, ox_ll_element *member, ox_ll_element *e)
{
    e->prev = member->prev;
    e->next = member;
    if (member->prev) {
        member->prev->next = e;
    } else {
        ll->head = e;
    }
    member->prev = e;
    ll->sz++;
}

void ox_ll_delete_lockfree(ox_ll *ll, ox_ll_element *e)
{
    if (ll->sz == 0) {
        return;
    }
    if (ll->head == e && ll->tail == e) {
        ll->head = nullptr;
        ll->tail = nullptr;
    } else if (ll->head == e) {
        ll->head = e->next;
        ll->head->prev = nullptr;
    } else if (ll->tail == e) {
        ll->tail = e->prev;
        ll->tail->next = nullptr;
    } else {
        e->prev->next = e->next;
        e->next->prev = e->prev;
    }
    ll->sz--;
    if (ll->destroy_fn) {
        ll->destroy_fn(e);
    }
}

void ox_ll_prepend(ox_ll *ll, ox_ll_element *e)
{
    ll_guard g(ll);
    ox_ll_prepend_lockfree(ll, e);
}

void ox_ll_append(ox_ll *ll, ox_ll_element *e)
{
    ll_guard g(ll);
    ox_ll_append_lockfree(ll, e);
}

void ox_ll_insert_after(ox_ll *ll, ox_ll_element *member, ox_ll_element *e)
{
    ll_guard g(ll);
    ox_ll_insert_after_lockfree(ll, member, e);
}

void ox_ll_insert_before(ox_ll *ll, ox_ll_element *member, ox_ll_element *e)
{
    ll_guard g(ll);
    ox_ll_insert_before_lockfree(ll, member, e);
}

void ox_ll_delete(ox_ll *ll, ox_ll_element *e)
{
    ll_guard g(ll);
    ox_ll_delete_lockfree(ll, e);
}

ox_ll_element *ox_ll_search_lockfree(ox_ll *ll, ox_ll_element *key, bool forward, ox_ll_reduce_fn cb)
{
    for (ox_ll_element *e = forward ? ll->head : ll->tail; e; e = step(e, forward)) {
        int rv = cb(e, key);
        if (rv == OX_LL_REDUCE_MATCHED) {
            return e;
        }
        if (rv != OX_LL_REDUCE_NOT_MATCHED) {
            return nullptr;
        }
    }
    return nullptr;
}

ox_ll_element *ox_ll_search(ox_ll *ll, ox_ll_element *key, bool forward, ox_ll_reduce_fn cb)
{
    ll_guard g(ll);
    return ox_ll_search_lockfree(ll, key, forward, cb);
}

int ox_ll_reduce(ox_ll *ll, bool forward, ox_ll_reduce_fn cb, void *udata)
{
    ll_guard g(ll);
    int rv = 0;
    ox_ll_element *e = forward ? ll->head : ll->tail;
    while (e) {
        rv = cb(e, udata);
        if (rv == 0) {
            e = step(e, forward);
        } else if (rv == OX_LL_REDUCE_DELETE) {
            ox_ll_element *following = step(e, forward);
            ox_ll_delete_lockfree(ll, e);
            e = following;
        } else {
            break;
        }
    }
    return rv;
}

int ox_ll_insert_reduce(ox_ll *ll, ox_ll_element *e, bool forward, ox_ll_reduce_fn cb, void *udata)
{
    ll_guard g(ll);
    for (ox_ll_element *m = forward ? ll->head : ll->tail; m; m = step(m, forward)) {
        int rv = cb(m, udata);
        if (rv == 0) {
            continue;
        }
        if (rv != OX_LL_REDUCE_INSERT) {
            return rv;
        }
        if (forward) {
            ox_ll_insert_before_lockfree(ll, m, e);
        } else {
            ox_ll_insert_after_lockfree(ll, m, e);
        }
        return 0;
    }
    int rv = cb(nullptr, udata);
    if (rv != OX_LL_REDUCE_INSERT) {
        return rv;
    }
    if (forward) {
        ox_ll_append_lockfree(ll, e);
    } else {
        ox_ll_prepend_lockfree(ll, e);
    }
    return 0;
}

ox_ll_element *ox_ll_index(ox_ll *ll, int index)
{
    bool forward = index >= 0;
    // Steps from the end; formed in 64 bits so that INT_MIN has a magnitude.
    int64_t steps = forward ? index : -(int64_t)index - 1;
    ox_ll_element *e = forward ? ll->head : ll->tail;
    while (e && steps-- > 0) {
        e = step(e, forward);
    }
    return e;
}

uint32_t ox_ll_size(ox_ll *ll)
{
    ll_guard g(ll);
    return ll->sz;
}

ox_ll_iterator *ox_ll_getIterator(ox_ll *ll, bool forward)
{
    ox_ll_iterator *iter = (ox_ll_iterator *)ox_malloc(sizeof(ox_ll_iterator));
    if (!iter) {
        return nullptr;
    }
    iter->forward = forward;
    iter->next = forward ? ll->head : ll->tail;
    return iter;
}

ox_ll_element *ox_ll_getNext(ox_ll_iterator *iter)
{
    if (!iter || !iter->next) {
        return nullptr;
    }
    ox_ll_element *e = iter->next;
    iter->next = step(e, iter->forward);
    return e;
}

void ox_ll_releaseIterator(ox_ll_iterator *iter)
{
    if (iter) {
        ox_free(iter);
    }
}
