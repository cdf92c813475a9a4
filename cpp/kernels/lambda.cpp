#include "kernels/lambda.h"

#include "kernels/cpu.h"
#include "kernels/lambda/written_summary.h"

#include <cstring>
#include <limits>

#if defined(VIS_X86_KERNELS)
#include "kernels/x86/lambda_avx2.h"
#endif

namespace vis {

namespace {

WrittenSummary block(const double* v, size_t n) {
    // Four interleaved accumulators; written values only.
    double s[4] = {0.0, 0.0, 0.0, 0.0};
    size_t c[4] = {0, 0, 0, 0};
    double lo[4], hi[4];
    for (int k = 0; k < 4; ++k) {
        lo[k] = std::numeric_limits<double>::infinity();
        hi[k] = -std::numeric_limits<double>::infinity();
    }
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        for (int k = 0; k < 4; ++k) {
            const double x = v[i + k];
            const bool ok = written(x);
            s[k] += ok ? x : 0.0;
            c[k] += ok ? 1 : 0;
            lo[k] = (ok && x < lo[k]) ? x : lo[k];
            hi[k] = (ok && x > hi[k]) ? x : hi[k];
        }
    }
    for (; i < n; ++i) {
        const double x = v[i];
        if (!written(x)) continue;
        s[0] += x;
        c[0] += 1;
        if (x < lo[0]) lo[0] = x;
        if (x > hi[0]) hi[0] = x;
    }
    WrittenSummary p;
    p.sum = (s[0] + s[1]) + (s[2] + s[3]);
    p.count = c[0] + c[1] + c[2] + c[3];
    for (int k = 0; k < 4; ++k) {
        if (lo[k] < p.lo) p.lo = lo[k];
        if (hi[k] > p.hi) p.hi = hi[k];
    }
    return p;
}

// A leaf of the pairwise sum: with AVX2 its groups of eight in eight partial
// sums, then the rest.
WrittenSummary leaf(const double* v, size_t n) {
#if defined(VIS_X86_KERNELS)
    if (cpu_has_avx2()) {
        const size_t wide = n & ~size_t(7);
        const WrittenSummary w = written_summary_avx2(v, wide);
        WrittenSummary p = block(v + wide, n - wide);
        p.sum = w.sum + p.sum;
        p.count += w.count;
        if (w.lo < p.lo) p.lo = w.lo;
        if (w.hi > p.hi) p.hi = w.hi;
        return p;
    }
#endif
    return block(v, n);
}

// Cells per leaf of the pairwise sum: 1024 values (8 KiB) keep the rounding
// error of each leaf's running sums small and the leaf in L1.
constexpr size_t kLeaf = 1024;
// Cells below which the recursion stops polling: one poll per ~2^16 cells
// (tens of microseconds of work).
constexpr size_t kPollCells = size_t{1} << 16;

// The halving is the same whether or not `stop` is given, so the sum is too.
WrittenSummary pairwise(const double* v, size_t n, Interrupt* stop) {
    if (n <= kLeaf) return leaf(v, n);
    if (stop && n <= kPollCells) {
        if (stop->poll()) return WrittenSummary{};
        stop = nullptr;
    }
    const size_t h = (n / 2 + 3) & ~size_t(3);
    WrittenSummary a = pairwise(v, h, stop), b = pairwise(v + h, n - h, stop);
    a.sum += b.sum;
    a.count += b.count;
    if (b.lo < a.lo) a.lo = b.lo;
    if (b.hi > a.hi) a.hi = b.hi;
    return a;
}

}  // namespace

Baseline running_baseline(const double* v, size_t n, Interrupt* stop) {
    WrittenSummary p = pairwise(v, n, stop);
    if (p.count == 0) return {0.0, 0.0, 0.0};
    return {p.sum / static_cast<double>(p.count), p.lo, p.hi};
}

