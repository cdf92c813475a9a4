// Batched elementary functions for the hot loops of the image kernels.
//
// On x86-64 with glibc the batches go through libmvec, glibc's vector libm
// (its AVX2 variant when the processor has it, chosen at run time, so the
// build needs no -march flag); elsewhere through std::pow. libmvec's pow is
// within 1 ulp of std::pow, so sums of weights differ only in the last bits.
#pragma once

#include <cstddef>

namespace vis {

// out[i] = x[i] ^ p for i < n (out may alias x).
void pow_batch(const double* x, double p, double* out, size_t n);

}  // namespace vis
