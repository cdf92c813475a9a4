#include "bindings/brelvo/registry.h"

namespace vis::brelvo {

void bind_cloud(nb::module_&) {}

}  // namespace vis::brelvo
