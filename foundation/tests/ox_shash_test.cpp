// Hash table behaviour on one thread. A constant hash puts every key in one
// bucket, so a handful of keys make a chain whose head, middle and tail can be
// deleted in every order; each case runs over every lock and allocator flag and
// over key and value sizes that leave the element header unaligned.
#include "tamberlin/ox_shash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#if defined(OX_SANITIZED)
// The allocation-failure case asks for more memory than the sanitizer's
// allocator serves; it must return NULL as the process allocator does.
extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1";
}
#endif

namespace {

uint32_t constant_hash(const void *)
{
    return 7;
}

// First four key bytes: spreads consecutive test keys over the buckets.
uint32_t prefix_hash(const void *key)
{
    uint32_t h;
    memcpy(&h, key, sizeof(h));
    return h;
}

struct Layout {
    const char *name;
    uint32_t flags;
    uint32_t key_len;
    uint32_t value_len;
};

const Layout kLayouts[] = {
    {"no lock", 0, 8, 4},
    {"big lock", SHASH_CR_MT_BIGLOCK, 20, 4},
    {"bucket locks", SHASH_CR_MT_MANYLOCK, 8, 4},
    {"untracked bucket locks", SHASH_CR_MT_MANYLOCK | SHASH_CR_UNTRACKED, 8, 4},
    {"odd sizes", SHASH_CR_MT_BIGLOCK | SHASH_CR_RESIZE | SHASH_CR_GRAB, 5, 3},
};

// Keys and values of any length, derived from a small number.
struct Table {
    shash *h = nullptr;
    uint32_t key_len;
    uint32_t value_len;

    Table(const Layout &l, shash_hash_fn fn = constant_hash, uint32_t buckets = 4)
        : key_len(l.key_len), value_len(l.value_len)
    {
        EXPECT_EQ(shash_create(&h, fn, l.key_len, l.value_len, buckets, l.flags), SHASH_OK);
    }
    ~Table() { shash_destroy(h); }
    Table(const Table &) = delete;
    Table &operator=(const Table &) = delete;

