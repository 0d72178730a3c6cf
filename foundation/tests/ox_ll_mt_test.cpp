// A locked list shared by several threads: appends, inserts, searches and
// deleting reduces interleave, and every member is destroyed exactly once.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tamberlin/ox_ll.h"

namespace {

constexpr int kThreads = 4;
constexpr int kPerThread = 500;

struct item {
    ox_ll_element el;
    int owner;
    int seq;
    int destroyed; // written by the destructor, under the list's lock
};

std::atomic<int> g_destroy_calls;

void destroy_item(ox_ll_element *e)
{
    ((item *)e)->destroyed++;
    g_destroy_calls.fetch_add(1, std::memory_order_relaxed);
}

int delete_owned(ox_ll_element *e, void *udata)
{
    return ((item *)e)->owner == *(int *)udata ? OX_LL_REDUCE_DELETE : 0;
}

int match_owner_seq(ox_ll_element *e, void *key)
{
    item *a = (item *)e, *b = (item *)key;
    return a->owner == b->owner && a->seq == b->seq ? OX_LL_REDUCE_MATCHED : OX_LL_REDUCE_NOT_MATCHED;
}

int insert_at_head(ox_ll_element *, void *)
{
    return OX_LL_REDUCE_INSERT;
}

TEST(OxLlThreads, LockedListSurvivesConcurrentUse)
{
    ox_ll ll;
    ox_ll_init(&ll, destroy_item, true);
    std::vector<item> items((size_t)kThreads * kPerThread);
    for (size_t i = 0; i < items.size(); i++) {
        items[i] = {{nullptr, nullptr}, (int)(i / kPerThread), (int)(i % kPerThread), 0};
    }
    g_destroy_calls = 0;
    std::atomic<int> found{0};

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            item *mine = &items[(size_t)t * kPerThread];
            for (int i = 0; i < kPerThread; i++) {
                switch (i % 3) {
                case 0: ox_ll_append(&ll, &mine[i].el); break;
                case 1: ox_ll_prepend(&ll, &mine[i].el); break;
                default: ox_ll_insert_reduce(&ll, &mine[i].el, true, insert_at_head, nullptr); break;
                }
                if (i % 50 == 0 && ox_ll_search(&ll, &mine[i].el, i % 100 == 0, match_owner_seq)) {
                    found++;
                }
            }
            int owner = t;
            ox_ll_reduce(&ll, t % 2 == 0, delete_owned, &owner);
        });
    }
    for (auto &th : threads) {
        th.join();
    }
    EXPECT_EQ(found.load(), kThreads * (kPerThread / 50));
    EXPECT_EQ(ox_ll_size(&ll), 0u);
    EXPECT_EQ(ll.head, nullptr);
    EXPECT_EQ(ll.tail, nullptr);
    EXPECT_EQ(g_destroy_calls.load(), kThreads * kPerThread);
    for (const item &it : items) {
        ASSERT_EQ(it.destroyed, 1) << it.owner << "/" << it.seq;
    }
    pthread_mutex_destroy(&ll.LOCK);
}

} // namespace
