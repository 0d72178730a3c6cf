// Shared cluster map: several client processes on one host share the work of
// asking a cluster's nodes for their names, services, partition counts and
// replica lists through one System V shared-memory segment.
//
// The first process to switch the map on creates the segment; every attached
// process runs an updater thread, and the one that holds the segment's lock
// (shm_lock, robust and process-shared, held for good) fills the segment once
// a period from its clusters' nodes. The tends of every attached process then
// read the nodes' texts from the segment instead of asking the nodes. When the
// updating process dies, its lock reports the owner's death to the next
// waiter, which takes the role over.
//
// The segment is shared with other processes, so nothing read from it is
// trusted: counts are clamped to the segment's real size, the partition count
// is checked, and every text is copied bounded and terminated. The creator
// writes the ready word last; an attacher that does not see it within a
// bounded wait gives up.
//
// Locks: shm_lock elects the updater across processes; each slot has its own
// robust ninfo_lock, taken for every read or write of the slot's texts and
// generation. Within a process the map's attachment is guarded by a
// reader-writer lock: lookups hold it shared, the switch-off holds it
// exclusive while it detaches, after the updater thread has been joined. The
// updater copies node names and addresses under cluster_ll_LOCK, each
// cluster's LOCK and each node's addr_lock, and makes its network requests
// from the copy with no lock held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/types.h>

#include "tamberlin/ka_cluster.h"
#include "tamberlin/ox_vector.h"

#define KA_SHM_DEFAULT_KEY 229857887 // 0xDB35A5F
#define KA_SHM_DEFAULT_NODES 64
#define KA_SHM_MAX_ADDRESSES 4
#define KA_SHM_SERVICES_SIZE 4065
#define KA_SHM_REPLICAS_SIZE 15096
// Written last by the creator, once the segment is zeroed and its lock set up.
#define KA_SHM_READY_MAGIC 0x5EAD1ED5u
#define KA_SHM_REQUEST_TIMEOUT_MS 500
// How long an attacher waits for the creator to finish setting the segment up.
#define KA_SHM_READY_WAIT_MS 2000

// One node's slot; the same layout in every attached process.
typedef struct ka_shm_ninfo_s {
    struct sockaddr_in address_array[KA_SHM_MAX_ADDRESSES];
    pthread_mutex_t ninfo_lock;    // robust, process-shared
    int32_t address_count;         // ninfo_lock
    uint32_t partition_generation; // ninfo_lock; of the replicas text stored
    char node_name[KA_NODE_NAME_SIZE];
    char services[KA_SHM_SERVICES_SIZE];
    char replicas[KA_SHM_REPLICAS_SIZE];
} ka_shm_ninfo;

// The segment's head; the node slots follow it, and the ready word takes the
// last 8 bytes of the segment.
typedef struct ka_shm_s {
    uint64_t updater_id; // pid of the process that last updated the segment
    int32_t node_count;  // slots in use
    int32_t partition_count;
    pthread_mutex_t shm_lock; // robust, process-shared; held by the updater
} ka_shm;

static_assert(sizeof(pthread_mutex_t) == 40, "the segment's layout needs 40-byte mutexes");
static_assert(offsetof(ka_shm_ninfo, address_array) == 0);
static_assert(offsetof(ka_shm_ninfo, ninfo_lock) == 64);
static_assert(offsetof(ka_shm_ninfo, address_count) == 104);
static_assert(offsetof(ka_shm_ninfo, partition_generation) == 108);
static_assert(offsetof(ka_shm_ninfo, node_name) == 112);
static_assert(offsetof(ka_shm_ninfo, services) == 132);
static_assert(offsetof(ka_shm_ninfo, replicas) == 4197);
static_assert(sizeof(ka_shm_ninfo) == 19296);
static_assert(offsetof(ka_shm, node_count) == 8);
static_assert(offsetof(ka_shm, partition_count) == 12);
static_assert(offsetof(ka_shm, shm_lock) == 16);
static_assert(sizeof(ka_shm) == 56);

