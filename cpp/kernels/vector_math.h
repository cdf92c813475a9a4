// Batched elementary functions for the hot loops of the image kernels.
//
// On x86-64 with glibc the batches go through libmvec, glibc's vector libm
// (its AVX2 variant when the processor has it, chosen at run time, so the
// build needs no -march flag); elsewhere through std::pow. libmvec's pow is
// within 1 ulp of std::pow, so sums of weights differ only in the last bits.
#pragma once

#include "kernels/cpu.h"

#include <cmath>
#include <cstddef>

#if defined(VIS_HAVE_LIBMVEC) && defined(__x86_64__)
#include <immintrin.h>

extern "C" __m256d _ZGVdN4v_exp(__m256d);
extern "C" __m256d _ZGVdN4v_log(__m256d);
#define VIS_INVERSE_POW4 1
#endif

namespace vis {

// out[i] = x[i] ^ p for i < n (out may alias x).
void pow_batch(const double* x, double p, double* out, size_t n);

// Inverse-distance weights: w[i] = 1 / x[i]^p, or 1.0 where x[i]^p is 0.
// With AVX2 the groups of four from the start are inverse_pow4 (below), a
// few ulp from std::pow (the weights feed sums over thousands of samples,
// whose last bits are not fixed anyway); the rest, and every element on other
// processors, pow_batch.
void inverse_pow_batch(const double* x, double p, double* w, size_t n);

#if defined(VIS_INVERSE_POW4)
// Whether inverse_pow_batch takes its four-lane path for the power p: p = 0
// would give 0 * log(0) = NaN, so only finite non-zero powers do.
inline bool inverse_pow4_serves(double p) { return cpu_has_avx2() && p != 0.0 && std::isfinite(p); }

// Four weights 1 / x^p (1.0 where x^p is 0) with x^p = exp(p * log(x)). Exact
// for x = 1; x = 0, inf and NaN follow pow's special values for a finite
// non-zero p.
__attribute__((target("avx2"), always_inline)) inline __m256d inverse_pow4(__m256d x, __m256d p) {
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d dp = _ZGVdN4v_exp(_mm256_mul_pd(p, _ZGVdN4v_log(x)));
    const __m256d is0 = _mm256_cmp_pd(dp, _mm256_setzero_pd(), _CMP_EQ_OQ);
    return _mm256_blendv_pd(_mm256_div_pd(one, dp), one, is0);
}
#endif

}  // namespace vis
