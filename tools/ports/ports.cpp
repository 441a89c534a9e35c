// torvex-ports: lists the serial ports torvex can use, one line each, most
// useful first, so that a technician need not guess the -PORT= value. The
// command line and the output are the same on every system; where the
// information comes from is in linux.cpp or win32.cpp.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ports.h"
#include "serial/display.h"

#ifndef TORVEX_PORTS_VERSION
#define TORVEX_PORTS_VERSION "unknown"
#endif

namespace {

void Usage(FILE* out)
{
    fprintf(out,
            "Usage: torvex-ports [--names]\n"
            "\n"
            "Lists the serial ports that torvex can use, one line each, adapters on USB\n"
            "first: the name to give torvex as -PORT=, the driver and, for USB, the\n"
            "vendor:product numbers, maker, product and serial number. No port is opened.\n"
            "\n"
            "  --names    print only the -PORT= value of each port, one a line\n"
            "  --help     show this text\n"
            "  --version  show the version\n"
            "\n"
            "Exit status: 0 ports were found, 1 none, 2 a wrong command line.\n");
}

// The parts that are not empty, with sep between them.
std::string Joined(const std::vector<std::string>& parts, const char* sep)
{
    std::string text;
    for (const std::string& part : parts) {
        if (!part.empty()) {
            text += text.empty() ? part : sep + part;
        }
    }
    return text;
}

// A text from the system or the device as it may reach a terminal: the blanks
// around it trimmed, and every byte below 32 or from 127 escaped as torvex's
// debug display shows it, so that no control or escape sequence takes effect.
std::string Shown(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return "";
    }
    const size_t last = text.find_last_not_of(" \t");
    std::string shown;
    for (size_t i = first; i <= last; i++) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        char escaped[5];
        shown += ShownAsIsOnTerminal(c) ? std::string(1, text[i]) : EscapedByte(c, escaped);
    }
    return shown;
}

// USB and its vendor:product numbers, saying which is missing.
std::string UsbNumbers(const Port& p)
{
    const std::string vendor = Shown(p.UsbVendor);
    const std::string product = Shown(p.UsbProduct);
    if (vendor.empty() && product.empty()) {
        return "USB (no vendor or product number)";
    }
    if (product.empty()) {
        return "USB vendor " + vendor + " (no product number)";
    }
    if (vendor.empty()) {
        return "USB product " + product + " (no vendor number)";
    }
    return "USB " + vendor + ":" + product;
}

std::string Line(const Port& p)
{
    std::string line = Shown(p.Name);
    if (!p.OtherName.empty()) {
        line += " or " + p.OtherName;
    }
    const std::string usb = p.Usb ? Joined({UsbNumbers(p), Shown(p.Maker), Shown(p.Product)}, " ") : "";
    const std::string uart = Shown(p.Uart);
    const std::string serial = Shown(p.Serial);
    const std::string what = Joined({Shown(p.Description), Shown(p.Driver), uart.empty() ? "" : uart + " UART", usb,
                                     serial.empty() ? "" : "serial " + serial,
                                     p.StableName == p.Serial ? "" : Shown(p.StableName)},
                                    ", ");
    if (!what.empty()) {
        line += ": " + what;
    }
    if (p.AccessKnown) {
        line += p.NoAccess.empty() ? "; you may open it" : "; you may not open it: " + Shown(p.NoAccess);
    }
    return line;
}

}  // namespace

int main(int argc, char** argv)
{
    bool namesOnly = false;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (strcmp(arg, "--names") == 0) {
            namesOnly = true;
        } else if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0 || strcmp(arg, "-?") == 0) {
            Usage(stdout);
            return 0;
        } else if (strcmp(arg, "--version") == 0) {
            printf("torvex-ports %s\n", TORVEX_PORTS_VERSION);
            return 0;
        } else {
            fprintf(stderr, "torvex-ports: unknown option %s\n", arg);
            fprintf(stderr, "Try 'torvex-ports --help'.\n");
            return 2;
        }
    }

    std::vector<Port> ports = FindPorts();
    if (ports.empty()) {
        // On standard error, so that a names-only list fed to xargs stays empty.
        fprintf(stderr, "torvex-ports: no serial ports found\n");
        return 1;
    }
    SortForListing(&ports);
    for (const Port& p : ports) {
        printf("%s\n", namesOnly ? Shown(p.Name).c_str() : Line(p).c_str());
    }
    return 0;
}
