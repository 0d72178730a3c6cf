/*
 * ferry_intake_demo: the front half of the shipper, run for real against a
 * local server (the stand-in program in the demo).
 *
 *   ferry_intake_demo CONFIG EXPECTED [LIMIT_SECS]
 *
 * It reads CONFIG as the shipper does (parse and checks), opens the digest
 * log it names, points the local-server link at 127.0.0.1 and the configured
 * local port, and starts the pipe reader thread as start-up will: that thread
 * makes the queue and the writer, waits for the server, asks it to feed the
 * pipe and reads the namespace list, the boot nodes and the digests into the
 * digest log. Once EXPECTED digests are logged (or LIMIT_SECS, default 15,
 * have passed) it reads the digest log back through a reader of its own and
 * prints what arrived and the shipper's counters.
 *
 * The shipper's threads never end, so the program leaves with _exit once it
 * has printed; exit status 0 only when every expected digest is in the log.
 */
#include <arpa/inet.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ferry.h"
#include "tamberlin/ferry_info.h"
#include "tamberlin/ox_clock.h"
#include "tamberlin/rbuffer.h"
#include "tamberlin/utils.h"

namespace {

counters s_cnt;
thread_data s_td = {&s_cnt, nullptr, nullptr};

ox_rbuffer *
demo_open_digestlog(const ferry_config *c)
{
	ox_rbuffer_config rc = {};
	rc.fname[0] = c->ferry_digestlog_path[0];
	rc.fsize[0] = (int64_t)c->ferry_digestlog_file_size[0];
	rc.nfiles = 1;
	rc.rec_size = FERRY_MSG_ONDISK_SIZE;
	rc.batch_size = (uint64_t)c->ferry_write_batch_size;
	rc.overwrite = c->ferry_digestlog_overwrite;
	rc.persist = c->ferry_digestlog_persist;
	return ox_rbuffer_init(&rc);
}

void
demo_local_address(int port)
{
	g_sockaddr_in_v = ox_vector_create(sizeof(struct sockaddr_in), 5, 0);
	struct sockaddr_in sa = {};
	sa.sin_family = AF_INET;
	sa.sin_port = htons((uint16_t)port);
	sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	ox_vector_append(g_sockaddr_in_v, &sa);
}

void
demo_print_record(uint64_t n, const ferry_msg_ondisk &r)
{
	char hex[41];
	for (int i = 0; i < 20; i++) {
		snprintf(hex + 2 * i, 3, "%02x", r.diginfo.digest[i]);
	}
	time_t secs = (time_t)(r.diginfo.digesttime / 1000);
	struct tm tm;
	char when[32];
	localtime_r(&secs, &tm);
	strftime(when, sizeof(when), "%H:%M:%S", &tm);
	const char *ns = ferry_ns_known(r.diginfo.ns_id) ? g_ns_dbuckets[r.diginfo.ns_id].ns_name : "?";
	printf("  #%-6lu ns %-8s digest %s  gen %u  at %s.%03lu%s\n", (unsigned long)n, ns, hex,
			r.diginfo.generation, when, (unsigned long)(r.diginfo.digesttime % 1000),
			r.diginfo.delete_flag & RELAY_DELETE_FLAG ? "  (delete)" : "");
}

// Reads the whole log through a reader of its own (the main reader is the
// shipper's), printing the first and the last records; the count read.
uint64_t
demo_read_back(void)
{
	ox_rbuffer_ctx *ctx = ox_rbuffer_getsetctx(g_rbuf_des, nullptr, 0);
	if (!ctx) {
		printf("cannot open a reader on the digest log\n");
		return 0;
	}
	std::vector<ferry_msg_ondisk> recs(1000);
	ferry_msg_ondisk last = {};
	uint64_t total = 0;
	for (;;) {
		int n = ox_rbuffer_read(g_rbuf_des, ctx, (char *)recs.data(), (int)recs.size());
		if (n <= 0) {
			break;
		}
		for (int i = 0; i < n; i++, total++) {
			if (total < 3) {
				demo_print_record(total + 1, recs[(size_t)i]);
			}
			last = recs[(size_t)i];
		}
	}
	if (total > 4) {
		printf("  ...\n");
	}
	if (total > 3) {
		demo_print_record(total, last);
	}
	ox_rbuffer_closectx(ctx);
	return total;
}

} // namespace

