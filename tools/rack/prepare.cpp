// torvex-rack: the checks made before any unit is woken.
#include "prepare.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>

#include "os.h"
#include "record.h"
#include "remote/name.h"

namespace {

std::string Lower(std::string text)
{
    for (char& c : text) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return text;
}

// For rfc2217://HOST:PORT or socket://HOST:PORT, read as torvex reads it: the
// host (lower case, no brackets) and the port number; false for any other name.
bool NetworkAddress(const std::string& port, std::string* host, std::string* number)
{
    netname::Name name;
    if (!netname::IsNetName(port.c_str()) || netname::Parse(port.c_str(), &name) != netname::Fault::None) {
        return false;
    }
    *host = Lower(name.host);
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
bool PortsDistinct(const std::vector<std::string>& ports, std::string* message)
{
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
                return false;
            }
        }
    }
    return true;
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

// The JSON file can be written; an existing one is left as it is until the
// end, and whether it was made here is told.
bool JsonWritable(const std::string& path, bool* made, std::string* message)
{
    // Appending nothing: an existing file stays as it is, a missing one is made.
    std::error_code error;
    *made = !std::filesystem::exists(path, error);
    FILE* file = fopen(path.c_str(), "ab");
    if (file == nullptr) {
        *message = "cannot write " + path + ": " + strerror(errno);
        return false;
    }
    fclose(file);
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
bool PrepareLogDir(const RackOptions& opts, std::string* logDir, std::string* scriptPath, std::vector<Run>* runs)
{
    std::string message;
    if (!MakeLogDir(opts.LogDir, logDir, &message)) {
        fprintf(stderr, "torvex-rack: %s\n", message.c_str());
        return false;
    }
    *scriptPath = opts.Script;
    if (opts.Script == "-") {
        // Every run needs the script: standard input is kept in the folder once.
        *scriptPath = (std::filesystem::path(*logDir) / "script.txt").string();
        std::ofstream copy(*scriptPath, std::ios::binary);
        copy << std::cin.rdbuf();
        if (!copy) {
            fprintf(stderr, "torvex-rack: cannot keep the script in %s\n", scriptPath->c_str());
            return false;
        }
    }
    const size_t count = opts.Ports.size();
    for (size_t i = 0; i < count; i++) {
        Run run;
        run.Port = opts.Ports[i].Name;
        run.Label = opts.Ports[i].Label;
        run.Baud = opts.Ports[i].Baud;
        run.TranscriptPath =
            (std::filesystem::path(*logDir) / TranscriptName(i, count, run.Label.empty() ? run.Port : run.Label))
                .string();
        runs->push_back(run);
    }
    if (runs->empty()) {
        return true;  // a station: its runs come later
    }
    std::string why;
    bool noDescriptors = false;
    Run& first = runs->front();
    first.Transcript = CreateTranscript(first.TranscriptPath, &why, &noDescriptors);
    if (first.Transcript == nullptr) {
        fprintf(stderr, "torvex-rack: cannot write %s: %s\n", first.TranscriptPath.c_str(), why.c_str());
        return false;
    }
    return true;
}

}  // namespace

bool PrepareRack(const RackOptions& opts, const std::string& exe, std::string* logDir, std::string* scriptPath,
                 std::vector<Run>* runs)
{
    std::string message;
    bool madeJson = false;
    bool madeJunit = false;
    std::vector<std::string> ports;
    for (const RackPort& port : opts.Ports) {
        ports.push_back(port.Name);
    }
    bool ready = TorvexThere(exe, &message) && PortsDistinct(ports, &message) &&
                 (opts.Json.empty() || JsonWritable(opts.Json, &madeJson, &message)) &&
                 (opts.Junit.empty() || JsonWritable(opts.Junit, &madeJunit, &message));
    if (!ready) {
        fprintf(stderr, "torvex-rack: %s\n", message.c_str());
    }
    ready = ready && PrepareLogDir(opts, logDir, scriptPath, runs);
    if (!ready && madeJson) {
        (void)std::remove(opts.Json.c_str());
    }
    if (!ready && madeJunit) {
        (void)std::remove(opts.Junit.c_str());
    }
    return ready;
}
