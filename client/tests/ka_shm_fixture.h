// Helpers shared by the shared-map tests: a key of the test's own, a segment
// made by hand as another (or a broken) process would leave it, a view of the
// attached map's slots, and a fixture that switches the map off and removes
// every segment it made, also when the test failed.
#pragma once

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstring>
#include <string>
#include <vector>

#include "ka_cluster_fixture.h"
#include "tamberlin/ka_shm.h"

namespace shm_test {

// Unique per process and test, so that runs of several builds at once never
// meet in one segment.
inline key_t unique_key()
{
    static int n = 0;
    return (key_t)(0x4B000000 | ((getpid() & 0xFFFF) << 8) | (++n & 0xFF));
}

inline void remove_key(key_t key)
{
    int id = shmget(key, 0, 0);
    if (id >= 0) {
        shmctl(id, IPC_RMID, nullptr);
    }
}

inline int robust_init(pthread_mutex_t *m)
{
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_setpshared(&a, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&a, PTHREAD_MUTEX_ROBUST);
    int rv = pthread_mutex_init(m, &a);
    pthread_mutexattr_destroy(&a);
    return rv;
}

// A segment of n slots made by hand: zeroed, its lock and the slots' locks
// set up; ready only when asked.
struct hand_segment {
    int id = -1;
    ka_shm *shm = nullptr;
    size_t size = 0;

    bool make(key_t key, int n, bool ready)
    {
        size = KA_SHM_SIZE(n);
        id = shmget(key, size, IPC_CREAT | IPC_EXCL | 0600);
        if (id < 0) {
            return false;
        }
        void *p = shmat(id, nullptr, 0);
        if (p == (void *)-1) {
            return false;
        }
        shm = (ka_shm *)p;
        memset(shm, 0, size);
        robust_init(&shm->shm_lock);
        for (int i = 0; i < n; i++) {
            robust_init(&ka_shm_slot(shm, i)->ninfo_lock);
            ka_shm_slot(shm, i)->partition_generation = KA_PARTITION_GENERATION_UNKNOWN;
        }
        if (ready) {
            __atomic_store_n((uint32_t *)((char *)shm + size - KA_SHM_READY_SIZE), KA_SHM_READY_MAGIC,
                             __ATOMIC_RELEASE);
        }
        return true;
    }
    ka_shm_ninfo *slot(int i) { return ka_shm_slot(shm, i); }
    ~hand_segment()
    {
        if (shm) {
            shmdt(shm);
        }
        if (id >= 0) {
            shmctl(id, IPC_RMID, nullptr);
        }
    }
};

struct slot_view {
    std::string name;
    uint32_t gen;
    int address_count;
    size_t replicas_len;
};

// The attached map's slots in use, each read under its lock.
inline std::vector<slot_view> map_slots()
{
    std::vector<slot_view> v;
    if (!ka_shm_hold()) {
        return v;
    }
    ka_shm *shm = ka_shm_segment();
    int n = __atomic_load_n(&shm->node_count, __ATOMIC_ACQUIRE);
    n = std::min(std::max(n, 0), ka_shm_slot_count());
    for (int i = 0; i < n; i++) {
        ka_shm_ninfo *s = ka_shm_slot(shm, i);
        ka_shm_node_lock(s);
        v.push_back({std::string(s->node_name, strnlen(s->node_name, KA_NODE_NAME_SIZE)), s->partition_generation,
                     s->address_count, strnlen(s->replicas, KA_SHM_REPLICAS_SIZE)});
        ka_shm_node_unlock(s);
    }
    ka_shm_release();
    return v;
}

inline uint64_t map_updater()
{
    uint64_t id = 0;
    if (ka_shm_hold()) {
        id = __atomic_load_n(&ka_shm_segment()->updater_id, __ATOMIC_ACQUIRE);
        ka_shm_release();
    }
    return id;
}

// Every node of the stand-in has a slot whose replica lists are those of its
// current generation, and the map knows the partition count.
inline bool map_complete(fake_cluster *fc)
{
    std::vector<slot_view> v = map_slots();
    if (!ka_shm_hold()) {
        return false;
    }
    int np = ka_shm_get_partition_count();
    ka_shm_release();
    if (np == 0) {
        return false;
    }
    for (int i = 0; i < fake_cluster_size(fc); i++) {
        bool found = false;
        for (auto &s : v) {
            found |= s.name == fake_cluster_node_name(fc, i) && s.gen == fake_cluster_generation(fc, i) &&
                     s.replicas_len > 0;
        }
        if (!found) {
            return false;
        }
    }
    return true;
}

// A stand-in cluster, a key of the test's own; the map is switched off and
// the key's segment removed at the end, whatever happened.
class shm_fixture : public cluster_test::fake_cluster_test {
protected:
    key_t key = unique_key();
    void TearDown() override
    {
        tamberlin_shm_free();
        remove_key(key);
        cluster_test::fake_cluster_test::TearDown();
        ka_cluster_test_set_tick_ms(1000);
    }
};

} // namespace shm_test
