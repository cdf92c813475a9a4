#!/usr/bin/env bash
# Fails unless every Windows module (.pyd) in the given wheels imports only
# python3.dll (the stable ABI) and DLLs that are part of Windows itself, and
# unless a module links libstdc++'s __cxa_thread_atexit: a thread_local with a
# destructor, which mingw-w64 runs after freeing the variable's storage.
#   scripts/check-pe-imports.sh WHEEL...
set -euo pipefail
allowed='^(python3|kernel32|msvcrt|ucrtbase|advapi32|user32|ws2_32|ntdll|bcrypt)\.dll$'
status=0
for wheel in "$@"; do
    tmp=$(mktemp -d)
    python3 -m zipfile -e "$wheel" "$tmp"
    while IFS= read -r pyd; do
        dlls=$(x86_64-w64-mingw32-objdump -p "$pyd" | awk '/DLL Name:/ {print $3}')
        echo "$(basename "$pyd"): $(echo $dlls)"
        for dll in $dlls; do
            if ! echo "$dll" | tr 'A-Z' 'a-z' | grep -Eq "$allowed"; then
                echo "  $dll is neither python3.dll nor a Windows system DLL" >&2
                status=1
            fi
        done
        if x86_64-w64-mingw32-nm "$pyd" 2>/dev/null | grep ' __cxa_thread_atexit$' >/dev/null; then
            echo "  $(basename "$pyd") has a thread_local with a destructor" >&2
            status=1
        fi
    done < <(find "$tmp" -name '*.pyd' | sort)
    rm -rf "$tmp"
done
exit $status
