// The client library's record model and message codec: values (ka_object),
// bins and operations, write parameters, and the writer (ka_compile) and
// reader (ka_parse) of database messages, plus the record digest rule.
//
// Ownership: the init functions never copy; an object owns only the buffer
// named in its `free` field. Copies and values read from a reply own a buffer
// from the process allocator. Arrays the library allocates are freed by their
// receiver with free() after tamberlin_bins_free(). Nothing here locks: every
// call works on the caller's objects only.
#pragma once

#include "tamberlin/ox_digest.h"
#include "tamberlin/proto.h"

#include <cstddef>
#include <cstdint>

// Result of the record calls and of the asynchronous calls. 1 to 14 (and 17,
// bin not found) are the server's result codes passed on unchanged; a call
// that ends on a network failure may return a socket code instead, which
// shares that range.
typedef enum ka_rv_e : int {
    TAMBERLIN_FAIL_ASYNCQ_FULL = -3,
    TAMBERLIN_FAIL_TIMEOUT = -2,
    TAMBERLIN_FAIL_CLIENT = -1,
    TAMBERLIN_OK = KA_PROTO_RESULT_OK,
    TAMBERLIN_FAIL_UNKNOWN = KA_PROTO_RESULT_FAIL_UNKNOWN,
    TAMBERLIN_FAIL_NOTFOUND = KA_PROTO_RESULT_FAIL_NOTFOUND,
    TAMBERLIN_FAIL_GENERATION = KA_PROTO_RESULT_FAIL_GENERATION,
    TAMBERLIN_FAIL_PARAMETER = KA_PROTO_RESULT_FAIL_PARAMETER,
    TAMBERLIN_FAIL_KEY_EXISTS = KA_PROTO_RESULT_FAIL_KEY_EXISTS,
    TAMBERLIN_FAIL_BIN_EXISTS = KA_PROTO_RESULT_FAIL_BIN_EXISTS,
    TAMBERLIN_FAIL_CLUSTER_KEY_MISMATCH = KA_PROTO_RESULT_FAIL_CLUSTER_KEY_MISMATCH,
    TAMBERLIN_FAIL_PARTITION_OUT_OF_SPACE = KA_PROTO_RESULT_FAIL_PARTITION_OUT_OF_SPACE,
    TAMBERLIN_FAIL_SERVERSIDE_TIMEOUT = KA_PROTO_RESULT_FAIL_TIMEOUT,
    TAMBERLIN_FAIL_NOFERRY = KA_PROTO_RESULT_FAIL_NOFERRY,
    TAMBERLIN_FAIL_UNAVAILABLE = KA_PROTO_RESULT_FAIL_UNAVAILABLE,
    TAMBERLIN_FAIL_INCOMPATIBLE_TYPE = KA_PROTO_RESULT_FAIL_INCOMPATIBLE_TYPE,
    TAMBERLIN_FAIL_RECORD_TOO_BIG = KA_PROTO_RESULT_FAIL_RECORD_TOO_BIG,
    TAMBERLIN_FAIL_KEY_BUSY = KA_PROTO_RESULT_FAIL_KEY_BUSY,
} ka_rv;

typedef enum ka_type_e : int {
    KA_NULL = 0,
    KA_INT = 1,
    KA_FLOAT = 2,
    KA_STR = 3,
    KA_BLOB = 4,
    KA_TIMESTAMP = 5,
    KA_DIGEST = 6,
    KA_JAVA_BLOB = 7,
    KA_CSHARP_BLOB = 8,
    KA_PYTHON_BLOB = 9,
    KA_RUBY_BLOB = 10,
    KA_PHP_BLOB = 11,
    KA_ERLANG_BLOB = 12,
    KA_APPEND = 13,
    KA_RTA_LIST = 14,
    KA_RTA_DICT = 15,
    KA_RTA_APPEND_DICT = 16,
    KA_RTA_APPEND_LIST = 17,
    KA_LUA_BLOB = 18,
    KA_MAP = 19,
    KA_LIST = 20,
    KA_UNKNOWN = 666666,
} ka_type;

typedef struct ka_object_s {
    ka_type type;
    size_t sz; // bytes of a string or blob (no terminator), 8 for an integer, 0 for null
    union {
        char *str;
        void *blob;
        int64_t i64;
    } u;
    void *free; // the buffer this object owns, or NULL
} ka_object;

