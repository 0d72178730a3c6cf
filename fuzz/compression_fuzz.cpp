/*
 * Compressed messages: the input is a compressed message (16-byte head, then
 * the zlib stream) given to ox_packet_decompression as an exact-size copy.
 * Its protocol size is set to the bytes really there, which is the call's
 * precondition (the reader checks it first), so mutations reach the type,
 * the original size and the stream rather than dying at the frame. The
 * input is also compressed for sending and inflated again, which must give
 * it back byte for byte.
 */
#include <cstdio>
#include <cstring>

#include "fuzz_common.h"
#include "tamberlin/ox_packet_compression.h"
#include "tamberlin/proto.h"

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
	fuzz_logs_quiet();
	return 0;
}

static void
round_trip(const uint8_t *data, size_t size)
{
	uint8_t *out = nullptr;
	size_t out_len = 0;
	uint64_t in_stat = 0, out_stat = 0;
	if (ka::ox_compress_for_send(1, data, size, &out, &out_len, &in_stat, &out_stat) != 1)
		return; // too small to compress, or over the scratch buffer
	fuzz_owned own_out(out);
	if (in_stat != size || out_stat != out_len || out_len < sizeof(ka_comp_proto)) {
		fprintf(stderr, "compression: statistics %lu/%lu for %zu -> %zu bytes\n", (unsigned long)in_stat,
				(unsigned long)out_stat, size, out_len);
		abort();
	}
	// As a receiver sees it: the protocol header turned to host order.
	uint8_t *msg = fuzz_copy(out, out_len);
	fuzz_owned own_msg(msg);
	ka_proto_swap(reinterpret_cast<ka_proto *>(msg));
	uint8_t *back = nullptr;
	int rv = ka::ox_packet_decompression(msg, &back);
	fuzz_owned own_back(back);
	if (rv != 0 || memcmp(back, data, size) != 0) {
		fprintf(stderr, "compression: %zu bytes do not come back (%d)\n", size, rv);
		abort();
	}
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size >= sizeof(ka_comp_proto)) {
		uint8_t *msg = fuzz_copy(data, size);
		fuzz_owned own(msg);
		auto *cp = reinterpret_cast<ka_comp_proto *>(msg);
		cp->proto.sz = size - sizeof(ka_proto);
		uint8_t *out = nullptr;
		if (ka::ox_packet_decompression(msg, &out) == 0) {
			// Exactly the original size: every byte of it is readable.
			volatile uint8_t sum = 0;
			for (uint64_t i = 0; i < cp->org_sz; i++)
				sum = (uint8_t)(sum + out[i]);
			free(out);
		}
	}
	round_trip(data, size);
	return 0;
}
