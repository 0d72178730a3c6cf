// Signals end to end: the daemon (its start-up with the fixed waits divided
// by 10) against the stand-in local server and datacenters, ended or rolled
// by the signals an operator sends. SIGPIPE changes nothing; SIGTERM and
// SIGINT persist the digest log and end with status 255, also with the
// writer stuck (after its 5 seconds, divided) and while start-up still waits
// for the clusters; SIGHUP starts a moved log file afresh and leaves a log on
// standard error alone; a fatal signal aborts after the same work.
#include <dirent.h>
#include <sys/resource.h>

#include "road_e2e_fixture.h"

namespace {

using namespace road_e2e;

constexpr const char *kDivisor = "10";

class SignalsE2E : public RoadE2E {
protected:
	void TearDown() override
	{
		stop_daemon(SIGKILL);
		for (const std::string &f : {errlog + ".1", dir + "/stderr"}) {
			unlink(f.c_str());
		}
		// Nothing dumps core here (see start), but should the machine's
		// settings differ, no core stays behind.
		if (DIR *d = opendir(dir.c_str())) {
			std::vector<std::string> cores;
			while (struct dirent *e = readdir(d)) {
				if (strncmp(e->d_name, "core", 4) == 0) {
					cores.push_back(dir + "/" + e->d_name);
				}
			}
			closedir(d);
			for (const std::string &c : cores) {
				unlink(c.c_str());
			}
		}
		RoadE2E::TearDown();
	}

	// The test daemon in the test's directory, unable to dump core.
	void start(const char *mode = "--noresume")
	{
		pid = fork();
		ASSERT_GE(pid, 0);
		if (pid == 0) {
			std::string err = dir + "/ferry.err";
			int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
			if (fd < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0 || chdir(dir.c_str()) != 0) {
				_exit(126);
			}
			struct rlimit rl = {0, 0};
			setrlimit(RLIMIT_CORE, &rl);
			setenv("FERRY_TEST_NO_CORE", "1", 1);
			execl(FERRY_TEST_DAEMON, FERRY_TEST_DAEMON, kDivisor, mode, "--config-file", conf.c_str(),
					(char *)nullptr);
			_exit(127);
		}
	}

	void signal(int sig)
	{
		ASSERT_GT(pid, 0);
		ASSERT_EQ(kill(pid, sig), 0);
	}

	// The exit status, or minus the signal that ended the daemon; 999 when
	// it was still running at the deadline (it is killed then).
	int wait_end(int limit_ms = kDeadlineMs)
	{
		if (pid <= 0) {
			return 999;
		}
		int st = 0;
		bool ended = ferry_test_wait_until([&] { return waitpid(pid, &st, WNOHANG) == pid; }, limit_ms);
		if (!ended) {
			kill(pid, SIGKILL);
			waitpid(pid, &st, 0);
		}
		pid = -1;
		if (!ended) {
			return 999;
		}
		return WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
	}

	bool alive() { return pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0; }

	void patch_conf(const std::string &from, const std::string &to)
	{
		std::string text = ferry_test_read_file(conf);
		size_t at = text.find(from);
		ASSERT_NE(at, std::string::npos) << from;
		text.replace(at, from.size(), to);
		std::ofstream(conf) << text;
	}

