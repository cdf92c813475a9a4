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

// The arguments of render_polar_alan, converted step by step as the operation
// reaches them.
struct PolarArgs {
    nb::handle cloud, scale, top, r_off, rr, min_bosluk_m, power, softness, hucre;
};

// What a render needs: the visible targets' screen positions and colours, the
// settings, the index that answers the grid and the blend.
struct PolarJob {
    size_t n = 0;
    NewArray<double> pts;
    std::vector<double> rgb;  // n x 3
    double rr = 0, scale = 0, power = 0, softness = 0;
    nb::object host;  // the host's own index class's instance, when it has one
    bool host_tree = false, no_tree = false;
    int64_t W = 0, step = 1;
    PolarBlend p;
};

// The visible targets' positions and first three colour columns; false when
// there is nothing to draw.
bool read_visible_targets(const PolarArgs& a, PolarJob& job) {
    if (a.cloud.is_none()) return false;
    nb::object e0 = cloud_item(a.cloud, 0);
    Py_ssize_t len0 = PyObject_Length(e0.ptr());
    if (len0 < 0) throw nb::python_error();
    if (len0 == 0) return false;
    // The band is decided from the bearings and ranges before the visible ones
    // are read again: private copies, so the two reads always agree.
    F64View b = private_f64(e0);
    F64View r = private_f64(cloud_item(a.cloud, 1));
    const double off = vis::py_float(a.r_off);
    F64View c = private_f64(cloud_item(a.cloud, 2));
    if (c.ndim() != 2 || c.shape(1) < 3) return false;
    if (b.ndim() != 1 || r.ndim() != 1) throw nb::index_error("bearings and ranges must be one-dimensional");
    std::vector<uint8_t> m = visible_mask_1d(b, r, off, vis::py_float(a.min_bosluk_m), vis::py_float(a.top));
    const size_t N = m.size();
    for (uint8_t v : m) job.n += v;
    if (job.n == 0) return false;
    if (b.shape(0) != N) raise_mask_mismatch(b.shape(0), N);
    if (r.shape(0) != N) raise_mask_mismatch(r.shape(0), N);
    if (c.shape(0) != N) raise_mask_mismatch(c.shape(0), N);
    job.rr = vis::py_float(a.rr);
    job.scale = vis::py_float(a.scale);
    job.power = vis::py_float(a.power);
    job.softness = vis::py_float(a.softness);
    job.pts = new_f64({job.n, 2});
    job.rgb.resize(checked_mul(job.n, 3));
    nb::gil_scoped_release unlocked;
    std::vector<double> bv(job.n), rv(job.n);
    const size_t cols = c.shape(1);
    for (size_t i = 0, k = 0; i < N; ++i) {
        if (!m[i]) continue;
        bv[k] = b.data()[i];
        rv[k] = r.data()[i] - off;
        for (int ch = 0; ch < 3; ++ch) job.rgb[3 * k + ch] = c.data()[i * cols + ch];
        ++k;
    }
    polar_positions(bv.data(), rv.data(), job.n, job.rr, job.scale, job.pts.data);
    return true;
}

// The index: the host's own class is built and called; SciPy's class and the
// brute-force fallback are answered by the native exact search.
void choose_index(PolarJob& job) {
    nb::object tree_cls = ns().get("cKDTree");
    job.no_tree = tree_cls.is_none();
    job.host_tree = !job.no_tree && !ckdtree_is_scipy(tree_cls);
    if (job.host_tree) {
        job.host = tree_cls(job.pts.obj);
    } else if (!job.no_tree) {
        bool finite = true;
        for (size_t i = 0; i < 2 * job.n; ++i) finite = finite && std::isfinite(job.pts.data[i]);
        if (!finite) throw nb::value_error("data must be finite, check for nan or inf values");
    }
}

