#include "rbuffer_fixture.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace rbt {

namespace {

// Paths handed out during the running test. They are removed when it ends
// unless it failed, so repeated runs do not fill the disk (one log of the
// threaded test is 80 MB) and a failure leaves its file to look at.
std::mutex g_paths_lock;
std::vector<std::string> g_paths;

struct remove_test_files : ::testing::EmptyTestEventListener {
	void OnTestEnd(const ::testing::TestInfo &info) override
	{
		std::lock_guard<std::mutex> g(g_paths_lock);
		if (!info.result()->Failed())
			for (const std::string &p : g_paths)
				unlink(p.c_str());
		g_paths.clear();
	}
};

const bool g_listening = [] {
	::testing::UnitTest::GetInstance()->listeners().Append(new remove_test_files);
	return true;
}();

} // namespace

std::string
tmp_path(const char *name)
{
	static std::atomic<int> seq{0};
	const char *dir = getenv("FERRY_TEST_TMP");
	if (!dir || !*dir)
		dir = "/tmp";
	std::string p = std::string(dir) + "/rb_" + std::to_string(getpid()) + "_" + std::to_string(seq++) + "_" + name;
	unlink(p.c_str());
	std::lock_guard<std::mutex> g(g_paths_lock);
	g_paths.push_back(p);
	return p;
}

cfg::cfg(const std::string &p, int64_t size, bool persist, bool overwrite, uint64_t batch) : path(p)
{
	c.fname[0] = path.c_str();
	c.fsize[0] = size;
	c.nfiles = 1;
	c.rec_size = REC;
	c.batch_size = batch;
	c.overwrite = overwrite;
	c.persist = persist;
	c.trace = false;
}

void
make_rec(uint64_t n, char *out)
{
	memcpy(out, &n, 8);
	for (int j = 8; j < REC; j++)
		out[j] = (char)(((n * 131u) + (uint64_t)j * 7u) % 251u + 1u);
}

uint64_t
rec_num(const char *rec)
{
	uint64_t n;
	memcpy(&n, rec, 8);
	for (int j = 8; j < REC; j++)
		if (rec[j] != (char)(((n * 131u) + (uint64_t)j * 7u) % 251u + 1u))
			return UINT64_MAX;
	return n;
}

uint64_t
write_seq(ox_rbuffer *r, uint64_t first, uint64_t count, int per_call)
{
	std::vector<char> buf((size_t)per_call * REC);
	uint64_t done = 0;
	while (done < count) {
		int n = (int)std::min<uint64_t>((uint64_t)per_call, count - done);
		for (int i = 0; i < n; i++)
			make_rec(first + done + (uint64_t)i, &buf[(size_t)i * REC]);
		int w = ox_rbuffer_write(r, buf.data(), n);
		if (w > 0)
			done += (uint64_t)w;
		if (w < n)
			break;
	}
	return done;
}

int
read_all(ox_rbuffer *r, ox_rbuffer_ctx *ctx, std::vector<uint64_t> *out, int per_call, uint64_t max)
{
	std::vector<char> buf((size_t)per_call * REC);
	uint64_t got = 0;
	for (;;) {
		int n = (int)std::min<uint64_t>((uint64_t)per_call, max - got);
		if (n == 0)
			return 1;
		int k = ox_rbuffer_read(r, ctx, buf.data(), n);
		if (k <= 0)
			return k;
		for (int i = 0; i < k; i++)
			out->push_back(rec_num(&buf[(size_t)i * REC]));
		got += (uint64_t)k;
	}
}

std::vector<uint8_t>
file_bytes(const std::string &path)
{
	std::vector<uint8_t> b;
	FILE *f = fopen(path.c_str(), "rb");
	if (!f)
		return b;
	fseek(f, 0, SEEK_END);
	long n = ftell(f);
	fseek(f, 0, SEEK_SET);
	b.resize((size_t)n);
	if (n > 0 && fread(b.data(), 1, (size_t)n, f) != (size_t)n)
		b.clear();
	fclose(f);
	return b;
}

uint64_t
file_size(const std::string &path)
{
	struct stat st;
	return stat(path.c_str(), &st) == 0 ? (uint64_t)st.st_size : 0;
}

void
patch(const std::string &path, int64_t off, const void *bytes, size_t n)
{
	int fd = open(path.c_str(), O_WRONLY);
	if (fd >= 0) {
		if (pwrite(fd, bytes, n, off) != (ssize_t)n)
			perror("patch");
		close(fd);
	}
}

void
cut(const std::string &path, int64_t size)
{
	if (truncate(path.c_str(), size) != 0)
		perror("truncate");
}

uint64_t
le(const std::vector<uint8_t> &b, size_t off, int width)
{
	uint64_t v = 0;
	for (int i = width - 1; i >= 0; i--)
		v = (v << 8) | b.at(off + (size_t)i);
	return v;
}

} // namespace rbt
