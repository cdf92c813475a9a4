// The pieces of visualization.geo's fast-call layer shared by its binding
// files. The functions are plain CPython METH_FASTCALL | METH_KEYWORDS
// functions: per-target, per-frame calls whose whole cost is the call itself.
// Module constants and state are read from the module dictionary with interned
// names at each call; arguments convert like the math module's; faults the
// math module or float arithmetic would raise are re-raised through the
// interpreter itself. Only the limited C API of CPython 3.12 is used, so the
// module also builds for the stable ABI.
#pragma once

#include "bindings/convert.h"
#include "kernels/geodesy.h"

#include <nanobind/nanobind.h>

namespace vis::geo {

namespace nb = nanobind;

// Module attributes read at call time.
enum Name : int {
    N_EARTH_R_M,
    N_TILE_SIZE,
    N_MPP_EQUATOR,
    N_SENSOR_HEIGHT_ASSUMED_M,
    N_SENSOR_HEIGHT_TOL_M,
    N_BEARING_ERR_DEG,
    N_GPS_BASE_CEP_M,
    N_TOF_ACCURACY_M,
    N_TOF_REL_ERR,
    N_GEOMAG,
    N_GEOMAG_TRIED,
    N_DECL_CACHE,
    N_DECL_GRID,
    N_GEOMAG_FN,
    N_COUNT
};

// Interned names (indexed by Name) and shared constant objects, created by
// init_shared when the module loads and kept for the process.
extern PyObject* g_name[N_COUNT];
extern PyObject* g_int_zero;    // 0
extern PyObject* g_int_two;     // 2
extern PyObject* g_float_zero;  // 0.0

// Interns the names, creates the shared objects, imports math.
void init_shared();

// A new interned string; raises (nanobind) on failure.
PyObject* intern(const char* s);

// Borrowed value of a module global; NameError when the host removed it.
inline PyObject* global_get(PyObject* module, Name n) {
    PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(module), g_name[n]);
    if (!v && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", g_name[n]);
    return v;
}

inline bool global_double(PyObject* module, Name n, double* out) {
    PyObject* v = global_get(module, n);
    return v && number_as_double(v, out);
}

// Python's comparison `o <op> 0` (op Py_LE, Py_EQ, Py_GT) with a fast path for
// floats; -1 with an error set when the comparison fails.
inline int compare_zero(PyObject* o, int op) {
    if (PyFloat_CheckExact(o)) {
        double v = 0.0;
        number_as_double(o, &v);  // cannot fail for a float
        switch (op) {
            case Py_LE: return v <= 0.0;
            case Py_EQ: return v == 0.0;
            default: return v > 0.0;
        }
    }
    return PyObject_RichCompareBool(o, op == Py_GT ? g_float_zero : g_int_zero, op);
}

// bool(o), without a call for the two bools.
inline int truth(PyObject* o) { return o == Py_True ? 1 : o == Py_False ? 0 : PyObject_IsTrue(o); }

// Raises the interpreter's own exception for a kernel fault; returns nullptr.
PyObject* raise_fault(const Fault& f);

// OverflowError for a power of two too large for a float; returns nullptr.
PyObject* raise_int_too_large();

// (a, b) as a new tuple of floats.
PyObject* float_pair(double a, double b);

// Binds a fast-call function as a module attribute; returns it (new reference).
PyObject* add_function(nb::module_& m, PyMethodDef& def);
void add_functions(nb::module_& m, PyMethodDef* defs, size_t count);

// The power of two and the world edge of a zoom, with Python's integer
// semantics: 2 ** zoom is an exact integer for an int zoom >= 0 and a float
// otherwise; TILE_SIZE * 2 ** zoom may be an integer too large for a float,
// which fails only where the plain evaluation first converts it.
struct Pow2 {
    bool exact = false;  // exact integer 2**e
    long long e = 0;
    double value = 0.0;  // the float power when not exact
};
bool zoom_pow2(PyObject* zoom, Pow2* p);
// n = TILE_SIZE * 2**zoom as a double; too_large when it does not fit one.
bool world_size(PyObject* module, const Pow2& p, double* n, bool* too_large);
// 2**zoom as a double; too_large when the exact power does not fit one.
double pow2_value(const Pow2& p, bool* too_large);

// The GPS term of the uncertainty for an accuracy argument: its value when it
// compares greater than 0.0, else 0.0 (negative and NaN accuracies).
bool gps_term(PyObject* accuracy, double* out);
// GPS_BASE_CEP_M as bound at load: the default accuracy (borrowed).
PyObject* gps_default();

// The functions of each part, bound in the module's load order.
void bind_geodesy(nb::module_& m);      // destination_point .. true_bearing
void bind_declination(nb::module_& m);  // _GEOMAG .. magnetic_declination
void bind_uncertainty(nb::module_& m);  // target_uncertainty_m
void bind_mercator(nb::module_& m);     // latlon_to_world_px .. zoom_for_range
void bind_targets(nb::module_& m);      // project_targets

}  // namespace vis::geo
