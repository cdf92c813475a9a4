#include "kernels/palette.h"

#include "kernels/cpu.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define VIS_PALETTE_AVX2 1
#endif

namespace vis {

double stop_byte(double intensity) { return std::trunc(intensity * 255.0); }

int64_t stop_byte_i64(double intensity) {
    double b = stop_byte(intensity);
    if (std::isnan(b)) return 0;
    // 2^63 is exactly representable; anything at or above it does not fit.
    constexpr double lim = 9223372036854775808.0;
    if (b >= lim) return std::numeric_limits<int64_t>::max();
    if (b < -lim) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(b);
}

namespace {

// Index j of the segment with xp[j] <= x < xp[j+1], for xp[0] <= x < xp[n-1].
inline size_t search_segment(const double* xp, size_t n, double x) {
    // upper_bound over xp[1 .. n-2]: the number of those stops <= x.
    const double* it = std::upper_bound(xp + 1, xp + n - 1, x);
    return static_cast<size_t>(it - (xp + 1));
}

inline double interp_segment(double x, double x0, double x1, double f0, double f1, double slope) {
    if (x == x0) return f0;
    double v = slope * (x - x0) + f0;
    if (std::isnan(v)) {
        v = slope * (x - x1) + f1;
        if (std::isnan(v) && f0 == f1) v = f0;
    }
    return v;
}

}  // namespace

void interp_linear(const double* x, size_t m, const double* xp, const double* fp,
                   size_t fp_stride, size_t n, double* out, Interrupt* stop) {
    if (n == 1) {
        for (size_t i = 0; i < m; ++i) out[i] = fp[0];
        return;
    }
    const double first = fp[0], last = fp[(n - 1) * fp_stride];
    for (size_t i = 0; i < m; ++i) {
        if (i % kPollValues == 0 && i > 0 && stop_requested(stop)) return;
        const double xi = x[i];
        if (std::isnan(xi)) {
            out[i] = xi;
        } else if (xi >= xp[n - 1]) {
            out[i] = last;
        } else if (xi < xp[0]) {
            out[i] = first;
        } else {
            size_t j = search_segment(xp, n, xi);
            double f0 = fp[j * fp_stride], f1 = fp[(j + 1) * fp_stride];
            double slope = (f1 - f0) / (xp[j + 1] - xp[j]);
            out[i] = interp_segment(xi, xp[j], xp[j + 1], f0, f1, slope);
        }
    }
}

BytePalette::BytePalette(const double* cm, size_t rows, size_t cols)
    : n_(rows), xp_(rows), fp_(rows * 4), slope_(rows > 1 ? (rows - 1) * 4 : 0), small_(rows <= 16) {
    for (size_t k = 0; k < rows; ++k) {
        xp_[k] = cm[k * cols];
        for (size_t c = 0; c < 4; ++c) fp_[k * 4 + c] = stop_byte(cm[k * cols + 1 + c]);
    }
    for (size_t k = 0; k + 1 < rows; ++k)
        for (size_t c = 0; c < 4; ++c)
            slope_[k * 4 + c] = (fp_[(k + 1) * 4 + c] - fp_[k * 4 + c]) / (xp_[k + 1] - xp_[k]);

    fast_ = rows >= 2;
    for (double v : xp_) fast_ = fast_ && std::isfinite(v);
    for (double v : fp_) fast_ = fast_ && std::isfinite(v);
    for (double v : slope_) fast_ = fast_ && std::isfinite(v);
    for (size_t k = 0; k + 1 < rows; ++k) fast_ = fast_ && xp_[k] < xp_[k + 1];
    if (fast_) {
        base_.resize(rows + 1);
        fk_.resize((rows + 1) * 4);
        sk_.assign((rows + 1) * 4, 0.0);
        base_[0] = xp_[0];
        for (size_t c = 0; c < 4; ++c) fk_[c] = fp_[c];
        for (size_t k = 1; k < rows; ++k) {
            base_[k] = xp_[k - 1];
            for (size_t c = 0; c < 4; ++c) {
                fk_[k * 4 + c] = fp_[(k - 1) * 4 + c];
                sk_[k * 4 + c] = slope_[(k - 1) * 4 + c];
            }
        }
        base_[rows] = xp_[rows - 1];
        for (size_t c = 0; c < 4; ++c) fk_[rows * 4 + c] = fp_[(rows - 1) * 4 + c];
        // Rows 1..n of the tables above (segments 0..n-2, then the upper end)
        // in the layout of the AVX2 path.
        rows8_.resize(rows * 8);
        starts4_.assign(rows * 4, 0.0);
        for (size_t c = 0; c < rows; ++c) {
            for (size_t ch = 0; ch < 4; ++ch) {
                rows8_[8 * c + ch] = sk_[(c + 1) * 4 + ch];
                rows8_[8 * c + 4 + ch] = fk_[(c + 1) * 4 + ch];
            }
            starts4_[4 * c] = base_[c + 1];
        }
        clip_ = false;
        for (double v : fp_) clip_ = clip_ || v > 255.0;
    }
}

#if defined(VIS_PALETTE_AVX2)
namespace {


// 16-byte lane masks for the four colours of a 4-value group, indexed by the
// 4-bit movemask of the lanes to replace.
struct LaneMasks {
    alignas(16) uint32_t m[16][4];
    LaneMasks() {
        for (int b = 0; b < 16; ++b)
            for (int j = 0; j < 4; ++j) m[b][j] = (b >> j) & 1 ? 0xFFFFFFFFu : 0u;
    }
};
const LaneMasks kLaneMasks;

// Four lambda values per step, AVX2.  The value is clamped into [lo, hi]
// first (a NaN stays NaN), then c = the number of thresholds xp[1..n-1] that
// are <= the clamped value selects row c: rows 0..n-2 are the segments,
// row n-1 the upper end (slope 0).  Each value evaluates its row for all four
// channels in one register: slope * (xc - start) + byte, as separate multiply
// and add.  At a stop and at either end the difference is 0, so the stop's
// byte comes out unchanged; a NaN value stays NaN and its bytes become 0
// (the conversion of NaN gives INT_MIN, which the unsigned saturating pack
// turns into 0).  Values above 255 are clipped by the min (needed only when a
// stop byte lies above 255: otherwise no value can reach 256), values below
// 0 by the saturating packs, so the result is clip-to-[0, 255] then
// truncation.
//
// NT > 0: the thresholds are counted with NT compares (padded with NaN,
// which never compares true); NT == 0: a binary search per value.
// kReplace: values equal to `special` get the bytes `special_word`.
//
// Table layout: rows[8c .. 8c+3] slopes, rows[8c+4 .. 8c+7] bytes of row c;
// starts[4c] the row's start.  The row index is kept as a byte offset of
// 32 * c, so both tables are addressed without a multiply.
struct RowsAvx2 {
    const double* thr;
    size_t nthr;
    const char* rows;
    const char* starts;
};

// Phase 1 for four values: the clamped values and the byte offsets of their
// rows (32 * row index).
template <int NT>
__attribute__((target("avx2"), always_inline)) inline void locate_avx2(const double* src, double* xs,
                                                                      int64_t* off, const RowsAvx2& tb,
                                                                      const __m256d* t, __m256d vlo,
                                                                      __m256d vhi) {
    const __m256d xc = _mm256_min_pd(vhi, _mm256_max_pd(vlo, _mm256_loadu_pd(src)));
    _mm256_store_pd(xs, xc);
    if (NT > 0) {
        __m256i cnt = _mm256_setzero_si256();
        for (int s = 0; s < NT; ++s)
            cnt = _mm256_sub_epi64(cnt, _mm256_castpd_si256(_mm256_cmp_pd(t[s], xc, _CMP_LE_OQ)));
        _mm256_store_si256(reinterpret_cast<__m256i*>(off), _mm256_slli_epi64(cnt, 5));
    } else {
        for (int j = 0; j < 4; ++j) {
            const double* it = std::upper_bound(tb.thr, tb.thr + tb.nthr, xs[j]);
            off[j] = static_cast<int64_t>(it - tb.thr) * 32;
        }
    }
}

// Phase 2 for four values: evaluate each value's row for all four channels
// and store the 16 bytes.  `src` is only read for the replacement test.
template <bool kReplace, bool kClip>
__attribute__((target("avx2"), always_inline)) inline void evaluate_avx2(const double* src, const double* xs,
                                                                        const int64_t* off, uint8_t* dst,
                                                                        const RowsAvx2& tb, __m256d vspecial,
                                                                        __m128i vword) {
    __m128i iv[4];
    for (int j = 0; j < 4; ++j) {
        const ptrdiff_t k = static_cast<ptrdiff_t>(off[j]);
        const __m256d dx = _mm256_sub_pd(_mm256_broadcast_sd(xs + j),
                                         _mm256_broadcast_sd(reinterpret_cast<const double*>(tb.starts + k)));
        const double* row = reinterpret_cast<const double*>(tb.rows + 2 * k);
        __m256d v = _mm256_add_pd(_mm256_mul_pd(_mm256_loadu_pd(row), dx), _mm256_loadu_pd(row + 4));
        if (kClip) v = _mm256_min_pd(_mm256_set1_pd(255.0), v);
        iv[j] = _mm256_cvttpd_epi32(v);
    }
    __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(iv[0], iv[1]), _mm_packs_epi32(iv[2], iv[3]));
    if (kReplace) {
        const int msk = _mm256_movemask_pd(_mm256_cmp_pd(_mm256_loadu_pd(src), vspecial, _CMP_EQ_OQ));
        const __m128i lanes = _mm_load_si128(reinterpret_cast<const __m128i*>(kLaneMasks.m[msk]));
        bytes = _mm_blendv_epi8(bytes, vword, lanes);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), bytes);
}

