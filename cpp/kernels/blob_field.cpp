#include "kernels/blob_field.h"

#include "kernels/cpu.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define VIS_BLOB_AVX2 1
#endif

namespace vis {

namespace {

constexpr double kPi = 3.141592653589793;

// Element-wise maximum / minimum that propagate NaN (array clipping).
inline double nmax(double a, double b) {
    if (std::isnan(a)) return a;
    if (std::isnan(b)) return b;
    return a > b ? a : b;
}
inline double nmin(double a, double b) {
    if (std::isnan(a)) return a;
    if (std::isnan(b)) return b;
    return a < b ? a : b;
}
inline double nclip(double v, double lo, double hi) { return nmin(nmax(v, lo), hi); }

// c ? a : b through bit masks, for outcomes that follow the data (a branch
// on them would often be guessed wrong).
inline double pick(bool c, double a, double b) {
    uint64_t ua, ub;
    std::memcpy(&ua, &a, sizeof ua);
    std::memcpy(&ub, &b, sizeof ub);
    const uint64_t m = uint64_t{0} - static_cast<uint64_t>(c);
    const uint64_t r = (ua & m) | (ub & ~m);
    double out;
    std::memcpy(&out, &r, sizeof out);
    return out;
}
// nclip(v, lo, hi) with selections: nmax(v, lo) keeps v when it is NaN or
// above lo, nmin(x, hi) keeps x when it is NaN or below hi.
inline double nclip_select(double v, double lo, double hi) {
    const double x = pick((v > lo) | std::isnan(v), v, lo);
    return pick((x < hi) | std::isnan(x), x, hi);
}

// max(a, b) of two scalars: the first argument unless the second compares
// greater; a NaN second argument is passed over.
inline double smax(double a, double b) { return b > a ? b : a; }

// x ** p for a scalar exponent: identity, square and square root are exact.
inline double powr(double x, double p) {
    if (p == 1.0) return x;
    if (p == 2.0) return x * x;
    if (p == 0.5) return std::sqrt(x);
    return std::pow(x, p);
}

// One radius bucket's stencil (weights interleaved in pairs, w2[2k] =
// w2[2k + 1] = weight k, row s2 at w2 + 2 * s2 * w) scattered for its members
// onto the interleaved per-bucket sums h (h[2c] the lambda-weighted, h[2c + 1]
// the plain weight of cell c): lam * weight and 1.0 * weight (exact) are added
// in the order members -> stencil row -> stencil column, positions off the
// grid clamped onto its border cells. Element-wise IEEE operations, so the
// wider vector unit gives the same sums. Records the touched column span of
// every grid row; returns false when `stop` asked to stop.
// Two (lambda-weighted, plain) pairs: one AVX register, two SSE ones; one
// pair: one SSE register.
typedef double Pairs2 __attribute__((vector_size(32)));
typedef double Pair __attribute__((vector_size(16)));

struct BucketStencil {
    const double* w2;
    const int32_t *span_lo, *span_hi;  // non-zero columns of every stencil row
    int32_t m, w, s_first, s_last;
};

__attribute__((target_clones("avx2", "default"))) bool scatter_bucket(
    const BucketStencil& st, const size_t* members, size_t count, const int32_t* ci, const int32_t* cj,
    const double* lam, int32_t G, double* __restrict h, int32_t* col_lo, int32_t* col_hi, Interrupt* stop) {
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
        const double pair[2] = {lam[p], 1.0};
        const Pairs2 lam_one = {lam[p], 1.0, lam[p], 1.0};
        const Pair lam_one1 = {lam[p], 1.0};
        const int32_t r0 = cj[p] - m, c0 = ci[p] - m;
        // lam * w and 1.0 * w added to len interleaved values, two cells per step.
        auto add_row = [&](double* __restrict hx, const double* __restrict wx, int32_t len) {
            int32_t j = 0;
            for (; j + 4 <= len; j += 4) {
                Pairs2 wv, hv;
                std::memcpy(&wv, wx + j, sizeof wv);
                std::memcpy(&hv, hx + j, sizeof hv);
                hv += lam_one * wv;
                std::memcpy(hx + j, &hv, sizeof hv);
            }
            if (j < len) {  // the odd cell, one SSE register
                Pair wv, hv;
                std::memcpy(&wv, wx + j, sizeof wv);
                std::memcpy(&hv, hx + j, sizeof hv);
                hv += lam_one1 * wv;
                std::memcpy(hx + j, &hv, sizeof hv);
            }
        };
        if (r0 + st.s_first >= 0 && r0 + st.s_last <= G - 1 && c0 >= 0 && c0 + w - 1 <= G - 1) {
            // The whole stencil lies on the grid (most members): no clamping.
            for (int32_t s2 = st.s_first; s2 <= st.s_last; ++s2) {
                const int32_t e0 = st.span_lo[s2], e1 = st.span_hi[s2];
                if (e0 > e1) continue;
                const int32_t rr = r0 + s2;
                col_lo[rr] = std::min(col_lo[rr], c0 + e0);
                col_hi[rr] = std::max(col_hi[rr], c0 + e1);
                add_row(h + 2 * (static_cast<size_t>(rr) * G + c0 + e0), st.w2 + 2 * (static_cast<size_t>(s2) * w + e0),
                        2 * (e1 - e0 + 1));
            }
            continue;
        }
        for (int32_t s2 = st.s_first; s2 <= st.s_last; ++s2) {
            const int32_t e0 = st.span_lo[s2], e1 = st.span_hi[s2];
            if (e0 > e1) continue;
            const int32_t rr = std::min(std::max(r0 + s2, 0), G - 1);
            double* hr = h + 2 * static_cast<size_t>(rr) * G;
            const double* ws = st.w2 + 2 * static_cast<size_t>(s2) * w;
            const int32_t lo = std::min(std::max(c0 + e0, 0), G - 1), hi = std::min(std::max(c0 + e1, 0), G - 1);
            col_lo[rr] = std::min(col_lo[rr], lo);
            col_hi[rr] = std::max(col_hi[rr], hi);
            if (c0 + e0 >= 0 && c0 + e1 <= G - 1) {
                add_row(hr + 2 * static_cast<size_t>(c0 + e0), ws + 2 * static_cast<size_t>(e0), 2 * (e1 - e0 + 1));
            } else {
                for (int32_t e = e0; e <= e1; ++e) {
                    const size_t cc = static_cast<size_t>(std::min(std::max(c0 + e, 0), G - 1));
                    hr[2 * cc] += pair[0] * ws[2 * e];
                    hr[2 * cc + 1] += pair[1] * ws[2 * e + 1];
                }
            }
        }
    }
    return true;
}

// acc[i] += h[i], then h[i] = 0, for i < n: a bucket's sums added to the
// accumulators, leaving the bucket array clear for the next.
__attribute__((target_clones("avx2", "default"))) void add_and_clear(double* __restrict acc,
                                                                     double* __restrict h, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        acc[i] += h[i];
        h[i] = 0.0;
    }
}

