#include "kernels/lambda.h"

#include "kernels/cpu.h"

#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define VIS_LAMBDA_AVX2 1
#endif

namespace vis {

namespace {

struct Partial {
    double sum = 0.0;
    size_t count = 0;
    double lo = std::numeric_limits<double>::infinity();
    double hi = -std::numeric_limits<double>::infinity();
};

inline bool written(double x) { return (x - x == 0.0) && x != 0.0; }  // finite, non-zero

Partial block(const double* v, size_t n) {
    // Four interleaved accumulators; written values only.
    double s[4] = {0.0, 0.0, 0.0, 0.0};
    size_t c[4] = {0, 0, 0, 0};
    double lo[4], hi[4];
    for (int k = 0; k < 4; ++k) {
        lo[k] = std::numeric_limits<double>::infinity();
        hi[k] = -std::numeric_limits<double>::infinity();
    }
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        for (int k = 0; k < 4; ++k) {
            const double x = v[i + k];
            const bool ok = written(x);
            s[k] += ok ? x : 0.0;
            c[k] += ok ? 1 : 0;
            lo[k] = (ok && x < lo[k]) ? x : lo[k];
            hi[k] = (ok && x > hi[k]) ? x : hi[k];
        }
    }
    for (; i < n; ++i) {
        const double x = v[i];
        if (!written(x)) continue;
        s[0] += x;
        c[0] += 1;
        if (x < lo[0]) lo[0] = x;
        if (x > hi[0]) hi[0] = x;
    }
    Partial p;
    p.sum = (s[0] + s[1]) + (s[2] + s[3]);
    p.count = c[0] + c[1] + c[2] + c[3];
    for (int k = 0; k < 4; ++k) {
        if (lo[k] < p.lo) p.lo = lo[k];
        if (hi[k] > p.hi) p.hi = hi[k];
    }
    return p;
}

#if defined(VIS_LAMBDA_AVX2)

// The same block in AVX2: eight partial sums (two registers of four lanes),
// counts, minima and maxima of the written values; a cell is written when
// x - x == 0 (finite) and x != 0.
__attribute__((target("avx2"))) Partial block_avx2(const double* v, size_t n) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d pinf = _mm256_set1_pd(std::numeric_limits<double>::infinity());
    const __m256d ninf = _mm256_set1_pd(-std::numeric_limits<double>::infinity());
    __m256d s0 = zero, s1 = zero, lo0 = pinf, lo1 = pinf, hi0 = ninf, hi1 = ninf;
    __m256i c0 = _mm256_setzero_si256(), c1 = _mm256_setzero_si256();
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
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
    alignas(32) double sv[8], lv[8], hv[8];
    alignas(32) int64_t cv[8];
    _mm256_store_pd(sv, s0);
    _mm256_store_pd(sv + 4, s1);
    _mm256_store_pd(lv, _mm256_min_pd(lo0, lo1));
    _mm256_store_pd(hv, _mm256_max_pd(hi0, hi1));
    _mm256_store_si256(reinterpret_cast<__m256i*>(cv), _mm256_add_epi64(c0, c1));
    Partial p = block(v + i, n - i);
    const double sum8 = ((sv[0] + sv[4]) + (sv[1] + sv[5])) + ((sv[2] + sv[6]) + (sv[3] + sv[7]));
    p.sum = sum8 + p.sum;
    for (int k = 0; k < 4; ++k) {
        p.count += static_cast<size_t>(cv[k]);
        if (lv[k] < p.lo) p.lo = lv[k];
        if (hv[k] > p.hi) p.hi = hv[k];
    }
    return p;
}
#endif

// Cells per leaf of the pairwise sum: 1024 values (8 KiB) keep the rounding
// error of each leaf's running sums small and the leaf in L1.
constexpr size_t kLeaf = 1024;
// Cells below which the recursion stops polling: one poll per ~2^16 cells
// (tens of microseconds of work).
constexpr size_t kPollCells = size_t{1} << 16;

