// Older symbol versions of the C and C++ runtimes, so that the modules load on
// systems with an older glibc (and the libstdc++ that comes with it). Included
// into every source of the x86-64 glibc build (see CMakeLists.txt).
//
// glibc 2.35 gave hypot a new symbol version that only drops a wrapper for the
// long-removed SVID error mode; the value of every call is the same.
//
// GCC 12's libstdc++ gave condition_variable::wait a new version so that a
// pthread_cancel can unwind through it; the original one does the same wait
// inside a noexcept frame. No thread here is ever cancelled.
//
// With both, nothing needs more than glibc 2.34: dlopen and dlsym (merged into
// libc in 2.34) and libstdc++'s CXXABI_1.3.13 (GCC 11's exception_ptr) hold it
// there.
#pragma once

#if defined(__x86_64__)
__asm__(".symver hypot,hypot@GLIBC_2.2.5");
__asm__(".symver _ZNSt18condition_variable4waitERSt11unique_lockISt5mutexE,"
        "_ZNSt18condition_variable4waitERSt11unique_lockISt5mutexE@GLIBCXX_3.4.11");
#endif
