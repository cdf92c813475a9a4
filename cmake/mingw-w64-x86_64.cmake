# Cross build for 64-bit Windows with Debian's mingw-w64 (posix thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(VIS_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VIS_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VIS_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VIS_MINGW_PREFIX}-windres)

# VIS_WINDOWS_PYTHON: the Windows CPython built against (headers, DLLs, import library).
set(CMAKE_FIND_ROOT_PATH /usr/${VIS_MINGW_PREFIX} ${VIS_WINDOWS_PYTHON})
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VIS_WINDOWS_PYTHON)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# GCC keeps the stack 16-byte aligned on Windows but may spill 32-byte AVX
# values with aligned moves; the assembler turns those into unaligned ones.
set(CMAKE_CXX_FLAGS_INIT "-Wa,-muse-unaligned-vector-move")
# The modules carry libstdc++, libgcc and winpthreads inside them, so a
# Windows Python loads nothing beyond its own DLLs and the system's.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
