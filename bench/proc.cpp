// The harness's readings from /proc: each thread's CPU and run-queue wait,
// memory counters, the processes of a Wine prefix, and the machine itself.
#include <dirent.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "harness.h"

namespace {

TaskTimes ReadSchedstat(const std::string& path)
{
    TaskTimes t;
    FILE* f = fopen(path.c_str(), "r");
    if (f == nullptr) {
        return t;
    }
    long long run = 0, wait = 0;
    if (fscanf(f, "%lld %lld", &run, &wait) == 2) {
        t.run = run;
        t.wait = wait;
    }
    fclose(f);
    return t;
}


bool EnvironHas(pid_t pid, const std::string& entry)
{
    FILE* f = fopen(("/proc/" + std::to_string(pid) + "/environ").c_str(), "r");
    if (f == nullptr) {
        return false;
    }
    std::string env;
    char buf[8192];
    size_t k;
    while ((k = fread(buf, 1, sizeof buf, f)) > 0) {
        env.append(buf, k);
    }
    fclose(f);
    return env.compare(0, entry.size() + 1, entry + '\0') == 0 ||
           env.find('\0' + entry + '\0') != std::string::npos;
}

std::string Comm(pid_t pid)
{
    FILE* f = fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "r");
    char buf[64] = "";
    if (f != nullptr) {
        if (fgets(buf, sizeof buf, f) == nullptr) {
            buf[0] = '\0';
        }
        fclose(f);
    }
    return buf;
}

long long StealTicks()
{
    FILE* f = fopen("/proc/stat", "r");
    long long v[8] = {};
    if (f != nullptr) {
        if (fscanf(f, "cpu %lld %lld %lld %lld %lld %lld %lld %lld", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6],
                   &v[7]) != 8) {
            v[7] = 0;
        }
        fclose(f);
    }
    return v[7];
}

}  // namespace

// Every live thread of a process.
void ReadThreads(pid_t pid, Threads* out)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return;
    }
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] >= '0' && e->d_name[0] <= '9') {
            (*out)[atol(e->d_name)] = ReadSchedstat(dir + "/" + e->d_name + "/schedstat");
        }
    }
    closedir(d);
}

std::string LoadAvg()
{
    FILE* f = fopen("/proc/loadavg", "r");
    char buf[128] = "?";
    if (f != nullptr) {
        if (fgets(buf, sizeof buf, f) == nullptr) {
            strcpy(buf, "?");
        }
        fclose(f);
    }
    std::string s = buf;
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) {
        s.pop_back();
    }
    return s;
}

std::string Machine()
{
    std::string model = "?";
    FILE* f = fopen("/proc/cpuinfo", "r");
    char line[512];
    while (f != nullptr && fgets(line, sizeof line, f) != nullptr) {
        if (strncmp(line, "model name", 10) == 0 && strchr(line, ':') != nullptr) {
            model = strchr(line, ':') + 2;
            model.erase(model.find_last_not_of(" \n") + 1);
            break;
        }
    }
    if (f != nullptr) {
        fclose(f);
    }
    struct utsname u;
    uname(&u);
    return Fmt("Machine: %ld cores, %s, kernel %s", sysconf(_SC_NPROCESSORS_ONLN), model.c_str(), u.release);
}

TaskTimes Delta(const Threads& a, const Threads& b)
{
    TaskTimes d;
    for (const auto& kv : b) {
        auto it = a.find(kv.first);
        d.run += kv.second.run - (it == a.end() ? 0 : it->second.run);
        d.wait += kv.second.wait - (it == a.end() ? 0 : it->second.wait);
    }
    return d;
}

namespace {

// Every process but this one that `wanted` accepts.
std::vector<pid_t> Processes(const std::function<bool(pid_t)>& wanted)
{
    std::vector<pid_t> pids;
    DIR* d = opendir("/proc");
    if (d == nullptr) {
        return pids;
    }
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') {
            continue;
        }
        const pid_t pid = static_cast<pid_t>(atol(e->d_name));
        if (pid != getpid() && wanted(pid)) {
            pids.push_back(pid);
        }
    }
    closedir(d);
    return pids;
}

pid_t ParentOf(pid_t pid)
{
    FILE* f = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    char buf[512] = "";
    if (f != nullptr) {
        if (fgets(buf, sizeof buf, f) == nullptr) {
            buf[0] = '\0';
        }
        fclose(f);
    }
    // "pid (comm) state ppid ...": the name may hold spaces and parentheses.
    const char* end = strrchr(buf, ')');
    int ppid = 0;
    return end != nullptr && sscanf(end + 1, " %*c %d", &ppid) == 1 ? static_cast<pid_t>(ppid) : 0;
}

}  // namespace

std::vector<pid_t> PrefixProcesses(const std::string& prefix, bool serverOnly)
{
    const std::string entry = "WINEPREFIX=" + prefix;
    return Processes([&](pid_t pid) {
        return EnvironHas(pid, entry) && (!serverOnly || Comm(pid).rfind("wineserver", 0) == 0);
    });
}

std::vector<pid_t> ChildProcesses(const std::string& name)
{
    return Processes([&](pid_t pid) { return ParentOf(pid) == getpid() && Comm(pid) == name + "\n"; });
}

long ProcKiB(const std::string& pid, const char* file, const char* key)
{
    FILE* f = fopen(("/proc/" + pid + "/" + file).c_str(), "r");
    if (f == nullptr) {
        return 0;
    }
    char line[256];
    long kib = 0;
    const size_t n = strlen(key);
    while (fgets(line, sizeof line, f) != nullptr) {
        if (strncmp(line, key, n) == 0) {
            kib = atol(line + n);
            break;
        }
    }
    fclose(f);
    return kib;
}

long ThreadsSum(pid_t pid, const char* key)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return 0;
    }
    long n = 0;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] >= '0' && e->d_name[0] <= '9') {
            n += ProcKiB(std::to_string(pid) + "/task/" + e->d_name, "status", key);
        }
    }
    closedir(d);
    return n;
}

long VoluntarySwitches(pid_t pid)
{
    return ThreadsSum(pid, "voluntary_ctxt_switches:");
}

Sample TakeSample(pid_t program, const std::vector<pid_t>& tree, int64_t now)
{
    Sample s;
    s.at = now;
    s.steal = StealTicks();
    ReadThreads(program, &s.program);
    ReadThreads(getpid(), &s.bench);
    for (pid_t p : tree) {
        ReadThreads(p, &s.tree);
    }
    return s;
}
