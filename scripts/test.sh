#!/usr/bin/env bash
# Builds everything and runs every test: the Linux build over the stand-in machine
# (label unit), in CI the fuzz targets (scripts/fuzz.sh), the unit suite under the
# sanitizers (preset asan), then the product, the i686 Windows build: its Windows 98
# and i486 audits, two releases, and its Wine suites (labels wine, gui) under 32-bit
# Wine, natively where the kernel executes 32-bit programs and through QEMU where it
# does not (scripts/setup.sh sets up one of the two and says which).
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

# The product: its audits, its releases and every Wine suite, on the bytes shipped.
# The Wine suites wait on Wine's windows and processes much of the time, and each has
# a machine of its own: run side by side, one more than the processors, they take
# about half as long as one after the other.
cmake --preset win32
cmake --build --preset win32
ctest --preset win32 -j "$(($(nproc) + 1))"
echo "test: every test passed; the Wine suites ran on build/win32/Patch_IR_K314(FR).exe," \
     "32-bit programs running $(python3 tests/wine/host32.py)"
