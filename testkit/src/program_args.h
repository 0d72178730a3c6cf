// What the stand-ins' programs share in reading their command lines.
#pragma once

#include <cstdlib>

// A whole decimal number from min to max, or -1.
inline long testkit_parse_count(const char *s, long min, long max)
{
    char *end = nullptr;
    long v = strtol(s, &end, 10);
    if (!*s || *end || v < min || v > max)
        return -1;
    return v;
}
