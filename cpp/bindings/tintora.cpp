// visualization.tintora: anomaly colouring (palette, lambda, full paint, Shepard fill).
//
// Thin layer over the kernels in cpp/kernels: every array-like goes through
// numpy.asarray, every result is a NumPy array whose buffer the kernel fills,
// and module attributes (the default palette) are read at call time.
#include "bindings/common.h"
#include "bindings/convert.h"
#include "bindings/signals.h"
#include "kernels/lambda.h"
#include "kernels/palette.h"
#include "kernels/shepard.h"

#include <cmath>
#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace nb = nanobind;

namespace {

vis::ModuleNamespace g_ns;

using Shape = std::vector<size_t>;

Shape shape_of(const vis::F64View& v) {
    Shape s(v.ndim());
    for (size_t i = 0; i < s.size(); ++i) s[i] = v.shape(i);
    return s;
}

// A new C-contiguous NumPy array of `shape` whose buffer is owned by a capsule.
template <class T>
nb::object new_array(const Shape& shape, T** data) {
    size_t n = 1;
    for (size_t s : shape) n = vis::checked_mul(n, s);
    vis::budget_bytes(n, sizeof(T));
    T* p = new T[n ? n : 1];
    nb::capsule owner(p, [](void* q) noexcept { delete[] static_cast<T*>(q); });
    *data = p;
    return nb::ndarray<nb::numpy, T>(p, shape.size(), shape.data(), owner).cast();
}

nb::object all_slice() { return nb::slice(nb::none(), nb::none(), nb::none()); }

// ---------------------------------------------------------------- palette

// The default palette: lambda, R, G, B, A per stop.
constexpr double kKorvalBenzeri[7][5] = {
    {0.00, 0.0, 0.0, 1.0, 1.0}, {0.10, 0.0, 0.0, 1.0, 1.0}, {0.25, 0.0, 1.0, 1.0, 1.0},
    {0.50, 0.0, 0.5, 0.0, 1.0}, {0.75, 1.0, 1.0, 0.0, 1.0}, {0.90, 1.0, 0.0, 0.0, 1.0},
    {1.00, 1.0, 0.0, 0.0, 1.0},
};

// Reads the palette (None -> the module's KORVAL_BENZERI at this moment).
nb::object palette_object(nb::handle colormap) {
    if (colormap.is_none()) return g_ns.get("KORVAL_BENZERI");
    return nb::borrow(colormap);
}

// Prepares a converted palette.  A palette that is not N x (>= 5) with N >= 1
// is run through the same NumPy indexing and interpolation steps as the
// column-wise formulation, so the caller gets exactly NumPy's IndexError or
// ValueError.
vis::BytePalette prepare_palette(const vis::F64View& cm, nb::handle flat) {
    if (cm.ndim() == 2 && cm.shape(1) >= 5 && cm.shape(0) >= 1)
        return vis::BytePalette(cm.data(), cm.shape(0), cm.shape(1));
    nb::object all = all_slice();
    nb::object lam = cm.owner[nb::make_tuple(all, 0)];
    nb::object st = cm.owner[nb::make_tuple(all, nb::slice(1, 5))];
    nb::object interp = vis::numpy().attr("interp");
    for (int c = 0; c < 4; ++c) {
        nb::object col = st[nb::make_tuple(all, c)];
        interp(flat, lam, col);
    }
    throw nb::value_error("palette must be an N x 5 stop array with N >= 1");
}

nb::object stops_to_bytes(nb::handle colormap) {
    vis::F64View cm = vis::view_f64(colormap);
    nb::object all = all_slice();
    nb::object asc = vis::numpy().attr("ascontiguousarray");
    nb::object lam = vis::numpy().attr("array")(cm.owner[nb::make_tuple(all, 0)]);
    vis::F64View sub = vis::view_f64(asc(cm.owner[nb::make_tuple(all, nb::slice(1, 5))]));
    int64_t* out;
    nb::object res = new_array<int64_t>(shape_of(sub), &out);
    const double* src = sub.data();
    {
        nb::gil_scoped_release nogil;
        for (size_t i = 0, n = sub.size(); i < n; ++i) out[i] = vis::stop_byte_i64(src[i]);
    }
    return nb::make_tuple(lam, res);
}

// A 1-D float64 array as numpy.interp requires for its sample points.
vis::F64View one_dim(nb::handle obj) {
    vis::F64View v = vis::view_f64(obj);
    if (v.ndim() < 1) throw nb::value_error("object of too small depth for desired array");
    if (v.ndim() > 1) throw nb::value_error("object too deep for desired array");
    return v;
}

nb::object interp_channel_bytes(nb::handle lambdas, nb::handle stop_lams, nb::handle stop_chan) {
    // The stops are read once per value: private copies. The values are read once each.
    vis::F64View fp = one_dim(stop_chan);
    vis::F64View xp = one_dim(stop_lams);
    fp = vis::private_f64(fp.owner);
    xp = vis::private_f64(xp.owner);
    vis::F64View x = vis::view_f64(lambdas);
    if (xp.size() == 0) throw nb::value_error("array of sample points is empty");
    if (fp.size() != xp.size()) throw nb::value_error("fp and xp are not of the same length.");
    double* out;
    nb::object res = new_array<double>(shape_of(x), &out);
    vis::SignalCheck check;
    {
        nb::gil_scoped_release nogil;
        vis::interp_linear(x.data(), x.size(), xp.data(), fp.data(), 1, xp.size(), out, check.interrupt());
    }
    check.raise_if_stopped();
    if (x.ndim() == 0) return vis::numpy().attr("float64")(out[0]);
    return res;
}

nb::object apply_colormap(nb::handle t, nb::handle colormap) {
    nb::object cmobj = palette_object(colormap);
    vis::F64View tv = vis::view_f64(t);
    vis::F64View cm = vis::view_f64(cmobj);
    vis::BytePalette pal = prepare_palette(cm, tv.owner);
    Shape shape = shape_of(tv);
    shape.push_back(4);
    uint8_t* out;
    nb::object res = new_array<uint8_t>(shape, &out);
    vis::SignalCheck check;
    {
        nb::gil_scoped_release nogil;
        pal.colour(tv.data(), tv.size(), out, check.interrupt());
    }
    check.raise_if_stopped();
    return res;
}

// ---------------------------------------------------------------- lambda

// Mask bytes: a bool array is read through a uint8 view, since its bytes may be
// anything a caller viewed as bool (only zero is false).
using MaskArray = nb::ndarray<const uint8_t, nb::c_contig, nb::device::cpu, nb::ro>;

// Converted inputs of the lambda rule, with the cell values and the mask
// broadcast against each other when their shapes differ.
struct LambdaInput {
    vis::F64View value;
    nb::object mask_owner;
    const uint8_t* mask = nullptr;
    vis::LambdaRule rule;
    Shape shape;
};

LambdaInput lambda_input(nb::handle field, nb::handle ground, nb::handle data_min, nb::handle data_max,
                         nb::handle esik, nb::handle mask, nb::handle sifiri_topraga_cek,
                         nb::handle esik_ref) {
    LambdaInput in;
    in.value = vis::view_f64(field);
    in.rule.ground = vis::py_number(ground);
    in.rule.data_min = vis::py_number(data_min);
    in.rule.data_max = vis::py_number(data_max);
    in.rule.esik_ref = vis::py_float(esik_ref);
    in.rule.esik = vis::py_number(esik);
    in.rule.sentinel = vis::py_truth(sifiri_topraga_cek);
    in.shape = shape_of(in.value);
    if (!mask.is_none()) {
        nb::handle np = vis::numpy();
        nb::object m = np.attr("asarray")(mask, nb::arg("dtype") = np.attr("bool_"));
        nb::object vshape = in.value.owner.attr("shape");
        nb::object mshape = m.attr("shape");
        nb::object bshape = np.attr("broadcast_shapes")(vshape, mshape);
        nb::object asc = np.attr("ascontiguousarray");
        if (!vshape.equal(bshape))
            in.value = vis::view_f64(np.attr("broadcast_to")(in.value.owner, bshape));
        if (!mshape.equal(bshape)) m = np.attr("broadcast_to")(m, bshape);
        in.mask_owner = asc(m).attr("view")(np.attr("uint8"));
        in.mask = nb::cast<MaskArray>(in.mask_owner).data();
        in.shape = shape_of(in.value);
    }
    return in;
}

nb::object compute_lambda(nb::handle field, nb::handle ground, nb::handle data_min, nb::handle data_max,
                          nb::handle esik, nb::handle mask, nb::handle sifiri_topraga_cek,
                          nb::handle esik_ref) {
    LambdaInput in = lambda_input(field, ground, data_min, data_max, esik, mask, sifiri_topraga_cek, esik_ref);
    double* out;
    nb::object res = new_array<double>(in.shape, &out);
    vis::SignalCheck check;
    {
        nb::gil_scoped_release nogil;
        vis::compute_lambda(in.value.data(), in.value.size(), in.rule, in.mask, out, check.interrupt());
    }
    check.raise_if_stopped();
    return res;
}

nb::object boya(nb::handle field, nb::handle ground, nb::handle data_min, nb::handle data_max,
                nb::handle esik, nb::handle sifiri_topraga_cek, nb::handle mask, nb::handle esik_ref) {
    LambdaInput in = lambda_input(field, ground, data_min, data_max, esik, mask, sifiri_topraga_cek, esik_ref);
    const size_t n = in.value.size();
    vis::F64View cm = vis::view_f64(g_ns.get("KORVAL_BENZERI"));
    nb::object flat = vis::numpy().attr("zeros")(0);
    vis::BytePalette pal = prepare_palette(cm, flat);
    Shape shape = in.shape;
    shape.push_back(4);
    uint8_t* out;
    nb::object res = new_array<uint8_t>(shape, &out);
    vis::SignalCheck check;
    {
        nb::gil_scoped_release nogil;
        // Lambda and colour in cache-sized chunks, one pass over the field:
        // each chunk's lambda (8 KiB) stays in L1 between the two kernels.
        // No-data cells (lambda 1.5) get the ground colour darkened to 40 %
        // of R, G, B with the ground's own alpha, replaced while colouring.
        constexpr size_t kChunk = 1024;
        static_assert(vis::kPollValues % kChunk == 0);
        double num[kChunk];
        uint8_t ground[4], dark[4];
        pal.colour_one(0.5, ground);
        for (int c = 0; c < 3; ++c)
            dark[c] = static_cast<uint8_t>(static_cast<int>(std::trunc(double(ground[c]) * 0.4)));
        dark[3] = ground[3];
        const double* val = in.value.data();
        for (size_t s = 0; s < n; s += kChunk) {
            if (s % vis::kPollValues == 0 && s > 0 && vis::stop_requested(check.interrupt())) break;
            const size_t len = std::min(kChunk, n - s);
            vis::compute_lambda(val + s, len, in.rule, in.mask ? in.mask + s : nullptr, num);
            pal.colour_replacing(num, len, 1.5, dark, out + 4 * s);
        }
    }
    check.raise_if_stopped();
    return res;
}

nb::object running_baseline(nb::handle values) {
    vis::F64View v = vis::view_f64(values);
    vis::Baseline b;
    vis::SignalCheck check;
    {
        nb::gil_scoped_release nogil;
        b = vis::running_baseline(v.data(), v.size(), check.interrupt());
    }
    check.raise_if_stopped();
    return nb::make_tuple(b.ground, b.data_min, b.data_max);
}


// ---------------------------------------------------------------- Shepard

// Rows x columns of a coordinate array; a 1-D input is one point.
std::pair<size_t, size_t> points_shape(const vis::F64View& v) {
    if (v.ndim() == 0)
        throw nb::index_error("too many indices for array: array is 0-dimensional, but 1 were indexed");
    if (v.ndim() == 1) return {1, v.shape(0)};
    if (v.ndim() > 2) throw nb::value_error("coordinate arrays must be one- or two-dimensional");
    return {v.shape(0), v.shape(1)};
}

nb::object rbf_fill(nb::handle grid_coords, nb::handle sample_coords, nb::handle sample_values,
                    nb::handle power, nb::handle smoothing) {
    // Every point is read many times by the streaming kernel: private copies.
    vis::F64View q = vis::private_f64(grid_coords);
    vis::F64View p = vis::private_f64(sample_coords);
    vis::F64View sv = vis::private_f64(sample_values);
    auto [m, dq] = points_shape(q);
    auto [n, dp] = points_shape(p);
    double* out;
    nb::object res = new_array<double>({m}, &out);
    if (n == 0) {
        for (size_t i = 0; i < m; ++i) out[i] = 0.0;
        return res;
    }
    if (dq != dp)
        throw nb::value_error(("matmul: Input operand 1 has a mismatch in its core dimension 0 (size " +
                               std::to_string(dp) + " is different from " + std::to_string(dq) + ")")
                                  .c_str());
    if (sv.size() < n)
        throw nb::value_error(("sample_values holds " + std::to_string(sv.size()) + " values for " +
                               std::to_string(n) + " samples")
                                  .c_str());
    const double pw = vis::py_number(power);
    const double sm = vis::py_number(smoothing);
    vis::SignalCheck check;
    {
        nb::gil_scoped_release nogil;
        vis::shepard_fill(q.data(), m, p.data(), n, dq, sv.data(), pw, sm, out, check.interrupt());
    }
    check.raise_if_stopped();
    return res;
}

}  // namespace

