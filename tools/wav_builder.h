// Builds RIFF/RF64/BW64 WAVE files byte by byte, for the tests and for the
// bundled example file.  Every field is written little-endian by hand, so a
// test can forge any size field it likes.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace wavgen
{

inline std::string LE16(uint16_t v)
{
    return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}
inline std::string LE32(uint32_t v)
{
    return LE16(static_cast<uint16_t>(v)) + LE16(static_cast<uint16_t>(v >> 16));
}
inline std::string LE64(uint64_t v)
{
    return LE32(static_cast<uint32_t>(v)) + LE32(static_cast<uint32_t>(v >> 32));
}

// A chunk whose size field says `sizeField`, whatever the body holds; the pad
// byte follows an odd-sized body unless `pad` is false.
inline std::string RawChunk(std::string_view id, uint32_t sizeField, std::string_view body,
                            bool pad = true)
{
    std::string c(id.substr(0, 4));
    c.resize(4, ' ');
    c += LE32(sizeField);
    c += body;
    if (pad && body.size() % 2 == 1)
        c += '\0';
    return c;
}

// An honest chunk: the size field is the body's length.
inline std::string Chunk(std::string_view id, std::string_view body)
{
    return RawChunk(id, static_cast<uint32_t>(body.size()), body);
}

// The 12-byte file header and the chunks.  RIFF files get their true size;
// RF64/BW64 files get the 0xFFFFFFFF that sends readers to ds64.
inline std::string Wave(std::string_view chunks, std::string_view magic = "RIFF")
{
    std::string f(magic);
    uint32_t size = magic == "RIFF" ? static_cast<uint32_t>(chunks.size() + 4) : 0xFFFFFFFFu;
    f += LE32(size);
    f += "WAVE";
    f += chunks;
    return f;
}

// A 16-byte "fmt " body (no extension).
inline std::string FmtBody(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits)
{
    uint16_t align = static_cast<uint16_t>(channels * ((bits + 7) / 8));
    return LE16(tag) + LE16(channels) + LE32(rate) + LE32(rate * align) + LE16(align) + LE16(bits);
}

// A 40-byte extensible "fmt " body; `subFormatGroup` is the GUID's first
// group (1 for integer PCM, 3 for IEEE float), the rest the standard suffix.
inline std::string ExtensibleBody(uint16_t channels, uint32_t rate, uint16_t bits,
                                  uint32_t channelMask, uint32_t subFormatGroup = 1)
{
    std::string b = FmtBody(0xFFFE, channels, rate, bits);
    b += LE16(22);
    b += LE16(bits);
    b += LE32(channelMask);
    b += LE32(subFormatGroup);
    b += LE16(0x0000) + LE16(0x0010);
    b += std::string("\x80\x00\x00\xAA\x00\x38\x9B\x71", 8);
    return b;
}

// A ds64 body: RIFF size, data size, sample count, empty table.
inline std::string Ds64Body(uint64_t riffSize, uint64_t dataSize, uint64_t sampleCount)
{
    return LE64(riffSize) + LE64(dataSize) + LE64(sampleCount) + LE32(0);
}

struct BextFields {
    std::string description;
    std::string originator;
    std::string originatorReference;
    std::string originationDate; // "yyyy-mm-dd"
    std::string originationTime; // "hh:mm:ss"
    uint64_t timeReference = 0;
    uint16_t version = 1;
    std::string umid;          // up to 64 bytes
    std::string codingHistory; // stored as given, after the 602 fixed bytes
};

// A fixed-width text field: cut to `width`, padded with zero bytes.
inline std::string Field(std::string_view text, size_t width)
{
    std::string f(text.substr(0, width));
    f.resize(width, '\0');
    return f;
}

inline std::string BextBody(const BextFields& b)
{
    std::string body = Field(b.description, 256) + Field(b.originator, 32) +
                       Field(b.originatorReference, 32) + Field(b.originationDate, 10) +
                       Field(b.originationTime, 8) + LE64(b.timeReference) + LE16(b.version) +
                       Field(b.umid, 64) + std::string(190, '\0');
    return body + b.codingHistory;
}

// Interleaved little-endian PCM of sine tones, one frequency per channel.
inline std::string SinePCM(uint32_t rate, uint16_t bits, uint32_t frames, const double* frequencies,
                           uint16_t channels, double level = 0.5)
{
    const double pi = 3.14159265358979323846;
    const int bytes = bits / 8;
    const double full = std::ldexp(1.0, bits - 1) - 1.0;
    std::string pcm;
    pcm.reserve(static_cast<size_t>(frames) * channels * bytes);
    for (uint32_t n = 0; n < frames; n++) {
        for (uint16_t c = 0; c < channels; c++) {
            double x = level * std::sin(2 * pi * frequencies[c] * n / rate);
            auto v = static_cast<int64_t>(std::lround(x * full));
            for (int k = 0; k < bytes; k++)
                pcm += static_cast<char>((static_cast<uint64_t>(v) >> (8 * k)) & 0xFF);
        }
    }
    return pcm;
}

// Interleaved little-endian PCM from sample values, each cut to
// `bytesPerSample` (1..8) bytes, two's complement.
inline std::string PCMSamples(int bytesPerSample, const std::vector<int64_t>& samples)
{
    std::string pcm;
    for (int64_t v : samples)
        for (int k = 0; k < bytesPerSample; k++)
            pcm += static_cast<char>((static_cast<uint64_t>(v) >> (8 * k)) & 0xFF);
    return pcm;
}

// `bytes` of reproducible noise.
inline std::string NoiseBytes(size_t bytes, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::string noise(bytes, '\0');
    for (char& c : noise)
        c = static_cast<char>(rng() & 0xFF);
    return noise;
}

// The 16-bit mono mix of interleaved signed PCM (2..8 bytes per sample) by the
// rule users are told: each sample's value shifted right, sign kept, to 16
// bits, summed, divided by the channel count toward zero, clamped, stored
// little-endian; a trailing partial frame is dropped.
inline std::string Mono16Of(std::string_view pcm, int bytesPerSample, int channels)
{
    const size_t frameBytes = static_cast<size_t>(bytesPerSample) * channels;
    const int unused = 64 - 8 * bytesPerSample;
    std::string mono;
    for (size_t f = 0; f + frameBytes <= pcm.size(); f += frameBytes) {
        int64_t sum = 0;
        for (int c = 0; c < channels; c++) {
            uint64_t raw = 0;
            for (int k = 0; k < bytesPerSample; k++)
                raw |= static_cast<uint64_t>(static_cast<uint8_t>(
                           pcm[f + static_cast<size_t>(c * bytesPerSample + k)]))
                       << (8 * k);
            const int64_t value = static_cast<int64_t>(raw << unused) >> unused;
            sum += value >> (8 * (bytesPerSample - 2));
        }
        const int64_t m = std::clamp<int64_t>(sum / channels, -32768, 32767);
        mono += static_cast<char>(m & 0xFF);
        mono += static_cast<char>((m >> 8) & 0xFF);
    }
    return mono;
}

inline bool WriteFile(const std::string& path, std::string_view bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

// An RF64 or BW64 file of 16-bit stereo whose `dataSize` bytes of audio are a
// hole (the file is sparse and costs no disk), then `after` past the pad byte.
inline bool WriteSparseRf64(const std::string& path, std::string_view magic, uint64_t dataSize,
                            uint64_t sampleCount, std::string_view after)
{
    const std::string head =
        Wave(Chunk("ds64", Ds64Body(0, dataSize, sampleCount)) +
                 Chunk("fmt ", FmtBody(1, 2, 48000, 16)) + RawChunk("data", 0xFFFFFFFF, ""),
             magic);
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const auto afterAt = static_cast<off_t>(head.size() + dataSize + dataSize % 2);
    bool ok = fwrite(head.data(), 1, head.size(), f) == head.size() &&
              fseeko(f, afterAt, SEEK_SET) == 0 &&
              fwrite(after.data(), 1, after.size(), f) == after.size();
    return fclose(f) == 0 && ok;
}

} // namespace wavgen
