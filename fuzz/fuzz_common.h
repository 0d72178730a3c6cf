/*
 * fuzz_common: what every fuzz target shares.
 *
 * A target is one LLVMFuzzerTestOneInput (and optionally LLVMFuzzerInitialize)
 * per parser. It runs under libFuzzer in the clang build and, through
 * replay_main.cpp, as a plain program that replays its corpus folder in every
 * other build, so a crash found once stays fixed.
 *
 * Inputs reach a parser only as exact-size heap copies: a read of one byte
 * past the end is then a heap overflow that the address sanitizer reports,
 * not a quiet read of the fuzzer's own buffer.
 *
 * Several inputs are rejected by design with a CRITICAL line that ends the
 * process (a SIGINT from the short form, an abort from the full form). The
 * guard turns exactly that end into a return, so that one rejected input does
 * not stop a run of millions; any other abort or signal still ends the
 * process, as a finding.
 *
 * Threads: the main thread only, except where a target says otherwise.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

/* A malloc'd copy of exactly size bytes; the caller frees it. */
uint8_t *fuzz_copy(const uint8_t *data, size_t size);
/* A malloc'd copy of size bytes and a NUL after them; the caller frees it. */
char *fuzz_text(const uint8_t *data, size_t size);

/* Frees what a fuzz_copy / fuzz_text gave when the scope ends. */
struct fuzz_owned {
	void *p;
	explicit fuzz_owned(void *q) : p(q) {}
	~fuzz_owned() { free(p); }
	fuzz_owned(const fuzz_owned &) = delete;
	fuzz_owned &operator=(const fuzz_owned &) = delete;
};

/*
 * Both logs made silent but still formatting every line (a bad format
 * argument is a finding too): the foundation's log goes to /dev/null at every
 * level, with a second sink that keeps only CRITICAL lines for the guard; the
 * client's log goes to a callback that formats and drops. Call once, first.
 * With FUZZ_VERBOSE set in the environment both logs go to standard error.
 */
void fuzz_logs_quiet(void);
/* Undoes what a parse did to the foundation's log: sinks held after
 * fuzz_logs_quiet are released, the filter and the client's level restored. */
void fuzz_logs_reset(void);

/*
 * Runs fn(arg) and gives true when it ended the process with a CRITICAL line
 * (short form or full form), false when it returned. What fn held at that
 * moment stays held (its stack frames are gone): a caller that cares releases
 * it, or asks the leak checker to look away (hide_leaks) because the product
 * would have ended there. Main thread; not reentrant.
 */
bool fuzz_ends_process(void (*fn)(void *), void *arg, bool hide_leaks);

template <typename F>
bool
fuzz_ends_process(F &&f, bool hide_leaks = false)
{
	return fuzz_ends_process([](void *p) { (*static_cast<F *>(p))(); }, &f, hide_leaks);
}

/* True when the process runs with the leak checker (address sanitizer). */
bool fuzz_leak_checker(void);
/* The leak checker looks away while one lives (no effect without it). */
struct fuzz_leaks_hidden {
	fuzz_leaks_hidden();
	~fuzz_leaks_hidden();
};

/* A new private directory for one target's files under $FERRY_TEST_TMP,
 * $TMPDIR or /tmp; removed with everything in it when the process exits. */
std::string fuzz_tmpdir(const char *tag);

/* Waits up to limit_ms until this process runs no more threads than n. */
bool fuzz_wait_threads(int n, int limit_ms);
/* Threads of this process now. */
int fuzz_thread_count(void);

/* Reads a little-endian integer of n bytes (at most 8) from *p, within end;
 * missing bytes count as 0 and *p never passes end. */
uint64_t fuzz_take(const uint8_t **p, const uint8_t *end, int n);
