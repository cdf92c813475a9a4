#include "kernels/colour_lookup.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace vis {

namespace {

// Cells of 8 units (32 per axis, 32 768 in all) keep a few candidates per
// cell along a palette's path; the index is built by halving boxes from the
// whole cube down, each box testing only the rows its parent kept.
constexpr int kCellSize = 8;
constexpr int kCellsPerAxis = 256 / kCellSize;
// Building tests (cells x rows); beyond this many rows a table is searched
// by the plain scan (a sampled palette has 256).
constexpr size_t kMaxIndexedRows = 4096;
// A row leaves a box's list only when even its nearest point of the box is
// farther than some row's farthest point by this relative (and absolute)
// margin, which dwarfs the rounding of the five operations of a distance.
constexpr double kMargin = 1e-9;

// Whole-number colours remembered by one call: a direct-mapped table of
// packed RGB keys. 4096 slots hold the distinct colours of a painted cloud
// (a palette path of about a thousand byte colours) with few collisions.
constexpr uint32_t kMemoBits = 12;
constexpr uint32_t kNoKey = 0xFFFFFFFFu;
// Slot of a packed key: the top bits of a Fibonacci (golden-ratio) multiply.
inline uint32_t memo_slot(uint32_t key) { return (key * 2654435761u) >> (32 - kMemoBits); }

// Channels of a row are read once per call through these.
inline bool byte_value(double v, uint32_t* out) {
    if (!(v >= 0.0 && v <= 255.0)) return false;  // NaN too
    const uint32_t u = static_cast<uint32_t>(v);
    *out = u;
    return static_cast<double>(u) == v;
}

inline double sq(double v) { return v * v; }

}  // namespace

ColourLookup::ColourLookup(const double* rows, size_t nrows) : nrows_(nrows) {
    if (nrows == 0) throw std::invalid_argument("colour table has no rows");
    if (nrows > (size_t(1) << 40)) throw std::length_error("colour table too large");
    rows_.assign(rows, rows + nrows * 3);
    indexed_ = nrows <= kMaxIndexedRows;
    for (size_t i = 0; indexed_ && i < nrows * 3; ++i) indexed_ = std::isfinite(rows_[i]);
    if (!indexed_) return;
    // Rows repeating an earlier row's colour never win (equal distance, higher row).
    std::vector<uint16_t> first;
    for (size_t i = 0; i < nrows; ++i) {
        const double* r = rows_.data() + 3 * i;
        bool repeat = false;
        for (uint16_t j : first) {
            const double* o = rows_.data() + 3 * j;
            if (o[0] == r[0] && o[1] == r[1] && o[2] == r[2]) {
                repeat = true;
                break;
            }
        }
        if (!repeat) first.push_back(static_cast<uint16_t>(i));
    }
    const size_t ncell = size_t(kCellsPerAxis) * kCellsPerAxis * kCellsPerAxis;
    off_.assign(ncell, 0);
    cnt_.assign(ncell, 0);
    build_cells(256, 0, 0, 0, first);
}

void ColourLookup::build_cells(int size, int x, int y, int z, const std::vector<uint16_t>& parent) {
    const double lo[3] = {double(x) * size, double(y) * size, double(z) * size};
    const double hi[3] = {lo[0] + size, lo[1] + size, lo[2] + size};
    std::vector<double> lb(parent.size());
    double U = std::numeric_limits<double>::infinity();
    for (size_t t = 0; t < parent.size(); ++t) {
        const double* r = rows_.data() + 3 * size_t(parent[t]);
        double l = 0.0, u = 0.0;
        for (int c = 0; c < 3; ++c) {
            const double below = lo[c] - r[c], above = r[c] - hi[c];
            l += sq(std::max({below, above, 0.0}));
            u += std::max(sq(r[c] - lo[c]), sq(r[c] - hi[c]));
        }
        lb[t] = l;
        U = std::min(U, u);
    }
    const double keep = U * (1.0 + kMargin) + kMargin;
    std::vector<uint16_t> mine;
    for (size_t t = 0; t < parent.size(); ++t)
        if (lb[t] <= keep) mine.push_back(parent[t]);
    if (size == kCellSize) {
        const size_t c = (size_t(x) * kCellsPerAxis + size_t(y)) * kCellsPerAxis + size_t(z);
        off_[c] = static_cast<uint32_t>(cand_.size());
        cnt_[c] = static_cast<uint16_t>(mine.size());
        cand_.insert(cand_.end(), mine.begin(), mine.end());
        return;
    }
    const int h = size / 2;
    for (int dx = 0; dx < 2; ++dx)
        for (int dy = 0; dy < 2; ++dy)
            for (int dz = 0; dz < 2; ++dz) build_cells(h, 2 * x + dx, 2 * y + dy, 2 * z + dz, mine);
}

