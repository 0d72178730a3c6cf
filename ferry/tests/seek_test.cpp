// The digest-log time seek, exactly: for logs of several shapes (dense,
// one record a minute, long runs of equal times, spread over two files,
// wrapped by the writer, long enough for the stride to step back several
// times, slightly out of time order) the time of every record kept, a time
// between it and the next, times before the oldest and after the newest are
// sought, and the record the context reads next must be the first one at or
// after the time, not one near it. Then why a seek gives no context.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "../src/ferry_seek.h"
#include "ferry_fixture.h"
#include "tamberlin/ferry.h"
#include "tamberlin/rbuffer.h"

namespace {

constexpr uint64_t kT0 = 1700000000000ULL; // wall-clock ms

// Bytes of a digest-log file of n segments.
int64_t
file_of(int segs)
{
	return RBUFFER_FILE_HEADER_SIZE + (int64_t)segs * RBUFFER_SEG_SIZE;
}

// One kept record: the number it was written with and its time.
struct kept_rec {
	uint32_t id;
	uint64_t time;
};

struct log_shape {
	const char *name;
	std::vector<int> segs; // segments of each file
	bool overwrite;
	int records;           // written, oldest first
	uint64_t (*time_of)(int i);
	bool sorted;           // false: some neighbours swapped, as queueing does
	std::vector<uint64_t> throughputs;
};

uint64_t
dense(int i)
{
	return kT0 + 3 * (uint64_t)i;
}

uint64_t
one_a_minute(int i)
{
	return kT0 + 60000 * (uint64_t)i;
}

// Runs of one time whose lengths cycle through these, across segment ends.
uint64_t
equal_runs(int i)
{
	static const int lens[] = {1, 250, 3, 100, 401, 17, 2};
	int run = 0;
	for (int k = 0;; run++, k = (k + 1) % 7) {
		if (i < lens[k]) {
			return kT0 + 1000 * (uint64_t)run;
		}
		i -= lens[k];
	}
}

uint64_t
every_13(int i)
{
	return kT0 + 13 * (uint64_t)i;
}

uint64_t
every_5(int i)
{
	return kT0 + 5 * (uint64_t)i;
}

uint64_t
runs_of_30(int i)
{
	return kT0 + 1000 * (uint64_t)(i / 30);
}

// Sixty records a second, so that a throughput of 30 or 120 a second
// estimates a half or twice the records logged since a time.
uint64_t
sixty_a_second(int i)
{
	return kT0 + 1000 * (uint64_t)(i / 60);
}

// Queue order: of every third pair the later record went first.
uint64_t
swapped_pairs(int i)
{
	int k = i / 2;
	int j = k % 3 == 0 ? (i ^ 1) : i;
	return kT0 + 10 * (uint64_t)j;
}

// What is wrong with the answer got (the number of the record read next,
// -1 for no context) to a seek of t in a log that keeps `times` from record
// number `oldest` on; empty when it is right.
std::string
judge(const std::vector<uint64_t> &times, uint32_t oldest, uint64_t t, int64_t got, int reason, bool sorted)
{
	std::string said = "record " + std::to_string(got) + " reason " + std::to_string(reason);
	if (times.back() < t) {
		return got == -1 && reason == FERRY_SEEK_NOTHING_NEWER ? "" : said + ", wanted nothing newer";
	}
	if (reason != FERRY_SEEK_FOUND || got < (int64_t)oldest || got - oldest >= (int64_t)times.size()) {
		return said + ", wanted a kept record";
	}
	size_t at = (size_t)(got - oldest);
	size_t first = 0;
	while (times[first] < t) {
		first++;
	}
	if (sorted) {
		return at == first ? "" : said + ", wanted record " + std::to_string(first + oldest);
	}
	// Out of order: at the time or after it, after an older record (or the
	// oldest kept), and never past the first record at the time by more than
	// the disorder.
	if (times[at] < t || (at != 0 && times[at - 1] >= t) || at > first + 2) {
		return said + ", wanted one after an older record near record " + std::to_string(first + oldest);
	}
	return "";
}

class Seek : public ::testing::Test {
protected:
	void SetUp() override
	{
		memset(&cntr, 0, sizeof(cntr));
		g_ferry_cntr = &cntr;
	}
	void TearDown() override
	{
		close_log();
		g_ferry_cntr = nullptr;
	}
	void open_log(const std::vector<int> &segs, bool overwrite)
	{
		close_log();
		ox_rbuffer_config cfg = {};
		paths.clear();
		for (size_t i = 0; i < segs.size(); i++) {
			paths.push_back(ferry_test_path("seeklog"));
		}
		for (size_t i = 0; i < segs.size(); i++) {
			cfg.fname[i] = paths[i].c_str();
			cfg.fsize[i] = file_of(segs[i]);
		}
		cfg.nfiles = (uint8_t)segs.size();
		cfg.rec_size = FERRY_MSG_ONDISK_SIZE;
		cfg.batch_size = 100;
		cfg.overwrite = overwrite;
		cfg.persist = true;
		g_rbuf_des = ox_rbuffer_init(&cfg);
		ASSERT_NE(g_rbuf_des, nullptr);
	}
	void close_log()
	{
		if (g_rbuf_des) {
			ox_rbuffer_close(g_rbuf_des);
			g_rbuf_des = nullptr;
		}
		for (auto &p : paths) {
			unlink(p.c_str());
		}
		paths.clear();
	}
	void write(int n, uint64_t (*time_of)(int))
	{
		std::vector<ferry_msg_ondisk> recs((size_t)n);
		for (int i = 0; i < n; i++) {
			ferry_msg_ondisk &m = recs[(size_t)i];
			memset(&m, 0, sizeof(m));
			m.xm_type = FERRY_MSG_TYPE_DIGESTINFO;
			m.diginfo.generation = (uint32_t)i;
			m.diginfo.digesttime = time_of(i);
		}
		// A segment at a time, as the writer thread does it.
		for (int i = 0; i < n; i += 100) {
			int k = std::min(100, n - i);
			ASSERT_EQ(ox_rbuffer_write(g_rbuf_des, (const char *)&recs[(size_t)i], k), k);
		}
		ASSERT_TRUE(ox_rbuffer_fflush(g_rbuf_des));
	}
	// Every record kept, oldest first, as a context from the start reads them.
	std::vector<kept_rec> kept()
	{
		std::vector<kept_rec> out;
		ox_rbuffer_ctx *ctx = ox_rbuffer_getsetctx(g_rbuf_des, nullptr, 0);
		EXPECT_NE(ctx, nullptr);
		if (!ctx) {
			return out;
		}
		ferry_msg_ondisk m[50];
		int got;
		while ((got = ox_rbuffer_read(g_rbuf_des, ctx, (char *)m, 50)) > 0) {
			for (int i = 0; i < got; i++) {
				out.push_back({m[i].diginfo.generation, m[i].diginfo.digesttime});
			}
		}
		EXPECT_EQ(got, RBUFFER_READ_HITS_WRITE);
		ox_rbuffer_closectx(ctx);
		return out;
	}
	// The number of the record the seek places a context at: -1 with no
	// context, -2 with a context that reads nothing.
	int64_t seek(uint64_t t, int *reason)
	{
		ferry_msg_ondisk m;
		memset(&m, 0, sizeof(m));
		ox_rbuffer_ctx *ctx = ferry_digestlog_seektime(t, &m, reason);
		if (!ctx) {
			return -1;
		}
		int64_t got = ox_rbuffer_read(g_rbuf_des, ctx, (char *)&m, 1) == 1 ? m.diginfo.generation : -2;
		ox_rbuffer_closectx(ctx);
		return got;
	}
	// A context from the start that has read n records one at a time (null
	// on a failure, which is reported).
	ox_rbuffer_ctx *read_from_start(int n, int *bad_magic)
	{
		ox_rbuffer_ctx *ctx = ox_rbuffer_getsetctx(g_rbuf_des, nullptr, 0);
		EXPECT_NE(ctx, nullptr);
		ferry_msg_ondisk m;
		for (int i = 0; ctx && i < n; i++) {
			if (ferry_read_next_record(ctx, &m, bad_magic, "test") != 1) {
				ADD_FAILURE() << "record " << i << " not read";
				ox_rbuffer_closectx(ctx);
				return nullptr;
			}
		}
		return ctx;
	}
	counters cntr;
	std::vector<std::string> paths;
};

TEST_F(Seek, LandsOnTheFirstRecordAtOrAfterTheTime)
{
	const std::vector<log_shape> shapes = {
		{"dense", {7}, false, 600, dense, true, {0}},
		{"one a minute", {7}, false, 200, one_a_minute, true, {0, 1ULL << 40}},
		{"runs of equal times", {40}, false, 3000, equal_runs, true, {0, 5000}},
		{"two files", {7, 7}, false, 700, every_13, true, {0}},
		{"wrapped", {10}, true, 3000, every_5, true, {0}},
		{"wrapped over two files", {7, 8}, true, 4000, runs_of_30, true, {0, 100000}},
		{"strides step back", {270}, false, 26000, sixty_a_second, true, {30, 120}},
		{"out of time order", {7}, false, 400, swapped_pairs, false, {0}},
	};
	for (const log_shape &shape : shapes) {
		SCOPED_TRACE(shape.name);
		open_log(shape.segs, shape.overwrite);
		write(shape.records, shape.time_of);
		std::vector<kept_rec> log = kept();
		ASSERT_FALSE(log.empty());
		ASSERT_EQ(log.back().id, (uint32_t)shape.records - 1);
		for (size_t i = 1; i < log.size(); i++) {
			ASSERT_EQ(log[i].id, log[i - 1].id + 1);
		}
		if (shape.overwrite) {
			ASSERT_LT(log.size(), (size_t)shape.records) << "the writer has not wrapped";
		}
		std::vector<uint64_t> times;
		for (auto &r : log) {
			times.push_back(r.time);
		}
		std::set<uint64_t> wanted = {0, log.front().time - 1, log.back().time + 1, UINT64_MAX};
		// The time of a record, and one between it and the next (the one
		// just before a record lies after the record before it).
		for (uint64_t t : times) {
			wanted.insert({t, t + 1});
		}
		// One line for the first wrong answer of a shape, and the count.
		int wrong = 0;
		std::string first_wrong;
		for (uint64_t throughput : shape.throughputs) {
			cntr.remote_ship_throughput = throughput;
			for (uint64_t t : wanted) {
				int reason = -1;
				int64_t got = seek(t, &reason);
				std::string why = judge(times, log.front().id, t, got, reason, shape.sorted);
				if (!why.empty() && wrong++ == 0) {
					first_wrong = "throughput " + std::to_string(throughput) + ", time " + std::to_string(t) +
							": " + why;
				}
			}
		}
		EXPECT_EQ(wrong, 0) << "first: " << first_wrong;
		close_log();
	}
}

// A narrowing probe that moves onto the writer's position, and one that
// cannot move past it, each say which of the two it met.
TEST_F(Seek, NamesTheWriterAndTheEndWhenNarrowingMeetsThem)
{
	const std::string &path = ferry_test_log_once("seek_log", "detail");
	ASSERT_FALSE(path.empty());
	size_t start = ferry_test_read_file(path).size();
	open_log({8}, false);
	write(150, every_13);
	cntr.remote_ship_throughput = 0;
	// Between the last two records: the narrowing climbs to record 148 and
	// its next probe, two records on, is the writer's position.
	int reason = -1;
	EXPECT_EQ(seek(every_13(149) - 1, &reason), 149);
	EXPECT_EQ(reason, FERRY_SEEK_FOUND);
	std::string log = ferry_test_read_file(path).substr(start);
	EXPECT_EQ(ferry_test_count_of(log, "Hit exactly the write marker. Continuting the search in reverse direction."), 1);
	EXPECT_GT(ferry_test_count_of(log, "Hit End-of-file performing binary seek. Try with Using it as one end of search window."), 0);
}

// A cut or missing file read through the seek.
enum seek_case_log {
	LOG_NONE,       // no digest log at all
	LOG_EMPTY,      // nothing written yet
	LOG_RECORDS,    // 150 records
	LOG_FILE_GONE,  // 150 records, then the file removed
	LOG_WRITER_CUT, // 150 records, then the writer's segment cut short
};

TEST_F(Seek, SaysWhyThereIsNoContext)
{
	const uint64_t newest = every_13(149);
	struct {
		const char *what;
		seek_case_log log;
		uint64_t time;
		int reason;
		int64_t record; // the record read next, -1 for no context
	} cases[] = {
		{"no log", LOG_NONE, kT0, FERRY_SEEK_NO_CONTEXT, -1},
		{"empty log", LOG_EMPTY, kT0, FERRY_SEEK_NOTHING_NEWER, -1},
		{"newest older", LOG_RECORDS, newest + 1, FERRY_SEEK_NOTHING_NEWER, -1},
		{"the newest", LOG_RECORDS, newest, FERRY_SEEK_FOUND, 149},
		{"before the oldest", LOG_RECORDS, 0, FERRY_SEEK_FOUND, 0},
		{"file removed", LOG_FILE_GONE, kT0, FERRY_SEEK_NO_CONTEXT, -1},
		{"writer's segment cut", LOG_WRITER_CUT, kT0, FERRY_SEEK_READ_FAILED, -1},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.what);
		close_log();
		if (c.log != LOG_NONE) {
			open_log({8}, false);
		}
		if (c.log >= LOG_RECORDS) {
			write(150, every_13);
		}
		if (c.log == LOG_FILE_GONE) {
			ASSERT_EQ(unlink(paths[0].c_str()), 0);
		}
		if (c.log == LOG_WRITER_CUT) {
			// Records 100 to 149 are in segment 1.
			ASSERT_EQ(truncate(paths[0].c_str(), file_of(1) + 100), 0);
		}
		int reason = -1;
		EXPECT_EQ(seek(c.time, &reason), c.record);
		EXPECT_EQ(reason, c.reason);
		// Without a place for the reason, the same answer.
		EXPECT_EQ(seek(c.time, nullptr), c.record);
	}
}

