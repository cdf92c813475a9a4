// The bodies of the blob field's long loops, written once and built twice:
// by loops.cpp for the baseline instruction set and by the AVX2 variants in
// cpp/kernels/x86/. They are element-wise IEEE operations in a fixed order,
// so the wider vector unit gives the same values to the bit. The bodies are
// always inlined, so each build compiles them for its own instruction set.
#pragma once

#include <algorithm>
#include <cstring>

#include "kernels/blob_field/loops.h"

#define VIS_BLOB_INLINE inline __attribute__((always_inline))

namespace vis::blob {

// Two (lambda-weighted, plain) pairs: one AVX register, two SSE ones; one
// pair: one SSE register.
typedef double Pairs2 __attribute__((vector_size(32)));
typedef double Pair __attribute__((vector_size(16)));

// Four doubles, their comparison masks, four int32 lanes.
typedef double V4 __attribute__((vector_size(32)));
typedef int64_t M4 __attribute__((vector_size(32)));
typedef int32_t I4 __attribute__((vector_size(16)));

// Vector values are made and passed only inside the bodies below (a function
// taking or returning one would depend on the instruction set).
#define VIS_SPLAT4(v) (V4{(v), (v), (v), (v)})

// !(v <= lo) ? v : lo and !(v >= hi) ? v : hi, element by element: the
// NaN-propagating maximum and minimum against a number, as selections (NaN
// compares false, so it is kept; -0.0 against 0.0 gives 0.0, as the maximum
// does). Arguments are plain names (each is read twice).
#define VIS_MAX_KEEP_NAN(v, lo) ((v) <= (lo) ? (lo) : (v))
#define VIS_MIN_KEEP_NAN(v, hi) ((v) >= (hi) ? (hi) : (v))

// h[i] += (lam, 1, lam, 1, ...)[i] * w[i] for len interleaved values (len
// even), two cells per step.
VIS_BLOB_INLINE void add_weighted_pairs(double* __restrict h, const double* __restrict w, int32_t len, double lam) {
    const Pairs2 lam_one = {lam, 1.0, lam, 1.0};
    const Pair lam_one1 = {lam, 1.0};
    int32_t j = 0;
    for (; j + 4 <= len; j += 4) {
        Pairs2 wv, hv;
        std::memcpy(&wv, w + j, sizeof wv);
        std::memcpy(&hv, h + j, sizeof hv);
        hv += lam_one * wv;
        std::memcpy(h + j, &hv, sizeof hv);
    }
    if (j < len) {  // the odd cell, one SSE register
        Pair wv, hv;
        std::memcpy(&wv, w + j, sizeof wv);
        std::memcpy(&hv, h + j, sizeof hv);
        hv += lam_one1 * wv;
        std::memcpy(h + j, &hv, sizeof hv);
    }
}

// One member whose stencil lies wholly on the grid (most members): no clamping.
VIS_BLOB_INLINE void scatter_inside(const BucketStencil& st, int32_t r0, int32_t c0, double lam, int32_t G,
                                    double* __restrict h, int32_t* col_lo, int32_t* col_hi) {
    for (int32_t s2 = st.s_first; s2 <= st.s_last; ++s2) {
        const int32_t e0 = st.span_lo[s2], e1 = st.span_hi[s2];
        if (e0 > e1) continue;
        const int32_t rr = r0 + s2;
        col_lo[rr] = std::min(col_lo[rr], c0 + e0);
        col_hi[rr] = std::max(col_hi[rr], c0 + e1);
        add_weighted_pairs(h + 2 * (static_cast<size_t>(rr) * G + c0 + e0),
                           st.w2 + 2 * (static_cast<size_t>(s2) * st.w + e0), 2 * (e1 - e0 + 1), lam);
    }
}

// One member near the border: rows and columns off the grid are clamped
// onto its border cells.
VIS_BLOB_INLINE void scatter_clamped(const BucketStencil& st, int32_t r0, int32_t c0, double lam, int32_t G,
                                     double* __restrict h, int32_t* col_lo, int32_t* col_hi) {
    for (int32_t s2 = st.s_first; s2 <= st.s_last; ++s2) {
        const int32_t e0 = st.span_lo[s2], e1 = st.span_hi[s2];
        if (e0 > e1) continue;
        const int32_t rr = std::min(std::max(r0 + s2, 0), G - 1);
        double* hr = h + 2 * static_cast<size_t>(rr) * G;
        const double* ws = st.w2 + 2 * static_cast<size_t>(s2) * st.w;
        const int32_t lo = std::min(std::max(c0 + e0, 0), G - 1), hi = std::min(std::max(c0 + e1, 0), G - 1);
        col_lo[rr] = std::min(col_lo[rr], lo);
        col_hi[rr] = std::max(col_hi[rr], hi);
        if (c0 + e0 >= 0 && c0 + e1 <= G - 1) {
            add_weighted_pairs(hr + 2 * static_cast<size_t>(c0 + e0), ws + 2 * static_cast<size_t>(e0),
                               2 * (e1 - e0 + 1), lam);
        } else {
            for (int32_t e = e0; e <= e1; ++e) {
                const size_t cc = static_cast<size_t>(std::min(std::max(c0 + e, 0), G - 1));
                hr[2 * cc] += lam * ws[2 * e];
                hr[2 * cc + 1] += 1.0 * ws[2 * e + 1];
            }
        }
    }
}

VIS_BLOB_INLINE bool scatter_bucket_body(const BucketStencil& st, const size_t* members, size_t count,
                                         const int32_t* ci, const int32_t* cj, const double* lam, int32_t G,
                                         double* __restrict h, int32_t* col_lo, int32_t* col_hi, Interrupt* stop) {
    const int32_t m = st.m, w = st.w;
    // A poll per million stencil positions (about a millisecond of work):
    // often enough for Ctrl-C, rare enough that reading the clock is free.
    constexpr int64_t kPollPositions = 1 << 20;
    int64_t since_poll = kPollPositions;
    for (size_t t = 0; t < count; ++t) {
        since_poll += static_cast<int64_t>(w) * w;
        if (since_poll >= kPollPositions) {
            since_poll = 0;
            if (stop_requested(stop)) return false;
        }
        const size_t p = members[t];
        const int32_t r0 = cj[p] - m, c0 = ci[p] - m;
        if (r0 + st.s_first >= 0 && r0 + st.s_last <= G - 1 && c0 >= 0 && c0 + w - 1 <= G - 1)
            scatter_inside(st, r0, c0, lam[p], G, h, col_lo, col_hi);
        else
            scatter_clamped(st, r0, c0, lam[p], G, h, col_lo, col_hi);
    }
    return true;
}

VIS_BLOB_INLINE void add_bucket_sums_body(double* __restrict acc, double* __restrict h, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        acc[i] += h[i];
        h[i] = 0.0;
    }
}

