#!/usr/bin/env bash
# The C and C++ runtime that the i686 Windows programs link statically, rebuilt for
# the i486: the mingw-w64 CRT (crt2.o, libmingw32, libmingwex, libmsvcrt,
# libmoldname), libgcc (with libgcc_eh, crtbegin.o, crtend.o) and libstdc++ (with
# libsupc++ and libstdc++fs).
#
# Why: Debian's i686 MinGW-w64 compiler defaults to -march=pentiumpro and its
# prebuilt runtime was compiled so. Its CMOV instructions, one of them in the start-up
# code that runs before WinMain, stop the program at once on a 486, a Pentium, a
# K6 or a WinChip, all of which run Windows 98. The runtime here is Debian's own,
# built from Debian's sources (mingw-w64 with apt-get source, GCC from the tarball of
# gcc-12-source, which is the 12.2.0 the cross compiler is) by Debian's cross
# compiler, with one flag changed.
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
# The cache's entry is named after a key: the versions of the cross compiler, the
# target headers and binutils, the CPU flags and the hash of this file's commands,
# so a Debian update of any of them, or a change here, builds a new entry. An
# entry is assembled beside the cache and renamed into place with its marker
# (COMPLETE: the SHA-256 of every file) written last; an entry without a marker that
# checks out is rebuilt. A lock keeps two builds from meeting. A failed step stops
# with its name and its log, kept in the work folder; nothing falls back to Debian's
# stock runtime.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
recipe="$here/$(basename "$0")"

T=i686-w64-mingw32
ARCH=i486
# -mtune=generic, not the i486 tuning -march implies: the same instructions, and a
# program 17 KB smaller.
TUNE=generic
PACKAGES=(gcc-mingw-w64-i686-win32 g++-mingw-w64-i686-win32 mingw-w64-i686-dev binutils-mingw-w64-i686)
FILES=(crt2.o crtbegin.o crtend.o libgcc.a libgcc_eh.a libmingw32.a libmingwex.a libmoldname.a
       libmsvcrt.a libstdc++.a libstdc++fs.a libsupc++.a)

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

# What the runtime is built from and for, one line each; its hash names the entry.
key_text() {
    local package version
    for package in "${PACKAGES[@]}"; do
        version=$(dpkg-query -W -f='${Version}' "$package" 2>/dev/null) ||
            die "$package is not installed (scripts/setup.sh win32 installs it)"
        echo "$package=$version"
    done
    echo "flags=-march=$ARCH -mtune=$TUNE"
    # The recipe is this file's commands: a comment changes no byte of the runtime.
    echo "recipe=$(grep -v -E '^[[:space:]]*(#|$)' "$recipe" | sha256sum | cut -d' ' -f1)"
}
key=$(key_text)
entry="$cache/$ARCH-$(sha256sum <<<"$key" | cut -c1-16)"

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
    whole "$entry" || die "the cache holds no i486 runtime for this toolchain (looked for $entry)"
    echo "$entry"
    exit 0
fi

mkdir -p "$cache"
exec 9>"$cache/.lock"
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
# Whatever a build that was killed left half assembled; only the lock's holder makes these.
rm -rf "$cache"/.incoming-*

"$here/setup.sh" runtime
mingw_version=$(dpkg-query -W -f='${Version}' mingw-w64-i686-dev)
# The compiler calls itself "12-win32"; its package's upstream version is GCC's own.
gcc_version=$(dpkg-query -W -f='${Version}' gcc-mingw-w64-i686-win32)
gcc_version=${gcc_version%%-*}
gcc_tar=/usr/src/gcc-${gcc_version%%.*}/gcc-$gcc_version-dfsg.tar.xz
[[ -f $gcc_tar ]] ||
    die "no GCC $gcc_version sources ($gcc_tar): the installed gcc-${gcc_version%%.*}-source does not match the cross compiler"

