/*
 * daemon: the process-level steps of a daemon's start: dropping root
 * privileges, detaching from the terminal, and opening files by fixed names
 * in directories that other users can write to.
 *
 * A fixed name in a shared directory ("/tmp/...") is an invitation to plant a
 * symbolic link or a FIFO there before the daemon starts. Every such open goes
 * through ox_safe_open: it never follows a link, never blocks on a FIFO,
 * refuses anything that is not a regular file owned by the process's
 * effective user, truncates only after those checks, and sets the mode
 * through the descriptor so that the umask and an existing file's old mode
 * do not count.
 *
 * Threads: the two process calls run on the main thread before any other
 * thread exists; ox_safe_open may be called from any thread.
 */
#pragma once

#include <sys/types.h>

/* Continues as uid and gid when the process runs with an effective user id
 * of 0; does nothing otherwise, or when the effective ids already are the
 * given ones. Supplementary groups are dropped first, then the group, then
 * the user. Any failure is CRITICAL (OX_GLOBAL) and ends the process. */
void ox_process_privsep(uid_t uid, gid_t gid);

/* Forks (the parent exits with 0), starts a new session, closes every
 * descriptor above 2 except the list_size ones in fd_ignore_list, and points
 * descriptors 0 to 2 at the console file "/tmp/quillmere-console.<pid>"
 * (mode 0644, opened through ox_safe_open). Returns in the child only; any
 * failure is CRITICAL (OX_GLOBAL). */
void ox_process_daemonize(int *fd_ignore_list, int list_size);

#define OX_CONSOLE_FILE_FMT "/tmp/quillmere-console.%d"
#define OX_CONSOLE_FILE_MODE 0644

/* Opens path with flags (O_WRONLY, O_RDWR, O_CREAT, O_APPEND, O_TRUNC...;
 * O_NOFOLLOW and O_NONBLOCK are added for the open itself) and creation mode
 * `mode`, which is also set on the file through the descriptor. The
 * descriptor, blocking, or -1 with errno: ELOOP for a symbolic link, EINVAL
 * for anything but a regular file, EPERM for a file of another user, or the
 * open's own error. A refused file is left as it was (never truncated). */
int ox_safe_open(const char *path, int flags, mode_t mode);