	void expect_in_order(const std::string &log, const std::vector<std::string> &lines)
	{
		size_t at = 0;
		for (const std::string &line : lines) {
			size_t found = log.find(line, at);
			ASSERT_NE(found, std::string::npos) << "\"" << line << "\" after offset " << at;
			at = found + line.size();
		}
	}
};

// SIGPIPE is ignored: intake and shipping go on. Then SIGTERM: the specified
// lines in order, the digest log persisted with every record taken (the
// last segment only partly filled, so only the shutdown's persist has it),
// status 255.
TEST_F(SignalsE2E, SigpipeIsIgnoredSigtermPersistsAndEndsWith255)
{
	const uint64_t kRecords = 250;
	start_world(1);
	remote &dc = dcs[0];
	fls_preload(fls, "test", 0, kRecords, 60);
	script_lists();
	fls_pipe_feed(fls, 1, 0, kRecords, 0);
	write_conf();
	start();
	ASSERT_TRUE(log_has("Starting FERRY with no resume..."));
	signal(SIGPIPE);
	ASSERT_TRUE(ferry_test_wait_until([&] { return dc.got_all(FAKE_REQ_WRITE, 0, kRecords); }));
	EXPECT_TRUE(alive());
	signal(SIGTERM);
	EXPECT_EQ(wait_end(), 255);
	std::string log = ferry_test_read_file(errlog);
	EXPECT_EQ(log.find("Not killing the FERRY"), std::string::npos);
	EXPECT_EQ(ferry_test_count_of(log, "Got Signal"), 1);
	expect_in_order(log, {"Got Signal 'Terminated'. Aborting...",
				     "Digestinfo read from pipe=250, logged to disk=250, unlogged=0",
				     "Flushed all log records to disk", "stacktrace: frame 0: ",
				     "Shutdown of FERRY on users request"});
	EXPECT_EQ(log.find("Digest Log Flush Failed"), std::string::npos);
	EXPECT_EQ(log.find("Waited "), std::string::npos);
	EXPECT_EQ(persisted_writer_records(), kRecords);
}

// SIGTERM with the writer stuck (a full digest log that may not be
// overwritten, with shipping disabled so nothing is read): waiting lines,
// then the line that gives up after 5 seconds; status 255 all the same.
TEST_F(SignalsE2E, SigtermWithTheWriterStuckGivesUp)
{
	start_world(1);
	script_lists();
	fls_pipe_feed(fls, 1, 0, 1000, 0);
	write_conf("    digestlog-overwrite false\n    relay-shipping-enabled false\n");
	patch_conf(dlog + " 8M", dlog + " " + std::to_string(FERRY_MIN_DIGESTLOG_SIZE));
	start();
	ASSERT_TRUE(log_has("Digest Log Write Failed !!! ... Critical error"));
	signal(SIGTERM);
	EXPECT_EQ(wait_end(), 255);
	std::string log = ferry_test_read_file(errlog);
	int waiting = ferry_test_count_of(log, "Waiting to flush the log records to disk. logged to disk=");
	EXPECT_GE(waiting, 1);
	EXPECT_LE(waiting, 6);
	expect_in_order(log, {"Got Signal 'Terminated'. Aborting...", "Waiting to flush the log records to disk.",
				     "Waited 5sec to flush the pending log recrds. Cannot wait anymore. Pending log recs=",
				     "stacktrace: frame 0: ", "Shutdown of FERRY on users request"});
	EXPECT_EQ(log.find("Flushed all log records to disk"), std::string::npos);
}

// SIGTERM while start-up still waits for a datacenter that never answers:
// what the pipe reader took is written and persisted before the end.
TEST_F(SignalsE2E, SigtermWhileStartUpWaitsForTheClustersKeepsWhatWasTaken)
{
	const uint64_t kRecords = 250;
	start_world(1);
	script_lists();
	fls_pipe_feed(fls, 1, 0, kRecords, 0);
	fls_pipe_wait_read(fls);
	write_conf();
	patch_conf("dc-node-address-port 127.0.0.1 " + std::to_string(fake_cluster_port(dcs[0].fc, 0)),
			"dc-node-address-port 127.0.0.1 " + std::to_string(free_port()));
	start();
	ASSERT_TRUE(log_has("Waiting to discover all the nodes in the 'DC1' remote cluster"));
	ASSERT_TRUE(ferry_test_wait_until([&] { return fls_pipe_idle(fls); }));
	signal(SIGTERM);
	EXPECT_EQ(wait_end(), 255);
	std::string log = ferry_test_read_file(errlog);
	expect_in_order(log, {"Got Signal 'Terminated'. Aborting...", "Digestinfo read from pipe=250, logged to disk=",
				     "Flushed all log records to disk", "Shutdown of FERRY on users request"});
	EXPECT_EQ(persisted_writer_records(), kRecords);
}

// SIGHUP after an outside rotation moved the log file: the moved file keeps
// the lines before, a new file with mode 0600 takes the lines after. A log on
// standard error is not rolled: no file is made, and the daemon goes on.
TEST_F(SignalsE2E, SighupStartsAMovedLogFileAfresh)
{
	start_world(1);
	script_lists();
	write_conf();
	start();
	ASSERT_TRUE(log_has("Starting FERRY with no resume..."));
	std::string moved = errlog + ".1";
	ASSERT_EQ(rename(errlog.c_str(), moved.c_str()), 0);
	signal(SIGHUP);
	struct stat st;
	ASSERT_TRUE(ferry_test_wait_until([&] { return stat(errlog.c_str(), &st) == 0; }));
	EXPECT_EQ(st.st_mode & 0777, 0600u);
	ASSERT_TRUE(log_has("Throughput="));
	signal(SIGTERM);
	EXPECT_EQ(wait_end(), 255);
	std::string old_lines = ferry_test_read_file(moved), new_lines = ferry_test_read_file(errlog);
	expect_in_order(old_lines, {"Starting FERRY with no resume...", "Got SIGHUP. Rolling the log"});
	EXPECT_EQ(new_lines.find("Starting FERRY"), std::string::npos);
	EXPECT_EQ(new_lines.find("Got SIGHUP"), std::string::npos);
	expect_in_order(new_lines, {"Got Signal 'Terminated'. Aborting...", "Shutdown of FERRY on users request"});
}

TEST_F(SignalsE2E, SighupLeavesALogOnStandardErrorAlone)
{
	start_world(1);
	script_lists();
	write_conf();
	patch_conf("errorlog-path " + errlog, "errorlog-path stderr");
	std::string err = dir + "/ferry.err";
	auto err_has = [&](const char *text) {
		return ferry_test_wait_until([&] { return ferry_test_read_file(err).find(text) != std::string::npos; });
	};
	start();
	ASSERT_TRUE(err_has("Starting FERRY with no resume..."));
	// Under the thread sanitizer a signal that lands on a thread inside a
	// call the sanitizer does not count as blocking (the pipe's open, which
	// waits for the writer) is held there until that call returns; another
	// SIGHUP reaches another thread. Rolls of standard error coalesce and
	// leave it as it is, so a second one changes nothing below.
	bool rolled = false;
	for (int tries = 0; tries < 12 && !rolled; tries++) {
		signal(SIGHUP);
		rolled = ferry_test_wait_until(
				[&] { return ferry_test_read_file(err).find("Got SIGHUP. Rolling the log") != std::string::npos; },
				5000);
	}
	ASSERT_TRUE(rolled);
	signal(SIGINT);
	EXPECT_EQ(wait_end(), 255);
	std::string out = ferry_test_read_file(err);
	expect_in_order(out, {"Got SIGHUP. Rolling the log", "Got Signal 'Interrupt'. Aborting...",
				     "Shutdown of FERRY on users request"});
	struct stat st;
	EXPECT_NE(stat((dir + "/stderr").c_str(), &st), 0);
	EXPECT_NE(stat(errlog.c_str(), &st), 0);
}

// A fatal signal: the same work, then the abnormal end: the core limit, the
// crash directory (missing here: said and the abort goes on), the abort.
TEST_F(SignalsE2E, FatalSignalAbortsAfterTheWork)
{
	const uint64_t kRecords = 50;
	start_world(1);
	script_lists();
	fls_pipe_feed(fls, 1, 0, kRecords, 0);
	fls_pipe_wait_read(fls);
	write_conf("    relay-shipping-enabled false\n");
	start();
	ASSERT_TRUE(ferry_test_wait_until([&] { return fls_pipe_idle(fls); }));
	signal(SIGSEGV);
	EXPECT_EQ(wait_end(), -SIGABRT);
	std::string log = ferry_test_read_file(errlog);
	expect_in_order(log, {"Got Signal 'Segmentation fault'. Aborting...", "Digestinfo read from pipe=50, logged to disk=",
				     "Flushed all log records to disk", "stacktrace: frame 0: ", "Abnormal shutdown of FERRY"});
	EXPECT_TRUE(log.find("Changed rlimit to take the dump.") != std::string::npos ||
			log.find("Limits are already infinity") != std::string::npos ||
			log.find("Can not set the rlimit. Current rlimit is Cur=") != std::string::npos);
	EXPECT_EQ(log.find("Shutdown of FERRY on users request"), std::string::npos);
	EXPECT_EQ(persisted_writer_records(), kRecords);
}

} // namespace
