/*
 * A batch read's reply as one part reads it: protocol messages (plain or
 * compressed, in either framing) of record messages, each with its fields and
 * bins, up to the LAST mark. The callback checks what every record hands on.
 *
 * Input: byte 0 bit 0 an existence check instead of a read; then the reply
 * bytes, as an exact-size heap copy (the parser turns sizes in place).
 * The callback owns each record's values and frees them, as the shipper's does.
 */
#include <cstdlib>
#include <cstring>

#include "fuzz_common.h"
#include "tamberlin/ka_batch.h"
#include "tamberlin/tamberlin.h"

static int
check_record(char *ns, ka::ox_digest *keyd, char *set, uint32_t, uint32_t, ka_bin *bins, int n_bins, bool,
	     void *)
{
	// The namespace is the request's, a digest is always there, texts end
	// inside their buffers.
	if (!ns || strcmp(ns, "test") != 0 || !keyd || n_bins < 0 || (n_bins > 0 && !bins))
		abort();
	if (set && memchr(set, 0, KA_SET_NAME_SZ) == nullptr)
		abort();
	for (int i = 0; i < n_bins; i++) {
		if (memchr(bins[i].bin_name, 0, sizeof(bins[i].bin_name)) == nullptr)
			abort();
	}
	// The values are the callback's; the array stays the library's.
	tamberlin_bins_free(bins, n_bins);
	return 0;
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
	if (size < 1)
		return 0;
	bool exists_only = data[0] & 1;
	uint8_t *buf = fuzz_copy(data + 1, size - 1);
	fuzz_owned own(buf);
	char ns[] = "test";
	ka_batch_parse_reply(ns, exists_only, buf, size - 1, check_record, nullptr);
	return 0;
}
