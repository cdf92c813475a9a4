// The C runtime's elementary functions: the ones CPython's math module and
// NumPy call, so that results which must equal theirs bit for bit come from
// the same code.
//
// Elsewhere that is the libm the compiler links, and these are std::. On
// Windows, CPython and NumPy call the Universal C Runtime (ucrtbase.dll),
// while mingw-w64 links implementations of its own that differ from it in the
// last bits (pow in most cases); there these are looked up in ucrtbase.dll
// (windows/crt_math.cpp). Only the calls that must match go through here.
#pragma once

#include <cmath>

namespace vis::crt {

#if defined(_WIN32)

struct Functions {
    double (*sin)(double) = nullptr;
    double (*cos)(double) = nullptr;
    double (*tan)(double) = nullptr;
    double (*asin)(double) = nullptr;
    double (*atan)(double) = nullptr;
    double (*sinh)(double) = nullptr;
    double (*log)(double) = nullptr;
    double (*atan2)(double, double) = nullptr;
    double (*pow)(double, double) = nullptr;
};

// The runtime's functions, looked up on first use.
const Functions& functions();
// Whether ucrtbase.dll was found with every function; a module checks this
// when it is imported, so no kernel calls a missing one.
bool available();

inline double sin(double x) { return functions().sin(x); }
inline double cos(double x) { return functions().cos(x); }
inline double tan(double x) { return functions().tan(x); }
inline double asin(double x) { return functions().asin(x); }
inline double atan(double x) { return functions().atan(x); }
inline double sinh(double x) { return functions().sinh(x); }
inline double log(double x) { return functions().log(x); }
inline double atan2(double y, double x) { return functions().atan2(y, x); }
inline double pow(double x, double y) { return functions().pow(x, y); }

#else

inline bool available() { return true; }

inline double sin(double x) { return std::sin(x); }
inline double cos(double x) { return std::cos(x); }
inline double tan(double x) { return std::tan(x); }
inline double asin(double x) { return std::asin(x); }
inline double atan(double x) { return std::atan(x); }
inline double sinh(double x) { return std::sinh(x); }
inline double log(double x) { return std::log(x); }
inline double atan2(double y, double x) { return std::atan2(y, x); }
inline double pow(double x, double y) { return std::pow(x, y); }

#endif

}  // namespace vis::crt
