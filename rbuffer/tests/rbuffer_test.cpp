// The digest log's bytes on disk, opening and resuming, writing with and
// without overwrite, reading through the main reader and caching contexts,
// seeks, start-up modes, reclaim, and damaged or truncated files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "rbuffer_fixture.h"
#include "tamberlin/enhanced_alloc.h"

using namespace rbt;

namespace {

std::vector<uint64_t>
iota(uint64_t first, uint64_t n)
{
	std::vector<uint64_t> v;
	for (uint64_t i = 0; i < n; i++)
		v.push_back(first + i);
	return v;
}

constexpr size_t HDR = 104;            // file header offset
constexpr size_t SEG0 = 2048;          // segment 0
constexpr size_t SEGSZ = 8004;

size_t
trailer(uint64_t seg)
{
	return SEG0 + seg * SEGSZ + 8000;
}

} // namespace

// ---- file format ---------------------------------------------------------------

TEST(Format, FreshFileHoldsTheHeadersAtTheirOffsets)
{
	cfg c(tmp_path("fresh"), SZ12);
	ox_rbuffer *r = ox_rbuffer_init(&c);
	ASSERT_NE(r, nullptr);
	EXPECT_EQ(r->nsegs[0], 12u);
	EXPECT_EQ(r->max_slots, 1200u);
	auto b = file_bytes(c.path);
	ASSERT_EQ(b.size(), (size_t)SZ12);
	const uint8_t magic[8] = {0x01, 0xe0, 0x11, 0x9f, 0x10, 0x56, 0x9e, 0xd1};
	EXPECT_EQ(memcmp(b.data(), magic, 8), 0);
	EXPECT_EQ(le(b, 8, 8), r->chdr.signature);
	EXPECT_EQ(le(b, 16, 2), 8000u);
	EXPECT_EQ(le(b, 18, 2), 80u);
	EXPECT_EQ(b[20], RBUFFER_FLAG_PERSIST);
	EXPECT_EQ(b[21], 1u);
	for (size_t o = 22; o < 96; o++)
		EXPECT_EQ(b[o], 0u) << "offset " << o; // padding and the three positions
	EXPECT_EQ(le(b, 96, 2), 1u);               // generation
	EXPECT_EQ(le(b, HDR + 0, 8), (uint64_t)SZ12);
	EXPECT_EQ(b[HDR + 8], 0u);
	EXPECT_STREQ((const char *)&b[HDR + 9], c.path.c_str());
	EXPECT_EQ(le(b, HDR + 272, 8), 0u); // sseg {0,0,0}
	EXPECT_EQ(le(b, HDR + 280, 8), 0u);
	EXPECT_EQ(le(b, HDR + 296, 8), 0u); // nseg {0,0,0}
	EXPECT_EQ(le(b, HDR + 320, 1), 0u); // pseg {0,12,0}
	EXPECT_EQ(le(b, HDR + 328, 8), 12u);
	EXPECT_EQ(le(b, HDR + 336, 8), 0u);
	for (size_t o = HDR + 368; o < 2048; o++)
		ASSERT_EQ(b[o], 0u) << "offset " << o; // user words and the unused region
	ox_rbuffer_close(r);
}

TEST(Format, TwoHundredFiftyWritesLeaveTrailersPositionsAndCounts)
{
	cfg c(tmp_path("w250"), SZ12);
	ox_rbuffer *r = ox_rbuffer_init(&c);
	ASSERT_NE(r, nullptr);
	ASSERT_EQ(write_seq(r, 0, 250, 1), 250u);
	EXPECT_EQ(r->write_stat, 250u);
	EXPECT_EQ(r->fwrite_stat, 250u);      // every call writes its segment
	EXPECT_EQ(r->fwmeta_stat, 2u * 251u); // and persists (plus once at opening)
	EXPECT_EQ(r->fseek_stat, 247u);       // rewrites of the same segment
	auto b = file_bytes(c.path);
	for (uint64_t s = 0; s < 3; s++) {
		EXPECT_EQ(le(b, trailer(s), 2), 1u) << s;
		EXPECT_EQ(b[trailer(s) + 2], s < 2 ? 100u : 50u) << s;
		EXPECT_EQ(b[trailer(s) + 3], 0xb7u) << s;
	}
	EXPECT_EQ(b[trailer(3) + 3], 0u);
	for (uint64_t n : {0u, 99u, 100u, 249u}) {
		size_t off = SEG0 + (n / 100) * SEGSZ + (n % 100) * 80;
		EXPECT_EQ(rec_num((const char *)&b[off]), n);
	}
	// wptr {0, 2, 50}; rptr and sptr {0, 0, 0}
	EXPECT_EQ(le(b, 72, 1), 0u);
	EXPECT_EQ(le(b, 80, 8), 2u);
	EXPECT_EQ(le(b, 88, 8), 50u);
	EXPECT_EQ(le(b, 56, 8) + le(b, 64, 8) + le(b, 32, 8) + le(b, 40, 8), 0u);
	ox_rbuffer_close(r);
}

TEST(Format, OneCallOf250WritesThreeSegmentsAndPersistsThreeTimes)
{
	cfg c(tmp_path("call250"), SZ12);
	ox_rbuffer *r = ox_rbuffer_init(&c);
	ASSERT_NE(r, nullptr);
	EXPECT_EQ(write_seq(r, 0, 250, 250), 250u);
	EXPECT_EQ(r->fwrite_stat, 3u);
	EXPECT_EQ(r->fwmeta_stat, 2u * 4u);
	EXPECT_EQ(r->fseek_stat, 0u);
	std::vector<uint64_t> got;
	EXPECT_EQ(read_all(r, nullptr, &got), 0);
	EXPECT_EQ(got, iota(0, 250));
	ox_rbuffer_close(r);
}

namespace {

// Record n of size rs: bytes derived from n and their place, never zero.
void
fill_rec(uint64_t n, size_t rs, char *out)
{
	for (size_t j = 0; j < rs; j++)
		out[j] = (char)((n * 7919u + j * 31u) % 251u + 1u);
}

// The segments of a log of 80-, 33-, 50- or 3000-byte records, built from
// the format by hand: a writer that fills segment after segment, and every
// segment that a call put records into written whole: its records from
// offset 0, zero after them up to the trailer, the trailer with the
// generation, the count and the magic. Segments not written in this turn
// keep what an earlier turn left there.
struct seg_model {
	size_t rs;
	uint64_t M, nsegs;
	uint64_t seg = 0, count = 0; // writer
	int16_t gen = 1;
	uint64_t next = 0; // the next record's number
	std::vector<std::vector<uint8_t>> image;
	std::vector<uint64_t> first; // number of record 0 of each segment's turn
	bool overwrite;
	uint64_t segs_filled = 0; // without overwrite: the writer stops after a ring

