// The 16-bit mono downmix of interleaved integer PCM.
#pragma once

#include "cpu.h"

#include <cstdint>

namespace sondrel {

// Mixes `nbytes` of interleaved little-endian signed PCM (`nchannels` samples
// of `bytesPerSample` bytes per frame) in place into 16-bit little-endian mono:
// the top 16 bits of each sample summed, divided by the channel count toward
// zero.  A trailing partial frame is dropped with a warning.  Returns the bytes
// of mono output, 2 per whole frame.  Requires nbytes >= 0,
// bytesPerSample >= 2 and nchannels > 0.
int32_t PCMToMono(void* buffer, int32_t nbytes, int32_t bytesPerSample, int32_t nchannels);

// PCMToMono with the fast paths built for `isa` (one the processor runs);
// PCMToMono itself uses the widest.  The AVX-512 build keeps to 256-bit
// registers: 512-bit shuffles ran slower on every processor measured.
int32_t PCMToMonoWith(Isa isa, void* buffer, int32_t nbytes, int32_t bytesPerSample,
                      int32_t nchannels);

// The same mix done by the plain frame-by-frame loop, which PCMToMono uses for
// layouts without a fast path; the fast paths must match it bit for bit.
int32_t PCMToMonoReference(void* buffer, int32_t nbytes, int32_t bytesPerSample, int32_t nchannels);

} // namespace sondrel
