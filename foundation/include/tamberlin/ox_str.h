/*
 * ox_str: allocation-free conversions between text and integers.
 *
 * The parsers define the number syntax of the configuration file and of the
 * run-time settings: decimal digits, then at most one suffix, then the end of
 * the text. Size suffixes are powers of 1024 (K, M, G, T, P), time suffixes
 * D, H, M, S; either case. The arithmetic wraps in the function's width and
 * digits are optional (the empty text is 0): callers check ranges themselves.
 * Every parser gives 0, or ATOI_ILLEGAL with the output left unwritten.
 *
 * The formatters write the digits and a NUL into the caller's buffer, which
 * must hold them, and give the count of characters written (NUL not counted).
 */
#pragma once

#include <cstdint>

#include "tamberlin/ox_vector.h"

#define ATOI_ILLEGAL -1
#define ATOI_OVERFLOW -2 /* the checked forms: the value does not fit */

// Digit characters of the formatters: radix 2 to 24.
extern const char itoa_table[24];
// Digit value of each 7-bit character in a radix, -1 for no digit.
extern const int8_t atoi_table[128];

/* Parsers: NUL-terminated text in, 0 or ATOI_ILLEGAL. */
int ox_str_atoi(const char *s, int32_t *value);         // "-"? digits [KMG]?
int ox_str_atoi_u32(const char *s, uint32_t *value);    // digits [KMG]?
int ox_str_atoi_64(const char *s, int64_t *value);      // "-"? digits [KMGTP]?
int ox_str_atoi_u64(const char *s, uint64_t *value);    // digits [KMGTP]?
// Checked forms of the two 64-bit parsers, for settings: at least one digit,
// and a value that does not fit (digits, suffix or sign) gives ATOI_OVERFLOW
// instead of wrapping; the output is written only on 0.
int ox_str_atoi_64_checked(const char *s, int64_t *value);   // "-"? digits [KMGTP]?
int ox_str_atoi_u64_checked(const char *s, uint64_t *value); // digits [KMGTP]?
// Times to live: digits [DHMS]?; a text starting "-1" (whatever follows) is 0.
int ox_str_atoi_seconds(const char *s, uint64_t *value);
int ox_str_atoi_seconds_checked(const char *s, uint64_t *value); // as above, checked
// Digits of the radix only (no sign, prefix or suffix); the empty text is 0.
int ox_str_atoi_u64_x(const char *s, uint64_t *value, int radix);

/* Formatters: radix 2 to 24 (an other radix writes the empty text and gives 0). */
uint32_t ox_str_itoa(int32_t value, char *s, int radix); // "-" and the magnitude when negative
uint32_t ox_str_itoa_u64(uint64_t value, char *s, int radix);
uint32_t ox_str_itoa_u32(uint32_t value, char *s, int radix);

// Cuts str in place at every character of the set fmt and appends a pointer
// to each piece (char *) to v; empty pieces count, except a last one. The
// pieces point into str: nothing is copied. Appends that fail are dropped.
void ox_str_split(const char *fmt, char *str, ox_vector *v);
