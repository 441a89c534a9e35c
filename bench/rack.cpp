// A rack of units (8): N runs of a ten-command script, each against a device of
// its own on a pseudo-terminal, all started at once (the way xargs -P runs
// them), against a run alone. Each device answers from a thread of its own.
#include "rack.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "scripts.h"

RunPlan RackPlan(const std::string& script, const std::string& label)
{
    RunPlan plan;
    plan.args = {"@SCRIPT", "@PORT"};
    plan.script = script;
    plan.console = Console::Pipe;
    plan.limitMs = 120000;
    plan.label = label;
    plan.deviceThreads = true;
    return plan;
}

bool Good(const Run& run, const Wire& wire)
{
    return run.status == 0 && wire.commands.size() == RACK_COMMANDS + 1 &&
           std::none_of(wire.ansLast.begin(), wire.ansLast.end(), [](int64_t at) { return at == 0; });
}

void QueueRow(const std::vector<const Wire*>& wires, const std::string& row, const Target& t, Table& table)
{
    std::vector<double> all;
    for (const Wire* w : wires) {
        const std::vector<double> q = QueuedMs(*w);
        all.insert(all.end(), q.begin(), q.end());
    }
    table.Set(row, "", t.name,
              Fmt("%.3f / %.3f ms", Median(all), Max(all)));
}

AloneRuns RunAlone(const Target& t, const std::string& script)
{
    // Three times, the medians: one such run's CPU is a few ms, and noisy.
    AloneRuns a;
    for (int i = 0; i < 3; i++) {
        Note("[%s] rack: one run alone, %d commands, run %d (load %s)", t.name.c_str(), RACK_COMMANDS, i + 1,
             LoadAvg().c_str());
        const Run r = RunProgram(t, RackPlan(script, "rack-alone"));
        a.failed += Good(r, r) ? 0 : 1;
        a.wall.push_back(Ms(r.exitAt - r.spawnAt));
        a.cpu.push_back(CpuMs(r.ru));
        a.peak.push_back(static_cast<double>(r.ru.ru_maxrss) / 1024);
        const std::vector<double> overhead = Overheads(r);
        const std::vector<double> less = OverheadsLessQueue(r);
        a.overhead.insert(a.overhead.end(), overhead.begin(), overhead.end());
        a.lessQueue.insert(a.lessQueue.end(), less.begin(), less.end());
        Note("  %.1f ms wall, CPU %.3f ms, peak %ld KiB, overhead ms: %s; less the harness's queue: %s",
             a.wall.back(), a.cpu.back(), r.ru.ru_maxrss, Join(overhead, "%.3f").c_str(), Join(less, "%.3f").c_str());
    }
    return a;
}

void Rack(const Options& o, const Target& t, Table& table)
{
    const std::string script = o.data + "/rack.txt";
    RepeatFile(script, "AT+CSQ\r\n", RACK_COMMANDS);
    const AloneRuns alone = RunAlone(t, script);
    int failed = alone.failed;
    Note("[%s] rack: %d runs at once (load %s)", t.name.c_str(), o.rack, LoadAvg().c_str());
    const std::vector<RunPlan> plans(static_cast<size_t>(o.rack), RackPlan(script, ""));
    const std::vector<Run> runs = RunPrograms(t, plans);
    Note("  load after: %s", LoadAvg().c_str());

    int64_t first = INT64_MAX, last = 0, lastStart = 0;
    double cpu = 0, peak = 0, worst = 0, worstMedian = 0, worstLess = 0;
    std::vector<double> wall, cpus;
    std::vector<const Wire*> wires;
    for (const Run& r : runs) {
        failed += Good(r, r) ? 0 : 1;
        first = std::min(first, r.spawnAt);
        last = std::max(last, r.exitAt);
        lastStart = std::max(lastStart, r.spawnAt);
        cpu += CpuMs(r.ru) / static_cast<double>(runs.size());
        peak = std::max(peak, static_cast<double>(r.ru.ru_maxrss) / 1024);
        const std::vector<double> overhead = Overheads(r);
        worst = std::max(worst, Max(overhead));
        worstMedian = std::max(worstMedian, Median(overhead));
        worstLess = std::max(worstLess, Median(OverheadsLessQueue(r)));
        wall.push_back(Ms(r.exitAt - r.spawnAt));
        cpus.push_back(CpuMs(r.ru));
        wires.push_back(&r);
    }
    const double batchMs = Ms(last - first);
    const double aloneMs = Median(alone.wall);
    Note("  each run's wall ms: %s", Join(wall, "%.1f").c_str());
    Note("  each run's CPU ms:  %s", Join(cpus, "%.3f").c_str());
    Note("  batch: %.1f ms from the first start to the last exit, CPU per run %.3f ms (median %.3f); "
         "%d of %d runs failed",
         batchMs, cpu, Median(cpus), failed, o.rack + 3);

    const std::string n = Fmt("8. rack of %d runs at once", o.rack);
    const double overWall = (batchMs / aloneMs - 1) * 100;
    const double overCpu = (cpu / Median(alone.cpu) - 1) * 100;
    table.Set(n + ", wall time of the batch", "< +1 % over alone", t.name,
              Fmt("%.3f s (%+.2f %% over %.3f s alone) ", batchMs / 1000, overWall, aloneMs / 1000) +
                  Verdict(overWall, 1));
    table.Set("   CPU per run, mean", "< +10 % over alone", t.name,
              Fmt("%.2f ms (%+.1f %% over %.2f ms alone) ", cpu, overCpu, Median(alone.cpu)) + Verdict(overCpu, 10));
    table.Set("   peak memory per run, highest", "", t.name,
              Fmt("%.2f MiB (%.2f MiB alone)", peak, Median(alone.peak)));
    table.Set("   per-command overhead, worst of all runs", "", t.name,
              Fmt("%.3f ms (%.3f ms alone)", worst, Max(alone.overhead)));
    table.Set("   per-command overhead, worst run's median", "", t.name,
              Fmt("%.3f ms (%.3f ms alone)", worstMedian, Median(alone.overhead)));
    table.Set("   less the harness's queue, worst run's median", "", t.name,
              Fmt("%.3f ms (%.3f ms alone)", worstLess, Median(alone.lessQueue)));
    QueueRow(wires, "   harness's own queue per command, median / worst", t, table);
    // The harness starts the runs one after another: the batch's wall time includes that.
    table.Set("   harness's own time to start them all", "", t.name, Fmt("%.1f ms", Ms(lastStart - first)));
    if (failed > 0) {
        table.Set("   runs that failed", "0", t.name, Fmt("%d MISSED", failed));
    }
    // torvex-rack runs the torvex beside it: the first column's (bench/run.sh's Linux build).
    if (!o.rackTool.empty() && &t == &o.targets.front()) {
        RackTool(o, t, script, alone, table);
    }
}
