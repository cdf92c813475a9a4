// Four-lane s^(-a/b) for an exponent a/b with a small denominator, with AVX2
// and FMA, by roots instead of logarithms: no division, exp or log. The root
// g = s^(-1/b) starts from a single-precision guess read off the bits of s and
// refined by Newton-like steps, eight lanes at a time; then g^a is corrected
// once in double precision by the series of (1 - t)^(-a/b), t = 1 - s g^b,
// which is where the result's accuracy comes from: within a few units in the
// last place. Every function takes N groups and goes through each of its
// steps for all of them side by side, so the processor always has
// independent work beside the long chains of one group.
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
template <int B, int N>
VIS_AVX2_FMA void root_guesses(const __m256 (&s)[N], const RootSeries& R, __m256 (&g)[N]) {
    __m256 t[N];
    for (int i = 0; i < N; ++i) {
        const __m256 bits = _mm256_cvtepi32_ps(_mm256_castps_si256(s[i]));
        g[i] = _mm256_castsi256_ps(_mm256_cvtps_epi32(_mm256_fmadd_ps(bits, R.seed_slope, R.seed_base)));
    }
    for (int step = 0; step < (B <= 5 ? 1 : 2); ++step) {
        for (int i = 0; i < N; ++i) t[i] = _mm256_fnmadd_ps(s[i], power_of<B>(g[i]), _mm256_set1_ps(1.0f));
        for (int i = 0; i < N; ++i) {
            const __m256 gain = _mm256_fmadd_ps(t[i], _mm256_fmadd_ps(t[i], R.step[2], R.step[1]), R.step[0]);
            g[i] = _mm256_fmadd_ps(_mm256_mul_ps(g[i], t[i]), gain, g[i]);
        }
    }
}

// s^(-A/B) from the root's guess g (a float, so g^2 is exact).
template <int A, int B, int N>
VIS_AVX2_FMA void root_finishes(const __m256d (&s)[N], const __m256d (&g)[N], const RootSeries& R, __m256d (&w)[N]) {
    __m256d gb[N], t[N], ga[N], p[N];
    for (int i = 0; i < N; ++i) gb[i] = power_of<B>(g[i]);
    for (int i = 0; i < N; ++i) t[i] = _mm256_fnmadd_pd(s[i], gb[i], _mm256_set1_pd(1.0));
    for (int i = 0; i < N; ++i) {
        if constexpr (A > B) {
            ga[i] = _mm256_mul_pd(gb[i], power_of<A - B>(g[i]));  // shares g^B's products
        } else {
            ga[i] = power_of<A>(g[i]);
        }
    }
    for (int i = 0; i < N; ++i) {
        const __m256d p01 = _mm256_fmadd_pd(t[i], R.series[1], R.series[0]);
        const __m256d p23 = _mm256_fmadd_pd(t[i], R.series[3], R.series[2]);
        p[i] = _mm256_fmadd_pd(_mm256_mul_pd(t[i], t[i]), p23, p01);
    }
    for (int i = 0; i < N; ++i) w[i] = _mm256_fmadd_pd(ga[i], _mm256_mul_pd(p[i], t[i]), ga[i]);
}

// s^(-A/B) for the 4N lanes of s, s in [2^-100, 2^100].
template <int A, int B, int N>
VIS_AVX2_FMA void root_power_groups(const __m256d (&s)[N], const RootSeries& R, __m256d (&w)[N]) {
    static_assert(N % 2 == 0);
    __m256 sf[N / 2], g[N / 2];
    for (int i = 0; i < N / 2; ++i)
        sf[i] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm256_cvtpd_ps(s[2 * i])), _mm256_cvtpd_ps(s[2 * i + 1]), 1);
    root_guesses<B, N / 2>(sf, R, g);
    __m256d gd[N];
    for (int i = 0; i < N / 2; ++i) {
        gd[2 * i] = _mm256_cvtps_pd(_mm256_castps256_ps128(g[i]));
        gd[2 * i + 1] = _mm256_cvtps_pd(_mm256_extractf128_ps(g[i], 1));
    }
    root_finishes<A, B, N>(s, gd, R, w);
}

}  // namespace vis
