// The differential test's generator, its in-process run, and the comparison
// of the checker's claims with the run's trace.
#include "diff/differential.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
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
#include "tools/check/checker.h"

int TorvexMain(int argc, char** argv);

namespace {

const SystemTime CLOCK_TIME = {2023, 11, 4, 30, 12, 0, 0, 0};
constexpr size_t STEP_BOUND = 300;
// Lines a run carries out with no write and no key before it counts as
// looping on its own.
constexpr size_t QUIET_STEPS = 150;

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
    bool Claimed(long line, const char* code, const char* text, bool error) const;
    ScriptCommand CommandAt(int piece, char* text) const;
    void PassedOver(int from, int to);
    void IfClaims(int piece, int next);
    void StateClaims(int piece);
    void ColonKept(int piece, const std::string& sent);
    void Note(const std::string& text) { Found += text + "\n"; }

    std::vector<Piece> Pieces;
    const std::vector<Claim>& Claims;
    std::string Found;
    int ZeroTimeout = -1;   // the #timeout in force, when it set 0 s or less
    int LastResponse = -1;  // the modem command or #prompt that gave the response; -1: the wake-up
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

// The command of a "#" piece, read as the run reads it into text.
ScriptCommand Comparison::CommandAt(int piece, char* text) const
{
    strncpy(text, Pieces[static_cast<size_t>(piece)].Text.c_str(), LINE_MAX_READ + 2);
    text[LINE_MAX_READ + 2] = '\0';
    return ReadCommand(text + 1);
}

int Comparison::Target(int piece) const
{
    char text[LINE_MAX_READ + 3];
    const ScriptCommand cmd = CommandAt(piece, text);
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

bool Comparison::Claimed(long line, const char* code, const char* text, bool error) const
{
    return std::any_of(Claims.begin(), Claims.end(), [&](const Claim& c) {
        return c.Line == line && (code == nullptr || c.Code == code) &&
               (text == nullptr || c.Text.find(text) != std::string::npos) && (!error || c.Error);
    });
}

// The run acted on piece: what the checker said of the time-out in force and
// of where the response came from must hold on the way the run took.
void Comparison::StateClaims(int piece)
{
    const Piece& p = Pieces[static_cast<size_t>(piece)];
    if (p.Kind == LineKind::Modem) {
        const long set = ZeroTimeout >= 0 ? Pieces[static_cast<size_t>(ZeroTimeout)].Line : 0;
        if (set != 0 && !Claimed(set, nullptr, "fails at once", true)) {
            Note("the run met the modem command on line " + std::to_string(p.Line) + " with the time-out of line " +
                 std::to_string(set) + ", and no error said that it fails at once");
        }
        LastResponse = piece;
        return;
    }
    if (p.Kind != LineKind::Command) {
        return;
    }
    char text[LINE_MAX_READ + 3];
    const ScriptCommand cmd = CommandAt(piece, text);
    if (cmd.Id == CommandId::Timeout && cmd.HasNumber) {
        ZeroTimeout = cmd.Number <= 0 ? piece : -1;
    } else if (cmd.Id == CommandId::Prompt) {
        LastResponse = piece;
    } else if (cmd.Id == CommandId::If && Claimed(p.Line, "key-after-modem", nullptr, false) &&
               (LastResponse < 0 || Pieces[static_cast<size_t>(LastResponse)].Kind != LineKind::Modem)) {
        Note("line " + std::to_string(p.Line) + " was said to test a modem command's answer, and the run came to it with " +
             (LastResponse < 0 ? std::string("the wake-up's") : "the key of line " + std::to_string(Pieces[static_cast<size_t>(LastResponse)].Line)));
    }
}

// A shorthand that the run sent with a colon right after its name, where a
// person reads "=": an error must have said so.
void Comparison::ColonKept(int piece, const std::string& sent)
{
    const Piece& p = Pieces[static_cast<size_t>(piece)];
    if (!p.First || !StartsWithNoCase(p.Text.c_str(), "^Q") || !StartsWithNoCase(sent.c_str(), "AT^Q")) {
        return;
    }
    size_t end = 4;
    while (end < sent.size() && isalnum(static_cast<unsigned char>(sent[end])) != 0) {
        end++;
    }
    if (end > 4 && end < sent.size() && sent[end] == ':' && !Claimed(p.Line, "shorthand-colon", nullptr, true)) {
        Note("the run sent the shorthand of line " + std::to_string(p.Line) +
             " with the colon after its name, and no error said so");
    }
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
            StateClaims(piece);
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
            ColonKept(piece, e.Bytes);
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

// Each character of a modem line that the device cannot take is named, by
// its position or counted among the rest of its kind, and none twice.
std::string UnnamedCharacters(const std::string& script, const std::vector<Claim>& claims)
{
    std::string found;
    long number = 1;
    for (size_t at = 0; at < script.size(); number++) {
        size_t end = script.find('\n', at);
        end = end == std::string::npos ? script.size() : end + 1;
        const std::string text = script.substr(at, end - at).c_str();  // the run reads up to a NUL
        const bool oneRead = end - at <= LINE_MAX_READ;
        at = end;
        if (!oneRead || KindOf(text.c_str()) != LineKind::Modem) {
            continue;
        }
        std::vector<long> harmful;
        long position = 1;
        for (size_t i = 0; i < text.size(); position++) {
            const unsigned char c = static_cast<unsigned char>(text[i]);
            if ((c >= 32 && c < 127) || c == '\r' || c == '\n') {
                i++;
                continue;
            }
            const OddChar odd = ReadOddChar(text.c_str() + i, text.size() - i);
            if ((odd.Invalid || odd.What != nullptr) && !(i == 0 && odd.Code == 0xFEFF)) {
                harmful.push_back(position);
            }
            i += odd.Length;
        }
        size_t named = 0;
        for (const Claim& c : claims) {
            if (c.Line != number) {
                continue;
            }
            if (c.Code == "read-as-modem") {
                named += (c.Text.find("(U+") != std::string::npos ? 1 : 0) +
                         (c.Text.find("full-width \"") != std::string::npos ? 1 : 0);
            } else if ((c.Code == "modem-bytes" || c.Code == "invalid-utf8") && c.Text.find(" more ") != std::string::npos) {
                named += strtoul(c.Text.c_str() + strlen("line holds "), nullptr, 10);
            } else if (c.Code == "modem-bytes" || c.Code == "invalid-utf8") {
                const size_t where = c.Text.find(" at character ");
                const long said = where == std::string::npos ? 0 : atol(c.Text.c_str() + where + 14);
                named++;
                if (!Has(harmful, said)) {
                    found += "line " + std::to_string(number) + ": " + c.Text + ", where there is none\n";
                }
            }
        }
        if (named != harmful.size()) {
            found += "line " + std::to_string(number) + " holds " + std::to_string(harmful.size()) +
                     " characters the device cannot take, and the findings name " + std::to_string(named) + "\n";
        }
    }
    return found;
}

}  // namespace

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
    std::string found = Comparison(g.Script, claims).Compare(outcome);
    for (const long line : LinesToAccountFor(g.Script)) {
        if (std::none_of(claims.begin(), claims.end(),
                         [&](const Claim& c) { return c.Line == line && AccountsForBytes(c.Code); })) {
            found += "line " + std::to_string(line) + " leaves bytes unread or sends bytes beyond printable ASCII, and "
                     "no finding about its bytes said so\n";
        }
    }
    found += UnnamedCharacters(g.Script, claims);
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
