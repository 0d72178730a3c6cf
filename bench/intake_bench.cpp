// Intake throughput: the stand-in local server floods the named pipe with
// digest messages as fast as it can; measured is how many messages per second
// reach the digest log through the shipper's pipe reader and writer, against
// a bare reader in the same run that reads the same FIFO and writes the same
// 80-byte records with plain write calls. Prints both, their ratio and the
// messages dropped.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "testkit/fake_local_server.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ferry.h"
#include "tamberlin/ox_clock.h"
#include "tamberlin/rbuffer.h"

namespace {

constexpr uint64_t kMessages = 300000; // below the queue limit: nothing may drop
std::string g_fifo;                    // the one FIFO both readers read
double g_bare_rate;
double g_intake_rate;
uint64_t g_dropped;
counters g_cnt;

std::string
tmp_path(const char *tag)
{
	static int seq;
	const char *dir = getenv("FERRY_TEST_TMP");
	return std::string(dir && *dir ? dir : "/tmp") + "/intake_bench_" + tag + "_" + std::to_string(getpid()) +
		"_" + std::to_string(seq++);
}

// A stand-in with the namespace list and a flood of kMessages digests scripted.
fake_local_server *
flooding_server(const std::string &fifo)
{
	fake_local_server *s = fls_start(fifo.c_str(), 0);
	ferry_msg m;
	fls_make_ns(&m, 1, "test");
	fls_pipe_msg(s, &m);
	fls_make_ns(&m, -1, nullptr);
	fls_pipe_msg(s, &m);
	fls_pipe_flood(s, 1, 0, kMessages);
	fls_pipe_close(s);
	return s;
}

void
BM_BareReader(benchmark::State &state)
{
	for (auto _ : state) {
		std::string out = tmp_path("bare_out");
		fake_local_server *s = flooding_server(g_fifo);
		fls_start_feed(s);
		uint64_t t0 = ox_getms();
		int rfd = open(g_fifo.c_str(), O_RDONLY);
		int wfd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
		uint64_t digests = 0;
		char buf[FERRY_MSG_SIZE];
		size_t got = 0;
		for (;;) {
			ssize_t n = read(rfd, buf + got, sizeof(buf) - got);
			if (n <= 0) {
				break;
			}
			got += (size_t)n;
			if (got < sizeof(buf)) {
				continue;
			}
			got = 0;
			if (buf[0] == FERRY_MSG_TYPE_DIGESTINFO) {
				if (write(wfd, buf, FERRY_MSG_ONDISK_SIZE) != FERRY_MSG_ONDISK_SIZE) {
					break;
				}
				digests++;
			}
		}
		uint64_t ms = ox_getms() - t0;
		close(rfd);
		close(wfd);
		fls_stop(s);
		unlink(out.c_str());
		if (digests != kMessages) {
			state.SkipWithError("bare reader lost messages");
			return;
		}
		g_bare_rate = (double)digests * 1000.0 / (double)(ms ? ms : 1);
		state.SetIterationTime((double)ms / 1000.0);
		state.counters["msgs_per_s"] = g_bare_rate;
	}
}

void
BM_Intake(benchmark::State &state)
{
	static bool started = false;
	if (!started) {
		// One writer thread serves every run, as in the daemon.
		ferry_config_defaults(&g_xcfg);
		g_ferry_cntr = &g_cnt;
		g_ns_count = 1;
		g_ns_xcfg_opt[1].ns_name = ox_strdup("test");
		g_dc_count = 1;
		std::string dlog = tmp_path("dlog");
		ox_rbuffer_config cfg = {};
		cfg.fname[0] = dlog.c_str();
		cfg.fsize[0] = 256ll << 20;
		cfg.nfiles = 1;
		cfg.rec_size = FERRY_MSG_ONDISK_SIZE;
		cfg.batch_size = 100;
		cfg.overwrite = true;
		cfg.persist = true;
		g_rbuf_des = ox_rbuffer_init(&cfg);
		unlink(dlog.c_str());
		if (!g_rbuf_des) {
			state.SkipWithError("digest log did not open");
			return;
		}
		ox_free(g_xcfg.ferry_digestpipe_path);
		g_xcfg.ferry_digestpipe_path = ox_strdup(g_fifo.c_str());
		ferry_intake_start();
		started = true;
	}
	for (auto _ : state) {
		// Measured with the shipper's own waits (the writer's one-second limit).
		g_ferry_time_divisor.store(1);
		fake_local_server *s = flooding_server(g_fifo);
		uint64_t base = ox_atomic64_get(&g_cnt.dlog_pkts_logged);
		uint64_t dropped = ox_atomic64_get(&g_cnt.dlog_pkts_dropped);
		fls_start_feed(s);
		uint64_t t0 = ox_getms();
		ferry_namedpipe_open();
		std::thread reader([] { ferry_namedpipe_read_loop(nullptr); });
		while (ox_atomic64_get(&g_cnt.dlog_pkts_logged) - base < kMessages &&
				ox_atomic64_get(&g_cnt.dlog_pkts_dropped) == dropped && ox_getms() - t0 < 120000) {
			usleep(200);
		}
		uint64_t ms = ox_getms() - t0;
		// Only the ten empty reads that end the read loop are shortened.
		g_ferry_time_divisor.store(1000);
		reader.join();
		fls_stop(s);
		g_dropped = ox_atomic64_get(&g_cnt.dlog_pkts_dropped) - dropped;
		uint64_t logged = ox_atomic64_get(&g_cnt.dlog_pkts_logged) - base;
		g_intake_rate = (double)logged * 1000.0 / (double)(ms ? ms : 1);
		state.SetIterationTime((double)ms / 1000.0);
		state.counters["msgs_per_s"] = g_intake_rate;
		state.counters["dropped"] = (double)g_dropped;
	}
}

// Time is the measured interval only: from the open of the FIFO until the last
// record is written (the stand-in's start and the reader's end are left out).
BENCHMARK(BM_BareReader)->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_Intake)->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond)->UseManualTime();

} // namespace

int
main(int argc, char **argv)
{
	benchmark::Initialize(&argc, argv);
	g_fifo = tmp_path("fifo");
	benchmark::RunSpecifiedBenchmarks();
	benchmark::Shutdown();
	unlink(g_fifo.c_str());
	double ratio = g_bare_rate > 0 ? g_intake_rate / g_bare_rate : 0;
	printf("intake: %.0f msgs/s, bare reader: %.0f msgs/s, ratio %.2f (expected >= 0.5, and > 200000 msgs/s), "
	       "dropped %lu\n",
			g_intake_rate, g_bare_rate, ratio, (unsigned long)g_dropped);
	return 0;
}
