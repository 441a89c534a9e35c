// torvex-rack: the report files, checked, marked unfinished and replaced.
#include "outputs.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

#include "os.h"
#include "record.h"
#include "remote/name.h"
#include "sha256.h"

#ifndef TORVEX_RACK_VERSION
#define TORVEX_RACK_VERSION "unknown"
#endif

namespace {

FILE* StandardOutput = nullptr;   // taken for a report named -
std::set<std::string> Marked;     // outputs whose placeholder is in place

// What tells this file apart: its real path, and its device and inode when it is there.
std::vector<std::string> Identities(const std::string& path)
{
    std::vector<std::string> ids = PortIdentities(path, "", "");
    ids.push_back("path " + RealFile(path));
    return ids;
}

bool Same(const std::vector<std::string>& a, const std::string& path)
{
    for (const std::string& id : Identities(path)) {
        for (const std::string& mine : a) {
            if (id == mine) {
                return true;
            }
        }
    }
    return false;
}

// A new file beside path, in the same folder, that no child inherits; a name
// that is taken (another rack's, or one a killed rack left) is passed over.
FILE* CreateTemporary(const std::string& path, std::string* temporary, std::string* why)
{
    const size_t slash = path.find_last_of("/\\");
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = path.substr(dir.size());
    bool descriptors = false;
    for (int n = 1; n <= 100; n++) {
        *temporary = std::string(dir).append(".").append(name).append(".").append(std::to_string(n)).append(".tmp");
        FILE* file = CreateTranscript(*temporary, why, &descriptors);
        if (file != nullptr || FileKind(*temporary) == FileIs::None) {
            return file;
        }
    }
    return nullptr;
}

bool Refuse(const std::string& message)
{
    fprintf(stderr, "torvex-rack: %s\n", message.c_str());
    return false;
}

// One output against the inputs, the ports and the output checked before it.
std::string OutputFault(const RackOptions& opts, const char* option, const std::string& path,
                        const std::string& other, const char* otherOption)
{
    const std::string named = std::string(option) + " " + path;
    if (FileKind(path) == FileIs::Other) {
        return (named + " is not a regular file");
    }
    const std::vector<std::string> ids = Identities(path);
    if (!opts.Script.empty() && opts.Script != "-" && Same(ids, opts.Script)) {
        return (named + " is the same file as the script " + opts.Script);
    }
    for (const std::string& list : opts.PortLists) {
        if (list != "-" && Same(ids, list)) {
            return (std::string(named).append(" is the same file as the port list ").append(list));
        }
    }
    for (const RackPort& port : opts.Ports) {
        if (!netname::IsNetName(port.Name.c_str()) && Same(ids, port.Name)) {
            return (named + " is the same file as the port " + port.Name);
        }
    }
    if (!other.empty() && other != "-" && Same(ids, other)) {
        return (named + " is the same file as " + otherOption + " " + other);
    }
    // Its folder takes a new file: the report will be renamed into place from one.
    std::string temporary;
    std::string why;
    FILE* file = CreateTemporary(RealFile(path), &temporary, &why);
    if (file == nullptr) {
        return ("cannot write " + path + ": " + why);
    }
    fclose(file);
    RemoveFile(temporary);
    return "";
}

}  // namespace

std::string OutputsFault(const RackOptions& opts)
{
    if (opts.Json == "-" && opts.Junit == "-") {
        return "--json and --junit cannot both be standard output";
    }
    std::string json = opts.Json.empty() || opts.Json == "-" ? "" : OutputFault(opts, "--json", opts.Json, "", "");
    if (!json.empty() || opts.Junit.empty() || opts.Junit == "-") {
        return json;
    }
    return OutputFault(opts, "--junit", opts.Junit, opts.Json, "--json");
}

bool CheckOutputs(const RackOptions& opts)
{
    const std::string fault = OutputsFault(opts);
    if (!fault.empty()) {
        return Refuse(fault);
    }
    if (opts.Json == "-" || opts.Junit == "-") {
        StandardOutput = TakeStandardOutput();
        if (StandardOutput == nullptr) {
            return Refuse(std::string("cannot keep standard output for the report: ") + strerror(errno));
        }
    }
    return true;
}