// Blocks of up to kBlock values: first every value's row is located, then
// every value is evaluated.  Splitting the two keeps the long dependency chain
// of the row search out of the evaluation, so the loads of the row tables
// depend only on memory written a little earlier and can issue ahead.
template <int NT, bool kReplace, bool kClip>
__attribute__((target("avx2"))) void colour_rows_avx2(const double* lam, size_t m, const RowsAvx2& tb,
                                                      double lo, double hi, double special,
                                                      uint32_t special_word, uint8_t* out) {
    constexpr int NTA = NT > 0 ? NT : 1;
    // 128 values: their clamped values and row offsets (2 KiB) stay in L1
    // between the two passes.
    constexpr size_t kBlock = 128;
    __m256d t[NTA];
    for (int s = 0; s < NTA; ++s)
        t[s] = _mm256_set1_pd(static_cast<size_t>(s) < tb.nthr ? tb.thr[s]
                                                                : std::numeric_limits<double>::quiet_NaN());
    const __m256d vlo = _mm256_set1_pd(lo), vhi = _mm256_set1_pd(hi);
    const __m256d vspecial = _mm256_set1_pd(special);
    const __m128i vword = _mm_set1_epi32(static_cast<int>(special_word));
    alignas(32) double xs[kBlock];
    alignas(32) int64_t off[kBlock];
    const size_t full = m & ~size_t(3);
    for (size_t b = 0; b < full; b += kBlock) {
        const size_t len = std::min(kBlock, full - b);
        for (size_t i = 0; i < len; i += 4) locate_avx2<NT>(lam + b + i, xs + i, off + i, tb, t, vlo, vhi);
        for (size_t i = 0; i < len; i += 4)
            evaluate_avx2<kReplace, kClip>(lam + b + i, xs + i, off + i, out + 4 * (b + i), tb, vspecial, vword);
    }
    if (full < m) {  // last partial group: padded copy in, partial copy out
        const size_t rest = m - full;
        alignas(32) double tail[4] = {lo, lo, lo, lo};
        alignas(16) uint8_t tail_bytes[16];
        std::memcpy(tail, lam + full, rest * sizeof(double));
        locate_avx2<NT>(tail, xs, off, tb, t, vlo, vhi);
        evaluate_avx2<kReplace, kClip>(tail, xs, off, tail_bytes, tb, vspecial, vword);
        std::memcpy(out + 4 * full, tail_bytes, rest * 4);
    }
}

}  // namespace
#endif

