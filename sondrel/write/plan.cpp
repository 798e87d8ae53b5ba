// Plans of writes: the new-file check and the writer.
#include "write/plan.h"

#include "bytes.h"
#include "write/durable.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>
#include <utility>
#include <vector>

namespace
{

// Reads the planned file's bytes: literal pieces, or the input they copy.
class PlannedFile
{
  public:
    PlannedFile(const Plan& p, const InputReader& r) : plan(p), read(r) {}

    bool Read(uint64_t offset, unsigned char* buffer, size_t count) const
    {
        while (count > 0) {
            const Piece* p = PieceAt(offset);
            if (!p)
                return false;
            const uint64_t into = offset - p->offset;
            const auto n = static_cast<size_t>(std::min<uint64_t>(count, p->bytes - into));
            if (p->from) {
                if (read(*p->from + into, buffer, n) != n)
                    return false;
            } else {
                std::memcpy(buffer, p->literal.data() + into, n);
            }
            offset += n;
            buffer += n;
            count -= n;
        }
        return true;
    }

  private:
    const Piece* PieceAt(uint64_t offset) const
    {
        const auto it =
            std::upper_bound(plan.pieces.begin(), plan.pieces.end(), offset,
                             [](uint64_t at, const Piece& piece) { return at < piece.offset; });
        if (it == plan.pieces.begin())
            return nullptr;
        const Piece& p = *std::prev(it);
        return offset - p.offset < p.bytes ? &p : nullptr;
    }

    const Plan& plan;
    const InputReader& read;
};

std::string CheckPieces(const Plan& plan, uint64_t inputBytes)
{
    uint64_t at = 0;
    bool audioCopied = plan.audio.bytes == 0;
    for (const Piece& p : plan.pieces) {
        if (p.offset != at || p.bytes == 0)
            return "piece \"" + p.what + "\" is not contiguous with the one before";
        if (p.from ? (*p.from > inputBytes || inputBytes - *p.from < p.bytes || !p.literal.empty())
                   : p.literal.size() != p.bytes)
            return "piece \"" + p.what + "\" has no bytes of its own or in the input";
        if (p.from && *p.from == plan.audioFrom && p.offset == plan.audio.offset &&
            p.bytes == plan.audio.bytes)
            audioCopied = true;
        at += p.bytes;
    }
    if (at != plan.length)
        return "the pieces end at " + std::to_string(at) + ", not at the file's length";
    return audioCopied ? "" : "the audio is not one copy from its input offset";
}

struct Ds64Fields {
    uint64_t riffSize = 0, dataSize = 0, sampleCount = 0;
    std::vector<std::pair<FourCC, uint64_t>> table; // sizes of other chunks
};

// The ds64 body at `at`, `bytes` long: its sizes and as much of its table as it holds.
bool ReadDs64(const PlannedFile& f, uint64_t at, uint64_t bytes, Ds64Fields& d)
{
    unsigned char b[28];
    if (bytes < sizeof b || !f.Read(at, b, sizeof b))
        return false;
    d = {LoadLE64(b), LoadLE64(b + 8), LoadLE64(b + 16), {}};
    const uint64_t entries = std::min<uint64_t>(LoadLE32(b + 24), (bytes - sizeof b) / 12);
    for (uint64_t i = 0; i < entries; i++) {
        unsigned char e[12];
        if (!f.Read(at + sizeof b + 12 * i, e, sizeof e))
            return false;
        d.table.push_back({{char(e[0]), char(e[1]), char(e[2]), char(e[3])}, LoadLE64(e + 4)});
    }
    return true;
}

// A chunk's size: its field, or through ds64 when the field says so.
uint64_t Resolved(const unsigned char* header, const Ds64Fields* ds64)
{
    const uint32_t field = LoadLE32(header + 4);
    if (!ds64 || field != 0xFFFFFFFFu)
        return field;
    if (std::memcmp(header, "data", 4) == 0)
        return ds64->dataSize;
    for (const auto& [id, size] : ds64->table)
        if (std::memcmp(id.data(), header, 4) == 0)
            return size;
    return field;
}

// Walks the planned file's chunks: each header's size (through ds64 for
// RF64/BW64) must lead exactly to the next chunk and the last to the end.
std::string CheckChunks(const Plan& plan, const PlannedFile& f, bool wide)
{
    Ds64Fields ds64;
    bool sawData = false;
    for (uint64_t at = 12; at < plan.length;) {
        unsigned char h[8];
        if (plan.length - at < 8 || !f.Read(at, h, 8))
            return "a chunk header at " + std::to_string(at) + " is cut short";
        if (wide && at == 12) {
            if (std::memcmp(h, "ds64", 4) != 0 || !ReadDs64(f, at + 8, LoadLE32(h + 4), ds64))
                return "the first chunk is not a ds64 chunk";
            if (ds64.riffSize != plan.length - 8 || ds64.sampleCount != plan.frames)
                return "the ds64 RIFF size or sample count is wrong";
        }
        const uint64_t size = Resolved(h, wide ? &ds64 : nullptr);
        if (std::memcmp(h, "data", 4) == 0 && !sawData) {
            sawData = true;
            if (at + 8 != plan.audio.offset || size != plan.audio.bytes)
                return "the data chunk does not hold exactly the audio";
        }
        const uint64_t next = at + 8 + size + (size & 1);
        if (next < at || next > plan.length)
            return "chunk at " + std::to_string(at) + " runs past the end";
        at = next;
    }
    return sawData ? "" : "no data chunk";
}

} // namespace

std::string CheckNewFile(const Plan& plan, uint64_t inputBytes, const InputReader& read)
{
    if (std::string problem = CheckPieces(plan, inputBytes); !problem.empty())
        return problem;
    const PlannedFile f(plan, read);
    unsigned char head[12];
    if (plan.length < 12 || !f.Read(0, head, sizeof head) || std::memcmp(head + 8, "WAVE", 4) != 0)
        return "no WAVE header";
    const bool wide = std::memcmp(head, "RF64", 4) == 0 || std::memcmp(head, "BW64", 4) == 0;
    if (!wide && std::memcmp(head, "RIFF", 4) != 0)
        return "no RIFF, RF64 or BW64 magic";
    const uint32_t riffField = LoadLE32(head + 4);
    if (wide ? riffField != 0xFFFFFFFFu : riffField != plan.length - 8 || riffField == 0xFFFFFFFFu)
        return "the RIFF size is wrong";
    return CheckChunks(plan, f, wide);
}

int WritePlan(const Plan& plan, int in, int out, const char** failedStep)
{
    for (const Piece& p : plan.pieces) {
        *failedStep = "write";
        const int e = p.from ? CopyRange(in, *p.from, out, p.offset, p.bytes)
                             : WriteAllAt(out, p.literal.data(), p.literal.size(), p.offset);
        if (e != 0)
            return e;
        *failedStep = "flush";
        if (p.flushAfter)
            if (const int f = Flush(out))
                return f;
    }
    return 0;
}
