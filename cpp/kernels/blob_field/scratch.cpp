// The process's pool of spare float64 work arrays behind ScratchArray.
#include "kernels/blob_field.h"
#include "kernels/blob_field/spare_pool.h"

namespace vis {

namespace {

// At most 16 MiB stay parked: the arrays of a 601 x 601 field, the largest grid.
// Never destroyed, so a call still running on another thread while the
// process exits finds it intact.
blob::SparePool<WorkVector>& spare = *new blob::SparePool<WorkVector>(size_t{16} << 20);

}  // namespace

ScratchArray::~ScratchArray() {
    if (taken_) spare.give_back(std::move(v_));
}

void ScratchArray::take() {
    if (taken_) return;
    taken_ = true;
    v_ = spare.take();
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
