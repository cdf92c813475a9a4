#!/usr/bin/env bash
# The Debian packages the Windows wheel and its tests need: the mingw-w64
# cross compiler (posix thread model), gendef and the mingw binutils for the
# import libraries, and, with `wine`, wine64 to run the Windows interpreter.
# Installs the missing ones (as root) or says what to install.
#   scripts/ensure-windows-tools.sh [wine]
set -euo pipefail
need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
command -v x86_64-w64-mingw32-dlltool >/dev/null || need+=(binutils-mingw-w64-x86-64)
command -v gendef >/dev/null || need+=(mingw-w64-tools)
if [ "${1:-}" = wine ]; then
    command -v wine >/dev/null || need+=(wine wine64)
fi
[ ${#need[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
    echo "Install these Debian packages first: ${need[*]}" >&2
    exit 1
fi
echo "== installing ${need[*]}" >&2
[ -n "$(find /var/lib/apt/lists -name '*Packages*' -newermt '-1 day' 2>/dev/null | head -1)" ] || apt-get update -q >&2
DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o DPkg::Lock::Timeout=600 "${need[@]}" >&2
