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
        run.TranscriptPath =
            (std::filesystem::path(*logDir) / TranscriptName(i, count, run.Label.empty() ? run.Port : run.Label))
                .string();
        runs->push_back(run);
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
