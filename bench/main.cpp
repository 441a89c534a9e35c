// torvex_bench: runs the real torvex (Linux build, and torvex.exe under Wine)
// against a device played on the master side of a pseudo-terminal, and prints a
// table of turnaround, CPU, memory, throughput, start-up and rack figures.
// A black-box measurement: it only spawns the program and watches the wire,
// the console and /proc, so it measures exactly what a user runs.
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "figures.h"

namespace {

void Print(const Table& table, const std::vector<Target>& targets)
{
    std::vector<std::string> head = {"Figure", "Target"};
    for (const Target& t : targets) {
        head.push_back(t.name);
    }
    std::vector<std::vector<std::string>> cells = {head};
    for (const Row& r : table.rows) {
        std::vector<std::string> line = {r.figure, r.target};
        for (const Target& t : targets) {
            auto it = r.value.find(t.name);
            line.push_back(it == r.value.end() ? "-" : it->second);
        }
        cells.push_back(line);
    }
    std::vector<size_t> width(head.size(), 0);
    for (const auto& line : cells) {
        for (size_t i = 0; i < line.size(); i++) {
            width[i] = std::max(width[i], line[i].size());
        }
    }
    for (size_t n = 0; n < cells.size(); n++) {
        std::string s = "|";
        for (size_t i = 0; i < cells[n].size(); i++) {
            s += " " + cells[n][i] + std::string(width[i] - cells[n][i].size(), ' ') + " |";
        }
        printf("%s\n", s.c_str());
        if (n == 0) {
            s = "|";
            for (size_t i = 0; i < width.size(); i++) {
                s += std::string(width[i] + 2, '-') + "|";
            }
            printf("%s\n", s.c_str());
        }
    }
}

void Usage()
{
    fprintf(stderr,
            "usage: torvex_bench [--linux PATH] [--also NAME=PATH] [--wine PATH.exe] [--floor PATH]\n"
            "                    [--check PATH] [--rack-tool PATH] --data DIR\n"
            "                    [--commands N] [--rounds N] [--runs N] [--rack N]\n"
            "                    [--only turnaround,cpu,memory,speed,labels,check,startup,rack,runcpu,remote,\n"
            "                           rackremote,flood,station]\n"
            "                    [--log FILE]\n"
            "Under --wine, WINEPREFIX names the prefix to use.\n");
    exit(2);
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--linux" && v) {
            o.targets.push_back(Target{"Linux", v, false, "", {}});
            i++;
        } else if (a == "--also" && v && strchr(v, '=') != nullptr) {
            // Another Linux build in a column of its own, e.g. one with a proposed change.
            const std::string nv = v;
            o.targets.push_back(Target{nv.substr(0, nv.find('=')), nv.substr(nv.find('=') + 1), false, "", {}});
            i++;
        } else if (a == "--floor" && v) {
            // The least a program can do per command, silent and printing: columns of
            // their own, turnaround only.
            o.floor = Target{"floor", v, false, "", {}};
            o.printingFloor = Target{"printing floor", v, false, "", {"--print"}};
            i++;
        } else if (a == "--check" && v) {
            o.checker = v;
            i++;
        } else if (a == "--rack-tool" && v) {
            o.rackTool = v;
            i++;
        } else if (a == "--wine" && v) {
            const char* prefix = getenv("WINEPREFIX");
            if (prefix == nullptr) {
                Usage();
            }
            o.targets.push_back(Target{"Wine", v, true, prefix, {}});
            i++;
        } else if (a == "--data" && v) {
            o.data = v;
            i++;
        } else if (a == "--commands" && v) {
            o.commands = std::max(2, atoi(v));
            i++;
        } else if (a == "--rounds" && v) {
            o.rounds = std::max(1, atoi(v));
            i++;
        } else if (a == "--runs" && v) {
            o.startRuns = std::max(1, atoi(v));
            i++;
        } else if (a == "--rack" && v) {
            o.rack = std::max(1, atoi(v));
            i++;
        } else if (a == "--only" && v) {
            std::string list = v;
            for (size_t at = 0; at <= list.size();) {
                size_t end = list.find(',', at);
                end = end == std::string::npos ? list.size() : end;
                o.only.insert(list.substr(at, end - at));
                at = end + 1;
            }
            i++;
        } else if (a == "--log" && v) {
            OpenLog(v);
            i++;
        } else {
            Usage();
        }
    }
    if (o.targets.empty() || o.data.empty()) {
        Usage();
    }
    // Fixed thresholds: freed buffers go back to the system instead of staying resident.
    mallopt(M_MMAP_THRESHOLD, 64 * 1024);
    mallopt(M_TRIM_THRESHOLD, 64 * 1024);
    mkdir(o.data.c_str(), 0755);
    DumpDir = o.data;
    signal(SIGPIPE, SIG_IGN);
    // A rack holds four descriptors a run: allow as many as the system lets us.
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    const std::string loadBefore = LoadAvg();
    Note("load before: %s", loadBefore.c_str());
    Table table;
    if (o.Want("turnaround")) {
        TurnaroundFigures(o, table);
    }
    const bool scripts = o.Want("memory") || o.Want("speed") || o.Want("labels") || o.Want("check");
    LabelScan scan;
    if (o.Want("labels") || o.Want("check")) {
        scan = LabelScript(o);
    }
    bool checked = false;
    for (const Target& t : o.targets) {
        if (o.Want("cpu")) {
            Cpu(o, t, table);
        }
        if (scripts) {
            const ScriptTimes empty = EmptyScript(o, t, table);
            if (o.Want("memory") || o.Want("speed")) {
                const ScriptTimes million = MillionLines(o, t, empty);
                if (o.Want("memory")) {
                    Memory(t, empty, million, table);
                }
                if (o.Want("speed")) {
                    Speed(t, million, table);
                }
            }
            // One checker run, against the first Linux build's scan.
            const bool check = o.Want("check") && !t.wine && !checked;
            if (o.Want("labels") || check) {
                Labels(t, scan, empty, table);
                if (check) {
                    Check(o, t, scan, empty, table);
                    checked = true;
                }
            }
        }
        if (o.Want("startup")) {
            Startup(o, t, table);
        }
        if (o.Want("rack") && !t.wine) {
            Rack(o, t, table);
        }
        if (o.Want("runcpu") && !t.wine) {
            RunCpu(o, t, table);
        }
        if (o.Want("remote")) {
            Remote(o, t, table);
        }
        if (o.Want("flood")) {
            Flood(o, t, table);
        }
        // torvex-rack runs the torvex beside it: the first column's only.
        if (o.Want("rackremote") && !o.rackTool.empty() && &t == &o.targets.front()) {
            RackRemote(o, t, table);
        }
        if (o.Want("station") && !o.rackTool.empty() && &t == &o.targets.front()) {
            Station(o, t, table);
        }
    }
    const std::string loadAfter = LoadAvg();
    Note("load after: %s", loadAfter.c_str());
    // The floors' columns after the Linux builds, before Wine's.
    std::vector<Target> columns;
    for (const Target& t : o.targets) {
        if (!t.wine) {
            columns.push_back(t);
        }
    }
    if (!o.floor.exe.empty() && o.Want("turnaround")) {
        columns.push_back(o.floor);
        columns.push_back(o.printingFloor);
    }
    for (const Target& t : o.targets) {
        if (t.wine) {
            columns.push_back(t);
        }
    }
    Print(table, columns);
    printf("\n%s\nLoad average (1, 5, 15 min) before: %s; after: %s\n", Machine().c_str(), loadBefore.c_str(),
           loadAfter.c_str());
    return 0;
}
