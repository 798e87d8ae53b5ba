// 16-bit mono downmix of interleaved integer PCM, in place.
#include "mono.h"

#include "io.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <utility>

namespace
{

static_assert(std::endian::native == std::endian::little,
              "the fast paths load and store little-endian 16-bit words with memcpy");

// The two most significant bytes of a sample as a signed value: a 24-bit
// sample loses its low byte, a 32-bit one its low two, nothing is rounded.
inline int32_t Top16(const unsigned char* p)
{
    return static_cast<int16_t>(LoadLE16(p));
}

inline int32_t Clamp16(int32_t v)
{
    return std::clamp(v, -32768, 32767);
}

// Frame by frame, for any sample width and channel count.
void MixPlain(unsigned char* p, int32_t frames, int32_t bytesPerSample, int32_t nchannels)
{
    const size_t frameBytes = static_cast<size_t>(bytesPerSample) * nchannels;
    // Offsets rather than pointers: s may run past the end after the last frame.
    size_t s = static_cast<size_t>(bytesPerSample) - 2;
    size_t d = 0;
    for (int32_t i = 0; i < frames; i++) {
        int32_t sum = 0;
        for (int32_t c = 0; c < nchannels; c++)
            sum += Top16(p + s + static_cast<size_t>(c) * bytesPerSample);
        const int32_t mono = Clamp16(sum / nchannels);
        p[d] = static_cast<unsigned char>(mono & 0xFF);
        p[d + 1] = static_cast<unsigned char>((mono >> 8) & 0xFF);
        d += 2;
        s += frameBytes;
    }
    assert(d <= s);
}

// Frames mixed into a small local array, then copied down: a chunk's output
// lands only on bytes already read, and the compiler sees no aliasing.
constexpr int32_t ChunkFrames = 512;

// The channel count and width are compile-time constants here, so the
// division becomes a multiply and the loops unroll and vectorise.
template <int B, int C>
[[gnu::always_inline]] inline void MixChunk(const unsigned char* in, int16_t* out, int32_t n)
{
    constexpr size_t FrameBytes = static_cast<size_t>(B) * C;
    for (int32_t i = 0; i < n; i++) {
        const unsigned char* f = in + static_cast<size_t>(i) * FrameBytes + (B - 2);
        int32_t sum = 0;
        for (int c = 0; c < C; c++) {
            int16_t v;
            std::memcpy(&v, f + static_cast<size_t>(c) * B, sizeof v);
            sum += v;
        }
        out[i] = static_cast<int16_t>(Clamp16(sum / C));
    }
}

template <int B, int C>
[[gnu::always_inline]] inline void MixChunks(unsigned char* p, int32_t frames)
{
    constexpr size_t FrameBytes = static_cast<size_t>(B) * C;
    std::array<int16_t, ChunkFrames> out;
    for (int32_t base = 0; base < frames; base += ChunkFrames) {
        const int32_t n = std::min(ChunkFrames, frames - base);
        if (n == ChunkFrames)
            MixChunk<B, C>(p + static_cast<size_t>(base) * FrameBytes, out.data(), ChunkFrames);
        else
            MixChunk<B, C>(p + static_cast<size_t>(base) * FrameBytes, out.data(), n);
        std::memcpy(p + static_cast<size_t>(base) * 2, out.data(), static_cast<size_t>(n) * 2);
    }
}

using MixFn = void (*)(unsigned char*, int32_t);

// The same loops compiled for each vector width.
template <MixIsa I, int B, int C> struct Mixer {
    static void Run(unsigned char* p, int32_t frames) { MixChunks<B, C>(p, frames); }
};

#if defined(__x86_64__) && defined(__GNUC__)
#define SONDREL_WIDE_VECTORS 1
template <int B, int C> struct Mixer<MixIsa::Avx2, B, C> {
    [[gnu::target("avx2")]] static void Run(unsigned char* p, int32_t frames)
    {
        MixChunks<B, C>(p, frames);
    }
};

template <int B, int C> struct Mixer<MixIsa::Avx512, B, C> {
    [[gnu::target("avx512f,avx512bw,avx512vl")]] static void Run(unsigned char* p, int32_t frames)
    {
        MixChunks<B, C>(p, frames);
    }
};
#endif

constexpr int MaxFastChannels = 8;
using MixerRow = std::array<MixFn, MaxFastChannels>;
using MixerTable = std::array<MixerRow, 3>; // [bytes per sample - 2][channels - 1]

template <MixIsa I, int B, int... Cs>
constexpr MixerRow MixersOfWidth(std::integer_sequence<int, Cs...>)
{
    return {&Mixer<I, B, Cs + 1>::Run...};
}

template <MixIsa I> constexpr MixerTable Mixers()
{
    constexpr auto channels = std::make_integer_sequence<int, MaxFastChannels>{};
    return {MixersOfWidth<I, 2>(channels), MixersOfWidth<I, 3>(channels),
            MixersOfWidth<I, 4>(channels)};
}

// Indexed by MixIsa.
constexpr std::array<MixerTable, 3> AllMixers = {Mixers<MixIsa::Base>(), Mixers<MixIsa::Avx2>(),
                                                 Mixers<MixIsa::Avx512>()};

MixFn FastMixer(MixIsa isa, int32_t bytesPerSample, int32_t nchannels)
{
    if (bytesPerSample > 4 || nchannels > MaxFastChannels)
        return nullptr;
    return AllMixers[static_cast<size_t>(isa)][static_cast<size_t>(bytesPerSample - 2)]
                    [static_cast<size_t>(nchannels - 1)];
}

MixIsa WidestMixIsa()
{
    if (MixIsaSupported(MixIsa::Avx512))
        return MixIsa::Avx512;
    return MixIsaSupported(MixIsa::Avx2) ? MixIsa::Avx2 : MixIsa::Base;
}

// Whole frames in the block, with the warning for a partial one; -1 when the
// arguments break the preconditions (assertions are off in release builds).
int32_t FrameCount(int32_t nbytes, int32_t bytesPerSample, int32_t nchannels)
{
    assert(nbytes >= 0);
    const int64_t frameBytes = static_cast<int64_t>(bytesPerSample) * nchannels;
    const int32_t nsamples = frameBytes > 0 ? static_cast<int32_t>(nbytes / frameBytes) : 0;
    assert(nsamples >= 0);
    assert(bytesPerSample >= 2);
    assert(nchannels > 0);
    if (nbytes < 0 || bytesPerSample < 2 || nchannels <= 0)
        return -1;
    if (nbytes % frameBytes != 0)
        fputs("sondrel: Warning: PCMToMono: Incomplete audio buffer\n", stderr);
    return nsamples;
}

} // namespace

