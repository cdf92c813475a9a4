#!/usr/bin/env bash
# Installs a built wheel with its test extras into a fresh venv of the given
# interpreter and runs the whole test suite against that installation.
#   scripts/test-wheel.sh PYTHON WHEEL [pytest args]
set -euo pipefail
cd "$(dirname "$0")/.."
py=$1 wheel=$(realpath "$2")
shift 2
minor=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
env=build/test-env-$minor

rm -rf "$env"
"$py" -m venv "$env"
"$env/bin/python" -m pip install -q --upgrade pip
"$env/bin/python" -m pip install -q "$wheel[test]"
bash scripts/ensure-qt-libs.sh "$env/bin/python"

# The tests run from the checkout, so make sure they import the wheel's modules.
"$env/bin/python" - "$env" <<'PY'
import pathlib, sys
import visualization.geo as geo
if not pathlib.Path(geo.__file__).resolve().is_relative_to(pathlib.Path(sys.argv[1]).resolve()):
    sys.exit(f"visualization was imported from {geo.__file__}, not from the installed wheel")
PY
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
exec "$env/bin/python" -m pytest -p no:cacheprovider --rootdir=. -c pyproject.toml -q "$@"
