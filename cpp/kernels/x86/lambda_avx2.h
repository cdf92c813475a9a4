// AVX2 loops of the running baseline and the lambda rule, for processors
// where cpu_has_avx2() holds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/lambda.h"
#include "kernels/lambda/written_summary.h"

namespace vis {

// The written cells among the first n - n % 8 of v, in eight partial sums
// added pairwise at the end.
WrittenSummary written_summary_avx2(const double* v, size_t n);

// compute_lambda's cell rule for the first n - n % 4 cells (`bipolar`: the
// data range allows the bipolar rule); returns that count, the caller
// finishes the rest.
size_t lambda_cells_avx2(const double* v, size_t n, const LambdaRule& r, bool bipolar, const uint8_t* mask,
                         double* out);

}  // namespace vis
