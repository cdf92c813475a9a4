#include "kernels/palette.h"

#include "kernels/cpu.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#if defined(VIS_X86_KERNELS)
#include "kernels/x86/palette_avx2.h"
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

bool BytePalette::colour_avx2(const double* lam, size_t m, const double* special,
                              const uint8_t* special_bytes, uint8_t* out) const {
#if defined(VIS_X86_KERNELS)
    if (!fast_ || !cpu_has_avx2()) return false;
    const PaletteRows rows{xp_.data() + 1, n_ - 1, rows8_.data(), starts4_.data(), xp_[0], xp_[n_ - 1], clip_};
    palette_colour_avx2(rows, lam, m, special, special_bytes, out);
    return true;
#else
    (void)lam; (void)m; (void)special; (void)special_bytes; (void)out;
    return false;
#endif
}

namespace {

// Bytes of one value through the branch-free tables: clamp x into
// [lo, hi] (a NaN stays NaN), evaluate row k's slope * (x - start) + byte
// per channel, clip to [0, 255] with NaN giving 0, truncate.
inline void colour_row(double x, size_t k, double lo, double hi, const double* base, const double* fk,
                       const double* sk, uint8_t* out) {
    double xc = x < lo ? lo : x;
    xc = xc > hi ? hi : xc;
    const double dx = xc - base[k];
    for (int c = 0; c < 4; ++c) {
        double v = sk[4 * k + c] * dx + fk[4 * k + c];
        v = v > 0.0 ? v : 0.0;
        v = v < 255.0 ? v : 255.0;
        out[c] = static_cast<uint8_t>(static_cast<int>(v));
    }
}

}  // namespace

// With strictly increasing finite stops and finite slopes the exact rule
// reduces to: clamp x into [xp[0], xp[n-1]], pick the row by counting the
// stops <= x, and evaluate slope * (x - start) + byte.  At a stop and beyond
// the ends the difference is 0, so the stop's byte comes out unchanged; a
// NaN value counts no stop and its bytes are 0.
void BytePalette::colour_fast(const double* lam, size_t m, uint8_t* out) const {
    const size_t n = n_;
    const double lo = xp_[0], hi = xp_[n - 1];
    const double* xp = xp_.data();
    if (n <= 8) {
        // Up to eight stops are counted with eight compares, padded with NaN,
        // which never compares true: cheaper than a search's guessed branches.
        double pad[8];
        for (size_t s = 0; s < 8; ++s) pad[s] = s < n ? xp[s] : std::numeric_limits<double>::quiet_NaN();
        for (size_t i = 0; i < m; ++i) {
            const double x = lam[i];
            size_t k = 0;
            for (size_t s = 0; s < 8; ++s) k += pad[s] <= x;
            colour_row(x, k, lo, hi, base_.data(), fk_.data(), sk_.data(), out + 4 * i);
        }
        return;
    }
    for (size_t i = 0; i < m; ++i) {
        const double x = lam[i];
        const size_t k = x == x ? static_cast<size_t>(std::upper_bound(xp, xp + n, x) - xp) : 0;
        colour_row(x, k, lo, hi, base_.data(), fk_.data(), sk_.data(), out + 4 * i);
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
