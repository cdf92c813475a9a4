// The strongest metal (red) and void (blue) targets of a record: colour
// sampling from an image as drawn, and the ranked choice among candidates.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vis {

// For every target i with mask[i] set: its pixel in an RGBA image (W x H, rows
// of bpl bytes), x = rint(W/2 + sin(radians(b)) * (r - r_off) * scale),
// y = rint(H/2 - cos(radians(b)) * (r - r_off) * scale). mask[i] is cleared
// when the pixel lies outside the image or has alpha 0; otherwise rgb[3i..3i+2]
// receives the pixel's R, G, B. b and r are read with strides sb and sr (0 for
// a single value broadcast to all targets). Positions are range-checked as
// doubles before any integer conversion.
void poles_sample_image(const double* b, size_t sb, const double* r, size_t sr, size_t n, double r_off,
                        double scale, const uint8_t* pix, size_t W, size_t H, size_t bpl, uint8_t* mask,
                        double* rgb);

enum class PoleIds { Position, Int64, UInt64, Float64 };

struct PoleChoice {
    int64_t metal = -1;  // position, or -1 for none
    int64_t voids = -1;
};

// Ranks the candidates (mask set) of n targets with colours col (row stride
// cols, columns R, G, B first): metal by largest (R - B) * 256 - G, then larger
// signal, smaller id, earlier position; void by largest -(R - B) * 256 - G,
// then smaller signal, smaller id, earlier position. A NaN score or float id
// ranks after every number. signals may be null (all 0); non-finite signals
// count as 0. The metal pick needs R - B > 25, the void pick R - B < -25.
PoleChoice poles_choose(const uint8_t* mask, size_t n, const double* col, size_t cols,
                        const double* signals, PoleIds kind, const void* ids);

// Scores of one target, as the ranking uses them.
inline double pole_polarity(const double* c) { return c[0] - c[2]; }

}  // namespace vis
