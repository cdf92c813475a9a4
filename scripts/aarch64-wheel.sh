#!/usr/bin/env bash
# Cross-builds the package's version-specific wheel for aarch64 Linux on the
# host (an emulated compile takes ten times as long): Debian's cross g++,
# scikit-build-core run by the host's Python of the same minor version as the
# root filesystem's, and CPython's headers from that root filesystem. Prints
# the wheel's path (build/aarch64/dist/).
#
# usage: scripts/aarch64-wheel.sh ROOTFS PYTHON
#   PYTHON: a host interpreter with the build requirements installed
set -euo pipefail
cd "$(dirname "$0")/.."
root=$1
py=$2
version=$(cat "$root/.vis-python")
if [ "$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')" != "$version" ]; then
    echo "the cross build needs a host CPython $version, the root filesystem's; $py is another" >&2
    exit 1
fi

include=$(bash scripts/aarch64-python-headers.sh "$root")

rm -rf build/aarch64/dist
SETUPTOOLS_EXT_SUFFIX=".cpython-${version/./}-aarch64-linux-gnu.so" _PYTHON_HOST_PLATFORM=linux-aarch64 \
    "$py" -m pip wheel -q --no-deps --no-build-isolation -w build/aarch64/dist \
    --config-settings=build-dir='build/aarch64/{wheel_tag}' \
    --config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE="$PWD/scripts/aarch64-toolchain.cmake" \
    --config-settings=cmake.define.Python_INCLUDE_DIR="$include" . >&2
ls build/aarch64/dist/visualization-*linux_aarch64.whl
