/*
 * dynbuf: growable byte buffers for replies and listings.
 *
 * ox_dyn_buf starts on an array in its creator's stack frame and moves to the
 * heap only when that is outgrown, so a short reply costs no allocation.
 * Growth goes to the next multiple of a granule (1 KB, 4 KB, 32 KB or 256 KB,
 * rising with the size) strictly above capacity + request + 16, so long
 * replies reallocate rarely. Appends never add a terminating zero; use
 * ox_dyn_buf_strdup for a terminated copy. Sizes are size_t throughout: a
 * request whose new size cannot be formed fails with -1, leaving the buffer
 * as it was.
 *
 * ox_buf_builder is a heap-only buffer for binary messages: one block holds
 * its sizes and its bytes, and it appends integers in network byte order.
 *
 * A buffer belongs to one thread; there is no lock. Nothing here logs.
 */
#pragma once

#include <cstddef>
#include <cstdint>

typedef struct ox_dyn_buf_s {
    uint8_t *buf;    // the storage; read the result through buf and used_sz
    bool is_stack;   // buf is the creator's array: never reallocated or freed
    size_t alloc_sz; // capacity in bytes
    size_t used_sz;  // bytes written from the start of buf
} ox_dyn_buf;

// A buffer x on a stack array of 1024 (or sz, a constant) bytes; the array
// lives in the declaring frame, so x must be freed (ox_dyn_buf_free) there.
#define ox_dyn_buf_define_size(__x, __sz)                                                          \
    uint8_t ox_dyn_buf_stack_##__x[__sz];                                                          \
    ox_dyn_buf __x = {ox_dyn_buf_stack_##__x, true, (__sz), 0}
#define ox_dyn_buf_define(__x) ox_dyn_buf_define_size(__x, 1024)

// The capacity that gives room for sz more bytes: alloc_sz itself when
// sz < alloc_sz - used_sz, otherwise the next granule multiple strictly above
// alloc_sz + sz + 16; 0 when that size does not fit in a size_t.
size_t ox_dyn_buf_get_newsize(size_t alloc_sz, size_t used_sz, size_t sz);

/* All give 0, or -1 when the buffer could not grow (it is then unchanged). */
int ox_dyn_buf_reserve(ox_dyn_buf *db, size_t sz);
int ox_dyn_buf_append_buf(ox_dyn_buf *db, const void *buf, size_t sz);
int ox_dyn_buf_append_string(ox_dyn_buf *db, const char *s); // without its terminator
int ox_dyn_buf_append_char(ox_dyn_buf *db, char c);
int ox_dyn_buf_append_int(ox_dyn_buf *db, int32_t i);        // decimal, "-" when negative
int ox_dyn_buf_append_uint32(ox_dyn_buf *db, uint32_t i);    // decimal
int ox_dyn_buf_append_uint64(ox_dyn_buf *db, uint64_t i);    // decimal
int ox_dyn_buf_append_uint64_x(ox_dyn_buf *db, uint64_t i);  // upper-case hex, no prefix
// Drops the last byte written, if any; 0.
int ox_dyn_buf_chomp(ox_dyn_buf *db);
// A zero-terminated heap copy of the used bytes, which the caller frees with
// ox_free; NULL when the buffer is empty or memory is short.
char *ox_dyn_buf_strdup(ox_dyn_buf *db);
// Frees heap storage; a buffer still on its stack array needs nothing. The
// ox_dyn_buf object itself is the caller's.
void ox_dyn_buf_free(ox_dyn_buf *db);

typedef struct ox_buf_builder_s {
    size_t alloc_sz; // capacity of buf
    size_t used_sz;  // bytes written
    uint8_t buf[];   // the data, in the same block
} ox_buf_builder;

// A 1024-byte block (capacity 1008); NULL when memory is short. The caller
// owns it and ends it with ox_buf_builder_free.
ox_buf_builder *ox_buf_builder_create(void);

/* Growth may move the block, so these take the address of the builder
 * pointer; all give 0, or -1 when the block cannot grow (it is then unchanged). */
int ox_buf_builder_reserve_internal(ox_buf_builder **bb_r, size_t sz);
// Room for sz bytes: *buf gets their address and they count as used.
int ox_buf_builder_reserve(ox_buf_builder **bb_r, size_t sz, uint8_t **buf);
// Grows to exactly used_sz + sz without the granule rule.
int ox_buf_builder_reserve_internal_absolute(ox_buf_builder **bb_r, size_t sz);
// As ox_buf_builder_reserve, growing exactly.
int ox_buf_builder_reserve_absolute(ox_buf_builder **bb_r, size_t sz, uint8_t **buf);
int ox_buf_builder_append_uint8(ox_buf_builder **bb_r, uint8_t i);   // network byte order
int ox_buf_builder_append_uint16(ox_buf_builder **bb_r, uint16_t i);
int ox_buf_builder_append_uint32(ox_buf_builder **bb_r, uint32_t i);
int ox_buf_builder_append_uint64(ox_buf_builder **bb_r, uint64_t i);
int ox_buf_builder_append_ascii_int(ox_buf_builder **bb_r, int32_t i); // texts as ox_dyn_buf's
int ox_buf_builder_append_ascii_uint32(ox_buf_builder **bb_r, uint32_t i);
int ox_buf_builder_append_ascii_uint64(ox_buf_builder **bb_r, uint64_t i);
int ox_buf_builder_append_ascii_uint64_x(ox_buf_builder **bb_r, uint64_t i);
int ox_buf_builder_append_char(ox_buf_builder **bb_r, char c);
int ox_buf_builder_append_string(ox_buf_builder **bb_r, const char *s);
int ox_buf_builder_append_buf(ox_buf_builder **bb_r, const void *buf, size_t sz);

size_t ox_buf_builder_size(ox_buf_builder *bb); // the whole block: capacity plus header
int ox_buf_builder_chomp(ox_buf_builder *bb);
char *ox_buf_builder_strdup(ox_buf_builder *bb);
void ox_buf_builder_free(ox_buf_builder *bb);
