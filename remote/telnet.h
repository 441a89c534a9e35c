// Telnet (RFC 854) with the COM port option of RFC 2217, as the client side of a
// network serial port. A state machine fed the bytes received: it keeps the data,
// answers option negotiation and records the server's COM port confirmations.
// No I/O of its own: the caller sends what Reply holds and the escaped data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace telnet {

const uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
const uint8_t BINARY = 0, SGA = 3, COMPORT = 44;

// COM port commands, client to server; the server confirms with the same + 100.
const uint8_t SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3, SET_STOPSIZE = 4, SET_CONTROL = 5;
const uint8_t SERVER_OFFSET = 100;
const int COMMANDS = 13;  // SIGNATURE (0) to PURGE-DATA (12)

// Where the server stands on the COM port option.
enum class ComPort { Unanswered, Agreed, Refused };

struct Codec {
    int state = 0;
    uint8_t verb = 0;
    std::string sub;       // the subnegotiation being received
    bool subLong = false;  // it outgrew any message this client understands
    uint8_t us[256] = {};  // option states on our side and the server's
    uint8_t him[256] = {};
    std::string reply;  // negotiation bytes to send to the server
    ComPort comPort = ComPort::Unanswered;
    uint32_t answers[COMMANDS] = {};  // how often the server answered each command
    uint32_t value[COMMANDS] = {};    // and its latest answer
    uint32_t controls = 0;            // each SET-CONTROL value below 32 the server answered
};

// The bytes a client sends on connecting: binary both ways, no go-ahead, and
// with comPort the COM port option offered.
std::string Opening(Codec* codec, bool comPort);
// Takes n received bytes; writes the data among them to out (at most n bytes;
// out may be in itself) and answers their count.
size_t Receive(Codec* codec, const uint8_t* in, size_t n, uint8_t* out);
// Appends data to wire with every byte 255 doubled.
void Escape(const uint8_t* data, size_t n, std::string* wire);
// How many data bytes the first k bytes of an escaped stretch stand for.
size_t Unescaped(const std::string& wire, size_t k);
// A COM port command with its value in width bytes (1 or 4), network order.
std::string ComPortCommand(uint8_t command, uint32_t value, int width);

}  // namespace telnet
