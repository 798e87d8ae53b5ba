#include "repair_checks.h"

#include "wav_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

const std::string DataMark = "data";

namespace
{

// The findings --repair removes.
const std::vector<std::string> Mended = {"data-size-unset",    "chunk-truncated",  "partial-frame",
                                         "riff-size-mismatch", "pad-byte-missing", "ds64-missing",
                                         "trailing-bytes",     "concatenated-file"};

std::string Upper(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
    return s;
}

std::vector<std::string> Whats(const Json& ranges)
{
    std::vector<std::string> whats;
    for (const Json& r : ranges)
        whats.push_back(r["what"]);
    return whats;
}

// The chunks a repaired RIFF file holds, the audio in a data chunk of its own.
std::string Intact(const RepairCase& c)
{
    std::string chunks;
    for (const std::string& k : c.kept)
        chunks += k == DataMark ? wavgen::Chunk("data", c.audio) : k;
    return chunks;
}

// OUT's chunks: ds64 first when 64-bit, then the kept ones, each byte-equal.
void ExpectChunks(const RepairCase& c, const std::string& out, const Json& record)
{
    std::vector<std::string> expected;
    if (c.container != "RIFF")
        expected.push_back("ds64");
    for (const std::string& k : c.kept)
        expected.push_back(k.substr(0, 4));
    std::vector<std::string> ids;
    for (const Json& chunk : record["chunks"])
        ids.push_back(chunk["id"]);
    ASSERT_EQ(ids, expected);
    const size_t skip = c.container != "RIFF" ? 1 : 0;
    for (size_t i = 0; i < c.kept.size(); i++) {
        if (c.kept[i] == DataMark)
            continue;
        const size_t at = record["chunks"][i + skip]["offset"];
        EXPECT_TRUE(out.compare(at, c.kept[i].size(), c.kept[i]) == 0)
            << "chunk " << ids[i + skip] << " differs";
    }
}

} // namespace

Json ParseLine(const std::string& out)
{
    EXPECT_FALSE(out.empty());
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
    const Json line = Json::parse(out, nullptr, false);
    EXPECT_FALSE(line.is_discarded()) << out;
    return line.is_discarded() ? Json::object() : line;
}

Json InspectRecord(const std::string& path, bool md5)
{
    std::vector<std::string> args = {"--json", path};
    if (md5)
        args.insert(args.begin() + 1, "--md5");
    return ParseLine(RunSondrel(args).out);
}

std::vector<std::string> CodesOf(const Json& record)
{
    std::vector<std::string> codes;
    for (const Json& f : record["findings"])
        codes.push_back(f["code"]);
    return codes;
}

std::string ReadRange(const std::string& path, uint64_t offset, size_t count)
{
    std::ifstream f(path, std::ios::binary);
    f.seekg(static_cast<std::streamoff>(offset));
    std::string s(count, '\0');
    f.read(s.data(), static_cast<std::streamsize>(count));
    s.resize(static_cast<size_t>(f.gcount()));
    return s;
}

std::vector<std::string> Leftovers(const TempDir& dir, const std::vector<std::string>& expected)
{
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        const std::string name = e.path().filename().string();
        if (std::find(expected.begin(), expected.end(), name) == expected.end())
            left.push_back(name);
    }
    return left;
}

void ExpectRepairedOutput(const RepairCase& c, const std::string& in, const std::string& out,
                          const Json& line)
{
    EXPECT_EQ(ReadWholeFile(in), c.in) << "IN changed";
    EXPECT_EQ(line["status"], c.status);
    EXPECT_EQ(line["output"], out);
    EXPECT_EQ(line["findings_before"], Json(CodesOf(InspectRecord(in, false))));
    const std::string written = ReadWholeFile(out);
    const Json record = InspectRecord(out, true);
    EXPECT_EQ(line["findings_after"], Json(CodesOf(record)));
    for (const std::string& code : CodesOf(record))
        EXPECT_EQ(std::count(Mended.begin(), Mended.end(), code), 0) << code << " left in OUT";
    EXPECT_EQ(record["container"], c.container);
    const uint64_t audioAt = record["audio"]["offset"];
    EXPECT_EQ(record["audio"]["bytes"], c.audio.size());
    EXPECT_TRUE(audioAt <= written.size() && written.substr(audioAt, c.audio.size()) == c.audio)
        << "OUT's audio is not IN's whole frames";
    EXPECT_EQ(line["audio"], Json::parse("{\"offset\":" + std::to_string(audioAt) +
                                         ",\"bytes\":" + std::to_string(c.audio.size()) + "}"));
    EXPECT_EQ(line["md5"], Upper(Md5Hex(c.audio)));
    EXPECT_EQ(record["md5"]["computed"], line["md5"]);
    EXPECT_EQ(Whats(line["dropped"]), c.dropped);
    ExpectChunks(c, written, record);
    if (c.status == "unchanged") {
        EXPECT_TRUE(written == c.in) << "an unchanged copy differs from IN";
    }
    if (c.container == "RIFF") {
        EXPECT_TRUE(written == wavgen::Wave(Intact(c))) << "OUT is not the file the chunks make";
    }
}

