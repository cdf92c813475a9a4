// visualization.tintora: anomaly colouring (palette, lambda, full paint, Shepard fill).
#include "bindings/common.h"

namespace nb = nanobind;

NB_MODULE(tintora, m) {
    m.attr("np") = vis::numpy();
}
