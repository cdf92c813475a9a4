#include "bindings/brelvo/registry.h"

namespace vis::brelvo {

void bind_field(nb::module_&) {}

}  // namespace vis::brelvo
