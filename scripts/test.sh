#!/usr/bin/env bash
# Builds everything and runs every test: the Linux build over the stand-in machine
# (labels unit), then the Windows build, its Windows 98 import audit and its runs
# under Wine (labels audit, wine), when that build is present in this tree.
set -euo pipefail
cd "$(dirname "$0")/.."

werror=OFF
[[ ${CI:-} == true ]] && werror=ON

scripts/setup.sh all
cmake --preset native -DIRPATCH_WERROR=$werror
cmake --build --preset native
ctest --preset native

if grep -q '"name": "win32"' CMakePresets.json; then
    cmake --preset win32 -DIRPATCH_WERROR=$werror
    cmake --build --preset win32
    ctest --preset win32
fi
