// The daemon end to end: the real `ferry` binary against the stand-in local
// server (the named pipe, the info requests and the one-node local cluster)
// and stand-in datacenters in the test's process. Each test waits for what
// the remotes recorded (writes, deletes, stored records) with a deadline.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ferry_fixture.h"
#include "tamberlin/ferry_shared.h"
#include "tamberlin/ox_clock.h"
#include "tamberlin/rbuffer.h"
#include "testkit/fake_cluster.h"
#include "testkit/fake_local_server.h"

namespace road_e2e {

constexpr int kDeadlineMs = 60000;
constexpr uint32_t kEpoch2010 = 1262304000u;
const int64_t kDlogSize = 8 << 20;

inline uint32_t now_2010(void)
{
	return (uint32_t)(time(nullptr) - kEpoch2010);
}

inline int free_port(void)
{
	int fd = socket(AF_INET, SOCK_STREAM, 0);
	sockaddr_in a = {};
	a.sin_family = AF_INET;
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	bind(fd, (sockaddr *)&a, sizeof(a));
	socklen_t len = sizeof(a);
	getsockname(fd, (sockaddr *)&a, &len);
	close(fd);
	return ntohs(a.sin_port);
}

// The fields of a database write or delete that the tests look at, read
// from the bytes the remote received.
struct wire_write {
	bool ok = false;
	uint8_t info2 = 0;
	uint32_t generation = 0;
	uint32_t ttl = 0;
	std::string digest;
	std::string set;
};

inline uint32_t be32(const std::string &s, size_t at)
{
	return ((uint32_t)(uint8_t)s[at] << 24) | ((uint32_t)(uint8_t)s[at + 1] << 16) |
			((uint32_t)(uint8_t)s[at + 2] << 8) | (uint32_t)(uint8_t)s[at + 3];
}

inline wire_write parse_write(const std::string &whole)
{
	wire_write w;
	// The recorded message begins with its 8-byte protocol header.
	if (whole.size() < 8 + 22) {
		return w;
	}
	std::string m = whole.substr(8);
	w.info2 = (uint8_t)m[2];
	w.generation = be32(m, 6);
	w.ttl = be32(m, 10);
	size_t nf = ((size_t)(uint8_t)m[18] << 8) | (uint8_t)m[19];
	size_t at = 22;
	for (size_t i = 0; i < nf; i++) {
		if (at + 5 > m.size()) {
			return w;
		}
		uint32_t sz = be32(m, at);
		if (sz < 1 || at + 4 + sz > m.size()) {
			return w;
		}
		uint8_t type = (uint8_t)m[at + 4];
		std::string data = m.substr(at + 5, sz - 1);
		if (type == 4) {
			w.digest = data;
		} else if (type == 1) {
			w.set = data;
		}
		at += 4 + sz;
	}
	w.ok = w.digest.size() == 20;
	return w;
}

inline std::string digest_of(uint64_t seq)
{
	uint8_t d[20];
	fls_digest_of(seq, d);
	return std::string((const char *)d, 20);
}

// One stand-in datacenter: a one-node cluster that records every request.
struct remote {
	std::string name;
	fake_cluster *fc = nullptr;
	fake_node *node() { return fake_cluster_node(fc, 0); }
	size_t writes() { return fake_node_write_count(node()); }
	size_t deletes() { return fake_node_delete_count(node()); }
	// Every write and delete received, by digest, in arrival order.
	std::map<std::string, std::vector<wire_write>> received(fake_req_kind kind, size_t from = 0)
	{
		std::map<std::string, std::vector<wire_write>> out;
		size_t n = fake_node_request_count(node());
		for (size_t i = from; i < n; i++) {
			fake_request r;
			if (fake_node_request(node(), i, &r) && r.kind == kind) {
				wire_write w = parse_write(r.message);
				if (w.ok) {
					out[w.digest].push_back(w);
				}
			}
		}
		return out;
	}
	bool has(const char *ns, uint64_t seq, fake_record *rec = nullptr)
	{
		fake_record tmp;
		uint8_t d[20];
		fls_digest_of(seq, d);
		return fake_node_get_record(node(), ns, d, rec ? rec : &tmp);
	}
	// True when every record first .. first + count - 1 came in a request of
	// this kind recorded at index `from` or later. A stand-in stores a record
	// before it records the request, so tests wait for the request.
	bool got_all(fake_req_kind kind, uint64_t first, uint64_t count, size_t from = 0)
	{
		auto got = received(kind, from);
		for (uint64_t seq = first; seq < first + count; seq++) {
			if (!got.count(digest_of(seq))) {
				return false;
			}
		}
		return true;
	}
	bool written_since(size_t from, uint64_t first, uint64_t count)
	{
		return got_all(FAKE_REQ_WRITE, first, count, from);
	}
	bool written(uint64_t seq) { return got_all(FAKE_REQ_WRITE, seq, 1); }
};

// A digest-log record as the pipe reader would have stored it.
struct logged {
	int32_t nsid;
	uint64_t seq;
	uint32_t generation;
	ox_node master = 0;
	uint32_t delete_flag = 0;
	uint64_t time_ms = 0; // 0: a second before now
};

class RoadE2E : public ::testing::Test {
protected:
	std::string dir, pipe, dlog, errlog, conf;
	fake_local_server *fls = nullptr;
	std::vector<remote> dcs;
	pid_t pid = -1;
	std::vector<std::string> local_ns = {"test", "capped", "nodc"};
	std::vector<ox_node> boot_nodes = {0xB0};

