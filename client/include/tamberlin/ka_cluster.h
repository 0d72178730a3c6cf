// Clusters and nodes: the client's view of each database cluster (seeds,
// nodes, partition tables, compression setting, tend settings), the global
// list of clusters and its tend thread, node references, node selection,
// connection pools with their liveness probe, the node's persistent info
// socket, host lookup with address substitution, the tend itself, health,
// and the checks that go to a cluster's seeds.
//
// Locks: cluster_ll_LOCK (the list) is taken before a cluster's LOCK; no
// network call is made while either is held. A cluster is tended by one
// thread at a time (state bit KA_CLUSTER_STATE_TENDING). The tend thread
// picks the clusters it tends under cluster_ll_LOCK, so a cluster that has
// been unlinked is never reached by it; destroy waits for a running tend.
// Nodes are reference-counted blocks: each holder (node_v, a partition slot,
// a request in flight) owns one reference; the last release ends the node.
#pragma once

#include <atomic>
#include <cstdint>
#include <netinet/in.h>
#include <pthread.h>

#include "tamberlin/ka_lookup.h"
#include "tamberlin/ka_partition.h"
#include "tamberlin/ox_ll.h"
#include "tamberlin/ox_queue.h"
#include "tamberlin/ox_vector.h"

#define KA_CLUSTER_STATE_TENDING 0x1u
#define KA_CLUSTER_STATE_DESTROYING 0x2u

#define KA_NODE_NAME_SIZE 20
#define KA_NODE_FD_POOL_MAX 300
#define KA_PARTITION_GENERATION_UNKNOWN 0xFFFFFFFFu

// is_connected results.
#define KA_CONN_ALIVE 0
#define KA_CONN_CLOSED 1
#define KA_CONN_ERROR 2
#define KA_CONN_BADFD 3
#define KA_CONN_STRAY_DATA 4 // bytes wait that no request asked for: not reusable

// A node counts as dead in the health check once intervals_unreachable
// reaches this: three failed checks in a row, or a node whose writes the
// asynchronous engine found unanswered (ka_cluster_node_set_unreachable).
#define KA_NODE_UNREACHABLE_DEAD 3

// Health of a cluster.
typedef enum ka_rvclient_e {
    TAMBERLIN_FAIL_DC_DOWN = 1,
    TAMBERLIN_FAIL_DC_UP = 2,
} ka_rvclient;

struct ka_cluster_compression_stat_s {
    int32_t compression_threshold;
    uint64_t actual_sz;
    uint64_t compressed_sz;
};

// The asynchronous engine's count of one cluster's writes in flight, which it
// bounds to the cluster's share of the in-flight limit. Held by the cluster
// and by each of its writes in flight (a write may be finished after its
// cluster is gone); the last holder frees it (ka_async_share_release).
typedef struct ka_async_share_s {
    std::atomic<int> inflight;
    std::atomic<int> refs;
    std::atomic<bool> writing; // counted among the clusters that have written
} ka_async_share;

typedef struct ka_cluster_s {
    ox_ll_element ll_e; // first member: a cluster is its own list element
    uint32_t state;     // LOCK
    std::atomic<bool> follow;
    std::atomic<bool> nbconnect; // read by request threads
    std::atomic<bool> found_all;
    ox_vector host_str_v;      // char *, owned; LOCK; only appended
    ox_vector host_port_v;     // int; LOCK
    ox_vector host_addr_map_v; // ka_addrmap *; registered before the first seed
    uint32_t last_node;        // LOCK
    ox_vector node_v;          // ka_cluster_node *, one reference each; LOCK
    // Learned once by a tend; 0 = not known. Wider than a partition id so that
    // the largest count (65536) fits.
    std::atomic<uint32_t> n_partitions;
    std::atomic<ka_partition_table *> partition_table_head; // release store, acquire load
    struct ka_cluster_compression_stat_s compression_stat;   // LOCK
    uint32_t ref_count;                                      // LOCK
    std::atomic<uint32_t> tend_speed;                        // seconds; 0 = global period
    std::atomic<int32_t> info_timeout;                       // ms
    ka_async_share *async_share;                             // set at creation, never NULL after
    pthread_mutex_t LOCK;
} ka_cluster;

