// Heap accounting by site: switching it on and off, what each wrapper charges
// and to which site, the statistics and report lines, the report's order and
// bounds. Sites are named by calling the wrappers with made-up file names and
// lines; every expected size is the allocator's own usable size.
#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "fault_fixture.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/fault.h"
#include "tamberlin/mem_count.h"

namespace {

using namespace fault_fixture;

const char SEP[] = "=============================================";

std::string
fmt(const char *f, ...) __attribute__((format(printf, 1, 2)));

std::string
fmt(const char *f, ...)
{
	char buf[512];
	va_list ap;
	va_start(ap, f);
	vsnprintf(buf, sizeof(buf), f, ap);
	va_end(ap);
	return buf;
}

// The value with its unit as the accounting prints sizes.
std::string
human(long v)
{
	long a = v < 0 ? -v : v;
	if (a >= (1L << 30))
		return fmt("%.3f GB", (double)v / (1L << 30));
	if (a >= (1L << 20))
		return fmt("%.3f MB", (double)v / (1L << 20));
	if (a >= 1024)
		return fmt("%.3f KB", (double)v / 1024);
	return fmt("%.3f B", (double)v);
}

class MemCount : public FaultLog {
protected:
	std::string log_path;

	void
	SetUp() override
	{
		FaultLog::SetUp();
		log_path = tmp_path("memcount");
		active_file_sink(log_path, "debug");
	}

	void
	TearDown() override
	{
		stop();
		FaultLog::TearDown();
	}

	static void
	stop()
	{
		mem_count_init(MEM_COUNT_ENABLE);
		mem_count_shutdown();
	}

