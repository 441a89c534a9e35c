// The differential test's generator, its in-process run, and the comparison
// of the checker's claims with the run's trace.
#include "diff/differential.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <vector>

#include "fuzz/common.h"
#include "run/progress.h"
#include "run/settings.h"
#include "run/text.h"
#include "script/labels.h"
#include "script/line.h"
#include "tools/check/check.h"

int TorvexMain(int argc, char** argv);

namespace {

const SystemTime CLOCK_TIME = {2023, 11, 4, 30, 12, 0, 0, 0};
constexpr size_t STEP_BOUND = 300;
// Lines a run carries out with no write and no key before it counts as
// looping on its own.
constexpr size_t QUIET_STEPS = 150;

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

// One line of a piece of the file, as the run reads it.
struct Piece {
    int64_t Offset;
    long Line;
    bool First;
    LineKind Kind;
    std::string Text;
};

std::vector<Piece> PiecesOf(const std::string& bytes)
{
    std::vector<Piece> pieces;
    size_t at = 0;
    long line = 1;
    bool first = true;
    while (at < bytes.size()) {
        size_t end = at;
        while (end < bytes.size() && end - at < LINE_MAX_READ) {
            if (bytes[end++] == '\n') {
                break;
            }
        }
        const std::string text = bytes.substr(at, end - at);
        pieces.push_back(Piece{static_cast<int64_t>(at), line, first, KindOf(text.c_str()), text});
        first = text.back() == '\n';
        line += first ? 1 : 0;
        at = end;
    }
    return pieces;
}

struct Claim {
    long Line;
    std::string Code;
    std::string Text;
    bool Error;
};

// "lines 4-6, 9" or "line 8" after the word, as a list of line numbers.
std::vector<long> LinesIn(const std::string& text, const std::string& after)
{
    std::vector<long> lines;
    size_t at = text.find(after);
    if (at == std::string::npos) {
        return lines;
    }
    at = text.find_first_of("0123456789", at + after.size());  // past "line" or "lines"
    while (at != std::string::npos && at < text.size() && text[at] >= '0' && text[at] <= '9') {
        char* end = nullptr;
        const long from = strtol(text.c_str() + at, &end, 10);
        long to = from;
        if (*end == '-') {
            to = strtol(end + 1, &end, 10);
        }
        for (long l = from; l <= to; l++) {
            lines.push_back(l);
        }
        at = static_cast<size_t>(end - text.c_str());
        if (text.compare(at, 2, ", ") != 0) {
            break;
        }
        at += 2;
    }
    return lines;
}

bool Has(const std::vector<long>& lines, long line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

struct RunOutcome {
    int Status = 0;
    bool PastBound = false;
};

RunOutcome RunInProcess(const std::string& path, const std::string& keys)
{
    FreeLabels();
    ResetSettings();
    World = FakeWorld{};
    World.Now = CLOCK_TIME;
    World.Keys = keys;
    World.StepBound = STEP_BOUND;
    std::string arg0 = "torvex";
    std::string arg1 = path;
    char* argv[] = {&arg0[0], &arg1[0], nullptr};
    RunOutcome outcome;
    fflush(stdout);
    const int saved = dup(1);
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, 1);
    close(devNull);
    try {
        outcome.Status = TorvexMain(2, argv);
    } catch (const RunPastBound&) {
        outcome.PastBound = true;
        fclose(World.Script);
    }
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    return outcome;
}

class Comparison {
public:
    Comparison(const std::string& bytes, const std::vector<Claim>& claims) : Pieces(PiecesOf(bytes)), Claims(claims) {}
    std::string Compare(const RunOutcome& outcome);

private:
    int PieceAt(int64_t offset) const;
    int FallThrough(int piece) const;  // the next piece the run acts on, or -1 at the end
    int Target(int piece) const;       // where the #if there jumps when its condition holds
    bool FindingAt(long line) const;
    void PassedOver(int from, int to);
    void IfClaims(int piece, int next);
    void Note(const std::string& text) { Found += text + "\n"; }

