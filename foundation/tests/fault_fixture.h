// Shared by the fault log's tests: the log put back into its process-start
// state, temporary paths, and reading a sink's file back as lines.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tamberlin/fault.h"

namespace fault_fixture {

// Puts the log back into its process-start state (no sink held or active,
// every filter entry CRITICAL).
inline void
reset_fault_state()
{
	for (int i = 0; i < OX_FAULT_SINKS_MAX; i++) {
		if (ox_fault_sinks[i].fd > 2)
			close(ox_fault_sinks[i].fd);
		free(ox_fault_sinks[i].path);
	}
	memset(ox_fault_sinks, 0, sizeof(ox_fault_sinks));
	num_held_fault_sinks = 0;
	ox_fault_sinks_inuse = 0;
	for (auto &f : ox_fault_filter)
		f = OX_CRITICAL;
}

inline std::string
tmp_path(const char *tag)
{
	static int seq = 0;
	const char *dir = getenv("FERRY_TEST_TMP");
	std::ostringstream os;
	os << (dir != nullptr ? dir : "/tmp") << "/fault_" << tag << "_" << getpid() << "_" << seq++;
	unlink(os.str().c_str());
	return os.str();
}

// A death test re-runs the test body in a child process; the child must
// write where the parent will look, so the path travels in the environment.
inline std::string
shared_tmp_path(const char *tag)
{
	std::string var = std::string("FAULT_TEST_PATH_") + tag;
	if (const char *p = getenv(var.c_str()))
		return p;
	std::string path = tmp_path(tag);
	setenv(var.c_str(), path.c_str(), 1);
	return path;
}

inline std::string
slurp(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::stringstream ss;
	ss << in.rdbuf();
	return ss.str();
}

inline std::vector<std::string>
lines_of(const std::string &text)
{
	std::vector<std::string> out;
	size_t start = 0;
	for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
		out.push_back(text.substr(start, nl - start + 1));
	return out;
}

inline std::string
time_prefix(time_t t)
{
	struct tm tm;
	gmtime_r(&t, &tm);
	char buf[64];
	size_t n = strftime(buf, sizeof(buf), "%b %d %Y %T %Z: ", &tm);
	return std::string(buf, n);
}

// True when line is some second in [from, to] followed by rest.
inline ::testing::AssertionResult
line_is(const std::string &line, time_t from, time_t to, const std::string &rest)
{
	for (time_t t = from; t <= to; t++)
		if (line == time_prefix(t) + rest)
			return ::testing::AssertionSuccess();
	return ::testing::AssertionFailure() << "line [" << line << "] is not <time>[" << rest << "]";
}

class FaultLog : public ::testing::Test {
protected:
	void SetUp() override { reset_fault_state(); }
	void TearDown() override { reset_fault_state(); }

	// Holds and activates one file sink with every context at `level`.
	ox_fault_sink *
	active_file_sink(const std::string &path, const char *level)
	{
		ox_fault_sink *s = ox_fault_sink_hold(path.c_str());
		EXPECT_NE(s, nullptr);
		EXPECT_EQ(ox_fault_sink_addcontext(s, "any", level), 0);
		EXPECT_EQ(ox_fault_sink_activate_all_held(), 0);
		return s;
	}
};

} // namespace fault_fixture
