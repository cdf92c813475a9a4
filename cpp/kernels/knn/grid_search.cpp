#include "kernels/knn/grid_search.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>

namespace vis::knn {

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

// The search around one point (qx, qy) of cell (cx, cy): the 3 x 3 block of
// cells around its own first, then growing square rings of cells, each cell
// skipped when no point in it can be nearer than the k-th best so far.
//
// A point of a cell lies at least the cell's gap from the query along each
// axis, and a point outside the searched block at least the block's margin
// along one. Gaps and margins are shrunk by `slack`, far more than the
// rounding of the cell assignment and of the boundaries, so (rounded
// subtraction, squaring and addition being monotone) a bound built from them
// never exceeds the computed squared distance of any point it covers: a cell
// whose bound is at least the k-th best cannot change it, and once the k-th
// best is at most the block's squared margin no point left can.
template <int K>
class PointSearch {
public:
    PointSearch(const CellGrid& g, size_t k, double qx, double qy, int32_t cx, int32_t cy)
        : g_(g), k_(k), qx_(qx), qy_(qy), cx_(cx), cy_(cy) {}

    // The k-th nearest squared distance, or -1 when rings beyond six cells
    // would be needed (a sparse patch: the tree finishes those).
    double kth() {
        constexpr int32_t kMaxRing = 6;
        const int32_t ya = std::max(cy_ - 1, 0), yb = std::min(cy_ + 1, g_.ny - 1);
        for (int32_t row = ya; row <= yb; ++row) scan(row, std::max(cx_ - 1, 0), std::min(cx_ + 1, g_.nx - 1));
        for (int32_t r = 1;; ++r) {
            const double m = margin(r);
            const double worst = kb_.h[k_ - 1];
            if (m == std::numeric_limits<double>::infinity()) return worst;  // the whole grid was searched
            const double ms = m - g_.slack;
            if (ms > 0.0 && worst <= ms * ms) return worst;  // worst < inf: k points seen
            if (r == kMaxRing) return -1.0;
            scan_ring(r + 1);
        }
    }

private:
    // Points of cells c0 .. c1 of one cell row offered.
    void scan(int32_t row, int32_t c0, int32_t c1) {
        const size_t base = static_cast<size_t>(row) * g_.nx;
        const uint32_t b = g_.start[base + c0], e = g_.start[base + c1 + 1];
        for (uint32_t u = b; u < e; ++u) {
            const double dx = qx_ - g_.px[u];
            const double dy = qy_ - g_.py[u];
            kb_.offer(dx * dx + dy * dy);
        }
    }
    // Margin of the block of rings 0 .. r: the nearest of its inner edges.
    double margin(int32_t r) const {
        double m = std::numeric_limits<double>::infinity();
        if (cx_ - r > 0) m = std::min(m, qx_ - g_.bx[cx_ - r]);
        if (cx_ + r + 1 < g_.nx) m = std::min(m, g_.bx[cx_ + r + 1] - qx_);
        if (cy_ - r > 0) m = std::min(m, qy_ - g_.by[cy_ - r]);
        if (cy_ + r + 1 < g_.ny) m = std::min(m, g_.by[cy_ + r + 1] - qy_);
        return m;
    }
    // Squared gap between the query and the cells of column c0 + o (row
    // c0 + o), 0 for its own column (row).
    double gap2(const double* bnd, int32_t c0, double q, int32_t o) const {
        double d = o > 0 ? bnd[c0 + o] - q : (o < 0 ? q - bnd[c0 + o + 1] : 0.0);
        d = d - g_.slack;
        return d > 0.0 ? d * d : 0.0;
    }
    // Ring o, cell by cell: its top and bottom rows, then its side columns.
    void scan_ring(int32_t o) {
        const int32_t ox0 = std::max(-o, -cx_), ox1 = std::min(o, g_.nx - 1 - cx_);
        for (int32_t oy : {-o, o}) {
            if (cy_ + oy < 0 || cy_ + oy >= g_.ny) continue;
            const double gy = gap2(g_.by, cy_, qy_, oy);
            if (!(gy < kb_.h[k_ - 1])) continue;
            for (int32_t ox = ox0; ox <= ox1; ++ox)
                if (gy + gap2(g_.bx, cx_, qx_, ox) < kb_.h[k_ - 1]) scan(cy_ + oy, cx_ + ox, cx_ + ox);
        }
        const int32_t oy0 = std::max(-(o - 1), -cy_), oy1 = std::min(o - 1, g_.ny - 1 - cy_);
        for (int32_t ox : {-o, o}) {
            if (cx_ + ox < 0 || cx_ + ox >= g_.nx) continue;
            const double gx = gap2(g_.bx, cx_, qx_, ox);
            if (!(gx < kb_.h[k_ - 1])) continue;
            for (int32_t oy = oy0; oy <= oy1; ++oy)
                if (gx + gap2(g_.by, cy_, qy_, oy) < kb_.h[k_ - 1]) scan(cy_ + oy, cx_ + ox, cx_ + ox);
        }
    }

