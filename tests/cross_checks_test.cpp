// The checks across chunks: for each, files that must get it and near misses
// that must not, built here or written by ffmpeg, sox and libsndfile when
// they are installed; and the real files, each held to what its bytes call for.
#include "facts.h"
#include "inspect/findings.h"
#include "record_shape.h"
#include "run_tool.h"
#include "wav_builder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>

using namespace wavgen;
using Json = nlohmann::ordered_json;

namespace
{

const std::string Fmt16 = Chunk("fmt ", FmtBody(1, 2, 48000, 16));
const std::string Audio400 = std::string(400, '\x11'); // 100 frames
const std::string Data400 = Chunk("data", Audio400);

// The codes of these checks in a record, in its order.
std::vector<std::string> CrossCodes(const Json& record)
{
    std::vector<std::string> codes;
    for (const Json& f : record["findings"])
        for (auto c = static_cast<int>(Code::Ds64NotFirst);
             c <= static_cast<int>(Code::CodingHistoryMismatch); c++)
            if (f["code"] == KindOf(static_cast<Code>(c)).text)
                codes.push_back(f["code"]);
    return codes;
}

// A bext chunk; `from412` overwrites the loudness and reserved bytes.
std::string Bext(uint16_t version, const std::string& from412 = "", const std::string& history = "",
                 uint64_t timeReference = 0)
{
    BextFields b;
    b.version = version;
    b.codingHistory = history;
    b.timeReference = timeReference;
    return Chunk("bext", BextBody(b).replace(412, from412.size(), from412));
}

const std::string Unset = LE16(0x7FFF) + LE16(0x7FFF) + LE16(0x7FFF) + LE16(0x7FFF) + LE16(0x7FFF);

std::string Ixml(const std::string& inside)
{
    return Chunk("iXML", "<BWFXML>" + inside + "</BWFXML>");
}

// iXML's two pairs of time reference elements: BEXT's and SPEED's.
std::string Pairs(const std::string& high, const std::string& low, const std::string& hi,
                  const std::string& lo)
{
    return "<BEXT><BWF_TIME_REFERENCE_HIGH>" + high + "</BWF_TIME_REFERENCE_HIGH>" +
           "<BWF_TIME_REFERENCE_LOW>" + low + "</BWF_TIME_REFERENCE_LOW></BEXT><SPEED>" +
           "<TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_HI>" + hi +
           "</TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_HI><TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_LO>" + lo +
           "</TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_LO></SPEED>";
}

// iXML's sample rate, bit depth and track count.
std::string Format(const std::string& rate, const std::string& bits, const std::string& tracks)
{
    return "<SPEED><FILE_SAMPLE_RATE>" + rate + "</FILE_SAMPLE_RATE><AUDIO_BIT_DEPTH>" + bits +
           "</AUDIO_BIT_DEPTH></SPEED><TRACK_LIST><TRACK_COUNT>" + tracks +
           "</TRACK_COUNT></TRACK_LIST>";
}

std::string Cues(const std::vector<std::pair<uint32_t, uint32_t>>& idAndFrame)
{
    std::string body = LE32(static_cast<uint32_t>(idAndFrame.size()));
    for (const auto& [id, frame] : idAndFrame)
        body += LE32(id) + LE32(0) + "data" + LE32(0) + LE32(0) + LE32(frame);
    return Chunk("cue ", body);
}

// A LIST/adtl of texts ("labl", "note", "ltxt") for cue ids.
std::string Texts(const std::vector<std::pair<std::string, uint32_t>>& texts)
{
    std::string body = "adtl";
    for (const auto& [id, cue] : texts)
        body += Chunk(id, LE32(cue) + (id == "ltxt" ? std::string(16, '\0') : "") + "text");
    return Chunk("LIST", body);
}

std::string Extensible20In24()
{
    return Chunk("fmt ", ExtensibleBody(2, 48000, 24, 3).replace(18, 2, LE16(20)));
}

const char* const Tone = "ffmpeg -nostdin -v error -f lavfi -i sine=r=48000:d=0.1 -ac ";
const char* const Synth = "sox -n -r 48000 -c ";

struct CrossCase {
    std::string name;
    std::string file;               // in.wav; inspected unless `command` writes out.wav
    std::vector<std::string> codes; // of these checks, in record order
    std::string message = "";       // part of the first one's message
    std::string command = "";       // a peer tool that writes out.wav
};

std::vector<CrossCase> Cases()
{
    const std::string plain = Wave(Fmt16 + Data400);
    return {
        {"ds64_after_junk",
         Wave(Chunk("JUNK", std::string(28, '\0')) + Chunk("ds64", Ds64Body(0, 400, 100)) + Fmt16 +
                  RawChunk("data", 0xFFFFFFFF, Audio400),
              "BW64"),
         {"ds64-not-first"},
         "at offset 48, not first: the \"JUNK\" chunk at offset 12"},
        {"rf64_without_ds64", Wave(Fmt16 + RawChunk("data", 0xFFFFFFFF, Audio400), "RF64"), {}},
        {"fact_deferring_to_ds64",
         Wave(Chunk("ds64", Ds64Body(0, 400, 100)) + Fmt16 + Chunk("fact", LE32(0xFFFFFFFF)) +
                  RawChunk("data", 0xFFFFFFFF, Audio400),
              "RF64"),
         {}},
        {"fact_count_not_frames",
         Wave(Fmt16 + Chunk("fact", LE32(99)) + Data400),
         {"fact-count-mismatch"},
         "counts 99 samples; the audio holds 100 frames."},
        {"plain_pcm_of_4_channels",
         Wave(Chunk("fmt ", FmtBody(1, 4, 48000, 16)) + Data400),
         {"not-extensible"},
         "PCM with 4 channels of 16 bits"},
        {"cues_on_and_past_the_end",
         Wave(Fmt16 + Data400 + Cues({{1, 50}, {2, 100}, {3, 150}})),
         {"cue-beyond-audio", "cue-beyond-audio"},
         "Cue point 2 is at frame 100; the audio has 100 frames."},
        {"texts_of_no_cue_point",
         Wave(Fmt16 + Data400 + Cues({{1, 10}}) + Texts({{"labl", 1}, {"note", 7}, {"ltxt", 8}})),
         {"cue-label-orphan", "cue-label-orphan"},
         "The \"note\" text of cue id 7 belongs to no cue point."},
        {"texts_without_a_cue_chunk",
         Wave(Fmt16 + Data400 + Texts({{"labl", 1}})),
         {"cue-label-orphan"}},
        {"bext_v1_reserved_byte_set",
         Wave(Fmt16 + Bext(1, "A") + Data400),
         {"bext-reserved-not-zero"},
         "1 of 190 are set, the first (0x41) at byte 412"},
        {"bext_v2_reserved_byte_set",
         Wave(Fmt16 + Bext(2, Unset + "\x01") + Data400),
         {"bext-reserved-not-zero"},
         "1 of 180 are set, the first (0x01) at byte 422"},
        {"bext_v2_loudness_all_zero", Wave(Fmt16 + Bext(2) + Data400), {"bext-loudness-zero"}},
        {"time_reference_pairs_differ",
         Wave(Fmt16 + Bext(1, "", "", (1ull << 32) + 5) + Ixml(Pairs("1", "6", "0", "5")) +
              Data400),
         {"time-reference-mismatch", "time-reference-mismatch"},
         "BEXT/BWF_TIME_REFERENCE_HIGH/LOW pair is 1/6 (4294967302); the bext time reference is "
         "4294967301."},
        {"ixml_format_differs",
         Wave(Fmt16 + Ixml(Format("44100", "24", "4")) + Data400),
         {"ixml-format-mismatch", "ixml-format-mismatch", "ixml-format-mismatch"},
         "The iXML SPEED/FILE_SAMPLE_RATE is 44100; the fmt chunk's sample rate is 48000."},
        {"valid_bits_of_extensible",
         Wave(Extensible20In24() + Bext(1, "", "A=PCM,F=48000,W=24,M=stereo\r\n") +
              Ixml(Format("48000", "24", "2")) + Chunk("data", std::string(600, 'x'))),
         {"coding-history-mismatch", "ixml-format-mismatch"},
         "says W=24; the fmt chunk's valid bit depth is 20."},
        {"coding_history_last_line_differs",
         Wave(Fmt16 + Bext(1, "", "A=PCM,F=44100\r\nA=PCM,F=48000,W=24,M=mono,T=rec, W=16\r\n") +
              Data400),
         {"coding-history-mismatch", "coding-history-mismatch"},
         "The last coding-history line says W=24; the fmt chunk's bit depth is 16."},
        {"everything_agrees_plain_stereo_16_bits",
         Wave(Fmt16 + Chunk("fact", LE32(100)) +
              Bext(2, Unset,
                   "A=PCM,F=44100\r\nA=PCM,F=48000,W=16,M=stereo\r\nA=PCM,T=desk, M=mono\r\n", 5) +
              Ixml(Pairs(" 0 ", "\n5\n", "0", "5") + Format("48000", "16", " 2 ")) + Data400 +
              Cues({{1, 99}}) + Texts({{"labl", 1}, {"note", 1}, {"ltxt", 1}})),
         {}},
        {"values_not_whole_decimals",
         Wave(Fmt16 +
              Bext(2, LE16(static_cast<uint16_t>(-2300)), "A=PCM,F=48 kHz,W=16bit,M=5.1\r\n", 5) +
              Ixml(Pairs("+0", "5", "", "6") + Format("48k", "0x18", "2.0")) + Data400),
         {}},
        {"rf64_by_ffmpeg", "", {}, "", std::string(Tone) + "2 -rf64 always out.wav"},
        {"six_channels_of_24_bits_by_ffmpeg",
         "",
         {},
         "",
         std::string(Tone) + "6 -c:a pcm_s24le out.wav"},
        {"coding_history_by_ffmpeg_differs",
         "",
         {"coding-history-mismatch"},
         "says F=44100",
         std::string(Tone) + "2 -write_bext 1 -metadata coding_history=A=PCM,F=44100 out.wav"},
        {"coding_history_by_ffmpeg_agrees",
         "",
         {},
         "",
         std::string(Tone) +
             "2 -write_bext 1 -metadata coding_history=A=PCM,F=48000,W=16,M=stereo out.wav"},
        {"float_cut_short_by_sox",
         "",
         {"not-extensible", "fact-count-mismatch"},
         "IEEE float with 2 channels of 32 bits",
         std::string(Synth) +
             "2 -b 32 -e float full.wav synth 0.1 && head -c 20000 full.wav >out.wav"},
        {"six_channels_by_sox", "", {}, "", std::string(Synth) + "6 -b 16 out.wav synth 0.1"},
        {"plain_24_bits_by_sox",
         "",
         {"not-extensible"},
         "",
         std::string(Synth) + "2 -b 24 -t wavpcm out.wav synth 0.1"},
        {"cue_past_the_end_kept_by_libsndfile",
         Wave(Fmt16 + Data400 + Cues({{1, 5000}})),
         {"cue-beyond-audio"},
         "",
         "sndfile-convert in.wav out.wav"},
        {"bext_of_libsndfile_measured_nothing",
         plain,
         {"bext-loudness-zero"},
         "",
         "sndfile-metadata-set --bext-description x in.wav out.wav"},
        {"bext_of_libsndfile_with_loudness",
         plain,
         {},
         "",
         "sndfile-metadata-set --bext-loudness-value -23 in.wav out.wav"},
    };
}

// Writes the case's file with its tool; false (with a note) when the tool is absent.
bool WriteWithTool(const CrossCase& c, const TempDir& dir)
{
    const std::string tool = c.command.substr(0, c.command.find(' '));
    if (std::system(("command -v " + tool + " >/dev/null").c_str()) != 0) {
        if (std::getenv("CI"))
            ADD_FAILURE() << tool << " is missing (tools/bootstrap.sh ffmpeg sox sndfile-programs)";
        std::cout << "skipped " << c.name << ": " << tool << " is not installed\n";
        return false;
    }
    const std::string run = "cd '" + dir.path() + "' && (" + c.command + ") >/dev/null 2>&1";
    EXPECT_EQ(std::system(run.c_str()), 0) << c.command;
    return true;
}

TEST(CrossChecks, EachOnFilesThatMustAndMustNotGetIt)
{
    for (const CrossCase& c : Cases()) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string path = dir.Write("in.wav", c.file);
        if (!c.command.empty()) {
            if (!WriteWithTool(c, dir))
                continue;
            path = dir.path() + "/out.wav";
        }
        const RunResult run = RunSondrel({"--json", path});
        const std::vector<Json> records = ParseRecords(run.out);
        ASSERT_EQ(records.size(), 1u);
        ExpectContractShape(records[0]);
        EXPECT_EQ(CrossCodes(records[0]), c.codes);
        for (const Json& f : records[0]["findings"])
            if (!c.message.empty() && f["code"] == c.codes.at(0)) {
                EXPECT_NE(f["message"].get<std::string>().find(c.message), std::string::npos)
                    << f["message"];
                break;
            }
    }
}

