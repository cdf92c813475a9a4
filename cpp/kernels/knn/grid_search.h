// The k-th nearest neighbour of every point of a 2-D set through a uniform
// grid of cells, on the caller's thread and any helpers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/interrupt.h"
#include "kernels/knn/search_helpers.h"

namespace vis::knn {

// Finite 2-D points sorted into a uniform grid of nx x ny cells of size cs
// (row-major cells, points of cell c at start[c] .. start[c+1]-1). Cell
// column c spans [bx[c], bx[c + 1]), row c [by[c], by[c + 1]).
struct CellGrid {
    const double *px, *py;
    const uint32_t* start;
    const double *bx, *by;
    int32_t nx, ny;
    double slack;
};

// k-th nearest squared distance (1 <= k <= 32) of every grid point, in grid
// order, the point itself counting as the first; -1 where the nearby cells
// did not settle it (`unsettled` is then set). Each cell row's points are
// searched by one thread, which writes only their entries of `out`. Returns
// false when `stop` asked to stop.
bool grid_kth_distances(const CellGrid& g, size_t k, double* out, SearchHelpers* helpers, Interrupt* stop,
                        bool& unsettled);

}  // namespace vis::knn
