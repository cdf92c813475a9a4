// Method table entries whose docstrings describe themselves. The text
// signature (the `name($module, /, ...)\n--\n\n` prefix) gives
// inspect.signature and help() the parameters and defaults; text signatures
// cannot carry annotations, so the annotated signature opens the docstring,
// followed by what the function returns and the units of its arguments.
#pragma once

#include <nanobind/nanobind.h>

// `params` lists the parameters after a leading ", " (empty for none);
// `annotated` is the parenthesised annotated parameter list and return type.
#define GEO_DEF(name, fn, params, annotated, doc)                                            \
    PyMethodDef {                                                                            \
        #name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)),          \
            METH_FASTCALL | METH_KEYWORDS,                                                   \
            #name "($module, /" params ")\n--\n\n" #name annotated "\n\n" doc                \
    }
