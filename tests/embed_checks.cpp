#include "embed_checks.h"

#include "wav_builder.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <unistd.h>

using namespace wavgen;

namespace
{

const std::string Fmt = Chunk("fmt ", FmtBody(1, 2, 48000, 16));

std::string Tone(uint32_t frames)
{
    static const double frequencies[] = {997, 440};
    return SinePCM(48000, 16, frames, frequencies, 2, 0.25);
}

// 3.5 s: every loudness value; 0.3 s: too short for range and short-term.
const std::string Audio = Tone(168000), Short = Tone(14400);
const std::string Data = Chunk("data", Audio);

std::string RawMd5(const std::string& audio)
{
    const std::string hex = Md5Hex(audio);
    std::string raw;
    for (size_t i = 0; i < hex.size(); i += 2)
        raw += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return raw;
}

std::string Bext(uint16_t version)
{
    BextFields b;
    b.description = "Scene 12A take 3";
    b.originationDate = "2026-11-30";
    b.originationTime = "14:05:09";
    b.timeReference = 2434032000;
    b.version = version;
    b.umid = NoiseBytes(32, 9); // kept as it is
    b.codingHistory = "A=PCM,F=48000,W=16,M=stereo\r\n";
    return Chunk("bext", BextBody(b));
}

std::string Rf64()
{
    const std::string ds64 = Chunk("ds64", Ds64Body(0, Audio.size(), Audio.size() / 4));
    std::string f = Wave(ds64 + Fmt + RawChunk("data", 0xFFFFFFFF, Audio), "RF64");
    return f.replace(20, 8, LE64(f.size() - 8));
}

std::string WithRiffSize(std::string file, uint32_t size)
{
    return file.replace(4, 4, LE32(size));
}

std::string Zeros(size_t n)
{
    return std::string(n, '\0');
}

} // namespace

std::vector<EmbedCase> EmbedCases()
{
    const std::vector<std::string> md5 = {"--md5"}, loud = {"--loudness"},
                                   both = {"--md5", "--loudness"};
    const std::string in = " header inside ", over = " header over ";
    return {
        {"an equal MD5 is left alone",
         Wave(Fmt + Data + Chunk("MD5 ", RawMd5(Audio))),
         md5,
         "unchanged",
         {}},
        {"a different MD5 is a mismatch, not overwritten",
         Wave(Fmt + Data + Chunk("MD5 ", RawMd5(Short))),
         both,
         "refused",
         {}},
        {"a placeholder MD5 filled, bext version 1 given loudness",
         Wave(Fmt + Bext(1) + Data + Chunk("MD5 ", Zeros(16))),
         both,
         "embedded",
         {"\"MD5 \" body", "\"bext\" version and loudness"}},
        {"the first filler with room, what remains of it for bext",
         Wave(Fmt + Chunk("JUNK", Zeros(20)) + Chunk("PAD ", Zeros(700)) + Data),
         both,
         "embedded",
         {"\"MD5 \" body and \"PAD \"" + in + "\"PAD \"", "\"MD5 \"" + over + "\"PAD \"",
          "\"bext\" body and \"PAD \"" + in + "\"PAD \"", "\"bext\"" + over + "\"PAD \""}},
        {"a filler of exactly the MD5's size",
         Wave(Fmt + Chunk("JUNK", Zeros(16)) + Data),
         md5,
         "embedded",
         {"\"MD5 \" body inside \"JUNK\"", "\"MD5 \"" + over + "\"JUNK\""}},
        {"an odd filler that holds the MD5 but then not bext",
         Wave(Fmt + Chunk("FLLR", NoiseBytes(601, 2)) + Data),
         both,
         "embedded",
         {"\"MD5 \" body and \"FLLR\"" + in + "\"FLLR\"", "\"MD5 \"" + over + "\"FLLR\"",
          "\"bext\" chunk", "RIFF size"}},
        {"a filler too small: both appended",
         Wave(Fmt + Chunk("JUNK", Zeros(20)) + Data),
         both,
         "embedded",
         {"\"MD5 \" and \"bext\" chunks", "RIFF size"}},
        {"the last chunk's missing pad byte written first",
         Wave(Fmt + Data + RawChunk("note", 5, "abcde", false)),
         md5,
         "embedded",
         {"pad byte", "\"MD5 \" chunk", "RIFF size"}},
        {"RF64: the ds64 RIFF size",
         Rf64(),
         both,
         "embedded",
         {"\"MD5 \" and \"bext\" chunks", "ds64 RIFF size"}},
        {"bext version 0: the MD5 appended first",
         Wave(Fmt + Bext(0) + Data),
         both,
         "embedded",
         {"\"MD5 \" chunk", "RIFF size", "\"bext\" version and loudness"}},
        {"bext version 2 with values never measured",
         Wave(Fmt + Bext(2) + Data),
         loud,
         "embedded",
         {"\"bext\" version and loudness"}},
        {"no bext: a new one, unset where the audio gives no value",
         Wave(Fmt + Chunk("data", Short)),
         loud,
         "embedded",
         {"\"bext\" chunk", "RIFF size"}},
        {"what a killed run appended is finished",
         Wave(Fmt + Data) + Chunk("MD5 ", RawMd5(Audio)),
         md5,
         "embedded",
         {"\"MD5 \" chunk", "RIFF size"}},
        {"a bext shorter than 602 bytes",
         Wave(Fmt + Bext(1).substr(0, 408) + Data),
         loud,
         "refused",
         {}},
        {"an MD5 chunk of 8 bytes", Wave(Fmt + Data + Chunk("MD5 ", Zeros(8))), md5, "refused", {}},
        {"an error finding: the audio cut short",
         Wave(Fmt + RawChunk("data", 8000, Audio.substr(0, 4000))),
         both,
         "refused",
         {}},
        {"an unfinalised recording",
         WithRiffSize(Wave(Fmt + RawChunk("data", 0, Audio)), 0),
         md5,
         "refused",
         {}},
        {"junk past the RIFF end", Wave(Fmt + Data) + "junk!", md5, "refused", {}},
        {"the RIFF size unset: no end to append at",
         WithRiffSize(Wave(Fmt + Data), 0),
         md5,
         "refused",
         {}},
        {"not a WAVE file", "just some notes\n", md5, "refused", {}},
        {"a read-only file", Wave(Fmt + Data), md5, "error", {}, Holder::Nobody},
        {"a file another run holds", Wave(Fmt + Data), md5, "error", {}, Holder::Locked},
    };
}

