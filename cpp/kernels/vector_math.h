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

// Inverse-distance weights: w[i] = 1 / x[i]^p, or 1.0 where x[i]^p is 0.
// With AVX2 the power is exp(p * log(x)) from libmvec, a few ulp from
// std::pow (the weights feed sums over thousands of samples, whose last
// bits are not fixed anyway); otherwise pow_batch.
void inverse_pow_batch(const double* x, double p, double* w, size_t n);

}  // namespace vis
