// Device bytes through what the response wait does with one read: escaped
// display, echo skipping, the response text and its one-line summary.
// Input: the sent text, a NUL, then the bytes of one read (NULs included).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz/common.h"
#include "serial/display.h"
#include "serial/response.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    SilenceConsole();
    return 0;
}

// The echo rule on its own, to hold the code to.
static bool White(char c)
{
    return c == '\n' || c == '\r' || c == '\t' || c == ' ';
}

static const char* ModelSkipEcho(const char* Tx, const char* Rx)
{
    for (;;) {
        while (White(*Tx)) {
            Tx++;
        }
        while (White(*Rx)) {
            Rx++;
        }
        if (*Tx == '\0' || *Rx == '\0' || *Tx != *Rx) {
            return Rx;
        }
        Tx++;
        Rx++;
        if (*Tx == '\0' || *Rx == '\0') {
            return Rx;
        }
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The sent text is a command line as the line buffer holds it.
    const void* nul = memchr(data, 0, size);
    const size_t sentEnd = nul != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - data) : size;
    const size_t sentLength = sentEnd < 401 ? sentEnd : 401;
    char* sent = static_cast<char*>(malloc(sentLength + 1));
    memcpy(sent, data, sentLength);
    sent[sentLength] = '\0';
    const size_t skip = nul != nullptr ? sentEnd + 1 : size;
    data += skip;
    size -= skip;

    const size_t count = size < RX_MAX ? size : RX_MAX;

    // In the receive buffer, as a read leaves it, with an older read's bytes behind.
    memset(RxData, 'Z', sizeof RxData);
    memcpy(RxData, data, count);
    RxData[count] = '\0';
    nRx = static_cast<uint32_t>(count);
    DisplayString(RxData, count);
    const char* answer = SkipEcho(sent, RxData);
    FUZZ_CHECK(answer >= RxData && answer <= RxData + strlen(RxData));
    FUZZ_CHECK(answer == ModelSkipEcho(sent, RxData));
    FUZZ_CHECK(Response(sent, RxData) == answer);
    FUZZ_CHECK(RespStr == answer);
    PrintResponse(RespStr);

    // Again in a buffer of exactly the read's size, where any overrun shows.
    char* rx = static_cast<char*>(malloc(count + 1));
    memcpy(rx, data, count);
    rx[count] = '\0';
    DisplayString(rx, count);
    const char* tail = Response(sent, rx);
    FUZZ_CHECK(tail - rx == answer - RxData);
    PrintResponse(tail);
    // RespStr must not be left pointing into memory about to be freed.
    RespStr = RxData + (answer - RxData);

    free(rx);
    free(sent);
    return 0;
}
