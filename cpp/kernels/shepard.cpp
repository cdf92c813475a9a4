#include "kernels/shepard.h"

#include "kernels/cpu.h"
#include "kernels/crt_math.h"
#if defined(VIS_X86_KERNELS)
#include "kernels/x86/shepard_avx2.h"
#endif

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <vector>

namespace vis {

namespace shepard {

namespace {

constexpr double kHit = 1e-8;

// The smallest s with sqrt(s) >= 1e-8: d < 1e-8 exactly when s is below it,
// since the rounded square root is monotonic.
double hit_threshold() {
    static const double t = [] {
        double s = 1e-16;
        while (std::sqrt(s) >= kHit) s = std::nextafter(s, 0.0);
        while (std::sqrt(s) < kHit) s = std::nextafter(s, 1.0);
        return s;
    }();
    return t;
}

}  // namespace

double exact_weight(double s, double power, bool& near) {
    const double d = std::sqrt(s);
    near = d < kHit;
    const double dp = crt::pow(d, power);  // NumPy's d**p: the same under- and overflow
    return dp == 0.0 ? 1.0 : 1.0 / dp;
}

}  // namespace shepard

namespace {

using shepard::Plan;
using shepard::WeightKind;

// Weights of exp(y) with |y| <= 700 stay far from under- and overflow, so
// the shortcuts need no special values.
constexpr double kMaxLogWeight = 700.0;

// c = k/root to the nearest double, for 2 <= root <= 10 and 1 <= k <= 20:
// most powers a user sets in steps of 0.1 or 0.25 (2.4 = 2 * 6/5). Larger k
// would let the rounding of g^k grow past a few units in the last place.
bool small_fraction(double c, int& k, int& root) {
    for (int b = 2; b <= 10; ++b) {
        const double a = std::nearbyint(c * b);
        if (a >= 1.0 && a <= 20.0 && a / b == c) {
            k = static_cast<int>(a);
            root = b;
            return true;
        }
    }
    return false;
}

// Where s^(-k/root) stands for s^(-c): the root's single-precision guess
// needs s well inside the float range, and c differs from k/root by up to
// half a unit in its last place, which moves a weight by (c - k/root) log s.
// That stays below 1e-15 relative (a few units in the last place).
void narrow_to_root_range(Plan& P, double c) {
    P.lo = std::max(P.lo, 0x1p-100);
    P.hi = std::min(P.hi, 0x1p100);
    const double gap = std::fabs(std::fma(c, P.root, -P.k)) / P.root;
    if (gap > 0.0) {
        const double reach = 1e-15 / gap;
        P.lo = std::max(P.lo, std::exp(-reach));
        P.hi = std::min(P.hi, std::exp(reach));
    }
}

// Picks the weight formula for `power` and the range of s where it holds.
void choose_weights(Plan& P) {
    const double c = P.power / 2.0;
    P.k = 0;
    if (P.power == 0.0) {
        P.kind = WeightKind::Unit;  // d^0 = 1 for every d, NaN and infinity included
        P.lo = shepard::hit_threshold();
        P.hi = std::numeric_limits<double>::infinity();
        return;
    }
    if (!std::isfinite(P.power)) {  // d^p is finite only at d = 1: every pair as defined
        P.kind = WeightKind::General;
        P.lo = std::numeric_limits<double>::infinity();
        P.hi = -P.lo;
        return;
    }
    const double span = kMaxLogWeight / std::fabs(c);
    P.lo = std::max(shepard::hit_threshold(), std::exp(-span));
    P.hi = std::min(DBL_MAX, std::exp(span));
    if (P.power == std::trunc(P.power) && std::fabs(P.power) <= 8.0) {
        P.k = static_cast<int>(P.power);
        P.kind = P.k == 2 ? WeightKind::Inverse : WeightKind::WholePower;
    } else if (small_fraction(c, P.k, P.root)) {
        P.kind = WeightKind::Root;
        narrow_to_root_range(P, c);
    } else {
        P.kind = WeightKind::General;
    }
}

struct Samples {
    std::vector<double> x, p2, sv;
};

// Columns of coordinates, squared norms and values, padded to whole vectors.
Plan lay_out(const double* p, size_t n, size_t d, const double* sv, Samples& S) {
    Plan P{};
    P.n = n;
    P.d = d;
    P.stride = (n + shepard::kLanes - 1) / shepard::kLanes * shepard::kLanes;
    S.x.resize(P.stride * d);
    S.p2.resize(P.stride);
    S.sv.assign(P.stride, 0.0);
    for (size_t j = 0; j < P.stride; ++j) {
        const double* pj = p + std::min(j, n - 1) * d;
        S.p2[j] = shepard::squared_norm(pj, d);
        for (size_t k = 0; k < d; ++k) S.x[k * P.stride + j] = pj[k];
        if (j < n) S.sv[j] = sv[j];
    }
    P.x = S.x.data();
    P.p2 = S.p2.data();
    P.sv = S.sv.data();
    return P;
}

// Coordinates are tame when every one is 0 or of magnitude 1e-150 .. 1e150:
// then q.p and (2q).p differ by exactly the factor 2 (no product is
// subnormal) and no squared norm or cross term overflows.
bool tame(const double* a, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const double v = std::fabs(a[i]);
        if (!(v == 0.0 || (v >= 1e-150 && v <= 1e150))) return false;
    }
    return true;
}

double largest_norm2(const double* a, size_t rows, size_t d) {
    double most = 0.0;
    for (size_t i = 0; i < rows; ++i) most = std::max(most, shepard::squared_norm(a + i * d, d));
    return most;
}

// Whether some pair can have s outside [lo, hi]: s >= s2 always, and by
// Cauchy-Schwarz s <= (|q| + |p|)^2 + s2, here with a margin for rounding.
bool needs_check(const Plan& P, double q_norm2, double p_norm2) {
    const double top = (std::sqrt(q_norm2) + std::sqrt(p_norm2));
    const double bound = top * top * (1.0 + 1e-9) + P.s2;
    return !(P.s2 >= P.lo && bound <= P.hi);
}

double whole_power(double b, int k) {
    double r = (k & 1) ? b : 1.0;
    for (k >>= 1; k > 0; k >>= 1) {
        b = b * b;
        if (k & 1) r = r * b;
    }
    return r;
}

template <WeightKind kKind>
double fast_weight(double s, const Plan& P) {
    if (kKind == WeightKind::Unit) return 1.0;
    if (kKind == WeightKind::Inverse) return 1.0 / s;
    if (kKind == WeightKind::WholePower && P.k % 2 == 0)
        return P.k > 0 ? 1.0 / whole_power(s, P.k / 2) : whole_power(s, -P.k / 2);
    return crt::pow(s, -(P.power / 2.0));
}

// One query point, sample by sample, on any processor.
template <int kD, WeightKind kKind>
double fill_row(const double* qi, double q2, const Plan& P) {
    const size_t d = kD > 0 ? static_cast<size_t>(kD) : P.d;
    double num = 0.0, den = 0.0;
    for (size_t j = 0; j < P.n; ++j) {
        double cross = 0.0;
        if (d > 0) cross = qi[0] * P.x[j];
        for (size_t k = 1; k < d; ++k) cross = cross + qi[k] * P.x[k * P.stride + j];
        double sq = (q2 - 2.0 * cross) + P.p2[j];
        sq = sq < 0.0 ? 0.0 : sq;  // NaN stays
        const double s = sq + P.s2;
        double w;
        if (s >= P.lo && s <= P.hi) {
            w = fast_weight<kKind>(s, P);
        } else {
            bool near;
            w = shepard::exact_weight(s, P.power, near);
            if (near) return P.sv[j];  // the first exact hit wins
        }
        num += P.sv[j] * w;
        den += w;
    }
    // A lone sample's value as it is wherever it has a positive weight: (v w) / w
    // can be a unit in the last place off v, overflow, or (w infinite) be NaN.
    if (P.n == 1 && den > 0.0) return P.sv[0];
    return den > 0.0 ? num / den : 0.0;
}

using RowFn = double (*)(const double*, double, const Plan&);

template <int kD>
RowFn row_for_kind(WeightKind kind) {
    switch (kind) {
        case WeightKind::Unit: return fill_row<kD, WeightKind::Unit>;
        case WeightKind::Inverse: return fill_row<kD, WeightKind::Inverse>;
        case WeightKind::WholePower: return fill_row<kD, WeightKind::WholePower>;
        default: return fill_row<kD, WeightKind::General>;  // the root way too: pow here
    }
}

RowFn generic_row(const Plan& P) {
    switch (P.d) {
        case 2: return row_for_kind<2>(P.kind);
        case 3: return row_for_kind<3>(P.kind);
        default: return row_for_kind<0>(P.kind);
    }
}

// Query-sample pairs between two polls of `stop`: a clock read per 2^16
// pairs (tens of microseconds of work) costs nothing measurable, and a query
// point of any size is never split.
constexpr size_t kPollPairs = size_t{1} << 16;

}  // namespace

