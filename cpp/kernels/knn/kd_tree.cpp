// The k-d tree: construction and the bounded k-best search.
#include "kernels/knn.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace vis {

namespace {

// Points per leaf: a leaf scan of a dozen 2-D points costs about as much as
// the two box distances of one more level, where the search time bottoms out.
constexpr size_t kLeaf = 12;

struct Cand {
    double d2;
    int64_t i;
};

inline bool heap_less(const Cand& a, const Cand& b) { return a.d2 < b.d2; }

// Total order for a direct scan: numbers ascending, NaN last, then row number.
inline bool scan_less(const Cand& a, const Cand& b) {
    bool na = std::isnan(a.d2), nb = std::isnan(b.d2);
    if (na != nb) return nb;
    if (!na && a.d2 != b.d2) return a.d2 < b.d2;
    return a.i < b.i;
}

template <size_t D>
inline double sqdist(const double* q, const double* p, size_t dim) {
    double acc = 0.0;
    if constexpr (D != 0) {
        for (size_t c = 0; c < D; ++c) {
            double t = q[c] - p[c];
            acc += t * t;
        }
    } else {
        for (size_t c = 0; c < dim; ++c) {
            double t = q[c] - p[c];
            acc += t * t;
        }
    }
    return acc;
}

// Lower bound of sqdist(q, p) over every p inside the box [lo, hi]: each term
// is at most the point's term (rounded subtraction and squaring are monotone)
// and the terms are added in the same order, so the bound never exceeds the
// exact formula's value for any point of the box.
template <size_t D>
inline double boxdist(const double* q, const double* lo, const double* hi, size_t dim) {
    double acc = 0.0;
    size_t nd = D != 0 ? D : dim;
    for (size_t c = 0; c < nd; ++c) {
        double t = 0.0;
        if (q[c] < lo[c])
            t = lo[c] - q[c];
        else if (q[c] > hi[c])
            t = q[c] - hi[c];
        acc += t * t;
    }
    return acc;
}

bool all_finite(const double* p, size_t dim) {
    for (size_t c = 0; c < dim; ++c)
        if (!std::isfinite(p[c])) return false;
    return true;
}

size_t mul_or_throw(size_t a, size_t b) {
    size_t r;
    if (__builtin_mul_overflow(a, b, &r)) throw std::length_error("point array too large");
    return r;
}

// k-best search state for one query: the best candidates so far, sorted
// ascending (insertion for small k), or a max-heap for large k.
struct KBest {
    Cand* h;
    size_t k, n = 0;
    // Insertion into a sorted row moves k/2 entries on average, a heap log2(k)
    // swaps of costlier steps; the two cross near two dozen neighbours.
    bool heap = k > 24;
    double worst() const { return n < k ? std::numeric_limits<double>::infinity() : (heap ? h[0].d2 : h[n - 1].d2); }
    bool full() const { return n == k; }
    void offer(double d2, int64_t i) {
        if (!heap) {
            if (n == k && !(d2 < h[n - 1].d2)) return;
            size_t j = n < k ? n++ : n - 1;
            while (j > 0 && h[j - 1].d2 > d2) {
                h[j] = h[j - 1];
                --j;
            }
            h[j] = {d2, i};
            return;
        }
        if (n < k) {
            h[n++] = {d2, i};
            std::push_heap(h, h + n, heap_less);
        } else if (d2 < h[0].d2) {
            std::pop_heap(h, h + n, heap_less);
            h[n - 1] = {d2, i};
            std::push_heap(h, h + n, heap_less);
        }
    }
    void finish() {
        if (heap) std::sort_heap(h, h + n, heap_less);
    }
};

}  // namespace

KdTree::KdTree(const double* pts, size_t n, size_t dim, Interrupt* stop) : n_(n), dim_(dim) {
    if (n > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
        throw std::length_error("too many points for the k-d tree");
    size_t total = mul_or_throw(n, dim);
    all_.assign(pts, pts + total);
    order_.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        if (all_finite(all_.data() + i * dim, dim))
            order_.push_back(static_cast<int64_t>(i));
        else
            nonfinite_.push_back(static_cast<int64_t>(i));
    }
    nfinite_ = order_.size();
    if (nfinite_ == 0 || dim == 0) return;
    nodes_.reserve(2 * (nfinite_ / kLeaf + 1));
    nodes_.push_back({0u, static_cast<uint32_t>(nfinite_), -1, -1});
    build(0, 0, stop);
    pts_.resize(mul_or_throw(nfinite_, dim));
    for (size_t t = 0; t < nfinite_; ++t)
        std::copy_n(all_.data() + static_cast<size_t>(order_[t]) * dim, dim, pts_.data() + t * dim);
}