    const CellGrid& g_;
    const size_t k_;
    const double qx_, qy_;
    const int32_t cx_, cy_;
    SmallestK<K> kb_;
};

// The threads' shared progress: the next cell row to take, and whether to
// give up.
struct SharedRows {
    std::atomic<int32_t> next_row{0};
    std::atomic<bool> abort{false};
};

// Takes cell rows kRowsPerTake at a time until none is left, so that threads
// searching at the same time share the rows however fast each runs. Between
// rows it stops early (returning false) once `abort` is set or `stop` asks
// to stop; `stop` is polled only by the thread that owns it, which then sets
// `abort` for the others.
template <int K>
bool search_rows(const CellGrid& g, size_t k, double* out, SharedRows& shared, Interrupt* stop, bool& unsettled) {
    // Two rows of cells hold about three times as many points as the grid
    // has columns: a take costs nothing beside that.
    constexpr int32_t kRowsPerTake = 2;
    for (int32_t cy = 0, cy_end = 0;; ++cy) {
        if (cy == cy_end) {
            cy = shared.next_row.fetch_add(kRowsPerTake, std::memory_order_relaxed);
            if (cy >= g.ny) return true;
            cy_end = std::min(cy + kRowsPerTake, g.ny);
        }
        if (shared.abort.load(std::memory_order_relaxed)) return false;
        if (stop_requested(stop)) {
            shared.abort.store(true, std::memory_order_relaxed);
            return false;
        }
        for (int32_t cx = 0; cx < g.nx; ++cx) {
            const size_t c = static_cast<size_t>(cy) * g.nx + cx;
            for (uint32_t t = g.start[c]; t < g.start[c + 1]; ++t) {
                out[t] = PointSearch<K>(g, k, g.px[t], g.py[t], cx, cy).kth();
                if (out[t] < 0.0) unsettled = true;
            }
        }
    }
}

template <int K>
bool search_all_rows(const CellGrid& g, size_t k, double* out, SearchHelpers* helpers, Interrupt* stop,
                     bool& unsettled) {
    SharedRows shared;
    const unsigned nt = 1 + (helpers ? helpers->count() : 0);
    std::unique_ptr<bool[]> thread_unsettled(new bool[nt]());
    if (helpers)
        helpers->go([&](unsigned b) { search_rows<K>(g, k, out, shared, nullptr, thread_unsettled[b]); });
    const bool done = search_rows<K>(g, k, out, shared, stop, thread_unsettled[0]);
    if (helpers) helpers->join();
    for (unsigned b = 0; b < nt; ++b) unsettled = unsettled || thread_unsettled[b];
    return done && !shared.abort.load();
}

}  // namespace

bool grid_kth_distances(const CellGrid& g, size_t k, double* out, SearchHelpers* helpers, Interrupt* stop,
                        bool& unsettled) {
    if (k <= 4) return search_all_rows<4>(g, k, out, helpers, stop, unsettled);
    // Seven, the host's count: no unused place to keep sorted.
    if (k <= 7) return search_all_rows<7>(g, k, out, helpers, stop, unsettled);
    if (k <= 8) return search_all_rows<8>(g, k, out, helpers, stop, unsettled);
    if (k <= 16) return search_all_rows<16>(g, k, out, helpers, stop, unsettled);
    return search_all_rows<32>(g, k, out, helpers, stop, unsettled);
}

}  // namespace vis::knn
