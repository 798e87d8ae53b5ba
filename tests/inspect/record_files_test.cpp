// The inspector on damaged files and files that are not files: text
// decoding, iXML, cues and every cut of a rich file (the real files' facts:
// tests/fixtures; --md5 / --loudness and progress: record_measured_test.cpp).
#include "record_shape.h"
#include "run_tool.h"
#include "wav_builder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

using namespace wavgen;
using Json = nlohmann::ordered_json;

namespace
{

const std::string Fmt16 = Chunk("fmt ", FmtBody(1, 2, 48000, 16));
const std::string Data400 = Chunk("data", std::string(400, '\x11'));

struct TextCase {
    std::string name;
    std::string stored;   // bytes in the file
    std::string expected; // the JSON string's value (UTF-8)
};

TEST(InspectText, Utf8KeptLatin1ReadByteByByteControlsEscaped)
{
    const std::vector<TextCase> cases = {
        {"ascii", "Take 3", "Take 3"},
        {"utf8_kept", "\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
        {"latin1_fallback", "\xE9t\xE9", "\xC3\xA9t\xC3\xA9"},
        {"lone_continuation_byte", "a\x80z", "a\xC2\x80z"},
        {"overlong_slash_is_not_utf8", "\xC0\xAF", "\xC3\x80\xC2\xAF"},
        {"control_bytes", "a\x01\x1F\tb", "a\x01\x1F\tb"},
        {"cut_at_zero_byte", std::string("keep\0drop", 9), "keep"},
    };
    TempDir dir;
    for (const TextCase& c : cases) {
        SCOPED_TRACE(c.name);
        BextFields b;
        b.description = c.stored;
        b.originator = c.stored;
        b.codingHistory = c.stored + "\r\n";
        const std::string info = Chunk("LIST", "INFO" + Chunk("ICMT", c.stored));
        const Json r = InspectOne(
            dir.Write(c.name + ".wav", Wave(Fmt16 + Chunk("bext", BextBody(b)) + info + Data400)));
        ASSERT_FALSE(r.is_null());
        EXPECT_EQ(r["bext"]["description"], c.expected);
        EXPECT_EQ(r["bext"]["originator"], c.expected);
        EXPECT_EQ(r["info"]["ICMT"], c.expected);
        EXPECT_EQ(r["bext"]["coding_history"], Json::array({c.expected}));
    }
}

// Texts longer than a piece of the writer: a byte that is not UTF-8 far
// into one turns the whole text to Latin-1, as in a short one.
TEST(InspectText, LongTextsDecodedWhole)
{
    std::string utf8;
    while (utf8.size() < 200000)
        utf8 += "caf\xC3\xA9 ";
    const std::string ascii(200000, 'a');
    const std::vector<TextCase> cases = {
        {"long_utf8", utf8, utf8},
        {"long_latin1", ascii + "\xE9", ascii + "\xC3\xA9"},
    };
    TempDir dir;
    for (const TextCase& c : cases) {
        SCOPED_TRACE(c.name);
        BextFields b;
        b.codingHistory = c.stored + "\r\n";
        const std::string info = Chunk("LIST", "INFO" + Chunk("ICMT", c.stored));
        const Json r = InspectOne(
            dir.Write(c.name + ".wav", Wave(Fmt16 + Chunk("bext", BextBody(b)) + info + Data400)));
        ASSERT_FALSE(r.is_null());
        EXPECT_TRUE(r["info"]["ICMT"] == c.expected);
        EXPECT_TRUE(r["bext"]["coding_history"] == Json::array({c.expected}));
    }
}

// Both café names print alike; path_bytes is "./caf\xE9.wav" in base64.
TEST(InspectText, PathNotUtf8ReadAsLatin1AndGivenAsBytes)
{
    TempDir dir;
    dir.Write("caf\xE9.wav", Wave(Fmt16 + Data400));
    dir.Write("caf\xC3\xA9.wav", Wave(Fmt16 + Data400));
    Surroundings around;
    around.folder = dir.path();
    const RunResult run = RunSondrel({"--json", "--recursive", "."}, Stdout::Capture, {}, around);
    const std::vector<Json> r = ParseRecords(run.out);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0]["path"], "./caf\xC3\xA9.wav");
    EXPECT_EQ(r[1]["path"], r[0]["path"]);
    EXPECT_TRUE(r[0]["path_bytes"].is_null()) << "valid UTF-8 sorts first as bytes";
    EXPECT_EQ(r[1]["path_bytes"], "Li9jYWbpLndhdg==");
}

