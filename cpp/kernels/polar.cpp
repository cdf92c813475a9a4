#include "kernels/polar.h"

#include "kernels/cpu.h"
#include "kernels/floored_mod.h"
#include "kernels/knn.h"
#include "kernels/pow_single.h"

#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace vis {

namespace {

constexpr double kDeg2Rad = 3.141592653589793238462643383279502884 / 180.0;

// ---- weights w = 1 / d^p ------------------------------------------------------------
//
// With q = -p / 2 the weight is s^q for s = dist^2 + sm^2. Writing s = 2^e * m with
// m = m_j * (1 + r), m_j = 1 + j / 1024 and 0 <= r < 2^-10, it is
//     2^(q e) * m_j^q * (1 + r)^q,
// two tables built once per call (with libm's exp2 and pow) and a binomial series of
// (1 + r)^q to the fifth power of r. The relative error stays within a few units in
// the last place, far below one colour byte step. Outside the range where that holds
// (tiny or huge s, NaN, extreme exponents, table entries that over- or underflow)
// the exact 1.0 / pow(max(sqrt(s), 0.001), p) is used.

class Weights {
public:
    explicit Weights(double power) : power_(power) {
        q_ = -0.5 * power;
        // Beyond |p| = 64 the binades whose factors stay representable shrink to a
        // handful around 1 and the exact formula is as quick.
        fast_ = std::isfinite(power) && std::fabs(power) <= 64.0;
        if (!fast_) return;
        // The fast range: s in [1e-6, 1e300) and inside the run of binades around 1
        // whose factors 2^(q e) stay within [1e-270, 1e270]. s = 1e-6 is the square
        // of the 0.001 distance floor; the bounds of 2^(q e) leave 30 decades of
        // room before a product with the table's m_j^q could over- or underflow.
        int elo = 1023, ehi = 1023;
        for (int e = 0; e < 2047; ++e) E_[e] = std::exp2(q_ * static_cast<double>(e - 1023));
        auto fine = [&](int e) { return E_[e] > 1e-270 && E_[e] < 1e270; };
        while (elo > 1 && fine(elo - 1)) --elo;
        while (ehi < 2045 && fine(ehi + 1)) ++ehi;
        s_lo_ = std::max(1e-6, std::ldexp(1.0, elo - 1023));
        s_hi_ = std::min(1e300, std::ldexp(1.0, ehi - 1023 + 1));
        for (int j = 0; j < 1024; ++j) {
            double mj = 1.0 + j / 1024.0;
            M_[j] = std::pow(mj, q_);
            mj_[j] = mj;
            inv_[j] = 1.0 / mj;
        }
        c1_ = q_;
        c2_ = c1_ * (q_ - 1.0) / 2.0;
        c3_ = c2_ * (q_ - 2.0) / 3.0;
        c4_ = c3_ * (q_ - 3.0) / 4.0;
        c5_ = c4_ * (q_ - 4.0) / 5.0;
    }

    inline double operator()(double s) const {
        // s_lo_ / s_hi_ bound the binades whose table entries neither over- nor underflow.
        if (s >= s_lo_ && s < s_hi_) {
            uint64_t bits = std::bit_cast<uint64_t>(s);
            int e = static_cast<int>(bits >> 52);
            int j = static_cast<int>((bits >> 42) & 1023);
            double m = std::bit_cast<double>((bits & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull);
            double r = (m - mj_[j]) * inv_[j];
            double poly = 1.0 + r * (c1_ + r * (c2_ + r * (c3_ + r * (c4_ + r * c5_))));
            return E_[e] * M_[j] * poly;
        }
        double d = std::sqrt(s);
        if (d < 0.001) d = 0.001;
        return 1.0 / std::pow(d, power_);
    }

    // w[k] = (*this)(s[k] + add) for k < K, two at a time where both are in the fast
    // range (the same operations, in SSE2 lanes).
    inline void batch(const double* s, size_t K, double add, double* w) const {
        size_t k = 0;
        const __m128i mant = _mm_set1_epi64x(0x000FFFFFFFFFFFFFll), one = _mm_set1_epi64x(0x3FF0000000000000ll);
        const __m128d c1 = _mm_set1_pd(c1_), c2 = _mm_set1_pd(c2_), c3 = _mm_set1_pd(c3_), c4 = _mm_set1_pd(c4_),
                      c5 = _mm_set1_pd(c5_), vone = _mm_set1_pd(1.0);
        for (; k + 2 <= K; k += 2) {
            const double s0 = s[k] + add, s1 = s[k + 1] + add;
            if (s0 >= s_lo_ && s0 < s_hi_ && s1 >= s_lo_ && s1 < s_hi_) {
                const uint64_t b0 = std::bit_cast<uint64_t>(s0), b1 = std::bit_cast<uint64_t>(s1);
                const int e0 = static_cast<int>(b0 >> 52), e1 = static_cast<int>(b1 >> 52);
                const int j0 = static_cast<int>((b0 >> 42) & 1023), j1 = static_cast<int>((b1 >> 42) & 1023);
                __m128i bi = _mm_set_epi64x(static_cast<long long>(b1), static_cast<long long>(b0));
                __m128d m = _mm_castsi128_pd(_mm_or_si128(_mm_and_si128(bi, mant), one));
                __m128d r = _mm_mul_pd(_mm_sub_pd(m, _mm_set_pd(mj_[j1], mj_[j0])), _mm_set_pd(inv_[j1], inv_[j0]));
                __m128d poly = _mm_add_pd(c4, _mm_mul_pd(r, c5));
                poly = _mm_add_pd(c3, _mm_mul_pd(r, poly));
                poly = _mm_add_pd(c2, _mm_mul_pd(r, poly));
                poly = _mm_add_pd(c1, _mm_mul_pd(r, poly));
                poly = _mm_add_pd(vone, _mm_mul_pd(r, poly));
                __m128d res = _mm_mul_pd(_mm_mul_pd(_mm_set_pd(E_[e1], E_[e0]), _mm_set_pd(M_[j1], M_[j0])), poly);
                _mm_storeu_pd(w + k, res);
            } else {
                w[k] = (*this)(s0);
                w[k + 1] = (*this)(s1);
            }
        }
        for (; k < K; ++k) w[k] = (*this)(s[k] + add);
    }

    // Σ_k w_k * rgb4[4 ids[k] ..] with w_k = (*this)(s[k] + add), accumulated over k
    // in order: the weights four at a time in AVX2 lanes (the same operations as
    // operator(), table entries gathered), straight from registers into the sum.
    template <class Id>
    __attribute__((target("avx2"))) __m256d blend_avx2(const double* s, const Id* ids, size_t K, double add,
                                                       const double* rgb4) const {
        const Lanes4 c{_mm256_set1_pd(c1_), _mm256_set1_pd(c2_), _mm256_set1_pd(c3_), _mm256_set1_pd(c4_),
                       _mm256_set1_pd(c5_), _mm256_set1_pd(1.0), _mm256_set1_pd(s_lo_), _mm256_set1_pd(s_hi_)};
        const __m256d vadd = _mm256_set1_pd(add);
        __m256d sum = _mm256_setzero_pd();
        size_t k = 0;
        for (; k + 4 <= K; k += 4) {
            const __m256d sv = _mm256_add_pd(_mm256_loadu_pd(s + k), vadd);
            const __m256d w = all_fast_avx2(sv, c) ? fast_avx2(sv, c) : exact4_avx2(s + k, 4, add);
            sum = accumulate4_avx2(sum, w, ids + k, 4, rgb4);
        }
        if (k == K) return sum;
        // The last one to three in the same lanes, the unused ones set to 1 (in range,
        // a valid table row) and dropped.
        const size_t rem = K - k;
        const __m256i used = _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(rem)),
                                                _mm256_setr_epi64x(0, 1, 2, 3));
        const __m256d sv = _mm256_blendv_pd(c.one, _mm256_add_pd(_mm256_maskload_pd(s + k, used), vadd),
                                            _mm256_castsi256_pd(used));
        const __m256d w = all_fast_avx2(sv, c) ? fast_avx2(sv, c) : exact4_avx2(s + k, rem, add);
        return accumulate4_avx2(sum, w, ids + k, rem, rgb4);
    }

private:
    struct Lanes4 {
        __m256d c1, c2, c3, c4, c5, one, lo, hi;
    };

