// A uniform bucket grid over the targets' screen positions (all finite): the
// targets within a radius of a point, and the K-th nearest distance of a point.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace vis::polar {

// A target near a tile: its squared distance to the tile centre, position and row.
struct Cand {
    double d2c, x, y;
    uint32_t id;
};

class Buckets {
public:
    Buckets(const double* xy, size_t n);

    // Every target within distance R of (cx, cy), replacing the contents of out.
    // Cells are read row of cells by row of cells, each cell's targets in
    // ascending order of their row in xy.
    void gather(double cx, double cy, double R, std::vector<Cand>& out) const;

    // The K-th smallest squared distance (qx - px)^2 + (qy - py)^2 from (cx, cy) over
    // every target, computed as the tree computes it (so bit for bit its value).
    // R is the first half-width to search; `d2` is scratch space.
    double kth_d2(double cx, double cy, size_t K, double R, std::vector<double>& d2) const;

private:
    struct CellRange {
        int64_t ax, bx, ay, by;
    };
    // The cells of the square of half-width R around (cx, cy), clamped to the grid.
    CellRange cells_around(double cx, double cy, double R) const {
        return {clampx(cell_index(cx - R - x0_)), clampx(cell_index(cx + R - x0_)), clampy(cell_index(cy - R - y0_)),
                clampy(cell_index(cy + R - y0_))};
    }
    int64_t cell_index(double v) const {
        const double t = std::floor(v * inv_);
        if (!(t > -1.0)) return -1;
        if (t > 1e15) return std::numeric_limits<int32_t>::max();
        return static_cast<int64_t>(t);
    }
    int64_t clampx(int64_t v) const { return std::clamp<int64_t>(v, 0, gx_ - 1); }
    int64_t clampy(int64_t v) const { return std::clamp<int64_t>(v, 0, gy_ - 1); }
    size_t cell_of(double x, double y) const;

    double x0_, y0_, cell_, inv_;
    int64_t gx_, gy_;
    std::vector<uint32_t> start_;  // per cell, the first of its targets in px_, py_, id_
    std::vector<double> px_, py_;
    std::vector<uint32_t> id_;
};

}  // namespace vis::polar
