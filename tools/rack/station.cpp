// torvex-rack --watch: the station's side of the rack. News of ports comes
// from the discovery's watch (and a slow look every few seconds in case news
// was missed); each port is a unit by the name torvex-ports gives it, and a
// unit is queued for a run as the rack's own ports are, so that --jobs, time
// limits, transcripts and the record treat it alike. With --identify a port
// is a bench cable that units are connected to one after another: a run of
// the identification script names each unit, and Enter starts the next.
#include "station.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <set>

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
// How long a unit done, or a word about one not run, stays in the live view.
constexpr auto ShownFor = seconds(30);
// The station's words kept for the view, newest first.
constexpr size_t MaxNotices = 20;

struct Unit {
    std::string Port;           // its node, as the discovery names it
    bool Present = false;
    bool Waiting = false;       // there, not yet ready
    RackClock::time_point Seen;  // when it came
    RackClock::time_point Gone;  // when it went
    long Run = -1;              // its run going
    bool Ran = false;           // run in this session
    bool Passed = false;        // its last run in this session was ok
    ::Port Found;               // as the discovery found it
    bool Idle = false;          // a bench cable whose unit is done: the next waits for Enter
    ::Run Next;                 // the unit identified on it, to be queued
    bool HasNext = false;
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
    bool Bench = false;               // --identify: ports are bench cables
    std::set<std::string> PassedIds;  // units named by an identification that passed in this session
    std::deque<Run> Notices;          // what it said of units it did not run, newest first
};

Station* OpenStation(const RackOptions& opts, std::string* why)
{
    const int fd = WatchPorts(why);
    if (fd < 0) {
        return nullptr;
    }
    WatchAlso(fd);
    Station* station = new Station;
    station->Fd = fd;
    station->Bench = !opts.Identify.empty();
    return station;
}

int StationNews(const Station* station)
{
    return station->Fd;
}

namespace {

// A port list's serial= line gives the unit its label and speed: by the
// adapter's serial number, or on a bench cable by the name its identification found.
Run Listed(const Rack& rack, const std::string& id, const Port& p)
{
    Run run;
    run.Port = PortsRoot() + p.Name;
    run.Label = id;
    const std::string serial = rack.Watching->Bench ? id : p.Usb ? p.Serial : "";
    for (const RackPort& listed : rack.Opts.Named) {
        if (!serial.empty() && listed.Match == "serial=" + serial) {
            run.Label = listed.Label.empty() ? id : listed.Label;
            run.Baud = listed.Baud;
        }
    }
    return run;
}

// The station's word about a unit it does not run: a line, or on a terminal a
// row of the view for a while.
void Say(Rack& rack, const Run& unit, const std::string& text)
{
    Plain(rack, unit, text);
    Run notice = unit;
    notice.Notice = true;
    notice.State = RunState::Done;
    notice.Result = text;
    notice.End = RackClock::now();
    std::deque<Run>& notices = rack.Watching->Notices;
    notices.push_front(notice);
    if (notices.size() > MaxNotices) {
        notices.pop_back();
    }
}

// Whether the unit passed with this script, in this session or as recorded;
// if so the console says when, and it is not run again.
bool DoneEarlier(Rack& rack, const Run& unit, bool passed)
{
    const std::string recorded =
        rack.Record != nullptr ? PassedEarlier(rack.Record, unit.Unit, rack.Common.ScriptSha256) : "";
    if (rack.Opts.Again || (recorded.empty() && !passed)) {
        return false;
    }
    Say(rack, unit, "done earlier, at " + (recorded.empty() ? std::string("this session") : recorded));
    return true;
}

// A run on the port found, to be queued: the identification of the unit on a
// bench cable, or the script for the unit.
Run Made(Rack& rack, Run run, bool identify)
{
    run.Identify = identify;
    // One transcript per run, named by its unit and its start.
    const std::string name = TranscriptName(rack.Watching->Transcripts++, 1,
                                            run.Unit + "-" + FolderStamp(std::chrono::system_clock::now()) +
                                                (identify ? "-identify" : ""));
    run.TranscriptPath = rack.LogDir + "/" + name.substr(name.find('-') + 1);
    return run;
}

// Queues the run; answers its index.
long Queue(Rack& rack, const Run& run)
{
    rack.Runs.push_back(run);
    return static_cast<long>(rack.Runs.size() - 1);
}

// A unit ready: run it, or say why not. On a bench cable: identify it first.
void Arrived(Rack& rack, const std::string& id, Unit& unit, const Port& p)
{
    if (unit.Run >= 0) {
        return;  // still on its run, under another name
    }
    unit.Found = p;
    unit.Idle = false;
    Run run = Listed(rack, id, p);
    run.Unit = id;
    run.Usb = p.Usb && !p.UsbVendor.empty() ? p.UsbVendor + ":" + p.UsbProduct : "";
    if (rack.Watching->Bench) {
        unit.Run = Queue(rack, Made(rack, run, true));
        return;
    }
    if (DoneEarlier(rack, run, unit.Passed)) {
        return;
    }
    if (!rack.Opts.Again && unit.Ran && unit.Seen - unit.Gone < Replug) {
        Say(rack, run,
            "back after " + Ago(unit.Seen - unit.Gone) + ": it restarted itself, so it is not run again "
            "(replug it, or use --again)");
        return;
    }
    unit.Run = Queue(rack, Made(rack, run, false));
    unit.Ran = true;
}

// An identification has ended: the unit it named is run (or was done
// earlier); one that named none is a failure of the unit on that cable.
void Identified(Rack& rack, size_t i, Unit& cable)
{
    Station& station = *rack.Watching;
    Run& run = rack.Runs[i];
    cable.Run = -1;
    cable.Idle = cable.Present;
    std::string id;
    std::string why;
    if (!run.Ok) {
        why = rack.Opts.Identify + " failed: " + run.Result;
    } else if (!FindUnitId(run.Answer, rack.Opts.UnitId, &id)) {
        why = "nothing in the answer to " + rack.Opts.Identify + " matches " + rack.Opts.UnitId;
    } else if (id.empty() || id.size() > 64 ||
               std::any_of(id.begin(), id.end(), [](char c) { return c <= ' ' || c == '\x7f'; })) {
        why = "the match \"" + ShownBytes(id) + "\" is no unit's name (1 to 64 characters, no blanks)";
    }
    std::string().swap(run.Answer);  // a station that runs all day keeps no answers
    if (!why.empty()) {
        if (!run.Interrupted) {
            run.Ok = false;
            run.Result = "not identified: " + why;
        }
        RecordStarted(rack, run);
        station.Failed++;
        return;
    }
    run.Hidden = true;
    run.Result = "the unit is " + id;
    Run unit = Listed(rack, id, cable.Found);
    unit.Unit = id;
    unit.Usb = run.Usb;  // the cable's
    if (rack.Signal != 0 || rack.TimeUp) {
        return;
    }
    if (DoneEarlier(rack, unit, station.PassedIds.count(id) > 0)) {
        TranscriptNote(run.Transcript, "the unit is " + id + ": done earlier, so not run again");
        return;
    }
    cable.Idle = false;
    cable.Next = Made(rack, unit, false);
    cable.HasNext = true;  // queued by the next look: the runs are not to grow under their caller
    TranscriptNote(run.Transcript, "the unit is " + id + ": its run's transcript is " + cable.Next.TranscriptPath);
}

}  // namespace