struct OpacityShape {
    double w0, cov_lo, tden, a_max;
};

typedef double V4 __attribute__((vector_size(32)));
typedef int64_t M4 __attribute__((vector_size(32)));
typedef int32_t I4 __attribute__((vector_size(16)));

// V4 values are made and passed only inside the wide functions below (a
// function taking or returning one would depend on the instruction set).
#define VIS_SPLAT4(v) (V4{(v), (v), (v), (v)})

// !(v <= lo) ? v : lo and !(v >= hi) ? v : hi, element by element: the
// NaN-propagating maximum and minimum against a number, as selections (NaN
// compares false, so it is kept; -0.0 against 0.0 gives 0.0, as the maximum
// does). Arguments are plain names (each is read twice).
#define VIS_MAX_KEEP_NAN(v, lo) ((v) <= (lo) ? (lo) : (v))
#define VIS_MIN_KEEP_NAN(v, hi) ((v) >= (hi) ? (hi) : (v))

// One grid row: lambda = clip(num / max(den, 1e-30), 0, 1) and the opacity
// a_max * smoothstep(clip((den - w0 - cov_lo) / tden, 0, 1)) of every cell
// (acc interleaving num and den), four cells at a time.
__attribute__((target_clones("avx2", "default"))) void field_and_opacity(const double* __restrict acc, int n,
                                                                         const OpacityShape& os,
                                                                         double* __restrict field,
                                                                         double* __restrict alpha) {
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

// Premultiplied bytes, rows flipped: R, G, B = trunc(clip(rgb * a, 0, 255)),
// A = trunc(clip(a * 255, 0, 255)), NaN giving 0, one pixel per vector. The
// clip is a selection (v > 0 ? v : 0 drops NaN too), not a branch: whether a
// colour is clipped depends on the data, so a branch would often be guessed
// wrong.
template <class T>
inline __attribute__((always_inline)) void bytes_rows(const T* rgb, size_t stride, const double* alpha, int G,
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

__attribute__((target_clones("avx2", "default"))) void bytes_u8(const uint8_t* rgb, size_t stride,
                                                                const double* alpha, int G, uint8_t* out) {
    bytes_rows(rgb, stride, alpha, G, out);
}

#if defined(VIS_BLOB_AVX2)
// bytes_rows for R, G, B, A byte colours, the palette's own layout: a pixel's
// four bytes (its A replaced by 255, so that lane gives alpha * 255) widened
// to doubles in one step. max(v, 0) returns its second operand for NaN, as
// the clip must; the bytes match the plain path's exactly.
__attribute__((target("avx2"))) void bytes_rgba_avx2(const uint8_t* rgba, const double* alpha, int G,
                                                     uint8_t* out) {
    const __m256d zero = _mm256_setzero_pd(), top = _mm256_set1_pd(255.0);
    for (int j = 0; j < G; ++j) {
        uint8_t* o = out + static_cast<size_t>(G - 1 - j) * G * 4;
        const size_t row = static_cast<size_t>(j) * G;
        for (int i = 0; i < G; ++i) {
            uint32_t word;
            std::memcpy(&word, rgba + 4 * (row + i), 4);
            const __m128i px = _mm_cvtsi32_si128(static_cast<int>(word | 0xFF000000u));
            __m256d v = _mm256_mul_pd(_mm256_cvtepi32_pd(_mm_cvtepu8_epi32(px)), _mm256_set1_pd(alpha[row + i]));
            v = _mm256_min_pd(_mm256_max_pd(v, zero), top);
            __m128i b = _mm256_cvttpd_epi32(v);
            b = _mm_packus_epi16(_mm_packus_epi32(b, b), b);
            word = static_cast<uint32_t>(_mm_cvtsi128_si32(b));
            std::memcpy(o + 4 * i, &word, 4);
        }
    }
}
#endif
__attribute__((target_clones("avx2", "default"))) void bytes_f64(const double* rgb, size_t stride,
                                                                 const double* alpha, int G, uint8_t* out) {
    bytes_rows(rgb, stride, alpha, G, out);
}

}  // namespace

namespace {

// Spare work arrays of this thread. At most 16 MiB stay parked: the arrays of
// a 601 x 601 field, the largest grid.
constexpr size_t kPoolBytes = size_t{16} << 20;
thread_local std::vector<WorkVector> t_spare;

size_t parked_bytes() {
    size_t b = 0;
    for (const auto& v : t_spare) b += v.capacity() * sizeof(double);
    return b;
}

}  // namespace

namespace {

// The per-bucket sums of this thread's splats, kept all zero between them:
// a splat clears every sum it adds, so one that runs to the end leaves the
// array as it found it and the next needs no clearing. A splat that ends
// early (stopped, or a stencil refused) drops the array instead. A splat
// makes no Python calls, so no other splat on the thread can start while it
// holds the array.
thread_local std::vector<double> t_zeroed_sums;

class ZeroedSums {
public:
    explicit ZeroedSums(size_t n) : v_(std::move(t_zeroed_sums)) {
        t_zeroed_sums.clear();
        if (v_.size() < n) v_.resize(n);  // the new values are zero too
    }
    ~ZeroedSums() {
        if (clear_) t_zeroed_sums = std::move(v_);
    }
    ZeroedSums(const ZeroedSums&) = delete;
    ZeroedSums& operator=(const ZeroedSums&) = delete;

    double* data() { return v_.data(); }
    // Every value is zero again.
    void mark_clear() { clear_ = true; }

private:
    std::vector<double> v_;
    bool clear_ = false;
};

}  // namespace

ScratchArray::~ScratchArray() {
    if (!taken_ || v_.capacity() == 0) return;
    try {
        if (parked_bytes() + v_.capacity() * sizeof(double) <= kPoolBytes) t_spare.push_back(std::move(v_));
    } catch (...) {  // no room to park it: the memory is freed instead
    }
}

void ScratchArray::take() {
    if (taken_) return;
    taken_ = true;
    if (t_spare.empty()) return;
    // The largest spare array: the one most likely to need no new memory.
    auto best = std::max_element(t_spare.begin(), t_spare.end(),
                                 [](const auto& a, const auto& b) { return a.capacity() < b.capacity(); });
    v_ = std::move(*best);
    t_spare.erase(best);
}

void ScratchArray::assign(size_t n, double value) {
    take();
    v_.assign(n, value);
}

void ScratchArray::resize(size_t n) {
    take();
    v_.resize(n);
}

bool blob_targets(const double* b, const double* r, const double* lam, size_t n, double top,
                  double scale, const BlobConstants& k, BlobTargets& out) {
    out.X.clear();
    out.Y.clear();
    out.r.clear();
    out.lam.clear();
    out.X.reserve(n);
    out.Y.reserve(n);
    out.r.reserve(n);
    out.lam.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        if (!std::isfinite(b[i]) || !std::isfinite(r[i])) continue;
        double a = b[i] * (kPi / 180.0);
        out.X.push_back(std::sin(a) * r[i]);
        out.Y.push_back(std::cos(a) * r[i]);
        out.r.push_back(r[i]);
        out.lam.push_back(lam[i]);
    }
    out.r_min = smax(k.rmin_top * top, k.rmin_px / scale);
    out.r_max = smax(1.5 * out.r_min, k.rmax_top * top);
    return !out.X.empty();
}

