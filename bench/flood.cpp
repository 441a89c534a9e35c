// 11: a network port flooded. The end-to-end tests' hostile server sends bytes as
// fast as TCP lets it, from the moment it accepts or from the first command after
// a well-behaved wake-up, on rfc2217:// and socket://. Each run: its time to end
// against the limit that ends it, its peak memory, its CPU as a share of the time
// the flood lasted, and the bytes the server sent against those the program read.
// What TCP holds between them (the server's send queue, the program's receive
// queue) comes from /proc/net/tcp. A plain reader of the same server, as fast
// as it can, shows how fast the flood can come: where the program reads less, it
// cannot keep up.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "e2e/hostile_server.h"
#include "figures.h"
#include "scripts.h"

namespace {

// Bytes TCP holds on the connection to 127.0.0.1:port: sent by the server, not yet
// read by its client. -1 when the connection is not (or no longer) there.
long long InFlight(int port)
{
    FILE* f = fopen("/proc/net/tcp", "r");
    if (f == nullptr) {
        return -1;
    }
    char line[512];
    long long held = 0;
    bool seen = false;
    while (fgets(line, sizeof line, f) != nullptr) {
        unsigned local = 0, remote = 0, state = 0;
        unsigned long long tx = 0, rx = 0;
        if (sscanf(line, " %*d: %*x:%x %*x:%x %x %llx:%llx", &local, &remote, &state, &tx, &rx) != 5 ||
            state != 1) {  // established only: not the listener
            continue;
        }
        if (static_cast<int>(local) == port) {
            held += static_cast<long long>(tx);  // the server's side: sent, not yet taken in
            seen = true;
        } else if (static_cast<int>(remote) == port) {
            held += static_cast<long long>(rx);  // the program's side: taken in, not yet read
        }
    }
    fclose(f);
    return seen ? held : -1;
}

// How fast the server floods a reader that does nothing else, in MB/s.
double PlainReaderMBps()
{
    HostileServer server(HostileServer::Kind::FloodFromAccept, false, 2000);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(server.Port()));
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0 || connect(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
        Die("connect to the flooding server");
    }
    static char buf[65536];
    const int64_t start = Now();
    long long got = 0;
    while (Now() - start < 1000 * MS) {
        const ssize_t k = recv(s, buf, sizeof buf, 0);
        if (k <= 0) {
            break;
        }
        got += k;
    }
    const double mbps = static_cast<double>(got) / 1e6 / (Ms(Now() - start) / 1000);
    close(s);
    return mbps;
}

struct FloodCase {
    const char* title;
    HostileServer::Kind kind;
    bool telnet;
    const char* scheme;
    const char* script;
    int limitMs;  // what ends the run, from its start
    int status;
    const char* ends;
};

const char* const Command = "#timeout 3\r\nAT\r\n";

// socket:// waits 0.2 s while it opens, for a server that turns it away. From
// accept: the 3 s settling pause, two wake-ups of 15 s that never see an answer,
// then the command's 3 s. After configure: the pause, the wake-up's answer and
// its 1 s quiet gap, then the command's 3 s.
const FloodCase Cases[] = {
    {"from accept, rfc2217://", HostileServer::Kind::FloodFromAccept, false, "rfc2217", Command, 5000, 3,
     "the 5 s configure limit"},
    {"from accept, socket://", HostileServer::Kind::FloodFromAccept, false, "socket", Command, 36200, 1,
     "0.2 s opening, 3 s pause, 2 x 15 s wake-up, #timeout 3"},
    {"after configure, rfc2217://", HostileServer::Kind::FloodAfterConfigure, true, "rfc2217", Command, 7000, 1,
     "3 s pause, 1 s quiet after the wake-up's answer, #timeout 3"},
    {"after configure, socket://", HostileServer::Kind::FloodAfterConfigure, false, "socket", Command, 7200, 1,
     "0.2 s opening, 3 s pause, 1 s quiet after the wake-up's answer, #timeout 3"},
};

// Under Wine the process holds Wine's own libraries, more than 8 MiB: the peak of a
// run of an empty script on a local port is given beside the flood's.
double EmptyRunMiB(const Options& o, const Target& t)
{
    const std::string empty = o.data + "/empty.txt";
    WriteFile(empty, "");
    RunPlan plan;
    plan.args = {"@SCRIPT", "@PORT"};
    plan.script = empty;
    plan.limitMs = 60000;
    const Run run = RunProgram(t, plan);
    Note("[%s] an empty script on a local port: status %d, peak %ld KiB", t.name.c_str(), run.status,
         run.ru.ru_maxrss);
    return static_cast<double>(run.ru.ru_maxrss) / 1024;
}

