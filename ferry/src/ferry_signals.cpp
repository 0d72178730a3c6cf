/*
 * Signals and shutdown. Installed by start-up before the pipe reader starts,
 * so that from the first record taken from the pipe a SIGTERM saves what was
 * taken.
 *
 * A handler can land anywhere: inside a log write, holding the ring buffer's
 * lock, inside malloc or stdio. So the handler proper (ferry_sig_record)
 * only records the signal: a pending bit per signal, then one byte into a
 * self-pipe that only wakes the signal thread (a full pipe loses a wake-up,
 * never a signal; a storm of SIGHUPs comes down to one roll), and
 * for a signal the thread cannot go on from (a fault of its own, an abort, a
 * CRITICAL line that raised SIGINT on itself) it parks that thread in pause()
 * until the process ends; a fatal signal sent from outside leaves the thread
 * that happened to take it running. The signal thread reads the pipe and does the work with
 * every thread still running: the SIGHUP roll (ferry_sig_hup_logroll) and
 * the shutdown (ferry_sig_handler): persist and flush the digest log, log the
 * counters, close the named pipe, give the writer up to 5 seconds, log a back
 * trace, then exit with 255 for SIGINT and SIGTERM or raise the core limit
 * and abort for the others.
 *
 * The shutdown work can still block: on a lock held by a thread that was
 * parked inside it. A watchdog thread, armed when the work starts, aborts the
 * process if it has not ended well after the writer's wait.
 *
 * SIGPIPE is ignored outright: a write to a closed socket returns an error.
 *
 * Threads: the signal thread and the watchdog are made at installation with
 * every signal blocked, so process-directed signals land on the other
 * threads; an abort() of their own unblocks SIGABRT and ends the process by
 * its default action.
 */
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ferry_signals.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/fault.h"
#include "tamberlin/ferry.h"
#include "tamberlin/ox_clock.h"
#include "tamberlin/rbuffer.h"
#include "tamberlin/utils.h"

#define FERRY_BACKTRACE_DEPTH 50
/* The most the shutdown waits for the pipe reader to take the pipe: several
 * of its polls, and well inside the watchdog's time. */
#define FERRY_PIPE_HANDOFF_WAIT_MS 1000
#define FERRY_BACKTRACE_WAIT_STEPS 100
#define FERRY_BACKTRACE_WAIT_STEP_US 10000

static int s_sigpipe[2] = {-1, -1};
/* One bit per signal number that came and is not served yet. */
static std::atomic<uint64_t> s_pending{0};
static_assert(std::atomic<uint64_t>::is_always_lock_free, "the handler sets pending bits");
static std::atomic<bool> s_installed{false};
/* Kernel thread ids of the signal thread and the watchdog (0 until they run). */
static std::atomic<pid_t> s_sigthread_tid{0};
static std::atomic<pid_t> s_watchdog_tid{0};
static sem_t s_watchdog_sem;
static std::atomic<bool> s_shutdown_started{false};

/* The stack of the first thread that failed (a fault, an abort, a CRITICAL
 * line), taken in its handler, so the back trace shows where it was. A
 * SIGTERM from outside lands on any thread: the signal thread's own stack
 * serves then. */
static void *s_bt_frames[FERRY_BACKTRACE_DEPTH];
static std::atomic<int> s_bt_claimed{0};
static std::atomic<int> s_bt_count{-1};

static const int s_term_signals[] = {SIGINT, SIGTERM, SIGFPE, SIGSEGV, SIGABRT, SIGBUS};

static bool
ferry_sig_is_user_end(int signum)
{
	return signum == SIGINT || signum == SIGTERM;
}

static void
ferry_sig_default(int signum)
{
	struct sigaction sa = {};
	sa.sa_handler = SIG_DFL;
	sigemptyset(&sa.sa_mask);
	sigaction(signum, &sa, nullptr);
}

/* The handler of every terminating signal and SIGHUP. Async-signal-safe:
 * write, pause, sigaction, gettid, getpid, and backtrace (loaded at
 * installation, so it neither loads nor allocates here). */
