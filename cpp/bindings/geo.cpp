// visualization.geo: spherical geodesy, Web Mercator, declination, uncertainty.
//
// The scalar functions are called per target and per frame, so the whole cost
// of a call is the call itself. They are plain CPython vectorcall functions
// (METH_FASTCALL | METH_KEYWORDS) with a small argument binder that keeps the
// interpreter's keyword semantics and TypeError messages; module constants and
// state are read from the module dictionary with interned names at each call.
// Arguments convert like the math module's (exact floats directly, anything
// else through PyFloat_AsDouble), and errors the math module or float
// arithmetic would raise are re-raised through the interpreter itself.
#include "bindings/common.h"
#include "kernels/geodesy.h"
#include "kernels/mercator.h"
#include "kernels/uncertainty.h"

#include <cerrno>
#include <climits>
#include <mutex>
#include <string>

namespace nb = nanobind;

namespace {

using namespace vis::geo;

// ---------------------------------------------------------------------------
// Interned names and shared objects

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

const char* const kNameText[N_COUNT] = {
    "EARTH_R_M",       "TILE_SIZE",       "_MPP_EQUATOR",  "SENSOR_HEIGHT_ASSUMED_M",
    "SENSOR_HEIGHT_TOL_M", "BEARING_ERR_DEG", "GPS_BASE_CEP_M", "TOF_ACCURACY_M",
    "TOF_REL_ERR",     "_GEOMAG",         "_GEOMAG_TRIED", "_DECL_CACHE",
    "_DECL_GRID",      "_geomag",
};

PyObject* g_name[N_COUNT];
PyObject* g_math = nullptr;             // the math module
PyObject* g_int_zero = nullptr;         // 0
PyObject* g_int_two = nullptr;          // 2
PyObject* g_float_zero = nullptr;       // 0.0
PyObject* g_gps_default = nullptr;      // GPS_BASE_CEP_M as bound at load
PyObject* g_geomag_fn = nullptr;        // this module's own _geomag
PyObject* g_builtin_round = nullptr;    // builtins.round
PyObject* g_str_calculate = nullptr;
PyObject* g_str_d = nullptr;
PyObject* g_str_pygeomag = nullptr;
PyObject* g_str_datetime = nullptr;
PyObject* g_calc_kwnames = nullptr;     // ("glat", "glon", "alt", "time")
PyObject* g_fromlist_geomag = nullptr;  // ("GeoMag",)
PyObject* g_fromlist_datetime = nullptr;

PyObject* intern(const char* s) {
    PyObject* o = PyUnicode_InternFromString(s);
    if (!o) throw nb::python_error();
    return o;
}

// Borrowed value of a module global; NameError when the host removed it.
inline PyObject* global_get(PyObject* module, Name n) {
    PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(module), g_name[n]);
    if (!v && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", g_name[n]);
    return v;
}

inline bool as_double(PyObject* o, double* out) {
    if (PyFloat_CheckExact(o)) {
        *out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

inline bool global_double(PyObject* module, Name n, double* out) {
    PyObject* v = global_get(module, n);
    return v && as_double(v, out);
}

// Python's comparison `o <op> 0` (op Py_LE, Py_EQ, Py_GT) with a fast path for floats.
inline int compare_zero(PyObject* o, int op) {
    if (PyFloat_CheckExact(o)) {
        double v = PyFloat_AS_DOUBLE(o);
        switch (op) {
            case Py_LE: return v <= 0.0;
            case Py_EQ: return v == 0.0;
            default: return v > 0.0;
        }
    }
    return PyObject_RichCompareBool(o, op == Py_GT ? g_float_zero : g_int_zero, op);
}

// ---------------------------------------------------------------------------
// Faults become the interpreter's own exceptions: the failing operation is
// repeated through Python, so type and message match the math module.

PyObject* call_math(const char* fn, double arg) {
    PyObject* f = PyObject_GetAttrString(g_math, fn);
    if (!f) return nullptr;
    PyObject* a = PyFloat_FromDouble(arg);
    PyObject* r = a ? PyObject_CallOneArg(f, a) : nullptr;
    Py_XDECREF(a);
    Py_DECREF(f);
    return r;
}

PyObject* raise_fault(const Fault& f) {
    PyObject* r = nullptr;
    PyObject* fallback = PyExc_ValueError;
    const char* message = "math domain error";
    switch (f.kind) {
        case FaultKind::sin: r = call_math("sin", f.arg); break;
        case FaultKind::cos: r = call_math("cos", f.arg); break;
        case FaultKind::tan: r = call_math("tan", f.arg); break;
        case FaultKind::asin: r = call_math("asin", f.arg); break;
        case FaultKind::sqrt: r = call_math("sqrt", f.arg); break;
        case FaultKind::log: r = call_math("log", f.arg); break;
        case FaultKind::sinh:
            r = call_math("sinh", f.arg);
            fallback = PyExc_OverflowError;
            message = "math range error";
            break;
        case FaultKind::square: {
            PyObject* a = PyFloat_FromDouble(f.arg);
            PyObject* b = PyFloat_FromDouble(2.0);
            if (a && b) r = PyNumber_Power(a, b, Py_None);
            Py_XDECREF(a);
            Py_XDECREF(b);
            if (r) {
                Py_DECREF(r);
                errno = ERANGE;
                return PyErr_SetFromErrno(PyExc_OverflowError);
            }
            return nullptr;
        }
        case FaultKind::zero_division: {
            PyObject* a = PyFloat_FromDouble(f.arg);
            if (a) r = PyNumber_TrueDivide(a, g_float_zero);
            Py_XDECREF(a);
            fallback = PyExc_ZeroDivisionError;
            message = "float division by zero";
            break;
        }
        case FaultKind::int_too_large:
            PyErr_SetString(PyExc_OverflowError, "int too large to convert to float");
            return nullptr;
        case FaultKind::none:
            PyErr_SetString(PyExc_SystemError, "no fault to report");
            return nullptr;
    }
    if (r) {
        Py_DECREF(r);
        PyErr_SetString(fallback, message);
    }
    return nullptr;
}

inline PyObject* float_pair(double a, double b) {
    PyObject* t = PyTuple_New(2);
    if (!t) return nullptr;
    PyObject* x = PyFloat_FromDouble(a);
    PyObject* y = x ? PyFloat_FromDouble(b) : nullptr;
    if (!y) {
        Py_XDECREF(x);
        Py_DECREF(t);
        return nullptr;
    }
    PyTuple_SET_ITEM(t, 0, x);
    PyTuple_SET_ITEM(t, 1, y);
    return t;
}

// ---------------------------------------------------------------------------
// Argument binding with the interpreter's rules and messages

constexpr int kMaxParams = 4;

struct Signature {
    const char* name;
    int nparams;
    int nrequired;
    const char* params[kMaxParams];
    PyObject* interned[kMaxParams];
};

Signature s_destination{"destination_point", 4, 4, {"lat_deg", "lon_deg", "bearing_deg", "distance_m"}, {}};
Signature s_distance{"distance_between", 4, 4, {"lat1", "lon1", "lat2", "lon2"}, {}};
Signature s_bearing{"initial_bearing", 4, 4, {"lat1", "lon1", "lat2", "lon2"}, {}};
Signature s_true{"true_bearing", 2, 1, {"magnetic_bearing_deg", "declination_deg"}, {}};
Signature s_geomag{"_geomag", 0, 0, {}, {}};
Signature s_decl{"magnetic_declination", 3, 2, {"lat_deg", "lon_deg", "decimal_year"}, {}};
Signature s_unc{"target_uncertainty_m", 3, 1, {"range_m", "gps_accuracy_m", "range_measured"}, {}};
Signature s_to_px{"latlon_to_world_px", 3, 3, {"lat_deg", "lon_deg", "zoom"}, {}};
Signature s_from_px{"world_px_to_latlon", 3, 3, {"x", "y", "zoom"}, {}};
Signature s_mpp{"meters_per_pixel", 2, 2, {"lat_deg", "zoom"}, {}};
Signature s_zoom{"zoom_for_range", 4, 3, {"lat_deg", "range_m", "px", "max_zoom"}, {}};

Signature* const kSignatures[] = {&s_destination, &s_distance, &s_bearing, &s_true,  &s_geomag, &s_decl,
                                  &s_unc,         &s_to_px,    &s_from_px, &s_mpp,   &s_zoom};

void too_many_positional(const Signature& s, Py_ssize_t given) {
    std::string takes;
    if (s.nrequired == s.nparams)
        takes = std::to_string(s.nparams) + (s.nparams == 1 ? " positional argument" : " positional arguments");
    else
        takes = "from " + std::to_string(s.nrequired) + " to " + std::to_string(s.nparams) + " positional arguments";
    PyErr_Format(PyExc_TypeError, "%s() takes %s but %zd %s given", s.name, takes.c_str(), given,
                 given == 1 ? "was" : "were");
}

void missing_required(const Signature& s, PyObject* const* out) {
    std::string names;
    int missing[kMaxParams];
    int count = 0;
    for (int i = 0; i < s.nrequired; ++i)
        if (!out[i]) missing[count++] = i;
    for (int j = 0; j < count; ++j) {
        if (j > 0) names += (count == 2) ? " and " : (j == count - 1 ? ", and " : ", ");
        names += std::string("'") + s.params[missing[j]] + "'";
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %d required positional argument%s: %s", s.name, count,
                 count == 1 ? "" : "s", names.c_str());
}

// Binds positional and keyword arguments to the parameters in `out` (borrowed
// references; nullptr for an omitted optional one). Returns the array to read
// from, or nullptr with TypeError set.
PyObject* const* bind_args(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           PyObject** out) {
    if (nargs > s.nparams) {
        too_many_positional(s, nargs);
        return nullptr;
    }
    if (!kwnames && nargs == s.nparams) return args;
    for (int i = 0; i < s.nparams; ++i) out[i] = i < nargs ? args[i] : nullptr;
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, j);
            int idx = -1;
            for (int i = 0; i < s.nparams; ++i)
                if (key == s.interned[i]) {
                    idx = i;
                    break;
                }
            if (idx < 0 && PyUnicode_Check(key)) {
                for (int i = 0; i < s.nparams; ++i)
                    if (PyUnicode_Compare(key, s.interned[i]) == 0) {
                        idx = i;
                        break;
                    }
            }
            if (idx < 0) {
                if (PyUnicode_Check(key))
                    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s.name, key);
                else
                    PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", s.name);
                return nullptr;
            }
            if (out[idx]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", s.name, s.params[idx]);
                return nullptr;
            }
            out[idx] = args[nargs + j];
        }
    }
    for (int i = 0; i < s.nrequired; ++i)
        if (!out[i]) {
            missing_required(s, out);
            return nullptr;
        }
    return out;
}

