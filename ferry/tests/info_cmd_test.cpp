// The info port's grammar and commands, driven through ferry_info_some as the
// worker drives them: every item with its exact reply, several items in one
// body, unknown names and commands, bodies without a final newline, the
// registry order, the parameter lookup at its edges, every settable key of
// set-config with accepted and refused values (stored value and change bit),
// log-set, the statistics with their clamps, the reply cap, and one
// datacenter's values.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "../src/ferry_clusters.h"
#include "../src/ferry_info_server.h"
#include "ferry_fixture.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/fault.h"
#include "tamberlin/ferry_info.h"
#include "tamberlin/ka_cluster.h"
#include "tamberlin/ox_clock.h"
#include "tamberlin/ox_log.h"
#include "tamberlin/rbuffer.h"
#include "tamberlin/tamberlin.h"

namespace {

// The configuration list of the defaults.
const std::string kDefaultConfig =
		"relay-timeout=30000;relay-threads=3;relay-ship-batch-size=500;relay-max-recs-inflight=500;"
		"relay-read-batch-size=500;relay-write-batch-size=100;relay-read-mode=batch;relay-read-threads=1;"
		"relay-local-port=0;relay-digestlog-size=0;relay-ship-delay=0;relay-shipping-enabled=true;"
		"relay-check-data-before-delete=false;relay-nw-timeout=0;relay-hotkey-maxskip=5;"
		"relay-batch-retry-sleep=0;relay-batch-num-retry=0;relay-info-timeout=500;"
		"relay-forward-with-gencheck=0;relay-compression-threshold=0";

// The 40 statistics names in their order.
const std::vector<std::string> kStatNames = {"used-recs-dlog", "total-recs-dlog", "free-dlog-pct",
		"stat_dlog_read", "stat_dlog_write", "stat_dlog_fwrite", "stat_dlog_fread", "stat_dlog_fseek",
		"stat_recs_logged", "stat_recs_relogged", "stat_recs_dropped", "stat_pipe_reads_diginfo",
		"stat_recs_localprocessed", "stat_recs_replprocessed", "stat_recs_shipped", "relay_deletes_shipped",
		"relay_deletes_relogged", "relay_deletes_canceled", "stat_recs_shipping", "stat_recs_outstanding",
		"local_recs_fetched", "local_recs_fetch_avg_latency", "local_recs_migration_retry",
		"local_recs_notfound", "noship_recs_genmismatch", "noship_recs_expired", "noship_recs_notmaster",
		"noship_recs_unknown_namespace", "err_ship_client", "err_ship_server",
		"perdc_timediff_lastship_cur_secs", "timediff_lastship_cur_secs", "cur_throughput", "latency_avg_ship",
		"latency_avg_dlogwrite", "latency_avg_dlogread", "esmt-bytes-shipped", "esmt-bytes-shipped-compression",
		"esmt-ship-compression", "relay-uptime"};

// A reply cap test's command: a value of 3 MiB.
int
big_value(char *, char *, ox_dyn_buf *db)
{
	std::string v(3 * 1024 * 1024, 'x');
	ox_dyn_buf_append_buf(db, v.data(), v.size());
	return 0;
}

std::string g_log_path;

class InfoCmd : public ::testing::Test {
protected:
	static void SetUpTestSuite()
	{
		ferry_info_register_all(); // as the port's start-up does
		ASSERT_EQ(ferry_info_cmd_set("test-big", big_value), 0);
		g_log_path = ferry_test_path("info_cmd_log");
		g_faultsink = ox_fault_sink_hold(g_log_path.c_str());
		ASSERT_NE(g_faultsink, nullptr);
		ASSERT_EQ(ox_fault_sink_activate_all_held(), 0);
		tamberlin_init(); // the clusters whose compression totals the statistics sum
	}
	static void TearDownTestSuite() { unlink(g_log_path.c_str()); }
	void SetUp() override
	{
		ferry_test_reset_config();
		g_xcfg.ferry_nw_timeout = 0;
		cntr = {};
		g_cntr = &cntr;
		rb = {};
		g_rbuf_des = nullptr;
		saved_reclaim = runtime_reclaim;
		runtime_reclaim = 0;
		// Ahead of the clock: the uptime reads 0 however slowly a test runs.
		g_boottime = ox_clock_getabsolute() + 3600 * 1000;
		log_start = ferry_test_read_file(g_log_path).size();
	}
	void TearDown() override
	{
		for (int n = 0; n < DC_MAX_NUM; n++) {
			if (g_rcfg[n].asc) {
				tamberlin_cluster_destroy(g_rcfg[n].asc);
				g_rcfg[n].asc = nullptr;
			}
			g_rcfg[n].cluster_health = CLUSTER_DOWN;
		}
		g_cntr = nullptr;
		g_rbuf_des = nullptr;
		runtime_reclaim = saved_reclaim;
		ferry_test_reset_config();
		if (!cfg_path.empty()) {
			unlink(cfg_path.c_str());
		}
	}
	// The body as the transport hands it over: its bytes only, no terminator.
	static std::string ask(const std::string &body)
	{
		std::vector<char> b(body.begin(), body.end());
		ox_dyn_buf_define(db);
		EXPECT_EQ(ferry_info_some(b.data(), b.data() + b.size(), &db), 0);
		std::string reply((const char *)db.buf, db.used_sz);
		ox_dyn_buf_free(&db);
		return reply;
	}
	// The value of one item of a one-line body.
	static std::string value_of(const std::string &line)
	{
		std::string r = ask(line + "\n");
		size_t tab = r.find('\t');
		EXPECT_NE(tab, std::string::npos) << line;
		EXPECT_EQ(r.back(), '\n') << line;
		return tab == std::string::npos ? "" : r.substr(tab + 1, r.size() - tab - 2);
	}
	std::string log() { return ferry_test_read_file(g_log_path).substr(log_start); }
	// Two datacenters: DC1 with two seeds and an address map, DC2 with
	// neither.
	void two_datacenters()
	{
		if (cfg_path.empty()) {
			cfg_path = ferry_test_write_file("info_cmd_cfg",
				"relay {\n    enable-relay true\n"
				"    datacenter DC1 {\n        dc-node-address-port 10.0.0.1 3000\n"
				"        dc-node-address-port 10.0.0.2 3001\n        dc-int-ext-ipmap 10.0.0.1 192.168.0.1\n"
				"    }\n    datacenter DC2 {\n    }\n}\n");
		}
		read_configfile_ferrysection(&g_xcfg, cfg_path.c_str());
		ASSERT_EQ(g_dc_count, 2);
		g_xcfg.ferry_nw_timeout = 0;
	}
	// A cluster object for a datacenter with these compression totals.
	void cluster_with_totals(int dc, uint64_t uncompressed, uint64_t compressed)
	{
		g_rcfg[dc].asc = tamberlin_cluster_create();
		ASSERT_NE(g_rcfg[dc].asc, nullptr);
		tamberlin_cluster_put_compression_stat(g_rcfg[dc].asc, uncompressed, compressed);
	}

