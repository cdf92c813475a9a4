// blob_splat: radii and visibility, the bucketed scatter of every target's
// kernel into the grid, then lambda, opacity and rim fade of every cell.
#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "kernels/blob_field.h"
#include "kernels/blob_field/buckets.h"
#include "kernels/blob_field/loops.h"
#include "kernels/blob_field/scalar_ops.h"
#include "kernels/blob_field/spare_pool.h"
#include "kernels/blob_field/stencil.h"

namespace vis {

using namespace blob;

namespace {

// The targets within top + r_max, with their kernel radii.
struct VisibleTargets {
    std::vector<double> X, Y, R, lam;
};

// Radius KAPPA * sig clipped to [r_min, r_max] for every finite target
// (sig falling back to r_min / KAPPA where it is missing, not finite or not
// above 1e-6), then the visible ones, in target order.
VisibleTargets visible_targets(const BlobTargets& t, const double* sig, double top, const BlobConstants& k) {
    const size_t nall = t.X.size();
    const double sig0 = t.r_min / k.kappa;
    VisibleTargets v;
    v.X.reserve(nall);
    v.Y.reserve(nall);
    v.R.reserve(nall);
    v.lam.reserve(nall);
    for (size_t i = 0; i < nall; ++i) {
        double s = sig ? sig[i] : sig0;
        if (!(std::isfinite(s) && s > 1e-06)) s = sig0;
        const double Ri = nclip_select(k.kappa * s, t.r_min, t.r_max);
        if (t.r[i] <= top + t.r_max) {
            v.X.push_back(t.X[i]);
            v.Y.push_back(t.Y[i]);
            v.R.push_back(Ri);
            v.lam.push_back(t.lam[i]);
        }
    }
    return v;
}

// G x G cells of size cm; cell i of a row or column is centred at g0 + i * cm.
struct GridGeometry {
    int G;
    double cm, g0;
};

// The cell whose centre is nearest to coordinate v, clipped to the grid.
std::vector<int32_t> nearest_cells(const std::vector<double>& v, const GridGeometry& g) {
    const double gmax = g.G - 1;
    std::vector<int32_t> cells(v.size());
    for (size_t p = 0; p < v.size(); ++p) {
        const double c = nclip(std::nearbyint((v[p] - g.g0) / g.cm), 0.0, gmax);
        cells[p] = std::isnan(c) ? 0 : static_cast<int32_t>(c);
    }
    return cells;
}

// Spare arrays of per-bucket sums, kept all zero while parked: a splat
// clears every sum it adds, so one that runs to the end gives its array back
// as it found it and the next needs no clearing. A splat that ends early
// (stopped, or a stencil refused) drops its array instead. Two arrays of the
// largest grid stay parked at most. Never destroyed, as the work arrays' pool.
SparePool<std::vector<double>>& zeroed_sums = *new SparePool<std::vector<double>>(size_t{12} << 20);

class ZeroedSums {
public:
    explicit ZeroedSums(size_t n) : v_(zeroed_sums.take()) {
        if (v_.size() < n) v_.resize(n);  // the new values are zero too
    }
    ~ZeroedSums() {
        if (clear_) zeroed_sums.give_back(std::move(v_));
    }
    ZeroedSums(const ZeroedSums&) = delete;
    ZeroedSums& operator=(const ZeroedSums&) = delete;

