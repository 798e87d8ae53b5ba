// Writes a large PCM WAVE file of noise for the streaming comparisons:
//   make_bench_wav OUT.wav CHANNELS BITS MEGABYTES
#include "wav_builder.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: make_bench_wav OUT.wav CHANNELS BITS MEGABYTES\n");
        return 2;
    }
    const auto channels = static_cast<uint16_t>(atoi(argv[2]));
    const auto bits = static_cast<uint16_t>(atoi(argv[3]));
    const uint64_t frameBytes = static_cast<uint64_t>(channels) * ((bits + 7) / 8);
    const uint64_t wanted = strtoull(argv[4], nullptr, 10) << 20;
    if (channels == 0 || bits < 8 || wanted == 0 || wanted > 0xFFFF0000u) {
        fprintf(stderr, "make_bench_wav: channels, bits or size out of range\n");
        return 2;
    }
    const auto dataBytes = static_cast<uint32_t>(wanted - wanted % frameBytes);
    std::string fmt = wavgen::Chunk("fmt ", wavgen::FmtBody(1, channels, 48000, bits));
    std::string head = wavgen::Wave(fmt + "data" + wavgen::LE32(dataBytes));
    // The RIFF size must count the audio that follows the header.
    const std::string riffSize = wavgen::LE32(static_cast<uint32_t>(head.size() - 8 + dataBytes));
    head.replace(4, 4, riffSize);
    FILE* f = fopen(argv[1], "wb");
    if (!f) {
        perror(argv[1]);
        return 1;
    }
    bool ok = fwrite(head.data(), 1, head.size(), f) == head.size();
    std::mt19937_64 rng(2024);
    std::vector<uint64_t> block(1 << 17);
    for (uint64_t left = dataBytes; ok && left > 0;) {
        for (auto& v : block)
            v = rng();
        const size_t n = left < block.size() * 8 ? static_cast<size_t>(left) : block.size() * 8;
        ok = fwrite(block.data(), 1, n, f) == n;
        left -= n;
    }
    if (fclose(f) != 0 || !ok) {
        perror(argv[1]);
        return 1;
    }
    return 0;
}
