#include "kernels/shepard.h"

#include "kernels/vector_math.h"

#include <cmath>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
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

template <PowMode kMode>
double fill_one(const double* qi, double q2, const Samples& S, double s2, double power) {
    const size_t n = S.n, d = S.d;
    const double* P = S.soa.data();
    const double* p2 = S.p2.data();
    const double* sv = S.sv;
    size_t j = 0;
    double num = 0.0, den = 0.0;
#if defined(__SSE2__)
    {
        const __m128d vq2 = _mm_set1_pd(q2), two = _mm_set1_pd(2.0), zero = _mm_setzero_pd();
        const __m128d vs2 = _mm_set1_pd(s2), hit = _mm_set1_pd(kHit), onev = _mm_set1_pd(1.0);
        __m128d vnum = zero, vden = zero;
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

// Non-integer powers: the smoothed distances of a block of samples are raised
// to the power in one batch, so the vector libm can serve them.
double fill_one_batched(const double* qi, double q2, const Samples& S, double s2, double power) {
    constexpr size_t kBlock = 256;
    const size_t n = S.n, d = S.d;
    const double* P = S.soa.data();
    const double* p2 = S.p2.data();
    const double* sv = S.sv;
    double dist[kBlock];
    double num = 0.0, den = 0.0;
    for (size_t j0 = 0; j0 < n; j0 += kBlock) {
        const size_t len = n - j0 < kBlock ? n - j0 : kBlock;
        size_t t = 0;
#if defined(__SSE2__)
        // Two samples per step; max(0, sq) keeps a NaN, as the scalar rule does.
        const __m128d vq2 = _mm_set1_pd(q2), vs2 = _mm_set1_pd(s2), two = _mm_set1_pd(2.0);
        for (; t + 2 <= len; t += 2) {
            const size_t j = j0 + t;
            __m128d cross = _mm_mul_pd(_mm_set1_pd(qi[0]), _mm_loadu_pd(P + j));
            for (size_t k = 1; k < d; ++k)
                cross = _mm_add_pd(cross, _mm_mul_pd(_mm_set1_pd(qi[k]), _mm_loadu_pd(P + k * n + j)));
            __m128d sq = _mm_add_pd(_mm_sub_pd(vq2, _mm_mul_pd(two, cross)), _mm_loadu_pd(p2 + j));
            sq = _mm_max_pd(_mm_setzero_pd(), sq);
            _mm_storeu_pd(dist + t, _mm_sqrt_pd(_mm_add_pd(sq, vs2)));
        }
#endif
        for (; t < len; ++t) {
            const size_t j = j0 + t;
            double cross = qi[0] * P[j];
            for (size_t k = 1; k < d; ++k) cross = cross + qi[k] * P[k * n + j];
            double sq = (q2 - 2.0 * cross) + p2[j];
            sq = sq < 0.0 ? 0.0 : sq;
            dist[t] = std::sqrt(sq + s2);
        }
        for (t = 0; t < len; ++t)
            if (dist[t] < kHit) return sv[j0 + t];  // the first exact hit wins
        inverse_pow_batch(dist, power, dist, len);
        // Four partial sums break the addition chain; the order over samples is free.
        double pn[4] = {0.0, 0.0, 0.0, 0.0}, pd[4] = {0.0, 0.0, 0.0, 0.0};
        for (t = 0; t + 4 <= len; t += 4)
            for (int l = 0; l < 4; ++l) {
                pn[l] += sv[j0 + t + l] * dist[t + l];
                pd[l] += dist[t + l];
            }
        for (; t < len; ++t) {
            pn[0] += sv[j0 + t] * dist[t];
            pd[0] += dist[t];
        }
        num += (pn[0] + pn[1]) + (pn[2] + pn[3]);
        den += (pd[0] + pd[1]) + (pd[2] + pd[3]);
    }
    return den > 0.0 ? num / den : 0.0;
}

template <PowMode kMode>
void fill_all(const double* q, size_t m, const Samples& S, double s2, double power, double* out) {
    const size_t d = S.d;
    for (size_t i = 0; i < m; ++i) {
        const double* qi = q + i * d;
        double q2 = qi[0] * qi[0];
        for (size_t k = 1; k < d; ++k) q2 = q2 + qi[k] * qi[k];
        out[i] = kMode == PowMode::General ? fill_one_batched(qi, q2, S, s2, power)
                                           : fill_one<kMode>(qi, q2, S, s2, power);
    }
}

}  // namespace

void shepard_fill(const double* q, size_t m, const double* p, size_t n, size_t d, const double* sv,
                  double power, double smoothing, double* out) {
    if (n == 0 || d == 0) {
        // No samples: zeros.  No coordinates: every distance is the smoothing.
        if (n == 0) {
            for (size_t i = 0; i < m; ++i) out[i] = 0.0;
            return;
        }
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
            switch (pow_mode(power)) {
                default: out[i] = fill_one<PowMode::General>(zq.data(), 0.0, S, s2, power);
            }
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
    switch (pow_mode(power)) {
        case PowMode::Zero: fill_all<PowMode::Zero>(q, m, S, s2, power, out); break;
        case PowMode::One: fill_all<PowMode::One>(q, m, S, s2, power, out); break;
        case PowMode::Two: fill_all<PowMode::Two>(q, m, S, s2, power, out); break;
        case PowMode::Three: fill_all<PowMode::Three>(q, m, S, s2, power, out); break;
        case PowMode::Four: fill_all<PowMode::Four>(q, m, S, s2, power, out); break;
        default: fill_all<PowMode::General>(q, m, S, s2, power, out); break;
    }
}

}  // namespace vis
