// One writer, the main reader and two caching contexts on their own threads
// (plus a housekeeper that persists and reclaims): every reader sees every
// record once and in order. Two threads opening the same log at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <unistd.h>
#include <vector>

#include "rbuffer_fixture.h"
#include "tamberlin/enhanced_alloc.h"

using namespace rbt;

namespace {

constexpr uint64_t TOTAL = 1000000;

using clk = std::chrono::steady_clock;
const auto LIMIT = std::chrono::seconds(60);

struct run {
	ox_rbuffer *r;
	std::atomic<bool> failed{false};
	std::atomic<bool> writer_done{false};
	// Caching contexts made so far. A context is made at the start, which
	// the housekeeper's reclaim and a writer that comes round to the start
	// both move: the writer and the housekeeper wait for every context, so
	// that each one's first record is record 0.
	std::atomic<int> contexts_made{0};
	int contexts = 0;
	void wait_for_contexts()
	{
		while (contexts_made.load() < contexts && !late())
			std::this_thread::yield();
	}
	clk::time_point deadline = clk::now() + LIMIT;
	bool late() { return clk::now() > deadline || failed.load(); }
};

void
writer(run *x)
{
	x->wait_for_contexts();
	std::vector<char> buf(200 * REC);
	uint64_t next = 0;
	while (next < TOTAL && !x->late()) {
		int n = (int)std::min<uint64_t>(1 + (next * 37u) % 200u, TOTAL - next);
		for (int i = 0; i < n; i++)
			make_rec(next + (uint64_t)i, &buf[(size_t)i * REC]);
		int w = ox_rbuffer_write(x->r, buf.data(), n);
		if (w > 0)
			next += (uint64_t)w;
		else
			std::this_thread::yield();
	}
	x->writer_done = true;
}

// Reads to the end; `strict`: no gap at all; otherwise a gap may only follow
// a -1, after which the context starts again at the start. A `laggard` stops
// after its first records until the writer has written two rings' worth
// beyond them, so that its records are surely gone when it reads on.
void
reader(run *x, bool main_reader, bool strict, uint64_t *resets, bool laggard = false)
{
	ox_rbuffer_ctx *ctx = main_reader ? nullptr : ox_rbuffer_getsetctx(x->r, nullptr, 0);
	if (!main_reader && !ctx) {
		x->failed = true;
		return;
	}
	if (ctx)
		x->contexts_made++;
	std::vector<char> buf(150 * REC);
	uint64_t expected = 0;
	bool may_jump = false;
	while (expected < TOTAL && !x->late()) {
		int k = ox_rbuffer_read(x->r, ctx, buf.data(), 150);
		if (k == RBUFFER_SEG_VERSION_MISMATCH && !strict) {
			ox_rbuffer_getsetctx(x->r, ctx, 0);
			may_jump = true;
			(*resets)++;
			continue;
		}
		if (k <= 0) {
			if (k != 0)
				x->failed = true;
			std::this_thread::yield();
			continue;
		}
		for (int i = 0; i < k; i++) {
			uint64_t n = rec_num(&buf[(size_t)i * REC]);
			if (n == expected || (may_jump && n > expected)) {
				expected = n + 1;
				may_jump = false;
			} else {
				ADD_FAILURE() << (main_reader ? "main" : "context") << " read " << n << " expecting " << expected;
				x->failed = true;
				break;
			}
		}
		if (laggard) {
			laggard = false;
			uint64_t gone = expected + 2 * x->r->max_slots;
			while (ox_atomic64_get(&x->r->write_stat) < gone && !x->writer_done && !x->late())
				std::this_thread::yield();
		}
	}
	if (ctx)
		ox_rbuffer_closectx(ctx);
	if (expected != TOTAL)
		x->failed = true;
}

void
housekeeper(run *x)
{
	x->wait_for_contexts();
	ox_rbuffer_ctx *ctx = ox_rbuffer_getsetctx(x->r, nullptr, 0);
	uint64_t tick = 0;
	while (!x->writer_done && !x->late()) {
		ox_atomic64_set(&x->r->hdr[0].udata[tick % 32], tick);
		ox_rbuffer_persist(x->r);
		ox_rbuffer_getsetctx(x->r, ctx, 0);
		if (ox_rbuffer_seek(x->r, ctx, 300, 1) == 300)
			ox_rbuffer_setstart(x->r, ctx);
		(void)ox_atomic64_get(&x->r->read_stat);
		tick++;
		std::this_thread::sleep_for(std::chrono::microseconds(200));
	}
	ox_rbuffer_closectx(ctx);
}

// With `laggard`, the first context waits to be overtaken (see reader).
void
run_all(int64_t size, bool with_housekeeper, bool contexts_strict, uint64_t *resets, bool laggard = false)
{
	cfg c(tmp_path("mt"), size);
	run x;
	x.contexts = 2;
	x.r = ox_rbuffer_init(&c);
	ASSERT_NE(x.r, nullptr);
	std::vector<std::thread> t;
	t.emplace_back(reader, &x, true, true, nullptr, false);
	t.emplace_back(reader, &x, false, contexts_strict, &resets[0], laggard);
	t.emplace_back(reader, &x, false, contexts_strict, &resets[1], false);
	if (with_housekeeper)
		t.emplace_back(housekeeper, &x);
	t.emplace_back(writer, &x);
	for (auto &th : t)
		th.join();
	EXPECT_FALSE(x.failed.load());
	EXPECT_EQ(x.r->write_stat, TOTAL);
	EXPECT_EQ(x.r->lost_stat, 0u);
	ox_rbuffer_close(x.r);
}

} // namespace

