/*
 * ferry_clusters: the cluster connections, made by the main thread at
 * start-up. The client's handles are created once and never destroyed.
 */
#pragma once

#include <atomic>
#include <cstdint>

#include "tamberlin/ferry_shared.h"
#include "tamberlin/ox_vector.h"

#define FERRY_REMOTE_ADD_TIMEOUT_MS 10000
#define FERRY_LOCAL_ADD_TIMEOUT_MS 1000
/* A cluster that has nodes but has not settled after this long is named in
 * one WARNING and start-up goes on. */
#define FERRY_CLUSTER_SETTLE_WARN_SECS 60

/* True once the local cluster and every datacenter's cluster exist (threads
 * that ship wait for it). */
extern std::atomic<bool> g_clusters_created;

void create_master(cluster_cfg *mcfg);
int create_cluster(char *cluster_name, cluster_cfg *cfg, ox_vector *node_v, int timeout, ox_vector *addrmap_v);
void create_remote(char *cluster_name, cluster_cfg *rcfg, ox_vector *node_v, ox_vector *addrmap_v);
/* Creates every cluster, waits for their nodes, decides each datacenter's
 * never-expires time to live and sets the tend periods. */
void ferry_clusters_start(thread_data *td);
/* Blocks until g_clusters_created (failed-node threads). */
void ferry_wait_clusters_created(void);
/* The time to live sent for a record that never expires to a remote server of
 * version ver (major, minor, patch): HIVED_INFINITE_TTL_VALUE from 2.7.5 on
 * within major version 2 and from 3.1.5 on after it, 0 for older servers. */
uint32_t ferry_infinite_ttl_for_version(const int ver[3]);
