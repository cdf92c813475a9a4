// Python scalars as the kernels read them, one rule each for every binding.
// Each raises the interpreter's own exception (TypeError, ValueError,
// OverflowError) for a value the rule refuses; nothing else escapes.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

namespace vis {

namespace nb = nanobind;

// ---- raw forms for the fast-call bindings: false with a Python error set.

// A real number as arithmetic with a float uses it (`x * 1.0`): ints, floats
// and objects with __float__ or __index__; strings are refused (TypeError).
inline bool number_as_double(PyObject* o, double* out) {
#ifndef Py_LIMITED_API
    if (PyFloat_CheckExact(o)) {
        *out = PyFloat_AS_DOUBLE(o);
        return true;
    }
#endif
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

// float(o) as a new reference: numbers and numeric strings.
inline PyObject* float_object(PyObject* o) {
    if (PyFloat_CheckExact(o)) {
        Py_INCREF(o);
        return o;
    }
    return PyNumber_Float(o);
}

// ---- throwing forms for the nanobind bindings.

// A real number, as number_as_double.
inline double py_number(nb::handle h) {
    double v;
    if (!number_as_double(h.ptr(), &v)) throw nb::python_error();
    return v;
}

// float(h): numbers and numeric strings.
inline double py_float(nb::handle h) {
    nb::object f = nb::steal(float_object(h.ptr()));
    if (!f.is_valid()) throw nb::python_error();
    return PyFloat_AsDouble(f.ptr());
}

// bool(h).
inline bool py_truth(nb::handle h) {
    const int t = PyObject_IsTrue(h.ptr());
    if (t < 0) throw nb::python_error();
    return t != 0;
}

// operator.index(h) in [lo, hi]; OverflowError naming `what` outside it.
inline int64_t py_index(nb::handle h, const char* what, int64_t lo = std::numeric_limits<int64_t>::min(),
                        int64_t hi = std::numeric_limits<int64_t>::max()) {
    nb::object i = nb::steal(PyNumber_Index(h.ptr()));
    if (!i.is_valid()) throw nb::python_error();
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (x == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow || x < lo || x > hi) {
        PyErr_Format(PyExc_OverflowError, "%s is out of range: %S", what, i.ptr());
        throw nb::python_error();
    }
    return x;
}

// int(h) (truncating floats, parsing strings), saturated to the int64 range;
// int()'s own errors for NaN, infinity and non-numbers.
inline int64_t py_int_saturated(nb::handle h) {
    nb::object i = nb::steal(PyNumber_Long(h.ptr()));
    if (!i.is_valid()) throw nb::python_error();
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (x == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow > 0) return std::numeric_limits<int64_t>::max();
    if (overflow < 0) return std::numeric_limits<int64_t>::min();
    return x;
}

// A count or size some object reports (an array's `size`, an image's
// `width()`): an integer in [0, hi], else TypeError / ValueError /
// OverflowError naming `what`.
inline size_t py_count(nb::handle h, const char* what,
                       int64_t hi = std::numeric_limits<int64_t>::max()) {
    nb::object i = nb::steal(PyNumber_Index(h.ptr()));
    if (!i.is_valid()) throw nb::python_error();
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (x == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow > 0 || x > hi) {
        PyErr_Format(PyExc_OverflowError, "%s is too large: %S", what, i.ptr());
        throw nb::python_error();
    }
    if (overflow < 0 || x < 0) {
        PyErr_Format(PyExc_ValueError, "%s is negative: %S", what, i.ptr());
        throw nb::python_error();
    }
    return static_cast<size_t>(x);
}

}  // namespace vis