    __attribute__((target("avx2"))) static bool all_fast_avx2(__m256d sv, const Lanes4& c) {
        const __m256d in = _mm256_and_pd(_mm256_cmp_pd(sv, c.lo, _CMP_GE_OQ), _mm256_cmp_pd(sv, c.hi, _CMP_LT_OQ));
        return _mm256_movemask_pd(in) == 15;
    }

    // operator()'s fast branch in four lanes; every lane must be in the fast range.
    __attribute__((target("avx2"))) __m256d fast_avx2(__m256d sv, const Lanes4& c) const {
        const __m256i bits = _mm256_castpd_si256(sv);
        const __m256i e = _mm256_srli_epi64(bits, 52);
        const __m256i j = _mm256_and_si256(_mm256_srli_epi64(bits, 42), _mm256_set1_epi64x(1023));
        const __m256d m = _mm256_castsi256_pd(_mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi64x(0x000FFFFFFFFFFFFFll)),
                                                              _mm256_castpd_si256(c.one)));
        const __m256d r = _mm256_mul_pd(_mm256_sub_pd(m, _mm256_i64gather_pd(mj_, j, 8)), _mm256_i64gather_pd(inv_, j, 8));
        __m256d poly = _mm256_add_pd(c.c4, _mm256_mul_pd(r, c.c5));
        poly = _mm256_add_pd(c.c3, _mm256_mul_pd(r, poly));
        poly = _mm256_add_pd(c.c2, _mm256_mul_pd(r, poly));
        poly = _mm256_add_pd(c.c1, _mm256_mul_pd(r, poly));
        poly = _mm256_add_pd(c.one, _mm256_mul_pd(r, poly));
        const __m256d em = _mm256_mul_pd(_mm256_i64gather_pd(E_, e, 8), _mm256_i64gather_pd(M_, j, 8));
        return _mm256_mul_pd(em, poly);
    }

    // The first `cnt` (at most 4) weights one by one, the rest of the lanes 0.
    __attribute__((target("avx2"))) __m256d exact4_avx2(const double* s, size_t cnt, double add) const {
        alignas(32) double w[4] = {0.0, 0.0, 0.0, 0.0};
        for (size_t i = 0; i < cnt; ++i) w[i] = (*this)(s[i] + add);
        return _mm256_load_pd(w);
    }

    // sum + w_0 * c_0 + ... + w_(cnt-1) * c_(cnt-1), added in that order.
    template <class Id>
    __attribute__((target("avx2"))) static __m256d accumulate4_avx2(__m256d sum, __m256d w, const Id* ids, size_t cnt,
                                                                     const double* rgb4) {
        sum = _mm256_add_pd(sum, _mm256_mul_pd(_mm256_permute4x64_pd(w, 0x00), _mm256_loadu_pd(rgb4 + 4 * static_cast<size_t>(ids[0]))));
        if (cnt > 1)
            sum = _mm256_add_pd(sum, _mm256_mul_pd(_mm256_permute4x64_pd(w, 0x55), _mm256_loadu_pd(rgb4 + 4 * static_cast<size_t>(ids[1]))));
        if (cnt > 2)
            sum = _mm256_add_pd(sum, _mm256_mul_pd(_mm256_permute4x64_pd(w, 0xAA), _mm256_loadu_pd(rgb4 + 4 * static_cast<size_t>(ids[2]))));
        if (cnt > 3)
            sum = _mm256_add_pd(sum, _mm256_mul_pd(_mm256_permute4x64_pd(w, 0xFF), _mm256_loadu_pd(rgb4 + 4 * static_cast<size_t>(ids[3]))));
        return sum;
    }

    double power_, q_;
    bool fast_ = false;
    double c1_ = 0, c2_ = 0, c3_ = 0, c4_ = 0, c5_ = 0;
    double s_lo_ = 1.0, s_hi_ = 0.0;  // empty fast range unless set
    double E_[2047];
    double M_[1024], inv_[1024], mj_[1024];
};

// Two values clipped to [0, 255], then truncated, in the low two 32-bit lanes; NaN
// becomes 0 (maxpd returns its second operand when either is NaN).
inline __m128i to_bytes(__m128d v) {
    return _mm_cvttpd_epi32(_mm_min_pd(_mm_max_pd(v, _mm_setzero_pd()), _mm_set1_pd(255.0)));
}

struct Shader {
    double sm2, aralik, den;
    bool avx2;
    // The single-precision blend serves the usual settings: AVX2, a power in [0, 64],
    // at most kSingleK neighbours and colours that are finite and within +-1024, so
    // no weighted sum can lose more than a small fraction of a byte step; and
    // distances (squared at most s_max) whose exact weights 1 / d^p stay far from
    // underflow. Beyond that the exact weights vanish, the exact blend turns to
    // 0 / 0, and the double-precision paths give the bytes it gives.
    bool single = false;
    static constexpr size_t kSingleK = 48;
    float half_power = 0.0f;
    Weights weight;
    std::vector<double> rgb4;  // R, G, B, 1 per target
    std::vector<float> rgb4f;  // the same in single precision

    Shader(const double* rgb_, size_t n, const PolarBlend& p, double s_max)
        : sm2(p.sm * p.sm), aralik(p.aralik), avx2(cpu_has_avx2()), weight(p.power), rgb4(4 * n) {
        double span = p.kapsama - p.aralik;
        den = (1e-6 > span) ? 1e-6 : span;  // max(span, 1e-6) with Python's argument order
        bool tame = true;
        for (size_t i = 0; i < n; ++i) {
            rgb4[4 * i] = rgb_[3 * i];
            rgb4[4 * i + 1] = rgb_[3 * i + 1];
            rgb4[4 * i + 2] = rgb_[3 * i + 2];
            rgb4[4 * i + 3] = 1.0;
            for (int ch = 0; ch < 3; ++ch) tame = tame && std::fabs(rgb_[3 * i + ch]) <= 1024.0;  // false for NaN
        }
        // 1 / d^p above 2^-900 for every d^2 up to s_max (and below 2^640 down to the
        // 1e-6 floor, as p <= 64).
        const bool normal_weights = 0.5 * p.power * std::log2(std::max(s_max + sm2, 1.0)) <= 900.0;
        single = avx2 && tame && p.power >= 0.0 && p.power <= 64.0 && p.K <= kSingleK && normal_weights;
        if (single) {
            half_power = static_cast<float>(0.5 * p.power);
            rgb4f.assign(rgb4.begin(), rgb4.end());
        }
    }