// The halving is the same whether or not `stop` is given, so the sum is too.
Partial pairwise(const double* v, size_t n, Interrupt* stop) {
#if defined(VIS_LAMBDA_AVX2)
    if (n <= kLeaf) return cpu_has_avx2() ? block_avx2(v, n) : block(v, n);
#else
    if (n <= kLeaf) return block(v, n);
#endif
    if (stop && n <= kPollCells) {
        if (stop->poll()) return Partial{};
        stop = nullptr;
    }
    const size_t h = (n / 2 + 3) & ~size_t(3);
    Partial a = pairwise(v, h, stop), b = pairwise(v + h, n - h, stop);
    a.sum += b.sum;
    a.count += b.count;
    if (b.lo < a.lo) a.lo = b.lo;
    if (b.hi > a.hi) a.hi = b.hi;
    return a;
}

}  // namespace

Baseline running_baseline(const double* v, size_t n, Interrupt* stop) {
    Partial p = pairwise(v, n, stop);
    if (p.count == 0) return {0.0, 0.0, 0.0};
    return {p.sum / static_cast<double>(p.count), p.lo, p.hi};
}

namespace {

// Branch-free cell rule so the loop vectorises.  Cells outside the selected
// side divide 0 by 1, so no quotient can raise a floating-point flag.
#if defined(__SSE2__)
inline __m128d select(__m128d m, __m128d a, __m128d b) {
    return _mm_or_pd(_mm_and_pd(m, a), _mm_andnot_pd(m, b));
}
inline __m128d all_or_none(bool on) { return _mm_castsi128_pd(_mm_set1_epi64x(on ? -1 : 0)); }
#endif

template <bool kBipolar, bool kMask>
void lambda_loop(const double* v, size_t n, const LambdaRule& r, const uint8_t* mask, double* out) {
    const double g = r.ground;
    const bool above_on = g != r.data_max, below_on = g != r.data_min;
    const double denom_above = r.data_max - g, denom_below = g - r.data_min;
    const double neg_esik = -r.esik, esik = r.esik, ref = r.esik_ref;
    const bool sentinel = r.sentinel;
    size_t i = 0;
#if defined(__SSE2__)
    {
        const __m128d vg = _mm_set1_pd(g), half = _mm_set1_pd(0.5), one = _mm_set1_pd(1.0);
        const __m128d zero = _mm_setzero_pd(), nodata = _mm_set1_pd(1.5);
        const __m128d vda = _mm_set1_pd(denom_above), vdb = _mm_set1_pd(denom_below);
        const __m128d m_above = all_or_none(above_on), m_below = all_or_none(below_on);
        const __m128d m_sent = all_or_none(sentinel);
        const __m128d vneg = _mm_set1_pd(neg_esik), vesik = _mm_set1_pd(esik), vref = _mm_set1_pd(ref);
        for (; i + 2 <= n; i += 2) {
            const __m128d x = _mm_loadu_pd(v + i);
            __m128d num = half;
            if (kBipolar) {
                const __m128d up = _mm_and_pd(m_above, _mm_cmpgt_pd(x, vg));
                const __m128d dn = _mm_and_pd(m_below, _mm_cmplt_pd(x, vg));
                const __m128d sel = _mm_or_pd(up, dn);
                const __m128d t = _mm_and_pd(sel, select(up, _mm_sub_pd(x, vg), _mm_sub_pd(vg, x)));
                const __m128d den = select(sel, select(up, vda, vdb), one);
                const __m128d q = _mm_div_pd(_mm_mul_pd(t, half), den);
                num = select(up, _mm_add_pd(half, q), _mm_sub_pd(half, q));
                num = select(_mm_cmplt_pd(num, zero), zero, num);
                num = select(_mm_cmpgt_pd(num, one), one, num);
            }
            const __m128d dev = _mm_sub_pd(x, vref);
            num = select(_mm_and_pd(_mm_cmpgt_pd(dev, vneg), _mm_cmplt_pd(dev, vesik)), half, num);
            num = select(_mm_and_pd(m_sent, _mm_cmpeq_pd(x, zero)), nodata, num);
            num = select(_mm_cmpeq_pd(_mm_sub_pd(x, x), zero), num, half);
            if (kMask) {
                const __m128d mv = _mm_castsi128_pd(_mm_set_epi64x(mask[i + 1] != 0 ? -1 : 0, mask[i] != 0 ? -1 : 0));
                num = select(mv, num, half);
            }
            _mm_storeu_pd(out + i, num);
        }
    }
#endif
    for (; i < n; ++i) {
        const double x = v[i];
        double num = 0.5;
        if (kBipolar) {
            const bool up = above_on & (x > g);
            const bool dn = below_on & (x < g);
            const bool sel = up | dn;
            double t = up ? (x - g) : (g - x);
            double den = up ? denom_above : denom_below;
            t = sel ? t : 0.0;
            den = sel ? den : 1.0;
            const double q = (t * 0.5) / den;
            num = up ? 0.5 + q : 0.5 - q;
            // Clip to [0, 1]; NaN passes through unchanged.
            num = num < 0.0 ? 0.0 : num;
            num = num > 1.0 ? 1.0 : num;
        }
        const double dev = x - ref;
        num = (dev > neg_esik && dev < esik) ? 0.5 : num;
        num = (sentinel && x == 0.0) ? 1.5 : num;
        num = (x - x == 0.0) ? num : 0.5;  // NaN, +inf, -inf
        if (kMask) num = mask[i] != 0 ? num : 0.5;
        out[i] = num;
    }
}

}  // namespace

