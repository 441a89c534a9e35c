// torvex-rack's text from outside: device bytes as JUnit XML text, and a
// port list file. The XML text must be what XML 1.0 carries, whatever the
// bytes; a port list is read or refused with a line number, never misread.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "tools/rack/junit.h"
#include "tools/rack/portlist.h"
#include "tools/rack/record.h"

static void CheckXml(const std::string& xml, bool attribute)
{
    static const char* const entities[] = {"&amp;", "&lt;", "&gt;", "&quot;", "&#13;", "&#10;", "&#9;"};
    size_t at = 0;
    while (at < xml.size()) {
        const unsigned char c = static_cast<unsigned char>(xml[at]);
        if (c == '&') {
            size_t n = 0;
            for (const char* e : entities) {
                n = xml.compare(at, strlen(e), e) == 0 ? strlen(e) : n;
            }
            if (n == 0) {
                __builtin_trap();
            }
            at += n;
            continue;
        }
        const bool control = c < 0x20 && !(!attribute && (c == '\n' || c == '\t'));
        if (c == '<' || c == '>' || c == '"' || control || c == 0x7F) {
            __builtin_trap();
        }
        const size_t n = c < 0x80 ? 1 : Utf8Length(xml, at);
        if (n == 0) {
            __builtin_trap();  // not UTF-8: a parser would refuse the file
        }
        at += n;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    CheckXml(XmlText(bytes, false), false);
    CheckXml(XmlText(bytes, true), true);
    std::istringstream in(bytes);
    std::vector<RackPort> ports;
    size_t bad = 0;
    std::string why;
    const bool read = ReadPortList(in, &ports, &bad, &why);
    if (read != (bad == 0) || (!read && why.empty())) {
        __builtin_trap();
    }
    for (const RackPort& port : ports) {
        if (port.Name.empty() || port.Baud.find_first_not_of("0123456789") != std::string::npos) {
            __builtin_trap();
        }
    }
    return 0;
}
