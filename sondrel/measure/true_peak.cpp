// True peak.  The samples of one channel at a time are interpolated in
// vectors of consecutive outputs, as wide as the processor's registers;
// every output is the plain loop's sum, in its order, so each width gives
// the plain loop's result.
#include "measure/true_peak.h"

#include "measure/lanes.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace sondrel {

// An instruction set's loops.
struct TruePeakKernels {
    void (*half)(const float* h, const float* w, size_t n, float* out);
    float (*quarter)(const TruePeakTaps& t, const float* h, const float* x, size_t n);
    float (*maxMagnitude)(const float* x, size_t n);
};

namespace
{

constexpr unsigned HalfTaps = TruePeakTaps::Half, QuarterTaps = TruePeakTaps::Quarter;
// A channel's window keeps 47 samples before the new ones, its halfway
// points the 4 before theirs: the quarter points' windows reach back that far.
constexpr size_t HalfHistory = HalfTaps - 1, PointHistory = QuarterTaps / 2;
constexpr size_t Lead = HalfTaps / 2 - 1; // the sample before the first halfway point
constexpr size_t Chunk = 512;             // frames of one channel interpolated at a time

double BesselI0(double x)
{
    double sum = 1, term = 1;
    for (int k = 1; k < 50; k++) {
        term *= (x / (2 * k)) * (x / (2 * k));
        sum += term;
    }
    return sum;
}

// The taps of an interpolator to the point `at` of a window of `taps` samples.
std::vector<double> Phase(unsigned taps, double at, double beta)
{
    const double pi = 3.14159265358979323846;
    std::vector<double> h(taps);
    double sum = 0;
    for (unsigned k = 0; k < taps; k++) {
        const double d = k - at, r = d / (taps / 2.0);
        const double sinc = d == 0 ? 1 : std::sin(pi * d) / (pi * d);
        h[k] = sinc * BesselI0(beta * std::sqrt(std::max(0.0, 1 - r * r))) / BesselI0(beta);
        sum += h[k];
    }
    for (double& v : h)
        v /= sum;
    return h;
}

// The halfway point of the window w[0..48): even and odd pairs summed apart,
// then added (two chains of additions, not one).
template <bool Fused> [[gnu::always_inline]] inline float HalfAt(const float* h, const float* w)
{
    float even = 0, odd = 0;
    for (unsigned k = 0; k < HalfTaps / 2; k += 2) {
        MulAdd<Fused>(even, h[k], w[k] + w[HalfTaps - 1 - k]);
        MulAdd<Fused>(odd, h[k + 1], w[k + 1] + w[HalfTaps - 2 - k]);
    }
    return even + odd;
}

// The largest magnitude of the quarter points of the window at(0..8).
template <bool Fused, typename At>
[[gnu::always_inline]] inline float QuarterAt(const TruePeakTaps& t, At at)
{
    float p = 0, m = 0, mid = 0;
    for (unsigned k = 0; k < QuarterTaps / 2; k++) {
        const float lo = at(k), hi = at(QuarterTaps - 1 - k);
        MulAdd<Fused>(p, t.quarterSum[k], lo + hi);
        MulAdd<Fused>(m, t.quarterDiff[k], lo - hi);
        MulAdd<Fused>(mid, t.middle[k], lo + hi);
    }
    return std::max(std::fabs(p) + std::fabs(m), std::fabs(mid));
}

// The doubled samples alternate: a halfway point h, then a sample x.  The
// quarter points' windows of 8 start at h[j] or at x[j] (h then shifted by
// one); element k of each.
[[gnu::always_inline]] inline const float* Element(const float* a, const float* b, size_t j,
                                                   unsigned k)
{
    return (k % 2 == 0 ? a : b) + j + k / 2;
}

// The quarter points of windows j in [0, n) from both starts, and the
// halfway points h[j + 4] (points of the grid too): their largest magnitude.
template <bool Fused>
[[gnu::always_inline]] inline float QuarterTail(const TruePeakTaps& t, const float* h,
                                                const float* x, size_t j, size_t n)
{
    float peak = 0;
    for (; j < n; j++) {
        for (const auto& start : {std::pair(h, x), std::pair(x, h + 1)})
            peak = std::max(peak, QuarterAt<Fused>(t, [&](unsigned k) {
                                return *Element(start.first, start.second, j, k);
                            }));
        peak = std::max(peak, std::fabs(h[PointHistory + j]));
    }
    return peak;
}

// The halfway points of windows i in [0, n), in vectors of consecutive
// outputs, several in flight.
template <unsigned V, bool Fused>
[[gnu::always_inline]] inline void Half(const float* h, const float* w, size_t n, float* out)
{
    using Vec = typename Lanes<float, V>::type;
    constexpr unsigned G = 4; // independent vectors in flight
    size_t i = 0;
    for (; i + G * V <= n; i += G * V) {
        Vec even[G] = {}, odd[G] = {};
        for (unsigned k = 0; k < HalfTaps / 2; k += 2)
            for (unsigned g = 0; g < G; g++) {
                const float* p = w + i + g * V;
                Vec a, b, c, d;
                std::memcpy(&a, p + k, sizeof a);
                std::memcpy(&b, p + HalfTaps - 1 - k, sizeof b);
                std::memcpy(&c, p + k + 1, sizeof c);
                std::memcpy(&d, p + HalfTaps - 2 - k, sizeof d);
                MulAdd<Fused>(even[g], h[k], a + b);
                MulAdd<Fused>(odd[g], h[k + 1], c + d);
            }
        for (unsigned g = 0; g < G; g++) {
            const Vec sum = even[g] + odd[g];
            std::memcpy(out + i + g * V, &sum, sizeof sum);
        }
    }
    for (; i < n; i++)
        out[i] = HalfAt<Fused>(h, w + i);
}

template <unsigned V, bool Fused>
[[gnu::always_inline]] inline float QuarterPeak(const TruePeakTaps& t, const float* h,
                                                const float* x, size_t n)
{
    using Vec = typename Lanes<float, V>::type;
    Vec top = {};
    size_t j = 0;
    for (; j + V <= n; j += V) {
        for (const auto& [a, b] : {std::pair(h, x), std::pair(x, h + 1)}) {
            Vec p = {}, m = {}, mid = {};
            for (unsigned k = 0; k < QuarterTaps / 2; k++) {
                Vec lo, hi;
                std::memcpy(&lo, Element(a, b, j, k), sizeof lo);
                std::memcpy(&hi, Element(a, b, j, QuarterTaps - 1 - k), sizeof hi);
                MulAdd<Fused>(p, t.quarterSum[k], lo + hi);
                MulAdd<Fused>(m, t.quarterDiff[k], lo - hi);
                MulAdd<Fused>(mid, t.middle[k], lo + hi);
            }
            p = (p < 0 ? -p : p) + (m < 0 ? -m : m);
            mid = mid < 0 ? -mid : mid;
            top = p > top ? p : top;
            top = mid > top ? mid : top;
        }
        Vec grid;
        std::memcpy(&grid, h + PointHistory + j, sizeof grid);
        grid = grid < 0 ? -grid : grid;
        top = grid > top ? grid : top;
    }
    float peak = 0;
    for (unsigned l = 0; l < V; l++)
        peak = std::max(peak, top[l]);
    return std::max(peak, QuarterTail<Fused>(t, h, x, j, n));
}

// The largest magnitude of x[0..n), in running maxima a vector wide: one
// would be a chain of dependent comparisons.
template <unsigned V> [[gnu::always_inline]] inline float MaxMagnitude(const float* x, size_t n)
{
    using Vec = typename Lanes<float, V>::type;
    Vec top = {};
    size_t i = 0;
    for (; i + V <= n; i += V) {
        Vec v;
        std::memcpy(&v, x + i, sizeof v);
        v = v < 0 ? -v : v;
        top = v > top ? v : top;
    }
    float peak = 0;
    for (unsigned l = 0; l < V; l++)
        peak = std::max(peak, top[l]);
    for (; i < n; i++)
        peak = std::max(peak, std::fabs(x[i]));
    return peak;
}

// Each instruction set's build of the loops: 4, 8 or 16 floats a vector,
// the multiply-adds fused with AVX-512 (the halfway points take half the
// time, their pairs' additions and the fused products sharing the work).
struct Base {
    static void H(const float* h, const float* w, size_t n, float* o)
    {
        Half<4, false>(h, w, n, o);
    }
    static float Q(const TruePeakTaps& t, const float* h, const float* x, size_t n)
    {
        return QuarterPeak<4, false>(t, h, x, n);
    }
    static float M(const float* x, size_t n) { return MaxMagnitude<4>(x, n); }
};

struct Avx2 {
    [[SONDREL_AVX2]] static void H(const float* h, const float* w, size_t n, float* o)
    {
        Half<8, false>(h, w, n, o);
    }
    [[SONDREL_AVX2]] static float Q(const TruePeakTaps& t, const float* h, const float* x, size_t n)
    {
        return QuarterPeak<8, false>(t, h, x, n);
    }
    [[SONDREL_AVX2]] static float M(const float* x, size_t n) { return MaxMagnitude<8>(x, n); }
};

struct Avx512 {
    [[SONDREL_AVX512_KERNEL]] static void H(const float* h, const float* w, size_t n, float* o)
    {
        Half<16, true>(h, w, n, o);
    }
    [[SONDREL_AVX512_KERNEL]] static float Q(const TruePeakTaps& t, const float* h, const float* x,
                                             size_t n)
    {
        return QuarterPeak<16, true>(t, h, x, n);
    }
    [[SONDREL_AVX512_KERNEL]] static float M(const float* x, size_t n)
    {
        return MaxMagnitude<16>(x, n);
    }
};

constexpr IsaTables<TruePeakKernels> Kernels = {{
    {Base::H, Base::Q, Base::M},
    {Avx2::H, Avx2::Q, Avx2::M},
    {Avx512::H, Avx512::Q, Avx512::M},
}};

} // namespace

