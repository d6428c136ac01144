#!/usr/bin/env bash
# Runs the patch on a copy of a sample machine (examples/k314-frn unless another
# machine folder is named) and shows what it did: its message boxes and restart
# request (the journal), the registry change, and whether the registry now matches
# the sample's expected-after-patch.reg where it has one. The copy is kept for a look
# around; the last lines say where.
# Usage: scripts/demo.sh [MACHINE-FOLDER]      e.g. scripts/demo.sh examples/other-model
set -euo pipefail

# The sample is named from where the demo was started; the repository is where the
# script is.
name=${1:-examples/k314-frn}
repo=$(cd "$(dirname "$0")/.." && pwd)
samples="the samples are examples/k314-frn and examples/other-model"
if (($# == 0)); then
    sample=$repo/$name
elif ! sample=$(CDPATH='' cd -- "$name" 2>/dev/null && pwd); then
    echo "demo: there is no folder $name; $samples" >&2
    exit 2
fi
if [[ ! -f $sample/registry.reg || ! -d $sample/drive_c ]]; then
    echo "demo: $name is not a machine folder (it needs registry.reg and drive_c/); $samples" >&2
    exit 2
fi
cd "$repo"

exe="build/native/Patch_IR_K314(FR)"
scripts/setup.sh native
[[ -x $exe ]] || echo "demo: building the Linux program $exe (the first time, a minute or so)"
cmake --preset native >/dev/null
cmake --build --preset native --target irpatch_exe >/dev/null

# The machine: the sample's registry and drive C, nothing else (its expected result
# stays where it is, to be compared with). Removed again if the demo stops before
# the run.
machine=$(mktemp -d /tmp/irpatch-demo-XXXXXX)
trap 'rm -rf -- "$machine"' EXIT
cp -- "$sample/registry.reg" "$machine/"
cp -r -- "$sample/drive_c" "$machine/"
echo "Machine folder: $machine (a copy of $name)"
oem=$(find "$machine/drive_c" -ipath '*/windows/system/oeminfo.ini' -print -quit)
model="(no C:\Windows\system\Oeminfo.ini)"
[[ -z $oem ]] || model=$(grep -a -m1 '^Model=' "$oem" | tr -d '\r' || echo "(no Model= line)")
echo "OEM identity:   $model"

status=0
IRPATCH_MACHINE=$machine "$exe" || status=$?
trap - EXIT
echo
echo "Exit status: $status (0 patched, 1 error reported, 2 not an RDA-K314 FRN, 3 no machine)"
echo
echo "== journal.txt =="
if [[ -s $machine/journal.txt ]]; then cat "$machine/journal.txt"; else echo "(empty)"; fi
echo
show() { iconv -f WINDOWS-1252 -t UTF-8 "$1" | tr -d '\r'; }
# compare OLD NEW OLD-LABEL NEW-LABEL SAME DIFFERENT: says SAME when the two registry
# files are the same bytes; else says DIFFERENT, shows their difference as text, and
# returns 1.
compare() {
    if cmp -s "$1" "$2"; then
        echo "$5"
        return 0
    fi
    echo "$6"
    diff -u --label "$3" --label "$4" <(show "$1") <(show "$2") || true
    return 1
}
compare "$sample/registry.reg" "$machine/registry.reg" before after \
    "== registry.reg unchanged ==" "== registry.reg: what changed ==" || true

result=0
expected=$sample/expected-after-patch.reg
echo
if [[ ! -f $expected ]]; then
    echo "No expected-after-patch.reg in $name: nothing to compare the result with."
elif ! compare "$expected" "$machine/registry.reg" expected after \
        "The registry matches $name/expected-after-patch.reg byte for byte." \
        "The registry does NOT match $name/expected-after-patch.reg:"; then
    result=1
fi
echo
echo "The machine folder is kept in $machine (remove it with: rm -r $machine)."
exit $result
