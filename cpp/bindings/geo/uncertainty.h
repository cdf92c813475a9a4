// The uncertainty coefficients as the module constants hold them at the call.
#pragma once

#include "bindings/geo/registry.h"
#include "kernels/uncertainty.h"

namespace vis::geo {

// Reads BEARING_ERR_DEG, plus the TOF pair when `measured` ranges occur and
// the sensor height pair when `geometric` ones do.
bool read_coefficients(PyObject* module, bool measured, bool geometric, UncertaintyCoeffs* c);

}  // namespace vis::geo
