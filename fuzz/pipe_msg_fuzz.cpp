/*
 * Named-pipe messages: the input is a run of 280-byte messages as the local
 * server writes them (a short last piece is completed with zero bytes, as a
 * short read is), each dispatched by ferry_namedpipe_dispatch from its own
 * exact-size heap copy (see fuzz_intake.h for what the shipper knows).
 *
 * A namespace message that disagrees with the configuration ends the process
 * by design (CRITICAL); the guard turns that into the end of the input.
 */
#include <cstring>

#include "fuzz_common.h"
#include "fuzz_intake.h"
#include "tamberlin/ferry_shared.h"

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
	fuzz_intake_setup();
	return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	fuzz_intake_begin();
	for (size_t at = 0; at < size; at += FERRY_MSG_SIZE) {
		size_t n = size - at < FERRY_MSG_SIZE ? size - at : FERRY_MSG_SIZE;
		uint8_t *msg = fuzz_copy(data + at, n);
		if (n < FERRY_MSG_SIZE) {
			// Grown to a whole message only when the piece is short, so a
			// whole one stays an exact copy.
			msg = (uint8_t *)realloc(msg, FERRY_MSG_SIZE);
			if (!msg)
				abort();
			memset(msg + n, 0, FERRY_MSG_SIZE - n);
		}
		bool went_on = fuzz_intake_dispatch((ferry_msg *)msg);
		free(msg);
		if (!went_on)
			break;
	}
	fuzz_intake_end();
	return 0;
}