#define GEO_BIND(sig)                                              \
    PyObject* slots_[kMaxParams > 0 ? kMaxParams : 1];             \
    PyObject* const* a = bind_args(sig, args, nargs, kwnames, slots_); \
    if (!a) return nullptr

// ---------------------------------------------------------------------------
// Spherical geodesy

PyObject* py_destination_point(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    GEO_BIND(s_destination);
    // A zero distance returns the inputs themselves, unconverted.
    int zero = compare_zero(a[3], Py_EQ);
    if (zero < 0) return nullptr;
    if (zero) return PyTuple_Pack(2, a[0], a[1]);
    double dist, earth_r, bearing, lat, lon;
    if (!as_double(a[3], &dist) || !global_double(m, N_EARTH_R_M, &earth_r) || !as_double(a[2], &bearing) ||
        !as_double(a[0], &lat) || !as_double(a[1], &lon))
        return nullptr;
    Fault f;
    double lat2, lon2;
    destination_point(lat, lon, bearing, dist, earth_r, &lat2, &lon2, f);
    if (f) return raise_fault(f);
    return float_pair(lat2, lon2);
}

inline bool four_doubles(PyObject* const* a, double* v) {
    return as_double(a[0], &v[0]) && as_double(a[1], &v[1]) && as_double(a[2], &v[2]) && as_double(a[3], &v[3]);
}

