// --embed: what it writes where, what it leaves alone and why, the command
// line, and how independent readers take the files it wrote.
#include "embed_checks.h"
#include "wav_builder.h"

#include <gtest/gtest.h>

#include "write/durable.h"

#include <algorithm>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace wavgen;

namespace
{

const std::vector<std::string> LineKeys = {
    "path",           "mode",   "status",  "reason", "output", "findings_before",
    "findings_after", "writes", "dropped", "audio",  "md5",    "loudness"};

bool Has(const EmbedCase& c, const char* option)
{
    return std::find(c.options.begin(), c.options.end(), option) != c.options.end();
}

// `--json` with the case's options: the record the line's findings match.
Json Record(const EmbedCase& c, const std::string& path)
{
    std::vector<std::string> args = EmbedArgs(c, path);
    args[0] = "--json";
    return ParseLine(RunSondrel(args).out);
}

RunResult RunCase(const EmbedCase& c, const TempDir& dir, const std::string& path)
{
    Surroundings around;
    Descriptor lock;
    if (c.holder == Holder::Nobody) {
        around.asNobody = true; // root writes anything
        EXPECT_EQ(chmod(path.c_str(), 0444) | chmod(dir.path().c_str(), 0755), 0);
    } else if (c.holder == Holder::Locked) {
        lock.fd = open(path.c_str(), O_RDWR);
        struct flock l {
        };
        l.l_type = F_WRLCK;
        EXPECT_EQ(fcntl(lock.fd, F_OFD_SETLK, &l), 0);
    }
    return RunSondrel(EmbedArgs(c, path), Stdout::Capture, {}, around);
}

// The stored values are what was measured; the rest of bext as it was.
void ExpectStored(const EmbedCase& c, const Json& before, const Json& after, const Json& line)
{
    if (Has(c, "--md5")) {
        EXPECT_EQ(after["md5"]["stored"], after["md5"]["computed"]);
        EXPECT_EQ(line["md5"], after["md5"]["computed"]);
    }
    if (!Has(c, "--loudness"))
        return;
    EXPECT_GE(after["bext"]["version"], 2);
    EXPECT_EQ(after["bext"]["loudness"], after["loudness_measured"]);
    EXPECT_EQ(line["loudness"], after["loudness_measured"]);
    Json kept = before["bext"].is_null() ? Json::parse(R"({"description": "", "originator": "",
        "originator_reference": "", "origination_date": "", "origination_time": "",
        "time_reference": 0, "umid": null, "coding_history": []})")
                                         : before["bext"];
    Json now = after["bext"];
    for (Json* b : {&kept, &now})
        for (const char* key : {"version", "loudness"})
            b->erase(key);
    EXPECT_EQ(now, kept) << "bext bytes other than the version and loudness changed";
}

void ExpectEmbedded(const EmbedCase& c, const std::string& path, const Json& before,
                    const Json& line)
{
    const Json after = Record(c, path);
    EXPECT_EQ(line["findings_after"], Json(Column(after["findings"], "code")));
    const uint64_t audioAt = before["audio"]["offset"];
    const std::string audio = ReadRange(path, audioAt, before["audio"]["bytes_in_file"]);
    ExpectAudioIntact(path, audioAt, audio);
    EXPECT_EQ(line["audio"], Json({{"offset", audioAt}, {"bytes", audio.size()}}));
    ExpectStored(c, before, after, line);
    for (const Json& chunk : before["chunks"]) {
        const bool kept = std::count(after["chunks"].begin(), after["chunks"].end(), chunk) > 0;
        const bool filler = chunk["id"] == "JUNK" || chunk["id"] == "PAD " || chunk["id"] == "FLLR";
        EXPECT_TRUE(kept || filler) << chunk.dump() << " moved";
    }
    const std::string written = ReadWholeFile(path);
    const RunResult again = RunSondrel(EmbedArgs(c, path));
    EXPECT_EQ(ParseLine(again.out)["status"], "unchanged");
    EXPECT_TRUE(ReadWholeFile(path) == written) << "a second run changed the file";
}

