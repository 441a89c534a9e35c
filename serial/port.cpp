// Opening the serial port and setting its line and time-outs.
#include "serial/port.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "remote/name.h"
#include "run/settings.h"

const CommTimeouts COMTO = {1000, 10, 5000, 10, 5000};

bool SetupCommPort(CommPort** hCOM)
{
    return OpenCommPort(hCOM) && ConfigureCommPortParameters(*hCOM);
}

// What is wrong with a malformed network port name, on a line of its own; in
// the order of netname::Fault, from NoPort on.
static const char* const NameFaults[] = {
    "no \":PORT\" after the host",
    "the port number must be 1 to 65535",
    "no host before the port",
    "a host name has at most 255 characters",
    "nothing may follow the port number but ?options",
    "a \"[\" address needs its \"]\"",
    "an IPv6 address goes in \"[\" and \"]\"",
    nullptr,  // an option: named below
    "timeout= takes seconds, more than 0 and at most 3600",
};

static void SayNameFault(const char* name)
{
    netname::Name parsed;
    const netname::Fault fault = netname::Parse(name, &parsed);
    if (fault == netname::Fault::None) {
        return;
    }
    if (fault == netname::Fault::Option) {
        printf("no option \"%.*s\" for %s: it takes %s\n", static_cast<int>(parsed.optionLength), parsed.option,
               parsed.rfc2217 ? "rfc2217://" : "socket://",
               parsed.rfc2217 ? "ign_set_control, poll_modem, timeout=N and logging=LEVEL" : "logging=LEVEL");
    } else {
        puts(NameFaults[static_cast<int>(fault) - 1]);
    }
}

bool OpenCommPort(CommPort** hCOM)
{
    long err = 0;
    if (PortOpen(PortName, hCOM, &err)) {
        return true;
    }
    switch (ClassifyOpenError(err)) {
    case OpenError::FileNotFound:
        printf("File not found opening %s.\n", PortName);
        if (netname::IsNetName(PortName)) {
            SayNameFault(PortName);
        }
        break;
    case OpenError::AccessDenied:
        printf("Access denied opening %s.\n", PortName);
        break;
    case OpenError::Other:
        printf("Error %ld opening port %s.\n", err, PortName);
        break;
    }
    return false;
}

bool ConfigureCommPortParameters(CommPort* hCOM)
{
    long err = 0;
    if (!PortGetState(hCOM, &err)) {
        printf("GetCommState failed error %ld.\n", err);
        if (netname::IsNetName(PortName)) {
            puts("the server refused the COM port option (RFC 2217)");
        }
        return false;
    }
    if (!PortSetState(hCOM, BaudRate, &err)) {
        printf("SetCommState failed error %ld.\n", err);
        return false;
    }
    if (!PortSetTimeouts(hCOM, COMTO, &err)) {
        printf("SetCommTimeouts failed error %ld.\n", err);
        return false;
    }
    if (PortSpeaksTelnet(hCOM)) {
        printf("The server speaks telnet: rfc2217://%s is the name to use.\n", PortName + strlen("socket://"));
    }
    const uint64_t dropped = PortDropped(hCOM);
    if (dropped > 0) {
        printf("%" PRIu64 " bytes that came before the port was ready were dropped.\n", dropped);
    }
    return true;
}
