// Several producers and consumers on one thread-safe queue: every element is
// delivered exactly once, and each consumer sees each producer's elements in
// the order they were pushed.
#include "tamberlin/ox_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// The size of the shipper's pipe messages, so that the copies are realistic.
struct Msg {
    uint32_t producer;
    uint32_t seq;
    uint8_t pad[272];
};
static_assert(sizeof(Msg) == 280);

constexpr uint32_t kProducers = 4;
constexpr uint32_t kConsumers = 4;
constexpr uint32_t kPerProducer = 20000;
constexpr uint32_t kStop = UINT32_MAX;

TEST(OxQueueMt, ProducersAndConsumersDeliverEachElementOnce)
{
    ox_queue *q = ox_queue_create(sizeof(Msg), true);
    ASSERT_NE(q, nullptr);

    std::vector<std::atomic<uint32_t>> delivered(kProducers * kPerProducer);
    std::atomic<uint32_t> out_of_order{0};
    std::atomic<uint32_t> pop_errors{0};

    std::vector<std::thread> consumers;
    for (uint32_t c = 0; c < kConsumers; c++) {
        consumers.emplace_back([&, c] {
            std::vector<int64_t> last(kProducers, -1);
            // Consumers wait in each of the three ways; the timed ones loop
            // themselves because one timed pop waits only once.
            const int wait = c % 3 == 0 ? OX_QUEUE_FOREVER : (c % 3 == 1 ? 50 : OX_QUEUE_NOWAIT);
            for (;;) {
                Msg m;
                int rv = ox_queue_pop(q, &m, wait);
                if (rv == OX_QUEUE_EMPTY) {
                    if (wait == OX_QUEUE_NOWAIT) {
                        std::this_thread::yield();
                    }
                    continue;
                }
                if (rv != OX_QUEUE_OK) {
                    pop_errors++;
                    return;
                }
                if (m.producer == kStop) {
                    return;
                }
                if (static_cast<int64_t>(m.seq) <= last[m.producer] || m.pad[0] != static_cast<uint8_t>(m.seq)) {
                    out_of_order++;
                }
                last[m.producer] = m.seq;
                delivered[m.producer * kPerProducer + m.seq]++;
            }
        });
    }

    std::vector<std::thread> producers;
    std::atomic<uint32_t> push_errors{0};
    for (uint32_t p = 0; p < kProducers; p++) {
        producers.emplace_back([&, p] {
            Msg m;
            memset(&m, 0, sizeof(m));
            m.producer = p;
            for (uint32_t s = 0; s < kPerProducer; s++) {
                m.seq = s;
                m.pad[0] = static_cast<uint8_t>(s);
                if (ox_queue_push(q, &m) != OX_QUEUE_OK) {
                    push_errors++;
                }
            }
        });
    }
    for (auto &t : producers) {
        t.join();
    }
    Msg stop;
    memset(&stop, 0, sizeof(stop));
    stop.producer = kStop;
    for (uint32_t c = 0; c < kConsumers; c++) {
        ASSERT_EQ(ox_queue_push(q, &stop), OX_QUEUE_OK);
    }
    for (auto &t : consumers) {
        t.join();
    }

    EXPECT_EQ(push_errors.load(), 0u);
    EXPECT_EQ(pop_errors.load(), 0u);
    EXPECT_EQ(out_of_order.load(), 0u);
    uint32_t wrong = 0;
    for (auto &d : delivered) {
        wrong += d.load() != 1;
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(ox_queue_sz(q), 0);
    ox_queue_destroy(q);
}

// Head pushes, unique pushes, limited pushes, deletes and reduces from other
// threads must not lose or duplicate the elements that pass through.
TEST(OxQueueMt, MixedOperationsKeepEveryElement)
{
    ox_queue *q = ox_queue_create(sizeof(uint64_t), true);
    ASSERT_NE(q, nullptr);
    constexpr uint64_t kPerThread = 10000;
    constexpr int kThreads = 4;
    std::atomic<uint64_t> pushed_sum{0};
    std::atomic<uint64_t> popped_sum{0};
    std::atomic<uint64_t> popped{0};
    std::atomic<bool> done{false};

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            for (uint64_t i = 0; i < kPerThread; i++) {
                uint64_t v = (static_cast<uint64_t>(t) << 32) | (i + 1);
                bool ok = false;
                switch (i % 3) {
                case 0: ok = ox_queue_push(q, &v) == OX_QUEUE_OK; break;
                case 1: ok = ox_queue_push_head(q, &v) == OX_QUEUE_OK; break;
                default: ok = ox_queue_push_unique(q, &v) == OX_QUEUE_OK; break;
                }
                if (ok) {
                    pushed_sum += v;
                }
            }
        });
    }
    // A walker that reads every element and deletes values that are never pushed.
    std::thread walker([&] {
        uint64_t never = 0;
        while (!done.load()) {
            ox_queue_reduce(q, [](void *, void *) { return 0; }, nullptr);
            ox_queue_reduce_reverse(q, [](void *, void *) { return 0; }, nullptr);
            ox_queue_delete(q, &never, false);
            std::this_thread::yield();
        }
    });
    std::thread consumer([&] {
        for (;;) {
            uint64_t v;
            if (ox_queue_pop(q, &v, 20) == OX_QUEUE_OK) {
                popped_sum += v;
                popped++;
            } else if (done.load()) {
                return;
            }
        }
    });
    for (auto &t : threads) {
        t.join();
    }
    // Every push above succeeds (the values are distinct), so the consumer is
    // done once it has them all.
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (popped.load() < kThreads * kPerThread && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::yield();
    }
    EXPECT_EQ(popped.load(), kThreads * kPerThread);
    done = true;
    consumer.join();
    walker.join();
    EXPECT_EQ(popped_sum.load(), pushed_sum.load());
    EXPECT_EQ(ox_queue_sz(q), 0);
    ox_queue_destroy(q);
}

