// The shipper's digest-to-slot map: put_unique + get_and_delete of 20-byte keys
// with a 4-byte value from six threads on one table with one lock, against
// std::unordered_map guarded by one std::mutex. Both hash the key's first four
// bytes, as the digests are already uniform.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <random>
#include <unordered_map>
#include <vector>

#include "bench_ratio.h"
#include "tamberlin/ox_shash.h"

namespace {

using Digest = std::array<uint8_t, 20>;

constexpr int kThreads = 6;
constexpr uint32_t kKeysPerThread = 4096;
// Each thread keeps this many of its keys in the table, like a batch in flight.
constexpr uint32_t kInFlight = 64;

uint32_t digest_hash(const void *key)
{
    uint32_t h;
    memcpy(&h, key, sizeof(h));
    return h;
}

struct DigestHash {
    size_t operator()(const Digest &d) const { return digest_hash(d.data()); }
};

std::vector<std::vector<Digest>> make_keys()
{
    std::vector<std::vector<Digest>> keys(kThreads, std::vector<Digest>(kKeysPerThread));
    std::mt19937 rng(20);
    for (int t = 0; t < kThreads; t++) {
        for (Digest &d : keys[t]) {
            for (uint8_t &b : d) {
                b = static_cast<uint8_t>(rng());
            }
            d[19] = static_cast<uint8_t>(t);  // keys of different threads never collide
        }
    }
    return keys;
}

const std::vector<std::vector<Digest>> g_keys = make_keys();
shash *g_table = nullptr;
std::mutex g_map_lock;
std::unordered_map<Digest, uint32_t, DigestHash> g_map;

void BM_ShashBigLock(benchmark::State &state)
{
    const std::vector<Digest> &keys = g_keys[state.thread_index()];
    uint32_t i = 0;
    for (auto _ : state) {
        uint32_t slot = i;
        shash_put_unique(g_table, keys[i % kKeysPerThread].data(), &slot);
        uint32_t out;
        shash_get_and_delete(g_table, keys[(i - kInFlight) % kKeysPerThread].data(), &out);
        benchmark::DoNotOptimize(out);
        i++;
    }
    for (uint32_t k = 0; k < kKeysPerThread; k++) {
        shash_delete(g_table, keys[k].data());
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_UnorderedMapMutex(benchmark::State &state)
{
    const std::vector<Digest> &keys = g_keys[state.thread_index()];
    uint32_t i = 0;
    for (auto _ : state) {
        {
            std::lock_guard<std::mutex> g(g_map_lock);
            g_map.try_emplace(keys[i % kKeysPerThread], i);
        }
        uint32_t out = 0;
        {
            std::lock_guard<std::mutex> g(g_map_lock);
            auto it = g_map.find(keys[(i - kInFlight) % kKeysPerThread]);
            if (it != g_map.end()) {
                out = it->second;
                g_map.erase(it);
            }
        }
        benchmark::DoNotOptimize(out);
        i++;
    }
    std::lock_guard<std::mutex> g(g_map_lock);
    for (const Digest &k : keys) {
        g_map.erase(k);
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_ShashBigLock)->Threads(kThreads)->UseRealTime()->MinTime(0.5);
BENCHMARK(BM_UnorderedMapMutex)->Threads(kThreads)->UseRealTime()->MinTime(0.5);

}  // namespace

int main(int argc, char **argv)
{
    // 1024 buckets, as the shipper makes its tables for ordinary batch sizes.
    if (shash_create(&g_table, digest_hash, sizeof(Digest), sizeof(uint32_t), 1024, SHASH_CR_MT_BIGLOCK) !=
        SHASH_OK) {
        return 1;
    }
    g_map.reserve(1024);
    int rv = run_benchmarks_with_ratios(argc, argv, {{"BM_ShashBigLock", "BM_UnorderedMapMutex"}});
    shash_destroy(g_table);
    return rv;
}
