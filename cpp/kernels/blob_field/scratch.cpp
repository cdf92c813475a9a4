// This thread's pool of spare float64 work arrays behind ScratchArray.
#include <algorithm>

#include "kernels/blob_field.h"

namespace vis {

namespace {

// At most 16 MiB stay parked: the arrays of a 601 x 601 field, the largest grid.
constexpr size_t kPoolBytes = size_t{16} << 20;
thread_local std::vector<WorkVector> t_spare;

size_t parked_bytes() {
    size_t b = 0;
    for (const auto& v : t_spare) b += v.capacity() * sizeof(double);
    return b;
}

}  // namespace

ScratchArray::~ScratchArray() {
    if (!taken_ || v_.capacity() == 0) return;
    try {
        if (parked_bytes() + v_.capacity() * sizeof(double) <= kPoolBytes) t_spare.push_back(std::move(v_));
    } catch (...) {  // no room to park it: the memory is freed instead
    }
}

void ScratchArray::take() {
    if (taken_) return;
    taken_ = true;
    if (t_spare.empty()) return;
    // The largest spare array: the one most likely to need no new memory.
    auto best = std::max_element(t_spare.begin(), t_spare.end(),
                                 [](const auto& a, const auto& b) { return a.capacity() < b.capacity(); });
    v_ = std::move(*best);
    t_spare.erase(best);
}

void ScratchArray::assign(size_t n, double value) {
    take();
    v_.assign(n, value);
}

void ScratchArray::resize(size_t n) {
    take();
    v_.resize(n);
}

}  // namespace vis
