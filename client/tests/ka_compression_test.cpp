// Compressed messages: framing, round trip, the stream limit and argument checks.
#include "tamberlin/ox_packet_compression.h"
#include "tamberlin/tamberlin.h"

#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>
#include <zlib.h>

namespace {

// A compiled write of `value_len` repetitive bytes, as the engines would send it.
std::vector<uint8_t> request_of(size_t value_len, bool random_bytes = false)
{
    std::string v(value_len, 'r');
    if (random_bytes) {
        std::mt19937 g(7);
        for (auto &c : v)
            c = static_cast<char>(g());
    }
    ka_bin bin;
    strcpy(bin.bin_name, "v");
    tamberlin_object_init_blob(&bin.object, &v[0], v.size());
    ka::ox_digest d = {};
    uint8_t stack[KA_MSG_STACK_BUF_SZ];
    uint8_t *buf = stack;
    size_t sz = sizeof(stack);
    EXPECT_EQ(ka_compile(0, 1, 0, "ns", nullptr, nullptr, &d, &bin, KA_OP_WRITE, nullptr, 1, &buf, &sz, nullptr,
                         nullptr, 0, nullptr),
              0);
    std::vector<uint8_t> out(buf, buf + sz);
    if (buf != stack)
        free(buf);
    return out;
}

} // namespace

TEST(Compression, RequestRoundTripsWithItsFraming)
{
    std::vector<uint8_t> req = request_of(2000 - 72);
    ASSERT_EQ(req.size(), 2000u);
    uint8_t *out = nullptr;
    size_t out_len = 0;
    ASSERT_EQ(ka::ox_packet_compression(req.data(), req.size(), &out, &out_len), 0);
    EXPECT_EQ(out[0], 2);
    EXPECT_EQ(out[1], KA_PROTO_TYPE_KA_MSG_COMPRESSED);
    EXPECT_EQ(ka_be_get(out + 2, 6), out_len - 8) << "size = stream length + 8";
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out + 8), 8), std::string("\xd0\x07\0\0\0\0\0\0", 8))
        << "2000 little-endian";
    EXPECT_LT(out_len, req.size());

    // The stream is plain zlib of the whole message, header included.
    std::vector<uint8_t> plain(req.size());
    uLongf plen = plain.size();
    ASSERT_EQ(uncompress(plain.data(), &plen, out + 16, out_len - 16), Z_OK);
    EXPECT_EQ(plen, req.size());
    EXPECT_EQ(plain, req);

    // And the library's own inflater gives back the exact bytes.
    ka_proto_swap(reinterpret_cast<ka_proto *>(out));
    uint8_t *back = nullptr;
    ASSERT_EQ(ka::ox_packet_decompression(out, &back), 0);
    EXPECT_EQ(std::vector<uint8_t>(back, back + req.size()), req);
    free(back);
    free(out);
}

TEST(Compression, StreamOverTheScratchBufferIsNotCompressed)
{
    std::vector<uint8_t> req = request_of(40000, true); // random bytes do not shrink
    uint8_t *out = reinterpret_cast<uint8_t *>(0x1);
    size_t out_len = 0;
    EXPECT_EQ(ka::ox_packet_compression(req.data(), req.size(), &out, &out_len), -1);
    EXPECT_EQ(out, reinterpret_cast<uint8_t *>(0x1)) << "out left as the caller set it";
}

