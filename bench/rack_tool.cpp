// torvex-rack (9): one rack over N devices, each answered from a thread of its
// own, against a torvex run alone: the rack's wall time, its own CPU (its
// threads, read as it ends, without its children's) and each port's
// per-command overhead.
#include <algorithm>
#include <cstdint>
#include <filesystem>

#include "rack.h"

void RackTool(const Options& o, const Target& t, const std::string& script, const AloneRuns& alone, Table& table)
{
    Note("[%s] torvex-rack over %d ports (load %s)", t.name.c_str(), o.rack, LoadAvg().c_str());
    RunPlan plan = RackPlan(script, "torvex-rack");
    plan.devices = o.rack;
    // Transcripts of this rack only: names follow the pseudo-terminals, which change.
    std::filesystem::remove_all(o.data + "/rack-logs");
    plan.args = {"--log-dir", o.data + "/rack-logs", "@SCRIPT", "@PORTS"};
    plan.limitMs = 300000;
    const Target rack{t.name, o.rackTool, false, "", {}};
    const Run r = RunProgram(rack, plan);
    Note("  load after: %s", LoadAvg().c_str());

    int failed = r.status == 0 ? 0 : 1;
    std::vector<double> medians, less;
    std::vector<const Wire*> wires;
    double worst = 0;
    int64_t firstWake = INT64_MAX, lastWake = 0;  // each port's wake-up, 3 s after its run began
    for (size_t i = 0; i < static_cast<size_t>(o.rack); i++) {
        const Wire& w = r.Port(i);
        failed += Good(r, w) ? 0 : 1;
        medians.push_back(Median(Overheads(w)));
        less.push_back(Median(OverheadsLessQueue(w)));
        worst = std::max(worst, Max(Overheads(w)));
        wires.push_back(&w);
        if (!w.cmdFirst.empty()) {
            firstWake = std::min(firstWake, w.cmdFirst[0]);
            lastWake = std::max(lastWake, w.cmdFirst[0]);
        }
    }
    const double wallMs = Ms(r.exitAt - r.spawnAt);
    const double aloneMs = Median(alone.wall);
    const double ownMs = Ms(r.own.run);
    const double perRun = (CpuMs(r.ru) - ownMs) / o.rack;
    Note("  exit status %d; %.1f ms wall; the rack's own CPU %.3f ms; all of it with its runs %.3f ms",
         r.status, wallMs, ownMs, CpuMs(r.ru));
    Note("  each port's median overhead ms: %s", Join(medians, "%.3f").c_str());
    Note("  the same less the harness's queue: %s", Join(less, "%.3f").c_str());
    if (failed > 0) {
        Note("  console: %.600s", r.consoleText.c_str());
    }

    const std::string n = Fmt("9. torvex-rack over %d ports", o.rack);
    const double overWall = (wallMs / aloneMs - 1) * 100;
    const double ownPct = ownMs / wallMs * 100;
    const double overMedian = Max(medians) - Median(alone.overhead);
    const double overLess = Max(less) - Median(alone.lessQueue);
    table.Set(n + ", wall time", "< +1 % over alone", t.name,
              Fmt("%.3f s (%+.2f %% over %.3f s alone) ", wallMs / 1000, overWall, aloneMs / 1000) +
                  Verdict(overWall, 1));
    table.Set("   the rack's own CPU, share of one core", "<= 2 %", t.name,
              Fmt("%.3f %% (%.1f ms) ", ownPct, ownMs) + Verdict(ownPct, 2));
    table.Set("   CPU per torvex run in the rack, mean", "", t.name,
              Fmt("%.2f ms (%.2f ms alone)", perRun, Median(alone.cpu)));
    table.Set("   per-command overhead, worst port's median", "<= +0.1 ms over alone", t.name,
              Fmt("%.3f ms (%+.3f over %.3f alone) ", Max(medians), overMedian, Median(alone.overhead)) +
                  Verdict(overMedian, 0.1));
    table.Set("   per-command overhead, the median port's median", "", t.name,
              Fmt("%.3f ms (%+.3f over alone)", Median(medians), Median(medians) - Median(alone.overhead)));
    table.Set("   less the harness's queue, worst port's median", "<= +0.1 ms over alone", t.name,
              Fmt("%.3f ms (%+.3f over %.3f alone) ", Max(less), overLess, Median(alone.lessQueue)) +
                  Verdict(overLess, 0.1));
    table.Set("   per-command overhead, worst sample of all ports", "", t.name, Fmt("%.3f ms", worst));
    QueueRow(wires, "   harness's own queue per command in the rack, median / worst", t, table);
    table.Set("   the ports' wake-ups, first to last", "", t.name, Fmt("%.1f ms", Ms(lastWake - firstWake)));
    if (failed > 0) {
        table.Set("   ports that failed", "0", t.name, Fmt("%d MISSED", failed));
    }
}
