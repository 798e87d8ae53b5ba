// One read of the audio: digests against OpenSSL and md5sum; loudness
// against the EBU test signals defined by level, frequency and duration, and
// against ffmpeg's meter.
#include "bytes.h"
#include "facts.h"
#include "run_tool.h"
#include "signals.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <random>

using namespace sondrel;

namespace
{

using namespace signals;

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

TEST(AudioMd5, EqualsOneShotDigestAtEverySizeAroundTheBlock)
{
    const std::string noise = wavgen::NoiseBytes((3 << 20) + 5, 7);
    const AudioLayout stereo24{1, 2, 48000, 6, 24, {}};
    for (size_t size : {size_t{0}, size_t{1}, size_t{6}, (size_t{1} << 20) - 1, size_t{1} << 20,
                        (size_t{1} << 20) + 1, noise.size()}) {
        SCOPED_TRACE(size);
        const std::string_view bytes(noise.data(), size);
        for (bool loudness : {false, true}) {
            const MeasureResult r = Read(bytes, stereo24, true, loudness);
            ASSERT_TRUE(r.md5.has_value());
            EXPECT_EQ(Hex(*r.md5), OneShotMd5(bytes));
            EXPECT_EQ(r.bytesRead, size);
            EXPECT_EQ(r.readError, 0);
        }
    }
}

TEST(AudioMd5, CutFileHashesWhatIsThereAndReportsProgress)
{
    const std::string noise = wavgen::NoiseBytes((2 << 20) + 3, 9);
    MemFile f(noise);
    uint64_t last = 0;
    MeasureRequest request{true, true, [&last](uint64_t done) { last = done; }};
    const MeasureResult r =
        ReadAndMeasure(f.fd(), 100, 1ull << 40, {1, 2, 48000, 4, 16, {}}, request);
    EXPECT_EQ(r.bytesRead, noise.size() - 100);
    EXPECT_EQ(last, r.bytesRead);
    EXPECT_EQ(Hex(*r.md5), OneShotMd5(std::string_view(noise).substr(100)));
    ASSERT_TRUE(r.loudness.has_value()); // 11 s of noise is measured as far as it goes
    EXPECT_TRUE(r.loudness->integratedLufs.has_value());
}

TEST(AudioMd5, ReadErrorKeepsItsErrno)
{
    const int dir = open("/", O_RDONLY | O_DIRECTORY);
    const MeasureResult r = ReadAndMeasure(dir, 0, 100, {}, {true, false, {}});
    close(dir);
    EXPECT_EQ(r.readError, EISDIR);
    EXPECT_EQ(r.bytesRead, 0u);
}

// The audio sondrel --data writes is the data chunk's body as far as the
// file holds it: found in the file, its MD5 must be md5sum's of that output.
TEST(AudioMd5, FixturesAgreeWithMd5sumOfDataOutput)
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
        const MeasureResult r =
            ReadAndMeasure(f.fd(), offset, data.out.size(), {}, {true, false, {}});
        EXPECT_EQ(Hex(*r.md5), md5sum);
    }
}

// ---------------------------------------------------------------------------
// The EBU test signals defined by level, frequency and duration (1 kHz
// sines unless said), through the whole read in several encodings, within
// the standards' tolerances: 0.1 LU, 1 LU for the range, +0.2/-0.4 dB for
// the true peak.

