// The configuration parse and its checks, as tables of configuration texts:
// texts that must be accepted with the values they give, texts the parse
// refuses (CRITICAL short form, SIGINT) and texts the checks refuse
// (CRITICAL full form, abort), each with its exact message and line.
#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>

#include "config_template.h"
#include "ferry_fixture.h"
#include "tamberlin/fault.h"
#include "tamberlin/ferry_shared.h"
#include "tamberlin/ox_log.h"
#include "tamberlin/utils.h"

namespace {

using namespace std::string_literals;

std::string
repeat(int n, const std::function<std::string(int)> &f)
{
	std::string s;
	for (int i = 0; i < n; i++) {
		s += f(i);
	}
	return s;
}

// 1-based number of the first physical line holding needle.
int
line_of(const std::string &text, const std::string &needle)
{
	size_t at = text.find(needle);
	int line = 1;
	for (size_t i = 0; i < at; i++) {
		line += text[i] == '\n';
	}
	return line;
}

void
parse(const std::string &text)
{
	std::string path = ferry_test_write_file("cfg", text);
	read_configfile_ferrysection(&g_xcfg, path.c_str());
}

void
parse_and_check(const std::string &text)
{
	parse(text);
	ferry_config_checks(&g_xcfg);
}

class Config : public ::testing::Test {
protected:
	void SetUp() override
	{
		ferry_test_reset_config();
	}
	void TearDown() override { ferry_test_reset_config(); }
};

uint32_t
dc_list_size(int ns)
{
	return g_ns_xcfg_opt[ns].ns_dclist_v ? ox_vector_size(g_ns_xcfg_opt[ns].ns_dclist_v) : 0;
}

// A text that gives every key a value other than its default.
std::string
every_key_text()
{
	return conf({{"RELAY",
		"    {\n"
		"    relay-pidfile /tmp/ferry.pid\n"
		"    batch-size 700\n"
		"    digestlog-overwrite no\n"
		"    digestlog-persist FALSE\n"
		"    forward-relay-writes whatever\n"
		"    stop-writes-norelay whatever\n"
		"    relay-delete-shipping-enabled whatever\n"
		"    relay-nsup-deletes-enabled whatever\n"
		"    threads 7\n"
		"    timeout 1000\n"
		"    relay-batch-num-retry 2\n"
		"    relay-batch-retry-sleep 3\n"
		"    relay-forward-with-gencheck yes\n"
		"    relay-hotkey-maxskip 9\n"
		"    relay-shipping-enabled false\n"
		"    relay-info-timeout 250\n"
		"    relay-compression-threshold 1K\n"
		"    relay-write-batch-size 50\n"
		"    relay-read-batch-size 9000\n"
		"    relay-ship-delay 4\n"
		"    relay-check-data-before-delete true\n"
		"    relay-read-threads 6\n"
		"    relay-read-mode single\n"
		"    relay-do-version-check true\n"},
		{"DC", "        dc-int-ext-ipmap 10.0.0.1 192.0.2.1\n        dc-node-address-port seed2 3020\n"},
		{"NS", "    default-ttl 2d\n    max-ttl 90m\n"}});
}

TEST_F(Config, EveryKeySetsItsField)
{
	parse_and_check(every_key_text());
	ferry_config *c = &g_xcfg;
	EXPECT_TRUE(c->ferry_global_enabled);
	EXPECT_STREQ(c->ferry_digestpipe_path, "/tmp/ferry.pipe");
	EXPECT_EQ(c->uid, 0u);
	EXPECT_EQ(c->gid, 0u);
	EXPECT_EQ(c->ferry_info_port, 3004);
	EXPECT_EQ(c->ferry_local_port, 3000);
	EXPECT_STREQ(c->ferry_digestlog_path[0], "/tmp/ferry.dlog");
	EXPECT_EQ(c->ferry_digestlog_file_size[0], 100ull << 20);
	EXPECT_EQ(c->ferry_num_digestlog_paths, 1);
	EXPECT_FALSE(c->ferry_digestlog_overwrite);
	EXPECT_FALSE(c->ferry_digestlog_persist);
	EXPECT_STREQ(c->ferry_pidfile, "/tmp/ferry.pid");
	EXPECT_EQ(c->ferry_max_recs_inflight, 700);
	EXPECT_EQ(c->ferry_threads, 7);
	EXPECT_EQ(c->ferry_timeout, 1000);
	EXPECT_EQ(c->ferry_batch_num_retry, 2);
	EXPECT_EQ(c->ferry_batch_retry_sleep, 3);
	EXPECT_TRUE(c->ferry_fwd_with_gencheck);
	EXPECT_EQ(c->ferry_hotkey_maxskip, 9);
	EXPECT_FALSE(c->ferry_shipping_enabled);
	EXPECT_EQ(c->ferry_info_request_timeout_ms, 250);
	EXPECT_EQ(c->ferry_compression_threshold, 1024);
	EXPECT_EQ(c->ferry_write_batch_size, 50);
	EXPECT_EQ(c->ferry_read_batch_size, 9000);
	EXPECT_EQ(c->ferry_internal_shipping_delay, 4);
	EXPECT_TRUE(c->ferry_check_data_before_delete);
	EXPECT_EQ(c->ferry_read_threads, 6);
	EXPECT_EQ(c->ferry_new_cfg.ferry_read_threads, 6);
	EXPECT_EQ(c->ferry_read_mode, FERRY_MODE_SINGLE_RECORD_GET);
	EXPECT_TRUE(c->ferry_do_version_check);
	// Keys that are accepted and have no effect leave their defaults.
	EXPECT_TRUE(c->ferry_delete_shipping_enabled);
	EXPECT_FALSE(c->ferry_nsup_deletes_enabled);
	// The change block keeps its defaults apart from the read threads.
	EXPECT_EQ(c->ferry_new_cfg.ferry_write_batch_size, 100);
	EXPECT_EQ(c->ferry_new_cfg.ferry_read_batch_size, 500);

	ASSERT_EQ(g_ns_count, 1);
	EXPECT_STREQ(g_ns_xcfg_opt[1].ns_name, "test");
	EXPECT_EQ(g_ns_xcfg_opt[1].ns_id, 1);
	EXPECT_TRUE(g_ns_xcfg_opt[1].ferry_enabled);
	EXPECT_EQ(g_ns_xcfg_opt[1].default_ttl, 2u * 86400);
	EXPECT_EQ(g_ns_xcfg_opt[1].max_ttl, 5400u);
	EXPECT_EQ(g_ns_xcfg_opt[1].ns_dc_ids[0], 0);
	EXPECT_EQ(g_ns_xcfg_opt[1].ns_dc_ids[1], -1);

	ASSERT_EQ(g_dc_count, 1);
	dc_config_opt *dc = &g_dc_xcfg_opt[0];
	EXPECT_STREQ(dc->dc_name, "DC1");
	ASSERT_EQ(ox_vector_size(dc->dc_node_v), 2u);
	auto *seed = (node_addr_port *)ox_vector_pointer_get(dc->dc_node_v, 1);
	EXPECT_STREQ(seed->node_addr, "seed2");
	EXPECT_EQ(seed->node_port, 3020);
	ASSERT_EQ(ox_vector_size(dc->dc_addr_map_v), 1u);
	auto *pair = (ka_addrmap *)ox_vector_pointer_get(dc->dc_addr_map_v, 0);
	EXPECT_STREQ(pair->orig, "10.0.0.1");
	EXPECT_STREQ(pair->alt, "192.0.2.1");
	EXPECT_TRUE(g_rcfg[0].dc_inuse);
}

// Every field that the defaults set, as they set it.
void
expect_defaults(const ferry_config *c)
{
	EXPECT_FALSE(c->ferry_global_enabled);
	EXPECT_EQ(c->uid, 0u);
	EXPECT_EQ(c->gid, 0u);
	EXPECT_EQ(c->ferry_info_port, 0);
	EXPECT_TRUE(c->ferry_digestlog_overwrite);
	EXPECT_TRUE(c->ferry_digestlog_persist);
	EXPECT_EQ(c->ferry_num_digestlog_paths, 0);
	EXPECT_EQ(c->ferry_digestpipe_fd, -1);
	EXPECT_EQ(c->ferry_local_port, 0);
	EXPECT_EQ(c->ferry_write_batch_size, 100);
	EXPECT_EQ(c->ferry_max_recs_inflight, 500);
	EXPECT_EQ(c->ferry_read_batch_size, 500);
	EXPECT_EQ(c->ferry_timeout, 30000);
	EXPECT_EQ(c->ferry_threads, 3);
	EXPECT_EQ(c->ferry_forward_ferrywrites, 0);
	EXPECT_EQ(c->ferry_stop_writes_noferry, 0);
	EXPECT_EQ(c->ferry_internal_shipping_delay, 0);
	EXPECT_EQ(c->ferry_flag.load(), 0);
	EXPECT_EQ(c->ferry_new_cfg.ferry_write_batch_size, 100);
	EXPECT_EQ(c->ferry_new_cfg.ferry_max_recs_inflight, 500);
	EXPECT_EQ(c->ferry_new_cfg.ferry_read_batch_size, 500);
	EXPECT_EQ(c->ferry_new_cfg.ferry_threads, 3);
	EXPECT_EQ(c->ferry_new_cfg.ferry_read_mode, FERRY_MODE_BATCH_GET);
	EXPECT_EQ(c->ferry_new_cfg.ferry_read_threads, 1);
	EXPECT_TRUE(c->ferry_shipping_enabled);
	EXPECT_TRUE(c->ferry_delete_shipping_enabled);
	EXPECT_FALSE(c->ferry_nsup_deletes_enabled);
	EXPECT_EQ(c->ferry_hotkey_maxskip, 5);
	EXPECT_EQ(c->ferry_batch_retry_sleep, 0);
	EXPECT_EQ(c->ferry_batch_num_retry, 0);
	EXPECT_FALSE(c->ferry_fwd_with_gencheck);
	EXPECT_FALSE(c->ferry_check_data_before_delete);
	EXPECT_EQ(c->ferry_info_request_timeout_ms, 500);
	EXPECT_EQ(c->ferry_compression_threshold, 0);
	EXPECT_EQ(c->ferry_read_threads, 1);
	EXPECT_EQ(c->ferry_read_mode, FERRY_MODE_BATCH_GET);
	EXPECT_FALSE(c->ferry_do_version_check);
}

TEST_F(Config, DefaultsWithoutKeys)
{
	parse_and_check(conf());
	// The file's own keys aside, every field keeps its default.
	EXPECT_TRUE(g_xcfg.ferry_global_enabled);
	g_xcfg.ferry_global_enabled = false;
	EXPECT_EQ(g_xcfg.ferry_num_digestlog_paths, 1);
	g_xcfg.ferry_num_digestlog_paths = 0;
	g_xcfg.ferry_info_port = 0;
	g_xcfg.ferry_local_port = 0;
	g_xcfg.uid = 0;
	g_xcfg.gid = 0;
	expect_defaults(&g_xcfg);
}

// The defaults are written over whatever a parse left, so a second parse
// (or a reset) starts from them and not from the previous file.
TEST_F(Config, DefaultsReplaceEverySetValue)
{
	parse_and_check(every_key_text());
	g_xcfg.ferry_info_port = 1;
	g_xcfg.ferry_local_port = 1;
	g_xcfg.uid = 7;
	g_xcfg.gid = 7;
	g_xcfg.ferry_global_enabled = true;
	g_xcfg.ferry_digestpipe_fd = 9;
	g_xcfg.ferry_forward_ferrywrites = 1;
	g_xcfg.ferry_stop_writes_noferry = 1;
	g_xcfg.ferry_delete_shipping_enabled = false;
	g_xcfg.ferry_nsup_deletes_enabled = true;
	g_xcfg.ferry_flag.store(FERRY_READ_BATCH_SIZE_CHANGE);
	g_xcfg.ferry_new_cfg = {1, 2, 3, 4, FERRY_MODE_SINGLE_RECORD_GET, 6};
	ferry_config_defaults(&g_xcfg);

	expect_defaults(&g_xcfg);
}

// Whether the text passes the parse and the checks, tried in a child first:
// a refusal is reported with its message instead of ending the test program.
bool
accepted(const std::string &text)
{
	int failures = ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
	EXPECT_EXIT(
		{
			parse_and_check(text);
			exit(0);
		},
		::testing::ExitedWithCode(0), "");
	return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count() == failures;
}

struct Accepted {
	const char *name;
	std::string text;
	std::function<void()> check;
};

TEST_F(Config, AcceptedTexts)
{
	struct passwd *pw = getpwnam("daemon");
	struct group *gr = getgrnam("daemon");
	ASSERT_TRUE(pw && gr);
	uid_t daemon_uid = pw->pw_uid;
	gid_t daemon_gid = gr->gr_gid;

	std::string comment_tail = "    # " + std::string(600, 'x') + " bogus-key 7\n";
	const Accepted cases[] = {
		{"size suffix", conf({{"DLOG", "    digestlog-path /tmp/d 10G\n"}}),
			[] { EXPECT_EQ(g_xcfg.ferry_digestlog_file_size[0], 10737418240ull); }},
		{"int suffix", conf({{"RELAY", "    relay-read-batch-size 4K\n"}}),
			[] { EXPECT_EQ(g_xcfg.ferry_read_batch_size, 4096); }},
		{"the ranges set-config holds to, at their ends",
			conf({{"RELAY", "    relay-threads 32\n    relay-info-timeout 1\n    relay-compression-threshold 0\n"}}),
			[] {
				EXPECT_EQ(g_xcfg.ferry_threads, 32);
				EXPECT_EQ(g_xcfg.ferry_info_request_timeout_ms, 1);
				EXPECT_EQ(g_xcfg.ferry_compression_threshold, 0);
			}},
		{"repeated key keeps the last", conf({{"RELAY", "    timeout 100\n    timeout 200\n"
							   "    relay-pidfile /a\n    relay-pidfile /b\n"}}),
			[] {
				EXPECT_EQ(g_xcfg.ferry_timeout, 200);
				EXPECT_STREQ(g_xcfg.ferry_pidfile, "/b");
			}},
		{"read mode by prefix", conf({{"RELAY", "    relay-read-mode batch-it\n"}}),
			[] { EXPECT_EQ(g_xcfg.ferry_read_mode, FERRY_MODE_BATCH_GET); }},
		{"service inside another block",
			conf({{"TAIL", "logging {\n    service {\n        user daemon\n        group daemon\n    }\n}\n"}}),
			[=] {
				EXPECT_EQ(g_xcfg.uid, daemon_uid);
				EXPECT_EQ(g_xcfg.gid, daemon_gid);
			}},
		{"namespace: unknown key, then enable",
			conf({{"TAIL", "namespace two {\n    memory-size 4G\n    enable-relay true\n"
				       "    relay-remote-datacenter DC1\n}\n"}}),
			[] {
				EXPECT_EQ(g_ns_count, 2);
				EXPECT_TRUE(g_ns_xcfg_opt[2].ferry_enabled);
			}},
		{"namespace ends at a sub-block's brace",
			conf({{"TAIL", "namespace two {\n    storage-engine memory {\n        size 1G\n    }\n"
				       "    enable-relay true\n}\n"}}),
			[] {
				EXPECT_EQ(g_ns_count, 2);
				EXPECT_FALSE(g_ns_xcfg_opt[2].ferry_enabled);
			}},
		{"datacenter listed twice", conf({{"NS", "    relay-remote-datacenter DC1\n"}}),
			[] {
				EXPECT_EQ(dc_list_size(1), 2u);
				EXPECT_EQ(g_ns_xcfg_opt[1].ns_dc_ids[0], 0);
				EXPECT_EQ(g_ns_xcfg_opt[1].ns_dc_ids[1], 0);
			}},
		{"duplicate datacenter names resolve to the first",
			conf({{"RELAY", "    datacenter DC1 {\n        dc-node-address-port a 3000\n    }\n"}}),
			[] {
				EXPECT_EQ(g_dc_count, 2);
				EXPECT_EQ(g_ns_xcfg_opt[1].ns_dc_ids[0], 0);
				EXPECT_TRUE(g_rcfg[0].dc_inuse);
				EXPECT_FALSE(g_rcfg[1].dc_inuse);
			}},
		{"namespace listing datacenters 3 and 1",
			conf({{"RELAY", repeat(3, [](int i) {
				return "    datacenter X" + std::to_string(i) +
					" {\n        dc-node-address-port a 3000\n    }\n";
			})},
				{"NS", "    relay-remote-datacenter X1\n"}}),
			[] {
				// DC1 is number 3, X1 number 1.
				EXPECT_EQ(g_ns_xcfg_opt[1].ns_dc_ids[0], 3);
				EXPECT_EQ(g_ns_xcfg_opt[1].ns_dc_ids[1], 1);
			}},
		{"a comment runs to the end of its physical line", conf({{"RELAY", comment_tail}}),
			[] { EXPECT_EQ(g_dc_count, 1); }},
		{"a long line is read in pieces",
			conf({{"RELAY", "    " + std::string(1100, ' ') + "timeout 5\n"}}),
			[] { EXPECT_EQ(g_xcfg.ferry_timeout, 5); }},
		{"31 namespaces fit", conf({{"TAIL", repeat(30, [](int i) {
				return "namespace n" + std::to_string(i) + " {\n}\n";
			})}}),
			[] { EXPECT_EQ(g_ns_count, 31); }},
		{"32 datacenters fit", conf({{"RELAY", repeat(31, [](int i) {
				return "    datacenter X" + std::to_string(i) +
					" {\n        dc-node-address-port a 3000\n    }\n";
			})}}),
			[] { EXPECT_EQ(g_dc_count, 32); }},
		{"32 datacenter names fit", conf({{"NS", repeat(31, [](int) {
				return std::string("    relay-remote-datacenter DC1\n");
			})}}),
			[] { EXPECT_EQ(g_ns_xcfg_opt[1].ns_dc_ids[31], 0); }},
		{"braces on lines of their own, in every context",
			conf({{"TAIL", "service\n{\n    user daemon\n}\n"
				       "namespace solo\n{\n    enable-relay true\n    relay-remote-datacenter D2\n}\n"
				       "relay\n{\n    datacenter D2\n    {\n        {\n"
				       "        dc-node-address-port b 3001\n    }\n}\n"}}),
			[=] {
				EXPECT_EQ(g_xcfg.uid, daemon_uid);
				ASSERT_EQ(g_ns_count, 2);
				EXPECT_TRUE(g_ns_xcfg_opt[2].ferry_enabled);
				EXPECT_EQ(g_ns_xcfg_opt[2].ns_dc_ids[0], 1);
				ASSERT_EQ(g_dc_count, 2);
				auto *seed = (node_addr_port *)ox_vector_pointer_get(g_dc_xcfg_opt[1].dc_node_v, 0);
				EXPECT_STREQ(seed->node_addr, "b");
				EXPECT_EQ(seed->node_port, 3001);
			}},
		{"tabs, CR LF, extra tokens and comments after values",
			conf({{"RELAY", "\ttimeout\t7\t8 9\r\n    relay-pidfile /p#no space before it\n"
					"    relay-info-timeout 42 # trailing\n    # relay-threads 9\n"}}),
			[] {
				EXPECT_EQ(g_xcfg.ferry_timeout, 7);
				EXPECT_STREQ(g_xcfg.ferry_pidfile, "/p");
				EXPECT_EQ(g_xcfg.ferry_info_request_timeout_ms, 42);
				EXPECT_EQ(g_xcfg.ferry_threads, 3);
			}},
		{"relay keys outside the relay block mean nothing",
			conf({{"TAIL", "local-node-port 80\nenable-relay false\nlogging {\n    timeout 1\n"
				       "    datacenter X {\n    }\n}\n"}}),
			[] {
				EXPECT_EQ(g_xcfg.ferry_local_port, 3000);
				EXPECT_TRUE(g_xcfg.ferry_global_enabled);
				EXPECT_EQ(g_xcfg.ferry_timeout, 30000);
				EXPECT_EQ(g_dc_count, 1);
			}},
		{"a datacenter block still open at the end of the file is not counted",
			conf({{"TAIL", "relay {\n    datacenter LATE {\n        dc-node-address-port a 3000\n"}}),
			[] {
				EXPECT_EQ(g_dc_count, 1);
				EXPECT_STREQ(g_dc_xcfg_opt[1].dc_name, "LATE");
			}},
		{"the other names of keys",
			conf({{"DLOG", "    relay-digestlog-path /tmp/alias.dlog 1M\n"},
				{"RELAY", "    relay-namedpipe-path /p2\n    relay-info-port 3005\n"
					  "    relay-max-recs-inflight 800\n    relay-threads 9\n"}}),
			[] {
				EXPECT_STREQ(g_xcfg.ferry_digestlog_path[0], "/tmp/alias.dlog");
				EXPECT_EQ(g_xcfg.ferry_digestlog_file_size[0], 1u << 20);
				EXPECT_STREQ(g_xcfg.ferry_digestpipe_path, "/p2");
				EXPECT_EQ(g_xcfg.ferry_info_port, 3005);
				EXPECT_EQ(g_xcfg.ferry_max_recs_inflight, 800);
				EXPECT_EQ(g_xcfg.ferry_threads, 9);
			}},
		{"a repeated boolean and path keep the last",
			conf({{"RELAY", "    relay-shipping-enabled no\n    relay-shipping-enabled yes\n"
					"    namedpipe-path /last\n"}}),
			[] {
				EXPECT_TRUE(g_xcfg.ferry_shipping_enabled);
				EXPECT_STREQ(g_xcfg.ferry_digestpipe_path, "/last");
			}},
		{"smallest digest log and batch sizes", conf({{"DLOG", "    digestlog-path /d 56028\n"},
			{"RELAY", "    relay-write-batch-size 1\n    relay-read-batch-size 1\n"
				  "    relay-hotkey-maxskip 1\n    relay-ship-delay 0\n    relay-threads 1\n"
				  "    relay-max-recs-inflight 1\n    relay-batch-retry-sleep 0\n"
				  "    relay-batch-num-retry 0\n"}}),
			[] {
				EXPECT_EQ(g_xcfg.ferry_digestlog_file_size[0], 56028u);
				EXPECT_EQ(g_xcfg.ferry_write_batch_size, 1);
				EXPECT_EQ(g_xcfg.ferry_hotkey_maxskip, 1);
			}},
	};
	for (const Accepted &c : cases) {
		SCOPED_TRACE(c.name);
		ferry_test_reset_config();
		if (!accepted(c.text)) {
			continue;
		}
		parse_and_check(c.text);
		c.check();
	}
}

// The group a configured user runs in: its own primary group unless a
// "group" line, before or after it, names another (root included).
TEST_F(Config, ServiceUserAndGroup)
{
	struct passwd *pw = getpwnam("daemon");
	struct group *gr = getgrnam("daemon");
	ASSERT_TRUE(pw && gr);
	const uid_t daemon_uid = pw->pw_uid;
	const gid_t daemon_primary = pw->pw_gid, daemon_group = gr->gr_gid;
	const struct {
		const char *lines;
		uid_t uid;
		gid_t gid;
	} cases[] = {
		{"    user daemon\n", daemon_uid, daemon_primary},
		{"    user daemon\n    group root\n", daemon_uid, 0},
		{"    group root\n    user daemon\n", daemon_uid, 0},
		{"    group daemon\n", 0, daemon_group},
		{"", 0, 0},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.lines);
		ferry_test_reset_config();
		std::string text = conf();
		const std::string base = "    user root\n    group root\n";
		text.replace(text.find(base), base.size(), c.lines);
		if (!accepted(text)) {
			continue;
		}
		parse_and_check(text);
		EXPECT_EQ(g_xcfg.uid, c.uid);
		EXPECT_EQ(g_xcfg.gid, c.gid);
	}
}

