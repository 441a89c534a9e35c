// torvex-rack: the command line, and where the ports come from.
#include "options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>

#include "history.h"
#include "portlist.h"
#include "run/text.h"
#include "tools/ports/ports.h"

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
            "  --ports-from FILE take ports from FILE, one a line, each optionally with\n"
            "                    -BAUD=n and label=TEXT; - is standard input\n"
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
            "  --junit FILE      the summary as JUnit XML in FILE, for CI\n"
            "  --record DB       add every run to the SQLite database DB (Linux)\n"
            "  --watch           a station: run each unit matched (or every USB serial\n"
            "                    port) as it is plugged in, until Ctrl-C or --timeout (Linux)\n"
            "  --again           with --watch, run units that passed earlier too\n"
            "  -BAUD=n -DEBUG -UTC  passed on to torvex\n"
            "  --help            show this text\n"
            "  --version         show the version\n"
            "\n"
            "       torvex-rack --watch [--match KEY=VALUE] [--record DB] [options] SCRIPT\n"
            "       torvex-rack --history DB [--unit UNIT] [--json]\n"
            "prints the runs recorded in DB, newest first: all of them, or one unit's.\n"
            "\n"
            "Exit status: 0 every port ok, 1 one or more failed (or --match found none),\n"
            "2 a wrong command line or port list;\n"
            "ended by Ctrl-C or SIGTERM, it ends every run, prints the summary and ends\n"
            "by that signal.\n");
}

