// The rack tests' helpers: units on pseudo-terminals and their names,
// transcripts and JSON read back strictly, so that a malformed line or
// document fails the test, and what /proc tells of the rack's runs.
#include "rack_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "support/fake_tree.h"
#include "support/run_program.h"

const std::string NightlyScript =
    "#timeout 2\r\n"
    "ATI\r\n"
    "#if (LOOP) loop\r\n"
    "AT+X\r\n"
    "#print done\r\n"
    "#goto end\r\n"
    ":loop\r\n"
    "AT\r\n"
    "#goto loop\r\n"
    ":end\r\n";

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

RestartingServer::RestartingServer()
{
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in at = {};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        listen(listener_, 4) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&at), &length) != 0) {
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port_ = ntohs(at.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

RestartingServer::~RestartingServer()
{
    stop_ = true;
    thread_.join();
    close(listener_);
}

std::string RestartingServer::Name() const
{
    return "socket://127.0.0.1:" + std::to_string(port_);
}

void RestartingServer::Serve()
{
    int client = -1;
    auto started = std::chrono::steady_clock::now();
    while (!stop_) {
        struct pollfd p[2] = {{listener_, POLLIN, 0}, {client, POLLIN, 0}};
        if (poll(p, client >= 0 ? 2 : 1, 50) < 0) {
            return;
        }
        // The first connection is dropped a second in: the server restarted.
        if (client >= 0 && connections_ == 1 && std::chrono::steady_clock::now() - started > std::chrono::seconds(1)) {
            close(client);
            client = -1;
            continue;
        }
        if ((p[0].revents & POLLIN) != 0 && client < 0) {
            client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            connections_++;
            started = std::chrono::steady_clock::now();
        }
        if (client >= 0 && (p[1].revents & (POLLIN | POLLHUP)) != 0) {
            char buf[4096];
            const ssize_t k = read(client, buf, sizeof buf);
            if (k <= 0) {
                close(client);
                client = -1;
            } else if (connections_ > 1) {
                (void)!write(client, "\r\nOK\r\n", 6);
            }
        }
    }
    if (client >= 0) {
        close(client);
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

bool TypeUntil(int terminal, const char* key, const std::function<bool(int)>& taken, int every, int tries)
{
    const size_t n = strlen(key);
    for (int i = 0; i < tries; i++) {
        if (write(terminal, key, n) != static_cast<ssize_t>(n)) {
            return false;
        }
        if (taken(every)) {
            return true;
        }
    }
    return false;
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
            } else if (e == 'n' || e == 'r' || e == 't') {
                *out += e == 'n' ? '\n' : e == 'r' ? '\r' : '\t';
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

namespace {

// The rules of Jenkins' JUnit schema (junit-10.xsd of its plugins), in our
// own words: one testsuite of testcases, their counts whole numbers, times
// decimal; a testcase holds any of skipped, error, failure, system-out and
// system-err; a result carries an optional message and type around text.
const char* const JunitSchema = R"(<?xml version="1.0" encoding="UTF-8"?>
<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema">
  <xs:element name="testsuite" type="suite"/>
  <xs:complexType name="suite">
    <xs:sequence>
      <xs:element name="properties" minOccurs="0">
        <xs:complexType>
          <xs:sequence>
            <xs:element name="property" maxOccurs="unbounded">
              <xs:complexType>
                <xs:attribute name="name" type="xs:string" use="required"/>
                <xs:attribute name="value" type="xs:string" use="required"/>
              </xs:complexType>
            </xs:element>
          </xs:sequence>
        </xs:complexType>
      </xs:element>
      <xs:element name="testcase" type="case" minOccurs="0" maxOccurs="unbounded"/>
      <xs:element name="system-out" type="xs:string" minOccurs="0"/>
      <xs:element name="system-err" type="xs:string" minOccurs="0"/>
    </xs:sequence>
    <xs:attribute name="name" type="xs:string" use="required"/>
    <xs:attribute name="tests" type="xs:nonNegativeInteger" use="required"/>
    <xs:attribute name="failures" type="xs:nonNegativeInteger"/>
    <xs:attribute name="errors" type="xs:nonNegativeInteger"/>
    <xs:attribute name="skipped" type="xs:nonNegativeInteger"/>
    <xs:attribute name="disabled" type="xs:nonNegativeInteger"/>
    <xs:attribute name="time" type="xs:decimal"/>
    <xs:attribute name="timestamp" type="xs:string"/>
    <xs:attribute name="hostname" type="xs:string"/>
    <xs:attribute name="id" type="xs:string"/>
    <xs:attribute name="package" type="xs:string"/>
    <xs:attribute name="file" type="xs:string"/>
    <xs:attribute name="log" type="xs:string"/>
    <xs:attribute name="url" type="xs:string"/>
    <xs:attribute name="version" type="xs:string"/>
  </xs:complexType>
  <xs:complexType name="case">
    <xs:choice minOccurs="0" maxOccurs="unbounded">
      <xs:element name="skipped" type="result"/>
      <xs:element name="error" type="result"/>
      <xs:element name="failure" type="result"/>
      <xs:element name="system-out" type="xs:string"/>
      <xs:element name="system-err" type="xs:string"/>
    </xs:choice>
    <xs:attribute name="name" type="xs:string" use="required"/>
    <xs:attribute name="classname" type="xs:string"/>
    <xs:attribute name="time" type="xs:decimal"/>
    <xs:attribute name="assertions" type="xs:string"/>
    <xs:attribute name="status" type="xs:string"/>
    <xs:attribute name="class" type="xs:string"/>
    <xs:attribute name="file" type="xs:string"/>
    <xs:attribute name="line" type="xs:string"/>
    <xs:attribute name="log" type="xs:string"/>
    <xs:attribute name="group" type="xs:string"/>
    <xs:attribute name="url" type="xs:string"/>
  </xs:complexType>
  <xs:complexType name="result" mixed="true">
    <xs:attribute name="message" type="xs:string"/>
    <xs:attribute name="type" type="xs:string"/>
  </xs:complexType>
</xs:schema>
)";

// Prints the parsed document as JSON, strings as UTF-8.
const char* const JunitToJson = R"(
import json, sys, xml.etree.ElementTree as ET
def element(e):
    return {"tag": e.tag, "attrib": e.attrib, "text": e.text or "", "children": [element(c) for c in e]}
print(json.dumps(element(ET.parse(sys.argv[1]).getroot()), ensure_ascii=False))
)";

}  // namespace

bool ReadJunit(const std::string& path, Json* root, std::string* said)
{
    RunOptions options;
    options.command = {"sh", "-c", "python3 -c \"$0\" \"$1\" 2>&1", JunitToJson, path};
    const RunResult r = RunTorvex({}, options);
    if (said != nullptr) {
        *said = r.out;
    }
    return r.status == 0 && ParseJson(r.out, root);
}

std::string JunitFaults(const std::string& path)
{
    const std::string schema = TempFolder() + "/junit.xsd";
    std::ofstream(schema) << JunitSchema;
    RunOptions options;
    options.command = {"sh", "-c", "xmllint --noout --schema \"$0\" \"$1\" 2>&1", schema, path};
    const RunResult r = RunTorvex({}, options);
    if (r.status != 0) {
        return "xmllint: " + r.out;
    }
    // What a schema cannot say: the counts are those of the testcases.
    Json root;
    std::string said;
    if (!ReadJunit(path, &root, &said)) {
        return "not readable by a parser: " + said;
    }
    std::map<std::string, size_t> counts;
    for (const Json& test : root["children"].items) {
        if (test["tag"].text != "testcase") {
            continue;  // the suite's properties
        }
        size_t results = 0;
        for (const Json& child : test["children"].items) {
            const std::string& tag = child["tag"].text;
            if (tag == "failure" || tag == "error" || tag == "skipped") {
                counts[tag == "failure" ? "failures" : tag == "error" ? "errors" : "skipped"]++;
                results++;
            }
        }
        if (results > 1) {
            return "a testcase with more than one result";
        }
        counts["tests"]++;
    }
    for (const char* name : {"tests", "failures", "errors", "skipped"}) {
        if (root["attrib"][name].text != std::to_string(counts[name])) {
            return std::string(name) + " is " + root["attrib"][name].text + ", counted " + std::to_string(counts[name]);
        }
    }
    return "";
}

// A USB serial adapter at ttyUSB<n> in the tree's sysfs, not plugged in yet.
void UsbAdapter(Tree& t, int n, const std::string& vendor, const std::string& serial)
{
    const std::string tty = "ttyUSB" + std::to_string(n);
    const std::string usb = "sys/devices/pci0000:00/usb1/1-" + std::to_string(n + 1);
    t.Usb(usb, {vendor.substr(0, 4), vendor.substr(5), "FTDI", "FT232R USB UART", serial});
    t.Link(usb + "/1-1:1.0/" + tty + "/tty/" + tty + "/device", usb + "/1-1:1.0/" + tty);
    t.Link("sys/class/tty/" + tty, usb + "/1-1:1.0/" + tty + "/tty/" + tty);
}

// Its node (a link to the unit's pseudo-terminal) and its by-id link, as udev makes them; or gone.
void Plug(Tree& t, int n, const std::string& serial, const PtyDevice* device)
{
    const std::string node = t.Root() + "/dev/ttyUSB" + std::to_string(n);
    const std::string id = "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_" + serial + "-if00-port0";
    if (device == nullptr) {
        t.Remove(id);
        unlink(node.c_str());
        return;
    }
    t.Dir("dev/serial/by-id");
    symlink(device->SlavePath().c_str(), node.c_str());
    t.Link(id, "dev/ttyUSB" + std::to_string(n));
}

std::string AsJunitShowsIt(const std::string& text)
{
    std::string shown;
    for (char c : text) {
        shown += c == '\x01' ? "\\x01" : c == '\x1b' ? "\\x1B" : c == '\xff' ? "\\xFF" : std::string(1, c);
    }
    return shown;
}
