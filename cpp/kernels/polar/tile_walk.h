// The tile walk over the output grid, written once for every instruction set.
// `Path` supplies the per-ISA pieces:
//   Path::pixel(walk, shader, query, px)   shades one grid point and returns its
//                                          K-th nearest distance;
//   Path::scan(tile, query, lists)         a Scan of the first query.nr candidates;
//   Path::shade(shader, s, ids, K, d0, px) shades from neighbour lists;
//   Path::colour_columns(shader)           the colours to lay out per tile, or null.
// The walk's own functions are forced inline, so an ISA's entry point compiles the
// whole walk, its Path's pieces inlined, for that ISA.
#pragma once

#include "kernels/interrupt.h"
#include "kernels/polar/candidates.h"
#include "kernels/polar/shader.h"
#include "kernels/polar/tile.h"

#include <cmath>
#include <cstdint>

#define VIS_POLAR_INLINE __attribute__((always_inline)) inline

namespace vis::polar {

// One grid point from neighbour lists: the scan's certain neighbours completed from
// its boundary set, or, where the bounds did not settle them, a selection among
// every candidate of the tile.
template <class Path>
VIS_POLAR_INLINE double pixel_from_lists(TileWalk& w, const Shader& sh, const PixelQuery& q, uint8_t* px) {
    const TileCandidates& c = w.tile;
    const Scan sc = Path::scan(c, q, w.lists);
    double dmin = sc.dmin;  // the nearest target lies within reach
    double kth;
    if (sc.na <= w.K && sc.na + sc.nbnd >= w.K) {
        kth = complete_neighbours(w.lists, sc.na, sc.nbnd, w.K);
    } else {
        kth = select_among_all(c.xs.data(), c.ys.data(), c.ids.data(), c.nc, q.qx, q.qy, w.K, w.lists, dmin);
        ++w.full_selections;
    }
    Path::shade(sh, w.lists.best.data(), w.lists.bid.data(), w.K, std::sqrt(dmin), px);
    return std::sqrt(kth);
}

// The grid points of one tile, row by row; each passes its K-th distance on to
// the point to its right and the one below.
template <class Path>
VIS_POLAR_INLINE void shade_tile(TileWalk& w, const Shader& sh, const Tile& t, uint8_t* out) {
    for (size_t i = t.i0; i < t.i1; ++i) {
        double kth = w.left_kth[i - t.i0];
        for (size_t j = t.j0; j < t.j1; ++j) {
            kth = Path::pixel(w, sh, w.query(t, i, j, kth), out + 4 * (i * w.nx + j));
            w.up_kth[j] = kth;
        }
        w.left_kth[i - t.i0] = kth;
    }
}

// Every tile, row of tiles by row of tiles; polls `stop` between tiles. Returns
// the number of grid points that took the full selection.
template <class Path>
VIS_POLAR_INLINE size_t walk_tiles(const double* xy, size_t n, const Shader& sh, const PolarBlend& p, uint8_t* out,
                                   Interrupt* stop) {
    TileWalk w(xy, n, p);
    const std::vector<float>* colours = Path::colour_columns(sh);
    for (size_t ti = 0; ti < w.tile_count(); ++ti) {
        w.start_row(ti);
        for (size_t tj = 0; tj < w.tile_count(); ++tj) {
            if (stop_requested(stop)) return w.full_selections;
            const Tile t = w.open_tile(ti, tj, colours);
            shade_tile<Path>(w, sh, t, out);
        }
    }
    return w.full_selections;
}

}  // namespace vis::polar
