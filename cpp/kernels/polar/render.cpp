// The polar field's entry points: screen positions, the spacing's median, and the
// blend over the native search or over neighbour lists computed elsewhere.
#include "kernels/polar.h"

#include "kernels/floored_mod.h"
#include "kernels/knn.h"
#include "kernels/polar/shader.h"
#include "kernels/polar/tile_walk.h"

#if defined(VIS_X86_KERNELS)
#include "kernels/x86/polar_avx2.h"
#endif

#include <algorithm>
#include <cmath>
#include <limits>

namespace vis {

namespace {

using polar::Shader;

constexpr double kDeg2Rad = 3.141592653589793238462643383279502884 / 180.0;

// The walk's pieces in plain C++.
struct GenericPath {
    static polar::Scan scan(const polar::TileCandidates& c, const polar::PixelQuery& q, polar::NeighbourLists& l) {
        return polar::scan_plain(c.xs.data(), c.ys.data(), c.ids.data(), q.nr, q.qx, q.qy, q.lo2, q.hi2, l);
    }
    static void shade(const Shader& sh, const double* s, const uint32_t* ids, size_t K, double d0, uint8_t* px) {
        polar::shade_plain(sh, s, ids, K, d0, px);
    }
    static double pixel(polar::TileWalk& w, const Shader& sh, const polar::PixelQuery& q, uint8_t* px) {
        return polar::pixel_from_lists<GenericPath>(w, sh, q, px);
    }
    static const std::vector<float>* colour_columns(const Shader&) { return nullptr; }
};

size_t walk_tiles_generic(const double* xy, size_t n, const Shader& sh, const PolarBlend& p, uint8_t* out,
                          Interrupt* stop) {
    return polar::walk_tiles<GenericPath>(xy, n, sh, p, out, stop);
}

// One grid point from neighbour lists of another search.
void shade_listed(const Shader& sh, const double* s, const int64_t* ids, size_t K, double d0, uint8_t* px) {
#if defined(VIS_X86_KERNELS)
    if (sh.avx2) return polar_shade_avx2(sh, s, ids, K, d0, px);
#endif
    polar::shade_plain(sh, s, ids, K, d0, px);
}

// Any positions (non-finite ones included): the exact tree answers the grid in chunks.
void render_with_tree(const double* xy, size_t n, const Shader& sh, const PolarBlend& p, uint8_t* out,
                      Interrupt* stop) {
    const size_t K = p.K, nx = p.nx, total = nx * nx;
    const double stp = static_cast<double>(p.step);
    KdTree tree(xy, n, 2);
    // Chunks of 4096 grid points: a few milliseconds of queries between polls.
    const size_t chunk = 4096;
    std::vector<double> q(2 * chunk), dist(chunk * K), s(K);
    std::vector<int64_t> idx(chunk * K);
    for (size_t g0 = 0; g0 < total; g0 += chunk) {
        if (stop_requested(stop)) return;
        const size_t g1 = std::min(total, g0 + chunk);
        for (size_t g = g0; g < g1; ++g) {
            q[2 * (g - g0)] = (g % nx) * stp + 0.5;
            q[2 * (g - g0) + 1] = (g / nx) * stp + 0.5;
        }
        tree.query(q.data(), g1 - g0, K, dist.data(), idx.data());
        for (size_t g = g0; g < g1; ++g) {
            const double* dr = dist.data() + (g - g0) * K;
            for (size_t k = 0; k < K; ++k) s[k] = dr[k] * dr[k];
            shade_listed(sh, s.data(), idx.data() + (g - g0) * K, K, dr[0], out + 4 * g);
        }
    }
}

// The largest squared distance from a grid point to a target: to the farther
// corner of the grid's box in each coordinate; +inf when a position is not finite.
double largest_d2(const double* xy, size_t n, const PolarBlend& p) {
    const double lo = 0.5, hi = static_cast<double>(p.nx - 1) * static_cast<double>(p.step) + 0.5;
    double s_max = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double x = xy[2 * i], y = xy[2 * i + 1];
        if (!std::isfinite(x) || !std::isfinite(y)) return std::numeric_limits<double>::infinity();
        const double dx = std::max(std::fabs(x - lo), std::fabs(x - hi));
        const double dy = std::max(std::fabs(y - lo), std::fabs(y - hi));
        s_max = std::max(s_max, dx * dx + dy * dy);
    }
    return s_max;
}

}  // namespace

void polar_positions(const double* b, const double* r, size_t n, double rr, double scale, double* xy) {
    for (size_t i = 0; i < n; ++i) {
        const double a = (floored_mod(b[i] + 180.0, 360.0) - 180.0) * kDeg2Rad;
        xy[2 * i] = rr + std::sin(a) * r[i] * scale;
        xy[2 * i + 1] = rr - std::cos(a) * r[i] * scale;
    }
}

double median_inplace(std::vector<double>& v) {
    const size_t n = v.size();
    if (n == 0) return std::numeric_limits<double>::quiet_NaN();
    for (double x : v)
        if (std::isnan(x)) return x;
    const size_t mid = n / 2;
    std::nth_element(v.begin(), v.begin() + mid, v.end());
    const double hi = v[mid];
    if (n % 2) return hi;
    const double lo = *std::max_element(v.begin(), v.begin() + mid);
    return (lo + hi) / 2.0;
}

void polar_render_native(const double* xy, size_t n, const double* rgb, const PolarBlend& p, uint8_t* out,
                         Interrupt* stop, PolarStats* stats) {
    if (p.nx == 0) return;
    const double s_max = largest_d2(xy, n, p);
    const Shader sh(rgb, n, p, s_max);
    if (!std::isfinite(s_max)) return render_with_tree(xy, n, sh, p, out, stop);
    size_t full = 0;
#if defined(VIS_X86_KERNELS)
    if (sh.avx2)
        full = polar_walk_tiles_avx2(xy, n, sh, p, out, stop);
    else
#endif
        full = walk_tiles_generic(xy, n, sh, p, out, stop);
    if (stats) stats->full_selections = full;
}

void polar_render_from_neighbours(const double* dist, const int64_t* idx, const double* rgb, size_t n,
                                  const PolarBlend& p, uint8_t* out, Interrupt* stop) {
    const size_t K = p.K, total = p.nx * p.nx;
    // The largest squared distance, +inf when any distance is not finite.
    double s_max = 0.0;
    for (size_t g = 0; g < total * K; ++g)
        s_max = std::isfinite(dist[g]) ? std::max(s_max, dist[g] * dist[g]) : std::numeric_limits<double>::infinity();
    const Shader sh(rgb, n, p, s_max);
    std::vector<double> s(K);
    // Rows of 4096 grid points between polls: well under a millisecond each.
    for (size_t g = 0; g < total; ++g) {
        if (g % 4096 == 0 && stop_requested(stop)) return;
        const double* dr = dist + g * K;
        for (size_t k = 0; k < K; ++k) s[k] = dr[k] * dr[k];
        shade_listed(sh, s.data(), idx + g * K, K, dr[0], out + 4 * g);
    }
}

}  // namespace vis
