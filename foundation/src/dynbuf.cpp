/*
 * dynbuf: text buffers on the caller's stack array, moving to the heap when
 * outgrown, and the heap-only binary builder.
 *
 * Both kinds share one growth rule (ox_dyn_buf_get_newsize) and one set of
 * append bodies: each kind only says how to make room for n bytes at the end
 * of its used part and how to count them. The growth arithmetic is size_t
 * with explicit overflow checks, so an impossible request fails instead of
 * wrapping to a small size and letting the append write past the storage.
 */
#include "tamberlin/dynbuf.h"

#include <cstddef>
#include <cstring>

#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ox_str.h"

namespace {

// Room each number text needs: its longest form and the formatter's NUL.
constexpr size_t kIntRoom = 12;
constexpr size_t kUint32Room = 12;
constexpr size_t kUint64Room = 22;
constexpr size_t kUint64HexRoom = 18;

constexpr size_t kBuilderHeader = offsetof(ox_buf_builder, buf);
constexpr size_t kBuilderFirstBlock = 1024;

static_assert(kBuilderHeader == 16, "the builder's header is its two sizes");

struct dyn_sink {
    ox_dyn_buf *db;
    uint8_t *room(size_t n)
    {
        if (db->alloc_sz - db->used_sz < n && ox_dyn_buf_reserve(db, n) != 0) {
            return nullptr;
        }
        return db->buf + db->used_sz;
    }
    void commit(size_t n) { db->used_sz += n; }
};

struct builder_sink {
    ox_buf_builder **bb_r;
    uint8_t *room(size_t n)
    {
        ox_buf_builder *bb = *bb_r;
        if (bb->alloc_sz - bb->used_sz < n && ox_buf_builder_reserve_internal(bb_r, n) != 0) {
            return nullptr;
        }
        return (*bb_r)->buf + (*bb_r)->used_sz;
    }
    void commit(size_t n) { (*bb_r)->used_sz += n; }
};

template <typename Sink>
int put_bytes(Sink s, const void *p, size_t n)
{
    uint8_t *dst = s.room(n);
    if (!dst) {
        return -1;
    }
    if (n) {
        memcpy(dst, p, n);
    }
    s.commit(n);
    return 0;
}

// write() puts the text and its NUL at the given address and gives the text's length.
template <typename Sink, typename Write>
int put_text(Sink s, size_t room, Write write)
{
    uint8_t *dst = s.room(room);
    if (!dst) {
        return -1;
    }
    s.commit(write((char *)dst));
    return 0;
}

template <typename Sink>
int put_be(Sink s, uint64_t v, size_t n)
{
    uint8_t *dst = s.room(n);
    if (!dst) {
        return -1;
    }
    for (size_t i = 0; i < n; i++) {
        dst[i] = (uint8_t)(v >> (8 * (n - 1 - i)));
    }
    s.commit(n);
    return 0;
}

char *dup_used(const uint8_t *buf, size_t used)
{
    if (used == 0) {
        return nullptr;
    }
    char *s = (char *)ox_malloc(used + 1);
    if (!s) {
        return nullptr;
    }
    memcpy(s, buf, used);
    s[used] = '\0';
    return s;
}

} // namespace

size_t ox_dyn_buf_get_newsize(size_t alloc_sz, size_t used_sz, size_t sz)
{
    if (sz < alloc_sz - used_sz) {
        return alloc_sz;
    }
    if (sz > SIZE_MAX - 16 - alloc_sz) {
        return 0;
    }
    size_t m = alloc_sz + sz + 16;
    size_t g = m <= 8191 ? 1024 : m <= 32767 ? 4096 : m < 131072 ? 32768 : 262144;
    size_t step = g - m % g;
    if (m > SIZE_MAX - step) {
        return 0;
    }
    return m + step;
}

