// The message codec: the two replication requests byte for byte, header
// bits, field order, buffers, the digest rule, and taking replies apart.
#include "tamberlin/tamberlin.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <string>
#include <vector>

namespace {

std::string hex(const uint8_t *p, size_t n)
{
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s.push_back(d[p[i] >> 4]);
        s.push_back(d[p[i] & 15]);
    }
    return s;
}

std::string unhex(const std::string &h)
{
    std::string s;
    for (size_t i = 0; i + 1 < h.size(); i += 2) {
        if (h[i] == ' ') {
            i--;
            continue;
        }
        s.push_back(static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16)));
    }
    return s;
}

std::string ripemd(const std::string &bytes)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(bytes.data(), bytes.size(), md, &len, EVP_ripemd160(), nullptr);
    return hex(md, len);
}

ka::ox_digest test_digest()
{
    ka::ox_digest d;
    for (int i = 0; i < 20; i++)
        d.digest[i] = static_cast<uint8_t>(0xA0 + i);
    return d;
}

struct Built {
    uint8_t stack[KA_MSG_STACK_BUF_SZ];
    uint8_t *buf = stack;
    size_t sz = sizeof(stack);
    int rv = 0;
    std::string bytes() const { return std::string(reinterpret_cast<const char *>(buf), sz); }
    ~Built()
    {
        if (buf != stack)
            free(buf);
    }
};

} // namespace

TEST(Codec, ReplicatedWriteIsByteExact)
{
    ka_write_parameters wp;
    ka_write_parameters_set_default(&wp);
    wp.generation = 99; // no generation flag: not sent
    wp.timeout_ms = 1000;
    wp.record_ttl = 3600;
    ka_bin bin;
    strcpy(bin.bin_name, "B");
    tamberlin_object_init_int(&bin.object, 7);
    ka::ox_digest d = test_digest();
    Built b;
    b.rv = ka_compile(KA_MSG_INFO1_FERRY, KA_MSG_INFO2_WRITE, 0, "nsp1", "set1", nullptr, &d, &bin, KA_OP_WRITE,
                      nullptr, 1, &b.buf, &b.sz, &wp, nullptr, 0x0102030405060708ull, nullptr);
    ASSERT_EQ(b.rv, 0);
    std::string expect = unhex("0203000000000060"
                               "161001000000"
                               "00000000"
                               "00000e10"
                               "000003e8"
                               "00040001"
                               "0000000500" + hex(reinterpret_cast<const uint8_t *>("nsp1"), 4) +
                               "0000000501" + hex(reinterpret_cast<const uint8_t *>("set1"), 4) +
                               "00000009070102030405060708"
                               "0000001504" + hex(d.digest, 20) +
                               "0000000d02010001" + hex(reinterpret_cast<const uint8_t *>("B"), 1) +
                               "0000000000000007"
                               "00");
    ASSERT_EQ(expect.size(), 104u);
    EXPECT_EQ(b.sz, 104u);
    EXPECT_EQ(hex(b.buf, b.sz), hex(reinterpret_cast<const uint8_t *>(expect.data()), expect.size()));
    EXPECT_EQ(b.buf, b.stack) << "fits the caller's buffer";
}

TEST(Codec, ReplicatedDeleteIsByteExact)
{
    ka_write_parameters wp;
    ka_write_parameters_set_default(&wp);
    wp.generation = 0;
    wp.timeout_ms = 1000;
    ka::ox_digest d = test_digest();
    Built b;
    b.rv = ka_compile(KA_MSG_INFO1_FERRY, KA_MSG_INFO2_WRITE | KA_MSG_INFO2_DELETE, 0, "nsp1", nullptr, nullptr, &d,
                      nullptr, KA_OP_WRITE, nullptr, 0, &b.buf, &b.sz, &wp, nullptr, 0, nullptr);
    ASSERT_EQ(b.rv, 0);
    std::string expect = unhex("0203000000000039"
                               "161003000000"
                               "00000000"
                               "00000000"
                               "000003e8"
                               "00020000"
                               "0000000500" + hex(reinterpret_cast<const uint8_t *>("nsp1"), 4) +
                               "0000001504" + hex(d.digest, 20) +
                               "00");
    ASSERT_EQ(expect.size(), 65u);
    EXPECT_EQ(hex(b.buf, b.sz), hex(reinterpret_cast<const uint8_t *>(expect.data()), expect.size()));
}

