#include "kernels/blob_field/stencil.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "kernels/blob_field/scalar_ops.h"

namespace vis::blob {

int32_t stencil_half_width(double Rb, double cm) {
    const double mr = std::ceil(Rb / cm);
    if (!(mr <= 4095.0)) throw std::bad_alloc();
    return std::max<int32_t>(1, static_cast<int32_t>(mr));
}

namespace {

// The weight depends on the squares of the two offsets only, and
// (s - m) * cm is exactly the negative of (m - s) * cm, so one octant gives
// every value.
void fill_weights(double Rb, int32_t m, double cm, double rho, double p, std::vector<double>& wt) {
    const int32_t w = 2 * m + 1;
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
            double st = std::min(powr((1.0 - uu) / uu, p), 1000000.0);
            if (std::isnan(st)) st = 0.0;
            const int32_t si[2] = {m - i, m + i}, sj[2] = {m - j, m + j};
            for (int32_t a : si)
                for (int32_t b : sj) {
                    wt[static_cast<size_t>(a) * w + b] = st;
                    wt[static_cast<size_t>(b) * w + a] = st;
                }
        }
    }
}

}  // namespace

bool bucket_stencil(double Rb, int32_t m, double cm, double rho, double p, StencilStore& store,
                    BucketStencil& out) {
    const int32_t w = 2 * m + 1;
    std::vector<double>& wt = store.weights;
    fill_weights(Rb, m, cm, rho, p, wt);
    store.pairs.resize(2 * wt.size());
    for (size_t e = 0; e < wt.size(); ++e) store.pairs[2 * e] = store.pairs[2 * e + 1] = wt[e];
    // Non-zero span of every stencil row.
    store.span_lo.assign(w, 0);
    store.span_hi.assign(w, -1);
    int32_t s_first = -1, s_last = -1;
    for (int32_t s2 = 0; s2 < w; ++s2) {
        const double* ws = wt.data() + static_cast<size_t>(s2) * w;
        int32_t lo_e = 0, hi_e = w - 1;
        while (lo_e < w && ws[lo_e] == 0.0) ++lo_e;
        while (hi_e >= lo_e && ws[hi_e] == 0.0) --hi_e;
        store.span_lo[s2] = lo_e;
        store.span_hi[s2] = hi_e;
        if (lo_e <= hi_e) {
            if (s_first < 0) s_first = s2;
            s_last = s2;
        }
    }
    out = BucketStencil{store.pairs.data(), store.span_lo.data(), store.span_hi.data(), m, w, s_first, s_last};
    return s_first >= 0;
}

}  // namespace vis::blob