// The spacing: the median distance to the fourth-nearest other target, clamped as
// max(7.0, min(aralik, 0.06 * rr, 27.0)) with Python's comparison order.
double spacing(PolarJob& job, SignalCheck& check) {
    double aralik = 0.05 * job.rr;
    if (job.n > 6) {
        std::vector<double> d4(job.n);
        if (job.host_tree) {
            nb::object res = job.host.attr("query")(job.pts.obj, nb::arg("k") = 5);
            F64View d = view_f64(res[0]);
            if (d.ndim() != 2 || d.shape(1) < 5)
                throw nb::index_error("the neighbour index returned fewer than 5 columns");
            d4.resize(d.shape(0));
            for (size_t i = 0; i < d4.size(); ++i) d4[i] = d.data()[i * d.shape(1) + 4];
        } else {
            {
                nb::gil_scoped_release unlocked;
                // On this thread alone: only build_field's search may use every processor.
                kth_distance_self_2d(job.pts.data, job.n, 5, d4.data(), check.interrupt(), false);
            }
            check.raise_if_stopped();
        }
        aralik = median_inplace(d4);
    }
    double lo = aralik, cand = 0.06 * job.rr;
    if (cand < lo) lo = cand;
    if (27.0 < lo) lo = 27.0;
    return lo > 7.0 ? lo : 7.0;
}

// The output side, the grid step and the blend settings; false for an empty
// frame (rr below 1), which has nothing to draw.
bool grid_and_blend(const PolarArgs& a, double aralik, PolarJob& job) {
    job.W = frame_side(job.rr);
    job.step = std::max<int64_t>(1, vis::py_int_saturated(a.hucre));
    if (job.no_tree) job.step = std::max<int64_t>(job.step, 4);
    if (job.W <= 0) return false;
    // Neighbour count: 9 + round-half-even(4 * softness), softness clamped to [0, 8].
    double soft = 8.0;
    if (job.softness < soft) soft = job.softness;
    if (!(soft > 0.0)) soft = 0.0;
    if (std::isnan(job.softness)) soft = 8.0;
    PolarBlend& p = job.p;
    p.aralik = aralik;
    p.kapsama = aralik * 1.6;
    p.sm = soft * aralik * 0.5;
    p.power = job.power;
    p.K = std::min<size_t>(job.n, 9 + static_cast<size_t>(std::nearbyint(4.0 * soft)));
    p.nx = static_cast<size_t>(job.step >= job.W ? 1 : (job.W + job.step - 1) / job.step);
    p.step = static_cast<size_t>(std::min<int64_t>(job.step, job.W));
    return true;
}

// Everything up to the pixels; false when there is nothing to draw.
bool plan_polar(const PolarArgs& a, PolarJob& job, SignalCheck& check) {
    if (!read_visible_targets(a, job)) return false;
    choose_index(job);
    const double aralik = spacing(job, check);
    return grid_and_blend(a, aralik, job);
}

// The grid's neighbours from the host's own index, then the blend.
void render_with_host_index(const PolarJob& job, uint8_t* out, SignalCheck& check) {
    const size_t nx = job.p.nx, K = job.p.K, n = job.n;
    NewArray<double> grid = new_f64({nx * nx, 2});
    for (size_t g = 0; g < nx * nx; ++g) {
        grid.data[2 * g] = static_cast<double>(g % nx) * static_cast<double>(job.p.step) + 0.5;
        grid.data[2 * g + 1] = static_cast<double>(g / nx) * static_cast<double>(job.p.step) + 0.5;
    }
    nb::object res = job.host.attr("query")(grid.obj, nb::arg("k") = K);
    F64View dist = result_matrix(res[0], nx * nx, K);
    nb::object idx_arr = numpy().attr("asarray")(res[1]);
    const char kind = dtype_kind(idx_arr);
    if (kind != 'i' && kind != 'u')
        throw nb::index_error("arrays used as indices must be of integer (or boolean) type");
    ArrayView<int64_t> idx = aligned_view<int64_t>(idx_arr, nb::str("int64"));
    const bool ok = (idx.ndim() == 2 && idx.shape(0) == nx * nx && idx.shape(1) == K) ||
                    (K == 1 && idx.ndim() == 1 && idx.shape(0) == nx * nx);
    if (!ok) throw nb::value_error("the neighbour index returned results of an unexpected shape");
    // Negative indices count from the end, as NumPy's indexing reads them.
    std::vector<int64_t> rows(nx * nx * K);
    const int64_t nn = static_cast<int64_t>(n);
    for (size_t g = 0; g < rows.size(); ++g) {
        const int64_t v = idx.data()[g];
        if (v < -nn || v >= nn)
            throw nb::index_error(("index " + std::to_string(v) + " is out of bounds for axis 0 with size " +
                                   std::to_string(n)).c_str());
        rows[g] = v < 0 ? v + nn : v;
    }
    nb::gil_scoped_release unlocked;
    polar_render_from_neighbours(dist.data(), rows.data(), job.rgb.data(), n, job.p, out, check.interrupt());
}

