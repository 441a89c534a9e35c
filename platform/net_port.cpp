// Network ports: a TCP connection to a serial port server, with telnet and the
// COM port option between for rfc2217://, nothing between for socket://. Reads
// and writes keep the time-out rules of a local port, counting data bytes only.
#include "platform/net_port.h"

#include <cstring>
#include <string>

#include "platform/net.h"
#include "remote/telnet.h"

struct NetPort {
    NetSocket* sock = nullptr;
    bool rfc2217 = false;
    telnet::Codec codec;
    std::string early;  // data that came while the port was opened or set, read first
    CommTimeouts timeouts = {};
};

namespace {

// How long connecting, and each of the server's answers while the port is set, may take.
const uint32_t AnswerMs = 5000;
// A plain TCP server turning away a second client does it at once.
const uint32_t RefusalMs = 200;
const int64_t Us = 1000;  // microseconds in a millisecond
const int64_t Never = INT64_MAX;

bool HasScheme(const char* name, const char* scheme)
{
    for (; *scheme != '\0'; name++, scheme++) {
        const char c = *name >= 'A' && *name <= 'Z' ? static_cast<char>(*name - 'A' + 'a') : *name;
        if (c != *scheme) {
            return false;
        }
    }
    return true;
}

// HOST:PORT, HOST a name, an IPv4 address or [IPv6]; PORT 1 to 65535.
bool SplitAddress(const char* address, std::string* host, std::string* port)
{
    const char* colon = nullptr;
    if (address[0] == '[') {
        const char* close = strchr(address, ']');
        if (close == nullptr || close[1] != ':') {
            return false;
        }
        host->assign(address + 1, close);
        colon = close + 1;
    } else {
        colon = strrchr(address, ':');
        if (colon == nullptr || memchr(address, ':', static_cast<size_t>(colon - address)) != nullptr) {
            return false;
        }
        host->assign(address, colon);
    }
    port->assign(colon + 1);
    if (host->empty() || port->empty() || port->size() > 5) {
        return false;
    }
    long number = 0;
    for (const char c : *port) {
        if (c < '0' || c > '9') {
            return false;
        }
        number = number * 10 + (c - '0');
    }
    return number >= 1 && number <= 65535;
}

// Sends all of wire before deadline (NetClockUs, or Never); *done tells how much went.
// The console is flushed once: after the bytes, or before a wait for the socket.
bool SendAll(NetPort* port, const std::string& wire, int64_t deadline, size_t* done, long* err)
{
    *done = 0;
    bool flushed = false;
    bool ok = true;
    while (*done < wire.size()) {
        uint32_t sent = 0;
        if (!NetSend(port->sock, wire.data() + *done, static_cast<uint32_t>(wire.size() - *done), &sent, err)) {
            ok = false;
            break;
        }
        *done += sent;
        if (*done == wire.size()) {
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

// Protocol bytes: all of them go, or the connection is taken as stuck.
bool SendWhole(NetPort* port, const std::string& wire, long* err)
{
    size_t done = 0;
    if (!SendAll(port, wire, NetClockUs() + AnswerMs * Us, &done, err)) {
        return false;
    }
    if (done < wire.size()) {
        *err = NetErrorNumber(NetError::TimedOut);
        return false;
    }
    return true;
}

// Answers the server's negotiation, if it asked anything.
bool SendReplies(NetPort* port, long* err)
{
    if (port->codec.reply.empty()) {
        return true;
    }
    std::string reply;
    reply.swap(port->codec.reply);
    return SendWhole(port, reply, err);
}

// Takes what comes within waitUs (below 0: no limit) and decodes it into buf; *got
// data bytes, at most n.
bool Receive(NetPort* port, int64_t waitUs, uint8_t* buf, uint32_t n, uint32_t* got, long* err)
{
    *got = 0;
    const int ready = NetWait(port->sock, false, waitUs, err);
    if (ready <= 0) {
        return ready == 0;
    }
    if (!NetRecv(port->sock, buf, n, got, err)) {
        return false;
    }
    if (port->rfc2217) {
        *got = static_cast<uint32_t>(telnet::Receive(&port->codec, buf, *got, buf));
        return SendReplies(port, err);
    }
    return true;
}

// Receives until done() holds, keeping the data for the first read. A server that
// closes instead turns the client away; one that is silent past AnswerMs fails with late.
template <typename Done>
bool AwaitServer(NetPort* port, Done done, NetError late, long* err)
{
    const int64_t deadline = NetClockUs() + AnswerMs * Us;
    while (!done()) {
        const int64_t now = NetClockUs();
        if (now >= deadline) {
            *err = NetErrorNumber(late);
            return false;
        }
        uint8_t chunk[1024];
        uint32_t got = 0;
        if (!Receive(port, deadline - now, chunk, sizeof chunk, &got, err)) {
            return false;
        }
        port->early.append(reinterpret_cast<const char*>(chunk), got);
    }
    return true;
}

// A connection closed at once, or as the port is asked for its speed, is the
// server refusing a second client: the COM port option's query is answered by
// every server that keeps the connection.
bool Welcome(NetPort* port, long* err)
{
    const long closed = NetErrorNumber(NetError::Closed);
    bool ok = true;
    if (port->rfc2217) {
        const telnet::Codec& codec = port->codec;
        ok = SendWhole(port, telnet::Opening(&port->codec, true), err);
        if (ok && !AwaitServer(port, [&] { return codec.comPort != telnet::ComPort::Unanswered; }, NetError::NotSerial, err)) {
            // No telnet server at all: the configure step says the port is no serial port.
            ok = *err == NetErrorNumber(NetError::NotSerial);
        }
        if (ok && codec.comPort == telnet::ComPort::Agreed) {
            ok = SendWhole(port, telnet::ComPortCommand(telnet::SET_BAUDRATE, 0, 4), err) &&
                 AwaitServer(port, [&] { return codec.answers[telnet::SET_BAUDRATE] > 0; }, NetError::TimedOut, err);
        }
    } else {
        const int64_t deadline = NetClockUs() + RefusalMs * Us;
        for (int64_t now = NetClockUs(); ok && now < deadline; now = NetClockUs()) {
            uint8_t chunk[1024];
            uint32_t got = 0;
            ok = Receive(port, deadline - now, chunk, sizeof chunk, &got, err);
            port->early.append(reinterpret_cast<const char*>(chunk), got);
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
    return HasScheme(name, "rfc2217://") || HasScheme(name, "socket://");
}

bool NetPortOpen(const char* name, NetPort** port, long* err)
{
    const bool rfc2217 = HasScheme(name, "rfc2217://");
    std::string host;
    std::string service;
    if (!SplitAddress(strstr(name, "://") + 3, &host, &service)) {
        *err = NetErrorNumber(NetError::NotFound);
        return false;
    }
    NetSocket* sock = nullptr;
    FlushConsole();  // name lookup and connecting may take a while
    if (!NetConnect(host.c_str(), service.c_str(), AnswerMs, &sock, err)) {
        return false;
    }
    NetPort* p = new NetPort;
    p->sock = sock;
    p->rfc2217 = rfc2217;
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
    const std::string wire = ComPortCommand(SET_CONTROL, DtrOn, 1) + ComPortCommand(SET_CONTROL, RtsOn, 1) +
                             ComPortCommand(SET_CONTROL, NoFlowControl, 1) + ComPortCommand(SET_BAUDRATE, baud, 4) +
                             ComPortCommand(SET_DATASIZE, 8, 1) + ComPortCommand(SET_PARITY, NoParity, 1) +
                             ComPortCommand(SET_STOPSIZE, OneStopBit, 1);
    if (!SendWhole(port, wire, err)) {
        return false;
    }
    // Flow control answers 1 to 3, or 17 to 19 for flow by DCD or DSR.
    const uint32_t flowAnswers = 0xEu | 0xEu << 16;
    const auto answered = [&] {
        return codec.answers[SET_BAUDRATE] > 0 && codec.answers[SET_DATASIZE] > 0 && codec.answers[SET_PARITY] > 0 &&
               codec.answers[SET_STOPSIZE] > 0 && (codec.controls & flowAnswers) != 0;
    };
    if (!AwaitServer(port, answered, NetError::TimedOut, err)) {
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

// The Win32 read rules: return on n data bytes, on a gap longer than the interval
// time-out once data has come, or on the total limit. Telnet traffic is no data.
bool NetPortRead(NetPort* port, void* buf, uint32_t n, uint32_t* got, long* err)
{
    FlushConsole();
    uint8_t* out = static_cast<uint8_t*>(buf);
    *got = static_cast<uint32_t>(port->early.size() < n ? port->early.size() : n);
    memcpy(out, port->early.data(), *got);
    port->early.erase(0, *got);
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
        const int64_t now = NetClockUs();
        if (deadline != Never && now >= deadline) {
            break;
        }
        uint32_t k = 0;
        if (!Receive(port, deadline == Never ? -1 : deadline - now, out + *got, n - *got, &k, err)) {
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

bool NetPortWrite(NetPort* port, const void* buf, uint32_t n, uint32_t* sent, long* err)
{
    const uint8_t* data = static_cast<const uint8_t*>(buf);
    std::string wire;
    if (port->rfc2217) {
        telnet::Escape(data, n, &wire);
    } else {
        wire.assign(reinterpret_cast<const char*>(data), n);
    }
    const CommTimeouts& to = port->timeouts;
    const int64_t totalMs = static_cast<int64_t>(to.WriteTotalTimeoutConstant) +
                            static_cast<int64_t>(to.WriteTotalTimeoutMultiplier) * n;
    size_t done = 0;
    const bool ok = SendAll(port, wire, totalMs > 0 ? NetClockUs() + totalMs * Us : Never, &done, err);
    *sent = static_cast<uint32_t>(port->rfc2217 ? telnet::Unescaped(wire, done) : done);
    return ok;
}

void NetPortClose(NetPort* port)
{
    if (port == nullptr) {
        return;
    }
    NetClose(port->sock);
    delete port;
}