    // s[k]: neighbour distance squared; ids[k]: neighbour rows; d0: raw nearest distance.
    // The double-precision blends sum each channel and the weight over k in order (w * 1
    // is w); both instruction sets do the same operations in the same order.
    template <class Id>
    inline void shade(const double* s, const Id* ids, size_t K, double d0, uint8_t* px) const {
        double acc[4];
        const double s0 = d0 * d0 + sm2;
        if (single && std::isfinite(s0))
            blend_single(s, ids, K, s0, acc);
        else if (avx2)
            blend_avx2(s, ids, K, acc);
        else
            blend_sse2(s, ids, K, acc);
        finish(acc, d0, px);
    }

    // The single-precision blend straight from a tile's candidate columns: d2[a] is
    // candidate a's squared distance, r, g, b its colour, and bit a of `chosen` says
    // whether it is among the pixel's neighbours. Columns are read in blocks of eight
    // up to nr rounded up (readable, colours padded with zeros); weights outside
    // `chosen` are cleared bit by bit, so whatever the padding holds adds nothing.
    // The ratios are formed in single precision too: a distance beyond its range
    // becomes +inf, whose logarithm is 128, a weight of at most 2^-125 (the exact one
    // is smaller still) or 1 at power 0, as it should be.
    // Requires `single` and d0 * d0 + sm2 below 1e30 (1 / S_0 a normal float).
    __attribute__((target("avx2"))) void shade_chosen(const double* d2, const float* r, const float* g,
                                                      const float* b, uint64_t chosen, size_t nr, double d0,
                                                      uint8_t* px) const {
        const double s0 = d0 * d0 + sm2;
        const __m256 add = _mm256_set1_ps(static_cast<float>(sm2)), floor = _mm256_set1_ps(1e-6f),
                     inv = _mm256_set1_ps(static_cast<float>(1.0 / std::max(s0, 1e-6)));
        const __m256 neg_q = _mm256_set1_ps(-half_power), lowest = _mm256_set1_ps(-125.0f);
        const __m256i lane_bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
        __m256 sr = _mm256_setzero_ps(), sg = sr, sb = sr, sw = sr;
        for (size_t a = 0; a < nr; a += 8) {
            const unsigned bits = static_cast<unsigned>((chosen >> a) & 0xFF);
            if (bits == 0) continue;
            const __m256 s = _mm256_set_m128(_mm256_cvtpd_ps(_mm256_loadu_pd(d2 + a + 4)),
                                             _mm256_cvtpd_ps(_mm256_loadu_pd(d2 + a)));
            const __m256 ratio = _mm256_mul_ps(_mm256_max_ps(_mm256_add_ps(s, add), floor), inv);
            __m256 w = exp2_single(_mm256_max_ps(_mm256_mul_ps(neg_q, log2_single(ratio)), lowest));
            const __m256i on = _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(static_cast<int>(bits)), lane_bit), lane_bit);
            w = _mm256_and_ps(w, _mm256_castsi256_ps(on));
            sr = _mm256_add_ps(sr, _mm256_mul_ps(w, _mm256_loadu_ps(r + a)));
            sg = _mm256_add_ps(sg, _mm256_mul_ps(w, _mm256_loadu_ps(g + a)));
            sb = _mm256_add_ps(sb, _mm256_mul_ps(w, _mm256_loadu_ps(b + a)));
            sw = _mm256_add_ps(sw, w);
        }
        // Horizontal sums: R, G, B, W in the four lanes.
        const __m256 rg = _mm256_hadd_ps(sr, sg), bw = _mm256_hadd_ps(sb, sw);
        const __m256 rgbw = _mm256_hadd_ps(rg, bw);  // per 128-bit half: R, G, B, W partial sums
        const __m128 total = _mm_add_ps(_mm256_castps256_ps128(rgbw), _mm256_extractf128_ps(rgbw, 1));
        double acc[4];
        _mm256_storeu_pd(acc, _mm256_cvtps_pd(total));
        finish(acc, d0, px);
    }

private:
    // acc: the R, G, B and weight sums. R / w, G / w and B / w, (d0 - aralik) / den:
    // two divisions of two lanes; then clip, truncate and pack B, G, R, A.
    static void finish_bytes(const double* acc, double d0, double aralik, double den, uint8_t* px) {
        const __m128d rg = _mm_div_pd(_mm_loadu_pd(acc), _mm_set1_pd(acc[3]));
        const __m128d bt = _mm_div_pd(_mm_setr_pd(acc[2], d0 - aralik), _mm_setr_pd(acc[3], den));
        // Coverage clipped to [0, 1] without branches (a NaN becomes 0, as the byte
        // clip would make it).
        __m128d a = _mm_sub_sd(_mm_set_sd(1.0), _mm_unpackhi_pd(bt, bt));
        a = _mm_min_sd(_mm_max_sd(a, _mm_setzero_pd()), _mm_set_sd(1.0));
        const __m128d ba = _mm_unpacklo_pd(bt, _mm_mul_sd(a, _mm_set_sd(235.0)));  // B, A
        const __m128d gr = _mm_shuffle_pd(rg, rg, 1);                     // G, R
        const __m128i bgra = _mm_unpacklo_epi64(to_bytes(_mm_unpacklo_pd(ba, gr)), to_bytes(_mm_unpackhi_pd(gr, ba)));
        const int packed = _mm_cvtsi128_si32(_mm_packus_epi16(_mm_packs_epi32(bgra, bgra), _mm_setzero_si128()));
        std::memcpy(px, &packed, 4);
    }
    void finish(const double* acc, double d0, uint8_t* px) const { finish_bytes(acc, d0, aralik, den, px); }

    // Weights in batches of 64 on the stack: K is at most 41, one batch.
    template <class Id>
    void blend_sse2(const double* s, const Id* ids, size_t K, double* acc) const {
        double w[64];
        __m128d rg = _mm_setzero_pd(), b1 = _mm_setzero_pd();
        for (size_t k0 = 0; k0 < K; k0 += 64) {
            const size_t k1 = std::min(K, k0 + 64);
            weight.batch(s + k0, k1 - k0, sm2, w);
            for (size_t k = k0; k < k1; ++k) {
                const double* c = rgb4.data() + 4 * static_cast<size_t>(ids[k]);
                const __m128d wk = _mm_set1_pd(w[k - k0]);
                rg = _mm_add_pd(rg, _mm_mul_pd(wk, _mm_loadu_pd(c)));
                b1 = _mm_add_pd(b1, _mm_mul_pd(wk, _mm_loadu_pd(c + 2)));
            }
        }
        _mm_storeu_pd(acc, rg);
        _mm_storeu_pd(acc + 2, b1);
    }

    template <class Id>
    __attribute__((target("avx2"))) void blend_avx2(const double* s, const Id* ids, size_t K, double* acc) const {
        _mm256_storeu_pd(acc, weight.blend_avx2(s, ids, K, sm2, rgb4.data()));
    }

    // S_k / S_0 for the four neighbours from k on, capped, in single precision; lanes
    // at or past K are not read and their values unused.
    __attribute__((target("avx2"))) static __m128 ratios_single(const double* s, size_t K, size_t k, __m256d add,
                                                                 __m256d floor, __m256d inv, __m256d cap) {
        const size_t from = std::min(K, k);
        const __m256i used = _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(K - from)),
                                                _mm256_setr_epi64x(0, 1, 2, 3));
        const __m256d sk = _mm256_max_pd(_mm256_add_pd(_mm256_maskload_pd(s + from, used), add), floor);
        return _mm256_cvtpd_ps(_mm256_min_pd(_mm256_mul_pd(sk, inv), cap));
    }

    // The blend with every weight taken relative to the nearest neighbour's:
    // w_k / w_0 = (S_0 / S_k)^(p / 2) with S = max(d^2 + sm^2, 1e-6), all in (0, 1], so
    // single precision neither over- nor underflows where it matters. The ratios
    // S_k / S_0 >= 1 are formed in double and capped at 1e30 (a weight below 1e-30
    // of the nearest one's); their powers run eight at a time; the sums of two
    // neighbours' weighted R, G, B, 1 rows share one register.
    template <class Id>
    __attribute__((target("avx2"))) void blend_single(const double* s, const Id* ids, size_t K, double s0,
                                                      double* acc) const {
        const __m256d add = _mm256_set1_pd(sm2), floor = _mm256_set1_pd(1e-6), cap = _mm256_set1_pd(1e30),
                      inv = _mm256_set1_pd(1.0 / std::max(s0, 1e-6));
        const __m256 neg_q = _mm256_set1_ps(-half_power), lowest = _mm256_set1_ps(-125.0f);
        auto ratios = [&](size_t k) __attribute__((target("avx2"))) {
            return ratios_single(s, K, k, add, floor, inv, cap);
        };
        alignas(32) float w[kSingleK];
        for (size_t k = 0; k < K; k += 8) {
            const __m256 r = _mm256_set_m128(ratios(k + 4), ratios(k));
            _mm256_store_ps(w + k, exp2_single(_mm256_max_ps(_mm256_mul_ps(neg_q, log2_single(r)), lowest)));
        }
        const float* rgb = rgb4f.data();
        __m256 sum = _mm256_setzero_ps();
        size_t k = 0;
        for (; k + 2 <= K; k += 2) {
            const __m256 c = _mm256_set_m128(_mm_loadu_ps(rgb + 4 * static_cast<size_t>(ids[k + 1])),
                                             _mm_loadu_ps(rgb + 4 * static_cast<size_t>(ids[k])));
            const __m256 wk = _mm256_set_m128(_mm_set1_ps(w[k + 1]), _mm_set1_ps(w[k]));
            sum = _mm256_add_ps(sum, _mm256_mul_ps(wk, c));
        }
        __m128 total = _mm_add_ps(_mm256_castps256_ps128(sum), _mm256_extractf128_ps(sum, 1));
        if (k < K)
            total = _mm_add_ps(total, _mm_mul_ps(_mm_set1_ps(w[k]), _mm_loadu_ps(rgb + 4 * static_cast<size_t>(ids[k]))));
        _mm256_storeu_pd(acc, _mm256_cvtps_pd(total));
    }
};

