// build_field: the canonical full-disk blob field of a sonar cloud as a
// premultiplied RGBA QImage (north up, no heading applied).
#include "bindings/brelvo/doc_text.h"
#include "bindings/brelvo/qimage.h"
#include "bindings/brelvo/registry.h"
#include "bindings/convert.h"
#include "bindings/signals.h"
#include "kernels/blob_field.h"
#include "kernels/knn.h"

#include <vector>

namespace vis::brelvo {

namespace {

double const_f(const char* name) { return vis::py_float(ns().get(name)); }

// An integer module constant (operator.index), saturated to the int64 range:
// a count beyond it behaves as the largest count.
int64_t const_i(const char* name) {
    nb::object i = nb::steal(PyNumber_Index(ns().get(name).ptr()));
    if (!i.is_valid()) throw nb::python_error();
    return py_int_saturated(i);
}

// Distance of every target to its k-th nearest target (itself counting as the
// first), through the module's current `cKDTree`.
std::vector<double> neighbour_distance(nb::handle ckdtree, const BlobTargets& t, size_t k) {
    const size_t n = t.X.size();
    std::vector<double> sig(n);
    if (ckdtree_is_scipy(ckdtree)) {
        // SciPy's own tree: the same distances from the native search.
        SignalCheck check;
        {
            nb::gil_scoped_release unlocked;
            std::vector<double> P(2 * n);
            for (size_t i = 0; i < n; ++i) {
                P[2 * i] = t.X[i];
                P[2 * i + 1] = t.Y[i];
            }
            kth_distance_self_2d(P.data(), n, k, sig.data(), check.interrupt());
        }
        check.raise_if_stopped();
        return sig;
    }
    NewArray<double> P = new_f64({n, 2});
    for (size_t i = 0; i < n; ++i) {
        P.data[2 * i] = t.X[i];
        P.data[2 * i + 1] = t.Y[i];
    }
    nb::object res = ckdtree(P.obj).attr("query")(P.obj, nb::arg("k") = k, nb::arg("workers") = -1);
    F64View d = view_f64(res[0]);
    if (d.ndim() != 2 || d.shape(0) != n || d.shape(1) == 0)
        throw nb::index_error("neighbour distances must be an (n, k) array");
    const size_t cols = d.shape(1);
    for (size_t i = 0; i < n; ++i) sig[i] = d.data()[i * cols + cols - 1];
    return sig;
}

nb::object build_field(nb::handle cloud, nb::handle top_h, nb::handle scale_h, nb::handle power_h,
                       nb::handle softness_h, nb::handle colormap, nb::handle cell_px_h) {
    if (cloud.is_none()) return nb::none();
    Py_ssize_t len = PyObject_Length(cloud.ptr());
    if (len < 0) throw nb::python_error();
    if (len < 3) return nb::none();
    nb::object c0 = cloud[0], c1 = cloud[1];
    // Validity is tested before positions are formed from the same elements: private copies.
    F64View b = private_f64(c0);
    F64View r = private_f64(c1);
    const double top = vis::py_float(top_h);
    const double scale = vis::py_float(scale_h);
    if (b.size() == 0 || b.size() != r.size() || top <= 0.0 || scale <= 0.0) return nb::none();

    nb::object lam_obj = lambda_from_colors(nb::object(cloud[2]), colormap);
    F64View lam = view_f64(lam_obj);
    if (lam.size() != b.size()) return nb::none();

    BlobConstants k;
    k.kappa = const_f("KAPPA");
    k.rmin_px = const_f("RMIN_PX");
    k.rmin_top = const_f("RMIN_TOP");
    k.rmax_top = const_f("RMAX_TOP");
    k.w0 = const_f("W0");
    k.cov_lo = const_f("COV_LO");
    k.cov_hi = const_f("COV_HI");
    k.a_max = const_f("A_MAX");
    k.rim_fade = const_f("RIM_FADE");
    k.sm_ratio = const_f("_SM_RATIO");
    k.nbuck = const_i("NBUCK");
    const int64_t knn = const_i("KNN");

    BlobTargets t;
    bool any;
    {
        nb::gil_scoped_release unlocked;
        any = blob_targets(b.data(), r.data(), lam.data(), b.size(), top, scale, k, t);
    }
    if (!any) return nb::none();

    const size_t n = t.X.size();
    const int64_t kk = std::min<int64_t>(static_cast<int64_t>(n), knn);
    nb::object ckdtree = ns().get("cKDTree");
    std::vector<double> sig;
    if (kk > 1 && !ckdtree.is_none()) sig = neighbour_distance(ckdtree, t, static_cast<size_t>(kk));

    bool visible = false;
    for (double ri : t.r) visible = visible || ri <= top + t.r_max;
    if (!visible) return nb::none();

    const double softness = vis::py_float(softness_h);
    const double power = vis::py_float(power_h);
    const double cell_px = vis::py_float(cell_px_h);
    const size_t G = static_cast<size_t>(blob_grid_size(top, scale, cell_px));
    // The lambda grid is splatted straight into the array the palette gets.
    NewArray<double> field = new_f64({G, G});
    // This call's own grid: apply_colormap below may run a finaliser that
    // calls build_field again on this thread.
    BlobGrid grid;
    SignalCheck check;
    {
        nb::gil_scoped_release unlocked;
        blob_splat(t, sig.empty() ? nullptr : sig.data(), power, softness, cell_px, top, scale, k, grid,
                   field.data, check.interrupt());
    }
    check.raise_if_stopped();

    nb::object rgba = ns().get("apply_colormap")(field.obj, colormap);

    ScratchArray pixel_store;  // G * G * 4 bytes
    pixel_store.resize(checked_mul(G * G, 4) / sizeof(double) + 1);
    uint8_t* pixels = reinterpret_cast<uint8_t*>(pixel_store.data());
    using U8Array = nb::ndarray<const uint8_t, nb::c_contig, nb::device::cpu, nb::ro>;
    U8Array u8;
    if (nb::try_cast<U8Array>(rgba, u8, false) && u8.ndim() == 3 && u8.shape(0) == G &&
        u8.shape(1) == G && u8.shape(2) >= 3) {
        nb::gil_scoped_release unlocked;
        blob_bytes(u8.data(), u8.shape(2), grid.alpha.data(), grid.G, pixels);
    } else {
        F64View c = view_f64(rgba);
        if (c.ndim() != 3 || c.shape(0) != G || c.shape(1) != G || c.shape(2) < 3)
            throw nb::value_error("colours of the field must have shape (G, G, 4)");
        nb::gil_scoped_release unlocked;
        blob_bytes(c.data(), c.shape(2), grid.alpha.data(), grid.G, pixels);
    }
    return make_qimage(pixels, grid.G, grid.G, 4 * grid.G, "Format_RGBA8888_Premultiplied");
}

}  // namespace

void bind_field(nb::module_& m) {
    nb::object cell_default = m.attr("CELL_PX");
    // The default shows as Python writes the value CELL_PX held at load.
    const std::string signature =
        "def build_field(cloud: collections.abc.Sequence[numpy.typing.ArrayLike] | None, top: float, "
        "scale: float, power: float = 3.0, softness: float = 2.0, "
        "colormap: numpy.typing.ArrayLike | None = None, cell_px: float = " +
        std::string(nb::repr(cell_default).c_str()) + ") -> QImage | None";
    m.def("build_field", &build_field, nb::arg("cloud").none(), nb::arg("top").none(),
          nb::arg("scale").none(), nb::arg("power").none() = 3.0, nb::arg("softness").none() = 2.0,
          nb::arg("colormap").none() = nb::none(), nb::arg("cell_px").none() = cell_default,
          nb::sig(signature.c_str()),
          with_palette_cache_rule(
              "Return the north-up blob field of a cloud as a QImage, or None when there is nothing\n"
              "to draw.\n"
              "\n"
              "The image is G x G pixels, Format_RGBA8888_Premultiplied, a deep copy; it covers the\n"
              "square [-top, +top] x [-top, +top] metres around the device, row 0 the northern edge,\n"
              "column 0 the western edge, heading not applied. Each target's lambda is read back\n"
              "from its colour (lambda_from_colors) and splatted with a kernel whose radius follows\n"
              "the distance to its KNN-th nearest target.\n"
              "cloud: (bearings in degrees clockwise from north, ranges in metres, colours N x 3 as\n"
              "R, G, B on the 0..255 scale, ...); further elements are ignored.\n"
              "top: visible range in metres. scale: display scale in pixels per metre.\n"
              "power: weight exponent, clamped to 0.5..8. softness: kernel softening, the ratio\n"
              "_SM_RATIO * softness clamped to 0.03..0.45.\n"
              "colormap: the palette of the colours and of the field; None for the default.\n"
              "cell_px: grid cell size in pixels, at least 2; G = 2 * top * scale / cell_px rounded,\n"
              "made odd, within 49..601.\n")
              .c_str());
}

}  // namespace vis::brelvo
