// The differential test's scripts, from the language's grammar: labels,
// jumps, conditions of every form, prompts, modem commands, odd line ends and
// bytes; and the device that answers them.
#include <string>

#include "diff/differential.h"
#include "run/text.h"

namespace {

const char* const Conditions[] = {"OK", "ERROR", "Y", "N", "y", ":", ">10", "<3", "=23", "<3,500", " >15 ",
                                  "!=99", "", ">", "+CSQ", "READY", "O", "23", "=99"};
const char* const Commands[] = {"#prompt Go on? (Y/N)", "#print hello", "#wait 1", "#wait 500ms", "#timeout 5",
                                "#timeout 0", "#UTC", "#NZST", "#bell", "# a note", "#If the unit does not answer, call",
                                "#tiemout 5", "#waitsec 5", "#Waiting for the unit", "#print Ctrl-C to stop",
                                "#debug", "#nodebug", "#wait5", "#goto"};
const std::string ModemLines[] = {"ATZ", "AT+CSQ", "AT+CPIN?", "^QVER?", "^QRTC=", "AT^QRTC=2020/01/01", "^QCNT?",
                                  " ATZ", "ATZ # reset", "^QABCDE: 1", "^QABC: 1", "AT\fZ", "ATS0?", "; note",
                                  "\xEF\xBB\xBF#print x", "ATZ\xC2\xA0", " ^QRTC=", std::string("AT\0Z", 4)};
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
        switch (c->Pick(12)) {
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
        default: line = c->Pick(2) == 0 ? "AT" + std::string(396, 'X') : "AT" + std::string(440, 'X'); break;
        }
        g.Script += line + (i + 1 == count && c->Pick(4) == 0 ? "" : OneOf(c, LineEnds));
    }
    const unsigned keys = c->Pick(6);
    for (unsigned i = 0; i < keys; i++) {
        g.Keys += "YNyn:"[c->Pick(5)];
    }
    return g;
}