int StationLook(Rack& rack, RackClock::time_point now, bool news)
{
    Station& station = *rack.Watching;
    for (auto& entry : station.Units) {
        Unit& unit = entry.second;
        if (unit.HasNext) {
            unit.HasNext = false;
            const bool ending = rack.Signal != 0 || rack.TimeUp;  // then it is not run
            unit.Run = ending ? -1 : Queue(rack, unit.Next);
            unit.Idle = ending && unit.Present;
        }
    }
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
    // The unit (or bench cable) the run was on.
    Unit* unit = nullptr;
    for (auto& entry : station.Units) {
        unit = entry.second.Run == static_cast<long>(i) ? &entry.second : unit;
    }
    if (run.Identify && unit != nullptr) {
        Identified(rack, i, *unit);
        return;
    }
    if (unit != nullptr) {
        unit->Run = -1;
        unit->Passed = run.Ok;
        unit->Idle = station.Bench && unit->Present;
    }
    if (run.Ok) {
        station.PassedIds.insert(run.Unit);
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
    // The runs going, newest first, above those done and the words of late.
    std::vector<Run> rows;
    std::vector<Run> done;
    for (auto run = rack.Runs.rbegin(); run != rack.Runs.rend(); ++run) {
        if (run->State != RunState::Done) {
            rows.push_back(*run);
        } else if (now - run->End < ShownFor && !run->Hidden) {
            done.push_back(*run);
        }
    }
    for (const Run& notice : station.Notices) {
        if (now - notice.End < ShownFor) {
            done.push_back(notice);
        }
    }
    std::stable_sort(done.begin(), done.end(), [](const Run& a, const Run& b) { return a.End > b.End; });
    rows.insert(rows.end(), done.begin(), done.end());
    *line = "waiting for units; today " + std::to_string(station.Ok) + " ok, " + std::to_string(station.Failed) +
            " failed" + (StationIdle(rack).empty() ? "" : "; Enter starts the next unit");
    return rows;
}

std::string StationIdle(const Rack& rack)
{
    for (const auto& entry : rack.Watching->Units) {
        const Unit& unit = entry.second;
        if (unit.Idle && unit.Present && unit.Run < 0) {
            return PortsRoot() + unit.Found.Name;
        }
    }
    return "";
}

void StationNext(Rack& rack)
{
    for (auto& entry : rack.Watching->Units) {
        Unit& unit = entry.second;
        if (unit.Idle && unit.Present && unit.Run < 0) {
            Arrived(rack, entry.first, unit, unit.Found);
        }
    }
}
