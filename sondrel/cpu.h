// The one place that asks the processor what it runs.  Every SIMD kernel
// keeps a table of function pointers for each instruction set, indexed by
// Isa; the instruction set is picked here, once, and each table looked up by it.
#pragma once

#include <array>
#include <cstddef>

namespace sondrel {

enum class Isa { Base, Avx2, Avx512 };
constexpr size_t IsaCount = 3;

// Whether this processor runs code built for `isa` (the AVX-512 paths need
// the F, BW and VL subsets).  Base always.
bool IsaSupported(Isa isa);

// The widest instruction set this processor runs, asked once.
Isa WidestIsa();

// A kernel module's tables, one per instruction set.  Off x86-64 the wider
// ones are built as plain code, and never picked.
template <typename Table> using IsaTables = std::array<Table, IsaCount>;

template <typename Table> const Table& ForIsa(const IsaTables<Table>& tables, Isa isa)
{
    return tables[static_cast<size_t>(isa)];
}

} // namespace sondrel
