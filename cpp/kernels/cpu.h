// Run-time choice of the kernels' instruction set. The build targets the
// baseline ISA; wider variants are compiled per function and picked here.
// VIS_GENERIC_KERNELS=1 in the environment forces the baseline paths, so the
// tests can check that every path gives the same results.
#pragma once

#include <cstdlib>

namespace vis {

inline bool generic_kernels_forced() {
    static const bool forced = [] {
        const char* v = std::getenv("VIS_GENERIC_KERNELS");
        return v != nullptr && v[0] != '\0' && v[0] != '0';
    }();
    return forced;
}

inline bool cpu_has_avx2() {
#if defined(__x86_64__) || defined(__i386__)
    // Every processor with AVX2 also counts bits in one instruction; the wide
    // kernels use both.
    static const bool v = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt") && !generic_kernels_forced();
    return v;
#else
    return false;
#endif
}

}  // namespace vis
