// What the rack tests share: where torvex-rack is, its transcripts read back,
// and a small JSON reader for its --json file.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/pty_device.h"
#include "support/standard_device.h"

// Line 4 is the command that fails; a unit that says ASK to ATI is asked at line 8.
extern const std::string RackScript;
// A nightly job's script: a unit that says LOOP to ATI loops at lines 8 and 9 for ever.
extern const std::string NightlyScript;

// The port as the rack is given it: the pseudo-terminal, or its COM name under Wine.
std::string PortName(const PtyDevice& device);

// A rack of n units, each answering as replies say; their ports as the rack is given them.
struct Units {
    std::vector<std::unique_ptr<PtyDevice>> devices;
    std::vector<std::string> ports;
    explicit Units(int n, const std::vector<Rule>& replies = {});
};

// A raw network port (socket://) whose server restarts: the first connection
// is closed a second after it is made, as during torvex's settle; later ones
// answer OK to every burst. On 127.0.0.1 only.
class RestartingServer {
public:
    RestartingServer();
    ~RestartingServer();
    RestartingServer(const RestartingServer&) = delete;
    RestartingServer& operator=(const RestartingServer&) = delete;
    std::string Name() const;  // socket://127.0.0.1:PORT
    int Connections() const { return connections_; }

private:
    void Serve();
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

// The summary row of a port: the line that begins with its name.
std::string Row(const std::string& out, const std::string& port);
// The transcript of the n-th port of a small rack whose port is /dev/pts/N: 0n-dev_pts_N.log.
std::string PtyTranscript(const std::string& dir, int n, const std::string& port);

// torvex-rack beside the program under test (torvex-rack.exe under Wine).
std::string RackExe();
// A new empty folder, removed with what is in it at exit.
std::string TempFolder();
// A USB serial adapter at ttyUSB<n> in a device tree's sysfs, not plugged in yet.
class Tree;
void UsbAdapter(Tree& t, int n, const std::string& vendor, const std::string& serial);
// Its node (a link to the unit's pseudo-terminal) and its by-id link, as udev makes them; or gone.
void Plug(Tree& t, int n, const std::string& serial, const PtyDevice* device);
std::string ReadFile(const std::string& path);
// Types key at a terminal until taken(ms) sees it taken, waiting up to every ms
// after each; false after tries. The rack discards a key typed in the instant
// between a prompt's drawing and the flush that follows it, as it means to; a
// key typed again after the first was taken is not read while nothing is
// asked, and the next prompt's flush discards it.
bool TypeUntil(int terminal, const char* key, const std::function<bool(int)>& taken, int every, int tries);

// The processes whose parent is pid, read from /proc.
std::vector<int> ChildrenOf(int pid);
// A process's state letter from /proc (R, S, T, Z...); 0 when it is gone.
char ProcessState(int pid);
// Where a process's open descriptors lead, from /proc/PID/fd.
std::vector<std::string> OpenFiles(int pid);

// One transcript read back: its time stamps, its notes ("# " lines) and the
// console bytes ("| " lines) joined as they came.
struct Transcript {
    std::vector<std::string> Times;
    std::vector<std::string> Notes;
    std::string Console;
    bool WellFormed = true;  // every line has a time stamp and a kind
    bool InOrder = true;     // the time stamps never go back
};
Transcript ReadTranscript(const std::string& path);

// A JSON value, as much as the rack writes.
struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    double number = 0;
    bool boolean = false;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> fields;
    const Json& operator[](const std::string& name) const;
};
// Parses a whole document; false when it is not JSON.
bool ParseJson(const std::string& text, Json* value);

// A JUnit XML file checked against the rules of the schema that Jenkins'
// JUnit plugin documents (written down in rack_support.cpp): empty when it
// holds, else what xmllint or the count check says.
std::string JunitFaults(const std::string& path);
// The document as a parser reads it back, as JSON: each element an object
// with "tag", "attrib" (an object), "text" and "children"; said, when given,
// gets what the parser printed.
bool ReadJunit(const std::string& path, Json* root, std::string* said = nullptr);
// What the JUnit output shows of a transcript: what XML cannot carry escaped as the console shows it.
std::string AsJunitShowsIt(const std::string& text);
