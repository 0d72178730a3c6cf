// Links at head, middle and tail; deletes with the destructor; the walks
// (search, reduce, insert-reduce) with their callbacks under the list's lock.
#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "tamberlin/ox_ll.h"

namespace {

struct item {
    ox_ll_element el; // first, as every member's
    int v;
};

std::vector<int> g_destroyed;
ox_ll *g_locked_list; // the list whose lock a callback expects to be held
int g_lock_misses;

void note_lock()
{
    if (g_locked_list && g_locked_list->uselock &&
        pthread_mutex_trylock(&g_locked_list->LOCK) != EBUSY) {
        g_lock_misses++;
        pthread_mutex_unlock(&g_locked_list->LOCK);
    }
}

void record_destroy(ox_ll_element *e)
{
    note_lock();
    g_destroyed.push_back(((item *)e)->v);
}

// A list over items[0..n-1] holding 0, 1, ... n-1 in order.
struct list_fixture {
    ox_ll ll;
    item items[16];
    explicit list_fixture(int n, bool uselock = true, ox_ll_destructor d = record_destroy)
    {
        ox_ll_init(&ll, d, uselock);
        for (int i = 0; i < 16; i++) {
            items[i].v = i;
        }
        for (int i = 0; i < n; i++) {
            ox_ll_append(&ll, &items[i].el);
        }
        g_destroyed.clear();
        g_locked_list = &ll;
        g_lock_misses = 0;
    }
    ~list_fixture()
    {
        g_locked_list = nullptr;
        if (ll.uselock) {
            pthread_mutex_destroy(&ll.LOCK);
        }
    }
    // The values from the head, after checking that both directions agree with sz.
    std::vector<int> values()
    {
        std::vector<int> fwd, back;
        EXPECT_TRUE(ll.head == nullptr || ll.head->prev == nullptr);
        EXPECT_TRUE(ll.tail == nullptr || ll.tail->next == nullptr);
        EXPECT_EQ(ll.head == nullptr, ll.tail == nullptr);
        for (ox_ll_element *e = ll.head; e && fwd.size() <= ll.sz; e = e->next) {
            fwd.push_back(((item *)e)->v);
        }
        for (ox_ll_element *e = ll.tail; e && back.size() <= ll.sz; e = e->prev) {
            back.insert(back.begin(), ((item *)e)->v);
        }
        EXPECT_EQ(fwd.size(), ll.sz);
        EXPECT_EQ(fwd, back);
        return fwd;
    }
};

using V = std::vector<int>;

TEST(OxLl, LinkAtHeadMiddleAndTail)
{
    list_fixture f(0);
    ox_ll_append(&f.ll, &f.items[1].el);       // 1
    ox_ll_prepend(&f.ll, &f.items[0].el);      // 0 1
    ox_ll_append(&f.ll, &f.items[3].el);       // 0 1 3
    ox_ll_insert_after(&f.ll, &f.items[1].el, &f.items[2].el);  // middle
    ox_ll_insert_after(&f.ll, &f.items[3].el, &f.items[5].el);  // after the tail
    ox_ll_insert_before(&f.ll, &f.items[5].el, &f.items[4].el); // before the tail
    ox_ll_insert_before(&f.ll, &f.items[0].el, &f.items[9].el); // before the head
    EXPECT_EQ(f.values(), (V{9, 0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(f.ll.head, &f.items[9].el);
    EXPECT_EQ(f.ll.tail, &f.items[5].el);
    EXPECT_EQ(ox_ll_size(&f.ll), 7u);

    // The same through the _lockfree twins on a list without a lock.
    list_fixture g(0, false);
    ox_ll_prepend_lockfree(&g.ll, &g.items[2].el);
    ox_ll_prepend_lockfree(&g.ll, &g.items[0].el);
    ox_ll_insert_after_lockfree(&g.ll, &g.items[0].el, &g.items[1].el);
    ox_ll_append_lockfree(&g.ll, &g.items[4].el);
    ox_ll_insert_before_lockfree(&g.ll, &g.items[4].el, &g.items[3].el);
    EXPECT_EQ(g.values(), (V{0, 1, 2, 3, 4}));
}

TEST(OxLl, DeleteUnlinksAndCallsTheDestructor)
{
    struct del_case {
        int n, victim;
        V left;
    };
    const del_case cases[] = {
        {1, 0, {}},
        {3, 0, {1, 2}},
        {3, 1, {0, 2}},
        {3, 2, {0, 1}},
        {2, 0, {1}},
        {2, 1, {0}},
    };
    for (const del_case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.n << " members, delete " << c.victim);
        list_fixture f(c.n);
        ox_ll_delete(&f.ll, &f.items[c.victim].el);
        EXPECT_EQ(f.values(), c.left);
        EXPECT_EQ(g_destroyed, V{c.victim});
        EXPECT_EQ(g_lock_misses, 0);
    }

    // Deleting the whole list in head, tail, middle order keeps it consistent.
    list_fixture f(5);
    for (int victim : {0, 4, 2, 1, 3}) {
        ox_ll_delete_lockfree(&f.ll, &f.items[victim].el);
        f.values();
    }
    EXPECT_EQ(f.ll.sz, 0u);
    EXPECT_EQ(g_destroyed, (V{0, 4, 2, 1, 3}));

    // An empty list: nothing at all happens.
    g_destroyed.clear();
    ox_ll_delete(&f.ll, &f.items[0].el);
    EXPECT_TRUE(g_destroyed.empty());
    EXPECT_EQ(f.ll.sz, 0u);
}

int delete_odd(ox_ll_element *e, void *udata)
{
    note_lock();
    (*(V *)udata).push_back(((item *)e)->v);
    return ((item *)e)->v % 2 ? OX_LL_REDUCE_DELETE : 0;
}

int delete_all(ox_ll_element *e, void *udata)
{
    note_lock();
    (*(V *)udata).push_back(((item *)e)->v);
    return OX_LL_REDUCE_DELETE;
}

int stop_at_three(ox_ll_element *e, void *udata)
{
    (*(V *)udata).push_back(((item *)e)->v);
    return ((item *)e)->v == 3 ? 7 : 0;
}

TEST(OxLl, ReduceDeletesAsItWalks)
{
    struct reduce_case {
        ox_ll_reduce_fn fn;
        bool forward;
        int rv;
        V visited, left, destroyed;
    };
    const reduce_case cases[] = {
        {delete_odd, true, OX_LL_REDUCE_DELETE, {0, 1, 2, 3, 4, 5}, {0, 2, 4}, {1, 3, 5}}, // 5 was last
        {delete_odd, false, 0, {5, 4, 3, 2, 1, 0}, {0, 2, 4}, {5, 3, 1}},
        {delete_all, true, OX_LL_REDUCE_DELETE, {0, 1, 2, 3, 4, 5}, {}, {0, 1, 2, 3, 4, 5}},
        {delete_all, false, OX_LL_REDUCE_DELETE, {5, 4, 3, 2, 1, 0}, {}, {5, 4, 3, 2, 1, 0}},
        {stop_at_three, true, 7, {0, 1, 2, 3}, {0, 1, 2, 3, 4, 5}, {}},
        {stop_at_three, false, 7, {5, 4, 3}, {0, 1, 2, 3, 4, 5}, {}},
    };
    for (const reduce_case &c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        list_fixture f(6);
        V visited;
        EXPECT_EQ(ox_ll_reduce(&f.ll, c.forward, c.fn, &visited), c.rv);
        EXPECT_EQ(visited, c.visited);
        EXPECT_EQ(f.values(), c.left);
        EXPECT_EQ(g_destroyed, c.destroyed);
        EXPECT_EQ(g_lock_misses, 0);
    }

    list_fixture empty(0);
    V visited;
    EXPECT_EQ(ox_ll_reduce(&empty.ll, true, delete_all, &visited), 0);
    EXPECT_TRUE(visited.empty());
}

// Answers insert before the first member whose value exceeds *udata.
int insert_sorted(ox_ll_element *e, void *udata)
{
    note_lock();
    int v = *(int *)udata;
    if (!e) {
        return OX_LL_REDUCE_INSERT;
    }
    return ((item *)e)->v > v ? OX_LL_REDUCE_INSERT : 0;
}

struct scripted {
    int answer_at;   // index of the call that answers, counted from 0
    int answer;      // what it answers; every other call answers 0
    int calls;
    bool saw_null;
};

int scripted_answer(ox_ll_element *e, void *udata)
{
    scripted *s = (scripted *)udata;
    if (!e) {
        s->saw_null = true;
    }
    return s->calls++ == s->answer_at ? s->answer : 0;
}

TEST(OxLl, InsertReducePlacesByTheCallback)
{
    struct ir_case {
        int n;          // members 0..n-1 before
        bool forward;
        int answer_at, answer;
        int rv;
        V after;        // 9 is the new element
        bool saw_null;
    };
    const ir_case cases[] = {
        {0, true, 0, OX_LL_REDUCE_INSERT, 0, {9}, true},
        {0, true, 0, 0, 0, {}, true},
        {0, false, 0, OX_LL_REDUCE_INSERT, 0, {9}, true},
        {4, true, 2, OX_LL_REDUCE_INSERT, 0, {0, 1, 9, 2, 3}, false},  // at the third member
        {4, true, 0, OX_LL_REDUCE_INSERT, 0, {9, 0, 1, 2, 3}, false},
        {4, false, 0, OX_LL_REDUCE_INSERT, 0, {0, 1, 2, 3, 9}, false}, // after the tail
        {4, false, 3, OX_LL_REDUCE_INSERT, 0, {0, 9, 1, 2, 3}, false}, // after the head
        {4, true, 4, OX_LL_REDUCE_INSERT, 0, {0, 1, 2, 3, 9}, true},   // the end decides: append
        {4, false, 4, OX_LL_REDUCE_INSERT, 0, {9, 0, 1, 2, 3}, true},  // backward: prepend
        {4, true, 4, 5, 5, {0, 1, 2, 3}, true},
        {4, true, 1, 5, 5, {0, 1, 2, 3}, false},
    };
    for (const ir_case &c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        list_fixture f(c.n);
        scripted s = {c.answer_at, c.answer, 0, false};
        EXPECT_EQ(ox_ll_insert_reduce(&f.ll, &f.items[9].el, c.forward, scripted_answer, &s), c.rv);
        EXPECT_EQ(f.values(), c.after);
        EXPECT_EQ(s.saw_null, c.saw_null);
        if (c.n == 0) {
            EXPECT_EQ(s.calls, 1);
        }
    }

    // Ordered insertion builds a sorted list from any order.
    list_fixture f(0);
    for (int v : {5, 1, 9, 3, 7, 0}) {
        EXPECT_EQ(ox_ll_insert_reduce(&f.ll, &f.items[v].el, true, insert_sorted, &f.items[v].v), 0);
    }
    EXPECT_EQ(f.values(), (V{0, 1, 3, 5, 7, 9}));
    EXPECT_EQ(g_lock_misses, 0);
}

int match_value(ox_ll_element *e, void *key)
{
    note_lock();
    return ((item *)e)->v == ((item *)key)->v ? OX_LL_REDUCE_MATCHED : OX_LL_REDUCE_NOT_MATCHED;
}

int give_up(ox_ll_element *, void *)
{
    return 0;
}

TEST(OxLl, SearchFindsOrStops)
{
    list_fixture f(5);
    item key = {{nullptr, nullptr}, 3};
    EXPECT_EQ(ox_ll_search(&f.ll, &key.el, true, match_value), &f.items[3].el);
    EXPECT_EQ(ox_ll_search(&f.ll, &key.el, false, match_value), &f.items[3].el);
    key.v = 11;
    EXPECT_EQ(ox_ll_search(&f.ll, &key.el, true, match_value), nullptr);
    g_locked_list = nullptr; // the twin runs without the lock
    EXPECT_EQ(ox_ll_search_lockfree(&f.ll, &key.el, false, match_value), nullptr);
    g_locked_list = &f.ll;
    key.v = 4;
    EXPECT_EQ(ox_ll_search(&f.ll, &key.el, true, give_up), nullptr); // 0 ends at the first member
    EXPECT_EQ(g_lock_misses, 0);

    list_fixture empty(0);
    EXPECT_EQ(ox_ll_search(&empty.ll, &key.el, true, match_value), nullptr);
}

TEST(OxLl, IndexCountsFromEitherEnd)
{
    list_fixture f(4);
    const struct {
        int index, want; // want -1: NULL
    } cases[] = {{0, 0}, {3, 3}, {4, -1}, {-1, 3}, {-4, 0}, {-5, -1}, {INT32_MIN, -1}, {INT32_MAX, -1}};
    for (const auto &c : cases) {
        ox_ll_element *e = ox_ll_index(&f.ll, c.index);
        if (c.want < 0) {
            EXPECT_EQ(e, nullptr) << c.index;
        } else {
            EXPECT_EQ(e, &f.items[c.want].el) << c.index;
        }
    }
    list_fixture empty(0);
    EXPECT_EQ(ox_ll_index(&empty.ll, 0), nullptr);
    EXPECT_EQ(ox_ll_index(&empty.ll, -1), nullptr);
}

TEST(OxLl, IteratorsWalkBothWays)
{
    list_fixture f(3, false, nullptr);
    for (bool forward : {true, false}) {
        ox_ll_iterator *it = ox_ll_getIterator(&f.ll, forward);
        ASSERT_NE(it, nullptr);
        V seen;
        for (ox_ll_element *e; (e = ox_ll_getNext(it));) {
            seen.push_back(((item *)e)->v);
        }
        EXPECT_EQ(seen, forward ? (V{0, 1, 2}) : (V{2, 1, 0}));
        EXPECT_EQ(ox_ll_getNext(it), nullptr);
        ox_ll_releaseIterator(it);
    }
    EXPECT_EQ(ox_ll_getNext(nullptr), nullptr);
    ox_ll_releaseIterator(nullptr);

    // The header inlines walk the links without a lock.
    V seen;
    for (ox_ll_element *e = ox_ll_get_head(&f.ll); e; e = ox_ll_get_next(e)) {
        seen.push_back(((item *)e)->v);
    }
    EXPECT_EQ(seen, (V{0, 1, 2}));
    // A list without destructor deletes without calling one.
    ox_ll_delete(&f.ll, &f.items[1].el);
    EXPECT_EQ(f.values(), (V{0, 2}));
    EXPECT_TRUE(g_destroyed.empty());
}

} // namespace
