#!/usr/bin/env bash
# Builds everything and runs every test: the Linux build over the stand-in machine
# (labels unit), in CI the fuzz targets (scripts/fuzz.sh), the unit suite under the
# sanitizers (preset asan), then the Windows build, its Windows 98 import audit and its runs
# under Wine (labels audit, wine), when that build is present in this tree.
set -euo pipefail
cd "$(dirname "$0")/.."

werror=OFF
[[ ${CI:-} == true ]] && werror=ON

scripts/setup.sh all
cmake --preset native -DIRPATCH_WERROR=$werror
cmake --build --preset native
ctest --preset native

# In CI, each fuzz target for a minute (IRPATCH_FUZZ_SECONDS to change; 0 skips);
# then the unit suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
if [[ ${CI:-} == true && ${IRPATCH_FUZZ_SECONDS:-60} != 0 ]]; then
    scripts/fuzz.sh "${IRPATCH_FUZZ_SECONDS:-60}"
fi
cmake --preset asan -DIRPATCH_WERROR=$werror
cmake --build --preset asan
ctest --preset asan

if grep -q '"name": "win32"' CMakePresets.json; then
    cmake --preset win32 -DIRPATCH_WERROR=$werror
    cmake --build --preset win32
    ctest --preset win32
fi
