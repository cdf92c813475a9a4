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
// |t| <= 0.1716, as 2t + t u Q(u), u = t^2. Q is the degree-6 Chebyshev
// interpolant of the series sum 2 u^(i-1) / (2i + 1) on [0, 0.02944], within
// 4e-18 of log(m) in that range.
VIS_AVX2_FMA __m256d log_reduced(__m256d m) {
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d t = _mm256_div_pd(_mm256_sub_pd(m, one), _mm256_add_pd(m, one));
    const __m256d u = _mm256_mul_pd(t, t), u2 = _mm256_mul_pd(u, u), u4 = _mm256_mul_pd(u2, u2);
    const __m256d a0 = pair(0x1.5555555555558p-1, 0x1.99999999950dcp-2, u);
    const __m256d a1 = pair(0x1.2492492e38924p-2, 0x1.c71c6289e6ac8p-3, u);
    const __m256d a2 = pair(0x1.7462ce3c0f52bp-3, 0x1.39fb234a9a892p-3, u);
    const __m256d b0 = _mm256_fmadd_pd(a1, u2, a0);
    const __m256d b1 = _mm256_fmadd_pd(_mm256_set1_pd(0x1.2b7f49c3d479ep-3), u2, a2);
    const __m256d q = _mm256_fmadd_pd(b1, u4, b0);
    return _mm256_fmadd_pd(_mm256_mul_pd(t, u), q, _mm256_add_pd(t, t));
}

// exp(r) for |r| <= 0.347: 1 + r + r^2 P(r). P is the degree-9 Chebyshev
// interpolant of (exp(r) - 1 - r) / r^2 on [-0.347, 0.347], within 5e-17 of
// exp(r) relative in that range.
VIS_AVX2_FMA __m256d exp_reduced(__m256d r) {
    const __m256d r2 = _mm256_mul_pd(r, r), r4 = _mm256_mul_pd(r2, r2), r8 = _mm256_mul_pd(r4, r4);
    const __m256d a0 = pair(0x1.0000000000001p-1, 0x1.5555555555550p-3, r);
    const __m256d a1 = pair(0x1.5555555553c0cp-5, 0x1.1111111114be9p-7, r);
    const __m256d a2 = pair(0x1.6c16c178a6769p-10, 0x1.a01a0183344aep-13, r);
    const __m256d a3 = pair(0x1.a019b92934e7cp-16, 0x1.71de7bdf7e3bdp-19, r);
    const __m256d a4 = pair(0x1.289133225edefp-22, 0x1.ae61d67d9c4f8p-26, r);
    const __m256d b0 = _mm256_fmadd_pd(a1, r2, a0), b1 = _mm256_fmadd_pd(a3, r2, a2);
    const __m256d p = _mm256_fmadd_pd(a4, r8, _mm256_fmadd_pd(b1, r4, b0));
    return _mm256_add_pd(_mm256_set1_pd(1.0), _mm256_fmadd_pd(r2, p, r));
}

// s^e = exp(e log s) for normal s > 0 with |e log s| <= 700, for N groups
// of four side by side (each step for every group before the next step), so
// the processor has independent work beside each group's long chain. log s
// is kept as k ln2hi (exact) + (log m + k ln2lo), and e log s as a rounded
// product plus its error, so the large values of |e log s| lose nothing to
// rounding.
template <int N>
VIS_AVX2_FMA void pow_fma_groups(const __m256d (&s)[N], __m256d e, __m256d (&w)[N]) {
    const std::int64_t bias = std::int64_t{1024} << 52;
    __m256d a[N], b[N], k[N], yh[N], yl[N];
    for (int i = 0; i < N; ++i) {
        // s = 2^k m with m in [sqrt(1/2), sqrt(2)); the offset keeps the
        // exponent field positive for the logical shift.
        const __m256i bits = _mm256_castpd_si256(s[i]);
        const __m256i ix = _mm256_sub_epi64(bits, _mm256_set1_epi64x(std::int64_t{0x3fe6a09e667f3bcd} - bias));
        const __m256i top = _mm256_and_si256(ix, _mm256_set1_epi64x(static_cast<std::int64_t>(0xfff0000000000000ull)));
        b[i] = _mm256_castsi256_pd(_mm256_add_epi64(_mm256_sub_epi64(bits, top), _mm256_set1_epi64x(bias)));
        k[i] = _mm256_sub_pd(
            _mm256_castsi256_pd(_mm256_or_si256(_mm256_srli_epi64(ix, 52), _mm256_set1_epi64x(0x4330000000000000))),
            _mm256_set1_pd(4503599627370496.0 + 1024.0));
        a[i] = _mm256_mul_pd(k[i], _mm256_set1_pd(kLn2Hi));
    }
    for (int i = 0; i < N; ++i) b[i] = _mm256_fmadd_pd(k[i], _mm256_set1_pd(kLn2Lo), log_reduced(b[i]));
    for (int i = 0; i < N; ++i) {
        yh[i] = _mm256_mul_pd(e, a[i]);
        yl[i] = _mm256_fmadd_pd(e, b[i], _mm256_fmsub_pd(e, a[i], yh[i]));
    }
    // exp(yh + yl) = 2^n exp(r), n the nearest integer to (yh + yl) / ln 2.
    const __m256d shifter = _mm256_set1_pd(6755399441055744.0);  // 1.5 * 2^52
    for (int i = 0; i < N; ++i) {
        const __m256d nb = _mm256_fmadd_pd(_mm256_add_pd(yh[i], yl[i]), _mm256_set1_pd(1.4426950408889634), shifter);
        const __m256d n = _mm256_sub_pd(nb, shifter);
        const __m256d r = _mm256_fnmadd_pd(n, _mm256_set1_pd(kLn2Hi), yh[i]);
        a[i] = _mm256_add_pd(_mm256_fnmadd_pd(n, _mm256_set1_pd(kLn2Lo), r), yl[i]);
        yh[i] = nb;
    }
    for (int i = 0; i < N; ++i) {
        const __m256i scale = _mm256_slli_epi64(_mm256_castpd_si256(yh[i]), 52);
        w[i] = _mm256_castsi256_pd(_mm256_add_epi64(_mm256_castpd_si256(exp_reduced(a[i])), scale));
    }
}

}  // namespace vis
