// torvex-rack: the command line, and where the ports come from.
#include "options.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <thread>

#include "history.h"
#include "os.h"
#include "portlist.h"
#include "run/text.h"
#include "tools/ports/ports.h"
#include "units.h"

#ifndef TORVEX_RACK_VERSION
#define TORVEX_RACK_VERSION "unknown"
#endif

namespace {

void Usage(FILE* out)
{
    fprintf(out,
            "Usage: torvex-rack [options] SCRIPT PORT...\n"
            "\n"
            "Runs torvex with SCRIPT on every PORT at once, each port in a torvex process of\n"
            "its own, with a live view, a timestamped transcript per port and a summary.\n"
            "\n"
            "  --jobs N          run at most N at once (default: all)\n"
            "  --ports-from FILE take ports from FILE, one a line (a name, or serial=S),\n"
            "                    each optionally with -BAUD=n and label=TEXT; - is\n"
            "                    standard input\n"
            "  --all             every port that torvex-ports lists as usable\n"
            "  --match KEY=VALUE the ports torvex-ports finds with serial=S, usb=VVVV:PPPP\n"
            "                    or by-id=TEXT (part of the /dev/serial/by-id name); adds up\n"
            "  --unit-timeout S  end a run still going after S seconds: it failed\n"
            "  --timeout S       end the whole rack after S seconds\n"
            "  --retries N       start a run again, up to N more times, where nothing of\n"
            "                    the script reached the device (a port not there yet)\n"
            "  --retry-wait S    seconds between attempts (default: 5)\n"
            "  --log-dir DIR     transcripts in DIR (default: torvex-rack-<UTC time>)\n"
            "  --json FILE       the summary as JSON in FILE as well\n"
            "  --junit FILE      the summary as JUnit XML in FILE, for CI; for one of the\n"
            "                    two, - is standard output (the console then on standard error)\n"
            "  --transcript-limit SIZE  bytes a transcript may hold, K, M or G after the\n"
            "                    number for KiB, MiB or GiB (default: 64M); then it is cut\n"
            "  --dry-run         list the units that would run and every reason the rack\n"
            "                    would refuse to start; no port is opened\n"
            "  --record DB       add every run to the SQLite database DB (Linux)\n"
            "  --watch           a station: run each unit matched (or every USB serial\n"
            "                    port) as it is plugged in, until Ctrl-C or --timeout (Linux)\n"
            "  --again           with --watch, run units that passed earlier too\n"
            "  --identify FILE --unit-id REGEX  with --watch, units behind a bench cable:\n"
            "                    FILE is run first, with -DEBUG, and the first match of\n"
            "                    REGEX in its output (its first group, if it has one) is\n"
            "                    the unit; Enter starts the next unit on the cable\n"
            "  -BAUD=n -DEBUG -UTC  passed on to torvex\n"
            "  --help            show this text\n"
            "  --version         show the version\n"
            "\n"
            "       torvex-rack --watch [--match KEY=VALUE] [--record DB] [options] SCRIPT\n"
            "       torvex-rack --history DB [--unit UNIT] [--json]\n"
            "prints the runs recorded in DB, newest first: all of them, or one unit's.\n"
            "\n"
            "Exit status: 0 every port ok, 1 one or more failed, 2 refused before any\n"
            "unit was woken (--match or --all finding no port too), 3 --timeout ended\n"
            "the rack with units not done, 4 a report or transcript could not be written;\n"
            "ended by Ctrl-C or SIGTERM, it ends every run, prints the summary and ends\n"
            "by that signal.\n");
}

int Wrong(const std::string& what)
{
    fprintf(stderr, "torvex-rack: %s\n", what.c_str());
    fprintf(stderr, "Try 'torvex-rack --help'.\n");
    return 2;
}

// A refusal of the rack's command line: the first is said and kept for the
// reports; the rest of the line is still read, for the outputs it names.
int Refuse(RackOptions* options, const std::string& what)
{
    if (options->Refusal.empty()) {
        options->Refusal = what;
        (void)Wrong(what);
    }
    return 2;
}

// The value of an option given as "--name VALUE" or "--name=VALUE".
bool OptionValue(char** argv, int* i, const char* name, std::string* value)
{
    const size_t n = strlen(name);
    if (strncmp(argv[*i], name, n) != 0) {
        return false;
    }
    if (argv[*i][n] == '=') {
        *value = argv[*i] + n + 1;
        return true;
    }
    if (argv[*i][n] != '\0') {
        return false;
    }
    *value = argv[++*i];
    return true;
}

// A whole number of seconds (or tries) from min up to a day's worth.
bool Count(const std::string& value, long min, int* count)
{
    char* end = nullptr;
    const long n = strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || n < min || n > 86400) {
        return false;
    }
    *count = static_cast<int>(n);
    return true;
}

