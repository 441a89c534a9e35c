// Network ports: a TCP connection to a serial port server, with telnet and the
// COM port option between for rfc2217://, nothing between for socket://. Reads
// and writes keep the time-out rules of a local port, counting data bytes only.
// Every buffer has a fixed size and every wait a deadline, whatever the server sends.
#include "platform/net_port.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/net.h"
#include "remote/name.h"
#include "remote/telnet.h"

namespace {

// Data that comes before the port is ready is kept for the first read, up to
// this much: a device's greeting fits; past it a flood is dropped and counted.
const uint32_t EarlyMax = 4096;

}  // namespace

struct NetPort {
    NetSocket* sock = nullptr;
    bool rfc2217 = false;
    bool ignSetControl = false;
    uint32_t limitMs = netname::DefaultLimitMs;  // connecting, and each answer while the port is set
    bool heard = false;                          // the server has sent something
    bool speaksTelnet = false;                   // a socket:// server that opened with telnet negotiation
    telnet::Codec codec;
    uint8_t early[EarlyMax] = {};  // data that came while the port was opened or set, read first
    uint32_t earlyStart = 0;
    uint32_t earlyLength = 0;
    uint64_t earlyDropped = 0;
    CommTimeouts timeouts = {};
};

namespace {

// A plain TCP server turning away a second client does it at once.
const uint32_t RefusalMs = 200;
const int64_t Us = 1000;  // microseconds in a millisecond
const int64_t Never = INT64_MAX;

int64_t After(uint32_t ms)
{
    return NetClockUs() + static_cast<int64_t>(ms) * Us;
}

// Sends n bytes of wire before deadline (NetClockUs, or Never); *done tells how
// much went. The console is flushed once: after the bytes, or before a wait.
bool SendAll(NetPort* port, const uint8_t* wire, size_t n, int64_t deadline, size_t* done, long* err)
{
    *done = 0;
    bool flushed = false;
    bool ok = true;
    while (*done < n) {
        uint32_t sent = 0;
        if (!NetSend(port->sock, wire + *done, static_cast<uint32_t>(n - *done), &sent, err)) {
            ok = false;
            break;
        }
        *done += sent;
        if (*done == n) {
            break;
        }
        if (!flushed) {
            FlushConsole();
            flushed = true;
        }
        const int64_t now = NetClockUs();
        if (now >= deadline) {
            break;
        }
        if (NetWait(port->sock, true, deadline == Never ? -1 : deadline - now, err) < 0) {
            ok = false;
            break;
        }
    }
    if (!flushed) {
        FlushConsole();
    }
    return ok;
}

// Protocol bytes: all of them go before deadline, or the connection is taken as stuck.
bool SendWhole(NetPort* port, const uint8_t* wire, size_t n, int64_t deadline, long* err)
{
    size_t done = 0;
    if (!SendAll(port, wire, n, deadline, &done, err)) {
        return false;
    }
    if (done < n) {
        *err = NetErrorNumber(NetError::TimedOut);
        return false;
    }
    return true;
}

// Answers the server's negotiation, if it asked anything.
bool SendReplies(NetPort* port, int64_t deadline, long* err)
{
    telnet::Codec& codec = port->codec;
    const size_t n = codec.replyLength;
    codec.replyLength = 0;
    return n == 0 || SendWhole(port, codec.reply, n, deadline, err);
}

// Takes what comes before deadline (or Never) and decodes it into buf; *got data
// bytes, at most n. Answers to the server must go by the same deadline, and
// within the configure limit at most.
bool Receive(NetPort* port, int64_t deadline, uint8_t* buf, uint32_t n, uint32_t* got, long* err)
{
    *got = 0;
    const int64_t now = NetClockUs();
    const int ready = NetWait(port->sock, false, deadline == Never ? -1 : (deadline > now ? deadline - now : 0), err);
    if (ready <= 0) {
        return ready == 0;
    }
    if (!NetRecv(port->sock, buf, n < telnet::ReceiveMax ? n : telnet::ReceiveMax, got, err)) {
        return false;
    }
    if (!port->heard && *got > 0) {
        port->heard = true;
        port->speaksTelnet = !port->rfc2217 && *got >= 2 && buf[0] == telnet::IAC && buf[1] >= telnet::SB && buf[1] < telnet::IAC;
    }
    if (port->rfc2217) {
        *got = static_cast<uint32_t>(telnet::Receive(&port->codec, buf, *got, buf));
        const int64_t limit = After(port->limitMs);
        return SendReplies(port, deadline < limit ? deadline : limit, err);
    }
    return true;
}

// Keeps data for the first read while there is room; counts what is dropped.
void KeepEarly(NetPort* port, const uint8_t* data, uint32_t n)
{
    const uint32_t room = EarlyMax - port->earlyStart - port->earlyLength;
    const uint32_t kept = n < room ? n : room;
    memcpy(port->early + port->earlyStart + port->earlyLength, data, kept);
    port->earlyLength += kept;
    port->earlyDropped += n - kept;
}

// Receives until done() holds, keeping the data for the first read. A server that
// closes instead turns the client away; one that is silent until deadline fails with late.
template <typename Done>
bool AwaitServer(NetPort* port, Done done, NetError late, int64_t deadline, long* err)
{
    while (!done()) {
        if (NetClockUs() >= deadline) {
            *err = NetErrorNumber(late);
            return false;
        }
        uint8_t chunk[telnet::ReceiveMax];
        uint32_t got = 0;
        if (!Receive(port, deadline, chunk, sizeof chunk, &got, err)) {
            return false;
        }
        KeepEarly(port, chunk, got);
    }
    return true;
}

bool SendCommand(NetPort* port, uint8_t command, uint32_t value, int width, int64_t deadline, long* err)
{
    uint8_t wire[telnet::CommandMax];
    return SendWhole(port, wire, telnet::ComPortCommand(command, value, width, wire), deadline, err);
}

// A connection closed at once, or as the port is asked for its speed, is the
// server refusing a second client: the COM port option's query is answered by
// every server that keeps the connection. All of it within the configure limit.
bool Welcome(NetPort* port, long* err)
{
    const long closed = NetErrorNumber(NetError::Closed);
    bool ok = true;
    if (port->rfc2217) {
        const int64_t deadline = After(port->limitMs);
        const telnet::Codec& codec = port->codec;
        telnet::Opening(&port->codec, true);
        ok = SendReplies(port, deadline, err);
        if (ok && !AwaitServer(port, [&] { return codec.comPort != telnet::ComPort::Unanswered; }, NetError::NotSerial,
                               deadline, err)) {
            // No telnet server at all: the configure step says the port is no serial port.
            ok = *err == NetErrorNumber(NetError::NotSerial);
        }
        if (ok && codec.comPort == telnet::ComPort::Agreed) {
            ok = SendCommand(port, telnet::SET_BAUDRATE, 0, 4, deadline, err) &&
                 AwaitServer(port, [&] { return codec.answers[telnet::SET_BAUDRATE] > 0; }, NetError::TimedOut,
                             deadline, err);
        }
    } else {
        const int64_t deadline = After(RefusalMs);
        for (int64_t now = NetClockUs(); ok && now < deadline; now = NetClockUs()) {
            uint8_t chunk[telnet::ReceiveMax];
            uint32_t got = 0;
            ok = Receive(port, deadline, chunk, sizeof chunk, &got, err);
            KeepEarly(port, chunk, got);
        }
    }
    if (!ok && *err == closed) {
        *err = NetErrorNumber(NetError::Busy);
    }
    return ok;
}

bool Expect(const telnet::Codec& codec, uint8_t command, uint32_t value)
{
    return codec.value[command] == value;
}

}  // namespace

