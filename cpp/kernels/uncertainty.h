// Uncertainty radius of a target projected from the scan origin: range,
// bearing and GPS terms combined as the root of the sum of squares.
#pragma once

#include "kernels/geodesy.h"

namespace vis::geo {

// Error budget coefficients (the module constants of the same role).
struct UncertaintyCoeffs {
    double tof_accuracy_m = 0.0;     // floor of a measured range's error
    double tof_rel_err = 0.0;        // relative error of a measured range
    double height_tol_m = 0.0;       // tolerance of the assumed sensor height
    double height_assumed_m = 0.0;   // sensor height the geometric range assumes
    double bearing_err_deg = 0.0;    // bearing error, degrees
};

// Range term: measured ranges use the larger of the TOF floor and the relative
// error; geometric ranges scale with the height tolerance. r is |range|.
inline double range_error_measured(double r, const UncertaintyCoeffs& c) {
    return py_max(c.tof_accuracy_m, r * c.tof_rel_err);
}
inline double range_error_geometric(double r, const UncertaintyCoeffs& c, Fault& f) {
    return r * py_div(c.height_tol_m, c.height_assumed_m, f);
}

// Bearing term: the chord offset r * tan(bearing error), not the arc length.
inline double bearing_error(double r, const UncertaintyCoeffs& c, Fault& f) {
    return r * py_tan(radians(c.bearing_err_deg), f);
}

// sqrt(range_err**2 + bearing_err**2 + gps_err**2), summed left to right.
inline double combine_errors(double range_err, double bearing_err, double gps_err, Fault& f) {
    double s = py_square(range_err, f);
    s = s + py_square(bearing_err, f);
    s = s + py_square(gps_err, f);
    return py_sqrt(s, f);
}

// The whole radius for an already non-negative range r and GPS term gps_err.
double target_uncertainty(double r, bool range_measured, double gps_err, const UncertaintyCoeffs& c,
                          Fault& f);

}  // namespace vis::geo
