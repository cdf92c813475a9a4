#include "kernels/knn.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <thread>

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


namespace {

// The K smallest squared distances offered so far, ascending, padded with
// +inf: a sorted insert that drops the largest, built from min/max only so
// that no comparison outcome steers the control flow (the outcomes are
// unpredictable, and a mispredicted branch costs more than the whole insert).
template <int K>
struct SmallestK {
    double h[K];
    SmallestK() {
        for (int j = 0; j < K; ++j) h[j] = std::numeric_limits<double>::infinity();
    }
    void offer(double v) {
        double nh[K];
        nh[0] = std::min(h[0], v);
        for (int j = 1; j < K; ++j) nh[j] = std::min(h[j], std::max(h[j - 1], v));
        for (int j = 0; j < K; ++j) h[j] = nh[j];
    }
};

// Finite 2-D points sorted into a uniform grid of nx x ny cells of size cs
// (row-major cells, points of cell c at start[c] .. start[c+1]-1). Cell
// column c spans [bx[c], bx[c + 1]), row c [by[c], by[c + 1]).
struct CellGrid {
    const double *px, *py;
    const uint32_t* start;
    const double *bx, *by;
    int32_t nx, ny;
    double slack;
};

// k-th nearest squared distance of every grid point (in grid order): the
// 3 x 3 block of cells around its own first, then growing square rings of
// cells, each cell skipped when no point in it can be nearer than the k-th
// best so far; -1 where the rings allowed did not settle it (`unsettled` is
// then set).
//
// A point of a cell lies at least the cell's gap from the query along each
// axis, and a point outside the searched block at least the block's margin
// along one. Gaps and margins are shrunk by `slack`, far more than the
// rounding of the cell assignment and of the boundaries, so (rounded
// subtraction, squaring and addition being monotone) a bound built from them
// never exceeds the computed squared distance of any point it covers: a cell
// whose bound is at least the k-th best cannot change it, and once the k-th
// best is at most the block's squared margin no point left can.
//
// Takes cell rows kRowsPerTake at a time from `next_row` until none is left,
// so that threads searching at the same time share the rows however fast
// each runs. Between rows it stops early (returning false) once `abort` is
// set or `stop` asks to stop; `stop` is polled only by the thread that owns
// it, which then sets `abort` for the others.
template <int K>
bool grid_kth(const CellGrid& g, size_t k, double* out, std::atomic<int32_t>& next_row, Interrupt* stop,
              std::atomic<bool>& abort, bool& unsettled) {
    // Rings beyond six cells mean a sparse patch: the tree finishes those.
    constexpr int32_t kMaxRing = 6;
    // Two rows of cells hold about three times as many points as the grid
    // has columns: a take costs nothing beside that.
    constexpr int32_t kRowsPerTake = 2;
    const double inf = std::numeric_limits<double>::infinity();
    const int32_t nx = g.nx, ny = g.ny;
    const double slack = g.slack;
    for (int32_t cy = 0, cy_end = 0;; ++cy) {
        if (cy == cy_end) {
            cy = next_row.fetch_add(kRowsPerTake, std::memory_order_relaxed);
            if (cy >= ny) return true;
            cy_end = std::min(cy + kRowsPerTake, ny);
        }
        if (abort.load(std::memory_order_relaxed)) return false;
        if (stop_requested(stop)) {
            abort.store(true, std::memory_order_relaxed);
            return false;
        }
        const int32_t ya = std::max(cy - 1, 0), yb = std::min(cy + 1, ny - 1);
        for (int32_t cx = 0; cx < nx; ++cx) {
            const size_t c = static_cast<size_t>(cy) * nx + cx;
            const int32_t xa = std::max(cx - 1, 0), xb = std::min(cx + 1, nx - 1);
            for (uint32_t t = g.start[c]; t < g.start[c + 1]; ++t) {
                const double qx = g.px[t], qy = g.py[t];
                SmallestK<K> kb;
                auto scan = [&](int32_t row, int32_t c0, int32_t c1) {
                    const size_t base = static_cast<size_t>(row) * nx;
                    const uint32_t b = g.start[base + c0], e = g.start[base + c1 + 1];
                    for (uint32_t u = b; u < e; ++u) {
                        const double dx = qx - g.px[u];
                        const double dy = qy - g.py[u];
                        kb.offer(dx * dx + dy * dy);
                    }
                };
                // Squared gap between the query and the cells of column
                // cx + o (row cy + o), 0 for its own column (row).
                auto gap2 = [&](const double* bnd, int32_t c0, double q, int32_t o) {
                    double d = o > 0 ? bnd[c0 + o] - q : (o < 0 ? q - bnd[c0 + o + 1] : 0.0);
                    d = d - slack;
                    return d > 0.0 ? d * d : 0.0;
                };
                for (int32_t row = ya; row <= yb; ++row) scan(row, xa, xb);
                double res = -1.0;
                for (int32_t r = 1;; ++r) {
                    // Margin of the block of rings 0 .. r.
                    double m = inf;
                    if (cx - r > 0) m = std::min(m, qx - g.bx[cx - r]);
                    if (cx + r + 1 < nx) m = std::min(m, g.bx[cx + r + 1] - qx);
                    if (cy - r > 0) m = std::min(m, qy - g.by[cy - r]);
                    if (cy + r + 1 < ny) m = std::min(m, g.by[cy + r + 1] - qy);
                    const double worst = kb.h[k - 1];
                    if (m == inf) {  // the whole grid has been searched
                        res = worst;
                        break;
                    }
                    m -= slack;
                    if (m > 0.0 && worst <= m * m) {  // worst < inf: k points seen
                        res = worst;
                        break;
                    }
                    if (r == kMaxRing) break;
                    // Ring r + 1, cell by cell.
                    const int32_t o = r + 1;
                    const int32_t ox0 = std::max(-o, -cx), ox1 = std::min(o, nx - 1 - cx);
                    for (int32_t oy : {-o, o}) {
                        if (cy + oy < 0 || cy + oy >= ny) continue;
                        const double gy = gap2(g.by, cy, qy, oy);
                        if (!(gy < kb.h[k - 1])) continue;
                        for (int32_t ox = ox0; ox <= ox1; ++ox)
                            if (gy + gap2(g.bx, cx, qx, ox) < kb.h[k - 1]) scan(cy + oy, cx + ox, cx + ox);
                    }
                    const int32_t oy0 = std::max(-r, -cy), oy1 = std::min(r, ny - 1 - cy);
                    for (int32_t ox : {-o, o}) {
                        if (cx + ox < 0 || cx + ox >= nx) continue;
                        const double gx = gap2(g.bx, cx, qx, ox);
                        if (!(gx < kb.h[k - 1])) continue;
                        for (int32_t oy = oy0; oy <= oy1; ++oy)
                            if (gx + gap2(g.by, cy, qy, oy) < kb.h[k - 1]) scan(cy + oy, cx + ox, cx + ox);
                    }
                }
                if (res < 0.0) unsettled = true;
                out[t] = res;
            }
        }
    }
}

// Threads that help the caller search, started before the cell grid is
// built so that their start-up overlaps the building. They wait until `go`
// hands them their part of the work (the helper's number, 1, 2, ...), or
// until the helpers are dropped without work.
class SearchHelpers {
public:
    explicit SearchHelpers(unsigned count) {
        for (unsigned b = 1; b <= count; ++b) {
            try {
                threads_.emplace_back([this, b] {
                    state_.wait(kWaiting);
                    if (state_.load() == kGo) job_(b);
                });
            } catch (...) {  // no thread to be had: the others take its rows
                break;
            }
        }
    }
    ~SearchHelpers() {
        if (state_.load() == kWaiting) {
            state_.store(kQuit);
            state_.notify_all();
        }
        join();
    }
    SearchHelpers(const SearchHelpers&) = delete;
    SearchHelpers& operator=(const SearchHelpers&) = delete;

