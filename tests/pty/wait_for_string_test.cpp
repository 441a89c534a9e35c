// The response wait against a device on a pseudo-terminal: answers found or
// not, time limits, data the search must not see, floods and hang-ups.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "script/modem.h"
#include "serial/response.h"
#include "support/open_port.h"

namespace {

class ResponseWait : public OpenPort {
protected:
    // Sends the line as a script line would be sent; answers what was printed.
    std::string Send(const std::string& line, bool* answered)
    {
        char buf[LINE_BUFFER_SIZE];
        memcpy(buf, line.c_str(), line.size() + 1);
        return CaptureStdout([&] { *answered = SendVLKCommand(port_, buf, "OK", "ERROR"); });
    }

    // WaitForString with the sent text "AT\r"; *ms is how long it took.
    std::string Wait(int32_t limit, bool* answered, long long* ms)
    {
        return Timed([&] { *answered = WaitForString(port_, "AT\r", "OK", "ERROR", limit); }, ms);
    }
};

// What debug mode shows for one read.
std::string ShownRead(const std::string& escaped, size_t n)
{
    return "\nnRx = " + std::to_string(n) + "\nReceived " + std::to_string(n) + " bytes = \"" + escaped + "\"\n";
}

TEST_F(ResponseWait, GoodAnswerAfterTheEcho)
{
    device_->SetHandler(Rules({{"AT+CSQ", "\r\n+CSQ: 23,99\r\n\r\nOK\r\n"}}));
    bool answered = false;
    EXPECT_EQ(Send("AT+CSQ\r\n", &answered), "AT+CSQ\r\nGot \"+CSQ: 23,99, OK\"\n");
    EXPECT_TRUE(answered);
    EXPECT_STREQ(RespStr, "+CSQ: 23,99\r\n\r\nOK\r\n");
    EXPECT_EQ(RespStr, RxData + strlen("AT+CSQ\r\r\n"));
}

TEST_F(ResponseWait, BadAnswerFailsTheWait)
{
    device_->SetHandler(Rules({}, "\r\n+CME ERROR: 3\r\n"));
    bool answered = true;
    EXPECT_EQ(Send("AT+CFUN=9\r\n", &answered), "AT+CFUN=9\r\nGot \"+CME ERROR: 3\"\n");
    EXPECT_FALSE(answered);
    EXPECT_STREQ(RespStr, "+CME ERROR: 3\r\n");
}

TEST_F(ResponseWait, BothAnswersInOneReadCountAsGood)
{
    device_->SetHandler(Rules({{"ATZ", "\r\nERROR\r\nOK\r\n"}}));
    bool answered = false;
    EXPECT_EQ(Send("ATZ\r\n", &answered), "ATZ\r\nGot \"ERROR, OK\"\n");
    EXPECT_TRUE(answered);
}

TEST_F(ResponseWait, GoodWordInsideTheEchoedCommandIsNotAnAnswer)
{
    device_->SetHandler(Rules({}, "\r\nERROR\r\n"));
    bool answered = true;
    EXPECT_EQ(Send("AT+CPBW=1,\"5551234\",129,\"BOOK\"\r\n", &answered),
              "AT+CPBW=1,\"5551234\",129,\"BOOK\"\r\nGot \"ERROR\"\n");
    EXPECT_FALSE(answered);
}

TEST_F(ResponseWait, EchoAloneThenTheAnswerInALaterRead)
{
    Debug = true;
    device_->SetHandler(Rules({{"AT+CSQ", "\r\nOK\r\n", 2000}}));
    bool answered = false;
    EXPECT_EQ(Send("AT+CSQ\r\n", &answered),
              "AT+CSQ\r\n"
              "AT+CSQ\\r\\n\"\n"
              "AT+CSQ\\r\"\n" +
                  ShownRead("AT+CSQ\\r", 7) + ShownRead("\\r\\nOK\\r\\n", 6) + "Got \"OK\"\n");
    EXPECT_TRUE(answered);
}

TEST_F(ResponseWait, SilentDeviceTimesOutAfterTheReadInProgress)
{
    Debug = true;
    RespStr = RxData;
    strcpy(RxData, "kept");
    bool answered = true;
    long long ms = 0;
    EXPECT_EQ(Wait(1, &answered, &ms), "\nnRx = 0\nTimed out waiting for \"OK\"\n");
    EXPECT_FALSE(answered);
    EXPECT_GE(ms, 1000);
    EXPECT_LE(ms, 1000 + 12680 + 1000);  // the limit is only tested between reads
    EXPECT_EQ(RespStr, RxData);
    EXPECT_STREQ(RespStr, "kept");
}

TEST_F(ResponseWait, NoLimitLeftMeansNoRead)
{
    Debug = true;
    device_->Send("\r\nOK\r\n");
    for (int32_t limit : {0, -1, INT32_MIN}) {
        bool answered = true;
        long long ms = 0;
        EXPECT_EQ(Wait(limit, &answered, &ms), "Timed out waiting for \"OK\"\n") << limit;
        EXPECT_FALSE(answered);
        EXPECT_LT(ms, 200) << limit;
    }
    // The answer is still waiting on the line.
    bool answered = false;
    long long ms = 0;
    EXPECT_EQ(Wait(INT32_MAX, &answered, &ms), ShownRead("\\r\\nOK\\r\\n", 6) + "Got \"OK\"\n");
    EXPECT_TRUE(answered);
}

TEST_F(ResponseWait, AnswerSplitOverMoreThanASecondIsNotFound)
{
    Debug = true;
    std::thread device([&] {
        device_->Send("O");
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        device_->Send("K\r\n");
    });
    bool answered = true;
    long long ms = 0;
    const std::string out = Wait(2, &answered, &ms);
    device.join();
    EXPECT_EQ(out, ShownRead("O", 1) + ShownRead("K\\r\\n", 3) + "Timed out waiting for \"OK\"\n");
    EXPECT_FALSE(answered);
    EXPECT_LT(ms, 4000);
}

TEST_F(ResponseWait, NulByteEndsTheSearchableText)
{
    Debug = true;
    device_->Send(std::string("AB\0\r\nOK\r\n", 9));
    bool answered = true;
    long long ms = 0;
    EXPECT_EQ(Wait(1, &answered, &ms), ShownRead("AB\\0\\r\\nOK\\r\\n", 9) + "Timed out waiting for \"OK\"\n");
    EXPECT_FALSE(answered);

    Debug = false;
    device_->Send(std::string("\r\nOK\r\n\0ERROR\r\n", 14));
    EXPECT_EQ(Wait(5, &answered, &ms), "Got \"OK\"\n");
    EXPECT_TRUE(answered);
}

TEST_F(ResponseWait, FloodIsReadInPiecesThatFitTheBuffer)
{
    Debug = true;
    const char guard = '\x5A';
    RxData[RX_MAX + 1] = guard;
    const std::string flood(2000, 'x');
    device_->Send(flood + "\r\nOK\r\n");
    bool answered = false;
    long long ms = 0;
    const std::string out = Wait(10, &answered, &ms);
    EXPECT_TRUE(answered);
    const std::string last = std::string(2000 - 2 * RX_MAX, 'x');
    EXPECT_EQ(out, ShownRead(std::string(RX_MAX, 'x'), RX_MAX) + ShownRead(std::string(RX_MAX, 'x'), RX_MAX) +
                       ShownRead(last + "\\r\\nOK\\r\\n", last.size() + 6) + "Got \"" + last + ", OK\"\n");
    EXPECT_EQ(nRx, last.size() + 6);
    EXPECT_EQ(RxData[RX_MAX + 1], guard);
}

TEST_F(ResponseWait, HangUpEndsTheWaitWithTheReadError)
{
    std::thread device([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        device_->HangUp();
    });
    bool answered = true;
    long long ms = 0;
    const std::string out = Wait(10, &answered, &ms);
    device.join();
    EXPECT_EQ(out, "ReadFile error 5\n");  // EIO
    EXPECT_FALSE(answered);
    EXPECT_LT(ms, 2000);
}

}  // namespace
