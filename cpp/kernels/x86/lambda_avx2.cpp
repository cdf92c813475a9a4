// The running baseline's written-cell summary and the lambda cell rule in
// AVX2 intrinsics, four cells per register.
#include "kernels/x86/lambda_avx2.h"

#include <immintrin.h>

#include <cstring>
#include <limits>

#define VIS_AVX2 __attribute__((target("avx2")))

namespace vis {

// Two registers of four lanes: sums, counts, minima and maxima of the
// written values; a cell is written when x - x == 0 (finite) and x != 0.
VIS_AVX2 WrittenSummary written_summary_avx2(const double* v, size_t n) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d pinf = _mm256_set1_pd(std::numeric_limits<double>::infinity());
    const __m256d ninf = _mm256_set1_pd(-std::numeric_limits<double>::infinity());
    __m256d s0 = zero, s1 = zero, lo0 = pinf, lo1 = pinf, hi0 = ninf, hi1 = ninf;
    __m256i c0 = _mm256_setzero_si256(), c1 = _mm256_setzero_si256();
    for (size_t i = 0; i + 8 <= n; i += 8) {
        const __m256d x0 = _mm256_loadu_pd(v + i), x1 = _mm256_loadu_pd(v + i + 4);
        const __m256d w0 = _mm256_and_pd(_mm256_cmp_pd(_mm256_sub_pd(x0, x0), zero, _CMP_EQ_OQ),
                                         _mm256_cmp_pd(x0, zero, _CMP_NEQ_OQ));
        const __m256d w1 = _mm256_and_pd(_mm256_cmp_pd(_mm256_sub_pd(x1, x1), zero, _CMP_EQ_OQ),
                                         _mm256_cmp_pd(x1, zero, _CMP_NEQ_OQ));
        s0 = _mm256_add_pd(s0, _mm256_and_pd(w0, x0));
        s1 = _mm256_add_pd(s1, _mm256_and_pd(w1, x1));
        c0 = _mm256_sub_epi64(c0, _mm256_castpd_si256(w0));
        c1 = _mm256_sub_epi64(c1, _mm256_castpd_si256(w1));
        lo0 = _mm256_min_pd(lo0, _mm256_blendv_pd(pinf, x0, w0));
        lo1 = _mm256_min_pd(lo1, _mm256_blendv_pd(pinf, x1, w1));
        hi0 = _mm256_max_pd(hi0, _mm256_blendv_pd(ninf, x0, w0));
        hi1 = _mm256_max_pd(hi1, _mm256_blendv_pd(ninf, x1, w1));
    }
    alignas(32) double sv[8], lv[4], hv[4];
    alignas(32) int64_t cv[4];
    _mm256_store_pd(sv, s0);
    _mm256_store_pd(sv + 4, s1);
    _mm256_store_pd(lv, _mm256_min_pd(lo0, lo1));
    _mm256_store_pd(hv, _mm256_max_pd(hi0, hi1));
    _mm256_store_si256(reinterpret_cast<__m256i*>(cv), _mm256_add_epi64(c0, c1));
    WrittenSummary p;
    p.sum = ((sv[0] + sv[4]) + (sv[1] + sv[5])) + ((sv[2] + sv[6]) + (sv[3] + sv[7]));
    for (int k = 0; k < 4; ++k) {
        p.count += static_cast<size_t>(cv[k]);
        if (lv[k] < p.lo) p.lo = lv[k];
        if (hv[k] > p.hi) p.hi = hv[k];
    }
    return p;
}

namespace {

inline VIS_AVX2 __attribute__((always_inline)) __m256d select4(__m256d m, __m256d a, __m256d b) {
    return _mm256_blendv_pd(b, a, m);
}

inline VIS_AVX2 __attribute__((always_inline)) __m256d all_or_none4(bool on) {
    return _mm256_castsi256_pd(_mm256_set1_epi64x(on ? -1 : 0));
}

template <bool kBipolar, bool kMask>
VIS_AVX2 size_t lambda_cells(const double* v, size_t n, const LambdaRule& r, const uint8_t* mask, double* out) {
    const double g = r.ground;
    const __m256d vg = _mm256_set1_pd(g), half = _mm256_set1_pd(0.5), one = _mm256_set1_pd(1.0);
    const __m256d zero = _mm256_setzero_pd(), nodata = _mm256_set1_pd(1.5);
    const __m256d vda = _mm256_set1_pd(r.data_max - g), vdb = _mm256_set1_pd(g - r.data_min);
    const __m256d m_above = all_or_none4(g != r.data_max), m_below = all_or_none4(g != r.data_min);
    const __m256d m_sent = all_or_none4(r.sentinel);
    const __m256d vneg = _mm256_set1_pd(-r.esik), vesik = _mm256_set1_pd(r.esik);
    const __m256d vref = _mm256_set1_pd(r.esik_ref);
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d x = _mm256_loadu_pd(v + i);
        __m256d num = half;
        if (kBipolar) {
            const __m256d up = _mm256_and_pd(m_above, _mm256_cmp_pd(x, vg, _CMP_GT_OQ));
            const __m256d dn = _mm256_and_pd(m_below, _mm256_cmp_pd(x, vg, _CMP_LT_OQ));
            const __m256d sel = _mm256_or_pd(up, dn);
            const __m256d t = _mm256_and_pd(sel, select4(up, _mm256_sub_pd(x, vg), _mm256_sub_pd(vg, x)));
            const __m256d den = select4(sel, select4(up, vda, vdb), one);
            const __m256d q = _mm256_div_pd(_mm256_mul_pd(t, half), den);
            num = select4(up, _mm256_add_pd(half, q), _mm256_sub_pd(half, q));
            num = select4(_mm256_cmp_pd(num, zero, _CMP_LT_OQ), zero, num);
            num = select4(_mm256_cmp_pd(num, one, _CMP_GT_OQ), one, num);
        }
        const __m256d dev = _mm256_sub_pd(x, vref);
        num = select4(_mm256_and_pd(_mm256_cmp_pd(dev, vneg, _CMP_GT_OQ), _mm256_cmp_pd(dev, vesik, _CMP_LT_OQ)),
                      half, num);
        num = select4(_mm256_and_pd(m_sent, _mm256_cmp_pd(x, zero, _CMP_EQ_OQ)), nodata, num);
        num = select4(_mm256_cmp_pd(_mm256_sub_pd(x, x), zero, _CMP_EQ_OQ), num, half);
        if (kMask) {
            int32_t word;
            std::memcpy(&word, mask + i, 4);
            const __m256i bytes = _mm256_cvtepu8_epi64(_mm_cvtsi32_si128(word));
            const __m256d off = _mm256_castsi256_pd(_mm256_cmpeq_epi64(bytes, _mm256_setzero_si256()));
            num = select4(off, half, num);
        }
        _mm256_storeu_pd(out + i, num);
    }
    return i;
}

}  // namespace

size_t lambda_cells_avx2(const double* v, size_t n, const LambdaRule& r, bool bipolar, const uint8_t* mask,
                         double* out) {
    if (bipolar)
        return mask ? lambda_cells<true, true>(v, n, r, mask, out) : lambda_cells<true, false>(v, n, r, mask, out);
    return mask ? lambda_cells<false, true>(v, n, r, mask, out) : lambda_cells<false, false>(v, n, r, mask, out);
}

}  // namespace vis
