// en_guclu_kutup_indeksleri and en_guclu_kutuplar: the strongest metal and void
// targets, judged by the record's colours or by an image as drawn.
#include "bindings/brelvo/visibility.h"
#include "kernels/poles.h"

#include <limits>
#include <string>

namespace vis::brelvo {

namespace {

[[noreturn]] void raise_short(const char* what, size_t have, size_t need) {
    throw nb::index_error((std::string(what) + " has " + std::to_string(have) + " entries for " +
                           std::to_string(need) + " targets")
                              .c_str());
}

nb::dict empty_result() {
    nb::dict out;
    out["metal"] = nb::none();
    out["void"] = nb::none();
    return out;
}

// Source indices as T, aligned for T whatever the caller's buffer offset.
template <class T>
ArrayView<T> ids_as(nb::handle ids, const char* dtype) {
    return aligned_view<T>(ids, nb::str(dtype));
}

// Candidate choice with source indices of an element type the native ranking does
// not cover (strings, objects, dates): NumPy's stable lexicographic sort.
PoleChoice choose_with_numpy(const std::vector<uint8_t>& m, const double* col, size_t cols,
                             const double* signals, nb::handle ids) {
    std::vector<int64_t> im;
    for (size_t i = 0; i < m.size(); ++i)
        if (m[i]) im.push_back(static_cast<int64_t>(i));
    const size_t k = im.size();
    NewArray<int64_t> ima = new_i64({k});
    NewArray<double> neg_metal = new_f64({k}), neg_void = new_f64({k}), sig = new_f64({k}), neg_sig = new_f64({k});
    for (size_t a = 0; a < k; ++a) {
        const double* c = col + static_cast<size_t>(im[a]) * cols;
        double kutup = c[0] - c[2];
        ima.data[a] = im[a];
        neg_metal.data[a] = -(kutup * 256.0 - c[1]);
        neg_void.data[a] = -(-kutup * 256.0 - c[1]);
        double s = signals ? signals[im[a]] : 0.0;
        if (!std::isfinite(s)) s = 0.0;
        sig.data[a] = s;
        neg_sig.data[a] = -s;
    }
    nb::object idv = ids.attr("__getitem__")(ima.obj);
    nb::handle lexsort = numpy().attr("lexsort");
    const auto first = [&](nb::object order) { return py_index(order[0], "sort position", 0, int64_t(k) - 1); };
    const int64_t om = first(lexsort(nb::make_tuple(idv, neg_sig.obj, neg_metal.obj)));
    const int64_t ov = first(lexsort(nb::make_tuple(idv, sig.obj, neg_void.obj)));
    PoleChoice out;
    int64_t i_metal = im[static_cast<size_t>(om)], i_void = im[static_cast<size_t>(ov)];
    if (pole_polarity(col + static_cast<size_t>(i_metal) * cols) > 25.0) out.metal = i_metal;
    if (pole_polarity(col + static_cast<size_t>(i_void) * cols) < -25.0) out.voids = i_void;
    return out;
}

nb::dict strongest_indices(nb::handle cloud, nb::handle r_off, nb::handle top, nb::handle min_bosluk_m,
                           nb::handle image, nb::handle scale) {
    nb::dict out = empty_result();
    if (cloud.is_none()) return out;
    nb::object e0 = cloud_item(cloud, 0);
    Py_ssize_t len0 = PyObject_Length(e0.ptr());
    if (len0 < 0) throw nb::python_error();
    if (len0 == 0) return out;
    // Bearings and ranges decide the band and then the sampled pixel, colours
    // are read for the ranking and again for the threshold: private copies.
    F64View b = private_f64(e0);
    F64View r = private_f64(cloud_item(cloud, 1));
    F64View c = private_f64(cloud_item(cloud, 2));
    if (c.ndim() != 2 || c.shape(1) < 3) return out;
    if (b.ndim() != 1 || r.ndim() != 1) throw nb::index_error("bearings and ranges must be one-dimensional");
    const double off = vis::py_float(r_off);
    std::vector<uint8_t> m = visible_mask_1d(b, r, off, vis::py_float(min_bosluk_m), vis::py_float(top));
    const size_t N = m.size();
    bool any = false;
    for (uint8_t v : m) any = any || v;
    if (!any) return out;

    const double* col = c.data();
    size_t cols = c.shape(1);
    std::vector<double> sampled;
    bool use_image = !image.is_none() && !scale.is_none() && !py_truth(image.attr("isNull")());
    if (use_image) {
        nb::object qimage = ns().get("QImage");
        nb::object fmt = qimage.attr("Format_RGBA8888");
        nb::object rgba;
        {
            CollectorPause pause;
            rgba = image.attr("convertToFormat")(fmt);
        }
        // The bytes are read through Qt's own accessors of a genuine QImage: a
        // look-alike object or an override cannot describe memory that is not there.
        const nb::handle qt = qimage_class();
        if (!PyObject_TypeCheck(rgba.ptr(), reinterpret_cast<PyTypeObject*>(qt.ptr())))
            throw nb::type_error("image.convertToFormat() did not return a QImage");
        constexpr int64_t qt_max = std::numeric_limits<int>::max();
        const size_t w = py_count(qt.attr("width")(rgba), "image width", qt_max);
        const size_t h = py_count(qt.attr("height")(rgba), "image height", qt_max);
        const size_t bpl = py_count(qt.attr("bytesPerLine")(rgba), "image bytesPerLine", qt_max);
        const double scale_f = vis::py_float(scale);
        sampled.assign(checked_mul(N, 3), 0.0);
        if (w > 0 && h > 0 && bpl >= 4 * w) {
            const size_t need = checked_mul(bpl, h);
            const size_t have = py_count(qt.attr("sizeInBytes")(rgba), "image sizeInBytes");
            if (have < need) throw nb::value_error("image pixel buffer is smaller than its layout");
            nb::object bits = qt.attr("constBits")(rgba);
            bits.attr("setsize")(need);
            Py_buffer view;
            if (PyObject_GetBuffer(bits.ptr(), &view, PyBUF_SIMPLE) != 0) throw nb::python_error();
            {
                nb::gil_scoped_release unlocked;
                poles_sample_image(b.data(), b.shape(0) == 1 ? 0 : 1, r.data(), r.shape(0) == 1 ? 0 : 1, N, off,
                                   scale_f, static_cast<const uint8_t*>(view.buf), w, h, bpl, m.data(),
                                   sampled.data());
            }
            PyBuffer_Release(&view);
        } else {
            std::fill(m.begin(), m.end(), 0);
        }
        any = false;
        for (uint8_t v : m) any = any || v;
        if (!any) return out;
        col = sampled.data();
        cols = 3;
    } else if (c.shape(0) < N) {
        raise_short("the colour array", c.shape(0), N);
    }

    // Signals and source indices from the record's further elements.
    Py_ssize_t len = PyObject_Length(cloud.ptr());
    if (len < 0) throw nb::python_error();
    F64View sig;
    const double* signals = nullptr;
    if (len >= 8) {
        sig = view_f64(cloud_item(cloud, len >= 12 ? 11 : 7));
        if (sig.ndim() != 1) throw nb::index_error("signal values must be a one-dimensional array");
        if (sig.shape(0) < N) raise_short("the signal array", sig.shape(0), N);
        signals = sig.data();
    }
    PoleChoice choice;
    if (len >= 10) {
        nb::object ids = numpy().attr("asarray")(cloud_item(cloud, 9));
        const size_t nd = py_count(ids.attr("ndim"), "ndim");
        if (nd != 1) throw nb::index_error("source indices must be a one-dimensional array");
        const size_t nids = py_count(ids.attr("shape")[0], "shape");
        if (nids < N) raise_short("the source index array", nids, N);
        const char kind = dtype_kind(ids);
        if (kind == 'b' || kind == 'i') {
            auto a = ids_as<int64_t>(ids, "int64");
            nb::gil_scoped_release unlocked;
            choice = poles_choose(m.data(), N, col, cols, signals, PoleIds::Int64, a.data());
        } else if (kind == 'u') {
            auto a = ids_as<uint64_t>(ids, "uint64");
            nb::gil_scoped_release unlocked;
            choice = poles_choose(m.data(), N, col, cols, signals, PoleIds::UInt64, a.data());
        } else if (kind == 'f') {
            auto a = ids_as<double>(ids, "float64");
            nb::gil_scoped_release unlocked;
            choice = poles_choose(m.data(), N, col, cols, signals, PoleIds::Float64, a.data());
        } else {
            choice = choose_with_numpy(m, col, cols, signals, ids);
        }
    } else {
        nb::gil_scoped_release unlocked;
        choice = poles_choose(m.data(), N, col, cols, signals, PoleIds::Position, nullptr);
    }
    if (choice.metal >= 0) out["metal"] = choice.metal;
    if (choice.voids >= 0) out["void"] = choice.voids;
    return out;
}

nb::dict strongest_poles(nb::handle cloud, nb::handle r_off, nb::handle top, nb::handle min_bosluk_m) {
    nb::dict idx = strongest_indices(cloud, r_off, top, min_bosluk_m, nb::none(), nb::none());
    nb::dict out;
    for (const char* key : {"metal", "void"}) {
        nb::object i = idx[key];
        if (i.is_none()) {
            out[key] = nb::none();
        } else {
            nb::object bi = nb::steal(PyObject_GetItem(cloud_item(cloud, 0).ptr(), i.ptr()));
            if (!bi.is_valid()) throw nb::python_error();
            nb::object ri = nb::steal(PyObject_GetItem(cloud_item(cloud, 1).ptr(), i.ptr()));
            if (!ri.is_valid()) throw nb::python_error();
            out[key] = nb::make_tuple(vis::py_float(bi), vis::py_float(ri));
        }
    }
    return out;
}

}  // namespace

void bind_poles(nb::module_& m) {
    m.def("en_guclu_kutup_indeksleri", &strongest_indices, nb::arg("cloud").none(), nb::arg("r_off"),
          nb::arg("top"), nb::arg("min_bosluk_m") = 0.0, nb::arg("image").none() = nb::none(),
          nb::arg("scale").none() = nb::none(),
          nb::sig("def en_guclu_kutup_indeksleri("
                  "cloud: collections.abc.Sequence[numpy.typing.ArrayLike] | None, r_off: float, top: float, "
                  "min_bosluk_m: float = 0.0, image: QImage | None = None, scale: float | None = None) -> "
                  "dict[str, int | None]"),
          "Return the dict {'metal': i or None, 'void': j or None} of the positions of the\n"
          "strongest metal and void targets (en_guclu_kutup_indeksleri: indices of the strongest\n"
          "poles).\n"
          "\n"
          "Metal is the visible target with the highest (R - B) * 256 - G, void the one with the\n"
          "highest (B - R) * 256 - G; a result needs R - B above 25 (metal) or below -25 (void).\n"
          "Ties go to the stronger signal for metal, the weaker for void, then the smaller\n"
          "source id. Positions count all targets of the record, visible or not.\n"
          "cloud: (bearings in degrees clockwise from north, ranges in metres, colours as\n"
          "R, G, B on the 0..255 scale, ...); element 7 (records of 8 to 11 elements) or 11\n"
          "(12 or more) holds one signal per target, element 9 one source id per target.\n"
          "r_off, top, min_bosluk_m (minimum gap): metres, as for visible_cloud_mask.\n"
          "image: None, or the field as drawn, device at the centre, bearing 0 up; targets are\n"
          "then judged by the image's colour at their position, on non-transparent pixels only.\n"
          "scale: pixels per metre of image; None ignores the image.");
    m.def("en_guclu_kutuplar", &strongest_poles, nb::arg("cloud").none(), nb::arg("r_off"), nb::arg("top"),
          nb::arg("min_bosluk_m") = 0.0,
          nb::sig("def en_guclu_kutuplar(cloud: collections.abc.Sequence[numpy.typing.ArrayLike] | None, "
                  "r_off: float, top: float, min_bosluk_m: float = 0.0) -> "
                  "dict[str, tuple[float, float] | None]"),
          "Return the dict {'metal': (bearing, range) or None, 'void': ...} of the strongest\n"
          "metal and void targets (en_guclu_kutuplar: the strongest poles).\n"
          "\n"
          "Bearing in degrees clockwise from north and range in metres, both as recorded (the\n"
          "range not reduced by r_off); the choice is en_guclu_kutup_indeksleri's, judged on the\n"
          "record's own colours.\n"
          "cloud, r_off, top, min_bosluk_m (minimum gap): metres, as for visible_cloud_mask.");
}

}  // namespace vis::brelvo
