// The kernels' one dispatch layer: which instruction set a call may use.
//
// The build targets the baseline ISA of the platform. On x86-64 (VIS_X86_KERNELS,
// set by the build) wider variants live in cpp/kernels/x86/, each compiled per
// function for its ISA, and a kernel calls one only where cpu_has_avx2() says
// so; every kernel keeps a generic C++ path that compiles and runs on any
// processor and gives the same results under the same rules. Nothing outside
// cpp/kernels/x86/ includes an intrinsics header or names a target attribute.
//
// VIS_GENERIC_KERNELS=1 in the environment forces the generic paths, so the
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

#if defined(VIS_X86_KERNELS)
// Every processor with AVX2 also counts bits in one instruction; the wide
// kernels use both.
bool cpu_supports_avx2_popcnt();
bool cpu_supports_fma();
#endif

inline bool cpu_has_avx2() {
#if defined(VIS_X86_KERNELS)
    static const bool v = cpu_supports_avx2_popcnt() && !generic_kernels_forced();
    return v;
#else
    return false;
#endif
}

// AVX2 with fused multiply-add, for kernels whose results are held to a
// tolerance rather than to the bits of separate roundings.
inline bool cpu_has_avx2_fma() {
#if defined(VIS_X86_KERNELS)
    static const bool v = cpu_has_avx2() && cpu_supports_fma();
    return v;
#else
    return false;
#endif
}

}  // namespace vis
