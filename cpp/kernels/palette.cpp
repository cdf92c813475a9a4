#include "kernels/palette.h"

#include <algorithm>
#include <cmath>
#include <limits>

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
                   size_t fp_stride, size_t n, double* out) {
    if (n == 1) {
        for (size_t i = 0; i < m; ++i) out[i] = fp[0];
        return;
    }
    const double first = fp[0], last = fp[(n - 1) * fp_stride];
    for (size_t i = 0; i < m; ++i) {
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

void BytePalette::colour(const double* lam, size_t m, uint8_t* out) const {
    for (size_t i = 0; i < m; ++i) colour_one(lam[i], out + 4 * i);
}

}  // namespace vis