    std::vector<uint8_t> key(uint32_t i) const
    {
        std::vector<uint8_t> k(key_len, 0xA5);
        memcpy(k.data(), &i, std::min<size_t>(sizeof(i), key_len));
        return k;
    }
    std::vector<uint8_t> value(uint32_t i) const
    {
        std::vector<uint8_t> v(value_len);
        for (uint32_t b = 0; b < value_len; b++) {
            v[b] = static_cast<uint8_t>(i * 31 + 5 + b);
        }
        return v;
    }
    int put_unique(uint32_t i) { return shash_put_unique(h, key(i).data(), value(i).data()); }
    // SHASH_OK only when found with its own value.
    int check(uint32_t i)
    {
        std::vector<uint8_t> got(value_len, 0);
        int rv = shash_get(h, key(i).data(), got.data());
        if (rv == SHASH_OK && got != value(i)) {
            return SHASH_ERR;
        }
        return rv;
    }
    shash_elem *head(uint32_t bucket) const
    {
        return reinterpret_cast<shash_elem *>(static_cast<uint8_t *>(h->table) + bucket * SHASH_ELEM_SZ(h));
    }
    bool all_heads_free() const
    {
        for (uint32_t b = 0; b < h->table_len; b++) {
            if (head(b)->in_use || head(b)->next) {
                return false;
            }
        }
        return true;
    }
};

enum DeleteApi { DELETE, DELETE_LOCKFREE, GET_AND_DELETE };

int delete_key(Table &t, uint32_t i, DeleteApi api)
{
    std::vector<uint8_t> k = t.key(i);
    switch (api) {
    case DELETE: return shash_delete(t.h, k.data());
    case DELETE_LOCKFREE: return shash_delete_lockfree(t.h, k.data());
    case GET_AND_DELETE: {
        std::vector<uint8_t> got(t.value_len, 0);
        int rv = shash_get_and_delete(t.h, k.data(), got.data());
        return rv == SHASH_OK && got != t.value(i) ? SHASH_ERR : rv;
    }
    }
    return SHASH_ERR;
}

TEST(OxShash, DeletesChainElementsInEveryOrder)
{
    constexpr uint32_t kChain = 4;  // head, two middles, tail
    for (const Layout &l : kLayouts) {
        for (DeleteApi api : {DELETE, DELETE_LOCKFREE, GET_AND_DELETE}) {
            std::vector<uint32_t> order(kChain);
            std::iota(order.begin(), order.end(), 0);
            do {
                std::string trace = std::string(l.name) + " api " + std::to_string(api) + " order";
                for (uint32_t i : order) {
                    trace += " " + std::to_string(i);
                }
                SCOPED_TRACE(trace);
                Table t(l);
                for (uint32_t i = 0; i < kChain; i++) {
                    ASSERT_EQ(t.put_unique(i), SHASH_OK);
                }
                std::vector<bool> gone(kChain, false);
                for (size_t step = 0; step < kChain; step++) {
                    ASSERT_EQ(delete_key(t, order[step], api), SHASH_OK);
                    ASSERT_EQ(delete_key(t, order[step], api), SHASH_ERR_NOTFOUND);
                    gone[order[step]] = true;
                    for (uint32_t i = 0; i < kChain; i++) {
                        ASSERT_EQ(t.check(i), gone[i] ? SHASH_ERR_NOTFOUND : SHASH_OK) << "key " << i;
                    }
                    ASSERT_EQ(shash_get_size(t.h), kChain - step - 1);
                }
                EXPECT_TRUE(t.all_heads_free());
                // The emptied bucket takes a new chain.
                ASSERT_EQ(t.put_unique(9), SHASH_OK);
                ASSERT_EQ(t.put_unique(10), SHASH_OK);
                EXPECT_EQ(t.check(9), SHASH_OK);
                EXPECT_EQ(t.check(10), SHASH_OK);
            } while (std::next_permutation(order.begin(), order.end()));
        }
    }
}

struct DeleteMask {
    uint32_t mask;
    uint32_t visits;
};

int delete_by_mask(const void *key, void *, void *udata)
{
    auto *d = static_cast<DeleteMask *>(udata);
    uint32_t i;
    memcpy(&i, key, sizeof(i));
    d->visits++;
    return (d->mask >> i) & 1 ? SHASH_REDUCE_DELETE : 0;
}

TEST(OxShash, ReduceDeleteVisitsEachOnceAndDeletesAnySubset)
{
    constexpr uint32_t kChain = 4;
    for (const Layout &l : kLayouts) {
        for (shash_hash_fn fn : {constant_hash, prefix_hash}) {
            for (uint32_t mask = 0; mask < (1u << kChain); mask++) {
                SCOPED_TRACE(std::string(l.name) + " mask " + std::to_string(mask));
                Table t(l, fn, 3);
                for (uint32_t i = 0; i < kChain; i++) {
                    ASSERT_EQ(t.put_unique(i), SHASH_OK);
                }
                DeleteMask d{mask, 0};
                ASSERT_EQ(shash_reduce_delete(t.h, delete_by_mask, &d), 0);
                EXPECT_EQ(d.visits, kChain);
                for (uint32_t i = 0; i < kChain; i++) {
                    EXPECT_EQ(t.check(i), (mask >> i) & 1 ? SHASH_ERR_NOTFOUND : SHASH_OK) << "key " << i;
                }
                EXPECT_EQ(shash_get_size(t.h), kChain - static_cast<uint32_t>(__builtin_popcount(mask)));
                if (mask == (1u << kChain) - 1) {
                    EXPECT_TRUE(t.all_heads_free());
                }
            }
        }
    }
}

int stop_with_seven(const void *, void *, void *udata)
{
    ++*static_cast<int *>(udata);
    return 7;
}

TEST(OxShash, ReduceStopsOnNonZeroResult)
{
    for (const Layout &l : kLayouts) {
        SCOPED_TRACE(l.name);
        Table t(l, prefix_hash, 16);
        for (uint32_t i = 0; i < 10; i++) {
            ASSERT_EQ(t.put_unique(i), SHASH_OK);
        }
        int visits = 0;
        EXPECT_EQ(shash_reduce(t.h, stop_with_seven, &visits), 7);
        EXPECT_EQ(visits, 1);
        visits = 0;
        EXPECT_EQ(shash_reduce_delete(t.h, stop_with_seven, &visits), 7);
        EXPECT_EQ(visits, 1);
        // The plain reduce stops on SHASH_REDUCE_DELETE too, deleting nothing.
        DeleteMask d{~0u, 0};
        EXPECT_EQ(shash_reduce(t.h, delete_by_mask, &d), SHASH_REDUCE_DELETE);
        EXPECT_EQ(shash_get_size(t.h), 10u);
        // The locks were released: the table is usable.
        EXPECT_EQ(t.check(3), SHASH_OK);
    }
}

TEST(OxShash, PutVariants)
{
    for (const Layout &l : kLayouts) {
        SCOPED_TRACE(l.name);
        Table t(l);
        ASSERT_EQ(t.put_unique(1), SHASH_OK);
        EXPECT_EQ(shash_put_unique(t.h, t.key(1).data(), t.value(2).data()), SHASH_ERR_FOUND);
        EXPECT_EQ(t.check(1), SHASH_OK);

        ASSERT_EQ(t.put_unique(2), SHASH_OK);
        ASSERT_EQ(t.put_unique(3), SHASH_OK);
        // Overwrite a chained element in place.
        EXPECT_EQ(shash_put(t.h, t.key(2).data(), t.value(50).data()), SHASH_OK);
        EXPECT_EQ(shash_get_size(t.h), 3u);
        std::vector<uint8_t> got(t.value_len);
        ASSERT_EQ(shash_get(t.h, t.key(2).data(), got.data()), SHASH_OK);
        EXPECT_EQ(got, t.value(50));

        EXPECT_EQ(shash_get(t.h, t.key(3).data(), nullptr), SHASH_OK);
        EXPECT_EQ(shash_get(t.h, t.key(4).data(), nullptr), SHASH_ERR_NOTFOUND);

        // A duplicate stands beside the first; each delete removes one.
        ASSERT_EQ(shash_put_duplicate(t.h, t.key(3).data(), t.value(3).data()), SHASH_OK);
        EXPECT_EQ(shash_get_size(t.h), 4u);
        EXPECT_EQ(shash_delete(t.h, t.key(3).data()), SHASH_OK);
        EXPECT_EQ(t.check(3), SHASH_OK);
        EXPECT_EQ(shash_delete(t.h, t.key(3).data()), SHASH_OK);
        EXPECT_EQ(t.check(3), SHASH_ERR_NOTFOUND);
        EXPECT_EQ(shash_get_size(t.h), 2u);
    }
}

struct UpdateCall {
    int calls = 0;
    bool old_was_null = false;
    std::vector<uint8_t> old_seen;
    uint8_t rewrite = 0;  // written into the new value's first byte when non-zero
    uint32_t value_len = 0;
};

void record_update(const void *, void *value_old, void *value_new, void *udata)
{
    auto *u = static_cast<UpdateCall *>(udata);
    u->calls++;
    u->old_was_null = value_old == nullptr;
    if (value_old) {
        auto *p = static_cast<uint8_t *>(value_old);
        u->old_seen.assign(p, p + u->value_len);
    }
    if (u->rewrite) {
        static_cast<uint8_t *>(value_new)[0] = u->rewrite;
    }
}

TEST(OxShash, UpdateCallsBackWithOldValue)
{
    struct Case {
        const char *name;
        bool present;
        bool old_buffer;
    };
    const Case cases[] = {
        {"absent", false, true},
        {"present with an old-value buffer", true, true},
        {"present without a buffer", true, false},
    };
    for (const Layout &l : kLayouts) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(l.name) + ", " + c.name);
            Table t(l);
            ASSERT_EQ(t.put_unique(8), SHASH_OK);
            if (c.present) {
                ASSERT_EQ(t.put_unique(1), SHASH_OK);
            }
            uint32_t before = shash_get_size(t.h);
            UpdateCall u;
            u.rewrite = 0xEE;
            u.value_len = t.value_len;
            std::vector<uint8_t> old_buf(t.value_len, 0);
            std::vector<uint8_t> fresh = t.value(20);
            ASSERT_EQ(shash_update(t.h, t.key(1).data(), c.old_buffer ? old_buf.data() : nullptr, fresh.data(),
                                   record_update, &u),
                      SHASH_OK);
            EXPECT_EQ(u.calls, 1);
            bool expect_old = c.present && c.old_buffer;
            EXPECT_EQ(u.old_was_null, !expect_old);
            if (expect_old) {
                EXPECT_EQ(u.old_seen, t.value(1));
                EXPECT_EQ(old_buf, t.value(1));
            }
            EXPECT_EQ(shash_get_size(t.h), before + (c.present ? 0 : 1));
            std::vector<uint8_t> expected = t.value(20);
            expected[0] = 0xEE;
            std::vector<uint8_t> got(t.value_len);
            ASSERT_EQ(shash_get(t.h, t.key(1).data(), got.data()), SHASH_OK);
            EXPECT_EQ(got, expected);
        }
    }
}

