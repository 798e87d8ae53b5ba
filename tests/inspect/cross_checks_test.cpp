// The checks across chunks: for each, files that must get it and near misses
// that must not, built here or written by ffmpeg, sox and libsndfile when
// they are installed; and the real files, each held to what its bytes call for.
#include "facts.h"
#include "inspect/findings.h"
#include "run_tool.h"
#include "wav_builder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>

using namespace sondrel;

using namespace wavgen;
using Json = nlohmann::ordered_json;

namespace
{

const std::string Fmt16 = Chunk("fmt ", FmtBody(1, 2, 48000, 16));
const std::string Audio400(400, '\x11'); // 100 frames of 16-bit stereo
const std::string Ds64 = Chunk("ds64", Ds64Body(0, 400, 100));
const std::string Unsized = RawChunk("data", 0xFFFFFFFF, Audio400);
const std::string Unset = LE64(0x7FFF7FFF7FFF7FFF) + LE16(0x7FFF); // five loudness values
const char* const No = nullptr;

std::string Stereo(const std::string& before, const std::string& after = "")
{
    return Wave(Fmt16 + before + Chunk("data", Audio400) + after);
}

// A bext chunk; `at412` overwrites its loudness and reserved bytes.
std::string Bext(uint16_t version, const std::string& at412 = "", const std::string& history = "",
                 uint64_t timeReference = 0)
{
    const BextFields b{"", "", "", "", "", timeReference, version, "", history};
    return Chunk("bext", BextBody(b).replace(412, at412.size(), at412));
}

// BEXT's HIGH and LOW, SPEED's HI, LO, rate and bit depth, the track count;
// a null value leaves its element out.
std::string Ixml(const std::array<const char*, 7>& v)
{
    static const char* const Names[] = {"BWF_TIME_REFERENCE_HIGH",
                                        "BWF_TIME_REFERENCE_LOW",
                                        "TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_HI",
                                        "TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_LO",
                                        "FILE_SAMPLE_RATE",
                                        "AUDIO_BIT_DEPTH",
                                        "TRACK_COUNT"};
    std::string e[7];
    for (size_t i = 0; i < 7; i++)
        if (v[i])
            e[i] = std::string("<") + Names[i] + ">" + v[i] + "</" + Names[i] + ">";
    return Chunk("iXML", "<BWFXML><BEXT>" + e[0] + e[1] + "</BEXT><SPEED>" + e[2] + e[3] + e[4] +
                             e[5] + "</SPEED><TRACK_LIST>" + e[6] + "</TRACK_LIST></BWFXML>");
}

std::string Cues(const std::vector<std::pair<uint32_t, uint32_t>>& idAndFrame)
{
    std::string body = LE32(static_cast<uint32_t>(idAndFrame.size()));
    for (const auto& [id, frame] : idAndFrame)
        body += LE32(id) + LE32(0) + "data" + LE32(0) + LE32(0) + LE32(frame);
    return Chunk("cue ", body);
}

// A LIST/adtl of texts ("labl", "note", "ltxt") and their cue ids.
std::string Texts(const std::vector<std::pair<std::string, uint32_t>>& texts)
{
    std::string body = "adtl";
    for (const auto& [id, cue] : texts)
        body += Chunk(id, LE32(cue) + (id == "ltxt" ? std::string(16, '\0') : "") + "text");
    return Chunk("LIST", body);
}

#define FFMPEG "ffmpeg -nostdin -v error -f lavfi -i sine=r=48000:d=0.1 -ac 2 "
#define SOX "sox -n -r 48000 -c "

struct CrossCase {
    const char* name;
    std::string file;         // in.wav: inspected, or the input of `tool`
    std::string codes;        // of these checks, in record order
    const char* tool = "";    // a peer tool's command that writes out.wav, then inspected
    const char* message = ""; // part of a finding's message
};

std::vector<CrossCase> Cases()
{
    const std::string ext20in24 = ExtensibleBody(2, 48000, 24, 3).replace(18, 2, LE16(20));
    return {
        {"ds64_after_junk",
         Wave(Chunk("JUNK", std::string(28, '\0')) + Ds64 + Fmt16 + Unsized, "BW64"),
         "ds64-not-first", "", "at offset 48, not first"},
        {"ds64_in_plain_riff", Stereo(Ds64), ""},
        {"rf64_without_ds64", Wave(Fmt16 + Unsized, "RF64"), ""},
        {"fact_deferring_to_ds64",
         Wave(Ds64 + Fmt16 + Chunk("fact", LE32(0xFFFFFFFF)) + Unsized, "RF64"), ""},
        {"fact_count_not_frames", Stereo(Chunk("fact", LE32(99))), "fact-count-mismatch", "",
         "counts 99 samples; the audio holds 100 frames."},
        {"plain_pcm_of_4_channels",
         Wave(Chunk("fmt ", FmtBody(1, 4, 48000, 16)) + Bext(1, "", "A=PCM,M=Stereo") +
              Chunk("data", std::string(800, 'x'))),
         "not-extensible coding-history-mismatch", "", "PCM with 4 channels of 16 bits"},
        {"cues_on_and_past_the_end", Stereo("", Cues({{1, 50}, {2, 100}, {3, 150}})),
         "cue-beyond-audio cue-beyond-audio", "",
         "Cue point 2 is at frame 100; the audio has 100 frames."},
        {"texts_of_no_cue_point",
         Stereo("", Cues({{1, 10}}) + Texts({{"labl", 1}, {"note", 7}, {"ltxt", 8}})),
         "cue-label-orphan cue-label-orphan", "", "text of cue id 7 belongs to no cue point."},
        {"texts_without_a_cue_chunk", Stereo("", Texts({{"labl", 1}})), "cue-label-orphan"},
        {"bext_v1_reserved_byte_set", Stereo(Bext(1, "A")), "bext-reserved-not-zero", "",
         "1 of 190 are set, the first (0x41) at byte 412"},
        {"bext_v2_reserved_byte_set", Stereo(Bext(2, Unset + "\x01")), "bext-reserved-not-zero", "",
         "1 of 180 are set, the first (0x01) at byte 422"},
        {"bext_v2_loudness_all_zero", Stereo(Bext(2)), "bext-loudness-zero"},
        {"time_reference_pairs_differ",
         Stereo(Bext(1, "", "", (1ull << 32) + 5) + Ixml({" 1 ", "6", "0", "\n5\n"})),
         "time-reference-mismatch time-reference-mismatch", "",
         "HIGH/LOW pair is 1/6 (4294967302); the bext time reference is 4294967301."},
        {"ixml_format_differs", Stereo(Ixml({No, No, No, No, "44100", "24", "4"})),
         "ixml-format-mismatch ixml-format-mismatch ixml-format-mismatch", "",
         "FILE_SAMPLE_RATE is 44100; the fmt chunk's sample rate is 48000."},
        {"valid_bits_of_extensible",
         Wave(Chunk("fmt ", ext20in24) + Bext(1, "", "A=PCM,F=48000,W=24,M=stereo") +
              Ixml({No, No, No, No, "48000", "24", "2"}) + Chunk("data", std::string(600, 'x'))),
         "coding-history-mismatch ixml-format-mismatch", "",
         "W=24; the fmt chunk's valid bit depth is 20."},
        {"coding_history_last_line_differs",
         Stereo(Bext(1, "", "A=PCM,F=44100\r\nA=PCM,F=48000,W=24,M=mono,T=rec, W=16\r\nA=PCM,T=x")),
         "coding-history-mismatch coding-history-mismatch", "",
         "says W=24; the fmt chunk's bit depth is 16."},
        {"everything_agrees",
         Stereo(Chunk("fact", LE32(100)) +
                    Bext(2, Unset,
                         "A=PCM,F=44100\r\nA=PCM,F=48000,W=16,M=stereo\nA=PCM,T=x, M=mono", 5) +
                    Ixml({" 0 ", "\n5\n", "0", "5", "48000", "16", " 2 "}),
                Cues({{1, 99}}) + Texts({{"labl", 1}, {"note", 1}, {"ltxt", 1}})),
         ""},
        {"values_not_whole_decimals",
         Stereo(Bext(2, LE16(1), "A=PCM,F=48 kHz,W=16bit,M=5.1", 5) +
                Ixml({"+0", "5", "", "6", "48k", "0x18", "2.0"})),
         ""},
        {"rf64_by_ffmpeg", "", "", FFMPEG "-rf64 always out.wav"},
        {"coding_history_by_ffmpeg_differs", "", "coding-history-mismatch",
         FFMPEG "-write_bext 1 -metadata coding_history=A=PCM,F=44100 out.wav", "says F=44100"},
        {"coding_history_by_ffmpeg_agrees", "", "",
         FFMPEG "-write_bext 1 -metadata coding_history=A=PCM,F=48000,W=16,M=stereo out.wav"},
        {"float_cut_short_by_sox", "", "not-extensible fact-count-mismatch",
         SOX "2 -b 32 -e float a.wav synth 0.1 && head -c 20000 a.wav >out.wav"},
        {"six_channels_by_sox", "", "", SOX "6 -b 16 out.wav synth 0.1"},
        {"plain_24_bits_by_sox", "", "not-extensible", SOX "2 -b 24 -t wavpcm out.wav synth 0.1"},
        {"cue_past_the_end_kept_by_libsndfile", Stereo("", Cues({{1, 5000}})), "cue-beyond-audio",
         "sndfile-convert in.wav out.wav"},
        {"bext_of_libsndfile_measured_nothing", Stereo(""), "bext-loudness-zero",
         "sndfile-metadata-set --bext-description x in.wav out.wav"},
        {"bext_of_libsndfile_with_loudness", Stereo(""), "",
         "sndfile-metadata-set --bext-loudness-value -23 in.wav out.wav"},
    };
}

// The codes of these checks in the one record of `out`, in its order.
std::string CrossCodes(const std::string& out)
{
    const Json record = Json::parse(out);
    std::string codes;
    for (const Json& f : record["findings"])
        for (int c = static_cast<int>(Code::Ds64NotFirst);
             c <= static_cast<int>(Code::CodingHistoryMismatch); c++)
            if (f["code"] == KindOf(static_cast<Code>(c)).text)
                codes.append(codes.empty() ? "" : " ").append(f["code"].get<std::string>());
    return codes;
}

// Writes out.wav with the case's tool; false, with a note, when it is absent.
bool WriteWithTool(const CrossCase& c, const TempDir& dir)
{
    const std::string tool = std::string(c.tool).substr(0, std::string(c.tool).find(' '));
    if (std::system(("command -v " + tool + " >/dev/null").c_str()) != 0) {
        if (std::getenv("CI"))
            ADD_FAILURE() << tool << " is missing (tools/bootstrap.sh ffmpeg sox sndfile-programs)";
        std::cout << "skipped " << c.name << ": " << tool << " is not installed\n";
        return false;
    }
    const std::string run = "cd '" + dir.path() + "' && (" + c.tool + ") >/dev/null 2>&1";
    EXPECT_EQ(std::system(run.c_str()), 0) << c.tool;
    return true;
}

TEST(CrossChecks, EachOnFilesThatMustAndMustNotGetIt)
{
    for (const CrossCase& c : Cases()) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string path = dir.Write("in.wav", c.file);
        if (*c.tool && !WriteWithTool(c, dir))
            continue;
        const RunResult run = RunSondrel({"--json", *c.tool ? dir.path() + "/out.wav" : path});
        EXPECT_EQ(CrossCodes(run.out), c.codes);
        EXPECT_NE(run.out.find(c.message), std::string::npos) << c.message;
    }
}

// Read from their bytes: the ds64, fact, cue texts, bext and iXML of these
// files agree; some hold more than 16 bits or 2 channels in a plain format.
TEST(CrossChecks, RealFilesGetWhatTheirBytesCallFor)
{
    const std::set<std::string> notExtensible = {
        "bw64lib_bw64_s24_mono_trunc.wav", "bw64lib_s24_mono_ixml_axml.wav",
        "lsf_f32_peak_stereo.wav", "lsf_ixml_bext_s24.wav", "pywave_s24_mono_odd.wav"};
    const Fixtures fixtures = LoadFixtures();
    ASSERT_FALSE(fixtures.present.empty());
    for (const auto& fact : fixtures.present) {
        const std::string name = fact["file"];
        SCOPED_TRACE(name);
        const RunResult run = RunSondrel({"--json", FixturePath(name)});
        EXPECT_EQ(CrossCodes(run.out), notExtensible.count(name) ? "not-extensible" : "");
    }
}

} // namespace
