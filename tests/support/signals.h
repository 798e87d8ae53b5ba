// Test signals for the loudness meter: generated samples, their encodings
// as WAVE bytes (integer PCM, float, A-law, mu-law) and the meter run on
// them, whole or stage by stage.
#pragma once

#include "measure/audio_read.h"
#include "wav_builder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <optional>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace signals
{
using namespace sondrel;

constexpr double Pi = 3.14159265358979323846;

// Interleaved samples, full scale 1.0.
struct Signal {
    uint32_t rate = 48000;
    uint16_t channels = 2;
    std::vector<double> samples;
    size_t Frames() const { return samples.size() / channels; }
};

// Each channel's value at frame n from f(n, channel), n as a double.
template <typename F> Signal Make(uint32_t rate, uint16_t channels, double seconds, F f)
{
    Signal s{rate, channels, {}};
    const auto frames = static_cast<size_t>(seconds * rate);
    for (size_t n = 0; n < frames; n++)
        for (uint16_t c = 0; c < channels; c++)
            s.samples.push_back(f(static_cast<double>(n), c));
    return s;
}

inline double Db(double db)
{
    return std::pow(10.0, db / 20);
}

// A 1 kHz tone in every channel: steps of (seconds, dBFS).
inline Signal Steps(uint16_t channels, std::vector<std::pair<double, double>> steps,
                    uint32_t rate = 48000)
{
    Signal s{rate, channels, {}};
    size_t n = 0;
    for (const auto& [seconds, db] : steps)
        for (const auto end = n + static_cast<size_t>(seconds * rate); n < end; n++)
            for (uint16_t c = 0; c < channels; c++)
                s.samples.push_back(Db(db) *
                                    std::sin(2 * Pi * 1000.0 * static_cast<double>(n) / rate));
    return s;
}

struct Encoding {
    uint16_t tag = 3; // 1 PCM, 3 float, 6 A-law, 7 mu-law
    uint16_t bits = 32;
    std::optional<uint32_t> mask; // extensible when set
};

// For each 16-bit value, the G.711 code whose expansion is nearest.
inline std::vector<uint8_t> G711Codes(int16_t (*expand)(uint8_t))
{
    std::vector<std::pair<int, uint8_t>> sorted;
    for (int c = 0; c < 256; c++)
        sorted.emplace_back(expand(static_cast<uint8_t>(c)), static_cast<uint8_t>(c));
    std::sort(sorted.begin(), sorted.end());
    std::vector<uint8_t> codes;
    size_t j = 0;
    for (int v = -32768; v < 32768; v++) {
        while (j + 1 < sorted.size() &&
               std::abs(sorted[j + 1].first - v) <= std::abs(sorted[j].first - v))
            j++;
        codes.push_back(sorted[j].second);
    }
    return codes;
}

inline std::string Encode(const Signal& s, const Encoding& e)
{
    std::string out;
    const std::vector<uint8_t> g711 = e.tag == 6   ? G711Codes(ALawToLinear)
                                      : e.tag == 7 ? G711Codes(MuLawToLinear)
                                                   : std::vector<uint8_t>{};
    for (double v : s.samples) {
        uint64_t word;
        if (e.tag == 3 && e.bits == 32) {
            word = std::bit_cast<uint32_t>(static_cast<float>(v));
        } else if (e.tag == 3) {
            word = std::bit_cast<uint64_t>(v);
        } else if (e.tag == 6 || e.tag == 7) {
            word = g711[static_cast<size_t>(
                std::lround(std::clamp(v, -1.0, 1.0 - 1.0 / 32768) * 32768) + 32768)];
        } else {
            const double full = std::ldexp(1.0, e.bits - 1);
            const auto q = static_cast<int64_t>(std::lround(std::clamp(v * full, -full, full - 1)));
            word = static_cast<uint64_t>(e.bits == 8 ? q + 128 : q);
        }
        for (int k = 0; k < e.bits / 8; k++)
            out += static_cast<char>((word >> (8 * k)) & 0xFF);
    }
    return out;
}

inline AudioLayout LayoutOf(const Signal& s, const Encoding& e)
{
    return {e.tag,  s.channels, s.rate, static_cast<uint16_t>(s.channels * e.bits / 8),
            e.bits, e.mask};
}

inline std::string WaveFile(const Signal& s, const Encoding& e)
{
    const std::string fmt = e.mask
                                ? wavgen::ExtensibleBody(s.channels, s.rate, e.bits, *e.mask, e.tag)
                                : wavgen::FmtBody(e.tag, s.channels, s.rate, e.bits);
    return wavgen::Wave(wavgen::Chunk("fmt ", fmt) + wavgen::Chunk("data", Encode(s, e)));
}

// Bytes in an anonymous file, for ReadAndMeasure.
class MemFile
{
  public:
    explicit MemFile(std::string_view bytes) : fd_(memfd_create("audio", 0))
    {
        if (write(fd_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            close(fd_), fd_ = -1;
    }
    ~MemFile() { close(fd_); }
    MemFile(const MemFile&) = delete;
    MemFile& operator=(const MemFile&) = delete;
    int fd() const { return fd_; }

  private:
    int fd_;
};

inline MeasureResult Read(std::string_view bytes, const AudioLayout& l, bool md5, bool loudness,
                          uint64_t ask = UINT64_MAX)
{
    MemFile f(bytes);
    return ReadAndMeasure(f.fd(), 0, ask == UINT64_MAX ? bytes.size() : ask, l,
                          {md5, loudness, {}});
}

// The rounded figures, through the whole read.
inline LoudnessFigures Measure(const Signal& s, const Encoding& e = {})
{
    const MeasureResult r = Read(Encode(s, e), LayoutOf(s, e), false, true);
    return r.loudness.value_or(LoudnessFigures{});
}

// The samples of whole frames as the meter hears them, and room after them.
inline std::vector<float> Heard(std::string_view bytes, const AudioLayout& l)
{
    const size_t samples = bytes.size() / l.blockAlign * l.channels;
    std::vector<float> f(samples + LoudnessMeter::Overread);
    ToFloat(KindOf(l), reinterpret_cast<const unsigned char*>(bytes.data()), samples, f.data());
    return f;
}

inline std::vector<float> Heard(const Signal& s, const Encoding& e = {})
{
    return Heard(Encode(s, e), LayoutOf(s, e));
}

// The peak of x interpolated 32 times in double precision by a Kaiser-windowed
// sinc of `taps` taps a phase (beta 10), with silence around it.
inline double BandLimitedPeak(const std::vector<double>& x, int Taps)
{
    constexpr int Phases = 32;
    auto i0 = [](double v) {
        double sum = 1, term = 1;
        for (int k = 1; k < 60; k++)
            sum += term *= (v / (2 * k)) * (v / (2 * k));
        return sum;
    };
    const auto taps = static_cast<size_t>(Taps);
    std::vector<std::vector<double>> h(Phases, std::vector<double>(taps));
    for (int p = 1; p < Phases; p++) {
        double sum = 0;
        for (size_t k = 0; k < taps; k++) {
            const double d = static_cast<double>(k) - (Taps / 2 - 1) - double(p) / Phases;
            const double r = d / (Taps / 2);
            sum += h[p][k] =
                std::sin(Pi * d) / (Pi * d) * i0(10 * std::sqrt(std::max(0.0, 1 - r * r)));
        }
        for (double& v : h[p])
            v /= sum;
    }
    std::vector<double> padded(taps, 0.0);
    padded.insert(padded.begin() + Taps / 2, x.begin(), x.end());
    double peak = 0;
    for (size_t n = 0; n + taps <= padded.size(); n++) {
        peak = std::max(peak, std::fabs(padded[n + taps / 2 - 1]));
        for (int p = 1; p < Phases; p++) {
            double y = 0;
            for (size_t k = 0; k < taps; k++)
                y += h[p][k] * padded[n + k];
            peak = std::max(peak, std::fabs(y));
        }
    }
    return peak;
}

} // namespace signals