TEST(InspectBext, UmidLoudnessAndHistory)
{
    BextFields b;
    b.version = 2;
    b.timeReference = (uint64_t{1} << 40) + 5;
    b.umid = std::string(32, '\x0A'); // a basic UMID: bytes 32..63 zero
    b.codingHistory = "A=PCM,F=48000\r\n\r\nA=PCM,F=44100\n";
    std::string body = BextBody(b);
    const int16_t stored[5] = {-2300, 0x7FFF, -100, -1850, 0};
    for (int i = 0; i < 5; i++)
        body.replace(412 + 2 * i, 2, LE16(static_cast<uint16_t>(stored[i])));
    TempDir dir;
    const Json r = InspectOne(dir.Write("v2.wav", Wave(Fmt16 + Chunk("bext", body) + Data400)));
    ASSERT_FALSE(r.is_null());
    EXPECT_EQ(r["bext"]["time_reference"], (uint64_t{1} << 40) + 5);
    std::string basicUmid;
    for (int i = 0; i < 32; i++)
        basicUmid += "0A";
    EXPECT_EQ(r["bext"]["umid"], basicUmid) << "hex of the first 32 bytes only";
    const Json& l = r["bext"]["loudness"];
    EXPECT_DOUBLE_EQ(l["integrated_lufs"].get<double>(), -23.0);
    EXPECT_TRUE(l["range_lu"].is_null()) << "0x7FFF means unset";
    EXPECT_DOUBLE_EQ(l["max_true_peak_dbtp"].get<double>(), -1.0);
    EXPECT_DOUBLE_EQ(l["max_momentary_lufs"].get<double>(), -18.5);
    EXPECT_EQ(r["bext"]["coding_history"], Json::array({"A=PCM,F=48000", "A=PCM,F=44100"}));

    b.version = 1;
    b.umid = "";
    const Json v1 =
        InspectOne(dir.Write("v1.wav", Wave(Fmt16 + Chunk("bext", BextBody(b)) + Data400)));
    ASSERT_FALSE(v1.is_null());
    EXPECT_TRUE(v1["bext"]["loudness"].is_null());
    EXPECT_TRUE(v1["bext"]["umid"].is_null()) << "an all-zero UMID";
}

TEST(InspectIxml, FieldsTracksAndWhatIsNeverExpanded)
{
    const std::string doc =
        "<?xml version=\"1.0\"?>\n"
        "<!DOCTYPE BWFXML [<!ENTITY leak SYSTEM \"file:///etc/passwd\">]>\n"
        "<BWFXML><PROJECT>&leak;</PROJECT><SCENE>12A</SCENE><TAKE></TAKE><TAPE>T1</TAPE>"
        "<NOTE>a &amp; b</NOTE><CIRCLED>true</CIRCLED><TRACK_LIST>"
        "<TRACK><CHANNEL_INDEX>1</CHANNEL_INDEX><INTERLEAVE_INDEX> 1 </INTERLEAVE_INDEX>"
        "<NAME>Boom</NAME></TRACK>"
        "<TRACK><CHANNEL_INDEX>two</CHANNEL_INDEX><INTERLEAVE_INDEX>2</INTERLEAVE_INDEX></TRACK>"
        "</TRACK_LIST></BWFXML>";
    TempDir dir;
    const Json r = InspectOne(
        dir.Write("ixml.wav", Wave(Fmt16 + Chunk("iXML", doc + std::string(3, '\0')) + Data400)));
    ASSERT_FALSE(r.is_null());
    const Json& x = r["ixml"];
    EXPECT_EQ(x["well_formed"], true);
    EXPECT_EQ(x["project"], "&leak;") << "an external entity is neither fetched nor expanded";
    EXPECT_EQ(x["scene"], "12A");
    EXPECT_EQ(x["take"], "");
    EXPECT_EQ(x["note"], "a & b");
    EXPECT_EQ(x["circled"], true);
    EXPECT_EQ(x["tracks"], Json::parse(R"([{"index":1,"channel_index":1,"name":"Boom"},
                                          {"index":2,"channel_index":null,"name":null}])"));
}

