#!/usr/bin/env bash
# Compiles every kernel and binding source with -Wall -Wextra -Werror under three
# compilers, each source with -c (a full compile: -fsyntax-only misses the
# errors of attributes and code generation). Any warning or error fails.
#   aarch64  Debian's cross g++ for arm64 Linux, with the Python headers of the
#            arm64 root filesystem (scripts/aarch64-rootfs.sh); x86/ is skipped;
#   clang    clang++ for the host (x86-64 Linux), with the host Python's headers;
#   mingw    mingw-w64's g++ (posix threads) for 64-bit Windows, against the
#            stable ABI of CPython 3.12 (a Windows CPython's headers); x86/ and
#            windows/ included.
# windows/ is compiled for Windows alone. Arguments pick the compilers (default all).
#
# usage: scripts/compile-check.sh [aarch64] [clang] [mingw]
set -euo pipefail
cd "$(dirname "$0")/.."
compilers=${*:-aarch64 clang mingw}

# The bindings for Windows are checked too (VIS_MINGW_BINDINGS=off skips them).
MINGW_BINDINGS=${VIS_MINGW_BINDINGS:-on}

common=(-std=c++20 -O2 -Wall -Wextra -Werror -ffp-contract=off -Icpp)

ensure_tools() {
    local need=()
    command -v clang++ >/dev/null || need+=(clang)
    command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
    command -v aarch64-linux-gnu-g++ >/dev/null || need+=(g++-aarch64-linux-gnu)
    if [ ${#need[@]} -gt 0 ]; then
        apt-get update -q >/dev/null
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}" >/dev/null
    fi
}

host_python() {   # an interpreter with nanobind (pure source, from PyPI)
    local env=build/compile-check-env
    [ -x "$env/bin/python" ] || python3 -m venv "$env"
    "$env/bin/python" -c 'import nanobind' 2>/dev/null || "$env/bin/python" -m pip install -q nanobind
    echo "$env/bin/python"
}

sources() {   # kernels|bindings, target -> the sources that target builds
    find "cpp/$1" -name '*.cpp' | sort | while read -r f; do
        case "$f" in
            */x86/*) [ "$2" != aarch64 ] || continue ;;
            */windows/*) [ "$2" = mingw ] || continue ;;
        esac
        echo "$f"
    done
}

compile_all() {   # label, compiler and flags... -- files
    local label=$1
    shift
    local flags=()
    while [ "$1" != -- ]; do flags+=("$1"); shift; done
    shift
    echo "== $label: $# sources"
    printf '%s\n' "$@" | xargs -P "$(nproc)" -I{} sh -c \
        'out=$("$@" -c "{}" -o /dev/null 2>&1) || { printf "%s\n%s\n" "FAILED {}" "$out"; exit 1; }; [ -z "$out" ] || { printf "%s\n%s\n" "WARNED {}" "$out"; exit 1; }' \
        sh "${flags[@]}"
}

ensure_tools
py=$(host_python)
nanobind=$("$py" -m nanobind --include_dir)
nanobind_inc=(-isystem "$nanobind" -isystem "$nanobind/../ext/robin_map/include")
failed=0
for c in $compilers; do
    case "$c" in
        aarch64)
            root=$(bash scripts/aarch64-rootfs.sh)
            cxx=(aarch64-linux-gnu-g++ "${common[@]}")
            pyinc=(-isystem "$(bash scripts/aarch64-python-headers.sh "$root")")
            bindings=on
            ;;
        clang)
            cxx=(clang++ "${common[@]}" -DVIS_X86_KERNELS)
            pyinc=(-isystem "$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')")
            bindings=on
            ;;
        mingw)
            cxx=(x86_64-w64-mingw32-g++-posix "${common[@]}" -DVIS_X86_KERNELS)
            bindings=$MINGW_BINDINGS
            # A Windows CPython's headers (scripts/windows-python.sh unpacks one).
            [ "$bindings" != on ] || pyinc=(-DPy_LIMITED_API=0x030C0000 -isystem "$(bash scripts/windows-python.sh)/include")
            ;;
        *) echo "usage: scripts/compile-check.sh [aarch64] [clang] [mingw]" >&2; exit 2 ;;
    esac
    # shellcheck disable=SC2046  # one path a word
    compile_all "$c kernels" "${cxx[@]}" -- $(sources kernels "$c") || failed=1
    if [ "$bindings" = on ]; then
        # shellcheck disable=SC2046
        # Hidden visibility as nanobind builds them (GCC warns on mixed visibility otherwise).
        compile_all "$c bindings" "${cxx[@]}" -fvisibility=hidden "${pyinc[@]}" "${nanobind_inc[@]}" -- $(sources bindings "$c") || failed=1
    else
        echo "== $c bindings: not checked (VIS_MINGW_BINDINGS=on checks them)"
    fi
done
[ "$failed" = 0 ] && echo "== every source compiled without a warning"
exit "$failed"
