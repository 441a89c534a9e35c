// torvex-rack: JUnit XML. A unit that failed is a <failure>, one that could
// not run (no port, no torvex, no script) or was interrupted once started an
// <error>, one that never started because the rack was stopped <skipped>;
// its transcript is its <system-out>.
#include "junit.h"

#include <cstdio>

#include "record.h"
#include "serial/display.h"

namespace {

// The length of the UTF-8 sequence at text[at] and its code point; 0 when
// the bytes there are not well-formed UTF-8.
size_t Utf8At(const std::string& text, size_t at, unsigned long* code)
{
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
        *code = lead;
        return 1;
    }
    const size_t n = Utf8Length(text, at);
    *code = n == 0 ? 0 : lead & (0x7F >> n);
    for (size_t k = 1; k < n; k++) {
        *code = (*code << 6) | (static_cast<unsigned char>(text[at + k]) & 0x3F);
    }
    return n;
}

// Characters XML 1.0 allows, less the control characters it only discourages.
bool Carried(unsigned long code)
{
    if (code < 0x20) {
        return code == '\t' || code == '\n' || code == '\r';
    }
    return !(code >= 0x7F && code <= 0x9F) && code != 0xFFFE && code != 0xFFFF;
}

std::string Fixed3(double value)
{
    char text[32];
    snprintf(text, sizeof text, "%.3f", value < 0 ? 0.0 : value);
    return text;
}

std::string Attribute(const char* name, const std::string& value)
{
    return std::string(" ") + name + "=\"" + XmlText(value, true) + "\"";
}

// The name of the script without its folder, whole: two scripts that differ
// only after a dot are two classes.
std::string ClassName(const std::string& script)
{
    if (script == "-") {
        return "stdin";
    }
    const std::string name = script.substr(script.find_last_of("/\\") + 1);
    return name.empty() ? script : name;
}

enum class Kind { Passed, Failure, Error, Skipped };

Kind KindOf(const Run& run)
{
    if (run.Ok) {
        return Kind::Passed;
    }
    if (run.Interrupted && run.Started) {
        return Kind::Error;  // part of the script may have reached the device
    }
    if (run.Interrupted || run.RackLimit) {
        return Kind::Skipped;
    }
    const bool noRun = !run.StartFailure.empty() ||
                       (!run.TimedOut && run.Ended.signal == 0 && (run.Ended.status == 3 || run.Ended.status == 4));
    return noRun ? Kind::Error : Kind::Failure;
}

}  // namespace

std::string XmlText(const std::string& bytes, bool attribute)
{
    std::string xml;
    size_t at = 0;
    while (at < bytes.size()) {
        unsigned long code = 0;
        const size_t n = Utf8At(bytes, at, &code);
        if (n == 0 || !Carried(code)) {
            // Shown byte by byte, as the console shows what it cannot print.
            for (size_t k = 0; k < (n == 0 ? 1 : n); k++) {
                char escaped[5];
                xml += EscapedByte(static_cast<unsigned char>(bytes[at + k]), escaped);
            }
            at += n == 0 ? 1 : n;
            continue;
        }
        switch (code) {
        case '&': xml += "&amp;"; break;
        case '<': xml += "&lt;"; break;
        case '>': xml += "&gt;"; break;
        case '"': xml += "&quot;"; break;
        case '\r': xml += "&#13;"; break;  // a parser would turn a bare one into a line feed
        case '\n': xml += attribute ? "&#10;" : "\n"; break;
        case '\t': xml += attribute ? "&#9;" : "\t"; break;
        default: xml.append(bytes, at, n);
        }
        at += n;
    }
    return xml;
}

namespace {

std::string Suite(const JunitHead& head, size_t tests, const size_t counts[4], double seconds)
{
    std::string properties;
    const std::pair<const char*, std::string> values[] = {{"torvex.version", head.Version},
                                                          {"script", head.Script},
                                                          {"script.sha256", head.ScriptSha256},
                                                          {"command_line", head.CommandLine}};
    for (const auto& value : values) {
        properties += "    <property" + Attribute("name", value.first) + Attribute("value", value.second) + "/>\n";
    }
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuite" + Attribute("name", "torvex-rack") +
           Attribute("tests", std::to_string(tests)) +
           Attribute("failures", std::to_string(counts[static_cast<int>(Kind::Failure)])) +
           Attribute("errors", std::to_string(counts[static_cast<int>(Kind::Error)])) +
           Attribute("skipped", std::to_string(counts[static_cast<int>(Kind::Skipped)])) +
           Attribute("time", Fixed3(seconds)) + Attribute("timestamp", head.Timestamp) +
           Attribute("hostname", head.Host) + ">\n  <properties>\n" + properties + "  </properties>\n";
}

// What the reader of a failure needs first: the rack's own limit ended it.
std::string Message(const Run& run)
{
    return run.RackTimedOut ? "the rack's --timeout ended it: " + run.Result : run.Result;
}

}  // namespace

std::string JunitUnfinished(const JunitHead& head, const std::string& message)
{
    const size_t counts[4] = {0, 0, 1, 0};
    return Suite(head, 1, counts, 0) + "  <testcase" + Attribute("name", "torvex-rack") +
           Attribute("classname", ClassName(head.Script)) + Attribute("time", Fixed3(0)) + ">\n    <error" +
           Attribute("message", message) + ">" + XmlText(message, false) + "</error>\n  </testcase>\n</testsuite>\n";
}

std::string JunitXml(const std::vector<Run>& runs, const std::vector<std::string>& transcripts,
                     const JunitHead& head, double seconds)
{
    size_t counts[4] = {0, 0, 0, 0};
    std::string cases;
    for (size_t i = 0; i < runs.size(); i++) {
        const Run& run = runs[i];
        const Kind kind = KindOf(run);
        counts[static_cast<int>(kind)]++;
        const double time = run.Started ? Seconds(run.Start, run.End) : 0.0;
        cases += "  <testcase" + Attribute("name", run.Label.empty() ? ReportedPort(run) : run.Label) +
                 Attribute("classname", ClassName(head.Script)) + Attribute("time", Fixed3(time)) + ">\n";
        static const char* const elements[] = {"", "failure", "error", "skipped"};
        if (kind != Kind::Passed) {
            const char* element = elements[static_cast<int>(kind)];
            const std::string message = Message(run);
            cases += std::string("    <") + element + Attribute("message", message) + ">" +
                     XmlText(message, false) + "</" + element + ">\n";
        }
        // A pass that needs a second look says so before the transcript.
        const bool remark = run.Ok && (run.Attempt > 1 || run.NoKeyboard);
        std::string transcript = remark ? "result: " + run.Result + "\n" : "";
        if (!run.TranscriptCut.empty()) {
            transcript += "the transcript is cut: " + run.TranscriptCut + "\n";
        }
        transcript += i < transcripts.size() ? transcripts[i] : "";
        cases += "    <system-out>" + XmlText(transcript, false) + "</system-out>\n  </testcase>\n";
    }
    return Suite(head, runs.size(), counts, seconds) + cases + "</testsuite>\n";
}

std::string JunitNotFound(const std::string& looked, const JunitHead& head)
{
    Run run;
    run.Label = looked;
    run.StartFailure = "no serial port found with " + looked;
    run.Result = run.StartFailure;
    run.State = RunState::Done;
    return JunitXml({run}, {""}, head, 0.0);
}
