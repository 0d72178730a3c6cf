// set-config of the cluster settings while start-up makes the clusters: every
// cluster ends with the last value asked for, whether it was made before,
// during or after the change, and the statistics read the clusters as they
// appear.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "../src/ferry_clusters.h"
#include "../src/ferry_info_server.h"
#include "ferry_fixture.h"
#include "tamberlin/ferry_info.h"
#include "tamberlin/ka_cluster.h"
#include "tamberlin/tamberlin.h"

namespace {

constexpr int kDcs = 8;
constexpr int kChanges = 40;

std::string
ask(const std::string &line)
{
	std::string body = line + "\n";
	ox_dyn_buf_define(db);
	ferry_info_some(body.data(), body.data() + body.size(), &db);
	std::string reply((const char *)db.buf, db.used_sz);
	ox_dyn_buf_free(&db);
	return reply;
}

TEST(InfoCmdClusters, SettingsChangedWhileClustersAreMade)
{
	ASSERT_EQ(tamberlin_init(), 0);
	ferry_info_register_all();
	ferry_test_reset_config();
	std::string conf = "relay {\n    enable-relay true\n";
	for (int n = 0; n < kDcs; n++) {
		conf += "    datacenter DC" + std::to_string(n) + " {\n    }\n";
	}
	conf += "}\n";
	std::string path = ferry_test_write_file("info_cmd_mt_cfg", conf);
	read_configfile_ferrysection(&g_xcfg, path.c_str());
	ASSERT_EQ(g_dc_count, kDcs);

	std::atomic<bool> started{false};
	std::thread maker([&] {
		started.store(true);
		for (int n = 0; n < kDcs; n++) {
			create_cluster(g_dc_xcfg_opt[n].dc_name, &g_rcfg[n], nullptr, 0, nullptr);
		}
	});
	ASSERT_TRUE(ferry_test_wait_until([&] { return started.load(); }, 30000));
	for (int v = 1; v <= kChanges; v++) {
		std::string set = "set-config:context=relay;relay-compression-threshold=" + std::to_string(v);
		ASSERT_EQ(ask(set), set + "\tok\n");
		EXPECT_NE(ask("statistics").find(";esmt-bytes-shipped-compression=0;"), std::string::npos);
	}
	maker.join();
	for (int n = 0; n < kDcs; n++) {
		SCOPED_TRACE(n);
		ASSERT_NE(g_rcfg[n].asc, nullptr);
		EXPECT_EQ(g_rcfg[n].asc->compression_stat.compression_threshold, kChanges);
	}
	for (int n = 0; n < kDcs; n++) {
		tamberlin_cluster_destroy(g_rcfg[n].asc);
		g_rcfg[n].asc = nullptr;
	}
	ferry_test_reset_config();
	unlink(path.c_str());
}

} // namespace
