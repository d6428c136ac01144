#!/usr/bin/env bash
# Installs, from Debian's packages, what the builds and tests need and this machine
# lacks. Usage: scripts/setup.sh native|win32|win64|fuzz|release|runtime|all
#   win32:   the i686 product's build and audit, and its i486 runtime (built once
#            by scripts/build-runtime.sh, then cached); with 32-bit Wine where its
#            Wine suites run here (tests/wine/winemachine.py builds decides)
#   win64:   the x86_64 build and 64-bit Wine, which every machine runs
#   release: scripts/release.sh only (the product, its runtime, its zip and floppy
#            image; no Wine, no X)
#   runtime: what scripts/build-runtime.sh needs to build that runtime: GCC's and
#            mingw-w64's sources (the latter through a deb-src entry added here)
set -euo pipefail
cd "$(dirname "$0")/.."

want=${1:-all}
packages=()
need() {  # need COMMAND-OR-FILE PACKAGE
    if [[ $1 == /* ]]; then [[ -e $1 ]] || packages+=("$2"); else command -v "$1" >/dev/null 2>&1 || packages+=("$2"); fi
}
need_package() {  # need_package PACKAGE: for a package known by no one file of its own
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed" || packages+=("$1")
}
wants() { [[ $want == "$1" || $want == all ]]; }

sudo=()
if ((EUID != 0)); then
    sudo=(sudo)
fi
install() {
    ((${#packages[@]} == 0)) && return 0
    if ((EUID != 0)) && ! command -v sudo >/dev/null 2>&1; then
        echo "setup: need root (or sudo) to install: ${packages[*]}" >&2
        exit 1
    fi
    echo "setup: installing ${packages[*]}" >&2
    if [[ " ${packages[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        "${sudo[@]}" dpkg --add-architecture i386
    fi
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -q >/dev/null
    "${sudo[@]}" apt-get install -y -q --no-install-recommends "${packages[@]}" >/dev/null
    packages=()
}

# add_deb_src PACKAGE VERSION: makes the source of PACKAGE at VERSION reachable to
# apt-get source, adding a deb-src entry for this release's main archive if needed.
add_deb_src() {
    apt-cache showsrc "$1" 2>/dev/null | grep -qx "Version: $2" && return 0
    local codename
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    echo "setup: adding a deb-src entry for $codename main (the sources of $1 $2)" >&2
    printf '%s\n' "Types: deb-src" "URIs: http://deb.debian.org/debian" "Suites: $codename" \
        "Components: main" "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" |
        "${sudo[@]}" tee /etc/apt/sources.list.d/irpatch-deb-src.sources >/dev/null
    "${sudo[@]}" apt-get update -q >/dev/null
    apt-cache showsrc "$1" 2>/dev/null | grep -qx "Version: $2" || {
        echo "setup: the sources of $1 $2 cannot be reached through apt (deb-src for $codename main)" >&2
        exit 1
    }
}

# Python first: it decides below whether this machine runs 32-bit Wine.
need python3 python3
install

if wants native; then
    need cmake cmake
    need ninja ninja-build
    need g++ g++
    need /usr/include/gtest/gtest.h libgtest-dev
    need iconv libc-bin
fi
if wants fuzz; then
    need cmake cmake
    need ninja ninja-build
    need clang++-14 clang-14
    compgen -G '/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null ||
        packages+=(libclang-rt-14-dev)
fi
if [[ $want == release ]]; then
    need cmake cmake
    need ninja ninja-build
    need git git
    need i686-w64-mingw32-g++-win32 g++-mingw-w64-i686-win32
    need i686-w64-mingw32-windres binutils-mingw-w64-i686
    need mformat mtools
fi
if [[ $want == runtime ]]; then
    need i686-w64-mingw32-gcc-win32 gcc-mingw-w64-i686-win32
    need i686-w64-mingw32-g++-win32 g++-mingw-w64-i686-win32
    need i686-w64-mingw32-objdump binutils-mingw-w64-i686
    need g++ g++
    need make make
    need flock util-linux
    need dpkg-source dpkg-dev
    need patch patch
    need_package libgmp-dev
    need_package libmpfr-dev
    need_package libmpc-dev
    install
    # GCC's sources: the tarball in the gcc-N-source of the cross compiler's GCC.
    gcc_major=$(i686-w64-mingw32-gcc-win32 -dumpversion | cut -d- -f1)
    need "/usr/src/gcc-$gcc_major" "gcc-$gcc_major-source"
    install
    add_deb_src mingw-w64 "$(dpkg-query -W -f='${Version}' mingw-w64-i686-dev)"
fi
if wants win32 || wants win64; then
    need cmake cmake
    need ninja ninja-build
    need Xvfb xvfb
    need xdotool xdotool
    need import imagemagick
    need xwininfo x11-utils
fi
if wants win32; then
    need i686-w64-mingw32-g++-win32 g++-mingw-w64-i686-win32
    need i686-w64-mingw32-objdump binutils-mingw-w64-i686
    need mformat mtools
    # 32-bit Wine only where the i686 build's Wine suites run: a kernel that cannot
    # execute 32-bit programs could not start it.
    if python3 tests/wine/winemachine.py builds 2>/dev/null | grep -qx win32; then
        need /usr/lib/wine/wine wine32:i386
        need wineserver wine
    fi
fi
if wants win64; then
    need x86_64-w64-mingw32-g++-win32 g++-mingw-w64-x86-64-win32
    need x86_64-w64-mingw32-objdump binutils-mingw-w64-x86-64
    need /usr/lib/wine/wine64 wine64
    need wineserver wine
fi
install

# The i686 programs link the i486 runtime: built here the first time (minutes),
# found in the cache afterwards.
if wants win32 || [[ $want == release ]]; then
    scripts/build-runtime.sh >/dev/null
fi
