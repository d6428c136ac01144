#!/usr/bin/env bash
# Takes docs/screenshots/about.png: the About dialog as Wine draws it on a private
# Xvfb display (the Windows build's test host shows it; nothing else runs).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
cmake --preset win32 >/dev/null
cmake --build --preset win32 --target about_host fake_msinfo
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 tests/wine/about/test_about_gui.py \
    --host "build/win32/tests/wine/about/about_host.exe" \
    --msinfo "build/win32/tests/wine/about/fake_msinfo.exe" \
    --work "$work" --only-screenshot --screenshot docs/screenshots/about.png
