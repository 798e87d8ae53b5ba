// Enciphered hexadecimal export of small non-audio chunks: one RC4 stream per
// run, written on numbered "com.velmarin.NN=" lines of 32 bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

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

// Returns the export to its start: nothing written, the cipher unkeyed.
void ResetExport();

// Continues an export as if `charCount` bytes had been written on
// `lineCount` lines (an export keyed earlier); lets a test reach the 2^32 wrap.
void ResumeExportAt(uint32_t charCount, uint32_t lineCount);

// Writes one byte of the export stream enciphered, as two upper-case hex
// digits; the first byte of the run draws the nonce and keys the cipher.
void outdump(uint8_t byte);

// Exports one chunk, header and pad byte included, starting at `offset`
// (where its header starts); `steppedSize` is its size rounded up to even.
// A chunk that cannot be read to its end stops the process with status 1,
// except that a missing last byte is exported as a zero byte.
void RIFFDumpChunk(int fd, uint64_t offset, uint64_t steppedSize);
