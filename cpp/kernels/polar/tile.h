// The state of the tile walk: the output grid is walked in square tiles. For a
// tile with centre c and largest centre-to-pixel distance h, every pixel p of the
// tile has its K nearest targets within dK(c) + |p - c| of p (triangle
// inequality), so within R = dK(c) + 2h of c. Those candidates are gathered once
// per tile and grouped into rings by their distance to c. Each pixel bounds its
// own K-th distance from the tile centre's and from its left and upper
// neighbours' (one grid step away, across tile borders too), scans the candidates
// that can lie within the upper bound, takes those below the lower bound as
// certain neighbours and selects the rest among the few in between.
#pragma once

#include "kernels/polar.h"
#include "kernels/polar/buckets.h"
#include "kernels/polar/candidates.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace vis::polar {

// Relative and absolute slack of the pixel bounds: a few units in the last place of
// the sums and square roots that derive them, so rounding never drops a neighbour.
constexpr double kRel = 8e-12, kAbs = 1e-9;

// A tile's candidates grouped into rings of equal area around its centre (a
// counting sort by squared distance), so each pixel finds the candidates within
// its reach as a prefix of the columns in one look-up. With uniformly spread
// targets a ring holds a sixteenth of them, a few: that many extra candidates
// scanned at most, which the scan sorts out by their own distance.
struct TileCandidates {
    static constexpr size_t kRings = 16;

    // Forced inline (as open_tile is) so that each instruction set's walk compiles
    // them for its own instruction set.
    // Gathers the targets within R of (cx, cy) into the columns, ring by ring,
    // each ring in gathered order. The columns run 4 past the candidates: +inf
    // pads for the scans that read four at a time.
    __attribute__((always_inline)) void gather(const Buckets& buckets, double cx, double cy, double R);
    // Colour columns (from R, G, B, 1 rows by target) and squared-distance scratch
    // for shading straight from the columns, padded to blocks of eight.
    __attribute__((always_inline)) void colour_columns(const std::vector<float>& rgb4f);

    size_t ring_of(double d2) const {
        const double q = d2 * ring_scale;
        return q < static_cast<double>(kRings) ? static_cast<size_t>(q) : kRings - 1;
    }
    // The number of leading candidates that include every one within `reach` of
    // the centre (squared with room for rounding; monotone, so none is missed).
    size_t within(double reach) const {
        return ring_scale > 0.0 ? ring_end[ring_of(reach * reach * (1.0 + kRel))] : nc;
    }

    size_t nc = 0;
    // Ring q holds the squared distances in [q, q + 1) * R^2 / kRings (the last one
    // up to R^2); ring_scale is 0 when R^2 overflows: one ring, every candidate.
    double ring_scale = 0.0;
    std::vector<Cand> gathered;
    std::vector<size_t> ring_end = std::vector<size_t>(kRings), ring_fill = std::vector<size_t>(kRings);
    std::vector<double> xs, ys;
    std::vector<uint32_t> ids;
    std::vector<double> d2;    // scratch of the in-place shading
    std::vector<float> rgb;    // R, G and B columns, each nc + 8 long
    const float *r = nullptr, *g = nullptr, *b = nullptr;
};

// A grid point's query: its position, the bounds of its squared K-th distance
// and the candidates it scans (the first nr).
struct PixelQuery {
    double qx, qy, lo2, hi2;
    size_t nr;
};

struct Tile {
    size_t i0, i1, j0, j1;  // rows and columns of grid points
    double cx, cy, dkc;     // centre and its K-th distance
    bool full;              // T x T grid points
};

class TileWalk {
public:
    TileWalk(const double* xy, size_t n, const PolarBlend& p);

    size_t tile_count() const { return ntile_; }
    // Centres and K-th distances of a row of tiles; the carried bounds of the
    // pixels to the left start afresh.
    void start_row(size_t ti);
    // Gathers the tile's candidates (with colour columns when `colours` is given).
    __attribute__((always_inline)) Tile open_tile(size_t ti, size_t tj, const std::vector<float>* colours);
    // Grid point (i, j) of tile t, prev_kth the K-th distance of the point to its left.
    inline PixelQuery query(const Tile& t, size_t i, size_t j, double prev_kth) const;

    // The K-th distances of the pixels above (by column, across tiles) and to the
    // left (by row of the tile row, from the tile before): every pixel but the
    // image's first starts from a neighbour one step away.
    std::vector<double> up_kth, left_kth;
    TileCandidates tile;
    NeighbourLists lists;
    size_t K, nx;
    size_t full_selections = 0;

private:
    double centre(size_t first, size_t count) const;

