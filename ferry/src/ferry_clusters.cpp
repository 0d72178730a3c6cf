/*
 * Cluster connections: the client's cluster object of the local cluster and
 * of every datacenter, made once at start-up on the main thread and never
 * destroyed.
 *
 * Start-up waits for each cluster to discover its nodes, but only where the
 * wait can end and matters: a datacenter that no namespace ships to is not
 * waited for, and a cluster that has nodes but never settles (a node listed
 * by its peers that does not answer) is named in one WARNING after a minute
 * and start-up goes on. A cluster with no node at all is still waited for,
 * since nothing could be shipped to or fetched from it.
 *
 * Threads that ship (failed-node threads) may start before this runs; they
 * wait for g_clusters_created, which is set once every cluster exists and
 * every datacenter's time to live is decided. Cluster settings that the info
 * server changes meanwhile are read from g_xcfg when each cluster is made:
 * set-config stores the setting and then looks for the cluster, this file
 * publishes the cluster and then reads the setting (both sequentially
 * consistent), so a change made at any moment reaches every cluster.
 */
#include <atomic>
#include <cstdlib>

#include "ferry_clusters.h"
#include "ferry_windows.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/fault.h"
#include "tamberlin/ka_cluster.h"
#include "tamberlin/ka_lookup.h"
#include "tamberlin/ox_clock.h"
#include "tamberlin/ox_ll.h"

#define FERRY_LOCAL_HOST "127.0.0.1"
#define FERRY_CLUSTER_WAIT_MS 1000

/* Settings that set-config may store while start-up runs; read after the
 * cluster they apply to is published. */
static int32_t
ferry_cfg_live(int32_t &field)
{
	return std::atomic_ref<int32_t>(field).load(std::memory_order_seq_cst);
}

uint32_t
ferry_infinite_ttl_for_version(const int ver[3])
{
	static constexpr int before_3[3] = {2, 7, 5};
	static constexpr int from_3[3] = {3, 1, 5};
	const int *min = ver[0] < 3 ? before_3 : from_3;
	for (int i = 0; i < 3; i++) {
		if (ver[i] != min[i]) {
			return ver[i] < min[i] ? 0 : HIVED_INFINITE_TTL_VALUE;
		}
	}
	return HIVED_INFINITE_TTL_VALUE;
}

static ka_cluster *
ferry_cluster_object(void)
{
	ka_cluster *asc = tamberlin_cluster_create();
	if (!asc) {
		ox_crash(QM_FERRY, OX_GLOBAL, "Failed to allocate memory for cluster object creation");
	}
	return asc;
}

void
create_master(cluster_cfg *mcfg)
{
	ka_cluster *asc = ferry_cluster_object();
	int port = g_xcfg.ferry_local_port;
	int rv = tamberlin_cluster_add_host(asc, FERRY_LOCAL_HOST, (short)port, FERRY_LOCAL_ADD_TIMEOUT_MS);
	if (rv == 0) {
		ox_info(QM_FERRY, "Added host 127.0.0.1:%d to the local cluster", port);
	} else if (rv == -2) {
		ox_warning(QM_FERRY, "Timeout when adding host 127.0.0.1 to the local cluster. Found %d nodes. Continuing...",
				tamberlin_cluster_get_nodecount(asc));
	} else {
		ox_warning(QM_FERRY,
				"Got unexpected error %d when trying to create instance of the local cluster, Continuing...", rv);
	}
	mcfg->asc = asc;
	g_local_cluster = asc;
}

int
create_cluster(char *cluster_name, cluster_cfg *cfg, ox_vector *node_v, int timeout, ox_vector *addrmap_v)
{
	ka_cluster *asc = ferry_cluster_object();
	// Published before the settings are read: set-config applies a change to
	// a cluster it finds, and stores it for the one it does not find yet.
	__atomic_store_n(&cfg->asc, asc, __ATOMIC_SEQ_CST);
	tamberlin_cluster_change_compression_threshold(asc, ferry_cfg_live(g_xcfg.ferry_compression_threshold));
	// Every substitution must be known before the first seed is looked up.
	uint32_t nmap = addrmap_v ? ox_vector_size(addrmap_v) : 0;
	for (uint32_t i = 0; i < nmap; i++) {
		auto *m = (ka_addrmap *)ox_vector_pointer_get(addrmap_v, i);
		tamberlin_cluster_add_addr_map(asc, m->orig, m->alt);
	}
	int rv = 0;
	uint32_t nseeds = node_v ? ox_vector_size(node_v) : 0;
	for (uint32_t i = 0; i < nseeds; i++) {
		auto *seed = (node_addr_port *)ox_vector_pointer_get(node_v, i);
		char *addr = seed->node_addr;
		int port = seed->node_port;
		ox_debug(QM_FERRY, "Trying to add host %s:%d to the cluster %s", addr, port, cluster_name);
		rv = tamberlin_cluster_add_host(asc, addr, (short)port, timeout);
		int count = tamberlin_cluster_get_nodecount(asc);
		if (rv == 0) {
			ox_info(QM_FERRY, "Added host %s:%d to the cluster %s", addr, port, cluster_name);
		} else if (rv == -2) {
			ox_warning(QM_FERRY,
					"Timeout when adding node %s:%d to the cluster %s. cluster size=%d, rv=%d. Continuing...",
					addr, port, cluster_name, count, rv);
		} else if (rv == -1) {
			ox_warning(QM_FERRY,
					"Unable to resolve details of node %s:%d meant for cluster %s. Check if it is legal. Continuing...",
					addr, port, cluster_name);
		} else {
			ox_warning(QM_FERRY,
					"Got unexpected return code %d while trying to add node %s:%d to cluster %s. Continuing...",
					rv, addr, port, cluster_name);
		}
	}
	__atomic_store_n(&cfg->cluster_health, (int32_t)CLUSTER_DOWN, __ATOMIC_SEQ_CST);
	return rv;
}

