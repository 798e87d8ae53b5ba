// The meter's stages: G.711 expansion against the standard's intervals, the
// vector kernels against their plain loops, the loudness against
// libebur128's and the true peak against a band-limited reference.
#include "measure/k_weighting.h"
#include "measure/loudness.h"
#include "measure/samples.h"
#include "measure/true_peak.h"
#include "signals.h"

#include <ebur128.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>

using namespace sondrel;

namespace
{

using namespace signals;

std::vector<Isa> Isas()
{
    std::vector<Isa> isas;
    for (Isa isa : {Isa::Base, Isa::Avx2, Isa::Avx512})
        if (IsaSupported(isa))
            isas.push_back(isa);
    return isas;
}

// ---------------------------------------------------------------------------
// G.711: each code is the middle of its decision interval (A-law in 13-bit,
// mu-law in 14-bit units), shifted to 16 bits.

TEST(G711, EveryCodeExpandsToItsIntervalsMiddle)
{
    for (int code = 0; code < 256; code++) {
        SCOPED_TRACE(code);
        const int a = code ^ 0x55, as = (a >> 4) & 7, aq = a & 15;
        const int aStart = as == 0 ? 0 : 16 << as, aStep = as == 0 ? 2 : 1 << as;
        const int alaw = (aStart + aq * aStep + aStep / 2) * 8;
        EXPECT_EQ(ALawToLinear(static_cast<uint8_t>(code)), a & 0x80 ? alaw : -alaw);
        const int u = ~code & 0xFF, us = (u >> 4) & 7, uq = u & 15;
        const int mulaw = ((32 << us) - 33 + uq * (2 << us) + (1 << us)) * 4;
        EXPECT_EQ(MuLawToLinear(static_cast<uint8_t>(code)), u & 0x80 ? -mulaw : mulaw);
    }
    // The standard's tables: the smallest and largest values and their signs.
    EXPECT_EQ(ALawToLinear(0xD5), 8);
    EXPECT_EQ(ALawToLinear(0x2A), -32256);
    EXPECT_EQ(MuLawToLinear(0xFF), 0);
    EXPECT_EQ(MuLawToLinear(0x80), 32124);
}

// ---------------------------------------------------------------------------
// Kernels: every processor path gives the plain loop's result bit for bit.

TEST(Kernels, ConversionMatchesThePlainPathForEveryFormat)
{
    std::mt19937 rng(1);
    std::vector<unsigned char> bytes(8 * 1001 + 5);
    for (auto& b : bytes)
        b = static_cast<unsigned char>(rng());
    for (unsigned k = 0; k < static_cast<unsigned>(SampleKind::None); k++) {
        const auto kind = static_cast<SampleKind>(k);
        const size_t n = 1001;
        std::vector<float> base(n), other(n);
        ToFloatWith(Isa::Base, kind, bytes.data(), n, base.data());
        for (Isa isa : Isas()) {
            SCOPED_TRACE(std::to_string(k) + " on " + std::to_string(static_cast<int>(isa)));
            ToFloatWith(isa, kind, bytes.data(), n, other.data());
            EXPECT_EQ(std::memcmp(base.data(), other.data(), n * 4), 0);
            for (float f : other)
                ASSERT_TRUE(std::isfinite(f));
        }
    }
}

TEST(Kernels, KWeightingMatchesThePlainLoop)
{
    std::mt19937 rng(2);
    std::uniform_real_distribution<float> u(-1, 1);
    const KWeighting k = KWeightingAt(44100);
    for (Isa isa : Isas())
        for (unsigned lanes : {2u, 4u, 8u}) {
            SCOPED_TRACE(std::to_string(lanes) + " lanes, isa " + std::to_string(int(isa)));
            const size_t stride = lanes + 1, frames = 3000;
            std::vector<float> in(stride * frames + lanes);
            for (float& v : in)
                v = u(rng);
            std::vector<double> state(6 * lanes), sums(lanes), plainState(6 * lanes),
                plainSums(lanes);
            for (size_t at = 0, n = 1; at < frames; at += n, n = n * 3 % 997 + 1) {
                n = std::min(n, frames - at);
                KWeightKernel(isa, lanes)(k, in.data() + at * stride, stride, n, state.data(),
                                          sums.data());
            }
            KWeightReference(k, lanes, isa == Isa::Avx512, in.data(), stride, frames,
                             plainState.data(), plainSums.data());
            EXPECT_EQ(state, plainState);
            EXPECT_EQ(sums, plainSums);
        }
}

// Loud and quiet stretches, so that blocks are skipped and taken up again.
TEST(Kernels, TruePeakMatchesThePlainLoopOverEveryPoint)
{
    for (unsigned channels : {1u, 2u, 6u})
        for (unsigned seed : {1u, 2u, 3u}) {
            std::mt19937 rng(seed);
            std::normal_distribution<double> g(0, 1);
            const Signal s = Make(48000, static_cast<uint16_t>(channels), 0.5, [&](double n, auto) {
                const double level = std::fmod(n / 1000 + seed, 7) < 2 ? 0.3 : 0.003 * seed;
                return level * g(rng);
            });
            const std::vector<float> x = Heard(s);

            for (Isa isa : Isas()) {
                SCOPED_TRACE(std::to_string(channels) + " channels, seed " + std::to_string(seed) +
                             ", isa " + std::to_string(int(isa)));
                const double plain =
                    TruePeakReference(x.data(), channels, channels, s.Frames(), isa == Isa::Avx512);
                TruePeakMeter meter(channels, channels, isa);
                for (size_t at = 0, n = 1; at < s.Frames(); at += n, n = n * 5 % 3001 + 1)
                    meter.Add(x.data() + at * channels, std::min(n, s.Frames() - at));
                EXPECT_EQ(meter.Finish(), plain);
            }
        }
}

// ---------------------------------------------------------------------------
// Loudness against libebur128 (integrated, maxima; before rounding) and the
// range against the 2016 definition computed plainly from libebur128's
// short-term loudness every 100 ms.

struct Reference {
    std::optional<double> integrated, momentary, shortTerm, range;
};

std::optional<double> Finite(double v)
{
    return std::isfinite(v) ? std::optional(v) : std::nullopt;
}

std::optional<double> PlainRange(std::vector<double> shortTerm)
{
    std::erase_if(shortTerm, [](double l) { return !(l > -70); });
    double energy = 0;
    for (double l : shortTerm)
        energy += std::pow(10, l / 10) / static_cast<double>(shortTerm.size());
    const double gate = 10 * std::log10(energy) - 20;
    std::erase_if(shortTerm, [gate](double l) { return !(l > gate); });
    if (shortTerm.empty())
        return std::nullopt;
    std::sort(shortTerm.begin(), shortTerm.end());
    const auto at = [&](double p) {
        return shortTerm[static_cast<size_t>(
            std::round(static_cast<double>(shortTerm.size() - 1) * p))];
    };
    return at(0.95) - at(0.10);
}

// LFE left out, the side and back pairs weighted as surrounds.
Reference Libebur128(const Signal& s, const std::vector<float>& x, uint32_t roles)
{
    ebur128_state* st = ebur128_init(s.channels, s.rate, EBUR128_MODE_I | EBUR128_MODE_S);
    for (unsigned c = 0, bit = 0; c < s.channels; c++, bit++) {
        while (bit < 18 && !(roles & (1u << bit)))
            bit++;
        ebur128_set_channel(st, c,
                            bit == 3                                        ? EBUR128_UNUSED
                            : bit == 4 || bit == 5 || bit == 9 || bit == 10 ? EBUR128_LEFT_SURROUND
                                                                            : EBUR128_CENTER);
    }
    Reference r;
    std::vector<double> shortTerm;
    const size_t step = StepFrames(s.rate);
    double momentary = -HUGE_VAL, maxShort = -HUGE_VAL, v;
    for (size_t i = 0; (i + 1) * step <= s.Frames(); i++) {
        ebur128_add_frames_float(st, x.data() + i * step * s.channels, step);
        if (i >= 3 && ebur128_loudness_momentary(st, &v) == EBUR128_SUCCESS)
            momentary = std::max(momentary, v);
        if (i >= 29 && ebur128_loudness_shortterm(st, &v) == EBUR128_SUCCESS) {
            maxShort = std::max(maxShort, v);
            shortTerm.push_back(v);
        }
    }
    ebur128_loudness_global(st, &v);
    ebur128_destroy(&st);
    return {Finite(v), Finite(momentary), Finite(maxShort), PlainRange(shortTerm)};
}

void ExpectNear(const std::optional<double>& ours, const std::optional<double>& theirs,
                double tolerance, const char* what)
{
    SCOPED_TRACE(what);
    ASSERT_EQ(ours.has_value(), theirs.has_value());
    if (ours) {
        EXPECT_NEAR(*ours, *theirs, tolerance);
    }
}

TEST(Loudness, AgreesWithLibebur128AndThe2016Range)
{
    std::mt19937 rng(7);
    std::normal_distribution<double> g(0, 1);
    const double nan = std::nan(""), inf = HUGE_VAL;
    using Gen = std::function<double(double t, uint16_t c)>;
    // Tones and noise whose level wanders by tens of dB, so that both gates act.
    const Gen programme = [&](double t, uint16_t c) {
        const double level = Db(-45 + 35 * std::fabs(std::sin(0.7 * t + c)));
        return level * (std::sin(2 * Pi * (300 + 170 * c) * t) + 0.3 * g(rng));
    };
    const auto onTrack = [&](uint16_t track) {
        return Gen([&, track](double t, uint16_t c) { return c == track ? programme(t, c) : 0; });
    };
    struct Case {
        const char* what;
        uint32_t rate;
        uint16_t channels;
        double seconds;
        std::optional<uint32_t> mask;
        uint32_t roles; // the channels' positions, said or not
        Encoding encoding;
        Gen gen;
    } cases[] = {
        {"8 kHz mono", 8000, 1, 7, {}, 0x4, {1, 16, {}}, programme},
        {"44.1 kHz stereo 24-bit", 44100, 2, 9, {}, 0x3, {1, 24, {}}, programme},
        {"48 kHz 3 channels, no mask", 48000, 3, 5, {}, 0x7, {}, programme},
        {"48 kHz 5.1 with a loud LFE",
         48000,
         6,
         6,
         0x3F,
         0x3F,
         {},
         [&](double t, uint16_t c) {
             return c == 3 ? 0.9 * std::sin(2 * Pi * 40 * t) : programme(t, c);
         }},
        {"96 kHz quad", 96000, 4, 5, 0x33, 0x33, {}, programme},
        {"192 kHz 7.1", 192000, 8, 3.5, 0x63F, 0x63F, {}, programme},
        {"48 kHz side pair and top", 48000, 3, 4, 0x2600, 0x2600, {}, programme},
        // Channels without a position weigh 1 and none is left out as LFE.
        {"6 channels, no mask, programme on track 4", 48000, 6, 4, {}, 0, {}, onTrack(3)},
        {"6 channels, mask 0", 48000, 6, 4, 0, 0, {}, programme},
        {"8 channels, mask of two", 44100, 8, 4, 0x3, 0x3, {}, programme},
        {"6.1, back centre only", 48000, 7, 4, 0x70F, 0x70F, {}, onTrack(4)},
        {"silence then a tone",
         48000,
         2,
         6,
         {},
         0x3,
         {},
         [](double t, uint16_t) { return t < 3 ? 0 : 0.1 * std::sin(2 * Pi * 997 * t); }},
        {"clipped square",
         48000,
         2,
         4,
         {},
         0x3,
         {1, 16, {}},
         [](double t, uint16_t c) {
             return std::clamp(4 * std::sin(2 * Pi * (60 + 20 * c) * t), -1.0, 1.0);
         }},
        {"NaN and infinity heard as silence",
         48000,
         2,
         4,
         {},
         0x3,
         {3, 64, {}},
         [&](double t, uint16_t c) {
             const double v = programme(t, c);
             const auto i = static_cast<long>(t * 48000) % 1000;
             return i == 7 ? nan : i == 8 ? inf : i == 9 ? -inf : v;
         }},
        {"silence", 48000, 2, 4, {}, 0x3, {}, [](double, uint16_t) { return 0.0; }},
        {"2 s: no short-term", 48000, 2, 2, {}, 0x3, {}, programme},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Signal s = Make(c.rate, c.channels, c.seconds,
                              [&](double n, uint16_t ch) { return c.gen(n / c.rate, ch); });
        Signal clean = s;
        for (double& v : clean.samples)
            v = std::isfinite(v) ? v : 0;
        LoudnessMeter meter(c.channels, c.rate, c.mask);
        meter.Add(Heard(s, c.encoding).data(), s.Frames());
        const LoudnessFigures ours = meter.Figures(0);
        const Reference theirs = Libebur128(s, Heard(clean, c.encoding), c.roles);
        ExpectNear(ours.integratedLufs, theirs.integrated, 0.01, "integrated");
        ExpectNear(ours.maxMomentaryLufs, theirs.momentary, 0.01, "momentary");
        ExpectNear(ours.maxShortTermLufs, theirs.shortTerm, 0.01, "short-term");
        ExpectNear(ours.rangeLu, theirs.range, 0.05, "range");
    }
}

TEST(Loudness, RoundedHalfAwayFromZeroToHundredths)
{
    const LoudnessFigures f = Rounded({-23.049999999999, 1.999999999999993, -0.005, 0.125, -0.004});
    EXPECT_EQ(f.integratedLufs, -23.05);
    EXPECT_EQ(f.rangeLu, 2.0);
    EXPECT_EQ(f.maxTruePeakDbtp, -0.01);
    EXPECT_EQ(f.maxMomentaryLufs, 0.13);
    EXPECT_FALSE(std::signbit(*f.maxShortTermLufs)); // 0, not -0
    EXPECT_FALSE(Rounded({}).integratedLufs.has_value());
}

// ---------------------------------------------------------------------------
// The true peak against the band-limited peak (32x, 64 taps a phase: flat
// to 0.45 of the rate), on signals up to 0.45 of the rate that fade in and out.

TEST(TruePeak, WithinTheBoundsOfTheBandLimitedPeak)
{
    using Gen = std::function<double(double t, double rate)>;
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(0, 1);
    std::vector<std::array<double, 3>> partials(80); // frequency / rate, phase, amplitude
    for (auto& p : partials)
        p = {0.001 + 0.449 * u(rng), 2 * Pi * u(rng), u(rng)};
    const Gen noise = [&](double t, double rate) {
        double v = 0;
        for (const auto& [f, phase, a] : partials)
            v += a * std::sin(2 * Pi * f * rate * t + phase);
        return 0.02 * v;
    };
    auto sine = [](double ofRate, double phase) {
        return Gen([=](double t, double rate) {
            return 0.5 * std::sin(2 * Pi * ofRate * rate * t + phase);
        });
    };
    const std::pair<const char*, Gen> signals[] = {
        {"997 Hz", [](double t, double) { return 0.7 * std::sin(2 * Pi * 997 * t); }},
        {"a quarter of the rate at 45 degrees", sine(0.25, Pi / 4)},
        {"0.4 of the rate", sine(0.4, 0.3)},
        {"4/9 of the rate", sine(4.0 / 9, Pi / 9)},
        {"0.45 of the rate", sine(0.45, 1.0)},
        {"noise up to 0.45 of the rate", noise},
    };
    for (double rate : {44100.0, 48000.0, 96000.0})
        for (const auto& [what, gen] : signals) {
            SCOPED_TRACE(std::string(what) + " at " + std::to_string(rate));
            const double frames = std::floor(0.15 * rate), fade = frames / 5;
            std::vector<double> x;
            for (double n = 0; n < frames; n++) {
                const double fromEdge = std::min(n, frames - 1 - n);
                const double edge = fromEdge < fade ? std::sin(Pi / 2 * fromEdge / fade) : 1;
                x.push_back(edge * edge * gen(n / rate, rate));
            }
            const std::vector<float> f(x.begin(), x.end());
            TruePeakMeter meter(1, 1);
            meter.Add(f.data(), f.size());
            const double diff = 20 * std::log10(meter.Finish() / BandLimitedPeak(x, 64));
            EXPECT_GE(diff, -0.15);
            EXPECT_LE(diff, 0.05);
        }
}

} // namespace
