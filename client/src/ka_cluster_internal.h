// Shared between the cluster module's files: the global list, the tend
// thread's pacing and its stop flag.
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>

#include "tamberlin/ka_cluster.h"

extern ox_ll cluster_ll;                // cluster_ll_LOCK
extern pthread_mutex_t cluster_ll_LOCK; // before any cluster's LOCK
extern std::atomic<uint32_t> g_clust_tend_speed;

// Milliseconds of one "second" of this module (the test hook's value).
uint32_t ka_cluster_tick_ms();
// Sleeps n ticks; returns false at once when the tend thread is asked to stop.
bool ka_cluster_tend_sleep(uint32_t n_ticks);
// The period of a cluster in ticks (its own, or the global one), at least 1.
uint32_t ka_cluster_period(ka_cluster *asc);

// Thread body of the tend thread.
void *cluster_tender_fn(void *arg);

// True while cluster support is started in this process.
bool ka_cluster_initialized();

// Gives a descriptor back to the node's asynchronous pool right after a whole
// reply came on it (asynchronous receiver): taken again soon, it skips the
// liveness probe (ka_cluster.cpp).
void ka_cluster_node_fd_put_answered(ka_cluster_node *cn, int fd);
// ka_cluster_node_fd_get, telling whether the descriptor skipped the probe
// (given back answered a moment ago): a send that fails on such a one is not
// a failed attempt.
int ka_cluster_node_fd_get_unprobed(ka_cluster_node *cn, bool asyncfd, bool nbconnect, bool *unprobed);
