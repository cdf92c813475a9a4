// Reverse palette lookup: the sampled palette tables (_lut, cached in
// _LUT_CACHE) and the colour -> lambda search (lambda_from_colors).
#include "bindings/brelvo/doc_text.h"
#include "bindings/brelvo/registry.h"
#include "bindings/signals.h"
#include "kernels/colour_lookup.h"

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vis::brelvo {

namespace {

// What the module keeps beside each `_LUT_CACHE` entry it stored, under the
// same key: the palette itself, so that no later palette can take a dead
// one's identity and be answered from its table, and the cell index of the
// table's colours, built on the first search. A side entry goes as soon as
// its key has left the cache, so a palette lives exactly as long as its entry.
struct Side {
    nb::object palette;  // None for the default palette
    std::shared_ptr<const ColourLookup> index;
};
using SideMap = std::map<uintptr_t, Side>;

SideMap& sides() {
    static SideMap* m = new SideMap();  // lives for the process, like the cache
    return *m;
}

nb::object key_object(uintptr_t id) {
    return id == 0 ? nb::int_(0) : nb::steal(PyLong_FromVoidPtr(reinterpret_cast<void*>(id)));
}

bool cache_holds(nb::handle cache, uintptr_t id) {
    const int in = PySequence_Contains(cache.ptr(), key_object(id).ptr());
    if (in < 0) throw nb::python_error();
    return in != 0;
}

// Drops the side entries whose keys are no longer in the cache. The
// containment tests may run the host's code, and releasing a palette may run
// its finaliser, so the map is never walked while either happens.
void prune(nb::handle cache) {
    std::vector<uintptr_t> ids;
    for (const auto& kv : sides()) ids.push_back(kv.first);
    std::vector<Side> gone;
    for (uintptr_t id : ids) {
        if (cache_holds(cache, id)) continue;
        auto it = sides().find(id);
        if (it == sides().end()) continue;
        gone.push_back(std::move(it->second));
        sides().erase(it);
    }
}

void remember(uintptr_t id, nb::handle palette, std::shared_ptr<const ColourLookup> index) {
    Side old;
    Side& s = sides()[id];
    old = std::move(s);  // released after the map is consistent again
    s.palette = nb::borrow(palette);
    s.index = std::move(index);
}

uintptr_t palette_id(nb::handle colormap) {
    return colormap.is_none() ? 0 : reinterpret_cast<uintptr_t>(colormap.ptr());
}

nb::object lut(nb::handle colormap) {
    const uintptr_t id = palette_id(colormap);
    nb::object key = key_object(id);
    nb::object cache = ns().get("_LUT_CACHE");
    // The host may have emptied the cache since the last store.
    const Py_ssize_t held = PyObject_Length(cache.ptr());
    if (held < 0) throw nb::python_error();
    if (sides().size() > static_cast<size_t>(held)) prune(cache);
    nb::object entry = cache.attr("get")(key);
    if (!entry.is_none()) {
        // An entry the host put back (a cache swapped in and out): its
        // palette is held from now on, like the ones stored here.
        if (sides().find(id) == sides().end()) remember(id, colormap, nullptr);
        return entry;
    }

    nb::object np = ns().get("np");
    nb::object lam = np.attr("linspace")(0.0, 1.0, 256);
    nb::object cols = np.attr("asarray")(ns().get("apply_colormap")(lam, colormap));
    nb::object rgb = asarray_f64(cols[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()),
                                                     nb::slice(nb::none(), nb::int_(3), nb::none()))]);
    nb::object ckdtree = ns().get("cKDTree");
    nb::object tree = ckdtree.is_none() ? nb::none() : ckdtree(rgb);
    entry = nb::make_tuple(rgb, tree);
    cache[key] = entry;
    prune(cache);
    remember(id, colormap, nullptr);
    return entry;
}

// The cell index over a (rows, 3) table: the one kept beside the palette's
// cache entry while it still matches the table's contents, else a new one
// (kept for later calls while the entry is cached).
std::shared_ptr<const ColourLookup> index_for(uintptr_t id, const F64View& t) {
    auto it = sides().find(id);
    if (it != sides().end() && it->second.index && it->second.index->same_rows(t.data(), t.shape(0)))
        return it->second.index;
    std::shared_ptr<const ColourLookup> index;
    {
        nb::gil_scoped_release unlocked;
        index = std::make_shared<const ColourLookup>(t.data(), t.shape(0));
    }
    it = sides().find(id);
    if (it != sides().end())
        it->second.index = index;
    else if (cache_holds(ns().get("_LUT_CACHE"), id))
        remember(id, nb::none(), index);
    return index;
}

[[noreturn]] void raise_not_triples(nb::handle arr, size_t size) {
    nb::object text = nb::steal(PyObject_Str(nb::object(arr.attr("shape")).ptr()));
    const char* shape = text.is_valid() ? PyUnicode_AsUTF8AndSize(text.ptr(), nullptr) : nullptr;
    if (!shape) throw nb::python_error();
    throw nb::value_error(("colours are read as rows of three values (R, G, B), but an array of shape " +
                           std::string(shape) + " holds " + std::to_string(size) + " values")
                              .c_str());
}