TEST(Codec, WriteParametersFirstTrueFlagWins)
{
    struct {
        const char *name;
        bool ka_write_parameters::*flag;
        bool ka_write_parameters::*also; // a later flag, also true: must not count
        int info2_bits, info3_bits;
        uint32_t gen_sent;
    } cases[] = {
        {"unique", &ka_write_parameters::unique, &ka_write_parameters::use_generation, KA_MSG_INFO2_CREATE_ONLY, 0, 0},
        {"unique_bin", &ka_write_parameters::unique_bin, &ka_write_parameters::update_only,
         KA_MSG_INFO2_BIN_CREATE_ONLY, 0, 0},
        {"update_only", &ka_write_parameters::update_only, &ka_write_parameters::replace_only, 0,
         KA_MSG_INFO3_UPDATE_ONLY, 0},
        {"create_or_replace", &ka_write_parameters::create_or_replace, &ka_write_parameters::use_generation_gt, 0,
         KA_MSG_INFO3_CREATE_OR_REPLACE, 0},
        {"replace_only", &ka_write_parameters::replace_only, &ka_write_parameters::bin_replace_only, 0,
         KA_MSG_INFO3_REPLACE_ONLY, 0},
        {"bin_replace_only", &ka_write_parameters::bin_replace_only, &ka_write_parameters::use_generation, 0,
         KA_MSG_INFO3_BIN_REPLACE_ONLY, 0},
        {"use_generation", &ka_write_parameters::use_generation, &ka_write_parameters::use_generation_dup,
         KA_MSG_INFO2_GENERATION, 0, 42},
        {"use_generation_gt", &ka_write_parameters::use_generation_gt, &ka_write_parameters::use_generation_dup,
         KA_MSG_INFO2_GENERATION_GT, 0, 42},
        {"use_generation_dup", &ka_write_parameters::use_generation_dup, nullptr, KA_MSG_INFO2_GENERATION_DUP, 0,
         42},
    };
    ka::ox_digest d = test_digest();
    for (const auto &c : cases) {
        ka_write_parameters wp;
        ka_write_parameters_set_default(&wp);
        wp.generation = 42;
        wp.timeout_ms = 7;
        wp.record_ttl = 9;
        wp.*c.flag = true;
        if (c.also)
            wp.*c.also = true;
        Built b;
        ASSERT_EQ(ka_compile(0, KA_MSG_INFO2_WRITE, 0, "n", nullptr, nullptr, &d, nullptr, KA_OP_WRITE, nullptr, 0,
                             &b.buf, &b.sz, &wp, nullptr, 0, nullptr),
                  0);
        EXPECT_EQ(b.buf[10], KA_MSG_INFO2_WRITE | c.info2_bits) << c.name;
        EXPECT_EQ(b.buf[11], c.info3_bits) << c.name;
        EXPECT_EQ(ka_be_get(b.buf + 14, 4), c.gen_sent) << c.name;
        EXPECT_EQ(ka_be_get(b.buf + 18, 4), 9u) << c.name;
        EXPECT_EQ(ka_be_get(b.buf + 22, 4), 7u) << c.name;
    }
    Built none; // no parameters: generation and both times 0
    ASSERT_EQ(ka_compile(0, 1, 0, "n", nullptr, nullptr, &d, nullptr, KA_OP_WRITE, nullptr, 0, &none.buf, &none.sz,
                         nullptr, nullptr, 0, nullptr),
              0);
    EXPECT_EQ(hex(none.buf + 14, 12), std::string(24, '0'));
}

