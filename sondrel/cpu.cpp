// Processor check.
#include "cpu.h"

namespace sondrel {

bool IsaSupported(Isa isa)
{
#if defined(__x86_64__) && defined(__GNUC__)
    switch (isa) {
    case Isa::Base:
        return true;
    case Isa::Avx2:
        return __builtin_cpu_supports("avx2");
    case Isa::Avx512:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512vl");
    }
    return false;
#else
    return isa == Isa::Base;
#endif
}

Isa WidestIsa()
{
    static const Isa widest = IsaSupported(Isa::Avx512) ? Isa::Avx512
                              : IsaSupported(Isa::Avx2) ? Isa::Avx2
                                                        : Isa::Base;
    return widest;
}

} // namespace sondrel
