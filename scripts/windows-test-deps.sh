#!/usr/bin/env bash
# Puts the test dependencies into the Lib/site-packages of a Windows CPython
# (scripts/windows-python.sh) once. pip does not run under wine, so the
# win_amd64 wheels are fetched here with `pip download` and unpacked.
#   scripts/windows-test-deps.sh WINDOWS_PYTHON_DIR
set -euo pipefail
dir=$1
# NumPy 2.1.3: later NumPy releases call ucrtbase functions wine 8 lacks at import.
# mypy is left out: its compiled wheel stops with an INTERNAL ERROR under wine.
reqs="numpy==2.1.3 PyQt5==5.15.11 scipy pytest hypothesis pygeomag"
stamp=$dir/.test-deps
[ -f "$stamp" ] && [ "$(cat "$stamp")" = "$reqs" ] && exit 0

echo "== unpacking $reqs into $dir/Lib/site-packages" >&2
wheels=$(mktemp -d)
trap 'rm -rf "$wheels"' EXIT
python3 -m pip download -q --only-binary=:all: --platform win_amd64 --python-version 3.13 \
    -d "$wheels" $reqs >&2
for w in "$wheels"/*.whl; do
    python3 -m zipfile -e "$w" "$dir/Lib/site-packages"
done
# The platform module's WMI probe hits a call wine does not implement; without
# _wmi it falls back to the registry.
[ -f "$dir/DLLs/_wmi.pyd" ] && mv "$dir/DLLs/_wmi.pyd" "$dir/DLLs/_wmi.pyd.disabled"
echo "$reqs" > "$stamp"