TEST(OxShash, GetVlockHoldsTheLockOnlyWhenFound)
{
    for (const Layout &l : kLayouts) {
        SCOPED_TRACE(l.name);
        Table t(l, prefix_hash, 4);
        ASSERT_EQ(t.put_unique(6), SHASH_OK);
        void *value = nullptr;
        pthread_mutex_t *lock = reinterpret_cast<pthread_mutex_t *>(&value);  // must be overwritten

        ASSERT_EQ(shash_get_vlock(t.h, t.key(6).data(), &value, &lock), SHASH_OK);
        pthread_mutex_t *expected = nullptr;
        if (l.flags & SHASH_CR_MT_BIGLOCK) {
            expected = &t.h->biglock;
        } else if (l.flags & SHASH_CR_MT_MANYLOCK) {
            expected = &t.h->lock_table[6 % 4];
        }
        EXPECT_EQ(lock, expected);
        if (lock) {
            EXPECT_EQ(pthread_mutex_trylock(lock), EBUSY);
        }
        // The value is changed in place under the held lock.
        memset(value, 0x42, t.value_len);
        if (lock) {
            pthread_mutex_unlock(lock);
        }
        std::vector<uint8_t> got(t.value_len);
        ASSERT_EQ(shash_get(t.h, t.key(6).data(), got.data()), SHASH_OK);
        EXPECT_EQ(got, std::vector<uint8_t>(t.value_len, 0x42));

        lock = expected ? expected + 1 : reinterpret_cast<pthread_mutex_t *>(&value);
        EXPECT_EQ(shash_get_vlock(t.h, t.key(7).data(), &value, &lock), SHASH_ERR_NOTFOUND);
        EXPECT_EQ(lock, nullptr);
        if (expected) {
            ASSERT_EQ(pthread_mutex_trylock(expected), 0);
            pthread_mutex_unlock(expected);
        }
    }
}

