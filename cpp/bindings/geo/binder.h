// Argument binding for the module's fast-call functions: positional and
// keyword arguments are matched to named parameters with the interpreter's own
// rules and TypeError messages, without building an argument tuple or dict.
#pragma once

#include <nanobind/nanobind.h>

namespace vis::geo {

inline constexpr int kMaxParams = 8;

struct Signature {
    const char* name;
    int nparams;
    int nrequired;  // the leading parameters without a default
    const char* params[kMaxParams];
    PyObject* interned[kMaxParams];  // filled by intern_params at load
};

// Interns the parameter names of s; raises (nanobind) on failure.
void intern_params(Signature& s);

// Binds the call's arguments to the parameters of s in `out` (borrowed
// references; nullptr for an omitted optional parameter). Returns the array to
// read the parameters from (the arguments themselves when all were given by
// position), or nullptr with TypeError set.
PyObject* const* bind_args(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           PyObject** out);

}  // namespace vis::geo

// Declares `a`, the bound parameters of the current fast-call function, or
// returns nullptr from it when binding failed.
#define GEO_BIND(sig)                                                           \
    PyObject* geo_slots_[::vis::geo::kMaxParams];                               \
    PyObject* const* a = ::vis::geo::bind_args(sig, args, nargs, kwnames, geo_slots_); \
    if (!a) return nullptr
