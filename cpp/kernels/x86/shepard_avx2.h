// Shepard fill, one query point against all samples, four samples per step
// with AVX2 and FMA. Call only where cpu_has_avx2_fma() holds.
#pragma once

#include "kernels/shepard.h"

namespace vis {

// The fill at query points first .. last-1 of q (row-major, plan.d
// coordinates each) into out. Requires coordinates for which 2 (q.p) = (2q).p
// exactly and no sum of squares overflows.
void shepard_rows_avx2(const double* q, size_t first, size_t last, const shepard::Plan& plan, double* out);

}  // namespace vis
