// Queue behaviour on one thread: order across growth, wrap, head pushes, deletes
// and offset rebasing, checked against a std::deque model where a sequence of
// operations matters.
#include "tamberlin/ox_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

struct QueueDeleter {
    void operator()(ox_queue *q) const { ox_queue_destroy(q); }
};
using QueuePtr = std::unique_ptr<ox_queue, QueueDeleter>;

QueuePtr new_queue(bool threadsafe = false)
{
    QueuePtr q(ox_queue_create(sizeof(uint32_t), threadsafe));
    EXPECT_NE(q, nullptr);
    return q;
}

int collect_cb(void *buf, void *udata)
{
    uint32_t v;
    memcpy(&v, buf, sizeof(v));
    static_cast<std::vector<uint32_t> *>(udata)->push_back(v);
    return 0;
}

// Oldest to newest, through the queue's own walk.
std::vector<uint32_t> contents(ox_queue *q)
{
    std::vector<uint32_t> out;
    EXPECT_EQ(ox_queue_reduce(q, collect_cb, &out), OX_QUEUE_OK);
    return out;
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

void push_all(ox_queue *q, const std::vector<uint32_t> &values)
{
    for (uint32_t v : values) {
        ASSERT_EQ(ox_queue_push(q, &v), OX_QUEUE_OK);
    }
}

// An empty queue whose next element goes into slot read_slot: pushes that are
// then deleted leave both offsets there.
QueuePtr queue_at_slot(uint32_t read_slot, const std::vector<uint32_t> &values, bool threadsafe = false)
{
    QueuePtr q = new_queue(threadsafe);
    for (uint32_t i = 0; i < read_slot; i++) {
        uint32_t filler = 0xF111E4;
        EXPECT_EQ(ox_queue_push(q.get(), &filler), OX_QUEUE_OK);
    }
    if (read_slot > 0) {
        EXPECT_EQ(ox_queue_delete_all(q.get()), OX_QUEUE_OK);
    }
    EXPECT_EQ(q->read_offset, read_slot);
    push_all(q.get(), values);
    return q;
}

std::vector<uint32_t> iota_values(uint32_t n, uint32_t first = 1)
{
    std::vector<uint32_t> v(n);
    for (uint32_t i = 0; i < n; i++) {
        v[i] = first + i;
    }
    return v;
}

TEST(OxQueue, GrowthKeepsOrderFromEveryReadSlot)
{
    for (uint32_t read_slot : {0u, 1u, 37u, 63u}) {
        SCOPED_TRACE(read_slot);
        QueuePtr q = queue_at_slot(read_slot, iota_values(64));
        EXPECT_EQ(q->allocsz, 64u);
        uint32_t v = 65;
        ASSERT_EQ(ox_queue_push(q.get(), &v), OX_QUEUE_OK);
        EXPECT_EQ(q->allocsz, 128u);
        EXPECT_EQ(q->read_offset, 0u);
        EXPECT_EQ(q->write_offset, 65u);
        EXPECT_EQ(drain(q.get()), iota_values(65));
    }
}

TEST(OxQueue, PopThatDrainsResetsOffsets)
{
    QueuePtr q = queue_at_slot(10, {42});
    uint32_t v = 0;
    ASSERT_EQ(ox_queue_pop(q.get(), &v, OX_QUEUE_NOWAIT), OX_QUEUE_OK);
    EXPECT_EQ(v, 42u);
    EXPECT_EQ(q->read_offset, 0u);
    EXPECT_EQ(q->write_offset, 0u);
}

TEST(OxQueue, RebaseAtTwoToThe30KeepsSlotsAndOrder)
{
    constexpr uint32_t limit = 1u << 30;
    struct Case {
        uint32_t start;   // both offsets before the pushes
        uint32_t pushes;  // crosses the limit, some cases also grow
    };
    for (Case c : {Case{limit - 3, 3}, Case{limit - 64, 70}, Case{limit - 10, 200}}) {
        SCOPED_TRACE(c.start);
        QueuePtr q = new_queue();
        // An empty queue with equal offsets, as a long-lived backlog leaves it.
        q->read_offset = q->write_offset = c.start;
        std::vector<uint32_t> expected;
        for (uint32_t i = 0; i < c.pushes; i++) {
            uint32_t before_slot = (q->write_offset) % q->allocsz;
            uint32_t before_alloc = q->allocsz;
            bool full = OX_Q_SZ(q.get()) == q->allocsz;
            uint32_t v = 1000 + i;
            ASSERT_EQ(ox_queue_push(q.get(), &v), OX_QUEUE_OK);
            expected.push_back(v);
            ASSERT_LT(q->write_offset, limit);
            ASSERT_EQ(OX_Q_SZ(q.get()), expected.size());
            if (!full) {
                // No growth: the element went where the old offsets pointed.
                ASSERT_EQ(q->allocsz, before_alloc);
                uint32_t stored;
                memcpy(&stored, &q->queue[before_slot * sizeof(uint32_t)], sizeof(stored));
                ASSERT_EQ(stored, v);
            }
        }
        if (c.pushes == 3) {
            // The third push reached the limit: lowered by a multiple of 64.
            EXPECT_EQ(q->read_offset, (limit - 3) % 64);
            EXPECT_EQ(q->write_offset, (limit - 3) % 64 + 3);
        }
        EXPECT_EQ(contents(q.get()), expected);
        EXPECT_EQ(drain(q.get()), expected);
    }
}

TEST(OxQueue, PopWaits)
{
    QueuePtr plain = new_queue(false);
    uint32_t v = 0;
    EXPECT_EQ(ox_queue_pop(plain.get(), &v, OX_QUEUE_NOWAIT), OX_QUEUE_EMPTY);
    // A queue without the thread-safe flag has nothing to wait on.
    EXPECT_EQ(ox_queue_pop(plain.get(), &v, OX_QUEUE_FOREVER), OX_QUEUE_EMPTY);
    EXPECT_EQ(ox_queue_pop(plain.get(), &v, 1000), OX_QUEUE_EMPTY);

    QueuePtr safe = new_queue(true);
    EXPECT_EQ(ox_queue_pop(safe.get(), &v, OX_QUEUE_NOWAIT), OX_QUEUE_EMPTY);
    // An empty queue makes a timed pop wait its whole time (nothing signals
    // it here), both below a second and across one. Measured on the monotonic
    // clock; the slack of a twentieth covers the wall clock that the deadline
    // is set on being slewed. No upper bound: a loaded machine wakes it late.
    for (int ms : {20, 1200}) {
        SCOPED_TRACE(ms);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(ox_queue_pop(safe.get(), &v, ms), OX_QUEUE_EMPTY);
        auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, std::chrono::milliseconds(ms - ms / 20));
    }

    for (int wait : {5000, OX_QUEUE_FOREVER}) {
        std::thread producer([&] {
            uint32_t x = 77;
            ox_queue_push(safe.get(), &x);
        });
        v = 0;
        EXPECT_EQ(ox_queue_pop(safe.get(), &v, wait), OX_QUEUE_OK);
        EXPECT_EQ(v, 77u);
        producer.join();
    }
}

