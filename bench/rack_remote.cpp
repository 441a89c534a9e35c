// torvex-rack over 32 network ports (9): the rack's script on 32 devices, each
// served by a ser2net of its own on 127.0.0.1 (rfc2217://), against the same 32
// devices as local pseudo-terminals, in rounds that alternate and swap which
// goes first, so that both meet the same load. Each device answers from a
// thread of its own.
#include <algorithm>
#include <filesystem>
#include <memory>

#include "rack.h"
#include "scripts.h"
#include "support/ser2net.h"

namespace {

const int REMOTE_RACK = 32;

struct RackRound {
    double wallMs = 0;
    double ownMs = 0;                 // the rack's own threads
    std::vector<double> medians;      // each port's median overhead
    std::vector<double> samples;      // every port's every cycle
    std::vector<double> less;         // each port's median less the harness's queue
    int failed = 0;
    TaskTimes ser2net;                // every ser2net's threads, over the rack's run
};

Threads Ser2netThreads()
{
    Threads all;
    for (pid_t pid : ChildProcesses("ser2net")) {
        ReadThreads(pid, &all);
    }
    return all;
}

RackRound RunRack(const Options& o, const Target& t, const std::string& script, bool remote,
                  const std::string& round)
{
    RunPlan plan = RackPlan(script, remote ? "rack-rfc2217" : "rack-local");
    plan.devices = REMOTE_RACK;
    const std::string logs = o.data + (remote ? "/rack-remote-logs" : "/rack-local-logs");
    std::filesystem::remove_all(logs);
    plan.args = {"--log-dir", logs, "@SCRIPT", "@PORTS"};
    plan.limitMs = 300000;
    // One ser2net per device, all started before the rack is; they end with this round.
    std::vector<std::unique_ptr<Ser2net>> servers;
    if (remote) {
        plan.remote = [&servers](const std::string& device) {
            servers.push_back(std::make_unique<Ser2net>(device, false));
            if (!servers.back()->Running()) {
                Die("ser2net did not start");
            }
            return servers.back()->Rfc2217();
        };
    }
    // The servers' counters from the rack's first tick, within its 3 s settling pause.
    Threads before;
    bool sampled = false;
    plan.tick = [&](Run&, int64_t) {
        if (remote && !sampled) {
            before = Ser2netThreads();
            sampled = true;
        }
    };
    Note("[%s] torvex-rack over %d %s%s (load %s)", t.name.c_str(), REMOTE_RACK,
         remote ? "ports through ser2net" : "local ports", round.c_str(), LoadAvg().c_str());
    const Target rack{t.name, o.rackTool, false, "", {}};
    const Run r = RunProgram(rack, plan);

    RackRound out;
    if (remote) {
        out.ser2net = Delta(before, Ser2netThreads());
    }
    out.wallMs = Ms(r.exitAt - r.spawnAt);
    out.ownMs = Ms(r.own.run);
    out.failed = r.status == 0 ? 0 : 1;
    for (size_t i = 0; i < static_cast<size_t>(REMOTE_RACK); i++) {
        const Wire& w = r.Port(i);
        out.failed += Good(r, w) ? 0 : 1;
        const std::vector<double> overhead = Overheads(w);
        out.medians.push_back(Median(overhead));
        out.samples.insert(out.samples.end(), overhead.begin(), overhead.end());
        out.less.push_back(Median(OverheadsLessQueue(w)));
    }
    Note("  exit status %d; %.1f ms wall; the rack's own CPU %.3f ms; worst sample %.3f ms", r.status, out.wallMs,
         out.ownMs, Max(out.samples));
    Note("  each port's median overhead ms: %s", Join(out.medians, "%.3f").c_str());
    Note("  the same less the harness's queue: %s", Join(out.less, "%.3f").c_str());
    if (remote) {
        Note("  the ser2nets' CPU %.3f ms, their wait on a run queue %.3f ms", Ms(out.ser2net.run),
             Ms(out.ser2net.wait));
    }
    if (out.failed > 0) {
        Note("  console: %.600s", r.consoleText.c_str());
    }
    return out;
}

// One figure of every round.
template <typename F>
std::vector<double> Each(const std::vector<RackRound>& rounds, F figure)
{
    std::vector<double> v;
    for (const RackRound& r : rounds) {
        v.push_back(figure(r));
    }
    return v;
}

// Its median over the rounds.
template <typename F>
double Over(const std::vector<RackRound>& rounds, F figure)
{
    return Median(Each(rounds, figure));
}

}  // namespace

