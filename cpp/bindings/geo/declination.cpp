// The declination state (_GEOMAG, _GEOMAG_TRIED, _DECL_CACHE, _DECL_GRID),
// _geomag and magnetic_declination.
#include "bindings/geo/binder.h"
#include "bindings/geo/docs.h"
#include "bindings/geo/registry.h"

#include <cmath>
#include <mutex>

namespace vis::geo {

namespace {

PyObject* g_geomag_fn = nullptr;  // this module's own _geomag
PyObject* g_builtin_round = nullptr;
PyObject* g_str_calculate = nullptr;
PyObject* g_str_d = nullptr;
PyObject* g_str_pygeomag = nullptr;
PyObject* g_str_datetime = nullptr;
PyObject* g_calc_kwnames = nullptr;     // ("glat", "glon", "alt", "time")
PyObject* g_fromlist_geomag = nullptr;  // ("GeoMag",)
PyObject* g_fromlist_datetime = nullptr;

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

// The shared model (new reference), or None. Tried once per process.
PyObject* geomag_impl(PyObject* m) {
    PyObject* tried = global_get(m, N_GEOMAG_TRIED);
    if (!tried) return nullptr;
    const int t = truth(tried);
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
        const int rc = PyDict_SetItem(d, g_name[N_GEOMAG], inst);
        Py_DECREF(inst);
        if (rc < 0) return nullptr;
    }
    PyObject* gm = global_get(m, N_GEOMAG);
    return gm ? Py_NewRef(gm) : nullptr;
}

Signature s_geomag{"_geomag", 0, 0, {}, {}};
Signature s_decl{"magnetic_declination", 3, 2, {"lat_deg", "lon_deg", "decimal_year"}, {}};

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
    const double q = py_div(v, grid, f);
    if (f) return raise_fault(f);
    if (!std::isfinite(q)) return PyLong_FromDouble(q);
    const double r = round_half_even(q);
    if (std::fabs(r) < 4.0e18) return PyLong_FromLongLong(static_cast<long long>(r));
    return PyLong_FromDouble(r);
}

// round(year, 2): exact floats natively, ints stay themselves, anything else
// through the builtin.
PyObject* year_key(PyObject* year) {
    if (PyFloat_CheckExact(year)) {
        double y = 0.0;
        number_as_double(year, &y);  // cannot fail for a float
        const double r = round_hundredths(y);
        if (r == y && std::signbit(r) == std::signbit(y) && !std::isnan(y)) return Py_NewRef(year);
        return PyFloat_FromDouble(r);
    }
    if (PyLong_CheckExact(year)) return Py_NewRef(year);
    return PyObject_CallFunctionObjArgs(g_builtin_round, year, g_int_two, nullptr);
}

// The key (lat cell, lon cell, year) of the cache, or nullptr with an error set.
PyObject* cache_key(PyObject* m, PyObject* lat_obj, PyObject* lon_obj, PyObject* year) {
    double grid, lat, lon;
    PyObject* lat_cell = nullptr;
    PyObject* lon_cell = nullptr;
    PyObject* ykey = nullptr;
    PyObject* key = nullptr;
    if (global_double(m, N_DECL_GRID, &grid) && number_as_double(lat_obj, &lat) &&
        (lat_cell = cell_index(lat, grid)) && number_as_double(lon_obj, &lon) &&
        (lon_cell = cell_index(lon, grid)) && (ykey = year_key(year)))
        key = PyTuple_Pack(3, lat_cell, lon_cell, ykey);
    Py_XDECREF(lat_cell);
    Py_XDECREF(lon_cell);
    Py_XDECREF(ykey);
    return key;
}

// float(gm.calculate(glat=..., glon=..., alt=0, time=...).d), or None when any
// ordinary exception occurs on the way. nullptr only for interrupts and exits.
PyObject* evaluate_model(PyObject* gm, PyObject* lat, PyObject* lon, PyObject* year) {
    PyObject* glat = float_object(lat);
    PyObject* glon = glat ? float_object(lon) : nullptr;
    PyObject* time = glon ? float_object(year) : nullptr;
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
        if (PyDict_Size(cache) > kDeclCacheLimit) PyDict_Clear(cache);
        ok = PyDict_SetItem(cache, key, val) == 0;
    } else {
        const Py_ssize_t size = PyObject_Size(cache);
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
    Py_INCREF(cache);
    PyObject* v = nullptr;
    if (PyDict_CheckExact(cache)) {
        v = PyDict_GetItemWithError(cache, key);
        Py_XINCREF(v);
        *error = !v && PyErr_Occurred();
    } else {
        const int has = PySequence_Contains(cache, key);
        if (has > 0) v = PyObject_GetItem(cache, key);
        *error = has < 0 || (has > 0 && !v);
    }
    Py_DECREF(cache);
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
    PyObject* key = year ? cache_key(m, a[0], a[1], year) : nullptr;
    PyObject* result = nullptr;
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

PyMethodDef g_geomag_def = GEO_DEF(_geomag, py_geomag, "", "() -> Any",
                                   "Return the shared magnetic model object (pygeomag's GeoMag), or None when\n"
                                   "pygeomag is missing or its model cannot be created.\n\n"
                                   "The model is created on the first call only; a failure is not retried.");

PyMethodDef g_decl_def = GEO_DEF(
    magnetic_declination, py_magnetic_declination, ", lat_deg, lon_deg, decimal_year=None",
    "(lat_deg: float, lon_deg: float, decimal_year: float | None = None) -> float | None",
    "Return the magnetic declination in degrees (east positive, west negative) at a\n"
    "place and date, or None when the model is unavailable or the date lies outside\n"
    "its life.\n\n"
    "lat_deg is degrees north, lon_deg degrees east; decimal_year is the date as a\n"
    "fractional year (None: today, UTC). Results are cached per _DECL_GRID-degree\n"
    "cell and hundredth of a year; the cache is emptied when it passes 512 entries.");

}  // namespace

void bind_declination(nb::module_& m) {
    intern_params(s_geomag);
    intern_params(s_decl);
    g_str_calculate = intern("calculate");
    g_str_d = intern("d");
    g_str_pygeomag = intern("pygeomag");
    g_str_datetime = intern("datetime");
    g_calc_kwnames = PyTuple_Pack(4, intern("glat"), intern("glon"), intern("alt"), intern("time"));
    g_fromlist_geomag = PyTuple_Pack(1, intern("GeoMag"));
    g_fromlist_datetime = PyTuple_Pack(2, intern("datetime"), intern("timezone"));
    if (!g_calc_kwnames || !g_fromlist_geomag || !g_fromlist_datetime) throw nb::python_error();
    g_builtin_round = nb::object(nb::module_::import_("builtins").attr("round")).release().ptr();

    m.attr("_GEOMAG") = nb::none();
    m.attr("_GEOMAG_TRIED") = false;
    m.attr("_DECL_CACHE") = nb::dict();
    m.attr("_DECL_GRID") = 0.05;
    g_geomag_fn = add_function(m, g_geomag_def);
    Py_DECREF(add_function(m, g_decl_def));
}

}  // namespace vis::geo
