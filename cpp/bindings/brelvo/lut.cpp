// Reverse palette lookup: the sampled palette tables (_lut, cached in
// _LUT_CACHE) and the colour -> lambda search (lambda_from_colors).
#include "bindings/brelvo/doc_text.h"
#include "bindings/brelvo/registry.h"
#include "kernels/colour_lookup.h"

#include <vector>

namespace vis::brelvo {

namespace {

// Palettes whose tables sit in the cache, by the same key. Holding them keeps
// each palette alive as long as its entry, so no later palette can reuse the
// identity of a dead one and be answered from the dead one's table.
nb::dict& cached_palettes() {
    static nb::dict* d = new nb::dict();  // lives for the process, like the cache
    return *d;
}

nb::object lut(nb::handle colormap) {
    nb::object key = colormap.is_none() ? nb::int_(0) : nb::steal(PyLong_FromVoidPtr(colormap.ptr()));
    nb::object cache = ns().get("_LUT_CACHE");
    nb::object entry = cache.attr("get")(key);
    if (!entry.is_none()) return entry;

    nb::object np = ns().get("np");
    nb::object lam = np.attr("linspace")(0.0, 1.0, 256);
    nb::object cols = np.attr("asarray")(ns().get("apply_colormap")(lam, colormap));
    nb::object rgb = asarray_f64(cols[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()),
                                                     nb::slice(nb::none(), nb::int_(3), nb::none()))]);
    nb::object ckdtree = ns().get("cKDTree");
    nb::object tree = ckdtree.is_none() ? nb::none() : ckdtree(rgb);
    entry = nb::make_tuple(rgb, tree);
    cache[key] = entry;
    if (!colormap.is_none()) cached_palettes()[key] = colormap;
    return entry;
}

// Nearest row of a (rows, 3) float64 table for every colour, lowest row
// among equal minima.
nb::object nearest_rows_lambda(nb::handle table, const F64View& c, size_t n) {
    F64View t = view_f64(table);
    if (t.ndim() != 2 || t.shape(1) != 3 || t.shape(0) == 0)
        throw nb::value_error("palette table must be a non-empty (rows, 3) array");
    NewArray<double> out = new_f64({n});
    {
        nb::gil_scoped_release unlocked;
        ColourLookup look(t.data(), t.shape(0));
        std::vector<int64_t> idx(n);
        look.nearest(c.data(), n, idx.data());
        for (size_t i = 0; i < n; ++i) out.data[i] = static_cast<double>(idx[i]) / 255.0;
    }
    return out.obj;
}

}  // namespace

nb::object lambda_from_colors(nb::handle cols, nb::handle colormap) {
    nb::object entry = lut(colormap);
    nb::object rgb = entry[0];
    nb::object tree = entry[1];
    nb::object c = asarray_f64(cols).attr("reshape")(-1, 3);
    // The search may read a colour more than once: a private copy.
    F64View cv = private_f64(c);
    c = cv.owner;
    const size_t n = cv.shape(0);
    if (tree.is_none()) return nearest_rows_lambda(rgb, cv, n);
    if (ckdtree_is_scipy(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(tree.ptr()))))) {
        // SciPy's own tree: its nearest row is answered by the native search
        // over the very points the tree holds.
        return nearest_rows_lambda(tree.attr("data"), cv, n);
    }
    nb::object idx = tree.attr("query")(c, nb::arg("k") = 1)[1];
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
