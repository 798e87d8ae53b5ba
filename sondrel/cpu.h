// The one place that asks the processor what it runs.  Every SIMD kernel
// has a plain path and paths built for wider instruction sets; each picks
// among them through this check, once.
#pragma once

namespace sondrel {

enum class Isa { Base, Avx2, Avx512 };

// Whether this processor runs code built for `isa` (the AVX-512 paths need
// the F, BW and VL subsets).  Base always.
bool IsaSupported(Isa isa);

// The widest instruction set this processor runs.
Isa WidestIsa();

} // namespace sondrel
