// Heap accounting switched on, off and stopped (its tables destroyed) while
// several threads allocate, resize and free through the wrappers; then frees
// on several threads of blocks made on another, charged to the making site.
#include <gtest/gtest.h>

#include <malloc.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "fault_fixture.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/fault.h"
#include "tamberlin/mem_count.h"

namespace {

using namespace fault_fixture;

// A free of a block made while accounting was off is not carried out while
// it is on (the accounting cannot tell it from a foreign pointer), so the
// workers' blocks may stay allocated by design; the leak checker is told.
struct LeaksByDesign {
#if defined(__SANITIZE_ADDRESS__)
	LeaksByDesign() { __lsan_disable(); }
	~LeaksByDesign() { __lsan_enable(); }
#endif
};

class MemCountMt : public FaultLog {
protected:
	void
	SetUp() override
	{
		FaultLog::SetUp();
		// A sink that lets nothing but CRITICAL through: the warnings about
		// blocks seen only half keep quiet.
		active_file_sink(tmp_path("memcount_mt"), "critical");
	}

	void
	TearDown() override
	{
		mem_count_init(MEM_COUNT_ENABLE);
		mem_count_shutdown();
		FaultLog::TearDown();
	}
};

// The switching is done by one of the allocating threads between its own
// rounds, so the others allocate through every step, and the number of
// steps is fixed.
struct Switcher {
	int step = 0;
	int starts = 0;

	// A cycle of eight: start (tables made), off, on, off, on, off, on, stop
	// (tables destroyed). Making the tables is the dear part, so most steps
	// only flip the switch.
	void
	next()
	{
		int k = step++ % 8;
		if (k == 0) {
			starts += mem_count_init(MEM_COUNT_ENABLE_DYNAMIC) == 0;
		} else if (k == 7) {
			// Off under the lock, then the tables go.
			mem_count_shutdown();
		} else if (k % 2 == 1) {
			mem_count_init(MEM_COUNT_DISABLE);
		} else {
			mem_count_init(MEM_COUNT_ENABLE_DYNAMIC);
			if (k == 2)
				mem_count_stats();
			if (k == 4)
				mem_count_report(OX_ALLOC_SORT_TOTAL_ALLOC_COUNT, 5, nullptr);
		}
	}
};

TEST_F(MemCountMt, SwitchingOffAndOnWhileThreadsAllocate)
{
	constexpr int kWorkers = 4;
	constexpr int kRounds = 160;
	constexpr int kRoundsPerStep = 10;
	std::atomic<long> ops{0};
	Switcher sw;

	auto worker = [&](int id) {
		[[maybe_unused]] LeaksByDesign quiet;
		char text[] = "worker text";
		for (int i = 0; i < kRounds; i++) {
			if (id == 0 && i % kRoundsPerStep == 0)
				sw.next();
			void *a = ox_malloc_at(16 + (size_t)(i % 64), "w.cpp", id);
			void *b = ox_calloc_at(4, 8, "w.cpp", 100 + id);
			char *s = ox_strdup_at(text, "w.cpp", 200 + id);
			if (a != nullptr)
				a = ox_realloc_at(a, 200 + (size_t)(i % 300), "w.cpp", 300 + id);
			if (a != nullptr)
				memset(a, id, 200);
			ox_free_at(s, "w.cpp", 400 + id);
			ox_free_at(b, "w.cpp", 500 + id);
			ox_free_at(a, "w.cpp", 600 + id);
			ops.fetch_add(1, std::memory_order_relaxed);
		}
	};

	std::vector<std::thread> threads;
	for (int i = 0; i < kWorkers; i++)
		threads.emplace_back(worker, i);
	for (auto &t : threads)
		t.join();
	EXPECT_EQ(ops.load(), (long)kWorkers * kRounds);
	EXPECT_EQ(sw.step, kRounds / kRoundsPerStep);
	EXPECT_EQ(sw.starts, kRounds / kRoundsPerStep / 8);
	// The steps end stopped; the last start and stop leave nothing on.
	EXPECT_FALSE(g_memory_accounting_enabled);

	// Afterwards it starts afresh and counts exactly, also when blocks made
	// on one thread are freed on others: each free is charged to the site
	// that made the block.
	ASSERT_EQ(mem_count_init(MEM_COUNT_ENABLE), 0);
	constexpr int kBlocks = 500;
	std::vector<void *> blocks(kBlocks);
	std::thread maker([&] {
		for (int i = 0; i < kBlocks; i++)
			blocks[i] = ox_malloc_at(64, "make.cpp", 1);
	});
	maker.join();
	size_t u = malloc_usable_size(blocks[0]);
	EXPECT_EQ(mem_count, kBlocks * u);
	EXPECT_EQ(mem_count_mallocs, (uint64_t)kBlocks);
	std::vector<std::thread> freers;
	for (int t = 0; t < 4; t++)
		freers.emplace_back([&, t] {
			for (int i = t; i < kBlocks; i += 4)
				ox_free_at(blocks[i], "free.cpp", 2);
		});
	for (auto &t : freers)
		t.join();
	EXPECT_EQ(mem_count, 0u);
	EXPECT_EQ(mem_count_frees, (uint64_t)kBlocks);
	EXPECT_EQ(mem_count_alloc_info("free.cpp", 2, nullptr), -1);
	EXPECT_EQ(mem_count_alloc_info("make.cpp", 1, nullptr), 0);
}

} // namespace
