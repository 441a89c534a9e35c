// A script file through torvex-check. No crash; every finding is on a line the
// file has, in line order, with the script's bytes escaped; the checker reads
// the file in exactly the pieces the run's fgets reads; and a large script
// made only of jumps, drawn from the input, is checked in bounded time.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "fuzz/common.h"
#include "tools/check/check.h"
#include "tools/check/reader.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    SilenceConsole();
    return 0;
}

// Lines the file has: one per line feed, and one more for bytes after the last.
static long LinesIn(const uint8_t* data, size_t size)
{
    long lines = 0;
    for (size_t i = 0; i < size; i++) {
        lines += data[i] == '\n';
    }
    return lines + (size > 0 && data[size - 1] != '\n' ? 1 : 0);
}

static void SamePiecesAsFgets(FILE* asRun, FILE* asChecked, const uint8_t* data, size_t size)
{
    static PieceReader reader;
    // Chunks from the least a piece needs up: pieces cut at every place a chunk can end.
    reader.Chunk = LINE_BUFFER_SIZE + (size > 0 ? data[0] * 3 : 0);
    StartReading(&reader, asChecked);
    Piece piece;
    char line[LINE_MAX_READ + 1];
    long before = 0;
    long lineNumber = 1;
    while (fgets(line, sizeof line, asRun) != nullptr) {
        const long after = ftell(asRun);
        FUZZ_CHECK(NextPiece(&reader, &piece));
        const size_t n = static_cast<size_t>(after - before);
        FUZZ_CHECK(piece.Length == n);
        FUZZ_CHECK(memcmp(piece.Text, data + before, n) == 0 && piece.Text[n] == '\0');
        FUZZ_CHECK(piece.Line == lineNumber);
        FUZZ_CHECK(piece.First == (before == 0 || data[before - 1] == '\n'));
        FUZZ_CHECK(piece.Continues == (data[after - 1] != '\n' && static_cast<size_t>(after) < size));
        lineNumber += data[after - 1] == '\n';
        before = after;
    }
    FUZZ_CHECK(!NextPiece(&reader, &piece) && !reader.Failed);
}

// Labels, #goto and #if lines only, each chosen by a byte of the input, their
// targets spread over the whole script: loops within loops, forwards and back.
static void JumpsOnlyInBoundedTime(const uint8_t* data, size_t size)
{
    constexpr unsigned LINES = 20000;
    std::string script;
    uint32_t mix = 2166136261u;
    for (unsigned i = 0; i < LINES; i++) {
        const uint8_t b = size > 0 ? data[i % size] : 0;
        mix = (mix ^ b ^ i) * 16777619u;
        const unsigned target = mix % (LINES / 4);
        switch (b % 4) {
        case 0: script += ":L" + std::to_string(i / 4) + "\r\n"; break;
        case 1: script += "#goto L" + std::to_string(target) + "\r\n"; break;
        case 2: script += "#if (OK) L" + std::to_string(target) + "\r\n"; break;
        default: script += "#prompt\r\n#if (Y) L" + std::to_string(target) + "\r\n"; break;
        }
    }
    FILE* f = tmpfile();
    FUZZ_CHECK(f != nullptr && fwrite(script.data(), 1, script.size(), f) == script.size());
    rewind(f);
    const std::clock_t start = std::clock();
    FUZZ_CHECK(CheckScript(f, CheckOptions{}, [](const Finding&) {}) == 0);
    // Linear work takes milliseconds, even instrumented; anything quadratic, far more.
    FUZZ_CHECK(std::clock() - start < CLOCKS_PER_SEC);
    fclose(f);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FILE* asRun = tmpfile();
    FILE* asChecked = tmpfile();
    FUZZ_CHECK(asRun != nullptr && asChecked != nullptr);
    FUZZ_CHECK(fwrite(data, 1, size, asRun) == size && fwrite(data, 1, size, asChecked) == size);
    rewind(asRun);
    rewind(asChecked);
    SamePiecesAsFgets(asRun, asChecked, data, size);

    rewind(asChecked);
    const long lines = LinesIn(data, size);
    long last = 1;
    CheckOptions options;
    options.Wire = true;
    options.Now = SystemTime{2023, 11, 4, 30, 12, 0, 0, 0};
    const int stopped = CheckScript(asChecked, options, [&](const Finding& f) {
        FUZZ_CHECK(f.Line >= last && f.Line <= lines);
        FUZZ_CHECK(!f.Text.empty());
        // The script's own bytes are shown escaped: nothing reaches the terminal raw.
        for (const char c : f.Text) {
            FUZZ_CHECK(static_cast<unsigned char>(c) >= 32 && static_cast<unsigned char>(c) < 127);
        }
        last = f.Line;
    });
    FUZZ_CHECK(stopped == 0);
    fclose(asRun);
    fclose(asChecked);
    // It costs a hundred ordinary inputs: one input in eight.
    if (size > 0 && data[0] % 8 == 0) {
        JumpsOnlyInBoundedTime(data, size);
    }
    return 0;
}