#if defined(VIS_LAMBDA_AVX2)
namespace {

inline __attribute__((target("avx2"), always_inline)) __m256d select4(__m256d m, __m256d a, __m256d b) {
    return _mm256_blendv_pd(b, a, m);
}

inline __attribute__((target("avx2"), always_inline)) __m256d all_or_none4(bool on) {
    return _mm256_castsi256_pd(_mm256_set1_epi64x(on ? -1 : 0));
}

// The cell rule of lambda_loop, four cells per step; returns the number of
// cells done (a multiple of four), the caller finishes the rest.
template <bool kBipolar, bool kMask>
__attribute__((target("avx2"))) size_t lambda_avx2(const double* v, size_t n, const LambdaRule& r,
                                                   const uint8_t* mask, double* out) {
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
#endif

namespace {

void lambda_block(const double* v, size_t n, const LambdaRule& r, const uint8_t* mask, double* out) {
    const bool bipolar = (r.data_max - r.data_min) > 0.1;
#if defined(VIS_LAMBDA_AVX2)
    if (cpu_has_avx2()) {
        size_t done;
        if (bipolar) done = mask ? lambda_avx2<true, true>(v, n, r, mask, out) : lambda_avx2<true, false>(v, n, r, mask, out);
        else done = mask ? lambda_avx2<false, true>(v, n, r, mask, out) : lambda_avx2<false, false>(v, n, r, mask, out);
        v += done;
        out += done;
        if (mask) mask += done;
        n -= done;
    }
#endif
    if (bipolar) {
        if (mask) lambda_loop<true, true>(v, n, r, mask, out);
        else lambda_loop<true, false>(v, n, r, mask, out);
    } else {
        if (mask) lambda_loop<false, true>(v, n, r, mask, out);
        else lambda_loop<false, false>(v, n, r, mask, out);
    }
}

}  // namespace

void compute_lambda(const double* v, size_t n, const LambdaRule& r, const uint8_t* mask, double* out,
                    Interrupt* stop) {
    // Blocks of kPollCells cells, a multiple of every group width; each
    // cell's lambda depends on that cell alone.
    for (size_t s = 0; s < n; s += kPollCells) {
        if (s > 0 && stop_requested(stop)) return;
        const size_t len = n - s < kPollCells ? n - s : kPollCells;
        lambda_block(v + s, len, r, mask ? mask + s : nullptr, out + s);
    }
}

}  // namespace vis