int Wrong(const std::string& what)
{
    fprintf(stderr, "torvex-rack: %s\n", what.c_str());
    fprintf(stderr, "Try 'torvex-rack --help'.\n");
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

// Whether the port has what match asks for; *known is false when match is
// not KEY=VALUE with a key and a value of the forms taken.
bool Matches(const Port& p, const std::string& match, bool* known)
{
    const size_t equals = match.find('=');
    const std::string key = match.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : match.substr(equals + 1);
    *known = !value.empty();
    if (key == "serial") {
        return p.Usb && p.Serial == value;
    }
    if (key == "usb") {
        const size_t colon = value.find(':');
        *known = *known && colon == 4 && value.size() == 9 &&
                 value.find_first_not_of("0123456789abcdefABCDEF:") == std::string::npos;
        return p.Usb && Lower(p.UsbVendor + ":" + p.UsbProduct) == Lower(value);
    }
    if (key == "by-id") {
        const std::string prefix = "/dev/serial/by-id/";
        const std::string id = p.StableName.compare(0, prefix.size(), prefix) == 0 ? p.StableName.substr(prefix.size()) : "";
        return !id.empty() && id.find(value) != std::string::npos;
    }
    *known = false;
    return false;
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

bool PortMatches(const Port& p, const std::string& match)
{
    bool known = false;
    return Matches(p, match, &known);
}

int ReadOptions(int argc, char** argv, RackOptions* options)
{
    for (int i = 0; i < argc; i++) {
        options->CommandLine += (i == 0 ? "" : " ") + std::string(argv[i]);
    }
    for (int i = 1; i < argc; i++) {
        if (strncmp(argv[i], "--history", 9) == 0 && (argv[i][9] == '\0' || argv[i][9] == '=')) {
            return HistoryOptions(argc, argv);
        }
    }
    bool all = false;
    std::string portsFrom;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        std::string value;
        static const char* const valued[] = {"--jobs", "--ports-from", "--log-dir", "--json", "--junit", "--match",
                                             "--unit-timeout", "--timeout", "--retries", "--retry-wait",
                                             "--record"};
        bool needsValue = false;
        for (const char* name : valued) {
            needsValue = needsValue || strcmp(arg, name) == 0;
        }
        if (needsValue && i + 1 >= argc) {
            return Wrong(std::string("option ") + arg + " needs a value");
        }
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0 || strcmp(arg, "-?") == 0) {
            Usage(stdout);
            return 0;
        }
        if (strcmp(arg, "--version") == 0) {
            printf("torvex-rack %s\n", TORVEX_RACK_VERSION);
            return 0;
        }
        if (strcmp(arg, "--watch") == 0) {
            options->Watch = true;
        } else if (strcmp(arg, "--again") == 0) {
            options->Again = true;
        } else if (strcmp(arg, "--all") == 0) {
            all = true;
        } else if (OptionValue(argv, &i, "--jobs", &value)) {
            char* end = nullptr;
            const long jobs = strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || jobs < 1 || jobs > 100000) {
                return Wrong("--jobs needs a number from 1 to 100000");
            }
            options->Jobs = static_cast<size_t>(jobs);
        } else if (OptionValue(argv, &i, "--ports-from", &value)) {
            portsFrom = value;
        } else if (OptionValue(argv, &i, "--log-dir", &value)) {
            options->LogDir = value;
        } else if (OptionValue(argv, &i, "--json", &value)) {
            options->Json = value;
        } else if (OptionValue(argv, &i, "--junit", &value)) {
            options->Junit = value;
        } else if (OptionValue(argv, &i, "--match", &value)) {
            bool known = false;
            (void)Matches(Port(), value, &known);
            if (!known) {
                return Wrong("--match needs serial=S, usb=VVVV:PPPP or by-id=TEXT, not " + value);
            }
            options->Matches.push_back(value);
        } else if (OptionValue(argv, &i, "--record", &value)) {
            options->Record = value;
        } else if (OptionValue(argv, &i, "--unit-timeout", &value)) {
            if (!Count(value, 1, &options->UnitTimeout)) {
                return Wrong("--unit-timeout needs a number of seconds from 1 to 86400");
            }
        } else if (OptionValue(argv, &i, "--timeout", &value)) {
            if (!Count(value, 1, &options->Timeout)) {
                return Wrong("--timeout needs a number of seconds from 1 to 86400");
            }
        } else if (OptionValue(argv, &i, "--retries", &value)) {
            if (!Count(value, 0, &options->Retries) || options->Retries > 100) {
                return Wrong("--retries needs a number from 0 to 100");
            }
        } else if (OptionValue(argv, &i, "--retry-wait", &value)) {
            if (!Count(value, 0, &options->RetryWait)) {
                return Wrong("--retry-wait needs a number of seconds from 0 to 86400");
            }
        } else if (StartsWithNoCase(arg, "-BAUD=") || StartsWithNoCase(arg, "-DEBUG") ||
                   StartsWithNoCase(arg, "-UTC")) {
            options->PassedOn.push_back(arg);
        } else if (StartsWithNoCase(arg, "-PORT=")) {
            return Wrong("ports are named as arguments after the script, not with -PORT=");
        } else if (arg[0] == '-' && arg[1] != '\0') {
            return Wrong(std::string("unknown option ") + arg);
        } else if (!options->HasScript) {
            options->Script = arg;
            options->HasScript = true;
        } else {
            options->Ports.push_back({arg, "", ""});
        }
    }
    if (!options->HasScript) {
        return Wrong("no script named");
    }
    if (options->Watch) {
        if (all || !portsFrom.empty() || !options->Ports.empty()) {
            return Wrong("--watch takes the ports that come, as --match picks them: name none");
        }
        return -1;
    }
    if (options->Again) {
        return Wrong("--again is for --watch");
    }
    if (!portsFrom.empty()) {
        if (portsFrom == "-" && options->Script == "-") {
            return Wrong("the script and the ports cannot both come from standard input");
        }
        options->PortsFromStdin = portsFrom == "-";
        size_t badLine = 0;
        std::string why;
        bool read = false;
        if (portsFrom == "-") {
            read = ReadPortList(std::cin, &options->Ports, &badLine, &why);
        } else {
            std::ifstream file(portsFrom, std::ios::binary);
            read = file.is_open() && ReadPortList(file, &options->Ports, &badLine, &why);
        }
        if (badLine > 0) {
            fprintf(stderr, "torvex-rack: %s:%zu: %s\n", portsFrom.c_str(), badLine, why.c_str());
            return 2;
        }
        if (!read) {
            fprintf(stderr, "torvex-rack: cannot read ports from %s\n", portsFrom.c_str());
            return 2;
        }
    }
    std::vector<Port> found;
    if (all || !options->Matches.empty()) {
        found = FindPorts();
        SortForListing(&found);
    }
    if (all) {
        std::vector<RackPort> usable;
        for (const Port& p : found) {
            if (!p.AccessKnown || p.NoAccess.empty()) {
                usable.push_back({p.Name, "", ""});
            }
        }
        if (usable.empty() && options->Ports.empty()) {
            fprintf(stderr, "torvex-rack: no usable serial ports found\n");
            return 1;
        }
        options->Ports.insert(options->Ports.end(), usable.begin(), usable.end());
    }
    // Each --match adds the ports it finds, in the order torvex-ports lists them.
    for (const std::string& match : options->Matches) {
        size_t picked = 0;
        for (const Port& p : found) {
            bool known = true;
            if (Matches(p, match, &known)) {
                picked++;
                bool named = false;
                for (const RackPort& q : options->Ports) {
                    named = named || q.Name == p.Name;
                }
                if (!named) {
                    options->Ports.push_back({p.Name, "", ""});
                }
            }
        }
        if (picked == 0) {
            fprintf(stderr, "torvex-rack: no serial port found with %s\n", match.c_str());
            return 1;
        }
    }
    if (options->Ports.empty()) {
        return Wrong("no ports named");
    }
    return -1;
}
