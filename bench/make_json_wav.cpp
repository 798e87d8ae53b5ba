// Writes the WAVE files json_compare.sh times the inspector on:
//   make_json_wav sparse OUT.wav RF64|BW64 DATA_BYTES
//     16-bit stereo at 48 kHz: the file header, ds64 (true RIFF size, DATA_BYTES,
//     the frame count), fmt, data with the size 0xFFFFFFFF, DATA_BYTES of hole
//     (the file is sparse and costs no disk), then a LIST/INFO chunk after the audio.
//   make_json_wav ixml OUT.wav IXML_BYTES [reference]
//     A small RIFF file (one second of 16-bit stereo silence) with a well-formed
//     iXML chunk of exactly IXML_BYTES: a project, scene and take, then a
//     TRACK_LIST of as many tracks as fit; prints the number of tracks.
//   make_json_wav bext OUT.wav BEXT_BYTES
//     The same with a version 2 bext chunk of BEXT_BYTES: one long coding history line.
#include "wav_builder.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/types.h>

namespace
{

std::string InfoList()
{
    return wavgen::Chunk("LIST", "INFO" + wavgen::Chunk("INAM", std::string("Sparse take\0", 12)) +
                                     wavgen::Chunk("ISFT", std::string("make_json_wav\0", 14)));
}

int Sparse(const char* path, const std::string& magic, uint64_t dataBytes)
{
    if (magic != "RF64" && magic != "BW64") {
        fprintf(stderr, "make_json_wav: the container is RF64 or BW64\n");
        return 2;
    }
    dataBytes -= dataBytes % 4; // whole 4-byte frames, so no pad byte
    const std::string after = InfoList();
    // The header's length does not depend on the sizes in it.
    auto header = [&](uint64_t riffSize) {
        return wavgen::Wave(
            wavgen::Chunk("ds64", wavgen::Ds64Body(riffSize, dataBytes, dataBytes / 4)) +
                wavgen::Chunk("fmt ", wavgen::FmtBody(1, 2, 48000, 16)) +
                wavgen::RawChunk("data", 0xFFFFFFFFu, ""),
            magic);
    };
    const uint64_t fileBytes = header(0).size() + dataBytes + after.size();
    const std::string head = header(fileBytes - 8);
    FILE* f = fopen(path, "wb");
    if (!f) {
        perror(path);
        return 1;
    }
    const bool ok = fwrite(head.data(), 1, head.size(), f) == head.size() &&
                    fseeko(f, static_cast<off_t>(head.size() + dataBytes), SEEK_SET) == 0 &&
                    fwrite(after.data(), 1, after.size(), f) == after.size();
    if (fclose(f) != 0 || !ok) {
        perror(path);
        return 1;
    }
    return 0;
}

std::string Track(unsigned n)
{
    const std::string i = std::to_string(n);
    return "<TRACK><CHANNEL_INDEX>" + i + "</CHANNEL_INDEX><INTERLEAVE_INDEX>" + i +
           "</INTERLEAVE_INDEX><NAME>Track " + i + "</NAME></TRACK>\n";
}

// With `reference`, the project's name holds an entity reference: such a
// body is parsed twice (its references are checked on a parse that keeps them).
int Ixml(const char* path, uint64_t ixmlBytes, bool reference)
{
    const std::string open = std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<BWFXML>\n"
                                         "<IXML_VERSION>1.61</IXML_VERSION>\n<PROJECT>") +
                             (reference ? "Bench &amp; Co" : "Bench") +
                             "</PROJECT>\n<SCENE>1A</SCENE>\n<TAKE>3</TAKE>\n<TRACK_LIST>\n";
    const std::string close = "</TRACK_LIST>\n</BWFXML>\n";
    // Room for the track count's element, at its widest.
    const size_t countRoom = std::string("<TRACK_COUNT>4294967295</TRACK_COUNT>\n").size();
    std::string tracks;
    unsigned n = 0;
    for (;; n++) {
        const std::string t = Track(n + 1);
        if (open.size() + countRoom + tracks.size() + t.size() + close.size() > ixmlBytes)
            break;
        tracks += t;
    }
    std::string xml = open;
    xml.insert(xml.find("<TRACK_LIST>"), "<TRACK_COUNT>" + std::to_string(n) + "</TRACK_COUNT>\n");
    xml += tracks;
    xml += close;
    if (xml.size() > ixmlBytes) {
        fprintf(stderr, "make_json_wav: %llu bytes are too few for an iXML document\n",
                static_cast<unsigned long long>(ixmlBytes));
        return 2;
    }
    xml.insert(xml.size() - close.size(), std::string(ixmlBytes - xml.size(), ' '));
    const std::string audio(48000 * 4, '\0');
    const std::string file = wavgen::Wave(wavgen::Chunk("fmt ", wavgen::FmtBody(1, 2, 48000, 16)) +
                                          wavgen::Chunk("iXML", xml) + wavgen::Chunk("data", audio));
    if (!wavgen::WriteFile(path, file)) {
        perror(path);
        return 1;
    }
    printf("%u\n", n);
    return 0;
}

// A bext chunk whose coding history fills it to `bextBytes`: one long line
// of process descriptions, the longest text a record can hold.
int Bext(const char* path, uint64_t bextBytes)
{
    wavgen::BextFields b;
    b.version = 2;
    b.description = "Long coding history";
    const size_t fixed = wavgen::BextBody(b).size();
    while (fixed + b.codingHistory.size() < bextBytes)
        b.codingHistory += "A=PCM,F=48000,W=24,M=stereo,T=bench; ";
    b.codingHistory.resize(bextBytes > fixed ? bextBytes - fixed : 0);
    const std::string audio(48000 * 4, '\0');
    const std::string file = wavgen::Wave(wavgen::Chunk("fmt ", wavgen::FmtBody(1, 2, 48000, 16)) +
                                          wavgen::Chunk("bext", wavgen::BextBody(b)) +
                                          wavgen::Chunk("data", audio));
    if (!wavgen::WriteFile(path, file)) {
        perror(path);
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::strcmp(argv[1], "sparse") == 0)
        return Sparse(argv[2], argv[3], strtoull(argv[4], nullptr, 10));
    const bool reference = argc == 5 && std::strcmp(argv[4], "reference") == 0;
    if ((argc == 4 || reference) && std::strcmp(argv[1], "ixml") == 0)
        return Ixml(argv[2], strtoull(argv[3], nullptr, 10), reference);
    if (argc == 4 && std::strcmp(argv[1], "bext") == 0)
        return Bext(argv[2], strtoull(argv[3], nullptr, 10));
    fprintf(stderr, "usage: make_json_wav sparse OUT.wav RF64|BW64 DATA_BYTES\n"
                    "       make_json_wav ixml OUT.wav IXML_BYTES [reference]\n"
                    "       make_json_wav bext OUT.wav BEXT_BYTES\n");
    return 2;
}
