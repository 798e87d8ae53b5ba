// What the meter's vector kernels share: the vector type and the target of
// their AVX-512 versions.
#pragma once

namespace sondrel {

// A vector of N values of T in the compilers' own vector type (GCC and
// clang), which each target compiles to its widest registers.
template <typename T, unsigned N> struct Lanes {
    typedef T type __attribute__((vector_size(N * sizeof(T))));
};

// AVX-512 brings fused multiply-adds to every vector width.
#define SONDREL_AVX512 gnu::target("avx512f,avx512bw,avx512vl,fma")

} // namespace sondrel