PyObject* py_distance_between(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    GEO_BIND(s_distance);
    double v[4], earth_r;
    if (!four_doubles(a, v) || !global_double(m, N_EARTH_R_M, &earth_r)) return nullptr;
    Fault f;
    double r = distance_between(v[0], v[1], v[2], v[3], earth_r, f);
    if (f) return raise_fault(f);
    return PyFloat_FromDouble(r);
}

PyObject* py_initial_bearing(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    GEO_BIND(s_bearing);
    double v[4];
    if (!four_doubles(a, v)) return nullptr;
    Fault f;
    double r = initial_bearing(v[0], v[1], v[2], v[3], f);
    if (f) return raise_fault(f);
    return PyFloat_FromDouble(r);
}

PyObject* py_true_bearing(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    GEO_BIND(s_true);
    double mb, decl = 0.0;
    if (!as_double(a[0], &mb) || (a[1] && !as_double(a[1], &decl))) return nullptr;
    return PyFloat_FromDouble(true_bearing(mb, decl));
}

// ---------------------------------------------------------------------------
// Powers of two for a zoom, with Python's integer semantics: 2 ** zoom is an
// exact integer for an int zoom >= 0 (too large for a double from 1024 on) and
// a float otherwise.

struct Pow2 {
    bool exact = false;   // exact integer 2**e
    long long e = 0;
    double value = 0.0;   // the float power when not exact
};

bool zoom_pow2(PyObject* zoom, Pow2* p) {
    if (PyLong_Check(zoom)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(zoom, &overflow);
        if (v == -1 && PyErr_Occurred()) return false;
        if (overflow > 0) {
            p->exact = true;
            p->e = LLONG_MAX;
        } else if (overflow < 0) {
            double d = PyLong_AsDouble(zoom);
            if (d == -1.0 && PyErr_Occurred()) return false;
            p->value = std::pow(2.0, d);
        } else if (v >= 0) {
            p->exact = true;
            p->e = v;
        } else {
            p->value = std::pow(2.0, static_cast<double>(v));
        }
        return true;
    }
    if (PyFloat_Check(zoom)) {
        double z = PyFloat_AS_DOUBLE(zoom);
        if (std::isnan(z)) {
            p->value = z;
        } else if (std::isinf(z)) {
            p->value = z > 0.0 ? HUGE_VAL : 0.0;
        } else {
            p->value = std::pow(2.0, z);
            if (std::isinf(p->value)) {
                errno = ERANGE;
                PyErr_SetFromErrno(PyExc_OverflowError);
                return false;
            }
        }
        return true;
    }
    // Anything else: whatever `2 ** zoom` makes of it, as a double.
    PyObject* r = PyNumber_Power(g_int_two, zoom, Py_None);
    if (!r) return false;
    bool ok = as_double(r, &p->value);
    Py_DECREF(r);
    return ok;
}