// A track list whose record is written out in pieces, with a reference in
// it (the body is parsed twice then).
TEST(InspectIxml, LongTrackListKeepsEveryTrackInOrder)
{
    constexpr int Tracks = 20000;
    std::string doc = "<BWFXML><TRACK_LIST>";
    for (int n = 1; n <= Tracks; n++) {
        const std::string number = std::to_string(n);
        doc.append("<TRACK><INTERLEAVE_INDEX>").append(number).append("</INTERLEAVE_INDEX><NAME>");
        doc.append(n == Tracks / 2 ? "L&amp;R" : "T" + number).append("</NAME></TRACK>");
    }
    doc += "</TRACK_LIST><NOTE>after</NOTE></BWFXML>";
    TempDir dir;
    const Json r = InspectOne(dir.Write("tracks.wav", Wave(Fmt16 + Chunk("iXML", doc) + Data400)));
    ASSERT_FALSE(r.is_null());
    const Json& tracks = r["ixml"]["tracks"];
    ASSERT_EQ(tracks.size(), size_t{Tracks});
    for (int n : {1, Tracks / 2 - 1, Tracks})
        EXPECT_EQ(tracks[n - 1]["name"], "T" + std::to_string(n));
    EXPECT_EQ(tracks[Tracks / 2 - 1]["name"], "L&R");
    EXPECT_EQ(tracks[Tracks - 1]["index"], Tracks);
    EXPECT_EQ(r["ixml"]["note"], "after");
    EXPECT_EQ(r["findings"], Json::array());
}

// XML that pugixml alone would let pass, and texts split by comments and CDATA.
TEST(InspectIxml, WellFormedMeansWellFormed)
{
    const std::vector<std::pair<std::string, bool>> bodies = {
        {"<BWFXML><PROJECT>a &undefined; b</PROJECT></BWFXML>", false},
        {"<BWFXML/><OTHER/>", false},
        {"<BWFXML a=\"1\" a=\"2\"/>", false},
        {"junk<BWFXML/>", false},
        {"<BWFXML><TAPE>&#xD800;</TAPE></BWFXML>", false},
        {"<BWFXML><TAPE>" + std::string(100000, '&') + "</TAPE></BWFXML>", false},
        {"", false},
        {"<BWFXML><PROJECT>x</BWFXML>", false},
        {"<BWFXML><NOTE>a &amp; b &#65;&#x42;</NOTE></BWFXML>", true},
        {"<?xml version=\"1.0\"?>\n<BWFXML>\n</BWFXML>\n", true},
    };
    TempDir dir;
    for (size_t n = 0; n < bodies.size(); n++) {
        SCOPED_TRACE(bodies[n].first.substr(0, 60));
        const Json r = InspectOne(dir.Write(
            std::to_string(n) + ".wav", Wave(Fmt16 + Chunk("iXML", bodies[n].first) + Data400)));
        ASSERT_FALSE(r.is_null());
        EXPECT_EQ(r["ixml"]["well_formed"], bodies[n].second);
        EXPECT_EQ(r["findings"].size(), bodies[n].second ? 0u : 1u);
    }
    const Json mixed = InspectOne(dir.Write(
        "mixed.wav", Wave(Fmt16 +
                          Chunk("iXML", "<BWFXML><NOTE>before<!-- c -->after</NOTE>"
                                        "<SCENE>a&amp;<b/>c</SCENE><TAPE>a<![CDATA[b]]>c</TAPE>"
                                        "<CIRCLED> FALSE </CIRCLED></BWFXML>") +
                          Data400)));
    ASSERT_FALSE(mixed.is_null());
    EXPECT_EQ(mixed["ixml"]["note"], "beforeafter");
    EXPECT_EQ(mixed["ixml"]["scene"], "a&c");
    EXPECT_EQ(mixed["ixml"]["tape"], "abc");
    EXPECT_EQ(mixed["ixml"]["circled"], false);
}

