#!/bin/sh
# Installs what the Windows build and its tests under Wine need on a Debian machine,
# only when something is missing. Needs root (CI machines run as root).
set -eu

need=""
command -v i686-w64-mingw32-g++ >/dev/null 2>&1 || need="$need g++-mingw-w64-i686 binutils-mingw-w64-i686"
command -v cmake >/dev/null 2>&1 || need="$need cmake"
command -v ninja >/dev/null 2>&1 || need="$need ninja-build"
command -v python3 >/dev/null 2>&1 || need="$need python3"
command -v wine >/dev/null 2>&1 || need="$need wine"
# The program is 32-bit: Debian's wine needs the i386 loader beside it.
dpkg -s wine32:i386 >/dev/null 2>&1 || need="$need wine32:i386"
command -v Xvfb >/dev/null 2>&1 || need="$need xvfb"
command -v xdotool >/dev/null 2>&1 || need="$need xdotool"
command -v import >/dev/null 2>&1 || need="$need imagemagick"

if [ -z "$need" ]; then
    exit 0
fi
if [ "$(id -u)" != 0 ]; then
    echo "missing:$need (run this script as root to install them)" >&2
    exit 1
fi
echo "installing:$need" >&2
dpkg --add-architecture i386
apt-get update
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $need
