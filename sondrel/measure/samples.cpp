// Samples to float.
#include "measure/samples.h"

#include "bytes.h"
#include "decode.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cfloat>

namespace sondrel {

static_assert(std::endian::native == std::endian::little,
              "float samples are read through bit casts of little-endian words");

SampleKind KindOf(const AudioLayout& l)
{
    switch (l.sampleTag) {
    case TagIEEEFloat:
        return l.bitsPerSample == 32   ? SampleKind::F32
               : l.bitsPerSample == 64 ? SampleKind::F64
                                       : SampleKind::None;
    case TagALaw:
        return l.bitsPerSample == 8 ? SampleKind::ALaw : SampleKind::None;
    case TagMuLaw:
        return l.bitsPerSample == 8 ? SampleKind::MuLaw : SampleKind::None;
    case TagPCM:
        break;
    default:
        return SampleKind::None;
    }
    if (l.bitsPerSample == 0 || l.bitsPerSample > 32)
        return SampleKind::None;
    // Samples narrower than their container are left-justified in it.
    static constexpr SampleKind byWidth[] = {SampleKind::U8, SampleKind::S16, SampleKind::S24,
                                             SampleKind::S32};
    return byWidth[ContainerBytes(l.bitsPerSample) - 1];
}

unsigned BytesOf(SampleKind k)
{
    switch (k) {
    case SampleKind::U8:
    case SampleKind::ALaw:
    case SampleKind::MuLaw:
        return 1;
    case SampleKind::S16:
        return 2;
    case SampleKind::S24:
        return 3;
    case SampleKind::S32:
    case SampleKind::F32:
        return 4;
    case SampleKind::F64:
        return 8;
    case SampleKind::None:
        break;
    }
    return 0;
}

// A-law: even bits inverted; the sign bit set for positive values; three
// bits of segment and four of step, a segment doubling the step of the one
// before from the second on.
int16_t ALawToLinear(uint8_t code)
{
    const unsigned a = code ^ 0x55u;
    const unsigned segment = (a >> 4) & 7, step = a & 15;
    const unsigned magnitude =
        segment == 0 ? 2 * step + 1 : (2 * step + 33) << (segment - 1); // 13-bit units
    const int v = static_cast<int>(magnitude << 3);
    return static_cast<int16_t>(a & 0x80 ? v : -v);
}

// Mu-law: every bit inverted; the sign bit clear for positive values; the
// segments biased by 33 so that each doubles the one before.
int16_t MuLawToLinear(uint8_t code)
{
    const unsigned u = ~code & 0xFFu;
    const unsigned segment = (u >> 4) & 7, step = u & 15;
    const unsigned magnitude = ((2 * step + 33) << segment) - 33; // 14-bit units
    const int v = static_cast<int>(magnitude << 2);
    return static_cast<int16_t>(u & 0x80 ? -v : v);
}

namespace
{

using Table = std::array<float, 256>;

template <int16_t (*Expand)(uint8_t)> const Table& TableOf()
{
    static const Table table = [] {
        Table t{};
        for (unsigned c = 0; c < 256; c++)
            t[c] = static_cast<float>(Expand(static_cast<uint8_t>(c))) * (1.0f / 32768);
        return t;
    }();
    return table;
}

template <SampleKind K> [[gnu::always_inline]] inline float Sample(const unsigned char* p)
{
    if constexpr (K == SampleKind::U8) {
        return static_cast<float>(p[0] - 128) * (1.0f / 128);
    } else if constexpr (K == SampleKind::S16) {
        return static_cast<float>(static_cast<int16_t>(LoadLE16(p))) * (1.0f / 32768);
    } else if constexpr (K == SampleKind::S24) {
        const uint32_t u = (uint32_t{p[0]} << 8) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 24);
        return static_cast<float>(static_cast<int32_t>(u)) * (1.0f / 2147483648.0f);
    } else if constexpr (K == SampleKind::S32) {
        return static_cast<float>(static_cast<int32_t>(LoadLE32(p))) * (1.0f / 2147483648.0f);
    } else if constexpr (K == SampleKind::F32) {
        const uint32_t u = LoadLE32(p);
        return (u & 0x7F800000u) == 0x7F800000u ? 0.0f : std::bit_cast<float>(u);
    } else {
        // Doubles beyond float's range are held at its edge.
        const uint64_t u = LoadLE64(p);
        if ((u & 0x7FF0000000000000u) == 0x7FF0000000000000u)
            return 0.0f;
        return static_cast<float>(
            std::clamp(std::bit_cast<double>(u), -double{FLT_MAX}, double{FLT_MAX}));
    }
}

template <SampleKind K>
[[gnu::always_inline]] inline void Convert(const unsigned char* in, size_t samples, float* out)
{
    constexpr size_t B = K == SampleKind::F64   ? 8
                         : K == SampleKind::S16 ? 2
                         : K == SampleKind::S24 ? 3
                         : K == SampleKind::U8  ? 1
                                                : 4;
    for (size_t i = 0; i < samples; i++)
        out[i] = Sample<K>(in + i * B);
}

void Expand(const Table& t, const unsigned char* in, size_t samples, float* out)
{
    for (size_t i = 0; i < samples; i++)
        out[i] = t[in[i]];
}

[[gnu::always_inline]] inline void Convert(SampleKind k, const unsigned char* in, size_t samples,
                                           float* out)
{
    switch (k) {
    case SampleKind::U8:
        return Convert<SampleKind::U8>(in, samples, out);
    case SampleKind::S16:
        return Convert<SampleKind::S16>(in, samples, out);
    case SampleKind::S24:
        return Convert<SampleKind::S24>(in, samples, out);
    case SampleKind::S32:
        return Convert<SampleKind::S32>(in, samples, out);
    case SampleKind::F32:
        return Convert<SampleKind::F32>(in, samples, out);
    case SampleKind::F64:
        return Convert<SampleKind::F64>(in, samples, out);
    case SampleKind::ALaw:
        return Expand(TableOf<ALawToLinear>(), in, samples, out);
    case SampleKind::MuLaw:
        return Expand(TableOf<MuLawToLinear>(), in, samples, out);
    case SampleKind::None:
        return;
    }
}

// The compilers vectorise the conversions: each instruction set gets its own.
void ConvertBase(SampleKind k, const unsigned char* in, size_t samples, float* out)
{
    Convert(k, in, samples, out);
}

#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("avx2")]] void ConvertAvx2(SampleKind k, const unsigned char* in, size_t samples,
                                         float* out)
{
    Convert(k, in, samples, out);
}

[[gnu::target("avx512f,avx512bw,avx512vl")]] void
ConvertAvx512(SampleKind k, const unsigned char* in, size_t samples, float* out)
{
    Convert(k, in, samples, out);
}
#endif

} // namespace

void ToFloatWith(Isa isa, SampleKind kind, const unsigned char* in, size_t samples, float* out)
{
#if defined(__x86_64__) && defined(__GNUC__)
    if (isa == Isa::Avx512)
        return ConvertAvx512(kind, in, samples, out);
    if (isa == Isa::Avx2)
        return ConvertAvx2(kind, in, samples, out);
#else
    (void)isa;
#endif
    ConvertBase(kind, in, samples, out);
}

void ToFloat(SampleKind kind, const unsigned char* in, size_t samples, float* out)
{
    static const Isa widest = WidestIsa();
    ToFloatWith(widest, kind, in, samples, out);
}

} // namespace sondrel
