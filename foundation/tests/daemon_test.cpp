// Privilege drop, detaching, and the safe open of fixed names: what a
// planted link, FIFO or foreign file does to it, and what a detached child
// keeps. The cases that need root skip themselves elsewhere.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "tamberlin/daemon.h"

namespace {

const uid_t kNobody = 65534;

std::string
tmp_path(const char *tag)
{
	static int seq = 0;
	const char *dir = getenv("FERRY_TEST_TMP");
	std::ostringstream os;
	os << (dir != nullptr ? dir : "/tmp") << "/daemon_" << tag << "_" << getpid() << "_" << seq++;
	unlink(os.str().c_str());
	return os.str();
}

void
write_text(const std::string &path, const std::string &text)
{
	std::ofstream(path) << text;
}

std::string
read_text(const std::string &path)
{
	std::ifstream in(path);
	std::stringstream ss;
	ss << in.rdbuf();
	return ss.str();
}

// Runs fn in a child and returns its exit status (-1 when it did not exit).
template <typename F>
int
in_child(F fn)
{
	pid_t pid = fork();
	if (pid == 0) {
		_exit(fn());
	}
	int status = 0;
	if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
		return -1;
	}
	return WEXITSTATUS(status);
}

TEST(Privsep, NotRootChangesNothing)
{
	if (geteuid() == 0) {
		GTEST_SKIP() << "runs as root";
	}
	uid_t ruid = getuid(), euid = geteuid();
	gid_t rgid = getgid(), egid = getegid();
	ox_process_privsep(0, 0);
	ox_process_privsep(kNobody, kNobody);
	EXPECT_EQ(getuid(), ruid);
	EXPECT_EQ(geteuid(), euid);
	EXPECT_EQ(getgid(), rgid);
	EXPECT_EQ(getegid(), egid);
}

TEST(Privsep, RootBecomesTheUserWithoutGroups)
{
	if (geteuid() != 0) {
		GTEST_SKIP() << "needs root";
	}
	// Ids already right: the supplementary groups stay.
	EXPECT_EQ(in_child([] {
		gid_t g = 4242;
		if (setgroups(1, &g) != 0) {
			return 10;
		}
		ox_process_privsep(0, getegid());
		return getgroups(0, nullptr) == 1 && geteuid() == 0 ? 0 : 11;
	}), 0);
	// Once not root, a later call changes nothing (it would end the process
	// if it tried).
	EXPECT_EQ(in_child([] {
		if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
				setresuid(kNobody, kNobody, kNobody) != 0) {
			return 10;
		}
		ox_process_privsep(0, 0);
		return getuid() == kNobody && geteuid() == kNobody && getegid() == kNobody ? 0 : 11;
	}), 0);
	// A real user id of a user but an effective one of root still drops.
	EXPECT_EQ(in_child([] {
		gid_t g = 4242;
		if (setgroups(1, &g) != 0 || setresuid(kNobody, 0, 0) != 0) {
			return 10;
		}
		ox_process_privsep(kNobody, kNobody);
		bool ok = getuid() == kNobody && geteuid() == kNobody && getgid() == kNobody &&
				getegid() == kNobody && getgroups(0, nullptr) == 0;
		return ok ? 0 : 11;
	}), 0);
}

TEST(SafeOpen, CreatesAndSetsTheModeThroughTheDescriptor)
{
	std::string path = tmp_path("plain");
	mode_t old = umask(077);
	int fd = ox_safe_open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
	umask(old);
	ASSERT_GE(fd, 0) << strerror(errno);
	ASSERT_EQ(write(fd, "one", 3), 3);
	struct stat st;
	ASSERT_EQ(fstat(fd, &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0644u);
	// The descriptor blocks as usual.
	EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
	close(fd);
	// An existing file of ours: its old mode goes, O_TRUNC empties it.
	chmod(path.c_str(), 0666);
	fd = ox_safe_open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
	ASSERT_GE(fd, 0);
	ASSERT_EQ(fstat(fd, &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0600u);
	EXPECT_EQ(st.st_size, 0);
	close(fd);
	unlink(path.c_str());
}

TEST(SafeOpen, RefusesWhatIsNotOurRegularFile)
{
	std::string target = tmp_path("target");
	write_text(target, "keep");
	std::string link = tmp_path("link");
	ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
	std::string dangling = tmp_path("dangling");
	std::string nowhere = tmp_path("nowhere");
	ASSERT_EQ(symlink(nowhere.c_str(), dangling.c_str()), 0);
	std::string fifo = tmp_path("fifo");
	ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
	std::string dir = tmp_path("dir");
	ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);

	struct Case {
		const char *name;
		std::string path;
		int flags;
		int err; // 0: either error of a refusal the open itself makes
	};
	const Case cases[] = {
		{"link to our file, truncating", link, O_WRONLY | O_CREAT | O_TRUNC, ELOOP},
		{"link to our file, appending", link, O_WRONLY | O_APPEND, ELOOP},
		{"dangling link, creating", dangling, O_WRONLY | O_CREAT, ELOOP},
		// Read-write opens a FIFO without a reader at once: refused by type.
		{"FIFO read-write", fifo, O_RDWR | O_CREAT, EINVAL},
		// Write-only would wait for a reader; it must not block.
		{"FIFO write-only", fifo, O_WRONLY | O_CREAT, 0},
		{"directory", dir, O_RDONLY, EINVAL},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.name);
		errno = 0;
		int fd = ox_safe_open(c.path.c_str(), c.flags, 0600);
		EXPECT_EQ(fd, -1);
		if (fd >= 0) {
			close(fd);
		}
		if (c.err != 0) {
			EXPECT_EQ(errno, c.err) << strerror(errno);
		} else {
			EXPECT_NE(errno, 0);
		}
	}
	EXPECT_EQ(read_text(target), "keep");
	EXPECT_NE(access(nowhere.c_str(), F_OK), 0) << "the dangling link's target was created";
	for (const std::string &p : {target, link, dangling, fifo}) {
		unlink(p.c_str());
	}
	rmdir(dir.c_str());
}