TEST(OxQueue, PushLimitAndUnique)
{
    QueuePtr q = new_queue(true);
    push_all(q.get(), iota_values(299));
    uint32_t v = 5000;
    EXPECT_TRUE(ox_queue_push_limit(q.get(), &v, 300));
    EXPECT_FALSE(ox_queue_push_limit(q.get(), &v, 300));
    EXPECT_EQ(ox_queue_sz(q.get()), 300);

    v = 17;
    EXPECT_EQ(ox_queue_push_unique(q.get(), &v), OX_QUEUE_EMPTY);
    EXPECT_EQ(ox_queue_sz(q.get()), 300);
    v = 6000;
    EXPECT_EQ(ox_queue_push_unique(q.get(), &v), OX_QUEUE_OK);
    EXPECT_EQ(ox_queue_sz(q.get()), 301);
    std::vector<uint32_t> expected = iota_values(299);
    expected.push_back(5000);
    expected.push_back(6000);
    EXPECT_EQ(drain(q.get()), expected);
}

TEST(OxQueue, HeadPushIsPoppedFirst)
{
    struct Case {
        const char *name;
        uint32_t read_slot;
        uint32_t count;
    };
    const Case cases[] = {
        {"empty", 0, 0},
        {"oldest in slot 0, others move up", 0, 5},
        {"read offset above 0", 9, 5},
        {"read offset a multiple of the capacity", 64, 3},
        {"wrapped", 60, 10},
        {"full from slot 0, grows first", 0, 64},
        {"full and wrapped, grows first", 20, 64},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QueuePtr q = queue_at_slot(c.read_slot, iota_values(c.count));
        uint32_t v = 999;
        ASSERT_EQ(ox_queue_push_head(q.get(), &v), OX_QUEUE_OK);
        std::vector<uint32_t> expected = {999};
        for (uint32_t x : iota_values(c.count)) {
            expected.push_back(x);
        }
        EXPECT_EQ(contents(q.get()), expected);
        EXPECT_EQ(drain(q.get()), expected);
    }
}

struct ReduceScript {
    std::vector<int> answers;  // the callback's result per visit; 0 after the end
    std::vector<uint32_t> seen;
};

