// Loudness per ITU-R BS.1770-4 and EBU Tech 3341/3342: K-weighted energies
// of 100 ms steps, the gated integrated loudness, the loudness range and the
// maxima of the momentary (400 ms) and short-term (3 s) loudness.
#pragma once

#include "measure/k_weighting.h"
#include "measure/samples.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace sondrel {

// The five figures; null where the audio cannot give one (silence, audio
// shorter than the measuring window).
struct LoudnessFigures {
    std::optional<double> integratedLufs;
    std::optional<double> rangeLu;
    std::optional<double> maxTruePeakDbtp;
    std::optional<double> maxMomentaryLufs;
    std::optional<double> maxShortTermLufs;
};

// Each value rounded half away from zero to 2 decimals, as bext stores them.
LoudnessFigures Rounded(const LoudnessFigures& f);

// Each channel's weight from its position in the mask: 0 for LFE, 1.41 for
// the side and back pairs, 1 otherwise.  A channel without a position (no
// mask, or past the mask's bits) weighs 1: a recorder's tracks are not a
// surround mix.
std::vector<double> ChannelWeights(uint16_t channels, std::optional<uint32_t> mask);

// Frames of a step: 100 ms, rounded to whole frames.
constexpr size_t StepFrames(uint32_t sampleRate)
{
    return (sampleRate + 5) / 10;
}

// Loudness values gathered in bins of a thousandth of a LU above the
// absolute gate (-70 LUFS), holding the count, the energy sum and the
// loudness sum of their values: memory stays bounded whatever the length,
// and only values within a thousandth of the relative gate are gated by
// their bin's mean rather than one by one.
class GatedValues
{
  public:
    void Add(double energy);
    // The mean energy of the values above `belowMean` LU under the mean.
    std::optional<double> GatedMean(double belowMean) const;
    // The loudness at each fraction (index round((n - 1) p) of the sorted
    // gated values, p in percent), from the values gated as above.
    std::optional<std::pair<double, double>> Percentiles(double belowMean, unsigned low,
                                                         unsigned high) const;

  private:
    struct Bin {
        uint64_t count = 0;
        double energy = 0, lufs = 0;
    };
    // The bins above the gate, in order of loudness.
    std::vector<const Bin*> Gated(double belowMean) const;
    std::map<int64_t, Bin> bins_;
};

// Loudness of interleaved float samples.
class LoudnessMeter
{
  public:
    // The vectors of channels read up to this many floats past the last frame.
    static constexpr size_t Overread = 7;

    LoudnessMeter(uint16_t channels, uint32_t sampleRate, std::optional<uint32_t> mask,
                  Isa isa = WidestIsa());
    // `count` frames, followed by Overread floats of any value.
    void Add(const float* frames, size_t count);
    // Unrounded; the true peak as a linear magnitude.
    LoudnessFigures Figures(double truePeak) const;

  private:
    void EndStep();

    KWeighting filter_;
    KWeightFn kernel_;
    unsigned channels_, lanes_;
    size_t groups_, step_, intoStep_ = 0;
    std::vector<double> weights_, state_, sums_;
    std::array<double, 30> last_{}; // the energies of the last 30 steps
    uint64_t steps_ = 0;
    double maxMomentary_ = 0, maxShortTerm_ = 0; // as energies
    GatedValues blocks_, shortTerm_;
};

} // namespace sondrel
