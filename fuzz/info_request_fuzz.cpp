/*
 * Requests to the shipper's own info port, as the bytes arrive on a
 * connection: each 8-byte header is converted and checked as the network
 * thread does (a size above the largest body is refused; a body shorter than
 * its header claims stays incomplete and is never answered), and each
 * complete request goes the worker's way: a wrong version or type is
 * dropped, types 0, 2 and 3 get the fixed 1024-byte reply, an info request
 * is answered by the grammar and every registered handler (statistics,
 * configuration lists, datacenters, set-config, log-set...).
 *
 * Every reply is checked: its header says version 2, type 1 and, in all 48
 * bits of its size, exactly the body's length; the body stays within the
 * reply cap. Up to four requests are taken from one input, as from one read.
 * The handlers run on this thread, as on the worker; what log-set changes is
 * undone after each input.
 *
 * Input: the bytes a client sends.
 */
#include <cstdio>
#include <cstring>

#include "../ferry/src/ferry_info_server.h"
#include "fuzz_common.h"
#include "tamberlin/dynbuf.h"
#include "tamberlin/ferry_info.h"

#define FUZZ_CHECK(cond)                                                                  \
	do {                                                                              \
		if (!(cond)) {                                                            \
			fprintf(stderr, "info_request: %s fails at line %d\n", #cond, __LINE__); \
			abort();                                                          \
		}                                                                         \
	} while (0)

static void
check_fixed_reply(void)
{
	uint8_t *m = ferry_make_msg(1024, 0);
	FUZZ_CHECK(m != nullptr);
	const uint8_t head[14] = {2, 3, 0, 0, 0, 0, 0x03, 0xF8, 22, 0, 0, 0, 0, 0};
	FUZZ_CHECK(memcmp(m, head, sizeof(head)) == 0);
	for (int i = 14; i < 1024; i++)
		FUZZ_CHECK(m[i] == 0);
	ferry_ox_free(m);
}

static void
answer(const uint8_t *host_hdr, const uint8_t *body, uint64_t sz)
{
	/* The request as the worker gets it: an exact heap copy, header first. */
	uint8_t *msgp = (uint8_t *)malloc(8 + sz);
	fuzz_owned own(msgp);
	memcpy(msgp, host_hdr, 8);
	if (sz > 0)
		memcpy(msgp + 8, body, sz);

	int kind = ferry_info_request_kind(msgp);
	if (kind == FERRY_INFO_REQ_DROP)
		return;
	if (kind == FERRY_INFO_REQ_FIXED) {
		check_fixed_reply();
		return;
	}
	ox_dyn_buf_define(db);
	FUZZ_CHECK(ferry_info_reply(msgp, &db) == 0);
	FUZZ_CHECK(db.used_sz >= 8);
	FUZZ_CHECK(db.buf[0] == 2 && db.buf[1] == 1);
	uint64_t claimed = 0;
	for (int i = 2; i < 8; i++)
		claimed = claimed << 8 | db.buf[i];
	FUZZ_CHECK(claimed == db.used_sz - 8);
	FUZZ_CHECK(db.used_sz <= (size_t)FERRY_INFO_REPLY_MAX + 8);
	ox_dyn_buf_free(&db);
}

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
	fuzz_logs_quiet();
	ferry_info_register_all();
	return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	uint8_t *copy = fuzz_copy(data, size);
	fuzz_owned own(copy);
	const uint8_t *p = copy, *end = copy + size;
	for (int n = 0; n < 4 && end - p >= 8; n++) {
		uint8_t host_hdr[8];
		int64_t sz = ferry_info_header_convert(p, host_hdr);
		if (sz < 0)
			break; /* refused at its header: the connection is closed */
		p += 8;
		if ((uint64_t)(end - p) < (uint64_t)sz)
			break; /* incomplete: never answered */
		answer(host_hdr, p, (uint64_t)sz);
		p += sz;
	}
	fuzz_logs_reset();
	return 0;
}
