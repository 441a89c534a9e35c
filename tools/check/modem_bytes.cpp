// Findings about the bytes of a modem command line: every byte goes to the
// device as it stands, so each one a person would read otherwise is named,
// with where it stands.
#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

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
// as a modem command: each goes to the device as it stands. Answers how many
// bytes at the line's start its finding named.
size_t Checker::OtherKind(long line, const char* text, size_t length)
{
    for (const char* marker : CommentMarkers) {
        if (strncmp(text, marker, strlen(marker)) == 0) {
            Message.assign("line begins with ");
            AppendQuoted(&Message, marker);
            Message += ", which is no comment for the run: it sends the line to the device";
            Emit(line, Severity::Error, "modem-comment", Message);
            return 0;
        }
    }
    if (StartsWithNoCase(text, "REM") && IsBlank(text[3])) {
        Emit(line, Severity::Error, "modem-comment",
             "line begins with \"REM \", which is no comment for the run: it sends the line to the device");
        return 0;
    }
    const size_t n = TextLength(text, length);
    if (n >= 2 && text[0] == '"' && text[n - 1] == '"') {
        Emit(line, Severity::Error, "read-as-modem",
             "line is wrapped in double quotes, as a spreadsheet export writes it: the run sends it to the device, "
             "quotes and all");
        return 0;
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
        return 0;
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
    // The characters the message names; other invisible ones are named by position.
    const size_t named = at > 0 ? first.Length : 0;
    return fullWidth && at == named ? named + 3 : named;
}

namespace {

// Of the characters of one finding's kind in a line, the first few are named
// one by one and the rest told in one finding, counted by kind: a line of
// tabs makes a handful of findings, not hundreds.
constexpr size_t NAMED_MOST = 4;

struct Rest {
    size_t Named = 0;  // findings made
    long After = 0;    // the position of the last character named
    size_t More = 0;   // characters past those
    std::vector<std::pair<const char*, size_t>> Kinds;  // in the order met

    // Whether the character at position is one to name by itself.
    bool Name(long position, const char* what)
    {
        if (Named < NAMED_MOST) {
            Named++;
            After = position;
            return true;
        }
        More++;
        if (what == nullptr) {
            return false;  // bytes that are no UTF-8 have no kind
        }
        auto kind = std::find_if(Kinds.begin(), Kinds.end(), [&](const auto& k) { return strcmp(k.first, what) == 0; });
        if (kind == Kinds.end()) {
            Kinds.emplace_back(what, 0);
            kind = Kinds.end() - 1;
        }
        kind->second++;
        return false;
    }

    // The finding for the characters past those named.
    // firstRead: the line is longer than one read, and only its first is counted.
    std::string Told(bool invalid, bool firstRead) const
    {
        std::string text = "line holds ";
        AppendNumber(&text, static_cast<long>(More));
        if (invalid) {
            text += More == 1 ? " more byte that is no UTF-8 after character "
                              : " more bytes that are no UTF-8 after character ";
            AppendNumber(&text, After);
            text += firstRead ? " in its first read" : "";
            text += More == 1 ? ": the run sends it to the device as it stands"
                              : ": the run sends them to the device as they stand";
            return text;
        }
        text += More == 1 ? " more character" : " more characters";
        text += " the device cannot take after character ";
        AppendNumber(&text, After);
        text += firstRead ? " in its first read" : "";
        text += ", which the run sends to the device as part of the command:";
        for (const auto& kind : Kinds) {
            text += &kind == &Kinds.front() ? " " : ", ";
            text += kind.first;
            if (kind.second <= 2) {
                text += kind.second == 1 ? " once" : " twice";
            } else {
                text += " ";
                AppendNumber(&text, static_cast<long>(kind.second));
                text += " times";
            }
        }
        return text;
    }
};

}  // namespace

// Bytes a device cannot take in a command, each sent as it stands: each that
// surely harms is an error, named with its position; the first text beyond
// ASCII that the device may take, a warning.
void Checker::DeviceCannotTake(long line, const char* text, size_t length, bool continues)
{
    const size_t from = OtherKind(line, text, length);
    bool quoted = false;
    bool commentNamed = false;
    const size_t command = static_cast<size_t>(SkipBlanks(text) - text);  // where the command starts
    size_t character = 0;                                                   // characters before i
    for (size_t i = 0; i < from; i++) {
        character += (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 ? 1 : 0;
    }
    std::string other;  // the first character beyond ASCII the device may take
    Rest odd;
    Rest invalid;
    for (size_t i = from; i < length; i++, character++) {
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
            if (!commentNamed && !quoted && i > command + 1 && IsBlank(text[i - 1]) && IsBlank(text[i + 1]) &&
                (IsLetter(*after) || IsDigit(*after))) {
                Message.assign("line holds ");
                AppendQuoted(&Message, WithoutLineEnd(text + i).c_str());
                Message += " after the command, which is no comment for the run: it sends it to the device too";
                Emit(line, Severity::Error, "modem-comment", Message);
                commentNamed = true;
            }
            continue;
        }
        const OddChar oddChar = ReadOddChar(text + i, length - i);
        const long position = static_cast<long>(character + 1);
        if (i == 0 && oddChar.Code == 0xFEFF) {
            i += oddChar.Length - 1;  // the mark at a line's start has its own finding
            continue;
        }
        if (oddChar.Invalid || oddChar.What != nullptr) {
            if ((oddChar.Invalid ? invalid : odd).Name(position, oddChar.What)) {
                Message.assign("line holds ");
                if (oddChar.Invalid) {
                    Message += "the byte ";
                    Message += Escaped(text + i, 1);
                } else {
                    Message += oddChar.What;
                    if (c >= 128) {
                        Message += " (";
                        AppendCodePoint(&Message, oddChar.Code);
                        Message += ")";
                    }
                }
                Message += " at character ";
                AppendNumber(&Message, position);
                Message += oddChar.Invalid ? ", which is no UTF-8: the run sends it to the device as it stands"
                                           : ", which the run sends to the device as part of the command";
                Emit(line, Severity::Error, oddChar.Invalid ? "invalid-utf8" : "modem-bytes", Message);
            }
            i += oddChar.Length - 1;
            continue;
        }
        if (other.empty()) {
            other = "line holds ";
            AppendChar(&other, text + i, oddChar);
            other += " at character ";
            AppendNumber(&other, position);
            other += ", which is not ASCII: the run sends it to the device as it stands, and the device may not take it";
        }
        i += oddChar.Length - 1;
    }
    if (odd.More > 0) {
        Emit(line, Severity::Error, "modem-bytes", odd.Told(false, continues));
    }
    if (invalid.More > 0) {
        Emit(line, Severity::Error, "invalid-utf8", invalid.Told(true, continues));
    }
    if (!other.empty()) {
        Emit(line, Severity::Warning, "non-ascii", other);
    }
    ShorthandColon(line, text);
}

// "^QABCDE: 1", "^QABC:1": the shorthand makes ": " into "=" only after a
// name of three or four letters, and only with a space after the colon.
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
    if (text[name] != ':' || letters == 0) {
        return;
    }
    char sent[LINE_BUFFER_SIZE];
    snprintf(sent, sizeof sent, "%s", text);
    ExpandShorthand(sent);
    if (sent[name + 2] != ':') {
        return;  // made into "="
    }
    const std::string reason =
        letters != 3 && letters != 4
            ? "only after a name of three or four letters, and " + Quoted(std::string(text + 2, letters).c_str()) +
                  " has " + std::to_string(letters)
            : "only with a space after the colon, and " + Quoted(std::string(text + 2, letters + 1).c_str()) +
                  " has none";
    Emit(line, Severity::Error, "shorthand-colon",
         "the shorthand makes \": \" into \"=\" " + reason + ": the run sends the colon as it stands, " + Quoted(sent));
}
