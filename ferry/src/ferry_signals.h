/*
 * ferry_signals: signals and shutdown. The handlers only record a signal in
 * a self-pipe (and park a thread that cannot go on from its signal); the
 * signal thread runs the two functions below.
 */
#pragma once

#define FERRY_FLUSH_WAIT_SECS 5          /* the shutdown's wait for the writer */
#define FERRY_SHUTDOWN_WATCHDOG_SECS 60  /* then the watchdog aborts */
#define FERRY_CRASH_DIR "/var/crash/kard"

/* Ignores SIGPIPE, starts the signal thread and the watchdog, installs the
 * handlers of SIGINT, SIGTERM, SIGFPE, SIGSEGV, SIGABRT, SIGBUS and SIGHUP.
 * Once per process; start-up's thread, before the pipe reader starts. When
 * a thread cannot be made, the signals keep their default actions. */
void ferry_setup_sighandlers(void);
/* SIGHUP: starts the relay log file (g_faultsink) afresh in place; a file
 * moved away keeps its lines, a sink on standard error is left alone. */
void ferry_sig_hup_logroll(int signum);
/* The shutdown, once: persist and flush the digest log, the counters line,
 * close the named pipe, wait up to FERRY_FLUSH_WAIT_SECS for the writer, the
 * back trace of the thread that got the signal; then _exit(255) for SIGINT
 * and SIGTERM, or the core limit raised and abort() for the others. Returns
 * only for SIGPIPE (nothing done) or when a shutdown is already under way.
 * The signal thread. */
void ferry_sig_handler(int signum);
