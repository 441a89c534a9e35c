// torvex-rack: what a rack leaves behind: a transcript per port, written line
// by line as the run goes, and the summary as a table and as JSON.
#include "record.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>

#include "os.h"

#include "os.h"
#include "serial/display.h"

namespace {

// Calendar fields of a UTC time, from the standard library alone.
struct Utc {
    int year, month, day, hour, minute, second, millis;
};

Utc UtcOf(std::chrono::system_clock::time_point t)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    long long days = ms / 86400000;
    long long rest = ms % 86400000;
    if (rest < 0) {
        rest += 86400000;
        days--;
    }
    // Days to a civil date (proleptic Gregorian), after Howard Hinnant's algorithm.
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long doe = days - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const int year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
    return {year,
            month,
            day,
            static_cast<int>(rest / 3600000),
            static_cast<int>(rest / 60000 % 60),
            static_cast<int>(rest / 1000 % 60),
            static_cast<int>(rest % 1000)};
}

}  // namespace

std::string Timestamp(std::chrono::system_clock::time_point t)
{
    const Utc u = UtcOf(t);
    char text[40];
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", u.year, u.month, u.day, u.hour, u.minute,
             u.second, u.millis);
    return text;
}

std::string FolderStamp(std::chrono::system_clock::time_point t)
{
    const Utc u = UtcOf(t);
    char text[40];
    snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02dZ", u.year, u.month, u.day, u.hour, u.minute, u.second);
    return text;
}

namespace {

// The letters of text that a file name can keep on every system: what
// Windows refuses (<>:"/\|?*, control bytes) and bytes that are not UTF-8
// (or any beyond ASCII where file names are not) become one _ a run, none at
// either end; a trailing dot or blank goes, as Windows drops them; at most
// limit bytes, never part of a character.
std::string FileNamePart(const std::string& text, size_t limit)
{
    std::string part;
    bool gap = false;
    for (size_t i = 0; i < text.size(); i++) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        // Letters beyond ASCII only where the file calls take them as they are.
        static const bool utf8 = FileNamesUtf8();
        const size_t length = c < 0x80 ? 1 : utf8 ? Utf8Length(text, i) : 0;
        const bool refused = c < 0x20 || c == 0x7F || strchr("<>:\"/\\|?*", c) != nullptr || length == 0 ||
                             (length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0);
        if (refused) {
            gap = true;
            continue;
        }
        const size_t needs = length + (gap && !part.empty() ? 1 : 0);
        if (part.size() + needs > limit) {
            break;
        }
        if (gap && !part.empty()) {
            part += '_';
        }
        part.append(text, i, length);
        i += length - 1;
        gap = false;
    }
    while (!part.empty() && (part.back() == '.' || part.back() == ' ')) {
        part.pop_back();
    }
    return part;
}

}  // namespace

std::string TranscriptName(size_t index, size_t count, const std::string& port, const std::string& fallback)
{
    // Numbered, so that names such as COM1 or CON, which Windows keeps for
    // devices, are never a file's whole name, and two units whose names come
    // out the same never share a file.
    const int width = count >= 1000 ? 4 : count >= 100 ? 3 : 2;
    char number[16];
    snprintf(number, sizeof number, "%0*zu-", width, index + 1);
    const size_t limit = 80 - strlen(number);
    std::string part = FileNamePart(port, limit);
    if (part.empty()) {
        part = FileNamePart(fallback, limit);
    }
    return number + (part.empty() ? "unit" : part) + ".log";
}

