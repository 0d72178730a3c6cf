/*
 * ox_clock: the system's time values. Latencies, timeouts and intervals read
 * the monotonic clock in milliseconds; digest and last-ship times are
 * wall-clock milliseconds since 1970; record void times count seconds since
 * TAMBERLIN_EPOCH. Every function is stateless and safe from any thread.
 */
#pragma once

#include <cstdint>
#include <ctime>

/* A time value; its unit and epoch depend on the function that made it. */
typedef uint64_t ox_clock;

/* Unix time of 2010-01-01 00:00:00 UTC. */
#define TAMBERLIN_EPOCH 1262304000

#define OX_TIMESPEC_TO_MS(ts) \
	(((uint64_t)(ts).tv_sec * 1000) + ((uint64_t)(ts).tv_nsec / 1000000))
#define OX_TIMESPEC_TO_US(ts) \
	(((uint64_t)(ts).tv_sec * 1000000) + ((uint64_t)(ts).tv_nsec / 1000))

ox_clock ox_getms(void);               /* monotonic milliseconds */
ox_clock ox_getus(void);               /* monotonic microseconds */
ox_clock ox_get_seconds(void);         /* monotonic seconds */
ox_clock ox_clock_getabsolute(void);   /* wall-clock milliseconds since 1970 */
ox_clock ox_clock_getabsoluteus(void); /* wall-clock microseconds since 1970 */
ox_clock ox_secs_since_kaepoch(void);  /* wall-clock seconds since TAMBERLIN_EPOCH */
ox_clock ox_getmicros(void);           /* processor time the process has used, us */

/* Fills *ts with the real-time clock now + ms (ms >= 0), nanoseconds
 * normalised to 0..999,999,999: the absolute deadline of a timed wait. */
void ox_set_wait_timespec(struct timespec *ts, int ms);