// A refused text: the message with "%L" standing for the line of `marker`
// plus `offset` (pieces of long lines count as lines), logged under `ctx`.
struct Refused {
	const char *name;
	std::string text;
	std::string message;
	std::string marker;
	int offset;
	const char *ctx = "relay";
};

std::string
expected_message(const Refused &r)
{
	std::string m = r.message;
	size_t at = m.find("%L");
	if (at != std::string::npos) {
		m.replace(at, 2, std::to_string(line_of(r.text, r.marker) + r.offset));
	}
	return m;
}

TEST_F(Config, ParseRefusesWithShortCritical)
{
	std::string many_ns = repeat(31, [](int i) { return "namespace n" + std::to_string(i) + " {\n}\n"; });
	std::string many_dc = repeat(32, [](int i) {
		return "    datacenter X" + std::to_string(i) + " {\n        dc-node-address-port a 3000\n    }\n";
	});
	std::string many_names = repeat(31, [](int) { return std::string("    relay-remote-datacenter DC1\n"); }) +
		"    relay-remote-datacenter DCLAST\n";
	const Refused cases[] = {
		{"unknown relay key", conf({{"RELAY", "    bogus 1\n"}}),
			"line %L :: unknown config parameter name 'bogus'", "bogus", 0},
		{"unknown datacenter key", conf({{"DC", "        seed x\n"}}),
			"line %L :: unknown config parameter name 'seed'", "seed x", 0},
		{"port out of range", conf({{"RELAY", "    local-node-port 80\n"}}),
			"line %L :: local-node-port must be >= 1024 and <= 65535, not 80", "port 80", 0},
		{"seed port out of range", conf({{"DC", "        dc-node-address-port h 70000\n"}}),
			"line %L :: dc-node-address-port must be >= 1024 and <= 65535, not 70000", "h 70000", 0},
		{"seed without port", conf({{"DC", "        dc-node-address-port h\n"}}),
			"line %L :: dc-node-address-port must specify an integer value", "port h", 0},
		{"int overflow", conf({{"RELAY", "    relay-threads 5000000000\n"}}),
			"line %L :: relay-threads 5000000000 overflows int", "5000000000", 0},
		{"not a number", conf({{"RELAY", "    timeout abc\n"}}),
			"line %L :: timeout must be a number, not abc", "timeout abc", 0},
		{"empty integer", conf({{"RELAY", "    timeout\n"}}),
			"line %L :: timeout must specify an integer value", "timeout\n", 0},
		{"bad boolean", conf({{"RELAY", "    digestlog-persist maybe\n"}}),
			"line %L :: digestlog-persist must be true or false or yes or no, not maybe", "maybe", 0},
		{"empty boolean", conf({{"RELAY", "    relay-do-version-check\n"}}),
			"line %L :: relay-do-version-check must be true or false or yes or no", "version-check", 0},
		{"bad time", conf({{"NS", "    max-ttl 1w\n"}}),
			"line %L :: max-ttl must be an unsigned number with time unit (s, m, h, or d), not 1w", "1w", 0},
		{"empty time", conf({{"NS", "    default-ttl\n"}}),
			"line %L :: default-ttl must specify an unsigned integer value with time unit (s, m, h, or d)",
			"default-ttl", 0},
		{"bad size", conf({{"DLOG", "    digestlog-path /d 1E\n"}}),
			"line %L :: digestlog-path must be an unsigned number, not 1E", "/d 1E", 0},
		{"missing size", conf({{"DLOG", "    digestlog-path /d\n"}}),
			"line %L :: digestlog-path must specify an unsigned integer value", "/d\n", 0},
		{"unknown user", conf({{"TAIL", "service {\n    user no-such-user-here\n}\n"}}),
			"line %L :: user not found: no-such-user-here", "no-such-user", 0, "config"},
		{"unknown group", conf({{"TAIL", "service {\n    group no-such-group-here\n}\n"}}),
			"line %L :: group not found: no-such-group-here", "no-such-group", 0, "config"},
		{"the line after a long line", conf({{"RELAY", "    " + std::string(1100, ' ') + "timeout 5\n    bogus 1\n"}}),
			"line %L :: unknown config parameter name 'bogus'", "bogus", 2},
		{"a comment tail does not hide the next line",
			conf({{"RELAY", "    # " + std::string(600, 'x') + " timeout 9\n    bogus 1\n"}}),
			"line %L :: unknown config parameter name 'bogus'", "bogus", 1},
		// Entries that would index past fixed arrays.
		{"second digest log", conf({{"RELAY", "    relay-digestlog-path /other 1G\n"}}),
			"line %L :: relay-digestlog-path given more than once, only 1 digest log is supported", "/other", 0},
		{"32nd namespace", conf({{"TAIL", many_ns}}),
			"line %L :: too many namespaces, at most 31 are allowed", "namespace n30 ", 0},
		{"33rd datacenter", conf({{"RELAY", many_dc}}),
			"line %L :: too many datacenters, at most 32 are allowed", "    datacenter DC1 {", 0},
		{"33rd datacenter of a namespace", conf({{"NS", many_names}}),
			"line %L :: too many datacenters for namespace test, at most 32 are allowed", "DCLAST", 0},
		// Values that cannot work.
		{"write batch 0", conf({{"RELAY", "    relay-write-batch-size 0\n"}}),
			"line %L :: relay-write-batch-size must be >= 1 and <= 1000000, not 0", "write-batch", 0},
		{"write batch too large", conf({{"RELAY", "    relay-write-batch-size 2000000\n"}}),
			"line %L :: relay-write-batch-size must be >= 1 and <= 1000000, not 2000000", "write-batch", 0},
		{"read batch 0", conf({{"RELAY", "    relay-read-batch-size 0\n"}}),
			"line %L :: relay-read-batch-size must be >= 1 and <= 1000000, not 0", "read-batch", 0},
		{"hot-key skip 0", conf({{"RELAY", "    relay-hotkey-maxskip 0\n"}}),
			"line %L :: relay-hotkey-maxskip must be >= 1 and <= 2147483647, not 0", "maxskip", 0},
		{"negative ship delay", conf({{"RELAY", "    relay-ship-delay -1\n"}}),
			"line %L :: relay-ship-delay must be >= 0 and <= 2147483647, not -1", "ship-delay", 0},
		{"no threads", conf({{"RELAY", "    threads 0\n"}}),
			"line %L :: threads must be >= 1 and <= 32, not 0", "threads 0", 0},
		{"more threads than the client runs", conf({{"RELAY", "    relay-threads 33\n"}}),
			"line %L :: relay-threads must be >= 1 and <= 32, not 33", "threads 33", 0},
		// Numbers that would wrap are refused as they are written.
		{"a port that wraps to 3000", conf({{"RELAY", "    local-node-port 18446744073709554616\n"}}),
			"line %L :: local-node-port 18446744073709554616 overflows", "port 1844", 0},
		{"threads that wrap to 1", conf({{"RELAY", "    relay-threads 18446744073709551617\n"}}),
			"line %L :: relay-threads 18446744073709551617 overflows", "threads 1844", 0},
		{"a digest-log size that wraps", conf({{"DLOG", "    digestlog-path /d 18446744073717999616\n"}}),
			"line %L :: digestlog-path 18446744073717999616 overflows", "/d 1844", 0},
		{"a digest-log size whose suffix wraps", conf({{"DLOG", "    digestlog-path /d 16384P\n"}}),
			"line %L :: digestlog-path 16384P overflows", "/d 16384P", 0},
		{"a time to live that wraps", conf({{"NS", "    max-ttl 213503982334602d\n"}}),
			"line %L :: max-ttl 213503982334602d overflows", "213503982334602d", 0},
		// The ranges set-config holds to.
		{"info timeout 0", conf({{"RELAY", "    relay-info-timeout 0\n"}}),
			"line %L :: relay-info-timeout must be >= 1 and <= 2147483647, not 0", "info-timeout 0", 0},
		{"negative info timeout", conf({{"RELAY", "    relay-info-timeout -1\n"}}),
			"line %L :: relay-info-timeout must be >= 1 and <= 2147483647, not -1", "info-timeout -1", 0},
		{"a suffix without digits", conf({{"RELAY", "    relay-info-timeout K\n"}}),
			"line %L :: relay-info-timeout must be a number, not K", "info-timeout K", 0},
		{"negative compression threshold", conf({{"RELAY", "    relay-compression-threshold -1\n"}}),
			"line %L :: relay-compression-threshold must be >= 0 and <= 2147483647, not -1", "threshold -1", 0},
		{"timeout 0", conf({{"RELAY", "    timeout 0\n"}}),
			"line %L :: timeout must be >= 1 and <= 2147483647, not 0", "timeout 0", 0},
		{"negative timeout", conf({{"RELAY", "    timeout -30\n"}}),
			"line %L :: timeout must be >= 1 and <= 2147483647, not -30", "timeout -30", 0},
		{"no records in flight", conf({{"RELAY", "    batch-size 0\n"}}),
			"line %L :: batch-size must be >= 1 and <= 2147483647, not 0", "batch-size 0", 0},
		{"digest log below 7 segments", conf({{"DLOG", "    digestlog-path /d 56027\n"}}),
			"line %L :: digestlog-path must be >= 56028 and <= 9223372036854775807, not 56027", "/d 56027", 0},
		{"bad log level", conf({{"RELAY", "    errorlog-path stderr loud\n"}}),
			"can't set log level loud", "", 0},
		{"more log files than sinks", conf({{"RELAY", repeat(OX_FAULT_SINKS_MAX + 1, [](int) {
				return std::string("    relay-errorlog-path /nonexistent/ferry.log\n");
			})}}),
			"can't add file /nonexistent/ferry.log as errorlog", "", 0},
		{"negative overflow", conf({{"RELAY", "    relay-threads -5000000000\n"}}),
			"line %L :: relay-threads -5000000000 overflows int", "-5000000000", 0},
		{"negative digest-log size", conf({{"DLOG", "    digestlog-path /d -1\n"}}),
			"line %L :: digestlog-path must be an unsigned number, not -1", "/d -1", 0},
		{"negative retry sleep", conf({{"RELAY", "    relay-batch-retry-sleep -1\n"}}),
			"line %L :: relay-batch-retry-sleep must be >= 0 and <= 2147483647, not -1", "sleep -1", 0},
		{"negative retry count", conf({{"RELAY", "    relay-batch-num-retry -2\n"}}),
			"line %L :: relay-batch-num-retry must be >= 0 and <= 2147483647, not -2", "retry -2", 0},
		// Structure.
		{"key names are case-sensitive", conf({{"RELAY", "    Enable-Relay true\n"}}),
			"line %L :: unknown config parameter name 'Enable-Relay'", "Enable-Relay", 0},
		{"a relay key inside a datacenter", conf({{"DC", "        timeout 5\n"}}),
			"line %L :: unknown config parameter name 'timeout'", "timeout 5", 0},
		{"a key cut at 511 characters", conf({{"RELAY", std::string(509, ' ') + "timeout 5\n"}}),
			"line %L :: unknown config parameter name 'ti'", "meout 5", 0},
		{"the first error ends the parse", conf({{"RELAY", "    bogus 1\n    local-node-port 80\n"}}),
			"line %L :: unknown config parameter name 'bogus'", "bogus", 0},
		{"a NUL byte in a comment does not hide the next line",
			conf({{"RELAY", "    # a\0b\n    bogus 1\n"s}}),
			"line %L :: unknown config parameter name 'bogus'", "bogus", 0},
	};
	for (const Refused &r : cases) {
		SCOPED_TRACE(r.name);
		std::string msg = expected_message(r);
		// The whole of standard error: one line, no back trace, nothing after.
		EXPECT_EXIT(parse(r.text), ::testing::KilledBySignal(SIGINT),
				"^[^\n]*: CRITICAL GLOBAL \\(" + std::string(r.ctx) + "\\): \\(utils\\.cpp:[0-9]+\\) " +
						ferry_test_regex_escape(msg) + "\n$");
	}
}

