// Readings where a file's own bytes overrule a guess: loudness of channels
// without a position, ADPCM lengths from their blocks, a cut extensible
// format, an unfinalised header, and what a file that is not WAVE is.
#include "facts.h"
#include "record_shape.h"
#include "run_tool.h"
#include "signals.h"
#include "wav_builder.h"

#include <gtest/gtest.h>

using namespace wavgen;
using Json = nlohmann::ordered_json;
using namespace std::string_literals;

namespace
{

const std::string Fmt16 = Chunk("fmt ", FmtBody(1, 2, 48000, 16));
const std::string Data400 = Chunk("data", std::string(400, '\x11'));

// A 1 kHz tone at -20 dBFS (-23 LUFS alone at weight 1) on channel `on`.
std::string ToneOn(uint16_t channels, uint16_t on)
{
    using namespace signals;
    return Encode(Make(48000, channels, 3,
                       [on](double n, uint16_t c) {
                           return c == on ? Db(-20) * std::sin(2 * Pi * 1000 * n / 48000) : 0;
                       }),
                  {1, 16, {}});
}

std::string Edited(std::string file, const char* at, size_t skip, const std::string& bytes)
{
    return file.replace(file.find(at) + skip, bytes.size(), bytes);
}

struct Reading {
    std::string name;
    std::vector<std::string> files; // inspected in one run
    std::vector<std::string> codes; // of the first file's findings
    std::function<void(const std::vector<Json>&)> check;
    std::vector<std::string> options = {};
};

std::vector<Reading> Readings()
{
    const std::string ima = ReadWholeFile(FixturePath("adpcm/lsf_ima_adpcm_mono_8k.wav"));
    const std::string noFact = Edited(ima, "fact", 0, "JUNK");
    const std::string stale = Wave(Fmt16 + Data400) + std::string(4000, '\x22');
    const auto frames = [](uint64_t n) {
        return [n](const std::vector<Json>& r) { EXPECT_EQ(r[0]["audio"]["frames"], n); };
    };
    const auto lufs = [](const std::vector<Json>& r) {
        for (const Json& x : r)
            EXPECT_NEAR(x["loudness_measured"]["integrated_lufs"].get<double>(), -23, 0.05);
        EXPECT_EQ(r[0]["loudness_measured"], r.back()["loudness_measured"]);
    };
    return {
        {"plain 6 channels, track 4 alone, as extensible with mask 0",
         {Wave(Chunk("fmt ", FmtBody(1, 6, 48000, 16)) + Chunk("data", ToneOn(6, 3))),
          Wave(Chunk("fmt ", ExtensibleBody(6, 48000, 16, 0)) + Chunk("data", ToneOn(6, 3)))},
         {"not-extensible"},
         lufs,
         {"--loudness"}},
        {"6.1, back centre alone weighs 1",
         {Wave(Chunk("fmt ", ExtensibleBody(7, 48000, 16, 0x70F)) + Chunk("data", ToneOn(7, 4)))},
         {},
         lufs,
         {"--loudness"}},
        {"IMA ADPCM as written", {ima}, {}, frames(10605)},
        {"IMA ADPCM, fact says half",
         {Edited(ima, "fact", 8, LE32(5302))},
         {"fact-count-mismatch"},
         frames(5302)},
        {"IMA ADPCM without fact", {noFact}, {}, frames(10605)},
        {"IMA ADPCM without fact, cut in a block",
         {noFact.substr(0, noFact.size() - 100)},
         {"chunk-truncated", "riff-size-mismatch"},
         frames(20 * 505 + 1 + 38 * 8)},
        {"MS ADPCM, last block padded",
         {ReadWholeFile(FixturePath("adpcm/lsf_ms_adpcm_stereo_8k.wav"))},
         {},
         frames(10400)},
        {"extensible fmt cut inside sub_format",
         {Wave(RawChunk("fmt ", 40, ExtensibleBody(6, 48000, 24, 0x3F).substr(0, 30)))},
         {"chunk-truncated", "data-missing"},
         [](const std::vector<Json>& r) {
             const Json& f = r[0]["format"];
             EXPECT_EQ(f["valid_bits"], 24);
             EXPECT_EQ(f["channel_mask"], 0x3F);
             EXPECT_EQ(f["speakers"], Json::parse(R"(["FL","FR","FC","LFE","BL","BR"])"));
             EXPECT_TRUE(f["sub_format"].is_null());
         }},
        {"header never updated after the first write",
         {stale},
         {"data-size-stale", "riff-size-mismatch"},
         [](const std::vector<Json>& r) {
             EXPECT_EQ(r[0]["findings"][0]["offset"], 36);
             EXPECT_EQ(r[0]["findings"][0]["message"],
                       "The data size and the RIFF size end 4000 bytes (0.02 seconds) before the "
                       "end of the file: a header written when the recording began and never "
                       "updated; those bytes may be audio.");
         }},
        {"zeros after the data",
         {Wave(Fmt16 + Data400) + std::string(4000, '\0')},
         {"trailing-bytes", "riff-size-mismatch"},
         nullptr},
        {"less than a frame after the data",
         {stale.substr(0, 447)},
         {"trailing-bytes", "riff-size-mismatch"},
         nullptr},
    };
}

TEST(Readings, EachOnAFileThatCallsForIt)
{
    TempDir dir;
    for (const Reading& c : Readings()) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"--json"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        for (size_t n = 0; n < c.files.size(); n++)
            args.push_back(dir.Write(std::to_string(n) + ".wav", c.files[n]));
        const std::vector<Json> records = ParseRecords(RunSondrel(args).out);
        ASSERT_EQ(records.size(), c.files.size());
        ExpectRecordShape(records[0]);
        std::vector<std::string> codes;
        for (const Json& f : records[0]["findings"])
            codes.push_back(f["code"]);
        EXPECT_EQ(codes, c.codes);
        if (c.check)
            c.check(records);
    }
}