    double* data() { return v_.data(); }
    // Every value is zero again.
    void mark_clear() { clear_ = true; }

private:
    std::vector<double> v_;
    bool clear_ = false;
};

// Every bucket's stencil scattered for its members and added to `acc`
// (interleaved num, den). Returns false when `stop` asked to stop.
bool scatter_all_buckets(const VisibleTargets& v, const GridGeometry& g, double rho, double p,
                         const BlobConstants& k, double* acc, Interrupt* stop) {
    const int32_t G = g.G;
    const std::vector<int32_t> ci = nearest_cells(v.X, g), cj = nearest_cells(v.Y, g);
    const RadiusBuckets buckets = radius_buckets(v.R, k.nbuck);
    if (std::isnan(p) || std::isnan(rho)) return true;  // a NaN shape gives no weight anywhere
    // Per-bucket sums interleaved like acc, and the touched column span of
    // every row; all zero (spans empty) between buckets, by clearing what
    // was touched.
    ZeroedSums h(2 * static_cast<size_t>(G) * G);
    std::vector<int32_t> col_lo(G, G), col_hi(G, -1);
    StencilStore store;
    for (int64_t q = 0; q < buckets.count(); ++q) {
        const size_t mb = buckets.start[q], me = buckets.start[q + 1];
        if (mb == me) continue;
        const double Rb = std::sqrt(buckets.edges[q] * buckets.edges[q + 1]);
        const int32_t m = stencil_half_width(Rb, g.cm);
        const int32_t w = 2 * m + 1;
        // Members x stencil positions the scatter visits: 4e9 is about a
        // minute of work, far past any display; refused as too large.
        if (static_cast<double>(me - mb) * w * w > 4.0e9) throw std::bad_alloc();
        BucketStencil st;
        if (!bucket_stencil(Rb, m, g.cm, rho, p, store, st)) continue;
        if (!scatter_bucket(st, buckets.members.data() + mb, me - mb, ci.data(), cj.data(), v.lam.data(), G,
                            h.data(), col_lo.data(), col_hi.data(), stop))
            return false;
        add_bucket_sums(acc, h.data(), G, col_lo.data(), col_hi.data());
    }
    h.mark_clear();
    return true;
}

// Opacity of one row (cells at gx[i], gy) times the rim fade
// smoothstep(clip((top - hypot(x, y)) / fden, 0, 1)).
//
// Well inside the fade ring the clipped ramp is exactly 1 (the opacity
// stays), well outside the disk exactly 0; hypot only decides the cells near
// either circle (the margins dwarf any rounding of the squared distance,
// which falls and then rises along the row as gx ascends, so the cells
// inside, and those not outside, are runs).
void fade_rim_of_row(const std::vector<double>& gx, double gy, double top, double fden, double* al) {
    const int G = static_cast<int>(gx.size());
    const double inner = top - fden;
    const double in2 = (inner > 1e-3 * top && std::isfinite(inner)) ? inner * inner * (1.0 - 1e-6) : -1.0;
    const double out2 = std::isfinite(top) ? top * top * (1.0 + 1e-6) : std::numeric_limits<double>::infinity();
    const double gy2 = gy * gy;
    auto s2 = [&](int i) { return gx[i] * gx[i] + gy2; };
    int o0 = 0, o1 = G;  // cells [o0, o1) not outside
    while (o0 < G && s2(o0) > out2) ++o0;
    while (o1 > o0 && s2(o1 - 1) > out2) --o1;
    int i0 = o0, i1 = o1;  // cells [i0, i1) inside
    while (i0 < o1 && !(s2(i0) < in2)) ++i0;
    while (i1 > i0 && !(s2(i1 - 1) < in2)) --i1;
    for (int i = 0; i < o0; ++i) al[i] = al[i] * 0.0;
    for (int i = o1; i < G; ++i) al[i] = al[i] * 0.0;
    auto fade = [&](int b, int e) {
        for (int i = b; i < e; ++i) {
            if (al[i] == 0.0) continue;
            const double fr = nclip((top - std::hypot(gx[i], gy)) / fden, 0.0, 1.0);
            al[i] = al[i] * (fr * fr * (3.0 - 2.0 * fr));
        }
    };
    fade(o0, i0);
    fade(i1, o1);
}

// Lambda into `field`, opacity from coverage and rim fade into out.alpha.
void finish_cells(const double* acc, const GridGeometry& g, double top, const BlobConstants& k, BlobGrid& out,
                  double* field) {
    const int G = g.G;
    out.G = G;
    out.alpha.resize(static_cast<size_t>(G) * G);
    const OpacityShape os{k.w0, k.cov_lo, smax(k.cov_hi - k.cov_lo, 1e-9), k.a_max};
    const double fden = smax(top * (1.0 - k.rim_fade), 1e-9);
    std::vector<double> gx(G);
    for (int i = 0; i < G; ++i) gx[i] = g.g0 + i * g.cm;
    for (int j = 0; j < G; ++j) {
        const size_t row = static_cast<size_t>(j) * G;
        double* al = out.alpha.data() + row;
        field_and_opacity_row(acc + 2 * row, G, os, field + row, al);
        fade_rim_of_row(gx, gx[j], top, fden, al);
    }
}

}  // namespace

bool blob_splat(const BlobTargets& t, const double* sig, double power, double softness,
                double cell_px, double top, double scale, const BlobConstants& k, BlobGrid& out,
                double* field, Interrupt* stop) {
    const VisibleTargets v = visible_targets(t, sig, top, k);
    if (v.X.empty()) return false;
    const double rho = nclip(k.sm_ratio * softness, 0.03, 0.45);
    const double p = nclip(power, 0.5, 8.0);

    GridGeometry g;
    g.G = blob_grid_size(top, scale, cell_px);
    g.cm = 2.0 * top / g.G;
    g.g0 = -top + 0.5 * g.cm;
    // Accumulators, interleaved: acc[2c] = num, acc[2c + 1] = den, starting
    // with the prior of weight w0 at lambda 0.5.
    const size_t GG = static_cast<size_t>(g.G) * g.G;
    ScratchArray acc;
    acc.resize(2 * GG);
    for (size_t c = 0; c < GG; ++c) {
        acc[2 * c] = 0.5 * k.w0;
        acc[2 * c + 1] = k.w0;
    }
    if (!scatter_all_buckets(v, g, rho, p, k, acc.data(), stop)) return false;
    finish_cells(acc.data(), g, top, k, out, field);
    return true;
}

}  // namespace vis
