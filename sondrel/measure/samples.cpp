// Samples to float.
#include "measure/samples.h"

#include "bytes.h"
#include "decode.h"
#include "measure/lanes.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cfloat>
#include <iterator>

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

namespace
{

// By SampleKind, None last.
constexpr unsigned SampleBytes[] = {1, 2, 3, 4, 4, 8, 1, 1, 0};
static_assert(std::size(SampleBytes) == static_cast<size_t>(SampleKind::None) + 1);

} // namespace

unsigned BytesOf(SampleKind k)
{
    return SampleBytes[static_cast<size_t>(k)];
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

template <int16_t (*Law)(uint8_t)> const Table& TableOf()
{
    static const Table table = [] {
        Table t{};
        for (unsigned c = 0; c < 256; c++)
            t[c] = static_cast<float>(Law(static_cast<uint8_t>(c))) * (1.0f / 32768);
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
    constexpr size_t B = SampleBytes[static_cast<size_t>(K)];
    for (size_t i = 0; i < samples; i++)
        out[i] = Sample<K>(in + i * B);
}

template <int16_t (*Law)(uint8_t)>
[[gnu::always_inline]] inline void Expand(const unsigned char* in, size_t samples, float* out)
{
    const Table& t = TableOf<Law>();
    for (size_t i = 0; i < samples; i++)
        out[i] = t[in[i]];
}

using ConvertFn = void (*)(const unsigned char* in, size_t samples, float* out);

// By SampleKind, None left out.
struct SampleKernels {
    ConvertFn convert[static_cast<size_t>(SampleKind::None)];
};

// The compilers vectorise the conversions: each instruction set gets its
// own build of them, a table each.
template <typename Build> constexpr SampleKernels Built()
{
    using K = SampleKind;
    return {{Build::template Run<Convert<K::U8>>, Build::template Run<Convert<K::S16>>,
             Build::template Run<Convert<K::S24>>, Build::template Run<Convert<K::S32>>,
             Build::template Run<Convert<K::F32>>, Build::template Run<Convert<K::F64>>,
             Build::template Run<Expand<ALawToLinear>>,
             Build::template Run<Expand<MuLawToLinear>>}};
}

struct Base {
    template <ConvertFn F> static void Run(const unsigned char* in, size_t n, float* out)
    {
        F(in, n, out);
    }
};
struct Avx2 {
    template <ConvertFn F>
    [[SONDREL_AVX2]] static void Run(const unsigned char* in, size_t n, float* out)
    {
        F(in, n, out);
    }
};
struct Avx512 {
    template <ConvertFn F>
    [[SONDREL_AVX512]] static void Run(const unsigned char* in, size_t n, float* out)
    {
        F(in, n, out);
    }
};

constexpr IsaTables<SampleKernels> Kernels = {Built<Base>(), Built<Avx2>(), Built<Avx512>()};

} // namespace

void ToFloatWith(Isa isa, SampleKind kind, const unsigned char* in, size_t samples, float* out)
{
    if (kind != SampleKind::None)
        ForIsa(Kernels, isa).convert[static_cast<size_t>(kind)](in, samples, out);
}

void ToFloat(SampleKind kind, const unsigned char* in, size_t samples, float* out)
{
    ToFloatWith(WidestIsa(), kind, in, samples, out);
}

} // namespace sondrel