int blob_grid_size(double top, double scale, double cell_px) {
    // Half-even rounding of the display size in cells.
    double gsz = 2.0 * top * scale / smax(cell_px, 2.0);
    if (std::isnan(gsz)) throw std::domain_error("cannot convert float NaN to integer");
    if (std::isinf(gsz)) throw std::overflow_error("cannot convert float infinity to integer");
    gsz = std::min(std::max(std::nearbyint(gsz), 48.0), 601.0);
    int G = static_cast<int>(gsz);
    if (G % 2 == 0) G += 1;
    return G;
}

bool blob_splat(const BlobTargets& t, const double* sig, double power, double softness,
                double cell_px, double top, double scale, const BlobConstants& k, BlobGrid& out,
                double* field, Interrupt* stop) {
    const size_t nall = t.X.size();
    const double r_min = t.r_min, r_max = t.r_max;
    const double sig0 = r_min / k.kappa;

    // Radii of all finite targets, then the visible ones.
    std::vector<double> X, Y, R, lam;
    X.reserve(nall);
    Y.reserve(nall);
    R.reserve(nall);
    lam.reserve(nall);
    for (size_t i = 0; i < nall; ++i) {
        double s = sig ? sig[i] : sig0;
        if (!(std::isfinite(s) && s > 1e-06)) s = sig0;
        double Ri = nclip_select(k.kappa * s, r_min, r_max);
        if (t.r[i] <= top + r_max) {
            X.push_back(t.X[i]);
            Y.push_back(t.Y[i]);
            R.push_back(Ri);
            lam.push_back(t.lam[i]);
        }
    }
    const size_t n = X.size();
    if (n == 0) return false;

    const double rho = nclip(k.sm_ratio * softness, 0.03, 0.45);
    const double p_ = nclip(power, 0.5, 8.0);

    const int G = blob_grid_size(top, scale, cell_px);
    const size_t GG = static_cast<size_t>(G) * static_cast<size_t>(G);

    const double cm = 2.0 * top / G;
    const double g0 = -top + 0.5 * cm;
    // Accumulators of this call, interleaved: acc[2c] = num, acc[2c + 1] = den.
    ScratchArray acc;
    acc.resize(2 * GG);
    for (size_t c = 0; c < GG; ++c) {
        acc[2 * c] = 0.5 * k.w0;
        acc[2 * c + 1] = k.w0;
    }

    std::vector<int32_t> ci(n), cj(n);
    const double gmax = G - 1;
    auto cell_of = [&](double v) {
        double c = nclip(std::nearbyint((v - g0) / cm), 0.0, gmax);
        return std::isnan(c) ? 0 : static_cast<int32_t>(c);
    };
    for (size_t p = 0; p < n; ++p) {
        ci[p] = cell_of(X[p]);
        cj[p] = cell_of(Y[p]);
    }

    // Radius buckets with geometric edges.
    double lo = R[0], hi = R[0];
    for (double v : R) {
        lo = nmin(lo, v);
        hi = nmax(hi, v);
    }
    if (k.nbuck < 1) throw std::invalid_argument("NBUCK must be at least 1");
    if (k.nbuck > (int64_t(1) << 20)) throw std::invalid_argument("NBUCK is too large");
    const int64_t nb = (lo * 1.02 < hi * 1.0001) ? k.nbuck : 1;
    const double end = smax(lo * 1.02, hi * 1.0001);
    std::vector<double> edges(static_cast<size_t>(nb) + 1);
    for (int64_t q = 0; q <= nb; ++q)
        edges[q] = lo * std::pow(end / lo, static_cast<double>(q) / static_cast<double>(nb));
    edges[0] = lo;
    edges[nb] = end;
    std::vector<int64_t> bi(n);
    std::vector<size_t> count(static_cast<size_t>(nb) + 1, 0);
    // Over ascending edges the upper bound of a number is the count of edges
    // not above it, found by halving with selections instead of branches
    // (every step of a branching search is a guess). NaN radii, and edges
    // out of order (NaN among them), take the library's search.
    bool ascending = true;
    for (int64_t q = 0; q < nb && ascending; ++q) ascending = edges[q] <= edges[q + 1];
    for (size_t p = 0; p < n; ++p) {
        const double x = R[p];
        if (ascending && !std::isnan(x)) {
            const double* base = edges.data();
            for (size_t len = edges.size(); len > 1;) {
                const size_t half = len / 2;
                base = base[half] <= x ? base + half : base;
                len -= half;
            }
            bi[p] = (base - edges.data()) + (*base <= x);
        } else {
            bi[p] = std::upper_bound(edges.begin(), edges.end(), x) - edges.begin();
        }
        bi[p] = std::min<int64_t>(std::max<int64_t>(bi[p] - 1, 0), nb - 1);
        ++count[bi[p] + 1];
    }
    for (int64_t q = 0; q < nb; ++q) count[q + 1] += count[q];
    std::vector<size_t> members(n);
    {
        std::vector<size_t> fill(count.begin(), count.end() - 1);
        for (size_t p = 0; p < n; ++p) members[fill[bi[p]]++] = p;
    }

    const bool nan_shape = std::isnan(p_) || std::isnan(rho);
    // Per-bucket sums of the lambda-weighted and plain weights of every cell
    // (interleaved like acc), and the touched column span of every row; kept
    // all zero (spans empty) between buckets by clearing what was touched.
    ZeroedSums h(2 * GG);
    std::vector<int32_t> col_lo(G, G), col_hi(G, -1);
    std::vector<double> wt, w2;
    std::vector<int32_t> span_lo, span_hi;
    for (int64_t q = 0; q < nb; ++q) {
        const size_t mb = count[q], me = count[q + 1];
        if (mb == me || nan_shape) continue;
        const double Rb = std::sqrt(edges[q] * edges[q + 1]);
        const double mr = std::ceil(Rb / cm);
        // The grid has at most 601 cells a side, so a stencil wider than
        // 2 * 4095 + 1 cells would be a radius far beyond any grid; the cap
        // keeps w * w well inside int32 and the stencil at most 1 GiB.
        if (!(mr <= 4095.0)) throw std::bad_alloc();
        const int32_t m = std::max<int32_t>(1, static_cast<int32_t>(mr));
        const int32_t w = 2 * m + 1;
        // Members x stencil positions the scatter visits: 4e9 is about a
        // minute of work, far past any display; refused as too large.
        if (static_cast<double>(me - mb) * w * w > 4.0e9) throw std::bad_alloc();

        // Stencil. The weight depends on the squares of the two offsets only,
        // and (s - m) * cm is exactly the negative of (m - s) * cm, so one
        // octant gives every value.
        const double sm = Rb * rho;
        const double sm2 = sm * sm;
        wt.assign(static_cast<size_t>(w) * w, 0.0);
        for (int32_t i = 0; i <= m; ++i) {
            const double ai = static_cast<double>(-i) * cm;
            for (int32_t j = 0; j <= i; ++j) {
                const double aj = static_cast<double>(-j) * cm;
                const double d = std::sqrt(ai * ai + aj * aj + sm2);
                const double u = d / Rb;
                if (!(u < 1.0)) break;  // u grows with j
                const double uu = nclip(u, 1e-06, 1.0);
                double st = std::min(powr((1.0 - uu) / uu, p_), 1000000.0);
                if (std::isnan(st)) st = 0.0;
                const int32_t si[2] = {m - i, m + i}, sj[2] = {m - j, m + j};
                for (int32_t a : si)
                    for (int32_t b : sj) {
                        wt[static_cast<size_t>(a) * w + b] = st;
                        wt[static_cast<size_t>(b) * w + a] = st;
                    }
            }
        }
        w2.resize(2 * wt.size());
        for (size_t e = 0; e < wt.size(); ++e) w2[2 * e] = w2[2 * e + 1] = wt[e];
        // Non-zero span of every stencil row.
        span_lo.assign(w, 0);
        span_hi.assign(w, -1);
        int32_t s_first = -1, s_last = -1;
        for (int32_t s2 = 0; s2 < w; ++s2) {
            const double* ws = wt.data() + static_cast<size_t>(s2) * w;
            int32_t lo_e = 0, hi_e = w - 1;
            while (lo_e < w && ws[lo_e] == 0.0) ++lo_e;
            while (hi_e >= lo_e && ws[hi_e] == 0.0) --hi_e;
            span_lo[s2] = lo_e;
            span_hi[s2] = hi_e;
            if (lo_e <= hi_e) {
                if (s_first < 0) s_first = s2;
                s_last = s2;
            }
        }
        if (s_first < 0) continue;

        const BucketStencil bs{w2.data(), span_lo.data(), span_hi.data(), m, w, s_first, s_last};
        if (!scatter_bucket(bs, members.data() + mb, me - mb, ci.data(), cj.data(), lam.data(), G, h.data(),
                            col_lo.data(), col_hi.data(), stop))
            return false;
        // Add the bucket's sums to the accumulators where it touched the grid.
        for (int32_t row = 0; row < G; ++row) {
            if (col_lo[row] > col_hi[row]) continue;
            const size_t b0 = 2 * (static_cast<size_t>(row) * G + col_lo[row]);
            const size_t b1 = 2 * (static_cast<size_t>(row) * G + col_hi[row] + 1);
            add_and_clear(acc.data() + b0, h.data() + b0, b1 - b0);
            col_lo[row] = G;
            col_hi[row] = -1;
        }
    }
    h.mark_clear();

    // Lambda, opacity from coverage, rim fade.
    out.G = G;
    out.alpha.resize(GG);
    const OpacityShape os{k.w0, k.cov_lo, smax(k.cov_hi - k.cov_lo, 1e-9), k.a_max};
    const double fden = smax(top * (1.0 - k.rim_fade), 1e-9);
    const double inner = top - fden;
    const double in2 = (inner > 1e-3 * top && std::isfinite(inner)) ? inner * inner * (1.0 - 1e-6) : -1.0;
    const double out2 = std::isfinite(top) ? top * top * (1.0 + 1e-6) : std::numeric_limits<double>::infinity();
    std::vector<double> gx(G);
    for (int i = 0; i < G; ++i) gx[i] = g0 + i * cm;
    for (int j = 0; j < G; ++j) {
        const size_t row = static_cast<size_t>(j) * G;
        double* al = out.alpha.data() + row;
        field_and_opacity(acc.data() + 2 * row, G, os, field + row, al);
        // Rim fade. Well inside the fade ring the clipped ramp is exactly 1
        // (the opacity stays), well outside the disk exactly 0; hypot only
        // decides the cells near either circle (the margins dwarf any
        // rounding of s2). s2 falls and then rises along the row (gx
        // ascends), so the cells inside, and those not outside, are runs.
        const double gy2 = gx[j] * gx[j];
        auto s2 = [&](int i) { return gx[i] * gx[i] + gy2; };
        int o0 = 0, o1 = G;  // cells [o0, o1) not outside
        while (o0 < G && s2(o0) > out2) ++o0;
        while (o1 > o0 && s2(o1 - 1) > out2) --o1;
        int i0 = o0, i1 = o1;  // cells [i0, i1) inside
        while (i0 < o1 && !(s2(i0) < in2)) ++i0;
        while (i1 > i0 && !(s2(i1 - 1) < in2)) --i1;
        for (int i = 0; i < o0; ++i) al[i] = al[i] * 0.0;
        for (int i = o1; i < G; ++i) al[i] = al[i] * 0.0;
        auto fade = [&](int b, int e) {
            for (int i = b; i < e; ++i) {
                if (al[i] == 0.0) continue;
                const double fr = nclip((top - std::hypot(gx[i], gx[j])) / fden, 0.0, 1.0);
                al[i] = al[i] * (fr * fr * (3.0 - 2.0 * fr));
            }
        };
        fade(o0, i0);
        fade(i1, o1);
    }
    return true;
}

void blob_bytes(const uint8_t* rgb, size_t stride, const double* alpha, int G, uint8_t* out) {
#if defined(VIS_BLOB_AVX2)
    if (stride == 4 && cpu_has_avx2()) return bytes_rgba_avx2(rgb, alpha, G, out);
#endif
    bytes_u8(rgb, stride, alpha, G, out);
}
void blob_bytes(const double* rgb, size_t stride, const double* alpha, int G, uint8_t* out) {
    bytes_f64(rgb, stride, alpha, G, out);
}

}  // namespace vis
