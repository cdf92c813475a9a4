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

// An integer object's value as a long long; `overflow` is -1 or +1 (and the
// value meaningless) when it lies outside that range.
struct IntValue {
    nb::object obj;
    long long value;
    int overflow;
};

// `convert` is PyNumber_Index (operator.index) or PyNumber_Long (int()).
inline IntValue int_value(nb::handle h, PyObject* (*convert)(PyObject*)) {
    IntValue v{nb::steal(convert(h.ptr())), 0, 0};
    if (!v.obj.is_valid()) throw nb::python_error();
    v.value = PyLong_AsLongLongAndOverflow(v.obj.ptr(), &v.overflow);
    if (v.value == -1 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

[[noreturn]] inline void raise_int(PyObject* type, const char* what, const char* why, const IntValue& v) {
    PyErr_Format(type, "%s is %s: %S", what, why, v.obj.ptr());
    throw nb::python_error();
}

// operator.index(h) in [lo, hi]; OverflowError naming `what` outside it.
inline int64_t py_index(nb::handle h, const char* what, int64_t lo = std::numeric_limits<int64_t>::min(),
                        int64_t hi = std::numeric_limits<int64_t>::max()) {
    const IntValue v = int_value(h, PyNumber_Index);
    if (v.overflow || v.value < lo || v.value > hi) raise_int(PyExc_OverflowError, what, "out of range", v);
    return v.value;
}

// int(h) (truncating floats, parsing strings), saturated to the int64 range;
// int()'s own errors for NaN, infinity and non-numbers.
inline int64_t py_int_saturated(nb::handle h) {
    const IntValue v = int_value(h, PyNumber_Long);
    if (v.overflow > 0) return std::numeric_limits<int64_t>::max();
    if (v.overflow < 0) return std::numeric_limits<int64_t>::min();
    return v.value;
}

// A count or size some object reports (an array's `size`, an image's
// `width()`): an integer in [0, hi], else TypeError / ValueError /
// OverflowError naming `what`.
inline size_t py_count(nb::handle h, const char* what,
                       int64_t hi = std::numeric_limits<int64_t>::max()) {
    const IntValue v = int_value(h, PyNumber_Index);
    if (v.overflow > 0 || v.value > hi) raise_int(PyExc_OverflowError, what, "too large", v);
    if (v.overflow < 0 || v.value < 0) raise_int(PyExc_ValueError, what, "negative", v);
    return static_cast<size_t>(v.value);
}

}  // namespace vis
