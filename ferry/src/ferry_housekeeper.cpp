/*
 * The housekeeper: its own thread, started last by start-up. Once a second
 * while the local server is up it makes one last-ship step; every tenth tick
 * it stores each datacenter's local minimum last-ship time in the digest
 * log's first header and persists the headers, so a restart resumes from
 * there; every sixtieth tick it reclaims digest-log space below the
 * cluster-wide minimum. It is the only writer of the header's user words.
 *
 * Ticks count only while the local server is up; the tick count never resets.
 */
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/fault.h"
#include "tamberlin/ferry_info.h"
#include "tamberlin/ferry_road.h"
#include "tamberlin/rbuffer.h"

#define FERRY_LASTSHIP_UPDINTERVAL_SECS 1
#define FERRY_THROUGHPUT_PRINT_INTERVAL 10

static void
ferry_persist_lastship(void)
{
	if (!g_rbuf_des) {
		return;
	}
	uint64_t *words = g_rbuf_des->hdr[0].udata;
	ferry_store_lst_to_words(words);
	for (int dc = 0; dc < DC_MAX_NUM; dc++) {
		uint64_t v = ox_atomic64_get(&words[dc]);
		if (v != 0) {
			ox_detail(QM_FERRY, "DC %d lastship=%lu,", dc, (unsigned long)v);
		}
	}
	if (ox_rbuffer_persist(g_rbuf_des) != 0) {
		ox_warning(QM_FERRY, "Failed to persist the per-DC lastship times in the log file");
	} else {
		ox_detail(QM_FERRY, "lastship logging successfull.....");
	}
}

void *
housekeeper(void *arg)
{
	(void)arg;
	int32_t tick = 0;
	for (;;) {
		ferry_sleep_ms(FERRY_LASTSHIP_UPDINTERVAL_SECS * 1000);
		if (!g_server_up.load()) {
			continue;
		}
		tick++;
		ferry_send_lastshipinfo();
		if (tick % FERRY_DIGESTLOG_RECLAIM_SECS == 0) {
			ferry_digestlog_reclaim();
		}
		if (tick % FERRY_THROUGHPUT_PRINT_INTERVAL != 0) {
			continue;
		}
		ferry_persist_lastship();
	}
	return nullptr;
}
