// Helpers of the shipping and record-fetch tests: the real client library
// with the shipper's callbacks, stand-in remote datacenters and a one-node
// stand-in local cluster, a namespace that replicates to the datacenters, the
// slot table of the current batch, and readers of what a remote received.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "../src/ferry_ship.h"
#include "../src/ferry_windows.h"
#include "ferry_fixture.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ferry.h"
#include "tamberlin/ka_async.h"
#include "tamberlin/ka_batch.h"
#include "tamberlin/ox_clock.h"
#include "tamberlin/ox_shash.h"
#include "testkit/digest.h"
#include "testkit/fake_cluster.h"

namespace road_test {

inline uint64_t
get(const uint64_t &c)
{
	return ox_atomic64_get(&c);
}

inline ka::ox_digest
digest_of(uint32_t i)
{
	return testkit_digest(i, 0x3c);
}

inline std::string
key(const ka::ox_digest &d)
{
	return std::string((const char *)d.digest, sizeof(d.digest));
}

inline std::string
be8(int64_t v)
{
	std::string s(8, '\0');
	for (int i = 7; i >= 0; i--, v >>= 8) {
		s[(size_t)i] = (char)(v & 0xFF);
	}
	return s;
}

inline ka_bin
int_bin(const char *name, int64_t v)
{
	ka_bin b;
	memset(&b, 0, sizeof(b));
	strncpy(b.bin_name, name, sizeof(b.bin_name) - 1);
	tamberlin_object_init_int(&b.object, v);
	return b;
}

inline ka_bin
str_bin(const char *name, const char *v)
{
	ka_bin b;
	memset(&b, 0, sizeof(b));
	strncpy(b.bin_name, name, sizeof(b.bin_name) - 1);
	tamberlin_object_init_str(&b.object, (char *)v);
	return b;
}

inline uint64_t
be_get(const uint8_t *p, int n)
{
	uint64_t v = 0;
	for (int i = 0; i < n; i++) {
		v = v << 8 | p[i];
	}
	return v;
}

// A write or delete as a remote received it.
struct remote_write {
	bool ok = false;
	fake_req_kind kind = FAKE_REQ_ANY;
	uint8_t info1 = 0, info2 = 0;
	uint32_t generation = 0, ttl = 0;
	std::string ns, set, digest;
	bool has_set = false;
	std::vector<std::pair<std::string, std::string>> bins; // name, value bytes
};

inline remote_write
parse_write(const fake_request &rq)
{
	remote_write w;
	const std::string &m = rq.message;
	const auto *b = (const uint8_t *)m.data();
	w.kind = rq.kind;
	if (m.size() < 30) {
		return w;
	}
	w.info1 = b[9];
	w.info2 = b[10];
	w.generation = (uint32_t)be_get(b + 14, 4);
	w.ttl = (uint32_t)be_get(b + 18, 4);
	size_t n_fields = be_get(b + 26, 2), n_ops = be_get(b + 28, 2);
	size_t p = 30;
	for (size_t i = 0; i < n_fields; i++) {
		size_t sz = be_get(b + p, 4);
		std::string data = m.substr(p + 5, sz - 1);
		if (b[p + 4] == 0) {
			w.ns = data;
		} else if (b[p + 4] == 1) {
			w.set = data;
			w.has_set = true;
		} else if (b[p + 4] == 4) {
			w.digest = data;
		}
		p += 4 + sz;
	}
	for (size_t i = 0; i < n_ops; i++) {
		size_t sz = be_get(b + p, 4);
		uint8_t name_sz = b[p + 7];
		w.bins.push_back({m.substr(p + 8, name_sz), m.substr(p + 8 + name_sz, sz - 4 - name_sz)});
		p += 4 + sz;
	}
	w.ok = true;
	return w;
}

// The writes and deletes a stand-in node received, in order.
inline std::vector<remote_write>
writes_of(fake_node *n)
{
	std::vector<remote_write> out;
	for (size_t i = 0; i < fake_node_request_count(n); i++) {
		fake_request rq;
		if (fake_node_request(n, i, &rq) && (rq.kind == FAKE_REQ_WRITE || rq.kind == FAKE_REQ_DELETE)) {
			out.push_back(parse_write(rq));
		}
	}
	return out;
}

inline size_t
count_kind(fake_node *n, fake_req_kind kind)
{
	size_t c = 0;
	for (size_t i = 0; i < fake_node_request_count(n); i++) {
		fake_request rq;
		if (fake_node_request(n, i, &rq) && rq.kind == kind) {
			c++;
		}
	}
	return c;
}

// Every message on the digest-log queue, taken off it.
inline std::vector<ferry_msg>
take_dlog_q()
{
	std::vector<ferry_msg> out;
	ferry_msg m;
	while (ox_queue_pop(g_dlog_q, &m, OX_QUEUE_NOWAIT) == OX_QUEUE_OK) {
		out.push_back(m);
	}
	return out;
}

inline int
pool_size()
{
	return ox_queue_sz(g_diginfo_freepool_q);
}

// The namespace number the tests ship, and its name on every cluster.
constexpr int kNs = 1;
constexpr const char *kNsName = "test";
constexpr int kSlots = 100;

// Remote datacenters and the local cluster as stand-ins, the library started
// with the shipper's callbacks, namespace 1 ("test") replicating to every
// datacenter, an empty slot table of the batch and a test-made free pool.
class RoadTest : public ::testing::Test {
protected:
	int n_dcs = 1;
	int inflight_limit = 100;
	// The namespaces every stand-in cluster serves.
	std::vector<std::string> cluster_namespaces = {kNsName};
	counters cntr;
	std::vector<fake_cluster *> remote_fc;
	fake_cluster *local_fc = nullptr;

