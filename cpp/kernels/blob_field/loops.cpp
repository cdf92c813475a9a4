// The blob field's loops on the baseline instruction set, or their AVX2
// builds where the processor has AVX2.
#include "kernels/blob_field/loops.h"

#include "kernels/blob_field.h"
#include "kernels/blob_field/loop_bodies.h"
#include "kernels/cpu.h"

#if defined(VIS_X86_KERNELS)
#include "kernels/x86/blob_field_avx2.h"
#endif

namespace vis::blob {

bool scatter_bucket(const BucketStencil& st, const size_t* members, size_t count, const int32_t* ci,
                    const int32_t* cj, const double* lam, int32_t G, double* h, int32_t* col_lo, int32_t* col_hi,
                    Interrupt* stop) {
#if defined(VIS_X86_KERNELS)
    if (cpu_has_avx2()) return scatter_bucket_avx2(st, members, count, ci, cj, lam, G, h, col_lo, col_hi, stop);
#endif
    return scatter_bucket_body(st, members, count, ci, cj, lam, G, h, col_lo, col_hi, stop);
}

void add_bucket_sums(double* acc, double* h, size_t n) {
#if defined(VIS_X86_KERNELS)
    if (cpu_has_avx2()) return add_bucket_sums_avx2(acc, h, n);
#endif
    add_bucket_sums_body(acc, h, n);
}

void field_and_opacity_row(const double* acc, int n, const OpacityShape& os, double* field, double* alpha) {
#if defined(VIS_X86_KERNELS)
    if (cpu_has_avx2()) return field_and_opacity_row_avx2(acc, n, os, field, alpha);
#endif
    field_and_opacity_body(acc, n, os, field, alpha);
}

}  // namespace vis::blob

namespace vis {

using namespace blob;

void blob_bytes(const uint8_t* rgb, size_t stride, const double* alpha, int G, uint8_t* out) {
#if defined(VIS_X86_KERNELS)
    if (cpu_has_avx2()) return premultiplied_rows_avx2(rgb, stride, alpha, G, out);
#endif
    premultiplied_rows_body(rgb, stride, alpha, G, out);
}

void blob_bytes(const double* rgb, size_t stride, const double* alpha, int G, uint8_t* out) {
#if defined(VIS_X86_KERNELS)
    if (cpu_has_avx2()) return premultiplied_rows_avx2(rgb, stride, alpha, G, out);
#endif
    premultiplied_rows_body(rgb, stride, alpha, G, out);
}

}  // namespace vis