const TruePeakTaps& TruePeakFilter()
{
    static const TruePeakTaps taps = [] {
        TruePeakTaps t{};
        const std::vector<double> half = Phase(HalfTaps, HalfTaps / 2.0 - 0.5, 7);
        double halfGain = 0;
        for (unsigned k = 0; k < HalfTaps / 2; k++) {
            t.half[k] = static_cast<float>(half[k]);
            halfGain += 2 * std::fabs(double{t.half[k]});
        }
        // The 3/4 point's taps are the 1/4 point's reversed.
        const std::vector<double> quarter = Phase(QuarterTaps, QuarterTaps / 2 - 0.75, 7);
        const std::vector<double> middle = Phase(QuarterTaps, QuarterTaps / 2 - 0.5, 7);
        double quarterGain = 0, middleGain = 0;
        for (unsigned k = 0; k < QuarterTaps / 2; k++) {
            const double far = quarter[QuarterTaps - 1 - k];
            t.quarterSum[k] = static_cast<float>((quarter[k] + far) / 2);
            t.quarterDiff[k] = static_cast<float>((quarter[k] - far) / 2);
            t.middle[k] = static_cast<float>(middle[k]);
            quarterGain += std::fabs(double{t.quarterSum[k]} + t.quarterDiff[k]) +
                           std::fabs(double{t.quarterSum[k]} - t.quarterDiff[k]);
            middleGain += 2 * std::fabs(double{t.middle[k]});
        }
        // A margin for the rounding of float sums.
        t.halfGain = halfGain * 1.001;
        t.quarterGain = std::max(quarterGain, middleGain) * 1.001;
        return t;
    }();
    return taps;
}

