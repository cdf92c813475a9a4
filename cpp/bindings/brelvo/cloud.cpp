// cloud_key and visible_cloud_mask: the content key of a target record and the
// visible radial band.
#include "bindings/brelvo/visibility.h"
#include "kernels/byte_hash.h"

#include <cmath>
#include <cstring>

namespace vis::brelvo {

nb::object cloud_item(nb::handle cloud, long i) {
    nb::object key = nb::steal(PyLong_FromLong(i));
    PyObject* item = PyObject_GetItem(cloud.ptr(), key.ptr());
    if (!item) throw nb::python_error();
    return nb::steal(item);
}

double py_float(nb::handle obj) {
#ifndef Py_LIMITED_API
    if (PyFloat_CheckExact(obj.ptr())) return PyFloat_AS_DOUBLE(obj.ptr());
#endif
    nb::object f = nb::steal(PyNumber_Float(obj.ptr()));
    if (!f.is_valid()) throw nb::python_error();
    return PyFloat_AsDouble(f.ptr());
}

namespace {

nb::handle ndarray_type() {
    static nb::handle t = nb::object(numpy().attr("ndarray")).release();
    return t;
}

// Hash of an element's bytes in row-major order, its element type unchanged.
int64_t element_hash(nb::handle item) {
    nb::object arr;
    if (Py_TYPE(item.ptr()) == reinterpret_cast<PyTypeObject*>(ndarray_type().ptr()))
        arr = nb::borrow(item);
    else
        arr = numpy().attr("asarray")(item);

    const uint64_t seed = process_hash_seed();
    Py_buffer view;
    if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_C_CONTIGUOUS) != 0) {
        PyErr_Clear();
        // Not C-contiguous: a contiguous copy in row-major order.
        nb::object contig = numpy().attr("ascontiguousarray")(arr);
        if (PyObject_GetBuffer(contig.ptr(), &view, PyBUF_C_CONTIGUOUS) != 0) {
            PyErr_Clear();
            // Element types without a buffer export (object, datetime): NumPy's
            // own byte image of the array.
            nb::bytes raw = nb::borrow<nb::bytes>(arr.attr("tobytes")());
            return static_cast<int64_t>(hash_bytes(raw.c_str(), raw.size(), seed));
        }
        arr = contig;
    }
    uint64_t h;
    const void* data = view.buf;
    const size_t len = static_cast<size_t>(view.len);
    if (len >= (size_t{1} << 16)) {
        nb::gil_scoped_release unlocked;
        h = hash_bytes(data, len, seed);
    } else {
        h = hash_bytes(data, len, seed);
    }
    PyBuffer_Release(&view);
    return static_cast<int64_t>(h);
}

nb::object py_round(double v, int ndigits) {
    static nb::handle round_fn = nb::object(nb::module_::import_("builtins").attr("round")).release();
    return round_fn(v, ndigits);
}

nb::tuple cloud_key(nb::handle cloud, nb::handle top, nb::handle scale, nb::handle power,
                    nb::handle softness, nb::handle cell_px, nb::handle colormap) {
    int64_t h0 = element_hash(cloud_item(cloud, 0));
    int64_t h1 = element_hash(cloud_item(cloud, 1));
    int64_t h2 = element_hash(cloud_item(cloud, 2));
    nb::object t = py_round(py_float(top), 4);
    nb::object s = py_round(py_float(scale), 3);
    nb::object p = py_round(py_float(power), 3);
    nb::object so = py_round(py_float(softness), 3);
    double cp = py_float(cell_px);
    nb::object ident = colormap.is_none() ? nb::steal(PyLong_FromLong(0))
                                          : nb::steal(PyLong_FromVoidPtr(colormap.ptr()));
    return nb::make_tuple(h0, h1, h2, t, s, p, so, cp, ident);
}

// NumPy's own broadcast error for two incompatible shapes.
[[noreturn]] void raise_broadcast_error(const F64View& a, const F64View& b) {
    numpy().attr("broadcast_shapes")(nb::make_tuple(a.shape(0)), nb::make_tuple(b.shape(0)));
    throw nb::value_error("bearings and ranges cannot be broadcast together");
}

void fill_mask(const double* b, size_t sb, const double* r, size_t sr, size_t n, double r_off,
               double lo, double hi, uint8_t* out) {
    for (size_t i = 0; i < n; ++i) {
        double bi = b[i * sb];
        double ri = r[i * sr] - r_off;
        out[i] = std::isfinite(bi) && std::isfinite(ri) && ri >= lo && ri <= hi;
    }
}

