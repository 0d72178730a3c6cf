// Shared helpers of the shipper's tests (see ferry_fixture.h).
#include "ferry_fixture.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ferry_shared.h"

std::string
ferry_test_path(const char *tag)
{
	static std::atomic<int> seq{0};
	const char *dir = getenv("FERRY_TEST_TMP");
	std::string base = dir && *dir ? dir : "/tmp";
	return base + "/ferry_" + tag + "_" + std::to_string(getpid()) + "_" + std::to_string(seq++);
}

std::string
ferry_test_write_file(const char *tag, const std::string &text)
{
	std::string path = ferry_test_path(tag);
	FILE *f = fopen(path.c_str(), "w");
	if (f) {
		fwrite(text.data(), 1, text.size(), f);
		fclose(f);
	}
	return path;
}

void
ferry_test_reset_config(void)
{
	ferry_config *c = &g_xcfg;
	ox_free(c->ferry_digestpipe_path);
	ox_free(c->ferry_digestlog_path[0]);
	ox_free(c->ferry_errorlog_path);
	ox_free(c->ferry_pidfile);
	ox_free(c->ferry_read_mode_string);
	c->ferry_digestpipe_path = nullptr;
	c->ferry_digestlog_path[0] = nullptr;
	c->ferry_digestlog_file_size[0] = 0;
	c->ferry_errorlog_path = nullptr;
	c->ferry_pidfile = nullptr;
	c->ferry_read_mode_string = nullptr;
	ferry_config_clear_tables();
	ferry_config_defaults(c);
}

std::string
ferry_test_regex_escape(const std::string &text)
{
	std::string out;
	for (char ch : text) {
		if (std::string("\\^$.|?*+()[]{}").find(ch) != std::string::npos) {
			out += '\\';
		}
		out += ch;
	}
	return out;
}
