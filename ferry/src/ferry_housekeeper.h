/*
 * ferry_housekeeper: the one-second tick. The housekeeper thread's state
 * between ticks; only that thread (or a test driving the step) touches it.
 */
#pragma once

#include <cstdint>

#include "tamberlin/ferry_shared.h"

#define FERRY_LASTSHIP_UPDINTERVAL_SECS 1
#define FERRY_THROUGHPUT_PRINT_INTERVAL 10
#define FERRY_QSTATS_PRINT_SECS 60
#define FERRY_DC_TIMELAG_PRINT_INTERVAL 60

typedef struct ferry_hk_state_s {
	counters *cntr;
	int32_t tick;             /* ticks passed while the local server was up */
	uint64_t prev_stat_ms;    /* monotonic ms of the previous statistics */
	uint64_t prev_ship_total; /* remote_ship_total then */
	uint64_t prev_retries;    /* the engine's retries then */
} ferry_hk_state;

/* A state whose first statistics measure from now_ms. */
void ferry_hk_init(ferry_hk_state *st, counters *cntr, uint64_t now_ms);
/* One tick, the second's sleep excluded, at monotonic time now_ms: nothing
 * (false) while the local server is down; else the last-ship step, every
 * 60th tick the queue lines and the reclaim, every 10th the time lags, the
 * throughput, the statistics lines and the last-ship times persisted, every
 * 60th with the time-lag lines (true). */
bool ferry_housekeeper_tick(ferry_hk_state *st, uint64_t now_ms);
/* Thread entry: arg is the counters; a tick every second; never returns. */
void *housekeeper(void *arg);
