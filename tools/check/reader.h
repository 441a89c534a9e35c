// A script read in the pieces the run reads it in: one fgets of at most
// LINE_MAX_READ characters, ending after the line feed when that fits, each
// numbered by the line of the file it comes from. Reads in blocks, so a pass
// over a large script costs little more than reading it, and holds one block
// whatever the length of its lines.
#pragma once

#include <cstddef>
#include <cstdio>

#include "script/modem.h"

struct Piece {
    char Text[LINE_BUFFER_SIZE];  // the bytes and a terminator, with the run's room for "AT"
    size_t Length;                // bytes read, NULs included
    long Line;                    // line of the file, from 1
    bool First;                   // the line's first piece
    bool Continues;               // more of the same line follows as another piece
};

// A piece where it lies in the reader's block, valid until the next read.
struct PieceView {
    const char* Bytes;
    size_t Length;
    long Line;
    bool First;
    bool Continues;
};

struct PieceReader {
    FILE* In;
    char Block[65536];
    size_t Pos;
    size_t End;
    bool AtEnd;     // the file has been read to its end
    bool Failed;    // a read failed; Error holds its number
    int Error;
    long Line;      // line of the next piece
    bool LineStart; // the next piece begins a line
};

// Starts reading in from its current position, which must be the file's start.
void StartReading(PieceReader* r, FILE* in);
// The next piece; false at the end of the file or when a read fails.
bool NextPiece(PieceReader* r, Piece* p);
// The same without copying it out of the block.
bool NextPieceInPlace(PieceReader* r, PieceView* v);
