// torvex-rack: the ports a rack runs on, and the port list file that names
// them one a line, each with its own speed and label if it needs them.
#pragma once

#include <istream>
#include <string>
#include <vector>

struct RackPort {
    std::string Name;   // as torvex takes it with -PORT=
    std::string Baud;   // digits for -BAUD=, or empty for the rack's own
    std::string Label;  // what the lab calls the unit, or empty
    std::string Match{};  // serial=S: the port discovery finds with that serial number; Name empty till then
    std::string Stable{}; // its stable name, for a port found by discovery
    std::string List{};   // the port list it is written in, or empty
    size_t Line = 0;    // its line there
};

// Reads a port list: per line a name (in double quotes if it holds blanks)
// or serial=S, then optionally -BAUD=n and label=TEXT, TEXT running to the
// line's end. Blank lines, lines starting with # and a UTF-8 byte order mark
// are skipped. A label given to a port already in ports is refused. False on
// the first malformed line, with its number and why; ports read so far are kept.
bool ReadPortList(std::istream& in, std::vector<RackPort>* ports, size_t* badLine, std::string* why);
