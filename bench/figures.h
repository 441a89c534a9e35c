// The figures: each measures one thing on one program and fills its rows of
// the table. main() runs the ones asked for.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "harness.h"
#include "report.h"

struct Options {
    std::vector<Target> targets;
    Target floor;          // no exe: no floor columns
    Target printingFloor;  // the floor that also prints each command and answer
    std::string checker;   // torvex-check; empty: no checker row
    std::string rackTool;  // torvex-rack; empty: no row of its own
    int commands = 30;
    int rounds = 3;
    int startRuns = 20;
    int rack = 128;
    std::string data;
    std::set<std::string> only;
    bool Want(const std::string& what) const { return only.empty() || only.count(what) != 0; }
};

// 1, 2: every turnaround run, both consoles; the floors and the Linux builds in
// alternating rounds, Wine after them.
void TurnaroundFigures(const Options& o, Table& table);

// 3: CPU while waiting.
void Cpu(const Options& o, const Target& t, Table& table);

// The best of a few runs of one script: time and CPU from the wake-up's answer to
// the exit, less the same for an empty script; peak memory the highest seen.
struct ScriptTimes {
    double ms = 0;
    double cpu = 0;
    double peakMiB = 0;
    double rssMiB = 0;  // exact resident set, highest sample
};
ScriptTimes BestOf(const Target& t, const std::string& script, const std::string& what, int runs,
                   const ScriptTimes& base);

// 4: the empty script's runs, the baseline of 4 to 6 (and its memory row).
ScriptTimes EmptyScript(const Options& o, const Target& t, Table& table);
// 4 and 5 come from the same runs of a million-line script.
ScriptTimes MillionLines(const Options& o, const Target& t, const ScriptTimes& empty);
void Memory(const Target& t, const ScriptTimes& empty, const ScriptTimes& million, Table& table);
void Speed(const Target& t, const ScriptTimes& million, Table& table);

// 6: the label scan, and the checker on the same script against the scan of the
// column `t`.
struct LabelScan {
    std::string script;
    size_t bytes = 0;
    long labels = 0;
};
LabelScan LabelScript(const Options& o);
ScriptTimes Labels(const Target& t, const LabelScan& scan, const ScriptTimes& empty, Table& table);
// The checker against the scan in alternating rounds, empty being the scan's baseline.
void Check(const Options& o, const Target& t, const LabelScan& scan, const ScriptTimes& empty, Table& table);

// 7: start-up.
void Startup(const Options& o, const Target& t, Table& table);

// 10: torvex's own CPU per run, net of process start.
void RunCpu(const Options& o, const Target& t, Table& table);

// 8: a rack of devices, each with a run of its own, all at once; 9: the same
// through torvex-rack.
void Rack(const Options& o, const Target& t, Table& table);

// 9: a network port through ser2net against the local port.
void Remote(const Options& o, const Target& t, Table& table);
// 9: torvex-rack over 32 ports through ser2net against the same ports local.
void RackRemote(const Options& o, const Target& t, Table& table);

// 11: a network port flooded by its server.
void Flood(const Options& o, const Target& t, Table& table);

// 12: torvex-rack --watch, the commissioning station, idle and with 500 units
// plugged into a device tree of its own.
void Station(const Options& o, const Target& t, Table& table);
