// Digest-log throughput: 80-byte records through the ring buffer, against
// bare loops in the same run on a file of the same size (the kinds of bare
// loop are described at bare_kind below).
//
// - write: batches of 100 records, one segment each: per batch one 8004-byte
//   segment write and one 728-byte header write.
// - partial write: batches of 30 records, which do not fill a segment: every
//   batch writes each segment it touches (8004 bytes: the one it fills, then
//   the one it leaves partly filled), each write followed by the headers.
// - read: batches of 100 records: one 8004-byte segment read per batch.
// - partial read: batches of 30 records: one segment read per 100 records and
//   a copy of each batch out of the segment that was read.
// - large read: batches of 500 records, the shipper's read batch: five
//   segment reads per batch.
//
// Both sides of a pair run as short repetitions in random interleaved order;
// the figure printed is the median of the per-repetition ratios.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
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
constexpr int PARTIAL = 30;
constexpr int LARGE = 500; // the shipper's read batch
constexpr uint64_t RECS_PER_SEG = RBUFFER_SEG_DATASIZE / REC;
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
open_ring(const std::string &path, benchmark::State &state)
{
	ox_rbuffer_config c{};
	c.fname[0] = path.c_str();
	c.fsize[0] = FSIZE;
	c.nfiles = 1;
	c.rec_size = REC;
	c.batch_size = BATCH;
	c.overwrite = true;
	c.persist = true;
	ox_rbuffer *r = ox_rbuffer_init(&c);
	if (!r)
		state.SkipWithError("open failed");
	return r;
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
records(int n)
{
	std::vector<char> b((size_t)REC * (size_t)n);
	for (size_t i = 0; i < b.size(); i++)
		b[i] = (char)(i * 131 % 251 + 1);
	return b;
}

int64_t
seg_off(uint64_t s)
{
	return RBUFFER_FILE_HEADER_SIZE + (int64_t)s * RBUFFER_SEG_SIZE;
}

void
ring_write(benchmark::State &state, int per_call)
{
	std::string path = bench_path("_w");
	ox_rbuffer *r = open_ring(path, state);
	if (!r)
		return;
	std::vector<char> b = records(per_call);
	for (auto _ : state)
		if (ox_rbuffer_write(r, b.data(), per_call) != per_call)
			state.SkipWithError("write failed");
	state.SetItemsProcessed(state.iterations() * per_call);
	ox_rbuffer_close(r);
	unlink(path.c_str());
}

// The bare loops come in two kinds. PLAIN is a plain pwrite or pread loop of
// whole 8004-byte segments. SAME makes the very calls the ring buffer makes:
// a segment that a batch fills is written with pwritev from the batch's
// records and the trailer (with the head of the segment when the batch did
// not start it), and the rest of a segment that a read wants is read with
// preadv into the records and the trailer, or with one pread when the
// records buffer has room for the trailer too.
enum bare_kind { PLAIN, SAME };

// Per batch, as the ring buffer does: each segment that the batch touches is
// written once (the one it fills, then the one it leaves partly filled),
// each time followed by the headers.
void
bare_write(benchmark::State &state, int per_call, bare_kind kind)
{
	std::string path = bench_path("_bw");
	int fd = open_bare(path, state);
	if (fd < 0)
		return;
	std::vector<char> seg(RBUFFER_SEG_SIZE, 1), meta(RBUFFER_META_SIZE, 2), recs = records(per_call);
	const uint64_t nsegs = RBUFFER_MAX_SEG(FSIZE);
	uint64_t s = 0, in_seg = 0;
	for (auto _ : state) {
		for (uint64_t left = (uint64_t)per_call; left > 0;) {
			uint64_t k = std::min(left, RECS_PER_SEG - in_seg);
			const uint64_t from = in_seg;
			in_seg += k;
			left -= k;
			ssize_t n;
			if (kind == SAME && in_seg == RECS_PER_SEG) {
				struct iovec iov[3] = {{seg.data(), from * REC},
						{recs.data() + ((uint64_t)per_call - left - k) * REC, k * REC},
						{seg.data() + RBUFFER_SEG_DATASIZE, RBUFFER_SEG_HEADER_SIZE}};
				int skip = from == 0 ? 1 : 0;
				n = pwritev(fd, iov + skip, 3 - skip, seg_off(s));
			} else {
				n = pwrite(fd, seg.data(), seg.size(), seg_off(s));
			}
			if (n != RBUFFER_SEG_SIZE || pwrite(fd, meta.data(), meta.size(), 0) != (ssize_t)meta.size())
				state.SkipWithError("pwrite failed");
			if (in_seg == RECS_PER_SEG) {
				s = (s + 1) % nsegs;
				in_seg = 0;
			}
		}
	}
	state.SetItemsProcessed(state.iterations() * per_call);
	close(fd);
	unlink(path.c_str());
}

void
ring_read(benchmark::State &state, int per_call)
{
	std::string path = bench_path("_r");
	ox_rbuffer *r = open_ring(path, state);
	if (!r)
		return;
	std::vector<char> b = records(BATCH), out = records(per_call);
	for (uint64_t i = 0; i < FILLED; i++)
		ox_rbuffer_write(r, b.data(), BATCH);
	for (auto _ : state) {
		if (ox_rbuffer_read(r, nullptr, out.data(), per_call) != per_call) {
			state.PauseTiming();
			ox_rbuffer_setfailover(r); // back to the start of the kept records
			state.ResumeTiming();
			if (ox_rbuffer_read(r, nullptr, out.data(), per_call) != per_call)
				state.SkipWithError("read failed");
		}
		benchmark::DoNotOptimize(out.data());
	}
	state.SetItemsProcessed(state.iterations() * per_call);
	ox_rbuffer_close(r);
	unlink(path.c_str());
}

// A reader handing out per_call records a batch from segment after segment.
// A batch that wants only part of a segment copies it out of the segment
// read before (as the ring buffer copies out of its cached segment).
void
bare_read(benchmark::State &state, int per_call, bare_kind kind)
{
	std::string path = bench_path("_br");
	int fd = open_bare(path, state);
	if (fd < 0)
		return;
	std::vector<char> seg(RBUFFER_SEG_SIZE, 1), out = records(per_call);
	char trailer[RBUFFER_SEG_HEADER_SIZE];
	for (uint64_t s = 0; s < FILLED; s++)
		if (pwrite(fd, seg.data(), seg.size(), seg_off(s)) < 0)
			state.SkipWithError("pwrite failed");
	const uint64_t want = (uint64_t)per_call;
	uint64_t s = 0, pos = 0;
	bool cached = false;
	for (auto _ : state) {
		for (uint64_t done = 0; done < want;) {
			uint64_t rest = RECS_PER_SEG - pos;
			if (!cached && want - done >= rest) {
				// The rest of the segment: straight into the records.
				ssize_t n;
				if (kind == PLAIN) {
					n = pread(fd, seg.data(), seg.size(), seg_off(s));
				} else if ((want - done) * REC >= rest * REC + RBUFFER_SEG_HEADER_SIZE) {
					n = pread(fd, out.data() + done * REC, rest * REC + RBUFFER_SEG_HEADER_SIZE, seg_off(s) + pos * REC);
					memcpy(trailer, out.data() + (done + rest) * REC, sizeof(trailer));
				} else {
					struct iovec iov[2] = {{out.data() + done * REC, rest * REC}, {trailer, sizeof(trailer)}};
					n = preadv(fd, iov, 2, seg_off(s) + pos * REC);
				}
				if (n <= 0)
					state.SkipWithError("pread failed");
				benchmark::DoNotOptimize(trailer);
				done += rest;
				pos = RECS_PER_SEG;
			} else {
				if (!cached) {
					if (pread(fd, seg.data(), seg.size(), seg_off(s)) != (ssize_t)seg.size())
						state.SkipWithError("pread failed");
					cached = true;
				}
				uint64_t k = std::min(want - done, rest);
				memcpy(out.data() + done * REC, seg.data() + pos * REC, k * REC);
				pos += k;
				done += k;
			}
			if (pos == RECS_PER_SEG) {
				s = (s + 1) % FILLED;
				pos = 0;
				cached = false;
			}
		}
		benchmark::DoNotOptimize(out.data());
	}
	state.SetItemsProcessed(state.iterations() * per_call);
	close(fd);
	unlink(path.c_str());
}

void BM_RbufferWrite(benchmark::State &state) { ring_write(state, BATCH); }
void BM_BareWrite(benchmark::State &state) { bare_write(state, BATCH, PLAIN); }
void BM_BareWriteSameCalls(benchmark::State &state) { bare_write(state, BATCH, SAME); }
void BM_RbufferWritePartial(benchmark::State &state) { ring_write(state, PARTIAL); }
void BM_BareWritePartial(benchmark::State &state) { bare_write(state, PARTIAL, PLAIN); }
void BM_BareWritePartialSameCalls(benchmark::State &state) { bare_write(state, PARTIAL, SAME); }
void BM_RbufferRead(benchmark::State &state) { ring_read(state, BATCH); }
void BM_BareRead(benchmark::State &state) { bare_read(state, BATCH, PLAIN); }
void BM_BareReadSameCalls(benchmark::State &state) { bare_read(state, BATCH, SAME); }
void BM_RbufferReadPartial(benchmark::State &state) { ring_read(state, PARTIAL); }
void BM_BareReadPartial(benchmark::State &state) { bare_read(state, PARTIAL, PLAIN); }
void BM_RbufferReadLarge(benchmark::State &state) { ring_read(state, LARGE); }
void BM_BareReadLarge(benchmark::State &state) { bare_read(state, LARGE, PLAIN); }
void BM_BareReadLargeSameCalls(benchmark::State &state) { bare_read(state, LARGE, SAME); }

BENCHMARK(BM_RbufferWrite);
BENCHMARK(BM_BareWrite);
BENCHMARK(BM_BareWriteSameCalls);
BENCHMARK(BM_RbufferWritePartial);
BENCHMARK(BM_BareWritePartial);
BENCHMARK(BM_BareWritePartialSameCalls);
BENCHMARK(BM_RbufferRead);
BENCHMARK(BM_BareRead);
BENCHMARK(BM_BareReadSameCalls);
BENCHMARK(BM_RbufferReadPartial);
BENCHMARK(BM_BareReadPartial);
BENCHMARK(BM_RbufferReadLarge);
BENCHMARK(BM_BareReadLarge);
BENCHMARK(BM_BareReadLargeSameCalls);

} // namespace

