// Palette stops and the lambda -> RGBA byte mapping.
//
// A palette is N stops of (lambda, R, G, B, A) with channel intensities in
// 0..1.  Intensities become whole bytes by truncation (x * 255.0 toward zero),
// the interpolation between stops runs on those byte values in double
// precision, and the interpolated value is truncated again.  All arithmetic
// follows a fixed order of operations so the bytes never depend on rounding
// modes or contraction.
#pragma once

#include "kernels/interrupt.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vis {

// trunc(intensity * 255.0) as a double (an exact integer for finite input).
double stop_byte(double intensity);

// The same value as int64; NaN becomes 0 and values beyond the int64 range
// saturate, so the conversion is defined for every input.
int64_t stop_byte_i64(double intensity);

// Final byte of an interpolated channel value: NaN -> 0, clipped to [0, 255],
// truncated toward zero.
inline uint8_t channel_to_byte(double v) {
    if (!(v >= 0.0)) return 0;  // NaN and negatives
    if (v > 255.0) return 255;
    return static_cast<uint8_t>(static_cast<int>(v));
}

// Piecewise-linear interpolation with the end values held beyond the ends
// (the semantics of numpy.interp with default left/right):
//   n == 1 -> fp[0]; NaN -> NaN; x >= xp[n-1] -> fp[n-1]; x < xp[0] -> fp[0];
//   x == xp[j] -> fp[j]; else slope * (x - xp[j]) + fp[j] with a retry from
//   the right end of the segment when that is NaN.
// `xp` and `fp` hold n >= 1 values; fp is read with stride `fp_stride`.
// `stop` is polled between blocks of values; once it says stop the function
// returns with `out` partly filled.
void interp_linear(const double* x, size_t m, const double* xp, const double* fp,
                   size_t fp_stride, size_t n, double* out, Interrupt* stop = nullptr);

// Values between two polls of an Interrupt in the colouring loops: 2^16
// values are well under a millisecond of work, and a multiple of every
// kernel's group width, so blocks split no group.
constexpr size_t kPollValues = size_t{1} << 16;

// Prepared palette: stop positions and channel bytes (as doubles), plus the
// per-segment slopes of each channel.
class BytePalette {
public:
    // `cm` is a C-contiguous rows x cols array with rows >= 1 and cols >= 5;
    // column 0 is lambda, columns 1..4 the intensities of R, G, B, A.
    BytePalette(const double* cm, size_t rows, size_t cols);

    // Colours m lambda values into m * 4 bytes (R, G, B, A per value);
    // `stop` is polled between blocks, and once it says stop the function
    // returns with `out` partly filled.
    void colour(const double* lam, size_t m, uint8_t* out, Interrupt* stop = nullptr) const;

    // The same, except that values equal to `special` get `special_bytes`.
    void colour_replacing(const double* lam, size_t m, double special, const uint8_t special_bytes[4],
                          uint8_t* out) const;

    // Bytes of one lambda value.
    void colour_one(double lam, uint8_t out[4]) const;

private:
    size_t n_;
    std::vector<double> xp_;     // n stop positions
    std::vector<double> fp_;     // n * 4 stop bytes
    std::vector<double> slope_;  // (n - 1) * 4 segment slopes
    // Few stops (<= 16, the host's palettes have 7): a branch-free count of at
    // most 14 compares, cheaper than a binary search's mispredicted branches.
    bool small_;
    // Branch-free form for palettes whose bytes and slopes are all finite:
    // row k (0..n) of base_/fk_/sk_ is the segment selected when exactly k
    // stops are <= x; rows 0 and n hold the end colours with slope 0.
    bool fast_;
    std::vector<double> base_;   // (n + 1) segment starts
    std::vector<double> fk_;     // (n + 1) * 4
    std::vector<double> sk_;     // (n + 1) * 4
    std::vector<double> rows8_;    // n * 8: slopes and bytes of rows 1..n
    std::vector<double> starts4_;  // n * 4: start of rows 1..n at every fourth entry
    bool clip_ = true;             // some stop byte lies above 255

    size_t segment(double x) const;
    void colour_block(const double* lam, size_t m, uint8_t* out) const;
    void colour_fast(const double* lam, size_t m, uint8_t* out) const;
    // AVX2 form of the branch-free path, chosen at run time; false when the
    // palette or the processor does not allow it.
    bool colour_avx2(const double* lam, size_t m, const double* special, const uint8_t* special_bytes,
                     uint8_t* out) const;
};

}  // namespace vis
