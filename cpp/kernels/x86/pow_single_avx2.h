// Powers in eight single-precision AVX2 lanes for the image kernels, where a
// relative error of at most 5e-5 (powers up to 64) moves a blended colour channel
// by less than a fortieth of a byte step.
#pragma once

#include <immintrin.h>

namespace vis {

// log2(r) for finite r > 0 that are normal floats: r = 2^e * m with m folded into
// [sqrt(1/2), sqrt(2)), log2(m) = 2 atanh(t) / ln 2 with t = (m - 1) / (m + 1),
// |t| <= 0.172, to the t^5 term (the next is below 2e-6).
__attribute__((target("avx2"))) inline __m256 log2_single(__m256 r) {
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256i bits = _mm256_castps_si256(r);
    const __m256i e = _mm256_sub_epi32(_mm256_srli_epi32(bits, 23), _mm256_set1_epi32(127));
    __m256 m = _mm256_castsi256_ps(
        _mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi32(0x007FFFFF)), _mm256_set1_epi32(0x3F800000)));
    const __m256 big = _mm256_cmp_ps(m, _mm256_set1_ps(1.41421356f), _CMP_GT_OQ);
    m = _mm256_blendv_ps(m, _mm256_mul_ps(m, _mm256_set1_ps(0.5f)), big);
    const __m256 ef = _mm256_add_ps(_mm256_cvtepi32_ps(e), _mm256_and_ps(big, one));
    const __m256 t = _mm256_div_ps(_mm256_sub_ps(m, one), _mm256_add_ps(m, one));
    // In u = t^2: (c1 + c3 u) + u^2 c5, short chains rather than one long one.
    const __m256 u = _mm256_mul_ps(t, t), u2 = _mm256_mul_ps(u, u);
    const __m256 lo = _mm256_add_ps(_mm256_set1_ps(2.88539008f), _mm256_mul_ps(_mm256_set1_ps(0.96179669f), u));  // 2/ln2, 2/(3 ln2)
    const __m256 p = _mm256_add_ps(lo, _mm256_mul_ps(u2, _mm256_set1_ps(0.57707801f)));  // 2/(5 ln2)
    return _mm256_add_ps(ef, _mm256_mul_ps(t, p));
}

// 2^y for y in [-125, 0]: y = n + f with n the nearest integer, 2^f by its Taylor
// series to f^5 (|f| <= 1/2, remainder below 2.5e-6), n added to the exponent bits.
__attribute__((target("avx2"))) inline __m256 exp2_single(__m256 y) {
    const __m256 n = _mm256_round_ps(y, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    const __m256 f = _mm256_sub_ps(y, n);
    // (1 + l1 f) + f^2 (l2 + l3 f) + f^4 (l4 + l5 f), with l_k = ln2^k / k!: short
    // chains rather than one Horner chain of ten operations.
    const __m256 f2 = _mm256_mul_ps(f, f), f4 = _mm256_mul_ps(f2, f2);
    const __m256 a = _mm256_add_ps(_mm256_set1_ps(1.0f), _mm256_mul_ps(_mm256_set1_ps(0.69314718f), f));
    const __m256 b = _mm256_add_ps(_mm256_set1_ps(0.24022651f), _mm256_mul_ps(_mm256_set1_ps(5.5504109e-2f), f));
    const __m256 c = _mm256_add_ps(_mm256_set1_ps(9.6181291e-3f), _mm256_mul_ps(_mm256_set1_ps(1.3333558e-3f), f));
    const __m256 p = _mm256_add_ps(_mm256_add_ps(a, _mm256_mul_ps(f2, b)), _mm256_mul_ps(f4, c));
    const __m256i scale = _mm256_slli_epi32(_mm256_cvtps_epi32(n), 23);
    return _mm256_castsi256_ps(_mm256_add_epi32(_mm256_castps_si256(p), scale));
}

}  // namespace vis