int ox_dyn_buf_reserve(ox_dyn_buf *db, size_t sz)
{
    if (sz < db->alloc_sz - db->used_sz) {
        return 0;
    }
    // No size is possible: failing here keeps an append from copying past the storage.
    size_t new_sz = ox_dyn_buf_get_newsize(db->alloc_sz, db->used_sz, sz);
    if (new_sz <= db->alloc_sz) {
        return -1;
    }
    uint8_t *block;
    if (db->is_stack) {
        block = (uint8_t *)ox_malloc(new_sz);
        if (!block) {
            return -1;
        }
        memcpy(block, db->buf, db->used_sz);
        db->is_stack = false;
    } else {
        block = (uint8_t *)ox_realloc(db->buf, new_sz);
        if (!block) {
            return -1;
        }
    }
    db->buf = block;
    db->alloc_sz = new_sz;
    return 0;
}

int ox_dyn_buf_append_buf(ox_dyn_buf *db, const void *buf, size_t sz)
{
    return put_bytes(dyn_sink{db}, buf, sz);
}

int ox_dyn_buf_append_string(ox_dyn_buf *db, const char *s)
{
    return put_bytes(dyn_sink{db}, s, strlen(s));
}

int ox_dyn_buf_append_char(ox_dyn_buf *db, char c)
{
    return put_bytes(dyn_sink{db}, &c, 1);
}

int ox_dyn_buf_append_int(ox_dyn_buf *db, int32_t i)
{
    return put_text(dyn_sink{db}, kIntRoom, [i](char *p) { return ox_str_itoa(i, p, 10); });
}

int ox_dyn_buf_append_uint32(ox_dyn_buf *db, uint32_t i)
{
    return put_text(dyn_sink{db}, kUint32Room, [i](char *p) { return ox_str_itoa_u32(i, p, 10); });
}

int ox_dyn_buf_append_uint64(ox_dyn_buf *db, uint64_t i)
{
    return put_text(dyn_sink{db}, kUint64Room, [i](char *p) { return ox_str_itoa_u64(i, p, 10); });
}

int ox_dyn_buf_append_uint64_x(ox_dyn_buf *db, uint64_t i)
{
    return put_text(dyn_sink{db}, kUint64HexRoom, [i](char *p) { return ox_str_itoa_u64(i, p, 16); });
}

int ox_dyn_buf_chomp(ox_dyn_buf *db)
{
    if (db->used_sz > 0) {
        db->used_sz--;
    }
    return 0;
}

char *ox_dyn_buf_strdup(ox_dyn_buf *db)
{
    return dup_used(db->buf, db->used_sz);
}

void ox_dyn_buf_free(ox_dyn_buf *db)
{
    if (!db->is_stack && db->buf) {
        ox_free(db->buf);
    }
}

ox_buf_builder *ox_buf_builder_create(void)
{
    ox_buf_builder *bb = (ox_buf_builder *)ox_malloc(kBuilderFirstBlock);
    if (!bb) {
        return nullptr;
    }
    bb->alloc_sz = kBuilderFirstBlock - kBuilderHeader;
    bb->used_sz = 0;
    return bb;
}

namespace {

// Moves the builder to a block of block_sz bytes.
int builder_regrow(ox_buf_builder **bb_r, size_t block_sz)
{
    ox_buf_builder *bb = (ox_buf_builder *)ox_realloc(*bb_r, block_sz);
    if (!bb) {
        return -1;
    }
    bb->alloc_sz = block_sz - kBuilderHeader;
    *bb_r = bb;
    return 0;
}

} // namespace

int ox_buf_builder_reserve_internal(ox_buf_builder **bb_r, size_t sz)
{
    ox_buf_builder *bb = *bb_r;
    if (sz < bb->alloc_sz - bb->used_sz) {
        return 0;
    }
    size_t new_sz = ox_dyn_buf_get_newsize(bb->alloc_sz, bb->used_sz, sz);
    if (new_sz <= bb->alloc_sz) {
        return -1;
    }
    return builder_regrow(bb_r, new_sz);
}

