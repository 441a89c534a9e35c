// Turnaround (1) and the answer's way to the console (2): one device, a script of
// AT+CSQ lines, and for each command the time from its answer to the next
// command, less the quiet gap. The floors and the Linux builds run in rounds,
// one after another and in a rotating order, so that they meet the same load;
// each comparison with a floor is the median over the rounds.
#include <algorithm>
#include <cmath>

#include "figures.h"
#include "scripts.h"

namespace {

// Everything one program's turnaround runs gave, over all rounds.
struct Samples {
    std::vector<double> overhead;
    std::vector<double> net;  // less run-queue wait
    std::vector<double> cpu;
    std::vector<double> toReturn;
    double first = NAN;  // the first round's
    std::vector<double> roundOverhead;  // each round's medians
    std::vector<double> roundNet;
};

void Append(std::vector<double>& to, const std::vector<double>& from)
{
    to.insert(to.end(), from.begin(), from.end());
}

// One run of `commands` cycles; adds its samples and its medians as a round.
void Measure(const Options& o, const Target& t, Console console, int commands, const std::string& round,
             Samples& all)
{
    const std::string script = o.data + "/turnaround-" + t.name + ".txt";
    RepeatFile(script, "AT+CSQ\r\n", commands + 1);
    Note("[%s] turnaround%s: %d commands, console a %s (load %s)", t.name.c_str(), round.c_str(), commands + 1,
         ConsoleName(console), LoadAvg().c_str());
    RunPlan plan;
    plan.args = t.args;
    plan.args.insert(plan.args.end(), {"@SCRIPT", "@PORT"});
    plan.script = script;
    plan.console = console;
    plan.limitMs = (commands + 20) * 2000;
    plan.label = std::string("turnaround-") + ConsoleName(console);
    // A sample as each command arrives, so that each cycle's CPU and run-queue wait is known.
    std::vector<Sample> samples;
    plan.tickMs = 2000;
    plan.tick = [&](Run& run, int64_t now) {
        while (samples.size() < run.cmdFirst.size()) {
            samples.push_back(TakeSample(run.pid, {}, now));
        }
    };
    const Run run = RunProgram(t, plan);
    const size_t expect = static_cast<size_t>(commands) + 2;  // the wake-up and every line
    if (run.status != 0 || run.commands.size() != expect) {
        Note("  unexpected run: status %d, %zu commands seen (%zu expected); console: %.300s", run.status,
             run.commands.size(), expect, run.consoleText.c_str());
    }
    // On Linux the program and the benchmark are one thread each, and their run-queue
    // waits lie on the path; under Wine the path crosses wineserver and several threads.
    std::vector<double> overhead, net, cpu, wait, steal;
    for (size_t i = 1; i < CycleEnd(run); i++) {
        const double raw = CycleMs(run, i);
        if (std::isnan(raw)) {
            continue;
        }
        overhead.push_back(raw);
        if (i + 1 < samples.size()) {
            const Sample& a = samples[i];
            const Sample& b = samples[i + 1];
            const TaskTimes p = Delta(a.program, b.program);
            const double waited = Ms(p.wait + Delta(a.bench, b.bench).wait);
            cpu.push_back(Ms(p.run));
            wait.push_back(waited);
            steal.push_back(static_cast<double>(b.steal - a.steal));
            if (!t.wine) {
                net.push_back(raw - waited);
            }
        }
    }
    double first = NAN;
    if (run.cmdFirst.size() > 1 && run.ansLast[0] != 0) {
        first = Ms(run.cmdFirst[1] - run.ansLast[0]) - QUIET_GAP_MS;
    }
    // From each answer to the console's first byte of its "Got" line.
    std::vector<double> toReturn;
    const std::vector<size_t> got = run.Find("Got \"");
    for (size_t i = 1; i < got.size() && i < run.ansLast.size(); i++) {
        if (run.ansLast[i] != 0) {
            toReturn.push_back(Ms(run.TextTime(got[i]) - run.ansLast[i]));
        }
    }
    Note("  overhead ms:                %s", Join(overhead, "%.3f").c_str());
    Note("  run-queue wait ms:          %s", Join(wait, "%.3f").c_str());
    Note("  overhead less the wait ms:  %s", Join(net, "%.3f").c_str());
    Note("  program CPU per command ms: %s", Join(cpu, "%.3f").c_str());
    Note("  steal ticks in the cycle:   %s", Join(steal, "%.0f").c_str());
    Note("  answer to \"Got\" ms:         %s", Join(toReturn, "%.3f").c_str());
    Note("  wake-up answer to the first command, less the quiet gap: %.3f ms", first);
    Append(all.overhead, overhead);
    Append(all.net, net);
    Append(all.cpu, cpu);
    Append(all.toReturn, toReturn);
    if (all.roundOverhead.empty()) {
        all.first = first;
    }
    all.roundOverhead.push_back(Median(overhead));
    all.roundNet.push_back(Median(net));
    Note("  medians of this run: overhead %.3f ms%s", Median(overhead),
         t.wine ? "" : Fmt(", less the wait %.3f ms", Median(net)).c_str());
}

void SetRows(const Target& t, Console console, const Samples& s, Table& table)
{
    const std::string c = " (console a " + std::string(ConsoleName(console)) + ")";
    table.Set("1. turnaround overhead, median" + c, "< 0.25 ms", t.name,
              Verdict(Median(s.overhead), 0.25, "%.3f ms"));
    table.Set("1. turnaround overhead, max" + c, "< 2 ms", t.name, Verdict(Max(s.overhead), 2, "%.3f ms"));
    table.Set("   less run-queue wait, median" + c, "< 0.25 ms", t.name,
              t.wine ? "n/a" : Verdict(Median(s.net), 0.25, "%.3f ms"));
    table.Set("   less run-queue wait, max" + c, "< 2 ms", t.name, t.wine ? "n/a" : Verdict(Max(s.net), 2, "%.3f ms"));
    table.Set("   program CPU per command, median" + c, "", t.name, Fmt("%.3f ms", Median(s.cpu)));
    table.Set("   first command after the wake-up, one sample" + c, "", t.name, Fmt("%.3f ms", s.first));
    // The silent floor prints nothing.
    if (console == Console::Terminal && !s.toReturn.empty()) {
        table.Set("2. answer to read's return, median", "<= 1001 ms", t.name,
                  Verdict(Median(s.toReturn), 1001, "%.3f ms"));
        table.Set("2. answer to read's return, max", "<= 1001 ms", t.name, Verdict(Max(s.toReturn), 1001, "%.3f ms"));
    }
}

// The program against a floor, round by round; the rows give the medians of the
// rounds' differences and ratios.
void OverFloor(const Target& t, Console console, const Samples& program, const Target& floor,
               const Samples& floorSamples, const char* target, Table& table)
{
    std::vector<double> over, ratio, overNet, ratioNet;
    for (size_t r = 0; r < program.roundOverhead.size() && r < floorSamples.roundOverhead.size(); r++) {
        over.push_back(program.roundOverhead[r] - floorSamples.roundOverhead[r]);
        ratio.push_back(program.roundOverhead[r] / floorSamples.roundOverhead[r]);
        overNet.push_back(program.roundNet[r] - floorSamples.roundNet[r]);
        ratioNet.push_back(program.roundNet[r] / floorSamples.roundNet[r]);
    }
    const std::string c = " (console a " + std::string(ConsoleName(console)) + ")";
    Note("[%s] over the %s, console a %s, by round: %s ms (%s x); less run-queue wait %s ms", t.name.c_str(),
         floor.name.c_str(), ConsoleName(console), Join(over, "%+.3f").c_str(), Join(ratio, "%.2f").c_str(),
         Join(overNet, "%+.3f").c_str());
    table.Set("   over the " + floor.name + ", median" + c, target, t.name,
              Fmt("%+.3f ms (%.2fx) ", Median(over), Median(ratio)) + Verdict(Median(over), 0.03));
    table.Set("   over the " + floor.name + " less run-queue wait, median" + c, "", t.name,
              Fmt("%+.3f ms (%.2fx)", Median(overNet), Median(ratioNet)));
}

}  // namespace