	// "SEVERITY|message" of every accounting line logged since the last call.
	std::vector<std::string>
	lines()
	{
		std::vector<std::string> out;
		for (const auto &l : lines_of(slurp(log_path))) {
			size_t sev = l.find(": ") + 2;
			size_t ctx = l.find(" (ox:alloc): (mem_count.cpp:");
			if (ctx == std::string::npos)
				continue;
			size_t msg = l.find(") ", ctx + 20) + 2;
			out.push_back(l.substr(sev, ctx - sev) + "|" + l.substr(msg, l.size() - msg - 1));
		}
		EXPECT_EQ(truncate(log_path.c_str(), 0), 0);
		return out;
	}
};

TEST_F(MemCount, InitAndShutdownModes)
{
	EXPECT_EQ(mem_count_init(MEM_COUNT_DISABLE), -1);
	EXPECT_FALSE(g_memory_accounting_enabled);
	EXPECT_EQ(mem_count_report(OX_ALLOC_SORT_NET_SZ, 5, nullptr), -1);
	EXPECT_EQ(mem_count_alloc_info("x.cpp", 1, nullptr), -1);
	EXPECT_EQ(lines(), (std::vector<std::string>{"DEBUG|memory accounting disabled",
			"INFO|memory accounting never enabled ~~ no data collected yet",
			"INFO|memory accounting never enabled ~~ no data collected yet"}));

	EXPECT_EQ(mem_count_init(MEM_COUNT_ENABLE), 0);
	EXPECT_TRUE(g_memory_accounting_enabled);
	void *p = ox_malloc_at(100, "i.cpp", 1);
	EXPECT_EQ(mem_count_init(MEM_COUNT_ENABLE), -1) << "a second start";
	EXPECT_EQ(mem_count_init(MEM_COUNT_DISABLE), -1);
	EXPECT_FALSE(g_memory_accounting_enabled);
	EXPECT_EQ(lines(), (std::vector<std::string>{"DEBUG|memory accounting enabled",
			"DEBUG|memory accounting disabled"}));

	// Off keeps what was gathered; shutdown while off does nothing.
	mem_count_shutdown();
	EXPECT_EQ(mem_count_alloc_info("i.cpp", 1, nullptr), 0);
	auto l = lines();
	ASSERT_GE(l.size(), 2u);
	EXPECT_EQ(l[0], "DEBUG|memory accounting not enabled");
	EXPECT_EQ(l[1], "INFO|Allocation @ location \"i.cpp:1\":");
	ox_free(p); // off: a plain free

	EXPECT_EQ(mem_count_init(MEM_COUNT_ENABLE_DYNAMIC), -1);
	EXPECT_TRUE(g_memory_accounting_enabled);
	mem_count_shutdown();
	EXPECT_FALSE(g_memory_accounting_enabled) << "stopping switches off";
	EXPECT_EQ(mem_count_report(OX_ALLOC_SORT_NET_SZ, 5, nullptr), -1);
	void *q = ox_malloc_at(10, "i.cpp", 2);
	ox_free(q);

	// A new start after a stop begins afresh.
	ASSERT_EQ(mem_count_init(MEM_COUNT_ENABLE), 0);
	EXPECT_EQ(mem_count_mallocs, 0u);
	EXPECT_EQ(mem_count, 0u);
	EXPECT_EQ(mem_count_alloc_info("i.cpp", 1, nullptr), -1);
}

TEST_F(MemCount, FreeIsChargedToTheAllocatingSite)
{
	ASSERT_EQ(mem_count_init(MEM_COUNT_ENABLE), 0);
	time_t from = time(NULL);
	void *p = ox_malloc_at(1000, "a.cpp", 1);
	void *q = ox_calloc_at(10, 10, "a.cpp", 1);
	ASSERT_TRUE(p && q);
	size_t up = malloc_usable_size(p), uq = malloc_usable_size(q);
	ox_free_at(p, "b.cpp", 2);
	time_t to = time(NULL);
	EXPECT_EQ(mem_count, uq);
	EXPECT_EQ(mem_count_mallocs, 1u);
	EXPECT_EQ(mem_count_callocs, 1u);
	EXPECT_EQ(mem_count_frees, 1u);
	lines();

	EXPECT_EQ(mem_count_alloc_info("b.cpp", 2, nullptr), -1) << "the freeing site gets no entry";
	ASSERT_EQ(mem_count_alloc_info("a.cpp", 1, nullptr), 0);
	auto l = lines();
	ASSERT_EQ(l.size(), 7u) << ::testing::PrintToString(l);
	EXPECT_EQ(l[0], "WARNING|Cannot find allocation at location: \"b.cpp:2\".");
	EXPECT_EQ(l[1], "INFO|Allocation @ location \"a.cpp:1\":");
	EXPECT_EQ(l[2], fmt("INFO|\tnet_sz: %zu (%s)", uq, human((long)uq).c_str()));
	EXPECT_EQ(l[3], fmt("INFO|\tdelta_sz: %ld (%s)", -(long)up, human(-(long)up).c_str()));
	EXPECT_EQ(l[4], "INFO|\tnet_alloc_count: 1");
	EXPECT_EQ(l[5], "INFO|\ttotal_alloc_count: 3");
	bool time_ok = false;
	for (time_t t = from; t <= to; t++) {
		struct tm tm;
		char when[64];
		gmtime_r(&t, &tm);
		strftime(when, sizeof(when), "%b %d %Y %T %Z", &tm);
		time_ok |= l[6] == fmt("INFO|\ttime_last_modified: %ld (%s)", (long)t, when);
	}
	EXPECT_TRUE(time_ok) << l[6];

	ox_free_at(q, "c.cpp", 3);
	EXPECT_EQ(mem_count, 0u);
}

TEST_F(MemCount, ReallocChargesTheOldBlockWithTheSizeRecordedForIt)
{
	ASSERT_EQ(mem_count_init(MEM_COUNT_ENABLE), 0);
	void *p = ox_malloc_at(100, "r.cpp", 1);
	ASSERT_NE(p, nullptr);
	// Large enough that the block moves, so the old one is released inside
	// the call.
	void *p2 = ox_realloc_at(p, 1 << 20, "r.cpp", 2);
	ASSERT_NE(p2, nullptr);
	size_t u2 = malloc_usable_size(p2);
	EXPECT_EQ(mem_count, u2);
	EXPECT_EQ(mem_count_reallocs, 1u);
	EXPECT_EQ(mem_count_mallocs, 2u);
	EXPECT_EQ(mem_count_frees, 1u);

	void *p3 = ox_realloc_at(nullptr, 50, "r.cpp", 3);
	ASSERT_NE(p3, nullptr);
	size_t u3 = malloc_usable_size(p3);
	EXPECT_EQ(mem_count, u2 + u3);
	EXPECT_EQ(mem_count_mallocs, 3u);
	EXPECT_EQ(ox_realloc_at(p3, 0, "r.cpp", 4), nullptr) << "a resize to nothing frees";
	EXPECT_EQ(mem_count, u2);
	EXPECT_EQ(mem_count_frees, 2u);
	EXPECT_EQ(mem_count_reallocs, 3u);
	lines();

	mem_count_alloc_info("r.cpp", 1, nullptr);
	mem_count_alloc_info("r.cpp", 2, nullptr);
	mem_count_alloc_info("r.cpp", 3, nullptr);
	auto l = lines();
	ASSERT_EQ(l.size(), 18u) << ::testing::PrintToString(l);
	EXPECT_EQ(l[1], "INFO|\tnet_sz: 0 (0.000 B)");
	EXPECT_EQ(l[3], "INFO|\tnet_alloc_count: 0");
	EXPECT_EQ(l[4], "INFO|\ttotal_alloc_count: 2");
	EXPECT_EQ(l[7], fmt("INFO|\tnet_sz: %zu (%s)", u2, human((long)u2).c_str()));
	EXPECT_EQ(l[9], "INFO|\tnet_alloc_count: 1");
	EXPECT_EQ(l[13], "INFO|\tnet_sz: 0 (0.000 B)");
	EXPECT_EQ(l[14], fmt("INFO|\tdelta_sz: %ld (%s)", -(long)u3, human(-(long)u3).c_str()));
	ox_free(p2);
	EXPECT_EQ(mem_count, 0u);
}

TEST_F(MemCount, FreeOfAPointerNeverSeen)
{
	ASSERT_EQ(mem_count_init(MEM_COUNT_ENABLE), 0);
	void *p = malloc(64);
	ox_free_at(p, "u.cpp", 7);
	ox_free_at(nullptr, "n.cpp", 3);
	mem_count_stats();
	auto l = lines();
	ASSERT_GE(l.size(), 10u);
	EXPECT_EQ(l[0], fmt("WARNING|Could not find pointer %p in mem_count_shash @ u.cpp:7 [IGNORED]", p));
	EXPECT_EQ(l[1], "INFO|[Ignoring ox_free(0) @ n.cpp:3!]");
	EXPECT_EQ(l[2 + 7], "INFO|mem_count_frees: 0 (0)");
	EXPECT_EQ(suppressed_free_warnings, 0u);

	EXPECT_EQ(mem_count_init(MEM_COUNT_ENABLE_DYNAMIC), -1);
	ox_free_at(p, "u.cpp", 8);
	EXPECT_EQ(suppressed_free_warnings, 1u);
	mem_count_stats();
	l = lines();
	ASSERT_EQ(l.size(), 15u);
	EXPECT_EQ(l[1 + 7], "INFO|mem_count_frees: 0 (+1)") << "no warning; the suppressed count";
	// Left allocated both times: freeing it here is its only free.
	free(p);
}

TEST_F(MemCount, StatsLines)
{
	mem_count_stats();
	EXPECT_EQ(lines(), std::vector<std::string>{"DEBUG|memory accounting not enabled"});

	ASSERT_EQ(mem_count_init(MEM_COUNT_ENABLE), 0);
	void *m = ox_malloc_at(100, "s.cpp", 1);
	void *c = ox_calloc_at(2, 50, "s.cpp", 2);
	char *d = ox_strdup_at("hello", "s.cpp", 3);
	char *n = ox_strndup_at("hello", 2, "s.cpp", 4);
	void *v = ox_valloc_at(10, "s.cpp", 5);
	ASSERT_TRUE(m && c && d && n && v);
	EXPECT_EQ((uintptr_t)v % 4096, 0u);
	EXPECT_STREQ(n, "he");
	long live = (long)(malloc_usable_size(m) + malloc_usable_size(c) + malloc_usable_size(n) +
			malloc_usable_size(v));
	ox_free_at(d, "s.cpp", 6);
	mem_count_stats();
	EXPECT_EQ(lines(), (std::vector<std::string>{"INFO|Mem Count Stats:", std::string("INFO|") + SEP,
			fmt("INFO|mem_count: %ld (%s)", live, human(live).c_str()), std::string("INFO|") + SEP,
			"INFO|net mallocs: 4", std::string("INFO|") + SEP, "INFO|mem_count_mallocs: 1 (0)",
			"INFO|mem_count_frees: 1 (0)", "INFO|mem_count_callocs: 1 (0)",
			"INFO|mem_count_reallocs: 0 (0 / 0)", "INFO|mem_count_strdups: 1 (0)",
			"INFO|mem_count_strndups: 1 (0)", "INFO|mem_count_vallocs: 1 (0)",
			std::string("INFO|") + SEP}));
	for (void *p : {m, c, (void *)n, v})
		ox_free(p);
	EXPECT_EQ(mem_count, 0u);
}

struct Site {
	const char *name;
	int line;
};

TEST_F(MemCount, ReportListsTheLargestInDescendingOrder)
{
	ASSERT_EQ(mem_count_init(MEM_COUNT_ENABLE), 0);
	// A: one live block; B: two big blocks made and freed; C: three small
	// live blocks; D: two live blocks.
	std::vector<void *> live;
	live.push_back(ox_malloc_at(4000, "A.cpp", 1));
	void *b1 = ox_malloc_at(8000, "B.cpp", 2);
	void *b2 = ox_malloc_at(8000, "B.cpp", 2);
	ox_free(b1);
	ox_free(b2);
	for (int i = 0; i < 3; i++)
		live.push_back(ox_malloc_at(100, "C.cpp", 3));
	for (int i = 0; i < 2; i++)
		live.push_back(ox_malloc_at(1000, "D.cpp", 4));
	size_t ua = malloc_usable_size(live[0]), uc = malloc_usable_size(live[1]);
	size_t ud = malloc_usable_size(live[4]);
	lines();

	ASSERT_EQ(mem_count_report(OX_ALLOC_SORT_NET_SZ, 3, nullptr), 0);
	auto l = lines();
	ASSERT_EQ(l.size(), 13u);
	EXPECT_EQ(l[0], "DEBUG|Size of mem count shashes: p2l: 6 ; l2a: 4");
	EXPECT_EQ(l[1], "INFO|Mem Ptr Size Report:");
	EXPECT_EQ(l[2], "INFO|--------------------");
	EXPECT_EQ(l[3], fmt("INFO|Top %2d:  Location: %-25s sz: %zu", 0, "A.cpp:1", ua));
	EXPECT_EQ(l[4], fmt("INFO|Top %2d:  Location: %-25s sz: %zu", 1, "D.cpp:4", ud));
	EXPECT_EQ(l[5], fmt("INFO|Top %2d:  Location: %-25s sz: %zu", 2, "D.cpp:4", ud));
	EXPECT_EQ(l[6], "INFO|--------------------");
	EXPECT_EQ(l[7], "INFO|Mem Loc Count Report: (sorted by space):");
	EXPECT_EQ(l[8], "INFO|---------------------");
	auto site_line = [](const char *loc, size_t net, long delta, size_t na, size_t ta, int i) {
		return fmt("INFO| Top %2d: Location: %-25s sz: %10zu  dsz: %10ld  na: %6zu  ta: %6zu  tlm: ", i, loc,
				net, delta, na, ta);
	};
	EXPECT_EQ(l[9].substr(0, l[9].rfind(' ') + 1), site_line("A.cpp:1", ua, (long)ua, 1, 1, 0));
	EXPECT_EQ(l[10].substr(0, l[10].rfind(' ') + 1), site_line("D.cpp:4", 2 * ud, (long)ud, 2, 2, 1));
	EXPECT_EQ(l[11].substr(0, l[11].rfind(' ') + 1), site_line("C.cpp:3", 3 * uc, (long)uc, 3, 3, 2));
	EXPECT_EQ(l[12], "INFO|---------------------");

	struct {
		sort_field_t field;
		const char *name;
		std::vector<std::string> order;
	} cases[] = {
		{OX_ALLOC_SORT_NET_SZ, "space", {"A.cpp:1", "D.cpp:4", "C.cpp:3"}},
		{OX_ALLOC_SORT_DELTA_SZ, "change", {"B.cpp:2", "A.cpp:1", "D.cpp:4"}},
		{OX_ALLOC_SORT_NET_ALLOC_COUNT, "net_count", {"C.cpp:3", "D.cpp:4", "A.cpp:1"}},
		{OX_ALLOC_SORT_TOTAL_ALLOC_COUNT, "total_count", {"B.cpp:2", "C.cpp:3", "D.cpp:4"}},
	};
	for (const auto &c : cases) {
		ASSERT_EQ(mem_count_report(c.field, 3, nullptr), 0);
		auto r = lines();
		ASSERT_EQ(r.size(), 13u) << c.name;
		EXPECT_EQ(r[7], fmt("INFO|Mem Loc Count Report: (sorted by %s):", c.name));
		for (int i = 0; i < 3; i++) {
			std::string head = fmt("INFO| Top %2d: Location: %s ", i, c.order[i].c_str());
			EXPECT_EQ(r[9 + i].substr(0, head.size()), head) << c.name;
		}
	}

	ASSERT_EQ(mem_count_report(OX_ALLOC_SORT_TIME_LAST_MODIFIED, 10, nullptr), 0);
	auto t = lines();
	ASSERT_EQ(t.size(), 17u) << "six live blocks, four sites";
	EXPECT_EQ(t[10], "INFO|Mem Loc Count Report: (sorted by time):");

	ASSERT_EQ(mem_count_report((sort_field_t)9, 3, nullptr), 0);
	auto u = lines();
	ASSERT_EQ(u.size(), 11u);
	EXPECT_EQ(u[7], "WARNING|Unknown mem count report sort field: 9");
	EXPECT_EQ(u[8], "INFO|Mem Loc Count Report: (sorted by ?\?\?):");

	for (int bad : {0, -1, 1001, 1 << 30})
		EXPECT_EQ(mem_count_report(OX_ALLOC_SORT_NET_SZ, bad, nullptr), -1) << bad;
	EXPECT_EQ(mem_count_report(OX_ALLOC_SORT_NET_SZ, 1, nullptr), 0);
	EXPECT_EQ(mem_count_report(OX_ALLOC_SORT_NET_SZ, 1000, nullptr), 0);
	for (void *p : live)
		ox_free(p);
}

TEST(MemCountReduce, KeepsTheTopNInDescendingOrder)
{
	struct {
		int top_n;
		std::vector<size_t> in;
		std::vector<size_t> want;
	} cases[] = {
		{3, {10, 30, 20, 40}, {40, 30, 20}},
		{3, {0, 5}, {5}},               // a zero key is never kept
		{3, {5, 5, 5, 5, 6}, {6, 5, 5}}, // equal to the full list's last: passed over
		{2, {1, 2, 3, 4, 5}, {5, 4}},
		{4, {7, 1, 9}, {9, 7, 1}},
		{1, {3, 8, 2}, {8}},
	};
	for (const auto &c : cases) {
		std::vector<alloc_info_t> out(c.top_n);
		memset(out.data(), 0, out.size() * sizeof(alloc_info_t));
		mem_count_report_t r = {OX_ALLOC_SORT_NET_SZ, c.top_n, 0, {}};
		r.array.l2a = out.data();
		std::vector<alloc_loc_t> pout(c.top_n);
		memset(pout.data(), 0, pout.size() * sizeof(alloc_loc_t));
		mem_count_report_t pr = {OX_ALLOC_SORT_NET_SZ, c.top_n, 0, {}};
		pr.array.p2l = pout.data();
		for (size_t i = 0; i < c.in.size(); i++) {
			location_t key = {};
			snprintf(key, sizeof(key), "k%zu", i);
			alloc_info_t v = {};
			v.net_sz = c.in[i];
			EXPECT_EQ(mem_count_report_l2a_reduce_fn(key, &v, &r), 0);
			alloc_loc_t pv = {};
			pv.sz = c.in[i];
			void *ptr = (void *)(uintptr_t)(i + 1);
			EXPECT_EQ(mem_count_report_p2l_reduce_fn(&ptr, &pv, &pr), 0);
		}
		ASSERT_EQ(r.num_records, (int)c.want.size());
		ASSERT_EQ(pr.num_records, (int)c.want.size());
		for (size_t i = 0; i < c.want.size(); i++) {
			EXPECT_EQ(out[i].net_sz, c.want[i]) << i;
			EXPECT_EQ(pout[i].sz, c.want[i]) << i;
		}
		EXPECT_EQ(strncmp(out[0].loc, "k", 1), 0) << "a site is listed under its own location";
	}
}

TEST(MemCountHash, PointerAndLocation)
{
	void *p = (void *)(uintptr_t)0x123456789abcdef0ull;
	EXPECT_EQ(ptr_hash_fn(&p), 0x9abcdef0u);
	struct {
		const char *text;
		uint32_t want;
	} cases[] = {{"", 0}, {"a", 97}, {"\xff", 0xffffffffu}, {"a\xff", 96}, {"ab:1", 97 + 98 + 58 + 49}};
	for (const auto &c : cases) {
		location_t loc = {};
		strcpy(loc, c.text);
		EXPECT_EQ(location_hash_fn(loc), c.want) << c.text;
	}
}

} // namespace