TEST_F(Config, MissingFileIsRefused)
{
	std::string path = ferry_test_path("missing");
	EXPECT_EXIT(read_configfile_ferrysection(&g_xcfg, path.c_str()), ::testing::KilledBySignal(SIGINT),
			ferry_test_regex_escape("couldn't open configuration file " + path +
					": No such file or directory ... aborting"));
}

TEST_F(Config, ChecksRefuseWithFullCritical)
{
	const Refused cases[] = {
		{"read threads 0", conf({{"RELAY", "    relay-read-threads 0\n"}}),
			"Invalid Batch Thread Count 0. It should be >=1 and <=64... Aborting", "", 0, "config"},
		{"read threads 65", conf({{"RELAY", "    relay-read-threads 65\n"}}),
			"Invalid Batch Thread Count 65. It should be >=1 and <=64... Aborting", "", 0, "config"},
		{"read mode is case-sensitive", conf({{"RELAY", "    relay-read-mode Single\n"}}),
			"relay-read-mode option invalid, must be 'single' or 'batch' instead of Single... Aborting", "", 0,
			"config"},
		{"no datacenter",
			"namespace test {\n}\nrelay {\n    enable-relay true\n}\n",
			"No datacenters are configured", "", 0},
		{"datacenter named {", conf({{"RELAY", "    datacenter {\n        dc-node-address-port a 3000\n    }\n"}}),
			"Name of datacenter is illegal - '{'", "", 0},
		{"datacenter without a name",
			conf({{"RELAY", "    datacenter\n    {\n        dc-node-address-port a 3000\n    }\n"}}),
			"Name of datacenter is missing", "", 0},
		{"empty pipe path", conf({{"RELAY", "    namedpipe-path\n"}}),
			"FERRY is enabled but 'namedpipe-path' config option is not set", "", 0},
		{"datacenter without seed", conf({{"RELAY", "    datacenter EMPTY {\n    }\n"}}),
			"In datacenter 'EMPTY', address is missing in the config option 'dc-node-address-port'", "", 0},
		// A namespace ships there: start-up would wait for its nodes for ever.
		{"datacenter in use without seed",
			conf({{"NS", "    relay-remote-datacenter EMPTY\n"}, {"RELAY", "    datacenter EMPTY {\n    }\n"}}),
			"In datacenter 'EMPTY', address is missing in the config option 'dc-node-address-port'", "", 0},
		{"enabled namespace without datacenter", conf({{"TAIL", "namespace two {\n    enable-relay yes\n}\n"}}),
			"RELAY is enabled but no datacenter is specified for the namespace 'two'", "", 0},
		{"unknown datacenter name", conf({{"NS", "    relay-remote-datacenter DCX\n"}}),
			"Namespace 'test' has illegal datacenter setting 'DCX'", "", 0},
		{"a disabled namespace's list is resolved too",
			conf({{"TAIL", "namespace two {\n    relay-remote-datacenter NOPE\n}\n"}}),
			"Namespace 'two' has illegal datacenter setting 'NOPE'", "", 0},
		{"no pipe", "relay {\n enable-relay true\n datacenter A {\n dc-node-address-port a 3000\n }\n}\n",
			"FERRY is enabled but 'namedpipe-path' config option is not set", "", 0},
		{"no digest log",
			"relay {\n enable-relay true\n namedpipe-path /p\n datacenter A {\n dc-node-address-port a 3000\n }\n}\n",
			"FERRY is enabled but 'digestlog-path' config option is not set", "", 0},
		{"no local port",
			"relay {\n enable-relay true\n namedpipe-path /p\n digestlog-path /d 1M\n"
			" datacenter A {\n dc-node-address-port a 3000\n }\n}\n",
			"FERRY is enabled but 'local-node-port' config option is not set", "", 0},
		{"no info port",
			"relay {\n enable-relay true\n namedpipe-path /p\n digestlog-path /d 1M\n local-node-port 3000\n"
			" datacenter A {\n dc-node-address-port a 3000\n }\n}\n",
			"FERRY is enabled but 'info-port' config option is not set", "", 0},
		// Several faults at once: the first check in order is the one that ends.
		{"read threads before read mode",
			"relay {\n relay-read-mode Single\n relay-read-threads 0\n}\n",
			"Invalid Batch Thread Count 0. It should be >=1 and <=64... Aborting", "", 0, "config"},
		{"read mode before datacenters", "relay {\n relay-read-mode Single\n}\n",
			"relay-read-mode option invalid, must be 'single' or 'batch' instead of Single... Aborting", "", 0,
			"config"},
		{"datacenters before the enable flag", "namespace test {\n}\nrelay {\n    enable-relay false\n}\n",
			"No datacenters are configured", "", 0},
		{"datacenters in number order",
			conf({{"RELAY", "    datacenter EMPTY {\n    }\n    datacenter {\n        dc-node-address-port a 3000\n    }\n"}}),
			"In datacenter 'EMPTY', address is missing in the config option 'dc-node-address-port'", "", 0},
		{"a datacenter's name before its seeds", conf({{"RELAY", "    datacenter\n    {\n    }\n"}}),
			"Name of datacenter is missing", "", 0},
		{"datacenters before namespaces",
			conf({{"RELAY", "    datacenter {\n        dc-node-address-port a 3000\n    }\n"},
				{"NS", "    relay-remote-datacenter DCX\n"}}),
			"Name of datacenter is illegal - '{'", "", 0},
		{"namespaces before the enable flag",
			"namespace test {\n    relay-remote-datacenter DCX\n}\n"
			"relay {\n    datacenter A {\n        dc-node-address-port a 3000\n    }\n}\n",
			"Namespace 'test' has illegal datacenter setting 'DCX'", "", 0},
		{"namespaces in number order",
			conf({{"TAIL", "namespace two {\n    relay-remote-datacenter TWO\n}\n"
				       "namespace three {\n    enable-relay true\n}\n"}}),
			"Namespace 'two' has illegal datacenter setting 'TWO'", "", 0},
	};
	for (const Refused &r : cases) {
		SCOPED_TRACE(r.name);
		EXPECT_EXIT(parse_and_check(r.text), ::testing::KilledBySignal(SIGABRT),
				"CRITICAL GLOBAL \\(" + std::string(r.ctx) + "\\): \\(utils\\.cpp:[a-z_]+:[0-9]+\\) " +
						ferry_test_regex_escape(r.message) + "\n");
	}
}

