// Values and bins: reading reply ops, writing ops, copies and ownership.
#include "tamberlin/tamberlin.h"

#include <gtest/gtest.h>
#include <string>

namespace {

// One reply op in host order, built byte by byte: 8-byte header, name, value.
struct OpBytes {
    alignas(8) uint8_t b[128] = {};
    ka_msg_op *op() { return reinterpret_cast<ka_msg_op *>(b); }
    OpBytes(int type, const std::string &name, const std::string &value, int size_adjust = 0)
    {
        op()->op_sz = static_cast<uint32_t>(4 + name.size() + value.size() + size_adjust);
        op()->op = KA_MSG_OP_READ;
        op()->particle_type = static_cast<uint8_t>(type);
        op()->name_sz = static_cast<uint8_t>(name.size());
        memcpy(b + 8, name.data(), name.size());
        memcpy(b + 8 + name.size(), value.data(), value.size());
    }
};

std::string bytes(std::initializer_list<int> l)
{
    std::string s;
    for (int v : l)
        s.push_back(static_cast<char>(v));
    return s;
}

} // namespace

TEST(Values, IntegerDecoding)
{
    struct {
        std::string value;
        int rv;
        int64_t expect;
    } cases[] = {
        {bytes({0, 0, 0, 0, 0, 0, 1, 0}), 0, 256},
        {bytes({0x05}), 0, 5},
        {bytes({0x01, 0x00}), 0, 256},
        {bytes({0xFF}), 0, -1},
        {bytes({0xFF, 0xFE}), 0, -2},
        {bytes({0x80, 0x00, 0x00}), 0, -8388608},
        {bytes({0x7F}), 0, 127},
        {bytes({0x7F, 0xFF, 0xFF, 0xFF}), 0, 0x7FFFFFFF},
        {bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x85}), 0, -123},
        {"", 0, 0},
        {bytes({1, 2, 3, 4, 5, 6, 7, 8, 9}), -1, 0},
    };
    for (const auto &c : cases) {
        OpBytes ob(KA_INT, "n", c.value);
        ka_object o;
        EXPECT_EQ(set_object(ob.op(), &o), c.rv) << c.value.size() << " bytes";
        EXPECT_EQ(o.type, KA_INT);
        EXPECT_EQ(o.free, nullptr);
        if (c.rv == 0) {
            EXPECT_EQ(o.u.i64, c.expect) << c.value.size() << " bytes";
        }
    }
}

TEST(Values, ReadOfEveryType)
{
    // type, readable from a reply
    struct {
        int type;
        bool readable;
        bool terminated;
    } cases[] = {
        {KA_NULL, true, false},         {KA_STR, true, true},         {KA_BLOB, true, false},
        {KA_JAVA_BLOB, true, false},    {KA_CSHARP_BLOB, true, false}, {KA_PYTHON_BLOB, true, false},
        {KA_RUBY_BLOB, true, false},    {KA_PHP_BLOB, true, false},   {KA_MAP, true, false},
        {KA_LIST, true, false},         {KA_FLOAT, false, false},     {KA_TIMESTAMP, false, false},
        {KA_DIGEST, false, false},      {KA_ERLANG_BLOB, false, false}, {KA_LUA_BLOB, false, false},
        {KA_RTA_LIST, false, false},    {99, false, false},
    };
    for (const auto &c : cases) {
        std::string v = c.type == KA_NULL ? "" : "hello";
        OpBytes ob(c.type, "bin", v);
        ka_object o;
        int rv = set_object(ob.op(), &o);
        EXPECT_EQ(rv, c.readable ? 0 : -1) << "type " << c.type;
        EXPECT_EQ(static_cast<int>(o.type), c.type);
        if (rv == 0 && c.type != KA_NULL) {
            EXPECT_EQ(o.sz, 5u);
            ASSERT_NE(o.free, nullptr);
            EXPECT_EQ(o.u.blob, o.free);
            EXPECT_EQ(memcmp(o.u.blob, "hello", 5), 0);
            if (c.terminated) {
                EXPECT_EQ(o.u.str[5], '\0');
            }
        }
        tamberlin_object_free(&o);
    }
}

TEST(Values, NegativeValueLengthIsRejected)
{
    OpBytes ob(KA_STR, "name", "", -3);
    ka_object o;
    EXPECT_EQ(set_object(ob.op(), &o), -1);
    EXPECT_EQ(o.free, nullptr);
    OpBytes oi(KA_INT, "name", "", -1);
    EXPECT_EQ(set_object(oi.op(), &o), -1);
}

TEST(Values, BinNamesMustLeaveRoomForTheTerminator)
{
    ka_bin b;
    memset(&b, 0x5A, sizeof(b));
    OpBytes ok(KA_INT, std::string(31, 'n'), bytes({7}));
    EXPECT_EQ(ka_set_value_particular(ok.op(), &b), 0);
    EXPECT_EQ(std::string(b.bin_name), std::string(31, 'n'));
    EXPECT_EQ(b.object.u.i64, 7);
    for (size_t len : {32, 33}) {
        ka_bin untouched;
        memset(&untouched, 0x5A, sizeof(untouched));
        OpBytes bad(KA_INT, std::string(len, 'n'), bytes({7}));
        EXPECT_EQ(ka_set_value_particular(bad.op(), &untouched), -1);
        EXPECT_EQ(static_cast<unsigned char>(untouched.bin_name[0]), 0x5Au) << len;
    }
}