namespace {

// What is known of each open transcript.
struct Kept {
    std::string Path;
    long long Written = 0;
    bool Cut = false;     // past its bound
    std::string Failed;   // why a write failed; nothing more is written
};
std::map<FILE*, Kept> Transcripts;
long long Limit = 64LL << 20;
bool AnyFailed = false;
// Room past the bound for the rack's own notes, so that the end of the run is still told.
constexpr long long NoteRoom = 64LL * 1024;

void Put(FILE* file, const std::string& bytes, bool note)
{
    if (file == nullptr) {
        return;
    }
    const auto found = Transcripts.find(file);
    if (found == Transcripts.end()) {
        (void)fwrite(bytes.data(), 1, bytes.size(), file);
        (void)fflush(file);
        return;
    }
    Kept& kept = found->second;
    if (!kept.Failed.empty()) {
        return;
    }
    std::string line = bytes;
    const long long size = static_cast<long long>(bytes.size());
    if (!note && !kept.Cut && kept.Written + size > Limit) {
        kept.Cut = true;
        line = Timestamp(std::chrono::system_clock::now()) + " # the transcript is cut here: it holds at most " +
               std::to_string(Limit) + " bytes; the run goes on\n";
    } else if ((!note && kept.Cut) || (note && kept.Written + size > Limit + NoteRoom)) {
        return;
    }
    if (fwrite(line.data(), 1, line.size(), file) != line.size() || fflush(file) != 0) {
        kept.Failed = strerror(errno);
        AnyFailed = true;
        fprintf(stderr, "torvex-rack: cannot write %s: %s; the transcript is cut here\n", kept.Path.c_str(),
                kept.Failed.c_str());
        return;
    }
    kept.Written += static_cast<long long>(line.size());
}

}  // namespace

FILE* OpenTranscript(const std::string& path, std::string* why, bool* noDescriptors)
{
    FILE* file = CreateTranscript(path, why, noDescriptors);
    if (file != nullptr) {
        Transcripts[file].Path = path;
    }
    // Short of descriptors it is made again later; otherwise it is lost.
    AnyFailed = AnyFailed || (file == nullptr && !*noDescriptors);
    return file;
}

std::string CloseTranscriptFile(FILE* file)
{
    const auto found = Transcripts.find(file);
    Kept kept;
    if (found != Transcripts.end()) {
        kept = found->second;
        Transcripts.erase(found);
    }
    if (fclose(file) != 0 && kept.Failed.empty() && !kept.Path.empty()) {
        kept.Failed = strerror(errno);
        AnyFailed = true;
        fprintf(stderr, "torvex-rack: cannot write %s: %s\n", kept.Path.c_str(), kept.Failed.c_str());
    }
    if (!kept.Failed.empty()) {
        return kept.Failed;
    }
    return kept.Cut ? "it holds at most " + std::to_string(Limit) + " bytes" : "";
}

void SetTranscriptLimit(long long bytes)
{
    Limit = bytes;
}

bool TranscriptWriteFailed()
{
    return AnyFailed;
}

void TranscriptWrite(FILE* file, const std::string& line)
{
    Put(file, line, false);
}

void TranscriptNote(FILE* file, const std::string& text)
{
    TranscriptNoteAt(file, std::chrono::system_clock::now(), text);
}

void TranscriptNoteAt(FILE* file, std::chrono::system_clock::time_point t, const std::string& text)
{
    Put(file, Timestamp(t) + " # " + text + "\n", true);
}

void TranscriptConsole(FILE* file, std::chrono::system_clock::time_point arrived, const std::string& bytes)
{
    Put(file, Timestamp(arrived) + " | " + bytes, false);
}

std::string TranscriptTail(const std::string& path)
{
    const long keep = 1L << 20;
    std::string text;
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return "";
    }
    long skipped = 0;
    if (fseek(file, 0, SEEK_END) == 0) {
        const long size = ftell(file);
        skipped = size > keep ? size - keep : 0;
        (void)fseek(file, skipped, SEEK_SET);
    }
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0 && text.size() < static_cast<size_t>(keep)) {
        text.append(buffer, n);
    }
    fclose(file);
    if (skipped > 0) {
        text = "(the first " + std::to_string(skipped) + " bytes are left out: the transcript holds them)\n" + text;
    }
    return text;
}

size_t Utf8Length(const std::string& text, size_t at)
{
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    for (size_t k = 1; k < length; k++) {
        const unsigned char c = static_cast<unsigned char>(text[at + k]);
        if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) {
            return 0;
        }
    }
    return length;
}

std::string JsonString(const std::string& text)
{
    std::string json = "\"";
    for (size_t i = 0; i < text.size(); i++) {
        const char ch = text[i];
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            json += '\\';
            json += ch;
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            json += escaped;
        } else if (c < 0x80) {
            json += ch;
        } else if (const size_t length = Utf8Length(text, i)) {
            json.append(text, i, length);
            i += length - 1;
        } else {
            // Not UTF-8: the byte as the console shows it, its backslash escaped.
            char escaped[5];
            json += "\\";
            json += EscapedByte(c, escaped);
        }
    }
    return json + "\"";
}
