// The `ferry` binary from its command line: the usage text, "Invalid option",
// the exit statuses, --err, the start modes (seen in the log line they give,
// and in the records they leave to ship from a prepared digest log), a
// disabled shipper, a second shipper on a locked digest log, the pid file
// (and a link planted at its name), configuration errors. Each case runs the
// real binary with its output captured; the cases that start up against the
// stand-in local server are killed once the log line they wait for appears.
// One full start against a stand-in local cluster and a stand-in datacenter
// runs until the housekeeper reports last-ship times.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ferry_fixture.h"
#include "tamberlin/ferry_shared.h"
#include "tamberlin/rbuffer.h"
#include "testkit/fake_cluster.h"
#include "testkit/fake_local_server.h"

namespace {

const char *kUsage =
	"Usage: relay --resume|--noresume [--config-file <filepath>] [--err <errlog>]\n"
	"\n\t--resume\n\t\t Resume log record shipping\n"
	"\t--noresume\n\t\t Do not resume log record shipping\n"
	"\t--nofailover\n\t\t Resume but do not do failover of nodes\n"
	"\t--config-file\n\t\t relay config file path\n"
	"\t--err \n\t\trelay client error log \n"
	"\n--resume or --noresume or --nofailover needs to be passed\n";

const int kDeadlineMs = 60000;
const char *kRelayErr = "/tmp/relay.err";

bool
exists(const std::string &path)
{
	struct stat st;
	return lstat(path.c_str(), &st) == 0;
}

// One run of a program: its pid, and where its output goes.
struct Proc {
	pid_t pid = -1;
	std::string out, err;
};

Proc
spawn(const std::string &prog, const std::vector<std::string> &args)
{
	Proc p;
	p.out = ferry_test_path("stdout");
	p.err = ferry_test_path("stderr");
	std::vector<std::string> all = {prog};
	all.insert(all.end(), args.begin(), args.end());
	std::vector<char *> argv;
	for (auto &a : all) {
		argv.push_back(a.data());
	}
	argv.push_back(nullptr);
	p.pid = fork();
	if (p.pid == 0) {
		int o = open(p.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
		int e = open(p.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
		if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) {
			_exit(120);
		}
		// The abort of a failed check must not leave a core behind.
		struct rlimit rl = {0, 0};
		setrlimit(RLIMIT_CORE, &rl);
		execv(prog.c_str(), argv.data());
		_exit(121);
	}
	return p;
}

// The exit status, or minus the signal that ended it; 999 past the deadline
// (the process is killed then).
int
wait_end(Proc &p, int limit_ms = kDeadlineMs)
{
	int status = 0;
	bool ended = ferry_test_wait_until([&] { return waitpid(p.pid, &status, WNOHANG) == p.pid; }, limit_ms);
	if (!ended) {
		kill(p.pid, SIGKILL);
		waitpid(p.pid, &status, 0);
	}
	p.pid = -1;
	if (!ended) {
		return 999;
	}
	return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

void
kill_proc(Proc &p)
{
	if (p.pid > 0) {
		kill(p.pid, SIGKILL);
		int status;
		waitpid(p.pid, &status, 0);
		p.pid = -1;
	}
}

// Waits until the file holds text, or the process ended, or the deadline.
bool
wait_for_text(const std::string &path, const std::string &text, const Proc &p, int limit_ms = kDeadlineMs)
{
	auto has = [&] { return ferry_test_read_file(path).find(text) != std::string::npos; };
	auto gone = [&] {
		siginfo_t si = {};
		return waitid(P_PID, (id_t)p.pid, &si, WEXITED | WNOHANG | WNOWAIT) == 0 && si.si_pid == p.pid;
	};
	ferry_test_wait_until([&] { return has() || gone(); }, limit_ms);
	return has();
}

// The files of one shipper's start: configuration, digest log, log, pid
// file, all unique to the case (the pipe is the stand-in's).
struct ShipperFiles {
	std::string cfg, dlog, log, pid;
	std::vector<std::string> extra; // other files the case made
	~ShipperFiles()
	{
		for (const std::string &f : {cfg, dlog, log, pid}) {
			if (!f.empty()) {
				unlink(f.c_str());
			}
		}
		for (auto &f : extra) {
			unlink(f.c_str());
		}
	}
};

struct ConfOpts {
	bool enabled = true;
	bool pidfile = false;
	std::string relay_extra;
	std::string service_extra;
	int local_port = 3000;
	int dc_port = 3010;
	std::string pipe; // the stand-in's
};

void
write_config(ShipperFiles &s, const ConfOpts &o)
{
	s.cfg = ferry_test_path("cfg");
	s.dlog = ferry_test_path("dlog");
	s.log = ferry_test_path("log");
	if (o.pidfile) {
		s.pid = ferry_test_path("pid");
	}
	std::ostringstream c;
	c << "service {\n    proto-fd-max 15000\n" << o.service_extra << "}\n"
	  << "namespace test {\n    enable-relay true\n    relay-remote-datacenter DC1\n}\n"
	  << "relay {\n"
	  << "    enable-relay " << (o.enabled ? "true" : "false") << "\n"
	  << "    namedpipe-path " << o.pipe << "\n"
	  << "    digestlog-path " << s.dlog << " 1M\n"
	  << "    errorlog-path " << s.log << "\n"
	  << "    local-node-port " << o.local_port << "\n"
	  << "    info-port 3004\n";
	if (o.pidfile) {
		c << "    relay-pidfile " << s.pid << "\n";
	}
	c << o.relay_extra << "    datacenter DC1 {\n        dc-node-address-port 127.0.0.1 " << o.dc_port
	  << "\n    }\n}\n";
	std::ofstream(s.cfg) << c.str();
}

// A digest log with `written` records of which the main reader has read
// `read`, closed (and so persisted) as a shipper that ended would leave it.
void
prepare_dlog(const std::string &path, int written, int read)
{
	ox_rbuffer *rb = ferry_test_open_dlog_at(path, 1 << 20, false);
	ASSERT_NE(rb, nullptr);
	std::vector<ferry_msg_ondisk> recs((size_t)written);
	for (int i = 0; i < written; i++) {
		memset(&recs[(size_t)i], 0, sizeof(ferry_msg_ondisk));
		recs[(size_t)i].xm_type = FERRY_MSG_TYPE_DIGESTINFO;
		recs[(size_t)i].diginfo.ns_id = 1;
		recs[(size_t)i].diginfo.digesttime = 1000 + (uint64_t)i;
	}
	ASSERT_EQ(ox_rbuffer_write(rb, (const char *)recs.data(), written), written);
	ASSERT_TRUE(ox_rbuffer_fflush(rb));
	if (read > 0) {
		std::vector<ferry_msg_ondisk> got((size_t)read);
		ASSERT_EQ(ferry_test_read_dlog(rb, (char *)got.data(), read), read);
	}
	ox_rbuffer_close(rb);
}

enum Prep { NONE, LOCK_DLOG, PIDFILE, PIDLINK, DLOG, DLOG_DIR };

struct Case {
	const char *name;
	std::vector<std::string> args; // "@CFG@" is the configuration's path, "@ERR@" a fresh file
	bool config;                   // write a configuration
	ConfOpts conf;
	Prep prep;
	const char *wait_log; // the run is killed once the log holds this (nullptr: runs to its end)
	int status;           // exit status, or minus the ending signal (runs to its end only)
	const char *out;      // the whole standard output, or nullptr
	const char *err_has;  // text on standard error; "" for none at all; nullptr: any
	const char *log_has;  // text in the log, or nullptr
	int dlog_written = 0, dlog_read = 0;
};

class Cmdline : public ::testing::Test {
protected:
	void SetUp() override
	{
		relay_err_existed = exists(kRelayErr);
		pipe_path = ferry_test_path("fls_pipe");
		fls = fls_start(pipe_path.c_str(), 0);
		ASSERT_NE(fls, nullptr);
	}
	void TearDown() override
	{
		if (fls) {
			fls_stop(fls);
		}
		unlink(pipe_path.c_str());
		if (!relay_err_existed) {
			unlink(kRelayErr);
		}
	}
	bool relay_err_existed = false;
	std::string pipe_path;
	fake_local_server *fls = nullptr;
};

TEST_F(Cmdline, Table)
{
	ConfOpts plain;
	ConfOpts disabled;
	disabled.enabled = false;
	ConfOpts badkey;
	badkey.relay_extra = "    bogus-key 1\n";
	ConfOpts badcheck;
	badcheck.relay_extra = "    relay-read-threads 0\n";
	ConfOpts pid;
	pid.pidfile = true;
	// The reader goes back by its batch plus the writes in flight: 300 + 200.
	ConfOpts small;
	small.relay_extra = "    relay-read-batch-size 300\n    relay-max-recs-inflight 200\n";

	const Case cases[] = {
		{"no option", {}, false, plain, NONE, nullptr, 255, kUsage, "", nullptr},
		{"a configuration but no mode: the file is not read", {"--config-file", "/nonexistent/ferry.conf"}, false,
			plain, NONE, nullptr, 255, kUsage, "", nullptr},
		{"unknown option", {"--bogus", "--resume"}, false, plain, NONE, nullptr, 255,
			nullptr, "unrecognized option '--bogus'", nullptr},
		{"missing option argument", {"--resume", "--config-file"}, false, plain, NONE, nullptr, 255, nullptr,
			"requires an argument", nullptr},
		{"--err in a missing directory", {"--err", "/nonexistent/dir/err.log", "--resume"}, false, plain, NONE,
			nullptr, 255, "", "", nullptr},
		{"disabled shipper", {"--resume", "--config-file", "@CFG@"}, true, disabled, NONE, nullptr, 0, "",
			"FERRY is not enabled\n", "FERRY is not enabled"},
		{"--err takes standard error", {"--err", "@ERR@", "--noresume", "--config-file", "@CFG@"}, true, disabled,
			NONE, nullptr, 0, "", "", "FERRY is not enabled"},
		{"configuration error", {"--resume", "--config-file", "@CFG@"}, true, badkey, NONE, nullptr, -SIGINT, "",
			"unknown config parameter name 'bogus-key'", nullptr},
		{"failed check", {"--resume", "--config-file", "@CFG@"}, true, badcheck, NONE, nullptr, -SIGABRT, "",
			nullptr, "Invalid Batch Thread Count 0. It should be >=1 and <=64... Aborting"},
		{"second shipper on a locked digest log", {"--resume", "--config-file", "@CFG@"}, true, plain, LOCK_DLOG,
			nullptr, 0, "", "", "Error while taking dlogfile lock..."},
		// One that cannot open its digest log has failed, and says why.
		{"a digest log that cannot be opened", {"--resume", "--config-file", "@CFG@"}, true, plain, DLOG_DIR,
			nullptr, 1, "", ": Is a directory ...\n", "error while opening dlogfile "},
		{"pid file at a planted link", {"--resume", "--config-file", "@CFG@"}, true, pid, PIDLINK, nullptr,
			-SIGINT, "", nullptr, ": Too many levels of symbolic links"},
		{"pid file written", {"--resume", "--config-file", "@CFG@"}, true, pid, PIDFILE,
			"dlogfile lock aquired successfully ...", 0, "", nullptr, nullptr},
		{"--resume then --noresume", {"--resume", "--noresume", "--config-file", "@CFG@"}, true, plain, NONE,
			"Starting FERRY with no resume...", 0, "", nullptr, nullptr},
		{"--nofailover then --resume", {"--nofailover", "--resume", "--config-file", "@CFG@"}, true, plain, NONE,
			"Starting FERRY with nofailover ... to ship 0 outstanding log records ...", 0, "", nullptr, nullptr},
		{"--resume ships everything kept", {"--resume", "--config-file", "@CFG@"}, true, plain, DLOG,
			"Starting FERRY with resume ... to ship 250 outstanding log records ...", 0, "", nullptr, nullptr, 250,
			0},
		// 2500 of 3000 read: back by 500 to 2000, whose segment starts there.
		{"--nofailover ships the batch and the writes in flight again", {"--nofailover", "--config-file", "@CFG@"},
			true, small, DLOG, "Starting FERRY with nofailover ... to ship 1000 outstanding log records ...", 0, "",
			nullptr, nullptr, 3000, 2500},
		// Fewer records kept before the reader than it must go back: all of them.
		{"--nofailover goes back to the first kept record", {"--nofailover", "--config-file", "@CFG@"}, true,
			plain, DLOG, "Starting FERRY with nofailover ... to ship 600 outstanding log records ...", 0, "",
			nullptr, nullptr, 600, 300},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.name);
		ShipperFiles s;
		ConfOpts o = c.conf;
		o.local_port = fls_port(fls);
		o.pipe = pipe_path;
		if (c.config) {
			write_config(s, o);
		}
		std::string errfile = ferry_test_path("errfile");
		s.extra.push_back(errfile);
		std::vector<std::string> args;
		for (const std::string &a : c.args) {
			args.push_back(a == "@CFG@" ? s.cfg : a == "@ERR@" ? errfile : a);
		}
		int lockfd = -1;
		std::string link_target;
		if (c.prep == LOCK_DLOG) {
			lockfd = open(s.dlog.c_str(), O_RDWR | O_CREAT, 0600);
			ASSERT_GE(lockfd, 0);
			ASSERT_EQ(flock(lockfd, LOCK_EX | LOCK_NB), 0);
		} else if (c.prep == PIDLINK) {
			link_target = ferry_test_path("pid_target");
			s.extra.push_back(link_target);
			std::ofstream(link_target) << "keep";
			ASSERT_EQ(symlink(link_target.c_str(), s.pid.c_str()), 0);
		} else if (c.prep == DLOG) {
			prepare_dlog(s.dlog, c.dlog_written, c.dlog_read);
		} else if (c.prep == DLOG_DIR) {
			ASSERT_EQ(mkdir(s.dlog.c_str(), 0700), 0);
		}

		Proc p = spawn(FERRY_BINARY, args);
		ASSERT_GT(p.pid, 0);
		s.extra.push_back(p.out);
		s.extra.push_back(p.err);
		if (c.wait_log) {
			bool seen = wait_for_text(s.log, c.wait_log, p);
			pid_t pid = p.pid;
			if (c.prep == PIDFILE && seen) {
				EXPECT_EQ(ferry_test_read_file(s.pid), std::to_string(pid) + "\n");
				struct stat st;
				ASSERT_EQ(lstat(s.pid.c_str(), &st), 0);
				EXPECT_TRUE(S_ISREG(st.st_mode));
				EXPECT_EQ(st.st_mode & 07777, 0644u);
			}
			kill_proc(p);
			EXPECT_TRUE(seen) << "log:\n" << ferry_test_read_file(s.log) << "stderr:\n" << ferry_test_read_file(p.err);
		} else {
			EXPECT_EQ(wait_end(p), c.status) << "stderr:\n" << ferry_test_read_file(p.err);
		}
		if (lockfd >= 0) {
			close(lockfd);
		}
		if (c.prep == DLOG_DIR) {
			EXPECT_EQ(rmdir(s.dlog.c_str()), 0);
		}
		std::string out = ferry_test_read_file(p.out), err = ferry_test_read_file(p.err);
		if (c.out && !c.wait_log) {
			EXPECT_EQ(out, c.out);
		}
		if (c.name == std::string("unknown option") || c.name == std::string("missing option argument")) {
			EXPECT_EQ(out, std::string("Invalid option\n") + kUsage);
		}
		if (c.err_has) {
			if (*c.err_has == '\0') {
				EXPECT_EQ(err, "");
			} else {
				EXPECT_NE(err.find(c.err_has), std::string::npos) << err;
			}
		}
		std::string log = c.config ? ferry_test_read_file(s.log) : "";
		if (c.log_has) {
			EXPECT_NE(log.find(c.log_has), std::string::npos) << log;
		}
		if (c.prep == LOCK_DLOG) {
			EXPECT_NE(log.find("Error while taking dlogfile lock..."), std::string::npos) << log;
			EXPECT_EQ(log.find("dlogfile lock aquired"), std::string::npos);
		}
		if (c.prep == PIDLINK) {
			EXPECT_NE(log.find("failed to open pid file " + s.pid), std::string::npos) << log;
			EXPECT_EQ(ferry_test_read_file(link_target), "keep");
		}
		if (args.size() > 1 && args[0] == "--err" && args[1] == errfile) {
			EXPECT_EQ(ferry_test_read_file(errfile), "FERRY is not enabled\n");
		}
		// The copy of the configuration reaches the log before the checks.
		if (c.prep == NONE && c.config && c.conf.enabled == false) {
			EXPECT_NE(log.find("enable-relay"), std::string::npos);
		}
	}
}

// The standard error of a bad command line goes to a fixed name in /tmp;
// a link planted there is refused, and the run ends before it says more.
TEST_F(Cmdline, RelayErrLinkIsRefused)
{
	if (relay_err_existed) {
		GTEST_SKIP() << kRelayErr << " exists already";
	}
	std::string target = ferry_test_path("relay_err_target");
	std::ofstream(target) << "keep";
	ASSERT_EQ(symlink(target.c_str(), kRelayErr), 0);
	Proc p = spawn(FERRY_BINARY, std::vector<std::string>{"--bogus"});
	int status = wait_end(p);
	std::string out = ferry_test_read_file(p.out);
	unlink(kRelayErr);
	EXPECT_EQ(status, 255);
	EXPECT_EQ(out, "");
	EXPECT_EQ(ferry_test_read_file(target), "keep");
	unlink(target.c_str());
	unlink(p.out.c_str());
	unlink(p.err.c_str());
}

// A stand-in local server that is also a one-node local cluster owning every
// partition of "test".
void
make_local_cluster(fake_local_server *fls)
{
	fake_cluster_cfg cc;
	cc.n_nodes = 1;
	fake_cluster *model = fake_cluster_create(cc);
	ASSERT_NE(model, nullptr);
	fake_node *n = fls_node(fls);
	fake_node_set_info(n, "node", "BB9000000000001");
	fake_node_set_info(n, "partitions", std::to_string(cc.n_partitions));
	fake_node_set_info(n, "partition-generation", "1");
	fake_node_set_info(n, "services", "");
	fake_node_set_info(n, "replicas-master", fake_cluster_replicas(model, 0, true));
	fake_node_set_info(n, "replicas-prole", fake_cluster_replicas(model, 0, false));
	fake_cluster_destroy(model);
}

// A service group without a user: the process runs in that group (and no
// other), its user still root.
TEST_F(Cmdline, AGroupWithoutAUserIsApplied)
{
	if (geteuid() != 0) {
		GTEST_SKIP() << "needs root to change groups";
	}
	struct group *gr = getgrnam("daemon");
	ASSERT_NE(gr, nullptr);
	const std::string gid = std::to_string(gr->gr_gid);
	ShipperFiles s;
	ConfOpts o;
	o.local_port = fls_port(fls);
	o.pipe = pipe_path;
	o.service_extra = "    group daemon\n";
	write_config(s, o);
	Proc p = spawn(FERRY_BINARY, std::vector<std::string>{"--noresume", "--config-file", s.cfg});
	s.extra.push_back(p.out);
	s.extra.push_back(p.err);
	bool seen = wait_for_text(s.log, "dlogfile lock aquired successfully ...", p);
	std::string status = ferry_test_read_file("/proc/" + std::to_string(p.pid) + "/status");
	kill_proc(p);
	ASSERT_TRUE(seen) << ferry_test_read_file(p.err);
	EXPECT_NE(status.find("\nUid:\t0\t0\t0\t0\n"), std::string::npos) << status;
	EXPECT_NE(status.find("\nGid:\t" + gid + "\t" + gid + "\t" + gid + "\t" + gid + "\n"), std::string::npos)
			<< status;
	size_t groups = status.find("\nGroups:");
	ASSERT_NE(groups, std::string::npos) << status;
	std::string line = status.substr(groups + 8, status.find('\n', groups + 1) - groups - 8);
	EXPECT_EQ(line.find_first_of("0123456789"), std::string::npos) << "supplementary groups: " << line;
	EXPECT_EQ(ferry_test_read_file(p.err), "privsep to 0 " + gid);
}

// Every step of start-up, up to the housekeeper's first last-ship report;
// the pipe's namespace list reaches the digest-log side on the way.
TEST_F(Cmdline, FullStartReachesTheHousekeeper)
{
	make_local_cluster(fls);
	fake_cluster_cfg rc;
	rc.n_nodes = 2;
	fake_cluster *remote = fake_cluster_create(rc);
	ASSERT_NE(remote, nullptr);
	ShipperFiles s;
	ConfOpts o;
	o.local_port = fls_port(fls);
	o.dc_port = fake_cluster_port(remote, 0);
	o.pipe = pipe_path;
	write_config(s, o);
	ferry_msg m;
	fls_make_ns(&m, 1, "test");
	fls_pipe_msg(fls, &m);
	fls_make_ns(&m, -1, "");
	fls_pipe_msg(fls, &m);

	Proc p = spawn(FERRY_BINARY, std::vector<std::string>{"--noresume", "--config-file", s.cfg});
	s.extra.push_back(p.out);
	s.extra.push_back(p.err);
	bool reported = ferry_test_wait_until([&] {
		uint64_t values[DC_MAX_NUM];
		uint64_t when;
		return fls_lastship_reports(fls, values, &when) > 0;
	}, kDeadlineMs);
	std::string log = ferry_test_read_file(s.log);
	kill_proc(p);
	fake_cluster_destroy(remote);
	EXPECT_TRUE(reported) << log;
	// The steps in their order, as the log shows them.
	const char *steps[] = {
		"dlogfile lock aquired successfully ...",
		"Starting FERRY with no resume...",
		"FERRY compression threshold set to",
		"Added host 127.0.0.1:" ,
		"to the cluster DC1",
	};
	size_t at = 0;
	for (const char *step : steps) {
		size_t found = log.find(step, at);
		EXPECT_NE(found, std::string::npos) << step << "\n" << log;
		if (found != std::string::npos) {
			at = found;
		}
	}
	EXPECT_EQ(ferry_test_read_file(p.err).find("CRITICAL"), std::string::npos);
}

} // namespace