static void
ferry_sig_record(int signum, siginfo_t *si, void *ctx)
{
	(void)ctx;
	int saved_errno = errno;
	pid_t me = gettid();
	if (me == s_sigthread_tid.load(std::memory_order_relaxed) ||
			me == s_watchdog_tid.load(std::memory_order_relaxed)) {
		// Only their own abort() reaches these threads (every other signal
		// is blocked there): the end the shutdown chose, or a CRITICAL line
		// inside the shutdown work. Let it end the process.
		ferry_sig_default(signum);
		errno = saved_errno;
		return;
	}
	bool self_raised = si != nullptr && si->si_code == SI_TKILL && si->si_pid == getpid();
	// A fault the kernel made for this thread's own instruction (a positive
	// code). A fatal signal sent from outside (kill) lands on whichever thread
	// was running, possibly inside a lock the shutdown needs: that thread did
	// nothing wrong and goes on, which lets the lock go.
	bool faulted = si == nullptr || si->si_code > 0;
	bool park = signum != SIGHUP &&
			(self_raised || (!ferry_sig_is_user_end(signum) && faulted));
	// Only the stack of a thread that failed says something; it is taken
	// after the signal is recorded, so that an unwinder lock held by this
	// very thread cannot keep the shutdown from starting.
	bool take_stack = park && s_bt_claimed.exchange(1) == 0;
	s_pending.fetch_or(1ull << signum);
	// After the bit: the signal thread reads the pipe before it takes the
	// bits, so a wake-up lost to a full pipe finds this bit all the same.
	unsigned char b = (unsigned char)signum;
	ssize_t n;
	do {
		n = write(s_sigpipe[1], &b, 1);
	} while (n < 0 && errno == EINTR);
	if (take_stack) {
		s_bt_count.store(backtrace(s_bt_frames, FERRY_BACKTRACE_DEPTH), std::memory_order_release);
	}
	if (park) {
		// A fault would come again on return, abort() and a short-form
		// CRITICAL line expect the handler to end the process: this thread
		// waits here until the signal thread does.
		for (;;) {
			pause();
		}
	}
	errno = saved_errno;
}

void
ferry_sig_hup_logroll(int signum)
{
	(void)signum;
	ox_info(QM_FERRY, "Got SIGHUP. Rolling the log");
	if (!g_faultsink) {
		return;
	}
	// The file is started afresh under its path on the sink's own
	// descriptor; a sink on standard error stays as it is.
	if (ox_fault_sink_reopen(g_faultsink) != 0) {
		ox_warning(QM_FERRY, "Could not start the log file %s afresh: %s; logging goes on where it was",
				g_faultsink->path, ox_strerror(errno));
	}
}

static void
ferry_sig_persist(void)
{
	if (!g_rbuf_des) {
		return;
	}
	if (ox_rbuffer_persist(g_rbuf_des) != 0 || !ox_rbuffer_fflush(g_rbuf_des)) {
		ox_warning(QM_FERRY, "Digest Log Flush Failed ...some records may be lost !!!");
	}
	ox_rbuffer_log(g_rbuf_des, OX_WARNING);
}

static uint64_t
ferry_sig_counter(const uint64_t *c)
{
	return g_ferry_cntr ? ox_atomic64_get(c) : 0;
}

/* One frame as the platform's symbol text would give it, without the heap
 * (the thread that faulted may hold the allocator's lock). */
static void
ferry_sig_frame_text(void *addr, char *buf, size_t len)
{
	Dl_info di;
	if (dladdr(addr, &di) == 0 || !di.dli_fname) {
		snprintf(buf, len, "[%p]", addr);
	} else if (di.dli_sname) {
		snprintf(buf, len, "%s(%s+0x%lx) [%p]", di.dli_fname, di.dli_sname,
				(unsigned long)((char *)addr - (char *)di.dli_saddr), addr);
	} else {
		snprintf(buf, len, "%s(+0x%lx) [%p]", di.dli_fname,
				(unsigned long)((char *)addr - (char *)di.dli_fbase), addr);
	}
}

