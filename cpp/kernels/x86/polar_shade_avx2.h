// Shading a grid point with AVX2: the double-precision blend in four lanes, or,
// where Shader::single allows, the blend in single precision with every weight
// taken relative to the nearest neighbour's; the bytes packed in SSE2 lanes.
#pragma once

#include "kernels/polar/shader.h"
#include "kernels/x86/polar_weights_avx2.h"
#include "kernels/x86/pow_single_avx2.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace vis::polar {

// Two values clipped to [0, 255], then truncated, in the low two 32-bit lanes; NaN
// becomes 0 (maxpd returns its second operand when either is NaN).
inline __m128i bytes_sse2(__m128d v) {
    return _mm_cvttpd_epi32(_mm_min_pd(_mm_max_pd(v, _mm_setzero_pd()), _mm_set1_pd(255.0)));
}

// finish_pixel in two lanes: R / w, G / w and B / w, (d0 - aralik) / den as two
// divisions of two lanes; then clip, truncate and pack B, G, R, A.
inline void finish_pixel_sse2(const Shader& sh, const double* acc, double d0, uint8_t* px) {
    const __m128d rg = _mm_div_pd(_mm_loadu_pd(acc), _mm_set1_pd(acc[3]));
    const __m128d bt = _mm_div_pd(_mm_setr_pd(acc[2], d0 - sh.aralik), _mm_setr_pd(acc[3], sh.den));
    // Coverage clipped to [0, 1] without branches (a NaN becomes 0).
    __m128d a = _mm_sub_sd(_mm_set_sd(1.0), _mm_unpackhi_pd(bt, bt));
    a = _mm_min_sd(_mm_max_sd(a, _mm_setzero_pd()), _mm_set_sd(1.0));
    const __m128d ba = _mm_unpacklo_pd(bt, _mm_mul_sd(a, _mm_set_sd(235.0)));  // B, A
    const __m128d gr = _mm_shuffle_pd(rg, rg, 1);                              // G, R
    const __m128i bgra = _mm_unpacklo_epi64(bytes_sse2(_mm_unpacklo_pd(ba, gr)), bytes_sse2(_mm_unpackhi_pd(gr, ba)));
    const int packed = _mm_cvtsi128_si32(_mm_packus_epi16(_mm_packs_epi32(bgra, bgra), _mm_setzero_si128()));
    std::memcpy(px, &packed, 4);
}

// Weights from ratios r = S_k / S_0 >= 1: (1 / r)^(p / 2) = 2^(-p/2 log2 r), at
// least 2^-125.
VIS_AVX2 inline __m256 relative_weights(const Shader& sh, __m256 ratio) {
    const __m256 w = _mm256_mul_ps(_mm256_set1_ps(-sh.half_power), log2_single(ratio));
    return exp2_single(_mm256_max_ps(w, _mm256_set1_ps(-125.0f)));
}

// S_k / S_0 for the four neighbours from k on, capped at 1e30 (a weight below 1e-30
// of the nearest one's), in single precision; lanes at or past K are not read.
VIS_AVX2 inline __m128 ratios4(const double* s, size_t K, size_t k, double sm2, double inv_s0) {
    const size_t from = std::min(K, k);
    const __m256i used =
        _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(K - from)), _mm256_setr_epi64x(0, 1, 2, 3));
    const __m256d sk = _mm256_max_pd(_mm256_add_pd(_mm256_maskload_pd(s + from, used), _mm256_set1_pd(sm2)),
                                     _mm256_set1_pd(1e-6));
    return _mm256_cvtpd_ps(_mm256_min_pd(_mm256_mul_pd(sk, _mm256_set1_pd(inv_s0)), _mm256_set1_pd(1e30)));
}

