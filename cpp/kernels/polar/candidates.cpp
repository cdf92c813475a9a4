#include "kernels/polar/candidates.h"

#include <algorithm>

namespace vis::polar {

namespace {

bool sel_ranks_before(const Sel& a, const Sel& b) { return ranks_before(a.d2, a.id, b.d2, b.id); }

}  // namespace

void partition_boundary(NeighbourLists& l, size_t nbnd, size_t need) {
    l.sel.clear();
    for (size_t a = 0; a < nbnd; ++a) l.sel.push_back({l.bd2[a], l.bidb[a]});
    std::nth_element(l.sel.begin(), l.sel.begin() + static_cast<ptrdiff_t>(need - 1), l.sel.end(), sel_ranks_before);
    for (size_t a = 0; a < need; ++a) {
        l.bd2[a] = l.sel[a].d2;
        l.bidb[a] = l.sel[a].id;
    }
}

void rank_ties_by_row(NeighbourLists& l, size_t na, size_t nbnd, size_t K, double kth) {
    // The chosen ones tied at kth are the last of the ascending neighbours, from `first` on.
    size_t first = K;
    while (first > na && l.best[first - 1] == kth) --first;
    std::vector<uint32_t>& tied = l.tied;
    tied.assign(l.bid.begin() + static_cast<ptrdiff_t>(first), l.bid.begin() + static_cast<ptrdiff_t>(K));
    for (size_t b = 0; b < nbnd; ++b)
        if (l.bd2[b] == kth) tied.push_back(l.bidb[b]);
    std::partial_sort(tied.begin(), tied.begin() + static_cast<ptrdiff_t>(K - first), tied.end());
    std::copy(tied.begin(), tied.begin() + static_cast<ptrdiff_t>(K - first), l.bid.begin() + static_cast<ptrdiff_t>(first));
}

double select_among_all(const double* xs, const double* ys, const uint32_t* ids, size_t nc, double qx, double qy,
                        size_t K, NeighbourLists& l, double& dmin) {
    l.sel.clear();
    for (size_t a = 0; a < nc; ++a) {
        const double dx = qx - xs[a], dy = qy - ys[a];
        l.sel.push_back({dx * dx + dy * dy, ids[a]});
    }
    std::nth_element(l.sel.begin(), l.sel.begin() + static_cast<ptrdiff_t>(K - 1), l.sel.end(), sel_ranks_before);
    dmin = l.sel[0].d2;
    for (size_t k = 0; k < K; ++k) {
        l.best[k] = l.sel[k].d2;
        l.bid[k] = l.sel[k].id;
        dmin = l.best[k] < dmin ? l.best[k] : dmin;
    }
    return l.best[K - 1];
}

}  // namespace vis::polar