// ---- exact K-nearest over the regular grid -----------------------------------------
//
// Targets go into a uniform bucket grid. The output grid is walked in square tiles:
// for a tile with centre c and largest centre-to-pixel distance h, every pixel p of the
// tile has its K nearest targets within dK(c) + |p - c| of p (triangle inequality), so
// within R = dK(c) + 2h of c. Those candidates are gathered once per tile and grouped
// into rings by their distance to c. Each pixel bounds its own K-th distance from the
// tile centre's and from its left and upper neighbours' (one grid step away, across
// tile borders too), scans the candidates
// that can lie within the upper bound, takes those below the lower bound as certain
// neighbours and selects the rest among the few in between. Distances are the plain
// formula (qx - px)^2 + (qy - py)^2.

struct Cand {
    double d2c, x, y;  // d2c: squared distance to the tile centre
    uint32_t id;
};

// A tile's candidates are grouped into rings of equal area around its centre (a
// counting sort by squared distance), so each pixel finds the candidates within
// its reach as a prefix of the list in one look-up. With uniformly spread targets
// a ring holds a sixteenth of them, a few: that many extra candidates scanned at
// most, which the scan sorts out by their own distance.
constexpr size_t kRings = 16;

// Tiles of 20 full-resolution pixels a side: by callgrind counts at rr 400 with 300 and
// 3 000 targets, against 16 this saves 3-4 % at hucre 2 and is within 1 % at hucre 1;
// 24 and 32 cost up to 9 % more at hucre 1 (more candidates scanned per pixel), 8 up
// to 25 % more (more gathers and sorts).
constexpr size_t kTilePx = 20;

struct Sel {
    double d2;
    uint32_t id;
};

// One pixel's pass over its candidates: every candidate nearer than lo2 (squared)
// is appended to best / bid, every one in [lo2, hi2] to bd2 / bidb, both in
// candidate order; the smallest squared distance seen is returned in dmin.
struct Scan {
    size_t na = 0, nbnd = 0;
    double dmin = std::numeric_limits<double>::infinity();
};

inline Scan scan_plain(const double* xs, const double* ys, const uint32_t* ids, size_t nr, double qx, double qy,
                       double lo2, double hi2, double* best, uint32_t* bid, double* bd2, uint32_t* bidb) {
    Scan r;
    for (size_t a = 0; a < nr; ++a) {
        const double dx = qx - xs[a], dy = qy - ys[a];
        const double d2 = dx * dx + dy * dy;
        const uint32_t id = ids[a];
        // Branch-free appends (both lists have room for every candidate).
        const bool in_a = d2 < lo2;
        const bool in_b = (d2 >= lo2) & (d2 <= hi2);
        best[r.na] = d2;
        bid[r.na] = id;
        bd2[r.nbnd] = d2;
        bidb[r.nbnd] = id;
        r.na += in_a;
        r.nbnd += in_b;
        r.dmin = d2 < r.dmin ? d2 : r.dmin;
    }
    return r;
}

// For each 4-bit lane mask, the 32-bit lanes that pack the chosen lanes to the
// front: `lane` for one 32-bit value per lane, `pair` for one double per lane.
struct PackTable {
    alignas(32) int32_t lane[16][8];
    alignas(32) int32_t pair[16][8];
    constexpr PackTable() : lane(), pair() {
        for (int m = 0; m < 16; ++m) {
            int at = 0;
            for (int l = 0; l < 4; ++l) {
                if (!(m & (1 << l))) continue;
                lane[m][at] = l;
                pair[m][2 * at] = 2 * l;
                pair[m][2 * at + 1] = 2 * l + 1;
                ++at;
            }
        }
    }
};
constexpr PackTable kPack{};

