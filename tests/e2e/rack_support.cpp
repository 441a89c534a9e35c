// The rack tests' helpers: units on pseudo-terminals and their names,
// transcripts and JSON read back strictly, so that a malformed line or
// document fails the test, and what /proc tells of the rack's runs.
#include "rack_support.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "support/run_program.h"

// Line 4 is the command that fails; a unit that says ASK to ATI is asked at line 8.
const std::string RackScript =
    "#timeout 2\r\n"
    "ATI\r\n"
    "#if (ASK) ask\r\n"
    "AT+X\r\n"
    "#print done\r\n"
    "#goto end\r\n"
    ":ask\r\n"
    "#prompt Ready?\r\n"
    "#if (Y) ready\r\n"
    "#print not ready\r\n"
    "#goto end\r\n"
    ":ready\r\n"
    "#print ready\r\n"
    ":end\r\n";

// The port as the rack is given it: the pseudo-terminal, or its COM name under Wine.
std::string PortName(const PtyDevice& device)
{
    return PortArg(device).substr(6);
}

Units::Units(int n, const std::vector<Rule>& replies)
{
    for (int i = 0; i < n; i++) {
        devices.push_back(std::make_unique<PtyDevice>());
        devices.back()->SetHandler(StandardDevice(replies));
        ports.push_back(PortName(*devices.back()));
    }
}

// The summary row of a port: the line that begins with its name.
std::string Row(const std::string& out, const std::string& port)
{
    size_t at = 0;
    while ((at = out.find(port + " ", at)) != std::string::npos) {
        if (at == 0 || out[at - 1] == '\n') {
            const size_t end = out.find('\n', at);
            const std::string row = out.substr(at, end - at);
            if (row.find(": ") != port.size()) {  // not a tagged console line
                return row;
            }
        }
        at++;
    }
    return "";
}

// The transcript of the n-th port of a small rack whose port is /dev/pts/N: 0n-dev_pts_N.log.
std::string PtyTranscript(const std::string& dir, int n, const std::string& port)
{
    return dir + "/0" + std::to_string(n) + "-dev_pts_" + port.substr(port.rfind('/') + 1) + ".log";
}

std::string RackExe()
{
    return CompanionExe("torvex-rack");
}

namespace {

struct Folders {
    std::mutex mutex;
    std::vector<std::string> paths;
    ~Folders()
    {
        for (const std::string& path : paths) {
            const std::string command = "rm -rf '" + path + "'";
            (void)!system(command.c_str());
        }
    }
} folders;

}  // namespace

std::string TempFolder()
{
    char dir[] = "/tmp/torvex-rack-test-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    std::lock_guard<std::mutex> lock(folders.mutex);
    folders.paths.push_back(dir);
    return dir;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

Transcript ReadTranscript(const std::string& path)
{
    static const std::regex stamp(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$)");
    Transcript t;
    const std::string text = ReadFile(path);
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        const std::string line = text.substr(at, end - at);
        at = end;
        const std::string time = line.substr(0, 24);
        if (line.size() < 27 || !std::regex_match(time, stamp) || line[24] != ' ' || line[26] != ' ' ||
            line.back() != '\n') {
            t.WellFormed = false;
            continue;
        }
        if (!t.Times.empty() && time < t.Times.back()) {
            t.InOrder = false;
        }
        t.Times.push_back(time);
        if (line[25] == '#') {
            t.Notes.push_back(line.substr(27, line.size() - 28));
        } else if (line[25] == '|') {
            t.Console += line.substr(27);
        } else {
            t.WellFormed = false;
        }
    }
    return t;
}

std::vector<int> ChildrenOf(int pid)
{
    std::vector<int> children;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return children;
    }
    while (const struct dirent* entry = readdir(proc)) {
        const int child = atoi(entry->d_name);
        if (child <= 0) {
            continue;
        }
        // The parent is the fourth field, after the name in parentheses.
        const std::string stat = ReadFile("/proc/" + std::to_string(child) + "/stat");
        const size_t close = stat.rfind(')');
        int parent = 0;
        if (close != std::string::npos && sscanf(stat.c_str() + close + 1, " %*c %d", &parent) == 1 &&
            parent == pid) {
            children.push_back(child);
        }
    }
    closedir(proc);
    return children;
}