bool NetPortName(const char* name)
{
    return netname::IsNetName(name);
}

bool NetPortOpen(const char* name, NetPort** port, long* err)
{
    netname::Name parsed;
    if (netname::Parse(name, &parsed) != netname::Fault::None) {
        *err = NetErrorNumber(NetError::NotFound);
        return false;
    }
    NetSocket* sock = nullptr;
    FlushConsole();  // name lookup and connecting may take a while
    if (!NetConnect(parsed.host, parsed.port, parsed.limitMs, &sock, err)) {
        return false;
    }
    void* memory = calloc(1, sizeof(NetPort));
    if (memory == nullptr) {
        NetClose(sock);
        *err = NetErrorNumber(NetError::NoMemory);
        return false;
    }
    NetPort* p = new (memory) NetPort;
    p->sock = sock;
    p->rfc2217 = parsed.rfc2217;
    p->ignSetControl = parsed.ignSetControl;
    p->limitMs = parsed.limitMs;
    if (!Welcome(p, err)) {
        NetPortClose(p);
        return false;
    }
    *port = p;
    return true;
}

bool NetPortGetState(NetPort* port, long* err)
{
    if (port->rfc2217 && port->codec.comPort != telnet::ComPort::Agreed) {
        *err = NetErrorNumber(NetError::NotSerial);
        return false;
    }
    return true;
}