namespace {

// Two cells per vector. The compiler keeps a branch for any arithmetic
// written under a condition (it may trap), so the rule is written on
// vectors: both sides computed, then selected lane by lane. Cells outside
// the selected side divide 0 by 1, so no quotient can raise a
// floating-point flag.
typedef double V2 __attribute__((vector_size(16)));
typedef int64_t M2 __attribute__((vector_size(16)));

inline M2 all_or_none(bool on) { return M2{} - static_cast<int64_t>(on); }

template <bool kBipolar, bool kMask>
void lambda_loop(const double* v, size_t n, const LambdaRule& r, const uint8_t* mask, double* out) {
    const double g = r.ground;
    const V2 vg = {g, g}, half = {0.5, 0.5}, one = {1.0, 1.0}, zero = {0.0, 0.0}, nodata = {1.5, 1.5};
    const V2 vda = V2{} + (r.data_max - g), vdb = V2{} + (g - r.data_min);
    const V2 vneg = V2{} - r.esik, vesik = V2{} + r.esik, vref = V2{} + r.esik_ref;
    const M2 m_above = all_or_none(g != r.data_max), m_below = all_or_none(g != r.data_min);
    const M2 m_sent = all_or_none(r.sentinel);
    size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        V2 x;
        std::memcpy(&x, v + i, sizeof x);
        V2 num = half;
        if (kBipolar) {
            const M2 up = m_above & (x > vg);
            const M2 dn = m_below & (x < vg);
            const M2 sel = up | dn;
            const V2 t = sel ? (up ? x - vg : vg - x) : zero;
            const V2 den = sel ? (up ? vda : vdb) : one;
            const V2 q = (t * half) / den;
            num = up ? half + q : half - q;
            num = num < zero ? zero : num;  // clip to [0, 1]; NaN passes through
            num = num > one ? one : num;
        }
        const V2 dev = x - vref;
        num = ((dev > vneg) & (dev < vesik)) ? half : num;
        num = (m_sent & (x == zero)) ? nodata : num;
        num = (x - x == zero) ? num : half;  // NaN, +inf, -inf
        if (kMask) num = M2{mask[i] != 0, mask[i + 1] != 0} != 0 ? num : half;
        std::memcpy(out + i, &num, sizeof num);
    }
    if (i < n) {  // the last odd cell, in the first lane
        const double x = v[i];
        const double rest[2] = {x, x};
        double two[2];
        const uint8_t mask2[2] = {kMask ? mask[i] : uint8_t{1}, kMask ? mask[i] : uint8_t{1}};
        lambda_loop<kBipolar, kMask>(rest, 2, r, mask2, two);
        out[i] = two[0];
    }
}

void lambda_block(const double* v, size_t n, const LambdaRule& r, const uint8_t* mask, double* out) {
    const bool bipolar = (r.data_max - r.data_min) > 0.1;
#if defined(VIS_X86_KERNELS)
    if (cpu_has_avx2()) {
        const size_t done = lambda_cells_avx2(v, n, r, bipolar, mask, out);
        v += done;
        out += done;
        if (mask) mask += done;
        n -= done;
    }
#endif
    if (bipolar) {
        if (mask) lambda_loop<true, true>(v, n, r, mask, out);
        else lambda_loop<true, false>(v, n, r, mask, out);
    } else {
        if (mask) lambda_loop<false, true>(v, n, r, mask, out);
        else lambda_loop<false, false>(v, n, r, mask, out);
    }
}

}  // namespace

void compute_lambda(const double* v, size_t n, const LambdaRule& r, const uint8_t* mask, double* out,
                    Interrupt* stop) {
    // Blocks of kPollCells cells, a multiple of every group width; each
    // cell's lambda depends on that cell alone.
    for (size_t s = 0; s < n; s += kPollCells) {
        if (s > 0 && stop_requested(stop)) return;
        const size_t len = n - s < kPollCells ? n - s : kPollCells;
        lambda_block(v + s, len, r, mask ? mask + s : nullptr, out + s);
    }
}

}  // namespace vis
