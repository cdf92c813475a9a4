// Helpers shared by the three binding files: array conversion through NumPy
// itself (so dtypes, shapes and error messages are NumPy's), module-namespace
// lookups at call time, and checked size arithmetic.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>

namespace vis {

namespace nb = nanobind;

using F64Array = nb::ndarray<const double, nb::c_contig, nb::device::cpu, nb::ro>;

// The NumPy package, imported once; the reference lives for the process.
inline nb::handle numpy() {
    static nb::handle np = nb::module_::import_("numpy").release();
    return np;
}

// np.asarray(obj, dtype=float64, order='C'): keeps 0-d inputs 0-d, copies only
// when NumPy must, and raises NumPy's own errors for ragged or non-numeric input.
inline nb::object asarray_f64(nb::handle obj) {
    static nb::handle fn = nb::object(numpy().attr("asarray")).release();
    static nb::handle f64 = nb::object(numpy().attr("float64")).release();
    return fn(obj, nb::arg("dtype") = f64, nb::arg("order") = "C");
}

// A float64 C-contiguous view of an array NumPy produced; `owner` keeps it alive.
struct F64View {
    nb::object owner;
    F64Array arr;
    const double* data() const { return arr.data(); }
    size_t size() const { return arr.size(); }
    size_t ndim() const { return arr.ndim(); }
    size_t shape(size_t i) const { return arr.shape(i); }
};

inline F64View view_f64(nb::handle obj) {
    F64View v;
    v.owner = asarray_f64(obj);
    v.arr = nb::cast<F64Array>(v.owner);
    return v;
}

// A module whose attributes are read at call time, so values the host assigns
// take effect on the next call.
class ModuleNamespace {
public:
    void bind(nb::handle module) { module_ = module; }
    nb::object get(const char* name) const { return nb::getattr(module_, name); }
    nb::handle module() const { return module_; }

private:
    nb::handle module_;
};

// Size arithmetic that refuses to wrap.
inline size_t checked_mul(size_t a, size_t b) {
    size_t r;
    if (__builtin_mul_overflow(a, b, &r)) throw std::overflow_error("array size overflows");
    return r;
}

}  // namespace vis
