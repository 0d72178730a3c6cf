// Heap accounting switched on, off and stopped (its tables destroyed) while
// several threads allocate, resize and free through the wrappers; and a free
// on one thread of a block made on another, charged to the making site.
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

TEST_F(MemCountMt, SwitchingOffAndOnWhileThreadsAllocate)
{
	constexpr int kWorkers = 4;
	constexpr int kRounds = 1500;
	constexpr int kMaxSwitches = 200000;
	std::atomic<int> running{kWorkers};
	std::atomic<long> ops{0};

	auto worker = [&](int id) {
		[[maybe_unused]] LeaksByDesign quiet;
		char text[] = "worker text";
		for (int i = 0; i < kRounds; i++) {
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
		running.fetch_sub(1);
	};

	std::vector<std::thread> threads;
	for (int i = 0; i < kWorkers; i++)
		threads.emplace_back(worker, i);

	// On, off, on again, then stopped with the tables destroyed; round and
	// round while the workers run.
	int switches = 0;
	int starts = 0;
	while (running.load() > 0 && switches < kMaxSwitches) {
		switch (switches % 4) {
		case 0:
			starts += mem_count_init(MEM_COUNT_ENABLE_DYNAMIC) == 0;
			break;
		case 1:
			mem_count_init(MEM_COUNT_DISABLE);
			break;
		case 2:
			mem_count_init(MEM_COUNT_ENABLE_DYNAMIC);
			mem_count_stats();
			mem_count_report(OX_ALLOC_SORT_TOTAL_ALLOC_COUNT, 5, nullptr);
			break;
		case 3:
			mem_count_shutdown();
			break;
		}
		switches++;
	}
	for (auto &t : threads)
		t.join();
	EXPECT_EQ(ops.load(), (long)kWorkers * kRounds);
	EXPECT_GT(starts, 0);
	mem_count_shutdown();
	EXPECT_FALSE(g_memory_accounting_enabled);

	// Afterwards it starts afresh and counts exactly.
	ASSERT_EQ(mem_count_init(MEM_COUNT_ENABLE), 0);
	void *p = ox_malloc_at(1000, "after.cpp", 1);
	ASSERT_NE(p, nullptr);
	EXPECT_EQ(mem_count, malloc_usable_size(p));
	ox_free(p);
	EXPECT_EQ(mem_count, 0u);
	EXPECT_EQ(mem_count_mallocs, 1u);
	EXPECT_EQ(mem_count_frees, 1u);
}

TEST_F(MemCountMt, BlockFreedOnAnotherThreadIsChargedToItsSite)
{
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
