#include "bindings/geo/binder.h"

#include <string>

namespace vis::geo {

namespace {

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

// An unexpected keyword: the interpreter words this error differently across
// versions (3.13 added "Did you mean ...?"), so a plain Python function with the
// same parameters is called the same way and raises the running version's own.
void unexpected_keyword(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string source = std::string("def ") + s.name + "(";
    for (int i = 0; i < s.nparams; ++i)
        source += std::string(i ? ", " : "") + s.params[i] + (i < s.nrequired ? "" : "=None");
    source += "): pass\n";
    try {
        nanobind::dict scope;
        nanobind::module_::import_("builtins").attr("exec")(source.c_str(), scope);
        nanobind::object plain = scope[s.name];
        PyObject* result = PyObject_Vectorcall(plain.ptr(), args, nargs, kwnames);
        Py_XDECREF(result);
    } catch (nanobind::python_error& e) {
        e.restore();
    }
}

// Index of the parameter named `key`, or -1. Interned names match by identity,
// other strings by value.
int param_index(const Signature& s, PyObject* key) {
    for (int i = 0; i < s.nparams; ++i)
        if (key == s.interned[i]) return i;
    if (!PyUnicode_Check(key)) return -1;
    for (int i = 0; i < s.nparams; ++i)
        if (PyUnicode_Compare(key, s.interned[i]) == 0) return i;
    return -1;
}

}  // namespace

void intern_params(Signature& s) {
    for (int i = 0; i < s.nparams; ++i) {
        s.interned[i] = PyUnicode_InternFromString(s.params[i]);
        if (!s.interned[i]) throw nanobind::python_error();
    }
}

PyObject* const* bind_args(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           PyObject** out) {
    if (nargs > s.nparams) {
        too_many_positional(s, nargs);
        return nullptr;
    }
    if (!kwnames && nargs == s.nparams) return args;
    for (int i = 0; i < s.nparams; ++i) out[i] = i < nargs ? args[i] : nullptr;
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_Size(kwnames);
        if (nkw < 0) return nullptr;
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            PyObject* key = PyTuple_GetItem(kwnames, j);
            if (!key) return nullptr;
            const int idx = param_index(s, key);
            if (idx < 0) {
                if (PyUnicode_Check(key))
                    unexpected_keyword(s, args, nargs, kwnames);
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

}  // namespace vis::geo
