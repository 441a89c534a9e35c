// The telnet and COM port codec of network ports, fed bytes as a server sends them.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "remote/telnet.h"

namespace {

using namespace telnet;

// What the codec takes as data from the bytes, fed in one piece or byte by byte.
std::string Data(Codec* codec, const std::string& in, bool byteByByte = false)
{
    std::string buf = in;
    uint8_t* p = reinterpret_cast<uint8_t*>(&buf[0]);
    size_t k = 0;
    if (byteByByte) {
        for (size_t i = 0; i < buf.size(); i++) {
            k += Receive(codec, p + i, 1, p + k);
        }
    } else {
        k = Receive(codec, p, buf.size(), p);
    }
    return buf.substr(0, k);
}

// The answers the codec holds for the server, taken out of it.
std::string Reply(Codec* codec)
{
    const std::string reply(reinterpret_cast<const char*>(codec->reply), codec->replyLength);
    codec->replyLength = 0;
    return reply;
}

std::string Bytes(std::initializer_list<int> list)
{
    std::string s;
    for (int b : list) {
        s += static_cast<char>(b);
    }
    return s;
}

// ser2net 4's first words on a telnet(rfc2217) port.
const std::string Ser2netOpening = Bytes({255, 251, 3, 255, 253, 3, 255, 251, 1, 255, 254, 1, 255, 253, 0, 255, 251, 0,
                                          255, 253, 44, 255, 250, 44, 107, 0, 255, 240});

TEST(Telnet, OpeningAsksBinaryAndNoGoAheadBothWaysAndOffersTheComPort)
{
    Codec codec;
    Opening(&codec, true);
    EXPECT_EQ(Reply(&codec), Bytes({255, 251, 0, 255, 253, 0, 255, 251, 3, 255, 253, 3, 255, 251, 44}));
    Codec plain;
    Opening(&plain, false);
    EXPECT_EQ(Reply(&plain), Bytes({255, 251, 0, 255, 253, 0, 255, 251, 3, 255, 253, 3}));
    EXPECT_EQ(plain.comPort, ComPort::Refused);
}

TEST(Telnet, ServerOpeningAgreesAndOnlyEchoIsDeclined)
{
    for (bool byteByByte : {false, true}) {
        Codec codec;
        Opening(&codec, true);
        Reply(&codec);
        EXPECT_EQ(Data(&codec, Ser2netOpening + "OK", byteByByte), "OK");
        EXPECT_EQ(codec.comPort, ComPort::Agreed);
        EXPECT_EQ(Reply(&codec), Bytes({255, 254, 1}));  // DONT ECHO, nothing else
        EXPECT_EQ(codec.answers[SET_BAUDRATE], 0u);
    }
}

TEST(Telnet, ComPortRefusedAndUnknownOptionsDeclined)
{
    Codec codec;
    Opening(&codec, true);
    Reply(&codec);
    EXPECT_EQ(Data(&codec, Bytes({255, 254, 44, 255, 253, 24, 255, 252, 0})), "");
    EXPECT_EQ(codec.comPort, ComPort::Refused);
    // WONT terminal type for DO terminal type; the refused BINARY was only asked, so no answer.
    EXPECT_EQ(Reply(&codec), Bytes({255, 252, 24}));
    EXPECT_EQ(Data(&codec, Bytes({255, 253, 44})), "");  // asked again: declined, not taken
    EXPECT_EQ(Reply(&codec), Bytes({255, 252, 44}));
    EXPECT_EQ(codec.comPort, ComPort::Refused);
}

// A server that asks for ever: answers stay within their buffer when taken after
// every piece of ReceiveMax bytes, and past the buffer are dropped, not grown.
TEST(Telnet, AnswersToANegotiationFloodStayBounded)
{
    std::string flood;
    while (flood.size() < 4 * ReceiveMax) {
        flood += Bytes({255, 253, 24, 255, 251, 99});
    }
    Codec codec;
    for (size_t at = 0; at < flood.size(); at += ReceiveMax) {
        EXPECT_EQ(Data(&codec, flood.substr(at, ReceiveMax)), "");
        EXPECT_LE(codec.replyLength, ReplyMax);
        Reply(&codec);
    }
    EXPECT_EQ(codec.repliesDropped, 0u);
    EXPECT_EQ(Data(&codec, flood), "");
    EXPECT_EQ(codec.replyLength, ReplyMax / 3 * 3);
    EXPECT_EQ(codec.repliesDropped, flood.size() / 3 - ReplyMax / 3);
}

TEST(Telnet, DataKeepsNulCrAndDoubled255InEveryCut)
{
    const std::string wire = Bytes({'O', 0, 13, 255, 255, 10, 255, 241, 255, 249, 13, 0, 255, 255});
    const std::string data = Bytes({'O', 0, 13, 255, 10, 13, 0, 255});
    for (bool byteByByte : {false, true}) {
        Codec codec;
        EXPECT_EQ(Data(&codec, wire, byteByByte), data);
        EXPECT_EQ(codec.replyLength, 0u);
    }
}

TEST(Telnet, ComPortAnswersCountedWithTheirValues)
{
    Codec codec;
    Opening(&codec, true);
    // 115200 = 00 01 C2 00; a speed holding byte 255 arrives doubled; SET-CONTROL twice.
    const std::string in = Bytes({255, 250, 44, 101, 0, 1, 194, 0, 255, 240, 'A', 255, 250, 44, 101, 0, 0, 255, 255, 1,
                                  255, 240, 255, 250, 44, 105, 1, 255, 240, 255, 250, 44, 105, 9, 255, 240, 'B'});
    EXPECT_EQ(Data(&codec, in, true), "AB");
    EXPECT_EQ(codec.answers[SET_BAUDRATE], 2u);
    EXPECT_EQ(codec.value[SET_BAUDRATE], 0xFF01u);
    EXPECT_EQ(codec.answers[SET_CONTROL], 2u);
    EXPECT_EQ(codec.controls, 1u << 1 | 1u << 9);
    // Client commands echoed back, other options and an overlong message count for nothing.
    std::string other = Bytes({255, 250, 44, 1, 0, 0, 0, 9, 255, 240, 255, 250, 24, 0, 255, 240, 255, 250, 44, 102});
    other += std::string(500, '\x08') + Bytes({255, 240, 'C'});
    EXPECT_EQ(Data(&codec, other), "C");
    EXPECT_EQ(codec.answers[SET_BAUDRATE], 2u);
    EXPECT_EQ(codec.answers[SET_DATASIZE], 0u);
    EXPECT_LE(codec.subLength, SubMax);
}

TEST(Telnet, OutgoingDataDoubles255AndCountsBack)
{
    const uint8_t data[] = {'A', 255, 0, 13, 255};
    uint8_t out[16];
    size_t taken = 0;
    const size_t n = Escape(data, sizeof data, out, sizeof out, &taken);
    const std::string wire(reinterpret_cast<const char*>(out), n);
    EXPECT_EQ(wire, Bytes({'A', 255, 255, 0, 13, 255, 255}));
    EXPECT_EQ(taken, sizeof data);
    const size_t expected[] = {0, 1, 1, 2, 3, 4, 4, 5};  // half a pair is not yet a byte
    for (size_t k = 0; k <= n; k++) {
        EXPECT_EQ(Unescaped(out, n, k), expected[k]) << k;
    }
    // Room for a byte 255 only with its double: it waits for the next piece.
    EXPECT_EQ(Escape(data, sizeof data, out, 2, &taken), 1u);
    EXPECT_EQ(taken, 1u);
}

TEST(Telnet, ComPortCommandsInNetworkOrder)
{
    const auto command = [](uint8_t c, uint32_t value, int width) {
        uint8_t out[CommandMax];
        return std::string(reinterpret_cast<const char*>(out), ComPortCommand(c, value, width, out));
    };
    EXPECT_EQ(command(SET_BAUDRATE, 115200, 4), Bytes({255, 250, 44, 1, 0, 1, 194, 0, 255, 240}));
    EXPECT_EQ(command(SET_CONTROL, 8, 1), Bytes({255, 250, 44, 5, 8, 255, 240}));
    EXPECT_EQ(command(SET_BAUDRATE, 0xFFFFFFFFu, 4),
              Bytes({255, 250, 44, 1, 255, 255, 255, 255, 255, 255, 255, 255, 255, 240}));
    EXPECT_EQ(command(SET_BAUDRATE, 0xFF00FFu, 4), Bytes({255, 250, 44, 1, 0, 255, 255, 0, 255, 255, 255, 240}));
}

}  // namespace
