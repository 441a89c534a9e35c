// torvex-rack: the units that discovery and port lists name: --match, --all,
// serial= lines, and the speeds a raw network port cannot take.
#include "units.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <thread>

#include "run/text.h"

namespace {

// The first --match, or serial= line of the port list, that finds no port in
// found; empty when each finds one. Lines are where each is written.
std::string Unfound(const std::vector<Port>& found, const std::vector<std::string>& matches,
                    const std::vector<RackPort>& listed)
{
    std::vector<std::pair<std::string, std::string>> wanted;
    wanted.reserve(matches.size() + listed.size());
    for (const std::string& match : matches) {
        wanted.push_back({match, ""});
    }
    for (const RackPort& port : listed) {
        if (!port.Match.empty()) {
            wanted.push_back({port.Match, " (" + port.List + ":" + std::to_string(port.Line) + ")"});
        }
    }
    // The n-th serial= line of one number takes the n-th port with it (the ports of a multi-port adapter).
    std::map<std::string, size_t> taken;
    for (const auto& w : wanted) {
        const size_t need = w.second.empty() ? 1 : ++taken[w.first];
        size_t have = 0;
        for (const Port& p : found) {
            bool known = true;
            have += Matches(p, w.first, &known) ? 1 : 0;
        }
        if (have < need) {
            return w.first + w.second;
        }
    }
    return "";
}

}  // namespace

// Whether the port has what match asks for; *known is false when match is
// not KEY=VALUE with a key and a value of the forms taken.
bool Matches(const Port& p, const std::string& match, bool* known)
{
    const size_t equals = match.find('=');
    const std::string key = match.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : match.substr(equals + 1);
    *known = !value.empty();
    if (key == "serial") {
        return p.Usb && p.Serial == value;
    }
    if (key == "usb") {
        const size_t colon = value.find(':');
        *known = *known && colon == 4 && value.size() == 9 &&
                 value.find_first_not_of("0123456789abcdefABCDEF:") == std::string::npos;
        return p.Usb && EqualNoCase((p.UsbVendor + ":" + p.UsbProduct).c_str(), value.c_str());
    }
    if (key == "by-id") {
        const std::string prefix = "/dev/serial/by-id/";
        const std::string id = p.StableName.compare(0, prefix.size(), prefix) == 0 ? p.StableName.substr(prefix.size()) : "";
        return !id.empty() && id.find(value) != std::string::npos;
    }
    *known = false;
    return false;
}


// The ports --all and --match find, and those of the port list's serial=
// lines, named by their stable names. A match that finds nothing is looked
// for again as --retries allows (a unit not plugged in yet); false once it
// is said that it was not found.
bool FindUnits(bool all, const std::vector<std::string>& matches, RackOptions* options)
{
    bool listMatches = false;
    for (const RackPort& port : options->Ports) {
        listMatches = listMatches || !port.Match.empty();
    }
    if (!all && matches.empty() && !listMatches) {
        return true;
    }
    std::vector<Port> found;
    for (int attempt = 1;; attempt++) {
        found = FindPorts();
        SortForListing(&found);
        options->NotFound = Unfound(found, matches, options->Ports);
        if (options->NotFound.empty() || attempt > options->Retries || options->DryRun) {
            break;
        }
        fprintf(stderr, "torvex-rack: no serial port found with %s; looking again in %d s (attempt %d of %d)\n",
                options->NotFound.c_str(), options->RetryWait, attempt + 1, options->Retries + 1);
        std::this_thread::sleep_for(std::chrono::seconds(options->RetryWait));
    }
    if (!options->NotFound.empty() && !options->DryRun) {
        options->Refusal = "no serial port found with " + options->NotFound;
        fprintf(stderr, "torvex-rack: %s\n", options->Refusal.c_str());
        return false;
    }
    auto named = [&](const std::string& name) {
        for (const RackPort& q : options->Ports) {
            if (q.Name == name) {
                return true;
            }
        }
        return false;
    };
    // A serial= line takes the first port found with its serial number that no
    // earlier such line took, with the line's speed and label.
    std::vector<std::string> taken;
    for (RackPort& port : options->Ports) {
        for (const Port& p : found) {
            bool known = true;
            if (!port.Match.empty() && port.Name.empty() && Matches(p, port.Match, &known) &&
                std::find(taken.begin(), taken.end(), p.Name) == taken.end()) {
                port.Name = p.Name;
                port.Stable = UnitStableName(p);
                taken.push_back(p.Name);
            }
        }
        if (port.Name.empty()) {
            port.Name = port.Match;  // only in a dry run, which says it was not found
        }
    }
    if (all) {
        std::vector<RackPort> usable;
        for (const Port& p : found) {
            if (!p.AccessKnown || p.NoAccess.empty()) {
                RackPort port;
                port.Name = p.Name;
                port.Stable = UnitStableName(p);
                usable.push_back(port);
            }
        }
        if (usable.empty() && options->Ports.empty()) {
            options->Refusal = "no usable serial ports found";
            fprintf(stderr, "torvex-rack: %s\n", options->Refusal.c_str());
            return false;
        }
        options->Ports.insert(options->Ports.end(), usable.begin(), usable.end());
    }
    // Each --match adds the ports it finds, in the order torvex-ports lists them.
    for (const std::string& match : matches) {
        for (const Port& p : found) {
            bool known = true;
            if (Matches(p, match, &known) && !named(p.Name)) {
                RackPort port;
                port.Name = p.Name;
                port.Stable = UnitStableName(p);
                options->Ports.push_back(port);
            }
        }
    }
    return true;
}

// -BAUD= cannot reach a device behind socket://: the server's own speed holds.
void WarnSpeeds(const RackOptions& options)
{
    std::string rackBaud;
    for (const std::string& arg : options.PassedOn) {
        rackBaud = StartsWithNoCase(arg.c_str(), "-BAUD=") ? arg : rackBaud;
    }
    for (const RackPort& port : options.Ports) {
        if (!StartsWithNoCase(port.Name.c_str(), "socket://")) {
            continue;
        }
        if (!port.Baud.empty()) {
            fprintf(stderr, "torvex-rack: warning: %s:%zu: -BAUD=%s cannot set the speed of %s: the server's own "
                            "speed holds\n", port.List.c_str(), port.Line, port.Baud.c_str(), port.Name.c_str());
        } else if (!rackBaud.empty()) {
            fprintf(stderr, "torvex-rack: warning: %s cannot set the speed of %s: the server's own speed holds\n",
                    rackBaud.c_str(), port.Name.c_str());
        }
    }
}

bool PortMatches(const Port& p, const std::string& match)
{
    bool known = false;
    return Matches(p, match, &known);
}
