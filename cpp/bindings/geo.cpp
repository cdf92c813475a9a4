// visualization.geo: spherical geodesy, Web Mercator, declination, uncertainty.
#include "bindings/common.h"

namespace nb = nanobind;

NB_MODULE(geo, m) {
    m.attr("math") = nb::module_::import_("math");
}