TEST(Embed, WritesOnlyWhatIsMissingAndRefusesWhatItCannotDoSafely)
{
    for (const EmbedCase& c : EmbedCases()) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir.Write("take.wav", c.file);
        const Json before = Record(c, path);
        const RunResult r = RunCase(c, dir, path);
        EXPECT_EQ(r.status, ExitOf(c.status));
        EXPECT_EQ(r.err, "");
        const Json line = ParseLine(r.out);
        std::vector<std::string> keys;
        for (const auto& item : line.items())
            keys.push_back(item.key());
        EXPECT_EQ(keys, LineKeys);
        EXPECT_EQ(line["status"], c.status);
        EXPECT_EQ(line["mode"], "embed");
        EXPECT_EQ(line["reason"].is_string(), c.status == "refused" || c.status == "error");
        EXPECT_EQ(Column(line["writes"], "what"), c.writes);
        const Json opened =
            c.holder == Holder::None ? Json(Column(before["findings"], "code")) : Json::array();
        EXPECT_EQ(line["findings_before"], opened);
        if (c.status == "embedded") {
            ExpectEmbedded(c, path, before, line);
        } else {
            EXPECT_TRUE(ReadWholeFile(path) == c.file) << "the file changed";
            EXPECT_EQ(line["findings_after"], line["findings_before"]);
        }
    }
}

