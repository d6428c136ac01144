#!/usr/bin/env bash
# Installs, from Debian's packages, what the builds and tests need and this machine
# lacks. Usage: scripts/setup.sh native|win32|fuzz|release|all
set -euo pipefail

want=${1:-all}
packages=()
need() {  # need COMMAND-OR-FILE PACKAGE
    if [[ $1 == /* ]]; then [[ -e $1 ]] || packages+=("$2"); else command -v "$1" >/dev/null 2>&1 || packages+=("$2"); fi
}

if [[ $want == native || $want == all ]]; then
    need cmake cmake
    need ninja ninja-build
    need g++ g++
    need python3 python3
    need /usr/include/gtest/gtest.h libgtest-dev
    need /usr/include/gmock/gmock.h libgmock-dev
    need iconv libc-bin
fi
if [[ $want == fuzz || $want == all ]]; then
    need cmake cmake
    need ninja ninja-build
    need clang++-14 clang-14
    compgen -G '/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null ||
        packages+=(libclang-rt-14-dev)
fi
if [[ $want == release ]]; then  # scripts/release.sh: the program and its zip only
    need cmake cmake
    need ninja ninja-build
    need python3 python3
    need git git
    need i686-w64-mingw32-g++-win32 g++-mingw-w64-i686-win32
    need i686-w64-mingw32-windres binutils-mingw-w64-i686
fi
if [[ $want == win32 || $want == all ]]; then
    need i686-w64-mingw32-g++-win32 g++-mingw-w64-i686-win32
    need i686-w64-mingw32-objdump binutils-mingw-w64-i686
    need wine wine
    need /usr/lib/i386-linux-gnu/wine/i386-windows/kernel32.dll wine32
    need Xvfb xvfb
    need xdotool xdotool
    need import imagemagick
    need xwininfo x11-utils
fi

((${#packages[@]} == 0)) && exit 0

sudo=()
if ((EUID != 0)); then
    command -v sudo >/dev/null 2>&1 || { echo "setup: need root (or sudo) to install: ${packages[*]}" >&2; exit 1; }
    sudo=(sudo)
fi
echo "setup: installing ${packages[*]}" >&2
if [[ " ${packages[*]} " == *" wine32 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q >/dev/null
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${packages[@]}" >/dev/null
