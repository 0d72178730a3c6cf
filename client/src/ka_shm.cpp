// Shared cluster map: the segment's set-up and switch-off (caller's thread,
// serialised by g_shm_LOCK), the updater thread (ka_shm_updater_fn, one per
// attached process; the one holding shm_lock writes), and the lookups that
// the tend makes (tend thread, or a caller of add_host).
//
// Everything in the segment may have been written by another process, or by
// none: counts are clamped to the slots the segment really has, the partition
// count must be a valid one, a slot's address count is clamped to four, and
// texts are copied with a bound and always terminated. The numbers that the
// lookups read without a slot lock (node_count, partition_count, updater_id,
// the ready word) are read and written atomically.
//
// Locks: g_shm_LOCK serialises tamberlin_use_shm and tamberlin_shm_free;
// g_shm_map_LOCK (reader-writer) keeps the segment attached while a lookup
// uses it; g_shm_stop_LOCK guards the stop flag that the updater's sleeps and
// timed lock waits look at. The updater takes cluster_ll_LOCK, then each
// cluster's LOCK, then each node's addr_lock, only to copy names and
// addresses; its requests go out with no lock held.
#include "tamberlin/ka_shm.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

#include "ka_cluster_internal.h"
#include "tamberlin/ox_log.h"
#include "tamberlin/ox_socket.h"

static pthread_mutex_t g_shm_LOCK = PTHREAD_MUTEX_INITIALIZER;
static pthread_rwlock_t g_shm_map_LOCK = PTHREAD_RWLOCK_INITIALIZER;
static pthread_mutex_t g_shm_stop_LOCK = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_shm_stop_CV;
static pthread_once_t g_shm_cv_once = PTHREAD_ONCE_INIT;

static std::atomic<bool> g_shared_memory{false}; // the mode is on
static bool g_shm_initiated = false;              // g_shm_LOCK; changed under g_shm_map_LOCK too
static ka_shm *g_shm_pt = nullptr;                // g_shm_map_LOCK
static int g_max_nodes = 0;                       // slots of the attached segment; g_shm_map_LOCK
static pid_t g_shm_pid = 0;                       // the process that attached
static std::atomic<bool> g_shm_updater{false};
static pthread_t g_shm_update_thr;
static bool g_shm_thread_started = false; // g_shm_LOCK
static ka_shm_info g_shm_info;

// The updater's work array (updater thread only).
static ka_seed_node *g_seed_array = nullptr;
static int g_seed_count = 0;
static int g_seed_cap = 0;

static constexpr int SHM_LOCK_WAIT_MS = 100;

// --- Small helpers ---

static void init_stop_cv()
{
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&g_shm_stop_CV, &attr);
    pthread_condattr_destroy(&attr);
}

static bool stop_requested()
{
    pthread_mutex_lock(&g_shm_stop_LOCK);
    bool stop = g_shm_info.update_thread_end_cond;
    pthread_mutex_unlock(&g_shm_stop_LOCK);
    return stop;
}

static void set_stop(bool stop)
{
    pthread_mutex_lock(&g_shm_stop_LOCK);
    g_shm_info.update_thread_end_cond = stop;
    pthread_cond_broadcast(&g_shm_stop_CV);
    pthread_mutex_unlock(&g_shm_stop_LOCK);
}

// Waits ms or until the stop flag is set; true when it is.
static bool stop_wait(uint64_t ms)
{
    struct timespec end;
    clock_gettime(CLOCK_MONOTONIC, &end);
    end.tv_sec += (time_t)(ms / 1000);
    end.tv_nsec += (long)(ms % 1000) * 1000000L;
    if (end.tv_nsec >= 1000000000L) {
        end.tv_sec++;
        end.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&g_shm_stop_LOCK);
    while (!g_shm_info.update_thread_end_cond) {
        if (pthread_cond_timedwait(&g_shm_stop_CV, &g_shm_stop_LOCK, &end) == ETIMEDOUT) {
            break;
        }
    }
    bool stop = g_shm_info.update_thread_end_cond;
    pthread_mutex_unlock(&g_shm_stop_LOCK);
    return stop;
}

