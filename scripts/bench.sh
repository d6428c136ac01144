#!/usr/bin/env bash
# Registry benchmark: prints figures, checks nothing.
#   scripts/bench.sh [--quick]
# 1. Native build over the stand-in: the read side of cRegistry against the bare
#    platform calls, then the stand-in store loading and saving a full-size Windows 98
#    registry (a regression check).
# 2. The same read-side figures from the Windows build running under Wine, in a
#    throwaway prefix (tests/wine/winemachine.py): the i686 build where this machine
#    runs 32-bit programs, else the x86_64 build under wine64.
set -euo pipefail
cd "$(dirname "$0")/.."

build=$(python3 tests/wine/winemachine.py builds 2>/dev/null | sed -n 1p) || build=

cmake --preset native >/dev/null
cmake --build --preset native --target registry_bench >/dev/null
echo "machine: $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | sed -n 1p)"
./build/native/bench/registry_bench "$@"

if [ -z "$build" ] || ! command -v wineserver >/dev/null 2>&1; then
    echo; echo "(Wine cannot run here: the Windows build under Wine was not run)"; exit 0
fi
cmake --preset "$build" >/dev/null
cmake --build --preset "$build" --target registry_bench >/dev/null
echo
echo "($build build under Wine)"
python3 tests/wine/winemachine.py run -- "build/$build/bench/registry_bench.exe" "$@"