TEST(Values, ValueToOpWritesHeaderNameAndValue)
{
    ka_bin b;
    strcpy(b.bin_name, "b");
    tamberlin_object_init_int(&b.object, 1);
    alignas(8) uint8_t buf[64] = {};
    ASSERT_EQ(ka_value_to_op(&b, KA_OP_WRITE, nullptr, reinterpret_cast<ka_msg_op *>(buf)), 0);
    uint32_t op_sz;
    memcpy(&op_sz, buf, 4);
    EXPECT_EQ(op_sz, 13u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf + 4), 13), bytes({2, 1, 0, 1, 'b', 0, 0, 0, 0, 0, 0, 0, 1}));

    // Operator mapping, from an operation.
    struct {
        ka_operator op;
        int code;
    } ops[] = {{KA_OP_WRITE, 2},     {KA_OP_READ, 1},       {KA_OP_INCR, 5},       {KA_OP_MC_INCR, 129},
               {KA_OP_PREPEND, 10},  {KA_OP_APPEND, 9},     {KA_OP_MC_PREPEND, 131}, {KA_OP_MC_APPEND, 130},
               {KA_OP_TOUCH, 11},    {KA_OP_MC_TOUCH, 132}, {static_cast<ka_operator>(77), -1}};
    for (const auto &c : ops) {
        ka_operation o;
        strcpy(o.bin.bin_name, "x");
        tamberlin_object_init_str(&o.bin.object, const_cast<char *>("abc"));
        o.op = c.op;
        int rv = ka_value_to_op(nullptr, KA_OP_READ, &o, reinterpret_cast<ka_msg_op *>(buf));
        if (c.code < 0) {
            EXPECT_EQ(rv, -1);
            continue;
        }
        EXPECT_EQ(rv, 0);
        EXPECT_EQ(buf[4], c.code) << c.op;
    }
}

TEST(Values, McIncrBlobMustBeSixteenBytes)
{
    uint64_t counters[2] = {0x0102030405060708ull, 3};
    ka_bin b;
    strcpy(b.bin_name, "c");
    tamberlin_object_init_blob(&b.object, counters, 16);
    alignas(8) uint8_t buf[64] = {};
    ASSERT_EQ(ka_value_to_op(&b, KA_OP_MC_INCR, nullptr, reinterpret_cast<ka_msg_op *>(buf)), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf + 9), 16),
              bytes({1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0, 0, 0, 0, 3}));
    for (size_t sz : {0, 8, 15, 17}) {
        tamberlin_object_init_blob(&b.object, counters, sz);
        EXPECT_EQ(ka_value_to_op(&b, KA_OP_MC_INCR, nullptr, reinterpret_cast<ka_msg_op *>(buf)), -1) << sz;
    }
}

TEST(Values, SendSizesAndCopies)
{
    // type, sendable (size known), copyable
    struct {
        int type;
        bool send;
        bool copy;
    } cases[] = {
        {KA_NULL, true, true},   {KA_INT, true, true},     {KA_STR, true, true},        {KA_BLOB, true, true},
        {KA_MAP, true, true},    {KA_LIST, true, true},    {KA_PHP_BLOB, true, true},   {KA_DIGEST, false, true},
        {KA_FLOAT, false, false}, {KA_TIMESTAMP, false, false}, {KA_ERLANG_BLOB, false, false},
        {KA_LUA_BLOB, false, false},
    };
    char data[] = "0123456789";
    for (const auto &c : cases) {
        ka_bin b;
        strcpy(b.bin_name, "v");
        tamberlin_object_init_blob_type(&b.object, c.type, data, 10);
        if (c.type == KA_INT)
            tamberlin_object_init_int(&b.object, 5);
        if (c.type == KA_NULL)
            tamberlin_object_init_null(&b.object);
        size_t sz = 100;
        EXPECT_EQ(ka_value_to_op_get_size(&b, &sz), c.send ? 0 : -1) << c.type;
        if (c.send) {
            EXPECT_EQ(sz, 100u + (c.type == KA_NULL ? 0 : c.type == KA_INT ? 8 : 10)) << c.type;
        }
        ka_bin copy;
        int rv = tamberlin_copy_bin(&copy, &b);
        EXPECT_EQ(rv, c.copy ? 0 : -1) << c.type;
        if (rv == 0) {
            EXPECT_STREQ(copy.bin_name, "v");
            EXPECT_EQ(copy.object.type, b.object.type);
            if (c.type == KA_INT) {
                EXPECT_EQ(copy.object.u.i64, 5);
                EXPECT_EQ(copy.object.free, nullptr);
            } else if (c.type != KA_NULL) {
                EXPECT_NE(copy.object.u.blob, static_cast<void *>(data)) << "a deep copy";
                EXPECT_EQ(copy.object.u.blob, copy.object.free);
                EXPECT_EQ(memcmp(copy.object.u.blob, data, 10), 0);
            }
            tamberlin_object_free(&copy.object);
            tamberlin_object_free(&copy.object); // twice frees once
            EXPECT_EQ(copy.object.free, nullptr);
        }
    }
}