// A ring that holds everything: all three readers see every record.
TEST(Threads, OneWriterThreeReadersNoGapNoDuplicate)
{
	uint64_t resets[2] = {0, 0};
	run_all(2048 + 8004 * (int64_t)(TOTAL / 100 + 50), false, true, resets);
}

// A small ring: the writer waits for the main reader, the housekeeper
// persists and reclaims, and a context overtaken by the writer learns it:
// the laggard surely is, and starts again at the start.
TEST(Threads, SmallRingWriterWaitsForTheMainReader)
{
	uint64_t resets[2] = {0, 0};
	run_all(2048 + 8004 * 64, true, false, resets, true);
	EXPECT_GE(resets[0], 1u) << "the lagging context was never told that its records were gone";
}

// Two threads open the same new log at the same moment: the process holds
// one writer per file, so exactly one of them gets the buffer, however the
// two openings interleave (one of them may still be reading the headers).
TEST(Threads, SameNewLogOpenedTwiceAtOnceOpensOnce)
{
	std::string path = tmp_path("race");
	constexpr int ROUNDS = 200;
	int both = 0, none = 0;
	for (int round = 0; round < ROUNDS; round++) {
		unlink(path.c_str());
		std::atomic<int> ready{0};
		ox_rbuffer *got[2] = {nullptr, nullptr};
		auto open_it = [&](int i) {
			cfg c(path, SZ12);
			ready++;
			while (ready.load() < 2)
				; // both threads call ox_rbuffer_init together
			got[i] = ox_rbuffer_init(&c);
		};
		std::thread a(open_it, 0), b(open_it, 1);
		a.join();
		b.join();
		int opened = (got[0] != nullptr) + (got[1] != nullptr);
		both += opened == 2;
		none += opened == 0;
		for (ox_rbuffer *r : got)
			if (r)
				ox_rbuffer_close(r);
	}
	EXPECT_EQ(both, 0) << "rounds in which both threads opened the log, of " << ROUNDS;
	EXPECT_EQ(none, 0) << "rounds in which neither opened it, of " << ROUNDS;
	unlink(path.c_str());
}
