#!/usr/bin/env bash
# The C and C++ runtime that the i686 Windows programs link statically, rebuilt for
# the i486: the mingw-w64 CRT (crt2.o, libmingw32, libmingwex, libmsvcrt,
# libmoldname), libgcc (with libgcc_eh, crtbegin.o, crtend.o) and libstdc++ (with
# libsupc++ and libstdc++fs).
#
# Why: Debian's i686 MinGW-w64 compiler defaults to -march=pentiumpro and its
# prebuilt runtime was compiled so. Its CMOV instructions, one of them in the start-up
# code that runs before WinMain, stop the program at once on a 486, a Pentium, a
# K6 or a WinChip, all of which run Windows 98.
#
# What is Debian's: the cross compiler and binutils that build it; the CRT's sources,
# Debian's mingw-w64 source package at the version of the installed headers (apt-get
# source applies Debian's patches); libgcc's and libstdc++'s, GCC's tarball in
# gcc-N-source (the 12.2.0 the cross compiler is) with the two changes of Debian's
# that reach them (scripts/runtime-recipe.sh); the configure options that shape
# libstdc++. What is not: the CPU flags (-march=i486 -mtune=generic, where the
# compiler defaults to -march=pentiumpro), and the build itself, which configures and
# makes only what the runtime needs rather than a whole compiler. At its end, the C++
# headers the runtime was built against must be the installed ones, file for file and
# byte for byte, or it stops.
#
# Usage: scripts/build-runtime.sh [--where | --rebuild]
#   (none)     makes sure the cache holds the runtime of the installed toolchain,
#              building it when it is missing or damaged; prints its folder
#   --where    prints that folder when the cache holds it whole, else says why and
#              exits 1; builds nothing (the i686 toolchain file asks this)
#   --rebuild  builds it anew even when the cache holds it
# Environment:
#   IRPATCH_RUNTIME_CACHE  the cache (default /usr/local/lib/irpatch-i486-runtime
#                          for root, else ~/.cache/irpatch-i486-runtime)
#   JOBS                   parallel jobs (default: the number of CPUs)
#
# The cache's entry is named after a key, what decides the runtime's bytes: the
# versions of the cross compiler, the target headers (those of the CRT's sources),
# binutils and gcc-N-source, the name of GCC's tarball, and the recipe,
# scripts/runtime-recipe.sh (the flags, the configure options, the targets; its
# comment lines left out). A Debian update of any of them, or a change to the recipe,
# builds a new entry; a change to this file alone does not. An
# entry is assembled in a folder of its own, its marker (COMPLETE: the SHA-256 of
# every file) written last, and swapped in whole (the cache's layout is described
# below); an entry without a marker that checks out is rebuilt. A lock keeps two
# builds from meeting. A failed step stops with its name and its log, kept in the
# work folder; nothing falls back to Debian's stock runtime.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
recipe="$here/runtime-recipe.sh"
source "$recipe"

mode=build
case ${1:-} in
    "") ;;
    --where) mode=where ;;
    --rebuild) mode=rebuild ;;
    *) echo "usage: scripts/build-runtime.sh [--where | --rebuild]" >&2; exit 2 ;;
esac

say() { echo "runtime: $*" >&2; }
die() { say "$*"; exit 1; }

if [[ -n ${IRPATCH_RUNTIME_CACHE:-} ]]; then
    cache=$IRPATCH_RUNTIME_CACHE
elif ((EUID == 0)); then
    cache=/usr/local/lib/irpatch-i486-runtime
else
    cache=${XDG_CACHE_HOME:-$HOME/.cache}/irpatch-i486-runtime
fi

# installed PACKAGE: its version, if it is installed (not merely known to dpkg).
installed() {
    local status version
    read -r status version < <(dpkg-query -W -f='${db:Status-Status} ${Version}\n' "$1" 2>/dev/null) &&
        [[ $status == installed ]] && echo "$version"
}

# GCC's sources are the tarball in the gcc-N-source of the cross compiler's GCC (the
# compiler calls itself "12-win32"; its package's upstream version is GCC's own).
gcc_version=$(installed gcc-mingw-w64-i686-win32) ||
    die "gcc-mingw-w64-i686-win32 is not installed (scripts/setup.sh win32 installs it)"
