// Interned names, shared objects and function registration.
#include "bindings/geo/registry.h"

namespace vis::geo {

namespace {

const char* const kNameText[N_COUNT] = {
    "EARTH_R_M",       "TILE_SIZE",       "_MPP_EQUATOR",  "SENSOR_HEIGHT_ASSUMED_M",
    "SENSOR_HEIGHT_TOL_M", "BEARING_ERR_DEG", "GPS_BASE_CEP_M", "TOF_ACCURACY_M",
    "TOF_REL_ERR",     "_GEOMAG",         "_GEOMAG_TRIED", "_DECL_CACHE",
    "_DECL_GRID",      "_geomag",
};

PyObject* new_or_throw(PyObject* o) {
    if (!o) throw nb::python_error();
    return o;
}

}  // namespace

PyObject* g_name[N_COUNT];
PyObject* g_int_zero = nullptr;
PyObject* g_int_two = nullptr;
PyObject* g_float_zero = nullptr;

PyObject* intern(const char* s) { return new_or_throw(PyUnicode_InternFromString(s)); }

void init_shared() {
    for (int i = 0; i < N_COUNT; ++i) g_name[i] = intern(kNameText[i]);
    g_int_zero = new_or_throw(PyLong_FromLong(0));
    g_int_two = new_or_throw(PyLong_FromLong(2));
    g_float_zero = new_or_throw(PyFloat_FromDouble(0.0));
}

PyObject* float_pair(double a, double b) {
    PyObject* x = PyFloat_FromDouble(a);
    if (!x) return nullptr;
    PyObject* y = PyFloat_FromDouble(b);
    if (!y) {
        Py_DECREF(x);
        return nullptr;
    }
    PyObject* t = PyTuple_New(2);
    if (!t) {
        Py_DECREF(x);
        Py_DECREF(y);
        return nullptr;
    }
    // PyTuple_SetItem steals both references, also when it fails.
    if (PyTuple_SetItem(t, 0, x) < 0 || PyTuple_SetItem(t, 1, y) < 0) {
        Py_DECREF(t);
        return nullptr;
    }
    return t;
}

PyObject* add_function(nb::module_& m, PyMethodDef& def) {
    nb::object modname = m.attr("__name__");
    PyObject* fn = new_or_throw(PyCFunction_NewEx(&def, m.ptr(), modname.ptr()));
    if (PyModule_AddObjectRef(m.ptr(), def.ml_name, fn) < 0) {
        Py_DECREF(fn);
        throw nb::python_error();
    }
    return fn;
}

void add_functions(nb::module_& m, PyMethodDef* defs, size_t count) {
    for (size_t i = 0; i < count; ++i) Py_DECREF(add_function(m, defs[i]));
}

}  // namespace vis::geo