typedef struct ka_bin_s {
    char bin_name[KA_BIN_NAME_SZ]; // always NUL-terminated: at most 31 name bytes
    ka_object object;
} ka_bin;

typedef enum ka_operator_e : int {
    KA_OP_WRITE = 0,
    KA_OP_READ = 1,
    KA_OP_INCR = 2,
    KA_OP_MC_INCR = 3,
    KA_OP_PREPEND = 4,
    KA_OP_APPEND = 5,
    KA_OP_MC_PREPEND = 6,
    KA_OP_MC_APPEND = 7,
    KA_OP_TOUCH = 8,
    KA_OP_MC_TOUCH = 9,
} ka_operator;

typedef struct ka_operation_s {
    ka_bin bin;
    ka_operator op;
} ka_operation;

typedef enum ka_write_policy_e : int {
    KA_WRITE_ASYNC = 0,
    KA_WRITE_ONESHOT = 1,
    KA_WRITE_RETRY = 2,
    KA_WRITE_ASSURED = 3,
} ka_write_policy;

typedef struct {
    bool unique;
    bool unique_bin;
    bool update_only;
    bool create_or_replace;
    bool replace_only;
    bool bin_replace_only;
    bool use_generation;
    bool use_generation_gt;
    bool use_generation_dup;
    uint32_t generation;
    int timeout_ms;
    uint32_t record_ttl; // seconds
    ka_write_policy w_pol;
} ka_write_parameters;

// Leaves generation and timeout_ms to the caller.
static inline void ka_write_parameters_set_default(ka_write_parameters *wp)
{
    wp->unique = false;
    wp->unique_bin = false;
    wp->update_only = false;
    wp->create_or_replace = false;
    wp->replace_only = false;
    wp->bin_replace_only = false;
    wp->use_generation = false;
    wp->use_generation_gt = false;
    wp->use_generation_dup = false;
    wp->record_ttl = 0;
    wp->w_pol = KA_WRITE_RETRY;
}

// Size of the buffer that receives a set name from ka_parse.
#define KA_SET_NAME_SZ 1024
// Size of the request buffer the engines build in.
#define KA_MSG_STACK_BUF_SZ 16384

// ---- values and bins ------------------------------------------------------

void tamberlin_object_init(ka_object *o);
void tamberlin_object_init_null(ka_object *o);
void tamberlin_object_init_str(ka_object *o, char *str);
void tamberlin_object_init_str2(ka_object *o, char *str, size_t len);
void tamberlin_object_init_int(ka_object *o, int64_t i);
void tamberlin_object_init_blob(ka_object *o, void *blob, size_t len);
void tamberlin_object_init_blob2(ka_object *o, void *blob, size_t len, ka_type type);
void tamberlin_object_init_blob_type(ka_object *o, int type, void *blob, size_t len);

// Deep copies: the destination owns a new buffer for strings, blobs and digests.
int tamberlin_copy_object(ka_object *dst, const ka_object *src);
int tamberlin_copy_bin(ka_bin *dst, const ka_bin *src);
// On 0 *out is a new array of n bins owned by the caller; on -1 nothing is stored.
int tamberlin_copy_bins(ka_bin **out, const ka_bin *src, int n);
// Frees the owned buffer (if any) and clears `free`; safe to call twice.
void tamberlin_object_free(ka_object *o);
// Frees the owned buffers of the first n bins; not the array.
void tamberlin_bins_free(ka_bin *bins, int n);

// Op conversion. The op is written in host order; the codec turns its size.
int ka_value_to_op_get_size(const ka_bin *bin, size_t *sz);
int ka_value_to_op(const ka_bin *bin, ka_operator op, const ka_operation *operation, ka_msg_op *msg_op);
// Fills an object from a reply op whose op_sz is in host order and whose whole
// 4 + op_sz bytes are present. The object then owns any buffer it points at.
int set_object(const ka_msg_op *op, ka_object *obj);
// Fills a bin's name and object; -1 for a name of 32 bytes or more (the stored
// name must stay terminated) or a value set_object refuses.
int ka_set_value_particular(const ka_msg_op *op, ka_bin *bin);

// ---- message codec ---------------------------------------------------------

