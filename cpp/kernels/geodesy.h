// Spherical geodesy on a mean-radius Earth, and the scalar arithmetic shared by
// the geographic kernels. Every step follows Python's float and math-module
// semantics exactly (the same C runtime calls, see crt_math.h; the same special
// cases and evaluation order), so results agree bit for bit with the
// plain-Python formulation.
#pragma once

#include "kernels/crt_math.h"
#include "kernels/floored_mod.h"

#include <cmath>
#include <cstdint>

namespace vis::geo {

// The first step of a computation that Python's math module (or float
// arithmetic) would have refused. The binding re-raises it through Python so
// that the exception type and message are the interpreter's own.
enum class FaultKind : uint8_t {
    none,
    sin,            // math.sin(arg): infinite input
    cos,            // math.cos(arg)
    tan,            // math.tan(arg)
    asin,           // math.asin(arg): |arg| > 1
    sqrt,           // math.sqrt(arg): negative input
    log,            // math.log(arg): non-positive input
    sinh,           // math.sinh(arg): overflow
    square,         // arg ** 2 overflowed
    zero_division,  // arg / 0.0
    int_too_large,  // an exact power of two too large for a double
};

struct Fault {
    FaultKind kind = FaultKind::none;
    double arg = 0.0;
    explicit operator bool() const { return kind != FaultKind::none; }
    // Keeps the first fault only: later steps still run (on NaNs) but the
    // error reported is the one Python would have raised first.
    void note(FaultKind k, double a) {
        if (kind == FaultKind::none) {
            kind = k;
            arg = a;
        }
    }
};

inline constexpr double kPi = 3.14159265358979323846;
inline constexpr double kDegToRad = kPi / 180.0;  // math.radians factor
inline constexpr double kRadToDeg = 180.0 / kPi;  // math.degrees factor

inline double radians(double x) { return x * kDegToRad; }
inline double degrees(double x) { return x * kRadToDeg; }

// min(a, b) and max(a, b) as Python's builtins evaluate them: the first
// argument is kept unless the second compares strictly smaller (larger), which
// fixes the outcome for NaN and signed zeros.
inline double py_min(double a, double b) { return b < a ? b : a; }
inline double py_max(double a, double b) { return b > a ? b : a; }

// A libm result is a domain error when it is NaN from a non-NaN input.
inline double checked1(double r, double x, FaultKind k, Fault& f) {
    if (std::isnan(r) && !std::isnan(x)) f.note(k, x);
    return r;
}

inline double py_sin(double x, Fault& f) { return checked1(crt::sin(x), x, FaultKind::sin, f); }
inline double py_cos(double x, Fault& f) { return checked1(crt::cos(x), x, FaultKind::cos, f); }
inline double py_tan(double x, Fault& f) { return checked1(crt::tan(x), x, FaultKind::tan, f); }
inline double py_asin(double x, Fault& f) { return checked1(crt::asin(x), x, FaultKind::asin, f); }
inline double py_sqrt(double x, Fault& f) { return checked1(std::sqrt(x), x, FaultKind::sqrt, f); }
inline double py_atan(double x) { return crt::atan(x); }

// math.log for one argument.
inline double py_log(double x, Fault& f) {
    if (std::isfinite(x)) {
        if (x > 0.0) return crt::log(x);
        f.note(FaultKind::log, x);
        return std::nan("");
    }
    if (std::isnan(x) || x > 0.0) return x;
    f.note(FaultKind::log, x);
    return std::nan("");
}

// math.sinh: an infinite result from a finite input is a range error.
inline double py_sinh(double x, Fault& f) {
    double r = crt::sinh(x);
    if (std::isinf(r) && std::isfinite(x)) f.note(FaultKind::sinh, x);
    return r;
}

// math.atan2, with the interpreter's explicit handling of NaN, infinities and zeros.
inline double py_atan2(double y, double x) {
    if (std::isnan(x) || std::isnan(y)) return std::nan("");
    if (std::isinf(y)) {
        if (std::isinf(x)) return std::copysign(std::copysign(1.0, x) == 1.0 ? 0.25 * kPi : 0.75 * kPi, y);
        return std::copysign(0.5 * kPi, y);
    }
    if (std::isinf(x) || y == 0.0) {
        if (std::copysign(1.0, x) == 1.0) return std::copysign(0.0, y);
        return std::copysign(kPi, y);
    }
    return crt::atan2(y, x);
}

// The C runtime's pow, called through a pointer the compiler cannot see
// through: it would otherwise fold pow(x, 2.0) into x * x, which differs from
// the runtime's pow in the last bit for some x.
extern double (*volatile runtime_pow)(double, double);

// x ** 2 for a float x: the runtime's pow on the magnitude, overflow being an error.
inline double py_square(double x, Fault& f) {
    if (std::isnan(x)) return x;
    if (std::isinf(x)) return HUGE_VAL;
    if (x == 0.0) return 0.0;
    double r = runtime_pow(std::fabs(x), 2.0);
    if (std::isinf(r)) f.note(FaultKind::square, x);
    return r;
}

// a / b for floats: division by zero is an error, as in Python.
inline double py_div(double a, double b, Fault& f) {
    if (b == 0.0) {
        f.note(FaultKind::zero_division, a);
        return std::nan("");
    }
    return a / b;
}


// round(x) for a finite double: nearest integer, exact halves to even (the
// integral double; the caller turns it into an integer).
double round_half_even(double x);

// round(x, 2) for a double: the double nearest to the exact decimal value of x
// rounded to hundredths, exact halves to even; zero and non-finite values come
// back unchanged, and the sign survives a result of zero.
double round_hundredths(double x);

// The origin's share of the spherical direct problem, the same for every
// destination from it. `fault` holds what its own steps noted; the destination
// reports it in the place the plain evaluation meets those steps.
struct GeodesicOrigin {
    double lat1 = 0.0, lon1 = 0.0;  // radians
    double sin_lat1 = 0.0, cos_lat1 = 0.0;
    Fault fault;
};
GeodesicOrigin geodesic_origin(double lat_deg, double lon_deg);

// Spherical direct problem for a non-zero distance from a prepared origin;
// earth_r is the sphere's radius.
void destination_from(const GeodesicOrigin& origin, double bearing_deg, double distance_m, double earth_r,
                      double* lat_out, double* lon_out, Fault& f);

// The same from (lat_deg, lon_deg).
inline void destination_point(double lat_deg, double lon_deg, double bearing_deg, double distance_m,
                              double earth_r, double* lat_out, double* lon_out, Fault& f) {
    destination_from(geodesic_origin(lat_deg, lon_deg), bearing_deg, distance_m, earth_r, lat_out, lon_out, f);
}

// Haversine great-circle distance in the units of earth_r.
double distance_between(double lat1, double lon1, double lat2, double lon2, double earth_r, Fault& f);

// Initial great-circle bearing from point 1 towards point 2, degrees in [0, 360].
double initial_bearing(double lat1, double lon1, double lat2, double lon2, Fault& f);

// Magnetic to true bearing: (magnetic + declination) mod 360.
inline double true_bearing(double magnetic_deg, double declination_deg) {
    return floored_mod(magnetic_deg + declination_deg, 360.0);
}

}  // namespace vis::geo