NB_MODULE(tintora, m) {
    vis::require_crt_math();
    g_ns.bind(m);
    m.doc() =
        "Anomaly colouring: palette, bipolar lambda, whole-field paint, Shepard fill.\n"
        "\n"
        "lambda is the colour parameter of a cell: 0.5 is the ground level (dark green),\n"
        "towards 1 above ground (yellow, then red from 0.90), towards 0 below ground (cyan,\n"
        "then blue from 0.10), 1.5 marks a cell with no data. A palette is an N x 5 array of\n"
        "stops (lambda, R, G, B, A), intensities 0..1, lambda strictly increasing;\n"
        "KORVAL_BENZERI is the default. Colours are uint8 R, G, B, A worked out in 8-bit\n"
        "arithmetic that truncates, never rounds.\n"
        "\n"
        "Turkish names: boya = paint, esik = threshold, esik_ref = threshold reference,\n"
        "sifiri_topraga_cek = pull zero to ground.";
    m.attr("np") = vis::numpy();
    {
        double* p;
        nb::object k = new_array<double>({7, 5}, &p);
        std::memcpy(p, kKorvalBenzeri, sizeof(kKorvalBenzeri));
        m.attr("KORVAL_BENZERI") = k;
    }
    m.def("_stops_to_bytes", &stops_to_bytes, nb::arg("colormap"),
          nb::sig("def _stops_to_bytes(colormap: numpy.typing.ArrayLike) -> "
                  "tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.int64]]"),
          "Return the tuple (lam, rgba255) of a palette: its lambda column and its channel bytes.\n"
          "\n"
          "colormap: palette stop array, N rows of (lambda, R, G, B, A), intensities 0..1.\n"
          "lam: float64, N values. rgba255: int64, N x 4 (R, G, B, A), each intensity x 255\n"
          "truncated toward zero.");
    m.def("_interp_channel_bytes", &interp_channel_bytes, nb::arg("lambdas"), nb::arg("stop_lams"),
          nb::arg("stop_chan"),
          nb::sig("def _interp_channel_bytes(lambdas: numpy.typing.ArrayLike, "
                  "stop_lams: numpy.typing.ArrayLike, stop_chan: numpy.typing.ArrayLike) -> "
                  "numpy.typing.NDArray[numpy.float64]"),
          "Return one channel interpolated between the stops: a float64 array of lambdas' shape.\n"
          "\n"
          "The values are in byte units (0..255) and not yet truncated.\n"
          "lambdas: lambda values. stop_lams: the stops' lambda, increasing.\n"
          "stop_chan: the stops' bytes of this channel.");
    m.def("apply_colormap", &apply_colormap, nb::arg("t"), nb::arg("colormap") = nb::none(),
          nb::sig("def apply_colormap(t: numpy.typing.ArrayLike, "
                  "colormap: numpy.typing.ArrayLike | None = None) -> numpy.typing.NDArray[numpy.uint8]"),
          "Return the colour array of lambda values t: uint8 R, G, B, A, shape t.shape + (4,).\n"
          "\n"
          "t: lambda values of any shape (a scalar gives 4 bytes); values outside 0..1 take the\n"
          "end colours, so the default palette paints the no-data lambda 1.5 red.\n"
          "colormap: palette stop array, N rows of (lambda, R, G, B, A) with intensities 0..1;\n"
          "None paints with KORVAL_BENZERI as the module holds it at the time of the call.\n"
          "The stops are truncated to bytes first, interpolation runs on the bytes and its\n"
          "result is truncated again: 8-bit arithmetic that never rounds.");
    m.def("compute_lambda", &compute_lambda, nb::arg("field"), nb::arg("ground"), nb::arg("data_min"),
          nb::arg("data_max"), nb::arg("esik"), nb::arg("mask") = nb::none(),
          nb::arg("sifiri_topraga_cek") = true, nb::arg("esik_ref") = 0.0,
          nb::sig("def compute_lambda(field: numpy.typing.ArrayLike, ground: float, data_min: float, "
                  "data_max: float, esik: float, mask: numpy.typing.ArrayLike | None = None, "
                  "sifiri_topraga_cek: bool = True, esik_ref: float = 0.0) -> "
                  "numpy.typing.NDArray[numpy.float64]"),
          "Return the bipolar lambda of every cell: a float64 array of field's shape.\n"
          "\n"
          "ground -> 0.5; above ground up to data_max -> 1; below ground down to data_min -> 0,\n"
          "each side scaled by its own distance from the ground; a flat field (data_max -\n"
          "data_min <= 0.1) stays at 0.5.\n"
          "field: cell values, any shape, in the measurement's units.\n"
          "ground, data_min, data_max: ground level, smallest and largest written value (from\n"
          "running_baseline), in the same units.\n"
          "esik (threshold): half-width of the dead band, same units; cells strictly within\n"
          "esik of esik_ref get 0.5.\n"
          "mask: None, or the validity mask (true = valid); invalid cells get 0.5.\n"
          "sifiri_topraga_cek (pull zero to ground): when true, cells exactly 0 (never written)\n"
          "get the no-data lambda 1.5, which boya paints as darkened ground.\n"
          "esik_ref (threshold reference): the value the dead band is measured from, 0.0 for\n"
          "magnetic fields, the ground level for thermal fields.\n"
          "Non-finite cells get 0.5.");
    m.def("boya", &boya, nb::arg("field"), nb::arg("ground"), nb::arg("data_min"), nb::arg("data_max"),
          nb::arg("esik"), nb::arg("sifiri_topraga_cek") = true, nb::arg("mask") = nb::none(),
          nb::arg("esik_ref") = 0.0,
          nb::sig("def boya(field: numpy.typing.ArrayLike, ground: float, data_min: float, "
                  "data_max: float, esik: float, sifiri_topraga_cek: bool = True, "
                  "mask: numpy.typing.ArrayLike | None = None, esik_ref: float = 0.0) -> "
                  "numpy.typing.NDArray[numpy.uint8]"),
          "Return the painted field (boya means paint): a uint8 R, G, B, A array, field.shape + (4,).\n"
          "\n"
          "compute_lambda, then apply_colormap with the default palette KORVAL_BENZERI as the\n"
          "module holds it now; no-data cells take the ground colour darkened to 40 %.\n"
          "The parameters mean what they mean for compute_lambda: esik = threshold,\n"
          "sifiri_topraga_cek = pull zero to ground, esik_ref = threshold reference. Note the\n"
          "order: here sifiri_topraga_cek comes sixth and mask seventh.");
    m.def("running_baseline", &running_baseline, nb::arg("values"),
          nb::sig("def running_baseline(values: numpy.typing.ArrayLike) -> tuple[float, float, float]"),
          "Return the tuple (ground, data_min, data_max) of the written cells of values.\n"
          "\n"
          "Written cells are finite and not 0; ground is their mean (not the median), data_min\n"
          "and data_max their smallest and largest value; (0.0, 0.0, 0.0) when none is written.");
    m.def("rbf_fill", &rbf_fill, nb::arg("grid_coords"), nb::arg("sample_coords"), nb::arg("sample_values"),
          nb::arg("power"), nb::arg("smoothing"),
          nb::sig("def rbf_fill(grid_coords: numpy.typing.ArrayLike, sample_coords: numpy.typing.ArrayLike, "
                  "sample_values: numpy.typing.ArrayLike, power: float, smoothing: float) -> "
                  "numpy.typing.NDArray[numpy.float64]"),
          "Return the Shepard fill at M query points: a float64 array of M values.\n"
          "\n"
          "grid_coords: M x D query points; sample_coords: N x D sample points (one row of D\n"
          "numbers is one point), in any one length unit. sample_values: N values.\n"
          "Weights are 1 / d^power with d = sqrt(distance^2 + smoothing^2), smoothing in the\n"
          "unit of the coordinates; a sample at d < 1e-8 is an exact hit and gives its own value.");
    vis::bind_signal_checks(m);
}
