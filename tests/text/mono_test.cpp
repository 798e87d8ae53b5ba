// The downmix and the progress percentage, called directly.
#include "text/mono.h"
#include "text/stream.h"
#include "wav_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using namespace sondrel;

namespace
{

using wavgen::Mono16Of;
using wavgen::PCMSamples;

struct MixResult {
    std::string buffer; // the whole buffer after the mix
    int32_t returned;
    std::string warning; // what went to standard error
};

template <typename Mix>
MixResult RunMix(Mix mix, std::string bytes, int32_t bytesPerSample, int32_t channels)
{
    // A buffer of exactly the input's size, so that the sanitizers see a
    // read or write past its end.
    std::vector<char> buffer(bytes.begin(), bytes.end());
    testing::internal::CaptureStderr();
    MixResult r;
    r.returned = mix(buffer.data(), static_cast<int32_t>(buffer.size()), bytesPerSample, channels);
    r.warning = testing::internal::GetCapturedStderr();
    r.buffer.assign(buffer.begin(), buffer.end());
    return r;
}

// Every way the program can mix: the widths this processor runs and the plain loop.
std::vector<std::pair<std::string, std::function<int32_t(void*, int32_t, int32_t, int32_t)>>>
AllMixes()
{
    std::vector<std::pair<std::string, std::function<int32_t(void*, int32_t, int32_t, int32_t)>>>
        mixes = {{"PCMToMono", PCMToMono}, {"reference", PCMToMonoReference}};
    const std::pair<Isa, const char*> widths[] = {
        {Isa::Base, "base"}, {Isa::Avx2, "avx2"}, {Isa::Avx512, "avx512"}};
    for (const auto& [isa, name] : widths) {
        if (IsaSupported(isa))
            mixes.emplace_back(name, [isa](void* b, int32_t n, int32_t w, int32_t c) {
                return PCMToMonoWith(isa, b, n, w, c);
            });
    }
    return mixes;
}

const char* const PartialFrameWarning = "sondrel: Warning: PCMToMono: Incomplete audio buffer\n";

struct Example {
    const char* what;
    int32_t bytesPerSample;
    int32_t channels;
    std::vector<int64_t> samples;
    std::vector<int64_t> mono;
};

const Example Examples[] = {
    {"stereo 16-bit: -201 / 2 truncates toward zero", 2, 2, {100, -301}, {-100}},
    {"16-bit mono passes through", 2, 1, {-32768, 32767, 0, -1}, {-32768, 32767, 0, -1}},
    {"24-bit loses its low byte, rounding down",
     3,
     1,
     {-1, 511, 255, 256, -256, -257},
     {-1, 1, 0, 1, -1, -2}},
    {"24-bit extremes", 3, 1, {8388607, -8388608}, {32767, -32768}},
    {"32-bit loses its low two bytes",
     4,
     1,
     {-1, 65535, 65536, 2147483647, -2147483648LL},
     {-1, 0, 1, 32767, -32768}},
    {"24-bit stereo contributions add before the division", 3, 2, {-1, 511}, {0}},
    {"three channels: 2/3 and -2/3 both truncate to 0", 2, 3, {1, 1, 0, -1, -1, 0}, {0, 0}},
    {"eight channels at full scale stay in range",
     2,
     8,
     {-32768, -32768, -32768, -32768, -32768, -32768, -32768, -32768, 32767, 32767, 32767, 32767,
      32767, 32767, 32767, 32767},
     {-32768, 32767}},
    {"5-byte samples: top two bytes", 5, 2, {0x7F12345678LL, -0x0100000000LL}, {0x3F09}},
    {"8-byte samples", 8, 1, {-1, 0x0001000000000000LL}, {-1, 1}},
    {"nine channels (plain loop): -8 / 9 truncates to 0", 2, 9, {1, 1, 1, 1, 1, 1, 1, 1, -16}, {0}},
};

TEST(PCMToMono, KnownFramesGiveTheValuesOfTheMixRule)
{
    for (const auto& [name, mix] : AllMixes()) {
        for (const Example& e : Examples) {
            SCOPED_TRACE(name + ": " + e.what);
            MixResult r =
                RunMix(mix, PCMSamples(e.bytesPerSample, e.samples), e.bytesPerSample, e.channels);
            const std::string want = PCMSamples(2, e.mono);
            ASSERT_EQ(r.returned, static_cast<int32_t>(want.size()));
            EXPECT_EQ(r.buffer.substr(0, want.size()), want);
            EXPECT_EQ(r.warning, "");
        }
    }
}

TEST(PCMToMono, PartialFrameIsDroppedWithAWarning)
{
    struct Case {
        size_t bytes;
        int32_t bytesPerSample, channels;
        int32_t returned;
        bool warns;
    };
    const Case cases[] = {
        {0, 2, 2, 0, false},  // no frames, no warning
        {10, 2, 2, 4, true},  // two frames and half of one
        {7, 3, 2, 2, true},   // one 24-bit stereo frame and a byte
        {5, 3, 2, 0, true},   // less than a frame
        {12, 3, 2, 4, false}, // whole frames only
    };
    for (const auto& [name, mix] : AllMixes()) {
        for (const Case& c : cases) {
            SCOPED_TRACE(name + ": " + std::to_string(c.bytes) + " bytes");
            const std::string in = wavgen::NoiseBytes(c.bytes, 7);
            MixResult r = RunMix(mix, in, c.bytesPerSample, c.channels);
            EXPECT_EQ(r.returned, c.returned);
            EXPECT_EQ(r.buffer.substr(0, static_cast<size_t>(r.returned)),
                      Mono16Of(in, c.bytesPerSample, c.channels));
            EXPECT_EQ(r.warning, c.warns ? PartialFrameWarning : "");
        }
    }
}

// The fast paths must stay bit-exact with the rule: random data, every layout
// they cover, lengths across the internal chunking and with partial frames.
// Bytes past the output are compared too, so a stray write shows.
TEST(PCMToMono, FastPathsMatchTheRuleOnRandomData)
{
    const auto mixes = AllMixes();
    uint32_t seed = 1;
    for (int32_t width = 2; width <= 4; width++) {
        for (int32_t channels = 1; channels <= 8; channels++) {
            const size_t frame = static_cast<size_t>(width) * channels;
            for (size_t frames : {0, 1, 3, 15, 16, 17, 32, 33, 511, 512, 513, 1500, 4099}) {
                for (size_t extra : {size_t{0}, frame - 1, size_t{1}}) {
                    if (extra >= frame)
                        continue;
                    const std::string in = wavgen::NoiseBytes(frames * frame + extra, seed++);
                    const std::string want = Mono16Of(in, width, channels);
                    const MixResult plain = RunMix(PCMToMonoReference, in, width, channels);
                    for (const auto& [name, mix] : mixes) {
                        SCOPED_TRACE(name + " width " + std::to_string(width) + " channels " +
                                     std::to_string(channels) + " frames " +
                                     std::to_string(frames) + " extra " + std::to_string(extra));
                        const MixResult r = RunMix(mix, in, width, channels);
                        ASSERT_EQ(r.returned, static_cast<int32_t>(want.size()));
                        ASSERT_EQ(r.buffer.substr(0, want.size()), want);
                        ASSERT_EQ(r.buffer, plain.buffer);
                        ASSERT_EQ(r.warning, extra ? PartialFrameWarning : "");
                    }
                }
            }
        }
    }
}

// Stream blocks may start anywhere in memory: the fast paths must not count
// on alignment, nor touch the bytes before the block.
TEST(PCMToMono, BlocksAtAnyAddressMixTheSame)
{
    const auto mixes = AllMixes();
    for (int32_t width = 2; width <= 4; width++) {
        for (int32_t channels : {2, 3, 6, 8}) {
            const std::string in = wavgen::NoiseBytes(static_cast<size_t>(100 * width * channels),
                                                      static_cast<uint32_t>(width * channels));
            const std::string want = Mono16Of(in, width, channels);
            for (size_t offset : {1, 2, 7, 31}) {
                for (const auto& [name, mix] : mixes) {
                    SCOPED_TRACE(name + " width " + std::to_string(width) + " channels " +
                                 std::to_string(channels) + " offset " + std::to_string(offset));
                    const std::string block = std::string(offset, '\x5A') + in;
                    std::vector<char> buffer(block.begin(), block.end());
                    mix(buffer.data() + offset, static_cast<int32_t>(in.size()), width, channels);
                    const std::string out(buffer.begin(), buffer.end());
                    EXPECT_EQ(out.substr(0, offset), std::string(offset, '\x5A'));
                    EXPECT_EQ(out.substr(offset, want.size()), want);
                }
            }
        }
    }
}

// Every sum that a frame of 16-bit values can have, for each channel count:
// the fast paths divide by multiplying, which must still give the quotient
// toward zero at exact multiples and at full scale.
TEST(PCMToMono, EverySumIsDividedTowardZero)
{
    const auto mixes = AllMixes();
    for (int32_t channels = 1; channels <= 8; channels++) {
        // Frame t sums to -32768 * channels + t.
        std::vector<int64_t> samples;
        for (int64_t t = 0; t <= 65535 * int64_t{channels}; t++) {
            int64_t left = t;
            for (int32_t c = 0; c < channels; c++) {
                const int64_t add = std::min<int64_t>(left, 65535);
                samples.push_back(-32768 + add);
                left -= add;
            }
        }
        const std::string in = PCMSamples(2, samples);
        const std::string want = Mono16Of(in, 2, channels);
        for (const auto& [name, mix] : mixes) {
            SCOPED_TRACE(name + " channels " + std::to_string(channels));
            const MixResult r = RunMix(mix, in, 2, channels);
            ASSERT_EQ(r.returned, static_cast<int32_t>(want.size()));
            ASSERT_TRUE(r.buffer.compare(0, want.size(), want) == 0);
        }
    }
}

TEST(PCMToMono, WidestChannelCountDoesNotOverflowTheSum)
{
    // 65,535 channels at full negative scale: the sum is -2,147,450,880.
    std::string frame = PCMSamples(2, std::vector<int64_t>(65535, -32768));
    frame += PCMSamples(2, std::vector<int64_t>(65535, 32767));
    const MixResult r = RunMix(PCMToMono, frame, 2, 65535);
    ASSERT_EQ(r.returned, 4);
    EXPECT_EQ(r.buffer.substr(0, 4), PCMSamples(2, {-32768, 32767}));
}

TEST(Percent64, RoundsDownAndHalvesLargeCounts)
{
    struct Case {
        uint64_t done, total;
        int percent;
    };
    const Case cases[] = {
        {0, 100, 0},
        {50, 200, 25},
        {199, 200, 99},
        {200, 200, 100},
        {300, 200, 100},
        {0, 0, 100},
        {42949672, 85899344, 50},  // halved once
        {42949672, 42949673, 100}, // halved once to equal values
        {42949671, 42949672, 99},  // not halved
        {uint64_t{1} << 40, uint64_t{1} << 42, 25},
        {UINT64_MAX - 1, UINT64_MAX, 100},
        {UINT64_MAX / 3, UINT64_MAX, 33},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Percent64(c.done, c.total), c.percent) << c.done << " of " << c.total;
}

} // namespace
