// Targets grouped by kernel radius: buckets with geometric edges, so that
// one stencil serves every member of a bucket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vis::blob {

struct RadiusBuckets {
    std::vector<double> edges;    // count() + 1 edges, ascending for finite radii
    std::vector<size_t> start;    // bucket q holds members[start[q] .. start[q + 1])
    std::vector<size_t> members;  // target numbers, in target order within a bucket
    int64_t count() const { return static_cast<int64_t>(edges.size()) - 1; }
};

// `nbuck` buckets between min(R) and max(max(R) * 1.0001, min(R) * 1.02),
// or one when the radii lie within about 2 % of each other; bucket q holds
// the radii with edges[q] <= R < edges[q + 1], the ends clipped into the
// first and last. R is not empty. Throws std::invalid_argument for `nbuck`
// below 1 or above 2^20.
RadiusBuckets radius_buckets(const std::vector<double>& R, int64_t nbuck);

}  // namespace vis::blob
