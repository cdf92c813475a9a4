// Older glibc symbol versions, so that the modules load on older systems.
// Included into every source of the x86-64 glibc build (see CMakeLists.txt).
//
// glibc 2.35 gave hypot a new symbol version that only drops a wrapper for the
// long-removed SVID error mode; the value of every call is the same. Binding to
// the original version keeps glibc 2.35 from being the floor: libstdc++'s
// CXXABI_1.3.13 (GCC 11's exception_ptr), which manylinux_2_34 is the first
// policy to admit, is what holds it at 2.34.
#pragma once

#if defined(__x86_64__)
__asm__(".symver hypot,hypot@GLIBC_2.2.5");
#endif
