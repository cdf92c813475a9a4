// The palette's branch-free colouring in AVX2 intrinsics, four values per
// step.
#include "kernels/x86/palette_avx2.h"

#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <type_traits>

#define VIS_AVX2 __attribute__((target("avx2")))

namespace vis {

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
inline VIS_AVX2 __attribute__((always_inline)) void locate_avx2(const double* src, double* xs,
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
inline VIS_AVX2 __attribute__((always_inline)) void evaluate_avx2(const double* src, const double* xs,
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
VIS_AVX2 void colour_rows_avx2(const double* lam, size_t m, const RowsAvx2& tb,
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

void palette_colour_avx2(const PaletteRows& rows, const double* lam, size_t m, const double* special,
                         const uint8_t* special_bytes, uint8_t* out) {
    uint32_t word = 0;
    double sp = 0.0;
    if (special) {
        sp = *special;
        std::memcpy(&word, special_bytes, 4);
    }
    const RowsAvx2 tb{rows.thr, rows.nthr, reinterpret_cast<const char*>(rows.rows8),
                      reinterpret_cast<const char*>(rows.starts4)};
    const double lo = rows.lo, hi = rows.hi;
    auto run = [&](auto nt_tag) {
        constexpr int NT = decltype(nt_tag)::value;
        if (special) {
            if (rows.clip) colour_rows_avx2<NT, true, true>(lam, m, tb, lo, hi, sp, word, out);
            else colour_rows_avx2<NT, true, false>(lam, m, tb, lo, hi, sp, word, out);
        } else {
            if (rows.clip) colour_rows_avx2<NT, false, true>(lam, m, tb, lo, hi, sp, word, out);
            else colour_rows_avx2<NT, false, false>(lam, m, tb, lo, hi, sp, word, out);
        }
    };
    // Up to 16 thresholds are counted with that many compares per value,
    // cheaper than a search's dependent loads; more take the binary search.
    using std::integral_constant;
    switch (rows.nthr) {
        case 1: run(integral_constant<int, 1>()); break;
        case 2: run(integral_constant<int, 2>()); break;
        case 3: run(integral_constant<int, 3>()); break;
        case 4: run(integral_constant<int, 4>()); break;
        case 5: run(integral_constant<int, 5>()); break;
        case 6: run(integral_constant<int, 6>()); break;
        case 7: run(integral_constant<int, 7>()); break;
        case 8: run(integral_constant<int, 8>()); break;
        default:
            if (rows.nthr <= 12) run(integral_constant<int, 12>());
            else if (rows.nthr <= 16) run(integral_constant<int, 16>());
            else run(integral_constant<int, 0>());
    }
}

}  // namespace vis
