// torvex-rack: the command line, and where the ports come from.
#include "options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>

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
            "  --ports-from FILE take ports from FILE, one a line; - is standard input\n"
            "  --all             every port that torvex-ports lists as usable\n"
            "  --log-dir DIR     transcripts in DIR (default: torvex-rack-<UTC time>)\n"
            "  --json FILE       the summary as JSON in FILE as well\n"
            "  -BAUD=n -DEBUG -UTC  passed on to torvex\n"
            "  --help            show this text\n"
            "  --version         show the version\n"
            "\n"
            "Exit status: 0 every port ok, 1 one or more failed, 2 a wrong command line;\n"
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

bool ReadPortList(std::istream& in, std::vector<std::string>* ports)
{
    std::string line;
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
            line.pop_back();
        }
        const size_t first = line.find_first_not_of(" \t");
        if (first != std::string::npos) {
            ports->push_back(line.substr(first));
        }
    }
    return !in.bad();
}

}  // namespace

int ReadOptions(int argc, char** argv, RackOptions* options)
{
    bool all = false;
    std::string portsFrom;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        std::string value;
        if (strncmp(arg, "--jobs", 6) == 0 || strncmp(arg, "--ports-from", 12) == 0 ||
            strncmp(arg, "--log-dir", 9) == 0 || strncmp(arg, "--json", 6) == 0) {
            if (i + 1 >= argc && strchr(arg, '=') == nullptr) {
                return Wrong(std::string("option ") + arg + " needs a value");
            }
        }
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0 || strcmp(arg, "-?") == 0) {
            Usage(stdout);
            return 0;
        }
        if (strcmp(arg, "--version") == 0) {
            printf("torvex-rack %s\n", TORVEX_RACK_VERSION);
            return 0;
        }
        if (strcmp(arg, "--all") == 0) {
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
            options->Ports.push_back(arg);
        }
    }
    if (!options->HasScript) {
        return Wrong("no script named");
    }
    if (!portsFrom.empty()) {
        if (portsFrom == "-" && options->Script == "-") {
            return Wrong("the script and the ports cannot both come from standard input");
        }
        options->PortsFromStdin = portsFrom == "-";
        bool read = false;
        if (portsFrom == "-") {
            read = ReadPortList(std::cin, &options->Ports);
        } else {
            std::ifstream file(portsFrom, std::ios::binary);
            read = file.is_open() && ReadPortList(file, &options->Ports);
        }
        if (!read) {
            fprintf(stderr, "torvex-rack: cannot read ports from %s\n", portsFrom.c_str());
            return 2;
        }
    }
    if (all) {
        std::vector<Port> found = FindPorts();
        SortForListing(&found);
        std::vector<std::string> usable;
        for (const Port& p : found) {
            if (!p.AccessKnown || p.NoAccess.empty()) {
                usable.push_back(p.Name);
            }
        }
        if (usable.empty() && options->Ports.empty()) {
            fprintf(stderr, "torvex-rack: no usable serial ports found\n");
            return 1;
        }
        options->Ports.insert(options->Ports.end(), usable.begin(), usable.end());
    }
    if (options->Ports.empty()) {
        return Wrong("no ports named");
    }
    return -1;
}
