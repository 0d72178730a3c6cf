// Helpers for the ring-buffer tests: temp files, configurations, numbered
// records that carry a checksum, and raw access to the file's bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tamberlin/rbuffer.h"

namespace rbt {

constexpr int REC = 80;
constexpr int64_t SZ12 = 100000; // 12 segments of 100 records

// A unique path under FERRY_TEST_TMP (or /tmp); the file is removed first.
std::string tmp_path(const char *name);

struct cfg {
	ox_rbuffer_config c{};
	std::string path;
	cfg(const std::string &p, int64_t size, bool persist = true, bool overwrite = false, uint64_t batch = 100);
	ox_rbuffer_config *operator&() { return &c; }
};

// Record number n: 8 bytes of n, then bytes derived from n, never all zero.
void make_rec(uint64_t n, char *out);
// The number of a record, or UINT64_MAX when its bytes are not a record.
uint64_t rec_num(const char *rec);
// Writes records first..first+count-1 in calls of `per_call`; returns the
// number stored (stops at the first call that stores less than it gave).
uint64_t write_seq(ox_rbuffer *r, uint64_t first, uint64_t count, int per_call = 100);
// Reads up to max records through ctx in calls of per_call, until a read
// returns <= 0; appends their numbers; returns the last result.
int read_all(ox_rbuffer *r, ox_rbuffer_ctx *ctx, std::vector<uint64_t> *out, int per_call = 100,
		uint64_t max = UINT64_MAX);

std::vector<uint8_t> file_bytes(const std::string &path);
uint64_t file_size(const std::string &path);
void patch(const std::string &path, int64_t off, const void *bytes, size_t n);
void cut(const std::string &path, int64_t size);
uint64_t le(const std::vector<uint8_t> &b, size_t off, int width);

} // namespace rbt
