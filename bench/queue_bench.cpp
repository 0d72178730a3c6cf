// Push+pop of 280-byte elements (the digest-log queue's pipe messages) through
// a thread-safe ox_queue, against std::deque guarded by std::mutex (and a
// condition variable when a consumer waits), on one thread and as a
// producer/consumer pair.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

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

void BM_DequeOneThread(benchmark::State &state)
{
    LockedDeque q;
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

void BM_DequeTwoThreads(benchmark::State &state)
{
    LockedDeque q;
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

BENCHMARK(BM_OxQueueOneThread)->MinTime(0.5);
BENCHMARK(BM_DequeOneThread)->MinTime(0.5);
BENCHMARK(BM_OxQueueTwoThreads)->UseRealTime()->MinTime(0.5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DequeTwoThreads)->UseRealTime()->MinTime(0.5)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv)
{
    return run_benchmarks_with_ratios(argc, argv,
                                      {{"BM_OxQueueOneThread", "BM_DequeOneThread"},
                                       {"BM_OxQueueTwoThreads", "BM_DequeTwoThreads"}});
}
