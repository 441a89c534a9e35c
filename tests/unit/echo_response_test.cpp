// Skipping the device's echo and condensing the response text to one line.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "serial/response.h"
#include "support/capture.h"
#include "support/process_state.h"

namespace {

class EchoSkip : public ::testing::Test {
protected:
    void SetUp() override { ResetProcessState(); }
    void TearDown() override { ResetProcessState(); }

    // What follows the echo of tx in rx, as Response leaves it in RespStr.
    std::string After(const char* tx, const std::string& rx)
    {
        memcpy(RxData, rx.c_str(), rx.size() + 1);
        char* at = Response(tx, RxData);
        EXPECT_EQ(at, RespStr);
        EXPECT_EQ(SkipEcho(tx, RxData), at);
        return at;
    }
};

TEST_F(EchoSkip, EchoOfALineEndingInWhiteSpaceTakesTheBlanksAfterIt)
{
    EXPECT_EQ(After("AT+CSQ\r", "AT+CSQ\r\r\n+CSQ: 23,99\r\n\r\nOK\r\n"), "+CSQ: 23,99\r\n\r\nOK\r\n");
}

TEST_F(EchoSkip, EchoOfALineWithoutWhiteSpaceAtItsEndKeepsTheBlanksAfterIt)
{
    EXPECT_EQ(After("AT+CSQ", "AT+CSQ\r\n+CSQ: 23,99\r\n"), "\r\n+CSQ: 23,99\r\n");
}

TEST_F(EchoSkip, NoEchoStartsAtTheFirstNonBlank)
{
    EXPECT_EQ(After("AT+CSQ\r", "\r\n+CSQ: 23,99\r\nOK\r\n"), "+CSQ: 23,99\r\nOK\r\n");
}

TEST_F(EchoSkip, AnswerBeginningLikeTheCommandIsPartlyTakenAsEcho)
{
    EXPECT_EQ(After("ATI\r", "\r\nATZ OK\r\n"), "Z OK\r\n");
}

TEST_F(EchoSkip, EchoDifferingOnlyInWhiteSpaceIsStillTheEcho)
{
    EXPECT_EQ(After("AT +C SQ\r\n", "A T+CSQ\t\r\nOK\r\n"), "OK\r\n");
    EXPECT_EQ(After("AT+CSQ\r", "A\r\nT + C S Q\r\nOK"), "OK");
}

TEST_F(EchoSkip, EmptyTexts)
{
    EXPECT_EQ(After("", "\r\nOK\r\n"), "OK\r\n");
    EXPECT_EQ(After("AT\r", ""), "");
    EXPECT_EQ(After(" \r\n", " \r\n"), "");
}

TEST_F(EchoSkip, ComparisonIsExact)
{
    EXPECT_EQ(After("at\r", "AT\r\nOK\r\n"), "AT\r\nOK\r\n");
}

TEST_F(EchoSkip, ResponseMovesRespStrIntoTheReceivedText)
{
    EXPECT_EQ(After("AT\r", "AT\r\nOK"), "OK");
    EXPECT_EQ(RespStr, RxData + 4);
}

TEST(PrintResponse, JoinsLinesWithCommas)
{
    struct Case {
        const char* text;
        const char* shown;
    } cases[] = {
        {"+CSQ: 23,99\r\n\r\nOK\r\n", "+CSQ: 23,99, OK"},
        {"\r\n\r\nOK", "OK"},
        {"\b\r\nA\bB\n\n\rC", "A, B, C"},
        {"A\r\n", "A"},
        {"\r\n", ""},
        {"", ""},
        {"  lead and\ttab \r\n", "  lead and\ttab "},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CaptureStdout([&] { PrintResponse(c.text); }), c.shown) << c.text;
    }
}

}  // namespace
