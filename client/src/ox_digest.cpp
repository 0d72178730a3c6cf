// Digest printing for log lines.
#include "tamberlin/ox_digest.h"

#include "tamberlin/ox_log.h"

namespace ka {

void ox_digest_string(const ox_digest *d, char *out)
{
    static const char hex[] = "0123456789abcdef";
    out[0] = '0';
    out[1] = 'x';
    for (int i = 0; i < OX_DIGEST_SZ; i++) {
        out[2 + 2 * i] = hex[d->digest[i] >> 4];
        out[3 + 2 * i] = hex[d->digest[i] & 0xF];
    }
    out[2 + 2 * OX_DIGEST_SZ] = '\0';
}

void ox_digest_dump(const ox_digest *d)
{
    const uint8_t *b = d->digest;
    for (int half = 0; half < 2; half++, b += 10)
        KA_LOG_DEBUG("%02x %02x %02x %02x : %02x %02x %02x %02x : %02x %02x", b[0], b[1], b[2], b[3],
                     b[4], b[5], b[6], b[7], b[8], b[9]);
}

} // namespace ka