	void SetUp() override
	{
		ferry_test_reset_intake(&cntr);
		g_ferry_time_divisor = 1000; // a 1-second retry becomes 1 ms
		ASSERT_EQ(0, tamberlin_init());
		ASSERT_EQ(0, tamberlin_async_init(inflight_limit, 4, ferry_sendfail_cb_fn, ferry_sendsuccess_cb_fn));
		g_diginfo_freepool_q = ox_queue_create(sizeof(digestinfo *), true);
		ASSERT_NE(nullptr, g_diginfo_freepool_q);

		g_ns_xcfg_opt[kNs].ns_name = ox_strdup(kNsName);
		g_ns_xcfg_opt[kNs].ns_id = kNs;
		g_ns_xcfg_opt[kNs].ferry_enabled = true;
		g_ns_xcfg_opt[kNs].ns_dclist_v = ox_vector_create(sizeof(void *), 10, 0);
		g_ns_count = kNs;
		for (int i = 0; i < n_dcs; i++) {
			fake_cluster_cfg cfg;
			cfg.n_nodes = 1;
			cfg.n_partitions = 16;
			cfg.namespaces = cluster_namespaces;
			fake_cluster *fc = fake_cluster_create(cfg);
			ASSERT_NE(nullptr, fc);
			remote_fc.push_back(fc);
			std::string name = "DC" + std::to_string(i + 1);
			g_dc_xcfg_opt[i].dc_name = ox_strdup(name.c_str());
			ox_vector_pointer_append(g_ns_xcfg_opt[kNs].ns_dclist_v, ox_strdup(name.c_str()));
			g_ns_xcfg_opt[kNs].ns_dc_ids[i] = i;
			cluster_cfg *r = &g_rcfg[i];
			r->asc = client_over(fc);
			ASSERT_NE(nullptr, r->asc);
			r->cluster_health = CLUSTER_UP;
			r->cntr = &cntr;
			r->infinite_ttl_value = HIVED_INFINITE_TTL_VALUE;
			r->dc_inuse = true;
			r->ship_times = (ox_ll *)ox_malloc(sizeof(ox_ll));
			ASSERT_NE(nullptr, r->ship_times);
			ox_ll_init(r->ship_times, [](ox_ll_element *e) { destroy_ship_list_elem(e); }, true);
			g_lastshiptime[i] = {1000, FERRY_LST_NONE, FERRY_LST_NONE, 0};
			g_dc_count = i + 1;
		}
		fake_cluster_cfg lcfg;
		lcfg.n_nodes = 1;
		lcfg.n_partitions = 16;
		lcfg.namespaces = cluster_namespaces;
		local_fc = fake_cluster_create(lcfg);
		ASSERT_NE(nullptr, local_fc);
		g_local_cluster = client_over(local_fc);
		ASSERT_NE(nullptr, g_local_cluster);
		ASSERT_EQ(0, ferry_ns_bucket_setup(kNs, kNsName, kSlots));
	}