// A timed pop waits once: a wake-up that finds the queue still empty (here a
// bare signal of the condition variable, as a spurious wake-up would be) ends
// the pop with OX_QUEUE_EMPTY long before its deadline. A pop that waited again
// would still be waiting when the element is finally pushed, and get it.
TEST(OxQueueMt, TimedPopWaitsOnlyOnce)
{
    ox_queue *q = ox_queue_create(sizeof(uint32_t), true);
    ASSERT_NE(q, nullptr);
    std::atomic<int> result{1};
    std::atomic<bool> started{false};
    std::atomic<bool> returned{false};
    std::thread popper([&] {
        uint32_t v;
        started = true;
        result = ox_queue_pop(q, &v, 10 * 60 * 1000);
        returned = true;
    });
    // Signals sent before the pop waits are lost, so they go on (bounded in
    // count and time) until it returns, however late the popper is scheduled.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!started.load() && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::yield();
    }
    for (int i = 0; i < 50000000 && !returned.load() && std::chrono::steady_clock::now() < give_up; i++) {
        pthread_mutex_lock(&q->LOCK);
        pthread_cond_signal(&q->CV);
        pthread_mutex_unlock(&q->LOCK);
        std::this_thread::yield();
    }
    if (!returned.load()) {
        uint32_t x = 5;
        ASSERT_EQ(ox_queue_push(q, &x), OX_QUEUE_OK);
    }
    popper.join();
    EXPECT_EQ(result.load(), OX_QUEUE_EMPTY);
    ox_queue_destroy(q);
}

// Statistics read the capacity and the offsets through the header macros,
// without the lock, while other threads push and pop. The pushes go on until
// the reader has really read during them (a reader that is scheduled only
// after the traffic would test nothing), bounded by a count and a deadline.
TEST(OxQueueMt, UnlockedSizeReadsWhileOthersPushAndPop)
{
    ox_queue *q = ox_queue_create(sizeof(Msg), true);
    ASSERT_NE(q, nullptr);
    constexpr uint64_t kReads = 1000;
    constexpr uint32_t kMinPushes = 5000;
    constexpr uint32_t kMaxPushes = 50000000;
    constexpr int kBacklog = 4096;  // keeps memory small while the reader is awaited
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);

    std::atomic<uint64_t> reads{0};
    std::atomic<bool> done{false};
    std::thread reader([&] {
        uint64_t seen = 0;
        while (!done.load()) {
            uint32_t cap = __atomic_load_n(&q->allocsz, __ATOMIC_RELAXED);
            seen += OX_Q_SZ(q) + cap + OX_Q_EMPTY(q);
            reads.fetch_add(1, std::memory_order_relaxed);
        }
        EXPECT_GT(seen, 0u);
    });

    std::atomic<uint32_t> pushed{0};
    std::atomic<bool> producer_done{false};
    uint64_t reads_during_pushes = 0;
    uint32_t push_errors = 0;
    std::thread producer([&] {
        const uint64_t reads_before = reads.load();
        Msg m;
        memset(&m, 0, sizeof(m));
        uint32_t s = 0;
        auto reader_behind = [&] { return reads.load() - reads_before < kReads && s < kMaxPushes; };
        while ((s < kMinPushes || reader_behind()) && std::chrono::steady_clock::now() < give_up) {
            if (ox_queue_sz(q) >= kBacklog) {
                std::this_thread::yield();
                continue;
            }
            m.seq = s++;
            push_errors += ox_queue_push(q, &m) != OX_QUEUE_OK;
        }
        reads_during_pushes = reads.load() - reads_before;
        pushed = s;
        producer_done = true;
    });

    uint32_t next = 0;
    uint32_t out_of_order = 0;
    while ((!producer_done.load() || next < pushed.load()) && std::chrono::steady_clock::now() < give_up) {
        Msg m;
        if (ox_queue_pop(q, &m, 100) == OX_QUEUE_OK) {
            out_of_order += m.seq != next;
            next++;
        }
    }
    producer.join();
    done = true;
    reader.join();
    EXPECT_GE(reads_during_pushes, kReads) << "the reader never ran while the others pushed and popped";
    EXPECT_EQ(push_errors, 0u);
    EXPECT_EQ(out_of_order, 0u);
    EXPECT_GE(next, kMinPushes);
    EXPECT_EQ(next, pushed.load());
    EXPECT_EQ(ox_queue_sz(q), 0);
    ox_queue_destroy(q);
}

}  // namespace
