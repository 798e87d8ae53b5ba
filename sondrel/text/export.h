// Enciphered hexadecimal export of small non-audio chunks: one RC4 stream per
// run, written on numbered "com.velmarin.NN=" lines of 32 bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace sondrel {

// RC4 generator state; i and j always stay within 0..255.
struct Rc4State {
    std::array<uint8_t, 256> S;
    uint32_t i;
    uint32_t j;
};

// The RC4 key schedule over the first `keyLength` bytes of `key` (keyLength > 0).
void RC4Init(Rc4State& state, const uint8_t* key, size_t keyLength);

// The next RC4 keystream byte.
uint8_t RC4Output(Rc4State& state);

constexpr char ExportKeyTemplate[] = "kiv.lorhamer.x7q2=";
// The terminating zero byte belongs to the key: decoders schedule all 19 bytes.
constexpr size_t ExportKeyLength = sizeof ExportKeyTemplate;

// The export of one run: one stream, keyed once, on numbered lines.
struct ExportStream {
    uint32_t CharCount = 0; // bytes written so far, the clear nonce included
    uint32_t LineCount = 0; // lines started so far
    std::array<uint8_t, ExportKeyLength> key = MakeExportKey();
    Rc4State Rc4{};

    static constexpr std::array<uint8_t, ExportKeyLength> MakeExportKey()
    {
        std::array<uint8_t, ExportKeyLength> k{};
        for (size_t n = 0; n < ExportKeyLength; n++)
            k[n] = static_cast<uint8_t>(ExportKeyTemplate[n]);
        return k;
    }
};

// Writes one byte of the export stream enciphered, as two upper-case hex
// digits; the first byte of the run draws the nonce and keys the cipher.
void outdump(ExportStream& e, uint8_t byte);

// Exports one chunk, header and pad byte included, starting at `offset`
// (where its header starts); `steppedSize` is its size rounded up to even.
// A chunk that cannot be read to its end stops the process with status 1,
// except that a missing last byte is exported as a zero byte.
void RIFFDumpChunk(ExportStream& e, int fd, uint64_t offset, uint64_t steppedSize);

} // namespace sondrel