// scan_plain four candidates at a time, the same distances and lists. It reads
// candidates up to nr rounded up to 4 (the caller pads with +inf, which joins
// neither list) and writes up to 4 entries past each list's end.
__attribute__((target("avx2,popcnt"))) Scan scan_avx2(const double* xs, const double* ys, const uint32_t* ids, size_t nr,
                                               double qx, double qy, double lo2, double hi2, double* best,
                                               uint32_t* bid, double* bd2, uint32_t* bidb) {
    const __m256d vx = _mm256_set1_pd(qx), vy = _mm256_set1_pd(qy), vlo = _mm256_set1_pd(lo2),
                  vhi = _mm256_set1_pd(hi2);
    __m256d vmin = _mm256_set1_pd(std::numeric_limits<double>::infinity());
    size_t na = 0, nbnd = 0;
    for (size_t a = 0; a < nr; a += 4) {
        const __m256d dx = _mm256_sub_pd(vx, _mm256_loadu_pd(xs + a));
        const __m256d dy = _mm256_sub_pd(vy, _mm256_loadu_pd(ys + a));
        const __m256d d2 = _mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy));
        const __m256i id = _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ids + a)));
        const int ma = _mm256_movemask_pd(_mm256_cmp_pd(d2, vlo, _CMP_LT_OQ));
        const int mb = _mm256_movemask_pd(
            _mm256_and_pd(_mm256_cmp_pd(d2, vlo, _CMP_GE_OQ), _mm256_cmp_pd(d2, vhi, _CMP_LE_OQ)));
        vmin = _mm256_min_pd(d2, vmin);
        const __m256i d2i = _mm256_castpd_si256(d2);
        const __m256i pa = _mm256_load_si256(reinterpret_cast<const __m256i*>(kPack.pair[ma]));
        const __m256i pb = _mm256_load_si256(reinterpret_cast<const __m256i*>(kPack.pair[mb]));
        const __m256i la = _mm256_load_si256(reinterpret_cast<const __m256i*>(kPack.lane[ma]));
        const __m256i lb = _mm256_load_si256(reinterpret_cast<const __m256i*>(kPack.lane[mb]));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(best + na), _mm256_permutevar8x32_epi32(d2i, pa));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(bid + na),
                         _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(id, la)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(bd2 + nbnd), _mm256_permutevar8x32_epi32(d2i, pb));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(bidb + nbnd),
                         _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(id, lb)));
        na += static_cast<size_t>(__builtin_popcount(static_cast<unsigned>(ma)));
        nbnd += static_cast<size_t>(__builtin_popcount(static_cast<unsigned>(mb)));
    }
    alignas(32) double m4[4];
    _mm256_store_pd(m4, vmin);
    Scan r;
    r.na = na;
    r.nbnd = nbnd;
    for (double v : m4) r.dmin = v < r.dmin ? v : r.dmin;
    return r;
}

// scan_avx2 for the single-precision shading, which needs no lists: every squared
// distance goes to d2 (up to nr rounded up to 4, as scan_avx2 reads), and the
// classes go into bit masks, bit a for candidate a (nr <= 64).
struct MaskScan {
    uint64_t certain = 0, boundary = 0;
    size_t na = 0, nbnd = 0;  // their counts
    double dmin = std::numeric_limits<double>::infinity();
};

__attribute__((target("avx2,popcnt"))) MaskScan scan_masks_avx2(const double* xs, const double* ys, size_t nr, double qx,
                                                          double qy, double lo2, double hi2, double* d2) {
    const __m256d vx = _mm256_set1_pd(qx), vy = _mm256_set1_pd(qy), vlo = _mm256_set1_pd(lo2),
                  vhi = _mm256_set1_pd(hi2);
    __m256d vmin = _mm256_set1_pd(std::numeric_limits<double>::infinity());
    MaskScan r;
    for (size_t a = 0; a < nr; a += 4) {
        const __m256d dx = _mm256_sub_pd(vx, _mm256_loadu_pd(xs + a));
        const __m256d dy = _mm256_sub_pd(vy, _mm256_loadu_pd(ys + a));
        const __m256d v = _mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy));
        _mm256_storeu_pd(d2 + a, v);
        const __m256d below = _mm256_cmp_pd(v, vlo, _CMP_LT_OQ);
        r.certain |= static_cast<uint64_t>(_mm256_movemask_pd(below)) << a;
        r.boundary |= static_cast<uint64_t>(_mm256_movemask_pd(_mm256_cmp_pd(v, vhi, _CMP_LE_OQ))) << a;
        vmin = _mm256_min_pd(v, vmin);
    }
    r.boundary &= ~r.certain;  // at most hi2 and not below lo2 (d2 is never NaN here: finite positions)
    r.na = static_cast<size_t>(std::popcount(r.certain));
    r.nbnd = static_cast<size_t>(std::popcount(r.boundary));
    alignas(32) double lo[4];
    _mm256_store_pd(lo, vmin);
    for (double v : lo) r.dmin = v < r.dmin ? v : r.dmin;
    return r;
}

class Buckets {
public:
    Buckets(const double* xy, size_t n) {
        double x0 = xy[0], x1 = xy[0], y0 = xy[1], y1 = xy[1];
        for (size_t i = 1; i < n; ++i) {
            x0 = std::min(x0, xy[2 * i]);
            x1 = std::max(x1, xy[2 * i]);
            y0 = std::min(y0, xy[2 * i + 1]);
            y1 = std::max(y1, xy[2 * i + 1]);
        }
        x0_ = x0;
        y0_ = y0;
        double w = x1 - x0, h = y1 - y0;
        double ext = std::max(w, h);
        // About two targets per cell over the bounding box; a box thinner than 1/64 of
        // its length counts as that wide, so a line of targets does not make cells
        // far longer than the spacing along it.
        double cell = std::sqrt(std::max(w * h, ext * ext / 64.0) * 2.0 / static_cast<double>(n));
        if (!(cell > 0.0) || !std::isfinite(cell)) cell = 1.0;
        // Bounded bucket count whatever the spread: at most 4 cells per target (plus
        // 64 for tiny clouds), so memory stays linear in n.
        double gxd = std::floor(w / cell) + 1.0, gyd = std::floor(h / cell) + 1.0;
        const double cap = 4.0 * static_cast<double>(n) + 64.0;
        while (gxd * gyd > cap) {
            cell *= 1.5;
            gxd = std::floor(w / cell) + 1.0;
            gyd = std::floor(h / cell) + 1.0;
        }
        cell_ = cell;
        inv_ = 1.0 / cell;
        gx_ = static_cast<int64_t>(gxd);
        gy_ = static_cast<int64_t>(gyd);
        std::vector<uint32_t> cellof(n);
        start_.assign(static_cast<size_t>(gx_ * gy_) + 1, 0);
        for (size_t i = 0; i < n; ++i) {
            int64_t cx = clampx(static_cast<int64_t>((xy[2 * i] - x0_) * inv_));
            int64_t cy = clampy(static_cast<int64_t>((xy[2 * i + 1] - y0_) * inv_));
            cellof[i] = static_cast<uint32_t>(cy * gx_ + cx);
            ++start_[cellof[i] + 1];
        }
        for (size_t c = 1; c < start_.size(); ++c) start_[c] += start_[c - 1];
        std::vector<uint32_t> fill(start_.begin(), start_.end() - 1);
        px_.resize(n);
        py_.resize(n);
        id_.resize(n);
        for (size_t i = 0; i < n; ++i) {
            uint32_t at = fill[cellof[i]]++;
            px_[at] = xy[2 * i];
            py_[at] = xy[2 * i + 1];
            id_[at] = static_cast<uint32_t>(i);
        }
    }

    // Every target within distance R of (cx, cy), appended to out (dc filled in).
    void gather(double cx, double cy, double R, std::vector<Cand>& out) const {
        out.clear();
        double R2 = R * R;
        int64_t ax = cell_index(cx - R - x0_), bx = cell_index(cx + R - x0_);
        int64_t ay = cell_index(cy - R - y0_), by = cell_index(cy + R - y0_);
        ax = clampx(ax);
        bx = clampx(bx);
        ay = clampy(ay);
        by = clampy(by);
        // Cells of a row are consecutive: one run of targets per row, each written
        // and kept when within R (no branch on the distance).
        size_t room = 0;
        for (int64_t gy = ay; gy <= by; ++gy)
            room += start_[static_cast<size_t>(gy * gx_ + bx) + 1] - start_[static_cast<size_t>(gy * gx_ + ax)];
        out.resize(room);
        size_t kept = 0;
        for (int64_t gy = ay; gy <= by; ++gy) {
            const uint32_t end = start_[static_cast<size_t>(gy * gx_ + bx) + 1];
            for (uint32_t at = start_[static_cast<size_t>(gy * gx_ + ax)]; at < end; ++at) {
                const double dx = px_[at] - cx, dy = py_[at] - cy;
                const double d2 = dx * dx + dy * dy;
                out[kept] = {d2, px_[at], py_[at], id_[at]};
                kept += d2 <= R2;
            }
        }
        out.resize(kept);
    }

