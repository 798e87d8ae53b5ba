// One read of the audio feeding the MD5 and the loudness meter.  The reading
// thread hashes, converts to float and finds the true peak; a second thread
// runs libebur128 on the converted blocks.
#include "verify.h"

#include "io.h"

#include <ebur128.h>
#include <openssl/evp.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace
{

static_assert(std::endian::native == std::endian::little,
              "samples are loaded with memcpy as little-endian words");

enum class Kind { U8, S16, S24, S32, F32, F64, None };

Kind KindOf(const AudioLayout& l)
{
    if (l.sampleTag == 3)
        return l.bitsPerSample == 32 ? Kind::F32 : l.bitsPerSample == 64 ? Kind::F64 : Kind::None;
    if (l.sampleTag != 1 || l.bitsPerSample == 0 || l.bitsPerSample > 32)
        return Kind::None;
    // Samples narrower than their container are left-justified in it.
    static constexpr Kind byWidth[] = {Kind::U8, Kind::S16, Kind::S24, Kind::S32};
    return byWidth[(l.bitsPerSample + 7) / 8 - 1];
}

constexpr unsigned BytesOf(Kind k)
{
    switch (k) {
    case Kind::U8: return 1;
    case Kind::S16: return 2;
    case Kind::S24: return 3;
    case Kind::S32:
    case Kind::F32: return 4;
    case Kind::F64: return 8;
    case Kind::None: break;
    }
    return 0;
}

// libebur128 takes 16 Hz to 2.8224 MHz, but below about 3.4 kHz its
// weighting filter's 1.7 kHz shelf passes Nyquist, and the meter keeps 3 s
// of every channel as doubles: 24 bytes x rate x channels.  These bounds
// keep it to real rates and at most 150 MB.
constexpr uint32_t MinRate = 8000;
constexpr uint32_t MaxRate = 768000;
constexpr uint64_t MaxChannelRate = 64ull * 96000;
constexpr unsigned MaxChannels = 64; // libebur128's limit

constexpr size_t BlockBytes = 1 << 20; // ~1 MiB of whole frames per read
constexpr size_t Slots = 4;            // converted blocks in flight

// ---------------------------------------------------------------------------
// Samples to float, full scale 1.0.

template <Kind K> void ToFloat(const unsigned char* in, size_t samples, float* out)
{
    constexpr size_t B = BytesOf(K);
    for (size_t i = 0; i < samples; i++) {
        const unsigned char* p = in + i * B;
        if constexpr (K == Kind::U8) {
            out[i] = static_cast<float>(p[0] - 128) * (1.0f / 128);
        } else if constexpr (K == Kind::S16) {
            out[i] = static_cast<float>(static_cast<int16_t>(LoadLE16(p))) * (1.0f / 32768);
        } else if constexpr (K == Kind::S24) {
            const uint32_t u = (uint32_t{p[0]} << 8) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 24);
            out[i] = static_cast<float>(static_cast<int32_t>(u)) * (1.0f / 2147483648.0f);
        } else if constexpr (K == Kind::S32) {
            out[i] = static_cast<float>(static_cast<int32_t>(LoadLE32(p))) * (1.0f / 2147483648.0f);
        } else if constexpr (K == Kind::F32) {
            // NaN and infinity become silence: one such sample would make
            // every later figure NaN or infinite.
            const uint32_t u = LoadLE32(p);
            out[i] = (u & 0x7F800000u) == 0x7F800000u ? 0.0f : std::bit_cast<float>(u);
        } else {
            // As above; doubles beyond float's range are held at its edge.
            const uint64_t u = LoadLE64(p);
            const double d = (u & 0x7FF0000000000000u) == 0x7FF0000000000000u
                                 ? 0.0
                                 : std::clamp(std::bit_cast<double>(u), -double{FLT_MAX},
                                              double{FLT_MAX});
            out[i] = static_cast<float>(d);
        }
    }
}

void ToFloat(Kind k, const unsigned char* in, size_t samples, float* out)
{
    switch (k) {
    case Kind::U8: return ToFloat<Kind::U8>(in, samples, out);
    case Kind::S16: return ToFloat<Kind::S16>(in, samples, out);
    case Kind::S24: return ToFloat<Kind::S24>(in, samples, out);
    case Kind::S32: return ToFloat<Kind::S32>(in, samples, out);
    case Kind::F32: return ToFloat<Kind::F32>(in, samples, out);
    case Kind::F64: return ToFloat<Kind::F64>(in, samples, out);
    case Kind::None: return;
    }
}