    std::vector<Piece> Pieces;
    const std::vector<Claim>& Claims;
    std::string Found;
};

int Comparison::PieceAt(int64_t offset) const
{
    for (size_t i = 0; i < Pieces.size(); i++) {
        if (Pieces[i].Offset == offset) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int Comparison::FallThrough(int piece) const
{
    for (size_t i = static_cast<size_t>(piece + 1); i < Pieces.size(); i++) {
        if (Pieces[i].Kind == LineKind::Command || Pieces[i].Kind == LineKind::Modem) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int Comparison::Target(int piece) const
{
    char text[LINE_MAX_READ + 3];
    strncpy(text, Pieces[static_cast<size_t>(piece)].Text.c_str(), sizeof text - 1);
    text[sizeof text - 1] = '\0';
    const ScriptCommand cmd = ReadCommand(text + 1);
    if (cmd.Id != CommandId::If || cmd.Condition == nullptr) {
        return FallThrough(piece);
    }
    char name[LABEL_MAX + 1];
    CutLabelName(cmd.Text, name);
    for (const LabelRec* rec = Labels; rec != nullptr; rec = rec->Next) {
        if (EqualNoCase(rec->Label, name)) {
            for (size_t i = 0; i < Pieces.size(); i++) {
                if (Pieces[i].Offset >= rec->Offset &&
                    (Pieces[i].Kind == LineKind::Command || Pieces[i].Kind == LineKind::Modem)) {
                    return static_cast<int>(i);
                }
            }
            return -1;
        }
    }
    return FallThrough(piece);  // not found: the run goes on
}

bool Comparison::FindingAt(long line) const
{
    return std::any_of(Claims.begin(), Claims.end(), [&](const Claim& c) { return c.Line == line && !c.Code.empty(); });
}

// The run went from piece from to piece to on its own (-1: the start, the end):
// every line it passed over between them must be nothing, a label or a comment,
// or have a finding.
void Comparison::PassedOver(int from, int to)
{
    const size_t end = to < 0 ? Pieces.size() : static_cast<size_t>(to);
    for (size_t i = static_cast<size_t>(from + 1); i < end; i++) {
        const Piece& p = Pieces[i];
        if (p.Kind != LineKind::Skipped || !p.First) {
            continue;
        }
        const size_t start = p.Text.find_first_not_of('\r');
        const std::string rest = start == std::string::npos ? "" : p.Text.substr(start);
        const char* text = SkipBlanks(rest.c_str());
        const bool nothing = *text == '\n' || *text == '\r' || *text == '\0';
        const bool comment = text == rest.c_str() && *text == '#' && CommandOf(text + 1) == nullptr;
        if (!nothing && !comment && !FindingAt(p.Line)) {
            Note("the run passed over line " + std::to_string(p.Line) + " and no finding said so");
        }
    }
}

// After the #if at piece, the run acted on piece next (-1: the script ended).
void Comparison::IfClaims(int piece, int next)
{
    const Piece& p = Pieces[static_cast<size_t>(piece)];
    const int fall = FallThrough(piece);
    const int target = Target(piece);
    if (fall == target) {
        return;
    }
    for (const Claim& c : Claims) {
        if (c.Line != p.Line) {
            continue;
        }
        if (c.Code == "if-always" && next == fall) {
            Note("line " + std::to_string(p.Line) + " was said always to jump, and the run went on");
        }
        const bool never = c.Text.find("never holds") != std::string::npos || c.Text.find("never jumps") != std::string::npos;
        if (never && next == target) {
            Note("line " + std::to_string(p.Line) + " was said never to jump, and the run jumped");
        }
    }
}

std::string Comparison::Compare(const RunOutcome& outcome)
{
    std::vector<int> lines;  // pieces the run acted on, in order
    for (const TraceEvent& e : World.Events) {
        const int piece = PieceAt(e.Offset);
        if (piece < 0) {
            Note("the run acted at offset " + std::to_string(e.Offset) + ", where no line starts");
            return Found;
        }
        const long line = Pieces[static_cast<size_t>(piece)].Line;
        if (e.What == TraceEvent::Line) {
            lines.push_back(piece);
            for (const Claim& c : Claims) {
                // "the rest of this line": its first piece may run.
                const bool rest = c.Text.find("the rest of") != std::string::npos;
                const bool whole = !rest || !Pieces[static_cast<size_t>(piece)].First;
                if (c.Code == "unreachable" &&
                    ((c.Line == line && whole) || Has(LinesIn(c.Text, "reaches"), line))) {
                    Note("line " + std::to_string(line) + " was said to be unreached, and the run carried it out");
                }
            }
        } else if (e.What == TraceEvent::Write) {
            const std::string shown = "\"" + Escaped(e.Bytes.data(), e.Bytes.size()) + "\"";
            const bool noted = std::any_of(Claims.begin(), Claims.end(), [&](const Claim& c) {
                return c.Line == line && c.Code.empty() && c.Text.find(shown) != std::string::npos;
            });
            if (!noted) {
                Note("the run sent " + shown + " for line " + std::to_string(line) + ", which no --wire note showed");
            }
        }
    }
    // Ways the run took on its own: passed-over lines, and the #if claims.
    int before = -1;
    for (size_t i = 0; i <= lines.size(); i++) {
        const int now = i < lines.size() ? lines[i] : -1;
        if (i == lines.size() && (outcome.PastBound || outcome.Status != 0)) {
            break;  // the run did not reach the end of the script
        }
        if (before >= 0 && Pieces[static_cast<size_t>(before)].Kind == LineKind::Command) {
            IfClaims(before, now);
        }
        if (before < 0 ? now == FallThrough(-1) : now == FallThrough(before)) {
            PassedOver(before, now);
        }
        before = now;
    }
    // A loop said to have no way out holds the run for good once entered.
    for (const Claim& c : Claims) {
        if (c.Code != "endless-loop" || c.Text.find("no way out") == std::string::npos) {
            continue;
        }
        const std::vector<long> loop = LinesIn(c.Text, "through");
        for (const int piece : lines) {
            if (Has(loop, Pieces[static_cast<size_t>(piece)].Line) && !outcome.PastBound) {
                Note("the run entered the loop of line " + std::to_string(c.Line) + ", said to have no way out, and ended");
                break;
            }
        }
    }
    // A run that goes round with no write and no key must have been foretold.
    if (outcome.PastBound) {
        const size_t from = World.Events.size() > QUIET_STEPS ? World.Events.size() - QUIET_STEPS : 0;
        const bool quiet = std::none_of(World.Events.begin() + static_cast<long>(from), World.Events.end(),
                                        [](const TraceEvent& e) { return e.What != TraceEvent::Line; });
        const long last = Pieces[static_cast<size_t>(lines.back())].Line;
        const bool foretold = std::any_of(Claims.begin(), Claims.end(), [&](const Claim& c) {
            return c.Code == "endless-loop" && Has(LinesIn(c.Text, "through"), last);
        });
        if (quiet && !foretold) {
            Note("the run looped past its bound at line " + std::to_string(last) + ", and no finding foretold it");
        }
    }
    return Found;
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
        switch (c->Pick(11)) {
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

std::string Disagreements(const Generated& g, const std::string& path)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr || fwrite(g.Script.data(), 1, g.Script.size(), f) != g.Script.size() || fclose(f) != 0) {
        return "cannot write " + path;
    }
    std::vector<Claim> claims;
    f = fopen(path.c_str(), "rb");
    CheckOptions options;
    options.Wire = true;
    options.Now = CLOCK_TIME;
    CheckScript(f, options, [&](const Finding& x) {
        claims.push_back(Claim{x.Line, x.Code != nullptr ? x.Code : "", std::string(x.Text), x.Level == Severity::Error});
    });
    fclose(f);
    const RunOutcome outcome = RunInProcess(path, g.Keys);
    const std::string found = Comparison(g.Script, claims).Compare(outcome);
    FreeLabels();
    if (found.empty()) {
        return "";
    }
    std::string claimed;
    for (const Claim& c : claims) {
        claimed += std::to_string(c.Line) + ": " + (c.Code.empty() ? "note" : c.Code) + ": " + c.Text + "\n";
    }
    return found + "script: \"" + Escaped(g.Script.data(), g.Script.size()) + "\"\nkeys: \"" + g.Keys +
           "\"\nfindings:\n" + claimed;
}
