#include "repair_checks.h"

#include "wav_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

const std::string DataMark = "data";

namespace
{

// The findings --repair removes.
const std::vector<std::string> Mended = {"data-size-unset",    "chunk-truncated",  "partial-frame",
                                         "riff-size-mismatch", "pad-byte-missing", "ds64-missing",
                                         "trailing-bytes",     "concatenated-file"};

// The chunks of the repaired RIFF file, the audio in a data chunk of its own.
std::string Intact(const RepairCase& c)
{
    std::string chunks;
    for (const std::string& k : c.kept)
        chunks += k == DataMark ? wavgen::Chunk("data", c.audio) : k;
    return wavgen::Wave(chunks);
}

// OUT's chunks: ds64 first when 64-bit, then the kept ones, each byte-equal.
void ExpectChunks(const RepairCase& c, const std::string& out, Json record)
{
    std::vector<std::string> expected;
    if (c.container != "RIFF")
        expected.push_back("ds64");
    for (const std::string& k : c.kept)
        expected.push_back(k.substr(0, 4));
    ASSERT_EQ(Column(record["chunks"], "id"), expected);
    const size_t skip = c.container != "RIFF" ? 1 : 0;
    for (size_t i = 0; i < c.kept.size(); i++) {
        const size_t at = record["chunks"][i + skip]["offset"];
        EXPECT_TRUE(c.kept[i] == DataMark || out.compare(at, c.kept[i].size(), c.kept[i]) == 0)
            << "chunk " << expected[i + skip] << " differs";
    }
}

} // namespace

Json ParseLine(const std::string& out)
{
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    Json line = Json::parse(out, nullptr, false);
    return line.is_discarded() ? Json::object() : line;
}

Json InspectRecord(const std::string& path, bool md5)
{
    return ParseLine(RunSondrel(md5 ? std::vector<std::string>{"--json", "--md5", path}
                                    : std::vector<std::string>{"--json", path})
                         .out);
}

std::vector<std::string> Column(const Json& array, const char* key)
{
    std::vector<std::string> values;
    for (const Json& item : array)
        values.push_back(key ? item[key] : item);
    return values;
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
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        if (std::count(expected.begin(), expected.end(), e.path().filename().string()) == 0)
            left.push_back(e.path().filename().string());
    return left;
}

void ExpectRepaired(const RepairCase& c)
{
    TempDir dir;
    const std::string in = dir.Write("in.wav", c.in), out = dir.path() + "/out.wav";
    const RunResult r = RunSondrel({"--repair", "--md5", in, out});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    Json line = ParseLine(r.out);
    EXPECT_EQ(ReadWholeFile(in), c.in) << "IN changed";
    EXPECT_EQ(Leftovers(dir, {"in.wav", "out.wav"}), std::vector<std::string>{});
    EXPECT_EQ(line["status"], c.status);
    EXPECT_EQ(line["output"], out);
    EXPECT_EQ(Column(line["findings_before"], nullptr),
              Column(InspectRecord(in, false)["findings"], "code"));
    const std::string written = ReadWholeFile(out);
    Json record = InspectRecord(out, true);
    const std::vector<std::string> after = Column(record["findings"], "code");
    EXPECT_EQ(Column(line["findings_after"], nullptr), after);
    for (const std::string& code : after)
        EXPECT_EQ(std::count(Mended.begin(), Mended.end(), code), 0) << code << " left in OUT";
    EXPECT_EQ(record["container"], c.container);
    const uint64_t audioAt = record["audio"]["offset"];
    EXPECT_EQ(record["audio"]["bytes"], c.audio.size());
    EXPECT_TRUE(audioAt <= written.size() && written.substr(audioAt, c.audio.size()) == c.audio)
        << "OUT's audio is not IN's whole frames";
    EXPECT_EQ(line["audio"], Json({{"offset", audioAt}, {"bytes", c.audio.size()}}));
    std::string md5 = Md5Hex(c.audio);
    std::transform(md5.begin(), md5.end(), md5.begin(), ::toupper);
    EXPECT_EQ(line["md5"], md5);
    EXPECT_EQ(record["md5"]["computed"], md5);
    EXPECT_EQ(Column(line["dropped"], "what"), c.dropped);
    ExpectChunks(c, written, record);
    EXPECT_TRUE(c.status != "unchanged" || written == c.in) << "an unchanged copy differs from IN";
    EXPECT_TRUE(c.container != "RIFF" || written == Intact(c)) << "OUT is not its chunks' file";
}