// ---------------------------------------------------------------------------
// Channel roles.  LFE is left out; side and back pairs are the surrounds,
// weighted 1.41 as the standard weights channels 60 to 120 degrees off
// centre; a channel with no known position counts as a front one.

int RoleOfSpeaker(int bit)
{
    static constexpr int roles[18] = {
        EBUR128_LEFT,  EBUR128_RIGHT,          EBUR128_CENTER,        EBUR128_UNUSED, // FL FR FC LFE
        EBUR128_LEFT_SURROUND, EBUR128_RIGHT_SURROUND,                                 // BL BR
        EBUR128_MpSC,  EBUR128_MmSC,           EBUR128_Mp180,                          // FLC FRC BC
        EBUR128_LEFT_SURROUND, EBUR128_RIGHT_SURROUND,                                 // SL SR
        EBUR128_Tp000, EBUR128_Up030,          EBUR128_Up000,         EBUR128_Um030,  // TC TFL TFC TFR
        EBUR128_Up135, EBUR128_Up180,          EBUR128_Um135};                         // TBL TBC TBR
    return roles[bit];
}

// Without a mask, the usual WAVE order for the count (quad for four).
uint32_t DefaultMask(uint16_t channels)
{
    static constexpr uint32_t masks[9] = {0, 0x4, 0x3, 0x7, 0x33, 0x37, 0x3F, 0x70F, 0x63F};
    return channels < 9 ? masks[channels] : 0;
}

void SetChannelRoles(ebur128_state* st, const AudioLayout& l)
{
    const uint32_t mask = l.channelMask ? *l.channelMask : DefaultMask(l.channels);
    int bit = 0;
    for (unsigned c = 0; c < l.channels; c++) {
        while (bit < 18 && !(mask & (1u << bit)))
            bit++;
        ebur128_set_channel(st, c, bit < 18 ? RoleOfSpeaker(bit++) : EBUR128_CENTER);
    }
}

// ---------------------------------------------------------------------------
// True peak.  libebur128's interpolator is a Hann-windowed sinc of 49 taps
// split into one sub-filter per oversampled phase; phase 0 is the sample
// itself (the sample peak covers it), each other phase has T consecutive
// taps: 12 at 4x, 24 at 2x.

constexpr unsigned InterpolatorTaps = 49;
constexpr size_t PeakChunk = 1024; // frames deinterleaved at a time

unsigned OversamplingOf(uint32_t rate)
{
    return rate < 96000 ? 4 : rate < 192000 ? 2 : 1;
}

// Eight outputs at a time in a vector of the compilers' own (GCC and clang),
// which each target below compiles to its widest registers.
// No function takes or returns one: that would tie the calling convention
// to the target.
using Float8 = float __attribute__((vector_size(32)));

// Peak magnitude of the P phases over n outputs; w holds T - 1 older samples
// and then the n new ones; c holds each phase's taps, oldest sample first.
template <unsigned T, unsigned P>
[[gnu::always_inline]] inline float PhasePeak(const float* w, const float* c, size_t n)
{
    Float8 peak = {};
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        Float8 acc[P] = {};
        for (unsigned k = 0; k < T; k++) {
            Float8 x;
            std::memcpy(&x, w + i + k, sizeof x);
            for (unsigned p = 0; p < P; p++)
                acc[p] += c[p * T + k] * x;
        }
        for (unsigned p = 0; p < P; p++) {
            const Float8 a = acc[p] > 0 ? acc[p] : -acc[p];
            peak = a > peak ? a : peak;
        }
    }
    float top = 0;
    for (unsigned l = 0; l < 8; l++)
        top = std::max(top, peak[l]);
    for (; i < n; i++) {
        for (unsigned p = 0; p < P; p++) {
            float acc = 0;
            for (unsigned k = 0; k < T; k++)
                acc += c[p * T + k] * w[i + k];
            top = std::max(top, std::fabs(acc));
        }
    }
    return top;
}

using PhasePeakFn = float (*)(const float*, const float*, size_t);

template <unsigned T, unsigned P> float PhasePeakBase(const float* w, const float* c, size_t n)
{
    return PhasePeak<T, P>(w, c, n);
}

#if defined(__x86_64__) && defined(__GNUC__)
template <unsigned T, unsigned P>
[[gnu::target("avx2")]] float PhasePeakAvx2(const float* w, const float* c, size_t n)
{
    return PhasePeak<T, P>(w, c, n);
}
#endif

template <unsigned T, unsigned P> PhasePeakFn PickPhasePeak()
{
#if defined(__x86_64__) && defined(__GNUC__)
    if (__builtin_cpu_supports("avx2"))
        return PhasePeakAvx2<T, P>;
#endif
    return PhasePeakBase<T, P>;
}

