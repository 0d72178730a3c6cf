// Cluster connections at start-up, against stand-in clusters: seeds in file
// order with an unresolvable first one, address substitution, the settings
// each datacenter's cluster takes when it is made, the version table of the
// never-expires time to live, a datacenter no namespace uses (not waited
// for), a cluster that never settles (one WARNING, start-up goes on) beside
// one that has no node yet (waited for until it has), and failed-node
// threads that wait until the clusters exist.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>

#include "../src/ferry_clusters.h"
#include "ferry_fixture.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ferry.h"
#include "tamberlin/ka_cluster.h"
#include "tamberlin/ka_lookup.h"
#include "tamberlin/tamberlin.h"
#include "testkit/fake_cluster.h"
#include "testkit/numeric_resolver.h"

namespace {

const int kDeadlineMs = 60000;

class Clusters : public ::testing::Test {
protected:
	static void SetUpTestSuite()
	{
		g_ka_resolver = testkit_numeric_resolver;
		tamberlin_init();
	}
	void SetUp() override
	{
		log_path = ferry_test_log_once("clusters_log", "debug");
		ASSERT_FALSE(log_path.empty());
		log_start = ferry_test_read_file(log_path).size();
		ferry_test_reset_config();
		g_clusters_created.store(false);
		memset(&mcfg, 0, sizeof(mcfg));
		td = {&cntr, &mcfg, g_rcfg};
	}
	void TearDown() override
	{
		g_ferry_time_divisor.store(1);
		ka_cluster_test_set_tick_ms(1000);
		tamberlin_change_tend_speed(1);
		if (mcfg.asc) {
			tamberlin_cluster_destroy(mcfg.asc);
		}
		g_local_cluster = nullptr;
		for (int n = 0; n < DC_MAX_NUM; n++) {
			if (g_rcfg[n].asc) {
				tamberlin_cluster_destroy(g_rcfg[n].asc);
			}
			ox_free(g_rcfg[n].ship_times);
			memset(&g_rcfg[n], 0, sizeof(g_rcfg[n]));
		}
		for (fake_cluster *fc : made) {
			fake_cluster_destroy(fc);
		}
		ferry_test_reset_config();
		g_clusters_created.store(true);
		unlink(cfg_path.c_str());
	}
	fake_cluster *cluster(int nodes, const char *build = "3.2.9")
	{
		fake_cluster_cfg c;
		c.n_nodes = nodes;
		c.build = build;
		fake_cluster *fc = fake_cluster_create(c);
		EXPECT_NE(fc, nullptr);
		made.push_back(fc);
		return fc;
	}
	// Parses and checks a configuration: relay settings, datacenter blocks,
	// and the namespaces' datacenter lists, as start-up would.
	void configure(int local_port, const std::string &relay, const std::string &dcs, const std::string &nsdcs)
	{
		std::ostringstream c;
		c << "namespace test {\n    enable-relay true\n" << nsdcs << "}\n"
		  << "relay {\n    enable-relay true\n    namedpipe-path /tmp/p\n    digestlog-path /tmp/d 1M\n"
		  << "    local-node-port " << local_port << "\n    info-port 3004\n"
		  << relay << dcs << "}\n";
		cfg_path = ferry_test_write_file("clusters_cfg", c.str());
		read_configfile_ferrysection(&g_xcfg, cfg_path.c_str());
		ferry_config_checks(&g_xcfg);
	}
	std::string log() { return ferry_test_read_file(log_path).substr(log_start); }
	bool wait_log(const std::string &text, int times = 1)
	{
		return ferry_test_wait_until([&] { return ferry_test_count_of(log(), text) >= times; }, kDeadlineMs);
	}
	static std::string dc(const char *name, const std::string &body)
	{
		return std::string("    datacenter ") + name + " {\n" + body + "    }\n";
	}
	static std::string seed(const char *host, int port)
	{
		return "        dc-node-address-port " + std::string(host) + " " + std::to_string(port) + "\n";
	}