int scripted_cb(void *buf, void *udata)
{
    auto *s = static_cast<ReduceScript *>(udata);
    uint32_t v;
    memcpy(&v, buf, sizeof(v));
    size_t n = s->seen.size();
    s->seen.push_back(v);
    return n < s->answers.size() ? s->answers[n] : 0;
}

TEST(OxQueue, ReduceVisitsStopsAndDeletes)
{
    struct Case {
        const char *name;
        bool reverse;
        uint32_t read_slot;
        std::vector<int> answers;
        std::vector<uint32_t> seen;
        std::vector<uint32_t> left;
    };
    const Case cases[] = {
        {"forward visits all", false, 0, {}, {1, 2, 3, 4}, {1, 2, 3, 4}},
        {"reverse from read offset 0 visits each once", true, 0, {}, {4, 3, 2, 1}, {1, 2, 3, 4}},
        {"reverse over wrapped storage", true, 62, {}, {4, 3, 2, 1}, {1, 2, 3, 4}},
        {"-1 stops", false, 0, {0, -1}, {1, 2}, {1, 2, 3, 4}},
        {"-2 on the second deletes only it", false, 0, {0, -2}, {1, 2}, {1, 3, 4}},
        {"-2 in the wrapped part", false, 62, {0, 0, -2}, {1, 2, 3}, {1, 2, 4}},
        {"reverse -2 on the newest", true, 0, {-2}, {4}, {1, 2, 3}},
        {"reverse -2 on the oldest", true, 63, {0, 0, 0, -2}, {4, 3, 2, 1}, {2, 3, 4}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QueuePtr q = queue_at_slot(c.read_slot, {1, 2, 3, 4});
        ReduceScript s{c.answers, {}};
        auto fn = c.reverse ? ox_queue_reduce_reverse : ox_queue_reduce;
        ASSERT_EQ(fn(q.get(), scripted_cb, &s), OX_QUEUE_OK);
        EXPECT_EQ(s.seen, c.seen);
        EXPECT_EQ(drain(q.get()), c.left);
    }
}

TEST(OxQueue, DeleteMatchesWhereverTheyLie)
{
    constexpr uint32_t X = 7;
    struct Case {
        const char *name;
        uint32_t read_slot;
        std::vector<uint32_t> values;
    };
    const Case cases[] = {
        {"adjacent in the wrapped part", 60, {1, 2, 3, 4, X, X, X, 5}},
        {"adjacent across the wrap", 62, {1, X, X, X, 2}},
        {"adjacent at the oldest", 0, {X, X, X, 1, 2}},
        {"adjacent at the newest", 50, {1, 2, X, X, X}},
        {"adjacent at the newest, wrapped", 62, {1, 2, X, X, X}},
        {"newest ends in the last slot", 59, {1, X, 2, X, X}},
        {"every element", 61, {X, X, X, X, X}},
        {"alternating", 61, {X, 1, X, X, 2, X, 3}},
        {"full queue", 30, std::vector<uint32_t>(64, X)},
    };
    for (bool only_one : {false, true}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.name) + (only_one ? ", only one" : ", all"));
            QueuePtr q = queue_at_slot(c.read_slot, c.values);
            std::vector<uint32_t> expected;
            bool dropped = false;
            for (uint32_t v : c.values) {
                if (v == X && (!only_one || !dropped)) {
                    dropped = true;
                    continue;
                }
                expected.push_back(v);
            }
            ASSERT_EQ(ox_queue_delete(q.get(), &X, only_one), OX_QUEUE_OK);
            EXPECT_EQ(contents(q.get()), expected);
            EXPECT_EQ(ox_queue_sz(q.get()), static_cast<int>(expected.size()));
            EXPECT_EQ(drain(q.get()), expected);
        }
    }
}

TEST(OxQueue, DeleteWithoutElementAndWithoutMatch)
{
    QueuePtr q = new_queue();
    uint32_t v = 3;
    EXPECT_EQ(ox_queue_delete(q.get(), &v, false), OX_QUEUE_EMPTY);
    EXPECT_EQ(ox_queue_delete_all(q.get()), OX_QUEUE_EMPTY);

    push_all(q.get(), {1, 2, 4});
    EXPECT_EQ(ox_queue_delete(q.get(), &v, false), OX_QUEUE_EMPTY);
    EXPECT_EQ(ox_queue_delete(q.get(), nullptr, true), OX_QUEUE_OK);
    EXPECT_EQ(contents(q.get()), (std::vector<uint32_t>{2, 4}));
    EXPECT_EQ(ox_queue_delete_all(q.get()), OX_QUEUE_OK);
    EXPECT_TRUE(OX_Q_EMPTY(q.get()));
    EXPECT_EQ(q->read_offset, 3u);  // equal offsets, not reset
}