void TurnaroundFigures(const Options& o, Table& table)
{
    // The programs that take turns: the floors first, then the Linux builds.
    std::vector<const Target*> turns;
    for (const Target* f : {&o.floor, &o.printingFloor}) {
        if (!f->exe.empty()) {
            turns.push_back(f);
        }
    }
    const size_t floors = turns.size();
    for (const Target& t : o.targets) {
        if (!t.wine) {
            turns.push_back(&t);
        }
    }
    // The commands are shared out over the rounds, so a run takes as long as before.
    const int rounds = floors > 0 ? o.rounds : 1;
    const int perRound = std::max(2, (o.commands + rounds - 1) / rounds);
    for (Console console : {Console::Pipe, Console::Terminal}) {
        std::vector<Samples> samples(turns.size());
        for (int r = 0; r < rounds; r++) {
            for (size_t k = 0; k < turns.size(); k++) {
                const size_t i = (k + static_cast<size_t>(r)) % turns.size();
                const std::string round = rounds > 1 ? Fmt(", round %d of %d", r + 1, rounds) : "";
                Measure(o, *turns[i], console, perRound, round, samples[i]);
            }
        }
        for (size_t i = 0; i < turns.size(); i++) {
            SetRows(*turns[i], console, samples[i], table);
            for (size_t f = 0; f < floors && i >= floors; f++) {
                OverFloor(*turns[i], console, samples[i], *turns[f], samples[f], "< 0.03 ms", table);
            }
        }
        for (const Target& t : o.targets) {
            if (t.wine) {
                Samples wine;
                Measure(o, t, console, o.commands, "", wine);
                SetRows(t, console, wine, table);
            }
        }
    }
}
