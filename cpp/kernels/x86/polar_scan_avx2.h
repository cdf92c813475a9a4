// The scan of a grid point's candidates four at a time in AVX2 lanes: the same
// distances and classes as scan_plain, into lists or into bit masks.
#pragma once

#include "kernels/polar/candidates.h"

#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>

#define VIS_AVX2_POPCNT __attribute__((target("avx2,popcnt")))

namespace vis::polar {

// For each 4-bit lane mask, the 32-bit lanes that pack the chosen lanes to the
// front: `lane` for one 32-bit value per lane, `pair` for one double per lane.
struct PackTable {
    alignas(32) int32_t lane[16][8];
    alignas(32) int32_t pair[16][8];
    constexpr PackTable() : lane(), pair() {
        for (int m = 0; m < 16; ++m) {
            int at = 0;
            for (int l = 0; l < 4; ++l) {
                if (!(m & (1 << l))) continue;
                lane[m][at] = l;
                pair[m][2 * at] = 2 * l;
                pair[m][2 * at + 1] = 2 * l + 1;
                ++at;
            }
        }
    }
};
inline constexpr PackTable kPack{};

// The squared distances from (qx, qy) to candidates a .. a + 3.
VIS_AVX2_POPCNT inline __m256d distances4(const double* xs, const double* ys, size_t a, __m256d vx, __m256d vy) {
    const __m256d dx = _mm256_sub_pd(vx, _mm256_loadu_pd(xs + a));
    const __m256d dy = _mm256_sub_pd(vy, _mm256_loadu_pd(ys + a));
    return _mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy));
}

VIS_AVX2_POPCNT inline double lane_min(__m256d v) {
    alignas(32) double m4[4];
    _mm256_store_pd(m4, v);
    double m = std::numeric_limits<double>::infinity();
    for (double x : m4) m = x < m ? x : m;
    return m;
}

// Appends the lanes of d2 / id chosen by `mask` at d2s + at, ids + at (writing up
// to four entries); returns how many.
VIS_AVX2_POPCNT inline size_t append_lanes(__m256i d2, __m256i id, int mask, double* d2s, uint32_t* ids) {
    const __m256i pair = _mm256_load_si256(reinterpret_cast<const __m256i*>(kPack.pair[mask]));
    const __m256i lane = _mm256_load_si256(reinterpret_cast<const __m256i*>(kPack.lane[mask]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d2s), _mm256_permutevar8x32_epi32(d2, pair));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(ids), _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(id, lane)));
    return static_cast<size_t>(std::popcount(static_cast<unsigned>(mask)));
}

// scan_plain four candidates at a time. It reads candidates up to nr rounded up to
// 4 (the caller pads with +inf, which joins neither list) and writes up to 4
// entries past each list's end.
VIS_AVX2_POPCNT inline Scan scan_avx2(const double* xs, const double* ys, const uint32_t* ids, size_t nr, double qx,
                                      double qy, double lo2, double hi2, NeighbourLists& l) {
    const __m256d vx = _mm256_set1_pd(qx), vy = _mm256_set1_pd(qy), vlo = _mm256_set1_pd(lo2),
                  vhi = _mm256_set1_pd(hi2);
    __m256d vmin = _mm256_set1_pd(std::numeric_limits<double>::infinity());
    Scan r;
    for (size_t a = 0; a < nr; a += 4) {
        const __m256d d2 = distances4(xs, ys, a, vx, vy);
        const __m256i id = _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ids + a)));
        const int ma = _mm256_movemask_pd(_mm256_cmp_pd(d2, vlo, _CMP_LT_OQ));
        const int mb = _mm256_movemask_pd(
            _mm256_and_pd(_mm256_cmp_pd(d2, vlo, _CMP_GE_OQ), _mm256_cmp_pd(d2, vhi, _CMP_LE_OQ)));
        vmin = _mm256_min_pd(d2, vmin);
        const __m256i d2i = _mm256_castpd_si256(d2);
        r.na += append_lanes(d2i, id, ma, l.best.data() + r.na, l.bid.data() + r.na);
        r.nbnd += append_lanes(d2i, id, mb, l.bd2.data() + r.nbnd, l.bidb.data() + r.nbnd);
    }
    r.dmin = lane_min(vmin);
    return r;
}

// The scan for shading in place, which needs no lists: every squared distance
// goes to d2 (up to nr rounded up to 4, as scan_avx2 reads), and the classes go
// into bit masks, bit a for candidate a (nr <= 64).
struct MaskScan {
    uint64_t certain = 0, boundary = 0;
    size_t na = 0, nbnd = 0;  // their counts
    double dmin = std::numeric_limits<double>::infinity();
};

