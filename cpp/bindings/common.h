// Helpers shared by the three binding files: array conversion through NumPy
// itself (so dtypes, shapes and error messages are NumPy's), module-namespace
// lookups at call time, and checked size arithmetic.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include "bindings/convert.h"
#include "bindings/physical_memory.h"
#include "kernels/crt_math.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

namespace vis {

namespace nb = nanobind;

// The NumPy package, imported once; the reference lives for the process.
inline nb::handle numpy() {
    static nb::handle np = nb::module_::import_("numpy").release();
    return np;
}

// ImportError when the C runtime functions that exact results rely on
// (kernels/crt_math.h) are missing, rather than a crash in the first call.
inline void require_crt_math() {
    if (!crt::available()) throw nb::import_error("ucrtbase.dll or one of its math functions was not found");
}

// Size arithmetic that refuses to wrap.
inline size_t checked_mul(size_t a, size_t b) {
    size_t r;
    if (__builtin_mul_overflow(a, b, &r)) throw std::overflow_error("array size overflows");
    return r;
}

// Memory budget of one call: no single buffer a call allocates (and no set of
// result arrays it returns together) may exceed min(8 GiB, half the physical
// memory). A request beyond it raises MemoryError before anything is
// allocated, instead of letting the machine thrash or the process be killed.
inline size_t byte_budget() {
    static const size_t limit = [] {
        size_t cap = size_t{8} << 30;
        if (const size_t physical = physical_memory_bytes()) cap = std::min(cap, physical / 2);
        return cap;
    }();
    return limit;
}

// Raises MemoryError when `bytes` exceeds the budget.
inline void check_budget(size_t bytes) {
    if (bytes > byte_budget()) throw std::bad_alloc();
}

// count * elem_size bytes, checked for overflow and against the budget.
inline size_t budget_bytes(size_t count, size_t elem_size) {
    size_t bytes;
    if (__builtin_mul_overflow(count, elem_size, &bytes)) throw std::bad_alloc();
    check_budget(bytes);
    return bytes;
}

inline nb::handle numpy_ndarray_type() {
    static nb::handle t = nb::object(numpy().attr("ndarray")).release();
    return t;
}

template <class T>
using CArray = nb::ndarray<const T, nb::c_contig, nb::device::cpu, nb::ro>;
using F64Array = CArray<double>;

// A C-contiguous, aligned, native-byte-order view of an array NumPy produced;
// `owner` keeps it alive.
template <class T>
struct ArrayView {
    nb::object owner;
    CArray<T> arr;
    const T* data() const { return arr.data(); }
    size_t size() const { return arr.size(); }
    size_t ndim() const { return arr.ndim(); }
    size_t shape(size_t i) const { return arr.shape(i); }
};
using F64View = ArrayView<double>;

// np.asarray(obj, dtype=dtype, order='C') with its data aligned for T:
// np.require(..., requirements=['C', 'A']). NumPy keeps an array at an odd
// byte offset (a view into a byte buffer) as it is, and reading its elements
// in place would be undefined, so such an array is copied; every other input
// is converted or passed through exactly as np.asarray does. The dtype is
// native, so a byte-swapped input has been converted by then.
template <class T>
inline ArrayView<T> aligned_view(nb::handle obj, nb::handle dtype) {
    static nb::handle fn = nb::object(numpy().attr("asarray")).release();
    ArrayView<T> v;
    v.owner = fn(obj, nb::arg("dtype") = dtype, nb::arg("order") = "C");
    v.arr = nb::cast<CArray<T>>(v.owner);
    if (reinterpret_cast<uintptr_t>(v.arr.data()) % alignof(T) != 0) {
        v.owner = v.owner.attr("copy")();
        v.arr = nb::cast<CArray<T>>(v.owner);
    }
    return v;
}

inline nb::handle float64_dtype() {
    static nb::handle f64 = nb::object(numpy().attr("float64")).release();
    return f64;
}

// np.asarray(obj, dtype=float64, order='C'), aligned: keeps 0-d inputs 0-d,
// copies only when NumPy must or the data are misaligned, and raises NumPy's
// own errors for ragged or non-numeric input. An array whose float64 copy would
// exceed the budget (a broadcast view of 10**9 rows costs the caller nothing)
// raises MemoryError before the copy. The element count comes from the
// object's own `size`, so a subclass that reports a negative, huge or
// non-integer size gets ValueError, OverflowError or TypeError.
inline F64View view_f64(nb::handle obj) {
    if (PyObject_TypeCheck(obj.ptr(), reinterpret_cast<PyTypeObject*>(numpy_ndarray_type().ptr()))) {
        size_t n = py_count(nb::object(obj.attr("size")), "array size");
        F64Array as_is;
        if (n > byte_budget() / sizeof(double) && !nb::try_cast<F64Array>(obj, as_is, false))
            budget_bytes(n, sizeof(double));
    }
    return aligned_view<double>(obj, float64_dtype());
}

inline nb::object asarray_f64(nb::handle obj) { return view_f64(obj).owner; }

// A copy of a float64 C array taken with the GIL held from start to end, so no
// other Python thread writes to the source half-way through. ndarray.copy()
// cannot promise that: NumPy lets other threads run while it copies (for
// every copy in NumPy 1.24, above 500 elements in later versions).
inline F64View copy_holding_gil(const F64View& v) {
    static nb::handle empty_like = nb::object(numpy().attr("empty_like")).release();
    F64View c;
    c.owner = empty_like(v.owner, nb::arg("order") = "C");
    auto dst = nb::cast<nb::ndarray<double, nb::c_contig, nb::device::cpu>>(c.owner);
    if (v.size() > 0) std::memcpy(dst.data(), v.data(), v.size() * sizeof(double));
    c.arr = nb::cast<F64Array>(c.owner);
    return c;
}

// Like view_f64, but the data belong to this call alone. An input that already
// is a float64 C array (or a view of one, or an array some object keeps) is
// copied while the GIL is held, so a kernel that reads elements more than once,
// or derives sizes and indices from them, cannot see another thread's writes
// to the caller's array half-way through. Arrays NumPy had to convert are
// private already and are not copied again.
inline F64View private_f64(nb::handle obj) {
    F64View v = view_f64(obj);
    bool own = !v.owner.is(obj) && Py_REFCNT(v.owner.ptr()) == 1 && nb::object(v.owner.attr("base")).is_none();
    return own ? v : copy_holding_gil(v);
}

// Holds off the cyclic garbage collector for one call into PyQt5. sip hands a
// new C++ object to the Python wrapper it is allocating through per-thread
// state; a collection started by that allocation can run a finaliser that
// creates another Qt object, which takes the pending object and leaves the
// call's result a null QImage. PyQt5 keeps the GIL in these calls, so no other
// thread sees the pause; the collector's previous state is restored.
class CollectorPause {
public:
    CollectorPause() : was_enabled_(PyGC_Disable()) {}
    ~CollectorPause() {
        if (was_enabled_) PyGC_Enable();
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    int was_enabled_;
};

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

}  // namespace vis