int
main(int argc, char **argv)
{
	if (!init_interleaved(&argc, argv, 15, 0.1))
		return 1;
	RatioReporter reporter;
	benchmark::RunSpecifiedBenchmarks(&reporter);
	struct {
		const char *what, *ours, *bare, *same;
	} pairs[] = {
			{"write, 100 per batch", "BM_RbufferWrite", "BM_BareWrite", "BM_BareWriteSameCalls"},
			{"write, 30 per batch", "BM_RbufferWritePartial", "BM_BareWritePartial", "BM_BareWritePartialSameCalls"},
			{"read, 100 per batch", "BM_RbufferRead", "BM_BareRead", "BM_BareReadSameCalls"},
			{"read, 30 per batch", "BM_RbufferReadPartial", "BM_BareReadPartial", nullptr},
			{"read, 500 per batch", "BM_RbufferReadLarge", "BM_BareReadLarge", "BM_BareReadLargeSameCalls"},
	};
	std::vector<std::pair<std::string, std::string>> time_pairs;
	for (auto &p : pairs) {
		time_pairs.emplace_back(p.ours, p.bare);
		if (p.same)
			time_pairs.emplace_back(p.ours, p.same);
	}
	print_ratios(reporter, time_pairs);
	// The same medians as throughput: the ring buffer's records per second as
	// a share of the bare loop's (time of the bare loop / time of ours).
	for (auto &p : pairs) {
		double plain, same = 0;
		size_t reps, reps_same = 0;
		if (!reporter.median_ratio(p.bare, p.ours, &plain, &reps))
			continue;
		printf("%s: rbuffer reaches %.3f of a plain loop of whole segments", p.what, plain);
		if (p.same && reporter.median_ratio(p.same, p.ours, &same, &reps_same))
			printf(", %.3f of a loop making the same calls", same);
		printf(" (goal 0.95; medians of %zu interleaved repetitions)\n", reps);
	}
	benchmark::Shutdown();
	return 0;
}
