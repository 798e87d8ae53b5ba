// K-weighting.  Channels sit in the lanes of a vector of doubles; every
// operation is a separate multiply or add in the plain loop's order (no
// fused multiply-add), so each width gives the plain loop's result.
#include "measure/k_weighting.h"

#include "measure/lanes.h"

#include <cmath>
#include <cstring>
#include <utility>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace sondrel {

KWeighting KWeightingAt(uint32_t sampleRate)
{
    const double pi = 3.14159265358979323846;
    const double rate = sampleRate;
    KWeighting k{};
    {
        // High shelf: +4 dB above about 1.7 kHz, the head's effect.
        const double f0 = 1681.974450955533, gainDb = 3.999843853973347, q = 0.7071752369554196;
        const double t = std::tan(pi * f0 / rate);
        const double vh = std::pow(10.0, gainDb / 20), vb = std::pow(vh, 0.4996667741545416);
        const double a0 = 1 + t / q + t * t;
        k.shelf = {(vh + vb * t / q + t * t) / a0, 2 * (t * t - vh) / a0,
                   (vh - vb * t / q + t * t) / a0, 2 * (t * t - 1) / a0, (1 - t / q + t * t) / a0};
    }
    {
        // High-pass at about 38 Hz; its numerator is 1, -2, 1 at every rate.
        const double f0 = 38.13547087602444, q = 0.5003270373238773;
        const double t = std::tan(pi * f0 / rate);
        const double a0 = 1 + t / q + t * t;
        k.highPass = {1, -2, 1, 2 * (t * t - 1) / a0, (1 - t / q + t * t) / a0};
    }
    return k;
}