bool BytePalette::colour_avx2(const double* lam, size_t m, const double* special,
                              const uint8_t* special_bytes, uint8_t* out) const {
#if defined(VIS_PALETTE_AVX2)
    if (!fast_ || !cpu_has_avx2()) return false;
    const double* thr = xp_.data() + 1;
    const size_t nthr = n_ - 1;
    const double lo = xp_[0], hi = xp_[n_ - 1];
    uint32_t word = 0;
    double sp = 0.0;
    if (special) {
        sp = *special;
        std::memcpy(&word, special_bytes, 4);
    }
    auto run = [&](auto nt_tag) {
        constexpr int NT = decltype(nt_tag)::value;
        const RowsAvx2 tb{thr, nthr, reinterpret_cast<const char*>(rows8_.data()),
                          reinterpret_cast<const char*>(starts4_.data())};
        if (special) {
            if (clip_) colour_rows_avx2<NT, true, true>(lam, m, tb, lo, hi, sp, word, out);
            else colour_rows_avx2<NT, true, false>(lam, m, tb, lo, hi, sp, word, out);
        } else {
            if (clip_) colour_rows_avx2<NT, false, true>(lam, m, tb, lo, hi, sp, word, out);
            else colour_rows_avx2<NT, false, false>(lam, m, tb, lo, hi, sp, word, out);
        }
    };
    // Up to 16 thresholds are counted with that many compares per value,
    // cheaper than a search's dependent loads; more take the binary search.
    using std::integral_constant;
    switch (nthr) {
        case 1: run(integral_constant<int, 1>()); break;
        case 2: run(integral_constant<int, 2>()); break;
        case 3: run(integral_constant<int, 3>()); break;
        case 4: run(integral_constant<int, 4>()); break;
        case 5: run(integral_constant<int, 5>()); break;
        case 6: run(integral_constant<int, 6>()); break;
        case 7: run(integral_constant<int, 7>()); break;
        case 8: run(integral_constant<int, 8>()); break;
        default:
            if (nthr <= 12) run(integral_constant<int, 12>());
            else if (nthr <= 16) run(integral_constant<int, 16>());
            else run(integral_constant<int, 0>());
    }
    return true;
#else
    (void)lam; (void)m; (void)special; (void)special_bytes; (void)out;
    return false;
#endif
}

