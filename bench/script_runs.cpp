// Whole runs of a script, timed from the wake-up's answer to the exit: the
// measure behind memory (4), script speed (5) and the label scan (6).
#include <algorithm>
#include <cmath>

#include "figures.h"
#include "scripts.h"

namespace {

// Time from the wake-up answer to the program's exit; the same with an empty
// script is subtracted, which removes the quiet gap and the exit itself.
double AfterWakeUpMs(const Run& run)
{
    if (run.ansLast.empty() || run.ansLast[0] == 0 || run.exitAt == 0) {
        return NAN;
    }
    return Ms(run.exitAt - run.ansLast[0]);
}

Run ScriptRun(const Target& t, const std::string& script)
{
    RunPlan plan;
    plan.label = script.substr(script.rfind('/') + 1);
    plan.args = {"@SCRIPT", "@PORT"};
    plan.script = script;
    plan.console = Console::Pipe;
    plan.limitMs = 600000;
    // A cross-check of the peak: VmHWM as last seen, at most 20 ms before the end.
    plan.tickMs = 20;
    plan.tick = [](Run& run, int64_t) {
        // Only once the port is in use: before its exec the child is a copy of this process.
        if (!run.cmdFirst.empty()) {
            const std::string pid = std::to_string(run.pid);
            run.hwmKiB = std::max(run.hwmKiB, ProcKiB(pid, "status", "VmHWM:"));
            const long rss = ProcKiB(pid, "smaps_rollup", "Rss:");
            if (rss > run.rssKiB) {
                run.rssKiB = rss;
                run.pssKiB = ProcKiB(pid, "smaps_rollup", "Pss:");
            }
        }
    };
    Run run = RunProgram(t, plan);
    if (run.status != 0) {
        Note("  unexpected exit status %d; console: %.300s", run.status, run.consoleText.c_str());
    }
    Note("  wake-up answer to exit %.3f ms, CPU %.3f ms, peak %ld KiB; seen: VmHWM %ld KiB, exact Rss %ld KiB "
         "(Pss %ld KiB); benchmark's own %ld KiB",
         AfterWakeUpMs(run), CpuMs(run.ru), run.ru.ru_maxrss, run.hwmKiB, run.rssKiB, run.pssKiB, run.benchAnonKiB);
    if (run.ru.ru_maxrss <= run.benchAnonKiB) {
        Note("  the peak above may be the benchmark's own memory, inherited at fork");
    }
    return run;
}

}  // namespace

// The best of the runs: on a shared machine the slower ones measure the neighbours.
ScriptTimes BestOf(const Target& t, const std::string& script, const std::string& what, int runs,
                   const ScriptTimes& base)
{
    ScriptTimes best{INFINITY, INFINITY, 0, 0};
    for (int i = 0; i < runs; i++) {
        Note("[%s] %s, run %d (load %s)", t.name.c_str(), what.c_str(), i + 1, LoadAvg().c_str());
        const Run r = ScriptRun(t, script);
        best.ms = std::min(best.ms, AfterWakeUpMs(r) - base.ms);
        best.cpu = std::min(best.cpu, CpuMs(r.ru) - base.cpu);
        best.peakMiB = std::max(best.peakMiB, static_cast<double>(r.ru.ru_maxrss) / 1024);
        best.rssMiB = std::max(best.rssMiB, static_cast<double>(r.rssKiB) / 1024);
    }
    return best;
}

ScriptTimes EmptyScript(const Options& o, const Target& t, Table& table)
{
    const std::string empty = o.data + "/empty.txt";
    WriteFile(empty, "");
    const ScriptTimes times = BestOf(t, empty, "empty script", 2, ScriptTimes{});
    table.Set("4. peak memory, empty script", "", t.name, Fmt("%.2f MiB", times.peakMiB));
    return times;
}