// n = TILE_SIZE * 2**zoom as a double. `too_large` reports an exact integer
// product that does not fit a double; the caller raises it when the plain
// evaluation would first convert n.
bool world_size(PyObject* m, const Pow2& p, double* n, bool* too_large) {
    *too_large = false;
    PyObject* t = global_get(m, N_TILE_SIZE);
    if (!t) return false;
    if (p.exact) {
        if (PyLong_Check(t)) {
            double td = PyLong_AsDouble(t);
            if (td == -1.0 && PyErr_Occurred()) return false;
            if (td == 0.0) {
                *n = 0.0;
            } else if (p.e > 2 * kMaxExactZoom + 64) {
                *too_large = true;
            } else {
                *n = std::ldexp(td, static_cast<int>(p.e));
                if (std::isinf(*n)) *too_large = true;
            }
            return true;
        }
        if (PyFloat_Check(t)) {
            if (p.e > kMaxExactZoom) {
                *too_large = true;
                return true;
            }
            *n = PyFloat_AS_DOUBLE(t) * std::ldexp(1.0, static_cast<int>(p.e));
            return true;
        }
        if (p.e > 4 * kMaxExactZoom) {
            *too_large = true;
            return true;
        }
        PyObject* shift = PyLong_FromLongLong(p.e);
        PyObject* one = PyLong_FromLong(1);
        PyObject* pw = (shift && one) ? PyNumber_Lshift(one, shift) : nullptr;
        Py_XDECREF(shift);
        Py_XDECREF(one);
        if (!pw) return false;
        PyObject* prod = PyNumber_Multiply(t, pw);
        Py_DECREF(pw);
        if (!prod) return false;
        bool ok = as_double(prod, n);
        Py_DECREF(prod);
        return ok;
    }
    if (PyLong_Check(t) || PyFloat_Check(t)) {
        double td;
        if (!as_double(t, &td)) return false;
        *n = td * p.value;
        return true;
    }
    PyObject* pv = PyFloat_FromDouble(p.value);
    if (!pv) return false;
    PyObject* prod = PyNumber_Multiply(t, pv);
    Py_DECREF(pv);
    if (!prod) return false;
    bool ok = as_double(prod, n);
    Py_DECREF(prod);
    return ok;
}

inline PyObject* raise_int_too_large() {
    Fault f;
    f.note(FaultKind::int_too_large, 0.0);
    return raise_fault(f);
}

// ---------------------------------------------------------------------------
// Web Mercator

PyObject* py_latlon_to_world_px(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    GEO_BIND(s_to_px);
    Pow2 p;
    double n = 0.0, lat, lon;
    bool too_large;
    if (!zoom_pow2(a[2], &p) || !world_size(m, p, &n, &too_large) || !as_double(a[1], &lon)) return nullptr;
    if (too_large) return raise_int_too_large();
    if (!as_double(a[0], &lat)) return nullptr;
    Fault f;
    double x, y;
    latlon_to_world_px(lat, lon, n, &x, &y, f);
    if (f) return raise_fault(f);
    return float_pair(x, y);
}

PyObject* py_world_px_to_latlon(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    GEO_BIND(s_from_px);
    Pow2 p;
    double n = 0.0, x, y;
    bool too_large;
    if (!zoom_pow2(a[2], &p) || !world_size(m, p, &n, &too_large) || !as_double(a[0], &x)) return nullptr;
    if (too_large) return raise_int_too_large();
    if (!as_double(a[1], &y)) return nullptr;
    Fault f;
    double lat, lon;
    world_px_to_latlon(x, y, n, &lat, &lon, f);
    if (f) return raise_fault(f);
    return float_pair(lat, lon);
}

PyObject* py_meters_per_pixel(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    GEO_BIND(s_mpp);
    double lat, mpp;
    if (!as_double(a[0], &lat) || !global_double(m, N_MPP_EQUATOR, &mpp)) return nullptr;
    Fault f;
    double c = ground_scale(lat, mpp, f);
    if (f) return raise_fault(f);
    Pow2 p;
    if (!zoom_pow2(a[1], &p)) return nullptr;
    double pow2 = p.value;
    if (p.exact) {
        if (p.e > kMaxExactZoom) return raise_int_too_large();
        pow2 = std::ldexp(1.0, static_cast<int>(p.e));
    }
    double r = py_div(c, pow2, f);
    if (f) return raise_fault(f);
    return PyFloat_FromDouble(r);
}

PyObject* py_zoom_for_range(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    GEO_BIND(s_zoom);
    constexpr long kFallbackZoom = 17;
    int le = compare_zero(a[1], Py_LE);
    if (le < 0) return nullptr;
    if (le) return PyLong_FromLong(kFallbackZoom);
    le = compare_zero(a[2], Py_LE);
    if (le < 0) return nullptr;
    if (le) return PyLong_FromLong(kFallbackZoom);
    double range, px;
    if (!as_double(a[1], &range) || !as_double(a[2], &px)) return nullptr;
    Fault f;
    double want = py_div(2.0 * range, px, f);
    if (f) return raise_fault(f);
    // max_zoom truncated as int() does.
    long long max_zoom = 23;
    if (a[3]) {
        PyObject* z = PyLong_CheckExact(a[3]) ? (Py_INCREF(a[3]), a[3]) : PyNumber_Long(a[3]);
        if (!z) return nullptr;
        int overflow = 0;
        max_zoom = PyLong_AsLongLongAndOverflow(z, &overflow);
        Py_DECREF(z);
        if (max_zoom == -1 && PyErr_Occurred()) return nullptr;
        if (overflow) max_zoom = overflow > 0 ? LLONG_MAX : -1;
    }
    if (max_zoom < 0) return PyLong_FromLong(0);
    double lat, mpp;
    if (!as_double(a[0], &lat) || !global_double(m, N_MPP_EQUATOR, &mpp)) return nullptr;
    int z = zoom_for_range(lat, want, mpp, max_zoom, f);
    if (f) return raise_fault(f);
    return PyLong_FromLong(z);
}

