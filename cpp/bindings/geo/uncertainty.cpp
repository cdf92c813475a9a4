// target_uncertainty_m, and the reading of its coefficients shared with
// project_targets.
#include "bindings/geo/binder.h"
#include "bindings/geo/docs.h"
#include "bindings/geo/registry.h"
#include "bindings/geo/uncertainty.h"

#include <cmath>
#include <string>

namespace vis::geo {

namespace {

PyObject* g_gps_default = nullptr;  // GPS_BASE_CEP_M as bound at load

}  // namespace

PyObject* gps_default() { return g_gps_default; }

bool gps_term(PyObject* accuracy, double* out) {
    const int positive = compare_zero(accuracy, Py_GT);
    if (positive < 0) return false;
    *out = 0.0;
    return !positive || number_as_double(accuracy, out);
}

bool read_coefficients(PyObject* m, bool measured, bool geometric, UncertaintyCoeffs* c) {
    if (measured &&
        (!global_double(m, N_TOF_ACCURACY_M, &c->tof_accuracy_m) || !global_double(m, N_TOF_REL_ERR, &c->tof_rel_err)))
        return false;
    if (geometric && (!global_double(m, N_SENSOR_HEIGHT_TOL_M, &c->height_tol_m) ||
                      !global_double(m, N_SENSOR_HEIGHT_ASSUMED_M, &c->height_assumed_m)))
        return false;
    return global_double(m, N_BEARING_ERR_DEG, &c->bearing_err_deg);
}

namespace {

Signature s_unc{"target_uncertainty_m", 3, 1, {"range_m", "gps_accuracy_m", "range_measured"}, {}};

PyObject* py_target_uncertainty_m(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    GEO_BIND(s_unc);
    double r;
    if (!number_as_double(a[0], &r)) return nullptr;
    r = std::fabs(r);
    int measured = 0;
    if (a[2] && (measured = truth(a[2])) < 0) return nullptr;
    UncertaintyCoeffs c;
    double gps;
    if (!read_coefficients(m, measured != 0, measured == 0, &c) || !gps_term(a[1] ? a[1] : g_gps_default, &gps))
        return nullptr;
    Fault f;
    const double u = target_uncertainty(r, measured != 0, gps, c, f);
    if (f) return raise_fault(f);
    return PyFloat_FromDouble(u);
}

// The docstring names the default accuracy, which is fixed when the module loads.
std::string g_doc;

PyMethodDef g_def = GEO_DEF(target_uncertainty_m, py_target_uncertainty_m, "", "", "");

}  // namespace

void bind_uncertainty(nb::module_& m) {
    intern_params(s_unc);
    nb::object gps = m.attr("GPS_BASE_CEP_M");
    g_gps_default = gps.inc_ref().ptr();
    const std::string dflt = nb::repr(gps).c_str();
    g_doc = "target_uncertainty_m($module, /, range_m, gps_accuracy_m=" + dflt +
            ", range_measured=False)\n--\n\n"
            "target_uncertainty_m(range_m: float, gps_accuracy_m: float = " + dflt +
            ", range_measured: bool = False) -> float\n\n"
            "Return the uncertainty radius in metres of a target projected from the scan\n"
            "origin by bearing and horizontal range.\n\n"
            "range_m is the horizontal range in metres (its sign is ignored); gps_accuracy_m\n"
            "the origin fix's accuracy in metres (CEP; negative or NaN counts as 0);\n"
            "range_measured is true for a laser time-of-flight range, false for one derived\n"
            "from the tilt and the assumed sensor height. The range, bearing and GPS errors\n"
            "combine as the root of the sum of their squares.";
    g_def.ml_doc = g_doc.c_str();
    Py_DECREF(add_function(m, g_def));
}

}  // namespace vis::geo