float SamplePeak(const float* x, size_t n)
{
    float peak[8] = {};
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
        for (unsigned l = 0; l < 8; l++) {
            const float a = std::fabs(x[i + l]);
            peak[l] = a > peak[l] ? a : peak[l];
        }
    for (; i < n; i++)
        peak[0] = std::max(peak[0], std::fabs(x[i]));
    return *std::max_element(peak, peak + 8);
}

} // namespace

TruePeakMeter::TruePeakMeter(unsigned channels, uint32_t sampleRate) : channels_(channels)
{
    const unsigned factor = OversamplingOf(sampleRate);
    if (factor == 1)
        return;
    taps_ = (InterpolatorTaps + factor - 1) / factor - 1;
    coeff_.assign(static_cast<size_t>(factor - 1) * taps_, 0.0f);
    const double pi = 3.14159265358979323846;
    for (unsigned j = 0; j < InterpolatorTaps; j++) {
        const unsigned phase = j % factor;
        if (phase == 0)
            continue;
        const double m = j - (InterpolatorTaps - 1) / 2.0;
        const double x = m * pi / factor;
        const double c = std::sin(x) / x * 0.5 * (1 - std::cos(2 * pi * j / (InterpolatorTaps - 1)));
        // Tap j / factor applies to the sample that many frames back.
        coeff_[(phase - 1) * taps_ + (taps_ - 1 - j / factor)] = static_cast<float>(c);
    }
    memory_.assign(static_cast<size_t>(channels) * (taps_ - 1), 0.0f);
    work_.resize(taps_ - 1 + PeakChunk);
}

void TruePeakMeter::Add(const float* frames, size_t count)
{
    static const PhasePeakFn at4x = PickPhasePeak<12, 3>();
    static const PhasePeakFn at2x = PickPhasePeak<24, 1>();
    float peak = 0;
    if (taps_ == 0) {
        peak = SamplePeak(frames, count * channels_);
    }
    for (size_t base = 0; taps_ != 0 && base < count; base += PeakChunk) {
        const size_t n = std::min(PeakChunk, count - base);
        const size_t keep = taps_ - 1;
        for (unsigned c = 0; c < channels_; c++) {
            float* mem = memory_.data() + c * keep;
            std::copy(mem, mem + keep, work_.begin());
            const float* in = frames + base * channels_ + c;
            for (size_t i = 0; i < n; i++)
                work_[keep + i] = in[i * channels_];
            peak = std::max(peak, SamplePeak(work_.data() + keep, n));
            peak = std::max(peak, (taps_ == 12 ? at4x : at2x)(work_.data(), coeff_.data(), n));
            std::copy(work_.begin() + static_cast<ptrdiff_t>(n),
                      work_.begin() + static_cast<ptrdiff_t>(n + keep), mem);
        }
    }
    peak_ = std::max(peak_, double{peak});
}

namespace
{

// ---------------------------------------------------------------------------
// Loudness.  libebur128 in histogram mode (memory constant in the audio's
// length) does the filtering, gating and range.  The maxima of momentary and
// short-term loudness are read every 100 ms, the standard's update rate:
// libebur128 recomputes a window from its samples on each read, 30 times the
// audio for short-term, so it is asked only for each 100 ms step's energy
// and the 400 ms and 3 s windows are means of the last 4 and 30 steps.

struct StateFree {
    void operator()(ebur128_state* st) const { ebur128_destroy(&st); }
};

class Meter
{
  public:
    explicit Meter(const AudioLayout& l)
        : st_(ebur128_init(l.channels, l.sampleRate,
                           EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_HISTOGRAM)),
          step_((l.sampleRate + 5) / 10) // libebur128's own 100 ms
    {
        if (st_)
            SetChannelRoles(st_.get(), l);
    }
    bool Ready() const { return st_ != nullptr; }
    void Add(const float* frames, size_t count);
    LoudnessFigures Figures(double truePeak) const;

  private:
    void EndStep();

