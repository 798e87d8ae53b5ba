// Reads the audio once and measures it: the MD5 of its bytes and its
// loudness (EBU R 128), for the inspector's --md5 and --loudness.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// How the audio bytes are laid out, as the inspector decoded the "fmt " chunk.
struct AudioLayout {
    uint16_t sampleTag = 0; // 1 integer PCM, 3 IEEE float (the sub-format's for extensible), ...
    uint16_t channels = 0;
    uint32_t sampleRate = 0;
    uint16_t blockAlign = 0;
    uint16_t bitsPerSample = 0;
    std::optional<uint32_t> channelMask; // extensible formats only
};

// The five loudness figures; null where the audio cannot give one (silence,
// audio shorter than the measuring window).
struct LoudnessFigures {
    std::optional<double> integratedLufs;
    std::optional<double> rangeLu;
    std::optional<double> maxTruePeakDbtp;
    std::optional<double> maxMomentaryLufs;
    std::optional<double> maxShortTermLufs;
};

struct VerifyRequest {
    bool md5 = false;
    bool loudness = false;
    // Called now and then with the bytes read so far (may be empty).
    std::function<void(uint64_t done)> progress;
    // Bytes read at a time; 0 for the default (about 1 MiB).
    size_t blockBytes = 0;
};

struct VerifyResult {
    std::optional<std::array<uint8_t, 16>> md5; // with md5: the digest of the bytes read
    bool loudnessMeasurable = false;            // with loudness: false for compressed or
                                                // unmeasurable rate / channel layouts
    std::optional<LoudnessFigures> loudness;    // with loudness, when measurable
    uint64_t bytesRead = 0;                     // less than asked at a cut or read error
    int readError = 0;                          // errno of a failed read, else 0
};

// True when libebur128 can measure this layout (integer PCM of 8/16/24/32
// bits or float of 32/64 bits, a usable rate and channel count).
bool LoudnessMeasurable(const AudioLayout& layout);

// Reads `bytes` bytes of audio from `offset` of `fd` (pread: the file
// position is left alone) in blocks, feeding the MD5 and the loudness meter
// as asked.  Memory stays constant in the audio's size.  Nothing is read
// when neither an MD5 nor a measurable loudness is asked for; a trailing
// partial frame is hashed but not measured.
VerifyResult VerifyAudio(int fd, uint64_t offset, uint64_t bytes, const AudioLayout& layout,
                         const VerifyRequest& request);

// The true peak of interleaved float audio as libebur128 finds it (its
// 49-tap interpolator: 4x oversampling below 96 kHz, 2x below 192 kHz, the
// samples alone above), in vector code: libebur128's own takes three
// quarters of its time.  The sample peak is included, as there.
class TruePeakMeter
{
  public:
    TruePeakMeter(unsigned channels, uint32_t sampleRate);
    void Add(const float* frames, size_t count);
    // Linear peak over all channels so far (0 for silence).
    double Peak() const { return peak_; }

  private:
    unsigned channels_;
    unsigned taps_ = 0;         // per oversampled phase; 0 without oversampling
    std::vector<float> coeff_;  // each phase's taps, oldest sample first
    std::vector<float> memory_; // the last taps_ - 1 samples of each channel
    std::vector<float> work_;   // one channel's memory and new samples
    double peak_ = 0;
};