static int robust_mutex_init(pthread_mutex_t *m)
{
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) {
        return -1;
    }
    int rv = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    if (rv == 0) {
        rv = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    }
    if (rv == 0) {
        rv = pthread_mutex_init(m, &attr);
    }
    pthread_mutexattr_destroy(&attr);
    return rv == 0 ? 0 : -1;
}

static uint32_t *ready_word(ka_shm *shm, size_t shm_sz)
{
    return (uint32_t *)((char *)shm + shm_sz - KA_SHM_READY_SIZE);
}

ka_shm_ninfo *ka_shm_slot(ka_shm *shm, int i)
{
    return (ka_shm_ninfo *)((char *)shm + KA_SHM_HEAD_SIZE + (size_t)i * sizeof(ka_shm_ninfo));
}

// node_count as the slots really allow it.
static int slots_in_use(ka_shm *shm)
{
    int n = __atomic_load_n(&shm->node_count, __ATOMIC_ACQUIRE);
    if (n < 0) {
        return 0;
    }
    return n > g_max_nodes ? g_max_nodes : n;
}

static int slot_address_count(ka_shm_ninfo *slot)
{
    int n = slot->address_count;
    if (n < 0) {
        return 0;
    }
    return n > KA_SHM_MAX_ADDRESSES ? KA_SHM_MAX_ADDRESSES : n;
}

// The slot's name, when it is a valid node name (terminated within its field).
static bool slot_name_valid(ka_shm_ninfo *slot)
{
    size_t n = strnlen(slot->node_name, KA_NODE_NAME_SIZE);
    return n > 0 && n < KA_NODE_NAME_SIZE;
}

// --- Holding the attachment ---

bool ka_shm_on()
{
    return g_shared_memory.load();
}

bool ka_shm_hold()
{
    if (!g_shared_memory.load()) {
        return false;
    }
    pthread_rwlock_rdlock(&g_shm_map_LOCK);
    if (!g_shm_pt) {
        pthread_rwlock_unlock(&g_shm_map_LOCK);
        return false;
    }
    return true;
}

void ka_shm_release()
{
    pthread_rwlock_unlock(&g_shm_map_LOCK);
}

// --- Slots ---

int ka_shm_node_lock(ka_shm_ninfo *shared_node)
{
    int rv = pthread_mutex_lock(&shared_node->ninfo_lock);
    if (rv == EOWNERDEAD) {
        pthread_mutex_consistent(&shared_node->ninfo_lock);
        return 0;
    }
    if (rv != 0) {
        KA_LOG_WARN("Failed to lock shared memory node.");
        return -1;
    }
    return 0;
}

void ka_shm_node_unlock(ka_shm_ninfo *shared_node)
{
    pthread_mutex_unlock(&shared_node->ninfo_lock);
}

// A slot whose lock cannot be had is skipped.
static ka_shm_ninfo *find_node_from_name(ka_shm *shm, const char *node_name)
{
    int n = slots_in_use(shm);
    for (int i = 0; i < n; i++) {
        ka_shm_ninfo *slot = ka_shm_slot(shm, i);
        if (ka_shm_node_lock(slot) != 0) {
            continue;
        }
        bool same = slot_name_valid(slot) && strncmp(slot->node_name, node_name, KA_NODE_NAME_SIZE) == 0;
        ka_shm_node_unlock(slot);
        if (same) {
            return slot;
        }
    }
    return nullptr;
}

ka_shm_ninfo *ka_shm_find_node_from_name(const char *node_name)
{
    return g_shm_pt ? find_node_from_name(g_shm_pt, node_name) : nullptr;
}

ka_shm_ninfo *ka_shm_find_node_from_address(struct sockaddr_in *sa_in)
{
    ka_shm *shm = g_shm_pt;
    if (!shm) {
        return nullptr;
    }
    int n = slots_in_use(shm);
    for (int i = 0; i < n; i++) {
        ka_shm_ninfo *slot = ka_shm_slot(shm, i);
        if (ka_shm_node_lock(slot) != 0) {
            continue;
        }
        bool found = false;
        int na = slot_address_count(slot);
        for (int k = 0; k < na && !found; k++) {
            found = memcmp(&slot->address_array[k], sa_in, sizeof(*sa_in)) == 0;
        }
        ka_shm_node_unlock(slot);
        if (found) {
            return slot;
        }
    }
    return nullptr;
}

