#include "kernels/poles.h"

#include <cmath>
#include <type_traits>

namespace vis {

namespace {

constexpr double kDeg2Rad = 3.141592653589793238462643383279502884 / 180.0;

// Ascending order of a sort key with NaN after every number (NumPy's sort order).
inline bool key_less(double a, double b) { return !std::isnan(a) && (std::isnan(b) || a < b); }

template <class T>
inline int cmp_id(const T& a, const T& b) {
    if constexpr (std::is_floating_point_v<T>) {
        if (key_less(a, b)) return -1;
        if (key_less(b, a)) return 1;
        return 0;
    } else {
        return a < b ? -1 : (b < a ? 1 : 0);
    }
}

// The first candidate under a stable lexicographic sort by (k1, k2, id): a
// later candidate replaces the current one only when its keys are smaller.
template <class T>
struct Leader {
    int64_t index = -1;
    double k1 = 0.0, k2 = 0.0;
    T id{};

    void offer(size_t i, double c1, double c2, const T& cid) {
        bool better = index < 0;
        if (!better) {
            if (key_less(c1, k1))
                better = true;
            else if (!key_less(k1, c1)) {
                if (key_less(c2, k2))
                    better = true;
                else if (!key_less(k2, c2))
                    better = cmp_id(cid, id) < 0;
            }
        }
        if (better) {
            index = static_cast<int64_t>(i);
            k1 = c1;
            k2 = c2;
            id = cid;
        }
    }
};

template <class T>
PoleChoice choose(const uint8_t* mask, size_t n, const double* col, size_t cols, const double* signals,
                  const T* ids) {
    PoleChoice out;
    Leader<T> metal, voids;
    for (size_t i = 0; i < n; ++i) {
        if (!mask[i]) continue;
        const double* c = col + i * cols;
        double kutup = c[0] - c[2];
        double s_metal = kutup * 256.0 - c[1];
        double s_void = -kutup * 256.0 - c[1];
        double sig = 0.0;
        if (signals) {
            sig = signals[i];
            if (!std::isfinite(sig)) sig = 0.0;
        }
        T id = ids ? ids[i] : static_cast<T>(i);
        metal.offer(i, -s_metal, -sig, id);  // larger score, then larger signal, then smaller id
        voids.offer(i, -s_void, sig, id);    // larger score, then smaller signal, then smaller id
    }
    const int64_t bm = metal.index, bv = voids.index;
    if (bm >= 0 && pole_polarity(col + static_cast<size_t>(bm) * cols) > 25.0) out.metal = bm;
    if (bv >= 0 && pole_polarity(col + static_cast<size_t>(bv) * cols) < -25.0) out.voids = bv;
    return out;
}

}  // namespace

void poles_sample_image(const double* b, size_t sb, const double* r, size_t sr, size_t n, double r_off,
                        double scale, const uint8_t* pix, size_t W, size_t H, size_t bpl, uint8_t* mask,
                        double* rgb) {
    const double half_w = static_cast<double>(W) / 2.0, half_h = static_cast<double>(H) / 2.0;
    const double wd = static_cast<double>(W), hd = static_cast<double>(H);
    for (size_t i = 0; i < n; ++i) {
        if (!mask[i]) continue;
        double angle = b[i * sb] * kDeg2Rad;
        double distance = (r[i * sr] - r_off) * scale;
        double x = std::nearbyint(half_w + std::sin(angle) * distance);
        double y = std::nearbyint(half_h - std::cos(angle) * distance);
        if (!(x >= 0.0 && x < wd && y >= 0.0 && y < hd)) {
            mask[i] = 0;
            continue;
        }
        const uint8_t* px = pix + static_cast<size_t>(y) * bpl + 4 * static_cast<size_t>(x);
        if (px[3] == 0) {
            mask[i] = 0;
            continue;
        }
        rgb[3 * i] = px[0];
        rgb[3 * i + 1] = px[1];
        rgb[3 * i + 2] = px[2];
    }
}

PoleChoice poles_choose(const uint8_t* mask, size_t n, const double* col, size_t cols, const double* signals,
                        PoleIds kind, const void* ids) {
    switch (kind) {
        case PoleIds::Int64:
            return choose(mask, n, col, cols, signals, static_cast<const int64_t*>(ids));
        case PoleIds::UInt64:
            return choose(mask, n, col, cols, signals, static_cast<const uint64_t*>(ids));
        case PoleIds::Float64:
            return choose(mask, n, col, cols, signals, static_cast<const double*>(ids));
        case PoleIds::Position:
        default:
            return choose<int64_t>(mask, n, col, cols, signals, nullptr);
    }
}

}  // namespace vis