// The colours as float64 rows of three, NumPy converting whatever it must.
F64View colour_triples(nb::handle cols) {
    F64View c = view_f64(cols);
    if (c.size() % 3 != 0) raise_not_triples(c.owner, c.size());
    return c;
}

// A held buffer export of the caller's colour array.
struct BufferHold {
    Py_buffer view{};
    bool held = false;
    ~BufferHold() {
        if (held) PyBuffer_Release(&view);
    }
};

// Reads (n, 3) uint8 or float64 NumPy arrays in place, whatever their
// strides (the host's colours are a column view of RGBA rows).
bool strided_rows(nb::handle cols, BufferHold& hold, ColourRows& rows) {
    if (!PyObject_TypeCheck(cols.ptr(), reinterpret_cast<PyTypeObject*>(numpy_ndarray_type().ptr())))
        return false;
    if (PyObject_GetBuffer(cols.ptr(), &hold.view, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return false;
    }
    hold.held = true;
    const Py_buffer& v = hold.view;
    if (v.ndim != 2 || v.shape[1] != 3 || !v.format || !v.strides) return false;
    if (std::strcmp(v.format, "B") == 0 && v.itemsize == 1)
        rows.type = ColourRows::Type::u8;
    else if (std::strcmp(v.format, "d") == 0 && v.itemsize == 8)
        rows.type = ColourRows::Type::f64;
    else
        return false;
    rows.base = static_cast<const char*>(v.buf);
    rows.n = static_cast<size_t>(v.shape[0]);
    rows.row_stride = v.strides[0];
    rows.col_stride = v.strides[1];
    return true;
}

nb::object lookup_lambdas(uintptr_t id, nb::handle table, nb::handle cols) {
    F64View t = view_f64(table);
    if (t.ndim() != 2 || t.shape(1) != 3 || t.shape(0) == 0)
        throw nb::value_error("palette table must be a non-empty (rows, 3) array");
    std::shared_ptr<const ColourLookup> index = index_for(id, t);

    BufferHold hold;
    ColourRows rows{};
    F64View converted;
    if (!strided_rows(cols, hold, rows)) {
        converted = colour_triples(cols);
        rows = {reinterpret_cast<const char*>(converted.data()), converted.size() / 3, 3 * sizeof(double),
                sizeof(double), ColourRows::Type::f64};
    }
    NewArray<double> out = new_f64({rows.n});
    SignalCheck check;
    {
        nb::gil_scoped_release unlocked;
        index->lambdas(rows, out.data, check.interrupt());
    }
    check.raise_if_stopped();
    return out.obj;
}

}  // namespace

nb::object lambda_from_colors(nb::handle cols, nb::handle colormap) {
    nb::object entry = lut(colormap);
    nb::object rgb = entry[0];
    nb::object tree = entry[1];
    const uintptr_t id = palette_id(colormap);
    if (tree.is_none()) return lookup_lambdas(id, rgb, cols);
    if (ckdtree_is_scipy(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(tree.ptr()))))) {
        // SciPy's own tree: its nearest row is answered by the native search
        // over the very points the tree holds.
        return lookup_lambdas(id, tree.attr("data"), cols);
    }
    F64View c = colour_triples(cols);
    nb::object rows = c.owner.attr("reshape")(-1, 3);
    nb::object idx = tree.attr("query")(rows, nb::arg("k") = 1)[1];
    return asarray_f64(idx) / nb::float_(255.0);
}

void bind_lut(nb::module_& m) {
    m.def("_lut", &lut, nb::arg("colormap").none(),
          nb::sig("def _lut(colormap: numpy.typing.ArrayLike | None) -> "
                  "tuple[numpy.typing.NDArray[numpy.float64], typing.Any]"),
          with_palette_cache_rule(
              "Return the cached tuple (rgb, tree), the sampled table of a palette.\n"
              "\n"
              "rgb: float64 (256, 3), row i the R, G, B bytes apply_colormap gives for lambda i / 255.\n"
              "tree: scipy's cKDTree over those rows, or None without SciPy.\n"
              "colormap: palette stop array, or None for the default palette.\n")
              .c_str());
    m.def("lambda_from_colors", &lambda_from_colors, nb::arg("cols").none(),
          nb::arg("colormap").none() = nb::none(),
          nb::sig("def lambda_from_colors(cols: numpy.typing.ArrayLike, "
                  "colormap: numpy.typing.ArrayLike | None = None) -> numpy.typing.NDArray[numpy.float64]"),
          with_palette_cache_rule(
              "Return the lambda of every colour: a float64 array of N values i / 255 (256 levels).\n"
              "\n"
              "Each colour is read back as the lambda of the nearest row (Euclidean in 8-bit RGB)\n"
              "of the palette sampled at 256 lambda values from 0 to 1.\n"
              "cols: colours on the 0..255 scale, read as N rows of R, G, B (element count a\n"
              "multiple of 3); usually the colour column of a cloud.\n"
              "colormap: the palette the colours were painted with; None for the default palette.\n")
              .c_str());
}

}  // namespace vis::brelvo