// With strictly increasing finite stops and finite slopes the exact rule
// reduces to: clamp x into [xp[0], xp[n-1]], pick the row by counting the
// stops <= x, and evaluate slope * (x - start) + byte.  At a stop and beyond
// the ends the difference is 0, so the stop's byte comes out unchanged.
void BytePalette::colour_fast(const double* lam, size_t m, uint8_t* out) const {
    const size_t n = n_;
    const double lo = xp_[0], hi = xp_[n - 1];
    const double* xp = xp_.data();
    const double* base = base_.data();
    const double* fk = fk_.data();
    const double* sk = sk_.data();
#if defined(__SSE2__)
    if (n <= 8) {
        // Two lambda values per step.  Each lane counts the stops <= its
        // value by summing the all-ones comparison masks; the stops are padded
        // with NaN, which never compares true.  A NaN value stays NaN through
        // the clamp (operand order) and the interpolation, and max(NaN, 0)
        // gives 0, so a NaN lambda yields byte 0 in every channel.
        alignas(16) double pad[8];
        for (size_t s = 0; s < 8; ++s) pad[s] = s < n ? xp[s] : std::numeric_limits<double>::quiet_NaN();
        const __m128d q0 = _mm_set1_pd(pad[0]), q1 = _mm_set1_pd(pad[1]), q2 = _mm_set1_pd(pad[2]),
                      q3 = _mm_set1_pd(pad[3]), q4 = _mm_set1_pd(pad[4]), q5 = _mm_set1_pd(pad[5]),
                      q6 = _mm_set1_pd(pad[6]), q7 = _mm_set1_pd(pad[7]);
        const __m128d zero = _mm_setzero_pd(), top = _mm_set1_pd(255.0);
        const __m128d vlo = _mm_set1_pd(lo), vhi = _mm_set1_pd(hi);
        auto one = [&](size_t k, __m128d dx, uint8_t* o) {
            const double* f = fk + 4 * k;
            const double* s = sk + 4 * k;
            __m128d v01 = _mm_add_pd(_mm_mul_pd(_mm_loadu_pd(s), dx), _mm_loadu_pd(f));
            __m128d v23 = _mm_add_pd(_mm_mul_pd(_mm_loadu_pd(s + 2), dx), _mm_loadu_pd(f + 2));
            v01 = _mm_min_pd(_mm_max_pd(v01, zero), top);
            v23 = _mm_min_pd(_mm_max_pd(v23, zero), top);
            const __m128i i4 = _mm_unpacklo_epi64(_mm_cvttpd_epi32(v01), _mm_cvttpd_epi32(v23));
            const __m128i b16 = _mm_packs_epi32(i4, i4);
            const int word = _mm_cvtsi128_si32(_mm_packus_epi16(b16, b16));
            std::memcpy(o, &word, 4);
        };
        auto count = [&](__m128d xv) {
            __m128i c0 = _mm_add_epi64(_mm_castpd_si128(_mm_cmple_pd(q0, xv)),
                                       _mm_castpd_si128(_mm_cmple_pd(q1, xv)));
            __m128i c1 = _mm_add_epi64(_mm_castpd_si128(_mm_cmple_pd(q2, xv)),
                                       _mm_castpd_si128(_mm_cmple_pd(q3, xv)));
            __m128i c2 = _mm_add_epi64(_mm_castpd_si128(_mm_cmple_pd(q4, xv)),
                                       _mm_castpd_si128(_mm_cmple_pd(q5, xv)));
            __m128i c3 = _mm_add_epi64(_mm_castpd_si128(_mm_cmple_pd(q6, xv)),
                                       _mm_castpd_si128(_mm_cmple_pd(q7, xv)));
            return _mm_sub_epi64(_mm_setzero_si128(),
                                 _mm_add_epi64(_mm_add_epi64(c0, c1), _mm_add_epi64(c2, c3)));
        };
        size_t i = 0;
        for (; i + 2 <= m; i += 2) {
            const __m128d xv = _mm_loadu_pd(lam + i);
            const __m128i cnt = count(xv);
            const size_t k0 = static_cast<size_t>(_mm_cvtsi128_si64(cnt));
            const size_t k1 = static_cast<size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(cnt, cnt)));
            const __m128d xc = _mm_min_pd(vhi, _mm_max_pd(vlo, xv));
            const __m128d dx = _mm_sub_pd(xc, _mm_loadh_pd(_mm_load_sd(base + k0), base + k1));
            one(k0, _mm_unpacklo_pd(dx, dx), out + 4 * i);
            one(k1, _mm_unpackhi_pd(dx, dx), out + 4 * i + 4);
        }
        if (i < m) {
            const __m128d xv = _mm_set1_pd(lam[i]);
            const size_t k = static_cast<size_t>(_mm_cvtsi128_si64(count(xv)));
            const __m128d xc = _mm_min_pd(vhi, _mm_max_pd(vlo, xv));
            one(k, _mm_sub_pd(xc, _mm_set1_pd(base[k])), out + 4 * i);
        }
        return;
    }
