// The inspector (--json): the record's shape, every finding on a file built
// with that defect, text decoding, iXML, cues, damaged and special files.
#include "record_shape.h"
#include "run_tool.h"
#include "wav_builder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace wavgen;
using Json = nlohmann::ordered_json;

namespace
{

const std::string Fmt16 = Chunk("fmt ", FmtBody(1, 2, 48000, 16));
const std::string Audio400 = std::string(400, '\x11');
const std::string Data400 = Chunk("data", Audio400);

// A 16-byte "fmt " body with every field given.
std::string FmtFields(uint16_t tag, uint16_t channels, uint32_t rate, uint32_t byteRate,
                      uint16_t align, uint16_t bits)
{
    return LE16(tag) + LE16(channels) + LE32(rate) + LE32(byteRate) + LE16(align) + LE16(bits);
}

std::string WithRiffSize(std::string file, uint32_t size)
{
    file.replace(4, 4, LE32(size));
    return file;
}

// A LIST chunk of sub-chunks.
std::string List(std::string_view type,
                 const std::vector<std::pair<std::string, std::string>>& subs)
{
    std::string body(type);
    for (const auto& [id, text] : subs)
        body += Chunk(id, text);
    return Chunk("LIST", body);
}

std::string Ds64WithTable(uint64_t riff, uint64_t data, std::string_view id, uint64_t size)
{
    return LE64(riff) + LE64(data) + LE64(0) + LE32(1) + std::string(id) + LE64(size);
}

std::string BextDated(const std::string& date, const std::string& time)
{
    BextFields b;
    b.originationDate = date;
    b.originationTime = time;
    return BextBody(b);
}

struct DefectCase {
    std::string name; // the defect the file carries
    std::string file;
    std::vector<std::string> codes; // findings in record order
    int status;
    std::function<void(const Json&)> check = nullptr;
};

std::vector<std::string> Codes(const Json& record)
{
    std::vector<std::string> codes;
    for (const Json& f : record["findings"])
        codes.push_back(f["code"]);
    return codes;
}

Json FindingOf(const Json& record, const std::string& code)
{
    for (const Json& f : record["findings"])
        if (f["code"] == code)
            return f;
    return nullptr;
}

std::vector<DefectCase> DefectCases()
{
    const std::string clean = Wave(Fmt16 + Data400);
    const std::string listed = Wave(Fmt16 + Data400 + List("INFO", {{"INAM", "x"}}));
    return {
        {"clean", clean, {}, 0},
        {"not_wave_magic",
         "RIFX" + clean.substr(4),
         {"not-wave"},
         1,
         [](const Json& r) {
             EXPECT_EQ(r["status"], "error");
             EXPECT_EQ(r["error"], "Not a WAVE file");
         }},
        {"not_wave_form_type",
         clean.substr(0, 8) + "AVI " + clean.substr(12),
         {"not-wave"},
         1,
         [](const Json& r) { EXPECT_EQ(r["container"], "RIFF"); }},
        {"chunk_truncated_data",
         Wave(Fmt16 + RawChunk("data", 1000, Audio400)),
         {"chunk-truncated"},
         1,
         [](const Json& r) {
             EXPECT_EQ(r["audio"]["bytes"], 1000);
             EXPECT_EQ(r["audio"]["bytes_in_file"], 400);
             EXPECT_EQ(r["chunks"][1]["complete"], false);
             EXPECT_EQ(FindingOf(r, "chunk-truncated")["offset"], 36);
             EXPECT_EQ(FindingOf(r, "chunk-truncated")["message"],
                       "The \"data\" chunk runs past the end of the file: 600 bytes (0.003125 "
                       "seconds) are missing.");
         }},
        {"pad_byte_missing",
         Wave(Chunk("fmt ", FmtBody(1, 1, 8000, 8)) + RawChunk("data", 5, "12345", false)),
         {"pad-byte-missing"},
         0},
        {"riff_size_mismatch", WithRiffSize(clean, 9999), {"riff-size-mismatch"}, 0},
        {"data_size_unset_zero",
         Wave(Fmt16 + RawChunk("data", 0, "") + Audio400),
         {"data-size-unset"},
         0,
         [](const Json& r) {
             EXPECT_TRUE(r["audio"]["bytes"].is_null());
             EXPECT_EQ(r["audio"]["bytes_in_file"], 400);
             EXPECT_EQ(r["audio"]["frames"], 100);
             EXPECT_EQ(r["chunks"][1]["size"], 400);
             EXPECT_EQ(r["chunks"][1]["complete"], true);
         }},
        {"data_size_unset_sentinel_in_riff",
         Wave(Fmt16 + RawChunk("data", 0xFFFFFFFF, "") + Audio400),
         {"data-size-unset"},
         0},
        {"empty_data_then_chunk",
         Wave(Fmt16 + RawChunk("data", 0, "") + List("INFO", {{"INAM", "x"}})),
         {},
         0,
         [](const Json& r) {
             EXPECT_EQ(r["audio"]["bytes"], 0);
             EXPECT_EQ(r["chunks"].size(), 3u);
             EXPECT_EQ(r["info"]["INAM"], "x");
         }},
        {"ds64_missing_data",
         Wave(Fmt16 + RawChunk("data", 0xFFFFFFFF, "") + Audio400, "RF64"),
         {"ds64-missing"},
         1,
         [](const Json& r) {
             EXPECT_TRUE(r["audio"]["bytes"].is_null());
             EXPECT_EQ(r["audio"]["bytes_in_file"], 400);
         }},
        {"ds64_missing_table_entry",
         Wave(Chunk("ds64", Ds64Body(0, 400, 100)) + RawChunk("JUNK", 0xFFFFFFFF, "abcd") + Fmt16,
              "BW64"),
         {"ds64-missing", "riff-size-mismatch", "data-missing"},
         1,
         [](const Json& r) { EXPECT_EQ(r["chunks"].size(), 2u) << "the walk ends there"; }},
        {"ds64_table_sizes_other_chunk",
         [] {
             std::string tail = RawChunk("JUNK", 0xFFFFFFFF, "abcdef") + Fmt16 + Data400;
             std::string head = Chunk("ds64", Ds64WithTable(0, 400, "JUNK", 6));
             std::string f = Wave(head + tail, "RF64");
             f.replace(20, 8, LE64(f.size() - 8)); // the ds64 RIFF size
             return f;
         }(),
         {},
         0,
         [](const Json& r) { EXPECT_EQ(r["chunks"][1]["size"], 6); }},
        {"ds64_forged_data_size",
         Wave(Chunk("ds64", Ds64Body(0, UINT64_MAX, 0)) + Fmt16 +
                  RawChunk("data", 0xFFFFFFFF, Audio400) + Chunk("LIST", "INFO"),
              "RF64"),
         {"chunk-truncated", "riff-size-mismatch"},
         1,
         [](const Json& r) {
             EXPECT_EQ(r["audio"]["bytes"], UINT64_MAX);
             EXPECT_EQ(r["audio"]["bytes_in_file"], 412) << "the LIST chunk is read as audio";
             EXPECT_EQ(r["chunks"].size(), 3u) << "no wrap back to an earlier chunk";
         }},
        {"ds64_forged_table_size",
         Wave(Chunk("ds64", Ds64WithTable(0, 400, "JUNK", UINT64_MAX)) +
                  RawChunk("JUNK", 0xFFFFFFFF, "ab") + Fmt16,
              "RF64"),
         {"chunk-truncated", "riff-size-mismatch", "data-missing"},
         1,
         [](const Json& r) { EXPECT_EQ(r["chunks"][1]["size"], UINT64_MAX); }},
        {"ds64_table_count_beyond_its_body",
         Wave(Chunk("ds64", Ds64Body(0, 400, 100).substr(0, 24) + LE32(0xFFFFFFFF)) + Fmt16 +
                  RawChunk("data", 0xFFFFFFFF, Audio400),
              "BW64"),
         {"riff-size-mismatch"},
         0,
         [](const Json& r) { EXPECT_EQ(r["audio"]["bytes"], 400); }},
        {"fmt_missing", Wave(Data400), {"fmt-missing"}, 1},
        {"fmt_after_data", Wave(Data400 + Fmt16), {"fmt-after-data"}, 0},
        {"data_missing", Wave(Fmt16), {"data-missing"}, 0},
        {"duplicate_chunk",
         Wave(Fmt16 + Chunk("fmt ", FmtBody(1, 1, 8000, 8)) + Data400),
         {"duplicate-chunk"},
         0,
         [](const Json& r) {
             EXPECT_EQ(r["format"]["channels"], 2) << "the first fmt is described";
             EXPECT_EQ(FindingOf(r, "duplicate-chunk")["offset"], 36);
         }},
        {"block_align_mismatch",
         Wave(Chunk("fmt ", FmtFields(1, 2, 48000, 288000, 6, 16)) +
              Chunk("data", std::string(396, 'x'))),
         {"block-align-mismatch"},
         0},
        {"byte_rate_mismatch",
         Wave(Chunk("fmt ", FmtFields(1, 2, 48000, 1000, 4, 16)) + Data400),
         {"byte-rate-mismatch"},
         0},
        {"partial_frame",
         Wave(Fmt16 + Chunk("data", std::string(402, 'x'))),
         {"partial-frame"},
         0,
         [](const Json& r) { EXPECT_EQ(r["audio"]["frames"], 100); }},
        {"trailing_bytes_short",
         Wave(Fmt16 + Data400 + "abcde"),
         {"trailing-bytes"},
         0,
         [](const Json& r) { EXPECT_EQ(FindingOf(r, "trailing-bytes")["offset"], 444); }},
        {"trailing_bytes_zero_header",
         Wave(Fmt16 + Data400 + std::string(16, '\0')),
         {"trailing-bytes"},
         0},
        {"zero_size_chunk_walk_goes_on",
         Wave(Fmt16 + Chunk("JUNK", "") + Data400),
         {},
         0,
         [](const Json& r) { EXPECT_EQ(r["chunks"].size(), 3u); }},
        {"bext_date_and_time_format",
         Wave(Fmt16 + Chunk("bext", BextDated("07/12/2026", "1:2:3")) + Data400),
         {"bext-date-format", "bext-time-format"},
         0},
        {"bext_date_separators_allowed",
         Wave(Fmt16 + Chunk("bext", BextDated("2026_12.07", "23 59:59")) + Data400),
         {},
         0},
        {"ixml_malformed",
         Wave(Fmt16 + Chunk("iXML", "<BWFXML><PROJECT>x</BWFXML>") + Data400),
         {"ixml-malformed"},
         0,
         [](const Json& r) {
             EXPECT_EQ(r["ixml"]["well_formed"], false);
             EXPECT_TRUE(r["ixml"]["project"].is_null());
         }},
        {"md5_chunk_invalid",
         Wave(Fmt16 + Data400 + Chunk("MD5 ", std::string(15, 'm'))),
         {"md5-chunk-invalid"},
         0,
         [](const Json& r) { EXPECT_TRUE(r["md5"]["stored"].is_null()); }},
        {"chunk_limit",
         [] {
             std::string chunks;
             for (int n = 0; n < 10001; n++)
                 chunks += RawChunk("JUNK", 0, "");
             return Wave(Fmt16 + chunks + Data400);
         }(),
         {"chunk-limit"},
         0,
         [](const Json& r) {
             EXPECT_EQ(r["chunks"].size(), 10000u);
             EXPECT_TRUE(r["audio"].is_null()) << "not reached, and not called missing";
         }},
        {"unset_size_of_odd_length_owes_no_pad_byte",
         Wave(Fmt16 + RawChunk("data", 0, "") + std::string(401, 'a')),
         {"data-size-unset", "partial-frame"},
         0},
        {"zero_size_chunk_with_a_binary_id_is_walked",
         Wave(Fmt16 + RawChunk(std::string("\x01\0\0\0", 4), 0, "") + Data400),
         {},
         0,
         [](const Json& r) { EXPECT_EQ(r["chunks"][1]["id"], std::string("\x01\0\0\0", 4)); }},
        {"chunk_id_read_as_latin1",
         Wave(Fmt16 +
              Chunk("\xC3\xA9"
                    "ab",
                    "xx") +
              Data400),
         {},
         0,
         [](const Json& r) {
             EXPECT_EQ(r["chunks"][1]["id"], "\xC3\x83\xC2\xA9"
                                             "ab");
         }},
        {"ds64_table_of_400_entries",
         [] {
             std::string table;
             for (int n = 0; n < 399; n++)
                 table += "ab" + std::string(1, static_cast<char>('A' + n % 26)) +
                          static_cast<char>('a' + n / 26) + LE64(2);
             table += "JUNK" + LE64(6);
             std::string ds64 = LE64(0) + LE64(400) + LE64(100) + LE32(400) + table;
             std::string f = Wave(Chunk("ds64", ds64) + RawChunk("JUNK", 0xFFFFFFFF, "abcdef") +
                                      Fmt16 + Data400,
                                  "RF64");
             f.replace(20, 8, LE64(f.size() - 8));
             return f;
         }(),
         {},
         0,
         [](const Json& r) { EXPECT_EQ(r["chunks"][1]["size"], 6); }},
        {"bext_v2_cut_before_its_loudness",
         [] {
             BextFields b;
             b.version = 2;
             return Wave(Fmt16 + Chunk("bext", BextBody(b).substr(0, 414)) + Data400);
         }(),
         {},
         0,
         [](const Json& r) {
             EXPECT_EQ(r["bext"]["loudness"]["integrated_lufs"], 0);
             EXPECT_TRUE(r["bext"]["loudness"]["range_lu"].is_null());
         }},
        // After a data chunk that ends the RIFF size such bytes may be audio (data-size-stale).
        {"junk_after_a_finished_file",
         listed + "q2j\x8B" + LE32(2632369658u) + std::string(100, '\x8B'),
         {"trailing-bytes", "riff-size-mismatch"},
         0,
         [listed](const Json& r) {
             EXPECT_EQ(r["chunks"].size(), 3u);
             EXPECT_EQ(FindingOf(r, "trailing-bytes")["offset"], listed.size());
             EXPECT_EQ(FindingOf(r, "trailing-bytes")["message"],
                       "108 bytes after the last chunk do not make a chunk.");
         }},
        {"printable_chunk_that_fits_past_the_riff_end",
         clean + List("INFO", {{"INAM", "late"}}),
         {"riff-size-mismatch"},
         0,
         [](const Json& r) { EXPECT_EQ(r["info"]["INAM"], "late"); }},
        {"two_files_concatenated",
         clean + clean,
         {"concatenated-file", "riff-size-mismatch"},
         0,
         [clean](const Json& r) {
             EXPECT_EQ(r["chunks"].size(), 2u);
             EXPECT_EQ(FindingOf(r, "concatenated-file")["chunk"], "RIFF");
             EXPECT_EQ(FindingOf(r, "concatenated-file")["offset"], clean.size());
         }},
        {"shorter_than_a_header",
         "RIFF" + LE32(2) + "WA",
         {"not-wave"},
         1,
         [](const Json& r) { EXPECT_EQ(r["container"], "RIFF"); }},
        {"fmt_cut_after_the_sample_rate",
         Wave(RawChunk("fmt ", 16, FmtBody(1, 2, 48000, 16).substr(0, 8))),
         {"chunk-truncated", "data-missing"},
         1,
         [](const Json& r) {
             EXPECT_EQ(r["format"]["sample_rate"], 48000);
             for (const char* k : {"byte_rate", "block_align", "bits_per_sample"})
                 EXPECT_TRUE(r["format"][k].is_null()) << k;
             EXPECT_EQ(FindingOf(r, "chunk-truncated")["message"],
                       "The \"fmt \" chunk runs past the end of the file: 8 bytes are missing.");
         }},
        {"bext_cut_inside_its_time_reference",
         Wave(Fmt16 + Data400 +
              RawChunk("bext", 602, BextDated("2024-01-01", "10:11:12").substr(0, 340))),
         {"chunk-truncated"},
         1,
         [](const Json& r) {
             EXPECT_EQ(r["bext"]["origination_time"], "10:11:12");
             for (const char* k :
                  {"time_reference", "version", "umid", "loudness", "coding_history"})
                 EXPECT_TRUE(r["bext"][k].is_null()) << k;
         }},
    };
}

TEST(Inspect, EveryFindingOnAFileWithThatDefect)
{
    TempDir dir;
    for (const DefectCase& c : DefectCases()) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.Write(c.name + ".wav", c.file);
        const RunResult run = RunSondrel({"--json", path});
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.err, "");
        const std::vector<Json> records = ParseRecords(run.out);
        ASSERT_EQ(records.size(), 1u);
        ExpectRecordShape(records[0]);
        EXPECT_EQ(Codes(records[0]), c.codes);
        if (c.check)
            c.check(records[0]);
    }
}

} // namespace
