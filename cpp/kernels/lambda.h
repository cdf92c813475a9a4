// Running ground level and the bipolar lambda rule.
#pragma once

#include "kernels/interrupt.h"

#include <cstddef>
#include <cstdint>

namespace vis {

struct Baseline {
    double ground, data_min, data_max;
};

// Mean, minimum and maximum of the written cells (finite and non-zero);
// (0, 0, 0) when there are none.  Blockwise pairwise summation.  `stop` is
// polled between blocks; once it says stop the result is unspecified.
Baseline running_baseline(const double* v, size_t n, Interrupt* stop = nullptr);

struct LambdaRule {
    double ground, data_min, data_max, esik, esik_ref;
    bool sentinel;  // value 0 -> no-data lambda 1.5
};

// lambda of n cells.  `mask` (nullable) holds one byte per cell, read as raw
// bytes (any non-zero byte is true, so a bool array viewed over arbitrary
// bytes is still well defined); false cells get 0.5.  The rule is branch-free:
// every cell forms a quotient, and a cell on neither side of the ground
// divides 0 by 1, so no quotient raises a floating-point flag.  `stop` is
// polled between blocks; once it says stop `out` is partly filled.
void compute_lambda(const double* v, size_t n, const LambdaRule& r, const uint8_t* mask, double* out,
                    Interrupt* stop = nullptr);

}  // namespace vis
