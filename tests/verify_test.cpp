// The audio MD5 and loudness: digests against OpenSSL and md5sum, loudness
// against signals with known answers, against libebur128's own figures and
// against ffmpeg's meter.
#include "facts.h"
#include "bytes.h"
#include "run_tool.h"
#include "measure/verify.h"
#include "wav_builder.h"

#include <ebur128.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <sys/mman.h>
#include <unistd.h>

namespace
{

const double Pi = 3.14159265358979323846;

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

double Db(double db)
{
    return std::pow(10.0, db / 20);
}

struct Encoding {
    uint16_t tag; // 1 PCM, 3 float
    uint16_t bits;
    std::optional<uint32_t> mask; // extensible when set
};

std::string Encode(const Signal& s, const Encoding& e)
{
    std::string out;
    out.reserve(s.samples.size() * e.bits / 8);
    for (double v : s.samples) {
        uint64_t word;
        if (e.tag == 3 && e.bits == 32) {
            word = std::bit_cast<uint32_t>(static_cast<float>(v));
        } else if (e.tag == 3) {
            word = std::bit_cast<uint64_t>(v);
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

AudioLayout LayoutOf(const Signal& s, const Encoding& e)
{
    return {e.tag,  s.channels, s.rate, static_cast<uint16_t>(s.channels * e.bits / 8),
            e.bits, e.mask};
}

std::string WaveFile(const Signal& s, const Encoding& e)
{
    const std::string fmt = e.mask
                                ? wavgen::ExtensibleBody(s.channels, s.rate, e.bits, *e.mask, e.tag)
                                : wavgen::FmtBody(e.tag, s.channels, s.rate, e.bits);
    return wavgen::Wave(wavgen::Chunk("fmt ", fmt) + wavgen::Chunk("data", Encode(s, e)));
}

// Bytes in an anonymous file, for VerifyAudio.
class MemFile
{
  public:
    explicit MemFile(std::string_view bytes) : fd_(memfd_create("verify", 0))
    {
        EXPECT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    ~MemFile() { close(fd_); }
    int fd() const { return fd_; }

  private:
    int fd_;
};

VerifyResult Verify(std::string_view bytes, const AudioLayout& l, bool md5, bool loudness,
                    uint64_t ask = UINT64_MAX)
{
    MemFile f(bytes);
    VerifyRequest request{md5, loudness, {}};
    return VerifyAudio(f.fd(), 0, ask == UINT64_MAX ? bytes.size() : ask, l, request);
}

LoudnessFigures Measure(const Signal& s, const Encoding& e = {3, 32, {}})
{
    const VerifyResult r = Verify(Encode(s, e), LayoutOf(s, e), false, true);
    EXPECT_TRUE(r.loudnessMeasurable);
    return r.loudness.value_or(LoudnessFigures{});
}

std::string Hex(const std::array<uint8_t, 16>& d)
{
    std::string h;
    for (uint8_t b : d) {
        char two[3];
        snprintf(two, sizeof two, "%02x", b);
        h += two;
    }
    return h;
}

std::string OneShotMd5(std::string_view bytes)
{
    std::array<uint8_t, 16> d{};
    EVP_Digest(bytes.data(), bytes.size(), d.data(), nullptr, EVP_md5(), nullptr);
    return Hex(d);
}

// Standard output of a shell command.
std::string Shell(const std::string& command)
{
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    pclose(p);
    return out;
}

// ---------------------------------------------------------------------------
// MD5

TEST(VerifyMd5, EqualsOneShotDigestAtEverySizeAroundTheBlock)
{
    const std::string noise = wavgen::NoiseBytes((3 << 20) + 5, 7);
    const AudioLayout stereo24{1, 2, 48000, 6, 24, {}};
    for (size_t size : {size_t{0}, size_t{1}, size_t{6}, (size_t{1} << 20) - 1, size_t{1} << 20,
                        (size_t{1} << 20) + 1, noise.size()}) {
        SCOPED_TRACE(size);
        const std::string_view bytes(noise.data(), size);
        for (bool loudness : {false, true}) {
            const VerifyResult r = Verify(bytes, stereo24, true, loudness);
            ASSERT_TRUE(r.md5.has_value());
            EXPECT_EQ(Hex(*r.md5), OneShotMd5(bytes));
            EXPECT_EQ(r.bytesRead, size);
            EXPECT_EQ(r.readError, 0);
        }
    }
}

TEST(VerifyMd5, CutFileHashesWhatIsThereAndReportsProgress)
{
    const std::string noise = wavgen::NoiseBytes((2 << 20) + 3, 9);
    MemFile f(noise);
    uint64_t last = 0;
    VerifyRequest request{true, true, [&last](uint64_t done) { last = done; }};
    const VerifyResult r = VerifyAudio(f.fd(), 100, 1ull << 40, {1, 2, 48000, 4, 16, {}}, request);
    EXPECT_EQ(r.bytesRead, noise.size() - 100);
    EXPECT_EQ(last, r.bytesRead);
    EXPECT_EQ(Hex(*r.md5), OneShotMd5(std::string_view(noise).substr(100)));
    ASSERT_TRUE(r.loudness.has_value()); // 11 s of noise is measured as far as it goes
    EXPECT_TRUE(r.loudness->integratedLufs.has_value());
}

TEST(VerifyMd5, ReadErrorKeepsItsErrno)
{
    const int dir = open("/", O_RDONLY | O_DIRECTORY);
    const VerifyResult r = VerifyAudio(dir, 0, 100, {}, {true, false, {}});
    close(dir);
    EXPECT_EQ(r.readError, EISDIR);
    EXPECT_EQ(r.bytesRead, 0u);
}

// The audio sondrel --data writes is the data chunk's body as far as the
// file holds it: found in the file, its MD5 must be md5sum's of that output.
TEST(VerifyMd5, FixturesAgreeWithMd5sumOfDataOutput)
{
    TempDir dir;
    for (const auto& fixture : LoadFixtures().present) {
        const std::string path = FixturePath(fixture["file"].get<std::string>());
        SCOPED_TRACE(path);
        const std::string file = ReadWholeFile(path);
        const RunResult data = RunSondrel({"--data", path});
        ASSERT_EQ(data.status, 0) << data.err;
        const size_t offset = file.find(data.out);
        ASSERT_NE(offset, std::string::npos);
        const std::string out = dir.Write("data.raw", data.out);
        const std::string md5sum = Shell("md5sum < '" + out + "'").substr(0, 32);
        ASSERT_EQ(md5sum.size(), 32u);
        MemFile f(file);
        const VerifyResult r = VerifyAudio(f.fd(), offset, data.out.size(), {}, {true, false, {}});
        EXPECT_EQ(Hex(*r.md5), md5sum);
    }
}

// ---------------------------------------------------------------------------
// Loudness of signals with known answers (EBU Tech 3341 and 3342 style)

Signal Sine(uint32_t rate, uint16_t channels, double seconds, double hz, double db)
{
    return Make(rate, channels, seconds,
                [&](double n, uint16_t) { return Db(db) * std::sin(2 * Pi * hz * n / rate); });
}

TEST(VerifyLoudness, StereoSineAtMinus23DbfsReadsMinus23Lufs)
{
    const Signal s = Sine(48000, 2, 20, 1000, -23);
    for (const Encoding& e : {Encoding{1, 16, {}}, Encoding{1, 24, {}}, Encoding{3, 32, {}},
                              Encoding{3, 64, {}}, Encoding{1, 32, 0x3}}) {
        SCOPED_TRACE(e.bits);
        const LoudnessFigures f = Measure(s, e);
        EXPECT_NEAR(f.integratedLufs.value_or(0), -23.0, 0.1);
        EXPECT_NEAR(f.maxMomentaryLufs.value_or(0), -23.0, 0.1);
        EXPECT_NEAR(f.maxShortTermLufs.value_or(0), -23.0, 0.1);
        EXPECT_NEAR(f.rangeLu.value_or(99), 0.0, 0.1);
        EXPECT_NEAR(f.maxTruePeakDbtp.value_or(0), -23.0, 0.1);
    }
}

TEST(VerifyLoudness, LfeIsLeftOutAndSurroundsWeighted)
{
    // 5.1 in the usual order: a 1 kHz tone in L R C Ls Rs, the LFE loud or silent.
    auto fiveOne = [](double lfe) {
        return Make(48000, 6, 10, [lfe](double n, uint16_t c) {
            const double tone = Db(-30) * std::sin(2 * Pi * 1000 * n / 48000.0);
            return c == 3 ? lfe * std::sin(2 * Pi * 50 * n / 48000.0) : tone;
        });
    };
    for (std::optional<uint32_t> mask :
         {std::optional<uint32_t>{}, std::optional<uint32_t>{0x3F}}) {
        const LoudnessFigures quiet = Measure(fiveOne(0), {3, 32, mask});
        const LoudnessFigures loud = Measure(fiveOne(0.9), {3, 32, mask});
        EXPECT_NEAR(*loud.integratedLufs, *quiet.integratedLufs, 1e-9);
        EXPECT_NEAR(*loud.maxMomentaryLufs, *quiet.maxMomentaryLufs, 1e-9);
        EXPECT_NEAR(*loud.maxShortTermLufs, *quiet.maxShortTermLufs, 1e-9);
        // -30 dBFS sines: 3 front channels at 1.0 and 2 surrounds at 1.41.
        const double expected = -30 - 3.01 + 10 * std::log10(3 + 2 * 1.41);
        EXPECT_NEAR(*quiet.integratedLufs, expected, 0.1);
    }
}

TEST(VerifyLoudness, AlternatingMinus20AndMinus30GivesTenLuOfRange)
{
    const Signal s = Make(48000, 2, 40, [](double n, uint16_t) {
        const double db = n < 20 * 48000 ? -20 : -30;
        return Db(db) * std::sin(2 * Pi * 1000 * n / 48000.0);
    });
    const LoudnessFigures f = Measure(s);
    EXPECT_NEAR(f.rangeLu.value_or(0), 10.0, 0.5);
    EXPECT_NEAR(f.maxShortTermLufs.value_or(0), -20.0, 0.1);
}

TEST(VerifyLoudness, InterSamplePeakAboveFullScale)
{
    // fs/4 at 45 degrees: every sample at +-full scale, the wave 3 dB above.
    const Signal s = Make(48000, 2, 1, [](double n, uint16_t) {
        return std::sin(2 * Pi * n / 4 + Pi / 4) / std::sin(Pi / 4) * (1 - 1e-9);
    });
    const LoudnessFigures f = Measure(s, {1, 24, {}});
    EXPECT_GT(f.maxTruePeakDbtp.value_or(-99), 0.5);
}

TEST(VerifyLoudness, TooShortOrSilentGivesNull)
{
    struct Case {
        const char* what;
        Signal signal;
        bool integrated, momentary, shortTerm, peak;
    } cases[] = {
        {"no audio", Sine(48000, 2, 0, 1000, -20), false, false, false, false},
        {"300 ms: no 400 ms block", Sine(48000, 2, 0.3, 1000, -20), false, false, false, true},
        {"1 s: no 3 s window", Sine(48000, 2, 1, 1000, -20), true, true, false, true},
        {"silence", Sine(48000, 2, 5, 1000, -HUGE_VAL), false, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const LoudnessFigures f = Measure(c.signal);
        EXPECT_EQ(f.integratedLufs.has_value(), c.integrated);
        EXPECT_EQ(f.maxMomentaryLufs.has_value(), c.momentary);
        EXPECT_EQ(f.maxShortTermLufs.has_value(), c.shortTerm);
        EXPECT_EQ(f.rangeLu.has_value(), c.shortTerm);
        EXPECT_EQ(f.maxTruePeakDbtp.has_value(), c.peak);
    }
}

// ---------------------------------------------------------------------------
// The vector true peak and the 100 ms maxima against libebur128's own

struct StateFree {
    void operator()(ebur128_state* st) const { ebur128_destroy(&st); }
};

Signal Varied(const std::string& kind, uint32_t rate, uint16_t channels)
{
    std::mt19937 rng(rate + channels);
    std::normal_distribution<double> gauss(0, 0.3);
    return Make(rate, channels, 1.5, [&](double n, uint16_t c) {
        const double t = static_cast<double>(n) / rate;
        if (kind == "sine near a quarter of the rate")
            return 0.9 * std::sin(2 * Pi * (rate / 4.0 - 150 * (c + 1)) * t + c);
        if (kind == "noise")
            return std::clamp(gauss(rng), -1.0, 1.0);
        if (kind == "clipped square")
            return std::clamp(3 * std::sin(2 * Pi * (997 + 300 * c) * t), -0.95, 0.95);
        return std::fmod(n, rate / 7 + c) == 0 ? 0.8 : 0.0; // impulses
    });
}

TEST(VerifyTruePeak, MatchesLibebur128WithinFiveHundredthsOfADb)
{
    for (const char* kind :
         {"sine near a quarter of the rate", "noise", "clipped square", "impulses"})
        for (uint32_t rate : {44100u, 48000u, 96000u, 192000u})
            for (uint16_t channels : {uint16_t{1}, uint16_t{2}, uint16_t{6}}) {
                SCOPED_TRACE(std::string(kind) + " at " + std::to_string(rate) + " Hz, " +
                             std::to_string(channels) + " channels");
                const Signal s = Varied(kind, rate, channels);
                std::vector<float> f(s.samples.begin(), s.samples.end());
                std::unique_ptr<ebur128_state, StateFree> st(
                    ebur128_init(channels, rate, EBUR128_MODE_TRUE_PEAK));
                ebur128_add_frames_float(st.get(), f.data(), s.Frames());
                double theirs = 0;
                for (unsigned c = 0; c < channels; c++) {
                    double p = 0;
                    ebur128_true_peak(st.get(), c, &p);
                    theirs = std::max(theirs, p);
                }
                // Uneven pieces cross the kernel's chunks and vector tails.
                TruePeakMeter ours(channels, rate);
                for (size_t at = 0, step = 1; at < s.Frames(); at += step, step = step * 7 % 5003)
                    ours.Add(f.data() + at * channels, std::min(step, s.Frames() - at));
                EXPECT_NEAR(20 * std::log10(ours.Peak()), 20 * std::log10(theirs), 0.05);
            }
}

// Long audio is measured in segments by two libebur128 states, whose
// gating is merged: the figures must be one state's, with the maxima read
// every 100 ms.  Each case makes three segments or more; quad's surrounds
// are not libebur128's default roles for four channels.
TEST(VerifyLoudness, SegmentsMeasureAsOneStateReadEvery100Ms)
{
    struct Case {
        uint32_t rate;
        uint16_t channels;
        double seconds;
        std::vector<int> roles;
    } cases[] = {
        {44100, 2, 75, {EBUR128_LEFT, EBUR128_RIGHT}},
        {48000,
         4,
         40,
         {EBUR128_LEFT, EBUR128_RIGHT, EBUR128_LEFT_SURROUND, EBUR128_RIGHT_SURROUND}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.channels);
        // Tones rising and falling and noise bursts, so the maxima and the
        // range's percentiles fall inside segments and across their joins.
        std::mt19937 rng(5);
        std::normal_distribution<double> gauss(0, 0.05);
        const Signal s = Make(c.rate, c.channels, c.seconds, [&](double n, uint16_t ch) {
            const double t = n / c.rate;
            const double burst = std::fmod(t + ch, 11) < 1.5 ? gauss(rng) : 0;
            return Db(-40 + 30 * std::sin(Pi * t / 29)) * std::sin(2 * Pi * (440 + 200 * ch) * t) +
                   burst;
        });
        std::vector<float> f(s.samples.begin(), s.samples.end());
        std::unique_ptr<ebur128_state, StateFree> st(ebur128_init(
            c.channels, c.rate, EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_HISTOGRAM));
        for (unsigned ch = 0; ch < c.channels; ch++)
            ebur128_set_channel(st.get(), ch, c.roles[ch]);
        const size_t step = (c.rate + 5) / 10;
        double momentary = -HUGE_VAL, shortTerm = -HUGE_VAL;
        for (size_t i = 0; (i + 1) * step <= s.Frames(); i++) {
            ebur128_add_frames_float(st.get(), f.data() + i * step * c.channels, step);
            double v;
            if (i >= 3 && ebur128_loudness_momentary(st.get(), &v) == EBUR128_SUCCESS)
                momentary = std::max(momentary, v);
            if (i >= 29 && ebur128_loudness_shortterm(st.get(), &v) == EBUR128_SUCCESS)
                shortTerm = std::max(shortTerm, v);
        }
        double integrated = 0, range = 0;
        ebur128_loudness_global(st.get(), &integrated);
        ebur128_loudness_range(st.get(), &range);
        const LoudnessFigures ours = Measure(s);
        EXPECT_NEAR(ours.integratedLufs.value_or(0), integrated, 1e-6);
        EXPECT_NEAR(ours.rangeLu.value_or(0), range, 1e-6);
        EXPECT_NEAR(ours.maxMomentaryLufs.value_or(0), momentary, 1e-6);
        EXPECT_NEAR(ours.maxShortTermLufs.value_or(0), shortTerm, 1e-6);
    }
}

// ---------------------------------------------------------------------------
// Bad input: a result, never a crash; the MD5 always covers the bytes.

TEST(VerifyBadInput, UnmeasurableLayoutsStillHash)
{
    const std::string bytes = wavgen::NoiseBytes(48000, 3);
    struct Case {
        const char* what;
        AudioLayout layout;
    } cases[] = {
        {"no channels", {1, 0, 48000, 0, 16, {}}},
        {"65,535 channels", {1, 65535, 48000, 65534, 16, {}}},
        {"65 channels", {1, 65, 48000, 130, 16, {}}},
        {"rate 0", {1, 2, 0, 4, 16, {}}},
        {"rate 1", {1, 2, 1, 4, 16, {}}},
        {"rate 10,000,000", {1, 2, 10000000, 4, 16, {}}},
        {"block align not channels x bytes", {1, 2, 48000, 5, 16, {}}},
        {"block align 0", {1, 2, 48000, 0, 16, {}}},
        {"MPEG", {0x50, 2, 48000, 4, 16, {}}},
        {"GSM", {0x31, 1, 8000, 65, 0, {}}},
        {"float of 16 bits", {3, 2, 48000, 4, 16, {}}},
        {"integer of 40 bits", {1, 1, 48000, 5, 40, {}}},
        {"bits 0", {1, 1, 48000, 0, 0, {}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(LoudnessMeasurable(c.layout));
        const VerifyResult r = Verify(bytes, c.layout, true, true);
        EXPECT_FALSE(r.loudnessMeasurable);
        EXPECT_FALSE(r.loudness.has_value());
        EXPECT_EQ(Hex(*r.md5), OneShotMd5(bytes));
    }
}

TEST(VerifyBadInput, NonFiniteFloatsAreSilence)
{
    const Signal tone = Sine(48000, 2, 4, 1000, -20);
    const double inf = HUGE_VAL, nan = std::nan("");
    for (uint16_t bits : {uint16_t{32}, uint16_t{64}}) {
        SCOPED_TRACE(bits);
        const LoudnessFigures clean = Measure(tone, {3, bits, {}});
        Signal spoilt = tone;
        for (size_t i = 0; i < spoilt.samples.size(); i += 997)
            spoilt.samples[i] = i % 3 == 0 ? nan : i % 3 == 1 ? inf : -inf;
        const LoudnessFigures f = Measure(spoilt, {3, bits, {}});
        EXPECT_NEAR(*f.integratedLufs, *clean.integratedLufs, 0.05);
        // A zeroed sample is a step the interpolation overshoots, a little.
        EXPECT_LT(*f.maxTruePeakDbtp, *clean.maxTruePeakDbtp + 3);
        EXPECT_NEAR(*f.rangeLu, *clean.rangeLu, 0.1);
    }
    // Doubles beyond float's range: finite figures or none, never NaN.
    Signal huge = tone;
    huge.samples[5] = 1e300;
    const LoudnessFigures f = Measure(huge, {3, 64, {}});
    for (const auto& v :
         {f.integratedLufs, f.rangeLu, f.maxTruePeakDbtp, f.maxMomentaryLufs, f.maxShortTermLufs})
        EXPECT_TRUE(!v || std::isfinite(*v));
}

TEST(VerifyBadInput, PartialFrameAtTheEndIsHashedNotMeasured)
{
    const Signal s = Sine(48000, 2, 1, 1000, -20);
    const std::string pcm = Encode(s, {1, 24, {}});
    const std::string cut = pcm + "\x01\x02\x03";
    const VerifyResult whole = Verify(pcm, LayoutOf(s, {1, 24, {}}), true, true);
    const VerifyResult r = Verify(cut, LayoutOf(s, {1, 24, {}}), true, true);
    EXPECT_EQ(Hex(*r.md5), OneShotMd5(cut));
    EXPECT_EQ(r.loudness->integratedLufs, whole.loudness->integratedLufs);
    EXPECT_EQ(r.loudness->maxTruePeakDbtp, whole.loudness->maxTruePeakDbtp);
}

// ---------------------------------------------------------------------------
// Against ffmpeg's meter (ebur128=peak=true), whose summary gives one decimal.

struct FfmpegFigures {
    double integrated = NAN, range = NAN, peak = NAN;
};

std::optional<FfmpegFigures> FfmpegMeasure(const std::string& path)
{
    const std::string log = Shell("ffmpeg -nostdin -hide_banner -nostats -i '" + path +
                                  "' -af ebur128=peak=true -f null - 2>&1");
    const size_t summary = log.rfind("Summary:");
    if (summary == std::string::npos)
        return std::nullopt;
    auto value = [&](const char* key) {
        const size_t at = log.find(key, summary);
        return at == std::string::npos ? NAN : std::strtod(log.c_str() + at + strlen(key), nullptr);
    };
    return FfmpegFigures{value("I:"), value("LRA:"), value("Peak:")};
}

bool FfmpegMissing()
{
    return Shell("command -v ffmpeg").empty();
}

#define SKIP_OR_FAIL_WITHOUT_FFMPEG()                                                              \
    if (FfmpegMissing()) {                                                                         \
        if (std::getenv("CI"))                                                                     \
            FAIL() << "ffmpeg is missing (tools/bootstrap.sh ffmpeg)";                             \
        GTEST_SKIP() << "no ffmpeg";                                                               \
    }

// Tolerance 0.1 plus the summary's rounding.
constexpr double FfmpegTolerance = 0.1 + 0.05;

void ExpectNearFfmpeg(const LoudnessFigures& ours, const FfmpegFigures& theirs, bool peak = true)
{
    if (theirs.integrated <= -70) { // ffmpeg's floor: nothing above the gate
        EXPECT_FALSE(ours.integratedLufs.has_value());
    } else {
        EXPECT_NEAR(ours.integratedLufs.value_or(0), theirs.integrated, FfmpegTolerance);
    }
    if (ours.rangeLu) {
        EXPECT_NEAR(*ours.rangeLu, theirs.range, FfmpegTolerance);
    }
    if (peak) {
        EXPECT_NEAR(ours.maxTruePeakDbtp.value_or(-99), theirs.peak, FfmpegTolerance);
    }
}

// Programme-like audio: scenes of 6 s at levels 20 dB apart, tones that
// differ per channel and a little noise, within the band both meters
// interpolate alike.  Level plateaus keep the range's percentiles off the
// transitions, where the meters' short-term update rates (1 s and 100 ms)
// would part them.
Signal Programme(uint16_t channels, double seconds)
{
    static const double scenes[] = {-30, -22, -38, -26, -34, -18, -28, -24, -36, -20};
    std::mt19937 rng(channels);
    std::normal_distribution<double> gauss(0, 0.003);
    return Make(48000, channels, seconds, [&](double n, uint16_t c) {
        const double t = n / 48000;
        const double level = Db(scenes[static_cast<size_t>(t / 6) % 10] - 2.0 * c);
        return level *
                   (std::sin(2 * Pi * (220 + 110 * c) * t) + 0.5 * std::sin(2 * Pi * 3000 * t)) +
               gauss(rng);
    });
}

TEST(VerifyAgainstFfmpeg, GeneratedFiles)
{
    SKIP_OR_FAIL_WITHOUT_FFMPEG();
    TempDir dir;
    for (uint16_t channels : {uint16_t{2}, uint16_t{6}}) {
        const Signal s = Programme(channels, 60);
        const std::optional<uint32_t> mask =
            channels == 6 ? std::optional<uint32_t>(0x3F) : std::nullopt;
        for (const Encoding& e :
             {Encoding{1, 16, mask}, Encoding{1, 24, mask}, Encoding{3, 32, mask}}) {
            SCOPED_TRACE(std::to_string(channels) + " channels, " + std::to_string(e.bits) +
                         " bits");
            const std::string path = dir.Write("gen.wav", WaveFile(s, e));
            const std::optional<FfmpegFigures> theirs = FfmpegMeasure(path);
            ASSERT_TRUE(theirs.has_value());
            ExpectNearFfmpeg(Measure(s, e), *theirs);
        }
    }
}

// The layout from a file's first "fmt " chunk (before its data).
std::optional<AudioLayout> FmtOf(const std::string& file)
{
    for (size_t at = 12; at + 8 <= file.size();) {
        const auto* p = reinterpret_cast<const unsigned char*>(file.data() + at);
        const uint32_t size = LoadLE32(p + 4);
        if (memcmp(p, "fmt ", 4) == 0 && size >= 16 && at + 8 + size <= file.size()) {
            AudioLayout l{LoadLE16(p + 8),  LoadLE16(p + 10), LoadLE32(p + 12),
                          LoadLE16(p + 20), LoadLE16(p + 22), {}};
            if (l.sampleTag == 0xFFFE && size >= 40) {
                l.channelMask = LoadLE32(p + 28);
                l.sampleTag = LoadLE16(p + 32);
            }
            return l;
        }
        if (memcmp(p, "data", 4) == 0)
            break;
        at += 8 + size + (size & 1);
    }
    return std::nullopt;
}

TEST(VerifyAgainstFfmpeg, Fixtures)
{
    SKIP_OR_FAIL_WITHOUT_FFMPEG();
    for (const auto& fixture : LoadFixtures().present) {
        const std::string path = FixturePath(fixture["file"].get<std::string>());
        SCOPED_TRACE(path);
        const std::string file = ReadWholeFile(path);
        const std::string audio = RunSondrel({"--data", path}).out;
        const std::optional<AudioLayout> layout = FmtOf(file);
        ASSERT_TRUE(layout.has_value());
        MemFile f(file);
        const VerifyResult r =
            VerifyAudio(f.fd(), file.find(audio), audio.size(), *layout, {false, true, {}});
        const std::optional<FfmpegFigures> theirs = FfmpegMeasure(path);
        ASSERT_TRUE(theirs.has_value());
        if (!r.loudnessMeasurable)
            continue; // compressed: ffmpeg decodes it, the inspector does not
        // Not the true peak: most fixtures are clipped at full scale, with
        // harmonics up to Nyquist, where ffmpeg's resampler and libebur128's
        // 49-tap interpolator part by up to 1.1 dB (the kernel is held to
        // libebur128's in VerifyTruePeak).
        ExpectNearFfmpeg(*r.loudness, *theirs, false);
    }
}

} // namespace
