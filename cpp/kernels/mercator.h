// Web Mercator world-pixel geometry at an integer zoom. The world edge n and
// the power of two 2**zoom are passed in as doubles (the binding derives them
// from the zoom and the module's tile size with Python's integer semantics).
#pragma once

#include "kernels/geodesy.h"

namespace vis::geo {

// Latitude limit applied before projecting (rounded just beyond the exact
// atan(sinh(pi)) limit, so clamped points land a hair outside [0, n]).
inline constexpr double kMercatorLatLimit = 85.05112878;

// Largest zoom whose exact power of two 2**zoom still converts to a double.
inline constexpr long long kMaxExactZoom = 1023;

void latlon_to_world_px(double lat_deg, double lon_deg, double n, double* x_out, double* y_out,
                        Fault& f);

void world_px_to_latlon(double x, double y, double n, double* lat_out, double* lon_out, Fault& f);

// (mpp_equator * cos(radians(lat_deg))): the zoom-0 ground scale at a latitude.
inline double ground_scale(double lat_deg, double mpp_equator, Fault& f) {
    return mpp_equator * py_cos(radians(lat_deg), f);
}

// The scale at one zoom: ground_scale / 2**zoom, pow2 being 2**zoom as a double.
inline double meters_per_pixel(double lat_deg, double mpp_equator, double pow2, Fault& f) {
    double c = ground_scale(lat_deg, mpp_equator, f);
    return py_div(c, pow2, f);
}

// Highest zoom z in [0, max_zoom] whose scale is at least want_mpp, else 0.
// A max_zoom beyond kMaxExactZoom reports int_too_large (after the latitude
// step, as the plain evaluation order would).
int zoom_for_range(double lat_deg, double want_mpp, double mpp_equator, long long max_zoom, Fault& f);

}  // namespace vis::geo