    // The K-th smallest squared distance (qx - px)^2 + (qy - py)^2 from (cx, cy) over
    // every target, computed as the tree computes it (so bit for bit its value).
    // Squares of cells around the centre grow from half-width R until K targets lie
    // strictly nearer than R: a target outside the square is at least R away in one
    // coordinate, and rounding is monotone, so its squared distance is at least
    // fl(R * R). `d2` is scratch space.
    double kth_d2(double cx, double cy, size_t K, double R, std::vector<double>& d2) const {
        for (;;) {
            const int64_t ax = clampx(cell_index(cx - R - x0_)), bx = clampx(cell_index(cx + R - x0_));
            const int64_t ay = clampy(cell_index(cy - R - y0_)), by = clampy(cell_index(cy + R - y0_));
            d2.clear();
            for (int64_t gy = ay; gy <= by; ++gy) {
                const size_t row = static_cast<size_t>(gy * gx_);
                for (uint32_t at = start_[row + static_cast<size_t>(ax)]; at < start_[row + static_cast<size_t>(bx) + 1];
                     ++at) {
                    const double dx = cx - px_[at], dy = cy - py_[at];
                    d2.push_back(dx * dx + dy * dy);
                }
            }
            const bool everything = ax == 0 && ay == 0 && bx == gx_ - 1 && by == gy_ - 1;
            if (d2.size() >= K) {
                const double kth = kth_smallest(d2, K, 2.0 * R * R);
                if (everything || kth < R * R) return kth;
            }
            R *= 2.0;
        }
    }

private:
    // The K-th smallest of v (1 <= K <= v.size(), no NaN; v is reordered): the
    // values are counted into 64 bins over [0, top) (the last also takes larger
    // ones), a monotone map, so the K-th lies in the bin where the running count
    // reaches K and is found among that bin's few values. Counting has no
    // data-dependent branches, where a selection over every value mispredicts.
    static double kth_smallest(std::vector<double>& v, size_t K, double top) {
        constexpr size_t kBins = 64;
        const double scale = static_cast<double>(kBins) / top;  // 0 when top overflows: one bin
        auto bin = [&](double x) {
            const double b = x * scale;
            return b < static_cast<double>(kBins - 1) ? static_cast<size_t>(b) : kBins - 1;
        };
        size_t count[kBins] = {};
        for (double x : v) ++count[bin(x)];
        size_t b = 0, before = 0;
        while (before + count[b] < K) before += count[b++];
        size_t kept = 0;
        for (double x : v) {
            v[kept] = x;
            kept += bin(x) == b;
        }
        std::nth_element(v.begin(), v.begin() + static_cast<ptrdiff_t>(K - before - 1),
                         v.begin() + static_cast<ptrdiff_t>(kept));
        return v[K - before - 1];
    }

    int64_t cell_index(double v) const {
        double t = std::floor(v * inv_);
        if (!(t > -1.0)) return -1;
        if (t > 1e15) return std::numeric_limits<int32_t>::max();
        return static_cast<int64_t>(t);
    }
    int64_t clampx(int64_t v) const { return std::clamp<int64_t>(v, 0, gx_ - 1); }
    int64_t clampy(int64_t v) const { return std::clamp<int64_t>(v, 0, gy_ - 1); }

    double x0_, y0_, cell_, inv_;
    int64_t gx_, gy_;
    std::vector<uint32_t> start_;
    std::vector<double> px_, py_;
    std::vector<uint32_t> id_;
};

// Relative and absolute slack of the pixel bounds: a few units in the last place of
// the sums and square roots that derive them, so rounding never drops a neighbour.
constexpr double kRel = 8e-12, kAbs = 1e-9;

