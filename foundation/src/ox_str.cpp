/*
 * ox_str: number parsing and formatting in one pass, no allocation.
 *
 * The four decimal parsers share one template over the width, the sign and
 * the suffix set. Accumulation is done in the unsigned type of the width so
 * that the specified wrap-around is defined behaviour; a signed result is the
 * two's-complement reinterpretation of it. The formatters count the digits
 * first so they can write them last to first without a reversal.
 */
#include "tamberlin/ox_str.h"

#include <cstring>

const char itoa_table[24] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B',
    'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N'};

namespace {

constexpr bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

constexpr char upper(char c)
{
    return (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c;
}

// Shift of a size suffix, or -1 when c is none of the first max_suffixes of K M G T P.
int size_shift(char c, int max_suffixes)
{
    static const char suffixes[] = "KMGTP";
    if (c == '\0') {
        return -1;
    }
    const char *p = strchr(suffixes, upper(c));
    if (!p || p - suffixes >= max_suffixes) {
        return -1;
    }
    return (int)(p - suffixes + 1) * 10;
}

// Decimal digits, one optional size suffix, end of text. U is the unsigned
// type of the width; wraps in U.
template <typename U>
int parse_decimal(const char *s, bool allow_sign, int max_suffixes, U *out)
{
    bool neg = false;
    if (allow_sign && *s == '-') {
        neg = true;
        s++;
    }
    U v = 0;
    for (; is_digit(*s); s++) {
        v = (U)(v * 10u + (U)(*s - '0'));
    }
    if (*s) {
        int shift = size_shift(*s, max_suffixes);
        if (shift < 0) {
            return ATOI_ILLEGAL;
        }
        v = (U)(v << shift);
        s++;
    }
    if (*s) {
        return ATOI_ILLEGAL;
    }
    *out = neg ? (U)(U(0) - v) : v;
    return 0;
}

// Reads the decimal digits at *s into *v (moving *s past them); true when the
// value no longer fits 64 bits.
bool accumulate_digits(const char **s, uint64_t *v)
{
    bool over = false;
    for (; is_digit(**s); (*s)++) {
        uint64_t d = (uint64_t)(**s - '0');
        over |= *v > (UINT64_MAX - d) / 10;
        *v = *v * 10 + d;
    }
    return over;
}

// The checked form of parse_decimal in 64 bits: at least one digit, and a
// value beyond the width (digits, suffix or sign) gives ATOI_OVERFLOW.
int parse_decimal_checked(const char *s, bool allow_sign, uint64_t *magnitude, bool *neg)
{
    *neg = false;
    if (allow_sign && *s == '-') {
        *neg = true;
        s++;
    }
    if (!is_digit(*s)) {
        return ATOI_ILLEGAL;
    }
    uint64_t v = 0;
    bool over = accumulate_digits(&s, &v);
    if (*s) {
        int shift = size_shift(*s, 5);
        if (shift < 0 || s[1]) {
            return ATOI_ILLEGAL;
        }
        over |= v > (UINT64_MAX >> shift);
        v <<= shift;
    }
    if (over) {
        return ATOI_OVERFLOW;
    }
    *magnitude = v;
    return 0;
}

} // namespace

const int8_t atoi_table[128] = {
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
     0,  1,  2,  3,  4,  5,  6,  7,  8,  9, -1, -1, -1, -1, -1, -1,
    -1, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24,
    25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, -1, -1, -1, -1,
    -1, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24,
    25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, -1, -1, -1, -1,
};

int ox_str_atoi(const char *s, int32_t *value)
{
    uint32_t u;
    if (parse_decimal<uint32_t>(s, true, 3, &u) != 0) {
        return ATOI_ILLEGAL;
    }
    *value = (int32_t)u;
    return 0;
}

int ox_str_atoi_u32(const char *s, uint32_t *value)
{
    return parse_decimal<uint32_t>(s, false, 3, value);
}

int ox_str_atoi_64(const char *s, int64_t *value)
{
    uint64_t u;
    if (parse_decimal<uint64_t>(s, true, 5, &u) != 0) {
        return ATOI_ILLEGAL;
    }
    *value = (int64_t)u;
    return 0;
}

int ox_str_atoi_u64(const char *s, uint64_t *value)
{
    return parse_decimal<uint64_t>(s, false, 5, value);
}

int ox_str_atoi_64_checked(const char *s, int64_t *value)
{
    uint64_t m;
    bool neg;
    int rv = parse_decimal_checked(s, true, &m, &neg);
    if (rv != 0) {
        return rv;
    }
    if (m > (neg ? (uint64_t)INT64_MAX + 1 : (uint64_t)INT64_MAX)) {
        return ATOI_OVERFLOW;
    }
    *value = neg ? (int64_t)(0 - m) : (int64_t)m;
    return 0;
}

int ox_str_atoi_u64_checked(const char *s, uint64_t *value)
{
    bool neg;
    return parse_decimal_checked(s, false, value, &neg);
}

// Times to live; checked: at least one digit and no wrap (ATOI_OVERFLOW).
static int parse_seconds(const char *s, uint64_t *value, bool checked)
{
    if (*s == '-') {
        // "-1" and anything that starts with it is the configuration's "never expire".
        if (s[1] != '1') {
            return ATOI_ILLEGAL;
        }
        *value = 0;
        return 0;
    }
    if (checked && !is_digit(*s)) {
        return ATOI_ILLEGAL;
    }
    uint64_t v = 0;
    bool over = accumulate_digits(&s, &v);
    if (*s) {
        uint64_t mult;
        switch (upper(*s)) {
        case 'D': mult = 86400; break;
        case 'H': mult = 3600; break;
        case 'M': mult = 60; break;
        case 'S': mult = 1; break;
        default: return ATOI_ILLEGAL;
        }
        over |= v > UINT64_MAX / mult;
        v *= mult;
        s++;
    }
    if (*s) {
        return ATOI_ILLEGAL;
    }
    if (checked && over) {
        return ATOI_OVERFLOW;
    }
    *value = v;
    return 0;
}

int ox_str_atoi_seconds(const char *s, uint64_t *value)
{
    return parse_seconds(s, value, false);
}

int ox_str_atoi_seconds_checked(const char *s, uint64_t *value)
{
    return parse_seconds(s, value, true);
}

int ox_str_atoi_u64_x(const char *s, uint64_t *value, int radix)
{
    uint64_t v = 0;
    for (; *s; s++) {
        unsigned char c = (unsigned char)*s;
        int d = c < 128 ? atoi_table[c] : -1;
        if (d < 0 || d >= radix) {
            return ATOI_ILLEGAL;
        }
        v = v * (uint64_t)radix + (uint64_t)d;
    }
    *value = v;
    return 0;
}

uint32_t ox_str_itoa_u64(uint64_t value, char *s, int radix)
{
    if (radix < 2 || radix > (int)sizeof(itoa_table)) {
        s[0] = '\0';
        return 0;
    }
    if (value == 0) {
        s[0] = '0';
        s[1] = '\0';
        return 1;
    }
    uint32_t n = 0;
    for (uint64_t t = value; t; t /= (uint64_t)radix) {
        n++;
    }
    s[n] = '\0';
    for (uint32_t i = n; i > 0; i--) {
        s[i - 1] = itoa_table[value % (uint64_t)radix];
        value /= (uint64_t)radix;
    }
    return n;
}

uint32_t ox_str_itoa_u32(uint32_t value, char *s, int radix)
{
    return ox_str_itoa_u64(value, s, radix);
}

uint32_t ox_str_itoa(int32_t value, char *s, int radix)
{
    if (value >= 0) {
        return ox_str_itoa_u64((uint32_t)value, s, radix);
    }
    if (radix < 2 || radix > (int)sizeof(itoa_table)) {
        s[0] = '\0';
        return 0;
    }
    // The magnitude in unsigned arithmetic: INT32_MIN has no positive int32 form.
    s[0] = '-';
    return 1 + ox_str_itoa_u64(0u - (uint32_t)value, s + 1, radix);
}

void ox_str_split(const char *fmt, char *str, ox_vector *v)
{
    char *piece = str;
    for (char *p = str; *p; p++) {
        if (strchr(fmt, *p)) {
            *p = '\0';
            ox_vector_pointer_append(v, piece);
            piece = p + 1;
        }
    }
    if (*piece) {
        ox_vector_pointer_append(v, piece);
    }
}
