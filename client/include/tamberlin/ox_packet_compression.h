// Compressed database messages (protocol type 4): the whole uncompressed
// message, its own protocol header included, as one zlib stream behind a
// 16-byte head (protocol header, then org_sz in host order).
#pragma once

#include <cstddef>
#include <cstdint>

namespace ka {

#define OX_COMPRESSION_ZLIB 1
// The compressed stream must fit this scratch buffer; a larger one is not sent.
#define OX_COMPRESSION_SCRATCH_SZ 16384

// On 0 *out is a new heap buffer of *out_len bytes that the caller frees after
// sending; on -1 the caller sends the uncompressed message.
int ox_packet_compression(const uint8_t *msg, size_t len, uint8_t **out, size_t *out_len);
// msg: a compressed message whose protocol header is in host order and whose
// 8 + sz bytes are all present. On 0 *out is a new heap buffer of org_sz bytes
// (the caller frees it). -1 for a wrong type, a size out of range, or an
// inflated length other than org_sz; else zlib's error code.
int ox_packet_decompression(const uint8_t *msg, uint8_t **out);

// The sending engines' rule: with a threshold above 0 and below len, the
// message is compressed. On 1, *out/*out_len is the compressed message to send
// instead (the caller frees it); on 0 the original is sent. Either way
// *stat_in/*stat_out receive the pair for the cluster's running totals:
// (len, compressed length), or (len, len) when nothing was compressed.
int ox_compress_for_send(uint32_t threshold, const uint8_t *msg, size_t len, uint8_t **out, size_t *out_len,
                         uint64_t *stat_in, uint64_t *stat_out);

// argv: [0] mode byte*, [1] source length (u64*), [2] source, [3] destination
// capacity in / produced length out (u64*), [4] destination; ox_compress reads
// a level byte at [6] when argc is above 6 (zlib's default otherwise). -1 when
// argc is below 5.
int ox_compress(int argc, void **argv);
int ox_decompress(int argc, void **argv);

} // namespace ka
