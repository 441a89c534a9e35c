// Text helpers shared by the command line and the script engine.
#include <gtest/gtest.h>

#include "run/text.h"

TEST(ReadNumber, ReadsLikePercentD)
{
    int32_t v = 7;
    EXPECT_TRUE(ReadNumber(" \t\r\n\v\f-42x", &v));
    EXPECT_EQ(v, -42);
    EXPECT_TRUE(ReadNumber("+5", &v));
    EXPECT_EQ(v, 5);
    v = 7;
    EXPECT_FALSE(ReadNumber("x5", &v));
    EXPECT_FALSE(ReadNumber("-", &v));
    EXPECT_FALSE(ReadNumber("", &v));
    EXPECT_EQ(v, 7);
}

TEST(ReadNumber, SaturatesBeyondThirtyTwoBits)
{
    int32_t v = 0;
    EXPECT_TRUE(ReadNumber("2147483647", &v));
    EXPECT_EQ(v, INT32_MAX);
    EXPECT_TRUE(ReadNumber("99999999999999999999999", &v));
    EXPECT_EQ(v, INT32_MAX);
    EXPECT_TRUE(ReadNumber("-2147483648", &v));
    EXPECT_EQ(v, INT32_MIN);
    EXPECT_TRUE(ReadNumber("-99999999999999999999999", &v));
    EXPECT_EQ(v, INT32_MIN);
}
