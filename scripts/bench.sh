#!/bin/sh
# Registry benchmark: prints figures, checks nothing.
#   scripts/bench.sh [--quick] [--no-wine]
# 1. Native build over the stand-in: the read side of cRegistry against the bare
#    platform calls, then the stand-in store loading and saving a full-size Windows 98
#    registry beside `wine regedit /s` importing the same file (skipped with a note
#    when wine is missing, or with --no-wine).
# 2. When the win32 preset and wine are both there: the same read-side figures from
#    the Win32 build running under Wine, in a throwaway prefix (tests/wine/winemachine.py).
set -e
cd "$(dirname "$0")/.."

cmake --preset native >/dev/null
cmake --build --preset native --target registry_bench >/dev/null
echo "machine: $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)"
./build/native/bench/registry_bench "$@"

if ! cmake --list-presets 2>/dev/null | grep -q '"win32"'; then
    echo; echo "(no win32 preset in this tree: the Win32 build under Wine was not run)"; exit 0
fi
if ! command -v wine >/dev/null 2>&1; then
    echo; echo "(wine is not installed: the Win32 build under Wine was not run)"; exit 0
fi
cmake --preset win32 >/dev/null
cmake --build --preset win32 --target registry_bench >/dev/null
echo
python3 tests/wine/winemachine.py run -- build/win32/bench/registry_bench.exe "$@"