bool ColourLookup::same_rows(const double* rows, size_t nrows) const {
    return nrows == nrows_ && std::memcmp(rows, rows_.data(), nrows * 3 * sizeof(double)) == 0;
}

int64_t ColourLookup::scan(double c0, double c1, double c2) const {
    const double* r = rows_.data();
    int64_t best_i = 0;
    double best = 0.0;
    for (size_t i = 0; i < nrows_; ++i, r += 3) {
        double t0 = c0 - r[0], t1 = c1 - r[1], t2 = c2 - r[2];
        double d2 = 0.0;
        d2 += t0 * t0;
        d2 += t1 * t1;
        d2 += t2 * t2;
        if (std::isnan(d2)) return static_cast<int64_t>(i);
        if (i == 0 || d2 < best) {
            best = d2;
            best_i = static_cast<int64_t>(i);
        }
    }
    return best_i;
}

int64_t ColourLookup::indexed(double c0, double c1, double c2) const {
    // c / 8 is exact, so the cell's closed box holds the colour.
    const size_t cell = (size_t(c0 * (1.0 / kCellSize)) * kCellsPerAxis + size_t(c1 * (1.0 / kCellSize))) *
                            kCellsPerAxis +
                        size_t(c2 * (1.0 / kCellSize));
    const uint16_t* cand = cand_.data() + off_[cell];
    const uint32_t count = cnt_[cell];
    int64_t best_i = cand[0];
    double best = 0.0;
    for (uint32_t t = 0; t < count; ++t) {
        const double* r = rows_.data() + 3 * size_t(cand[t]);
        double t0 = c0 - r[0], t1 = c1 - r[1], t2 = c2 - r[2];
        double d2 = 0.0;
        d2 += t0 * t0;
        d2 += t1 * t1;
        d2 += t2 * t2;
        if (t == 0 || d2 < best) {
            best = d2;
            best_i = cand[t];
        }
    }
    return best_i;
}

int64_t ColourLookup::one(double c0, double c1, double c2) const {
    const bool inside = c0 >= 0.0 && c0 < 256.0 && c1 >= 0.0 && c1 < 256.0 && c2 >= 0.0 && c2 < 256.0;
    return indexed_ && inside ? indexed(c0, c1, c2) : scan(c0, c1, c2);
}

void ColourLookup::nearest(const double* cols, size_t n, int64_t* out) const {
    for (size_t i = 0; i < n; ++i) out[i] = one(cols[3 * i], cols[3 * i + 1], cols[3 * i + 2]);
}

namespace {

template <class T>
inline T read_at(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}

}  // namespace

bool ColourLookup::lambdas(const ColourRows& cols, double* out, Interrupt* stop) const {
    // Small calls skip the memo: clearing it would cost more than it saves.
    const bool memo_on = cols.n >= 64;
    std::vector<uint32_t> keys(memo_on ? size_t(1) << kMemoBits : 0, kNoKey);
    std::vector<uint16_t> vals(keys.size());
    auto whole = [&](uint32_t r, uint32_t g, uint32_t b) -> int64_t {
        if (!memo_on) return one(r, g, b);
        const uint32_t key = (r << 16) | (g << 8) | b;
        const uint32_t s = memo_slot(key);
        if (keys[s] == key) return vals[s];
        const int64_t row = one(r, g, b);
        if (row <= 0xFFFF) {
            keys[s] = key;
            vals[s] = static_cast<uint16_t>(row);
        }
        return row;
    };
    const char* p = cols.base;
    const ptrdiff_t cs = cols.col_stride;
    for (size_t i = 0; i < cols.n; ++i, p += cols.row_stride) {
        if ((i & 4095) == 4095 && stop_requested(stop)) return false;
        int64_t row;
        if (cols.type == ColourRows::Type::u8) {
            row = whole(static_cast<uint8_t>(p[0]), static_cast<uint8_t>(p[cs]), static_cast<uint8_t>(p[2 * cs]));
        } else {
            const double c0 = read_at<double>(p), c1 = read_at<double>(p + cs), c2 = read_at<double>(p + 2 * cs);
            uint32_t r, g, b;
            if (byte_value(c0, &r) && byte_value(c1, &g) && byte_value(c2, &b))
                row = whole(r, g, b);
            else
                row = one(c0, c1, c2);
        }
        out[i] = static_cast<double>(row) / 255.0;
    }
    return true;
}

}  // namespace vis
