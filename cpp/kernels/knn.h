// Exact k-nearest-neighbour search over a fixed point set (any dimension,
// tuned for 2-D): a k-d tree with leaf buckets and a bounded k-best search.
//
// Distances are exactly those of the brute-force formula
//     d = sqrt( sum over c = 0 .. dim-1, in that order, of (q[c] - p[c])^2 )
// evaluated in IEEE double (the pruning bound is a floating-point lower bound
// of that same sum, so the tree never changes which distances win).
//
// Ordering of a result row: ascending distance; a NaN distance ranks after
// every number (+inf included), as NumPy's sort puts it. Among exactly equal
// distances the order is unspecified.
//
// Non-finite input:
//   * Points with a NaN or infinite coordinate are kept out of the tree and
//     searched directly; their distance to a finite query is +inf or NaN, so
//     they only appear once the finite points are used up. They never affect
//     the results among the other points.
//   * A query with a non-finite coordinate is answered by a direct scan over
//     all points with the same formula. A query with a NaN coordinate has NaN
//     distance to every point: its row is all NaN with indices 0, 1, ..., k-1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/interrupt.h"

namespace vis {

class KdTree {
public:
    // Copies the n x dim row-major points; the caller's buffer is not kept.
    // n = 0 is allowed (the tree can then only answer empty queries). When
    // `stop` asks to stop, construction ends early and the tree must not be
    // used (the caller sees stop->stopped()).
    KdTree(const double* pts, size_t n, size_t dim, Interrupt* stop = nullptr);

    size_t size() const { return n_; }
    size_t dim() const { return dim_; }
    // The copied points, original order (size() x dim()).
    const double* points() const { return all_.data(); }

    // For each of the nq row-major query points q (nq x dim), the k nearest
    // points: dist[i*k + j] and idx[i*k + j] (row i sorted ascending, column 0
    // the nearest). idx are row numbers of the constructor's point array.
    // Requires 1 <= k <= size() unless nq == 0 (nothing is written then);
    // throws std::invalid_argument otherwise. Thread-safe (const, no state).
    // Returns false (outputs unspecified) when `stop` asked to stop.
    bool query(const double* q, size_t nq, size_t k, double* dist, int64_t* idx,
               Interrupt* stop = nullptr) const;

    // Same as query, but answers only the k-th nearest distance of each query
    // point (dist_k[i]); no index output.
    bool kth_distance(const double* q, size_t nq, size_t k, double* dist_k, Interrupt* stop = nullptr) const;

private:
    struct Node {
        uint32_t begin, end;  // range in order_ / pts_
        int32_t left, right;  // children, -1 for a leaf
    };

    void build(int32_t node, int depth, Interrupt* stop);
    template <class Sink>
    bool query_impl(const double* q, size_t nq, size_t k, Sink&& sink, Interrupt* stop) const;

    size_t n_ = 0, dim_ = 0;
    size_t nfinite_ = 0;
    std::vector<double> all_;         // all points, original order (n x dim)
    std::vector<double> pts_;         // finite points in tree order (nfinite x dim)
    std::vector<int64_t> order_;      // tree order -> original row
    std::vector<int64_t> nonfinite_;  // original rows with a non-finite coordinate
    std::vector<Node> nodes_;
    std::vector<double> box_;         // per node: lo[dim], hi[dim]
};

// For each of the n points of the row-major 2-D array xy (x, y pairs), the
// distance to its k-th nearest point of the same set, the point itself
// counting as the first: the same values, to the bit, as
// KdTree(xy, n, 2).kth_distance(xy, n, k, dist_k). Finite point sets that are
// not strongly clustered are searched through a uniform grid of cells, in
// cell order, on all processors for large sets unless `all_processors` is
// false (then on the caller's thread alone); the others through the tree.
// Requires 1 <= k <= n unless n == 0; throws std::invalid_argument otherwise.
// Returns false (outputs unspecified) when `stop` asked to stop.
bool kth_distance_self_2d(const double* xy, size_t n, size_t k, double* dist_k, Interrupt* stop = nullptr,
                          bool all_processors = true);

}  // namespace vis
