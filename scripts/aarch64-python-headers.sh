#!/usr/bin/env bash
# CPython's headers of the arm64 root filesystem gathered in one folder for the
# cross compiler (Debian keeps pyconfig.h apart, per architecture). Prints the
# folder (build/aarch64/include/pythonX.Y).
#
# usage: scripts/aarch64-python-headers.sh ROOTFS
set -euo pipefail
cd "$(dirname "$0")/.."
root=$1
version=$(cat "$root/.vis-python")
include=build/aarch64/include/python$version
rm -rf "$include"
mkdir -p "$include"
cp -r "$root/usr/include/python$version/." "$include/"
cp "$root/usr/include/aarch64-linux-gnu/python$version/pyconfig.h" "$include/pyconfig.h"
echo "$PWD/$include"
