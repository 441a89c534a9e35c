// Script pieces exactly as the run's fgets takes them, from the file read a
// chunk at a time.
#include "tools/check/reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {

// A sum of the bytes that sees their order: the sum of words and the sum of
// those sums, in four lanes so that the additions need not wait on each other.
uint64_t SumOf(const char* bytes, size_t n)
{
    uint64_t words[4] = {0, 0, 0, 0};
    uint64_t sums[4] = {0, 0, 0, 0};
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        for (size_t lane = 0; lane < 4; lane++) {
            uint64_t w;
            memcpy(&w, bytes + i + 8 * lane, 8);
            words[lane] += w;
            sums[lane] += words[lane];
        }
    }
    uint64_t tail = 0;
    for (; i < n; i++) {
        tail = tail * 31 + static_cast<unsigned char>(bytes[i]);
    }
    uint64_t sum = tail;
    for (size_t lane = 0; lane < 4; lane++) {
        sum = sum * 0x9E3779B97F4A7C15u + words[lane];
        sum = sum * 0x9E3779B97F4A7C15u + sums[lane];
    }
    return sum;
}

// Nothing more in this pass: what is left in the chunk is dropped too, as it
// may end in the middle of a piece.
void Stop(PieceReader* r)
{
    r->AtEnd = true;
    r->Pos = 0;
    r->End = 0;
}

// To the first piece at the script's start, for either pass.
void Restart(PieceReader* r)
{
    r->Line = 1;
    r->LineStart = true;
    r->NextRead = 0;
    r->AtEnd = false;
    r->Pos = 0;
    r->End = 0;
    if (!r->Failed && (r->Start < 0 || !FileSeek(r->In, r->Start))) {
        r->Failed = true;
        r->Error = errno;
    }
    if (r->Failed) {
        Stop(r);
    }
}

}  // namespace

PieceReader::~PieceReader()
{
    free(Bytes);
}

void StartReading(PieceReader* r, FILE* in)
{
    free(r->Bytes);
    // Room for a whole piece and the byte after it, at the least.
    r->Chunk = std::max<size_t>(r->Chunk, LINE_BUFFER_SIZE);
    r->Bytes = static_cast<char*>(malloc(r->Chunk));
    r->In = in;
    r->Failed = r->Bytes == nullptr;
    r->Error = r->Failed ? ENOMEM : 0;
    r->Changed = false;
    r->Again = false;
    r->Reads.clear();
    r->Size = 0;
    r->Start = FileTell(in);
    if (r->Start >= 0 && fseek(in, 0, SEEK_END) == 0) {
        const int64_t end = FileTell(in);
        r->Size = end > r->Start ? static_cast<uint64_t>(end - r->Start) : 0;
    }
    Restart(r);
}

void ReadAgain(PieceReader* r)
{
    r->Again = true;
    Restart(r);
}

void Refill(PieceReader* r)
{
    memmove(r->Bytes, r->Bytes + r->Pos, r->End - r->Pos);
    r->End -= r->Pos;
    r->Pos = 0;
    while (r->End <= LINE_MAX_READ) {
        const size_t n = fread(r->Bytes + r->End, 1, r->Chunk - r->End, r->In);
        if (n == 0) {
            if (ferror(r->In)) {
                r->Failed = true;
                r->Error = errno;
                Stop(r);
            } else if (r->Again && r->NextRead != r->Reads.size()) {
                r->Changed = true;  // cut short since the first pass
                Stop(r);
            }
            r->AtEnd = true;
            return;
        }
        const PieceReader::Read read{n, SumOf(r->Bytes + r->End, n)};
        if (!r->Again) {
            r->Reads.push_back(read);
        } else if (r->NextRead == r->Reads.size() || r->Reads[r->NextRead].Length != read.Length ||
                   r->Reads[r->NextRead].Sum != read.Sum) {
            r->Changed = true;
            Stop(r);
            return;
        }
        r->NextRead++;
        r->End += n;
    }
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
