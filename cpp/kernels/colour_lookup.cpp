#include "kernels/colour_lookup.h"

#include <cmath>
#include <stdexcept>

namespace vis {

namespace {

constexpr uint32_t kEmpty = 0xFFFFFFFFu;

inline bool is_byte_value(double v) { return v >= 0.0 && v <= 255.0 && v == std::floor(v); }

inline uint32_t slot_of(uint32_t key, size_t mask) {
    return static_cast<uint32_t>((key * 2654435761u) >> 7) & static_cast<uint32_t>(mask);
}

}  // namespace

ColourLookup::ColourLookup(const double* rows, size_t nrows) : nrows_(nrows) {
    if (nrows == 0) throw std::invalid_argument("colour table has no rows");
    if (nrows > (size_t(1) << 40)) throw std::length_error("colour table too large");
    rows_.assign(rows, rows + nrows * 3);
    hashed_ = nrows <= 4096;
    for (size_t i = 0; hashed_ && i < nrows * 3; ++i) hashed_ = is_byte_value(rows_[i]);
    if (!hashed_) return;
    size_t cap = 16;
    while (cap < 4 * nrows) cap <<= 1;
    keys_.assign(cap, kEmpty);
    vals_.assign(cap, -1);
    for (size_t i = 0; i < nrows; ++i) {
        const double* r = rows_.data() + 3 * i;
        uint32_t key = (static_cast<uint32_t>(r[0]) << 16) | (static_cast<uint32_t>(r[1]) << 8) |
                       static_cast<uint32_t>(r[2]);
        size_t s = slot_of(key, cap - 1);
        while (keys_[s] != kEmpty && keys_[s] != key) s = (s + 1) & (cap - 1);
        if (keys_[s] == kEmpty) {  // first (lowest) row of this colour wins
            keys_[s] = key;
            vals_[s] = static_cast<int64_t>(i);
        }
    }
}

int64_t ColourLookup::exact(const double* c) const {
    if (!is_byte_value(c[0]) || !is_byte_value(c[1]) || !is_byte_value(c[2])) return -1;
    uint32_t key = (static_cast<uint32_t>(c[0]) << 16) | (static_cast<uint32_t>(c[1]) << 8) |
                   static_cast<uint32_t>(c[2]);
    size_t mask = keys_.size() - 1;
    size_t s = slot_of(key, mask);
    while (keys_[s] != kEmpty) {
        if (keys_[s] == key) return vals_[s];
        s = (s + 1) & mask;
    }
    return -1;
}

int64_t ColourLookup::scan(const double* c) const {
    const double* r = rows_.data();
    int64_t best_i = 0;
    double best = 0.0;
    for (size_t i = 0; i < nrows_; ++i, r += 3) {
        double t0 = c[0] - r[0], t1 = c[1] - r[1], t2 = c[2] - r[2];
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

void ColourLookup::nearest(const double* cols, size_t n, int64_t* out) const {
    for (size_t i = 0; i < n; ++i) {
        const double* c = cols + 3 * i;
        int64_t hit = hashed_ ? exact(c) : -1;
        out[i] = hit >= 0 ? hit : scan(c);
    }
}

}  // namespace vis
