// Values, bins and the database message codec.
//
// A request is built in one pass into one contiguous buffer: the size is added
// up first (from the same per-value sizes the op writer uses), then the head,
// fields and ops are written in host order and each size turned to wire order.
// A reply is taken apart in place; every field and op size is checked against
// the bytes really there before anything is read behind it, and only bin values
// are copied out.
#include "tamberlin/tamberlin.h"

#include "tamberlin/ox_log.h"
#include "tamberlin/ox_packet_compression.h"
#include "tamberlin/ox_socket.h"

#include <cstdlib>
#include <cstring>
#include <openssl/evp.h>

using ka::ox_digest;

// ---- values -----------------------------------------------------------------

// Opaque byte kinds: handled alike by send, read, copy and key.
static bool is_blob_kind(int t)
{
    switch (t) {
    case KA_BLOB:
    case KA_JAVA_BLOB:
    case KA_CSHARP_BLOB:
    case KA_PYTHON_BLOB:
    case KA_RUBY_BLOB:
    case KA_PHP_BLOB:
    case KA_MAP:
    case KA_LIST:
        return true;
    default:
        return false;
    }
}

static bool is_key_kind(int t)
{
    return t == KA_STR || t == KA_INT || is_blob_kind(t);
}

void tamberlin_object_init(ka_object *o)
{
    o->type = KA_NULL;
    o->sz = 0;
    o->free = nullptr;
}

void tamberlin_object_init_null(ka_object *o)
{
    tamberlin_object_init(o);
}

void tamberlin_object_init_str(ka_object *o, char *str)
{
    tamberlin_object_init_str2(o, str, strlen(str));
}

void tamberlin_object_init_str2(ka_object *o, char *str, size_t len)
{
    o->type = KA_STR;
    o->sz = len;
    o->u.str = str;
    o->free = nullptr;
}

void tamberlin_object_init_int(ka_object *o, int64_t i)
{
    o->type = KA_INT;
    o->sz = 8;
    o->u.i64 = i;
    o->free = nullptr;
}

void tamberlin_object_init_blob(ka_object *o, void *blob, size_t len)
{
    tamberlin_object_init_blob2(o, blob, len, KA_BLOB);
}

void tamberlin_object_init_blob2(ka_object *o, void *blob, size_t len, ka_type type)
{
    o->type = type;
    o->sz = len;
    o->u.blob = blob;
    o->free = nullptr;
}

void tamberlin_object_init_blob_type(ka_object *o, int type, void *blob, size_t len)
{
    tamberlin_object_init_blob2(o, blob, len, static_cast<ka_type>(type));
}

// A new owned buffer of len bytes (plus a NUL for strings) holding src.
static int own_copy(ka_object *o, const void *src, size_t len, bool terminate)
{
    char *p = static_cast<char *>(malloc(len + (terminate ? 1 : 0)));
    if (!p) {
        o->u.blob = nullptr;
        o->free = nullptr;
        return -1;
    }
    if (len)
        memcpy(p, src, len);
    if (terminate)
        p[len] = '\0';
    o->u.blob = p;
    o->free = p;
    return 0;
}

int tamberlin_copy_object(ka_object *dst, const ka_object *src)
{
    dst->type = src->type;
    dst->sz = src->sz;
    dst->free = nullptr;
    if (src->type == KA_NULL)
        return 0;
    if (src->type == KA_INT) {
        dst->u.i64 = src->u.i64;
        return 0;
    }
    if (src->type == KA_STR)
        return own_copy(dst, src->u.str, src->sz, true);
    if (src->type == KA_DIGEST || is_blob_kind(src->type))
        return own_copy(dst, src->u.blob, src->sz, false);
    KA_LOG_ERROR("Encountered an unknown bin type %d", static_cast<int>(src->type));
    return -1;
}

int tamberlin_copy_bin(ka_bin *dst, const ka_bin *src)
{
    size_t n = strnlen(src->bin_name, KA_BIN_NAME_SZ);
    if (n == KA_BIN_NAME_SZ)
        return -1; // an unterminated name cannot be copied as a string
    memcpy(dst->bin_name, src->bin_name, n + 1);
    return tamberlin_copy_object(&dst->object, &src->object);
}

