#!/usr/bin/env bash
# Takes docs/screenshots/about.png: the About dialog as Wine draws it on a private
# Xvfb display (the Windows build's test host shows it; nothing else runs).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
# The i686 build where this machine runs 32-bit programs, else the x86_64 one.
build=$(python3 tests/wine/winemachine.py builds | sed -n 1p)
cmake --preset "$build" >/dev/null
cmake --build --preset "$build" --target about_host fake_msinfo
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 tests/wine/about/test_about_gui.py \
    --host "build/$build/tests/wine/about/about_host.exe" \
    --msinfo "build/$build/tests/wine/about/fake_msinfo.exe" \
    --work "$work" --only-screenshot --screenshot docs/screenshots/about.png