TEST(Codec, FieldOrderAndCounts)
{
    // Every field at once: namespace, set, transaction id, scan options, key.
    char k[] = "key";
    ka_object key;
    tamberlin_object_init_str(&key, k);
    ka_scan_param_field scan = {0x11, 50};
    ka::ox_digest out;
    Built b;
    ASSERT_EQ(ka_compile(KA_MSG_INFO1_READ, 0, 0, "ns", "", &key, nullptr, nullptr, KA_OP_READ, nullptr, 0, &b.buf,
                         &b.sz, nullptr, &out, 5, &scan),
              0);
    std::string expect = unhex("0203" "000000000040" "160100000000" "000000000000000000000000" "00050000"
                               "00000003006e73"           // namespace "ns"
                               "0000000101"               // empty set: size 1, no data
                               "00000009070000000000000005" // transaction id 5
                               "0000000308" "1132"        // scan options
                               "000000050203" "6b6579"    // key: type byte 3, "key"
                               "00");                     // the scan field's size counts one byte more
    EXPECT_EQ(hex(b.buf, b.sz), hex(reinterpret_cast<const uint8_t *>(expect.data()), expect.size()));
    ka::ox_digest direct;
    ASSERT_EQ(tamberlin_calculate_digest(nullptr, &key, &direct), 0);
    EXPECT_EQ(hex(out.digest, 20), hex(direct.digest, 20)) << "empty set adds nothing to the digest";

    // Transaction id 0: no field, and n_fields counts only what was written.
    Built c;
    ka::ox_digest d = test_digest();
    ASSERT_EQ(ka_compile(0, 1, 0, "ns", "s", nullptr, &d, nullptr, KA_OP_WRITE, nullptr, 0, &c.buf, &c.sz, nullptr,
                         nullptr, 0, nullptr),
              0);
    EXPECT_EQ(ka_be_get(c.buf + 26, 2), 3u);
    EXPECT_EQ(c.sz, 30u + 7 + 6 + 26);
}

TEST(Codec, KeyFieldOfEachKeyKind)
{
    char text[] = "k1";
    uint8_t blob[3] = {9, 8, 7};
    struct {
        const char *what;
        ka_object key;
        std::string field; // the key field as sent: size, type 2, key type byte, bytes
    } cases[3];
    cases[0].what = "string";
    tamberlin_object_init_str(&cases[0].key, text);
    cases[0].field = unhex("00000004" "02" "03" "6b31");
    cases[1].what = "integer";
    tamberlin_object_init_int(&cases[1].key, -2);
    cases[1].field = unhex("0000000a" "02" "01" "fffffffffffffffe");
    cases[2].what = "map blob";
    tamberlin_object_init_blob2(&cases[2].key, blob, 3, KA_MAP);
    cases[2].field = unhex("00000005" "02" "13" "090807");
    for (const auto &c : cases) {
        Built b;
        ka::ox_digest out;
        ASSERT_EQ(ka_compile(KA_MSG_INFO1_READ, 0, 0, nullptr, "st", &c.key, nullptr, nullptr, KA_OP_READ, nullptr, 0,
                             &b.buf, &b.sz, nullptr, &out, 0, nullptr),
                  0)
            << c.what;
        EXPECT_EQ(hex(b.buf + 30 + 7, b.sz - 37), hex(reinterpret_cast<const uint8_t *>(c.field.data()), c.field.size()))
            << c.what;
        // The digest covers the set and exactly the key part of the field.
        EXPECT_EQ(hex(out.digest, 20), ripemd("st" + c.field.substr(5))) << c.what;
    }

    // A given digest replaces the computed one in the digest out.
    ka::ox_digest given = test_digest(), out;
    Built b;
    ASSERT_EQ(ka_compile(0, 1, 0, "n", nullptr, &cases[0].key, &given, nullptr, KA_OP_WRITE, nullptr, 0, &b.buf,
                         &b.sz, nullptr, &out, 0, nullptr),
              0);
    EXPECT_EQ(hex(out.digest, 20), hex(given.digest, 20));
}