int tamberlin_copy_bins(ka_bin **out, const ka_bin *src, int n)
{
    size_t count = n > 0 ? static_cast<size_t>(n) : 0;
    ka_bin *arr = static_cast<ka_bin *>(calloc(count ? count : 1, sizeof(ka_bin)));
    if (!arr)
        return -1;
    for (size_t i = 0; i < count; i++) {
        if (tamberlin_copy_bin(&arr[i], &src[i]) != 0) {
            tamberlin_bins_free(arr, static_cast<int>(i));
            free(arr);
            return -1;
        }
    }
    *out = arr;
    return 0;
}

void tamberlin_object_free(ka_object *o)
{
    if (o->free) {
        free(o->free);
        o->free = nullptr;
    }
}

void tamberlin_bins_free(ka_bin *bins, int n)
{
    for (int i = 0; i < n; i++)
        if (bins[i].object.free)
            free(bins[i].object.free);
}

int ka_value_to_op_get_size(const ka_bin *bin, size_t *sz)
{
    const ka_object *o = &bin->object;
    if (o->type == KA_NULL)
        return 0;
    if (o->type == KA_INT) {
        *sz += 8;
        return 0;
    }
    if (o->type == KA_STR || is_blob_kind(o->type)) {
        *sz += o->sz;
        return 0;
    }
    KA_LOG_ERROR("internal error value_to_op get size has unknown value type %d", static_cast<int>(o->type));
    return -1;
}

static int msg_op_code(ka_operator op)
{
    switch (op) {
    case KA_OP_WRITE:
        return KA_MSG_OP_WRITE;
    case KA_OP_READ:
        return KA_MSG_OP_READ;
    case KA_OP_INCR:
        return KA_MSG_OP_INCR;
    case KA_OP_MC_INCR:
        return KA_MSG_OP_MC_INCR;
    case KA_OP_PREPEND:
        return KA_MSG_OP_PREPEND;
    case KA_OP_APPEND:
        return KA_MSG_OP_APPEND;
    case KA_OP_MC_PREPEND:
        return KA_MSG_OP_MC_PREPEND;
    case KA_OP_MC_APPEND:
        return KA_MSG_OP_MC_APPEND;
    case KA_OP_TOUCH:
        return KA_MSG_OP_TOUCH;
    case KA_OP_MC_TOUCH:
        return KA_MSG_OP_MC_TOUCH;
    }
    return -1;
}

int ka_value_to_op(const ka_bin *bin, ka_operator op, const ka_operation *operation, ka_msg_op *msg_op)
{
    if (!bin) {
        bin = &operation->bin;
        op = operation->op;
    }
    size_t name_len = strnlen(bin->bin_name, KA_BIN_NAME_SZ);
    if (name_len == KA_BIN_NAME_SZ)
        return -1;
    msg_op->op_sz = static_cast<uint32_t>(4 + name_len);
    msg_op->name_sz = static_cast<uint8_t>(name_len);
    msg_op->version = 0;
    memcpy(msg_op->name, bin->bin_name, name_len);

    int code = msg_op_code(op);
    if (code < 0) {
        KA_LOG_ERROR("API user requested unknown operation type %d, fail", static_cast<int>(op));
        return -1;
    }
    msg_op->op = static_cast<uint8_t>(code);

    const ka_object *o = &bin->object;
    msg_op->particle_type = static_cast<uint8_t>(o->type);
    if (static_cast<uint32_t>(o->type) > KA_LIST)
        return -1;
    uint8_t *v = msg_op->name + name_len;
    if (o->type == KA_NULL)
        return 0;
    if (o->type == KA_INT) {
        ka_be_put(v, static_cast<uint64_t>(o->u.i64), 8);
        msg_op->op_sz += 8;
        return 0;
    }
    if (o->type == KA_STR || is_blob_kind(o->type)) {
        if (code == KA_MSG_OP_MC_INCR && o->type != KA_STR) {
            // Two host-order counters become two big-endian ones; anything but
            // exactly 16 bytes would be read past or sized wrong.
            if (o->sz != 16)
                return -1;
            uint64_t a, b;
            memcpy(&a, o->u.blob, 8);
            memcpy(&b, static_cast<const uint8_t *>(o->u.blob) + 8, 8);
            ka_be_put(v, a, 8);
            ka_be_put(v + 8, b, 8);
            msg_op->op_sz += 16;
            return 0;
        }
        if (o->sz)
            memcpy(v, o->type == KA_STR ? static_cast<const void *>(o->u.str) : o->u.blob, o->sz);
        msg_op->op_sz += static_cast<uint32_t>(o->sz);
        return 0;
    }
    return -1;
}

