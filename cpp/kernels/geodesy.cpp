#include "kernels/geodesy.h"

#include <math.h>

namespace vis::geo {

double (*volatile runtime_pow)(double, double) = crt::pow;

double round_half_even(double x) {
    // The interpreter's own method: round half away from zero, then pull an
    // exact half back to the even neighbour.
    double r = std::round(x);
    if (std::fabs(x - r) == 0.5) r = 2.0 * std::round(x / 2.0);
    return r;
}

double round_hundredths(double x) {
    if (x == 0.0 || !std::isfinite(x)) return x;
    double a = std::fabs(x);
    // From 2**46 on, one unit in the last place exceeds 0.01 and no hundredth
    // lies nearer to another double than to x itself.
    if (a >= 70368744177664.0) return x;
    // a = m * 2**-s exactly, with a 53-bit integer m; 100 * m fits in 60 bits,
    // so a * 100 is rounded to an integer k in exact integer arithmetic.
    int e = 0;
    double fr = std::frexp(a, &e);  // a = fr * 2**e, fr in [0.5, 1)
    uint64_t m = static_cast<uint64_t>(std::ldexp(fr, 53));
    int s = 53 - e;  // a = m * 2**-s; s >= 53 - 46 > 0 here
    uint64_t k = 0;
    if (s < 64) {
        uint64_t p = m * 100u;
        uint64_t q = p >> s;
        uint64_t rem = p & ((uint64_t{1} << s) - 1u);
        uint64_t half = uint64_t{1} << (s - 1);
        if (rem > half || (rem == half && (q & 1u))) ++q;
        k = q;
    }
    // k < 2**53 is exact as a double, so one correctly rounded division gives
    // the double nearest to k / 100.
    return std::copysign(static_cast<double>(k) / 100.0, x);
}

GeodesicOrigin geodesic_origin(double lat_deg, double lon_deg) {
    GeodesicOrigin o;
    o.lat1 = radians(lat_deg);
    o.lon1 = radians(lon_deg);
    o.sin_lat1 = py_sin(o.lat1, o.fault);
    o.cos_lat1 = py_cos(o.lat1, o.fault);
    return o;
}

void destination_from(const GeodesicOrigin& o, double bearing_deg, double distance_m, double earth_r,
                      double* lat_out, double* lon_out, Fault& f) {
    double d = py_div(distance_m, earth_r, f);
    double br = radians(bearing_deg);
    // The origin's sine and cosine come next in the order of evaluation.
    if (o.fault) f.note(o.fault.kind, o.fault.arg);
    double sin_d = py_sin(d, f);
    double cos_d = py_cos(d, f);
    double sin_lat2 = o.sin_lat1 * cos_d + (o.cos_lat1 * sin_d) * py_cos(br, f);
    // Rounding can push the sine a hair past +-1; keep the arcsine defined.
    sin_lat2 = py_max(-1.0, py_min(1.0, sin_lat2));
    double lat2 = py_asin(sin_lat2, f);
    double lon2 = o.lon1 + py_atan2((py_sin(br, f) * sin_d) * o.cos_lat1, cos_d - o.sin_lat1 * sin_lat2);
    double lon2_deg = floored_mod(degrees(lon2) + 540.0, 360.0) - 180.0;
    *lat_out = degrees(lat2);
    *lon_out = lon2_deg;
}

double distance_between(double lat1, double lon1, double lat2, double lon2, double earth_r, Fault& f) {
    double p1 = radians(lat1);
    double p2 = radians(lat2);
    double dp = radians(lat2 - lat1);
    double dl = radians(lon2 - lon1);
    double a = py_square(py_sin(dp / 2.0, f), f);
    double c = py_cos(p1, f);
    c = c * py_cos(p2, f);
    double h = a + c * py_square(py_sin(dl / 2.0, f), f);
    // The cap keeps the arcsine defined for antipodal points.
    return (2.0 * earth_r) * py_asin(py_min(1.0, py_sqrt(h, f)), f);
}

double initial_bearing(double lat1, double lon1, double lat2, double lon2, Fault& f) {
    double p1 = radians(lat1);
    double p2 = radians(lat2);
    double dl = radians(lon2 - lon1);
    // cos(p2) appears twice in the formula; libm is deterministic, so it is
    // evaluated once (its only possible fault would already have been noted).
    double y = py_sin(dl, f);
    double cos_p2 = py_cos(p2, f);
    y = y * cos_p2;
    double x1 = py_cos(p1, f);
    x1 = x1 * py_sin(p2, f);
    double x2 = py_sin(p1, f);
    x2 = x2 * cos_p2;
    double x = x1 - x2 * py_cos(dl, f);
    return floored_mod(degrees(py_atan2(y, x)) + 360.0, 360.0);
}

}  // namespace vis::geo
