// Shepard inverse-distance fill, streamed over the samples.
#pragma once

#include "kernels/interrupt.h"

#include <cstddef>

namespace vis {

// Fills m query points (q: m x d, row-major) from n samples (p: n x d,
// values sv[0..n-1]) by inverse-distance weighting with d = sqrt(dist^2 +
// smoothing^2) raised to `power`.  A smoothed distance below 1e-8 is an exact
// hit: the first such sample's value is taken.  Squared distances come from
// the expansion q2 - 2 q.p + p2 with all three sums formed over the
// coordinates in the same order, so equal points give exactly 0.
// Extra memory is O(n * d); nothing of size m x n is formed.
// `stop` is polled between query points; once it says stop the function
// returns with `out` partly filled.
void shepard_fill(const double* q, size_t m, const double* p, size_t n, size_t d, const double* sv,
                  double power, double smoothing, double* out, Interrupt* stop = nullptr);

}  // namespace vis
