// Running ground level and the bipolar lambda rule.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vis {

struct Baseline {
    double ground, data_min, data_max;
};

// Mean, minimum and maximum of the written cells (finite and non-zero);
// (0, 0, 0) when there are none.  Blockwise pairwise summation.
Baseline running_baseline(const double* v, size_t n);

struct LambdaRule {
    double ground, data_min, data_max, esik, esik_ref;
    bool sentinel;  // value 0 -> no-data lambda 1.5
};

// lambda of n cells.  `mask` (nullable) holds one byte per cell, read as raw
// bytes (any non-zero byte is true, so a bool array viewed over arbitrary
// bytes is still well defined); false cells get 0.5.  Quotients are formed only for the cells that use them.
void compute_lambda(const double* v, size_t n, const LambdaRule& r, const uint8_t* mask, double* out);

}  // namespace vis