// The single-precision blend: w_k / w_0 = (S_0 / S_k)^(p / 2) with
// S = max(d^2 + sm^2, 1e-6), all in (0, 1], so single precision neither over- nor
// underflows where it matters; the sums of two neighbours' weighted R, G, B, 1
// rows share one register.
template <class Id>
VIS_AVX2 inline void blend_single(const Shader& sh, const double* s, const Id* ids, size_t K, double s0, double* acc) {
    const double inv_s0 = 1.0 / std::max(s0, 1e-6);
    alignas(32) float w[Shader::kSingleK];
    for (size_t k = 0; k < K; k += 8) {
        const __m256 r = _mm256_set_m128(ratios4(s, K, k + 4, sh.sm2, inv_s0), ratios4(s, K, k, sh.sm2, inv_s0));
        _mm256_store_ps(w + k, relative_weights(sh, r));
    }
    const float* rgb = sh.rgb4f.data();
    auto row = [&](size_t k) VIS_AVX2 { return _mm_loadu_ps(rgb + 4 * static_cast<size_t>(ids[k])); };
    __m256 sum = _mm256_setzero_ps();
    size_t k = 0;
    for (; k + 2 <= K; k += 2) {
        const __m256 wk = _mm256_set_m128(_mm_set1_ps(w[k + 1]), _mm_set1_ps(w[k]));
        sum = _mm256_add_ps(sum, _mm256_mul_ps(wk, _mm256_set_m128(row(k + 1), row(k))));
    }
    __m128 total = _mm_add_ps(_mm256_castps256_ps128(sum), _mm256_extractf128_ps(sum, 1));
    if (k < K) total = _mm_add_ps(total, _mm_mul_ps(_mm_set1_ps(w[k]), row(k)));
    _mm256_storeu_pd(acc, _mm256_cvtps_pd(total));
}

// A grid point from neighbour lists: s[k] squared distances, ids[k] rows, d0 the
// raw nearest distance.
template <class Id>
VIS_AVX2 inline void shade_lists_avx2(const Shader& sh, const double* s, const Id* ids, size_t K, double d0,
                                      uint8_t* px) {
    double acc[4];
    const double s0 = d0 * d0 + sh.sm2;
    if (sh.single && std::isfinite(s0))
        blend_single(sh, s, ids, K, s0, acc);
    else
        _mm256_storeu_pd(acc, blend_double_avx2(sh.weight, s, ids, K, sh.sm2, sh.rgb4.data()));
    finish_pixel_sse2(sh, acc, d0, px);
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
VIS_AVX2 inline void shade_chosen(const Shader& sh, const double* d2, const float* r, const float* g, const float* b,
                                  uint64_t chosen, size_t nr, double d0, uint8_t* px) {
    const double s0 = d0 * d0 + sh.sm2;
    const __m256 add = _mm256_set1_ps(static_cast<float>(sh.sm2)), floor = _mm256_set1_ps(1e-6f),
                 inv = _mm256_set1_ps(static_cast<float>(1.0 / std::max(s0, 1e-6)));
    const __m256i lane_bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    __m256 sr = _mm256_setzero_ps(), sg = sr, sb = sr, sw = sr;
    for (size_t a = 0; a < nr; a += 8) {
        const unsigned bits = static_cast<unsigned>((chosen >> a) & 0xFF);
        if (bits == 0) continue;
        const __m256 s = _mm256_set_m128(_mm256_cvtpd_ps(_mm256_loadu_pd(d2 + a + 4)),
                                         _mm256_cvtpd_ps(_mm256_loadu_pd(d2 + a)));
        __m256 w = relative_weights(sh, _mm256_mul_ps(_mm256_max_ps(_mm256_add_ps(s, add), floor), inv));
        const __m256i on = _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(static_cast<int>(bits)), lane_bit), lane_bit);
        w = _mm256_and_ps(w, _mm256_castsi256_ps(on));
        sr = _mm256_add_ps(sr, _mm256_mul_ps(w, _mm256_loadu_ps(r + a)));
        sg = _mm256_add_ps(sg, _mm256_mul_ps(w, _mm256_loadu_ps(g + a)));
        sb = _mm256_add_ps(sb, _mm256_mul_ps(w, _mm256_loadu_ps(b + a)));
        sw = _mm256_add_ps(sw, w);
    }
    // Horizontal sums: R, G, B, W in the four lanes.
    const __m256 rgbw = _mm256_hadd_ps(_mm256_hadd_ps(sr, sg), _mm256_hadd_ps(sb, sw));
    const __m128 total = _mm_add_ps(_mm256_castps256_ps128(rgbw), _mm256_extractf128_ps(rgbw, 1));
    double acc[4];
    _mm256_storeu_pd(acc, _mm256_cvtps_pd(total));
    finish_pixel_sse2(sh, acc, d0, px);
}

}  // namespace vis::polar
