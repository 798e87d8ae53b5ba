// The true peak: the largest magnitude of the audio interpolated 8 times
// between its samples, as ITU-R BS.1770-4 Annex 2 measures it, to within a
// few hundredths of a dB of the band-limited signal's peak up to 0.45 of the
// sample rate.
#pragma once

#include "cpu.h"

#include <cstddef>
#include <vector>

namespace sondrel {

// Two stages, each a Kaiser-windowed sinc with its taps normalised to a
// gain of 1: the samples doubled (48 taps: flat within 0.01 dB up to 0.45
// of the rate, images of what is below it attenuated by 70 dB), then the
// doubled samples quadrupled (8 taps a phase: images lie far above).  Both
// are symmetric, so samples their taps weigh alike are added (or
// subtracted) first.
struct TruePeakTaps {
    static constexpr unsigned Half = 48, Quarter = 8;
    // The point halfway between samples 23 and 24 of 48: taps 0 to 23,
    // tap k weighing samples k and 47 - k.
    float half[Half / 2];
    // The points 1/4, 2/4 and 3/4 of the way from sample 3 to 4 of 8, from
    // the sums s and differences d of samples k and 7 - k (k < 4): the
    // 1/4 and 3/4 points are P + M and P - M, P the sums weighed by
    // quarterSum, M the differences by quarterDiff; the 2/4 point is the
    // sums weighed by middle.
    float quarterSum[Quarter / 2], quarterDiff[Quarter / 2], middle[Quarter / 2];
    // Each stage's largest sum of tap magnitudes, a little more for the
    // rounding of float sums: the most it can multiply the largest input by.
    double halfGain, quarterGain;
};
const TruePeakTaps& TruePeakFilter();

struct TruePeakKernels;

// A block whose samples cannot beat the running peak even interpolated
// (their magnitude times the filters' sums of magnitudes) is not
// interpolated: the peak is the one full interpolation gives.
class TruePeakMeter
{
  public:
    // Frames of `channels` samples, each `stride` floats after the one before.
    TruePeakMeter(unsigned channels, size_t stride, Isa isa = WidestIsa());
    void Add(const float* frames, size_t count);
    // The peak magnitude over all channels.  Silence comes before the audio;
    // after it nothing: the points that would need samples past the end are
    // left out, as other meters do, so that audio cut off is not taken for a
    // step down to silence (its samples count all the same).
    double Finish();

  private:
    void Channel(unsigned c, const float* frames, size_t count);

    unsigned channels_;
    size_t stride_;
    const TruePeakKernels* kernels_; // the instruction set's loops
    std::vector<float> history_;     // per channel: 47 samples, then 4 halfway points
    std::vector<float> window_, half_;
    float peak_ = 0;
};

// The same peak by a plain loop over every point (no blocks skipped), each
// multiply-add fused (rounded once) or not: what the meter must give bit
// for bit, fused on the AVX-512 path, not on the others.
double TruePeakReference(const float* frames, unsigned channels, size_t stride, size_t count,
                         bool fused);

} // namespace sondrel
