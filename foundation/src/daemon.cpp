/*
 * daemon: privilege drop, detaching from the terminal, safe opens of fixed
 * names.
 *
 * The privilege checks look at the effective user id: a process whose real id
 * is some user's but whose effective id is root (a set-user-id start) still
 * holds every privilege and must drop it.
 */
#include "tamberlin/daemon.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "tamberlin/fault.h"

void
ox_process_privsep(uid_t uid, gid_t gid)
{
	if (geteuid() != 0) {
		return;
	}
	if (geteuid() == uid && getegid() == gid) {
		return;
	}
	if (setgroups(0, nullptr) < 0) {
		ox_crash(OX_MISC, OX_GLOBAL, "setgroups: %s", ox_strerror(errno));
	}
	if (setgid(gid) < 0) {
		ox_crash(OX_MISC, OX_GLOBAL, "setgid: %s", ox_strerror(errno));
	}
	if (setuid(uid) < 0) {
		ox_crash(OX_MISC, OX_GLOBAL, "setuid: %s", ox_strerror(errno));
	}
}

int
ox_safe_open(const char *path, int flags, mode_t mode)
{
	// The truncation waits for the checks: opening with O_TRUNC would empty a
	// file of another user before we could refuse it.
	bool truncate = (flags & O_TRUNC) != 0;
	int fd = open(path, (flags & ~O_TRUNC) | O_NOFOLLOW | O_NONBLOCK, mode);
	if (fd < 0) {
		return -1;
	}
	struct stat st;
	int err = 0;
	if (fstat(fd, &st) != 0) {
		err = errno;
	} else if (!S_ISREG(st.st_mode)) {
		err = EINVAL;
	} else if (st.st_uid != geteuid()) {
		err = EPERM;
	} else if (fchmod(fd, mode) != 0 || (truncate && ftruncate(fd, 0) != 0)) {
		err = errno;
	} else {
		int fl = fcntl(fd, F_GETFL);
		if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) < 0) {
			err = errno;
		}
	}
	if (err != 0) {
		close(fd);
		errno = err;
		return -1;
	}
	return fd;
}

static bool
fd_kept(int fd, const int *list, int n)
{
	for (int i = 0; i < n; i++) {
		if (list[i] == fd) {
			return true;
		}
	}
	return false;
}

void
ox_process_daemonize(int *fd_ignore_list, int list_size)
{
	pid_t pid = fork();
	if (pid < 0) {
		ox_crash(OX_MISC, OX_GLOBAL, "couldn't fork: %s", ox_strerror(errno));
	}
	if (pid > 0) {
		_exit(0);
	}
	if (setsid() < 0) {
		ox_crash(OX_MISC, OX_GLOBAL, "couldn't set session: %s", ox_strerror(errno));
	}
	for (int fd = getdtablesize(); fd > 2; fd--) {
		if (!fd_kept(fd, fd_ignore_list, list_size > 0 ? list_size : 0)) {
			close(fd);
		}
	}
	char cfname[128];
	snprintf(cfname, sizeof(cfname), OX_CONSOLE_FILE_FMT, (int)getpid());
	// Created 0600 so that nobody can open it before its mode is final.
	int cfd = ox_safe_open(cfname, O_WRONLY | O_CREAT | O_APPEND, 0600);
	if (cfd < 0) {
		ox_crash(OX_MISC, OX_GLOBAL, "couldn't open console redirection file: %s", ox_strerror(errno));
	}
	if (fchmod(cfd, OX_CONSOLE_FILE_MODE) < 0) {
		ox_crash(OX_MISC, OX_GLOBAL, "couldn't set mode on console redirection file: %s", ox_strerror(errno));
	}
	for (int fd = 0; fd <= 2; fd++) {
		if (dup2(cfd, fd) < 0) {
			ox_crash(OX_MISC, OX_GLOBAL, "couldn't duplicate FD: %s", ox_strerror(errno));
		}
	}
}
