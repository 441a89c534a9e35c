// The escaped form in which debug mode shows raw bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>

#include "serial/display.h"
#include "support/capture.h"

namespace {

TEST(DisplayString, EveryByteValue)
{
    const std::map<int, std::string> named = {
        {0, "\\0"}, {7, "\\a"}, {8, "\\b"}, {9, "\\t"}, {10, "\\n"}, {11, "\\v"}, {12, "\\f"}, {13, "\\r"},
    };
    std::string bytes;
    std::string expected;
    for (int b = 0; b < 256; b++) {
        bytes += static_cast<char>(b);
        if (named.count(b) != 0) {
            expected += named.at(b);
        } else if (b >= 32 && b <= 127) {
            expected += static_cast<char>(b);
        } else {
            const char hex[] = "0123456789ABCDEF";
            expected += "\\x";
            expected += hex[b >> 4];
            expected += hex[b & 15];
        }
    }
    expected += "\"\n";
    EXPECT_EQ(CaptureStdout([&] { DisplayString(bytes.data(), bytes.size()); }), expected);
}

TEST(DisplayString, CountLimitsTheStretch)
{
    EXPECT_EQ(CaptureStdout([] { DisplayString("AT\r\nOK", 0); }), "\"\n");
    EXPECT_EQ(CaptureStdout([] { DisplayString("AT\r\nOK", 4); }), "AT\\r\\n\"\n");
}

}  // namespace
