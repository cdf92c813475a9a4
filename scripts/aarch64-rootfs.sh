#!/usr/bin/env bash
# The Debian arm64 root filesystem that the aarch64 tests run in, under qemu
# user emulation: Debian's Python with NumPy, PyQt5, SciPy, pytest and
# hypothesis, CPython's headers for the cross build on the host, and a venv
# (/opt/venv, seeing Debian's packages) holding the test dependencies Debian
# lacks or has too old, fetched as arm64 wheels by the host's pip and unpacked
# there (pip under emulation is slow). Built once and kept under VIS_CACHE
# (default /var/cache/visualization); rebuilt when missing or when the lists
# below change. Prints the root filesystem's path.
#
# usage: scripts/aarch64-rootfs.sh
set -euo pipefail
cd "$(dirname "$0")/.."

cache=${VIS_CACHE:-/var/cache/visualization}
suite=bookworm
python=3.11   # bookworm's CPython
packages=python3,python3-venv,libpython3-dev,python3-numpy,python3-pyqt5,python3-scipy,python3-pytest,python3-hypothesis,git
wheels="mypy>=1.8 pygeomag>=1.1"
stamp="$suite $packages $wheels"
root="$cache/aarch64-rootfs"

if [ "$(cat "$root/.vis-stamp" 2>/dev/null)" = "$stamp" ]; then
    echo "$root"
    exit 0
fi

bash scripts/aarch64-host-tools.sh >&2
mkdir -p "$cache"
rm -rf "$root" "$root.new"
# Byte-compiling every module under emulation takes most of the build: the
# packages' py3compile is stood in for by true while they install, and the host's
# CPython of the same version compiles them afterwards (bytecode does not depend
# on the processor).
stub_py3compile='chroot "$1" dpkg-divert --quiet --local --rename --divert /usr/bin/py3compile.real --add /usr/bin/py3compile && ln -s /bin/true "$1/usr/bin/py3compile"'
restore_py3compile='rm "$1/usr/bin/py3compile" && chroot "$1" dpkg-divert --quiet --local --rename --remove /usr/bin/py3compile'
mmdebstrap --quiet --arch=arm64 --variant=apt --include="$packages" \
    --essential-hook="$stub_py3compile" --customize-hook="$restore_py3compile" "$suite" "$root.new" \
    "deb http://deb.debian.org/debian $suite main" \
    "deb http://deb.debian.org/debian $suite-updates main" \
    "deb http://deb.debian.org/debian-security $suite-security main" >&2
if [ "$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')" = "$python" ]; then
    python3 -m compileall -q -j 0 -s "$root.new" -p / \
        "$root.new/usr/lib/python$python" "$root.new/usr/lib/python3/dist-packages" >&2 || true
fi

chroot "$root.new" /usr/bin/python3 -m venv --without-pip --system-site-packages /opt/venv
download="$cache/aarch64-wheels"
rm -rf "$download"
# shellcheck disable=SC2086  # one requirement a word
python3 -m pip download -q --only-binary=:all: --platform manylinux2014_aarch64 \
    --python-version "$python" --implementation cp --abi "cp${python/./}" -d "$download" $wheels >&2
python3 scripts/unpack-wheels.py "$root.new/opt/venv/lib/python$python/site-packages" "$download"/*.whl

echo "$python" >"$root.new/.vis-python"
echo "$stamp" >"$root.new/.vis-stamp"
mv "$root.new" "$root"
echo "$root"