// A 100 MB iXML body (a hole in a sparse file) is listed, not parsed.
TEST(InspectIxml, HundredMegabytesIsNotParsed)
{
    TempDir dir;
    const std::string path = dir.path() + "/big_ixml.wav";
    const uint64_t size = 100'000'000;
    std::string head = Wave(Fmt16) + RawChunk("iXML", static_cast<uint32_t>(size), "");
    head.replace(4, 4, LE32(static_cast<uint32_t>(head.size() - 8 + size)));
    ASSERT_TRUE(WriteFile(path, head));
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(head.size() + size)), 0);
    const Json r = InspectOne(path);
    ASSERT_FALSE(r.is_null());
    EXPECT_EQ(r["ixml"]["bytes"], size);
    EXPECT_TRUE(r["ixml"]["well_formed"].is_null());
    ASSERT_EQ(r["findings"].size(), 2u);
    EXPECT_EQ(r["findings"][0]["code"], "ixml-too-large");
    EXPECT_EQ(r["findings"][1]["code"], "data-missing");
}

TEST(InspectCues, ThousandsWithTheirTexts)
{
    const uint32_t count = 5000;
    std::string cue = LE32(count);
    std::string adtl = "adtl";
    for (uint32_t id = 1; id <= count; id++) {
        cue += LE32(id) + LE32(id * 10) + "data" + LE32(0) + LE32(0) + LE32(id * 48);
        if (id % 2 == 0)
            adtl += Chunk("labl", LE32(id) + "L" + std::to_string(id) + '\0');
        if (id % 3 == 0)
            adtl += Chunk("ltxt", LE32(id) + std::string(16, '\0') + "T" + std::to_string(id));
    }
    adtl += Chunk("note", LE32(7) + "seven");
    adtl += Chunk("labl", LE32(count + 1) + "no such cue");
    TempDir dir;
    const Json r = InspectOne(
        dir.Write("cues.wav", Wave(Fmt16 + Data400 + Chunk("cue ", cue) + Chunk("LIST", adtl))));
    ASSERT_FALSE(r.is_null());
    ASSERT_EQ(r["cues"].size(), count);
    EXPECT_EQ(r["cues"][5], Json::parse(R"({"id":6,"position":288,"seconds":0.006,
                                           "label":"L6","note":null,"text":"T6"})"));
    EXPECT_EQ(r["cues"][6]["note"], "seven");
    EXPECT_TRUE(r["cues"][0]["label"].is_null());
    for (const Json& c : r["cues"])
        ASSERT_NE(c["label"], "no such cue");
}

// Every file named gets its line, in order, whatever it is.
TEST(InspectFiles, NotFilesGetARecordAndTheRunGoesOn)
{
    TempDir dir;
    const std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string good = dir.Write("good.wav", Wave(Fmt16 + Data400));
    const std::vector<std::pair<std::string, std::string>> expected = {
        {dir.path() + "/missing.wav", "Can't open file for reading: No such file or directory"},
        {dir.path(), "Can't read file: Is a directory"},
        {dir.Write("empty.wav", ""), "Not a WAVE file"},
        {"/dev/null", "Not a WAVE file"},
        {fifo, "Can't read file: Illegal seek"},
        {good, ""},
    };
    std::vector<std::string> args = {"--json"};
    for (const auto& e : expected)
        args.push_back(e.first);
    const RunResult run = RunSondrel(args);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "");
    const std::vector<Json> records = ParseRecords(run.out);
    ASSERT_EQ(records.size(), expected.size());
    for (size_t n = 0; n < expected.size(); n++) {
        SCOPED_TRACE(expected[n].first);
        ExpectRecordShape(records[n]);
        EXPECT_EQ(records[n]["path"], expected[n].first);
        if (expected[n].second.empty()) {
            EXPECT_EQ(records[n]["status"], "ok");
        } else {
            EXPECT_EQ(records[n]["error"], expected[n].second);
        }
    }
}