TEST(OxQueue, BadArguments)
{
    uint32_t v = 1;
    EXPECT_EQ(ox_queue_push(nullptr, &v), OX_QUEUE_ERR);
    EXPECT_EQ(ox_queue_pop(nullptr, &v, OX_QUEUE_NOWAIT), OX_QUEUE_ERR);
    EXPECT_EQ(ox_queue_reduce(nullptr, collect_cb, nullptr), OX_QUEUE_ERR);
    EXPECT_EQ(ox_queue_reduce_reverse(nullptr, collect_cb, nullptr), OX_QUEUE_ERR);
    EXPECT_EQ(ox_queue_delete(nullptr, &v, true), OX_QUEUE_ERR);
    EXPECT_EQ(ox_queue_sz(nullptr), OX_QUEUE_ERR);
    QueuePtr q = new_queue(true);
    EXPECT_EQ(ox_queue_push(q.get(), nullptr), OX_QUEUE_ERR);
    EXPECT_EQ(ox_queue_sz(q.get()), 0);

    // The first 64 slots of such elements cannot be counted in a size_t; the
    // queue must not be made over a wrapped, small block.
    EXPECT_EQ(ox_queue_create(SIZE_MAX / 32, true), nullptr);
    EXPECT_EQ(ox_queue_create(0, false), nullptr);
}

// A long random mix of every operation against a deque, from offset 0 and from
// just below the rebasing limit, with few distinct values so that deletes and
// unique pushes find matches.
TEST(OxQueue, RandomOperationsMatchModel)
{
    for (uint32_t start : {0u, (1u << 30) - 700}) {
        SCOPED_TRACE(start);
        QueuePtr q = new_queue();
        q->read_offset = q->write_offset = start;
        std::deque<uint32_t> model;
        std::mt19937 rng(12345 + start);
        uint32_t next = 0;
        for (int step = 0; step < 20000; step++) {
            // Phases of growth and of draining move the backlog between 0 and a
            // few hundred, through several resizes and wraps.
            bool growing = (step / 1500) % 2 == 0;
            int op = static_cast<int>(rng() % 100);
            uint32_t v = (next++ % 9);
            if (op < (growing ? 55 : 25)) {
                ASSERT_EQ(ox_queue_push(q.get(), &v), OX_QUEUE_OK);
                model.push_back(v);
            } else if (op < 65) {
                uint32_t got;
                int rv = ox_queue_pop(q.get(), &got, OX_QUEUE_NOWAIT);
                if (model.empty()) {
                    ASSERT_EQ(rv, OX_QUEUE_EMPTY);
                } else {
                    ASSERT_EQ(rv, OX_QUEUE_OK);
                    ASSERT_EQ(got, model.front());
                    model.pop_front();
                }
            } else if (op < 75) {
                ASSERT_EQ(ox_queue_push_head(q.get(), &v), OX_QUEUE_OK);
                model.push_front(v);
            } else if (op < 80) {
                bool had = std::find(model.begin(), model.end(), v) != model.end();
                ASSERT_EQ(ox_queue_push_unique(q.get(), &v), had ? OX_QUEUE_EMPTY : OX_QUEUE_OK);
                if (!had) {
                    model.push_back(v);
                }
            } else if (op < 85) {
                bool only_one = op % 2 == 0;
                size_t before = model.size();
                if (only_one) {
                    auto it = std::find(model.begin(), model.end(), v);
                    if (it != model.end()) {
                        model.erase(it);
                    }
                } else {
                    model.erase(std::remove(model.begin(), model.end(), v), model.end());
                }
                ASSERT_EQ(ox_queue_delete(q.get(), &v, only_one),
                          model.size() < before ? OX_QUEUE_OK : OX_QUEUE_EMPTY);
            } else {
                // Reduce that deletes the element at a random position.
                size_t at = model.empty() ? 0 : rng() % model.size();
                ReduceScript s;
                s.answers.assign(at, 0);
                s.answers.push_back(-2);
                ASSERT_EQ(ox_queue_reduce(q.get(), scripted_cb, &s), OX_QUEUE_OK);
                if (!model.empty()) {
                    model.erase(model.begin() + static_cast<long>(at));
                }
            }
            ASSERT_LE(OX_Q_SZ(q.get()), q->allocsz);
            ASSERT_EQ(OX_Q_SZ(q.get()), model.size()) << "step " << step;
            if (step % 97 == 0) {
                ASSERT_EQ(contents(q.get()), std::vector<uint32_t>(model.begin(), model.end()))
                    << "step " << step;
            }
        }
        EXPECT_EQ(drain(q.get()), std::vector<uint32_t>(model.begin(), model.end()));
    }
}

}  // namespace