typedef struct ka_cluster_node_s {
    char name[KA_NODE_NAME_SIZE];
    uint32_t intervals_absent; // tend thread only
    std::atomic<uint32_t> intervals_unreachable;
    ox_vector sockaddr_in_v;        // struct sockaddr_in; addr_lock
    uint32_t partition_generation;  // tend thread only
    ox_queue *conn_q;               // int descriptors, at most KA_NODE_FD_POOL_MAX
    ox_queue *conn_q_asyncfd;       // int descriptors, no limit
    ox_queue *asyncwork_q;          // void *, freed when the node ends
    int info_fd;                    // tend thread only; -1 closed
    pthread_mutex_t addr_lock;      // guards sockaddr_in_v: grown by the tend, read by request threads
    // Kept by the asynchronous engine: its writes in flight to the node,
    // ox_getms() of the node's last reply (0: none yet), the replies that
    // failed since then, and ox_getms() of the first of those.
    std::atomic<int> async_inflight;
    std::atomic<uint64_t> async_last_reply;
    std::atomic<uint32_t> async_failures;
    std::atomic<uint64_t> async_fail_since;
} ka_cluster_node;

// Called with every node that ends, when set (the asynchronous engine sets it
// while its table of in-flight writes exists, to drop the node's entries).
typedef void (*ka_cluster_node_end_fn)(ka_cluster_node *cn);
extern std::atomic<ka_cluster_node_end_fn> g_ka_node_end_hook;

// --- Library and list ---

// Empty cluster list, global tend period 1 s, starts the tend thread. Acts only
// once per process (again in a forked child after the flag was cleared).
int tamberlin_cluster_init();
// Clears the started flag so that a forked child starts cluster support anew.
void tamberlin_cluster_clear_init();
// A new cluster without seeds, linked and tended from now on; NULL when the
// library is not started or memory is short. Count 1 for the caller.
ka_cluster *tamberlin_cluster_create();
// Unlinks (under cluster_ll_LOCK), waits for a running tend, frees everything.
void tamberlin_cluster_destroy(ka_cluster *asc);
// Drops the caller's count; the last holder unlinks and destroys the cluster
// and *asc becomes NULL. Unlinking happens under cluster_ll_LOCK together with
// the drop to 0, so no search can find the cluster once its count is 0.
void tamberlin_cluster_release_or_destroy(ka_cluster **asc);
// Stops the tend thread (flag, then join in the starting process), then
// destroys every cluster.
void tamberlin_cluster_shutdown();

// Test binaries only: the length in ms of the tend thread's 1-second tick and
// of this module's other fixed 1-second waits. 1000 in the product.
void ka_cluster_test_set_tick_ms(uint32_t ms);

// --- Nodes (any thread) ---

// A node with one reference; NULL when memory is short or name is not a valid
// node name (empty, or longer than 19 characters).
ka_cluster_node *ka_cluster_node_create(char *name, struct sockaddr_in *sa_in);
void ka_cluster_node_reserve(ka_cluster_node *cn);
void ka_cluster_node_release(ka_cluster_node *cn); // the last one ends the node
void ka_cluster_node_put(ka_cluster_node *cn);     // same as release
// Node lookups under LOCK; no reference taken.
ka_cluster_node *ka_cluster_node_get_byname(ka_cluster *asc, char *name);
ka_cluster_node *ka_cluster_node_get_byaddr(ka_cluster *asc, struct sockaddr_in *sa_in);
// Round robin; one reference for the caller; NULL when there is no node.
ka_cluster_node *ka_cluster_node_get_random(ka_cluster *asc);
// *n_nodes and a new array of n × 20 bytes of names (caller frees); when the
// array cannot be had, *n_nodes is 0 and *node_names NULL.
void ka_cluster_get_node_names(ka_cluster *asc, int *n_nodes, char **node_names);
// True when one of the node's addresses equals sa_in in all 16 bytes.
bool ka_cluster_node_has_addr(ka_cluster_node *cn, const struct sockaddr_in *sa_in);
// Counts the node dead in the health check at once (why is logged) until a
// good check or a reply makes it alive again. Any thread.
void ka_cluster_node_set_unreachable(ka_cluster_node *cn, const char *why);
// True while the node counts as dead in the health check.
bool ka_cluster_node_unreachable(const ka_cluster_node *cn);

// --- Connections: a descriptor belongs to one thread between get and put ---