	std::string log_path;
	size_t log_start = 0;
	std::string cfg_path;
	counters cntr = {};
	cluster_cfg mcfg;
	thread_data td;
	std::vector<fake_cluster *> made;
};

TEST(ClusterVersion, NeverExpiresTimeToLiveByVersion)
{
	struct Row {
		int ver[3];
		uint32_t ttl;
	};
	const uint32_t inf = HIVED_INFINITE_TTL_VALUE;
	const Row rows[] = {
		{{1, 9, 9}, 0},
		{{2, 6, 9}, 0},
		{{2, 7, 4}, 0},
		{{2, 7, 5}, inf},
		{{2, 7, 6}, inf},
		{{2, 8, 0}, inf},
		{{3, 0, 9}, 0},
		{{3, 1, 4}, 0},
		{{3, 1, 5}, inf},
		{{3, 2, 0}, inf},
		{{4, 0, 0}, inf},
	};
	for (const Row &r : rows) {
		SCOPED_TRACE(std::to_string(r.ver[0]) + "." + std::to_string(r.ver[1]) + "." + std::to_string(r.ver[2]));
		EXPECT_EQ(ferry_infinite_ttl_for_version(r.ver), r.ttl);
	}
}

// Seeds, address map, settings and versions of three datacenters, one of
// which no namespace uses.
TEST_F(Clusters, DatacentersFromTheirSeeds)
{
	fake_cluster *local = cluster(1);
	fake_cluster *old = cluster(2, "2.7.4");
	fake_cluster *cur = cluster(2, "3.2.9");
	int old_port = fake_cluster_port(old, 0), cur_port = fake_cluster_port(cur, 1);
	configure(fake_cluster_port(local, 0),
			"    relay-do-version-check true\n    relay-info-timeout 1234\n    relay-compression-threshold 300\n",
			dc("OLD", seed("no-such-host.invalid", 3000) + seed("127.0.0.1", old_port)) +
					dc("CUR", "        dc-int-ext-ipmap cur.example 127.0.0.1\n" + seed("cur.example", cur_port)) +
					dc("IDLE", seed("idle.invalid", 3000)),
			"    relay-remote-datacenter OLD\n    relay-remote-datacenter CUR\n");
	// A set-config of a cluster setting before the clusters exist.
	std::atomic_ref<int32_t>(g_xcfg.ferry_compression_threshold).store(500);
	ferry_clusters_start(&td);
	std::string l = log();

	EXPECT_TRUE(g_clusters_created.load());
	EXPECT_EQ(g_local_cluster, mcfg.asc);
	ASSERT_NE(mcfg.asc, nullptr);
	EXPECT_NE(l.find("Added host 127.0.0.1:" + std::to_string(fake_cluster_port(local, 0)) + " to the local cluster"),
			std::string::npos);
	// The unresolvable first seed: one WARNING, the second is added.
	EXPECT_EQ(ferry_test_count_of(l, "Unable to resolve details of node no-such-host.invalid:3000 meant for cluster OLD. "
				"Check if it is legal. Continuing..."), 1)
			<< l;
	EXPECT_NE(l.find("Added host 127.0.0.1:" + std::to_string(old_port) + " to the cluster OLD"), std::string::npos);
	// The seed's name is looked up under its substitute.
	EXPECT_NE(l.find("Added host cur.example:" + std::to_string(cur_port) + " to the cluster CUR"), std::string::npos)
			<< l;
	EXPECT_EQ(tamberlin_cluster_get_nodecount(g_rcfg[0].asc), 2);
	EXPECT_EQ(tamberlin_cluster_get_nodecount(g_rcfg[1].asc), 2);
	// The datacenter nobody ships to is not waited for.
	EXPECT_NE(l.find("No namespace ships to the 'IDLE' remote cluster. Not waiting for its nodes"), std::string::npos);
	EXPECT_EQ(l.find("Waiting to discover all the nodes in the 'IDLE' remote cluster"), std::string::npos);

	EXPECT_EQ(g_rcfg[0].cluster_health, CLUSTER_UP);
	EXPECT_EQ(g_rcfg[1].cluster_health, CLUSTER_UP);
	EXPECT_EQ(g_rcfg[2].cluster_health, CLUSTER_DOWN);
	EXPECT_EQ(g_rcfg[0].infinite_ttl_value, 0u);
	EXPECT_EQ(g_rcfg[1].infinite_ttl_value, HIVED_INFINITE_TTL_VALUE);
	EXPECT_NE(l.find("Using 0 as infinite_ttl_value for 'OLD' remote cluster. Cluster size=2"), std::string::npos);
	EXPECT_NE(l.find("Using -1 as infinite_ttl_value for 'CUR' remote cluster. Cluster size=2"), std::string::npos);
	for (int n = 0; n < 3; n++) {
		SCOPED_TRACE(n);
		ASSERT_NE(g_rcfg[n].asc, nullptr);
		EXPECT_NE(g_rcfg[n].ship_times, nullptr);
		EXPECT_EQ(g_rcfg[n].asc->info_timeout.load(), 1234);
		EXPECT_EQ(g_rcfg[n].asc->compression_stat.compression_threshold, 500);
		EXPECT_EQ(g_rcfg[n].asc->tend_speed.load(), 0u) << "datacenters take the 60-second period";
	}
	EXPECT_EQ(mcfg.asc->info_timeout.load(), 500) << "the local cluster keeps the library's own";
	EXPECT_EQ(mcfg.asc->compression_stat.compression_threshold, 0);
	EXPECT_EQ(mcfg.asc->tend_speed.load(), 1u);
}

// Without the version check no version is asked for and every datacenter
// sends -1; an info timeout of 0 leaves the library's own.
TEST_F(Clusters, NoVersionCheckAndNoInfoTimeout)
{
	fake_cluster *local = cluster(1);
	fake_cluster *old = cluster(1, "2.0.0");
	configure(fake_cluster_port(local, 0), "",
			dc("OLD", seed("127.0.0.1", fake_cluster_port(old, 0))), "    relay-remote-datacenter OLD\n");
	// No info timeout: neither the file nor set-config take 0 any more, but
	// should the setting hold none, the clusters keep their own.
	g_xcfg.ferry_info_request_timeout_ms = 0;
	ferry_clusters_start(&td);
	EXPECT_EQ(g_rcfg[0].infinite_ttl_value, HIVED_INFINITE_TTL_VALUE);
	EXPECT_EQ(g_rcfg[0].asc->info_timeout.load(), 500);
	EXPECT_EQ(log().find("Could not do successful info call"), std::string::npos);
}

// One datacenter has a node that never settles (its peer list names an
// address nobody answers at): after the scaled minute it is named once and
// start-up goes on. Another has no node yet: start-up waits for it past the
// same limit, until its node answers.
TEST_F(Clusters, UnsettledIsWarnedEmptyIsWaitedFor)
{
	fake_cluster *local = cluster(1);
	fake_cluster *loose = cluster(1);
	fake_cluster_set_item(loose, 0, "services", "127.0.0.1:1");
	fake_cluster *late = cluster(1);
	fake_cluster_stop_node(late, 0);
	configure(fake_cluster_port(local, 0), "",
			dc("LOOSE", seed("127.0.0.1", fake_cluster_port(loose, 0))) +
					dc("LATE", seed("127.0.0.1", fake_cluster_port(late, 0))),
			"    relay-remote-datacenter LOOSE\n    relay-remote-datacenter LATE\n");
	g_ferry_time_divisor.store(100);
	ka_cluster_test_set_tick_ms(10);
	std::atomic<bool> done{false};
	std::thread starter([&] {
		ferry_clusters_start(&td);
		done.store(true);
	});
	const std::string late_wait = "Waiting to discover all the nodes in the 'LATE' remote cluster. Cluster size=0";
	// Well past the scaled 60 seconds (600 ms at 10 ms a wait).
	bool waited = wait_log(late_wait, 120);
	EXPECT_FALSE(done.load()) << "start-up went on without a node of LATE";
	EXPECT_EQ(fake_cluster_restart_node(late, 0), 0);
	EXPECT_TRUE(ferry_test_wait_until([&] { return done.load(); }, kDeadlineMs));
	if (done.load()) {
		starter.join();
	} else {
		starter.detach(); // the test has failed; the process ends anyway
	}
	EXPECT_TRUE(waited);
	std::string l = log();
	EXPECT_EQ(ferry_test_count_of(l, "The 'LOOSE' remote cluster has 1 nodes but has not settled after 60 secs. Continuing..."), 1)
			<< l;
	EXPECT_EQ(ferry_test_count_of(l, "'LATE' remote cluster has"), 0);
	EXPECT_EQ(g_rcfg[0].cluster_health, CLUSTER_UP);
	EXPECT_EQ(g_rcfg[1].cluster_health, CLUSTER_UP);
	EXPECT_GE(tamberlin_cluster_get_nodecount(g_rcfg[1].asc), 1);
	EXPECT_TRUE(g_clusters_created.load());
}

// A failed-node thread started before the clusters exist waits for them.
TEST_F(Clusters, FailedNodeThreadWaitsForTheClusters)
{
	fake_cluster *local = cluster(1);
	fake_cluster *remote = cluster(1);
	configure(fake_cluster_port(local, 0), "", dc("DC", seed("127.0.0.1", fake_cluster_port(remote, 0))),
			"    relay-remote-datacenter DC\n");
	auto *fi = (failover_info *)ox_malloc(sizeof(failover_info));
	ASSERT_NE(fi, nullptr);
	fi->slotnumber = 0;
	fi->td = &td;
	pthread_t tid;
	ASSERT_EQ(pthread_create(&tid, nullptr, ferry_handle_failover, fi), 0);
	ASSERT_TRUE(wait_log("Waiting for the cluster connections to be made"));
	int early = pthread_tryjoin_np(tid, nullptr);
	EXPECT_EQ(early, EBUSY) << "the thread went on before the clusters existed";
	ferry_clusters_start(&td);
	if (early != 0) {
		struct timespec until;
		clock_gettime(CLOCK_REALTIME, &until);
		until.tv_sec += kDeadlineMs / 1000;
		EXPECT_EQ(pthread_timedjoin_np(tid, nullptr, &until), 0);
	}
}

} // namespace
