// One script command through ProcessCommand, against an arbitrary response
// text and a script file whose labels have been indexed.
// Input: a flags byte (bit 0 Debug, bit 1 UTC, bits 2-3 where RespStr stands:
// 0 the empty text of the start, 1 in the response at the offset the second
// byte selects, 2 at the terminator of a full 768-byte read, 3 after the echo
// of the command), a position byte, then the command text (after the "#"), a
// NUL, the device bytes, a NUL, and the script file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz/common.h"
#include "platform/platform.h"
#include "run/text.h"
#include "script/commands.h"
#include "serial/response.h"

static char* InitialRespStr;

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    SilenceConsole();
    InitialRespStr = RespStr;
    return 0;
}

// Up to the next NUL (consumed) or the end; at most limit bytes are kept.
static size_t TakeSection(const uint8_t** data, size_t* size, size_t limit)
{
    const void* nul = memchr(*data, 0, *size);
    const size_t length = nul != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - *data) : *size;
    const size_t consumed = nul != nullptr ? length + 1 : length;
    *data += consumed;
    *size -= consumed;
    return length < limit ? length : limit;
}

// A pause with a positive length would stall the fuzzer for seconds.
static bool WouldPause(const char* text)
{
    int32_t seconds = 0;
    return StartsWithNoCase(text, "WAIT") && text[4] != '\0' && ReadNumber(text + 5, &seconds) && seconds > 0;
}

// As a read leaves it: the bytes, a NUL, and leftovers of an older read behind.
static void FillRxData(const uint8_t* bytes, size_t count)
{
    memset(RxData, 'Z', sizeof RxData);
    memcpy(RxData, bytes, count);
    RxData[count] = '\0';
    nRx = static_cast<uint32_t>(count);
}

static void PlaceResponse(int mode, uint8_t position, const uint8_t* bytes, size_t count, const char* text)
{
    InitialRespStr[0] = '\0';
    RespStr = InitialRespStr;
    switch (mode) {
    case 0:
        break;
    case 1:
        FillRxData(bytes, count);
        RespStr = RxData + position % (count + 1);
        break;
    case 2: {
        // A full read, repeating the device bytes (or "OK") to fill it.
        uint8_t full[RX_MAX];
        const uint8_t* pattern = count > 0 ? bytes : reinterpret_cast<const uint8_t*>("OK");
        const size_t period = count > 0 ? count : 2;
        for (size_t i = 0; i < RX_MAX; i++) {
            full[i] = pattern[i % period];
        }
        FillRxData(full, RX_MAX);
        RespStr = RxData + RX_MAX;
        break;
    }
    default:
        FillRxData(bytes, count);
        Response(text, RxData);
        break;
    }
}

static bool AtLabelOrStart(FILE* FIn)
{
    const int64_t position = FileTell(FIn);
    if (position == 0) {
        return true;
    }
    for (const LabelRec* rec = Labels; rec != nullptr; rec = rec->Next) {
        if (rec->Offset == position) {
            return true;
        }
    }
    return false;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) {
        return -1;
    }
    const uint8_t flags = data[0];
    const uint8_t position = data[1];
    data += 2;
    size -= 2;

    // The text after "#" of one line read: at most LINE_MAX_READ - 1 bytes,
    // in a buffer of exactly its size.
    const uint8_t* textBytes = data;
    const size_t textLength = TakeSection(&data, &size, LINE_MAX_READ - 1);
    char* text = static_cast<char*>(malloc(textLength + 1));
    memcpy(text, textBytes, textLength);
    text[textLength] = '\0';
    if (WouldPause(text)) {
        free(text);
        return -1;
    }

    const uint8_t* rxBytes = data;
    const size_t rxCount = TakeSection(&data, &size, RX_MAX);

    // The script, read as stored; fmemopen gives the same reads as a file.
    char* script = static_cast<char*>(malloc(size + 1));
    memcpy(script, data, size);
    FILE* FIn = fmemopen(script, size, "rb");
    FUZZ_CHECK(FIn != nullptr);
    ScanFileForLabels(FIn);

    Debug = (flags & 1) != 0;
    UTC = (flags & 2) != 0;
    PlaceResponse((flags >> 2) & 3, position, rxBytes, rxCount, text);
    char* const before = RespStr;

    ProcessCommand(FIn, text);

    FUZZ_CHECK(RespStr == before);
    FUZZ_CHECK(AtLabelOrStart(FIn));

    fclose(FIn);
    free(script);
    free(text);
    FreeLabels();
    ResetSettings();
    return 0;
}
