// Bytes from a network port's server through the telnet and COM port codec.
// Input: the first byte picks the size of the pieces the rest arrives in; the
// rest is what the server sends. Fed whole and in pieces, the codec must give
// the same data, the same answers and the same COM port state; its buffers stay
// within their fixed sizes, and answers sent after every piece are never dropped.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/common.h"
#include "remote/telnet.h"

namespace {

// Feeds in pieces; with send, the answers are taken out after each, as a port does.
std::string Feed(telnet::Codec* codec, const uint8_t* in, size_t n, size_t piece, bool send)
{
    std::string data;
    uint8_t buf[256];
    for (size_t at = 0; at < n; at += piece) {
        const size_t k = n - at < piece ? n - at : piece;
        memcpy(buf, in + at, k);
        const size_t got = telnet::Receive(codec, buf, k, buf);
        FUZZ_CHECK(got <= k);
        data.append(reinterpret_cast<const char*>(buf), got);
        FUZZ_CHECK(codec->subLength <= telnet::SubMax);
        FUZZ_CHECK(codec->replyLength <= telnet::ReplyMax);
        if (send) {
            codec->replyLength = 0;
        }
    }
    return data;
}

// Every answer is a whole negotiation: IAC, a verb, an option.
bool WellFormed(const telnet::Codec& codec)
{
    if (codec.replyLength % 3 != 0) {
        return false;
    }
    for (size_t i = 0; i < codec.replyLength; i += 3) {
        if (codec.reply[i] != telnet::IAC || codec.reply[i + 1] < telnet::WILL) {
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
    telnet::Codec sending;
    telnet::Opening(&whole, true);
    telnet::Opening(&pieces, true);
    std::string all(reinterpret_cast<const char*>(data), size);
    uint8_t* in = reinterpret_cast<uint8_t*>(&all[0]);
    const size_t got = telnet::Receive(&whole, in, size, in);
    FUZZ_CHECK(got <= size);
    FUZZ_CHECK(whole.replyLength <= telnet::ReplyMax);
    const std::string fromWhole = all.substr(0, got);
    FUZZ_CHECK(Feed(&pieces, data, size, piece, false) == fromWhole);
    FUZZ_CHECK(whole.replyLength == pieces.replyLength && whole.repliesDropped == pieces.repliesDropped);
    FUZZ_CHECK(memcmp(whole.reply, pieces.reply, whole.replyLength) == 0);
    FUZZ_CHECK(WellFormed(whole));
    FUZZ_CHECK(whole.comPort == pieces.comPort && whole.controls == pieces.controls);
    FUZZ_CHECK(memcmp(whole.answers, pieces.answers, sizeof whole.answers) == 0);
    FUZZ_CHECK(memcmp(whole.value, pieces.value, sizeof whole.value) == 0);

    // A port answers after every piece it receives: then no answer is lost.
    telnet::Opening(&sending, true);
    sending.replyLength = 0;
    FUZZ_CHECK(Feed(&sending, data, size, piece, true) == fromWhole);
    FUZZ_CHECK(sending.repliesDropped == 0);

    // What the client sends comes back as the same data to a server's decoder,
    // also when the escaped bytes come in pieces of a small buffer.
    std::string wire;
    for (size_t at = 0; at < fromWhole.size();) {
        uint8_t out[64];
        size_t taken = 0;
        const size_t n = telnet::Escape(reinterpret_cast<const uint8_t*>(fromWhole.data()) + at,
                                        fromWhole.size() - at, out, piece < sizeof out ? piece + 1 : sizeof out, &taken);
        FUZZ_CHECK(taken > 0 && telnet::Unescaped(out, n, n) == taken);
        wire.append(reinterpret_cast<const char*>(out), n);
        at += taken;
    }
    telnet::Codec server;
    FUZZ_CHECK(Feed(&server, reinterpret_cast<const uint8_t*>(wire.data()), wire.size(), piece, false) == fromWhole);
    FUZZ_CHECK(server.replyLength == 0);
    return 0;
}