// DTR and RTS go first: a server that cannot apply them on its device may leave
// them unanswered, and it answers in order, so the last setting's answer closes the wait.
bool NetPortSetState(NetPort* port, uint32_t baud, long* err)
{
    using namespace telnet;
    if (baud == 0) {
        *err = NetErrorNumber(NetError::Invalid);
        return false;
    }
    if (!port->rfc2217) {
        return true;
    }
    const uint32_t DtrOn = 8, RtsOn = 11, NoFlowControl = 1, NoParity = 1, OneStopBit = 1;
    Codec& codec = port->codec;
    for (uint8_t command = SET_BAUDRATE; command <= SET_CONTROL; command++) {
        codec.answers[command] = 0;
    }
    codec.controls = 0;
    const struct {
        uint8_t command;
        uint32_t value;
        int width;
    } settings[] = {{SET_CONTROL, DtrOn, 1},  {SET_CONTROL, RtsOn, 1},      {SET_CONTROL, NoFlowControl, 1},
                    {SET_BAUDRATE, baud, 4},  {SET_DATASIZE, 8, 1},         {SET_PARITY, NoParity, 1},
                    {SET_STOPSIZE, OneStopBit, 1}};
    uint8_t wire[sizeof settings / sizeof settings[0] * CommandMax];
    size_t n = 0;
    for (const auto& s : settings) {
        n += ComPortCommand(s.command, s.value, s.width, wire + n);
    }
    const int64_t deadline = After(port->limitMs);
    if (!SendWhole(port, wire, n, deadline, err)) {
        return false;
    }
    if (port->ignSetControl) {
        return true;
    }
    // Flow control answers 1 to 3, or 17 to 19 for flow by DCD or DSR.
    const uint32_t flowAnswers = 0xEu | 0xEu << 16;
    const auto answered = [&] {
        return codec.answers[SET_BAUDRATE] > 0 && codec.answers[SET_DATASIZE] > 0 && codec.answers[SET_PARITY] > 0 &&
               codec.answers[SET_STOPSIZE] > 0 && (codec.controls & flowAnswers) != 0;
    };
    if (!AwaitServer(port, answered, NetError::TimedOut, deadline, err)) {
        return false;
    }
    if (!Expect(codec, SET_BAUDRATE, baud) || !Expect(codec, SET_DATASIZE, 8) || !Expect(codec, SET_PARITY, NoParity) ||
        !Expect(codec, SET_STOPSIZE, OneStopBit)) {
        *err = NetErrorNumber(NetError::Invalid);
        return false;
    }
    return true;
}

void NetPortSetTimeouts(NetPort* port, const CommTimeouts& timeouts)
{
    port->timeouts = timeouts;
}

bool NetPortSpeaksTelnet(const NetPort* port)
{
    return port->speaksTelnet;
}

uint64_t NetPortDropped(const NetPort* port)
{
    return port->earlyDropped;
}

// The Win32 read rules: return on n data bytes, on a gap longer than the interval
// time-out once data has come, or on the total limit. Telnet traffic is no data.
bool NetPortRead(NetPort* port, void* buf, uint32_t n, uint32_t* got, long* err)
{
    FlushConsole();
    uint8_t* out = static_cast<uint8_t*>(buf);
    *got = port->earlyLength < n ? port->earlyLength : n;
    memcpy(out, port->early + port->earlyStart, *got);
    port->earlyLength -= *got;
    port->earlyStart = port->earlyLength == 0 ? 0 : port->earlyStart + *got;
    const CommTimeouts& to = port->timeouts;
    const int64_t start = NetClockUs();
    const int64_t totalUs = (static_cast<int64_t>(to.ReadTotalTimeoutConstant) +
                             static_cast<int64_t>(to.ReadTotalTimeoutMultiplier) * n) * Us;
    const int64_t intervalUs = static_cast<int64_t>(to.ReadIntervalTimeout) * Us;
    int64_t lastData = start;
    while (*got < n) {
        int64_t deadline = totalUs > 0 ? start + totalUs : Never;
        if (*got > 0 && intervalUs > 0 && lastData + intervalUs < deadline) {
            deadline = lastData + intervalUs;
        }
        if (deadline != Never && NetClockUs() >= deadline) {
            break;
        }
        uint32_t k = 0;
        if (!Receive(port, deadline, out + *got, n - *got, &k, err)) {
            // What came before the server went is handed over first.
            return *got > 0;
        }
        if (k > 0) {
            *got += k;
            lastData = NetClockUs();
        }
    }
    return true;
}

// The data goes out in pieces escaped into a buffer of fixed size, all within
// the write time-out; *sent counts data bytes.
bool NetPortWrite(NetPort* port, const void* buf, uint32_t n, uint32_t* sent, long* err)
{
    const uint8_t* data = static_cast<const uint8_t*>(buf);
    const CommTimeouts& to = port->timeouts;
    const int64_t totalMs = static_cast<int64_t>(to.WriteTotalTimeoutConstant) +
                            static_cast<int64_t>(to.WriteTotalTimeoutMultiplier) * n;
    const int64_t deadline = totalMs > 0 ? NetClockUs() + totalMs * Us : Never;
    *sent = 0;
    bool ok = true;
    do {
        uint8_t wire[1024];
        size_t taken = n - *sent < sizeof wire ? n - *sent : sizeof wire;
        size_t length = taken;
        if (port->rfc2217) {
            length = telnet::Escape(data + *sent, n - *sent, wire, sizeof wire, &taken);
        } else {
            memcpy(wire, data + *sent, taken);
        }
        size_t done = 0;
        ok = SendAll(port, wire, length, deadline, &done, err);
        *sent += static_cast<uint32_t>(port->rfc2217 ? telnet::Unescaped(wire, length, done) : done);
        if (done < length) {
            break;
        }
    } while (ok && *sent < n);
    return ok;
}

void NetPortClose(NetPort* port)
{
    if (port == nullptr) {
        return;
    }
    NetClose(port->sock);
    port->~NetPort();
    free(port);
}
