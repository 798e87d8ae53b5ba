// One read of the audio feeding the MD5 and the loudness meter.  The reading
// thread hashes, converts to float and finds the true peak; two more threads
// run libebur128 on alternate segments of the converted audio.
#include "measure/verify.h"

#include "bytes.h"
#include "cpu.h"
#include "decode.h"
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
    if (l.sampleTag == TagIEEEFloat)
        return l.bitsPerSample == 32 ? Kind::F32 : l.bitsPerSample == 64 ? Kind::F64 : Kind::None;
    if (l.sampleTag != TagPCM || l.bitsPerSample == 0 || l.bitsPerSample > 32)
        return Kind::None;
    // Samples narrower than their container are left-justified in it.
    static constexpr Kind byWidth[] = {Kind::U8, Kind::S16, Kind::S24, Kind::S32};
    return byWidth[ContainerBytes(l.bitsPerSample) - 1];
}

// libebur128's own 100 ms step, on which the segments of the two meters must agree.
constexpr size_t StepFrames(uint32_t sampleRate)
{
    return (sampleRate + 5) / 10;
}

constexpr unsigned BytesOf(Kind k)
{
    switch (k) {
    case Kind::U8:
        return 1;
    case Kind::S16:
        return 2;
    case Kind::S24:
        return 3;
    case Kind::S32:
    case Kind::F32:
        return 4;
    case Kind::F64:
        return 8;
    case Kind::None:
        break;
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
            const uint32_t u =
                (uint32_t{p[0]} << 8) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 24);
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
            const double d =
                (u & 0x7FF0000000000000u) == 0x7FF0000000000000u
                    ? 0.0
                    : std::clamp(std::bit_cast<double>(u), -double{FLT_MAX}, double{FLT_MAX});
            out[i] = static_cast<float>(d);
        }
    }
}

void ToFloat(Kind k, const unsigned char* in, size_t samples, float* out)
{
    switch (k) {
    case Kind::U8:
        return ToFloat<Kind::U8>(in, samples, out);
    case Kind::S16:
        return ToFloat<Kind::S16>(in, samples, out);
    case Kind::S24:
        return ToFloat<Kind::S24>(in, samples, out);
    case Kind::S32:
        return ToFloat<Kind::S32>(in, samples, out);
    case Kind::F32:
        return ToFloat<Kind::F32>(in, samples, out);
    case Kind::F64:
        return ToFloat<Kind::F64>(in, samples, out);
    case Kind::None:
        return;
    }
}

// ---------------------------------------------------------------------------
// Channel roles.  LFE is left out; side and back pairs are the surrounds,
// weighted 1.41 as the standard weights channels 60 to 120 degrees off
// centre; a channel with no known position counts as a front one.

