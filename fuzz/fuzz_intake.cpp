/*
 * fuzz_intake: shipper state for the pipe intake's targets, emptied after
 * every input so that one input never sees what another left.
 */
#include "fuzz_intake.h"

#include <pthread.h>

#include <cstdio>
#include <cstring>

#include "fuzz_common.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ferry.h"
#include "../ferry/src/ferry_clusters.h"
#include "tamberlin/ferry_shared.h"

static counters s_counters;
static thread_data s_td;
static int s_base_threads; /* threads before this input started any */

void
fuzz_intake_setup(void)
{
	if (g_dlog_q)
		return;
	fuzz_logs_quiet();
	// Failed-node messages start a thread each; small stacks keep that cheap.
	pthread_attr_t attr;
	pthread_attr_init(&attr);
	pthread_attr_setstacksize(&attr, 256 * 1024);
	pthread_setattr_default_np(&attr);
	pthread_attr_destroy(&attr);
	ferry_config_clear_tables();
	ferry_config_defaults(&g_xcfg);
	// Small slot tables: a namespace message sets one up per input.
	g_xcfg.ferry_read_batch_size = 16;
	const char *names[] = {"test", "bar"};
	for (int i = 1; i <= 2; i++) {
		g_ns_xcfg_opt[i].ns_name = ox_strdup(names[i - 1]);
		g_ns_xcfg_opt[i].ns_id = i;
		g_ns_xcfg_opt[i].ferry_enabled = true;
	}
	g_ns_count = 2;
	g_dc_count = 2;
	g_ferry_cntr = &s_counters;
	s_td.cntr = &s_counters;
	s_td.mcfg = &g_rcfg[0];
	s_td.rcfg = &g_rcfg[1];
	// No clusters are made here: failed-node threads must not wait for them.
	g_clusters_created.store(true);
	g_dlog_q = ox_queue_create(sizeof(ferry_msg), true);
	if (!g_dlog_q)
		abort();
}

void
fuzz_intake_begin(void)
{
	fuzz_intake_setup();
	// Counted anew each time: the fuzzer runs threads of its own.
	s_base_threads = fuzz_thread_count();
}

bool
fuzz_intake_dispatch(struct ferry_msg_s *msg)
{
	return !fuzz_ends_process([&] { ferry_namedpipe_dispatch(msg, &s_td); });
}

void
fuzz_intake_end(void)
{
	ox_queue_delete_all(g_dlog_q);
	for (int i = 1; i < NAMESPACE_MAX_NUM; i++)
		if (ferry_ns_known(i))
			ferry_ns_bucket_free(i);
	if (g_maxfailedever > 0 && !fuzz_wait_threads(s_base_threads, 10000)) {
		fprintf(stderr, "intake: failed-node threads still run after 10 s\n");
		abort();
	}
	ferry_failednode_slots_reset();
	g_maxfailedever = 0;
	g_bootnodecount = 0;
	g_ns_sync_complete.store(false);
	g_bootnode_sync_complete.store(false);
	memset(&s_counters, 0, sizeof(s_counters));
	fuzz_logs_reset();
}