void KdTree::build(int32_t node, int depth, Interrupt* stop) {
    const size_t dim = dim_;
    uint32_t b = nodes_[node].begin, e = nodes_[node].end;
    size_t off = box_.size();
    box_.resize(off + 2 * dim);
    // Box index must match node index: nodes are created in the same order.
    double* lo = box_.data() + off;
    double* hi = lo + dim;
    for (size_t c = 0; c < dim; ++c) {
        lo[c] = std::numeric_limits<double>::infinity();
        hi[c] = -std::numeric_limits<double>::infinity();
    }
    for (uint32_t t = b; t < e; ++t) {
        const double* p = all_.data() + static_cast<size_t>(order_[t]) * dim;
        for (size_t c = 0; c < dim; ++c) {
            lo[c] = std::min(lo[c], p[c]);
            hi[c] = std::max(hi[c], p[c]);
        }
    }
    if (e - b <= kLeaf || depth > 200) return;
    // Big nodes only: a poll per node of thousands of points is free.
    if (e - b > 4096 && stop_requested(stop)) return;
    size_t sd = 0;
    double ext = -1.0;
    for (size_t c = 0; c < dim; ++c) {
        double x = hi[c] - lo[c];
        if (x > ext) {
            ext = x;
            sd = c;
        }
    }
    if (!(ext > 0.0)) return;  // all points coincide: one leaf
    uint32_t mid = b + (e - b) / 2;
    const double* base = all_.data();
    std::nth_element(order_.begin() + b, order_.begin() + mid, order_.begin() + e,
                     [base, dim, sd](int64_t x, int64_t y) {
                         return base[static_cast<size_t>(x) * dim + sd] <
                                base[static_cast<size_t>(y) * dim + sd];
                     });
    int32_t l = static_cast<int32_t>(nodes_.size());
    nodes_.push_back({b, mid, -1, -1});
    nodes_[node].left = l;
    build(l, depth + 1, stop);
    int32_t r = static_cast<int32_t>(nodes_.size());
    nodes_.push_back({mid, e, -1, -1});
    nodes_[node].right = r;
    build(r, depth + 1, stop);
}

namespace {

template <size_t D, class NodeT>
void search(const NodeT* nodes, const double* box, const double* pts, const int64_t* order,
            size_t dim, const double* q, int32_t node, double bound, KBest& kb) {
    if (kb.full() && bound > kb.worst()) return;
    const NodeT& nd = nodes[node];
    if (nd.left < 0) {
        for (uint32_t t = nd.begin; t < nd.end; ++t) {
            double d2 = sqdist<D>(q, pts + static_cast<size_t>(t) * dim, dim);
            kb.offer(d2, order[t]);
        }
        return;
    }
    const size_t bw = 2 * dim;
    double bl = boxdist<D>(q, box + nd.left * bw, box + nd.left * bw + dim, dim);
    double br = boxdist<D>(q, box + nd.right * bw, box + nd.right * bw + dim, dim);
    if (bl <= br) {
        search<D>(nodes, box, pts, order, dim, q, nd.left, bl, kb);
        search<D>(nodes, box, pts, order, dim, q, nd.right, br, kb);
    } else {
        search<D>(nodes, box, pts, order, dim, q, nd.right, br, kb);
        search<D>(nodes, box, pts, order, dim, q, nd.left, bl, kb);
    }
}

}  // namespace

template <class Sink>
bool KdTree::query_impl(const double* q, size_t nq, size_t k, Sink&& sink, Interrupt* stop) const {
    if (nq == 0) return true;
    if (k < 1 || k > n_) throw std::invalid_argument("k must lie between 1 and the number of points");
    const size_t dim = dim_;
    std::vector<Cand> row(k);
    std::vector<Cand> scan;
    const bool tree_ok = !nodes_.empty() && nfinite_ > 4 * kLeaf && 4 * k < nfinite_;
    for (size_t i = 0; i < nq; ++i) {
        // Tree searches are short: a poll every 64 of them; a direct scan of
        // every point polls on its own below.
        if ((i & 63) == 0 && stop_requested(stop)) return false;
        const double* qi = q + i * dim;
        if (tree_ok && all_finite(qi, dim)) {
            KBest kb{row.data(), k};
            double b0 = dim == 2 ? boxdist<2>(qi, box_.data(), box_.data() + dim, dim)
                                 : boxdist<0>(qi, box_.data(), box_.data() + dim, dim);
            if (dim == 2)
                search<2>(nodes_.data(), box_.data(), pts_.data(), order_.data(), dim, qi, 0, b0, kb);
            else if (dim == 3)
                search<3>(nodes_.data(), box_.data(), pts_.data(), order_.data(), dim, qi, 0, b0, kb);
            else
                search<0>(nodes_.data(), box_.data(), pts_.data(), order_.data(), dim, qi, 0, b0, kb);
            // k <= nfinite_/4 here, so the finite points alone fill the row.
            kb.finish();
            sink(i, row.data());
        } else {
            if (stop_requested(stop)) return false;
            scan.resize(n_);
            for (size_t j = 0; j < n_; ++j)
                scan[j] = {sqdist<0>(qi, all_.data() + j * dim, dim), static_cast<int64_t>(j)};
            std::partial_sort(scan.begin(), scan.begin() + k, scan.end(), scan_less);
            sink(i, scan.data());
        }
    }
    return true;
}

bool KdTree::query(const double* q, size_t nq, size_t k, double* dist, int64_t* idx, Interrupt* stop) const {
    return query_impl(
        q, nq, k,
        [&](size_t i, const Cand* c) {
            for (size_t j = 0; j < k; ++j) {
                dist[i * k + j] = std::sqrt(c[j].d2);
                idx[i * k + j] = c[j].i;
            }
        },
        stop);
}

bool KdTree::kth_distance(const double* q, size_t nq, size_t k, double* dist_k, Interrupt* stop) const {
    return query_impl(q, nq, k, [&](size_t i, const Cand* c) { dist_k[i] = std::sqrt(c[k - 1].d2); }, stop);
}

}  // namespace vis
