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
// Weights are formed from the squared smoothed distance s as s^(-power/2),
// within a few units in the last place of 1 / d^power; pairs whose s lies
// where that shortcut could differ from the definition (exact hits, under-
// and overflow, non-finite values) take the definition itself.
// Extra memory is O(n * d); nothing of size m x n is formed.
// `stop` is polled between query points; once it says stop the function
// returns with `out` partly filled.
void shepard_fill(const double* q, size_t m, const double* p, size_t n, size_t d, const double* sv,
                  double power, double smoothing, double* out, Interrupt* stop = nullptr);

// What one fill shares with its wide variant (cpp/kernels/x86/).
namespace shepard {

// Samples are padded to a whole number of vectors of this many lanes.
constexpr size_t kLanes = 4;

// How a weight is formed from s in [lo, hi]: 1; 1/s; products of 1/s, s,
// 1/sqrt(s) or sqrt(s) for a whole power k; powers of the root s^(-1/root)
// where power/2 is k/root; exp(-(power/2) log s).
enum class WeightKind { Unit, Inverse, WholePower, Root, General };

struct Plan {
    size_t n, d;
    size_t stride;     // n rounded up to kLanes; the padding repeats the last sample
    const double* x;   // coordinate k of sample j at x[k * stride + j]
    const double* p2;  // squared norms
    const double* sv;  // values, 0 in the padding
    double power, s2;  // s2 = smoothing^2
    WeightKind kind;
    int k;             // WholePower: the power, 1 <= |k| <= 8; Root: power/2 = k/root
    int root;          // Root: 2 <= root <= 10
    double lo, hi;     // s in [lo, hi]: the kind's formula holds, no exact hit
    bool check;        // some pair may have s outside [lo, hi] (else none can)
};

// |q|^2 summed over the d coordinates in order, as the samples' p2 are.
inline double squared_norm(const double* q, size_t d) {
    double s = d ? q[0] * q[0] : 0.0;
    for (size_t k = 1; k < d; ++k) s = s + q[k] * q[k];
    return s;
}

// Weight of one pair from its squared smoothed distance exactly as defined:
// 1 / d^power with d = sqrt(s), 1.0 where d^power is 0. `near` tells an exact hit.
double exact_weight(double s, double power, bool& near);

}  // namespace shepard

}  // namespace vis