static void
ferry_sig_backtrace(void)
{
	void *own[FERRY_BACKTRACE_DEPTH];
	void **frames = s_bt_frames;
	// The failed thread takes its stack after recording its signal: give it
	// a moment, then fall back to this thread's own.
	for (int i = 0; i < FERRY_BACKTRACE_WAIT_STEPS && s_bt_claimed.load() &&
			s_bt_count.load(std::memory_order_acquire) < 0; i++) {
		usleep(FERRY_BACKTRACE_WAIT_STEP_US);
	}
	int n = s_bt_count.load(std::memory_order_acquire);
	if (n < 0) {
		frames = own;
		n = backtrace(own, FERRY_BACKTRACE_DEPTH);
	}
	for (int i = 0; i < n; i++) {
		char text[512];
		ferry_sig_frame_text(frames[i], text, sizeof(text));
		ox_warning(QM_FERRY, "stacktrace: frame %d: %s", i, text);
	}
}

/* Takes the first pending signal of set (in its order), or 0. */
static int
ferry_sig_take_pending(const int *set, size_t n)
{
	for (size_t i = 0; i < n; i++) {
		uint64_t bit = 1ull << set[i];
		if (s_pending.fetch_and(~bit) & bit) {
			return set[i];
		}
	}
	return 0;
}

/* A fatal signal that came while a SIGINT or SIGTERM was being served: the
 * first one found, or 0. The thread that got it is parked. */
static int
ferry_sig_pending_fatal(void)
{
	static const int fatal[] = {SIGFPE, SIGSEGV, SIGABRT, SIGBUS};
	int sig = ferry_sig_take_pending(fatal, sizeof(fatal) / sizeof(fatal[0]));
	if (sig != 0) {
		ox_warning(QM_FERRY, "Got Signal '%s'. Aborting...", sigdescr_np(sig));
	}
	return sig;
}

[[noreturn]] static void
ferry_sig_abnormal_end(void)
{
	ox_info(QM_FERRY, "Abnormal shutdown of FERRY");
	// The abort below must end the process, not come back here.
	struct sigaction dfl = {}, old = {};
	dfl.sa_handler = SIG_DFL;
	sigemptyset(&dfl.sa_mask);
	for (int i = 0; i < 10; i++) {
		if (sigaction(SIGABRT, &dfl, &old) == 0 && old.sa_handler == SIG_DFL) {
			break;
		}
	}
	struct rlimit rl;
	if (getrlimit(RLIMIT_CORE, &rl) != 0) {
		ox_info(QM_FERRY, "Error while getting rlimit");
	} else if (rl.rlim_cur == RLIM_INFINITY) {
		ox_info(QM_FERRY, "Limits are already infinity");
	} else {
		struct rlimit inf = {RLIM_INFINITY, RLIM_INFINITY};
		if (setrlimit(RLIMIT_CORE, &inf) == 0) {
			ox_info(QM_FERRY, "Changed rlimit to take the dump.");
		} else {
			ox_warning(QM_FERRY, "Can not set the rlimit. Current rlimit is Cur=%d Max=%d", (int)rl.rlim_cur,
					(int)rl.rlim_max);
		}
	}
	if (chdir(FERRY_CRASH_DIR) != 0) {
		ox_warning(QM_FERRY, "Can not change to the crash directory %s: %s; the core goes to the working directory",
				FERRY_CRASH_DIR, ox_strerror(errno));
	}
	abort();
}

