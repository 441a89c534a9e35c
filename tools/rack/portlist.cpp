// torvex-rack: the port list file, read strictly: a line the rack cannot
// read for certain is refused rather than guessed at.
#include "portlist.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "run/text.h"

namespace {

bool Blank(char c)
{
    return c == ' ' || c == '\t';
}

// Reads one line's fields into port; empty when the line is well formed.
std::string ReadLine(const std::string& line, RackPort* port)
{
    size_t at = 0;
    if (line[at] == '"') {
        const size_t close = line.find('"', at + 1);
        if (close == std::string::npos) {
            return "the quoted port name has no closing quote";
        }
        port->Name = line.substr(at + 1, close - at - 1);
        at = close + 1;
        if (at < line.size() && !Blank(line[at])) {
            return "a blank is needed after the quoted port name";
        }
    } else {
        while (at < line.size() && !Blank(line[at])) {
            at++;
        }
        port->Name = line.substr(0, at);
        if (port->Name.find('"') != std::string::npos) {
            return "a port name with a quote in it must be quoted as a whole";
        }
        if (StartsWithNoCase(port->Name.c_str(), "label=")) {
            return "a label needs a port name before it";
        }
        if (StartsWithNoCase(port->Name.c_str(), "serial=")) {
            port->Match = "serial=" + port->Name.substr(7);
            port->Name.clear();
            if (port->Match.size() == 7) {
                return "serial= needs a serial number";
            }
        }
    }
    if (port->Name.empty() && port->Match.empty()) {
        return "the port name is empty";
    }
    for (;;) {
        while (at < line.size() && Blank(line[at])) {
            at++;
        }
        if (at >= line.size()) {
            return "";
        }
        const char* word = line.c_str() + at;
        if (StartsWithNoCase(word, "label=")) {
            port->Label = line.substr(at + 6);
            return port->Label.empty() ? "label= needs a text" : "";
        }
        size_t end = at;
        while (end < line.size() && !Blank(line[end])) {
            end++;
        }
        const std::string text = line.substr(at, end - at);
        if (StartsWithNoCase(word, "-BAUD=")) {
            const std::string digits = text.substr(6);
            if (!port->Baud.empty()) {
                return "-BAUD= is given twice";
            }
            if (digits.empty() || digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos ||
                std::stoull(digits) == 0 || std::stoull(digits) > 2147483647ULL) {
                return "-BAUD= needs a speed in bits per second, such as -BAUD=115200";
            }
            port->Baud = digits;
        } else {
            return "unknown word after the port name: " + text;
        }
        at = end;
    }
}

}  // namespace

bool ReadPortList(std::istream& in, std::vector<RackPort>* ports, size_t* badLine, std::string* why)
{
    std::string line;
    size_t number = 0;
    std::map<std::string, size_t> labels;  // this list's, with their lines
    while (std::getline(in, line)) {
        number++;
        if (number == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) {
            line.erase(0, 3);  // the byte order mark some editors put first
        }
        while (!line.empty() && (line.back() == '\r' || Blank(line.back()))) {
            line.pop_back();
        }
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        RackPort port;
        *why = ReadLine(line.substr(first), &port);
        if (why->empty() && !port.Label.empty()) {
            // Two units of one name could not be told apart in any report.
            const auto earlier = labels.find(port.Label);
            const bool listed = std::any_of(ports->begin(), ports->end(),
                                            [&](const RackPort& p) { return p.Label == port.Label; });
            if (earlier != labels.end()) {
                *why = "the label " + port.Label + " is given on line " + std::to_string(earlier->second) + " already";
            } else if (listed) {
                *why = "the label " + port.Label + " is given in an earlier list already";
            }
            labels.emplace(port.Label, number);
        }
        if (!why->empty()) {
            *badLine = number;
            return false;
        }
        port.Line = number;
        ports->push_back(port);
    }
    *badLine = 0;
    if (in.bad()) {
        *why = "read failed";
        return false;
    }
    return true;
}
