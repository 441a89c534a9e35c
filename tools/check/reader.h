// A script read in the pieces the run reads it in: one fgets of at most
// LINE_MAX_READ characters, ending after the line feed when that fits, each
// numbered by the line of the file it comes from. The file is read once, whole,
// into memory, and every pass goes over that copy.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "script/modem.h"

struct Piece {
    char Text[LINE_BUFFER_SIZE];  // the bytes and a terminator, with the run's room for "AT"
    size_t Length;                // bytes read, NULs included
    long Line;                    // line of the file, from 1
    bool First;                   // the line's first piece
    bool Continues;               // more of the same line follows as another piece
};

// A piece where it lies in the reader's copy of the file, valid while the
// reader is. Only its own bytes can be read.
struct PieceView {
    const char* Bytes;
    size_t Length;
    long Line;
    bool First;
    bool Continues;
};

struct PieceReader {
    const char* Bytes = nullptr;  // the whole file, read into memory
    size_t Size = 0;
    size_t Pos = 0;
    bool Failed = false;  // the read failed; Error holds its number
    int Error = 0;
    long Line = 1;          // line of the next piece
    bool LineStart = true;  // the next piece begins a line

    PieceReader() = default;
    PieceReader(const PieceReader&) = delete;
    PieceReader& operator=(const PieceReader&) = delete;
    ~PieceReader();
};

// Reads in whole from its current position, which must be the file's start,
// and starts at its first piece. Sets Failed when it cannot.
void StartReading(PieceReader* r, FILE* in);
// Back to the first piece, without reading the file again.
void ReadAgain(PieceReader* r);
// The next piece; false at the end of the file or when the read failed.
bool NextPiece(PieceReader* r, Piece* p);
// The same without copying it; inline, as both readings call it for every line.
inline bool NextPieceInPlace(PieceReader* r, PieceView* v)
{
    const size_t avail = r->Size - r->Pos;
    if (avail == 0 || r->Failed) {
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
    v->Continues = lf == nullptr && n < avail;
    r->Pos += n;
    r->LineStart = !v->Continues;
    if (lf != nullptr) {
        r->Line++;
    }
    return true;
}