	seg_model(size_t rec, uint64_t segs, bool ow) : rs(rec), M(8000 / rec), nsegs(segs), overwrite(ow)
	{
		image.assign(segs, std::vector<uint8_t>(8004, 0));
		first.assign(segs, 0);
	}
	void write_seg(uint64_t s)
	{
		std::vector<uint8_t> &b = image[s];
		std::fill(b.begin(), b.end(), 0);
		uint64_t recs = s == seg ? count : M;
		for (uint64_t i = 0; i < recs; i++)
			fill_rec(first[s] + i, rs, (char *)&b[i * rs]);
		memcpy(&b[8000], &gen, 2);
		b[8002] = (uint8_t)recs;
		b[8003] = 0xb7;
	}
	// Moves the writer on from a full segment; false when it is stuck.
	bool advance()
	{
		if (!overwrite && segs_filled + 1 >= nsegs)
			return false; // the next segment is the main reader's
		segs_filled++;
		seg = (seg + 1) % nsegs;
		count = 0;
		if (seg == 0)
			gen++;
		return true;
	}
	// Records accepted of a call of n. A segment is written when the call
	// fills it, before the writer moves on, and at the end of the call.
	uint64_t call(uint64_t n)
	{
		uint64_t done = 0;
		if (count == M && !advance())
			return 0;
		while (done < n) {
			if (count == 0)
				first[seg] = next;
			uint64_t k = std::min(n - done, M - count);
			count += k;
			next += k;
			done += k;
			write_seg(seg);
			if (count == M && !advance())
				break;
		}
		return done;
	}
};

} // namespace

// The bytes on disk do not depend on how the records arrived: whole segments
// in one call, batches that do not fill a segment, calls that cross segment
// boundaries, a reopening in the middle of a segment, a writer stuck on a
// full segment and flushed, records of sizes that leave bytes unused before
// the trailer, and turns of the ring that write over older segments.
TEST(Format, SegmentBytesFollowTheFormatWhateverTheBatches)
{
	struct {
		size_t rs;
		bool overwrite;
	} logs[] = {{80, true}, {80, false}, {33, true}, {50, true}, {3000, true}, {3000, false}};
	const uint64_t SEGS = 7;
	for (auto &k : logs) {
		const uint64_t M = 8000 / k.rs;
		// Call sizes as parts of a segment; 0 stands for a reopening.
		std::vector<uint64_t> calls = {M / 3 + 1, M / 3, M / 3, M / 3, M, M, 2 * M + M / 2, 1, 0, M - 1, M, 3,
				0, 2 * M - 3, 5 * M, M / 2 + 1, 0, M, 9 * M + 1, M, 2, M - 2, M};
		cfg c(tmp_path("bytes"), 2048 + 8004 * (int64_t)SEGS, true, k.overwrite);
		c.c.rec_size = k.rs;
		ox_rbuffer *r = ox_rbuffer_init(&c);
		ASSERT_NE(r, nullptr) << k.rs;
		seg_model m(k.rs, SEGS, k.overwrite);
		std::vector<char> buf;
		for (uint64_t n : calls) {
			if (n == 0) {
				ox_rbuffer_close(r);
				r = ox_rbuffer_init(&c);
				ASSERT_NE(r, nullptr) << k.rs;
				continue;
			}
			uint64_t from = m.next;
			uint64_t want = m.call(n);
			buf.resize(n * k.rs);
			for (uint64_t i = 0; i < n; i++)
				fill_rec(from + i, k.rs, &buf[i * k.rs]);
			int w = ox_rbuffer_write(r, buf.data(), (int)n);
			// A stuck writer gives -1, or 0 on the call after a reopening.
			if (want == 0)
				ASSERT_LE(w, 0) << k.rs << " call of " << n;
			else
				ASSERT_EQ(w, (int)want) << k.rs << " " << k.overwrite << " call of " << n;
			if (want < n)
				m.next = from + want; // the rest is not in the log
		}
		if (!k.overwrite) {
			ASSERT_EQ(m.segs_filled + 1, SEGS) << "the writer is stuck on a full segment";
		}
		EXPECT_TRUE(ox_rbuffer_fflush(r));
		auto b = file_bytes(c.path);
		ASSERT_EQ(b.size(), 2048 + 8004 * SEGS);
		for (uint64_t s = 0; s < SEGS; s++) {
			EXPECT_TRUE(memcmp(&b[2048 + s * 8004], m.image[s].data(), 8004) == 0)
					<< "segment " << s << " of the " << k.rs << "-byte log, overwrite " << k.overwrite;
		}
		EXPECT_EQ(le(b, 80, 8), m.seg) << k.rs; // the stored write position
		EXPECT_EQ(le(b, 88, 8), m.count) << k.rs;
		EXPECT_EQ((int16_t)le(b, 96, 2), m.gen) << k.rs;
		ox_rbuffer_close(r);
	}
}

// Sizes whose last segment would end beyond the configured size: the file is
// made long enough for it, so its trailer survives every reopening.
TEST(Format, FileAlwaysHoldsItsLastSegment)
{
	struct {
		int64_t size;
		uint64_t segs;
		uint64_t file;
	} cases[] = {
			{100000, 12, 100000},
			{8004 * 10 + 100, 10, 2048 + 8004 * 10},
			{8004 * 7, 7, 2048 + 8004 * 7},
			{100000000, 12493, 100000000},
	};
	for (auto &k : cases) {
		cfg c(tmp_path("size"), k.size, true, true);
		ox_rbuffer *r = ox_rbuffer_init(&c);
		ASSERT_NE(r, nullptr) << k.size;
		EXPECT_EQ(r->nsegs[0], k.segs);
		EXPECT_EQ(file_size(c.path), k.file) << k.size;
		if (k.segs <= 12) {
			// Fill every segment; the last one must come back after a reopen.
			ASSERT_EQ(write_seq(r, 0, k.segs * 100 - 50), k.segs * 100 - 50);
			ox_rbuffer_close(r);
			r = ox_rbuffer_init(&c);
			ASSERT_NE(r, nullptr);
			EXPECT_EQ(file_size(c.path), k.file);
			std::vector<uint64_t> got;
			read_all(r, nullptr, &got);
			EXPECT_EQ(got, iota(0, k.segs * 100 - 50)) << k.size;
		}
		ox_rbuffer_close(r);
	}
}

// ---- opening ---------------------------------------------------------------------

TEST(Open, RefusesConfigurationsItCannotHold)
{
	std::string p = tmp_path("cfg");
	struct {
		int64_t size;
		uint64_t rec;
		bool ok;
	} cases[] = {
			{16000, 80, false}, {16001, 80, false}, {56027, 80, false}, // fewer than 7 segments
			{56028, 80, true},  {SZ12, 31, false},  {SZ12, 8001, false},
			{SZ12, 32, true},   {SZ12, 8000, true},
	};
	for (auto &k : cases) {
		unlink(p.c_str());
		cfg c(p, k.size);
		c.c.rec_size = k.rec;
		ox_rbuffer *r = ox_rbuffer_init(&c);
		EXPECT_EQ(r != nullptr, k.ok) << k.size << " " << k.rec;
		if (r)
			ox_rbuffer_close(r);
	}
	cfg c(p, SZ12);
	c.c.nfiles = 0;
	EXPECT_EQ(ox_rbuffer_init(&c), nullptr);
	c.c.nfiles = 5;
	EXPECT_EQ(ox_rbuffer_init(&c), nullptr);
	c.c.nfiles = 1;
	std::string longp(300, 'x');
	c.c.fname[0] = longp.c_str();
	EXPECT_EQ(ox_rbuffer_init(&c), nullptr);
	EXPECT_EQ(ox_rbuffer_init(nullptr), nullptr);
}