	void SetUp() override
	{
		dir = ferry_test_path("road");
		ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
		pipe = dir + "/digest.pipe";
		dlog = dir + "/digest.log";
		errlog = dir + "/ferry.log";
		conf = dir + "/ferry.conf";
	}

	void TearDown() override
	{
		stop_daemon(SIGKILL);
		if (fls) {
			fls_stop(fls);
		}
		for (remote &r : dcs) {
			fake_cluster_destroy(r.fc);
		}
		if (HasFailure()) {
			fprintf(stderr, "---- daemon log ----\n%s---- daemon stderr ----\n%s---- end ----\n",
					ferry_test_read_file(errlog).c_str(), ferry_test_read_file(dir + "/ferry.err").c_str());
		}
		for (const std::string &f : {pipe, dlog, errlog, conf, dir + "/ferry.err"}) {
			unlink(f.c_str());
		}
		rmdir(dir.c_str());
	}

	void start_world(int n_dcs)
	{
		fls = fls_start(pipe.c_str(), 0);
		ASSERT_NE(fls, nullptr);
		fls_set_namespaces(fls, local_ns);
		for (int i = 0; i < n_dcs; i++) {
			fake_cluster_cfg cfg;
			cfg.n_nodes = 1;
			cfg.namespaces = {"test", "capped", "nodc"};
			remote r;
			r.name = "DC" + std::to_string(i + 1);
			r.fc = fake_cluster_create(cfg);
			ASSERT_NE(r.fc, nullptr);
			dcs.push_back(r);
		}
	}

	// A new daemon finds the pipe closed and is sent the lists again.
	void restart_pipe()
	{
		fls_pipe_close(fls);
		script_lists();
	}

	// The namespace and boot-node lists the local server sends first.
	void script_lists()
	{
		ferry_msg m;
		for (size_t i = 0; i < local_ns.size(); i++) {
			fls_make_ns(&m, (int32_t)i + 1, local_ns[i].c_str());
			fls_pipe_msg(fls, &m);
		}
		fls_make_ns(&m, -1, nullptr);
		fls_pipe_msg(fls, &m);
		for (ox_node n : boot_nodes) {
			fls_make_boot(&m, n);
			fls_pipe_msg(fls, &m);
		}
		fls_make_boot(&m, 0);
		fls_pipe_msg(fls, &m);
	}

	void write_conf(const std::string &relay_extra = "")
	{
		std::string dcs_text, ns_dcs;
		for (remote &r : dcs) {
			ns_dcs += "    relay-remote-datacenter " + r.name + "\n";
			dcs_text += "    datacenter " + r.name + " {\n        dc-node-address-port 127.0.0.1 " +
					std::to_string(fake_cluster_port(r.fc, 0)) + "\n    }\n";
		}
		std::string text = "service {\n}\n"
				   "namespace test {\n    enable-relay true\n" + ns_dcs + "}\n"
				   "namespace capped {\n    enable-relay true\n    max-ttl 100\n" + ns_dcs + "}\n"
				   "namespace nodc {\n    enable-relay false\n}\n"
				   "relay {\n    enable-relay true\n"
				   "    namedpipe-path " + pipe + "\n"
				   "    digestlog-path " + dlog + " 8M\n"
				   "    errorlog-path " + errlog + "\n"
				   "    local-node-port " + std::to_string(fls_port(fls)) + "\n"
				   "    info-port " + std::to_string(free_port()) + "\n" +
				   relay_extra + dcs_text + "}\n";
		std::ofstream(conf) << text;
	}

