// Sonar targets onto the map, one scalar chain per target: magnetic bearing ->
// true bearing -> destination point -> world pixel, and the uncertainty radius
// in pixels at the target's latitude. Each step is the kernel the single-target
// functions use, taken in their order, so every element is bit for bit what
// the chain of scalar calls gives.
#pragma once

#include "kernels/interrupt.h"
#include "kernels/uncertainty.h"

#include <cstddef>
#include <cstdint>

namespace vis::geo {

// Everything the chain reads besides the per-target bearing, range and flag.
struct TargetProjection {
    double origin_lat = 0.0;       // degrees north
    double origin_lon = 0.0;       // degrees east
    double declination_deg = 0.0;  // east positive
    double earth_r = 0.0;          // metres
    double world_edge = 0.0;       // TILE_SIZE * 2**zoom, pixels
    bool world_edge_too_large = false;  // that exact product does not fit a double
    double mpp_equator = 0.0;      // metres per pixel on the equator at zoom 0
    double zoom_pow2 = 0.0;        // 2**zoom
    bool zoom_pow2_too_large = false;   // that exact power does not fit a double
    double gps_err = 0.0;          // GPS term of the uncertainty, metres
    UncertaintyCoeffs coeffs;
};

// Output columns of n doubles each.
struct TargetColumns {
    double* lat;     // degrees north
    double* lon;     // degrees east
    double* x;       // world pixels
    double* y;
    double* radius;  // uncertainty radius, pixels
};

// Projects targets [0, n). measured holds one flag per target (nonzero: a
// measured range), or is null when `all_measured` applies to every target.
// Returns n, or the index of the first target whose chain faults (f tells
// how; later targets are not computed), or less when `stop` asked to stop.
size_t project_targets(const TargetProjection& p, const double* bearings_deg, const double* ranges_m,
                       const uint8_t* measured, bool all_measured, size_t n, TargetColumns out, Fault& f,
                       Interrupt* stop);

}  // namespace vis::geo
