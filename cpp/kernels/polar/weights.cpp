#include "kernels/polar/weights.h"

#include <algorithm>

namespace vis::polar {

Weights::Weights(double power_) : power(power_), q(-0.5 * power_) {
    // Beyond |p| = 64 the binades whose factors stay representable shrink to a
    // handful around 1 and the exact formula is as quick.
    if (!std::isfinite(power) || std::fabs(power) > 64.0) return;
    // The tabled range: s in [1e-6, 1e300) and inside the run of binades around 1
    // whose factors 2^(q e) stay within [1e-270, 1e270]. s = 1e-6 is the square
    // of the 0.001 distance floor; the bounds of 2^(q e) leave 30 decades of
    // room before a product with the table's m_j^q could over- or underflow.
    int elo = 1023, ehi = 1023;
    for (int e = 0; e < 2047; ++e) E[e] = std::exp2(q * static_cast<double>(e - 1023));
    auto fine = [&](int e) { return E[e] > 1e-270 && E[e] < 1e270; };
    while (elo > 1 && fine(elo - 1)) --elo;
    while (ehi < 2045 && fine(ehi + 1)) ++ehi;
    s_lo = std::max(1e-6, std::ldexp(1.0, elo - 1023));
    s_hi = std::min(1e300, std::ldexp(1.0, ehi - 1023 + 1));
    for (int j = 0; j < 1024; ++j) {
        const double m = 1.0 + j / 1024.0;
        M[j] = std::pow(m, q);
        mj[j] = m;
        inv[j] = 1.0 / m;
    }
    c1 = q;
    c2 = c1 * (q - 1.0) / 2.0;
    c3 = c2 * (q - 2.0) / 3.0;
    c4 = c3 * (q - 3.0) / 4.0;
    c5 = c4 * (q - 4.0) / 5.0;
}

}  // namespace vis::polar
