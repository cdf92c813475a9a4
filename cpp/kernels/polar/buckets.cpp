#include "kernels/polar/buckets.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vis::polar {

namespace {

// The side of a bucket cell for n targets whose bounding box is w x h: about two
// targets per cell; a box thinner than 1/64 of its length counts as that wide, so
// a line of targets does not make cells far longer than the spacing along it.
double cell_side(double w, double h, size_t n) {
    const double ext = std::max(w, h);
    const double cell = std::sqrt(std::max(w * h, ext * ext / 64.0) * 2.0 / static_cast<double>(n));
    return (cell > 0.0 && std::isfinite(cell)) ? cell : 1.0;
}

// The K-th smallest of v (1 <= K <= v.size(), no NaN; v is reordered): the
// values are counted into 64 bins over [0, top) (the last also takes larger
// ones), a monotone map, so the K-th lies in the bin where the running count
// reaches K and is found among that bin's few values. Counting has no
// data-dependent branches, where a selection over every value mispredicts.
double kth_smallest(std::vector<double>& v, size_t K, double top) {
    constexpr size_t kBins = 64;
    const double scale = static_cast<double>(kBins) / top;  // 0 when top overflows: one bin
    auto bin = [&](double x) {
        const double b = x * scale;
        return b < static_cast<double>(kBins - 1) ? static_cast<size_t>(b) : kBins - 1;
    };
    size_t count[kBins] = {};
    for (double x : v) ++count[bin(x)];
    size_t b = 0, before = 0;
    while (before + count[b] < K) before += count[b++];
    size_t kept = 0;
    for (double x : v) {
        v[kept] = x;
        kept += bin(x) == b;
    }
    std::nth_element(v.begin(), v.begin() + static_cast<ptrdiff_t>(K - before - 1),
                     v.begin() + static_cast<ptrdiff_t>(kept));
    return v[K - before - 1];
}

}  // namespace

Buckets::Buckets(const double* xy, size_t n) {
    double x0 = xy[0], x1 = xy[0], y0 = xy[1], y1 = xy[1];
    for (size_t i = 1; i < n; ++i) {
        x0 = std::min(x0, xy[2 * i]);
        x1 = std::max(x1, xy[2 * i]);
        y0 = std::min(y0, xy[2 * i + 1]);
        y1 = std::max(y1, xy[2 * i + 1]);
    }
    x0_ = x0;
    y0_ = y0;
    const double w = x1 - x0, h = y1 - y0;
    double cell = cell_side(w, h, n);
    // Bounded bucket count whatever the spread: at most 4 cells per target (plus
    // 64 for tiny clouds), so memory stays linear in n.
    double gxd = std::floor(w / cell) + 1.0, gyd = std::floor(h / cell) + 1.0;
    const double cap = 4.0 * static_cast<double>(n) + 64.0;
    while (gxd * gyd > cap) {
        cell *= 1.5;
        gxd = std::floor(w / cell) + 1.0;
        gyd = std::floor(h / cell) + 1.0;
    }
    cell_ = cell;
    inv_ = 1.0 / cell;
    gx_ = static_cast<int64_t>(gxd);
    gy_ = static_cast<int64_t>(gyd);
    // A counting sort of the targets by cell, in ascending row order within a cell.
    std::vector<uint32_t> cellof(n);
    start_.assign(static_cast<size_t>(gx_ * gy_) + 1, 0);
    for (size_t i = 0; i < n; ++i) {
        cellof[i] = static_cast<uint32_t>(cell_of(xy[2 * i], xy[2 * i + 1]));
        ++start_[cellof[i] + 1];
    }
    for (size_t c = 1; c < start_.size(); ++c) start_[c] += start_[c - 1];
    std::vector<uint32_t> fill(start_.begin(), start_.end() - 1);
    px_.resize(n);
    py_.resize(n);
    id_.resize(n);
    for (size_t i = 0; i < n; ++i) {
        const uint32_t at = fill[cellof[i]]++;
        px_[at] = xy[2 * i];
        py_[at] = xy[2 * i + 1];
        id_[at] = static_cast<uint32_t>(i);
    }
}

void Buckets::gather(double cx, double cy, double R, std::vector<Cand>& out) const {
    const double R2 = R * R;
    const CellRange c = cells_around(cx, cy, R);
    // Cells of a row are consecutive: one run of targets per row, each written
    // and kept when within R (no branch on the distance).
    size_t room = 0;
    for (int64_t gy = c.ay; gy <= c.by; ++gy)
        room += start_[static_cast<size_t>(gy * gx_ + c.bx) + 1] - start_[static_cast<size_t>(gy * gx_ + c.ax)];
    out.resize(room);
    size_t kept = 0;
    for (int64_t gy = c.ay; gy <= c.by; ++gy) {
        const uint32_t end = start_[static_cast<size_t>(gy * gx_ + c.bx) + 1];
        for (uint32_t at = start_[static_cast<size_t>(gy * gx_ + c.ax)]; at < end; ++at) {
            const double dx = px_[at] - cx, dy = py_[at] - cy;
            const double d2 = dx * dx + dy * dy;
            out[kept] = {d2, px_[at], py_[at], id_[at]};
            kept += d2 <= R2;
        }
    }
    out.resize(kept);
}

// Squares of cells around the centre grow from half-width R until K targets lie
// strictly nearer than R: a target outside the square is at least R away in one
// coordinate, and rounding is monotone, so its squared distance is at least
// fl(R * R).
double Buckets::kth_d2(double cx, double cy, size_t K, double R, std::vector<double>& d2) const {
    for (;;) {
        const CellRange c = cells_around(cx, cy, R);
        d2.clear();
        for (int64_t gy = c.ay; gy <= c.by; ++gy) {
            const size_t row = static_cast<size_t>(gy * gx_);
            const uint32_t end = start_[row + static_cast<size_t>(c.bx) + 1];
            for (uint32_t at = start_[row + static_cast<size_t>(c.ax)]; at < end; ++at) {
                const double dx = cx - px_[at], dy = cy - py_[at];
                d2.push_back(dx * dx + dy * dy);
            }
        }
        const bool everything = c.ax == 0 && c.ay == 0 && c.bx == gx_ - 1 && c.by == gy_ - 1;
        if (d2.size() >= K) {
            const double kth = kth_smallest(d2, K, 2.0 * R * R);
            if (everything || kth < R * R) return kth;
        }
        R *= 2.0;
    }
}

size_t Buckets::cell_of(double x, double y) const {
    const int64_t cx = clampx(static_cast<int64_t>((x - x0_) * inv_));
    const int64_t cy = clampy(static_cast<int64_t>((y - y0_) * inv_));
    return static_cast<size_t>(cy * gx_ + cx);
}

}  // namespace vis::polar