    unsigned count() const { return static_cast<unsigned>(threads_.size()); }
    void go(std::function<void(unsigned)> job) {
        job_ = std::move(job);
        state_.store(kGo);
        state_.notify_all();
    }
    void join() {
        for (auto& t : threads_)
            if (t.joinable()) t.join();
    }

private:
    static constexpr int kWaiting = 0, kGo = 1, kQuit = 2;
    std::vector<std::thread> threads_;
    std::atomic<int> state_{kWaiting};
    std::function<void(unsigned)> job_;
};

// Helpers for a search over n points: none below a few thousand points,
// where a search takes well under a millisecond and starting a thread would
// cost more than it saves; otherwise one per further processor, at most
// seven (the search is short and memory bound: more gain little).
std::unique_ptr<SearchHelpers> search_helpers(size_t n) {
    constexpr size_t kThreadedPoints = 4096;
    constexpr unsigned kMaxThreads = 8;
    if (n < kThreadedPoints) return nullptr;
    const unsigned nt = std::min(std::thread::hardware_concurrency(), kMaxThreads);
    return nt > 1 ? std::make_unique<SearchHelpers>(nt - 1) : nullptr;
}

// The grid search over all cell rows, shared by the caller and the helpers.
// Each row's points are searched by one thread, which writes only their
// entries of `out`. Returns false when stopped.
template <int K>
bool grid_kth_all(const CellGrid& g, size_t k, double* out, SearchHelpers* helpers, Interrupt* stop,
                  bool& unsettled) {
    std::atomic<bool> abort{false};
    std::atomic<int32_t> next_row{0};
    const unsigned nt = 1 + (helpers ? helpers->count() : 0);
    std::unique_ptr<bool[]> thread_unsettled(new bool[nt]());
    if (helpers)
        helpers->go([&](unsigned b) { grid_kth<K>(g, k, out, next_row, nullptr, abort, thread_unsettled[b]); });
    const bool done = grid_kth<K>(g, k, out, next_row, stop, abort, thread_unsettled[0]);
    if (helpers) helpers->join();
    for (unsigned b = 0; b < nt; ++b) unsettled = unsettled || thread_unsettled[b];
    return done && !abort.load();
}

}  // namespace

