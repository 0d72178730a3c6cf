// The log's periphery under several threads: sinks added while others log
// and list them, and rolls of the log file while threads write to it, with
// every line landing whole in one file or the other.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "fault_fixture.h"
#include "tamberlin/dynbuf.h"
#include "tamberlin/fault.h"

namespace {

using namespace fault_fixture;

class FaultExtrasMt : public FaultLog {};

TEST_F(FaultExtrasMt, SinksAddedWhileOthersLogAndListThem)
{
	std::string first = tmp_path("addmt");
	ASSERT_NE(ox_fault_sink_add(first.c_str()), nullptr);
	ox_fault_filter[OX_MISC] = OX_INFO;

	std::atomic<bool> stop{false};
	std::atomic<int> listed{0};
	std::vector<std::thread> readers;
	for (int t = 0; t < 3; t++)
		readers.emplace_back([&] {
			for (int n = 0; !stop.load() || n < 50; n++) {
				ox_info(OX_MISC, "line %d", n);
				ox_dyn_buf_define(db);
				ox_fault_sink_strlist(&db);
				ox_dyn_buf_free(&db);
				int fds[OX_FAULT_SINKS_MAX];
				int k = ox_fault_sink_get_fd_list(fds);
				for (int i = 0; i < k; i++)
					EXPECT_GT(fds[i], 2);
				listed.fetch_add(1);
			}
		});
	std::vector<std::string> paths;
	for (int i = 0; i < 6; i++) {
		paths.push_back(tmp_path("addmt"));
		EXPECT_NE(ox_fault_sink_add(paths.back().c_str()), nullptr);
	}
	stop.store(true);
	for (auto &t : readers)
		t.join();
	EXPECT_EQ(ox_fault_sinks_inuse, 7);
	EXPECT_GE(listed.load(), 150);
	ox_dyn_buf_define(db);
	ASSERT_EQ(ox_fault_sink_strlist(&db), 0);
	std::string list((const char *)db.buf, db.used_sz);
	ox_dyn_buf_free(&db);
	EXPECT_EQ(list.rfind("0:" + first + ";1:" + paths[0], 0), 0u) << list;
	EXPECT_NE(list.find(";6:" + paths[5]), std::string::npos) << list;
}

TEST_F(FaultExtrasMt, RollWhileThreadsWriteLosesNoLine)
{
	std::string path = tmp_path("rollmt");
	ox_fault_sink *s = ox_fault_sink_add(path.c_str());
	ASSERT_NE(s, nullptr);
	ox_fault_filter[OX_MISC] = OX_INFO;
	int fd = s->fd;

	constexpr int kWriters = 4;
	constexpr int kRolls = 8;
	std::atomic<bool> rolled{false};
	std::atomic<long> written{0};
	std::vector<std::thread> writers;
	for (int t = 0; t < kWriters; t++)
		writers.emplace_back([&, t] {
			for (int n = 0; !rolled.load() || n < 200; n++) {
				ox_info(OX_MISC, "writer %d line %d", t, n);
				written.fetch_add(1);
			}
		});

	std::vector<std::string> moved;
	::testing::internal::CaptureStderr();
	for (int r = 0; r < kRolls; r++) {
		moved.push_back(path + "." + std::to_string(r));
		ASSERT_EQ(rename(path.c_str(), moved.back().c_str()), 0);
		ox_fault_sink_logroll();
	}
	rolled.store(true);
	for (auto &t : writers)
		t.join();
	std::string err = ::testing::internal::GetCapturedStderr();

	EXPECT_EQ(s->fd, fd);
	EXPECT_EQ(err.find("internal failure"), std::string::npos) << "a write failed during a roll";
	long lines = (long)lines_of(slurp(path)).size();
	for (const auto &m : moved) {
		for (const auto &l : lines_of(slurp(m)))
			EXPECT_NE(l.find(") writer "), std::string::npos) << "a whole line: " << l;
		lines += (long)lines_of(slurp(m)).size();
		unlink(m.c_str());
	}
	EXPECT_EQ(lines, written.load());
}

} // namespace