// Writes the 30-byte head in wire order; returns the address of byte 30.
uint8_t *ka_write_header(uint8_t *buf, size_t msg_sz, int info1, int info2, int info3, uint32_t generation,
                         uint32_t record_ttl, uint32_t transaction_ttl, uint32_t n_fields, uint32_t n_ops);

// Builds one request. *buf/*buf_sz: the caller's buffer and capacity; when the
// message is larger, *buf becomes a new heap buffer that the caller frees, and
// *buf_sz is the message size either way. On -1 nothing is ready to send and
// *buf and *buf_sz are as the caller passed them (the caller's buffer is never freed).
// n_values counts bins (or operations when bins is NULL); above 65535 or negative: -1.
int ka_compile(int info1, int info2, int info3, const char *ns, const char *set, const ka_object *key,
               const ka::ox_digest *digest, const ka_bin *bins, ka_operator op, const ka_operation *operations,
               int n_values, uint8_t **buf, size_t *buf_sz, const ka_write_parameters *wp,
               ka::ox_digest *digest_out, uint64_t trid, const ka_scan_param_field *scan_param);

// Takes a reply body apart (msg in host order; buf/buf_len = the bytes after the
// 30-byte head, sizes turned to host order in place). Every field and op is
// checked against buf_len. On -1 anything this call allocated is freed, values
// it filled are freed, and a new array is not handed out (*bins/*operations and
// *n_bins, *trid and setname keep what the caller passed). setname, when given,
// holds KA_SET_NAME_SZ bytes.
int ka_parse(ka_msg *msg, uint8_t *buf, size_t buf_len, ka_bin **bins, ka_operation **operations, int *n_bins,
             uint64_t *trid, char *setname);

// RIPEMD-160 over the set name (when given and not empty), the key's type byte
// and its bytes. -1 for a key type that cannot be a key.
int tamberlin_calculate_digest(const char *set, const ka_object *key, ka::ox_digest *digest);

// Reads one database reply (type 3, or type 4 which it inflates) from fd.
// Every size is checked before use: protocol size at least 22 and at most
// KA_MSG_MAX_BODY + 22, header size exactly 22, the original size of a
// compressed reply within the cap and equal to what inflates. On 0, *head is in
// host order and *body/*body_len is the rest; the body lies in stack_buf when
// it fits stack_cap, else in *heap_out, which the caller frees (NULL otherwise).
// Non-zero: a socket code, or KA_REPLY_MALFORMED; the stream is then out of step
// and the caller closes fd. Nothing is left allocated on failure.
#define KA_REPLY_MALFORMED KA_PROTO_RESULT_FAIL_UNKNOWN
int ka_read_reply(int fd, uint64_t deadline, int attempt_ms, qm_msg *head, uint8_t *stack_buf, size_t stack_cap,
                  uint8_t **body, size_t *body_len, uint8_t **heap_out);
// The same rules over any byte source: rd fills exactly len bytes from ctx and
// returns 0, or a non-zero code that ends the read and is passed on (it must
// not be KA_REPLY_MALFORMED or -1, which keep their meaning here: malformed,
// and no memory). The synchronous engine reads through its own waits, and a
// reply held in memory can be taken apart the same way.
typedef int (*ka_reply_read_fn)(void *ctx, uint8_t *buf, size_t len);
int ka_read_reply_from(ka_reply_read_fn rd, void *ctx, qm_msg *head, uint8_t *stack_buf, size_t stack_cap,
                       uint8_t **body, size_t *body_len, uint8_t **heap_out);

// ---- library start and stop ---------------------------------------------------

// The process-wide build text that tamberlin_init prints. The program that
// embeds the library defines it (the shipper: "3.2.9").
extern const char *tamberlin_build_string;

// Prints the version line (at OX_INFO), records the process id and starts
// cluster support with its tend thread; record calls work from then on. 0, or
// -1 when the tend thread could not start (the library stays stopped). A
// repeated call prints again and starts nothing new. Any thread; start and
// stop are serialised.
int tamberlin_init(void);
// Refuses new record calls, waits for the synchronous ones in progress (in
// the starting process), stops the asynchronous engine, the batch workers and
// cluster support (every cluster is destroyed). Nothing when not started;
// tamberlin_init may follow. Cluster handles are invalid afterwards.
void tamberlin_shutdown(void);
void tamberlin_print_stats(void);
