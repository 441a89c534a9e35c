// torvex-rack --watch: the station's side of the rack. News of ports comes
// from the discovery's watch (and a slow look every few seconds in case news
// was missed); each port is a unit by the name torvex-ports gives it, and a
// unit is queued for a run as the rack's own ports are, so that --jobs, time
// limits, transcripts and the record treat it alike.
#include "station.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>

#include "options.h"
#include "record.h"
#include "runner.h"
#include "tools/ports/ports.h"
#include "tools/ports/watch.h"

using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

// A node there this long is ready even without its attributes or by-id link.
constexpr auto ReadyAfter = seconds(1);
// Back sooner than this, a unit restarted itself; later, it was replugged.
constexpr auto Replug = seconds(5);
// The look for ports that no news is needed for.
constexpr auto Rescan = seconds(5);
// How long a unit done stays in the live view.
constexpr auto ShownFor = seconds(30);

struct Unit {
    std::string Port;           // its node, as the discovery names it
    bool Present = false;
    bool Waiting = false;       // there, not yet ready
    RackClock::time_point Seen;  // when it came
    RackClock::time_point Gone;  // when it went
    long Run = -1;              // its run going
    bool Ran = false;           // run in this session
    bool Passed = false;        // its last run in this session was ok
};

bool NodeThere(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string Ago(RackClock::duration d)
{
    return std::to_string(std::chrono::duration_cast<seconds>(d).count()) + " s";
}

}  // namespace

struct Station {
    int Fd = -1;
    std::map<std::string, Unit> Units;
    RackClock::time_point NextScan;
    size_t Ok = 0;
    size_t Failed = 0;
    size_t Transcripts = 0;
};

Station* OpenStation(std::string* why)
{
    const int fd = WatchPorts(why);
    if (fd < 0) {
        return nullptr;
    }
    WatchAlso(fd);
    Station* station = new Station;
    station->Fd = fd;
    return station;
}

int StationNews(const Station* station)
{
    return station->Fd;
}

namespace {

// A notice of the station's own about a unit that is not run.
void Notice(const Rack& rack, const std::string& id, const std::string& port, const std::string& text)
{
    Run shown;
    shown.Label = id;
    shown.Port = port;
    Plain(rack, shown, text);
}

// A unit ready: run it, or say why not.
void Arrived(Rack& rack, const std::string& id, Unit& unit, const Port& p)
{
    Station& station = *rack.Watching;
    const std::string port = PortsRoot() + p.Name;
    // A port list's serial= line gives the unit its label and speed.
    std::string label = id;
    std::string baud;
    for (const RackPort& listed : rack.Opts.Named) {
        if (p.Usb && listed.Match == "serial=" + p.Serial) {
            label = listed.Label.empty() ? id : listed.Label;
            baud = listed.Baud;
        }
    }
    if (unit.Run >= 0) {
        return;  // still on its run, under another name
    }
    if (!rack.Opts.Again) {
        const std::string passed = rack.Record != nullptr ? PassedEarlier(rack.Record, id, rack.Common.ScriptSha256) : "";
        if (!passed.empty() || unit.Passed) {
            Notice(rack, label, port, "done earlier, at " + (passed.empty() ? std::string("this session") : passed));
            return;
        }
        if (unit.Ran && unit.Seen - unit.Gone < Replug) {
            Notice(rack, label, port,
                   "back after " + Ago(unit.Seen - unit.Gone) + ": it restarted itself, so it is not run again "
                   "(replug it, or use --again)");
            return;
        }
    }
    Run run;
    run.Port = port;
    run.Label = label;
    run.Baud = baud;
    run.Unit = id;
    run.Usb = p.Usb && !p.UsbVendor.empty() ? p.UsbVendor + ":" + p.UsbProduct : "";
    // One transcript per run, named by its unit and its start.
    const std::string name =
        TranscriptName(station.Transcripts++, 1, id + "-" + FolderStamp(std::chrono::system_clock::now()));
    run.TranscriptPath = rack.LogDir + "/" + name.substr(name.find('-') + 1);
    unit.Run = static_cast<long>(rack.Runs.size());
    unit.Ran = true;
    rack.Runs.push_back(run);
}

}  // namespace

