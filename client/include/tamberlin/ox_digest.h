// The 20-byte record digest (RIPEMD-160 of set name and key) and its printing.
#pragma once

#include <cstdint>

namespace ka {

#define OX_DIGEST_SZ 20

typedef struct ox_digest_s {
    uint8_t digest[OX_DIGEST_SZ];
} ox_digest;

static_assert(sizeof(ox_digest) == OX_DIGEST_SZ);

// Writes "0x" and 40 lower-case hex digits and a NUL: out holds at least 43 bytes.
void ox_digest_string(const ox_digest *d, char *out);
// Two OX_DEBUG lines of ten bytes each.
void ox_digest_dump(const ox_digest *d);

} // namespace ka