// ---------------------------------------------------------------------------
// Target uncertainty

PyObject* py_target_uncertainty_m(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    GEO_BIND(s_unc);
    double r;
    if (!as_double(a[0], &r)) return nullptr;
    r = std::fabs(r);
    int measured = 0;
    if (a[2]) {
        measured = a[2] == Py_True ? 1 : a[2] == Py_False ? 0 : PyObject_IsTrue(a[2]);
        if (measured < 0) return nullptr;
    }
    UncertaintyCoeffs c;
    if (measured) {
        if (!global_double(m, N_TOF_ACCURACY_M, &c.tof_accuracy_m) || !global_double(m, N_TOF_REL_ERR, &c.tof_rel_err))
            return nullptr;
    } else {
        if (!global_double(m, N_SENSOR_HEIGHT_TOL_M, &c.height_tol_m) ||
            !global_double(m, N_SENSOR_HEIGHT_ASSUMED_M, &c.height_assumed_m))
            return nullptr;
    }
    if (!global_double(m, N_BEARING_ERR_DEG, &c.bearing_err_deg)) return nullptr;
    // A negative or NaN accuracy counts as 0.
    PyObject* g = a[1] ? a[1] : g_gps_default;
    int positive = compare_zero(g, Py_GT);
    if (positive < 0) return nullptr;
    double gps = 0.0;
    if (positive && !as_double(g, &gps)) return nullptr;
    Fault f;
    double u = target_uncertainty(r, measured != 0, gps, c, f);
    if (f) return raise_fault(f);
    return PyFloat_FromDouble(u);
}

// ---------------------------------------------------------------------------
// Magnetic declination

// The model object writes shared scratch tables while it evaluates, so two
// threads inside `calculate` at once can corrupt each other's results. Model
// evaluations are serialised; a caller that must wait does so with the GIL
// released, so the thread holding the lock can always finish.
std::recursive_mutex g_model_mutex;

struct ModelLock {
    ModelLock() {
        if (!g_model_mutex.try_lock()) {
            Py_BEGIN_ALLOW_THREADS
            g_model_mutex.lock();
            Py_END_ALLOW_THREADS
        }
    }
    ~ModelLock() { g_model_mutex.unlock(); }
    ModelLock(const ModelLock&) = delete;
    ModelLock& operator=(const ModelLock&) = delete;
};

// `from <name> import <fromlist>` through builtins.__import__, so import hooks
// and modules the host placed in sys.modules are honoured.
PyObject* import_from(PyObject* m, PyObject* name, PyObject* fromlist) {
    PyObject* builtins = PyEval_GetBuiltins();
    PyObject* imp = builtins ? PyDict_GetItemString(builtins, "__import__") : nullptr;
    if (!imp) {
        PyErr_SetString(PyExc_ImportError, "__import__ not found");
        return nullptr;
    }
    Py_INCREF(imp);
    PyObject* level = PyLong_FromLong(0);
    PyObject* r = level ? PyObject_CallFunctionObjArgs(imp, name, PyModule_GetDict(m), Py_None, fromlist, level, nullptr)
                        : nullptr;
    Py_XDECREF(level);
    Py_DECREF(imp);
    return r;
}

PyObject* import_attr(PyObject* module, const char* attr) {
    PyObject* v = PyObject_GetAttrString(module, attr);
    if (!v && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s'", attr);
    }
    return v;
}

PyObject* create_model(PyObject* m) {
    PyObject* mod = import_from(m, g_str_pygeomag, g_fromlist_geomag);
    if (!mod) return nullptr;
    PyObject* cls = import_attr(mod, "GeoMag");
    Py_DECREF(mod);
    if (!cls) return nullptr;
    PyObject* inst = PyObject_CallNoArgs(cls);
    Py_DECREF(cls);
    return inst;
}

inline int truth(PyObject* o) { return o == Py_True ? 1 : o == Py_False ? 0 : PyObject_IsTrue(o); }

// The shared model (new reference), or None. Tried once per process.
PyObject* geomag_impl(PyObject* m) {
    PyObject* tried = global_get(m, N_GEOMAG_TRIED);
    if (!tried) return nullptr;
    int t = truth(tried);
    if (t < 0) return nullptr;
    PyObject* d = PyModule_GetDict(m);
    if (!t) {
        // Marked before trying, so a failure is never retried and a concurrent
        // caller during the creation sees "unavailable".
        if (PyDict_SetItem(d, g_name[N_GEOMAG_TRIED], Py_True) < 0) return nullptr;
        PyObject* inst = create_model(m);
        if (!inst) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
            PyErr_Clear();
            inst = Py_NewRef(Py_None);
        }
        int rc = PyDict_SetItem(d, g_name[N_GEOMAG], inst);
        Py_DECREF(inst);
        if (rc < 0) return nullptr;
    }
    PyObject* gm = global_get(m, N_GEOMAG);
    return gm ? Py_NewRef(gm) : nullptr;
}

