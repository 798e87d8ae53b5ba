// The per-sample work of --signal: a piece of interleaved audio decoded to
// numbers and summed per channel (smallest, largest, sum, sum of squares,
// the product of a stereo pair, the bits used).  A plain loop and paths
// built for wider instruction sets; every path must give the plain loop's
// result bit for bit.
#pragma once

#include "cpu.h"
#include "measure/samples.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sondrel {

// Integer PCM of up to 24 bits and G.711 are summed exactly in integers;
// 32-bit PCM and float in doubles.
template <typename T, typename Acc> struct PieceSums {
    // Per channel, for the piece.
    std::vector<T> min, max;
    std::vector<Acc> sum, squares;
    Acc cross = 0;     // channel 0 times channel 1, 2-channel audio only
    uint32_t bits = 0; // every integer sample OR-ed (its low zero bits are padding)

    // Lanes: sample i of a piece goes to lane i % width, width a multiple of
    // the channel count; each lane adds in sample order, so the vector paths
    // and the plain loop add the same numbers in the same order.
    std::vector<T> laneMin, laneMax;
    std::vector<Acc> laneSum, laneSquares;
    std::vector<Acc> laneCross;
    size_t width = 0;

    void Resize(unsigned channels);
};

using IntSums = PieceSums<int32_t, int64_t>;
using RealSums = PieceSums<double, double>;

// True for kinds summed as integers: PCM up to 24 bits, A-law, mu-law.
constexpr bool IntegerSummed(SampleKind k)
{
    return k == SampleKind::U8 || k == SampleKind::S16 || k == SampleKind::S24 ||
           k == SampleKind::ALaw || k == SampleKind::MuLaw;
}

// Decodes `frames` frames of `kind` into `out`, which has room for one
// sample more (integer PCM as its stored
// integer, 8-bit made signed; G.711 expanded to 16 bits, its two codes
// nearest 0 as 0; float as stored, NaN and infinity as 0) and sums them.
using IntPieceFn = void (*)(SampleKind kind, const unsigned char* raw, size_t frames,
                            unsigned channels, int32_t* out, IntSums& sums);
using RealPieceFn = void (*)(SampleKind kind, const unsigned char* raw, size_t frames,
                             unsigned channels, double* out, RealSums& sums);

// The paths built for `isa` (one the processor runs).
IntPieceFn IntPieceKernel(Isa isa);
RealPieceFn RealPieceKernel(Isa isa);

// The plain loops, sample by sample.
void IntPieceReference(SampleKind kind, const unsigned char* raw, size_t frames, unsigned channels,
                       int32_t* out, IntSums& sums);
void RealPieceReference(SampleKind kind, const unsigned char* raw, size_t frames, unsigned channels,
                        double* out, RealSums& sums);

// G.711 expanded as the signal measures take it: 16-bit values, the two
// codes nearest 0 (A-law's +-8) as 0.
int32_t G711Value(SampleKind kind, uint8_t code);

} // namespace sondrel