TEST(Values, InitNeverCopies)
{
    char text[] = "text";
    ka_object o;
    tamberlin_object_init_str(&o, text);
    EXPECT_EQ(o.u.str, text);
    EXPECT_EQ(o.sz, 4u);
    EXPECT_EQ(o.free, nullptr);
    tamberlin_object_init_blob2(&o, text, 2, KA_JAVA_BLOB);
    EXPECT_EQ(o.type, KA_JAVA_BLOB);
    EXPECT_EQ(o.sz, 2u);
    tamberlin_object_init_str2(&o, text, 3);
    EXPECT_EQ(o.sz, 3u);
    tamberlin_object_init(&o);
    EXPECT_EQ(o.type, KA_NULL);
    EXPECT_EQ(o.sz, 0u);
}

TEST(Values, CopyBinsUndoesAPartialCopy)
{
    ka_bin src[3];
    char s[] = "abc";
    strcpy(src[0].bin_name, "a");
    tamberlin_object_init_str(&src[0].object, s);
    strcpy(src[1].bin_name, "b");
    tamberlin_object_init_blob(&src[1].object, s, 3);
    strcpy(src[2].bin_name, "c");
    tamberlin_object_init_blob_type(&src[2].object, KA_FLOAT, s, 3);
    ka_bin *out = reinterpret_cast<ka_bin *>(0x1);
    EXPECT_EQ(tamberlin_copy_bins(&out, src, 3), -1);
    EXPECT_EQ(out, reinterpret_cast<ka_bin *>(0x1)) << "nothing stored on failure";
    // (ASan's leak check proves the first two copies were freed.)
    EXPECT_EQ(tamberlin_copy_bins(&out, src, 2), 0);
    EXPECT_STREQ(out[1].bin_name, "b");
    tamberlin_bins_free(out, 2);
    free(out);
    EXPECT_EQ(tamberlin_copy_bins(&out, src, 0), 0);
    free(out);
}

TEST(Values, SendOfEveryType)
{
    // type, sent (op written whole), the value bytes that follow the name
    uint64_t eight = 0x1122334455667788ull;
    char data[] = "abcde";
    struct {
        int type;
        bool sent;
        std::string value;
    } cases[] = {
        {KA_NULL, true, ""},
        {KA_INT, true, bytes({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88})},
        {KA_STR, true, "abcde"},
        {KA_BLOB, true, "abcde"},
        {KA_JAVA_BLOB, true, "abcde"},
        {KA_CSHARP_BLOB, true, "abcde"},
        {KA_PYTHON_BLOB, true, "abcde"},
        {KA_RUBY_BLOB, true, "abcde"},
        {KA_PHP_BLOB, true, "abcde"},
        {KA_MAP, true, "abcde"},
        {KA_LIST, true, "abcde"},
        {KA_FLOAT, false, ""},
        {KA_TIMESTAMP, false, ""},
        {KA_DIGEST, false, ""},
        {KA_ERLANG_BLOB, false, ""},
        {KA_APPEND, false, ""},
        {KA_RTA_APPEND_LIST, false, ""},
        {KA_LUA_BLOB, false, ""},
        {21, false, ""},
        {KA_UNKNOWN, false, ""},
    };
    for (const auto &c : cases) {
        ka_bin b;
        strcpy(b.bin_name, "nm");
        tamberlin_object_init_blob_type(&b.object, c.type, data, 5);
        if (c.type == KA_INT)
            tamberlin_object_init_int(&b.object, static_cast<int64_t>(eight));
        if (c.type == KA_NULL)
            tamberlin_object_init_null(&b.object);
        alignas(8) uint8_t buf[64];
        memset(buf, 0xEE, sizeof(buf));
        int rv = ka_value_to_op(&b, KA_OP_WRITE, nullptr, reinterpret_cast<ka_msg_op *>(buf));
        EXPECT_EQ(rv, c.sent ? 0 : -1) << "type " << c.type;
        if (!c.sent)
            continue;
        uint32_t op_sz;
        memcpy(&op_sz, buf, 4);
        EXPECT_EQ(op_sz, 4u + 2 + c.value.size()) << "type " << c.type;
        EXPECT_EQ(buf[5], static_cast<uint8_t>(c.type)) << "particle type";
        EXPECT_EQ(std::string(reinterpret_cast<char *>(buf + 4), 6 + c.value.size()),
                  bytes({KA_MSG_OP_WRITE, c.type, 0, 2, 'n', 'm'}) + c.value)
            << "type " << c.type;
        EXPECT_EQ(buf[10 + c.value.size()], 0xEE) << "nothing written past the op, type " << c.type;
    }
}
