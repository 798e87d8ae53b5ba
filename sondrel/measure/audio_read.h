// Reads the audio once and measures it: the MD5 of its bytes, its
// loudness (EBU R 128) and what the signal says, for the inspector's
// --md5, --loudness and --signal.
#pragma once

#include "measure/loudness.h"
#include "measure/samples.h"
#include "measure/signal.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>

namespace sondrel {

struct MeasureRequest {
    bool md5 = false;
    bool loudness = false;
    // Called now and then with the bytes read so far (may be empty).
    std::function<void(uint64_t done)> progress;
    // Bytes read at a time; 0 for the default (about 1 MiB).
    size_t blockBytes = 0;
    bool signal = false;
};

struct MeasureResult {
    std::optional<std::array<uint8_t, 16>> md5; // with md5: the digest of the bytes read
    bool loudnessMeasurable = false;            // with loudness: false for compressed or
                                                // unmeasurable rate / channel layouts
    std::optional<LoudnessFigures> loudness;    // with loudness, when measurable; rounded
    std::optional<SignalFigures> signal;        // with signal, when measurable
    uint64_t bytesRead = 0;                     // less than asked at a cut or read error
    int readError = 0;                          // errno of a failed read, else 0
};

// True for the layouts the meter takes: integer PCM of 1 to 32 bits, float
// of 32 or 64 bits, A-law and mu-law of 8 bits; 1 to 64 channels at 8 kHz to
// 768 kHz, frames of whole samples.
bool LoudnessMeasurable(const AudioLayout& layout);

// Reads `bytes` bytes of audio from `offset` of `fd` (pread: the file
// position is left alone) in blocks, feeding the MD5, the loudness meter and
// the signal measures as asked.  Memory stays constant in the audio's size.
// Nothing is read when nothing measurable is asked for; a trailing partial
// frame is hashed but not measured.
MeasureResult ReadAndMeasure(int fd, uint64_t offset, uint64_t bytes, const AudioLayout& layout,
                             const MeasureRequest& request);

} // namespace sondrel
