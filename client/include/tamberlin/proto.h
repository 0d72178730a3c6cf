// The database message protocol as it travels: the 8-byte protocol header that
// frames every message (info, database and compressed), the 22-byte message
// header, fields and ops, with their constants and byte-order swaps.
//
// All structures are packed and mirror the wire exactly; multi-byte fields are
// big-endian on the wire and turned to host order in place by the swaps.
#pragma once

#include <cstddef>
#include <cstdint>

#define KA_PROTO_VERSION 2
#define KA_PROTO_TYPE_INFO 1
#define KA_PROTO_TYPE_KA_MSG 3
#define KA_PROTO_TYPE_KA_MSG_COMPRESSED 4

#define KA_RESULT_OK 0
#define KA_RESULT_FAIL 1
#define KA_RESULT_NOTFOUND 2

#define KA_PROTO_RESULT_OK 0
#define KA_PROTO_RESULT_FAIL_UNKNOWN 1
#define KA_PROTO_RESULT_FAIL_NOTFOUND 2
#define KA_PROTO_RESULT_FAIL_GENERATION 3
#define KA_PROTO_RESULT_FAIL_PARAMETER 4
#define KA_PROTO_RESULT_FAIL_KEY_EXISTS 5
#define KA_PROTO_RESULT_FAIL_BIN_EXISTS 6
#define KA_PROTO_RESULT_FAIL_CLUSTER_KEY_MISMATCH 7
#define KA_PROTO_RESULT_FAIL_PARTITION_OUT_OF_SPACE 8
#define KA_PROTO_RESULT_FAIL_TIMEOUT 9
#define KA_PROTO_RESULT_FAIL_NOFERRY 10
#define KA_PROTO_RESULT_FAIL_UNAVAILABLE 11
#define KA_PROTO_RESULT_FAIL_INCOMPATIBLE_TYPE 12
#define KA_PROTO_RESULT_FAIL_RECORD_TOO_BIG 13
#define KA_PROTO_RESULT_FAIL_KEY_BUSY 14
#define KA_PROTO_RESULT_FAIL_BIN_NOT_FOUND 17

#define KA_MSG_INFO1_READ 0x01
#define KA_MSG_INFO1_GET_ALL 0x02
#define KA_MSG_INFO1_GET_ALL_NODATA 0x04
#define KA_MSG_INFO1_VERIFY 0x08
#define KA_MSG_INFO1_FERRY 0x10
#define KA_MSG_INFO1_NOBINDATA 0x20

#define KA_MSG_INFO2_WRITE 0x01
#define KA_MSG_INFO2_DELETE 0x02
#define KA_MSG_INFO2_GENERATION 0x04
#define KA_MSG_INFO2_GENERATION_GT 0x08
#define KA_MSG_INFO2_GENERATION_DUP 0x10
#define KA_MSG_INFO2_CREATE_ONLY 0x20
#define KA_MSG_INFO2_BIN_CREATE_ONLY 0x40
#define KA_MSG_INFO2_WRITE_MERGE 0x80

#define KA_MSG_INFO3_LAST 0x01
#define KA_MSG_INFO3_TRACE 0x02
#define KA_MSG_INFO3_TOMBSTONE 0x04
#define KA_MSG_INFO3_UPDATE_ONLY 0x08
#define KA_MSG_INFO3_CREATE_OR_REPLACE 0x10
#define KA_MSG_INFO3_REPLACE_ONLY 0x20
#define KA_MSG_INFO3_BIN_REPLACE_ONLY 0x40

#define KA_MSG_FIELD_TYPE_NAMESPACE 0
#define KA_MSG_FIELD_TYPE_SET 1
#define KA_MSG_FIELD_TYPE_KEY 2
#define KA_MSG_FIELD_TYPE_BIN 3
#define KA_MSG_FIELD_TYPE_DIGEST_RIPE 4
#define KA_MSG_FIELD_TYPE_GU_TID 5
#define KA_MSG_FIELD_TYPE_DIGEST_RIPE_ARRAY 6
#define KA_MSG_FIELD_TYPE_TRID 7
#define KA_MSG_FIELD_TYPE_SCAN_OPTIONS 8

