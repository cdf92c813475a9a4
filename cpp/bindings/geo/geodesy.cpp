// destination_point, distance_between, initial_bearing, true_bearing.
#include "bindings/geo/binder.h"
#include "bindings/geo/docs.h"
#include "bindings/geo/registry.h"

namespace vis::geo {

namespace {

Signature s_destination{"destination_point", 4, 4, {"lat_deg", "lon_deg", "bearing_deg", "distance_m"}, {}};
Signature s_distance{"distance_between", 4, 4, {"lat1", "lon1", "lat2", "lon2"}, {}};
Signature s_bearing{"initial_bearing", 4, 4, {"lat1", "lon1", "lat2", "lon2"}, {}};
Signature s_true{"true_bearing", 2, 1, {"magnetic_bearing_deg", "declination_deg"}, {}};

PyObject* py_destination_point(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    GEO_BIND(s_destination);
    // A zero distance returns the inputs themselves, unconverted.
    const int zero = compare_zero(a[3], Py_EQ);
    if (zero < 0) return nullptr;
    if (zero) return PyTuple_Pack(2, a[0], a[1]);
    double dist, earth_r, bearing, lat, lon;
    if (!number_as_double(a[3], &dist) || !global_double(m, N_EARTH_R_M, &earth_r) ||
        !number_as_double(a[2], &bearing) || !number_as_double(a[0], &lat) || !number_as_double(a[1], &lon))
        return nullptr;
    Fault f;
    double lat2, lon2;
    destination_point(lat, lon, bearing, dist, earth_r, &lat2, &lon2, f);
    if (f) return raise_fault(f);
    return float_pair(lat2, lon2);
}

inline bool four_doubles(PyObject* const* a, double* v) {
    return number_as_double(a[0], &v[0]) && number_as_double(a[1], &v[1]) && number_as_double(a[2], &v[2]) &&
           number_as_double(a[3], &v[3]);
}

PyObject* py_distance_between(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    GEO_BIND(s_distance);
    double v[4], earth_r;
    if (!four_doubles(a, v) || !global_double(m, N_EARTH_R_M, &earth_r)) return nullptr;
    Fault f;
    const double r = distance_between(v[0], v[1], v[2], v[3], earth_r, f);
    if (f) return raise_fault(f);
    return PyFloat_FromDouble(r);
}

PyObject* py_initial_bearing(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    GEO_BIND(s_bearing);
    double v[4];
    if (!four_doubles(a, v)) return nullptr;
    Fault f;
    const double r = initial_bearing(v[0], v[1], v[2], v[3], f);
    if (f) return raise_fault(f);
    return PyFloat_FromDouble(r);
}

PyObject* py_true_bearing(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    GEO_BIND(s_true);
    double mb, decl = 0.0;
    if (!number_as_double(a[0], &mb) || (a[1] && !number_as_double(a[1], &decl))) return nullptr;
    return PyFloat_FromDouble(true_bearing(mb, decl));
}

PyMethodDef g_defs[] = {
    GEO_DEF(destination_point, py_destination_point,
            ", lat_deg, lon_deg, bearing_deg, distance_m",
            "(lat_deg: float, lon_deg: float, bearing_deg: float, distance_m: float) -> tuple[float, float]",
            "Return the point (lat, lon), in degrees, reached by going distance_m metres from\n"
            "(lat_deg, lon_deg) along the great circle that leaves it at bearing_deg.\n\n"
            "Latitudes are degrees north, longitudes degrees east; bearing_deg is a true\n"
            "bearing, degrees clockwise from north (pass a magnetic one through\n"
            "true_bearing first). A negative distance goes the opposite way. The result's\n"
            "longitude lies in [-180, 180), except for a zero distance, which returns the\n"
            "inputs unchanged. The Earth is a sphere of radius EARTH_R_M metres."),
    GEO_DEF(distance_between, py_distance_between,
            ", lat1, lon1, lat2, lon2",
            "(lat1: float, lon1: float, lat2: float, lon2: float) -> float",
            "Return the great-circle ground distance in metres between point 1 and point 2.\n\n"
            "Latitudes are degrees north, longitudes degrees east. Haversine formula on a\n"
            "sphere of radius EARTH_R_M metres."),
    GEO_DEF(initial_bearing, py_initial_bearing,
            ", lat1, lon1, lat2, lon2",
            "(lat1: float, lon1: float, lat2: float, lon2: float) -> float",
            "Return the true bearing in degrees clockwise from north, in [0, 360), of the\n"
            "great circle from point 1 towards point 2, taken at point 1.\n\n"
            "Latitudes are degrees north, longitudes degrees east."),
    GEO_DEF(true_bearing, py_true_bearing,
            ", magnetic_bearing_deg, declination_deg=0.0",
            "(magnetic_bearing_deg: float, declination_deg: float = 0.0) -> float",
            "Return the true bearing in degrees clockwise from north, in [0, 360], of a\n"
            "magnetic bearing (degrees clockwise from magnetic north).\n\n"
            "declination_deg is the magnetic declination in degrees, east positive; the\n"
            "result is (magnetic_bearing_deg + declination_deg) modulo 360 with the\n"
            "remainder's sign taken from 360 (a tiny negative sum gives 360.0)."),
};

}  // namespace

void bind_geodesy(nb::module_& m) {
    for (Signature* s : {&s_destination, &s_distance, &s_bearing, &s_true}) intern_params(*s);
    add_functions(m, g_defs, std::size(g_defs));
}

}  // namespace vis::geo