// Read from their bytes: 24-bit or float samples in a plain format are all
// these files have; their ds64, fact, cue texts, bext and iXML agree.
TEST(CrossChecks, RealFilesGetWhatTheirBytesCallFor)
{
    const std::map<std::string, std::vector<std::string>> expected = {
        {"bw64lib_bw64_s24_mono_trunc.wav", {"not-extensible"}},
        {"bw64lib_s24_mono_ixml_axml.wav", {"not-extensible"}},
        {"deb_alsa-utils_Front_Center.wav", {}},
        {"deb_sound-icons_percussion-10.wav", {}},
        {"ff_bext_full_s24.wav", {}},
        {"ff_f32_stereo_ext.wav", {}},
        {"ff_mp2_stereo.wav", {}},
        {"ff_pipe_s16_stereo.wav", {}},
        {"ff_rf64_s16_stereo.wav", {}},
        {"ff_rf64auto_junk_s16.wav", {}},
        {"ff_s16_stereo.wav", {}},
        {"ff_s24_6ch.wav", {}},
        {"ff_s24_mono_odd.wav", {}},
        {"ff_u8_mono_odd.wav", {}},
        {"lsf_bext_metaset_s16.wav", {}},
        {"lsf_f32_peak_stereo.wav", {"not-extensible"}},
        {"lsf_gsm610_mono_8k.wav", {}},
        {"lsf_ixml_bext_s24.wav", {"not-extensible"}},
        {"lsf_rf64_s24_mono_odd.wav", {}},
        {"perl_s16_stereo_cue_smpl.wav", {}},
        {"pywave_s24_mono_odd.wav", {"not-extensible"}},
    };
    const Fixtures fixtures = LoadFixtures();
    EXPECT_EQ(fixtures.listed["files"].size(), expected.size()) << "a file without an entry here";
    for (const auto& fact : fixtures.present) {
        const std::string name = fact["file"];
        SCOPED_TRACE(name);
        ASSERT_TRUE(expected.count(name));
        const std::vector<Json> records =
            ParseRecords(RunSondrel({"--json", FixturePath(name)}).out);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(CrossCodes(records[0]), expected.at(name));
    }
}

} // namespace
