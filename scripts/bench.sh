#!/usr/bin/env bash
# Registry benchmark: prints figures, checks nothing.
#   scripts/bench.sh [--quick]
# 1. Native build over the stand-in: the read side of cRegistry against the bare
#    platform calls, then the stand-in store loading and saving a full-size Windows 98
#    registry (a regression check).
# 2. The same read-side figures from the Windows build running under 32-bit Wine, in
#    a throwaway prefix (tests/wine/winemachine.py), natively or through QEMU as this
#    machine runs 32-bit programs (say which: the figures differ several times over).
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset native >/dev/null
cmake --build --preset native --target registry_bench >/dev/null
echo "machine: $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | sed -n 1p)"
./build/native/bench/registry_bench "$@"

if ! how=$(python3 tests/wine/host32.py) || ! command -v wineserver >/dev/null 2>&1; then
    echo; echo "(32-bit Wine cannot run here: the Windows build under Wine was not run; $how)"; exit 0
fi
cmake --preset win32 >/dev/null
cmake --build --preset win32 --target registry_bench >/dev/null
echo
echo "(the i686 build under 32-bit Wine, 32-bit programs running $how)"
python3 tests/wine/winemachine.py run -- build/win32/bench/registry_bench.exe "$@"
