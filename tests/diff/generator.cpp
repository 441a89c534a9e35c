// The differential test's scripts, from the language's grammar: labels,
// jumps, conditions of every form, prompts, modem commands, odd line ends and
// bytes; and the device that answers them.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

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
                                "#EXIT", "#exit now", "#wait 5 # boot", "#goto L1 # back", "#Pause(2)", "#exit1", "#delay500", "#stop2 now"};
const std::string ModemLines[] = {"ATZ", "AT+CSQ", "AT+CPIN?", "^QVER?", "^QRTC=", "AT^QRTC=2020/01/01", "^QCNT?",
                                  " ATZ", "ATZ # reset", "^QABCDE: 1", "^QABC: 1", "AT\fZ", "ATS0?", "; note",
                                  "\xEF\xBB\xBF#print x", "ATZ\xC2\xA0", " ^QRTC=", std::string("AT\0Z", 4),
                                  // Bytes a device cannot take, other languages' comments, quoted lines.
                                  "AT\tZ", "ATZ\t", "AT\x01Z", "AT\x7FZ", "AT^QNAME=Jos\xC3\xA9", "AT\xA0Z",
                                  "AT\xE9Z", "//ATZ", "-- reset", "REM reset", "'reset", "\"ATZ\"", "ATD#31#",
                                  "AT^QNAME=Pump #4", "AT+CPBW=1,\"a # b\"", "AT", "\xEF\xBC\x83print x",
                                  "\xEF\xBC\x9AL1", "^QRTC =", "AT^QRTC =2020",
                                  // The shorthand's colon, kept where no space follows it.
                                  "^QABC:1", "^QABCD:7", "^QABC:", "^QABCD: 7", "^QRTC:1", "ATZ # reset\t"};
// The look-alikes of ASCII, as the manual pins them, range by range in the
// same order: characters of them go into a modem line, or before a "#" or ":".
const uint32_t LookAlikes[][2] = {
    {0x00A0, 0x00A0}, {0x00AB, 0x00AB}, {0x00AD, 0x00AD}, {0x00B4, 0x00B4}, {0x00BB, 0x00BB}, {0x02B9, 0x02BA},
    {0x02BC, 0x02BC}, {0x02C8, 0x02C8}, {0x02CA, 0x02CB}, {0x02D7, 0x02D7}, {0x02EE, 0x02EE}, {0x034F, 0x034F},
    {0x055A, 0x055A}, {0x058A, 0x058A}, {0x05BE, 0x05BE}, {0x0600, 0x0605}, {0x061C, 0x061C}, {0x06DD, 0x06DD},
    {0x070F, 0x070F}, {0x07F4, 0x07F5}, {0x0890, 0x0891}, {0x08E2, 0x08E2}, {0x115F, 0x1160}, {0x1400, 0x1400},
    {0x1680, 0x1680}, {0x17B4, 0x17B5}, {0x1806, 0x1806}, {0x180B, 0x180D}, {0x180E, 0x180E}, {0x180F, 0x180F},
    {0x2000, 0x200A}, {0x200B, 0x200B}, {0x200C, 0x200D}, {0x200E, 0x200F}, {0x2010, 0x2015}, {0x2018, 0x201B},
    {0x201C, 0x201F}, {0x2028, 0x2028}, {0x2029, 0x2029}, {0x202A, 0x202E}, {0x202F, 0x202F}, {0x2032, 0x2037},
    {0x2039, 0x203A}, {0x2043, 0x2043}, {0x2057, 0x2057}, {0x205F, 0x205F}, {0x2060, 0x2064}, {0x2066, 0x2069},
    {0x206A, 0x206F}, {0x207B, 0x207B}, {0x208B, 0x208B}, {0x2212, 0x2212}, {0x275B, 0x275C}, {0x275D, 0x275E},
    {0x275F, 0x275F}, {0x2760, 0x2760}, {0x276E, 0x276F}, {0x2796, 0x2796}, {0x2800, 0x2800}, {0x2E02, 0x2E05},
    {0x2E09, 0x2E0A}, {0x2E0C, 0x2E0D}, {0x2E17, 0x2E17}, {0x2E1A, 0x2E1A}, {0x2E1C, 0x2E1D}, {0x2E20, 0x2E21},
    {0x2E3A, 0x2E3B}, {0x2E40, 0x2E40}, {0x2E42, 0x2E42}, {0x2E5D, 0x2E5D}, {0x3000, 0x3000}, {0x3001, 0x3001},
    {0x3002, 0x3002}, {0x301C, 0x301C}, {0x301D, 0x301F}, {0x3030, 0x3030}, {0x30A0, 0x30A0}, {0x3164, 0x3164},
    {0xFE00, 0xFE0F}, {0xFE31, 0xFE32}, {0xFE58, 0xFE58}, {0xFE63, 0xFE63}, {0xFEFF, 0xFEFF}, {0xFF01, 0xFF5E},
    {0xFF61, 0xFF61}, {0xFF64, 0xFF64}, {0xFFA0, 0xFFA0}, {0xFFE0, 0xFFE6}, {0xFFF9, 0xFFFB}, {0x10EAD, 0x10EAD},
    {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x13438}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A},
    {0x1F676, 0x1F678}, {0xE0001, 0xE0001}, {0xE0020, 0xE007F}, {0xE0100, 0xE01EF},
};

// One odd character: a look-alike, a C0 or C1 control, a byte that is no UTF-8.
std::string OddCharacter(Choices* c)
{
    std::string odd;
    switch (c->Pick(4)) {
    case 0:
    case 1: {
        const uint32_t* r = LookAlikes[c->Pick(sizeof LookAlikes / sizeof LookAlikes[0])];
        odd = Utf8(r[0] + c->Pick(r[1] - r[0] + 1));
        break;
    }
    case 2: odd = Utf8(0x80 + c->Pick(32)); break;
    default: odd = c->Pick(4) == 0 ? std::string(1, static_cast<char>(0x80 + c->Pick(128)))
                                   : std::string(1, static_cast<char>(1 + c->Pick(31)));
        break;
    }
    return odd == "\n" || odd == "\r" ? "\t" : odd;
}

// A line with odd characters, one or many: past a few of a kind, the
// checker counts the rest.
std::string OddCharacterLine(Choices* c)
{
    std::string odd;
    const unsigned count = c->Pick(3) == 0 ? 1 + c->Pick(12) : 1;
    for (unsigned i = 0; i < count; i++) {
        odd += OddCharacter(c);
    }
    switch (c->Pick(4)) {
    case 0: return "AT" + odd + "Z";
    case 1: return "^QABC" + odd + ":1";
    case 2: return odd + "#print x";
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

std::string Utf8(uint32_t c)
{
    std::string s;
    if (c < 0x80) {
        s += static_cast<char>(c);
    } else if (c < 0x800) {
        s += static_cast<char>(0xC0 | (c >> 6));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        s += static_cast<char>(0xE0 | (c >> 12));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | (c >> 18));
        s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    }
    return s;
}

std::vector<std::pair<uint32_t, uint32_t>> LookAlikeRanges()
{
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    for (const auto& r : LookAlikes) {
        ranges.emplace_back(r[0], r[1]);
    }
    return ranges;
}

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