TEST(Codec, OperationsCarryTheirOwnOperators)
{
    ka_operation ops[3];
    strcpy(ops[0].bin.bin_name, "r");
    tamberlin_object_init_null(&ops[0].bin.object);
    ops[0].op = KA_OP_READ;
    strcpy(ops[1].bin.bin_name, "n");
    tamberlin_object_init_int(&ops[1].bin.object, 3);
    ops[1].op = KA_OP_INCR;
    strcpy(ops[2].bin.bin_name, "t");
    tamberlin_object_init_str(&ops[2].bin.object, const_cast<char *>("xy"));
    ops[2].op = KA_OP_APPEND;
    ka::ox_digest d = test_digest();
    Built b;
    // The operator argument is ignored when operations are given.
    ASSERT_EQ(ka_compile(KA_MSG_INFO1_READ, KA_MSG_INFO2_WRITE, 0, nullptr, nullptr, nullptr, &d, nullptr,
                         KA_OP_MC_TOUCH, ops, 3, &b.buf, &b.sz, nullptr, nullptr, 0, nullptr),
              0);
    EXPECT_EQ(ka_be_get(b.buf + 26, 2), 1u);
    EXPECT_EQ(ka_be_get(b.buf + 28, 2), 3u);
    std::string expect = unhex("00000005" "01000001" "72"        // read "r", no value
                               "0000000d0501" "0001" "6e" "0000000000000003" // incr "n" by 3
                               "0000000709" "0300" "01" "74" "7879"          // append "xy" to "t"
                               "00");                                        // the digest field's extra byte
    EXPECT_EQ(hex(b.buf + 30 + 25, b.sz - 55), hex(reinterpret_cast<const uint8_t *>(expect.data()), expect.size()));
}

TEST(Codec, LargeMessageGoesToTheHeap)
{
    std::string big(20000, 'v');
    ka_bin bin;
    strcpy(bin.bin_name, "big");
    tamberlin_object_init_str2(&bin.object, &big[0], big.size());
    ka::ox_digest d = test_digest();
    Built b;
    ASSERT_EQ(ka_compile(0, 1, 0, "ns", nullptr, nullptr, &d, &bin, KA_OP_WRITE, nullptr, 1, &b.buf, &b.sz, nullptr,
                         nullptr, 0, nullptr),
              0);
    EXPECT_NE(b.buf, b.stack);
    EXPECT_EQ(b.sz, 30u + 7 + 26 + 8 + 3 + 20000);
    EXPECT_EQ(ka_be_get(b.buf + 2, 6), b.sz - 8);
}

TEST(Codec, CompileFailuresLeaveTheCallersBuffer)
{
    char k[] = "k";
    ka_object float_key;
    tamberlin_object_init_blob_type(&float_key, KA_FLOAT, k, 1);
    ka_bin good;
    strcpy(good.bin_name, "g");
    tamberlin_object_init_int(&good.object, 1);
    std::string big(20000, 'v');
    ka_bin bigbins[2];
    strcpy(bigbins[0].bin_name, "big");
    tamberlin_object_init_str2(&bigbins[0].object, &big[0], big.size());
    uint64_t cnt[2] = {1, 2};
    strcpy(bigbins[1].bin_name, "mc");
    tamberlin_object_init_blob(&bigbins[1].object, cnt, 8); // MC_INCR wants 16 bytes
    ka_bin floatbin;
    strcpy(floatbin.bin_name, "f");
    tamberlin_object_init_blob_type(&floatbin.object, KA_FLOAT, k, 1);
    ka_bin unterminated;
    memset(unterminated.bin_name, 'u', sizeof(unterminated.bin_name));
    tamberlin_object_init_int(&unterminated.object, 1);
    ka::ox_digest d = test_digest();

    struct {
        const char *what;
        const ka_object *key;
        const ka_bin *bins;
        ka_operator op;
        int n;
    } cases[] = {
        {"bad key type", &float_key, nullptr, KA_OP_WRITE, 0},
        {"bad key type, large message", &float_key, bigbins, KA_OP_WRITE, 1},
        {"unsendable bin", nullptr, &floatbin, KA_OP_WRITE, 1},
        {"op that cannot be built, large message", nullptr, bigbins, KA_OP_MC_INCR, 2},
        {"unknown operator", nullptr, &good, static_cast<ka_operator>(50), 1},
        {"negative count", nullptr, &good, KA_OP_WRITE, -1},
        {"count over 65535", nullptr, &good, KA_OP_WRITE, 65536},
        {"count without values", nullptr, nullptr, KA_OP_WRITE, 1},
        {"bin name without terminator", nullptr, &unterminated, KA_OP_WRITE, 1},
    };
    for (const auto &c : cases) {
        uint8_t stack[256];
        uint8_t *buf = stack;
        size_t sz = sizeof(stack);
        EXPECT_EQ(ka_compile(0, 1, 0, "ns", nullptr, c.key, c.key ? nullptr : &d, c.bins, c.op, nullptr, c.n, &buf,
                             &sz, nullptr, nullptr, 0, nullptr),
                  -1)
            << c.what;
        EXPECT_EQ(buf, stack) << c.what << ": the caller's buffer pointer is given back";
        EXPECT_EQ(sz, sizeof(stack)) << c.what;
    }
}

