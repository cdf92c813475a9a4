// The blob field's long loops: the scatter of one radius bucket, the
// bucket's sums added to the accumulators, lambda and opacity of a grid row
// (and blob_bytes, declared in blob_field.h). Each runs the generic loop, or
// its AVX2 build on processors that have it; both give the same values to
// the bit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/interrupt.h"

namespace vis::blob {

// One radius bucket's stencil: weights interleaved in pairs (w2[2k] =
// w2[2k + 1] = weight k, stencil row s at w2 + 2 * s * w), the non-zero
// columns of every row, and the first and last rows with any.
struct BucketStencil {
    const double* w2;
    const int32_t *span_lo, *span_hi;
    int32_t m, w, s_first, s_last;
};

// The stencil scattered for `count` members (target numbers) onto the
// interleaved per-bucket sums h (h[2c] the lambda-weighted, h[2c + 1] the
// plain weight of cell c): lam * weight and 1.0 * weight (exact) are added
// in the order members -> stencil row -> stencil column, positions off the
// grid clamped onto its border cells. Widens the touched column span
// [col_lo, col_hi] of every grid row; returns false when `stop` asked to
// stop.
bool scatter_bucket(const BucketStencil& st, const size_t* members, size_t count, const int32_t* ci,
                    const int32_t* cj, const double* lam, int32_t G, double* h, int32_t* col_lo, int32_t* col_hi,
                    Interrupt* stop);

// acc[i] += h[i], then h[i] = 0, for i < n.
void add_bucket_sums(double* acc, double* h, size_t n);

struct OpacityShape {
    double w0, cov_lo, tden, a_max;
};

// One grid row of n cells (acc interleaving num and den): lambda =
// clip(num / max(den, 1e-30), 0, 1) and opacity
// a_max * smoothstep(clip((den - w0 - cov_lo) / tden, 0, 1)).
void field_and_opacity_row(const double* acc, int n, const OpacityShape& os, double* field, double* alpha);

}  // namespace vis::blob