void ExpectRepaired(const RepairCase& c)
{
    TempDir dir;
    const std::string in = dir.Write("in.wav", c.in);
    const std::string out = dir.path() + "/out.wav";
    const RunResult r = RunSondrel({"--repair", "--md5", in, out});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    ExpectRepairedOutput(c, in, out, ParseLine(r.out));
    EXPECT_EQ(Leftovers(dir, {"in.wav", "out.wav"}), std::vector<std::string>{});
}

void ExpectRefused(const RefusalCase& c)
{
    TempDir dir;
    std::string in = dir.path() + "/in.wav";
    if (c.input == InIs::File)
        dir.Write("in.wav", c.in);
    if (c.input == InIs::Folder)
        std::filesystem::create_directory(in);
    std::string out = dir.path() + "/out.wav";
    if (c.out == OutIs::Existing)
        dir.Write("out.wav", "precious");
    if (c.out == OutIs::Input)
        out = in;
    if (c.out == OutIs::InMissingFolder)
        out = dir.path() + "/missing/out.wav";
    const RunResult r = RunSondrel({"--repair", in, out});
    EXPECT_EQ(r.status, c.exit);
    EXPECT_EQ(r.err, "");
    const Json line = ParseLine(r.out);
    EXPECT_EQ(line["status"], c.status);
    EXPECT_TRUE(line["reason"].is_string());
    EXPECT_EQ(line["output"], nullptr);
    EXPECT_EQ(line["writes"], Json::array());
    if (c.input == InIs::File) {
        EXPECT_EQ(ReadWholeFile(in), c.in) << "IN changed";
    }
    if (c.out == OutIs::Existing) {
        EXPECT_EQ(ReadWholeFile(out), "precious");
    }
    std::vector<std::string> expected = {"in.wav"};
    if (c.out == OutIs::Existing)
        expected.push_back("out.wav");
    EXPECT_EQ(Leftovers(dir, expected), std::vector<std::string>{});
}

namespace
{

bool Have(const std::string& tool)
{
    return RunCommand({"sh", "-c", "command -v " + tool}).status == 0;
}

// Lines of sndfile-info that say something is wrong.
std::vector<std::string> Complaints(const std::string& report)
{
    std::vector<std::string> found;
    std::istringstream lines(report);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("***") != std::string::npos || line.find("should") != std::string::npos ||
            line.find("arning") != std::string::npos || line.find("rror") != std::string::npos)
            found.push_back(line);
    }
    return found;
}

void ExpectMediaInfo(const std::string& out, uint64_t frames)
{
    const Json report =
        Json::parse(RunCommand({"mediainfo", "--Output=JSON", out}).out, nullptr, false);
    ASSERT_FALSE(report.is_discarded());
    for (const Json& track : report["media"]["track"]) {
        if (track["@type"] == "General" && track.contains("extra")) {
            EXPECT_FALSE(track["extra"].contains("IsTruncated")) << track.dump();
        }
        if (track["@type"] == "Audio") {
            EXPECT_EQ(track.value("SamplingCount", ""), std::to_string(frames));
        }
    }
}

} // namespace

size_t ExpectPeersRead(const RepairCase& c)
{
    TempDir dir;
    const std::string in = dir.Write("in.wav", c.in);
    const std::string out = dir.path() + "/out.wav";
    EXPECT_EQ(RunSondrel({"--repair", in, out}).status, 0);
    const std::string reference = dir.Write("intact.wav", wavgen::Wave(Intact(c)));
    const uint64_t frames = InspectRecord(out, false)["audio"]["frames"];
    const std::string count = std::to_string(frames);
    size_t ran = 0;
    if (Have("ffprobe")) {
        const RunResult r = RunCommand({"ffprobe", "-v", "warning", "-show_entries",
                                        "stream=duration_ts", "-of", "csv=p=0", out});
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, count + "\n");
        ran++;
    }
    if (Have("sox") && Have("soxi")) {
        EXPECT_EQ(RunCommand({"sox", "-V2", out, "-n"}).err, "");
        EXPECT_EQ(RunCommand({"soxi", "-s", out}).out, count + "\n");
        ran++;
    }
    if (Have("sndfile-info")) {
        // libsndfile notes what the intact file has too (an odd-sized data
        // chunk, an extensible format without fact): those are not warnings
        // about the repair.
        const std::string report = RunCommand({"sndfile-info", out}).out;
        EXPECT_EQ(Complaints(report), Complaints(RunCommand({"sndfile-info", reference}).out));
        EXPECT_NE(report.find("Frames      : " + count + "\n"), std::string::npos) << report;
        ran++;
    }
    if (Have("mediainfo")) {
        ExpectMediaInfo(out, frames);
        ran++;
    }
    return ran;
}
