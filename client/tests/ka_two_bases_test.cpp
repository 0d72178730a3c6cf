// The client's base and the foundation's live in one process and one file:
// the clashing names (ox_getms, OX_INFO, OX_DEBUG, the socket calls) resolve
// by scope, and both libraries link without duplicate symbols.
#include "tamberlin/fault.h"
#include "tamberlin/ox_clock.h"
#include "tamberlin/ox_log.h"
#include "tamberlin/ox_socket.h"

#include <gtest/gtest.h>

TEST(TwoBases, ClashingNamesResolveByScope)
{
    // The foundation's severities and the client's levels share two numbers
    // but are different enumerations.
    EXPECT_EQ(static_cast<int>(OX_INFO), 2);
    EXPECT_EQ(static_cast<int>(ka::OX_INFO), 2);
    EXPECT_EQ(static_cast<int>(ka::OX_DEBUG), 3);
    EXPECT_EQ(static_cast<int>(ka::OX_NO_LOGGING), -1);
    // Both clocks read the same monotonic rule.
    uint64_t a = ox_getms();
    uint64_t b = ka::ox_getms();
    uint64_t c = ox_getms();
    EXPECT_LE(a, b);
    EXPECT_LE(b, c);
}