int StationLook(Rack& rack, RackClock::time_point now, bool news)
{
    Station& station = *rack.Watching;
    if (news) {
        // A node removed since the last look: its unit left, though it may be back already.
        for (const std::string& node : PortsChanged(station.Fd)) {
            for (auto& entry : station.Units) {
                Unit& unit = entry.second;
                if (unit.Present && unit.Port == "/dev/" + node) {
                    unit.Present = false;
                    unit.Waiting = false;
                    unit.Gone = now;
                }
            }
        }
    }
    if (rack.Signal != 0 || rack.TimeUp) {
        return -1;
    }
    if (!news && now < station.NextScan) {
        bool waiting = false;
        for (const auto& u : station.Units) {
            waiting = waiting || u.second.Waiting;
        }
        if (!waiting) {
            return static_cast<int>(std::chrono::duration_cast<milliseconds>(station.NextScan - now).count()) + 1;
        }
    }
    station.NextScan = now + Rescan;
    auto due = station.NextScan;
    std::map<std::string, Port> there;
    for (const Port& p : FindPorts()) {
        const bool wanted = rack.Opts.Matches.empty() ? p.Usb
                                                      : std::any_of(rack.Opts.Matches.begin(), rack.Opts.Matches.end(),
                                                                    [&](const std::string& m) { return PortMatches(p, m); });
        if (wanted && NodeThere(PortsRoot() + p.Name)) {
            there.emplace(UnitIdentity(p), p);
        }
    }
    for (auto& entry : station.Units) {
        Unit& unit = entry.second;
        if (unit.Present && there.count(entry.first) == 0) {
            unit.Present = false;
            unit.Waiting = false;
            unit.Gone = now;
        }
    }
    for (const auto& entry : there) {
        Unit& unit = station.Units[entry.first];
        const Port& p = entry.second;
        if (!unit.Present) {
            unit.Present = true;
            unit.Waiting = true;
            unit.Seen = now;
        }
        unit.Port = p.Name;
        if (!unit.Waiting) {
            continue;
        }
        // Ready once udev is done with it, or a second after its node came.
        if ((p.Usb && !p.StableName.empty()) || now - unit.Seen >= ReadyAfter) {
            unit.Waiting = false;
            Arrived(rack, entry.first, unit, p);
        } else {
            due = std::min(due, unit.Seen + ReadyAfter);
        }
    }
    return static_cast<int>(std::chrono::duration_cast<milliseconds>(due - now).count()) + 1;
}

void StationRunEnded(Rack& rack, size_t i)
{
    Station& station = *rack.Watching;
    Run& run = rack.Runs[i];
    const auto found = station.Units.find(run.Unit);
    if (found != station.Units.end() && found->second.Run == static_cast<long>(i)) {
        found->second.Run = -1;
        found->second.Passed = run.Ok;
    }
    // The port's node goes with the adapter; a run it ended was unplugged.
    if (!run.Ok && run.Started && !run.Interrupted && !run.TimedOut && !NodeThere(run.Port)) {
        run.Result = "unplugged at line " + std::to_string(run.Line);
    }
    (run.Ok ? station.Ok : station.Failed)++;
}

std::vector<Run> StationRows(const Rack& rack, RackClock::time_point now, std::string* line)
{
    const Station& station = *rack.Watching;
    std::vector<Run> rows;
    for (auto run = rack.Runs.rbegin(); run != rack.Runs.rend(); ++run) {
        if (run->State != RunState::Done || now - run->End < ShownFor) {
            rows.push_back(*run);
        }
    }
    *line = "waiting for units; today " + std::to_string(station.Ok) + " ok, " + std::to_string(station.Failed) +
            " failed";
    return rows;
}