PyObject* py_geomag(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    GEO_BIND(s_geomag);
    (void)a;
    return geomag_impl(m);
}

// Today's date (UTC) as a decimal year: year + (day of year - 1) / 365.25.
PyObject* today_decimal_year(PyObject* m) {
    PyObject* mod = import_from(m, g_str_datetime, g_fromlist_datetime);
    if (!mod) return nullptr;
    PyObject* dt = import_attr(mod, "datetime");
    PyObject* tz = dt ? import_attr(mod, "timezone") : nullptr;
    Py_DECREF(mod);
    PyObject* utc = tz ? PyObject_GetAttrString(tz, "utc") : nullptr;
    PyObject* now = utc ? PyObject_CallMethod(dt, "now", "O", utc) : nullptr;
    Py_XDECREF(utc);
    Py_XDECREF(tz);
    Py_XDECREF(dt);
    if (!now) return nullptr;
    PyObject* year = PyObject_GetAttrString(now, "year");
    PyObject* tt = year ? PyObject_CallMethod(now, "timetuple", nullptr) : nullptr;
    PyObject* yday = tt ? PyObject_GetAttrString(tt, "tm_yday") : nullptr;
    Py_XDECREF(tt);
    Py_DECREF(now);
    PyObject* result = nullptr;
    if (yday) {
        // (yday - 1) / 365.25, then year + that, with the interpreter's arithmetic.
        PyObject* one = PyLong_FromLong(1);
        PyObject* days = one ? PyNumber_Subtract(yday, one) : nullptr;
        PyObject* denom = PyFloat_FromDouble(365.25);
        PyObject* frac = (days && denom) ? PyNumber_TrueDivide(days, denom) : nullptr;
        result = frac ? PyNumber_Add(year, frac) : nullptr;
        Py_XDECREF(one);
        Py_XDECREF(days);
        Py_XDECREF(denom);
        Py_XDECREF(frac);
    }
    Py_XDECREF(yday);
    Py_XDECREF(year);
    return result;
}

// round(v / grid) as an int: ties to even; NaN and infinities raise the
// interpreter's own conversion errors.
PyObject* cell_index(double v, double grid) {
    Fault f;
    double q = py_div(v, grid, f);
    if (f) return raise_fault(f);
    if (!std::isfinite(q)) return PyLong_FromDouble(q);
    double r = round_half_even(q);
    if (std::fabs(r) < 4.0e18) return PyLong_FromLongLong(static_cast<long long>(r));
    return PyLong_FromDouble(r);
}

// round(year, 2): exact floats natively, ints stay themselves, anything else
// through the builtin.
PyObject* year_key(PyObject* year) {
    if (PyFloat_CheckExact(year)) {
        double y = PyFloat_AS_DOUBLE(year);
        double r = round_hundredths(y);
        if (r == y && std::signbit(r) == std::signbit(y) && !std::isnan(y)) return Py_NewRef(year);
        return PyFloat_FromDouble(r);
    }
    if (PyLong_CheckExact(year)) return Py_NewRef(year);
    PyObject* two = PyLong_FromLong(2);
    if (!two) return nullptr;
    PyObject* r = PyObject_CallFunctionObjArgs(g_builtin_round, year, two, nullptr);
    Py_DECREF(two);
    return r;
}

inline PyObject* to_float(PyObject* o) { return PyFloat_CheckExact(o) ? Py_NewRef(o) : PyNumber_Float(o); }

// float(gm.calculate(glat=..., glon=..., alt=0, time=...).d), or None when any
// ordinary exception occurs on the way. nullptr only for interrupts and exits.
PyObject* evaluate_model(PyObject* gm, PyObject* lat, PyObject* lon, PyObject* year) {
    PyObject* glat = to_float(lat);
    PyObject* glon = glat ? to_float(lon) : nullptr;
    PyObject* time = glon ? to_float(year) : nullptr;
    PyObject* val = nullptr;
    if (time) {
        PyObject* res;
        {
            ModelLock lock;
            PyObject* call_args[5] = {gm, glat, glon, g_int_zero, time};
            res = PyObject_VectorcallMethod(g_str_calculate, call_args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                            g_calc_kwnames);
        }
        if (res) {
            PyObject* d = PyObject_GetAttr(res, g_str_d);
            Py_DECREF(res);
            if (d) {
                val = PyNumber_Float(d);
                Py_DECREF(d);
            }
        }
    }
    Py_XDECREF(glat);
    Py_XDECREF(glon);
    Py_XDECREF(time);
    if (!val) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
        PyErr_Clear();
        val = Py_NewRef(Py_None);
    }
    return val;
}

constexpr Py_ssize_t kDeclCacheLimit = 512;

// Stores val under key, emptying the cache first when it holds more than the limit.
bool cache_store(PyObject* m, PyObject* key, PyObject* val) {
    PyObject* cache = global_get(m, N_DECL_CACHE);
    if (!cache) return false;
    Py_INCREF(cache);
    bool ok = false;
    if (PyDict_CheckExact(cache)) {
        if (PyDict_GET_SIZE(cache) > kDeclCacheLimit) PyDict_Clear(cache);
        ok = PyDict_SetItem(cache, key, val) == 0;
    } else {
        Py_ssize_t size = PyObject_Size(cache);
        if (size >= 0) {
            bool cleared = true;
            if (size > kDeclCacheLimit) {
                PyObject* r = PyObject_CallMethod(cache, "clear", nullptr);
                cleared = r != nullptr;
                Py_XDECREF(r);
            }
            ok = cleared && PyObject_SetItem(cache, key, val) == 0;
        }
    }
    Py_DECREF(cache);
    return ok;
}