int ka_shm_get_partition_count()
{
    ka_shm *shm = g_shm_pt;
    if (!shm) {
        return 0;
    }
    int n = __atomic_load_n(&shm->partition_count, __ATOMIC_ACQUIRE);
    return n > 0 && ka_partition_count_valid((uint64_t)n) ? n : 0;
}

// --- The tend's lookups ---

int ka_shm_get_node_name(struct sockaddr_in *sa_in, char *node_name)
{
    if (!ka_shm_hold()) {
        return -1;
    }
    int rv = -1;
    ka_shm_ninfo *slot = ka_shm_find_node_from_address(sa_in);
    if (slot && ka_shm_node_lock(slot) == 0) {
        if (slot_name_valid(slot)) {
            ka_strncpy(node_name, slot->node_name, KA_NODE_NAME_SIZE);
            rv = 0;
        }
        ka_shm_node_unlock(slot);
    }
    ka_shm_release();
    return rv;
}

bool ka_cluster_node_shm_gen_check(ka_cluster *asc, ka_cluster_node *cn, ka_shm_ninfo *shared, ox_vector *services_v)
{
    char services[KA_SHM_SERVICES_SIZE];
    char name[KA_NODE_NAME_SIZE];
    if (ka_shm_node_lock(shared) != 0) {
        return false;
    }
    ka_strncpy(name, shared->node_name, (int)sizeof(name));
    if (strcmp(name, cn->name) != 0) {
        ka_shm_node_unlock(shared);
        KA_LOG_WARN("node name changed from %s to %s", cn->name, name);
        return false;
    }
    uint32_t gen = shared->partition_generation;
    ka_strncpy(services, shared->services, (int)sizeof(services));
    ka_shm_node_unlock(shared);
    cluster_services_parse(asc, services, services_v);
    // A slot whose replica lists were never stored has nothing to give.
    return gen != KA_PARTITION_GENERATION_UNKNOWN && gen != cn->partition_generation;
}

void ka_cluster_node_shm_get_replicas(ka_cluster *asc, ka_cluster_node *cn, ka_shm_ninfo *shared)
{
    char *replicas = (char *)malloc(KA_SHM_REPLICAS_SIZE);
    if (!replicas) {
        return;
    }
    if (ka_shm_node_lock(shared) == 0) {
        ka_strncpy(replicas, shared->replicas, KA_SHM_REPLICAS_SIZE);
        ka_shm_node_unlock(shared);
        ka_cluster_node_parse_replicas(asc, cn, replicas);
    }
    free(replicas);
}

int ka_shm_ping_node(ka_cluster *asc, ka_cluster_node *cn, ox_vector *services_v)
{
    if (!ka_shm_hold()) {
        return -1;
    }
    ka_shm_ninfo *slot = ka_shm_find_node_from_name(cn->name);
    if (slot && ka_cluster_node_shm_gen_check(asc, cn, slot, services_v)) {
        ka_cluster_node_shm_get_replicas(asc, cn, slot);
    }
    ka_shm_release();
    return slot ? 0 : -1;
}

// --- The updater ---

