// Shepard fill, one query point against all samples, four samples per step
// with AVX2 and FMA. Call only where cpu_has_avx2_fma() holds.
#pragma once

#include "kernels/shepard.h"

namespace vis {

// The fill at one query point q, given as 2q (twice_q, d coordinates) and
// q2 = |q|^2 summed over the coordinates in order. Requires coordinates for
// which 2 (q.p) = (2q).p exactly and no sum of squares overflows.
double shepard_row_avx2(const double* twice_q, double q2, const shepard::Plan& plan);

}  // namespace vis