bool kth_distance_self_2d(const double* xy, size_t n, size_t k, double* dist_k, Interrupt* stop,
                          bool all_processors) {
    if (n == 0) return true;
    if (k < 1 || k > n) throw std::invalid_argument("k must lie between 1 and the number of points");
    // Started first: they come up while the grid is built, and are let go
    // unused when the tree answers instead.
    const std::unique_ptr<SearchHelpers> helpers = all_processors && k <= 32 ? search_helpers(n) : nullptr;
    auto by_tree = [&] {
        KdTree tree(xy, n, 2, stop);
        return !(stop && stop->stopped()) && tree.kth_distance(xy, n, k, dist_k, stop);
    };
    // Coordinate extent; a non-finite coordinate leaves the general tree in charge.
    double xmin = std::numeric_limits<double>::infinity(), xmax = -xmin, ymin = xmin, ymax = -xmin;
    bool finite = true;
    for (size_t i = 0; i < n; ++i) {
        const double x = xy[2 * i], y = xy[2 * i + 1];
        finite = finite && std::isfinite(x) && std::isfinite(y);
        xmin = std::min(xmin, x);
        xmax = std::max(xmax, x);
        ymin = std::min(ymin, y);
        ymax = std::max(ymax, y);
    }
    // Under 64 points the tree is as quick; the grid search keeps at most 32
    // neighbours per point; cell numbers must fit in 32 bits.
    if (!finite || n < 64 || k > 32 || n > (size_t(1) << 30)) return by_tree();
    const double W = xmax - xmin, H = ymax - ymin;
    // About kPerCell points per cell over the extent (a line of points gets
    // cells along its length): with one and a half per cell the 3 x 3 block
    // around a point, plus a few cells of the next ring, settles seven
    // neighbours, the host's count; measured quickest among 1, 1.5, 2 and 3.
    constexpr double kPerCell = 1.5;
    const double cs = std::max(std::sqrt(W * H * kPerCell / static_cast<double>(n)),
                               std::max(W, H) * kPerCell / static_cast<double>(n));
    const double cells_x = W / cs, cells_y = H / cs;
    if (!(std::isfinite(cs) && cs > 0.0 && std::isfinite(cells_x) && std::isfinite(cells_y) &&
          (cells_x + 1.0) * (cells_y + 1.0) <= 4.0 * static_cast<double>(n) + 16.0))
        return by_tree();
    const double inv = 1.0 / cs;
    const int32_t nx = static_cast<int32_t>(cells_x) + 1, ny = static_cast<int32_t>(cells_y) + 1;
    const size_t ncell = static_cast<size_t>(nx) * static_cast<size_t>(ny);

    std::vector<uint32_t> cell(n);
    std::vector<uint32_t> start(ncell + 1, 0);
    for (size_t i = 0; i < n; ++i) {
        // (x - xmin) * inv is finite and non-negative here.
        const int32_t cx = std::min(static_cast<int32_t>(std::min((xy[2 * i] - xmin) * inv, cells_x)), nx - 1);
        const int32_t cy = std::min(static_cast<int32_t>(std::min((xy[2 * i + 1] - ymin) * inv, cells_y)), ny - 1);
        cell[i] = static_cast<uint32_t>(cy) * static_cast<uint32_t>(nx) + static_cast<uint32_t>(cx);
        ++start[cell[i] + 1];
    }
    uint32_t maxocc = 0;
    for (size_t c = 0; c < ncell; ++c) {
        maxocc = std::max(maxocc, start[c + 1]);
        start[c + 1] += start[c];
    }
    // Over 40 times the planned occupancy in one cell: strongly clustered,
    // where the tree adapts better.
    if (maxocc > 64) return by_tree();
    std::vector<double> px(n), py(n);
    std::vector<uint32_t> orig(n);
    for (size_t i = 0; i < n; ++i) {
        const uint32_t t = start[cell[i]]++;
        px[t] = xy[2 * i];
        py[t] = xy[2 * i + 1];
        orig[t] = static_cast<uint32_t>(i);
    }
    // The fill moved every start to its cell's end: shift back.
    for (size_t c = ncell; c > 0; --c) start[c] = start[c - 1];
    start[0] = 0;

    // Relative 1e-9 of the coordinates' size: millions of times the rounding
    // of a cell assignment or of a margin, far below any cell size.
    const double slack =
        1e-9 * (std::fabs(xmin) + std::fabs(xmax) + std::fabs(ymin) + std::fabs(ymax) + cs);
    std::vector<double> bx(static_cast<size_t>(nx) + 1), by(static_cast<size_t>(ny) + 1);
    for (int32_t c = 0; c <= nx; ++c) bx[c] = xmin + static_cast<double>(c) * cs;
    for (int32_t c = 0; c <= ny; ++c) by[c] = ymin + static_cast<double>(c) * cs;
    const CellGrid g{px.data(), py.data(), start.data(), bx.data(), by.data(), nx, ny, slack};
    std::vector<double> d2(n);
    bool unsettled = false, done;
    if (k <= 4)
        done = grid_kth_all<4>(g, k, d2.data(), helpers.get(), stop, unsettled);
    else if (k <= 7)  // the host's count: no unused place to keep sorted
        done = grid_kth_all<7>(g, k, d2.data(), helpers.get(), stop, unsettled);
    else if (k <= 8)
        done = grid_kth_all<8>(g, k, d2.data(), helpers.get(), stop, unsettled);
    else if (k <= 16)
        done = grid_kth_all<16>(g, k, d2.data(), helpers.get(), stop, unsettled);
    else
        done = grid_kth_all<32>(g, k, d2.data(), helpers.get(), stop, unsettled);
    if (!done) return false;
    std::unique_ptr<KdTree> tree;  // built only if some point needs a wider search
    for (size_t t = 0; t < n; ++t) {
        double d;
        if (unsettled && d2[t] < 0.0) {
            if (!tree) {
                tree = std::make_unique<KdTree>(xy, n, 2, stop);
                if (stop && stop->stopped()) return false;
            }
            if (!tree->kth_distance(xy + 2 * static_cast<size_t>(orig[t]), 1, k, &d, stop)) return false;
        } else {
            d = std::sqrt(d2[t]);
        }
        dist_k[orig[t]] = d;
    }
    return true;
}

}  // namespace vis
