// 16-bit mono downmix of interleaved integer PCM, in place.
#include "text/mono.h"

#include "bytes.h"
#include "cpu.h"
#include "text/mono_plan.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <utility>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace sondrel {

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

// Frame by frame, for any sample width and channel count: frames `first` up
// to `frames`, the ones before already mixed.  Never inlined into the vector
// paths, whose targets would turn it into gathers of single words for the
// few frames left after the last whole group.
[[gnu::noinline]] void MixPlain(unsigned char* p, int32_t first, int32_t frames,
                                int32_t bytesPerSample, int32_t nchannels)
{
    const size_t frameBytes = static_cast<size_t>(bytesPerSample) * nchannels;
    // Offsets rather than pointers: s may run past the end after the last frame.
    size_t s = static_cast<size_t>(first) * frameBytes + static_cast<size_t>(bytesPerSample) - 2;
    size_t d = static_cast<size_t>(first) * 2;
    for (int32_t i = first; i < frames; i++) {
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

// The frame loop as the compiler vectorises it: the base path, and every path
// where the vector kernel is not built.
template <Isa I, int B, int C> struct Mixer {
    static void Run(unsigned char* p, int32_t frames) { MixChunks<B, C>(p, frames); }
};

#if defined(__x86_64__) && defined(__GNUC__)

// The vector kernel.  Every operation works within a 128-bit lane, and each
// lane mixes its own group of 8 frames, so nothing crosses lanes.  Samples
// reach the lanes by 16-byte loads and byte shuffles, never by gathers,
// cross-lane permutes or word-by-word inserts, which some cores run slowly
// and all on one port.

// Every function that takes or returns a vector carries the target: across a
// call without it the vector would change its calling convention.
#define SONDREL_AVX2_INLINE gnu::target("avx2"), gnu::always_inline

// Two lanes.
struct Avx2Lanes {
    using V = __m256i;
    static constexpr int N = 2;
    [[SONDREL_AVX2_INLINE]] static V Load(const unsigned char* p, size_t stride)
    {
        return _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(p + stride),
                                   reinterpret_cast<const __m128i*>(p));
    }
    [[SONDREL_AVX2_INLINE]] static void Store(unsigned char* p, V v)
    {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
    }
    template <size_t... I>
    [[SONDREL_AVX2_INLINE]] static V Bytes(const ByteMask& m, std::index_sequence<I...>)
    {
        return _mm256_set_epi8(m[(sizeof...(I) - 1 - I) % 16]...);
    }
    [[SONDREL_AVX2_INLINE]] static V Bytes(const ByteMask& m)
    {
        return Bytes(m, std::make_index_sequence<32>{});
    }
    [[SONDREL_AVX2_INLINE]] static V Shuffle(V v, V m) { return _mm256_shuffle_epi8(v, m); }
    [[SONDREL_AVX2_INLINE]] static V Or(V a, V b) { return _mm256_or_si256(a, b); }
    [[SONDREL_AVX2_INLINE]] static V Add(V a, V b) { return _mm256_add_epi32(a, b); }
    [[SONDREL_AVX2_INLINE]] static V PairSums(V v)
    {
        return _mm256_madd_epi16(v, _mm256_set1_epi16(1));
    }
    [[SONDREL_AVX2_INLINE]] static V Pack(V a, V b) { return _mm256_packs_epi32(a, b); }
    template <int S> [[SONDREL_AVX2_INLINE]] static V Srai(V v) { return _mm256_srai_epi32(v, S); }
    template <int S> [[SONDREL_AVX2_INLINE]] static V Srli(V v) { return _mm256_srli_epi32(v, S); }
    template <int S> [[SONDREL_AVX2_INLINE]] static V Srli64(V v)
    {
        return _mm256_srli_epi64(v, S);
    }
    template <int S> [[SONDREL_AVX2_INLINE]] static V Slli64(V v)
    {
        return _mm256_slli_epi64(v, S);
    }
    template <int M> [[SONDREL_AVX2_INLINE]] static V Blend(V a, V b)
    {
        return _mm256_blend_epi32(a, b, M | M << 4);
    }
    template <int M> [[SONDREL_AVX2_INLINE]] static V Dwords(V v)
    {
        return _mm256_shuffle_epi32(v, M);
    }
    [[SONDREL_AVX2_INLINE]] static V ScaleTrunc(V v, float f)
    {
        return _mm256_cvttps_epi32(_mm256_mul_ps(_mm256_cvtepi32_ps(v), _mm256_set1_ps(f)));
    }
};

// Mixes groups of 8 frames, one group per 128-bit lane.
template <int B, int C> struct LaneMixer {
    using L = Avx2Lanes;
    using V = L::V;
    static constexpr int P = PaddedChannels(C);
    static constexpr size_t GroupBytes = static_cast<size_t>(8) * B * C;
    static constexpr std::array<RegPlan, P> Plan = MakePlan<B, C>();

    template <size_t R> [[SONDREL_AVX2_INLINE]] static V Fill(const unsigned char* in)
    {
        constexpr RegPlan g = Plan[R];
        if constexpr (g.packs)
            return L::Pack(L::Srai<16>(L::Load(in + g.at[0], GroupBytes)),
                           L::Srai<16>(L::Load(in + g.at[1], GroupBytes)));
        V v = L::Load(in + g.at[0], GroupBytes);
        if constexpr (!g.identity)
            v = L::Shuffle(v, L::Bytes(g.mask[0]));
        if constexpr (g.loads == 2)
            v = L::Or(v, L::Shuffle(L::Load(in + g.at[1], GroupBytes), L::Bytes(g.mask[1])));
        return v;
    }

    [[SONDREL_AVX2_INLINE]] static V Sum(V x) { return L::PairSums(x); }

    // Pair sums of frames (a, b) and of (c, d), 4 words a frame: [a c b d].
    [[SONDREL_AVX2_INLINE]] static V Fours(V x, V y)
    {
        return L::Blend<0b1010>(L::Add(x, L::Srli64<32>(x)), L::Add(y, L::Slli64<32>(y)));
    }

    // Pair sums of 4 frames of 6 words, 3 pairs a frame: [f0 f3 f2 f1].
    // Each blend picks one pair of every frame; the pairs of frame i sit at
    // (k - i) mod 4 for pair k, so two rotations line them up.
    [[SONDREL_AVX2_INLINE]] static V Sixes(V q0, V q1, V q2)
    {
        const V c0 = L::Blend<0b0010>(L::Blend<0b0100>(q0, q1), q2);
        const V c1 = L::Blend<0b0100>(L::Blend<0b0010>(q1, q0), q2);
        const V c2 = L::Blend<0b0010>(L::Blend<0b0100>(q2, q0), q1);
        return L::Add(L::Add(c0, L::Dwords<0x39>(c1)), L::Dwords<0x4E>(c2));
    }

    // Pair sums of 4 frames of 8 words, one frame a register: [f0 f1 f2 f3].
    [[SONDREL_AVX2_INLINE]] static V Eights(V q0, V q1, V q2, V q3)
    {
        const V r01 = Fours(q0, q1), r23 = Fours(q2, q3); // halves of frames [0 1 0 1], [2 3 2 3]
        return L::Add(L::Blend<0b1100>(r01, r23), L::Dwords<0x4E>(L::Blend<0b1100>(r23, r01)));
    }

    // Slightly above 1/C, so that exact quotients do not truncate to one less:
    // for sums of at most 8 16-bit values the product stays within the gap to
    // the next integer, and the quotient is the integer one toward zero (the
    // tests try every sum).
    static constexpr float Reciprocal = static_cast<float>(1.0 / C * (1.0 + 1.0 / (1 << 20)));

    [[SONDREL_AVX2_INLINE]] static V Divide(V sum)
    {
        if constexpr (std::has_single_bit(static_cast<unsigned>(C))) {
            constexpr int k = std::countr_zero(static_cast<unsigned>(C));
            const V bias = L::Srli<32 - k>(L::Srai<31>(sum));
            return L::Srai<k>(L::Add(sum, bias));
        } else {
            return L::ScaleTrunc(sum, Reciprocal);
        }
    }

    // The 8 output words of each lane's group, in order.
    template <size_t... R>
    [[SONDREL_AVX2_INLINE]] static V Group(const unsigned char* in, std::index_sequence<R...>)
    {
        const V x[] = {Fill<R>(in)...};
        if constexpr (P == 1) {
            return x[0];
        } else {
            V lo, hi; // sums of frames 0-3 and 4-7
            if constexpr (P == 2) {
                lo = Sum(x[0]);
                hi = Sum(x[1]);
            } else if constexpr (P == 4) {
                lo = Fours(Sum(x[0]), Sum(x[1]));
                hi = Fours(Sum(x[2]), Sum(x[3]));
            } else if constexpr (P == 6) {
                lo = Sixes(Sum(x[0]), Sum(x[1]), Sum(x[2]));
                hi = Sixes(Sum(x[3]), Sum(x[4]), Sum(x[5]));
            } else {
                lo = Eights(Sum(x[0]), Sum(x[1]), Sum(x[2]), Sum(x[3]));
                hi = Eights(Sum(x[4]), Sum(x[5]), Sum(x[6]), Sum(x[7]));
            }
            const V words = L::Pack(Divide(lo), Divide(hi));
            if constexpr (P == 4 || P == 6)
                return L::Shuffle(words, L::Bytes(WordOrder(P)));
            return words;
        }
    }

    // Mixes whole groups in place and returns the frames done.  A group reads
    // only its own frames, and the words it writes land on bytes already read.
    [[SONDREL_AVX2_INLINE]] static int32_t Run(unsigned char* p, int32_t frames)
    {
        constexpr int32_t Step = 8 * L::N;
        int32_t done = 0;
        for (; frames - done >= Step; done += Step)
            L::Store(p + 2 * static_cast<size_t>(done),
                     Group(p + static_cast<size_t>(done) * B * C, std::make_index_sequence<P>{}));
        // GCC leaves this out before calling the plain loop of this file, and
        // SSE code after it would pay for the dirty upper halves on some cores.
        _mm256_zeroupper();
        return done;
    }
};

#undef SONDREL_AVX2_INLINE

template <int B, int C> struct Mixer<Isa::Avx2, B, C> {
    [[gnu::target("avx2")]] static void Run(unsigned char* p, int32_t frames)
    {
        MixPlain(p, LaneMixer<B, C>::Run(p, frames), frames, B, C);
    }
};

// Four 128-bit lanes to a register ran slower than two on Zen 4 for 23 of
// the 24 layouts (it splits 512-bit operations in two, and filling four
// lanes takes three inserts where two lanes take one), and Intel cores issue
// 512-bit shuffles on one port only: the AVX-512 path mixes with two lanes.
template <int B, int C> struct Mixer<Isa::Avx512, B, C> {
    [[gnu::target("avx512f,avx512bw,avx512vl")]] static void Run(unsigned char* p, int32_t frames)
    {
        MixPlain(p, LaneMixer<B, C>::Run(p, frames), frames, B, C);
    }
};
#endif

constexpr int MaxFastChannels = 8;
using MixerRow = std::array<MixFn, MaxFastChannels>;
using MixerTable = std::array<MixerRow, 3>; // [bytes per sample - 2][channels - 1]

template <Isa I, int B, int... Cs>
constexpr MixerRow MixersOfWidth(std::integer_sequence<int, Cs...>)
{
    return {&Mixer<I, B, Cs + 1>::Run...};
}

template <Isa I> constexpr MixerTable Mixers()
{
    constexpr auto channels = std::make_integer_sequence<int, MaxFastChannels>{};
    return {MixersOfWidth<I, 2>(channels), MixersOfWidth<I, 3>(channels),
            MixersOfWidth<I, 4>(channels)};
}

constexpr IsaTables<MixerTable> Kernels = {Mixers<Isa::Base>(), Mixers<Isa::Avx2>(),
                                           Mixers<Isa::Avx512>()};

MixFn FastMixer(Isa isa, int32_t bytesPerSample, int32_t nchannels)
{
    if (bytesPerSample > 4 || nchannels > MaxFastChannels)
        return nullptr;
    return ForIsa(Kernels,
                  isa)[static_cast<size_t>(bytesPerSample - 2)][static_cast<size_t>(nchannels - 1)];
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
    MixPlain(static_cast<unsigned char*>(buffer), 0, nsamples, bytesPerSample, nchannels);
    return nsamples * 2;
}

int32_t PCMToMonoWith(Isa isa, void* buffer, int32_t nbytes, int32_t bytesPerSample,
                      int32_t nchannels)
{
    const int32_t nsamples = FrameCount(nbytes, bytesPerSample, nchannels);
    if (nsamples < 0)
        return 0;
    if (bytesPerSample == 2 && nchannels == 1)
        return nsamples * 2; // already what the mix would write
    auto* p = static_cast<unsigned char*>(buffer);
    if (MixFn fast = FastMixer(isa, bytesPerSample, nchannels))
        fast(p, nsamples);
    else
        MixPlain(p, 0, nsamples, bytesPerSample, nchannels);
    return nsamples * 2;
}

int32_t PCMToMono(void* buffer, int32_t nbytes, int32_t bytesPerSample, int32_t nchannels)
{
    return PCMToMonoWith(WidestIsa(), buffer, nbytes, bytesPerSample, nchannels);
}

} // namespace sondrel
