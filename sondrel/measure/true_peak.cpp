// True peak.  The samples of one channel at a time are interpolated in
// vectors of consecutive outputs, as wide as the processor's registers;
// every output is the plain loop's sum, in its order, so each width gives
// the plain loop's result.
#include "measure/true_peak.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace
{

// A vector of N values of T in the compilers' own vector type (GCC and
// clang), which each target below compiles to its widest registers.
template <typename T, unsigned N> struct Lanes {
    typedef T type __attribute__((vector_size(N * sizeof(T))));
};

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

double SumOfMagnitudes(const float* h, unsigned n)
{
    double s = 0;
    for (unsigned k = 0; k < n; k++)
        s += std::fabs(double{h[k]});
    return s;
}

// Outputs of the halfway filter for windows starting at w[0..n): its even
// and odd taps summed apart, then added (two chains of additions, not one).
template <typename T, typename Load>
[[gnu::always_inline]] inline void HalfSums(const float* h, const float* w, T& even, T& odd,
                                            Load load)
{
    for (unsigned k = 0; k < HalfTaps; k += 2) {
        even += h[k] * load(w + k);
        odd += h[k + 1] * load(w + k + 1);
    }
}

template <unsigned V>
[[gnu::always_inline]] inline void Half(const float* h, const float* w, size_t n, float* out)
{
    using Vec = typename Lanes<float, V>::type;
    constexpr unsigned G = 4; // independent vectors in flight
    size_t i = 0;
    for (; i + G * V <= n; i += G * V) {
        Vec even[G] = {}, odd[G] = {};
        for (unsigned k = 0; k < HalfTaps; k += 2)
            for (unsigned g = 0; g < G; g++) {
                Vec x0, x1;
                std::memcpy(&x0, w + i + g * V + k, sizeof x0);
                std::memcpy(&x1, w + i + g * V + k + 1, sizeof x1);
                even[g] += h[k] * x0;
                odd[g] += h[k + 1] * x1;
            }
        for (unsigned g = 0; g < G; g++) {
            const Vec sum = even[g] + odd[g];
            std::memcpy(out + i + g * V, &sum, sizeof sum);
        }
    }
    for (; i < n; i++) {
        float even = 0, odd = 0;
        HalfSums(h, w + i, even, odd, [](const float* p) { return *p; });
        out[i] = even + odd;
    }
}

// The doubled samples alternate: a halfway point h, then a sample x.  Each
// quarter point's window of 8 starts at h[j] (the points after h[j+3]) or at
// x[j] (those after x[j+3], with h shifted by one); its taps are summed in
// the window's order, as the plain loop over the interleaved samples does.
template <typename T, typename Load>
[[gnu::always_inline]] inline void QuarterSums(const float (*q)[QuarterTaps], const float* a,
                                               const float* b, size_t j, T* acc, Load load)
{
    for (unsigned k = 0; k < QuarterTaps; k++) {
        T v;
        load((k % 2 == 0 ? a : b) + j + k / 2, v);
        for (unsigned p = 0; p < 3; p++)
            acc[p] += q[p][k] * v;
    }
}

// The largest magnitude of the quarter points of windows j in [0, n), both
// starting at h[j] and at x[j], and of the halfway points h[j + 4].
template <unsigned V>
[[gnu::always_inline]] inline float QuarterPeak(const float (*q)[QuarterTaps], const float* h,
                                                const float* x, size_t n)
{
    using Vec = typename Lanes<float, V>::type;
    auto load = [](const float* p, Vec& v) { std::memcpy(&v, p, sizeof v); };
    Vec top = {};
    size_t j = 0;
    for (; j + V <= n; j += V) {
        Vec acc[2][3] = {};
        QuarterSums(q, h, x, j, acc[0], load);
        QuarterSums(q, x, h + 1, j, acc[1], load);
        // The halfway points themselves are points of the grid too.
        Vec mid;
        load(h + PointHistory + j, mid);
        mid = mid < 0 ? -mid : mid;
        top = mid > top ? mid : top;
        for (const Vec* a : {acc[0], acc[1]})
            for (unsigned p = 0; p < 3; p++) {
                const Vec m = a[p] < 0 ? -a[p] : a[p];
                top = m > top ? m : top;
            }
    }
    float peak = 0;
    for (unsigned l = 0; l < V; l++)
        peak = std::max(peak, top[l]);
    for (; j < n; j++) {
        float acc[2][3] = {};
        auto scalar = [](const float* p, float& v) { v = *p; };
        QuarterSums(q, h, x, j, acc[0], scalar);
        QuarterSums(q, x, h + 1, j, acc[1], scalar);
        peak = std::max(peak, std::fabs(h[PointHistory + j]));
        for (const float* a : {acc[0], acc[1]})
            for (unsigned p = 0; p < 3; p++)
                peak = std::max(peak, std::fabs(a[p]));
    }
    return peak;
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

struct Kernels {
    void (*half)(const float* h, const float* w, size_t n, float* out);
    float (*quarter)(const float (*q)[QuarterTaps], const float* h, const float* x, size_t n);
    float (*maxMagnitude)(const float* x, size_t n);
};

void HalfBase(const float* h, const float* w, size_t n, float* out)
{
    Half<4>(h, w, n, out);
}
float QuarterBase(const float (*q)[QuarterTaps], const float* h, const float* x, size_t n)
{
    return QuarterPeak<4>(q, h, x, n);
}
float MaxBase(const float* x, size_t n)
{
    return MaxMagnitude<4>(x, n);
}

#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("avx2")]] void HalfAvx2(const float* h, const float* w, size_t n, float* out)
{
    Half<8>(h, w, n, out);
}
[[gnu::target("avx2")]] float QuarterAvx2(const float (*q)[QuarterTaps], const float* h,
                                          const float* x, size_t n)
{
    return QuarterPeak<8>(q, h, x, n);
}
[[gnu::target("avx2")]] float MaxAvx2(const float* x, size_t n)
{
    return MaxMagnitude<8>(x, n);
}
[[gnu::target("avx512f,avx512bw,avx512vl")]] void HalfAvx512(const float* h, const float* w,
                                                             size_t n, float* out)
{
    Half<16>(h, w, n, out);
}
[[gnu::target("avx512f,avx512bw,avx512vl")]] float
QuarterAvx512(const float (*q)[QuarterTaps], const float* h, const float* x, size_t n)
{
    return QuarterPeak<16>(q, h, x, n);
}
[[gnu::target("avx512f,avx512bw,avx512vl")]] float MaxAvx512(const float* x, size_t n)
{
    return MaxMagnitude<16>(x, n);
}
#endif

Kernels KernelsFor(Isa isa)
{
#if defined(__x86_64__) && defined(__GNUC__)
    if (isa == Isa::Avx512)
        return {HalfAvx512, QuarterAvx512, MaxAvx512};
    if (isa == Isa::Avx2)
        return {HalfAvx2, QuarterAvx2, MaxAvx2};
#else
    (void)isa;
#endif
    return {HalfBase, QuarterBase, MaxBase};
}

} // namespace

const TruePeakTaps& TruePeakFilter()
{
    static const TruePeakTaps taps = [] {
        TruePeakTaps t{};
        const std::vector<double> half = Phase(HalfTaps, HalfTaps / 2.0 - 0.5, 7);
        std::copy(half.begin(), half.end(), t.half);
        double quarter = 0;
        for (unsigned p = 0; p < 3; p++) {
            const std::vector<double> h =
                Phase(QuarterTaps, QuarterTaps / 2.0 - 1 + (p + 1) / 4.0, 7);
            std::copy(h.begin(), h.end(), t.quarter[p]);
            quarter = std::max(quarter, SumOfMagnitudes(t.quarter[p], QuarterTaps));
        }
        t.halfGain = SumOfMagnitudes(t.half, HalfTaps) * 1.001;
        t.quarterGain = quarter * 1.001;
        return t;
    }();
    return taps;
}

TruePeakMeter::TruePeakMeter(unsigned channels, size_t stride, Isa isa)
    : channels_(channels), stride_(stride), isa_(isa),
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
    const Kernels k = KernelsFor(isa_);
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
        peak_ = std::max(
            {peak_, samples,
             k.quarter(t.quarter, half_.data(), window_.data() + Lead + 1 - PointHistory, n)});
    }
    std::copy(window_.begin() + n, window_.begin() + n + HalfHistory, history);
    std::copy(half_.begin() + n, half_.begin() + n + PointHistory, history + HalfHistory);
}