// The first bytes of files that ffmpeg, sox and flac write.
TEST(Readings, NotWaveSaysWhatTheFileIs)
{
    const std::pair<std::string, std::string> heads[] = {
        {"fLaC\0\0\0\x22\x10\0\x10\0"s, "a FLAC file"},
        {"FORM\0\0\x51\x90"
         "AIFFCOMT"s,
         "an AIFF file"},
        {"FORM\0\0\x28\xEE"
         "AIFCFVER"s,
         "an AIFF-C file"},
        {"riff\x2E\x91\xCF\x11\xA5\xD6\x28\xDB\x04\xC1\0\0\xA8\x51"s, "a Wave64 file"},
        {"RIFX\0\0\0\x24WAVEfmt "s, "a big-endian RIFX WAVE file"},
        {"OggS\0\x02\0\0\0\0"s, "an Ogg file"},
        {"ID3\x04\0\0\0\0\0\x23TSSE"s, "an MP3 file (it starts with an ID3 tag)"},
        {"\xFF\xE3\x18\xC4\0\x0B\xD0\x03"s, "an MP3 file (it starts with an MPEG audio frame)"},
        {"caff\0\x01\0\0desc"s, "a CAF file"},
        {"RIFF\x04\0\0\0AVI "s, "a RIFF file of form type \"AVI \""},
    };
    TempDir dir;
    for (const auto& [head, what] : heads) {
        SCOPED_TRACE(what);
        const RunResult run = RunSondrel({"--json", dir.Write("x.wav", head + "\x01\x02")});
        const std::vector<Json> r = ParseRecords(run.out);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0]["error"], "Not a WAVE file");
        EXPECT_EQ(r[0]["findings"][0]["message"],
                  "The file is not a RIFF, RF64 or BW64 WAVE file: it is " + what + ".");
    }
    const RunResult plain = RunSondrel({"--json", dir.Write("y.wav", "\xFF\xF1 ADTS, not MP3")});
    EXPECT_NE(plain.out.find("\"The file is not a RIFF, RF64 or BW64 WAVE file.\""),
              std::string::npos);
}

} // namespace
