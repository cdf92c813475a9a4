// The palette's branch-free colouring in AVX2, for processors where
// cpu_has_avx2() holds.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vis {

// A palette of finite, strictly increasing stops in the AVX2 layout: row c
// (0 .. nthr) holds at rows8[8c .. 8c + 3] the channel slopes and at
// rows8[8c + 4 .. 8c + 7] the channel bytes of the segment picked when c of
// the thresholds are <= the value, at starts4[4c] its start; the last row is
// the upper end, slope 0.
struct PaletteRows {
    const double* thr;  // the stops after the first
    size_t nthr;
    const double* rows8;
    const double* starts4;
    double lo, hi;  // first and last stop
    bool clip;      // some stop byte lies above 255
};

// Colours m values into m * 4 bytes; with `special`, values equal to
// *special get `special_bytes`.
void palette_colour_avx2(const PaletteRows& rows, const double* lam, size_t m, const double* special,
                         const uint8_t* special_bytes, uint8_t* out);

}  // namespace vis
