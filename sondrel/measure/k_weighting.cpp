// K-weighting.  Channels sit in the lanes of a vector of doubles; every
// operation is the plain loop's, in its order, fused or not as it is, so each
// width gives the plain loop's result.
#include "measure/k_weighting.h"

#include "measure/lanes.h"

#include <cmath>
#include <cstring>

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

// One frame of the two stages, for one lane or a vector of lanes; s holds
// x1 x2 v1 v2 y1 y2 (v the shelf's output, the high-pass's input).  The
// products are added in order, each stage's feedback last, off the path of
// the next frame; each multiply-add fused (rounded once) or not.
template <bool Fused, typename T>
[[gnu::always_inline]] inline void Frame(const KWeighting& k, const T& x, T* s, T& y)
{
    const Biquad& a = k.shelf;
    const Biquad& b = k.highPass;
    T v = a.b0 * x;
    MulAdd<Fused>(v, a.b1, s[0]);
    MulAdd<Fused>(v, a.b2, s[1]);
    MulAdd<Fused>(v, -a.a2, s[3]);
    MulAdd<Fused>(v, -a.a1, s[2]);
    y = b.b0 * v;
    MulAdd<Fused>(y, b.b1, s[2]);
    MulAdd<Fused>(y, b.b2, s[3]);
    MulAdd<Fused>(y, -b.a2, s[5]);
    MulAdd<Fused>(y, -b.a1, s[4]);
    s[1] = s[0];
    s[0] = x;
    s[3] = s[2];
    s[2] = v;
    s[5] = s[4];
    s[4] = y;
}

template <unsigned V, bool Fused>
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
        Frame<Fused>(k, x, s, y);
        sum += y * y;
    }
    std::memcpy(state, s, sizeof s);
    std::memcpy(sums, &sum, sizeof sum);
}

// Each instruction set's build of the one loop: AVX-512 fuses each frame's
// path through the feedback into fused multiply-adds.
template <unsigned V>
void RunBase(const KWeighting& k, const float* in, size_t stride, size_t frames, double* state,
             double* sums)
{
    Run<V, false>(k, in, stride, frames, state, sums);
}

template <unsigned V>
[[SONDREL_AVX2]] void RunAvx2(const KWeighting& k, const float* in, size_t stride, size_t frames,
                              double* state, double* sums)
{
    Run<V, false>(k, in, stride, frames, state, sums);
}

template <unsigned V>
[[SONDREL_AVX512_KERNEL]] void RunAvx512(const KWeighting& k, const float* in, size_t stride,
                                         size_t frames, double* state, double* sums)
{
    Run<V, true>(k, in, stride, frames, state, sums);
}

// By lane count: 2, 4, 8.
struct KWeightKernels {
    KWeightFn run[3];
};

constexpr IsaTables<KWeightKernels> Kernels = {{
    {{RunBase<2>, RunBase<4>, RunBase<8>}},
    {{RunAvx2<2>, RunAvx2<4>, RunAvx2<8>}},
    {{RunAvx512<2>, RunAvx512<4>, RunAvx512<8>}},
}};

} // namespace

KWeightFn KWeightKernel(Isa isa, unsigned lanes)
{
    return ForIsa(Kernels, isa).run[lanes <= 2 ? 0 : lanes <= 4 ? 1 : 2];
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
                Frame<true>(k, double{in[f * stride + c]}, s, y);
            else
                Frame<false>(k, double{in[f * stride + c]}, s, y);
            sums[c] += y * y;
        }
        for (unsigned j = 0; j < KWeightingStateSize; j++)
            state[j * lanes + c] = s[j];
    }
}

} // namespace sondrel