static void
ferry_ship_list_destroy(ox_ll_element *e)
{
	destroy_ship_list_elem(e);
}

void
create_remote(char *cluster_name, cluster_cfg *rcfg, ox_vector *node_v, ox_vector *addrmap_v)
{
	create_cluster(cluster_name, rcfg, node_v, FERRY_REMOTE_ADD_TIMEOUT_MS, addrmap_v);
	if (!rcfg->ship_times) {
		auto *ll = (ox_ll *)ox_malloc(sizeof(ox_ll));
		if (!ll) {
			ox_crash(QM_FERRY, OX_GLOBAL, "Failed to allocate memory for cluster object creation");
			return;
		}
		ox_ll_init(ll, ferry_ship_list_destroy, true);
		rcfg->ship_times = ll;
	}
}

/* Waits until the cluster has nodes and has settled. name NULL: the local
 * cluster. Past FERRY_CLUSTER_SETTLE_WARN_SECS a cluster with nodes is given
 * up on with one WARNING; false then. */
static bool
ferry_wait_cluster(ka_cluster *asc, const char *name)
{
	uint64_t start = ox_getms();
	uint64_t limit = ferry_scaled_ms(FERRY_CLUSTER_SETTLE_WARN_SECS * 1000);
	for (;;) {
		int count = tamberlin_cluster_get_nodecount(asc);
		if (count > 0 && tamberlin_cluster_settled(asc)) {
			return true;
		}
		if (count > 0 && ox_getms() - start >= limit) {
			if (name) {
				ox_warning(QM_FERRY,
						"The '%s' remote cluster has %d nodes but has not settled after %d secs. Continuing...",
						name, count, FERRY_CLUSTER_SETTLE_WARN_SECS);
			} else {
				ox_warning(QM_FERRY,
						"The local cluster has %d nodes but has not settled after %d secs. Continuing...", count,
						FERRY_CLUSTER_SETTLE_WARN_SECS);
			}
			return false;
		}
		if (name) {
			ox_info(QM_FERRY, "Waiting to discover all the nodes in the '%s' remote cluster. Cluster size=%d",
					name, count);
		} else {
			ox_info(QM_FERRY, "Waiting to discover all the nodes in the local cluster. Cluster size = %d", count);
		}
		ferry_sleep_ms(FERRY_CLUSTER_WAIT_MS);
	}
}

static void
ferry_decide_infinite_ttl(cluster_cfg *rcfg, const char *name)
{
	uint32_t ttl = HIVED_INFINITE_TTL_VALUE;
	if (g_xcfg.ferry_do_version_check) {
		int *ver;
		while ((ver = tamberlin_cluster_get_version(rcfg->asc)) == nullptr) {
			ox_info(QM_FERRY, "Could not do successful info call to '%s' remote cluster. Retrying...", name);
			ferry_sleep_ms(FERRY_CLUSTER_WAIT_MS);
		}
		ttl = ferry_infinite_ttl_for_version(ver);
		free(ver);
	}
	rcfg->infinite_ttl_value = ttl;
	ox_debug(QM_FERRY, "Using %d as infinite_ttl_value for '%s' remote cluster. Cluster size=%d", (int)ttl, name,
			tamberlin_cluster_get_nodecount(rcfg->asc));
}

void
ferry_clusters_start(thread_data *td)
{
	create_master(td->mcfg);
	int ndc = ferry_dc_configured();
	for (int n = 0; n < ndc; n++) {
		dc_config_opt *dc = &g_dc_xcfg_opt[n];
		create_remote(dc->dc_name, &g_rcfg[n], dc->dc_node_v, dc->dc_addr_map_v);
		int info_timeout = ferry_cfg_live(g_xcfg.ferry_info_request_timeout_ms);
		if (info_timeout > 0) {
			tamberlin_cluster_change_info_timeout(g_rcfg[n].asc, info_timeout);
		}
	}
	ferry_wait_cluster(td->mcfg->asc, nullptr);
	for (int n = 0; n < ndc; n++) {
		cluster_cfg *rcfg = &g_rcfg[n];
		const char *name = g_dc_xcfg_opt[n].dc_name;
		if (!rcfg->dc_inuse) {
			// Nothing ships there: its health stays down and its nodes are
			// not waited for, as one that never answers would hold start-up,
			// and all shipping, for ever.
			ox_info(QM_FERRY, "No namespace ships to the '%s' remote cluster. Not waiting for its nodes", name);
			rcfg->infinite_ttl_value = HIVED_INFINITE_TTL_VALUE;
			continue;
		}
		ferry_wait_cluster(rcfg->asc, name);
		__atomic_store_n(&rcfg->cluster_health, (int32_t)CLUSTER_UP, __ATOMIC_SEQ_CST);
		ferry_decide_infinite_ttl(rcfg, name);
	}
	tamberlin_change_tend_speed(60);
	tamberlin_cluster_change_tend_speed(td->mcfg->asc, 1);
	g_clusters_created.store(true);
}
