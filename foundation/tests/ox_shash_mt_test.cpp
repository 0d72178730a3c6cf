// The locked tables under several threads: racing unique puts and deletes of
// the same keys each succeed exactly once, read-modify-write through update and
// get_vlock loses no increment, and walks and size queries run alongside.
#include "tamberlin/ox_shash.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 6;

uint32_t prefix_hash(const void *key)
{
    uint32_t h;
    memcpy(&h, key, sizeof(h));
    return h;
}

// A 20-byte digest-like key; few buckets, so chains are long and shared.
struct Key {
    uint32_t n;
    uint8_t rest[16];
};
static_assert(sizeof(Key) == 20);

Key make_key(uint32_t n)
{
    Key k;
    k.n = n;
    memset(k.rest, static_cast<int>(n & 0xFF), sizeof(k.rest));
    return k;
}

class OxShashMt : public ::testing::TestWithParam<uint32_t> {};

int count_cb(const void *, void *, void *udata)
{
    ++*static_cast<uint64_t *>(udata);
    return 0;
}

TEST_P(OxShashMt, RacingPutsAndDeletesSucceedOncePerKey)
{
    constexpr uint32_t kKeys = 3000;
    shash *h = nullptr;
    ASSERT_EQ(shash_create(&h, prefix_hash, sizeof(Key), sizeof(uint32_t), 64, GetParam()), SHASH_OK);

    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE(round);
        std::atomic<bool> stop{false};
        // Walks and size queries take the locks alongside the keyed calls.
        std::thread walker([&] {
            while (!stop.load()) {
                uint64_t n = 0;
                shash_reduce(h, count_cb, &n);
                EXPECT_LE(n, kKeys);
                EXPECT_LE(shash_get_size(h), kKeys);
            }
        });

        std::atomic<uint32_t> put_ok{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; t++) {
            threads.emplace_back([&, t] {
                for (uint32_t i = 0; i < kKeys; i++) {
                    uint32_t n = (i + static_cast<uint32_t>(t) * 500) % kKeys;
                    Key k = make_key(n);
                    uint32_t v = n * 3 + 1;
                    int rv = shash_put_unique(h, &k, &v);
                    if (rv == SHASH_OK) {
                        put_ok++;
                    } else {
                        EXPECT_EQ(rv, SHASH_ERR_FOUND);
                    }
                }
            });
        }
        for (auto &t : threads) {
            t.join();
        }
        threads.clear();
        EXPECT_EQ(put_ok.load(), kKeys);
        EXPECT_EQ(shash_get_size(h), kKeys);

        std::atomic<uint32_t> del_ok{0};
        std::atomic<uint32_t> bad_values{0};
        for (int t = 0; t < kThreads; t++) {
            threads.emplace_back([&, t] {
                for (uint32_t i = 0; i < kKeys; i++) {
                    uint32_t n = (kKeys - 1 - i + static_cast<uint32_t>(t) * 700) % kKeys;
                    Key k = make_key(n);
                    uint32_t v = 0;
                    int rv = t % 2 ? shash_get_and_delete(h, &k, &v) : shash_get(h, &k, &v);
                    if (rv == SHASH_OK && v != n * 3 + 1) {
                        bad_values++;
                    }
                    if (t % 2 && rv == SHASH_OK) {
                        del_ok++;
                    }
                }
            });
        }
        for (auto &t : threads) {
            t.join();
        }
        stop = true;
        walker.join();
        EXPECT_EQ(del_ok.load(), kKeys);
        EXPECT_EQ(bad_values.load(), 0u);
        EXPECT_EQ(shash_get_size(h), 0u);

        // Refill half and empty it from one thread, as the shipper's reader does
        // between batches; the next round starts on the reused table.
        for (uint32_t n = 0; n < kKeys; n += 2) {
            Key k = make_key(n);
            ASSERT_EQ(shash_put(h, &k, &n), SHASH_OK);
        }
        shash_deleteall_lockfree(h);
        ASSERT_EQ(shash_get_size(h), 0u);
    }
    shash_destroy(h);
}

void add_one(const void *, void *value_old, void *value_new, void *)
{
    uint32_t old = 0;
    if (value_old) {
        memcpy(&old, value_old, sizeof(old));
    }
    uint32_t fresh = old + 1;
    memcpy(value_new, &fresh, sizeof(fresh));
}

TEST_P(OxShashMt, ReadModifyWriteLosesNoIncrement)
{
    constexpr uint32_t kCounters = 16;
    constexpr uint32_t kRounds = 2000;
    shash *h = nullptr;
    ASSERT_EQ(shash_create(&h, prefix_hash, sizeof(Key), sizeof(uint32_t), 8, GetParam()), SHASH_OK);

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            for (uint32_t r = 0; r < kRounds; r++) {
                Key k = make_key(r % kCounters);
                if (t % 2) {
                    uint32_t old_v = 0;
                    uint32_t new_v = 0;
                    EXPECT_EQ(shash_update(h, &k, &old_v, &new_v, add_one, nullptr), SHASH_OK);
                } else {
                    // The first touch of a key inserts it through update.
                    void *value = nullptr;
                    pthread_mutex_t *lock = nullptr;
                    if (shash_get_vlock(h, &k, &value, &lock) == SHASH_OK) {
                        uint32_t v;
                        memcpy(&v, value, sizeof(v));
                        v++;
                        memcpy(value, &v, sizeof(v));
                        pthread_mutex_unlock(lock);
                    } else {
                        uint32_t old_v = 0;
                        uint32_t new_v = 0;
                        EXPECT_EQ(shash_update(h, &k, &old_v, &new_v, add_one, nullptr), SHASH_OK);
                    }
                }
            }
        });
    }
    for (auto &t : threads) {
        t.join();
    }
    EXPECT_EQ(shash_get_size(h), kCounters);
    uint64_t total = 0;
    for (uint32_t n = 0; n < kCounters; n++) {
        Key k = make_key(n);
        uint32_t v = 0;
        ASSERT_EQ(shash_get(h, &k, &v), SHASH_OK);
        total += v;
    }
    EXPECT_EQ(total, static_cast<uint64_t>(kThreads) * kRounds);
    shash_destroy(h);
}

INSTANTIATE_TEST_SUITE_P(Locks, OxShashMt, ::testing::Values(SHASH_CR_MT_BIGLOCK, SHASH_CR_MT_MANYLOCK),
                         [](const ::testing::TestParamInfo<uint32_t> &info) {
                             return info.param == SHASH_CR_MT_BIGLOCK ? std::string("BigLock")
                                                                      : std::string("ManyLock");
                         });

}  // namespace
