// Intake throughput: the stand-in local server floods the named pipe with
// digest messages as fast as it can; measured is how many messages per second
// reach the digest log through the shipper's pipe reader and writer.
//
// The baseline makes the same system calls on the same FIFO: one read per
// 280-byte message, and one pwrite per 100 80-byte records (the write batch
// size) into a file. Both sides run as interleaved repetitions, and the
// figure printed is the median over repetitions of intake rate / bare rate.
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
#include <vector>

#include "bench_ratio.h"
#include "testkit/fake_local_server.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ferry.h"
#include "tamberlin/ox_clock.h"
#include "tamberlin/rbuffer.h"

namespace {

constexpr uint64_t kMessages = 200000; // below the queue limit: nothing may drop
constexpr int kBatch = 100;            // the default write batch size
constexpr double kGoal = 0.8;
std::string g_fifo;                    // the one FIFO both readers read
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
	if (!s) {
		return nullptr;
	}
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
	std::vector<char> batch((size_t)kBatch * FERRY_MSG_ONDISK_SIZE);
	for (auto _ : state) {
		std::string out = tmp_path("bare_out");
		fake_local_server *s = flooding_server(g_fifo);
		if (!s) {
			state.SkipWithError("stand-in did not start");
			return;
		}
		fls_start_feed(s);
		uint64_t t0 = ox_getms();
		int rfd = open(g_fifo.c_str(), O_RDONLY);
		int wfd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
		uint64_t digests = 0;
		int in_batch = 0;
		off_t off = 0;
		bool failed = false;
		ferry_msg msg;
		for (;;) {
			ssize_t n = read(rfd, &msg, sizeof(msg));
			if (n <= 0) {
				break;
			}
			if (msg.xm_type != FERRY_MSG_TYPE_DIGESTINFO) {
				continue;
			}
			msg.data.diginfo.digesttime = ox_clock_getabsolute();
			memcpy(&batch[(size_t)in_batch * FERRY_MSG_ONDISK_SIZE], &msg, FERRY_MSG_ONDISK_SIZE);
			digests++;
			if (++in_batch == kBatch) {
				size_t len = (size_t)kBatch * FERRY_MSG_ONDISK_SIZE;
				if (pwrite(wfd, batch.data(), len, off) != (ssize_t)len) {
					failed = true;
					break;
				}
				off += (off_t)len;
				in_batch = 0;
			}
		}
		uint64_t ms = ox_getms() - t0;
		close(rfd);
		close(wfd);
		fls_stop(s);
		unlink(out.c_str());
		if (failed || digests != kMessages || in_batch != 0) {
			state.SkipWithError("bare reader lost messages");
			return;
		}
		state.SetIterationTime((double)ms / 1000.0);
		state.counters["msgs_per_s"] = (double)digests * 1000.0 / (double)(ms ? ms : 1);
	}
}

// One writer thread serves every run, as in the daemon.
bool
intake_started(void)
{
	static bool started = false;
	if (started) {
		return true;
	}
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
	cfg.batch_size = kBatch;
	cfg.overwrite = true;
	cfg.persist = true;
	g_rbuf_des = ox_rbuffer_init(&cfg);
	unlink(dlog.c_str());
	if (!g_rbuf_des) {
		return false;
	}
	ox_free(g_xcfg.ferry_digestpipe_path);
	g_xcfg.ferry_digestpipe_path = ox_strdup(g_fifo.c_str());
	ferry_intake_start();
	started = true;
	return true;
}

void
BM_Intake(benchmark::State &state)
{
	if (!intake_started()) {
		state.SkipWithError("digest log did not open");
		return;
	}
	for (auto _ : state) {
		// Measured with the shipper's own waits (the writer's one-second limit).
		g_ferry_time_divisor.store(1);
		fake_local_server *s = flooding_server(g_fifo);
		if (!s) {
			state.SkipWithError("stand-in did not start");
			return;
		}
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
		g_dropped += ox_atomic64_get(&g_cnt.dlog_pkts_dropped) - dropped;
		uint64_t logged = ox_atomic64_get(&g_cnt.dlog_pkts_logged) - base;
		if (logged != kMessages) {
			state.SkipWithError("intake lost messages");
			return;
		}
		state.SetIterationTime((double)ms / 1000.0);
		state.counters["msgs_per_s"] = (double)logged * 1000.0 / (double)(ms ? ms : 1);
	}
}

// Time is the measured interval only: from the open of the FIFO until the last
// record is written (the stand-in's start and the reader's end are left out).
BENCHMARK(BM_BareReader)->Iterations(1)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_Intake)->Iterations(1)->Unit(benchmark::kMillisecond)->UseManualTime();

} // namespace

int
main(int argc, char **argv)
{
	if (!init_interleaved(&argc, argv, 9)) {
		return 1;
	}
	g_fifo = tmp_path("fifo");
	RatioReporter reporter;
	benchmark::RunSpecifiedBenchmarks(&reporter);
	unlink(g_fifo.c_str());
	double intake_t, bare_t, ratio;
	size_t reps;
	if (reporter.median_time("BM_Intake", &intake_t) && reporter.median_time("BM_BareReader", &bare_t) &&
			reporter.median_ratio("BM_BareReader", "BM_Intake", &ratio, &reps)) {
		// Times are per flood of kMessages, in milliseconds.
		printf("intake: %.0f msgs/s, bare reader (one read per message, one pwrite per %d records): %.0f msgs/s, "
		       "ratio %.3f (median of %zu interleaved repetitions; goal %.1f), dropped %lu\n",
				(double)kMessages * 1000.0 / intake_t, kBatch, (double)kMessages * 1000.0 / bare_t, ratio, reps,
				kGoal, (unsigned long)g_dropped);
	}
	benchmark::Shutdown();
	return 0;
}
