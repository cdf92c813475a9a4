#!/usr/bin/env bash
# ./dev test-aarch64: the package cross-built for arm64 Linux, installed into
# the Debian arm64 root filesystem and tested there under qemu user emulation
# (the whole suite, or the pytest arguments given).
#
# usage: scripts/test-aarch64.sh PYTHON [pytest args]
#   PYTHON: a host interpreter with the build requirements installed
set -euo pipefail
cd "$(dirname "$0")/.."
py=$1
shift
SECONDS=0
root=$(bash scripts/aarch64-rootfs.sh)
echo "== arm64 root filesystem ready after ${SECONDS}s: $root"
wheel=$(bash scripts/aarch64-wheel.sh "$root" "$py")
echo "== $(basename "$wheel") built after ${SECONDS}s"
python3 scripts/unpack-wheels.py "$root/opt/venv/lib/python$(cat "$root/.vis-python")/site-packages" "$wheel"
bash scripts/aarch64-run.sh "$root" python -m pytest -p no:cacheprovider --rootdir=. -c pyproject.toml "$@"
