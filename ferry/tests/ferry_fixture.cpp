// Shared helpers of the shipper's tests (see ferry_fixture.h).
#include "ferry_fixture.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "../src/ferry_clusters.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/fault.h"
#include "tamberlin/ferry_shared.h"
#include "tamberlin/rbuffer.h"
#include "testkit/wait.h"

std::string
ferry_test_path(const char *tag)
{
	static std::atomic<int> seq{0};
	const char *dir = getenv("FERRY_TEST_TMP");
	std::string base = dir && *dir ? dir : "/tmp";
	return base + "/ferry_" + tag + "_" + std::to_string(getpid()) + "_" + std::to_string(seq++);
}

std::string
ferry_test_write_file(const char *tag, const std::string &text)
{
	std::string path = ferry_test_path(tag);
	FILE *f = fopen(path.c_str(), "w");
	if (f) {
		fwrite(text.data(), 1, text.size(), f);
		fclose(f);
	}
	return path;
}

std::string
ferry_test_read_file(const std::string &path)
{
	std::ifstream in(path);
	std::stringstream ss;
	ss << in.rdbuf();
	return ss.str();
}

int
ferry_test_count_of(const std::string &text, const std::string &needle)
{
	int n = 0;
	for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
		n++;
	}
	return n;
}

const std::string &
ferry_test_log_once(const char *tag, const char *level)
{
	static const std::string path = [&] {
		std::string p = ferry_test_path(tag);
		ox_fault_sink *sink = ox_fault_sink_hold(p.c_str());
		if (!sink || ox_fault_sink_activate_all_held() != 0 || ox_fault_sink_addcontext(sink, "relay", level) != 0) {
			return std::string();
		}
		return p;
	}();
	return path;
}

void
ferry_test_reset_config(void)
{
	ferry_config_release(&g_xcfg);
}

std::string
ferry_test_regex_escape(const std::string &text)
{
	std::string out;
	for (char ch : text) {
		if (std::string("\\^$.|?*+()[]{}").find(ch) != std::string::npos) {
			out += '\\';
		}
		out += ch;
	}
	return out;
}

struct ox_rbuffer *
ferry_test_open_dlog(const char *tag, int64_t size, bool overwrite)
{
	return ferry_test_open_dlog_at(ferry_test_path(tag), size, overwrite);
}

struct ox_rbuffer *
ferry_test_open_dlog_at(const std::string &path, int64_t size, bool overwrite)
{
	ox_rbuffer_config cfg = {};
	cfg.fname[0] = path.c_str();
	cfg.fsize[0] = size;
	cfg.nfiles = 1;
	cfg.rec_size = FERRY_MSG_ONDISK_SIZE;
	cfg.batch_size = 100;
	cfg.overwrite = overwrite;
	cfg.persist = true;
	cfg.trace = false;
	return ox_rbuffer_init(&cfg);
}

ferry_msg_ondisk
ferry_test_digestinfo(int32_t nsid, const uint8_t digest[20], uint32_t generation, uint64_t time, ox_node master,
		uint32_t delete_flag)
{
	ferry_msg_ondisk o;
	memset(&o, 0, sizeof(o));
	o.xm_type = FERRY_MSG_TYPE_DIGESTINFO;
	o.diginfo.ns_id = nsid;
	o.diginfo.generation = generation;
	o.diginfo.digesttime = time;
	o.diginfo.masternode = master;
	o.diginfo.delete_flag = delete_flag;
	memcpy(o.diginfo.digest, digest, sizeof(o.diginfo.digest));
	return o;
}

bool
ferry_test_write_dlog(struct ox_rbuffer *rb, const ferry_msg_ondisk *recs, size_t n)
{
	for (size_t i = 0; i < n; i += 100) {
		int k = (int)std::min<size_t>(100, n - i);
		if (ox_rbuffer_write(rb, (const char *)&recs[i], k) != k) {
			return false;
		}
	}
	return ox_rbuffer_fflush(rb);
}

int
ferry_test_read_dlog(struct ox_rbuffer *rb, char *buf, int n)
{
	int got = 0;
	ferry_test_wait_until([&] {
		int r = ox_rbuffer_read(rb, nullptr, buf + (size_t)got * FERRY_MSG_ONDISK_SIZE, n - got);
		got += r > 0 ? r : 0;
		return got >= n;
	}, 10000);
	return got;
}

bool
ferry_test_wait_until(const std::function<bool()> &cond, int limit_ms)
{
	return testkit_wait_until(cond, limit_ms);
}

bool
ferry_test_wait_counter(const uint64_t *counter, uint64_t value, int limit_ms)
{
	return ferry_test_wait_until([&] { return ox_atomic64_get(counter) >= value; }, limit_ms);
}

void
ferry_test_reset_intake(struct counters_s *c)
{
	ferry_test_reset_config();
	memset(c, 0, sizeof(*c));
	g_ferry_cntr = c;
	// Failed-node reports start threads that wait for the clusters; the
	// intake tests have none to wait for.
	g_clusters_created.store(true);
	if (!g_dlog_q) {
		g_dlog_q = ox_queue_create(sizeof(ferry_msg), true);
	}
	ox_queue_delete_all(g_dlog_q);
}

void
ferry_test_local_addr(int port)
{
	if (g_sockaddr_in_v) {
		ox_vector_destroy(g_sockaddr_in_v);
	}
	g_sockaddr_in_v = ox_vector_create(sizeof(struct sockaddr_in), 5, 0);
	struct sockaddr_in sa = {};
	sa.sin_family = AF_INET;
	sa.sin_port = htons((uint16_t)port);
	sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	ox_vector_append(g_sockaddr_in_v, &sa);
}

bool
ferry_test_wait_single_thread(int limit_ms)
{
	return ferry_test_wait_until([] {
		FILE *f = fopen("/proc/self/status", "r");
		int threads = 0;
		char line[256];
		while (f && fgets(line, sizeof(line), f)) {
			if (sscanf(line, "Threads: %d", &threads) == 1) {
				break;
			}
		}
		if (f) {
			fclose(f);
		}
		return threads == 1;
	}, limit_ms);
}