TEST(LoudnessEbu, Tech3341And3342Signals)
{
    const std::optional<double> none;
    struct Case {
        const char* what;
        Signal signal;
        std::optional<double> integrated, momentary, shortTerm, range, peak;
    } cases[] = {
        {"3341 case 1: -23 dBFS stereo", Steps(2, {{20, -23}}), -23, -23, -23, 0, -23},
        {"3341 case 2: -33 dBFS stereo", Steps(2, {{20, -33}}), -33, -33, -33, 0, -33},
        {"3341 case 3: -36, -23, -36 dBFS", Steps(2, {{10, -36}, {60, -23}, {10, -36}}), -23, -23,
         -23, none, -23},
        {"3341 case 4: -72, -36, -23, -36, -72 dBFS",
         Steps(2, {{10, -72}, {10, -36}, {60, -23}, {10, -36}, {10, -72}}), -23, -23, -23, none,
         -23},
        {"3341 case 5: -26, -20, -26 dBFS", Steps(2, {{20, -26}, {20.1, -20}, {20, -26}}), -23, -20,
         -20, none, -20},
        {"3341 case 6: 5.0 at -28, -24, -30 dBFS",
         Make(48000, 5, 20,
              [](double n, uint16_t c) {
                  const double db[] = {-28, -28, -24, -30, -30};
                  return Db(db[c]) * std::sin(2 * Pi * 1000 * n / 48000);
              }),
         -23, -23, -23, none, -24},
        {"3342 case 1: -20, -30 dBFS", Steps(2, {{20, -20}, {20, -30}}), none, none, none, 10,
         none},
        {"3342 case 2: -20, -15 dBFS", Steps(2, {{20, -20}, {20, -15}}), none, none, none, 5, none},
        {"3342 case 3: -40, -20 dBFS", Steps(2, {{20, -40}, {20, -20}}), none, none, none, 20,
         none},
        {"3342 case 4: -50, -35, -20, -35, -50 dBFS",
         Steps(2, {{20, -50}, {20, -35}, {20, -20}, {20, -35}, {20, -50}}), none, none, none, 15,
         none},
        {"3341 true peak: a quarter of the rate at 45 degrees, 0.5 at its crests",
         Make(48000, 2, 2, [](double n, uint16_t) { return 0.5 * std::sin(Pi / 2 * n + Pi / 4); }),
         none, none, none, none, -6.02},
    };
    // Float, and each other encoding in turn.
    const Encoding others[] = {{1, 32, 0x37}, {1, 16, {}}, {1, 24, {}}, {6, 8, {}}, {7, 8, {}}};
    size_t turn = 0;
    for (const Case& c : cases)
        for (Encoding e : {Encoding{3, 32, {}}, others[turn++ % std::size(others)]}) {
            SCOPED_TRACE(std::string(c.what) + ", tag " + std::to_string(e.tag) + ", " +
                         std::to_string(e.bits) + " bits");
            if (c.signal.channels == 5)
                e.mask = 0x37; // positioned: FL FR FC BL BR
            const LoudnessFigures f = Measure(c.signal, e);
            // G.711's steps are coarse: a few percent of the level at worst.
            const double slack = e.tag == 6 || e.tag == 7 ? 0.1 : 0;
            auto near = [&](const std::optional<double>& v, const std::optional<double>& want,
                            double below, double above) {
                if (want) {
                    ASSERT_TRUE(v.has_value());
                    EXPECT_GE(*v, *want - below - slack);
                    EXPECT_LE(*v, *want + above + slack);
                }
            };
            near(f.integratedLufs, c.integrated, 0.1, 0.1);
            near(f.maxMomentaryLufs, c.momentary, 0.1, 0.1);
            near(f.maxShortTermLufs, c.shortTerm, 0.1, 0.1);
            near(f.rangeLu, c.range, 1, 1);
            near(f.maxTruePeakDbtp, c.peak, 0.4, 0.2);
        }
}

