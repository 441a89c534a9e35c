// torvex-rack: the checks made before any unit is woken.
#include "prepare.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>

#include "os.h"
#include "outputs.h"
#include "record.h"
#include "remote/name.h"
#include "run/text.h"

namespace {

std::string Lower(std::string text)
{
    for (char& c : text) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return text;
}

// ::ffff:127.0.0.1 (or ::ffff:7f00:1) is 127.0.0.1 reached over IPv6: the same host.
std::string Ipv4OfMapped(const std::string& host)
{
    const std::string prefix = "::ffff:";
    if (host.compare(0, prefix.size(), prefix) != 0) {
        return host;
    }
    const std::string rest = host.substr(prefix.size());
    // Four numbers 0-255 with dots, or two groups of up to four hex digits.
    const bool dotted = rest.find('.') != std::string::npos;
    const size_t parts = dotted ? 4 : 2;
    std::vector<unsigned long> n;
    size_t at = 0;
    while (n.size() < parts && at <= rest.size()) {
        const size_t end = std::min(rest.find(dotted ? '.' : ':', at), rest.size());
        const std::string digits = rest.substr(at, end - at);
        if (digits.empty() || digits.size() > (dotted ? 3 : 4) ||
            digits.find_first_not_of(dotted ? "0123456789" : "0123456789abcdef") != std::string::npos) {
            return host;
        }
        n.push_back(strtoul(digits.c_str(), nullptr, dotted ? 10 : 16));
        at = end + 1;
    }
    if (n.size() != parts || at != rest.size() + 1 || (dotted && *std::max_element(n.begin(), n.end()) > 255)) {
        return host;
    }
    if (!dotted) {
        n = {n[0] >> 8, n[0] & 255, n[1] >> 8, n[1] & 255};
    }
    return std::to_string(n[0]) + "." + std::to_string(n[1]) + "." + std::to_string(n[2]) + "." + std::to_string(n[3]);
}

// For rfc2217://HOST:PORT or socket://HOST:PORT, read as torvex reads it: the
// host (lower case, no brackets) and the port number; false for any other name.
bool NetworkAddress(const std::string& port, std::string* host, std::string* number)
{
    netname::Name name;
    if (!netname::IsNetName(port.c_str()) || netname::Parse(port.c_str(), &name) != netname::Fault::None) {
        return false;
    }
    *host = Ipv4OfMapped(Lower(name.host));
    // 07010 and 7010 are one port.
    const std::string digits = name.port;
    *number = digits.substr(digits.find_first_not_of('0'));
    return true;
}

bool HoldsTranscripts(const std::string& dir)
{
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        const std::string name = entry.path().filename().string();
        if (name == "script.txt" || (name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0)) {
            return true;
        }
    }
    return false;
}

// Two names of one port: the same real path, device, or network address and port number.
// With every, each such pair is told there and the search goes on.
bool PortsDistinct(const std::vector<std::string>& ports, std::string* message,
                   std::vector<std::string>* every = nullptr)
{
    bool distinct = true;
    std::map<std::string, size_t> seen;
    for (size_t i = 0; i < ports.size(); i++) {
        std::string host;
        std::string number;
        std::vector<std::string> ids;
        if (NetworkAddress(ports[i], &host, &number)) {
            ids = PortIdentities(ports[i], host, number);
            std::string id = "host ";
            ids.push_back(id.append(host).append(" port ").append(number));
        } else {
            ids = PortIdentities(ports[i], "", "");
            ids.push_back("name " + ports[i]);
        }
        for (const std::string& id : ids) {
            const auto found = seen.emplace(id, i);
            if (!found.second && found.first->second != i) {
                const std::string& first = ports[found.first->second];
                *message = first == ports[i] ? "the port " + first + " is named twice"
                                             : first + " and " + ports[i] + " are the same port";
                if (every == nullptr) {
                    return false;
                }
                every->push_back(*message);
                distinct = false;
                break;
            }
        }
    }
    return distinct;
}

// torvex beside the rack can be started.
bool TorvexThere(const std::string& exe, std::string* message)
{
    std::string why;
    if (!Runnable(exe, &why)) {
        *message = "cannot start torvex beside the rack, " + exe + ": " + why;
        return false;
    }
    return true;
}

// The log folder: the one named, made when missing, or a new one named after
// the time; never one that already holds another rack's transcripts.
bool MakeLogDir(const std::string& named, std::string* dir, std::string* message)
{
    std::error_code error;
    if (named.empty()) {
        // A new folder of its own, even when another rack starts in the same second.
        const std::string base = "torvex-rack-" + FolderStamp(std::chrono::system_clock::now());
        *dir = base;
        for (int n = 2; !std::filesystem::create_directory(*dir, error); n++) {
            if (error || n > 1000) {
                *message = "cannot make the folder " + *dir + ": " + error.message();
                return false;
            }
            *dir = base + "-" + std::to_string(n);
        }
        return true;
    }
    *dir = named;
    std::filesystem::create_directories(*dir, error);
    if (!std::filesystem::is_directory(*dir)) {
        *message = "cannot make the folder " + *dir + ": " + error.message();
        return false;
    }
    if (HoldsTranscripts(*dir)) {
        *message = "the folder " + *dir + " already holds a rack's transcripts; name a new one";
        return false;
    }
    return true;
}

