// What the vector kernels share: the vector type, the targets of their
// wider versions and the multiply-add that is fused on one of them.
#pragma once

#include <cmath>
#include <type_traits>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace sondrel {

// A vector of N values of T in the compilers' own vector type (GCC and
// clang), which each target compiles to its widest registers.
template <typename T, unsigned N> struct Lanes {
    typedef T type __attribute__((vector_size(N * sizeof(T))));
};

// The targets of the wider tables; elsewhere than x86-64 they are plain
// code.  AVX-512 brings fused multiply-adds to every vector width.  The
// kernels built for it are flattened: see FusedMulAdd.
#if defined(__x86_64__) && defined(__GNUC__)
#define SONDREL_AVX2 gnu::target("avx2")
#define SONDREL_AVX512 gnu::target("avx512f,avx512bw,avx512vl,fma")
#define SONDREL_AVX512_KERNEL SONDREL_AVX512, gnu::flatten
#else
#define SONDREL_AVX2
#define SONDREL_AVX512
#define SONDREL_AVX512_KERNEL
#endif

#if defined(__x86_64__) && defined(__GNUC__)
// sum += c x on a vector, rounded once.  It carries its target, so it is
// inlined only into code built for it: the AVX-512 kernels, which are
// flattened to take it in.
template <typename T, typename C>
[[SONDREL_AVX512]] inline void FusedMulAdd(T& sum, C c, const T& x)
{
    const T cs = T{} + c;
    if constexpr (sizeof(C) == 8 && sizeof(T) == 16)
        sum = _mm_fmadd_pd(cs, x, sum);
    else if constexpr (sizeof(C) == 8 && sizeof(T) == 32)
        sum = _mm256_fmadd_pd(cs, x, sum);
    else if constexpr (sizeof(C) == 8)
        sum = _mm512_fmadd_pd(cs, x, sum);
    else if constexpr (sizeof(T) == 16)
        sum = _mm_fmadd_ps(cs, x, sum);
    else if constexpr (sizeof(T) == 32)
        sum = _mm256_fmadd_ps(cs, x, sum);
    else
        sum = _mm512_fmadd_ps(cs, x, sum);
}
#else
template <typename T, typename C> inline void FusedMulAdd(T& sum, C c, const T& x)
{
    for (unsigned l = 0; l < sizeof(T) / sizeof(C); l++)
        sum[l] = std::fma(c, x[l], sum[l]);
}
#endif

// sum += c x, rounded once (Fused) or after the product and the sum, on
// one value or a vector.
template <bool Fused, typename T, typename C>
[[gnu::always_inline]] inline void MulAdd(T& sum, C c, const T& x)
{
    if constexpr (!Fused)
        sum = c * x + sum;
    else if constexpr (std::is_floating_point_v<T>)
        sum = std::fma(c, x, sum);
    else
        FusedMulAdd(sum, c, x);
}

} // namespace sondrel
