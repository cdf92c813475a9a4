#include "bindings/brelvo/registry.h"

namespace vis::brelvo {

void bind_poles(nb::module_&) {}

}  // namespace vis::brelvo
