// Telnet (RFC 854) with the COM port option of RFC 2217, as the client side of a
// network serial port. A state machine fed the bytes received: it keeps the data,
// answers option negotiation and records the server's COM port confirmations.
// No I/O and no allocation of its own: the caller sends what reply holds and the
// escaped data; every buffer here has a fixed size, whatever the server sends.
#pragma once

#include <cstddef>
#include <cstdint>

namespace telnet {

const uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
const uint8_t BINARY = 0, SGA = 3, COMPORT = 44;

// COM port commands, client to server; the server confirms with the same + 100.
const uint8_t SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3, SET_STOPSIZE = 4, SET_CONTROL = 5;
const uint8_t SERVER_OFFSET = 100;
const int COMMANDS = 13;  // SIGNATURE (0) to PURGE-DATA (12)

// Longer than any COM port message (SIGNATURE aside, which is not kept).
const size_t SubMax = 64;
// Each answer is three bytes for at least one byte received, so a reply sent
// after every ReceiveMax bytes never outgrows this; past it answers are dropped.
const size_t ReceiveMax = 1024;
const size_t ReplyMax = ReceiveMax + 2 * 3;
// The longest COM port command: four value bytes, each perhaps doubled.
const size_t CommandMax = 4 + 2 * 4 + 2;

// Where the server stands on the COM port option.
enum class ComPort { Unanswered, Agreed, Refused };

struct Codec {
    int state = 0;
    uint8_t verb = 0;
    uint8_t sub[SubMax] = {};  // the subnegotiation being received
    size_t subLength = 0;
    bool subLong = false;  // it outgrew any message this client understands
    uint8_t us[256] = {};  // option states on our side and the server's
    uint8_t him[256] = {};
    uint8_t reply[ReplyMax] = {};  // negotiation bytes to send to the server
    size_t replyLength = 0;
    uint32_t repliesDropped = 0;  // answers that found reply full
    ComPort comPort = ComPort::Unanswered;
    uint32_t answers[COMMANDS] = {};  // how often the server answered each command
    uint32_t value[COMMANDS] = {};    // and its latest answer
    uint32_t controls = 0;            // each SET-CONTROL value below 32 the server answered
};

// Puts in reply the bytes a client sends on connecting: binary both ways, no
// go-ahead, and with comPort the COM port option offered.
void Opening(Codec* codec, bool comPort);
// Takes n received bytes; writes the data among them to out (at most n bytes;
// out may be in itself) and answers their count.
size_t Receive(Codec* codec, const uint8_t* in, size_t n, uint8_t* out);
// Escapes data into wire, which holds room bytes, with every byte 255 doubled;
// answers the bytes written, and in *taken how many data bytes they hold.
size_t Escape(const uint8_t* data, size_t n, uint8_t* wire, size_t room, size_t* taken);
// How many data bytes the first k bytes of an escaped stretch stand for.
size_t Unescaped(const uint8_t* wire, size_t length, size_t k);
// Writes a COM port command with its value in width bytes (1 or 4), network
// order, to out (CommandMax bytes); answers its length.
size_t ComPortCommand(uint8_t command, uint32_t value, int width, uint8_t* out);

}  // namespace telnet
