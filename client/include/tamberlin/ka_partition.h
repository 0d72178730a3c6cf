// Partition tables: per cluster and namespace, the master and the prole node
// of every partition, filled from the nodes' replica lists during the tend and
// read by every request engine to route a digest.
//
// Tables are built whole and then published at the head of the cluster's list
// with a release store; readers walk the list with acquire loads and no lock.
// Each slot has its own mutex, held only while a slot is read or changed and a
// node reference taken or dropped, so no lock is held across partitions.
#pragma once

#include <cstdint>
#include <pthread.h>

#include "tamberlin/ox_digest.h"
#include "tamberlin/ox_vector.h"

struct ka_cluster_s;
struct ka_cluster_node_s;
typedef struct ka_cluster_s ka_cluster;
typedef struct ka_cluster_node_s ka_cluster_node;

typedef uint16_t ka_partition_id;

// Longest namespace name in a replica list, and the table's name field.
#define KA_NS_NAME_MAX 31
// Largest partition count a cluster may report (a power of two).
#define KA_PARTITIONS_MAX 65536u

typedef struct ka_partition_s {
    pthread_mutex_t lock;
    ka_cluster_node *master; // one node reference when not NULL
    ka_cluster_node *prole;  // one node reference when not NULL
} ka_partition;

typedef struct ka_partition_table_s {
    struct ka_partition_table_s *next; // set before the table is published, never changed
    char ns[33];
    ka_partition partitions[]; // the cluster's n_partitions slots
} ka_partition_table;

// Exists only while one replica reply is read (tend thread).
typedef struct ns_partition_map_s {
    char ns[32];
    bool owns[]; // n_partitions flags
} ns_partition_map;

// The partition rule: the digest's first two bytes as a little-endian number,
// masked with the partition count less one. n_partitions is a power of two.
inline ka_partition_id ka_partition_getid(const uint8_t *digest, uint32_t n_partitions)
{
    return (ka_partition_id)((n_partitions - 1) & (uint32_t)(digest[0] | (digest[1] << 8)));
}

// Length in characters of the base64 bitmap of a replica list entry.
inline int ka_partition_bitmap_len(uint32_t n_partitions)
{
    return (int)(((n_partitions + 7) / 8 + 2) / 3 * 4);
}

// True for a partition count the client can route with: a power of two from
// 1 to KA_PARTITIONS_MAX.
inline bool ka_partition_count_valid(uint64_t n)
{
    return n >= 1 && n <= KA_PARTITIONS_MAX && (n & (n - 1)) == 0;
}

// --- Lookups: any thread. Each returned node carries one reference for the
// caller, given back with ka_cluster_node_put. ---

// The node that serves digest d: the partition's master for a
// write, master and prole alternately for a read; the round-robin node when
// the partition count is not known, the namespace has no table or the slot is
// empty. NULL only when the cluster has no node.
ka_cluster_node *ka_cluster_node_get(ka_cluster *asc, const char *ns, const ka::ox_digest *d, bool write);

// The node of one partition, or NULL (no table for ns, or the slot is empty).
ka_cluster_node *ka_partition_table_get(ka_cluster *asc, const char *ns, ka_partition_id pid, bool write);

// The table named exactly ns, or NULL. Lock-free.
ka_partition_table *ka_partition_table_get_by_ns(ka_cluster *asc, const char *ns);

// --- Changes: only the thread that tends the cluster. ---

// A new table of n_partitions empty slots, published at the head of the
// cluster's list; NULL when memory is short or the partition count is not known.
ka_partition_table *ka_partition_table_create(ka_cluster *asc, const char *ns);

// Applies one node's flags of one namespace (n_partitions flags each; proles
// may be NULL). Slots the node held are cleared first; a slot taken from
// another node makes that node's maps be fetched again.
void ka_partition_table_update(ka_cluster *asc, ka_cluster_node *node, const char *ns,
                               const bool *masters, const bool *proles);

// True when node masters at least one partition of any table; otherwise the
// node is also cleared from every prole slot and the result is false.
bool ka_partition_table_is_node_present(ka_cluster *asc, ka_cluster_node *node);

// Releases every slot's node, destroys every lock and frees every table.
// Only when the cluster is destroyed (no lookup can run any more).
void ka_partition_table_destroy_all(ka_cluster *asc);

// --- Replica lists: tend thread. ---

// Reads one replica list ("ns:bitmap;ns:bitmap...") into maps of p_maps_v
// (a vector of ns_partition_map pointers). The list is modified in place.
// Malformed entries are skipped with a warning; an entry without ":" ends
// the list. Nothing is read when n_partitions is not a valid count.
void parse_replicas_map(char *list, int n_partitions, ox_vector *p_maps_v);

// The map of ns in p_maps_v, created (zeroed, appended) when absent; NULL
// when memory is short.
ns_partition_map *ns_partition_map_get(ox_vector *p_maps_v, const char *ns, int n_partitions);

// Decodes a bitmap of exactly ka_partition_bitmap_len(n_partitions)
// characters and sets the owns flag of every partition whose bit is set.
// Returns 0, or -1 (map unchanged) for a wrong length or a character outside
// the base64 alphabet.
int ns_partition_map_set(ns_partition_map *p_map, const char *p_encoded_bitmap, int encoded_bitmap_len,
                         int n_partitions);

// Frees every map of the vector; the vector belongs to the caller.
void ns_partition_map_destroy(ox_vector *p_maps_v);

// Standard base64 decoding of len characters into out, which holds at least
// (len + 3) / 4 * 3 bytes. Reads no byte past in[len - 1]; a short last group
// decodes as if padded. "=" counts as 0 only in the last two places.
// Returns the number of bytes written, or -1 for a character outside the
// alphabet (out may then hold part of the result).
int b64_decode(const uint8_t *in, int len, uint8_t *out);
