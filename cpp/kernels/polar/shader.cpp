#include "kernels/polar/shader.h"

#include "kernels/cpu.h"

#include <algorithm>
#include <cmath>

namespace vis::polar {

Shader::Shader(const double* rgb, size_t n, const PolarBlend& p, double s_max)
    : sm2(p.sm * p.sm), aralik(p.aralik), avx2(cpu_has_avx2()), weight(p.power), rgb4(4 * n) {
    const double span = p.kapsama - p.aralik;
    den = (1e-6 > span) ? 1e-6 : span;  // max(span, 1e-6) with Python's argument order
    bool tame = true;
    for (size_t i = 0; i < n; ++i) {
        for (int ch = 0; ch < 3; ++ch) {
            rgb4[4 * i + ch] = rgb[3 * i + ch];
            tame = tame && std::fabs(rgb[3 * i + ch]) <= 1024.0;  // false for NaN
        }
        rgb4[4 * i + 3] = 1.0;
    }
    // 1 / d^p above 2^-900 for every d^2 up to s_max (and below 2^640 down to the
    // 1e-6 floor, as p <= 64).
    const bool normal_weights = 0.5 * p.power * std::log2(std::max(s_max + sm2, 1.0)) <= 900.0;
    single = avx2 && tame && p.power >= 0.0 && p.power <= 64.0 && p.K <= kSingleK && normal_weights;
    if (single) {
        half_power = static_cast<float>(0.5 * p.power);
        rgb4f.assign(rgb4.begin(), rgb4.end());
    }
}

}  // namespace vis::polar
