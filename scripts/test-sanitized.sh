#!/usr/bin/env bash
# Builds the three modules with AddressSanitizer and UndefinedBehaviorSanitizer
# (any report aborts the run) and runs the whole test suite against that build.
# The interpreter itself is not instrumented, so the runtimes are preloaded.
set -euo pipefail
PY=$1
shift
root=$(pwd)
build=build/sanitize
pkg=$build/pkg

# CMake and Ninja from PyPI, so a machine with only Python and a compiler can build.
"$PY" -m pip install -q nanobind cmake ninja
export PATH="$(dirname "$PY"):$PATH"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVIS_SANITIZE=ON \
    -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build "$build"
rm -rf "$pkg" && mkdir -p "$pkg/visualization"
cp src/visualization/*.py "$pkg/visualization/"
cp src/visualization/py.typed src/visualization/*.pyi "$pkg/visualization/" 2>/dev/null || true
cp "$build"/*.so "$pkg/visualization/"

export LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
# Python's allocator is not instrumented and keeps objects alive at exit: leaks are not ours to judge.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1:check_initialization_order=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export PYTHONPATH="$root/$pkg"
export VIS_SANITIZED=1
exec "$PY" -m pytest -p no:cacheprovider --rootdir=. -c pyproject.toml -q "$@"
