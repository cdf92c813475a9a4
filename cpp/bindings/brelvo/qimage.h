// Building QImages through PyQt5 from pixel bytes made by the kernels.
#pragma once

#include "bindings/brelvo/registry.h"

#include <cstdint>

namespace vis::brelvo {

// QImage(bytes, w, h, bytes_per_line, QImage.<format>).copy(): a deep copy that
// owns its pixels, so nothing refers to the temporary buffer afterwards.
inline nb::object make_qimage(const uint8_t* pixels, int width, int height, int bytes_per_line,
                              const char* format_name) {
    nb::object qimage = ns().get("QImage");
    size_t nbytes = checked_mul(static_cast<size_t>(bytes_per_line), static_cast<size_t>(height));
    nb::bytes buffer(reinterpret_cast<const char*>(pixels), nbytes);
    nb::object fmt = qimage.attr(format_name);
    CollectorPause pause;
    nb::object view = qimage(buffer, width, height, bytes_per_line, fmt);
    return view.attr("copy")();
}

}  // namespace vis::brelvo