int set_object(const ka_msg_op *op, ka_object *obj)
{
    obj->type = static_cast<ka_type>(op->particle_type);
    // A stated size below the header and name is a negative value length.
    if (op->op_sz < 4u + op->name_sz) {
        obj->sz = 0;
        obj->free = nullptr;
        return -1;
    }
    size_t len = op->op_sz - 4u - op->name_sz;
    const uint8_t *v = op->name + op->name_sz;
    switch (op->particle_type) {
    case KA_NULL:
        obj->sz = 0;
        obj->free = nullptr;
        return 0;
    case KA_INT: {
        obj->sz = 8;
        obj->free = nullptr;
        if (len > 8)
            return -1;
        uint64_t u = ka_be_get(v, static_cast<int>(len));
        if (len > 0 && len < 8 && (v[0] & 0x80))
            u |= ~uint64_t(0) << (8 * len); // sign-extend a short two's-complement number
        obj->u.i64 = static_cast<int64_t>(u);
        return 0;
    }
    case KA_STR:
        obj->sz = len;
        return own_copy(obj, v, len, true);
    default:
        if (is_blob_kind(op->particle_type)) {
            obj->sz = len;
            return own_copy(obj, v, len, false);
        }
        obj->free = nullptr;
        KA_LOG_ERROR("parse: received unknown object type %d", op->particle_type);
        return -1;
    }
}

int ka_set_value_particular(const ka_msg_op *op, ka_bin *bin)
{
    if (op->name_sz >= KA_BIN_NAME_SZ)
        return -1;
    memcpy(bin->bin_name, op->name, op->name_sz);
    bin->bin_name[op->name_sz] = '\0';
    return set_object(op, &bin->object);
}

// ---- digest -------------------------------------------------------------------

// The key's part of both the key field and the digest: type byte, then bytes.
// Returns the data pointer and its length; the type byte goes to *type_byte.
static const uint8_t *key_bytes(const ka_object *key, uint8_t *type_byte, uint8_t intbuf[8], size_t *len)
{
    if (key->type == KA_INT) {
        *type_byte = KA_INT;
        ka_be_put(intbuf, static_cast<uint64_t>(key->u.i64), 8);
        *len = 8;
        return intbuf;
    }
    *type_byte = static_cast<uint8_t>(key->type);
    *len = key->sz;
    return static_cast<const uint8_t *>(key->type == KA_STR ? static_cast<const void *>(key->u.str) : key->u.blob);
}

int tamberlin_calculate_digest(const char *set, const ka_object *key, ox_digest *digest)
{
    if (!is_key_kind(key->type)) {
        KA_LOG_ERROR(" transmit key: unknown tamberlin type %d", static_cast<int>(key->type));
        return -1;
    }
    uint8_t type_byte, intbuf[8];
    size_t len;
    const uint8_t *data = key_bytes(key, &type_byte, intbuf, &len);
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    if (!ctx)
        return -1;
    unsigned int out_len = 0;
    bool ok = EVP_DigestInit_ex(ctx, EVP_ripemd160(), nullptr) == 1 &&
              (!set || !set[0] || EVP_DigestUpdate(ctx, set, strlen(set)) == 1) &&
              EVP_DigestUpdate(ctx, &type_byte, 1) == 1 && (len == 0 || EVP_DigestUpdate(ctx, data, len) == 1) &&
              EVP_DigestFinal_ex(ctx, digest->digest, &out_len) == 1 && out_len == OX_DIGEST_SZ;
    EVP_MD_CTX_free(ctx);
    return ok ? 0 : -1;
}

// ---- compile ------------------------------------------------------------------