TEST(Digest, Ripemd160OfTheExactByteString)
{
    // The primitive against published RIPEMD-160 vectors.
    EXPECT_EQ(ripemd(""), "9c1185a5c5e9fc54612808977ee8f548b2258d31");
    EXPECT_EQ(ripemd("abc"), "8eb208f7e05d987a9b044a8e98c6b087f15a0bfc");
    EXPECT_EQ(ripemd("message digest"), "5d0689ef49d2fae572b881b123a85ffa21595f36");

    char s[] = "user42";
    uint8_t blob[3] = {0, 1, 2};
    struct {
        const char *set;
        ka_object key;
        std::string bytes; // hand-built input of the hash
    } cases[4];
    tamberlin_object_init_str(&cases[0].key, s);
    cases[0].set = "users";
    cases[0].bytes = std::string("users") + '\x03' + "user42";
    tamberlin_object_init_int(&cases[1].key, 0x0102);
    cases[1].set = nullptr;
    cases[1].bytes = std::string("\x01\0\0\0\0\0\0\x01\x02", 9);
    tamberlin_object_init_int(&cases[2].key, -1);
    cases[2].set = "";
    cases[2].bytes = std::string("\x01\xff\xff\xff\xff\xff\xff\xff\xff", 9);
    tamberlin_object_init_blob2(&cases[3].key, blob, 3, KA_PYTHON_BLOB);
    cases[3].set = "s";
    cases[3].bytes = std::string("s\x09\0\x01\x02", 5);
    for (const auto &c : cases) {
        ka::ox_digest d;
        ASSERT_EQ(tamberlin_calculate_digest(c.set, &c.key, &d), 0);
        EXPECT_EQ(hex(d.digest, 20), ripemd(c.bytes));
    }
    ka::ox_digest a, b;
    ASSERT_EQ(tamberlin_calculate_digest(nullptr, &cases[0].key, &a), 0);
    ASSERT_EQ(tamberlin_calculate_digest("", &cases[0].key, &b), 0);
    EXPECT_EQ(hex(a.digest, 20), hex(b.digest, 20)) << "NULL and empty set hash alike";

    for (int t : {KA_NULL, KA_FLOAT, KA_DIGEST, KA_ERLANG_BLOB, KA_TIMESTAMP}) {
        ka_object k;
        tamberlin_object_init_blob_type(&k, t, blob, 3);
        EXPECT_EQ(tamberlin_calculate_digest("s", &k, &a), -1) << t;
    }
}

// ---- parse ----------------------------------------------------------------

namespace {

// A reply body (fields then ops, wire order) and its header in host order.
struct Reply {
    ka_msg m = {};
    std::string body;
    Reply &field(int type, const std::string &data)
    {
        uint8_t sz[4];
        ka_be_put(sz, data.size() + 1, 4);
        body.append(reinterpret_cast<char *>(sz), 4);
        body.push_back(static_cast<char>(type));
        body += data;
        m.n_fields++;
        return *this;
    }
    Reply &op(int type, const std::string &name, const std::string &value)
    {
        uint8_t sz[4];
        ka_be_put(sz, 4 + name.size() + value.size(), 4);
        body.append(reinterpret_cast<char *>(sz), 4);
        body.push_back(1);
        body.push_back(static_cast<char>(type));
        body.push_back(0);
        body.push_back(static_cast<char>(name.size()));
        body += name + value;
        m.n_ops++;
        return *this;
    }
    int parse(ka_bin **bins, int *n, uint64_t *trid = nullptr, char *set = nullptr)
    {
        return ka_parse(&m, reinterpret_cast<uint8_t *>(&body[0]), body.size(), bins, nullptr, n, trid, set);
    }
};

std::string be8(uint64_t v)
{
    uint8_t b[8];
    ka_be_put(b, v, 8);
    return std::string(reinterpret_cast<char *>(b), 8);
}

} // namespace

