// Four-lane s^(-a/b) for an exponent a/b with a small denominator, with AVX2
// and FMA, by roots instead of logarithms: no division, exp or log. The root
// g = s^(-1/b) starts from a single-precision guess read off the bits of s and
// refined by Newton steps, eight lanes at a time; then g^a is corrected once in
// double precision by the series of (1 - t)^(-a/b), t = 1 - s g^b, which is
// where the result's accuracy comes from: within a few units in the last place.
#pragma once

#include "kernels/x86/pow_avx2.h"

namespace vis {

VIS_AVX2_FMA __m256 times(__m256 u, __m256 v) { return _mm256_mul_ps(u, v); }
VIS_AVX2_FMA __m256d times(__m256d u, __m256d v) { return _mm256_mul_pd(u, v); }

// x^K by squaring, unrolled.
template <int K, class V>
VIS_AVX2_FMA V power_of(V x) {
    if constexpr (K == 1) {
        return x;
    } else if constexpr (K % 2 == 0) {
        const V h = power_of<K / 2>(x);
        return times(h, h);
    } else {
        return times(power_of<K - 1>(x), x);
    }
}

// The constants of the exponent A/B that are not whole numbers.
struct RootSeries {
    __m256 seed_base, seed_slope;  // bits(g) ~ seed_base + seed_slope * bits(s)
    __m256 step[3];                // a refining step: g *= 1 + step[0] t + step[1] t^2 + step[2] t^3
    __m256d series[4];             // (1 - t)^(-A/B) ~ 1 + series[0] t + ... + series[3] t^4
};

VIS_AVX2_FMA RootSeries root_series(int a, int b) {
    RootSeries R;
    const float fb = static_cast<float>(b);
    // An offset of about 0.05 of an octave halves the guess's worst error
    // (to about 3 %), as in the well-known inverse square root.
    const float tweak = 0.0675f - 0.0017f * fb;
    R.seed_base = _mm256_set1_ps((1.0f + 1.0f / fb) * static_cast<float>(0x3f800000) - tweak * 8388608.0f);
    R.seed_slope = _mm256_set1_ps(-1.0f / fb);
    // Both are the binomial series of (1 - t)^(-c): for the root (c = 1/B)
    // in single precision, for the power (c = A/B) in double.
    const double root = 1.0 / b, c = static_cast<double>(a) / b;
    double root_term = 1.0, term = 1.0;
    for (int k = 0; k < 4; ++k) {
        root_term = root_term * (root + k) / (k + 1);
        term = term * (c + k) / (k + 1);
        if (k < 3) R.step[k] = _mm256_set1_ps(static_cast<float>(root_term));
        R.series[k] = _mm256_set1_pd(term);
    }
    return R;
}

// g ~ s^(-1/B) for the eight lanes of s, in single precision. Each step is
// of third order: one brings the guess's 3 % to t <= 2.4e-4 for B <= 5, two
// reach single precision for larger B. Either way the series' first dropped
// term, C(A/B + 4, 5) t^5, stays below 1e-16 for every A <= 20.
template <int B>
VIS_AVX2_FMA __m256 root_guess(__m256 s, const RootSeries& R) {
    const __m256 bits = _mm256_cvtepi32_ps(_mm256_castps_si256(s));
    __m256 g = _mm256_castsi256_ps(_mm256_cvtps_epi32(_mm256_fmadd_ps(bits, R.seed_slope, R.seed_base)));
    for (int step = 0; step < (B <= 5 ? 1 : 2); ++step) {
        const __m256 t = _mm256_fnmadd_ps(s, power_of<B>(g), _mm256_set1_ps(1.0f));
        const __m256 gain = _mm256_fmadd_ps(t, _mm256_fmadd_ps(t, R.step[2], R.step[1]), R.step[0]);
        g = _mm256_fmadd_ps(_mm256_mul_ps(g, t), gain, g);
    }
    return g;
}

// s^(-A/B) from the root's guess g (a float, so g^2 is exact).
template <int A, int B>
VIS_AVX2_FMA __m256d root_finish(__m256d s, __m256d g, const RootSeries& R) {
    const __m256d gb = power_of<B>(g);
    const __m256d t = _mm256_fnmadd_pd(s, gb, _mm256_set1_pd(1.0));
    __m256d ga;
    if constexpr (A > B) {
        ga = _mm256_mul_pd(gb, power_of<A - B>(g));  // shares g^B's products
    } else {
        ga = power_of<A>(g);
    }
    const __m256d p01 = _mm256_fmadd_pd(t, R.series[1], R.series[0]);
    const __m256d p23 = _mm256_fmadd_pd(t, R.series[3], R.series[2]);
    const __m256d p = _mm256_fmadd_pd(_mm256_mul_pd(t, t), p23, p01);
    return _mm256_fmadd_pd(ga, _mm256_mul_pd(p, t), ga);
}

// s0^(-A/B) and s1^(-A/B), for s in [2^-100, 2^100].
template <int A, int B>
VIS_AVX2_FMA void root_power_pair(__m256d s0, __m256d s1, const RootSeries& R, __m256d& w0, __m256d& w1) {
    const __m256 s = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm256_cvtpd_ps(s0)), _mm256_cvtpd_ps(s1), 1);
    const __m256 g = root_guess<B>(s, R);
    w0 = root_finish<A, B>(s0, _mm256_cvtps_pd(_mm256_castps256_ps128(g)), R);
    w1 = root_finish<A, B>(s1, _mm256_cvtps_pd(_mm256_extractf128_ps(g, 1)), R);
}

}  // namespace vis