char ProcessState(int pid)
{
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? 0 : stat[close + 2];
}

std::vector<std::string> OpenFiles(int pid)
{
    std::vector<std::string> files;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* fds = opendir(dir.c_str());
    if (fds == nullptr) {
        return files;
    }
    while (const struct dirent* entry = readdir(fds)) {
        char target[4096];
        const ssize_t n = readlink((dir + "/" + entry->d_name).c_str(), target, sizeof target - 1);
        if (n > 0) {
            files.emplace_back(target, static_cast<size_t>(n));
        }
    }
    closedir(fds);
    return files;
}

const Json& Json::operator[](const std::string& name) const
{
    static const Json none;
    const auto found = fields.find(name);
    return found == fields.end() ? none : found->second;
}

namespace {

struct JsonReader {
    const std::string& s;
    size_t i = 0;

    void Blanks()
    {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\n' || s[i] == '\r' || s[i] == '\t')) {
            i++;
        }
    }
    bool Word(const char* word)
    {
        const std::string w = word;
        if (s.compare(i, w.size(), w) != 0) {
            return false;
        }
        i += w.size();
        return true;
    }
    bool Text(std::string* out)
    {
        if (s[i] != '"') {
            return false;
        }
        for (i++; i < s.size() && s[i] != '"'; i++) {
            if (static_cast<unsigned char>(s[i]) < 0x20) {
                return false;
            }
            if (s[i] != '\\') {
                *out += s[i];
                continue;
            }
            const char e = s[++i];
            if (e == 'u' && i + 4 < s.size()) {
                const long code = strtol(s.substr(i + 1, 4).c_str(), nullptr, 16);
                if (code > 0xFF) {
                    return false;  // the rack escapes single bytes only
                }
                *out += static_cast<char>(code);
                i += 4;
            } else if (e == '"' || e == '\\' || e == '/') {
                *out += e;
            } else if (e == 'n') {
                *out += '\n';
            } else {
                return false;
            }
        }
        return i++ < s.size();
    }
    bool Value(Json* v)
    {
        Blanks();
        if (i >= s.size()) {
            return false;
        }
        if (s[i] == '{') {
            v->kind = Json::Object;
            i++;
            Blanks();
            if (s[i] == '}') {
                i++;
                return true;
            }
            for (;;) {
                std::string name;
                Blanks();
                if (!Text(&name)) {
                    return false;
                }
                Blanks();
                if (s[i++] != ':' || !Value(&v->fields[name])) {
                    return false;
                }
                Blanks();
                if (s[i] == '}') {
                    i++;
                    return true;
                }
                if (s[i++] != ',') {
                    return false;
                }
            }
        }
        if (s[i] == '[') {
            v->kind = Json::Array;
            i++;
            Blanks();
            if (s[i] == ']') {
                i++;
                return true;
            }
            for (;;) {
                v->items.emplace_back();
                if (!Value(&v->items.back())) {
                    return false;
                }
                Blanks();
                if (s[i] == ']') {
                    i++;
                    return true;
                }
                if (s[i++] != ',') {
                    return false;
                }
            }
        }
        if (s[i] == '"') {
            v->kind = Json::String;
            return Text(&v->text);
        }
        if (Word("null")) {
            return true;
        }
        if (Word("true") || Word("false")) {
            v->kind = Json::Bool;
            v->boolean = s[i - 1] == 'e' && s[i - 2] == 'u';
            return true;
        }
        char* end = nullptr;
        v->number = strtod(s.c_str() + i, &end);
        if (end == s.c_str() + i) {
            return false;
        }
        v->kind = Json::Number;
        i = static_cast<size_t>(end - s.c_str());
        return true;
    }
};

}  // namespace

bool ParseJson(const std::string& text, Json* value)
{
    JsonReader reader{text};
    if (!reader.Value(value)) {
        return false;
    }
    reader.Blanks();
    return reader.i == text.size();
}