TEST(LoudnessWhole, TooShortOrSilentGivesNull)
{
    struct Case {
        const char* what;
        Signal signal;
        bool integrated, momentary, shortTerm, peak;
    } cases[] = {
        {"no audio", Steps(2, {}), false, false, false, false},
        {"300 ms: no 400 ms block", Steps(2, {{0.3, -20}}), false, false, false, true},
        {"1 s: no 3 s window", Steps(2, {{1, -20}}), true, true, false, true},
        {"silence", Steps(2, {{5, -HUGE_VAL}}), false, false, false, false},
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

// The inspector measures A-law and mu-law, plain and extensible.
TEST(LoudnessWhole, InspectorMeasuresG711)
{
    TempDir dir;
    const Signal tone = Steps(1, {{4, -20}}, 8000);
    for (const Encoding& e :
         {Encoding{6, 8, {}}, Encoding{7, 8, {}}, Encoding{6, 8, 0x4}, Encoding{7, 8, 0x4}}) {
        SCOPED_TRACE(std::to_string(e.tag) + (e.mask ? " extensible" : ""));
        const RunResult run =
            RunSondrel({"--json", "--loudness", dir.Write("g711.wav", WaveFile(tone, e))});
        ASSERT_EQ(run.status, 0) << run.err;
        const auto record = nlohmann::json::parse(run.out);
        EXPECT_EQ(record["findings"].size(), 0u) << record["findings"];
        // A mono 1 kHz tone at -20 dBFS: its mean square is 3 dB below.
        EXPECT_NEAR(record["loudness_measured"]["max_momentary_lufs"].get<double>(), -23.0, 0.15);
    }
}

// ---------------------------------------------------------------------------
// Bad input: a result, never a crash; the MD5 always covers the bytes.

TEST(AudioBadInput, UnmeasurableLayoutsStillHash)
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
        {"A-law of 16 bits", {6, 1, 8000, 2, 16, {}}},
        {"mu-law of 4 bits", {7, 2, 8000, 2, 4, {}}},
        {"GSM", {0x31, 1, 8000, 65, 0, {}}},
        {"float of 16 bits", {3, 2, 48000, 4, 16, {}}},
        {"integer of 40 bits", {1, 1, 48000, 5, 40, {}}},
        {"bits 0", {1, 1, 48000, 0, 0, {}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(LoudnessMeasurable(c.layout));
        const MeasureResult r = Read(bytes, c.layout, true, true);
        EXPECT_FALSE(r.loudnessMeasurable);
        EXPECT_FALSE(r.loudness.has_value());
        EXPECT_EQ(Hex(*r.md5), OneShotMd5(bytes));
    }
}

// NaN and infinity are heard as silence (Loudness.AgreesWithLibebur128...);
// doubles beyond float's range give finite figures or none, never NaN.
TEST(AudioBadInput, HugeDoublesGiveFiniteFiguresOrNone)
{
    Signal huge = Steps(2, {{4, -20}});
    huge.samples[5] = 1e300;
    huge.samples[9] = -1e300;
    const LoudnessFigures f = Measure(huge, {3, 64, {}});
    for (const auto& v :
         {f.integratedLufs, f.rangeLu, f.maxTruePeakDbtp, f.maxMomentaryLufs, f.maxShortTermLufs})
        EXPECT_TRUE(!v || std::isfinite(*v));
}

TEST(AudioBadInput, PartialFrameAtTheEndIsHashedNotMeasured)
{
    const Signal s = Steps(2, {{1, -20}});
    const std::string pcm = Encode(s, {1, 24, {}});
    const std::string cut = pcm + "\x01\x02\x03";
    const MeasureResult whole = Read(pcm, LayoutOf(s, {1, 24, {}}), true, true);
    const MeasureResult r = Read(cut, LayoutOf(s, {1, 24, {}}), true, true);
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

// 0.1 for the loudness and the range, 0.3 for the true peak (ffmpeg
// oversamples 4 times), each plus the summary's rounding.
void ExpectNearFfmpeg(const LoudnessFigures& ours, const FfmpegFigures& theirs, bool peak = true)
{
    if (theirs.integrated <= -70) { // ffmpeg's floor: nothing above the gate
        EXPECT_FALSE(ours.integratedLufs.has_value());
    } else {
        EXPECT_NEAR(ours.integratedLufs.value_or(0), theirs.integrated, 0.15);
    }
    if (ours.rangeLu) {
        EXPECT_NEAR(*ours.rangeLu, theirs.range, 0.15);
    }
    if (peak) {
        EXPECT_NEAR(ours.maxTruePeakDbtp.value_or(-99), theirs.peak, 0.35);
    }
}

// Programme-like audio: scenes of 6 s at levels 20 dB apart, tones that
// differ per channel and a little noise.
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

TEST(LoudnessAgainstFfmpeg, GeneratedFiles)
{
    SKIP_OR_FAIL_WITHOUT_FFMPEG();
    TempDir dir;
    for (uint16_t channels : {uint16_t{2}, uint16_t{6}}) {
        const Signal s = Programme(channels, 30);
        const std::optional<uint32_t> mask =
            channels == 6 ? std::optional<uint32_t>(0x3F) : std::nullopt;
        for (const Encoding& e :
             {Encoding{1, 16, mask}, Encoding{1, 24, mask}, Encoding{3, 32, mask},
              Encoding{6, 8, mask}, Encoding{7, 8, mask}}) {
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

TEST(LoudnessAgainstFfmpeg, Fixtures)
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
        const MeasureResult r =
            ReadAndMeasure(f.fd(), file.find(audio), audio.size(), *layout, {false, true, {}});
        const std::optional<FfmpegFigures> theirs = FfmpegMeasure(path);
        ASSERT_TRUE(theirs.has_value());
        if (!r.loudnessMeasurable)
            continue; // compressed: ffmpeg decodes it, the inspector does not
        // Most fixtures are clipped at full scale, with harmonics up to
        // Nyquist, which ffmpeg's resampler reads up to half a dB above the
        // band-limited peak: the true peak is held to that peak instead
        // (128 taps a phase: flat almost to Nyquist), within what the
        // meter's filter loses of the top twentieth of the band.
        ExpectNearFfmpeg(*r.loudness, *theirs, false);
        const std::vector<float> x = Heard(audio, *layout);
        double peak = 0;
        for (unsigned c = 0; c < layout->channels; c++) {
            std::vector<double> channel;
            for (size_t i = c; i < x.size() - LoudnessMeter::Overread; i += layout->channels)
                channel.push_back(x[i]);
            peak = std::max(peak, BandLimitedPeak(channel, 128));
        }
        const double diff = r.loudness->maxTruePeakDbtp.value_or(-99) - 20 * std::log10(peak);
        EXPECT_GE(diff, -0.3);
        EXPECT_LE(diff, 0.05 + 0.005);
    }
}

} // namespace