gcc_version=${gcc_version%%-*}
gcc_source=gcc-${gcc_version%%.*}-source
gcc_tar=/usr/src/gcc-${gcc_version%%.*}/gcc-$gcc_version-dfsg.tar.xz
set_up=no
if ! installed "$gcc_source" >/dev/null; then
    [[ $mode == where ]] &&
        die "$gcc_source, whose version names the runtime's entry in the cache, is not installed (scripts/setup.sh runtime installs it)"
    "$here/setup.sh" runtime
    set_up=yes
fi

# What decides the runtime's bytes, one line each; its hash names the entry.
key_text() {
    local package version
    for package in "${PACKAGES[@]}" "$gcc_source"; do
        version=$(installed "$package") || die "$package is not installed (scripts/setup.sh win32 installs it)"
        echo "$package=$version"
    done
    echo "gcc-tarball=${gcc_tar##*/}"
    echo "flags=$CPU_FLAGS"
    echo "recipe=$(grep -v -E '^[[:space:]]*(#|$)' "$recipe" | sha256sum | cut -d' ' -f1)"
}
key=$(key_text)
arch=${CPU_FLAGS#*-march=}
entry="$cache/${arch%% *}-$(sha256sum <<<"$key" | cut -c1-16)"
mingw_version=$(installed mingw-w64-i686-dev)

# The cache's layout. An entry, named after the key, is a symbolic link to a build
# folder in .builds/, and a build replaces it by renaming a new link over it: rename(2)
# swaps a link in one step, so whoever opens a file through the entry (--where, a link
# of the program through -B<entry>/) finds the old build or the new one, whole, never a
# missing folder, where ld would quietly take Debian's stock crt2.o and libstdc++.
# (Renaming the old folder aside and the new one in would leave a moment without any;
# Debian 12's mv cannot exchange two folders.) A build folder that no link names is
# removed when the next build starts, not at the swap: a link of the program that
# was reading it then has long finished.
#
# Two locks. .lock is held by a build from start to end (older versions of this script
# take the same one): two builds never meet. .entries.lock guards the links and the
# removal of build folders: a build holds it only to swap and to clean up, --where holds
# it shared while it checks an entry, so --where never waits behind a build, and
# the folder it checks is never removed under it.
builds=$cache/.builds

# Whole: the marker is there, names every file, and every file has its sum.
whole() {
    local file
    [[ -f $1/COMPLETE ]] || return 1
    for file in "${FILES[@]}"; do
        grep -q "  $file\$" "$1/COMPLETE" || return 1
    done
    (cd "$1" && sha256sum --quiet --strict -c COMPLETE >/dev/null 2>&1)
}

if [[ $mode == where ]]; then
    # The first build in a cache makes the lock file: without it, nothing swaps nor cleans up.
    if { exec 8<"$cache/.entries.lock"; } 2>/dev/null && ! flock -s -n 8; then
        say "waiting for $cache/.entries.lock (a build swapping an entry in or cleaning up)"
        flock -s -w 60 8 || die "$cache/.entries.lock stayed locked for 60 s; nothing holds it that long"
    fi
    if ! whole "$entry"; then
        if { exec 9<"$cache/.lock"; } 2>/dev/null && ! flock -s -n 9; then
            die "the cache holds no i486 runtime for this toolchain (looked for $entry); a build of the runtime is running now"
        fi
        die "the cache holds no i486 runtime for this toolchain (looked for $entry)"
    fi
    echo "$entry"
    exit 0
fi

mkdir -p "$builds"
exec 9>"$cache/.lock" 8>"$cache/.entries.lock"
if ! flock -n 9; then
    say "another build of the runtime holds $cache; waiting for it"
    flock 9
fi
if [[ $mode == build ]] && whole "$entry"; then
    say "cached: $entry"
    echo "$entry"
    exit 0
fi
[[ -e $entry ]] && say "rebuilding $entry (incomplete or damaged, or --rebuild)"

# The build folders no link names: what a killed build left half assembled, and what
# earlier swaps replaced. (.incoming-* are older versions' half-assembled entries.)
flock 8
linked=" "
for link in "$cache"/*; do
    [[ -L $link ]] && linked+="$(basename "$(readlink "$link")") "
done
for folder in "$builds"/* "$cache"/.incoming-*; do
    [[ -e $folder && $linked != *" ${folder##*/} "* ]] && rm -rf "$folder"
done
flock -u 8

[[ $set_up == yes ]] || "$here/setup.sh" runtime
[[ -f $gcc_tar ]] ||
    die "no GCC $gcc_version sources ($gcc_tar): the installed $gcc_source does not match the cross compiler"