// Copies every node's name and up to four addresses of every cluster.
static void copy_seeds()
{
    g_seed_count = 0;
    if (!ka_cluster_initialized()) {
        return;
    }
    pthread_mutex_lock(&cluster_ll_LOCK);
    for (ox_ll_element *e = ox_ll_get_head(&cluster_ll); e; e = ox_ll_get_next(e)) {
        ka_cluster *asc = (ka_cluster *)e;
        pthread_mutex_lock(&asc->LOCK);
        uint32_t n = ox_vector_size(&asc->node_v);
        if (g_seed_count + (int)n > g_seed_cap) {
            int cap = g_seed_count + (int)n;
            ka_seed_node *grown = (ka_seed_node *)realloc(g_seed_array, (size_t)cap * sizeof(ka_seed_node));
            if (!grown) {
                pthread_mutex_unlock(&asc->LOCK);
                break;
            }
            g_seed_array = grown;
            g_seed_cap = cap;
        }
        for (uint32_t i = 0; i < n; i++) {
            ka_cluster_node *cn = (ka_cluster_node *)ox_vector_pointer_get(&asc->node_v, i);
            ka_seed_node *seed = &g_seed_array[g_seed_count++];
            memset(seed, 0, sizeof(*seed));
            memcpy(seed->name, cn->name, KA_NODE_NAME_SIZE);
            pthread_mutex_lock(&cn->addr_lock);
            int na = (int)ox_vector_size(&cn->sockaddr_in_v);
            if (na > KA_SHM_MAX_ADDRESSES) {
                KA_LOG_DEBUG("Node %s addresses truncated. Requested size=%d", cn->name, na);
                na = KA_SHM_MAX_ADDRESSES;
            }
            for (int k = 0; k < na; k++) {
                memcpy(&seed->address_array[k], ox_vector_getp(&cn->sockaddr_in_v, (uint32_t)k),
                       sizeof(struct sockaddr_in));
            }
            pthread_mutex_unlock(&cn->addr_lock);
            seed->address_count = na;
        }
        pthread_mutex_unlock(&asc->LOCK);
    }
    pthread_mutex_unlock(&cluster_ll_LOCK);
}

// A new slot for the seed at the end of the slots in use, or NULL.
static ka_shm_ninfo *new_slot(ka_shm *shm, ka_seed_node *seed)
{
    int n = slots_in_use(shm);
    if (n >= g_max_nodes) {
        KA_LOG_ERROR("Shared memory node limit breached: %d", g_max_nodes);
        return nullptr;
    }
    ka_shm_ninfo *slot = ka_shm_slot(shm, n);
    // Nobody reads the slot before node_count counts it.
    memset(slot, 0, sizeof(*slot));
    slot->address_count = seed->address_count;
    memcpy(slot->address_array, seed->address_array, sizeof(slot->address_array));
    slot->partition_generation = KA_PARTITION_GENERATION_UNKNOWN;
    if (robust_mutex_init(&slot->ninfo_lock) != 0) {
        KA_LOG_WARN("Shared memory node level mutex init failed pid %d", (int)getpid());
        return nullptr;
    }
    return slot;
}

static void update_node(ka_shm *shm, ka_seed_node *seed)
{
    int na = seed->address_count;
    for (int k = 0; k < na && ka_shm_get_partition_count() == 0; k++) {
        int n = 0;
        if (ka_request_n_partitions(&seed->address_array[k], &n, KA_SHM_REQUEST_TIMEOUT_MS) == 0) {
            if (ka_partition_count_valid((uint64_t)n)) {
                __atomic_store_n(&shm->partition_count, n, __ATOMIC_RELEASE);
            }
            break;
        }
    }
    ka_node_info info;
    int k = 0;
    for (; k < na; k++) {
        if (ka_request_node_info(&seed->address_array[k], &info, KA_SHM_REQUEST_TIMEOUT_MS) == 0) {
            break;
        }
    }
    if (k == na) {
        return;
    }
    if (!info.node_name[0]) {
        ka_node_info_free(&info);
        return;
    }
    ka_shm_ninfo *slot = find_node_from_name(shm, info.node_name);
    bool fresh = false;
    if (!slot) {
        slot = new_slot(shm, seed);
        fresh = slot != nullptr;
    }
    if (!slot || ka_shm_node_lock(slot) != 0) {
        ka_node_info_free(&info);
        return;
    }
    if (slot_address_count(slot) != na ||
        memcmp(slot->address_array, seed->address_array, (size_t)na * sizeof(struct sockaddr_in)) != 0) {
        memcpy(slot->address_array, seed->address_array, sizeof(slot->address_array));
        slot->address_count = na;
    }
    ka_strncpy(slot->node_name, info.node_name, KA_NODE_NAME_SIZE);
    if (ka_strncpy(slot->services, info.services ? info.services : "", KA_SHM_SERVICES_SIZE)) {
        KA_LOG_WARN("Shared memory services full: size=%d", KA_SHM_SERVICES_SIZE);
    }
    uint32_t old_gen = slot->partition_generation;
    uint32_t new_gen = info.partition_generation;
    ka_shm_node_unlock(slot);
    ka_node_info_free(&info);
    if (fresh) {
        __atomic_store_n(&shm->node_count, slots_in_use(shm) + 1, __ATOMIC_RELEASE);
    }
    if (old_gen == new_gen) {
        return;
    }
    for (k = 0; k < na; k++) {
        ka_replicas replicas;
        if (ka_request_replicas(&seed->address_array[k], &replicas, KA_SHM_REQUEST_TIMEOUT_MS) != 0) {
            ka_replicas_free(&replicas);
            continue;
        }
        const char *text = replicas.values ? replicas.values : "";
        // A cut text would leave namespaces unmapped under a generation that
        // says they are current: the slot keeps its old text and generation,
        // and the next round tries again.
        if (strlen(text) >= KA_SHM_REPLICAS_SIZE) {
            KA_LOG_WARN("Shared memory replicas buffer full: size=%d", KA_SHM_REPLICAS_SIZE);
        } else if (ka_shm_node_lock(slot) == 0) {
            memcpy(slot->replicas, text, strlen(text) + 1);
            slot->partition_generation = new_gen;
            ka_shm_node_unlock(slot);
        }
        ka_replicas_free(&replicas);
        break;
    }
}

