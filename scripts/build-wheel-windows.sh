#!/usr/bin/env bash
# Cross-builds the Windows wheel dist/visualization-<version>-cp312-abi3-win_amd64.whl
# with mingw-w64 (cmake/mingw-w64-x86_64.cmake) against the stable ABI of
# CPython 3.12 (one wheel for 3.12 and every later version), and checks that
# its modules import only python3.dll and Windows' own DLLs. Prints its path.
# CMake's FindPython reads the version from a host CPython >= 3.12 (the
# newest of 3.13, 3.12 found) and everything else from the Windows CPython.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/ensure-windows-tools.sh
winpy=$(bash scripts/windows-python.sh)

host=""
for v in 3.13 3.12; do host=$(bash scripts/find-python.sh "$v") && break; done
[ -n "$host" ] || { echo "The Windows build needs a host CPython 3.12 or 3.13." >&2; exit 1; }
env=$PWD/build/wheel-env-windows
[ -x "$env/bin/python" ] || "$host" -m venv "$env"
"$env/bin/python" -m pip install -q cmake ninja $("$env/bin/python" -c \
    'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"])')

build=build/windows
stage=build/windows-stage
"$env/bin/cmake" -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_MAKE_PROGRAM="$env/bin/ninja" \
    -DVIS_WINDOWS_PYTHON="$winpy" -DPython_EXECUTABLE="$env/bin/python" \
    -DPython_INCLUDE_DIR="$winpy/include" -DPython_LIBRARY="$winpy/libs/libpython313.a" \
    -DPython_SABI_LIBRARY="$winpy/libs/libpython3.a" \
    -DSKBUILD_SABI_COMPONENT=Development.SABIModule -DSKBUILD_SOSABI= \
    -Dnanobind_ROOT="$("$env/bin/python" -m nanobind --cmake_dir)" >&2
"$env/bin/cmake" --build "$build" >&2
rm -rf "$stage"
mkdir -p "$stage"
cp -r src/visualization "$stage/"
find "$stage" \( -name '*.so' -o -name '*.pyd' -o -name __pycache__ \) -prune -exec rm -rf {} +
"$env/bin/cmake" --install "$build" --prefix "$stage" >&2

rm -f dist/visualization-*-win_amd64.whl
wheel=$(python3 scripts/pack-wheel.py "$stage" dist --tag cp312-abi3-win_amd64 \
    --requires-python '>=3.12' --os 'Microsoft :: Windows')
bash scripts/check-pe-imports.sh "$wheel" >&2
echo "$wheel"