// Four cells at a time, then one by one.
VIS_BLOB_INLINE void field_and_opacity_body(const double* __restrict acc, int n, const OpacityShape& os,
                                            double* __restrict field, double* __restrict alpha) {
    const V4 w0 = VIS_SPLAT4(os.w0), cov_lo = VIS_SPLAT4(os.cov_lo), tden = VIS_SPLAT4(os.tden),
             a_max = VIS_SPLAT4(os.a_max);
    const V4 tiny = VIS_SPLAT4(1e-30), zero = VIS_SPLAT4(0.0), one = VIS_SPLAT4(1.0), two = VIS_SPLAT4(2.0),
             three = VIS_SPLAT4(3.0);
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        V4 lo, hi;
        std::memcpy(&lo, acc + 2 * i, sizeof lo);
        std::memcpy(&hi, acc + 2 * i + 4, sizeof hi);
        const V4 num = __builtin_shufflevector(lo, hi, 0, 2, 4, 6);
        const V4 den = __builtin_shufflevector(lo, hi, 1, 3, 5, 7);
        const V4 dd = VIS_MAX_KEEP_NAN(den, tiny);
        const V4 q = num / dd;
        const V4 q0 = VIS_MAX_KEEP_NAN(q, zero);
        const V4 f = VIS_MIN_KEEP_NAN(q0, one);
        std::memcpy(field + i, &f, sizeof f);
        const V4 cov = den - w0;
        const V4 r = (cov - cov_lo) / tden;
        const V4 r0 = VIS_MAX_KEEP_NAN(r, zero);
        const V4 tt = VIS_MIN_KEEP_NAN(r0, one);
        const V4 a = a_max * (tt * tt * (three - two * tt));
        std::memcpy(alpha + i, &a, sizeof a);
    }
    for (; i < n; ++i) {
        const double num = acc[2 * i], den = acc[2 * i + 1];
        const double dd = VIS_MAX_KEEP_NAN(den, 1e-30);
        const double q = num / dd;
        const double q0 = VIS_MAX_KEEP_NAN(q, 0.0);
        field[i] = VIS_MIN_KEEP_NAN(q0, 1.0);
        const double cov = den - os.w0;
        const double r = (cov - os.cov_lo) / os.tden;
        const double r0 = VIS_MAX_KEEP_NAN(r, 0.0);
        const double tt = VIS_MIN_KEEP_NAN(r0, 1.0);
        alpha[i] = os.a_max * (tt * tt * (3.0 - 2.0 * tt));
    }
}

// One pixel per vector. The clip is a selection (v > 0 ? v : 0 drops NaN
// too), not a branch: whether a colour is clipped depends on the data, so a
// branch would often be guessed wrong.
template <class T>
VIS_BLOB_INLINE void premultiplied_rows_body(const T* rgb, size_t stride, const double* alpha, int G,
                                             uint8_t* out) {
    const V4 zero = VIS_SPLAT4(0.0), top = VIS_SPLAT4(255.0);
    for (int j = 0; j < G; ++j) {
        uint8_t* o = out + static_cast<size_t>(G - 1 - j) * G * 4;
        for (int i = 0; i < G; ++i) {
            const size_t c = static_cast<size_t>(j) * G + i;
            const T* px = rgb + c * stride;
            const double a = alpha[c];
            V4 v = V4{static_cast<double>(px[0]), static_cast<double>(px[1]), static_cast<double>(px[2]), 255.0} *
                   VIS_SPLAT4(a);
            const M4 pos = v > zero;
            v = pos ? v : zero;
            const M4 low = v < top;
            v = low ? v : top;
            const I4 b = __builtin_convertvector(v, I4);
            o[4 * i + 0] = static_cast<uint8_t>(b[0]);
            o[4 * i + 1] = static_cast<uint8_t>(b[1]);
            o[4 * i + 2] = static_cast<uint8_t>(b[2]);
            o[4 * i + 3] = static_cast<uint8_t>(b[3]);
        }
    }
}

}  // namespace vis::blob
