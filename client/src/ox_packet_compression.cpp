// Compression of database messages with zlib. A request is compressed into a
// 16 KB stack scratch buffer, so the heap is touched once, for the exact result.
#include "tamberlin/ox_packet_compression.h"

#include "tamberlin/ox_log.h"
#include "tamberlin/proto.h"

#include <cstdlib>
#include <cstring>
#include <zlib.h>

namespace ka {

int ox_compress(int argc, void **argv)
{
    KA_LOG_DEBUG("In ox_compress");
    if (argc < 5) {
        KA_LOG_DEBUG("ox_compress : In sufficient arguments\n");
        KA_LOG_DEBUG("Returned ox_compress : -1");
        return -1;
    }
    uint8_t mode = *static_cast<uint8_t *>(argv[0]);
    uint64_t src_len = *static_cast<uint64_t *>(argv[1]);
    uint64_t *dst_len = static_cast<uint64_t *>(argv[3]);
    // The level sits at index 6: a vector of 6 entries has none, so it gets
    // zlib's default rather than a read past its end.
    int level = argc > 6 ? *static_cast<uint8_t *>(argv[6]) : Z_DEFAULT_COMPRESSION;
    int rv = 0;
    if (mode == OX_COMPRESSION_ZLIB) {
        uLongf dl = static_cast<uLongf>(*dst_len);
        rv = compress2(static_cast<Bytef *>(argv[4]), &dl, static_cast<const Bytef *>(argv[2]),
                       static_cast<uLong>(src_len), level);
        *dst_len = dl;
    }
    KA_LOG_DEBUG("Returned ox_compress : %d", rv);
    return rv;
}

int ox_decompress(int argc, void **argv)
{
    KA_LOG_DEBUG("In ox_decompress");
    if (argc < 5) {
        KA_LOG_DEBUG("Returned ox_decompress : -1");
        return -1;
    }
    uint8_t mode = *static_cast<uint8_t *>(argv[0]);
    uint64_t src_len = *static_cast<uint64_t *>(argv[1]);
    uint64_t *dst_len = static_cast<uint64_t *>(argv[3]);
    int rv = 0;
    if (mode == OX_COMPRESSION_ZLIB) {
        uLongf dl = static_cast<uLongf>(*dst_len);
        rv = uncompress(static_cast<Bytef *>(argv[4]), &dl, static_cast<const Bytef *>(argv[2]),
                        static_cast<uLong>(src_len));
        *dst_len = dl;
    }
    KA_LOG_DEBUG("Returned ox_decompress : %d", rv);
    return rv;
}

int ox_packet_compression(const uint8_t *msg, size_t len, uint8_t **out, size_t *out_len)
{
    KA_LOG_DEBUG("In ox_packet_compression");
    uint8_t scratch[OX_COMPRESSION_SCRATCH_SZ];
    uint8_t mode = OX_COMPRESSION_ZLIB;
    uint64_t src_len = len, dst_len = sizeof(scratch);
    void *argv[] = {&mode, &src_len, const_cast<uint8_t *>(msg), &dst_len, scratch};
    if (ox_compress(5, argv) != Z_OK) {
        KA_LOG_DEBUG("Returned ox_packet_compression : -1");
        return -1;
    }
    size_t total = dst_len + sizeof(ka_comp_proto);
    uint8_t *buf = static_cast<uint8_t *>(calloc(1, total));
    *out = buf;
    if (!buf) {
        KA_LOG_DEBUG("ox_packet_compression : failed to allocte memory");
        KA_LOG_DEBUG("Returned ox_packet_compression : -1");
        return -1;
    }
    *out_len = total;
    buf[0] = KA_PROTO_VERSION;
    buf[1] = KA_PROTO_TYPE_KA_MSG_COMPRESSED;
    ka_be_put(buf + 2, dst_len + 8, 6);
    uint64_t org = len;
    memcpy(buf + 8, &org, 8);
    memcpy(buf + 16, scratch, dst_len);
    KA_LOG_DEBUG("Returned ox_packet_compression : 0");
    return 0;
}

int ox_compress_for_send(uint32_t threshold, const uint8_t *msg, size_t len, uint8_t **out, size_t *out_len,
                         uint64_t *stat_in, uint64_t *stat_out)
{
    *stat_in = len;
    *stat_out = len;
    if (threshold == 0 || len <= threshold)
        return 0;
    if (ox_packet_compression(msg, len, out, out_len) != 0)
        return 0; // failure is never fatal: the message goes out as it is
    *stat_out = *out_len;
    return 1;
}

int ox_packet_decompression(const uint8_t *msg, uint8_t **out)
{
    KA_LOG_DEBUG("In ox_packet_decompression");
    const ka_comp_proto *cp = reinterpret_cast<const ka_comp_proto *>(msg);
    if (cp->proto.type != KA_PROTO_TYPE_KA_MSG_COMPRESSED) {
        KA_LOG_DEBUG("ox_packet_decompression : Invalid input data");
        KA_LOG_DEBUG("Returned ox_packet_decompression : -1");
        return -1;
    }
    // The stated original size decides an allocation: it is bounded first.
    uint64_t org_sz = cp->org_sz;
    if (cp->proto.sz <= 8 || org_sz == 0 || org_sz > KA_MSG_MAX_BODY + 30) {
        KA_LOG_DEBUG("Returned ox_packet_decompression : -1");
        return -1;
    }
    uint8_t *buf = static_cast<uint8_t *>(calloc(1, org_sz));
    if (!buf)
        return -1;
    uint8_t mode = OX_COMPRESSION_ZLIB;
    uint64_t src_len = cp->proto.sz - 8, dst_len = org_sz;
    void *argv[] = {&mode, &src_len, const_cast<uint8_t *>(cp->data), &dst_len, buf};
    int rv = ox_decompress(5, argv);
    if (rv == Z_OK && dst_len != org_sz)
        rv = -1; // a stream shorter than it claims would leave zeroes as data
    if (rv != Z_OK)
        free(buf);
    else
        *out = buf;
    KA_LOG_DEBUG("Returned ox_packet_decompression : %d", rv);
    return rv;
}

} // namespace ka
