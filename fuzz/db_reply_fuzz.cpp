/*
 * The database reply parser, ka_parse, on the body directly: the fields and
 * ops after the 30-byte head, with the message header taken from the input.
 * The outputs vary as the callers use them: a new array of bins or of
 * operations, or the caller's own array filled by name, with or without the
 * transaction id and the set name.
 *
 * Input:
 *   byte 0  bit 0 operations instead of bins, bit 1 no transaction id,
 *           bit 2 no set name, bits 3-4 the caller's array (none, 1, 3 or 70
 *           bins), bit 5 no outputs at all
 *   22 bytes  the message header in wire order
 *   the body, as an exact-size heap copy
 */
#include <cstdio>
#include <cstring>

#include "fuzz_common.h"
#include "tamberlin/tamberlin.h"

static const int kCallerBins[4] = {0, 1, 3, 70};

static void
free_objects(ka_bin *bins, ka_operation *ops, int n)
{
	for (int i = 0; i < n; i++)
		tamberlin_object_free(bins ? &bins[i].object : &ops[i].bin.object);
}

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
	fuzz_logs_quiet();
	return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1 + sizeof(ka_msg))
		return 0;
	const uint8_t mode = data[0];
	ka_msg m;
	memcpy(&m, data + 1, sizeof(m));
	ka_msg_swap_header(&m);
	size_t len = size - 1 - sizeof(m);
	uint8_t *body = fuzz_copy(data + 1 + sizeof(m), len);
	fuzz_owned own(body);

	const bool as_ops = mode & 1;
	uint64_t trid = 0;
	char set[KA_SET_NAME_SZ];
	uint64_t *trid_p = (mode & 2) ? nullptr : &trid;
	char *set_p = (mode & 4) ? nullptr : set;
	int n_caller = kCallerBins[(mode >> 3) & 3];

	ka_bin caller_bins[70];
	ka_operation caller_ops[70];
	static const char *names[] = {"a", "ab", "b", "bin", ""};
	for (int i = 0; i < n_caller; i++) {
		ka_bin *b = as_ops ? &caller_ops[i].bin : &caller_bins[i];
		snprintf(b->bin_name, sizeof(b->bin_name), "%s%s", names[i % 5], i >= 5 ? "x" : "");
		tamberlin_object_init(&b->object);
		if (as_ops)
			caller_ops[i].op = KA_OP_READ;
	}
	ka_bin *bins = n_caller ? caller_bins : nullptr;
	ka_operation *ops = n_caller ? caller_ops : nullptr;
	int n = n_caller;

	int rv;
	if (mode & 32)
		rv = ka_parse(&m, body, len, nullptr, nullptr, nullptr, trid_p, set_p);
	else if (as_ops)
		rv = ka_parse(&m, body, len, nullptr, &ops, &n, trid_p, set_p);
	else
		rv = ka_parse(&m, body, len, &bins, nullptr, &n, trid_p, set_p);
	if (rv == 0 && set_p && memchr(set, 0, sizeof(set)) == nullptr) {
		fprintf(stderr, "db_reply: set name not terminated\n");
		abort();
	}
	if (rv == 0 && !(mode & 32)) {
		free_objects(as_ops ? nullptr : bins, as_ops ? ops : nullptr, n);
		if (as_ops ? ops != caller_ops && ops : bins != caller_bins && bins) {
			free(as_ops ? (void *)ops : (void *)bins);
		}
	}
	return 0;
}