    std::unique_ptr<ebur128_state, StateFree> st_;
    size_t step_;
    size_t intoStep_ = 0;
    uint64_t steps_ = 0;
    std::array<double, 30> energy_{}; // the last 30 steps' energies, a ring
    double maxMomentary_ = 0;         // as energies
    double maxShortTerm_ = 0;
    bool failed_ = false;
};

void Meter::Add(const float* frames, size_t count)
{
    const unsigned channels = st_->channels;
    while (count > 0 && !failed_) {
        const size_t n = std::min(count, step_ - intoStep_);
        failed_ = ebur128_add_frames_float(st_.get(), frames, n) != EBUR128_SUCCESS;
        frames += n * channels;
        count -= n;
        intoStep_ += n;
        if (intoStep_ == step_)
            EndStep();
    }
}

double EnergyOf(double lufs)
{
    return std::isfinite(lufs) ? std::pow(10.0, (lufs + 0.691) / 10) : 0.0;
}

std::optional<double> LufsOf(double energy)
{
    const double l = 10 * std::log10(energy) - 0.691;
    return std::isfinite(l) ? std::optional(l) : std::nullopt;
}

void Meter::EndStep()
{
    intoStep_ = 0;
    double lufs = -HUGE_VAL;
    ebur128_loudness_window(st_.get(), 100, &lufs);
    energy_[steps_ % energy_.size()] = EnergyOf(lufs);
    steps_++;
    auto meanOfLast = [this](size_t k) {
        double sum = 0;
        for (size_t i = 1; i <= k; i++)
            sum += energy_[(steps_ - i) % energy_.size()];
        return sum / static_cast<double>(k);
    };
    if (steps_ >= 4)
        maxMomentary_ = std::max(maxMomentary_, meanOfLast(4));
    if (steps_ >= 30)
        maxShortTerm_ = std::max(maxShortTerm_, meanOfLast(30));
}

LoudnessFigures Meter::Figures(double truePeak) const
{
    LoudnessFigures f;
    if (failed_)
        return f;
    double v = -HUGE_VAL;
    if (ebur128_loudness_global(st_.get(), &v) == EBUR128_SUCCESS && std::isfinite(v))
        f.integratedLufs = v;
    // Silence has no range, and a range needs one 3 s window.
    if (f.integratedLufs && steps_ >= 30 &&
        ebur128_loudness_range(st_.get(), &v) == EBUR128_SUCCESS && std::isfinite(v))
        f.rangeLu = v;
    const double dbtp = 20 * std::log10(truePeak);
    if (std::isfinite(dbtp))
        f.maxTruePeakDbtp = dbtp;
    if (steps_ >= 4)
        f.maxMomentaryLufs = LufsOf(maxMomentary_);
    if (steps_ >= 30)
        f.maxShortTermLufs = LufsOf(maxShortTerm_);
    return f;
}

// ---------------------------------------------------------------------------
// A small ring of converted blocks between the reading thread and the meter.

struct Block {
    std::vector<float> samples;
    size_t frames = 0;
};

class BlockRing
{
  public:
    explicit BlockRing(size_t samplesPerBlock) : blocks_(Slots)
    {
        for (Block& b : blocks_)
            b.samples.resize(samplesPerBlock);
    }
    // The next block to fill, once the meter has finished with it.
    Block& Free()
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return count_ < blocks_.size(); });
        return blocks_[(first_ + count_) % blocks_.size()];
    }
    void Publish()
    {
        std::lock_guard lock(mutex_);
        count_++;
        changed_.notify_all();
    }
    void Finish()
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
        changed_.notify_all();
    }
    // The oldest filled block, or null once finished and drained.
    const Block* Next()
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return count_ > 0 || finished_; });
        return count_ > 0 ? &blocks_[first_] : nullptr;
    }
    void Release()
    {
        std::lock_guard lock(mutex_);
        first_ = (first_ + 1) % blocks_.size();
        count_--;
        changed_.notify_all();
    }

  private:
    std::vector<Block> blocks_;
    std::mutex mutex_;
    std::condition_variable changed_;
    size_t first_ = 0;
    size_t count_ = 0;
    bool finished_ = false;
};

// The meter's thread.  It is finished and joined also when reading throws.
class MeasuringThread
{
  public:
    MeasuringThread(BlockRing& ring, Meter& meter)
        : ring_(ring), thread_([&ring, &meter] {
              while (const Block* b = ring.Next()) {
                  meter.Add(b->samples.data(), b->frames);
                  ring.Release();
              }
          })
    {
    }
    ~MeasuringThread()
    {
        ring_.Finish();
        thread_.join();
    }
    MeasuringThread(const MeasuringThread&) = delete;
    MeasuringThread& operator=(const MeasuringThread&) = delete;

  private:
    BlockRing& ring_;
    std::thread thread_;
};

struct CtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using Md5Ctx = std::unique_ptr<EVP_MD_CTX, CtxFree>;

Md5Ctx StartMd5()
{
    Md5Ctx ctx(EVP_MD_CTX_new());
    if (ctx && EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1)
        ctx.reset();
    return ctx;
}