TEST_F(Config, DisabledShipperExitsWithZero)
{
	std::string text = conf();
	text.replace(text.find("    enable-relay true\n    namedpipe"), strlen("    enable-relay true\n"), "");
	EXPECT_EXIT(parse_and_check(text), ::testing::ExitedWithCode(0), "^FERRY is not enabled\n$");
	text = conf();
	text.replace(text.find("enable-relay true\n    namedpipe"), strlen("enable-relay true"), "enable-relay false");
	EXPECT_EXIT(parse_and_check(text), ::testing::ExitedWithCode(0), "FERRY is not enabled\n");
	// Before the checks of the keys an enabled shipper needs.
	EXPECT_EXIT(parse_and_check("relay {\n    datacenter A {\n        dc-node-address-port a 3000\n    }\n}\n"),
			::testing::ExitedWithCode(0), "^FERRY is not enabled\n$");
}

// The checks of values that no text can give (the parse refuses them first)
// still hold for a table changed after the parse.
TEST_F(Config, ChecksOfValuesTheParseRefuses)
{
	struct Changed {
		const char *name;
		std::function<void()> change;
		const char *message;
	};
	auto seed = [] { return (node_addr_port *)ox_vector_pointer_get(g_dc_xcfg_opt[0].dc_node_v, 0); };
	const Changed cases[] = {
		{"seed port 0", [&] { seed()->node_port = 0; },
			"In datacenter 'DC1', port is missing in the config option 'dc-node-address-port'"},
		{"empty seed address", [&] { seed()->node_addr[0] = '\0'; },
			"In datacenter 'DC1', address is missing in the config option 'dc-node-address-port'"},
		{"digest-log size 0", [] { g_xcfg.ferry_digestlog_file_size[0] = 0; },
			"Ring buffer file size is not mentioned"},
	};
	for (const Changed &c : cases) {
		SCOPED_TRACE(c.name);
		EXPECT_EXIT(
			{
				parse(conf());
				c.change();
				ferry_config_checks(&g_xcfg);
			},
			::testing::KilledBySignal(SIGABRT),
			"CRITICAL GLOBAL \\(relay\\): \\(utils\\.cpp:[a-z_]+:[0-9]+\\) " +
					ferry_test_regex_escape(c.message) + "\n");
	}
}

