// Clocks: each function reads the clock, unit and epoch it is meant to. Each
// value is bracketed by direct reads of the same clock.
#include <gtest/gtest.h>

#include <ctime>

#include "tamberlin/ox_clock.h"

namespace {

struct timespec
now(clockid_t id)
{
	struct timespec ts;
	clock_gettime(id, &ts);
	return ts;
}

uint64_t
ns_of(const struct timespec &ts)
{
	return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

TEST(Clock, EachFunctionReadsItsClockInItsUnit)
{
	struct Case {
		const char *name;
		clockid_t id;
		ox_clock (*fn)(void);
		uint64_t ns_per_unit;
		uint64_t epoch_units;
	} cases[] = {
		{"ox_getms", CLOCK_MONOTONIC, ox_getms, 1000000, 0},
		{"ox_getus", CLOCK_MONOTONIC, ox_getus, 1000, 0},
		{"ox_get_seconds", CLOCK_MONOTONIC, ox_get_seconds, 1000000000, 0},
		{"ox_clock_getabsolute", CLOCK_REALTIME, ox_clock_getabsolute, 1000000, 0},
		{"ox_clock_getabsoluteus", CLOCK_REALTIME, ox_clock_getabsoluteus, 1000, 0},
		{"ox_secs_since_kaepoch", CLOCK_REALTIME, ox_secs_since_kaepoch, 1000000000, TAMBERLIN_EPOCH},
		{"ox_getmicros", CLOCK_PROCESS_CPUTIME_ID, ox_getmicros, 1000, 0},
	};
	for (const auto &c : cases) {
		uint64_t before = ns_of(now(c.id)) / c.ns_per_unit - c.epoch_units;
		ox_clock v = c.fn();
		uint64_t after = ns_of(now(c.id)) / c.ns_per_unit - c.epoch_units;
		EXPECT_LE(before, v) << c.name;
		EXPECT_LE(v, after) << c.name;
	}
}

TEST(Clock, EpochIsStartOf2010Utc)
{
	struct tm tm = {};
	tm.tm_year = 110;
	tm.tm_mday = 1;
	EXPECT_EQ(timegm(&tm), (time_t)TAMBERLIN_EPOCH);
}

TEST(Clock, TimespecConversionsTruncate)
{
	struct {
		struct timespec ts;
		uint64_t ms, us;
	} cases[] = {
		{{0, 0}, 0, 0},
		{{1, 999999}, 1000, 1000999},
		{{2, 999999999}, 2999, 2999999},
		{{1262304010, 1500}, 1262304010000ull, 1262304010000001ull},
	};
	for (const auto &c : cases) {
		EXPECT_EQ(OX_TIMESPEC_TO_MS(c.ts), c.ms);
		EXPECT_EQ(OX_TIMESPEC_TO_US(c.ts), c.us);
	}
}

TEST(Clock, WaitDeadlineIsNowPlusWaitNormalised)
{
	// Enough waits that the nanoseconds carry into the seconds for many of
	// them, whatever the current nanoseconds are.
	for (int ms = 0; ms <= 3000; ms += 7) {
		uint64_t before = ns_of(now(CLOCK_REALTIME));
		struct timespec ts;
		ox_set_wait_timespec(&ts, ms);
		uint64_t after = ns_of(now(CLOCK_REALTIME));
		ASSERT_GE(ts.tv_nsec, 0) << ms;
		ASSERT_LT(ts.tv_nsec, 1000000000) << ms;
		uint64_t wait = (uint64_t)ms * 1000000;
		ASSERT_LE(before + wait, ns_of(ts)) << ms;
		ASSERT_LE(ns_of(ts), after + wait) << ms;
	}
}

} // namespace
