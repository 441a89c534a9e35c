// The script checker on the label scan's script (6): its time against the
// program's own scan, and its peak memory, which may grow with the lines of
// the script (its control-flow graph) but stays under 64 bytes a line.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

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

// Lines of a file: its line feeds, and one more for bytes after the last.
long LinesOf(const std::string& path)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return 0;
    }
    long lines = 0;
    int c = 0;
    int last = '\n';
    while ((c = getc(f)) != EOF) {
        lines += c == '\n';
        last = c;
    }
    fclose(f);
    return lines + (last != '\n');
}

}  // namespace

void Check(const Options& o, const Target& t, const LabelScan& scan, const ScriptTimes& empty, Table& table)
{
    const std::string row = "6. checker on the same script, wall";
    const std::string target = "< 2x the scan";
    if (o.checker.empty()) {
        Note("no checker given (--check PATH): its row says so");
        table.Set(row, target, t.name, "not run: no --check");
        return;
    }
    const Target checker{"checker", o.checker, false, "", {}};
    const std::string emptyScript = o.data + "/empty.txt";
    WriteFile(emptyScript, "");
    const CheckTimes base = CheckRuns(checker, emptyScript, "empty script", 2);
    // Rounds of scans and checks, so that both meet the same load; the row
    // gives the median round. On a shared virtual machine the same run's CPU
    // time can differ by half from one run to the next, so each round takes
    // the best of two of each, and there are seven rounds.
    constexpr int ROUNDS = 7;
    constexpr int RUNS = 2;
    std::vector<double> ratios;
    std::vector<double> cpuRatios;
    std::vector<double> checkMs;
    CheckTimes full;
    for (int round = 1; round <= ROUNDS; round++) {
        const ScriptTimes s = BestOf(t, scan.script, Fmt("label scan, round %d", round), RUNS, empty);
        const CheckTimes c =
            CheckRuns(checker, scan.script, Fmt("the label scan's script, %ld labels, round %d", scan.labels, round), RUNS);
        full.peakMiB = std::max(full.peakMiB, c.peakMiB);
        ratios.push_back((c.ms - base.ms) / s.ms);
        cpuRatios.push_back((c.cpu - base.cpu) / s.cpu);
        checkMs.push_back(c.ms - base.ms);
        Note("[checker] round %d: %.3f ms against the label scan's %.3f ms: %.2fx", round, c.ms - base.ms, s.ms,
             ratios.back());
    }
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const std::string bareScript = o.data + "/nolabels-64m.txt";
    long none = 0;
    WriteLabelScript(bareScript, scan.bytes, false, &none);
    const CheckTimes bare = CheckRuns(checker, bareScript, Fmt("the same size with %ld label", none), 1);
    unlink(bareScript.c_str());

    const double bytes = static_cast<double>(scan.bytes);
    const double ratio = median(ratios);
    table.Set(row, target, t.name,
              Fmt("%.0f MB/s, %.2fx the scan ", bytes / 1e3 / median(checkMs), ratio) + Verdict(ratio, 2));
    table.Set("   checker per CPU second", "", t.name, Fmt("%.2fx the scan", median(cpuRatios)));
    // Memory may grow with the lines, as the graph does, by less than 64 bytes a line.
    const long lines = LinesOf(scan.script);
    const double perLine = lines > 0 ? (full.peakMiB - base.peakMiB) * 1048576 / static_cast<double>(lines) : 0;
    Note("[checker] %ld lines: %.1f bytes a line over the empty script", lines, perLine);
    table.Set(Fmt("   checker's peak memory: %ld labels / no labels / empty", scan.labels), "< 64 B a line", t.name,
              Fmt("%.1f / %.1f / %.1f MiB, %.0f B a line ", full.peakMiB, bare.peakMiB, base.peakMiB, perLine) +
                  Verdict(perLine, 64));
}
