// Script pieces exactly as the run's fgets takes them, read in blocks.
#include "tools/check/reader.h"

#include <cerrno>
#include <cstring>

void StartReading(PieceReader* r, FILE* in)
{
    r->In = in;
    r->Pos = 0;
    r->End = 0;
    r->AtEnd = false;
    r->Failed = false;
    r->Error = 0;
    r->Line = 1;
    r->LineStart = true;
}

// Makes at least want bytes available from Pos, or all that is left.
static void Fill(PieceReader* r, size_t want)
{
    if (r->End - r->Pos >= want || r->AtEnd) {
        return;
    }
    memmove(r->Block, r->Block + r->Pos, r->End - r->Pos);
    r->End -= r->Pos;
    r->Pos = 0;
    while (r->End < want && !r->AtEnd) {
        const size_t n = fread(r->Block + r->End, 1, sizeof r->Block - r->End, r->In);
        r->End += n;
        if (n == 0) {
            r->AtEnd = true;
            if (ferror(r->In)) {
                r->Failed = true;
                r->Error = errno;
            }
        }
    }
}

bool NextPieceInPlace(PieceReader* r, PieceView* v)
{
    // One byte beyond the piece tells whether its line goes on.
    Fill(r, LINE_MAX_READ + 1);
    const size_t avail = r->End - r->Pos;
    if (avail == 0 || r->Failed) {
        return false;
    }
    const char* start = r->Block + r->Pos;
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

bool NextPiece(PieceReader* r, Piece* p)
{
    PieceView v;
    if (!NextPieceInPlace(r, &v)) {
        return false;
    }
    memcpy(p->Text, v.Bytes, v.Length);
    p->Text[v.Length] = '\0';
    p->Length = v.Length;
    p->Line = v.Line;
    p->First = v.First;
    p->Continues = v.Continues;
    return true;
}