int ox_buf_builder_reserve_internal_absolute(ox_buf_builder **bb_r, size_t sz)
{
    ox_buf_builder *bb = *bb_r;
    if (bb->alloc_sz - bb->used_sz >= sz) {
        return 0;
    }
    if (sz > SIZE_MAX - kBuilderHeader - bb->used_sz) {
        return -1;
    }
    return builder_regrow(bb_r, kBuilderHeader + bb->used_sz + sz);
}

int ox_buf_builder_reserve(ox_buf_builder **bb_r, size_t sz, uint8_t **buf)
{
    builder_sink s{bb_r};
    uint8_t *dst = s.room(sz);
    if (!dst) {
        return -1;
    }
    s.commit(sz);
    *buf = dst;
    return 0;
}

int ox_buf_builder_reserve_absolute(ox_buf_builder **bb_r, size_t sz, uint8_t **buf)
{
    if (ox_buf_builder_reserve_internal_absolute(bb_r, sz) != 0) {
        return -1;
    }
    ox_buf_builder *bb = *bb_r;
    *buf = bb->buf + bb->used_sz;
    bb->used_sz += sz;
    return 0;
}

int ox_buf_builder_append_uint8(ox_buf_builder **bb_r, uint8_t i)
{
    return put_be(builder_sink{bb_r}, i, 1);
}

int ox_buf_builder_append_uint16(ox_buf_builder **bb_r, uint16_t i)
{
    return put_be(builder_sink{bb_r}, i, 2);
}

int ox_buf_builder_append_uint32(ox_buf_builder **bb_r, uint32_t i)
{
    return put_be(builder_sink{bb_r}, i, 4);
}

int ox_buf_builder_append_uint64(ox_buf_builder **bb_r, uint64_t i)
{
    return put_be(builder_sink{bb_r}, i, 8);
}

int ox_buf_builder_append_ascii_int(ox_buf_builder **bb_r, int32_t i)
{
    return put_text(builder_sink{bb_r}, kIntRoom, [i](char *p) { return ox_str_itoa(i, p, 10); });
}

int ox_buf_builder_append_ascii_uint32(ox_buf_builder **bb_r, uint32_t i)
{
    return put_text(builder_sink{bb_r}, kUint32Room, [i](char *p) { return ox_str_itoa_u32(i, p, 10); });
}

int ox_buf_builder_append_ascii_uint64(ox_buf_builder **bb_r, uint64_t i)
{
    return put_text(builder_sink{bb_r}, kUint64Room, [i](char *p) { return ox_str_itoa_u64(i, p, 10); });
}

int ox_buf_builder_append_ascii_uint64_x(ox_buf_builder **bb_r, uint64_t i)
{
    return put_text(builder_sink{bb_r}, kUint64HexRoom, [i](char *p) { return ox_str_itoa_u64(i, p, 16); });
}

int ox_buf_builder_append_char(ox_buf_builder **bb_r, char c)
{
    return put_bytes(builder_sink{bb_r}, &c, 1);
}

int ox_buf_builder_append_string(ox_buf_builder **bb_r, const char *s)
{
    return put_bytes(builder_sink{bb_r}, s, strlen(s));
}

int ox_buf_builder_append_buf(ox_buf_builder **bb_r, const void *buf, size_t sz)
{
    return put_bytes(builder_sink{bb_r}, buf, sz);
}

size_t ox_buf_builder_size(ox_buf_builder *bb)
{
    return bb->alloc_sz + kBuilderHeader;
}

int ox_buf_builder_chomp(ox_buf_builder *bb)
{
    if (bb->used_sz > 0) {
        bb->used_sz--;
    }
    return 0;
}

char *ox_buf_builder_strdup(ox_buf_builder *bb)
{
    return dup_used(bb->buf, bb->used_sz);
}

void ox_buf_builder_free(ox_buf_builder *bb)
{
    ox_free(bb);
}
