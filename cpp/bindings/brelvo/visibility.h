// The visible radial band of the sonar view, shared by the renderers and the
// pole search of this module (defined in cloud.cpp).
#pragma once

#include "bindings/brelvo/registry.h"

#include <cstdint>
#include <vector>

namespace vis::brelvo {

// `cloud[i]` with Python's own indexing (IndexError for a short record).
nb::object cloud_item(nb::handle cloud, long i);

// The one-letter kind of a NumPy array's dtype ('b', 'i', 'u', 'f', ...).
inline char dtype_kind(nb::handle arr) {
    nb::object k = arr.attr("dtype").attr("kind");
    const char* s = PyUnicode_AsUTF8AndSize(k.ptr(), nullptr);
    if (!s) throw nb::python_error();
    return s[0];
}

// Visibility of one-dimensional bearings `b` and raw ranges `r` (float64
// views): finite bearing and range, min_bosluk_m <= range - r_off <= top.
// A length-1 array broadcasts against the other; any other length mismatch
// raises NumPy's broadcast error. One byte (0 or 1) per target.
std::vector<uint8_t> visible_mask_1d(const F64View& b, const F64View& r, double r_off, double lo,
                                     double hi);

}  // namespace vis::brelvo
