#!/usr/bin/env bash
# Runs the test suite against the Windows wheel under wine64: builds the wheel,
# sets up the cached Windows CPython with the test dependencies, unpacks the
# wheel beside them and runs each test file in a process of its own (one
# crash costs one file, and no state leaks between files).
#   scripts/test-windows.sh [test files]   (default: every tests/test_*.py)
# VIS_UNDER_WINE=1 tells the tests they run under wine, whose own gaps they
# skip with the cause named. Prints one summary line over all files and fails
# when any file fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/ensure-windows-tools.sh wine
wheel=$(bash scripts/build-wheel-windows.sh)
winpy=$(bash scripts/windows-python.sh)
bash scripts/windows-test-deps.sh "$winpy"

# A folder named site-packages, as an installed wheel's would be.
site=$PWD/build/windows-test/site-packages
rm -rf "$site"
python3 -m zipfile -e "$wheel" "$site"

export WINEPREFIX=$(dirname "$winpy")/wine-prefix WINEDEBUG=-all
export QT_QPA_PLATFORM=offscreen VIS_UNDER_WINE=1 PYTHONPATH="Z:$site"
# Wine's background services (started with the prefix's server) would inherit
# the pipe of the first test run and keep it open: start them here, detached,
# and keep the server for the whole run.
[ -d "$WINEPREFIX" ] || { echo "== creating the wine prefix $WINEPREFIX" >&2; mkdir -p "$WINEPREFIX"; }
wineserver -k 2>/dev/null && wineserver -w || true
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
wineboot </dev/null >/dev/null 2>&1

files=("$@")
[ ${#files[@]} -gt 0 ] || files=(tests/test_*.py)
passed=0 failed=0 skipped=0 bad=()
for f in "${files[@]}"; do
    log=$(mktemp)
    rc=0
    # Wine's python.exe cannot open a regular file as its standard output; a pipe works.
    # A file that hangs is stopped after VIS_WINE_FILE_TIMEOUT seconds and fails.
    timeout -k 30 "${VIS_WINE_FILE_TIMEOUT:-1800}" wine "$winpy/python.exe" -m pytest -p no:cacheprovider --rootdir=. -c pyproject.toml -q -rfEs "$f" \
        </dev/null 2>&1 | cat >"$log" || rc=$?  # pipefail: python.exe's status
    summary=$(grep -E '^(=+ )?[0-9]+ (passed|failed|skipped|error)' "$log" | tail -1 || true)
    echo "== $f: ${summary:-no summary, exit $rc}"
    grep -E '^(SKIPPED|FAILED|ERROR) ' "$log" || true
    for kind in passed failed skipped; do
        n=$(echo "$summary" | grep -oE "[0-9]+ $kind" | cut -d' ' -f1 || true)
        eval "$kind=\$(( $kind + ${n:-0} ))"
    done
    errors=$(echo "$summary" | grep -oE "[0-9]+ error" | cut -d' ' -f1 || true)
    failed=$((failed + ${errors:-0}))
    # 5 is pytest's status when every test of the file skipped itself, but also
    # what wine leaves of an access violation's 0xC0000005: only the former
    # prints a summary of nothing but skips.
    all_skipped=false
    [[ $rc -eq 5 && $summary =~ ^(=+ )?[0-9]+\ skipped\ in ]] && all_skipped=true
    if [ "$rc" -ne 0 ] && ! $all_skipped; then
        bad+=("$f")
        if [ -z "$summary" ]; then   # the process died: say where and why
            failed=$((failed + 1))
            grep -E 'File ".*[\\/]tests[\\/].* in test|^wine: |^Fatal Python error' "$log" | tail -4
        fi
    fi
    rm -f "$log"
done
echo "windows: $passed passed, $failed failed, $skipped skipped"
[ ${#bad[@]} -eq 0 ] || { echo "failing files: ${bad[*]}" >&2; exit 1; }
