// Nearest palette row for colours in 8-bit RGB space (plain Euclidean
// distance, unweighted).
//
// Each colour gets the row with the smallest squared distance
//     ((c0 - r0)^2 + (c1 - r1)^2) + (c2 - r2)^2
// and, among rows at exactly equal distance, the lowest row. A colour whose
// distance is NaN for some row (a NaN channel) gets the first such row, as
// NumPy's argmin does; with a finite table that is row 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vis {

class ColourLookup {
public:
    // `rows` is nrows x 3 (R, G, B), row-major; copied. nrows >= 1.
    ColourLookup(const double* rows, size_t nrows);

    // Row index for each of the n colours (n x 3, row-major).
    void nearest(const double* cols, size_t n, int64_t* out) const;

private:
    int64_t scan(const double* c) const;
    int64_t exact(const double* c) const;  // -1 when not an exact table colour

    size_t nrows_;
    std::vector<double> rows_;
    // When every table value is a whole number 0..255, exact table colours
    // are found through a small open-addressing hash of packed RGB keys.
    bool hashed_ = false;
    std::vector<uint32_t> keys_;
    std::vector<int64_t> vals_;
};

}  // namespace vis
