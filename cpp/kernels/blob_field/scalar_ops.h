// Scalar helpers of the blob field with the array library's NaN rules.
#pragma once

#include "kernels/crt_math.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace vis::blob {

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
    return crt::pow(x, p);
}

}  // namespace vis::blob
