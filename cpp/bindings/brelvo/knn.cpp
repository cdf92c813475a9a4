#include "bindings/brelvo/registry.h"

namespace vis::brelvo {

void bind_knn(nb::module_&) {}

}  // namespace vis::brelvo