TEST(Open, ReopenResumesEveryRecordOnceInOrder)
{
	cfg c(tmp_path("resume"), SZ12);
	ox_rbuffer *r = ox_rbuffer_init(&c);
	ASSERT_NE(r, nullptr);
	ASSERT_EQ(write_seq(r, 0, 437, 37), 437u);
	std::vector<uint64_t> got;
	read_all(r, nullptr, &got, 50, 120);
	r->hdr[0].udata[3] = 777;
	ox_rbuffer_close(r);

	r = ox_rbuffer_init(&c);
	ASSERT_NE(r, nullptr);
	EXPECT_EQ(r->hdr[0].udata[3], 777u);
	EXPECT_EQ(r->wctx.ptr.seg_id, 4u);
	EXPECT_EQ(r->wctx.ptr.rec_id, 37u); // the writer goes on filling its segment
	EXPECT_EQ(ox_rbuffer_outstanding(r), 437u - 120u);
	ASSERT_EQ(write_seq(r, 437, 100, 30), 100u);
	read_all(r, nullptr, &got);
	EXPECT_EQ(got, iota(0, 537));
	ox_rbuffer_close(r);
}

TEST(Open, ChangedSizeIsRefusedBeforeTheFileIsTouched)
{
	cfg c(tmp_path("resize"), SZ12);
	ox_rbuffer *r = ox_rbuffer_init(&c);
	ASSERT_NE(r, nullptr);
	ASSERT_EQ(write_seq(r, 0, 1150), 1150u);
	ox_rbuffer_close(r);
	auto before = file_bytes(c.path);
	for (int64_t other : {int64_t(60000), int64_t(200000)}) {
		cfg d(c.path, other);
		EXPECT_EQ(ox_rbuffer_init(&d), nullptr);
		EXPECT_EQ(file_bytes(c.path), before) << other;
	}
	r = ox_rbuffer_init(&c);
	ASSERT_NE(r, nullptr);
	std::vector<uint64_t> got;
	read_all(r, nullptr, &got);
	EXPECT_EQ(got, iota(0, 1150));
	ox_rbuffer_close(r);
}

// Stored fields that would index or divide: each damaged header is refused
// with the file left as it was.
TEST(Open, DamagedHeaderFieldsAreRefused)
{
	struct field {
		const char *what;
		size_t off;
		uint64_t value;
		int width;
	} cases[] = {
			{"seg_size 0", 16, 0, 2},
			{"seg_size 4000", 16, 4000, 2},
			{"rec_size 0", 18, 0, 2},
			{"rec_size 50", 18, 50, 2},
			{"nfiles 0", 21, 0, 1},
			{"nfiles 9", 21, 9, 1},
			{"sptr fidx 3", 24, 3, 1},
			{"sptr seg beyond", 32, 12, 8},
			{"rptr rec beyond", 64, 101, 8},
			{"rptr ahead of writer", 56, 5, 8},
			{"wptr fidx 2", 72, 2, 1},
			{"wptr seg huge", 80, 1ull << 40, 8},
			{"wptr rec 255", 88, 255, 8},
			{"file index 2", HDR + 8, 2, 1},
			{"file size", HDR, 200000, 8},
	};
	cfg c(tmp_path("damaged"), SZ12);
	ox_rbuffer *r = ox_rbuffer_init(&c);
	ASSERT_NE(r, nullptr);
	ASSERT_EQ(write_seq(r, 0, 350), 350u);
	ox_rbuffer_close(r);
	auto good = file_bytes(c.path);
	for (auto &k : cases) {
		patch(c.path, 0, good.data(), 2048);
		patch(c.path, (int64_t)k.off, &k.value, (size_t)k.width);
		auto bad = file_bytes(c.path);
		EXPECT_EQ(ox_rbuffer_init(&c), nullptr) << k.what;
		EXPECT_EQ(file_bytes(c.path), bad) << k.what;
	}
	std::vector<char> name(256, 'a');
	patch(c.path, 0, good.data(), 2048);
	patch(c.path, HDR + 9, name.data(), name.size());
	EXPECT_EQ(ox_rbuffer_init(&c), nullptr) << "unterminated name";

	patch(c.path, 0, good.data(), 2048);
	r = ox_rbuffer_init(&c);
	ASSERT_NE(r, nullptr);
	std::vector<uint64_t> got;
	read_all(r, nullptr, &got);
	EXPECT_EQ(got, iota(0, 350));
	ox_rbuffer_close(r);
}

TEST(OpenDeathTest, ForeignMagicEndsTheProcess)
{
	// A plain fork: a child that ran the test again would make (and leave)
	// a log file of its own.
	GTEST_FLAG_SET(death_test_style, "fast");
	cfg c(tmp_path("foreign"), SZ12);
	ox_rbuffer *r = ox_rbuffer_init(&c);
	ASSERT_NE(r, nullptr);
	ox_rbuffer_close(r);
	uint8_t junk = 0x5a;
	patch(c.path, 3, &junk, 1);
	EXPECT_DEATH(ox_rbuffer_init(&c), "Aborting");
}

TEST(Open, NonPersistModeEmptiesAndNeverStamps)
{
	cfg c(tmp_path("nopersist"), SZ12);
	ox_rbuffer *r = ox_rbuffer_init(&c);
	ASSERT_NE(r, nullptr);
	ASSERT_EQ(write_seq(r, 0, 300), 300u);
	ox_rbuffer_close(r);

	cfg n(c.path, SZ12, false);
	r = ox_rbuffer_init(&n);
	ASSERT_NE(r, nullptr);
	EXPECT_EQ(file_size(c.path), 0u);
	char rec[REC];
	EXPECT_EQ(ox_rbuffer_read(r, nullptr, rec, 1), RBUFFER_READ_HITS_WRITE); // the emptied file
	ASSERT_EQ(write_seq(r, 1000, 150), 150u);
	std::vector<uint64_t> got;
	read_all(r, nullptr, &got);
	EXPECT_EQ(got, iota(1000, 150));
	EXPECT_EQ(ox_rbuffer_persist(r), 0);
	EXPECT_EQ(r->chdr.wptr.seg_id, 1u); // positions copied, nothing written
	ox_rbuffer_close(r);
	auto b = file_bytes(c.path);
	for (size_t o = 0; o < 2048; o++)
		ASSERT_EQ(b[o], 0u);

	r = ox_rbuffer_init(&c); // unstamped: a new log
	ASSERT_NE(r, nullptr);
	EXPECT_EQ(r->chdr.version, 1);
	EXPECT_EQ(r->wctx.ptr.seg_id, 0u);
	ox_rbuffer_close(r);
}

TEST(Open, SameFilesGetOneWriterOnly)
{
	cfg c(tmp_path("twice"), SZ12);
	ox_rbuffer *r = ox_rbuffer_init(&c);
	ASSERT_NE(r, nullptr);
	ASSERT_EQ(write_seq(r, 0, 120), 120u);
	EXPECT_EQ(ox_rbuffer_init(&c), nullptr);
	EXPECT_FALSE(ox_rbuffer_reinit(r, &c));
	ASSERT_EQ(write_seq(r, 120, 30), 30u);
	ox_rbuffer_close(r);
	EXPECT_TRUE(ox_rbuffer_reinit(nullptr, &c));
	r = ox_rbuffer_init(&c);
	ASSERT_NE(r, nullptr);
	std::vector<uint64_t> got;
	read_all(r, nullptr, &got);
	EXPECT_EQ(got, iota(0, 150));
	ox_rbuffer_close(r);
}

// ---- bad input -------------------------------------------------------------------------