	counters cntr;
	ox_rbuffer rb;
	uint64_t saved_reclaim = 0;
	size_t log_start = 0;
	std::string cfg_path;
};

// ---- Registries and grammar ------------------------------------------------

TEST_F(InfoCmd, RegistryOrderIsTheReverseOfRegistration)
{
	ox_dyn_buf_define(db);
	ASSERT_EQ(ferry_info_all(&db), 0);
	std::string all((const char *)db.buf, db.used_sz);
	ox_dyn_buf_free(&db);
	std::vector<std::string> names;
	std::istringstream in(all);
	for (std::string line; std::getline(in, line);) {
		names.push_back(line.substr(0, line.find('\t')));
	}
	EXPECT_EQ(names, (std::vector<std::string>{"dcs", "statistics", "build"}));
	EXPECT_EQ(all.substr(all.size() - 12), "build\t3.2.9\n");

	// Registering a name again replaces its handler in place.
	ASSERT_EQ(ferry_info_set("build", ferry_get_dcs), 0);
	EXPECT_EQ(ask("build\n"), "build\t\n");
	ASSERT_EQ(ferry_info_set("build", ferry_get_build), 0);
	ox_dyn_buf_define(again);
	ferry_info_all(&again);
	EXPECT_EQ(std::string((const char *)again.buf, again.used_sz).find("dcs\t"), 0u);
	ox_dyn_buf_free(&again);
	EXPECT_EQ(ferry_info_set(nullptr, ferry_get_build), -1);
}

TEST_F(InfoCmd, LineGrammar)
{
	const std::string cfg = kDefaultConfig;
	struct Row {
		const char *why;
		std::string body;
		std::string reply;
	};
	const Row rows[] = {
		{"a name", "build\n", "build\t3.2.9\n"},
		{"a name twice around an unknown one", "build\nnosuch\nbuild\n", "build\t3.2.9\nbuild\t3.2.9\n"},
		{"text behind the last newline", "build\nbuild", "build\t3.2.9\n"},
		{"a single name without newline", "build", ""},
		{"a command without colon answers like a name", "get-config\n", "get-config\t" + cfg + "\n"},
		{"a command with an empty parameter list", "config-get:\n", "config-get:\t" + cfg + "\n"},
		{"a command with colon but no newline", "config-get:", ""},
		{"set-config without parameters", "set-config\n", "set-config\t\n"},
		{"log-set without parameters", "log-set\n", "log-set\t\n"},
		{"no datacenter", "dcs\n", "dcs\t\n"},
		{"a tree of an unknown datacenter", "dc/NOPE\n", "dc/NOPE\t\n"},
		{"a tree without sub-name", "dc/\n", "dc/\t\n"},
		{"only the first slash splits", "dc/DC1/x\n", "dc/DC1/x\t\n"},
		{"an unknown tree", "build/x\n", ""},
		{"an unknown name", "nosuch\n", ""},
		{"an empty line", "\n", ""},
		{"an unknown command", "nosuch:a=1\nbuild\n", "build\t3.2.9\n"},
		{"a name given as a command", "build:x\n", ""},
		{"parameters may hold slashes and colons", "log-set:a/b:c=1\n",
				"log-set:a/b:c=1\terror-invalid-context-or-level\n"},
		{"a command line after an incomplete one is never reached", "log-set:a=1", ""},
		{"items keep the order of the lines", "dcs\nbuild\nlog-set:relay=info\n",
				"dcs\t\nbuild\t3.2.9\nlog-set:relay=info\tok\n"},
		{"names are whole and case-sensitive", "Build\nbuil\nbuild \n", ""},
	};
	for (const Row &r : rows) {
		SCOPED_TRACE(r.why);
		EXPECT_EQ(ask(r.body), r.reply);
	}
	EXPECT_EQ(ferry_test_count_of(log(), "received command nosuch, not registered"), 1);
	EXPECT_EQ(ferry_test_count_of(log(), "received command build, not registered"), 1);
	EXPECT_EQ(ferry_test_count_of(log(), "not registered"), 2) << "an unknown plain line logs nothing";
}

// However many commands of one request are not registered, one INFO line
// tells of them: the first name and how many more. A body of nothing else
// must not turn every 3 bytes into a log line.
TEST_F(InfoCmd, UnregisteredCommandsOfARequestShareOneLogLine)
{
	struct Row {
		const char *why;
		std::string body;
		std::string reply;
		std::string line; // the one line logged
	};
	std::string flood;
	for (int i = 0; i < 100000; i++) {
		flood += "x:\n";
	}
	const Row rows[] = {
		{"one", "nosuch:a=1\nbuild\n", "build\t3.2.9\n", "received command nosuch, not registered\n"},
		{"two of them around an answered line", "first:a\nbuild\nbuild:x\n", "build\t3.2.9\n",
				"received command first, not registered (and 1 more unregistered commands in the request)\n"},
		{"a flood", flood + "build\n", "build\t3.2.9\n",
				"received command x, not registered (and 99999 more unregistered commands in the request)\n"},
	};
	for (const Row &r : rows) {
		SCOPED_TRACE(r.why);
		size_t before = log().size();
		EXPECT_EQ(ask(r.body), r.reply);
		std::string logged = log().substr(before);
		EXPECT_EQ(ferry_test_count_of(logged, "\n"), 1) << logged;
		EXPECT_EQ(ferry_test_count_of(logged, r.line), 1) << logged;
	}
}

// The lines that the commands of one request log: the first 16, then one
// line that counts the rest, whatever the commands (an accepted setting, a
// refused log level); the replies are all there.
TEST_F(InfoCmd, CommandsOfARequestLogSixteenLinesAndACount)
{
	struct Row {
		const char *why;
		std::string line;   // one command line, given 100 times
		std::string answer; // the answer to each
		std::string logged; // the line each logs
	};
	const Row rows[] = {
		{"accepted settings", "set-config:context=relay;relay-ship-delay=0\n", "ok",
				"FERRY shipping delay changed from 0 to 0"},
		{"refused log levels", "log-set:relay=nope\n", "error-invalid-context-or-level",
				"log set command: addcontext failed: context relay level NOPE"},
	};
	for (const Row &r : rows) {
		SCOPED_TRACE(r.why);
		std::string body, reply;
		for (int i = 0; i < 100; i++) {
			body += r.line;
			reply += r.line.substr(0, r.line.size() - 1) + "\t" + r.answer + "\n";
		}
		size_t before = log().size();
		EXPECT_EQ(ask(body), reply);
		std::string logged = log().substr(before);
		EXPECT_EQ(ferry_test_count_of(logged, r.logged), 16) << logged;
		EXPECT_EQ(ferry_test_count_of(logged, "84 more lines that the commands of the request would have logged were left out"), 1)
				<< logged;
		// The next request starts its own count.
		before = log().size();
		EXPECT_EQ(ask(r.line), r.line.substr(0, r.line.size() - 1) + "\t" + r.answer + "\n");
		EXPECT_EQ(ferry_test_count_of(log().substr(before), r.logged), 1);
	}
}

TEST_F(InfoCmd, StatisticsThenDcsInTheirOrder)
{
	std::string r = ask("statistics\ndcs\n");
	ASSERT_EQ(r.find("statistics\tused-recs-dlog=0;"), 0u) << r;
	EXPECT_NE(r.find(";relay-uptime=0\ndcs\t\n"), std::string::npos) << r;
}

TEST_F(InfoCmd, RepliesStopAtTheirCap)
{
	// Two values of 3 MiB fit under the cap; the third and everything after
	// it are left out, with one WARNING.
	std::string r = ask("test-big\ntest-big\ntest-big\nbuild\ntest-big\n");
	size_t line = std::string("test-big\t").size() + 3 * 1024 * 1024 + 1;
	EXPECT_EQ(r.size(), 2 * line);
	EXPECT_LE(r.size(), (size_t)FERRY_INFO_REPLY_MAX);
	EXPECT_EQ(r.find("build"), std::string::npos);
	EXPECT_EQ(ferry_test_count_of(log(), "WARNING (info)"), 1) << log();

	std::string under = ask("test-big\nbuild\n");
	EXPECT_EQ(under.size(), line + std::string("build\t3.2.9\n").size());
	EXPECT_EQ(ferry_test_count_of(log(), "WARNING (info)"), 1);

	// A request's own text longer than the cap is never copied into the
	// reply to be taken back: the reply's buffer stays small.
	for (const std::string head : {"config-get:", "dc/"}) {
		SCOPED_TRACE(head);
		std::string body = head + std::string(FERRY_INFO_REPLY_MAX + 1, 'x') + "\nbuild\n";
		std::vector<char> bytes(body.begin(), body.end());
		ox_dyn_buf_define(db);
		EXPECT_EQ(ferry_info_some(bytes.data(), bytes.data() + bytes.size(), &db), 0);
		EXPECT_EQ(db.used_sz, 0u);
		EXPECT_LT(db.alloc_sz, (size_t)1 << 20);
		ox_dyn_buf_free(&db);
	}
}

TEST_F(InfoCmd, ParameterLookup)
{
	const std::string v99(99, 'v'), v100(100, 'v');
	struct Row {
		std::string params;
		const char *key;
		int size;
		int rv;
		std::string value;
	};
	const Row rows[] = {
		{"context=relay;relay-timeout=5", "relay-timeout", 100, 0, "5"},
		{"context=relay;relay-timeout=5", "context", 100, 0, "relay"},
		{"context=relay;relay-timeout=5", "timeout", 100, -1, ""},
		{"context=relay;relay-timeout=5", "relay", 100, -1, ""},
		{"a=;b=2", "a", 100, 0, ""},
		{"a=;b=2", "b", 100, 0, "2"},
		{"relay-read-threads2=4", "relay-read-threads", 100, -1, ""},
		{"a=1;a=2", "a", 100, 0, "1"},
		{"x=1=2;y=3", "x", 100, 0, "1=2"},
		{" a=1", "a", 100, -1, ""},
		{"a =1", "a", 100, -1, ""},
		{"a=1 ", "a", 100, 0, "1 "},
		{"A=1", "a", 100, -1, ""},
		{"a", "a", 100, -1, ""},
		{"", "a", 100, -1, ""},
		{";;a=7;", "a", 100, 0, "7"},
		{"k=" + v99, "k", 100, 0, v99},
		{"k=" + v100 + ";j=1", "k", 100, -1, ""},
		{"k=" + v100 + ";j=1", "j", 100, 0, "1"},
		{"k=abc", "k", 4, 0, "abc"},
		{"k=abcd", "k", 4, -1, ""},
		{"k=", "k", 1, 0, ""},
		{"k=", "k", 0, -1, ""},
		{"k=", "k", -5, -1, ""},
	};
	for (const Row &r : rows) {
		SCOPED_TRACE(r.params + " / " + r.key + " / " + std::to_string(r.size));
		std::string params = r.params;
		// The buffer is followed by guard bytes that must stay untouched.
		std::vector<char> buf((size_t)std::max(r.size, 0) + 16, 'Z');
		int len = r.size;
		ASSERT_EQ(ferry_info_parameter_get(params.data(), r.key, buf.data(), &len), r.rv);
		for (size_t i = (size_t)std::max(r.size, 0); i < buf.size(); i++) {
			ASSERT_EQ(buf[i], 'Z') << "written past the buffer at " << i;
		}
		if (r.rv == 0) {
			EXPECT_EQ(len, (int)r.value.size());
			EXPECT_EQ(std::string(buf.data()), r.value);
		} else {
			EXPECT_EQ(len, r.size) << "the size is left alone when nothing is found";
		}
	}
	int len = 10;
	char v[10];
	EXPECT_EQ(ferry_info_parameter_get(nullptr, "a", v, &len), -1);
}

// ---- set-config ---------------------------------------------------------------

TEST_F(InfoCmd, SetConfigEverySettableKey)
{
	using Read = std::function<int64_t()>;
	ferry_config &c = g_xcfg;
	ferry_new_config &p = g_xcfg.ferry_new_cfg;
	const Read timeout = [&] { return c.ferry_timeout; };
	const Read threads = [&] { return p.ferry_threads; };
	const Read nw = [&] { return c.ferry_nw_timeout; };
	const Read inflight = [&] { return p.ferry_max_recs_inflight; };
	const Read rbatch = [&] { return p.ferry_read_batch_size; };
	const Read wbatch = [&] { return p.ferry_write_batch_size; };
	const Read mode = [&] { return p.ferry_read_mode; };
	const Read rthreads = [&] { return p.ferry_read_threads; };
	const Read port = [&] { return c.ferry_local_port; };
	const Read delay = [&] { return c.ferry_internal_shipping_delay; };
	const Read maxskip = [&] { return c.ferry_hotkey_maxskip; };
	const Read nretry = [&] { return c.ferry_batch_num_retry; };
	const Read rsleep = [&] { return c.ferry_batch_retry_sleep; };
	const Read trace = [&] { return (rb.flags & RBUFFER_FLAG_TRACE) ? 1 : 0; };
	const Read shipping = [&] { return c.ferry_shipping_enabled; };
	const Read checkdel = [&] { return c.ferry_check_data_before_delete; };
	const Read infot = [&] { return c.ferry_info_request_timeout_ms; };
	const Read gencheck = [&] { return c.ferry_fwd_with_gencheck; };
	const Read threshold = [&] { return c.ferry_compression_threshold; };
	const std::string long_digits(100, '1');
	struct Row {
		std::string params;
		bool ok;
		Read read; // the setting the request should change
		int64_t want; // its value after an accepted request
		int32_t bit;  // the change bit an accepted request sets
	};
	const int B1 = FERRY_WRITE_BATCH_SIZE_CHANGE, B2 = FERRY_MAX_RECS_INFLIGHT_CHANGE,
			B4 = FERRY_NUM_THREADS_CHANGE, B8 = FERRY_RECORD_GET_MODE_CHANGE,
			B10 = FERRY_RECORD_GET_THREADS_CHANGE, B20 = FERRY_READ_BATCH_SIZE_CHANGE;
	const Row rows[] = {
		{"relay-timeout=100", true, timeout, 100, 0},
		{"relay-timeout=2K", true, timeout, 2048, 0},
		{"relay-timeout=0", false, timeout, 0, 0},
		{"relay-timeout=-1", false, timeout, 0, 0},
		{"relay-timeout=", false, timeout, 0, 0},
		{"relay-timeout=-", false, timeout, 0, 0},
		{"relay-timeout=K", false, timeout, 0, 0},
		{"relay-timeout=abc", false, timeout, 0, 0},
		{"relay-timeout=10x", false, timeout, 0, 0},
		{"relay-timeout=10KK", false, timeout, 0, 0},
		{"relay-timeout=4294967396", false, timeout, 0, 0}, // 2^32 + 100 would wrap to 100
		{"relay-timeout=2147483648", false, timeout, 0, 0},
		{"relay-timeout=2147483647", true, timeout, 2147483647, 0},
		{"relay-timeout=99999999999999999999999", false, timeout, 0, 0},
		{"relay-timeout=16777216G", false, timeout, 0, 0},
		{"relay-threads=8", true, threads, 8, B4},
		{"relay-threads=0", false, threads, 0, 0},
		{"relay-threads=32", true, threads, 32, B4},
		// More than the client's 32 receivers would be reported, not run.
		{"relay-threads=33", false, threads, 0, 0},
		{"relay-threads=2147483647", false, threads, 0, 0},
		{"relay-nw-timeout=250", true, nw, 250, 0},
		{"relay-nw-timeout=0", false, nw, 0, 0},
		{"relay-ship-batch-size=700", true, inflight, 700, B2},
		{"relay-ship-batch-size=0", false, inflight, 0, 0},
		{"relay-max-recs-inflight=900", true, inflight, 900, B2},
		{"relay-max-recs-inflight=-5", false, inflight, 0, 0},
		{"relay-read-batch-size=1", true, rbatch, 1, B20},
		{"relay-read-batch-size=1000000", true, rbatch, 1000000, B20},
		{"relay-read-batch-size=1000001", false, rbatch, 0, 0},
		{"relay-read-batch-size=0", false, rbatch, 0, 0},
		{"relay-write-batch-size=1", true, wbatch, 1, B1},
		{"relay-write-batch-size=1000000", true, wbatch, 1000000, B1},
		{"relay-write-batch-size=1000001", false, wbatch, 0, 0},
		{"relay-write-batch-size=-1", false, wbatch, 0, 0},
		{"relay-read-mode=single", true, mode, FERRY_MODE_SINGLE_RECORD_GET, B8},
		{"relay-read-mode=singleton", true, mode, FERRY_MODE_SINGLE_RECORD_GET, B8},
		{"relay-read-mode=batch", true, mode, FERRY_MODE_BATCH_GET, B8},
		{"relay-read-mode=bulk", false, mode, 0, 0},
		{"relay-read-mode=Single", false, mode, 0, 0},
		{"relay-read-threads=1", true, rthreads, 1, B10},
		{"relay-read-threads=64", true, rthreads, 64, B10},
		{"relay-read-threads=0", false, rthreads, 0, 0},
		{"relay-read-threads=65", false, rthreads, 0, 0},
		{"relay-read-threads=-1", false, rthreads, 0, 0},
		{"local-port=3000", true, port, 3000, 0},
		{"local-port=80", false, port, 0, 0},
		{"local-port=65536", false, port, 0, 0},
		{"relay-ship-delay=0", true, delay, 0, 0},
		{"relay-ship-delay=5", true, delay, 5, 0},
		{"relay-ship-delay=-1", false, delay, 0, 0},
		{"relay-hotkey-maxskip=3", true, maxskip, 3, 0},
		{"relay-hotkey-maxskip=0", false, maxskip, 0, 0},
		{"relay-batch-num-retry=0", true, nretry, 0, 0},
		{"relay-batch-num-retry=4", true, nretry, 4, 0},
		{"relay-batch-num-retry=-1", false, nretry, 0, 0},
		{"relay-batch-retry-sleep=2", true, rsleep, 2, 0},
		{"relay-batch-retry-sleep=-1", false, rsleep, 0, 0},
		{"relay-dlog-logging=true", true, trace, 1, 0},
		{"relay-dlog-logging=maybe", false, trace, 0, 0},
		{"relay-shipping-enabled=no", true, shipping, 0, 0},
		{"relay-shipping-enabled=false", true, shipping, 0, 0},
		{"relay-shipping-enabled=maybe", false, shipping, 0, 0},
		{"relay-check-data-before-delete=true", true, checkdel, 1, 0},
		{"relay-check-data-before-delete=yes", true, checkdel, 1, 0},
		{"relay-check-data-before-delete=maybe", false, checkdel, 0, 0},
		{"relay-check-data-before-delete=TRUE", false, checkdel, 0, 0},
		{"relay-info-timeout=1", true, infot, 1, 0},
		{"relay-info-timeout=0", false, infot, 0, 0},
		{"relay-forward-with-gencheck=true", true, gencheck, 1, 0},
		{"relay-forward-with-gencheck=nope", true, gencheck, 0, 0}, // "no" over 2 characters
		{"relay-forward-with-gencheck=x", false, gencheck, 0, 0},
		{"relay-compression-threshold=300", true, threshold, 300, 0},
		{"relay-compression-threshold=0", true, threshold, 0, 0},
		{"relay-compression-threshold=-1", false, threshold, 0, 0},
		// The first key of the table present decides; later ones are ignored.
		{"relay-threads=8;relay-timeout=100", true, timeout, 100, 0},
		// A value of 100 characters counts as absent: the next key decides.
		{"relay-timeout=" + long_digits + ";relay-threads=4", true, threads, 4, B4},
	};
	for (const Row &r : rows) {
		for (const char *cmd : {"set-config", "config-set"}) {
			SCOPED_TRACE(std::string(cmd) + ":" + r.params);
			ferry_test_reset_config();
			g_xcfg.ferry_nw_timeout = 0;
			two_datacenters(); // cluster settings before the clusters exist
			rb = {};
			g_rbuf_des = &rb;
			int64_t before = r.read();
			std::string params = "context=relay;" + r.params;
			EXPECT_EQ(ask(std::string(cmd) + ":" + params + "\n"),
					std::string(cmd) + ":" + params + "\t" + (r.ok ? "ok" : "error") + "\n");
			EXPECT_EQ(r.read(), r.ok ? r.want : before);
			EXPECT_EQ(g_xcfg.ferry_flag.load(), r.ok ? r.bit : 0);
		}
	}
}

TEST_F(InfoCmd, SetConfigRefusesRequestsWithoutRelayContext)
{
	const char *rows[] = {
		"relay-timeout=5",
		"context=Relay;relay-timeout=5",
		"context=relayx;relay-timeout=5",
		"context=;relay-timeout=5",
		"context=relay",
		"context=relay;relay-timeouts=5",
	};
	for (const char *params : rows) {
		SCOPED_TRACE(params);
		EXPECT_EQ(value_of(std::string("set-config:") + params), "error");
		EXPECT_EQ(g_xcfg.ferry_timeout, 30000);
	}
	// Trace needs the digest log.
	EXPECT_EQ(value_of("set-config:context=relay;relay-dlog-logging=true"), "error");
}

TEST_F(InfoCmd, SetConfigShowsInConfigGet)
{
	EXPECT_EQ(value_of("set-config:context=relay;relay-shipping-enabled=yes"), "ok");
	EXPECT_EQ(value_of("set-config:context=relay;relay-forward-with-gencheck=true"), "ok");
	EXPECT_EQ(value_of("set-config:context=relay;relay-compression-threshold=512"), "ok");
	EXPECT_EQ(value_of("set-config:context=relay;relay-threads=9"), "ok");
	std::string cfg = value_of("get-config");
	EXPECT_NE(cfg.find(";relay-shipping-enabled=true;"), std::string::npos);
	EXPECT_NE(cfg.find(";relay-forward-with-gencheck=1;"), std::string::npos);
	EXPECT_NE(cfg.find(";relay-compression-threshold=512"), std::string::npos);
	// A pending value shows only once its owner has applied it.
	EXPECT_NE(cfg.find(";relay-threads=3;"), std::string::npos);
	// A negative value from the file prints as its unsigned 64-bit self.
	g_xcfg.ferry_timeout = -1;
	EXPECT_EQ(value_of("config-get").find("relay-timeout=18446744073709551615;"), 0u);
}

TEST_F(InfoCmd, ClusterSettingsReachClustersMadeBeforeAndAfter)
{
	two_datacenters();
	cluster_with_totals(0, 0, 0); // DC1 exists, DC2 does not yet
	EXPECT_EQ(value_of("set-config:context=relay;relay-info-timeout=1234"), "ok");
	EXPECT_EQ(value_of("set-config:context=relay;relay-compression-threshold=777"), "ok");
	EXPECT_EQ(g_rcfg[0].asc->info_timeout.load(), 1234);
	EXPECT_EQ(g_rcfg[0].asc->compression_stat.compression_threshold, 777);
	EXPECT_EQ(ferry_test_count_of(log(), "FERRY compression threshold for DC 0 changed from 0 to 777"), 1);
	EXPECT_EQ(ferry_test_count_of(log(), "for DC 1"), 0);
	// DC2's cluster is made later and takes the stored values.
	create_cluster(g_dc_xcfg_opt[1].dc_name, &g_rcfg[1], nullptr, 0, nullptr);
	ASSERT_NE(g_rcfg[1].asc, nullptr);
	EXPECT_EQ(g_rcfg[1].asc->compression_stat.compression_threshold, 777);
}

// ---- log-set ------------------------------------------------------------------

TEST_F(InfoCmd, LogSet)
{
	struct Row {
		std::string params;
		std::string reply;
		int ctx;             // a context to check afterwards, or -1
		ox_fault_severity level;
		int client;          // the client's level afterwards, or -1
	};
	const std::string level50(50, 'd');
	const Row rows[] = {
		{"relay=debug", "ok", QM_FERRY, OX_DEBUG, ka::OX_DEBUG},
		{"relay=info", "ok", QM_FERRY, OX_INFO, ka::OX_INFO},
		{"relay=Detail", "ok", QM_FERRY, OX_DETAIL, ka::OX_INFO},
		{"relay=bogus", "error-invalid-context-or-level", QM_FERRY, OX_INFO, -1},
		// An error changes nothing: every pair is checked before any applies.
		{"nosuch=debug", "error-invalid-context-or-level", -1, OX_INFO, -1},
		{"info=debug;relay=bogus", "error-invalid-context-or-level", QM_INFO, OX_INFO, -1},
		{"ox:misc=warning;relay=nope", "error-invalid-context-or-level", OX_MISC, OX_INFO, -1},
		{"ox:misc=warning;misc=warning", "error-invalid-context-or-level", OX_MISC, OX_INFO, -1},
		// Levels by their whole name only.
		{"relay=", "error-invalid-context-or-level", QM_FERRY, OX_INFO, -1},
		{"relay", "error-invalid-context-or-level", QM_FERRY, OX_INFO, -1},
		{"relay=deb", "error-invalid-context-or-level", QM_FERRY, OX_INFO, -1},
		{"relay=debugging", "error-invalid-context-or-level", QM_FERRY, OX_INFO, -1},
		{"relay=" + level50, "error-invalid-context-or-level", QM_FERRY, OX_INFO, -1},
		{"ox:misc=warning", "ok", OX_MISC, OX_WARNING, -1},
		{"info=detail;ox:misc=critical;", "ok", OX_MISC, OX_CRITICAL, -1},
		{"info-port=debug", "ok", QM_INFO, OX_INFO, -1},
		{"", "ok", QM_INFO, OX_INFO, -1},
	};
	for (const Row &r : rows) {
		SCOPED_TRACE(r.params);
		for (int ctx : {(int)QM_FERRY, (int)QM_INFO, (int)QM_INFO_PORT, (int)OX_MISC}) {
			ASSERT_EQ(ox_fault_sink_setcontext(g_faultsink, ox_fault_context_strings[ctx], "INFO"), 0);
		}
		EXPECT_EQ(value_of("log-set:" + r.params), r.reply);
		if (r.ctx >= 0) {
			EXPECT_EQ(g_faultsink->limit[r.ctx], r.level);
		}
		if (r.client >= 0) {
			EXPECT_EQ(ka::g_log_level, r.client);
		}
	}
	EXPECT_EQ(ferry_test_count_of(log(), "log set command: addcontext failed: context relay level BOGUS"), 2);
	for (int ctx : {(int)QM_FERRY, (int)QM_INFO, (int)QM_INFO_PORT, (int)OX_MISC}) {
		ox_fault_sink_setcontext(g_faultsink, ox_fault_context_strings[ctx], "INFO");
	}
	tamberlin_set_debug(false);
}

// ---- Statistics ---------------------------------------------------------------

// name -> value, with the names in their order.
std::vector<std::pair<std::string, std::string>>
stat_pairs(const std::string &v)
{
	std::vector<std::pair<std::string, std::string>> out;
	std::istringstream in(v);
	for (std::string item; std::getline(in, item, ';');) {
		size_t eq = item.find('=');
		out.emplace_back(item.substr(0, eq), eq == std::string::npos ? "" : item.substr(eq + 1));
	}
	return out;
}

TEST_F(InfoCmd, StatisticsWithoutAnythingShipped)
{
	EXPECT_EQ(value_of("statistics"),
			"used-recs-dlog=0;total-recs-dlog=0;free-dlog-pct=0%;stat_dlog_read=0;stat_dlog_write=0;"
			"stat_dlog_fwrite=0;stat_dlog_fread=0;stat_dlog_fseek=0;stat_recs_logged=0;stat_recs_relogged=0;"
			"stat_recs_dropped=0;stat_pipe_reads_diginfo=0;stat_recs_localprocessed=0;"
			"stat_recs_replprocessed=0;stat_recs_shipped=0;relay_deletes_shipped=0;relay_deletes_relogged=0;"
			"relay_deletes_canceled=0;stat_recs_shipping=0;stat_recs_outstanding=0;local_recs_fetched=0;"
			"local_recs_fetch_avg_latency=0;local_recs_migration_retry=0;local_recs_notfound=0;"
			"noship_recs_genmismatch=0;noship_recs_expired=0;noship_recs_notmaster=0;"
			"noship_recs_unknown_namespace=0;err_ship_client=0;err_ship_server=0;"
			"perdc_timediff_lastship_cur_secs=;timediff_lastship_cur_secs=0;cur_throughput=0;"
			"latency_avg_ship=0;latency_avg_dlogwrite=0;latency_avg_dlogread=0;esmt-bytes-shipped=0;"
			"esmt-bytes-shipped-compression=0;esmt-ship-compression=0.00%;relay-uptime=0");
}

TEST_F(InfoCmd, StatisticsValuesAndClamps)
{
	two_datacenters();
	const uint64_t now = ox_clock_getabsolute();
	struct Row {
		const char *why;
		std::function<void(counters &, ox_rbuffer &)> set;
		uint64_t uptime_ago_ms;
		std::map<std::string, std::string> want;
	};
	const Row rows[] = {
		{"every counter in its place",
				[](counters &c, ox_rbuffer &r) {
					r.max_slots = 1000;
					r.read_stat = 11;
					r.write_stat = 12;
					r.fwrite_stat = 13;
					r.fread_stat = 14;
					r.fseek_stat = 15;
					c.dlog_pkts_logged = 600;
					c.dlog_pkts_reclaimed = 100;
					runtime_reclaim = 5;
					c.dlog_pkts_processed = 450;
					c.dlog_pkts_resume_replprocessed = 50;
					c.dlog_pkts_replprocessed = 7;
					c.dlog_pkts_relogged = 21;
					c.dlog_pkts_dropped = 22;
					c.pipe_reads_diginfo = 23;
					c.remote_ship_total = 300;
					c.remote_ship_clientfail = 20;
					c.remote_ship_delete_total = 24;
					c.dlog_deletes_relogged = 25;
					c.dlog_deletes_canceled = 26;
					c.local_recs_fetched = 400;
					c.remote_ship_skipped_genmismatch = 30;
					c.remote_ship_skipped_expired = 10;
					c.local_recs_fetch_latency = 900;
					c.num_batch_calls = 4;
					c.local_recs_migration_retry = 27;
					c.local_recs_notfound = 28;
					c.remote_ship_skipped_notmaster = 29;
					c.remote_ship_skipped_unknown_namespace = 31;
					c.remote_ship_serverfail = 32;
					c.per_dc_counters[0].timediff_lastship_cur = 4999;
					c.per_dc_counters[1].timediff_lastship_cur = 12000;
					c.remote_ship_throughput = 33;
					c.remote_ship_latency = 3000;
					c.dlog_pkts_writelatency = 1200;
					c.dlog_pkts_readlatency = 900;
					c.remote_ship_total_bytes = 34;
				},
				3600 * 1000,
				{{"used-recs-dlog", "495"}, {"total-recs-dlog", "1000"}, {"free-dlog-pct", "51%"},
						{"stat_dlog_read", "11"}, {"stat_dlog_write", "12"}, {"stat_dlog_fwrite", "13"},
						{"stat_dlog_fread", "14"}, {"stat_dlog_fseek", "15"}, {"stat_recs_logged", "600"},
						{"stat_recs_relogged", "21"}, {"stat_recs_dropped", "22"},
						{"stat_pipe_reads_diginfo", "23"}, {"stat_recs_localprocessed", "400"},
						{"stat_recs_replprocessed", "57"}, {"stat_recs_shipped", "300"},
						{"relay_deletes_shipped", "24"}, {"relay_deletes_relogged", "25"},
						{"relay_deletes_canceled", "26"}, {"stat_recs_shipping", "200"},
						{"stat_recs_outstanding", "150"}, {"local_recs_fetched", "400"},
						{"local_recs_fetch_avg_latency", "225"}, {"local_recs_migration_retry", "27"},
						{"local_recs_notfound", "28"}, {"noship_recs_genmismatch", "30"},
						{"noship_recs_expired", "10"}, {"noship_recs_notmaster", "29"},
						{"noship_recs_unknown_namespace", "31"}, {"err_ship_client", "20"},
						{"err_ship_server", "32"}, {"perdc_timediff_lastship_cur_secs", "4,12"},
						{"timediff_lastship_cur_secs", "12"}, {"cur_throughput", "33"},
						{"latency_avg_ship", "10"}, {"latency_avg_dlogwrite", "2"},
						{"latency_avg_dlogread", "2"}, {"esmt-bytes-shipped", "34"},
						{"esmt-bytes-shipped-compression", "0"}, {"esmt-ship-compression", "0.00%"},
						{"relay-uptime", "3600"}}},
		{"differences that would run below 0",
				[](counters &c, ox_rbuffer &r) {
					r.max_slots = 1000;
					c.dlog_pkts_logged = 10;
					c.dlog_pkts_reclaimed = 20;
					c.dlog_pkts_processed = 30;
					c.dlog_pkts_resume_replprocessed = 40;
					c.local_recs_fetched = 5;
					c.remote_ship_skipped_genmismatch = 10;
				},
				0,
				{{"used-recs-dlog", "0"}, {"free-dlog-pct", "100%"}, {"stat_recs_localprocessed", "0"},
						{"stat_recs_shipping", "0"}, {"stat_recs_outstanding", "0"},
						{"stat_recs_replprocessed", "40"}}},
		{"the writer's reclaim taken off as well",
				[](counters &c, ox_rbuffer &r) {
					r.max_slots = 1000;
					c.dlog_pkts_logged = 500;
					c.dlog_pkts_reclaimed = 100;
					runtime_reclaim = 500;
				},
				0, {{"used-recs-dlog", "0"}, {"free-dlog-pct", "100%"}}},
		{"counts past the log's size",
				[](counters &c, ox_rbuffer &r) {
					r.max_slots = 1000;
					c.dlog_pkts_logged = 5000;
					c.dlog_pkts_processed = 1000;
				},
				0, {{"used-recs-dlog", "1000"}, {"free-dlog-pct", "0%"}, {"stat_recs_outstanding", "1000"}}},
		{"a boot time ahead of the clock",
				[](counters &, ox_rbuffer &) {}, 0, {{"relay-uptime", "0"}}},
	};
	for (const Row &r : rows) {
		SCOPED_TRACE(r.why);
		cntr = {};
		rb = {};
		runtime_reclaim = 0;
		r.set(cntr, rb);
		g_rbuf_des = &rb;
		g_boottime = r.uptime_ago_ms ? now - r.uptime_ago_ms : now + 3600 * 1000;
		auto pairs = stat_pairs(value_of("statistics"));
		std::vector<std::string> names;
		for (auto &kv : pairs) {
			names.push_back(kv.first);
		}
		ASSERT_EQ(names, kStatNames);
		for (auto &kv : pairs) {
			auto want = r.want.find(kv.first);
			if (want == r.want.end()) {
				continue;
			}
			if (kv.first == "relay-uptime" && r.uptime_ago_ms) {
				// The clock moves on while the test runs.
				uint64_t up = std::stoull(kv.second);
				EXPECT_GE(up, r.uptime_ago_ms / 1000);
				EXPECT_LE(up, r.uptime_ago_ms / 1000 + 60);
				continue;
			}
			EXPECT_EQ(kv.second, want->second) << kv.first;
		}
	}
}

TEST_F(InfoCmd, CompressionRatio)
{
	two_datacenters();
	struct Row {
		uint64_t unc[2], comp[2];
		std::string total, dc2;
	};
	const Row rows[] = {
		{{600, 400}, {200, 50}, "75.00%", "87.50%"},
		{{3, 0}, {2, 0}, "33.33%", "0.00%"},
		{{0, 0}, {0, 0}, "0.00%", "0.00%"},
		{{100, 100}, {150, 120}, "0.00%", "0.00%"},         // compression that grew the bytes
		{{1ULL << 62, 1ULL << 62}, {1, 1}, "100.00%", "100.00%"}, // large totals fit the text
	};
	for (const Row &r : rows) {
		SCOPED_TRACE(r.total);
		for (int dc = 0; dc < 2; dc++) {
			if (g_rcfg[dc].asc) {
				tamberlin_cluster_destroy(g_rcfg[dc].asc);
			}
			cluster_with_totals(dc, r.unc[dc], r.comp[dc]);
		}
		std::map<std::string, std::string> m;
		for (auto &kv : stat_pairs(value_of("statistics"))) {
			m[kv.first] = kv.second;
		}
		EXPECT_EQ(m["esmt-bytes-shipped-compression"], std::to_string(r.comp[0] + r.comp[1]));
		EXPECT_EQ(m["esmt-ship-compression"], r.total);
		std::string dc2 = value_of("dc/DC2");
		EXPECT_NE(dc2.find(";esmt-bytes-shipped-compression=" + std::to_string(r.comp[1]) +
						  ";esmt-ship-compression=" + r.dc2),
				std::string::npos)
				<< dc2;
	}
}

// ---- Datacenters --------------------------------------------------------------

TEST_F(InfoCmd, DatacenterListsAndTrees)
{
	two_datacenters();
	cntr.per_dc_counters[1].timediff_lastship_cur = 65432;
	cntr.per_dc_counters[1].record_ship_attempts = 17;
	cntr.per_dc_counters[1].delete_ship_attempts = 3;
	g_rcfg[0].cluster_health = CLUSTER_UP;
	g_rcfg[1].cluster_health = CLUSTER_WINDOW_SHIP;
	const std::string dc1 = "relay-dc-state=CLUSTER_UP;relay-dc-timelag=0;relay-dc-rec-ship-attempts=0;"
			"relay-dc-delete-ship-attempts=0;esmt-bytes-shipped-compression=0;esmt-ship-compression=0.00%";
	const std::string dc2 = "relay-dc-state=CLUSTER_WINDOW_SHIP;relay-dc-timelag=65;relay-dc-rec-ship-attempts=17;"
			"relay-dc-delete-ship-attempts=3;esmt-bytes-shipped-compression=0;esmt-ship-compression=0.00%";
	struct Row {
		std::string body, reply;
	};
	const Row rows[] = {
		{"dcs\n", "dcs\tDC1;DC2\n"},
		{"dc/DC1\n", "dc/DC1\t" + dc1 + "\n"},
		{"dc/DC2\n", "dc/DC2\t" + dc2 + "\n"},
		{"dc/DC\n", "dc/DC\t\n"},
		{"dc/dc1\n", "dc/dc1\t\n"},
		{"dc/DC1 \n", "dc/DC1 \t\n"},
		{"dcs\ndc/DC2\n", "dcs\tDC1;DC2\ndc/DC2\t" + dc2 + "\n"},
		{"get-config-extended:\n",
				"get-config-extended:\t" + kDefaultConfig +
						";enable-relay=true;relay-read-threads=1;forward-relay-writes=0"
						";DC=DC_Name=DC1:Nodes=10.0.0.1+3000,10.0.0.2+3001:int-ext-ipmap=10.0.0.1+192.168.0.1"
						";DC=DC_Name=DC2:Nodes=:int-ext-ipmap=\n"},
	};
	for (const Row &r : rows) {
		SCOPED_TRACE(r.body);
		EXPECT_EQ(ask(r.body), r.reply);
	}
}

} // namespace
