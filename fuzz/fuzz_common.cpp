/*
 * fuzz_common: exact-size copies, silent logs, the guard that turns a
 * rejected input's CRITICAL end into a return, and private temp folders.
 *
 * The guard knows a CRITICAL end from any other by a sink of the
 * foundation's log that admits only CRITICAL lines and writes into an
 * in-memory file: every CRITICAL line is written to the sinks before the
 * process is ended, so a SIGINT or SIGABRT that arrives while the file is not
 * empty is a rejection; one that arrives while it is empty is a finding and
 * goes on to the handler that was there before (libFuzzer's, or the
 * default).
 */
#include "fuzz_common.h"

#include <ftw.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#include "tamberlin/fault.h"
#include "tamberlin/ox_log.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FUZZ_HAVE_LSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define FUZZ_HAVE_LSAN 1
#endif
#ifdef FUZZ_HAVE_LSAN
#include <sanitizer/lsan_interface.h>
#endif

uint8_t *
fuzz_copy(const uint8_t *data, size_t size)
{
	auto *p = (uint8_t *)malloc(size ? size : 1);
	if (!p)
		abort();
	if (size)
		memcpy(p, data, size);
	return p;
}

char *
fuzz_text(const uint8_t *data, size_t size)
{
	auto *p = (char *)malloc(size + 1);
	if (!p)
		abort();
	if (size)
		memcpy(p, data, size);
	p[size] = '\0';
	return p;
}

/* ---- logs ---------------------------------------------------------------- */

static int s_critical_fd = -1;
static int s_baseline_sinks;
static ox_fault_severity s_baseline_filter[OX_FAULT_CONTEXT_UNDEF];

static bool s_verbose;

static void
fuzz_client_log(ka::ox_log_level, const char *fmt, ...)
{
	char buf[2048];
	va_list ap;
	va_start(ap, fmt);
	vsnprintf(buf, sizeof(buf), fmt, ap);
	va_end(ap);
	if (s_verbose)
		fprintf(stderr, "client: %s\n", buf);
}

void
fuzz_logs_quiet(void)
{
	if (s_critical_fd >= 0)
		return;
	s_critical_fd = memfd_create("fuzz-critical", MFD_CLOEXEC);
	if (s_critical_fd < 0) {
		perror("memfd_create");
		abort();
	}
	char critical_path[64];
	snprintf(critical_path, sizeof(critical_path), "/proc/self/fd/%d", s_critical_fd);
	// FUZZ_VERBOSE=1 shows both logs on standard error, to follow one input.
	s_verbose = getenv("FUZZ_VERBOSE") != nullptr;
	ox_fault_sink *all = ox_fault_sink_hold(s_verbose ? "stderr" : "/dev/null");
	ox_fault_sink *critical = ox_fault_sink_hold(critical_path);
	if (!all || !critical || ox_fault_sink_addcontext(all, "any", "detail") != 0 ||
			ox_fault_sink_addcontext(critical, "any", "critical") != 0 ||
			ox_fault_sink_activate_all_held() != 0) {
		fprintf(stderr, "fuzz: cannot set up the log sinks\n");
		abort();
	}
	s_baseline_sinks = num_held_fault_sinks;
	memcpy(s_baseline_filter, ox_fault_filter, sizeof(s_baseline_filter));
	ka::g_log_level = ka::OX_DEBUG;
	ka::g_log_callback = fuzz_client_log;
}

void
fuzz_logs_reset(void)
{
	for (int i = s_baseline_sinks; i < num_held_fault_sinks; i++) {
		free(ox_fault_sinks[i].path);
		memset(&ox_fault_sinks[i], 0, sizeof(ox_fault_sinks[i]));
	}
	num_held_fault_sinks = s_baseline_sinks;
	memcpy(ox_fault_filter, s_baseline_filter, sizeof(s_baseline_filter));
	ka::g_log_level = ka::OX_DEBUG;
	ka::g_log_callback = fuzz_client_log;
}

/* ---- the guard ----------------------------------------------------------- */

static sigjmp_buf s_jump;
static volatile sig_atomic_t s_guarding;
static struct sigaction s_old_int, s_old_abrt;

static bool
critical_logged(void)
{
	struct stat st;
	return fstat(s_critical_fd, &st) == 0 && st.st_size > 0;
}

