// Network port names; see name.h.
#include "remote/name.h"

#include <cstring>

namespace netname {

namespace {

bool HasScheme(const char* text, const char* scheme)
{
    for (; *scheme != '\0'; text++, scheme++) {
        const char c = *text >= 'A' && *text <= 'Z' ? static_cast<char>(*text - 'A' + 'a') : *text;
        if (c != *scheme) {
            return false;
        }
    }
    return true;
}

bool Is(const char* text, size_t n, const char* word)
{
    return strlen(word) == n && memcmp(text, word, n) == 0;
}

// PORT, 1 to 65535, then the end of the address or a path.
Fault ReadPort(const char* text, const char* end, Name* name)
{
    const char* p = text;
    uint32_t number = 0;
    while (p < end && *p >= '0' && *p <= '9' && p - text < 6) {
        number = number * 10 + static_cast<uint32_t>(*p - '0');
        p++;
    }
    if (p == text && (p == end || *p == '/')) {
        return p == end ? Fault::NoPort : Fault::Path;
    }
    if (p - text > 5 || number < 1 || number > 65535 || (p < end && *p != '/')) {
        return Fault::PortRange;
    }
    if (p < end) {
        return Fault::Path;
    }
    memcpy(name->port, text, static_cast<size_t>(p - text));
    name->port[p - text] = '\0';
    return Fault::None;
}

Fault SetHost(const char* text, const char* end, Name* name)
{
    const size_t n = static_cast<size_t>(end - text);
    if (n == 0) {
        return Fault::NoHost;
    }
    if (memchr(text, '/', n) != nullptr) {
        return Fault::Path;
    }
    if (n > HostMax) {
        return Fault::HostLong;
    }
    memcpy(name->host, text, n);
    name->host[n] = '\0';
    return Fault::None;
}

Fault ReadAddress(const char* text, const char* end, Name* name)
{
    if (text == end) {
        return Fault::NoHost;
    }
    const char* colon = nullptr;
    Fault fault = Fault::None;
    if (*text == '[') {
        const char* close = static_cast<const char*>(memchr(text, ']', static_cast<size_t>(end - text)));
        if (close == nullptr) {
            return Fault::Bracket;
        }
        fault = SetHost(text + 1, close, name);
        if (close + 1 == end) {
            return fault == Fault::None ? Fault::NoPort : fault;
        }
        if (close[1] != ':') {
            return fault == Fault::None ? Fault::NoPort : fault;
        }
        colon = close + 1;
    } else {
        colon = static_cast<const char*>(memchr(text, ':', static_cast<size_t>(end - text)));
        if (colon == nullptr) {
            return Fault::NoPort;
        }
        const char* slash = static_cast<const char*>(memchr(text, '/', static_cast<size_t>(end - text)));
        const char* second = static_cast<const char*>(memchr(colon + 1, ':', static_cast<size_t>(end - colon - 1)));
        if (second != nullptr && (slash == nullptr || second < slash)) {
            return Fault::BareIpv6;
        }
        fault = SetHost(text, colon, name);
    }
    return fault != Fault::None ? fault : ReadPort(colon + 1, end, name);
}

// Seconds, with up to three decimals: more than 0, at most an hour.
bool ReadSeconds(const char* text, const char* end, uint32_t* ms)
{
    uint32_t whole = 0;
    const char* p = text;
    while (p < end && *p >= '0' && *p <= '9' && p - text < 5) {
        whole = whole * 10 + static_cast<uint32_t>(*p++ - '0');
    }
    if (p == text) {
        return false;
    }
    uint32_t part = 0;
    if (p < end && *p == '.') {
        p++;
        for (uint32_t scale = 100; p < end && *p >= '0' && *p <= '9' && scale > 0; scale /= 10) {
            part += static_cast<uint32_t>(*p++ - '0') * scale;
        }
    }
    *ms = whole * 1000 + part;
    return p == end && *ms > 0 && *ms <= 3600 * 1000;
}

Fault ReadOption(const char* text, const char* end, Name* name)
{
    const size_t n = static_cast<size_t>(end - text);
    const char* eq = static_cast<const char*>(memchr(text, '=', n));
    const size_t key = eq == nullptr ? n : static_cast<size_t>(eq - text);
    if (eq != nullptr && Is(text, key, "logging")) {
        const size_t m = static_cast<size_t>(end - eq - 1);
        if (Is(eq + 1, m, "debug") || Is(eq + 1, m, "info") || Is(eq + 1, m, "warning") || Is(eq + 1, m, "error")) {
            return Fault::None;
        }
    } else if (name->rfc2217 && eq == nullptr && Is(text, n, "ign_set_control")) {
        name->ignSetControl = true;
        return Fault::None;
    } else if (name->rfc2217 && eq == nullptr && Is(text, n, "poll_modem")) {
        name->pollModem = true;
        return Fault::None;
    } else if (name->rfc2217 && eq != nullptr && Is(text, key, "timeout")) {
        return ReadSeconds(eq + 1, end, &name->limitMs) ? Fault::None : Fault::Timeout;
    }
    name->option = text;
    name->optionLength = n;
    return Fault::Option;
}

}  // namespace

bool IsNetName(const char* text)
{
    return HasScheme(text, "rfc2217://") || HasScheme(text, "socket://");
}

Fault Parse(const char* text, Name* name)
{
    memset(name, 0, sizeof *name);
    name->rfc2217 = HasScheme(text, "rfc2217://");
    name->limitMs = DefaultLimitMs;
    const char* address = strstr(text, "://") + 3;
    const char* query = strchr(address, '?');
    const char* end = query != nullptr ? query : address + strlen(address);
    Fault fault = ReadAddress(address, end, name);
    // pyserial's options: name=value or a bare name, joined by &; empty ones are skipped.
    for (const char* p = query; fault == Fault::None && p != nullptr; p = strchr(p + 1, '&')) {
        const char* next = strchr(p + 1, '&');
        const char* stop = next != nullptr ? next : p + 1 + strlen(p + 1);
        if (stop > p + 1) {
            fault = ReadOption(p + 1, stop, name);
        }
    }
    return fault;
}

}  // namespace netname
