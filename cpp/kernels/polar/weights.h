// The inverse-distance weights w = 1 / d^p of the polar blend, taken from squared
// softened distances s = dist^2 + sm^2 with d = max(sqrt(s), 0.001).
//
// With q = -p / 2 the weight is s^q. Writing s = 2^e * m with m = m_j * (1 + r),
// m_j = 1 + j / 1024 and 0 <= r < 2^-10, it is
//     2^(q e) * m_j^q * (1 + r)^q,
// two tables built once per call (with libm's exp2 and pow) and a binomial series of
// (1 + r)^q to the fifth power of r. The relative error stays within a few units in
// the last place, far below one colour byte step. Outside the range where that holds
// (tiny or huge s, NaN, extreme exponents, table entries that over- or underflow)
// the exact 1.0 / pow(max(sqrt(s), 0.001), p) is used.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace vis::polar {

struct Weights {
    explicit Weights(double power);

    // True where the tables answer s.
    bool tabled(double s) const { return s >= s_lo && s < s_hi; }

    double operator()(double s) const {
        if (tabled(s)) {
            const uint64_t bits = std::bit_cast<uint64_t>(s);
            const int e = static_cast<int>(bits >> 52);
            const int j = static_cast<int>((bits >> 42) & 1023);
            const double m = std::bit_cast<double>((bits & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull);
            const double r = (m - mj[j]) * inv[j];
            const double poly = 1.0 + r * (c1 + r * (c2 + r * (c3 + r * (c4 + r * c5))));
            return E[e] * M[j] * poly;
        }
        return exact(s);
    }
    double exact(double s) const {
        double d = std::sqrt(s);
        if (d < 0.001) d = 0.001;
        return 1.0 / std::pow(d, power);
    }

    // w[k] = (*this)(s[k] + add) for k < count <= kBatch: the table look-ups one by
    // one, then the series in a loop of its own that the compiler vectorises (the
    // same operations; outside the tabled range r = 0 makes the series exactly 1).
    static constexpr size_t kBatch = 64;
    void batch(const double* s, size_t count, double add, double* w) const {
        double r[kBatch], em[kBatch];
        for (size_t k = 0; k < count; ++k) {
            const double sk = s[k] + add;
            if (!tabled(sk)) {
                r[k] = 0.0;
                em[k] = exact(sk);
                continue;
            }
            const uint64_t bits = std::bit_cast<uint64_t>(sk);
            const int e = static_cast<int>(bits >> 52);
            const int j = static_cast<int>((bits >> 42) & 1023);
            const double m = std::bit_cast<double>((bits & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull);
            r[k] = (m - mj[j]) * inv[j];
            em[k] = E[e] * M[j];
        }
        for (size_t k = 0; k < count; ++k)
            w[k] = em[k] * (1.0 + r[k] * (c1 + r[k] * (c2 + r[k] * (c3 + r[k] * (c4 + r[k] * c5)))));
    }

    // Read-only after construction; the wide blends use the tables directly.
    double power, q;
    double c1 = 0, c2 = 0, c3 = 0, c4 = 0, c5 = 0;  // binomial coefficients of (1 + r)^q
    double s_lo = 1.0, s_hi = 0.0;                  // the tabled range, empty unless set
    double E[2047];                                 // 2^(q (e - 1023)) by biased exponent e
    double M[1024], inv[1024], mj[1024];            // m_j^q, 1 / m_j, m_j
};

}  // namespace vis::polar
