// visualization.geo: spherical geodesy, Web Mercator, declination, uncertainty.
// Binds its names in load order.
#include "bindings/common.h"
#include "bindings/geo/registry.h"

NB_MODULE(geo, m) {
    using namespace vis::geo;
    m.doc() = "Geographic projection: spherical geodesy, Web Mercator tiles, magnetic declination, "
              "target uncertainty.\n\n"
              "Angles are degrees (latitude north, longitude east, bearings clockwise from north),\n"
              "lengths metres, map positions Web Mercator world pixels.";
    vis::require_crt_math();
    init_shared();
    m.attr("math") = nb::module_::import_("math");
    nb::module_ typing = nb::module_::import_("typing");
    m.attr("Optional") = typing.attr("Optional");
    m.attr("Tuple") = typing.attr("Tuple");

    m.attr("EARTH_R_M") = 6371008.8;
    m.attr("TILE_SIZE") = 256;
    m.attr("_MPP_EQUATOR") = 156543.033928041;
    m.attr("SENSOR_HEIGHT_ASSUMED_M") = 2.0;
    m.attr("SENSOR_HEIGHT_TOL_M") = 0.5;
    m.attr("BEARING_ERR_DEG") = 3.0;
    m.attr("GPS_BASE_CEP_M") = 2.5;
    m.attr("TOF_ACCURACY_M") = 0.03;
    m.attr("TOF_REL_ERR") = 0.01;

    bind_geodesy(m);
    bind_declination(m);
    bind_uncertainty(m);  // its default accuracy is GPS_BASE_CEP_M now, at load
    bind_mercator(m);
    bind_targets(m);
}