TEST(BadInput, TruncatedFilesGiveErrorsOrLoseOnlyWhatIsGone)
{
	struct {
		const char *what;
		int64_t cut_to;
		bool opens;
		uint64_t kept; // records still read
	} cases[] = {
			{"inside the common header", 50, false, 0},
			{"inside the file header", 700, false, 0},
			{"after the headers", 1500, true, 0},
			{"inside segment 2", (int64_t)(SEG0 + 2 * SEGSZ + 4000), true, 200},
			{"inside the last trailer", (int64_t)(SEG0 + 5 * SEGSZ + 8002), true, 500},
	};
	for (auto &k : cases) {
		cfg c(tmp_path("trunc"), SZ12);
		ox_rbuffer *r = ox_rbuffer_init(&c);
		ASSERT_NE(r, nullptr);
		ASSERT_EQ(write_seq(r, 0, 550), 550u);
		ox_rbuffer_close(r);
		cut(c.path, k.cut_to);
		r = ox_rbuffer_init(&c);
		ASSERT_EQ(r != nullptr, k.opens) << k.what;
		if (!r)
			continue;
		std::vector<uint64_t> got;
		int last = read_all(r, nullptr, &got);
		EXPECT_LE(last, 0) << k.what;
		EXPECT_EQ(got, iota(0, k.kept)) << k.what;
		EXPECT_EQ(r->lost_stat, (k.kept < 500 ? 500 - k.kept : 0)) << k.what;
		for (uint64_t n : got)
			EXPECT_NE(n, UINT64_MAX) << k.what;
		// The writer starts again on what is really there, and nothing new is lost.
		ASSERT_EQ(write_seq(r, 9000, 20), 20u) << k.what;
		got.clear();
		read_all(r, nullptr, &got);
		EXPECT_EQ(got, iota(9000, 20)) << k.what;
		ox_rbuffer_close(r);
	}
	cfg e(tmp_path("empty"), SZ12);
	close(open(e.path.c_str(), O_CREAT | O_WRONLY, 0600));
	ox_rbuffer *r = ox_rbuffer_init(&e); // an empty file is a new log
	ASSERT_NE(r, nullptr);
	ox_rbuffer_close(r);
}

TEST(BadInput, UnreadableSegmentBehindTheWriterIsPassedOverAndCounted)
{
	cfg c(tmp_path("badseg"), SZ12);
	ox_rbuffer *r = ox_rbuffer_init(&c);
	ASSERT_NE(r, nullptr);
	ASSERT_EQ(write_seq(r, 0, 520), 520u);
	uint8_t zero = 0;
	patch(c.path, (int64_t)trailer(2) + 3, &zero, 1); // magic of segment 2
	int16_t old = 0;
	patch(c.path, (int64_t)trailer(3), &old, 2); // generation of segment 3
	std::vector<uint64_t> got;
	EXPECT_EQ(read_all(r, nullptr, &got), 0);
	std::vector<uint64_t> want = iota(0, 200);
	for (uint64_t n = 400; n < 520; n++)
		want.push_back(n);
	EXPECT_EQ(got, want);
	EXPECT_EQ(r->lost_stat, 200u);
	ox_rbuffer_close(r);
}

// ---- writing ------------------------------------------------------------------------

TEST(Write, WithoutOverwriteTheWriterWaitsForTheMainReader)
{
	cfg c(tmp_path("wait"), SZ12);
	ox_rbuffer *r = ox_rbuffer_init(&c);
	ASSERT_NE(r, nullptr);
	EXPECT_EQ(write_seq(r, 0, 5000, 250), 1200u); // the ring is full
	std::vector<char> rec(REC * 10);
	EXPECT_EQ(ox_rbuffer_write(r, rec.data(), 10), -1);
	EXPECT_EQ(ox_rbuffer_write(r, rec.data(), 0), -1);
	std::vector<uint64_t> got;
	read_all(r, nullptr, &got, 100, 500); // 5 segments: still not enough
	EXPECT_EQ(write_seq(r, 1200, 10), 0u);
	read_all(r, nullptr, &got, 100, 100); // at the end of segment 5: not yet past it
	EXPECT_EQ(write_seq(r, 1200, 10), 0u);
	read_all(r, nullptr, &got, 100, 1); // the reader 6 segments past the start
	EXPECT_EQ(write_seq(r, 1200, 1000), 500u);
	read_all(r, nullptr, &got);
	EXPECT_EQ(got, iota(0, 1700));
	EXPECT_EQ(r->lost_stat, 0u);
	ox_rbuffer_close(r);
}

TEST(Write, OverwritePushesTheMainReaderAndCountsWhatItLost)
{
	cfg c(tmp_path("overwrite"), SZ12, true, true);
	ox_rbuffer *r = ox_rbuffer_init(&c);
	ASSERT_NE(r, nullptr);
	uint64_t reclaim0 = ox_atomic64_get(&runtime_reclaim);
	std::vector<uint64_t> got;
	ASSERT_EQ(write_seq(r, 0, 150), 150u);
	read_all(r, nullptr, &got, 30, 30); // reader inside segment 0
	ASSERT_EQ(write_seq(r, 150, 1050 + 30), 1080u);
	// The writer came round to segment 0 twice: start and reader pushed by 5
	// segments each time (0 -> 5 -> ... ) while it wrote records 1200 on.
	EXPECT_GE(ox_atomic64_get(&runtime_reclaim) - reclaim0, 500u);
	uint64_t lost = r->lost_stat;
	EXPECT_EQ(lost, 500u - 30u);
	read_all(r, nullptr, &got);
	ASSERT_GT(got.size(), 30u);
	EXPECT_EQ(got[30], 30u + lost);
	for (size_t i = 31; i < got.size(); i++)
		ASSERT_EQ(got[i], got[i - 1] + 1);
	EXPECT_EQ(got.back(), 1229u);
	ox_rbuffer_close(r);
}

// The writer comes round to the start while the main reader stands on one of
// the five segments that the start move drops: the reader is pushed to the
// new start with the move, and what it had not read there counts as lost.
// Further in, it stays where it is and loses nothing.
TEST(Write, OverwritePushesAMainReaderInsideTheDroppedSegments)
{
	struct {
		uint64_t read; // records read before the writer comes round
		uint64_t seg;  // the reader's segment then
	} cases[] = {
			{30, 0},  {100, 0}, // on the start: the writer reaches the reader itself
			{130, 1}, {250, 2}, {399, 3}, {400, 3}, {470, 4}, {500, 4},
			{530, 5}, // beyond the dropped segments
	};
	for (auto &k : cases) {
		cfg c(tmp_path("push"), SZ12, true, true);
		ox_rbuffer *r = ox_rbuffer_init(&c);
		ASSERT_NE(r, nullptr);
		ASSERT_EQ(write_seq(r, 0, 1150), 1150u); // segments 0 to 10 full, 11 half
		std::vector<uint64_t> got;
		read_all(r, nullptr, &got, 100, k.read);
		ASSERT_EQ(got, iota(0, k.read));
		ASSERT_EQ(r->rctx.ptr.seg_id, k.seg) << k.read;
		uint64_t reclaim0 = ox_atomic64_get(&runtime_reclaim);
		// Fills segment 11; the writer's next segment is the start's.
		ASSERT_EQ(write_seq(r, 1150, 80), 80u);
		EXPECT_EQ(r->chdr.sptr.seg_id, 5u) << k.read;
		EXPECT_EQ(r->wctx.ptr.seg_id, 0u) << k.read;
		EXPECT_EQ(ox_atomic64_get(&runtime_reclaim) - reclaim0, 500u) << k.read;
		EXPECT_EQ(r->rctx.ptr.seg_id, std::max<uint64_t>(k.seg, 5)) << k.read;
		uint64_t lost = k.read < 500 ? 500 - k.read : 0;
		EXPECT_EQ(r->lost_stat, lost) << k.read;
		got.clear();
		EXPECT_EQ(read_all(r, nullptr, &got), 0);
		EXPECT_EQ(got, iota(k.read + lost, 1230 - k.read - lost)) << k.read;
		ox_rbuffer_close(r);
	}
}

