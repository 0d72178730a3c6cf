// A writer process killed with SIGKILL at random moments and at chosen
// points between a segment write, the writer's move to its next segment and
// the persist that follows: after each reopening every record whose write
// returned is read back once, in order, and no slot hands out zero or foreign
// bytes as a record. With overwrite the oldest records may be gone, never
// more than the writer's lap took, and never from the middle of what is read.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "rbuffer_fixture.h"
#include "tamberlin/enhanced_alloc.h"

using namespace rbt;

namespace {

constexpr uint64_t SEGS = 200;
constexpr int64_t SIZE = 2048 + 8004 * (int64_t)SEGS;

struct shared_state {
	std::atomic<uint64_t> returned; // records whose write call has returned
	std::atomic<uint64_t> ondisk;   // records in segments written before the kill
	std::atomic<int> hook_fired;    // the child reached its kill point
};

// Which calls of the hook count towards the kill point.
enum counted { EVERY_CALL, START_MOVES, READER_PUSHES };

shared_state *g_shared;
int g_hook_point, g_hook_calls, g_hook_kill_at;
counted g_hook_counts;
uint64_t g_seen; // runtime_reclaim or lost_stat at the previous call

// The number after the last record of the writer's segment on disk, read
// from the file itself.
uint64_t
end_on_disk(ox_rbuffer *r)
{
	uint64_t n = r->wdisk.rec_id;
	if (n == 0)
		return 0;
	char rec[REC];
	int64_t off = RBUFFER_FILE_HEADER_SIZE + (int64_t)r->wdisk.seg_id * RBUFFER_SEG_SIZE + (int64_t)(n - 1) * REC;
	if (pread(r->wfd[r->wdisk.fidx], rec, REC, off) != REC)
		return 0;
	uint64_t last = rec_num(rec);
	return last == UINT64_MAX ? 0 : last + 1;
}

void
kill_hook(ox_rbuffer *r, int point)
{
	if (point != g_hook_point)
		return;
	if (g_hook_counts != EVERY_CALL) {
		// An advance that moved the start adds to the records reclaimed; one
		// that pushed the main reader also to the records it lost.
		uint64_t now = ox_atomic64_get(g_hook_counts == START_MOVES ? &runtime_reclaim : &r->lost_stat);
		bool counts = now != g_seen;
		g_seen = now;
		if (!counts)
			return;
	}
	if (++g_hook_calls != g_hook_kill_at)
		return;
	if (point == RBUFFER_HOOK_BEFORE_SEGWRITE)
		ox_rbuffer_persist(r); // a persist from another thread that catches the writer mid-call
	if (point == RBUFFER_HOOK_AFTER_SEGWRITE)
		g_shared->ondisk.store(std::max(g_shared->ondisk.load(), end_on_disk(r)));
	g_shared->hook_fired.store(1);
	kill(getpid(), SIGKILL);
}

[[noreturn]] void
child_writes(const std::string &path, uint64_t next, bool overwrite)
{
	cfg c(path, SIZE, true, overwrite);
	ox_rbuffer *r = ox_rbuffer_init(&c);
	if (!r)
		_exit(3);
	g_seen = ox_atomic64_get(g_hook_counts == START_MOVES ? &runtime_reclaim : &r->lost_stat);
	std::vector<char> buf(230 * REC);
	for (;;) {
		int n = 1 + (int)((next * 7919u) % 230u);
		for (int i = 0; i < n; i++)
			make_rec(next + (uint64_t)i, &buf[(size_t)i * REC]);
		int w = ox_rbuffer_write(r, buf.data(), n);
		if (w > 0)
			next += (uint64_t)w;
		g_shared->returned.store(next);
	}
}

using clk = std::chrono::steady_clock;
const auto LIMIT = std::chrono::seconds(60);

class Crash : public ::testing::Test {
protected:
	void SetUp() override
	{
		void *m = mmap(nullptr, sizeof(shared_state), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
		ASSERT_NE(m, MAP_FAILED);
		g_shared = new (m) shared_state();
		path = tmp_path("crash");
	}
	void TearDown() override { munmap(g_shared, sizeof(shared_state)); }

	// Waits for the child to end, killing it at the deadline; its status, or
	// -1 when it had to be killed there.
	static int reap(pid_t pid, clk::time_point deadline)
	{
		int status = 0;
		for (;;) {
			pid_t got = waitpid(pid, &status, WNOHANG);
			if (got == pid)
				return status;
			if (got < 0 || clk::now() > deadline) {
				kill(pid, SIGKILL);
				waitpid(pid, &status, 0);
				return -1;
			}
			std::this_thread::sleep_for(std::chrono::milliseconds(1));
		}
	}

	// One round: a child writes from `expected` on until it dies (killed at
	// its hook's kill point, or by us `delay_us` after its first write
	// returned); then the log is opened and read to its end.
	void round(bool overwrite, int hook_point, int kill_at, unsigned delay_us, counted counts = EVERY_CALL)
	{
		const uint64_t start = expected;
		g_shared->returned.store(start);
		g_shared->ondisk.store(start);
		g_shared->hook_fired.store(0);
		std::string where = std::string(overwrite ? "overwrite, " : "") + "hook " + std::to_string(hook_point) +
				" at " + std::to_string(kill_at) +
				(counts == START_MOVES ? " start moves" : counts == READER_PUSHES ? " reader pushes" : "");
		pid_t pid = fork();
		ASSERT_GE(pid, 0);
		if (pid == 0) {
			g_hook_point = hook_point;
			g_hook_calls = 0;
			g_hook_kill_at = kill_at;
			g_hook_counts = counts;
			ox__rbuffer_test_hook = hook_point ? kill_hook : nullptr;
			child_writes(path, start, overwrite);
		}
		const clk::time_point deadline = clk::now() + LIMIT;
		int status = -1;
		if (!hook_point) {
			// The random moment starts once the child writes: before that it
			// is still opening the log, and a kill there tests nothing.
			bool ended = false;
			while (g_shared->returned.load() == start && clk::now() < deadline && !ended)
				if (!(ended = waitpid(pid, &status, WNOHANG) == pid))
					std::this_thread::sleep_for(std::chrono::milliseconds(1));
			if (!ended) {
				std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
				kill(pid, SIGKILL);
				status = reap(pid, deadline);
			}
		} else {
			status = reap(pid, deadline);
		}
		ASSERT_NE(status, -1) << where << ": the child was still running at the deadline";
		ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << where << ": status " << status;
		uint64_t returned = g_shared->returned.load();
		if (hook_point)
			EXPECT_EQ(g_shared->hook_fired.load(), 1) << where;
		else
			EXPECT_GT(returned, start) << where << ": killed before its first write returned";

		cfg c(path, SIZE, true, overwrite);
		ox_rbuffer *r = ox_rbuffer_init(&c);
		ASSERT_NE(r, nullptr) << where;
		std::vector<uint64_t> got;
		EXPECT_LE(read_all(r, nullptr, &got, 97), 0) << where;
		EXPECT_EQ(r->lost_stat, 0u) << where;
		ox_rbuffer_close(r);
		if (!got.empty() && overwrite) {
			// The writer's lap took the oldest records: at most what lies
			// beyond a ring less the segments that one start move frees.
			EXPECT_GE(got.size(), std::min<uint64_t>(returned - start, (SEGS - 7) * 100)) << where;
			if (got[0] > expected)
				expected = got[0];
		}
		for (uint64_t n : got) {
			ASSERT_EQ(n, expected) << where;
			expected++;
		}
		EXPECT_GE(expected, returned) << where;
		EXPECT_GE(expected, g_shared->ondisk.load()) << where << ": written before the kill";
	}

	std::string path;
	uint64_t expected = 0;
};

} // namespace

TEST_F(Crash, KilledAtRandomMoments)
{
	std::mt19937 rng(12345);
	for (bool overwrite : {false, true})
		for (int i = 0; i < 10; i++)
			round(overwrite, 0, 0, 2000 + rng() % 20000);
	EXPECT_GT(expected, 0u);
}

TEST_F(Crash, KilledBetweenSegmentWriteAdvanceAndPersist)
{
	// A writer that may not overwrite makes fewer than a ring's worth of
	// advances in one round: the reader stands where the last round ended.
	const std::vector<int> writes = {1, 2, 3, 37, 100, 101, 250}, advances = {1, 2, 3, 37, 100, 101, 150};
	for (bool overwrite : {false, true})
		for (int point : {RBUFFER_HOOK_AFTER_SEGWRITE, RBUFFER_HOOK_BEFORE_SEGWRITE, RBUFFER_HOOK_AFTER_ADVANCE})
			for (int at : point == RBUFFER_HOOK_AFTER_ADVANCE ? advances : writes)
				round(overwrite, point, at, 0);
	EXPECT_GT(expected, 0u);
}

// With overwrite, advances that moved the start, and those that also pushed
// the main reader (once a lap, as the reader stands where the last round
// ended), are killed before their persist: the next opening finds the start,
// the reader and the writer as they were on disk, and nothing in between is
// lost or read twice.
TEST_F(Crash, KilledAfterAnOverwritingAdvance)
{
	for (int at : {1, 2, 5, 41})
		round(true, RBUFFER_HOOK_AFTER_ADVANCE, at, 0, START_MOVES);
	for (int at : {1, 2, 3})
		round(true, RBUFFER_HOOK_AFTER_ADVANCE, at, 0, READER_PUSHES);
	EXPECT_GT(expected, 0u);
}

// A log first run without persistence keeps its segments, unstamped, at the
// generation a new header starts at. A persisting run over it killed between
// a segment write and its persist is opened again: the records read back are
// that run's alone, none of the unstamped run's after them.
TEST_F(Crash, KilledOverTheSegmentsOfARunWithoutPersistence)
{
	struct point {
		int hook, at;
	};
	const point points[] = {{RBUFFER_HOOK_AFTER_ADVANCE, 1}, {RBUFFER_HOOK_AFTER_ADVANCE, 2},
			{RBUFFER_HOOK_AFTER_ADVANCE, 37}, {RBUFFER_HOOK_AFTER_SEGWRITE, 2},
			{RBUFFER_HOOK_AFTER_SEGWRITE, 3}, {RBUFFER_HOOK_AFTER_SEGWRITE, 37},
			{RBUFFER_HOOK_BEFORE_SEGWRITE, 3}};
	for (const point &p : points) {
		unlink(path.c_str());
		cfg plain(path, SIZE, false);
		ox_rbuffer *r = ox_rbuffer_init(&plain);
		ASSERT_NE(r, nullptr);
		ASSERT_EQ(write_seq(r, 1000000, 150 * 100), 150u * 100);
		ox_rbuffer_close(r);
		expected = 0;
		round(false, p.hook, p.at, 0);
		EXPECT_GT(expected, 0u) << "hook " << p.hook << " at " << p.at;
	}
	unlink(path.c_str());
}
