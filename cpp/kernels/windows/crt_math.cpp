// The Universal C Runtime's elementary functions, looked up in ucrtbase.dll:
// the DLL CPython and NumPy themselves call, part of every Windows since 10
// (and loaded already when an interpreter imports a module).
#include "kernels/crt_math.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace vis::crt {

namespace {

template <class F>
void find(HMODULE dll, const char* name, F& slot) {
    slot = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

Functions resolve() {
    Functions f;
    HMODULE dll = LoadLibraryExW(L"ucrtbase.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!dll) return f;
    find(dll, "sin", f.sin);
    find(dll, "cos", f.cos);
    find(dll, "tan", f.tan);
    find(dll, "asin", f.asin);
    find(dll, "atan", f.atan);
    find(dll, "sinh", f.sinh);
    find(dll, "log", f.log);
    find(dll, "atan2", f.atan2);
    find(dll, "pow", f.pow);
    return f;  // the DLL stays loaded for the process
}

}  // namespace

const Functions& functions() {
    static const Functions f = resolve();
    return f;
}

bool available() {
    const Functions& f = functions();
    return f.sin && f.cos && f.tan && f.asin && f.atan && f.sinh && f.log && f.atan2 && f.pow;
}

}  // namespace vis::crt