// The tile walk, compiled once for the baseline instruction set and once for AVX2
// (Wide), where the scans and the shading inline into the pixel loop.
template <bool Wide>
__attribute__((always_inline)) inline void render_tiles_impl(const double* xy, size_t n, const Shader& sh,
                                                             const PolarBlend& p, uint8_t* out, Interrupt* stop) {
    const size_t K = p.K, nx = p.nx;
    const double stp = static_cast<double>(p.step);
    Buckets buckets(xy, n);
    const size_t T = std::max<size_t>(1, std::min<size_t>(nx, kTilePx / std::max<size_t>(1, p.step)));
    const size_t ntile = (nx + T - 1) / T;
    const double inf = std::numeric_limits<double>::infinity();
    constexpr bool avx2 = Wide;
    // Per row of tiles: the tile centres and their K-th nearest distances.
    // dk starts at a tile's width and then holds the row above's K-th distances: the
    // first search radius of the tile below.
    std::vector<double> centres(2 * ntile), dk(ntile, static_cast<double>(T) * stp), scratch;
    std::vector<Cand> cand;
    // Per-pixel work lists, each with room for every candidate of the tile: the certain
    // neighbours go straight into best / bid, the boundary ones into bd2 / bidb.
    std::vector<double> best_v, bd2_v;
    std::vector<uint32_t> bid_v, bidb_v;
    std::vector<Sel> sel;
    // The K-th distances of the pixels above (by column, across tiles) and to the
    // left (by row of the tile row, from the tile before): every pixel but the
    // image's first starts from a neighbour one step away.
    std::vector<double> up_kth(nx, std::numeric_limits<double>::infinity()), left_kth(T);
    // Pixel-to-centre distances of a full tile: the offsets are multiples of a half
    // pixel, exact in double, so every full tile shares these values to the bit.
    std::vector<double> hp_full(T * T);
    for (size_t a = 0; a < T; ++a)
        for (size_t b = 0; b < T; ++b) {
            const double ex = b * stp - 0.5 * ((T - 1) * stp), ey = a * stp - 0.5 * ((T - 1) * stp);
            hp_full[a * T + b] = std::sqrt(ex * ex + ey * ey);
        }
    std::vector<double> cxs, cys;
    std::vector<size_t> ring_end(kRings), ring_fill(kRings);
    std::vector<uint32_t> cid;
    // Shading straight from the candidate columns (single precision) skips the lists.
    const bool shade_in_place = Wide && sh.single;
    std::vector<double> cd2_v;
    std::vector<float> crgb;
    auto centre = [&](size_t t0, size_t cnt) {  // centre coordinate of tiles t0 of cnt pixels
        return 0.5 * ((t0 * stp + 0.5) + ((t0 + cnt - 1) * stp + 0.5));
    };
    for (size_t ti = 0; ti < ntile; ++ti) {
        const size_t i0 = ti * T, i1 = std::min(nx, i0 + T);
        for (size_t tj = 0; tj < ntile; ++tj) {
            const size_t j0 = tj * T, j1 = std::min(nx, j0 + T);
            centres[2 * tj] = centre(j0, j1 - j0);
            centres[2 * tj + 1] = centre(i0, i1 - i0);
        }
        for (size_t tj = 0; tj < ntile; ++tj) {
            // The previous tile's answer moved by a tile's width: close, and grown as needed.
            const double guess = (tj > 0 ? dk[tj - 1] : dk[0]) + static_cast<double>(T) * stp;
            dk[tj] = std::sqrt(buckets.kth_d2(centres[2 * tj], centres[2 * tj + 1], K, guess, scratch));
        }
        std::fill(left_kth.begin(), left_kth.end(), inf);
        for (size_t tj = 0; tj < ntile; ++tj) {
            if (stop_requested(stop)) return;
            const double cx = centres[2 * tj], cy = centres[2 * tj + 1], dkc = dk[tj];
            const size_t j0 = tj * T, j1 = std::min(nx, j0 + T);
            const double hx = cx - (j0 * stp + 0.5), hy = cy - (i0 * stp + 0.5);
            const double h = std::sqrt(hx * hx + hy * hy);
            const double R = (dkc + 2.0 * h) * (1.0 + 1e-12) + kAbs;
            buckets.gather(cx, cy, R, cand);
            const size_t nc = cand.size();
            // Ring q holds the squared distances in [q, q + 1) * R^2 / kRings (the last
            // one up to R^2). ring_scale is 0 when R^2 overflows: one ring, every candidate.
            const double ring_scale = static_cast<double>(kRings) / (R * R);
            auto ring_of = [&](double d2) {
                const double q = d2 * ring_scale;
                return q < static_cast<double>(kRings) ? static_cast<size_t>(q) : kRings - 1;
            };
            std::fill(ring_end.begin(), ring_end.end(), 0);
            for (const Cand& c : cand) ++ring_end[ring_of(c.d2c)];
            for (size_t q = 1; q < kRings; ++q) ring_end[q] += ring_end[q - 1];
            // Structure of arrays for the per-pixel scans.
            // The arrays run 4 past the candidates: +inf pads for the scans that read
            // four at a time, room for the four entries they may write past a list's end.
            cxs.assign(nc + 4, inf);
            cys.assign(nc + 4, inf);
            cid.assign(nc + 4, 0);
            if (best_v.size() < nc + 4) {
                best_v.resize(nc + 4);
                bid_v.resize(nc + 4);
                bd2_v.resize(nc + 4);
                bidb_v.resize(nc + 4);
            }
            double* const best = best_v.data();
            uint32_t* const bid = bid_v.data();
            double* const bd2 = bd2_v.data();
            uint32_t* const bidb = bidb_v.data();
            {
                // Each ring's candidates in their gathered order: filled from the ring's end.
                std::vector<size_t>& at = ring_fill;
                at = ring_end;
                for (size_t a = nc; a-- > 0;) {
                    const size_t to = --at[ring_of(cand[a].d2c)];
                    cxs[to] = cand[a].x;
                    cys[to] = cand[a].y;
                    cid[to] = cand[a].id;
                }
            }
            const double* const xs = cxs.data();
            const double* const ys = cys.data();
            const uint32_t* const ids = cid.data();
            if (shade_in_place) {
                // Colour columns and squared distances for shading in place, padded to
                // the blocks of eight it reads.
                cd2_v.assign(nc + 8, 0.0);
                crgb.assign(3 * (nc + 8), 0.0f);
                for (size_t a = 0; a < nc; ++a) {
                    const float* c = sh.rgb4f.data() + 4 * static_cast<size_t>(cid[a]);
                    crgb[a] = c[0];
                    crgb[nc + 8 + a] = c[1];
                    crgb[2 * (nc + 8) + a] = c[2];
                }
            }
            double* const cd2 = cd2_v.data();
            const float* const cr = crgb.data();
            const float* const cg = cr + (nc + 8);
            const float* const cb = cg + (nc + 8);
            const bool full = i1 - i0 == T && j1 - j0 == T;
            for (size_t i = i0; i < i1; ++i) {
                const double qy = i * stp + 0.5;
                double prev_kth = left_kth[i - i0];
                for (size_t j = j0; j < j1; ++j) {
                    const double qx = j * stp + 0.5;
                    const double ex = qx - cx, ey = qy - cy;
                    const double hp = full ? hp_full[(i - i0) * T + (j - j0)] : std::sqrt(ex * ex + ey * ey);
                    // Bounds of this pixel's K-th distance from the tile centre's and from the
                    // pixels to the left and above (one step away): targets nearer than `lo`
                    // are certainly among the K nearest, targets farther than `hi` certainly not.
                    const double above = up_kth[j];
                    double hi = std::min(dkc + hp, std::min(prev_kth, above) + stp);
                    double lo = dkc - hp;
                    if (prev_kth < inf) lo = std::max(lo, prev_kth - stp);
                    if (above < inf) lo = std::max(lo, above - stp);
                    hi = hi * (1.0 + kRel) + kAbs;
                    lo = lo * (1.0 - kRel) - kAbs;
                    const double reach = (hi + hp) * (1.0 + kRel) + kAbs;
                    const double hi2 = hi * hi * (1.0 + kRel);
                    const double lo2 = lo > 0.0 ? lo * lo * (1.0 - kRel) : -1.0;
                    // Candidates within reach of the tile centre: every ring up to reach's
                    // (squared, with room for rounding; monotone, so none within reach is missed).
                    const size_t nr = ring_scale > 0.0 ? ring_end[ring_of(reach * reach * (1.0 + kRel))] : nc;
                    // The nearest target lies within reach, so the smallest distance scanned is d0.
                    if (shade_in_place && nr <= 64) {
                        const MaskScan ms = scan_masks_avx2(xs, ys, nr, qx, qy, lo2, hi2, cd2);
                        const size_t na = ms.na, nbnd = ms.nbnd;
                        const double d0 = std::sqrt(ms.dmin);
                        if (na <= K && na + nbnd >= K && K - na <= 6 && d0 * d0 + sh.sm2 < 1e30) {
                            // The K - na nearest of the boundary set, as the lists pick them;
                            // the K-th distance is the largest chosen one.
                            uint64_t chosen = ms.certain;
                            double dkk = 0.0;
                            if (na == K || nbnd == K - na) {
                                // Every certain (and boundary) candidate, usually a boundary one last.
                                chosen |= na == K ? 0 : ms.boundary;
                                for (uint64_t m = na == K ? ms.certain : ms.boundary; m != 0; m &= m - 1)
                                    dkk = std::max(dkk, cd2[std::countr_zero(m)]);
                            } else {
                                uint64_t rest = ms.boundary;
                                for (size_t t = na; t < K; ++t) {
                                    uint64_t m = rest;
                                    int at = std::countr_zero(m);
                                    double v = cd2[at];
                                    for (m &= m - 1; m != 0; m &= m - 1) {
                                        const int b = std::countr_zero(m);
                                        const double c = cd2[b];
                                        const bool nearer = c < v;  // selects, not branches
                                        v = nearer ? c : v;
                                        at = nearer ? b : at;
                                    }
                                    chosen |= uint64_t{1} << at;
                                    rest &= ~(uint64_t{1} << at);
                                    dkk = v;
                                }
                            }
                            prev_kth = std::sqrt(dkk);
                            up_kth[j] = prev_kth;
                            sh.shade_chosen(cd2, cr, cg, cb, chosen, nr, d0, out + 4 * (i * nx + j));
                            continue;
                        }
                    }
                    const Scan sc = avx2 ? scan_avx2(xs, ys, ids, nr, qx, qy, lo2, hi2, best, bid, bd2, bidb)
                                         : scan_plain(xs, ys, ids, nr, qx, qy, lo2, hi2, best, bid, bd2, bidb);
                    size_t na = sc.na, nbnd = sc.nbnd;
                    double dmin = sc.dmin;
                    double dkk;  // this pixel's K-th smallest squared distance
                    if (na <= K && na + nbnd >= K) {
                        // The K - na smallest of the boundary set complete the neighbours, in
                        // ascending order after the certain ones.
                        const size_t need = K - na;
                        // Selection sort costs need x nbnd comparisons; with more than 6
                        // to pick, partitioning the boundary set first is cheaper.
                        if (need > 6 && need < nbnd) {
                            sel.clear();
                            for (size_t a = 0; a < nbnd; ++a) sel.push_back({bd2[a], bidb[a]});
                            std::nth_element(sel.begin(), sel.begin() + (need - 1), sel.end(),
                                             [](const Sel& x, const Sel& y) { return x.d2 < y.d2; });
                            for (size_t a = 0; a < need; ++a) {
                                bd2[a] = sel[a].d2;
                                bidb[a] = sel[a].id;
                            }
                            nbnd = need;
                        }
                        // In ascending order; of equal distances the first in candidate
                        // order goes first (a taken entry is marked +inf; the boundary set
                        // holds finite values only).
                        for (size_t a = 0; a < need; ++a) {
                            size_t mn = 0;
                            for (size_t b2i = 1; b2i < nbnd; ++b2i)
                                if (bd2[b2i] < bd2[mn]) mn = b2i;
                            best[na + a] = bd2[mn];
                            bid[na + a] = bidb[mn];
                            bd2[mn] = inf;
                        }
                        if (need > 0) {
                            dkk = best[K - 1];  // every certain neighbour is nearer
                        } else {
                            dkk = best[0];
                            for (size_t k = 1; k < K; ++k) dkk = best[k] > dkk ? best[k] : dkk;
                        }
                    } else {
                        // Rounding or a loose bound: select among every candidate.
                        sel.clear();
                        for (size_t a = 0; a < nc; ++a) {
                            const double dx = qx - xs[a], dy = qy - ys[a];
                            sel.push_back({dx * dx + dy * dy, ids[a]});
                        }
                        std::nth_element(sel.begin(), sel.begin() + (K - 1), sel.end(),
                                         [](const Sel& x, const Sel& y) { return x.d2 < y.d2; });
                        dmin = sel[0].d2;
                        for (size_t k = 0; k < K; ++k) {
                            best[k] = sel[k].d2;
                            bid[k] = sel[k].id;
                            dmin = best[k] < dmin ? best[k] : dmin;
                        }
                        dkk = best[K - 1];
                    }
                    prev_kth = std::sqrt(dkk);
                    up_kth[j] = prev_kth;
                    sh.shade(best, bid, K, std::sqrt(dmin), out + 4 * (i * nx + j));
                }
                left_kth[i - i0] = prev_kth;
            }
        }
    }
}

