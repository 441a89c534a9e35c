// 9: a network port. The same device and script as the turnaround, once on the
// local pseudo-terminal and once through a real ser2net on 127.0.0.1 serving that
// pseudo-terminal (rfc2217://), in alternating rounds so that both meet the same
// load. The difference of the medians is what the network port costs per command,
// ser2net's own hop included. Where the time goes: how often the program gives
// up the processor per command (each wait, and under Wine each call that
// wineserver answers), local against through ser2net.
#include <cmath>
#include <memory>

#include "figures.h"
#include "scripts.h"
#include "support/ser2net.h"

namespace {

struct RoundResult {
    std::vector<double> overhead;
    double switches = 0;  // voluntary context switches per command
};

RoundResult Round(const Options& o, const Target& t, const std::string& script, bool remote, const std::string& round)
{
    RunPlan plan;
    plan.args = t.args;
    plan.args.insert(plan.args.end(), {"@SCRIPT", "@PORT", "-BAUD=115200"});
    plan.script = script;
    plan.limitMs = (o.commands + 20) * 2000;
    plan.label = remote ? "remote-rfc2217" : "remote-local";
    std::unique_ptr<Ser2net> server;
    if (remote) {
        // Without chardelay ser2net sends device bytes on as they come, as a lab
        // would set it for command-and-answer work.
        plan.remote = [&server](const std::string& device) {
            server = std::make_unique<Ser2net>(device, false);
            if (!server->Running()) {
                Die("ser2net did not start");
            }
            return server->Rfc2217();
        };
    }
    // From the first command after the wake-up to the last: the cycles measured.
    const size_t expect = static_cast<size_t>(o.commands) + 2;
    long first = -1, last = -1;
    plan.tickMs = 1000;
    plan.tick = [&](Run& run, int64_t) {
        if (first < 0 && run.commands.size() >= 2) {
            first = VoluntarySwitches(run.pid);
        } else if (last < 0 && run.commands.size() >= expect) {
            last = VoluntarySwitches(run.pid);
        }
    };
    Note("[%s] %s%s: %d commands (load %s)", t.name.c_str(), remote ? "through ser2net" : "local port", round.c_str(),
         o.commands + 1, LoadAvg().c_str());
    const Run run = RunProgram(t, plan);
    if (run.status != 0 || run.commands.size() != expect) {
        Note("  unexpected run: status %d, %zu commands seen (%zu expected); console: %.300s", run.status,
             run.commands.size(), expect, run.consoleText.c_str());
    }
    RoundResult result;
    result.overhead = Overheads(run);
    result.switches =
        first >= 0 && last >= 0 ? static_cast<double>(last - first) / static_cast<double>(expect - 2) : NAN;
    Note("  overhead ms: %s", Join(result.overhead, "%.3f").c_str());
    Note("  voluntary context switches per command: %.2f", result.switches);
    return result;
}

}  // namespace

void Remote(const Options& o, const Target& t, Table& table)
{
    const std::string script = o.data + "/remote-" + t.name + ".txt";
    RepeatFile(script, "AT+CSQ\r\n", o.commands + 1);
    std::vector<double> local, remote, extra, localSwitches, remoteSwitches;
    for (int r = 0; r < o.rounds; r++) {
        const std::string round = Fmt(", round %d of %d", r + 1, o.rounds);
        // Which goes first alternates too.
        const bool remoteFirst = r % 2 == 1;
        const RoundResult a = Round(o, t, script, remoteFirst, round);
        const RoundResult b = Round(o, t, script, !remoteFirst, round);
        const std::vector<double>& l = (remoteFirst ? b : a).overhead;
        const std::vector<double>& n = (remoteFirst ? a : b).overhead;
        localSwitches.push_back((remoteFirst ? b : a).switches);
        remoteSwitches.push_back((remoteFirst ? a : b).switches);
        extra.push_back(Median(n) - Median(l));
        local.insert(local.end(), l.begin(), l.end());
        remote.insert(remote.end(), n.begin(), n.end());
    }
    const double cost = Median(extra);
    table.Set("9. per-command overhead through ser2net (rfc2217, loopback), median", "< local + 0.2 ms", t.name,
              Fmt("%.3f ms (local %.3f ms, %+.3f ms) ", Median(remote), Median(local), cost) + Verdict(cost, 0.2));
    table.Set("   through ser2net, max", "", t.name, Fmt("%.3f ms (local %.3f ms)", Max(remote), Max(local)));
    table.Set("   the program's voluntary context switches per command, median", "", t.name,
              Fmt("%.1f (local %.1f)", Median(remoteSwitches), Median(localSwitches)));
}
