#include "kernels/uncertainty.h"

namespace vis::geo {

double target_uncertainty(double r, bool range_measured, double gps_err, const UncertaintyCoeffs& c,
                          Fault& f) {
    double range_err = range_measured ? range_error_measured(r, c) : range_error_geometric(r, c, f);
    double bearing_err = bearing_error(r, c, f);
    return combine_errors(range_err, bearing_err, gps_err, f);
}

}  // namespace vis::geo
