// Shading one grid point: the inverse-distance blend of its neighbours' colours
// and the coverage from the raw distance to the nearest, packed as B, G, R, A.
#pragma once

#include "kernels/polar.h"
#include "kernels/polar/weights.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vis::polar {

struct Shader {
    Shader(const double* rgb, size_t n, const PolarBlend& p, double s_max);

    double sm2, aralik, den;
    bool avx2;  // the wide paths may run
    // The single-precision blend serves the usual settings: AVX2, a power in [0, 64],
    // at most kSingleK neighbours and colours that are finite and within +-1024, so
    // no weighted sum can lose more than a small fraction of a byte step; and
    // distances (squared at most s_max) whose exact weights 1 / d^p stay far from
    // underflow. Beyond that the exact weights vanish, the exact blend turns to
    // 0 / 0, and the double-precision paths give the bytes it gives.
    bool single = false;
    static constexpr size_t kSingleK = 48;
    float half_power = 0.0f;
    Weights weight;
    std::vector<double> rgb4;  // R, G, B, 1 per target
    std::vector<float> rgb4f;  // the same in single precision, when `single`
};

// A channel value clipped to [0, 255] and truncated; NaN becomes 0.
inline uint8_t channel_byte(double v) {
    v = v > 0.0 ? v : 0.0;
    v = v < 255.0 ? v : 255.0;
    return static_cast<uint8_t>(v);
}

// acc: the R, G, B and weight sums; d0: the raw distance to the nearest target.
inline void finish_pixel(const Shader& sh, const double* acc, double d0, uint8_t* px) {
    double a = 1.0 - (d0 - sh.aralik) / sh.den;
    a = a > 0.0 ? a : 0.0;  // NaN becomes 0
    a = a < 1.0 ? a : 1.0;
    px[0] = channel_byte(acc[2] / acc[3]);
    px[1] = channel_byte(acc[1] / acc[3]);
    px[2] = channel_byte(acc[0] / acc[3]);
    px[3] = channel_byte(a * 235.0);
}

// s[k]: neighbour k's squared distance; ids[k]: its row. Each channel and the
// weight are summed over k in order (w * 1 is w), the order every path keeps.
template <class Id>
inline void shade_plain(const Shader& sh, const double* s, const Id* ids, size_t K, double d0, uint8_t* px) {
    double r = 0.0, g = 0.0, b = 0.0, wsum = 0.0;
    double w[Weights::kBatch];
    const double* rgb4 = sh.rgb4.data();
    for (size_t k0 = 0; k0 < K; k0 += Weights::kBatch) {
        const size_t count = std::min(K - k0, Weights::kBatch);
        sh.weight.batch(s + k0, count, sh.sm2, w);
        for (size_t k = 0; k < count; ++k) {
            const double* c = rgb4 + 4 * static_cast<size_t>(ids[k0 + k]);
            r += w[k] * c[0];
            g += w[k] * c[1];
            b += w[k] * c[2];
            wsum += w[k] * c[3];
        }
    }
    const double acc[4] = {r, g, b, wsum};
    finish_pixel(sh, acc, d0, px);
}

}  // namespace vis::polar
