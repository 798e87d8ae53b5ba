// Readings where a file's own bytes overrule a guess: loudness of channels
// without a position, ADPCM lengths from their blocks, a cut extensible
// format, a header never updated, what a file that is not WAVE is.
#include "facts.h"
#include "record_shape.h"
#include "run_tool.h"
#include "signals.h"
#include "wav_builder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

using namespace wavgen;
using Json = nlohmann::ordered_json;
using namespace std::string_literals;
using Check = std::function<void(const std::vector<Json>&)>;

namespace
{

// A 1 kHz tone at -20 dBFS (-23 LUFS alone at weight 1) on channel `on`.
std::string ToneOn(const std::string& fmt, uint16_t channels, uint16_t on)
{
    using namespace signals;
    const Signal s = Make(48000, channels, 3, [on](double n, uint16_t c) {
        return c == on ? Db(-20) * std::sin(2 * Pi * 1000 * n / 48000) : 0;
    });
    return Wave(Chunk("fmt ", fmt) + Chunk("data", Encode(s, {1, 16, {}})));
}

struct Reading {
    std::string name;
    std::vector<std::string> files; // inspected in one run, with --loudness
    std::string codes;              // of the first file's findings, but loudness-unmeasurable
    Check check;
    std::string message = ""; // of the first finding, when given
};

std::vector<Reading> Readings()
{
    const std::string ima = ReadWholeFile(FixturePath("adpcm/lsf_ima_adpcm_mono_8k.wav"));
    const std::string ms = ReadWholeFile(FixturePath("adpcm/lsf_ms_adpcm_stereo_8k.wav"));
    const size_t fact = ima.find("fact");
    const std::string halfFact = std::string(ima).replace(fact + 8, 4, LE32(5302));
    const std::string cutNoFact = std::string(ima).replace(fact, 4, "JUNK").substr(0, 5336);
    const std::string cutFmt =
        Wave(RawChunk("fmt ", 40, ExtensibleBody(6, 48000, 24, 63).substr(0, 30)));
    const std::string clean = Wave(Chunk("fmt ", FmtBody(1, 2, 48000, 16)) + Chunk("data", "abcd"));
    const std::string plain6 = ToneOn(FmtBody(1, 6, 48000, 16), 6, 3),
                      mask0 = ToneOn(ExtensibleBody(6, 48000, 16, 0), 6, 3),
                      centre = ToneOn(ExtensibleBody(7, 48000, 16, 0x70F), 7, 4);
    const auto frames = [](uint64_t n) {
        return [n](const std::vector<Json>& r) { EXPECT_EQ(r[0]["audio"]["frames"], n); };
    };
    const Check lufs = [](const std::vector<Json>& r) {
        EXPECT_NEAR(r[0]["loudness_measured"]["integrated_lufs"].get<double>(), -23, 0.05);
        EXPECT_EQ(r[0]["loudness_measured"], r.back()["loudness_measured"]);
    };
    const Check cutFields = [](const std::vector<Json>& r) {
        EXPECT_EQ(r[0]["format"]["speakers"], Json::parse(R"(["FL","FR","FC","LFE","BL","BR"])"));
        EXPECT_EQ(r[0]["format"]["valid_bits"], 24);
        EXPECT_TRUE(r[0]["format"]["sub_format"].is_null());
    };
    const std::string stale = "The data size and the RIFF size end 4000 bytes (0.02 seconds) "
                              "before the end of the file: a header written when the recording "
                              "began and never updated; those bytes may be audio.";
    std::vector<Reading> rows = {
        {"6 tracks, programme on 4; mask 0", {plain6, mask0}, "not-extensible", lufs},
        {"6.1, back centre alone", {centre}, "", lufs},
        {"IMA ADPCM as written", {ima}, "", frames(10605)},
        {"IMA ADPCM, fact says half", {halfFact}, "fact-count-mismatch", frames(5302)},
        {"IMA, no fact, cut in block 21",
         {cutNoFact},
         "chunk-truncated riff-size-mismatch",
         frames(20 * 505 + 1 + 38 * 8)},
        {"MS ADPCM, last block padded", {ms}, "", frames(10400)},
        {"fmt cut inside sub_format", {cutFmt}, "chunk-truncated data-missing", cutFields},
        {"header never updated",
         {clean + std::string(4000, '\x22')},
         "data-size-stale riff-size-mismatch",
         nullptr,
         stale},
        {"zeros after the data",
         {clean + std::string(4000, '\0')},
         "trailing-bytes riff-size-mismatch",
         nullptr},
    };
    // The first bytes of files that flac, sox and ffmpeg write.
    const std::pair<std::string, std::string> heads[] = {
        {"fLaC\0\0\0\x22"s, "a FLAC file"},
        {"FORM\0\0\0\0AIFFCOMT"s, "an AIFF file"},
        {"FORM\0\0\0\0AIFCFVER"s, "an AIFF-C file"},
        {"riff\x2E\x91\xCF\x11\xA5\xD6\x28\xDB\x04\xC1\0\0"s, "a Wave64 file"},
        {"RIFX\0\0\0\x24WAVEfmt "s, "a big-endian RIFX WAVE file"},
        {"OggS\0\x02\0\0"s, "an Ogg file"},
        {"ID3\x04\0\0\0\0"s, "an MP3 file (it starts with an ID3 tag)"},
        {"\xFF\xE3\x18\xC4\0\x0B"s, "an MP3 file (it starts with an MPEG audio frame)"},
        {"caff\0\x01\0\0desc"s, "a CAF file"},
        {"RIFF\x04\0\0\0AVI "s, "a RIFF file of form type \"AVI \""},
    };
    const std::string notWave = "The file is not a RIFF, RF64 or BW64 WAVE file: it is ";
    for (const auto& [head, what] : heads)
        rows.push_back({what, {head + "\x01\x02"}, "not-wave", nullptr, notWave + what + "."});
    return rows;
}

// Bytes after a hole of a sparse file are read, and a tail that is all
// hole is zeros.
TEST(Readings, StaleHeaderOrZerosAfterAHole)
{
    TempDir dir;
    const std::string clean = Wave(Chunk("fmt ", FmtBody(1, 2, 48000, 16)) + Chunk("data", "abcd"));
    const off_t hole = off_t{1} << 30;
    const std::string audio = dir.Write("audio.wav", clean), zeros = dir.Write("zeros.wav", clean);
    const int a = open(audio.c_str(), O_WRONLY), z = open(zeros.c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(a, "\x22\x22\x22\x22", 4, static_cast<off_t>(clean.size()) + hole), 4);
    ASSERT_EQ(ftruncate(z, static_cast<off_t>(clean.size()) + hole), 0);
    close(a);
    close(z);
    const std::vector<Json> r = ParseRecords(RunSondrel({"--json", audio, zeros}).out);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0]["findings"][0]["code"], "data-size-stale");
    EXPECT_EQ(r[1]["findings"][0]["code"], "trailing-bytes");
}

TEST(Readings, EachOnAFileThatCallsForIt)
{
    TempDir dir;
    for (const Reading& c : Readings()) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"--json", "--loudness"};
        for (size_t n = 0; n < c.files.size(); n++)
            args.push_back(dir.Write(std::to_string(n) + ".wav", c.files[n]));
        const std::vector<Json> records = ParseRecords(RunSondrel(args).out);
        ASSERT_EQ(records.size(), c.files.size());
        std::string codes;
        for (const Json& f : records[0]["findings"])
            if (f["code"] != "loudness-unmeasurable")
                codes.append(codes.empty() ? "" : " ").append(f["code"].get<std::string>());
        EXPECT_EQ(codes, c.codes);
        if (!c.message.empty()) {
            EXPECT_EQ(records[0]["findings"][0]["message"], c.message);
        }
        if (c.check)
            c.check(records);
    }
}

} // namespace
