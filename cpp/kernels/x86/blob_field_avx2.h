// AVX2 builds of the blob field's loops (kernels/blob_field/loops.h), for
// processors where cpu_has_avx2() holds. Same arguments, same values.
#pragma once

#include "kernels/blob_field/loops.h"

namespace vis::blob {

bool scatter_bucket_avx2(const BucketStencil& st, const size_t* members, size_t count, const int32_t* ci,
                         const int32_t* cj, const double* lam, int32_t G, double* h, int32_t* col_lo,
                         int32_t* col_hi, Interrupt* stop);
void add_bucket_sums_avx2(double* acc, double* h, size_t n);
void field_and_opacity_row_avx2(const double* acc, int n, const OpacityShape& os, double* field, double* alpha);
// Four bytes per cell (R, G, B, A, the palette's own layout) take a path of
// their own: a pixel widened to doubles in one step.
void premultiplied_rows_avx2(const uint8_t* rgb, size_t stride, const double* alpha, int G, uint8_t* out);
void premultiplied_rows_avx2(const double* rgb, size_t stride, const double* alpha, int G, uint8_t* out);

}  // namespace vis::blob
