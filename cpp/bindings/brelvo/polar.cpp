#include "bindings/brelvo/registry.h"

namespace vis::brelvo {

void bind_polar(nb::module_&) {}

}  // namespace vis::brelvo