TEST(OxShash, DeleteAllLockfreeLeavesTableReusable)
{
    for (const Layout &l : kLayouts) {
        SCOPED_TRACE(l.name);
        // Seven buckets for 200 keys: long chains in every bucket.
        Table t(l, prefix_hash, 7);
        for (uint32_t i = 0; i < 200; i++) {
            ASSERT_EQ(t.put_unique(i), SHASH_OK);
        }
        ASSERT_EQ(shash_get_size(t.h), 200u);
        // It takes no lock: callable while the caller holds the table's lock.
        if (l.flags & SHASH_CR_MT_BIGLOCK) {
            pthread_mutex_lock(&t.h->biglock);
        }
        shash_deleteall_lockfree(t.h);
        if (l.flags & SHASH_CR_MT_BIGLOCK) {
            pthread_mutex_unlock(&t.h->biglock);
        }
        EXPECT_EQ(shash_get_size(t.h), 0u);
        EXPECT_EQ(t.h->elements, 0u);
        EXPECT_TRUE(t.all_heads_free());
        for (uint32_t i = 0; i < 200; i++) {
            ASSERT_EQ(t.check(i), SHASH_ERR_NOTFOUND);
        }
        for (uint32_t i = 0; i < 200; i += 2) {
            ASSERT_EQ(t.put_unique(i), SHASH_OK);
        }
        EXPECT_EQ(shash_get_size(t.h), 100u);
        EXPECT_EQ(t.check(100), SHASH_OK);
        EXPECT_EQ(t.check(101), SHASH_ERR_NOTFOUND);
    }
}

// Failure paths of create leave nothing behind (the leak checker of the
// sanitizer build watches) and store NULL.
TEST(OxShash, CreateRejectsBadArgumentsWithoutLeaking)
{
    struct Case {
        const char *name;
        shash_hash_fn fn;
        uint32_t key_len;
        uint32_t value_len;
        uint32_t buckets;
        uint32_t flags;
    };
    const Case cases[] = {
        {"both lock flags", prefix_hash, 20, 4, 1024, SHASH_CR_MT_BIGLOCK | SHASH_CR_MT_MANYLOCK},
        {"both lock flags, untracked", prefix_hash, 20, 4, 8,
         SHASH_CR_MT_BIGLOCK | SHASH_CR_MT_MANYLOCK | SHASH_CR_UNTRACKED},
        {"no buckets", prefix_hash, 20, 4, 0, SHASH_CR_MT_BIGLOCK},
        {"no hash function", nullptr, 20, 4, 1024, 0},
        {"heads block size overflows", prefix_hash, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, SHASH_CR_MT_MANYLOCK},
        // 2^53 bytes of heads: the allocator refuses after the table object was made.
        {"heads block cannot be had", prefix_hash, 0xFFFFFF00, 0xFFFFFF00, 1u << 20, SHASH_CR_MT_BIGLOCK},
        {"heads block cannot be had, untracked", prefix_hash, 0xFFFFFF00, 0xFFFFFF00, 1u << 20,
         SHASH_CR_UNTRACKED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        shash *h = reinterpret_cast<shash *>(0x1);
        EXPECT_EQ(shash_create(&h, c.fn, c.key_len, c.value_len, c.buckets, c.flags), SHASH_ERR);
        EXPECT_EQ(h, nullptr);
    }
    EXPECT_EQ(shash_create(nullptr, prefix_hash, 20, 4, 8, 0), SHASH_ERR);

    // One bucket is enough for a working table.
    shash *h = nullptr;
    ASSERT_EQ(shash_create(&h, prefix_hash, 20, 4, 1, 0), SHASH_OK);
    uint8_t key[20] = {1};
    uint32_t v = 9;
    EXPECT_EQ(shash_put(h, key, &v), SHASH_OK);
    EXPECT_EQ(shash_get_size(h), 1u);
    shash_destroy(h);
}

}  // namespace