static void
fuzz_on_end(int sig)
{
	if (s_guarding && critical_logged()) {
		s_guarding = 0;
		siglongjmp(s_jump, 1);
	}
	// Not a rejection: the signal is raised again (it stays pending until
	// this handler returns) under the action that was there before.
	sigaction(sig, sig == SIGINT ? &s_old_int : &s_old_abrt, nullptr);
	raise(sig);
}

bool
fuzz_leak_checker(void)
{
#ifdef FUZZ_HAVE_LSAN
	return true;
#else
	return false;
#endif
}

fuzz_leaks_hidden::fuzz_leaks_hidden()
{
#ifdef FUZZ_HAVE_LSAN
	__lsan_disable();
#endif
}

fuzz_leaks_hidden::~fuzz_leaks_hidden()
{
#ifdef FUZZ_HAVE_LSAN
	__lsan_enable();
#endif
}

static bool
fuzz_run_guarded(void (*fn)(void *), void *arg)
{
	if (sigsetjmp(s_jump, 1) != 0)
		return true;
	s_guarding = 1;
	fn(arg);
	s_guarding = 0;
	return false;
}

bool
fuzz_ends_process(void (*fn)(void *), void *arg, bool hide_leaks)
{
	if (s_critical_fd < 0)
		fuzz_logs_quiet();
	if (ftruncate(s_critical_fd, 0) != 0)
		abort();
	struct sigaction sa;
	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = fuzz_on_end;
	sigemptyset(&sa.sa_mask);
	sigaction(SIGINT, &sa, &s_old_int);
	sigaction(SIGABRT, &sa, &s_old_abrt);
	bool ended;
	if (hide_leaks) {
		fuzz_leaks_hidden hidden;
		ended = fuzz_run_guarded(fn, arg);
	} else {
		ended = fuzz_run_guarded(fn, arg);
	}
	sigaction(SIGINT, &s_old_int, nullptr);
	sigaction(SIGABRT, &s_old_abrt, nullptr);
	return ended;
}

/* ---- temp folders, threads, bytes ---------------------------------------- */

static std::mutex s_dirs_lock;
static std::vector<std::string> s_dirs;

static int
remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
	remove(path);
	return 0;
}

static void
remove_dirs(void)
{
	std::lock_guard<std::mutex> g(s_dirs_lock);
	for (auto &d : s_dirs)
		nftw(d.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
	s_dirs.clear();
}

std::string
fuzz_tmpdir(const char *tag)
{
	const char *base = getenv("FERRY_TEST_TMP");
	if (!base || !*base)
		base = getenv("TMPDIR");
	if (!base || !*base)
		base = "/tmp";
	mkdir(base, 0700);
	std::string tmpl = std::string(base) + "/fuzz-" + tag + "-XXXXXX";
	std::vector<char> buf(tmpl.begin(), tmpl.end());
	buf.push_back('\0');
	if (!mkdtemp(buf.data())) {
		perror("mkdtemp");
		abort();
	}
	std::lock_guard<std::mutex> g(s_dirs_lock);
	if (s_dirs.empty())
		atexit(remove_dirs);
	s_dirs.emplace_back(buf.data());
	return s_dirs.back();
}

int
fuzz_thread_count(void)
{
	FILE *f = fopen("/proc/self/status", "r");
	if (!f)
		return -1;
	char line[256];
	int n = -1;
	while (fgets(line, sizeof(line), f))
		if (sscanf(line, "Threads: %d", &n) == 1)
			break;
	fclose(f);
	return n;
}

bool
fuzz_wait_threads(int n, int limit_ms)
{
	// Threads that end at once are common here: look often.
	for (long waited_us = 0;; waited_us += 50) {
		int now = fuzz_thread_count();
		if (now >= 0 && now <= n)
			return true;
		if (waited_us >= (long)limit_ms * 1000)
			return false;
		struct timespec ts = {0, 50000};
		nanosleep(&ts, nullptr);
	}
}

uint64_t
fuzz_take(const uint8_t **p, const uint8_t *end, int n)
{
	uint64_t v = 0;
	for (int i = 0; i < n && i < 8; i++) {
		if (*p < end) {
			v |= (uint64_t)**p << (8 * i);
			(*p)++;
		}
	}
	return v;
}
