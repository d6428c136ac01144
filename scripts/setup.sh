#!/usr/bin/env bash
# Installs, from Debian's packages, what the builds and tests need and this machine
# lacks. Usage: scripts/setup.sh native|win32|fuzz|release|runtime|all
#   win32:   the i686 product's build and audit, its i486 runtime (built once by
#            scripts/build-runtime.sh, then cached), and 32-bit Wine for its Wine
#            suites: natively where the kernel executes 32-bit programs, else
#            through QEMU's user mode from bookworm-backports, registered with
#            binfmt_misc (IRPATCH_WINE32=qemu takes that way on any machine whose
#            32-bit programs no binfmt_misc handler takes yet). Says on one line
#            which way 32-bit Wine runs here.
#   release: scripts/release.sh only (the product, its runtime, its zip and floppy
#            image; no Wine, no X)
#   runtime: what scripts/build-runtime.sh needs to build that runtime: GCC's and
#            mingw-w64's sources (the latter through a deb-src entry added here)
# win32 and release install Debian's python3-pefile, with which tests/win98 reads
# programs (check_cpu.py too, through check_pe.py): it is there for /usr/bin/python3,
# which the Windows build takes when the first python3 on PATH lacks it.
set -euo pipefail
self=$(realpath "$0")
cd "$(dirname "$self")/.."

want=${1:-all}

# One set-up at a time on this machine: the Wine suites run it when their probe fails,
# side by side under ctest -j, and two QEMU registrations at once could undo each
# other. Whoever waited finds the work done: every step below checks before it acts.
for lockdir in /run/lock /var/lock "${TMPDIR:-/tmp}" /tmp; do
    [[ -d $lockdir && -w $lockdir ]] && break
done
# flock -o keeps the lock itself: no program set-up starts (a service a package
# starts, say) inherits it.
if [[ -z ${IRPATCH_SETUP_LOCKED:-} ]]; then
    exec env IRPATCH_SETUP_LOCKED=1 flock -o "$lockdir/irpatch-setup.lock" bash "$self" "$@"
fi
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

codename=$(. /etc/os-release && echo "$VERSION_CODENAME")

# add_apt_source NAME TYPE SUITE: an entry of TYPE (deb or deb-src) for SUITE of
# Debian's main archive, in /etc/apt/sources.list.d/irpatch-NAME.sources.
add_apt_source() {
    printf '%s\n' "Types: $2" "URIs: http://deb.debian.org/debian" "Suites: $3" \
        "Components: main" "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" |
        "${sudo[@]}" tee "/etc/apt/sources.list.d/irpatch-$1.sources" >/dev/null
    "${sudo[@]}" apt-get update -q >/dev/null
}

# add_deb_src PACKAGE VERSION: makes the source of PACKAGE at VERSION reachable to
# apt-get source, adding a deb-src entry for this release's main archive if needed.
add_deb_src() {
    apt-cache showsrc "$1" 2>/dev/null | grep -qx "Version: $2" && return 0
    echo "setup: adding a deb-src entry for $codename main (the sources of $1 $2)" >&2
    add_apt_source deb-src deb-src "$codename"
    apt-cache showsrc "$1" 2>/dev/null | grep -qx "Version: $2" || {
        echo "setup: the sources of $1 $2 cannot be reached through apt (deb-src for $codename main)" >&2
        exit 1
    }
}

# QEMU's user mode from bookworm-backports (QEMU 10): Debian 12's own 7.2 runs Wine so
# badly that wineboot dies. The package holds only static programs and the binfmt
# entries' text; nothing registers them in a machine without systemd.
install_qemu() {
    local version
    version=$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null || true)
    [[ -n $version ]] && dpkg --compare-versions "$version" ge 1:10 && return 0
    apt-cache policy qemu-user 2>/dev/null | grep -q " $codename-backports/" ||
        add_apt_source backports deb "$codename-backports"
    echo "setup: installing qemu-user from $codename-backports" >&2
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        -t "$codename-backports" qemu-user >/dev/null
}

# Registers QEMU for i386 programs with binfmt_misc, with Debian's own entry: the
# ELF32 i386 magic and mask; F, so the kernel opens QEMU now and the entry works in
# any mount namespace; P and O as QEMU's binfmt wrapper expects. binfmt_misc is
# kernel-wide and forgotten at reboot, so this runs whenever the entry is missing;
# an entry of that name that no longer works (disabled, say) is replaced.
register_qemu() {
    local fs=/proc/sys/fs/binfmt_misc conf=/usr/share/qemu/binfmt.d/qemu-i386.conf
    [[ -e $fs/register ]] || "${sudo[@]}" mount -t binfmt_misc binfmt_misc "$fs" ||
        { echo "setup: cannot mount binfmt_misc on $fs" >&2; exit 1; }
    [[ -e $fs/qemu-i386 ]] && echo -1 | "${sudo[@]}" tee "$fs/qemu-i386" >/dev/null
    "${sudo[@]}" tee "$fs/register" <"$conf" >/dev/null
}

# 32-bit programs run natively where the kernel executes them, else through QEMU.
# A binfmt_misc handler already taking them is someone else's: left alone, even
# when it fails (the reason is shown). A probe that could not be tried (no folder
# where a program may run, say) tells nothing: QEMU is not installed on it.
wine32_way() {
    local how status=0 why
    how=$(python3 tests/wine/host32.py) || status=$?
    case $status in
        0) [[ ${IRPATCH_WINE32:-} == qemu && $how == natively* ]] || return 0
           why="IRPATCH_WINE32=qemu, although the kernel executes them" ;;
        1) why=$how ;;
        2) echo "setup: $how; that binfmt_misc entry is not ours to change" >&2
           exit 1 ;;
        *) echo "setup: $how (tests/wine/host32.py, status $status); QEMU is not installed on an" \
                "unanswered probe: give TMPDIR a folder where programs may run, then run setup again" >&2
           exit 1 ;;
    esac
    echo "setup: 32-bit programs: $why; registering QEMU's user mode for them" >&2
    install_qemu
    register_qemu
    how=$(python3 tests/wine/host32.py) ||
        { echo "setup: 32-bit programs still do not run: $how" >&2; exit 1; }
}

# Python first: it decides below how this machine runs 32-bit programs.
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
    need_package python3-pefile
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
if wants win32; then
    need cmake cmake
    need ninja ninja-build
    need Xvfb xvfb
    need xdotool xdotool
    need import imagemagick
    need xwininfo x11-utils
    need i686-w64-mingw32-g++-win32 g++-mingw-w64-i686-win32
    need i686-w64-mingw32-objdump binutils-mingw-w64-i686
    need mformat mtools
    need_package python3-pefile
    install
    # 32-bit programs must run before 32-bit Wine can: QEMU first where they do not.
    wine32_way
    need /usr/lib/wine/wine wine32:i386
    # The server runs as a native program even where 32-bit programs go through QEMU.
    need /usr/lib/wine/wineserver64 wine64
    need wineserver wine
fi
install
if wants win32; then
    echo "setup: 32-bit Wine runs $(python3 tests/wine/host32.py)" >&2
fi

# The i686 programs link the i486 runtime: built here the first time (minutes),
# found in the cache afterwards.
if wants win32 || [[ $want == release ]]; then
    scripts/build-runtime.sh >/dev/null
fi