#endif
    for (size_t i = 0; i < m; ++i) {
        const double x = lam[i];
        size_t k = static_cast<size_t>(std::upper_bound(xp, xp + n, x) - xp);
        if (x != x) k = 0;
        double xc = x < lo ? lo : x;
        xc = xc > hi ? hi : xc;
        const double dx = xc - base[k];
        const double* f = fk + 4 * k;
        const double* s = sk + 4 * k;
        uint8_t b[4];
        for (int c = 0; c < 4; ++c) b[c] = channel_to_byte(s[c] * dx + f[c]);
        uint32_t word;
        std::memcpy(&word, b, 4);
        word = (x == x) ? word : 0u;
        std::memcpy(out + 4 * i, &word, 4);
    }
}

inline size_t BytePalette::segment(double x) const {
    if (small_) {
        size_t j = 0;
        for (size_t k = 1; k + 1 < n_; ++k) j += (x >= xp_[k]) ? 1 : 0;
        return j;
    }
    return search_segment(xp_.data(), n_, x);
}

void BytePalette::colour_one(double x, uint8_t out[4]) const {
    const double* f;
    if (n_ == 1) {
        f = fp_.data();
    } else if (std::isnan(x)) {
        out[0] = out[1] = out[2] = out[3] = 0;
        return;
    } else if (x >= xp_[n_ - 1]) {
        f = fp_.data() + (n_ - 1) * 4;
    } else if (x < xp_[0]) {
        f = fp_.data();
    } else {
        const size_t j = segment(x);
        const double x0 = xp_[j], x1 = xp_[j + 1];
        const double* f0 = fp_.data() + j * 4;
        const double* s = slope_.data() + j * 4;
        const double dx = x - x0;
        if (x == x0) {  // the stop's own bytes
            f = f0;
        } else {
            for (int c = 0; c < 4; ++c) {
                double v = s[c] * dx + f0[c];
                if (std::isnan(v)) v = interp_segment(x, x0, x1, f0[c], f0[c + 4], s[c]);
                out[c] = channel_to_byte(v);
            }
            return;
        }
    }
    for (int c = 0; c < 4; ++c) out[c] = channel_to_byte(f[c]);
}

void BytePalette::colour(const double* lam, size_t m, uint8_t* out, Interrupt* stop) const {
    for (size_t s = 0; s < m; s += kPollValues) {
        if (s > 0 && stop_requested(stop)) return;
        colour_block(lam + s, std::min(kPollValues, m - s), out + 4 * s);
    }
}

void BytePalette::colour_block(const double* lam, size_t m, uint8_t* out) const {
    if (colour_avx2(lam, m, nullptr, nullptr, out)) return;
    if (fast_) {
        colour_fast(lam, m, out);
        return;
    }
    for (size_t i = 0; i < m; ++i) colour_one(lam[i], out + 4 * i);
}

void BytePalette::colour_replacing(const double* lam, size_t m, double special, const uint8_t special_bytes[4],
                                   uint8_t* out) const {
    if (colour_avx2(lam, m, &special, special_bytes, out)) return;
    colour_block(lam, m, out);
    for (size_t i = 0; i < m; ++i)
        if (lam[i] == special) std::memcpy(out + 4 * i, special_bytes, 4);
}

}  // namespace vis