TEST(Compression, DecompressionChecks)
{
    std::vector<uint8_t> req = request_of(3000);
    uint8_t *c = nullptr;
    size_t clen = 0;
    ASSERT_EQ(ka::ox_packet_compression(req.data(), req.size(), &c, &clen), 0);
    std::vector<uint8_t> good(c, c + clen);
    free(c);
    ka_proto_swap(reinterpret_cast<ka_proto *>(good.data()));

    struct {
        const char *what;
        void (*spoil)(std::vector<uint8_t> &);
        int want_nonzero;
    } cases[] = {
        {"type 3", [](std::vector<uint8_t> &m) { m[1] = 3; }, -1},
        {"original size 10 too large", [](std::vector<uint8_t> &m) { m[8] = static_cast<uint8_t>(m[8] + 10); }, -1},
        {"original size 2^40", [](std::vector<uint8_t> &m) { m[13] = 1; }, -1},
        {"stream cut short",
         [](std::vector<uint8_t> &m) {
             m.resize(16 + (m.size() - 16) / 2);
             reinterpret_cast<ka_proto *>(m.data())->sz = m.size() - 8;
         },
         1},
        {"no stream",
         [](std::vector<uint8_t> &m) {
             m.resize(16);
             reinterpret_cast<ka_proto *>(m.data())->sz = 8;
         },
         -1},
    };
    for (const auto &cs : cases) {
        std::vector<uint8_t> m = good;
        cs.spoil(m);
        uint8_t *out = nullptr;
        int rv = ka::ox_packet_decompression(m.data(), &out);
        EXPECT_NE(rv, 0) << cs.what;
        if (cs.want_nonzero == -1) {
            EXPECT_EQ(rv, -1) << cs.what;
        }
        EXPECT_EQ(out, nullptr) << cs.what;
    }
}

TEST(Compression, ArgumentCounts)
{
    uint8_t mode = OX_COMPRESSION_ZLIB;
    const char src[] = "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";
    uint64_t src_len = sizeof(src), dst_len = 100;
    uint8_t dst[100];
    void *argv[7] = {&mode, &src_len, const_cast<char *>(src), &dst_len, dst, nullptr, nullptr};
    EXPECT_EQ(ka::ox_compress(4, argv), -1);
    EXPECT_EQ(dst_len, 100u) << "nothing compressed";
    EXPECT_EQ(ka::ox_decompress(4, argv), -1);
    // Six entries hold no level: the default is used, nothing is read past them.
    void **six = static_cast<void **>(malloc(6 * sizeof(void *)));
    memcpy(six, argv, 6 * sizeof(void *));
    EXPECT_EQ(ka::ox_compress(6, six), Z_OK);
    free(six);
    uint8_t bad_level = 42; // zlib refuses it: proof that entry 6 is read with 7 entries
    argv[6] = &bad_level;
    dst_len = 100;
    EXPECT_EQ(ka::ox_compress(7, argv), Z_STREAM_ERROR);
    uint8_t level = 9;
    argv[6] = &level;
    dst_len = 100;
    EXPECT_EQ(ka::ox_compress(7, argv), Z_OK);
    uint64_t made = dst_len;
    uint8_t back[100];
    uint64_t back_len = sizeof(back);
    void *dargv[5] = {&mode, &made, dst, &back_len, back};
    EXPECT_EQ(ka::ox_decompress(5, dargv), Z_OK);
    EXPECT_EQ(back_len, sizeof(src));
    uint8_t other = 2; // another mode does nothing and succeeds
    dargv[0] = &other;
    back_len = 1;
    EXPECT_EQ(ka::ox_decompress(5, dargv), 0);
    EXPECT_EQ(back_len, 1u);
}

TEST(Compression, ThresholdDecidesAndCounts)
{
    std::vector<uint8_t> req = request_of(2000 - 72);
    std::vector<uint8_t> noisy = request_of(40000, true);
    struct {
        uint32_t threshold;
        const std::vector<uint8_t> *msg;
        bool compressed;
    } cases[] = {
        {1000, &req, true},   {1999, &req, true},   {2000, &req, false}, // exactly the threshold: not compressed
        {0, &req, false},                                                // 0: never
        {100, &noisy, false},                                            // stream over 16 KB: sent as it is
    };
    for (const auto &c : cases) {
        uint8_t *out = nullptr;
        size_t out_len = 0;
        uint64_t in_stat = 0, out_stat = 0;
        int rv = ka::ox_compress_for_send(c.threshold, c.msg->data(), c.msg->size(), &out, &out_len, &in_stat,
                                          &out_stat);
        EXPECT_EQ(rv, c.compressed ? 1 : 0) << c.threshold;
        EXPECT_EQ(in_stat, c.msg->size());
        if (c.compressed) {
            EXPECT_EQ(out_stat, out_len);
            EXPECT_EQ(out[1], KA_PROTO_TYPE_KA_MSG_COMPRESSED);
            uint64_t org;
            memcpy(&org, out + 8, 8);
            EXPECT_EQ(org, c.msg->size());
            free(out);
        } else {
            EXPECT_EQ(out_stat, c.msg->size());
        }
    }
}
