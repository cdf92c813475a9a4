// project_targets: every sonar target of a scan onto the map in one call.
#include "bindings/common.h"
#include "bindings/geo/binder.h"
#include "bindings/geo/docs.h"
#include "bindings/geo/registry.h"
#include "bindings/geo/uncertainty.h"
#include "bindings/signals.h"
#include "kernels/target_projection.h"

#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

namespace vis::geo {

namespace {

Signature s_targets{"project_targets",
                    8,
                    5,
                    {"lat", "lon", "bearings_deg", "ranges_m", "zoom", "declination_deg", "gps_accuracy_m",
                     "range_measured"},
                    {}};

// range_measured: one truth value for all targets, or one flag per target.
struct MeasuredFlags {
    bool all = false;
    std::vector<uint8_t> each;  // empty: `all` applies
};

// A scalar (anything NumPy sees as 0-dimensional) counts by its truth value;
// an array-like is read flattened as NumPy booleans and needs one per target.
MeasuredFlags measured_flags(PyObject* o, size_t n) {
    MeasuredFlags flags;
    if (!o || o == Py_False || o == Py_True) {
        flags.all = o == Py_True;
        return flags;
    }
    if (nb::cast<int>(numpy().attr("ndim")(nb::handle(o))) == 0) {
        const int t = truth(o);
        if (t < 0) throw nb::python_error();
        flags.all = t != 0;
        return flags;
    }
    nb::object arr = numpy().attr("array")(nb::handle(o), nb::arg("dtype") = "bool").attr("ravel")();
    auto view = nb::cast<nb::ndarray<const bool, nb::c_contig, nb::device::cpu>>(arr);
    if (view.size() != n) {
        PyErr_Format(PyExc_ValueError, "range_measured has %zu flags for %zu targets", view.size(), n);
        throw nb::python_error();
    }
    flags.each.resize(n);
    for (size_t i = 0; i < n; ++i) flags.each[i] = view.data()[i] ? 1 : 0;
    return flags;
}

inline void check(bool ok) {
    if (!ok) throw nb::python_error();
}

// Puts "target i: " before the message of the exception being raised.
void name_target(size_t i) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* msg = exc ? PyObject_Str(exc) : nullptr;
    if (msg) PyErr_Format(reinterpret_cast<PyObject*>(Py_TYPE(exc)), "target %zu: %U", i, msg);
    else if (exc) PyErr_SetRaisedException(Py_NewRef(exc));
    Py_XDECREF(msg);
    Py_XDECREF(exc);
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyObject* msg = value ? PyObject_Str(value) : nullptr;
    if (msg) {
        PyErr_Format(type, "target %zu: %U", i, msg);
        Py_DECREF(msg);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
    } else {
        PyErr_Restore(type, value, tb);
    }
#endif
}

struct Column {
    nb::object array;
    double* data;
};

Column new_column(size_t n) {
    nb::object arr = numpy().attr("empty")(n, nb::arg("dtype") = "float64");
    return {arr, nb::cast<nb::ndarray<double, nb::c_contig, nb::device::cpu>>(arr).data()};
}

PyObject* project(PyObject* m, PyObject* const* a) {
    TargetProjection p;
    check(number_as_double(a[0], &p.origin_lat) && number_as_double(a[1], &p.origin_lon));
    const F64View bearings = private_f64(a[2]);
    const F64View ranges = private_f64(a[3]);
    const size_t n = bearings.size();
    if (ranges.size() != n) {
        PyErr_Format(PyExc_ValueError, "bearings_deg has %zu values but ranges_m has %zu", n, ranges.size());
        throw nb::python_error();
    }
    Pow2 zoom;
    check(zoom_pow2(a[4], &zoom) && world_size(m, zoom, &p.world_edge, &p.world_edge_too_large));
    p.zoom_pow2 = pow2_value(zoom, &p.zoom_pow2_too_large);
    check(!a[5] || number_as_double(a[5], &p.declination_deg));
    check(gps_term(a[6] ? a[6] : gps_default(), &p.gps_err));
    const MeasuredFlags flags = measured_flags(a[7], n);
    bool any_measured = flags.all, any_geometric = !flags.all;
    if (!flags.each.empty()) {
        any_measured = std::memchr(flags.each.data(), 1, n) != nullptr;
        any_geometric = std::memchr(flags.each.data(), 0, n) != nullptr;
    }
    check(global_double(m, N_EARTH_R_M, &p.earth_r) && global_double(m, N_MPP_EQUATOR, &p.mpp_equator) &&
          read_coefficients(m, any_measured, any_geometric, &p.coeffs));

    budget_bytes(checked_mul(n, 5), sizeof(double));
    Column lat = new_column(n), lon = new_column(n), x = new_column(n), y = new_column(n), radius = new_column(n);
    const TargetColumns out{lat.data, lon.data, x.data, y.data, radius.data};
    SignalCheck signals;
    Fault f;
    size_t done;
    {
        nb::gil_scoped_release unlocked;
        done = project_targets(p, bearings.data(), ranges.data(), flags.each.empty() ? nullptr : flags.each.data(),
                               flags.all, n, out, f, signals.interrupt());
    }
    signals.raise_if_stopped();
    if (f) {
        raise_fault(f);
        name_target(done);
        return nullptr;
    }
    return nb::make_tuple(lat.array, lon.array, x.array, y.array, radius.array).release().ptr();
}

PyObject* py_project_targets(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    GEO_BIND(s_targets);
    try {
        return project(m, a);
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

// The docstring names the default accuracy, which is fixed when the module loads.
std::string g_doc;

PyMethodDef g_def = GEO_DEF(project_targets, py_project_targets, "", "", "");

}  // namespace

void bind_targets(nb::module_& m) {
    intern_params(s_targets);
    const std::string dflt = nb::repr(nb::handle(gps_default())).c_str();
    g_doc = "project_targets($module, /, lat, lon, bearings_deg, ranges_m, zoom, declination_deg=0.0, "
            "gps_accuracy_m=" + dflt + ", range_measured=False)\n--\n\n"
            "project_targets(lat: float, lon: float, bearings_deg: ArrayLike, ranges_m: ArrayLike, zoom: int, "
            "declination_deg: float = 0.0, gps_accuracy_m: float = " + dflt +
            ", range_measured: bool | ArrayLike = False) -> tuple[NDArray[np.float64], NDArray[np.float64], "
            "NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]\n\n"
            "Return (lat, lon, x_px, y_px, radius_px), five float64 arrays with one element\n"
            "per target: where each target lies in degrees and in Web Mercator world pixels\n"
            "at zoom, and the radius of its uncertainty circle in pixels.\n\n"
            "(lat, lon) is the scan origin, degrees north and east. bearings_deg (magnetic\n"
            "bearings, degrees clockwise from magnetic north) and ranges_m (horizontal ranges,\n"
            "metres) are array-likes of one length, read flattened as float64. declination_deg\n"
            "(degrees, east positive) turns the bearings into true ones; gps_accuracy_m is the\n"
            "origin fix's accuracy in metres; range_measured is one truth value or one per\n"
            "target. Element i is exactly what the scalar chain gives for target i:\n"
            "true_bearing, destination_point, latlon_to_world_px, and\n"
            "target_uncertainty_m / meters_per_pixel at the target's latitude. Where that\n"
            "chain would raise, the call raises the same error, naming the first such target.";
    g_def.ml_doc = g_doc.c_str();
    Py_DECREF(add_function(m, g_def));
}

}  // namespace vis::geo
