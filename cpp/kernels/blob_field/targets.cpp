// Targets in the view plane, the radius limits and the grid size.
#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "kernels/blob_field.h"
#include "kernels/crt_math.h"
#include "kernels/blob_field/scalar_ops.h"

namespace vis {

using blob::smax;

bool blob_targets(const double* b, const double* r, const double* lam, size_t n, double top,
                  double scale, const BlobConstants& k, BlobTargets& out) {
    constexpr double kPi = 3.141592653589793;
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
        out.X.push_back(crt::sin(a) * r[i]);
        out.Y.push_back(crt::cos(a) * r[i]);
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

}  // namespace vis
