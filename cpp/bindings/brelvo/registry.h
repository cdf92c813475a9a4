// The pieces of visualization.brelvo, each bound by its own file. The module
// file calls them in the order in which the module binds its names.
#pragma once

#include "bindings/common.h"

#include <initializer_list>

namespace vis::brelvo {

// The module's namespace: constants, cKDTree, QImage, apply_colormap, caches.
ModuleNamespace& ns();

// SciPy's cKDTree class as imported at load, or null. When the module's
// `cKDTree` attribute is still this very class, a native search may answer
// its queries; any other object the host puts there is called instead.
nb::handle scipy_ckdtree_class();
inline bool ckdtree_is_scipy(nb::handle current) {
    return current.ptr() != nullptr && current.ptr() == scipy_ckdtree_class().ptr();
}

// PyQt5's QImage class as imported at load. Pixel memory is read only through
// its own methods, which Python-level overrides and look-alike objects cannot
// change, so the layout used to read the bytes is always Qt's.
nb::handle qimage_class();

// A new C-contiguous NumPy array from np.empty(shape, dtype) and its data
// pointer, for kernels to fill in place.
template <class T>
struct NewArray {
    nb::object obj;
    T* data;
};

template <class T>
inline NewArray<T> new_array(std::initializer_list<size_t> shape, const char* dtype) {
    nb::list dims;
    size_t count = 1;
    for (size_t s : shape) {
        dims.append(s);
        count = checked_mul(count, s);
    }
    budget_bytes(count, sizeof(T));
    nb::object obj = numpy().attr("empty")(nb::tuple(dims), nb::arg("dtype") = dtype);
    auto arr = nb::cast<nb::ndarray<T, nb::c_contig, nb::device::cpu>>(obj);
    return {obj, arr.data()};
}
inline NewArray<double> new_f64(std::initializer_list<size_t> shape) {
    return new_array<double>(shape, "float64");
}
inline NewArray<int64_t> new_i64(std::initializer_list<size_t> shape) {
    return new_array<int64_t>(shape, "int64");
}

// lambda_from_colors(cols, colormap), for the other operations of the module.
nb::object lambda_from_colors(nb::handle cols, nb::handle colormap);

void bind_knn(nb::module_& m);        // _NumpyKDTree
void bind_lut(nb::module_& m);        // _lut, lambda_from_colors
void bind_field(nb::module_& m);      // build_field
void bind_cloud(nb::module_& m);      // cloud_key, visible_cloud_mask
void bind_polar(nb::module_& m);      // render_polar_alan
void bind_poles(nb::module_& m);      // en_guclu_kutup_indeksleri, en_guclu_kutuplar

}  // namespace vis::brelvo
