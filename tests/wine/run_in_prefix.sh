#!/bin/sh
# Runs one Windows program under Wine in a throwaway prefix and passes on its exit
# status: run_in_prefix.sh program.exe [arguments...]
set -u
command -v wine >/dev/null 2>&1 || { echo "wine is not installed" >&2; exit 1; }
prefix=$(mktemp -d /tmp/irpatch-wine-XXXXXX) || exit 1
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() { wineserver -k >/dev/null 2>&1; rm -rf "$prefix"; }
trap cleanup EXIT
wineboot -i >/dev/null 2>&1 || { echo "wineboot failed in $prefix" >&2; exit 1; }
wine "$@"
