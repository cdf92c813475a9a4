// The tile walk compiled for AVX2, where the scans and the shading inline into
// the pixel loop.
#include "kernels/x86/polar_avx2.h"

#include "kernels/polar/tile_walk.h"
#include "kernels/x86/polar_scan_avx2.h"
#include "kernels/x86/polar_shade_avx2.h"

#include <cmath>

namespace vis {

namespace {

using polar::Shader;

// Shading straight from the candidate columns (single precision) skips the lists:
// when at most 64 candidates are within reach, the bounds settle the neighbours,
// at most 6 boundary ones are to pick and 1 / S_0 stays a normal float.
VIS_AVX2_POPCNT inline bool pixel_in_place(polar::TileWalk& w, const Shader& sh, const polar::PixelQuery& q,
                                           uint8_t* px, double& kth) {
    polar::TileCandidates& c = w.tile;
    const size_t K = w.K;
    const polar::MaskScan ms = polar::scan_masks_avx2(c.xs.data(), c.ys.data(), q.nr, q.qx, q.qy, q.lo2, q.hi2,
                                                      c.d2.data());
    const double d0 = std::sqrt(ms.dmin);  // the nearest target lies within reach
    if (!(ms.na <= K && ms.na + ms.nbnd >= K && K - ms.na <= 6 && d0 * d0 + sh.sm2 < 1e30)) return false;
    uint64_t chosen;
    kth = std::sqrt(polar::choose_from_masks(ms, c.d2.data(), c.ids.data(), K, chosen));
    polar::shade_chosen(sh, c.d2.data(), c.r, c.g, c.b, chosen, q.nr, d0, px);
    return true;
}

struct Avx2Path {
    VIS_AVX2_POPCNT static polar::Scan scan(const polar::TileCandidates& c, const polar::PixelQuery& q,
                                            polar::NeighbourLists& l) {
        return polar::scan_avx2(c.xs.data(), c.ys.data(), c.ids.data(), q.nr, q.qx, q.qy, q.lo2, q.hi2, l);
    }
    VIS_AVX2_POPCNT static void shade(const Shader& sh, const double* s, const uint32_t* ids, size_t K, double d0,
                                      uint8_t* px) {
        polar::shade_lists_avx2(sh, s, ids, K, d0, px);
    }
    VIS_AVX2_POPCNT static double pixel(polar::TileWalk& w, const Shader& sh, const polar::PixelQuery& q,
                                        uint8_t* px) {
        double kth;
        if (sh.single && q.nr <= 64 && pixel_in_place(w, sh, q, px, kth)) return kth;
        return polar::pixel_from_lists<Avx2Path>(w, sh, q, px);
    }
    static const std::vector<float>* colour_columns(const Shader& sh) { return sh.single ? &sh.rgb4f : nullptr; }
};

}  // namespace

VIS_AVX2_POPCNT size_t polar_walk_tiles_avx2(const double* xy, size_t n, const Shader& sh, const PolarBlend& p,
                                             uint8_t* out, Interrupt* stop) {
    return polar::walk_tiles<Avx2Path>(xy, n, sh, p, out, stop);
}

VIS_AVX2_POPCNT void polar_shade_avx2(const Shader& sh, const double* s, const int64_t* ids, size_t K, double d0,
                                      uint8_t* px) {
    polar::shade_lists_avx2(sh, s, ids, K, d0, px);
}

}  // namespace vis