void
ferry_sig_handler(int signum)
{
	if (signum == SIGPIPE) {
		// Never routed here while the handlers are installed; should one come,
		// nothing may be shut down for it.
		ox_warning(QM_QM, "Got signal %d. Not killing the FERRY for this", signum);
		return;
	}
	if (s_shutdown_started.exchange(true)) {
		return;
	}
	sem_post(&s_watchdog_sem);
	ox_warning(QM_FERRY, "Got Signal '%s'. Aborting...", sigdescr_np(signum));
	counters *c = g_ferry_cntr;
	ferry_sig_persist();
	uint64_t logged_at_persist = c ? ferry_sig_counter(&c->dlog_pkts_logged) : 0;
	if (c) {
		ox_info(QM_FERRY, "Digestinfo read from pipe=%lu, logged to disk=%lu, unlogged=%lu",
				(unsigned long)ferry_sig_counter(&c->pipe_reads_diginfo),
				(unsigned long)ferry_sig_counter(&c->dlog_pkts_logged),
				(unsigned long)ferry_sig_counter(&c->dlog_pkts_unlogged));
	}
	ferry_namedpipe_shutdown_close();
	// A message the reader took before the handoff is counted once the reader
	// has looked again; one that never looks (parked in its own fault) has
	// nothing in hand, so the wait is bounded.
	uint32_t handoff_ms = ferry_scaled_ms(FERRY_SHUTDOWN_WATCHDOG_SECS * 1000) / 4;
	uint32_t drain_ms = FERRY_PIPE_HANDOFF_WAIT_MS + ferry_scaled_ms(FERRY_NAMEDPIPE_DRAIN_MS);
	ferry_namedpipe_wait_taken((int)(handoff_ms < drain_ms ? handoff_ms : drain_ms));
	uint64_t start = ox_getms();
	uint64_t limit = ferry_scaled_ms(FERRY_FLUSH_WAIT_SECS * 1000);
	while (c && ferry_sig_counter(&c->dlog_pkts_unlogged) != 0) {
		ox_info(QM_FERRY, "Waiting to flush the log records to disk. logged to disk=%lu, unlogged=%lu",
				(unsigned long)ferry_sig_counter(&c->dlog_pkts_logged),
				(unsigned long)ferry_sig_counter(&c->dlog_pkts_unlogged));
		ferry_sleep_ms(1000);
		if (ox_getms() - start > limit) {
			ox_info(QM_FERRY, "Waited %dsec to flush the pending log recrds. Cannot wait anymore. Pending log recs=%d",
					FERRY_FLUSH_WAIT_SECS, (int)ferry_sig_counter(&c->dlog_pkts_unlogged));
			break;
		}
	}
	if (!c || ferry_sig_counter(&c->dlog_pkts_unlogged) == 0) {
		ox_info(QM_FERRY, "Flushed all log records to disk");
	}
	if (c) {
		// Again after the pipe was read empty and the writer drained: what
		// the shutdown kept.
		ox_info(QM_FERRY, "Digestinfo read from pipe=%lu, logged to disk=%lu, unlogged=%lu",
				(unsigned long)ferry_sig_counter(&c->pipe_reads_diginfo),
				(unsigned long)ferry_sig_counter(&c->dlog_pkts_logged),
				(unsigned long)ferry_sig_counter(&c->dlog_pkts_unlogged));
	}
	// What the writer stored during the wait goes into the headers too, so
	// the next start finds it without relying on the writer's own persists.
	if (c && g_rbuf_des && ferry_sig_counter(&c->dlog_pkts_logged) != logged_at_persist) {
		if (ox_rbuffer_persist(g_rbuf_des) != 0 || !ox_rbuffer_fflush(g_rbuf_des)) {
			ox_warning(QM_FERRY, "Digest Log Flush Failed ...some records may be lost !!!");
		}
	}
	ferry_sig_backtrace();
	if (ferry_sig_is_user_end(signum) && ferry_sig_pending_fatal() == 0) {
		ox_info(QM_FERRY, "Shutdown of FERRY on users request");
		// Not exit(): the other threads run on, and the destructors and
		// stdio locks exit() would take may be theirs. The system call
		// itself, since a wrapper of _exit (a sanitizer's) may wait for a
		// thread parked in its handler.
		syscall(SYS_exit_group, 255);
		_exit(255);
	}
	ferry_sig_abnormal_end();
}

