#include "kernels/uncertainty.h"

namespace vis::geo {

namespace {

inline void carry(const Fault& from, Fault& f) {
    if (from) f.note(from.kind, from.arg);
}

}  // namespace

UncertaintyTerms uncertainty_terms(const UncertaintyCoeffs& c, double gps_err) {
    UncertaintyTerms t;
    t.coeffs = c;
    t.geometric_rel_err = py_div(c.height_tol_m, c.height_assumed_m, t.geometric_fault);
    t.bearing_tan = py_tan(radians(c.bearing_err_deg), t.bearing_fault);
    t.gps_square = py_square(gps_err, t.gps_fault);
    return t;
}

double target_uncertainty(double r, bool range_measured, const UncertaintyTerms& t, Fault& f) {
    double range_err;
    if (range_measured) {
        range_err = py_max(t.coeffs.tof_accuracy_m, r * t.coeffs.tof_rel_err);
    } else {
        carry(t.geometric_fault, f);
        range_err = r * t.geometric_rel_err;
    }
    carry(t.bearing_fault, f);
    const double bearing_err = r * t.bearing_tan;
    double s = py_square(range_err, f);
    s = s + py_square(bearing_err, f);
    carry(t.gps_fault, f);
    s = s + t.gps_square;
    return py_sqrt(s, f);
}

}  // namespace vis::geo