static void update_round(ka_shm *shm)
{
    copy_seeds();
    if (g_seed_count > 0) {
        __atomic_store_n(&shm->updater_id, (uint64_t)getpid(), __ATOMIC_RELEASE);
    }
    for (int i = 0; i < g_seed_count && !stop_requested(); i++) {
        update_node(shm, &g_seed_array[i]);
    }
}

// Waits for shm_lock in short timed steps, so that a stop is seen while
// another process updates; true once it is held.
static bool take_shm_lock(ka_shm *shm)
{
    for (;;) {
        if (stop_requested()) {
            return false;
        }
        struct timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += SHM_LOCK_WAIT_MS * 1000000L;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_sec++;
            until.tv_nsec -= 1000000000L;
        }
        int rv = pthread_mutex_timedlock(&shm->shm_lock, &until);
        if (rv == ETIMEDOUT) {
            continue;
        }
        if (rv == EOWNERDEAD) {
            pthread_mutex_consistent(&shm->shm_lock);
#if defined(__SANITIZE_THREAD__)
            // The sanitizer counts a timed lock as taken only when it returns 0.
            __tsan_mutex_pre_lock(&shm->shm_lock, __tsan_mutex_try_lock);
            __tsan_mutex_post_lock(&shm->shm_lock, __tsan_mutex_try_lock, 0);
#endif
        } else if (rv != 0) {
            KA_LOG_ERROR("Failed to lock shared memory in tend thread. Exiting thread.");
            return false;
        }
        KA_LOG_DEBUG("Process %d took over control with pthread_mutex_lock returning %d", (int)getpid(), rv);
        if (stop_requested()) {
            pthread_mutex_unlock(&shm->shm_lock);
            return false;
        }
        return true;
    }
}

// The segment stays attached while this runs: the switch-off joins it first.
void *ka_shm_updater_fn(void *arg)
{
    ka_shm *shm = (ka_shm *)arg;
    if (!take_shm_lock(shm)) {
        return nullptr;
    }
    g_shm_updater = true;
    __atomic_store_n(&shm->updater_id, (uint64_t)getpid(), __ATOMIC_RELEASE);
    do {
        update_round(shm);
    } while (!stop_wait((uint64_t)g_shm_info.update_period * ka_cluster_tick_ms()));
    free(g_seed_array);
    g_seed_array = nullptr;
    g_seed_count = 0;
    g_seed_cap = 0;
    g_shm_updater = false;
    // Handed on in an orderly way; a process that dies holding it hands it on
    // through the lock's owner-death instead.
    pthread_mutex_unlock(&shm->shm_lock);
    return nullptr;
}

// --- Switching on and off ---

static int read_shmmax(size_t *shmmax)
{
    FILE *f = fopen("/proc/sys/kernel/shmmax", "r");
    if (!f) {
        KA_LOG_ERROR("Failed to open file: %s", strerror(errno));
        return -1;
    }
    int n = fscanf(f, "%zu", shmmax);
    int err = errno;
    fclose(f);
    if (n != 1) {
        KA_LOG_ERROR("Failed to read shmmax from file: %s", n == EOF ? strerror(err) : "not a number");
        return -1;
    }
    return 0;
}