// The folder, the script kept there when it comes from standard input, and
// every run's transcript name; the first transcript is made, so that a folder
// that takes no files is found before any unit is woken.
bool PrepareLogDir(const RackOptions& opts, std::string* logDir, std::string* scriptPath, std::vector<Run>* runs,
                   std::string* message)
{
    if (!MakeLogDir(opts.LogDir, logDir, message)) {
        return false;
    }
    *scriptPath = opts.Script;
    if (opts.Script == "-") {
        // Every run needs the script: standard input is kept in the folder once.
        *scriptPath = (std::filesystem::path(*logDir) / "script.txt").string();
        std::ofstream copy(*scriptPath, std::ios::binary);
        copy << std::cin.rdbuf();
        if (!copy) {
            *message = "cannot keep the script in " + *scriptPath;
            return false;
        }
    }
    const size_t count = opts.Ports.size();
    for (size_t i = 0; i < count; i++) {
        Run run;
        run.Port = opts.Ports[i].Name;
        run.Label = opts.Ports[i].Label;
        run.Baud = opts.Ports[i].Baud;
        run.Stable = opts.Ports[i].Stable;
        run.TranscriptPath =
            (std::filesystem::path(*logDir) /
             TranscriptName(i, count, run.Label.empty() ? ReportedPort(run) : run.Label, ReportedPort(run)))
                .string();
        runs->push_back(run);
    }
    if (runs->empty()) {
        return true;  // a station: its runs come later
    }
    std::string why;
    bool noDescriptors = false;
    Run& first = runs->front();
    first.Transcript = OpenTranscript(first.TranscriptPath, &why, &noDescriptors);
    if (first.Transcript == nullptr) {
        *message = "cannot write " + first.TranscriptPath + ": " + why;
        return false;
    }
    return true;
}

}  // namespace

bool PrepareRack(const RackOptions& opts, const std::string& exe, std::string* logDir, std::string* scriptPath,
                 std::vector<Run>* runs, std::string* refusal)
{
    std::vector<std::string> ports;
    for (const RackPort& port : opts.Ports) {
        ports.push_back(port.Name);
    }
    const bool ready = TorvexThere(exe, refusal) && PortsDistinct(ports, refusal) &&
                       PrepareLogDir(opts, logDir, scriptPath, runs, refusal);
    if (!ready) {
        fprintf(stderr, "torvex-rack: %s\n", refusal->c_str());
    }
    return ready;
}

int DryRun(const RackOptions& opts, const std::string& exe)
{
    std::vector<std::string> refusals;
    if (!opts.NotFound.empty()) {
        refusals.push_back("no serial port found with " + opts.NotFound);
    }
    std::string message;
    if (opts.Script != "-") {
        const ScriptMap script = ReadScriptMap(opts.Script);
        if (!script.Read) {
            refusals.push_back("cannot read the script " + opts.Script + ": " + strerror(script.Error));
        }
    }
    if (!TorvexThere(exe, &message)) {
        refusals.push_back(message);
    }
    std::vector<std::string> ports;
    for (const RackPort& port : opts.Ports) {
        ports.push_back(port.Name);
    }
    (void)PortsDistinct(ports, &message, &refusals);
    const std::string outputs = OutputsFault(opts);
    if (!outputs.empty()) {
        refusals.push_back(outputs);
    }
    std::error_code error;
    if (!opts.LogDir.empty() && std::filesystem::exists(opts.LogDir, error)) {
        if (!std::filesystem::is_directory(opts.LogDir, error)) {
            refusals.push_back("cannot make the folder " + opts.LogDir + ": it is not a folder");
        } else if (HoldsTranscripts(opts.LogDir)) {
            refusals.push_back("the folder " + opts.LogDir + " already holds a rack's transcripts; name a new one");
        }
    }
    std::string rackBaud;
    for (const std::string& arg : opts.PassedOn) {
        rackBaud = StartsWithNoCase(arg.c_str(), "-BAUD=") ? arg.substr(6) : rackBaud;
    }
    const std::string script = opts.Script == "-" ? "the script on standard input" : opts.Script;
    printf("torvex-rack would run %s on %zu unit%s:\n", script.c_str(), opts.Ports.size(),
           opts.Ports.size() == 1 ? "" : "s");
    for (size_t i = 0; i < opts.Ports.size(); i++) {
        const RackPort& port = opts.Ports[i];
        Run run;
        run.Port = port.Name;
        run.Label = port.Label;
        run.Stable = port.Stable;
        const bool raw = StartsWithNoCase(port.Name.c_str(), "socket://");
        const std::string speed = raw                 ? "the server's own speed"
                                  : !port.Baud.empty() ? port.Baud + " bit/s"
                                  : !rackBaud.empty()  ? rackBaud + " bit/s"
                                                       : "9600 bit/s, torvex's default";
        std::string line = UnitName(run) + ": -PORT=" + Shown(port.Name) + ", " + speed;
        line += ", transcript " + ShownLabel(TranscriptName(i, opts.Ports.size(),
                                                            run.Label.empty() ? ReportedPort(run) : run.Label,
                                                            ReportedPort(run)));
        printf("%s\n", line.c_str());
    }
    fflush(stdout);
    for (const std::string& refusal : refusals) {
        fprintf(stderr, "torvex-rack: %s\n", refusal.c_str());
    }
    if (!refusals.empty()) {
        fprintf(stderr, "torvex-rack: the rack would not start: %zu reason%s\n", refusals.size(),
                refusals.size() == 1 ? "" : "s");
    }
    return refusals.empty() ? 0 : 2;
}