TEST(SafeOpen, RefusesAFileOfAnotherUser)
{
	if (geteuid() != 0) {
		GTEST_SKIP() << "needs root to own a file as another user";
	}
	std::string path = tmp_path("foreign");
	write_text(path, "theirs");
	ASSERT_EQ(chown(path.c_str(), kNobody, kNobody), 0);
	chmod(path.c_str(), 0666);
	errno = 0;
	EXPECT_EQ(ox_safe_open(path.c_str(), O_WRONLY | O_TRUNC, 0600), -1);
	EXPECT_EQ(errno, EPERM);
	struct stat st;
	ASSERT_EQ(stat(path.c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0666u);
	EXPECT_EQ(read_text(path), "theirs");
	unlink(path.c_str());
}

// What the detached grandchild reports through the pipe it kept.
struct DaemonReport {
	pid_t pid;
	int kept_open;    // the kept descriptor still open
	int other_closed; // a descriptor not in the list closed
	int std_on_console; // 0, 1 and 2 all on the console file
	int console_mode;
	pid_t sid;
};

TEST(Daemonize, ChildKeepsTheListedDescriptorsAndTheConsole)
{
	int rep[2];
	ASSERT_EQ(pipe(rep), 0);
	int other = open("/dev/null", O_RDONLY);
	ASSERT_GT(other, 2);
	pid_t pid = fork();
	ASSERT_GE(pid, 0);
	if (pid == 0) {
		close(rep[0]);
		int keep[] = {rep[1]};
		ox_process_daemonize(keep, 1);
		DaemonReport r = {};
		r.pid = getpid();
		r.sid = getsid(0);
		r.kept_open = fcntl(rep[1], F_GETFD) >= 0;
		r.other_closed = fcntl(other, F_GETFD) < 0 && errno == EBADF;
		char name[128];
		snprintf(name, sizeof(name), OX_CONSOLE_FILE_FMT, (int)getpid());
		struct stat cst;
		r.std_on_console = stat(name, &cst) == 0;
		r.console_mode = (int)(cst.st_mode & 07777);
		for (int fd = 0; fd <= 2 && r.std_on_console; fd++) {
			struct stat st;
			r.std_on_console = fstat(fd, &st) == 0 && st.st_ino == cst.st_ino && st.st_dev == cst.st_dev;
		}
		ssize_t n = write(rep[1], &r, sizeof(r));
		_exit(n == (ssize_t)sizeof(r) ? 0 : 1);
	}
	close(rep[1]);
	close(other);
	int status = 0;
	ASSERT_EQ(waitpid(pid, &status, 0), pid);
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the parent side exits with 0";
	DaemonReport r = {};
	ssize_t got = 0;
	while (got < (ssize_t)sizeof(r)) {
		ssize_t n = read(rep[0], (char *)&r + got, sizeof(r) - (size_t)got);
		if (n <= 0) {
			break;
		}
		got += n;
	}
	close(rep[0]);
	ASSERT_EQ(got, (ssize_t)sizeof(r)) << "the detached child reported";
	char name[128];
	snprintf(name, sizeof(name), OX_CONSOLE_FILE_FMT, (int)r.pid);
	EXPECT_TRUE(r.kept_open);
	EXPECT_TRUE(r.other_closed);
	EXPECT_TRUE(r.std_on_console);
	EXPECT_EQ(r.console_mode, 0644);
	EXPECT_EQ(r.sid, r.pid) << "a session of its own";
	unlink(name);
}

} // namespace
