// Helpers shared by the shipper's tests: unique temporary paths, files made
// from text, and a clean configuration between cases.
#pragma once

#include <string>

// A new path under $FERRY_TEST_TMP (or /tmp), unique in this run.
std::string ferry_test_path(const char *tag);
// Writes text to a new unique file and returns its path.
std::string ferry_test_write_file(const char *tag, const std::string &text);
// Frees what a parse left in g_xcfg and the tables, and resets them.
void ferry_test_reset_config(void);
// Turns literal text into a regular expression that matches exactly it.
std::string ferry_test_regex_escape(const std::string &text);