namespace
{

template <typename T>
[[gnu::always_inline]] inline void Shift(const T& x, const T& v, const T& y, T* s)
{
    s[1] = s[0];
    s[0] = x;
    s[3] = s[2];
    s[2] = v;
    s[5] = s[4];
    s[4] = y;
}

// One frame of the two stages, for one lane or a vector of lanes; s holds
// x1 x2 v1 v2 y1 y2 (v the shelf's output, the high-pass's input).  The
// products are added in order, each stage's feedback last, off the path of
// the next frame.
template <typename T>
[[gnu::always_inline]] inline void Frame(const KWeighting& k, const T& x, T* s, T& y)
{
    const Biquad& a = k.shelf;
    const Biquad& b = k.highPass;
    const T v = a.b0 * x + a.b1 * s[0] + a.b2 * s[1] - a.a2 * s[3] - a.a1 * s[2];
    y = b.b0 * v + b.b1 * s[2] + b.b2 * s[3] - b.a2 * s[5] - b.a1 * s[4];
    Shift(x, v, y, s);
}

// The same with each multiply-add fused (rounded once), for one lane.
inline void FusedFrame(const KWeighting& k, double x, double* s, double& y)
{
    const Biquad& a = k.shelf;
    const Biquad& b = k.highPass;
    double v = a.b0 * x;
    for (const auto& [c, at] : {std::pair(a.b1, 0), {a.b2, 1}, {-a.a2, 3}, {-a.a1, 2}})
        v = std::fma(c, s[at], v);
    y = b.b0 * v;
    for (const auto& [c, at] : {std::pair(b.b1, 2), {b.b2, 3}, {-b.a2, 5}, {-b.a1, 4}})
        y = std::fma(c, s[at], y);
    Shift(x, v, y, s);
}

template <unsigned V>
[[gnu::always_inline]] inline void Run(const KWeighting& k, const float* in, size_t stride,
                                       size_t frames, double* state, double* sums)
{
    using Doubles = typename Lanes<double, V>::type;
    Doubles s[KWeightingStateSize], sum;
    std::memcpy(s, state, sizeof s);
    std::memcpy(&sum, sums, sizeof sum);
    for (size_t f = 0; f < frames; f++) {
        Doubles x;
        for (unsigned l = 0; l < V; l++)
            x[l] = in[f * stride + l];
        Doubles y;
        Frame(k, x, s, y);
        sum += y * y;
    }
    std::memcpy(state, s, sizeof s);
    std::memcpy(sums, &sum, sizeof sum);
}

template <unsigned V>
void RunBase(const KWeighting& k, const float* in, size_t stride, size_t frames, double* state,
             double* sums)
{
    Run<V>(k, in, stride, frames, state, sums);
}

#if defined(__x86_64__) && defined(__GNUC__)
template <unsigned V>
[[gnu::target("avx2")]] void RunAvx2(const KWeighting& k, const float* in, size_t stride,
                                     size_t frames, double* state, double* sums)
{
    Run<V>(k, in, stride, frames, state, sums);
}

// Each frame's path through the feedback is one fused multiply-add, not a
// multiply and an add.
template <typename T>
[[SONDREL_AVX512, gnu::always_inline]] inline T Mad(double c, const T& x, const T& sum)
{
    const T cs = T{} + c;
    if constexpr (sizeof(T) == 16)
        return _mm_fmadd_pd(cs, x, sum);
    else if constexpr (sizeof(T) == 32)
        return _mm256_fmadd_pd(cs, x, sum);
    else
        return _mm512_fmadd_pd(cs, x, sum);
}

template <unsigned V>
[[SONDREL_AVX512]] void RunAvx512(const KWeighting& k, const float* in, size_t stride,
                                  size_t frames, double* state, double* sums)
{
    using Doubles = typename Lanes<double, V>::type;
    const Biquad& a = k.shelf;
    const Biquad& b = k.highPass;
    Doubles s[KWeightingStateSize], sum;
    std::memcpy(s, state, sizeof s);
    std::memcpy(&sum, sums, sizeof sum);
    for (size_t f = 0; f < frames; f++) {
        Doubles x;
        for (unsigned l = 0; l < V; l++)
            x[l] = in[f * stride + l];
        Doubles v = a.b0 * x;
        v = Mad(-a.a1, s[2], Mad(-a.a2, s[3], Mad(a.b2, s[1], Mad(a.b1, s[0], v))));
        Doubles y = b.b0 * v;
        y = Mad(-b.a1, s[4], Mad(-b.a2, s[5], Mad(b.b2, s[3], Mad(b.b1, s[2], y))));
        Shift(x, v, y, s);
        sum += y * y;
    }
    std::memcpy(state, s, sizeof s);
    std::memcpy(sums, &sum, sizeof sum);
}
#endif

} // namespace

KWeightFn KWeightKernel(Isa isa, unsigned lanes)
{
    const unsigned i = lanes <= 2 ? 0 : lanes <= 4 ? 1 : 2;
#if defined(__x86_64__) && defined(__GNUC__)
    static constexpr KWeightFn avx2[] = {RunAvx2<2>, RunAvx2<4>, RunAvx2<8>};
    static constexpr KWeightFn avx512[] = {RunAvx512<2>, RunAvx512<4>, RunAvx512<8>};
    if (isa == Isa::Avx2)
        return avx2[i];
    if (isa == Isa::Avx512)
        return avx512[i];
#else
    (void)isa;
#endif
    static constexpr KWeightFn base[] = {RunBase<2>, RunBase<4>, RunBase<8>};
    return base[i];
}

void KWeightReference(const KWeighting& k, unsigned lanes, bool fused, const float* in,
                      size_t stride, size_t frames, double* state, double* sums)
{
    for (unsigned c = 0; c < lanes; c++) {
        double s[KWeightingStateSize];
        for (unsigned j = 0; j < KWeightingStateSize; j++)
            s[j] = state[j * lanes + c];
        for (size_t f = 0; f < frames; f++) {
            double y;
            if (fused)
                FusedFrame(k, double{in[f * stride + c]}, s, y);
            else
                Frame(k, double{in[f * stride + c]}, s, y);
            sums[c] += y * y;
        }
        for (unsigned j = 0; j < KWeightingStateSize; j++)
            state[j * lanes + c] = s[j];
    }
}

} // namespace sondrel