VIS_AVX2_POPCNT inline MaskScan scan_masks_avx2(const double* xs, const double* ys, size_t nr, double qx, double qy,
                                                double lo2, double hi2, double* d2) {
    const __m256d vx = _mm256_set1_pd(qx), vy = _mm256_set1_pd(qy), vlo = _mm256_set1_pd(lo2),
                  vhi = _mm256_set1_pd(hi2);
    __m256d vmin = _mm256_set1_pd(std::numeric_limits<double>::infinity());
    MaskScan r;
    for (size_t a = 0; a < nr; a += 4) {
        const __m256d v = distances4(xs, ys, a, vx, vy);
        _mm256_storeu_pd(d2 + a, v);
        r.certain |= static_cast<uint64_t>(_mm256_movemask_pd(_mm256_cmp_pd(v, vlo, _CMP_LT_OQ))) << a;
        r.boundary |= static_cast<uint64_t>(_mm256_movemask_pd(_mm256_cmp_pd(v, vhi, _CMP_LE_OQ))) << a;
        vmin = _mm256_min_pd(v, vmin);
    }
    r.boundary &= ~r.certain;  // at most hi2 and not below lo2 (d2 is never NaN here: finite positions)
    r.na = static_cast<size_t>(std::popcount(r.certain));
    r.nbnd = static_cast<size_t>(std::popcount(r.boundary));
    r.dmin = lane_min(vmin);
    return r;
}

// The bit of the nearest candidate in m (non-empty), ties going to the first
// in candidate order; v is set to its squared distance.
VIS_AVX2_POPCNT inline int first_ranked(uint64_t m, const double* d2, double& v) {
    int at = std::countr_zero(m);
    v = d2[at];
    for (m &= m - 1; m != 0; m &= m - 1) {
        const int b = std::countr_zero(m);
        const double c = d2[b];
        const bool first = c < v;  // selects rather than branches
        v = first ? c : v;
        at = first ? b : at;
    }
    return at;
}

// The `count` (>= 1) nearest of the candidates whose bits are in `from`, in
// candidate order at equal distances; returns their bits and sets kth to the
// farthest one's squared distance and `tied` to whether a candidate left out
// lies as far.
VIS_AVX2_POPCNT inline uint64_t first_ranked_bits(uint64_t from, const double* d2, size_t count, double& kth,
                                                  bool& tied) {
    uint64_t taken = 0;
    for (size_t t = 0; t < count; ++t) taken |= uint64_t{1} << first_ranked(from & ~taken, d2, kth);
    tied = false;
    for (uint64_t m = from & ~taken; m != 0; m &= m - 1) tied |= d2[std::countr_zero(m)] == kth;
    return taken;
}

// The `count` first-ranked by row of the candidates in `from`, whose count-th
// smallest squared distance is kth: every nearer one, and of those as far as
// kth the lowest rows.
VIS_AVX2_POPCNT inline uint64_t first_by_row_at_tie(uint64_t from, const double* d2, const uint32_t* ids, size_t count,
                                                    double kth) {
    uint64_t nearer = 0, tied = 0;
    for (uint64_t m = from; m != 0; m &= m - 1) {
        const int b = std::countr_zero(m);
        nearer |= static_cast<uint64_t>(d2[b] < kth) << b;
        tied |= static_cast<uint64_t>(d2[b] == kth) << b;
    }
    uint64_t picked = nearer;
    for (size_t left = count - static_cast<size_t>(std::popcount(nearer)); left > 0; --left) {
        int at = std::countr_zero(tied);
        for (uint64_t m = tied & (tied - 1); m != 0; m &= m - 1) {
            const int b = std::countr_zero(m);
            at = ids[b] < ids[at] ? b : at;
        }
        picked |= uint64_t{1} << at;
        tied &= ~(uint64_t{1} << at);
    }
    return picked;
}

// The neighbours of a mask scan with na <= K <= na + nbnd: every certain candidate
// and the K - na first-ranked boundary ones. Sets `chosen` and returns the K-th
// smallest squared distance.
VIS_AVX2_POPCNT inline double choose_from_masks(const MaskScan& ms, const double* d2, const uint32_t* ids, size_t K,
                                                uint64_t& chosen) {
    double kth = 0.0;
    if (ms.na == K || ms.nbnd == K - ms.na) {
        // Every certain (and boundary) candidate, usually a boundary one last.
        chosen = ms.certain | (ms.na == K ? 0 : ms.boundary);
        for (uint64_t m = ms.na == K ? ms.certain : ms.boundary; m != 0; m &= m - 1)
            kth = std::max(kth, d2[std::countr_zero(m)]);
        return kth;
    }
    bool tied;
    uint64_t picked = first_ranked_bits(ms.boundary, d2, K - ms.na, kth, tied);
    // Candidate order is not row order: where a candidate left out ties with the
    // K-th, the tied ones are chosen again by row.
    if (tied) picked = first_by_row_at_tie(ms.boundary, d2, ids, K - ms.na, kth);
    chosen = ms.certain | picked;
    return kth;
}

}  // namespace vis::polar
