// Helpers shared by the shipper's tests: unique temporary paths, files made
// from text, and a clean configuration between cases.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "tamberlin/ferry_shared.h"

struct ox_rbuffer;
struct counters_s;

// A new path under $FERRY_TEST_TMP (or /tmp), unique in this run.
std::string ferry_test_path(const char *tag);
// Writes text to a new unique file and returns its path.
std::string ferry_test_write_file(const char *tag, const std::string &text);
// The whole of the file at path; empty when it cannot be read.
std::string ferry_test_read_file(const std::string &path);
// How many times needle occurs in text, overlapping ones counted.
int ferry_test_count_of(const std::string &text, const std::string &needle);
// The program's one log file, context "relay" at level: sinks live as long
// as the process, so the first call opens it (named after tag) and later ones
// return the same path, and each test reads what was written since it
// began. Empty when the log could not be opened.
const std::string &ferry_test_log_once(const char *tag, const char *level);
// Frees what a parse left in g_xcfg and the tables, and resets them.
void ferry_test_reset_config(void);
// Turns literal text into a regular expression that matches exactly it.
std::string ferry_test_regex_escape(const std::string &text);
// A new digest log of 80-byte records (batch 100, persist on) in a unique file.
struct ox_rbuffer *ferry_test_open_dlog(const char *tag, int64_t size, bool overwrite);
// The same at a given path: a new log, or the one a test wrote there before.
struct ox_rbuffer *ferry_test_open_dlog_at(const std::string &path, int64_t size, bool overwrite);
// A digest-log record as the pipe reader logs it.
ferry_msg_ondisk ferry_test_digestinfo(int32_t nsid, const uint8_t digest[20], uint32_t generation, uint64_t time,
		ox_node master, uint32_t delete_flag);
// Writes n records in the writer's batches of 100 and flushes them; whether
// all of it succeeded.
bool ferry_test_write_dlog(struct ox_rbuffer *rb, const ferry_msg_ondisk *recs, size_t n);
// Reads up to n records through the main reader, retrying short reads for up
// to 10 seconds; the number read.
int ferry_test_read_dlog(struct ox_rbuffer *rb, char *buf, int n);
// Waits until cond holds or limit_ms has passed; whether it held (the
// stand-ins' one wait, testkit/wait.h, with the shipper tests' deadline).
bool ferry_test_wait_until(const std::function<bool()> &cond, int limit_ms = 60000);
// Waits up to limit_ms for *counter (read atomically) to reach value.
bool ferry_test_wait_counter(const uint64_t *counter, uint64_t value, int limit_ms);
// A clean configuration, zeroed counters in c as the process's counters, an
// empty digest-log queue, and the clusters marked as made (so failed-node
// threads go on at once).
void ferry_test_reset_intake(struct counters_s *c);
// Waits up to limit_ms until this process runs no thread but the caller's;
// false when others remain. Death tests fork, and a fork taken while another
// thread holds an allocator or log lock leaves the child waiting for ever.
bool ferry_test_wait_single_thread(int limit_ms);
// The local server's address list: 127.0.0.1 at port.
void ferry_test_local_addr(int port);