TEST(InspectFiles, SparseFiveGibibytesReadsOnlyHeaders)
{
    TempDir dir;
    const uint64_t size = uint64_t{5} << 30;
    for (const char* magic : {"RF64", "BW64"}) {
        SCOPED_TRACE(magic);
        const std::string path = dir.path() + "/" + magic + ".wav";
        ASSERT_TRUE(WriteSparseRf64(path, magic, size, size / 4, Chunk("LIST", "INFO")));
        const Json r = InspectOne(path);
        ASSERT_FALSE(r.is_null());
        EXPECT_EQ(r["audio"]["bytes"], size);
        EXPECT_EQ(r["audio"]["frames"], size / 4);
        EXPECT_EQ(r["chunks"].back()["id"], "LIST");
        EXPECT_EQ(r["chunks"].back()["offset"], 80 + size) << "an offset past 4 GiB";
    }
}

TEST(InspectUsage, ConflictsAndMissingFiles)
{
    struct Usage {
        std::vector<std::string> args;
        std::string err;
        int status = 2; // 1 without --json: the text modes' usage errors
    };
    const std::vector<Usage> cases = {
        {{"--json", "--chunks", "x.wav"},
         "sondrel: Error: --json cannot be combined with --chunks\n"},
        {{"--data", "--json", "x.wav"}, "sondrel: Error: --json cannot be combined with --data\n"},
        {{"--json", "--fmt", "--chunks", "x.wav"},
         "sondrel: Error: --json cannot be combined with --fmt\n"},
        {{"--json", "--rawchunks", "x.wav"},
         "sondrel: Error: --json cannot be combined with --rawchunks\n"},
        {{"--md5", "x.wav"}, "sondrel: Error: --md5 and --loudness need --json\n", 1},
        {{"--loudness", "--fmt", "x.wav"}, "sondrel: Error: --md5 and --loudness need --json\n", 1},
        {{"--signal", "x.wav"}, "sondrel: Error: --signal needs --json or --csv\n", 1},
        {{"--repair", "--signal", "a.wav", "b.wav"},
         "sondrel: Error: --repair cannot be combined with --signal\n"},
        {{"--embed", "--md5", "--signal", "x.wav"},
         "sondrel: Error: --embed cannot be combined with --signal\n"},
        {{"--json"}, "sondrel: Error: No audio file specified\n"},
    };
    for (const Usage& u : cases) {
        const RunResult run = RunSondrel(u.args);
        EXPECT_EQ(run.status, u.status);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, u.err);
    }
}

// What a cut file says of a field is the whole file's value or null, never
// a value pieced together from the bytes that are there; arrays may be cut.
void ExpectPartOf(const Json& cut, const Json& whole, const std::string& where)
{
    if (cut.is_null())
        return;
    if (cut.is_object()) {
        for (const auto& [key, value] : cut.items())
            ExpectPartOf(value, whole.contains(key) ? whole[key] : Json(), where + "." + key);
    } else if (cut.is_array() && whole.is_array() && cut.size() <= whole.size()) {
        for (size_t i = 0; i < cut.size(); i++)
            ExpectPartOf(cut[i], whole[i], where + "[" + std::to_string(i) + "]");
    } else {
        EXPECT_EQ(cut, whole) << where;
    }
}

