// Pixel-space polar rendering of the sonar targets: screen positions,
// neighbour spacing, and the per-pixel blend of the K nearest targets'
// colours with softened inverse-distance weights and coverage opacity.
#pragma once

#include "kernels/interrupt.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vis {

// Screen positions of n targets (bearings b in degrees, offset ranges r in
// metres): a = radians(((b + 180) mod 360) - 180) with the floored remainder,
// x = rr + sin(a) * r * scale, y = rr - cos(a) * r * scale. xy is n x 2.
void polar_positions(const double* b, const double* r, size_t n, double rr, double scale,
                     double* xy);

// The median of v (reordered in place): the mean of the two middle values for
// an even count, NaN when any value is NaN or v is empty.
double median_inplace(std::vector<double>& v);

struct PolarBlend {
    double aralik = 0;   // spacing in pixels (full coverage radius)
    double kapsama = 0;  // coverage threshold in pixels
    double sm = 0;       // distance floor added in quadrature
    double power = 0;    // exponent of the inverse-distance weights
    size_t K = 1;        // neighbours per grid point
    size_t nx = 0;       // grid points per side
    size_t step = 1;     // grid step in full-resolution pixels
};

// Grid point (i, j) sits at (j * step + 0.5, i * step + 0.5). Every routine
// fills nx * nx * 4 bytes, pixel by pixel B, G, R, A (Format_ARGB32 order).

// How the native search answered the grid, for tests of its bounds.
struct PolarStats {
    // Grid points whose carried distance bounds did not settle their neighbours,
    // so they selected among every candidate of their tile.
    size_t full_selections = 0;
};

// Exact K-nearest search of the grid over the n targets at xy (any finite or
// non-finite coordinates) fused with the blend. rgb is n x 3. Requires
// 1 <= K <= n. Where every position is finite, of targets tied at the K-th
// distance the lowest rows are taken, so a grid point's neighbours do not depend
// on the grid step. Polls `stop` between tiles; when it says stop the routine returns with `out`
// partly written. `stats`, when given, receives the counts of the search.
void polar_render_native(const double* xy, size_t n, const double* rgb, const PolarBlend& p,
                         uint8_t* out, Interrupt* stop = nullptr, PolarStats* stats = nullptr);

// The blend from neighbour lists computed elsewhere: for grid point g,
// dist[g * K + k] and idx[g * K + k] (each in [0, n), rgb n x 3) with column 0 nearest.
// Polls `stop` as polar_render_native does.
void polar_render_from_neighbours(const double* dist, const int64_t* idx, const double* rgb, size_t n,
                                  const PolarBlend& p, uint8_t* out, Interrupt* stop = nullptr);

}  // namespace vis
