#!/usr/bin/env bash
# Builds everything and runs every test: the Linux build over the stand-in machine
# (label unit), in CI the fuzz targets (scripts/fuzz.sh), the unit suite under the
# sanitizers (preset asan), then the Windows builds: the i686 product with its
# Windows 98 import audit, and the Wine suites (labels wine, gui) on every build this
# machine can run under Wine: the i686 build under 32-bit Wine where the kernel
# executes 32-bit programs, the x86_64 build (preset win64) under wine64 everywhere.
# IRPATCH_WINE_BUILD=win32 or win64 forces one of the two.
set -euo pipefail
cd "$(dirname "$0")/.."

# CI builds the Linux program with warnings as errors (preset ci); the other
# builds (sanitizers, Windows) always treat them so.
native=native
[[ ${CI:-} == true ]] && native=ci

scripts/setup.sh all
cmake --preset $native
cmake --build --preset $native
ctest --preset $native

# In CI, each fuzz target for a minute (IRPATCH_FUZZ_SECONDS to change; 0 skips);
# then the unit suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
if [[ ${CI:-} == true && ${IRPATCH_FUZZ_SECONDS:-60} != 0 ]]; then
    scripts/fuzz.sh "${IRPATCH_FUZZ_SECONDS:-60}"
fi
cmake --preset asan
cmake --build --preset asan
ctest --preset asan

# Which builds run the Wine suites here, and why; never none without an error.
if ! wine_builds=$(python3 tests/wine/winemachine.py builds 2>build/wine-builds.txt); then
    echo "test: $(cat build/wine-builds.txt)" >&2
    exit 1
fi
echo "test: Wine suites on $(echo $wine_builds | sed 's/ / and /'): $(cat build/wine-builds.txt)"

# The product, always: its build and its audit; its Wine suites where they can run.
cmake --preset win32
cmake --build --preset win32
if grep -qx win32 <<<"$wine_builds"; then
    ctest --preset win32
else
    ctest --preset win32 --label-exclude '^(wine|gui)$'
    echo "test: the i686 build's Wine suites did not run: see above"
fi

if grep -qx win64 <<<"$wine_builds"; then
    cmake --preset win64
    cmake --build --preset win64
    ctest --preset win64
fi
echo "test: every test passed; the Wine suites ran on: $(echo $wine_builds)"
