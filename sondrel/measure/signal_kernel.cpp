// The signal measures' sums.  The vector paths are the plain loop over
// lanes compiled for each instruction set: lanes make the sums of a
// channel independent of one another, which is all a vector needs, and
// keep the order of every addition (no multiply-add is fused: the file is
// built with -ffp-contract=off).
#include "measure/signal_kernel.h"

#include "bytes.h"
#include "measure/lanes.h"

#include <array>
#include <bit>
#include <limits>
#include <numeric>

namespace sondrel {

constexpr unsigned MinWidth = 128;

template <typename T, typename Acc> void PieceSums<T, Acc>::Resize(unsigned channels)
{
    // Whole frames, a multiple of 16 lanes, and long rows: the loop over a
    // row is what the compilers vectorise.
    const unsigned row = channels >= 32 ? channels : channels * 16 / std::gcd(channels, 16u);
    width = row * ((MinWidth + row - 1) / row);
    min.assign(channels, T{});
    max.assign(channels, T{});
    sum.assign(channels, Acc{});
    squares.assign(channels, Acc{});
    laneMin.assign(width, T{});
    laneMax.assign(width, T{});
    laneSum.assign(width, Acc{});
    laneSquares.assign(width, Acc{});
    laneCross.assign(width, Acc{});
}

template struct PieceSums<int32_t, int64_t>;
template struct PieceSums<double, double>;

namespace
{

using G711Table = std::array<int32_t, 256>;

// The two codes nearest 0 are G.711's silence: A-law has no 0, its
// quietest codes are +-8 in 16-bit units.
template <int16_t (*Expand)(uint8_t)> const G711Table& G711Of()
{
    static const G711Table table = [] {
        G711Table t{};
        int quietest = 1 << 16;
        for (unsigned c = 0; c < 256; c++) {
            t[c] = Expand(static_cast<uint8_t>(c));
            quietest = std::min(quietest, t[c] < 0 ? -t[c] : t[c]);
        }
        for (int32_t& v : t)
            v = v == quietest || v == -quietest ? 0 : v;
        return t;
    }();
    return table;
}

template <SampleKind K> [[gnu::always_inline]] inline int32_t IntSample(const unsigned char* p)
{
    if constexpr (K == SampleKind::U8)
        return int32_t{p[0]} - 128;
    else if constexpr (K == SampleKind::S16)
        return static_cast<int16_t>(LoadLE16(p));
    else
        return static_cast<int32_t>((uint32_t{p[0]} << 8) | (uint32_t{p[1]} << 16) |
                                    (uint32_t{p[2]} << 24)) >>
               8;
}

template <SampleKind K>
[[gnu::always_inline]] inline uint32_t DecodeInts(const unsigned char* in, size_t n, int32_t* out)
{
    constexpr size_t B = K == SampleKind::U8 ? 1 : K == SampleKind::S16 ? 2 : 3;
    uint32_t bits = 0;
    for (size_t i = 0; i < n; i++) {
        out[i] = IntSample<K>(in + i * B);
        bits |= static_cast<uint32_t>(out[i]);
    }
    return bits;
}

[[gnu::always_inline]] inline void Expand(const G711Table& t, const unsigned char* in, size_t n,
                                          int32_t* out)
{
    for (size_t i = 0; i < n; i++)
        out[i] = t[in[i]];
}

[[gnu::always_inline]] inline uint32_t Decode(SampleKind k, const unsigned char* in, size_t n,
                                              int32_t* out)
{
    switch (k) {
    case SampleKind::U8:
        return DecodeInts<SampleKind::U8>(in, n, out);
    case SampleKind::S16:
        return DecodeInts<SampleKind::S16>(in, n, out);
    case SampleKind::S24:
        return DecodeInts<SampleKind::S24>(in, n, out);
    case SampleKind::ALaw:
        Expand(G711Of<ALawToLinear>(), in, n, out);
        return 0;
    case SampleKind::MuLaw:
        Expand(G711Of<MuLawToLinear>(), in, n, out);
        return 0;
    default:
        return 0;
    }
}

// 32-bit PCM exactly, float as stored; NaN and infinity as 0.
[[gnu::always_inline]] inline uint32_t Decode(SampleKind k, const unsigned char* in, size_t n,
                                              double* out)
{
    uint32_t bits = 0;
    if (k == SampleKind::S32) {
        for (size_t i = 0; i < n; i++) {
            const uint32_t u = LoadLE32(in + 4 * i);
            bits |= u;
            out[i] = static_cast<int32_t>(u);
        }
    } else if (k == SampleKind::F32) {
        for (size_t i = 0; i < n; i++) {
            const uint32_t u = LoadLE32(in + 4 * i);
            out[i] = (u & 0x7F800000u) == 0x7F800000u ? 0.0 : double{std::bit_cast<float>(u)};
        }
    } else if (k == SampleKind::F64) {
        for (size_t i = 0; i < n; i++) {
            const uint64_t u = LoadLE64(in + 8 * i);
            out[i] =
                (u & 0x7FF0000000000000u) == 0x7FF0000000000000u ? 0.0 : std::bit_cast<double>(u);
        }
    }
    return bits;
}

template <typename T, typename Acc> void StartLanes(PieceSums<T, Acc>& s)
{
    std::fill(s.laneMin.begin(), s.laneMin.end(), std::numeric_limits<T>::max());
    std::fill(s.laneMax.begin(), s.laneMax.end(), std::numeric_limits<T>::lowest());
    std::fill(s.laneSum.begin(), s.laneSum.end(), Acc{});
    std::fill(s.laneSquares.begin(), s.laneSquares.end(), Acc{});
    std::fill(s.laneCross.begin(), s.laneCross.end(), Acc{});
}

template <typename T, typename Acc>
[[gnu::always_inline]] inline void Lane(T v, T& mn, T& mx, Acc& sum, Acc& squares)
{
    mn = v < mn ? v : mn;
    mx = v > mx ? v : mx;
    sum += Acc(v);
    squares += Acc(v) * Acc(v);
}

// Whole rows of lanes, then the last partial row: the vectorisable form.
template <typename T, typename Acc>
[[gnu::always_inline]] inline void SumLanes(const T* __restrict x, size_t n, unsigned channels,
                                            PieceSums<T, Acc>& s)
{
    const size_t w = s.width;
    T* __restrict mn = s.laneMin.data();
    T* __restrict mx = s.laneMax.data();
    Acc* __restrict su = s.laneSum.data();
    Acc* __restrict sq = s.laneSquares.data();
    size_t i = 0;
    for (; i + w <= n; i += w)
        for (size_t k = 0; k < w; k++)
            Lane(x[i + k], mn[k], mx[k], su[k], sq[k]);
    for (size_t k = 0; i + k < n; k++)
        Lane(x[i + k], mn[k], mx[k], su[k], sq[k]);
    if (channels == 2) {
        // Each sample times the next: at even lanes, a frame's two sides.
        Acc* __restrict c = s.laneCross.data();
        for (i = 0; i + w <= n; i += w)
            for (size_t k = 0; k < w; k++)
                c[k] += Acc(x[i + k]) * Acc(x[i + k + 1]);
        for (size_t k = 0; i + k < n; k++)
            c[k] += Acc(x[i + k]) * Acc(x[i + k + 1]);
    }
}

// Each channel's lanes folded in lane order; the same code for every path.
template <typename T, typename Acc> void FoldLanes(unsigned channels, PieceSums<T, Acc>& s)
{
    for (unsigned c = 0; c < channels; c++) {
        s.min[c] = s.laneMin[c];
        s.max[c] = s.laneMax[c];
        s.sum[c] = s.laneSum[c];
        s.squares[c] = s.laneSquares[c];
        for (size_t k = c + channels; k < s.width; k += channels) {
            s.min[c] = std::min(s.min[c], s.laneMin[k]);
            s.max[c] = std::max(s.max[c], s.laneMax[k]);
            s.sum[c] += s.laneSum[k];
            s.squares[c] += s.laneSquares[k];
        }
    }
    s.cross = 0;
    for (size_t k = 0; channels == 2 && k < s.width; k += 2)
        s.cross += s.laneCross[k];
}

template <typename T, typename Acc>
[[gnu::always_inline]] inline void Piece(SampleKind kind, const unsigned char* raw, size_t frames,
                                         unsigned channels, T* out, PieceSums<T, Acc>& s)
{
    const size_t n = frames * channels;
    s.bits |= Decode(kind, raw, n, out);
    out[n] = 0; // read by the stereo products
    StartLanes(s);
    SumLanes(out, n, channels, s);
    FoldLanes(channels, s);
}

// The same loop built for each instruction set; Piece is inlined into each.
template <typename T, typename Acc>
void PieceBase(SampleKind k, const unsigned char* raw, size_t frames, unsigned channels, T* out,
               PieceSums<T, Acc>& s)
{
    Piece(k, raw, frames, channels, out, s);
}

template <typename T, typename Acc>
[[SONDREL_AVX2]] void PieceAvx2(SampleKind k, const unsigned char* raw, size_t frames,
                                unsigned channels, T* out, PieceSums<T, Acc>& s)
{
    Piece(k, raw, frames, channels, out, s);
}

template <typename T, typename Acc>
[[SONDREL_AVX512]] void PieceAvx512(SampleKind k, const unsigned char* raw, size_t frames,
                                    unsigned channels, T* out, PieceSums<T, Acc>& s)
{
    Piece(k, raw, frames, channels, out, s);
}

// A piece's kernels, by the sample's kind: integer codes or real numbers.
struct PieceKernels {
    IntPieceFn integer;
    RealPieceFn real;
};

constexpr IsaTables<PieceKernels> Kernels = {{
    {PieceBase<int32_t, int64_t>, PieceBase<double, double>},
    {PieceAvx2<int32_t, int64_t>, PieceAvx2<double, double>},
    {PieceAvx512<int32_t, int64_t>, PieceAvx512<double, double>},
}};

// The plain loop: sample after sample, each to its lane.
template <typename T, typename Acc>
void Reference(SampleKind kind, const unsigned char* raw, size_t frames, unsigned channels, T* out,
               PieceSums<T, Acc>& s)
{
    const size_t n = frames * channels;
    for (size_t i = 0; i < n; i++) {
        const size_t bytes = BytesOf(kind);
        s.bits |= Decode(kind, raw + i * bytes, 1, out + i);
    }
    out[n] = 0;
    StartLanes(s);
    for (size_t i = 0; i < n; i++) {
        const size_t k = i % s.width;
        Lane(out[i], s.laneMin[k], s.laneMax[k], s.laneSum[k], s.laneSquares[k]);
        if (channels == 2)
            s.laneCross[k] += Acc(out[i]) * Acc(out[i + 1]);
    }
    FoldLanes(channels, s);
}

} // namespace

IntPieceFn IntPieceKernel(Isa isa)
{
    return ForIsa(Kernels, isa).integer;
}

RealPieceFn RealPieceKernel(Isa isa)
{
    return ForIsa(Kernels, isa).real;
}

void IntPieceReference(SampleKind kind, const unsigned char* raw, size_t frames, unsigned channels,
                       int32_t* out, IntSums& sums)
{
    Reference(kind, raw, frames, channels, out, sums);
}

void RealPieceReference(SampleKind kind, const unsigned char* raw, size_t frames, unsigned channels,
                        double* out, RealSums& sums)
{
    Reference(kind, raw, frames, channels, out, sums);
}

int32_t G711Value(SampleKind kind, uint8_t code)
{
    return kind == SampleKind::ALaw ? G711Of<ALawToLinear>()[code] : G711Of<MuLawToLinear>()[code];
}

} // namespace sondrel
