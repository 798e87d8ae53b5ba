// The signal measures: the kernel sums each piece, and the few things that
// need sample order (runs at full scale, silences, channels still equal)
// look at the samples only where the piece's sums say they must.
#include "measure/signal.h"

#include "decode.h"
#include "measure/signal_kernel.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numeric>
#include <variant>

namespace sondrel {

namespace
{

constexpr size_t PieceSamples = 4096; // decoded at a time, within the first-level cache
constexpr size_t MaxIdenticalPairs = 4096;

double Rounded(double v, double scale)
{
    const double r = std::round(v * scale) / scale;
    return r == 0 ? 0.0 : r; // never -0
}

std::optional<double> Dbfs(double fraction)
{
    if (!(fraction > 0))
        return std::nullopt;
    return Rounded(20 * std::log10(fraction), 100);
}

// Bits a sample stands in: valid bits for the extensible format.
unsigned StoredBits(const AudioLayout& l)
{
    return l.validBits > 0 && l.validBits < l.bitsPerSample ? l.validBits : l.bitsPerSample;
}

// One channel's figures over the whole audio.
struct Channel {
    long double sum = 0, squares = 0;
    double min = 0, max = 0;
    uint64_t clipped = 0;
    uint64_t run = 0; // samples at one extreme so far
    int side = 0;     // which: 1 the top, -1 the bottom
};

template <typename T, typename Acc> class Gather
{
  public:
    Gather(const AudioLayout& l, SampleKind kind, Isa isa)
        : kind_(kind), channels_(l.channels), frameBytes_(l.blockAlign),
          pieceFrames_(std::max<size_t>(1, PieceSamples / l.channels)), storedBits_(StoredBits(l)),
          rate_(l.sampleRate), channel_(l.channels), leader_(l.channels, 0), oldLeader_(l.channels),
          order_(l.channels)
    {
        if constexpr (std::is_same_v<T, int32_t>)
            kernel_ = IntPieceKernel(isa);
        else
            kernel_ = RealPieceKernel(isa);
        SetLimits();
        sums_.Resize(channels_);
        samples_.resize(pieceFrames_ * channels_ + 1);
        minQuietFrames_ = static_cast<uint64_t>(std::ceil(SilenceSeconds * rate_));
    }

    void Add(const unsigned char* raw, size_t frames)
    {
        while (frames > 0) {
            const size_t n = std::min(frames, pieceFrames_);
            kernel_(kind_, raw, n, channels_, samples_.data(), sums_);
            Take();
            Clip(n);
            Silence(n);
            Identical(n);
            frames_ += n;
            raw += n * frameBytes_;
            frames -= n;
        }
    }

    SignalFigures Finish() const;

  private:
    void Levels(SignalFigures& s) const;
    void Pairs(SignalFigures& s) const;
    void Correlation(SignalFigures& s) const;
    void SetLimits()
    {
        const unsigned container = 8 * BytesOf(kind_);
        if (kind_ == SampleKind::F32 || kind_ == SampleKind::F64) {
            fullScale_ = 1, top_ = 1, bottom_ = -1;
        } else if (kind_ == SampleKind::ALaw || kind_ == SampleKind::MuLaw) {
            fullScale_ = 32768; // the extreme codes: those that expand furthest
            for (unsigned code = 0; code < 256; code++) {
                top_ = std::max<T>(top_, G711Value(kind_, static_cast<uint8_t>(code)));
                bottom_ = std::min<T>(bottom_, G711Value(kind_, static_cast<uint8_t>(code)));
            }
        } else {
            // Narrower samples stand left-justified in their container.
            const unsigned bits = std::min(storedBits_, container);
            fullScale_ = std::ldexp(1.0, static_cast<int>(container) - 1);
            const double step = std::ldexp(1.0, static_cast<int>(container - bits));
            top_ = static_cast<T>(fullScale_ - step);
            bottom_ = static_cast<T>(-fullScale_);
        }
        quiet_ = SilenceLevel * fullScale_;
    }

    void Take()
    {
        for (unsigned c = 0; c < channels_; c++) {
            Channel& ch = channel_[c];
            ch.sum += static_cast<long double>(sums_.sum[c]);
            ch.squares += static_cast<long double>(sums_.squares[c]);
            const auto lo = static_cast<double>(sums_.min[c]);
            const auto hi = static_cast<double>(sums_.max[c]);
            ch.min = frames_ == 0 ? lo : std::min(ch.min, lo);
            ch.max = frames_ == 0 ? hi : std::max(ch.max, hi);
        }
        cross_ += static_cast<long double>(sums_.cross);
    }

    T At(size_t frame, unsigned c) const { return samples_[frame * channels_ + c]; }

    // Samples in runs of 3 or more at one extreme; a run goes on across pieces.
    void Clip(size_t n)
    {
        for (unsigned c = 0; c < channels_; c++) {
            Channel& ch = channel_[c];
            if (sums_.max[c] < top_ && sums_.min[c] > bottom_) {
                ch.run = 0;
                continue;
            }
            for (size_t f = 0; f < n; f++) {
                const T v = At(f, c);
                const int side = v >= top_ ? 1 : v <= bottom_ ? -1 : 0;
                ch.run = side == 0 ? 0 : side == ch.side ? ch.run + 1 : 1;
                ch.side = side;
                ch.clipped += ch.run == 3 ? 3 : ch.run > 3 ? 1 : 0;
            }
        }
    }

    bool Quiet(double v) const { return v < quiet_ && v > -quiet_; }
    bool LoudFrame(size_t f) const
    {
        for (unsigned c = 0; c < channels_; c++)
            if (!Quiet(static_cast<double>(At(f, c))))
                return true;
        return false;
    }

    void Silence(size_t n);
    void CloseQuiet(uint64_t from, uint64_t to)
    {
        if (to - from < minQuietFrames_)
            return;
        if (spans_.size() < MaxSilences)
            spans_.emplace_back(from, to - from);
        else
            unlisted_++;
    }

    // Channels equal at every frame so far share the smallest of them as
    // their leader; a piece can only split such a class.
    void Identical(size_t n);

    SampleKind kind_;
    unsigned channels_;
    size_t frameBytes_, pieceFrames_;
    unsigned storedBits_;
    uint32_t rate_;
    std::conditional_t<std::is_same_v<T, int32_t>, IntPieceFn, RealPieceFn> kernel_;
    PieceSums<T, Acc> sums_;
    std::vector<T> samples_;
    double fullScale_ = 1, quiet_ = 0;
    T top_{}, bottom_{};
    uint64_t frames_ = 0, minQuietFrames_ = 0;
    std::vector<Channel> channel_;
    long double cross_ = 0;
    std::optional<uint64_t> quietFrom_;
    std::vector<std::pair<uint64_t, uint64_t>> spans_; // start, length in frames
    uint64_t unlisted_ = 0;
    std::vector<unsigned> leader_, oldLeader_, order_;
    bool shared_ = true; // some class has two channels or more
};

template <typename T, typename Acc> void Gather<T, Acc>::Silence(size_t n)
{
    if (rate_ == 0)
        return; // a silence without a rate has no length in seconds
    bool quiet = true;
    for (unsigned c = 0; c < channels_ && quiet; c++)
        quiet =
            Quiet(static_cast<double>(sums_.max[c])) && Quiet(static_cast<double>(sums_.min[c]));
    if (quiet) {
        if (!quietFrom_)
            quietFrom_ = frames_;
        return;
    }
    size_t first = 0, last = n - 1;
    while (!LoudFrame(first))
        first++;
    while (!LoudFrame(last))
        last--;
    CloseQuiet(quietFrom_.value_or(frames_), frames_ + first);
    // Only a slow rate or a long piece leaves room for a silence inside.
    if (last - first > minQuietFrames_) {
        uint64_t from = frames_ + first + 1;
        for (size_t f = first + 1; f <= last; f++) {
            if (LoudFrame(f)) {
                CloseQuiet(from, frames_ + f);
                from = frames_ + f + 1;
            }
        }
    }
    quietFrom_ = last + 1 < n ? std::optional(frames_ + last + 1) : std::nullopt;
}

// The channels sorted by their class, then by their samples in the piece:
// each run of equal columns within a class is a class from now on, led by
// its first (smallest) channel.  Nothing to do once every class is single.
template <typename T, typename Acc> void Gather<T, Acc>::Identical(size_t n)
{
    if (!shared_)
        return;
    oldLeader_ = leader_;
    std::iota(order_.begin(), order_.end(), 0u);
    const auto columnLess = [&](unsigned a, unsigned b) {
        for (size_t f = 0; f < n; f++)
            if (At(f, a) != At(f, b))
                return At(f, a) < At(f, b);
        return false;
    };
    std::stable_sort(order_.begin(), order_.end(), [&](unsigned a, unsigned b) {
        return oldLeader_[a] != oldLeader_[b] ? oldLeader_[a] < oldLeader_[b] : columnLess(a, b);
    });
    shared_ = false;
    leader_[order_[0]] = order_[0];
    for (size_t i = 1; i < order_.size(); i++) {
        const unsigned a = order_[i - 1], b = order_[i];
        const bool same = oldLeader_[a] == oldLeader_[b] && !columnLess(a, b);
        leader_[b] = same ? leader_[a] : b;
        shared_ = shared_ || same;
    }
}

template <typename T, typename Acc> void Gather<T, Acc>::Levels(SignalFigures& s) const
{
    const auto n = static_cast<long double>(frames_);
    for (unsigned c = 0; c < channels_; c++) {
        const Channel& ch = channel_[c];
        const double peak = std::max(std::fabs(ch.min), std::fabs(ch.max)) / fullScale_;
        const double rms =
            frames_ ? static_cast<double>(std::sqrt(ch.squares / n)) / fullScale_ : 0;
        const double dc = frames_ ? static_cast<double>(std::fabs(ch.sum / n)) / fullScale_ : 0;
        s.peakDbfs.push_back(Dbfs(peak));
        s.rmsDbfs.push_back(Dbfs(rms));
        s.dcOffsetDbfs.push_back(Dbfs(dc));
        s.dcFraction.push_back(dc);
        s.clippedSamples.push_back(ch.clipped);
        if (frames_ > 0 && ch.min == 0 && ch.max == 0) // no audio is not a dead input
            s.silentChannels.push_back(c);
    }
}

// Pairs of one class in order, through each channel's next of its class;
// a silent class is not dual mono.
template <typename T, typename Acc> void Gather<T, Acc>::Pairs(SignalFigures& s) const
{
    std::vector<unsigned> next(channels_, channels_), last(channels_, channels_);
    for (unsigned c = channels_; c-- > 0;) {
        next[c] = last[leader_[c]];
        last[leader_[c]] = c;
    }
    auto& pairs = s.identicalChannels;
    for (unsigned i = 0; i < channels_ && frames_ > 0 && pairs.size() < MaxIdenticalPairs; i++)
        if (channel_[i].min != 0 || channel_[i].max != 0)
            for (unsigned j = next[i]; j < channels_ && pairs.size() < MaxIdenticalPairs;
                 j = next[j])
                pairs.emplace_back(i, j);
}

template <typename T, typename Acc> void Gather<T, Acc>::Correlation(SignalFigures& s) const
{
    if (channels_ != 2 || frames_ == 0 || channel_[0].min == channel_[0].max ||
        channel_[1].min == channel_[1].max)
        return; // constant: no correlation
    const auto n = static_cast<long double>(frames_);
    const Channel &l = channel_[0], &r = channel_[1];
    const long double cov = n * cross_ - l.sum * r.sum;
    const long double vl = n * l.squares - l.sum * l.sum, vr = n * r.squares - r.sum * r.sum;
    if (vl > 0 && vr > 0) {
        const double c = std::clamp(static_cast<double>(cov / std::sqrt(vl * vr)), -1.0, 1.0);
        s.rawCorrelation = c;
        s.correlation = Rounded(c, 100);
    }
}

template <typename T, typename Acc> SignalFigures Gather<T, Acc>::Finish() const
{
    SignalFigures s;
    Levels(s);
    Pairs(s);
    Correlation(s);
    if (kind_ == SampleKind::U8 || kind_ == SampleKind::S16 || kind_ == SampleKind::S24 ||
        kind_ == SampleKind::S32) {
        s.storedBits = storedBits_;
        const unsigned container = 8 * BytesOf(kind_);
        if (sums_.bits != 0)
            s.effectiveBits = std::min<unsigned>(
                storedBits_, container - static_cast<unsigned>(std::countr_zero(sums_.bits)));
    }
    // A silence still running at the end closes there.
    std::vector<std::pair<uint64_t, uint64_t>> spans = spans_;
    s.silencesUnlisted = unlisted_;
    if (quietFrom_ && rate_ > 0 && frames_ - *quietFrom_ >= minQuietFrames_) {
        if (spans.size() < MaxSilences)
            spans.emplace_back(*quietFrom_, frames_ - *quietFrom_);
        else
            s.silencesUnlisted++;
    }
    for (const auto& [from, length] : spans)
        s.silences.push_back({Rounded(static_cast<double>(from) / rate_, 1000),
                              Rounded(static_cast<double>(length) / rate_, 1000)});
    return s;
}

} // namespace

bool SignalMeasurable(const AudioLayout& l)
{
    return KindOf(l) != SampleKind::None && l.channels >= 1 &&
           l.blockAlign == ExpectedBlockAlign(l.channels, l.bitsPerSample);
}

struct SignalMeter::State {
    std::variant<Gather<int32_t, int64_t>, Gather<double, double>> gather;
};

namespace
{

std::variant<Gather<int32_t, int64_t>, Gather<double, double>> GatherFor(const AudioLayout& l,
                                                                         Isa isa)
{
    const SampleKind kind = KindOf(l);
    if (IntegerSummed(kind))
        return Gather<int32_t, int64_t>(l, kind, isa);
    return Gather<double, double>(l, kind, isa);
}

} // namespace

SignalMeter::SignalMeter(const AudioLayout& layout, Isa isa)
    : state_(std::make_unique<State>(State{GatherFor(layout, isa)}))
{
}

SignalMeter::~SignalMeter() = default;
SignalMeter::SignalMeter(SignalMeter&&) noexcept = default;
SignalMeter& SignalMeter::operator=(SignalMeter&&) noexcept = default;

void SignalMeter::Add(const unsigned char* raw, size_t frames)
{
    std::visit([&](auto& g) { g.Add(raw, frames); }, state_->gather);
}

SignalFigures SignalMeter::Finish() const
{
    return std::visit([](const auto& g) { return g.Finish(); }, state_->gather);
}

} // namespace sondrel
