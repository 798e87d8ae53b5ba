// What the audio itself says (--signal): peak, RMS and DC per channel,
// clipping, silent and identical channels, the stereo correlation, the bits
// used and long silences, gathered in one pass in constant memory.
#pragma once

#include "cpu.h"
#include "measure/samples.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace sondrel {

struct SilenceSpan {
    double startSeconds = 0, seconds = 0; // rounded to 3 decimals
};

// The figures; dB values and the correlation rounded to 2 decimals, null
// where the audio cannot give one.  The unrounded DC and correlation are
// kept for the findings' thresholds.
struct SignalFigures {
    std::vector<std::optional<double>> peakDbfs, rmsDbfs, dcOffsetDbfs;
    std::vector<uint64_t> clippedSamples;
    std::vector<unsigned> silentChannels;
    std::vector<std::pair<unsigned, unsigned>> identicalChannels;
    std::optional<double> correlation;
    std::optional<unsigned> effectiveBits;
    unsigned storedBits = 0; // integer PCM: what effective_bits is compared with
    std::vector<SilenceSpan> silences;
    uint64_t silencesUnlisted = 0; // past the first MaxSilences

    std::vector<double> dcFraction; // |mean| as a fraction of full scale
    std::optional<double> rawCorrelation;
};

constexpr size_t MaxSilences = 100;
constexpr double SilenceSeconds = 2.0;
constexpr double SilenceLevel = 0.001; // -60 dBFS

// True for layouts --signal measures: integer PCM of 1 to 32 bits, float of
// 32 or 64 bits, A-law and mu-law of 8 bits, in frames of whole samples.
bool SignalMeasurable(const AudioLayout& layout);

class SignalMeter
{
  public:
    explicit SignalMeter(const AudioLayout& layout, Isa isa = WidestIsa());
    ~SignalMeter();
    SignalMeter(SignalMeter&&) noexcept;
    SignalMeter& operator=(SignalMeter&&) noexcept;

    // `frames` whole frames of the layout's bytes.
    void Add(const unsigned char* raw, size_t frames);
    SignalFigures Finish() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace sondrel