void shepard_fill(const double* q, size_t m, const double* p, size_t n, size_t d, const double* sv,
                  double power, double smoothing, double* out, Interrupt* stop) {
    if (n == 0) {  // no samples: zeros
        for (size_t i = 0; i < m; ++i) out[i] = 0.0;
        return;
    }
    Samples S;
    Plan P = lay_out(p, n, d, sv, S);
    P.power = power;
    P.s2 = smoothing * smoothing;
    choose_weights(P);
    if (n == 1) {  // one sample: every pair as defined, on the baseline rows (see fill_row)
        P.lo = std::numeric_limits<double>::infinity();
        P.hi = -P.lo;
    }
    const bool tame_points = d > 0 && tame(p, n * d) && tame(q, m * d);
    const double q_norm2 = tame_points ? largest_norm2(q, m, d) : 0.0;
    const double p_norm2 = tame_points ? largest_norm2(p, n, d) : 0.0;
    P.check = !tame_points || needs_check(P, q_norm2, p_norm2);
    const RowFn row = generic_row(P);
#if defined(VIS_X86_KERNELS)
    // The wide rows take 2q for q (exact for tame points), so no sum of
    // squares or cross term may overflow: (|q| + |p|)^2 stays finite.
    const double reach = std::sqrt(q_norm2) + std::sqrt(p_norm2);
    const bool wide = cpu_has_avx2_fma() && tame_points && reach * reach < 1e307 && n > 1;
#endif
    const size_t rows_per_poll = (kPollPairs + n - 1) / n;
    for (size_t i = 0; i < m; i += rows_per_poll) {
        if (i > 0 && stop_requested(stop)) return;
        const size_t last = std::min(m, i + rows_per_poll);
#if defined(VIS_X86_KERNELS)
        if (wide) {
            shepard_rows_avx2(q, i, last, P, out);
            continue;
        }
#endif
        for (size_t r = i; r < last; ++r) out[r] = row(q + r * d, shepard::squared_norm(q + r * d, d), P);
    }
}

}  // namespace vis
