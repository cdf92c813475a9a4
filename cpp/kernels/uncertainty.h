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

// The parts of the radius that depend on the coefficients and the GPS term
// alone, the same for every target of a call. Each carries the fault its own
// evaluation noted, reported where the plain evaluation meets that step.
struct UncertaintyTerms {
    UncertaintyCoeffs coeffs;
    double geometric_rel_err = 0.0;  // height tolerance / assumed height
    Fault geometric_fault;
    double bearing_tan = 0.0;        // tan(bearing error): the chord offset per metre, not the arc
    Fault bearing_fault;
    double gps_square = 0.0;         // gps_err ** 2
    Fault gps_fault;
};

UncertaintyTerms uncertainty_terms(const UncertaintyCoeffs& c, double gps_err);

// The radius for an already non-negative range r: range, bearing and GPS
// errors combined as sqrt(range_err**2 + bearing_err**2 + gps_err**2), summed
// left to right. Measured ranges err by the larger of the TOF floor and the
// relative error; geometric ranges scale with the height tolerance.
double target_uncertainty(double r, bool range_measured, const UncertaintyTerms& t, Fault& f);

// The same for one call.
inline double target_uncertainty(double r, bool range_measured, double gps_err, const UncertaintyCoeffs& c,
                                 Fault& f) {
    return target_uncertainty(r, range_measured, uncertainty_terms(c, gps_err), f);
}

}  // namespace vis::geo
