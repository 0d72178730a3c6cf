/*
 * ox_clock: which clock each time value reads. Stateless; the reads are not
 * checked, as clock_gettime cannot fail for these clock ids.
 */
#include "tamberlin/ox_clock.h"

static inline struct timespec
clock_now(clockid_t id)
{
	struct timespec ts;
	clock_gettime(id, &ts);
	return ts;
}

ox_clock
ox_getms(void)
{
	return OX_TIMESPEC_TO_MS(clock_now(CLOCK_MONOTONIC));
}

ox_clock
ox_getus(void)
{
	return OX_TIMESPEC_TO_US(clock_now(CLOCK_MONOTONIC));
}

ox_clock
ox_get_seconds(void)
{
	return (ox_clock)clock_now(CLOCK_MONOTONIC).tv_sec;
}

ox_clock
ox_clock_getabsolute(void)
{
	return OX_TIMESPEC_TO_MS(clock_now(CLOCK_REALTIME));
}

ox_clock
ox_clock_getabsoluteus(void)
{
	return OX_TIMESPEC_TO_US(clock_now(CLOCK_REALTIME));
}

ox_clock
ox_secs_since_kaepoch(void)
{
	return (ox_clock)clock_now(CLOCK_REALTIME).tv_sec - TAMBERLIN_EPOCH;
}

ox_clock
ox_getmicros(void)
{
	return OX_TIMESPEC_TO_US(clock_now(CLOCK_PROCESS_CPUTIME_ID));
}

void
ox_set_wait_timespec(struct timespec *ts, int ms)
{
	clock_gettime(CLOCK_REALTIME, ts);
	ts->tv_sec += ms / 1000;
	ts->tv_nsec += (long)(ms % 1000) * 1000000;
	if (ts->tv_nsec >= 1000000000) {
		ts->tv_nsec -= 1000000000;
		ts->tv_sec++;
	}
}
