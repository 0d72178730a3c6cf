// Bulk pop across threads: a pop on an empty queue waits for another thread's
// push, and a bulk consumer against several producers receives every element
// once, in each producer's order.
#include "tamberlin/ox_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "tamberlin/ox_clock.h"

namespace {

struct QueueDeleter {
    void operator()(ox_queue *q) const { ox_queue_destroy(q); }
};
using QueuePtr = std::unique_ptr<ox_queue, QueueDeleter>;

TEST(OxQueuePopManyMt, WaitsForAPushOnAnEmptyQueue)
{
    // Waiting for ever and waiting a (long) while: either way the pop can only
    // return with the element that the other thread pushes once it has started.
    for (int wait : {OX_QUEUE_FOREVER, 60000}) {
        SCOPED_TRACE(wait);
        QueuePtr q(ox_queue_create(sizeof(uint32_t), true));
        ASSERT_NE(q, nullptr);
        std::atomic<bool> started{false};
        std::atomic<int> got{-5};
        uint32_t buf[8] = {0};
        std::thread consumer([&] {
            started.store(true);
            got.store(ox_queue_pop_many(q.get(), buf, 8, wait));
        });
        while (!started.load()) {
            std::this_thread::yield();
        }
        uint32_t v = 77;
        ASSERT_EQ(ox_queue_push(q.get(), &v), OX_QUEUE_OK);
        consumer.join();
        EXPECT_EQ(got.load(), 1);
        EXPECT_EQ(buf[0], 77u);
        EXPECT_EQ(ox_queue_sz(q.get()), 0);
    }
}

TEST(OxQueuePopManyMt, ProducersAndABulkConsumerDeliverEachElementOnce)
{
    const int kProducers = 4;
    const uint32_t kEach = 50000;
    QueuePtr q(ox_queue_create(sizeof(uint32_t), true));
    ASSERT_NE(q, nullptr);
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; p++) {
        producers.emplace_back([&q, p] {
            for (uint32_t i = 0; i < kEach; i++) {
                uint32_t v = ((uint32_t)p << 24) | i;
                ASSERT_EQ(ox_queue_push(q.get(), &v), OX_QUEUE_OK);
            }
        });
    }
    std::vector<uint32_t> next(kProducers, 0);
    uint64_t total = 0;
    uint64_t deadline = ox_getms() + 120000;
    std::vector<uint32_t> buf(64);
    bool in_order = true;
    while (total < (uint64_t)kProducers * kEach && ox_getms() < deadline) {
        int n = ox_queue_pop_many(q.get(), buf.data(), (uint32_t)buf.size(), 100);
        ASSERT_GE(n, 0);
        for (int i = 0; i < n; i++) {
            uint32_t p = buf[(size_t)i] >> 24;
            uint32_t s = buf[(size_t)i] & 0xffffff;
            ASSERT_LT(p, (uint32_t)kProducers);
            in_order = in_order && s == next[p];
            next[p] = s + 1;
        }
        total += (uint64_t)n;
    }
    for (std::thread &t : producers) {
        t.join();
    }
    EXPECT_TRUE(in_order);
    EXPECT_EQ(total, (uint64_t)kProducers * kEach);
    for (int p = 0; p < kProducers; p++) {
        EXPECT_EQ(next[(size_t)p], kEach) << p;
    }
    EXPECT_EQ(ox_queue_sz(q.get()), 0);
}

}  // namespace
