// CPU while waiting (3): a command the device never answers, and the program's
// CPU over two silent reads; under Wine, wineserver's as well.
#include <unistd.h>

#include "figures.h"
#include "scripts.h"

void Cpu(const Options& o, const Target& t, Table& table)
{
    const std::string script = o.data + "/silent.txt";
    WriteFile(script, "#timeout 13\r\nAT+SILENT\r\n");
    Note("[%s] cpu: one command never answered, #timeout 13 (load %s)", t.name.c_str(), LoadAvg().c_str());
    RunPlan plan;
    // Debug output shows each read's end on the console: the next read flushes it.
    plan.args = {"@SCRIPT", "@PORT", "-DEBUG"};
    plan.script = script;
    plan.console = Console::Pipe;
    plan.limitMs = 90000;
    plan.tickMs = 20;
    plan.label = "cpu";
    // Wine's own services keep wineserver busy even when no program runs: measure that first.
    double serverIdle = 0;
    if (t.wine) {
        const std::vector<pid_t> servers = PrefixProcesses(t.prefix, true);
        const Sample a = TakeSample(getpid(), servers, Now());
        sleep(5);
        const Sample b = TakeSample(getpid(), servers, Now());
        serverIdle = Ms(Delta(a.tree, b.tree).run) / (Ms(b.at - a.at) / 1000);
        Note("  wineserver with no program running: %.3f ms/s", serverIdle);
    }
    Sample sent, firstRead, later;  // command sent, first read over, 25 s into the wait
    size_t nrxBefore = 0;
    std::vector<pid_t> tree;
    plan.tick = [&](Run& run, int64_t now) {
        if (sent.at == 0) {
            for (size_t i = 0; i < run.commands.size(); i++) {
                if (run.commands[i].find("SILENT") != std::string::npos) {
                    // wineserver serves the program's calls; the prefix's services idle on their own.
                    if (t.wine) {
                        tree = PrefixProcesses(t.prefix, true);
                        tree.push_back(run.pid);
                    }
                    nrxBefore = run.Find("nRx = ").size();
                    sent = TakeSample(run.pid, tree, run.cmdFirst[i]);
                }
            }
            return;
        }
        if (firstRead.at == 0 && run.Find("nRx = ").size() > nrxBefore) {
            firstRead = TakeSample(run.pid, tree, now);
        }
        if (later.at == 0 && now >= sent.at + 25000 * MS) {
            later = TakeSample(run.pid, tree, now);
        }
    };
    const Run run = RunProgram(t, plan);
    if (run.status != 1 || sent.at == 0 || firstRead.at == 0 || later.at == 0) {
        Note("  unexpected run: status %d; console: %.300s", run.status, run.consoleText.c_str());
        return;
    }
    const double readMs = Ms(firstRead.at - sent.at);
    const double waitS = Ms(later.at - sent.at) / 1000;
    const double perSecond = Ms(Delta(sent.program, later.program).run) / waitS;
    const double oneRead = Ms(Delta(sent.program, firstRead.program).run);
    const double runCpu = CpuMs(run.ru);
    const double runWall = Ms(run.exitAt - run.spawnAt);
    Note("  silent read returned after %.1f ms; program CPU %.3f ms over %.2f s of waiting, %.3f ms in the first read",
         readMs, perSecond * waitS, waitS, oneRead);
    Note("  whole run (getrusage): %.1f ms CPU in %.0f ms wall = %.3f ms/s", runCpu, runWall, runCpu / runWall * 1000);
    std::string perS = Verdict(perSecond, 0.5, "%.3f ms/s");
    std::string read = Verdict(oneRead, 10, "%.3f ms");
    if (t.wine) {
        const double treeS = Ms(Delta(sent.tree, later.tree).run) / waitS;
        const double treeRead = Ms(Delta(sent.tree, firstRead.tree).run);
        Note("  program and wineserver: %.3f ms/s, %.3f ms in the first read", treeS, treeRead);
        perS += Fmt("; with wineserver %.3f (idle server %.3f)", treeS, serverIdle);
        read += Fmt("; with wineserver %.3f", treeRead);
    }
    table.Set("3. CPU per second of waiting", "< 0.5 ms/s", t.name, perS);
    table.Set("3. CPU of one silent read", "< 10 ms", t.name, read);
    table.Set("   duration of that silent read", "12680 ms", t.name, Fmt("%.1f ms", readMs));
    table.Set("   whole run CPU / wall (getrusage)", "", t.name, Fmt("%.3f ms/s", runCpu / runWall * 1000));
}