std::string Lower(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// A size in bytes, or with K, M or G after it in KiB, MiB or GiB; from 4 KiB to 1024 GiB.
bool Size(const std::string& value, long long* bytes)
{
    char* end = nullptr;
    const long long n = strtoll(value.c_str(), &end, 10);
    const std::string unit = end == nullptr ? "" : Lower(end);
    const int shift = unit.empty() ? 0 : unit == "k" ? 10 : unit == "m" ? 20 : unit == "g" ? 30 : -1;
    if (value.empty() || !isdigit(static_cast<unsigned char>(value[0])) || shift < 0 || n > (1LL << 40) >> shift) {
        return false;
    }
    *bytes = n << shift;
    return *bytes >= 4096;
}

// The command line as the reports give it: each word in double quotes where it holds a blank.
std::string Joined(int argc, char** argv)
{
    std::string line;
    for (int i = 0; i < argc; i++) {
        const std::string arg = argv[i];
        const bool quote = arg.empty() || arg.find_first_of(" \t") != std::string::npos;
        line += (i == 0 ? "" : " ") + (quote ? "\"" + arg + "\"" : arg);
    }
    return line;
}

// Reads one --ports-from list into ports; false once the reason is printed and kept.
bool ReadList(const std::string& list, RackOptions* options)
{
    size_t badLine = 0;
    std::string why;
    bool read = false;
    const size_t before = options->Ports.size();
    if (list == "-") {
        read = ReadPortList(std::cin, &options->Ports, &badLine, &why);
    } else {
        std::ifstream file(list, std::ios::binary);
        read = file.is_open() && ReadPortList(file, &options->Ports, &badLine, &why);
    }
    for (size_t i = before; i < options->Ports.size(); i++) {
        options->Ports[i].List = list;
    }
    if (badLine > 0) {
        options->Refusal = list + ":" + std::to_string(badLine) + ": " + why;
    } else if (!read) {
        options->Refusal = "cannot read ports from " + list;
    }
    if (!options->Refusal.empty()) {
        fprintf(stderr, "torvex-rack: %s\n", options->Refusal.c_str());
    }
    return options->Refusal.empty();
}


// torvex-rack --history DB [--unit UNIT] [--json]
int HistoryOptions(int argc, char** argv)
{
    std::string db;
    std::string unit;
    bool json = false;
    for (int i = 1; i < argc; i++) {
        std::string value;
        const char* arg = argv[i];
        if ((strcmp(arg, "--history") == 0 || strcmp(arg, "--unit") == 0) && i + 1 >= argc) {
            return Wrong(std::string("option ") + arg + " needs a value");
        } else if (OptionValue(argv, &i, "--history", &value)) {
            db = value;
        } else if (OptionValue(argv, &i, "--unit", &value)) {
            unit = value;
        } else if (strcmp(arg, "--json") == 0) {
            json = true;
        } else {
            return Wrong(std::string("--history takes --unit UNIT and --json, not ") + arg);
        }
    }
    return PrintHistory(db, unit, json);
}

}  // namespace