void ExpectRefused(const RefusalCase& c)
{
    TempDir dir;
    std::string in = dir.path() + "/in.wav", out = dir.path() + "/out.wav";
    if (c.input == InIs::File)
        dir.Write("in.wav", c.in);
    if (c.input == InIs::Folder)
        std::filesystem::create_directory(in);
    if (c.out == OutIs::Existing)
        dir.Write("out.wav", "precious");
    if (c.out == OutIs::Input)
        out = in;
    if (c.out == OutIs::InMissingFolder)
        out = dir.path() + "/missing/out.wav";
    const RunResult r = RunSondrel({"--repair", in, out});
    EXPECT_EQ(r.status, c.exit);
    EXPECT_EQ(r.err, "");
    Json line = ParseLine(r.out);
    EXPECT_EQ(line["status"], c.status);
    EXPECT_TRUE(line["reason"].is_string());
    EXPECT_EQ(line["output"], nullptr);
    EXPECT_EQ(line["writes"], Json::array());
    EXPECT_TRUE(c.input != InIs::File || ReadWholeFile(in) == c.in) << "IN changed";
    EXPECT_TRUE(c.out != OutIs::Existing || ReadWholeFile(out) == "precious") << "OUT changed";
    std::vector<std::string> expected = {"in.wav"};
    if (c.out == OutIs::Existing)
        expected.push_back("out.wav");
    EXPECT_EQ(Leftovers(dir, expected), std::vector<std::string>{});
}

// Each peer: a command printing the frame count, and one printing what it
// finds wrong, which must say no more for OUT than for the intact file.
size_t ExpectPeersRead(const RepairCase& c)
{
    struct Peer {
        std::string tool, frames, complaints;
    };
    const std::vector<Peer> peers = {
        {"ffprobe", "ffprobe -v warning -show_entries stream=duration_ts -of csv=p=0 \"$0\"",
         "ffprobe -v warning \"$0\" 2>&1"},
        {"sox", "soxi -s \"$0\"", "sox -V2 \"$0\" -n 2>&1"},
        {"sndfile-info", "sndfile-info \"$0\" | sed -n 's/^Frames *: //p'",
         "sndfile-info \"$0\" | grep -E '\\*\\*\\*|should|arning|rror'"},
        {"mediainfo", "mediainfo '--Inform=Audio;%SamplingCount%' \"$0\"",
         "mediainfo '--Inform=General;%IsTruncated%' \"$0\""},
    };
    TempDir dir;
    const std::string out = dir.path() + "/out.wav";
    EXPECT_EQ(RunSondrel({"--repair", dir.Write("in.wav", c.in), out}).status, 0);
    const std::string intact = dir.Write("intact.wav", Intact(c));
    const uint64_t frames = InspectRecord(out, false)["audio"]["frames"];
    size_t ran = 0;
    for (const Peer& p : peers) {
        if (RunCommand({"sh", "-c", "command -v " + p.tool}).status != 0)
            continue;
        SCOPED_TRACE(p.tool);
        EXPECT_EQ(RunCommand({"sh", "-c", p.frames, out}).out, std::to_string(frames) + "\n");
        std::string said = RunCommand({"sh", "-c", p.complaints, out}).out;
        std::string intactSaid = RunCommand({"sh", "-c", p.complaints, intact}).out;
        for (std::string* s : {&said, &intactSaid})
            for (size_t at; (at = s->find(dir.path())) != std::string::npos;)
                s->replace(at, s->find(".wav", at) + 4 - at, "FILE");
        EXPECT_EQ(said, intactSaid);
        ran++;
    }
    return ran;
}