TEST(Parse, NewArrayForMoreOpsThanBins)
{
    Reply r;
    r.field(KA_MSG_FIELD_TYPE_TRID, be8(77)).field(KA_MSG_FIELD_TYPE_SET, "myset");
    r.op(KA_INT, "a", be8(1)).op(KA_STR, "b", "two").op(KA_BLOB, "c", "333");
    ka_bin *bins = nullptr;
    int n = 0;
    uint64_t trid = 0;
    char set[KA_SET_NAME_SZ];
    ASSERT_EQ(r.parse(&bins, &n, &trid, set), 0);
    ASSERT_EQ(n, 3);
    EXPECT_EQ(trid, 77u);
    EXPECT_STREQ(set, "myset");
    EXPECT_STREQ(bins[0].bin_name, "a");
    EXPECT_EQ(bins[0].object.u.i64, 1);
    EXPECT_STREQ(bins[1].object.u.str, "two");
    EXPECT_EQ(bins[2].object.sz, 3u);
    tamberlin_bins_free(bins, n);
    free(bins);
}

TEST(Parse, CallersArrayIsFilledByExactName)
{
    Reply r;
    r.op(KA_INT, "ab", be8(5)).op(KA_INT, "c", be8(6));
    ka_bin mine[3];
    strcpy(mine[0].bin_name, "a"); // a prefix of "ab" must not match
    strcpy(mine[1].bin_name, "ab");
    strcpy(mine[2].bin_name, "c");
    for (auto &b : mine)
        tamberlin_object_init(&b.object);
    ka_bin *bins = mine;
    int n = 3;
    ASSERT_EQ(r.parse(&bins, &n), 0);
    EXPECT_EQ(bins, mine) << "nothing allocated";
    EXPECT_EQ(n, 3);
    EXPECT_EQ(mine[0].object.type, KA_NULL);
    EXPECT_EQ(mine[1].object.u.i64, 5);
    EXPECT_EQ(mine[2].object.u.i64, 6);

    Reply empty_set; // a zero-length set field gives the empty text
    empty_set.field(KA_MSG_FIELD_TYPE_SET, "");
    char set[KA_SET_NAME_SZ] = "junk";
    EXPECT_EQ(empty_set.parse(nullptr, nullptr, nullptr, set), 0);
    EXPECT_STREQ(set, "");
}

