// Digest-log throughput: 80-byte records in batches of 100 through the ring
// buffer, against a bare loop in the same run that makes the same positioned
// calls on a file of the same size (one 8004-byte segment plus the 728-byte
// headers per batch written; one 8004-byte segment per batch read).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_ratio.h"
#include "tamberlin/rbuffer.h"

namespace {

constexpr int REC = 80;
constexpr int BATCH = 100;
constexpr int64_t FSIZE = 100000000; // 12,493 segments
constexpr uint64_t FILLED = 10000;    // segments the read benchmarks run over

std::string
bench_path(const char *name)
{
	const char *dir = getenv("FERRY_TEST_TMP");
	std::string p = std::string(dir && *dir ? dir : "/tmp") + "/rbuffer_bench_" + std::to_string(getpid()) + name;
	unlink(p.c_str());
	return p;
}

ox_rbuffer *
open_ring(const std::string &path)
{
	ox_rbuffer_config c{};
	c.fname[0] = path.c_str();
	c.fsize[0] = FSIZE;
	c.nfiles = 1;
	c.rec_size = REC;
	c.batch_size = BATCH;
	c.overwrite = true;
	c.persist = true;
	return ox_rbuffer_init(&c);
}

// The bare loops' file: the ring buffer's size, nothing else.
int
open_bare(const std::string &path, benchmark::State &state)
{
	int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
	if (fd < 0 || ftruncate(fd, FSIZE) != 0) {
		state.SkipWithError("open failed");
		if (fd >= 0)
			close(fd);
		return -1;
	}
	return fd;
}

std::vector<char>
records()
{
	std::vector<char> b(REC * BATCH);
	for (size_t i = 0; i < b.size(); i++)
		b[i] = (char)(i * 131 % 251 + 1);
	return b;
}

void
BM_RbufferWrite(benchmark::State &state)
{
	std::string path = bench_path("_w");
	ox_rbuffer *r = open_ring(path);
	if (!r) {
		state.SkipWithError("open failed");
		return;
	}
	std::vector<char> b = records();
	for (auto _ : state)
		if (ox_rbuffer_write(r, b.data(), BATCH) != BATCH)
			state.SkipWithError("write failed");
	state.SetItemsProcessed(state.iterations() * BATCH);
	ox_rbuffer_close(r);
	unlink(path.c_str());
}

void
BM_BareWrite(benchmark::State &state)
{
	std::string path = bench_path("_bw");
	int fd = open_bare(path, state);
	if (fd < 0)
		return;
	std::vector<char> seg(RBUFFER_SEG_SIZE, 1), meta(RBUFFER_META_SIZE, 2);
	const uint64_t nsegs = RBUFFER_MAX_SEG(FSIZE);
	uint64_t s = 0;
	for (auto _ : state) {
		if (pwrite(fd, seg.data(), seg.size(), RBUFFER_FILE_HEADER_SIZE + (int64_t)s * RBUFFER_SEG_SIZE) !=
						(ssize_t)seg.size() ||
				pwrite(fd, meta.data(), meta.size(), 0) != (ssize_t)meta.size())
			state.SkipWithError("pwrite failed");
		s = (s + 1) % nsegs;
	}
	state.SetItemsProcessed(state.iterations() * BATCH);
	close(fd);
	unlink(path.c_str());
}

void
BM_RbufferRead(benchmark::State &state)
{
	std::string path = bench_path("_r");
	ox_rbuffer *r = open_ring(path);
	if (!r) {
		state.SkipWithError("open failed");
		return;
	}
	std::vector<char> b = records();
	for (uint64_t i = 0; i < FILLED; i++)
		ox_rbuffer_write(r, b.data(), BATCH);
	for (auto _ : state) {
		if (ox_rbuffer_read(r, nullptr, b.data(), BATCH) != BATCH) {
			ox_rbuffer_setfailover(r); // back to the start of the kept records
			if (ox_rbuffer_read(r, nullptr, b.data(), BATCH) != BATCH)
				state.SkipWithError("read failed");
		}
	}
	state.SetItemsProcessed(state.iterations() * BATCH);
	ox_rbuffer_close(r);
	unlink(path.c_str());
}

void
BM_BareRead(benchmark::State &state)
{
	std::string path = bench_path("_br");
	int fd = open_bare(path, state);
	if (fd < 0)
		return;
	std::vector<char> seg(RBUFFER_SEG_SIZE, 1);
	for (uint64_t s = 0; s < FILLED; s++)
		if (pwrite(fd, seg.data(), seg.size(), RBUFFER_FILE_HEADER_SIZE + (int64_t)s * RBUFFER_SEG_SIZE) < 0)
			state.SkipWithError("pwrite failed");
	uint64_t s = 0;
	for (auto _ : state) {
		if (pread(fd, seg.data(), seg.size(), RBUFFER_FILE_HEADER_SIZE + (int64_t)s * RBUFFER_SEG_SIZE) !=
				(ssize_t)seg.size())
			state.SkipWithError("pread failed");
		benchmark::DoNotOptimize(seg.data());
		s = (s + 1) % FILLED;
	}
	state.SetItemsProcessed(state.iterations() * BATCH);
	close(fd);
	unlink(path.c_str());
}

BENCHMARK(BM_RbufferWrite);
BENCHMARK(BM_BareWrite);
BENCHMARK(BM_RbufferRead);
BENCHMARK(BM_BareRead);

} // namespace

int
main(int argc, char **argv)
{
	if (!init_interleaved(&argc, argv))
		return 1;
	RatioReporter reporter;
	benchmark::RunSpecifiedBenchmarks(&reporter);
	// Times are per batch of 100 records, in nanoseconds.
	const char *pairs[][3] = {{"write", "BM_RbufferWrite", "BM_BareWrite"}, {"read", "BM_RbufferRead", "BM_BareRead"}};
	for (auto &p : pairs) {
		double ours, bare, ratio;
		size_t reps;
		if (!reporter.median_time(p[1], &ours) || !reporter.median_time(p[2], &bare) ||
				!reporter.median_ratio(p[2], p[1], &ratio, &reps))
			continue;
		printf("%s: rbuffer %.0f records/s, bare pwrite/pread loop %.0f records/s, ratio %.3f (median of %zu)\n",
				p[0], BATCH * 1e9 / ours, BATCH * 1e9 / bare, ratio, reps);
	}
	benchmark::Shutdown();
	return 0;
}
