// kth_distance_self_2d: the grid search where the points suit it, the k-d
// tree elsewhere and for the points the grid leaves unsettled.
#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

#include "kernels/knn.h"
#include "kernels/knn/grid_search.h"
#include "kernels/knn/search_helpers.h"

namespace vis {

using namespace knn;

namespace {

// The points sorted into cells, with the arrays a CellGrid refers to.
struct CellSort {
    std::vector<double> px, py, bx, by;
    std::vector<uint32_t> start, orig;  // orig: the point's row in the caller's array
    CellGrid grid{};
};

// Cells of size cs over the points' extent, nx x ny of them.
struct CellPlan {
    double xmin, ymin, cs, cells_x, cells_y, slack;
    int32_t nx, ny;
};

// About one and a half points per cell over the extent of the n points (all
// finite, n >= 64); false when they suit the grid badly (a thin extent),
// where the tree adapts better.
bool plan_cells(const double* xy, size_t n, CellPlan& p) {
    double xmin = std::numeric_limits<double>::infinity(), xmax = -xmin, ymin = xmin, ymax = -xmin;
    for (size_t i = 0; i < n; ++i) {
        xmin = std::min(xmin, xy[2 * i]);
        xmax = std::max(xmax, xy[2 * i]);
        ymin = std::min(ymin, xy[2 * i + 1]);
        ymax = std::max(ymax, xy[2 * i + 1]);
    }
    const double W = xmax - xmin, H = ymax - ymin;
    // About kPerCell points per cell over the extent (a line of points gets
    // cells along its length): with one and a half per cell the 3 x 3 block
    // around a point, plus a few cells of the next ring, settles seven
    // neighbours, the host's count; measured quickest among 1, 1.5, 2 and 3.
    constexpr double kPerCell = 1.5;
    const double cs = std::max(std::sqrt(W * H * kPerCell / static_cast<double>(n)),
                               std::max(W, H) * kPerCell / static_cast<double>(n));
    const double cells_x = W / cs, cells_y = H / cs;
    if (!(std::isfinite(cs) && cs > 0.0 && std::isfinite(cells_x) && std::isfinite(cells_y) &&
          (cells_x + 1.0) * (cells_y + 1.0) <= 4.0 * static_cast<double>(n) + 16.0))
        return false;
    // Relative 1e-9 of the coordinates' size: millions of times the rounding
    // of a cell assignment or of a margin, far below any cell size.
    const double slack = 1e-9 * (std::fabs(xmin) + std::fabs(xmax) + std::fabs(ymin) + std::fabs(ymax) + cs);
    p = CellPlan{xmin, ymin, cs, cells_x, cells_y, slack, static_cast<int32_t>(cells_x) + 1,
                 static_cast<int32_t>(cells_y) + 1};
    return true;
}

// Sorts the points into the planned cells; false when they are strongly
// clustered, where the tree adapts better.
bool sort_into_cells(const double* xy, size_t n, const CellPlan& p, CellSort& s) {
    const int32_t nx = p.nx, ny = p.ny;
    const size_t ncell = static_cast<size_t>(nx) * static_cast<size_t>(ny);
    const double inv = 1.0 / p.cs;
    std::vector<uint32_t> cell(n);
    s.start.assign(ncell + 1, 0);
    for (size_t i = 0; i < n; ++i) {
        // (x - xmin) * inv is finite and non-negative here.
        const int32_t cx = std::min(static_cast<int32_t>(std::min((xy[2 * i] - p.xmin) * inv, p.cells_x)), nx - 1);
        const int32_t cy =
            std::min(static_cast<int32_t>(std::min((xy[2 * i + 1] - p.ymin) * inv, p.cells_y)), ny - 1);
        cell[i] = static_cast<uint32_t>(cy) * static_cast<uint32_t>(nx) + static_cast<uint32_t>(cx);
        ++s.start[cell[i] + 1];
    }
    uint32_t maxocc = 0;
    for (size_t c = 0; c < ncell; ++c) {
        maxocc = std::max(maxocc, s.start[c + 1]);
        s.start[c + 1] += s.start[c];
    }
    // Over 40 times the planned occupancy in one cell: strongly clustered.
    if (maxocc > 64) return false;
    s.px.resize(n);
    s.py.resize(n);
    s.orig.resize(n);
    for (size_t i = 0; i < n; ++i) {
        const uint32_t t = s.start[cell[i]]++;
        s.px[t] = xy[2 * i];
        s.py[t] = xy[2 * i + 1];
        s.orig[t] = static_cast<uint32_t>(i);
    }
    // The fill moved every start to its cell's end: shift back.
    for (size_t c = ncell; c > 0; --c) s.start[c] = s.start[c - 1];
    s.start[0] = 0;
    s.bx.resize(static_cast<size_t>(nx) + 1);
    s.by.resize(static_cast<size_t>(ny) + 1);
    for (int32_t c = 0; c <= nx; ++c) s.bx[c] = p.xmin + static_cast<double>(c) * p.cs;
    for (int32_t c = 0; c <= ny; ++c) s.by[c] = p.ymin + static_cast<double>(c) * p.cs;
    s.grid = CellGrid{s.px.data(), s.py.data(), s.start.data(), s.bx.data(), s.by.data(), nx, ny, p.slack};
    return true;
}

bool all_finite_2d(const double* xy, size_t n) {
    bool finite = true;
    for (size_t i = 0; i < 2 * n; ++i) finite = finite && std::isfinite(xy[i]);
    return finite;
}

}  // namespace

bool kth_distance_self_2d(const double* xy, size_t n, size_t k, double* dist_k, Interrupt* stop,
                          bool all_processors) {
    if (n == 0) return true;
    if (k < 1 || k > n) throw std::invalid_argument("k must lie between 1 and the number of points");
    // Started first: they come up while the grid is built, and are let go
    // unused when the tree answers instead.
    const std::unique_ptr<SearchHelpers> helpers = all_processors && k <= 32 ? search_helpers(n) : nullptr;
    auto by_tree = [&] {
        KdTree tree(xy, n, 2, stop);
        return !(stop && stop->stopped()) && tree.kth_distance(xy, n, k, dist_k, stop);
    };
    // Under 64 points the tree is as quick; the grid search keeps at most 32
    // neighbours per point; cell numbers must fit in 32 bits; a non-finite
    // coordinate leaves the general tree in charge.
    if (n < 64 || k > 32 || n > (size_t(1) << 30) || !all_finite_2d(xy, n)) return by_tree();
    CellPlan plan;
    CellSort cells;
    if (!plan_cells(xy, n, plan) || !sort_into_cells(xy, n, plan, cells)) return by_tree();

    std::vector<double> d2(n);
    bool unsettled = false;
    if (!grid_kth_distances(cells.grid, k, d2.data(), helpers.get(), stop, unsettled)) return false;
    std::unique_ptr<KdTree> tree;  // built only if some point needs a wider search
    for (size_t t = 0; t < n; ++t) {
        double d;
        if (unsettled && d2[t] < 0.0) {
            if (!tree) {
                tree = std::make_unique<KdTree>(xy, n, 2, stop);
                if (stop && stop->stopped()) return false;
            }
            if (!tree->kth_distance(xy + 2 * static_cast<size_t>(cells.orig[t]), 1, k, &d, stop)) return false;
        } else {
            d = std::sqrt(d2[t]);
        }
        dist_k[cells.orig[t]] = d;
    }
    return true;
}

}  // namespace vis
