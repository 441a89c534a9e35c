// Network port names as the port's opening reads them: the options' values.
#include <gtest/gtest.h>

#include <cstdint>

#include "remote/name.h"

namespace {

struct TimeoutCase {
    const char* name;
    netname::Fault fault;
    uint32_t limitMs;  // when the name is well formed
};

TEST(NetName, TimeoutInSecondsWithUpToThreeDecimals)
{
    const TimeoutCase cases[] = {
        {"rfc2217://lab:7001", netname::Fault::None, netname::DefaultLimitMs},
        {"rfc2217://lab:7001?timeout=2", netname::Fault::None, 2000},
        {"rfc2217://lab:7001?timeout=0.9", netname::Fault::None, 900},
        {"rfc2217://lab:7001?timeout=2.5&logging=debug", netname::Fault::None, 2500},
        {"rfc2217://lab:7001?timeout=0.25", netname::Fault::None, 250},
        {"rfc2217://lab:7001?timeout=0.001", netname::Fault::None, 1},
        {"rfc2217://lab:7001?timeout=3600", netname::Fault::None, 3600 * 1000},
        {"rfc2217://lab:7001?timeout=0", netname::Fault::Timeout, 0},
        {"rfc2217://lab:7001?timeout=0.0004", netname::Fault::Timeout, 0},
        {"rfc2217://lab:7001?timeout=3600.001", netname::Fault::Timeout, 0},
        {"rfc2217://lab:7001?timeout=.5", netname::Fault::Timeout, 0},
        {"rfc2217://lab:7001?timeout=1s", netname::Fault::Timeout, 0},
    };
    for (const TimeoutCase& c : cases) {
        netname::Name name;
        EXPECT_EQ(netname::Parse(c.name, &name), c.fault) << c.name;
        if (c.fault == netname::Fault::None) {
            EXPECT_EQ(name.limitMs, c.limitMs) << c.name;
        }
    }
}

}  // namespace
