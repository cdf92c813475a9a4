# Cross build for aarch64 Linux with Debian's cross compiler. Python's headers
# come from the arm64 root filesystem (Python_INCLUDE_DIR is set by the caller);
# the host's own Python only answers nanobind's questions at configure time.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