// A reader that gives up on an unreadable segment moves to the segment's end,
// wherever in it it stood: its next record is the next segment's first, so
// nothing after the unreadable segment is passed over.
TEST_F(Seek, SkippingASegmentLandsOnTheNextSegmentsFirstRecord)
{
	open_log({8}, false);
	const int per_seg = (int)g_rbuf_des->max_recs;
	write(3 * per_seg, every_13);
	for (int before : {0, 5, per_seg - 1}) {
		SCOPED_TRACE(before);
		int bad_magic = 0;
		ox_rbuffer_ctx *ctx = read_from_start(before, &bad_magic);
		ASSERT_NE(ctx, nullptr);
		ferry_msg_ondisk m;
		EXPECT_TRUE(ferry_read_skip_segment(ctx));
		EXPECT_EQ(ferry_read_next_record(ctx, &m, &bad_magic, "test"), 1);
		EXPECT_EQ(m.diginfo.generation, (uint32_t)per_seg);
		ox_rbuffer_closectx(ctx);
	}
}

// The writer's segment unreadable on disk: the reader counts the bad reads,
// gives up after its tries without losing a record, and once the segment is
// written again reads on from where it stood.
TEST_F(Seek, BadMagicAtTheWriterIsReadAgainWithoutLoss)
{
	struct restore_divisor {
		uint32_t was = g_ferry_time_divisor.exchange(1000); // the retry sleeps
		~restore_divisor() { g_ferry_time_divisor.store(was); }
	} divisor;
	open_log({8}, false);
	const int per_seg = (int)g_rbuf_des->max_recs;
	write(per_seg + 50, every_13); // the writer's segment is segment 1
	int bad_magic = 0;
	ox_rbuffer_ctx *ctx = read_from_start(per_seg, &bad_magic);
	ASSERT_NE(ctx, nullptr);
	ferry_msg_ondisk m;
	const off_t magic_at = (off_t)file_of(2) - 1;
	int fd = open(paths[0].c_str(), O_WRONLY);
	ASSERT_GE(fd, 0);
	const uint8_t zero = 0;
	ASSERT_EQ(pwrite(fd, &zero, 1, magic_at), 1);
	close(fd);
	for (int i = 1; i <= FERRY_READ_BAD_MAGIC_TRIES; i++) {
		SCOPED_TRACE(i);
		EXPECT_EQ(ferry_read_next_record(ctx, &m, &bad_magic, "test"), RBUFFER_SEG_BAD_MAGIC);
		EXPECT_EQ(bad_magic, i % FERRY_READ_BAD_MAGIC_TRIES);
	}
	ASSERT_TRUE(ox_rbuffer_fflush(g_rbuf_des));
	EXPECT_EQ(ferry_read_next_record(ctx, &m, &bad_magic, "test"), 1);
	EXPECT_EQ(m.diginfo.generation, (uint32_t)per_seg);
	ox_rbuffer_closectx(ctx);
}

} // namespace
