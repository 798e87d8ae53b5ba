// Runs the audio MD5 and loudness measurement on a WAVE file's data chunk,
// for timing against md5sum and ffmpeg:
//   measure_file [--md5] [--loudness] [--plain] FILE
// --plain measures with libebur128 alone (its own true peak), the baseline.
#include "bytes.h"
#include "io.h"
#include "measure/audio_read.h"

#include <ebur128.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace sondrel;

namespace
{

struct DataRange {
    AudioLayout layout;
    uint64_t offset = 0;
    uint64_t bytes = 0;
};

// The first "fmt " and "data" chunks; RF64 and BW64 data sized by ds64.
bool FindData(int fd, DataRange& r)
{
    struct stat st {
    };
    unsigned char h[40];
    int err = 0;
    if (fstat(fd, &st) != 0 || ReadAt(fd, 0, h, 12, &err) != 12)
        return false;
    if (memcmp(h, "RIFF", 4) != 0 && memcmp(h, "RF64", 4) != 0 && memcmp(h, "BW64", 4) != 0)
        return false;
    const auto fileBytes = static_cast<uint64_t>(st.st_size);
    uint64_t ds64Data = UINT64_MAX;
    for (uint64_t at = 12; ReadAt(fd, at, h, 8, &err) == 8;) {
        uint64_t size = LoadLE32(h + 4);
        if (memcmp(h, "ds64", 4) == 0 && size >= 16 && ReadAt(fd, at + 8, h + 8, 16, &err) == 16)
            ds64Data = LoadLE64(h + 16);
        if (memcmp(h, "data", 4) == 0) {
            if (size == 0xFFFFFFFF)
                size = ds64Data;
            r.offset = at + 8;
            r.bytes = std::min(size, fileBytes - r.offset);
            return r.layout.channels != 0;
        }
        if (memcmp(h, "fmt ", 4) == 0 && size >= 16 && ReadAt(fd, at + 8, h, 40, &err) >= 16) {
            r.layout.sampleTag = LoadLE16(h);
            r.layout.channels = LoadLE16(h + 2);
            r.layout.sampleRate = LoadLE32(h + 4);
            r.layout.blockAlign = LoadLE16(h + 12);
            r.layout.bitsPerSample = LoadLE16(h + 14);
            if (r.layout.sampleTag == 0xFFFE && size >= 40) {
                r.layout.channelMask = LoadLE32(h + 20);
                r.layout.sampleTag = LoadLE16(h + 24);
            }
        }
        at += 8 + size + (size & 1);
    }
    return false;
}

void Print(const char* name, const std::optional<double>& v)
{
    if (v)
        printf("%s %.2f\n", name, *v);
    else
        printf("%s null\n", name);
}

// libebur128 as one would use it plainly: 16- and 24-bit integer PCM only.
int Plain(int fd, const DataRange& r)
{
    const AudioLayout& l = r.layout;
    ebur128_state* st = ebur128_init(l.channels, l.sampleRate,
                                     EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK |
                                         EBUR128_MODE_HISTOGRAM);
    const size_t frameBytes = l.blockAlign;
    if (!st || l.sampleTag != 1 || (l.bitsPerSample != 16 && l.bitsPerSample != 24))
        return 1;
    std::vector<unsigned char> raw(frameBytes * 4800);
    std::vector<int> frames(raw.size());
    const unsigned b = l.bitsPerSample / 8;
    int err = 0;
    for (uint64_t at = 0; at < r.bytes;) {
        const size_t got = ReadAt(fd, r.offset + at, raw.data(),
                                  std::min<uint64_t>(raw.size(), r.bytes - at), &err);
        const size_t n = got / frameBytes;
        for (size_t i = 0; i < n * l.channels; i++) {
            const unsigned char* p = raw.data() + i * b;
            const uint32_t u =
                b == 2 ? uint32_t{LoadLE16(p)} << 16
                       : (uint32_t{p[0]} << 8) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 24);
            frames[i] = static_cast<int>(u);
        }
        ebur128_add_frames_int(st, frames.data(), n);
        if (got < raw.size())
            break;
        at += got;
    }
    double v = 0, peak = 0;
    ebur128_loudness_global(st, &v);
    printf("integrated %.2f\n", v);
    ebur128_loudness_range(st, &v);
    printf("range %.2f\n", v);
    for (unsigned c = 0; c < l.channels; c++) {
        ebur128_true_peak(st, c, &v);
        peak = std::max(peak, v);
    }
    printf("true_peak %.2f\n", 20 * std::log10(peak));
    ebur128_destroy(&st);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    MeasureRequest request;
    bool plain = false;
    const char* path = nullptr;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--md5")
            request.md5 = true;
        else if (a == "--loudness")
            request.loudness = true;
        else if (a == "--plain")
            plain = true;
        else
            path = argv[i];
    }
    DataRange r;
    const int fd = path ? open(path, O_RDONLY) : -1;
    if (fd < 0 || !FindData(fd, r)) {
        fprintf(stderr, "usage: measure_file [--md5] [--loudness] [--plain] FILE.wav\n");
        return 2;
    }
    if (plain)
        return Plain(fd, r);
    const MeasureResult v = ReadAndMeasure(fd, r.offset, r.bytes, r.layout, request);
    if (v.md5) {
        for (uint8_t byte : *v.md5)
            printf("%02x", byte);
        printf("\n");
    }
    if (v.loudness) {
        Print("integrated", v.loudness->integratedLufs);
        Print("range", v.loudness->rangeLu);
        Print("true_peak", v.loudness->maxTruePeakDbtp);
        Print("momentary", v.loudness->maxMomentaryLufs);
        Print("short_term", v.loudness->maxShortTermLufs);
    } else if (request.loudness) {
        printf("loudness unmeasurable\n");
    }
    close(fd);
    return v.readError == 0 ? 0 : 1;
}