JunitHead ReportHead(const RackOptions& opts, const std::string& scriptPath)
{
    JunitHead head;
    head.Timestamp = Timestamp(std::chrono::system_clock::now());
    head.Host = HostName();
    head.Version = TORVEX_RACK_VERSION;
    head.Script = opts.Script;
    const std::string& script = scriptPath.empty() ? opts.Script : scriptPath;
    head.ScriptSha256 = script == "-" ? "" : FileSha256(script);
    head.CommandLine = opts.CommandLine;
    return head;
}

int Refused(const RackOptions& opts, const std::string& scriptPath, const std::string& reason)
{
    if (opts.DryRun) {
        return 2;  // it leaves nothing behind
    }
    // Each output sound in itself says why; one at fault is left as it was.
    RackOptions sound = opts;
    const bool json = !opts.Json.empty() && opts.Json != "-";
    const bool junit = !opts.Junit.empty() && opts.Junit != "-";
    const std::string jsonFault = json ? OutputFault(opts, "--json", opts.Json, "", "") : "";
    const std::string junitFault = junit ? OutputFault(opts, "--junit", opts.Junit, opts.Json, "--json") : "";
    for (const std::string& fault : {jsonFault, junitFault}) {
        if (!fault.empty()) {
            (void)Refuse(fault);
        }
    }
    if (!jsonFault.empty() || (json && junit && Same(Identities(opts.Json), opts.Junit))) {
        sound.Json.clear();
    }
    if (!junitFault.empty()) {
        sound.Junit.clear();
    }
    const JunitHead head = ReportHead(opts, scriptPath);
    if (!opts.NotFound.empty() && !sound.Junit.empty()) {
        // CI reads a failure that says what was looked for, not a missing file.
        const bool taken = sound.Junit != "-" || (StandardOutput = TakeStandardOutput()) != nullptr;
        if (taken) {
            (void)WriteReport(sound.Junit, JunitNotFound(opts.NotFound, head));
        }
        sound.Junit.clear();
    }
    (void)MarkUnfinished(sound, head, reason);
    return 2;
}

std::string UnfinishedJson(const std::string& script, const std::string& reason)
{
    return "{\n  \"finished\": false,\n  \"reason\": " +
           JsonString(reason.empty() ? "the rack did not finish" : "the rack did not start: " + reason) +
           ",\n  \"script\": " + JsonString(script) + ",\n  \"ports\": []\n}\n";
}

bool MarkUnfinished(const RackOptions& opts, const JunitHead& head, const std::string& reason)
{
    bool written = true;
    if (!opts.Json.empty() && opts.Json != "-") {
        written = WriteReport(opts.Json, UnfinishedJson(opts.Script, reason));
        if (written) {
            Marked.insert(opts.Json);
        }
    }
    if (!opts.Junit.empty() && opts.Junit != "-") {
        const std::string message = reason.empty() ? "the rack did not finish" : "the rack did not start: " + reason;
        const bool junit = WriteReport(opts.Junit, JunitUnfinished(head, message));
        if (junit) {
            Marked.insert(opts.Junit);
        }
        written = written && junit;
    }
    return written;
}

bool WriteReport(const std::string& path, const std::string& text)
{
    if (path == "-") {
        const bool written = StandardOutput != nullptr &&
                             fwrite(text.data(), 1, text.size(), StandardOutput) == text.size() &&
                             fflush(StandardOutput) == 0;
        if (!written) {
            fprintf(stderr, "torvex-rack: cannot write the report to standard output: %s\n", strerror(errno));
        }
        return written;
    }
    // Renamed over the real file, so that a link to it stays a link.
    const std::string real = RealFile(path);
    std::string temporary;
    std::string why;
    FILE* file = CreateTemporary(real, &temporary, &why);
    if (file == nullptr) {
        fprintf(stderr, "torvex-rack: cannot write %s: %s\n", path.c_str(), why.c_str());
        return false;
    }
    bool written = fwrite(text.data(), 1, text.size(), file) == text.size() && fflush(file) == 0;
    if (!written) {
        why = strerror(errno);
    }
    // On the disk before it takes the name: a power loss leaves the old report or the new one, never an empty file.
    written = written && SyncFile(file, &why);
    if (fclose(file) != 0 && written) {
        written = false;
        why = strerror(errno);
    }
    if (written && RenameOver(temporary, real, &why)) {
        return true;
    }
    RemoveFile(temporary);
    const char* left = Marked.count(path) > 0 ? "it still says the rack did not finish" : "it is left as it was";
    fprintf(stderr, "torvex-rack: cannot write %s: %s; %s\n", path.c_str(), why.c_str(), left);
    return false;
}
