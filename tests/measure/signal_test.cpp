// --signal: the kernel's paths against its plain loop, generated signals
// against plain references computed here, real files against sox and a
// plain correlation.
#include "inspect/inspect.h"
#include "measure/signal_kernel.h"
#include "record_shape.h"
#include "run_tool.h"
#include "signals.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <bit>
#include <random>
#include <set>

using namespace sondrel;
using namespace signals;
using Json = nlohmann::ordered_json;

namespace
{

constexpr SampleKind Kinds[] = {SampleKind::U8,   SampleKind::S16,   SampleKind::S24,
                                SampleKind::ALaw, SampleKind::MuLaw, SampleKind::S32,
                                SampleKind::F32,  SampleKind::F64};

// Random samples with full-scale values, NaN and infinity among them.
std::string RandomBytes(SampleKind k, size_t samples, std::mt19937& random)
{
    std::string out;
    std::uniform_real_distribution<double> value(-1.2, 1.2);
    for (size_t i = 0; i < samples; i++) {
        double v = i % 17 == 3 ? 1.0 : i % 23 == 5 ? NAN : i % 29 == 7 ? INFINITY : value(random);
        uint64_t word = random();
        if (k == SampleKind::F32)
            word = std::bit_cast<uint32_t>(static_cast<float>(v));
        else if (k == SampleKind::F64)
            word = std::bit_cast<uint64_t>(v);
        for (unsigned b = 0; b < BytesOf(k); b++)
            out += static_cast<char>(word >> (8 * b));
    }
    return out;
}

TEST(SignalKernel, EveryPathEqualsThePlainLoop)
{
    std::mt19937 random(31);
    const auto expectSame = [](auto fast, auto ref, auto sums, SampleKind k,
                               const std::string& bytes, unsigned channels) {
        const size_t frames = bytes.size() / BytesOf(k) / channels;
        const auto* raw = reinterpret_cast<const unsigned char*>(bytes.data());
        auto a = sums, b = sums;
        a.Resize(channels), b.Resize(channels);
        std::vector<typename decltype(a.min)::value_type> outA(frames * channels + 1), outB = outA;
        fast(k, raw, frames, channels, outA.data(), a);
        ref(k, raw, frames, channels, outB.data(), b);
        const auto all = [](const auto& s) {
            return std::tie(s.min, s.max, s.sum, s.squares, s.cross, s.bits);
        };
        EXPECT_TRUE(outA == outB && all(a) == all(b));
    };
    for (Isa isa : {Isa::Base, Isa::Avx2, Isa::Avx512})
        for (SampleKind k : Kinds)
            for (unsigned channels : {1u, 2u, 3u, 6u, 40u})
                for (size_t frames : {size_t{1}, size_t{13}, size_t{4096 / channels}}) {
                    SCOPED_TRACE(testing::Message() << "isa " << static_cast<int>(isa) << " kind "
                                                    << static_cast<int>(k) << " " << channels
                                                    << "ch " << frames << " frames");
                    const std::string bytes = RandomBytes(k, frames * channels, random);
                    if (IsaSupported(isa) && IntegerSummed(k))
                        expectSame(IntPieceKernel(isa), IntPieceReference, IntSums{}, k, bytes,
                                   channels);
                    else if (IsaSupported(isa))
                        expectSame(RealPieceKernel(isa), RealPieceReference, RealSums{}, k, bytes,
                                   channels);
                }
}

// ---------------------------------------------------------------------------
// The samples as stored, decoded here by a plain loop, as fractions of full scale.
std::vector<double> Stored(const Signal& s, const Encoding& e)
{
    const std::string bytes = Encode(s, e);
    std::vector<double> out;
    const unsigned width = e.bits / 8;
    for (size_t at = 0; at + width <= bytes.size(); at += width) {
        uint64_t w = 0;
        for (unsigned b = 0; b < width; b++)
            w |= uint64_t{static_cast<uint8_t>(bytes[at + b])} << (8 * b);
        double v;
        if (e.tag == 3)
            v = e.bits == 32 ? double{std::bit_cast<float>(static_cast<uint32_t>(w))}
                             : std::bit_cast<double>(w);
        else if (e.tag == 6 || e.tag == 7) {
            const int x = (e.tag == 6 ? ALawToLinear : MuLawToLinear)(static_cast<uint8_t>(w));
            v = (e.tag == 6 && std::abs(x) == 8 ? 0 : x) / 32768.0; // A-law's nearest 0
        } else if (e.bits == 8)
            v = (static_cast<double>(w) - 128) / 128;
        else
            v = static_cast<double>(static_cast<int64_t>(w << (64 - e.bits)) >> (64 - e.bits)) /
                std::ldexp(1.0, e.bits - 1);
        out.push_back(std::isfinite(v) ? v : 0.0);
    }
    return out;
}

Json Db(double v)
{
    return v > 0 ? Json(20 * std::log10(v)) : Json();
}

// The record's `signal` computed the plain way from the samples as stored.
Json Reference(const Signal& s, const Encoding& e, const std::vector<double>& x)
{
    const unsigned C = s.channels;
    const size_t n = x.size() / C;
    const bool real = e.tag == 3, g711 = e.tag == 6 || e.tag == 7;
    const double top = real   ? 1
                       : g711 ? (e.tag == 6 ? 32256 : 32124) / 32768.0
                              : 1 - std::ldexp(1.0, 1 - e.bits);
    auto at = [&](size_t f, unsigned c) { return x[f * C + c]; };
    Json r = {{"peak_dbfs", Json::array()},       {"rms_dbfs", Json::array()},
              {"dc_offset_dbfs", Json::array()},  {"clipped_samples", Json::array()},
              {"silent_channels", Json::array()}, {"identical_channels", Json::array()},
              {"correlation", nullptr},           {"effective_bits", nullptr},
              {"silences", Json::array()}};
    std::vector<double> mean(C), var(C);
    for (unsigned c = 0; c < C; c++) {
        double peak = 0, sq = 0, sum = 0;
        uint64_t clipped = 0, run = 0;
        for (size_t f = 0, side = 0; f < n; f++) {
            const double v = at(f, c);
            peak = std::max(peak, std::fabs(v)), sq += v * v, sum += v;
            const size_t now = v >= top ? 1 : v <= (g711 ? -top : -1) ? 2 : 0;
            run = now == 0 ? 0 : now == side ? run + 1 : 1;
            side = now;
            clipped += run == 3 ? 3 : run > 3 ? 1 : 0;
        }
        const auto frames = static_cast<double>(n);
        mean[c] = sum / frames, var[c] = sq / frames - mean[c] * mean[c];
        r["peak_dbfs"].push_back(Db(peak));
        r["rms_dbfs"].push_back(Db(std::sqrt(sq / frames)));
        r["dc_offset_dbfs"].push_back(Db(std::fabs(mean[c])));
        r["clipped_samples"].push_back(clipped);
        if (peak == 0)
            r["silent_channels"].push_back(c);
    }
    for (unsigned i = 0; i < C; i++)
        for (unsigned j = i + 1; j < C; j++) {
            bool same = !r["peak_dbfs"][i].is_null(); // silent channels are not dual mono
            for (size_t f = 0; f < n && same; f++)
                same = at(f, i) == at(f, j);
            if (same)
                r["identical_channels"].push_back({i, j});
        }
    if (C == 2 && var[0] > 1e-15 && var[1] > 1e-15) {
        double cov = 0;
        for (size_t f = 0; f < n; f++)
            cov += (at(f, 0) - mean[0]) * (at(f, 1) - mean[1]);
        r["correlation"] = cov / static_cast<double>(n) / std::sqrt(var[0] * var[1]);
    }
    uint64_t used = 0;
    for (double v : x)
        used |= static_cast<uint64_t>(std::llround(v * std::ldexp(1.0, e.bits - 1)));
    if (e.tag == 1 && used)
        r["effective_bits"] = e.bits - std::countr_zero(used);
    for (size_t f = 0, from = 0; f <= n; f++) {
        bool loud = f == n;
        for (unsigned c = 0; c < C && !loud; c++)
            loud = !(std::fabs(at(f, c)) < 0.001);
        if (loud && f - from >= 2 * size_t{s.rate})
            r["silences"].push_back({{"start_seconds", static_cast<double>(from) / s.rate},
                                     {"seconds", static_cast<double>(f - from) / s.rate}});
        from = loud ? f + 1 : from;
    }
    return r;
}

// Numbers within the rounding to 2 decimals, everything else equal.
void ExpectNear(const Json& got, const Json& want, const std::string& where = "signal")
{
    if (got.is_number() && want.is_number()) {
        EXPECT_NEAR(got.get<double>(), want.get<double>(), 0.0051) << where;
        return;
    }
    ASSERT_EQ(got.type(), want.type()) << where << ": " << got << " for " << want;
    ASSERT_EQ(got.size(), want.size()) << where << ": " << got << " for " << want;
    for (size_t i = 0; got.is_array() && i < got.size(); i++)
        ExpectNear(got[i], want[i], where + "[" + std::to_string(i) + "]");
    for (auto it = want.begin(); got.is_object() && it != want.end(); ++it)
        ExpectNear(got[it.key()], *it, where + "." + it.key());
}

Json Inspect(const std::string& file, bool signal = true)
{
    MemFile f(file);
    InspectOptions o;
    o.signal = signal;
    bool failed = false;
    const std::string path = "/proc/self/fd/" + std::to_string(f.fd());
    return Json::parse(InspectRecordLine(path.c_str(), o, &failed));
}

std::set<std::string> SignalCodes(const Json& record)
{
    const std::set<std::string> ours = {"clipping",  "dc-offset",          "channel-silent",
                                        "dual-mono", "phase-inverted",     "bits-padded",
                                        "silence",   "signal-unmeasurable"};
    std::set<std::string> codes;
    for (const Json& f : record["findings"])
        if (ours.count(f["code"]))
            codes.insert(f["code"]);
    return codes;
}

double Sine(double n, double amplitude = 0.5)
{
    return amplitude * std::sin(2 * Pi * 997 * n / 48000);
}

// A second at 48 kHz of f(n) in one channel, or of f(n, channel) in `channels`.
template <typename F> Signal Mono(F f, uint32_t rate = 48000)
{
    return Make(rate, 1, 1, [f](double n, int) { return f(n); });
}
template <typename F> Signal Multi(uint16_t channels, F f)
{
    return Make(48000, channels, 1, f);
}

// A sine with `count` samples from `at` set to `value`.
Signal Forced(uint16_t channels, double at, double count, double value)
{
    return Multi(channels,
                 [=](double n, int) { return n >= at && n < at + count ? value : Sine(n); });
}

// 10 s of tone at 8 kHz with `seconds` of `level` from `from`.
Signal Gap(double from, double seconds, double level)
{
    return Make(8000, 2, 10, [=](double n, int c) {
        const double t = n / 8000;
        return Sine(n, t >= from && t < from + seconds ? level : 0.5) * (c ? 0.5 : 1);
    });
}

TEST(Signal, GeneratedSignalsAgainstPlainReferences)
{
    const Encoding s16{1, 16, {}}, s24{1, 24, {}}, s32{1, 32, {}}, f32{3, 32, {}}, f64{3, 64, {}},
        u8{1, 8, {}}, alaw{6, 8, {}}, mulaw{7, 8, {}};
    const double quiet = 0.0009, heard = 0.0012; // either side of -60 dBFS
    const auto bits16 = [](double n, int c) { return std::round(Sine(n + c) * 32768) / 32768; };
    const auto odd = [](double n) {
        return (2 * std::round(Sine(n) * 4194304) + (n == 4000)) / 8388608;
    };
    const auto pairs = [](double n, int c) { return Sine(c < 2 || n < 3000 ? n : n * 1.5); };
    const auto alawQuiet = [](double n, int c) {
        return c ? Sine(n) : (int(n) % 2 ? 8 : -8) / 32768.0;
    };
    const auto square = [](double n) { return std::fmod(n, 100) < 50 ? 1.0 : -1.0; };
    const auto rightOff = [](double n, int c) { return c ? 0 : Sine(n); };
    const auto inverted = [](double n, int c) { return c ? -Sine(n) : Sine(n); };
    const auto nanInf = [](double n) { return n == 10 ? NAN : n == 20 ? -INFINITY : Sine(n); };
    const auto muQuiet = [](double n) { return (int(n) % 2 ? 1 : -1) / 32768.0; };
    const struct {
        const char* name;
        Signal signal;
        Encoding encoding;
        std::set<std::string> codes;
    } rows[] = {
        // clang-format off
        {"clipped for 2 samples", Forced(1, 1000, 2, 1.0), s16, {}},
        {"clipped for 3 samples", Forced(1, 1000, 3, 1.0), s16, {"clipping"}},
        {"clipped low, 24-bit", Forced(2, 7, 5, -1.0), s24, {"clipping", "dual-mono"}},
        {"full-scale square", Mono(square), s16, {"clipping"}},
        {"float above 1.0", Mono([](double n) { return Sine(n, 1.5); }), f32, {"clipping"}},
        {"float64 at 1.0 for 3", Forced(1, 100, 3, 1.0), f64, {"clipping"}},
        {"DC of 0.5%", Mono([](double n) { return Sine(n) + 0.005; }), s24, {}},
        {"DC of 2%", Mono([](double n) { return Sine(n) + 0.02; }), s24, {"dc-offset"}},
        {"silent right", Multi(2, rightOff), s16, {"channel-silent"}},
        {"left = right", Multi(2, [](double n, int) { return Sine(n); }), s24, {"dual-mono"}},
        {"4 channels alike for 3000 frames, then two pairs", Multi(4, pairs), s16, {"dual-mono"}},
        {"left = -right", Multi(2, inverted), s16, {"phase-inverted"}},
        {"16-bit values in 24 bits", Multi(2, bits16), s24, {"bits-padded"}},
        {"16-bit values in 32 bits", Multi(1, bits16), s32, {"bits-padded"}},
        {"24-bit, last bit used once", Mono(odd), s24, {}},
        {"8-bit unsigned", Mono([](double n) { return Sine(n, 0.7); }, 8000), u8, {}},
        {"1.9 s at the head", Gap(0, 1.9, quiet), s16, {}},
        {"2.1 s at the head", Gap(0, 2.1, quiet), s16, {"silence"}},
        {"1.9 s in the middle", Gap(4, 1.9, quiet), s24, {}},
        {"2.1 s in the middle", Gap(4, 2.1, quiet), s24, {"silence"}},
        {"1.9 s at the tail", Gap(8.1, 1.9, quiet), f32, {}},
        {"2.1 s at the tail", Gap(7.9, 2.1, quiet), f32, {"silence"}},
        {"2.1 s above -60 dBFS", Gap(4, 2.1, heard), s24, {}},
        {"NaN and infinity", Mono(nanInf), f32, {}},
        {"A-law silence, +-8", Make(8000, 2, 1, alawQuiet), alaw, {"channel-silent"}},
        {"mu-law silence", Mono(muQuiet, 8000), mulaw, {}},
        {"mu-law at full scale", Forced(1, 10, 4, 1.0), mulaw, {"clipping"}},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Json record = Inspect(WaveFile(row.signal, row.encoding));
        ExpectRecordShape(record);
        EXPECT_EQ(SignalCodes(record), row.codes);
        ExpectNear(record["signal"],
                   Reference(row.signal, row.encoding, Stored(row.signal, row.encoding)));
        // Read 7 frames at a time: runs, silences and equal channels cross every block.
        const std::string bytes = Encode(row.signal, row.encoding);
        const AudioLayout l = LayoutOf(row.signal, row.encoding);
        MemFile f(bytes);
        const MeasureRequest q{false, false, {}, size_t{l.blockAlign} * 7, true};
        const MeasureResult v = ReadAndMeasure(f.fd(), 0, bytes.size(), l, q);
        ASSERT_TRUE(v.signal);
        EXPECT_EQ(Json(v.signal->clippedSamples), record["signal"]["clipped_samples"]);
        EXPECT_EQ(Json(v.signal->identicalChannels), record["signal"]["identical_channels"]);
        EXPECT_EQ(v.signal->silences.size(), record["signal"]["silences"].size());
    }
}

TEST(Signal, NullWithoutTheOptionAndForCompressedAudio)
{
    const Signal s = Forced(1, 10, 4, 1.0);
    EXPECT_TRUE(Inspect(WaveFile(s, {1, 16, {}}), false)["signal"].is_null());
    const std::string mp2 = wavgen::Wave(wavgen::Chunk("fmt ", wavgen::FmtBody(0x50, 1, 48000, 0)) +
                                         wavgen::Chunk("data", std::string(100, '\x55')));
    const Json r = Inspect(mp2);
    EXPECT_TRUE(r["signal"].is_null());
    EXPECT_EQ(SignalCodes(r), std::set<std::string>{"signal-unmeasurable"});
    // No audio is no dead channel.
    const Json empty =
        Inspect(WaveFile(Make(48000, 2, 0, [](double, int) { return 0.0; }), {1, 16, {}}));
    EXPECT_EQ(empty["signal"]["silent_channels"], Json::array());
    EXPECT_EQ(SignalCodes(empty), std::set<std::string>{});
}

// Real files: no false clipping, DC offset or reversed polarity.  Their
// largest DC is sox's `stats`; the correlation a plain loop over sox's decoding.
TEST(Signal, RealFilesAgainstSoxAndAPlainCorrelation)
{
    const struct {
        const char* file;
        double soxDc;                      // the largest per channel, as a fraction
        std::optional<double> correlation; // stereo only
    } files[] = {
        {"bw64lib_s24_mono_ixml_axml.wav", 0.000194, {}},
        {"ff_bext_full_s24.wav", 0.001235, 0.217},
        {"ff_f32_stereo_ext.wav", 0.001235, 0.217},
        {"ff_pipe_s16_stereo.wav", 0.001250, 0.217},
        {"ff_s16_stereo.wav", 0.001919, 0.215},
        {"ff_s24_6ch.wav", 0.006702, {}},
        {"ff_u8_mono_odd.wav", 0.005056, {}},
        {"lsf_f32_peak_stereo.wav", 0.001235, 0.217},
        {"perl_s16_stereo_cue_smpl.wav", 0.000454, 0.001},
        {"pywave_s24_mono_odd.wav", 0.000108, {}},
    };
    for (const auto& f : files) {
        SCOPED_TRACE(f.file);
        const Json r = Inspect(ReadWholeFile(std::string(SONDREL_TEST_DATA "/") + f.file));
        for (const char* code : {"clipping", "dc-offset", "phase-inverted"})
            EXPECT_EQ(SignalCodes(r).count(code), 0u) << code;
        double dc = -1000;
        for (const Json& c : r["signal"]["dc_offset_dbfs"])
            dc = std::max(dc, c.get<double>());
        EXPECT_NEAR(dc, 20 * std::log10(f.soxDc), 0.05);
        if (f.correlation) {
            EXPECT_NEAR(r["signal"]["correlation"].get<double>(), *f.correlation, 0.0051);
        }
    }
}

} // namespace