	// The real binary; with a divisor, the daemon's start-up with its fixed
	// waits (the remote tend, the 5-minute margin, the 1-second retries)
	// divided by it (ferry_test_daemon).
	void start_daemon(const char *mode, int divisor = 0)
	{
		std::string div = std::to_string(divisor);
		pid = fork();
		ASSERT_GE(pid, 0);
		if (pid == 0) {
			std::string err = dir + "/ferry.err";
			int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
			dup2(fd, 1);
			dup2(fd, 2);
#ifdef FERRY_TEST_DAEMON
			if (divisor > 0) {
				execl(FERRY_TEST_DAEMON, FERRY_TEST_DAEMON, div.c_str(), mode, "--config-file", conf.c_str(),
						(char *)nullptr);
				_exit(127);
			}
#endif
			execl(FERRY_BINARY, FERRY_BINARY, mode, "--config-file", conf.c_str(), (char *)nullptr);
			_exit(127);
		}
	}

	// A world of n_dcs datacenters, records 0 to n - 1 of size bytes stored
	// locally and reported on the pipe, and the daemon started afresh.
	void start_shipping(int n_dcs, uint64_t n, uint32_t size)
	{
		start_world(n_dcs);
		fls_preload(fls, "test", 0, n, size);
		script_lists();
		fls_pipe_feed(fls, 1, 0, n, 0);
		write_conf();
		start_daemon("--noresume");
	}

	// Ends the daemon with sig and reaps it; its exit status or -1.
	int stop_daemon(int sig)
	{
		if (pid <= 0) {
			return -1;
		}
		kill(pid, sig);
		int st = 0;
		waitpid(pid, &st, 0);
		pid = -1;
		return st;
	}

	bool log_has(const std::string &text, int limit_ms = kDeadlineMs)
	{
		return ferry_test_wait_until([&] { return ferry_test_read_file(errlog).find(text) != std::string::npos; }, limit_ms);
	}

	// Writes records into a new digest log as the daemon's writer would,
	// for a daemon that resumes from it.
	void prefill(const std::vector<logged> &recs)
	{
		ox_rbuffer *rb = ferry_test_open_dlog_at(dlog, kDlogSize, true);
		ASSERT_NE(rb, nullptr);
		uint64_t t0 = ox_clock_getabsolute() - 1000;
		std::vector<ferry_msg_ondisk> buf;
		for (size_t i = 0; i < recs.size(); i++) {
			uint8_t digest[20];
			fls_digest_of(recs[i].seq, digest);
			buf.push_back(ferry_test_digestinfo(recs[i].nsid, digest, recs[i].generation,
					recs[i].time_ms ? recs[i].time_ms : t0 + i, recs[i].master, recs[i].delete_flag));
		}
		ASSERT_TRUE(ferry_test_write_dlog(rb, buf.data(), buf.size()));
		ASSERT_EQ(ox_rbuffer_persist(rb), 0);
		ox_rbuffer_close(rb);
	}

	// The digest log's header as last persisted; zeroed when it cannot be
	// read.
	ox_rbuffer_chdr persisted_header()
	{
		ox_rbuffer_chdr h = {};
		int fd = open(dlog.c_str(), O_RDONLY);
		if (fd < 0) {
			return h;
		}
		ssize_t n = pread(fd, &h, sizeof(h), 0);
		close(fd);
		if (n != (ssize_t)sizeof(h)) {
			h = {};
		}
		return h;
	}

	// The main reader's and the writer's positions at the digest log's last
	// persist, in records from the start of the file.
	uint64_t persisted_reader_records()
	{
		ox_rbuffer_chdr h = persisted_header();
		return h.rptr.seg_id * (RBUFFER_SEG_DATASIZE / FERRY_MSG_ONDISK_SIZE) + h.rptr.rec_id;
	}
	uint64_t persisted_writer_records()
	{
		ox_rbuffer_chdr h = persisted_header();
		return h.wptr.seg_id * (RBUFFER_SEG_DATASIZE / FERRY_MSG_ONDISK_SIZE) + h.wptr.rec_id;
	}
};

} // namespace road_e2e