int
main(int argc, char **argv)
{
	if (argc < 3 || argc > 4) {
		fprintf(stderr, "usage: ferry_intake_demo CONFIG EXPECTED [LIMIT_SECS]\n");
		return 2;
	}
	uint64_t expected = strtoull(argv[2], nullptr, 10);
	int limit_secs = argc > 3 ? atoi(argv[3]) : 15;

	ferry_config_clear_tables();
	read_configfile_ferrysection(&g_xcfg, argv[1]);
	ferry_config_checks(&g_xcfg);
	printf("configuration %s:\n  named pipe %s\n  digest log %s (%lu bytes)\n  local server 127.0.0.1:%d\n",
			argv[1], g_xcfg.ferry_digestpipe_path, g_xcfg.ferry_digestlog_path[0],
			(unsigned long)g_xcfg.ferry_digestlog_file_size[0], g_xcfg.ferry_local_port);
	for (int n = 1; n <= g_ns_count; n++) {
		ox_vector *dcs = g_ns_xcfg_opt[n].ns_dclist_v;
		printf("  namespace %d %s ships to", n, g_ns_xcfg_opt[n].ns_name);
		for (uint32_t i = 0; dcs && i < ox_vector_size(dcs); i++) {
			printf(" %s", (char *)ox_vector_pointer_get(dcs, i));
		}
		printf("\n");
	}

	g_rbuf_des = demo_open_digestlog(&g_xcfg);
	if (!g_rbuf_des) {
		fprintf(stderr, "ferry_intake_demo: cannot open the digest log %s\n", g_xcfg.ferry_digestlog_path[0]);
		return 1;
	}
	demo_local_address(g_xcfg.ferry_local_port);
	g_ferry_cntr = &s_cnt;

	pthread_t tid;
	if (pthread_create(&tid, nullptr, read_namedpipe, &s_td) != 0) {
		fprintf(stderr, "ferry_intake_demo: cannot start the pipe reader\n");
		return 1;
	}
	pthread_detach(tid);

	uint64_t end = ox_clock_getabsolute() + (uint64_t)limit_secs * 1000;
	while (ox_atomic64_get(&s_cnt.dlog_pkts_logged) < expected && ox_clock_getabsolute() < end) {
		usleep(20000);
	}
	uint64_t logged = ox_atomic64_get(&s_cnt.dlog_pkts_logged);
	if (logged < expected) {
		printf("gave up after %d s: %lu of %lu digests logged\n", limit_secs, (unsigned long)logged,
				(unsigned long)expected);
	}

	printf("local server answered \"build\": %s; asked to feed the pipe, which is open: %s\n",
			g_server_up.load() ? "yes" : "no", g_isnamedpipe_open.load() ? "yes" : "no");
	printf("from the pipe:\n  namespaces:");
	for (int n = 1; n < NAMESPACE_MAX_NUM; n++) {
		if (ferry_ns_known(n)) {
			printf(" %d=%s", n, g_ns_dbuckets[n].ns_name);
		}
	}
	printf("%s\n  boot nodes (%d):", g_ns_sync_complete.load() ? "" : " (list not complete)", g_bootnodecount);
	for (int i = 0; i < g_bootnodecount; i++) {
		printf(" %lx", (unsigned long)g_bootnodes[i]);
	}
	printf("%s\n", g_bootnode_sync_complete.load() ? "" : " (list not complete)");

	printf("digest log read back:\n");
	uint64_t read = demo_read_back();
	printf("  %lu records in the digest log\n", (unsigned long)read);
	printf("counters: pipe_reads_diginfo %lu, dlog_pkts_logged %lu, dlog_pkts_unlogged %lu, "
			"dlog_pkts_dropped %lu; digest-log segment writes %lu\n",
			(unsigned long)ox_atomic64_get(&s_cnt.pipe_reads_diginfo), (unsigned long)logged,
			(unsigned long)ox_atomic64_get(&s_cnt.dlog_pkts_unlogged),
			(unsigned long)ox_atomic64_get(&s_cnt.dlog_pkts_dropped),
			(unsigned long)ox_atomic64_get(&g_rbuf_des->fwrite_stat));
	bool ok = read == expected && logged == expected && ox_atomic64_get(&s_cnt.dlog_pkts_dropped) == 0;
	printf("%s\n", ok ? "all digests arrived, in the digest log" : "NOT all digests arrived");
	fflush(stdout);
	_exit(ok ? 0 : 1);
}