nb::object visible_cloud_mask(nb::handle cloud, nb::handle r_off, nb::handle top,
                              nb::handle min_bosluk_m) {
    F64View b = view_f64(cloud_item(cloud, 0));
    F64View r = view_f64(cloud_item(cloud, 1));
    double off = py_float(r_off);
    if (b.ndim() == 1 && r.ndim() == 1) {
        const size_t nb_ = b.shape(0), nr = r.shape(0);
        if (nb_ != nr && nb_ != 1 && nr != 1) raise_broadcast_error(b, r);
        double lo = py_float(min_bosluk_m);
        double hi = py_float(top);
        const size_t n = (nb_ == 1) ? nr : nb_;
        NewArray<bool> out = new_array<bool>({n}, "bool");
        {
            nb::gil_scoped_release unlocked;
            fill_mask(b.data(), nb_ == 1 ? 0 : 1, r.data(), nr == 1 ? 0 : 1, n, off, lo, hi,
                      reinterpret_cast<uint8_t*>(out.data));
        }
        return out.obj;
    }
    // Other shapes (scalars, several dimensions): NumPy's element-wise rules.
    nb::handle np = numpy();
    nb::object rr = nb::steal(PyNumber_Subtract(r.owner.ptr(), nb::float_(off).ptr()));
    if (!rr.is_valid()) throw nb::python_error();
    nb::object m = np.attr("logical_and")(np.attr("isfinite")(b.owner), np.attr("isfinite")(rr));
    nb::object ge = np.attr("greater_equal")(rr, py_float(min_bosluk_m));
    m = np.attr("logical_and")(m, ge);
    nb::object le = np.attr("less_equal")(rr, py_float(top));
    return np.attr("asarray")(np.attr("logical_and")(m, le));
}

}  // namespace

std::vector<uint8_t> visible_mask_1d(const F64View& b, const F64View& r, double r_off, double lo,
                                     double hi) {
    const size_t nb_ = b.shape(0), nr = r.shape(0);
    if (nb_ != nr && nb_ != 1 && nr != 1) raise_broadcast_error(b, r);
    const size_t n = (nb_ == 1) ? nr : nb_;
    std::vector<uint8_t> out(n);
    nb::gil_scoped_release unlocked;
    fill_mask(b.data(), nb_ == 1 ? 0 : 1, r.data(), nr == 1 ? 0 : 1, n, r_off, lo, hi, out.data());
    return out;
}

void bind_cloud(nb::module_& m) {
    nb::object cell_default = m.attr("CELL_PX");
    // The default shows as Python writes the value CELL_PX held at load.
    const std::string key_signature =
        "def cloud_key(cloud: collections.abc.Sequence[numpy.typing.ArrayLike], top: float, "
        "scale: float, power: float, softness: float, cell_px: float = " +
        std::string(nb::repr(cell_default).c_str()) +
        ", colormap: numpy.typing.ArrayLike | None = None) -> "
        "tuple[int, int, int, float, float, float, float, float, int]";
    m.def("cloud_key", &cloud_key, nb::arg("cloud"), nb::arg("top"), nb::arg("scale"),
          nb::arg("power"), nb::arg("softness"), nb::arg("cell_px") = cell_default,
          nb::arg("colormap").none() = nb::none(), nb::sig(key_signature.c_str()),
          "Return the nine-element key tuple under which the host caches build_field's image.\n"
          "\n"
          "(hash of cloud[0], hash of cloud[1], hash of cloud[2], top rounded to 4 decimals,\n"
          "scale, power, softness rounded to 3, cell_px, palette identity): the hashes are of\n"
          "the arrays' bytes, so new arrays with the same content give the same key.\n"
          "cloud: (bearings in degrees clockwise from north, ranges in metres, colours as\n"
          "R, G, B on the 0..255 scale, ...). top: visible range in metres. scale: pixels per\n"
          "metre. power, softness, cell_px (pixels), colormap: as for build_field, whose inputs\n"
          "the key covers exactly (note build_field takes colormap before cell_px).\n"
          "colormap enters by identity, 0 for None: an equal copy gives a different key.");
    m.def("visible_cloud_mask", &visible_cloud_mask, nb::arg("cloud"), nb::arg("r_off"),
          nb::arg("top"), nb::arg("min_bosluk_m") = 0.0,
          nb::sig("def visible_cloud_mask(cloud: collections.abc.Sequence[numpy.typing.ArrayLike], "
                  "r_off: float, top: float, min_bosluk_m: float = 0.0) -> numpy.typing.NDArray[numpy.bool_]"),
          "Return the boolean mask array of the targets inside the visible radial band.\n"
          "\n"
          "A target counts when its bearing and range are finite and\n"
          "min_bosluk_m <= range - r_off <= top.\n"
          "cloud: (bearings in degrees clockwise from north, ranges in metres, ...).\n"
          "r_off: radial offset in metres; targets are drawn at range - r_off.\n"
          "top: visible range in metres, measured after the offset.\n"
          "min_bosluk_m (minimum gap in metres): the blank zone below the device; targets\n"
          "closer than this after the offset are hidden.");
}

}  // namespace vis::brelvo
