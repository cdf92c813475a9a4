// The weights of one radius bucket on the grid: the Franke-Shepard
// compact-support weight ((1 - u) / u)^p of the softened distance u, in
// units of the bucket radius, of every cell offset.
#pragma once

#include <cstdint>
#include <vector>

#include "kernels/blob_field/loops.h"

namespace vis::blob {

// Stencil half-width m = max(1, ceil(Rb / cm)) cells for radius Rb on cells
// of size cm. Throws std::bad_alloc beyond 4095 cells: the grid has at most
// 601 cells a side, so a wider stencil would be a radius far beyond any grid
// (the cap keeps w * w well inside int32 and the stencil at most 1 GiB).
int32_t stencil_half_width(double Rb, double cm);

// The arrays behind a BucketStencil, reused from bucket to bucket.
struct StencilStore {
    std::vector<double> weights, pairs;
    std::vector<int32_t> span_lo, span_hi;
};

// The (2m + 1)^2 weights of radius Rb with half-width m, softening ratio rho
// and power p, clipped to 1e6, zero where u >= 1, held in `store`. Returns
// false when every weight is zero.
bool bucket_stencil(double Rb, int32_t m, double cm, double rho, double p, StencilStore& store,
                    BucketStencil& out);

}  // namespace vis::blob
