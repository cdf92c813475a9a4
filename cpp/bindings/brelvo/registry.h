// The pieces of visualization.brelvo, each bound by its own file. The module
// file calls them in the order in which the module binds its names.
#pragma once

#include "bindings/common.h"

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

void bind_knn(nb::module_& m);        // _NumpyKDTree
void bind_lut(nb::module_& m);        // _lut, lambda_from_colors
void bind_field(nb::module_& m);      // build_field
void bind_cloud(nb::module_& m);      // cloud_key, visible_cloud_mask
void bind_polar(nb::module_& m);      // render_polar_alan
void bind_poles(nb::module_& m);      // en_guclu_kutup_indeksleri, en_guclu_kutuplar

}  // namespace vis::brelvo
