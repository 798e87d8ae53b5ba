// What a file that is not WAVE is.
#include "inspect/identify.h"

#include "bytes.h"
#include "file_text.h"
#include "riff.h"

#include <cstring>

namespace sondrel {

namespace
{

bool StartsWith(const unsigned char* head, size_t size, const void* magic, size_t n, size_t at = 0)
{
    return size >= at + n && std::memcmp(head + at, magic, n) == 0;
}

// An MPEG audio frame header: 11 sync bits, then a version, layer, bit rate
// and sample rate that are not the reserved values (layer 0 is ADTS AAC).
bool MpegFrameSync(const unsigned char* h, size_t size)
{
    return size >= 3 && h[0] == 0xFF && (h[1] & 0xE0) == 0xE0 && ((h[1] >> 3) & 3) != 1 &&
           ((h[1] >> 1) & 3) != 0 && (h[2] >> 4) != 15 && ((h[2] >> 2) & 3) != 3;
}

} // namespace

std::string IdentifyFile(const unsigned char* h, size_t size)
{
    // Wave64's RIFF GUID.
    static constexpr unsigned char W64[16] = {'r',  'i',  'f',  'f',  0x2E, 0x91, 0xCF, 0x11,
                                              0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};
    if (StartsWith(h, size, "fLaC", 4))
        return "a FLAC file";
    if (StartsWith(h, size, "FORM", 4) && StartsWith(h, size, "AIFF", 4, 8))
        return "an AIFF file";
    if (StartsWith(h, size, "FORM", 4) && StartsWith(h, size, "AIFC", 4, 8))
        return "an AIFF-C file";
    if (StartsWith(h, size, W64, sizeof W64))
        return "a Wave64 file";
    if (StartsWith(h, size, "RIFX", 4))
        return StartsWith(h, size, "WAVE", 4, 8) ? "a big-endian RIFX WAVE file"
                                                 : "a big-endian RIFX file";
    if (StartsWith(h, size, "OggS", 4))
        return "an Ogg file";
    if (StartsWith(h, size, "ID3", 3))
        return "an MP3 file (it starts with an ID3 tag)";
    if (MpegFrameSync(h, size))
        return "an MP3 file (it starts with an MPEG audio frame)";
    if (StartsWith(h, size, "caff", 4))
        return "a CAF file";
    if (size >= 12 && MagicOf(h) != Magic::Other)
        return std::string(MagicOf(h) == Magic::Rf64 && h[0] == 'R' ? "an " : "a ") +
               Text(IdAt(h)) + " file of form type " + Quoted(IdAt(h + 8));
    return {};
}

} // namespace sondrel
