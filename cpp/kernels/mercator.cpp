#include "kernels/mercator.h"

namespace vis::geo {

void latlon_to_world_px(double lat_deg, double lon_deg, double n, double* x_out, double* y_out,
                        Fault& f) {
    double x = ((lon_deg + 180.0) / 360.0) * n;
    double lat = py_max(-kMercatorLatLimit, py_min(kMercatorLatLimit, lat_deg));
    double s = py_sin(radians(lat), f);
    double y = (0.5 - py_log((1.0 + s) / (1.0 - s), f) / (4.0 * kPi)) * n;
    *x_out = x;
    *y_out = y;
}

void world_px_to_latlon(double x, double y, double n, double* lat_out, double* lon_out, Fault& f) {
    double lon = py_div(x, n, f) * 360.0 - 180.0;
    double k = kPi * (1.0 - py_div(2.0 * y, n, f));
    double lat = degrees(py_atan(py_sinh(k, f)));
    *lat_out = lat;
    *lon_out = lon;
}

int zoom_for_range(double lat_deg, double want_mpp, double mpp_equator, long long max_zoom, Fault& f) {
    if (max_zoom < 0) return 0;
    double c = ground_scale(lat_deg, mpp_equator, f);
    if (f) return 0;
    if (max_zoom > kMaxExactZoom) {
        f.note(FaultKind::int_too_large, 0.0);
        return 0;
    }
    // 2**z is exact at every step (halving a power of two down to 1); the
    // division rounds once, as c / 2**z does.
    double pow2 = std::ldexp(1.0, static_cast<int>(max_zoom));
    for (long long z = max_zoom; z >= 0; --z, pow2 *= 0.5) {
        if (c / pow2 >= want_mpp) return static_cast<int>(z);
    }
    return 0;
}

}  // namespace vis::geo
