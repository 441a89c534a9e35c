// Telnet receive and send for a network serial port; see telnet.h.
#include "remote/telnet.h"

namespace telnet {

namespace {

enum State { Data, Command, Option, SubData, SubCommand };
enum Side { No = 0, Yes = 1, Asked = 2 };

void Say(Codec* codec, uint8_t verb, uint8_t option)
{
    if (codec->replyLength + 3 > ReplyMax) {
        codec->repliesDropped++;
        return;
    }
    uint8_t* at = codec->reply + codec->replyLength;
    at[0] = IAC;
    at[1] = verb;
    at[2] = option;
    codec->replyLength += 3;
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
    const uint8_t* sub = codec->sub;
    const size_t size = codec->subLength;
    if (codec->subLong || size < 2 || sub[0] != COMPORT) {
        return;
    }
    const uint8_t command = sub[1];
    if (command < SERVER_OFFSET || command >= SERVER_OFFSET + COMMANDS) {
        return;
    }
    uint32_t value = 0;
    for (size_t i = 2; i < size && i < 6; i++) {
        value = value << 8 | sub[i];
    }
    codec->answers[command - SERVER_OFFSET]++;
    codec->value[command - SERVER_OFFSET] = value;
    if (command == SERVER_OFFSET + SET_CONTROL && value < 32) {
        codec->controls |= 1u << value;
    }
}

void SubByte(Codec* codec, uint8_t b)
{
    if (codec->subLength < SubMax) {
        codec->sub[codec->subLength++] = b;
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
        codec->subLength = 0;
        codec->subLong = false;
        codec->state = SubData;
    }
}

}  // namespace

void Opening(Codec* codec, bool comPort)
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

size_t Escape(const uint8_t* data, size_t n, uint8_t* wire, size_t room, size_t* taken)
{
    size_t k = 0;
    size_t i = 0;
    for (; i < n; i++) {
        const size_t width = data[i] == IAC ? 2 : 1;
        if (k + width > room) {
            break;
        }
        wire[k++] = data[i];
        if (width == 2) {
            wire[k++] = IAC;
        }
    }
    *taken = i;
    return k;
}

size_t Unescaped(const uint8_t* wire, size_t length, size_t k)
{
    size_t count = 0;
    for (size_t i = 0; i < k && i < length; i++) {
        if (wire[i] == IAC) {
            if (i + 1 >= k) {
                break;
            }
            i++;
        }
        count++;
    }
    return count;
}

size_t ComPortCommand(uint8_t command, uint32_t value, int width, uint8_t* out)
{
    size_t k = 0;
    out[k++] = IAC;
    out[k++] = SB;
    out[k++] = COMPORT;
    out[k++] = command;
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8) {
        const uint8_t b = static_cast<uint8_t>(value >> shift);
        out[k++] = b;
        if (b == IAC) {
            out[k++] = IAC;
        }
    }
    out[k++] = IAC;
    out[k++] = SE;
    return k;
}

}  // namespace telnet