uint8_t *ka_write_header(uint8_t *buf, size_t msg_sz, int info1, int info2, int info3, uint32_t generation,
                         uint32_t record_ttl, uint32_t transaction_ttl, uint32_t n_fields, uint32_t n_ops)
{
    buf[0] = KA_PROTO_VERSION;
    buf[1] = KA_PROTO_TYPE_KA_MSG;
    ka_be_put(buf + 2, msg_sz - 8, 6);
    buf[8] = KA_MSG_HEADER_SZ;
    buf[9] = static_cast<uint8_t>(info1);
    buf[10] = static_cast<uint8_t>(info2);
    buf[11] = static_cast<uint8_t>(info3);
    buf[12] = 0;
    buf[13] = 0;
    ka_be_put(buf + 14, generation, 4);
    ka_be_put(buf + 18, record_ttl, 4);
    ka_be_put(buf + 22, transaction_ttl, 4);
    ka_be_put(buf + 26, n_fields & 0xFFFF, 2);
    ka_be_put(buf + 28, n_ops & 0xFFFF, 2);
    return buf + sizeof(qm_msg);
}

static uint8_t *write_field(uint8_t *p, int type, const void *data, size_t len)
{
    ka_msg_field *f = reinterpret_cast<ka_msg_field *>(p);
    f->field_sz = static_cast<uint32_t>(len + 1);
    f->type = static_cast<uint8_t>(type);
    if (len)
        memcpy(f->data, data, len);
    ka_msg_swap_field(f);
    return p + sizeof(ka_msg_field) + len;
}

