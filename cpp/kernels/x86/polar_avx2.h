// The polar field's AVX2 entry points (x86-64 only; call where cpu_has_avx2()).
#pragma once

#include "kernels/interrupt.h"
#include "kernels/polar.h"
#include "kernels/polar/shader.h"

#include <cstddef>
#include <cstdint>

namespace vis {

// The tile walk of polar_render_native for finite positions; returns the number of
// grid points that took the full selection.
size_t polar_walk_tiles_avx2(const double* xy, size_t n, const polar::Shader& sh, const PolarBlend& p,
                             uint8_t* out, Interrupt* stop);

// One grid point from neighbour lists of another search: s[k] squared distances,
// ids[k] rows, d0 the raw nearest distance.
void polar_shade_avx2(const polar::Shader& sh, const double* s, const int64_t* ids, size_t K, double d0,
                      uint8_t* px);

}  // namespace vis
