// Findings about the bytes of a modem command line: every byte goes to the
// device as it stands, so each one a person would read otherwise is named,
// with where it stands.
#include <cstring>
#include <string>

#include "run/text.h"
#include "script/modem.h"
#include "tools/check/checker.h"

namespace {

// A byte a modem command line may hold as it is: printable ASCII other than
// "#", which may begin a comment, and the quote, which decides where.
struct PlainModemBytes {
    bool Plain[256];
    constexpr PlainModemBytes() : Plain()
    {
        for (int c = 32; c < 127; c++) {
            Plain[c] = c != '#' && c != '"';
        }
    }
};
constexpr PlainModemBytes PlainBytes;

// Comment markers of other languages, which the run sends as they stand.
const char* const CommentMarkers[] = {";", "//", "--", "'"};

// The text without line ends and blanks at its end.
size_t TextLength(const char* text, size_t length)
{
    while (length > 0 && strchr(" \t\r\n", text[length - 1]) != nullptr) {
        length--;
    }
    return length;
}

void AppendChar(std::string* out, const char* text, const OddChar& odd)
{
    AppendCodePoint(out, odd.Code);
    *out += " \"";
    *out += Escaped(text, odd.Length);
    *out += '"';
}

}  // namespace

// Lines a person reads as a comment, a script command or a label, and the run
// as a modem command: each goes to the device as it stands.
bool Checker::OtherKind(long line, const char* text, size_t length)
{
    for (const char* marker : CommentMarkers) {
        if (strncmp(text, marker, strlen(marker)) == 0) {
            Message.assign("line begins with ");
            AppendQuoted(&Message, marker);
            Message += ", which is no comment for the run: it sends the line to the device";
            Emit(line, Severity::Error, "modem-comment", Message);
            return true;
        }
    }
    if (StartsWithNoCase(text, "REM") && IsBlank(text[3])) {
        Emit(line, Severity::Error, "modem-comment",
             "line begins with \"REM \", which is no comment for the run: it sends the line to the device");
        return true;
    }
    const size_t n = TextLength(text, length);
    if (n >= 2 && text[0] == '"' && text[n - 1] == '"') {
        Emit(line, Severity::Error, "read-as-modem",
             "line is wrapped in double quotes, as a spreadsheet export writes it: the run sends it to the device, "
             "quotes and all");
        return true;
    }
    // Invisible characters, then what a person takes for the line's start.
    size_t at = 0;
    OddChar first = {};
    while (at < n && static_cast<unsigned char>(text[at]) >= 128) {
        const OddChar odd = ReadOddChar(text + at, n - at);
        if (!odd.Invisible || (odd.Code == 0xFEFF && at == 0)) {
            break;  // a mark at the file's start has its own finding
        }
        first = at == 0 ? odd : first;
        at += odd.Length;
    }
    const bool fullWidth = strncmp(text + at, "\xEF\xBC\x83", 3) == 0 || strncmp(text + at, "\xEF\xBC\x9A", 3) == 0;
    if (!fullWidth && (at == 0 || (text[at] != '#' && text[at] != ':'))) {
        return false;
    }
    const bool command = text[at] == '#' || strncmp(text + at, "\xEF\xBC\x83", 3) == 0;
    Message.assign("line begins with ");
    if (at > 0) {
        Message += first.What;
        Message += " (";
        AppendCodePoint(&Message, first.Code);
        Message += ") before ";
        Message += fullWidth ? "a full-width " : "";
    } else {
        Message += "a full-width ";
    }
    Message += command ? "\"#\"" : "\":\"";
    Message += command ? ", so the run does not take it for a script command" : ", so the run does not take it for a label";
    Message += ": it sends the line to the device";
    Emit(line, Severity::Error, "read-as-modem", Message);
    return true;
}

// Bytes a device cannot take in a command, each sent as it stands: the first
// that surely harms is an error; else the first text beyond ASCII a warning.
void Checker::DeviceCannotTake(long line, const char* text, size_t length)
{
    if (OtherKind(line, text, length)) {
        return;
    }
    bool quoted = false;
    const size_t command = static_cast<size_t>(SkipBlanks(text) - text);  // where the command starts
    size_t character = 0;                                                   // characters before i
    std::string other;  // the first character beyond ASCII the device may take
    for (size_t i = 0; i < length; i++, character++) {
        if (length - i >= 8) {
            const size_t plain = PlainWords(text + i, length - i);
            i += plain;
            character += plain;
            if (i == length) {
                break;
            }
        }
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (PlainBytes.Plain[c] || c == '\r' || c == '\n') {
            continue;
        }
        if (c == '"') {
            quoted = !quoted;
            continue;
        }
        // "ATZ # reset": a "#" between blanks, outside quotes, with words after it.
        if (c == '#') {
            const char* after = SkipBlanks(text + i + 1);
            if (!quoted && i > command + 1 && IsBlank(text[i - 1]) && IsBlank(text[i + 1]) &&
                (IsLetter(*after) || IsDigit(*after))) {
                Message.assign("line holds ");
                AppendQuoted(&Message, WithoutLineEnd(text + i).c_str());
                Message += " after the command, which is no comment for the run: it sends it to the device too";
                Emit(line, Severity::Error, "modem-comment", Message);
                return;
            }
            continue;
        }
        const OddChar odd = ReadOddChar(text + i, length - i);
        if (i == 0 && odd.Code == 0xFEFF) {
            i += odd.Length - 1;  // the mark at a line's start has its own finding
            continue;
        }
        if (odd.Invalid || odd.What != nullptr) {
            Message.assign("line holds ");
            if (odd.Invalid) {
                Message += "the byte ";
                Message += Escaped(text + i, 1);
            } else {
                Message += odd.What;
                if (c >= 128) {
                    Message += " (";
                    AppendCodePoint(&Message, odd.Code);
                    Message += ")";
                }
            }
            Message += " at character ";
            AppendNumber(&Message, static_cast<long>(character + 1));
            Message += odd.Invalid ? ", which is no UTF-8: the run sends it to the device as it stands"
                                   : ", which the run sends to the device as part of the command";
            Emit(line, Severity::Error, odd.Invalid ? "invalid-utf8" : "modem-bytes", Message);
            return;
        }
        if (other.empty()) {
            other = "line holds ";
            AppendChar(&other, text + i, odd);
            other += " at character ";
            AppendNumber(&other, static_cast<long>(character + 1));
            other += ", which is not ASCII: the run sends it to the device as it stands, and the device may not take it";
        }
        i += odd.Length - 1;
    }
    if (!other.empty()) {
        Emit(line, Severity::Warning, "non-ascii", other);
    }
    ShorthandColon(line, text);
}

// "^QABCDE: 1": only after a name of three or four letters does the shorthand
// make ": " into "=".
void Checker::ShorthandColon(long line, const char* text)
{
    if (!StartsWithNoCase(text, "^Q")) {
        return;
    }
    size_t name = 2;
    while (IsLetter(text[name]) || IsDigit(text[name])) {
        name++;
    }
    const size_t letters = name - 2;
    if (text[name] != ':' || text[name + 1] != ' ' || letters == 3 || letters == 4 || letters == 0) {
        return;
    }
    char sent[LINE_BUFFER_SIZE];
    snprintf(sent, sizeof sent, "%s", text);
    ExpandShorthand(sent);
    Emit(line, Severity::Error, "shorthand-colon",
         "the shorthand makes \": \" into \"=\" only after a name of three or four letters, and " +
             Quoted(std::string(text + 2, letters).c_str()) + " has " + std::to_string(letters) +
             ": the run sends the colon as it stands, " + Quoted(sent));
}
