// A rack of units (8): N runs of a ten-command script, each against a device of
// its own on a pseudo-terminal, all started at once, against a run alone.
// The benchmark plays every device from its one loop.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "figures.h"
#include "scripts.h"

namespace {

RunPlan RackPlan(const std::string& script, const std::string& label)
{
    RunPlan plan;
    plan.args = {"@SCRIPT", "@PORT"};
    plan.script = script;
    plan.console = Console::Pipe;
    plan.limitMs = 120000;
    plan.label = label;
    return plan;
}

bool Good(const Run& run, size_t commands)
{
    return run.status == 0 && run.commands.size() == commands + 1;
}

}  // namespace

void Rack(const Options& o, const Target& t, Table& table)
{
    const int commands = 10;
    const std::string script = o.data + "/rack.txt";
    RepeatFile(script, "AT+CSQ\r\n", commands);
    // A run alone three times, the medians: one such run's CPU is a few ms, and noisy.
    const int aloneRuns = 3;
    std::vector<double> aloneWall, aloneCpu, alonePeak, aloneOverhead;
    int failed = 0;
    for (int i = 0; i < aloneRuns; i++) {
        Note("[%s] rack: one run alone, %d commands, run %d (load %s)", t.name.c_str(), commands, i + 1,
             LoadAvg().c_str());
        const Run r = RunProgram(t, RackPlan(script, "rack-alone"));
        failed += Good(r, commands) ? 0 : 1;
        aloneWall.push_back(Ms(r.exitAt - r.spawnAt));
        aloneCpu.push_back(CpuMs(r.ru));
        alonePeak.push_back(static_cast<double>(r.ru.ru_maxrss) / 1024);
        const std::vector<double> overhead = Overheads(r);
        aloneOverhead.insert(aloneOverhead.end(), overhead.begin(), overhead.end());
        Note("  %.1f ms wall, CPU %.3f ms, peak %ld KiB, overhead ms: %s", aloneWall.back(), aloneCpu.back(),
             r.ru.ru_maxrss, Join(overhead, "%.3f").c_str());
    }
    Note("[%s] rack: %d runs at once (load %s)", t.name.c_str(), o.rack, LoadAvg().c_str());
    const std::vector<RunPlan> plans(static_cast<size_t>(o.rack), RackPlan(script, ""));
    const std::vector<Run> runs = RunPrograms(t, plans);
    Note("  load after: %s", LoadAvg().c_str());

    int64_t first = INT64_MAX, last = 0;
    double cpu = 0, peak = 0, worst = 0, worstMedian = 0;
    std::vector<double> wall, cpus;
    for (const Run& r : runs) {
        failed += Good(r, commands) ? 0 : 1;
        first = std::min(first, r.spawnAt);
        last = std::max(last, r.exitAt);
        cpu += CpuMs(r.ru) / static_cast<double>(runs.size());
        peak = std::max(peak, static_cast<double>(r.ru.ru_maxrss) / 1024);
        const std::vector<double> overhead = Overheads(r);
        worst = std::max(worst, Max(overhead));
        worstMedian = std::max(worstMedian, Median(overhead));
        wall.push_back(Ms(r.exitAt - r.spawnAt));
        cpus.push_back(CpuMs(r.ru));
    }
    const double batchMs = Ms(last - first);
    const double aloneMs = Median(aloneWall);
    Note("  each run's wall ms: %s", Join(wall, "%.1f").c_str());
    Note("  each run's CPU ms:  %s", Join(cpus, "%.3f").c_str());
    Note("  batch: %.1f ms from the first start to the last exit, CPU per run %.3f ms (median %.3f); "
         "%d of %d runs failed",
         batchMs, cpu, Median(cpus), failed, o.rack + aloneRuns);

    const std::string n = Fmt("8. rack of %d runs at once", o.rack);
    const double overWall = (batchMs / aloneMs - 1) * 100;
    const double overCpu = (cpu / Median(aloneCpu) - 1) * 100;
    table.Set(n + ", wall time of the batch", "< +1 % over alone", t.name,
              Fmt("%.3f s (%+.2f %% over %.3f s alone) ", batchMs / 1000, overWall, aloneMs / 1000) +
                  Verdict(overWall, 1));
    table.Set("   CPU per run, mean", "< +10 % over alone", t.name,
              Fmt("%.2f ms (%+.1f %% over %.2f ms alone) ", cpu, overCpu, Median(aloneCpu)) + Verdict(overCpu, 10));
    table.Set("   peak memory per run, highest", "", t.name,
              Fmt("%.2f MiB (%.2f MiB alone)", peak, Median(alonePeak)));
    table.Set("   per-command overhead, worst of all runs", "", t.name,
              Fmt("%.3f ms (%.3f ms alone)", worst, Max(aloneOverhead)));
    table.Set("   per-command overhead, worst run's median", "", t.name,
              Fmt("%.3f ms (%.3f ms alone)", worstMedian, Median(aloneOverhead)));
    if (failed > 0) {
        table.Set("   runs that failed", "0", t.name, Fmt("%d MISSED", failed));
    }
}