// What the checks report at INFO once the log is open, in their order.
TEST_F(Config, ChecksReportDatacentersAndNamespaces)
{
	// DC2 stands before DC1 and so is datacenter 0.
	std::string text = conf({{"NS", "    relay-remote-datacenter DC2\n"},
		{"RELAY", "    datacenter DC2 {\n        dc-node-address-port b 3000\n    }\n"},
		{"TAIL", "namespace two {\n    relay-remote-datacenter DC1\n}\n"}});
	auto line = [](const std::string &msg) {
		return "INFO \\(relay\\): \\(utils\\.cpp::[0-9]+\\) " + ferry_test_regex_escape(msg) + "\n";
	};
	EXPECT_EXIT(
		{
			parse(text);
			ox_fault_sink_hold("stderr");
			ox_fault_sink_activate_all_held();
			int rv = ferry_config_checks(&g_xcfg);
			bool ids = g_ns_xcfg_opt[1].ns_dc_ids[0] == 1 && g_ns_xcfg_opt[1].ns_dc_ids[1] == 0 &&
				g_ns_xcfg_opt[2].ns_dc_ids[0] == 1 && g_rcfg[0].dc_inuse && g_rcfg[1].dc_inuse;
			exit(rv == 0 && ids ? 0 : 1);
		},
		::testing::ExitedWithCode(0),
		line("Found total 2 datacenters") + ".*" + line("Found total 2 namespaces") + ".*" +
				line("Namespace test is set to replicated to...") + ".*" + line("DC: DC1") + ".*" +
				line("DC: DC2") + ".*" + line("Namespace two is set to replicated to...") + ".*" +
				line("DC: DC1") + ".*" + line("RELAY is not enabled for the namespace two's"));
}

