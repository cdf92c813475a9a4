// The processor checks behind cpu.h, compiled for x86-64 only.
#include "kernels/cpu.h"

namespace vis {

bool cpu_supports_avx2_popcnt() {
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
}

bool cpu_supports_fma() { return __builtin_cpu_supports("fma"); }

}  // namespace vis
