// The digests tests make up: distinct for distinct numbers, the same on every
// call, and told apart from another test's by the last byte.
#pragma once

#include <cstdint>
#include <cstring>

#include "tamberlin/ox_digest.h"

// Bytes 0 to 7: n, little-endian (so a small n sets the partition bytes);
// byte 19: tag; every other byte 0.
inline ka::ox_digest
testkit_digest(uint64_t n, uint8_t tag)
{
	ka::ox_digest d;
	memset(d.digest, 0, sizeof(d.digest));
	for (int i = 0; i < 8; i++) {
		d.digest[i] = (uint8_t)(n >> (8 * i));
	}
	d.digest[sizeof(d.digest) - 1] = tag;
	return d;
}