int ReadOptions(int argc, char** argv, RackOptions* options)
{
    bool all = false;
    std::vector<std::string>& matches = options->Matches;
    std::set<std::string> given;
    std::set<std::string> twice;
    options->CommandLine = Joined(argc, argv);
    for (int i = 1; i < argc; i++) {
        if (strncmp(argv[i], "--history", 9) == 0 && (argv[i][9] == '\0' || argv[i][9] == '=')) {
            return HistoryOptions(argc, argv);
        }
    }
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        std::string value;
        static const char* const valued[] = {"--jobs", "--ports-from", "--log-dir", "--json", "--junit", "--match",
                                             "--unit-timeout", "--timeout", "--retries", "--retry-wait",
                                             "--transcript-limit", "--record", "--identify", "--unit-id"};
        bool needsValue = false;
        for (const char* name : valued) {
            needsValue = needsValue || strcmp(arg, name) == 0;
        }
        if (needsValue && i + 1 >= argc) {
            (void)Refuse(options, std::string("option ") + arg + " needs a value");
            break;
        }
        // Lists add up; any other option given twice is a mistake, never a silent choice.
        const std::string name = std::string(arg).substr(0, std::string(arg).find('='));
        if (name.compare(0, 2, "--") == 0 && name != "--ports-from" && name != "--match" && !given.insert(name).second) {
            (void)Refuse(options, name + " is given twice");
            twice.insert(name);  // its value is still read, past it
        }
        const bool help = strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0 || strcmp(arg, "-?") == 0;
        if (help && options->Refusal.empty()) {
            Usage(stdout);
            return 0;
        }
        if (strcmp(arg, "--version") == 0 && options->Refusal.empty()) {
            printf("torvex-rack %s\n", TORVEX_RACK_VERSION);
            return 0;
        }
        if (help || strcmp(arg, "--version") == 0) {
            continue;
        }
        if (strcmp(arg, "--all") == 0) {
            all = true;
        } else if (strcmp(arg, "--watch") == 0) {
            options->Watch = true;
        } else if (strcmp(arg, "--again") == 0) {
            options->Again = true;
        } else if (OptionValue(argv, &i, "--record", &value)) {
            options->Record = value;
        } else if (OptionValue(argv, &i, "--identify", &value)) {
            options->Identify = value;
        } else if (OptionValue(argv, &i, "--unit-id", &value)) {
            std::string why;
            if (!UnitIdPattern(value, &why)) {
                (void)Refuse(options, "--unit-id needs a regular expression: " + why);
                continue;
            }
            options->UnitId = value;
        } else if (strcmp(arg, "--dry-run") == 0) {
            options->DryRun = true;
        } else if (OptionValue(argv, &i, "--jobs", &value)) {
            char* end = nullptr;
            const long jobs = strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || jobs < 1 || jobs > 100000) {
                (void)Refuse(options, "--jobs needs a number from 1 to 100000");
                continue;
            }
            options->Jobs = static_cast<size_t>(jobs);
        } else if (OptionValue(argv, &i, "--ports-from", &value)) {
            if (value == "-" && options->PortsFromStdin) {
                (void)Refuse(options, "--ports-from - is given twice");
                continue;
            }
            options->PortsFromStdin = options->PortsFromStdin || value == "-";
            options->PortLists.push_back(value);
        } else if (OptionValue(argv, &i, "--log-dir", &value)) {
            options->LogDir = value;
        } else if (OptionValue(argv, &i, "--json", &value)) {
            options->Json = value;
        } else if (OptionValue(argv, &i, "--junit", &value)) {
            options->Junit = value;
        } else if (OptionValue(argv, &i, "--transcript-limit", &value)) {
            if (!Size(value, &options->TranscriptLimit)) {
                (void)Refuse(options, "--transcript-limit needs a size from 4K to 1024G, such as 64M");
                continue;
            }
        } else if (OptionValue(argv, &i, "--match", &value)) {
            bool known = false;
            (void)Matches(Port(), value, &known);
            if (!known) {
                (void)Refuse(options, "--match needs serial=S, usb=VVVV:PPPP or by-id=TEXT, not " + value);
                continue;
            }
            matches.push_back(value);
        } else if (OptionValue(argv, &i, "--unit-timeout", &value)) {
            if (!Count(value, 1, &options->UnitTimeout)) {
                (void)Refuse(options, "--unit-timeout needs a number of seconds from 1 to 86400");
                continue;
            }
        } else if (OptionValue(argv, &i, "--timeout", &value)) {
            if (!Count(value, 1, &options->Timeout)) {
                (void)Refuse(options, "--timeout needs a number of seconds from 1 to 86400");
                continue;
            }
        } else if (OptionValue(argv, &i, "--retries", &value)) {
            if (!Count(value, 0, &options->Retries) || options->Retries > 100) {
                (void)Refuse(options, "--retries needs a number from 0 to 100");
                continue;
            }
        } else if (OptionValue(argv, &i, "--retry-wait", &value)) {
            if (!Count(value, 0, &options->RetryWait)) {
                (void)Refuse(options, "--retry-wait needs a number of seconds from 0 to 86400");
                continue;
            }
        } else if (StartsWithNoCase(arg, "-BAUD=") || StartsWithNoCase(arg, "-DEBUG") ||
                   StartsWithNoCase(arg, "-UTC")) {
            options->PassedOn.push_back(arg);  // torvex takes the last -BAUD=
        } else if (StartsWithNoCase(arg, "-PORT=")) {
            (void)Refuse(options, "ports are named as arguments after the script, not with -PORT=");
            continue;
        } else if (arg[0] == '-' && arg[1] != '\0') {
            (void)Refuse(options, std::string("unknown option ") + arg);
            continue;
        } else if (!options->HasScript) {
            options->Script = arg;
            options->HasScript = true;
        } else {
            options->Ports.push_back({arg, "", ""});
        }
    }
    // An output given twice is the refusal's own: neither is replaced.
    if (twice.count("--json") > 0) {
        options->Json.clear();
    }
    if (twice.count("--junit") > 0) {
        options->Junit.clear();
    }
    if (!options->Refusal.empty()) {
        return 2;
    }
    if (!options->HasScript) {
        return Refuse(options, "no script named");
    }
    if (options->PortsFromStdin && options->Script == "-") {
        return Refuse(options, "the script and the ports cannot both come from standard input");
    }
    if (options->Identify.empty() != options->UnitId.empty()) {
        return Refuse(options, "--identify and --unit-id go together");
    }
    if (!options->Identify.empty() && !options->Watch) {
        return Refuse(options, "--identify is for --watch");
    }
    if (options->Watch) {
        if (all || !options->Ports.empty() || options->DryRun) {
            return Refuse(options, "--watch takes the ports that come, as --match picks them: name none");
        }
        // A station's port list names units by serial number, to give them labels and speeds.
        for (const std::string& list : options->PortLists) {
            if (!ReadList(list, options)) {
                return 2;
            }
        }
        for (const RackPort& port : options->Ports) {
            if (port.Match.empty()) {
                return Refuse(options, port.List + ":" + std::to_string(port.Line) +
                                           ": --watch takes serial=S lines only, not " + port.Name);
            }
        }
        options->Named.swap(options->Ports);  // units to come, not ports to run now
        return -1;
    }
    if (options->Again) {
        return Refuse(options, "--again is for --watch");
    }
    for (const std::string& list : options->PortLists) {
        if (!ReadList(list, options)) {
            return 2;
        }
    }
    if (!FindUnits(all, matches, options)) {
        return 2;
    }
    WarnSpeeds(*options);
    if (options->Ports.empty() && (options->NotFound.empty() || !options->DryRun)) {
        // An empty port list: a nightly job's reports must not keep last night's results.
        return Refuse(options, "no ports named");
    }
    return -1;
}