namespace {
int g_fail_at, g_segwrites, g_rdonly = -1, g_saved = -1;
void
fail_one_segwrite(ox_rbuffer *r, int point)
{
	if (point != RBUFFER_HOOK_BEFORE_SEGWRITE || ++g_segwrites != g_fail_at)
		return;
	g_saved = dup(r->wfd[0]);
	dup2(g_rdonly, r->wfd[0]); // the next pwrite fails
}
void
restore_fd(ox_rbuffer *r)
{
	if (g_saved >= 0) {
		dup2(g_saved, r->wfd[0]);
		close(g_saved);
		g_saved = -1;
	}
}
} // namespace

TEST(Write, FailedSegmentWriteReportsWhatIsStored)
{
	cfg c(tmp_path("wfail"), SZ12);
	ox_rbuffer *r = ox_rbuffer_init(&c);
	ASSERT_NE(r, nullptr);
	g_rdonly = open(c.path.c_str(), O_RDONLY);
	ox__rbuffer_test_hook = fail_one_segwrite;
	std::vector<char> buf(250 * REC);
	for (int i = 0; i < 250; i++)
		make_rec((uint64_t)i, &buf[(size_t)i * REC]);
	struct {
		int fail_at; // which segment write of the call fails
		int want;
	} cases[] = {{3, 200}, {1, -1}};
	uint64_t next = 0;
	for (auto &k : cases) {
		for (int i = 0; i < 250; i++)
			make_rec(next + (uint64_t)i, &buf[(size_t)i * REC]);
		g_segwrites = 0;
		g_fail_at = k.fail_at;
		int w = ox_rbuffer_write(r, buf.data(), 250);
		restore_fd(r);
		EXPECT_EQ(w, k.want);
		int stored = w < 0 ? 0 : w;
		g_fail_at = 0;
		// The caller writes again what was not stored.
		EXPECT_EQ(ox_rbuffer_write(r, buf.data() + (size_t)stored * REC, 250 - stored), 250 - stored);
		next += 250;
	}
	ox__rbuffer_test_hook = nullptr;
	close(g_rdonly);
	std::vector<uint64_t> got;
	read_all(r, nullptr, &got);
	EXPECT_EQ(got, iota(0, 500));
	ox_rbuffer_close(r);
}

TEST(Write, FlushRewritesTheWritersSegment)
{
	cfg c(tmp_path("flush"), SZ12);
	ox_rbuffer *r = ox_rbuffer_init(&c);
	ASSERT_NE(r, nullptr);
	EXPECT_TRUE(ox_rbuffer_fflush(r));
	EXPECT_EQ(r->fwrite_stat, 0u);
	ASSERT_EQ(write_seq(r, 0, 42), 42u);
	EXPECT_TRUE(ox_rbuffer_fflush(r));
	EXPECT_EQ(r->fwrite_stat, 2u);
	ox_rbuffer_close(r);
}

// ---- reading ------------------------------------------------------------------------------

TEST(Read, CaughtUpReaderGetsZeroAlsoOnTheWritersStaleSegment)
{
	cfg c(tmp_path("hitswrite"), SZ12);
	ox_rbuffer *r = ox_rbuffer_init(&c);
	ASSERT_NE(r, nullptr);
	char rec[REC * 10];
	EXPECT_EQ(ox_rbuffer_read(r, nullptr, rec, 0), 0);
	EXPECT_EQ(ox_rbuffer_read(r, nullptr, rec, 1), RBUFFER_READ_HITS_WRITE); // segment 0 never written
	std::vector<uint64_t> got;
	ASSERT_EQ(write_seq(r, 0, 1100), 1100u);
	read_all(r, nullptr, &got);
	ASSERT_EQ(write_seq(r, 1100, 100), 100u); // fills segment 11, writer enters segment 0
	EXPECT_EQ(r->chdr.version, 2);
	EXPECT_EQ(read_all(r, nullptr, &got), RBUFFER_READ_HITS_WRITE); // segment 0 still holds turn 1
	EXPECT_EQ(ox_rbuffer_read(r, nullptr, rec, 10), RBUFFER_READ_HITS_WRITE);
	// A new context at the writer does not take the stale segment either.
	ox_rbuffer_ctx *ctx = ox_rbuffer_getsetctx(r, nullptr, 2);
	ASSERT_NE(ctx, nullptr);
	EXPECT_EQ(ox_rbuffer_read(r, ctx, rec, 10), RBUFFER_READ_HITS_WRITE);
	ASSERT_EQ(write_seq(r, 1200, 7), 7u);
	read_all(r, nullptr, &got);
	EXPECT_EQ(got, iota(0, 1207));
	std::vector<uint64_t> cgot;
	read_all(r, ctx, &cgot);
	EXPECT_EQ(cgot, iota(1200, 7));
	ox_rbuffer_closectx(ctx);
	ox_rbuffer_close(r);
}

// The generation counter passes 32,767 and the ring's origin many times over.
TEST(Read, GenerationsWrapWithoutGapOrDuplicate)
{
	cfg c(tmp_path("genwrap"), 8004 * 7 + 2048, true, true);
	ox_rbuffer *r = ox_rbuffer_init(&c);
	ASSERT_NE(r, nullptr);
	ox_rbuffer_close(r);
	int16_t v = 32765;
	patch(c.path, 96, &v, 2);
	r = ox_rbuffer_init(&c);
	ASSERT_NE(r, nullptr);
	ox_rbuffer_ctx *ctx = ox_rbuffer_getsetctx(r, nullptr, 0);
	ASSERT_NE(ctx, nullptr);
	std::vector<uint64_t> got, cgot;
	uint64_t next = 0;
	for (int round = 0; round < 40; round++) {
		ASSERT_EQ(write_seq(r, next, 130, 65), 130u);
		next += 130;
		read_all(r, nullptr, &got);
		ASSERT_EQ(read_all(r, ctx, &cgot), 0);
	}
	EXPECT_LT(r->chdr.version, 0); // wrapped past 32,767
	EXPECT_EQ(got, iota(0, next));
	EXPECT_EQ(cgot, iota(0, next));
	EXPECT_EQ(r->lost_stat, 0u);
	ox_rbuffer_closectx(ctx);
	ox_rbuffer_close(r);
	r = ox_rbuffer_init(&c);
	ASSERT_NE(r, nullptr);
	ASSERT_EQ(write_seq(r, next, 10), 10u);
	got.clear();
	read_all(r, nullptr, &got);
	EXPECT_EQ(got, iota(next, 10));
	ox_rbuffer_close(r);
}

