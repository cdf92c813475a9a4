#!/usr/bin/env bash
# Prints the path of a working CPython of the given minor version (e.g. 3.13):
# the newest pyenv build of it, else `python3.13` on PATH. Prints nothing and
# fails when there is none (a pyenv shim for a version pyenv lacks does not count).
set -uo pipefail
want=$1

works() {
    [ -n "$1" ] && "$1" -c "import sys, venv; sys.exit(sys.version_info[:2] != tuple(map(int, '$want'.split('.'))))" \
        2>/dev/null
}

if command -v pyenv >/dev/null; then
    for py in $(ls -d "$(pyenv root)/versions/$want".* 2>/dev/null | sort -V -r); do
        works "$py/bin/python$want" && { echo "$py/bin/python$want"; exit 0; }
    done
fi
py=$(command -v "python$want" || true)
works "$py" && { echo "$py"; exit 0; }
exit 1
