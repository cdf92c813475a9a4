// render_polar_alan: the pixel-space polar field of the sonar view.
#include "bindings/brelvo/qimage.h"
#include "bindings/brelvo/visibility.h"
#include "bindings/convert.h"
#include "bindings/signals.h"
#include "kernels/knn.h"
#include "kernels/polar.h"

#include <cmath>
#include <cstdio>
#include <string>

namespace vis::brelvo {

namespace {

[[noreturn]] void raise_mask_mismatch(size_t axis_size, size_t mask_size) {
    throw nb::index_error(("boolean index did not match indexed array along axis 0; size of axis is " +
                           std::to_string(axis_size) + " but size of corresponding boolean axis is " +
                           std::to_string(mask_size))
                              .c_str());
}

// Rows of a host index result as a (rows, K) float64 array; a 1-D result of a
// single-neighbour query becomes one column.
F64View result_matrix(nb::handle res, size_t rows, size_t K) {
    F64View v = view_f64(res);
    bool ok = (v.ndim() == 2 && v.shape(0) == rows && v.shape(1) == K) ||
              (K == 1 && v.ndim() == 1 && v.shape(0) == rows);
    if (!ok) throw nb::value_error("the neighbour index returned results of an unexpected shape");
    return v;
}

// The side W = 2 * int(rr) of the output image. int()'s own exception types
// for a non-finite rr, MemoryError for a frame too large for one image; both
// name rr and what it would need.
int64_t frame_side(double rr) {
    if (std::isnan(rr)) {
        PyErr_SetString(PyExc_ValueError, "rr is NaN: cannot convert float NaN to an image size");
        throw nb::python_error();
    }
    if (std::isinf(rr)) {
        PyErr_Format(PyExc_OverflowError, "rr is %s: an image of infinite size", rr > 0 ? "inf" : "-inf");
        throw nb::python_error();
    }
    const double side = 2.0 * std::trunc(rr);
    if (side <= 0.0) return 0;
    if (4.0 * side * side > static_cast<double>(image_byte_limit())) {
        char text[256];
        std::snprintf(text, sizeof text, "rr = %.17g asks for a %.0f x %.0f image, %.0f bytes of 32-bit pixels; the limit is %zu bytes",
                      rr, side, side, 4.0 * side * side, image_byte_limit());
        PyErr_SetString(PyExc_MemoryError, text);
        throw nb::python_error();
    }
    return static_cast<int64_t>(side);
}

nb::object render_polar_alan(nb::handle cloud, nb::handle scale, nb::handle top, nb::handle r_off,
                             nb::handle rr, nb::handle min_bosluk_m, nb::handle power,
                             nb::handle softness, nb::handle hucre) {
    if (cloud.is_none()) return nb::none();
    nb::object e0 = cloud_item(cloud, 0);
    Py_ssize_t len0 = PyObject_Length(e0.ptr());
    if (len0 < 0) throw nb::python_error();
    if (len0 == 0) return nb::none();

    // The band is decided from the bearings and ranges before the visible ones
    // are read again: private copies, so the two reads always agree.
    F64View b = private_f64(e0);
    F64View r = private_f64(cloud_item(cloud, 1));
    const double off = vis::py_float(r_off);
    F64View c = private_f64(cloud_item(cloud, 2));
    if (c.ndim() != 2 || c.shape(1) < 3) return nb::none();
    if (b.ndim() != 1 || r.ndim() != 1) throw nb::index_error("bearings and ranges must be one-dimensional");

    std::vector<uint8_t> m = visible_mask_1d(b, r, off, vis::py_float(min_bosluk_m), vis::py_float(top));
    const size_t N = m.size();
    size_t n = 0;
    for (uint8_t v : m) n += v;
    if (n == 0) return nb::none();
    if (b.shape(0) != N) raise_mask_mismatch(b.shape(0), N);
    if (r.shape(0) != N) raise_mask_mismatch(r.shape(0), N);
    if (c.shape(0) != N) raise_mask_mismatch(c.shape(0), N);

    const double rr_f = vis::py_float(rr);
    const double scale_f = vis::py_float(scale);
    const double power_f = vis::py_float(power);
    const double soft_in = vis::py_float(softness);
    SignalCheck check;

    // Visible targets: bearings, offset ranges, first three colour columns; positions.
    NewArray<double> pts = new_f64({n, 2});
    std::vector<double> rgb(checked_mul(n, 3));
    {
        nb::gil_scoped_release unlocked;
        std::vector<double> bv(n), rv(n);
        const size_t cols = c.shape(1);
        for (size_t i = 0, k = 0; i < N; ++i) {
            if (!m[i]) continue;
            bv[k] = b.data()[i];
            rv[k] = r.data()[i] - off;
            for (int ch = 0; ch < 3; ++ch) rgb[3 * k + ch] = c.data()[i * cols + ch];
            ++k;
        }
        polar_positions(bv.data(), rv.data(), n, rr_f, scale_f, pts.data);
    }

    // The index: the host's own class is built and called; SciPy's class and the
    // brute-force fallback are answered by the native exact search.
    nb::object tree_cls = ns().get("cKDTree");
    const bool no_tree = tree_cls.is_none();
    const bool host_tree = !no_tree && !ckdtree_is_scipy(tree_cls);
    nb::object host;
    if (host_tree) {
        host = tree_cls(pts.obj);
    } else if (!no_tree) {
        bool finite = true;
        for (size_t i = 0; i < 2 * n; ++i) finite = finite && std::isfinite(pts.data[i]);
        if (!finite) throw nb::value_error("data must be finite, check for nan or inf values");
    }

    // Spacing: median distance to the fourth-nearest other target.
    double aralik;
    if (n > 6) {
        std::vector<double> d4(n);
        if (host_tree) {
            nb::object res = host.attr("query")(pts.obj, nb::arg("k") = 5);
            F64View d = view_f64(res[0]);
            if (d.ndim() != 2 || d.shape(1) < 5)
                throw nb::index_error("the neighbour index returned fewer than 5 columns");
            d4.resize(d.shape(0));
            for (size_t i = 0; i < d4.size(); ++i) d4[i] = d.data()[i * d.shape(1) + 4];
            aralik = median_inplace(d4);
        } else {
            {
                nb::gil_scoped_release unlocked;
                // On this thread alone: only build_field's search may use every processor.
                kth_distance_self_2d(pts.data, n, 5, d4.data(), check.interrupt(), false);
            }
            check.raise_if_stopped();
            aralik = median_inplace(d4);
        }
    } else {
        aralik = 0.05 * rr_f;
    }
    // max(7.0, min(aralik, 0.06 * rr, 27.0)) with Python's comparison order.
    {
        double lo = aralik, cand = 0.06 * rr_f;
        if (cand < lo) lo = cand;
        if (27.0 < lo) lo = 27.0;
        aralik = 7.0;
        if (lo > aralik) aralik = lo;
    }
    const double kapsama = aralik * 1.6;

    // Output size and grid step.
    const int64_t W = frame_side(rr_f);
    int64_t step = std::max<int64_t>(1, vis::py_int_saturated(hucre));
    if (no_tree) step = std::max<int64_t>(step, 4);
    // An empty frame (rr below 1) has nothing to draw.
    if (W <= 0) return nb::none();
    const size_t nx = static_cast<size_t>(step >= W ? 1 : (W + step - 1) / step);

    // Neighbour count: 9 + round-half-even(4 * softness), softness clamped to [0, 8].
    double soft = 8.0;
    if (soft_in < soft) soft = soft_in;
    if (!(soft > 0.0)) soft = 0.0;
    if (std::isnan(soft_in)) soft = 8.0;
    const size_t K = std::min<size_t>(n, 9 + static_cast<size_t>(std::nearbyint(4.0 * soft)));

    PolarBlend p;
    p.aralik = aralik;
    p.kapsama = kapsama;
    p.sm = soft * aralik * 0.5;
    p.power = power_f;
    p.K = K;
    p.nx = nx;
    p.step = static_cast<size_t>(std::min<int64_t>(step, W));

    // The kernels write every pixel of the image straight into Qt's buffer.
    const int side = static_cast<int>(nx);
    NewImage img = new_qimage(side, side, "Format_ARGB32");
    if (host_tree) {
        NewArray<double> grid = new_f64({nx * nx, 2});
        {
            nb::gil_scoped_release unlocked;
            for (size_t g = 0; g < nx * nx; ++g) {
                grid.data[2 * g] = static_cast<double>(g % nx) * static_cast<double>(p.step) + 0.5;
                grid.data[2 * g + 1] = static_cast<double>(g / nx) * static_cast<double>(p.step) + 0.5;
            }
        }
        nb::object res = host.attr("query")(grid.obj, nb::arg("k") = K);
        F64View dist = result_matrix(res[0], nx * nx, K);
        nb::object idx_arr = numpy().attr("asarray")(res[1]);
        const char kind = dtype_kind(idx_arr);
        if (kind != 'i' && kind != 'u')
            throw nb::index_error("arrays used as indices must be of integer (or boolean) type");
        ArrayView<int64_t> idx = aligned_view<int64_t>(idx_arr, nb::str("int64"));
        bool ok = (idx.ndim() == 2 && idx.shape(0) == nx * nx && idx.shape(1) == K) ||
                  (K == 1 && idx.ndim() == 1 && idx.shape(0) == nx * nx);
        if (!ok) throw nb::value_error("the neighbour index returned results of an unexpected shape");
        std::vector<int64_t> rows;
        int64_t bad = 0;
        bool in_range = true;
        {
            nb::gil_scoped_release unlocked;
            rows.resize(nx * nx * K);
            const int64_t nn = static_cast<int64_t>(n);
            for (size_t g = 0; g < rows.size(); ++g) {
                int64_t v = idx.data()[g];
                if (v < -nn || v >= nn) {
                    bad = v;
                    in_range = false;
                    break;
                }
                rows[g] = v < 0 ? v + nn : v;
            }
            if (in_range) polar_render_from_neighbours(dist.data(), rows.data(), rgb.data(), n, p, img.bits, check.interrupt());
        }
        if (!in_range)
            throw nb::index_error(("index " + std::to_string(bad) + " is out of bounds for axis 0 with size " +
                                   std::to_string(n))
                                      .c_str());
    } else {
        nb::gil_scoped_release unlocked;
        polar_render_native(pts.data, n, rgb.data(), p, img.bits, check.interrupt());
    }
    check.raise_if_stopped();

    if (step > 1) return smooth_scaled(img.image, static_cast<int>(W), static_cast<int>(W));
    return img.image;
}

}  // namespace

void bind_polar(nb::module_& m) {
    m.def("render_polar_alan", &render_polar_alan, nb::arg("cloud").none(), nb::arg("scale"), nb::arg("top"),
          nb::arg("r_off"), nb::arg("rr"), nb::arg("min_bosluk_m") = 0.0, nb::arg("power") = 2.4,
          nb::arg("softness") = 2.0, nb::arg("hucre") = 2,
          nb::sig("def render_polar_alan("
                  "cloud: collections.abc.Sequence[numpy.typing.ArrayLike] | None, "
                  "scale: float, top: float, r_off: float, rr: float, min_bosluk_m: float = 0.0, "
                  "power: float = 2.4, softness: float = 2.0, hucre: int = 2) -> QImage | None"),
          "Return the polar field of the visible targets as a QImage, or None when there is\n"
          "nothing to draw (render_polar_alan: render the polar field).\n"
          "\n"
          "The image is W x W pixels with W = 2 * int(rr), built as Format_ARGB32 with straight\n"
          "alpha (at most 235), a deep copy. The device sits at pixel (rr, rr), bearing 0 up and\n"
          "bearings clockwise, heading not applied. Every pixel blends the colours of its\n"
          "nearest targets by inverse distance; opacity follows the raw distance to the nearest.\n"
          "None when cloud is None or empty, its colours are not N x 3 (or more) or no target is\n"
          "visible; the host then draws plain points.\n"
          "cloud: (bearings in degrees clockwise from north, ranges in metres, colours as R, G, B\n"
          "on the 0..255 scale, further columns ignored, ...).\n"
          "scale: pixels per metre. top: visible range in metres after the offset.\n"
          "r_off: radial offset in metres; a target is drawn at range - r_off.\n"
          "rr: radius of the view in pixels.\n"
          "min_bosluk_m (minimum gap in metres): blank zone below the device; targets closer\n"
          "than this after the offset are not drawn.\n"
          "power: exponent of the inverse-distance weights, not clamped.\n"
          "softness: colour-blend smoothing, effective 0..8; more blends more neighbours.\n"
          "hucre (cell): grid step in pixels, truncated, at least 1 (4 without SciPy); 2 renders\n"
          "at half resolution and scales smoothly to full size.");
}

}  // namespace vis::brelvo
