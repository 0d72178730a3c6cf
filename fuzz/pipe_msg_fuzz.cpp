/*
 * Named-pipe messages: the input is a run of 280-byte messages as the local
 * server writes them (a short last piece is completed with zero bytes, as a
 * short read is), each dispatched by ferry_namedpipe_dispatch from its own
 * exact-size heap copy. The shipper knows two namespaces, "test" (1) and
 * "bar" (2), and two datacenters, so namespace, digest, boot-node and
 * failed-node messages all find tables to fill.
 *
 * A namespace message that disagrees with the configuration ends the process
 * by design (CRITICAL); the guard turns that into the end of the input. The
 * tables the messages filled are emptied after every input, and the
 * failed-node threads they started are waited for.
 */
#include <pthread.h>

#include <cstring>

#include "fuzz_common.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ferry.h"
#include "tamberlin/ferry_shared.h"

static counters s_counters;
static thread_data s_td;
static int s_base_threads; /* threads before this input started any */

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
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
	g_dlog_q = ox_queue_create(sizeof(ferry_msg), true);
	if (!g_dlog_q)
		abort();
	return 0;
}

static void
intake_reset(void)
{
	ox_queue_delete_all(g_dlog_q);
	for (int i = 1; i < NAMESPACE_MAX_NUM; i++)
		if (ferry_ns_known(i))
			ferry_ns_bucket_free(i);
	if (g_maxfailedever > 0 && !fuzz_wait_threads(s_base_threads, 10000)) {
		fprintf(stderr, "pipe_msg: failed-node threads still run after 10 s\n");
		abort();
	}
	memset(g_failednodeinfo, 0, sizeof(g_failednodeinfo));
	g_maxfailedever = 0;
	g_bootnodecount = 0;
	g_ns_sync_complete.store(false);
	g_bootnode_sync_complete.store(false);
	memset(&s_counters, 0, sizeof(s_counters));
	fuzz_logs_reset();
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (!g_dlog_q)
		LLVMFuzzerInitialize(nullptr, nullptr);
	// Counted anew each time: the fuzzer runs threads of its own.
	s_base_threads = fuzz_thread_count();
	for (size_t at = 0; at < size; at += FERRY_MSG_SIZE) {
		size_t n = size - at < FERRY_MSG_SIZE ? size - at : FERRY_MSG_SIZE;
		uint8_t *msg = fuzz_copy(data + at, n);
		if (n < FERRY_MSG_SIZE) {
			// Grown to a whole message only when the piece is short, so a
			// whole one stays an exact copy.
			msg = (uint8_t *)realloc(msg, FERRY_MSG_SIZE);
			if (!msg)
				abort();
			memset(msg + n, 0, FERRY_MSG_SIZE - n);
		}
		bool ended = fuzz_ends_process([&] { ferry_namedpipe_dispatch((ferry_msg *)msg, &s_td); });
		free(msg);
		if (ended)
			break;
	}
	intake_reset();
	return 0;
}