#define KA_SHM_HEAD_SIZE sizeof(ka_shm)
#define KA_SHM_READY_SIZE 8
// The segment's size for n slots.
#define KA_SHM_SIZE(n) ((size_t)(n) * sizeof(ka_shm_ninfo) + KA_SHM_HEAD_SIZE + KA_SHM_READY_SIZE)

// Process-local state of the map.
typedef struct ka_shm_info_s {
    int id;        // segment id
    size_t shm_sz; // the segment's real size
    size_t node_sz;
    bool update_thread_end_cond; // stop flag; g_shm_LOCK
    uint32_t update_period;      // seconds (ticks of the cluster module)
} ka_shm_info;

// The updater's copy of one node, taken under the locks.
typedef struct ka_seed_node_s {
    char name[KA_NODE_NAME_SIZE];
    struct sockaddr_in address_array[KA_SHM_MAX_ADDRESSES];
    int address_count;
} ka_seed_node;

// --- Switching on and off (any thread; serialised) ---

// 0 when attached (or attached already), -1 otherwise (the map stays off).
// num_nodes below 1 means 64 slots; key 0 means KA_SHM_DEFAULT_KEY, -1 is
// refused. A new segment gets mode 0600. In a forked child the inherited
// attachment is dropped and the child attaches on its own, with an updater
// thread of its own.
int tamberlin_use_shm(int num_nodes, key_t key);
// Stops and joins this process's updater thread, detaches the segment and
// marks it for removal. 0, or -1 when the segment cannot be detached.
int tamberlin_shm_free();

// Thread body of the updater.
void *ka_shm_updater_fn(void *arg);

// --- Slots (any thread; the caller holds the map, see ka_shm_hold) ---

// 0, or -1 (logged) when the slot's lock cannot be had; a lock whose owner
// died is made consistent and taken.
int ka_shm_node_lock(ka_shm_ninfo *shared_node);
void ka_shm_node_unlock(ka_shm_ninfo *shared_node);
// The slot whose name equals node_name, or NULL.
ka_shm_ninfo *ka_shm_find_node_from_name(const char *node_name);
// The first slot one of whose valid addresses equals sa_in in all 16 bytes.
ka_shm_ninfo *ka_shm_find_node_from_address(struct sockaddr_in *sa_in);
// The segment's partition count, or 0 when it holds none or not a valid one.
int ka_shm_get_partition_count();

// The map stays attached between hold and release (a shared hold of the
// process's attachment); false, and nothing held, when the map is off.
bool ka_shm_hold();
void ka_shm_release();

// --- For the tend (the thread that runs the tend) ---

// True when the map is switched on in this process.
bool ka_shm_on();
// The node name of an address from the map: 0 and node_name (20 bytes) set,
// or -1 when the map is off or does not know the address.
int ka_shm_get_node_name(struct sockaddr_in *sa_in, char *node_name);
// The node check from the map: -1 when the map is off or has no slot of the
// node's name (the tend then asks the node), 0 when it was done.
int ka_shm_ping_node(ka_cluster *asc, ka_cluster_node *cn, ox_vector *services_v);
// Services into the tend's vector; true when the slot's generation differs
// from the node's. Caller holds the map.
bool ka_cluster_node_shm_gen_check(ka_cluster *asc, ka_cluster_node *cn, ka_shm_ninfo *shared,
                                   ox_vector *services_v);
// The slot's replicas text read as a replicas reply. Caller holds the map.
void ka_cluster_node_shm_get_replicas(ka_cluster *asc, ka_cluster_node *cn, ka_shm_ninfo *shared);

// --- For the tests ---

// True while this process's updater thread holds shm_lock.
bool ka_shm_is_updater();
// True while this process is attached; its segment id in *id.
bool ka_shm_attached(int *id);
// The segment's head (NULL when not attached); the caller holds the map.
ka_shm *ka_shm_segment();
// The number of slots the attached segment really has.
int ka_shm_slot_count();
ka_shm_ninfo *ka_shm_slot(ka_shm *shm, int i);