// A file with every kind of chunk, cut at every length: each cut still gets
// one record that parses, in one run over all of them; its metadata is the
// whole file's or null, and it has no finding of the whole file's but those
// that say it was cut.
TEST(InspectTruncation, EveryCutOfARichFileGetsAValidRecord)
{
    BextFields b;
    b.version = 2;
    b.description = "cut";
    b.originationDate = "2026-12-08";
    b.originationTime = "10:11:12";
    b.codingHistory = "A=PCM,F=48000,W=16,M=stereo\r\nA=PCM,F=48000,W=16,M=stereo,T=cut\r\n";
    std::string bext = BextBody(b);
    for (size_t i = 0; i < 5; i++)
        bext.replace(412 + 2 * i, 2, LE16(0x7FFF)); // loudness unset, not all zero
    const std::string ixml = "<BWFXML><PROJECT>p</PROJECT></BWFXML>";
    const std::string cue = LE32(1) + LE32(1) + LE32(0) + "data" + LE32(0) + LE32(0) + LE32(5);
    const std::string audio(400, 'a');
    std::string file =
        Wave(Chunk("ds64", Ds64Body(0, 400, 100)) + Chunk("fmt ", ExtensibleBody(2, 48000, 16, 3)) +
                 Chunk("bext", bext) + Chunk("LIST", "INFO" + Chunk("INAM", "name")) +
                 Chunk("LIST", "adtl" + Chunk("labl", LE32(1) + "label")) + Chunk("iXML", ixml) +
                 RawChunk("data", 0xFFFFFFFF, audio) + Chunk("cue ", cue) +
                 Chunk("MD5 ", DigestBytes(Md5Hex(audio))),
             "RF64");
    file.replace(20, 8, LE64(file.size() - 8)); // the ds64 RIFF size
    TempDir dir;
    std::vector<std::string> args = {"--json", "--md5", "--loudness"};
    for (size_t cut = 0; cut <= file.size(); cut++)
        args.push_back(dir.Write("cut" + std::to_string(cut), file.substr(0, cut)));
    const RunResult run = RunSondrel(args);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "");
    const std::vector<Json> records = ParseRecords(run.out);
    ASSERT_EQ(records.size(), file.size() + 1);
    for (size_t cut = 0; cut < records.size(); cut++) {
        SCOPED_TRACE(cut);
        ExpectRecordShape(records[cut]);
        const Json& r = records[cut];
        EXPECT_EQ(r["status"], cut < 12 ? "error" : "ok");
        if (cut >= 12) {
            EXPECT_EQ(r["file_bytes"], cut);
        }
        for (const char* key : {"format", "bext", "info", "cues", "ixml"})
            ExpectPartOf(r[key], records.back()[key], key);
        EXPECT_EQ(r["md5"]["stored"].is_null() ? records.back()["md5"]["stored"]
                                               : r["md5"]["stored"],
                  records.back()["md5"]["stored"]);
        for (const Json& f : r["findings"]) {
            const std::string code = f["code"];
            EXPECT_TRUE(code == "chunk-truncated" || code == "riff-size-mismatch" ||
                        code.ends_with("-missing") || code == "partial-frame" ||
                        code == "md5-mismatch" || code == "cue-beyond-audio" ||
                        code == "fact-count-mismatch" || code == "trailing-bytes" ||
                        code == "cue-label-orphan" || code == "not-wave")
                << code;
        }
    }
    EXPECT_EQ(records.back()["findings"], Json::array());
}

// The fuzzer's saved inputs, every one inspected in one run.
TEST(InspectTruncation, FuzzCorpusRecordsAllParse)
{
    std::vector<std::string> args = {"--json", "--md5", "--loudness"};
    for (const auto& entry : std::filesystem::directory_iterator(SONDREL_SOURCE_DIR "/fuzz/corpus"))
        args.push_back(entry.path().string());
    ASSERT_GT(args.size(), 100u);
    const RunResult run = RunSondrel(args);
    EXPECT_EQ(run.err, "");
    const std::vector<Json> records = ParseRecords(run.out);
    ASSERT_EQ(records.size(), args.size() - 3);
    for (const Json& r : records)
        ExpectRecordShape(r);
}

} // namespace