// Cached value for key (new reference), nullptr with no error on a miss.
PyObject* cache_lookup(PyObject* m, PyObject* key, bool* error) {
    *error = true;
    PyObject* cache = global_get(m, N_DECL_CACHE);
    if (!cache) return nullptr;
    if (PyDict_CheckExact(cache)) {
        Py_INCREF(cache);
        PyObject* v = PyDict_GetItemWithError(cache, key);
        Py_XINCREF(v);
        Py_DECREF(cache);
        *error = !v && PyErr_Occurred();
        return v;
    }
    Py_INCREF(cache);
    PyObject* v = nullptr;
    int has = PySequence_Contains(cache, key);
    if (has > 0) v = PyObject_GetItem(cache, key);
    Py_DECREF(cache);
    *error = has < 0 || (has > 0 && !v);
    return v;
}

PyObject* py_magnetic_declination(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    GEO_BIND(s_decl);
    PyObject* fn = global_get(m, N_GEOMAG_FN);
    if (!fn) return nullptr;
    PyObject* gm = fn == g_geomag_fn ? geomag_impl(m) : PyObject_CallNoArgs(fn);
    if (!gm) return nullptr;
    if (gm == Py_None) return gm;

    PyObject* year = a[2] && a[2] != Py_None ? Py_NewRef(a[2]) : today_decimal_year(m);
    PyObject* key = nullptr;
    PyObject* result = nullptr;
    if (year) {
        double grid, lat, lon;
        PyObject* lat_cell = nullptr;
        PyObject* lon_cell = nullptr;
        PyObject* ykey = nullptr;
        if (global_double(m, N_DECL_GRID, &grid) && as_double(a[0], &lat) && (lat_cell = cell_index(lat, grid)) &&
            as_double(a[1], &lon) && (lon_cell = cell_index(lon, grid)) && (ykey = year_key(year))) {
            key = PyTuple_New(3);
            if (key) {
                PyTuple_SET_ITEM(key, 0, lat_cell);
                PyTuple_SET_ITEM(key, 1, lon_cell);
                PyTuple_SET_ITEM(key, 2, ykey);
                lat_cell = lon_cell = ykey = nullptr;
            }
        }
        Py_XDECREF(lat_cell);
        Py_XDECREF(lon_cell);
        Py_XDECREF(ykey);
    }
    if (key) {
        bool error;
        result = cache_lookup(m, key, &error);
        if (!result && !error) {
            PyObject* val = evaluate_model(gm, a[0], a[1], year);
            if (val && cache_store(m, key, val)) result = val;
            else Py_XDECREF(val);
        }
    }
    Py_XDECREF(key);
    Py_XDECREF(year);
    Py_DECREF(gm);
    return result;
}

// ---------------------------------------------------------------------------
// Function table (text signatures make inspect.signature work)

using FastFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

#define GEO_DEF(name, fn, doc) {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), METH_FASTCALL | METH_KEYWORDS, doc}

std::string g_unc_doc;

PyMethodDef g_defs[] = {
    GEO_DEF("destination_point", static_cast<FastFn>(py_destination_point),
            "destination_point($module, /, lat_deg, lon_deg, bearing_deg, distance_m)\n--\n\n"
            "Point (lat, lon) reached by going distance_m metres along the true bearing bearing_deg."),
    GEO_DEF("distance_between", static_cast<FastFn>(py_distance_between),
            "distance_between($module, /, lat1, lon1, lat2, lon2)\n--\n\n"
            "Great-circle (haversine) ground distance in metres."),
    GEO_DEF("initial_bearing", static_cast<FastFn>(py_initial_bearing),
            "initial_bearing($module, /, lat1, lon1, lat2, lon2)\n--\n\n"
            "True-north bearing in degrees of the great circle from point 1 towards point 2."),
    GEO_DEF("true_bearing", static_cast<FastFn>(py_true_bearing),
            "true_bearing($module, /, magnetic_bearing_deg, declination_deg=0.0)\n--\n\n"
            "True bearing for a magnetic bearing and an east-positive declination."),
    GEO_DEF("_geomag", static_cast<FastFn>(py_geomag),
            "_geomag($module, /)\n--\n\n"
            "The shared magnetic model object, or None when it is unavailable."),
    GEO_DEF("magnetic_declination", static_cast<FastFn>(py_magnetic_declination),
            "magnetic_declination($module, /, lat_deg, lon_deg, decimal_year=None)\n--\n\n"
            "Declination in degrees (east +), or None; cached per 0.05 degree cell and hundredth of a year."),
    GEO_DEF("target_uncertainty_m", static_cast<FastFn>(py_target_uncertainty_m), nullptr),
    GEO_DEF("latlon_to_world_px", static_cast<FastFn>(py_latlon_to_world_px),
            "latlon_to_world_px($module, /, lat_deg, lon_deg, zoom)\n--\n\n"
            "Web Mercator world pixel (x, y) of a point at a zoom."),
    GEO_DEF("world_px_to_latlon", static_cast<FastFn>(py_world_px_to_latlon),
            "world_px_to_latlon($module, /, x, y, zoom)\n--\n\n"
            "Geographic (lat, lon) of a world pixel (x, y) at a zoom."),
    GEO_DEF("meters_per_pixel", static_cast<FastFn>(py_meters_per_pixel),
            "meters_per_pixel($module, /, lat_deg, zoom)\n--\n\n"
            "Ground metres covered by one pixel at a latitude and zoom."),
    GEO_DEF("zoom_for_range", static_cast<FastFn>(py_zoom_for_range),
            "zoom_for_range($module, /, lat_deg, range_m, px, max_zoom=23)\n--\n\n"
            "Highest zoom at which a disc of radius range_m fits into px pixels."),
};

