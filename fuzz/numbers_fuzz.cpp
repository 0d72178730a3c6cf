/*
 * Number parsing of the foundation (ox_str): every parser on the same text,
 * and each accepted value formatted and parsed again, which must give it
 * back. The text splitter runs on a copy with the separators of the
 * configuration's lists.
 *
 * Input: one byte choosing the radix of ox_str_atoi_u64_x (2 to 24), then the
 * text (a NUL inside ends it, as it would for the callers).
 */
#include <cstdio>
#include <cstring>

#include "fuzz_common.h"
#include "tamberlin/ox_str.h"
#include "tamberlin/ox_vector.h"

#define FUZZ_CHECK(cond)                                                            \
	do {                                                                        \
		if (!(cond)) {                                                      \
			fprintf(stderr, "numbers: %s fails at line %d\n", #cond, __LINE__); \
			abort();                                                    \
		}                                                                   \
	} while (0)

static void
round_trips(const char *s, int radix)
{
	char buf[80];
	int32_t i32;
	if (ox_str_atoi(s, &i32) == 0) {
		ox_str_itoa(i32, buf, 10);
		int32_t back = 0;
		FUZZ_CHECK(ox_str_atoi(buf, &back) == 0 && back == i32);
	}
	uint32_t u32;
	if (ox_str_atoi_u32(s, &u32) == 0) {
		ox_str_itoa_u32(u32, buf, 10);
		uint32_t back = 0;
		FUZZ_CHECK(ox_str_atoi_u32(buf, &back) == 0 && back == u32);
	}
	int64_t i64;
	if (ox_str_atoi_64(s, &i64) == 0) {
		// No signed 64-bit formatter: the magnitude, then the sign.
		uint64_t mag = i64 < 0 ? 0 - (uint64_t)i64 : (uint64_t)i64;
		buf[0] = '-';
		uint32_t n = ox_str_itoa_u64(mag, buf + 1, 10);
		FUZZ_CHECK(n > 0 && n < sizeof(buf) - 1);
		int64_t back = 0;
		FUZZ_CHECK(ox_str_atoi_64(i64 < 0 ? buf : buf + 1, &back) == 0 && back == i64);
	}
	uint64_t u64;
	uint64_t secs_check;
	if (ox_str_atoi_u64(s, &u64) == 0) {
		ox_str_itoa_u64(u64, buf, 10);
		uint64_t back = 0;
		FUZZ_CHECK(ox_str_atoi_u64(buf, &back) == 0 && back == u64);
	}
	// The checked forms agree with the wrapping ones wherever they accept,
	// and accept no text the wrapping ones refuse.
	int64_t c64;
	int rc = ox_str_atoi_64_checked(s, &c64);
	FUZZ_CHECK(rc == 0 || rc == ATOI_ILLEGAL || rc == ATOI_OVERFLOW);
	if (rc == 0) {
		FUZZ_CHECK(ox_str_atoi_64(s, &i64) == 0 && i64 == c64);
	} else if (rc == ATOI_OVERFLOW) {
		FUZZ_CHECK(ox_str_atoi_64(s, &i64) == 0);
	}
	uint64_t cu64;
	rc = ox_str_atoi_u64_checked(s, &cu64);
	if (rc == 0) {
		FUZZ_CHECK(ox_str_atoi_u64(s, &u64) == 0 && u64 == cu64);
	} else if (rc == ATOI_OVERFLOW) {
		FUZZ_CHECK(ox_str_atoi_u64(s, &u64) == 0);
	}
	uint64_t csecs;
	rc = ox_str_atoi_seconds_checked(s, &csecs);
	if (rc == 0) {
		FUZZ_CHECK(ox_str_atoi_seconds(s, &secs_check) == 0 && secs_check == csecs);
	} else if (rc == ATOI_OVERFLOW) {
		FUZZ_CHECK(ox_str_atoi_seconds(s, &secs_check) == 0);
	}
	uint64_t secs;
	if (ox_str_atoi_seconds(s, &secs) == 0) {
		ox_str_itoa_u64(secs, buf, 10);
		uint64_t back = 1;
		FUZZ_CHECK(ox_str_atoi_seconds(buf, &back) == 0 && back == secs);
	}
	uint64_t x;
	if (ox_str_atoi_u64_x(s, &x, radix) == 0) {
		uint32_t n = ox_str_itoa_u64(x, buf, radix);
		FUZZ_CHECK(n > 0 && strlen(buf) == n);
		uint64_t back = 0;
		FUZZ_CHECK(ox_str_atoi_u64_x(buf, &back, radix) == 0 && back == x);
	}
}

static void
split(const char *s, size_t len)
{
	char *copy = fuzz_text((const uint8_t *)s, len);
	fuzz_owned own(copy);
	ox_vector *v = ox_vector_create(sizeof(void *), 8, 0);
	FUZZ_CHECK(v != nullptr);
	ox_str_split(",; \t", copy, v);
	size_t total = 0;
	for (uint32_t i = 0; i < ox_vector_size(v); i++) {
		auto *piece = (char *)ox_vector_pointer_get(v, i);
		FUZZ_CHECK(piece >= copy && piece <= copy + len);
		size_t n = strlen(piece);
		FUZZ_CHECK(strcspn(piece, ",; \t") == n);
		total += n + 1;
	}
	FUZZ_CHECK(total <= len + 1);
	ox_vector_destroy(v);
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	int radix = 2 + data[0] % 23;
	char *text = fuzz_text(data + 1, size - 1);
	fuzz_owned own(text);
	round_trips(text, radix);
	split(text, strlen(text));
	// The formatters with any radix, the ones they refuse included.
	char buf[80];
	uint64_t v = 0;
	memcpy(&v, data + 1, size - 1 < sizeof(v) ? size - 1 : sizeof(v));
	ox_str_itoa_u64(v, buf, data[0] % 32);
	ox_str_itoa((int32_t)v, buf, data[0] % 32);
	return 0;
}
