/*
 * A single-record call's reply as the synchronous engine takes it: the whole
 * reply held in memory (protocol header, message header, body; plain or
 * compressed) through the same rules as a reply read from a connection, then
 * the bins, generation, set name and remaining time to live.
 *
 * Input: the reply bytes, as an exact-size heap copy.
 */
#include <cstdlib>
#include <cstring>

#include "fuzz_common.h"
#include "tamberlin/ka_request.h"
#include "tamberlin/tamberlin.h"

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
	fuzz_logs_quiet();
	return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	uint8_t *buf = fuzz_copy(data, size);
	fuzz_owned own(buf);
	ka_bin *bins = nullptr;
	int n_bins = 0;
	uint32_t generation = 0, ttl = 0;
	char set[KA_SET_NAME_SZ] = "";
	int rv = ka_request_parse_reply(buf, size, &bins, &n_bins, &generation, set, &ttl);
	// Whatever the result, a set name is terminated inside its buffer and
	// the bins (when any) are the caller's to free.
	if (rv >= 0 && memchr(set, 0, sizeof(set)) == nullptr)
		abort();
	if (bins) {
		tamberlin_bins_free(bins, n_bins);
		free(bins);
	} else if (n_bins != 0) {
		abort();
	}
	return 0;
}