#define KA_MSG_OP_READ 1
#define KA_MSG_OP_WRITE 2
#define KA_MSG_OP_WRITE_UNIQUE 3
#define KA_MSG_OP_WRITE_NOW 4
#define KA_MSG_OP_INCR 5
#define KA_MSG_OP_APPEND_SEGMENT 6
#define KA_MSG_OP_APPEND_SEGMENT_EXT 7
#define KA_MSG_OP_APPEND_SEGMENT_QUERY 8
#define KA_MSG_OP_APPEND 9
#define KA_MSG_OP_PREPEND 10
#define KA_MSG_OP_TOUCH 11
#define KA_MSG_OP_MC_INCR 129
#define KA_MSG_OP_MC_APPEND 130
#define KA_MSG_OP_MC_PREPEND 131
#define KA_MSG_OP_MC_TOUCH 132

// The only message header size this library accepts in a reply.
#define KA_MSG_HEADER_SZ 22
// Largest reply body (or inflated message) that the client will allocate for;
// any larger stated size is treated as a malformed reply.
#define KA_MSG_MAX_BODY (128u * 1024 * 1024)
// Bytes of a bin name including its terminator.
#define KA_BIN_NAME_SZ 32

#pragma pack(push, 1)

typedef struct ka_proto_s {
    uint8_t version;
    uint8_t type;
    uint64_t sz : 48; // bytes after this header
} ka_proto;

typedef struct ka_msg_s {
    uint8_t header_sz;
    uint8_t info1;
    uint8_t info2;
    uint8_t info3;
    uint8_t unused;
    uint8_t result_code;
    uint32_t generation;
    uint32_t record_ttl;
    uint32_t transaction_ttl;
    uint16_t n_fields;
    uint16_t n_ops;
    uint8_t data[0];
} ka_msg;

// The 30-byte head of every database message.
typedef struct qm_msg_s {
    ka_proto proto;
    ka_msg m;
} qm_msg;

typedef struct ka_msg_field_s {
    uint32_t field_sz; // 1 + data length
    uint8_t type;
    uint8_t data[0];
} ka_msg_field;

typedef struct ka_msg_op_s {
    uint32_t op_sz; // 4 + name_sz + value length
    uint8_t op;
    uint8_t particle_type;
    uint8_t version;
    uint8_t name_sz;
    uint8_t name[0];
} ka_msg_op;

typedef struct ka_scan_param_field_s {
    uint8_t byte1;
    uint8_t scan_pct;
} ka_scan_param_field;

// Compressed message: org_sz is in the sender's host order.
typedef struct ka_comp_proto_s {
    ka_proto proto;
    uint64_t org_sz;
    uint8_t data[0];
} ka_comp_proto;

#pragma pack(pop)

static_assert(sizeof(ka_proto) == 8);
static_assert(sizeof(ka_msg) == 22);
static_assert(sizeof(qm_msg) == 30);
static_assert(offsetof(qm_msg, m.generation) == 14);
static_assert(offsetof(qm_msg, m.record_ttl) == 18);
static_assert(offsetof(qm_msg, m.transaction_ttl) == 22);
static_assert(offsetof(qm_msg, m.n_fields) == 26);
static_assert(offsetof(qm_msg, m.n_ops) == 28);
static_assert(sizeof(ka_msg_field) == 5);
static_assert(sizeof(ka_msg_op) == 8);
static_assert(sizeof(ka_scan_param_field) == 2);
static_assert(sizeof(ka_comp_proto) == 16);

// Swaps work in place. ka_proto_swap and ka_msg_swap_header work both ways.
void ka_proto_swap(ka_proto *p);
void ka_msg_swap_header(ka_msg *m);
void ka_msg_swap_field(ka_msg_field *f);
void ka_msg_swap_op(ka_msg_op *op);
// Whole-message swaps from wire to host order; they trust the sizes and are
// meant for messages this process built.
void ka_msg_swap_fields(ka_msg *m);
void ka_msg_swap_fields_and_ops(ka_msg *m);
void ka_msg_swap_ops(ka_msg *m);

// Big-endian helpers for code that builds or reads wire bytes directly.
static inline uint64_t ka_be_get(const uint8_t *p, int n)
{
    uint64_t v = 0;
    for (int i = 0; i < n; i++)
        v = (v << 8) | p[i];
    return v;
}
static inline void ka_be_put(uint8_t *p, uint64_t v, int n)
{
    for (int i = n - 1; i >= 0; i--, v >>= 8)
        p[i] = static_cast<uint8_t>(v);
}
