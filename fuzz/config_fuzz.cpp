/*
 * The configuration file: the input is the whole file, read by
 * read_configfile_ferrysection from an in-memory file; a text the parse
 * accepts also goes through the start-up checks when it enables the shipper
 * (a disabled one would exit there with status 0).
 *
 * A refused text ends the process with a CRITICAL line (SIGINT from the
 * parse, abort from the checks); the guard turns that end into a return. The
 * parse then still holds its open file, which the fopen/fclose wrappers below
 * let this target close, and whatever it had allocated for the line it
 * refused, which is not a leak of the product (the process ends there): a
 * parse runs first with the leak checker looking away, and a text it
 * accepts is parsed again in full view, where every leak is a finding.
 */
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "fuzz_common.h"
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ferry_shared.h"
#include "tamberlin/utils.h"

static int s_fd = -1;
static char s_path[64];
static FILE *s_open_cfg; /* the parse's stream while it is open */

extern "C" FILE *__real_fopen(const char *path, const char *mode);
extern "C" int __real_fclose(FILE *f);

extern "C" FILE *
__wrap_fopen(const char *path, const char *mode)
{
	FILE *f = __real_fopen(path, mode);
	if (f && strcmp(path, s_path) == 0)
		s_open_cfg = f;
	return f;
}

extern "C" int
__wrap_fclose(FILE *f)
{
	if (f == s_open_cfg)
		s_open_cfg = nullptr;
	return __real_fclose(f);
}

/* What a parse leaves in g_xcfg and the tables, released. */
static void
config_reset(void)
{
	ferry_config_release(&g_xcfg);
	g_faultsink = nullptr;
	fuzz_logs_reset();
}

/* One parse; true when it refused the text. */
static bool
config_parse(bool hide_leaks)
{
	config_reset();
	bool refused = fuzz_ends_process([] { read_configfile_ferrysection(&g_xcfg, s_path); }, hide_leaks);
	if (s_open_cfg)
		fclose(s_open_cfg);
	return refused;
}

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
	fuzz_logs_quiet();
	s_fd = memfd_create("fuzz-config", MFD_CLOEXEC);
	if (s_fd < 0) {
		perror("memfd_create");
		abort();
	}
	snprintf(s_path, sizeof(s_path), "/proc/self/fd/%d", s_fd);
	config_reset();
	return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (s_fd < 0)
		LLVMFuzzerInitialize(nullptr, nullptr);
	if (ftruncate(s_fd, 0) != 0 || (size && pwrite(s_fd, data, size, 0) != (ssize_t)size))
		abort();
	bool refused = config_parse(true);
	if (!refused && fuzz_leak_checker())
		refused = config_parse(false);
	if (!refused && g_xcfg.ferry_global_enabled)
		fuzz_ends_process([] { ferry_config_checks(&g_xcfg); });
	config_reset();
	return 0;
}
