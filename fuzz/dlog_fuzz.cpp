/*
 * The digest-log files: fuzzed bytes become the files of a digest log in a
 * private folder, which is then opened in resume mode (persist on) and used
 * through the ring-buffer API: a start-up mode, reads by the main reader and
 * by a caching context with seeks, writes, a start move, the close, and a
 * second open of what the buffer itself persisted, which must succeed (a log
 * the buffer wrote is never refused by it). No reader may deliver more
 * records than the ring holds.
 *
 * Input:
 *   byte 0  bits 0-1 files - 1, bit 2 overwrite, bit 3 trace,
 *           bits 4-5 start-up mode (as opened, failover, no failover, no
 *           resume), bits 6-7 record size (80, 32, 200, 4000 bytes)
 *   byte 1  bits 0-1 segments per file - 7, bits 2-7 records to write / 4
 *   byte 2  records to seek (signed)
 *   then each file in a compact form: its 728 header bytes, then for each
 *   segment the first bytes of its data (two records, at most 160 bytes)
 *   and its 4-byte trailer. A file is as long as its bytes reach; what the
 *   input lacks stays zero or missing, as in a file cut short.
 * A first word that is neither 0 nor the format's magic ends the process by
 * design (CRITICAL): such a word is replaced by the magic, so every input
 * reaches the header checks.
 */
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_common.h"
#include "tamberlin/rbuffer.h"

