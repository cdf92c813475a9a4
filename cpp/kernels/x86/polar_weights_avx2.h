// The polar blend's double-precision weights in four AVX2 lanes: the same
// operations as Weights::operator(), table entries gathered, the weighted colours
// summed straight from registers.
#pragma once

#include "kernels/polar/weights.h"

#include <immintrin.h>

#include <cstddef>

#define VIS_AVX2 __attribute__((target("avx2")))

namespace vis::polar {

struct WeightLanes {
    __m256d c1, c2, c3, c4, c5, one, lo, hi;
};

VIS_AVX2 inline WeightLanes weight_lanes(const Weights& wt) {
    return {_mm256_set1_pd(wt.c1), _mm256_set1_pd(wt.c2), _mm256_set1_pd(wt.c3), _mm256_set1_pd(wt.c4),
            _mm256_set1_pd(wt.c5), _mm256_set1_pd(1.0),   _mm256_set1_pd(wt.s_lo), _mm256_set1_pd(wt.s_hi)};
}

VIS_AVX2 inline bool all_tabled(__m256d sv, const WeightLanes& c) {
    const __m256d in = _mm256_and_pd(_mm256_cmp_pd(sv, c.lo, _CMP_GE_OQ), _mm256_cmp_pd(sv, c.hi, _CMP_LT_OQ));
    return _mm256_movemask_pd(in) == 15;
}

// The tabled weights of four lanes; every lane must be in the tabled range.
VIS_AVX2 inline __m256d tabled_weights(const Weights& wt, __m256d sv, const WeightLanes& c) {
    const __m256i bits = _mm256_castpd_si256(sv);
    const __m256i e = _mm256_srli_epi64(bits, 52);
    const __m256i j = _mm256_and_si256(_mm256_srli_epi64(bits, 42), _mm256_set1_epi64x(1023));
    const __m256d m = _mm256_castsi256_pd(
        _mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi64x(0x000FFFFFFFFFFFFFll)), _mm256_castpd_si256(c.one)));
    const __m256d r = _mm256_mul_pd(_mm256_sub_pd(m, _mm256_i64gather_pd(wt.mj, j, 8)), _mm256_i64gather_pd(wt.inv, j, 8));
    __m256d poly = _mm256_add_pd(c.c4, _mm256_mul_pd(r, c.c5));
    poly = _mm256_add_pd(c.c3, _mm256_mul_pd(r, poly));
    poly = _mm256_add_pd(c.c2, _mm256_mul_pd(r, poly));
    poly = _mm256_add_pd(c.c1, _mm256_mul_pd(r, poly));
    poly = _mm256_add_pd(c.one, _mm256_mul_pd(r, poly));
    const __m256d em = _mm256_mul_pd(_mm256_i64gather_pd(wt.E, e, 8), _mm256_i64gather_pd(wt.M, j, 8));
    return _mm256_mul_pd(em, poly);
}

// The first `cnt` (at most 4) weights of s[k] + add one by one, the rest of the lanes 0.
VIS_AVX2 inline __m256d exact_weights(const Weights& wt, const double* s, size_t cnt, double add) {
    alignas(32) double w[4] = {0.0, 0.0, 0.0, 0.0};
    for (size_t i = 0; i < cnt; ++i) w[i] = wt(s[i] + add);
    return _mm256_load_pd(w);
}

// sum + w_0 * c_0 + ... + w_(cnt-1) * c_(cnt-1), added in that order.
template <class Id>
VIS_AVX2 inline __m256d accumulate4(__m256d sum, __m256d w, const Id* ids, size_t cnt, const double* rgb4) {
    auto row = [&](size_t k) VIS_AVX2 { return _mm256_loadu_pd(rgb4 + 4 * static_cast<size_t>(ids[k])); };
    sum = _mm256_add_pd(sum, _mm256_mul_pd(_mm256_permute4x64_pd(w, 0x00), row(0)));
    if (cnt > 1) sum = _mm256_add_pd(sum, _mm256_mul_pd(_mm256_permute4x64_pd(w, 0x55), row(1)));
    if (cnt > 2) sum = _mm256_add_pd(sum, _mm256_mul_pd(_mm256_permute4x64_pd(w, 0xAA), row(2)));
    if (cnt > 3) sum = _mm256_add_pd(sum, _mm256_mul_pd(_mm256_permute4x64_pd(w, 0xFF), row(3)));
    return sum;
}

// Σ_k w_k * rgb4[4 ids[k] ..] with w_k = wt(s[k] + add), accumulated over k in order,
// the weights four at a time.
template <class Id>
VIS_AVX2 inline __m256d blend_double_avx2(const Weights& wt, const double* s, const Id* ids, size_t K, double add,
                                          const double* rgb4) {
    const WeightLanes c = weight_lanes(wt);
    const __m256d vadd = _mm256_set1_pd(add);
    __m256d sum = _mm256_setzero_pd();
    size_t k = 0;
    for (; k + 4 <= K; k += 4) {
        const __m256d sv = _mm256_add_pd(_mm256_loadu_pd(s + k), vadd);
        const __m256d w = all_tabled(sv, c) ? tabled_weights(wt, sv, c) : exact_weights(wt, s + k, 4, add);
        sum = accumulate4(sum, w, ids + k, 4, rgb4);
    }
    if (k == K) return sum;
    // The last one to three in the same lanes, the unused ones set to 1 (in range,
    // a valid table row) and dropped.
    const size_t rem = K - k;
    const __m256i used =
        _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(rem)), _mm256_setr_epi64x(0, 1, 2, 3));
    const __m256d sv =
        _mm256_blendv_pd(c.one, _mm256_add_pd(_mm256_maskload_pd(s + k, used), vadd), _mm256_castsi256_pd(used));
    const __m256d w = all_tabled(sv, c) ? tabled_weights(wt, sv, c) : exact_weights(wt, s + k, rem, add);
    return accumulate4(sum, w, ids + k, rem, rgb4);
}

}  // namespace vis::polar