TEST(Parse, MalformedBodiesFailAndLeaveOutputsEmpty)
{
    std::string bad_field_sz = std::string("\0\0\x03\xe8\x01", 5) + "s";
    struct {
        const char *what;
        Reply r;
        int n_fields_adjust, n_ops_adjust;
        size_t cut; // bytes cut from the end of the body
    } cases[] = {
        {"field past the body", Reply().field(KA_MSG_FIELD_TYPE_SET, "abcdef"), 0, 0, 3},
        {"field count past the body", Reply().field(KA_MSG_FIELD_TYPE_SET, "x"), 5, 0, 0},
        {"op past the body", Reply().op(KA_INT, "a", be8(1)).op(KA_STR, "b", "xyz"), 0, 0, 2},
        {"op count past the body", Reply().op(KA_INT, "a", be8(1)), 0, 1000, 0},
        {"second op name 32 bytes", Reply().op(KA_STR, "a", "x").op(KA_INT, std::string(32, 'n'), be8(1)), 0, 0, 0},
        {"unknown particle type after a good op", Reply().op(KA_STR, "a", "x").op(99, "b", "y"), 0, 0, 0},
        {"integer of 9 bytes", Reply().op(KA_STR, "a", "x").op(KA_INT, "b", std::string(9, '\1')), 0, 0, 0},
        {"trid field of 3 bytes", Reply().field(KA_MSG_FIELD_TYPE_TRID, "abc"), 0, 0, 0},
        {"set name over the buffer", Reply().field(KA_MSG_FIELD_TYPE_SET, std::string(KA_SET_NAME_SZ, 's')), 0, 0, 0},
        {"good fields, then a bad op",
         Reply().field(KA_MSG_FIELD_TYPE_TRID, be8(77)).field(KA_MSG_FIELD_TYPE_SET, "myset").op(99, "b", "y"), 0, 0,
         0},
        {"good fields, then a bad field",
         Reply().field(KA_MSG_FIELD_TYPE_TRID, be8(77)).field(KA_MSG_FIELD_TYPE_SET, "myset").field(
             KA_MSG_FIELD_TYPE_TRID, "abc"),
         0, 0, 0},
    };
    for (auto &c : cases) {
        c.r.m.n_fields = static_cast<uint16_t>(c.r.m.n_fields + c.n_fields_adjust);
        c.r.m.n_ops = static_cast<uint16_t>(c.r.m.n_ops + c.n_ops_adjust);
        c.r.body.resize(c.r.body.size() - c.cut);
        // Heap copy of exactly the body, so ASan sees any read past it.
        std::vector<uint8_t> body(c.r.body.begin(), c.r.body.end());
        ka_bin *bins = nullptr;
        int n = 0;
        uint64_t trid = 0;
        char set[KA_SET_NAME_SZ] = "untouched";
        EXPECT_EQ(ka_parse(&c.r.m, body.data(), body.size(), &bins, nullptr, &n, &trid, set), -1) << c.what;
        EXPECT_EQ(bins, nullptr) << c.what;
        EXPECT_EQ(n, 0) << c.what;
        EXPECT_EQ(trid, 0u) << c.what;
        EXPECT_STREQ(set, "untouched") << c.what;
    }

    // Into the caller's array: values filled before the failure are given back.
    Reply r;
    r.op(KA_STR, "a", "filled").op(KA_INT, "b", std::string(9, '\1'));
    ka_bin mine[2];
    strcpy(mine[0].bin_name, "a");
    strcpy(mine[1].bin_name, "b");
    tamberlin_object_init(&mine[0].object);
    tamberlin_object_init(&mine[1].object);
    ka_bin *bins = mine;
    int n = 2;
    EXPECT_EQ(r.parse(&bins, &n), -1);
    EXPECT_EQ(mine[0].object.free, nullptr);
    EXPECT_EQ(mine[0].object.type, KA_NULL);
}

TEST(Parse, WithoutOutputsOnlyFieldsAreRead)
{
    Reply r;
    r.field(KA_MSG_FIELD_TYPE_TRID, be8(9)).op(KA_INT, "a", be8(1));
    uint64_t trid = 0;
    EXPECT_EQ(ka_parse(&r.m, reinterpret_cast<uint8_t *>(&r.body[0]), r.body.size(), nullptr, nullptr, nullptr, &trid,
                       nullptr),
              0);
    EXPECT_EQ(trid, 9u);
    Reply short_body;
    short_body.m.n_fields = 1;
    short_body.body = "abc";
    EXPECT_EQ(short_body.parse(nullptr, nullptr), -1);
}

TEST(Swap, HeaderAndWholeMessage)
{
    ka::ox_digest d = test_digest();
    ka_bin bins[2];
    strcpy(bins[0].bin_name, "x");
    tamberlin_object_init_int(&bins[0].object, 3);
    strcpy(bins[1].bin_name, "yy");
    tamberlin_object_init_str(&bins[1].object, const_cast<char *>("abc"));
    Built b;
    ASSERT_EQ(ka_compile(0, 1, 0, "ns", "st", nullptr, &d, bins, KA_OP_WRITE, nullptr, 2, &b.buf, &b.sz, nullptr,
                         nullptr, 0, nullptr),
              0);
    qm_msg *q = reinterpret_cast<qm_msg *>(b.buf);
    ka_proto_swap(&q->proto);
    EXPECT_EQ(q->proto.sz, b.sz - 8);
    ka_msg_swap_header(&q->m);
    EXPECT_EQ(int(q->m.n_fields), 3);
    EXPECT_EQ(int(q->m.n_ops), 2);
    ka_msg_swap_fields_and_ops(&q->m);
    const uint8_t *p = q->m.data;
    uint32_t sz;
    memcpy(&sz, p, 4);
    EXPECT_EQ(sz, 3u); // namespace "ns" in host order now
    p += 4 + 3 + 4 + 3 + 4 + 21;
    memcpy(&sz, p, 4);
    EXPECT_EQ(sz, 13u);
    p += 4 + 13;
    memcpy(&sz, p, 4);
    EXPECT_EQ(sz, 9u);
}