#define DLOG_CHECK(cond, ...)                                        \
	do {                                                         \
		if (!(cond)) {                                       \
			fprintf(stderr, "dlog: " __VA_ARGS__);       \
			fprintf(stderr, " (%s, line %d)\n", #cond, __LINE__); \
			abort();                                     \
		}                                                    \
	} while (0)

static std::string s_dir;
static const uint64_t kRecSizes[4] = {80, 32, 200, 4000};

struct dlog_plan {
	ox_rbuffer_config cfg;
	std::string names[RBUFFER_MAX_FILES];
	int mode;
	int writes;
	int seek;
	uint64_t prefix; /* data bytes kept per segment in the compact form */
	uint64_t nsegs;
};

/* Writes file i from the compact form at *p; false when it cannot. */
static bool
write_file(const dlog_plan &pl, int i, const uint8_t **p, const uint8_t *end)
{
	int fd = open(pl.names[i].c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
	if (fd < 0)
		return false;
	auto put = [&](int64_t off, uint64_t n) {
		n = n < (uint64_t)(end - *p) ? n : (uint64_t)(end - *p);
		if (n == 0)
			return;
		uint8_t tmp[RBUFFER_META_SIZE];
		memcpy(tmp, *p, n);
		if (off == 0 && n >= 8) {
			uint64_t magic;
			memcpy(&magic, tmp, 8);
			if (magic != 0 && magic != RBUFFER_FILE_MAGIC) {
				magic = RBUFFER_FILE_MAGIC;
				memcpy(tmp, &magic, 8);
			}
		}
		if (pwrite(fd, tmp, n, off) != (ssize_t)n)
			abort();
		*p += n;
	};
	put(0, RBUFFER_META_SIZE);
	for (uint64_t k = 0; k < pl.nsegs && *p < end; k++) {
		int64_t seg = RBUFFER_FILE_HEADER_SIZE + (int64_t)k * RBUFFER_SEG_SIZE;
		put(seg, pl.prefix);
		put(seg + RBUFFER_SEG_DATASIZE, RBUFFER_SEG_HEADER_SIZE);
	}
	close(fd);
	return true;
}

/* Reads through ctx (NULL: the main reader) until it stops; the records. */
static uint64_t
drain(ox_rbuffer *r, ox_rbuffer_ctx *ctx, const char *who)
{
	const uint64_t cap = r->total_segs * r->max_recs;
	static char buf[8000 * 4];
	const int per = (int)(sizeof(buf) / r->chdr.rec_size);
	uint64_t got = 0;
	for (;;) {
		int n = ox_rbuffer_read(r, ctx, buf, per);
		if (n <= 0)
			break;
		DLOG_CHECK(n <= per, "%s read %d records into room for %d", who, n, per);
		got += (uint64_t)n;
		DLOG_CHECK(got <= cap, "%s delivered %lu records from a ring of %lu", who, (unsigned long)got,
				(unsigned long)cap);
	}
	return got;
}

static void
use(ox_rbuffer *r, const dlog_plan &pl)
{
	switch (pl.mode) {
	case 1:
		ox_rbuffer_setfailover(r);
		break;
	case 2:
		ox_rbuffer_setnofailover(r);
		break;
	case 3:
		ox_rbuffer_setnoresume(r);
		break;
	default:
		break;
	}
	ox_rbuffer_outstanding(r);
	drain(r, nullptr, "the main reader");

	ox_rbuffer_ctx *ctx = ox_rbuffer_getsetctx(r, nullptr, 0);
	if (ctx) {
		drain(r, ctx, "a context from the start");
		ox_rbuffer_seek(r, ctx, pl.seek, 1);
		drain(r, ctx, "a context after a seek");
		ox_rbuffer_getsetctx(r, ctx, 0);
		ox_rbuffer_seek(r, ctx, pl.seek < 0 ? -pl.seek : pl.seek, 0);
		drain(r, ctx, "a context after a forward seek");
		ox_rbuffer_closectx(ctx);
	}

	std::string recs((size_t)(pl.writes ? pl.writes : 1) * pl.cfg.rec_size, '\0');
	for (size_t i = 0; i < recs.size(); i++)
		recs[i] = (char)(i * 7 + 1);
	if (pl.writes > 0) {
		int n = ox_rbuffer_write(r, recs.data(), pl.writes);
		DLOG_CHECK(n <= pl.writes, "the writer stored %d of %d records", n, pl.writes);
	}
	ox_rbuffer_seek(r, nullptr, pl.seek, 1);
	drain(r, nullptr, "the main reader after writes");

	ctx = ox_rbuffer_getsetctx(r, nullptr, 2);
	if (ctx) {
		ox_rbuffer_seek(r, ctx, pl.seek < 0 ? pl.seek : -pl.seek, 1);
		ox_rbuffer_setstart(r, ctx);
		ox_rbuffer_closectx(ctx);
	}
	ox_rbuffer_log(r, OX_DEBUG);
}

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
	fuzz_logs_quiet();
	s_dir = fuzz_tmpdir("dlog");
	return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (s_dir.empty())
		LLVMFuzzerInitialize(nullptr, nullptr);
	if (size < 3)
		return 0;
	dlog_plan pl;
	memset(&pl.cfg, 0, sizeof(pl.cfg));
	pl.cfg.nfiles = (uint8_t)(1 + (data[0] & 3));
	pl.cfg.overwrite = (data[0] & 4) != 0;
	pl.cfg.trace = (data[0] & 8) != 0;
	pl.cfg.persist = true;
	pl.mode = (data[0] >> 4) & 3;
	pl.cfg.rec_size = kRecSizes[data[0] >> 6];
	pl.cfg.batch_size = 10;
	pl.nsegs = RBUFFER_MIN_SEGS + (data[1] & 3);
	pl.writes = (data[1] >> 2) * 4;
	pl.seek = (int8_t)data[2];
	pl.prefix = 2 * pl.cfg.rec_size < 160 ? 2 * pl.cfg.rec_size : 160;

	const uint8_t *p = data + 3;
	const uint8_t *end = data + size;
	for (int i = 0; i < pl.cfg.nfiles; i++) {
		pl.names[i] = s_dir + "/dlog." + std::to_string(i);
		pl.cfg.fname[i] = pl.names[i].c_str();
		pl.cfg.fsize[i] = (int64_t)(pl.nsegs * RBUFFER_SEG_SIZE);
		if (!write_file(pl, i, &p, end))
			abort();
	}

	ox_rbuffer *r = ox_rbuffer_init(&pl.cfg);
	if (r) {
		use(r, pl);
		ox_rbuffer_close(r);
		r = ox_rbuffer_init(&pl.cfg);
		DLOG_CHECK(r != nullptr, "the log it persisted itself was refused on the next open");
		drain(r, nullptr, "the main reader after a reopen");
		ox_rbuffer_close(r);
	}
	for (int i = 0; i < pl.cfg.nfiles; i++)
		unlink(pl.names[i].c_str());
	fuzz_logs_reset();
	return 0;
}
