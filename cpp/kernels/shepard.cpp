#include "kernels/shepard.h"

#include "kernels/cpu.h"
#include "kernels/vector_math.h"

#include <cmath>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define VIS_SHEPARD_AVX2 1
#endif

namespace vis {

namespace {

enum class PowMode { Zero, One, Two, Three, Four, General };

PowMode pow_mode(double p) {
    if (p == 0.0) return PowMode::Zero;
    if (p == 1.0) return PowMode::One;
    if (p == 2.0) return PowMode::Two;
    if (p == 3.0) return PowMode::Three;
    if (p == 4.0) return PowMode::Four;
    return PowMode::General;
}

template <PowMode kMode>
inline double pow_d(double d, double p) {
    switch (kMode) {
        case PowMode::Zero: return 1.0;
        case PowMode::One: return d;
        case PowMode::Two: return d * d;
        case PowMode::Three: return (d * d) * d;
        case PowMode::Four: { const double s = d * d; return s * s; }
        default: return std::pow(d, p);
    }
}

constexpr double kHit = 1e-8;

struct Samples {
    size_t n, d;
    std::vector<double> soa;  // d x n coordinates
    std::vector<double> p2;   // n squared norms
    const double* sv;
};

// Coordinates per point: kD when the caller fixed it at compile time (the
// host's 2-D and 3-D points, so the cross-term loop unrolls), else S.d.
template <int kD>
inline size_t dims(const Samples& S) {
    return kD > 0 ? static_cast<size_t>(kD) : S.d;
}

// Weight of one query/sample pair; sets `near` for an exact hit.
template <PowMode kMode>
inline double weight(double q2, double cross, double p2, double s2, double power, bool& near) {
    double sq = (q2 - 2.0 * cross) + p2;
    sq = sq < 0.0 ? 0.0 : sq;
    const double dist = std::sqrt(sq + s2);
    near = dist < kHit;
    const double dp = pow_d<kMode>(dist, power);
    return dp == 0.0 ? 1.0 : 1.0 / dp;
}

template <int kD>
inline double smoothed_distance(const double* qi, double q2, const Samples& S, double s2, size_t j) {
    const size_t n = S.n, d = dims<kD>(S);
    const double* P = S.soa.data();
    double cross = qi[0] * P[j];
    for (size_t k = 1; k < d; ++k) cross = cross + qi[k] * P[k * n + j];
    double sq = (q2 - 2.0 * cross) + S.p2[j];
    sq = sq < 0.0 ? 0.0 : sq;
    return std::sqrt(sq + s2);
}

#if defined(VIS_SHEPARD_AVX2)

// Smoothed distances of samples j .. j+3, four lanes; max(0, sq) keeps a NaN
// (second operand), as the scalar rule does.
template <int kD>
__attribute__((target("avx2"), always_inline)) inline __m256d distances_avx2(const double* qi, __m256d vq2,
                                                                            const Samples& S, __m256d vs2,
                                                                            size_t j) {
    const size_t n = S.n, d = dims<kD>(S);
    const double* P = S.soa.data();
    __m256d cross = _mm256_mul_pd(_mm256_set1_pd(qi[0]), _mm256_loadu_pd(P + j));
    for (size_t k = 1; k < d; ++k)
        cross = _mm256_add_pd(cross, _mm256_mul_pd(_mm256_set1_pd(qi[k]), _mm256_loadu_pd(P + k * n + j)));
    __m256d sq = _mm256_add_pd(_mm256_sub_pd(vq2, _mm256_mul_pd(_mm256_set1_pd(2.0), cross)),
                               _mm256_loadu_pd(S.p2.data() + j));
    sq = _mm256_max_pd(_mm256_setzero_pd(), sq);
    return _mm256_sqrt_pd(_mm256_add_pd(sq, vs2));
}

// Integer powers, four samples per step, from j = 0 until fewer than four
// remain or a group holds an exact hit; returns where it stopped. The weights
// are added into the two-lane sums of the SSE2 loop, low pair first, so every
// partial sum sees the same additions in the same order on either path.
template <PowMode kMode, int kD>
__attribute__((target("avx2"))) size_t fill_quads_avx2(const double* qi, double q2, const Samples& S,
                                                       double s2, __m128d& vnum, __m128d& vden) {
    const size_t n = S.n;
    const double* sv = S.sv;
    const __m256d vq2 = _mm256_set1_pd(q2), vs2 = _mm256_set1_pd(s2), hit = _mm256_set1_pd(kHit);
    const __m256d zero = _mm256_setzero_pd(), one = _mm256_set1_pd(1.0);
    size_t j = 0;
    for (; j + 4 <= n; j += 4) {
        const __m256d dist = distances_avx2<kD>(qi, vq2, S, vs2, j);
        if (_mm256_movemask_pd(_mm256_cmp_pd(dist, hit, _CMP_LT_OQ))) break;  // resolved by the caller
        __m256d dp;
        if (kMode == PowMode::Zero) {
            dp = one;
        } else if (kMode == PowMode::One) {
            dp = dist;
        } else if (kMode == PowMode::Two) {
            dp = _mm256_mul_pd(dist, dist);
        } else if (kMode == PowMode::Three) {
            dp = _mm256_mul_pd(_mm256_mul_pd(dist, dist), dist);
        } else {
            const __m256d s = _mm256_mul_pd(dist, dist);
            dp = _mm256_mul_pd(s, s);
        }
        const __m256d w = _mm256_blendv_pd(_mm256_div_pd(one, dp), one, _mm256_cmp_pd(dp, zero, _CMP_EQ_OQ));
        const __m256d vw = _mm256_mul_pd(_mm256_loadu_pd(sv + j), w);
        vnum = _mm_add_pd(_mm_add_pd(vnum, _mm256_castpd256_pd128(vw)), _mm256_extractf128_pd(vw, 1));
        vden = _mm_add_pd(_mm_add_pd(vden, _mm256_castpd256_pd128(w)), _mm256_extractf128_pd(w, 1));
    }
    return j;
}

#endif

// Integer powers: two two-lane partial sums (even and odd samples), then a
// scalar tail. `wide` runs the bulk four samples per step with AVX2.
template <PowMode kMode, int kD>
double fill_one(const double* qi, double q2, const Samples& S, double s2, double power, bool wide) {
    const size_t n = S.n, d = dims<kD>(S);
    const double* P = S.soa.data();
    const double* p2 = S.p2.data();
    const double* sv = S.sv;
    size_t j = 0;
    double num = 0.0, den = 0.0;
    (void)wide;
#if defined(__SSE2__)
    {
        const __m128d vq2 = _mm_set1_pd(q2), two = _mm_set1_pd(2.0), zero = _mm_setzero_pd();
        const __m128d vs2 = _mm_set1_pd(s2), hit = _mm_set1_pd(kHit), onev = _mm_set1_pd(1.0);
        __m128d vnum = zero, vden = zero;
#if defined(VIS_SHEPARD_AVX2)
        if (wide && kMode != PowMode::General) j = fill_quads_avx2<kMode, kD>(qi, q2, S, s2, vnum, vden);
#endif
        for (; j + 2 <= n; j += 2) {
            __m128d cross = _mm_mul_pd(_mm_set1_pd(qi[0]), _mm_loadu_pd(P + j));
            for (size_t k = 1; k < d; ++k)
                cross = _mm_add_pd(cross, _mm_mul_pd(_mm_set1_pd(qi[k]), _mm_loadu_pd(P + k * n + j)));
            __m128d sq = _mm_add_pd(_mm_sub_pd(vq2, _mm_mul_pd(two, cross)), _mm_loadu_pd(p2 + j));
            sq = _mm_max_pd(zero, sq);  // NaN passes through (second operand)
            const __m128d dist = _mm_sqrt_pd(_mm_add_pd(sq, vs2));
            if (_mm_movemask_pd(_mm_cmplt_pd(dist, hit))) break;  // resolved by the scalar loop
            __m128d dp;
            if (kMode == PowMode::General) {
                alignas(16) double t[2];
                _mm_store_pd(t, dist);
                dp = _mm_set_pd(std::pow(t[1], power), std::pow(t[0], power));
            } else if (kMode == PowMode::Zero) {
                dp = onev;
            } else if (kMode == PowMode::One) {
                dp = dist;
            } else if (kMode == PowMode::Two) {
                dp = _mm_mul_pd(dist, dist);
            } else if (kMode == PowMode::Three) {
                dp = _mm_mul_pd(_mm_mul_pd(dist, dist), dist);
            } else {
                const __m128d s = _mm_mul_pd(dist, dist);
                dp = _mm_mul_pd(s, s);
            }
            const __m128d is0 = _mm_cmpeq_pd(dp, zero);
            const __m128d w = _mm_or_pd(_mm_and_pd(is0, onev), _mm_andnot_pd(is0, _mm_div_pd(onev, dp)));
            vnum = _mm_add_pd(vnum, _mm_mul_pd(_mm_loadu_pd(sv + j), w));
            vden = _mm_add_pd(vden, w);
        }
        alignas(16) double a[2], b[2];
        _mm_store_pd(a, vnum);
        _mm_store_pd(b, vden);
        num = a[0] + a[1];
        den = b[0] + b[1];
    }
#endif
    for (; j < n; ++j) {
        double cross = qi[0] * P[j];
        for (size_t k = 1; k < d; ++k) cross = cross + qi[k] * P[k * n + j];
        bool near;
        const double w = weight<kMode>(q2, cross, p2[j], s2, power, near);
        if (near) return sv[j];
        num += sv[j] * w;
        den += w;
    }
    return den > 0.0 ? num / den : 0.0;
}

// Samples per batch of the non-integer power path: 256 distances (2 KiB) stay
// in L1 between the distance, power and sum passes.
constexpr size_t kBlock = 256;

// Fills dist[0 .. len-1] for samples j0 .. j0+len-1; true when one of them is
// an exact hit.
template <int kD>
bool block_distances(const double* qi, double q2, const Samples& S, double s2, size_t j0, size_t len,
                     double* dist) {
    size_t t = 0;
#if defined(__SSE2__)
    // Two samples per step; max(0, sq) keeps a NaN, as the scalar rule does.
    const size_t n = S.n, d = dims<kD>(S);
    const double* P = S.soa.data();
    const __m128d vq2 = _mm_set1_pd(q2), vs2 = _mm_set1_pd(s2), two = _mm_set1_pd(2.0);
    for (; t + 2 <= len; t += 2) {
        const size_t j = j0 + t;
        __m128d cross = _mm_mul_pd(_mm_set1_pd(qi[0]), _mm_loadu_pd(P + j));
        for (size_t k = 1; k < d; ++k)
            cross = _mm_add_pd(cross, _mm_mul_pd(_mm_set1_pd(qi[k]), _mm_loadu_pd(P + k * n + j)));
        __m128d sq = _mm_add_pd(_mm_sub_pd(vq2, _mm_mul_pd(two, cross)), _mm_loadu_pd(S.p2.data() + j));
        sq = _mm_max_pd(_mm_setzero_pd(), sq);
        _mm_storeu_pd(dist + t, _mm_sqrt_pd(_mm_add_pd(sq, vs2)));
    }
#endif
    for (; t < len; ++t) dist[t] = smoothed_distance<kD>(qi, q2, S, s2, j0 + t);
    bool any = false;
    for (t = 0; t < len; ++t) any |= dist[t] < kHit;
    return any;
}

// Adds sv * w and w of one batch to four partial sums each, sample t going to
// sum t mod 4 (the tail to sum 0); breaking the addition chain is free since
// the order over samples is not fixed.
void block_sums(const double* sv, const double* w, size_t len, double pn[4], double pd[4]) {
    size_t t = 0;
    for (; t + 4 <= len; t += 4)
        for (int l = 0; l < 4; ++l) {
            pn[l] += sv[t + l] * w[t + l];
            pd[l] += w[t + l];
        }
    for (; t < len; ++t) {
        pn[0] += sv[t] * w[t];
        pd[0] += w[t];
    }
}

#if defined(VIS_SHEPARD_AVX2) && defined(VIS_INVERSE_POW4)

// Non-integer powers that inverse_pow4 serves: distances, weights and sums of
// four samples at a time in registers, without the batch's round trip through
// memory. Each batch of kBlock samples keeps its own four partial sums and
// sends its tail through inverse_pow_batch, as fill_one_batched does, so the
// two give the same bits.
template <int kD>
__attribute__((target("avx2"))) double fill_one_fused_avx2(const double* qi, double q2, const Samples& S, double s2,
                                                           double power) {
    const size_t n = S.n;
    const double* sv = S.sv;
    const __m256d vq2 = _mm256_set1_pd(q2), vs2 = _mm256_set1_pd(s2), hit = _mm256_set1_pd(kHit);
    const __m256d vp = _mm256_set1_pd(power);
    double num = 0.0, den = 0.0;
    for (size_t j0 = 0; j0 < n; j0 += kBlock) {
        const size_t len = n - j0 < kBlock ? n - j0 : kBlock;
        const size_t full = len & ~size_t(3);
        __m256d vn = _mm256_setzero_pd(), vd = _mm256_setzero_pd();
        for (size_t j = j0; j < j0 + full; j += 4) {
            const __m256d dist = distances_avx2<kD>(qi, vq2, S, vs2, j);
            const int near = _mm256_movemask_pd(_mm256_cmp_pd(dist, hit, _CMP_LT_OQ));
            if (near) return sv[j + static_cast<size_t>(__builtin_ctz(near))];  // the first exact hit wins
            const __m256d w = inverse_pow4(dist, vp);
            vn = _mm256_add_pd(vn, _mm256_mul_pd(_mm256_loadu_pd(sv + j), w));
            vd = _mm256_add_pd(vd, w);
        }
        alignas(32) double pn[4], pd[4];
        _mm256_store_pd(pn, vn);
        _mm256_store_pd(pd, vd);
        if (full < len) {
            double w[4];
            const size_t rest = len - full, j1 = j0 + full;
            for (size_t t = 0; t < rest; ++t) {
                w[t] = smoothed_distance<kD>(qi, q2, S, s2, j1 + t);
                if (w[t] < kHit) return sv[j1 + t];
            }
            inverse_pow_batch(w, power, w, rest);
            for (size_t t = 0; t < rest; ++t) {
                pn[0] += sv[j1 + t] * w[t];
                pd[0] += w[t];
            }
        }
        num += (pn[0] + pn[1]) + (pn[2] + pn[3]);
        den += (pd[0] + pd[1]) + (pd[2] + pd[3]);
    }
    return den > 0.0 ? num / den : 0.0;
}

#endif

// Non-integer powers: the smoothed distances of a block of samples are raised
// to the power in one batch, so the vector libm can serve them.
template <int kD>
double fill_one_batched(const double* qi, double q2, const Samples& S, double s2, double power) {
    const size_t n = S.n;
    const double* sv = S.sv;
    double dist[kBlock];
    double num = 0.0, den = 0.0;
    for (size_t j0 = 0; j0 < n; j0 += kBlock) {
        const size_t len = n - j0 < kBlock ? n - j0 : kBlock;
        if (block_distances<kD>(qi, q2, S, s2, j0, len, dist))
            for (size_t t = 0; t < len; ++t)
                if (dist[t] < kHit) return sv[j0 + t];  // the first exact hit wins
        inverse_pow_batch(dist, power, dist, len);
        double pn[4] = {0.0, 0.0, 0.0, 0.0}, pd[4] = {0.0, 0.0, 0.0, 0.0};
        block_sums(sv + j0, dist, len, pn, pd);
        num += (pn[0] + pn[1]) + (pn[2] + pn[3]);
        den += (pd[0] + pd[1]) + (pd[2] + pd[3]);
    }
    return den > 0.0 ? num / den : 0.0;
}

// Query-sample pairs between two polls of `stop`: a clock read per 2^16
// pairs (tens of microseconds of work) costs nothing measurable, and a query
// point of any size is never split.
constexpr size_t kPollPairs = size_t{1} << 16;

template <PowMode kMode, int kD>
void fill_all(const double* q, size_t m, const Samples& S, double s2, double power, double* out, Interrupt* stop) {
    const size_t d = dims<kD>(S);
    const bool wide = cpu_has_avx2();
#if defined(VIS_SHEPARD_AVX2) && defined(VIS_INVERSE_POW4)
    const bool fused = kMode == PowMode::General && inverse_pow4_serves(power);
#endif
    size_t pairs = 0;
    for (size_t i = 0; i < m; ++i) {
        if (pairs >= kPollPairs) {
            pairs = 0;
            if (stop_requested(stop)) return;
        }
        pairs += S.n;
        const double* qi = q + i * d;
        double q2 = qi[0] * qi[0];
        for (size_t k = 1; k < d; ++k) q2 = q2 + qi[k] * qi[k];
#if defined(VIS_SHEPARD_AVX2) && defined(VIS_INVERSE_POW4)
        if (fused) {
            out[i] = fill_one_fused_avx2<kD>(qi, q2, S, s2, power);
            continue;
        }
#endif
        out[i] = kMode == PowMode::General ? fill_one_batched<kD>(qi, q2, S, s2, power)
                                           : fill_one<kMode, kD>(qi, q2, S, s2, power, wide);
    }
}

template <int kD>
void fill_dims(const double* q, size_t m, const Samples& S, double s2, double power, double* out, Interrupt* stop) {
    switch (pow_mode(power)) {
        case PowMode::Zero: fill_all<PowMode::Zero, kD>(q, m, S, s2, power, out, stop); break;
        case PowMode::One: fill_all<PowMode::One, kD>(q, m, S, s2, power, out, stop); break;
        case PowMode::Two: fill_all<PowMode::Two, kD>(q, m, S, s2, power, out, stop); break;
        case PowMode::Three: fill_all<PowMode::Three, kD>(q, m, S, s2, power, out, stop); break;
        case PowMode::Four: fill_all<PowMode::Four, kD>(q, m, S, s2, power, out, stop); break;
        default: fill_all<PowMode::General, kD>(q, m, S, s2, power, out, stop); break;
    }
}

}  // namespace

void shepard_fill(const double* q, size_t m, const double* p, size_t n, size_t d, const double* sv,
                  double power, double smoothing, double* out, Interrupt* stop) {
    if (n == 0) {  // no samples: zeros
        for (size_t i = 0; i < m; ++i) out[i] = 0.0;
        return;
    }
    Samples S;
    S.n = n;
    S.d = d;
    S.sv = sv;
    const double s2 = smoothing * smoothing;
    if (d == 0) {
        // Empty coordinate rows: every squared distance is 0.
        std::vector<double> zq(1, 0.0), zp(n, 0.0);
        S.d = 1;
        S.soa = zp;
        S.p2 = zp;
        for (size_t i = 0; i < m; ++i) {
            if (stop_requested(stop)) return;
            out[i] = fill_one<PowMode::General, 1>(zq.data(), 0.0, S, s2, power, false);
        }
        return;
    }
    S.soa.resize(n * d);
    S.p2.resize(n);
    for (size_t j = 0; j < n; ++j) {
        const double* pj = p + j * d;
        double s = pj[0] * pj[0];
        for (size_t k = 1; k < d; ++k) s = s + pj[k] * pj[k];
        S.p2[j] = s;
        for (size_t k = 0; k < d; ++k) S.soa[k * n + j] = pj[k];
    }
    switch (d) {
        case 2: fill_dims<2>(q, m, S, s2, power, out, stop); break;
        case 3: fill_dims<3>(q, m, S, s2, power, out, stop); break;
        default: fill_dims<0>(q, m, S, s2, power, out, stop); break;
    }
}

}  // namespace vis
