// The canonical sonar blob field: an adaptive-radius, compact-support
// Franke-Shepard splat of lambda over a G x G grid covering [-top, top]^2
// metres, with a weak prior at lambda 0.5, coverage-based opacity and a rim
// fade, turned into premultiplied RGBA bytes (row 0 north).
//
// The work is split around the two steps that need outside help: the
// distance of every target to its k-th nearest neighbour (a k-d tree) and the
// colouring of the lambda grid (the shared palette).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "kernels/interrupt.h"

namespace vis {

struct BlobConstants {
    double kappa, rmin_px, rmin_top, rmax_top, w0, cov_lo, cov_hi, a_max, rim_fade, sm_ratio;
    int64_t nbuck;
};

// Finite targets in the view plane, with the radius limits.
struct BlobTargets {
    std::vector<double> X, Y, r, lam;  // east, north, range, lambda
    double r_min = 0.0, r_max = 0.0;
};

// Keeps the targets whose bearing b (degrees) and range r are both finite and
// places them at X = sin(b * pi/180) * r, Y = cos(b * pi/180) * r. Returns
// false when no target is finite.
bool blob_targets(const double* b, const double* r, const double* lam, size_t n, double top,
                  double scale, const BlobConstants& k, BlobTargets& out);

// An allocator that leaves doubles uninitialised when a vector grows without
// a value (resize): the contents of a work array are written before use.
template <class T>
struct UninitAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitAllocator<U>;
    };
    UninitAllocator() = default;
    template <class U>
    UninitAllocator(const UninitAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
using WorkVector = std::vector<double, UninitAllocator<double>>;

// A float64 work array taken from the process's pool of spare arrays and
// given back when it goes, so that calls reuse memory that is already mapped.
// A call owns the arrays it took for as long as it holds them: another
// thread's call, or one nested in it on the same thread (a finaliser run
// while the outer call waits for the palette), finds only other arrays in the
// pool, or none.
class ScratchArray {
public:
    ScratchArray() = default;
    ~ScratchArray();
    ScratchArray(const ScratchArray&) = delete;
    ScratchArray& operator=(const ScratchArray&) = delete;

    void assign(size_t n, double value);  // n copies of value
    void resize(size_t n);                // contents unspecified
    double* data() { return v_.data(); }
    const double* data() const { return v_.data(); }
    size_t size() const { return v_.size(); }
    double& operator[](size_t i) { return v_[i]; }
    double operator[](size_t i) const { return v_[i]; }

private:
    void take();
    WorkVector v_;
    bool taken_ = false;
};

// The opacity of every cell, rows south to north, owned by the call that
// fills it.
struct BlobGrid {
    int G = 0;
    ScratchArray alpha;  // G * G opacities
};

// G, the cells of the grid's side: 2 * top * scale / max(cell_px, 2) rounded
// half to even, clipped to 48 .. 601, made odd. Throws std::overflow_error
// (infinite) or std::domain_error (NaN) when it cannot be rounded.
int blob_grid_size(double top, double scale, double cell_px);

// Radii (from sig, the k-th neighbour distance of every finite target, or
// nullptr when no search was made), visibility, splat, lambda into `field`
// (G * G values, rows south to north, G = blob_grid_size(top, scale,
// cell_px)), opacity and rim fade. Returns false when no target lies within
// top + r_max, or when `stop` asked to stop during the scatter, the only long
// part (outputs unspecified then).
// Throws as blob_grid_size does, std::bad_alloc when a kernel stencil would
// be unreasonably large, std::invalid_argument for a bucket count below 1.
bool blob_splat(const BlobTargets& t, const double* sig, double power, double softness,
                double cell_px, double top, double scale, const BlobConstants& k, BlobGrid& out,
                double* field, Interrupt* stop = nullptr);

// Premultiplied bytes: R, G, B = trunc(clip(rgb * alpha, 0, 255)),
// A = trunc(clip(alpha * 255, 0, 255)), NaN giving 0; rows flipped so that
// out row 0 is the northernmost grid row. `rgb` holds G * G colours with
// `stride` values per cell (R, G, B first).
void blob_bytes(const uint8_t* rgb, size_t stride, const double* alpha, int G, uint8_t* out);
void blob_bytes(const double* rgb, size_t stride, const double* alpha, int G, uint8_t* out);

}  // namespace vis