int32_t PCMToMonoReference(void* buffer, int32_t nbytes, int32_t bytesPerSample, int32_t nchannels)
{
    const int32_t nsamples = FrameCount(nbytes, bytesPerSample, nchannels);
    if (nsamples < 0)
        return 0;
    MixPlain(static_cast<unsigned char*>(buffer), nsamples, bytesPerSample, nchannels);
    return nsamples * 2;
}

bool MixIsaSupported(MixIsa isa)
{
#ifdef SONDREL_WIDE_VECTORS
    switch (isa) {
    case MixIsa::Base:
        return true;
    case MixIsa::Avx2:
        return __builtin_cpu_supports("avx2");
    case MixIsa::Avx512:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512vl");
    }
    return false;
#else
    return isa == MixIsa::Base;
#endif
}

int32_t PCMToMonoWith(MixIsa isa, void* buffer, int32_t nbytes, int32_t bytesPerSample,
                      int32_t nchannels)
{
    const int32_t nsamples = FrameCount(nbytes, bytesPerSample, nchannels);
    if (nsamples < 0)
        return 0;
    auto* p = static_cast<unsigned char*>(buffer);
    if (MixFn fast = FastMixer(isa, bytesPerSample, nchannels))
        fast(p, nsamples);
    else
        MixPlain(p, nsamples, bytesPerSample, nchannels);
    return nsamples * 2;
}

int32_t PCMToMono(void* buffer, int32_t nbytes, int32_t bytesPerSample, int32_t nchannels)
{
    static const MixIsa widest = WidestMixIsa();
    return PCMToMonoWith(widest, buffer, nbytes, bytesPerSample, nchannels);
}