work=$(mktemp -d "${TMPDIR:-/tmp}/irpatch-runtime-XXXXXX")
incoming=$(mktemp -d "$cache/.incoming-XXXXXX")
trap 'rm -rf "$incoming"' EXIT
jobs=${JOBS:-$(nproc)}
flags="-O2 -march=$ARCH -mtune=$TUNE -ffile-prefix-map=$work=."
export LC_ALL=C.UTF-8 SOURCE_DATE_EPOCH=1
tools=(CC="$T-gcc-win32" AR=$T-ar RANLIB=$T-ranlib NM=$T-nm LD=$T-ld AS=$T-as DLLTOOL=$T-dlltool
       OBJDUMP=$T-objdump STRIP=$T-strip)
started=$SECONDS

# step NAME LOG COMMAND...: runs one step in the current folder, its output in LOG.
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

cd "$work"
# Only what the C and C++ runtime needs: not the testsuite nor the other languages.
unused=(gcc/testsuite gcc/ada gcc/go gcc/d gcc/fortran gcc/m2 libgo libphobos libsanitizer libgfortran
        libada gnattools libgomp libobjc libffi libvtv liboffloadmic libitm gotools)
step "sources: GCC $gcc_version from $gcc_tar" unpack-gcc.log \
    tar -xf "$gcc_tar" "${unused[@]/#/--exclude=gcc-$gcc_version/}"
G=$work/gcc-$gcc_version
mkdir mingw-src && cd mingw-src
# The version of the installed CRT and headers, exactly: another one would not match them.
step "sources: mingw-w64 $mingw_version (apt-get source; needs the deb-src entry setup.sh adds)" \
    apt-get-source.log apt-get source -q "mingw-w64=$mingw_version"
M=$(realpath "$work"/mingw-src/mingw-w64-*/)

# ---- the mingw-w64 CRT, 32-bit only: the archives a static program links ------------
mkdir -p "$work/crt/lib32" && cd "$work/crt"
step "CRT: configure" configure.log \
    env "${tools[@]}" CFLAGS="$flags" CCASFLAGS="$flags" "$M/mingw-w64-crt/configure" \
        --host=$T --prefix=/unused --enable-lib32 --disable-lib64
step "CRT: make" make.log \
    make -j"$jobs" lib32/crt2.o lib32/libmingw32.a lib32/libmingwex.a lib32/libmsvcrt.a lib32/libmoldname.a

# ---- a configured gcc/ folder: the generated headers libgcc needs -------------------
# The target headers must be visible to GCC's configure (sys-include), or it sets
# inhibit_libc and libgcc's unwinder traps where it should call abort().
mkdir -p "$work/prefix/$T" "$work/obj" && ln -s "/usr/$T/include" "$work/prefix/$T/sys-include"
cd "$work/obj"
step "gcc: configure as the cross compiler is" configure.log \
    "$G/configure" --build=x86_64-linux-gnu --host=x86_64-linux-gnu --target=$T \
        --prefix="$work/prefix" --enable-languages=c,c++ --enable-threads=win32 \
        --disable-sjlj-exceptions --with-dwarf2 --enable-fully-dynamic-string \
        --enable-libstdcxx-time=yes --enable-libstdcxx-filesystem-ts=yes --disable-multilib \
        --with-arch=$ARCH --with-tune=$TUNE --disable-nls --enable-shared --enable-static \
        --disable-lto --disable-bootstrap --with-as=/usr/bin/$T-as --with-ld=/usr/bin/$T-ld
step "gcc: configure-gcc" configure-gcc.log make configure-gcc
step "gcc: libiberty for the build machine" libiberty.log make -j"$jobs" all-build-libiberty
step "gcc: libgcc's generated headers" gcc-headers.log \
    make -C gcc -j"$jobs" -o xgcc -o specs libgcc.mvars tconfig.h tm.h options.h insn-constants.h version.h
grep -q '^INHIBIT_LIBC_CFLAGS = *$' gcc/libgcc.mvars ||
    die "FAILED: GCC's configure did not see the target headers (inhibit_libc); see $work/obj/gcc/libgcc.mvars"
mkdir -p gcc/include

