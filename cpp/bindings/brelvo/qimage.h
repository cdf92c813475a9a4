// Building QImages through PyQt5 from pixel bytes made by the kernels.
//
// PyQt5 holds the GIL for the whole of every QImage call it makes (construct,
// fill, copy, scaled), so pixels are never moved by a PyQt5 call: an image is
// allocated by Qt (which does not touch its pixels) and filled through its
// own bits() pointer with the GIL released, and Qt's scaling is called
// directly, also with the GIL released. Qt answers a failed allocation
// with a null image; every image made here is checked and a null one raises
// MemoryError naming the bytes asked for.
#pragma once

#include "bindings/brelvo/registry.h"

// Qt's scaling is called directly where Qt's symbols carry their Itanium C++
// ABI names and can be looked up: GCC and clang builds with dlfcn. Not on
// Windows, whose Qt is built by MSVC.
#if !defined(_WIN32) && defined(__GNUC__) && defined(__has_include)
#if __has_include(<dlfcn.h>)
#include <dlfcn.h>
#define VIS_QT_DIRECT_SCALING 1
#endif
#endif

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace vis::brelvo {

// Qt 5 refuses images above INT_MAX bytes; one image is also held to the
// call's memory budget.
inline size_t image_byte_limit() { return std::min<size_t>(INT_MAX, byte_budget()); }

[[noreturn]] inline void raise_image_memory(double width, double height, const char* why) {
    char text[256];
    std::snprintf(text, sizeof text, "a %.0f x %.0f image of 32-bit pixels needs %.0f bytes; %s (limit %zu bytes)",
                  width, height, 4.0 * width * height, why, image_byte_limit());
    PyErr_SetString(PyExc_MemoryError, text);
    throw nb::python_error();
}

// MemoryError unless a width x height image of 32-bit pixels fits the limit.
inline void check_image_size(double width, double height) {
    if (4.0 * width * height > static_cast<double>(image_byte_limit()))
        raise_image_memory(width, height, "that exceeds the limit");
}

[[noreturn]] inline void raise_null_image(double width, double height) {
    raise_image_memory(width, height, "Qt could not allocate them");
}

// The first byte of a 32-bit image's pixels. The image must be a genuine
// QImage of the size asked for with packed rows (4 * width bytes each, which Qt
// guarantees for 32-bit formats), read through Qt's own methods: a host that
// puts another class in the module's `QImage` cannot make us write pixels
// outside the buffer Qt allocated.
inline uint8_t* image_bits(nb::handle image, int width, int height) {
    const nb::handle qt = qimage_class();
    if (!PyObject_TypeCheck(image.ptr(), reinterpret_cast<PyTypeObject*>(qt.ptr())))
        throw nb::type_error("the module's QImage did not make a QImage");
    if (py_truth(qt.attr("isNull")(image))) raise_null_image(width, height);
    constexpr int64_t qt_max = INT_MAX;
    if (py_count(qt.attr("width")(image), "image width", qt_max) != static_cast<size_t>(width) ||
        py_count(qt.attr("height")(image), "image height", qt_max) != static_cast<size_t>(height))
        throw nb::value_error("the module's QImage made an image of another size");
    if (py_count(qt.attr("bytesPerLine")(image), "image bytesPerLine", qt_max) != 4 * static_cast<size_t>(width))
        throw nb::value_error("the image rows are not packed");
    nb::object address = nb::steal(PyNumber_Long(nb::object(qt.attr("bits")(image)).ptr()));
    if (!address.is_valid()) throw nb::python_error();
    return static_cast<uint8_t*>(PyLong_AsVoidPtr(address.ptr()));
}

// A new width x height QImage of a 32-bit format whose pixels the caller
// fills (Qt leaves them uninitialised).
struct NewImage {
    nb::object image;
    uint8_t* bits;
};

inline NewImage new_qimage(int width, int height, const char* format_name) {
    check_image_size(width, height);
    nb::object qimage = ns().get("QImage");
    nb::object fmt = qimage.attr(format_name);
    nb::object image;
    {
        CollectorPause pause;
        image = qimage(width, height, fmt);
    }
    return {image, image_bits(image, width, height)};
}

// A QImage of width x height 32-bit pixels holding a copy of `pixels` (rows
// `bytes_per_line` >= 4 * width bytes apart): it owns its pixels, nothing
// refers to the caller's buffer afterwards.
inline nb::object make_qimage(const uint8_t* pixels, int width, int height, int bytes_per_line,
                              const char* format_name) {
    const size_t row = 4 * static_cast<size_t>(width);
    if (width < 0 || height < 0 || bytes_per_line < 0 || static_cast<size_t>(bytes_per_line) < row)
        throw nb::value_error("the pixel rows are shorter than the image width");
    NewImage out = new_qimage(width, height, format_name);
    {
        nb::gil_scoped_release unlocked;
        for (size_t y = 0; y < static_cast<size_t>(height); ++y)
            std::memcpy(out.bits + y * row, pixels + y * static_cast<size_t>(bytes_per_line), row);
    }
    return out.image;
}

// Qt's own QImage::scaled, called directly with the GIL released: PyQt5
// holds the GIL while Qt scales, which at large sizes takes seconds. Its
// symbols are looked up in the Qt library PyQt5 loaded. Where that cannot be
// done, or a symbol is missing, PyQt5's scaled is called instead.

// Qt 5's QSize: the width, then the height.
struct QtSize {
    int width, height;
};

// A QImage made by Qt. It has Qt 5's size and alignment (QPaintDevice's
// vtable pointer, painter count and reserved pointer, then the data pointer:
// four pointer-sized slots) and, like QImage, a non-trivial destructor and
// no trivial copy: by the Itanium C++ ABI a function returning one writes it
// to a slot whose address the caller passes the platform's own way (the
// first argument register on x86-64, x8 on AArch64). Declared so, the
// compiler makes the call right on each platform. Only Qt constructs one.
class QtImage {
public:
    QtImage(const QtImage&) = delete;
    QtImage& operator=(const QtImage&) = delete;
    ~QtImage();

    alignas(void*) unsigned char layout[4 * sizeof(void*)];  // Qt's members, never read here
};

// Qt's members as the Itanium C++ ABI calls them: `this` is the first
// parameter, references are pointers, Qt's enumerations are ints.
struct QtScaling {
    // QImage QImage::scaled(const QSize&, Qt::AspectRatioMode, Qt::TransformationMode) const
    using Scaled = QtImage (*)(const QtImage* self, const QtSize* size, int aspect, int mode);
    // QImage& QImage::operator=(const QImage&)
    using Assign = void* (*)(void* self, const QtImage* other);
    // QImage::~QImage()
    using Destroy = void (*)(QtImage* self);
    Scaled scaled = nullptr;
    Assign assign = nullptr;
    Destroy destroy = nullptr;
};

inline const QtScaling& qt_scaling() {
    static const QtScaling found = [] {
        QtScaling q;
#if defined(VIS_QT_DIRECT_SCALING)
        void* lib = dlopen("libQt5Gui.so.5", RTLD_NOW | RTLD_NOLOAD);
        if (!lib) return q;
        q.scaled = reinterpret_cast<QtScaling::Scaled>(
            dlsym(lib, "_ZNK6QImage6scaledERK5QSizeN2Qt15AspectRatioModeENS3_18TransformationModeE"));
        q.assign = reinterpret_cast<QtScaling::Assign>(dlsym(lib, "_ZN6QImageaSERKS_"));
        q.destroy = reinterpret_cast<QtScaling::Destroy>(dlsym(lib, "_ZN6QImageD1Ev"));
        if (!q.scaled || !q.assign || !q.destroy) q = QtScaling{};
#endif
        return q;
    }();
    return found;
}

inline QtImage::~QtImage() { qt_scaling().destroy(this); }

// True when smooth_scaled calls Qt directly for plain QImages.
inline bool qt_scales_directly() { return qt_scaling().scaled != nullptr; }

// image.scaled(width, height, IgnoreAspectRatio, SmoothTransformation),
// MemoryError when Qt returns a null image. A plain PyQt5 QImage is scaled by
// Qt directly with the GIL released; a subclass (which may override scaled) is
// called through Python.
inline nb::object smooth_scaled(nb::handle image, int width, int height) {
    check_image_size(width, height);
    nb::object Qt = nb::module_::import_("PyQt5.QtCore").attr("Qt");
    nb::object qimage = nb::module_::import_("PyQt5.QtGui").attr("QImage");
    const QtScaling& qt = qt_scaling();
    nb::object out;
    if (qt.scaled && Py_TYPE(image.ptr()) == reinterpret_cast<PyTypeObject*>(qimage.ptr())) {
        nb::object unwrap = nb::module_::import_("PyQt5.sip").attr("unwrapinstance");
        {
            CollectorPause pause;
            out = qimage();
        }
        const void* src = PyLong_AsVoidPtr(nb::object(unwrap(image)).ptr());
        void* dst = PyLong_AsVoidPtr(nb::object(unwrap(out)).ptr());
        if (!src || !dst) throw nb::python_error();
        const int aspect = nb::cast<int>(Qt.attr("IgnoreAspectRatio"));
        const int mode = nb::cast<int>(Qt.attr("SmoothTransformation"));
        nb::gil_scoped_release unlocked;
        const QtSize size{width, height};
        const QtImage scaled = qt.scaled(static_cast<const QtImage*>(src), &size, aspect, mode);
        qt.assign(dst, &scaled);  // shares the pixels; Qt's destructor releases ours
    } else {
        nb::object ignore = Qt.attr("IgnoreAspectRatio"), smooth = Qt.attr("SmoothTransformation");
        CollectorPause pause;
        out = image.attr("scaled")(width, height, ignore, smooth);
    }
    if (py_truth(out.attr("isNull")())) raise_null_image(width, height);
    return out;
}

}  // namespace vis::brelvo
