// Sum, count, minimum and maximum of the written cells (finite, non-zero)
// of a run of cells.
#pragma once

#include <cstddef>
#include <limits>

namespace vis {

struct WrittenSummary {
    double sum = 0.0;
    size_t count = 0;
    double lo = std::numeric_limits<double>::infinity();
    double hi = -std::numeric_limits<double>::infinity();
};

// Finite and non-zero: x - x is 0 for finite x only.
inline bool written(double x) { return (x - x == 0.0) && x != 0.0; }

}  // namespace vis
