// The Shepard fill's wide rows: squared smoothed distances of four samples
// at a time, their weights by the shortcut of the plan's kind, and the sums.
// Distances follow the definition's arithmetic operation by operation (no
// fused multiply-add there), so exact hits and their threshold are the
// definition's; only the weights are formed differently.
#include "kernels/x86/shepard_avx2.h"

#include "kernels/x86/pow_avx2.h"

namespace vis {

namespace {

using shepard::Plan;
using shepard::WeightKind;

// s = max((q2 - (2q).p) + p2, 0) + s2 for samples j .. j+3; max(0, NaN) keeps the NaN.
template <int kD>
VIS_AVX2_FMA __m256d smoothed_sq(const double* tq, __m256d vq2, __m256d vs2, const Plan& P, size_t j) {
    const size_t d = kD > 0 ? static_cast<size_t>(kD) : P.d;
    const double* x = P.x + j;
    __m256d cross = _mm256_mul_pd(_mm256_set1_pd(tq[0]), _mm256_loadu_pd(x));
    for (size_t k = 1; k < d; ++k)
        cross = _mm256_add_pd(cross, _mm256_mul_pd(_mm256_set1_pd(tq[k]), _mm256_loadu_pd(x + k * P.stride)));
    const __m256d sq = _mm256_add_pd(_mm256_sub_pd(vq2, cross), _mm256_loadu_pd(P.p2 + j));
    return _mm256_add_pd(_mm256_max_pd(_mm256_setzero_pd(), sq), vs2);
}

VIS_AVX2_FMA __m256d whole_power(__m256d b, int k) {
    __m256d r = (k & 1) ? b : _mm256_set1_pd(1.0);
    for (k >>= 1; k > 0; k >>= 1) {
        b = _mm256_mul_pd(b, b);
        if (k & 1) r = _mm256_mul_pd(r, b);
    }
    return r;
}

// s^(-k/2) for a whole power k, 1 <= |k| <= 8.
VIS_AVX2_FMA __m256d whole_power_weight(__m256d s, int k) {
    const __m256d one = _mm256_set1_pd(1.0);
    if (k % 2 == 0) return k > 0 ? whole_power(_mm256_div_pd(one, s), k / 2) : whole_power(s, -k / 2);
    const __m256d root = _mm256_sqrt_pd(s);
    return k > 0 ? whole_power(_mm256_div_pd(one, root), k) : whole_power(root, -k);
}

// Weights for s inside the plan's [lo, hi].
template <WeightKind kKind>
VIS_AVX2_FMA __m256d weights(__m256d s, const Plan& P, __m256d minus_half_power) {
    if (kKind == WeightKind::Unit) return _mm256_set1_pd(1.0);
    if (kKind == WeightKind::Inverse) return _mm256_div_pd(_mm256_set1_pd(1.0), s);
    if (kKind == WeightKind::WholePower) return whole_power_weight(s, P.k);
    return pow_fma(s, minus_half_power);
}

struct Sums {
    __m256d num, den;
    double num_x, den_x;  // pairs taken by the definition
};

// Lanes 0 .. count-1 of s by the definition; true (and the value in `hit`)
// at the first exact hit.
VIS_AVX2_FMA bool exact_lanes(__m256d s, const Plan& P, size_t j, size_t count, Sums& sums, double& hit) {
    alignas(32) double sl[shepard::kLanes];
    _mm256_store_pd(sl, s);
    for (size_t t = 0; t < count; ++t) {
        bool near;
        const double w = shepard::exact_weight(sl[t], P.power, near);
        if (near) {
            hit = P.sv[j + t];
            return true;
        }
        sums.num_x += P.sv[j + t] * w;
        sums.den_x += w;
    }
    return false;
}

VIS_AVX2_FMA bool outside(__m256d s, __m256d lo, __m256d hi) {
    const __m256d out = _mm256_or_pd(_mm256_cmp_pd(s, lo, _CMP_NGE_UQ), _mm256_cmp_pd(s, hi, _CMP_NLE_UQ));
    return _mm256_movemask_pd(out) != 0;
}

struct RowConsts {
    __m256d q2, s2, lo, hi, e;
};

// Adds the weights of samples j .. j+3 to the sums; true at an exact hit,
// whose value goes to `hit`.
template <int kD, WeightKind kKind, bool kCheck>
VIS_AVX2_FMA bool add_group(const double* tq, const RowConsts& c, const Plan& P, size_t j, Sums& sums,
                            double& hit) {
    const __m256d s = smoothed_sq<kD>(tq, c.q2, c.s2, P, j);
    if (kCheck && outside(s, c.lo, c.hi)) return exact_lanes(s, P, j, shepard::kLanes, sums, hit);
    const __m256d w = weights<kKind>(s, P, c.e);
    sums.num = _mm256_fmadd_pd(_mm256_loadu_pd(P.sv + j), w, sums.num);
    sums.den = _mm256_add_pd(sums.den, w);
    return false;
}

template <int kD, WeightKind kKind, bool kCheck>
__attribute__((target("avx2,fma"))) double fill_row(const double* tq, double q2, const Plan& P) {
    const RowConsts c{_mm256_set1_pd(q2), _mm256_set1_pd(P.s2), _mm256_set1_pd(P.lo), _mm256_set1_pd(P.hi),
                      _mm256_set1_pd(-(P.power / 2.0))};
    // Two sets of sums, for even and odd groups of four: one set alone would
    // make the short loops wait on the latency of its additions.
    Sums sums{_mm256_setzero_pd(), _mm256_setzero_pd(), 0.0, 0.0};
    Sums odd{_mm256_setzero_pd(), _mm256_setzero_pd(), 0.0, 0.0};
    double hit;
    const size_t full = P.n / shepard::kLanes * shepard::kLanes;
    size_t j = 0;
    for (; j + 2 * shepard::kLanes <= full; j += 2 * shepard::kLanes) {
        if (add_group<kD, kKind, kCheck>(tq, c, P, j, sums, hit)) return hit;
        if (add_group<kD, kKind, kCheck>(tq, c, P, j + shepard::kLanes, odd, hit)) return hit;
    }
    if (j < full && add_group<kD, kKind, kCheck>(tq, c, P, j, sums, hit)) return hit;
    sums.num = _mm256_add_pd(sums.num, odd.num);
    sums.den = _mm256_add_pd(sums.den, odd.den);
    sums.num_x += odd.num_x;
    sums.den_x += odd.den_x;
    if (full < P.n) {
        // The padding repeats the last sample, so its s is in range when the
        // last sample's is; its values are 0 and its weights are masked off.
        const size_t rest = P.n - full;
        const __m256d s = smoothed_sq<kD>(tq, c.q2, c.s2, P, full);
        if (kCheck && outside(s, c.lo, c.hi)) {
            if (exact_lanes(s, P, full, rest, sums, hit)) return hit;
        } else {
            const __m256i lane = _mm256_set_epi64x(3, 2, 1, 0);
            const __m256d real = _mm256_castsi256_pd(
                _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(rest)), lane));
            const __m256d w = _mm256_and_pd(weights<kKind>(s, P, c.e), real);
            sums.num = _mm256_fmadd_pd(_mm256_loadu_pd(P.sv + full), w, sums.num);
            sums.den = _mm256_add_pd(sums.den, w);
        }
    }
    alignas(32) double a[4], b[4];
    _mm256_store_pd(a, sums.num);
    _mm256_store_pd(b, sums.den);
    const double num = ((a[0] + a[1]) + (a[2] + a[3])) + sums.num_x;
    const double den = ((b[0] + b[1]) + (b[2] + b[3])) + sums.den_x;
    return den > 0.0 ? num / den : 0.0;
}

using RowFn = double (*)(const double*, double, const Plan&);

template <int kD, WeightKind kKind>
RowFn row_checked(bool check) {
    return check ? fill_row<kD, kKind, true> : fill_row<kD, kKind, false>;
}

template <int kD>
RowFn row_for_kind(const Plan& P) {
    switch (P.kind) {
        case WeightKind::Unit: return row_checked<kD, WeightKind::Unit>(P.check);
        case WeightKind::Inverse: return row_checked<kD, WeightKind::Inverse>(P.check);
        case WeightKind::WholePower: return row_checked<kD, WeightKind::WholePower>(P.check);
        default: return row_checked<kD, WeightKind::General>(P.check);
    }
}

}  // namespace

double shepard_row_avx2(const double* twice_q, double q2, const Plan& plan) {
    RowFn row;
    switch (plan.d) {
        case 2: row = row_for_kind<2>(plan); break;
        case 3: row = row_for_kind<3>(plan); break;
        default: row = row_for_kind<0>(plan); break;
    }
    return row(twice_q, q2, plan);
}

}  // namespace vis
