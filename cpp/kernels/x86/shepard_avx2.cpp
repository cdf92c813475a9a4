// The Shepard fill's wide rows: squared smoothed distances of a block of
// samples four at a time, then their weights and sums by the plan's way of
// forming weights (shepard_weights_avx2). Distances follow the definition's
// arithmetic operation by operation (no fused multiply-add there), so exact
// hits and their threshold are the definition's; only the weights are formed
// differently.
#include "kernels/x86/shepard_avx2.h"

#include "kernels/x86/shepard_weights_avx2.h"

#include <algorithm>
#include <vector>

namespace vis {

namespace {

using shepard::Plan;
using shepard_avx2::AddWeights;
using shepard_avx2::Sums;
using shepard_avx2::WeightConsts;

// Samples whose s are formed before their weights: 4 KB, kept in L1.
constexpr size_t kBlock = 512;

struct RowConsts {
    __m256d q2, s2, lo, hi;
};

VIS_AVX2_FMA RowConsts row_consts(double q2, const Plan& P) {
    return {_mm256_set1_pd(q2), _mm256_set1_pd(P.s2), _mm256_set1_pd(P.lo), _mm256_set1_pd(P.hi)};
}

// s = max((q2 - (2q).p) + p2, 0) + s2 for samples j .. j+3; max(0, NaN) keeps the NaN.
template <int kD>
VIS_AVX2_FMA __m256d smoothed_sq(const double* tq, const RowConsts& c, const Plan& P, size_t j) {
    const size_t d = kD > 0 ? static_cast<size_t>(kD) : P.d;
    const double* x = P.x + j;
    __m256d cross = _mm256_mul_pd(_mm256_set1_pd(tq[0]), _mm256_loadu_pd(x));
    for (size_t k = 1; k < d; ++k)
        cross = _mm256_add_pd(cross, _mm256_mul_pd(_mm256_set1_pd(tq[k]), _mm256_loadu_pd(x + k * P.stride)));
    const __m256d sq = _mm256_add_pd(_mm256_sub_pd(c.q2, cross), _mm256_loadu_pd(P.p2 + j));
    return _mm256_add_pd(_mm256_max_pd(_mm256_setzero_pd(), sq), c.s2);
}

// Lanes where s is outside [lo, hi] (or NaN).
VIS_AVX2_FMA __m256d outside(__m256d s, const RowConsts& c) {
    return _mm256_or_pd(_mm256_cmp_pd(s, c.lo, _CMP_NGE_UQ), _mm256_cmp_pd(s, c.hi, _CMP_NLE_UQ));
}

// s of samples j .. j+count-1 into `s`, in whole groups of four (the padding
// repeats the last sample); with kCheck, whether all are inside [lo, hi].
template <int kD, bool kCheck>
VIS_AVX2_FMA bool smoothed_block(const double* tq, const RowConsts& c, const Plan& P, size_t j, size_t count,
                                 double* s) {
    __m256d out = _mm256_setzero_pd();
    for (size_t g = 0; g < count; g += shepard::kLanes) {
        const __m256d sg = smoothed_sq<kD>(tq, c, P, j + g);
        _mm256_storeu_pd(s + g, sg);
        if (kCheck) out = _mm256_or_pd(out, outside(sg, c));
    }
    return _mm256_movemask_pd(out) == 0;
}

// Pairs taken by the definition, with their sums.
struct ExactSums {
    double num = 0.0, den = 0.0;
};

// Lanes 0 .. count-1 of s by the definition; true (and the value in `hit`)
// at the first exact hit.
VIS_AVX2_FMA bool exact_lanes(const double* s, const Plan& P, size_t j, size_t count, ExactSums& sums, double& hit) {
    for (size_t t = 0; t < count; ++t) {
        bool near;
        const double w = shepard::exact_weight(s[t], P.power, near);
        if (near) {
            hit = P.sv[j + t];
            return true;
        }
        sums.num += P.sv[j + t] * w;
        sums.den += w;
    }
    return false;
}

// A block with some s outside [lo, hi]: runs of groups inside go to `add`,
// groups with a lane outside to the definition, in order, so the first exact
// hit wins. True at an exact hit.
VIS_AVX2_FMA bool add_checked_block(const double* s, const RowConsts& c, const Plan& P, size_t j, size_t count,
                                    AddWeights add, const WeightConsts& wc, Sums& sums, ExactSums& exact,
                                    double& hit) {
    size_t run = 0;  // first lane of the current run of groups inside
    for (size_t g = 0; g < count; g += shepard::kLanes) {
        if (_mm256_movemask_pd(outside(_mm256_loadu_pd(s + g), c)) == 0) continue;
        if (g > run) add(s + run, P.sv + j + run, g - run, wc, sums);
        if (exact_lanes(s + g, P, j + g, std::min(shepard::kLanes, count - g), exact, hit)) return true;
        run = g + shepard::kLanes;
    }
    if (count > run) add(s + run, P.sv + j + run, count - run, wc, sums);
    return false;
}

VIS_AVX2_FMA double sum_lanes(__m256d a, __m256d b) {
    alignas(32) double v[4];
    _mm256_store_pd(v, _mm256_add_pd(a, b));
    return (v[0] + v[1]) + (v[2] + v[3]);
}

struct RowSums {
    Sums wide;
    ExactSums exact;
};

VIS_AVX2_FMA RowSums zero_sums() {
    RowSums r;
    for (int set = 0; set < 2; ++set) r.wide.num[set] = r.wide.den[set] = _mm256_setzero_pd();
    return r;
}

VIS_AVX2_FMA double weighted_mean(const RowSums& r) {
    const double num = sum_lanes(r.wide.num[0], r.wide.num[1]) + r.exact.num;
    const double den = sum_lanes(r.wide.den[0], r.wide.den[1]) + r.exact.den;
    return den > 0.0 ? num / den : 0.0;
}

// A row by blocks: s of a block first, then its weights by `add`.
template <int kD, bool kCheck>
__attribute__((target("avx2,fma"))) double blocked_row(const double* tq, double q2, const Plan& P, AddWeights add,
                                                       const WeightConsts& wc) {
    const RowConsts c = row_consts(q2, P);
    RowSums sums = zero_sums();
    alignas(32) double s[kBlock];
    double hit;
    for (size_t j = 0; j < P.n; j += kBlock) {
        const size_t count = std::min(kBlock, P.n - j);
        if (smoothed_block<kD, kCheck>(tq, c, P, j, count, s)) {
            add(s, P.sv + j, count, wc, sums.wide);
        } else if (add_checked_block(s, c, P, j, count, add, wc, sums.wide, sums.exact, hit)) {
            return hit;
        }
    }
    return weighted_mean(sums);
}

// Adds the group of samples j .. j+3 (the first `count` of them) to one set of
// sums; true at an exact hit.
template <int kD, bool kCheck, class W>
VIS_AVX2_FMA bool add_group(const double* tq, const RowConsts& c, const WeightConsts& wc, const Plan& P, size_t j,
                            size_t count, int set, RowSums& sums, double& hit) {
    const __m256d s = smoothed_sq<kD>(tq, c, P, j);
    if (kCheck && _mm256_movemask_pd(outside(s, c)) != 0) {
        alignas(32) double lanes[shepard::kLanes];
        _mm256_store_pd(lanes, s);
        return exact_lanes(lanes, P, j, count, sums.exact, hit);
    }
    __m256d w = W::four(s, wc);
    if (count < shepard::kLanes) w = _mm256_and_pd(w, shepard_avx2::first_lanes(count));
    shepard_avx2::add_to(sums.wide, set, w, P.sv + j);
    return false;
}

// A row in one loop, s and weights together, for the ways of forming weights
// that cost a division or less.
template <int kD, bool kCheck, class W>
__attribute__((target("avx2,fma"))) double fused_row(const double* tq, double q2, const Plan& P, AddWeights,
                                                     const WeightConsts& wc) {
    const RowConsts c = row_consts(q2, P);
    RowSums sums = zero_sums();
    double hit;
    const size_t step = shepard::kLanes;
    size_t j = 0;
    for (; j + 2 * step <= P.n; j += 2 * step) {
        if (add_group<kD, kCheck, W>(tq, c, wc, P, j, step, 0, sums, hit)) return hit;
        if (add_group<kD, kCheck, W>(tq, c, wc, P, j + step, step, 1, sums, hit)) return hit;
    }
    for (; j < P.n; j += step)
        if (add_group<kD, kCheck, W>(tq, c, wc, P, j, std::min(step, P.n - j), 0, sums, hit)) return hit;
    return weighted_mean(sums);
}

using RowFn = double (*)(const double*, double, const Plan&, AddWeights, const WeightConsts&);

template <int kD, bool kCheck>
RowFn row_of_kind(shepard::WeightKind kind) {
    using shepard::WeightKind;
    switch (kind) {
        case WeightKind::Unit: return fused_row<kD, kCheck, shepard_avx2::UnitWeight>;
        case WeightKind::Inverse: return fused_row<kD, kCheck, shepard_avx2::InverseWeight>;
        case WeightKind::WholePower: return fused_row<kD, kCheck, shepard_avx2::WholePowerWeight>;
        default: return blocked_row<kD, kCheck>;
    }
}

template <int kD>
RowFn row_for(const Plan& P) {
    return P.check ? row_of_kind<kD, true>(P.kind) : row_of_kind<kD, false>(P.kind);
}

}  // namespace

__attribute__((target("avx2,fma"))) void shepard_rows_avx2(const double* q, size_t first, size_t last,
                                                           const Plan& plan, double* out) {
    RowFn row;
    switch (plan.d) {
        case 2: row = row_for<2>(plan); break;
        case 3: row = row_for<3>(plan); break;
        default: row = row_for<0>(plan); break;
    }
    // Chosen once for all the rows: the root's constants cost a few divisions.
    const AddWeights add = shepard_avx2::weights_adder(plan);
    const WeightConsts wc = shepard_avx2::weight_consts(plan);
    std::vector<double> twice(plan.d);
    for (size_t i = first; i < last; ++i) {
        const double* qi = q + i * plan.d;
        for (size_t k = 0; k < plan.d; ++k) twice[k] = 2.0 * qi[k];
        out[i] = row(twice.data(), shepard::squared_norm(qi, plan.d), plan, add, wc);
    }
}

}  // namespace vis