TruePeakMeter::TruePeakMeter(unsigned channels, size_t stride, Isa isa)
    : channels_(channels), stride_(stride), kernels_(&ForIsa(Kernels, isa)),
      history_(channels * (HalfHistory + PointHistory)), window_(HalfHistory + Chunk),
      half_(PointHistory + Chunk)
{
}

void TruePeakMeter::Add(const float* frames, size_t count)
{
    for (size_t at = 0; at < count; at += Chunk) {
        const size_t n = std::min(Chunk, count - at);
        for (unsigned c = 0; c < channels_; c++)
            Channel(c, frames + at * stride_ + c, n);
    }
}

void TruePeakMeter::Channel(unsigned c, const float* frames, size_t n)
{
    const TruePeakTaps& t = TruePeakFilter();
    const TruePeakKernels& k = *kernels_;
    float* history = history_.data() + c * (HalfHistory + PointHistory);
    std::copy(history, history + HalfHistory, window_.begin());
    for (size_t i = 0; i < n; i++)
        window_[HalfHistory + i] = frames[i * stride_];
    std::copy(history + HalfHistory, history + HalfHistory + PointHistory, half_.begin());
    float* const half = half_.data() + PointHistory;
    // The samples are points of the grid: those of the window that are
    // not yet, or no longer, in the quarter points' reach count all the same.
    const float samples = k.maxMagnitude(window_.data(), HalfHistory + n);
    const double most =
        std::max(samples * t.halfGain, double{k.maxMagnitude(half_.data(), PointHistory)}) *
        t.quarterGain;
    if (n >= PointHistory && most <= peak_) {
        // Only the halfway points the next block looks back on.
        k.half(t.half, window_.data() + n - PointHistory, PointHistory, half + n - PointHistory);
    } else {
        k.half(t.half, window_.data(), n, half);
        peak_ = std::max({peak_, samples,
                          k.quarter(t, half_.data(), window_.data() + Lead + 1 - PointHistory, n)});
    }
    std::copy(window_.begin() + n, window_.begin() + n + HalfHistory, history);
    std::copy(half_.begin() + n, half_.begin() + n + PointHistory, history + HalfHistory);
}

double TruePeakMeter::Finish()
{
    return peak_;
}

namespace
{

template <bool Fused>
float PlainPeak(const float* frames, unsigned channels, size_t stride, size_t count)
{
    const TruePeakTaps& t = TruePeakFilter();
    float peak = 0;
    for (unsigned c = 0; c < channels; c++) {
        // Silence before, as the meter hears it; every sample is a point.
        std::vector<float> x(HalfHistory + count, 0.0f);
        for (size_t i = 0; i < count; i++) {
            x[HalfHistory + i] = frames[i * stride + c];
            peak = std::max(peak, std::fabs(x[HalfHistory + i]));
        }
        std::vector<float> u(QuarterTaps - 1, 0.0f);
        for (size_t i = 0; i + HalfTaps <= x.size(); i++) {
            u.push_back(x[i + Lead]);
            u.push_back(HalfAt<Fused>(t.half, x.data() + i));
        }
        for (size_t i = 0; i + QuarterTaps <= u.size(); i++) {
            peak = std::max(peak, std::fabs(u[i + QuarterTaps - 1]));
            peak = std::max(peak, QuarterAt<Fused>(t, [&](unsigned k) { return u[i + k]; }));
        }
    }
    return peak;
}

} // namespace

double TruePeakReference(const float* frames, unsigned channels, size_t stride, size_t count,
                         bool fused)
{
    return fused ? PlainPeak<true>(frames, channels, stride, count)
                 : PlainPeak<false>(frames, channels, stride, count);
}

} // namespace sondrel
