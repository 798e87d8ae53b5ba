// Loudness from 100 ms step energies.
#include "measure/loudness.h"

#include <algorithm>
#include <cmath>

namespace sondrel {

LoudnessFigures Rounded(const LoudnessFigures& f)
{
    auto round = [](const std::optional<double>& v) -> std::optional<double> {
        if (!v)
            return v;
        const double r = std::round(*v * 100) / 100;
        return r == 0 ? 0.0 : r; // never -0
    };
    return {round(f.integratedLufs), round(f.rangeLu), round(f.maxTruePeakDbtp),
            round(f.maxMomentaryLufs), round(f.maxShortTermLufs)};
}

std::vector<double> ChannelWeights(uint16_t channels, std::optional<uint32_t> mask)
{
    // FL FR FC LFE BL BR FLC FRC BC SL SR, then the top positions.
    static constexpr double bySpeaker[18] = {1,    1,    1, 0, 1.41, 1.41, 1, 1, 1,
                                             1.41, 1.41, 1, 1, 1,    1,    1, 1, 1};
    const uint32_t m = mask.value_or(0);
    std::vector<double> w;
    int bit = 0;
    for (unsigned c = 0; c < channels; c++) {
        while (bit < 18 && !(m & (1u << bit)))
            bit++;
        w.push_back(bit < 18 ? bySpeaker[bit++] : 1.0);
    }
    return w;
}

namespace
{

constexpr double AbsoluteGate = -70;

double LufsOf(double energy)
{
    return -0.691 + 10 * std::log10(energy);
}

std::optional<double> FiniteLufs(double energy)
{
    const double l = LufsOf(energy);
    return std::isfinite(l) ? std::optional(l) : std::nullopt;
}

} // namespace

void GatedValues::Add(double energy)
{
    const double l = LufsOf(energy);
    if (!(l > AbsoluteGate) || !std::isfinite(l))
        return;
    Bin& b = bins_[static_cast<int64_t>(std::floor((l - AbsoluteGate) * 1000))];
    b.count++;
    b.energy += energy;
    b.lufs += l;
}

std::vector<const GatedValues::Bin*> GatedValues::Gated(double belowMean) const
{
    uint64_t count = 0;
    double energy = 0;
    for (const auto& [key, b] : bins_) {
        count += b.count;
        energy += b.energy;
    }
    std::vector<const Bin*> gated;
    if (count == 0)
        return gated;
    const double gate = LufsOf(energy / static_cast<double>(count)) - belowMean;
    for (const auto& [key, b] : bins_) {
        const double low = AbsoluteGate + static_cast<double>(key) / 1000;
        const double high = AbsoluteGate + static_cast<double>(key + 1) / 1000;
        if (low > gate || (high > gate && b.lufs / static_cast<double>(b.count) > gate))
            gated.push_back(&b);
    }
    return gated;
}

std::optional<double> GatedValues::GatedMean(double belowMean) const
{
    uint64_t count = 0;
    double energy = 0;
    for (const Bin* b : Gated(belowMean)) {
        count += b->count;
        energy += b->energy;
    }
    if (count == 0)
        return std::nullopt;
    return energy / static_cast<double>(count);
}

std::optional<std::pair<double, double>> GatedValues::Percentiles(double belowMean, unsigned low,
                                                                  unsigned high) const
{
    const std::vector<const Bin*> gated = Gated(belowMean);
    uint64_t n = 0;
    for (const Bin* b : gated)
        n += b->count;
    if (n == 0)
        return std::nullopt;
    // round((n - 1) p / 100), halves up, in integers.
    auto valueAt = [&](unsigned percent) {
        const uint64_t index = ((n - 1) * percent * 2 + 100) / 200;
        uint64_t below = 0;
        for (const Bin* b : gated) {
            if (index < below + b->count)
                return b->lufs / static_cast<double>(b->count);
            below += b->count;
        }
        return gated.back()->lufs / static_cast<double>(gated.back()->count);
    };
    return std::pair(valueAt(low), valueAt(high));
}

LoudnessMeter::LoudnessMeter(uint16_t channels, uint32_t sampleRate, std::optional<uint32_t> mask,
                             Isa isa)
    : filter_(KWeightingAt(sampleRate)), channels_(channels), lanes_(channels <= 2   ? 2
                                                                     : channels <= 4 ? 4
                                                                                     : 8),
      groups_((channels + lanes_ - 1) / lanes_), step_(StepFrames(sampleRate)),
      weights_(ChannelWeights(channels, mask)), state_(groups_ * lanes_ * KWeightingStateSize),
      sums_(groups_ * lanes_)
{
    kernel_ = KWeightKernel(isa, lanes_);
}

void LoudnessMeter::Add(const float* frames, size_t count)
{
    while (count > 0) {
        const size_t n = std::min(count, step_ - intoStep_);
        // Eight channels at a time beyond eight; lanes past the last channel
        // hear the next frame's first ones, and are not counted.
        for (size_t g = 0; g < groups_ * lanes_; g += lanes_)
            kernel_(filter_, frames + g, channels_, n, state_.data() + g * KWeightingStateSize,
                    sums_.data() + g);
        frames += n * channels_;
        count -= n;
        intoStep_ += n;
        if (intoStep_ == step_)
            EndStep();
    }
}

void LoudnessMeter::EndStep()
{
    double energy = 0;
    for (unsigned c = 0; c < channels_; c++)
        energy += weights_[c] * sums_[c];
    energy /= static_cast<double>(step_);
    std::fill(sums_.begin(), sums_.end(), 0.0);
    intoStep_ = 0;
    last_[steps_++ % last_.size()] = energy;
    auto meanOfLast = [this](size_t k) {
        double sum = 0;
        for (size_t i = 1; i <= k; i++)
            sum += last_[(steps_ - i) % last_.size()];
        return sum / static_cast<double>(k);
    };
    if (steps_ >= 4) {
        const double momentary = meanOfLast(4);
        maxMomentary_ = std::max(maxMomentary_, momentary);
        blocks_.Add(momentary);
    }
    if (steps_ >= 30) {
        const double shortTerm = meanOfLast(30);
        maxShortTerm_ = std::max(maxShortTerm_, shortTerm);
        shortTerm_.Add(shortTerm);
    }
}

LoudnessFigures LoudnessMeter::Figures(double truePeak) const
{
    LoudnessFigures f;
    if (const std::optional<double> mean = blocks_.GatedMean(10))
        f.integratedLufs = FiniteLufs(*mean);
    if (const auto p = shortTerm_.Percentiles(20, 10, 95))
        f.rangeLu = p->second - p->first;
    const double dbtp = 20 * std::log10(truePeak);
    if (std::isfinite(dbtp))
        f.maxTruePeakDbtp = dbtp;
    if (steps_ >= 4)
        f.maxMomentaryLufs = FiniteLufs(maxMomentary_);
    if (steps_ >= 30)
        f.maxShortTermLufs = FiniteLufs(maxShortTerm_);
    return f;
}

} // namespace sondrel
