// The Shepard fill's weights, with AVX2 and FMA: from a block of squared
// smoothed distances s (all inside the plan's [lo, hi]) to the sums of
// weights and of weighted values. One loop per way of forming a weight, the
// exponent of the root way fixed at compile time, so each loop is straight
// code the processor can run many groups of four ahead in.
#pragma once

#include "kernels/shepard.h"
#include "kernels/x86/pow_avx2.h"
#include "kernels/x86/root_power_avx2.h"

#include <cstddef>

namespace vis::shepard_avx2 {

// Sums of weighted values and of weights in two sets of four lanes: one set
// alone would make the short loops wait on the latency of its additions.
struct Sums {
    __m256d num[2], den[2];
};

struct WeightConsts {
    __m256d minus_half_power;
    int k;  // WholePower: the power
    RootSeries root;
};

VIS_AVX2_FMA WeightConsts weight_consts(const shepard::Plan& P) {
    WeightConsts c;
    c.minus_half_power = _mm256_set1_pd(-(P.power / 2.0));
    c.k = P.k;
    if (P.kind == shepard::WeightKind::Root) c.root = root_series(P.k, P.root);
    return c;
}

// A way of forming weights lane by lane, four at a time. The loop calls
// `groups` on kGroups groups at once, and on two at its end.
template <class W>
struct FourAtATime {
    static constexpr int kGroups = 2;
    template <int N>
    VIS_AVX2_FMA static void groups(const __m256d (&s)[N], const WeightConsts& c, __m256d (&w)[N]) {
        for (int i = 0; i < N; ++i) w[i] = W::four(s[i], c);
    }
};

struct UnitWeight : FourAtATime<UnitWeight> {
    VIS_AVX2_FMA static __m256d four(__m256d, const WeightConsts&) { return _mm256_set1_pd(1.0); }
};

struct InverseWeight : FourAtATime<InverseWeight> {
    VIS_AVX2_FMA static __m256d four(__m256d s, const WeightConsts&) { return _mm256_div_pd(_mm256_set1_pd(1.0), s); }
};

VIS_AVX2_FMA __m256d whole_power(__m256d b, int k) {
    __m256d r = (k & 1) ? b : _mm256_set1_pd(1.0);
    for (k >>= 1; k > 0; k >>= 1) {
        b = _mm256_mul_pd(b, b);
        if (k & 1) r = _mm256_mul_pd(r, b);
    }
    return r;
}

// s^(-k/2) for a whole power k, 1 <= |k| <= 8.
struct WholePowerWeight : FourAtATime<WholePowerWeight> {
    VIS_AVX2_FMA static __m256d four(__m256d s, const WeightConsts& c) {
        const __m256d one = _mm256_set1_pd(1.0);
        const int k = c.k;
        if (k % 2 == 0) return k > 0 ? whole_power(_mm256_div_pd(one, s), k / 2) : whole_power(s, -k / 2);
        const __m256d root = _mm256_sqrt_pd(s);
        return k > 0 ? whole_power(_mm256_div_pd(one, root), k) : whole_power(root, -k);
    }
};

// exp(-(p/2) log s), sixteen groups side by side as in the root way below
// (2.8 to 2.0 ns per pair at power 2.3).
struct GeneralWeight {
    static constexpr int kGroups = 16;
    template <int N>
    VIS_AVX2_FMA static void groups(const __m256d (&s)[N], const WeightConsts& c, __m256d (&w)[N]) {
        pow_fma_groups<N>(s, c.minus_half_power, w);
    }
};

// s^(-A/B): the root's guess works on eight lanes at once, and sixteen
// groups of four go through each step side by side. Their chains of
// dependent operations are long; with fewer groups side by side the
// processor runs out of independent work (measured: 1.5 ns per pair with
// two groups, 1.2 with eight, 1.1 with sixteen at power 2.4).
template <int A, int B>
struct RootWeight {
    static constexpr int kGroups = 16;
    template <int N>
    VIS_AVX2_FMA static void groups(const __m256d (&s)[N], const WeightConsts& c, __m256d (&w)[N]) {
        root_power_groups<A, B, N>(s, c.root, w);
    }
};

// All bits set in lanes 0 .. count-1, clear in the others.
VIS_AVX2_FMA __m256d first_lanes(size_t count) {
    const __m256i lane = _mm256_set_epi64x(3, 2, 1, 0);
    const auto n = static_cast<long long>(count);
    return _mm256_castsi256_pd(_mm256_cmpgt_epi64(_mm256_set1_epi64x(n), lane));
}

// Adds four weights and their weighted values sv to one set of sums.
VIS_AVX2_FMA void add_to(Sums& sums, int set, __m256d w, const double* sv) {
    sums.num[set] = _mm256_fmadd_pd(_mm256_loadu_pd(sv), w, sums.num[set]);
    sums.den[set] = _mm256_add_pd(sums.den[set], w);
}

// Adds the weights of `count` lanes of s (a whole number of groups of four
// readable, lanes past `count` ignored) and of their values sv.
using AddWeights = void (*)(const double* s, const double* sv, size_t count, const WeightConsts& c, Sums& sums);

// The plan's way of adding weights from blocks of s: for the root and the
// general ways, whose long chains of dependent operations run best in a loop
// of their own. The other ways cost one division or less, so their rows form
// s and weights in one loop, hiding the distances' arithmetic under it.
AddWeights weights_adder(const shepard::Plan& P);

}  // namespace vis::shepard_avx2