// A connected (or connecting) descriptor from the pool, or a new one; -1.
int ka_cluster_node_fd_get(ka_cluster_node *cn, bool asyncfd, bool nbconnect);
// Only after a complete request and reply; a failed descriptor is closed instead.
void ka_cluster_node_fd_put(ka_cluster_node *cn, int fd, bool asyncfd);
// A new non-blocking descriptor connected or connecting to one of the node's
// addresses (a fresh socket for each address tried), or -1.
int ka_cluster_node_fd_create(ka_cluster_node *cn, bool nonblocking);
// Liveness probe without consuming or blocking: KA_CONN_*.
int is_connected(int fd);
// Tend thread only.
bool ka_cluster_node_prep_info_fd(ka_cluster_node *cn);
void ka_cluster_node_close_info_fd(ka_cluster_node *cn);

// --- Setters and getters ---
int tamberlin_cluster_get_nodecount(ka_cluster *asc);
bool tamberlin_cluster_settled(ka_cluster *asc);
void tamberlin_cluster_follow(ka_cluster *asc, bool flag);
void tamberlin_cluster_use_nbconnect(ka_cluster *asc);
void tamberlin_cluster_change_info_timeout(ka_cluster *asc, int msecs);
// 0 returns the cluster to the global period; a negative period becomes 1.
void tamberlin_cluster_change_tend_speed(ka_cluster *asc, int secs);
// The global period; values below 1 become 1.
void tamberlin_change_tend_speed(int secs);
void tamberlin_sleep_for_tender(ka_cluster *asc);
void tamberlin_cluster_get_compression_stat(ka_cluster *asc, uint64_t *actual_sz, uint64_t *compressed_sz);
void tamberlin_cluster_put_compression_stat(ka_cluster *asc, uint64_t actual_sz, uint64_t compressed_sz);

// --- Tending (cluster_tend: the tend thread, or a caller of add_host) ---

void cluster_tend(ka_cluster *asc);
// 0 seed known or a node answers at one of its addresses, -1 host does not
// resolve, -2 no node found within timeout_ms (0 = 100, negative: no wait).
int tamberlin_cluster_add_host(ka_cluster *asc, const char *host_in, short port, int timeout_ms);
ka_rvclient tamberlin_check_cluster_health(ka_cluster *asc);

// Info requests to one address (own connection each).
typedef struct ka_node_info_s {
    char *values;
    char node_name[KA_NODE_NAME_SIZE];
    char *services; // into values, or NULL
    uint32_t partition_generation;
} ka_node_info;

typedef struct ka_replicas_s {
    char *values;
} ka_replicas;

// Copies at most len - 1 characters, always terminates; true when it cut.
bool ka_strncpy(char *trg, const char *src, int len);
int ka_request_node_name(struct sockaddr_in *sa_in, char *node_name, int timeout_ms);
int ka_request_n_partitions(struct sockaddr_in *sa_in, int *n_partitions, int timeout_ms);
int ka_request_node_info(struct sockaddr_in *sa_in, ka_node_info *node_info, int timeout_ms);
int ka_request_replicas(struct sockaddr_in *sa_in, ka_replicas *replicas, int timeout_ms);
int ka_get_node_name(struct sockaddr_in *sa_in, char *node_name, int timeout_ms);
int ka_get_n_partitions(struct sockaddr_in *sa_in, int *n_partitions, int timeout_ms);
void ka_node_info_free(ka_node_info *node_info);
void ka_replicas_free(ka_replicas *replicas);

// Steps of a tend, exposed for the tests (tend thread).
// -1: the reply is malformed (a failed check), 0: unchanged, 1: the maps must
// be fetched.
int ka_cluster_node_parse_check(ka_cluster *asc, ka_cluster_node *cn, char *rbuf, ox_vector *services_v);
void ka_cluster_node_parse_replicas(ka_cluster *asc, ka_cluster_node *cn, char *rbuf);
void cluster_services_parse(ka_cluster *asc, char *services, ox_vector *sockaddr_in_v);

// --- Seed checks and clusters found by seed (caller's thread) ---

int *tamberlin_cluster_get_version(ka_cluster *asc);
int tamberlin_cluster_change_compression_threshold(ka_cluster *asc, int size_in_bytes);
// A cluster with one count for the caller, found by a seed or created.
ka_cluster *tamberlin_cluster_get_or_create(char *host, short port, int timeout_ms);
// Same, by "tamberlin://host[:port][/...]".
ka_cluster *tamberlin_cluster_get(const char *url);
int ka_cluster_get_node_names_byhostportlist(ka_cluster *asc, char *list_nodes, int *n_nodes, char **node_names);
// Reads a decimal TCP port 1..65535 from the whole text; -1 when it is not one.
int ka_parse_port(const char *s);
