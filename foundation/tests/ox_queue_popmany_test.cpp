// Bulk pop on one thread: the oldest elements in order across the wrap of the
// storage and after growth, the rest left in place, offsets back at 0 when it
// drains, whole elements of any size, and the calls that pop nothing; then a
// random run of pushes and pops of both kinds against a std::deque model.
#include "tamberlin/ox_queue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <random>
#include <vector>

namespace {

struct QueueDeleter {
    void operator()(ox_queue *q) const { ox_queue_destroy(q); }
};
using QueuePtr = std::unique_ptr<ox_queue, QueueDeleter>;

QueuePtr new_queue(size_t elementsz = sizeof(uint32_t), bool threadsafe = false)
{
    QueuePtr q(ox_queue_create(elementsz, threadsafe));
    EXPECT_NE(q, nullptr);
    return q;
}

std::vector<uint32_t> drain(ox_queue *q)
{
    std::vector<uint32_t> out;
    uint32_t v;
    while (ox_queue_pop(q, &v, OX_QUEUE_NOWAIT) == OX_QUEUE_OK) {
        out.push_back(v);
    }
    return out;
}

std::vector<uint32_t> seq(uint32_t from, uint32_t n)
{
    std::vector<uint32_t> v;
    for (uint32_t i = 0; i < n; i++) {
        v.push_back(from + i);
    }
    return v;
}

// Pushes values from..from+n-1.
void push_seq(ox_queue *q, uint32_t from, uint32_t n)
{
    for (uint32_t v : seq(from, n)) {
        ASSERT_EQ(ox_queue_push(q, &v), OX_QUEUE_OK);
    }
}

void pop_n(ox_queue *q, uint32_t n)
{
    uint32_t v;
    for (uint32_t i = 0; i < n; i++) {
        ASSERT_EQ(ox_queue_pop(q, &v, OX_QUEUE_NOWAIT), OX_QUEUE_OK);
    }
}

TEST(OxQueuePopMany, TakesTheOldestInOrder)
{
    struct {
        const char *what;
        std::function<void(ox_queue *)> setup;
        uint32_t max;
        std::vector<uint32_t> popped;
        std::vector<uint32_t> left;
    } cases[] = {
        {"empty", [](ox_queue *) {}, 4, {}, {}},
        {"fewer than max", [](ox_queue *q) { push_seq(q, 0, 3); }, 10, seq(0, 3), {}},
        {"exactly max", [](ox_queue *q) { push_seq(q, 0, 5); }, 5, seq(0, 5), {}},
        {"more than max", [](ox_queue *q) { push_seq(q, 0, 10); }, 4, seq(0, 4), seq(4, 6)},
        {"max 0 takes nothing", [](ox_queue *q) { push_seq(q, 0, 3); }, 0, {}, seq(0, 3)},
        {"a read offset inside the storage",
            [](ox_queue *q) {
                push_seq(q, 0, 20);
                pop_n(q, 7);
            },
            5, seq(7, 5), seq(12, 8)},
        // 64 slots: the oldest four sit in slots 60..63, the rest from slot 0.
        {"across the end of the storage",
            [](ox_queue *q) {
                push_seq(q, 0, 64);
                pop_n(q, 60);
                push_seq(q, 64, 10);
            },
            8, seq(60, 8), seq(68, 6)},
        {"all of a wrapped queue",
            [](ox_queue *q) {
                push_seq(q, 0, 64);
                pop_n(q, 60);
                push_seq(q, 64, 10);
            },
            100, seq(60, 14), {}},
        {"up to the end of the storage exactly",
            [](ox_queue *q) {
                push_seq(q, 0, 64);
                pop_n(q, 60);
                push_seq(q, 64, 10);
            },
            4, seq(60, 4), seq(64, 10)},
        {"after growth from a wrapped queue",
            [](ox_queue *q) {
                push_seq(q, 0, 64);
                pop_n(q, 30);
                push_seq(q, 64, 100);
            },
            120, seq(30, 120), seq(150, 14)},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        for (bool threadsafe : {false, true}) {
            QueuePtr q = new_queue(sizeof(uint32_t), threadsafe);
            c.setup(q.get());
            std::vector<uint32_t> buf(c.max + 1, 0xdeadbeef);
            int n = ox_queue_pop_many(q.get(), buf.data(), c.max, OX_QUEUE_NOWAIT);
            ASSERT_EQ(n, (int)c.popped.size());
            EXPECT_EQ(std::vector<uint32_t>(buf.begin(), buf.begin() + n), c.popped);
            EXPECT_EQ(buf[(size_t)n], 0xdeadbeef); // nothing written past what was popped
            EXPECT_EQ(ox_queue_sz(q.get()), (int)c.left.size());
            if (c.left.empty()) {
                EXPECT_EQ(q->read_offset, 0u);
                EXPECT_EQ(q->write_offset, 0u);
            }
            EXPECT_EQ(drain(q.get()), c.left);
        }
    }
}

TEST(OxQueuePopMany, CopiesWholeElementsOfTheirSize)
{
    // Elements of the pipe message's size, wrapped around the storage end.
    struct elem {
        uint32_t seq;
        uint8_t fill[276];
    };
    static_assert(sizeof(elem) == 280, "the digest-log queue's element");
    QueuePtr q = new_queue(sizeof(elem));
    auto make = [](uint32_t s) {
        elem e;
        e.seq = s;
        memset(e.fill, (int)(s & 0xff), sizeof(e.fill));
        return e;
    };
    for (uint32_t s = 0; s < 64; s++) {
        elem e = make(s);
        ASSERT_EQ(ox_queue_push(q.get(), &e), OX_QUEUE_OK);
    }
    std::vector<elem> buf(64);
    ASSERT_EQ(ox_queue_pop_many(q.get(), buf.data(), 50, OX_QUEUE_NOWAIT), 50);
    for (uint32_t s = 64; s < 100; s++) {
        elem e = make(s);
        ASSERT_EQ(ox_queue_push(q.get(), &e), OX_QUEUE_OK);
    }
    uint32_t want = 50;
    for (int round = 0; round < 2; round++) {
        int n = ox_queue_pop_many(q.get(), buf.data(), 30, OX_QUEUE_NOWAIT);
        ASSERT_EQ(n, round == 0 ? 30 : 20);
        for (int i = 0; i < n; i++, want++) {
            elem e = make(want);
            ASSERT_EQ(memcmp(&buf[(size_t)i], &e, sizeof(e)), 0) << want;
        }
    }
    EXPECT_EQ(ox_queue_sz(q.get()), 0);
}

TEST(OxQueuePopMany, CallsThatPopNothing)
{
    uint32_t buf[4];
    EXPECT_EQ(ox_queue_pop_many(nullptr, buf, 4, OX_QUEUE_NOWAIT), OX_QUEUE_ERR);
    QueuePtr q = new_queue();
    push_seq(q.get(), 0, 2);
    EXPECT_EQ(ox_queue_pop_many(q.get(), nullptr, 4, OX_QUEUE_NOWAIT), OX_QUEUE_ERR);
    EXPECT_EQ(ox_queue_sz(q.get()), 2);
    // Without the thread-safe flag nobody could push meanwhile: no wait.
    QueuePtr single = new_queue();
    EXPECT_EQ(ox_queue_pop_many(single.get(), buf, 4, OX_QUEUE_FOREVER), 0);
    EXPECT_EQ(ox_queue_pop_many(single.get(), buf, 4, 1000), 0);
    // Nothing asked for: no wait even on a thread-safe queue.
    QueuePtr safe = new_queue(sizeof(uint32_t), true);
    EXPECT_EQ(ox_queue_pop_many(safe.get(), buf, 0, OX_QUEUE_FOREVER), 0);
    EXPECT_EQ(ox_queue_pop_many(safe.get(), buf, 4, OX_QUEUE_NOWAIT), 0);
}

TEST(OxQueuePopMany, RandomRunMatchesAModel)
{
    std::mt19937 rng(20240611);
    for (bool threadsafe : {false, true}) {
        QueuePtr q = new_queue(sizeof(uint32_t), threadsafe);
        std::deque<uint32_t> model;
        uint32_t next = 0;
        std::vector<uint32_t> buf(300);
        for (int step = 0; step < 20000; step++) {
            int op = (int)(rng() % 10);
            if (op < 5) {
                // Bursts of pushes, so the queue grows while wrapped now and then.
                uint32_t n = rng() % 40;
                for (uint32_t i = 0; i < n; i++, next++) {
                    ASSERT_EQ(ox_queue_push(q.get(), &next), OX_QUEUE_OK);
                    model.push_back(next);
                }
            } else if (op < 7) {
                uint32_t v;
                int rv = ox_queue_pop(q.get(), &v, OX_QUEUE_NOWAIT);
                ASSERT_EQ(rv, model.empty() ? OX_QUEUE_EMPTY : OX_QUEUE_OK);
                if (!model.empty()) {
                    ASSERT_EQ(v, model.front());
                    model.pop_front();
                }
            } else {
                uint32_t max = rng() % 300;
                int n = ox_queue_pop_many(q.get(), buf.data(), max, OX_QUEUE_NOWAIT);
                ASSERT_EQ(n, (int)std::min<size_t>(max, model.size())) << step;
                for (int i = 0; i < n; i++) {
                    ASSERT_EQ(buf[(size_t)i], model.front()) << step;
                    model.pop_front();
                }
            }
            ASSERT_EQ(ox_queue_sz(q.get()), (int)model.size());
        }
        EXPECT_EQ(drain(q.get()), std::vector<uint32_t>(model.begin(), model.end()));
    }
}

}  // namespace
