// Plans of writes: the file a plan makes, read before it is written, and the
// writer that makes it.
#include "write/plan.h"

#include "write/durable.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace sondrel {

namespace
{

const Piece* PieceAt(const Plan& plan, uint64_t offset)
{
    const auto it =
        std::upper_bound(plan.pieces.begin(), plan.pieces.end(), offset,
                         [](uint64_t at, const Piece& piece) { return at < piece.offset; });
    if (it == plan.pieces.begin())
        return nullptr;
    const Piece& p = *std::prev(it);
    return offset - p.offset < p.bytes ? &p : nullptr;
}

// The planned file's bytes up to the first that no piece gives.
size_t ReadPlanned(const Plan& plan, const ByteReader& input, uint64_t offset,
                   unsigned char* buffer, size_t count, int* error)
{
    size_t done = 0;
    while (done < count) {
        const Piece* p = PieceAt(plan, offset + done);
        if (!p)
            break;
        const uint64_t into = offset + done - p->offset;
        const auto n = static_cast<size_t>(std::min<uint64_t>(count - done, p->bytes - into));
        if (p->from) {
            const size_t got = input(*p->from + into, buffer + done, n, error);
            done += got;
            if (got != n)
                break;
        } else {
            std::memcpy(buffer + done, p->literal.data() + into, n);
            done += n;
        }
    }
    return done;
}

} // namespace

ByteReader PlannedFile(const Plan& plan, const ByteReader& input)
{
    return [&plan, &input](uint64_t offset, void* buffer, size_t count, int* error) {
        *error = 0;
        return ReadPlanned(plan, input, offset, static_cast<unsigned char*>(buffer), count, error);
    };
}

ByteReader Overlaid(const Plan& plan, size_t count, const ByteReader& base, uint64_t baseBytes,
                    uint64_t* length)
{
    *length = baseBytes;
    for (size_t i = 0; i < count; i++)
        *length = std::max(*length, plan.pieces[i].offset + plan.pieces[i].bytes);
    const uint64_t end = *length;
    return [&plan, count, &base, baseBytes, end](uint64_t offset, void* buffer, size_t want,
                                                 int* error) -> size_t {
        *error = 0;
        if (offset >= end)
            return 0;
        const auto n = static_cast<size_t>(std::min<uint64_t>(want, end - offset));
        auto* b = static_cast<unsigned char*>(buffer);
        std::memset(b, 0, n);
        if (offset < baseBytes) {
            const auto old = static_cast<size_t>(std::min<uint64_t>(n, baseBytes - offset));
            if (const size_t got = base(offset, b, old, error); got != old)
                return got;
        }
        for (size_t i = 0; i < count; i++) {
            const Piece& p = plan.pieces[i];
            const uint64_t from = std::max(offset, p.offset);
            const uint64_t to = std::min(offset + n, p.offset + p.bytes);
            if (from < to)
                std::memcpy(b + (from - offset), p.literal.data() + (from - p.offset),
                            static_cast<size_t>(to - from));
        }
        return n;
    };
}

std::string LE16(uint16_t v)
{
    std::string s(2, '\0');
    StoreLE16(reinterpret_cast<unsigned char*>(s.data()), v);
    return s;
}

std::string LE32(uint32_t v)
{
    std::string s(4, '\0');
    StoreLE32(reinterpret_cast<unsigned char*>(s.data()), v);
    return s;
}

std::string LE64(uint64_t v)
{
    return LE32(static_cast<uint32_t>(v)) + LE32(static_cast<uint32_t>(v >> 32));
}

int WritePlan(const Plan& plan, int in, int out, const char** failedStep,
              const std::function<void(uint64_t)>& progress)
{
    for (const Piece& p : plan.pieces) {
        *failedStep = "write";
        std::function<void(uint64_t)> copied;
        if (progress)
            copied = [&](uint64_t done) { progress(p.offset + done); };
        const int e = p.from ? CopyRange(in, *p.from, out, p.offset, p.bytes, copied)
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

AppendPoint AppendPointAfter(const std::vector<WalkedChunk>& visible, uint64_t fileBytes)
{
    if (visible.empty())
        return {};
    const WalkedChunk& last = visible.back();
    const uint64_t bodyEnd = last.offset + 8 + last.size;
    if (!(last.size & 1))
        return {bodyEnd, false};
    return {bodyEnd + 1, bodyEnd >= fileBytes};
}

} // namespace sondrel