int ka_compile(int info1, int info2, int info3, const char *ns, const char *set, const ka_object *key,
               const ox_digest *digest, const ka_bin *bins, ka_operator op, const ka_operation *operations,
               int n_values, uint8_t **buf, size_t *buf_sz, const ka_write_parameters *wp, ox_digest *digest_out,
               uint64_t trid, const ka_scan_param_field *scan_param)
{
    // n_ops is a 16-bit field: a larger count would send a message that lies.
    if (n_values < 0 || n_values > 0xFFFF || (n_values > 0 && !bins && !operations))
        return -1;
    if (key && !is_key_kind(key->type)) {
        KA_LOG_ERROR("transmit key: unknown tamberlin type %d", static_cast<int>(key->type));
        return -1;
    }

    size_t ns_len = ns ? strlen(ns) : 0, set_len = set ? strlen(set) : 0;
    // A key field carries its type byte before the key's bytes.
    constexpr size_t key_head_sz = sizeof(ka_msg_field) + 1;
    size_t msg_sz = sizeof(qm_msg);
    if (ns)
        msg_sz += sizeof(ka_msg_field) + ns_len;
    if (set)
        msg_sz += sizeof(ka_msg_field) + set_len;
    if (key)
        msg_sz += key_head_sz + (key->type == KA_INT ? sizeof(int64_t) : key->sz);
    // The digest and scan-option fields are counted one byte longer than they
    // are: the message has always been sent so, ending in a zero byte.
    if (digest)
        msg_sz += sizeof(ka_msg_field) + OX_DIGEST_SZ + 1;
    if (trid)
        msg_sz += sizeof(ka_msg_field) + sizeof(trid);
    if (scan_param)
        msg_sz += sizeof(ka_msg_field) + sizeof(ka_scan_param_field) + 1;
    for (int i = 0; i < n_values; i++) {
        const ka_bin *b = bins ? &bins[i] : &operations[i].bin;
        size_t name_len = strnlen(b->bin_name, KA_BIN_NAME_SZ);
        if (name_len == KA_BIN_NAME_SZ)
            return -1;
        msg_sz += sizeof(ka_msg_op) + name_len;
        if (ka_value_to_op_get_size(b, &msg_sz) != 0) {
            KA_LOG_ERROR("illegal parameter: bad type %d write op %d", static_cast<int>(b->object.type), i);
            return -1;
        }
    }
    if (msg_sz - 8 > 0xFFFFFFFFFFFFull)
        return -1;

    uint8_t *const caller_buf = *buf;
    const size_t caller_sz = *buf_sz;
    uint8_t *mbuf = caller_buf;
    if (caller_sz < msg_sz) {
        mbuf = static_cast<uint8_t *>(malloc(msg_sz));
        if (!mbuf)
            return -1;
    }
    memset(mbuf, 0, msg_sz);
    // Any failure below gives the caller back exactly what it passed.
    auto fail = [&]() {
        if (mbuf != caller_buf)
            free(mbuf);
        return -1;
    };

    uint32_t generation = 0, record_ttl = 0, transaction_ttl = 0;
    if (wp) {
        struct {
            bool flag;
            int *info;
            int bit;
            bool gen;
        } const table[] = {
            {wp->unique, &info2, KA_MSG_INFO2_CREATE_ONLY, false},
            {wp->unique_bin, &info2, KA_MSG_INFO2_BIN_CREATE_ONLY, false},
            {wp->update_only, &info3, KA_MSG_INFO3_UPDATE_ONLY, false},
            {wp->create_or_replace, &info3, KA_MSG_INFO3_CREATE_OR_REPLACE, false},
            {wp->replace_only, &info3, KA_MSG_INFO3_REPLACE_ONLY, false},
            {wp->bin_replace_only, &info3, KA_MSG_INFO3_BIN_REPLACE_ONLY, false},
            {wp->use_generation, &info2, KA_MSG_INFO2_GENERATION, true},
            {wp->use_generation_gt, &info2, KA_MSG_INFO2_GENERATION_GT, true},
            {wp->use_generation_dup, &info2, KA_MSG_INFO2_GENERATION_DUP, true},
        };
        for (const auto &row : table) {
            if (row.flag) {
                *row.info |= row.bit;
                if (row.gen)
                    generation = wp->generation;
                break;
            }
        }
        transaction_ttl = static_cast<uint32_t>(wp->timeout_ms);
        record_ttl = wp->record_ttl;
    }

    uint32_t n_fields = (ns ? 1 : 0) + (set ? 1 : 0) + (trid ? 1 : 0) + (scan_param ? 1 : 0) + (key ? 1 : 0) +
                        (digest ? 1 : 0);
    uint8_t *p = ka_write_header(mbuf, msg_sz, info1, info2, info3, generation, record_ttl, transaction_ttl,
                                 n_fields, static_cast<uint32_t>(n_values));
    if (ns)
        p = write_field(p, KA_MSG_FIELD_TYPE_NAMESPACE, ns, ns_len);
    if (set)
        p = write_field(p, KA_MSG_FIELD_TYPE_SET, set, set_len);
    if (trid) {
        uint8_t t[8];
        ka_be_put(t, trid, 8);
        p = write_field(p, KA_MSG_FIELD_TYPE_TRID, t, 8);
    }
    if (scan_param)
        p = write_field(p, KA_MSG_FIELD_TYPE_SCAN_OPTIONS, scan_param, sizeof(ka_scan_param_field));
    if (key) {
        uint8_t type_byte, intbuf[8];
        size_t len;
        const uint8_t *data = key_bytes(key, &type_byte, intbuf, &len);
        ka_msg_field *f = reinterpret_cast<ka_msg_field *>(p);
        f->field_sz = static_cast<uint32_t>(len + 2);
        f->type = KA_MSG_FIELD_TYPE_KEY;
        f->data[0] = type_byte;
        if (len)
            memcpy(f->data + 1, data, len);
        ka_msg_swap_field(f);
        p += key_head_sz + len;
        if (digest_out && tamberlin_calculate_digest(set, key, digest_out) != 0)
            return fail();
    }
    if (digest) {
        p = write_field(p, KA_MSG_FIELD_TYPE_DIGEST_RIPE, digest->digest, OX_DIGEST_SZ);
        if (digest_out)
            *digest_out = *digest;
    }
    for (int i = 0; i < n_values; i++) {
        ka_msg_op *mop = reinterpret_cast<ka_msg_op *>(p);
        int rv = bins ? ka_value_to_op(&bins[i], op, nullptr, mop) : ka_value_to_op(nullptr, op, &operations[i], mop);
        if (rv != 0)
            return fail();
        p += 4 + mop->op_sz;
        ka_msg_swap_op(mop);
    }
    *buf = mbuf;
    *buf_sz = msg_sz;
    return 0;
}

// ---- parse --------------------------------------------------------------------