// Waits a bounded time for the creator's ready word.
static bool wait_ready(ka_shm *shm, size_t shm_sz)
{
    uint64_t start = ka::ox_getms();
    for (;;) {
        if (__atomic_load_n(ready_word(shm, shm_sz), __ATOMIC_ACQUIRE) == KA_SHM_READY_MAGIC) {
            return true;
        }
        if (ka::ox_getms() - start >= KA_SHM_READY_WAIT_MS) {
            return false;
        }
        struct timespec ts = {0, 1000000};
        nanosleep(&ts, nullptr);
    }
}

// Creates and sets up the segment, or attaches to the one that exists; the
// segment's id, address and real size, or -1.
static int attach_segment(key_t key, size_t size, int *id_out, ka_shm **shm_out, size_t *sz_out)
{
    int id = shmget(key, size, IPC_CREAT | IPC_EXCL | 0600);
    if (id >= 0) {
        KA_LOG_DEBUG("Succeeded in creating shm : pid %d shmid %d", (int)getpid(), id);
        void *p = shmat(id, nullptr, 0);
        if (p == (void *)-1) {
            KA_LOG_ERROR("Error in attaching to shared memory: %s pid: %d", strerror(errno), (int)getpid());
            shmctl(id, IPC_RMID, nullptr);
            return -1;
        }
        ka_shm *shm = (ka_shm *)p;
        memset(shm, 0, size);
        if (robust_mutex_init(&shm->shm_lock) != 0) {
            KA_LOG_ERROR("Mutex init failed pid %d", (int)getpid());
            shmdt(p);
            shmctl(id, IPC_RMID, nullptr);
            return -1;
        }
        __atomic_store_n(ready_word(shm, size), KA_SHM_READY_MAGIC, __ATOMIC_RELEASE);
        *id_out = id;
        *shm_out = shm;
        *sz_out = size;
        return 0;
    }
    if (errno != EEXIST) {
        KA_LOG_ERROR("Error in getting shared memory exclusively: %s", strerror(errno));
        return -1;
    }
    // The segment may have been made for another slot count: its own size
    // decides, not ours.
    id = shmget(key, 0, 0);
    if (id < 0) {
        KA_LOG_ERROR("Error in attaching to shared memory: %s", strerror(errno));
        return -1;
    }
    struct shmid_ds ds;
    if (shmctl(id, IPC_STAT, &ds) != 0) {
        KA_LOG_ERROR("Error in attaching to shared memory: %s", strerror(errno));
        return -1;
    }
    size_t real = ds.shm_segsz;
    if (real < KA_SHM_SIZE(1)) {
        KA_LOG_ERROR("Shared memory segment %d of %zu bytes holds no node slot", id, real);
        return -1;
    }
    void *p = shmat(id, nullptr, 0);
    if (p == (void *)-1) {
        KA_LOG_ERROR("Error in attaching to shared memory: %s pid: %d", strerror(errno), (int)getpid());
        return -1;
    }
    if (!wait_ready((ka_shm *)p, real)) {
        KA_LOG_ERROR("Shared memory segment %d was not set up within %d ms", id, KA_SHM_READY_WAIT_MS);
        shmdt(p);
        return -1;
    }
    *id_out = id;
    *shm_out = (ka_shm *)p;
    *sz_out = real;
    return 0;
}

// A forked child inherits the parent's attachment but not its updater: it
// drops the attachment and its locks' states, and attaches on its own.
static void forget_inherited()
{
    shmdt(g_shm_pt);
    pthread_rwlock_init(&g_shm_map_LOCK, nullptr);
    pthread_mutex_init(&g_shm_stop_LOCK, nullptr);
    init_stop_cv();
    g_shared_memory = false;
    g_shm_pt = nullptr;
    g_shm_initiated = false;
    g_shm_updater = false;
    g_shm_thread_started = false;
}