void render_tiles_baseline(const double* xy, size_t n, const Shader& sh, const PolarBlend& p, uint8_t* out,
                           Interrupt* stop) {
    render_tiles_impl<false>(xy, n, sh, p, out, stop);
}

__attribute__((target("avx2,popcnt"))) void render_tiles_wide(const double* xy, size_t n, const Shader& sh,
                                                              const PolarBlend& p, uint8_t* out, Interrupt* stop) {
    render_tiles_impl<true>(xy, n, sh, p, out, stop);
}

// Any positions (non-finite ones included): the exact tree answers the grid in chunks.
void render_with_tree(const double* xy, size_t n, const Shader& sh, const PolarBlend& p, uint8_t* out,
                      Interrupt* stop) {
    const size_t K = p.K, nx = p.nx, total = nx * nx;
    const double stp = static_cast<double>(p.step);
    KdTree tree(xy, n, 2);
    // Chunks of 4096 grid points: a few milliseconds of queries between polls.
    const size_t chunk = 4096;
    std::vector<double> q(2 * chunk), dist(chunk * K), s(K);
    std::vector<int64_t> idx(chunk * K);
    for (size_t g0 = 0; g0 < total; g0 += chunk) {
        if (stop_requested(stop)) return;
        size_t g1 = std::min(total, g0 + chunk);
        for (size_t g = g0; g < g1; ++g) {
            q[2 * (g - g0)] = (g % nx) * stp + 0.5;
            q[2 * (g - g0) + 1] = (g / nx) * stp + 0.5;
        }
        tree.query(q.data(), g1 - g0, K, dist.data(), idx.data());
        for (size_t g = g0; g < g1; ++g) {
            const double* dr = dist.data() + (g - g0) * K;
            for (size_t k = 0; k < K; ++k) s[k] = dr[k] * dr[k];
            sh.shade(s.data(), idx.data() + (g - g0) * K, K, dr[0], out + 4 * g);
        }
    }
}

}  // namespace

void polar_positions(const double* b, const double* r, size_t n, double rr, double scale, double* xy) {
    for (size_t i = 0; i < n; ++i) {
        double a = (floored_mod(b[i] + 180.0, 360.0) - 180.0) * kDeg2Rad;
        xy[2 * i] = rr + std::sin(a) * r[i] * scale;
        xy[2 * i + 1] = rr - std::cos(a) * r[i] * scale;
    }
}

double median_inplace(std::vector<double>& v) {
    const size_t n = v.size();
    if (n == 0) return std::numeric_limits<double>::quiet_NaN();
    for (double x : v)
        if (std::isnan(x)) return x;
    size_t mid = n / 2;
    std::nth_element(v.begin(), v.begin() + mid, v.end());
    double hi = v[mid];
    if (n % 2) return hi;
    double lo = *std::max_element(v.begin(), v.begin() + mid);
    return (lo + hi) / 2.0;
}

void polar_render_native(const double* xy, size_t n, const double* rgb, const PolarBlend& p, uint8_t* out,
                         Interrupt* stop) {
    if (p.nx == 0) return;
    // The largest squared distance from a grid point to a target: to the farther
    // corner of the grid's box in each coordinate (NaN or inf for non-finite positions).
    const double lo = 0.5, hi = static_cast<double>(p.nx - 1) * static_cast<double>(p.step) + 0.5;
    double s_max = 0.0;
    bool finite = true;
    for (size_t i = 0; i < n; ++i) {
        const double x = xy[2 * i], y = xy[2 * i + 1];
        finite = finite && std::isfinite(x) && std::isfinite(y);
        const double dx = std::max(std::fabs(x - lo), std::fabs(x - hi)), dy = std::max(std::fabs(y - lo), std::fabs(y - hi));
        s_max = std::max(s_max, dx * dx + dy * dy);
    }
    Shader sh(rgb, n, p, finite ? s_max : std::numeric_limits<double>::infinity());
    if (finite)
        (sh.avx2 ? render_tiles_wide : render_tiles_baseline)(xy, n, sh, p, out, stop);
    else
        render_with_tree(xy, n, sh, p, out, stop);
}

void polar_render_from_neighbours(const double* dist, const int64_t* idx, const double* rgb, size_t n,
                                  const PolarBlend& p, uint8_t* out, Interrupt* stop) {
    const size_t K = p.K, total = p.nx * p.nx;
    // The largest squared distance, +inf when any distance is not finite.
    double s_max = 0.0;
    for (size_t g = 0; g < total * K; ++g)
        s_max = std::isfinite(dist[g]) ? std::max(s_max, dist[g] * dist[g]) : std::numeric_limits<double>::infinity();
    Shader sh(rgb, n, p, s_max);
    std::vector<double> s(K);
    // Rows of 4096 grid points between polls: well under a millisecond each.
    for (size_t g = 0; g < total; ++g) {
        if (g % 4096 == 0 && stop_requested(stop)) return;
        const double* dr = dist + g * K;
        for (size_t k = 0; k < K; ++k) s[k] = dr[k] * dr[k];
        sh.shade(s.data(), idx + g * K, K, dr[0], out + 4 * g);
    }
}

}  // namespace vis