std::optional<std::array<uint8_t, 16>> FinishMd5(EVP_MD_CTX* ctx)
{
    std::array<uint8_t, 16> digest{};
    unsigned size = 0;
    if (!ctx || EVP_DigestFinal_ex(ctx, digest.data(), &size) != 1 || size != digest.size())
        return std::nullopt;
    return digest;
}

// What the reading loop feeds; loudness members are null when not measured.
struct Sinks {
    EVP_MD_CTX* md5 = nullptr;
    Kind kind = Kind::None;
    unsigned channels = 0;
    BlockRing* ring = nullptr;
    TruePeakMeter* peak = nullptr;
    Meter* meter = nullptr; // measured on this thread when there is no ring
};

// Returns false when hashing failed.
bool ReadAll(int fd, uint64_t offset, uint64_t bytes, size_t blockBytes, const Sinks& to,
             const VerifyRequest& request, VerifyResult& result)
{
    std::vector<unsigned char> raw(blockBytes);
    const size_t frameBytes = to.meter ? size_t{BytesOf(to.kind)} * to.channels : 1;
    Block local;
    bool md5Ok = true;
    while (result.bytesRead < bytes) {
        const size_t ask = static_cast<size_t>(std::min<uint64_t>(blockBytes, bytes - result.bytesRead));
        const size_t got = ReadAt(fd, offset + result.bytesRead, raw.data(), ask, &result.readError);
        result.bytesRead += got;
        if (to.md5 && got > 0)
            md5Ok = md5Ok && EVP_DigestUpdate(to.md5, raw.data(), got) == 1;
        if (to.meter && got >= frameBytes) {
            Block& b = to.ring ? to.ring->Free() : local;
            if (!to.ring)
                b.samples.resize(blockBytes / frameBytes * to.channels);
            b.frames = got / frameBytes;
            ToFloat(to.kind, raw.data(), b.frames * to.channels, b.samples.data());
            if (to.ring)
                to.ring->Publish();
            else
                to.meter->Add(b.samples.data(), b.frames);
            to.peak->Add(b.samples.data(), b.frames);
        }
        if (request.progress)
            request.progress(result.bytesRead);
        if (got < ask)
            break; // the end of the file, or a read error
    }
    return md5Ok;
}

} // namespace

bool LoudnessMeasurable(const AudioLayout& l)
{
    const Kind kind = KindOf(l);
    return kind != Kind::None && l.channels >= 1 && l.channels <= MaxChannels &&
           l.sampleRate >= MinRate && l.sampleRate <= MaxRate &&
           uint64_t{l.channels} * l.sampleRate <= MaxChannelRate &&
           l.blockAlign == l.channels * BytesOf(kind);
}

VerifyResult VerifyAudio(int fd, uint64_t offset, uint64_t bytes, const AudioLayout& layout,
                         const VerifyRequest& request)
{
    VerifyResult result;
    Md5Ctx md5 = request.md5 ? StartMd5() : nullptr;
    result.loudnessMeasurable = request.loudness && LoudnessMeasurable(layout);
    // Less than a frame has no figures: the meter's buffers are not worth making.
    std::unique_ptr<Meter> meter;
    if (result.loudnessMeasurable && bytes >= layout.blockAlign) {
        meter = std::make_unique<Meter>(layout);
        if (!meter->Ready())
            meter.reset();
        result.loudnessMeasurable = meter != nullptr;
    } else if (result.loudnessMeasurable) {
        result.loudness = LoudnessFigures{};
    }
    if (!request.md5 && !meter)
        return result; // nothing needs the audio

    // Buffers no larger than the audio, so small inputs cost little.
    Sinks to{md5.get(), KindOf(layout), layout.channels};
    size_t blockBytes = static_cast<size_t>(std::min<uint64_t>(BlockBytes, bytes));
    std::optional<TruePeakMeter> peak;
    std::optional<BlockRing> ring;
    std::optional<MeasuringThread> measuring;
    if (meter) {
        blockBytes -= blockBytes % layout.blockAlign;
        peak.emplace(layout.channels, layout.sampleRate);
        to.peak = &*peak;
        to.meter = meter.get();
        ring.emplace(blockBytes / layout.blockAlign * layout.channels);
        try {
            measuring.emplace(*ring, *meter);
            to.ring = &*ring;
        } catch (const std::system_error&) {
            // No second thread: measure on this one.
        }
    }
    const bool hashed = ReadAll(fd, offset, bytes, blockBytes, to, request, result);
    measuring.reset();
    if (md5 && hashed)
        result.md5 = FinishMd5(md5.get());
    if (meter)
        result.loudness = meter->Figures(peak->Peak());
    return result;
}