int tamberlin_use_shm(int num_nodes, key_t key)
{
    pthread_once(&g_shm_cv_once, init_stop_cv);
    pthread_mutex_lock(&g_shm_LOCK);
    if (g_shm_initiated && g_shm_pid == getpid()) {
        pthread_mutex_unlock(&g_shm_LOCK);
        return 0;
    }
    if (g_shm_initiated) {
        forget_inherited();
    }
    int nodes = num_nodes < 1 ? KA_SHM_DEFAULT_NODES : num_nodes;
    if (key == 0) {
        key = KA_SHM_DEFAULT_KEY;
    }
    KA_LOG_DEBUG("Shared memory key is %d", (int)key);
    if (key == -1) {
        pthread_mutex_unlock(&g_shm_LOCK);
        return -1;
    }
    size_t size = KA_SHM_SIZE(nodes);
    set_stop(false);
    g_shm_info.update_period = 1;
    g_shm_info.node_sz = sizeof(ka_shm_ninfo);

    size_t shmmax = 0;
    if (read_shmmax(&shmmax) != 0) {
        pthread_mutex_unlock(&g_shm_LOCK);
        return -1;
    }
    if (shmmax < size) {
        KA_LOG_ERROR("Shared memory size %zu exceeds system max %zu.", size, shmmax);
        KA_LOG_ERROR("You can increase shared memory size by: sysctl -w kernel.shmmax=<new_size>");
        pthread_mutex_unlock(&g_shm_LOCK);
        return -1;
    }
    int id = -1;
    ka_shm *shm = nullptr;
    size_t real = 0;
    if (attach_segment(key, size, &id, &shm, &real) != 0) {
        pthread_mutex_unlock(&g_shm_LOCK);
        return -1;
    }
    pthread_rwlock_wrlock(&g_shm_map_LOCK);
    g_shm_pt = shm;
    g_max_nodes = (int)((real - KA_SHM_HEAD_SIZE - KA_SHM_READY_SIZE) / sizeof(ka_shm_ninfo));
    g_shm_info.id = id;
    g_shm_info.shm_sz = real;
    g_shm_initiated = true;
    g_shm_pid = getpid();
    pthread_rwlock_unlock(&g_shm_map_LOCK);
    if (pthread_create(&g_shm_update_thr, nullptr, ka_shm_updater_fn, shm) != 0) {
        KA_LOG_ERROR("could not start the shared memory updater thread");
        pthread_rwlock_wrlock(&g_shm_map_LOCK);
        shmdt(shm);
        g_shm_pt = nullptr;
        g_shm_initiated = false;
        pthread_rwlock_unlock(&g_shm_map_LOCK);
        pthread_mutex_unlock(&g_shm_LOCK);
        return -1;
    }
    g_shm_thread_started = true;
    g_shared_memory = true;
    pthread_mutex_unlock(&g_shm_LOCK);
    return 0;
}

int tamberlin_shm_free()
{
    pthread_mutex_lock(&g_shm_LOCK);
    if (!g_shm_initiated) {
        pthread_mutex_unlock(&g_shm_LOCK);
        return 0;
    }
    g_shared_memory = false;
    set_stop(true);
    // Joined whether it updates or still waits for the lock: either way it
    // must be gone before the segment is.
    if (g_shm_thread_started && g_shm_pid == getpid()) {
        pthread_join(g_shm_update_thr, nullptr);
    }
    g_shm_thread_started = false;
    pthread_rwlock_wrlock(&g_shm_map_LOCK);
    int rv = shmdt(g_shm_pt) == 0 ? 0 : -1;
    g_shm_pt = nullptr;
    g_shm_initiated = false;
    pthread_rwlock_unlock(&g_shm_map_LOCK);
    shmctl(g_shm_info.id, IPC_RMID, nullptr);
    pthread_mutex_unlock(&g_shm_LOCK);
    return rv;
}

// --- For the tests ---

bool ka_shm_is_updater()
{
    return g_shm_updater.load();
}

bool ka_shm_attached(int *id)
{
    pthread_mutex_lock(&g_shm_LOCK);
    bool attached = g_shm_initiated;
    if (id) {
        *id = attached ? g_shm_info.id : -1;
    }
    pthread_mutex_unlock(&g_shm_LOCK);
    return attached;
}

ka_shm *ka_shm_segment()
{
    return g_shm_pt;
}

int ka_shm_slot_count()
{
    return g_max_nodes;
}