std::vector<std::string> EmbedArgs(const EmbedCase& c, const std::string& path)
{
    std::vector<std::string> args = {"--embed"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back(path);
    return args;
}

int ExitOf(const std::string& status)
{
    return status == "error" ? 2 : status == "refused" ? 1 : 0;
}

std::vector<MadeWrite> CleanRunWrites(const std::vector<std::string>& args, const std::string& path,
                                      const std::string& original)
{
    TempDir dir;
    const std::string trace = dir.path() + "/trace";
    std::vector<std::string> command = {"strace", "-f",    "-qq",         "-xx",
                                        "-s",     "65536", "-e",          "trace=pwrite64",
                                        "-o",     trace,   SONDREL_BINARY};
    command.insert(command.end(), args.begin(), args.end());
    WriteFile(path, original);
    EXPECT_EQ(RunCommand(command, Stdout::Capture, {"ASAN_OPTIONS=detect_leaks=0"}).err, "");
    WriteFile(path, original);
    static const std::regex call(
        R"re(pwrite64\(\d+, "((?:\\x[0-9a-f]{2})*)", (\d+), (\d+)\) += (\d+))re");
    std::vector<MadeWrite> writes;
    std::istringstream lines(ReadWholeFile(trace));
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (!std::regex_search(line, m, call)) {
            ADD_FAILURE() << "not a whole pwrite64: " << line;
            continue;
        }
        MadeWrite w{std::stoull(m[3]), ""};
        const std::string hex = m[1];
        for (size_t i = 0; i < hex.size(); i += 4)
            w.bytes += static_cast<char>(std::stoi(hex.substr(i + 2, 2), nullptr, 16));
        EXPECT_EQ(w.bytes.size(), std::stoull(m[2]));
        writes.push_back(w);
    }
    return writes;
}

std::vector<std::string> PrefixStates(const std::string& original,
                                      const std::vector<MadeWrite>& writes)
{
    std::vector<std::string> states = {original};
    for (const MadeWrite& w : writes) {
        std::string s = states.back();
        if (s.size() < w.offset + w.bytes.size())
            s.resize(w.offset + w.bytes.size(), '\0');
        s.replace(w.offset, w.bytes.size(), w.bytes);
        states.push_back(s);
    }
    return states;
}

void ExpectAudioIntact(const std::string& path, uint64_t offset, const std::string& audio)
{
    const Json record = InspectRecord(path, false);
    for (const Json& f : record["findings"])
        EXPECT_NE(f["severity"], "error") << f.dump();
    EXPECT_EQ(record["audio"]["offset"], offset);
    EXPECT_EQ(record["audio"]["bytes_in_file"], audio.size());
    EXPECT_TRUE(ReadRange(path, offset, audio.size()) == audio) << "the audio changed";
}