work=$(mktemp -d "${TMPDIR:-/tmp}/irpatch-runtime-XXXXXX")
build=$(mktemp -d "$builds/${entry##*/}.XXXXXX")
new_link=$cache/.${entry##*/}.new
trap 'rm -rf "$build" "$new_link"' EXIT
jobs=${JOBS:-$(nproc)}
started=$SECONDS

# step NAME LOG COMMAND...: runs one step of the recipe in the current folder, its
# output in LOG.
step() {
    local name=$1 log=$PWD/$2 start=$SECONDS
    shift 2
    say "$name"
    if ! "$@" >"$log" 2>&1; then
        tail -n 15 "$log" | sed 's/^/    /' >&2
        die "FAILED: $name; the whole log is $log (the work folder $work is kept)"
    fi
    say "  $((SECONDS - start)) s"
}

recipe_build "$build"

# ---- what the build must have given -------------------------------------------------
grep -q '^INHIBIT_LIBC_CFLAGS = *$' "$work/obj/gcc/libgcc.mvars" ||
    die "FAILED: GCC's configure did not see the target headers (inhibit_libc); see $work/obj/gcc/libgcc.mvars"
# The program is compiled with the installed headers and linked with this runtime, so
# the runtime must have been built against the same ones: the C++ headers, libstdc++'s
# and libsupc++'s as they would be installed (c++config.h among them), file for file
# and byte for byte, and libgcc's unwind.h. (The compiler's other headers are its own,
# the installed ones, for the program and the runtime alike.)
headers=/usr/lib/gcc/$T/$($T-gcc-win32 -dumpversion)/include
lib=$work/obj/$T/libstdc++-v3
{
    make -C "$lib/include" install DESTDIR="$work/headers" gxx_include_dir=/c++ &&
        make -C "$lib/libsupc++" install-stdHEADERS install-bitsHEADERS DESTDIR="$work/headers" gxx_include_dir=/c++
} >"$lib/install-headers.log" 2>&1 ||
    die "FAILED: installing libstdc++'s headers to compare them; see $lib/install-headers.log"
differ=$(diff -rq "$work/headers/c++" "$headers/c++" 2>&1 |
         sed "s|$work/headers/c++|built|g; s|$headers/c++|installed|g") || true
cmp -s "$work/obj/$T/libgcc/unwind.h" "$headers/unwind.h" ||
    differ+="${differ:+$'\n'}libgcc's unwind.h differs from the installed $headers/unwind.h"
[[ -z $differ ]] || die "FAILED: the runtime was built against headers that differ from the installed ones\
 ($headers/c++; built: $work/headers/c++, the work folder $work is kept):"$'\n'"$(sed 's/^/    /' <<<"$differ")"
# The flag reached the code every program runs (start-up, CRT, unwinder, exception
# support): not one CMOV there. libgcc and libstdc++ keep a few in code that only
# runs on CPUs that have them (half-precision floats, RDRAND); the product's audit
# checks what is linked, instruction by instruction.
(cd "$build" && $T-objdump -d crt2.o libmingw32.a libmingwex.a libgcc_eh.a libsupc++.a) >"$work/runtime.dis" ||
    die "FAILED: objdump could not read the rebuilt runtime (the work folder $work is kept)"
cmovs=$(grep -c -P '\tf?cmov' "$work/runtime.dis" || true)
((cmovs == 0)) || die "FAILED: the rebuilt CRT or unwinder still holds $cmovs CMOV instructions (the work folder $work is kept)"

# ---- into the cache --------------------------------------------------------------
{
    echo "$key"
    echo "mingw-source=$(basename "$(realpath "$work"/mingw-src/mingw-w64-*/)")"
} >"$build/BUILD-INFO"
(cd "$build" && sha256sum "${FILES[@]}" BUILD-INFO >COMPLETE.part && mv COMPLETE.part COMPLETE)
chmod 755 "$build"
# Relative, so that the cache can be copied or moved whole.
ln -sfn ".builds/${build##*/}" "$new_link"
flock 8
# A folder in the entry's place (copied by hand, or an older version's) goes aside
# first: the one case where the entry is missing for a moment.
if [[ -d $entry && ! -L $entry ]]; then
    mv -T "$entry" "$(mktemp -u "$builds/${entry##*/}.XXXXXX")"
fi
mv -T "$new_link" "$entry"
flock -u 8
trap - EXIT
rm -rf "$work"
say "built in $((SECONDS - started)) s: $(du -sh "$entry/" | cut -f1) in $entry"
echo "$entry"
