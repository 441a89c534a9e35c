// The differential test's scripts, from the language's grammar: labels,
// jumps, conditions of every form, prompts, modem commands, odd line ends and
// bytes; and the device that answers them.
#include <cstdint>
#include <string>

#include "diff/differential.h"
#include "run/text.h"

namespace {

const char* const Conditions[] = {"OK", "ERROR", "Y", "N", "y", ":", ">10", "<3", "=23", "<3,500", " >15 ",
                                  "!=99", "", ">", "+CSQ", "READY", "O", "23", "=99", ">1O", "\xE2\x80\x9COK\xE2\x80\x9D",
                                  "No ERROR", "1", "\tOK", "O\x01K", "OK\x7F", "Jos\xC3\xA9", "\xA0", "\t", "\xC2\x85"};
const char* const Commands[] = {"#prompt Go on? (Y/N)", "#print hello", "#wait 1", "#wait 500ms", "#timeout 5",
                                "#timeout 0", "#UTC", "#NZST", "#bell", "# a note", "#If the unit does not answer, call",
                                "#tiemout 5", "#waitsec 5", "#Waiting for the unit", "#print Ctrl-C to stop",
                                "#debug", "#nodebug", "#wait5", "#goto",
                                // Arguments no command reads, and other languages' commands.
                                "#debug off", "#nodebug on", "#bell 3", "#UTC clock in UTC", "#NZST utc",
                                "#wait 5 seconds", "#wait 2 min", "#timeout 30 # for the modem", "#exit", "#sleep 20",
                                "#call setapn", "#End of setup", "#set timeout 5", "#return", "#else", "#echo off",
                                "#prompt Check the radio?", "#sleep20", "#TODO later", "#NOTE: the unit boots",
                                "#EXIT", "#exit now", "#wait 5 # boot", "#goto L1 # back", "#Pause(2)"};
const std::string ModemLines[] = {"ATZ", "AT+CSQ", "AT+CPIN?", "^QVER?", "^QRTC=", "AT^QRTC=2020/01/01", "^QCNT?",
                                  " ATZ", "ATZ # reset", "^QABCDE: 1", "^QABC: 1", "AT\fZ", "ATS0?", "; note",
                                  "\xEF\xBB\xBF#print x", "ATZ\xC2\xA0", " ^QRTC=", std::string("AT\0Z", 4),
                                  // Bytes a device cannot take, other languages' comments, quoted lines.
                                  "AT\tZ", "ATZ\t", "AT\x01Z", "AT\x7FZ", "AT^QNAME=Jos\xC3\xA9", "AT\xA0Z",
                                  "AT\xE9Z", "//ATZ", "-- reset", "REM reset", "'reset", "\"ATZ\"", "ATD#31#",
                                  "AT^QNAME=Pump #4", "AT+CPBW=1,\"a # b\"", "AT", "\xEF\xBC\x83print x",
                                  "\xEF\xBC\x9AL1", "^QRTC =", "AT^QRTC =2020"};
// The look-alikes of ASCII, as the manual pins them: a character of each
// range goes into a modem line, or before a "#" or ":".
const uint32_t LookAlikes[][2] = {
    {0x00A0, 0x00A0}, {0x00AB, 0x00AB}, {0x00AD, 0x00AD}, {0x00B4, 0x00B4}, {0x00BB, 0x00BB}, {0x034F, 0x034F},
    {0x1680, 0x1680}, {0x180E, 0x180E}, {0x2000, 0x200F}, {0x2010, 0x2015}, {0x2018, 0x201F}, {0x2028, 0x202F},
    {0x2032, 0x2033}, {0x2039, 0x203A}, {0x2043, 0x2043}, {0x205F, 0x2064}, {0x2066, 0x2069}, {0x2212, 0x2212},
    {0x3000, 0x3000}, {0xFE58, 0xFE58}, {0xFE63, 0xFE63}, {0xFEFF, 0xFEFF}, {0xFF01, 0xFF5E},
};

std::string Utf8(uint32_t c)
{
    std::string s;
    if (c < 0x80) {
        s += static_cast<char>(c);
    } else if (c < 0x800) {
        s += static_cast<char>(0xC0 | (c >> 6));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        s += static_cast<char>(0xE0 | (c >> 12));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    }
    return s;
}

// A line with one odd character: a look-alike, a C0 or C1 control.
std::string OddCharacterLine(Choices* c)
{
    std::string odd;
    switch (c->Pick(3)) {
    case 0: {
        const uint32_t* r = LookAlikes[c->Pick(sizeof LookAlikes / sizeof LookAlikes[0])];
        odd = Utf8(r[0] + c->Pick(r[1] - r[0] + 1));
        break;
    }
    case 1: odd = Utf8(0x80 + c->Pick(32)); break;
    default: odd = std::string(1, static_cast<char>(1 + c->Pick(31))); break;
    }
    if (odd == "\n" || odd == "\r") {
        odd = "\x1B";
    }
    switch (c->Pick(3)) {
    case 0: return "AT" + odd + "Z";
    case 1: return odd + "#print x";
    default: return odd + ":L" + std::to_string(c->Pick(4));
    }
}
const char* const LabelLines[] = {":L0", ":L1", ":L2", ":L3", ":l1", " :L1", ":L2 ", "::::", ":: note", ":"};
const char* const LineEnds[] = {"\r\n", "\r\n", "\r\n", "\r\n", "\r\n", "\r\n", "\n", "\n\r", "\r", "\r\r\n"};

template <typename Text, size_t N>
std::string OneOf(Choices* c, const Text (&list)[N])
{
    return std::string(list[c->Pick(N)]);
}

}  // namespace

