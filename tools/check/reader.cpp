// Script pieces exactly as the run's fgets takes them, from the file read once.
#include "tools/check/reader.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

static void Release(PieceReader* r)
{
    free(const_cast<char*>(r->Bytes));
    r->Bytes = nullptr;
    r->Size = 0;
}

// Twice the room, the bytes kept; null, with them freed, when there is none.
static char* Grown(char* bytes, size_t* room)
{
    char* more = *room < SIZE_MAX / 2 ? static_cast<char*>(realloc(bytes, *room * 2)) : nullptr;
    if (more == nullptr) {
        free(bytes);
        return nullptr;
    }
    *room *= 2;
    return more;
}

PieceReader::~PieceReader()
{
    Release(this);
}

void StartReading(PieceReader* r, FILE* in)
{
    Release(r);
    r->Failed = false;
    r->Error = 0;
    // Read in whole, not mapped: both passes then see the same bytes, even if
    // the file is written or cut short meanwhile.
    // The size now is a guess: a file can grow while it is read.
    size_t room = 1 << 16;
    const int64_t start = FileTell(in);
    if (start >= 0 && fseek(in, 0, SEEK_END) == 0) {
        const int64_t end = FileTell(in);
        if (end > start && static_cast<uint64_t>(end - start) < SIZE_MAX / 2) {
            // One byte more than the file, so that the read that finds its end
            // needs no bigger buffer, and one for the terminator.
            room = static_cast<size_t>(end - start) + 2;
        }
        (void)FileSeek(in, start);
    }
    clearerr(in);
    char* bytes = static_cast<char*>(malloc(room));
    size_t size = 0;
    size_t n = 1;
    while (bytes != nullptr && n > 0) {
        if (size + 1 == room) {
            bytes = Grown(bytes, &room);
            continue;
        }
        n = fread(bytes + size, 1, room - 1 - size, in);
        size += n;
    }
    if (bytes == nullptr) {
        r->Failed = true;
        r->Error = ENOMEM;
    } else if (ferror(in)) {
        r->Failed = true;
        r->Error = errno;
        free(bytes);
    } else {
        r->Bytes = bytes;
        r->Size = size;
    }
    ReadAgain(r);
}

void ReadAgain(PieceReader* r)
{
    r->Pos = 0;
    r->Line = 1;
    r->LineStart = true;
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
