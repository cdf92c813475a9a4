#include "bindings/brelvo/registry.h"

namespace vis::brelvo {

void bind_lut(nb::module_&) {}

}  // namespace vis::brelvo
