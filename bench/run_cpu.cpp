// torvex's own CPU per run (10): a 20-command script, six runs, each next to a
// run of an empty script and /bin/true started the same way; how the CPU splits
// between the start and the commands. With the floor program, each round also
// runs the printing floor on the same script (the same dialogue, the same quiet
// gaps, the same console): CPU and peak memory, torvex's against the floor's.
#include <vector>

#include "figures.h"
#include "scripts.h"

namespace {

// The run's CPU in ms; its peak memory in KiB into *peakKiB, when given.
double RunCpuMs(const Target& t, const std::string& script, bool device, size_t commands, int* failed,
                long* peakKiB = nullptr)
{
    RunPlan plan;
    plan.args = t.args;
    plan.args.insert(plan.args.end(), {"@SCRIPT", "@PORT"});
    plan.script = script;
    plan.devices = device ? 1 : 0;
    plan.limitMs = 60000;
    const Run r = RunProgram(t, plan);
    if (device && (r.status != 0 || r.commands.size() != commands + 1)) {
        Note("  unexpected run: status %d, %zu commands; console: %.300s", r.status, r.commands.size(),
             r.consoleText.c_str());
        ++*failed;
    }
    if (peakKiB != nullptr) {
        *peakKiB = r.ru.ru_maxrss;
    }
    return CpuMs(r.ru);
}

// torvex's runs against the printing floor's in the same rounds: the medians as
// "text (printing floor text, x ratio)", held to limit; torvex's alone without a floor.
void AgainstFloor(Table& table, const Target& t, const std::string& row, std::string (*text)(double),
                  const std::vector<double>& mine, const std::vector<double>& floor, double limit)
{
    if (floor.empty()) {
        table.Set(row, "", t.name, text(Median(mine)));
        return;
    }
    const double ratio = Median(mine) / Median(floor);
    table.Set(row, Fmt("<= printing floor x %g", limit), t.name,
              text(Median(mine)) + " (printing floor " + text(Median(floor)) + Fmt(", x %.2f) ", ratio) +
                  Verdict(ratio, limit));
}

}  // namespace

void RunCpu(const Options& o, const Target& t, Table& table)
{
    const int commands = 20;
    const int runs = 6;
    const std::string script = o.data + "/cpu20.txt";
    const std::string empty = o.data + "/cpu0.txt";
    RepeatFile(script, "AT+CSQ\r\n", commands);
    WriteFile(empty, "");
    const Target bareStart{"true", "/bin/true", false, "", {}};
    const bool withFloor = !o.printingFloor.exe.empty();
    std::vector<double> full, bare, floor, peak, floorCpu, floorPeak;
    int failed = 0;
    for (int i = 0; i < runs; i++) {
        Note("[%s] CPU per run: round %d of %d (load %s)", t.name.c_str(), i + 1, runs, LoadAvg().c_str());
        floor.push_back(RunCpuMs(bareStart, "", false, 0, &failed));
        bare.push_back(RunCpuMs(t, empty, true, 0, &failed));
        long kib = 0;
        full.push_back(RunCpuMs(t, script, true, commands, &failed, &kib));
        peak.push_back(static_cast<double>(kib));
        if (withFloor) {
            floorCpu.push_back(RunCpuMs(o.printingFloor, script, true, commands, &failed, &kib));
            floorPeak.push_back(static_cast<double>(kib));
        }
    }
    Note("  %d commands, CPU ms: %s", commands, Join(full, "%.3f").c_str());
    Note("  empty script:       %s", Join(bare, "%.3f").c_str());
    Note("  /bin/true:          %s", Join(floor, "%.3f").c_str());
    // Each round's difference, then their median: the load drifts between rounds.
    std::vector<double> net, start, each;
    for (int i = 0; i < runs; i++) {
        net.push_back(full[i] - floor[i]);
        start.push_back(bare[i] - floor[i]);
        each.push_back((full[i] - bare[i]) / commands);
    }
    Note("  net of /bin/true:   %s", Join(net, "%.3f").c_str());
    if (withFloor) {
        Note("  printing floor:     %s", Join(floorCpu, "%.3f").c_str());
    }
    AgainstFloor(table, t, "10. CPU of a 20-command run, median", [](double ms) { return Fmt("%.2f ms", ms); }, full,
                 floorCpu, 1.15);
    table.Set("   net of process start (/bin/true)", "", t.name,
              Fmt("%.2f ms (/bin/true %.2f)", Median(net), Median(floor)));
    table.Set("   of it: start, settling and wake-up (an empty script)", "", t.name, Fmt("%.2f ms", Median(start)));
    table.Set("   of it: each command", "", t.name, Fmt("%.3f ms", Median(each)));
    Note("  peak KiB: %s", Join(peak, "%.0f").c_str());
    if (withFloor) {
        Note("  printing floor's peak KiB: %s", Join(floorPeak, "%.0f").c_str());
    }
    AgainstFloor(table, t, "10. peak memory of that run (ru_maxrss), median",
                 [](double kib) { return Fmt("%.0f KiB", kib); }, peak, floorPeak, 1.1);
    if (failed > 0) {
        table.Set("   of those runs, failed", "0", t.name, Fmt("%d MISSED", failed));
    }
}