int ka_parse(ka_msg *msg, uint8_t *buf, size_t buf_len, ka_bin **bins, ka_operation **operations, int *n_bins,
             uint64_t *trid, char *setname)
{
    uint8_t *p = buf;
    uint8_t *const end = buf + buf_len;
    // The transaction id and the set name reach the caller only when the whole
    // parse succeeds, so a failure leaves them as they were.
    const uint8_t *trid_src = nullptr, *set_src = nullptr;
    size_t set_len = 0;
    auto give_fields = [&]() {
        if (trid_src)
            *trid = ka_be_get(trid_src, 8);
        if (set_src) {
            memcpy(setname, set_src, set_len);
            setname[set_len] = '\0';
        }
        return 0;
    };

    if (msg->n_fields != 0 && buf_len < 5)
        return -1;
    for (int i = 0; i < msg->n_fields; i++) {
        if (end - p < 5)
            return -1;
        ka_msg_field *f = reinterpret_cast<ka_msg_field *>(p);
        ka_msg_swap_field(f);
        if (f->field_sz < 1 || f->field_sz > static_cast<size_t>(end - p) - 4)
            return -1;
        size_t data_len = f->field_sz - 1;
        if (f->type == KA_MSG_FIELD_TYPE_TRID && trid) {
            if (data_len != 8)
                return -1;
            trid_src = f->data;
        } else if (f->type == KA_MSG_FIELD_TYPE_SET && setname) {
            if (data_len >= KA_SET_NAME_SZ)
                return -1;
            set_src = f->data;
            set_len = data_len;
        }
        p += 4 + f->field_sz;
    }

    if (!n_bins || (!bins && !operations))
        return give_fields();
    if (*n_bins < 0)
        return -1;

    const int n_ops = msg->n_ops;
    if (n_ops == 0)
        return give_fields();
    // Every op takes at least its 8-byte header: a count that cannot fit is
    // refused before anything is allocated for it.
    if (static_cast<size_t>(end - p) < static_cast<size_t>(n_ops) * 8)
        return -1;

    const bool fresh = n_ops > *n_bins;
    ka_bin *new_bins = nullptr;
    ka_operation *new_ops = nullptr;
    if (fresh) {
        if (bins)
            new_bins = static_cast<ka_bin *>(calloc(static_cast<size_t>(n_ops), sizeof(ka_bin)));
        else
            new_ops = static_cast<ka_operation *>(calloc(static_cast<size_t>(n_ops), sizeof(ka_operation)));
        if (!new_bins && !new_ops)
            return -1;
    }
    const int n_target = fresh ? n_ops : *n_bins;
    auto target = [&](int i) -> ka_bin * {
        if (fresh)
            return bins ? &new_bins[i] : &new_ops[i].bin;
        return bins ? &(*bins)[i] : &(*operations)[i].bin;
    };
    // Which entries this call filled, so a failure can give back their buffers.
    bool stack_filled[64];
    bool *filled = stack_filled;
    if (n_target > 64) {
        filled = static_cast<bool *>(calloc(static_cast<size_t>(n_target), 1));
        if (!filled) {
            free(new_bins);
            free(new_ops);
            return -1;
        }
    } else {
        memset(stack_filled, 0, sizeof(stack_filled));
    }

    int rv = 0;
    for (int i = 0; i < n_ops; i++) {
        if (end - p < 8) {
            rv = -1;
            break;
        }
        ka_msg_op *op = reinterpret_cast<ka_msg_op *>(p);
        ka_msg_swap_op(op);
        if (op->op_sz < 4u + op->name_sz || op->op_sz > static_cast<size_t>(end - p) - 4) {
            rv = -1;
            break;
        }
        if (op->name_sz >= KA_BIN_NAME_SZ) {
            rv = -1;
            break;
        }
        int j = fresh ? i : -1;
        for (int k = 0; !fresh && k < n_target; k++) {
            // Exact names only: "a" must not take the value of "ab".
            const ka_bin *c = target(k);
            if (!filled[k] && strnlen(c->bin_name, KA_BIN_NAME_SZ) == op->name_sz &&
                memcmp(c->bin_name, op->name, op->name_sz) == 0) {
                j = k;
                break;
            }
        }
        if (j >= 0) {
            ka_bin *b = target(j);
            if ((fresh ? ka_set_value_particular(op, b) : set_object(op, &b->object)) != 0) {
                tamberlin_object_free(&b->object);
                tamberlin_object_init(&b->object);
                rv = -1;
                break;
            }
            filled[j] = true;
        }
        p += 4 + op->op_sz;
    }

    if (rv != 0) {
        for (int j = 0; j < n_target; j++) {
            if (filled[j]) {
                tamberlin_object_free(&target(j)->object);
                tamberlin_object_init(&target(j)->object);
            }
        }
        free(new_bins);
        free(new_ops);
    } else {
        if (fresh) {
            if (bins)
                *bins = new_bins;
            else
                *operations = new_ops;
            *n_bins = n_ops;
        }
        give_fields();
    }
    if (filled != stack_filled)
        free(filled);
    return rv;
}

