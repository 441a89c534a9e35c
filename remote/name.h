// Network port names as pyserial writes them: rfc2217://HOST:PORT and
// socket://HOST:PORT, HOST a name, an IPv4 address or [IPv6], then ?options
// joined by &. Portable: read by the port's opening and by the messages that
// say what is wrong with a name.
#pragma once

#include <cstddef>
#include <cstdint>

namespace netname {

// What is wrong with a network port's name; None when nothing is. The messages
// that say it (serial/port.cpp) follow this order.
enum class Fault {
    None,
    NoPort,       // no ":PORT" after the host
    PortRange,    // PORT is not a number from 1 to 65535
    NoHost,       // nothing before ":PORT"
    HostLong,     // a host name longer than any the resolver takes
    Path,         // something after the port, such as "/dev/ttyS0" or a lone "/"
    Bracket,      // "[" without its "]"
    BareIpv6,     // an IPv6 address outside "[" and "]"
    Option,       // an option this scheme does not take
    Timeout,      // timeout= without a number of seconds in range
};

const size_t HostMax = 255;
const uint32_t DefaultLimitMs = 5000;

struct Name {
    bool rfc2217;
    char host[HostMax + 1];
    char port[6];
    bool ignSetControl;  // do not wait for the server to confirm line settings
    bool pollModem;      // asked for, and nothing to do: torvex reads no modem lines
    uint32_t limitMs;    // connecting and each answer of the server while configuring
    // The option refused (Fault::Option), within the name given.
    const char* option;
    size_t optionLength;
};

// IsNetName  whether a port name is a network port's (the scheme in any letter case)
// Parse      reads a network port's name into *name; Fault::None when it is well formed
bool IsNetName(const char* text);
Fault Parse(const char* text, Name* name);

}  // namespace netname