    Buckets buckets_;
    double stp_;
    size_t T_, ntile_;
    // Per row of tiles: the tile centres and their K-th nearest distances. dk starts
    // at a tile's width and then holds the row above's: the first search radius of
    // the tile below.
    std::vector<double> centres_, dk_, scratch_;
    // Pixel-to-centre distances of a full tile: the offsets are multiples of a half
    // pixel, exact in double, so every full tile shares these values to the bit.
    std::vector<double> hp_full_;
};

inline void TileCandidates::gather(const Buckets& buckets, double cx, double cy, double R) {
    buckets.gather(cx, cy, R, gathered);
    nc = gathered.size();
    ring_scale = static_cast<double>(kRings) / (R * R);
    std::fill(ring_end.begin(), ring_end.end(), 0);
    for (const Cand& c : gathered) ++ring_end[ring_of(c.d2c)];
    for (size_t q = 1; q < kRings; ++q) ring_end[q] += ring_end[q - 1];
    const double inf = std::numeric_limits<double>::infinity();
    xs.assign(nc + 4, inf);
    ys.assign(nc + 4, inf);
    ids.assign(nc + 4, 0);
    // Each ring's candidates in their gathered order: filled from the ring's end.
    ring_fill = ring_end;
    for (size_t a = nc; a-- > 0;) {
        const size_t to = --ring_fill[ring_of(gathered[a].d2c)];
        xs[to] = gathered[a].x;
        ys[to] = gathered[a].y;
        ids[to] = gathered[a].id;
    }
}

inline void TileCandidates::colour_columns(const std::vector<float>& rgb4f) {
    const size_t len = nc + 8;
    d2.assign(len, 0.0);
    rgb.assign(3 * len, 0.0f);
    for (size_t a = 0; a < nc; ++a) {
        const float* c = rgb4f.data() + 4 * static_cast<size_t>(ids[a]);
        rgb[a] = c[0];
        rgb[len + a] = c[1];
        rgb[2 * len + a] = c[2];
    }
    r = rgb.data();
    g = r + len;
    b = g + len;
}

inline Tile TileWalk::open_tile(size_t ti, size_t tj, const std::vector<float>* colours) {
    Tile t;
    t.i0 = ti * T_;
    t.i1 = std::min(nx, t.i0 + T_);
    t.j0 = tj * T_;
    t.j1 = std::min(nx, t.j0 + T_);
    t.cx = centres_[2 * tj];
    t.cy = centres_[2 * tj + 1];
    t.dkc = dk_[tj];
    t.full = t.i1 - t.i0 == T_ && t.j1 - t.j0 == T_;
    const double hx = t.cx - (t.j0 * stp_ + 0.5), hy = t.cy - (t.i0 * stp_ + 0.5);
    const double h = std::sqrt(hx * hx + hy * hy);
    tile.gather(buckets_, t.cx, t.cy, (t.dkc + 2.0 * h) * (1.0 + 1e-12) + kAbs);
    if (colours) tile.colour_columns(*colours);
    lists.make_room(tile.nc);
    return t;
}

inline PixelQuery TileWalk::query(const Tile& t, size_t i, size_t j, double prev_kth) const {
    const double inf = std::numeric_limits<double>::infinity();
    const double qx = j * stp_ + 0.5, qy = i * stp_ + 0.5;
    const double ex = qx - t.cx, ey = qy - t.cy;
    const double hp = t.full ? hp_full_[(i - t.i0) * T_ + (j - t.j0)] : std::sqrt(ex * ex + ey * ey);
    // Targets nearer than `lo` are certainly among the K nearest, targets farther
    // than `hi` certainly not.
    const double above = up_kth[j];
    double hi = std::min(t.dkc + hp, std::min(prev_kth, above) + stp_);
    double lo = t.dkc - hp;
    if (prev_kth < inf) lo = std::max(lo, prev_kth - stp_);
    if (above < inf) lo = std::max(lo, above - stp_);
    hi = hi * (1.0 + kRel) + kAbs;
    lo = lo * (1.0 - kRel) - kAbs;
    const double reach = (hi + hp) * (1.0 + kRel) + kAbs;
    return {qx, qy, lo > 0.0 ? lo * lo * (1.0 - kRel) : -1.0, hi * hi * (1.0 + kRel), tile.within(reach)};
}

}  // namespace vis::polar