// ---- reply reader ---------------------------------------------------------------

int ka_read_reply_from(ka_reply_read_fn rd, void *ctx, qm_msg *head, uint8_t *stack_buf, size_t stack_cap,
                       uint8_t **body, size_t *body_len, uint8_t **heap_out)
{
    *heap_out = nullptr;
    *body = nullptr;
    *body_len = 0;
    uint8_t *h = reinterpret_cast<uint8_t *>(head);
    int rv = rd(ctx, h, 8);
    if (rv != 0)
        return rv;
    ka_proto_swap(&head->proto);
    const uint64_t sz = head->proto.sz;

    if (head->proto.type == KA_PROTO_TYPE_KA_MSG_COMPRESSED) {
        // The compressed part is read whole, so the inflater sees only bytes
        // that really arrived; what it yields is checked like a plain reply.
        if (sz <= 8 || sz > KA_MSG_MAX_BODY)
            return KA_REPLY_MALFORMED;
        uint8_t *comp = static_cast<uint8_t *>(malloc(8 + sz));
        if (!comp)
            return -1;
        memcpy(comp, h, 8);
        rv = rd(ctx, comp + 8, sz);
        if (rv != 0) {
            free(comp);
            return rv;
        }
        uint8_t *plain = nullptr;
        uint64_t org_sz = reinterpret_cast<ka_comp_proto *>(comp)->org_sz;
        int zr = org_sz >= 30 && org_sz <= KA_MSG_MAX_BODY + 30 ? ka::ox_packet_decompression(comp, &plain) : -1;
        free(comp);
        if (zr != 0)
            return KA_REPLY_MALFORMED;
        memcpy(head, plain, 30);
        ka_proto_swap(&head->proto);
        if (head->proto.type != KA_PROTO_TYPE_KA_MSG || head->proto.sz + 8 != org_sz ||
            head->m.header_sz != KA_MSG_HEADER_SZ) {
            free(plain);
            return KA_REPLY_MALFORMED;
        }
        ka_msg_swap_header(&head->m);
        *heap_out = plain;
        *body = plain + 30;
        *body_len = org_sz - 30;
        return 0;
    }

    if (head->proto.type != KA_PROTO_TYPE_KA_MSG || sz < KA_MSG_HEADER_SZ || sz > KA_MSG_MAX_BODY + KA_MSG_HEADER_SZ)
        return KA_REPLY_MALFORMED;
    rv = rd(ctx, h + 8, KA_MSG_HEADER_SZ);
    if (rv != 0)
        return rv;
    if (head->m.header_sz != KA_MSG_HEADER_SZ)
        return KA_REPLY_MALFORMED;
    ka_msg_swap_header(&head->m);
    size_t len = sz - KA_MSG_HEADER_SZ;
    if (len == 0)
        return 0;
    uint8_t *dst = stack_buf;
    if (len > stack_cap) {
        dst = static_cast<uint8_t *>(malloc(len));
        if (!dst)
            return -1;
    }
    rv = rd(ctx, dst, len);
    if (rv != 0) {
        if (dst != stack_buf)
            free(dst);
        return rv;
    }
    if (dst != stack_buf)
        *heap_out = dst;
    *body = dst;
    *body_len = len;
    return 0;
}

namespace {

struct socket_read_ctx {
    int fd;
    uint64_t deadline;
    int attempt_ms;
};

int socket_read(void *ctx, uint8_t *buf, size_t len)
{
    const socket_read_ctx *c = static_cast<const socket_read_ctx *>(ctx);
    return ka::ox_socket_read_timeout(c->fd, buf, len, c->deadline, c->attempt_ms);
}

} // namespace

int ka_read_reply(int fd, uint64_t deadline, int attempt_ms, qm_msg *head, uint8_t *stack_buf, size_t stack_cap,
                  uint8_t **body, size_t *body_len, uint8_t **heap_out)
{
    socket_read_ctx c = {fd, deadline, attempt_ms};
    return ka_read_reply_from(socket_read, &c, head, stack_buf, stack_cap, body, body_len, heap_out);
}
