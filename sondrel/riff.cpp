// The chunk walker.
#include "riff.h"

#include "io.h"

#include <cstring>
#include <utility>

namespace sondrel {

void WalkChunks(Walk& w, ChunkWalker& mode)
{
    for (;;) {
        if (!mode.ReadHeader(w))
            return;
        w.bodyOffset = w.chunkOffset + 8;
        if (!mode.SizeChunk(w) || !mode.VisitChunk(w))
            return;
        const uint64_t next = w.bodyOffset + w.steppedSize;
        const bool fits = next >= w.bodyOffset && next <= MaxFileOffset();
        if (!mode.MoveTo(w, fits ? std::optional(next) : std::nullopt))
            return;
        w.chunkOffset = next;
    }
}

void Ds64Sizes::Take(Ds64Record record)
{
    have_ = true;
    record_ = std::move(record);
    byId_.clear();
    for (const Ds64Entry& e : record_.table)
        byId_.emplace(LoadLE32(reinterpret_cast<const unsigned char*>(e.id.data())), e.size);
}

std::optional<uint64_t> Ds64Sizes::Size(const FourCC& id, uint32_t field) const
{
    if (field != SizeFromDs64)
        return field;
    if (have_ && IdIs(id, "data") && record_.fieldBytes >= 16)
        return record_.dataSize;
    const auto entry = byId_.find(LoadLE32(reinterpret_cast<const unsigned char*>(id.data())));
    return entry != byId_.end() ? std::optional(entry->second) : std::nullopt;
}

Magic MagicOf(const unsigned char* head)
{
    if (std::memcmp(head, "RF64", 4) == 0 || std::memcmp(head, "BW64", 4) == 0)
        return Magic::Rf64;
    return std::memcmp(head, "RIFF", 4) == 0 ? Magic::Riff : Magic::Other;
}

bool IsPrintableId(const unsigned char* id)
{
    for (int n = 0; n < 4; n++)
        if (id[n] < 0x20 || id[n] > 0x7E)
            return false;
    return true;
}

std::optional<uint64_t> EndFromSize(uint64_t riffSize)
{
    if (riffSize == 0 || riffSize == SizeFromDs64 || riffSize > MaxFileOffset() - 8)
        return std::nullopt;
    return riffSize + 8;
}

} // namespace sondrel