TEST(Read, ContextWhoseRecordsAreGoneGetsMinusOne)
{
	for (bool overwrite : {false, true}) {
		cfg c(tmp_path("gone"), SZ12, true, overwrite);
		ox_rbuffer *r = ox_rbuffer_init(&c);
		ASSERT_NE(r, nullptr);
		ASSERT_EQ(write_seq(r, 0, 1000), 1000u);
		ox_rbuffer_ctx *ctx = ox_rbuffer_getsetctx(r, nullptr, 0);
		ASSERT_NE(ctx, nullptr);
		std::vector<uint64_t> got;
		read_all(r, ctx, &got, 50, 150);
		if (overwrite) {
			ASSERT_EQ(write_seq(r, 1000, 300), 300u); // laps the context
		} else {
			std::vector<uint64_t> main;
			read_all(r, nullptr, &main, 100, 800);
			ox_rbuffer_ctx *mark = ox_rbuffer_getsetctx(r, nullptr, 0);
			ASSERT_EQ(ox_rbuffer_seek(r, mark, 400, 1), 400);
			EXPECT_EQ(ox_rbuffer_setstart(r, mark), 400u); // reclaim past the context
			ox_rbuffer_closectx(mark);
		}
		char rec[REC];
		EXPECT_EQ(ox_rbuffer_read(r, ctx, rec, 1), RBUFFER_SEG_VERSION_MISMATCH) << overwrite;
		EXPECT_EQ(ox_rbuffer_read(r, ctx, rec, 1), RBUFFER_SEG_VERSION_MISMATCH) << overwrite;
		EXPECT_EQ(ox_rbuffer_seek(r, ctx, 1, 1), -1);
		ASSERT_EQ(ox_rbuffer_getsetctx(r, ctx, 0), ctx);
		ASSERT_EQ(ox_rbuffer_read(r, ctx, rec, 1), 1);
		EXPECT_EQ(rec_num(rec), overwrite ? 500u : 400u);
		// A context made now stands at the moved start, not at record 0.
		ox_rbuffer_ctx *late = ox_rbuffer_getsetctx(r, nullptr, 0);
		ASSERT_NE(late, nullptr);
		ASSERT_EQ(ox_rbuffer_read(r, late, rec, 1), 1);
		EXPECT_EQ(rec_num(rec), overwrite ? 500u : 400u) << overwrite;
		ox_rbuffer_closectx(late);
		ox_rbuffer_closectx(ctx);
		ox_rbuffer_close(r);
	}
}

// A context moved to the start counts the records it passes over: none when
// it still stood in the kept region, else every record from where it stood
// to the start, however many turns the writer made meanwhile.
TEST(Read, AContextMovedToTheStartCountsTheRecordsItPassesOver)
{
	for (uint64_t more : {0u, 300u, 1250u, 3700u}) {
		cfg c(tmp_path("tostart"), SZ12, true, true);
		ox_rbuffer *r = ox_rbuffer_init(&c);
		ASSERT_NE(r, nullptr);
		ASSERT_EQ(write_seq(r, 0, 1000), 1000u);
		ox_rbuffer_ctx *ctx = ox_rbuffer_getsetctx(r, nullptr, 0);
		ASSERT_NE(ctx, nullptr);
		std::vector<uint64_t> got;
		read_all(r, ctx, &got, 50, 150);
		ASSERT_EQ(got.size(), 150u);
		ASSERT_EQ(write_seq(r, 1000, more), more);
		uint64_t passed = ox_rbuffer_ctx_tostart(r, ctx);
		char rec[REC];
		ASSERT_EQ(ox_rbuffer_read(r, ctx, rec, 1), 1) << more;
		if (more == 0) {
			EXPECT_EQ(passed, 0u);
			EXPECT_EQ(rec_num(rec), 0u);
		} else {
			EXPECT_GT(rec_num(rec), 150u) << more;
			EXPECT_EQ(passed, rec_num(rec) - 150) << more;
		}
		ox_rbuffer_closectx(ctx);
		ox_rbuffer_close(r);
	}
}

// Reads of every batch size deliver the same records, byte for byte: a
// batch that takes the rest of a segment straight from the file (with or
// without room after it), one that copies out of the cached segment, the
// writer's partly filled segment, and an unreadable segment behind the
// writer that is passed over. Record sizes that leave bytes unused before
// the trailer are read the same way.
TEST(Read, EveryBatchSizeDeliversTheSameRecords)
{
	for (size_t rs : {size_t(80), size_t(33), size_t(3000)}) {
		const uint64_t M = 8000 / rs, N = 11 * M + (M * 3) / 10, MORE = M / 2 + 1;
		std::vector<uint64_t> want;
		for (uint64_t n = 0; n < N + MORE; n++)
			if (n < 4 * M || n >= 5 * M)
				want.push_back(n); // segment 4 is damaged
		for (uint64_t per_call : {uint64_t(1), uint64_t(7), M / 3 + 1, M - 1, M, M + 1, M + M / 2, 5 * M, 13 * M}) {
			cfg c(tmp_path("batches"), 2048 + 8004 * 16); // room for all, so the start stays
			c.c.rec_size = rs;
			ox_rbuffer *r = ox_rbuffer_init(&c);
			ASSERT_NE(r, nullptr);
			std::vector<char> rec(rs);
			auto write_upto = [&](uint64_t from, uint64_t to) {
				std::vector<char> b(37 * rs);
				for (uint64_t n = from; n < to;) {
					int k = (int)std::min<uint64_t>(37, to - n);
					for (int i = 0; i < k; i++)
						fill_rec(n + (uint64_t)i, rs, &b[(size_t)i * rs]);
					ASSERT_EQ(ox_rbuffer_write(r, b.data(), k), k);
					n += (uint64_t)k;
				}
			};
			write_upto(0, N);
			uint8_t zero = 0;
			patch(c.path, (int64_t)trailer(4) + 3, &zero, 1);
			ox_rbuffer_ctx *ctx = ox_rbuffer_getsetctx(r, nullptr, 0);
			ASSERT_NE(ctx, nullptr);
			for (ox_rbuffer_ctx *via : {(ox_rbuffer_ctx *)nullptr, ctx}) {
				std::vector<char> buf(per_call * rs);
				size_t at = 0; // into want
				bool more_written = false;
				for (int calls = 0; calls < 100000; calls++) {
					int k = ox_rbuffer_read(r, via, buf.data(), (int)per_call);
					if (k == 0 && !more_written) {
						if (via == nullptr)
							write_upto(N, N + MORE); // the writer's segment grows
						more_written = true;
						continue;
					}
					if (k <= 0)
						break;
					for (int i = 0; i < k; i++, at++) {
						ASSERT_LT(at, want.size()) << rs << " " << per_call;
						fill_rec(want[at], rs, rec.data());
						ASSERT_EQ(memcmp(&buf[(size_t)i * rs], rec.data(), rs), 0)
								<< rs << "-byte record " << want[at] << ", batches of " << per_call
								<< (via ? ", context" : ", main reader");
					}
				}
				EXPECT_EQ(at, want.size()) << rs << " " << per_call << (via ? ", context" : ", main reader");
			}
			EXPECT_EQ(r->lost_stat, M) << rs << " " << per_call; // the main reader's only
			ox_rbuffer_closectx(ctx);
			ox_rbuffer_close(r);
		}
	}
}

TEST(Read, ContextAtTheWriterStandsAfterItsRecords)
{
	cfg c(tmp_path("whence2"), SZ12);
	ox_rbuffer *r = ox_rbuffer_init(&c);
	ASSERT_NE(r, nullptr);
	ASSERT_EQ(write_seq(r, 0, 130), 130u);
	ox_rbuffer_ctx *ctx = ox_rbuffer_getsetctx(r, nullptr, 2);
	ASSERT_NE(ctx, nullptr);
	EXPECT_EQ(ctx->ptr.seg_id, 1u);
	EXPECT_EQ(ctx->ptr.rec_id, 30u);
	char rec[REC];
	EXPECT_EQ(ox_rbuffer_read(r, ctx, rec, 1), 0);
	ASSERT_EQ(write_seq(r, 130, 1), 1u);
	ASSERT_EQ(ox_rbuffer_read(r, ctx, rec, 1), 1);
	EXPECT_EQ(rec_num(rec), 130u);
	ox_rbuffer_closectx(ctx);
	ox_rbuffer_close(r);
}

