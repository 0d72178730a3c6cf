// The log under several threads: lines written at once to one append-mode
// sink never mix, and a run-time level change races with logging safely.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tamberlin/fault.h"

namespace {

TEST(FaultLogMt, ConcurrentLinesStayWhole)
{
	const char *dir = getenv("FERRY_TEST_TMP");
	std::string path = std::string(dir != nullptr ? dir : "/tmp") + "/fault_mt_" + std::to_string(getpid());
	unlink(path.c_str());
	ox_fault_sink *s = ox_fault_sink_hold(path.c_str());
	ASSERT_NE(s, nullptr);
	ASSERT_EQ(ox_fault_sink_activate_all_held(), 0);

	constexpr int kThreads = 6;
	constexpr int kLines = 300;
	std::atomic<bool> done{false};
	// The info server's worker changes levels while others log.
	std::thread setter([&] {
		for (int i = 0; i < 2000 && !done; i++)
			ox_fault_sink_setcontext(s, "ox:queue", (i & 1) ? "debug" : "info");
	});
	std::vector<std::thread> th;
	for (int t = 0; t < kThreads; t++)
		th.emplace_back([t] {
			std::string fill(200 + 50 * t, (char)('a' + t));
			for (int i = 0; i < kLines; i++) {
				ox_info(QM_FERRY, "t%d i%d %s", t, i, fill.c_str());
				ox_debug(OX_QUEUE, "maybe");
			}
		});
	for (auto &t : th)
		t.join();
	done = true;
	setter.join();

	std::ifstream in(path);
	std::string line;
	int relay_lines = 0;
	while (std::getline(in, line)) {
		if (line.find("INFO (relay): ") == std::string::npos)
			continue;
		relay_lines++;
		int t = -1, i = -1;
		size_t at = line.find(") t");
		ASSERT_NE(at, std::string::npos) << line;
		ASSERT_EQ(sscanf(line.c_str() + at, ") t%d i%d", &t, &i), 2) << line;
		ASSERT_TRUE(t >= 0 && t < kThreads) << line;
		std::string fill(200 + 50 * t, (char)('a' + t));
		EXPECT_EQ(line.substr(line.size() - fill.size()), fill) << line;
	}
	EXPECT_EQ(relay_lines, kThreads * kLines);
	close(s->fd);
}

} // namespace