// The parse's own DETAIL lines reach a sink that admits them.
TEST_F(Config, ParseLogsLinesAndContexts)
{
	std::string text = "relay {\n    datacenter A {\n        dc-node-address-port a 3000\n    }\n}\n";
	auto detail = [](const char *func, const std::string &msg) {
		return "DETAIL \\(relay\\): \\(utils\\.cpp:" + std::string(func) + ":[0-9]+\\) " +
			ferry_test_regex_escape(msg) + "\n";
	};
	EXPECT_EXIT(
		{
			ox_fault_sink *s = ox_fault_sink_hold("stderr");
			ox_fault_sink_addcontext(s, "any", "detail");
			ox_fault_sink_activate_all_held();
			parse(text);
			exit(0);
		},
		::testing::ExitedWithCode(0),
		detail("read_configfile_ferrysection", "line 1 :: relay { ") + ".*" +
				detail("relay_cfg_begin_context", "begin context: GLOBAL -> RELAY") + ".*" +
				detail("relay_cfg_begin_context", "begin context: RELAY -> RELAY_DATACENTER") + ".*" +
				detail("read_configfile_ferrysection", "line 3 :: dc-node-address-port a 3000") + ".*" +
				detail("relay_cfg_end_context", "end context: RELAY_DATACENTER -> RELAY") + ".*" +
				detail("relay_cfg_end_context", "end context: RELAY -> GLOBAL"));
}

