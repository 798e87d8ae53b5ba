// The K-weighting filter of ITU-R BS.1770: a high shelf and a high-pass,
// run in double precision on several channels at once, with the sum of the
// squared output of each channel.
#pragma once

#include "cpu.h"

#include <cstddef>
#include <cstdint>

namespace sondrel {

// y = b0 x + b1 x1 + b2 x2 - a1 y1 - a2 y2, for each of the two stages.
struct Biquad {
    double b0, b1, b2, a1, a2;
};
struct KWeighting {
    Biquad shelf, highPass;
};

// The filter at any rate, from the analogue prototype the 48 kHz
// coefficients of the standard come from (bilinear transform, prewarped).
KWeighting KWeightingAt(uint32_t sampleRate);

// Each lane's state: two inputs, two shelf outputs and two filter outputs
// back, lane after lane within each (6 x lanes doubles).
constexpr unsigned KWeightingStateSize = 6;

// Filters `frames` frames of `lanes` (2, 4 or 8) channels, each frame
// `stride` floats after the one before, adding each channel's squared
// output to sums[lane].
using KWeightFn = void (*)(const KWeighting& k, const float* in, size_t stride, size_t frames,
                           double* state, double* sums);

// The kernel built for `isa` (one the processor runs) and a lane count.
KWeightFn KWeightKernel(Isa isa, unsigned lanes);

// The same filter as a plain loop, channel by channel and sample by
// sample, each multiply-add fused (rounded once) or not; every kernel must
// match it bit for bit, the AVX-512 ones fused, the others not.
void KWeightReference(const KWeighting& k, unsigned lanes, bool fused, const float* in,
                      size_t stride, size_t frames, double* state, double* sums);

} // namespace sondrel