unsigned Choices::Pick(unsigned count)
{
    if (Data != nullptr) {
        return At < Size ? Data[At++] % count : 0;
    }
    State ^= State << 13;
    State ^= State >> 7;
    State ^= State << 17;
    return static_cast<unsigned>(State % count);
}

std::string DeviceAnswer(const std::string& command)
{
    if (StartsWithNoCase(command.c_str(), "AT^QESC") || command == "ATZ" ||
        StartsWithNoCase(command.c_str(), "AT^QRTC=")) {
        return "OK";
    }
    if (command == "AT+CSQ") {
        return "+CSQ: 23,99\r\nOK";
    }
    if (command == "AT+CPIN?") {
        return "+CPIN: READY\r\nOK";
    }
    if (command == "AT^QVER?") {
        return "^QVER: 2, ERROR LOG EMPTY\r\nOK";
    }
    if (command == "AT^QCNT?") {
        return "^QCNT: 3\r\nOK";
    }
    return command == "ATS0?" ? "" : "ERROR";
}

Generated GenerateScript(Choices* c)
{
    Generated g;
    const unsigned count = 3 + c->Pick(12);
    for (unsigned i = 0; i < count; i++) {
        std::string line;
        switch (c->Pick(14)) {
        case 0:
        case 1: line = OneOf(c, LabelLines); break;
        case 2: line = "#goto L" + std::to_string(c->Pick(4)); break;
        case 3:
        case 4: line = "#if (" + OneOf(c, Conditions) + ") L" + std::to_string(c->Pick(4)); break;
        case 5:
        case 6: line = OneOf(c, Commands); break;
        case 7:
        case 8: line = OneOf(c, ModemLines); break;
        case 9: line = c->Pick(2) == 0 ? "#UTC" : "#NZST"; break;  // the clock command's time base, along the paths
        case 10:
            // A key's question, a modem command before its test, and a way in
            // from a prompt elsewhere: the response may be either.
            line = "#prompt Reset? (Y/N)\r\nAT+CPIN?\r\n:L" + std::to_string(c->Pick(4)) + "\r\n#if (" +
                   "YNy"[c->Pick(3)] + ") L" + std::to_string(c->Pick(4));
            break;
        case 11: {
            // Longer than one read, or nearly: the run reads each piece as a line.
            const std::string tails[] = {"", "\tZ", "\r#print x", "\xE2\x80\x9CZ", "#wait5", "AT\x01Z"};
            const std::string heads[] = {"AT" + std::string(396, 'X'), "AT" + std::string(440, 'X'),
                                         "#print " + std::string(392, 'y'), "#wait 5" + std::string(392, ' ')};
            line = heads[c->Pick(4)] + tails[c->Pick(6)];
            break;
        }
        default: line = OddCharacterLine(c); break;
        }
        g.Script += line + (i + 1 == count && c->Pick(4) == 0 ? "" : OneOf(c, LineEnds));
    }
    const unsigned keys = c->Pick(6);
    for (unsigned i = 0; i < keys; i++) {
        g.Keys += "YNyn:"[c->Pick(5)];
    }
    return g;
}