# ---- libgcc: libgcc.a, libgcc_eh.a, crtbegin.o, crtend.o --------------------------
mkdir -p "$work/obj/$T/libgcc" && cd "$work/obj/$T/libgcc"
step "libgcc: configure" configure.log \
    env "${tools[@]}" CFLAGS="$flags" "$G/libgcc/configure" --srcdir="$G/libgcc" \
        --build=x86_64-linux-gnu --host=$T --target=$T --with-cross-host=x86_64-linux-gnu \
        --prefix=/unused --enable-shared --enable-version-specific-runtime-libs --with-target-subdir=$T
step "libgcc: make" make.log make -j"$jobs"

# ---- libstdc++, configured as Debian's was --------------------------------------
# Its generated c++config.h must be the installed one byte for byte: the program is
# compiled with the installed headers, so headers and library must agree.
# (--enable-shared matters: without it four macros differ.) CXX is the C driver on
# the library's own headers from the build tree.
mkdir -p "$work/obj/$T/libstdc++-v3" && cd "$work/obj/$T/libstdc++-v3"
step "libstdc++: configure" configure.log \
    env "${tools[@]}" CXX="$T-gcc-win32 -shared-libgcc -nostdinc++" CXXFLAGS="$flags" CFLAGS="$flags" \
        "$G/libstdc++-v3/configure" --srcdir="$G/libstdc++-v3" \
        --build=x86_64-linux-gnu --host=$T --target=$T --with-cross-host=x86_64-linux-gnu \
        --prefix=/unused --enable-fully-dynamic-string --enable-libstdcxx-time=yes \
        --enable-libstdcxx-filesystem-ts=yes --disable-multilib --disable-nls --enable-shared \
        --enable-static --disable-libstdcxx-pch --enable-version-specific-runtime-libs \
        --with-target-subdir=$T
installed_config=/usr/lib/gcc/$T/$($T-gcc-win32 -dumpversion)/include/c++/$T/bits/c++config.h
cmp -s "include/$T/bits/c++config.h" "$installed_config" ||
    die "FAILED: libstdc++'s c++config.h differs from the installed $installed_config: headers and library would not agree (see $PWD/configure.log)"
step "libstdc++: make" make.log make -j"$jobs"

# ---- into the cache --------------------------------------------------------------
cd "$work"
cp crt/lib32/{crt2.o,libmingw32.a,libmingwex.a,libmsvcrt.a,libmoldname.a} "$incoming/"
cp obj/$T/libgcc/{libgcc.a,libgcc_eh.a,crtbegin.o,crtend.o} "$incoming/"
cp obj/$T/libstdc++-v3/src/.libs/libstdc++.a obj/$T/libstdc++-v3/libsupc++/.libs/libsupc++.a \
   obj/$T/libstdc++-v3/src/filesystem/.libs/libstdc++fs.a "$incoming/"
$T-strip --strip-debug "$incoming"/*.o "$incoming"/*.a
# The flag reached the code every program runs (start-up, CRT, unwinder, exception
# support): not one CMOV there. libgcc and libstdc++ keep a few in code that only
# runs on CPUs that have them (half-precision floats, RDRAND); the product's audit
# checks what is linked, instruction by instruction.
cmovs=$(cd "$incoming" && $T-objdump -d crt2.o libmingw32.a libmingwex.a libgcc_eh.a libsupc++.a |
        grep -c -P '\tf?cmov' || true)
((cmovs == 0)) || die "FAILED: the rebuilt CRT or unwinder still holds $cmovs CMOV instructions (the work folder $work is kept)"
{
    echo "$key"
    echo "gcc-source=$(basename "$gcc_tar") from gcc-${gcc_version%%.*}-source $(dpkg-query -W -f='${Version}' "gcc-${gcc_version%%.*}-source")"
    echo "mingw-source=$(basename "$M")"
} >"$incoming/BUILD-INFO"
(cd "$incoming" && sha256sum "${FILES[@]}" BUILD-INFO >COMPLETE.part && mv COMPLETE.part COMPLETE)
chmod 755 "$incoming"
rm -rf "$entry"
mv -T "$incoming" "$entry"
trap - EXIT
rm -rf "$work"
say "built in $((SECONDS - started)) s: $(du -sh "$entry" | cut -f1) in $entry"
echo "$entry"