void RackRemote(const Options& o, const Target& t, Table& table)
{
    const std::string script = o.data + "/rack.txt";
    RepeatFile(script, "AT+CSQ\r\n", RACK_COMMANDS);
    const AloneRuns alone = RunAlone(t, script);
    std::vector<RackRound> local, remote;
    std::vector<double> medianDiff, worstDiff, lessDiff;
    for (int n = 0; n < o.rounds; n++) {
        const std::string round = Fmt(", round %d of %d", n + 1, o.rounds);
        const bool remoteFirst = n % 2 == 1;
        RackRound a = RunRack(o, t, script, remoteFirst, round);
        RackRound b = RunRack(o, t, script, !remoteFirst, round);
        local.push_back(remoteFirst ? b : a);
        remote.push_back(remoteFirst ? a : b);
        medianDiff.push_back(Median(remote.back().medians) - Median(local.back().medians));
        worstDiff.push_back(Max(remote.back().medians) - Max(local.back().medians));
        lessDiff.push_back(Max(remote.back().less) - Max(local.back().less));
        Note("  round %d: the median port's median %+.3f ms, the worst port's %+.3f ms through ser2net", n + 1,
             medianDiff.back(), worstDiff.back());
    }
    Note("  load after: %s", LoadAvg().c_str());

    const auto wall = [](const RackRound& r) { return r.wallMs; };
    const auto own = [](const RackRound& r) { return r.ownMs; };
    const auto share = [](const RackRound& r) { return r.ownMs / r.wallMs * 100; };
    const auto medianPort = [](const RackRound& r) { return Median(r.medians); };
    const auto worstPort = [](const RackRound& r) { return Max(r.medians); };
    const auto worstLess = [](const RackRound& r) { return Max(r.less); };
    const auto worstSample = [](const RackRound& r) { return Max(r.samples); };
    int failed = alone.failed;
    for (const RackRound& r : remote) {
        failed += r.failed;
    }
    for (const RackRound& r : local) {
        failed += r.failed;
    }

    const double aloneMs = Median(alone.wall);
    const double remoteWall = Over(remote, wall);
    table.Set(Fmt("9. torvex-rack over %d ports through ser2net (rfc2217, loopback), wall time", REMOTE_RACK), "",
              t.name,
              Fmt("%.3f s (%+.2f %% over %.3f s alone; local rack %.3f s)", remoteWall / 1000,
                  (remoteWall / aloneMs - 1) * 100, aloneMs / 1000, Over(local, wall) / 1000));
    table.Set("   the rack's own CPU, share of one core", "", t.name,
              Fmt("%.3f %% (%.1f ms; local rack %.3f %%, %.1f ms)", Over(remote, share), Over(remote, own),
                  Over(local, share), Over(local, own)));
    const double diff = Median(medianDiff);
    table.Set("   per-command overhead, the median port's median", "< local + 0.2 ms", t.name,
              Fmt("%.3f ms (local %.3f ms, %+.3f ms) ", Over(remote, medianPort), Over(local, medianPort), diff) +
                  Verdict(diff, 0.2));
    const double worst = Median(worstDiff);
    table.Set("   per-command overhead, the worst port's median", "< local + 0.2 ms", t.name,
              Fmt("%.3f ms (local %.3f ms, %+.3f ms) ", Over(remote, worstPort), Over(local, worstPort), worst) +
                  Verdict(worst, 0.2));
    const double less = Median(lessDiff);
    table.Set("   less the harness's queue, the worst port's median", "< local + 0.2 ms", t.name,
              Fmt("%.3f ms (local %.3f ms, %+.3f ms) ", Over(remote, worstLess), Over(local, worstLess), less) +
                  Verdict(less, 0.2));
    table.Set("   per-command overhead, worst sample of all ports", "", t.name,
              Fmt("%.3f ms (local %.3f ms; alone %.3f ms)", Max(Each(remote, worstSample)), Max(Each(local, worstSample)),
                  Max(alone.overhead)));
    // Per command of every port, the wake-up's included.
    const double commands = REMOTE_RACK * (RACK_COMMANDS + 1);
    table.Set(Fmt("   the %d ser2nets' CPU, and their wait on a run queue, per command", REMOTE_RACK), "", t.name,
              Fmt("%.3f ms, %.3f ms", Over(remote, [](const RackRound& r) { return Ms(r.ser2net.run); }) / commands,
                  Over(remote, [](const RackRound& r) { return Ms(r.ser2net.wait); }) / commands));
    if (failed > 0) {
        table.Set("   runs or ports that failed", "0", t.name, Fmt("%d MISSED", failed));
    }
}
