// Kernel faults become the interpreter's own exceptions: the failing operation
// is repeated through Python, so type and message match the math module.
#include "bindings/geo/registry.h"

#include <cerrno>

namespace vis::geo {

namespace {

PyObject* g_math = nullptr;  // the math module, imported on the first fault

PyObject* call_math(const char* fn, double arg) {
    if (!g_math && !(g_math = PyImport_ImportModule("math"))) return nullptr;
    PyObject* f = PyObject_GetAttrString(g_math, fn);
    if (!f) return nullptr;
    PyObject* a = PyFloat_FromDouble(arg);
    PyObject* r = a ? PyObject_CallFunctionObjArgs(f, a, nullptr) : nullptr;
    Py_XDECREF(a);
    Py_DECREF(f);
    return r;
}

// x ** 2 overflowed in the kernel: Python's float power says so with errno.
PyObject* raise_square_overflow(double x) {
    PyObject* a = PyFloat_FromDouble(x);
    PyObject* b = PyFloat_FromDouble(2.0);
    PyObject* r = (a && b) ? PyNumber_Power(a, b, Py_None) : nullptr;
    Py_XDECREF(a);
    Py_XDECREF(b);
    if (r) {
        Py_DECREF(r);
        errno = ERANGE;
        return PyErr_SetFromErrno(PyExc_OverflowError);
    }
    return nullptr;
}

}  // namespace

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
        case FaultKind::square: return raise_square_overflow(f.arg);
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
    // The interpreter did not refuse the operation after all: report the
    // fault with the message the math module uses for it.
    if (r) {
        Py_DECREF(r);
        PyErr_SetString(fallback, message);
    }
    return nullptr;
}

PyObject* raise_int_too_large() {
    Fault f;
    f.note(FaultKind::int_too_large, 0.0);
    return raise_fault(f);
}

}  // namespace vis::geo