	void TearDown() override
	{
		// Window managers that a test started (or that a datacenter found
		// down started) end before the clusters they use go.
		g_window_managers_quit = true;
		EXPECT_TRUE(ferry_test_wait_until(
				[] { return g_window_managers_ended.load() == g_window_managers_started.load(); }));
		g_window_managers_quit = false;
		tamberlin_async_shutdown();
		if (g_diginfo_freepool_q) {
			digestinfo *di;
			while (ox_queue_pop(g_diginfo_freepool_q, &di, OX_QUEUE_NOWAIT) == OX_QUEUE_OK) {
				ox_free(di);
			}
			ox_queue_destroy(g_diginfo_freepool_q);
			g_diginfo_freepool_q = nullptr;
		}
		ferry_ns_bucket_free(kNs);
		for (int i = 0; i < (int)remote_fc.size(); i++) {
			if (g_rcfg[i].asc) {
				tamberlin_cluster_destroy(g_rcfg[i].asc);
			}
			if (ox_ll *ll = g_rcfg[i].ship_times) {
				while (ll->head) {
					ox_ll_delete(ll, ll->head);
				}
				ox_free(ll);
			}
			g_rcfg[i] = cluster_cfg{};
			fake_cluster_destroy(remote_fc[i]);
		}
		if (g_local_cluster) {
			tamberlin_cluster_destroy(g_local_cluster);
			g_local_cluster = nullptr;
		}
		if (local_fc) {
			fake_cluster_destroy(local_fc);
		}
		tamberlin_shutdown();
		ox_queue_delete_all(g_dlog_q);
		ferry_test_reset_config();
		g_ferry_time_divisor = 1;
	}

	static ka_cluster *client_over(fake_cluster *fc)
	{
		ka_cluster *asc = tamberlin_cluster_create();
		if (!asc) {
			return nullptr;
		}
		tamberlin_cluster_change_tend_speed(asc, 1000000);
		if (tamberlin_cluster_add_host(asc, "127.0.0.1", (short)fake_cluster_port(fc, 0), 5000) != 0 ||
				tamberlin_cluster_get_nodecount(asc) != 1) {
			tamberlin_cluster_destroy(asc);
			return nullptr;
		}
		return asc;
	}

	fake_node *remote(int i = 0) { return fake_cluster_node(remote_fc[(size_t)i], 0); }
	fake_node *local() { return fake_cluster_node(local_fc, 0); }

	// Callbacks of both kinds so far.
	uint64_t replies() { return get(cntr.remote_ship_total) + get(cntr.remote_ship_clientfail); }

	// One slot of the batch, as the reader fills it.
	int add_slot(const ka::ox_digest &d, uint32_t generation, uint64_t digesttime, uint32_t status = 0,
			ox_node master = 0)
	{
		ns_digest_bucket *b = &g_ns_dbuckets[kNs];
		int32_t s = b->ns_digest_slots_inuse++;
		memcpy(b->ns_digests[s], d.digest, sizeof(d.digest));
		b->generations[s] = generation;
		b->digesttimes[s] = digesttime;
		b->digest_status[s] = status;
		b->masternodes[s] = master;
		EXPECT_EQ(SHASH_OK, shash_put(b->digest_to_idx_hash, d.digest, &s));
		return s;
	}
	bool in_batch(const ka::ox_digest &d)
	{
		return shash_get(g_ns_dbuckets[kNs].digest_to_idx_hash, d.digest, nullptr) == SHASH_OK;
	}
	uint32_t batch_left() { return shash_get_size(g_ns_dbuckets[kNs].digest_to_idx_hash); }

	// A stored local record: set "s1", bins i = n and s = "v<n>".
	fake_record local_record(uint32_t n, uint32_t generation, uint32_t void_time = 0)
	{
		fake_record r;
		r.set = "s1";
		r.generation = generation;
		r.void_time = void_time;
		r.bins = {{"i", 1, be8(n)}, {"s", 3, "v" + std::to_string(n)}};
		fake_node_put_record(local(), kNsName, digest_of(n).digest, r);
		return r;
	}
};

} // namespace road_test
