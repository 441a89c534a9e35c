// Ports on other machines: rfc2217://HOST:PORT (telnet with the COM port option)
// and socket://HOST:PORT (plain TCP), served by ser2net and the like. Portable:
// the socket calls come from net.h, the protocol from remote/. Each function
// does for a network port what its Port namesake in platform.h does.
#pragma once

#include <cstdint>

#include "platform/platform.h"

struct NetPort;

// NetPortName  whether a port name is a network port's (the scheme in any letter case)
bool NetPortName(const char* name);
bool NetPortOpen(const char* name, NetPort** port, long* err);
bool NetPortGetState(NetPort* port, long* err);
bool NetPortSetState(NetPort* port, uint32_t baud, long* err);
void NetPortSetTimeouts(NetPort* port, const CommTimeouts& timeouts);
bool NetPortRead(NetPort* port, void* buf, uint32_t n, uint32_t* got, long* err);
bool NetPortWrite(NetPort* port, const void* buf, uint32_t n, uint32_t* sent, long* err);
void NetPortClose(NetPort* port);
// NetPortSpeaksTelnet  a socket:// server that opened with telnet negotiation
// NetPortDropped       data bytes dropped before the port was ready: past what is kept for the first read
bool NetPortSpeaksTelnet(const NetPort* port);
uint64_t NetPortDropped(const NetPort* port);
