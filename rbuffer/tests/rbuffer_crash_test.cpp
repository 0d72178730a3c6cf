// A writer process killed with SIGKILL at random moments and at chosen
// points between a segment write and the persist that follows it: after each
// reopening every record whose write returned is read back once, in order,
// and no slot hands out zero or foreign bytes as a record.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <vector>

#include "rbuffer_fixture.h"

using namespace rbt;

namespace {

struct shared_state {
	std::atomic<uint64_t> returned; // records whose write call has returned
	std::atomic<uint64_t> ondisk;   // records in segments written before the kill
};

shared_state *g_shared;
int g_hook_point, g_hook_calls, g_hook_kill_at;

void
kill_hook(ox_rbuffer *r, int point)
{
	if (point != g_hook_point || ++g_hook_calls != g_hook_kill_at)
		return;
	if (point == RBUFFER_HOOK_BEFORE_SEGWRITE)
		ox_rbuffer_persist(r); // a persist from another thread that catches the writer mid-call
	if (point == RBUFFER_HOOK_AFTER_SEGWRITE && r->wdisk.rec_id > 0)
		g_shared->ondisk.store(rec_num(r->wctx.buf.data + (r->wdisk.rec_id - 1) * REC) + 1);
	kill(getpid(), SIGKILL);
}

[[noreturn]] void
child_writes(const std::string &path, uint64_t next)
{
	cfg c(path, 2048 + 8004 * 200);
	ox_rbuffer *r = ox_rbuffer_init(&c);
	if (!r)
		_exit(3);
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

	// One round: a child writes from `expected` on until it dies; then the
	// log is opened and read to its end.
	void round(int hook_point, int kill_at, unsigned delay_us)
	{
		g_shared->returned.store(expected);
		g_shared->ondisk.store(expected);
		pid_t pid = fork();
		ASSERT_GE(pid, 0);
		if (pid == 0) {
			g_hook_point = hook_point;
			g_hook_calls = 0;
			g_hook_kill_at = kill_at;
			ox__rbuffer_test_hook = hook_point ? kill_hook : nullptr;
			child_writes(path, expected);
		}
		if (!hook_point) {
			usleep(delay_us);
			kill(pid, SIGKILL);
		}
		int status = 0;
		ASSERT_EQ(waitpid(pid, &status, 0), pid);
		ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
		uint64_t returned = g_shared->returned.load();

		cfg c(path, 2048 + 8004 * 200);
		ox_rbuffer *r = ox_rbuffer_init(&c);
		ASSERT_NE(r, nullptr);
		std::vector<uint64_t> got;
		EXPECT_LE(read_all(r, nullptr, &got, 97), 0);
		for (uint64_t n : got) {
			ASSERT_EQ(n, expected) << "hook " << hook_point << " at " << kill_at;
			expected++;
		}
		EXPECT_GE(expected, returned) << "hook " << hook_point << " at " << kill_at;
		EXPECT_GE(expected, g_shared->ondisk.load()) << "written before the kill, hook at " << kill_at;
		EXPECT_EQ(r->lost_stat, 0u);
		ox_rbuffer_close(r);
	}

	std::string path;
	uint64_t expected = 0;
};

} // namespace

TEST_F(Crash, KilledAtRandomMoments)
{
	std::mt19937 rng(12345);
	for (int i = 0; i < 10; i++)
		round(0, 0, 2000 + rng() % 20000);
	EXPECT_GT(expected, 0u);
}

TEST_F(Crash, KilledBetweenSegmentWriteAndPersist)
{
	for (int point : {RBUFFER_HOOK_AFTER_SEGWRITE, RBUFFER_HOOK_BEFORE_SEGWRITE})
		for (int at : {1, 2, 3, 37, 100, 101, 250})
			round(point, at, 0);
	EXPECT_GT(expected, 0u);
}
