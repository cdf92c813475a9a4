// latlon_to_world_px, world_px_to_latlon, meters_per_pixel, zoom_for_range, and
// the zoom arithmetic they share with project_targets.
#include "bindings/geo/binder.h"
#include "bindings/geo/docs.h"
#include "bindings/geo/registry.h"
#include "kernels/crt_math.h"
#include "kernels/mercator.h"

#include <cerrno>
#include <climits>
#include <cmath>

namespace vis::geo {

bool zoom_pow2(PyObject* zoom, Pow2* p) {
    if (PyLong_Check(zoom)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(zoom, &overflow);
        if (v == -1 && PyErr_Occurred()) return false;
        if (overflow > 0) {
            p->exact = true;
            p->e = LLONG_MAX;
        } else if (overflow < 0) {
            const double d = PyLong_AsDouble(zoom);
            if (d == -1.0 && PyErr_Occurred()) return false;
            p->value = crt::pow(2.0, d);
        } else if (v >= 0) {
            p->exact = true;
            p->e = v;
        } else {
            p->value = crt::pow(2.0, static_cast<double>(v));
        }
        return true;
    }
    if (PyFloat_Check(zoom)) {
        double z;
        if (!number_as_double(zoom, &z)) return false;
        if (std::isnan(z)) {
            p->value = z;
        } else if (std::isinf(z)) {
            p->value = z > 0.0 ? HUGE_VAL : 0.0;
        } else {
            p->value = crt::pow(2.0, z);
            if (std::isinf(p->value)) {
                errno = ERANGE;
                PyErr_SetFromErrno(PyExc_OverflowError);
                return false;
            }
        }
        return true;
    }
    // Anything else: whatever `2 ** zoom` makes of it, as a double.
    PyObject* r = PyNumber_Power(g_int_two, zoom, Py_None);
    if (!r) return false;
    const bool ok = number_as_double(r, &p->value);
    Py_DECREF(r);
    return ok;
}

namespace {

// The product t * factor through the interpreter, as a double.
bool python_product(PyObject* t, PyObject* factor, double* out) {
    if (!factor) return false;
    PyObject* prod = PyNumber_Multiply(t, factor);
    Py_DECREF(factor);
    if (!prod) return false;
    const bool ok = number_as_double(prod, out);
    Py_DECREF(prod);
    return ok;
}

// 1 << e as a Python int.
PyObject* int_power_of_two(long long e) {
    PyObject* shift = PyLong_FromLongLong(e);
    PyObject* one = PyLong_FromLong(1);
    PyObject* pw = (shift && one) ? PyNumber_Lshift(one, shift) : nullptr;
    Py_XDECREF(shift);
    Py_XDECREF(one);
    return pw;
}

}  // namespace

bool world_size(PyObject* m, const Pow2& p, double* n, bool* too_large) {
    *too_large = false;
    PyObject* t = global_get(m, N_TILE_SIZE);
    if (!t) return false;
    if (p.exact) {
        if (PyLong_Check(t)) {
            const double td = PyLong_AsDouble(t);
            if (td == -1.0 && PyErr_Occurred()) return false;
            if (td == 0.0) {
                *n = 0.0;
            } else if (p.e > 2 * kMaxExactZoom + 64) {
                *too_large = true;
            } else {
                *n = std::ldexp(td, static_cast<int>(p.e));
                if (std::isinf(*n)) *too_large = true;
            }
            return true;
        }
        if (PyFloat_Check(t)) {
            if (p.e > kMaxExactZoom) {
                *too_large = true;
                return true;
            }
            double td;
            if (!number_as_double(t, &td)) return false;
            *n = td * std::ldexp(1.0, static_cast<int>(p.e));
            return true;
        }
        if (p.e > 4 * kMaxExactZoom) {
            *too_large = true;
            return true;
        }
        return python_product(t, int_power_of_two(p.e), n);
    }
    if (PyLong_Check(t) || PyFloat_Check(t)) {
        double td;
        if (!number_as_double(t, &td)) return false;
        *n = td * p.value;
        return true;
    }
    return python_product(t, PyFloat_FromDouble(p.value), n);
}

double pow2_value(const Pow2& p, bool* too_large) {
    *too_large = p.exact && p.e > kMaxExactZoom;
    if (!p.exact) return p.value;
    return *too_large ? 0.0 : std::ldexp(1.0, static_cast<int>(p.e));
}

namespace {

Signature s_to_px{"latlon_to_world_px", 3, 3, {"lat_deg", "lon_deg", "zoom"}, {}};
Signature s_from_px{"world_px_to_latlon", 3, 3, {"x", "y", "zoom"}, {}};
Signature s_mpp{"meters_per_pixel", 2, 2, {"lat_deg", "zoom"}, {}};
Signature s_zoom{"zoom_for_range", 4, 3, {"lat_deg", "range_m", "px", "max_zoom"}, {}};

using Projection = void (*)(double, double, double, double*, double*, Fault&);

// Both projections: (a[0], a[1], zoom) -> pair. The plain evaluation computes
// n = TILE_SIZE * 2**zoom, then converts the coordinate the first formula
// divides (a[First]), then meets n as a float; the other coordinate follows.
template <int First, Projection Fn>
PyObject* project(PyObject* m, PyObject* const* a) {
    constexpr int second = 1 - First;
    Pow2 p;
    double n = 0.0, v[2];
    bool too_large;
    if (!zoom_pow2(a[2], &p) || !world_size(m, p, &n, &too_large) || !number_as_double(a[First], &v[First]))
        return nullptr;
    if (too_large) return raise_int_too_large();
    if (!number_as_double(a[second], &v[second])) return nullptr;
    Fault f;
    double r0, r1;
    Fn(v[0], v[1], n, &r0, &r1, f);
    if (f) return raise_fault(f);
    return float_pair(r0, r1);
}

PyObject* py_latlon_to_world_px(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    GEO_BIND(s_to_px);
    return project<1, latlon_to_world_px>(m, a);  // x from the longitude first
}

PyObject* py_world_px_to_latlon(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    GEO_BIND(s_from_px);
    return project<0, world_px_to_latlon>(m, a);  // the longitude from x first
}

PyObject* py_meters_per_pixel(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    GEO_BIND(s_mpp);
    double lat, mpp;
    if (!number_as_double(a[0], &lat) || !global_double(m, N_MPP_EQUATOR, &mpp)) return nullptr;
    Fault f;
    const double c = ground_scale(lat, mpp, f);
    if (f) return raise_fault(f);
    Pow2 p;
    if (!zoom_pow2(a[1], &p)) return nullptr;
    bool too_large;
    const double pow2 = pow2_value(p, &too_large);
    if (too_large) return raise_int_too_large();
    const double r = py_div(c, pow2, f);
    if (f) return raise_fault(f);
    return PyFloat_FromDouble(r);
}

// int(max_zoom), saturated: any value beyond the exact zooms fails alike.
bool max_zoom_value(PyObject* o, long long* out) {
    PyObject* z = PyLong_CheckExact(o) ? Py_NewRef(o) : PyNumber_Long(o);
    if (!z) return false;
    int overflow = 0;
    *out = PyLong_AsLongLongAndOverflow(z, &overflow);
    Py_DECREF(z);
    if (*out == -1 && PyErr_Occurred()) return false;
    if (overflow) *out = overflow > 0 ? LLONG_MAX : -1;
    return true;
}

PyObject* py_zoom_for_range(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    GEO_BIND(s_zoom);
    constexpr long kFallbackZoom = 17;
    int le = compare_zero(a[1], Py_LE);
    if (le < 0) return nullptr;
    if (le) return PyLong_FromLong(kFallbackZoom);
    le = compare_zero(a[2], Py_LE);
    if (le < 0) return nullptr;
    if (le) return PyLong_FromLong(kFallbackZoom);
    double range, px;
    if (!number_as_double(a[1], &range) || !number_as_double(a[2], &px)) return nullptr;
    Fault f;
    const double want = py_div(2.0 * range, px, f);
    if (f) return raise_fault(f);
    long long max_zoom = 23;
    if (a[3] && !max_zoom_value(a[3], &max_zoom)) return nullptr;
    if (max_zoom < 0) return PyLong_FromLong(0);
    double lat, mpp;
    if (!number_as_double(a[0], &lat) || !global_double(m, N_MPP_EQUATOR, &mpp)) return nullptr;
    const int z = zoom_for_range(lat, want, mpp, max_zoom, f);
    if (f) return raise_fault(f);
    return PyLong_FromLong(z);
}

PyMethodDef g_defs[] = {
    GEO_DEF(latlon_to_world_px, py_latlon_to_world_px,
            ", lat_deg, lon_deg, zoom",
            "(lat_deg: float, lon_deg: float, zoom: int) -> tuple[float, float]",
            "Return the Web Mercator world pixel (x, y) of a point at a zoom level.\n\n"
            "lat_deg is degrees north (clamped to +-85.05112878), lon_deg degrees east (not\n"
            "wrapped). x and y are pixels in the square of side TILE_SIZE * 2**zoom that\n"
            "covers the world: x grows eastwards from longitude -180, y southwards from the\n"
            "northern edge."),
    GEO_DEF(world_px_to_latlon, py_world_px_to_latlon,
            ", x, y, zoom",
            "(x: float, y: float, zoom: int) -> tuple[float, float]",
            "Return the point (lat, lon), in degrees, of the Web Mercator world pixel (x, y)\n"
            "at a zoom level.\n\n"
            "x and y are pixels in the square of side TILE_SIZE * 2**zoom; note the order:\n"
            "pixel (x, y) in, (latitude north, longitude east) out. Nothing is clamped."),
    GEO_DEF(meters_per_pixel, py_meters_per_pixel,
            ", lat_deg, zoom",
            "(lat_deg: float, zoom: int) -> float",
            "Return the ground size in metres of one pixel at a latitude and zoom level.\n\n"
            "lat_deg is degrees north: _MPP_EQUATOR * cos(lat) / 2**zoom metres per pixel."),
    GEO_DEF(zoom_for_range, py_zoom_for_range,
            ", lat_deg, range_m, px, max_zoom=23",
            "(lat_deg: float, range_m: float, px: int, max_zoom: int = 23) -> int",
            "Return the highest zoom level, from max_zoom down to 0, at which a disc of\n"
            "radius range_m metres at latitude lat_deg (degrees north) fits into px pixels.\n\n"
            "17 when range_m or px is not positive; 0 when no zoom level fits."),
};

}  // namespace

void bind_mercator(nb::module_& m) {
    for (Signature* s : {&s_to_px, &s_from_px, &s_mpp, &s_zoom}) intern_params(*s);
    add_functions(m, g_defs, std::size(g_defs));
}

}  // namespace vis::geo