void FloodRun(const Options& o, const Target& t, const FloodCase& c, double plainMBps, double emptyMiB, Table& table)
{
    const std::string script = o.data + "/flood.txt";
    WriteFile(script, c.script);
    HostileServer server(c.kind, c.telnet, c.limitMs + 10000);
    const std::string name = server.Name(c.scheme);
    const int port = server.Port();
    Note("[%s] flood %s, %s; ends by %s (load %s)", t.name.c_str(), c.title, name.c_str(), c.ends,
         LoadAvg().c_str());
    RunPlan plan;
    plan.args = {"@SCRIPT", "-PORT=" + name};
    plan.script = script;
    plan.devices = 0;
    plan.limitMs = c.limitMs + 30000;
    const bool fromAccept = c.kind == HostileServer::Kind::FloodFromAccept;
    plan.label = std::string("flood-") + c.scheme + (fromAccept ? "-accept" : "-after");
    plan.tickMs = 20;
    std::vector<pid_t> servers;
    if (t.wine) {
        servers = PrefixProcesses(t.prefix, true);
    }
    Sample first, last;
    long long sent = 0, held = 0;
    long hwm = 0;
    plan.tick = [&](Run& run, int64_t now) {
        // Only once the server has sent: the child has long been the program then.
        const size_t flooded = server.Flooded();
        if (flooded == 0) {
            return;
        }
        const long long h = InFlight(port);
        if (h < 0) {
            return;  // the connection has gone
        }
        hwm = std::max(hwm, ProcKiB(std::to_string(run.pid), "status", "VmHWM:"));
        last = TakeSample(run.pid, servers, now);
        if (first.at == 0) {
            first = last;
        }
        sent = static_cast<long long>(flooded);
        held = h;
    };
    const Run run = RunProgram(t, plan);
    const double wallS = Ms(run.exitAt - run.spawnAt) / 1000;
    const double floodS = Ms(last.at - first.at) / 1000;
    const double cpuShare = floodS > 0 ? Ms(Delta(first.program, last.program).run) / 1000 / floodS : 0;
    const double serverShare = floodS > 0 ? Ms(Delta(first.tree, last.tree).run) / 1000 / floodS : 0;
    const long long read = sent - held;
    const double readMBps = floodS > 0 ? static_cast<double>(read) / 1e6 / floodS : 0;
    const double peakMiB = static_cast<double>(std::max(static_cast<long>(run.ru.ru_maxrss), hwm)) / 1024;
    Note("  status %d in %.3f s; flood seen for %.3f s; sent %lld, held by TCP %lld, read %lld bytes (%.1f MB/s); "
         "CPU %.3f ms in all, %.1f %% of the flood's time%s; peak %ld KiB (VmHWM seen %ld KiB); console: %.200s",
         run.status, wallS, floodS, sent, held, read, readMBps, CpuMs(run.ru), cpuShare * 100,
         t.wine ? Fmt(", wineserver %.1f %%", serverShare * 100).c_str() : "", run.ru.ru_maxrss, hwm,
         run.consoleText.c_str());
    const std::string row = std::string("11. flood ") + c.title;
    const double over = wallS - c.limitMs / 1000.0;
    // Past the limit: the process's start, and Wine's.
    table.Set(row + ": time to end", Fmt("%.1f s + 0.5 (Wine 1)", c.limitMs / 1000.0), t.name,
              Fmt("%.2f s (%+.2f; status %d%s) ", wallS, over, run.status,
                  run.status == c.status ? "" : " UNEXPECTED") +
                  Verdict(over, t.wine ? 1.0 : 0.5));
    table.Set(row + ": peak memory", "<= 8 MiB", t.name,
              t.wine ? Fmt("%.2f MiB (%+.2f over an empty script)", peakMiB, peakMiB - emptyMiB)
                     : Verdict(peakMiB, 8, "%.2f MiB"));
    table.Set(row + ": CPU while flooded", "", t.name,
              Fmt("%.0f %% of %.1f s", cpuShare * 100, floodS) +
                  (t.wine ? Fmt("; wineserver %.0f %%", serverShare * 100) : std::string()));
    table.Set(row + ": sent / read", "", t.name,
              Fmt("%.1f / %.1f MB, read %.0f MB/s, %.1f %% of a plain reader's %.0f", static_cast<double>(sent) / 1e6,
                  static_cast<double>(read) / 1e6, readMBps, readMBps / plainMBps * 100, plainMBps));
}

}  // namespace

void Flood(const Options& o, const Target& t, Table& table)
{
    const double plain = PlainReaderMBps();
    Note("[%s] the flooding server to a plain reader: %.0f MB/s", t.name.c_str(), plain);
    const double emptyMiB = t.wine ? EmptyRunMiB(o, t) : 0;
    for (const FloodCase& c : Cases) {
        FloodRun(o, t, c, plain, emptyMiB, table);
    }
}
