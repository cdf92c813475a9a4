#include "kernels/blob_field/buckets.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "kernels/blob_field/scalar_ops.h"

namespace vis::blob {

namespace {

// Bucket of every radius: the count of edges not above it, less one, clipped
// to the buckets. Over ascending edges the count is found by halving with
// selections instead of branches (every step of a branching search is a
// guess). NaN radii, and edges out of order (NaN among them), take the
// library's search.
std::vector<int64_t> bucket_of_radius(const std::vector<double>& R, const std::vector<double>& edges) {
    const int64_t nb = static_cast<int64_t>(edges.size()) - 1;
    bool ascending = true;
    for (int64_t q = 0; q < nb && ascending; ++q) ascending = edges[q] <= edges[q + 1];
    std::vector<int64_t> bi(R.size());
    for (size_t p = 0; p < R.size(); ++p) {
        const double x = R[p];
        int64_t upper;
        if (ascending && !std::isnan(x)) {
            const double* base = edges.data();
            for (size_t len = edges.size(); len > 1;) {
                const size_t half = len / 2;
                base = base[half] <= x ? base + half : base;
                len -= half;
            }
            upper = (base - edges.data()) + (*base <= x);
        } else {
            upper = std::upper_bound(edges.begin(), edges.end(), x) - edges.begin();
        }
        bi[p] = std::min<int64_t>(std::max<int64_t>(upper - 1, 0), nb - 1);
    }
    return bi;
}

}  // namespace

RadiusBuckets radius_buckets(const std::vector<double>& R, int64_t nbuck) {
    double lo = R[0], hi = R[0];
    for (double v : R) {
        lo = nmin(lo, v);
        hi = nmax(hi, v);
    }
    if (nbuck < 1) throw std::invalid_argument("NBUCK must be at least 1");
    if (nbuck > (int64_t(1) << 20)) throw std::invalid_argument("NBUCK is too large");
    const int64_t nb = (lo * 1.02 < hi * 1.0001) ? nbuck : 1;
    const double end = smax(lo * 1.02, hi * 1.0001);

    RadiusBuckets b;
    b.edges.resize(static_cast<size_t>(nb) + 1);
    for (int64_t q = 0; q <= nb; ++q)
        b.edges[q] = lo * crt::pow(end / lo, static_cast<double>(q) / static_cast<double>(nb));
    b.edges[0] = lo;
    b.edges[nb] = end;

    // Counting sort of the targets by bucket, stable.
    const std::vector<int64_t> bi = bucket_of_radius(R, b.edges);
    b.start.assign(static_cast<size_t>(nb) + 1, 0);
    for (int64_t q : bi) ++b.start[q + 1];
    for (int64_t q = 0; q < nb; ++q) b.start[q + 1] += b.start[q];
    b.members.resize(R.size());
    std::vector<size_t> fill(b.start.begin(), b.start.end() - 1);
    for (size_t p = 0; p < R.size(); ++p) b.members[fill[bi[p]]++] = p;
    return b;
}

}  // namespace vis::blob