TEST(Embed, UsageErrorsAndSeveralFiles)
{
    TempDir dir;
    const EmbedCase good = EmbedCases()[4], refused = EmbedCases()[1];
    const std::string a = dir.Write("a.wav", good.file), b = dir.Write("b.wav", refused.file);
    const std::string mixed = "sondrel: Error: --embed cannot be combined with ";
    const std::vector<std::pair<std::vector<std::string>, std::string>> usage = {
        {{"--embed", a}, "sondrel: Error: --embed needs --md5 or --loudness\n"},
        {{"--embed", "--md5"}, "sondrel: Error: No audio file specified\n"},
        {{"--embed", "--md5", "--json", a}, mixed + "--json\n"},
        {{"--embed", "--md5", "--recursive", a}, mixed + "--recursive\n"},
        {{"--bext", "--embed", "--md5", a}, mixed + "--bext\n"},
        {{"--embed", "--md5", "--repair", a, b}, mixed + "--repair\n"},
        {{"--repair", "--embed", a, b},
         "sondrel: Error: --repair cannot be combined with --embed\n"},
    };
    for (const auto& [args, message] : usage) {
        const RunResult r = RunSondrel(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, message);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_TRUE(ReadWholeFile(a) == good.file && ReadWholeFile(b) == refused.file);
    // One line per file in order; a file that cannot be opened (2) wins over a refusal (1).
    const RunResult r = RunSondrel({"--embed", "--md5", b, dir.path() + "/missing.wav", "--", a});
    EXPECT_EQ(r.status, 2);
    std::vector<std::string> statuses;
    for (size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1)
        statuses.push_back(Json::parse(r.out.substr(at, end - at))["status"]);
    EXPECT_EQ(statuses, (std::vector<std::string>{"refused", "error", "embedded"}));
}

// A plain RIFF file 22 bytes short of 4 GiB, all but its audio one hole.
TEST(Embed, RefusesToTakeARiffFilePast4GiB)
{
    TempDir dir;
    const uint64_t length = 4294967286, hole = length - 4052;
    const std::string head = Wave(Chunk("fmt ", FmtBody(1, 2, 48000, 16))) + "free" + LE32(hole);
    const std::string path = dir.Write("long.wav", head);
    const int fd = open(path.c_str(), O_WRONLY);
    const std::string data = Chunk("data", NoiseBytes(4000, 3));
    ASSERT_EQ(pwrite(fd, data.data(), data.size(), static_cast<off_t>(head.size() + hole)),
              static_cast<ssize_t>(data.size()));
    ASSERT_EQ(pwrite(fd, LE32(length - 8).data(), 4, 4), 4);
    close(fd);
    const RunResult r = RunSondrel({"--embed", "--md5", path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(ParseLine(r.out)["reason"], "The file would pass 4 GiB, which a RIFF file cannot");
    EXPECT_TRUE(ReadRange(path, 0, head.size()) ==
                head.substr(0, 4) + LE32(length - 8) + head.substr(8));
    struct stat st {
    };
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), length);
}

// A tool's five loudness values, "" for none; sndfile's 327.67 is unset.
std::vector<std::string> Shown(const std::string& command, const std::string& path)
{
    std::vector<std::string> values;
    std::string out = RunCommand({"sh", "-c", command, path}).out;
    for (size_t at = 0; values.size() < 5 && at <= out.size();) {
        const size_t end = std::min(out.find_first_of("|\n", at), out.size());
        const std::string v = out.substr(at, end - at);
        values.push_back(v == "327.67" ? "" : v);
        at = end + 1;
    }
    return values;
}

TEST(Embed, IndependentReadersTakeTheEmbeddedFiles)
{
    const std::string mediainfo =
        "mediainfo '--Inform=Audio;%LoudnessValue%|%LoudnessRange%|"
        "%MaxTruePeakLevel%|%MaxMomentaryLoudness%|%MaxShortTermLoudness%'"
        " \"$0\"";
    const std::string sndfile = "for o in loudness-value loudness-range max-truepeak max-momentary "
                                "max-shortterm; do sndfile-metadata-get --bext-$o \"$0\"; done | "
                                "sed 's/.*: *//'";
    const std::vector<std::string> complaints = {
        "ffprobe -v warning \"$0\" 2>&1", "sox -V2 \"$0\" -n 2>&1",
        // libsndfile names every chunk it does not know, the MD5 chunk among them.
        "sndfile-info \"$0\" | grep -E '\\*\\*\\*|should|arning|rror' | grep -v '^\\*\\*\\* MD5 '",
        "mediainfo '--Inform=General;%IsTruncated%' \"$0\""};
    if (RunCommand({"sh", "-c", "command -v ffmpeg sox sndfile-info mediainfo"}).out.empty())
        GTEST_SKIP() << "no peer reader is installed";
    for (const EmbedCase& c : EmbedCases()) {
        if (c.status != "embedded" || c.what.starts_with("RF64")) // sox reads no RF64
            continue;
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir.Write("take.wav", c.file);
        const std::string md5 = "ffmpeg -v error -i \"$0\" -map 0:a -c copy -f md5 - 2>&1";
        std::vector<std::string> said;
        for (const std::string& command : complaints)
            said.push_back(RunCommand({"sh", "-c", command, path}).out);
        const std::string audioMd5 = RunCommand({"sh", "-c", md5, path}).out;
        ASSERT_EQ(RunSondrel(EmbedArgs(c, path)).status, 0);
        EXPECT_EQ(RunCommand({"sh", "-c", md5, path}).out, audioMd5);
        for (size_t i = 0; i < complaints.size(); i++) {
            std::istringstream now(RunCommand({"sh", "-c", complaints[i], path}).out);
            for (std::string line; std::getline(now, line);)
                EXPECT_NE(said[i].find(line + "\n"), std::string::npos) << "new: " << line;
        }
        if (!Has(c, "--loudness"))
            continue;
        std::vector<std::string> stored;
        const Json record = Record(c, path);
        for (const auto& [key, value] : record["bext"]["loudness"].items())
            stored.push_back(value.is_null() ? "" : std::to_string(value.get<double>()));
        for (std::string& s : stored) // two decimals, as both tools print them
            s = s.empty() ? s : s.substr(0, s.find('.') + 3);
        EXPECT_EQ(Shown(mediainfo, path), stored);
        EXPECT_EQ(Shown(sndfile, path), stored);
    }
}

} // namespace
