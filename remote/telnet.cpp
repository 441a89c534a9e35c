// Telnet receive and send for a network serial port; see telnet.h.
#include "remote/telnet.h"

namespace telnet {

namespace {

enum State { Data, Command, Option, SubData, SubCommand };
enum Side { No = 0, Yes = 1, Asked = 2 };

// Longer than any COM port message (SIGNATURE aside, which is not kept).
const size_t SubMax = 64;

void Say(Codec* codec, uint8_t verb, uint8_t option)
{
    codec->reply += static_cast<char>(IAC);
    codec->reply += static_cast<char>(verb);
    codec->reply += static_cast<char>(option);
}

bool OursWanted(const Codec* codec, uint8_t option)
{
    return option == BINARY || option == SGA || (option == COMPORT && codec->comPort != ComPort::Refused);
}

bool HisWanted(uint8_t option)
{
    return option == BINARY || option == SGA;
}

// Answers only a change of state, so that two ends never echo each other for ever.
void Negotiate(Codec* codec, uint8_t verb, uint8_t option)
{
    uint8_t& us = codec->us[option];
    uint8_t& him = codec->him[option];
    switch (verb) {
    case DO:
        if (!OursWanted(codec, option)) {
            us = No;
            Say(codec, WONT, option);
        } else if (us != Yes) {
            if (us == No) {
                Say(codec, WILL, option);
            }
            us = Yes;
        }
        if (option == COMPORT && us == Yes) {
            codec->comPort = ComPort::Agreed;
        }
        break;
    case DONT:
        if (us == Yes) {
            Say(codec, WONT, option);
        }
        us = No;
        if (option == COMPORT) {
            codec->comPort = ComPort::Refused;
        }
        break;
    case WILL:
        if (!HisWanted(option)) {
            Say(codec, DONT, option);
        } else if (him != Yes) {
            if (him == No) {
                Say(codec, DO, option);
            }
            him = Yes;
        }
        break;
    default:  // WONT
        if (him == Yes) {
            Say(codec, DONT, option);
        }
        him = No;
        break;
    }
}

void Subnegotiation(Codec* codec)
{
    const std::string& sub = codec->sub;
    if (codec->subLong || sub.size() < 2 || static_cast<uint8_t>(sub[0]) != COMPORT) {
        return;
    }
    const uint8_t command = static_cast<uint8_t>(sub[1]);
    if (command < SERVER_OFFSET || command >= SERVER_OFFSET + COMMANDS) {
        return;
    }
    uint32_t value = 0;
    for (size_t i = 2; i < sub.size() && i < 6; i++) {
        value = value << 8 | static_cast<uint8_t>(sub[i]);
    }
    codec->answers[command - SERVER_OFFSET]++;
    codec->value[command - SERVER_OFFSET] = value;
    if (command == SERVER_OFFSET + SET_CONTROL && value < 32) {
        codec->controls |= 1u << value;
    }
}

void SubByte(Codec* codec, uint8_t b)
{
    if (codec->sub.size() < SubMax) {
        codec->sub += static_cast<char>(b);
    } else {
        codec->subLong = true;
    }
}

// The byte after an IAC. NOP, data mark, go-ahead and the like carry nothing here.
void CommandByte(Codec* codec, uint8_t b, uint8_t* out, size_t* k)
{
    codec->state = Data;
    if (b == IAC) {
        out[(*k)++] = b;
    } else if (b >= WILL) {
        codec->verb = b;
        codec->state = Option;
    } else if (b == SB) {
        codec->sub.clear();
        codec->subLong = false;
        codec->state = SubData;
    }
}

}  // namespace

std::string Opening(Codec* codec, bool comPort)
{
    Say(codec, WILL, BINARY);
    Say(codec, DO, BINARY);
    Say(codec, WILL, SGA);
    Say(codec, DO, SGA);
    codec->us[BINARY] = codec->him[BINARY] = codec->us[SGA] = codec->him[SGA] = Asked;
    if (comPort) {
        Say(codec, WILL, COMPORT);
        codec->us[COMPORT] = Asked;
    } else {
        codec->comPort = ComPort::Refused;
    }
    std::string opening;
    opening.swap(codec->reply);
    return opening;
}

size_t Receive(Codec* codec, const uint8_t* in, size_t n, uint8_t* out)
{
    size_t k = 0;
    for (size_t i = 0; i < n; i++) {
        const uint8_t b = in[i];
        switch (codec->state) {
        case Data:
            if (b == IAC) {
                codec->state = Command;
            } else {
                out[k++] = b;
            }
            break;
        case Command:
            CommandByte(codec, b, out, &k);
            break;
        case Option:
            Negotiate(codec, codec->verb, b);
            codec->state = Data;
            break;
        case SubData:
            if (b == IAC) {
                codec->state = SubCommand;
            } else {
                SubByte(codec, b);
            }
            break;
        default:  // SubCommand
            if (b == IAC) {
                SubByte(codec, b);
                codec->state = SubData;
            } else {
                // SE, or a server that forgot it: the subnegotiation ends either way.
                Subnegotiation(codec);
                codec->state = Data;
                if (b != SE) {
                    CommandByte(codec, b, out, &k);
                }
            }
            break;
        }
    }
    return k;
}

void Escape(const uint8_t* data, size_t n, std::string* wire)
{
    for (size_t i = 0; i < n; i++) {
        *wire += static_cast<char>(data[i]);
        if (data[i] == IAC) {
            *wire += static_cast<char>(IAC);
        }
    }
}

size_t Unescaped(const std::string& wire, size_t k)
{
    size_t count = 0;
    for (size_t i = 0; i < k && i < wire.size(); i++) {
        if (static_cast<uint8_t>(wire[i]) == IAC) {
            if (i + 1 >= k) {
                break;
            }
            i++;
        }
        count++;
    }
    return count;
}

std::string ComPortCommand(uint8_t command, uint32_t value, int width)
{
    std::string wire = {static_cast<char>(IAC), static_cast<char>(SB), static_cast<char>(COMPORT),
                        static_cast<char>(command)};
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8) {
        const uint8_t b = static_cast<uint8_t>(value >> shift);
        Escape(&b, 1, &wire);
    }
    wire += static_cast<char>(IAC);
    wire += static_cast<char>(SE);
    return wire;
}

}  // namespace telnet
