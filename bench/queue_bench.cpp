// Push+pop of 280-byte elements (the digest-log queue's pipe messages) through
// a thread-safe ox_queue, on one thread and as a producer/consumer pair,
// against two baselines under the same std::mutex and condition variable: a
// std::deque, and a ring over one std::vector that doubles when full as our
// queue does. The deque holds so few 280-byte elements per block that it
// allocates for almost every push; the ring is the like-for-like comparison.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "bench_ratio.h"
#include "tamberlin/ox_queue.h"

namespace {

struct Msg {
    uint8_t bytes[280];
};

// Elements handed from the producer to the consumer per iteration.
constexpr int kTransfer = 20000;

struct LockedDeque {
    std::mutex m;
    std::condition_variable cv;
    std::deque<Msg> d;

    void push(const Msg &msg)
    {
        std::lock_guard<std::mutex> g(m);
        d.push_back(msg);
        cv.notify_one();  // under the lock, as the queue signals
    }
    bool try_pop(Msg *out)
    {
        std::lock_guard<std::mutex> g(m);
        if (d.empty()) {
            return false;
        }
        *out = d.front();
        d.pop_front();
        return true;
    }
    void pop_wait(Msg *out)
    {
        std::unique_lock<std::mutex> g(m);
        cv.wait(g, [this] { return !d.empty(); });
        *out = d.front();
        d.pop_front();
    }
};

// Elements in slots [head, head + count) modulo the capacity, a power of two.
struct LockedVectorRing {
    std::mutex m;
    std::condition_variable cv;
    std::vector<Msg> slots = std::vector<Msg>(64);
    size_t head = 0;
    size_t count = 0;

    void push(const Msg &msg)
    {
        std::lock_guard<std::mutex> g(m);
        if (count == slots.size()) {
            std::vector<Msg> bigger(slots.size() * 2);
            for (size_t i = 0; i < count; i++) {
                bigger[i] = slots[(head + i) & (slots.size() - 1)];
            }
            slots.swap(bigger);
            head = 0;
        }
        slots[(head + count) & (slots.size() - 1)] = msg;
        count++;
        cv.notify_one();
    }
    void take(Msg *out)
    {
        *out = slots[head];
        head = (head + 1) & (slots.size() - 1);
        count--;
    }
    bool try_pop(Msg *out)
    {
        std::lock_guard<std::mutex> g(m);
        if (count == 0) {
            return false;
        }
        take(out);
        return true;
    }
    void pop_wait(Msg *out)
    {
        std::unique_lock<std::mutex> g(m);
        cv.wait(g, [this] { return count != 0; });
        take(out);
    }
};

void BM_OxQueueOneThread(benchmark::State &state)
{
    ox_queue *q = ox_queue_create(sizeof(Msg), true);
    Msg in;
    memset(&in, 1, sizeof(in));
    Msg out;
    for (auto _ : state) {
        ox_queue_push(q, &in);
        ox_queue_pop(q, &out, OX_QUEUE_NOWAIT);
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations());
    ox_queue_destroy(q);
}

template <typename Q>
void BM_OneThread(benchmark::State &state)
{
    Q q;
    Msg in;
    memset(&in, 1, sizeof(in));
    Msg out;
    for (auto _ : state) {
        q.push(in);
        q.try_pop(&out);
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations());
}
void BM_DequeOneThread(benchmark::State &state) { BM_OneThread<LockedDeque>(state); }
void BM_VectorRingOneThread(benchmark::State &state) { BM_OneThread<LockedVectorRing>(state); }

void BM_OxQueueTwoThreads(benchmark::State &state)
{
    ox_queue *q = ox_queue_create(sizeof(Msg), true);
    for (auto _ : state) {
        std::thread producer([q] {
            Msg in;
            memset(&in, 2, sizeof(in));
            for (int i = 0; i < kTransfer; i++) {
                ox_queue_push(q, &in);
            }
        });
        Msg out;
        for (int i = 0; i < kTransfer; i++) {
            ox_queue_pop(q, &out, OX_QUEUE_FOREVER);
        }
        benchmark::DoNotOptimize(out);
        producer.join();
    }
    state.SetItemsProcessed(state.iterations() * kTransfer);
    ox_queue_destroy(q);
}

template <typename Q>
void BM_TwoThreads(benchmark::State &state)
{
    Q q;
    for (auto _ : state) {
        std::thread producer([&q] {
            Msg in;
            memset(&in, 2, sizeof(in));
            for (int i = 0; i < kTransfer; i++) {
                q.push(in);
            }
        });
        Msg out;
        for (int i = 0; i < kTransfer; i++) {
            q.pop_wait(&out);
        }
        benchmark::DoNotOptimize(out);
        producer.join();
    }
    state.SetItemsProcessed(state.iterations() * kTransfer);
}
void BM_DequeTwoThreads(benchmark::State &state) { BM_TwoThreads<LockedDeque>(state); }
void BM_VectorRingTwoThreads(benchmark::State &state) { BM_TwoThreads<LockedVectorRing>(state); }

BENCHMARK(BM_OxQueueOneThread)->MinTime(0.5);
BENCHMARK(BM_DequeOneThread)->MinTime(0.5);
BENCHMARK(BM_VectorRingOneThread)->MinTime(0.5);
BENCHMARK(BM_OxQueueTwoThreads)->UseRealTime()->MinTime(0.5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DequeTwoThreads)->UseRealTime()->MinTime(0.5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VectorRingTwoThreads)->UseRealTime()->MinTime(0.5)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv)
{
    return run_benchmarks_with_ratios(argc, argv,
                                      {{"BM_OxQueueOneThread", "BM_DequeOneThread"},
                                       {"BM_OxQueueOneThread", "BM_VectorRingOneThread"},
                                       {"BM_OxQueueTwoThreads", "BM_DequeTwoThreads"},
                                       {"BM_OxQueueTwoThreads", "BM_VectorRingTwoThreads"}});
}