double TruePeakMeter::Finish()
{
    // Enough silence to carry the last sample through both filters.
    const std::vector<float> silence(stride_ * (HalfTaps / 2 + QuarterTaps / 2), 0.0f);
    Add(silence.data(), HalfTaps / 2 + QuarterTaps / 2);
    return peak_;
}

double TruePeakReference(const float* frames, unsigned channels, size_t stride, size_t count)
{
    const TruePeakTaps& t = TruePeakFilter();
    const size_t tail = HalfTaps / 2 + QuarterTaps / 2;
    float peak = 0;
    for (unsigned c = 0; c < channels; c++) {
        // Silence before and after, as the meter hears it.
        std::vector<float> x(HalfHistory + count + tail, 0.0f);
        for (size_t i = 0; i < count; i++)
            x[HalfHistory + i] = frames[i * stride + c];
        std::vector<float> u(QuarterTaps - 1, 0.0f);
        for (size_t i = 0; i + HalfTaps <= x.size(); i++) {
            float even = 0, odd = 0;
            HalfSums(t.half, x.data() + i, even, odd, [](const float* p) { return *p; });
            u.push_back(x[i + Lead]);
            u.push_back(even + odd);
        }
        for (size_t i = 0; i + QuarterTaps <= u.size(); i++) {
            peak = std::max(peak, std::fabs(u[i + QuarterTaps - 1]));
            for (unsigned p = 0; p < 3; p++) {
                float acc = 0;
                for (unsigned k = 0; k < QuarterTaps; k++)
                    acc += t.quarter[p][k] * u[i + k];
                peak = std::max(peak, std::fabs(acc));
            }
        }
    }
    return peak;
}