// ---- seek ---------------------------------------------------------------------------------------

// A ring that wrapped: records 1000..1749 kept, segment 11 holds the last
// records of turn 1 and segment 0 the first of turn 2 (offsets 199/200).
TEST(Seek, MovesByRecordCountsAcrossSegmentsAndTheWrap)
{
	cfg c(tmp_path("seek"), SZ12, true, true);
	ox_rbuffer *r = ox_rbuffer_init(&c);
	ASSERT_NE(r, nullptr);
	ASSERT_EQ(write_seq(r, 0, 1750), 1750u);
	const int64_t first = 1000, end = 750;
	struct {
		int64_t from; // offset from the first kept record
		int n;
		int ret;
		int64_t next; // offset of the next record read; `end` = nothing to read
	} cases[] = {
			{130, -100, 100, 30},  {330, -100, 100, 230},   {160, 150, 150, 310},
			{300, 100, 100, 400},  {150, 100, 100, 250},    {250, -100, 100, 150},
			{200, -100, 100, 100}, {100, -100, 100, 0},     {300, -300, 300, 0},
			{0, -1, 0, 0},         {10, -11, 0, 10},        {100, -200, 0, 100},
			{0, 749, 749, 749},    {740, -740, 740, 0},     {740, -741, 0, 740},
			{700, 50, 50, end},    {700, 51, 0, 700},       {0, 14999, 0, 0},
			{30, 0, 0, 30},
	};
	for (auto &k : cases) {
		ox_rbuffer_ctx *ctx = ox_rbuffer_getsetctx(r, nullptr, 0);
		ASSERT_NE(ctx, nullptr);
		std::vector<uint64_t> skip;
		if (k.from > 0)
			read_all(r, ctx, &skip, 100, (uint64_t)k.from);
		ASSERT_EQ((int64_t)skip.size(), k.from);
		EXPECT_EQ(ox_rbuffer_seek(r, ctx, k.n, 1), k.ret) << k.from << " " << k.n;
		char rec[REC];
		int got = ox_rbuffer_read(r, ctx, rec, 1);
		if (k.next == end) {
			EXPECT_EQ(got, 0) << k.from << " " << k.n;
		} else {
			ASSERT_EQ(got, 1) << k.from << " " << k.n;
			EXPECT_EQ((int64_t)rec_num(rec), first + k.next) << k.from << " " << k.n;
		}
		ox_rbuffer_closectx(ctx);
	}
	// The main reader moved back by a batch at start-up.
	std::vector<uint64_t> got;
	read_all(r, nullptr, &got);
	EXPECT_EQ(ox_rbuffer_seek(r, &r->rctx, -100, 1), 100);
	got.clear();
	read_all(r, nullptr, &got);
	EXPECT_EQ(got, iota(1650, 100));
	ox_rbuffer_close(r);
}

// A log written without persistence leaves valid-looking segments of the same
// generation behind; a new log made on that file must not count them as the
// writer's. A forward seek in the writer's segment reaches only as far as
// the writer has written, as a read does: otherwise it lands past records
// that the writer adds later, and the reader never sees them.
TEST(Seek, ForwardSeekStopsAtWhatTheWriterWrote)
{
	struct {
		const char *what;
		bool main_reader;
		uint64_t written; // records of the new log before the seek
		uint64_t before;  // records read before the seek
		int n;
		uint64_t first; // offset of the first record read after it
	} cases[] = {
			{"context, empty writer's segment", false, 0, 0, 20, 0},
			{"main reader, empty writer's segment", true, 0, 0, 20, 0},
			{"context, inside the writer's records", false, 30, 0, 20, 20},
			{"context, past the writer's records", false, 30, 10, 25, 10},
			{"main reader, past the writer's records", true, 30, 10, 25, 10},
			{"context, into the writer's new segment", false, 100, 50, 70, 50},
			{"main reader, into the writer's new segment", true, 100, 50, 70, 50},
	};
	for (auto &k : cases) {
		cfg n(tmp_path("oldlog"), SZ12, false);
		ox_rbuffer *r = ox_rbuffer_init(&n);
		ASSERT_NE(r, nullptr);
		ASSERT_EQ(write_seq(r, 5000, 250), 250u); // segments 0 and 1 full, 2 half
		ox_rbuffer_close(r);
		cfg c(n.path, SZ12);
		r = ox_rbuffer_init(&c);
		ASSERT_NE(r, nullptr);
		EXPECT_EQ(r->wctx.ptr.seg_id, 0u) << k.what; // a new log on the old bytes
		ASSERT_EQ(write_seq(r, 0, k.written), k.written);
		ox_rbuffer_ctx *ctx = k.main_reader ? nullptr : ox_rbuffer_getsetctx(r, nullptr, 0);
		ASSERT_TRUE(k.main_reader || ctx);
		std::vector<uint64_t> got;
		if (k.before)
			read_all(r, ctx, &got, 100, k.before);
		ASSERT_EQ(got.size(), k.before) << k.what;
		bool fits = k.before + (uint64_t)k.n <= k.written;
		EXPECT_EQ(ox_rbuffer_seek(r, ctx, k.n, 1), fits ? k.n : 0) << k.what;
		ASSERT_EQ(write_seq(r, k.written, 200 - k.written), 200 - k.written);
		got.clear();
		read_all(r, ctx, &got);
		EXPECT_EQ(got, iota(k.first, 200 - k.first)) << k.what;
		if (ctx)
			ox_rbuffer_closectx(ctx);
		ox_rbuffer_close(r);
	}
}

// ---- start-up modes, outstanding, reclaim ---------------------------------------------------------

TEST(Modes, FailoverNoFailoverAndNoResumePlaceTheMainReader)
{
	struct {
		int mode; // 0 failover, 1 nofailover, 2 noresume
		uint64_t first;
		uint64_t outstanding;
	} cases[] = {{0, 0, 730}, {1, 300, 430}, {2, 0, 0}};
	for (auto &k : cases) {
		cfg c(tmp_path("modes"), SZ12);
		ox_rbuffer *r = ox_rbuffer_init(&c);
		ASSERT_NE(r, nullptr);
		ASSERT_EQ(write_seq(r, 0, 730), 730u);
		std::vector<uint64_t> got;
		read_all(r, nullptr, &got, 100, 450);
		ox_rbuffer_close(r);
		r = ox_rbuffer_init(&c);
		ASSERT_NE(r, nullptr);
		EXPECT_EQ(ox_rbuffer_outstanding(r), 280u);
		EXPECT_EQ(ox_rbuffer_seek(r, &r->rctx, -100, 1), 100); // to record 350, segment 3
		if (k.mode == 0)
			ox_rbuffer_setfailover(r);
		else if (k.mode == 1)
			ox_rbuffer_setnofailover(r);
		else
			ox_rbuffer_setnoresume(r);
		EXPECT_EQ(ox_rbuffer_outstanding(r), k.outstanding) << k.mode;
		got.clear();
		read_all(r, nullptr, &got);
		EXPECT_EQ(got, iota(k.first, 730 - k.first - (k.mode == 2 ? 730 - k.first : 0))) << k.mode;
		ox_rbuffer_close(r);
	}
}

