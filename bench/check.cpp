// The script checker on the label scan's script (6): its time against the
// program's own scan, and its peak memory, which should grow with the labels
// and not with the size of the file.
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "figures.h"
#include "scripts.h"

namespace {

struct CheckTimes {
    double ms = INFINITY;
    double cpu = INFINITY;
    double peakMiB = 0;
};

// Best of the runs, start to exit: the checker reads the script and needs no device.
CheckTimes CheckRuns(const Target& checker, const std::string& script, const std::string& what, int runs)
{
    CheckTimes best;
    for (int i = 0; i < runs; i++) {
        Note("[checker] %s, run %d (load %s)", what.c_str(), i + 1, LoadAvg().c_str());
        RunPlan plan;
        plan.args = {"@SCRIPT"};
        plan.script = script;
        plan.devices = 0;
        plan.keepConsole = false;  // a line per finding: it may be long
        plan.limitMs = 120000;
        const Run r = RunProgram(checker, plan);
        Note("  exit status %d, %.3f ms, CPU %.3f ms, peak %ld KiB", r.status, Ms(r.exitAt - r.spawnAt), CpuMs(r.ru),
             r.ru.ru_maxrss);
        if (r.status != 0 && r.status != 1) {
            Note("  unexpected exit status: the checker did not check the script");
        }
        best.ms = std::min(best.ms, Ms(r.exitAt - r.spawnAt));
        best.cpu = std::min(best.cpu, CpuMs(r.ru));
        best.peakMiB = std::max(best.peakMiB, static_cast<double>(r.ru.ru_maxrss) / 1024);
    }
    return best;
}

}  // namespace

void Check(const Options& o, const Target& t, const LabelScan& scan, const ScriptTimes& scanTimes, Table& table)
{
    const std::string row = "6. checker on the same script, wall";
    const std::string target = "< 2x the scan";
    if (o.checker.empty()) {
        Note("no checker given (--check PATH): its row says so");
        table.Set(row, target, t.name, "not run: no --check");
        return;
    }
    const Target checker{"checker", o.checker, false, "", {}};
    const std::string empty = o.data + "/empty.txt";
    WriteFile(empty, "");
    const CheckTimes base = CheckRuns(checker, empty, "empty script", 2);
    const CheckTimes full = CheckRuns(checker, scan.script, Fmt("the label scan's script, %ld labels", scan.labels), 3);
    const std::string bareScript = o.data + "/nolabels-64m.txt";
    long none = 0;
    WriteLabelScript(bareScript, scan.bytes, false, &none);
    const CheckTimes bare = CheckRuns(checker, bareScript, Fmt("the same size with %ld label", none), 1);
    unlink(bareScript.c_str());

    const double bytes = static_cast<double>(scan.bytes);
    const double ms = full.ms - base.ms;
    const double cpu = full.cpu - base.cpu;
    Note("[checker] %.3f ms against the label scan's %.3f ms: %.2fx", ms, scanTimes.ms, ms / scanTimes.ms);
    table.Set(row, target, t.name, Fmt("%.0f MB/s, %.2fx the scan ", bytes / 1e3 / ms, ms / scanTimes.ms) +
                                       Verdict(ms / scanTimes.ms, 2));
    table.Set("   checker per CPU second", "", t.name,
              Fmt("%.0f MB/s, %.2fx the scan", bytes / 1e3 / cpu, cpu / scanTimes.cpu));
    // Memory may grow with the labels; a file as large without them should cost nothing.
    table.Set(Fmt("   checker's peak memory: %ld labels / no labels / empty", scan.labels), "labels only", t.name,
              Fmt("%.1f / %.1f / %.1f MiB ", full.peakMiB, bare.peakMiB, base.peakMiB) +
                  Verdict(bare.peakMiB - base.peakMiB, 0.5));
}
