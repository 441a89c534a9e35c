// Start-up (7): `torvex -?`, fork to exit, with /bin/true started the same way
// as the floor.
#include <algorithm>

#include "figures.h"

void Startup(const Options& o, const Target& t, Table& table)
{
    for (Console console : {Console::Pipe, Console::Terminal}) {
        const int runs = console == Console::Pipe ? o.startRuns : std::min(o.startRuns, 5);
        Note("[%s] start-up of -?, %d runs, console a %s (load %s)", t.name.c_str(), runs, ConsoleName(console),
             LoadAvg().c_str());
        std::vector<double> ms, cpu;
        for (int i = 0; i < runs; i++) {
            RunPlan plan;
            plan.args = {"-?"};
            plan.devices = 0;
            plan.console = console;
            plan.limitMs = 30000;
            const Run r = RunProgram(t, plan);
            if (r.status != 0) {
                Note("  unexpected exit status %d", r.status);
            }
            ms.push_back(Ms(r.exitAt - r.spawnAt));
            cpu.push_back(CpuMs(r.ru));
        }
        Note("  wall ms: %s", Join(ms, "%.2f").c_str());
        Note("  CPU ms:  %s", Join(cpu, "%.2f").c_str());
        const std::string c = Fmt(", median of %d (console a %s)", runs, ConsoleName(console));
        table.Set("7. start-up of -?, wall" + c, "", t.name, Fmt("%.2f ms", Median(ms)));
        table.Set("7. start-up of -?, CPU" + c, "", t.name, Fmt("%.2f ms", Median(cpu)));
    }
    if (!t.wine) {
        // The floor: starting any dynamically linked program the same way.
        std::vector<double> ms, cpu;
        for (int i = 0; i < o.startRuns; i++) {
            RunPlan plan;
            plan.devices = 0;
            plan.limitMs = 30000;
            const Run r = RunProgram(Target{"true", "/bin/true", false, "", {}}, plan);
            ms.push_back(Ms(r.exitAt - r.spawnAt));
            cpu.push_back(CpuMs(r.ru));
        }
        table.Set("   reference: /bin/true, wall / CPU, median", "", t.name,
                  Fmt("%.2f / %.2f ms", Median(ms), Median(cpu)));
    }
}
