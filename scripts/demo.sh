#!/usr/bin/env bash
# Runs the patch on a copy of the sample RDA-K314 (examples/k314-frn) and shows what
# it did: its message boxes and restart request (the journal) and the registry change.
# Usage: scripts/demo.sh [examples/other-model]
set -euo pipefail
cd "$(dirname "$0")/.."

sample=${1:-examples/k314-frn}
scripts/setup.sh native
cmake --preset native >/dev/null
cmake --build --preset native --target irpatch_exe >/dev/null

machine=$(mktemp -d /tmp/irpatch-demo-XXXXXX)
cp -r "$sample"/. "$machine"/
echo "Machine folder: $machine (a copy of $sample)"
echo "OEM identity:   $(grep -a '^Model=' "$machine"/drive_c/WINDOWS/SYSTEM/OEMINFO.INI | tr -d '\r')"

status=0
IRPATCH_MACHINE=$machine "build/native/Patch_IR_K314(FR)" || status=$?
echo
echo "Exit status: $status (0 patched, 1 error reported, 2 not an RDA-K314 FRN, 3 no machine)"
echo
echo "== journal.txt =="
cat "$machine/journal.txt" 2>/dev/null || echo "(empty)"
echo
echo "== registry.reg: what changed =="
show() { iconv -f WINDOWS-1252 -t UTF-8 "$1" | tr -d '\r'; }
diff -u --label "before" --label "after" <(show "$sample/registry.reg") <(show "$machine/registry.reg") || true