TEST_F(Config, ErrorLogSinkAndLevel)
{
	EXPECT_EXIT(
		{
			parse(conf({{"RELAY", "    errorlog-path stderr DEBUG\n"}}));
			bool ok = g_faultsink && strcmp(g_xcfg.ferry_errorlog_path, "stderr") == 0 &&
				g_faultsink->limit[QM_FERRY] == OX_DEBUG && g_faultsink->limit[OX_MISC] == OX_DEBUG;
			exit(ok ? 0 : 1);
		},
		::testing::ExitedWithCode(0), "");
	EXPECT_EXIT(
		{
			parse(conf({{"RELAY", "    errorlog-path /tmp/x.log\n"}}));
			exit(g_faultsink && g_faultsink->limit[QM_FERRY] == OX_INFO ? 0 : 1);
		},
		::testing::ExitedWithCode(0), "");
	// The client library's debug output follows a level beginning with
	// "debug" in any case, and only such a level.
	EXPECT_EXIT(
		{
			parse(conf({{"RELAY", "    relay-errorlog-path stderr DeBuG\n"}}));
			exit(ka::g_log_level == ka::OX_DEBUG ? 0 : 1);
		},
		::testing::ExitedWithCode(0), "");
	EXPECT_EXIT(
		{
			parse(conf({{"RELAY", "    errorlog-path stderr warning\n"}}));
			bool ok = g_faultsink->limit[QM_FERRY] == OX_WARNING && ka::g_log_level == ka::OX_INFO;
			exit(ok ? 0 : 1);
		},
		::testing::ExitedWithCode(0), "");
}

TEST_F(Config, DumpCopiesTheFileIntoTheLog)
{
	std::string path = ferry_test_write_file("dump", "line one\r\n\nline three");
	EXPECT_EXIT(
		{
			ox_fault_sink *s = ox_fault_sink_hold("stderr");
			ox_fault_sink_activate_all_held();
			(void)s;
			ferry_dump_configfile(path.c_str());
			exit(0);
		},
		::testing::ExitedWithCode(0),
		"INFO \\(relay\\): \\(utils.cpp::[0-9]+\\) line one\n.*INFO \\(relay\\): \\(utils.cpp::[0-9]+\\) \n"
		".*INFO \\(relay\\): \\(utils.cpp::[0-9]+\\) line three\n");
}

} // namespace
