// The --embed tests' table of cases.
#include "embed_cases.h"

#include "wav_builder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>

using namespace wavgen;

namespace embedtable
{

extern const std::string Fmt, Audio, Short, Data, Z16, Z20;
const std::string Fmt = Chunk("fmt ", FmtBody(1, 2, 48000, 16));
const double Tones[] = {997, 440};
// 3.5 s gives every loudness value; 0.3 s is too short for all but the peak.
const std::string Audio = SinePCM(48000, 16, 168000, Tones, 2, 0.25);
const std::string Short = SinePCM(48000, 16, 14400, Tones, 2, 0.25);
const std::string Data = Chunk("data", Audio);
const std::string Z16(16, '\0'), Z20(20, '\0');



std::string RawMd5(const std::string& audio)
{
    return DigestBytes(Md5Hex(audio));
}

std::string Bext(uint16_t version)
{
    BextFields b;
    b.description = "Scene 12A";
    b.originationDate = "2026-11-30";
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

// Float stereo far below what 16-bit hundredths of a dB can hold.
std::string FaintFloat()
{
    std::string audio;
    for (int i = 0; i < 2 * 168000; i++) {
        const float v = 1e-20f * static_cast<float>(std::sin(i / 14.0));
        uint32_t bits = 0;
        std::memcpy(&bits, &v, 4);
        audio += LE32(bits);
    }
    return Wave(Chunk("fmt ", FmtBody(3, 2, 48000, 32)) + Bext(1) + Chunk("data", audio));
}

// A bext chunk whose loudness another meter stored: -23, 5, -1, -20, -21.
std::string Measured()
{
    std::string b = Bext(2);
    return b.replace(8 + 412, 10, LE16(uint16_t(-2300)) + LE16(500) + LE16(uint16_t(-100)) +
                                      LE16(uint16_t(-2000)) + LE16(uint16_t(-2100)));
}

std::string RiffSize0(std::string file)
{
    return file.replace(4, 4, LE32(0));
}

EmbedCase Case(std::string what, std::string file, std::string options, std::string status,
               std::vector<std::string> writes = {}, Holder holder = Holder::None)
{
    return {std::move(what),   std::move(file),   std::move(options),
            std::move(status), std::move(writes), holder};
}

std::vector<EmbedCase> Cases()
{
    const std::string both = "--md5 --loudness", riff = "RIFF size",
                      bextAt = "\"bext\" version and loudness";
    const std::string pad = "\"PAD \"", fllr = "\"FLLR\"", in = " header inside ";
    const std::string md5In = "\"MD5 \" body and ", md5Over = "\"MD5 \" header over ";
    return {
        Case("an equal MD5 is left alone", Wave(Fmt + Data + Chunk("MD5 ", RawMd5(Audio))), "--md5",
             "unchanged"),
        Case("a different MD5 is a mismatch, not overwritten",
             Wave(Fmt + Data + Chunk("MD5 ", RawMd5(Short))), both, "refused"),
        Case("a placeholder MD5 filled, bext version 1 given loudness",
             Wave(Fmt + Bext(1) + Data + Chunk("MD5 ", Z16)), both, "embedded",
             {"\"MD5 \" body", bextAt}),
        Case("the first filler with room, what remains of it for bext",
             Wave(Fmt + Chunk("JUNK", Z20) + Chunk("PAD ", std::string(700, '\0')) + Data), both,
             "embedded",
             {md5In + pad + in + pad, md5Over + pad, "\"bext\" body and " + pad + in + pad,
              "\"bext\" header over " + pad}),
        Case("a filler of exactly the MD5's size", Wave(Fmt + Chunk("JUNK", Z16) + Data), "--md5",
             "embedded", {"\"MD5 \" body inside \"JUNK\"", md5Over + "\"JUNK\""}),
        Case("an odd filler that holds the MD5, then not bext",
             Wave(Fmt + Chunk("FLLR", NoiseBytes(601, 2)) + Data), both, "embedded",
             {md5In + fllr + in + fllr, md5Over + fllr, "\"bext\" chunk", riff}),
        Case("a filler too small: both appended", Wave(Fmt + Chunk("JUNK", Z20) + Data), both,
             "embedded", {"\"MD5 \" and \"bext\" chunks", riff}),
        Case("the last chunk's missing pad byte first",
             Wave(Fmt + Data + RawChunk("note", 5, "abcde", false)), "--md5", "embedded",
             {"pad byte", "\"MD5 \" chunk", riff}),
        Case("a RIFF size past the file's end",
             Wave(Fmt + Data + RawChunk("note", 5, "abcde", false))
                 .replace(4, 4, LE32(uint32_t(Audio.size() + 64))),
             "--md5", "refused"),
        Case("RF64: the ds64 RIFF size", Rf64(), both, "embedded",
             {"\"MD5 \" and \"bext\" chunks", "ds64 RIFF size"}),
        Case("bext version 0: the MD5 appended first", Wave(Fmt + Bext(0) + Data), both, "embedded",
             {"\"MD5 \" chunk", riff, bextAt}),
        Case("bext version 2 never measured", Wave(Fmt + Bext(2) + Data), "--loudness", "embedded",
             {bextAt}),
        Case("bext version 3 becomes 2", Wave(Fmt + Bext(3) + Data), "--loudness", "embedded",
             {bextAt}),
        Case("values beyond the fields' range stored unset", FaintFloat(), "--loudness", "embedded",
             {bextAt}),
        Case("no bext: a new one, unset where the audio gives no value",
             Wave(Fmt + Chunk("data", Short)), "--loudness", "embedded", {"\"bext\" chunk", riff}),
        Case("what a killed run appended is finished",
             Wave(Fmt + Data) + Chunk("MD5 ", RawMd5(Audio)), "--md5", "embedded",
             {"\"MD5 \" chunk", riff}),
        Case("a bext shorter than 602 bytes", Wave(Fmt + Bext(1).substr(0, 408) + Data),
             "--loudness", "refused"),
        Case("an MD5 chunk of 8 bytes", Wave(Fmt + Data + Chunk("MD5 ", "12345678")), "--md5",
             "refused"),
        Case("an error finding: the audio cut short",
             Wave(Fmt + RawChunk("data", 8000, Audio.substr(0, 4000))), both, "refused"),
        Case("an unfinalised recording", RiffSize0(Wave(Fmt + RawChunk("data", 0, Audio))), "--md5",
             "refused"),
        Case("compressed audio: no loudness to store",
             Wave(Chunk("fmt ", FmtBody(0x50, 2, 48000, 0)) + Data), "--loudness", "refused"),
        Case("junk past the RIFF end", Wave(Fmt + Data) + "junk!", "--md5", "refused"),
        Case("junk past the RIFF end, nothing to append",
             Wave(Fmt + Data + Chunk("MD5 ", RawMd5(Audio))) + "junk!", "--md5", "refused"),
        Case("the RIFF size unset: no end to append at", RiffSize0(Wave(Fmt + Data)), "--md5",
             "refused"),
        Case("RF64 with a 19-byte ds64: the planner and its check agree",
             ReadWholeFile(SONDREL_SOURCE_DIR
                           "/fuzz/corpus/ee7d087606eb76b1df8cbac1e141dc6bf47dbf48"),
             "--md5", "embedded", {md5In + "\"JUNK\"" + in + "\"JUNK\"", md5Over + "\"JUNK\""}),
        Case("an empty data chunk last: what is appended would play as audio",
             Wave(Fmt + Chunk("data", "")), "--md5", "refused"),
        Case("loudness another meter stored is kept", Wave(Fmt + Measured() + Data), "--loudness",
             "refused"),
        Case("--replace overwrites stored loudness", Wave(Fmt + Measured() + Data),
             "--loudness --replace", "embedded", {bextAt}),
        Case("--replace overwrites a differing MD5", Wave(Fmt + Data + Chunk("MD5 ", RawMd5(Short))),
             "--md5 --replace", "embedded", {"\"MD5 \" body"}),
        Case("not a WAVE file", "just some notes\n", "--md5", "refused"),
        Case("a read-only file", Wave(Fmt + Data), "--md5", "error", {}, Holder::Nobody),
        Case("a file another run holds", Wave(Fmt + Data), "--md5", "error", {}, Holder::Locked),
    };
}

std::vector<std::string> Args(const EmbedCase& c, const std::string& path, const char* mode)
{
    std::vector<std::string> args = {mode};
    std::istringstream options(c.options);
    for (std::string o; options >> o;)
        if (o != "--replace" || std::string(mode) == "--embed") // --embed's alone
            args.push_back(o);
    args.push_back(path);
    return args;
}

int ExitOf(const std::string& status)
{
    return status == "error" ? 2 : status == "refused" ? 1 : 0;
}

// The case run under strace, with `more` of its options (what it traces).
RunResult Traced(const EmbedCase& c, const std::string& path, const std::string& trace,
                 const std::vector<std::string>& more)
{
    std::vector<std::string> command = {"strace", "-f", "-qq", "-o", trace};
    command.insert(command.end(), more.begin(), more.end());
    command.push_back(SONDREL_BINARY);
    const std::vector<std::string> args = Args(c, path);
    command.insert(command.end(), args.begin(), args.end());
    return RunCommand(command, Stdout::Capture, {"ASAN_OPTIONS=detect_leaks=0"});
}

const EmbedCase& Named(const std::string& what)
{
    static const std::vector<EmbedCase> cases = Cases();
    return *std::find_if(cases.begin(), cases.end(),
                         [&](const EmbedCase& c) { return c.what == what; });
}

} // namespace embedtable
