// One grid point's neighbours among its tile's candidates: a scan sorts the
// candidates within reach into certain neighbours (nearer than the lower bound of
// the K-th distance) and a boundary set (between the bounds); the nearest of the
// boundary set complete the K. Distances are the plain (qx - px)^2 + (qy - py)^2.
//
// Ties: a target ranks before another at the same distance when its row is lower,
// so of targets tied at the K-th place the lowest rows are taken on every path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace vis::polar {

inline bool ranks_before(double d2a, uint32_t ida, double d2b, uint32_t idb) {
    return d2a < d2b || (d2a == d2b && ida < idb);
}

struct Sel {
    double d2;
    uint32_t id;
};

// Per-pixel work lists, each with room for every candidate of the tile plus the
// four entries a wide scan may write past a list's end.
struct NeighbourLists {
    std::vector<double> best, bd2;  // certain neighbours, then the chosen boundary ones; the boundary set
    std::vector<uint32_t> bid, bidb;
    std::vector<Sel> sel;       // scratch of the selections
    std::vector<uint32_t> tied;  // scratch of rank_ties_by_row
    void make_room(size_t candidates) {
        if (best.size() >= candidates + 4) return;
        best.resize(candidates + 4);
        bid.resize(candidates + 4);
        bd2.resize(candidates + 4);
        bidb.resize(candidates + 4);
    }
};

// A scan's counts: na certain neighbours in best / bid, nbnd boundary ones in
// bd2 / bidb, both in candidate order; dmin the smallest squared distance seen.
struct Scan {
    size_t na = 0, nbnd = 0;
    double dmin = std::numeric_limits<double>::infinity();
};

inline Scan scan_plain(const double* xs, const double* ys, const uint32_t* ids, size_t nr, double qx, double qy,
                       double lo2, double hi2, NeighbourLists& l) {
    Scan r;
    double* const best = l.best.data();
    double* const bd2 = l.bd2.data();
    uint32_t* const bid = l.bid.data();
    uint32_t* const bidb = l.bidb.data();
    for (size_t a = 0; a < nr; ++a) {
        const double dx = qx - xs[a], dy = qy - ys[a];
        const double d2 = dx * dx + dy * dy;
        // Branch-free appends (both lists have room for every candidate).
        const bool in_a = d2 < lo2;
        const bool in_b = (d2 >= lo2) & (d2 <= hi2);
        best[r.na] = d2;
        bid[r.na] = ids[a];
        bd2[r.nbnd] = d2;
        bidb[r.nbnd] = ids[a];
        r.na += in_a;
        r.nbnd += in_b;
        r.dmin = d2 < r.dmin ? d2 : r.dmin;
    }
    return r;
}

// Keeps the `need` first-ranked of the boundary set in its first entries (any order).
void partition_boundary(NeighbourLists& l, size_t nbnd, size_t need);

// The first of the smallest of v[0 .. count); `tied` says whether (`track`)
// another entry is as small.
template <bool track>
inline size_t nearest_entry(const double* v, size_t count, bool& tied) {
    size_t mn = 0, last = 0;  // last: the last entry as small as v[mn]
    for (size_t b = 1; b < count; ++b) {
        if constexpr (track) last = v[b] <= v[mn] ? b : last;
        mn = v[b] < v[mn] ? b : mn;
    }
    tied = last != mn;
    return mn;
}

// Re-ranks by row the boundary candidates tied at the K-th squared distance kth
// after a selection in candidate order (see complete_neighbours).
void rank_ties_by_row(NeighbourLists& l, size_t na, size_t nbnd, size_t K, double kth);

// Appends the K - na first-ranked of the boundary set to the certain neighbours, in
// ascending order of distance, and returns the K-th smallest squared distance.
// Requires na <= K <= na + nbnd; the boundary set holds finite values only.
inline double complete_neighbours(NeighbourLists& l, size_t na, size_t nbnd, size_t K) {
    const size_t need = K - na;
    if (need == 0) {
        double kth = l.best[0];
        for (size_t k = 1; k < K; ++k) kth = l.best[k] > kth ? l.best[k] : kth;
        return kth;
    }
    // Selection sort costs need x nbnd comparisons; with more than 6 to pick,
    // partitioning the boundary set first is cheaper.
    if (need > 6 && need < nbnd) {
        partition_boundary(l, nbnd, need);
        nbnd = need;
    }
    // Ascending, of equal distances the first in candidate order; a taken entry is
    // marked +inf. The last round also tells whether a candidate left out lies as
    // far as the K-th.
    bool tied = false;
    for (size_t a = 0; a < need; ++a) {
        const size_t mn = a + 1 < need ? nearest_entry<false>(l.bd2.data(), nbnd, tied)
                                       : nearest_entry<true>(l.bd2.data(), nbnd, tied);
        l.best[na + a] = l.bd2[mn];
        l.bid[na + a] = l.bidb[mn];
        l.bd2[mn] = std::numeric_limits<double>::infinity();
    }
    const double kth = l.best[K - 1];  // every certain neighbour is nearer
    // Candidate order is not row order: where a candidate left out ties with the
    // K-th, the tied ones are ranked again by row (rarely needed).
    if (tied) rank_ties_by_row(l, na, nbnd, K, kth);
    return kth;
}

// When the bounds did not settle the neighbours (rounding, or a loose bound): the
// K first-ranked of all nc candidates go to best / bid. Returns the K-th smallest
// squared distance and sets dmin to the smallest.
double select_among_all(const double* xs, const double* ys, const uint32_t* ids, size_t nc, double qx, double qy,
                        size_t K, NeighbourLists& l, double& dmin);

}  // namespace vis::polar
