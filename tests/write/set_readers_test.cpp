// Independent readers of files --set edited: ffprobe, mediainfo and
// exiftool show the new bext and INFO values, sndfile-info has no new
// complaint, and ffmpeg's MD5 of the audio is what it was.
#include "repair_checks.h"
#include "wav_builder.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace wavgen;

namespace
{

std::string Sh(const std::string& command, const std::string& path)
{
    return RunCommand({"sh", "-c", command, "sh", path}).out;
}

TEST(Set, IndependentReadersShowTheNewValues)
{
    if (RunCommand({"sh", "-c", "command -v ffmpeg ffprobe mediainfo exiftool sndfile-info"})
            .status != 0)
        GTEST_SKIP() << "the peer readers are not all installed";
    const std::string fmt = Chunk("fmt ", FmtBody(1, 2, 48000, 16));
    const std::string data = Chunk("data", NoiseBytes(48000, 5));
    BextFields b;
    b.codingHistory = "A=PCM,F=48000,W=16,M=stereo\r\n" + std::string(6, '\0');
    const std::string bext = Chunk("bext", BextBody(b)),
                      list = Chunk("LIST", "INFO" + Chunk("INAM", std::string(40, 'x') + '\0')),
                      junk = Chunk("JUNK", std::string(900, '\0'));
    const std::string ds64 = Chunk("ds64", Ds64Body(0, 48000, 12000));
    std::string rf64 =
        Wave(ds64 + fmt + bext + RawChunk("data", 0xFFFFFFFF, data.substr(8)), "RF64");
    rf64.replace(20, 8, LE64(rf64.size() - 8));
    const std::vector<std::pair<std::string, std::string>> files = {
        {"in place, grown into JUNK", Wave(fmt + bext + list + junk + data)},
        {"new chunks appended", Wave(fmt + data)},
        {"rewritten", Wave(fmt + bext + Chunk("LIST", "INFO") + data)},
        {"RF64 rewritten", rf64},
    };
    const std::string md5 = "ffmpeg -v error -i \"$1\" -map 0:a -c copy -f md5 -";
    const std::string complaints =
        "sndfile-info \"$1\" | grep -E '\\*\\*\\*|should|arning|rror' | sort -u";
    for (const auto& [what, file] : files) {
        SCOPED_TRACE(what);
        TempDir dir;
        const std::string path = dir.Write("take.wav", file);
        const std::string audio = Sh(md5, path), said = Sh(complaints, path);
        const RunResult r = RunSondrel({"--set", "bext.description=Scene 7, take 3", "--set",
                                        "bext.originator=Deck B", "--set", "info.INAM=Harbour",
                                        "--set", "info.IART=Quartet", "--set",
                                        "bext.coding_history+=A=PCM,T=sondrel", path});
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(Sh(md5, path), audio);
        std::istringstream now(Sh(complaints, path));
        for (std::string line; std::getline(now, line);)
            EXPECT_NE(said.find(line), std::string::npos) << "new: " << line;
        EXPECT_EQ(Sh("ffprobe -v error -show_entries format_tags=comment,encoded_by,title,artist "
                     "-of csv=p=0 \"$1\"",
                     path),
                  "\"Scene 7, take 3\",Deck B,Harbour,Quartet\n");
        EXPECT_EQ(Sh("mediainfo '--Inform=General;%Title%|%Description%' \"$1\"", path),
                  "Harbour|Scene 7, take 3\n");
        const std::string history = what.starts_with("new") ? "" : "A=PCM,F=48000,W=16,M=stereo..";
        EXPECT_EQ(
            Sh("exiftool -s3 -Description -Originator -Title -Artist -CodingHistory \"$1\"", path),
            "Scene 7, take 3\nDeck B\nHarbour\nQuartet\n" + history + "A=PCM,T=sondrel..\n");
    }
}

} // namespace
