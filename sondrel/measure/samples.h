// Audio bytes to float samples, full scale 1.0, for every format the
// loudness meter takes: integer PCM, IEEE float, A-law and mu-law.
#pragma once

#include "cpu.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace sondrel {

// How the audio bytes are laid out, as the inspector decoded the "fmt " chunk.
struct AudioLayout {
    uint16_t sampleTag = 0; // 1 integer PCM, 3 IEEE float (the sub-format's for extensible), ...
    uint16_t channels = 0;
    uint32_t sampleRate = 0;
    uint16_t blockAlign = 0;
    uint16_t bitsPerSample = 0;
    std::optional<uint32_t> channelMask; // extensible formats only
    uint16_t validBits = 0;              // extensible formats: the bits a sample uses
};

enum class SampleKind { U8, S16, S24, S32, F32, F64, ALaw, MuLaw, None };

// None for layouts whose samples cannot be turned into numbers.
SampleKind KindOf(const AudioLayout& layout);

// Bytes one sample takes.
unsigned BytesOf(SampleKind kind);

// Converts `samples` samples to float.  NaN and infinity become 0: one such
// sample would make every later figure NaN.
void ToFloat(SampleKind kind, const unsigned char* in, size_t samples, float* out);

// ToFloat built for `isa` (one the processor runs); ToFloat uses the widest.
void ToFloatWith(Isa isa, SampleKind kind, const unsigned char* in, size_t samples, float* out);

// ITU-T G.711 expansion of one code to 16-bit linear PCM (A-law's 13-bit
// and mu-law's 14-bit values shifted to the top).
int16_t ALawToLinear(uint8_t code);
int16_t MuLawToLinear(uint8_t code);

} // namespace sondrel