TEST(Reclaim, StartMovesUpToTheContextNeverPastTheMainReader)
{
	struct {
		const char *what;
		int64_t ctx_at;    // records after the start; -1: the writer
		uint64_t reader_at; // records read by the main reader
		uint64_t want;
	} cases[] = {
			{"context on the start", 50, 1000, 0},
			{"start on the reader", 300, 20, 0},
			{"context 3 ahead, reader 10", 301, 1000, 300},
			{"context beyond the reader", 800, 450, 400},
			{"context at the writer", -1, 650, 600},
	};
	for (auto &k : cases) {
		cfg c(tmp_path("reclaim"), SZ12);
		ox_rbuffer *r = ox_rbuffer_init(&c);
		ASSERT_NE(r, nullptr);
		ASSERT_EQ(write_seq(r, 0, 1150), 1150u);
		std::vector<uint64_t> got;
		read_all(r, nullptr, &got, 100, k.reader_at);
		ox_rbuffer_ctx *ctx = ox_rbuffer_getsetctx(r, nullptr, k.ctx_at < 0 ? 2 : 0);
		ASSERT_NE(ctx, nullptr);
		if (k.ctx_at > 0) {
			std::vector<uint64_t> skip;
			read_all(r, ctx, &skip, 100, (uint64_t)k.ctx_at);
		}
		EXPECT_EQ(ox_rbuffer_setstart(r, ctx), k.want) << k.what;
		EXPECT_EQ(r->chdr.sptr.seg_id, k.want / 100) << k.what;
		ox_rbuffer_closectx(ctx);
		ox_rbuffer_close(r);
	}
}

namespace {

// Runs fn in a forked child whose log goes, every level of every context, to
// a file; gives that log's lines with the date and time cut off.
std::vector<std::string>
logged_by(const std::function<void()> &fn)
{
	std::string path = tmp_path("log");
	GTEST_FLAG_SET(death_test_style, "fast"); // a fork, no second run of the test
	EXPECT_EXIT(
			{
				ox_fault_sink *sink = ox_fault_sink_hold(path.c_str());
				ox_fault_sink_addcontext(sink, "any", "detail");
				ox_fault_sink_activate_all_held();
				fn();
				exit(0);
			},
			::testing::ExitedWithCode(0), "");
	std::ifstream in(path);
	std::vector<std::string> lines;
	for (std::string l; std::getline(in, l);) {
		size_t at = l.find(": "); // "Mon dd yyyy hh:mm:ss ZZZ: "
		lines.push_back(at == std::string::npos ? l : l.substr(at + 2));
	}
	unlink(path.c_str());
	return lines;
}

// The location of a line, "(rbuffer.cpp:function:line) ", is matched
// loosely (it moves with the code); everything else exactly.
std::string
unlocated(const std::string &line)
{
	const std::string head = "(rbuffer.cpp:";
	size_t at = line.find(head);
	size_t end = at == std::string::npos ? at : line.find(") ", at);
	if (end == std::string::npos)
		return line;
	return line.substr(0, at) + head + "LINE" + line.substr(end);
}

} // namespace

TEST(State, LogAndTraceDoNotDisturbTheBuffer)
{
	cfg c(tmp_path("trace"), SZ12);
	c.c.trace = true;
	ox_rbuffer *r = ox_rbuffer_init(&c);
	ASSERT_NE(r, nullptr);
	ASSERT_EQ(write_seq(r, 0, 120), 120u);
	ox_rbuffer_trace(r, false);
	EXPECT_EQ(r->flags & RBUFFER_FLAG_TRACE, 0);
	// The state's three lines come whatever the trace flag; a read with the
	// flag off says nothing, with it on it is traced.
	std::vector<std::string> lines = logged_by([r] {
		ox_rbuffer_log(r, OX_WARNING);
		char rec[REC * 10];
		if (ox_rbuffer_read(r, nullptr, rec, 10) != 10)
			exit(1);
		ox_rbuffer_trace(r, true);
		if (ox_rbuffer_read(r, nullptr, rec, 10) != 10)
			exit(1);
	});
	std::vector<std::string> want = {
			"WARNING (ox:rbuffer): (rbuffer.cpp:LINE) Stats [0:120:2:0:0]",
			"WARNING (ox:rbuffer): (rbuffer.cpp:LINE) Current sptr [0:0] rptr [0:0] | rctx [0:0] | wptr [1:20] | wctx [1:20]",
			"WARNING (ox:rbuffer): (rbuffer.cpp:LINE)  Max Seg = 12",
			"DEBUG (ox:rbuffer): (rbuffer.cpp:LINE) Internal Read [0:0:10] max_recs:100 total:0 count:10",
	};
	for (std::string &l : lines)
		l = unlocated(l);
	EXPECT_EQ(lines, want);
	EXPECT_EQ(r->flags & RBUFFER_FLAG_TRACE, 0); // the child's switch stayed in the child
	ox_rbuffer_log(r, OX_WARNING);
	ox_rbuffer_trace(r, true);
	EXPECT_NE(r->flags & RBUFFER_FLAG_TRACE, 0);
	ox_rbuffer_prctx(&r->rctx);
	std::vector<uint64_t> got;
	read_all(r, nullptr, &got);
	EXPECT_EQ(got, iota(0, 120));
	EXPECT_EQ(r->read_stat, 120u);
	ox_rbuffer_close(r);
}

// A flush and each way a seek can fail trace their own line: the flush
// without the records per segment, a forward move past the writer with a
// leading space, and every failure with the segments it tried to move.
TEST(State, TraceNamesTheFlushAndEachFailedSeek)
{
	cfg c(tmp_path("trace_lines"), SZ12);
	c.c.trace = true;
	ox_rbuffer *r = ox_rbuffer_init(&c);
	ASSERT_NE(r, nullptr);
	ASSERT_EQ(write_seq(r, 0, 130), 130u); // segment 0 full, 30 records in segment 1
	struct {
		int num_recs;
		const char *want;
	} seeks[] = {
		{150, "gives 1 and reaches nowhere"},   // into segment 1, past its 30 records
		{250, " gives 2 and reaches nowhere"},  // two segments on, past the writer's
		{-10, "gives 1 and reaches nowhere"},   // back from the start's segment
	};
	std::vector<std::string> lines = logged_by([r, &seeks] {
		if (!ox_rbuffer_fflush(r))
			exit(1);
		for (const auto &k : seeks)
			if (ox_rbuffer_seek(r, nullptr, k.num_recs, 1) != 0)
				exit(2);
	});
	std::vector<std::string> got;
	for (const std::string &l : lines)
		if (l.find("Write [") != std::string::npos || l.find("reaches nowhere") != std::string::npos)
			got.push_back(unlocated(l));
	const std::string head = "DEBUG (ox:rbuffer): (rbuffer.cpp:LINE) ";
	std::vector<std::string> want = {
			head + "Write [file:0 offset:10052 seg_id:1 rec_id:30 size:8004:version:1] " +
					std::to_string(RBUFFER_SEG_MAGIC),
	};
	for (const auto &k : seeks)
		want.push_back(head + k.want);
	EXPECT_EQ(got, want);
	EXPECT_EQ(r->rctx.ptr.seg_id, 0);
	EXPECT_EQ(r->rctx.ptr.rec_id, 0u);
	ox_rbuffer_close(r);
}