PyObject* add_function(nb::module_& m, const char* name) {
    for (PyMethodDef& def : g_defs) {
        if (std::string(def.ml_name) != name) continue;
        nb::object modname = m.attr("__name__");
        PyObject* fn = PyCFunction_NewEx(&def, m.ptr(), modname.ptr());
        if (!fn) throw nb::python_error();
        if (PyModule_AddObjectRef(m.ptr(), name, fn) < 0) {
            Py_DECREF(fn);
            throw nb::python_error();
        }
        return fn;  // new reference, kept or released by the caller
    }
    throw std::runtime_error(std::string("unknown function ") + name);
}

void add_functions(nb::module_& m, std::initializer_list<const char*> names) {
    for (const char* n : names) Py_DECREF(add_function(m, n));
}

}  // namespace

NB_MODULE(geo, m) {
    m.doc() = "Geographic projection: spherical geodesy, Web Mercator tiles, magnetic declination, "
              "target uncertainty.";
    for (int i = 0; i < N_COUNT; ++i) g_name[i] = intern(kNameText[i]);
    for (Signature* s : kSignatures)
        for (int i = 0; i < s->nparams; ++i) s->interned[i] = intern(s->params[i]);
    g_str_calculate = intern("calculate");
    g_str_d = intern("d");
    g_str_pygeomag = intern("pygeomag");
    g_str_datetime = intern("datetime");
    g_int_zero = PyLong_FromLong(0);
    g_int_two = PyLong_FromLong(2);
    g_float_zero = PyFloat_FromDouble(0.0);
    g_calc_kwnames = PyTuple_Pack(4, intern("glat"), intern("glon"), intern("alt"), intern("time"));
    g_fromlist_geomag = PyTuple_Pack(1, intern("GeoMag"));
    g_fromlist_datetime = PyTuple_Pack(2, intern("datetime"), intern("timezone"));
    if (!g_int_zero || !g_int_two || !g_float_zero || !g_calc_kwnames || !g_fromlist_geomag || !g_fromlist_datetime)
        throw nb::python_error();
    g_builtin_round = nb::object(nb::module_::import_("builtins").attr("round")).release().ptr();

    nb::module_ math = nb::module_::import_("math");
    g_math = math.inc_ref().ptr();
    m.attr("math") = math;
    nb::module_ typing = nb::module_::import_("typing");
    m.attr("Optional") = typing.attr("Optional");
    m.attr("Tuple") = typing.attr("Tuple");

    m.attr("EARTH_R_M") = 6371008.8;
    m.attr("TILE_SIZE") = 256;
    m.attr("_MPP_EQUATOR") = 156543.033928041;
    m.attr("SENSOR_HEIGHT_ASSUMED_M") = 2.0;
    m.attr("SENSOR_HEIGHT_TOL_M") = 0.5;
    m.attr("BEARING_ERR_DEG") = 3.0;
    m.attr("GPS_BASE_CEP_M") = 2.5;
    m.attr("TOF_ACCURACY_M") = 0.03;
    m.attr("TOF_REL_ERR") = 0.01;

    add_functions(m, {"destination_point", "distance_between", "initial_bearing", "true_bearing"});

    m.attr("_GEOMAG") = nb::none();
    m.attr("_GEOMAG_TRIED") = false;
    m.attr("_DECL_CACHE") = nb::dict();
    m.attr("_DECL_GRID") = 0.05;
    g_geomag_fn = add_function(m, "_geomag");
    add_functions(m, {"magnetic_declination"});

    // The default accuracy is the constant's value now, at load.
    nb::object gps_default = m.attr("GPS_BASE_CEP_M");
    g_gps_default = gps_default.inc_ref().ptr();
    g_unc_doc = "target_uncertainty_m($module, /, range_m, gps_accuracy_m=" +
                std::string(nb::repr(gps_default).c_str()) +
                ", range_measured=False)\n--\n\n"
                "Uncertainty radius in metres of a target projected by bearing and range.";
    for (PyMethodDef& def : g_defs)
        if (std::string(def.ml_name) == "target_uncertainty_m") def.ml_doc = g_unc_doc.c_str();
    add_functions(m, {"target_uncertainty_m"});

    add_functions(m, {"latlon_to_world_px", "world_px_to_latlon", "meters_per_pixel", "zoom_for_range"});
}