static void *
ferry_sig_thread(void *arg)
{
	(void)arg;
	s_sigthread_tid.store(gettid());
	static const int hup[] = {SIGHUP};
	for (;;) {
		// The bytes only wake this thread: what came is in the pending bits.
		unsigned char wake[64];
		ssize_t n = read(s_sigpipe[0], wake, sizeof(wake));
		if (n <= 0) {
			if (n < 0 && errno == EINTR) {
				continue;
			}
			ox_warning(QM_FERRY, "The signal pipe failed: %s; signals are no longer served",
					ox_strerror(errno));
			return nullptr;
		}
		// An end first, whatever else waits: a roll cannot hold it back.
		int sig = ferry_sig_take_pending(s_term_signals, sizeof(s_term_signals) / sizeof(s_term_signals[0]));
		if (sig != 0) {
			ferry_sig_handler(sig);
			continue;
		}
		if (ferry_sig_take_pending(hup, 1) != 0 && !s_shutdown_started.load()) {
			ferry_sig_hup_logroll(SIGHUP);
		}
	}
}

static void *
ferry_sig_watchdog(void *arg)
{
	(void)arg;
	s_watchdog_tid.store(gettid());
	while (sem_wait(&s_watchdog_sem) != 0) {
	}
	uint32_t ms = ferry_scaled_ms(FERRY_SHUTDOWN_WATCHDOG_SECS * 1000);
	struct timespec ts = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
	while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
	}
	ox_warning(QM_FERRY, "The shutdown did not end within %d secs. Aborting", FERRY_SHUTDOWN_WATCHDOG_SECS);
	ferry_sig_default(SIGABRT);
	abort();
}

/* Starts fn on a thread that blocks every signal. */
static int
ferry_sig_start_thread(void *(*fn)(void *))
{
	sigset_t all, old;
	sigfillset(&all);
	pthread_sigmask(SIG_SETMASK, &all, &old);
	int rv = ferry_start_detached(fn, nullptr, false);
	pthread_sigmask(SIG_SETMASK, &old, nullptr);
	return rv;
}

void
ferry_setup_sighandlers(void)
{
	if (s_installed.exchange(true)) {
		return;
	}
	struct sigaction ign = {};
	ign.sa_handler = SIG_IGN;
	sigemptyset(&ign.sa_mask);
	sigaddset(&ign.sa_mask, SIGPIPE);
	ign.sa_flags = 0;
	if (sigaction(SIGPIPE, &ign, nullptr) != 0) {
		ox_warning(QM_QM, "Not able to block the SIGPIPE signal");
	}
	// The first back trace loads the unwinder and allocates: do it now, not
	// in a handler.
	void *warm[2];
	backtrace(warm, 2);
	Dl_info di;
	dladdr((void *)&ferry_setup_sighandlers, &di);

	int rv = 0;
	if (pipe2(s_sigpipe, O_CLOEXEC) != 0) {
		rv = errno;
	} else if (fcntl(s_sigpipe[1], F_SETFL, O_NONBLOCK) != 0) {
		rv = errno;
	} else if (sem_init(&s_watchdog_sem, 0, 0) != 0) {
		rv = errno;
	} else if ((rv = ferry_sig_start_thread(ferry_sig_watchdog)) == 0) {
		rv = ferry_sig_start_thread(ferry_sig_thread);
	}
	if (rv != 0) {
		ox_warning(QM_FERRY, "Signals keep their default actions: no signal thread (%s)", ox_strerror(rv));
		return;
	}
	struct sigaction sa = {};
	sa.sa_sigaction = ferry_sig_record;
	sigemptyset(&sa.sa_mask);
	sa.sa_flags = SA_SIGINFO | SA_RESTART;
	for (int s : s_term_signals) {
		sigaction(s, &sa, nullptr);
	}
	sigaction(SIGHUP, &sa, nullptr);
}
