// The commissioning station (12): torvex-rack --watch --record on a hub in a
// device tree of its own (hub.cpp). Idle for a minute with no unit; then 500
// units due one every 100 ms, each unplugged once the rack says its run ended,
// so that its port serves a later unit: on as many ports as the units need,
// where runs wait for --jobs, and on a hub of 32. The record is read back
// through torvex-rack --history.
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>

#include "figures.h"
#include "scripts.h"
#include "hub.h"

namespace {

const int UNITS = 500;
const int JOBS = 32;
const int MANY_PORTS = 200;  // enough for every unit plugged in on time to wait for a job
const int64_t EVERY_MS = 100;
const int IDLE_S = 60;
const double READY_MS = 1000;  // a run starts within this of its node
const int64_t STALL_MS = 60000;  // no unit plugged or ended for this long: the station is stuck

// "2026-12-09T20:11:31.123Z" in ms since the epoch; 0 if it is not one.
double IsoMs(const std::string& s)
{
    struct tm tm {};
    int ms = 0;
    if (sscanf(s.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min,
               &tm.tm_sec, &ms) != 7) {
        return 0;
    }
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return static_cast<double>(timegm(&tm)) * 1000 + ms;
}

// A new record: the database, its journal and its lock gone.
void FreshRecord(const std::string& db)
{
    for (const char* end : {"", "-wal", "-shm", ".lock"}) {
        unlink((db + end).c_str());
    }
}

RunPlan StationPlan(const Options& o, const std::string& script, const std::string& db, const std::string& name)
{
    RunPlan plan;
    plan.script = script;
    plan.devices = 0;
    plan.console = Console::Pipe;
    plan.label = name;
    const std::string logs = o.data + "/" + name + "-logs";
    std::filesystem::remove_all(logs);
    FreshRecord(db);
    plan.args = {"--watch", "--record", db, "--log-dir", logs};
    return plan;
}

// torvex-rack started with TORVEX_PORTS_ROOT naming the tree.
Run RunStation(const Target& rack, const RunPlan& plan, const std::string& root)
{
    setenv("TORVEX_PORTS_ROOT", root.c_str(), 1);
    Run r = RunProgram(rack, plan);
    unsetenv("TORVEX_PORTS_ROOT");
    return r;
}

void Idle(const Options& o, const Target& t, const Target& rack, const std::string& script, Table& table)
{
    Note("[%s] station: idle for %d s, no unit (load %s)", t.name.c_str(), IDLE_S, LoadAvg().c_str());
    const Hub hub(0);
    RunPlan plan = StationPlan(o, script, o.data + "/station-idle.db", "station-idle");
    plan.args.insert(plan.args.end(), {"--timeout", std::to_string(IDLE_S + 8), "@SCRIPT"});
    plan.limitMs = (IDLE_S + 60) * 1000;
    plan.tickMs = 100;
    // From 3 s after its start, once it has opened its record and looked at the tree.
    Threads a, b;
    long switchesA = 0, switchesB = 0;
    int64_t atA = 0, atB = 0;
    auto switches = [](pid_t pid) {
        return ThreadsSum(pid, "voluntary_ctxt_switches:") + ThreadsSum(pid, "nonvoluntary_ctxt_switches:");
    };
    plan.tick = [&](Run& run, int64_t now) {
        if (atA == 0 && now >= run.spawnAt + 3000 * MS) {
            ReadThreads(run.pid, &a);
            switchesA = switches(run.pid);
            atA = now;
        } else if (atA != 0 && atB == 0 && now >= atA + IDLE_S * 1000 * MS) {
            ReadThreads(run.pid, &b);
            switchesB = switches(run.pid);
            atB = now;
        }
    };
    const Run r = RunStation(rack, plan, hub.Root());
    Note("  exit status %d after %.1f s; console: %.300s", r.status, Ms(r.exitAt - r.spawnAt) / 1000,
         r.consoleText.c_str());
    const std::string row = Fmt("12. station idle %d s, no unit: CPU", IDLE_S);
    if (atB == 0) {
        table.Set(row, "none measurable (< 0.1 % of a core)", t.name, Fmt("FAILED: ended after %.1f s, status %d",
                                                                          Ms(r.exitAt - r.spawnAt) / 1000, r.status));
        return;
    }
    const double seconds = Ms(atB - atA) / 1000;
    const double cpuMs = Ms(Delta(a, b).run);
    const double share = cpuMs / (seconds * 1000) * 100;
    const double wakes = static_cast<double>(switchesB - switchesA) / seconds;
    Note("  over %.2f s: CPU %.3f ms (%.4f %% of a core), %ld context switches (%.2f /s), %zu threads", seconds,
         cpuMs, share, switchesB - switchesA, wakes, b.size());
    table.Set(row, "none measurable (< 0.1 % of a core)", t.name,
              Fmt("%.2f ms in %.0f s (%.4f %% of a core) ", cpuMs, seconds, share) + Verdict(share, 0.1));
    table.Set("   wake-ups per second (context switches)", "<= 1 /s", t.name,
              Fmt("%.2f /s (%ld in %.0f s) ", wakes, switchesB - switchesA, seconds) + Verdict(wakes, 1));
}

// One run in the record, in ms since the epoch.
struct Record {
    double started = 0;
    double ended = 0;
    bool ok = false;
};

// The record as torvex-rack --history --json gives it, one run a line, by unit.
std::map<std::string, Record> History(const Target& rack, const std::string& db, size_t* rows)
{
    RunPlan plan;
    plan.devices = 0;
    plan.args = {"--history", db, "--json"};
    plan.limitMs = 60000;
    const Run r = RunProgram(rack, plan);
    static const std::regex row(
        R"re(\{"unit": "([^"]*)".*"started": "([^"]*)", "ended": "([^"]*)", "ok": (true|false))re");
    std::map<std::string, Record> runs;
    *rows = 0;
    size_t from = 0;
    for (size_t nl; (nl = r.consoleText.find('\n', from)) != std::string::npos; from = nl + 1) {
        std::smatch m;
        const std::string line = r.consoleText.substr(from, nl - from);
        (*rows) += line.rfind("  {\"unit\": ", 0) == 0 ? 1 : 0;
        if (std::regex_search(line, m, row)) {
            runs[m[1]] = Record{IsoMs(m[2]), IsoMs(m[3]), m[4] == "true"};
        }
    }
    if (r.status != 0) {
        Note("  --history: status %d: %.300s", r.status, r.consoleText.c_str());
    }
    return runs;
}

long FileSize(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : 0;
}

// What one session of 500 units left: when each node came, and the record.
struct Session {
    std::vector<double> nodeAt;
    std::vector<double> late;  // each unit's plug after its due time, ms
    int plugged = 0;
    double seconds = 0;  // first unit plugged to last run seen ending
    long dbBytes = 0;
    long walBytes = 0;
    std::map<std::string, Record> runs;
    size_t rows = 0;
    std::vector<double> latency;  // node to the run's start, ms, by unit
    double cpuShare = 0;          // the station's own CPU, % of one core over its run
};

// 500 units due one every 100 ms, on `ports` pseudo-terminals: a unit waits on the
// bench while all are in use.
Session Plugging(const Options& o, const Target& rack, const std::string& script, int ports, const std::string& name)
{
    Hub hub(ports);
    Session s;
    const std::string db = o.data + "/" + name + ".db";
    RunPlan plan = StationPlan(o, script, db, name);
    plan.args.insert(plan.args.end(), {"--jobs", std::to_string(JOBS), "@SCRIPT"});
    plan.limitMs = 900000;
    s.nodeAt.assign(UNITS, 0);
    int ended = 0, most = 0;
    int64_t first = 0, lastNews = 0, endedAt = 0;
    size_t scanned = 0;
    bool stopped = false;
    plan.tick = [&](Run& run, int64_t now) {
        if (first == 0) {
            first = lastNews = run.spawnAt + 2000 * MS;  // once it watches
        }
        for (size_t nl; (nl = run.consoleText.find('\n', scanned)) != std::string::npos; scanned = nl + 1) {
            if (hub.RunEnded(run.consoleText.substr(scanned, nl - scanned))) {
                ended++;
                lastNews = endedAt = now;
            }
        }
        while (s.plugged < UNITS && now >= first + s.plugged * EVERY_MS * MS) {
            const double node = hub.Plug(s.plugged);
            if (node == 0) {
                break;  // every port in use: the unit waits on the bench
            }
            s.nodeAt[static_cast<size_t>(s.plugged)] = node;
            s.late.push_back(Ms(now - (first + s.plugged * EVERY_MS * MS)));
            s.plugged++;
            lastNews = now;
            most = std::max(most, hub.Plugged());
        }
        if (!stopped && (ended == UNITS || now - lastNews > STALL_MS * MS)) {
            kill(run.pid, SIGTERM);
            stopped = true;
        }
    };
    const Run r = RunStation(rack, plan, hub.Root());
    s.seconds = Ms(endedAt - first) / 1000;
    s.cpuShare = Ms(r.own.run) / Ms(r.exitAt - r.spawnAt) * 100;
    Note("  %d units plugged, %d runs seen ending in %.1f s; at most %d plugged at once; exit status %d; "
         "the station's own CPU %.1f ms in %.1f s", s.plugged, ended, s.seconds, most, r.status, Ms(r.own.run),
         Ms(r.exitAt - r.spawnAt) / 1000);

    s.dbBytes = FileSize(db);
    s.walBytes = FileSize(db + "-wal");
    s.runs = History(rack, db, &s.rows);
    const std::string units = o.data + "/" + name + "-units.txt";
    FILE* f = fopen(units.c_str(), "w");
    for (int i = 0; i < UNITS; i++) {
        const auto run = s.runs.find(Hub::Serial(i));
        const double node = s.nodeAt[static_cast<size_t>(i)];
        if (run == s.runs.end() || node == 0) {
            continue;
        }
        s.latency.push_back(run->second.started - node);
        if (f != nullptr) {
            fprintf(f, "%s node %.3f start %+.0f ms, end %+.0f ms, plugged %.0f ms late\n",
                    Hub::Serial(i).c_str(), node, s.latency.back(), run->second.ended - node,
                    s.late[static_cast<size_t>(i)]);
        }
    }
    if (f != nullptr) {
        fclose(f);
    }
    Note("  record: %zu rows, %zu of %d units; %ld bytes, its WAL %ld bytes; each unit: %s", s.rows, s.latency.size(),
         UNITS, s.dbBytes, s.walBytes, units.c_str());
    return s;
}

// Every unit once in the record, and ok: else the row says what is wrong instead of a figure.
bool Whole(const Session& s, const std::string& row, const std::string& target, const Target& t, Table& table)
{
    const long ok = std::count_if(s.runs.begin(), s.runs.end(), [](const auto& r) { return r.second.ok; });
    if (s.rows == static_cast<size_t>(UNITS) && s.latency.size() == static_cast<size_t>(UNITS) && ok == UNITS) {
        return true;
    }
    table.Set(row, target, t.name,
              Fmt("FAILED: %zu of %d units in the record, %zu rows, %ld ok", s.latency.size(), UNITS, s.rows, ok));
    return false;
}

std::string MedianWorst(const std::vector<double>& ms)
{
    return Fmt("%.0f / %.0f ms ", Median(ms), Max(ms));
}

// The most runs going at once, from the record.
int MostAtOnce(const Session& s)
{
    int most = 0;
    for (const auto& a : s.runs) {
        int n = 0;
        for (const auto& b : s.runs) {
            n += b.second.started <= a.second.started && a.second.started < b.second.ended ? 1 : 0;
        }
        most = std::max(most, n);
    }
    return most;
}

// The station's own delay, run by run: to its start from its node, or, when every
// job was taken, from the end that freed the one it took (runs start in the order
// their units came, so the k-th start past JOBS takes the job of the (k-JOBS)-th end).
std::vector<double> OwnDelays(const Session& s)
{
    std::vector<double> ends;
    std::vector<std::pair<double, double>> starts;  // started, node
    for (int i = 0; i < UNITS; i++) {
        const auto run = s.runs.find(Hub::Serial(i));
        if (run != s.runs.end()) {
            ends.push_back(run->second.ended);
            starts.emplace_back(run->second.started, s.nodeAt[static_cast<size_t>(i)]);
        }
    }
    std::sort(ends.begin(), ends.end());
    std::sort(starts.begin(), starts.end());
    std::vector<double> own;
    int overtaken = 0;
    for (size_t k = 0; k < starts.size(); k++) {
        const double freed = k < JOBS ? 0 : ends[k - JOBS];
        own.push_back(starts[k].first - std::max(starts[k].second, freed));
        overtaken += k > 0 && starts[k].second < starts[k - 1].second ? 1 : 0;
    }
    if (overtaken > 0) {
        Note("  %d runs started before a unit that came earlier: the station's own delay is not exact", overtaken);
    }
    return own;
}

}  // namespace

void Station(const Options& o, const Target& t, Table& table)
{
    const std::string script = o.data + "/station-empty.txt";
    WriteFile(script, "");
    const Target rack{t.name, o.rackTool, false, "", {}};
    Idle(o, t, rack, script, table);

    // Units on time, as many plugged in as come: beyond 32 runs they wait for --jobs.
    Note("[%s] station: %d units, one every %lld ms, --jobs %d (load %s)", t.name.c_str(), UNITS,
         static_cast<long long>(EVERY_MS), JOBS, LoadAvg().c_str());
    const Session flow = Plugging(o, rack, script, MANY_PORTS, "station");
    std::string row = Fmt("12. station, %d units one every %lld ms, --jobs %d: node to run start, median / worst",
                          UNITS, static_cast<long long>(EVERY_MS), JOBS);
    if (Whole(flow, row, "", t, table)) {
        const std::vector<double> own = OwnDelays(flow);
        table.Set(row, "", t.name, MedianWorst(flow.latency));
        table.Set("   from the node or the end that freed a job, median / worst", "<= 1000 ms", t.name,
                  MedianWorst(own) + Verdict(Max(own), READY_MS));
        table.Set("   runs at once, most (from the record)", Fmt("<= %d", JOBS), t.name,
                  Verdict(MostAtOnce(flow), JOBS, "%.0f"));
        table.Set("   database size per run", "", t.name,
                  Fmt("%.0f bytes (%ld + WAL %ld bytes)", static_cast<double>(flow.dbBytes + flow.walBytes) / UNITS,
                      flow.dbBytes, flow.walBytes));
        table.Set("   first unit plugged to last run ended", "", t.name, Fmt("%.1f s", flow.seconds));
        table.Set("   the station's own CPU, share of one core", "", t.name, Fmt("%.1f %%", flow.cpuShare));
    }

    // A hub of 32 ports: a unit plugged in as soon as one is free, so that no run waits for a job.
    Note("[%s] station: %d units on %d ports reused, --jobs %d (load %s)", t.name.c_str(), UNITS, JOBS, JOBS,
         LoadAvg().c_str());
    const Session few = Plugging(o, rack, script, JOBS, "station-hub");
    row = Fmt("12. station, %d units on a hub of %d ports: node to run start, median / worst", UNITS, JOBS);
    if (Whole(few, row, "<= 1000 ms", t, table)) {
        table.Set(row, "<= 1000 ms", t.name, MedianWorst(few.latency) + Verdict(Max(few.latency), READY_MS));
        table.Set("   units per second (each run's settle, wake-up and quiet gap: 4 s)", "", t.name,
                  Fmt("%.1f (%d in %.1f s)", UNITS / few.seconds, UNITS, few.seconds));
        table.Set("   its own CPU, share of one core", "", t.name, Fmt("%.1f %%", few.cpuShare));
    }
}
