// The real daemon's info port: open from the start-up step that starts it,
// before the daemon has reached its local server, on the configured port;
// and the operator's client program asking it.
#include "road_e2e_fixture.h"

#include "info_client_fixture.h"
#include "tamberlin/tamberlin.h"

namespace {

using road_e2e::RoadE2E;

// Runs the operator's client; its output, and its exit status in *status.
std::string
run_info_ask(const std::string &args, int *status)
{
	std::string cmd = std::string(INFO_ASK_BINARY) + " " + args + " 2>&1";
	FILE *p = popen(cmd.c_str(), "r");
	if (!p)
		return "";
	std::string out;
	char buf[4096];
	size_t n;
	while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
		out.append(buf, n);
	int st = pclose(p);
	*status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
	return out;
}

TEST_F(RoadE2E, InfoPortAnswersBeforeTheLocalServerDoes)
{
	start_world(1);
	write_conf();
	// The local server's port is one nothing listens on: the daemon waits
	// for it after starting the info server.
	std::string text = ferry_test_read_file(conf);
	size_t at = text.find("info-port ");
	ASSERT_NE(at, std::string::npos);
	int info_port = atoi(text.c_str() + at + strlen("info-port "));
	ASSERT_GT(info_port, 0);
	at = text.find("local-node-port ");
	ASSERT_NE(at, std::string::npos);
	size_t eol = text.find('\n', at);
	text.replace(at, eol - at, "local-node-port " + std::to_string(road_e2e::free_port()));
	std::ofstream(conf) << text;
	start_daemon("--noresume");

	ASSERT_TRUE(log_has("Trying to connect to local host"));
	const std::string build = std::string("build\t") + tamberlin_build_string + "\n";
	ASSERT_TRUE(ferry_test_wait_until([&] { return info_test::ask(info_port, "build\n") == build; },
			road_e2e::kDeadlineMs));
	std::string stats = info_test::ask(info_port, "statistics\n");
	EXPECT_EQ(stats.rfind("statistics\t", 0), 0u) << stats;
	EXPECT_NE(stats.find("stat_recs_logged=0;"), std::string::npos) << stats;

	// The operator's client: one item, several, split values, no port.
	int status = -1;
	EXPECT_EQ(run_info_ask("-p " + std::to_string(info_port) + " build", &status), build);
	EXPECT_EQ(status, 0);
	std::string two = run_info_ask("-p " + std::to_string(info_port) + " build dcs", &status);
	EXPECT_EQ(status, 0);
	EXPECT_EQ(two.rfind(build, 0), 0u) << two;
	EXPECT_NE(two.find("\ndcs\t"), std::string::npos) << two;
	std::string split = run_info_ask("-s -p " + std::to_string(info_port) + " statistics", &status);
	EXPECT_EQ(status, 0);
	EXPECT_EQ(split.rfind("statistics\n    used-recs-dlog=", 0), 0u) << split.substr(0, 200);
	run_info_ask("-p " + std::to_string(road_e2e::free_port()) + " build", &status);
	EXPECT_EQ(status, 2);
	run_info_ask("build", &status);
	EXPECT_EQ(status, 1);
}

} // namespace