// The nx x nx pixels (B, G, R, A) of a planned job into out.
void render_grid(const PolarJob& job, uint8_t* out, SignalCheck& check, PolarStats* stats) {
    if (job.host_tree) {
        render_with_host_index(job, out, check);
    } else {
        nb::gil_scoped_release unlocked;
        polar_render_native(job.pts.data, job.n, job.rgb.data(), job.p, out, check.interrupt(), stats);
    }
    check.raise_if_stopped();
}

nb::object render_polar_alan(nb::handle cloud, nb::handle scale, nb::handle top, nb::handle r_off,
                             nb::handle rr, nb::handle min_bosluk_m, nb::handle power,
                             nb::handle softness, nb::handle hucre) {
    SignalCheck check;
    PolarJob job;
    if (!plan_polar({cloud, scale, top, r_off, rr, min_bosluk_m, power, softness, hucre}, job, check))
        return nb::none();
    // The kernels write every pixel of the image straight into Qt's buffer.
    const int side = static_cast<int>(job.p.nx);
    NewImage img = new_qimage(side, side, "Format_ARGB32");
    render_grid(job, img.bits, check, nullptr);
    if (job.step > 1) return smooth_scaled(img.image, static_cast<int>(job.W), static_cast<int>(job.W));
    return img.image;
}

// The unscaled grid and the native search's count of full selections, for tests.
nb::object polar_grid(nb::handle cloud, nb::handle scale, nb::handle top, nb::handle r_off, nb::handle rr,
                      nb::handle min_bosluk_m, nb::handle power, nb::handle softness, nb::handle hucre) {
    SignalCheck check;
    PolarJob job;
    if (!plan_polar({cloud, scale, top, r_off, rr, min_bosluk_m, power, softness, hucre}, job, check))
        return nb::none();
    NewArray<uint8_t> px = new_array<uint8_t>({job.p.nx, job.p.nx, 4}, "uint8");
    PolarStats stats;
    render_grid(job, px.data, check, &stats);
    return nb::make_tuple(px.obj, stats.full_selections);
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
    m.def("_polar_grid", &polar_grid, nb::arg("cloud").none(), nb::arg("scale"), nb::arg("top"), nb::arg("r_off"),
          nb::arg("rr"), nb::arg("min_bosluk_m") = 0.0, nb::arg("power") = 2.4, nb::arg("softness") = 2.0,
          nb::arg("hucre") = 2,
          nb::sig("def _polar_grid("
                  "cloud: collections.abc.Sequence[numpy.typing.ArrayLike] | None, "
                  "scale: float, top: float, r_off: float, rr: float, min_bosluk_m: float = 0.0, "
                  "power: float = 2.4, softness: float = 2.0, hucre: int = 2) "
                  "-> tuple[numpy.typing.NDArray[numpy.uint8], int] | None"),
          "Return the tuple (pixels, full selections) of the unscaled grid, or None when\n"
          "render_polar_alan returns None: pixels is the uint8 array of nx x nx x 4 bytes\n"
          "B, G, R, A that render_polar_alan scales; full selections counts the grid points\n"
          "whose neighbours the native search's carried bounds did not settle (0 when the\n"
          "host's own index answers). The arguments are render_polar_alan's (scale in pixels\n"
          "per metre, top and r_off in metres, rr in pixels): a diagnostic for tests.");
}

}  // namespace vis::brelvo
