// Bytes from a network port's server through the telnet and COM port codec.
// Input: the first byte picks the size of the pieces the rest arrives in; the
// rest is what the server sends. Fed whole and in pieces, the codec must give
// the same data, the same answers and the same COM port state.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/common.h"
#include "remote/telnet.h"

namespace {

std::string Feed(telnet::Codec* codec, const uint8_t* in, size_t n, size_t piece)
{
    std::string data;
    uint8_t buf[256];
    for (size_t at = 0; at < n; at += piece) {
        const size_t k = n - at < piece ? n - at : piece;
        memcpy(buf, in + at, k);
        const size_t got = telnet::Receive(codec, buf, k, buf);
        FUZZ_CHECK(got <= k);
        data.append(reinterpret_cast<const char*>(buf), got);
        FUZZ_CHECK(codec->sub.size() <= 64);
    }
    return data;
}

// Every answer is a whole negotiation: IAC, a verb, an option.
bool WellFormed(const std::string& reply)
{
    if (reply.size() % 3 != 0) {
        return false;
    }
    for (size_t i = 0; i < reply.size(); i += 3) {
        const uint8_t verb = static_cast<uint8_t>(reply[i + 1]);
        if (static_cast<uint8_t>(reply[i]) != telnet::IAC || verb < telnet::WILL) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const size_t piece = data[0] % 255 + 1;
    data++;
    size--;

    telnet::Codec whole;
    telnet::Codec pieces;
    telnet::Opening(&whole, true);
    telnet::Opening(&pieces, true);
    std::string all(reinterpret_cast<const char*>(data), size);
    uint8_t* in = reinterpret_cast<uint8_t*>(&all[0]);
    const size_t got = telnet::Receive(&whole, in, size, in);
    FUZZ_CHECK(got <= size);
    const std::string fromWhole = all.substr(0, got);
    FUZZ_CHECK(Feed(&pieces, data, size, piece) == fromWhole);
    FUZZ_CHECK(whole.reply == pieces.reply);
    FUZZ_CHECK(WellFormed(whole.reply));
    FUZZ_CHECK(whole.comPort == pieces.comPort && whole.controls == pieces.controls);
    FUZZ_CHECK(memcmp(whole.answers, pieces.answers, sizeof whole.answers) == 0);
    FUZZ_CHECK(memcmp(whole.value, pieces.value, sizeof whole.value) == 0);

    // What the client sends comes back as the same data to a server's decoder.
    std::string wire;
    telnet::Escape(reinterpret_cast<const uint8_t*>(fromWhole.data()), fromWhole.size(), &wire);
    FUZZ_CHECK(telnet::Unescaped(wire, wire.size()) == fromWhole.size());
    telnet::Codec server;
    FUZZ_CHECK(Feed(&server, reinterpret_cast<const uint8_t*>(wire.data()), wire.size(), piece) == fromWhole);
    FUZZ_CHECK(server.reply.empty());
    return 0;
}
