// The blob field's loop bodies compiled for AVX2, and the byte path of
// four-byte colours in AVX2 intrinsics.
#include "kernels/x86/blob_field_avx2.h"

#include <immintrin.h>

#include "kernels/blob_field/loop_bodies.h"

#define VIS_AVX2 __attribute__((target("avx2")))

namespace vis::blob {

VIS_AVX2 bool scatter_bucket_avx2(const BucketStencil& st, const size_t* members, size_t count, const int32_t* ci,
                                  const int32_t* cj, const double* lam, int32_t G, double* h, int32_t* col_lo,
                                  int32_t* col_hi, Interrupt* stop) {
    return scatter_bucket_body(st, members, count, ci, cj, lam, G, h, col_lo, col_hi, stop);
}

VIS_AVX2 void add_bucket_sums_avx2(double* acc, double* h, size_t n) { add_bucket_sums_body(acc, h, n); }

VIS_AVX2 void field_and_opacity_row_avx2(const double* acc, int n, const OpacityShape& os, double* field,
                                         double* alpha) {
    field_and_opacity_body(acc, n, os, field, alpha);
}

namespace {

// A pixel's four bytes (its A replaced by 255, so that lane gives
// alpha * 255) widened to doubles in one step. max(v, 0) returns its second
// operand for NaN, as the clip must; the bytes match the generic loop's.
VIS_AVX2 void premultiplied_rgba(const uint8_t* rgba, const double* alpha, int G, uint8_t* out) {
    const __m256d zero = _mm256_setzero_pd(), top = _mm256_set1_pd(255.0);
    for (int j = 0; j < G; ++j) {
        uint8_t* o = out + static_cast<size_t>(G - 1 - j) * G * 4;
        const size_t row = static_cast<size_t>(j) * G;
        for (int i = 0; i < G; ++i) {
            uint32_t word;
            std::memcpy(&word, rgba + 4 * (row + i), 4);
            const __m128i px = _mm_cvtsi32_si128(static_cast<int>(word | 0xFF000000u));
            __m256d v = _mm256_mul_pd(_mm256_cvtepi32_pd(_mm_cvtepu8_epi32(px)), _mm256_set1_pd(alpha[row + i]));
            v = _mm256_min_pd(_mm256_max_pd(v, zero), top);
            __m128i b = _mm256_cvttpd_epi32(v);
            b = _mm_packus_epi16(_mm_packus_epi32(b, b), b);
            word = static_cast<uint32_t>(_mm_cvtsi128_si32(b));
            std::memcpy(o + 4 * i, &word, 4);
        }
    }
}

}  // namespace

VIS_AVX2 void premultiplied_rows_avx2(const uint8_t* rgb, size_t stride, const double* alpha, int G,
                                      uint8_t* out) {
    if (stride == 4) return premultiplied_rgba(rgb, alpha, G, out);
    premultiplied_rows_body(rgb, stride, alpha, G, out);
}

VIS_AVX2 void premultiplied_rows_avx2(const double* rgb, size_t stride, const double* alpha, int G,
                                      uint8_t* out) {
    premultiplied_rows_body(rgb, stride, alpha, G, out);
}

}  // namespace vis::blob
