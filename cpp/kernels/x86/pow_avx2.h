// Four-lane powers for the Shepard weights, with AVX2 and FMA: within a few
// units in the last place over the range the caller guarantees, which the
// weights' tolerance needs; no special values.
#pragma once

#include <immintrin.h>

#include <cstdint>

#define VIS_AVX2_FMA __attribute__((target("avx2,fma"), always_inline)) inline

namespace vis {

// ln 2 split so that its upper part times an integer below 2^21 is exact.
constexpr double kLn2Hi = 6.93147180369123816490e-01;
constexpr double kLn2Lo = 1.90821492927058770002e-10;

// c0 + c1 x. The polynomials below go by Estrin's scheme, in pairs, so
// that their chains of dependent operations stay short.
VIS_AVX2_FMA __m256d pair(double c0, double c1, __m256d x) {
    return _mm256_fmadd_pd(_mm256_set1_pd(c1), x, _mm256_set1_pd(c0));
}

// log(m) for m in [sqrt(1/2), sqrt(2)): 2 atanh(t) with t = (m - 1)/(m + 1),
// |t| <= 0.172, as 2t + t u Q(u), u = t^2, to the t^19 term (the first left
// out is below 1e-17 of the result).
VIS_AVX2_FMA __m256d log_reduced(__m256d m) {
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d t = _mm256_div_pd(_mm256_sub_pd(m, one), _mm256_add_pd(m, one));
    const __m256d u = _mm256_mul_pd(t, t), u2 = _mm256_mul_pd(u, u), u4 = _mm256_mul_pd(u2, u2);
    const __m256d a0 = pair(2.0 / 3, 2.0 / 5, u), a1 = pair(2.0 / 7, 2.0 / 9, u);
    const __m256d a2 = pair(2.0 / 11, 2.0 / 13, u), a3 = pair(2.0 / 15, 2.0 / 17, u);
    const __m256d b0 = _mm256_fmadd_pd(a1, u2, a0), b1 = _mm256_fmadd_pd(a3, u2, a2);
    const __m256d q = _mm256_fmadd_pd(_mm256_fmadd_pd(_mm256_set1_pd(2.0 / 19), u4, b1), u4, b0);
    return _mm256_fmadd_pd(_mm256_mul_pd(t, u), q, _mm256_add_pd(t, t));
}

// exp(r) for |r| <= 0.35: 1 + r + r^2 P(r), Taylor to the r^12 term (the
// first left out is below 1.7e-16).
VIS_AVX2_FMA __m256d exp_reduced(__m256d r) {
    constexpr double c[] = {1.0 / 2,     1.0 / 6,      1.0 / 24,      1.0 / 120,      1.0 / 720,      1.0 / 5040,
                            1.0 / 40320, 1.0 / 362880, 1.0 / 3628800, 1.0 / 39916800, 1.0 / 479001600};
    const __m256d r2 = _mm256_mul_pd(r, r), r4 = _mm256_mul_pd(r2, r2), r8 = _mm256_mul_pd(r4, r4);
    const __m256d a0 = pair(c[0], c[1], r), a1 = pair(c[2], c[3], r), a2 = pair(c[4], c[5], r);
    const __m256d a3 = pair(c[6], c[7], r), a4 = pair(c[8], c[9], r);
    const __m256d b0 = _mm256_fmadd_pd(a1, r2, a0), b1 = _mm256_fmadd_pd(a3, r2, a2);
    const __m256d b2 = _mm256_fmadd_pd(_mm256_set1_pd(c[10]), r2, a4);
    const __m256d p = _mm256_fmadd_pd(b2, r8, _mm256_fmadd_pd(b1, r4, b0));
    return _mm256_add_pd(_mm256_set1_pd(1.0), _mm256_fmadd_pd(r2, p, r));
}

// s^e = exp(e log s) for normal s > 0 with |e log s| <= 700. log s is kept as
// k ln2hi (exact) + (log m + k ln2lo), and e log s as a rounded product plus
// its error, so the large values of |e log s| lose nothing to rounding.
VIS_AVX2_FMA __m256d pow_fma(__m256d s, __m256d e) {
    // s = 2^k m with m in [sqrt(1/2), sqrt(2)); the offset keeps the
    // exponent field positive for the logical shift.
    const __m256i bits = _mm256_castpd_si256(s);
    const std::int64_t bias = std::int64_t{1024} << 52;
    const __m256i ix = _mm256_sub_epi64(bits, _mm256_set1_epi64x(std::int64_t{0x3fe6a09e667f3bcd} - bias));
    const __m256i top = _mm256_and_si256(ix, _mm256_set1_epi64x(static_cast<std::int64_t>(0xfff0000000000000ull)));
    const __m256d m = _mm256_castsi256_pd(_mm256_add_epi64(_mm256_sub_epi64(bits, top), _mm256_set1_epi64x(bias)));
    const __m256d k = _mm256_sub_pd(
        _mm256_castsi256_pd(_mm256_or_si256(_mm256_srli_epi64(ix, 52), _mm256_set1_epi64x(0x4330000000000000))),
        _mm256_set1_pd(4503599627370496.0 + 1024.0));
    const __m256d a = _mm256_mul_pd(k, _mm256_set1_pd(kLn2Hi));
    const __m256d b = _mm256_fmadd_pd(k, _mm256_set1_pd(kLn2Lo), log_reduced(m));
    const __m256d yh = _mm256_mul_pd(e, a);
    const __m256d yl = _mm256_fmadd_pd(e, b, _mm256_fmsub_pd(e, a, yh));
    // exp(yh + yl) = 2^n exp(r), n the nearest integer to (yh + yl) / ln 2.
    const __m256d shifter = _mm256_set1_pd(6755399441055744.0);  // 1.5 * 2^52
    const __m256d nb = _mm256_fmadd_pd(_mm256_add_pd(yh, yl), _mm256_set1_pd(1.4426950408889634), shifter);
    const __m256d n = _mm256_sub_pd(nb, shifter);
    __m256d r = _mm256_fnmadd_pd(n, _mm256_set1_pd(kLn2Hi), yh);
    r = _mm256_add_pd(_mm256_fnmadd_pd(n, _mm256_set1_pd(kLn2Lo), r), yl);
    const __m256i scale = _mm256_slli_epi64(_mm256_castpd_si256(nb), 52);
    return _mm256_castsi256_pd(_mm256_add_epi64(_mm256_castpd_si256(exp_reduced(r)), scale));
}

}  // namespace vis
