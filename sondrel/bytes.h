// Little-endian loads and stores over byte buffers, and chunk ids.  Every
// multi-byte field of a WAVE file goes through these: never a struct laid
// over file bytes, whose padding and byte order would make it wrong.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

namespace sondrel {

inline uint16_t LoadLE16(const unsigned char* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t LoadLE32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t LoadLE64(const unsigned char* p)
{
    return static_cast<uint64_t>(LoadLE32(p)) | (static_cast<uint64_t>(LoadLE32(p + 4)) << 32);
}

inline void StoreLE16(unsigned char* p, uint16_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
inline void StoreLE32(unsigned char* p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline void StoreLE64(unsigned char* p, uint64_t v)
{
    StoreLE32(p, static_cast<uint32_t>(v));
    StoreLE32(p + 4, static_cast<uint32_t>(v >> 32));
}

// A chunk id or file magic: four raw bytes, compared as they are ("fmt "
// ends in a blank).
using FourCC = std::array<char, 4>;

inline bool IdIs(const FourCC& id, const char (&name)[5])
{
    return std::memcmp(id.data(), name, 4) == 0;
}

// The id stored at `p`.
inline FourCC IdAt(const unsigned char* p)
{
    return {static_cast<char>(p[0]), static_cast<char>(p[1]), static_cast<char>(p[2]),
            static_cast<char>(p[3])};
}

inline FourCC MakeId(const char (&name)[5])
{
    return {name[0], name[1], name[2], name[3]};
}

} // namespace sondrel
