#!/usr/bin/env bash
# Builds the Windows 98 program from a fresh build folder, checks its size and its
# instructions, and writes the release (the release target, release/package.py):
# `Patch_IR_K314(FR).exe`, `LISEZMOI.TXT` and `SHA256SUMS` in
# dist/IRPatch-K314-W98-FRN-<version>.zip and on the 1.44 MB floppy image
# dist/IRPatch-K314-W98-FRN-<version>.img. Prints the program's size (the release
# stops above 256 KiB), and the zip's and the image's sizes and SHA-256.
#   scripts/release.sh [--build DIR] [--out DIR]
# --build: the build folder, which must not exist yet or be empty (kept afterwards);
#          default a new build/release-XXXXXX, removed after a successful release.
# --out:   where the zip and the image go; default dist/.
# The zip's entries and the image's files carry the time of the last commit (or
# SOURCE_DATE_EPOCH), so two releases of one commit are byte for byte the same
# (docs/windows.md).
set -euo pipefail

build= out=
while (($#)); do
    case $1 in
        --build) build=$(realpath -m -- "${2:?}"); shift 2 ;;
        --out) out=$(realpath -m -- "${2:?}"); shift 2 ;;
        *) echo "usage: scripts/release.sh [--build DIR] [--out DIR]" >&2; exit 2 ;;
    esac
done
cd "$(dirname "$0")/.."
out=${out:-$PWD/dist}

scripts/setup.sh release
if [[ -n $(git status --porcelain 2>/dev/null) ]]; then
    echo "release: WARNING: uncommitted changes; this is not the package of commit $(git rev-parse --short HEAD)" >&2
fi

remove_build=false
if [[ -z $build ]]; then
    mkdir -p build
    build=$(mktemp -d build/release-XXXXXX)
    remove_build=true
elif [[ -e $build && -n $(ls -A "$build") ]]; then
    echo "release: $build is not empty; a release builds in a fresh folder" >&2
    exit 2
fi
mkdir -p "$build" "$out"
build=$(realpath "$build")

# The product alone: no tests, so nothing but the program is built.
cmake --preset win32 -B "$build" -DIRPATCH_WIN32_TESTS=OFF -DIRPATCH_RELEASE_DIR="$out" >/dev/null
cmake --build "$build" --target release

if $remove_build; then rm -rf "$build"; fi
