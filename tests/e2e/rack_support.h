// What the rack tests share: where torvex-rack is, its transcripts read back,
// and a small JSON reader for its --json file.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

// torvex-rack beside the program under test (torvex-rack.exe under Wine).
std::string RackExe();
// A new empty folder, removed with what is in it at exit.
std::string TempFolder();
std::string ReadFile(const std::string& path);

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
