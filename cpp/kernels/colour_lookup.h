// Nearest palette row for colours in 8-bit RGB space (plain Euclidean
// distance, unweighted).
//
// Each colour gets the row with the smallest squared distance
//     ((c0 - r0)^2 + (c1 - r1)^2) + (c2 - r2)^2
// and, among rows at exactly equal distance, the lowest row. A colour whose
// distance is NaN for some row (a NaN channel) gets the first such row, as
// NumPy's argmin does; with a finite table that is row 0.
//
// Colours inside the RGB cube are answered through a cell index built once
// per table: the cube is cut into cells, and each cell lists, in ascending
// order, every row that can be nearest to some point of the cell. Scanning
// that list with the same formula and the same strict comparison gives the
// row the full scan gives. Whole-number colours repeat heavily in the host's
// data, so one call also remembers the answer of every whole-number colour
// it has met.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/interrupt.h"

namespace vis {

// A colour array as the caller holds it: n rows of three channels, each
// channel `col_stride` bytes after the previous one, each row `row_stride`
// bytes after the previous one (strides may be negative).
struct ColourRows {
    enum class Type { u8, f64 };
    const char* base;
    size_t n;
    ptrdiff_t row_stride, col_stride;
    Type type;
};

class ColourLookup {
public:
    // `rows` is nrows x 3 (R, G, B), row-major; copied. nrows >= 1.
    ColourLookup(const double* rows, size_t nrows);

    // True when this lookup was built from exactly these rows.
    bool same_rows(const double* rows, size_t nrows) const;

    // Row index for each of the n colours (n x 3, row-major).
    void nearest(const double* cols, size_t n, int64_t* out) const;

    // lambda = row / 255 for each colour; each channel value is read once.
    // Returns false (outputs unspecified) when `stop` asked to stop.
    bool lambdas(const ColourRows& cols, double* out, Interrupt* stop = nullptr) const;

private:
    int64_t scan(double c0, double c1, double c2) const;
    int64_t indexed(double c0, double c1, double c2) const;  // c inside the cube
    int64_t one(double c0, double c1, double c2) const;
    void build_cells(int size, int x, int y, int z, const std::vector<uint16_t>& parent);

    size_t nrows_;
    std::vector<double> rows_;
    // Cell index over [0, 256)^3 in cells of 8 units, cell (x, y, z) at
    // (x * 32 + y) * 32 + z; its candidate rows are cand_[off_[c] ..
    // off_[c] + cnt_[c]).
    bool indexed_ = false;
    std::vector<uint32_t> off_;
    std::vector<uint16_t> cnt_;
    std::vector<uint16_t> cand_;
};

}  // namespace vis