int RoleOfSpeaker(int bit)
{
    // clang-format off
    static constexpr int roles[18] = {
        EBUR128_LEFT, EBUR128_RIGHT, EBUR128_CENTER, EBUR128_UNUSED,   // FL FR FC LFE
        EBUR128_LEFT_SURROUND, EBUR128_RIGHT_SURROUND,                 // BL BR
        EBUR128_MpSC, EBUR128_MmSC, EBUR128_Mp180,                     // FLC FRC BC
        EBUR128_LEFT_SURROUND, EBUR128_RIGHT_SURROUND,                 // SL SR
        EBUR128_Tp000, EBUR128_Up030, EBUR128_Up000, EBUR128_Um030,    // TC TFL TFC TFR
        EBUR128_Up135, EBUR128_Up180, EBUR128_Um135};                  // TBL TBC TBR
    // clang-format on
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
    if (IsaSupported(Isa::Avx2))
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
        const double c =
            std::sin(x) / x * 0.5 * (1 - std::cos(2 * pi * j / (InterpolatorTaps - 1)));
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
// length) does the filtering, gating and range; it is three quarters of the
// work, so two states share it, each taking every other segment of audio,
// and libebur128 merges their gating at the end.  A state that takes up a
// segment first resets and hears the 2 s before it with its gating blocks
// off: its filters settle and its 3 s short-term windows fall where one
// state's would, so neither state gates a block twice or misses one.
//
// The maxima of momentary and short-term loudness are read every 100 ms, the
// standard's update rate: libebur128 recomputes a window from its samples on
// each read, 30 times the audio for short-term, so each state is asked only
// for each 100 ms step's energy, and the 400 ms and 3 s windows are means of
// the last 4 and 30 steps, taken in order over both states' steps.

constexpr size_t StepsPerSecond = 10;
constexpr size_t LeadInSteps = 20;
constexpr size_t SegmentSamples = size_t{3} << 20; // 12 MiB of float per segment
constexpr size_t MinSplitSteps = 100;              // shorter segments: one state

struct StateFree {
    void operator()(ebur128_state* st) const { ebur128_destroy(&st); }
};

// A stretch of converted audio for one state: the lead-in, then the segment.
struct Segment {
    enum class Stage { Free, Filled, Measured };
    std::vector<float> samples;
    size_t leadFrames = 0;
    size_t frames = 0; // after the lead-in
    uint64_t index = 0;
    std::vector<double> energies; // each whole 100 ms step's, from the state
    Stage stage = Stage::Free;
};

class Meter
{
  public:
    explicit Meter(const AudioLayout& l)
        : st_(ebur128_init(l.channels, l.sampleRate,
                           EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_HISTOGRAM)),
          step_(StepFrames(l.sampleRate))
    {
        if (st_)
            SetChannelRoles(st_.get(), l);
    }
    bool Ready() const { return st_ != nullptr; }
    bool Failed() const { return failed_; }
    ebur128_state* State() const { return st_.get(); }
    void Measure(Segment& s);

  private:
    void Feed(const float* frames, size_t count, std::vector<double>* energies);

    std::unique_ptr<ebur128_state, StateFree> st_;
    size_t step_;
    size_t intoStep_ = 0;
    std::optional<uint64_t> last_; // the segment measured last
    bool failed_ = false;
};

void Meter::Measure(Segment& s)
{
    s.energies.clear();
    const bool continues = s.index == 0 || (last_ && *last_ + 1 == s.index);
    last_ = s.index;
    const size_t channels = st_->channels;
    if (!continues) {
        // A passing change of rate empties the state's buffer and restarts
        // its blocks, keeping what it has gated and, the channel count being
        // the same, the channels' roles; the lead-in settles the filters it
        // resets.  (A new window length would do the same, but
        // libebur128 1.2.6 sizes that buffer a thousand times too large.)
        const unsigned long rate = st_->samplerate;
        failed_ =
            failed_ ||
            ebur128_change_parameters(st_.get(), st_->channels, rate + 1) != EBUR128_SUCCESS ||
            ebur128_change_parameters(st_.get(), st_->channels, rate) != EBUR128_SUCCESS;
        intoStep_ = 0;
        const int mode = st_->mode;
        st_->mode = mode & ~(EBUR128_MODE_I & ~EBUR128_MODE_M); // no gating blocks
        Feed(s.samples.data(), s.leadFrames, nullptr);
        st_->mode = mode;
    }
    Feed(s.samples.data() + s.leadFrames * channels, s.frames, &s.energies);
}

void Meter::Feed(const float* frames, size_t count, std::vector<double>* energies)
{
    const unsigned channels = st_->channels;
    while (count > 0 && !failed_) {
        const size_t n = std::min(count, step_ - intoStep_);
        failed_ = ebur128_add_frames_float(st_.get(), frames, n) != EBUR128_SUCCESS;
        frames += n * channels;
        count -= n;
        intoStep_ += n;
        if (intoStep_ < step_)
            continue;
        intoStep_ = 0;
        // The window is rate x 100 / 1000 frames: one frame short of the step
        // at rates such as 11,025 Hz.
        double lufs = -HUGE_VAL;
        if (energies && ebur128_loudness_window(st_.get(), 100, &lufs) == EBUR128_SUCCESS)
            energies->push_back(std::isfinite(lufs) ? std::pow(10.0, (lufs + 0.691) / 10) : 0.0);
    }
}

std::optional<double> LufsOf(double energy)
{
    const double l = 10 * std::log10(energy) - 0.691;
    return std::isfinite(l) ? std::optional(l) : std::nullopt;
}

// The maxima of the 400 ms and 3 s means of the 100 ms energies, in order.
class Maxima
{
  public:
    void Add(const std::vector<double>& energies)
    {
        for (double e : energies) {
            last_[steps_++ % last_.size()] = e;
            if (steps_ >= 4)
                momentary_ = std::max(momentary_, MeanOfLast(4));
            if (steps_ >= 30)
                shortTerm_ = std::max(shortTerm_, MeanOfLast(30));
        }
    }
    uint64_t Steps() const { return steps_; }
    std::optional<double> Momentary() const
    {
        return steps_ >= 4 ? LufsOf(momentary_) : std::nullopt;
    }
    std::optional<double> ShortTerm() const
    {
        return steps_ >= 30 ? LufsOf(shortTerm_) : std::nullopt;
    }

  private:
    double MeanOfLast(size_t k) const
    {
        double sum = 0;
        for (size_t i = 1; i <= k; i++)
            sum += last_[(steps_ - i) % last_.size()];
        return sum / static_cast<double>(k);
    }
    std::array<double, 30> last_{};
    uint64_t steps_ = 0;
    double momentary_ = 0; // as energies
    double shortTerm_ = 0;
};

LoudnessFigures Figures(const std::vector<std::unique_ptr<Meter>>& meters, const Maxima& maxima,
                        double truePeak)
{
    LoudnessFigures f;
    std::vector<ebur128_state*> states;
    for (const auto& m : meters) {
        if (m->Failed())
            return f;
        states.push_back(m->State());
    }
    double v = -HUGE_VAL;
    if (ebur128_loudness_global_multiple(states.data(), states.size(), &v) == EBUR128_SUCCESS &&
        std::isfinite(v))
        f.integratedLufs = v;
    // Silence has no range, and a range needs one 3 s window.
    if (f.integratedLufs && maxima.Steps() >= 30 &&
        ebur128_loudness_range_multiple(states.data(), states.size(), &v) == EBUR128_SUCCESS &&
        std::isfinite(v))
        f.rangeLu = v;
    const double dbtp = 20 * std::log10(truePeak);
    if (std::isfinite(dbtp))
        f.maxTruePeakDbtp = dbtp;
    f.maxMomentaryLufs = maxima.Momentary();
    f.maxShortTermLufs = maxima.ShortTerm();
    return f;
}

// ---------------------------------------------------------------------------
// The reading thread fills two segment buffers in turn; each state measures
// its segments on a thread of its own.

class Segments
{
  public:
    // `steps` whole 100 ms steps a segment, `lead` of them before it.
    Segments(size_t stepFrames, unsigned channels, size_t steps, size_t lead, uint64_t frames)
        : channels_(channels), segmentFrames_(steps * stepFrames), leadFrames_(lead * stepFrames)
    {
        const uint64_t most = std::min<uint64_t>(frames, segmentFrames_) + leadFrames_;
        for (Segment& s : buffers_)
            s.samples.resize(static_cast<size_t>(most) * channels);
    }
    size_t SegmentFrames() const { return segmentFrames_; }
    // The buffer for the next segment, its lead-in copied from the one before.
    Segment& Start(uint64_t index, Maxima& maxima);
    void Publish(Segment& s);
    // The segment a meter measures next, null once all are read.
    Segment* Next(uint64_t index);
    void Measured(Segment& s);
    // Lets the meters' threads end once they have measured what is filled.
    void Stop();
    // Waits for every segment to be measured; takes their maxima in order.
    void Finish(uint64_t segments, Maxima& maxima);

  private:
    void Reclaim(Segment& s, std::unique_lock<std::mutex>& lock, Maxima& maxima);

    unsigned channels_;
    size_t segmentFrames_, leadFrames_;
    std::array<Segment, 2> buffers_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool finished_ = false;
};

void Segments::Reclaim(Segment& s, std::unique_lock<std::mutex>& lock, Maxima& maxima)
{
    changed_.wait(lock, [&s] { return s.stage != Segment::Stage::Filled; });
    if (s.stage == Segment::Stage::Measured)
        maxima.Add(s.energies);
    s.stage = Segment::Stage::Free;
}

Segment& Segments::Start(uint64_t index, Maxima& maxima)
{
    Segment& s = buffers_[index % 2];
    {
        std::unique_lock lock(mutex_);
        Reclaim(s, lock, maxima);
    }
    // The previous segment is being measured: reading it alongside is safe.
    const Segment& before = buffers_[(index + 1) % 2];
    s.leadFrames = index == 0 ? 0 : leadFrames_;
    const size_t leadSamples = s.leadFrames * channels_;
    const size_t end = (before.leadFrames + before.frames) * channels_;
    std::copy(before.samples.begin() + static_cast<ptrdiff_t>(end - leadSamples),
              before.samples.begin() + static_cast<ptrdiff_t>(end), s.samples.begin());
    s.frames = 0;
    s.index = index;
    return s;
}

void Segments::Publish(Segment& s)
{
    std::lock_guard lock(mutex_);
    s.stage = Segment::Stage::Filled;
    changed_.notify_all();
}

Segment* Segments::Next(uint64_t index)
{
    Segment& s = buffers_[index % 2];
    std::unique_lock lock(mutex_);
    changed_.wait(
        lock, [&] { return (s.stage == Segment::Stage::Filled && s.index == index) || finished_; });
    return s.stage == Segment::Stage::Filled && s.index == index ? &s : nullptr;
}

void Segments::Measured(Segment& s)
{
    std::lock_guard lock(mutex_);
    s.stage = Segment::Stage::Measured;
    changed_.notify_all();
}

void Segments::Stop()
{
    std::lock_guard lock(mutex_);
    finished_ = true;
    changed_.notify_all();
}

void Segments::Finish(uint64_t segments, Maxima& maxima)
{
    Stop();
    std::unique_lock lock(mutex_);
    for (uint64_t i = segments < 2 ? 0 : segments - 2; i < segments; i++)
        Reclaim(buffers_[i % 2], lock, maxima);
}

// The loudness side of the read: conversion, true peak, segments and meters.
class Loudness
{
  public:
    Loudness(const AudioLayout& l, uint64_t frames);
    ~Loudness();
    Loudness(const Loudness&) = delete;
    Loudness& operator=(const Loudness&) = delete;
    bool Ready() const { return ready_; }
    void Add(const unsigned char* raw, size_t frames);
    LoudnessFigures Finish();

  private:
    void Close();

    Kind kind_;
    unsigned channels_;
    std::vector<std::unique_ptr<Meter>> meters_;
    std::optional<Segments> segments_;
    TruePeakMeter peak_;
    Maxima maxima_;
    std::vector<std::thread> threads_;
    Segment* current_ = nullptr;
    uint64_t index_ = 0;
    bool ready_ = true;
};

Loudness::Loudness(const AudioLayout& l, uint64_t frames)
    : kind_(KindOf(l)), channels_(l.channels), peak_(l.channels, l.sampleRate)
{
    const size_t stepFrames = StepFrames(l.sampleRate);
    size_t steps = std::max<size_t>(1, SegmentSamples / (stepFrames * l.channels));
    const bool split = steps >= MinSplitSteps && frames > steps * stepFrames;
    if (split)
        steps = (steps - LeadInSteps) / StepsPerSecond * StepsPerSecond;
    segments_.emplace(stepFrames, l.channels, steps, split ? LeadInSteps : 0, frames);
    for (size_t i = 0; i < (split ? 2u : 1u) && ready_; i++) {
        meters_.push_back(std::make_unique<Meter>(l));
        ready_ = meters_.back()->Ready();
    }
    try {
        for (size_t w = 0; ready_ && w < meters_.size(); w++)
            threads_.emplace_back([this, w] {
                for (uint64_t n = w; Segment* s = segments_->Next(n); n += meters_.size()) {
                    meters_[w]->Measure(*s);
                    segments_->Measured(*s);
                }
            });
    } catch (const std::system_error&) {
        // Too few threads: one state measures everything on the reading thread.
        segments_->Stop();
        for (std::thread& t : threads_)
            t.join();
        threads_.clear();
        meters_.resize(1);
    }
}

Loudness::~Loudness()
{
    segments_->Stop();
    for (std::thread& t : threads_)
        t.join();
}

void Loudness::Add(const unsigned char* raw, size_t frames)
{
    const size_t frameBytes = size_t{BytesOf(kind_)} * channels_;
    while (frames > 0) {
        if (!current_)
            current_ = &segments_->Start(index_, maxima_);
        Segment& s = *current_;
        const size_t n = std::min(frames, segments_->SegmentFrames() - s.frames);
        float* out = s.samples.data() + (s.leadFrames + s.frames) * channels_;
        ToFloat(kind_, raw, n * channels_, out);
        peak_.Add(out, n);
        s.frames += n;
        raw += n * frameBytes;
        frames -= n;
        if (s.frames == segments_->SegmentFrames())
            Close();
    }
}

void Loudness::Close()
{
    segments_->Publish(*current_);
    if (threads_.empty()) {
        meters_[0]->Measure(*current_);
        segments_->Measured(*current_);
    }
    current_ = nullptr;
    index_++;
}

LoudnessFigures Loudness::Finish()
{
    if (current_)
        Close();
    segments_->Finish(index_, maxima_);
    return Figures(meters_, maxima_, peak_.Peak());
}

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

// Reads in blocks of whole frames, hashing and measuring as asked.  Returns
// false when hashing failed.
bool ReadAll(int fd, uint64_t offset, uint64_t bytes, size_t blockBytes, size_t frameBytes,
             EVP_MD_CTX* md5, Loudness* loudness, const VerifyRequest& request,
             VerifyResult& result)
{
    std::vector<unsigned char> raw(blockBytes);
    bool md5Ok = true;
    while (result.bytesRead < bytes) {
        const auto ask =
            static_cast<size_t>(std::min<uint64_t>(blockBytes, bytes - result.bytesRead));
        const size_t got =
            ReadAt(fd, offset + result.bytesRead, raw.data(), ask, &result.readError);
        result.bytesRead += got;
        if (md5 && got > 0)
            md5Ok = md5Ok && EVP_DigestUpdate(md5, raw.data(), got) == 1;
        if (loudness)
            loudness->Add(raw.data(), got / frameBytes);
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
           l.blockAlign == ExpectedBlockAlign(l.channels, l.bitsPerSample);
}

VerifyResult VerifyAudio(int fd, uint64_t offset, uint64_t bytes, const AudioLayout& layout,
                         const VerifyRequest& request)
{
    VerifyResult result;
    Md5Ctx md5 = request.md5 ? StartMd5() : nullptr;
    result.loudnessMeasurable = request.loudness && LoudnessMeasurable(layout);
    const uint64_t frames = result.loudnessMeasurable ? bytes / layout.blockAlign : 0;
    // Less than a frame has no figures: the meters are not worth making.
    std::optional<Loudness> loudness;
    if (frames > 0) {
        loudness.emplace(layout, frames);
        if (!loudness->Ready())
            loudness.reset();
        result.loudnessMeasurable = loudness.has_value();
    } else if (result.loudnessMeasurable) {
        result.loudness = LoudnessFigures{};
    }
    if (!md5 && !loudness)
        return result; // nothing needs the audio

    // Blocks of whole frames, no larger than the audio.
    const size_t frameBytes = loudness ? layout.blockAlign : 1;
    const size_t block = request.blockBytes > 0 ? request.blockBytes : BlockBytes;
    size_t blockBytes = static_cast<size_t>(std::min<uint64_t>(std::max(block, frameBytes), bytes));
    blockBytes -= blockBytes % frameBytes;
    const bool hashed = ReadAll(fd, offset, bytes, blockBytes, frameBytes, md5.get(),
                                loudness ? &*loudness : nullptr, request, result);
    if (md5 && hashed)
        result.md5 = FinishMd5(md5.get());
    if (loudness)
        result.loudness = loudness->Finish();
    return result;
}
