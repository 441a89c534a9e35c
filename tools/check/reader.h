// A script read in the pieces the run reads it in: one fgets of at most
// LINE_MAX_READ characters, ending after the line feed when that fits, each
// numbered by the line of the file it comes from. The file is read a chunk at
// a time, once for each pass, and the second pass must find the same bytes as
// the first: a file changed in between stops it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "script/modem.h"

struct Piece {
    char Text[LINE_BUFFER_SIZE];  // the bytes and a terminator, with the run's room for "AT"
    size_t Length;                // bytes read, NULs included
    long Line;                    // line of the file, from 1
    bool First;                   // the line's first piece
    bool Continues;               // more of the same line follows as another piece
};

// A piece where it lies in the reader's chunk, valid until the next piece is
// read. Only its own bytes can be read.
struct PieceView {
    const char* Bytes;
    size_t Length;
    long Line;
    bool First;
    bool Continues;
};

struct PieceReader {
    // Bytes read at once: a chunk the caches hold, reused, where the whole
    // file in memory would cost a fresh page every 4 KiB.
    size_t Chunk = 256 << 10;
    FILE* In = nullptr;
    int64_t Start = 0;       // where the script begins in In
    uint64_t Size = 0;       // the file's size when the reading began: a guess for room
    char* Bytes = nullptr;   // Chunk bytes; Bytes[Pos, End) not yet taken
    size_t Pos = 0;
    size_t End = 0;
    bool AtEnd = false;     // nothing more to read in this pass
    bool Failed = false;    // a read failed; Error holds its number
    int Error = 0;
    bool Changed = false;   // the second pass did not find the first pass's bytes
    bool Again = false;     // in the second pass
    // Each read of the first pass, to compare the second pass's with.
    struct Read {
        uint64_t Length;
        uint64_t Sum;
    };
    std::vector<Read> Reads;
    size_t NextRead = 0;
    long Line = 1;          // line of the next piece
    bool LineStart = true;  // the next piece begins a line

    PieceReader() = default;
    PieceReader(const PieceReader&) = delete;
    PieceReader& operator=(const PieceReader&) = delete;
    ~PieceReader();
};

// Starts the first pass at in's current position, which must be the file's
// start. Sets Failed when it cannot.
void StartReading(PieceReader* r, FILE* in);
// Back to the first piece for the second pass, reading the file again.
void ReadAgain(PieceReader* r);
// More bytes into the chunk, so that a whole piece and the byte after it are
// there, or the end of the file is.
void Refill(PieceReader* r);
// The next piece; false at the end of the file, or when a read failed or the
// file changed between the passes.
bool NextPiece(PieceReader* r, Piece* p);
// The same without copying it; inline, as both readings call it for every line.
inline bool NextPieceInPlace(PieceReader* r, PieceView* v)
{
    if (r->End - r->Pos <= LINE_MAX_READ && !r->AtEnd) {
        Refill(r);
    }
    const size_t avail = r->End - r->Pos;
    if (avail == 0) {
        return false;
    }
    const char* start = r->Bytes + r->Pos;
    const size_t most = avail < LINE_MAX_READ ? avail : LINE_MAX_READ;
    const char* lf = static_cast<const char*>(memchr(start, '\n', most));
    const size_t n = lf != nullptr ? static_cast<size_t>(lf - start) + 1 : most;
    v->Bytes = start;
    v->Length = n;
    v->Line = r->Line;
    v->First = r->LineStart;
    // The chunk holds a byte past a whole piece unless the file ends in it.
    v->Continues = lf == nullptr && n < avail;
    r->Pos += n;
    r->LineStart = !v->Continues;
    if (lf != nullptr) {
        r->Line++;
    }
    return true;
}
